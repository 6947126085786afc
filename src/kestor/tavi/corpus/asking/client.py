"""The OpenAI client the extractors are given: chat completions asked inside a call that the asker settles go through
it (see asker), one HTTP attempt each (see attempt); any other goes to the client as it is.

The asker is the one retry loop: the client this one wraps makes one attempt per request, since its own retries
would multiply the attempts and hide each request from the gate. A cached answer is the completion as the provider
sent it, rebuilt as the client builds a response, so the library parses it as it parses a fresh one.
"""

from __future__ import annotations

import json
from typing import Any

from .asker import CHAT, Request, calling
from .attempt import complete
from .cache import endpoint_of


class _GatedCompletions:
    def __init__(self, completions: Any, endpoint: str) -> None:
        self._completions = completions
        self._endpoint = endpoint

    def create(self, **params: Any) -> Any:
        current = calling()
        if current is None:
            return self._completions.create(**params)
        asker, account, usage = current
        request = Request(params, asker.key(self._endpoint, params), CHAT)
        [answered] = asker.ask(account, [request], self._attempt, kept)
        fresh = answered.response is not None
        response = answered.response if fresh else kept_response(answered.completion)
        if usage is not None:
            usage.count(response if fresh else None)
        return response

    def _attempt(self, requests: list[Request]) -> Any:
        [request] = requests
        return complete(self._completions, request.body)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._completions, name)


def kept(response: Any, requests: list[Request]) -> list[str | None]:
    """The completion to keep in the cache: only a whole answer, never a refusal, an empty or a cut-off one, or
    anything else a 200 may carry."""
    choices = getattr(response, "choices", None)
    if not isinstance(choices, list) or not choices:
        return [None]
    choice = choices[0]
    message = getattr(choice, "message", None)
    content = getattr(message, "content", None)
    if not isinstance(content, str) or not content or getattr(message, "refusal", None):
        return [None]
    if getattr(choice, "finish_reason", None) in ("length", "content_filter"):
        return [None]
    return [response.to_json(indent=None, warnings=False)]


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


def stand_in(model: str, content: str) -> Any:
    """A completion of `content` that no provider sent, for a call whose answer is not known yet: what an estimate
    counts the next calls from, or what lets the collection of a batch's requests go on to a call's next ones."""
    from openai.types.chat import ChatCompletion

    return ChatCompletion.construct(
        id="stand-in",
        object="chat.completion",
        created=0,
        model=model,
        choices=[{"index": 0, "message": {"role": "assistant", "content": content}, "finish_reason": "stop"}],
    )


class _GatedChat:
    def __init__(self, chat: Any, endpoint: str) -> None:
        self._chat = chat
        self.completions = _GatedCompletions(chat.completions, endpoint)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._chat, name)


class GatedClient:
    """Stands where the provider reads its OpenAI client: chat completions go through the calling thread's asker."""

    def __init__(self, client: Any) -> None:
        self._client = client
        self.chat = _GatedChat(client.chat, endpoint_of(str(client.base_url)))

    def __getattr__(self, name: str) -> Any:
        return getattr(self._client, name)
