"""The corpus's event graph: every article's relations kept as evidence in a store that grows run by run (see
`store`), resolved into events with stable ids and their classes, exported, drawn, asked (see `query`), and cut down
to the paths between two events for the force extractor. `kestor-corpus graph` runs it; see `commands`. A graph
directory is read back with `load`, and what follows or precedes an event in it with `next_events` and `causes`."""

from ..events.names import event_key
from ..exits import GraphInputError
from .between import Network
from .build import build_event_graph, export_files, merge_event_graph, update_event_graph
from .evidence import Evidence
from .query import Questions, Window
from .reading import load, subgraph_between
from .successors import causes, next_events

__all__ = [
    "Evidence",
    "GraphInputError",
    "Network",
    "Questions",
    "Window",
    "build_event_graph",
    "causes",
    "event_key",
    "export_files",
    "load",
    "merge_event_graph",
    "next_events",
    "subgraph_between",
    "update_event_graph",
]
