"""kestor-corpus graph next|causes GRAPH_DIR EVENT: the events that most probably follow (precede) an event, with
P(target | source), lift, count, articles and dates; at either level, within a time window."""

from __future__ import annotations

import argparse

from ...arguments import whole_number
from ...events import NodeKind
from ...exits import EXIT_OK
from ..query import written_level
from ..successors import LIMIT, successors
from .base import Command, add_level, add_verbose, add_window, check_window


class Next(Command):
    name = "next"
    forward = True
    summary = "the events that most probably follow an event, from a GRAPH_DIR"
    usage = (
        "kestor-corpus graph next GRAPH_DIR EVENT [--level event|class] [--since DATE] [--until DATE] [--limit N] "
        "[--verbose]"
    )

    def add_options(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("graph_dir", metavar="GRAPH_DIR", help="a graph directory that graph build wrote")
        parser.add_argument("event", metavar="EVENT", help="any name of the event, or its id as #12")
        add_level(
            parser,
            "ask about events or about their classes (a class is found by its own name or any of its events'); by "
            "default the level GRAPH_DIR's files were written at",
        )
        add_window(parser)
        parser.add_argument(
            "--limit", type=whole_number(1), default=LIMIT, metavar="N", help=f"the events listed ({LIMIT})"
        )
        add_verbose(parser)

    def check(self, parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
        check_window(parser, args)

    def run(self, args: argparse.Namespace) -> int:
        level: NodeKind = args.level or written_level(args.graph_dir)
        name, edges = successors(
            args.graph_dir,
            _asked(args.event),
            forward=self.forward,
            level=args.level,
            since=args.since,
            until=args.until,
        )
        print(f"{'after' if self.forward else 'before'} {name}: {level.counted(len(edges))}")
        if edges:
            print(
                f"{'P(next)' if self.forward else 'P(this)':>8} {'lift':>7} {'count':>6} {'articles':>8}  "
                f"{'seen':<23} {level}"
            )
        for edge in edges[: args.limit]:
            probability = edge.get("probability")
            lift = edge.get("lift")
            seen = f"{edge['first_seen']}..{edge['last_seen']}" if edge.get("first_seen") else ""
            print(
                f"{'' if probability is None else f'{probability:.3f}':>8} {'' if lift is None else f'{lift:.2f}':>7} "
                f"{edge['count']:>6} {edge['articles']:>8}  {seen:<23} {edge['event']}"
            )
        return EXIT_OK


class Causes(Next):
    name = "causes"
    forward = False
    summary = "the events that most probably precede an event, from a GRAPH_DIR"
    usage = Next.usage.replace("graph next", "graph causes")


def _asked(text: str) -> str:
    return text
