"""The one service call of the two text extractors: its keywords in order, the fields read afresh, the examples
converted once."""

from __future__ import annotations

import langextract as lx
import pytest
from conftest import OFFLINE_CONFIG

from kestor.tavi.extractor.causara import CausaraExtractor
from kestor.tavi.extractor.linqor import LinqorExtractor
from kestor.tavi.extractor.samplar import PromptExample, PromptExtraction

KEYWORDS = ["text_or_documents", "prompt_description", "examples", "model", "use_schema_constraints", "fence_output",
            "fetch_urls", "prompt_validation_level"]
# The causal extractor sends the text whole; the classifier its first 1000 characters.
SENT = {CausaraExtractor: lambda text: text, LinqorExtractor: lambda text: text[:1000]}


@pytest.fixture(params=list(SENT), ids=lambda cls: cls.__name__)
def extractor(request):
    return request.param(OFFLINE_CONFIG, "提示", [PromptExample("例", [PromptExtraction("a")])])


def test_one_call_with_keywords_in_order(service, extractor):
    text = "甲" * 600 + "b" * 4400
    extractor.predict(text)
    [(args, kwargs)] = service.calls
    assert args == () and list(kwargs) == KEYWORDS
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
