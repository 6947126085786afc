"""Corpus runs as the tests drive them: a configuration and an input for every mode against the scripted endpoint,
and an answer for every question that says whose it is.

Every input carries its id as a tag in what the model is asked, and the endpoint answers for that tag, so a result
written under another input's id, an input asked twice or a failure written as a result shows.
"""

from __future__ import annotations

import copy
import json
import re
from collections import Counter
from pathlib import Path
from typing import Any

from scripted_endpoint import ScriptedEndpoint, extraction_answer

EXAMPLE = {
    "text": "暴雨导致洪水。",
    "extractions": [{"text": "暴雨导致洪水", "attrs": {"source": "暴雨", "target": "洪水"}}],
}
FORCE_EXAMPLE = {
    "text": "图谱数据:\n起点: 暴雨",
    "extractions": [{"text": "暴雨", "attrs": {"final_force": "中等"}, "kind": "force"}],
}
# 1 and "1" are two inputs; "!" marks an input whose first force is "特别剧烈", which the review then reads.
IDS: list[Any] = [1, "1", "a", 2, "b!", 3, "c", 4, "d!", 5, "e", 6]
TAG = re.compile(r"«(.+?)»")
RESULT = re.compile(r'"result": (.*), "attempts"')


def tag(id_: Any) -> str:
    return f"«{json.dumps(id_)}»"


def answer(question: str) -> str:
    """Attributes for every extractor at once, each reading its own; the force depends on the question asked."""
    found = TAG.search(question)
    assert found, question
    mark, name = found.group(1), found.group()
    force = ("特别剧烈" if "!" in mark else f"剧烈{mark}") if question.startswith("图谱数据:") else f"复核{mark}"
    return extraction_answer(
        (
            "relation",
            mark,
            {
                "source": f"起因{name}",
                "target": f"结果{name}",
                "strength": len(mark) / 10,
                "strength_reason": mark,
                "related": "yes" if len(mark) % 2 else "no",
                "reason": mark,
                "final_force": force,
            },
        )
    )


def config(endpoint: ScriptedEndpoint) -> dict[str, Any]:
    return copy.deepcopy(
        {
            "model": "scripted",
            "api_key": "offline",
            "base_url": endpoint.base_url,
            "causara": {"prompt_description": "找出因果关系。", "examples": [EXAMPLE]},
            "linqor": {"prompt_description": "判断PC关系。", "examples": [dict(EXAMPLE, extractions=[])]},
            "force": {
                "prompt_description": "判断影响力度。",
                "examples": [FORCE_EXAMPLE],
                "review_prompt_description": "结合文章复核。",
                "review_examples": [FORCE_EXAMPLE],
            },
        }
    )


def row(mode: str, id_: Any) -> dict[str, Any]:
    if mode != "force":
        return {"id": id_, "text": f"台风{tag(id_)}导致停电。", "url": "ignored"}
    return {
        "id": id_,
        "graph_data": {
            "nodes": [{"id": 1, "name": f"台风{tag(id_)}"}, {"id": 2, "name": "停电"}],
            "edges": [{"src_node": {"id": 1}, "dest_node": {"id": 2}}],
        },
        "article_text": f"文章{tag(id_)}",
    }


class Job:
    def __init__(self, tmp_path: Path, endpoint: ScriptedEndpoint, mode: str, ids: list[Any] = IDS) -> None:
        self.mode = mode
        self.config = tmp_path / "config.json"
        self.config.write_text(json.dumps(config(endpoint), ensure_ascii=False))
        self.input = tmp_path / "input.jsonl"
        self.input.write_text("".join(json.dumps(row(mode, i), ensure_ascii=False) + "\n" for i in ids))
        self.out = tmp_path / "out"

    def args(self, *extra: str) -> list[str]:
        return [
            self.mode,
            "--config",
            str(self.config),
            "--input",
            str(self.input),
            "--output",
            str(self.out),
            "--partition-size",
            "4",
            "--threads",
            "4",
            "--retry-pause",
            "0.01",
            "--quiet",
            *extra,
        ]

    def lines(self) -> dict[str, dict[str, Any]]:
        """The output lines by id's JSON text; each id once across the part files."""
        parts = sorted(self.out.glob("part-*.jsonl"))
        assert not list(self.out.glob("*.tmp"))
        found = [json.loads(text) for part in parts for text in part.read_text().splitlines()]
        keys = [json.dumps(entry["id"]) for entry in found]
        assert [key for key, count in Counter(keys).items() if count > 1] == []
        return dict(zip(keys, found, strict=True))


def results(out: Path) -> dict[str, str]:
    """Each id's result as the line's text holds it."""
    found = {}
    for part in sorted(out.glob("part-*.jsonl")):
        for text in part.read_text(encoding="utf-8").splitlines():
            found[json.dumps(json.loads(text)["id"])] = RESULT.search(text).group(1)  # type: ignore[union-attr]
    return found
