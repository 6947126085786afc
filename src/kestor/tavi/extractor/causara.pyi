import logging
from typing import Any, TypedDict

import langextract as lx
from typing_extensions import disjoint_base

from .samplar import PromptExample as PromptExample
from .samplar import to_langextract_examples as to_langextract_examples

logger: logging.Logger

class _Relation(TypedDict):
    source: Any
    source_meta: Any
    rel: Any
    target: Any
    target_meta: Any
    strength: float
    strength_reason: str

# Instances have a layout of their own: two extractor classes cannot be bases of one class.
@disjoint_base
class CausaraExtractor:
    model: Any
    prompt_description: str
    examples: list[lx.data.ExampleData]
    def __init__(self, config: dict[str, Any], prompt_description: str, examples: list[PromptExample]) -> None: ...
    @staticmethod
    def _build_model(config: dict[str, Any]) -> Any: ...
    def predict(self, text: str) -> list[_Relation]: ...
    @staticmethod
    def _to_relation(extraction: lx.data.Extraction) -> _Relation | dict[str, Any]: ...
    @staticmethod
    def _to_strength(value: object) -> float: ...
