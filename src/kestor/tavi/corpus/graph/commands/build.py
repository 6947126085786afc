"""kestor-corpus graph build: a new GRAPH_DIR, its store and its files, from the part files of one run's OUT_DIR or
of several, added in order."""

from __future__ import annotations

import argparse
import sys

from ...events import NodeKind
from ...exits import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK
from ..build import build_event_graph, described
from ..models import ModelFailed
from .base import (
    MERGE_HELP,
    Command,
    add_files,
    add_level,
    add_resolver,
    add_run_options,
    add_verbose,
    check_resolver,
    graph_keywords,
)
from .export import write_neo4j_beside


class Build(Command):
    name = "build"
    summary = "a new GRAPH_DIR from runs' OUT_DIRs: the store of their event graph, and its files"
    usage = (
        "kestor-corpus graph build OUT_DIR [OUT_DIR ...] --output GRAPH_DIR [--level event|class] "
        "[--merge LEVEL[/FALLBACK]]\n        [--merge-overrides FILE] [--embeddings MODEL --config CONFIG.json] "
        "[--judge-max N] [--cache PATH | --no-cache]\n        [--scheduler ADDRESS | --workers N] [--top N] "
        "[--html-nodes N] [--html-edges N] [--neo4j] [--quiet] [--verbose]"
    )

    def add_options(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument(
            "out_dirs", metavar="OUT_DIR", nargs="+", help="the output directory of an articles or causara run"
        )
        parser.add_argument(
            "--output",
            metavar="GRAPH_DIR",
            required=True,
            help="the directory to write (replaced whole if an earlier graph run wrote it)",
        )
        add_level(
            parser,
            "the files' nodes: events (the default), or the classes of events each event is one of, with the counts, "
            "P(target | source), lift and dates of their relations; the other level's nodes are joined to them by "
            "is-a edges (the store holds both)",
        )
        add_resolver(parser, MERGE_HELP)
        add_run_options(parser)
        add_files(parser)
        parser.add_argument(
            "--neo4j", action="store_true", help="also write GRAPH_DIR/neo4j: the files Neo4j's bulk importer reads"
        )
        add_verbose(parser)

    def check(self, parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
        check_resolver(parser, args)

    def run(self, args: argparse.Namespace) -> int:
        try:
            summary = build_event_graph(
                args.out_dirs,
                args.output,
                **{
                    **graph_keywords(args),
                    "judge_max": 200 if args.judge_max is None else args.judge_max,
                    "level": args.level or NodeKind.EVENT,
                },
            )
        except ModelFailed as error:
            print(f"error: {error}; nothing written (--merge LEVEL/similar falls back instead)", file=sys.stderr)
            return EXIT_FAILED
        except KeyboardInterrupt:
            print("interrupted: nothing written", file=sys.stderr)
            return EXIT_INTERRUPTED
        if args.neo4j:
            write_neo4j_beside(args.output)
        print("\n".join(described(summary, args.output)), flush=True)
        return EXIT_OK
