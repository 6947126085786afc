"""Graph data that runs code while the force extractor reads it.

A dict key whose hash equals that of a key being looked up is compared with it, so its __eq__ runs in the middle
of the lookup. Each key here then swaps a part of the graph data for a copy of equal value made of new objects:
the data means the same afterwards, but what the extractor was reading has been freed. Reading any of it without
a reference of its own is a use after free, which `make sanitize` reports and a plain build may crash on or
answer wrongly from.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pytest
from graphs import DriftingId, chain
from offline import OFFLINE_CONFIG
from plain_force import PlainForceExtractor

from kestor.tavi.extractor.force import ForceExtractor

from .fakes import answer


def fresh(text: str) -> str:
    # Built at run time, so the graph data holds the only reference.
    return "".join([text, "\u200b"])


def fresh_id(number: int) -> int:
    # Not one of the small ints the interpreter keeps: freed with the last reference.
    return int(str(10**12 + number))


class Collider:
    """Hashes like `name`; once armed, every comparison runs the action, except those the action itself makes.
    Insert it before `name`, so that a lookup of `name` meets it first, and arm it afterwards, since inserting
    `name` compares the two."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.action: Callable[[], Any] | None = None
        self.fired = 0

    def arm(self, action: Callable[[], Any]) -> Collider:
        self.action = action
        return self

    def __hash__(self) -> int:
        return hash(self.name)

    def __eq__(self, other: object) -> bool:
        action, self.action = self.action, None
        if action is not None:
            self.fired += 1
            try:
                action()
            finally:
                self.action = action
        return False


A, B, S = "甲", "乙", "强"


def node(number: int, name: str) -> dict[str, Any]:
    return {"id": fresh_id(number), "name": fresh(name)}


def end(number: int) -> dict[str, Any]:
    return {"id": fresh_id(number)}


def meta() -> dict[str, Any]:
    return {"strength": fresh(S)}


def edge() -> dict[str, Any]:
    return {"src_node": end(1), "dest_node": end(2), "meta": meta()}


def worked() -> dict[str, Any]:
    """One edge A -> B with a strength, every id, name and strength a new object."""
    return {"nodes": [node(1, A), node(2, B)], "edges": [edge()]}


def lead(mapping: dict[Any, Any], key: Any) -> dict[Any, Any]:
    """`mapping` with `key` first, as a new dict."""
    return {key: None, **mapping}


def swap_nodes_list(data):
    collider = Collider("edges")
    data = lead(data, collider)
    return data, collider.arm(lambda: data.update(nodes=[node(1, A), node(2, B)]))


def swap_node(data):
    nodes, collider = data["nodes"], Collider("name")
    nodes[0] = lead(nodes[0], collider)
    return data, collider.arm(lambda: nodes.__setitem__(0, node(1, A)))


def swap_edge(data):
    edges, collider = data["edges"], Collider("meta")
    edges[0] = lead(edges[0], collider)
    return data, collider.arm(lambda: edges.__setitem__(0, edge()))


def swap_end(data):
    first, collider = data["edges"][0], Collider("id")
    first["src_node"] = lead(first["src_node"], collider)
    return data, collider.arm(lambda: first.update(src_node=end(1)))


def swap_meta(data):
    first, collider = data["edges"][0], Collider("strength")
    first["meta"] = lead(first["meta"], collider)
    return data, collider.arm(lambda: first.update(meta=meta()))


SWAPS = [swap_nodes_list, swap_node, swap_edge, swap_end, swap_meta]
PATH = [{"source": fresh(A), "target": fresh(B), "strength": fresh(S)}]
LINE = f"  {fresh(A)} -> {fresh(B)}({fresh(S)})"
TEXT = "\n".join(["图谱数据:", f"起点: {fresh(A)}", f"终点: {fresh(B)}", "", "路径1:", LINE])


class Relaying(ForceExtractor):
    """Takes the road through host objects."""

    def _edge_to_path_edge(self, edge, node_map, next_node):
        return super()._edge_to_path_edge(edge, node_map, next_node)

    def _format_edge_line(self, edge):
        return super()._format_edge_line(edge)


@pytest.fixture(params=[ForceExtractor, Relaying], ids=["native", "objects"])
def extractor(request) -> ForceExtractor:
    return request.param(OFFLINE_CONFIG, "p", [], "r", [])


@pytest.mark.parametrize("swap", SWAPS, ids=lambda swap: swap.__name__)
class TestGraphDataChangedWhileRead:
    def test_find_paths(self, extractor, swap):
        data, collider = swap(worked())
        assert extractor._find_paths(data) == [PATH]
        assert collider.fired

    def test_predict(self, extractor, service, swap):
        data, collider = swap(worked())
        service.answers(answer({"final_force": "剧烈"}))
        assert extractor.predict(data) == "剧烈"
        assert service.texts == [TEXT]
        assert collider.fired

    def test_format_graph_data(self, extractor, swap):
        data, collider = swap(worked())
        assert extractor._format_graph_data(data, [PATH]) == TEXT
        # The text needs no edge's meta, and graph data holding such a key is not read natively: a collider in an
        # edge or its meta is never met here.
        assert collider.fired or swap in (swap_edge, swap_meta)


@pytest.mark.parametrize("key", ["target", "strength"])
def test_path_edge_changed_while_read(extractor, key):
    """A path edge whose values are swapped for new equal ones whenever the lookup of `key` meets the collider,
    after the values before `key` were read."""
    collider = Collider(key)
    step = lead({"source": fresh(A), "target": fresh(B), "strength": fresh(S)}, collider)
    collider.arm(lambda: step.update(source=fresh(A), target=fresh(B), strength=fresh(S)))
    assert extractor._format_graph_data(worked(), [[step]]) == TEXT
    assert collider.fired


class CutsTheEdges(int):
    """A node id that compares unequal to everything and, at its first comparisons, empties the graph's edges (as
    another thread of the host might): the incoming adjacency ends at the cut, so every node of the chain after it
    becomes a start node, each leading into the same long chain without an end node."""

    def __eq__(self, other: object) -> bool:
        self.calls += 1
        if self.calls <= 3:
            self.edges.clear()
        return False

    __ne__ = __eq__
    __hash__ = int.__hash__


@pytest.mark.parametrize("call", ["_find_paths", "predict"])
def test_a_graph_cut_short_while_read_is_walked_in_linear_time(extractor, service, call):
    data = chain(2000)
    cut = CutsTheEdges(920)
    cut.calls, cut.edges = 0, data["edges"]
    data["edges"][235]["dest_node"]["id"] = cut
    # The chain's last event leads back into it: a step there is not taken, and the walk must still know the chain.
    data["edges"].append({"src_node": {"id": 1999}, "dest_node": {"id": 1998}})
    size = len(data["nodes"]) + len(data["edges"])
    assert getattr(extractor, call)(data) == ([] if call == "_find_paths" else "中等")
    # Walking the chain again from each of its start nodes compares with the cut some 585,000 times.
    assert cut.calls < 2 * size


def test_an_id_whose_hash_changes_at_every_call_is_a_key_error(extractor):
    edges = [{"src_node": {"id": i}, "dest_node": {"id": i + 1}} for i in range(4)]
    edges.insert(3, {"src_node": {"id": 3}, "dest_node": {"id": DriftingId(3)}})
    data = {"nodes": [{"id": i, "name": f"N{i}"} for i in range(5)], "edges": edges}
    # Python code fails as it reads the id back from the adjacency it has just put it in.
    for reader in (extractor, PlainForceExtractor(OFFLINE_CONFIG, "p", [], "r", [])):
        for operation in (reader._build_graph, reader._find_paths):
            with pytest.raises(KeyError):
                operation(data)
    # Handed such an adjacency, the walk steps from node 3 into the id, which is node 3 again: the set of visited
    # nodes never finds it, and Python code would step in at every turn, without end.
    outgoing = {i: [edge for edge in edges if edge["src_node"]["id"] == i] for i in range(4)}
    with pytest.raises(KeyError):
        extractor._dfs(0, [], {0}, outgoing, [4], {}, [])
