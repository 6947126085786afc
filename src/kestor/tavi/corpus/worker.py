"""The task a worker process runs for one partition: its inputs through the extractors, then its part file.

An extractor holds an HTTP client and cannot be pickled, so each worker process builds its extractors once per
configuration and shares them, with one thread pool, among every partition it runs: the pool's threads are the
model calls in flight in this process, however many partitions the worker runs at a time.
"""

from __future__ import annotations

import functools
import random
import threading
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any

from . import output
from .config import RunConfig
from .failures import keep_root_logger_quiet, thread_errors
from .inputs import Record, id_key
from .modes import Settled, build_extractors, process


@dataclass(frozen=True)
class Settings:
    config: RunConfig
    out_dir: str
    threads: int = 16
    retries: int = 3
    retry_pause: float = 0.5
    """The pause before the first retry; each further one doubles it."""


@dataclass
class PartitionReport:
    number: int
    ok: int = 0
    failed: list[tuple[Any, str]] = field(default_factory=list)
    """(id, error) of each input that failed."""
    calls: int = 0
    call_seconds: float = 0.0
    """Wall time of every predict call, retries' pauses excluded."""
    seconds: float = 0.0
    set_up_seconds: float = 0.0
    """Time this task spent building its process's extractors (imports included): nonzero once per process."""


_lock = threading.Lock()
_extractors: dict[str, dict[str, Any]] = {}
_pools: dict[int, ThreadPoolExecutor] = {}
_progress_quieted = False


def run_partition(settings: Settings, number: int, records: list[Record]) -> PartitionReport:
    began = time.perf_counter()
    extractors, pool = _process_state(settings)
    report = PartitionReport(number, set_up_seconds=time.perf_counter() - began)
    timings: list[tuple[int, float]] = []
    work = functools.partial(_settle_record, settings, extractors, timings)
    lines = {}
    for record, settled in zip(records, pool.map(work, records), strict=True):
        status = "failed" if settled.error is not None else "ok"
        lines[id_key(record["id"])] = output.line(record["id"], status, settled.result, settled.attempts, settled.error)
        if settled.error is None:
            report.ok += 1
        else:
            report.failed.append((record["id"], settled.error))
    output.write_part(settings.out_dir, number, lines)
    report.calls = sum(calls for calls, _ in timings)
    report.call_seconds = sum(seconds for _, seconds in timings)
    report.seconds = time.perf_counter() - began
    return report


def _process_state(settings: Settings) -> tuple[dict[str, Any], ThreadPoolExecutor]:
    with _lock:
        key = settings.config.cache_key()
        if key not in _extractors:
            keep_root_logger_quiet()
            _quiet_progress_bars()
            _extractors[key] = build_extractors(settings.config)
        if settings.threads not in _pools:
            _pools[settings.threads] = ThreadPoolExecutor(settings.threads, thread_name_prefix="corpus-call")
        return _extractors[key], _pools[settings.threads]


def _settle_record(
    settings: Settings, extractors: dict[str, Any], timings: list[tuple[int, float]], record: Record
) -> Settled:
    calls, seconds = 0, 0.0

    def settle(call: Callable[[], Any]) -> Settled:
        nonlocal calls, seconds
        settled, spent = with_retries(call, settings.retries, settings.retry_pause)
        calls += settled.attempts
        seconds += spent
        return settled

    settled = process(settings.config.kind, extractors, record, settle)
    timings.append((calls, seconds))  # list.append is atomic: the pool's threads share the list
    return settled


def with_retries(
    call: Callable[[], Any], retries: int, pause: float, sleep: Callable[[float], None] = time.sleep
) -> tuple[Settled, float]:
    """Call until no error record is made during the call, at most 1 + `retries` times; and the calls' wall time.

    An exception raised out of the call is not retried: the extractors log every failure of the model, so what
    they raise comes from the input or the answer, and would come again.
    """
    errors_of = thread_errors()
    spent = 0.0
    for attempt in range(1, retries + 2):
        began = time.perf_counter()
        with errors_of.watch() as errors:
            try:
                result = call()
            except Exception as error:
                return Settled(None, attempt, f"{type(error).__name__}: {error}"), spent + time.perf_counter() - began
        spent += time.perf_counter() - began
        if not errors:
            return Settled(result, attempt), spent
        if attempt <= retries:
            # Growing pauses give an overloaded endpoint room; the jitter keeps the threads from retrying in step.
            sleep(pause * 2 ** (attempt - 1) * random.uniform(0.5, 1.5))
    return Settled(None, retries + 1, "; ".join(errors)), spent


def _quiet_progress_bars() -> None:
    """The extraction library draws a progress bar on stderr at every call; in a corpus run the driver draws one.

    The bar can only be switched off through an argument our extractors fix, so the library's factory for it is
    wrapped. A library without that factory is left as it is: its bars are noise, not a fault.
    """
    global _progress_quieted
    if _progress_quieted:
        return
    _progress_quieted = True
    try:
        from langextract import progress
    except ImportError:
        return
    original = getattr(progress, "create_extraction_progress_bar", None)
    if original is None:
        return

    @functools.wraps(original)
    def quiet(*args: Any, **kwargs: Any) -> Any:
        kwargs["disable"] = True
        return original(*args, **kwargs)

    progress.create_extraction_progress_bar = quiet
