"""A model's judgement on doubtful pairs: "are these one event?", asked of our own PC relation classifier
(`LinqorExtractor`, its "related" and "reason") with the prompt and examples of the run's configuration; the
package keeps no prompt text. Answers are kept on disk beside the vectors, so a second build asks nothing.

A call that fails gives the classifier's default answer (not related): the pair stays apart, and the answer is not
kept, so the next build asks again.
"""

from __future__ import annotations

import json
import sqlite3
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .store import connect


@dataclass
class PairJudge:
    extractor: Any
    """A LinqorExtractor: predict(text) -> {"related": bool, "reason": str}."""
    model: str
    cache: Path | None = None
    asked: int = 0
    reasons: dict[tuple[str, str], str] | None = None

    def __call__(self, pairs: list[tuple[str, str]]) -> list[bool]:
        known = self._cached(pairs)
        answers = []
        self.reasons = {}
        for pair in pairs:
            if pair not in known:
                self.asked += 1
                result = self.extractor.predict(question(*pair))
                related, reason = bool(result.get("related")), str(result.get("reason", ""))
                if related or reason:
                    known[pair] = (related, reason)
                    self._keep(pair, related, reason)
                else:
                    answers.append(False)
                    continue
            related, reason = known[pair]
            self.reasons[pair] = reason
            answers.append(related)
        return answers

    def _connect(self) -> sqlite3.Connection | None:
        return connect(
            self.cache, "judgements (model TEXT, pair TEXT, related INTEGER, reason TEXT, PRIMARY KEY (model, pair))"
        )

    def _cached(self, pairs: Sequence[tuple[str, str]]) -> dict[tuple[str, str], tuple[bool, str]]:
        connection = self._connect()
        if connection is None:
            return {}
        found = {}
        with connection:
            for pair in pairs:
                row = connection.execute(
                    "SELECT related, reason FROM judgements WHERE model = ? AND pair = ?",
                    (self.model, json.dumps(pair, ensure_ascii=False)),
                ).fetchone()
                if row is not None:
                    found[pair] = (bool(row[0]), row[1])
        connection.close()
        return found

    def _keep(self, pair: tuple[str, str], related: bool, reason: str) -> None:
        connection = self._connect()
        if connection is None:
            return
        with connection:
            connection.execute(
                "INSERT OR REPLACE INTO judgements VALUES (?, ?, ?, ?)",
                (self.model, json.dumps(pair, ensure_ascii=False), int(related), reason),
            )
        connection.close()


def question(first: str, second: str) -> str:
    """The text the classifier reads: the two names, one a line (its prompt says what to decide)."""
    return f"{first}\n{second}"
