"""The one way to a model: every request passes `Asker.ask`, every call is retried by `Asker.settle`.

A request is answered from the answer cache, else by an identical request in flight (see sharing), else sent when
the gate admits it (see gate), as one HTTP attempt of the caller's (see attempt). A call is what a caller wants
answered: an extractor's `predict`, which makes its requests through the client the extractors are given (see
client), or a caller's own requests through `ask` (the graph's embeddings). `settle` calls it again while the failure
of its request is worth another attempt and the policy allows one: the one retry loop of the package.
"""

from __future__ import annotations

import contextlib
import threading
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple

from .cache import request_key
from .failures import (
    ANSWER,
    RETRYABLE,
    BatchFailure,
    Failure,
    classify,
    explain,
    from_batch,
    provider_said,
    response_headers,
    server_wait,
    thread_errors,
)
from .gate import OK, Account, Gate, Retries
from .limits import RateLimits, read_rate_limits
from .policy import RetryPolicy
from .sharing import Answered, Sharing
from .usage import Usage


@dataclass(frozen=True)
class Settled:
    result: Any
    attempts: int
    """HTTP requests made for the input so far (in articles mode, those of both extractors)."""
    error: str | None = None
    error_class: str | None = None
    usage: dict[str, int] | None = None
    """What the input's answered calls used (see usage)."""


CHAT, EMBEDDINGS = "/chat/completions", "/embeddings"
"""The paths of the requests, under the endpoint's base URL."""


class Request(NamedTuple):
    """One request: the parameters the client is given (what the provider gets of them: `request_body`), the key
    its answer is kept under (None: not kept, not shared), and the path it goes to under the base URL."""

    body: Mapping[str, Any]
    key: bytes | None
    path: str

    @property
    def model(self) -> str:
        return str(self.body.get("model", ""))


Attempt = Callable[[list[Request]], tuple[Any, "RateLimits | None"]]
"""One HTTP request that carries these requests: the response, and the limits its headers state."""
Keep = Callable[[Any, list[Request]], "list[str | None]"]
"""What of a response to keep for each request it answers (None: that answer is not to be kept)."""


def keep_nothing(response: Any, requests: list[Request]) -> list[str | None]:
    return [None] * len(requests)


@dataclass(frozen=True)
class Carried:
    """What a run's batches answered that the answer cache does not hold, for this run alone: answers the cache
    does not keep (a cut-off or empty one, which a live run would have used once), and requests that came back
    failed, whose inputs fail as they would have failed live, without a request (see batch)."""

    answers: Mapping[bytes, str] = field(default_factory=dict)
    failures: Mapping[bytes, tuple[int, str | None, str]] = field(default_factory=dict)
    """By key: the `BatchFailure` (status, code, message) to raise where the request would have been sent."""

    def answer(self, account: Account, request: Request) -> Answered | None:
        """The carried answer to the request; None when there is none; its failure raised, as the request's own."""
        if request.key is None:
            return None
        completion = self.answers.get(request.key)
        if completion is not None:
            return Answered(None, completion)
        failure = self.failures.get(request.key)
        if failure is None:
            return None
        account.failure = BatchFailure(*failure)
        raise account.failure


class _Calling(threading.local):
    asker: Asker | None = None
    account: Account | None = None
    usage: Usage | None = None


_calling = _Calling()


def calling() -> tuple[Asker, Account, Usage | None] | None:
    """The asker, account and usage of the call this thread is making, if it is making one through `settle`."""
    asker, account = _calling.asker, _calling.account
    return None if asker is None or account is None else (asker, account, _calling.usage)


@contextlib.contextmanager
def calling_for(asker: Asker, account: Account, usage: Usage | None = None) -> Iterator[None]:
    """The requests this thread makes in the block go through `asker` and count against `account`; what their
    answers used is counted in `usage`."""
    _calling.asker, _calling.account, _calling.usage = asker, account, usage
    try:
        yield
    finally:
        _calling.asker = _calling.account = _calling.usage = None


class Asker:
    """The calls of a run in one process, or of a graph build: one retry policy, one gate, and the answer cache
    shared in flight when answers are kept."""

    def __init__(
        self, policy: RetryPolicy, gate: Gate, sharing: Sharing | None = None, carried: Carried | None = None
    ) -> None:
        self.policy, self.gate, self.sharing = policy, gate, sharing
        self.carried = carried or Carried()

    def key(self, endpoint: str, body: Mapping[str, Any]) -> bytes | None:
        """The key the answer to `body` is kept under at `endpoint`; None when answers are not kept here."""
        return None if self.sharing is None else request_key(endpoint, body)

    def ask(self, account: Account, requests: Sequence[Request], attempt: Attempt, keep: Keep) -> list[Answered]:
        """The answer to each request (of one model): from the cache or an identical request in flight, else from
        `attempt` of those still unanswered, sent through the gate; each fresh answer as `keep` makes it into what
        the cache keeps. Every request to a model passes here."""
        found = [self.carried.answer(account, request) for request in requests]
        unanswered = [request for request, answered in zip(requests, found, strict=True) if answered is None]
        if not unanswered:
            return [answered for answered in found if answered is not None]
        fresh = iter(self._ask(account, unanswered, attempt, keep))
        return [next(fresh) if answered is None else answered for answered in found]

    def _ask(self, account: Account, requests: list[Request], attempt: Attempt, keep: Keep) -> list[Answered]:
        keys = [request.key for request in requests]
        if self.sharing is None or None in keys:
            # A request without a key is never kept: its answer is not made into what the cache would keep.
            response, kept = self._send(account, requests, attempt, keep_nothing if None in keys else keep)
            return [Answered(response, completion) for completion in kept]
        by_key = {request.key: request for request in requests}
        return self.sharing.ask_all(
            [key for key in keys if key is not None],
            requests[0].model,
            lambda asked: self._send(account, [by_key[key] for key in asked], attempt, keep),
            account.stopped,
        )

    def _send(
        self, account: Account, requests: list[Request], attempt: Attempt, keep: Keep
    ) -> tuple[Any, list[str | None]]:
        """The requests, sent as one when the gate admits them: the gate is told the outcome and the limits the
        provider's headers state. The one place where a request leaves for the model, once neither the cache nor
        an identical request in flight answered it, and the place of any other way of getting its answer."""
        ticket = self.gate.admit(account)
        try:
            response, limits = attempt(requests)
        except Exception as error:
            account.failure = error
            self.gate.settle(
                ticket, classify(error), server_wait(error), limits=read_rate_limits(response_headers(error))
            )
            raise
        except BaseException:
            self.gate.settle(ticket, None)
            raise
        self.gate.settle(ticket, OK, limits=limits)
        return response, keep(response, requests)

    def settle(self, account: Account, usage: Usage | None, call: Callable[[], Any]) -> Settled:
        """Call until no request of the call fails, while the class of failure is worth another attempt and the
        policy allows one.

        A request fails as an error record that the extractors make of it, or, for a caller that asks through `ask`
        itself, as the request's own exception raised out of the call. Any other exception is not retried: the
        extractors log every failure of the model, so what they raise comes from the input or the answer, and
        would come again.
        """
        errors_of = thread_errors()
        retries = Retries(self.policy, self.gate, account)
        while True:
            with errors_of.watch() as failed, calling_for(self, account, usage):
                try:
                    result = call()
                except Exception as error:
                    if error is not account.failure:
                        return Settled(None, account.requests, f"{type(error).__name__}: {error}", ANSWER)
                    failed.append(Failure(f"{type(error).__name__}: {error}", error))
            if not failed:
                return Settled(result, account.requests)
            failure = failed[-1]
            error_class = classify(failure.error)
            if self.gate.halted == error_class:
                said, request = provider_said(failure.error)
                self.gate.note_fault({"error_class": error_class, "said": said, "request": request})
            if (
                error_class not in RETRYABLE
                or from_batch(failure.error)
                or not retries.wait(server_wait(failure.error))
            ):
                return Settled(None, account.requests, explain(failure), error_class)
