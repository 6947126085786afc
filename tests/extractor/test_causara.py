"""The causal relation extractor against a stand-in for the extraction service."""

from __future__ import annotations

import math
from types import SimpleNamespace

import pytest
from offline import OFFLINE_CONFIG

from kestor.tavi.extractor import causara
from kestor.tavi.extractor.causara import CausaraExtractor
from kestor.tavi.extractor.samplar import PromptExample, PromptExtraction

from .fakes import answer

KEYS = ["source", "source_meta", "rel", "target", "target_meta", "strength", "strength_reason"]


@pytest.fixture
def extractor() -> CausaraExtractor:
    return CausaraExtractor(OFFLINE_CONFIG, "找出因果关系", [PromptExample("例", [PromptExtraction("a")])])


def test_text_is_sent_whole(service, extractor):
    text = "长" * 5000
    extractor.predict(text)
    assert service.texts == [text] and service.texts[0] is text


class TestRelations:
    def test_minimal_attributes(self, service, extractor):
        service.answers(answer({"source": "暴雨", "target": "洪水"}))
        [relation] = extractor.predict("t")
        assert list(relation) == KEYS
        assert relation == {
            "source": "暴雨",
            "source_meta": "",
            "rel": "因果",
            "target": "洪水",
            "target_meta": "",
            "strength": 0.5,
            "strength_reason": "",
        }

    def test_values_pass_unconverted(self, service, extractor):
        meta = {"地点": ["福建"]}
        service.answers(
            answer(
                {
                    "source": "a",
                    "target": "0",
                    "source_meta": meta,
                    "rel": "",
                    "target_meta": None,
                    "strength": 0.7,
                    "strength_reason": 12,
                    "extra": 1,
                }
            )
        )
        [relation] = extractor.predict("t")
        assert relation["source_meta"] is meta
        assert relation["rel"] == "" and relation["target_meta"] is None and relation["target"] == "0"
        assert relation["strength"] == 0.7 and relation["strength_reason"] == "12"

    def test_incomplete_extractions_are_dropped_in_order(self, service, extractor):
        service.answers(
            answer(
                None,
                {"source": "a", "target": ""},
                {"source": "b", "target": "c"},
                {"source": 0, "target": "d"},
                {"target": "e"},
                {"source": "f", "target": "g"},
            )
        )
        assert [(r["source"], r["target"]) for r in extractor.predict("t")] == [("b", "c"), ("f", "g")]

    @pytest.mark.parametrize("extractions", [None, [], ()])
    def test_no_extractions(self, service, extractor, extractions):
        service.answers(SimpleNamespace(extractions=extractions))
        assert extractor.predict("t") == []

    def test_any_iterable_of_extractions(self, service, extractor):
        items = [SimpleNamespace(attributes={"source": str(i), "target": "x"}) for i in range(3)]
        service.answers(SimpleNamespace(extractions=iter(items)))
        assert [r["source"] for r in extractor.predict("t")] == ["0", "1", "2"]

    def test_mapping_attributes_are_read_with_get(self, service, extractor):
        class Attributes:
            def __init__(self):
                self.read = []

            def get(self, key, *default):
                self.read.append((key, *default))
                return {"source": "s", "target": "t"}.get(key, *default)

        attributes = Attributes()
        service.answers(answer(attributes))
        extractor.predict("t")
        assert attributes.read == [
            ("source",),
            ("target",),
            ("source", ""),
            ("source_meta", ""),
            ("rel", "因果"),
            ("target", ""),
            ("target_meta", ""),
            ("strength",),
            ("strength_reason", ""),
        ]


STRENGTHS = [
    (0.7, 0.7),
    (3, 1.0),
    (-2, 0.0),
    (True, 1.0),
    (False, 0.0),
    (" 0.35 ", 0.35),
    ("1.5", 1.0),
    ("强", 0.5),
    ("", 0.5),
    (None, 0.5),
    ([], 0.5),
    ("nan", 1.0),
    ("-inf", 0.0),
    (float("nan"), 1.0),
    (float("inf"), 1.0),
    (-0.0, 0.0),
    ("1_0", 1.0),
    ("８０%", 0.5),
    ("\u0660.\u0667", 0.7),
    ("1e-1", 0.1),
    (10**300, 1.0),
]


class TestStrength:
    @pytest.mark.parametrize("value, expected", STRENGTHS)
    def test_conversion(self, value, expected):
        result = CausaraExtractor._to_strength(value)
        assert type(result) is float and result == expected and math.copysign(1, result) == 1

    def test_subclasses_of_numbers_and_text(self):
        class Text(str):
            def strip(self):
                return "0.25"

        assert CausaraExtractor._to_strength(Text("anything")) == 0.25

        class Number(int):
            pass

        assert CausaraExtractor._to_strength(Number(0)) == 0.0

    def test_integer_beyond_double_raises_unlogged(self, service, extractor, records):
        service.answers(answer({"source": "a", "target": "b", "strength": 10**400}))
        with pytest.raises(OverflowError):
            extractor.predict("t")
        assert records("causara") == []


class TestFailures:
    @pytest.mark.parametrize(
        "result",
        [
            object(),
            SimpleNamespace(extractions=[object()]),
            answer(["not", "a", "mapping"]),
        ],
    )
    def test_errors_reading_the_answer_reach_the_caller(self, service, extractor, records, result):
        service.answers(result)
        with pytest.raises(AttributeError):
            extractor.predict("t")
        assert records("causara") == []


class TestOverrides:
    def test_to_relation_through_the_instance(self, service):
        class Tagged(CausaraExtractor):
            @staticmethod
            def _to_relation(extraction):
                return {"tag": extraction.attributes["n"]} if extraction.attributes["n"] else {}

        service.answers(answer({"n": 1}, {"n": 0}, {"n": 2}))
        assert Tagged(OFFLINE_CONFIG, "p", []).predict("t") == [{"tag": 1}, {"tag": 2}]

    def test_to_strength_through_the_class(self, service, monkeypatch):
        class Doubling(CausaraExtractor):
            @staticmethod
            def _to_strength(value):
                return "subclass"

        service.answers(answer({"source": "a", "target": "b", "strength": 0.2}))
        assert Doubling(OFFLINE_CONFIG, "p", []).predict("t")[0]["strength"] == 0.2

        monkeypatch.setattr(CausaraExtractor, "_to_strength", staticmethod(lambda value: "patched"))
        assert (
            CausaraExtractor._to_relation(answer({"source": "a", "target": "b"}).extractions[0])["strength"]
            == "patched"
        )

        # The class is the one the module's namespace names at the call: a stand-in needs no other operation.
        class StandIn:
            _to_strength = staticmethod(lambda value: "stand-in")

        monkeypatch.setattr(causara, "CausaraExtractor", StandIn)
        assert (
            CausaraExtractor._to_relation(answer({"source": "a", "target": "b"}).extractions[0])["strength"]
            == "stand-in"
        )

    def test_instance_attribute_shadows_the_operation(self, service, extractor):
        extractor._to_relation = lambda extraction: {"shadowed": True}
        service.answers(answer({}))
        assert extractor.predict("t") == [{"shadowed": True}]
