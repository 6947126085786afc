"""What the resolver asks of a model: the embeddings of names (`--merge meaning`) and the judge's yes or no on a pair
of names (`--merge judge`), asked as a corpus run asks its calls: every request through one gate (see pacing),
failures retried by the runner's policy, answers kept in the answer cache so that a second build asks nothing.

A vector is kept under the key of the request that asks for its name alone: batches are how names travel, not what
decides a vector, so a build with a few new names asks for those alone. The judge's questions go through the cache
as a run's calls do (see flights): the key is the whole request, prompt and examples included, so a changed prompt
is asked again. A call that still fails once the policy allows no more attempts raises `ModelFailed`, which the
build reports; it never passes for a "no".
"""

from __future__ import annotations

import base64
import concurrent.futures
import contextlib
import threading
from collections.abc import Callable, Iterator, Mapping, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TypeVar

from ..answers import AnswerCache, endpoint_of, request_key
from ..config import CALL_TIMEOUT, THREADS, ResolveConfig, RunConfig
from ..exits import ConfigError
from ..failures import RETRYABLE, Failure, classify, explain, keep_root_logger_quiet, server_wait
from ..flights import Flights
from ..modes import build_extractors, quiet_progress_bars
from ..pacing import Abandoned, Account, Gate, Retries
from ..ratelimits import RateLimits, read_rate_limits
from ..retry import RetryPolicy
from ..sending import runner_classes, through_gate
from ..usage import Usage
from ..worker import settle

BATCH = 256
RETRIES = 5
"""A build is waited for at the terminal: a model that keeps failing ends it (or its fallback) within a minute."""
_T = TypeVar("_T")
_R = TypeVar("_R")


class ModelFailed(RuntimeError):
    """The embeddings endpoint or the judge would not answer."""


@dataclass
class EmbeddingsUsage:
    requests: int = 0
    tokens: int = 0
    names_asked: int = 0
    names_cached: int = 0


class Asking:
    """The resolver's requests of one build: one gate, the retry policy, the answer cache file if one is named."""

    def __init__(self, cache: Path | None, *, threads: int = THREADS, policy: RetryPolicy | None = None) -> None:
        self.threads = threads
        self.policy = policy or RetryPolicy(retries=RETRIES)
        self.gate = Gate(threads, first_probe_pause=self.policy.first_pause)
        self.cache = AnswerCache(cache) if cache is not None else None
        self.flights = Flights(self.cache) if self.cache is not None else None
        self.stopped = threading.Event()
        """Set when the build stops (an error, Ctrl-C): the requests still waiting end with Abandoned."""

    def each(self, items: Sequence[_T], ask: Callable[[_T, Account], _R]) -> list[_R]:
        """`ask` of every item, on as many threads as the gate lets calls fly, each item an account of its own."""
        pool = ThreadPoolExecutor(self.threads, thread_name_prefix="resolve-call")
        futures = [pool.submit(ask, item, Account(self.stopped)) for item in items]
        try:
            done, _ = concurrent.futures.wait(futures, return_when=concurrent.futures.FIRST_EXCEPTION)
            if any(future.exception() is not None for future in done):
                # One failure ends the build: the calls still waiting for the gate or a retry end at once, and the
                # failure is told rather than the Abandoned of a call it stopped (or that the gate's halt stopped).
                self._stop()
                concurrent.futures.wait(futures)
                raised = [error for future in futures if (error := _raised(future)) is not None]
                raise next((error for error in raised if not isinstance(error, Abandoned)), raised[0])
            return [future.result() for future in futures]
        except BaseException:
            self._stop()
            raise
        finally:
            pool.shutdown(wait=not self.stopped.is_set(), cancel_futures=True)

    def _stop(self) -> None:
        self.stopped.set()
        self.gate.wake()

    def close(self) -> None:
        if self.flights is not None:
            self.flights.flush()
        if self.cache is not None:
            self.cache.close()


def _raised(future: Future[Any]) -> BaseException | None:
    return None if future.cancelled() else future.exception()


@contextlib.contextmanager
def asking(cache: Path | None) -> Iterator[Asking]:
    session = Asking(cache)
    try:
        yield session
    finally:
        session.stopped.set()
        session.close()


@dataclass
class EmbeddingsClient:
    """Names -> a float32 array of one unit vector a row, from the endpoint's `/v1/embeddings`."""

    model: dict[str, Any]
    """The configuration's endpoint: base_url and api_key."""
    name: str
    """The embeddings model."""
    session: Asking
    batch: int = BATCH
    call_timeout: float = CALL_TIMEOUT
    usage: EmbeddingsUsage = field(default_factory=EmbeddingsUsage)

    def __post_init__(self) -> None:
        import openai

        self._client = openai.OpenAI(
            base_url=self.model["base_url"], api_key=self.model["api_key"], max_retries=0, timeout=self.call_timeout
        )
        self._endpoint = endpoint_of(str(self._client.base_url)) + "/embeddings"
        self._lock = threading.Lock()

    def __call__(self, names: list[str]) -> Any:
        import numpy as np

        distinct = list(dict.fromkeys(names))
        keys = {name: self._key(name) for name in distinct}
        known = self._cached(keys)
        missing = [name for name in distinct if name not in known]
        self.usage.names_cached += len(distinct) - len(missing)
        chunks = [missing[start : start + self.batch] for start in range(0, len(missing), self.batch)]
        for chunk, vectors in zip(chunks, self.session.each(chunks, self._request), strict=True):
            known.update(zip(chunk, vectors, strict=True))
            self._keep({keys[name]: vector for name, vector in zip(chunk, vectors, strict=True)})
        self.usage.names_asked += len(missing)
        if not names:
            return np.zeros((0, 0), dtype=np.float32)
        dimensions = sorted({len(vector) for vector in known.values()})
        if len(dimensions) > 1:
            # Vectors kept in the cache under a model's name meet those of another model that took the name.
            raise ModelFailed(
                f"{self._endpoint}: {self.name} gave vectors of {' and '.join(map(str, dimensions))} dimensions "
                "(did the model behind the name change? --no-cache asks anew)"
            )
        matrix = np.asarray([known[name] for name in names], dtype=np.float32)
        norms = np.linalg.norm(matrix, axis=1, keepdims=True)
        return matrix / np.where(norms > 0, norms, 1.0)

    def _key(self, name: str) -> bytes:
        key = request_key(self._endpoint, {"model": self.name, "input": name})
        assert key is not None  # text and a name are plain JSON
        return key

    def _request(self, names: list[str], account: Account) -> Any:
        """The vectors of `names` (float32 rows), asked until the policy allows no more attempts."""
        import numpy as np

        retries = Retries(self.session.policy, self.session.gate, account)
        attempts = 0
        while True:
            attempts += 1
            with self._lock:
                self.usage.requests += 1
            try:
                response = through_gate(self.session.gate, account, lambda: self._create(names))
                data = sorted(response.data, key=lambda item: item.index)
                if len(data) != len(names):
                    raise ModelFailed(f"{self._endpoint}: {len(data)} vectors for {len(names)} names")
                usage = getattr(response, "usage", None)
                tokens = int(getattr(usage, "total_tokens", 0) or getattr(usage, "prompt_tokens", 0) or 0)
                with self._lock:
                    self.usage.tokens += tokens
                return np.asarray([item.embedding for item in data], dtype=np.float32)
            except ModelFailed:
                raise
            except Exception as error:
                if classify(error) not in RETRYABLE or not retries.wait(server_wait(error)):
                    problem = explain(Failure(f"{type(error).__name__}: {error}", error))
                    raise ModelFailed(f"{self._endpoint}: {problem} ({attempts} attempts)") from None

    def _create(self, names: list[str]) -> tuple[Any, RateLimits | None]:
        raw = self._client.embeddings.with_raw_response.create(model=self.name, input=names, encoding_format="float")
        return raw.parse(), read_rate_limits(raw.http_response.headers)

    def _cached(self, keys: Mapping[str, bytes]) -> dict[str, Any]:
        import numpy as np

        cache = self.session.cache
        if cache is None:
            return {}
        found = {}
        for name, key in keys.items():
            text = cache.get(key)
            if text is not None:
                found[name] = np.frombuffer(base64.b64decode(text), dtype=np.float32)
        return found

    def _keep(self, vectors: Mapping[bytes, Any]) -> None:
        if self.session.cache is not None:
            # float32 bytes in base64: a quarter of the vector's JSON text, and exact.
            self.session.cache.put_all(
                [(key, base64.b64encode(vector.tobytes()).decode(), self.name) for key, vector in vectors.items()]
            )


@dataclass
class JudgeClient:
    """A question -> the classifier's answer ({"related": bool, "reason": str}), from our own LinqorExtractor with
    the configuration's "merge.judge" prompt and examples."""

    config: ResolveConfig
    session: Asking
    call_timeout: float = CALL_TIMEOUT
    usage: Usage = field(default_factory=Usage)

    def __post_init__(self) -> None:
        assert self.config.model is not None and self.config.judge is not None
        keep_root_logger_quiet()
        quiet_progress_bars()
        run = RunConfig("linqor", dict(self.config.model), {"linqor": self.config.judge})
        try:
            self._extractor = build_extractors(run, runner_classes(self.call_timeout))["linqor"]
        except Exception as error:
            raise ConfigError(f"the judge cannot be built: {error}") from None
        self._lock = threading.Lock()

    @property
    def model(self) -> str:
        assert self.config.model is not None
        return str(self.config.model["model"])

    def __call__(self, questions: list[str]) -> list[Mapping[str, Any]]:
        return self.session.each(questions, self._ask)

    def _ask(self, question: str, account: Account) -> Mapping[str, Any]:
        usage = Usage()
        session = self.session
        settled = settle(
            session.policy, session.gate, account, session.flights, usage, lambda: self._extractor.predict(question)
        )
        with self._lock:
            self.usage.add(usage.as_dict())
        if settled.error is not None:
            raise ModelFailed(f"the judge ({self.model}): {settled.error}")
        return dict(settled.result)
