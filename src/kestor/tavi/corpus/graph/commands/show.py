"""kestor-corpus graph show GRAPH_DIR EVENT: what an event is in the store: its id and name, its class, its aliases
with the tier and score that decided, the ids merged into it, and its figures; of a class, its events."""

from __future__ import annotations

import argparse
import json

from ...exits import EXIT_OK
from ..query import Questions
from .base import Command, add_level, add_verbose, add_window, check_window, window_of

SHOWN = 20
"""Aliases or events listed; `--json` gives them all."""


class Show(Command):
    name = "show"
    summary = "what an event (or a class) is in a GRAPH_DIR's store: its class, aliases, merged ids and figures"
    usage = (
        "kestor-corpus graph show GRAPH_DIR EVENT [--level event|class] [--since DATE] [--until DATE] [--json] "
        "[--verbose]"
    )

    def add_options(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("graph_dir", metavar="GRAPH_DIR", help="a graph directory that graph build wrote")
        parser.add_argument("event", metavar="EVENT", help="any name of the event, or its id as #12")
        add_level(parser, "show an event (the default) or a class")
        add_window(parser)
        parser.add_argument("--json", action="store_true", help="all of it as one JSON object")
        add_verbose(parser)

    def check(self, parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
        check_window(parser, args)

    def run(self, args: argparse.Namespace) -> int:
        with Questions.open(args.graph_dir, args.level) as questions:
            shown = questions.show(args.event, window_of(args))
        if args.json:
            print(json.dumps(shown, ensure_ascii=False, indent=2))
            return EXIT_OK
        merged = f" (#{shown['asked']} was merged into it)" if "asked" in shown else ""
        print(f"{shown['kind']} #{shown['id']} {shown['name']}{merged}")
        if "class" in shown:
            print(f"  class #{shown['class']['id']} {shown['class']['name']}")
        print(
            f"  {shown['articles']:,} articles, {shown['relations']:,} relations; {shown['out']:,} edges out, "
            f"{shown['in']:,} in"
        )
        if shown.get("merged"):
            print(f"  ids merged into it: {', '.join(f'#{number}' for number in shown['merged'])}")
        for alias in shown.get("aliases", [])[:SHOWN]:
            seen = f", first seen {alias['first_seen']}" if alias["first_seen"] else ""
            print(f"  {alias['alias']}  ({alias['tier']}, score {alias['score']}, {alias['mentions']} mentions{seen})")
        for event in shown.get("events", [])[:SHOWN]:
            print(f"  event #{event['id']} {event['name']}")
        listed = len(shown.get("aliases", shown.get("events", [])))
        if listed > SHOWN:
            print(f"  ... {listed - SHOWN} more (--json lists them all)")
        return EXIT_OK
