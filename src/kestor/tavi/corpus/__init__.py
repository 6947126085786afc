"""Corpus runs: the extractors over a whole corpus on a Dask cluster, from one machine to many.

Run it as ``kestor-corpus`` or ``python -m kestor.tavi.corpus``; ``kestor.tavi.corpus.cli.main`` takes the same
arguments as a list. Dask is imported only when a run starts: it comes with the ``corpus`` extra,
``pip install 'kestor-tavi-extractor[corpus]'``.

``build_event_graph(OUT_DIR, GRAPH_DIR)`` merges a run's part files into the corpus's event graph, as
``kestor-corpus graph`` does; ``subgraph_between`` gives the paths between two of its events as graph data for
``ForceExtractor.predict``. What they refuse (bad graph input, a GRAPH_DIR that is not theirs to replace, a
missing tool) raises a ``UsageError``; its subclass ``GraphInputError`` is for what the part files hold.
"""

from .exits import GraphInputError, UsageError
from .graph import build_event_graph, event_key, merge_event_graph, subgraph_between

__all__ = ["GraphInputError", "UsageError", "build_event_graph", "event_key", "merge_event_graph", "subgraph_between"]
