"""The extractor classes as the host sees them: plain classes of their modules, with real signatures."""

from __future__ import annotations

import inspect

import pytest

from kestor.tavi.extractor.causara import CausaraExtractor
from kestor.tavi.extractor.force import ForceExtractor
from kestor.tavi.extractor.linqor import LinqorExtractor
from kestor.tavi.extractor.samplar import to_langextract_examples

SIGNATURES = {
    CausaraExtractor: {
        "__init__": "(self, /, config, prompt_description, examples)",
        "_build_model": "(config)",
        "predict": "(self, /, text)",
        "_to_relation": "(extraction)",
        "_to_strength": "(value)",
    },
    LinqorExtractor: {
        "__init__": "(self, /, config, prompt_description, examples)",
        "_build_model": "(config)",
        "predict": "(self, /, text)",
        "_to_result": "(extraction)",
        "_to_bool": "(value)",
        "_default_result": "()",
    },
    ForceExtractor: {
        "__init__": "(self, /, config, prompt_description, examples, review_prompt_description, review_examples)",
        "_build_model": "(config)",
        "predict": "(self, /, graph_data, article_text=None)",
        "_call_llm": "(self, /, text)",
        "_extract_force": "(self, /, result, article_text=None)",
        "_get_first_force": "(self, /, result)",
        "_review_with_article": "(self, /, article_text)",
        "_find_paths": "(self, /, graph_data)",
        "_dfs": "(self, /, node_id, current_path, visited, outgoing, end_nodes, node_map, all_paths)",
        "_edge_to_path_edge": "(self, /, edge, node_map, next_node)",
        "_build_graph": "(self, /, graph_data)",
        "_build_node_map": "(self, /, nodes)",
        "_build_adjacency": "(self, /, edges, from_key, to_key)",
        "_get_start_nodes": "(self, /, outgoing, incoming)",
        "_get_end_nodes": "(self, /, outgoing, incoming)",
        "_format_graph_data": "(self, /, graph_data, paths)",
        "_append_start_end": "(self, /, lines, start_nodes, end_nodes, node_map)",
        "_append_paths": "(self, /, lines, paths)",
        "_format_edge_line": "(self, /, edge)",
    },
}


@pytest.mark.parametrize("cls", list(SIGNATURES), ids=lambda cls: cls.__name__)
def test_class_shape(cls):
    assert cls.__bases__ == (object,)
    assert cls.__module__ == f"kestor.tavi.extractor.{cls.__module__.rsplit('.', 1)[1]}"
    assert cls.__qualname__ == cls.__name__
    # Operations in the order the class declares them, and each with its real parameters.
    declared = [name for name in vars(cls) if name in SIGNATURES[cls]]
    assert declared == list(SIGNATURES[cls])
    assert {name: str(inspect.signature(getattr(cls, name))) for name in declared} == SIGNATURES[cls]
    assert str(inspect.signature(cls)) == SIGNATURES[cls]["__init__"].replace("self, /, ", "(").replace("((", "(")


def test_module_function_signature():
    assert str(inspect.signature(to_langextract_examples)) == "(examples)"
