"""What the resolver asks of a model: the embeddings of names (`--merge meaning`) and the judge's yes or no on a pair
of names (`--merge judge`), asked as a corpus run asks its calls (see asking): every request through one gate,
failures retried by the runner's loop and policy, answers kept in the answer cache so that a second build asks
nothing, and an identical request in flight asked once.

A vector is kept under the key of the request that asks for its name alone: batches are how names travel, not what
decides a vector, so a build with a few new names asks for those alone. The judge's questions go through the cache
as a run's calls do: the key is the whole request, prompt and examples included, so a changed prompt is asked
again. A call that still fails once the policy allows no more attempts raises `ModelFailed`, which the
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

from ..asking.asker import EMBEDDINGS, Asker, Request
from ..asking.cache import AnswerCache, endpoint_of, request_key
from ..asking.failures import keep_root_logger_quiet
from ..asking.gate import Abandoned, Account, Gate
from ..asking.limits import RateLimits, read_rate_limits
from ..asking.policy import RetryPolicy
from ..asking.sharing import Answered, Sharing
from ..asking.usage import Usage
from ..config import CALL_TIMEOUT, THREADS, ResolveConfig, RunConfig
from ..exits import ConfigError
from ..extractors import build_extractors, quiet_progress_bars, runner_classes

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
    """The resolver's requests of one build: one asker (its gate and retry policy), the answer cache file if one is
    named."""

    def __init__(self, cache: Path | None, *, threads: int = THREADS, policy: RetryPolicy | None = None) -> None:
        self.threads = threads
        policy = policy or RetryPolicy(retries=RETRIES)
        self.cache = AnswerCache(cache) if cache is not None else None
        self.sharing = Sharing(self.cache) if self.cache is not None else None
        self.asker = Asker(policy, Gate(threads, first_probe_pause=policy.first_pause), self.sharing)
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
        self.asker.gate.wake()

    def close(self) -> None:
        if self.sharing is not None:
            self.sharing.flush()
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
        with self._lock:
            self.usage.names_cached += len(distinct) - len(missing)
        chunks = [missing[start : start + self.batch] for start in range(0, len(missing), self.batch)]
        for chunk, vectors in zip(chunks, self.session.each(chunks, self._request), strict=True):
            known.update(zip(chunk, vectors, strict=True))
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
        key = request_key(self._endpoint, self._body(name))
        assert key is not None  # text and a name are plain JSON
        return key

    def _body(self, name: str) -> dict[str, Any]:
        """The request that asks for one name's vector alone: what decides it."""
        return {"model": self.name, "input": name}

    def _request(self, names: list[str], account: Account) -> list[Any]:
        """The vectors of `names` (float32 rows), asked until the policy allows no more attempts; those another
        build is asking at the same time are its answers."""
        asker = self.session.asker
        requests = [Request(self._body(name), self._key(name), EMBEDDINGS) for name in names]
        unusable: list[ModelFailed] = []

        def call() -> list[Answered]:
            try:
                return asker.ask(account, requests, self._create, self._kept)
            except ModelFailed as error:
                unusable.append(error)
                raise

        settled = asker.settle(account, None, call)
        if unusable:
            raise unusable[-1]
        if settled.error is not None:
            raise ModelFailed(f"{self._endpoint}: {settled.error} ({settled.attempts} attempts)")
        answers: list[Answered] = settled.result
        fresh = sum(answer.response is not None for answer in answers)
        with self._lock:
            self.usage.names_asked += fresh
            self.usage.names_cached += len(answers) - fresh
        return [_vector(answer.completion) for answer in answers]

    def _create(self, requests: list[Request]) -> tuple[Any, RateLimits | None]:
        with self._lock:
            self.usage.requests += 1
        raw = self._client.embeddings.with_raw_response.create(
            model=self.name, input=[request.body["input"] for request in requests], encoding_format="float"
        )
        return raw.parse(), read_rate_limits(raw.http_response.headers)

    def _kept(self, response: Any, requests: list[Request]) -> list[str | None]:
        """Each name's vector as the cache keeps it: float32 bytes in base64, a quarter of its JSON text, and
        exact."""
        import numpy as np

        data = sorted(response.data, key=lambda item: item.index)
        if len(data) != len(requests):
            raise ModelFailed(f"{self._endpoint}: {len(data)} vectors for {len(requests)} names")
        usage = getattr(response, "usage", None)
        tokens = int(getattr(usage, "total_tokens", 0) or getattr(usage, "prompt_tokens", 0) or 0)
        with self._lock:
            self.usage.tokens += tokens
        matrix = np.asarray([item.embedding for item in data], dtype=np.float32)
        return [base64.b64encode(row.tobytes()).decode() for row in matrix]

    def _cached(self, keys: Mapping[str, bytes]) -> dict[str, Any]:
        cache = self.session.cache
        if cache is None:
            return {}
        found = {}
        for name, key in keys.items():
            text = cache.get(key)
            if text is not None:
                found[name] = _vector(text)
        return found


def _vector(text: str | None) -> Any:
    import numpy as np

    assert text is not None
    return np.frombuffer(base64.b64decode(text), dtype=np.float32)


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
        settled = self.session.asker.settle(account, usage, lambda: self._extractor.predict(question))
        with self._lock:
            self.usage.add(usage.as_dict())
        if settled.error is not None:
            raise ModelFailed(f"the judge ({self.model}): {settled.error}")
        return dict(settled.result)
