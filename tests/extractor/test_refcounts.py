"""Repeating an operation leaves the caller's objects and the interpreter's allocations as they were."""

from __future__ import annotations

import gc
import itertools
import sys
from collections.abc import Callable
from types import SimpleNamespace

import pytest
from offline import OFFLINE_CONFIG

from kestor.tavi.extractor import causara, force, linqor
from kestor.tavi.extractor.causara import CausaraExtractor
from kestor.tavi.extractor.force import ForceExtractor
from kestor.tavi.extractor.linqor import LinqorExtractor
from kestor.tavi.extractor.samplar import PromptExample, PromptExtraction, to_langextract_examples

REPEAT = 1000


def fresh(text: str) -> str:
    # Built at run time: neither interned nor shared with constants, so its count is the caller's alone.
    return "".join([text, "\u200b"])


def assert_stable(operation: Callable[[], object], *objects: object) -> None:
    operation()
    gc.collect()
    counts = [sys.getrefcount(o) for o in objects]
    blocks = sys.getallocatedblocks()
    for _ in range(REPEAT):
        operation()
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == counts
    assert sys.getallocatedblocks() - blocks < REPEAT // 10


@pytest.fixture
def answering(monkeypatch):
    """Makes the service answer `result` (or raise it) without keeping anything of the call."""

    def install(result):
        def extract(**kwargs):
            if isinstance(result, BaseException):
                raise result
            return result

        monkeypatch.setattr(causara.lx, "extract", extract)

    return install


class Sink:
    """A logger that keeps nothing, where the test log capture would keep every record and what it carries."""

    def _drop(self, *args, **kwargs):
        pass

    debug = info = warning = error = exception = _drop


@pytest.fixture
def quiet(monkeypatch):
    for module in (causara, linqor, force):
        monkeypatch.setattr(module, "logger", Sink())


def relation_answer():
    attributes = [
        {
            "source": fresh("源"),
            "target": fresh("果"),
            "source_meta": {"k": fresh("v")},
            "strength": fresh(" 0.4 "),
            "strength_reason": 3.5,
        },
        None,
        {"source": fresh("a")},
    ]
    return SimpleNamespace(extractions=[SimpleNamespace(attributes=a) for a in attributes]), attributes


class TestCausara:
    def test_predict(self, answering, quiet):
        result, attributes = relation_answer()
        answering(result)
        extractor = CausaraExtractor(OFFLINE_CONFIG, fresh("p"), [])
        text = fresh("文本")
        values = [v for a in attributes if a for v in a.values()]
        assert_stable(lambda: extractor.predict(text), text, result, extractor, *attributes[0:1], *values)

    def test_predict_failing_service(self, monkeypatch, quiet):
        # A fresh error each time: re-raising one instance would grow its traceback with every call.
        message = fresh("down")

        def extract(**kwargs):
            raise RuntimeError(message)

        monkeypatch.setattr(causara.lx, "extract", extract)
        extractor = CausaraExtractor(OFFLINE_CONFIG, fresh("p"), [])
        text = fresh("文本")

        def predict():
            try:
                raise LookupError("handled by the caller")
            except LookupError:
                extractor.predict(text)

        assert_stable(predict, text, message, extractor)

    def test_type_errors(self, service):
        extractor = CausaraExtractor(OFFLINE_CONFIG, fresh("p"), [])
        wrong = [fresh("not a str")]

        def predict():
            with pytest.raises(TypeError):
                extractor.predict(wrong)
            with pytest.raises(TypeError):
                extractor.predict(wrong, wrong)

        assert_stable(predict, extractor, wrong)

    @pytest.mark.parametrize("value", [fresh(" 0.5 "), fresh("word"), 2.5, 10**30, [1]])
    def test_to_strength(self, value):
        assert_stable(lambda: CausaraExtractor._to_strength(value), value)

    def test_constructor(self, provider):
        config = dict(OFFLINE_CONFIG, temperature=0.5)
        prompt = fresh("prompt")
        examples = [PromptExample(fresh("t"), [PromptExtraction(fresh("x"), {"k": 1})])]
        assert_stable(lambda: CausaraExtractor(config, prompt, examples), config, prompt, examples, examples[0])

    def test_constructor_missing_key(self):
        config = {"model": fresh("m")}
        prompt = fresh("prompt")

        def construct():
            with pytest.raises(KeyError):
                CausaraExtractor(config, prompt, [])

        assert_stable(construct, config, prompt)


class TestLinqor:
    @pytest.mark.parametrize("text", [fresh("文本"), fresh("长😀" * 600)], ids=["whole", "cut"])
    def test_predict(self, answering, quiet, text):
        attributes = {"related": fresh(" Yes "), "reason": 12.5, "other": fresh("x")}
        result = SimpleNamespace(extractions=[SimpleNamespace(attributes=attributes), None])
        answering(result)
        extractor = LinqorExtractor(OFFLINE_CONFIG, fresh("p"), [])
        assert_stable(lambda: extractor.predict(text), text, result, extractor, attributes, *attributes.values())

    @pytest.mark.parametrize("extractions", [None, [None], (SimpleNamespace(attributes=None),)])
    def test_predict_default_paths(self, answering, quiet, extractions):
        result = SimpleNamespace(extractions=extractions)
        answering(result)
        extractor = LinqorExtractor(OFFLINE_CONFIG, fresh("p"), [])
        text = fresh("文本")
        assert_stable(lambda: extractor.predict(text), text, result, extractor)

    def test_predict_failing_service(self, monkeypatch, quiet):
        message = fresh("down")

        def extract(**kwargs):
            raise RuntimeError(message)

        monkeypatch.setattr(linqor.lx, "extract", extract)
        extractor = LinqorExtractor(OFFLINE_CONFIG, fresh("p"), [])
        text = fresh("文本")

        def predict():
            try:
                raise LookupError("handled by the caller")
            except LookupError:
                extractor.predict(text)

        assert_stable(predict, text, message, extractor)

    def test_refused_override(self, answering, quiet):
        refused = [fresh("not a dict")]

        class Wrong(LinqorExtractor):
            @staticmethod
            def _to_result(extraction):
                return refused

        answering(SimpleNamespace(extractions=[SimpleNamespace(attributes={})]))
        extractor = Wrong(OFFLINE_CONFIG, fresh("p"), [])

        def predict():
            with pytest.raises(TypeError):
                extractor.predict("t")

        assert_stable(predict, extractor, refused)

    def test_type_errors(self, service):
        extractor = LinqorExtractor(OFFLINE_CONFIG, fresh("p"), [])
        wrong = [fresh("not a str")]

        def predict():
            with pytest.raises(TypeError):
                extractor.predict(wrong)
            with pytest.raises(TypeError):
                LinqorExtractor._default_result(wrong)

        assert_stable(predict, extractor, wrong)

    @pytest.mark.parametrize("value", [fresh(" TRUE "), fresh("否"), 2.5, 10**30, [1]])
    def test_to_bool(self, value):
        assert_stable(lambda: LinqorExtractor._to_bool(value), value)

    def test_constructor(self, provider):
        config = dict(OFFLINE_CONFIG, temperature=0.5)
        prompt = fresh("prompt")
        examples = [PromptExample(fresh("t"), [PromptExtraction(fresh("x"), {"k": 1})])]
        assert_stable(lambda: LinqorExtractor(config, prompt, examples), config, prompt, examples, examples[0])


def force_graph():
    """Plain graph data with fresh names and strengths, and the same graph where ids are not plain (text)."""
    names = {i: fresh(f"事件{i}") for i in range(1, 6)}
    strengths = {(1, 2): 0.25 + 1e-9, (2, 4): fresh("强"), (3, 4): 10**20}
    edges = [(1, 2), (1, 3), (2, 4), (3, 4), (2, 3), (4, 5), (5, 1)]

    def data(ids):
        return {
            "nodes": [{"id": ids(i), "name": name} for i, name in names.items()],
            "edges": [
                {
                    "src_node": {"id": ids(a)},
                    "dest_node": {"id": ids(b)},
                    **({"meta": {"strength": strengths[a, b]}} if (a, b) in strengths else {}),
                }
                for a, b in edges
            ],
        }

    return data(lambda i: i), data(lambda i: float(i)), [*names.values(), *strengths.values()]


class Relaying(ForceExtractor):
    def _edge_to_path_edge(self, edge, node_map, next_node):
        return super()._edge_to_path_edge(edge, node_map, next_node)

    def _format_edge_line(self, edge):
        return super()._format_edge_line(edge)


class TestForce:
    @pytest.fixture(params=[ForceExtractor, Relaying], ids=["native", "objects"])
    def extractor(self, request):
        return request.param(OFFLINE_CONFIG, fresh("p"), [], fresh("r"), [])

    @pytest.mark.parametrize("operation", ["_find_paths", "_build_graph", "_format_graph_data"])
    def test_graph_operations(self, extractor, operation):
        plain, floats, values = force_graph()
        for data in (plain, floats):
            arguments = (data, extractor._find_paths(data)) if operation == "_format_graph_data" else (data,)
            assert_stable(lambda args=arguments: getattr(extractor, operation)(*args), data, *data["edges"], *values)

    def test_predict_with_review(self, extractor, monkeypatch, quiet):
        plain, _, values = force_graph()
        answers = itertools.cycle(
            [
                SimpleNamespace(extractions=[SimpleNamespace(attributes={"final_force": "特别剧烈"})]),
                SimpleNamespace(extractions=[SimpleNamespace(attributes={"final_force": 0.5})]),
            ]
        )
        monkeypatch.setattr(force.lx, "extract", lambda **kwargs: next(answers))
        article = fresh("文章")
        assert_stable(lambda: extractor.predict(plain, article), plain, article, extractor, *values)

    @pytest.mark.parametrize(
        "data",
        [
            {"edges": [{"src_node": {"id": fresh("a")}, "dest_node": {"id": 2}}]},
            {"edges": [{"src_node": {"id": 1}, "dest_node": {"id": 2}, "meta": None}]},
            {"nodes": None, "edges": [{"src_node": {"id": 1}, "dest_node": {"id": 2}}]},
        ],
        ids=["text id", "meta", "nodes"],
    )
    def test_predict_failing_search(self, extractor, quiet, service, data):
        assert_stable(lambda: extractor.predict(data), data, *data["edges"])

    def test_argument_errors(self, extractor):
        wrong = [fresh("x")]

        def call():
            for operation, arguments in (
                ("predict", (wrong,)),
                ("_dfs", (wrong, [], set(), {}, [], {}, [])),
                ("_edge_to_path_edge", ({}, {}, wrong)),
                ("_format_edge_line", (wrong,)),
            ):
                with pytest.raises(TypeError):
                    getattr(extractor, operation)(*arguments)

        assert_stable(call, extractor, wrong)


def test_to_langextract_examples():
    attrs = {"source": fresh("s")}
    examples = [PromptExample(fresh("t"), [PromptExtraction(fresh("x"), attrs), PromptExtraction(fresh("y"))])]
    assert_stable(lambda: to_langextract_examples(examples), examples, examples[0], attrs)
