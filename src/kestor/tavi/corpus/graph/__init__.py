"""The corpus's event graph: every article's relations merged into one graph, exported, drawn, and cut down to the
paths between two events for the force extractor. `kestor-corpus graph` runs it; see `command`."""

from ..events.names import event_key
from ..exits import GraphInputError
from .between import Network, subgraph_between
from .command import build_event_graph, merge_event_graph
from .counts import Counts

__all__ = [
    "Counts",
    "GraphInputError",
    "Network",
    "build_event_graph",
    "event_key",
    "merge_event_graph",
    "subgraph_between",
]
