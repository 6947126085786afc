"""`--next EVENT` and `--causes EVENT`: what most often follows an event in a graph directory, or precedes it, with
the edge's P(target | source), lift, count, articles and dates; in a graph of classes, what follows the event's class
(a class is found by its own name or any of its events')."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

from ..events import NodeKind
from ..exits import EXIT_OK, GraphInputError
from .between import GraphFile, Network

LIMIT = 10


def successors(
    graph_dir: str | os.PathLike[str], event: str, *, forward: bool = True, level: NodeKind | None = None
) -> tuple[str, list[dict[str, Any]], NodeKind]:
    """The node's name and its edges out (or in), the most probable first: each edge's fields with the other
    node's name as "event"; and the graph's level (`level`, where given, must be it)."""
    if not (Path(graph_dir) / "graph.json").is_file():
        raise GraphInputError(f"{graph_dir}: no graph.json: --next and --causes read a graph directory")
    graph = GraphFile.read(graph_dir, level)
    node = Network.of_file(graph).node(event)
    found = []
    for edge, (source, target, _) in zip(graph.edges, graph.links, strict=True):
        here, there = (source, target) if forward else (target, source)
        if here == node:
            found.append({"event": graph.names[there], **edge})
    # A graph written before the edges carried a probability is ranked by its count.
    found.sort(key=lambda edge: (-edge.get("probability", 0.0), -edge["count"], edge["event"]))
    return graph.names[node], found, graph.level


def print_successors(
    graph_dir: str | os.PathLike[str], event: str, *, forward: bool, limit: int, level: NodeKind | None = None
) -> int:
    name, edges, written = successors(graph_dir, event, forward=forward, level=level)
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
