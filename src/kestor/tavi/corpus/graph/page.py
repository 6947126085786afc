"""index.html: the event graph to explore in a browser, one file that opens from disk with no server and no network.

The page is made of three things, all written into the one file: the graph (its events of highest degree, at most
`limit`, laid out here in Python so that the page opens laid out), the page's own script and style (`web/`), and
the drawing library: sigma.js (WebGL) over graphology. The package's build takes the modules they need out of the
pinned `ipysigma` package's build (tools/page_library.py) and installs them as one script under `web/vendor/`, so
that a user installs no more than this package to write a page; a small loader in the page (`web/modules.js`) runs
them. The command checks that they are there before the merge starts.
sigma draws with WebGL: a page of 5,000 events and 20,000 edges is first drawn within 2 s of opening in headless
Chromium (`make bench-page`). The libraries' licences go beside the page (LICENSE_FILE).

The graph is read from the graph.json that the command has just written, so the page shows what the files hold, and
reads every field added to them later (an event's `aliases`; an edge's `article_ids`, `probability`, `lift`,
`first_seen`, `last_seen`, `months`) where it is there and goes without it where it is not. graph.json is read twice
and kept only in part: once for the degrees, once for the events shown and the edges between them.

A graph of events is one level of a hierarchy: each event is one of a class. The page holds the level written (its
nodes, of the nodes' `kind`, and its edges of `type` "relation"), and where the command gives it the graph at the
other level too, that one as well, read in the same way, to switch to: an event shows its class, a class its events.
"""

from __future__ import annotations

import heapq
import json
import re
from collections.abc import Mapping
from dataclasses import dataclass
from importlib import resources
from pathlib import Path
from typing import Any

from ..events.names import SENTENCE_PUNCTUATION
from ..exits import DISTRIBUTION, GraphInputError, SetupError
from .evidence import EXCERPT_LENGTH
from .kinds import IS_A
from .layout import lay_out

PAGE = "index.html"
LICENSE_FILE = "index.LICENSE.txt"
LIMIT = 5000
EDGE_LIMIT = 50_000
"""Edges a page carries at most, those of most relations: the events a page shows may have many more between them
in a dense graph, and 63,000 edges already made a page of 14 MiB, first drawn in 2.9 s here (make bench-page)."""
# As tools/page_library.py writes them.
LIBRARY_SCRIPT = "sigma-graphology.js"
LIBRARY_LICENCE = "sigma-graphology.LICENSE.txt"
# Article ids an edge shows on the page: the rest are counted (graph.json and Parquet hold them all).
IDS_SHOWN = 50

# Optional fields of an edge, carried to the page as they are where graph.json has them.
_EDGE_EXTRAS = ("probability", "lift", "first_seen", "last_seen", "months")
EDGE_FIELDS = (
    "source",
    "target",
    "count",
    "articles",
    "strength_mean",
    "strength_max",
    "labels",
    "forces",
    "article_ids",
    *_EDGE_EXTRAS,
)


@dataclass(frozen=True)
class Library:
    script: str
    licence: str
    """What goes beside each page: the modules the script holds, and their licence."""


@dataclass(frozen=True)
class Page:
    """What the page shows of the level written: nodes and edges, of how many."""

    nodes: int
    edges: int
    of_nodes: int
    of_edges: int
    bytes: int


@dataclass
class PageLevel:
    """What the page shows of one level: its nodes of highest degree (each a record as graph.json holds it) and the
    edges of most relations between them, with the figures of the whole level that the page states."""

    kind: str
    degree: dict[int, int]
    """Every node's degree, by id (as networkx counts it: a loop once in, once out)."""
    leaving: dict[int, int]
    """The relations leaving each node, by id."""
    edges_total: int
    nodes: list[dict[str, Any]]
    edges: list[dict[str, Any]]
    between: int
    """How many edges join the nodes shown."""
    class_names: dict[int, str]
    """The name of each class (by its id) that the level names: its own nodes', or the other level's."""


def chosen_nodes(degree: Mapping[int, int], limit: int) -> set[int]:
    """The `limit` nodes of highest degree, of equal ones the first by id."""
    return set(
        heapq.nsmallest(limit, degree, key=lambda node: (-degree[node], node)) if len(degree) > limit else degree
    )


class EdgeKeeper:
    """The `edge_limit` edges of most relations between the chosen nodes, of equal ones the first offered, in the
    order offered; and how many were offered."""

    def __init__(self, chosen: set[int], edge_limit: int) -> None:
        self.chosen = chosen
        self.edge_limit = edge_limit
        self.between = 0
        # The lightest edge kept on top, to give way to a heavier one; of two alike, the later.
        self.heaviest: list[tuple[int, int, Any]] = []

    def joins(self, source: int, target: int) -> bool:
        return source in self.chosen and target in self.chosen

    def offer(self, count: int, record: Any) -> None:
        """An edge between chosen nodes: `record`, or a function that makes it."""
        entry = (count, -self.between, record)
        self.between += 1
        if len(self.heaviest) < self.edge_limit:
            heapq.heappush(self.heaviest, entry)
        else:
            heapq.heappushpop(self.heaviest, entry)

    def kept(self) -> list[Any]:
        kept = [record for _, _, record in sorted(self.heaviest, key=lambda entry: -entry[1])]
        return [record() if callable(record) else record for record in kept]


def check_page_library() -> str | None:
    """What the page needs that is not installed, said as an instruction."""
    try:
        find_library()
    except SetupError as error:
        return str(error)
    return None


def find_library() -> Library:
    try:
        return Library(_web(f"vendor/{LIBRARY_SCRIPT}"), _web(f"vendor/{LIBRARY_LICENCE}"))
    except OSError as error:
        raise SetupError(
            f"index.html is drawn with sigma.js, which the package's build puts into it, and this installation lacks "
            f"it ({error}): install {DISTRIBUTION} with pip (from its source tree: pip install '.[corpus]'), "
            "rather than run it from a source tree that was never built"
        ) from None


def write_page(
    graph_json: Path,
    directory: Path,
    *,
    limit: int = LIMIT,
    edge_limit: int = EDGE_LIMIT,
    title: str = "",
    excerpts: Mapping[str, str] | None = None,
    other: PageLevel | None = None,
) -> Page:
    """Write index.html and its licence file into `directory` from the graph.json at `graph_json`, with the graph at
    the other level, `other`, to switch to.

    `excerpts` maps article ids (as an edge's `article_ids` hold them) to their texts, of which the page shows the
    first characters.
    """
    library = find_library()
    levels = [read_level(graph_json, limit, edge_limit), *([other] if other is not None else [])]
    class_names: dict[int, str] = {}
    for level in levels:
        class_names.update(level.class_names)
    data: dict[str, Any] = {
        "title": title,
        # Rows of EDGE_FIELDS: tens of thousands of edges would repeat every key in every record.
        "edge_fields": list(EDGE_FIELDS),
        "trim": SENTENCE_PUNCTUATION,
        "levels": [],
        "excerpts": {},
    }
    for level in levels:
        shown = page_data(level.nodes, level.edges, level.degree, level.leaving, excerpts or {})
        data["excerpts"].update(shown.pop("excerpts"))
        shown["kind"] = level.kind
        shown["total"] = {
            "nodes": len(level.degree),
            "edges": level.edges_total,
            "limit": limit,
            "between": level.between,
            "edge_limit": edge_limit,
        }
        data["levels"].append(shown)
    _link_levels(data["levels"], class_names)
    html = render(data, library)
    (directory / PAGE).write_text(html, encoding="utf-8")
    (directory / LICENSE_FILE).write_text(library.licence, encoding="utf-8")
    first = levels[0]
    return Page(len(first.nodes), len(first.edges), len(first.degree), first.edges_total, len(html.encode("utf-8")))


def read_level(path: Path, limit: int, edge_limit: int) -> PageLevel:
    """The page's level from a graph.json: read twice and kept only in part."""
    level, degree, leaving, edges_total, class_names = _degrees(path)
    nodes, keeper = _chosen(path, chosen_nodes(degree, limit), edge_limit)
    return PageLevel(level, degree, leaving, edges_total, nodes, keeper.kept(), keeper.between, class_names)


def _link_levels(levels: list[dict[str, Any]], class_names: Mapping[int, str]) -> None:
    """Each event's class by name, and by its position among the classes shown where it is shown; each class's
    events shown, by position."""
    nodes: dict[str, list[dict[str, Any]]] = {"class": [], "event": []}
    for level in levels:
        nodes[level["kind"]] = level["nodes"]
    classes, events = nodes["class"], nodes["event"]
    place = {}
    for number, node in enumerate(classes):
        place[node.pop("class", None)] = number
        node["members"] = []
    for number, node in enumerate(events):
        group = node.get("class")
        if group is None:
            continue
        node["class_name"] = class_names.get(group)
        node["class"] = place.get(group)
        if node["class"] is not None:
            classes[node["class"]]["members"].append(number)


def _is_edge(record: dict[str, Any]) -> bool:
    # A node's or an edge's inner objects (aliases, labels, forces, months) map texts to counts: none of them holds
    # an object under "labels" or a text under "name". An is-a edge has no labels.
    return (
        type(record.get("source")) is int
        and type(record.get("target")) is int
        and isinstance(record.get("labels"), dict)
    )


def _is_node(record: dict[str, Any]) -> bool:
    return type(record.get("id")) is int and isinstance(record.get("name"), str)


def _is_is_a(record: dict[str, Any]) -> bool:
    return record.get("type") == IS_A and type(record.get("source")) is int


def _load(path: Path, hook: Any) -> Any:
    try:
        with path.open(encoding="utf-8") as handle:
            return json.load(handle, object_hook=hook)
    except (OSError, ValueError) as error:
        raise GraphInputError(f"{path}: not the graph.json of a graph directory ({error})") from None


def _degrees(path: Path) -> tuple[str, dict[int, int], dict[int, int], int, dict[int, str]]:
    """The graph's level; each of its nodes' degree (as networkx counts it: a loop once in, once out), the relations
    leaving each node, and the number of edges; and the names of the classes by id."""
    degree: dict[int, int] = {}
    leaving: dict[int, int] = {}
    kinds: dict[int, Any] = {}
    class_names: dict[int, str] = {}
    edges = 0

    def hook(record: dict[str, Any]) -> Any:
        nonlocal edges
        if _is_edge(record):
            edges += 1
            source, target = record["source"], record["target"]
            degree[source] = degree.get(source, 0) + 1
            degree[target] = degree.get(target, 0) + 1
            leaving[source] = leaving.get(source, 0) + int(record.get("count", 0))
            return None
        if _is_node(record):
            degree.setdefault(record["id"], 0)
            kinds[record["id"]] = record.get("kind")
            if record.get("kind") == "class" and type(record.get("class")) is int:
                class_names[record["class"]] = record["name"]
            return None
        if _is_is_a(record):
            return None
        return record

    document = _load(path, hook)
    graph = document.get("graph") if isinstance(document, dict) else None
    level = graph.get("level", "event") if isinstance(graph, dict) else "event"
    # A graph written before classes has nodes of no kind: events.
    degree = {node: count for node, count in degree.items() if kinds.get(node) in (None, level)}
    return level, degree, leaving, edges, class_names


def _chosen(path: Path, chosen: set[int], edge_limit: int) -> tuple[list[dict[str, Any]], EdgeKeeper]:
    """The chosen nodes in the file's order, and the edges between them."""
    nodes: list[dict[str, Any]] = []
    keeper = EdgeKeeper(chosen, edge_limit)

    def hook(record: dict[str, Any]) -> Any:
        if _is_edge(record):
            if keeper.joins(record["source"], record["target"]):
                keeper.offer(int(record.get("count", 0)), record)
            return None
        if _is_node(record):
            if record["id"] in chosen:
                nodes.append(record)
            return None
        if _is_is_a(record):
            return None
        return record

    _load(path, hook)
    return nodes, keeper


def page_data(
    nodes: list[dict[str, Any]],
    edges: list[dict[str, Any]],
    degree: Mapping[int, int],
    leaving: Mapping[int, int],
    excerpts: Mapping[str, str],
) -> dict[str, Any]:
    """What the page's script reads: events and edges as compact records, positions laid out."""
    place = {node["id"]: number for number, node in enumerate(nodes)}
    laid = lay_out(len(nodes), [(place[edge["source"]], place[edge["target"]]) for edge in edges])
    shown_nodes = [
        {
            "id": node["id"],
            "name": node["name"],
            "aliases": _pairs(node.get("aliases")),
            "articles": node.get("articles", 0),
            "relations": node.get("relations", 0),
            "degree": degree.get(node["id"], 0),
            "x": round(laid.x[number], 3),
            "y": round(laid.y[number], 3),
            **{key: node[key] for key in ("class", "events") if type(node.get(key)) is int},
        }
        for number, node in enumerate(nodes)
    ]
    shown_edges = []
    texts: dict[str, str] = {}
    for edge in edges:
        out = leaving.get(edge["source"], 0)
        ids = edge.get("article_ids")
        shown = [str(each) for each in ids[:IDS_SHOWN]] if isinstance(ids, list) else None
        for each in shown or ():
            if each in excerpts:
                texts[each] = excerpts[each][:EXCERPT_LENGTH]
        values = {
            "source": place[edge["source"]],
            "target": place[edge["target"]],
            "count": edge.get("count", 0),
            "articles": edge.get("articles", 0),
            "strength_mean": edge.get("strength_mean"),
            "strength_max": edge.get("strength_max"),
            "labels": _pairs(edge.get("labels")),
            "forces": _pairs(edge.get("forces")),
            "article_ids": shown,
            # P(target | source) as the merge defines it, where graph.json does not hold it: the edge's relations
            # over all that leave its source.
            "probability": round(edge.get("count", 0) / out, 6) if out else None,
        }
        values.update((key, edge[key]) for key in _EDGE_EXTRAS if key in edge)
        shown_edges.append([values.get(field) for field in EDGE_FIELDS])
    return {"nodes": shown_nodes, "edges": shown_edges, "excerpts": texts, "components": laid.components}


def _pairs(counted: Any) -> list[list[Any]] | None:
    """An object from text to count (most frequent first) as pairs, which keep their order in every reader."""
    if not isinstance(counted, dict):
        return None
    return [[text, times] for text, times in counted.items()]


def render(data: dict[str, Any], library: Library) -> str:
    # The level the page opens at is read at once; another, only when it is first shown.
    first, *others = data["levels"]
    graph = _json({**data, "levels": [first], "kinds": [level["kind"] for level in data["levels"]]})
    levels = "".join(
        f'<script type="application/json" id="graph-level-{number}">{_json(level)}</script>\n'
        for number, level in enumerate(others, 1)
    )
    return fill(data["title"], graph, library, "explore.js", levels)


def served_page(title: str, config: dict[str, Any], library: Library) -> str:
    """The page a server gives: the same page, whose script asks the server (`web/served.js`) for what `config`
    does not hold."""
    return fill(title, _json(config), library, "served.js")


def fill(title: str, graph: str, library: Library, script: str, levels: str = "") -> str:
    # Nothing inside a script element may end it early or read as markup: the graph's JSON spells every "<" as an
    # escape (an event may be named "</script>"), and the scripts spell "</script" and "<!--" with a backslash,
    # which means the same in the strings, regular expressions and comments that are the only places to hold them.
    parts = {
        "title": _escape(title or "Event graph"),
        "style": _web("explore.css"),
        "graph": graph,
        "levels": levels,
        "library": _script_text(library.script),
        "modules": _script_text(_web("modules.js") + _web("look.js")),
        "script": _script_text(_web(script)),
    }
    return re.sub(r"\{\{(\w+)\}\}", lambda match: parts[match.group(1)], _web("index.html"))


def _json(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":")).replace("<", "\\u003c")


def _web(name: str) -> str:
    """A file of web/ as installed with the package, whose build adds vendor/."""
    return (resources.files(__package__) / "web" / name).read_text(encoding="utf-8")


def _script_text(text: str) -> str:
    return re.sub(r"<(/script|!--)", lambda match: "<\\" + match.group(1), text, flags=re.IGNORECASE)


def _escape(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")
