"""Graph data for the force extractor's benchmarks and tests, in the dictionary form the host passes to `predict`.

Node names are unique within a graph, so a path can be told apart by the names it carries alone.
"""

from __future__ import annotations

from typing import Any

GraphData = dict[str, list[dict[str, Any]]]


def _node(node_id: int, name: str) -> dict[str, Any]:
    return {"id": node_id, "name": name}


def _edge(src: dict[str, Any], dest: dict[str, Any], strength: float | None = None) -> dict[str, Any]:
    edge: dict[str, Any] = {
        "src_node": {"id": src["id"], "name": src["name"]},
        "dest_node": {"id": dest["id"], "name": dest["name"]},
    }
    if strength is not None:
        edge["meta"] = {"strength": strength}
    return edge


def edge(source: Any, target: Any, strength: Any = None, **extra: Any) -> dict[str, Any]:
    """An edge between two node ids, with a strength in its `meta` when one is given."""
    data: dict[str, Any] = {"src_node": {"id": source}, "dest_node": {"id": target}, **extra}
    if strength is not None:
        data["meta"] = {"strength": strength}
    return data


def graph(edges: list[tuple[Any, ...]], names: dict[Any, Any] | None = None) -> GraphData:
    """Edges given as `edge`'s arguments; nodes from `names`, an id-to-name mapping in order."""
    return {
        "nodes": [{"id": node, "name": name} for node, name in (names or {}).items()],
        "edges": [edge(*spec) for spec in edges],
    }


def layered_dag(layers: int = 5, width: int = 10) -> GraphData:
    """A root, `layers` layers of `width` nodes each fully linked to the next layer, and one sink.

    There are width**layers paths of layers + 1 edges; the distinct path edges number
    width + width**2 + ... + width**layers (one per edge of the search tree into the layers) plus width**layers
    (the last edge of each path): 211,110 for the default shape, with 100,000 paths.
    """
    root = _node(0, "根事件")
    nodes = [root]
    previous = [root]
    edges = []
    next_id = 1
    for layer in range(1, layers + 1):
        current = [_node(next_id + i, f"第{layer}层事件{i}") for i in range(width)]
        next_id += width
        nodes.extend(current)
        for a, src in enumerate(previous):
            for b, dest in enumerate(current):
                # Deterministic strengths in [0.1, 0.9]; about one edge in seven has none.
                strength = None if (a + b) % 7 == 6 else round(0.1 + ((a * 3 + b * 5) % 9) / 10, 1)
                edges.append(_edge(src, dest, strength))
        previous = current
    sink = _node(next_id, "最终影响")
    nodes.append(sink)
    edges.extend(_edge(src, sink, 0.5) for src in previous)
    return {"nodes": nodes, "edges": edges}


def small_graph() -> GraphData:
    """Eight events, ten edges: two start nodes, two end nodes, a back edge and a dead end; seven paths."""
    names = ["暴雨", "河水上涨", "城市内涝", "交通中断", "物资短缺", "物价上涨", "道路塌方", "居民恐慌"]
    nodes = [_node(i + 1, name) for i, name in enumerate(names)]
    n = {node["id"]: node for node in nodes}
    edges = [
        _edge(n[1], n[2], 0.9),
        _edge(n[1], n[3], 0.8),
        _edge(n[2], n[3], 0.7),
        _edge(n[3], n[4]),
        _edge(n[4], n[5], 0.6),
        _edge(n[5], n[6], 0.75),
        _edge(n[4], n[6]),
        _edge(n[7], n[4], 0.4),
        _edge(n[5], n[3], 0.2),  # back into the walk: cut by the visited set
        _edge(n[7], n[8], 0.3),
    ]
    return {"nodes": nodes, "edges": edges}


def chain(n: int) -> GraphData:
    """`n` nodes in a line: one path of n - 1 edges, as deep as a walk can get for that many nodes."""
    nodes = [{"id": i, "name": f"事件{i}"} for i in range(n)]
    edges = [{"src_node": {"id": i}, "dest_node": {"id": i + 1}, "meta": {"strength": 0.5}} for i in range(n - 1)]
    return {"nodes": nodes, "edges": edges}


def fan_into_dead_end(starts: int, length: int) -> GraphData:
    """`starts` start nodes, each leading into the same chain of `length` events whose end turns back into it, and
    one edge apart that gives the graph its end node: what a graph cut short while it was read looks like. No start
    node of the fan has a path."""
    chain_ids = range(starts, starts + length)
    edges = [_edge(_node(-1, "起"), _node(-2, "终"))]
    edges += [_edge(_node(start, f"起点{start}"), _node(starts, "链0")) for start in range(starts)]
    edges += [_edge(_node(i, f"链{i}"), _node(i + 1, f"链{i + 1}")) for i in chain_ids[:-1]]
    edges.append(_edge(_node(chain_ids[-1], "链尾"), _node(chain_ids[-2], "链")))
    return {"nodes": [], "edges": edges}


class DriftingId(int):
    """A node id equal only to itself whose hash changes at every call, so that no dict or set finds it again once it
    is in: Python code fails with KeyError where it reads such an id back. A search that kept hashing it fails here
    rather than run on without end."""

    hashes: int

    def __new__(cls, value: int) -> DriftingId:
        self = int.__new__(cls, value)
        self.hashes = 0
        return self

    def __eq__(self, other: object) -> bool:
        return self is other

    def __ne__(self, other: object) -> bool:
        return self is not other

    def __hash__(self) -> int:
        self.hashes += 1
        if self.hashes > 10_000:
            raise RuntimeError("hashed without end")
        return int(self) + self.hashes
