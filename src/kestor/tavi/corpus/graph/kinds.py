"""What a graph file says of its nodes and edges: the level it was written at (`--level`), each node's kind and each
edge's type, a relation between two nodes of the level or an event's is-a edge to its class."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from ..events import NodeKind
from ..exits import GraphInputError

RELATION, IS_A = "relation", "is_a"


def written_level(attributes: Mapping[str, Any], wanted: NodeKind | None = None, where: str = "") -> NodeKind:
    """The level of a graph by its attributes (graph.json's "graph"); `wanted`, where given, must be it. A graph
    written before classes is one of events."""
    try:
        written = NodeKind(attributes.get("level", NodeKind.EVENT))
    except ValueError:
        raise GraphInputError(f"{where}not a graph of events or of classes: level {attributes['level']!r}") from None
    if wanted is not None and wanted is not written:
        raise GraphInputError(
            f"{where}a graph of {written.plural}, not of {wanted.plural}: --level {wanted} asks about a graph "
            f"directory written with --level {wanted}"
        )
    return written
