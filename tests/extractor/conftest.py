"""Fixtures of the extension modules' tests: the stand-ins of `fakes` in place, and the modules' log records."""

from __future__ import annotations

import logging

import pytest

from kestor.tavi.extractor import samplar

from .fakes import FakeService, RecordingProvider


@pytest.fixture
def service(monkeypatch: pytest.MonkeyPatch) -> FakeService:
    fake = FakeService()
    monkeypatch.setattr(samplar.lx, "extract", fake)
    return fake


@pytest.fixture
def provider(monkeypatch: pytest.MonkeyPatch) -> type[RecordingProvider]:
    import langextract.providers.openai as provider_module

    monkeypatch.setattr(provider_module, "OpenAILanguageModel", RecordingProvider)
    return RecordingProvider


@pytest.fixture
def records(caplog: pytest.LogCaptureFixture):
    """The log records of one extractor module: `records("causara")`."""
    caplog.set_level(logging.DEBUG)

    def of(module: str) -> list[logging.LogRecord]:
        name = f"kestor.tavi.extractor.{module}"
        return [record for record in caplog.records if record.name == name]

    return of
