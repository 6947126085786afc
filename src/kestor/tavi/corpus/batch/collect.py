"""The requests a round of batches asks: every input not yet done goes through the extractors as in a live run, with
an asker that answers what the answer cache (or the run's earlier batches) can, and records every other request in
the place of sending it. The requests are the very ones a live run would make, with the same messages and options,
so their keys are the ones a live run looks up.

A recorded request is answered with a stand-in that says nothing (no extraction), so that a call goes on to its
requests that do not depend on that answer (the other chunks of a long text) and makes none of those that do (the
force of relations not known yet, a review of a force not known yet): those go in a later round, once the answers
they depend on are in the cache.
"""

from __future__ import annotations

import contextlib
import functools
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from ..asking.asker import Asker, Attempt, Carried, Keep, Request, Settled
from ..asking.cache import AnswerCache, request_key
from ..asking.client import stand_in
from ..asking.gate import Account, Gate
from ..asking.policy import RetryPolicy
from ..asking.sharing import Answered
from ..extractors import Reviews
from ..inputs import Record
from ..modes import process, step_of


@functools.cache
def _nothing_found() -> str:
    """The model's answer that holds no extraction, in the form the library reads."""
    from langextract.core.format_handler import FormatHandler

    return str(FormatHandler().format_extraction_example([]))


@dataclass
class Collection:
    requests: dict[bytes, Request] = field(default_factory=dict)
    """The requests to ask, by key, in the order the inputs first made them."""
    steps: dict[bytes, str] = field(default_factory=dict)
    """What each of them asks (relations, force, review)."""
    inputs: int = 0
    """Inputs that wait for an answer."""


class Collector(Asker):
    """Answers from the cache and what the run's batches carried; records any other request, and answers it with a
    stand-in. A request left to a live run (`live`) is answered with a stand-in and not recorded. The extractors are
    the collector's own: their force extractor's review is watched, to tell its requests from the force's."""

    def __init__(
        self, mode: str, extractors: dict[str, Any], cache: AnswerCache, carried: Carried, live: set[bytes]
    ) -> None:
        super().__init__(RetryPolicy(retries=0), Gate(1), None, carried)
        self.mode, self.extractors, self.cache, self.live = mode, extractors, cache, live
        self.reviews = Reviews(extractors)
        self.collection = Collection()
        self._call = 0
        self._waits = False

    def key(self, endpoint: str, body: Mapping[str, Any]) -> bytes | None:
        return request_key(endpoint, body)

    def ask(self, account: Account, requests: Sequence[Request], attempt: Attempt, keep: Keep) -> list[Answered]:
        answers = []
        for request in requests:
            answered = self.carried.answer(account, request)
            if answered is None and request.key is not None:
                completion = self.cache.get(request.key)
                answered = None if completion is None else Answered(None, completion)
            if answered is None:
                answered = Answered(stand_in(request.model, _nothing_found()), None)
                self._waits = True
                key = request.key
                if key is not None and key not in self.live and key not in self.collection.requests:
                    self.collection.requests[key] = request
                    self.collection.steps[key] = step_of(self.mode, self._call, self.reviews.running)
            answers.append(answered)
        return answers

    def settle_step(self, call: Callable[[], Any]) -> Settled:
        """One of an input's calls, as the mode makes them one after another."""
        try:
            return self.settle(Account(), None, call)
        finally:
            self._call += 1

    def collect(self, records: Iterable[Record]) -> Collection:
        """The requests of the records that nothing answers yet."""
        self.collection = Collection()
        for record in records:
            self._call, self._waits = 0, False
            # An input's own fault is its live run's to meet and write.
            with contextlib.suppress(Exception):
                process(self.mode, self.extractors, record, self.settle_step)
            self.collection.inputs += self._waits
        return self.collection
