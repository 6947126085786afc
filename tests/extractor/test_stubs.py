"""The stubs describe the modules as they are, and type-check the code a host writes against them."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

MODULES = [f"kestor.tavi.extractor.{name}" for name in ("samplar", "causara", "linqor", "force")]

HOST_CODE = textwrap.dedent("""
    from kestor.tavi.extractor.causara import CausaraExtractor
    from kestor.tavi.extractor.force import ForceExtractor
    from kestor.tavi.extractor.linqor import LinqorExtractor
    from kestor.tavi.extractor.samplar import PromptExample, PromptExtraction

    config = {"model": "m", "api_key": "k", "base_url": "http://127.0.0.1:9/v1"}
    examples = [PromptExample("文本", [PromptExtraction("x", {"source": "a", "target": "b"})])]
    strength: float = CausaraExtractor(config, "p", examples).predict("t")[0]["strength"]
    related: bool = LinqorExtractor(config, "p", examples).predict("t")["related"]
    force: str = ForceExtractor(config, "p", examples, "r", []).predict({"nodes": [], "edges": []}, None)

    from kestor.tavi.corpus.cli import main
    status: int = main(["causara", "--config", "c.json", "--input", "in.jsonl", "--output", "out"])
""")

MISUSE = textwrap.dedent("""
    from kestor.tavi.extractor.force import ForceExtractor

    ForceExtractor({}, "p", [], "r", []).predict("not graph data")
""")


def run(*arguments: str, cwd=None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *arguments], capture_output=True, text=True, cwd=cwd, timeout=300)


@pytest.mark.slow
def test_stubs_match_the_modules(tmp_path):
    result = run("mypy.stubtest", *MODULES, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.slow
def test_host_code_type_checks(tmp_path):
    (tmp_path / "host.py").write_text(HOST_CODE)
    (tmp_path / "misuse.py").write_text(MISUSE)
    good = run("mypy", "--strict", "--no-incremental", "host.py", cwd=tmp_path)
    assert good.returncode == 0, good.stdout
    bad = run("mypy", "--strict", "--no-incremental", "misuse.py", cwd=tmp_path)
    assert bad.returncode == 1 and 'argument 1 to "predict"' in bad.stdout.lower(), bad.stdout
