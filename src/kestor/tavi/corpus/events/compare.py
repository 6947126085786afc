"""Two names compared part by part: one event only where their participants agree and their happenings agree, each
scored by its own measure, never by one score over the whole name (in which 铜价飙升 and 锌价飙升 share most).

A participant is scored by the TF-IDF cosine of its character n-grams and of the lexicon's values it names (沪指 and
A股 name one market); a happening by that of its content's n-grams and its polarity (上涨 and 飙升 are both a rise
and nothing more). A pair's score is the lower of the two. The roles and the polarity are no score: they are part
of a name's signature (see `lexicon`), so that a pair that differs in them is refused outright, at every tier.

A name without a participant (a happening alone: 广东暴雨, 干旱), or that the parser could not read, is compared
whole, by its n-grams, with any name: its parts say too little to be compared one by one. Two happenings alone are
no nearer than their happenings are (九寨沟地震 and 九寨沟闭园 share a place, not what happens there); where both
name places, they happen at the last each names, the smaller within the larger: at one place they are as near as
their happenings (四川泸定地震 and 甘孜州泸定县地震), and so they are at a place and at one that holds it: a
county, its prefecture, its province and a region holding the province whole (泸定, 甘孜, 四川, 西南; see
`gazetteer`), unless the larger's is as near to happenings at two places within it; at two places they are two
(泸定地震 and 积石山地震). Participants
that differ only by the other side of opposite morphemes (出境游 and 入境游, 大盘股 and 小盘股) are not alike at all.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from .classes import Kinds
from .gazetteer import Gazetteer
from .lexicon import AGENT, TARGET, Lexicon, Signature
from .parts import PLACE, Grammar, Parts
from .similar import PAIRS_AT_ONCE, NgramIndex, ngram_index, pair_scores, unique_pairs

SIDE = "side"
"""A signature's category of the sides of the border that a name's places lie on (see `signature_with_parts`)."""
COUNTY = "county"
"""A signature's category of the county within the agent's prefecture that a name places it in: two counties are
two places, and a name that says none is torn between them (see `lexicon`)."""
PARTICIPANT_CATEGORIES = frozenset({"commodity", "indicator", "currency", "market", "actor", "sector", "place"})
"""The lexicon's categories of things and actors, whose values make two spellings of one participant alike."""
VERBAL_CATEGORIES = frozenset({"pace", "stance", "flow", "result", "weather"})
"""The lexicon's categories of what happens, whose values make two spellings of one happening alike."""


@dataclass
class PartIndex:
    rows: dict[str, Any]
    """For each part (PARTS), the row of each form's in `indices[part]`; -1 where the form has no such part."""
    indices: dict[str, NgramIndex]
    ways: Any
    """For each happening, its polarity as a number (0: none)."""
    plain: Any
    """For each happening, whether it says its polarity and nothing more (上涨, 减产)."""
    adds: Any
    """For each happening, whether its content only adds to its polarity, saying no negation (连续下降)."""
    skeleton: Any
    """For each participant, the number of its text with each morpheme of a pair of opposites made one (出境游 and
    入境游 alike); -1 where it holds none."""
    sides: Any
    """For each participant, the number of which side of each pair of opposites its morphemes take."""
    where: Any
    """For each happening alone, the number of the place it happens at, the last it names (-1: none)."""
    place: Any
    """For each place by its number, the number of what it names: one for the names of one division; the last row,
    of no place, a number of its own."""
    depth: Any
    """For each place by its number, how far down it lies: a region, a province, a prefecture, a county, another
    place (-1 for no place)."""
    within: Any
    """Sorted codes (one * count + other) of each place's number and the number of each place that holds it."""
    order: Any
    """For each happening alone, the number of its characters in the order they are written, and of the same
    characters sorted (-1: none): the same words in another order name other parties in other roles."""
    measure: Any
    """For each head, whether it is a measure that the grammar knows (价格, 产量, 销售额, 人数): of one thing, it and
    any other head are two things (its price and its output, its sales and its exports)."""

    def lies_within(self, inner: Any, outer: Any) -> Any:
        """Which pairs of places, by what they name (`place`), have the first within the second."""
        import numpy as np

        if not len(self.within):
            return np.zeros(len(inner), dtype=bool)
        code = inner * len(self.place) + outer
        return self.within[np.minimum(np.searchsorted(self.within, code), len(self.within) - 1)] == code

    def at_one_place(self, a: Any, b: Any) -> Any:
        """Which pairs of forms happen at one place: the same, or one within the other."""
        first, second = self.place[self.where[a]], self.place[self.where[b]]
        return (first == second) | self.lies_within(first, second) | self.lies_within(second, first)

    def reordered(self, a: Any, b: Any) -> Any:
        """Which pairs of forms are happenings alone in the same characters in another order (格力状告奥克斯 and
        奥克斯状告格力): who acts on whom is all that tells them apart, and it differs."""
        written, sorted_ = self.order
        return (sorted_[a] >= 0) & (sorted_[a] == sorted_[b]) & (written[a] != written[b])

    def opposed(self, a: Any, b: Any) -> Any:
        """Which pairs of forms name participants that differ only by taking the other side of opposite morphemes
        (出境游 and 入境游, 进口 and 出口, 收入 and 支出): two participants, however many characters they share."""
        import numpy as np

        first, second = self.rows["participant"][a], self.rows["participant"][b]
        skeleton = self.skeleton[np.maximum(first, 0)]
        found: Any = (first >= 0) & (second >= 0) & (skeleton >= 0)
        return (
            found
            & (skeleton == self.skeleton[np.maximum(second, 0)])
            & (self.sides[np.maximum(first, 0)] != self.sides[np.maximum(second, 0)])
        )

    @property
    def whole(self) -> Any:
        """Which forms are compared whole."""
        return self.rows["participant"] < 0


PARTS = ("participant", "owner", "head", "happening", "stem")
SOME = 0.2
"""Parts less alike than this share next to nothing (锌 and 铝, 水泥 and 玻璃)."""
ONE = 0.999
"""Parts at least this alike are one (scores of one text differ in their last bits)."""


def signature_with_parts(signature: Signature, parts: Parts) -> Signature:
    """A name's signature with what its parts say: its polarity and its roles. A place in a role is that role's,
    not the name's place: 美国加征关税 and 美国对中国加征关税 have one agent, and the second a target that the first
    does not name, not two sets of places.

    Whichever role a place has, but the target's, it says on which side of the border the name happens: 国际油价上涨
    (国际 its agent) is not 国内成品油价格上调 (国内 a place), nor is 美国油价上涨 国内油价上涨, while 全球铜矿减产
    and 智利铜矿产量下降 may be one."""
    found = dict(signature)
    sides = Grammar.shipped().sides
    named = (found.get(PLACE, frozenset()) | {parts.agent}) - {parts.target}
    side = frozenset(sides[place] for place in named if place in sides)
    if side:
        found[SIDE] = side
    found.update((axis, frozenset({value})) for axis, value in parts.polarity)
    if parts.agent:
        found[AGENT] = frozenset({parts.agent})
        county = _county(parts)
        if county:
            found[COUNTY] = frozenset({county})
    if parts.target:
        found[TARGET] = frozenset({parts.target})
    places = found.get(PLACE)
    if places is not None and parts.participant:
        places -= {parts.agent, parts.target}
    elif places is not None and parts.parsed:
        places = _provinces_of(places)
    if places is not None:
        if places:
            found[PLACE] = places
        else:
            del found[PLACE]
    return found


def _provinces_of(places: frozenset[str]) -> frozenset[str]:
    """The places of a happening alone as far as the lexicon tells them apart: a city by its province (广州 by
    广东), and a region that holds provinces by none. Which place within a province or a region, and whether one
    holds the other, is for the comparison to say (see `PartIndex.at_one_place`): 广东暴雨 may be 广州暴雨, as
    华北沙尘暴 may be 北京沙尘暴, but 广州暴雨 is not 深圳暴雨, nor 华北暴雨 华南暴雨."""
    gazetteer = Gazetteer.shipped()
    regions = Grammar.shipped().regions
    found = set()
    for place in places:
        if place in regions:
            continue
        number = -1 if place in gazetteer.provinces else gazetteer.number(place)
        found.add(gazetteer.province_called[gazetteer.province[number]] if number >= 0 else place)
    return frozenset(found)


def _county(parts: Parts) -> str:
    """The county within the agent's prefecture where the name says which (响水 in 响水化工厂爆炸, whose agent is
    盐城); none else."""
    gazetteer = Gazetteer.shipped()
    for place in parts.place:
        if parts.agent and gazetteer.prefecture_of(place) == parts.agent:
            return gazetteer.called[gazetteer.number(place)]
    return ""


def part_index(
    parts: Sequence[Parts],
    lexicon: Lexicon,
    max_df: int,
    negations: Iterable[str] = (),
    opposites: Mapping[str, tuple[int, int]] | None = None,
) -> PartIndex:
    """The parts' indices; `opposites` gives each morpheme of a pair of opposites its pair and its side (the
    grammar's by default)."""
    import numpy as np

    keys: dict[str, dict[Any, int]] = {part: {} for part in PARTS}
    rows = {part: np.full(len(parts), -1, dtype=np.int64) for part in PARTS}
    agent_is_place: dict[str, bool] = {}
    for number, item in enumerate(parts):
        if item.parsed and not item.participant and (item.happening or item.polarity):
            # A happening alone is compared whole, but no closer than its happening is to the other's.
            rows["happening"][number] = keys["happening"].setdefault(
                (item.happening, item.polarity), len(keys["happening"])
            )
        if not item.parsed or not item.participant:
            continue
        for part, key in (
            ("participant", item.participant),
            ("owner", item.agent + item.owner if item.head else ""),
            ("head", item.head),
            ("happening", (item.happening, item.polarity)),
            ("stem", _stem(item, lexicon, agent_is_place)),
        ):
            if key:
                rows[part][number] = keys[part].setdefault(key, len(keys[part]))
    said = list(keys["happening"])
    ways: dict[Any, int] = {(): 0}
    index_ways = np.asarray([ways.setdefault(polarity, len(ways)) for _, polarity in said], dtype=np.int64)
    plain = np.asarray([polarity != () and not content for content, polarity in said], dtype=bool)
    adds = np.asarray([bool(content) and not set(negations).intersection(content) for content, _ in said], dtype=bool)
    skeleton, sides = _opposites(
        list(keys["participant"]), Grammar.shipped().opposites if opposites is None else opposites
    )
    indices: dict[str, NgramIndex] = {}
    for part in PARTS:
        texts, meanings = [], []
        for key in keys[part]:
            if part == "happening":
                content, polarity = key
                text, values = _read(content, lexicon, VERBAL_CATEGORIES)
                values.extend(f"\0{axis}={value}" for axis, value in polarity)
            else:
                text, values = _read(key, lexicon, PARTICIPANT_CATEGORIES)
            texts.append(text)
            meanings.append(values)
        indices[part] = ngram_index(texts, max_df, meanings)
    places: dict[str, int] = {}
    grammar = Grammar.shipped()
    ranks = grammar.ranks
    where = np.asarray(
        [
            places.setdefault(_settlement(item.place[-1], ranks), len(places))
            if item.parsed and not item.participant and item.place
            else -1
            for item in parts
        ],
        dtype=np.int64,
    )
    measures = set(grammar.heads.values()) | grammar.counts
    measure = np.asarray(
        [head in measures or any(head.endswith(end) for end in grammar.quantities) for head in keys["head"]],
        dtype=bool,
    )
    named: dict[str, int] = {}
    holding: list[tuple[int, str]] = []
    place_of: list[int] = []
    depths: list[int] = []
    for place in places:
        own, larger, depth = _placing(place, lexicon, grammar)
        number = named.setdefault(own, len(named))
        place_of.append(number)
        depths.append(depth)
        holding.extend((number, other) for other in larger)
    # The last row is that of no place (-1), numbered apart from every place and above them all.
    place_of.append(len(named))
    depths.append(-1)
    count = len(named) + 1
    within = np.unique(
        np.asarray([number * count + named[other] for number, other in holding if other in named], dtype=np.int64)
    )
    spelled: dict[str, int] = {}
    written, sorted_ = (np.full(len(parts), -1, dtype=np.int64) for _ in range(2))
    for number in np.flatnonzero(rows["happening"] >= 0).tolist():
        item = parts[number]
        if not item.participant:
            written[number] = spelled.setdefault(item.predicate, len(spelled))
            sorted_[number] = spelled.setdefault("".join(sorted(item.predicate)), len(spelled))
    return PartIndex(
        rows,
        indices,
        index_ways,
        plain,
        adds,
        skeleton,
        sides,
        where,
        np.asarray(place_of, dtype=np.int64),
        np.asarray(depths, dtype=np.int64),
        within,
        (written, sorted_),
        measure,
    )


_DEPTHS = ("region", "province", "prefecture", "county")


def _placing(place: str, lexicon: Lexicon, grammar: Grammar) -> tuple[str, tuple[str, ...], int]:
    """What a place names, what holds it (each as its own is named), and how far down it lies (see `_DEPTHS`; a
    place the gazetteer does not know lies below all)."""
    gazetteer = Gazetteer.shipped()
    term = lexicon.terms.get(place)
    region = term[1] if term is not None and term[0] == PLACE else place
    if region in grammar.regions:
        return f"region {region}", (), 0
    province = gazetteer.provinces.get(place, -1)
    if province < 0:
        number = gazetteer.number(place)
        if number < 0:
            return f"place {place}", (), len(_DEPTHS)
        province = gazetteer.province[number]
        prefecture = gazetteer.prefecture[number]
        larger = (f"division {prefecture}",) if prefecture >= 0 else ()
        return f"division {number}", larger + _province(province, gazetteer, grammar), 2 + (prefecture >= 0)
    return f"province {province}", _province(province, gazetteer, grammar)[1:], 1


def _province(province: int, gazetteer: Gazetteer, grammar: Grammar) -> tuple[str, ...]:
    """A province and the regions that hold it, each as `_placing` names it."""
    called = gazetteer.province_called[province]
    regions = (f"region {region}" for region, provinces in grammar.regions.items() if called in provinces)
    return (f"province {province}", *regions)


def _stem(item: Parts, lexicon: Lexicon, places: dict[str, bool]) -> str:
    """Whose thing it is, where the name says what of it (its head): the words before the head, or else the one
    acting, but a place, which owns too many things to tell one from another (福建美股 and 福建教育)."""
    if not item.head:
        return ""
    if item.owner or not item.agent:
        return item.owner
    place = places.get(item.agent)
    if place is None:
        place = places[item.agent] = PLACE in lexicon.signature(item.agent)
    return "" if place else item.agent


def _settlement(place: str, ranks: Sequence[str]) -> str:
    """A place without the word of its rank (泸定县 is 泸定, 甘孜州 is 甘孜, 华北地区 is 华北)."""
    rank = next((rank for rank in ranks if place.endswith(rank) and len(place) > len(rank) + 1), "")
    return place[: len(place) - len(rank)]


def _opposites(texts: Sequence[str], opposites: Mapping[str, tuple[int, int]]) -> tuple[Any, Any]:
    """The skeleton and sides numbers of each participant text (see `PartIndex`)."""
    import numpy as np

    skeletons: dict[str, int] = {}
    sides: dict[str, int] = {}
    skeleton = np.full(len(texts), -1, dtype=np.int64)
    side = np.zeros(len(texts), dtype=np.int64)
    for number, text in enumerate(texts):
        taken = [(place, opposites[character]) for place, character in enumerate(text) if character in opposites]
        if not taken:
            continue
        shape = list(text)
        for place, (pair, _) in taken:
            shape[place] = chr(0xE000 + pair)  # a private-use character: no text holds one
        skeleton[number] = skeletons.setdefault("".join(shape), len(skeletons))
        side[number] = sides.setdefault("".join(str(which) for _, (_, which) in taken), len(sides))
    return skeleton, side


def _read(text: str, lexicon: Lexicon, categories: frozenset[str]) -> tuple[str, list[str]]:
    """A part's text without the lexicon's terms of `categories`, and those terms' values and kinds: 沪指 and A股
    are one market, whatever their characters, and 股市 is what every market is."""
    kinds = Kinds.shipped()
    values: list[str] = []
    kept: list[str] = []
    last = 0
    for start, end, category, value in lexicon.spans(text):
        if category in categories:
            values.append(f"\0{category}={value}")
            kind = kinds.of(category, value)
            if kind is not None:
                values.append(f"\0kind={kind}")
            kept.append(text[last:start])
            last = end
    kept.append(text[last:])
    rest = "".join(kept)
    if rest in kinds.names:
        values.append(f"\0kind={rest}")
        rest = ""
    return rest, values


def search_index(index: PartIndex, units: Units, max_df: int) -> tuple[NgramIndex, Any]:
    """The parts of each unit with parts side by side, participant and happening each of length one over the square
    root of two: the top pairs of a search in it are those whose two parts are both alike. The features that more
    than `max_df` units share are out of the search, as the whole names' frequent n-grams are (a rise, 价格). With
    the form of each row."""
    import numpy as np
    from scipy import sparse

    forms = units.first_form[~index.whole[units.first_form]]
    halves = [
        index.indices[part].matrix[index.rows[part][forms]] * np.float32(0.5**0.5) for part in (PARTS[0], PARTS[3])
    ]
    matrix = sparse.hstack(halves).tocsr()
    df = np.bincount(matrix.indices, minlength=matrix.shape[1])
    search = matrix.multiply((df <= max_df).astype(np.float32)).tocsr()
    search.eliminate_zeros()
    return NgramIndex(matrix, search), forms


def placed_pairs(index: PartIndex, units: Units, most: int) -> tuple[Any, Any, Any]:
    """Pairs of units that are happenings alone at one place, the same or one within the other, whose happenings
    are the same (泸定地震 and 甘孜州泸定县发生地震, 三门峡暴雨 and 义马暴雨, 积石山地震 and 甘肃地震), which a
    search by their characters may not propose: each unit with at most `most` at its place and `most` at each
    place that holds it. Each with a score of one, to be scored as any pair is."""
    import numpy as np

    forms = units.first_form[index.whole[units.first_form]]
    happening = index.rows["happening"][forms]
    where = index.where[forms]
    kept = (happening >= 0) & (where >= 0)
    forms, happening, place = forms[kept], happening[kept], index.place[where[kept]]
    rows = list(zip(forms.tolist(), happening.tolist(), place.tolist(), strict=True))
    count = len(index.place)
    holders: dict[int, list[int]] = {}
    for code in index.within.tolist():
        holders.setdefault(code // count, []).append(code % count)
    at: dict[tuple[int, int], list[int]] = {}
    for form, said, number in rows:
        at.setdefault((said, number), []).append(form)
    first: list[int] = []
    second: list[int] = []
    for form, said, number in rows:
        others = [other for other in at[(said, number)][: most + 1] if other != form][:most]
        for holder in holders.get(number, ()):
            others += at.get((said, holder), [])[:most]
        first.extend([form] * len(others))
        second.extend(others)
    return (
        np.asarray(first, dtype=np.int64),
        np.asarray(second, dtype=np.int64),
        np.ones(len(first), dtype=np.float32),
    )


def scores(index: PartIndex, whole: NgramIndex, first: Any, second: Any) -> Any:
    """The score of each pair of forms: where both have parts, the lower of the participants' (see
    `participants_alike`) and the happenings'; else the whole names' n-gram cosine."""
    import numpy as np

    result = pair_scores(whole.matrix, first, second)
    happenings = index.rows["happening"]
    alone = index.whole[first] & index.whole[second] & (happenings[first] >= 0) & (happenings[second] >= 0)
    if alone.any():
        a, b = first[alone], second[alone]
        happening = more_or_alike(index, a, b)
        placed = (index.where[a] >= 0) & (index.where[b] >= 0)
        result[alone] = np.where(
            _apart_alone(index, a, b, happening),
            0.0,
            np.where(placed, happening, np.minimum(result[alone], happening)),
        )
    both = ~(index.whole[first] | index.whole[second])
    if not both.any():
        return result
    a, b = first[both], second[both]
    result[both] = np.minimum(participants_alike(index, a, b), more_or_alike(index, a, b))
    return result


def _apart_alone(index: PartIndex, a: Any, b: Any, happening: Any) -> Any:
    """Which pairs of happenings alone (whose happenings are `happening` alike) are two events whatever their
    scores: at two places (泸定地震 is not 积石山地震; places run from the larger to the smaller, and it happens at
    the last, or in a place that holds it: 四川甘孜地震, 四川地震), a larger place's torn between two within it, or
    the same characters in another order."""
    placed = (index.where[a] >= 0) & (index.where[b] >= 0)
    return (placed & ~index.at_one_place(a, b)) | _torn_between_places(index, a, b, happening) | index.reordered(a, b)


def _torn_between_places(index: PartIndex, a: Any, b: Any, happening: Any) -> Any:
    """Which pairs of happenings alone join a larger place's to a smaller's within it where the larger's is alike
    to happenings at two places within it (甘孜地震 beside 泸定地震 and 白玉地震, 甘肃地震 beside 积石山地震 and
    岷县地震): which one it means is not known. A happening at no place is at the largest (地震 beside both).
    Places of which one holds the other are no two to choose from (四川地震 beside 泸定地震 and 甘孜地震)."""
    import numpy as np

    first, second = index.place[index.where[a]], index.place[index.where[b]]
    anywhere = (index.where[a] < 0) != (index.where[b] < 0)
    nested = (first != second) & (index.at_one_place(a, b) | anywhere) & (happening > 0)
    torn = np.zeros(len(a), dtype=bool)
    if not nested.any():
        return torn
    # Of two places one within the other, the larger lies higher.
    larger = index.depth[index.where[a]] < index.depth[index.where[b]]
    wide = np.where(larger, a, b)[nested]
    narrow = np.where(larger, index.where[b], index.where[a])[nested]
    # Each wide form's narrow places, the deepest first: it is torn where one of them does not hold the deepest.
    order = np.lexsort((-index.depth[narrow], wide))
    wide, narrow = wide[order], index.place[narrow[order]]
    starts = np.flatnonzero(np.r_[True, wide[1:] != wide[:-1]])
    deepest = np.repeat(narrow[starts], np.diff(np.r_[starts, len(wide)]))
    held = (narrow == deepest) | index.lies_within(deepest, narrow)
    torn[nested] = np.isin(np.where(larger, a, b)[nested], wide[~held])
    return torn


def participants_alike(index: PartIndex, a: Any, b: Any) -> Any:
    """How alike the participants of pairs of forms with parts are. Two that both have a head (原油|价格, 锌|价格)
    agree as far as both their owners and their heads do: the price of oil is not that of zinc, nor is oil's output
    its price."""
    import numpy as np

    participant = part_alike(index, "participant", a, b)
    headed = (index.rows["head"][a] >= 0) & (index.rows["head"][b] >= 0)
    if headed.any():
        owners, heads = a[headed], b[headed]
        participant[headed] = np.minimum(
            part_alike(index, "owner", owners, heads), part_alike(index, "head", owners, heads)
        )
    participant[index.opposed(a, b)] = 0.0
    return participant


def owners_alike(index: PartIndex, a: Any, b: Any) -> Any:
    """How alike pairs of forms with parts are by whose thing it is: the words that own their things where both
    have a head, whatever of it each names (招行业绩 and 招行净利润), else their participants. A place owns too many
    things to tell one from another (福建美股 and 福建教育): it is no owner here (see `_stem`)."""
    import numpy as np

    found = participants_alike(index, a, b)
    owned = (index.rows["stem"][a] >= 0) & (index.rows["stem"][b] >= 0)
    if owned.any():
        found[owned] = np.maximum(found[owned], part_alike(index, "stem", a[owned], b[owned]))
    found[index.opposed(a, b)] = 0.0
    return found


def contrasted(index: PartIndex, a: Any, b: Any) -> Any:
    """Which pairs of forms with parts say one happening of one measure of two things (水泥价格下跌 and 玻璃价格下跌)
    or of a measure and something else of one thing (水泥价格下跌 and 水泥产量下滑, 挖掘机销量增长 and 挖掘机出口增长):
    words that say two events, whatever else would join them."""

    heads, owners = index.rows["head"], index.rows["owner"]
    found = (heads[a] >= 0) & (heads[b] >= 0) & (owners[a] >= 0) & (owners[b] >= 0)
    if not found.any():
        return found
    one, two = a[found], b[found]
    owner = part_alike(index, "owner", one, two)
    things = (heads[one] == heads[two]) & (owner < SOME)
    measures = (owner >= ONE) & (heads[one] != heads[two]) & (index.measure[heads[one]] | index.measure[heads[two]])
    found[found] = (things | measures) & (more_or_alike(index, one, two) >= ONE)
    return found


def more_or_alike(index: PartIndex, a: Any, b: Any) -> Any:
    """How alike the happenings of pairs of forms are; one that says its polarity and nothing more is that of one
    that says the same polarity and more, but no negation (下降 and 连续下降; not 降息 and 暂停加息)."""
    import numpy as np

    happening = part_alike(index, "happening", a, b)
    first, second = index.rows["happening"][a], index.rows["happening"][b]
    more = index.ways[first] == index.ways[second]
    more &= (index.plain[first] & index.adds[second]) | (index.plain[second] & index.adds[first])
    return np.where(more, 1.0, happening)


def part_alike(index: PartIndex, part: str, a: Any, b: Any) -> Any:
    import numpy as np

    rows = index.rows[part]
    same = rows[a] == rows[b]
    if same.all():
        return np.ones(len(a))
    return np.where(same, 1.0, pair_scores(index.indices[part].matrix, np.maximum(rows[a], 0), np.maximum(rows[b], 0)))


@dataclass
class Omissions:
    """Which names say less of one participant than others do, leaving out what comes before its head (贷款 of
    人民币贷款, 原油库存 of 商业原油库存: a noun phrase ends with its head) or abbreviating it (招行 of 招商银行,
    社零 of 社会消费品零售总额): the one that says less names the same participant, unless it says less of two that
    say different things (净利润 beside 招商银行净利润 and 工商银行净利润), when which one it means is not known."""

    thing: Any
    """The number of each form's thing (0: none)."""
    agent: Any
    """The number of each form's agent (0: none)."""
    participant: Any
    """The number of each form's participant (0: none)."""
    endings: Any
    """For each thing's number, the numbers of the other things it ends with (0: none), a row each."""
    texts: list[str]
    """Each participant by its number."""

    @classmethod
    def of(cls, parts: Sequence[Parts]) -> Omissions:
        import numpy as np

        numbers: dict[str, dict[str, int]] = {"thing": {"": 0}, "agent": {"": 0}, "participant": {"": 0}}
        columns = {key: np.zeros(len(parts), dtype=np.int64) for key in numbers}
        for form, item in enumerate(parts):
            if item.parsed and item.participant:
                for key, text in (("thing", item.thing), ("agent", item.agent), ("participant", item.participant)):
                    columns[key][form] = numbers[key].setdefault(text, len(numbers[key]))
        things = numbers["thing"]
        found = [[things[text[start:]] for start in range(1, len(text)) if text[start:] in things] for text in things]
        endings = np.zeros((len(things), max(map(len, found), default=0) or 1), dtype=np.int64)
        for number, ends in enumerate(found):
            endings[number, : len(ends)] = ends
        return cls(columns["thing"], columns["agent"], columns["participant"], endings, list(numbers["participant"]))

    def says_less(self, short: Any, long: Any) -> Any:
        """Whether each form of `short` says less of the participant of the form of `long` beside it."""
        import numpy as np

        first, second = self.thing[short], self.thing[long]
        agreed = (self.agent[short] == 0) | (self.agent[short] == self.agent[long])
        ends = np.zeros(len(short), dtype=bool)
        for start in range(0, len(short), PAIRS_AT_ONCE):
            part = slice(start, start + PAIRS_AT_ONCE)
            ends[part] = (self.endings[second[part]] == first[part, None]).any(axis=1)
        unnamed = (first == second) & (self.agent[short] == 0) & (self.agent[long] > 0)
        found: Any = (first > 0) & agreed & (ends | unnamed)
        rest = np.flatnonzero(~found & (self.participant[short] > 0) & (self.participant[long] > 0))
        texts = self.texts
        found[rest] = [
            _abbreviates(texts[a], texts[b])
            for a, b in zip(self.participant[short[rest]].tolist(), self.participant[long[rest]].tolist(), strict=True)
        ]
        return found

    def apply(
        self, index: PartIndex, first: Any, second: Any, score: Any, threshold: float, refused: dict[str, int]
    ) -> Any:
        """The scores of pairs of forms where one says less of the participant of the other: their happenings'
        where those agree and the pair scored less, but for a form torn between two longer ones, whose pairs are
        counted in `refused` as "unsure"."""
        import numpy as np

        candidates = np.flatnonzero(~(index.whole[first] | index.whole[second]) & (score < threshold))
        happening = more_or_alike(index, first[candidates], second[candidates])
        candidates, happening = candidates[happening >= threshold], happening[happening >= threshold]
        a, b = first[candidates], second[candidates]
        forward = self.says_less(a, b)
        backward = ~forward & self.says_less(b, a)
        chosen = forward | backward
        if not chosen.any():
            return score
        short, long = np.where(forward, a, b)[chosen], np.where(forward, b, a)[chosen]
        torn = self._torn(short, long)
        refused["unsure"] = refused.get("unsure", 0) + int(torn.sum())
        score = score.copy()
        kept = candidates[chosen][~torn]
        score[kept] = happening[chosen][~torn]
        return score

    def _torn(self, short: Any, long: Any) -> Any:
        """Which pairs have a short form that says less of two participants, neither of which says less of the
        other."""
        import numpy as np

        participants = self.participant[long]
        distinct = np.unique(np.stack([short, participants], axis=1), axis=0)
        forms, counts = np.unique(distinct[:, 0], return_counts=True)
        torn = []
        for form in forms[counts > 1].tolist():
            longs = [
                int(long[np.flatnonzero((short == form) & (participants == number))[0]])
                for number in distinct[distinct[:, 0] == form, 1].tolist()
            ]
            longs.sort(key=lambda each: (len(self.texts[self.participant[each]]), each))
            if not self.says_less(np.asarray(longs[:-1]), np.asarray(longs[1:])).all():
                torn.append(form)
        return np.isin(short, torn)


def _abbreviates(short: str, long: str) -> bool:
    """Whether `short` keeps characters of `long` in their order, leaving some out between them, as a Chinese
    abbreviation does (招行 of 招商银行, 发改委 of 国家发展和改革委员会, 社零 of 社会消费品零售总额)."""
    if len(short) < 2 or len(long) < len(short) + 2 or short in long:
        return False
    place = 0
    for character in short:
        place = long.find(character, place) + 1
        if not place:
            return False
    return True


@dataclass
class Units:
    """Forms that nothing can tell apart, their parts and their signatures being the same, are one unit: one
    thing for the clustering to compare, whose forms are one event before it starts."""

    of_form: Any
    """The unit of each form."""
    first_form: Any
    """The first form of each unit."""

    @classmethod
    def of(cls, parts: Sequence[Parts], codes: Mapping[str, Any]) -> Units:
        """The units of forms given their parts and their signatures' values as codes (a column by category)."""
        import numpy as np

        numbers: dict[Parts, int] = {}
        keys = np.empty(len(parts), dtype=np.int64)
        for number, item in enumerate(parts):
            # A form without parts is a unit of its own: a key no other form has.
            keys[number] = numbers.setdefault(item, len(numbers)) if item.parsed and item.participant else ~number
        rows = np.column_stack([keys, *(codes[category] for category in sorted(codes))])
        _, first, of_form = np.unique(rows, axis=0, return_index=True, return_inverse=True)
        return cls(of_form.ravel().astype(np.int64), first.astype(np.int64))

    def pairs(self, first: Any, second: Any, score: Any) -> tuple[Any, Any, Any]:
        """Pairs of forms as pairs of their units' first forms, each once with its best score; none within a
        unit."""
        a, b = self.first_form[self.of_form[first]], self.first_form[self.of_form[second]]
        keep = a != b
        return unique_pairs(a[keep], b[keep], score[keep])


@dataclass
class Meaning:
    """The meaning tier's vectors: of each participant and each happening's content where a form has parts, of
    the form whole where it has none; each distinct text asked once."""

    texts: list[str]
    vectors: Any
    participant: Any
    """The row of each form's participant in `vectors`; -1 where the form is compared whole."""
    happening: Any
    """The row of each form's happening content; -1 where it has none (a rise and nothing more)."""
    whole: Any
    """The row of each form compared whole; -1 for the others."""

    @classmethod
    def of(cls, parts: Sequence[Parts], forms: Sequence[str], units: Units, embed: Any) -> Meaning:
        import numpy as np

        rows: dict[str, int] = {}
        participant, happening, whole = (np.full(len(forms), -1, dtype=np.int64) for _ in range(3))
        for number in units.first_form.tolist():
            item = parts[number]
            if item.parsed and item.participant:
                participant[number] = rows.setdefault(item.participant, len(rows))
                if item.happening:
                    happening[number] = rows.setdefault(item.happening, len(rows))
            else:
                whole[number] = rows.setdefault(forms[number], len(rows))
        texts = list(rows)
        vectors = np.asarray(embed(texts), dtype=np.float32) if texts else np.zeros((0, 1), dtype=np.float32)
        return cls(texts, vectors, participant, happening, whole)

    def _whole_vectors(self, forms: Any) -> Any:
        """A vector for each form as a whole: its own, or its parts' added up."""
        import numpy as np

        rows = np.maximum(self.whole[forms], 0)
        result = self.vectors[rows].copy()
        parted = self.whole[forms] < 0
        if parted.any():
            summed = self.vectors[np.maximum(self.participant[forms[parted]], 0)].copy()
            content = self.happening[forms[parted]]
            summed[content >= 0] += self.vectors[content[content >= 0]]
            summed /= np.maximum(np.linalg.norm(summed, axis=1, keepdims=True), 1e-12)
            result[parted] = summed
        return result

    def candidates(self, neighbours: int, floor: float) -> tuple[Any, Any, Any]:
        """Pairs of forms among the nearest by their participants' vectors, and by their whole vectors."""
        import numpy as np

        parted = np.flatnonzero(self.participant >= 0)
        every = np.flatnonzero((self.participant >= 0) | (self.whole >= 0))
        found = []
        for forms, vectors in (
            (parted, self.vectors[self.participant[parted]]),
            (every, self._whole_vectors(every)),
        ):
            a, b, score = nearest(vectors, neighbours, floor)
            found.append((forms[a], forms[b], score))
        return unique_pairs(*(np.concatenate(column) for column in zip(*found, strict=True)))

    def scores(self, index: PartIndex, first: Any, second: Any) -> Any:
        """Each pair's cosine part by part, as the n-gram scores are: the lower of the participants' and the
        happenings' where both forms have parts (a content missing on one side is scored by n-grams), else the
        whole forms'."""
        import numpy as np

        def cosine(a: Any, b: Any) -> Any:
            return np.einsum("ij,ij->i", a, b)

        result = cosine(self._whole_vectors(first), self._whole_vectors(second))
        happenings = index.rows["happening"]
        alone = index.whole[first] & index.whole[second] & (happenings[first] >= 0) & (happenings[second] >= 0)
        if alone.any():
            # Places are told apart as the n-gram scores tell them, torn by the happenings alike there (see
            # `scores`): no vector of 广州暴雨 makes it 深圳暴雨.
            a, b = first[alone], second[alone]
            result[alone] = np.where(_apart_alone(index, a, b, more_or_alike(index, a, b)), 0.0, result[alone])
        both = (self.participant[first] >= 0) & (self.participant[second] >= 0)
        if both.any():
            a, b = first[both], second[both]
            participant = cosine(self.vectors[self.participant[a]], self.vectors[self.participant[b]])
            contents = (self.happening[a] >= 0) & (self.happening[b] >= 0)
            rows = index.rows["happening"]
            happening = np.where(
                rows[a] == rows[b],
                1.0,
                pair_scores(index.indices["happening"].matrix, np.maximum(rows[a], 0), np.maximum(rows[b], 0)),
            )
            happening[contents] = cosine(
                self.vectors[self.happening[a[contents]]], self.vectors[self.happening[b[contents]]]
            )
            participant[index.opposed(a, b)] = 0.0
            result[both] = np.minimum(participant, happening)
        return result


def nearest(vectors: Any, neighbours: int, floor: float) -> tuple[Any, Any, Any]:
    """Pairs of rows among each row's nearest neighbours by cosine, at least `floor` alike (usearch's HNSW index:
    approximate, in C++ on every core)."""
    import numpy as np
    from usearch.index import Index

    count = len(vectors)
    if count < 2:
        empty = np.zeros(0, dtype=np.int64)
        return empty, empty, np.zeros(0, dtype=np.float32)
    index = Index(ndim=vectors.shape[1], metric="cos", dtype="f32")
    index.add(np.arange(count, dtype=np.uint64), np.ascontiguousarray(vectors, dtype=np.float32))
    found = index.search(np.ascontiguousarray(vectors, dtype=np.float32), min(neighbours + 1, count))
    keys = np.asarray(found.keys, dtype=np.int64).reshape(count, -1)
    similarity = 1.0 - np.asarray(found.distances, dtype=np.float32).reshape(count, -1)
    rows = np.repeat(np.arange(count, dtype=np.int64), keys.shape[1])
    columns, scores = keys.ravel(), similarity.ravel()
    keep = (columns >= 0) & (columns < count) & (columns != rows) & (scores >= floor)
    return unique_pairs(rows[keep], columns[keep], scores[keep])
