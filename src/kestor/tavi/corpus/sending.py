"""The extractors as a worker builds them: one HTTP attempt per request, bounded as a whole (see calls), every
request through the gate.

The runner is the one retry loop: the client's own retries would multiply its attempts and hide each request from
the gate. The library is not changed: the runner's subclasses override the static `_build_model`, which the
constructors call through the class, and give the provider a client of their own.
"""

from __future__ import annotations

import contextlib
import functools
import threading
from collections.abc import Iterator
from typing import Any

from .calls import bounded_http_client, complete
from .failures import classify, response_headers, server_wait
from .pacing import OK, Account, Gate
from .ratelimits import read_rate_limits


class _Sender(threading.local):
    gate: Gate | None = None
    account: Account | None = None


_sender = _Sender()


@contextlib.contextmanager
def sending_for(gate: Gate, account: Account) -> Iterator[None]:
    """The requests this thread makes in the block pass `gate` and count against `account`."""
    _sender.gate, _sender.account = gate, account
    try:
        yield
    finally:
        _sender.gate = _sender.account = None


class _GatedCompletions:
    def __init__(self, completions: Any) -> None:
        self._completions = completions

    def create(self, **params: Any) -> Any:
        gate, account = _sender.gate, _sender.account
        if gate is None or account is None:
            return self._completions.create(**params)
        ticket = gate.admit(account)
        try:
            response, limits = complete(self._completions, params)
        except Exception as error:
            limits = read_rate_limits(response_headers(error))
            gate.settle(ticket, classify(error), server_wait(error), limits=limits)
            raise
        except BaseException:
            gate.settle(ticket, None)
            raise
        gate.settle(ticket, OK, limits=limits)
        return response

    def __getattr__(self, name: str) -> Any:
        return getattr(self._completions, name)


class _GatedChat:
    def __init__(self, chat: Any) -> None:
        self._chat = chat
        self.completions = _GatedCompletions(chat.completions)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._chat, name)


class GatedClient:
    """Stands where the provider reads its OpenAI client: chat completions go through the sending thread's gate."""

    def __init__(self, client: Any) -> None:
        self._client = client
        self.chat = _GatedChat(client.chat)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._client, name)


@functools.cache
def runner_classes(call_timeout: float) -> dict[str, type[Any]]:
    """The extractor classes by name, each building its model for the runner."""
    from kestor.tavi.extractor.causara import CausaraExtractor
    from kestor.tavi.extractor.force import ForceExtractor
    from kestor.tavi.extractor.linqor import LinqorExtractor

    def subclass(base: type[Any]) -> type[Any]:
        def build_model(config: dict[str, Any]) -> Any:
            model = base._build_model(config)
            client = model._client.with_options(
                max_retries=0, timeout=call_timeout, http_client=bounded_http_client(call_timeout)
            )
            model._client = GatedClient(client)
            # The chunks of a long text go one after another on the calling thread: each request then counts
            # against its own input, and the gate's calls in flight are all the calls there are.
            model.max_workers = 1
            return model

        return type(base.__name__, (base,), {"_build_model": staticmethod(build_model), "__module__": __name__})

    return {
        "causara": subclass(CausaraExtractor),
        "linqor": subclass(LinqorExtractor),
        "force": subclass(ForceExtractor),
    }
