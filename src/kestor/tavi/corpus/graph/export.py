"""GRAPH_DIR's files: the store's graph (see `store` and `view`) as GraphML, node-link JSON, Parquet and a summary,
written whole.

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

import functools
import heapq
import json
import os
import re
import shutil
import uuid
from collections.abc import Callable
from pathlib import Path
from typing import Any, TypeVar

from ..events import NodeKind
from ..events.names import SENTENCE_PUNCTUATION
from ..exits import GraphInputError
from ..output import sync_directory as _sync
from .kinds import IS_A, RELATION
from .page import LICENSE_FILE, PAGE, EdgeKeeper, PageLevel, chosen_nodes
from .store import STORE
from .view import TABLES, EdgeRow, View

FORMAT = "kestor-corpus event graph, version 1"
SUMMARY = "summary.json"
ALIASES = "aliases.csv"
FILES = (
    STORE,
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


# Every format is written a line at a time from the store's rows: a graph of a million edges needs no record
# objects for all of them at once.


def write_node_link(view: View, path: Path) -> None:
    """The layout of `networkx.node_link_data` with edges under "edges" (its default from networkx 3.6)."""
    level = view.level
    with path.open("w", encoding="utf-8") as handle:
        handle.write(f'{{"directed": true, "multigraph": false, "graph": {{"level": "{level}"}},\n"nodes": [')
        separator = "\n"
        for node in view.nodes():
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
        for edge in view.edges():
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
        for source, target in view.is_a():
            handle.write(f'{separator}{{"source": {source}, "target": {target}, "type": "{IS_A}"}}')
            separator = ",\n"
        handle.write("\n]}\n")


def write_graphml(view: View, path: Path) -> int:
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
        handle.write(f'  <graph id="events" edgedefault="directed">\n    <data key="g0">{view.level}</data>\n')
        for node in view.nodes():
            shown = text(node.name)
            events = "" if node.events is None else f'<data key="n7">{node.events}</data>'
            handle.write(
                f'    <node id="{node.id}"><data key="n0">{shown}</data><data key="n1">{shown}</data>'
                f'<data key="n2">{node.articles}</data><data key="n3">{node.relations}</data>'
                f'<data key="n4">{text(node.aliases)}</data><data key="n5">{node.kind}</data>'
                f'<data key="n6">{node.class_id}</data>{events}</node>\n'
            )
        for edge in view.edges():
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
        for source, target in view.is_a():
            handle.write(f'    <edge source="{source}" target="{target}"><data key="e13">{IS_A}</data></edge>\n')
        handle.write("  </graph>\n</graphml>\n")
    return replaced


def page_level(view: View, level: NodeKind, limit: int, edge_limit: int) -> PageLevel:
    """What the page shows of the graph at `level`, made from the store as `page` makes it from a graph.json: for the
    level that no file holds, to switch to. Its nodes keep their ids at their own level."""
    own = View(view.connection, level)
    degree = {node: into + out for node, (into, out) in own.degrees().items()}
    chosen = chosen_nodes(degree, limit)
    nodes = []
    for row in own.rows(level):
        if row.id in chosen:
            node = {"id": row.id, "name": row.name, "articles": row.articles, "relations": row.relations}
            node |= {"aliases": json.loads(row.aliases), "class": row.class_id}
            nodes.append(node if row.events is None else node | {"events": row.events})
    keeper = EdgeKeeper(chosen, edge_limit)
    for edge in own.edges(level, chosen):
        keeper.offer(edge.count, functools.partial(_edge_record, edge))
    class_names = {row.id: row.name for row in own.rows(level)} if level is NodeKind.CLASS else {}
    return PageLevel(
        str(level), degree, own.leaving(), own.edge_count(level), nodes, keeper.kept(), keeper.between, class_names
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


def write_parquet(view: View, directory: Path) -> str:
    """nodes.parquet, edges.parquet and the other level's nodes (classes.parquet or events.parquet), with DuckDB:
    the files written."""
    level = view.level
    other = f"{level.other.plural}.parquet"
    for kind, name in ((level, "nodes.parquet"), (level.other, other)):
        nodes, _ = TABLES[kind]
        last = "class" if kind is NodeKind.EVENT else "events"
        where = "redirect IS NULL" if kind is NodeKind.EVENT else "events > 0"
        _copy(
            view,
            f"SELECT id, name, articles, relations, to_json(aliases)::VARCHAR AS aliases, {last} FROM {nodes} "
            f"WHERE {where} ORDER BY id",
            directory / name,
        )
    _, edges = TABLES[level]
    dated = (
        ", strftime(first_seen, '%Y-%m-%d') AS first_seen, strftime(last_seen, '%Y-%m-%d') AS last_seen, "
        "to_json(months)::VARCHAR AS months"
        if view.dated()
        else ""
    )
    _copy(
        view,
        f"""
        SELECT source, target, count, articles, strength_mean, strength_max, to_json(labels)::VARCHAR AS labels,
            to_json(forces)::VARCHAR AS forces, article_ids, probability, lift{dated}
        FROM {edges} ORDER BY seq
        """,
        directory / "edges.parquet",
    )
    return f"nodes.parquet, edges.parquet, {other}"


def _copy(view: View, query: str, path: Path) -> None:
    view.connection.execute(f"COPY ({query}) TO '{_quoted(path)}' (FORMAT parquet)")


def _quoted(path: Path) -> str:
    return str(path).replace("'", "''")


ALIAS_QUERY = """
    SELECT a.alias, a.event, e.name AS event_name, e.class, c.name AS class_name, a.tier, a.score, a.mentions,
        a.normal_form, a.removed
    FROM aliases a JOIN events e ON e.id = a.event JOIN classes c ON c.id = e.class
    ORDER BY a.seq
"""
"""Each spelling with its event and class, as aliases.parquet and aliases.csv hold them."""


def write_aliases(view: View, directory: Path) -> None:
    """aliases.csv and aliases.parquet."""
    _copy(view, ALIAS_QUERY, directory / "aliases.parquet")
    view.connection.execute(f"COPY ({ALIAS_QUERY}) TO '{_quoted(directory / ALIASES)}' (FORMAT csv, HEADER)")


def summary_of(view: View, source: str) -> dict[str, Any]:
    """The summary of the graph at the view's level: its edges and components, and its nodes of highest degree
    (under "top_events" or "top_classes")."""
    level = view.level
    degrees = view.degrees()
    top = heapq.nsmallest(TOP_EVENTS_IN_SUMMARY, degrees, key=lambda node: (-sum(degrees[node]), node))
    nodes, edges = TABLES[level]
    rows = {
        number: (name, articles)
        for number, name, articles in view.connection.execute(
            f"SELECT id, name, articles FROM {nodes} WHERE id IN (SELECT unnest(?))", [top]
        ).fetchall()
    }
    components = sorted(view.components(), reverse=True)
    largest = components[0] if components else (0, 0)
    figures = view.figures()
    [loops] = view.connection.execute(f"SELECT count(*) FROM {edges} WHERE source = target").fetchall()[0]
    return {
        "format": FORMAT,
        "source": source,
        "mode": figures["mode"],
        "part_files": figures["part_files"],
        "articles": figures["articles"],
        "failed_lines_left_out": figures["failed"],
        "relations": figures["relations"],
        "relations_without_event_name": figures["unnamed"],
        "level": str(level),
        "events": view.size(NodeKind.EVENT),
        "classes": view.size(NodeKind.CLASS),
        "edges": view.edge_count(level),
        "self_loops": int(loops),
        "components": len(components),
        "largest_component": {level.plural: largest[0], "edges": largest[1]},
        f"top_{level.plural}": [
            {
                "id": node,
                "name": rows[node][0],
                "degree": sum(degrees[node]),
                "in": degrees[node][0],
                "out": degrees[node][1],
                "articles": rows[node][1],
            }
            for node in top
        ],
        "event_names": NAME_RULE,
    }


def write_json(document: Any, path: Path) -> None:
    path.write_text(json.dumps(document, ensure_ascii=False, indent=2) + "\n", encoding="utf-8")
