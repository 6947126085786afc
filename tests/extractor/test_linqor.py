"""The PC relation classifier against a stand-in for the extraction service."""

from __future__ import annotations

from decimal import Decimal
from types import SimpleNamespace

import pytest
from offline import OFFLINE_CONFIG

from kestor.tavi.extractor.linqor import LinqorExtractor
from kestor.tavi.extractor.samplar import PromptExample, PromptExtraction

from .fakes import answer

DEFAULT = {"related": False, "reason": ""}


@pytest.fixture
def extractor() -> LinqorExtractor:
    return LinqorExtractor(OFFLINE_CONFIG, "判断是否存在PC关系", [PromptExample("例", [PromptExtraction("a")])])


class Mapping(dict):
    pass


class Poisoned:
    """An extraction that must never be looked at."""

    @property
    def attributes(self):
        raise AssertionError("read an extraction after the first")


class TestCut:
    # Code points, not bytes or UTF-16 units: astral characters count once.
    @pytest.mark.parametrize(
        "text",
        [
            "",
            "短",
            "a" * 1000,
            "é" * 999 + "😀",
            "😀" * 1000,
            "a" * 1001,
            "😀" * 1500,
            "中" * 999 + "😀𝔘尾",
        ],
        ids=[
            "empty",
            "short",
            "ascii-1000",
            "astral-last-1000",
            "astral-1000",
            "ascii-1001",
            "astral-1500",
            "astral-at-cut",
        ],
    )
    def test_text_is_cut_at_1000_characters(self, service, extractor, text):
        extractor.predict(text)
        [sent] = service.texts
        assert type(sent) is str and sent == text[:1000]
        if len(text) <= 1000:
            assert sent is text


class TestResult:
    def test_related_answer(self, service, extractor):
        service.answers(answer({"related": "Yes", "reason": "同一主体", "other": 1}))
        result = extractor.predict("t")
        assert list(result.items()) == [("related", True), ("reason", "同一主体")]
        assert type(result["related"]) is bool

    # No extraction at all is "not related"; an extraction that says nothing about it is "related".
    @pytest.mark.parametrize(
        "result",
        [
            SimpleNamespace(extractions=None),
            SimpleNamespace(extractions=[]),
            SimpleNamespace(extractions=()),
            SimpleNamespace(extractions=[None, Poisoned()]),
        ],
        ids=["none", "empty-list", "empty-tuple", "none-first"],
    )
    def test_no_extraction_gives_the_default(self, service, extractor, records, result):
        service.answers(result)
        assert extractor.predict("t") == DEFAULT
        assert records("linqor") == []

    @pytest.mark.parametrize(
        "attributes, expected",
        [
            (None, {"related": True, "reason": ""}),
            ({}, {"related": True, "reason": ""}),
            ({"reason": "未说明"}, {"related": True, "reason": "未说明"}),
            ({"related": None, "reason": None}, {"related": False, "reason": "None"}),
            ({"related": "否", "reason": 7}, {"related": False, "reason": "7"}),
        ],
    )
    def test_extraction_without_a_verdict_is_related(self, service, extractor, attributes, expected):
        service.answers(answer(attributes))
        assert extractor.predict("t") == expected

    def test_reason_keeps_the_very_string(self, service, extractor):
        reason = "".join(["理", "由"])
        service.answers(answer({"reason": reason}))
        assert extractor.predict("t")["reason"] is reason

    def test_only_the_first_extraction_is_read(self, service, extractor):
        class Attributes:
            def __init__(self):
                self.read = []

            def get(self, key, *default):
                self.read.append((key, *default))
                return {"related": "false"}.get(key, *default)

        attributes = Attributes()
        service.answers(SimpleNamespace(extractions=[SimpleNamespace(attributes=attributes), Poisoned()]))
        assert extractor.predict("t") == {"related": False, "reason": ""}
        assert attributes.read == [("related", True), ("reason", "")]

    def test_other_sequences_are_indexed_not_iterated(self, service, extractor):
        class Extractions:
            def __init__(self):
                self.indexes = []

            def __len__(self):
                return 2

            def __getitem__(self, index):
                self.indexes.append(index)
                return SimpleNamespace(attributes={"reason": f"#{index}"}) if index == 0 else Poisoned()

            def __iter__(self):
                raise AssertionError("iterated")

        class Listed(list):
            def __getitem__(self, index):
                return SimpleNamespace(attributes={"reason": "overridden"})

        extractions = Extractions()
        service.answers(
            SimpleNamespace(extractions=extractions),
            SimpleNamespace(extractions={0: SimpleNamespace(attributes={"reason": "key 0"})}),
            SimpleNamespace(extractions=Listed([Poisoned()])),
        )
        assert extractor.predict("t")["reason"] == "#0" and extractions.indexes == [0]
        assert extractor.predict("t")["reason"] == "key 0"
        assert extractor.predict("t")["reason"] == "overridden"

    def test_default_result_is_new_each_time(self, extractor):
        first = LinqorExtractor._default_result()
        first["related"] = True
        assert extractor._default_result() == DEFAULT
        assert list(LinqorExtractor._default_result()) == ["related", "reason"]


BOOLEANS = [
    (True, True),
    (False, False),
    ("true", True),
    ("TRUE", True),
    (" Yes ", True),
    ("\tyes\n", True),
    ("y", True),
    ("Y", True),
    ("1", True),
    ("false", False),
    ("no", False),
    ("0", False),
    ("1.0", False),
    ("", False),
    ("是", False),
    ("t", False),
    ("on", False),
    ("yes!", False),
    (1, True),
    (2, True),
    (-1, True),
    (0.5, True),
    (float("nan"), True),
    (float("-inf"), True),
    (0, False),
    (0.0, False),
    (-0.0, False),
    (None, False),
    ([], False),
    ([1], False),
    ({"a": 1}, False),
    (Decimal("1"), False),
    (b"true", False),
]


class TestToBool:
    @pytest.mark.parametrize("value, expected", BOOLEANS)
    def test_conversion(self, value, expected):
        assert LinqorExtractor._to_bool(value) is expected

    def test_subclasses_use_their_own_methods(self):
        class Text(str):
            def strip(self):
                return Text("  YES")

            def lower(self):
                return "yes"

        class Zero(int):
            def __bool__(self):
                return False

        assert LinqorExtractor._to_bool(Text("no")) is True
        assert LinqorExtractor._to_bool(Zero(5)) is False


class TestFailures:
    @pytest.mark.parametrize(
        "result, error",
        [
            (object(), AttributeError),
            (SimpleNamespace(extractions=[object()]), AttributeError),
            (answer(["not", "a", "mapping"]), AttributeError),
            (SimpleNamespace(extractions=iter([SimpleNamespace(attributes={})])), TypeError),
            (SimpleNamespace(extractions={1: SimpleNamespace(attributes={})}), KeyError),
        ],
        ids=["no-extractions", "no-attributes", "attributes-without-get", "not-indexable", "no-index-0"],
    )
    def test_errors_reading_the_answer_reach_the_caller(self, service, extractor, records, result, error):
        service.answers(result)
        with pytest.raises(error):
            extractor.predict("t")
        assert records("linqor") == []


class TestOverrides:
    def test_to_result_and_default_result_through_the_instance(self, service, records):
        class Custom(LinqorExtractor):
            @staticmethod
            def _to_result(extraction):
                return {"custom": extraction.attributes}

            @staticmethod
            def _default_result():
                return {"custom": "default"}

        custom = Custom(OFFLINE_CONFIG, "p", [])
        service.answers(answer({"n": 1}), answer(), SimpleNamespace(extractions=[None]), RuntimeError("down"))
        assert custom.predict("t") == {"custom": {"n": 1}}
        assert [custom.predict("t") for _ in range(3)] == [{"custom": "default"}] * 3
        assert len(records("linqor")) == 1

    def test_to_bool_through_the_class(self, service, monkeypatch):
        class Contrary(LinqorExtractor):
            @staticmethod
            def _to_bool(value):
                return "subclass"

        service.answers(answer({"related": "yes"}))
        assert Contrary(OFFLINE_CONFIG, "p", []).predict("t")["related"] is True

        monkeypatch.setattr(LinqorExtractor, "_to_bool", staticmethod(lambda value: "patched"))
        assert LinqorExtractor._to_result(answer({}).extractions[0])["related"] == "patched"

    def test_instance_attribute_shadows_the_operation(self, service, extractor):
        extractor._to_result = lambda extraction: {"shadowed": True}
        service.answers(answer({}))
        assert extractor.predict("t") == {"shadowed": True}

    @pytest.mark.parametrize(
        "returned", [Mapping(related=True), [], "related", 1], ids=lambda returned: type(returned).__name__
    )
    @pytest.mark.parametrize(
        "operation, result",
        [
            ("_to_result", answer({})),
            ("_default_result", answer()),
            ("_default_result", RuntimeError("down")),
        ],
        ids=["to-result", "default-when-empty", "default-after-failure"],
    )
    def test_anything_but_a_dict_is_refused(self, service, returned, operation, result):
        class Wrong(LinqorExtractor):
            pass

        setattr(Wrong, operation, staticmethod(lambda *args: returned))
        service.answers(result)
        with pytest.raises(TypeError) as raised:
            Wrong(OFFLINE_CONFIG, "p", []).predict("t")
        assert str(raised.value) == f"Expected dict, got {type(returned).__name__}"

    def test_none_passes(self, service):
        class Silent(LinqorExtractor):
            @staticmethod
            def _to_result(extraction):
                return None

        service.answers(answer({}))
        assert Silent(OFFLINE_CONFIG, "p", []).predict("t") is None
