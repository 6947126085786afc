"""The plain-Python force extractor, pinned to known graphs, texts and answers: the oracle has to be right first."""

from __future__ import annotations

import itertools
import logging
from types import SimpleNamespace

import graphs
import plain_force
import pytest
from graphs import edge, graph
from offline import OFFLINE_CONFIG
from plain_force import PlainForceExtractor

from .fakes import EXTRACT_KEYWORDS, answer
from .force_graphs import WORKED, WORKED_TEXT


@pytest.fixture
def fx() -> PlainForceExtractor:
    return PlainForceExtractor(OFFLINE_CONFIG, "force prompt", [], "review prompt", [])


def named_graph(*pairs, names="ABCDEFGH"):
    return graph(list(pairs), dict(enumerate(names, 1)))


def steps(paths):
    """Paths as "A>B(0.8)" strings, for comparing whole path lists at a glance."""
    return [
        " ".join(f"{e['source']}>{e['target']}" + ("" if e["strength"] is None else f"({e['strength']})") for e in path)
        for path in paths
    ]


class DictSub(dict):
    pass


class TestGraphModel:
    def test_diamond_shares_edge_objects(self, fx):
        data = named_graph((1, 2), (1, 3), (2, 4), (3, 4))
        e = data["edges"]
        _, outgoing, incoming, starts, ends = fx._build_graph(data)
        assert list(outgoing) == [1, 2, 3] and list(incoming) == [2, 3, 4]
        assert all(a is b for a, b in zip(outgoing[1] + outgoing[2] + outgoing[3], e, strict=True))
        assert incoming[4][0] is e[2] and incoming[4][1] is e[3]
        assert (starts, ends) == ([1], [4])

    @pytest.mark.parametrize(
        "pairs, starts, ends",
        [
            ([(1, 2), (2, 1)], [1], [2]),
            ([(2, 3), (1, 2), (3, 2)], [2], [3]),
            ([(5, 5)], [5], [5]),
            ([(1, 3), (2, 3), (3, 4), (3, 5)], [1, 2], [4, 5]),
            ([], [], []),
        ],
    )
    def test_start_and_end_nodes_with_fallback(self, fx, pairs, starts, ends):
        assert fx._build_graph(named_graph(*pairs))[3:] == (starts, ends)

    def test_node_map(self, fx):
        nodes = [
            {"id": 7, "name": "A"},
            {"id": 0, "name": "Z"},
            {"name": "B"},
            {"id": None},
            {"id": 1},
            {"id": 2, "name": None},
            {"id": 7, "name": "B"},
        ]
        assert list(fx._build_node_map(nodes).items()) == [(7, "B"), (0, "Z"), (1, ""), (2, None)]

    def test_edges_missing_an_end_are_dropped(self, fx):
        data = {"edges": [{"src_node": {"id": 9}}, {"src_node": {"id": None}, "dest_node": {"id": 1}}, edge(1, 2)]}
        assert fx._build_graph(data)[1:] == ({1: [data["edges"][2]]}, {2: [data["edges"][2]]}, [1], [2])

    @pytest.mark.parametrize(
        "data, error, name",
        [
            ({"nodes": None, "edges": []}, TypeError, "nodes"),
            ({"edges": ()}, TypeError, "edges"),
            ({"edges": [{"src_node": 1, "dest_node": {"id": 2}}]}, AttributeError, None),
            ({"edges": ["not an edge"]}, AttributeError, None),
        ],
    )
    def test_build_failures(self, fx, data, error, name):
        with pytest.raises(error, match=name and f"'{name}'"):
            fx._build_graph(data)


class TestPathSearch:
    def test_worked_example(self, fx):
        assert steps(fx._find_paths(WORKED)) == ["A>B B>D(0.8)", "A>B B>C C>D", "A>C(0.3) C>D"]

    @pytest.mark.parametrize(
        "pairs, expected",
        [
            ([(1, 2), (1, 2, 0.9)], ["A>B", "A>B(0.9)"]),
            ([(1, 2), (2, 1)], ["A>B"]),
            ([(1, 2), (2, 3), (3, 1), (3, 4)], ["A>B"]),
            ([(5, 5)], [""]),
            ([(1, 2), (3, 4), (2, 9)], ["A>B B>", "C>D"]),
            ([(1, 2), (2, 3), (3, 2), (4, 5)], ["D>E"]),
        ],
    )
    def test_shapes(self, fx, pairs, expected):
        assert steps(fx._find_paths(named_graph(*pairs))) == expected

    @pytest.mark.parametrize("data", [{}, {"edges": []}, {"edges": None, "nodes": None}, {"edges": 0, "nodes": 5}])
    def test_no_edges_means_no_build(self, fx, data):
        assert fx._find_paths(data) == []

    def test_prefixes_share_path_edges(self, fx):
        first, second, _ = fx._find_paths(WORKED)
        assert first[0] is second[0] and list(first[0]) == ["source", "target", "strength"]

    def test_whole_floats_walk_as_ints(self, fx):
        data = {"nodes": [{"id": 1, "name": "A"}, {"id": 2, "name": "B"}], "edges": [edge(1.0, 2.0)]}
        assert steps(fx._find_paths(data)) == ["A>B"]

    @pytest.mark.parametrize(
        "data, name",
        [
            ({"edges": [edge("A1", "B1")]}, "node_id"),
            ({"edges": [edge(1, b"2"), edge(2, 3)]}, "next_node"),
            ({"edges": [DictSub(edge(1, 2))]}, "edge"),
        ],
    )
    def test_bad_walk_values_name_the_argument(self, fx, data, name):
        with pytest.raises(TypeError, match=f"^Argument '{name}' has incorrect type"):
            fx._find_paths(data)

    def test_layered_dag_counts(self, fx):
        paths = fx._find_paths(graphs.layered_dag(3, 4))
        assert len(paths) == 4**3 and {len(p) for p in paths} == {4}
        assert len({id(e) for p in paths for e in p}) == 4 + 16 + 64 + 64


class TestRendering:
    def test_worked_example_text(self, fx):
        text = fx._format_graph_data(WORKED, fx._find_paths(WORKED))
        assert text == WORKED_TEXT

    @pytest.mark.parametrize(
        "data, paths, expected",
        [
            ({}, [], "图谱数据:"),
            (named_graph((1, 2)), [], "图谱数据:\n起点: A\n终点: B"),
            (named_graph((5, 5)), [[]], "图谱数据:\n起点: E\n终点: E\n\n路径1:"),
            ({"edges": [edge(1, 2)]}, [], "图谱数据:\n起点: \n终点: "),
        ],
    )
    def test_whole_texts(self, fx, data, paths, expected):
        assert fx._format_graph_data(data, paths) == expected

    @pytest.mark.parametrize(
        "strength, tail",
        [(None, ""), (0.5, "(0.5)"), (0, "(0)"), ("", "()"), (False, "(False)"), (1e-05, "(1e-05)"), (1.0, "(1.0)")],
    )
    def test_edge_line(self, fx, strength, tail):
        assert fx._format_edge_line({"source": "A", "target": "B", "strength": strength}) == f"  A -> B{tail}"
        assert fx._format_edge_line({"target": None}) == "   -> None"

    def test_path_numbers(self, fx):
        lines = []
        fx._append_paths(lines, [[]] * 10)
        assert lines[0] == "" and lines[1] == "路径1:" and lines[-1] == "路径10:"


class TestPredict:
    @pytest.fixture
    def clock(self, monkeypatch):
        ticks = itertools.count()
        monkeypatch.setattr(plain_force, "time", SimpleNamespace(time=lambda: float(next(ticks))))

    @pytest.fixture
    def log(self, caplog):
        caplog.set_level(logging.DEBUG, logger="plain_force")
        return lambda: [(r.levelname, r.msg, r.args) for r in caplog.records if r.name == "plain_force"]

    def test_constructor_builds_the_model(self, provider):
        fx = PlainForceExtractor({"model": "m", "api_key": "k", "base_url": "u", "x": 1}, "p", [], "r", [])
        assert fx.model.kwargs == {"model_id": "m", "api_key": "k", "base_url": "u", "temperature": 0.0}
        with pytest.raises(KeyError, match="model"):
            PlainForceExtractor({"model_id": "m", "api_key": "k", "base_url": "u"}, "p", [], "r", [])

    def test_reviewed_call_logs_in_order(self, fx, service, clock, log):
        service.answers(answer({"final_force": ""}, {"final_force": "特别剧烈"}), answer(None, {"final_force": "中等"}))
        assert fx.predict(WORKED, "文章") == "中等"
        text = fx._format_graph_data(WORKED, fx._find_paths(WORKED))
        assert service.texts == [text, "文章"]
        kwargs = service.calls[1][1]
        assert list(kwargs)[1:] == EXTRACT_KEYWORDS[1:]
        assert kwargs["prompt_description"] == "review prompt" and kwargs["model"] is fx.model
        assert (kwargs["use_schema_constraints"], kwargs["fence_output"], kwargs["fetch_urls"]) == (False, True, False)
        assert log() == [
            ("INFO", "Find paths cost: %.2fs, paths count: %d", (1.0, 3)),
            ("DEBUG", "Graph text: %s", (text,)),
            ("INFO", "LLM extract cost: %.2fs", (1.0,)),
            ("INFO", "Starting force review with article text", ()),
            ("INFO", "Review cost: %.2fs, review result: %s", (1.0, "中等")),
            ("INFO", "Total predict cost: %.2fs, result: %s", (6.0, "中等")),
        ]

    @pytest.mark.parametrize(
        "answers, article, expected",
        [
            ([answer({"final_force": "中等"}, {"final_force": "特别剧烈"})], "文章", "中等"),
            ([answer({"final_force": 0}, {"final_force": 3})], None, "3"),
            ([answer({"final_force": "特别剧烈"})], "", "特别剧烈"),
            ([answer({"final_force": "特别剧烈 "})], "文章", "特别剧烈 "),
            ([SimpleNamespace(extractions=None)], "文章", "中等"),
            ([answer({"final_force": "特别剧烈"}), answer()], " ", "特别剧烈"),
            ([answer({"final_force": "特别剧烈"}), RuntimeError("review down")], "文章", "特别剧烈"),
            ([answer({"final_force": "特别剧烈"}), answer({"final_force": 2.5})], "文章", "2.5"),
        ],
    )
    def test_force_choice(self, fx, service, answers, article, expected):
        service.answers(*answers)
        assert fx.predict(WORKED, article) == expected
        assert len(service.calls) == len(answers)

    @pytest.mark.parametrize("data", [{}, named_graph((1, 2), (2, 3), (3, 2), (4, 5), (5, 4), (5, 6))])
    def test_no_path_asks_nothing(self, fx, service, log, data):
        assert fx.predict(data, "文章") == "中等"
        assert service.calls == []
        assert log() == [("INFO", "Find paths cost: %.2fs, paths count: %d", (log()[0][2][0], 0))]

    @pytest.mark.parametrize(
        "data, error",
        [
            ({"edges": [edge("a", "b")]}, TypeError),
            ({"edges": [{**edge(1, 2), "meta": None}]}, AttributeError),
        ],
    )
    def test_search_failures_fall_back(self, fx, service, log, data, error):
        assert fx.predict(data) == "中等"
        assert service.calls == []
        [(level, msg, (raised,))] = log()
        assert (level, msg, type(raised)) == ("ERROR", "Failed to analyze force with langextract: %s", error)

    def test_failed_review_keeps_the_first_force(self, fx, service, log):
        service.answers(answer({"final_force": "特别剧烈"}), RuntimeError("review down"))
        assert fx.predict(WORKED, "文章") == "特别剧烈"
        assert [msg for level, msg, _ in log() if level != "DEBUG"][-3:] == [
            "Starting force review with article text",
            "Failed to review force with article: %s",
            "Total predict cost: %.2fs, result: %s",
        ]

    def test_model_failure_falls_back(self, fx, service, log):
        service.answers(RuntimeError("down"))
        assert fx.predict(WORKED) == "中等"
        assert [msg for level, msg, _ in log() if level != "DEBUG"] == [
            "Find paths cost: %.2fs, paths count: %d",
            "Failed to analyze force with langextract: %s",
        ]

    @pytest.mark.parametrize("result", [SimpleNamespace(), SimpleNamespace(extractions=[SimpleNamespace()])])
    def test_unreadable_answer_reaches_the_caller(self, fx, service, result):
        service.answers(result)
        with pytest.raises(AttributeError):
            fx.predict(WORKED)

    @pytest.mark.parametrize(
        "call, name, expected, got",
        [
            (lambda fx: fx.predict(DictSub()), "graph_data", "dict", "DictSub"),
            (lambda fx: fx.predict({}, 5), "article_text", "str", "int"),
            (lambda fx: fx._extract_force(None, b"x"), "article_text", "str", "bytes"),
            (lambda fx: fx._review_with_article(None), "article_text", "str", "NoneType"),
            (lambda fx: fx._dfs(1, [], [1], {}, [], {}, []), "visited", "set", "list"),
            (lambda fx: fx._dfs(None, (), [1], {}, [], {}, []), "node_id", "int", "NoneType"),
            (lambda fx: fx._edge_to_path_edge({}, {}, "1"), "next_node", "int", "str"),
            (lambda fx: fx._format_graph_data({}, ()), "paths", "list", "tuple"),
            (lambda fx: PlainForceExtractor(OFFLINE_CONFIG, "p", (), "r", None), "examples", "list", "tuple"),
        ],
    )
    def test_argument_types(self, fx, service, log, call, name, expected, got):
        with pytest.raises(TypeError) as raised:
            call(fx)
        assert str(raised.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
        assert service.calls == [] and log() == []
