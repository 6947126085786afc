"""Telling a failed model call from a real answer, and what kind of failure it was.

A failed call returns the extractor's default result and leaves only an error record on the extractor module's
logger. Calls run on many threads at once, so each record is given to the call whose thread made it. The record
carries the exception (the extraction library's, wrapping the HTTP client's), and the kind of failure is read from
its class and status code: message texts change between versions and providers.
"""

from __future__ import annotations

import contextlib
import email.utils
import logging
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

EXTRACTOR_LOGGERS = tuple(f"kestor.tavi.extractor.{name}" for name in ("causara", "linqor", "force"))

RATE_LIMIT, TIMEOUT, SERVER, CONNECTION = "rate_limit", "timeout", "server", "connection"
BAD_REQUEST, AUTH, NOT_FOUND, ANSWER, OTHER = "bad_request", "auth", "not_found", "answer", "other"
ERROR_CLASSES = (RATE_LIMIT, TIMEOUT, SERVER, CONNECTION, BAD_REQUEST, AUTH, NOT_FOUND, ANSWER, OTHER)
RETRYABLE = frozenset({RATE_LIMIT, TIMEOUT, SERVER, CONNECTION})
# The endpoint not taking calls at all, as against refusing one (rate_limit) or answering it badly.
OUTAGE = frozenset({TIMEOUT, SERVER, CONNECTION})


@dataclass(frozen=True)
class Failure:
    """One error record of a call: its message and the exception it carries, if any."""

    message: str
    error: BaseException | None


class ThreadErrors(logging.Handler):
    """Collects the error records of the threads that are being watched, each thread's apart."""

    def __init__(self) -> None:
        super().__init__(logging.ERROR)
        self._lock_watch = threading.Lock()
        self._watched: dict[int, list[Failure]] = {}

    def emit(self, record: logging.LogRecord) -> None:
        # `thread` is the ident of the thread that made the record; a record of an unwatched thread is not ours.
        failures = self._watched.get(record.thread) if record.thread is not None else None
        if failures is None:
            return
        try:
            message = record.getMessage()
        except Exception:  # a record whose arguments do not format still says the call failed
            message = str(record.msg)
        failures.append(Failure(message, record.exc_info[1] if record.exc_info else None))

    @contextlib.contextmanager
    def watch(self) -> Iterator[list[Failure]]:
        """The error records this thread makes until the block ends."""
        failures: list[Failure] = []
        ident = threading.get_ident()
        with self._lock_watch:
            self._watched[ident] = failures
        try:
            yield failures
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


def _causes(error: BaseException | None) -> Iterator[BaseException]:
    """The error and what it wraps: the library keeps the client's exception as `original` and as the cause."""
    seen: set[int] = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        yield error
        original = getattr(error, "original", None)
        error = original if isinstance(original, BaseException) else error.__cause__ or error.__context__


def _api_error(error: BaseException | None) -> Any:
    import openai

    return next((cause for cause in _causes(error) if isinstance(cause, openai.APIError)), None)


def classify(error: BaseException | None) -> str:
    """The kind of failure of a call whose error record carries `error` (None: a record without one)."""
    import openai

    api = _api_error(error)
    if isinstance(api, openai.APIStatusError):
        return _status_class(api.status_code)
    if isinstance(api, openai.APITimeoutError):
        return TIMEOUT
    if isinstance(api, openai.APIConnectionError):
        return CONNECTION
    for cause in _causes(error):
        if isinstance(cause, TimeoutError):
            return TIMEOUT
        if isinstance(cause, ConnectionError):
            return CONNECTION
    from langextract.core.exceptions import LangExtractError

    # What the library raises of its own (no content, a refusal, an answer it cannot parse) is about the answer.
    return ANSWER if isinstance(error, (LangExtractError, ValueError)) else OTHER


def _status_class(status: int) -> str:
    if status == 429:
        return RATE_LIMIT
    if status == 408:
        return TIMEOUT
    if status == 409 or status >= 500:
        return SERVER
    if status in (401, 403):
        return AUTH
    if status == 404:
        return NOT_FOUND
    return BAD_REQUEST if 400 <= status < 500 else OTHER


def server_wait(error: BaseException | None, now: float | None = None) -> float | None:
    """Seconds the server asked the client to wait (`retry-after-ms`, else `retry-after` in seconds or as a date)."""
    api = _api_error(error)
    response = getattr(api, "response", None)
    headers = getattr(response, "headers", None)
    if headers is None:
        return None
    for name, scale in (("retry-after-ms", 0.001), ("retry-after", 1.0)):
        value = headers.get(name)
        if value is None:
            continue
        try:
            seconds = float(value) * scale
        except ValueError:
            if name == "retry-after-ms":
                continue
            try:
                seconds = email.utils.parsedate_to_datetime(value).timestamp() - (time.time() if now is None else now)
            except (TypeError, ValueError):
                continue
        if seconds == seconds and seconds != float("inf"):  # NaN and infinity say nothing usable
            return max(0.0, seconds)
    return None


def explain(failure: Failure) -> str:
    """The failure's message; a call that reached no server also names where it went and why it failed."""
    import openai

    api = _api_error(failure.error)
    if not isinstance(api, openai.APIConnectionError):
        return failure.message
    request = getattr(api, "request", None)
    where = f"{request.method} {request.url}" if request is not None else "the endpoint"
    cause = api.__cause__
    reason = f": {type(cause).__name__}: {cause}" if cause is not None and str(cause) else ""
    return f"{failure.message} ({where}{reason})"
