"""A GRAPH_DIR read back: the event graph as a networkx `DiGraph`, every attribute of its own type; and the paths
between two of its events.

Where GRAPH_DIR holds a store (graph.duckdb), the graph is read from it (an event's neighbourhood alone, where one is
asked for: see `Questions.neighbourhood`), at the level asked; else from graph.json, which holds what GraphML cannot:
every article id of an edge (GraphML lists the first hundred) and names as they were (GraphML puts U+FFFD for what
XML cannot carry). Nodes are the ids of the graph's nodes (1, 2, ...): those of its level (`graph.graph["level"]`,
events or classes), then the other level's, each with its `kind`; edges are the relations between the level's nodes
and each event's is-a edge to its class, each with its `type`. Counts are ints, figures floats, `aliases`, `labels`,
`forces` and `months` dicts, and `article_ids` the inputs' ids themselves ("a", 1), decoded from the JSON text the
files keep them as. A store's ids are its stable ones (a merged event's id is no node).
"""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any

from ..events import NodeKind
from ..events.names import event_key
from ..exits import GraphInputError
from .between import MAX_PATHS, Network, network_subgraph
from .evidence import Evidence
from .kinds import IS_A, RELATION, written_level
from .query import Questions, Window, has_questions
from .store import connect, store_path
from .view import View

GRAPH_FILE = "graph.json"


def load(
    graph_dir: str | os.PathLike[str],
    event: str | int | None = None,
    *,
    level: NodeKind | str | None = None,
    since: str | None = None,
    until: str | None = None,
    limit: int | None = None,
) -> Any:
    """The event graph that `kestor-corpus graph` (or `build_event_graph`) wrote into GRAPH_DIR: whole, or with a
    store, `event`'s neighbourhood alone (what follows and precedes it, `limit` of each at most, within the window
    `since`..`until`), at `level` (events by default)."""
    if has_questions(graph_dir):
        kind = NodeKind(level or NodeKind.EVENT)
        if event is not None:
            with Questions.open(graph_dir, kind) as questions:
                return questions.neighbourhood(event, window=Window.parse(since, until), limit=limit)
        if since is not None or until is not None:
            raise GraphInputError("since and until go with an event: its neighbourhood within that window")
        return _whole(graph_dir, kind)
    if event is not None:
        raise GraphInputError(f"{graph_dir}: no {store_path(graph_dir).name}: a neighbourhood is read from a store")
    return _from_json(graph_dir)


def _whole(graph_dir: str | os.PathLike[str], level: NodeKind) -> Any:
    """The whole graph from the store, as graph.json holds it."""
    import networkx as nx

    connection = connect(store_path(graph_dir))
    try:
        view = View(connection, level)
        graph = nx.DiGraph(level=str(level))
        for node in view.nodes():
            attributes = {"name": node.name, "label": node.name, "articles": node.articles}
            attributes |= {"relations": node.relations, "aliases": json.loads(node.aliases), "kind": str(node.kind)}
            attributes["class"] = node.class_id
            if node.events is not None:
                attributes["events"] = node.events
            graph.add_node(node.id, **attributes)
        for edge in view.edges():
            attributes = {
                "count": edge.count,
                "weight": edge.count,
                "articles": edge.articles,
                "strength_mean": edge.strength_mean,
                "strength_max": edge.strength_max,
                "labels": json.loads(edge.labels),
                "forces": json.loads(edge.forces),
                "article_ids": [json.loads(text) for text in edge.article_ids],
                "probability": edge.probability,
                "lift": edge.lift,
            }
            if edge.first_seen:
                attributes |= {"first_seen": edge.first_seen, "last_seen": edge.last_seen}
                attributes["months"] = json.loads(edge.months)
            graph.add_edge(edge.source, edge.target, **attributes, type=RELATION)
        for source, target in view.is_a():
            graph.add_edge(source, target, type=IS_A)
        return graph
    finally:
        connection.close()


def _from_json(graph_dir: str | os.PathLike[str]) -> Any:
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


def subgraph_between(
    events: Network | Evidence | str | os.PathLike[str],
    first: str,
    second: str,
    max_paths: int = MAX_PATHS,
    *,
    level: NodeKind | str | None = None,
    since: str | None = None,
    until: str | None = None,
) -> tuple[dict[str, Any], int]:
    """The graph data of every path from `first` to `second` in a graph: a network, the evidence of part files
    (`merge_event_graph`: each event key an event), or a GRAPH_DIR (its store where
    it has one, within the window `since`..`until` and at `level`; else its graph.json), and how many paths there
    are; names are compared as the graph's names are."""
    if isinstance(events, Evidence):
        events = Network.of_evidence(events)
    if isinstance(events, Network):
        return network_subgraph(events, first, second, max_paths)
    if has_questions(events):
        with Questions.open(events, level) as questions:
            return questions.between(first, second, window=Window.parse(since, until), max_paths=max_paths)
    if since is not None or until is not None:
        raise GraphInputError(f"{events}: no {store_path(events).name}: a time window is asked of a store")
    return network_subgraph(Network.read(events, None if level is None else NodeKind(level)), first, second, max_paths)
