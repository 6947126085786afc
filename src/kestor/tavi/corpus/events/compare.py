"""Two names compared part by part: one event only where their participants agree and their happenings agree, each
scored by its own measure, never by one score over the whole name (in which 铜价飙升 and 锌价飙升 share most).

A participant is scored by the TF-IDF cosine of its character n-grams and of the lexicon's values it names (沪指 and
A股 name one market); a happening by that of its content's n-grams and its polarity (上涨 and 飙升 are both a rise
and nothing more). A pair's score is the lower of the two. The roles and the polarity are no score: they are part
of a name's signature (see `lexicon`), so that a pair that differs in them is refused outright, at every tier.

A name without a participant (a happening alone: 广东暴雨, 干旱), or that the parser could not read, is compared
whole, by its n-grams, with any name: its parts say too little to be compared one by one.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from .lexicon import Lexicon, Signature
from .parts import Grammar, Parts
from .similar import NgramIndex, ngram_index, pair_scores

AGENT, TARGET = "agent", "target"
"""Signature categories of the roles: two names with different agents, or different targets, are two events."""
PARTICIPANT_CATEGORIES = frozenset({"commodity", "indicator", "currency", "market", "actor", "sector", "place"})
"""The lexicon's categories of things and actors, whose values make two spellings of one participant alike."""
VERBAL_CATEGORIES = frozenset({"pace", "stance", "flow", "result"})
"""The lexicon's categories of what happens, whose values make two spellings of one happening alike."""


@dataclass
class PartIndex:
    rows: dict[str, Any]
    """For each part (PARTS), the row of each form's in `indices[part]`; -1 where the form has no such part."""
    indices: dict[str, NgramIndex]

    @property
    def whole(self) -> Any:
        """Which forms are compared whole."""
        return self.rows["participant"] < 0


PARTS = ("participant", "owner", "head", "happening")


def signature_of_parts(parts: Parts) -> Signature:
    """What the parts add to a name's signature: its polarity and its roles."""
    found = {axis: frozenset({value}) for axis, value in parts.polarity}
    if parts.agent:
        found[AGENT] = frozenset({parts.agent})
    if parts.target:
        found[TARGET] = frozenset({parts.target})
    return found


def part_index(parts: Sequence[Parts], lexicon: Lexicon, max_df: int) -> PartIndex:
    import numpy as np

    keys: dict[str, dict[Any, int]] = {part: {} for part in PARTS}
    rows = {part: np.full(len(parts), -1, dtype=np.int64) for part in PARTS}
    for number, item in enumerate(parts):
        if not item.parsed or not item.participant:
            continue
        for part, key in (
            ("participant", item.participant),
            ("owner", item.agent + item.owner if item.head else ""),
            ("head", item.head),
            ("happening", (item.happening, item.polarity)),
        ):
            if key:
                rows[part][number] = keys[part].setdefault(key, len(keys[part]))
    indices: dict[str, NgramIndex] = {}
    for part in PARTS:
        texts, meanings = [], []
        for key in keys[part]:
            if part == "happening":
                content, polarity = key
                text, values = _read(content, lexicon, VERBAL_CATEGORIES)
                values.extend(f"\0{axis}={value}" for axis, value in polarity)
            else:
                text, values = _read(key, lexicon, PARTICIPANT_CATEGORIES)
            texts.append(text)
            meanings.append(values)
        indices[part] = ngram_index(texts, max_df, meanings)
    return PartIndex(rows, indices)


def _read(text: str, lexicon: Lexicon, categories: frozenset[str]) -> tuple[str, list[str]]:
    """A part's text without the lexicon's terms of `categories`, and those terms' values: 沪指 and A股 are one
    market, whatever their characters."""
    values: list[str] = []
    kept: list[str] = []
    last = 0
    for start, end, category, value in lexicon.spans(text):
        if category in categories:
            values.append(f"\0{category}={value}")
            kept.append(text[last:start])
            last = end
    kept.append(text[last:])
    return "".join(kept), values


def search_index(index: PartIndex) -> NgramIndex:
    """Each form's participant and happening side by side, each half of unit length over the square root of two:
    the top pairs of a search in it are those whose two parts are both alike. Forms compared whole have empty
    rows."""
    import numpy as np
    from scipy import sparse

    scale = sparse.diags(np.where(index.whole, 0.0, 0.5**0.5).astype(np.float32))

    def side_by_side(attribute: str) -> Any:
        halves = [getattr(index.indices[part], attribute)[np.maximum(index.rows[part], 0)] for part in (PARTS[0], PARTS[3])]
        return (scale @ sparse.hstack(halves)).tocsr()

    return NgramIndex(side_by_side("matrix"), side_by_side("search"))


def scores(index: PartIndex, whole: NgramIndex, first: Any, second: Any) -> Any:
    """The score of each pair of forms: where both have parts, the lower of the participants' and the happenings';
    else the whole names' n-gram cosine. Two participants that both have a head (原油|价格, 锌|价格) agree as far
    as both their owners and their heads do: the price of oil is not that of zinc, nor is oil's output its price."""
    import numpy as np

    result = pair_scores(whole.matrix, first, second)
    both = ~(index.whole[first] | index.whole[second])
    if not both.any():
        return result
    a, b = first[both], second[both]

    def alike(part: str) -> Any:
        rows = index.rows[part]
        same = rows[a] == rows[b]
        return np.where(same, 1.0, pair_scores(index.indices[part].matrix, np.maximum(rows[a], 0), np.maximum(rows[b], 0)))

    headed = (index.rows["head"][a] >= 0) & (index.rows["head"][b] >= 0)
    participant = np.where(headed, np.minimum(alike("owner"), alike("head")), alike("participant"))
    result[both] = np.minimum(participant, alike("happening"))
    return result
