"""Each event's class, the more general event it is one of (is-a): its happening, with its polarity, over its
participant's kind. The places and the agent are dropped, a specific thing is replaced by its kind from the
lexicon (`kinds.json`: copper and aluminium are 金属), or kept where no kind is known; where a name has no thing but
its agent, the agent's kind stands for it:

    铜价上涨, 铝价大涨          金属价格上涨
    美国加征关税, 中国对美国加征关税   加征关税
    美联储加息, 欧洲央行加息      央行加息
    广东暴雨, 浙江暴雨          暴雨

Two events are of one class when their kinds (or things), heads, polarities and happenings' contents are the same.
An event whose names could not be read into parts is a class of its own. A class is named by the most common
spelling of its members (by names; ties to the shorter), so the names are readable Chinese.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass
from functools import cache, cached_property
from typing import Any

from .lexicon import Lexicon, shipped_table
from .parts import ACTOR, PLACE, Grammar, Parts

ANY = "*"


@dataclass(frozen=True)
class Kinds:
    table: dict[str, dict[str, str]]
    """Category -> value -> the kind's name ("*": every other value of the category)."""

    @classmethod
    @cache
    def shipped(cls) -> Kinds:
        return cls(shipped_table("kinds.json"))

    @cached_property
    def names(self) -> frozenset[str]:
        """The names of the kinds of things (股市, 金属, 货币): a participant named by one is any of its kind. An
        actor's kind (企业, 央行) names no participant: who acts is a role."""
        return frozenset(
            kind for category, values in self.table.items() if category != ACTOR for kind in values.values()
        )

    def of(self, category: str, value: str) -> str | None:
        values = self.table.get(category)
        if values is None:
            return None
        return values.get(value, values.get(ANY))


def class_of(parts: Parts, lexicon: Lexicon, kinds: Kinds, actors: frozenset[str]) -> tuple[Any, str] | None:
    """An event name's class: its key and its name; None for a name without parts."""
    if not parts.parsed:
        return None
    if not parts.participant:
        return ("", "", parts.polarity, parts.happening), parts.predicate
    kind = _kind(parts.owner, lexicon, kinds)
    if not kind and parts.agent:
        # An agent of the lexicon (its value is the agent) has a kind; a place or an unknown one is dropped.
        kind = kinds.of(ACTOR, parts.agent) or "" if parts.agent in actors else ""
    head = parts.head
    bound = Grammar.shipped().bound
    # 加息 holds its 利率, 降价 its 价格: the head is said once.
    spoken = head if head and not any(bound.get(character) == head for character in parts.predicate) else ""
    return (kind, head, parts.polarity, parts.happening), f"{kind}{spoken}{parts.predicate}"


def _kind(owner: str, lexicon: Lexicon, kinds: Kinds) -> str:
    """The owner's kind (油价: 能源), or the owner itself where none is known; places are no kind."""
    kept: list[str] = []
    last = 0
    found = ""
    for start, end, category, value in lexicon.spans(owner):
        kind = kinds.of(category, value)
        if category == PLACE or kind is not None:
            kept.append(owner[last:start])
            last = end
            found = found or (kind or "")
    kept.append(owner[last:])
    return found or "".join(kept)


def fallback_class(event: int) -> str:
    """The class key of an event whose names have no parts: a class of its own."""
    return repr(("event", event))


def name_classes(name_parts: Sequence[Parts | None], lexicon: Lexicon) -> list[tuple[str, str] | None]:
    """Each name's class, as its key's text and its name; None for a name without parts."""
    kinds = Kinds.shipped()
    actors = lexicon.values(ACTOR)
    known: dict[Parts, tuple[str, str] | None] = {}
    found: list[tuple[str, str] | None] = []
    for parts in name_parts:
        if parts is None:
            found.append(None)
            continue
        if parts not in known:
            reading = class_of(parts, lexicon, kinds, actors)
            known[parts] = None if reading is None else (repr(reading[0]), reading[1])
        found.append(known[parts])
    return found


def vote(tally: Counter[str]) -> str:
    """The class key most of an event's names give; ties by the key's text, so that the order of the names never
    decides."""
    return min(tally, key=lambda key: (-tally[key], key))


def classify(
    event_of: Sequence[int], events: int, name_parts: Sequence[Parts | None], forms: Sequence[str], lexicon: Lexicon
) -> tuple[list[str], list[int]]:
    """The classes' names and each event's class, numbered by first appearance. An event takes the class most of
    its names have."""
    votes: list[Counter[str]] = [Counter() for _ in range(events)]
    spellings: dict[str, Counter[str]] = {}
    for name, (event, found) in enumerate(zip(event_of, name_classes(name_parts, lexicon), strict=True)):
        key, spelling = found if found is not None else (fallback_class(event), forms[name])
        votes[event][key] += 1
        spellings.setdefault(key, Counter())[spelling] += 1
    classes: list[str] = []
    class_of_event: list[int] = []
    number: dict[str, int] = {}
    for event in range(events):
        key = vote(votes[event])
        if key not in number:
            number[key] = len(classes)
            classes.append(class_name(spellings[key]))
        class_of_event.append(number[key])
    return classes, class_of_event


def class_name(spellings: Counter[str]) -> str:
    """A class's name: the spelling most of its names give it (ties to the shorter)."""
    return min(spellings, key=lambda spelling: (-spellings[spelling], len(spelling), spelling))
