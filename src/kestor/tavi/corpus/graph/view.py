"""The store as the exports read it: at one level (`--level`), its nodes and edges as rows in the order first seen,
then the other level's nodes, each joined only by an is-a edge from an event to its class.

A node keeps its id in the files: the level's nodes their own ids, the other level's theirs past the level's last id
(an event's `class` and a class's own are class ids). A store without redirects or emptied classes numbers both
1, 2, ... as a build always did; later, a merged event's id is left out rather than given to another.
"""

from __future__ import annotations

import json
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from ..events import NodeKind
from .store import first

TABLES = {NodeKind.EVENT: ("events", "edges"), NodeKind.CLASS: ("classes", "class_edges")}
LIVE = {NodeKind.EVENT: "redirect IS NULL", NodeKind.CLASS: "events > 0"}
BATCH = 50_000


@dataclass(frozen=True)
class NodeRow:
    id: int
    """The node's id in the files."""
    name: str
    articles: int
    relations: int
    aliases: str
    """JSON text."""
    kind: NodeKind
    class_id: int
    """An event's class, a class's own: its id at the class level."""
    events: int | None
    """A class's events; none for an event."""


@dataclass(frozen=True)
class EdgeRow:
    source: int
    target: int
    count: int
    articles: int
    strength_mean: float
    strength_max: float
    labels: str
    """JSON text, as are forces and months."""
    forces: str
    article_ids: list[str]
    probability: float
    lift: float
    first_seen: str | None
    last_seen: str | None
    months: str


@dataclass
class View:
    connection: Any
    level: NodeKind

    def offset(self, kind: NodeKind) -> int:
        """What a node of `kind` adds to its id in the files."""
        if kind is self.level:
            return 0
        nodes, _ = TABLES[self.level]
        return int(self.connection.execute(f"SELECT coalesce(max(id), 0) FROM {nodes}").fetchall()[0][0])

    def size(self, kind: NodeKind) -> int:
        nodes, _ = TABLES[kind]
        return int(self.connection.execute(f"SELECT count(*) FROM {nodes} WHERE {LIVE[kind]}").fetchall()[0][0])

    def edge_count(self, kind: NodeKind) -> int:
        return int(self.connection.execute(f"SELECT count(*) FROM {TABLES[kind][1]}").fetchall()[0][0])

    def nodes(self) -> Iterator[NodeRow]:
        """The level's nodes, then the other level's."""
        yield from self.rows(self.level)
        yield from self.rows(self.level.other)

    def rows(self, kind: NodeKind) -> Iterator[NodeRow]:
        nodes, _ = TABLES[kind]
        offset = self.offset(kind)
        event = kind is NodeKind.EVENT
        columns = "class, NULL" if event else "id, events"
        cursor = self.connection.cursor()
        cursor.execute(
            f"SELECT id, name, articles, relations, to_json(aliases)::VARCHAR, {columns} FROM {nodes} "
            f"WHERE {LIVE[kind]} ORDER BY id"
        )
        while batch := cursor.fetchmany(BATCH):
            for number, name, articles, relations, aliases, group, events in batch:
                yield NodeRow(number + offset, name, articles, relations, aliases, kind, group, events)

    def is_a(self) -> Iterator[tuple[int, int]]:
        """(event, class) by their ids in the files: each event's is-a edge to its class."""
        event_offset, class_offset = self.offset(NodeKind.EVENT), self.offset(NodeKind.CLASS)
        cursor = self.connection.cursor()
        cursor.execute("SELECT id, class FROM events WHERE redirect IS NULL ORDER BY id")
        while batch := cursor.fetchmany(BATCH):
            for event, group in batch:
                yield event + event_offset, group + class_offset

    def edges(self, kind: NodeKind | None = None, wanted: Any = None) -> Iterator[EdgeRow]:
        """The edges between nodes of `kind` (the level's), in the order first seen; those whose ends are in
        `wanted` (a set of ids), where given."""
        _, edges = TABLES[kind or self.level]
        cursor = self.connection.cursor()
        cursor.execute(
            f"""
            SELECT source, target, count, articles, strength_mean, strength_max, to_json(labels)::VARCHAR,
                to_json(forces)::VARCHAR, article_ids, probability, lift, strftime(first_seen, '%Y-%m-%d'),
                strftime(last_seen, '%Y-%m-%d'), to_json(months)::VARCHAR
            FROM {edges} ORDER BY seq
            """
        )
        while batch := cursor.fetchmany(BATCH):
            for row in batch:
                if wanted is not None and not (row[0] in wanted and row[1] in wanted):
                    continue
                yield EdgeRow(*row)

    def dated(self) -> bool:
        return bool(self.connection.execute("SELECT count(*) FROM articles WHERE date IS NOT NULL").fetchall()[0][0])

    def degrees(self, kind: NodeKind | None = None) -> dict[int, tuple[int, int]]:
        """(in, out) of every node of `kind` by id, as networkx counts them (a loop is one of each)."""
        kind = kind or self.level
        nodes, edges = TABLES[kind]
        found = self.connection.execute(
            f"""
            SELECT n.id, coalesce(i.n, 0), coalesce(o.n, 0) FROM {nodes} n
            LEFT JOIN (SELECT target AS id, count(*) AS n FROM {edges} GROUP BY target) i USING (id)
            LEFT JOIN (SELECT source AS id, count(*) AS n FROM {edges} GROUP BY source) o USING (id)
            WHERE {LIVE[kind]}
            """
        ).fetchall()
        return {number: (into, out) for number, into, out in found}

    def leaving(self, kind: NodeKind | None = None) -> dict[int, int]:
        """The relations leaving each node, by id."""
        _, edges = TABLES[kind or self.level]
        return dict(self.connection.execute(f"SELECT source, sum(count) FROM {edges} GROUP BY source").fetchall())

    def components(self, kind: NodeKind | None = None) -> list[tuple[int, int]]:
        """(nodes, edges) of each weakly connected component."""
        import numpy as np
        from scipy.sparse import coo_matrix
        from scipy.sparse.csgraph import connected_components

        kind = kind or self.level
        nodes, edges = TABLES[kind]
        ids = self.connection.execute(f"SELECT id FROM {nodes} WHERE {LIVE[kind]} ORDER BY id").fetchnumpy()["id"]
        ends = self.connection.execute(f"SELECT source, target FROM {edges}").fetchnumpy()
        if not len(ids):
            return []
        place = np.searchsorted(ids, np.asarray(ends["source"], dtype=np.int64))
        other = np.searchsorted(ids, np.asarray(ends["target"], dtype=np.int64))
        matrix = coo_matrix((np.ones(len(place)), (place, other)), shape=(len(ids), len(ids)))
        _, label = connected_components(matrix, directed=True, connection="weak")
        sizes = np.bincount(label, minlength=label.max() + 1)
        edge_counts = np.bincount(label[place], minlength=len(sizes)) if len(place) else np.zeros(len(sizes), int)
        return [(int(size), int(count)) for size, count in zip(sizes, edge_counts, strict=True)]

    def figures(self) -> dict[str, Any]:
        """What the runs added hold: their mode, part files, lines read, failed, relations and those left out."""
        [part_files] = self.connection.execute("SELECT coalesce(sum(part_files), 0) FROM runs").fetchall()[0]
        [failed] = first(
            self.connection.execute(
                "SELECT count(DISTINCT article) FROM failures WHERE article NOT IN (SELECT article FROM articles)"
            )
        )
        articles, relations = first(
            self.connection.execute("SELECT count(*), coalesce(sum(relations), 0) FROM articles")
        )
        [named] = self.connection.execute("SELECT count(*) FROM evidence").fetchall()[0]
        mode = first(self.connection.execute("SELECT value FROM meta WHERE key = 'mode'"))
        return {
            "mode": (mode[0] if mode else None) or None,
            "part_files": int(part_files),
            "articles": int(articles),
            "failed": int(failed),
            "relations": int(relations),
            "unnamed": int(relations) - int(named),
        }

    def excerpts(self) -> dict[str, str]:
        return dict(self.connection.execute("SELECT article, excerpt FROM articles WHERE excerpt <> ''").fetchall())


def parsed(text: str) -> Any:
    return json.loads(text)
