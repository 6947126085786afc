"""GRAPH_DIR: the merged graph as GraphML, node-link JSON, Parquet (with pyarrow) and a summary, written whole.

The files are written into a temporary directory beside GRAPH_DIR, which is then renamed to it. An existing
GRAPH_DIR is replaced only when it is empty, or when an earlier run of this command wrote it (its summary.json says
so) and it holds none but this command's files; anything else is refused before the merge starts, so no one's
files are deleted.

The graph is written at one level (`--level`): its events, or their classes. Its nodes come first, numbered 1, 2, ...;
the other level's nodes follow, each joined to the graph only by an is-a edge from an event to its class. Every node
says its `kind` ("event" or "class"), every edge its `type` ("relation" or "is_a"), and the graph its `level`; every
node carries the id of its class as `class` (an event's class; a class's own, its node id at the class level), and a
class how many `events` it has.
In Parquet, nodes.parquet holds the level's nodes and classes.parquet (or events.parquet) the other level's, with
the same ids and columns, and edges.parquet the relations alone.

GraphML values are scalars, so an edge's relation labels and force words and a node's aliases (each an object from
text to count, the most frequent first) are JSON text there and in Parquet, and objects in the JSON. GraphML and
the JSON also carry each node's name as `label` and each edge's count as `weight`, the attribute names that Gephi
and networkx's weighted algorithms read.

An edge lists the ids of the articles it came from (`article_ids`): all of them in the JSON and Parquet, the first
`GRAPHML_IDS` in GraphML (its `articles` gives how many there are). It carries P(target | source) as `probability`
and its `lift`; when the articles had dates, `first_seen`, `last_seen` and `months` (articles by "YYYY-MM").
aliases.parquet and aliases.csv map every surface form to its event, with the tier and score that decided.
"""

from __future__ import annotations

import csv
import functools
import heapq
import json
import os
import re
import shutil
import uuid
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeVar

from ..events import NodeKind
from ..events.names import SENTENCE_PUNCTUATION
from ..exits import GraphInputError
from ..output import sync_directory as _sync
from .collapse import Alias, EdgeSources, Hierarchy, edge_figures
from .counts import Counts
from .kinds import IS_A, RELATION
from .page import LICENSE_FILE, PAGE, EdgeKeeper, PageLevel, chosen_nodes

FORMAT = "kestor-corpus event graph, version 1"
SUMMARY = "summary.json"
ALIASES = "aliases.csv"
FILES = (
    "graph.graphml",
    "graph.json",
    "nodes.parquet",
    "edges.parquet",
    "classes.parquet",
    "events.parquet",
    "aliases.parquet",
    ALIASES,
    SUMMARY,
    "top-events.png",
    PAGE,
    LICENSE_FILE,
)
GRAPHML_IDS = 100
"""Article ids an edge lists in GraphML: what a reader's table can show; the JSON and Parquet list them all."""
TOP_EVENTS_IN_SUMMARY = 20
NAME_RULE = f"Unicode NFKC, then whitespace and {' '.join(SENTENCE_PUNCTUATION)} trimmed from both ends"

T = TypeVar("T")

# Characters XML 1.0 cannot carry at all (surrogates never reach here: reading refuses them).
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")
_XML_ESCAPES = {"&": "&amp;", "<": "&lt;", ">": "&gt;", "\r": "&#13;"}
_XML_SPECIAL = re.compile("[&<>\r]")
_XML_ANY = re.compile("[&<>\r\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")

NODE_KEYS = (
    ("name", "string"),
    ("label", "string"),
    ("articles", "long"),
    ("relations", "long"),
    ("aliases", "string"),
    ("kind", "string"),
    ("class", "long"),
    ("events", "long"),
)
EDGE_KEYS = (
    ("count", "long"),
    ("weight", "long"),
    ("articles", "long"),
    ("strength_mean", "double"),
    ("strength_max", "double"),
    ("labels", "string"),
    ("forces", "string"),
    ("article_ids", "string"),
    ("probability", "double"),
    ("lift", "double"),
)
DATE_KEYS = (("first_seen", "string"), ("last_seen", "string"), ("months", "string"))
TYPE_KEY = (("type", "string"),)


def check_replaceable(graph_dir: str | os.PathLike[str]) -> None:
    """Refuse a GRAPH_DIR that holds anything this command did not write."""
    target = Path(graph_dir)
    if target.is_symlink() or (target.exists() and not target.is_dir()):
        raise GraphInputError(f"{target}: exists and is not a directory; choose another --output")
    if not target.is_dir():
        return
    names = sorted(path.name for path in target.iterdir())
    foreign = [name for name in names if name not in FILES] if _written_here(target) else names
    if foreign:
        shown = ", ".join(foreign[:5]) + (", ..." if len(foreign) > 5 else "")
        raise GraphInputError(
            f"{target}: exists and holds files that kestor-corpus graph did not write ({shown}); choose another "
            "--output or move them"
        )


def _written_here(directory: Path) -> bool:
    try:
        summary = json.loads((directory / SUMMARY).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return False
    return isinstance(summary, dict) and summary.get("format") == FORMAT


def write_whole(graph_dir: str | os.PathLike[str], fill: Callable[[Path], T]) -> T:
    """Have `fill` write the files into a new directory, which then replaces GRAPH_DIR at once."""
    target = Path(graph_dir)
    check_replaceable(target)
    target.parent.mkdir(parents=True, exist_ok=True)
    mark = f"{os.getpid()}-{uuid.uuid4().hex[:12]}"
    temporary = target.with_name(f".{target.name}.tmp-{mark}")
    temporary.mkdir()
    try:
        result = fill(temporary)
        # fsync through a read-only descriptor, as the part files' directory is: it serves files too.
        for path in [*temporary.iterdir(), temporary]:
            _sync(path)
        if target.exists():
            # A directory cannot be renamed over one that holds files: the old one steps aside first.
            aside = target.with_name(f".{target.name}.old-{mark}")
            os.rename(target, aside)
            try:
                os.rename(temporary, target)
            except BaseException:
                os.rename(aside, target)
                raise
            shutil.rmtree(aside, ignore_errors=True)
        else:
            os.rename(temporary, target)
        _sync(target.parent)
    except BaseException:
        shutil.rmtree(temporary, ignore_errors=True)
        raise
    return result


# Every format is written a line at a time from the counts' columns: a graph of a million edges needs no record
# objects for all of them at once.


@dataclass(frozen=True)
class NodeRow:
    id: int
    name: str
    articles: int
    relations: int
    aliases: str
    """JSON text."""
    kind: NodeKind
    class_id: int
    """An event's class, a class's own: its id at the class level."""
    events: int | None
    """A class's events; none for an event."""


def _nodes(graph: Hierarchy, level: NodeKind) -> Iterator[NodeRow]:
    """The level's nodes, then the other level's."""
    yield from _rows(graph, level, 1)
    yield from _rows(graph, level.other, len(graph.at(level).names) + 1)


def _rows(graph: Hierarchy, kind: NodeKind, first: int) -> Iterator[NodeRow]:
    """The nodes of one kind, numbered from `first`."""
    counts = graph.at(kind)
    event = kind is NodeKind.EVENT
    sizes = [] if event else graph.sizes()
    for index, name in enumerate(counts.names):
        yield NodeRow(
            first + index,
            name,
            counts.node_articles[index],
            counts.node_relations[index],
            json.dumps(counts.node_aliases(index), ensure_ascii=False),
            kind,
            (graph.class_of[index] if event else index) + 1,
            None if event else sizes[index],
        )


def _is_a(graph: Hierarchy, level: NodeKind) -> Iterator[tuple[int, int]]:
    """(event, class) by node id: each event's is-a edge to its class."""
    event_first, class_first = (1, len(graph.events.names) + 1)
    if level is NodeKind.CLASS:
        event_first, class_first = len(graph.classes.names) + 1, 1
    for event, group in enumerate(graph.class_of):
        yield event_first + event, class_first + group


@dataclass(frozen=True)
class EdgeRow:
    source: int
    target: int
    count: int
    articles: int
    strength_mean: float
    strength_max: float
    labels: str
    """JSON text, as are forces and months."""
    forces: str
    article_ids: list[str]
    probability: float
    lift: float
    first_seen: str | None
    last_seen: str | None
    months: str


def _edges(counts: Counts, wanted: Callable[[int, int], bool] | None = None) -> Iterator[EdgeRow]:
    """Every edge, or those whose source and target (node ids) are `wanted`."""
    sources = EdgeSources.of(counts)
    dated = sources.dated()
    probability, lift = edge_figures(counts)
    for index, labels, forces in zip(
        range(len(counts.sources)), counts.labels.json_texts(), counts.forces.json_texts(), strict=True
    ):
        if wanted is not None and not wanted(counts.sources[index] + 1, counts.targets[index] + 1):
            continue
        first, last, months = sources.dates(index) if dated else (None, None, {})
        yield EdgeRow(
            counts.sources[index] + 1,
            counts.targets[index] + 1,
            counts.count[index],
            counts.edge_articles[index],
            counts.strength_mean(index),
            counts.strength_max[index],
            labels,
            forces,
            sources.ids(index),
            probability[index],
            lift[index],
            first,
            last,
            json.dumps(months),
        )


def write_node_link(graph: Hierarchy, level: NodeKind, path: Path) -> None:
    """The layout of `networkx.node_link_data` with edges under "edges" (its default from networkx 3.6)."""
    counts = graph.at(level)
    with path.open("w", encoding="utf-8") as handle:
        handle.write(f'{{"directed": true, "multigraph": false, "graph": {{"level": "{level}"}},\n"nodes": [')
        separator = "\n"
        for node in _nodes(graph, level):
            quoted = json.dumps(node.name, ensure_ascii=False)
            events = "" if node.events is None else f', "events": {node.events}'
            handle.write(
                f'{separator}{{"id": {node.id}, "name": {quoted}, "label": {quoted}, "articles": {node.articles}, '
                f'"relations": {node.relations}, "aliases": {node.aliases}, "kind": "{node.kind}", '
                f'"class": {node.class_id}{events}}}'
            )
            separator = ",\n"
        handle.write('\n],\n"edges": [')
        separator = "\n"
        for edge in _edges(counts):
            dates = (
                f', "first_seen": "{edge.first_seen}", "last_seen": "{edge.last_seen}", "months": {edge.months}'
                if edge.first_seen
                else ""
            )
            handle.write(
                f'{separator}{{"source": {edge.source}, "target": {edge.target}, "count": {edge.count}, '
                f'"weight": {edge.count}, "articles": {edge.articles}, "strength_mean": {edge.strength_mean!r}, '
                f'"strength_max": {edge.strength_max!r}, "labels": {edge.labels}, "forces": {edge.forces}, '
                f'"article_ids": {json.dumps(edge.article_ids, ensure_ascii=False)}, '
                f'"probability": {edge.probability!r}, "lift": {edge.lift!r}{dates}, "type": "{RELATION}"}}'
            )
            separator = ",\n"
        for source, target in _is_a(graph, level):
            handle.write(f'{separator}{{"source": {source}, "target": {target}, "type": "{IS_A}"}}')
            separator = ",\n"
        handle.write("\n]}\n")


def write_graphml(graph: Hierarchy, level: NodeKind, path: Path) -> int:
    """GraphML that Gephi and `networkx.read_graphml` open; how many texts had characters XML cannot hold, which
    are written as U+FFFD (the JSON and Parquet files hold them as they are)."""
    replaced = 0

    def text(value: str) -> str:
        nonlocal replaced
        if not _XML_ANY.search(value):
            return value
        clean = _NOT_XML.sub("\ufffd", value)
        replaced += clean != value
        return _XML_SPECIAL.sub(lambda match: _XML_ESCAPES[match.group()], clean)

    with path.open("w", encoding="utf-8") as handle:
        handle.write(
            '<?xml version="1.0" encoding="UTF-8"?>\n'
            '<graphml xmlns="http://graphml.graphdrawing.org/xmlns" '
            'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
            'xsi:schemaLocation="http://graphml.graphdrawing.org/xmlns '
            'http://graphml.graphdrawing.org/xmlns/1.0/graphml.xsd">\n'
        )
        for prefix, element, keys in (
            ("g", "graph", (("level", "string"),)),
            ("n", "node", NODE_KEYS),
            ("e", "edge", EDGE_KEYS + DATE_KEYS + TYPE_KEY),
        ):
            for place, (attribute, value_type) in enumerate(keys):
                handle.write(
                    f'  <key id="{prefix}{place}" for="{element}" attr.name="{attribute}" attr.type="{value_type}"/>\n'
                )
        handle.write(f'  <graph id="events" edgedefault="directed">\n    <data key="g0">{level}</data>\n')
        for node in _nodes(graph, level):
            shown = text(node.name)
            events = "" if node.events is None else f'<data key="n7">{node.events}</data>'
            handle.write(
                f'    <node id="{node.id}"><data key="n0">{shown}</data><data key="n1">{shown}</data>'
                f'<data key="n2">{node.articles}</data><data key="n3">{node.relations}</data>'
                f'<data key="n4">{text(node.aliases)}</data><data key="n5">{node.kind}</data>'
                f'<data key="n6">{node.class_id}</data>{events}</node>\n'
            )
        for edge in _edges(graph.at(level)):
            ids = text(json.dumps(edge.article_ids[:GRAPHML_IDS], ensure_ascii=False))
            dates = (
                f'<data key="e10">{edge.first_seen}</data><data key="e11">{edge.last_seen}</data>'
                f'<data key="e12">{edge.months}</data>'
                if edge.first_seen
                else ""
            )
            handle.write(
                f'    <edge source="{edge.source}" target="{edge.target}"><data key="e0">{edge.count}</data>'
                f'<data key="e1">{edge.count}</data><data key="e2">{edge.articles}</data>'
                f'<data key="e3">{edge.strength_mean!r}</data><data key="e4">{edge.strength_max!r}</data>'
                f'<data key="e5">{text(edge.labels)}</data><data key="e6">{text(edge.forces)}</data>'
                f'<data key="e7">{ids}</data><data key="e8">{edge.probability!r}</data>'
                f'<data key="e9">{edge.lift!r}</data>{dates}<data key="e13">{RELATION}</data></edge>\n'
            )
        for source, target in _is_a(graph, level):
            handle.write(f'    <edge source="{source}" target="{target}"><data key="e13">{IS_A}</data></edge>\n')
        handle.write("  </graph>\n</graphml>\n")
    return replaced


def page_level(graph: Hierarchy, level: NodeKind, limit: int, edge_limit: int) -> PageLevel:
    """What the page shows of the graph at `level`, made from the counts as `page` makes it from a graph.json: for the
    level that no file holds, to switch to."""
    counts = graph.at(level)
    into, out = counts.degrees()
    degree = {node + 1: into[node] + out[node] for node in range(len(counts.names))}
    leaving: dict[int, int] = {}
    for source, count in zip(counts.sources, counts.count, strict=True):
        leaving[source + 1] = leaving.get(source + 1, 0) + count
    chosen = chosen_nodes(degree, limit)
    nodes = []
    for row in _rows(graph, level, 1):
        if row.id in chosen:
            node = {"id": row.id, "name": row.name, "articles": row.articles, "relations": row.relations}
            node |= {"aliases": json.loads(row.aliases), "class": row.class_id}
            nodes.append(node if row.events is None else node | {"events": row.events})
    keeper = EdgeKeeper(chosen, edge_limit)
    for edge in _edges(counts, keeper.joins):
        keeper.offer(edge.count, functools.partial(_edge_record, edge))
    class_names = dict(enumerate(counts.names, 1)) if level is NodeKind.CLASS else {}
    return PageLevel(
        str(level), degree, leaving, len(counts.sources), nodes, keeper.kept(), keeper.between, class_names
    )


def _edge_record(edge: EdgeRow) -> dict[str, Any]:
    """An edge as graph.json holds it."""
    record = {
        "source": edge.source,
        "target": edge.target,
        "count": edge.count,
        "articles": edge.articles,
        "strength_mean": edge.strength_mean,
        "strength_max": edge.strength_max,
        "labels": json.loads(edge.labels),
        "forces": json.loads(edge.forces),
        "article_ids": edge.article_ids,
        "probability": edge.probability,
        "lift": edge.lift,
    }
    if edge.first_seen:
        record |= {"first_seen": edge.first_seen, "last_seen": edge.last_seen, "months": json.loads(edge.months)}
    return record


def write_parquet(graph: Hierarchy, level: NodeKind, directory: Path) -> str:
    """nodes.parquet, edges.parquet and the other level's nodes (classes.parquet or events.parquet): the files
    written, or why none."""
    try:
        import pyarrow as pa
        import pyarrow.parquet as parquet
    except ImportError:
        return "skipped: pyarrow is not installed (pip install pyarrow)"
    import numpy as np

    def column(values: Any, offset: int = 0) -> Any:
        return pa.array(np.frombuffer(values, dtype=np.int64) + offset)

    other = f"{level.other.plural}.parquet"
    for kind, name in ((level, "nodes.parquet"), (level.other, other)):
        counts = graph.at(kind)
        size = len(counts.names)
        nodes = {
            "id": pa.array(np.arange(1, size + 1, dtype=np.int64)),
            "name": pa.array(counts.names, type=pa.string()),
            "articles": column(counts.node_articles),
            "relations": column(counts.node_relations),
            "aliases": pa.array((row.aliases for row in _rows(graph, kind, 1)), type=pa.string(), size=size),
        }
        if kind is NodeKind.EVENT:
            nodes["class"] = pa.array(np.asarray(graph.class_of, dtype=np.int64) + 1)
        else:
            nodes["events"] = pa.array(graph.sizes(), type=pa.int64())
        parquet.write_table(pa.table(nodes), directory / name)
        del nodes
    counts = graph.at(level)
    edges = {
        "source": column(counts.sources, 1),
        "target": column(counts.targets, 1),
        "count": column(counts.count),
        "articles": column(counts.edge_articles),
        "strength_mean": pa.array(
            map(counts.strength_mean, range(len(counts.sources))), type=pa.float64(), size=len(counts.sources)
        ),
        "strength_max": pa.array(np.frombuffer(counts.strength_max, dtype=np.float64)),
        "labels": pa.array(counts.labels.json_texts(), type=pa.string(), size=len(counts.sources)),
        "forces": pa.array(counts.forces.json_texts(), type=pa.string(), size=len(counts.sources)),
    }
    sources = EdgeSources.of(counts)
    edges["article_ids"] = pa.array(
        map(sources.ids, range(len(counts.sources))), type=pa.list_(pa.string()), size=len(counts.sources)
    )
    probability, lift = edge_figures(counts)
    edges["probability"] = pa.array(probability, type=pa.float64())
    edges["lift"] = pa.array(lift, type=pa.float64())
    del probability, lift
    if sources.dated():
        dates = [sources.dates(edge) for edge in range(len(counts.sources))]
        edges["first_seen"] = pa.array([first for first, _, _ in dates], type=pa.string())
        edges["last_seen"] = pa.array([last for _, last, _ in dates], type=pa.string())
        edges["months"] = pa.array([json.dumps(months) for _, _, months in dates], type=pa.string())
        del dates
    parquet.write_table(pa.table(edges), directory / "edges.parquet")
    return f"nodes.parquet, edges.parquet, {other}"


ALIAS_COLUMNS = {
    "alias": "alias",
    "event": "event",
    "event_name": "event_name",
    "class": "class_number",
    "class_name": "class_name",
    "tier": "tier",
    "score": "score",
    "mentions": "mentions",
    "normal_form": "normal_form",
    "removed": "removed",
}
"""Column -> the attribute of `Alias` it holds."""


def write_aliases(aliases: list[Alias], directory: Path) -> bool:
    """aliases.csv, and aliases.parquet with pyarrow; whether the Parquet file was written."""
    with (directory / ALIASES).open("w", encoding="utf-8", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(ALIAS_COLUMNS)
        for alias in aliases:
            writer.writerow([getattr(alias, attribute) for attribute in ALIAS_COLUMNS.values()])
    try:
        import pyarrow as pa
        import pyarrow.parquet as parquet
    except ImportError:
        return False
    table = pa.table(
        {column: [getattr(alias, attribute) for alias in aliases] for column, attribute in ALIAS_COLUMNS.items()}
    )
    parquet.write_table(table, directory / "aliases.parquet")
    return True


def summary_of(graph: Hierarchy, level: NodeKind, source: str) -> dict[str, Any]:
    """The summary of the graph at `level`: its edges and components, and its nodes of highest degree (under
    "top_events" or "top_classes")."""
    counts = graph.at(level)
    into, out = counts.degrees()
    top = heapq.nsmallest(
        TOP_EVENTS_IN_SUMMARY, range(len(counts.names)), key=lambda node: (-(into[node] + out[node]), node)
    )
    components = sorted(counts.components(), reverse=True)
    largest = components[0] if components else (0, 0)
    return {
        "format": FORMAT,
        "source": source,
        "mode": counts.mode,
        "part_files": counts.part_files,
        "articles": counts.articles,
        "failed_lines_left_out": counts.failed,
        "relations": counts.relations,
        "relations_without_event_name": counts.unnamed,
        "level": str(level),
        "events": len(graph.events.names),
        "classes": len(graph.classes.names),
        "edges": len(counts.sources),
        "self_loops": sum(1 for s, t in zip(counts.sources, counts.targets, strict=True) if s == t),
        "components": len(components),
        "largest_component": {level.plural: largest[0], "edges": largest[1]},
        f"top_{level.plural}": [
            {
                "id": node + 1,
                "name": counts.names[node],
                "degree": into[node] + out[node],
                "in": into[node],
                "out": out[node],
                "articles": counts.node_articles[node],
            }
            for node in top
        ],
        "event_names": NAME_RULE,
    }


def write_json(document: Any, path: Path) -> None:
    path.write_text(json.dumps(document, ensure_ascii=False, indent=2) + "\n", encoding="utf-8")
