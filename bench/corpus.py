"""A corpus of causal relation inputs through the runner, against the scripted endpoint answering after 200 ms.

Run by `make bench-corpus`; `--inputs N` for another corpus size. A plain loop calls `predict` one input after
another (its rate taken on the first 100 inputs); the runner then takes the whole corpus on a local cluster of 1
worker process and of 2, each worker with 16 threads. The bar: 2 workers x 16 threads finish at least 20 times as
many inputs per second as the plain loop, the cluster's start-up included.

Every input carries its own tag, the endpoint answers for that tag, and every output line is checked against it:
a wrong, missing or repeated result fails the run. Where the time goes: the cluster's start-up, the checks before
it, the mean predict call on the workers against the endpoint's 200 ms, the CPU the workers and the endpoint spend
per input, and the rate the threads would allow if nothing but the endpoint's delay counted.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
import sys
import tempfile
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

from distributed import Client, LocalCluster
from scripted_endpoint import Reply, ScriptedEndpoint, extraction_answer

from kestor.tavi.corpus import output
from kestor.tavi.corpus.config import load_config
from kestor.tavi.corpus.driver import Run, plan
from kestor.tavi.corpus.failures import keep_root_logger_quiet
from kestor.tavi.corpus.inputs import load_inputs
from kestor.tavi.corpus.modes import build_extractors
from kestor.tavi.corpus.worker import PartitionReport, Settings

DELAY = 0.2
THREADS = 16
PLAIN_INPUTS = 100
TARGET = 20.0
TAG = re.compile(r"«(\d+)»")


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


def respond(question: str) -> Reply:
    number = int(TAG.search(question).group(1))  # type: ignore[union-attr]
    return Reply(
        extraction_answer(
            (
                "relation",
                "台风登陆导致全城停电",
                {"source": f"台风{number}", "target": f"停电{number}", "strength": 0.8, "strength_reason": str(number)},
            )
        ),
        delay=DELAY,
    )


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


class Runner(Run):
    """The driver's run, keeping every partition's report for the figures."""

    def __init__(self, todo: int) -> None:
        super().__init__(todo, 0, sys.stderr, show_progress=False)
        self.reports: list[PartitionReport] = []

    def add(self, report: PartitionReport) -> None:
        super().add(report)
        self.reports.append(report)


@contextlib.contextmanager
def cluster(workers: int) -> Iterator[tuple[Client, float]]:
    began = time.perf_counter()
    with (
        LocalCluster(  # type: ignore[no-untyped-call]
            n_workers=workers, threads_per_worker=2, processes=True, dashboard_address=":0"
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
        partitions, _ = plan(records, output.scan(out_dir), 100)
        checks = time.perf_counter() - began
        with cluster(workers) as (client, start_up):
            cpu_before = client.run(time.process_time)
            settings = Settings(config, out_dir, threads=THREADS)
            runner = Runner(len(records))
            run_began = time.perf_counter()
            runner.submit(client, settings, partitions)
            running = time.perf_counter() - run_began
            cpu_after = client.run(time.process_time)
        whole = time.perf_counter() - began
        check_output(Path(out_dir), total)
    reports = runner.reports
    calls = sum(report.calls for report in reports)
    worker_cpu = sum(cpu_after[worker] - cpu_before[worker] for worker in cpu_after)
    return {
        "whole": whole,
        "checks": checks,
        "start_up": start_up,
        "running": running,
        "rate": total / whole,
        "running_rate": total / running,
        "mean_call": sum(report.call_seconds for report in reports) / max(calls, 1),
        "worker_cpu_per_input": worker_cpu / total,
        "worker_busy": worker_cpu / running / workers,
        "failed": float(len(runner.failures)),
        "set_up": max(report.set_up_seconds for report in reports),
    }


def check_output(out_dir: Path, total: int) -> None:
    seen: set[int] = set()
    for part in out_dir.glob("part-*.jsonl"):
        for text in part.read_text(encoding="utf-8").splitlines():
            entry = json.loads(text)
            if entry["id"] in seen or entry["status"] != "ok" or entry["result"] != expected(entry["id"]):
                raise SystemExit(f"runner: wrong, repeated or failed output line {text[:200]}")
            seen.add(entry["id"])
    if len(seen) != total:
        raise SystemExit(f"runner: {total - len(seen)} inputs missing from the output")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--inputs", type=int, default=2000, help="corpus size (2000)")
    args = parser.parse_args(argv)
    keep_root_logger_quiet()
    print(
        f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs; {args.inputs} causal relation inputs; endpoint "
        f"delay {DELAY * 1000:g} ms; {THREADS} threads per worker"
    )
    with (
        tempfile.TemporaryDirectory(prefix="bench-corpus-in-") as scratch,
        TimedEndpoint() as server,
        contextlib.redirect_stderr(open(os.devnull, "w")),
    ):
        config_path, input_path = Path(scratch) / "config.json", Path(scratch) / "input.jsonl"
        config_path.write_text(
            json.dumps(
                {
                    "model": "scripted",
                    "api_key": "offline",
                    "base_url": server.base_url,
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
            "".join(json.dumps({"id": n, "text": text_of(n)}, ensure_ascii=False) + "\n" for n in range(args.inputs))
        )
        plain_rate, plain_call = plain_loop(config_path, load_inputs(input_path, "causara"))
        figures = {}
        for workers in (1, 2):
            cpu_before, served_before = server.cpu, server.served
            figures[workers] = corpus_run(workers, config_path, input_path, args.inputs)
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
            f"  mean predict call on a worker {f['mean_call'] * 1000:.0f} ms (endpoint delay {DELAY * 1000:g} ms): "
            f"{(f['mean_call'] - DELAY) * 1000:.0f} ms of client, library and waiting for the interpreter lock"
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
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
