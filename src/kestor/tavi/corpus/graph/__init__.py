"""The corpus's event graph: every article's relations merged into one graph, exported, drawn, and cut down to the
paths between two events for the force extractor. `kestor-corpus graph` runs it; see `command`. A graph directory
is read back with `load`, and what follows or precedes an event in it with `next_events` and `causes`."""

from ..events.names import event_key
from ..exits import GraphInputError
from .between import Network, subgraph_between
from .command import build_event_graph, merge_event_graph
from .counts import Counts
from .reading import load
from .successors import causes, next_events

__all__ = [
    "Counts",
    "GraphInputError",
    "Network",
    "build_event_graph",
    "causes",
    "event_key",
    "load",
    "merge_event_graph",
    "next_events",
    "subgraph_between",
]
