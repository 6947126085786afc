"""What every `kestor-corpus graph` subcommand is: a name, a line that says what it does, the options it declares
itself (`add_options`), and `run`, which takes the parsed command line and returns the exit status. The options
that several subcommands take are declared here, once each."""

from __future__ import annotations

import argparse
from typing import Any, ClassVar

from ...arguments import add_cache_arguments, add_cluster_arguments, whole_number
from ...events import LEVELS as MERGE_LEVELS
from ...events import MODEL_FREE as MERGE_DEFAULT
from ...events import NODE_KINDS, NodeKind
from ...exits import EXIT_ERROR, EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, UsageError
from ..draw import TOP
from ..page import EDGE_LIMIT as PAGE_EDGE_LIMIT
from ..page import LIMIT as PAGE_LIMIT
from ..query import Window
from ..resolve import ResolveOptions

EXIT_STATUSES = (
    f"Exit status: {EXIT_OK} done, {EXIT_FAILED} a model's call failed (the force extractor, the embeddings or the "
    f"judge), {EXIT_USAGE} bad input or set-up (nothing written), {EXIT_ERROR} an unexpected error, "
    f"{EXIT_INTERRUPTED} interrupted."
)


class Command:
    name: ClassVar[str]
    summary: ClassVar[str]
    usage: ClassVar[str]

    def add_options(self, parser: argparse.ArgumentParser) -> None:
        raise NotImplementedError

    def check(self, parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
        """What the options say together, refused as argparse refuses (exit 2, naming the option)."""

    def run(self, args: argparse.Namespace) -> int:
        raise NotImplementedError


def add_level(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--level", metavar="event|class", type=node_kind, help=what)


def node_kind(text: str) -> NodeKind:
    """`--level event|class`."""
    try:
        return NodeKind(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"one of {', '.join(NODE_KINDS)}") from None


def add_window(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--since", metavar="DATE", help="count only the articles dated from DATE on (2024, 2024-07 or 2024-07-10)"
    )
    parser.add_argument("--until", metavar="DATE", help="count only the articles dated up to DATE, included whole")


def window_of(args: argparse.Namespace) -> Window:
    return Window.parse(args.since, args.until)


def check_window(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    try:
        window_of(args)
    except UsageError as error:
        parser.error(str(error))


def add_resolver(parser: argparse.ArgumentParser, default: str) -> None:
    """How names are resolved into events; `default` says what an option not given means."""
    parser.add_argument(
        "--merge",
        metavar="LEVEL[/FALLBACK]",
        help=f"how far names are resolved into events: {', '.join(MERGE_LEVELS)} ({default}); a FALLBACK level is "
        "used when the model cannot be reached",
    )
    parser.add_argument(
        "--merge-overrides", metavar="FILE", help="pairs of events that must (A == B) or must never (A != B) merge"
    )
    parser.add_argument("--embeddings", metavar="MODEL", help="the embeddings model of --merge meaning (or judge)")
    parser.add_argument(
        "--config",
        metavar="CONFIG.json",
        help="the run's configuration file: the endpoint of --force, --embeddings and the judge, and the merge's "
        'lexicon and judge prompt (its "merge" section)',
    )
    parser.add_argument("--judge-max", type=whole_number(0), metavar="N", help="pairs asked of the judge at most (200)")
    add_cache_arguments(parser, "ask the embeddings and the judge anew, and keep no answer (default: cached)")


MERGE_HELP = f"default {MERGE_DEFAULT}, the strongest without a model; meaning with --embeddings"


def check_resolver(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if args.embeddings and not args.config:
        parser.error("--embeddings needs --config CONFIG.json (its endpoint)")
    try:
        ResolveOptions.parse(args.merge, embeddings=args.embeddings)
    except UsageError as error:
        parser.error(str(error))


def add_files(parser: argparse.ArgumentParser) -> None:
    """What the picture and the page show."""
    parser.add_argument(
        "--top", type=whole_number(1), default=TOP, metavar="N", help=f"events in top-events.png ({TOP})"
    )
    parser.add_argument(
        "--html-nodes",
        type=whole_number(1),
        default=PAGE_LIMIT,
        metavar="N",
        help=f"events in index.html: the whole graph up to N, else the N of highest degree ({PAGE_LIMIT:,})",
    )
    parser.add_argument(
        "--html-edges",
        type=whole_number(1),
        default=PAGE_EDGE_LIMIT,
        metavar="N",
        help=f"edges in index.html: all between its events up to N, else the N of most relations ({PAGE_EDGE_LIMIT:,})",
    )


def add_run_options(parser: argparse.ArgumentParser) -> None:
    """Where part files are read, and what is said while it runs."""
    add_cluster_arguments(parser)
    add_quiet(parser)


def add_quiet(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--quiet", action="store_true", help="no progress lines on stderr")


def add_verbose(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--verbose", action="store_true", help="an unexpected error's traceback")


def cache_option(args: argparse.Namespace) -> str | bool:
    return False if args.no_cache else args.cache or True


def graph_keywords(args: argparse.Namespace) -> dict[str, Any]:
    """The keywords of `build_event_graph` and `update_event_graph` that the options of both say: where part
    files are read, how names are resolved, what the files show."""
    return {
        "scheduler": args.scheduler,
        "workers": args.workers,
        "top": args.top,
        "html_nodes": args.html_nodes,
        "html_edges": args.html_edges,
        "quiet": args.quiet,
        "merge": args.merge,
        "overrides": args.merge_overrides,
        "embeddings": args.embeddings,
        "config": args.config,
        "judge_max": args.judge_max,
        "cache": cache_option(args),
        "level": args.level,
    }
