"""Language-model-backed extractors for an event logic graph.

The four modules are C++ extension modules: ``samplar`` (worked-example records), ``causara`` (causal relations
in a text), ``linqor`` (does a PC relation hold in a text) and ``force`` (the force word of an event graph). Import
them by their dotted names, for instance ``from kestor.tavi.extractor.causara import CausaraExtractor``.
"""
