"""The corpus's event graph as counts: what a group of part files holds, keyed by event names, and the merge of two.

Counts are compact (columns of machine integers, one dictionary entry per node and per edge) so that they travel
between Dask workers cheaply and the merged graph grows with the number of events and edges, not of articles.
Nodes and edges stand in order of first appearance: counts of earlier part files merged with those of later ones
keep that order, so the ids do not depend on how the files were grouped.

Strengths are summed exactly, as integers in units of 2**-scale (every finite double is such a multiple): a mean
is the correctly rounded quotient of the exact sum and the count, the same for any grouping or merge order.
"""

from __future__ import annotations

import copy
import hashlib
import json
import math
from array import array
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .. import output
from ..events.names import event_key, trimmed_spelling
from ..exits import GraphInputError, UsageError
from ..inputs import date_problem, describe, id_key

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    Digests = npt.NDArray[np.uint64]
else:
    Digests = Any

# Node indices are packed into one integer per edge.
_INDEX_BITS = 32

EXCERPT_LENGTH = 120
"""The characters of an article's text that the graph keeps: what its page shows of it."""


class Conflict(GraphInputError):
    """Counts of two groups of part files that cannot be merged: an id in both, lines of two modes."""


class Tally:
    """How often each word (a relation label, a force word) was seen on each edge.

    Most edges carry one word only, so that one is kept in two columns; an edge with a second word gets a
    dictionary of its own.
    """

    __slots__ = ("mixed", "single", "single_count", "words")

    def __init__(self) -> None:
        self.words: dict[str, int] = {}
        """The vocabulary, by first appearance."""
        self.single = array("q")
        """The one word of each edge, -1 before any."""
        self.single_count = array("q")
        self.mixed: dict[int, dict[int, int]] = {}

    def copy(self) -> Tally:
        other = Tally()
        other.words = self.words.copy()
        other.single = self.single[:]
        other.single_count = self.single_count[:]
        other.mixed = {edge: dict(words) for edge, words in self.mixed.items()}
        return other

    def word(self, text: str) -> int:
        return self.words.setdefault(text, len(self.words))

    def grow(self) -> None:
        self.single.append(-1)
        self.single_count.append(0)

    def add(self, edge: int, word: int, times: int = 1) -> None:
        mixed = self.mixed.get(edge)
        if mixed is not None:
            mixed[word] = mixed.get(word, 0) + times
        elif self.single[edge] in (word, -1):
            self.single[edge] = word
            self.single_count[edge] += times
        else:
            self.mixed[edge] = {self.single[edge]: self.single_count[edge], word: times}

    def items(self, edge: int) -> Iterable[tuple[int, int]]:
        mixed = self.mixed.get(edge)
        if mixed is not None:
            return mixed.items()
        return ((self.single[edge], self.single_count[edge]),) if self.single[edge] >= 0 else ()

    def sightings(self) -> tuple[Any, Any, Any]:
        """Every (edge, word, times) of the tally, as three arrays."""
        import numpy as np

        single = np.frombuffer(self.single, dtype=np.int64)
        keep = single >= 0
        keep[list(self.mixed)] = False
        edges, words, times = [np.nonzero(keep)[0]], [single[keep]], [np.frombuffer(self.single_count, np.int64)[keep]]
        for edge, counted in self.mixed.items():
            edges.append(np.full(len(counted), edge, dtype=np.int64))
            words.append(np.fromiter(counted, dtype=np.int64, count=len(counted)))
            times.append(np.fromiter(counted.values(), dtype=np.int64, count=len(counted)))
        return np.concatenate(edges), np.concatenate(words), np.concatenate(times)

    @classmethod
    def of(cls, words: dict[str, int], edges: Any, said: Any, times: Any, size: int) -> Tally:
        """The tally of `size` edges over the vocabulary `words`, from sightings as `sightings` gives them (arrays,
        in any order, an (edge, word) pair any number of times)."""
        import numpy as np

        tally = cls()
        tally.words = dict(words)
        single = np.full(size, -1, dtype=np.int64)
        single_count = np.zeros(size, dtype=np.int64)
        if len(edges):
            pairs, inverse = np.unique(edges << 32 | said, return_inverse=True)
            totals = np.zeros(len(pairs), dtype=np.int64)
            np.add.at(totals, inverse.ravel(), times)
            on, word = pairs >> 32, pairs & 0xFFFFFFFF
            alone = np.bincount(on, minlength=size)[on] == 1
            single[on[alone]] = word[alone]
            single_count[on[alone]] = totals[alone]
            for edge, each, total in zip(
                on[~alone].tolist(), word[~alone].tolist(), totals[~alone].tolist(), strict=True
            ):
                tally.mixed.setdefault(edge, {})[each] = total
        tally.single = array("q", single.tobytes())
        tally.single_count = array("q", single_count.tobytes())
        return tally

    def json_texts(self) -> Iterator[str]:
        """Each edge's words with their counts as a JSON object, the most frequent first (ties: the first seen)."""
        quoted = [json.dumps(text, ensure_ascii=False) for text in self.words]
        for edge, word in enumerate(self.single):
            mixed = self.mixed.get(edge)
            if mixed is not None:
                ranked = sorted(mixed.items(), key=lambda item: (-item[1], item[0]))
                yield "{" + ", ".join(f"{quoted[each]}: {times}" for each, times in ranked) + "}"
            else:
                yield "{}" if word < 0 else f"{{{quoted[word]}: {self.single_count[edge]}}}"


class Counts:
    """The event graph of some part files: nodes by event key, edges by (source, target), with their counts."""

    def __init__(self) -> None:
        self.mode: str | None = None
        """"articles" or "causara": the run whose "ok" lines were read (none before the first)."""
        self.mode_place = ""
        """Where the first "ok" line is, for a message about a line of another mode."""
        self.part_files = 0
        self.articles = 0
        """"ok" lines read."""
        self.failed = 0
        """"failed" lines, which have no relations to give."""
        self.relations = 0
        self.unnamed = 0
        """Relations left out because an end has no name once trimmed."""
        self.ids: Digests = _no_digests()
        """A digest of every id read, sorted, to find an id in two groups of part files."""

        self.keys: dict[str, int] = {}
        """Node index by event key, in order of first appearance."""
        self.names: list[str] = []
        self.node_articles = array("q")
        self.node_relations = array("q")

        self.edge_of: dict[int, int] = {}
        """Edge index by source and target index packed into one integer (made when first needed, where a collapse
        left it out)."""
        self.sources = array("q")
        self.targets = array("q")
        self.count = array("q")
        self.edge_articles = array("q")
        self.strength_max = array("d")
        self.strength_sum: list[int] = []
        """Exact sums in units of 2**-scale."""
        self.scale = 0
        self.labels = Tally()
        self.forces = Tally()

        self.article_ids: list[str] = []
        """The id key of each "ok" line read, in order: an edge's sources."""
        self.article_dates: list[str] = []
        """Each article's date (YYYY-MM-DD), empty where its line had none."""
        self.article_texts: list[str] = []
        """The first characters of each article's text, empty where the run kept none (`--keep-text`)."""
        self.article_force = array("q")
        """Each article's force word (an index of `forces.words`), -1 for none."""
        self.pair_edge = array("q")
        self.pair_article = array("q")
        """(edge, article): each article an edge came from, once."""
        self.variants: dict[int, dict[str, int]] = {}
        """Spellings of a node's key other than its name (Ａ股 and A股), with the relations that wrote them; the
        name has the node's other relations (a loop counts its source's spelling)."""
        self.aliases: list[dict[str, int]] | None = None
        """Each node's surface forms with their mentions, once the names of one event are merged; None: each
        node's one name."""

    # Reading part files

    def read(self, paths: Sequence[str]) -> None:
        """Count these part files, in this order; an id seen twice among them, or a line that is not an "ok" or
        "failed" line of an articles or causara run, is refused."""
        seen: dict[str, tuple[int, int]] = {}
        spellings: dict[str, tuple[str, str]] = {}
        for file_index, path in enumerate(paths):
            self.part_files += 1
            for number, entry in output.entries(Path(path)):
                key = id_key(entry["id"])
                if key in seen:
                    first_file, first_line = seen[key]
                    raise GraphInputError(f"{path}:{number}: id {key} is also at {paths[first_file]}:{first_line}")
                seen[key] = (file_index, number)
                if entry["status"] == "ok":
                    self._read_line(entry, key, f"{path}:{number}", spellings)
                else:
                    self.failed += 1
        self.ids = _union(self.ids, id_digests(seen))

    def _read_line(self, entry: dict[str, Any], key: str, place: str, spellings: dict[str, tuple[str, str]]) -> None:
        if "result" not in entry:
            raise GraphInputError(f'{place}: an "ok" line without "result"')
        mode, relations, force = result_of(entry["result"], place)
        date = entry.get("date")
        if date is not None:
            problem = date_problem(date)
            if problem:
                raise GraphInputError(f"{place}: {problem}")
        text = entry.get("text")
        if text is not None and not isinstance(text, str):
            raise GraphInputError(f'{place}: "text" must be a string, not {describe(text)}')
        text = text[:EXCERPT_LENGTH] if text else ""
        if self.mode is None:
            self.mode, self.mode_place = mode, place
        elif mode != self.mode:
            raise GraphInputError(modes_differ(place, mode, self.mode_place, self.mode))
        self.articles += 1
        force_word = None if force is None else self.forces.word(_text(force, f'{place}: "result.force"'))
        nodes: set[int] = set()
        edges: set[int] = set()
        for index, relation in enumerate(relations):
            strength, label = _relation_values(relation, place, index)
            ends = []
            for end in ("source", "target"):
                name = relation[end]
                known = spellings.get(name) if isinstance(name, str) else None
                if known is None:
                    known = _spelling(name, f"{place}: relation {index}: {end!r}")
                    if isinstance(name, str):
                        spellings[name] = known
                ends.append(known)
            self.relations += 1
            (source_key, source_name), (target_key, target_name) = ends
            if not source_key or not target_key:
                self.unnamed += 1
                continue
            source, target = self._node(source_key, source_name), self._node(target_key, target_name)
            self.node_relations[source] += 1
            if source_name != self.names[source]:
                self._variant(source, source_name, 1)
            if target != source:
                self.node_relations[target] += 1
                if target_name != self.names[target]:
                    self._variant(target, target_name, 1)
            edge = self._edge(source, target)
            self.count[edge] += 1
            self._add_strength(edge, strength)
            self.labels.add(edge, self.labels.word(_text(label, f"{place}: relation {index}: 'rel'")))
            nodes.update((source, target))
            edges.add(edge)
        article = len(self.article_ids)
        self.article_ids.append(key)
        self.article_dates.append(date[:10] if date else "")
        self.article_texts.append(text)
        self.article_force.append(-1 if force_word is None else force_word)
        for node in nodes:
            self.node_articles[node] += 1
        for edge in sorted(edges):
            self.edge_articles[edge] += 1
            self.pair_edge.append(edge)
            self.pair_article.append(article)
            if force_word is not None:
                self.forces.add(edge, force_word)

    def _node(self, key: str, name: str) -> int:
        node = self.keys.get(key)
        if node is None:
            node = self.keys[key] = len(self.names)
            self.names.append(name)
            self.node_articles.append(0)
            self.node_relations.append(0)
        return node

    def _variant(self, node: int, spelling: str, times: int) -> None:
        spellings = self.variants.setdefault(node, {})
        spellings[spelling] = spellings.get(spelling, 0) + times

    def spellings(self, node: int) -> dict[str, int]:
        """Every spelling of the node's key with its relations, the name first."""
        variants = self.variants.get(node, {})
        return {self.names[node]: self.node_relations[node] - sum(variants.values()), **variants}

    def _edge(self, source: int, target: int) -> int:
        packed = source << _INDEX_BITS | target
        edge = self.edge_of.get(packed)
        if edge is None and len(self.edge_of) < len(self.sources):
            # Counts made by a collapse leave the index to be made where it is needed.
            ends = zip(self.sources, self.targets, strict=True)
            self.edge_of = {s << _INDEX_BITS | t: number for number, (s, t) in enumerate(ends)}
            edge = self.edge_of.get(packed)
        if edge is None:
            edge = self.edge_of[packed] = len(self.sources)
            self.sources.append(source)
            self.targets.append(target)
            self.count.append(0)
            self.edge_articles.append(0)
            self.strength_max.append(-math.inf)
            self.strength_sum.append(0)
            self.labels.grow()
            self.forces.grow()
        return edge

    def _add_strength(self, edge: int, value: float) -> None:
        numerator, denominator = value.as_integer_ratio()
        exponent = denominator.bit_length() - 1
        if exponent > self.scale:
            self._rescale(exponent)
        self.strength_sum[edge] += numerator << (self.scale - exponent)
        self.strength_max[edge] = max(self.strength_max[edge], value)

    def _rescale(self, scale: int) -> None:
        shift = scale - self.scale
        self.strength_sum = [total << shift for total in self.strength_sum]
        self.scale = scale

    # Merging

    def copy(self) -> Counts:
        other = Counts()
        for name, value in vars(self).items():
            setattr(other, name, value.copy() if isinstance(value, Tally) else copy.copy(value))
        # A node's spellings are added to in place.
        other.variants = {node: dict(spellings) for node, spellings in self.variants.items()}
        return other

    def absorb(self, later: Counts) -> None:
        """Add the counts of part files that come after these."""
        if later.mode is not None:
            if self.mode is None:
                self.mode, self.mode_place = later.mode, later.mode_place
            elif later.mode != self.mode:
                raise Conflict(modes_differ(later.mode_place, later.mode, self.mode_place, self.mode))
        self.ids, repeated = _union_checked(self.ids, later.ids)
        if repeated:
            raise Conflict(f"{repeated} ids are each in two part files")
        self.part_files += later.part_files
        self.articles += later.articles
        self.failed += later.failed
        self.relations += later.relations
        self.unnamed += later.unnamed

        node_of = [self._node(key, later.names[index]) for key, index in later.keys.items()]
        for index, node in enumerate(node_of):
            self.node_articles[node] += later.node_articles[index]
            self.node_relations[node] += later.node_relations[index]
            variants = later.variants.get(index)
            if variants is None and later.names[index] == self.names[node]:
                continue
            spelled = dict(variants or {})
            spelled[later.names[index]] = later.node_relations[index] - sum(spelled.values())
            for spelling, times in spelled.items():
                if spelling != self.names[node] and times:
                    self._variant(node, spelling, times)

        if later.scale > self.scale:
            self._rescale(later.scale)
        shift = self.scale - later.scale
        labels = [self.labels.word(text) for text in later.labels.words]
        forces = [self.forces.word(text) for text in later.forces.words]
        edge_of = array("q")
        for index in range(len(later.sources)):
            edge = self._edge(node_of[later.sources[index]], node_of[later.targets[index]])
            edge_of.append(edge)
            self.count[edge] += later.count[index]
            self.edge_articles[edge] += later.edge_articles[index]
            self.strength_sum[edge] += later.strength_sum[index] << shift
            self.strength_max[edge] = max(self.strength_max[edge], later.strength_max[index])
            for word, times in later.labels.items(index):
                self.labels.add(edge, labels[word], times)
            for word, times in later.forces.items(index):
                self.forces.add(edge, forces[word], times)
        offset = len(self.article_ids)
        self.article_ids.extend(later.article_ids)
        self.article_dates.extend(later.article_dates)
        self.article_texts.extend(later.article_texts)
        self.article_force.extend(-1 if word < 0 else forces[word] for word in later.article_force)
        self.pair_edge.extend(edge_of[edge] for edge in later.pair_edge)
        self.pair_article.extend(article + offset for article in later.pair_article)

    # Reading the graph

    def node_aliases(self, node: int) -> dict[str, int]:
        """The node's surface forms with their mentions, the most frequent first."""
        if self.aliases is not None:
            return self.aliases[node]
        if node not in self.variants:
            return {self.names[node]: self.node_relations[node]}
        spellings = self.spellings(node)
        return dict(sorted(spellings.items(), key=lambda item: -item[1])) if len(spellings) > 1 else spellings

    def strength_mean(self, edge: int) -> float:
        return self.strength_sum[edge] / (self.count[edge] << self.scale)

    def degrees(self) -> tuple[array[int], array[int]]:
        """Edges in and out of each node, as networkx counts them (a loop is one of each)."""
        into, out = array("q", bytes(8 * len(self.names))), array("q", bytes(8 * len(self.names)))
        for source, target in zip(self.sources, self.targets, strict=True):
            out[source] += 1
            into[target] += 1
        return into, out

    def components(self) -> Iterator[tuple[int, int]]:
        """(events, edges) of each weakly connected component."""
        parent = list(range(len(self.names)))

        def root(node: int) -> int:
            while parent[node] != node:
                parent[node] = parent[parent[node]]
                node = parent[node]
            return node

        for source, target in zip(self.sources, self.targets, strict=True):
            a, b = root(source), root(target)
            if a != b:
                parent[max(a, b)] = min(a, b)
        events: dict[int, int] = {}
        edges: dict[int, int] = {}
        for node in range(len(self.names)):
            top = root(node)
            events[top] = events.get(top, 0) + 1
        for source in self.sources:
            top = root(source)
            edges[top] = edges.get(top, 0) + 1
        for top, size in events.items():
            yield size, edges.get(top, 0)


@dataclass(frozen=True)
class Problem:
    """Why a group's counts were given up: returned rather than raised, so that the first problem in file order
    is the one reported (a merge keeps the earlier group's) and workers do not log it as their own failure."""

    message: str
    conflict: bool = False
    """Between two groups' counts: which line is the first to conflict, a pass over the files tells."""


def count_part_files(paths: Sequence[str]) -> Counts | Problem:
    """The counts of these part files (a Dask task)."""
    counts = Counts()
    try:
        counts.read(paths)
    except UsageError as error:  # a line the graph refuses, or a part file that is not one
        return Problem(str(error))
    return counts


def merged(earlier: Counts | Problem, later: Counts | Problem) -> Counts | Problem:
    """The counts of both, earlier's part files first (a Dask task: the inputs, which Dask may hold for another
    task, are left as they were)."""
    if isinstance(earlier, Problem):
        return earlier
    if isinstance(later, Problem):
        return later
    result = earlier.copy()
    try:
        result.absorb(later)
    except Conflict as error:
        return Problem(str(error), conflict=True)
    return result


def without_ids(counts: Counts | Problem) -> Counts | Problem:
    """The counts without their ids, which take 16 bytes an article (a Dask task: its input is left as it was)."""
    if isinstance(counts, Problem):
        return counts
    result = copy.copy(counts)
    result.ids = _no_digests()
    return result


def result_of(result: Any, place: str) -> tuple[str, list[Any], Any]:
    """The mode of the line, its relations and its force word (none in causara mode)."""
    if isinstance(result, list):
        return "causara", result, None
    if isinstance(result, dict) and "relations" in result:
        relations = result["relations"]
        if not isinstance(relations, list):
            raise GraphInputError(f'{place}: "result.relations" must be a list, not {describe(relations)}')
        if "force" not in result:
            raise GraphInputError(f'{place}: an articles line without "result.force"')
        return "articles", relations, result["force"]
    if isinstance(result, dict) and "related" in result:
        other = "linqor"
    elif isinstance(result, str):
        other = "force"
    else:
        raise GraphInputError(f"{place}: not the result of an articles or a causara run but {describe(result)}")
    raise GraphInputError(f"{place}: a line of a {other} run: the graph is built from an articles or a causara run")


def modes_differ(place: str, mode: str, first_place: str, first_mode: str) -> str:
    def run(name: str) -> str:
        return f"{'an' if name == 'articles' else 'a'} {name} run"

    return (
        f"{place}: a line of {run(mode)}, while {first_place} is a line of {run(first_mode)}: the graph is built "
        "from the output of one run"
    )


def _relation_values(relation: Any, place: str, index: int) -> tuple[float, Any]:
    if not isinstance(relation, dict):
        raise GraphInputError(f"{place}: relation {index} is not an object but {describe(relation)}")
    for key in ("source", "target", "rel", "strength"):
        if key not in relation:
            raise GraphInputError(f"{place}: relation {index} has no {key!r}")
    strength = relation["strength"]
    value = math.nan
    if isinstance(strength, (int, float)) and not isinstance(strength, bool):
        try:
            value = float(strength)
        except OverflowError:  # an integer beyond every double
            value = math.inf
    if not math.isfinite(value):
        raise GraphInputError(
            f"{place}: relation {index}: 'strength' must be a finite number, not {describe(strength)}"
        )
    return value, relation["rel"]


def _spelling(name: Any, where: str) -> tuple[str, str]:
    """(event key, the name to show) of an end of a relation; a name that is not text is taken by its text form,
    as the event graph of each article takes it, and null is no name."""
    if name is None:
        return "", ""
    text = _text(name if isinstance(name, str) else str(name), where)
    return event_key(text), trimmed_spelling(text)


def _text(value: Any, where: str) -> str:
    if not isinstance(value, str):
        raise GraphInputError(f"{where} must be a string, not {describe(value)}")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        # JSON can spell half a surrogate pair; no file of the graph could hold it.
        raise GraphInputError(f"{where} holds a lone surrogate (\\u{ord(value[_surrogate(value)]):04x})") from None
    return value


def _surrogate(text: str) -> int:
    return next(index for index, character in enumerate(text) if 0xD800 <= ord(character) < 0xE000)


def id_digests(keys: Iterable[str]) -> Digests:
    """128-bit digests of id keys, sorted: equal ids meet, and 10**9 distinct ones would collide with a chance
    below 10**-20."""
    import numpy as np

    raw = b"".join(hashlib.blake2b(key.encode("utf-8", "surrogatepass"), digest_size=16).digest() for key in keys)
    digests = np.frombuffer(raw, dtype=">u8").astype(np.uint64).reshape(-1, 2)
    return digests[np.lexsort((digests[:, 1], digests[:, 0]))]


def _no_digests() -> Digests:
    import numpy as np

    return np.empty((0, 2), dtype=np.uint64)


def _union(first: Digests, second: Digests) -> Digests:
    return _union_checked(first, second)[0]


def _union_checked(first: Digests, second: Digests) -> tuple[Digests, int]:
    """Both digest sets as one, and how many digests are in both."""
    import numpy as np

    both = np.concatenate([first, second])
    both = both[np.lexsort((both[:, 1], both[:, 0]))]
    repeated = int(np.count_nonzero(np.all(both[1:] == both[:-1], axis=1))) if len(both) > 1 else 0
    return both, repeated
