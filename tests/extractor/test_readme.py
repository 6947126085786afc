"""README's python blocks, run as written and in order in one namespace, and its commands for running them offline.

The blocks read the endpoint from OPENAI_BASE_URL; the scripted endpoint's stock answers are the ones README shows in
its comments.
"""

from __future__ import annotations

import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from scripted_endpoint import STOCK_ANSWERS, ScriptedEndpoint

# Fresh interpreters, each importing the extraction library.
pytestmark = pytest.mark.slow

README = Path(__file__).resolve().parents[2] / "README.md"
AFTER = "-- README's blocks ran --"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.MULTILINE | re.DOTALL)


def test_readme_blocks_run_as_written(tmp_path):
    # In a fresh interpreter, as a reader runs them: there the first extractor really leaves the root logger a
    # stderr handler, which the failure block must keep its records from.
    script = tmp_path / "readme_blocks.py"
    script.write_text(
        "\n".join([*BLOCKS, "import sys", f"print({AFTER!r}, file=sys.stderr)", 'classifier.predict("降准")']),
        encoding="utf-8",
    )
    with ScriptedEndpoint(STOCK_ANSWERS) as endpoint:
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


def test_the_stock_endpoint_serves_from_the_command_line_until_interrupted():
    examples = README.parent / "examples"
    # Started as a shell without job control starts a background job (`make serve &` in a script): with SIGINT
    # ignored, which Python keeps ignored unless told otherwise.
    command = ["sh", "-c", 'trap "" INT; exec "$0" "$@"', sys.executable, str(examples / "scripted_endpoint.py")]
    command += ["--port", "0"]
    with subprocess.Popen(command, stdout=subprocess.PIPE, text=True) as server:
        try:
            assert server.stdout is not None
            banner = server.stdout.readline()
            base_url = re.fullmatch(r"answering at (http://127\.0\.0\.1:\d+/v1) until Ctrl-C\n", banner)
            assert base_url, banner
            # README's command for asking a real model, asking the stock one: it reads the demo's texts by their cue
            # words.
            demo = [
                sys.executable,
                str(examples / "demo.py"),
                "--base-url",
                base_url[1],
                "--model",
                "m",
                "--api-key",
                "k",
            ]
            shown = subprocess.run(demo, capture_output=True, text=True, timeout=120, check=True).stdout
            assert "1. 台风“海葵” --因果--> 福建沿海普降暴雨  strength 0.70" in shown
            assert "2. 电力中断 --因果--> 当地多家工厂被迫停产  strength 0.90" in shown
            server.send_signal(signal.SIGINT)
            assert server.wait(timeout=30) == 0
        finally:
            server.kill()
