"""What never merges: two names that name different values of one category (up and down, 广东 and 浙江, rain and
snow, the Fed and the ECB) are different events, however alike they are written or meant.

The lexicon is a table from category to value to the terms that name it (`lexicon.json`, shipped with the package),
which a run's configuration extends. A name's signature is the values of each category it names, found by taking the
longest term at each place from the left (加拿大 is a place before 加 is a direction; terms of the category
"neutral" only keep their characters from being read as anything else: 加强, 增速). Two signatures clash when some
category has values in both and they differ. Figures that the normal form kept are part of a name (G20 and G7,
5G), so they are a category of their own, "figure", whose values are the numbers written. A group of names has the
union of its names' signatures, so a group is never joined to one it clashes with, whichever tier proposes it.
"""

from __future__ import annotations

import json
import re
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from importlib import resources
from typing import Any

from .normal import normalize

NEUTRAL = "neutral"
FIGURE = "figure"
AGENT, TARGET = "agent", "target"
"""The roles, which a name's parts add to its signature: two names with different agents, or different targets, are
two events, and so are two where one acts on whom the other is acted on by (A对B and B对A)."""
ROLES = "roles"
_FIGURES = re.compile(r"\d+(?:\.\d+)?")
Signature = dict[str, frozenset[str]]


class LexiconError(ValueError):
    pass


def shipped_table(name: str) -> Any:
    """A JSON table that the package ships beside this module."""
    return json.loads(resources.files(__package__).joinpath(name).read_text(encoding="utf-8"))


@dataclass
class Lexicon:
    terms: dict[str, tuple[str, str]] = field(default_factory=dict)
    """(category, value) by term, terms in normal form (simplified, case-folded)."""
    lengths: dict[str, list[int]] = field(default_factory=dict)
    """The lengths of the terms that start with each character, longest first: most characters start none."""

    @classmethod
    def shipped(cls, extension: Mapping[str, Any] | None = None) -> Lexicon:
        """The package's lexicon, extended by `extension` ({category: {value: [term, ...]}}: a term given again
        takes its new category and value)."""
        lexicon = cls()
        lexicon.add(shipped_table("lexicon.json"), "the shipped lexicon")
        if extension:
            lexicon.add(extension, "the configuration's lexicon")
        return lexicon

    def add(self, table: Mapping[str, Any], where: str) -> None:
        if not isinstance(table, Mapping):
            raise LexiconError(f"{where}: an object of categories, each an object from value to a list of terms")
        for category, values in table.items():
            if not isinstance(values, Mapping):
                raise LexiconError(f"{where}: category {category!r}: an object from value to a list of terms")
            for value, terms in values.items():
                if not isinstance(terms, list) or not all(isinstance(term, str) and term.strip() for term in terms):
                    raise LexiconError(f"{where}: {category!r} -> {value!r}: a list of non-empty terms")
                for term, normal in zip(terms, normalize(terms), strict=True):
                    # The qualifiers stay in a term: 降准 is one, and a term is matched against whole names' forms.
                    key = normal.form if not normal.removed else term.casefold()
                    self.terms[key] = (category, value)
                    lengths = self.lengths.setdefault(key[0], [])
                    if len(key) not in lengths:
                        lengths.append(len(key))
                        lengths.sort(reverse=True)

    def signature(self, form: str) -> Signature:
        """The values of each category that a normal form names."""
        found: dict[str, set[str]] = {}
        for _, _, category, value in self.spans(form):
            if category != NEUTRAL:
                found.setdefault(category, set()).add(value)
        figures = _FIGURES.findall(form)
        if figures:
            found[FIGURE] = set(figures)
        if not found:
            return {}
        return {category: frozenset(values) for category, values in found.items()}

    def values(self, category: str) -> frozenset[str]:
        """The values that the lexicon's terms of a category name."""
        return frozenset(value for kind, value in self.terms.values() if kind == category)

    def spans(self, form: str) -> Iterator[tuple[int, int, str, str]]:
        """(start, end, category, value) of each term in a normal form, the longest at each place from the left."""
        place, end = 0, len(form)
        terms, starting = self.terms, self.lengths
        while place < end:
            for length in starting.get(form[place], ()):
                hit = terms.get(form[place : place + length]) if place + length <= end else None
                if hit is not None:
                    yield place, place + length, hit[0], hit[1]
                    place += length
                    break
            else:
                place += 1


def clash(first: Signature, second: Signature) -> str | None:
    """The category in which two signatures name different values, if any; "roles" where one's agent is the other's
    target."""
    small, large = (first, second) if len(first) <= len(second) else (second, first)
    for category, values in small.items():
        other = large.get(category)
        if other is not None and other != values:
            return category
    empty: frozenset[str] = frozenset()
    for acting, acted in ((first, second), (second, first)):
        if acting.get(AGENT, empty) & acted.get(TARGET, empty):
            return ROLES
    return None


def joined(first: Signature, second: Signature) -> Signature:
    if not second:
        return first
    if not first:
        return second
    both = dict(first)
    for category, values in second.items():
        both[category] = both[category] | values if category in both else values
    return both
