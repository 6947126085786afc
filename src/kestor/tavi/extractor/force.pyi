import logging
from typing import Any, TypedDict

import langextract as lx
from typing_extensions import disjoint_base

from .samplar import PromptExample as PromptExample
from .samplar import to_langextract_examples as to_langextract_examples

logger: logging.Logger

class _PathEdge(TypedDict):
    source: Any
    target: Any
    strength: Any

_Graph = tuple[dict[Any, Any], dict[Any, list[dict[str, Any]]], dict[Any, list[dict[str, Any]]], list[Any], list[Any]]

# Instances have a layout of their own: two extractor classes cannot be bases of one class.
@disjoint_base
class ForceExtractor:
    model: Any
    prompt_description: str
    examples: list[lx.data.ExampleData]
    review_prompt_description: str
    review_examples: list[lx.data.ExampleData]
    def __init__(
        self,
        config: dict[str, Any],
        prompt_description: str,
        examples: list[PromptExample],
        review_prompt_description: str,
        review_examples: list[PromptExample],
    ) -> None: ...
    @staticmethod
    def _build_model(config: dict[str, Any]) -> Any: ...
    def predict(self, graph_data: dict[str, Any], article_text: str | None = None) -> str: ...
    def _call_llm(self, text: str) -> Any: ...
    def _extract_force(self, result: Any, article_text: str | None = None) -> str: ...
    def _get_first_force(self, result: Any) -> str: ...
    def _review_with_article(self, article_text: str) -> str: ...
    def _find_paths(self, graph_data: dict[str, Any]) -> list[list[_PathEdge]]: ...
    def _dfs(
        self,
        node_id: int,
        current_path: list[_PathEdge],
        visited: set[Any],
        outgoing: dict[Any, list[dict[str, Any]]],
        end_nodes: list[Any],
        node_map: dict[Any, Any],
        all_paths: list[list[_PathEdge]],
    ) -> None: ...
    def _edge_to_path_edge(self, edge: dict[str, Any], node_map: dict[Any, Any], next_node: int) -> _PathEdge: ...
    def _build_graph(self, graph_data: dict[str, Any]) -> _Graph: ...
    def _build_node_map(self, nodes: list[dict[str, Any]]) -> dict[Any, Any]: ...
    def _build_adjacency(
        self, edges: list[dict[str, Any]], from_key: str, to_key: str
    ) -> dict[Any, list[dict[str, Any]]]: ...
    def _get_start_nodes(self, outgoing: dict[Any, Any], incoming: dict[Any, Any]) -> list[Any]: ...
    def _get_end_nodes(self, outgoing: dict[Any, Any], incoming: dict[Any, Any]) -> list[Any]: ...
    def _format_graph_data(self, graph_data: dict[str, Any], paths: list[list[_PathEdge]]) -> str: ...
    def _append_start_end(
        self, lines: list[str], start_nodes: list[Any], end_nodes: list[Any], node_map: dict[Any, Any]
    ) -> None: ...
    def _append_paths(self, lines: list[str], paths: list[list[_PathEdge]]) -> None: ...
    def _format_edge_line(self, edge: dict[str, Any]) -> str: ...
