"""The provider's own word on its limits: the `x-ratelimit-*` headers it sends with every answer and every refusal.

A provider that says its limit lets the runner pace its requests at it from the first answer on, and follow a limit
that changes at the next answer, where finding it from refusals costs a burst of 429s each time. Limits are counted
per minute (requests and tokens); `remaining` and `reset` say how much of the current window is left and when it is
whole again.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from dataclasses import dataclass

PER_MINUTE = 60.0
_DURATION = re.compile(r"(\d+(?:\.\d+)?)(ms|h|m|s)")
_SCALE = {"ms": 0.001, "s": 1.0, "m": 60.0, "h": 3600.0}


@dataclass(frozen=True)
class RateLimits:
    """What one answer's headers say; None where a header is missing or unreadable."""

    requests_per_second: float | None = None
    tokens_per_second: float | None = None
    requests_left: float | None = None
    requests_reset: float | None = None
    tokens_left: float | None = None
    tokens_reset: float | None = None
    tokens: int | None = None
    """Tokens the request itself used, from the answer's usage: what converts a token limit into requests."""


def read_rate_limits(headers: Mapping[str, str] | None, tokens: int | None = None) -> RateLimits | None:
    """The limits these response headers give (None when they give none)."""
    if headers is None:
        return None
    limits = RateLimits(
        requests_per_second=_per_second(headers.get("x-ratelimit-limit-requests")),
        tokens_per_second=_per_second(headers.get("x-ratelimit-limit-tokens")),
        requests_left=_number(headers.get("x-ratelimit-remaining-requests")),
        requests_reset=duration(headers.get("x-ratelimit-reset-requests")),
        tokens_left=_number(headers.get("x-ratelimit-remaining-tokens")),
        tokens_reset=duration(headers.get("x-ratelimit-reset-tokens")),
        tokens=tokens if tokens and tokens > 0 else None,
    )
    return None if limits.requests_per_second is None and limits.tokens_per_second is None else limits


def duration(text: str | None) -> float | None:
    """Seconds of a provider's duration: "20ms", "1.2s", "6m0s", "1h2m", or a bare number of seconds."""
    if text is None:
        return None
    text = text.strip()
    number = _number(text)
    if number is not None:
        return number
    parts = _DURATION.findall(text)
    if not parts or "".join(value + unit for value, unit in parts) != text:
        return None
    return sum(float(value) * _SCALE[unit] for value, unit in parts)


def _per_second(text: str | None) -> float | None:
    number = _number(text)
    return number / PER_MINUTE if number else None


def _number(text: str | None) -> float | None:
    if text is None:
        return None
    try:
        value = float(text)
    except ValueError:
        return None
    return value if value >= 0 and value != float("inf") else None
