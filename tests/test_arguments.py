"""Argument binding and exact-type checks, for every operation that takes typed arguments."""

from __future__ import annotations

from types import SimpleNamespace
from typing import Any, Callable

import pytest
from conftest import OFFLINE_CONFIG

from kestor.tavi.extractor.causara import CausaraExtractor
from kestor.tavi.extractor.linqor import LinqorExtractor
from kestor.tavi.extractor.samplar import to_langextract_examples


class DictSub(dict):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


SUBCLASS = {dict: DictSub, str: StrSub, list: ListSub}
OTHER = {dict: [("model", "m")], str: b"bytes", list: ("tuple",)}


def causara() -> CausaraExtractor:
    return CausaraExtractor(OFFLINE_CONFIG, "prompt", [])


def linqor() -> LinqorExtractor:
    return LinqorExtractor(OFFLINE_CONFIG, "prompt", [])


# (name, operation, good arguments, the typed parameters as (position, name, type))
TYPED = [
    ("CausaraExtractor", lambda: CausaraExtractor, (OFFLINE_CONFIG, "p", []),
     [(0, "config", dict), (1, "prompt_description", str), (2, "examples", list)]),
    ("CausaraExtractor.predict", lambda: causara().predict, ("text",), [(0, "text", str)]),
    ("CausaraExtractor._build_model", lambda: CausaraExtractor._build_model, (OFFLINE_CONFIG,), [(0, "config", dict)]),
    ("LinqorExtractor", lambda: LinqorExtractor, (OFFLINE_CONFIG, "p", []),
     [(0, "config", dict), (1, "prompt_description", str), (2, "examples", list)]),
    ("LinqorExtractor.predict", lambda: linqor().predict, ("text",), [(0, "text", str)]),
    ("LinqorExtractor._build_model", lambda: LinqorExtractor._build_model, (OFFLINE_CONFIG,), [(0, "config", dict)]),
    ("to_langextract_examples", lambda: to_langextract_examples, ([],), [(0, "examples", list)]),
]


def typed_cases():
    for name, operation, good, params in TYPED:
        for position, param, expected in params:
            for kind, bad in (("None", None), ("subclass", SUBCLASS[expected](good[position])),
                              ("other", OTHER[expected])):
                yield pytest.param(operation, good, position, param, expected, bad, id=f"{name}-{param}-{kind}")


@pytest.mark.parametrize("operation, good, position, param, expected, bad", list(typed_cases()))
def test_exact_types(service, operation, good, position, param, expected, bad):
    arguments = list(good)
    arguments[position] = bad
    with pytest.raises(TypeError) as raised:
        operation()(*arguments)
    assert str(raised.value) == (
        f"Argument '{param}' has incorrect type (expected {expected.__name__}, got {type(bad).__name__})"
    )
    assert service.calls == []


def test_first_offending_argument_is_named():
    with pytest.raises(TypeError, match="'prompt_description'"):
        CausaraExtractor(OFFLINE_CONFIG, None, None)


# Python functions with the same parameters: the native operations must bind exactly as these do.
def predict(self, text): ...
def init(self, config, prompt_description, examples): ...
def build_model(config): ...


predict.__qualname__ = "CausaraExtractor.predict"
init.__qualname__ = "CausaraExtractor.__init__"
build_model.__qualname__ = "CausaraExtractor._build_model"


def linqor_predict(self, text): ...
def linqor_init(self, config, prompt_description, examples): ...
def linqor_build_model(config): ...
def linqor_to_result(extraction): ...
def linqor_to_bool(value): ...
def linqor_default_result(): ...


for reference, qualname in ((linqor_predict, "predict"), (linqor_init, "__init__"),
                            (linqor_build_model, "_build_model"), (linqor_to_result, "_to_result"),
                            (linqor_to_bool, "_to_bool"), (linqor_default_result, "_default_result")):
    reference.__qualname__ = f"LinqorExtractor.{qualname}"

BINDINGS = [
    (lambda: causara().predict, lambda *a, **k: predict(None, *a, **k)),
    (lambda: CausaraExtractor._build_model, build_model),
    (lambda: causara().__init__, lambda *a, **k: init(None, *a, **k)),
    (lambda: linqor().predict, lambda *a, **k: linqor_predict(None, *a, **k)),
    (lambda: LinqorExtractor._build_model, linqor_build_model),
    (lambda: linqor().__init__, lambda *a, **k: linqor_init(None, *a, **k)),
    (lambda: LinqorExtractor._to_result, linqor_to_result),
    (lambda: LinqorExtractor._to_bool, linqor_to_bool),
    (lambda: linqor()._default_result, linqor_default_result),
]

CALL_SHAPES: list[tuple[tuple[Any, ...], dict[str, Any]]] = [
    ((), {}),
    (("a", "b", "c", "d"), {}),
    ((), {"unknown": 1}),
    (("a",), {"text": "a", "config": {}}),
    ((), {"prompt_description": "p"}),
    (("a", "b"), {"examples": []}),
]


@pytest.mark.parametrize("native, reference", BINDINGS)
@pytest.mark.parametrize("args, kwargs", CALL_SHAPES)
def test_binding_errors_match_python(service, native: Callable[[], Any], reference, args, kwargs):
    try:
        reference(*args, **kwargs)
    except TypeError as expected:
        with pytest.raises(TypeError) as raised:
            native()(*args, **kwargs)
        assert str(raised.value) == str(expected)
    else:
        pytest.skip("this call shape binds; covered by the behaviour tests")


def test_keywords_bind_like_positions(service):
    extractor = CausaraExtractor(examples=[], prompt_description="p", config=OFFLINE_CONFIG)
    assert extractor.prompt_description == "p"
    assert extractor.predict(text="t") == []
    assert CausaraExtractor._to_strength(value="0.25") == 0.25
    assert LinqorExtractor(examples=[], prompt_description="p", config=OFFLINE_CONFIG).predict(text="t") == {
        "related": False, "reason": ""}
    assert LinqorExtractor._to_bool(value=" Y ") is True
    assert LinqorExtractor._to_result(extraction=SimpleNamespace(attributes=None)) == {"related": True, "reason": ""}
    assert to_langextract_examples(examples=[]) == []
