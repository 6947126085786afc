"""Stand-ins for the extraction service and the OpenAI provider, and the service answers they give."""

from __future__ import annotations

from types import SimpleNamespace
from typing import Any

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


class RecordingProvider:
    """Stands in for the OpenAI provider class: keeps the keyword arguments it was built with."""

    def __init__(self, **kwargs: Any) -> None:
        self.kwargs = kwargs
