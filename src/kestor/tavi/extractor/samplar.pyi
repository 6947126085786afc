from dataclasses import dataclass, field
from typing import Any

import langextract as lx

@dataclass(frozen=True)
class PromptExtraction:
    text: str
    attrs: dict[str, Any] = field(default_factory=dict)
    kind: str = "relation"

@dataclass(frozen=True)
class PromptExample:
    text: str
    extractions: list[PromptExtraction] = field(default_factory=list)

def to_langextract_examples(examples: list[PromptExample]) -> list[lx.data.ExampleData]: ...
