"""The levels of `--merge` and the tiers that join a name to its event, as named values."""

from __future__ import annotations

from enum import Enum


class _Text(str, Enum):
    """A member that reads, prints and serialises as its text, on every Python (3.11 formats a str-mixed Enum as
    Class.MEMBER)."""

    def __str__(self) -> str:
        return str(self.value)

    def __format__(self, spec: str) -> str:
        return format(str(self.value), spec)


class Level(_Text):
    """How far names are resolved into events: each level runs the tiers of the ones before it."""

    EXACT = "exact"
    NORMAL = "normal"
    SIMILAR = "similar"
    MEANING = "meaning"
    JUDGE = "judge"

    def runs(self, tier: Level) -> bool:
        """Whether resolving at this level runs the tier of `tier`."""
        return _ORDER.index(tier) <= _ORDER.index(self)

    @property
    def needs_model(self) -> bool:
        return self.runs(Level.MEANING)


_ORDER = list(Level)
LEVELS = tuple(Level)
MODEL_FREE = Level.SIMILAR
"""The default: the strongest level that needs no model."""


class Tier(_Text):
    """What joined a name to its event: a level's tier, an override, or nothing (the event's first name alone)."""

    EXACT = "exact"
    NORMAL = "normal"
    SIMILAR = "similar"
    MEANING = "meaning"
    JUDGE = "judge"
    OVERRIDE = "override"
    NAME = "name"
