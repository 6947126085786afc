"""The scripted endpoint behaving as a hosted model provider does, for the tests and `make bench-corpus`.

On top of the scripted answers: a request-rate limit (a token bucket) answered with HTTP 429 and the headers
providers send (`retry-after`, `retry-after-ms`, `x-ratelimit-*`, the limit per minute as hosted providers count
it), a limit that drops, a window of 503s as in an outage, requests that are read and answered only much later
(or when the endpoint stops), latency drawn from a lognormal distribution, and the faults of an account and of what
stands between: a quota used up (429 `insufficient_quota`, no retry-after), a key refused from some request on
(401 `invalid_api_key`), a 200 that is no completion (a proxy's page, a body cut short) and a body that trickles.
Every request is logged with its status and times, so that a run can be checked against what the provider saw.
`PlainWebServer` is an ordinary web server where a model endpoint should be: it answers every POST with 501.

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

from scripted_endpoint import PROXY_PAGE, Reply, Responder, ScriptedEndpoint, TokenCount, completion, question_of

__all__ = ["PlainWebServer", "ProviderEndpoint", "Served"]


@dataclass
class Served:
    """One request as the provider saw it."""

    question: str
    status: int
    arrived: float
    """time.monotonic() when it was read."""
    finished: float | None = None
    """When its answer was sent (or, trickling, when the client gave up on it); None while it is held, and for one
    still held when the endpoint stopped."""


class ProviderEndpoint(ScriptedEndpoint):
    """``ProviderEndpoint(responder, rate=20, outage=(10, 30), hang={3, 50}, latency=0.12)``.

    `rate`: requests per second it takes, `burst` of them at once (default a quarter second's worth), stated in the
    `x-ratelimit-*` headers unless `limit_headers` is false; `drop`: (seconds from its first request, the rate from
    then on); `outage`: (start, length) in seconds from its first request, answered 503; `hang`: the numbers (from
    0, in arrival order) of the requests it holds for `hang_for` seconds before answering; `latency`: the median
    seconds an answer takes; `count_tokens`: how the answers' usage counts tokens (see scripted_endpoint). Request
    numbers from `quota_from` on are refused for the quota, from `key_refused_from` on for the key; one in
    `garbage_every` is answered 200 with a proxy's page or a completion cut short, in turn; one in `trickle_every`
    gets its answer a byte every `trickle_gap` seconds.
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
        limit_headers: bool = True,
        drop: tuple[float, float] | None = None,
        quota_from: int | None = None,
        key_refused_from: int | None = None,
        garbage_every: int | None = None,
        trickle_every: int | None = None,
        trickle_gap: float = 2.0,
    ) -> None:
        super().__init__(responder, count_tokens=count_tokens)
        self.rate = rate
        self.limit_headers, self.drop = limit_headers, drop
        self.quota_from, self.key_refused_from = quota_from, key_refused_from
        self.garbage_every, self.trickle_every, self.trickle_gap = garbage_every, trickle_every, trickle_gap
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
            if self.drop is not None and since >= self.drop[0] and self.rate != self.drop[1]:
                self.rate = self.drop[1]
                self.burst = max(1.0, self.rate / 4)
                self._tokens = min(self._tokens, self.burst)
            # A provider looks at the key and the account before its load and its limits.
            reply = self._account_fault(number)
            if reply is None and self.outage is not None and self.outage[0] <= since < sum(self.outage):
                reply = Reply(status=503, body=_error("The server is overloaded or not ready yet.", "server_error"))
            elif reply is None and self.rate:
                self._refill(now)
                if self._tokens < 1:
                    reply = self._refusal()
                else:
                    self._tokens -= 1
            limits = self._limit_headers()
        if reply is None:
            reply = super()._reply_to(request)
            reply = replace(reply, delay=self.hang_for if number in self.hang else reply.delay + delay)
            reply = self._stand_in(reply, number, request)
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

    def _account_fault(self, number: int) -> Reply | None:
        if self.key_refused_from is not None and number >= self.key_refused_from:
            message = "Incorrect API key provided: sk-...abcd. You can find your API key in your account settings."
            return Reply(status=401, body=_error(message, "invalid_request_error", "invalid_api_key"))
        if self.quota_from is not None and number >= self.quota_from:
            message = "You exceeded your current quota, please check your plan and billing details."
            return Reply(status=429, body=_error(message, "insufficient_quota", "insufficient_quota"))
        return None

    def _stand_in(self, reply: Reply, number: int, request: dict[str, Any]) -> Reply:
        """What a proxy or a slow link makes of an answer on its way."""
        if reply.status != 200 or reply.body is not None:
            return reply
        if self.garbage_every and number % self.garbage_every == self.garbage_every - 1:
            if (number // self.garbage_every) % 2:
                return replace(reply, body=PROXY_PAGE, content_type="text/html")
            whole = json.dumps(completion(request.get("model", "scripted"), reply.content), ensure_ascii=False)
            return replace(reply, body=whole.encode()[: len(whole) // 2])
        if self.trickle_every and number % self.trickle_every == self.trickle_every - 1:
            return replace(reply, trickle=self.trickle_gap)
        return reply

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
        if not self.rate or not self.limit_headers:
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


class PlainWebServer:
    """An ordinary web server on 127.0.0.1 where a model endpoint should be: every POST is answered 501, as the
    standard library's server answers a method it does not serve. ``with PlainWebServer() as server:
    server.base_url``; `posts` counts what it was sent."""

    def __init__(self) -> None:
        self.posts = 0
        self._server: http.server.ThreadingHTTPServer | None = None

    @property
    def base_url(self) -> str:
        assert self._server is not None, "the server is not running"
        return f"http://127.0.0.1:{self._server.server_port}/v1"

    def __enter__(self) -> PlainWebServer:
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, format: str, *args: Any) -> None:
                pass

            def do_POST(self) -> None:
                server.posts += 1
                self.send_error(501, f"Unsupported method ({self.command!r})")

        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        threading.Thread(target=self._server.serve_forever, args=(0.05,), daemon=True).start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        assert self._server is not None
        self._server.shutdown()
        self._server.server_close()
        self._server = None
