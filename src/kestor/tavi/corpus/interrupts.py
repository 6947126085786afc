"""Ctrl-C and SIGTERM: how a command is interrupted, and where an interrupt must wait.

A command runs with `handling_signals`: the first signal raises KeyboardInterrupt, which the command turns into its
true summary; a second one ends the process at once. Raised in the middle of an import, though, a KeyboardInterrupt
is not ours to catch: compiled libraries (numpy among them) report any failure of their own import as an ImportError,
and the libraries above them take that for a missing optional dependency and go on. The interrupt would be lost and
the paid run go on to its end. So one that lands in an import is sent again a moment later, until it lands outside
one. A library's constructor is no better place (its half-made object's finaliser complains on the terminal): the
stretches that build the extractors or start a local cluster run with `interrupts_held`, and a signal that comes
meanwhile is raised as they end.
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import threading
from collections.abc import Iterator
from typing import Any, NoReturn

from .exits import EXIT_INTERRUPTED

INTERRUPTS = (signal.SIGINT, signal.SIGTERM)
RESEND_AFTER = 0.05
"""Seconds after which an interrupt that landed in an import is sent again."""


@contextlib.contextmanager
def handling_signals() -> Iterator[None]:
    """Ctrl-C and SIGTERM interrupt the command, which then shuts its cluster down and says what is on disk; a
    second one while it does ends the process at once (what is on disk stays whole: every write is a rename)."""

    def at_once(signum: int, frame: Any) -> NoReturn:
        print("\ninterrupted again: stopped at once; a rerun picks up what is on disk", file=sys.stderr, flush=True)
        os._exit(EXIT_INTERRUPTED)

    def interrupt(signum: int, frame: Any) -> None:
        if _importing(frame):
            resend = threading.Timer(RESEND_AFTER, os.kill, (os.getpid(), signum))
            resend.daemon = True
            resend.start()
            return
        for number in INTERRUPTS:
            signal.signal(number, at_once)
        raise KeyboardInterrupt

    if threading.current_thread() is not threading.main_thread():  # signals are the host's to handle there
        yield
        return
    previous = {number: signal.signal(number, interrupt) for number in INTERRUPTS}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


@contextlib.contextmanager
def interrupts_held() -> Iterator[None]:
    """The first Ctrl-C or SIGTERM that comes in the block is held and raised as the block ends; a second one is
    not held (a start-up that hangs can still be left). Outside the main thread, the block runs as it is."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    held: list[int] = []
    previous: dict[int, Any] = {}

    def hold(signum: int, frame: Any) -> None:
        if not held:
            held.append(signum)
            return
        handler = previous[signum]
        if callable(handler):
            handler(signum, frame)
        elif handler == signal.SIG_DFL:
            signal.signal(signum, signal.SIG_DFL)
            signal.raise_signal(signum)

    previous.update((number, signal.signal(number, hold)) for number in INTERRUPTS)
    try:
        yield
    finally:
        # A signal pending as a handler is set goes to the handler it came under: held, it is raised below.
        for number, handler in previous.items():
            signal.signal(number, handler)
        if held:
            signal.raise_signal(held[0])


def _importing(frame: Any) -> bool:
    while frame is not None:
        if frame.f_code.co_filename.startswith("<frozen importlib._bootstrap"):
            return True
        frame = frame.f_back
    return False
