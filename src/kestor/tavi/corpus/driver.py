"""The run command: the extractors over a whole corpus, on a Dask cluster, each input written exactly once.

`execute` takes the parsed command line (see cli): it checks the input, the configuration, the output directory,
the answer cache and the endpoint before anything starts, plans which part file each input goes to, submits the
tasks to the cluster, follows their progress, and ends with a summary counted from the part files. With
--estimate it stops after the checks and prints what the run would ask instead (see estimate).

A worker that meets a fault no wait cures (the quota used up, the key refused, no such model, an address that is no
model endpoint) says so at once; the driver then halts every worker's sends, and the run ends with what the
provider said and what to do.
"""

from __future__ import annotations

import argparse
import contextlib
import socket
import sys
import threading
import time
import urllib.parse
import urllib.request
import uuid
from collections import Counter
from collections.abc import Callable
from pathlib import Path
from typing import Any, TextIO, TypeVar

from . import output
from .asking.asker import Settled
from .asking.batches import BatchApiError, Directory, Provider
from .asking.cache import AnswerCache, default_path
from .asking.failures import ACCOUNT, AUTH, MODEL_NOT_FOUND, OTHER, QUOTA, keep_root_logger_quiet
from .asking.gate import SET_UP_INPUTS
from .asking.policy import RetryPolicy
from .asking.usage import Price, Usage, batch_price, batch_summary, summary
from .batch.rounds import BatchOptions, Rounds
from .cluster import RateShares, cluster_client, require_dask
from .config import RunConfig, Settings, load_config
from .estimate import estimate, tokenizer_for
from .exits import (
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_STOPPED,
    EXIT_USAGE,
    CacheFileError,
    ConfigError,
    SetupError,
    UsageError,
    unexpected,
)
from .extractors import build_extractors, extractor_classes, quiet_progress_bars, runner_classes
from .inputs import counted, id_key, load_inputs
from .interrupts import interrupts_held
from .modes import STEPS, process
from .planning import Task, TaskReport, plan, split
from .progress import Progress
from .worker import halt_run, run_task

SHOWN_FAILURES = 10
PARTITION_SIZE = 100
CONNECT_TIMEOUT = 5.0
STOP_WAIT = 10.0
"""The longest the driver waits, once interrupted, for running tasks to write what they have."""
LOCAL_TASKS_PER_WORKER = 4
"""Tasks a local worker runs at a time: its requests share one pool and one gate, so more cost nothing, and a task
held up by a slow call leaves the pool work from the others."""

T = TypeVar("T")


def execute(args: argparse.Namespace) -> int:
    """The run command; a `UsageError` out of it is a refusal before any input was asked."""
    keep_root_logger_quiet()
    price = Price(*args.price) if args.price else None
    run = Run(sys.stderr, not args.quiet, time.monotonic(), price)
    if args.batch:
        run.batch_price = batch_price(price, args.batch_price)
    try:
        return _run(args, run)
    except KeyboardInterrupt:
        run.interrupted = True
    return _once_asked(run.finish, args.verbose)


def _run(args: argparse.Namespace, run: Run) -> int:
    config = load_config(args.config, args.mode)
    records = load_inputs(args.input, args.mode)
    _check_extractors(config, args.config)
    existing = output.scan(args.output)
    record = config.record()
    output.check_record(args.output, record)
    cache = None if args.no_cache else Path(args.cache or default_path()).resolve()
    parts, already_done = plan(records, existing, args.partition_size)
    if args.estimate:
        return _estimate(config, parts, cache, run.batch_price if args.batch else run.price, args.batch)
    # Planned before the checks that wait (the endpoint's, up to seconds): an interrupt there is summed up whole.
    run.planned(args.output, parts, already_done)
    require_dask("corpus runs need")
    if not args.batch_files:  # answered from files, a run may ask nothing of the endpoint
        check_endpoint(config.model["base_url"])
    if cache is not None:
        # Opened (and made, if new) once here, so that a file the run cannot use stops it before it asks.
        _open_cache(cache).close()
    run.config_path, run.model = args.config, config.model
    Path(args.output).mkdir(parents=True, exist_ok=True)
    output.write_record(args.output, record)
    carried = None
    if parts and args.batch:
        assert cache is not None
        try:
            carried = _through_batches(args, run, config, cache, parts)
        except BatchApiError as error:
            run.batch_error = str(error)
            return _once_asked(run.finish, args.verbose)
    if parts:
        output.remove_leftovers(args.output)
        try:
            # A cluster that cannot serve the run is refused before any input is asked.
            with cluster_client(args.scheduler, args.workers, LOCAL_TASKS_PER_WORKER, args.verbose) as client:
                workers = len(client.nthreads())
                settings = Settings(
                    config,
                    str(Path(args.output).resolve()),
                    run=uuid.uuid4().hex[:12],
                    threads=args.threads,
                    call_timeout=args.call_timeout,
                    policy=RetryPolicy(args.retry_for, args.retries, args.retry_pause),
                    rate=args.rate,
                    workers=workers,
                    cache=None if cache is None else str(cache),
                    keep_text=args.keep_text,
                    carried=None if carried is None else str(carried),
                )
                tasks = split(parts, workers)
                status = _once_asked(lambda: run.submit(client, settings, tasks), args.verbose)
                if status is not None:
                    return status
        finally:
            # A local cluster's workers are gone by now, but tasks still running on a scheduler's workers after an
            # interrupt may hold a part's lock or be writing its temporary file: what they leave, the next run's
            # start removes.
            if not (args.scheduler and run.tasks_running()):
                output.remove_leftovers(args.output)
    return _once_asked(run.finish, args.verbose)


def _once_asked(step: Callable[[], T], verbose: bool) -> T | int:
    """Run a step of the run once inputs were asked: a `UsageError` there (a part file spoilt while the run wrote
    it) is unexpected, since the refusal's status would say that nothing was asked."""
    try:
        return step()
    except UsageError as error:
        return unexpected(error, verbose)


def _through_batches(
    args: argparse.Namespace, run: Run, config: RunConfig, cache: Path, parts: list[Task]
) -> Path | None:
    """The run's requests asked in batches before the run (see batch.rounds); the file of what the batches carried
    that the run's workers read, if there is any."""
    policy = RetryPolicy(args.retry_for, args.retries, args.retry_pause)
    exchange = Directory(args.batch_files) if args.batch_files else Provider(config.model, policy)
    options = BatchOptions(exchange, args.batch_poll, args.batch_max_bytes, args.batch_retry)
    answers = _open_cache(cache)
    try:
        out_dir = str(Path(args.output).resolve())
        rounds = Rounds(config.mode, config.model["base_url"], out_dir, answers, options, run.stream, run.show_progress)
        run.rounds = rounds
        quiet_progress_bars()
        extractors = build_extractors(config, runner_classes(args.call_timeout))
        carried = rounds.run(extractors, [record for part in parts for record in part.records])
    finally:
        answers.close()
    return rounds.store.write_carried(carried)


def _open_cache(path: Path) -> AnswerCache:
    try:
        return AnswerCache(path)
    except CacheFileError as error:
        named = "" if path == default_path().resolve() else f" --cache {path}"
        raise CacheFileError(
            f"{error}\nnothing was asked: run with --no-cache, give another --cache, or start the cache anew with "
            f"kestor-corpus cache --clear{named}",
            ours=error.ours,
        ) from None


def _estimate(config: RunConfig, parts: list[Task], cache: Path | None, price: Price | None, batch: bool) -> int:
    """What the run would ask, on stdout; nothing is sent, no cluster is started."""
    quiet_progress_bars()
    tokenizer = tokenizer_for(config.model["model"])
    answers = None if cache is None or not cache.exists() else _open_cache(cache)
    try:
        found = estimate(
            config,
            (record for part in parts for record in part.records),
            tokenizer,
            answers,
            lambda client_for: build_extractors(config, extractor_classes(lambda name, client: client_for(name))),
            lambda extractors, record: process(config.mode, extractors, record, lambda call: Settled(call(), 0)),
        )
    finally:
        if answers is not None:
            answers.close()
    print("\n".join(found.report(price, STEPS[config.mode] if batch else None)), flush=True)
    return EXIT_OK


def _check_extractors(config: RunConfig, where: str) -> None:
    # Building makes no request; what fails here would fail in every worker, after the cluster started.
    try:
        # Held: a KeyboardInterrupt in a library's constructor leaves a half-made object whose finaliser complains.
        with interrupts_held():
            build_extractors(config)
    except Exception as error:
        raise ConfigError(f"{where}: the extractors cannot be built from it: {type(error).__name__}: {error}") from None


def check_endpoint(base_url: str, timeout: float = CONNECT_TIMEOUT) -> None:
    """Refuse a run whose endpoint (or the proxy the client would go through) takes no TCP connection.

    No request is made: a model call would cost money and say nothing more about whether anything listens.
    """
    try:
        url = urllib.parse.urlsplit(base_url)
        port = url.port
    except ValueError as error:
        raise ConfigError(f"base_url {base_url!r} is not a URL: {error}") from None
    if url.scheme not in ("http", "https") or not url.hostname:
        raise ConfigError(f"base_url {base_url!r} is not an http:// or https:// URL")
    host, port = url.hostname, port or (443 if url.scheme == "https" else 80)
    through = ""
    proxy = urllib.request.getproxies().get(url.scheme)
    if proxy and not urllib.request.proxy_bypass(host):
        proxy_url = urllib.parse.urlsplit(proxy if "://" in proxy else f"http://{proxy}")
        if proxy_url.hostname:
            host, port = proxy_url.hostname, proxy_url.port or 80
            through = f" through the proxy {proxy}"
    try:
        socket.create_connection((host, port), timeout=timeout).close()
    except OSError as error:
        reason = error.strerror or str(error) or type(error).__name__
        raise SetupError(f"nothing answers at {base_url}{through}: no connection to {host}:{port} ({reason})") from None


class Run:
    """One run as the driver sees it: the progress of its tasks, and at the end what its inputs' lines say."""

    def __init__(self, stream: TextIO, show_progress: bool, began: float, price: Price | None = None) -> None:
        self.stream = stream
        self.show_progress = show_progress
        self.began = began
        self.price = price
        self.interrupted = False
        self.out_dir = ""
        self.parts: list[Task] = []
        self.already_done = 0
        self.is_planned = False
        self.progress = Progress(0, stream, False)
        self.reports: list[TaskReport] = []
        self.config_path = "CONFIG.json"
        self.model: dict[str, Any] = {}
        self.fault: dict[str, Any] | None = None
        """What a worker said when a fault no wait cures halted it: the run is stopped."""
        self.cache_errors: dict[str, tuple[int | None, str]] = {}
        """By worker: how often the answer cache failed there (None: it could not be opened), and the last error."""
        self.rounds: Rounds | None = None
        """The batches the run asked first, if it did."""
        self.batch_price: Price | None = None
        self.batch_error: str | None = None
        """Why the batches could not go on: what the provider's Batch API said."""
        self._lock = threading.Condition()
        self._running: set[str] = set()
        self._halt: Callable[[], None] = lambda: None

    def planned(self, out_dir: str, parts: list[Task], already_done: int) -> None:
        self.out_dir, self.parts, self.already_done = out_dir, parts, already_done
        self.is_planned = True
        self.progress = Progress(
            sum(len(part.records) for part in parts), self.stream, self.show_progress, price=self.price
        )

    def submit(self, client: Any, settings: Settings, tasks: list[Task]) -> None:
        from distributed import as_completed

        self.progress.began = time.monotonic()
        self._halt = lambda: _halt_workers(client, settings.run)
        client.subscribe_topic(settings.topic, self._on_event)
        # The run's task keys: the rate shares find the workers with work by them.
        prefix = f"corpus-{settings.run}-"
        # Also without --rate: a limit the provider states is shared among the workers with work too.
        shares = RateShares(client, settings.topic, prefix)
        futures = {
            client.submit(run_task, settings, task, key=f"{prefix}part{task.part:05d}-{n}", pure=False): task
            for n, task in enumerate(tasks)
        }
        try:
            for future in as_completed(futures):  # type: ignore[no-untyped-call]
                task = futures[future]
                try:
                    report = future.result()
                except Exception as error:
                    report = _record_lost(settings.out_dir, task, error)
                    self.progress.written((id_key(id_), "failed", None) for id_, _ in report.failed)
                self.reports.append(report)
        except KeyboardInterrupt:
            self.interrupted = True
            client.cancel(list(futures))
            self._wait_for_running_tasks()
            raise
        finally:
            shares.stop()
            client.unsubscribe_topic(settings.topic)

    def _on_event(self, event: tuple[float, dict[str, Any]]) -> None:
        message = event[1]
        if "fault" in message and self.fault is None:
            self.fault = message["fault"]
            self.progress.stop(str(self.fault.get("error_class")))
            # The handler runs on the client's event loop, which the call to the workers needs free.
            threading.Thread(target=self._halt, name="corpus-halt", daemon=True).start()
        with self._lock:
            if "started" in message:
                self._running.add(str(message["started"]))
            if "ended" in message:
                self._running.discard(str(message["ended"]))
                self._lock.notify_all()
        if "cache_errors" in message:
            self.cache_errors[str(message.get("worker", ""))] = message["cache_errors"]
        if "written" in message:
            self.progress.written((str(key), str(status), usage) for key, status, _, usage in message["written"])
            self.progress.observe(str(message.get("worker", "")), message)
            self.progress.draw()

    def tasks_running(self) -> bool:
        with self._lock:
            return bool(self._running)

    def _wait_for_running_tasks(self) -> None:
        deadline = time.monotonic() + STOP_WAIT
        with self._lock:
            while self._running and (left := deadline - time.monotonic()) > 0:
                self._lock.wait(left)

    def finish(self) -> int:
        """The summary from what the part files hold now, whatever the workers reported on the way."""
        self.progress.close()
        if self.interrupted and not self.is_planned:
            print(f"interrupted before the run began: nothing was asked in {time.monotonic() - self.began:.1f} s")
            return EXIT_INTERRUPTED
        found = output.outcomes(self.out_dir, (part.part for part in self.parts)) if self.parts else {}
        ok, failures, classes, usage = 0, [], Counter[str](), Usage()
        for part in self.parts:
            for record in part.records:
                outcome = found.get(id_key(record["id"]))
                if outcome is None:
                    continue
                usage.add(outcome.usage)
                if outcome.status == "ok":
                    ok += 1
                elif outcome.status == "failed":
                    failures.append((record["id"], outcome.error))
                    classes[outcome.error_class or OTHER] += 1
        missing = sum(len(part.records) for part in self.parts) - ok - len(failures)
        for id_, error in failures[:SHOWN_FAILURES]:
            print(f"failed: id {id_key(id_)}: {error}", file=self.stream)
        if len(failures) > SHOWN_FAILURES:
            print(
                f'failed: {len(failures) - SHOWN_FAILURES} more, each on a line with status "failed"',
                file=self.stream,
            )
        for worker, (count, error) in sorted(self.cache_errors.items()):
            problem = "could not open the answer cache" if count is None else f"the answer cache failed {count} times"
            print(
                f"warning: worker {worker}: {problem} ({error}): those calls were asked of the model", file=self.stream
            )
        if self.parts:
            print(summary(usage, self.price), flush=True)
        if self.rounds is not None:
            self._batches_said()
        by_class = f" ({', '.join(f'{count} {name}' for name, count in classes.most_common())})" if classes else ""
        not_done = f", {missing} not done" if missing else ""
        seconds = time.monotonic() - self.began
        print(
            f"{'interrupted: ' if self.interrupted else ''}{ok} ok, {len(failures)} failed{by_class}, "
            f"{self.already_done} already done{not_done} in {seconds:.1f} s",
            flush=True,
        )
        if self.batch_error is not None:
            print(f"error: {self.batch_error}", file=sys.stderr, flush=True)
            return EXIT_STOPPED
        if self.fault is not None:
            print(f"error: {self.fault_line(missing)}", file=sys.stderr, flush=True)
            if self.fault["error_class"] not in ACCOUNT and not ok:
                return EXIT_USAGE
            return EXIT_STOPPED
        if self.interrupted:
            return EXIT_INTERRUPTED
        return EXIT_FAILED if failures or missing else EXIT_OK

    def _batches_said(self) -> None:
        """What came through batches, and what of them is still out."""
        assert self.rounds is not None
        report = self.rounds.report
        if report.batches:
            print(batch_summary(report.usage, report.batches, report.rounds, self.batch_price), flush=True)
        if report.failed or report.live:
            print(
                f"batches: {counted(report.failed, 'request')} failed for good, failing their inputs; "
                f"{counted(report.live, 'request')} went to the run to be asked live",
                flush=True,
            )
        out = self.rounds.out()
        if out:
            print(
                f"{len(out):,} batch{'' if len(out) == 1 else 'es'} still out "
                f"({', '.join(batch.batch_id or batch.name for batch in out[:5])}{', ...' if len(out) > 5 else ''}): "
                f"their records are in {self.rounds.store.directory}; the same command again takes their answers in",
                file=self.stream,
                flush=True,
            )

    def fault_line(self, missing: int) -> str:
        """What stopped the run, in one line: what the provider said, where, and what to do."""
        fault, model, config = self.fault or {}, self.model, self.config_path
        said, request, error_class = fault.get("said", ""), fault.get("request", ""), fault.get("error_class")
        where = f"base_url {model.get('base_url')}, model {model.get('model')}"
        if error_class == QUOTA:
            what, todo = "the quota or credit is used up", "add credit or raise the quota"
        elif error_class == AUTH:
            what = "the provider refused the key"
            todo = (
                f'check "api_key" (or the variable "api_key_env" names) in {config} and that the key may use this model'
            )
        elif error_class == MODEL_NOT_FOUND:
            what, todo = f"the provider has no model {model.get('model')!r}", f'check "model" in {config}'
        else:
            return (
                f"{request or model.get('base_url')} answered each of the first {SET_UP_INPUTS} inputs with {said} "
                f'and nothing else: no chat model endpoint is there; check "base_url" in {config}'
            )
        rerun = (
            f", then run the same command again: it asks the {counted(missing, 'input')} not done" if missing else ""
        )
        return f"{what}: {said} ({where}); {todo}{rerun}"


def _halt_workers(client: Any, run: str) -> None:
    """Halt every worker's sends for the run, in the worker processes that join later too: a task queued for one of
    them would otherwise send a request per thread before its own first refusal. A plugin of the cluster does both;
    named by the run, it stays with a cluster that outlives the run, at the cost of one run id in each worker."""
    from distributed import WorkerPlugin

    class HaltRun(WorkerPlugin):
        def setup(self, worker: Any) -> None:
            halt_run(run)

    with contextlib.suppress(Exception):
        client.register_plugin(HaltRun(), name=f"kestor-corpus-halt-{run}")


def _record_lost(out_dir: str, task: Task, error: BaseException) -> TaskReport:
    """A task that failed (its workers kept dying, say): its inputs go in as failed, unless a worker wrote them
    before it was lost."""
    present = output.statuses_in(output.part_path(out_dir, task.part))
    message = f"its task failed: {type(error).__name__}: {error}"
    report = TaskReport(task.part)
    lines = {}
    for record in task.records:
        key = id_key(record["id"])
        if present.get(key) == "ok":
            report.ok += 1
        else:
            lines[key] = output.line(record["id"], "failed", None, 0, message, OTHER, date=record.get("date"))
            report.failed.append((record["id"], message))
    if lines:
        output.write_part(out_dir, task.part, lines, task.order)
    return report
