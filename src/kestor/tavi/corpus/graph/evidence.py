"""The relations that some part files hold, as columns: one entry per relation found (its article, its place in the
article's list, its two ends, its label, its strength), the articles they came from, and the spellings and labels
they use, each once. What a graph is made of before anything is decided about its events.

Columns are compact (machine integers, a spelling or a label stored once) so that they travel between Dask workers
cheaply; they stand in the order read, and the columns of earlier part files joined with those of later ones keep
that order, so nothing depends on how the files were grouped. Every attribute is a flat container of immutable
values or an immutable value: `copy` copies each one, the one copy rule.
"""

from __future__ import annotations

import copy
import dataclasses
import hashlib
from array import array
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from ..exits import GraphInputError

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    Digests = npt.NDArray[np.uint64]
else:
    Digests = Any

EXCERPT_LENGTH = 120
"""The characters of an article's text that the graph keeps: what its page shows of it."""


class Conflict(GraphInputError):
    """Columns of two groups of part files that cannot be joined: an id in both, lines of two modes."""


def _no_digests() -> Digests:
    import numpy as np

    return np.empty((0, 2), dtype=np.uint64)


@dataclass
class Evidence:
    """Relations by article, as columns."""

    mode: str | None = None
    """"articles" or "causara": the run whose "ok" lines were read (none before the first)."""
    mode_place: str = ""
    """Where the first "ok" line is, for a message about a line of another mode."""
    part_files: int = 0
    failed_ids: list[str] = field(default_factory=list)
    """The id keys of "failed" lines, which have no relations to give."""
    unnamed: int = 0
    """Relations left out because an end has no name once trimmed."""
    ids: Digests = field(default_factory=_no_digests)
    """A digest of every id read, sorted, to find an id in two groups of part files."""

    article_ids: list[str] = field(default_factory=list)
    """The id key of each "ok" line read, in order."""
    article_dates: list[str] = field(default_factory=list)
    """Each article's date (YYYY-MM-DD), empty where its line had none."""
    article_texts: list[str] = field(default_factory=list)
    """The first characters of each article's text, empty where the run kept none (`--keep-text`)."""
    article_forces: list[str | None] = field(default_factory=list)
    """Each article's force word; none in a causara run."""
    article_relations: array[int] = field(default_factory=lambda: array("q"))
    """The relations each line gave, those left out for an unnamed end included."""
    article_digests: list[str] = field(default_factory=list)
    """What each line says (date, force, relations), digested: the same article read again is told apart from
    another line with its id."""

    spellings: dict[str, int] = field(default_factory=dict)
    """Each end's name as written (trimmed at its ends), by first appearance."""
    keys: list[str] = field(default_factory=list)
    """The event key of each spelling."""
    labels: dict[str, int] = field(default_factory=dict)
    """Relation labels, by first appearance."""

    article: array[int] = field(default_factory=lambda: array("q"))
    """The article of each relation (its place in the article columns)."""
    ordinal: array[int] = field(default_factory=lambda: array("q"))
    """The relation's place in its article's list, counting those left out."""
    source: array[int] = field(default_factory=lambda: array("q"))
    target: array[int] = field(default_factory=lambda: array("q"))
    """Spellings of the two ends."""
    label: array[int] = field(default_factory=lambda: array("q"))
    strength: array[float] = field(default_factory=lambda: array("d"))

    def copy(self) -> Evidence:
        return dataclasses.replace(self, **{item.name: copy.copy(getattr(self, item.name)) for item in _FIELDS})

    @property
    def failed(self) -> int:
        return len(self.failed_ids)

    @property
    def articles(self) -> int:
        return len(self.article_ids)

    @property
    def relations(self) -> int:
        """Relations read, those left out for an unnamed end included."""
        return len(self.article) + self.unnamed

    def spelling(self, text: str, key: str) -> int:
        number = self.spellings.get(text)
        if number is None:
            number = self.spellings[text] = len(self.keys)
            self.keys.append(key)
        return number

    def add_article(self, key: str, date: str, text: str, force: str | None, relations: int, digest: str) -> int:
        self.article_ids.append(key)
        self.article_dates.append(date)
        self.article_texts.append(text)
        self.article_forces.append(force)
        self.article_relations.append(relations)
        self.article_digests.append(digest)
        return len(self.article_ids) - 1

    def add_relation(self, article: int, ordinal: int, source: int, target: int, label: str, strength: float) -> None:
        self.article.append(article)
        self.ordinal.append(ordinal)
        self.source.append(source)
        self.target.append(target)
        self.label.append(self.labels.setdefault(label, len(self.labels)))
        self.strength.append(strength)

    def names(self) -> dict[str, str]:
        """Each event key with its first spelling, in order of first appearance: the names to resolve."""
        found: dict[str, str] = {}
        for spelling, key in zip(self.spellings, self.keys, strict=True):
            found.setdefault(key, spelling)
        return found

    def absorb(self, later: Evidence, *, across_runs: bool = False) -> None:
        """Add the columns of part files that come after these: of the same run (an id in both, or lines of two
        modes, is a conflict), or of a later run (`across_runs`: the store tells an article it holds)."""
        if later.mode is not None:
            if self.mode is None:
                self.mode, self.mode_place = later.mode, later.mode_place
            elif later.mode != self.mode and not across_runs:
                raise Conflict(modes_differ(later.mode_place, later.mode, self.mode_place, self.mode))
        if not across_runs:
            self.ids, repeated = union_checked(self.ids, later.ids)
            if repeated:
                raise Conflict(f"{repeated} ids are each in two part files")
        self.part_files += later.part_files
        self.failed_ids.extend(later.failed_ids)
        self.unnamed += later.unnamed
        offset = self.articles
        self.article_ids.extend(later.article_ids)
        self.article_dates.extend(later.article_dates)
        self.article_texts.extend(later.article_texts)
        self.article_forces.extend(later.article_forces)
        self.article_relations.extend(later.article_relations)
        self.article_digests.extend(later.article_digests)
        spelling = [self.spelling(text, key) for text, key in zip(later.spellings, later.keys, strict=True)]
        label = [self.labels.setdefault(text, len(self.labels)) for text in later.labels]
        self.article.extend(article + offset for article in later.article)
        self.ordinal.extend(later.ordinal)
        self.source.extend(spelling[number] for number in later.source)
        self.target.extend(spelling[number] for number in later.target)
        self.label.extend(label[number] for number in later.label)
        self.strength.extend(later.strength)

    def rows(self) -> Iterator[tuple[int, int, int, int, int, float]]:
        """(article, ordinal, source, target, label, strength) of each relation."""
        return zip(self.article, self.ordinal, self.source, self.target, self.label, self.strength, strict=True)


_FIELDS = dataclasses.fields(Evidence)


def modes_differ(place: str, mode: str, first_place: str, first_mode: str) -> str:
    def run(name: str) -> str:
        return f"{'an' if name == 'articles' else 'a'} {name} run"

    return (
        f"{place}: a line of {run(mode)}, while {first_place} is a line of {run(first_mode)}: the graph is built "
        "from the output of one run"
    )


def id_digests(keys: Any) -> Digests:
    """128-bit digests of id keys, sorted: equal ids meet, and 10**9 distinct ones would collide with a chance
    below 10**-20."""
    import numpy as np

    raw = b"".join(hashlib.blake2b(key.encode("utf-8", "surrogatepass"), digest_size=16).digest() for key in keys)
    digests = np.frombuffer(raw, dtype=">u8").astype(np.uint64).reshape(-1, 2)
    return digests[np.lexsort((digests[:, 1], digests[:, 0]))]


def union_checked(first: Digests, second: Digests) -> tuple[Digests, int]:
    """Both digest sets as one, and how many digests are in both."""
    import numpy as np

    both = np.concatenate([first, second])
    both = both[np.lexsort((both[:, 1], both[:, 0]))]
    repeated = int(np.count_nonzero(np.all(both[1:] == both[:-1], axis=1))) if len(both) > 1 else 0
    return both, repeated


def without_ids(evidence: Evidence) -> Evidence:
    """The columns without their ids' digests, which take 16 bytes an article (its input is left as it was)."""
    return dataclasses.replace(evidence, ids=_no_digests())
