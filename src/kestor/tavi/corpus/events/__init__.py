"""Which names of the event graph are one event: a resolver in tiers (normal forms, similar names, meaning, a
model's judgement), what never merges, and the overrides. Pure logic: names in, events out; see `resolver`."""

from .lexicon import Lexicon, LexiconError
from .overrides import Override, OverridesError, parse_overrides, read_overrides
from .resolver import LEVELS, MODEL_FREE, Resolution, Settings, resolve

__all__ = [
    "LEVELS",
    "MODEL_FREE",
    "Lexicon",
    "LexiconError",
    "Override",
    "OverridesError",
    "Resolution",
    "Settings",
    "parse_overrides",
    "read_overrides",
    "resolve",
]
