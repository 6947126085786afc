"""When two event names are the same event.

Names are compared by their key: the name in Unicode NFKC, with whitespace (every character that `str.isspace`
finds) and the sentence punctuation ``. , ; : ! ? 。 、`` trimmed from both ends. NFKC turns the full-width,
half-width, small and vertical forms of these (``！ ？ ， ． ： ； ｡ ､ ﹒ ︒`` and the like) and ``… ‥ ‼`` into them,
so those go too, as does the ideographic space. Everything else stays: quotation marks and brackets (a name such as
台风“海葵” ends in one), case, and whitespace inside a name.

A node's name is the first spelling seen, trimmed the same way at its ends without being normalised.
"""

from __future__ import annotations

import functools
import unicodedata

SENTENCE_PUNCTUATION = ".,;:!?。、"
# Every whitespace character lies below U+3001.
_WHITESPACE = "".join(character for character in map(chr, range(0x3001)) if character.isspace())
_KEY_TRIM = _WHITESPACE + SENTENCE_PUNCTUATION


def event_key(name: str) -> str:
    """The form in which two names of one event meet: empty when nothing but blanks and punctuation is left."""
    return unicodedata.normalize("NFKC", name).strip(_KEY_TRIM)


def trimmed_spelling(name: str) -> str:
    """The name as written, without the characters at its ends that its key drops."""
    start, end = 0, len(name)
    while start < end and _dropped_at_ends(name[start]):
        start += 1
    while end > start and _dropped_at_ends(name[end - 1]):
        end -= 1
    return name[start:end]


@functools.lru_cache(maxsize=4096)
def _dropped_at_ends(character: str) -> bool:
    normal = unicodedata.normalize("NFKC", character)
    return bool(normal) and not normal.strip(_KEY_TRIM)
