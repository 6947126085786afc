"""kestor-corpus: the command line of the run, graph and cache commands, and how every command ends.

    kestor-corpus {causara,linqor,force,articles} --config CONFIG.json --input INPUT.jsonl --output OUT_DIR ...
    kestor-corpus graph {build,update,next,causes,between,show,export,serve} ...
    kestor-corpus cache [--cache PATH] [--clear]

`main` is the console script (and ``python -m kestor.tavi.corpus``): it parses the command line, hands it to the
command (driver's `execute` for a corpus run, the graph subcommand's `run` for the event graph, cache_command's
`execute` for the answer cache) with Ctrl-C and SIGTERM handled, and ends a `UsageError` with EXIT_USAGE and anything
unforeseen with EXIT_ERROR. The run's and the cache's options are declared in their parsers here, each graph
subcommand's in its own module (see graph.commands), from the argument types, the cluster options and the cache
option that the commands share (see arguments).
"""

from __future__ import annotations

import argparse
import importlib.metadata
import sys
from collections.abc import Callable, Sequence

from . import cache_command, driver
from .arguments import (
    LOCAL_WORKERS,
    add_cache_argument,
    add_cache_arguments,
    add_cluster_arguments,
    number,
    whole_number,
)
from .asking.policy import CAP, FIRST_PAUSE, RETRY_FOR
from .batch.lines import MOST_BYTES
from .batch.rounds import BATCH_POLL, BATCH_TRIES, RETRY_BATCH, RETRY_LIVE
from .config import CALL_TIMEOUT, MODES, THREADS
from .exits import (
    DISTRIBUTION,
    EXIT_ERROR,
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_STOPPED,
    EXIT_USAGE,
    UsageError,
    unexpected,
)
from .graph import commands as graph_commands
from .interrupts import handling_signals

RUN_EXIT_STATUSES = (
    (EXIT_OK, "every input is ok"),
    (EXIT_FAILED, "some inputs failed: their lines say why, and a rerun asks them again"),
    (
        EXIT_USAGE,
        "bad input, configuration, output directory or set-up: nothing was asked, or the endpoint takes no "
        "connections, or it answered the first inputs as no model endpoint does and answered none",
    ),
    (EXIT_ERROR, "an unexpected error (its traceback with --verbose)"),
    (
        EXIT_STOPPED,
        "stopped at once by a fault no wait cures: the quota or credit used up, the key refused, no such model "
        "(the last line says what the provider said); a rerun asks the inputs not done",
    ),
    (EXIT_INTERRUPTED, "interrupted (Ctrl-C or SIGTERM; a second one ends at once): a rerun picks up what is on disk"),
)
CACHE_EXIT_STATUSES = (
    f"Exit status: {EXIT_OK} done, {EXIT_USAGE} a file that is no answer cache this version can read (or that is "
    f"damaged), {EXIT_ERROR} an unexpected error."
)
GRAPH, CACHE = "graph", "cache"
COMMANDS = (GRAPH, CACHE)
"""The commands besides a run's modes."""


def main(argv: Sequence[str] | None = None, *, held: Sequence[int] = ()) -> int:
    """The command of `argv` (else the process's arguments). `held`: the signals that came while the program
    started, before this could handle them (see kestor.tavi.corpus_console); while it is being filled, from the
    moment this handles them, the command stops at once if it holds any."""
    arguments = sys.argv[1:] if argv is None else list(argv)
    command: Callable[[argparse.Namespace], int]
    with handling_signals():
        try:
            if held:
                raise KeyboardInterrupt
            if arguments[:1] == [GRAPH]:
                args, command = graph_commands.parse(arguments[1:])
            elif arguments[:1] == [CACHE]:
                args, command = cache_parser().parse_args(arguments[1:]), cache_command.execute
            else:
                args, command = run_arguments(arguments), driver.execute
        except KeyboardInterrupt:
            print("interrupted before the command began: nothing was done", file=sys.stderr)
            return EXIT_INTERRUPTED
        if "workers" in args and args.workers is None:
            args.workers = LOCAL_WORKERS
        try:
            return command(args)
        except UsageError as error:
            print(f"error: {error}".replace("\n", "\nerror: "), file=sys.stderr)
            return EXIT_USAGE
        except Exception as error:
            return unexpected(error, args.verbose)


BATCH_OPTIONS = {
    "batch_poll": BATCH_POLL,
    "batch_max_bytes": MOST_BYTES,
    "batch_retry": RETRY_BATCH,
    "batch_price": None,
}
"""The options that shape a run's batches, and their defaults: given without --batch, they would be ignored."""


def run_arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = run_parser()
    args = parser.parse_args(argv)
    if args.mode in COMMANDS:
        parser.error(f"{args.mode} is a command of its own: its options come after it (kestor-corpus {args.mode} -h)")
    args.batch = args.batch or args.batch_files is not None
    for name, default in BATCH_OPTIONS.items():
        if getattr(args, name) is None:
            setattr(args, name, default)
        elif not args.batch:
            parser.error(f"--{name.replace('_', '-')} goes with --batch")
    if args.batch and args.no_cache:
        parser.error("--batch takes the answers into the answer cache, which the run then reads: not with --no-cache")
    return args


def run_parser() -> argparse.ArgumentParser:
    statuses = "\n".join(f"  {status:<4} {meaning}" for status, meaning in RUN_EXIT_STATUSES)
    parser = argparse.ArgumentParser(
        prog="kestor-corpus",
        description="The extractors over a whole corpus, on a Dask cluster, each input written exactly once.",
        epilog=f"exit status:\n{statuses}\n\nkestor-corpus graph OUT_DIR --output GRAPH_DIR merges a run's output into "
        "the corpus's event graph (kestor-corpus graph --help).\nkestor-corpus cache shows the answer cache and clears "
        "it (kestor-corpus cache --help).",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    # The other commands are among the choices, so that a misspelt command is told of them too.
    parser.add_argument(
        "mode",
        choices=(*MODES, *COMMANDS),
        help="the extractor to run, or articles: causal relations, their event graph and its force word for each "
        "article; or a command of its own: graph, the event graph of a run's output (kestor-corpus graph --help), "
        "cache, the answer cache (kestor-corpus cache --help)",
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
        type=number(above=0.0),
        metavar="R",
        help="at most R requests per second over all workers together (default: no limit; each worker finds the "
        "rate the provider takes from its 429s)",
    )
    parser.add_argument(
        "--call-timeout",
        type=number(above=0.0),
        default=CALL_TIMEOUT,
        metavar="SECONDS",
        help="a request not answered whole within this long, from its connection to the answer's last byte however "
        "slowly the bytes come, is abandoned and retried (default: %(default)g)",
    )
    parser.add_argument(
        "--retry-for",
        type=number(),
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
        type=number(),
        default=FIRST_PAUSE,
        metavar="SECONDS",
        help=f"the first retry waits up to this long, each further one up to twice as long, to at most {CAP:g} s, "
        "unless the server names a wait (default: %(default)g)",
    )
    parser.add_argument(
        "--partition-size",
        type=whole_number(1),
        default=driver.PARTITION_SIZE,
        metavar="N",
        help="inputs per part file (default: %(default)s)",
    )
    parser.add_argument(
        "--keep-text",
        type=whole_number(0),
        default=0,
        metavar="N",
        help="keep the first N characters of each input's text on its output line (\"text\"): the graph's page shows "
        "them beside the article's id (default: %(default)s, none)",
    )
    add_cache_arguments(parser, "ask every call of the model, and keep no answer (default: cached)")
    parser.add_argument(
        "--price",
        nargs=2,
        type=number(),
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
    batches = parser.add_argument_group(
        "batches",
        "at half the price, answered within a day: the requests are written as JSONL in OUT_DIR/batch, asked in a "
        "round of batches per step of the mode (relations, force, review), and the run then takes every answer from "
        "the cache; Ctrl-C leaves the batches running, and the same command again goes on where they are",
    )
    batches.add_argument("--batch", action="store_true", help="ask the model through the provider's Batch API")
    batches.add_argument(
        "--batch-files",
        metavar="DIR",
        help="for a server without a Batch API: write each batch's JSONL into DIR and take in the output JSONL "
        "written beside it (vllm run-batch -i FILE -o OUTPUT; the run names both); implies --batch",
    )
    batches.add_argument(
        "--batch-poll",
        type=number(above=0.0),
        metavar="SECONDS",
        help=f"look at the batches out every SECONDS at first, then up to twice as long (default: {BATCH_POLL:g})",
    )
    batches.add_argument(
        "--batch-max-bytes",
        type=whole_number(1),
        metavar="N",
        help=f"the largest input file the provider takes (default: {MOST_BYTES:,}; OpenAI takes 200 MB)",
    )
    batches.add_argument(
        "--batch-retry",
        choices=(RETRY_BATCH, RETRY_LIVE),
        help="where a request goes that a batch did not answer for a while (expired, cancelled, 429, 5xx, lost): "
        f"into the next round's batch, up to {BATCH_TRIES} batches (default), or to the run, live",
    )
    batches.add_argument(
        "--batch-price",
        nargs=2,
        type=number(),
        metavar=("IN", "OUT"),
        help="what batches cost per million prompt and completion tokens (default: half of --price)",
    )
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    parser.add_argument(
        "--verbose", action="store_true", help="the traceback of an unexpected error, and Dask's warnings"
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    return parser


def cache_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kestor-corpus cache",
        description="What the answer cache holds: its answers by model and its size on disk; --clear empties it.",
        epilog=CACHE_EXIT_STATUSES,
    )
    add_cache_argument(parser)
    parser.add_argument(
        "--clear",
        action="store_true",
        help="remove every answer (a run using the cache at the same time goes on); a cache of another version "
        "or a damaged one is removed whole",
    )
    parser.add_argument("--verbose", action="store_true", help="an unexpected error's traceback")
    return parser


def _version() -> str:
    try:
        return importlib.metadata.version(DISTRIBUTION)
    except importlib.metadata.PackageNotFoundError:
        return "(not installed)"
