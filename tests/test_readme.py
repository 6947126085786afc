"""README's python blocks, run as written and in order in one namespace, against the scripted endpoint.

The blocks read the endpoint from OPENAI_BASE_URL; the answers are the ones README shows in its comments.
"""

from __future__ import annotations

import logging
import re
from pathlib import Path

import langextract
from scripted_endpoint import ScriptedEndpoint, answers_by_keyword, extraction_answer

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.MULTILINE | re.DOTALL)

ANSWERS = answers_by_keyword(
    [
        ("图谱数据:", extraction_answer(("force", "台风登陆 -> 沿海暴雨", {"final_force": "特别剧烈"}))),
        ("全城停电约六小时", extraction_answer(("force", "次日恢复供电", {"final_force": "剧烈"}))),
        (
            "地震",
            extraction_answer(
                ("relation", "地震导致全城停电", {"source": "地震", "target": "全城停电", "strength": "0.9"})
            ),
        ),
        (
            "降准",
            extraction_answer(("pc", "央行宣布降准", {"related": "true", "reason": "降准释放资金，银行随之下调利率"})),
        ),
    ]
)


def test_readme_blocks_run_as_written(monkeypatch, capsys):
    # The blocks replace langextract.extract and add a handler: both are put back afterwards.
    monkeypatch.setattr(langextract, "extract", langextract.extract)
    monkeypatch.setattr(logging.getLogger("kestor.tavi.extractor"), "handlers", [])
    namespace: dict = {"__name__": "readme"}
    with ScriptedEndpoint(ANSWERS) as endpoint:
        monkeypatch.setenv("OPENAI_BASE_URL", endpoint.base_url)
        for block in BLOCKS:
            exec(compile(block, str(README), "exec"), namespace)
        printed = capsys.readouterr()
        namespace["classifier"].predict("降准")
        quiet = capsys.readouterr().err

    assert len(BLOCKS) == 8
    lines = printed.out.splitlines()
    assert lines[:3] == [
        "地震 -> 全城停电 0.9",
        "{'related': True, 'reason': '降准释放资金，银行随之下调利率'}",
        "剧烈",
    ]
    assert lines[3] == "no answer: Failed to classify PC relation with langextract: OpenAI API error: Connection error."
    # What the subclass prints is the rendering README shows, there indented as a block.
    assert "\n".join(lines[4:]) in README.read_text(encoding="utf-8").replace("\n    ", "\n")
    assert "LangExtract" in printed.err and "LangExtract" not in quiet
    # The review was asked about the article alone; the subclass's predict had no article, so no review.
    assert endpoint.questions[3] == "台风登陆后沿海普降暴雨，全城停电约六小时，次日恢复供电。"
    assert len(endpoint.questions) == 6
