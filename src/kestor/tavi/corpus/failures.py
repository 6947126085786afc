"""Telling a failed model call from a real answer.

A failed call returns the extractor's default result and leaves only an error record on the extractor module's
logger. Calls run on many threads at once, so each record is given to the call whose thread made it.
"""

from __future__ import annotations

import contextlib
import logging
import threading
from collections.abc import Iterator

EXTRACTOR_LOGGERS = tuple(f"kestor.tavi.extractor.{name}" for name in ("causara", "linqor", "force"))


class ThreadErrors(logging.Handler):
    """Collects the error records of the threads that are being watched, each thread's apart."""

    def __init__(self) -> None:
        super().__init__(logging.ERROR)
        self._lock_watch = threading.Lock()
        self._watched: dict[int, list[str]] = {}

    def emit(self, record: logging.LogRecord) -> None:
        # `thread` is the ident of the thread that made the record; a record of an unwatched thread is not ours.
        errors = self._watched.get(record.thread) if record.thread is not None else None
        if errors is not None:
            try:
                errors.append(record.getMessage())
            except Exception:  # a record whose arguments do not format still says the call failed
                errors.append(str(record.msg))

    @contextlib.contextmanager
    def watch(self) -> Iterator[list[str]]:
        """The messages of the error records this thread makes until the block ends."""
        errors: list[str] = []
        ident = threading.get_ident()
        with self._lock_watch:
            self._watched[ident] = errors
        try:
            yield errors
        finally:
            with self._lock_watch:
                del self._watched[ident]


_installed: ThreadErrors | None = None
_install_lock = threading.Lock()


def thread_errors() -> ThreadErrors:
    """The process's one handler, attached to every extractor module logger on first use."""
    global _installed
    with _install_lock:
        if _installed is None:
            handler = ThreadErrors()
            for name in EXTRACTOR_LOGGERS:
                logger = logging.getLogger(name)
                # A host that raised the level past ERROR would hide every failure from the run.
                if logger.getEffectiveLevel() > logging.ERROR:
                    logger.setLevel(logging.ERROR)
                logger.addHandler(handler)
            _installed = handler
        return _installed


def keep_root_logger_quiet() -> None:
    """The extraction library's logging package configures the root logger on its first record when nothing else
    has: from then on every error record of the extractors (a traceback per failed call) and the cluster's info
    lines go to stderr, over the progress bar. The run reports failures in its output instead; a host that set up
    logging itself keeps its set-up."""
    if not logging.root.handlers:
        logging.root.addHandler(logging.NullHandler())
