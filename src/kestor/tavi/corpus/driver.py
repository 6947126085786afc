"""kestor-corpus: the extractors over a whole corpus, on a Dask cluster, each input written exactly once.

    kestor-corpus {causara,linqor,force,articles} --config CONFIG.json --input INPUT.jsonl --output OUT_DIR
        [--scheduler ADDRESS | --workers N] [--threads N] [--retries N] [--partition-size N] [--quiet]
    kestor-corpus graph OUT_DIR --output GRAPH_DIR ...   (the corpus's event graph: kestor-corpus graph --help)

Exit status: 0 when every input is ok, 1 when some failed, 2 for bad input, configuration or set-up, 130 when
interrupted (a rerun into the same OUT_DIR picks up where the run stopped).
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.metadata
import os
import signal
import sys
import time
import uuid
from collections import defaultdict
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, NoReturn, TextIO

from . import output
from .config import KINDS, ConfigError, RunConfig, load_config
from .failures import keep_root_logger_quiet
from .inputs import InputError, Record, id_key, load_inputs
from .progress import Progress
from .worker import PartitionReport, Settings, run_partition

DISTRIBUTION = "kestor-tavi-extractor"
INSTALL_HINT = f"pip install '{DISTRIBUTION}[corpus]'"
SHOWN_FAILURES = 10
EXIT_OK, EXIT_FAILED, EXIT_REFUSED, EXIT_INTERRUPTED = 0, 1, 2, 130


class Refused(Exception):
    """A run that cannot start; the message says why."""


def main(argv: Sequence[str] | None = None) -> int:
    arguments = sys.argv[1:] if argv is None else list(argv)
    if arguments[:1] == ["graph"]:
        from .graph import main as graph_main

        return graph_main(arguments[1:])
    args = _parser().parse_args(arguments)
    began = time.monotonic()
    keep_root_logger_quiet()
    try:
        config = load_config(args.config, args.mode)
        records = load_inputs(args.input, args.mode)
        _check_extractors(config, args.config)
        existing = output.scan(args.output)
        _import_dask()
    except (ConfigError, InputError, output.OutputError, Refused) as error:
        print(f"error: {error}".replace("\n", "\nerror: "), file=sys.stderr)
        return EXIT_REFUSED
    settings = Settings(config, str(Path(args.output).resolve()), args.threads, args.retries, args.retry_pause)
    partitions, already_done = plan(records, existing, args.partition_size)
    run = Run(len(records) - already_done, already_done, sys.stderr, not args.quiet, began)
    if partitions:
        Path(args.output).mkdir(parents=True, exist_ok=True)
        output.remove_leftovers(args.output)
        try:
            with _interrupt_on_terminate(), _client(args) as client:
                run.submit(client, settings, partitions)
        except KeyboardInterrupt:
            run.interrupted = True
        except Refused as error:
            print(f"error: {error}", file=sys.stderr)
            return EXIT_REFUSED
        output.remove_leftovers(args.output)
    return run.finish()


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kestor-corpus",
        description=__doc__.split("\n")[0],
        epilog="Exit status: 0 all ok, 1 some failed, 2 bad input or configuration. "
        "kestor-corpus graph OUT_DIR --output GRAPH_DIR merges a run's output into the corpus's event graph "
        "(kestor-corpus graph --help).",
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
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler, e.g. tcp://host:8786")
    where.add_argument(
        "--workers",
        type=_count(1),
        default=os.cpu_count() or 1,
        help="worker processes of a local cluster (default: the number of cores)",
    )
    parser.add_argument("--threads", type=_count(1), default=16, help="model calls in flight per worker (16)")
    parser.add_argument("--retries", type=_count(0), default=3, help="retries of a failed model call (3)")
    parser.add_argument(
        "--retry-pause",
        type=_seconds,
        default=0.5,
        metavar="SECONDS",
        help="pause before the first retry, doubled for each further one (0.5)",
    )
    parser.add_argument("--partition-size", type=_count(1), default=100, help="inputs per part file (100)")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    return parser


def _count(least: int) -> Any:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}")
        return value

    return parse


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value >= 0:
        raise argparse.ArgumentTypeError("must be zero or more")
    return value


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


def plan(records: list[Record], existing: output.Existing, size: int) -> tuple[list[tuple[int, list[Record]]], int]:
    """The partitions to run, by part number, and how many inputs are already done.

    A new input goes to the part of its position in the input, so a rerun, or a partition redone after a worker
    died, writes the same part; an input that failed before goes back to the part file that holds its line.
    """
    groups: dict[int, list[Record]] = defaultdict(list)
    done = 0
    for position, record in enumerate(records):
        key = id_key(record["id"])
        status = existing.status_of.get(key)
        if status == "ok":
            done += 1
        elif status == "failed":
            groups[existing.part_of[key]].append(record)
        else:
            groups[position // size].append(record)
    return sorted(groups.items()), done


@contextlib.contextmanager
def _client(args: argparse.Namespace) -> Iterator[Any]:
    from distributed import Client, LocalCluster

    with contextlib.ExitStack() as stack:
        if args.scheduler:
            try:
                client = stack.enter_context(Client(args.scheduler, timeout="30s"))  # type: ignore[no-untyped-call]
            except OSError as error:
                raise Refused(f"cannot reach the scheduler at {args.scheduler}: {error}") from None
        else:
            # Two partitions at a time per worker: while one waits for its slowest calls, the next fills the
            # worker's threads. The dashboard (if Dask has one to show) on a free port: the fixed default would
            # clash between runs on one machine, and leaving the address out does not switch it off.
            cluster = stack.enter_context(
                LocalCluster(  # type: ignore[no-untyped-call]
                    n_workers=args.workers, threads_per_worker=2, processes=True, dashboard_address=":0"
                )
            )
            client = stack.enter_context(Client(cluster))  # type: ignore[no-untyped-call]
        _check_workers(client)
        yield client


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
def _interrupt_on_terminate() -> Iterator[None]:
    """A terminated run shuts its cluster down as an interrupted one does."""

    def interrupt(signum: int, frame: Any) -> NoReturn:
        raise KeyboardInterrupt

    try:
        previous = signal.signal(signal.SIGTERM, interrupt)
    except ValueError:  # not the main thread: leave signals to the host
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


class Run:
    def __init__(
        self, todo: int, already_done: int, stream: TextIO, show_progress: bool, began: float | None = None
    ) -> None:
        self.already_done = already_done
        self.stream = stream
        self.progress = Progress(todo, stream, show_progress)
        self.failures: list[tuple[Any, str]] = []
        self.ok = 0
        self.interrupted = False
        self.began = time.monotonic() if began is None else began

    def submit(self, client: Any, settings: Settings, partitions: list[tuple[int, list[Record]]]) -> None:
        from distributed import as_completed

        token = uuid.uuid4().hex[:8]
        self.progress.began = time.monotonic()
        futures = {
            client.submit(run_partition, settings, number, records, key=f"corpus-{token}-{number:05d}", pure=False): (
                number,
                records,
            )
            for number, records in partitions
        }
        try:
            for future in as_completed(futures):  # type: ignore[no-untyped-call]
                number, records = futures[future]
                try:
                    report = future.result()
                except Exception as error:
                    report = _record_lost(settings.out_dir, number, records, error)
                self.add(report)
        finally:
            client.cancel(list(futures))

    def add(self, report: PartitionReport) -> None:
        self.ok += report.ok
        self.failures.extend(report.failed)
        self.progress.advance(report.ok, len(report.failed))

    def finish(self) -> int:
        self.progress.close()
        for id_, error in self.failures[:SHOWN_FAILURES]:
            print(f"failed: id {id_key(id_)}: {error}", file=self.stream)
        if len(self.failures) > SHOWN_FAILURES:
            print(
                f'failed: {len(self.failures) - SHOWN_FAILURES} more, each on a line with status "failed"',
                file=self.stream,
            )
        seconds = time.monotonic() - self.began
        prefix = "interrupted: " if self.interrupted else ""
        print(
            f"{prefix}{self.ok} ok, {len(self.failures)} failed, {self.already_done} already done in {seconds:.1f} s",
            flush=True,
        )
        if self.interrupted:
            return EXIT_INTERRUPTED
        return EXIT_FAILED if self.failures else EXIT_OK


def _record_lost(out_dir: str, number: int, records: list[Record], error: BaseException) -> PartitionReport:
    """A partition whose task failed (its workers kept dying, say): its inputs go in as failed, unless a worker
    wrote them before it was lost."""
    present = output.statuses_in(output.part_path(out_dir, number))
    message = f"the partition's task was lost: {type(error).__name__}: {error}"
    report = PartitionReport(number)
    lines = {}
    for record in records:
        key = id_key(record["id"])
        if present.get(key) == "ok":
            report.ok += 1
        else:
            lines[key] = output.line(record["id"], "failed", None, 0, message)
            report.failed.append((record["id"], message))
    if lines:
        output.write_part(out_dir, number, lines)
    return report
