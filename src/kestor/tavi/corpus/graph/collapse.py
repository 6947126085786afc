"""One node per event: the merged counts, keyed by event key, collapsed onto the events the resolver found.

The counts of names that are one event add up (relations, edges' counts, strength sums, labels); what counts
articles is counted again from the articles themselves, so an article that names one event two ways counts once
for it and for each of its edges. A node is named by the normal form that its spellings mention most (simplified,
without dates or figures: 美联储加息, not 2023年7月美聯儲加息; ties to the shorter, then the first seen) and keeps
every surface form with its mentions, the first seen among them, as its aliases.
"""

from __future__ import annotations

import math
from array import array
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any

from ..events import Level, Resolution, Tier, event_key
from ..events.normal import readable
from .counts import Counts


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


def collapse(counts: Counts, resolution: Resolution) -> Counts:
    import numpy as np

    event_of = resolution.event_of
    events = resolution.events
    result = Counts()
    for name in ("mode", "mode_place", "part_files", "articles", "failed", "relations", "unnamed", "ids", "scale"):
        setattr(result, name, getattr(counts, name))
    result.article_ids = counts.article_ids
    result.article_dates = counts.article_dates
    result.article_texts = counts.article_texts
    result.article_force = counts.article_force
    result.forces.words = dict(counts.forces.words)
    result.labels.words = dict(counts.labels.words)

    members: list[list[int]] = [[] for _ in range(events)]
    for node, event in enumerate(event_of):
        members[event].append(node)
    result.names = event_names(counts, resolution, members)
    # Every key, and every event's name, so that an event is found by any of its names.
    result.keys = {key: event_of[node] for key, node in counts.keys.items()}
    for event, name in enumerate(result.names):
        result.keys.setdefault(event_key(name), event)
    result.aliases = []
    for nodes in members:
        if len(nodes) == 1 and nodes[0] not in counts.variants:
            result.aliases.append({counts.names[nodes[0]]: counts.node_relations[nodes[0]]})
            continue
        totals: dict[str, int] = {}
        for node in nodes:
            for spelling, times in counts.spellings(node).items():
                totals[spelling] = totals.get(spelling, 0) + times
        result.aliases.append(_ranked(totals))

    edge_of = array("q")
    for edge in range(len(counts.sources)):
        new = result._edge(event_of[counts.sources[edge]], event_of[counts.targets[edge]])
        edge_of.append(new)
        result.count[new] += counts.count[edge]
        result.strength_sum[new] += counts.strength_sum[edge]
        result.strength_max[new] = max(result.strength_max[new], counts.strength_max[edge])
        for word, times in counts.labels.items(edge):
            result.labels.add(new, word, times)
    result.node_relations = array("q", bytes(8 * events))
    for edge in range(len(result.sources)):
        source, target = result.sources[edge], result.targets[edge]
        result.node_relations[source] += result.count[edge]
        if target != source:
            result.node_relations[target] += result.count[edge]

    # (edge, article) pairs onto the new edges, each once; from them the articles of edges and nodes, and forces.
    new_edges = np.frombuffer(edge_of, dtype=np.int64)[np.frombuffer(counts.pair_edge, dtype=np.int64)]
    articles = np.frombuffer(counts.pair_article, dtype=np.int64)
    pairs = np.unique(new_edges << 32 | articles) if len(articles) else np.zeros(0, dtype=np.int64)
    pair_edge, pair_article = pairs >> 32, pairs & 0xFFFFFFFF
    result.pair_edge = array("q", pair_edge.tobytes())
    result.pair_article = array("q", pair_article.tobytes())
    result.edge_articles = array("q", np.bincount(pair_edge, minlength=len(result.sources)).astype(np.int64).tobytes())
    sources = np.frombuffer(result.sources, dtype=np.int64)
    targets = np.frombuffer(result.targets, dtype=np.int64)
    ends = np.concatenate([sources[pair_edge], targets[pair_edge]]) << 32 | np.concatenate([pair_article] * 2)
    node_pairs = np.unique(ends) if len(ends) else ends
    result.node_articles = array("q", np.bincount(node_pairs >> 32, minlength=events).astype(np.int64).tobytes())
    force_of = np.frombuffer(counts.article_force, dtype=np.int64)
    if len(force_of):
        words = force_of[pair_article]
        for edge, word in zip(pair_edge[words >= 0].tolist(), words[words >= 0].tolist(), strict=True):
            result.forces.add(edge, word)
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
