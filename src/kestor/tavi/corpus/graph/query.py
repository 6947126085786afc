"""Questions to a store (GRAPH_DIR/graph.duckdb), answered from its tables: an event found by any of its names, what
it is (its class, its aliases, the ids merged into it), what most often follows or precedes it, its neighbourhood,
the paths between two events, and the evidence of an edge. The commands `graph next|causes|between|show`, the Python
API (`load`, `next_events`, `causes`) and the web server ask through `Questions`.

Every question is asked at a level, events or classes (`level`), and within a time window (`Window`: the articles
dated from `since` to `until`, each end a year, a month or a day and included whole). Without a window, a question
reads the derived tables (`edges`, `class_edges`); with one, it counts the evidence of the window's articles again,
so that counts, P(target | source), lift and dates are those of the window alone (an article without a date is in
no window).

An event is found by its stable id (an int, or "#12" from a command line), by any of its aliases, by a name of the
same normal form, or by its name; an id that was merged into another is followed to the event it now is. A class is
found by its id, its own name, or any name of any of its events.

A `Questions` holds one read-only DuckDB connection: use one per thread (or `cursor()` for another thread's).
"""

from __future__ import annotations

import calendar
import datetime
import json
import os
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from ..events import NodeKind
from ..events.names import event_key
from ..events.normal import normalize
from ..exits import GraphInputError
from .between import MAX_PATHS, Arcs, Network, TooManyPaths, paths_between, span, too_many
from .derive import arcs_table, prepare
from .store import connect, first, store_path

NEIGHBOURS = ("probability", "lift", "count", "articles", "first_seen", "last_seen", "event")
"""What `neighbours` gives of each edge, in the order the command prints them; each row also has the other end's
`id`."""
_ID = re.compile(r"#(\d+)")
_PERIOD = re.compile(r"(\d{4})(?:-(\d{2})(?:-(\d{2}))?)?")


@dataclass(frozen=True)
class Window:
    """The articles dated from `since` to `until` (both included); None: no bound."""

    since: datetime.date | None = None
    until: datetime.date | None = None

    @classmethod
    def parse(cls, since: str | None = None, until: str | None = None) -> Window:
        """From `--since` and `--until`: YYYY, YYYY-MM or YYYY-MM-DD, each end taken whole (--until 2024-07 is
        up to July 31st)."""
        window = cls(
            None if since is None else _period(since, "--since")[0],
            None if until is None else _period(until, "--until")[1],
        )
        if window.since and window.until and window.since > window.until:
            raise GraphInputError(f"--since {since} comes after --until {until}: a window of no day")
        return window

    @property
    def whole(self) -> bool:
        return self.since is None and self.until is None

    def condition(self, column: str = "date") -> tuple[str, list[Any]]:
        """The SQL condition on a date column, with its parameters."""
        parts, values = [], []
        if self.since is not None:
            parts.append(f"{column} >= ?")
            values.append(self.since)
        if self.until is not None:
            parts.append(f"{column} <= ?")
            values.append(self.until)
        return " AND ".join(parts) or "TRUE", values


def _period(text: str, option: str) -> tuple[datetime.date, datetime.date]:
    match = _PERIOD.fullmatch(text.strip())
    try:
        if match is None:
            raise ValueError
        year, month, day = (int(part) if part else None for part in match.groups())
        assert year is not None
        if month is None:
            return datetime.date(year, 1, 1), datetime.date(year, 12, 31)
        if day is None:
            return datetime.date(year, month, 1), datetime.date(year, month, calendar.monthrange(year, month)[1])
        return datetime.date(year, month, day), datetime.date(year, month, day)
    except ValueError:
        raise GraphInputError(f"{option} {text}: a year, month or day, as 2024, 2024-07 or 2024-07-10") from None


@dataclass(frozen=True)
class Node:
    """An event or a class as a question found it."""

    id: int
    name: str
    kind: NodeKind
    asked: int | None = None
    """The id asked, where it was merged into this one."""


@dataclass
class Questions:
    """The questions of one store, at one level."""

    connection: Any
    level: NodeKind = NodeKind.EVENT
    names: dict[int, str] = field(default_factory=dict)
    """Names looked up, by id (at the level)."""
    whole_arcs: tuple[Arcs, Any, Any] | None = field(default=None, repr=False)
    """The edges of the whole time and their strengths, once read (see `_arcs`)."""

    @classmethod
    def open(cls, graph_dir: str | os.PathLike[str], level: NodeKind | str | None = None) -> Questions:
        """The store of GRAPH_DIR, read-only, at `level` (by default the level its files were written at, else
        events)."""
        connection = connect(store_path(graph_dir))
        prepare(connection)
        return cls(connection, NodeKind(level or written_level(graph_dir)))

    def close(self) -> None:
        self.connection.close()

    def __enter__(self) -> Questions:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def _nodes(self) -> str:
        return "events" if self.level is NodeKind.EVENT else "classes"

    @property
    def _edges(self) -> str:
        return "edges" if self.level is NodeKind.EVENT else "class_edges"

    # Finding

    def find(self, asked: str | int) -> Node:
        """The event (or class) of that id, alias, normal form or name; an unknown one is refused, naming those
        whose names hold the text."""
        number = asked if isinstance(asked, int) else _id_of(asked)
        if number is not None:
            return self._by_id(number, asked)
        key = event_key(str(asked))
        event = self._event_of_name(key) if key else None
        if self.level is NodeKind.CLASS:
            found = first(self.connection.execute("SELECT id FROM classes WHERE name = ? AND events > 0", [key]))
            if found is None and event is not None:
                found = first(self.connection.execute("SELECT class FROM events WHERE id = ?", [event]))
            if found is not None:
                return self._by_id(found[0], asked)
        elif event is not None:
            return self._by_id(event, asked)
        near = (
            [
                name
                for (name,) in self.connection.execute(
                    f"SELECT name FROM {self._nodes} WHERE contains(name, ?) AND {_LIVE[self.level]} "
                    "ORDER BY id LIMIT 5",
                    [key],
                ).fetchall()
            ]
            if key
            else []
        )
        hint = f"; {self.level.plural} whose names hold it: {', '.join(near)}" if near else ""
        raise GraphInputError(f"no {self.level} {asked!r} in the graph (compared as {key!r}){hint}")

    def _event_of_name(self, key: str) -> int | None:
        found = first(self.connection.execute("SELECT event FROM aliases WHERE key = ? LIMIT 1", [key]))
        if found is None:
            [normal] = normalize([key])
            found = first(
                self.connection.execute("SELECT event FROM aliases WHERE normal_form = ? LIMIT 1", [normal.form])
            )
        if found is None:
            found = first(
                self.connection.execute("SELECT id FROM events WHERE name = ? AND redirect IS NULL LIMIT 1", [key])
            )
        return None if found is None else int(found[0])

    def _by_id(self, number: int, asked: str | int) -> Node:
        if self.level is NodeKind.EVENT:
            found = first(self.connection.execute("SELECT coalesce(redirect, id) FROM events WHERE id = ?", [number]))
            if found is None:
                raise GraphInputError(f"no event #{number} in the graph")
            live = int(found[0])
        else:
            live = number
        row = first(
            self.connection.execute(f"SELECT name FROM {self._nodes} WHERE id = ? AND {_LIVE[self.level]}", [live])
        )
        if row is None:
            raise GraphInputError(f"no {self.level} #{number} in the graph")
        return Node(live, row[0], self.level, number if live != number else None)

    def search(self, text: str, limit: int = 20) -> list[dict[str, Any]]:
        """The aliases that hold `text` (those that begin with it first, then by mentions), each with its event's
        id and name (at the class level, its class's): what completion offers."""
        key = event_key(text)
        if not key:
            return []
        owner = "e.id, e.name" if self.level is NodeKind.EVENT else "c.id, c.name"
        joined = "" if self.level is NodeKind.EVENT else "JOIN classes c ON c.id = e.class"
        rows = self.connection.execute(
            f"""
            SELECT a.alias, {owner}, a.mentions FROM aliases a JOIN events e ON e.id = a.event {joined}
            WHERE contains(a.key, ?)
            ORDER BY NOT starts_with(a.key, ?), a.mentions DESC, a.seq LIMIT ?
            """,
            [key, key, limit],
        ).fetchall()
        return [
            {"alias": alias, "id": number, "name": name, "mentions": mentions} for alias, number, name, mentions in rows
        ]

    # What a node is

    def show(self, asked: str | int, window: Window = Window()) -> dict[str, Any]:
        """The node: its id, name and figures; an event's class, aliases (with the tier and score that decided) and
        the ids merged into it; a class's events; its edges out and in (within the window)."""
        node = self.find(asked)
        shown: dict[str, Any] = {"id": node.id, "name": node.name, "kind": str(node.kind)}
        if node.asked is not None:
            shown["asked"] = node.asked
        if self.level is NodeKind.EVENT:
            group, articles, relations = first(
                self.connection.execute("SELECT class, articles, relations FROM events WHERE id = ?", [node.id])
            )
            shown["class"] = {"id": group, "name": self._name(NodeKind.CLASS, group)}
            shown["aliases"] = [
                {"alias": alias, "tier": tier, "score": score, "mentions": mentions, "first_seen": _text(seen)}
                for alias, tier, score, mentions, seen in self.connection.execute(
                    "SELECT alias, tier, score, mentions, first_seen FROM aliases WHERE event = ? "
                    "ORDER BY mentions DESC, seq",
                    [node.id],
                ).fetchall()
            ]
            shown["merged"] = [
                number
                for (number,) in self.connection.execute(
                    "SELECT id FROM events WHERE redirect = ? ORDER BY id", [node.id]
                ).fetchall()
            ]
        else:
            articles, relations = first(
                self.connection.execute("SELECT articles, relations FROM classes WHERE id = ?", [node.id])
            )
            shown["events"] = [
                {"id": number, "name": name}
                for number, name in self.connection.execute(
                    "SELECT id, name FROM events WHERE class = ? AND redirect IS NULL ORDER BY relations DESC, id",
                    [node.id],
                ).fetchall()
            ]
        if window.whole:
            shown["articles"], shown["relations"] = articles, relations
        else:
            condition, values = window.condition("e.date")
            ends = self._ends(condition)
            shown["articles"], shown["relations"] = first(
                self.connection.execute(
                    f"SELECT count(DISTINCT article), count(*) FROM ({ends}) WHERE node = ?",
                    [*values, *values, node.id],
                )
            )
        shown["out"] = self.degree(node.id, forward=True, window=window)
        shown["in"] = self.degree(node.id, forward=False, window=window)
        return shown

    def degree(self, number: int, *, forward: bool = True, window: Window = Window()) -> int:
        """How many edges leave the node of that id (enter it, `forward` false) within the window: counted, where
        `neighbours` would list them all."""
        here = "source" if forward else "target"
        if window.whole:
            found = first(self.connection.execute(f"SELECT count(*) FROM {self._edges} WHERE {here} = ?", [number]))
        else:
            condition, values = window.condition("e.date")
            found = first(
                self.connection.execute(
                    f"SELECT count(DISTINCT (source, target)) FROM ({self._relations(condition)}) WHERE {here} = ?",
                    [*values, number],
                )
            )
        return int(found[0])

    def _ends(self, condition: str) -> str:
        """(node, article) of each end of each relation of the window, a loop once."""
        relations = self._relations(condition)
        return (
            f"SELECT source AS node, article FROM ({relations}) UNION ALL "
            f"SELECT target, article FROM ({relations}) WHERE target <> source"
        )

    def _relations(self, condition: str) -> str:
        """The evidence of the window as relations between nodes of the level: source, target, article, date,
        strength (`condition` on `e.date`; its parameters come once)."""
        if self.level is NodeKind.EVENT:
            return f"SELECT e.source, e.target, e.article, e.date, e.strength FROM evidence e WHERE {condition}"
        return (
            "SELECT s.class AS source, t.class AS target, e.article, e.date, e.strength FROM evidence e "
            f"JOIN events s ON s.id = e.source JOIN events t ON t.id = e.target WHERE {condition}"
        )

    def _name(self, kind: NodeKind, number: int) -> str:
        table = "events" if kind is NodeKind.EVENT else "classes"
        row = first(self.connection.execute(f"SELECT name FROM {table} WHERE id = ?", [number]))
        return "" if row is None else str(row[0])

    # Neighbours

    def neighbours(
        self, asked: str | int, *, forward: bool = True, window: Window = Window(), limit: int | None = 10
    ) -> list[dict[str, Any]]:
        """What most probably follows the node (precedes it, `forward` false): one row per edge out (in), the most
        probable first (then the most counted, then by name), with P(target | source) as `probability` (for a
        cause, the probability of this node given it), `lift`, `count`, `articles`, `first_seen`, `last_seen`, the
        other end's name as `event` and its `id`, and the edge's `strength_mean`; `limit` rows at most (None:
        all)."""
        node = self.find(asked)
        here, there = ("source", "target") if forward else ("target", "source")
        if window.whole:
            rows = self.connection.execute(
                f"""
                SELECT e.probability, e.lift, e.count, e.articles, strftime(e.first_seen, '%Y-%m-%d'),
                    strftime(e.last_seen, '%Y-%m-%d'), n.name, n.id, e.strength_mean
                FROM {self._edges} e JOIN {self._nodes} n ON n.id = e.{there}
                WHERE e.{here} = ?
                ORDER BY e.probability DESC, e.count DESC, n.name {"" if limit is None else "LIMIT ?"}
                """,
                [node.id, *([] if limit is None else [limit])],
            ).fetchall()
        else:
            condition, values = window.condition("e.date")
            relations = self._relations(condition)
            rows = self.connection.execute(
                f"""
                WITH rel AS ({relations}),
                mine AS (
                    SELECT source, target, count(*) AS count, count(DISTINCT article) AS articles,
                        min(date) AS first_seen, max(date) AS last_seen,
                        kestor_exact_mean(sum((strength * 18446744073709551616.0)::HUGEINT), count(*), avg(strength))
                            AS strength_mean
                    FROM rel WHERE {here} = ? GROUP BY source, target
                ),
                leaving AS (
                    SELECT source, count(*) AS n FROM rel WHERE source IN (SELECT source FROM mine) GROUP BY source
                ),
                entering AS (
                    SELECT target, count(*) AS n FROM rel WHERE target IN (SELECT target FROM mine) GROUP BY target
                ),
                total AS (SELECT count(*) AS n FROM rel)
                SELECT m.count / l.n AS probability, (m.count / l.n) / (t.n / total.n) AS lift, m.count, m.articles,
                    strftime(m.first_seen, '%Y-%m-%d'), strftime(m.last_seen, '%Y-%m-%d'), n.name, n.id,
                    m.strength_mean
                FROM mine m JOIN leaving l USING (source) JOIN entering t USING (target), total
                    JOIN {self._nodes} n ON n.id = m.{there}
                ORDER BY probability DESC, m.count DESC, n.name {"" if limit is None else "LIMIT ?"}
                """,
                [*values, node.id, *([] if limit is None else [limit])],
            ).fetchall()
        return [dict(zip((*NEIGHBOURS, "id", "strength_mean"), row, strict=True)) for row in rows]

    def busiest(self, limit: int) -> tuple[list[dict[str, Any]], list[dict[str, Any]], int]:
        """The `limit` nodes of most relations (of all time), each with its `id`, `name` and `relations`, every
        edge among them with its `source`, `target`, `count`, `probability` and `strength_mean`, and how many nodes
        there are: where a view of a graph too large to show whole begins."""
        nodes = [
            {"id": number, "name": name, "relations": relations}
            for number, name, relations in self.connection.execute(
                f"SELECT id, name, relations FROM {self._nodes} WHERE {_LIVE[self.level]} "
                "ORDER BY relations DESC, id LIMIT ?",
                [limit],
            ).fetchall()
        ]
        chosen = [node["id"] for node in nodes]
        keys = ("source", "target", "count", "probability", "strength_mean")
        edges = [
            dict(zip(keys, row, strict=True))
            for row in self.connection.execute(
                f"""
                SELECT source, target, count, probability, strength_mean FROM {self._edges}
                WHERE source IN (SELECT unnest(?)) AND target IN (SELECT unnest(?)) ORDER BY seq
                """,
                [chosen, chosen],
            ).fetchall()
        ]
        [(total,)] = self.connection.execute(f"SELECT count(*) FROM {self._nodes} WHERE {_LIVE[self.level]}").fetchall()
        return nodes, edges, int(total)

    def neighbourhood(self, asked: str | int, *, window: Window = Window(), limit: int | None = None) -> Any:
        """The node with what follows and precedes it (`limit` of each at most, the most probable), and every edge
        among them, as a networkx DiGraph: nodes by id with `name`, `kind` and `centre` (the node asked), edges with
        `count`, `articles`, `probability`, `lift`, `first_seen`, `last_seen`."""
        import networkx as nx

        node = self.find(asked)
        chosen = {node.id: node.name}
        for forward in (True, False):
            for row in self.neighbours(node.id, forward=forward, window=window, limit=limit):
                chosen[row["id"]] = row["event"]
        graph = nx.DiGraph(level=str(self.level))
        for number, name in chosen.items():
            graph.add_node(number, name=name, kind=str(self.level), centre=number == node.id)
        for edge in self.edges_among(list(chosen), window):
            source, target, *figures = edge
            graph.add_edge(source, target, **dict(zip(NEIGHBOURS[:6], figures, strict=True)))
        return graph

    def edges_among(self, nodes: list[int], window: Window = Window()) -> list[tuple[Any, ...]]:
        """Every edge among the nodes of these ids: its source and target, then its figures in the order of
        NEIGHBOURS (`probability` to `last_seen`)."""
        if window.whole:
            rows: list[tuple[Any, ...]] = self.connection.execute(
                f"""
                SELECT source, target, probability, lift, count, articles, strftime(first_seen, '%Y-%m-%d'),
                    strftime(last_seen, '%Y-%m-%d')
                FROM {self._edges} WHERE source IN (SELECT unnest(?)) AND target IN (SELECT unnest(?)) ORDER BY seq
                """,
                [nodes, nodes],
            ).fetchall()
            return rows
        condition, values = window.condition("e.date")
        rows = self.connection.execute(
            f"""
            WITH rel AS ({self._relations(condition)}),
            leaving AS (SELECT source, count(*) AS n FROM rel GROUP BY source),
            entering AS (SELECT target, count(*) AS n FROM rel GROUP BY target),
            total AS (SELECT count(*) AS n FROM rel),
            among AS (
                SELECT source, target, count(*) AS count, count(DISTINCT article) AS articles,
                    min(date) AS first_seen, max(date) AS last_seen
                FROM rel WHERE source IN (SELECT unnest(?)) AND target IN (SELECT unnest(?)) GROUP BY source, target
            )
            SELECT a.source, a.target, a.count / l.n, (a.count / l.n) / (t.n / total.n), a.count, a.articles,
                strftime(a.first_seen, '%Y-%m-%d'), strftime(a.last_seen, '%Y-%m-%d')
            FROM among a JOIN leaving l USING (source) JOIN entering t USING (target), total
            ORDER BY a.source, a.target
            """,
            [*values, nodes, nodes],
        ).fetchall()
        return rows

    # Paths

    def between(
        self, first: str | int, second: str | int, *, window: Window = Window(), max_paths: int = MAX_PATHS
    ) -> tuple[dict[str, Any], int]:
        """The graph data of every path from `first` to `second` (no node twice on a path), as the force extractor
        takes it, with the store's ids and each edge's mean strength, and how many paths there are (see `between`).
        The events between the two (reached from the first, reaching the second) are found on the edges as arrays,
        read once for the whole time; only they are named and counted, and too many paths are refused before."""
        start, end = self.find(first), self.find(second)
        if start.id == end.id:
            raise GraphInputError(f"{first!r} and {second!r} are the same {self.level}")
        arcs, strengths, rank = self._arcs(window)
        found = span(arcs, start.id, end.id, max_paths)
        if found is None:
            raise GraphInputError(f"no path from {start.name!r} to {end.name!r} in the graph")
        if found.beyond:
            raise TooManyPaths(too_many(start.name, end.name, f"more than {max_paths:,}", max_paths))
        # Only what lies between the two is named and handed to the count, in the order of the edges read.
        inner = found.nodes.tolist()
        names = dict(
            self.connection.execute(
                f"SELECT id, name FROM {self._nodes} WHERE id IN (SELECT unnest(?))", [inner]
            ).fetchall()
        )
        index = {number: place for place, number in enumerate(inner)}
        listed = found.edges[rank[found.edges].argsort(kind="stable")]
        edges = [
            (index[source], index[target], strength)
            for source, target, strength in zip(
                arcs.sources[listed].tolist(), arcs.targets[listed].tolist(), strengths[listed].tolist(), strict=True
            )
        ]
        network = Network([names[number] for number in inner], {}, edges, self.level, ids=inner)
        return paths_between(network, index[start.id], index[end.id], max_paths)

    def _arcs(self, window: Window) -> tuple[Arcs, Any, Any]:
        """The edges of the window as `Arcs` by node id, with each one's mean strength and its rank in the order the
        files list them; those of the whole time are read once for the `Questions`."""
        import numpy as np

        if window.whole and self.whole_arcs is not None:
            return self.whole_arcs
        if window.whole:
            # Stored in order of their sources, with their places by target: read as stored, grouped without a sort.
            ends = self.connection.execute(
                f"SELECT source, target, strength, seq AS rank, entering FROM {arcs_table(self.level)}"
            ).fetchnumpy()
        else:
            condition, values = window.condition("e.date")
            ends = self.connection.execute(
                f"""
                SELECT source, target,
                    kestor_exact_mean(sum((strength * 18446744073709551616.0)::HUGEINT), count(*), avg(strength))
                    AS strength, row_number() OVER (ORDER BY min(article), source, target) AS rank
                FROM ({self._relations(condition)})
                GROUP BY source, target
                """,
                values,
            ).fetchnumpy()
        sources = np.asarray(ends["source"], dtype=np.int64)
        targets = np.asarray(ends["target"], dtype=np.int64)
        nodes = int(max(sources.max(initial=0), targets.max(initial=0))) + 1
        strengths = np.asarray(ends["strength"], dtype=np.float64)
        # Where a scan did not give them in the order stored, they are grouped by sorting, as any edges are.
        step, turn = np.diff(sources), np.diff(targets)
        in_order = window.whole and bool(np.all((step > 0) | ((step == 0) & (turn > 0))))
        by_target = np.asarray(ends["entering"], dtype=np.int64) if in_order else None
        read = Arcs(sources, targets, nodes, by_target), strengths, np.asarray(ends["rank"], dtype=np.int64)
        if window.whole:
            self.whole_arcs = read
        return read

    # Evidence

    def evidence(
        self, source: str | int, target: str | int, *, window: Window = Window(), limit: int | None = 100
    ) -> list[dict[str, Any]]:
        """The relations an edge was counted from, in the order read: each with its article's id, date and the
        first characters of its text (where the run kept them), the spellings of both ends, the label, the
        strength, the article's force word and the run it came from; `limit` at most (None: all)."""
        here, there = self.find(source), self.find(target)
        condition, values = window.condition("e.date")
        ends = (
            "e.source = ? AND e.target = ?"
            if self.level is NodeKind.EVENT
            else "e.source IN (SELECT id FROM events WHERE class = ?) "
            "AND e.target IN (SELECT id FROM events WHERE class = ?)"
        )
        rows = self.connection.execute(
            f"""
            SELECT e.article, strftime(e.date, '%Y-%m-%d'), a.excerpt, e.source_alias, e.target_alias, e.label,
                e.strength, e.force, e.run
            FROM evidence e JOIN articles a USING (article)
            WHERE {ends} AND {condition} ORDER BY e.seq {"" if limit is None else "LIMIT ?"}
            """,
            [here.id, there.id, *values, *([] if limit is None else [limit])],
        ).fetchall()
        keys = ("article", "date", "excerpt", "source_alias", "target_alias", "label", "strength", "force", "run")
        return [dict(zip(keys, row, strict=True)) for row in rows]


_LIVE = {NodeKind.EVENT: "redirect IS NULL", NodeKind.CLASS: "events > 0"}


def _id_of(text: str) -> int | None:
    match = _ID.fullmatch(text.strip())
    return int(match.group(1)) if match else None


def _text(value: Any) -> str | None:
    return None if value is None else str(value)


def written_level(graph_dir: str | os.PathLike[str]) -> NodeKind:
    """The level GRAPH_DIR's files were written at (its summary.json says), else events."""
    try:
        summary = json.loads((Path(graph_dir) / "summary.json").read_text(encoding="utf-8"))
        return NodeKind(summary.get("level", NodeKind.EVENT))
    except (OSError, ValueError, AttributeError):
        return NodeKind.EVENT


def has_questions(graph_dir: str | os.PathLike[str]) -> bool:
    return Path(store_path(graph_dir)).is_file()
