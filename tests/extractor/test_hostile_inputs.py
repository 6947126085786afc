"""Host data that fights back: keys and values whose own __eq__, __hash__ or __str__ raise or change the data while
an extractor reads it. The extractors may fail with the error the data calls for, never crash, and must read the
data as Python code reading it in the same order would."""

from __future__ import annotations

import gc
from collections.abc import Callable
from typing import Any

import pytest
from graphs import edge
from offline import OFFLINE_CONFIG
from plain_force import PlainForceExtractor

from kestor.tavi.extractor.force import ForceExtractor

from .force_graphs import step


class Collider:
    """A key whose hash is that of `name`, so looking `name` up compares with it first; once armed with an action,
    the comparison runs it (once) and then says the two differ."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.action: Callable[[], Any] | None = None

    def __hash__(self) -> int:
        return hash(self.name)

    def __eq__(self, other: Any) -> bool:
        action, self.action = self.action, None
        if action is not None:
            action()
        return False


def with_collider(key: str, action: Callable[[], Any], entries: dict) -> dict:
    """A dict holding `entries`, with a Collider for `key` inserted before them and armed after."""
    collider = Collider(key)
    data: dict = {collider: None}
    data.update(entries)
    collider.action = action
    return data


class Relaying(ForceExtractor):
    """Every step of the walk and of the rendering goes through the instance, so through host objects."""

    def _dfs(self, *arguments):
        return super()._dfs(*arguments)

    def _format_edge_line(self, edge):
        return super()._format_edge_line(edge)


@pytest.fixture(scope="module")
def roads() -> list:
    """The native road, the road through host objects and the plain reference."""
    return [
        ForceExtractor(OFFLINE_CONFIG, "p", [], "r", []),
        Relaying(OFFLINE_CONFIG, "p", [], "r", []),
        PlainForceExtractor(OFFLINE_CONFIG, "p", [], "r", []),
    ]


def outcomes(roads, operation: str, make: Callable[[], tuple]) -> list:
    """What each road gives for fresh data from `make`: its result, or the type of its error."""
    results = []
    for road in roads:
        arguments = make()
        try:
            results.append(("ok", getattr(road, operation)(*arguments)))
        except Exception as error:
            results.append(("error", type(error)))
        gc.collect()
    return results


class TestKeysThatRunHostCode:
    def test_an_edge_freed_while_its_ends_are_read(self, roads):
        def make():
            edges: list = []

            def drop_edges():
                edges.clear()
                gc.collect()

            edges += [{"src_node": with_collider("id", drop_edges, {"id": 1}), "dest_node": {"id": 2}}, edge(2, 3)]
            return ({"nodes": [{"id": 1, "name": "A"}, {"id": 2, "name": "B"}], "edges": edges},)

        results = outcomes(roads, "_find_paths", make)
        assert results[0] == results[1] == results[2]

    def test_a_node_freed_while_its_name_is_read(self, roads):
        def make():
            nodes: list = []
            kept: list = []

            def drop_nodes():
                nodes.clear()
                # The next dict takes the memory of the node just freed.
                kept.append({"id": 9, "name": "Z"})

            nodes += [with_collider("name", drop_nodes, {"id": 1, "name": "A"}), {"id": 2, "name": "B"}]
            return ({"nodes": nodes, "edges": [edge(1, 2)]},)

        # Python code holds the node it reads: the first keeps its name, the second is gone from the node map.
        results = outcomes(roads, "_find_paths", make)
        assert results[0] == results[1] == results[2] == ("ok", [[step("A", "")]])

    def test_graph_lists_freed_while_the_graph_data_is_read(self, roads):
        def make():
            data: dict = {}
            kept: list = []

            def replace_lists():
                data.clear()
                # New lists take the memory of the two just freed, the last freed first.
                data["edges"] = [edge(1, 2)]
                kept.append([{"id": 1, "name": "Z"}])

            graph = {"nodes": [{"id": 1, "name": "A"}], "edges": [edge(1, 2)]}
            data.update(with_collider("edges", replace_lists, graph))
            return (data, [])

        # Python code reads "nodes" before "edges", and holds what it read.
        results = outcomes(roads, "_format_graph_data", make)
        assert results[0] == results[1] == results[2] == ("ok", "图谱数据:\n起点: A\n终点: ")

    def test_a_strength_changed_before_the_walk_reads_it(self, roads):
        # Python code reads "meta" only on the walk, after every edge was placed in the adjacency.
        def make():
            first = edge(1, 2, 0.5)
            second = {
                "src_node": with_collider("id", lambda: first["meta"].update(strength=0.9), {"id": 2}),
                "dest_node": {"id": 3},
            }
            return ({"nodes": [], "edges": [first, second]},)

        results = outcomes(roads, "_find_paths", make)
        assert results[0] == results[1] == results[2] == ("ok", [[step("", "", 0.9), step("", "")]])

    def test_a_path_edge_changed_after_its_line_was_written(self, roads):
        def make():
            shared = step("A", "B", 0.5)
            other = with_collider("source", lambda: shared.update(source="Z"), {"source": "B", "target": "C"})
            return ({"nodes": [], "edges": [edge(1, 2)]}, [[shared, other], [shared]])

        results = outcomes(roads, "_format_graph_data", make)
        assert results[0] == results[1] == results[2]
        assert results[0][1].endswith("路径2:\n  Z -> B(0.5)")
