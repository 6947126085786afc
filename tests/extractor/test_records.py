"""Worked-example records and their conversion into the service's example records."""

from __future__ import annotations

import dataclasses
import pickle

import langextract as lx
import pytest

from kestor.tavi.extractor.samplar import PromptExample, PromptExtraction, to_langextract_examples


class TestRecords:
    def test_defaults_are_fresh_per_record(self):
        first, second = PromptExtraction("a"), PromptExtraction("b")
        assert first.attrs == {} and first.kind == "relation"
        assert first.attrs is not second.attrs
        assert PromptExample("t").extractions is not PromptExample("t").extractions

    def test_fields_are_kept_as_given(self):
        attrs = {"source": 1}
        extractions = (PromptExtraction("x"),)
        assert PromptExtraction("x", attrs).attrs is attrs
        assert PromptExample(text="t", extractions=extractions).extractions is extractions

    @pytest.mark.parametrize("record", [PromptExtraction("a"), PromptExample("t")])
    def test_frozen(self, record):
        with pytest.raises(dataclasses.FrozenInstanceError):
            record.text = "changed"
        assert record.text in ("a", "t")

    def test_equality_repr_and_pickle(self):
        record = PromptExample("文本", [PromptExtraction("x", {"k": [1]}, "event")])
        assert record == PromptExample("文本", [PromptExtraction("x", {"k": [1]}, "event")])
        assert record != PromptExample("文本")
        assert repr(record) == (
            "PromptExample(text='文本', extractions=[PromptExtraction(text='x', attrs={'k': [1]}, kind='event')])"
        )
        assert pickle.loads(pickle.dumps(record)) == record
        assert type(record).__module__ == "kestor.tavi.extractor.samplar"
        assert [f.name for f in dataclasses.fields(PromptExtraction)] == ["text", "attrs", "kind"]

    def test_constructor_arity(self):
        with pytest.raises(TypeError):
            PromptExtraction()
        with pytest.raises(TypeError):
            PromptExample("t", [], "surplus")


class TestConversion:
    def test_mapping_and_order(self):
        attrs = {"source": "暴雨"}
        examples = [
            PromptExample("one", [PromptExtraction("a", attrs, "cause"), PromptExtraction("b")]),
            PromptExample("two"),
        ]
        converted = to_langextract_examples(examples)
        assert [type(item) for item in converted] == [lx.data.ExampleData] * 2
        assert [item.text for item in converted] == ["one", "two"]
        first, second = converted[0].extractions
        assert (first.extraction_class, first.extraction_text) == ("cause", "a")
        assert first.attributes is attrs
        assert (second.extraction_class, second.extraction_text, second.attributes) == ("relation", "b", {})
        assert converted[1].extractions == []

    def test_any_iterable_of_extractions(self):
        example = PromptExample("t", (PromptExtraction("a"), PromptExtraction("b")))
        assert [e.extraction_text for e in to_langextract_examples([example])[0].extractions] == ["a", "b"]
        assert to_langextract_examples([]) == []
        assert to_langextract_examples(examples=[]) == []

    def test_duck_typed_elements(self):
        class Example:
            text = "t"
            extractions = [PromptExtraction("a")]  # noqa: RUF012 - read, never changed

        assert to_langextract_examples([Example()])[0].text == "t"

    def test_errors_pass_through(self):
        with pytest.raises(AttributeError):
            to_langextract_examples([PromptExample("t"), object()])
        with pytest.raises(AttributeError):
            to_langextract_examples([PromptExample("t", [object()])])
        with pytest.raises(TypeError):
            to_langextract_examples([PromptExample("t", 5)])

    def test_reads_lx_at_call_time(self, monkeypatch):
        made = []

        class Data:
            @staticmethod
            def ExampleData(**kwargs):
                made.append(kwargs)
                return kwargs

            @staticmethod
            def Extraction(**kwargs):
                return kwargs

        from kestor.tavi.extractor import samplar

        monkeypatch.setattr(samplar, "lx", type("lx", (), {"data": Data}))
        result = to_langextract_examples([PromptExample("t", [PromptExtraction("a", {"x": 1}, "k")])])
        assert (
            result
            == made
            == [
                {
                    "text": "t",
                    "extractions": [{"extraction_class": "k", "extraction_text": "a", "attributes": {"x": 1}}],
                }
            ]
        )
        assert list(result[0]["extractions"][0]) == ["extraction_class", "extraction_text", "attributes"]
