"""Names joined by what their articles say around them: two groups whose names are near but not near enough to be
one event by their words alone are one where the events they cause and the events that cause them are the same.

Two spellings of one event share neighbours (沪指下跌 and 股市下跌 follow the same causes and lead to the same
effects), but look-alikes share some too (铜价上涨 and 锌价上涨 follow a rise in demand), so neighbours are evidence
beside the words, never a licence on their own: only pairs that the scoring tiers found near (from `low`, below the
similar tier's threshold), that no rule keeps apart, may join by them. A neighbour counts by how rare it is on its
side: an event that a thousand others cause says little of any two of them.

Groups join by rounds, each group at most once a round, with the one group it agrees with best where that one
agrees best with it (a tie joins neither), so that the result does not hang on the order of the input; a round's
joins make the neighbours of the next round's groups, until none joins.

Names of one event may share too little to be found by any search by words (沪指下跌 and A股走低). Then the graph
proposes them: two groups that share several rare neighbours (`join_by_kin`) are one where their parts agree, as
the resolver asks of them, by the same rounds. A neighbour of many groups proposes none of them: what it says is
little, and its pairs are many.

Two effects of one cause (or two causes of one effect) share a neighbour too, and are two events: siblings. What
tells spellings from siblings is the rest of the neighbourhood. A spelling follows from what its event follows from
and leads to what it leads to; a sibling shares one side, and has neighbours of its own. So where two groups share a
rare cause and a rare effect, and the neighbours of the one with fewer lie within the other's, their neighbours speak
for them however unlike their words for the thing it happens to (楼市成交 and 商品房销售额), as they speak for owners
alike where what of it each names differs (招行业绩 and 招行净利润). What happens must still agree, and a pair whose
words say one measure of two things (水泥价格 and 玻璃价格) or a measure and something else of one (水泥价格 and
水泥产量) is two events, however many neighbours it shares. One neighbour in common says too little, whatever the
rest.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from .groups import RELATION, Groups
from .levels import Tier
from .similar import PAIRS_AT_ONCE, pair_scores

LOW = 0.10
"""The lowest score of a pair of names that their neighbours may join."""
AGREEMENT = 0.5
"""The least share of its neighbours (weighted by rarity) that the group with fewer must share with the other."""
ROUNDS = 8
"""Rounds at most: each joins only where the last changed what a group is related to."""
KIN_SHARED = 2
"""The fewest rare neighbours that two groups no search by words proposed must share to be one event."""
KIN_DEGREE = 8
"""A neighbour of more groups than this on its side proposes none of them: it says too little, and its pairs are
many."""
KIN_PARTNERS = 16
"""The partners proposed for a group at most, those it shares most with."""
KIN_PARTICIPANT = 0.2
"""The least that the participants of two groups proposed by their neighbours alone must be alike."""
KIN_HAPPENING = 0.5
"""Where two groups that share a rare cause and a rare effect say no way, or not one, the least that what happens to
them must be alike."""
KIN_OWNER = 0.55
"""Where two heads differ (业绩 and 净利润), the least that the owners of two groups' things must be alike for their
neighbours to join them, where the neighbourhood of the one with fewer lies within the other's (KIN_WITHIN)."""
KIN_WITHIN = 0.8
"""The least share of its neighbours (weighted by rarity) that the group with fewer must share with the other, for
the neighbours to speak for two groups whose words for their thing differ: a sibling has neighbours of its own."""
KIN_COVERED = 0.2
"""Where two groups share a rare cause and a rare effect, the least share of the neighbours of the one with more
(weighted by rarity) that the other must share too."""


@dataclass
class KinParts:
    """What the parts of two groups that their neighbours alone propose say of them."""

    members: Any
    """The items whose parts speak for their groups."""
    participants: Callable[[Any, Any], Any]
    """How alike the participants of pairs of members are, and no more than what happens to them where their ways
    do not speak for it (below 0: one has none)."""
    owners: Callable[[Any, Any], Any]
    """How alike pairs of members are by whose thing it is, whatever of it (their heads) each names, the place
    aside."""
    happenings: Callable[[Any, Any], Any]
    """How alike what happens is, for pairs of members."""
    contrast: Callable[[Any, Any], Any]
    """Which pairs of members name one measure of two things, or a measure and something else of one, with one
    happening: look-alikes, however many neighbours they share."""
    ways: Callable[[Any, Any], Any]
    """Which pairs of roots go one known way, and whose things are of one kind where both name one."""
    kinds: Callable[[Any, Any], Any]
    """Which pairs of roots have things of one kind where both name one (a market's fall is no currency's)."""


def join_by_neighbours(
    groups: Groups,
    related: tuple[Any, Any],
    outside: tuple[Any, Any, Any],
    first: Any,
    second: Any,
    score: Any,
    low: float = LOW,
    agreement: float = AGREEMENT,
    rounds: int = ROUNDS,
) -> int:
    """Join the groups of pairs of items (`first`, `second`, scored `score`, each pair once) whose neighbours
    agree: the other items of `related` (a relation's cause and effect, as two arrays of items), and the events
    of `outside` (items, numbers of events resolved elsewhere, whether the item is the cause). The joins."""
    import numpy as np

    sources, targets = (np.asarray(column, dtype=np.int64) for column in related)
    keep = score >= low
    first, second, score = first[keep], second[keep], score[keep].astype(np.float64)
    if not (len(sources) or len(outside[0])) or not len(first):
        return 0
    fixed = _fixed(groups, outside)
    joins = 0
    for _ in range(rounds):
        chosen = _chosen(groups, sources, targets, fixed, first, second, score, low, agreement)
        if not len(chosen[0]):
            break
        for a, b, linkage in zip(*(column.tolist() for column in chosen), strict=True):
            if groups.join(a, b, Tier.NEIGHBOURS, linkage) is not None:
                joins += 1
    return joins


def join_by_kin(
    groups: Groups,
    related: tuple[Any, Any],
    outside: tuple[Any, Any, Any],
    parts: KinParts,
    shared: int = KIN_SHARED,
    rounds: int = ROUNDS,
) -> int:
    """Join groups that no search by their words proposed, but that share at least `shared` rare neighbours, where
    their parts allow it: their participants alike and one known way; or, where the neighbours of the one with
    fewer lie within the other's and their words say no contrast (`KinParts.contrast`), their owners alike and one
    known way, or a rare cause and a rare effect in common and what happens alike. The joins."""
    import numpy as np

    sources, targets = (np.asarray(column, dtype=np.int64) for column in related)
    if not (len(sources) or len(outside[0])) or not shared:
        return 0
    fixed = _fixed(groups, outside)
    joins = 0
    for _ in range(rounds):
        found = _neighbourhood(groups, sources, targets, fixed)
        rare = _rare(found)
        a, b = _kin(rare, shared)
        keep = ~_among((a << 32) | b, found.linked)
        a, b = a[keep], b[keep]
        if len(a):
            keep = parts.kinds(a, b)
            keep[keep] = [
                groups.why_not(one, two) is None for one, two in zip(a[keep].tolist(), b[keep].tolist(), strict=True)
            ]
            a, b = a[keep], b[keep]
        if not len(a):
            break
        ways = parts.ways(a, b)
        weight = pair_scores(found.matrix, a, b)
        share = np.round(weight / np.minimum(found.own[a], found.own[b]), 6)
        covered = np.round(weight / np.maximum(found.own[a], found.own[b]), 6)
        participant = _best_alike(groups, parts.members, a, b, parts.participants)
        by_words = ways & (participant >= KIN_PARTICIPANT)
        by_owners = ways & ~by_words & (share >= KIN_WITHIN)
        by_owners[by_owners] = _best_alike(groups, parts.members, a[by_owners], b[by_owners], parts.owners) >= KIN_OWNER
        by_sides = (
            _cause_and_effect(rare, a, b) & (share >= KIN_WITHIN) & (covered >= KIN_COVERED) & ~(by_words | by_owners)
        )
        if by_sides.any():
            one, two = a[by_sides], b[by_sides]
            happens = ways[by_sides] | (_best_alike(groups, parts.members, one, two, parts.happenings) >= KIN_HAPPENING)
            by_sides[by_sides] = happens
        # Words that say two events hold against the neighbours, however many they share.
        weaker = by_owners | by_sides
        weaker[weaker] = _best_alike(groups, parts.members, a[weaker], b[weaker], parts.contrast) <= 0
        chosen = by_words | weaker
        chosen = _mutual_best(a[chosen], b[chosen], share[chosen], participant[chosen], covered[chosen])
        if not len(chosen[0]):
            break
        for one, two, alike_score in zip(*(column.tolist() for column in chosen), strict=True):
            if groups.join(one, two, Tier.NEIGHBOURS, alike_score) is not None:
                joins += 1
    return joins


def _fixed(groups: Groups, outside: tuple[Any, Any, Any]) -> tuple[Any, Any]:
    """The outside relations as (item, column). A column for each (side, neighbour): the items' roots (on either
    side) come first, then the outside events."""
    import numpy as np

    beyond = (np.asarray(outside[1], dtype=np.int64) << 1 | np.asarray(outside[2], dtype=np.int64)) + 2 * len(groups)
    return np.asarray(outside[0], dtype=np.int64), beyond


def _rare(found: _Neighbourhood) -> Any:
    """Roots by columns: 1 for each neighbour of at least 2 and at most KIN_DEGREE roots on its side (None where
    no root has a neighbour)."""
    import numpy as np
    from scipy import sparse

    if found.matrix is None:
        return None
    degree = np.bincount(found.columns)[found.columns]
    rare = (degree >= 2) & (degree <= KIN_DEGREE)
    rows, columns = found.rows[rare], found.columns[rare]
    incidence = sparse.csr_matrix((np.ones(len(rows), dtype=np.int32), (rows, columns)), shape=found.matrix.shape)
    # A column's side rides in its sign: an effect of the root is positive, a cause negative.
    incidence.data = np.where(found.effect[incidence.indices], 1, -1).astype(np.int32)
    return incidence


def _kin(rare: Any, shared: int) -> tuple[Any, Any]:
    """The pairs of roots (first < second) that share at least `shared` rare neighbours, each root with its
    KIN_PARTNERS best partners by what they share (all those tied with the last)."""
    import numpy as np
    from scipy import sparse

    empty = np.zeros(0, dtype=np.int64)
    if rare is None:
        return empty, empty
    incidence = abs(rare)
    common = sparse.triu(incidence @ incidence.T, k=1).tocoo()
    keep = common.data >= shared
    a, b, count = common.row[keep].astype(np.int64), common.col[keep].astype(np.int64), common.data[keep]
    if not len(a):
        return empty, empty
    ends, counts = np.concatenate([a, b]), np.concatenate([count, count])
    order = np.lexsort((-counts, ends))
    ends, counts = ends[order], counts[order]
    first = np.flatnonzero(np.concatenate([[True], ends[1:] != ends[:-1]]))
    rank = np.arange(len(ends)) - np.repeat(first, np.diff(np.append(first, len(ends))))
    least = np.zeros(int(ends.max()) + 1, dtype=counts.dtype)
    last = rank == KIN_PARTNERS - 1
    least[ends[last]] = counts[last]
    kept = (count >= least[a]) & (count >= least[b])
    return a[kept], b[kept]


def _cause_and_effect(rare: Any, a: Any, b: Any) -> Any:
    """Which pairs of roots share a rare cause and a rare effect."""
    import numpy as np

    # A shared column's sign is its side: the product of the two rows keeps it, squared to 1, and the first row's
    # sign gives it back.
    shared = rare[a].multiply(rare[b]).multiply(rare[a])
    return (np.asarray((shared > 0).sum(axis=1)).ravel() > 0) & (np.asarray((shared < 0).sum(axis=1)).ravel() > 0)


def _best_alike(groups: Groups, members: Any, a: Any, b: Any, alike: Callable[[Any, Any], Any]) -> Any:
    """For each pair of roots, the best score of `alike` over the pairs of their members (-1: none)."""
    import numpy as np

    best = np.full(len(a), -1.0)
    if not len(a) or not len(members):
        return best
    roots = groups.roots_of(members)
    order = np.argsort(roots, kind="stable")
    roots, members = roots[order], members[order]
    start_a, start_b = np.searchsorted(roots, a), np.searchsorted(roots, b)
    size_a = np.searchsorted(roots, a, side="right") - start_a
    size_b = np.searchsorted(roots, b, side="right") - start_b
    total = size_a * size_b
    if not total.any():
        return best
    bounds = np.searchsorted(np.cumsum(total), np.arange(0, int(total.sum()), PAIRS_AT_ONCE), side="right")
    for begin, end in zip(bounds.tolist(), [*bounds[1:].tolist(), len(a)], strict=True):
        pair = np.repeat(np.arange(begin, end), total[begin:end])
        if not len(pair):
            continue
        offset = np.arange(len(pair)) - np.repeat(np.cumsum(total[begin:end]) - total[begin:end], total[begin:end])
        first = members[start_a[pair] + offset // size_b[pair]]
        second = members[start_b[pair] + offset % size_b[pair]]
        np.maximum.at(best, pair, np.round(np.asarray(alike(first, second), dtype=np.float64), 6))
    return best


def _chosen(
    groups: Groups,
    sources: Any,
    targets: Any,
    fixed: tuple[Any, Any],
    first: Any,
    second: Any,
    score: Any,
    low: float,
    agreement: float,
) -> tuple[Any, Any, Any]:
    """The pairs of roots to join this round: (first, second, mean linkage)."""
    import numpy as np

    a, b = groups.roots_of(first), groups.roots_of(second)
    apart = a != b
    a, b, score = np.minimum(a[apart], b[apart]), np.maximum(a[apart], b[apart]), score[apart]
    empty = np.zeros(0, dtype=np.int64)
    if not len(a):
        return empty, empty, np.zeros(0)
    packed, inverse = np.unique((a << 32) | b, return_inverse=True)
    totals = np.bincount(inverse.ravel(), weights=score)
    a, b = packed >> 32, packed & 0xFFFFFFFF
    size = np.frombuffer(groups.size, dtype=np.int64)
    # Rounded, as sums made in another order (of another input order) differ in their last bits.
    linkage = np.round(totals / np.maximum(size[a] * size[b], 1), 6)
    near = linkage >= low
    a, b, linkage = a[near], b[near], linkage[near]
    if not len(a):
        return empty, empty, np.zeros(0)

    found = _neighbourhood(groups, sources, targets, fixed)
    joined = _among((a << 32) | b, found.linked)
    if joined.any():
        groups.refused[RELATION] = groups.refused.get(RELATION, 0) + int(joined.sum())
        a, b, linkage = a[~joined], b[~joined], linkage[~joined]
    if found.matrix is None:
        return empty, empty, np.zeros(0)
    own, neighbourhood = found.own, found.matrix
    related = (own[a] > 0) & (own[b] > 0)
    a, b, linkage = a[related], b[related], linkage[related]
    share = np.round(pair_scores(neighbourhood, a, b) / np.minimum(own[a], own[b]), 6)
    agreed = share >= agreement
    a, b, linkage, share = a[agreed], b[agreed], linkage[agreed], share[agreed]
    allowed = np.asarray(
        [groups.why_not(one, two) is None for one, two in zip(a.tolist(), b.tolist(), strict=True)], dtype=bool
    )
    if not allowed.any():
        return empty, empty, np.zeros(0)
    a, b, linkage, share = a[allowed], b[allowed], linkage[allowed], share[allowed]
    return _mutual_best(a, b, share, linkage)


@dataclass
class _Neighbourhood:
    """Each root's neighbours: a column for each (side, neighbour root), then one for each outside event."""

    matrix: Any
    """Roots by columns, each neighbour weighted by how rare it is: a row holds the weights' square roots, so that
    the product of two rows is the weight of what they share; None where no root has a neighbour."""
    own: Any
    """The weight of each root's neighbours."""
    rows: Any
    columns: Any
    """The (root, column) of each distinct arc."""
    effect: Any
    """For each column, whether its neighbour is an effect of the roots it holds (else a cause)."""
    linked: Any
    """The pairs of roots that a relation joins, packed and sorted: a cause is not its own effect."""


def _neighbourhood(groups: Groups, sources: Any, targets: Any, fixed: tuple[Any, Any]) -> _Neighbourhood:
    import numpy as np
    from scipy import sparse

    cause, effect = groups.roots_of(sources), groups.roots_of(targets)
    other = cause != effect
    cause, effect = cause[other], effect[other]
    linked = _distinct((np.minimum(cause, effect) << 32) | np.maximum(cause, effect))
    items = len(groups)
    rows = np.concatenate([cause, effect, groups.roots_of(fixed[0])])
    columns = np.concatenate([effect, cause + items, fixed[1]])
    if not len(rows):
        empty = np.zeros(0, dtype=np.int64)
        return _Neighbourhood(None, np.zeros(items), empty, empty, np.zeros(0, dtype=bool), linked)
    arcs = _distinct((rows << 32) | columns)
    rows = arcs >> 32
    values, column = np.unique(arcs & 0xFFFFFFFF, return_inverse=True)
    # A root's effects come first, then its causes, then the outside events, whose last bit says the root causes them.
    effect = (values < items) | ((values >= 2 * items) & ((values - 2 * items) & 1 == 1))
    column = column.ravel()
    weight = 1.0 / np.log2(1.0 + np.bincount(column))
    own = np.bincount(rows, weights=weight[column], minlength=items)
    matrix = sparse.csr_matrix(
        (np.sqrt(weight[column]).astype(np.float32), (rows, column)), shape=(items, int(column.max()) + 1)
    )
    return _Neighbourhood(matrix, own, rows, column, effect, linked)


def _mutual_best(a: Any, b: Any, share: Any, linkage: Any, between: Any = None) -> tuple[Any, Any, Any]:
    """The pairs whose two roots are each the other's one best, by agreement, then by `between` where given (how
    much of each one's neighbours the other shares), then by linkage."""
    import numpy as np

    if not len(a):
        return a, b, linkage
    between = np.zeros(len(a)) if between is None else between
    ends, partner = np.concatenate([a, b]), np.concatenate([b, a])
    shares, linkages = np.concatenate([share, share]), np.concatenate([linkage, linkage])
    betweens = np.concatenate([between, between])
    order = np.lexsort((-linkages, -betweens, -shares, ends))
    ends, partner, shares, linkages = ends[order], partner[order], shares[order], linkages[order]
    betweens = betweens[order]
    first = np.concatenate([[True], ends[1:] != ends[:-1]])
    # A root whose best two are as good is torn between them: it joins neither.
    tied = np.zeros(len(ends), dtype=bool)
    tied[:-1] = (
        first[:-1]
        & ~first[1:]
        & (shares[:-1] == shares[1:])
        & (betweens[:-1] == betweens[1:])
        & (linkages[:-1] == linkages[1:])
    )
    best = dict(zip(ends[first].tolist(), np.where(tied[first], -1, partner[first]).tolist(), strict=True))
    mutual = np.asarray(
        [best[one] == two and best[two] == one for one, two in zip(a.tolist(), b.tolist(), strict=True)], dtype=bool
    )
    return a[mutual], b[mutual], linkage[mutual]


def _distinct(values: Any) -> Any:
    """The distinct values, sorted (by a sort: numpy's hashing is slower on millions)."""
    import numpy as np

    values = np.sort(values)
    return values[np.concatenate([[True], values[1:] != values[:-1]])] if len(values) else values


def _among(values: Any, distinct: Any) -> Any:
    """Which values are among the sorted `distinct` ones."""
    import numpy as np

    if not len(distinct):
        return np.zeros(len(values), dtype=bool)
    place = np.minimum(np.searchsorted(distinct, values), len(distinct) - 1)
    return distinct[place] == values
