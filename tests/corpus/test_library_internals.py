"""What the runner takes from inside the extraction library, beyond its documented calls: each case names the place
that relies on it, so that a release that moves it fails here, saying where, rather than in a run (each imports
what it needs itself, so that one moved module fails its case alone)."""

from __future__ import annotations

import threading
from collections.abc import Callable
from types import SimpleNamespace
from typing import Any
from unittest import mock

import httpx2
import langextract as lx
import openai
import pytest
from langextract.providers.openai import OpenAILanguageModel

ANSWER = '{"extractions": [{"cause": "台风", "cause_attributes": {"strength": 0.9}}]}'


class Client:
    """Stands in for the provider's OpenAI client: answers every chat completion, or raises `fails`."""

    def __init__(self, fails: Exception | None = None) -> None:
        self.fails, self.threads = fails, list[int]()
        self.chat = SimpleNamespace(completions=SimpleNamespace(create=self.create))

    def create(self, **params: Any) -> Any:
        self.threads.append(threading.get_ident())
        if self.fails is not None:
            raise self.fails
        message = SimpleNamespace(content=ANSWER, refusal=None)
        return SimpleNamespace(choices=[SimpleNamespace(message=message, finish_reason="stop")])


def provider(client: Client) -> OpenAILanguageModel:
    model = OpenAILanguageModel(model_id="m", api_key="k", base_url="http://127.0.0.1:9/v1")
    assert hasattr(model, "_client")
    model._client, model.max_workers = client, 1
    return model


def extract(model: OpenAILanguageModel) -> Any:
    """`extract` called as the extension modules call it, with the one keyword the graph command adds."""
    examples = [lx.data.ExampleData("暴雨", [lx.data.Extraction("cause", "暴雨")])]
    off = lx.prompt_validation.PromptValidationLevel.OFF
    return lx.extract(
        text_or_documents="台风", prompt_description="find", examples=examples, model=model,
        use_schema_constraints=False, fence_output=True, fetch_urls=False, prompt_validation_level=off,
        show_progress=False,
    )  # fmt: skip


def sends_through_its_client() -> None:
    client = Client()
    assert [output[0].output for output in provider(client).infer(["Q: a"])] == [ANSWER] and client.threads


def keeps_a_calls_requests_on_its_thread() -> None:
    # The asker of a call is found by the thread that makes its requests: one in a pool would pass no gate.
    client = Client()
    list(provider(client).infer(["Q: a", "Q: b", "Q: c"]))
    assert client.threads == [threading.get_ident()] * 3


def draws_its_bar_through_the_progress_modules_factory() -> None:
    from langextract import progress

    original = progress.create_extraction_progress_bar
    with mock.patch.object(progress, "create_extraction_progress_bar", wraps=original) as bar:
        extract(provider(Client()))
    assert bar.call_count == 1 and bar.call_args.kwargs["disable"] is True  # a keyword the wrapper can set


def takes_the_keywords_we_pass() -> None:
    [found] = extract(provider(Client())).extractions
    assert (found.extraction_class, found.extraction_text, found.attributes) == ("cause", "台风", {"strength": 0.9})


def writes_an_examples_answer() -> None:
    from langextract.core.format_handler import FormatHandler

    text = FormatHandler().format_extraction_example([lx.data.Extraction("cause", "台风", attributes={"a": "强"})])
    assert isinstance(text, str) and "台风" in text and "强" in text


def keeps_the_clients_error_as_original() -> None:
    from langextract.core.exceptions import LangExtractError

    refused = openai.APIConnectionError(request=httpx2.Request("POST", "http://127.0.0.1:9/v1/chat/completions"))
    with pytest.raises(LangExtractError) as raised:
        list(provider(Client(fails=refused)).infer(["Q: a"]))
    assert getattr(raised.value, "original", None) is refused


INTERNALS: dict[str, Callable[[], None]] = {
    "extractors.extractor_classes: the provider's `_client`": sends_through_its_client,
    "extractors.extractor_classes: the provider's `max_workers`": keeps_a_calls_requests_on_its_thread,
    "extractors.quiet_progress_bars: progress.create_extraction_progress_bar(disable=)": (
        draws_its_bar_through_the_progress_modules_factory
    ),
    "graph.commands.between and the extension modules: extract's keywords": takes_the_keywords_we_pass,
    "estimate: core.format_handler.FormatHandler": writes_an_examples_answer,
    "asking.failures: the library's error keeps the client's as `original`": keeps_the_clients_error_as_original,
}


@pytest.mark.parametrize("relies_on", list(INTERNALS))
def test_what_we_take_from_inside_the_extraction_library_is_there(relies_on: str):
    INTERNALS[relies_on]()
