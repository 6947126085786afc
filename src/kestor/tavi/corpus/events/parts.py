"""An event's parts, read from its normal form by a Chinese segmenter and part-of-speech tagger (rjieba):

    日本对韩国实施出口管制   agent 日本, target 韩国, happening 出口管制
    美联储宣布加息           agent 美联储, thing 利率 (bound in 加息), happening up
    国际油价大涨             agent 国际 (a place), thing 油价 (its head 价格), happening up
    工厂被迫停产             thing 工厂 产量 (bound in 停产; its head 产量), happening closed

The qualifiers that the normal form took out (dates, figures) are its `Normal.removed`.

A name is a participant region, then its predicate: the predicate starts at the first verb or adjective, but for a
noun or verbal noun right before another verb, which is the participant (出口增长, 居民消费下滑). In the participant
region, the first named one (a place or an actor of the lexicon, or a name the tagger knows as one) is the agent,
but for names that run from a place to one within it (湖南长沙, 河北三河燕郊, 中国恒大), where the last is, for a
county, whose prefecture acts in it (响水: 盐城, see `gazetteer`), and one named after a verb of saying
(特朗普宣布美国退出: 美国), who acts where the first only tells of it; one named after a role marker (对, 向; 被 the
other way round) or as the predicate's object (起诉三星) is its target; other places are the place; the rest is the
thing it happens to. The predicate's nouns are the thing's too, as is the noun bound in a verb (降价: 价格), so that
铁矿石涨价 and 铁矿石价格上涨 have one thing. What is left of the predicate, once the light verbs (宣布, 遭遇),
adverbs and its polar morphemes are out, is the happening's content; its polarity comes from `polarity`. A name
without a predicate (广东暴雨, 红海危机) is a happening alone.

A name that the tagger cannot read (no Chinese, a single character, a whole paragraph) is not parsed: it is
compared whole, as any name was before parts.

The words of the lexicon and the polarity table are added to the segmenter's dictionary, so that 沪指 and 走低 are
cut as words, and so are the names of the country's prefectures and counties, as places; a word of the dictionary's
that fuses a light verb with what it brings about (发生爆炸) is cut in two. Forms are cut in batches, joined by line
breaks (a normal form has none): one call per batch costs far less than one per name.
"""

from __future__ import annotations

import re
import unicodedata
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from functools import cache, cached_property
from typing import Any, NamedTuple

from .gazetteer import PREFECTURE, Gazetteer
from .lexicon import NEUTRAL, Lexicon, shipped_table
from .normal import DAY, DAYS
from .polarity import DIRECTION, OPENING, Polarity

LONGEST = 40
"""Characters; a longer name is a paragraph, not an event's name, and is compared whole."""
BATCH = 20_000
PLACE, ACTOR = "place", "actor"
SIDE = "方"
"""What makes a place a party: 美方, 中方."""
MARKER, VERB, NOUN, SAYING = "marker", "verb", "noun", "saying"
DESTINATION = "destination"
"""A place that a verb of going leads to (赴|泰, 来华): the one gone toward, not who acts."""
COMMON = 300
"""The frequency in the segmenter's dictionary from which a word is a common one, not a rare name."""
WORD_FREQUENCY = 100_000
"""How often the segmenter takes our words to be used: often enough to be cut whole (黄金|价格|上涨)."""
# Parts of speech of the tagger's dictionary: names of places, organisations and people, nouns, verbs.
_PLACE_TAGS = frozenset({"ns", "f", "s"})
_NAME_TAGS = frozenset({"nr", "nrt", "nt"})
_ABBREVIATION_TAGS = frozenset({"ns", "j"})
_VERB_TAGS = frozenset({"v", "vd", "vi", "vn", "vg", "vq", "a", "ad", "an", "ag", "l", "i"})
_NOUN_TAGS = frozenset({"n", "nz", "nr", "nrt", "ns", "nt", "f", "s"})
"""Nouns the tagger knew as nouns, however polar their morphemes (停车场)."""
_ADVERB_TAGS = frozenset({"d", "vd", "ad"})
_NOUN_LIKE_TAGS = frozenset({"vn", "j", "l"})
"""Verbal nouns, abbreviations and set phrases: the participant where a verb follows (出口增长, 居民消费下滑)."""
_FIGURE_TAGS = frozenset({"m", "mq"})
_UNIT_TAGS = _FIGURE_TAGS | {"q"}
_MORPHEME_TAG = "zg"
_POSITION_TAG = "f"
_RELATIVE = frozenset("上下前后内外中间来")
_FIGURE = re.compile("[0-9０-９零〇一二两三四五六七八九十百千万亿半几数多余第每约近逾首]")
_DROPPED_TAGS = frozenset(
    {"c", "d", "m", "mq", "p", "r", "rr", "rz", "y", "e", "o", "u", "uj", "ul", "uv", "uz", "ug", "ud", "x", "w", "zg"}
)


class Parts(NamedTuple):
    """The parts of one name; an unparsed name has none."""

    thing: str = ""
    owner: str = ""
    """The thing without its head: whose price, whose output (原油 in 原油价格; 油价 whole)."""
    head: str = ""
    """The thing's last noun where nouns come before it, in full (价格 in 原油价格, 锌价 and 油价): what of the thing
    happens."""
    happening: str = ""
    polarity: tuple[tuple[str, str], ...] = ()
    """(axis, value) of the happening, by axis."""
    predicate: str = ""
    """The predicate's words as written, but the light ones (加息, 上涨; 暴雨 for a happening alone)."""
    agent: str = ""
    """The one acting, where the name names one before its predicate (美国 in 美国对华加征关税)."""
    target: str = ""
    """The one acted on, where a role marker or the predicate's object names one (中国 in 美国对华加征关税)."""
    place: tuple[str, ...] = ()
    parsed: bool = False

    @property
    def participant(self) -> str:
        """What the happening happens to: its agent and its thing (美联储 利率 in 美联储加息)."""
        return self.agent + self.thing


@dataclass(frozen=True)
class Grammar:
    light: frozenset[str]
    agent_markers: frozenset[str]
    disposal_markers: frozenset[str]
    """Words that put the one acted on before the verb (日本将韩国移出白名单, 把): a role marker where a party
    follows them, else a light word (美国将加征关税)."""
    patient_markers: frozenset[str]
    symmetric_markers: frozenset[str]
    abbreviations: dict[str, str]
    bound: dict[str, str]
    heads: dict[str, str]
    """A head that is, or ends in, one of these is what it names, whatever kind of it comes before (均价, 批发价:
    价格); a good's futures and spot are traded at its price (铜期货: 价格)."""
    endpoints: frozenset[str]
    """Complements after a verb of rising or falling that name the mark it reached (跌至, 降到, 跌破): what
    follows is that mark (近十年低位, 荣枯线), no part of the thing nor of what happens to it."""
    counts: frozenset[str]
    """Heads that count what comes before them (数量, 人数, 规模): a rise or fall of that is one of its count."""
    quantity: str
    """The ending that a measure of how much there is of a stem is spelt with (量)."""
    quantities: tuple[str, ...]
    """Endings that make a stem the measure of how much of it there is (销售额, 成交量, 产值), longest first: one
    measure of one stem, whichever the ending."""
    scope: frozenset[str]
    nominalizers: frozenset[str]
    """Nouns that make a happening a thing and say nothing more (裁员潮, 数据泄露事件, 缺芯问题)."""
    nouns: frozenset[str]
    """Nouns that the tagger takes for verbs (需求)."""
    verbs: frozenset[str]
    """Verbs to cut whole, where the tagger's dictionary holds a longer phrase (价格上涨)."""
    measures: frozenset[str]
    things: frozenset[str]
    sides: dict[str, str]
    """The side of the border of each place the lexicon names: within the country (国内, 广东, 华北) or beyond it
    (国际, 美国); no place is both."""
    regions: dict[str, frozenset[str]]
    """The provinces that each region of the lexicon holds whole (华北: 北京, 天津, 河北 ...); a region that holds
    part of a province (珠三角) holds none."""
    saying: frozenset[str]
    """Verbs that say who tells of what happens, not who does it (宣布, 表示)."""
    destinations: frozenset[str]
    """Verbs of going that make the place after them where they go (赴泰中国游客 are 中国游客赴泰)."""
    ranks: tuple[str, ...]
    """Words of a place's rank that its name may end with or go without (泸定县, 甘孜州, 华北地区)."""
    opposites: dict[str, tuple[int, int]]
    """Morphemes of opposite ways (出 and 入, 买 and 卖): of each, the number of its pair and its side."""

    @cached_property
    def bound_measures(self) -> frozenset[str]:
        """The nouns bound in verbs and the counts: a word that ends in one is its owner's that (汽车销量)."""
        return frozenset(self.bound.values()) | self.counts

    @classmethod
    @cache
    def shipped(cls) -> Grammar:
        table = shipped_table("grammar.json")
        return cls(
            frozenset(table["light"]),
            frozenset(table["agent_markers"]),
            frozenset(table["disposal_markers"]),
            frozenset(table["patient_markers"]),
            frozenset(table["symmetric_markers"]),
            dict(table["abbreviations"]),
            dict(table["bound"]),
            dict(table["heads"]),
            frozenset(table["endpoints"]),
            frozenset(table["counts"]),
            table["quantities"][0],
            tuple(sorted(table["quantities"], key=len, reverse=True)),
            frozenset(table["scope"]),
            frozenset(table["nominalizers"]),
            frozenset(table["nouns"]),
            frozenset(table["verbs"]),
            frozenset(table["noun_suffixes"]["measures"]),
            frozenset(table["noun_suffixes"]["things"]),
            {place: side for side, places in table["sides"].items() for place in places},
            {region: frozenset(provinces) for region, provinces in table["regions"].items()},
            frozenset(table["saying"]),
            frozenset(table["destinations"]),
            tuple(table["ranks"]),
            {
                character: (pair, side)
                for pair, sides in enumerate(table["opposites"])
                for side, characters in enumerate(sides)
                for character in characters
            },
        )


_SEGMENTERS: dict[tuple[tuple[str, str], ...], Any] = {}


def _segmenter(words: tuple[tuple[str, str], ...]) -> Any:
    """A segmenter whose dictionary holds `words`, each with its part of speech (built once a process: it loads
    its dictionary)."""
    segmenter = _SEGMENTERS.get(words)
    if segmenter is None:
        try:
            import rjieba
        except ImportError as error:
            raise ImportError(
                f"event names are read into their parts by rjieba, which is not installed ({error}): "
                "pip install 'kestor-tavi-extractor[corpus]'"
            ) from None
        segmenter = rjieba.Jieba()
        listed = {word for word, _ in words}
        for word, frequency in _divisions().items():
            if word not in listed and frequency:
                segmenter.add_word(word, frequency, "ns")
        for word, tag in words:
            segmenter.add_word(word, WORD_FREQUENCY, tag)
        _SEGMENTERS.clear()
        _SEGMENTERS[words] = segmenter
    return segmenter


@cache
def _divisions() -> dict[str, int]:
    """The names of the country's prefectures and counties (see `gazetteer`) that are places wherever they stand,
    each with the frequency to add it to the segmenter's dictionary with (0: it holds the name already, and cuts it
    as often as before). A name that the dictionary holds as a common word of another kind (和平, 白云, 资源) is
    not one, but a prefecture's that it holds as a noun or a name (银川, 日照): a city's name is far more often the
    city."""
    import rjieba

    segmenter = rjieba.Jieba()
    gazetteer = Gazetteer.shipped()
    names = list(gazetteer.names)
    found: dict[str, int] = {}
    for name, words in zip(names, _lines(segmenter.tag("\n".join(names))), strict=True):
        if len(words) != 1:
            found[name] = segmenter.suggest_freq(name)
            continue
        tag = words[0][1]
        named = gazetteer.names[name] == PREFECTURE and tag[:1] == "n"
        if tag == "ns" or named or segmenter.suggest_freq(name) < COMMON:
            found[name] = 0
    return found


@dataclass
class Parser:
    lexicon: Lexicon
    polarity: Polarity
    grammar: Grammar
    gazetteer: Gazetteer = field(default_factory=Gazetteer.shipped, repr=False, compare=False)
    known: dict[tuple[str, str], tuple[tuple[tuple[str, str, str], ...], bool]] = field(
        default_factory=dict, repr=False, compare=False
    )
    """What each (word, part of speech) was found to be: words repeat far more than names do."""
    said: dict[tuple[str, ...], tuple[tuple[tuple[str, str], ...], str]] = field(
        default_factory=dict, repr=False, compare=False
    )
    """The polarity and content of each predicate's words read so far."""
    fused: dict[str, list[tuple[str, str]]] = field(default_factory=dict, repr=False, compare=False)
    """The words of what follows a light verb in one word of the dictionary's (爆炸 of 发生爆炸)."""

    @classmethod
    def of(cls, lexicon: Lexicon | None = None, polarity: Polarity | None = None) -> Parser:
        return cls(lexicon or Lexicon.shipped(), polarity or Polarity.shipped(), Grammar.shipped())

    def words(self) -> tuple[tuple[str, str], ...]:
        """The words to add to the segmenter's dictionary, each with its part of speech: the lexicon's terms (a
        place as a place, an actor as an organisation), the polarity table's words and the grammar's verbs and
        nouns."""
        tags = {PLACE: "ns", ACTOR: "nt"}
        listed: dict[str, str] = {}
        for term, (category, _) in self.lexicon.terms.items():
            if len(term) > 1:
                listed[term] = "v" if category in _VERBAL_CATEGORIES else tags.get(category, "n")
        for word in (*self.polarity.terms(), *self.grammar.verbs):
            listed.setdefault(word, "v")
        for word in self.grammar.nouns:
            listed[word] = "n"
        return tuple(sorted(listed.items()))

    def parse(self, forms: Sequence[str]) -> list[Parts]:
        """The parts of each normal form, in order; strings shared between forms are one object."""
        segmenter = _segmenter(self.words())
        shared: dict[Any, Any] = {}
        result: list[Parts] = []
        for start in range(0, len(forms), BATCH):
            batch = forms[start : start + BATCH]
            readable = [_readable(form) for form in batch]
            cut = segmenter.tag("\n".join(form for form, ok in zip(batch, readable, strict=True) if ok))
            tokens = _lines(cut)
            for ok in readable:
                parts = self.read(self._unfused(_days(next(tokens)), segmenter)) if ok else Parts()
                result.append(shared.setdefault(parts, parts))
        return result

    def _unfused(self, tokens: list[tuple[str, str]], segmenter: Any) -> list[tuple[str, str]]:
        """The words with each that the dictionary holds as a light verb and what it brings about (发生爆炸) cut
        in two, so that what happens is read as it would be alone (发生|爆炸)."""
        light = self.grammar.light
        found: list[tuple[str, str]] = []
        for word, tag in tokens:
            cut = 0
            if len(word) > 3:
                cut = 2 if word[:2] in light else 3 if len(word) > 4 and word[:3] in light else 0
            if not cut:
                found.append((word, tag))
                continue
            rest = self.fused.get(word[cut:])
            if rest is None:
                rest = self.fused[word[cut:]] = segmenter.tag(word[cut:])
            found.append((word[:cut], "v"))
            found.extend(rest)
        return found

    def read(self, tokens: list[tuple[str, str]]) -> Parts:
        """The parts of one name from its words and their parts of speech."""
        kept = self._words(tokens)
        if len(kept) > 1 and all(kind != VERB for _, kind, _ in kept):
            # A word of a way at the end, which the tagger took for no noun it knows, is the predicate.
            word, _, tag = kept[-1]
            if tag not in _NOUN_TAGS and any(axis == DIRECTION for axis, _ in self._read([word])[0]):
                kept[-1] = (word, VERB, tag)
        start = self._predicate_start(kept)
        if start is None:
            # A happening alone: its places apart, the rest is what happens.
            rest = [word for word, kind, _ in kept if kind not in (PLACE, DESTINATION, MARKER, SAYING)]
            polarity, content = self._read(rest)
            where = tuple(value for _, kind, value in kept if kind in (PLACE, DESTINATION))
            return Parts("", "", "", content, polarity, "".join(rest), "", "", where, bool(rest))
        agent, target, places, thing = self._participants(kept[:start])
        verbs: list[str] = []
        written: list[str] = []
        for word, kind, value in kept[start:]:
            if kind in (PLACE, ACTOR, DESTINATION):
                if not target:
                    target = value
                else:
                    places.append(value)
            elif kind == NOUN:
                thing.append(word)
                if verbs and verbs[-1]:
                    # A verb's object ends what the verb says: a stopping before it stops that object, not the
                    # next verb (关停|业务|裁员 is a closing and a cut, not the end of one).
                    verbs.append("")
            elif kind == VERB:
                written.append(word)
                bound = self._bound(word)
                if bound is not None:
                    thing.append(bound[1])
                    word = bound[0]
                verbs.append(word)
        polarity, content = self._read(verbs)
        counted = thing and thing[-1] in self.grammar.counts and (len(thing) > 1 or agent)
        if counted and any(axis == DIRECTION for axis, _ in polarity):
            thing.pop()  # 游客人数增加 is 游客增加: what rises or falls of a kind of things is their number
        owner, head = self._head(thing, agent)
        if head:
            # An activity (家电销售回暖) whose rise or fall is said is the measure of how much of it there is; not
            # a noun that the tagger takes for a verb (产能).
            activity = thing[-1] not in self.grammar.nouns and any(axis == DIRECTION for axis, _ in polarity)
            activity &= any(word == thing[-1] and (kind == VERB or tag[:1] == "v") for word, kind, tag in kept)
            head = self._measured(head, activity)
        return Parts(
            "".join(thing), owner, head, content, polarity, "".join(written), agent, target, tuple(places), True
        )

    def _read(self, words: list[str]) -> tuple[tuple[tuple[str, str], ...], str]:
        key = tuple(words)
        said = self.said.get(key)
        if said is None:
            found, content = self.polarity.read(words, self._opaque)
            said = self.said[key] = (tuple(sorted(found.items())), content)
        return said

    def _head(self, thing: list[str], agent: str) -> tuple[str, str]:
        """The owner and the head of a thing: its last noun where others, or an agent, come before (原油|价格,
        锌|价, 欧佩克|产量), or the noun bound in a term's end (油价: 油价|价格); no head but in those. A noun that
        the grammar knows on its own is what it says, whatever its last character (消费 is not 电费)."""
        bound = self.grammar.bound
        last = thing[-1] if thing else ""
        term = self.lexicon.terms.get(last)
        if len(last) > 1 and term is not None and term[0] != NEUTRAL and last[-1] in bound:
            return "".join(thing), bound[last[-1]]
        if len(thing) > 1 or (thing and agent):
            head = bound.get(last, last)
            heads, kind = self.grammar.heads, head
            if head not in self.grammar.nouns:
                kind = heads.get(head[-1], head)
            kind = heads.get(head, kind)
            owner = "".join(thing[:-1])
            # A price or a fee of one stem, which the segmenter cut from the term it ends (海|运费): the stem is the
            # owner's, so that 海运费 is 海运价格.
            cut = len(last) == 2 and kind != last and last not in self.grammar.nouns and heads.get(last[-1]) == kind
            if cut and len(thing) > 1 and thing[-2] + last[0] in self.lexicon.terms:
                owner += last[0]
            return owner, kind
        if thing and len(last) > 3:
            # A word the segmenter holds whole with a measure at its end (汽车销量, 手机出货量) is its owner and
            # that measure, as the two words would be.
            measures = self.grammar.bound_measures
            measure = next((last[-size:] for size in (3, 2) if last[-size:] in measures), "")
            if measure and len(last) - len(measure) >= 2:
                return last[: -len(measure)], measure
        return "".join(thing), ""

    def _measured(self, head: str, activity: bool) -> str:
        """One spelling of each measure of how much there is of one stem: the stem with the first of the
        grammar's endings (成交额 and 成交量: 成交量), or the measure that the stem's first morpheme stands for
        where it is bound to one, which the activity alone is said for too (销售额, 家电销售回暖's 销售 and 销量:
        销量; 产值 and 产量: 产量). A measure of another kind keeps its head: a rate (增长率), a capacity (产能), a
        share (份额), a value of one character's stem (市值)."""
        quantities = self.grammar.quantities
        ending = next((end for end in quantities if head.endswith(end) and len(head) > len(end)), None)
        stem = head[: -len(ending)] if ending is not None else head
        bound = self.grammar.bound.get(stem[0], "")
        if bound[:1] == stem[0] and bound[1:] in quantities and (ending is not None or activity) and len(stem) <= 2:
            return bound
        if ending is None or len(stem) < 2:
            return head
        return stem + self.grammar.quantity

    def _words(self, tokens: list[tuple[str, str]]) -> list[tuple[str, str, str]]:
        """(word, kind, value) of the words that count: kind is place, actor, marker, verb or noun; value is a
        place's or an actor's name (the lexicon's value where it has one), else the word's part of speech."""
        kept: list[tuple[str, str, str]] = []
        last = len(tokens) - 1
        skip = -1
        for number, token in enumerate(tokens):
            if number == skip:
                continue
            reached = self._reached(token[0], kept)
            if reached is not None:
                kept.extend(reached)
                break
            if number and token[1] in _UNIT_TAGS and tokens[number - 1][1] in _FIGURE_TAGS:
                continue  # the unit of a figure (2024|年, 494|亿元) is the figure's, and says as little
            entries, modifier = self._known(token)
            if token[0] in self.grammar.destinations and number < last:
                # A verb of going before a place says where to (赴|泰): the place is gone toward, the verb nothing.
                place = self._destination(tokens[number + 1])
                if place:
                    kept.append((tokens[number + 1][0], DESTINATION, place))
                    skip = number + 1
                    continue
            if token[0] in self.grammar.disposal_markers and self._party(tokens[number + 1 :]):
                entries, modifier = ((token[0], MARKER, token[0]),), False
            elif not entries and len(token[0]) == 1 and kept and kept[-1][0] in self.grammar.patient_markers:
                # What a passive marker governs is a verb, though the tagger takes it for a bare morpheme (被|罚).
                entries, modifier = ((token[0], VERB, "v"),), False
            elif token[1] == _MORPHEME_TAG and kept and kept[-1][1] == NOUN and not self._polar(token[0]):
                # A bare morpheme after a noun ends that noun, which the tagger cut short (新能源|车).
                kept[-1] = (kept[-1][0] + token[0], NOUN, kept[-1][2])
                continue
            if modifier and number < last:
                continue  # 大范围, 强寒潮: a word of one character that only says how much
            kept.extend(entries)
        return kept

    def _destination(self, token: tuple[str, str]) -> str:
        """The place a word after a verb of going names; "" where it names none. A country by its one character is
        one there, whatever the tagger took it for (赴|日)."""
        abbreviated = self.grammar.abbreviations.get(token[0])
        if abbreviated is not None:
            return self._place(abbreviated)
        entries = self._known(token)[0]
        return entries[0][2] if entries and entries[0][1] == PLACE else ""

    def _party(self, tokens: list[tuple[str, str]]) -> bool:
        """Whether the first of these words that counts names a place or an actor."""
        for token in tokens:
            entries = self._known(token)[0]
            if entries:
                return entries[0][1] in (PLACE, ACTOR)
        return False

    def _known(self, token: tuple[str, str]) -> tuple[tuple[tuple[str, str, str], ...], bool]:
        """What a word is (see `_word`), read once a parser."""
        found = self.known.get(token)
        if found is None:
            found = self.known[token] = self._word(*token)
        return found

    def _reached(self, word: str, kept: list[tuple[str, str, str]]) -> list[tuple[str, str, str]] | None:
        """Where a rise or fall is said to reach a mark (跌至|低位, 跌|到|低点, 跌破|荣枯线): the words that say
        the rise or fall, the mark left out; None elsewhere."""
        if word[-1] not in self.grammar.endpoints:
            return None
        if len(word) == 1:
            return [] if kept and kept[-1][1] == VERB and self._polar(kept[-1][0]) else None
        if not self._polar(word):
            return None
        return [(word[:-1] if self._polar(word[:-1]) else word, VERB, "v")]

    def _word(self, word: str, tag: str) -> tuple[tuple[tuple[str, str, str], ...], bool]:
        """What one word is, wherever it stands, and whether it is a modifier of one character (dropped but
        last)."""
        grammar, terms = self.grammar, self.lexicon.terms
        if word in grammar.saying:
            return ((word, SAYING, word),), False
        if word in grammar.light or word in grammar.scope or word in grammar.nominalizers:
            return (), False
        if word in grammar.verbs or self.polarity.words.get(word) is not None:
            # The segmenter keeps its own part of speech for a word it knew before ours (中断 as a place).
            tag = "v"
        term = terms.get(word)
        category = term[0] if term is not None else None
        if term is not None and category in (PLACE, ACTOR):
            return ((word, term[0], term[1]),), False
        if term is None and word in _divisions():
            return ((word, PLACE, self.gazetteer.called_by(word)),), False
        if term is not None and category == DAY:
            # A day by any of its names (双11, 十一黄金周) is the one the lexicon names it by.
            return ((term[1], NOUN, tag),), False
        if category is not None and category != NEUTRAL:
            return ((word, VERB if category in _VERBAL_CATEGORIES else NOUN, tag),), False
        if len(word) == 2 and word[1] == SIDE and word[0] in grammar.abbreviations:
            return ((word, PLACE, self._place(grammar.abbreviations[word[0]])),), False
        if word in grammar.agent_markers or word in grammar.patient_markers:
            return ((word, MARKER, word),), False
        if len(word) == 2 and word[0] in grammar.destinations and word[1] in grammar.abbreviations:
            return ((word, DESTINATION, self._place(grammar.abbreviations[word[1]])),), False
        if len(word) == 2 and word[0] in grammar.agent_markers and word[1] in grammar.abbreviations:
            return ((word[0], MARKER, word[0]), (word[1], PLACE, self._place(grammar.abbreviations[word[1]]))), False
        if len(word) == 1 and tag in _ABBREVIATION_TAGS and word in grammar.abbreviations:
            # A province or a country by its one character (豫, 粤, 泰) is the one it names in full.
            return ((word, PLACE, self._place(grammar.abbreviations[word])),), False
        if tag == _POSITION_TAG and word[-1] in _RELATIVE and word not in grammar.abbreviations:
            # A word of position that ends by relating it to what comes before (以上, 以来, 灾后, 线上) says when or
            # how much, not where; one that names a part of a place (东部, 沿海) is a place, as is a country by its
            # one character (中美).
            return (), False
        if tag in _PLACE_TAGS:
            # A division by any of its names (盐城市, 盐城) is one place.
            return ((word, PLACE, self.gazetteer.called_by(word)),), False
        if tag in _NAME_TAGS:
            return ((word, ACTOR, word),), False
        if tag in _FIGURE_TAGS and not _FIGURE.match(word):
            # The tagger takes some nouns for numerals (社零): a figure starts with a numeral.
            tag = "n"
        modifier = len(word) == 1 and (tag in _DROPPED_TAGS or tag == "a")
        # An adverb that says no way is dropped, whatever its morphemes read (不断, 非常 negate nothing).
        neutral = word in self.polarity.words and self.polarity.words[word] is None
        if tag in _DROPPED_TAGS and (
            neutral or (not self._polar(word) and not self.polarity.negations.intersection(word))
        ):
            return (), modifier
        if word in grammar.nouns or self._noun(word):
            return ((word, NOUN, tag),), modifier
        if tag in _VERB_TAGS or tag in _DROPPED_TAGS or self._compound(word, tag):
            # An adverb kept is a polar one (暂停|加息, 不再|下跌): it says which way.
            return ((word, VERB, tag),), modifier
        return ((word, NOUN, tag),), modifier

    def _participants(self, region: list[tuple[str, str, str]]) -> tuple[str, str, list[str], list[str]]:
        """The agent, the target, other places and the thing, from the words before the predicate."""
        grammar = self.grammar
        agent = target = ""
        places: list[str] = []
        thing: list[str] = []
        marked = passive = symmetric = said = False
        last = ("", "", "")
        for word, kind, value in region:
            if kind == DESTINATION:
                # Where they go is what they go toward: 中国游客赴泰 is toward 泰国 as 中国对泰国免签 is.
                if not target:
                    target = value
                else:
                    places.append(value)
            elif kind == SAYING:
                said = bool(agent)
            elif kind == MARKER:
                marked = True
                passive = word in grammar.patient_markers
                symmetric = word in grammar.symmetric_markers
            elif kind in (PLACE, ACTOR):
                if not marked and agent and last[1] == PLACE and last[2] == agent and _nested(last[0], word):
                    # Places run from the larger to the smaller (湖南长沙, 河北三河燕郊): it happens at the last.
                    places.append(agent)
                    agent = value
                elif said and not marked:
                    # Who says it is not who does it where the name names both (特朗普宣布美国退出巴黎协定).
                    agent, said = value, False
                elif not marked and not agent:
                    agent = value
                elif marked and not target:
                    target = value
                elif kind == PLACE:
                    places.append(value)
                else:
                    thing.append(word)
            else:
                thing.append(word)
            last = (word, kind, value)
        within = self.gazetteer.prefecture_of(agent)
        if within:
            # A county is where something happens in its prefecture (响水化工厂爆炸 is 盐城化工厂爆炸, in 响水): one
            # that names the prefecture alone is as near, and two counties stay two by their signatures.
            places.append(agent)
            agent = within
        if passive:
            agent, target = target, agent
        elif symmetric and agent and target:
            agent, target = "+".join(sorted((agent, target))), ""
        return agent, target, places, thing

    def _predicate_start(self, kept: list[tuple[str, str, str]]) -> int | None:
        """Where the predicate starts: the first verb, but for a noun or verbal noun before a verb, which is the
        participant (出口增长, 居民消费下滑, 高铁停运); None: no verb. A name that ends in a verb has its predicate
        in the verbs it ends with: a verb before a noun earlier on is within the participant (高考|报名|人数|创新高,
        房屋|新开工|面积|下降). A rise or a fall is said of a thing, not of an act: a verb that says no way right
        before one that says a rise or a fall is its subject, a word the tagger took for a verb (出境游|火爆,
        茅台|批价|跌破)."""
        first = 0
        if kept and kept[-1][1] == VERB and not _noun_like(kept[-1][2]):
            first = len(kept) - 1
            while first > 0 and kept[first - 1][1] == VERB:
                if self._subject(kept[first - 1], kept[first][0]):
                    return first
                first -= 1
        for index, (_, kind, tag) in enumerate(kept[first:], first):
            if kind == VERB:
                following = kept[index + 1][1] if index + 1 < len(kept) else None
                if following == VERB and _noun_like(tag):
                    continue
                return index
        return None

    def _subject(self, word: tuple[str, str, str], following: str) -> bool:
        """Whether a verb is the subject of the verb after it, which says a rise or a fall; one that negates
        (未能) or says a way itself is within the predicate."""
        said, tag = word[0], word[2]
        if tag in _ADVERB_TAGS or self._polar(said) or self.polarity.negations.intersection(said):
            return False
        return any(axis == DIRECTION for axis, _ in self._read([following])[0])

    def _compound(self, word: str, tag: str) -> bool:
        """A verb and its object in one word that the tagger calls a noun (降息, 裁员, 缺芯; not 关税)."""
        if self.polarity.words.get(word) is not None:
            return True
        return len(word) == 2 and word[0] in self.polarity.morphemes and word[1] in self.grammar.bound

    def _opaque(self, word: str) -> bool:
        """Terms of the lexicon's other categories say what they say (降雨 is weather, not a fall)."""
        term = self.lexicon.terms.get(word)
        return term is not None and term[0] != NEUTRAL and term[0] not in _POLAR_CATEGORIES

    def _bound(self, word: str) -> tuple[str, str] | None:
        """A verb with its object's noun bound in it (降价, 加息, 缺芯): the verb and the noun it stands for. A
        measure of an activity that stops or starts (停产, 复产) is no object: the producer stops."""
        if len(word) == 2 and word[1] in self.grammar.bound and word[0] in self.polarity.morphemes:
            noun = self.grammar.bound[word[1]]
            if self.polarity.morphemes[word[0]][0] == OPENING and noun[-1] in self.grammar.measures:
                return None
            return word[0], noun
        return None

    def _noun(self, word: str) -> bool:
        """A word that names a measure or a thing, however polar its morphemes (增速, 涨幅, 停车场)."""
        if len(word) < 2 or self.polarity.words.get(word) is not None:
            return False
        last = word[-1]
        return last in self.grammar.measures or (len(word) > 2 and last in self.grammar.things)

    def _polar(self, word: str) -> bool:
        morphemes = self.polarity.morphemes
        return word in self.polarity.words or any(character in morphemes for character in word)

    def _place(self, name: str) -> str:
        term = self.lexicon.terms.get(name)
        return term[1] if term is not None and term[0] == PLACE else name


_POLAR_CATEGORIES = frozenset({"direction", "opening", "pace"})
"""Lexicon categories that the polarity table reads (a configuration's lexicon may still name them)."""
_VERBAL_CATEGORIES = _POLAR_CATEGORIES | {"stance", "flow", "result"}
"""Lexicon categories whose terms say what happens, not to what."""


def _nested(first: str, second: str) -> bool:
    """Whether two names side by side read as a place and a place within it, not as two of a kind (中美: China and
    the United States, each by one character), nor as a side and what it speaks of (美方就中国补贴...)."""
    return len(first) > 1 and len(second) > 1 and first[-1] != SIDE


_DAYS = re.compile(DAYS)
_DAY_TAG = "nz"


def _days(tokens: list[tuple[str, str]]) -> list[tuple[str, str]]:
    """The words with each day that a numeral names (双十|一, 十一|黄金周) as one noun: the tagger takes its
    numerals for figures, which say nothing of what an event is about."""
    text = "".join(word for word, _ in tokens)
    spans = [match.span() for match in _DAYS.finditer(text)]
    if not spans:
        return tokens
    joined: list[tuple[str, str]] = []
    start = 0
    day = (-1, -1)
    for word, tag in tokens:
        end = start + len(word)
        within = next(((left, right) for left, right in spans if left < end and start < right), None)
        if within is not None and within == day:
            joined[-1] = (joined[-1][0] + word, _DAY_TAG)
        elif within is not None:
            joined.append((word, _DAY_TAG))
        else:
            joined.append((word, tag))
        day = within or (-1, -1)
        start = end
    return joined


def _noun_like(tag: str) -> bool:
    return tag[:1] == "n" or tag in _NOUN_LIKE_TAGS


def _readable(form: str) -> bool:
    if not 2 <= len(form) <= LONGEST:
        return False
    return any(unicodedata.category(character) == "Lo" for character in form)


def _lines(cut: Iterable[tuple[str, str]]) -> Iterator[list[tuple[str, str]]]:
    line: list[tuple[str, str]] = []
    for word, tag in cut:
        if word == "\n":
            yield line
            line = []
        else:
            line.append((word, tag))
    yield line
