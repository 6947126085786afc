"""What extractors are built from where no real model is asked: the tests, benchmarks, soak and fuzz runs.

`OFFLINE_CONFIG` names a local port where nothing listens, so an extractor whose service was not patched, or that
was not pointed at a scripted endpoint, fails at once instead of reaching anything. The worked examples are one
per extractor, the least that shows a model each answer's shape; a scripted endpoint answers from the last
question of a prompt, so they change no answer.
"""

from __future__ import annotations

from typing import Any

from kestor.tavi.extractor.samplar import PromptExample, PromptExtraction

OFFLINE_CONFIG: dict[str, Any] = {"model": "m", "api_key": "k", "base_url": "http://127.0.0.1:9/v1"}

CAUSAL_EXAMPLES = [
    PromptExample("暴雨导致洪水。", [PromptExtraction("暴雨导致洪水", {"source": "暴雨", "target": "洪水"})])
]
PC_EXAMPLES = [
    PromptExample(
        "降准后银行降息。", [PromptExtraction("降准后银行降息", {"related": "true", "reason": "先后相继"}, "pc")]
    )
]
FORCE_EXAMPLES = [
    PromptExample("图谱数据:\n起点: 暴雨\n终点: 洪水", [PromptExtraction("暴雨", {"final_force": "中等"}, "force")])
]
REVIEW_EXAMPLES = [PromptExample("小雨", [PromptExtraction("小雨", {"final_force": "轻微"}, "force")])]
