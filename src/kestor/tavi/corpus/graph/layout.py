"""Positions for drawing the event graph: each connected component laid out on its own, then the components packed
apart in rows, so that no two components overlap and none reads as part of another.

A component of three events or more is laid out by igraph's Fruchterman-Reingold layout, which uses a grid for the
repulsion of a large component (linear per step, where networkx's spring layout is quadratic): 5,000 events and
20,000 edges lay out in about a second. Each component is then turned so that its long side lies along the x axis,
and scaled so that its median edge is one unit long; a pair is drawn from cause (left) to effect (right). The
layout is deterministic: the same graph gives the same positions.
"""

from __future__ import annotations

import contextlib
import math
import random
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any

# The drawing's width over its height, which the rows of components fill.
ASPECT = 16 / 10
# Space around each component, in units of its median edge.
GAP = 0.8
_SEED = 7


@dataclass(frozen=True)
class Layout:
    x: list[float]
    y: list[float]
    components: int


def lay_out(count: int, edges: Sequence[tuple[int, int]], *, aspect: float = ASPECT, gap: float = GAP) -> Layout:
    """Positions of nodes 0..count-1 joined by directed `edges` (loops and repeated edges allowed)."""
    import numpy as np

    groups = _components(count, edges)
    inner: list[list[tuple[int, int]]] = [[] for _ in groups]
    group_of = [0] * count
    for number, nodes in enumerate(groups):
        for node in nodes:
            group_of[node] = number
    for source, target in edges:
        if source != target:
            inner[group_of[source]].append((source, target))
    x = np.zeros(count)
    y = np.zeros(count)
    boxes = []
    with _seeded():
        for nodes, links in zip(groups, inner, strict=True):
            local = _component(nodes, links)
            boxes.append((nodes, local))
    # Largest first, each row as wide as the whole drawing's shape asks.
    sizes = [
        (local[:, 0].max() - local[:, 0].min() + gap, local[:, 1].max() - local[:, 1].min() + gap) for _, local in boxes
    ]
    area = sum(width * height for width, height in sizes)
    row_width = max(max((width for width, _ in sizes), default=1.0), math.sqrt(area * aspect))
    left = top = row_height = 0.0
    for (nodes, local), (width, height) in zip(boxes, sizes, strict=True):
        if left > 0 and left + width > row_width + 1e-9:
            left, top, row_height = 0.0, top - row_height, 0.0
        shift_x = left + gap / 2 - local[:, 0].min()
        shift_y = top - gap / 2 - local[:, 1].max()
        x[nodes] = local[:, 0] + shift_x
        y[nodes] = local[:, 1] + shift_y
        left += width
        row_height = max(row_height, height)
    return Layout([float(v) for v in x], [float(v) for v in y], len(groups))


def _components(count: int, edges: Sequence[tuple[int, int]]) -> list[list[int]]:
    """Weakly connected components, largest first (ties: by their first node), each in node order."""
    parent = list(range(count))

    def root(node: int) -> int:
        while parent[node] != node:
            parent[node] = parent[parent[node]]
            node = parent[node]
        return node

    for source, target in edges:
        a, b = root(source), root(target)
        if a != b:
            parent[max(a, b)] = min(a, b)
    members: dict[int, list[int]] = {}
    for node in range(count):
        members.setdefault(root(node), []).append(node)
    return sorted(members.values(), key=lambda nodes: (-len(nodes), nodes[0]))


def _component(nodes: list[int], links: list[tuple[int, int]]) -> Any:
    """Local positions of one component: long side along x, median edge one unit long."""
    import numpy as np

    if len(nodes) == 1:
        return np.zeros((1, 2))
    if len(nodes) == 2:
        # Drawn from cause to effect, left to right (a pair with edges both ways keeps the first's direction).
        first = links[0][0]
        return np.array([[0.0, 0.0], [1.0, 0.0]] if first == nodes[0] else [[1.0, 0.0], [0.0, 0.0]])
    import igraph

    index = {node: place for place, node in enumerate(nodes)}
    pairs = sorted({(min(index[s], index[t]), max(index[s], index[t])) for s, t in links})
    graph = igraph.Graph(n=len(nodes), edges=pairs, directed=False)
    local = np.array(graph.layout_fruchterman_reingold().coords, dtype=float)
    local -= local.mean(axis=0)
    # The principal axis along x: components are drawn in a wide frame, and labels are wider than they are tall.
    _, _, axes = np.linalg.svd(local, full_matrices=False)
    local = local @ axes.T
    # Causes on the left where most edges allow it: a chain reads as text does.
    forward = sum(local[index[t], 0] - local[index[s], 0] for s, t in links)
    if forward < 0:
        local[:, 0] = -local[:, 0]
    ends = np.array(pairs)
    lengths = np.hypot(*(local[ends[:, 0]] - local[ends[:, 1]]).T)
    median = float(np.median(lengths))
    return local / median if median > 0 else local


@contextlib.contextmanager
def _seeded() -> Iterator[None]:
    """igraph draws from one module-wide generator: a seeded one for the layout, the default one after."""
    import igraph

    igraph.set_random_number_generator(random.Random(_SEED))
    try:
        yield
    finally:
        igraph.set_random_number_generator(random)
