"""The force extractor in plain Python: the reference that the native `force` module is measured and tested against.

It is written the way a Python developer would write it (recursive walk, dictionaries and lists, f-strings) and
behaves as the native class does, down to argument checks, exception types, log records and key order. Being a
reference, it is deliberately not optimised: the benchmarks compare the native module with exactly this code.
"""

from __future__ import annotations

import logging
import time
from typing import Any

import langextract as lx

from kestor.tavi.extractor.samplar import PromptExample, to_langextract_examples

logger = logging.getLogger(__name__)

DEFAULT_FORCE = "中等"
REVIEWED_FORCE = "特别剧烈"


def _check(value: Any, expected: type, name: str) -> None:
    # Exact types only: the native module refuses subclasses and None alike.
    if type(value) is not expected:
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type(value).__name__})"
        )


def _is_number(value: Any) -> bool:
    # What the C number protocol calls a number: a type with an int, index or float slot, or a complex.
    # int() alone would also parse str, bytes and bytearray, which must be refused.
    kind = type(value)
    return (
        hasattr(kind, "__index__")
        or hasattr(kind, "__int__")
        or hasattr(kind, "__float__")
        or isinstance(value, complex)
    )


def _as_int(value: Any, name: str) -> int:
    if type(value) is int:
        return value
    if not _is_number(value):
        raise TypeError(f"Argument '{name}' has incorrect type (expected int, got {type(value).__name__})")
    return int(value)


class PlainForceExtractor:
    def __init__(
        self,
        config: dict[str, Any],
        prompt_description: str,
        examples: list[PromptExample],
        review_prompt_description: str,
        review_examples: list[PromptExample],
    ) -> None:
        _check(config, dict, "config")
        _check(prompt_description, str, "prompt_description")
        _check(examples, list, "examples")
        _check(review_prompt_description, str, "review_prompt_description")
        _check(review_examples, list, "review_examples")
        self.model = self._build_model(config)
        self.prompt_description = prompt_description
        self.examples = to_langextract_examples(examples)
        self.review_prompt_description = review_prompt_description
        self.review_examples = to_langextract_examples(review_examples)

    @staticmethod
    def _build_model(config: dict[str, Any]) -> Any:
        _check(config, dict, "config")
        # Imported here so that a missing provider fails construction, not import of this module.
        from langextract.providers.openai import OpenAILanguageModel

        return OpenAILanguageModel(
            model_id=config["model"],
            api_key=config["api_key"],
            base_url=config["base_url"],
            temperature=config.get("temperature", 0.0),
        )

    def predict(self, graph_data: dict[str, Any], article_text: str | None = None) -> str:
        _check(graph_data, dict, "graph_data")
        if article_text is not None:
            _check(article_text, str, "article_text")
        total_start = time.time()
        try:
            paths = self._find_paths(graph_data)
            logger.info("Find paths cost: %.2fs, paths count: %d", time.time() - total_start, len(paths))
            if not paths:
                return DEFAULT_FORCE
            text = self._format_graph_data(graph_data, paths)
            logger.debug("Graph text: %s", text)
            result = self._call_llm(text)
        except Exception as e:
            logger.exception("Failed to analyze force with langextract: %s", e)
            return DEFAULT_FORCE
        # Outside the guard on purpose: a malformed answer is the caller's problem, not a default force.
        force = self._extract_force(result, article_text)
        logger.info("Total predict cost: %.2fs, result: %s", time.time() - total_start, force)
        return force

    def _call_llm(self, text: str) -> Any:
        _check(text, str, "text")
        llm_start = time.time()
        result = lx.extract(
            text_or_documents=text,
            prompt_description=self.prompt_description,
            examples=self.examples,
            model=self.model,
            use_schema_constraints=False,
            fence_output=True,
            fetch_urls=False,
            prompt_validation_level=lx.prompt_validation.PromptValidationLevel.OFF,
        )
        logger.info("LLM extract cost: %.2fs", time.time() - llm_start)
        return result

    def _extract_force(self, result: Any, article_text: str | None = None) -> str:
        if article_text is not None:
            _check(article_text, str, "article_text")
        final_force = self._get_first_force(result)
        if not final_force:
            return DEFAULT_FORCE
        if final_force == REVIEWED_FORCE and article_text:
            return self._review_with_article(article_text)
        return final_force

    def _get_first_force(self, result: Any) -> str:
        for extraction in result.extractions or []:
            attributes = extraction.attributes or {}
            force = attributes.get("final_force", "")
            if force:
                return str(force)
        return ""

    def _review_with_article(self, article_text: str) -> str:
        _check(article_text, str, "article_text")
        logger.info("Starting force review with article text")
        review_start = time.time()
        try:
            result = lx.extract(
                text_or_documents=article_text,
                prompt_description=self.review_prompt_description,
                examples=self.review_examples,
                model=self.model,
                use_schema_constraints=False,
                fence_output=True,
                fetch_urls=False,
                prompt_validation_level=lx.prompt_validation.PromptValidationLevel.OFF,
            )
        except Exception as e:
            # A failed review keeps the first answer rather than dropping to the default.
            logger.exception("Failed to review force with article: %s", e)
            return REVIEWED_FORCE
        for extraction in result.extractions or []:
            attributes = extraction.attributes or {}
            final_force = attributes.get("final_force", "")
            if final_force:
                review_cost = time.time() - review_start
                logger.info("Review cost: %.2fs, review result: %s", review_cost, final_force)
                return str(final_force)
        return REVIEWED_FORCE

    # Path search

    def _find_paths(self, graph_data: dict[str, Any]) -> list[list[dict[str, Any]]]:
        _check(graph_data, dict, "graph_data")
        # Decided before the build, so a graph without edges never has its "nodes" looked at.
        if not graph_data.get("edges", []):
            return []
        node_map, outgoing, _incoming, start_nodes, end_nodes = self._build_graph(graph_data)
        all_paths: list[list[dict[str, Any]]] = []
        for start in start_nodes:
            self._dfs(start, [], {start}, outgoing, end_nodes, node_map, all_paths)
        return all_paths

    def _dfs(
        self,
        node_id: int,
        current_path: list[dict[str, Any]],
        visited: set[int],
        outgoing: dict[int, list[dict[str, Any]]],
        end_nodes: list[int],
        node_map: dict[int, str],
        all_paths: list[list[dict[str, Any]]],
    ) -> None:
        node_id = _as_int(node_id, "node_id")
        _check(current_path, list, "current_path")
        _check(visited, set, "visited")
        _check(outgoing, dict, "outgoing")
        _check(end_nodes, list, "end_nodes")
        _check(node_map, dict, "node_map")
        _check(all_paths, list, "all_paths")
        if node_id in end_nodes:
            all_paths.append(list(current_path))
            return
        for edge in outgoing.get(node_id, []):
            next_node = edge.get("dest_node", {}).get("id")
            if next_node is None or next_node in visited:
                continue
            visited.add(next_node)
            current_path.append(self._edge_to_path_edge(edge, node_map, next_node))
            self._dfs(next_node, current_path, visited, outgoing, end_nodes, node_map, all_paths)
            current_path.pop()
            visited.remove(next_node)

    def _edge_to_path_edge(self, edge: dict[str, Any], node_map: dict[int, str], next_node: int) -> dict[str, Any]:
        _check(edge, dict, "edge")
        _check(node_map, dict, "node_map")
        next_node = _as_int(next_node, "next_node")
        src_id = edge.get("src_node", {}).get("id")
        return {
            "source": node_map.get(src_id, ""),
            "target": node_map.get(next_node, ""),
            "strength": edge.get("meta", {}).get("strength"),
        }

    # Graph model

    def _build_graph(self, graph_data: dict[str, Any]) -> tuple[Any, ...]:
        _check(graph_data, dict, "graph_data")
        nodes = graph_data.get("nodes", [])
        edges = graph_data.get("edges", [])
        node_map = self._build_node_map(nodes)
        outgoing = self._build_adjacency(edges, "src_node", "dest_node")
        incoming = self._build_adjacency(edges, "dest_node", "src_node")
        start_nodes = self._get_start_nodes(outgoing, incoming)
        end_nodes = self._get_end_nodes(outgoing, incoming)
        if not start_nodes or not end_nodes:
            # Every node sits on a cycle at one end or the other: start from the first kept edge instead.
            start_nodes = [next(iter(outgoing))] if outgoing else []
            end_nodes = [next(iter(incoming))] if incoming else []
        return node_map, outgoing, incoming, start_nodes, end_nodes

    def _build_node_map(self, nodes: list[dict[str, Any]]) -> dict[int, str]:
        _check(nodes, list, "nodes")
        node_map: dict[int, str] = {}
        for node in nodes:
            node_id = node.get("id")
            if node_id is None:
                continue
            node_map[node_id] = node.get("name", "")
        return node_map

    def _build_adjacency(
        self, edges: list[dict[str, Any]], from_key: str, to_key: str
    ) -> dict[int, list[dict[str, Any]]]:
        _check(edges, list, "edges")
        _check(from_key, str, "from_key")
        _check(to_key, str, "to_key")
        adjacency: dict[int, list[dict[str, Any]]] = {}
        for edge in edges:
            src_id = edge.get(from_key, {}).get("id")
            dest_id = edge.get(to_key, {}).get("id")
            if src_id is None or dest_id is None:
                continue
            if src_id not in adjacency:
                adjacency[src_id] = []
            adjacency[src_id].append(edge)
        return adjacency

    def _get_start_nodes(self, outgoing: dict[int, list[Any]], incoming: dict[int, list[Any]]) -> list[int]:
        _check(outgoing, dict, "outgoing")
        _check(incoming, dict, "incoming")
        return [node for node in outgoing if node not in incoming]

    def _get_end_nodes(self, outgoing: dict[int, list[Any]], incoming: dict[int, list[Any]]) -> list[int]:
        _check(outgoing, dict, "outgoing")
        _check(incoming, dict, "incoming")
        return [node for node in incoming if node not in outgoing]

    # Graph text

    def _format_graph_data(self, graph_data: dict[str, Any], paths: list[list[dict[str, Any]]]) -> str:
        _check(graph_data, dict, "graph_data")
        _check(paths, list, "paths")
        lines = ["图谱数据:"]
        nodes = graph_data.get("nodes", [])
        node_map = self._build_node_map(nodes)
        _, _, _, start_nodes, end_nodes = self._build_graph(graph_data)
        self._append_start_end(lines, start_nodes, end_nodes, node_map)
        self._append_paths(lines, paths)
        return "\n".join(lines)

    def _append_start_end(
        self, lines: list[str], start_nodes: list[int], end_nodes: list[int], node_map: dict[int, str]
    ) -> None:
        _check(lines, list, "lines")
        _check(start_nodes, list, "start_nodes")
        _check(end_nodes, list, "end_nodes")
        _check(node_map, dict, "node_map")
        if start_nodes:
            lines.append(f"起点: {node_map.get(start_nodes[0], '')!s}")
        if end_nodes:
            lines.append(f"终点: {node_map.get(end_nodes[0], '')!s}")

    def _append_paths(self, lines: list[str], paths: list[list[dict[str, Any]]]) -> None:
        _check(lines, list, "lines")
        _check(paths, list, "paths")
        if not paths:
            return
        lines.append("")
        for number, path in enumerate(paths, 1):
            lines.append(f"路径{number}:")
            for edge in path:
                lines.append(self._format_edge_line(edge))

    def _format_edge_line(self, edge: dict[str, Any]) -> str:
        _check(edge, dict, "edge")
        source = edge.get("source", "")
        target = edge.get("target", "")
        strength = edge.get("strength")
        # Only None hides the strength: 0, False and "" are still printed.
        if strength is not None:
            return f"  {source!s} -> {target!s}({strength!s})"
        return f"  {source!s} -> {target!s}"
