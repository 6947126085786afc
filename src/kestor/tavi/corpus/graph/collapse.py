"""One node per event, and one per class of events: the merged counts, keyed by event key, collapsed onto the events
the resolver found, and the events' counts collapsed in turn onto their classes.

A collapse adds up the counts of what becomes one node (relations, edges' counts, strength sums, labels); what counts
articles is counted again from the articles themselves, so an article that names one event two ways, or two events
of one class, counts once for it and for each of its edges. An event is named by the normal form that its spellings
mention most (simplified, without dates or figures: 美联储加息, not 2023年7月美聯儲加息; ties to the shorter, then the
first seen), a class by the name the resolver gave it; a node keeps every surface form with its mentions, the first
seen among them, as its aliases.
"""

from __future__ import annotations

import contextlib
import copy
import gc
import math
from array import array
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any

from ..events import Level, NodeKind, Resolution, Tier, event_key
from ..events.normal import readable
from .counts import Counts, Tally


@dataclass(frozen=True)
class Alias:
    """How one surface form came to its event: a row of aliases.parquet."""

    alias: str
    event: int
    """The event's node id (1-based, as in the graph files)."""
    event_name: str
    class_number: int
    """The event's class (1-based, as `event`)."""
    class_name: str
    tier: Tier
    score: float
    mentions: int
    normal_form: str
    removed: str
    """What the normal form took out, as "kind:text" items joined by "; "."""


@dataclass(frozen=True)
class Hierarchy:
    """The graph at both levels: the events' counts, their classes' counts, and each event's class."""

    events: Counts
    classes: Counts
    class_of: Sequence[int]

    @classmethod
    def of(cls, counts: Counts, resolution: Resolution) -> Hierarchy:
        events = collapse(counts, resolution)
        return cls(events, grouped(events, resolution.class_of, resolution.classes), resolution.class_of)

    @classmethod
    def flat(cls, events: Counts) -> Hierarchy:
        """Each event a class of its own, of its name: the counts of a merge that resolved nothing."""
        return cls(events, events, range(len(events.names)))

    def at(self, kind: NodeKind) -> Counts:
        return self.events if kind is NodeKind.EVENT else self.classes

    def sizes(self) -> list[int]:
        """How many events each class has."""
        sizes = [0] * len(self.classes.names)
        for group in self.class_of:
            sizes[group] += 1
        return sizes


def collapse(counts: Counts, resolution: Resolution) -> Counts:
    """The names' counts onto the resolver's events."""
    with _no_cycle_collection():
        members: list[list[int]] = [[] for _ in range(resolution.events)]
        for node, event in enumerate(resolution.event_of):
            members[event].append(node)
        return _grouped(counts, resolution.event_of, event_names(counts, resolution, members))


def grouped(counts: Counts, group_of: Sequence[int], names: list[str]) -> Counts:
    """The counts with node `node` made one with the others of group `group_of[node]`, the groups named `names`."""
    with _no_cycle_collection():
        return _grouped(counts, group_of, names)


@contextlib.contextmanager
def _no_cycle_collection() -> Iterator[None]:
    """A collapse makes millions of dictionaries and lists, none in a reference cycle: the passes over the whole heap
    that their number sets off find nothing, and took a third of the collapse's time at 1.8 million edges."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def _grouped(counts: Counts, group_of: Sequence[int], names: list[str]) -> Counts:
    import numpy as np

    groups = len(names)
    onto = np.asarray(group_of, dtype=np.int64)
    if counts.aliases is not None and np.array_equal(onto, np.arange(len(counts.names))) and groups == len(onto):
        # Groups of one node each, in order, of counts collapsed before: the counts as they are, renamed.
        result = copy.copy(counts)
        result.names = names
        result.keys = _keys(counts, onto, names)
        return result
    result = Counts()
    for name in ("mode", "mode_place", "part_files", "articles", "failed", "relations", "unnamed", "ids", "scale"):
        setattr(result, name, getattr(counts, name))
    result.article_ids = counts.article_ids
    result.article_dates = counts.article_dates
    result.article_texts = counts.article_texts
    result.article_force = counts.article_force

    result.keys = _keys(counts, onto, names)
    result.names = names
    # Each group's nodes, in order: most groups have one, whose aliases are that node's.
    order = np.argsort(onto, kind="stable").tolist()
    starts = np.concatenate([[0], np.cumsum(np.bincount(onto, minlength=groups))]).tolist()
    result.aliases = []
    for group in range(groups):
        start, end = starts[group], starts[group + 1]
        if end - start == 1:
            result.aliases.append(counts.node_aliases(order[start]))
            continue
        totals: dict[str, int] = {}
        for node in order[start:end]:
            for spelling, times in counts.node_aliases(node).items():
                totals[spelling] = totals.get(spelling, 0) + times
        result.aliases.append(_ranked(totals))

    # Each edge onto its groups' edge, numbered in order of first appearance.
    packed = onto[np.frombuffer(counts.sources, dtype=np.int64)] << 32 | onto[np.frombuffer(counts.targets, np.int64)]
    unique, first, inverse = np.unique(packed, return_index=True, return_inverse=True)
    order = np.argsort(first, kind="stable")
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    edge_of = rank[inverse.ravel()]
    packed = unique[order]
    edges = len(packed)
    sources, targets = packed >> 32, packed & 0xFFFFFFFF
    result.sources = array("q", sources.tobytes())
    result.targets = array("q", targets.tobytes())
    count = np.zeros(edges, dtype=np.int64)
    np.add.at(count, edge_of, np.frombuffer(counts.count, dtype=np.int64))
    result.count = array("q", count.tobytes())
    highest = np.full(edges, -math.inf)
    np.maximum.at(highest, edge_of, np.frombuffer(counts.strength_max, dtype=np.float64))
    result.strength_max = array("d", highest.tobytes())
    # Exact sums: integers beyond 64 bits.
    result.strength_sum = [0] * edges
    for new, total in zip(edge_of.tolist(), counts.strength_sum, strict=True):
        result.strength_sum[new] += total
    on, said, times = counts.labels.sightings()
    result.labels = Tally.of(counts.labels.words, edge_of[on], said, times, edges)
    relations = np.zeros(groups, dtype=np.int64)
    np.add.at(relations, sources, count)
    np.add.at(relations, targets[sources != targets], count[sources != targets])
    result.node_relations = array("q", relations.tobytes())

    # (edge, article) pairs onto the new edges, each once; from them the articles of edges and nodes, and forces.
    new_edges = edge_of[np.frombuffer(counts.pair_edge, dtype=np.int64)]
    articles = np.frombuffer(counts.pair_article, dtype=np.int64)
    pairs = _distinct(new_edges << 32 | articles)
    pair_edge, pair_article = pairs >> 32, pairs & 0xFFFFFFFF
    result.pair_edge = array("q", pair_edge.tobytes())
    result.pair_article = array("q", pair_article.tobytes())
    result.edge_articles = array("q", np.bincount(pair_edge, minlength=edges).astype(np.int64).tobytes())
    ends = np.concatenate([sources[pair_edge], targets[pair_edge]]) << 32 | np.concatenate([pair_article] * 2)
    node_pairs = _distinct(ends)
    result.node_articles = array("q", np.bincount(node_pairs >> 32, minlength=groups).astype(np.int64).tobytes())
    force_of = np.frombuffer(counts.article_force, dtype=np.int64)
    words = force_of[pair_article] if len(force_of) else np.zeros(0, dtype=np.int64)
    known = words >= 0
    result.forces = Tally.of(counts.forces.words, pair_edge[known], words[known], np.ones(known.sum(), np.int64), edges)
    return result


def event_names(counts: Counts, resolution: Resolution, members: Sequence[Sequence[int]]) -> list[str]:
    """Each event's name: of the normal forms its names have, the one mentioned most (ties to the shorter, then the
    first seen), as its most mentioned spelling reads once simplified and without dates or figures (see
    `readable`)."""
    normals = resolution.normals
    chosen: list[str] = []
    for nodes in members:
        best = nodes[0]
        if len(nodes) == 1 and best not in counts.variants:
            chosen.append(counts.names[best])
            continue
        if len(nodes) > 1:
            mentions: dict[str, int] = {}
            top: dict[str, int] = {}
            for node in nodes:
                form = normals[node].form
                mentions[form] = mentions.get(form, 0) + counts.node_relations[node]
                if form not in top or counts.node_relations[node] > counts.node_relations[top[form]]:
                    top[form] = node
            order = {form: place for place, form in enumerate(mentions)}
            best = top[min(mentions, key=lambda form: (-mentions[form], len(form), order[form]))]
        spellings = counts.spellings(best) if best in counts.variants else {counts.names[best]: 0}
        chosen.append(max(spellings, key=spellings.__getitem__))
    # Without normal forms, 2024年CPI上涨 and CPI上涨 are two events: their names must stay two.
    return chosen if resolution.level is Level.EXACT else readable(chosen)


def alias_rows(counts: Counts, resolution: Resolution, collapsed: Counts) -> Iterator[Alias]:
    """One row per spelling, by event key of the counts before the collapse in order of first appearance: a
    key's other spellings (Ａ股 beside A股) met it before any tier, as "exact"."""
    for node in range(len(counts.names)):
        event = resolution.event_of[node]
        normal = resolution.normals[node]
        removed = "; ".join(f"{kind}:{text}" for kind, text in normal.removed)
        for number, (spelling, mentions) in enumerate(counts.spellings(node).items()):
            tier, score = resolution.tier[node], round(resolution.score[node], 4)
            if number and tier is Tier.NAME:
                tier = Tier.EXACT
            kind = resolution.class_of[event]
            yield Alias(
                spelling,
                event + 1,
                collapsed.names[event],
                kind + 1,
                resolution.classes[kind],
                tier,
                score,
                mentions,
                normal.form,
                removed,
            )


def _keys(counts: Counts, onto: Any, names: Sequence[str]) -> dict[str, int]:
    """Every key, and every group's name, so that a node is found by any of its names."""
    import numpy as np

    nodes = np.fromiter(counts.keys.values(), dtype=np.int64, count=len(counts.keys))
    keys = dict(zip(counts.keys, onto[nodes].tolist(), strict=True))
    for group, name in enumerate(names):
        keys.setdefault(event_key(name), group)
    return keys


def _distinct(values: Any) -> Any:
    """The distinct values, sorted: numpy's own unique hashes them, many times slower on these keys."""
    import numpy as np

    ordered = np.sort(values)
    return ordered[np.concatenate([[True], ordered[1:] != ordered[:-1]])] if len(ordered) else ordered


def _ranked(aliases: dict[str, int]) -> dict[str, int]:
    """Most mentions first; ties in order of first appearance (the dictionary's order)."""
    order = {alias: place for place, alias in enumerate(aliases)}
    return dict(sorted(aliases.items(), key=lambda item: (-item[1], order[item[0]])))


def edge_figures(counts: Counts) -> tuple[list[float], list[float]]:
    """P(target | source) of each edge (its count over every relation leaving the source) and its lift (that
    probability over the target's share of all relations' targets)."""
    leaving = [0] * len(counts.names)
    entering = [0] * len(counts.names)
    for source, target, count in zip(counts.sources, counts.targets, counts.count, strict=True):
        leaving[source] += count
        entering[target] += count
    total = sum(counts.count)
    probability, lift = [], []
    for source, target, count in zip(counts.sources, counts.targets, counts.count, strict=True):
        chance = count / leaving[source]
        probability.append(chance)
        lift.append(chance / (entering[target] / total) if total else math.nan)
    return probability, lift


@dataclass(frozen=True)
class EdgeSources:
    """The articles of every edge, grouped: `ids(edge)` and, with dates, the months and first and last seen."""

    counts: Counts
    starts: Any
    articles: Any

    @classmethod
    def of(cls, counts: Counts) -> EdgeSources:
        import numpy as np

        edges = np.frombuffer(counts.pair_edge, dtype=np.int64)
        order = np.argsort(edges, kind="stable")
        starts = np.searchsorted(edges[order], np.arange(len(counts.sources) + 1))
        return cls(counts, starts, np.frombuffer(counts.pair_article, dtype=np.int64)[order])

    def articles_of(self, edge: int) -> Sequence[int]:
        articles: Sequence[int] = self.articles[self.starts[edge] : self.starts[edge + 1]].tolist()
        return articles

    def ids(self, edge: int) -> list[str]:
        return [self.counts.article_ids[article] for article in self.articles_of(edge)]

    def dated(self) -> bool:
        return any(self.counts.article_dates)

    def dates(self, edge: int) -> tuple[str | None, str | None, dict[str, int]]:
        """First and last seen and articles by month ("YYYY-MM"), of the articles that carried a date."""
        days = sorted(day for day in (self.counts.article_dates[a] for a in self.articles_of(edge)) if day)
        months: dict[str, int] = {}
        for day in days:
            months[day[:7]] = months.get(day[:7], 0) + 1
        return (days[0] if days else None), (days[-1] if days else None), months
