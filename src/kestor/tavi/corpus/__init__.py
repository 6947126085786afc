"""Corpus runs: the extractors over a whole corpus on a Dask cluster, from one machine to many.

Run it as ``kestor-corpus`` or ``python -m kestor.tavi.corpus``; ``kestor.tavi.corpus.driver.main`` takes the same
arguments as a list. Dask is imported only when a run starts: it comes with the ``corpus`` extra,
``pip install 'kestor-tavi-extractor[corpus]'``.

``build_event_graph(OUT_DIR, GRAPH_DIR)`` merges a run's part files into the corpus's event graph, as
``kestor-corpus graph`` does; ``subgraph_between`` gives the paths between two of its events as graph data for
``ForceExtractor.predict``.
"""

from .graph import GraphInputError, build_event_graph, event_key, merge_event_graph, subgraph_between

__all__ = ["GraphInputError", "build_event_graph", "event_key", "merge_event_graph", "subgraph_between"]
