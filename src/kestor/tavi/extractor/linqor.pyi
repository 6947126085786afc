import logging
from typing import Any, TypedDict

import langextract as lx
from typing_extensions import disjoint_base

from .samplar import PromptExample as PromptExample
from .samplar import to_langextract_examples as to_langextract_examples

logger: logging.Logger

class _Result(TypedDict):
    related: bool
    reason: str

# Instances have a layout of their own: two extractor classes cannot be bases of one class.
@disjoint_base
class LinqorExtractor:
    model: Any
    prompt_description: str
    examples: list[lx.data.ExampleData]
    def __init__(self, config: dict[str, Any], prompt_description: str, examples: list[PromptExample]) -> None: ...
    @staticmethod
    def _build_model(config: dict[str, Any]) -> Any: ...
    def predict(self, text: str) -> _Result: ...
    @staticmethod
    def _to_result(extraction: lx.data.Extraction) -> _Result: ...
    @staticmethod
    def _to_bool(value: object) -> bool: ...
    @staticmethod
    def _default_result() -> _Result: ...
