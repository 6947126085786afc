"""Corpus runs against the scripted endpoint: the driver called as the console script would call it, on a local
cluster of two worker processes that the cluster tests share (see jobs for the inputs and the model's answers).
"""

from __future__ import annotations

import json
import logging
import math
import os
import re
import signal
import subprocess
import sys
import threading
import time
from collections import Counter
from pathlib import Path
from typing import Any

import pytest
from provider_endpoint import PlainWebServer, ProviderEndpoint
from scripted_endpoint import Reply, ScriptedEndpoint, extraction_answer, refused_base_url

from kestor.tavi.corpus import driver, output, worker
from kestor.tavi.corpus.asking.gate import SET_UP_INPUTS
from kestor.tavi.corpus.asking.policy import RetryPolicy
from kestor.tavi.corpus.cli import main
from kestor.tavi.corpus.config import Settings, load_config
from kestor.tavi.corpus.exits import INSTALL_HINT
from kestor.tavi.corpus.extractors import build_extractors
from kestor.tavi.corpus.modes import event_graph
from kestor.tavi.corpus.planning import Task
from kestor.tavi.corpus.worker import run_task

from .jobs import IDS, TAG, Job, answer, config, row, tag

Slow = pytest.mark.slow


class Model:
    """The endpoint's responder: answers for each tag, or fails it `failing[tag]` times (-1: every time)."""

    def __init__(self, delay: float = 0.0) -> None:
        self.delay = delay
        self.failing: dict[str, int] = {}
        self.lock = threading.Lock()

    def __call__(self, question: str) -> Reply:
        found = TAG.search(question)
        with self.lock:
            left = self.failing.get(found.group(1), 0) if found else 0
            if found and left:
                self.failing[found.group(1)] = left - 1 if left > 0 else left
                return Reply(status=500, delay=self.delay)
        return Reply(answer(question), delay=self.delay)


@pytest.fixture
def model():
    responder = Model()
    with ScriptedEndpoint(responder) as endpoint:
        endpoint.model = responder
        yield endpoint


def sequential(mode: str, job: Job, ids: list[Any]) -> dict[str, Any]:
    """What predict gives for each input, called one after another in this process."""
    extractors = build_extractors(load_config(job.config, mode))
    results = {}
    for id_ in ids:
        record = row(mode, id_)
        if mode == "force":
            results[json.dumps(id_)] = extractors["force"].predict(record["graph_data"], record["article_text"])
        elif mode == "articles":
            relations = extractors["causara"].predict(record["text"])
            graph = event_graph(relations)
            results[json.dumps(id_)] = {
                "relations": relations,
                "graph": graph,
                "force": extractors["force"].predict(graph, record["text"]),
            }
        else:
            results[json.dumps(id_)] = extractors[mode].predict(record["text"])
    return results


@Slow
@pytest.mark.parametrize("mode", ["causara", "linqor", "force", "articles"])
def test_each_mode_writes_what_predict_gives_each_input_once(cluster, model, tmp_path, capsys, mode):
    job = Job(tmp_path, model, mode)
    keep = ["--keep-text", "6"] if mode == "articles" else []
    assert main(job.args("--scheduler", cluster[0].scheduler_address, *keep)) == 0
    asked = Counter(model.questions)
    lines = job.lines()
    texts = {json.dumps(row["id"]): row.get("text") for row in map(json.loads, job.input.read_text().splitlines())}
    assert {key: line.get("text") for key, line in lines.items()} == {
        key: text[:6] if keep else None for key, text in texts.items()
    }
    model.requests.clear()
    expected = sequential(mode, job, IDS)
    assert {key: line["result"] for key, line in lines.items()} == expected
    assert {(line["status"], line["error"], line["error_class"]) for line in lines.values()} == {("ok", None, None)}
    # attempts counts the HTTP requests of the input: both extractors' in articles mode, a review's too.
    assert {key: line["attempts"] for key, line in lines.items()} == {
        json.dumps(i): sum(count for question, count in asked.items() if tag(i) in question) for i in IDS
    }
    assert asked == Counter(model.questions)
    assert capsys.readouterr().out.splitlines()[-1].startswith(f"{len(IDS)} ok, 0 failed, 0 already done in ")


@Slow
def test_failed_calls_are_retried_reported_and_retried_again_by_a_rerun(cluster, model, tmp_path, capsys):
    job = Job(tmp_path, model, "causara")
    flaky, down = IDS[:3], IDS[3:5]
    model.model.failing = {json.dumps(i): 1 for i in flaky} | {json.dumps(i): -1 for i in down}
    args = job.args("--scheduler", cluster[0].scheduler_address, "--retries", "2")
    assert main(args) == 1
    lines = job.lines()
    assert {key: (line["status"], line["attempts"]) for key, line in lines.items()} == {
        json.dumps(i): ("failed", 3) if i in down else ("ok", 2 if i in flaky else 1) for i in IDS
    }
    assert {(lines[json.dumps(i)]["result"], lines[json.dumps(i)]["error_class"]) for i in down} == {(None, "server")}
    assert lines[json.dumps(down[0])]["error"].startswith("Failed to extract event relations with langextract: ")
    assert capsys.readouterr().out.splitlines()[-1].startswith(f"{len(IDS) - 2} ok, 2 failed (2 server), 0 already")

    model.model.failing.clear()
    model.requests.clear()
    assert main(args) == 0
    assert sorted(model.questions) == sorted(row("causara", i)["text"] for i in down)
    assert {line["status"] for line in job.lines().values()} == {"ok"}
    assert list(job.lines()) == [json.dumps(i) for i in IDS]  # retried lines keep their places
    assert capsys.readouterr().out.splitlines()[-1].startswith(f"2 ok, 0 failed, {len(IDS) - 2} already done")


@Slow
def test_a_worker_killed_mid_run_has_its_work_redone(cluster, tmp_path, capsys):
    running, client = cluster
    pids = client.run(os.getpid)
    ids = list(range(40))
    responder = Model(delay=0.05)
    asked_first = threading.Event()

    def respond(question: str) -> Reply:
        # The worker asking for input 12 dies while it waits for the answer; partitions hold 4 inputs each.
        if question.endswith(tag(12) + "导致停电。") and not asked_first.is_set():
            asked_first.set()
            [asking] = [worker for worker, keys in client.processing().items() if any("-part00003-" in k for k in keys)]
            os.kill(pids[asking], signal.SIGKILL)
        return responder(question)

    with ScriptedEndpoint(respond) as endpoint:
        job = Job(tmp_path, endpoint, "causara", ids)
        assert main(job.args("--scheduler", running.scheduler_address)) == 0
    assert Counter(endpoint.questions)[row("causara", 12)["text"]] == 2
    assert {line["status"] for line in job.lines().values()} == {"ok"} and len(job.lines()) == len(ids)
    client.wait_for_workers(2, timeout=60)


@Slow
def test_an_interrupted_run_is_finished_by_a_rerun_that_asks_only_for_the_rest(cluster, tmp_path):
    ids = list(range(48))
    with ScriptedEndpoint(Model(delay=0.1)) as endpoint:
        job = Job(tmp_path, endpoint, "causara", ids)
        # Its own local cluster, as a user's run without --scheduler, interrupted as by Ctrl-C.
        command = [sys.executable, "-m", "kestor.tavi.corpus", *job.args("--workers", "2", "--threads", "2")]
        run = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 120
        while len(list(job.out.glob("part-*.jsonl"))) < 2 and run.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        run.send_signal(signal.SIGINT)
        stdout, stderr = run.communicate(timeout=120)
        assert run.returncode == 130, stderr
        written = set(job.lines())
        assert 0 < len(written) < len(ids)
        # The summary counts what is on disk once the workers stopped; nothing of the cluster's shutdown shows.
        assert stdout.splitlines()[-1].startswith(f"interrupted: {len(written)} ok, 0 failed, 0 already done, ")
        assert "Traceback" not in stderr and "distributed" not in stderr and "Task" not in stderr, stderr

        endpoint.requests.clear()
        assert main(job.args("--scheduler", cluster[0].scheduler_address)) == 0
        # Answers that came before the interrupt but were not written yet are in the answer cache: not asked again.
        rest = {json.dumps(i): row("causara", i)["text"] for i in ids if json.dumps(i) not in written}
        lines = job.lines()
        cached = {rest[key] for key in rest if lines[key]["usage"]["from_cache"]}
        assert sorted(endpoint.questions) == sorted(set(rest.values()) - cached)
        assert len(lines) == len(ids)


def children(pid: int) -> list[str]:
    return Path(f"/proc/{pid}/task/{pid}/children").read_text().split()


def catches(pid: int, signum: int) -> bool:
    caught = next(line for line in Path(f"/proc/{pid}/status").read_text().splitlines() if line.startswith("SigCgt:"))
    return bool(int(caught.split()[1], 16) >> (signum - 1) & 1)


@Slow
@pytest.mark.parametrize(
    ("after", "sent"),
    [
        (0.2, signal.SIGINT),
        (0.5, signal.SIGTERM),
        (0.7, signal.SIGINT),
        (1.0, signal.SIGTERM),
        (2.0, signal.SIGINT),
        (3.0, signal.SIGTERM),
        ("start-up", signal.SIGINT),
    ],
)
def test_an_interrupt_at_any_moment_stops_the_run_with_its_true_summary(tmp_path, after, sent):
    # Ctrl-C as a terminal sends it, to the whole process group (workers included); SIGTERM as kill sends it. From
    # the console script's start: its imports, the checks, the cluster's start-up, the first requests. On a busy
    # machine the start-up comes later: one is sent while the driver starts its workers. Those in the first second
    # come as libraries are imported, whose own imports would report an interrupt as a missing dependency. The
    # interpreter's own start, before the script's first line holds the signals, is not the command's: a slow start
    # (under the sanitizers) waits for that line.
    ids = list(range(60))
    with ScriptedEndpoint(Model(delay=0.5)) as endpoint:
        job = Job(tmp_path, endpoint, "causara", ids)
        command = [str(Path(sys.executable).with_name("kestor-corpus")), *job.args("--workers", "2", "--threads", "2")]
        started = time.monotonic()
        run = subprocess.Popen(
            command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True
        )
        while not catches(run.pid, signal.SIGTERM) and run.poll() is None:
            time.sleep(0.002)
        if after == "start-up":
            while not children(run.pid) and run.poll() is None:
                time.sleep(0.01)
            time.sleep(0.3)
        else:
            time.sleep(max(0.0, started + after - time.monotonic()))
        if sent == signal.SIGINT:
            os.killpg(run.pid, sent)
        else:
            run.send_signal(sent)
        stdout, stderr = run.communicate(timeout=120)
    assert run.returncode == 130, stderr
    assert "Traceback" not in stderr, stderr
    last = (stdout + stderr).strip().splitlines()[-1]
    written = job.lines() if job.out.exists() else {}
    assert len(written) < len(ids)
    if last.startswith("interrupted: "):
        done = len(written)
        assert last.startswith(f"interrupted: {done} ok, 0 failed, 0 already done, {len(ids) - done} not done in ")
    else:
        assert re.fullmatch(r"interrupted before the (command|run) began: nothing was (done|asked.*)", last), last
        assert not written


def requests_of(provider: ProviderEndpoint, ids: list[Any]) -> dict[str, int]:
    return {json.dumps(i): provider.asked(tag(i)) for i in ids}


@Slow
@pytest.mark.parametrize("rate", [None, "30"])
def test_a_rate_limited_provider_answers_every_input_once_each_request_counted(cluster, tmp_path, capsys, rate):
    ids = list(range(60))
    # No x-ratelimit-* headers: the limit is found from the refusals, as with a provider that does not state it.
    with ProviderEndpoint(answer, rate=30, latency=0.02, limit_headers=False) as provider:
        job = Job(tmp_path, provider, "causara", ids)
        limit = ["--rate", rate] if rate else []
        assert main(job.args("--scheduler", cluster[0].scheduler_address, "--threads", "8", *limit)) == 0
    lines = job.lines()
    assert {key: (line["status"], line["result"][0]["source"]) for key, line in lines.items()} == {
        json.dumps(i): ("ok", f"起因{tag(i)}") for i in ids
    }
    assert {key: line["attempts"] for key, line in lines.items()} == requests_of(provider, ids)
    if rate is None:
        assert provider.statuses[429] > 0  # the limit was met, and found


@Slow
def test_an_outage_and_held_requests_end_with_every_input_answered_and_refused_ones_not_retried(
    cluster, tmp_path, capsys
):
    ids, refused = list(range(60)), {7, 30}

    def respond(question: str) -> Reply:
        return Reply(status=400) if any(tag(i) in question for i in refused) else Reply(answer(question))

    with ProviderEndpoint(respond, outage=(0.2, 1.0), hang={1, 5}, hang_for=60, latency=0.1) as provider:
        job = Job(tmp_path, provider, "causara", ids)
        assert main(job.args("--scheduler", cluster[0].scheduler_address, "--call-timeout", "1")) == 1
    lines = job.lines()
    assert {key: (line["status"], line["error_class"]) for key, line in lines.items()} == {
        json.dumps(i): ("failed", "bad_request") if i in refused else ("ok", None) for i in ids
    }
    assert {key: line["attempts"] for key, line in lines.items()} == requests_of(provider, ids)
    for i in refused:  # asked again after a 503 or a time-out, never after the 400
        assert [served.status for served in provider.served if tag(i) in served.question][-1:] == [400]
    assert provider.statuses[503] > 0 and sum(line["attempts"] for line in lines.values()) > len(ids)
    assert capsys.readouterr().out.splitlines()[-1].startswith("58 ok, 2 failed (2 bad_request), 0 already done")


def after(provider: ProviderEndpoint, status: int) -> int:
    """Requests that arrived after the provider's first answer of this status went out."""
    sent = min(served.finished or math.inf for served in provider.served if served.status == status)
    return sum(served.arrived > sent for served in provider.served)


@Slow
@pytest.mark.parametrize(
    ("fault", "status", "error_class", "said"),
    [
        ({"quota_from": 24}, 429, "quota", "the quota or credit is used up: HTTP 429 insufficient_quota: You exceeded"),
        ({"key_refused_from": 24}, 401, "auth", "the provider refused the key: HTTP 401 invalid_api_key: Incorrect"),
    ],
)
def test_a_fault_of_the_account_stops_every_worker_at_once_and_a_rerun_asks_what_was_not_done(
    cluster, tmp_path, capsys, fault, status, error_class, said
):
    ids = list(range(80))
    with ProviderEndpoint(answer, latency=0.2, **fault) as provider:
        job = Job(tmp_path, provider, "causara", ids)
        args = job.args("--scheduler", cluster[0].scheduler_address)
        assert main(args) == 4
        later = after(provider, status)
        base_url = provider.base_url
    # Every request from then on is refused, so a sending thread sends at most once more: its answer is a refusal,
    # or the stop reached its process first. How many do is a race with the stop's way through the cluster.
    assert later <= 2 * 4  # two worker processes of four sending threads
    lines = job.lines()
    assert 24 <= sum(line["status"] == "ok" for line in lines.values()) < len(lines) < len(ids)
    assert {line["error_class"] for line in lines.values() if line["status"] == "failed"} == {error_class}
    assert {key: line["attempts"] for key, line in lines.items()} == requests_of(
        provider, [json.loads(k) for k in lines]
    )
    printed = capsys.readouterr()
    done = f"{len(lines) - sum(line['status'] == 'failed' for line in lines.values())} ok"
    assert printed.out.splitlines()[-1].startswith(done) and f"({error_class})" not in printed.out
    [line] = printed.err.splitlines()[-1:]
    assert line.startswith(f"error: {said}") and f"base_url {base_url}, model scripted" in line
    assert line.endswith(f"run the same command again: it asks the {len(ids) - len(lines)} inputs not done")

    with ProviderEndpoint(answer) as provider:
        job.config.write_text(json.dumps(config(provider), ensure_ascii=False))
        assert main(args) == 0
        asked = [int(TAG.search(question).group(1)) for question in provider.questions]  # type: ignore[union-attr]
    assert sorted(asked) == [i for i in ids if lines.get(json.dumps(i), {}).get("status") != "ok"]


def _halted_here() -> bool:
    return "halted-run" in worker._halted


@Slow
def test_a_halt_reaches_the_worker_processes_that_join_the_cluster_later():
    from distributed import Client, LocalCluster

    with (
        LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0") as running,
        Client(running) as client,
    ):
        driver._halt_workers(client, "halted-run")
        running.scale(2)
        client.wait_for_workers(2)
        assert list(client.run(_halted_here).values()) == [True, True]


@Slow
def test_answers_that_are_no_completion_and_bodies_that_trickle_are_retried_each_within_the_call_timeout(
    cluster, tmp_path
):
    ids = list(range(42))
    # A trickled answer would take an hour at a byte every 5 s: only a deadline on the whole call ends it.
    with ProviderEndpoint(answer, garbage_every=5, trickle_every=7, trickle_gap=5.0) as provider:
        job = Job(tmp_path, provider, "causara", ids)
        assert main(job.args("--scheduler", cluster[0].scheduler_address, "--call-timeout", "2")) == 0
    lines = job.lines()
    assert {key: (line["status"], line["result"][0]["source"]) for key, line in lines.items()} == {
        json.dumps(i): ("ok", f"起因{tag(i)}") for i in ids
    }
    assert {key: line["attempts"] for key, line in lines.items()} == requests_of(provider, ids)
    assert sum(line["attempts"] for line in lines.values()) >= len(ids) + len(ids) // 5 + len(ids) // 7 - 2


@Slow
def test_an_address_that_is_no_model_endpoint_ends_the_run_after_its_first_inputs(cluster, tmp_path, capsys):
    with PlainWebServer() as server:
        job = Job(tmp_path, server, "causara", list(range(60)))  # type: ignore[arg-type]
        assert main(job.args("--scheduler", cluster[0].scheduler_address)) == 2
        url = f"{server.base_url}/chat/completions"
    assert server.posts <= 2 * (SET_UP_INPUTS + 4)  # each worker's first inputs, and those in flight then
    assert {line["error_class"] for line in job.lines().values()} == {"unsupported"}
    line = capsys.readouterr().err.splitlines()[-1]
    assert line.startswith(f"error: POST {url} answered each of the first ")
    assert "with HTTP 501: <title>Error response</title> and nothing else: no chat model endpoint is there" in line


@pytest.fixture
def worker_in_this_process(monkeypatch):
    """A partition run here quiets the extraction library's progress bars and the root logger, as it does for its
    worker process: both are put back for the tests that follow."""
    from langextract import progress

    from kestor.tavi.corpus import extractors

    monkeypatch.setattr(progress, "create_extraction_progress_bar", progress.create_extraction_progress_bar)
    monkeypatch.setattr(extractors, "_progress_quieted", False)
    monkeypatch.setattr(logging.root, "handlers", list(logging.root.handlers))


@Slow
def test_a_limit_that_drops_is_followed_from_the_next_answer(tmp_path, worker_in_this_process):
    ids = list(range(60))
    with ProviderEndpoint(answer, rate=40, drop=(0.5, 8), latency=0.02) as provider:
        job = Job(tmp_path, provider, "causara", ids)
        settings = Settings(load_config(job.config, "causara"), str(job.out), run="drop", threads=8)
        run_task(settings, Task(0, [row("causara", i) for i in ids], {}))
    assert {line["status"] for line in job.lines().values()} == {"ok"}
    first = min(served.arrived for served in provider.served)
    dropped = [served.status for served in provider.served if served.arrived >= first + 0.5]
    # Refused: at most what was asked before the first answer that stated the new limit came back.
    assert dropped.count(429) <= max(4, len(dropped) // 10)


def test_a_worker_attributes_each_error_record_to_its_own_call(model, tmp_path, worker_in_this_process):
    # Many calls in flight on one worker's threads, some failing once, one failing always, one force review
    # failing once, and an answer the extractor raises on: each outcome must be its own input's.
    ids = [f"t{n}" for n in range(24)]
    model.model.failing = {json.dumps(i): 1 for i in ids[::3]} | {json.dumps("t1"): -1}
    job = Job(tmp_path, model, "causara", ids)
    retries = RetryPolicy(retries=2, first_pause=0.0)
    settings = Settings(load_config(job.config, "causara"), str(job.out), threads=8, policy=retries)
    raises = {"id": "huge", "text": f"强度{tag('huge')}"}
    original = model.model

    def respond(question: str) -> Reply:
        if tag("huge") in question:  # an integer strength beyond a double: predict raises, nothing is logged
            return Reply(extraction_answer(("relation", "x", {"source": "a", "target": "b", "strength": 10**400})))
        return original(question)

    model.responder = respond
    report = run_task(settings, Task(3, [row("causara", i) for i in ids] + [raises], {}))
    lines = job.lines()
    expected = sequential("causara", job, ids)
    for id_ in ids:
        line = lines[json.dumps(id_)]
        if id_ == "t1":
            assert (line["status"], line["attempts"], line["result"]) == ("failed", 3, None)
        else:
            assert (line["status"], line["result"]) == ("ok", expected[json.dumps(id_)])
            assert line["attempts"] == (2 if id_ in ids[::3] else 1)
    assert (lines['"huge"']["status"], lines['"huge"']["attempts"], lines['"huge"']["error_class"]) == (
        "failed",
        1,
        "answer",
    )
    assert lines['"huge"']["error"].startswith("OverflowError: ")
    assert (report.part, report.ok, sorted(i for i, _ in report.failed)) == (3, len(ids) - 1, ["huge", "t1"])
    assert [path.name for path in job.out.iterdir() if not path.name.startswith(".")] == ["part-00003.jsonl"]

    # The force review fails once: the whole predict call is asked again, four requests in all.
    (tmp_path / "review").mkdir()
    review = Job(tmp_path / "review", model, "force", ["x!"])
    failing_review = [True]
    model.responder = lambda question: (
        Reply(status=500)
        if question.startswith("文章") and failing_review and failing_review.pop()
        else Reply(answer(question))
    )
    forces = Settings(load_config(review.config, "force"), str(review.out), threads=2, policy=retries)
    run_task(forces, Task(0, [row("force", "x!")], {}))
    line = review.lines()['"x!"']
    assert line == {
        "id": "x!",
        "status": "ok",
        "result": '复核"x!"',
        "attempts": 4,
        "error": None,
        "error_class": None,
        "usage": line["usage"],
    }
    assert (line["usage"]["calls"], line["usage"]["from_cache"]) == (3, 0)  # the failed request got no answer


def test_event_graph_of_an_article():
    relations = [
        {"source": "台风", "target": "停电", "strength": 0.9},
        {"source": "停电", "target": "停产", "strength": 0.5},
        {"source": "台风", "target": 7, "strength": 1.0},
    ]
    assert event_graph(relations) == {
        "nodes": [
            {"id": 1, "name": "台风"},
            {"id": 2, "name": "停电"},
            {"id": 3, "name": "停产"},
            {"id": 4, "name": "7"},
        ],
        "edges": [
            {"src_node": {"id": 1}, "dest_node": {"id": 2}, "meta": {"strength": 0.9}},
            {"src_node": {"id": 2}, "dest_node": {"id": 3}, "meta": {"strength": 0.5}},
            {"src_node": {"id": 1}, "dest_node": {"id": 4}, "meta": {"strength": 1.0}},
        ],
    }


BAD_INPUTS = {
    "not JSON": ('{"id": 1, "text": "a"}\n{"id": 2, "text": }\n', "input.jsonl:2: not JSON"),
    "unclosed string": (
        '{"id": 1, "text": "a\n',
        "input.jsonl:1: not JSON (Unterminated string starting at column 19)",
    ),
    "no id": ('{"text": "a"}\n', 'input.jsonl:1: missing "id"'),
    "boolean id": ('{"id": true, "text": "a"}\n', 'input.jsonl:1: "id" must be a string or an integer'),
    "no text": ('\n{"id": 1, "txt": "a"}\n', 'input.jsonl:2: missing "text"'),
    "repeated id": (
        '{"id": 1, "text": "a"}\n{"id": "1", "text": "b"}\n{"id": 1, "text": "c"}\n',
        "input.jsonl:3: id 1 repeats the id of line 1",
    ),
    "not an object": ("[1, 2]\n", "input.jsonl:1: not a JSON object"),
    "no inputs": ("\n", "input.jsonl: no inputs"),
}
BAD_GRAPHS = {
    "no graph data": ({"id": 1}, 'input.jsonl:1: missing "graph_data"'),
    "edge end not an object": (
        {"id": 1, "graph_data": {"edges": [{"src_node": 1}]}},
        'input.jsonl:1: "graph_data.edges[0].src_node" must be an object',
    ),
    "node id not an integer": (
        {"id": 1, "graph_data": {"nodes": [{"id": "x"}]}},
        'input.jsonl:1: "graph_data.nodes[0].id" must be an integer',
    ),
}
BAD_CONFIGS = {
    "no model": (lambda c: c.pop("model"), 'config.json: missing key "model"'),
    "unset key variable": (
        lambda c: c.update(api_key_env="KESTOR_TEST_UNSET") or c.pop("api_key"),
        "config.json: \"api_key_env\" names the environment variable 'KESTOR_TEST_UNSET', which is not set",
    ),
    "no examples": (lambda c: c["causara"].update(examples=[]), 'config.json: "causara.examples" must hold at least'),
    "misspelt key": (
        lambda c: c["causara"]["examples"][0]["extractions"][0].update(attributes={}),
        'config.json: unknown key "causara.examples[0].extractions[0].attributes"',
    ),
}


def refused(job: Job, monkeypatch, capsys, mode: str = "causara") -> str:
    import kestor.tavi.corpus.driver as driver

    monkeypatch.delenv("KESTOR_TEST_UNSET", raising=False)
    monkeypatch.setattr(driver, "cluster_client", lambda *args: pytest.fail("a cluster was started"))
    job.mode = mode
    assert main(job.args("--workers", "2")) == 2
    return capsys.readouterr().err


@pytest.mark.parametrize("case", [*BAD_INPUTS, *BAD_GRAPHS, *BAD_CONFIGS])
def test_bad_input_and_configuration_are_refused_before_anything_is_asked(model, tmp_path, monkeypatch, capsys, case):
    job = Job(tmp_path, model, "causara")
    mode = "causara"
    if case in BAD_INPUTS:
        text, message = BAD_INPUTS[case]
        job.input.write_text(text)
    elif case in BAD_GRAPHS:
        graph_row, message = BAD_GRAPHS[case]
        job.input.write_text(json.dumps(graph_row) + "\n")
        mode = "force"
    else:
        change, message = BAD_CONFIGS[case]
        document = config(model)
        change(document)
        job.config.write_text(json.dumps(document))
    assert f"error: {tmp_path}/{message}" in refused(job, monkeypatch, capsys, mode)
    assert model.requests == [] and not job.out.exists()


@pytest.mark.parametrize(
    ("mode", "change", "difference"),
    [
        ("articles", None, "mode 'articles' there, 'causara' here"),
        ("causara", {"model": "other"}, "model 'other' there, 'scripted' here"),
        ("causara", {"temperature": 0.5}, "temperature 0.5 there, 0.0 here"),
        ("causara", {"prompt_description": "另一个提示。"}, "other prompts or examples for causara"),
    ],
)
def test_an_output_directory_written_by_another_mode_or_configuration_is_refused(
    model, tmp_path, monkeypatch, capsys, mode, change, difference
):
    job = Job(tmp_path, model, "causara")
    document = config(model)
    document.update({key: value for key, value in (change or {}).items() if key != "prompt_description"})
    document["causara"].update({key: value for key, value in (change or {}).items() if key == "prompt_description"})
    (tmp_path / "before.json").write_text(json.dumps(document, ensure_ascii=False))
    job.out.mkdir()
    output.write_record(job.out, load_config(tmp_path / "before.json", mode).record())
    record = (job.out / "run.json").read_text()
    message = refused(job, monkeypatch, capsys)
    assert f"error: {job.out}: written by another run ({difference}" in message
    assert "its lines would pass for this run's" in message
    assert message.rstrip().endswith(f"remove {job.out}/run.json to go on there knowingly")
    assert model.requests == [] and (job.out / "run.json").read_text() == record


def test_without_dask_the_run_names_the_extra_to_install(model, tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "distributed", None)
    assert INSTALL_HINT in refused(Job(tmp_path, model, "causara"), monkeypatch, capsys)


def test_an_endpoint_that_takes_no_connections_is_refused_before_the_cluster_starts(
    model, tmp_path, monkeypatch, capsys
):
    job = Job(tmp_path, model, "causara")
    url = refused_base_url()
    job.config.write_text(json.dumps(dict(config(model), base_url=url)))
    assert f"error: nothing answers at {url}: no connection to 127.0.0.1:" in refused(job, monkeypatch, capsys)


@pytest.mark.parametrize(
    ("raised", "flags", "status", "last_line"),
    [
        (RuntimeError("boom"), [], 3, "error: RuntimeError: boom (--verbose shows where)"),
        (RuntimeError("boom"), ["--verbose"], 3, "error: RuntimeError: boom"),
        (KeyboardInterrupt(), [], 130, f"interrupted: 0 ok, 0 failed, 0 already done, {len(IDS)} not done in "),
    ],
)
def test_an_unexpected_error_or_an_early_interrupt_ends_in_one_line(
    model, tmp_path, monkeypatch, capsys, raised, flags, status, last_line
):
    import kestor.tavi.corpus.driver as driver

    def fail(*args: Any) -> Any:
        raise raised

    monkeypatch.setattr(driver, "cluster_client", fail)
    assert main(Job(tmp_path, model, "causara").args(*flags)) == status
    printed = capsys.readouterr()
    assert (printed.err if status == 3 else printed.out).splitlines()[-1].startswith(last_line)
    assert ("Traceback" in printed.err) == ("--verbose" in flags)


def test_help_gives_every_default_and_exit_status(capsys):
    with pytest.raises(SystemExit):
        main(["--help"])
    text = " ".join(capsys.readouterr().out.split())
    for option, default in [
        ("--threads", "16"),
        ("--call-timeout", "120"),
        ("--retry-for", "600"),
        ("--retry-pause", "0.5"),
        ("--partition-size", "100"),
    ]:
        assert re.search(re.escape(option) + r" .*?\(default: " + re.escape(default) + r"\)", text), option
    assert all(f" {status} " in text for status in ("0", "1", "2", "3", "4", "130"))
    assert re.search(r"--call-timeout .*? from its connection to the answer's last byte", text)
    with pytest.raises(SystemExit):
        main(["--version"])
    assert capsys.readouterr().out.startswith("kestor-corpus 0.1")
    # Where to run is one or the other, whatever count of workers is given.
    for workers in ("1", str(os.cpu_count())):
        with pytest.raises(SystemExit):
            main(
                ["causara", "--config", "c", "--input", "i", "--output", "o", "--scheduler", "x", "--workers", workers]
            )
        assert "argument --workers: not allowed with argument --scheduler" in capsys.readouterr().err
    # A misspelt command is told of every command; the graph command's usage names every option it takes.
    with pytest.raises(SystemExit):
        main(["grpah", "out", "--output", "graph"])
    assert "'articles', 'graph', 'cache')" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        main(["graph", "--help"])
    usage = capsys.readouterr().out.split("\n\n")[0]
    assert all(option in usage for option in ("--verbose", "--quiet", "--top", "--max-paths", "--force"))
