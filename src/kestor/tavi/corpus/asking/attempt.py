"""One model request as the runner makes it: bounded as a whole, and taken for an answer only when it is one.

The client's time-out bounds each wait for bytes, not the request: a server that sends a byte now and then holds a
call as long as it likes. The HTTP client of a worker's models reads and writes through a network backend that
gives each wait only what is left of the request's time, counted from when `complete` began it, so connect, send,
headers and body together end by the deadline however the bytes arrive. A request past it fails as the client's
own time-outs do (its connection closed, nothing left running) and is retried as one.

A response the client parses but that is no chat completion (a proxy's page, a body cut short, JSON without
choices) raises `NotACompletion` with what it was, rather than the library's puzzled error on the attribute it
missed: it is retried, since what stood in for the answer need not the next time.
"""

from __future__ import annotations

import contextlib
import ssl
import threading
import time
from collections.abc import Iterable, Iterator, Mapping
from typing import Any

from .failures import NotACompletion
from .limits import RateLimits, read_rate_limits


class _Call(threading.local):
    began: float | None = None


_call = _Call()


@contextlib.contextmanager
def _timed() -> Iterator[None]:
    _call.began = time.monotonic()
    try:
        yield
    finally:
        _call.began = None


def complete(completions: Any, params: Mapping[str, Any]) -> tuple[Any, RateLimits | None]:
    """The chat completion for these parameters, and what the provider's headers say of its limits."""
    with _timed():
        raw = completions.with_raw_response.create(**params)
    response = raw.http_response
    try:
        completion = raw.parse()
    except Exception:  # a body the client cannot read as JSON, or as the type it expects
        completion = None
    choices = getattr(completion, "choices", None)
    if not isinstance(choices, list) or not choices or getattr(choices[0], "message", None) is None:
        content_type = response.headers.get("content-type", "").split(";")[0].strip()
        raise NotACompletion(response.status_code, content_type, response.content, str(response.request.url))
    tokens = getattr(getattr(completion, "usage", None), "total_tokens", None)
    return completion, read_rate_limits(response.headers, tokens if isinstance(tokens, int) else None)


def bounded_http_client(seconds: float) -> Any:
    """An HTTP client as the OpenAI client makes its own (proxies from the environment included), whose requests
    made inside `complete` end within `seconds` of their start."""
    import openai  # the client and its HTTP library are imported when a worker builds its models, not before

    client = openai.DefaultHttpxClient(timeout=seconds)
    # httpx builds the transports itself (one per proxy the environment names) and lets no network backend be
    # given: each one's connection pool gets ours in the place of its own.
    transports = [client._transport, *client._mounts.values()]
    for transport in transports:
        pool = getattr(transport, "_pool", None)
        backend = getattr(pool, "_network_backend", None)
        if transport is not None and not callable(getattr(backend, "connect_tcp", None)):
            raise RuntimeError(f"cannot bound the requests of {type(transport).__name__}: no network backend found")
        if pool is not None:
            pool._network_backend = _BoundedBackend(backend, seconds)
    return client


class _BoundedBackend:
    """The network backend's interface, each wait cut to the request's time."""

    def __init__(self, backend: Any, seconds: float) -> None:
        self._backend = backend
        self.seconds = seconds

    def left(self, timeout: float | None, expired: str) -> float | None:
        """The wait a network operation may take: its own time-out, cut to what is left of the request's time;
        past it, the time-out named `expired` of the HTTP library, which the client reports as a time-out."""
        began = _call.began
        if began is None:
            return timeout
        left = began + self.seconds - time.monotonic()
        if left <= 0:
            import httpcore2

            raise getattr(httpcore2, expired)(f"the request took its whole {self.seconds:g} s")
        return left if timeout is None else min(timeout, left)

    def connect_tcp(
        self,
        host: str,
        port: int,
        timeout: float | None = None,
        local_address: str | None = None,
        socket_options: Iterable[Any] | None = None,
    ) -> Any:
        wait = self.left(timeout, "ConnectTimeout")
        return _BoundedStream(self._backend.connect_tcp(host, port, wait, local_address, socket_options), self)

    def connect_unix_socket(
        self, path: str, timeout: float | None = None, socket_options: Iterable[Any] | None = None
    ) -> Any:
        wait = self.left(timeout, "ConnectTimeout")
        return _BoundedStream(self._backend.connect_unix_socket(path, wait, socket_options), self)

    def sleep(self, seconds: float) -> None:
        self._backend.sleep(seconds)


class _BoundedStream:
    """A network stream whose waits are cut to its request's time."""

    def __init__(self, stream: Any, backend: _BoundedBackend) -> None:
        self._stream = stream
        self._backend = backend

    def read(self, max_bytes: int, timeout: float | None = None) -> bytes:
        data: bytes = self._stream.read(max_bytes, self._backend.left(timeout, "ReadTimeout"))
        return data

    def write(self, buffer: bytes, timeout: float | None = None) -> None:
        self._stream.write(buffer, self._backend.left(timeout, "WriteTimeout"))

    def close(self) -> None:
        self._stream.close()

    def start_tls(
        self, ssl_context: ssl.SSLContext, server_hostname: str | None = None, timeout: float | None = None
    ) -> Any:
        wait = self._backend.left(timeout, "ConnectTimeout")
        return _BoundedStream(self._stream.start_tls(ssl_context, server_hostname, wait), self._backend)

    def get_extra_info(self, info: str) -> Any:
        return self._stream.get_extra_info(info)
