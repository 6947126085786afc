"""The subgraph of every path from one event to another, as graph data for `ForceExtractor.predict`.

A path is simple (no event twice), as the force extractor walks them. The subgraph's only start is the first event
and its only end the second: no path comes back to where it began or goes on past where it ends. So the force
extractor finds exactly the paths counted here, and `max_paths` bounds what it renders and sends.

Counting: the events that lie between the two (reached from the first, reaching the second) are taken apart from
the rest, a whole step of the search at a time over arrays (`Arcs`, `span`). Without a cycle among them, every edge
between them is on a path and the paths are counted by adding along a topological order, none enumerated; with a
cycle, the paths through one edge each, by shortest walks to it and from it, are tried first, and more distinct
simple ones than `max_paths` refuse the question at once; else paths are enumerated depth first, nearest the second
event first, until one more than `max_paths` is found, each step only into events from which the second can still
be reached without going back over the path.
"""

from __future__ import annotations

import json
import os
from collections import deque
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ..events import NodeKind
from ..events.names import event_key
from ..events.normal import normalize
from ..exits import GraphInputError
from .evidence import Evidence
from .kinds import RELATION, written_level

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

MAX_PATHS = 1000
# Enumeration steps on a graph with cycles, past which counting gives up rather than run for hours.
STEP_BUDGET = 20_000_000
# Steps of the walk that lists the paths counted, for a page that shows them: the paths are few by then (more are
# refused), but among events in cycles a walk may turn back often before it finds them.
LISTING_STEPS = 200_000
# Edges tried, for each path allowed, in search of more simple paths than allowed before any is enumerated: among
# well-connected events nearly every edge gives one, and where few do the enumeration decides.
TRIES_PER_PATH = 20


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
    found = span(Arcs.of(network), start, end, max_paths)
    if found is None:
        raise GraphInputError(f"no path from {network.names[start]!r} to {network.names[end]!r} in the graph")
    if found.beyond:
        raise TooManyPaths(too_many(network.names[start], network.names[end], f"more than {max_paths:,}", max_paths))
    between = set(found.nodes.tolist())
    inner = found.edges.tolist()
    order = None if found.cyclic else _topological(between, inner, network)
    if order is not None:
        paths = _count_acyclic(start, end, order, inner, network)
        if paths > max_paths:
            raise TooManyPaths(too_many(network.names[start], network.names[end], f"{paths:,}", max_paths))
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


@dataclass
class Arcs:
    """Edges as arrays of node indexes (edge i: sources[i] -> targets[i]), each node's edges found both ways: what
    the search for the events between two walks without a Python step per edge, on millions of edges."""

    sources: npt.NDArray[np.int64]
    targets: npt.NDArray[np.int64]
    nodes: int
    """Node indexes run from 0 to nodes - 1."""
    by_target: npt.NDArray[np.int64] | None = field(default=None, repr=False)
    """Each edge's place among the edges in order of their targets, where the edges come in order of their sources
    (as the store keeps them): both groupings without a sort. None: sorted here."""
    leaving: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]] = field(init=False)
    """Offsets by node and the edges in order of their source: node n's are edges[offsets[n]:offsets[n + 1]]."""
    entering: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]] = field(init=False)

    def __post_init__(self) -> None:
        import numpy as np

        if self.by_target is None:
            self.leaving = _grouped(self.sources, self.nodes)
            self.entering = _grouped(self.targets, self.nodes)
            return
        order = np.empty(self.by_target.size, dtype=np.int64)
        order[self.by_target] = np.arange(self.by_target.size)
        self.leaving = _offsets(self.sources, self.nodes), np.arange(self.sources.size, dtype=np.int64)
        self.entering = _offsets(self.targets, self.nodes), order

    @classmethod
    def of(cls, network: Network) -> Arcs:
        import numpy as np

        ends = np.array([edge[:2] for edge in network.edges], dtype=np.int64).reshape(-1, 2)
        return cls(ends[:, 0].copy(), ends[:, 1].copy(), len(network.names))


class Search:
    """Breadth first from `origin` along the edges (forward) or against them, never through `barrier`, among the
    nodes `within` marks (None: all), a whole step of nodes at a time: for each node, the edge by which it was first
    reached (`edge_in`: -1 for the origin, -2 where not reached) and how many steps from the origin it is."""

    def __init__(
        self,
        arcs: Arcs,
        origin: int,
        barrier: int,
        *,
        forward: bool,
        within: npt.NDArray[np.bool_] | None = None,
    ) -> None:
        import numpy as np

        self.offsets, self.order = arcs.leaving if forward else arcs.entering
        self.far = arcs.targets if forward else arcs.sources
        self.barrier, self.within = barrier, within
        self.edge_in = np.full(arcs.nodes, -2, dtype=np.int64)
        self.steps = np.full(arcs.nodes, -1, dtype=np.int64)
        self.edge_in[origin], self.steps[origin] = -1, 0
        self.frontier = np.array([origin], dtype=np.int64)
        self.depth = 0

    @property
    def reached(self) -> npt.NDArray[np.bool_]:
        reached: npt.NDArray[np.bool_] = self.edge_in != -2
        return reached

    def step(self) -> bool:
        """One step further; whether there is another."""
        import numpy as np

        frontier = self.frontier[self.frontier != self.barrier]
        firsts = self.offsets[frontier]
        counts = self.offsets[frontier + 1] - firsts
        total = int(counts.sum())
        places = np.repeat(firsts - (np.cumsum(counts) - counts), counts) + np.arange(total)
        edges = self.order[places]
        others = self.far[edges]
        fresh = self.edge_in[others] == -2
        if self.within is not None:
            fresh &= self.within[others]
        edges, others = edges[fresh], others[fresh]
        # A node reached by several edges at once keeps one of them: the one whose write stays.
        self.edge_in[others] = edges
        others = others[self.edge_in[others] == edges]
        self.depth += 1
        self.steps[others] = self.depth
        self.frontier = others
        return bool(others.size)

    def run(self) -> Search:
        while self.step():
            pass
        return self


@dataclass
class Span:
    """What lies between two nodes: the nodes reached from the first that reach the second, the edges among them
    that a simple path can take, whether they hold a cycle, and whether more simple paths than allowed were found."""

    nodes: npt.NDArray[np.int64]
    edges: npt.NDArray[np.int64]
    cyclic: bool
    beyond: bool


def span(arcs: Arcs, start: int, end: int, max_paths: int = MAX_PATHS) -> Span | None:
    """The span from node `start` to node `end`, None where no path leads there. Where the span holds a cycle, the
    paths made of a shortest walk to an edge's source, the edge, and a shortest walk from its target on are tried,
    shortest first: every one whose walks share no node is a simple path, and more of them than `max_paths` prove
    there are too many without enumerating any."""
    import numpy as np
    from scipy.sparse import csr_matrix
    from scipy.sparse.csgraph import connected_components

    if max(start, end) >= arcs.nodes:
        return None
    ahead = Search(arcs, start, end, forward=True)
    behind = Search(arcs, end, start, forward=False)
    # A step of each in turn: the search done first bounds the other, which need only look among the nodes it
    # reached. From an event of the long tail, the other way may lead through most of the graph.
    while ahead.step() and behind.step():
        pass
    if not ahead.frontier.size:
        if not ahead.reached[end]:
            return None
        behind = Search(arcs, end, start, forward=False, within=ahead.reached).run()
    else:
        if not behind.reached[start]:
            return None
        ahead = Search(arcs, start, end, forward=True, within=behind.reached).run()
    inside = ahead.reached & behind.reached
    nodes = np.flatnonzero(inside)
    sources, targets = arcs.sources, arcs.targets
    # No path enters its first node or leaves its last; a loop is on no simple path.
    kept = inside[sources] & inside[targets] & (sources != targets) & (targets != start) & (sources != end)
    edges = np.flatnonzero(kept)
    place = np.full(arcs.nodes, -1, dtype=np.int64)
    place[nodes] = np.arange(nodes.size)
    # The edges as grouped by source already, in order of node: their rows without a sort.
    grouped = arcs.leaving[1][kept[arcs.leaving[1]]]
    rows = np.zeros(nodes.size + 1, dtype=np.int64)
    np.cumsum(np.bincount(place[sources[grouped]], minlength=nodes.size), out=rows[1:])
    matrix = csr_matrix(
        (np.ones(grouped.size, dtype=np.int8), place[targets[grouped]], rows), shape=(nodes.size, nodes.size)
    )
    components, _ = connected_components(matrix, directed=True, connection="strong")
    cyclic = bool(components < nodes.size)
    beyond = False
    if cyclic:
        # The shortest paths first, sorting only the edges of the lengths that the tries reach.
        length = ahead.steps[sources[edges]] + behind.steps[targets[edges]]
        tries = TRIES_PER_PATH * (max_paths + 1)
        longest = int(np.searchsorted(np.cumsum(np.bincount(length)), min(tries, length.size)))
        shortest = np.flatnonzero(length <= longest)
        tried = edges[shortest[np.argsort(length[shortest], kind="stable")][:tries]]
        beyond = _beyond(arcs, tried, ahead.edge_in, behind.edge_in, max_paths)
    return Span(nodes, edges, cyclic, beyond)


def _grouped(ends: npt.NDArray[np.int64], nodes: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    import numpy as np

    # Any order within a node's edges will do, and the same ends give the same order: the faster sort.
    return _offsets(ends, nodes), np.argsort(ends)


def _offsets(ends: npt.NDArray[np.int64], nodes: int) -> npt.NDArray[np.int64]:
    import numpy as np

    offsets = np.zeros(nodes + 1, dtype=np.int64)
    np.cumsum(np.bincount(ends, minlength=nodes), out=offsets[1:])
    return offsets


def _beyond(
    arcs: Arcs, tried: npt.NDArray[np.int64], ahead: npt.NDArray[np.int64], behind: npt.NDArray[np.int64], most: int
) -> bool:
    """Whether more than `most` distinct simple paths are among those through each edge `tried`: a shortest walk
    to its source (`ahead`: `Search.edge_in` from the first node), the edge, a shortest walk on from its target
    (`behind`)."""
    heads: dict[int, tuple[int, ...]] = {}
    tails: dict[int, tuple[int, ...]] = {}
    found: set[tuple[int, ...]] = set()
    for edge in tried.tolist():
        head = _walk(int(arcs.sources[edge]), ahead, arcs.sources, heads)
        tail = _walk(int(arcs.targets[edge]), behind, arcs.targets, tails)
        if not set(head).isdisjoint(tail):
            continue
        found.add(head[::-1] + tail)
        if len(found) > most:
            return True
    return False


def _walk(
    node: int, edge_in: npt.NDArray[np.int64], ends: npt.NDArray[np.int64], known: dict[int, tuple[int, ...]]
) -> tuple[int, ...]:
    """The nodes from `node` back to the origin of the search that gave `edge_in`, along the edges it was reached by."""
    trail = []
    while node not in known:
        edge = int(edge_in[node])
        if edge < 0:
            known[node] = (node,)
            break
        trail.append(node)
        node = int(ends[edge])
    walked = known[node]
    for passed in reversed(trail):
        walked = (passed, *walked)
        known[passed] = walked
    return walked


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
                raise TooManyPaths(
                    too_many(network.names[start], network.names[end], f"more than {max_paths:,}", max_paths)
                )
            used.update(path_edges)
            used.add(edge)
        elif target not in on_path and reaches_end(target, on_path):
            on_path.add(target)
            path_edges.append(edge)
            stack.append((target, iter(after[target])))
    return paths, sorted(used)


def simple_paths(arcs: list[tuple[int, int]], start: int, end: int, most: int) -> tuple[list[list[int]], bool]:
    """Simple paths from `start` to `end` along `arcs` (source, target), each as the nodes it passes, the shortest
    first: all of them where there are no more than `most`, found within LISTING_STEPS steps of a depth-first walk;
    and whether the walk stopped before it had them all."""
    after: dict[int, list[int]] = {}
    for source, target in arcs:
        after.setdefault(source, []).append(target)
    found: list[list[int]] = []
    trail, on_path = [start], {start}
    stack = [iter(after.get(start, ()))]
    walked = 0
    while stack:
        if len(found) > most or walked >= LISTING_STEPS:
            return sorted(found, key=len)[:most], True
        walked += 1
        step = next(stack[-1], None)
        if step is None:
            stack.pop()
            on_path.discard(trail.pop())
        elif step == end:
            found.append([*trail, end])
        elif step not in on_path:
            trail.append(step)
            on_path.add(step)
            stack.append(iter(after.get(step, ())))
    return sorted(found, key=len), False


def too_many(first: str, second: str, count: str, max_paths: int) -> str:
    """The refusal of `count` paths from the event named `first` to the one named `second`."""
    return (
        f"{count} paths from {first!r} to {second!r}, beyond --max-paths {max_paths:,}: "
        "raise it, or ask about events nearer each other"
    )
