"""The subgraph of every path from one event to another, as graph data for `ForceExtractor.predict`.

A path is simple (no event twice), as the force extractor walks them. The subgraph's only start is the first event
and its only end the second: no path comes back to where it began or goes on past where it ends. So the force
extractor finds exactly the paths counted here, and `max_paths` bounds what it renders and sends.

Counting: the events that lie between the two (reached from the first, reaching the second) are taken apart from
the rest. Without a cycle among them, every edge between them is on a path and the paths are counted by adding
along a topological order, none enumerated; with a cycle, paths are enumerated depth first, nearest the second event
first, until one more than `max_paths` is found, each step only into events from which the second can still be
reached without going back over the path.
"""

from __future__ import annotations

import json
import os
from collections import deque
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from ..events import NodeKind
from ..events.names import event_key
from ..events.normal import normalize
from ..exits import GraphInputError
from .evidence import Evidence
from .kinds import RELATION, written_level

MAX_PATHS = 1000
# Enumeration steps on a graph with cycles, past which counting gives up rather than run for hours.
STEP_BUDGET = 20_000_000


class TooManyPaths(GraphInputError):
    pass


@dataclass
class Network:
    """What the path search needs of the event graph: names and keys by node, and edges in graph order."""

    names: list[str]
    keys: dict[str, int]
    edges: list[tuple[int, int, float]]
    """(source, target, mean strength) by node index."""
    level: NodeKind = NodeKind.EVENT
    ids: list[int] | None = None
    """Each node's id in the graph; None: its index + 1."""
    index: dict[int, int] = field(init=False)
    """Each node's index by its id."""

    def __post_init__(self) -> None:
        self.index = {number: place for place, number in enumerate(self.identities())}

    def identities(self) -> list[int]:
        return self.ids if self.ids is not None else list(range(1, len(self.names) + 1))

    @classmethod
    def read(cls, graph_dir: str | os.PathLike[str], level: NodeKind | None = None) -> Network:
        """From the graph.json of a GRAPH_DIR, at the level it was written at (`level`, where given, must be it): its
        nodes of that level and the relations between them."""
        path = Path(graph_dir) / "graph.json"
        try:
            document = json.loads(path.read_text(encoding="utf-8"))
            written = written_level(document.get("graph", {}), level, f"{graph_dir}: ")
            nodes = [node for node in document["nodes"] if node.get("kind", written) == written]
            index = {node["id"]: number for number, node in enumerate(nodes)}
            names = [node["name"] for node in nodes]
            # A graph written before aliases has none: each node is then known by its name alone. A class's aliases
            # are its events' names: an event's name finds its class.
            aliases = [list(node.get("aliases") or ()) for node in nodes]
            relations = [edge for edge in document["edges"] if edge.get("type", RELATION) == RELATION]
            edges = [(index[e["source"]], index[e["target"]], e["strength_mean"]) for e in relations]
        except GraphInputError:
            raise
        except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
            raise GraphInputError(f"{path}: not the graph.json of a graph directory ({error})") from None
        keys: dict[str, int] = {}
        for number, name in enumerate(names):
            keys.setdefault(event_key(name), number)
        for number, forms in enumerate(aliases):
            for form in forms:
                keys.setdefault(event_key(form), number)
        return cls(names, keys, edges, written)

    @classmethod
    def of_evidence(cls, evidence: Evidence) -> Network:
        """From the evidence of part files as they were read: each event key an event, named as first written."""
        names: list[str] = []
        keys: dict[str, int] = {}
        node_of_spelling = []
        for spelling, key in zip(evidence.spellings, evidence.keys, strict=True):
            if key not in keys:
                keys[key] = len(names)
                names.append(spelling)
            node_of_spelling.append(keys[key])
        totals: dict[tuple[int, int], list[float]] = {}
        for source, target, strength in zip(evidence.source, evidence.target, evidence.strength, strict=True):
            pair = totals.setdefault((node_of_spelling[source], node_of_spelling[target]), [0.0, 0])
            pair[0] += strength
            pair[1] += 1
        return cls(
            names, keys, [(source, target, total / count) for (source, target), (total, count) in totals.items()]
        )

    def node(self, name: str) -> int:
        """The node of that name, or of that alias, or of a name of the same normal form."""
        key = event_key(name)
        if key in self.keys:
            return self.keys[key]
        if key:
            [wanted] = normalize([key])
            known = list(self.keys)
            for form, normal in zip(known, normalize(known), strict=True):
                if normal.form == wanted.form:
                    return self.keys[form]
        near = [known for known in self.names if key and key in event_key(known)][:5]
        hint = f"; {self.level.plural} whose names hold it: {', '.join(near)}" if near else ""
        raise GraphInputError(f"no {self.level} {name!r} in the graph (compared as {key!r}){hint}")


def network_subgraph(
    network: Network, first: str, second: str, max_paths: int = MAX_PATHS
) -> tuple[dict[str, Any], int]:
    """The graph data of every path from `first` to `second` in a network, and how many paths there are; names
    are compared as the graph's names are."""
    start, end = network.node(first), network.node(second)
    if start == end:
        raise GraphInputError(f"{first!r} and {second!r} are the same event")
    return paths_between(network, start, end, max_paths)


def paths_between(network: Network, start: int, end: int, max_paths: int = MAX_PATHS) -> tuple[dict[str, Any], int]:
    """The graph data of every path from node `start` to node `end` (indexes), and how many there are."""
    # No path enters its first event or leaves its last; a loop is on no simple path.
    usable = [
        edge
        for edge, (source, target, _) in enumerate(network.edges)
        if source != target and target != start and source != end
    ]
    outgoing: list[list[int]] = [[] for _ in network.names]
    incoming: list[list[int]] = [[] for _ in network.names]
    for edge in usable:
        source, target, _ = network.edges[edge]
        outgoing[source].append(edge)
        incoming[target].append(edge)
    reached = _reach(start, outgoing, network, forward=True)
    if end not in reached:
        raise GraphInputError(f"no path from {network.names[start]!r} to {network.names[end]!r} in the graph")
    between = reached & _reach(end, incoming, network, forward=False)
    inner = [edge for edge in usable if network.edges[edge][0] in between and network.edges[edge][1] in between]
    order = _topological(between, inner, network)
    if order is not None:
        paths = _count_acyclic(start, end, order, inner, network)
        if paths > max_paths:
            raise TooManyPaths(_too_many(network, start, end, f"{paths:,}", max_paths))
        used = inner
    else:
        paths, used = _enumerate(start, end, between, inner, network, max_paths)
    used_set = set(used)
    ids = network.identities()
    chosen = sorted({node for edge in used_set for node in network.edges[edge][:2]}, key=ids.__getitem__)
    graph = {
        "nodes": [{"id": ids[node], "name": network.names[node]} for node in chosen],
        "edges": [
            {
                "src_node": {"id": ids[network.edges[edge][0]]},
                "dest_node": {"id": ids[network.edges[edge][1]]},
                "meta": {"strength": network.edges[edge][2]},
            }
            for edge in sorted(used_set)
        ],
    }
    return graph, paths


def _reach(origin: int, adjacency: list[list[int]], network: Network, *, forward: bool) -> set[int]:
    seen = {origin}
    queue = deque([origin])
    while queue:
        for edge in adjacency[queue.popleft()]:
            source, target, _ = network.edges[edge]
            node = target if forward else source
            if node not in seen:
                seen.add(node)
                queue.append(node)
    return seen


def _topological(nodes: set[int], edges: list[int], network: Network) -> list[int] | None:
    """The nodes in an order that every edge follows, or none when the edges hold a cycle."""
    into = dict.fromkeys(nodes, 0)
    after: dict[int, list[int]] = {node: [] for node in nodes}
    for edge in edges:
        source, target, _ = network.edges[edge]
        into[target] += 1
        after[source].append(target)
    ready = deque(sorted(node for node, count in into.items() if count == 0))
    order = []
    while ready:
        node = ready.popleft()
        order.append(node)
        for target in after[node]:
            into[target] -= 1
            if into[target] == 0:
                ready.append(target)
    return order if len(order) == len(nodes) else None


def _count_acyclic(start: int, end: int, order: list[int], edges: list[int], network: Network) -> int:
    after: dict[int, list[int]] = {node: [] for node in order}
    for edge in edges:
        after[network.edges[edge][0]].append(network.edges[edge][1])
    paths = dict.fromkeys(order, 0)
    paths[start] = 1
    for node in order:
        for target in after[node]:
            paths[target] += paths[node]
    return paths[end]


def _enumerate(
    start: int, end: int, nodes: set[int], edges: list[int], network: Network, max_paths: int
) -> tuple[int, list[int]]:
    after: dict[int, list[tuple[int, int]]] = {node: [] for node in nodes}
    before: dict[int, list[int]] = {node: [] for node in nodes}
    for edge in edges:
        source, target, _ = network.edges[edge]
        after[source].append((edge, target))
        before[target].append(source)
    # Steps towards the end first: a search for the end then mostly walks straight to it.
    distance = {end: 0}
    queue = deque([end])
    while queue:
        node = queue.popleft()
        for source in before[node]:
            if source not in distance:
                distance[source] = distance[node] + 1
                queue.append(source)
    for steps in after.values():
        steps.sort(key=lambda step: distance[step[1]])
    budget = STEP_BUDGET

    def reaches_end(origin: int, on_path: set[int]) -> bool:
        """Whether the end can be reached from `origin` without touching the path: a walk is entered only then,
        so none ends in a dead end."""
        nonlocal budget
        seen = {origin}
        stack = [origin]
        while stack:
            for _, target in after[stack.pop()]:
                budget -= 1
                if target == end:
                    return True
                if target not in seen and target not in on_path:
                    seen.add(target)
                    stack.append(target)
        return False

    paths = 0
    used: set[int] = set()
    path_edges: list[int] = []
    on_path = {start}
    stack = [(start, iter(after[start]))]
    while stack:
        if budget < 0:
            raise TooManyPaths(
                f"counting the paths from {network.names[start]!r} to {network.names[end]!r} gave up after "
                f"{STEP_BUDGET:,} steps with {paths:,} found: the events between them are too entangled"
            )
        node, untried = stack[-1]
        step = next(untried, None)
        if step is None:
            stack.pop()
            on_path.discard(node)
            if path_edges:
                path_edges.pop()
            continue
        edge, target = step
        budget -= 1
        if target == end:
            paths += 1
            if paths > max_paths:
                raise TooManyPaths(_too_many(network, start, end, f"more than {max_paths:,}", max_paths))
            used.update(path_edges)
            used.add(edge)
        elif target not in on_path and reaches_end(target, on_path):
            on_path.add(target)
            path_edges.append(edge)
            stack.append((target, iter(after[target])))
    return paths, sorted(used)


def _too_many(network: Network, start: int, end: int, count: str, max_paths: int) -> str:
    return (
        f"{count} paths from {network.names[start]!r} to {network.names[end]!r}, beyond --max-paths {max_paths:,}: "
        "raise it, or ask about events nearer each other"
    )
