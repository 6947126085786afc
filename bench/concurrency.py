"""Threads sharing one extractor of each kind, against the scripted endpoint answering after 100 ms.

Run by `make concurrency`; `--quick` makes fewer calls. For each extractor the same instance serves first one
thread, then 16 threads at once, in the same process. Every call carries its own tag in its input and the endpoint
answers with that tag, so a result that belongs to another call, a missing result, anything raised or any error
record is a failure. The bar: 16 threads finish at least 10 times as many calls per second as one thread.

Where the time goes is measured on the calls themselves, by wrapping the layers a call passes through:
`lx.extract` (the extraction library), the model's `infer` (the requests of one call, from the library's worker
threads when the text is cut into several pieces), each request (`_process_single_prompt`: the OpenAI client), its
HTTP send, and the endpoint's handler (its scripted delay and its own work). Each layer's wall time is split into
the thread's CPU time and waiting; outside the endpoint's delay, waiting is waiting for the interpreter lock (or
for a CPU, when the process keeps all of them busy). A profile of one calling thread then shows which packages
the CPU time goes to.

A fourth, unjudged case gives the causal relation extractor a text the library cuts into three pieces, to show how
its worker threads and per-call work behave under the same load. The endpoint runs in this process, as it does in
the tests: its handler threads take the interpreter lock too.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import cProfile
import logging
import os
import pstats
import re
import statistics
import sys
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

import langextract as lx
from langextract.providers.openai import OpenAILanguageModel
from offline import CAUSAL_EXAMPLES, FORCE_EXAMPLES, PC_EXAMPLES, REVIEW_EXAMPLES
from scripted_endpoint import Reply, ScriptedEndpoint, extraction_answer

from kestor.tavi.extractor.causara import CausaraExtractor
from kestor.tavi.extractor.force import ForceExtractor
from kestor.tavi.extractor.linqor import LinqorExtractor

DELAY = 0.1
THREADS = 16
TARGET = 10.0
MODULE_LOGGERS = [f"kestor.tavi.extractor.{name}" for name in ("causara", "linqor", "force")]
TAG = re.compile(r"T\d+C\d+")


# The three kinds of call. Each input carries a tag; the endpoint reads it back out of the question and answers
# for that call alone, and the expected result is computed from the tag.


@dataclass(frozen=True)
class Kind:
    name: str
    build: Callable[[dict[str, Any]], Any]
    ask: Callable[[Any, str, int], Any]
    expected: Callable[[str, int], Any]
    requests: Callable[[int], int]  # requests one call makes
    judged: bool = True  # held to the throughput bar


def causara_text(tag: str, number: int) -> str:
    return f"暴雨{tag}导致洪水{tag}。"


def causara_expected(tag: str, number: int) -> list[dict[str, Any]]:
    return [
        {
            "source": f"暴雨{tag}",
            "source_meta": "",
            "rel": "因果",
            "target": f"洪水{tag}",
            "target_meta": "",
            "strength": 0.8,
            "strength_reason": tag,
        }
    ]


# Three sentences of some 560 characters: the extraction library cuts the text into three pieces and sends them
# at once from worker threads of its own.
def long_text(tag: str, number: int) -> str:
    return "".join(f"第{part}段{tag}：" + "连日暴雨造成河水上涨，" * 50 + "。" for part in (1, 2, 3))


def long_expected(tag: str, number: int) -> list[dict[str, Any]]:
    return [
        {
            "source": f"第{part}段{tag}",
            "source_meta": "",
            "rel": "因果",
            "target": f"河水上涨{part}",
            "target_meta": "",
            "strength": 0.5,
            "strength_reason": "",
        }
        for part in (1, 2, 3)
    ]


def linqor_text(tag: str, number: int) -> str:
    return f"央行降准{tag}，银行降息{tag}。"


def linqor_expected(tag: str, number: int) -> dict[str, Any]:
    return {"related": number % 2 == 0, "reason": tag}


def force_graph(tag: str) -> dict[str, Any]:
    names = [f"台风{tag}", f"停电{tag}", f"停产{tag}"]
    return {
        "nodes": [{"id": i, "name": name} for i, name in enumerate(names)],
        "edges": [
            {"src_node": {"id": 0}, "dest_node": {"id": 1}, "meta": {"strength": 0.9}},
            {"src_node": {"id": 1}, "dest_node": {"id": 2}},
            {"src_node": {"id": 0}, "dest_node": {"id": 2}, "meta": {"strength": 0.4}},
        ],
    }


def reviewed(number: int) -> bool:
    # Every other call gets "特别剧烈" first and goes to review: one thread and sixteen see the same mix.
    return number % 2 == 1


def force_expected(tag: str, number: int) -> str:
    return f"剧烈{tag}" if reviewed(number) else f"中等{tag}"


KINDS = [
    Kind(
        "causara",
        lambda config: CausaraExtractor(config, "找出因果关系。", CAUSAL_EXAMPLES),
        lambda extractor, tag, number: extractor.predict(causara_text(tag, number)),
        causara_expected,
        lambda number: 1,
    ),
    Kind(
        "causara, 3 pieces",
        lambda config: CausaraExtractor(config, "找出因果关系。", CAUSAL_EXAMPLES),
        lambda extractor, tag, number: extractor.predict(long_text(tag, number)),
        long_expected,
        lambda number: 3,
        judged=False,
    ),
    Kind(
        "linqor",
        lambda config: LinqorExtractor(config, "判断是否存在PC关系。", PC_EXAMPLES),
        lambda extractor, tag, number: extractor.predict(linqor_text(tag, number)),
        linqor_expected,
        lambda number: 1,
    ),
    Kind(
        "force",
        lambda config: ForceExtractor(config, "判断影响力度。", FORCE_EXAMPLES, "结合文章复核。", REVIEW_EXAMPLES),
        lambda extractor, tag, number: extractor.predict(force_graph(tag), f"文章{tag}：全城停电三天。"),
        force_expected,
        lambda number: 2 if reviewed(number) else 1,
    ),
]


def respond(question: str) -> Reply:
    match = TAG.search(question)
    if match is None:
        return Reply(extraction_answer(), delay=DELAY)
    tag = match.group()
    number = int(tag.split("C")[1])
    if question.startswith("暴雨"):
        content = extraction_answer(
            (
                "relation",
                f"暴雨{tag}导致洪水{tag}",
                {"source": f"暴雨{tag}", "target": f"洪水{tag}", "strength": "0.8", "strength_reason": tag},
            )
        )
    elif question.startswith("第"):
        part = question[1]
        content = extraction_answer(
            ("relation", f"第{part}段{tag}", {"source": f"第{part}段{tag}", "target": f"河水上涨{part}"})
        )
    elif question.startswith("央行"):
        content = extraction_answer(
            ("pc", question.rstrip("。"), {"related": "true" if number % 2 == 0 else "false", "reason": tag})
        )
    elif question.startswith("图谱数据:"):
        content = extraction_answer(
            ("force", f"台风{tag}", {"final_force": "特别剧烈" if reviewed(number) else f"中等{tag}"})
        )
    elif question.startswith("文章"):
        content = extraction_answer(("force", "全城停电三天", {"final_force": f"剧烈{tag}"}))
    else:
        content = extraction_answer()
    return Reply(content, delay=DELAY)


# Measuring the layers


class Clock:
    """Wall and CPU time of one thread through one layer, summed per layer name."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.wall: dict[str, float] = collections.defaultdict(float)
        self.cpu: dict[str, float] = collections.defaultdict(float)
        self.pool_requests = 0

    def add(self, layer: str, wall: float, cpu: float) -> None:
        with self.lock:
            self.wall[layer] += wall
            self.cpu[layer] += cpu

    @contextlib.contextmanager
    def measure(self, layer: str) -> Iterator[None]:
        wall, cpu = time.perf_counter(), time.thread_time()
        try:
            yield
        finally:
            self.add(layer, time.perf_counter() - wall, time.thread_time() - cpu)

    def reset(self) -> None:
        with self.lock:
            self.wall.clear()
            self.cpu.clear()
            self.pool_requests = 0


CLOCK = Clock()


def transport_class(extractor: Any) -> type | None:
    """The HTTP client class under the model's OpenAI client, when the client has the usual shape."""
    client = getattr(getattr(getattr(extractor, "model", None), "_client", None), "_client", None)
    return type(client) if client is not None and hasattr(type(client), "send") else None


@contextlib.contextmanager
def measured_layers(transport: type | None) -> Iterator[None]:
    """Wraps the extraction library's entry, the provider's request, the HTTP send and the endpoint's handler."""
    calling = threading.local()
    patches: list[tuple[Any, str, Any]] = []

    def wrap(owner: Any, name: str, layer: str) -> None:
        original = getattr(owner, name)

        def timed(*args: Any, **kwargs: Any) -> Any:
            if layer == "request" and not getattr(calling, "extract", False):
                with CLOCK.lock:
                    CLOCK.pool_requests += 1
            calling.extract = getattr(calling, "extract", False) or layer == "extract"
            try:
                with CLOCK.measure(layer):
                    return original(*args, **kwargs)
            finally:
                if layer == "extract":
                    calling.extract = False

        patches.append((owner, name, original))
        setattr(owner, name, timed)

    wrap(lx, "extract", "extract")
    infer = OpenAILanguageModel.infer

    def timed_infer(*args: Any, **kwargs: Any) -> Iterator[Any]:
        # A generator: the library drains it at once, so the time spent inside it is the requests' time.
        with CLOCK.measure("infer"):
            yield from infer(*args, **kwargs)

    patches.append((OpenAILanguageModel, "infer", infer))
    OpenAILanguageModel.infer = timed_infer  # type: ignore[method-assign]
    wrap(OpenAILanguageModel, "_process_single_prompt", "request")
    if transport is not None:
        wrap(transport, "send", "send")
    wrap(ScriptedEndpoint, "_answer", "endpoint")
    try:
        yield
    finally:
        for owner, name, original in reversed(patches):
            setattr(owner, name, original)


class Records(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.counts: collections.Counter[tuple[str, int]] = collections.Counter()
        self.errors: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.counts[record.name, record.levelno] += 1
        if record.levelno >= logging.WARNING:
            self.errors.append(f"{record.name}: {record.getMessage()[:120]}")


# Running


@dataclass
class Run:
    threads: int
    calls: int = 0
    requests: int = 0
    seconds: float = 0.0
    process_cpu: float = 0.0
    latencies: list[float] = field(default_factory=list)
    failures: list[str] = field(default_factory=list)
    wall: dict[str, float] = field(default_factory=dict)
    cpu: dict[str, float] = field(default_factory=dict)
    pool_requests: int = 0

    @property
    def throughput(self) -> float:
        return self.calls / self.seconds if self.seconds else 0.0


def run(kind: Kind, extractor: Any, threads: int, calls_per_thread: int, first_thread: int) -> Run:
    outcome = Run(threads)
    lock = threading.Lock()
    start = threading.Barrier(threads + 1)

    def worker(thread: int) -> None:
        latencies: list[float] = []
        failures: list[str] = []
        requests = 0
        start.wait()
        for number in range(calls_per_thread):
            tag = f"T{thread}C{number}"
            began = time.perf_counter()
            try:
                with CLOCK.measure("predict"):
                    result = kind.ask(extractor, tag, number)
            except BaseException as error:  # anything raised is the finding
                failures.append(f"{tag}: raised {type(error).__name__}: {error}")
                continue
            latencies.append(time.perf_counter() - began)
            requests += kind.requests(number)
            expected = kind.expected(tag, number)
            if result != expected:
                failures.append(f"{tag}: got {result!r}, expected {expected!r}")
        with lock:
            outcome.latencies.extend(latencies)
            outcome.failures.extend(failures)
            outcome.calls += len(latencies)
            outcome.requests += requests

    workers = [threading.Thread(target=worker, args=(first_thread + i,), name=f"caller-{i}") for i in range(threads)]
    for thread in workers:
        thread.start()
    CLOCK.reset()
    start.wait()
    began, cpu = time.perf_counter(), time.process_time()
    for thread in workers:
        thread.join()
    outcome.seconds = time.perf_counter() - began
    outcome.process_cpu = time.process_time() - cpu
    outcome.wall, outcome.cpu = dict(CLOCK.wall), dict(CLOCK.cpu)
    outcome.pool_requests = CLOCK.pool_requests
    return outcome


# Report


def ms(seconds: float) -> str:
    return f"{seconds * 1000:7.1f}"


Row = tuple[str, float, float]  # layer, wall ms, CPU ms


def breakdown(outcome: Run) -> tuple[list[Row], list[Row]]:
    """Per call on the calling thread, and per request; each layer without the layers inside it."""
    calls, requests = max(outcome.calls, 1), max(outcome.requests, 1)

    def wall(layer: str, per: int) -> float:
        return outcome.wall.get(layer, 0.0) / per

    def cpu(layer: str, per: int) -> float:
        return outcome.cpu.get(layer, 0.0) / per

    send = "send" if "send" in outcome.wall else "request"
    per_call = [
        (
            "our module (predict outside lx.extract)",
            wall("predict", calls) - wall("extract", calls),
            cpu("predict", calls) - cpu("extract", calls),
        ),
        (
            "extraction library (lx.extract outside the model's infer)",
            wall("extract", calls) - wall("infer", calls),
            cpu("extract", calls) - cpu("infer", calls),
        ),
        ("the model's infer: requests, worker pool if any", wall("infer", calls), cpu("infer", calls)),
    ]
    per_request = [
        (
            "OpenAI client (request outside the HTTP send)",
            wall("request", requests) - wall(send, requests),
            cpu("request", requests) - cpu(send, requests),
        ),
        (
            "HTTP transport (send outside the endpoint's handler)",
            wall(send, requests) - wall("endpoint", requests),
            cpu(send, requests),
        ),
        (
            "endpoint's own work (handler outside its delay)",
            wall("endpoint", requests) - DELAY,
            cpu("endpoint", requests),
        ),
        ("endpoint's scripted delay", DELAY, 0.0),
    ]
    return per_call, per_request


def print_rows(title: str, single: list[Row], many: list[Row]) -> None:
    print(f"    {title:<58} {'wall':>7} {'CPU':>7} {'wait':>7}  {'wall':>7} {'CPU':>7} {'wait':>7}")
    for (label, wall_1, cpu_1), (_, wall_n, cpu_n) in zip(single, many, strict=True):
        print(
            f"      {label:<56} {ms(wall_1)} {ms(cpu_1)} {ms(wall_1 - cpu_1)}  "
            f"{ms(wall_n)} {ms(cpu_n)} {ms(wall_n - cpu_n)}"
        )


def report(kind: Kind, single: Run, many: Run) -> bool:
    ratio = many.throughput / single.throughput if single.throughput else 0.0
    correct = not single.failures and not many.failures
    ok = correct and (ratio >= TARGET or not kind.judged)
    print(f"\n{kind.name}")
    for outcome in (single, many):
        latencies = sorted(outcome.latencies) or [0.0]
        print(
            f"  {outcome.threads:2d} thread{'s' if outcome.threads > 1 else ' '}: {outcome.calls:4d} calls "
            f"({outcome.requests} requests) in {outcome.seconds:6.2f} s = {outcome.throughput:6.1f} calls/s; "
            f"latency median {ms(statistics.median(latencies)).strip()} ms, "
            f"p95 {ms(latencies[int(0.95 * (len(latencies) - 1))]).strip()} ms; "
            f"process CPU {100 * outcome.process_cpu / outcome.seconds:3.0f}% of one core; "
            f"failures {len(outcome.failures)}"
        )
        for failure in outcome.failures[:5]:
            print(f"      {failure}")
    # Work under the interpreter lock runs one call at a time: no number of threads finishes calls faster than
    # one per CPU second that a call costs the process.
    ceiling = single.seconds / single.calls / (many.process_cpu / many.calls) if many.process_cpu else 0.0
    verdict = ("met" if ratio >= TARGET else "MISSED") if kind.judged else "not judged"
    print(
        f"  throughput {THREADS} threads / 1 thread: {ratio:.1f}x (target ≥ {TARGET:g}x) {verdict}; "
        f"a call's latency over the process CPU it costs allows at most {ceiling:.1f}x"
    )
    print(f"  where the time goes, ms (wall = CPU of the thread + waiting); 1 thread, then {THREADS} threads:")
    (call_1, request_1), (call_n, request_n) = breakdown(single), breakdown(many)
    print_rows("per call, on the calling thread", call_1, call_n)
    print_rows("per request", request_1, request_n)
    pooled = single.pool_requests + many.pool_requests
    print(
        f"    requests sent from the extraction library's worker threads: {pooled} of {single.requests + many.requests}"
    )
    # Means, not medians: the force calls with a review take two requests, and a median jumps between the two.
    added = statistics.fmean(many.latencies or [0]) - statistics.fmean(single.latencies or [0])
    waiting = sum(w - c for _, w, c in call_n) - sum(w - c for _, w, c in call_1)
    print(
        f"    {THREADS} threads add {added * 1000:.1f} ms to the mean call; the calling threads wait "
        f"{waiting * 1000:.1f} ms more per call outside the endpoint's delay, while the process uses "
        f"{100 * many.process_cpu / many.seconds:.0f}% of one core: "
        + (
            "the lock is busy nearly all the time and the calls queue for it"
            if many.process_cpu / many.seconds >= 0.85
            else "they wait for the interpreter lock to change hands, not for a CPU"
        )
    )
    return ok


def package_of(function: tuple[str, int, str]) -> str | None:
    """The distribution (or standard-library module) a profiled function belongs to; None for a builtin."""
    filename, _, name = function
    if "kestor.tavi.extractor" in name:
        return "our module"
    if filename == "~":
        return None
    parts = Path(filename).parts
    if "site-packages" in parts:
        return parts[parts.index("site-packages") + 1].split(".")[0]
    module = filename.removeprefix("<frozen ").removesuffix(">") if filename.startswith("<") else Path(filename).stem
    return f"stdlib {module}"


def cpu_by_package(kind: Kind, extractor: Any, calls: int) -> list[tuple[str, float]]:
    """Shares of one thread's CPU by package over `calls` calls; builtins count for the package calling them."""
    profile = cProfile.Profile(time.thread_time)
    profile.enable()
    for number in range(calls):
        kind.ask(extractor, f"T300C{number}", number)
    profile.disable()
    totals: collections.Counter[str] = collections.Counter()
    for function, (_, _, own_time, _, callers) in pstats.Stats(profile).stats.items():  # type: ignore[attr-defined]
        package = package_of(function)
        if package is not None:
            totals[package] += own_time
            continue
        edges = {caller: timing[2] for caller, timing in callers.items()}
        weight = sum(edges.values())
        for caller, share in edges.items():
            totals[package_of(caller) or "builtins"] += own_time * (share / weight if weight else 1 / len(edges))
    whole = sum(totals.values()) or 1.0
    return [(package, seconds / whole) for package, seconds in totals.most_common()]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls per run")
    args = parser.parse_args(argv)
    # Even counts: every other force call goes to review, so both runs see the same mix.
    single_calls, calls_per_thread = (6, 4) if args.quick else (30, 16)

    records = Records()
    for name in MODULE_LOGGERS:
        logger = logging.getLogger(name)
        logger.setLevel(logging.DEBUG)
        logger.addHandler(records)
        logger.propagate = False
    # The extraction library's progress bar and warnings go to stderr for every call.
    logging.getLogger("absl").addHandler(records)
    print(
        f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, switch interval "
        f"{sys.getswitchinterval() * 1000:g} ms; endpoint delay {DELAY * 1000:g} ms; {THREADS} threads share "
        f"one extractor of each kind{', quick run' if args.quick else ''}"
    )

    results = []
    profiles = []
    with (
        open(os.devnull, "w") as devnull,
        contextlib.redirect_stderr(devnull),
        ScriptedEndpoint(respond) as endpoint,
        measured_layers(transport_class(KINDS[0].build(endpoint.config()))),
    ):
        config = endpoint.config()
        for kind in KINDS:
            extractor = kind.build(config)
            # Unmeasured: the client's connections (one per thread) and first-call imports.
            run(kind, extractor, THREADS, 1, first_thread=200)
            single = run(kind, extractor, 1, single_calls, first_thread=100)
            many = run(kind, extractor, THREADS, calls_per_thread, first_thread=0)
            results.append((kind, single, many))
            profiles.append((kind, cpu_by_package(kind, extractor, single_calls)))
    passed = [report(kind, single, many) for kind, single, many in results]
    print(
        "\nCPU of one calling thread by package (profiled, one thread; the profiler's own cost inflates many small"
        " calls, so read the shares, not absolute times):"
    )
    for kind, shares in profiles:
        top = [f"{package} {100 * share:.0f}%" for package, share in shares if share >= 0.02]
        ours = next((share for package, share in shares if package == "our module"), 0.0)
        print(f"  {kind.name + ':':<19} {', '.join(top)}; our module {100 * ours:.2f}%")
    error_records = records.errors
    print(
        "\nlog records: "
        + ", ".join(
            f"{name.rsplit('.', 1)[-1]} {logging.getLevelName(level)} {count}"
            for (name, level), count in sorted(records.counts.items())
        )
    )
    if error_records:
        print(f"warnings and errors logged: {len(error_records)}, first: {error_records[0]}")
    ok = all(passed) and not error_records
    print(f"\n{'all bars met' if ok else 'BAR MISSED'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
