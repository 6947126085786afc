"""The force extractor's graph model, path search and graph text, through the operations the host can call."""

from __future__ import annotations

import pytest
from graphs import edge, graph
from offline import OFFLINE_CONFIG

from kestor.tavi.extractor.force import ForceExtractor

from .force_graphs import ABCD, WORKED, WORKED_PATHS, WORKED_TEXT, step


@pytest.fixture(scope="module")
def force() -> ForceExtractor:
    return ForceExtractor(OFFLINE_CONFIG, "force prompt", [], "review prompt", [])


class TestGraphModel:
    def test_worked_example(self, force):
        node_map, outgoing, incoming, start, end = force._build_graph(graph([(1, 2), (1, 3), (2, 4), (3, 4)]))
        edges = graph([(1, 2), (1, 3), (2, 4), (3, 4)])["edges"]
        assert node_map == {}
        assert outgoing == {1: edges[0:2], 2: [edges[2]], 3: [edges[3]]}
        assert incoming == {2: [edges[0]], 3: [edges[1]], 4: [edges[2], edges[3]]}
        assert (start, end) == ([1], [4])

    def test_adjacency_shares_the_edge_dicts(self, force):
        data = graph([(1, 2), (2, 3)])
        _, outgoing, incoming, _, _ = force._build_graph(data)
        assert outgoing[1][0] is data["edges"][0] is incoming[2][0]

    @pytest.mark.parametrize(
        "edges, start, end",
        [
            ([(1, 2), (2, 1)], [1], [2]),
            ([(2, 3), (1, 2), (3, 2)], [2], [3]),
            ([(5, 5)], [5], [5]),
            ([], [], []),
            ([(1, 2), (2, 3)], [1], [3]),
            ([(1, 3), (2, 3), (3, 4), (3, 5)], [1, 2], [4, 5]),
            ([(1, 2), (2, 3), (3, 1), (3, 4)], [1], [2]),
        ],
    )
    def test_start_and_end_nodes_with_fallback(self, force, edges, start, end):
        assert force._build_graph(graph(edges))[3:] == (start, end)

    def test_node_map(self, force):
        nodes = [
            {"id": 0, "name": "A"},
            {"name": "B"},
            {"id": None, "name": "C"},
            {"id": 7, "name": "X"},
            {"id": 1},
            {"id": 7, "name": "Y"},
            {"id": 2, "name": None},
        ]
        node_map = force._build_node_map(nodes)
        assert list(node_map.items()) == [(0, "A"), (7, "Y"), (1, ""), (2, None)]

    def test_edges_missing_an_end_are_left_out(self, force):
        data = {
            "edges": [
                {"src_node": {"id": 1}},
                {"dest_node": {"id": 2}},
                {"src_node": {}, "dest_node": {"id": 3}},
                edge(4, 5),
            ]
        }
        _, outgoing, incoming, start, end = force._build_graph(data)
        assert list(outgoing) == [4] and list(incoming) == [5] and (start, end) == ([4], [5])

    def test_empty_and_node_only_graphs(self, force):
        assert force._build_graph({}) == ({}, {}, {}, [], [])
        assert force._build_graph({"nodes": [{"id": 1, "name": "A"}]}) == ({1: "A"}, {}, {}, [], [])

    @pytest.mark.parametrize(
        "data, error, name",
        [
            ({"nodes": None}, TypeError, "nodes"),
            ({"edges": (edge(1, 2),)}, TypeError, "edges"),
            ({"edges": [{"src_node": 1, "dest_node": {"id": 2}}]}, AttributeError, None),
            ({"edges": [{"src_node": {"id": 1}, "dest_node": None}]}, AttributeError, None),
            ({"nodes": [5]}, AttributeError, None),
            ({"edges": [[1, 2]]}, AttributeError, None),
        ],
    )
    def test_malformed_graph_data(self, force, data, error, name):
        with pytest.raises(error) as raised:
            force._build_graph(data)
        if name:
            assert f"'{name}'" in str(raised.value)

    def test_helpers_directly(self, force):
        edges = [edge(1, 2), edge(2, 3)]
        outgoing = force._build_adjacency(edges, "src_node", "dest_node")
        incoming = force._build_adjacency(edges, "dest_node", "src_node")
        assert force._get_start_nodes(outgoing, incoming) == [1]
        assert force._get_end_nodes(outgoing, incoming) == [3]


class TestPathSearch:
    def test_worked_example(self, force):
        assert force._find_paths(WORKED) == WORKED_PATHS

    def test_common_prefixes_share_path_edges(self, force):
        paths = force._find_paths(WORKED)
        assert paths[0][0] is paths[1][0]
        assert paths[0] is not paths[1]

    @pytest.mark.parametrize("data", [{}, {"edges": []}, {"edges": None, "nodes": None}, {"edges": 0, "nodes": 5}])
    def test_no_edges_means_no_paths_and_no_graph(self, force, data):
        assert force._find_paths(data) == []

    @pytest.mark.parametrize(
        "edges, expected",
        [
            ([(1, 2), (2, 3)], [[step("A", "B"), step("B", "C")]]),
            ([(1, 2), (1, 3), (2, 4), (3, 4)], [[step("A", "B"), step("B", "D")], [step("A", "C"), step("C", "D")]]),
            ([(1, 2, 0.5), (1, 2, 0.9)], [[step("A", "B", 0.5)], [step("A", "B", 0.9)]]),
            ([(1, 2), (2, 1)], [[step("A", "B")]]),
            ([(1, 2), (2, 3), (3, 1), (3, 4)], [[step("A", "B")]]),
            ([(5, 5)], [[]]),
            ([(1, 9)], [[step("A", "")]]),
            # Start node 1 only reaches the cycle 2-3; start node 4 reaches the end node 5.
            ([(1, 2), (2, 3), (3, 2), (4, 5)], [[step("D", "")]]),
            ([(1, 2), (3, 4), (3, 2)], [[step("A", "B")], [step("C", "D")], [step("C", "B")]]),
        ],
    )
    def test_edge_cases(self, force, edges, expected):
        assert force._find_paths(graph(edges, ABCD)) == expected

    def test_walk_stops_at_the_first_end_node(self, force):
        # 2 is an end node through the fallback, although it has an outgoing edge.
        assert force._find_paths(graph([(1, 2), (2, 1), (2, 3)], ABCD)) == [[step("A", "B")]]

    def test_float_ids_equal_to_integers(self, force):
        as_floats = graph([(1.0, 2.0), (2.0, 4.0), (1.0, 3.0), (3.0, 4)], ABCD)
        assert force._find_paths(as_floats) == force._find_paths(graph([(1, 2), (2, 4), (1, 3), (3, 4)], ABCD))

    def test_fractional_ids_are_truncated_for_lookups(self, force):
        # Stepping to 2.5 enters int(2.5) == 2 (its name and edges), which is not the end node 2.5.
        data = graph([(1, 2.5), (2, 3)], {1: "A", 2: "B", 3: "C"})
        assert force._find_paths(data) == [[step("A", "B"), step("B", "C")], [step("B", "C")]]

    @pytest.mark.parametrize("edges, name", [([("A1", "B1")], "node_id"), ([(1, "B1")], "next_node")])
    def test_text_ids_fail_naming_the_argument(self, force, edges, name):
        with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
            force._find_paths(graph(edges))

    @pytest.mark.parametrize(
        "data, error",
        [
            ({"edges": [edge(1, 2, meta=None)]}, AttributeError),
            ({"edges": [type("E", (dict,), {})(edge(1, 2))]}, TypeError),
            ({"edges": [edge(1, 2)], "nodes": {}}, TypeError),
            # From 1 the step 11 -> 10 leads back onto the path and is not taken; from 2 it is, and fails.
            ({"edges": [edge(1, 10), edge(10, 11), edge(11, 10, meta=None), edge(2, 11), edge(3, 4)]}, AttributeError),
        ],
    )
    def test_failures_on_the_walk(self, force, data, error):
        with pytest.raises(error):
            force._find_paths(data)

    def test_meta_is_read_only_on_the_walk(self, force):
        data = graph([(1, 2), (3, 2)], ABCD)
        data["edges"].append(edge(9, None, meta=None))
        assert len(force._find_paths(data)) == 2

    def test_dfs_directly(self, force):
        data = graph([(1, 2), (2, 3)], ABCD)
        node_map, outgoing, _, _, end = force._build_graph(data)
        all_paths, current = [], []
        assert force._dfs(1.0, current, {1}, outgoing, end, node_map, all_paths) is None
        assert all_paths == [[step("A", "B"), step("B", "C")]] and current == []
        assert force._edge_to_path_edge(data["edges"][0], node_map, 2.9) == step("A", "B")


class TestGraphText:
    def test_worked_example(self, force):
        assert force._format_graph_data(WORKED, WORKED_PATHS) == WORKED_TEXT
        assert force._format_graph_data(WORKED, force._find_paths(WORKED)) == WORKED_TEXT

    def test_lines(self, force):
        assert force._format_graph_data({}, []) == "图谱数据:"
        assert force._format_graph_data(graph([(1, 2)], ABCD), []) == "图谱数据:\n起点: A\n终点: B"
        assert force._format_graph_data(graph([(9, 2)], ABCD), []) == "图谱数据:\n起点: \n终点: B"
        assert force._format_graph_data(graph([(1, 3), (2, 3)], ABCD), []).splitlines()[1] == "起点: A"
        assert force._format_graph_data(graph([(5, 5)], {5: "E"}), [[]]) == "图谱数据:\n起点: E\n终点: E\n\n路径1:"

    @pytest.mark.parametrize(
        "strength, line",
        [
            (None, "  A -> B"),
            (0.5, "  A -> B(0.5)"),
            (0, "  A -> B(0)"),
            ("", "  A -> B()"),
            (False, "  A -> B(False)"),
            (1.0, "  A -> B(1.0)"),
            (0.00001, "  A -> B(1e-05)"),
            ([1], "  A -> B([1])"),
        ],
    )
    def test_edge_line(self, force, strength, line):
        assert force._format_edge_line(step("A", "B", strength)) == line
        assert force._format_graph_data({}, [[step("A", "B", strength)]]).endswith("\n" + line)

    def test_edge_line_defaults(self, force):
        assert force._format_edge_line({}) == "   -> "
        assert force._format_edge_line({"source": None, "target": 3}) == "  None -> 3"

    def test_numbering_and_no_trailing_newline(self, force):
        text = force._format_graph_data({}, [[step("A", "B")]] * 10)
        assert [line for line in text.split("\n") if line.startswith("路径")] == [f"路径{i}:" for i in range(1, 11)]
        assert not text.endswith("\n")

    def test_names_and_strengths_in_host_string_form(self, force):
        data = graph([(1, 2, 2.5)], {1: None, 2: 3})
        paths = force._find_paths(data)
        assert force._format_graph_data(data, paths) == "图谱数据:\n起点: None\n终点: 3\n\n路径1:\n  None -> 3(2.5)"

    def test_values_are_written_as_str_writes_them(self, force):
        class Named:
            def __str__(self):
                return "名"

            def __format__(self, spec):
                return "wrong"

        class Text(str):
            def __str__(self):
                return "子类"

        data = graph([(1, 2, Named())], {1: Named(), 2: Text("B")})
        assert force._format_graph_data(data, force._find_paths(data)).splitlines()[1:] == [
            "起点: 名",
            "终点: 子类",
            "",
            "路径1:",
            "  名 -> 子类(名)",
        ]
        assert force._format_edge_line(step(Named(), Text("x"), Text("y"))) == "  名 -> 子类(子类)"

    def test_astral_and_wide_names(self, force):
        data = graph([(1, 2)], {1: "𝔸", 2: "é"})
        assert force._format_graph_data(data, force._find_paths(data)).endswith("  𝔸 -> é")

    def test_path_edges_must_be_dicts(self, force):
        with pytest.raises(TypeError, match="Argument 'edge'"):
            force._format_graph_data({}, [[("A", "B")]])
        with pytest.raises(TypeError, match="Argument 'paths'"):
            force._format_graph_data({}, ([],))

    def test_helpers_append_to_lines(self, force):
        lines = ["图谱数据:"]
        assert force._append_start_end(lines, [1, 2], [9], {1: "A"}) is None
        assert force._append_paths(lines, [[step("A", "B")], ()]) is None
        assert lines == ["图谱数据:", "起点: A", "终点: ", "", "路径1:", "  A -> B", "路径2:"]
