"""predict: from graph data to the force word, with its log records, model calls and the article review."""

from __future__ import annotations

import itertools
import logging
from types import SimpleNamespace

import langextract as lx
import pytest
from graphs import graph
from offline import OFFLINE_CONFIG
from plain_force import PlainForceExtractor

from kestor.tavi.extractor import force as force_module
from kestor.tavi.extractor.force import ForceExtractor
from kestor.tavi.extractor.samplar import PromptExample, PromptExtraction

from .fakes import EXTRACT_KEYWORDS, answer
from .force_graphs import ABCD, WORKED, WORKED_TEXT

INFO, DEBUG, ERROR = logging.INFO, logging.DEBUG, logging.ERROR
PATHS = "Find paths cost: %.2fs, paths count: %d"
TEXT = "Graph text: %s"
LLM = "LLM extract cost: %.2fs"
TOTAL = "Total predict cost: %.2fs, result: %s"
FAILED = "Failed to analyze force with langextract: %s"
REVIEW_START = "Starting force review with article text"
REVIEW = "Review cost: %.2fs, review result: %s"
REVIEW_FAILED = "Failed to review force with article: %s"
ARTICLE = "台风过境，全城停电三天。"


def force_answer(*forces):
    return answer(*({"final_force": value} for value in forces))


@pytest.fixture
def clock(monkeypatch):
    """time.time() as the module reads it: 100.0, 101.5, 103.0, ..."""
    readings = itertools.count(0)
    calls = []

    def now():
        calls.append(1)
        return 100.0 + 1.5 * next(readings)

    monkeypatch.setattr(force_module, "time", SimpleNamespace(time=now))
    return calls


@pytest.fixture
def extractor() -> ForceExtractor:
    examples = [PromptExample("图", [PromptExtraction("x", {"final_force": "中等"}, "force")])]
    review = [PromptExample("文", [PromptExtraction("y", {"final_force": "剧烈"}, "force")])]
    return ForceExtractor(OFFLINE_CONFIG, "force prompt", examples, "review prompt", review)


def log_of(records):
    return [(r.levelno, r.msg, r.args) for r in records("force")]


class TestConstruction:
    def test_fields_in_order(self, extractor):
        assert list(vars(extractor)) == [
            "model",
            "prompt_description",
            "examples",
            "review_prompt_description",
            "review_examples",
        ]
        assert extractor.review_prompt_description == "review prompt"
        assert [e.extraction_class for e in extractor.review_examples[0].extractions] == ["force"]
        assert isinstance(extractor.examples[0], lx.data.ExampleData)

    def test_review_examples_are_converted_last(self, provider):
        with pytest.raises(AttributeError):
            ForceExtractor(OFFLINE_CONFIG, "p", [], "r", [object()])


class TestSuccessfulCalls:
    def test_log_sequence_without_review(self, service, extractor, records, clock):
        service.answers(force_answer("中等"))
        assert extractor.predict(WORKED, ARTICLE) == "中等"
        assert log_of(records) == [
            (INFO, PATHS, (1.5, 3)),
            (DEBUG, TEXT, (WORKED_TEXT,)),
            (INFO, LLM, (1.5,)),
            (INFO, TOTAL, (6.0, "中等")),
        ]
        [(args, kwargs)] = service.calls
        assert args == () and kwargs["text_or_documents"] == WORKED_TEXT
        assert kwargs["prompt_description"] == "force prompt" and kwargs["examples"] is extractor.examples
        assert list(kwargs) == EXTRACT_KEYWORDS

    def test_log_sequence_with_review(self, service, extractor, records, clock):
        service.answers(force_answer("特别剧烈"), force_answer("中等"))
        assert extractor.predict(WORKED, ARTICLE) == "中等"
        assert log_of(records) == [
            (INFO, PATHS, (1.5, 3)),
            (DEBUG, TEXT, (WORKED_TEXT,)),
            (INFO, LLM, (1.5,)),
            (INFO, REVIEW_START, ()),
            (INFO, REVIEW, (1.5, "中等")),
            (INFO, TOTAL, (9.0, "中等")),
        ]
        review = service.calls[1][1]
        assert review["text_or_documents"] is ARTICLE
        assert review["prompt_description"] == "review prompt" and review["examples"] is extractor.review_examples
        assert review["model"] is extractor.model

    @pytest.mark.parametrize("article, calls", [(None, 1), ("", 1), ("  ", 2), (ARTICLE, 2)])
    def test_review_needs_an_article(self, service, extractor, article, calls):
        service.answers(force_answer("特别剧烈"), force_answer("剧烈"))
        assert extractor.predict(WORKED, article) == ("剧烈" if calls == 2 else "特别剧烈")
        assert len(service.calls) == calls

    @pytest.mark.parametrize(
        "forces, expected",
        [
            (["", "中等", "特别剧烈"], "中等"),
            ([0, None, 5], "5"),
            (["特别剧烈 "], "特别剧烈 "),
            ([], "中等"),
            (["", 0.0], "中等"),
        ],
    )
    def test_first_non_empty_force_wins(self, service, extractor, forces, expected):
        service.answers(force_answer(*forces))
        assert extractor.predict(WORKED, ARTICLE) == expected
        assert len(service.calls) == 1

    @pytest.mark.parametrize("result", [SimpleNamespace(extractions=None), answer(None, {})])
    def test_answers_without_force(self, service, extractor, result):
        service.answers(result)
        assert extractor.predict(WORKED) == "中等"

    def test_names_rendered_by_host_code_as_python_code_renders_them(self, service, caplog):
        # The module reads such graph data once for both steps; every __str__ still runs where the reference's does:
        # after the search's log record, once for each line that shows the name.
        caplog.set_level(DEBUG)
        calls = []

        class Named:
            def __init__(self, text):
                self.text = text

            def __str__(self):
                calls.append((self.text, len(caplog.records)))
                return self.text

        data = dict(WORKED, nodes=[dict(node, name=Named(node["name"])) for node in WORKED["nodes"]])
        runs = []
        for extractor in (
            ForceExtractor(OFFLINE_CONFIG, "p", [], "r", []),
            PlainForceExtractor(OFFLINE_CONFIG, "p", [], "r", []),
        ):
            caplog.clear()
            calls.clear()
            extractor.predict(data)
            runs.append(list(calls))
        assert service.texts == [WORKED_TEXT] * 2
        assert runs[0] == runs[1]

    def test_no_path_means_no_model_call(self, service, extractor, records, clock):
        # Start node 1 only reaches the cycle 2-3; the end node 5 hangs off the cycle 7-8.
        unreachable = graph([(1, 2), (2, 3), (3, 2), (7, 8), (8, 7), (8, 5)], ABCD)
        assert extractor._build_graph(unreachable)[3:] == ([1], [5])
        assert extractor.predict({"edges": []}, ARTICLE) == "中等"
        assert extractor.predict(unreachable, ARTICLE) == "中等"
        assert service.calls == []
        assert log_of(records) == [(INFO, PATHS, (1.5, 0)), (INFO, PATHS, (1.5, 0))]


class TestReview:
    @pytest.mark.parametrize(
        "review, expected, lines",
        [
            (force_answer("中等"), "中等", [(INFO, REVIEW_START, ()), (INFO, REVIEW, (1.5, "中等"))]),
            (answer(), "特别剧烈", [(INFO, REVIEW_START, ())]),
            (force_answer(0, 3), "3", [(INFO, REVIEW_START, ()), (INFO, REVIEW, (1.5, 3))]),
        ],
    )
    def test_outcomes(self, service, extractor, records, clock, review, expected, lines):
        service.answers(force_answer("特别剧烈"), review)
        assert extractor.predict(WORKED, ARTICLE) == expected
        assert log_of(records)[3:-1] == lines
        assert log_of(records)[-1][1] == TOTAL

    def test_failing_review_keeps_the_first_force(self, service, extractor, records):
        error = ConnectionError("review down")
        service.answers(force_answer("特别剧烈"), error)
        assert extractor.predict(WORKED, ARTICLE) == "特别剧烈"
        failed = [r for r in records("force") if r.levelno == ERROR]
        assert [(r.msg, r.args) for r in failed] == [(REVIEW_FAILED, (error,))]
        assert failed[0].exc_info[1] is error
        assert records("force")[-1].msg == TOTAL

    def test_long_article_is_sent_whole(self, service, extractor):
        article = "文" * 100_000
        service.answers(force_answer("特别剧烈"), force_answer("中等"))
        extractor.predict(WORKED, article)
        assert service.calls[1][1]["text_or_documents"] is article


class TestFailures:
    def test_service_error(self, service, extractor, records):
        error = RuntimeError("HTTP 500")
        service.answers(error)
        assert extractor.predict(WORKED, ARTICLE) == "中等"
        messages = [r.msg for r in records("force")]
        assert messages == [PATHS, TEXT, FAILED]
        failed = records("force")[-1]
        assert failed.levelno == ERROR and failed.args == (error,) and failed.exc_info[1] is error

    @pytest.mark.parametrize(
        "data, error",
        [
            (graph([("A1", "B1")]), TypeError),
            ({"edges": [{"src_node": 1}]}, AttributeError),
            ({"edges": [{"src_node": {"id": 1}, "dest_node": {"id": 2}, "meta": None}]}, AttributeError),
        ],
    )
    def test_search_errors_are_logged(self, service, extractor, records, data, error):
        assert extractor.predict(data) == "中等"
        [record] = records("force")
        assert record.msg == FAILED and isinstance(record.args[0], error)
        assert service.calls == []

    def test_rendering_errors_are_logged_after_the_search(self, service, extractor, records):
        class Unprintable:
            def __str__(self):
                raise ValueError("no text")

        data = graph([(1, 2)], {1: Unprintable(), 2: "B"})
        assert extractor.predict(data) == "中等"
        assert [r.msg for r in records("force")] == [PATHS, FAILED]
        assert service.calls == []

    @pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
    @pytest.mark.parametrize("review", [False, True])
    def test_interrupts_pass_unlogged(self, service, extractor, records, interrupt, review):
        service.answers(*([force_answer("特别剧烈")] if review else []), interrupt())
        with pytest.raises(interrupt):
            extractor.predict(WORKED, ARTICLE)
        assert all(r.levelno < ERROR for r in records("force"))
        assert TOTAL not in [r.msg for r in records("force")]

    @pytest.mark.parametrize(
        "results",
        [
            [object()],
            [answer(None).extractions and SimpleNamespace(extractions=[object()])],
            [force_answer("特别剧烈"), object()],
        ],
    )
    def test_unreadable_answers_reach_the_caller(self, service, extractor, records, results):
        service.answers(*results)
        with pytest.raises(AttributeError):
            extractor.predict(WORKED, ARTICLE)
        assert TOTAL not in [r.msg for r in records("force")]
        assert all(r.levelno < ERROR for r in records("force"))

    @pytest.mark.parametrize("arguments", [(type("D", (dict,), {})(WORKED),), (None,), (WORKED, 5), (WORKED, b"x")])
    def test_argument_errors_before_anything_else(self, service, extractor, records, clock, arguments):
        with pytest.raises(TypeError):
            extractor.predict(*arguments)
        assert records("force") == [] and clock == [] and service.calls == []


class TestOverrides:
    def test_overridden_steps_are_used(self, service):
        class Custom(ForceExtractor):
            def _format_edge_line(self, edge):
                return f"* {edge['source']}>{edge['target']}"

            def _get_first_force(self, result):
                return "轻微"

        extractor = Custom(OFFLINE_CONFIG, "p", [], "r", [])
        assert extractor.predict(WORKED) == "轻微"
        assert service.texts[0].splitlines()[5:7] == ["* A>B", "* B>D"]

    def test_overridden_search(self, service):
        class Custom(ForceExtractor):
            def _find_paths(self, graph_data):
                return [[{"source": "X", "target": "Y", "strength": 1}]]

        Custom(OFFLINE_CONFIG, "p", [], "r", []).predict({})
        assert service.texts == ["图谱数据:\n\n路径1:\n  X -> Y(1)"]

    def test_every_road_sends_the_same_text(self, service, extractor):
        class Recursing(ForceExtractor):
            def _dfs(self, *args):
                return super()._dfs(*args)

        class Shadowed(ForceExtractor):
            pass

        shadowed = Shadowed(OFFLINE_CONFIG, "p", [], "r", [])
        shadowed._edge_to_path_edge = shadowed._edge_to_path_edge
        for instance in (extractor, Recursing(OFFLINE_CONFIG, "p", [], "r", []), shadowed):
            instance.predict(WORKED)
        assert service.texts == [WORKED_TEXT] * 3

    def test_class_patched_after_construction(self, service, extractor, monkeypatch):
        monkeypatch.setattr(ForceExtractor, "_call_llm", lambda self, text: force_answer("patched"))
        assert extractor.predict(WORKED) == "patched"
        assert service.calls == []
