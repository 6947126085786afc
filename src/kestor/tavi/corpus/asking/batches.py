"""Where a run's batches go to be answered: a provider's Batch API, or a directory that another program answers in
(see batch for the rounds that use them).

A provider's Files and Batches endpoints are asked as a model is: every call through an asker, so that it passes a
gate and is retried by the one loop when it fails as a model's call is retried (a 429, a 5xx, a connection lost), and
a refusal is told apart by its kind. The batch's record (`Batch`) is saved at each step that the provider could have
taken without our knowing: an upload or a creation that an interrupt cut off may have happened there, so a rerun
looks for it (the file by its name, the batch by its input file) before it uploads or creates again, and the same
requests are never submitted twice.

A directory stands in for a provider that has no Batch API (a self-hosted vLLM's `run-batch` reads the same JSONL and
writes the same output lines): a batch's input is put there, and its output is taken once it holds a line for every
request, or once it stopped growing.
"""

from __future__ import annotations

import functools
import os
import shutil
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Final, Protocol, TypeVar

from ..exits import SetupError
from .asker import Asker, Request, keep_nothing
from .failures import NOT_FOUND, UNSUPPORTED, provider_said, status_of
from .gate import Account, Gate
from .policy import RetryPolicy

WRITTEN, UPLOADING, UPLOADED, CREATING, SUBMITTED = "written", "uploading", "uploaded", "creating", "submitted"
ANSWERED, TAKEN, DONE, SPLIT = "answered", "taken", "done", "split"
"""A batch's stages: its input written in OUT_DIR; an upload begun, done; a creation begun, done; its answers there
to be taken; taken into the answer cache; its files at the provider deleted; or given up for two halves."""
OUT = frozenset({UPLOADING, UPLOADED, CREATING, SUBMITTED, ANSWERED, TAKEN})
"""The stages in which something of the batch is at the provider."""
ENDED = frozenset({"completed", "failed", "expired", "cancelled"})
"""A provider's statuses of a batch that will not change again."""
COMPLETION_WINDOW: Final = "24h"
TOO_LARGE_CODES = frozenset({"too_many_tasks", "token_limit_exceeded", "file_too_large"})
"""A failed batch's error codes that a smaller batch would not get."""
LISTED = 100
"""Files or batches asked for per page when a rerun looks for what an interrupted step may have made."""
LOOK_BACK = 300.0
"""Seconds before an interrupted creation began within which a provider's clock may have dated the batch it made."""
TRANSFER_TIMEOUT = 600.0
"""The longest wait for a byte of an upload or a download: a file of a hundred megabytes takes its time."""
_T = TypeVar("_T")


@dataclass
class Batch:
    """One batch: its input file in OUT_DIR (NAME.jsonl) and what became of it, as its record (NAME.json) keeps it."""

    name: str
    url: str
    """Where its requests go, as its lines say: /v1/chat/completions."""
    model: str
    requests: int
    size: int
    """Bytes of its input file."""
    step: str
    """What its requests ask, as the progress says it: relations, force, review."""
    label: str
    """Its file's name where it goes: unique, so that a rerun finds an upload that an interrupt cut off."""
    stage: str = WRITTEN
    began: float = 0.0
    """When its upload or creation began: what a rerun looks for was made after that."""
    input_file_id: str | None = None
    batch_id: str | None = None
    status: str | None = None
    """The provider's, as last seen."""
    done: int = 0
    failed: int = 0
    """Requests done and failed, as the provider last counted them (the answers are read from its files)."""
    output_file_id: str | None = None
    error_file_id: str | None = None
    errors: list[dict[str, Any]] = field(default_factory=list)
    """A failed batch's errors: code, message, line."""
    seen_size: int = -1
    """The size of its output in a directory when it was last looked at."""


class TooLarge(Exception):
    """A batch the provider refused for its size: two halves may go."""


class BatchApiError(Exception):
    """A call to the Batch API that failed for good: what the provider answered, and to which request."""

    def __init__(self, what: str, error_class: str | None, status: int | None, said: str, request: str) -> None:
        super().__init__(f"{what}: {request + ' answered ' if request else ''}{said}")
        self.error_class, self.status, self.said, self.request = error_class, status, said, request


class Exchange(Protocol):
    """Where batches go: what the progress names it, and each step of a batch there."""

    where: str
    tells: bool
    """Whether what a batch waits for is to be told even to a quiet run: someone else has to answer it."""

    def waiting_for(self, batch: Batch) -> str:
        """What a submitted batch waits for, in words."""

    def probe(self) -> None:
        """Refuse a place that cannot take batches, before anything is collected."""

    def submit(self, batch: Batch, path: Path, save: Callable[[], None]) -> None:
        """Give the batch whose input is `path`; `save` keeps its record at each step. TooLarge if refused for its
        size."""

    def refresh(self, batch: Batch) -> None:
        """Look at the batch again; its stage is ANSWERED once it ended."""

    def fetch(self, batch: Batch, directory: Path) -> list[Path]:
        """Its output and error files, copied into `directory`."""

    def discard(self, batch: Batch) -> None:
        """Remove what of it is there, once its answers are in the cache."""

    def pause(self, seconds: float) -> None:
        """Wait before looking again."""


class Provider:
    """A provider's Batch API at the configuration's base URL."""

    def __init__(self, model: dict[str, Any], policy: RetryPolicy) -> None:
        import openai

        self.where = str(model["base_url"]).rstrip("/")
        self.tells = False
        self._client = openai.OpenAI(
            api_key=model["api_key"], base_url=self.where, max_retries=0, timeout=TRANSFER_TIMEOUT
        )
        self._asker = Asker(policy, Gate(1, first_probe_pause=policy.first_pause))
        self._stopped = threading.Event()

    def _call(self, what: str, send: Callable[[], _T]) -> _T:
        """One call of the Batch API, retried as a model's call is; BatchApiError when it fails for good."""
        account = Account(self._stopped)
        request = Request({}, None, what)

        def call() -> Any:
            [answered] = self._asker.ask(account, [request], lambda requests: (send(), None), keep_nothing)
            return answered.response

        settled = self._asker.settle(account, None, call)
        if settled.error is not None:
            said, where = provider_said(account.failure)
            raise BatchApiError(what, settled.error_class, status_of(account.failure), said or settled.error, where)
        result: _T = settled.result
        return result

    def waiting_for(self, batch: Batch) -> str:
        return f"batch {batch.batch_id} at {self.where}"

    def probe(self) -> None:
        try:
            self._call("listing batches", lambda: self._client.batches.list(limit=1))
        except BatchApiError as error:
            if error.error_class not in (NOT_FOUND, UNSUPPORTED):
                raise
            raise SetupError(
                f"{error.request or self.where + '/batches'} answered {error.said}: no Batch API there. "
                "--batch-files DIR writes the requests as JSONL for a server of your own to answer (vllm run-batch "
                "-i FILE -o OUTPUT) and takes in what it writes"
            ) from None

    def submit(self, batch: Batch, path: Path, save: Callable[[], None]) -> None:
        if batch.stage in (WRITTEN, UPLOADING):
            found = self._find_file(batch) if batch.stage == UPLOADING else None
            if found is None:
                batch.stage, batch.began = UPLOADING, time.time()
                save()
                found = self._upload(batch, path)
            batch.input_file_id, batch.stage = found, UPLOADED
            save()
        if batch.stage in (UPLOADED, CREATING):
            view = self._find_batch(batch) if batch.stage == CREATING else None
            if view is None:
                batch.stage, batch.began = CREATING, time.time()
                save()
                view = self._create(batch)
            batch.batch_id, batch.stage = str(view["id"]), SUBMITTED
            self._note(batch, view)
            save()

    def _upload(self, batch: Batch, path: Path) -> str:
        def send() -> Any:
            with path.open("rb") as handle:
                return self._client.files.create(file=(batch.label, handle, "application/jsonl"), purpose="batch")

        return str(self._sized(f"uploading {path}", send).id)

    def _create(self, batch: Batch) -> dict[str, Any]:
        assert batch.input_file_id is not None
        input_file_id = batch.input_file_id

        def send() -> Any:
            return self._client.batches.create(
                input_file_id=input_file_id,
                endpoint=batch.url,  # type: ignore[arg-type]  # a provider's own version path: /v4/chat/completions
                completion_window=COMPLETION_WINDOW,
                metadata={"kestor_corpus": batch.label},
            )

        return _plain(self._sized(f"creating the batch of {batch.label}", send))

    def _sized(self, what: str, send: Callable[[], _T]) -> _T:
        try:
            return self._call(what, send)
        except BatchApiError as error:
            if error.status == 413:
                raise TooLarge(str(error)) from None
            raise

    def _find_file(self, batch: Batch) -> str | None:
        """The file an interrupted upload left at the provider, if there is one."""
        after: str | None = None
        while True:
            page = self._call(
                "listing files", functools.partial(self._client.files.list, purpose="batch", **_page(after))
            )
            for item in page.data:
                if item.filename == batch.label and item.bytes == batch.size:
                    return str(item.id)
            if not page.data or not getattr(page, "has_more", False):
                return None
            after = page.data[-1].id

    def _find_batch(self, batch: Batch) -> dict[str, Any] | None:
        """The batch an interrupted creation made of the batch's input file, if there is one: newest first, down to
        a little before the creation began."""
        after: str | None = None
        while True:
            page = self._call("listing batches", functools.partial(self._client.batches.list, **_page(after)))
            for item in page.data:
                if item.input_file_id == batch.input_file_id:
                    return _plain(item)
            older = any(item.created_at < batch.began - LOOK_BACK for item in page.data)
            if older or not page.data or not getattr(page, "has_more", False):
                return None
            after = page.data[-1].id

    def refresh(self, batch: Batch) -> None:
        assert batch.batch_id is not None
        batch_id = batch.batch_id
        self._note(batch, _plain(self._call(f"batch {batch_id}", lambda: self._client.batches.retrieve(batch_id))))

    @staticmethod
    def _note(batch: Batch, view: dict[str, Any]) -> None:
        counts = view.get("request_counts") or {}
        batch.status = str(view.get("status"))
        batch.done, batch.failed = int(counts.get("completed") or 0), int(counts.get("failed") or 0)
        batch.output_file_id, batch.error_file_id = view.get("output_file_id"), view.get("error_file_id")
        batch.errors = list((view.get("errors") or {}).get("data") or [])
        if batch.status in ENDED:
            batch.stage = ANSWERED

    def fetch(self, batch: Batch, directory: Path) -> list[Path]:
        paths = []
        for file_id, suffix in ((batch.output_file_id, "output"), (batch.error_file_id, "errors")):
            if file_id is None:
                continue  # a batch whose requests all failed has no output file; one without failures no error file
            path = directory / f"{batch.name}.{suffix}.jsonl"
            if not path.exists():
                self._download(file_id, path)
            paths.append(path)
        return paths

    def _download(self, file_id: str, path: Path) -> None:
        temporary = path.with_name(path.name + ".part")

        def send() -> bool:
            with self._client.files.with_streaming_response.content(file_id) as response:
                response.stream_to_file(temporary)
            return True

        self._call(f"downloading file {file_id}", send)
        os.replace(temporary, path)

    def discard(self, batch: Batch) -> None:
        for file_id in (batch.input_file_id, batch.output_file_id, batch.error_file_id):
            if file_id is None:
                continue
            try:
                self._call(f"deleting file {file_id}", functools.partial(self._client.files.delete, file_id))
            except BatchApiError as error:
                if error.error_class != NOT_FOUND:  # gone already: a rerun deletes what an interrupt left
                    raise

    def pause(self, seconds: float) -> None:
        time.sleep(seconds)


def _page(after: str | None) -> dict[str, Any]:
    return {"limit": LISTED} if after is None else {"limit": LISTED, "after": after}


def _plain(view: Any) -> dict[str, Any]:
    dumped: dict[str, Any] = view.model_dump() if hasattr(view, "model_dump") else dict(view)
    return dumped


class Directory:
    """A directory where another program answers the batches: each input is put there as LABEL, and its output is
    read from LABEL's stem + `.output.jsonl` (`vllm run-batch -i LABEL -o OUTPUT`)."""

    def __init__(self, directory: str | os.PathLike[str]) -> None:
        self.directory = Path(directory)
        self.where = str(self.directory)
        self.tells = True

    def waiting_for(self, batch: Batch) -> str:
        return (
            f"waiting for {self.output_of(batch)}: answer {self.input_of(batch)} there, as with vllm run-batch -i "
            f"{self.input_of(batch)} -o {self.output_of(batch)} --model {batch.model}"
        )

    def probe(self) -> None:
        try:
            self.directory.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise SetupError(f"--batch-files {self.directory}: cannot make it: {error.strerror or error}") from None

    def input_of(self, batch: Batch) -> Path:
        return self.directory / batch.label

    def output_of(self, batch: Batch) -> Path:
        return self.directory / (Path(batch.label).stem + ".output.jsonl")

    def submit(self, batch: Batch, path: Path, save: Callable[[], None]) -> None:
        target = self.input_of(batch)
        temporary = target.with_name(f".{target.name}.part")
        shutil.copyfile(path, temporary)
        os.replace(temporary, target)
        batch.stage, batch.status, batch.began = SUBMITTED, "waiting", time.time()
        save()

    def refresh(self, batch: Batch) -> None:
        output = self.output_of(batch)
        try:
            size = output.stat().st_size
        except FileNotFoundError:
            return
        with output.open("rb") as handle:
            batch.done = sum(1 for line in handle if line.strip())
        # Taken whole, or as it is once it stopped growing between two looks: a writer that died leaves it so.
        if batch.done >= batch.requests or size == batch.seen_size:
            batch.stage, batch.status = ANSWERED, "written"
        batch.seen_size = size

    def fetch(self, batch: Batch, directory: Path) -> list[Path]:
        return [self.output_of(batch)]

    def discard(self, batch: Batch) -> None:
        for path in (self.input_of(batch), self.output_of(batch)):
            path.unlink(missing_ok=True)

    def pause(self, seconds: float) -> None:
        time.sleep(seconds)
