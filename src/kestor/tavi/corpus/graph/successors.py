"""What most often follows an event in the graph, or precedes it: each edge's P(target | source), lift, count,
articles and dates. `next_events` and `causes` give them as tables, `graph next EVENT` and `graph causes EVENT`
print them.

The graph is a GRAPH_DIR (its store where it has one, asked within a time window where one is given; else its
graph.json) or the graph `load` read from one; an event is found by any of its names. In a graph of classes, it is
a class that follows or precedes, and a class is found by its own name or any of its events'.
"""

from __future__ import annotations

import os
from typing import Any

from ..events import NodeKind
from ..exits import GraphInputError
from .kinds import RELATION
from .query import NEIGHBOURS, Questions, Window, has_questions
from .reading import level_of, load, network_of

LIMIT = 10
COLUMNS = NEIGHBOURS
"""A table's columns, in the order the command prints them (`seen` there is first_seen..last_seen)."""


def successors(
    graph: Any,
    event: str | int,
    *,
    forward: bool = True,
    level: NodeKind | None = None,
    since: str | None = None,
    until: str | None = None,
    limit: int | None = None,
) -> tuple[str, list[dict[str, Any]]]:
    """The event's name and its edges out (or in), the most probable first: each edge's figures with the other
    event's name as "event"; at the graph's level (`level`, where given, must be it; a store is asked at it)."""
    if isinstance(graph, (str, os.PathLike)) and has_questions(graph):
        with Questions.open(graph, level) as questions:
            name = questions.find(event).name
            window = Window.parse(since, until)
            return name, questions.neighbours(event, forward=forward, window=window, limit=limit)
    if since is not None or until is not None:
        raise GraphInputError("a time window is asked of a graph directory's store, which this graph has not")
    if isinstance(graph, (str, os.PathLike)):
        graph = load(graph)
    level_of(graph, level)
    network, nodes = network_of(graph)
    node = nodes[network.node(str(event))]
    edges = graph.out_edges(node, data=True) if forward else graph.in_edges(node, data=True)
    found = [
        {**data, "event": graph.nodes[there if forward else here]["name"]}
        for here, there, data in edges
        if data.get("type", RELATION) == RELATION
    ]
    # A graph written before the edges carried a probability is ranked by its count.
    found.sort(key=lambda edge: (-edge.get("probability", 0.0), -edge["count"], edge["event"]))
    return graph.nodes[node]["name"], found[:limit] if limit is not None else found


def next_events(
    graph: Any,
    event: str | int,
    *,
    limit: int = LIMIT,
    level: NodeKind | str | None = None,
    since: str | None = None,
    until: str | None = None,
) -> Any:
    """The `limit` events most likely to follow `event`, as a pandas DataFrame of COLUMNS (in a store, within the
    window `since`..`until`, at `level`)."""
    kind = None if level is None else NodeKind(level)
    return _table(successors(graph, event, forward=True, level=kind, since=since, until=until, limit=limit)[1])


def causes(
    graph: Any,
    event: str | int,
    *,
    limit: int = LIMIT,
    level: NodeKind | str | None = None,
    since: str | None = None,
    until: str | None = None,
) -> Any:
    """The `limit` events most likely to precede `event` (the probability being P(event | cause)), as next_events
    gives them."""
    kind = None if level is None else NodeKind(level)
    return _table(successors(graph, event, forward=False, level=kind, since=since, until=until, limit=limit)[1])


def _table(edges: list[dict[str, Any]]) -> Any:
    import pandas as pd

    return pd.DataFrame([[edge.get(column) for column in COLUMNS] for edge in edges], columns=list(COLUMNS))
