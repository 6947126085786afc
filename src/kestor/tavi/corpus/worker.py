"""The task a worker process runs: its inputs through the extractors, their answers into the part file as they come.

An extractor holds an HTTP client and cannot be pickled, so each worker process builds its extractors once per
configuration and shares them, with one thread pool, among every task it runs. Each run has its own asker in the
process, whose gate every model request of the run's tasks passes that the answer cache does not answer (see
asking); the process opens the cache file once.

A task writes what has finished at most FLUSH_EVERY seconds after it finished, whatever its slowest call is doing,
and tells the driver (through the scheduler's event log) what it wrote and how the requests fare. When its future
is cancelled (the run was interrupted, or its driver went away), it writes what it has and ends; calls still in
flight are dropped.

A fault that no wait cures (see asking.gate) halts the worker's gate at once; the task tells the driver what the
provider said, and the driver halts every other worker's (`halt_run`). The inputs not yet asked are then dropped
unwritten, so that a rerun asks them; those answered are written.
"""

from __future__ import annotations

import functools
import queue
import threading
import time
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import replace
from typing import Any

from . import output
from .asking.asker import Asker, Settled
from .asking.cache import AnswerCache
from .asking.failures import OTHER, keep_root_logger_quiet
from .asking.gate import TICK, Abandoned, Account, Gate
from .asking.sharing import Sharing
from .asking.usage import Usage
from .batch.store import read_carried
from .cluster import SHARE_EVERY, Liaison
from .config import Settings
from .exits import CacheFileError
from .extractors import build_extractors, quiet_progress_bars, runner_classes
from .inputs import Record, id_key
from .modes import process
from .planning import Task, TaskReport

FLUSH_EVERY = 1.0
REPORT_EVERY = 0.5
FORGET_AFTER = 600.0
"""A run's state in a worker process outlives its last running task this long: long enough for a gap between two
tasks."""
STOPPED = "stopped"
"""Why a gate halts when the driver halts the run: another worker met a fault that no wait cures."""


class RunState:
    """One run in one worker process: its asker (its gate), and what its tasks wrote since the driver last heard."""

    def __init__(self, settings: Settings, sharing: Sharing | None, cache_problem: str | None = None) -> None:
        self.settings = settings
        self.sharing = sharing
        self.cache_problem = cache_problem
        """Why this process asks without the cache the run named, if it does."""
        ceiling = settings.rate / max(settings.workers, 1) if settings.rate is not None else None
        self.gate = Gate(
            settings.threads,
            ceiling=ceiling,
            first_probe_pause=settings.policy.first_pause,
            sharing=settings.workers,
        )
        carried = read_carried(settings.carried) if settings.carried is not None else None
        self.asker = Asker(settings.policy, self.gate, sharing, carried)
        self.used_at = time.monotonic()
        self.tasks = 0
        """Tasks of the run running in this process: while there are any, its gate stays the one they share."""
        self._lock = threading.Lock()
        self._written: list[tuple[str, str, str | None, dict[str, int] | None]] = []
        self._reported_at = -float("inf")
        self._shared_at = time.monotonic()
        self._fault_told = False

    def wrote(self, outcomes: list[tuple[str, str, str | None, dict[str, int] | None]]) -> None:
        with self._lock:
            self._written.extend(outcomes)

    def tick(self, liaison: Liaison, now: float, *, last: bool = False) -> None:
        """Tell the driver what was written and how the requests fare, and at once what halted the gate; take up a
        new share of the rate. The last tick of a task also says that it ended: nothing of it writes any more."""
        with self._lock:
            fault = self.gate.fault if not self._fault_told else None
            if not last and fault is None and now - self._reported_at < REPORT_EVERY:
                return
            self._fault_told |= fault is not None
            self._reported_at = now
            written, self._written = self._written, []
            shared = self.settings.rate is not None or self.gate.states_limit
            share_due = shared and now - self._shared_at >= SHARE_EVERY
            if share_due:
                self._shared_at = now
        message: dict[str, Any] = {"written": written, **self.gate.stats()}
        if fault is not None:
            message["fault"] = fault
        if self.sharing is not None and self.sharing.errors:
            message["cache_errors"] = (self.sharing.errors, self.sharing.last_error)
        elif self.cache_problem is not None:
            message["cache_errors"] = (None, self.cache_problem)
        if last:
            message["ended"] = liaison.key
        liaison.send(self.settings.topic, message)
        workers = liaison.workers_with_work(self.settings.topic) if share_due else None
        if workers is not None:
            sharing = len(workers | {liaison.address})
            self.gate.set_sharing(sharing)
            if self.settings.rate is not None:
                self.gate.set_ceiling(self.settings.rate / sharing)


_lock = threading.Lock()
_extractors: dict[tuple[str, float], dict[str, Any]] = {}
_sharing: dict[str, Sharing | str] = {}
"""By cache file: the process's sharing of it, or why it cannot be opened here."""
_pools: dict[int, ThreadPoolExecutor] = {}
_runs: dict[str, RunState] = {}
_halted: set[str] = set()


def halt_run(run: str) -> None:
    """Send nothing more for this run from this process, now or later (the driver calls it on every worker)."""
    with _lock:
        _halted.add(run)
        state = _runs.get(run)
    if state is not None:
        state.gate.halt(STOPPED)


def run_task(settings: Settings, task: Task) -> TaskReport:
    began = time.perf_counter()
    extractors, pool, state = _process_state(settings)
    try:
        return _run_task(settings, task, extractors, pool, state, time.perf_counter() - began)
    finally:
        _task_ended(state)


def _run_task(
    settings: Settings,
    task: Task,
    extractors: dict[str, Any],
    pool: ThreadPoolExecutor,
    state: RunState,
    set_up_seconds: float,
) -> TaskReport:
    report = TaskReport(task.part, set_up_seconds=set_up_seconds)
    liaison = Liaison.of_this_task()
    if liaison is not None:
        liaison.send(settings.topic, {"started": liaison.key})
    # A task redone after its worker died does not ask again for what the lost attempt wrote.
    written = output.statuses_in(output.part_path(settings.out_dir, task.part))
    records = [record for record in task.records if written.get(id_key(record["id"])) != "ok"]
    report.ok = len(task.records) - len(records)
    stopped = threading.Event()
    work = functools.partial(_settle_record, settings, state.asker, extractors, stopped)
    # Finished calls queue up here: a wait on all the pending futures would cost the task their number each time.
    finished: queue.SimpleQueue[Future[Settled]] = queue.SimpleQueue()
    futures: dict[Future[Settled], Record] = {}
    for record in records:
        future = pool.submit(work, record)
        futures[future] = record
        future.add_done_callback(finished.put)
    pending = len(futures)
    unwritten: dict[str, str] = {}
    outcomes: list[tuple[str, str, str | None, dict[str, int] | None]] = []
    flushed_at = time.monotonic()

    def flush() -> None:
        nonlocal unwritten, outcomes, flushed_at
        if unwritten:
            output.write_part(settings.out_dir, task.part, unwritten, task.order)
            state.wrote(outcomes)
        unwritten, outcomes, flushed_at = {}, [], time.monotonic()

    try:
        while pending:
            for future in _drain(finished, TICK):
                pending -= 1
                record = futures[future]
                try:
                    settled = future.result()
                except Abandoned:
                    continue
                key = id_key(record["id"])
                status = "failed" if settled.error is not None else "ok"
                unwritten[key] = output.line(
                    record["id"],
                    status,
                    settled.result,
                    settled.attempts,
                    settled.error,
                    settled.error_class,
                    settled.usage,
                    record.get("date"),
                    record["text"][: settings.keep_text] if settings.keep_text and "text" in record else None,
                )
                outcomes.append((key, status, settled.error_class, settled.usage))
                if settled.error is None:
                    report.ok += 1
                else:
                    report.failed.append((record["id"], settled.error))
            if liaison is not None and liaison.cancelled():
                break
            now = time.monotonic()
            if now - flushed_at >= FLUSH_EVERY:
                flush()
            if liaison is not None:
                state.tick(liaison, now)
    finally:
        stopped.set()
        state.gate.wake()
        for future in futures:
            future.cancel()
        flush()
        if state.sharing is not None:
            state.sharing.flush()
    if liaison is not None:
        state.tick(liaison, time.monotonic(), last=True)
    return report


def _drain(finished: queue.SimpleQueue[Future[Settled]], timeout: float) -> list[Future[Settled]]:
    """What finished, waiting up to `timeout` for the first."""
    try:
        done = [finished.get(timeout=timeout)]
    except queue.Empty:
        return []
    while True:
        try:
            done.append(finished.get_nowait())
        except queue.Empty:
            return done


def _process_state(settings: Settings) -> tuple[dict[str, Any], ThreadPoolExecutor, RunState]:
    with _lock:
        key = (settings.config.cache_key(), settings.call_timeout)
        if key not in _extractors:
            keep_root_logger_quiet()
            quiet_progress_bars()
            _extractors[key] = build_extractors(settings.config, runner_classes(settings.call_timeout))
        if settings.cache is not None and settings.cache not in _sharing:
            try:
                _sharing[settings.cache] = Sharing(AnswerCache(settings.cache))
            except CacheFileError as error:
                # The driver opened it; a worker of another machine may not reach the same path.
                _sharing[settings.cache] = str(error)
        if settings.threads not in _pools:
            _pools[settings.threads] = ThreadPoolExecutor(settings.threads, thread_name_prefix="corpus-call")
        now = time.monotonic()
        for run, old in list(_runs.items()):
            if old.tasks == 0 and now - old.used_at > FORGET_AFTER:
                del _runs[run]
        state = _runs.get(settings.run)
        if state is None:
            sharing = _sharing.get(settings.cache) if settings.cache is not None else None
            if isinstance(sharing, str):
                state = RunState(settings, None, cache_problem=sharing)
            else:
                state = RunState(settings, sharing)
            _runs[settings.run] = state
            if settings.run in _halted:
                state.gate.halt(STOPPED)
        state.tasks += 1
        return _extractors[key], _pools[settings.threads], state


def _task_ended(state: RunState) -> None:
    with _lock:
        state.tasks -= 1
        state.used_at = time.monotonic()


def _settle_record(
    settings: Settings, asker: Asker, extractors: dict[str, Any], stopped: threading.Event, record: Record
) -> Settled:
    account, usage = Account(stopped), Usage()
    settle_call = functools.partial(asker.settle, account, usage)
    try:
        settled = process(settings.config.mode, extractors, record, settle_call)
    except Exception as error:
        # The input alone fails: the others of its task are still asked and written.
        return Settled(None, account.requests, f"{type(error).__name__}: {error}", OTHER, usage.as_dict())
    return replace(settled, attempts=account.requests, usage=usage.as_dict())
