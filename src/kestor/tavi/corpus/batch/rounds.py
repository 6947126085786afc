"""A corpus run's model calls through batches, at half the price, before the run itself: rounds of collect, write,
submit and wait, and take in, until no input waits for an answer; the run then finds every answer in the cache.

- collect (see collect): the requests of the inputs not done that neither the cache nor an earlier round answered.
- write (see store and lines): one model and one url per file, at most MOST_REQUESTS lines and --batch-max-bytes a
  file; the custom_id is the request's cache key in hex (64 characters), so two inputs with the same request make
  one line, and a request keeps its custom_id in every round and every rerun.
- submit and wait (see asking.batches): each batch's record is saved the moment it changes; the batches are looked
  at every --batch-poll seconds at first, then up to twice that, and never cancelled: a provider may take longer
  than its window, and Ctrl-C leaves them running, for a rerun to look at again.
- take in: the output and the error file together, lines in any order, matched on custom_id; each answer goes into
  the answer cache, and the batch's files at the provider are deleted once it is there.

A mode whose next request depends on an answer (the force of an article's relations, the review of a force) takes
a round per step. A request that failed for a while (the batch expired or was cancelled, a 429, a 5xx, no status,
no line at all) goes to the next round, up to BATCH_TRIES batches, or to the run live with --batch-retry live; any
other failure is its input's, which fails as it would have failed live. What the cache does not keep (those
failures, and answers the cache never keeps) the run is told of apart (see asking.asker.Carried).
"""

from __future__ import annotations

import json
from collections import defaultdict
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TextIO

from ..asking.asker import CHAT, Carried, Request
from ..asking.batches import (
    ANSWERED,
    CREATING,
    DONE,
    SPLIT,
    SUBMITTED,
    TAKEN,
    TOO_LARGE_CODES,
    UPLOADED,
    UPLOADING,
    WRITTEN,
    Batch,
    Exchange,
    TooLarge,
)
from ..asking.cache import AnswerCache, BatchOut, request_body
from ..asking.client import kept, kept_response
from ..asking.failures import body_head
from ..asking.usage import Usage
from ..inputs import Record, counted
from ..progress import BatchBar
from .collect import Collection, Collector
from .lines import MISSING, MOST_REQUESTS, Outcome, cut, input_line, outcomes, url_of
from .store import Store

BATCH_TRIES = 3
"""Batches a request goes in, within a run, before it fails for good."""
BATCH_POLL = 30.0
RETRY_BATCH, RETRY_LIVE = "batch", "live"
GROWTH = 1.5
PUT_EVERY = 1000
"""Answers kept in the cache in one transaction."""
TOO_LARGE = (413, "request_too_large")


@dataclass(frozen=True)
class BatchOptions:
    exchange: Exchange
    poll: float
    """Seconds between the first looks at the batches out; up to twice as long later."""
    most_bytes: int
    retry: str = RETRY_BATCH
    """Where a request that failed for a while goes: to another batch, or to the run live."""


@dataclass
class BatchReport:
    """What the batches did, for the summary."""

    rounds: list[str] = field(default_factory=list)
    batches: int = 0
    """Batches whose answers were taken in."""
    usage: Usage = field(default_factory=Usage)
    """What the answers taken in used."""
    failed: int = 0
    """Requests that came back failed, their inputs with them."""
    live: int = 0
    """Requests left to the run to ask live."""


class Rounds:
    def __init__(
        self,
        mode: str,
        base_url: str,
        out_dir: str,
        cache: AnswerCache,
        options: BatchOptions,
        stream: TextIO,
        show_progress: bool,
    ) -> None:
        self.mode, self.base_url, self.out_dir, self.cache, self.options = mode, base_url, out_dir, cache, options
        self.exchange = options.exchange
        self.store = Store(out_dir)
        self.stream, self.show_progress = stream, show_progress
        self.bar = BatchBar(stream, show_progress)
        self.report = BatchReport()
        self.answers: dict[bytes, str] = {}
        self.failures: dict[bytes, tuple[int, str | None, str]] = {}
        self.live: set[bytes] = set()
        self._tries: dict[bytes, int] = defaultdict(int)
        self._last: dict[bytes, Outcome] = {}
        """A request's last failure that another batch may answer."""
        self._recorded: list[Batch] = []
        self._most_requests, self._most_bytes = MOST_REQUESTS, options.most_bytes
        """What the provider takes in a batch, as far as a batch it refused for its size says."""

    @property
    def carried(self) -> Carried:
        return Carried(self.answers, self.failures)

    def run(self, extractors: dict[str, Any], records: list[Record]) -> Carried:
        """Every request of the records asked in batches, as far as batches answer them; what the run is to be told
        that the cache does not hold."""
        self.exchange.probe()
        self._recorded = self.store.batches()
        left = [batch for batch in self._recorded if batch.stage not in (DONE, SPLIT)]
        if left:
            self._say(f"{_batches(len(left))} of an earlier run still out: their answers come in first")
            self._finish(left, "the batches of an earlier run")
        collector = Collector(self.mode, extractors, self.cache, self.carried, self.live)
        while True:
            collection = collector.collect(records)
            if not collection.requests:
                return self.carried
            steps = ", ".join(dict.fromkeys(collection.steps.values()))
            title = f"round {len(self.report.rounds) + 1} ({steps})"
            self.report.rounds.append(steps)
            self._say(
                f"{title}: {counted(len(collection.requests), 'request')} for "
                f"{counted(collection.inputs, 'input')} to ask in batches"
            )
            self._finish(self._write(collection), title)

    def out(self) -> list[Batch]:
        """The batches still out: something of each is at the provider, or it waits to go there."""
        return [batch for batch in self.store.batches() if batch.stage not in (DONE, SPLIT)]

    def _say(self, text: str, always: bool = False) -> None:
        if self.show_progress or always:
            print(text, file=self.stream, flush=True)

    def _write(self, collection: Collection) -> list[Batch]:
        """The collection's requests as batches, a file per model, url and step, cut to the provider's sizes."""
        groups: dict[tuple[str, str, str], list[bytes]] = defaultdict(list)
        for key, request in collection.requests.items():
            if self._tries[key] >= BATCH_TRIES:
                last = self._last.get(key, MISSING)
                self.failures[key] = (last.status, last.code, f"after {BATCH_TRIES} batches: {last.message}")
                continue
            url = url_of(self.base_url, request.path)
            line = input_line(key.hex(), url, request_body(request.body))
            if len(line) > self.options.most_bytes:
                message = f"a request of {len(line):,} bytes, more than --batch-max-bytes {self.options.most_bytes:,}"
                self._fail(key, Outcome(None, *TOO_LARGE, message))
                continue
            self._tries[key] += 1
            groups[(request.model, url, collection.steps[key])].append(line)
        batches = []
        for (model, url, step), lines in groups.items():
            for chunk in cut(lines, self._most_requests, self._most_bytes):
                batches.append(self.store.write(chunk, url, model, step, self._recorded))
        return batches

    def _finish(self, batches: list[Batch], title: str) -> None:
        """Submit what is not out yet, then wait for each, taking its answers in as soon as it ends."""
        waiting = list(batches)
        for batch in list(waiting):
            if batch.stage in (WRITTEN, UPLOADING, UPLOADED, CREATING):
                self._submit(batch, waiting)
        pause = self.options.poll
        while True:
            looked_at = list(waiting)
            for batch in looked_at:
                if batch.stage == SUBMITTED:
                    self._refresh(batch)
                if batch.stage == ANSWERED:
                    self._take_in(batch, waiting)
                if batch.stage == TAKEN:
                    self.exchange.discard(batch)
                    self.store.close(batch, DONE)
                    self.cache.forget_batch(self._id(batch))
                if batch.stage in (DONE, SPLIT):
                    waiting.remove(batch)
            self.bar.draw(title, [batch for batch in looked_at if batch.stage != SPLIT])
            if not waiting:
                self.bar.close()
                return
            self.exchange.pause(pause)
            pause = min(pause * GROWTH, 2 * self.options.poll)

    def _submit(self, batch: Batch, waiting: list[Batch]) -> None:
        try:
            self.exchange.submit(batch, self.store.input_of(batch), lambda: self.store.save(batch))
        except TooLarge as error:
            self._say(f"{batch.name}: refused for its size ({error}): split in two")
            self._split(batch, waiting)
            return
        self._note(batch)
        waits = f"{counted(batch.requests, 'request')} ({batch.step}): {self.exchange.waiting_for(batch)}"
        self._say(f"{batch.name}: {waits}", always=self.exchange.tells)

    def _refresh(self, batch: Batch) -> None:
        before = (batch.stage, batch.status, batch.done, batch.failed)
        self.exchange.refresh(batch)
        if (batch.stage, batch.status, batch.done, batch.failed) != before:
            self.store.save(batch)
            if batch.status != before[1]:
                self._note(batch)

    def _take_in(self, batch: Batch, waiting: list[Batch]) -> None:
        """The batch's outcomes: each answer into the cache, each failure to where it goes."""
        if batch.status == "failed":
            self._take_in_failed(batch, waiting)
            return
        found, _ = outcomes(_lines(self.exchange.fetch(batch, self.store.directory)))
        answers: list[tuple[bytes, str, str]] = []
        for line in self.store.lines_of(batch):
            request = json.loads(line)
            key = bytes.fromhex(request["custom_id"])
            outcome = found.get(request["custom_id"], MISSING)
            response = None if outcome.body is None else _completion(outcome.body)
            if response is None:
                if outcome.body is not None:
                    said = body_head(json.dumps(outcome.body, ensure_ascii=False).encode())
                    outcome = Outcome(None, 0, "no_completion", f"an answer that is no chat completion: {said}")
                self._fail(key, outcome)
                continue
            self.report.usage.count(response)
            [completion] = kept(response, [Request(request["body"], key, CHAT)])
            if completion is None:
                self.answers[key] = json.dumps(outcome.body, ensure_ascii=False)
            else:
                answers.append((key, completion, batch.model))
        for start in range(0, len(answers), PUT_EVERY):
            self.cache.put_all(answers[start : start + PUT_EVERY])
        batch.stage = TAKEN
        self.store.save(batch)
        self.report.batches += 1

    def _take_in_failed(self, batch: Batch, waiting: list[Batch]) -> None:
        """A batch that failed as a whole: split when refused for its size; otherwise the lines its errors name
        fail, and the others, which nothing asked, go to the next round; with no line named, all fail."""
        codes = {error.get("code") for error in batch.errors}
        if codes & TOO_LARGE_CODES:
            self._say(f"{batch.name}: refused for its size ({', '.join(sorted(map(str, codes)))}): split in two")
            self._split(batch, waiting)
            return
        named = {error["line"]: error for error in batch.errors if isinstance(error.get("line"), int)}
        first = batch.errors[0] if batch.errors else {"message": "the batch failed, and said nothing of why"}
        for number, line in enumerate(self.store.lines_of(batch), 1):
            key = bytes.fromhex(json.loads(line)["custom_id"])
            error = named.get(number, None if named else first)
            if error is None:
                self._fail(key, Outcome(None, 0, "batch_failed", "its batch failed for another of its requests"))
            else:
                self._fail(key, Outcome(None, 400, error.get("code"), str(error.get("message", ""))))
        batch.stage = TAKEN
        self.store.save(batch)

    def _fail(self, key: bytes, outcome: Outcome) -> None:
        if not outcome.transient:
            self.failures[key] = (outcome.status, outcome.code, outcome.message)
            self.report.failed += 1
        elif self.options.retry == RETRY_LIVE:
            self.live.add(key)
            self.report.live += 1
        else:
            self._last[key] = outcome  # asked in the next round's batch, while it has tries left

    def _split(self, batch: Batch, waiting: list[Batch]) -> None:
        """Two batches of the refused one's halves. The refused one is closed first: an interrupt between leaves
        its requests to be collected again, never in two batches."""
        lines = self.store.lines_of(batch)
        # Later batches are cut to what was not refused: a round of many files would otherwise be split each time.
        self._most_requests = min(self._most_requests, max(1, (len(lines) + 1) // 2))
        self._most_bytes = min(self._most_bytes, max(1, (batch.size + 1) // 2))
        self.exchange.discard(batch)
        self.store.close(batch, SPLIT)
        self.cache.forget_batch(self._id(batch))
        if len(lines) == 1:
            key = bytes.fromhex(json.loads(lines[0])["custom_id"])
            self._fail(key, Outcome(None, *TOO_LARGE, "refused for its size, alone in a batch"))
            return
        half = len(lines) // 2
        for part in (lines[:half], lines[half:]):
            new = self.store.write(part, batch.url, batch.model, batch.step, self._recorded)
            waiting.append(new)
            self._submit(new, waiting)

    def _id(self, batch: Batch) -> str:
        return batch.batch_id or batch.label

    def _note(self, batch: Batch) -> None:
        self.cache.note_batch(
            BatchOut(
                self._id(batch),
                self.out_dir,
                self.exchange.where,
                batch.requests,
                batch.began,
                batch.status or batch.stage,
            )
        )


def _batches(count: int) -> str:
    return f"{count:,} batch{'' if count == 1 else 'es'}"


def _lines(paths: list[Path]) -> Iterator[bytes]:
    for path in paths:
        with path.open("rb") as handle:
            yield from handle


def _completion(body: dict[str, Any]) -> Any | None:
    """The chat completion of an answer's body, as the client would read it; None when it is none."""
    response = kept_response(json.dumps(body, ensure_ascii=False))
    choices = getattr(response, "choices", None)
    if not isinstance(choices, list) or not choices or getattr(choices[0], "message", None) is None:
        return None
    return response
