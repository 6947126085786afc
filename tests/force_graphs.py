"""Graph data for the force tests."""

from __future__ import annotations

from typing import Any

CONFIG = {"model": "m", "api_key": "k", "base_url": "http://127.0.0.1:9/v1"}


def edge(source: Any, target: Any, strength: Any = None, **extra: Any) -> dict[str, Any]:
    data: dict[str, Any] = {"src_node": {"id": source}, "dest_node": {"id": target}, **extra}
    if strength is not None:
        data["meta"] = {"strength": strength}
    return data


def graph(edges: list[tuple], names: dict[Any, Any] | None = None) -> dict[str, Any]:
    return {
        "nodes": [{"id": node, "name": name} for node, name in (names or {}).items()],
        "edges": [edge(*spec) for spec in edges],
    }


def step(source: Any, target: Any, strength: Any = None) -> dict[str, Any]:
    return {"source": source, "target": target, "strength": strength}


ABCD = {1: "A", 2: "B", 3: "C", 4: "D"}
# 1->2, 1->3 (0.3), 2->4 (0.8), 3->4, 2->3: three paths from A to D.
WORKED = graph([(1, 2), (1, 3, 0.3), (2, 4, 0.8), (3, 4), (2, 3)], ABCD)
WORKED_PATHS = [
    [step("A", "B"), step("B", "D", 0.8)],
    [step("A", "B"), step("B", "C"), step("C", "D")],
    [step("A", "C", 0.3), step("C", "D")],
]
WORKED_TEXT = "\n".join(
    [
        "图谱数据:",
        "起点: A",
        "终点: D",
        "",
        "路径1:",
        "  A -> B",
        "  B -> D(0.8)",
        "路径2:",
        "  A -> B",
        "  B -> C",
        "  C -> D",
        "路径3:",
        "  A -> C(0.3)",
        "  C -> D",
    ]
)


def chain(length: int) -> dict[str, Any]:
    return {
        "nodes": [{"id": i, "name": f"n{i}"} for i in range(length)],
        "edges": [{"src_node": {"id": i}, "dest_node": {"id": i + 1}} for i in range(length - 1)],
    }
