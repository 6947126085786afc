"""What a run's model calls used: tokens as the provider reported them in its answers, and what they cost.

Nothing here is guessed: an answer without `usage` adds no tokens and is counted as unreported, so that a sum is
never taken for more than it is. A call answered from the answer cache (or by an identical request another input
made at the same moment) was not paid for by this input: it counts as a call from the cache, with no tokens.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import asdict, dataclass
from typing import Any

PER = 1_000_000
"""--price is per million tokens, as providers list it."""


@dataclass
class Usage:
    calls: int = 0
    """Model calls that got an answer."""
    from_cache: int = 0
    """Of those, answered without a request of their own: from the cache, or by an identical request in flight."""
    prompt_tokens: int = 0
    completion_tokens: int = 0
    cached_prompt_tokens: int = 0
    """Of the prompt tokens, those the provider served from its own prompt cache (many bill them for less)."""
    unreported: int = 0
    """Answers the provider sent without usage: their tokens are in no sum."""

    def count(self, response: Any | None) -> None:
        """One answered call: `response` is the provider's, or None for an answer from the cache."""
        self.calls += 1
        if response is None:
            self.from_cache += 1
            return
        usage = getattr(response, "usage", None)
        prompt, completion = _count(usage, "prompt_tokens"), _count(usage, "completion_tokens")
        if prompt is None or completion is None:
            self.unreported += 1
            return
        self.prompt_tokens += prompt
        self.completion_tokens += completion
        self.cached_prompt_tokens += _count(getattr(usage, "prompt_tokens_details", None), "cached_tokens") or 0

    def add(self, other: Mapping[str, Any]) -> None:
        """Add an output line's `usage` (a line of an older run, without one, adds nothing); negative counts take
        away what an earlier add added."""
        for name, value in other.items():
            if name in _FIELDS and isinstance(value, int) and not isinstance(value, bool):
                setattr(self, name, getattr(self, name) + value)

    def as_dict(self) -> dict[str, int]:
        return asdict(self)


_FIELDS = frozenset(Usage.__dataclass_fields__)


def _count(holder: Any, name: str) -> int | None:
    value = getattr(holder, name, None)
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else None


def total(usages: Iterable[Mapping[str, Any]]) -> Usage:
    whole = Usage()
    for usage in usages:
        whole.add(usage)
    return whole


@dataclass(frozen=True)
class Price:
    """Per million tokens: prompt (input) and completion (output)."""

    prompt: float
    completion: float
    option: str = "--price"
    """The option it was given by."""

    def cost(self, prompt_tokens: int, completion_tokens: int) -> float:
        return (prompt_tokens * self.prompt + completion_tokens * self.completion) / PER

    def __str__(self) -> str:
        return f"{self.option} {self.prompt:g} {self.completion:g}"


def batch_price(price: Price | None, given: tuple[float, float] | None) -> Price | None:
    """What batches cost: --batch-price, else half of --price, as most providers sell them."""
    if given is not None:
        return Price(*given, option="--batch-price")
    return None if price is None else Price(price.prompt / 2, price.completion / 2, option="--batch-price")


def summary(usage: Usage, price: Price | None) -> str:
    """The summary's usage line."""
    asked = usage.calls - usage.from_cache
    text = (
        f"usage: {usage.calls:,} model calls, {usage.from_cache:,} of them answered from the cache; the {asked:,} "
        f"asked used {usage.prompt_tokens:,} prompt tokens ({usage.cached_prompt_tokens:,} cached by the provider) "
        f"and {usage.completion_tokens:,} completion tokens"
    )
    if usage.unreported:
        text += f"; {usage.unreported:,} answers came without usage and are not counted"
    if price is not None:
        text += f"; cost {price.cost(usage.prompt_tokens, usage.completion_tokens):,.4f} at {price}"
        if usage.cached_prompt_tokens:
            text += " (cached prompt tokens at the full price)"
    return text


def batch_summary(usage: Usage, batches: int, rounds: list[str], price: Price | None) -> str:
    """The summary's line of what came through batches."""
    text = (
        f"through batches: {usage.calls:,} answers in {batches:,} batch{'' if batches == 1 else 'es'} over "
        f"{len(rounds)} round{'' if len(rounds) == 1 else 's'} ({'; '.join(rounds)}) used {usage.prompt_tokens:,} "
        f"prompt tokens ({usage.cached_prompt_tokens:,} cached by the provider) and {usage.completion_tokens:,} "
        "completion tokens"
    )
    if usage.unreported:
        text += f"; {usage.unreported:,} answers came without usage and are not counted"
    if price is not None:
        text += f"; cost {price.cost(usage.prompt_tokens, usage.completion_tokens):,.4f} at {price}"
    return text
