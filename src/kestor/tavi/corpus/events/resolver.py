"""The resolver: which names of a graph are one event, tier by tier, each tier a level of `--merge`.

    exact    names equal once NFKC-trimmed (the event key) are one event, nothing more
    normal   names of one normal form (see `normal`): scripts, widths, qualifiers, blanks and quotes
    similar  names alike in their character n-grams (see `similar`), by average linkage; then names less alike
             whose neighbours, the events they cause and are caused by, agree, and names that share rare neighbours
             and whose parts agree, however little their words do (see `neighbours`)
    meaning  names near in an embedding model's space (needs `embed`)
    judge    pairs left in a doubtful band, asked of a model (needs `judge`)

Each level runs the ones before it. What is never one event (`lexicon`) and the overrides hold at every level, and so
do the relations between names: the two ends of a relation (a cause and its effect) are never one event, unless
nothing tells them apart (one normal form, or one unit of the scoring tiers), when the article says that X brings X.
Names come in as event keys in order of first appearance; out comes, for each, its event (numbered by the first
appearance of their first name) with the tier and score that joined it.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from .classes import classify
from .compare import (
    PARTICIPANT_CATEGORIES,
    Meaning,
    Omissions,
    Units,
    contrasted,
    more_or_alike,
    owners_alike,
    part_index,
    participants_alike,
    placed_pairs,
    scores,
    search_index,
    signature_with_parts,
)
from .groups import RELATION, Groups, agglomerate
from .levels import MODEL_FREE, Level, Tier
from .lexicon import AGENT, ROLES, TARGET, Lexicon, Signature
from .names import event_key
from .neighbours import AGREEMENT, KIN_SHARED, LOW, KinParts, join_by_kin, join_by_neighbours
from .normal import Normal, normalize
from .overrides import Override, OverridesError
from .parts import PLACE, Parser, Parts
from .polarity import Polarity
from .similar import FLOOR, MAX_DF, NEIGHBOURS, candidates, ngram_index, unique_pairs

SIMILAR = 0.40
MEANING = 0.86
JUDGE_BAND = (0.3, SIMILAR)

Embed = Callable[[list[str]], Any]
"""Normal forms -> a float32 array of one unit vector a row."""
Judge = Callable[[list[tuple[str, str]]], list[bool]]
"""Pairs of names -> whether each pair is one event."""
Candidates = Callable[[Any], tuple[Any, Any, Any]]
"""An n-gram index -> its candidate pairs (first, second, score): on a cluster or here."""


@dataclass
class Settings:
    level: Level = MODEL_FREE
    lexicon: Lexicon | None = None
    polarity: Polarity | None = None
    overrides: Sequence[Override] = ()
    similar: float = SIMILAR
    neighbours: int = NEIGHBOURS
    max_df: int = MAX_DF
    meaning: float = MEANING
    embed: Embed | None = None
    judge: Judge | None = None
    judge_band: tuple[float, float] = JUDGE_BAND
    neighbours_low: float = LOW
    """The lowest score at which names near by their words may be one event by their neighbours (see
    `neighbours`); at or above `similar`: never."""
    agreement: float = AGREEMENT
    kin: int = KIN_SHARED
    """The fewest rare neighbours that two groups no search by their words proposed must share to be one event (see
    `neighbours`); 0: such groups never join."""
    judge_max: int = 200
    search: Candidates | None = None
    threads: int = 1
    normalize: Callable[[Sequence[str]], list[Normal]] = normalize
    """Names -> their normal forms: here, or by partition on a cluster."""
    parse: Callable[[Parser, Sequence[str]], list[Parts]] | None = None
    """Normal forms -> their parts, by the parser given: on a cluster by partition; None: here."""
    related: tuple[Any, Any] | None = None
    """The names that a relation joins, as two arrays of indices into the names (a pair a position): never one
    event."""
    outside: tuple[Any, Any, Any] | None = None
    """The relations of names to events that are not resolved here (a store's, in an update): three arrays, the
    index of the name, a number for the event, and whether the name is the cause (else the effect)."""

    def runs(self, tier: Level) -> bool:
        return self.level.runs(tier)

    @property
    def floor(self) -> float:
        """The lowest score of a candidate pair worth keeping."""
        return min(FLOOR, self.neighbours_low)


@dataclass
class Resolution:
    event_of: list[int]
    """Event index of each name."""
    first_of: list[int]
    """The first name of each event (its node's name)."""
    tier: list[Tier]
    """What joined each name to its event."""
    score: list[float]
    normals: list[Normal]
    joins: dict[str, int] = field(default_factory=dict)
    """Joins of two groups, by tier."""
    refused: dict[str, int] = field(default_factory=dict)
    asked: dict[str, int] = field(default_factory=dict)
    """Requests made of a model, by tier."""
    classes: list[str] = field(default_factory=list)
    """The name of each class of events: the more general events that events are each one of (is-a)."""
    class_of: list[int] = field(default_factory=list)
    """The class of each event."""
    level: Level = MODEL_FREE
    """The level resolved at: at `exact`, no normal form was made."""
    parts: list[Parts | None] = field(default_factory=list)
    """The parts of each name's normal form; None where none were read (below `similar`, or a name alone)."""

    @property
    def events(self) -> int:
        return len(self.first_of)


def resolve(keys: Sequence[str], settings: Settings | None = None) -> Resolution:
    settings = settings or Settings()
    settings.level = Level(settings.level)
    normals = [Normal(key) for key in keys] if settings.level is Level.EXACT else settings.normalize(keys)
    lexicon = settings.lexicon or Lexicon.shipped()
    forms: dict[str, int] = {}
    representative: list[int] = []
    for index, normal in enumerate(normals):
        if normal.form not in forms:
            forms[normal.form] = len(representative)
            representative.append(index)
    signatures = {form: lexicon.signature(form) for form in forms} if settings.level is not Level.EXACT else {}
    parts: list[Parts] = []
    if settings.runs(Level.SIMILAR) and len(representative) > 1:
        parser = Parser.of(lexicon, settings.polarity)
        parts = settings.parse(parser, list(forms)) if settings.parse is not None else parser.parse(list(forms))
        for form, item in zip(forms, parts, strict=True):
            signatures[form] = signature_with_parts(signatures[form], item)
    groups = Groups([signatures.get(normal.form, {}) for normal in normals])
    # Sizes count distinct forms, the units that the scoring tiers compare.
    for index in range(len(keys)):
        groups.size[index] = 0
    for index in representative:
        groups.size[index] = 1
    _apply_overrides(groups, keys, normals, settings.overrides)
    asked: dict[str, int] = {}
    if settings.runs(Level.NORMAL):
        # One form, one signature: only an override can keep two names of one form apart. The lexicon is not asked,
        # for a group that an override joined may name more than the form does (广州 and 广东).
        for index, normal in enumerate(normals):
            first = representative[forms[normal.form]]
            if first != index:
                groups.join(first, index, Tier.NORMAL, 1.0, lexicon=False)
    if settings.runs(Level.SIMILAR) and len(representative) > 1:
        import numpy as np

        form_list = list(forms)
        meanings = [
            [f"\0{category}={value}" for category, values in signatures[form].items() for value in values]
            for form in form_list
        ]
        ngrams = ngram_index(form_list, settings.max_df, meanings)
        by_parts = part_index(parts, lexicon, settings.max_df, parser.polarity.negations)
        codes = _value_codes(form_list, signatures)
        units = Units.of(parts, codes)
        rep = _array(representative)
        # Sizes count units, the things the scoring tiers compare: a unit's forms are one as far as any score goes.
        # A join refused (an override keeps them apart) leaves the two groups as they were, each of its size.
        for number, unit in enumerate(units.of_form.tolist()):
            first = int(units.first_form[unit])
            if first != number:
                root = groups.join(representative[first], representative[number], Tier.SIMILAR, 1.0)
                if root is not None:
                    groups.size[root] -= 1
        related = _related(settings.related, normals, forms, representative)
        floor = settings.floor
        search = settings.search or (
            lambda index: candidates(index, settings.neighbours, floor, threads=settings.threads)
        )
        found = [search(ngrams)]
        if not by_parts.whole.all():
            parted, forms_of_rows = search_index(by_parts, units, settings.max_df)
            a, b, found_score = search(parted)
            found.append((forms_of_rows[a], forms_of_rows[b], found_score))
        found.append(placed_pairs(by_parts, units, settings.neighbours))
        first, second, found_score = unique_pairs(*(np.concatenate(column) for column in zip(*found, strict=True)))
        # The pairs found below the floor are for the neighbours alone: the tiers before see what they always saw.
        below = found_score < FLOOR
        extra = first[below], second[below]
        first, second = first[~below], second[~below]
        first, second, score = units.pairs(first, second, scores(by_parts, ngrams, first, second))
        score = Omissions.of(parts).apply(by_parts, first, second, score, settings.similar, groups.refused)
        clashing = _clashing(codes, first, second, groups.refused)
        apart = clashing | _unsure(codes, first, second, (score >= settings.similar) & ~clashing, groups.refused)
        weak = ~apart & (score < FLOOR)
        weak = first[weak], second[weak], score[weak]
        apart |= score < FLOOR
        first, second, score = first[~apart], second[~apart], score[~apart]
        _keep_apart(groups, related, rep[first], rep[second], score, settings.similar)
        pairs = list(zip(rep[first].tolist(), rep[second].tolist(), score.tolist(), strict=True))
        agglomerate(groups, pairs, settings.similar, Tier.SIMILAR)
        if settings.neighbours_low < settings.similar:
            # Pairs too far apart for their words alone, which the events around them may join; what refuses them
            # is not counted, as they were never near.
            uncounted: dict[str, int] = {}
            lows = units.pairs(*extra, scores(by_parts, ngrams, *extra))
            kept = ~_clashing(codes, lows[0], lows[1], uncounted)
            columns = zip((first, second, score), weak, (column[kept] for column in lows), strict=True)
            # None of these pairs clash: those that did were taken out above.
            near = unique_pairs(*(np.concatenate(column) for column in columns))
            sure = ~_unsure(codes, near[0], near[1], near[2] >= settings.neighbours_low, uncounted)
            a, b, near_score = rep[near[0][sure]], rep[near[1][sure]], near[2][sure]
            outside = _outside(settings.outside, normals, forms, representative)
            join_by_neighbours(groups, related, outside, a, b, near_score, settings.neighbours_low, settings.agreement)
            parted = units.first_form[~by_parts.whole[units.first_form]]
            form_of = np.full(len(normals), -1, dtype=np.int64)
            form_of[rep] = np.arange(len(rep))

            def alike(first: Any, second: Any) -> Any:
                # Where both say the same way, the way speaks for what happens; else what happens is alike by its
                # words, or the two are not known to be one (万达电影亏损 and 万达电影裁员).
                a, b = form_of[first], form_of[second]
                found = participants_alike(by_parts, a, b)
                way = by_parts.ways[by_parts.rows["happening"][a]]
                said = (way != 0) & (way == by_parts.ways[by_parts.rows["happening"][b]])
                return np.where(said, found, np.minimum(found, more_or_alike(by_parts, a, b)))

            axes = frozenset(axis for item in parts for axis, _ in item.polarity)
            kin = KinParts(
                rep[parted],
                alike,
                lambda first, second: owners_alike(by_parts, form_of[first], form_of[second]),
                lambda first, second: more_or_alike(by_parts, form_of[first], form_of[second]),
                lambda first, second: contrasted(by_parts, form_of[first], form_of[second]),
                lambda a, b: _kin_allowed(groups, a, b, axes),
                lambda a, b: _kin_allowed(groups, a, b, None),
            )
            join_by_kin(groups, related, outside, kin, settings.kin)
        if settings.runs(Level.MEANING):
            if settings.embed is None:
                raise ValueError("the meaning level needs an embeddings model")
            meaning = Meaning.of(parts, form_list, units, settings.embed)
            asked[Tier.MEANING] = len(meaning.texts)
            near = meaning.candidates(settings.neighbours, settings.judge_band[0])
            both = unique_pairs(*(_concat(a, b) for a, b in zip((first, second, score), near, strict=True)))
            both = units.pairs(both[0], both[1], meaning.scores(by_parts, both[0], both[1]))
            near_enough = (both[2] >= settings.meaning) & ~_clashing(codes, both[0], both[1], {})
            sure = ~_unsure(codes, both[0], both[1], near_enough, groups.refused)
            both = (both[0][sure], both[1][sure], both[2][sure])
            _keep_apart(groups, related, rep[both[0]], rep[both[1]], both[2], settings.meaning)
            pairs = list(zip(rep[both[0]].tolist(), rep[both[1]].tolist(), both[2].tolist(), strict=True))
            agglomerate(groups, pairs, settings.meaning, Tier.MEANING)
        if settings.runs(Level.JUDGE):
            if settings.judge is None:
                raise ValueError("the judge level needs a model to ask")
            _keep_apart(groups, related, rep[both[0]], rep[both[1]], both[2], settings.judge_band[0])
            asked[Tier.JUDGE] = _ask_judge(groups, pairs, normals, settings)
    resolution = _resolution(groups, normals, asked)
    resolution.level = settings.level
    by_form = dict(zip(forms, parts, strict=False))
    resolution.parts = [by_form.get(normal.form) for normal in normals]
    resolution.classes, resolution.class_of = classify(
        resolution.event_of, resolution.events, resolution.parts, [normal.form for normal in normals], lexicon
    )
    return resolution


def _kin_allowed(groups: Groups, first: Any, second: Any, axes: frozenset[str] | None) -> Any:
    """Which pairs of roots that no search by their words proposed their parts let join by their neighbours: the way
    of both known and the same on every axis of `axes` (港口停运 and 出口增长 go no known way together; None: the
    way is not asked), and the things they happen to of one category of the lexicon where both name one (a market's
    fall is no currency's)."""
    import numpy as np

    things = PARTICIPANT_CATEGORIES - {PLACE}
    signatures = groups.signatures
    allowed = np.zeros(len(first), dtype=bool)
    for number, (one, two) in enumerate(zip(first.tolist(), second.tolist(), strict=True)):
        a, b = signatures[one], signatures[two]
        way = {axis: a[axis] for axis in axes.intersection(a)} if axes is not None else None
        if axes is None or (way and way == {axis: b[axis] for axis in axes.intersection(b)}):
            kinds, other = things.intersection(a), things.intersection(b)
            allowed[number] = not (kinds and other and not kinds & other)
    return allowed


def _apply_overrides(
    groups: Groups,
    keys: Sequence[str],
    normals: Sequence[Normal],
    overrides: Sequence[Override],
) -> None:
    if not overrides:
        return
    by_key = {key: index for index, key in reversed(list(enumerate(keys)))}
    by_form = {normal.form: index for index, normal in reversed(list(enumerate(normals)))}

    def find(name: str, place: str) -> int:
        key = event_key(name)
        if key in by_key:
            return by_key[key]
        [normal] = normalize([key])
        if normal.form in by_form:
            return by_form[normal.form]
        raise OverridesError(f"{place}: no event {name!r} in the graph")

    located = [(find(item.first, item.place), find(item.second, item.place), item) for item in overrides]
    for first, second, item in located:
        if item.same:
            groups.join(first, second, Tier.OVERRIDE, 1.0, forced=True)
    for first, second, item in located:
        if not item.same:
            if first == second:
                raise OverridesError(f"{item.place}: {item.first!r} and {item.second!r} are one name, never two events")
            if groups.find(first) == groups.find(second):
                raise OverridesError(f"{item.place}: {item.first!r} and {item.second!r} are one event by other lines")
            groups.forbid(first, second)


def _related(
    related: tuple[Any, Any] | None, normals: Sequence[Normal], forms: Mapping[str, int], representative: Sequence[int]
) -> tuple[Any, Any]:
    """The pairs of names that a relation joins, cause and effect, as pairs of their forms' first names, each once;
    none within one form (a date or a script apart, the name is the same)."""
    import numpy as np

    if related is None or not len(related[0]):
        empty = np.zeros(0, dtype=np.int64)
        return empty, empty
    first, second = (np.asarray(column, dtype=np.int64) for column in related)
    first, second = _firsts(np.concatenate([first, second]), normals, forms, representative).reshape(2, -1)
    kept = first != second
    unique = np.unique(np.stack([first[kept], second[kept]], axis=1), axis=0)
    return unique[:, 0], unique[:, 1]


def _outside(
    outside: tuple[Any, Any, Any] | None,
    normals: Sequence[Normal],
    forms: Mapping[str, int],
    representative: Sequence[int],
) -> tuple[Any, Any, Any]:
    """The relations of names to events resolved elsewhere, each name as its form's first name, each once."""
    import numpy as np

    if outside is None or not len(outside[0]):
        empty = np.zeros(0, dtype=np.int64)
        return empty, empty, np.zeros(0, dtype=bool)
    names, events, cause = (np.asarray(column, dtype=np.int64) for column in outside)
    unique = np.unique(np.stack([_firsts(names, normals, forms, representative), events, cause], axis=1), axis=0)
    return unique[:, 0], unique[:, 1], unique[:, 2].astype(bool)


def _firsts(names: Any, normals: Sequence[Normal], forms: Mapping[str, int], representative: Sequence[int]) -> Any:
    """The first name of the form of each of an array of names."""
    import numpy as np

    distinct, where = np.unique(names, return_inverse=True)
    item = np.asarray([representative[forms[normals[name].form]] for name in distinct.tolist()], dtype=np.int64)
    return item[where.ravel()]


def _keep_apart(
    groups: Groups, related: tuple[Any, Any], first: Any, second: Any, score: Any, threshold: float
) -> None:
    """Keep apart for good the two ends of each relation that a tier joining these pairs at `threshold` could bring
    into one group: those that its pairs of at least `threshold` connect, as two groups it joins have such a pair
    between them. The others cannot meet, and are left out of what each join looks up."""
    import numpy as np
    from scipy import sparse
    from scipy.sparse.csgraph import connected_components

    ends_first, ends_second = related
    if not len(ends_first):
        return
    strong = score >= threshold
    first, second = first[strong], second[strong]
    items = np.unique(np.concatenate([first, second, ends_first, ends_second]))
    roots, root_of_item = np.unique(groups.roots_of(items), return_inverse=True)

    def place(column: Any) -> Any:
        return root_of_item.ravel()[np.searchsorted(items, column)]

    ones = np.ones(len(first), dtype=np.int8)
    graph = sparse.coo_matrix((ones, (place(first), place(second))), shape=(len(roots), len(roots)))
    _, component = connected_components(graph, directed=False)
    a, b = place(ends_first), place(ends_second)
    kept = (a != b) & (component[a] == component[b])
    for one, other in zip(roots[a[kept]].tolist(), roots[b[kept]].tolist(), strict=True):
        groups.forbid(one, other, RELATION)


def _ask_judge(
    groups: Groups, pairs: list[tuple[int, int, float]], normals: Sequence[Normal], settings: Settings
) -> int:
    """Ask about the best pair of each two groups still apart whose score lies in the doubtful band; the number
    of pairs asked."""
    low, high = settings.judge_band
    best: dict[tuple[int, int], tuple[float, int, int]] = {}
    for first, second, score in pairs:
        if not low <= score < max(high, settings.meaning):
            continue
        a, b = sorted((groups.find(first), groups.find(second)))
        if a == b or groups.why_not(a, b) is not None:
            continue
        if score > best.get((a, b), (-1.0, 0, 0))[0]:
            best[(a, b)] = (score, first, second)
    chosen = sorted(best.values(), reverse=True)[: settings.judge_max]
    assert settings.judge is not None
    answers = settings.judge([(normals[first].form, normals[second].form) for _, first, second in chosen])
    for (score, first, second), same in zip(chosen, answers, strict=True):
        if same:
            groups.join(first, second, Tier.JUDGE, score)
    return len(chosen)


def _resolution(groups: Groups, normals: Sequence[Normal], asked: Mapping[str, int]) -> Resolution:
    event_of_root: dict[int, int] = {}
    event_of: list[int] = []
    first_of: list[int] = []
    for index in range(len(groups)):
        root = groups.find(index)
        event = event_of_root.get(root)
        if event is None:
            event = event_of_root[root] = len(first_of)
            first_of.append(index)
        event_of.append(event)
    tier: list[Tier] = []
    score: list[float] = []
    for index, mark in enumerate(groups.joined_by):
        if first_of[event_of[index]] == index or mark is None:
            tier.append(Tier.NAME)
            score.append(1.0)
        else:
            tier.append(mark.tier)
            score.append(mark.score)
    return Resolution(
        event_of, first_of, tier, score, list(normals), dict(groups.joins), dict(groups.refused), dict(asked)
    )


def _value_codes(forms: Sequence[str], signatures: Mapping[str, Signature]) -> dict[str, Any]:
    """For each category of the lexicon that some form names: an array of each form's values as a number (0: none)."""
    import numpy as np

    codes: dict[str, Any] = {}
    value_ids: dict[frozenset[str], int] = {}
    for number, form in enumerate(forms):
        for category, values in signatures[form].items():
            column = codes.get(category)
            if column is None:
                column = codes[category] = np.zeros(len(forms), dtype=np.int32)
            column[number] = value_ids.setdefault(values, len(value_ids) + 1)
    return codes


def _clashing(codes: Mapping[str, Any], first: Any, second: Any, refused: dict[str, int]) -> Any:
    """Which candidate pairs of forms the lexicon keeps apart, for all pairs at once (counted in `refused` by
    category): such a pair can only be refused, and refusing it in the clustering costs a look at both groups
    each time it comes up."""
    import numpy as np

    apart = np.zeros(len(first), dtype=bool)
    for category, column in codes.items():
        a, b = column[first], column[second]
        clash = (a != 0) & (b != 0) & (a != b)
        if clash.any():
            refused[category] = refused.get(category, 0) + int(clash.sum())
        apart |= clash
    if AGENT in codes and TARGET in codes:
        # Values of every category are numbered alike: an agent and a target of one number are one party.
        agent, target = codes[AGENT], codes[TARGET]
        crossed = (agent[first] != 0) & (agent[first] == target[second])
        crossed |= (target[first] != 0) & (target[first] == agent[second])
        crossed &= ~apart
        if crossed.any():
            refused[ROLES] = refused.get(ROLES, 0) + int(crossed.sum())
        apart |= crossed
    return apart


def _unsure(codes: Mapping[str, Any], first: Any, second: Any, near: Any, refused: dict[str, int]) -> Any:
    """The pairs that would give a form silent in a category (暴雨) one value of it (广州暴雨) where the form is as
    near to forms of another value (广东暴雨): which one it means is not known, and the first met would win, so that
    the graph would hang on the order of the input. `near`: the pairs near enough to join that the lexicon does
    not keep apart (see `_clashing`), for a form it keeps apart in another category (深圳放开限购 beside 广州取消限购)
    is no other meaning the silent form may have. Counted in `refused` as "unsure"."""
    import numpy as np

    unsure = np.zeros(len(first), dtype=bool)
    for column in codes.values():
        a, b = column[first], column[second]
        first_silent, second_silent = near & (a == 0) & (b != 0), near & (b == 0) & (a != 0)
        silent = np.concatenate([first[first_silent], second[second_silent]])
        if len(silent) < 2:
            continue
        values = np.concatenate([b[first_silent], a[second_silent]])
        forms, counts = np.unique(np.unique(np.stack([silent, values], axis=1), axis=0)[:, 0], return_counts=True)
        torn = forms[counts > 1]
        if len(torn):
            unsure |= (np.isin(first, torn) & (a == 0) & (b != 0)) | (np.isin(second, torn) & (b == 0) & (a != 0))
    if unsure.any():
        refused["unsure"] = refused.get("unsure", 0) + int(unsure.sum())
    return unsure


def _array(values: Sequence[int]) -> Any:
    import numpy as np

    return np.asarray(values, dtype=np.int64)


def _concat(first: Any, second: Any) -> Any:
    import numpy as np

    return np.concatenate([np.asarray(first), np.asarray(second)])
