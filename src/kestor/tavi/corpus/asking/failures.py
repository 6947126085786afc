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
import re
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

EXTRACTOR_LOGGERS = tuple(f"kestor.tavi.extractor.{name}" for name in ("causara", "linqor", "force"))

RATE_LIMIT, TIMEOUT, SERVER, CONNECTION = "rate_limit", "timeout", "server", "connection"
NO_COMPLETION = "no_completion"
QUOTA, AUTH, MODEL_NOT_FOUND = "quota", "auth", "model_not_found"
NOT_FOUND, UNSUPPORTED = "not_found", "unsupported"
BAD_REQUEST, CONTEXT_LENGTH, ANSWER, OTHER = "bad_request", "context_length", "answer", "other"
ERROR_CLASSES = (
    RATE_LIMIT,
    TIMEOUT,
    SERVER,
    CONNECTION,
    NO_COMPLETION,
    QUOTA,
    AUTH,
    MODEL_NOT_FOUND,
    NOT_FOUND,
    UNSUPPORTED,
    BAD_REQUEST,
    CONTEXT_LENGTH,
    ANSWER,
    OTHER,
)
RETRYABLE = frozenset({RATE_LIMIT, TIMEOUT, SERVER, CONNECTION, NO_COMPLETION})
# The endpoint not taking calls at all, as against refusing one (rate_limit) or answering it badly. A page that a
# proxy answers in the model's place is what an outage looks like from behind it.
OUTAGE = frozenset({TIMEOUT, SERVER, CONNECTION, NO_COMPLETION})
ACCOUNT = frozenset({QUOTA, AUTH, MODEL_NOT_FOUND})
"""Faults of the account, the key or the model name: no wait cures them, and every further request costs."""
SET_UP = frozenset({NOT_FOUND, UNSUPPORTED, NO_COMPLETION})
"""What an address that is no chat model endpoint answers: a run whose first inputs all get one of these, alike and
nothing else, will never be answered."""

# The provider's error codes (or types) for a 429 that waiting does not cure.
QUOTA_CODES = frozenset({"insufficient_quota", "billing_hard_limit_reached", "billing_not_active"})
HEAD = 120
"""Characters of a body that is no completion shown in its error."""


class NotACompletion(Exception):
    """A response that is no chat completion however its status reads: a proxy's page, a body cut short, JSON
    without choices. Retried: what stood in for the model's answer this time need not the next."""

    def __init__(self, status: int, content_type: str, body: bytes, url: str) -> None:
        super().__init__(f"HTTP {status} {content_type or '(no content type)'}: {body_head(body)}")
        self.status, self.content_type, self.url = status, content_type, url


def body_head(body: bytes) -> str:
    """What a user needs to see of a body: an HTML page's title when it has one, otherwise its first characters."""
    text = " ".join(body[:4096].decode("utf-8", "replace").split())
    title = re.search(r"<title>.*?</title>", text, re.IGNORECASE)
    if title:
        return title.group()
    return text[:HEAD] + ("..." if len(text) > HEAD else "") if text else "(an empty body)"


class BatchFailure(Exception):
    """A request that came back failed from a batch, raised where a live run would have asked it: its input fails as
    the request would have failed live. Never retried by the run: what could be retried went to another batch."""

    def __init__(self, status: int, code: str | None, message: str) -> None:
        said = f"HTTP {status}" if status else "no answer"
        super().__init__(f"in a batch: {said}{f' {code}' if code else ''}: {message}")
        self.status, self.code, self.message = status, code, message


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
        return _status_class(api.status_code, {api.code, api.type}, api.param)
    if isinstance(api, openai.APITimeoutError):
        return TIMEOUT
    if isinstance(api, openai.APIConnectionError):
        return CONNECTION
    for cause in _causes(error):
        if isinstance(cause, NotACompletion):
            return NO_COMPLETION
        if isinstance(cause, BatchFailure):
            # No status: the batch ended (expired, cancelled) or lost the request before it was answered.
            return _status_class(cause.status, {cause.code}, None) if cause.status else TIMEOUT
        if isinstance(cause, TimeoutError):
            return TIMEOUT
        if isinstance(cause, ConnectionError):
            return CONNECTION
    from langextract.core.exceptions import LangExtractError

    # What the library raises of its own (no content, a refusal, an answer it cannot parse) is about the answer.
    return ANSWER if isinstance(error, (LangExtractError, ValueError)) else OTHER


def _status_class(status: int, codes: set[str | None], param: str | None) -> str:
    """The class of an HTTP error, from its status and the provider's structured error (`error.code`, `error.type`,
    `error.param`), never from its message, whose words change from one provider and version to the next."""
    if status == 429:
        return QUOTA if codes & QUOTA_CODES else RATE_LIMIT
    if status == 402:
        return QUOTA
    if status in (401, 403):
        return AUTH
    if status == 404:
        # A provider's 404 for a model it does not have names the model; a 404 of anything else is the address's.
        return MODEL_NOT_FOUND if "model_not_found" in codes or param == "model" else NOT_FOUND
    if status in (405, 501, 505):
        return UNSUPPORTED
    if status == 408:
        return TIMEOUT
    if status == 409 or status >= 500:
        return SERVER
    if status == 400 and "context_length_exceeded" in codes:
        return CONTEXT_LENGTH
    return BAD_REQUEST if 400 <= status < 500 else OTHER


def from_batch(error: BaseException | None) -> bool:
    """Whether the failure is a batch's answer, which asking again in the same run would only repeat."""
    return any(isinstance(cause, BatchFailure) for cause in _causes(error))


def provider_said(error: BaseException | None) -> tuple[str, str]:
    """What the provider answered to the failed call, in a line (`HTTP 429 insufficient_quota: You exceeded ...`),
    and the request it answered (`POST https://host/v1/chat/completions`); empty where the error does not say."""
    import openai

    for cause in _causes(error):
        if isinstance(cause, NotACompletion):
            return str(cause), f"POST {cause.url}"
    api = _api_error(error)
    request = getattr(api, "request", None)
    where = f"{request.method} {request.url}" if request is not None else ""
    if not isinstance(api, openai.APIStatusError):
        return (str(api) if api is not None else str(error or "")), where
    body = api.body
    message = body.get("message") if isinstance(body, dict) else None
    if not isinstance(message, str) or not message:
        message = body_head(body.encode()) if isinstance(body, str) else ""
    code = api.code or api.type
    said = f"HTTP {api.status_code}{f' {code}' if code else ''}"
    return f"{said}: {' '.join(message.split())}" if message else said, where


def status_of(error: BaseException | None) -> int | None:
    """The HTTP status the failed call was answered with, if it got an answer."""
    status = getattr(_api_error(error), "status_code", None)
    return status if isinstance(status, int) else None


def response_headers(error: BaseException | None) -> Any:
    """The headers of the HTTP response that the failed call got, if it got one."""
    return getattr(getattr(_api_error(error), "response", None), "headers", None)


def server_wait(error: BaseException | None, now: float | None = None) -> float | None:
    """Seconds the server asked the client to wait (`retry-after-ms`, else `retry-after` in seconds or as a date)."""
    headers = response_headers(error)
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
