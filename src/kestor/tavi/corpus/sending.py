"""The extractors as a worker builds them: one HTTP attempt per request, bounded as a whole (see calls), every
request through the gate.

The runner is the one retry loop: the client's own retries would multiply its attempts and hide each request from
the gate. The library is not changed: the runner's subclasses override the static `_build_model`, which the
constructors call through the class, and give the provider a client of their own.

The answer cache stands in front of the gate (see flights): a request answered from it, or by an identical request
in flight, never passes the gate. A cached answer is the completion as the provider sent it, rebuilt as the client
builds a response, so the library parses it as it parses a fresh one.
"""

from __future__ import annotations

import contextlib
import functools
import json
import threading
import types
from collections.abc import Callable, Iterator
from typing import Any, TypeVar

from .answers import endpoint_of, request_key
from .calls import bounded_http_client, complete
from .config import REQUEST_KEYS
from .failures import classify, response_headers, server_wait
from .flights import Flights
from .pacing import OK, Account, Gate
from .ratelimits import RateLimits, read_rate_limits
from .usage import Usage


class _Sender(threading.local):
    gate: Gate | None = None
    account: Account | None = None
    flights: Flights | None = None
    usage: Usage | None = None


_sender = _Sender()
_T = TypeVar("_T")


@contextlib.contextmanager
def sending_for(
    gate: Gate, account: Account, flights: Flights | None = None, usage: Usage | None = None
) -> Iterator[None]:
    """The requests this thread makes in the block pass `gate` and count against `account`, unless `flights`
    answers them; what the answers used is counted in `usage`."""
    _sender.gate, _sender.account, _sender.flights, _sender.usage = gate, account, flights, usage
    try:
        yield
    finally:
        _sender.gate = _sender.account = _sender.flights = _sender.usage = None


class _GatedCompletions:
    def __init__(self, completions: Any, endpoint: str) -> None:
        self._completions = completions
        self._endpoint = endpoint

    def create(self, **params: Any) -> Any:
        gate, account, flights = _sender.gate, _sender.account, _sender.flights
        if gate is None or account is None:
            return self._completions.create(**params)
        key = None if flights is None else request_key(self._endpoint, params)
        if flights is None or key is None:
            response = self._send(gate, account, params)
            fresh = True
        else:
            answered = flights.ask(
                key, str(params.get("model", "")), lambda: _kept(self._send(gate, account, params)), account.stopped
            )
            fresh = answered.response is not None
            response = answered.response if fresh else kept_response(answered.completion)
        if _sender.usage is not None:
            _sender.usage.count(response if fresh else None)
        return response

    def _send(self, gate: Gate, account: Account, params: dict[str, Any]) -> Any:
        return through_gate(gate, account, lambda: complete(self._completions, params))

    def __getattr__(self, name: str) -> Any:
        return getattr(self._completions, name)


def through_gate(gate: Gate, account: Account, send: Callable[[], tuple[_T, RateLimits | None]]) -> _T:
    """One request of `account`, sent when `gate` admits it: `send` gives the response and the limits the provider's
    headers state, which the gate is told with the request's outcome."""
    ticket = gate.admit(account)
    try:
        response, limits = send()
    except Exception as error:
        gate.settle(ticket, classify(error), server_wait(error), limits=read_rate_limits(response_headers(error)))
        raise
    except BaseException:
        gate.settle(ticket, None)
        raise
    gate.settle(ticket, OK, limits=limits)
    return response


def _kept(response: Any) -> tuple[Any, str | None]:
    """The response, and the completion to keep in the cache: only a whole answer, never a refusal, an empty or a
    cut-off one, or anything else a 200 may carry."""
    choices = getattr(response, "choices", None)
    if not isinstance(choices, list) or not choices:
        return response, None
    choice = choices[0]
    message = getattr(choice, "message", None)
    content = getattr(message, "content", None)
    if not isinstance(content, str) or not content or getattr(message, "refusal", None):
        return response, None
    if getattr(choice, "finish_reason", None) in ("length", "content_filter"):
        return response, None
    return response, response.to_json(indent=None, warnings=False)


def kept_response(text: str | None) -> Any:
    """A kept completion as a response: validated (the quick way), else built as the client builds one from the
    provider's JSON, without validating it (a provider may leave out what the type requires)."""
    import pydantic
    from openai.types.chat import ChatCompletion

    assert text is not None
    try:
        return ChatCompletion.model_validate_json(text)
    except pydantic.ValidationError:
        return ChatCompletion.construct(**json.loads(text))


class _GatedChat:
    def __init__(self, chat: Any, endpoint: str) -> None:
        self._chat = chat
        self.completions = _GatedCompletions(chat.completions, endpoint)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._chat, name)


class GatedClient:
    """Stands where the provider reads its OpenAI client: chat completions go through the sending thread's gate."""

    def __init__(self, client: Any) -> None:
        self._client = client
        self.chat = _GatedChat(client.chat, endpoint_of(str(client.base_url)))

    def __getattr__(self, name: str) -> Any:
        return getattr(self._client, name)


class _RequestOptions:
    """Stands where the provider reads its OpenAI client: each chat request with the configuration's options, added
    before the client it wraps sees the request, so that they are in its answer cache's key as in what is sent."""

    def __init__(self, client: Any, options: dict[str, Any]) -> None:
        self._client = client
        self._options = options
        self.chat = types.SimpleNamespace(completions=types.SimpleNamespace(create=self._create))

    def _create(self, **params: Any) -> Any:
        return self._client.chat.completions.create(**{**params, **self._options})

    def __getattr__(self, name: str) -> Any:
        return getattr(self._client, name)


def _with_request_options(client: Any, config: dict[str, Any]) -> Any:
    options = {key: config[key] for key in REQUEST_KEYS if key in config}
    return _RequestOptions(client, options) if options else client


@functools.cache
def runner_classes(call_timeout: float) -> dict[str, type[Any]]:
    """The extractor classes by name, each building its model for the runner."""
    return extractor_classes(
        lambda name, client: GatedClient(
            client.with_options(max_retries=0, timeout=call_timeout, http_client=bounded_http_client(call_timeout))
        )
    )


def extractor_classes(client_for: Callable[[str, Any], Any]) -> dict[str, type[Any]]:
    """The extractor classes by name, each giving its model the client that `client_for(name, the provider's
    client)` returns."""
    from kestor.tavi.extractor.causara import CausaraExtractor
    from kestor.tavi.extractor.force import ForceExtractor
    from kestor.tavi.extractor.linqor import LinqorExtractor

    def subclass(name: str, base: type[Any]) -> type[Any]:
        def build_model(config: dict[str, Any]) -> Any:
            model = base._build_model(config)
            model._client = _with_request_options(client_for(name, model._client), config)
            # The chunks of a long text go one after another on the calling thread: each request then counts
            # against its own input, and the gate's calls in flight are all the calls there are.
            model.max_workers = 1
            return model

        return type(base.__name__, (base,), {"_build_model": staticmethod(build_model), "__module__": __name__})

    return {
        "causara": subclass("causara", CausaraExtractor),
        "linqor": subclass("linqor", LinqorExtractor),
        "force": subclass("force", ForceExtractor),
    }
