"""Runs through batches, driven as the console script drives them, against the scripted endpoint's Batch API: a live
run's results to the byte without a live request, a round per step, an interrupt at any step, lines that fail, go
missing or expire, batches refused for their size, a provider without a Batch API, and files a server of one's own
answers."""

from __future__ import annotations

import _thread
import json
import re
import threading
from collections import Counter
from typing import Any

import pytest
from scripted_endpoint import Reply, ScriptedEndpoint

from kestor.tavi.corpus.cli import main

from .jobs import IDS, Job, answer, results, tag

Slow = pytest.mark.slow
USED = re.compile(
    r"used ([\d,]+) prompt tokens \(\d+ cached by the provider\) and ([\d,]+) completion tokens.*; cost ([\d.]+)"
)


def batch_args(job: Job, scheduler: str, *extra: str) -> list[str]:
    return job.args("--scheduler", scheduler, "--batch", "--batch-poll", "0.02", *extra)


def asked_once(endpoint: ScriptedEndpoint) -> bool:
    """Whether every request a batch answered was answered once."""
    answered = [line["custom_id"] for line in endpoint.batches.lines if status_of(line) == 200]
    return bool(answered) and max(Counter(answered).values()) == 1


def status_of(line: dict[str, Any]) -> int | None:
    return (line["response"] or {}).get("status_code")


def with_long_text(job: Job, id_: Any) -> None:
    """One input's text long enough to go as several chunks, each a request of its own."""
    rows = [json.loads(text) for text in job.input.read_text().splitlines()]
    for line in rows:
        if line["id"] == id_:
            line["text"] = "。".join(f"台风{tag(id_)}第{n}次导致停电" for n in range(120))
    job.input.write_text("".join(json.dumps(line, ensure_ascii=False) + "\n" for line in rows))


@Slow
def test_a_batch_run_writes_a_live_runs_results_in_a_round_per_step_at_half_the_price(scheduler, tmp_path, capsys):
    with ScriptedEndpoint(answer) as endpoint:
        job = Job(tmp_path, endpoint, "articles")
        with_long_text(job, "a")
        assert main(job.args("--batch", "--estimate", "--price", "2", "8")) == 0
        estimate = capsys.readouterr().out
        assert "at --batch-price 1 4" in estimate and "up to 3 rounds (relations, force, review)" in estimate

        assert main(batch_args(job, scheduler, "--price", "2", "8")) == 0
        said = capsys.readouterr()
        through_batches = results(job.out)
        # Nothing asked live; each request in one batch, however many inputs made it; nothing left at the provider.
        assert endpoint.requests == [] and asked_once(endpoint) and endpoint.batches.files == {}
        # The reviews of the "!" inputs' forces wait for the forces, which wait for the relations.
        assert "over 3 rounds (relations; force; review)" in said.out
        assert main(["cache", "--cache", str(tmp_path / "answers.sqlite3")]) == 0
        assert "still out" not in capsys.readouterr().out

        job.out = tmp_path / "live"
        assert main(job.args("--scheduler", scheduler, "--no-cache", "--price", "2", "8")) == 0
        live = capsys.readouterr().out
    assert results(job.out) == through_batches and len(through_batches) == len(IDS)
    [batch_line] = [line for line in said.out.splitlines() if line.startswith("through batches:")]
    [live_line] = [line for line in live.splitlines() if line.startswith("usage:")]
    (*batch_tokens, batch_cost), (*live_tokens, live_cost) = (
        USED.search(batch_line).groups(),
        USED.search(live_line).groups(),
    )  # type: ignore[union-attr]
    assert batch_tokens == live_tokens and float(batch_cost) == pytest.approx(float(live_cost) / 2, abs=1e-4)


STEPS = (("POST", "/files"), ("POST", "/batches"), ("GET", "/batches/"), ("GET", "/content"), ("DELETE", "/files/"))
"""Where the runs are interrupted, one after another: once an upload, a creation, a look at a batch, a download of
its answers and a deletion of its files are answered, before the run may have noted it."""


@Slow
# The interrupt lands at whatever bytecode the run is at, sometimes between a file's open and its `with` (inside
# pathlib's own frame on 3.10): that file is then closed by the collector, as after a real Ctrl-C.
@pytest.mark.filterwarnings("ignore:Exception ignored in. <_io.FileIO:pytest.PytestUnraisableExceptionWarning")
def test_an_interrupt_at_each_step_then_a_rerun_submits_nothing_twice_and_asks_nothing_again(
    scheduler, tmp_path, capsys
):
    cache = tmp_path / "answers.sqlite3"
    steps = list(STEPS)

    def interrupt(method: str, path: str) -> None:
        if steps and method == steps[0][0] and steps[0][1] in path:
            steps.pop(0)
            _thread.interrupt_main()  # as Ctrl-C does

    with ScriptedEndpoint(answer) as endpoint:
        endpoint.batches.after = interrupt
        job = Job(tmp_path, endpoint, "force")
        statuses = [main(batch_args(job, scheduler, "--cache", str(cache))) for _ in STEPS]
        out = capsys.readouterr()
        assert "still out" in out.err and "the same command again takes their answers in" in out.err
        assert main(["cache", "--cache", str(cache)]) == 0
        shown = capsys.readouterr().out
        assert main(batch_args(job, scheduler, "--cache", str(cache))) == 0
        uploads, created = list(endpoint.batches.uploads), list(endpoint.batches.created)
        live = list(endpoint.requests)
    assert statuses == [130] * len(STEPS) and steps == []
    assert re.search(r"1 batch still out.*\n  batch_\w+: \d+ requests at http://127.0.0.1:\d+/v1, ", shown), shown
    # Each file uploaded once and submitted once, each request answered once: the forces, then the reviews.
    assert len(set(uploads)) == len(uploads) == len(set(created)) == len(created) >= 2
    assert live == [] and asked_once(endpoint)
    lines = job.lines()
    assert {line["status"] for line in lines.values()} == {"ok"} and len(lines) == len(IDS)
    assert {key: line["result"] for key, line in lines.items()} == {
        json.dumps(i): "复核" + json.dumps(i) if "!" in str(i) else "剧烈" + json.dumps(i) for i in IDS
    }


@Slow
def test_lines_that_fail_go_missing_or_expire_and_batches_refused_for_their_size_come_back_in_later_batches(
    scheduler, tmp_path, capsys
):
    refused = tag("c")

    def respond(question: str) -> Reply | str:
        return Reply(status=400) if refused in question else answer(question)

    with ScriptedEndpoint(respond) as endpoint:
        batches = endpoint.batches
        batches.fail, batches.lose, batches.expire = 0.3, 0.2, 1
        # A file of 4 requests is too large to upload, a batch of 3 too many: two refusals before the first answer.
        batches.most_bytes, batches.most_requests = 2100, 2
        job = Job(tmp_path, endpoint, "causara")
        assert main(batch_args(job, scheduler)) == 1
        assert endpoint.requests == [] and asked_once(endpoint)
        statuses = [status_of(line) for line in batches.lines]
        codes = {(line["error"] or {}).get("code") for line in batches.lines}
        assert 500 in statuses and 400 in statuses and "batch_expired" in codes
        too_many = [batch for batch in batches.batches.values() if batch["status"] == "failed"]
        assert batches.refused and too_many and too_many[0]["errors"]["data"][0]["code"] == "too_many_tasks"
        lines = job.lines()
        assert {
            key: (line["status"], line["error_class"]) for key, line in lines.items() if line["status"] != "ok"
        } == {'"c"': ("failed", "bad_request")}
        assert "in a batch: HTTP 400" in lines['"c"']["error"] and lines['"c"']["attempts"] == 0

        # What a batch did not answer for a while goes to the run, live, with --batch-retry live; what it refused
        # does not.
        with pytest.raises(SystemExit):
            main(batch_args(job, scheduler, "--no-cache", "--batch-retry", "live"))
        assert "not with --no-cache" in capsys.readouterr().err
        batches.expire, batches.fail, batches.lose, before = 1, 0.0, 0.0, len(batches.lines)
        job.out = tmp_path / "live-retry"
        other = str(tmp_path / "other.sqlite3")
        assert main(batch_args(job, scheduler, "--cache", other, "--batch-retry", "live")) == 1
        expired = [line for line in batches.lines[before:] if (line["error"] or {}).get("code") == "batch_expired"]
        assert expired and len(endpoint.requests) == len(expired)
    assert Counter(line["status"] for line in job.lines().values()) == {"ok": len(IDS) - 1, "failed": 1}


def test_a_provider_without_a_batch_api_is_refused_before_anything_is_collected(tmp_path, capsys):
    with ScriptedEndpoint(answer) as endpoint:
        endpoint.batches.enabled = False
        job = Job(tmp_path, endpoint, "articles")
        assert main(job.args("--batch", "--workers", "1")) == 2
        assert endpoint.requests == [] and not (job.out / "batch").exists()
        where = f"GET {endpoint.base_url}/batches?limit=1"
    error = capsys.readouterr().err
    assert f"error: {where} answered HTTP 404 " in error and "no Batch API there. --batch-files DIR writes" in error


@Slow
def test_batch_files_are_answered_by_a_server_of_ones_own_and_taken_in(scheduler, tmp_path, capsys):
    exchange = tmp_path / "exchange"
    stop = threading.Event()
    with ScriptedEndpoint(answer) as endpoint:

        def offline_runner() -> None:
            """What `vllm run-batch -i INPUT -o OUTPUT` does with each file the run writes."""
            while not stop.wait(0.02):
                for path in exchange.glob("*.jsonl"):
                    output = path.with_name(path.stem + ".output.jsonl")
                    if not path.name.endswith(".output.jsonl") and not output.exists():
                        endpoint.batches.run_batch(str(path), str(output))

        runner = threading.Thread(target=offline_runner, daemon=True)
        runner.start()
        job = Job(tmp_path, endpoint, "force")
        try:
            assert main(batch_args(job, scheduler, "--batch-files", str(exchange))) == 0
        finally:
            stop.set()
        said = capsys.readouterr().err
        assert endpoint.requests == [] and endpoint.batches.uploads == [] and asked_once(endpoint)
    assert f"waiting for {exchange}/kestor-corpus-" in said and "vllm run-batch -i" in said
    assert {line["status"] for line in job.lines().values()} == {"ok"} and list(exchange.iterdir()) == []
