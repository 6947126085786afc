"""The driver's progress bar on stderr: redrawn in place on a terminal, a line now and then anywhere else.

It counts inputs as the workers write them (each id once, however often a redone task writes it), with what their
calls used (the share answered from the cache, the tokens, the cost at --price), and shows how the requests fare,
from what each worker process last said: calls in flight, requests per second and the share refused for the rate
(429) over the last few seconds, and the call latency's median and 95th percentile.
"""

from __future__ import annotations

import math
import threading
import time
from collections import deque
from collections.abc import Iterable, Mapping
from typing import Any, TextIO

from .asking.batches import Batch
from .asking.usage import Price, Usage

WIDTH = 24
# Into a log file or a pipe, a line per update would bury everything else.
LINE_EVERY = 10.0
RATE_SPAN = 5.0
"""Seconds of the workers' figures over which the requests per second and the share refused are taken."""
LATENCIES = 500


class Progress:
    def __init__(self, total: int, stream: TextIO, enabled: bool = True, price: Price | None = None) -> None:
        self.total = total
        self.price = price
        self.stream = stream
        self.enabled = enabled and total > 0
        self.began = time.monotonic()
        self._lock = threading.Lock()
        self._status: dict[str, str] = {}
        self.failed = 0
        self._usage_of: dict[str, Mapping[str, Any]] = {}
        self.usage = Usage()
        self._workers: dict[str, dict[str, Any]] = {}
        self._totals: deque[tuple[float, int, int]] = deque()
        self._latencies: deque[float] = deque(maxlen=LATENCIES)
        self._terminal = stream.isatty()
        self._last_line = -math.inf
        self._drawn_whole = False
        self.stopped: str | None = None
        """The class of the fault that stopped the run's sends, once one did."""

    @property
    def done(self) -> int:
        return len(self._status)

    def written(self, outcomes: Iterable[tuple[str, str, Mapping[str, Any] | None]]) -> None:
        """(id key, status, usage) of inputs written: a later line of an id replaces its earlier one."""
        with self._lock:
            for key, status, usage in outcomes:
                before = self._status.get(key)
                self._status[key] = status
                self.failed += (status == "failed") - (before == "failed")
                if key in self._usage_of:
                    self.usage.add({name: -value for name, value in self._usage_of.pop(key).items()})
                if usage:
                    self._usage_of[key] = usage
                    self.usage.add(usage)

    def observe(self, worker: str, stats: dict[str, Any], now: float | None = None) -> None:
        """A worker process's figures: in flight, requests and refusals so far, latencies since it last said."""
        now = time.monotonic() if now is None else now
        with self._lock:
            self._workers[worker] = stats
            self._latencies.extend(float(seconds) for seconds in stats.get("latencies", ()))
            requests = sum(int(figures.get("requests", 0)) for figures in self._workers.values())
            refused = sum(int(figures.get("refused", 0)) for figures in self._workers.values())
            self._totals.append((now, requests, refused))
            while len(self._totals) > 2 and self._totals[1][0] <= now - RATE_SPAN:
                self._totals.popleft()

    def render(self, now: float | None = None) -> str:
        now = time.monotonic() if now is None else now
        with self._lock:
            done, failed = self.done, self.failed
            elapsed = now - self.began
            share = done / self.total if self.total else 1.0
            filled = int(share * WIDTH)
            rate = done / elapsed if elapsed > 0 else 0.0
            left = f", {(self.total - done) / rate:.0f} s left" if rate and done < self.total else ""
            if self.stopped is not None:
                left = f" | stopped ({self.stopped}): nothing more is sent"
            text = f"[{'#' * filled}{'.' * (WIDTH - filled)}] {done}/{self.total} done, {failed} failed{left}"
            return text + self._usage() + self._requests()

    def _usage(self) -> str:
        usage = self.usage
        if not usage.calls:
            return ""
        tokens = usage.prompt_tokens + usage.completion_tokens
        text = f" | {100 * usage.from_cache / usage.calls:.0f}% from the cache, {tokens:,} tokens"
        if self.price is not None:
            text += f", cost {self.price.cost(usage.prompt_tokens, usage.completion_tokens):,.4f}"
        return text

    def _requests(self) -> str:
        if not self._workers:
            return ""
        in_flight = sum(int(figures.get("in_flight", 0)) for figures in self._workers.values())
        parts = [f"{in_flight} in flight"]
        (first, requests_then, refused_then), (last, requests, refused) = self._totals[0], self._totals[-1]
        if last > first:
            parts.append(f"{(requests - requests_then) / (last - first):.1f} req/s")
        if requests > requests_then:
            parts.append(f"{100 * (refused - refused_then) / (requests - requests_then):.0f}% 429")
        p50, p95 = self._latency(0.5), self._latency(0.95)
        if p50 is not None and p95 is not None:
            parts.append(f"p50 {p50:.2f} s, p95 {p95:.2f} s")
        down = sum(bool(figures.get("open")) for figures in self._workers.values())
        if down:
            parts.append(f"endpoint down for {down} worker{'s' if down > 1 else ''}: probing")
        return " | " + ", ".join(parts)

    def latency(self, share: float) -> float | None:
        """The latency below which this share of the last requests stayed (None before any)."""
        with self._lock:
            return self._latency(share)

    def _latency(self, share: float) -> float | None:
        if not self._latencies:
            return None
        ordered = sorted(self._latencies)
        return ordered[min(len(ordered) - 1, int(len(ordered) * share))]

    def stop(self, error_class: str) -> None:
        """The run sends nothing more: said at once, in place of the time left, wherever the bar goes."""
        with self._lock:
            self.stopped = error_class
            self._last_line = -math.inf
        self.draw()

    def draw(self, now: float | None = None) -> None:
        if not self.enabled:
            return
        now = time.monotonic() if now is None else now
        if self._terminal:
            self.stream.write("\r" + self.render(now) + "\x1b[K")
        elif now - self._last_line >= LINE_EVERY or (self.done >= self.total and not self._drawn_whole):
            self.stream.write(self.render(now) + "\n")
            self._last_line = now
            self._drawn_whole = self.done >= self.total
        else:
            return
        self.stream.flush()

    def close(self) -> None:
        if self.enabled and self._terminal and self.done:
            self.stream.write("\n")
            self.stream.flush()


SHOWN_BATCHES = 4


class BatchBar:
    """The batches a round waits for: requests done and failed of each as the provider counts them, and its status;
    redrawn in place on a terminal, a line when a status changes or now and then anywhere else."""

    def __init__(self, stream: TextIO, enabled: bool = True) -> None:
        self.stream, self.enabled = stream, enabled
        self._terminal = stream.isatty()
        self._last_line = -math.inf
        self._statuses: list[str | None] = []

    def render(self, title: str, batches: list[Batch]) -> str:
        total = sum(batch.requests for batch in batches)
        done = sum(min(batch.done + batch.failed, batch.requests) for batch in batches)
        failed = sum(batch.failed for batch in batches)
        filled = int(WIDTH * done / total) if total else WIDTH
        each = ", ".join(
            f"{batch.name} {batch.status or batch.stage} {batch.done + batch.failed}/{batch.requests}"
            for batch in batches[:SHOWN_BATCHES]
        )
        more = f", {len(batches) - SHOWN_BATCHES} more" if len(batches) > SHOWN_BATCHES else ""
        bar = f"[{'#' * filled}{'.' * (WIDTH - filled)}]"
        return f"{bar} {title}: {done}/{total} requests done, {failed} failed | {each}{more}"

    def draw(self, title: str, batches: list[Batch], now: float | None = None) -> None:
        if not self.enabled or not batches:
            return
        now = time.monotonic() if now is None else now
        statuses = [batch.status for batch in batches]
        if self._terminal:
            self.stream.write("\r" + self.render(title, batches) + "\x1b[K")
        elif statuses != self._statuses or now - self._last_line >= LINE_EVERY:
            self.stream.write(self.render(title, batches) + "\n")
            self._last_line = now
        else:
            return
        self._statuses = statuses
        self.stream.flush()

    def close(self) -> None:
        if self.enabled and self._terminal and self._statuses:
            self.stream.write("\n")
            self.stream.flush()
        self._statuses = []
