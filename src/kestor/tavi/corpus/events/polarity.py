"""Which way a happening goes: up or down (涨 and 跌), open or closed (复工 and 停工), told by the morphemes that carry
it rather than by a list of words, so that a word never listed (走低, 下行, 回落, 承压, 缩水, 企稳, 回暖) still has one.

A word's polarity is, in this order: the polarity that the table lists for the whole word (跳水, 反弹; or none:
加强 is no rise, however its morphemes read); none where the word names a measure or a thing (涨幅, 增速, 停车场: a
polarity morpheme before a noun's suffix only says which measure or thing it is); else that of its morphemes, each
axis taking the last morpheme that speaks for it (止跌回升 ends up). A negation (不, 未) turns the next polar
morpheme to its opposite (不及预期 is down), as 少 does within a word (少增 is down); so does a morpheme of stopping
before one of rising or falling (暂停加息, 止跌), and a word of stopping before an opening (暂停开放 is a closing),
but not past the object of its verb (关停|业务|裁员 is a closing and a cut). A word that lifts before a restriction
opens, and what it lifts says no way of its own (取消限购 is 放开限购; alone, 取消 closes: 航班取消).
The other morpheme of a word of two that opens or closes names the activity that stops (停运, 停工, 罢工) and is no
content. Terms of the lexicon's other categories are not read for polarity at all (降雨 is weather, not a fall). Two
happenings of opposite polarity on one axis are never one event.

The package ships the table (`polarity.json`); a run's configuration extends it under "merge": {"polarity": ...},
in the same shape.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any

from .lexicon import shipped_table

OPPOSITE = {"up": "down", "down": "up", "open": "closed", "closed": "open"}
STOPPING = "closed"
"""The value whose morphemes, before one of the direction axis, undo it (暂停加息 is no rise)."""
DIRECTION = "direction"
OPENING = "opening"
KEYS = ("morphemes", "words", "none", "negations", "intensifiers", "lifts", "restrictions")


class PolarityError(ValueError):
    """A polarity table that cannot be read; the message names the key at fault."""


@dataclass
class Polarity:
    morphemes: dict[str, tuple[str, str]] = field(default_factory=dict)
    """(axis, value) of each character that carries one."""
    words: dict[str, tuple[str, str] | None] = field(default_factory=dict)
    """(axis, value) of each word listed whole; None: a word of no polarity whatever its morphemes."""
    negations: set[str] = field(default_factory=set)
    intensifiers: set[str] = field(default_factory=set)
    """Morphemes that only say how much or how (大涨, 走高): no content of a happening."""
    lifts: set[str] = field(default_factory=set)
    """Words that, before a restriction, end it: an opening (取消|限购, 解除|封控), however they read alone (航班取消
    is a closing)."""
    restrictions: set[str] = field(default_factory=set)
    """Morphemes of what a lift ends: a limit, a ban, a lockdown, a control (限, 禁, 封, 控)."""

    @classmethod
    def shipped(cls, extension: Mapping[str, Any] | None = None) -> Polarity:
        polarity = cls()
        polarity.add(shipped_table("polarity.json"), "polarity.json")
        if extension:
            polarity.add(extension, "merge.polarity")
        return polarity

    def add(self, table: Mapping[str, Any], where: str) -> None:
        if not isinstance(table, Mapping):
            raise PolarityError(f"{where}: an object with any of {', '.join(KEYS)}")
        for key in table:
            if key not in KEYS:
                raise PolarityError(f"{where}: unknown key {key!r}: one of {', '.join(KEYS)}")
        for axis, value, terms in _axes(table.get("morphemes", {}), f"{where}.morphemes"):
            for term in terms:
                if len(term) != 1:
                    raise PolarityError(f"{where}.morphemes.{axis}.{value}: {term!r} is not one character")
                self.morphemes[term] = (axis, value)
        for axis, value, terms in _axes(table.get("words", {}), f"{where}.words"):
            for term in terms:
                self.words[term.casefold()] = (axis, value)
        for term in _terms(table.get("none", []), f"{where}.none"):
            self.words[term.casefold()] = None
        self.negations.update(_terms(table.get("negations", []), f"{where}.negations"))
        self.intensifiers.update(_terms(table.get("intensifiers", []), f"{where}.intensifiers"))
        self.lifts.update(term.casefold() for term in _terms(table.get("lifts", []), f"{where}.lifts"))
        for term in _terms(table.get("restrictions", []), f"{where}.restrictions"):
            if len(term) != 1:
                raise PolarityError(f"{where}.restrictions: {term!r} is not one character")
            self.restrictions.add(term)

    def terms(self) -> Iterable[str]:
        """The words the table lists, for the segmenter to keep whole."""
        return (word for word in (*self.words, *self.lifts) if len(word) > 1)

    def read(
        self, words: Iterable[str], opaque: Callable[[str], bool] = lambda word: False
    ) -> tuple[dict[str, str], str]:
        """The polarity of a happening's words by axis, and what is left of them once the polar morphemes and the
        intensifiers beside them are out (the happening's content). An `opaque` word is content whole; an empty
        word stands for a verb's object, which ends what a negation or a stopping before it reaches."""
        found: dict[str, str] = {}
        content: list[str] = []
        # A negation turns every polar morpheme of the next polar word (未能|上涨); a morpheme of stopping, only
        # the next one (止跌回升 is a rise).
        # A word of stopping turns an opening in the next word (暂停开放 is a closing; 停工停产 is one).
        negated = stopping = halted = turning = lifted = False
        words = list(words)

        def say(axis: str, value: str) -> None:
            nonlocal negated, stopping, halted, turning
            if axis == DIRECTION and stopping:
                value = OPPOSITE[value]
                found.pop(OPENING, None)
                content.append("不")
            elif negated or turning or (halted and axis == OPENING and value != STOPPING):
                value = OPPOSITE.get(value, value)
                negated, halted, turning = False, False, True
            found[axis] = value
            stopping = value == STOPPING and axis == OPENING

        for number, word in enumerate(words):
            if not word:
                negated = stopping = False
                continue
            turning, halted = False, stopping
            if lifted:
                # What a lift ends says no way of its own: 取消限购 is 放开限购.
                content.append(word)
                lifted = False
                continue
            if word in self.lifts and self._restricts(next((later for later in words[number + 1 :] if later), "")):
                say(OPENING, OPPOSITE[STOPPING])
                lifted = True
                continue
            if opaque(word):
                content.append(word)
                continue
            if word in self.words:
                listed = self.words[word]
                if listed is None:
                    content.append(word)
                else:
                    say(*listed)
                continue
            axes = {hit[0] for hit in map(self.morphemes.get, word) if hit is not None}
            # In a word of two morphemes that opens or closes, the other names the activity that stops or starts
            # (停运, 停工, 罢工, 复航, 取消): what stops is the participant, however the activity is named.
            activity = len(word) == 2 and OPENING in axes
            for place, character in enumerate(word):
                hit = self.morphemes.get(character)
                if character in self.negations and hit is not None:
                    # A polar morpheme that also negates says less of the one after it (少增 is a fall, 少减 a
                    # rise), and nothing more; at the end of a word it says its own way (减少).
                    if any(later in self.morphemes for later in word[place + 1 :]):
                        negated = not negated
                    else:
                        say(*hit)
                elif hit is not None:
                    say(*hit)
                elif character in self.negations:
                    # Kept in the content: 未能上涨 reads down, but is no plain fall.
                    negated = not negated
                    content.append(character)
                elif not axes or (not activity and character not in self.intensifiers):
                    content.append(character)
        return found, "".join(content)

    def _restricts(self, word: str) -> bool:
        return any(character in self.restrictions for character in word)


def _axes(table: Any, where: str) -> Iterable[tuple[str, str, list[str]]]:
    if not isinstance(table, Mapping):
        raise PolarityError(f"{where}: an object from axis to value to a list of terms")
    for axis, values in table.items():
        if not isinstance(values, Mapping):
            raise PolarityError(f"{where}.{axis}: an object from value to a list of terms")
        for value, terms in values.items():
            yield axis, value, _terms(terms, f"{where}.{axis}.{value}")


def _terms(terms: Any, where: str) -> list[str]:
    if not isinstance(terms, list) or not all(isinstance(term, str) and term.strip() for term in terms):
        raise PolarityError(f"{where}: a list of non-empty terms")
    return [term.strip() for term in terms]
