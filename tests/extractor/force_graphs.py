"""The worked graph of the force tests, its paths and its text."""

from __future__ import annotations

from typing import Any

from graphs import graph


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
