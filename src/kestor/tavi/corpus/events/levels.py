"""The levels of `--merge`, the tiers that join a name to its event, and the kinds of node of the graph (`--level`),
as named values."""

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
    NEIGHBOURS = "neighbours"
    OVERRIDE = "override"
    NAME = "name"


class NodeKind(_Text):
    """What a node of the graph is: an event, or a class of events (the more general event each event is one of).
    The graph is written at either (`--level`), the other kind's nodes joined to it by is-a edges alone."""

    EVENT = "event"
    CLASS = "class"

    @property
    def plural(self) -> str:
        return "events" if self is NodeKind.EVENT else "classes"

    @property
    def other(self) -> NodeKind:
        return NodeKind.CLASS if self is NodeKind.EVENT else NodeKind.EVENT

    def counted(self, count: int) -> str:
        """ "1 event", "2 events", "1,000 classes"."""
        return f"{count:,} {self.value if count == 1 else self.plural}"


NODE_KINDS = tuple(NodeKind)
