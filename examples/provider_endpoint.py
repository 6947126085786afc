"""The scripted endpoint behaving as a hosted model provider does, for the tests and `make bench-corpus`.

On top of the scripted answers: a request-rate limit (a token bucket) answered with HTTP 429 and the headers
providers send (`retry-after`, `retry-after-ms`, `x-ratelimit-*`, the limit per minute as hosted providers count
it), a window of 503s as in an outage, requests that are read and answered only much later (or when the endpoint
stops), and latency drawn from a lognormal distribution. Every request is logged with its status and times, so
that a run can be checked against what the provider saw.

Only the standard library is used, and the server binds to 127.0.0.1 on a free port.
"""

from __future__ import annotations

import http.server
import json
import math
import random
import threading
import time
from collections import Counter
from collections.abc import Collection
from dataclasses import dataclass, replace
from typing import Any

from scripted_endpoint import Reply, Responder, ScriptedEndpoint, TokenCount, question_of

__all__ = ["ProviderEndpoint", "Served"]


@dataclass
class Served:
    """One request as the provider saw it."""

    question: str
    status: int
    arrived: float
    """time.monotonic() when it was read."""
    finished: float | None = None
    """When its answer was sent; None while it is held, and for one still held when the endpoint stopped."""


class ProviderEndpoint(ScriptedEndpoint):
    """``ProviderEndpoint(responder, rate=20, outage=(10, 30), hang={3, 50}, latency=0.12)``.

    `rate`: requests per second it takes, `burst` of them at once (default a quarter second's worth); `outage`:
    (start, length) in seconds from its first request, answered 503; `hang`: the numbers (from 0, in arrival order)
    of the requests it holds for `hang_for` seconds before answering; `latency`: the median seconds an answer
    takes; `count_tokens`: how the answers' usage counts tokens (see scripted_endpoint).
    """

    def __init__(
        self,
        responder: Responder | None = None,
        *,
        count_tokens: TokenCount = len,
        rate: float | None = None,
        burst: float | None = None,
        outage: tuple[float, float] | None = None,
        hang: Collection[int] = (),
        hang_for: float = 300.0,
        latency: float = 0.0,
        seed: int = 0,
    ) -> None:
        super().__init__(responder, count_tokens=count_tokens)
        self.rate = rate
        self.burst = burst if burst is not None else max(1.0, rate / 4) if rate else 0.0
        self.outage = outage
        self.hang, self.hang_for = frozenset(hang), hang_for
        self.latency = latency
        self.served: list[Served] = []
        self._random = random.Random(seed)
        self._provider_lock = threading.Lock()
        self._tokens = self.burst
        self._refilled: float | None = None
        self._first: float | None = None
        self._arrivals = 0
        self._decided = threading.local()

    @property
    def statuses(self) -> Counter[int]:
        with self._provider_lock:
            return Counter(served.status for served in self.served)

    def asked(self, fragment: str) -> int:
        """Requests whose question holds this text, whatever they were answered."""
        with self._provider_lock:
            return sum(fragment in served.question for served in self.served)

    def goodput(self) -> float:
        """Answers (200) per second, from the first request to the last answer."""
        with self._provider_lock:
            answered = [served.finished for served in self.served if served.status == 200 and served.finished]
            if not answered or self._first is None:
                return 0.0
            return len(answered) / max(max(answered) - self._first, 1e-9)

    def _reply_to(self, request: dict[str, Any]) -> Reply:
        now = time.monotonic()
        question = question_of(request.get("messages", [{}])[-1].get("content", ""))
        with self._provider_lock:
            if self._first is None:
                self._first = now
            number, self._arrivals = self._arrivals, self._arrivals + 1
            since = now - self._first
            delay = self._random.lognormvariate(math.log(self.latency), 0.5) if self.latency > 0 else 0.0
            reply = None
            if self.outage is not None and self.outage[0] <= since < self.outage[0] + self.outage[1]:
                reply = Reply(status=503, body=_error("The server is overloaded or not ready yet.", "server_error"))
            elif self.rate:
                self._refill(now)
                if self._tokens < 1:
                    reply = self._refusal()
                else:
                    self._tokens -= 1
            limits = self._limit_headers()
        if reply is None:
            reply = super()._reply_to(request)
            reply = replace(reply, delay=self.hang_for if number in self.hang else reply.delay + delay)
        self._decided.served = Served(question, reply.status, now)
        with self._provider_lock:
            self.served.append(self._decided.served)
        return replace(reply, headers={**limits, **reply.headers})

    def _answer(self, handler: http.server.BaseHTTPRequestHandler, request: dict[str, Any]) -> None:
        self._decided.served = None
        super()._answer(handler, request)
        served = self._decided.served
        if served is not None and not self._stopping.is_set():
            served.finished = time.monotonic()

    def _refill(self, now: float) -> None:
        assert self.rate
        if self._refilled is not None:
            self._tokens = min(self.burst, self._tokens + (now - self._refilled) * self.rate)
        self._refilled = now

    def _refusal(self) -> Reply:
        assert self.rate
        wait = (1 - self._tokens) / self.rate
        message = f"Rate limit reached for requests. Please try again in {_duration(wait)}."
        return Reply(
            status=429,
            body=_error(message, "requests", "rate_limit_exceeded"),
            headers={"retry-after": str(max(1, math.ceil(wait))), "retry-after-ms": str(math.ceil(wait * 1000))},
        )

    def _limit_headers(self) -> dict[str, str]:
        if not self.rate:
            return {}
        return {
            "x-ratelimit-limit-requests": str(round(self.rate * 60)),
            "x-ratelimit-remaining-requests": str(max(0, int(self._tokens))),
            "x-ratelimit-reset-requests": _duration((self.burst - self._tokens) / self.rate),
        }


def _error(message: str, kind: str, code: str | None = None) -> bytes:
    return json.dumps({"error": {"message": message, "type": kind, "param": None, "code": code}}).encode()


def _duration(seconds: float) -> str:
    """As providers write it: "20ms", "1.2s"."""
    return f"{max(0, math.ceil(seconds * 1000))}ms" if seconds < 1 else f"{seconds:.1f}s"
