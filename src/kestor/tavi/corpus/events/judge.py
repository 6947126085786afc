"""A model's judgement on doubtful pairs: "are these one event?", put as a question to our own PC relation
classifier (`LinqorExtractor`, its "related" and "reason"), whose prompt and examples (the configuration's) say what
to decide; the package keeps no prompt text. How the questions are asked is the caller's (see graph.models)."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any

Ask = Callable[[list[str]], list[Mapping[str, Any]]]
"""Questions -> the classifier's answer to each."""


def question(first: str, second: str) -> str:
    """The text the classifier reads: the two names, one a line."""
    return f"{first}\n{second}"


def judge_by(ask: Ask) -> Callable[[list[tuple[str, str]]], list[bool]]:
    """The resolver's judge: a pair is one event when the classifier finds the two names related."""

    def judge(pairs: list[tuple[str, str]]) -> list[bool]:
        return [bool(answer.get("related")) for answer in ask([question(*pair) for pair in pairs])]

    return judge
