"""Each extractor's predict a million times with the service answering at once: resident memory must stay flat.

Run by `make soak`; `--calls N` (or `--quick`, 20,000 calls) for a shorter run. Each extractor runs in a fresh
process: CausaraExtractor, LinqorExtractor, ForceExtractor on a small graph with an article to review, and a
ForceExtractor subclass that overrides one walk step (`_edge_to_path_edge`), which sends path search down the road
through host objects.

`lx.extract` is replaced by a stand-in that answers at once. The calls cycle through the answers a service gives:
extractions, an exception, no extractions, extractions without attributes, and for the force extractor a first
force of "特别剧烈" whose review succeeds, fails or finds nothing. Every answer, input and exception is a new
object, so a reference kept by mistake keeps memory alive and shows. Every result is compared with the expected
one and every call's error records are counted (each must carry its exception); the module loggers are silenced,
their records counted and dropped.

Resident memory is read from /proc/self/statm after a warm-up (a tenth of the calls) and at ten checkpoints to
the end, each after a full collection. The bar: growth from the warm-up to the end under 1 MB per extractor. The
growth of the interpreter's allocated blocks is shown beside it: a leak of objects shows there first.
"""

from __future__ import annotations

import argparse
import gc
import json
import logging
import os
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from types import SimpleNamespace
from typing import Any

# The offline configuration is shared with the tests.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

import langextract as lx
from offline import OFFLINE_CONFIG

from kestor.tavi.extractor.causara import CausaraExtractor
from kestor.tavi.extractor.force import ForceExtractor
from kestor.tavi.extractor.linqor import LinqorExtractor

FULL_CALLS = 1_000_000
QUICK_CALLS = 20_000
GROWTH_LIMIT = 1_000_000  # bytes
CHECKPOINTS = 10
MEDIUM, EXTREME = "中等", "特别剧烈"


class ServiceError(RuntimeError):
    """What the stand-in raises for a failed model call."""


class InstantService:
    """Stands in for lx.extract: hands out the answers queued for the current call, raising exceptions."""

    def __init__(self) -> None:
        self.pending: list[Any] = []

    def __call__(self, **kwargs: Any) -> Any:
        answer = self.pending.pop()
        if isinstance(answer, BaseException):
            raise answer
        return answer


class Counter(logging.Handler):
    """Counts records and drops them; an error record without its exception counts as a fault."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.records = 0
        self.errors = 0
        self.bare_errors = 0

    def handle(self, record: logging.LogRecord) -> bool:
        self.records += 1
        if record.levelno >= logging.ERROR:
            self.errors += 1
            if not record.exc_info or not isinstance(record.exc_info[1], ServiceError):
                self.bare_errors += 1
        return True

    def emit(self, record: logging.LogRecord) -> None:
        pass


def answer(*attributes: Any) -> SimpleNamespace:
    return SimpleNamespace(extractions=[SimpleNamespace(attributes=a) for a in attributes])


# A scenario makes one call's inputs from its number: (answers in the order the service is asked, the call, the
# expected result, the expected number of error records).
Run = tuple[list[Any], Callable[[], Any], Any, int]
Scenario = Callable[[int], Run]


def causara_scenarios(extractor: Any) -> list[Scenario]:
    def ask(number: int) -> Callable[[], Any]:
        text = f"第{number}天的暴雨导致洪水。"
        return lambda: extractor.predict(text)

    def relations(number: int) -> Run:
        source, target, place = f"暴雨{number}", f"洪水{number}", f"城{number}"
        given = answer(
            {
                "source": source,
                "target": target,
                "strength": f" 0.{number % 10} ",
                "source_meta": {"地点": place},
                "strength_reason": number,
            },
            None,
            {"source": source, "target": ""},
            {"source": target, "target": source, "rel": "", "strength": number},
        )
        expected = [
            {
                "source": source,
                "source_meta": {"地点": place},
                "rel": "因果",
                "target": target,
                "target_meta": "",
                "strength": (number % 10) / 10,
                "strength_reason": str(number),
            },
            {
                "source": target,
                "source_meta": "",
                "rel": "",
                "target": source,
                "target_meta": "",
                "strength": 1.0 if number else 0.0,
                "strength_reason": "",
            },
        ]
        return [given], ask(number), expected, 0

    return [
        relations,
        lambda number: ([ServiceError(f"503 at call {number}")], ask(number), [], 1),
        lambda number: ([answer()], ask(number), [], 0),
        lambda number: ([SimpleNamespace(extractions=None)], ask(number), [], 0),
        lambda number: ([answer(None, {})], ask(number), [], 0),
    ]


def linqor_scenarios(extractor: Any) -> list[Scenario]:
    def ask(number: int) -> Callable[[], Any]:
        text = f"央行第{number}次降准，银行随后降息。" * (1 + number % 3) * 40  # sometimes over 1000 characters
        return lambda: extractor.predict(text)

    def verdict(number: int) -> Run:
        reason = f"降准{number}释放资金"
        said = (" Yes ", "0", "true", number)[number % 4]
        related = (True, False, True, bool(number))[number % 4]
        return (
            [answer({"related": said, "reason": reason}, {"related": "no"})],
            ask(number),
            {"related": related, "reason": reason},
            0,
        )

    return [
        verdict,
        lambda number: ([ServiceError(f"429 at call {number}")], ask(number), {"related": False, "reason": ""}, 1),
        lambda number: ([answer()], ask(number), {"related": False, "reason": ""}, 0),
        lambda number: ([answer(None)], ask(number), {"related": True, "reason": ""}, 0),
    ]


def small_graph(number: int) -> dict[str, Any]:
    names = [f"台风{number}", f"暴雨{number}", f"停电{number}", f"停产{number}"]
    links = [(0, 1, 0.9), (1, 2, None), (0, 2, 0.4), (2, 3, 0.85), (1, 3, None)]
    return {
        "nodes": [{"id": i, "name": name} for i, name in enumerate(names)],
        "edges": [
            {"src_node": {"id": a}, "dest_node": {"id": b}, **({"meta": {"strength": s}} if s else {})}
            for a, b, s in links
        ],
    }


def no_path_graph(number: int) -> dict[str, Any]:
    # Edges whose far end has no id are skipped: nodes and edges, but no path and no model call.
    return {
        "nodes": [{"id": 0, "name": f"甲{number}"}, {"id": 1, "name": "乙"}],
        "edges": [{"src_node": {"id": 0}, "dest_node": {"id": None}}, {"src_node": {"id": 1}, "dest_node": {}}],
    }


def force_scenarios(extractor: Any) -> list[Scenario]:
    def ask(
        number: int, article: bool = True, graph: Callable[[int], dict[str, Any]] = small_graph
    ) -> Callable[[], Any]:
        data = graph(number)
        text = f"第{number}号台风登陆，全城停电。" if article else None
        return lambda: extractor.predict(data, text)

    def forces(*values: Any) -> SimpleNamespace:
        return answer(*({"final_force": value} for value in values))

    return [
        lambda number: ([forces("", f"较强{number}")], ask(number), f"较强{number}", 0),
        lambda number: ([forces(EXTREME), forces(None, f"剧烈{number}")], ask(number), f"剧烈{number}", 0),
        lambda number: ([forces(EXTREME), ServiceError(f"review failed at {number}")], ask(number), EXTREME, 1),
        lambda number: ([forces(EXTREME), answer()], ask(number), EXTREME, 0),
        lambda number: ([forces(EXTREME)], ask(number, article=False), EXTREME, 0),
        lambda number: ([ServiceError(f"500 at call {number}")], ask(number), MEDIUM, 1),
        lambda number: ([answer(None)], ask(number), MEDIUM, 0),
        lambda number: ([], ask(number, graph=no_path_graph), MEDIUM, 0),
    ]


class StepForceExtractor(ForceExtractor):
    """Overrides one step of the walk: path search then goes through host objects, one call per step."""

    def _edge_to_path_edge(self, edge: dict[str, Any], node_map: dict[Any, Any], next_node: int) -> Any:
        return super()._edge_to_path_edge(edge, node_map, next_node)


def build(name: str) -> tuple[Any, list[Scenario]]:
    extractor: Any
    if name == "causara":
        extractor = CausaraExtractor(OFFLINE_CONFIG, "prompt", [])
        return extractor, causara_scenarios(extractor)
    if name == "linqor":
        extractor = LinqorExtractor(OFFLINE_CONFIG, "prompt", [])
        return extractor, linqor_scenarios(extractor)
    cls = ForceExtractor if name == "force" else StepForceExtractor
    extractor = cls(OFFLINE_CONFIG, "force prompt", [], "review prompt", [])
    return extractor, force_scenarios(extractor)


EXTRACTORS = {
    "causara": "CausaraExtractor",
    "linqor": "LinqorExtractor",
    "force": "ForceExtractor",
    "force-step": "ForceExtractor, _edge_to_path_edge overridden",
}


# One extractor, in its own process


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settled() -> tuple[int, int]:
    gc.collect()
    return resident_bytes(), sys.getallocatedblocks()


def soak(name: str, calls: int) -> dict[str, Any]:
    counter = Counter()
    for module in ("causara", "linqor", "force"):
        logger = logging.getLogger(f"kestor.tavi.extractor.{module}")
        logger.handlers[:] = [counter]
        logger.setLevel(logging.DEBUG)
        logger.propagate = False
    service = InstantService()
    lx.extract = service
    _, scenarios = build(name)

    warmup = max(1, calls // 10)
    marks = {warmup + (calls - warmup) * k // CHECKPOINTS for k in range(1, CHECKPOINTS + 1)}
    samples: list[tuple[int, int, int]] = []  # (calls made, resident bytes, allocated blocks)
    mismatches = 0
    first_mismatch = ""
    started = time.perf_counter()
    count = len(scenarios)
    for number in range(1, calls + 1):
        answers, call, expected, errors = scenarios[number % count](number)
        service.pending = answers[::-1]
        before = counter.errors
        try:
            result = call()
        except Exception as error:  # predict must not raise here: that is the finding
            result = f"raised {type(error).__name__}: {error}"
        if result != expected or counter.errors - before != errors or service.pending:
            mismatches += 1
            if not first_mismatch:
                first_mismatch = (
                    f"call {number}: {result!r} instead of {expected!r}, "
                    f"{counter.errors - before} error records instead of {errors}, "
                    f"{len(service.pending)} answers left"
                )
        del answers, call, expected, result
        if number == warmup or number in marks:
            pause = time.perf_counter()
            samples.append((number, *settled()))
            started += time.perf_counter() - pause
    seconds = time.perf_counter() - started
    return {
        "calls": calls,
        "seconds": seconds,
        "samples": samples,
        "mismatches": mismatches,
        "first_mismatch": first_mismatch,
        "records": counter.records,
        "errors": counter.errors,
        "bare_errors": counter.bare_errors,
    }


# The report


def child(name: str, calls: int) -> dict[str, Any]:
    process = subprocess.run(
        [sys.executable, str(Path(__file__).resolve()), "--child", name, str(calls)], capture_output=True, text=True
    )
    if process.returncode != 0 or not process.stdout.strip():
        how = f"signal {-process.returncode}" if process.returncode < 0 else f"exit {process.returncode}"
        tail = (process.stderr.strip().splitlines() or ["no output"])[-1]
        return {"crashed": f"{how}: {tail}"}
    figures: dict[str, Any] = json.loads(process.stdout.strip().splitlines()[-1])
    return figures


def kib(value: float) -> str:
    return f"{value / 1024:+,.0f} KiB" if value else "0 KiB"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--calls", type=int, default=FULL_CALLS, help=f"calls per extractor ({FULL_CALLS:,})")
    parser.add_argument("--quick", action="store_true", help=f"a short run of {QUICK_CALLS:,} calls per extractor")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        name, calls = args.child
        print(json.dumps(soak(name, int(calls))))
        return 0

    calls = QUICK_CALLS if args.quick else args.calls
    print(
        f"Python {sys.version.split()[0]}; {calls:,} predict calls per extractor, each extractor in a fresh "
        f"process; growth bar {GROWTH_LIMIT / 1e6:g} MB after a warm-up of {max(1, calls // 10):,} calls"
    )
    print(
        f"\n  {'extractor':<46} {'µs/call':>8} {'RSS after warm-up':>18} {'RSS at end':>11} "
        f"{'growth':>10} {'peak growth':>12} {'blocks growth':>14}  result"
    )
    ok = True
    for name, label in EXTRACTORS.items():
        result = child(name, calls)
        if "crashed" in result:
            ok = False
            print(f"  {label:<46} crashed ({result['crashed']})")
            continue
        samples = result["samples"]
        _, warm_rss, warm_blocks = samples[0]
        _, end_rss, end_blocks = samples[-1]
        growth = end_rss - warm_rss
        peak = max(rss for _, rss, _ in samples) - warm_rss
        faults = []
        if growth >= GROWTH_LIMIT:
            faults.append("memory grew")
        if result["mismatches"]:
            faults.append(f"{result['mismatches']:,} wrong results or error counts")
        if result["bare_errors"]:
            faults.append(f"{result['bare_errors']:,} error records without their exception")
        ok = ok and not faults
        print(
            f"  {label:<46} {1e6 * result['seconds'] / result['calls']:8.1f} {warm_rss / 2**20:14.1f} MiB "
            f"{end_rss / 2**20:7.1f} MiB {kib(growth):>10} {kib(peak):>12} {end_blocks - warm_blocks:>+14,}  "
            f"{'; '.join(faults) or 'met'}"
        )
        if result["first_mismatch"]:
            print(f"      first: {result['first_mismatch']}")
        print(
            f"      {result['records']:,} log records, {result['errors']:,} of them errors; RSS at checkpoints "
            f"(MiB): {' '.join(f'{rss / 2**20:.1f}' for _, rss, _ in samples)}"
        )
    print(f"\n{'all bars met' if ok else 'BAR MISSED'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
