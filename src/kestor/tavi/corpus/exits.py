"""How kestor-corpus and its commands end: the exit statuses, the errors that end a command with status 2, and the
line an unexpected error gets.

What a user got wrong (configuration, input, an output directory, an answer cache file, graph input) or a set-up
that cannot work (Dask missing, no endpoint listening, a cluster without workers) is a `UsageError`: the command
says why in a line and ends with EXIT_USAGE, as argparse does for a bad command line. The command line catches the
base alone, so a new command's errors derive from it and need no list of their own. Each is a ValueError, as the
ones it gathers were.

A traceback on stderr would read as any other failure, and the shell would see Python's status 1, which a run
uses for "some inputs failed"; an unexpected error says what it was in one line and ends with a status of its own.
"""

from __future__ import annotations

import sys
import traceback

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_ERROR, EXIT_STOPPED, EXIT_INTERRUPTED = 0, 1, 2, 3, 4, 130

DISTRIBUTION = "kestor-tavi-extractor"
INSTALL_HINT = f"pip install '{DISTRIBUTION}[corpus]'"
"""What a user without the extra the commands need is told to run."""


class UsageError(ValueError):
    """What a command refuses before it does its work; the message says why, naming the file and the place."""


class ConfigError(UsageError):
    """A configuration the run refuses; the message names the file and the key."""


class InputError(UsageError):
    """Input the run refuses: one message per faulty line, each naming the file and the line."""

    def __init__(self, problems: list[str]) -> None:
        super().__init__("\n".join(problems))
        self.problems = problems


class OutputError(UsageError):
    """An output directory the run cannot take up: not a directory, or a part file it cannot read."""


class GraphInputError(UsageError):
    """Output the graph refuses; the message names the file and the line."""


class CacheFileError(UsageError):
    """An answer cache file the run cannot use: unreadable, not SQLite, damaged, someone else's, or of another
    format. A run that went on without it would pay again for every answer it holds, so it is refused."""

    def __init__(self, message: str, *, ours: bool = False) -> None:
        super().__init__(message)
        self.ours = ours
        """The file is an answer cache of this package (of another format, or damaged): clearing it loses nothing
        of anyone else's."""


class SetupError(UsageError):
    """A machine or cluster the command cannot run on: Dask missing, no endpoint listening, no worker with the
    package."""


def unexpected(error: BaseException, verbose: bool) -> int:
    """Report an error nothing was prepared for (with its traceback when `verbose`); the status to exit with."""
    if verbose:
        traceback.print_exception(error)
    hint = "" if verbose else " (--verbose shows where)"
    print(f"error: {type(error).__name__}: {error}{hint}", file=sys.stderr)
    return EXIT_ERROR
