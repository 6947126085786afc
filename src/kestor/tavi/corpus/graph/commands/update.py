"""kestor-corpus graph update: runs added to the store of a GRAPH_DIR, their new names resolved against the names
already there (stable ids: a new event gets a new id, an old one keeps its own), and the files written again."""

from __future__ import annotations

import argparse
import sys

from ...exits import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK
from ...inputs import counted
from ..build import described, update_event_graph
from ..models import ModelFailed
from .base import (
    Command,
    add_files,
    add_level,
    add_resolver,
    add_run_options,
    add_verbose,
    check_resolver,
    graph_keywords,
)


class Update(Command):
    name = "update"
    summary = "runs added to a GRAPH_DIR's store, in one transaction, and its files written again"
    usage = (
        "kestor-corpus graph update GRAPH_DIR OUT_DIR [OUT_DIR ...] [--allow-other-mode] [--allow-other-config]\n"
        "        [--merge LEVEL[/FALLBACK]] [--merge-overrides FILE] [--embeddings MODEL --config CONFIG.json] "
        "[--judge-max N]\n        [--cache PATH | --no-cache] [--scheduler ADDRESS | --workers N] [--no-files] "
        "[--level event|class] [--top N]\n        [--html-nodes N] [--html-edges N] [--quiet] [--verbose]"
    )

    def add_options(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("graph_dir", metavar="GRAPH_DIR", help="a graph directory that graph build wrote")
        parser.add_argument(
            "out_dirs", metavar="OUT_DIR", nargs="+", help="the output directory of an articles or causara run"
        )
        add_resolver(parser, "default: as the store's names were resolved; given, they must be the store's")
        parser.add_argument(
            "--allow-other-config",
            action="store_true",
            help="resolve the new names as the options given say, though the store's were resolved otherwise",
        )
        parser.add_argument(
            "--allow-other-mode",
            action="store_true",
            help="add a run of another mode than the store's (a causara run's relations to an articles store)",
        )
        add_run_options(parser)
        parser.add_argument(
            "--no-files",
            action="store_true",
            help="the store alone: leave GRAPH_DIR's other files as they are (graph export writes them again)",
        )
        add_level(parser, "the level of the files written (by default the one they were written at)")
        add_files(parser)
        add_verbose(parser)

    def check(self, parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
        check_resolver(parser, args)

    def run(self, args: argparse.Namespace) -> int:
        try:
            summary = update_event_graph(
                args.graph_dir,
                args.out_dirs,
                files=not args.no_files,
                allow_other_mode=args.allow_other_mode,
                allow_other_config=args.allow_other_config,
                **graph_keywords(args),
            )
        except ModelFailed as error:
            print(f"error: {error}; the store is as it was (--merge LEVEL/similar falls back instead)", file=sys.stderr)
            return EXIT_FAILED
        except KeyboardInterrupt:
            print("interrupted: the store is as it was", file=sys.stderr)
            return EXIT_INTERRUPTED
        added = summary["added"]
        print(
            f"added {counted(added['new_articles'], 'article')} ({added['known_articles']:,} the store held "
            f"already), {counted(added['relations'], 'relation')}, {counted(added['new_names'], 'new name')}: "
            f"{counted(added['new_events'], 'new event')}, {counted(added['redirects'], 'event')} merged into "
            "earlier ones",
            flush=True,
        )
        if not args.no_files:
            print("\n".join(described(summary, args.graph_dir)), flush=True)
        return EXIT_OK
