"""The console script kestor-corpus.

Importing the corpus package takes a good part of a second, more on a busy machine. A Ctrl-C in that time would
end the program with a traceback from whatever was being imported, and a SIGTERM without a word. So this module,
outside the package and importing it only after, holds both from the start: the command then stops at once and
says so, before it does anything.
"""

import signal
import sys

_held: list[int] = []


def _hold(signum: int, frame: object) -> None:
    _held.append(signum)


for _signum in (signal.SIGINT, signal.SIGTERM):
    signal.signal(_signum, _hold)

from kestor.tavi.corpus.cli import main as _command  # noqa: E402


def main() -> int:
    return _command(sys.argv[1:], held=_held)
