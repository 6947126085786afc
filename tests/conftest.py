"""Shared fixtures: a stand-in for the extraction service, service answers, and the scripted endpoint."""

from __future__ import annotations

import logging
from collections.abc import Iterator
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import pytest
from scripted_endpoint import ScriptedEndpoint

from kestor.tavi.extractor import samplar


@pytest.fixture(autouse=True)
def user_cache(tmp_path_factory: pytest.TempPathFactory, monkeypatch: pytest.MonkeyPatch) -> Path:
    """The user's cache directory of each test, so that no test reads or writes the real one, nor another test's
    answers."""
    directory = tmp_path_factory.mktemp("user-cache")
    monkeypatch.setenv("XDG_CACHE_HOME", str(directory))
    return directory


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    # Spread over workers, a slow test that starts last keeps the whole run waiting for it: slow ones go first.
    # The sort is stable and the same in every worker, as the distribution of the tests needs.
    items.sort(key=lambda item: item.get_closest_marker("slow") is None)


# What every extractor hands the extraction service, in this order, and nothing else.
EXTRACT_KEYWORDS = [
    "text_or_documents",
    "prompt_description",
    "examples",
    "model",
    "use_schema_constraints",
    "fence_output",
    "fetch_urls",
    "prompt_validation_level",
]


def answer(*attributes: Any) -> SimpleNamespace:
    """A service answer whose extractions carry these attribute dictionaries, in order."""
    return SimpleNamespace(extractions=[SimpleNamespace(attributes=a) for a in attributes])


class FakeService:
    """Stands in for `lx.extract`: records every call and answers from a script (an exception is raised)."""

    def __init__(self) -> None:
        self.calls: list[tuple[tuple[Any, ...], dict[str, Any]]] = []
        self.script: list[Any] = []
        self.default: Any = answer()

    def answers(self, *results: Any) -> FakeService:
        self.script.extend(results)
        return self

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.append((args, kwargs))
        result = self.script.pop(0) if self.script else self.default
        if isinstance(result, BaseException):
            raise result
        return result

    @property
    def texts(self) -> list[Any]:
        return [kwargs.get("text_or_documents") for _, kwargs in self.calls]


@pytest.fixture
def service(monkeypatch: pytest.MonkeyPatch) -> FakeService:
    fake = FakeService()
    monkeypatch.setattr(samplar.lx, "extract", fake)
    return fake


class RecordingProvider:
    """Stands in for the OpenAI provider class: keeps the keyword arguments it was built with."""

    def __init__(self, **kwargs: Any) -> None:
        self.kwargs = kwargs


@pytest.fixture
def provider(monkeypatch: pytest.MonkeyPatch) -> type[RecordingProvider]:
    import langextract.providers.openai as provider_module

    monkeypatch.setattr(provider_module, "OpenAILanguageModel", RecordingProvider)
    return RecordingProvider


@pytest.fixture
def endpoint() -> Iterator[ScriptedEndpoint]:
    with ScriptedEndpoint() as running:
        yield running


@pytest.fixture
def records(caplog: pytest.LogCaptureFixture):
    """The log records of one extractor module: `records("causara")`."""
    caplog.set_level(logging.DEBUG)

    def of(module: str) -> list[logging.LogRecord]:
        name = f"kestor.tavi.extractor.{module}"
        return [record for record in caplog.records if record.name == name]

    return of
