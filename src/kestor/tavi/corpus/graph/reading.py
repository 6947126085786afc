"""A GRAPH_DIR read back: the event graph as a networkx `DiGraph`, every attribute of its own type.

The graph is read from graph.json, which holds what GraphML cannot: every article id of an edge (GraphML lists the
first hundred) and names as they were (GraphML puts U+FFFD for what XML cannot carry). Nodes are the ids of the
graph's nodes (1, 2, ...): those of its level (`graph.graph["level"]`, events or classes), then the other level's,
each with its `kind`; edges are the relations between the level's nodes and each event's is-a edge to its class,
each with its `type`. Counts are ints, figures floats, `aliases`, `labels`, `forces` and `months` dicts, and
`article_ids` the inputs' ids themselves ("a", 1), decoded from the JSON text the files keep them as.
"""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any

from ..events import NodeKind
from ..events.names import event_key
from ..exits import GraphInputError
from .between import Network
from .kinds import written_level

GRAPH_FILE = "graph.json"


def load(graph_dir: str | os.PathLike[str]) -> Any:
    """The event graph that `kestor-corpus graph` (or `build_event_graph`) wrote into GRAPH_DIR."""
    import networkx as nx

    path = Path(graph_dir) / GRAPH_FILE
    if not path.is_file():
        raise GraphInputError(f"{graph_dir}: no {GRAPH_FILE}: not a graph directory that kestor-corpus graph wrote")
    try:
        document = json.loads(path.read_text(encoding="utf-8"))
        for edge in document["edges"]:
            if "article_ids" in edge:
                edge["article_ids"] = [json.loads(text) for text in edge["article_ids"]]
        graph = nx.node_link_graph(document, edges="edges")
    except (ValueError, KeyError, TypeError, nx.NetworkXError) as error:
        raise GraphInputError(f"{path}: not the {GRAPH_FILE} of a graph directory ({error})") from None
    if not graph.is_directed() or graph.is_multigraph():
        raise GraphInputError(f"{path}: not the {GRAPH_FILE} of a graph directory (not a simple directed graph)")
    return graph


def level_of(graph: Any, wanted: NodeKind | None = None) -> NodeKind:
    """The level a loaded graph was written at; `wanted`, where given, must be it."""
    return written_level(graph.graph, wanted)


def network_of(graph: Any) -> tuple[Network, list[Any]]:
    """What finds a node of the graph's level by any of its names in a loaded graph, and those nodes in the network's
    order."""
    level = level_of(graph)
    nodes = [node for node, kind in graph.nodes(data="kind", default=level) if kind == level]
    names = [graph.nodes[node]["name"] for node in nodes]
    keys: dict[str, int] = {}
    for number, name in enumerate(names):
        keys.setdefault(event_key(name), number)
    for number, node in enumerate(nodes):
        for form in graph.nodes[node].get("aliases") or ():
            keys.setdefault(event_key(form), number)
    return Network(names, keys, [], level), nodes
