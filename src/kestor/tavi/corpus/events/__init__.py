"""Which names of the event graph are one event: a resolver in tiers (normal forms, similar names, meaning, a
model's judgement), what is never one event, and the overrides. Pure logic: names in, events out; see `resolver`."""

from .levels import LEVELS, MODEL_FREE, NODE_KINDS, Level, NodeKind, Tier
from .lexicon import Lexicon, LexiconError
from .names import event_key
from .overrides import Override, OverridesError, parse_overrides, read_overrides
from .resolver import Resolution, Settings, resolve

__all__ = [
    "LEVELS",
    "MODEL_FREE",
    "NODE_KINDS",
    "Level",
    "Lexicon",
    "LexiconError",
    "NodeKind",
    "Override",
    "OverridesError",
    "Resolution",
    "Settings",
    "Tier",
    "event_key",
    "parse_overrides",
    "read_overrides",
    "resolve",
]
