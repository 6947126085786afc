"""top-events.png: the subgraph of the events of highest degree, drawn with networkx and matplotlib.

The labels need a font that draws Chinese. The `corpus` extra installs one, Noto Sans SC, from the PyPI package
pylopdf-fonts-zh-cn; failing that, matplotlib's font manager is asked for a system one (Debian: fonts-noto-cjk or
fonts-wqy-zenhei). With none, the picture is still drawn, with a warning that says what to install, since its
Chinese labels then show as boxes.
"""

from __future__ import annotations

import heapq
import math
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .counts import Counts

TOP = 40
FONT_PACKAGE = "pylopdf-fonts-zh-cn"
SYSTEM_FAMILIES = (
    "Noto Sans CJK SC",
    "Noto Sans SC",
    "Source Han Sans SC",
    "WenQuanYi Zen Hei",
    "WenQuanYi Micro Hei",
    "Droid Sans Fallback",
    "AR PL UMing CN",
    "Noto Sans CJK JP",
)
INSTALL_FONT = f"pip install {FONT_PACKAGE} (the corpus extra brings it), or apt-get install fonts-noto-cjk"
LABEL_LENGTH = 16
# The drawing's width over its height.
ASPECT = 16 / 11
# More edges among 40 events than this make a tangle in which no single edge can be followed.
MAX_EDGES = 120
# A character of every Chinese label: a font without it draws none of them.
_PROBE = "事"


@dataclass(frozen=True)
class Picture:
    events: int
    font: str | None
    warning: str | None


def chinese_font() -> tuple[str, str] | None:
    """(family, file) of a font that draws Chinese, registered with matplotlib's font manager."""
    from matplotlib import font_manager

    try:
        import pylopdf_fonts_zh_cn

        packaged = Path(pylopdf_fonts_zh_cn.sans_path())
    except (ImportError, AttributeError):
        packaged = None
    families = list(SYSTEM_FAMILIES)
    if packaged is not None and packaged.is_file():
        if all(entry.fname != str(packaged) for entry in font_manager.fontManager.ttflist):
            font_manager.fontManager.addfont(str(packaged))
        families.insert(0, font_manager.FontProperties(fname=str(packaged)).get_name())
    for family in families:
        try:
            path = font_manager.findfont(font_manager.FontProperties(family=family), fallback_to_default=False)
        except ValueError:
            continue
        if ord(_PROBE) in _characters(path):
            return family, path
    return None


def _characters(path: str) -> set[int]:
    from matplotlib.ft2font import FT2Font

    try:
        return set(FT2Font(path).get_charmap())
    except (OSError, RuntimeError):
        return set()


def draw_top_events(counts: Counts, path: Path, top: int = TOP) -> Picture:
    import matplotlib
    import networkx as nx
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.font_manager import FontProperties

    into, out = counts.degrees()
    chosen = heapq.nsmallest(top, range(len(counts.names)), key=lambda node: (-(into[node] + out[node]), node))
    shown = set(chosen)
    among = [
        edge
        for edge, (source, target) in enumerate(zip(counts.sources, counts.targets, strict=True))
        if source in shown and target in shown and source != target
    ]
    drawn = sorted(heapq.nsmallest(MAX_EDGES, among, key=lambda edge: (-counts.count[edge], edge)))
    # Laid out by every edge between them, so that the events spread as their links do; the heaviest are drawn.
    # Undirected: the layout's forces, read from a directed graph's adjacency, pull one end of each edge only.
    layout = nx.Graph()
    layout.add_nodes_from(chosen)
    layout.add_edges_from((counts.sources[edge], counts.targets[edge]) for edge in among)
    graph = nx.DiGraph()
    graph.add_nodes_from(chosen)
    graph.add_edges_from((counts.sources[edge], counts.targets[edge], {"count": counts.count[edge]}) for edge in drawn)
    labels = {node: _short(counts.names[node]) for node in chosen}

    found = chinese_font()
    warning = None
    families = ["DejaVu Sans"]
    if found is None:
        warning = f"no font that draws Chinese was found, so the labels of {path.name} show boxes: {INSTALL_FONT}"
    else:
        families.insert(0, found[0])
        drawable = _characters(found[1]) | _characters(matplotlib.get_data_path() + "/fonts/ttf/DejaVuSans.ttf")
        missing = sorted({c for label in labels.values() for c in label if ord(c) not in drawable and c.isprintable()})
        if missing:
            warning = f"{found[0]} does not draw {''.join(missing[:20])!r}: those characters show as boxes"
    font = FontProperties(family=families, size=10)

    figure = Figure(figsize=(16, 11), dpi=110)
    FigureCanvasAgg(figure)
    axes = figure.add_axes((0.01, 0.01, 0.98, 0.9))
    axes.set_axis_off()
    figure.suptitle(_title(counts, len(chosen)), fontproperties=FontProperties(family=families, size=14), y=0.975)
    figure.text(
        0.5,
        0.925,
        "node size: degree in the whole graph; edge width: relations counted; arrows from cause to effect"
        + (f"; the {len(drawn)} edges of most relations of the {len(among):,} between them" if drawn != among else ""),
        ha="center",
        fontproperties=FontProperties(family=families, size=10),
        color="#555555",
    )
    # The missing glyphs were named above, once, instead of a warning per character and label.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if chosen:
            _draw(nx, axes, layout, graph, labels, font, {node: into[node] + out[node] for node in chosen})
        else:
            axes.text(0.5, 0.5, "no events: the lines read hold no relations", ha="center", fontproperties=font)
        figure.savefig(path)
    return Picture(len(chosen), found[0] if found else None, warning)


def _draw(
    nx: Any, axes: Any, layout: Any, graph: Any, labels: dict[int, str], font: Any, degree: dict[int, int]
) -> None:
    widest = max(degree.values()) or 1
    sizes = [400 + 1400 * degree[node] / widest for node in graph]
    position = _positions(nx, layout)
    most = max((data["count"] for _, _, data in graph.edges(data=True)), default=1)
    widths = [0.8 + 6 * math.sqrt(data["count"] / most) for _, _, data in graph.edges(data=True)]
    nx.draw_networkx_edges(
        graph,
        position,
        ax=axes,
        width=widths,
        edge_color="#7d8fa3",
        alpha=0.75,
        arrowsize=14,
        node_size=sizes,
        connectionstyle="arc3,rad=0.08",
    )
    nx.draw_networkx_nodes(graph, position, ax=axes, node_size=sizes, node_color="#f2b872", edgecolors="#b5762c")
    for node, (x, y) in position.items():
        axes.text(
            x,
            y,
            labels[node],
            fontproperties=font,
            ha="center",
            va="center",
            bbox={"boxstyle": "round,pad=0.25", "facecolor": "white", "edgecolor": "none", "alpha": 0.8},
        )
    axes.margins(0.08)


def _positions(nx: Any, layout: Any) -> dict[int, tuple[float, float]]:
    """Each connected component laid out on its own, in a square cell whose side grows with the root of its size,
    the cells in rows as wide as the figure's shape asks: laid out together, components drift to the corners and
    each is squeezed into a line."""
    components = sorted(nx.connected_components(layout), key=lambda nodes: (-len(nodes), min(nodes)))
    sides = [math.sqrt(len(nodes)) for nodes in components]
    row_width = max(max(sides, default=1.0), math.sqrt(sum(side * side for side in sides) * ASPECT))
    position: dict[int, tuple[float, float]] = {}
    x = y = row_height = 0.0
    for nodes, side in zip(components, sides, strict=True):
        if x > 0 and x + side > row_width + 1e-9:
            x, y, row_height = 0.0, y - row_height, 0.0
        centre = (x + side / 2, y - side / 2)
        if len(nodes) == 1:
            position[next(iter(nodes))] = centre
        else:
            laid = nx.spring_layout(layout.subgraph(nodes), seed=7, iterations=300, scale=side * 0.42, center=centre)
            position.update({node: (float(at[0]), float(at[1])) for node, at in laid.items()})
        x += side
        row_height = max(row_height, side)
    return position


def _short(name: str) -> str:
    return name if len(name) <= LABEL_LENGTH else name[: LABEL_LENGTH - 1] + "…"


def _title(counts: Counts, shown: int) -> str:
    return (
        f"The {shown} events of highest degree, of {len(counts.names):,} events and {len(counts.sources):,} edges "
        f"from {counts.articles:,} {'articles' if counts.mode != 'causara' else 'texts'}"
    )


def check_drawing_tools() -> str | None:
    """What the picture needs that is not installed."""
    missing = []
    for module in ("networkx", "matplotlib"):
        try:
            __import__(module)
        except ImportError:
            missing.append(module)
    return " and ".join(missing) or None


def picture_summary(picture: Picture) -> dict[str, Any]:
    return {"file": "top-events.png", "events": picture.events, "font": picture.font, "warning": picture.warning}
