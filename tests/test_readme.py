"""README's python blocks, run as written and in order in one namespace, against the scripted endpoint.

The blocks read the endpoint from OPENAI_BASE_URL; the answers are the ones README shows in its comments.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

from scripted_endpoint import ScriptedEndpoint, answers_by_keyword, extraction_answer

README = Path(__file__).resolve().parent.parent / "README.md"
AFTER = "-- README's blocks ran --"
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


def test_readme_blocks_run_as_written(tmp_path):
    # In a fresh interpreter, as a reader runs them: there the first extractor really leaves the root logger a
    # stderr handler, which the failure block must keep its records from.
    script = tmp_path / "readme_blocks.py"
    script.write_text(
        "\n".join([*BLOCKS, "import sys", f"print({AFTER!r}, file=sys.stderr)", 'classifier.predict("降准")']),
        encoding="utf-8",
    )
    with ScriptedEndpoint(ANSWERS) as endpoint:
        run = subprocess.run(
            [sys.executable, str(script)],
            env={**os.environ, "OPENAI_BASE_URL": endpoint.base_url},
            capture_output=True,
            text=True,
            timeout=120,
        )
    assert run.returncode == 0, run.stderr
    assert len(BLOCKS) == 8
    lines = run.stdout.splitlines()
    assert lines[:3] == [
        "地震 -> 全城停电 0.9",
        "{'related': True, 'reason': '降准释放资金，银行随之下调利率'}",
        "剧烈",
    ]
    assert lines[3] == "no answer: Failed to classify PC relation with langextract: OpenAI API error: Connection error."
    # What the subclass prints is the rendering README shows, there indented as a block.
    assert "\n".join(lines[4:]) in README.read_text(encoding="utf-8").replace("\n    ", "\n")
    printed, quiet = run.stderr.split(AFTER)
    assert "LangExtract" in printed and "LangExtract" not in quiet
    assert "Traceback" not in run.stderr and "Failed to classify" not in run.stderr
    # The review was asked about the article alone; the subclass's predict had no article, so no review.
    assert endpoint.questions[3] == "台风登陆后沿海普降暴雨，全城停电约六小时，次日恢复供电。"
    assert len(endpoint.questions) == 6
