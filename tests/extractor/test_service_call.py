"""The one service call of the two text extractors: its keywords in order, the fields read afresh, the examples
converted once, and the guard around it."""

from __future__ import annotations

import logging
import sys

import langextract as lx
import pytest
from offline import OFFLINE_CONFIG

from kestor.tavi.extractor import causara, linqor
from kestor.tavi.extractor.causara import CausaraExtractor
from kestor.tavi.extractor.linqor import LinqorExtractor
from kestor.tavi.extractor.samplar import PromptExample, PromptExtraction

from .fakes import EXTRACT_KEYWORDS

# The causal extractor sends the text whole; the classifier its first 1000 characters.
SENT = {CausaraExtractor: lambda text: text, LinqorExtractor: lambda text: text[:1000]}


# Per extractor: its module, the record's message, and the result a failing call gives.
GUARD = {
    CausaraExtractor: (causara, "Failed to extract event relations with langextract: %s", []),
    LinqorExtractor: (linqor, "Failed to classify PC relation with langextract: %s", {"related": False, "reason": ""}),
}


@pytest.fixture(params=list(SENT), ids=lambda cls: cls.__name__)
def extractor(request):
    return request.param(OFFLINE_CONFIG, "提示", [PromptExample("例", [PromptExtraction("a")])])


def test_one_call_with_keywords_in_order(service, extractor):
    text = "甲" * 600 + "b" * 4400
    extractor.predict(text)
    [(args, kwargs)] = service.calls
    assert args == () and list(kwargs) == EXTRACT_KEYWORDS
    assert kwargs["text_or_documents"] == SENT[type(extractor)](text)
    assert kwargs["prompt_description"] is extractor.prompt_description
    assert kwargs["examples"] is extractor.examples
    assert kwargs["model"] is extractor.model
    assert [kwargs[k] for k in ("use_schema_constraints", "fence_output", "fetch_urls")] == [False, True, False]
    assert kwargs["prompt_validation_level"] is lx.prompt_validation.PromptValidationLevel.OFF


def test_fields_are_read_at_each_call(service, extractor):
    extractor.prompt_description = "changed"
    extractor.model = model = object()
    extractor.predict("t")
    assert service.calls[0][1]["prompt_description"] == "changed"
    assert service.calls[0][1]["model"] is model


def test_examples_converted_once_at_construction(extractor):
    [example] = extractor.examples
    assert isinstance(example, lx.data.ExampleData)
    assert vars(extractor).keys() == {"model", "prompt_description", "examples"}


class TestGuard:
    def test_service_error_is_logged_once(self, service, extractor, records):
        module, message, default = GUARD[type(extractor)]
        error = RuntimeError("HTTP 500")
        service.answers(error)
        assert extractor.predict("t") == default
        [record] = records(module.__name__.rsplit(".", 1)[1])
        assert (record.levelno, record.msg, record.args) == (logging.ERROR, message, (error,))
        assert record.exc_info[1] is error and record.exc_info[2] is not None
        assert record.getMessage() == message % "HTTP 500"

    @pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
    def test_interrupts_pass_unlogged(self, service, extractor, records, interrupt):
        module = GUARD[type(extractor)][0]
        service.answers(interrupt())
        with pytest.raises(interrupt):
            extractor.predict("t")
        assert records(module.__name__.rsplit(".", 1)[1]) == []

    def test_missing_entry_point_is_logged(self, service, extractor, records, monkeypatch):
        module, _, default = GUARD[type(extractor)]
        monkeypatch.delattr(module, "lx")
        assert extractor.predict("t") == default
        [record] = records(module.__name__.rsplit(".", 1)[1])
        assert isinstance(record.args[0], NameError)

    def test_missing_field_is_logged(self, service, extractor, records):
        module, _, default = GUARD[type(extractor)]

        class Unbuilt(type(extractor)):
            def __init__(self):
                pass

        assert Unbuilt().predict("t") == default
        assert isinstance(records(module.__name__.rsplit(".", 1)[1])[0].args[0], AttributeError)
        assert service.calls == []

    def test_handled_exception_is_restored(self, service, extractor):
        service.answers(ValueError("inner"))
        try:
            raise LookupError("outer")
        except LookupError as outer:
            extractor.predict("t")
            assert sys.exc_info()[1] is outer

    def test_failing_logger_propagates_chained(self, service, extractor, monkeypatch):
        error = RuntimeError("service")

        class Broken:
            def exception(self, *args):
                raise OSError("log sink")

        service.answers(error)
        monkeypatch.setattr(GUARD[type(extractor)][0], "logger", Broken())
        with pytest.raises(OSError) as raised:
            extractor.predict("t")
        assert raised.value.__context__ is error
