"""Embeddings of event names from an OpenAI-compatible `/v1/embeddings` endpoint, kept on disk by name.

Each distinct name is asked once, in batches; a vector once received is kept in a SQLite file by model and name, so
a second build of the same names asks nothing. Failures are retried with the runner's policy (full jitter, the
server's Retry-After honoured, a bounded number of retries); one that persists raises `EmbeddingsError`, which the
build reports: it never falls back to another level unless the user asked for that level.
"""

from __future__ import annotations

import json
import os
import sqlite3
import time
import urllib.error
import urllib.request
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from ..retry import RetryPolicy
from .store import connect

BATCH = 256
RETRIES = 5
TIMEOUT = 60.0
RETRYABLE = {408, 409, 429, 500, 502, 503, 504}


class EmbeddingsError(RuntimeError):
    """The endpoint would not give the vectors."""


@dataclass
class Usage:
    requests: int = 0
    tokens: int = 0
    names_asked: int = 0
    names_cached: int = 0


@dataclass
class EmbeddingsClient:
    base_url: str
    api_key: str
    model: str
    cache: Path | None = None
    batch: int = BATCH
    policy: RetryPolicy = field(default_factory=lambda: RetryPolicy(retries=RETRIES))
    usage: Usage = field(default_factory=Usage)
    sleep: Callable[[float], None] = time.sleep

    def __call__(self, names: list[str]) -> Any:
        """A float32 array of one unit vector per name."""
        import numpy as np

        known = self._cached(names)
        missing = [name for name in dict.fromkeys(names) if name not in known]
        self.usage.names_cached += len(names) - len(missing)
        for start in range(0, len(missing), self.batch):
            chunk = missing[start : start + self.batch]
            vectors = self._request(chunk)
            known.update(zip(chunk, vectors, strict=True))
            self._keep(dict(zip(chunk, vectors, strict=True)))
        self.usage.names_asked += len(missing)
        if not names:
            return np.zeros((0, 0), dtype=np.float32)
        matrix = np.asarray([known[name] for name in names], dtype=np.float32)
        norms = np.linalg.norm(matrix, axis=1, keepdims=True)
        return matrix / np.where(norms > 0, norms, 1.0)

    def _request(self, names: Sequence[str]) -> list[list[float]]:
        body = json.dumps({"model": self.model, "input": list(names)}, ensure_ascii=False).encode("utf-8")
        url = self.base_url.rstrip("/") + (
            "/embeddings" if self.base_url.rstrip("/").endswith("/v1") else "/v1/embeddings"
        )
        failures = 0
        began = time.monotonic()
        while True:
            request = urllib.request.Request(
                url,
                data=body,
                headers={"Content-Type": "application/json", "Authorization": f"Bearer {self.api_key}"},
            )
            self.usage.requests += 1
            wait: float | None = None
            try:
                with urllib.request.urlopen(request, timeout=TIMEOUT) as response:
                    document = json.loads(response.read().decode("utf-8"))
                return self._vectors(document, len(names))
            except urllib.error.HTTPError as error:
                if error.code not in RETRYABLE:
                    raise EmbeddingsError(f"{url}: HTTP {error.code}: {_text(error)}") from None
                problem = f"HTTP {error.code}"
                wait = _retry_after(error.headers.get("Retry-After"))
            except (urllib.error.URLError, TimeoutError, ConnectionError) as error:
                problem = str(getattr(error, "reason", error))
            except (ValueError, KeyError, TypeError) as error:
                raise EmbeddingsError(f"{url}: not an embeddings answer ({error})") from None
            failures += 1
            if not self.policy.allows(failures - 1, time.monotonic() - began):
                raise EmbeddingsError(f"{url}: {problem}, {failures} attempts")
            self.sleep(self.policy.pause(failures, wait))

    def _vectors(self, document: Any, count: int) -> list[list[float]]:
        data = sorted(document["data"], key=lambda item: item["index"])
        if len(data) != count:
            raise ValueError(f"{len(data)} vectors for {count} names")
        usage = document.get("usage") or {}
        self.usage.tokens += int(usage.get("total_tokens") or usage.get("prompt_tokens") or 0)
        return [[float(value) for value in item["embedding"]] for item in data]

    def _connect(self) -> sqlite3.Connection | None:
        return connect(self.cache, "vectors (model TEXT, name TEXT, vector TEXT, PRIMARY KEY (model, name))")

    def _cached(self, names: Sequence[str]) -> dict[str, list[float]]:
        connection = self._connect()
        if connection is None:
            return {}
        found: dict[str, list[float]] = {}
        with connection:
            wanted = list(dict.fromkeys(names))
            for start in range(0, len(wanted), 500):
                chunk = wanted[start : start + 500]
                marks = ",".join("?" * len(chunk))
                rows = connection.execute(
                    f"SELECT name, vector FROM vectors WHERE model = ? AND name IN ({marks})", [self.model, *chunk]
                )
                found.update((name, json.loads(vector)) for name, vector in rows)
        connection.close()
        return found

    def _keep(self, vectors: dict[str, list[float]]) -> None:
        connection = self._connect()
        if connection is None:
            return
        with connection:
            connection.executemany(
                "INSERT OR REPLACE INTO vectors VALUES (?, ?, ?)",
                [(self.model, name, json.dumps(vector)) for name, vector in vectors.items()],
            )
        connection.close()


def default_cache() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "kestor-corpus" / "embeddings.sqlite"


def _retry_after(value: str | None) -> float | None:
    try:
        return max(0.0, float(value)) if value else None
    except ValueError:
        return None


def _text(error: urllib.error.HTTPError) -> str:
    try:
        return error.read().decode("utf-8", "replace")[:200]
    except OSError:
        return ""
