"""Corpus runs: the extractors over a whole corpus on a Dask cluster, from one machine to many.

Run it as ``kestor-corpus`` or ``python -m kestor.tavi.corpus``; ``kestor.tavi.corpus.driver.main`` takes the same
arguments as a list. Dask is imported only when a run starts: it comes with the ``corpus`` extra,
``pip install 'kestor-tavi-extractor[corpus]'``.
"""
