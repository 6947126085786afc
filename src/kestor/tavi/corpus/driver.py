"""kestor-corpus: the extractors over a whole corpus, on a Dask cluster, each input written exactly once.

    kestor-corpus {causara,linqor,force,articles} --config CONFIG.json --input INPUT.jsonl --output OUT_DIR
        [--scheduler ADDRESS | --workers N] [--threads N] [--rate R] [--call-timeout SECONDS]
        [--retry-for SECONDS] [--retries N] [--retry-pause SECONDS] [--partition-size N]
        [--cache PATH | --no-cache] [--price IN OUT] [--estimate] [--quiet] [--verbose] [--version]
    kestor-corpus graph OUT_DIR --output GRAPH_DIR ...   (the corpus's event graph: kestor-corpus graph --help)
    kestor-corpus cache [--cache PATH] [--clear]          (the answer cache: its size, and clearing it)

`kestor-corpus --help` gives every option's default and the exit statuses.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.metadata
import logging
import os
import signal
import socket
import sys
import threading
import time
import urllib.parse
import urllib.request
import uuid
from collections import Counter
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, NoReturn, TextIO

from . import output
from .answers import AnswerCache, CacheFileError, default_path
from .cache_command import add_cache_argument
from .config import KINDS, ConfigError, RunConfig, load_config
from .exits import EXIT_ERROR, EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_REFUSED, unexpected
from .failures import OTHER, keep_root_logger_quiet
from .inputs import InputError, id_key, load_inputs
from .planning import Task, plan, split
from .progress import Progress
from .retry import CAP, FIRST_PAUSE, RETRY_FOR, RetryPolicy
from .usage import Price, Usage, summary
from .worker import CALL_TIMEOUT, SHARE_EVERY, THREADS, Settings, TaskReport, run_task

DISTRIBUTION = "kestor-tavi-extractor"
INSTALL_HINT = f"pip install '{DISTRIBUTION}[corpus]'"
SHOWN_FAILURES = 10
EXIT_STATUSES = (
    (EXIT_OK, "every input is ok"),
    (EXIT_FAILED, "some inputs failed: their lines say why, and a rerun asks them again"),
    (EXIT_REFUSED, "bad input, configuration or set-up (an endpoint that takes no connections): nothing was asked"),
    (EXIT_ERROR, "an unexpected error (its traceback with --verbose)"),
    (EXIT_INTERRUPTED, "interrupted (Ctrl-C or SIGTERM; a second one ends at once): a rerun picks up what is on disk"),
)
PARTITION_SIZE = 100
CONNECT_TIMEOUT = 5.0
STOP_WAIT = 10.0
"""The longest the driver waits, once interrupted, for running tasks to write what they have."""
LOCAL_TASKS_PER_WORKER = 4
"""Tasks a local worker runs at a time: its requests share one pool and one gate, so more cost nothing, and a task
held up by a slow call leaves the pool work from the others."""


# Passed to the interpreters multiprocessing starts (the resource tracker among them) as their -W option.
_TRACKER_QUIET = "ignore::UserWarning:multiprocessing.resource_tracker"


class Refused(Exception):
    """A run that cannot start; the message says why."""


def main(argv: Sequence[str] | None = None) -> int:
    arguments = sys.argv[1:] if argv is None else list(argv)
    if arguments[:1] == ["graph"]:
        from .graph import main as graph_main

        return graph_main(arguments[1:])
    if arguments[:1] == ["cache"]:
        from .cache_command import main as cache_main

        return cache_main(arguments[1:])
    args = _parser().parse_args(arguments)
    keep_root_logger_quiet()
    run = Run(sys.stderr, not args.quiet, time.monotonic(), Price(*args.price) if args.price else None)
    with handling_signals():
        try:
            return _run(args, run)
        except KeyboardInterrupt:
            run.interrupted = True
        except Exception as error:
            return unexpected(error, args.verbose)
        try:
            return run.finish()
        except Exception as error:
            return unexpected(error, args.verbose)


def _run(args: argparse.Namespace, run: Run) -> int:
    try:
        config = load_config(args.config, args.mode)
        records = load_inputs(args.input, args.mode)
        _check_extractors(config, args.config)
        existing = output.scan(args.output)
        cache = None if args.no_cache else Path(args.cache or default_path()).resolve()
        if args.estimate:
            return _estimate(config, plan(records, existing, args.partition_size)[0], cache, run.price)
        _import_dask()
        check_endpoint(config.model["base_url"])
        if cache is not None:
            # Opened (and made, if new) once here, so that a file the run cannot use stops it before it asks.
            AnswerCache(cache).close()
    except (ConfigError, InputError, output.OutputError, Refused) as error:
        print(f"error: {error}".replace("\n", "\nerror: "), file=sys.stderr)
        return EXIT_REFUSED
    except CacheFileError as error:
        print(f"error: {error}", file=sys.stderr)
        print(
            "error: nothing was asked: run with --no-cache, give another --cache, or start the cache anew with "
            f"kestor-corpus cache --clear{'' if args.cache is None else f' --cache {args.cache}'}",
            file=sys.stderr,
        )
        return EXIT_REFUSED
    parts, already_done = plan(records, existing, args.partition_size)
    run.planned(args.output, parts, already_done)
    if parts:
        Path(args.output).mkdir(parents=True, exist_ok=True)
        output.remove_leftovers(args.output)
        try:
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
                )
                run.submit(client, settings, split(parts, workers))
        except Refused as error:
            print(f"error: {error}", file=sys.stderr)
            return EXIT_REFUSED
        finally:
            # A local cluster's workers are gone by now, but tasks still running on a scheduler's workers after an
            # interrupt may hold a part's lock or be writing its temporary file: what they leave, the next run's
            # start removes.
            if not (args.scheduler and run.tasks_running()):
                output.remove_leftovers(args.output)
    return run.finish()


def _parser() -> argparse.ArgumentParser:
    statuses = "\n".join(f"  {status:<4} {meaning}" for status, meaning in EXIT_STATUSES)
    summary = __doc__.split("\n")[0].split(": ", 1)[1]
    parser = argparse.ArgumentParser(
        prog="kestor-corpus",
        description=summary[0].upper() + summary[1:],
        epilog=f"exit status:\n{statuses}\n\nkestor-corpus graph OUT_DIR --output GRAPH_DIR merges a run's output into "
        "the corpus's event graph (kestor-corpus graph --help).",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "mode",
        choices=KINDS,
        help="the extractor to run, or articles: causal relations, their "
        "event graph and its force word for each article",
    )
    parser.add_argument("--config", required=True, metavar="CONFIG.json", help="model endpoint, prompts, examples")
    parser.add_argument(
        "--input",
        required=True,
        metavar="INPUT.jsonl",
        help="one JSON object per line with a unique id (.parquet also read, with pyarrow)",
    )
    parser.add_argument("--output", required=True, metavar="OUT_DIR", help="directory of part-NNNNN.jsonl files")
    add_cluster_arguments(parser)
    parser.add_argument(
        "--threads",
        type=whole_number(1),
        default=THREADS,
        help="most model calls in flight per worker (default: %(default)s)",
    )
    parser.add_argument(
        "--rate",
        type=_number(above=0.0),
        metavar="R",
        help="at most R requests per second over all workers together (default: no limit; each worker finds the "
        "rate the provider takes from its 429s)",
    )
    parser.add_argument(
        "--call-timeout",
        type=_number(above=0.0),
        default=CALL_TIMEOUT,
        metavar="SECONDS",
        help="a request the server does not answer ends after this long, to be retried (default: %(default)g)",
    )
    parser.add_argument(
        "--retry-for",
        type=_number(),
        default=RETRY_FOR,
        metavar="SECONDS",
        help="an input is asked again until this long after its first attempt, time the endpoint was down not "
        "counted up to this long again (default: %(default)g)",
    )
    parser.add_argument(
        "--retries",
        type=whole_number(0),
        metavar="N",
        help="at most N retries of a model call (default: as many as --retry-for allows)",
    )
    parser.add_argument(
        "--retry-pause",
        type=_number(),
        default=FIRST_PAUSE,
        metavar="SECONDS",
        help=f"the first retry waits up to this long, each further one up to twice as long, to at most {CAP:g} s, "
        "unless the server names a wait (default: %(default)g)",
    )
    parser.add_argument(
        "--partition-size",
        type=whole_number(1),
        default=PARTITION_SIZE,
        metavar="N",
        help="inputs per part file (default: %(default)s)",
    )
    caching = parser.add_mutually_exclusive_group()
    add_cache_argument(caching)
    caching.add_argument(
        "--no-cache", action="store_true", help="ask every call of the model, and keep no answer (default: cached)"
    )
    parser.add_argument(
        "--price",
        nargs=2,
        type=_number(),
        metavar=("IN", "OUT"),
        help="the model's price per million prompt (input) and completion (output) tokens: the summary and "
        "--estimate add the cost",
    )
    parser.add_argument(
        "--estimate",
        action="store_true",
        help="ask nothing: print the calls and tokens the run would ask for the inputs not yet done, what the "
        "cache already holds, and the cost at --price",
    )
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    parser.add_argument(
        "--verbose", action="store_true", help="the traceback of an unexpected error, and Dask's warnings"
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    return parser


def _version() -> str:
    try:
        return importlib.metadata.version(DISTRIBUTION)
    except importlib.metadata.PackageNotFoundError:
        return "(not installed)"


def add_cluster_arguments(parser: argparse.ArgumentParser) -> None:
    """Where the work runs: --scheduler ADDRESS or --workers N."""
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler, e.g. tcp://host:8786")
    where.add_argument(
        "--workers",
        type=whole_number(1),
        metavar="N",
        default=os.cpu_count() or 1,
        help="worker processes of a local cluster (default: the number of cores, %(default)s here)",
    )


def whole_number(least: int) -> Any:
    """An argument type: a whole number of at least `least`."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}")
        return value

    return parse


def _number(above: float | None = None) -> Any:
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if value != value or value == float("inf"):
            raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
        if above is not None and not value > above:
            raise argparse.ArgumentTypeError(f"must be more than {above:g}")
        if not value >= 0:
            raise argparse.ArgumentTypeError("must be zero or more")
        return value

    return parse


def _estimate(config: RunConfig, parts: list[Task], cache: Path | None, price: Price | None) -> int:
    """What the run would ask, on stdout; nothing is sent, no cluster is started."""
    from .estimate import EstimateError, estimate, tokenizer_for
    from .modes import Settled, build_extractors, process
    from .sending import extractor_classes
    from .worker import quiet_progress_bars

    quiet_progress_bars()
    try:
        tokenizer = tokenizer_for(config.model["model"])
    except EstimateError as error:
        raise Refused(str(error)) from None
    answers = None if cache is None or not cache.exists() else AnswerCache(cache)
    try:
        found = estimate(
            config,
            (record for part in parts for record in part.records),
            tokenizer,
            answers,
            lambda client_for: build_extractors(config, extractor_classes(lambda name, client: client_for(name))),
            lambda extractors, record: process(config.kind, extractors, record, lambda call: Settled(call(), 0)),
        )
    finally:
        if answers is not None:
            answers.close()
    print("\n".join(found.report(price)), flush=True)
    return EXIT_OK


def _check_extractors(config: RunConfig, where: str) -> None:
    # Building makes no request; what fails here would fail in every worker, after the cluster started.
    from .modes import build_extractors

    try:
        build_extractors(config)
    except Exception as error:
        raise ConfigError(f"{where}: the extractors cannot be built from it: {type(error).__name__}: {error}") from None


def _import_dask() -> None:
    try:
        import distributed  # noqa: F401
    except ImportError as error:
        raise Refused(f"corpus runs need Dask distributed, which is not installed ({error}): {INSTALL_HINT}") from None


def check_endpoint(base_url: str, timeout: float = CONNECT_TIMEOUT) -> None:
    """Refuse a run whose endpoint (or the proxy the client would go through) takes no TCP connection.

    No request is made: a model call would cost money and say nothing more about whether anything listens.
    """
    try:
        url = urllib.parse.urlsplit(base_url)
        port = url.port
    except ValueError as error:
        raise Refused(f"base_url {base_url!r} is not a URL: {error}") from None
    if url.scheme not in ("http", "https") or not url.hostname:
        raise Refused(f"base_url {base_url!r} is not an http:// or https:// URL")
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
        raise Refused(f"nothing answers at {base_url}{through}: no connection to {host}:{port} ({reason})") from None


@contextlib.contextmanager
def cluster_client(scheduler: str | None, workers: int | None, threads_per_worker: int, verbose: bool) -> Iterator[Any]:
    """A client of the scheduler at `scheduler`, or of a local cluster of `workers` processes whose workers leave
    Ctrl-C to this process; Dask's own log lines shown only when `verbose`. Refused when no worker has the
    package."""
    from distributed import Client, LocalCluster

    with contextlib.ExitStack() as stack:
        stack.enter_context(_quiet_dask(verbose))
        if scheduler:
            try:
                client = stack.enter_context(Client(scheduler, timeout="30s"))  # type: ignore[no-untyped-call]
            except OSError as error:
                raise Refused(f"cannot reach the scheduler at {scheduler}: {error}") from None
        else:
            # Ended at once by a second signal, the driver leaves multiprocessing's resource tracker to find the
            # workers' semaphores, and it would warn about them on the terminal after the driver's last line.
            if _TRACKER_QUIET not in sys.warnoptions:
                sys.warnoptions.append(_TRACKER_QUIET)
            # The dashboard (if Dask has one to show) on a free port: the fixed default would clash between runs on
            # one machine, and leaving the address out does not switch it off.
            with _workers_ignore_interrupts():
                cluster = stack.enter_context(
                    LocalCluster(  # type: ignore[no-untyped-call]
                        n_workers=workers,
                        threads_per_worker=threads_per_worker,
                        processes=True,
                        dashboard_address=":0",
                        silence_logs=logging.WARNING if verbose else logging.CRITICAL,
                    )
                )
            client = stack.enter_context(Client(cluster))  # type: ignore[no-untyped-call]
            _keep_interrupts_from_workers(client)
        _check_workers(client)
        yield client


@contextlib.contextmanager
def _workers_ignore_interrupts() -> Iterator[None]:
    """A Ctrl-C at the terminal goes to every process of its group: the local workers would each print their own
    traceback and die under their tasks. Ignored while they start, it stays ignored in them (a disposition to
    ignore a signal survives exec), and the driver, which is interrupted, shuts them down. The price: a Ctrl-C in
    the second or two the cluster takes to start is not seen."""
    try:
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    except ValueError:  # not the main thread: leave signals to the host
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def _keep_interrupts_from_workers(client: Any) -> None:
    """A local worker started again after it died is started from the driver's own handler, which it does not
    inherit: it would take a Ctrl-C for itself. Each one ignores it from its start instead."""
    from distributed import WorkerPlugin

    class IgnoreInterrupts(WorkerPlugin):
        def setup(self, worker: Any) -> None:
            with contextlib.suppress(ValueError):  # not the worker process's main thread: nothing to do there
                signal.signal(signal.SIGINT, signal.SIG_IGN)

    client.register_plugin(IgnoreInterrupts(), name="kestor-corpus-ignore-interrupts")


@contextlib.contextmanager
def _quiet_dask(verbose: bool) -> Iterator[None]:
    """Dask's own log lines (a worker's warnings, tasks cancelled at shutdown) say nothing the run does not."""
    logger = logging.getLogger("distributed")
    level = logger.level
    if not verbose:
        logger.setLevel(logging.CRITICAL)
    try:
        yield
    finally:
        logger.setLevel(level)


def _check_workers(client: Any) -> None:
    ours = importlib.metadata.version(DISTRIBUTION)
    versions = client.run(importlib.metadata.version, DISTRIBUTION, on_error="return")
    if not versions:
        raise Refused("the cluster has no workers")
    for address, version in sorted(versions.items()):
        if isinstance(version, BaseException):
            raise Refused(f"worker {address} does not have {DISTRIBUTION} installed: {INSTALL_HINT} on every worker")
        if version != ours:
            print(f"warning: worker {address} has {DISTRIBUTION} {version}, this driver {ours}", file=sys.stderr)


@contextlib.contextmanager
def handling_signals() -> Iterator[None]:
    """Ctrl-C and SIGTERM interrupt the run, which then shuts its cluster down and counts what is on disk; a second
    one while it does ends the process at once (what is on disk stays whole: every write is a rename)."""

    def at_once(signum: int, frame: Any) -> NoReturn:
        print("\ninterrupted again: stopped at once; a rerun picks up what is on disk", file=sys.stderr, flush=True)
        os._exit(EXIT_INTERRUPTED)

    def interrupt(signum: int, frame: Any) -> NoReturn:
        signal.signal(signal.SIGINT, at_once)
        signal.signal(signal.SIGTERM, at_once)
        raise KeyboardInterrupt

    try:
        previous = signal.signal(signal.SIGINT, interrupt), signal.signal(signal.SIGTERM, interrupt)
    except ValueError:  # not the main thread: leave signals to the host
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous[0])
        signal.signal(signal.SIGTERM, previous[1])


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
        self.progress = Progress(0, stream, False)
        self.reports: list[TaskReport] = []
        self.cache_errors: dict[str, tuple[int | None, str]] = {}
        """By worker: how often the answer cache failed there (None: it could not be opened), and the last error."""
        self._lock = threading.Condition()
        self._running: set[str] = set()

    def planned(self, out_dir: str, parts: list[Task], already_done: int) -> None:
        self.out_dir, self.parts, self.already_done = out_dir, parts, already_done
        self.progress = Progress(
            sum(len(part.records) for part in parts), self.stream, self.show_progress, price=self.price
        )

    def submit(self, client: Any, settings: Settings, tasks: list[Task]) -> None:
        from distributed import Variable, as_completed

        self.progress.began = time.monotonic()
        client.subscribe_topic(settings.topic, self._on_event)
        shares = None
        if settings.rate is not None:
            variable = Variable(settings.topic, client=client)  # type: ignore[no-untyped-call]
            shares = _Shares(client, variable, f"corpus-{settings.run}-")
        futures = {
            client.submit(
                run_task, settings, task, key=f"corpus-{settings.run}-part{task.part:05d}-{n}", pure=False
            ): task
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
            if shares is not None:
                shares.stop()
            client.unsubscribe_topic(settings.topic)

    def _on_event(self, event: tuple[float, dict[str, Any]]) -> None:
        message = event[1]
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
        by_class = f" ({', '.join(f'{count} {name}' for name, count in classes.most_common())})" if classes else ""
        not_done = f", {missing} not done" if missing else ""
        seconds = time.monotonic() - self.began
        print(
            f"{'interrupted: ' if self.interrupted else ''}{ok} ok, {len(failures)} failed{by_class}, "
            f"{self.already_done} already done{not_done} in {seconds:.1f} s",
            flush=True,
        )
        if self.interrupted:
            return EXIT_INTERRUPTED
        return EXIT_FAILED if failures or missing else EXIT_OK


class _Shares:
    """Says which workers have tasks of the run, so that each takes its share of `--rate` and a worker without
    work leaves its share to the others."""

    def __init__(self, client: Any, variable: Any, prefix: str) -> None:
        self.client, self.variable, self.prefix = client, variable, prefix
        self._stopped = threading.Event()
        # Every worker has work at first; a worker that asks before this is set keeps the share it started with.
        self._sent: list[str] | None = sorted(client.nthreads())
        variable.set(self._sent)
        self._thread = threading.Thread(target=self._loop, name="corpus-shares", daemon=True)
        self._thread.start()

    def _loop(self) -> None:
        while not self._stopped.wait(SHARE_EVERY):
            with contextlib.suppress(Exception):  # a slow scheduler: the shares stay as they were a moment longer
                busy = sorted(
                    worker
                    for worker, keys in self.client.processing().items()
                    if any(str(key).startswith(self.prefix) for key in keys)
                )
                if busy and busy != self._sent:
                    self.variable.set(busy)
                    self._sent = busy

    def stop(self) -> None:
        self._stopped.set()


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
            lines[key] = output.line(record["id"], "failed", None, 0, message, OTHER)
            report.failed.append((record["id"], message))
    if lines:
        output.write_part(out_dir, task.part, lines, task.order)
    return report
