"""index.html: the event graph to explore in a browser, one file that opens from disk with no server and no network.

The page is made of three things, all written into the one file: the graph (its events of highest degree, at most
`limit`, laid out here in Python so that the page opens laid out), the page's own script and style (`web/`), and
the drawing library: sigma.js (WebGL) over graphology, as the build of the pinned `ipysigma` package carries them.
That build keeps each library module under its own name in webpack chunk files; the page takes the chunks that hold
the modules sigma and graphology need and no others, and a small loader in the page (`web/modules.js`) runs them.
They are read from the installed package when a page is written, not copied into this one's wheel when it is built:
the build needs no network and no step of its own, the version is pinned once (the `corpus` extra), and the command
checks it before the merge starts.
sigma draws with WebGL: a page of 5,000 events and 20,000 edges is first drawn within 2 s of opening in headless
Chromium (`make bench-page`). The libraries' licences go beside the page (LICENSE_FILE).

The graph is read from the graph.json that the command has just written, so the page shows what the files hold, and
reads every field added to them later (an event's `aliases`; an edge's `article_ids`, `probability`, `lift`,
`first_seen`, `last_seen`, `months`) where it is there and goes without it where it is not. graph.json is read twice
and kept only in part: once for the degrees, once for the events shown and the edges between them.
"""

from __future__ import annotations

import heapq
import importlib.metadata
import importlib.util
import json
import re
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ..exits import INSTALL_HINT, GraphInputError, SetupError
from .layout import lay_out
from .names import SENTENCE_PUNCTUATION

PAGE = "index.html"
LICENSE_FILE = "index.LICENSE.txt"
LIMIT = 5000
LIBRARY = "ipysigma"
LIBRARY_VERSION = "0.24.6"
ENTRY_MODULES = ("./node_modules/sigma/index.js", "./node_modules/graphology/dist/graphology.umd.min.js")
# Article ids an edge shows on the page: the rest are counted (graph.json and Parquet hold them all).
IDS_SHOWN = 50
EXCERPT_LENGTH = 120

_WEB = Path(__file__).with_name("web")
_MODULE = re.compile(r'^/\*\*\*/ "(\./[^"]+)":$', re.MULTILINE)
_REQUIRE = re.compile(r'\b__webpack_require__\((?:/\*.*?\*/ )?"(\./[^"]+)"\)')
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
    chunks: list[str]
    """The webpack chunk files' texts that hold every module the entry modules need."""
    modules: list[str]
    licence: str


@dataclass(frozen=True)
class Page:
    events: int
    edges: int
    of_events: int
    of_edges: int
    bytes: int


def check_page_library() -> str | None:
    """What the page needs that is not installed, said as an instruction."""
    try:
        find_library()
    except SetupError as error:
        return str(error)
    return None


def find_library() -> Library:
    spec = importlib.util.find_spec(LIBRARY)
    install = f"{INSTALL_HINT} (it brings {LIBRARY}=={LIBRARY_VERSION})"
    if spec is None or not spec.submodule_search_locations:
        raise SetupError(
            f"index.html is drawn with sigma.js as {LIBRARY} carries it, which is not installed: {install}"
        )
    version = importlib.metadata.version(LIBRARY)
    if version != LIBRARY_VERSION:
        raise SetupError(f"index.html is made from {LIBRARY} {LIBRARY_VERSION}'s build, not {version}'s: {install}")
    static = Path(next(iter(spec.submodule_search_locations))) / "labextension" / "static"
    defined: dict[str, Path] = {}
    for path in sorted(static.glob("*.js")):
        for module in _MODULE.findall(path.read_text(encoding="utf-8")):
            defined.setdefault(module, path)
    needed: set[str] = set()
    waiting = list(ENTRY_MODULES)
    texts: dict[Path, str] = {}
    while waiting:
        module = waiting.pop()
        if module in needed:
            continue
        if module not in defined:
            raise SetupError(f"{LIBRARY} {version} in {static} lacks the module {module} that sigma.js needs")
        needed.add(module)
        text = texts.setdefault(defined[module], defined[module].read_text(encoding="utf-8"))
        waiting.extend(_requires(text, module))
    licence = importlib.metadata.distribution(LIBRARY).read_text("LICENSE.txt") or ""
    return Library([texts[path] for path in sorted(texts)], sorted(needed), licence)


def _requires(chunk: str, module: str) -> list[str]:
    """The modules that `module` of the chunk requires: its text runs to the next module's heading."""
    start = chunk.index(f'/***/ "{module}":')
    following = _MODULE.search(chunk, start + 1)
    return _REQUIRE.findall(chunk, start, following.start() if following else len(chunk))


def write_page(
    graph_json: Path,
    directory: Path,
    *,
    limit: int = LIMIT,
    title: str = "",
    excerpts: Mapping[str, str] | None = None,
) -> Page:
    """Write index.html and its licence file into `directory` from the graph.json at `graph_json`.

    `excerpts` maps article ids (as an edge's `article_ids` hold them) to their texts, of which the page shows the
    first characters.
    """
    library = find_library()
    degree, leaving, edge_total = _degrees(graph_json)
    chosen = set(
        heapq.nsmallest(limit, degree, key=lambda node: (-degree[node], node)) if len(degree) > limit else degree
    )
    nodes, edges = _chosen(graph_json, chosen)
    data = page_data(nodes, edges, degree, leaving, excerpts or {})
    data["title"] = title
    data["total"] = {"events": len(degree), "edges": edge_total, "limit": limit}
    html = render(data, library)
    (directory / PAGE).write_text(html, encoding="utf-8")
    (directory / LICENSE_FILE).write_text(_licence_text(library), encoding="utf-8")
    return Page(len(nodes), len(edges), len(degree), edge_total, len(html.encode("utf-8")))


def _is_edge(record: dict[str, Any]) -> bool:
    # A node's or an edge's inner objects (aliases, labels, forces, months) map texts to counts: none of them holds
    # an object under "labels" or a text under "name".
    return (
        type(record.get("source")) is int
        and type(record.get("target")) is int
        and isinstance(record.get("labels"), dict)
    )


def _is_node(record: dict[str, Any]) -> bool:
    return type(record.get("id")) is int and isinstance(record.get("name"), str)


def _load(path: Path, hook: Any) -> Any:
    try:
        with path.open(encoding="utf-8") as handle:
            return json.load(handle, object_hook=hook)
    except (OSError, ValueError) as error:
        raise GraphInputError(f"{path}: not the graph.json of a graph directory ({error})") from None


def _degrees(path: Path) -> tuple[dict[int, int], dict[int, int], int]:
    """Each node's degree (as networkx counts it: a loop once in, once out), the relations leaving each node, and
    the number of edges."""
    degree: dict[int, int] = {}
    leaving: dict[int, int] = {}
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
            return None
        return record

    _load(path, hook)
    return degree, leaving, edges


def _chosen(path: Path, chosen: set[int]) -> tuple[list[dict[str, Any]], list[dict[str, Any]]]:
    nodes: list[dict[str, Any]] = []
    edges: list[dict[str, Any]] = []

    def hook(record: dict[str, Any]) -> Any:
        if _is_edge(record):
            if record["source"] in chosen and record["target"] in chosen:
                edges.append(record)
            return None
        if _is_node(record):
            if record["id"] in chosen:
                nodes.append(record)
            return None
        return record

    _load(path, hook)
    return nodes, edges


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
    return {
        "nodes": shown_nodes,
        # Rows of EDGE_FIELDS: tens of thousands of edges would repeat every key in every record.
        "edge_fields": list(EDGE_FIELDS),
        "edges": shown_edges,
        "excerpts": texts,
        "trim": SENTENCE_PUNCTUATION,
        "components": laid.components,
    }


def _pairs(counted: Any) -> list[list[Any]] | None:
    """An object from text to count (most frequent first) as pairs, which keep their order in every reader."""
    if not isinstance(counted, dict):
        return None
    return [[text, times] for text, times in counted.items()]


def render(data: dict[str, Any], library: Library) -> str:
    # Nothing inside a script element may end it early or read as markup: the graph's JSON spells every "<" as an
    # escape (an event may be named "</script>"), and the scripts spell "</script" and "<!--" with a backslash,
    # which means the same in the strings, regular expressions and comments that are the only places to hold them.
    graph = json.dumps(data, ensure_ascii=False, separators=(",", ":")).replace("<", "\\u003c")
    template = (_WEB / "index.html").read_text(encoding="utf-8")
    parts = {
        "title": _escape(data["title"] or "Event graph"),
        "style": (_WEB / "explore.css").read_text(encoding="utf-8"),
        "graph": graph,
        "library": "\n".join(_script_text(chunk) for chunk in library.chunks),
        "modules": _script_text((_WEB / "modules.js").read_text(encoding="utf-8")),
        "script": _script_text((_WEB / "explore.js").read_text(encoding="utf-8")),
    }
    return re.sub(r"\{\{(\w+)\}\}", lambda match: parts[match.group(1)], template)


def _script_text(text: str) -> str:
    return re.sub(r"<(/script|!--)", lambda match: "<\\" + match.group(1), text, flags=re.IGNORECASE)


def _escape(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


def _licence_text(library: Library) -> str:
    listed = "\n".join(f"  {module[len('./node_modules/') :]}" for module in library.modules)
    return (
        f"index.html carries the JavaScript graph libraries sigma.js and graphology, with the modules they need, as "
        f"the build of the Python package {LIBRARY} {LIBRARY_VERSION} (PyPI) holds them; all are under the MIT "
        f"License. The modules, by their place in that build:\n{listed}\n\n"
        f"The licence of {LIBRARY}, whose build they are taken from:\n\n{library.licence.strip()}\n"
    )
