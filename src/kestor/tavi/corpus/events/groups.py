"""Groups of names that are one event, joined tier by tier, and the clustering that every scoring tier shares.

A group knows the signature of its names (what never merges, see `lexicon`) and the names it must never join (the
overrides, and the two ends of a relation: a cause is not its own effect): a join that breaks either is refused,
whichever tier asks, unless the overrides themselves ask for it.

Clustering is average linkage over the scored pairs: two groups join when the mean similarity over every pair of
their names reaches the threshold, a pair that was never scored counting as 0. So a chain of names each like the
next (加息 ~ 美联储加息 ~ 美联储 ~ 美联储降息) never becomes one group, as connected components would make it.
"""

from __future__ import annotations

import heapq
from array import array
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

from .levels import Tier
from .lexicon import Signature, clash, joined

OVERRIDE, RELATION = "override", "relation"
"""Why two groups are kept apart for good: an override says so, or a relation joins them (a cause is not its own
effect)."""


@dataclass
class Join:
    tier: Tier
    score: float


@dataclass
class Groups:
    """Union-find over items (normal forms) 0..n-1, each group with its signature and size."""

    signatures: list[Signature]
    parent: array[int] = field(init=False)
    size: array[int] = field(init=False)
    never: dict[int, dict[int, str]] = field(default_factory=dict)
    """Root -> roots it must never join, with why (OVERRIDE, RELATION), kept symmetric and by current roots."""
    joined_by: list[Join | None] = field(init=False)
    """How each item first came to share a group with another: the tier and score of that join."""
    joins: dict[str, int] = field(default_factory=dict)
    refused: dict[str, int] = field(default_factory=dict)
    """Joins refused, by the lexicon category (or OVERRIDE, RELATION) that refused them."""

    def __post_init__(self) -> None:
        count = len(self.signatures)
        self.parent = array("q", range(count))
        self.size = array("q", [1]) * count
        self.joined_by = [None] * count

    def __len__(self) -> int:
        return len(self.parent)

    def find(self, item: int) -> int:
        parent = self.parent
        root = item
        while parent[root] != root:
            root = parent[root]
        while parent[item] != root:
            parent[item], item = root, parent[item]
        return root

    def why_not(self, first: int, second: int, *, lexicon: bool = True) -> str | None:
        """Why the groups of these roots may not join: a lexicon category (unless `lexicon` is false), what kept
        them apart (see `forbid`), or None."""
        kept = self.never.get(first)
        if kept is not None and second in kept:
            return kept[second]
        return clash(self.signatures[first], self.signatures[second]) if lexicon else None

    def join(
        self, first: int, second: int, tier: Tier, score: float, *, forced: bool = False, lexicon: bool = True
    ) -> int | None:
        """Join the groups of two items; the new root, or None when refused (or already one group)."""
        a, b = self.find(first), self.find(second)
        if a == b:
            return None
        if not forced:
            reason = self.why_not(a, b, lexicon=lexicon)
            if reason is not None:
                self.refused[reason] = self.refused.get(reason, 0) + 1
                return None
        if self.size[a] < self.size[b]:
            a, b = b, a
        self.parent[b] = a
        self.size[a] += self.size[b]
        self.signatures[a] = joined(self.signatures[a], self.signatures[b])
        self.signatures[b] = {}
        if b in self.never:
            for other, reason in self.never.pop(b).items():
                del self.never[other][b]
                self.never[other].setdefault(a, reason)
                self.never.setdefault(a, {}).setdefault(other, reason)
        self.joins[tier] = self.joins.get(tier, 0) + 1
        mark = Join(tier, score)
        for item in (first, second):
            if self.joined_by[item] is None:
                self.joined_by[item] = mark
        return a

    def forbid(self, first: int, second: int, reason: str = OVERRIDE) -> None:
        """Keep the groups of two items apart for good, `reason` saying why when a join is refused."""
        a, b = self.find(first), self.find(second)
        if a != b:
            self.never.setdefault(a, {}).setdefault(b, reason)
            self.never.setdefault(b, {}).setdefault(a, reason)

    def roots(self) -> list[int]:
        return [self.find(item) for item in range(len(self.parent))]

    def roots_of(self, items: Any) -> Any:
        """The root of each of an array of items, for many at once (paths are left as they are)."""
        import numpy as np

        parent = np.frombuffer(self.parent, dtype=np.int64)
        roots = parent[items]
        while True:
            above = parent[roots]
            if (above == roots).all():
                return roots
            roots = above


def agglomerate(groups: Groups, pairs: Iterable[tuple[int, int, float]], threshold: float, tier: Tier) -> int:
    """Average linkage over scored pairs of items (each pair once), joining groups whose mean similarity reaches
    `threshold`; groups formed before count as one cluster of their items. The number of joins."""
    # Sums of similarity between current roots, kept for each root by neighbour.
    links: dict[int, dict[int, float]] = {}
    for first, second, score in pairs:
        a, b = groups.find(first), groups.find(second)
        if a == b:
            continue
        row = links.setdefault(a, {})
        row[b] = row.get(b, 0.0) + score
        links.setdefault(b, {})[a] = row[b]
    size = groups.size

    def mean(a: int, b: int, total: float) -> float:
        return total / (size[a] * size[b])

    heap = [(-mean(a, b, total), a, b) for a, row in links.items() for b, total in row.items() if a < b]
    heap = [entry for entry in heap if -entry[0] >= threshold]
    heapq.heapify(heap)
    joins = 0
    while heap:
        negative, a, b = heapq.heappop(heap)
        if groups.parent[a] != a or groups.parent[b] != b:
            continue  # a group that has joined another since
        row = links.get(a, {})
        if b not in row or mean(a, b, row[b]) != -negative:
            continue  # stale: the sums changed since this entry
        root = groups.join(a, b, tier, -negative)
        if root is None:
            row.pop(b, None)
            links[b].pop(a, None)
            continue
        joins += 1
        other = b if root == a else a
        kept, gone = links.setdefault(root, {}), links.pop(other, {})
        kept.pop(other, None)
        gone.pop(root, None)
        for neighbour, total in gone.items():
            neighbour_row = links[neighbour]
            neighbour_row.pop(other, None)
            kept[neighbour] = kept.get(neighbour, 0.0) + total
            neighbour_row[root] = kept[neighbour]
        for neighbour, total in kept.items():
            score = mean(root, neighbour, total)
            if score >= threshold:
                heapq.heappush(heap, (-score, min(root, neighbour), max(root, neighbour)))
    return joins
