"""kestor-corpus graph: the corpus's event graph as a store that grows run by run, its files, and the questions it
answers, one subcommand each (a module that declares its own options):

    kestor-corpus graph build OUT_DIR [OUT_DIR ...] --output GRAPH_DIR ...
    kestor-corpus graph update GRAPH_DIR OUT_DIR [OUT_DIR ...] ...
    kestor-corpus graph next|causes GRAPH_DIR EVENT [--since DATE] [--until DATE] ...
    kestor-corpus graph between SOURCE EVENT_A EVENT_B --output FILE.json ...
    kestor-corpus graph show GRAPH_DIR EVENT ...
    kestor-corpus graph export GRAPH_DIR [--neo4j DIR] ...
    kestor-corpus graph serve GRAPH_DIR [--host ADDRESS] [--port N]

The forms of earlier versions keep working, each read as the subcommand it was: `graph OUT_DIR --output GRAPH_DIR`
is build, `graph GRAPH_DIR --next EVENT` (or --causes) is next (causes), and `graph SOURCE --between A B --output
FILE.json` is between, their other options as they were.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable, Sequence

from .base import EXIT_STATUSES, Command
from .between import Between
from .build import Build
from .export import Export
from .neighbours import Causes, Next
from .serve import Serve
from .show import Show
from .update import Update

COMMANDS: dict[str, type[Command]] = {
    command.name: command for command in (Build, Update, Next, Causes, Between, Show, Export, Serve)
}
USAGE = "\n       ".join(command.usage for command in COMMANDS.values())
"""Every subcommand's usage, one after another: `graph --help` names every option there is."""
LEGACY = {"--next": ("next", 1), "--causes": ("causes", 1), "--between": ("between", 2)}
"""The flags of earlier versions that ask a question: the subcommand each is, and how many values it takes."""


def parse(argv: Sequence[str]) -> tuple[argparse.Namespace, Callable[[argparse.Namespace], int]]:
    """The subcommand of a `kestor-corpus graph` command line, parsed, and what runs it."""
    arguments = list(argv)
    if not arguments or arguments[0] in ("-h", "--help"):
        overview().parse_args(arguments or ["--help"])
    if arguments[0] not in COMMANDS:
        arguments = legacy(arguments)
    command = COMMANDS[arguments[0]]()
    parser = argparse.ArgumentParser(
        prog=f"kestor-corpus graph {command.name}",
        description=command.summary,
        usage=command.usage,
        epilog=EXIT_STATUSES,
    )
    command.add_options(parser)
    args = parser.parse_args(arguments[1:])
    command.check(parser, args)
    return args, command.run


def legacy(arguments: list[str]) -> list[str]:
    """An earlier version's command line as the subcommand's: the question's flag and its values become the
    subcommand and its positional arguments, after the source."""
    for position, argument in enumerate(arguments):
        flag, _, attached = argument.partition("=")
        if flag not in LEGACY:
            continue
        name, count = LEGACY[flag]
        values = [attached] if attached else arguments[position + 1 : position + 1 + count]
        rest = arguments[:position] + arguments[position + 1 + (0 if attached else count) :]
        source = [item for item in rest if not item.startswith("-")][:1]
        if source:
            rest.remove(source[0])
        return [name, *source, *values, *rest]
    return ["build", *arguments]


def overview() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kestor-corpus graph",
        usage=USAGE,
        description="the event graph of a whole corpus, as a store that grows run by run, its files, and the "
        "questions it answers.",
        epilog="subcommands:\n"
        + "\n".join(f"  {name:<8} {command.summary}" for name, command in COMMANDS.items())
        + "\n\nkestor-corpus graph SUBCOMMAND --help says more. "
        + EXIT_STATUSES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    return parser
