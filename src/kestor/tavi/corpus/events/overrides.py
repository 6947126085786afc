"""Overrides: pairs of names that must, or must never, be one event, one pair a line:

    美联储加息 == 美联储上调利率
    广东暴雨 != 广东降雨
    # a comment; blank lines are skipped

A name is found by its event key (as every name is compared), else by its normal form. Every override is applied
before the first tier and holds through all of them: a pair that must merge is joined whatever the lexicon says, and
no tier joins a pair that must not.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path

SAME, APART = "==", "!="


class OverridesError(ValueError):
    """An overrides file that cannot be applied; the message names the file and the line."""


@dataclass(frozen=True)
class Override:
    first: str
    second: str
    same: bool
    place: str
    """file:line, for a message."""


def read_overrides(path: str | os.PathLike[str]) -> list[Override]:
    try:
        # utf-8-sig: an editor's byte order mark is no part of the first name.
        text = Path(path).read_text(encoding="utf-8-sig")
    except (OSError, UnicodeDecodeError) as error:
        raise OverridesError(f"{path}: cannot be read as UTF-8 text ({error})") from None
    return list(parse_overrides(text.splitlines(), str(path)))


def parse_overrides(lines: Iterable[str], where: str) -> Iterable[Override]:
    for number, line in enumerate(lines, 1):
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        place = f"{where}:{number}"
        found = [(text.find(f" {mark} "), mark) for mark in (SAME, APART) if f" {mark} " in text]
        if len(found) != 1:
            raise OverridesError(
                f"{place}: not a pair of names: write 'EVENT A == EVENT B' (must merge) or 'EVENT A != EVENT B' "
                "(must never merge), the mark between spaces"
            )
        [(at, mark)] = found
        first, second = text[:at].strip(), text[at + len(mark) + 2 :].strip()
        if not first or not second:
            raise OverridesError(f"{place}: a name on each side of {mark!r}")
        yield Override(first, second, mark == SAME, place)
