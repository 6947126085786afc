"""Identical requests asked once, and answers kept: the answer cache in front of every model request.

A request whose answer is in the cache is answered from it. Otherwise, in a process, the first thread to ask for a
key leads and the others with the same key wait for its answer. Across the processes of a machine, the leader first
claims the key in the cache file; a leader of another process that finds it claimed waits for the answer to appear
in the cache instead of asking. A claim is renewed while its process asks (through the gate and the request) and
lapses CLAIM seconds after the renewals stop, so a process that dies holds nothing for long; on the same host the
claim of a process that is gone is taken over at once. When the leader's call fails, or its answer may not be kept,
the claim is released and a waiter asks in its turn: a failed call is never kept, and never shared. A request that
carries several keys (the embeddings of many names) is a flight for each: only the keys that nobody has answered or
is asking go out, together.

Answers are written by one thread of the process, many in a transaction (a commit costs more than its rows); the
claim on a key lasts until its answer is written, and the process answers from what is not written yet itself.

The cache is a help, not a source of truth: when it fails (a full disk, a damaged page), the call is asked of the
model as if there were no cache, and the failure is counted for the run's report.
"""

from __future__ import annotations

import os
import socket
import sqlite3
import threading
import time
import uuid
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, TypeVar

from ..exits import CacheFileError
from .cache import AnswerCache
from .gate import TICK, Abandoned

CLAIM = 30.0
"""Seconds a claim lasts without renewal; renewed every third of it."""
POLL_FIRST, POLL_MOST = 0.005, 0.2
"""A leader waiting for another process's answer looks in the cache after this long, then twice as long each
time, up to POLL_MOST."""
GATHER = 0.05
"""The writer waits this long after an answer for others to write in the same transaction."""

Send = Callable[[], tuple[Any, "str | None"]]
"""Asks the model: its response, and the completion to keep (None: this answer is not to be kept)."""
SendAll = Callable[[list[bytes]], tuple[Any, "list[str | None]"]]
"""Asks the model for these keys in one request: its response, and the completion of each key to keep."""
_T = TypeVar("_T")


@dataclass(frozen=True)
class Answered:
    response: Any
    """The provider's response; None when the answer came from the cache or from another thread's request."""
    completion: str | None
    """The answer as the cache keeps it (None: a fresh answer that is not to be kept)."""


@dataclass(eq=False)
class _Flight:
    done: threading.Event = field(default_factory=threading.Event)
    completion: str | None = None


class Sharing:
    """One process's requests through one cache file."""

    def __init__(self, cache: AnswerCache) -> None:
        self.cache = cache
        self.host = socket.gethostname()
        self.owner = f"{self.host} {os.getpid()} {uuid.uuid4().hex[:8]}"
        self.errors = 0
        self.last_error = ""
        self._lock = threading.Condition()
        self._flying: dict[bytes, _Flight] = {}
        self._claims = 0
        self._keeper: threading.Thread | None = None
        self._unwritten: dict[bytes, str] = {}
        self._to_write: list[tuple[bytes, str, str]] = []
        self._writer: threading.Thread | None = None
        self._writing = False

    def ask(self, key: bytes, model: str, send: Send, stopped: threading.Event | None = None) -> Answered:
        def send_one(keys: list[bytes]) -> tuple[Any, list[str | None]]:
            response, completion = send()
            return response, [completion]

        return self.ask_all([key], model, send_one, stopped)[0]

    def ask_all(
        self, keys: Sequence[bytes], model: str, send: SendAll, stopped: threading.Event | None = None
    ) -> list[Answered]:
        """The answer to each of `keys`, in their order: a request that carries several (embeddings of many names)
        is one flight for each, and only the keys nobody answers or asks are sent, in one request."""
        distinct = list(dict.fromkeys(keys))
        answered: dict[bytes, Answered] = {}
        while len(answered) < len(distinct):
            led: dict[bytes, _Flight] = {}
            waited: dict[bytes, _Flight] = {}
            # Looked at together: a leader puts its answer among the unwritten ones before it lands, so a thread
            # that finds neither would otherwise claim the key again under its own process's claim.
            with self._lock:
                for key in distinct:
                    if key in answered:
                        continue
                    completion = self._unwritten.get(key)
                    flight = self._flying.get(key)
                    if completion is not None:
                        answered[key] = Answered(None, completion)
                    elif flight is not None:
                        waited[key] = flight
                    else:
                        led[key] = self._flying[key] = _Flight()
            if led:
                # Led to the end before any wait: a thread waits for others only while it leads nothing.
                try:
                    self._lead(led, model, send, stopped, answered)
                finally:
                    with self._lock:
                        for key in led:
                            del self._flying[key]
                    for flight in led.values():
                        flight.done.set()
            for key, flight in waited.items():
                _wait(flight.done, stopped)
                if flight.completion is not None:
                    answered[key] = Answered(None, flight.completion)
                # otherwise its call failed or its answer is not kept: asked in turn
        return [answered[key] for key in keys]

    def _lead(
        self,
        led: dict[bytes, _Flight],
        model: str,
        send: SendAll,
        stopped: threading.Event | None,
        answered: dict[bytes, Answered],
    ) -> None:
        unasked: list[bytes] = []
        for key, flight in led.items():
            flight.completion = self._safely(self.cache.get, None, key)
            if flight.completion is None:
                unasked.append(key)
            else:
                answered[key] = Answered(None, flight.completion)
        pause = POLL_FIRST
        while unasked:
            claimed: list[bytes] = []
            held: list[bytes] = []
            for key in unasked:
                ours, completion = self._claim(key)
                if completion is not None:
                    led[key].completion = completion
                    answered[key] = Answered(None, completion)
                else:
                    (claimed if ours else held).append(key)
            # Sent at once, the keys another process holds waited for after: two processes that each held a key
            # the other wants would otherwise wait for each other.
            if claimed:
                try:
                    response, completions = send(claimed)
                except BaseException:
                    for key in claimed:
                        self._unclaim(key, None, model)
                    raise
                for key, completion in zip(claimed, completions, strict=True):
                    self._unclaim(key, completion, model)
                    led[key].completion = completion
                    answered[key] = Answered(response, completion)
            unasked = held
            if unasked:
                _sleep(pause, stopped)
                pause = min(pause * 2, POLL_MOST)

    def _claim(self, key: bytes) -> tuple[bool, str | None]:
        now = time.time()
        # A cache that fails: ask as if there were none.
        if self._safely(self.cache.claim_free, True, key, self.owner, now + CLAIM, now):
            claimed, completion = True, None
        else:  # answered, claimed by another, or by a process that is gone: looked at in a transaction
            unclaimed: tuple[bool, str | None] = (True, None)
            claimed, completion = self._safely(
                self.cache.claim, unclaimed, key, self.owner, now + CLAIM, now, self._alive
            )
        if claimed:
            with self._lock:
                self._claims += 1
                if self._keeper is None:
                    self._keeper = threading.Thread(target=self._keep_claims, name="answer-claims", daemon=True)
                    self._keeper.start()
                self._lock.notify_all()
        return claimed, completion

    def _unclaim(self, key: bytes, completion: str | None, model: str) -> None:
        if completion is None:
            self._safely(self.cache.release, None, key, self.owner)
            with self._lock:
                self._claims -= 1
            return
        with self._lock:
            self._unwritten[key] = completion
            self._to_write.append((key, completion, model))
            if self._writer is None:
                self._writer = threading.Thread(target=self._write, name="answer-writer", daemon=True)
                self._writer.start()
            self._lock.notify_all()

    def _write(self) -> None:
        while True:
            with self._lock:
                while not self._to_write:
                    self._lock.wait()
                self._writing = True
            time.sleep(GATHER)
            with self._lock:
                batch, self._to_write = self._to_write, []
            written: bool = self._safely(self._put_all, False, batch)
            if not written:
                for key, _, _ in batch:
                    self._safely(self.cache.release, None, key, self.owner)
            with self._lock:
                for key, completion, _ in batch:
                    if self._unwritten.get(key) is completion:
                        del self._unwritten[key]
                self._claims -= len(batch)
                self._writing = False
                self._lock.notify_all()

    def _put_all(self, batch: list[tuple[bytes, str, str]]) -> bool:
        self.cache.put_all(batch, self.owner)
        return True

    def flush(self) -> None:
        """Wait until every answer this process got is written."""
        with self._lock:
            while self._to_write or self._writing:
                self._lock.wait()

    def _keep_claims(self) -> None:
        while True:
            with self._lock:
                while not self._claims:
                    self._lock.wait()
            time.sleep(CLAIM / 3)
            self._safely(self.cache.renew, None, self.owner, time.time() + CLAIM)

    def _alive(self, owner: str) -> bool:
        """Whether the process that claimed a key may still be asking: one of another host may always be."""
        host, _, rest = owner.rpartition(" ")[0].rpartition(" ")
        if host != self.host:
            return True
        try:
            os.kill(int(rest), 0)
        except ProcessLookupError:
            return False
        except (PermissionError, ValueError, OverflowError):
            return True
        return True

    def _safely(self, operation: Callable[..., _T], failed: _T, *args: Any, **kwargs: Any) -> _T:
        try:
            return operation(*args, **kwargs)
        # A thread's first connection to a file that has gone fails as the file does: the writer's, unseen, would
        # end its thread and leave `flush` waiting for ever.
        except (sqlite3.Error, CacheFileError) as error:
            with self._lock:
                self.errors += 1
                self.last_error = f"{type(error).__name__}: {error}"
            return failed


def _wait(event: threading.Event, stopped: threading.Event | None) -> None:
    while not event.wait(TICK):
        if stopped is not None and stopped.is_set():
            raise Abandoned


def _sleep(seconds: float, stopped: threading.Event | None) -> None:
    if stopped is None:
        time.sleep(seconds)
    elif stopped.wait(seconds):
        raise Abandoned
