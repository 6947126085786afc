"""`--next EVENT` and `--causes EVENT`: what most often follows an event in a graph directory, or precedes it, with
the edge's P(target | source), lift, count, articles and dates."""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any

from ..exits import EXIT_OK, GraphInputError
from .between import Network

LIMIT = 10


def successors(
    graph_dir: str | os.PathLike[str], event: str, *, forward: bool = True
) -> tuple[str, list[dict[str, Any]]]:
    """The event's name and its edges out (or in), the most probable first: each edge's fields with the other
    event's name as "event"."""
    path = Path(graph_dir) / "graph.json"
    if not path.is_file():
        raise GraphInputError(f"{graph_dir}: no graph.json: --next and --causes read a graph directory")
    network = Network.read(graph_dir)
    node = network.node(event)
    document = json.loads(path.read_text(encoding="utf-8"))
    index = {item["id"]: number for number, item in enumerate(document["nodes"])}
    found = []
    for edge in document["edges"]:
        here, there = (edge["source"], edge["target"]) if forward else (edge["target"], edge["source"])
        if index[here] == node:
            found.append({"event": network.names[index[there]], **edge})
    # A graph written before the edges carried a probability is ranked by its count.
    found.sort(key=lambda edge: (-edge.get("probability", 0.0), -edge["count"], edge["event"]))
    return network.names[node], found


def print_successors(graph_dir: str | os.PathLike[str], event: str, *, forward: bool, limit: int) -> int:
    name, edges = successors(graph_dir, event, forward=forward)
    print(f"{'after' if forward else 'before'} {name}: {len(edges)} event{'s' if len(edges) != 1 else ''}")
    if edges:
        print(f"{'P(next)' if forward else 'P(this)':>8} {'lift':>7} {'count':>6} {'articles':>8}  {'seen':<23} event")
    for edge in edges[:limit]:
        probability = edge.get("probability")
        lift = edge.get("lift")
        seen = f"{edge['first_seen']}..{edge['last_seen']}" if edge.get("first_seen") else ""
        print(
            f"{'' if probability is None else f'{probability:.3f}':>8} {'' if lift is None else f'{lift:.2f}':>7} "
            f"{edge['count']:>6} {edge['articles']:>8}  {seen:<23} {edge['event']}"
        )
    return EXIT_OK
