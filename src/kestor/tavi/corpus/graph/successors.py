"""What most often follows an event in the graph, or precedes it: each edge's P(target | source), lift, count,
articles and dates. `next_events` and `causes` give them as tables, `--next EVENT` and `--causes EVENT` print them.

The graph is a GRAPH_DIR or the graph `load` read from one; an event is found by any of its names. In a graph of
classes, it is a class that follows or precedes, and a class is found by its own name or any of its events'.
"""

from __future__ import annotations

import os
from typing import Any

from ..events import NodeKind
from ..exits import EXIT_OK
from .kinds import RELATION
from .reading import level_of, load, network_of

LIMIT = 10
COLUMNS = ("probability", "lift", "count", "articles", "first_seen", "last_seen", "event")
"""A table's columns, in the order the command prints them (`seen` there is first_seen..last_seen)."""


def successors(
    graph: Any, event: str, *, forward: bool = True, level: NodeKind | None = None
) -> tuple[str, list[dict[str, Any]]]:
    """The event's name and its edges out (or in), the most probable first: each edge's attributes with the other
    event's name as "event"; at the graph's level (`level`, where given, must be it)."""
    if isinstance(graph, (str, os.PathLike)):
        graph = load(graph)
    level_of(graph, level)
    network, nodes = network_of(graph)
    node = nodes[network.node(event)]
    edges = graph.out_edges(node, data=True) if forward else graph.in_edges(node, data=True)
    found = [
        {**data, "event": graph.nodes[there if forward else here]["name"]}
        for here, there, data in edges
        if data.get("type", RELATION) == RELATION
    ]
    # A graph written before the edges carried a probability is ranked by its count.
    found.sort(key=lambda edge: (-edge.get("probability", 0.0), -edge["count"], edge["event"]))
    return graph.nodes[node]["name"], found


def next_events(graph: Any, event: str, *, limit: int = LIMIT) -> Any:
    """The `limit` events most likely to follow `event`, as a pandas DataFrame of COLUMNS."""
    return _table(successors(graph, event, forward=True)[1][:limit])


def causes(graph: Any, event: str, *, limit: int = LIMIT) -> Any:
    """The `limit` events most likely to precede `event` (the probability being P(event | cause)), as next_events
    gives them."""
    return _table(successors(graph, event, forward=False)[1][:limit])


def _table(edges: list[dict[str, Any]]) -> Any:
    import pandas as pd

    return pd.DataFrame([[edge.get(column) for column in COLUMNS] for edge in edges], columns=list(COLUMNS))


def print_successors(
    graph_dir: str | os.PathLike[str], event: str, *, forward: bool, limit: int, level: NodeKind | None = None
) -> int:
    graph = load(graph_dir)
    written = level_of(graph, level)
    name, edges = successors(graph, event, forward=forward)
    print(f"{'after' if forward else 'before'} {name}: {written.counted(len(edges))}")
    if edges:
        print(
            f"{'P(next)' if forward else 'P(this)':>8} {'lift':>7} {'count':>6} {'articles':>8}  {'seen':<23} {written}"
        )
    for edge in edges[:limit]:
        probability = edge.get("probability")
        lift = edge.get("lift")
        seen = f"{edge['first_seen']}..{edge['last_seen']}" if edge.get("first_seen") else ""
        print(
            f"{'' if probability is None else f'{probability:.3f}':>8} {'' if lift is None else f'{lift:.2f}':>7} "
            f"{edge['count']:>6} {edge['articles']:>8}  {seen:<23} {edge['event']}"
        )
    return EXIT_OK
