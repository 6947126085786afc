"""top-events.png: the subgraph of the events of highest degree (of the classes, in a graph of classes), laid out as
`layout` lays out a graph and drawn with networkx and matplotlib.

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

from ..events import NodeKind
from ..inputs import counted
from .layout import lay_out
from .view import TABLES, View

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
# More edges among 40 events than this make a tangle in which no single edge can be followed.
MAX_EDGES = 120
# A character of every Chinese label: a font without it draws none of them.
_PROBE = "事"


@dataclass(frozen=True)
class Picture:
    nodes: int
    font: str | None
    warning: str | None
    kind: NodeKind = NodeKind.EVENT


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


def draw_top_events(view: View, path: Path, top: int = TOP) -> Picture:
    """The picture of the `top` nodes of highest degree of the view's level."""
    import matplotlib
    import networkx as nx
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.font_manager import FontProperties

    kind = view.level
    degrees = view.degrees()
    degree = {node: into + out for node, (into, out) in degrees.items()}
    chosen = heapq.nsmallest(top, degree, key=lambda node: (-degree[node], node))
    nodes, edges = TABLES[kind]
    among = [
        (source, target, count)
        for source, target, count in view.connection.execute(
            f"""
            SELECT source, target, count FROM {edges}
            WHERE source IN (SELECT unnest(?)) AND target IN (SELECT unnest(?)) AND source <> target ORDER BY seq
            """,
            [chosen, chosen],
        ).fetchall()
    ]
    drawn = edges_drawn(among)
    # Laid out by every edge between them, so that the events spread as their links do; the heaviest are drawn.
    place = {node: number for number, node in enumerate(chosen)}
    laid = lay_out(len(chosen), [(place[source], place[target]) for source, target, _ in among])
    position = {node: (laid.x[place[node]], laid.y[place[node]]) for node in chosen}
    graph = nx.DiGraph()
    graph.add_nodes_from(chosen)
    graph.add_edges_from((among[edge][0], among[edge][1], {"count": among[edge][2]}) for edge in drawn)
    names = dict(
        view.connection.execute(f"SELECT id, name FROM {nodes} WHERE id IN (SELECT unnest(?))", [chosen]).fetchall()
    )
    labels = {node: _short(names[node]) for node in chosen}

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
    figure.suptitle(
        _title(view, len(chosen), len(degree)), fontproperties=FontProperties(family=families, size=14), y=0.975
    )
    figure.text(
        0.5,
        0.925,
        "node size: degree in the whole graph; edge width: relations counted; arrows from cause to effect"
        + (
            f"; the {len(drawn)} edges of most relations of the {len(among):,} between them"
            if len(drawn) != len(among)
            else ""
        ),
        ha="center",
        fontproperties=FontProperties(family=families, size=10),
        color="#555555",
    )
    # The missing glyphs were named above, once, instead of a warning per character and label.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if chosen:
            _draw(nx, axes, position, graph, labels, font, {node: degree[node] for node in chosen})
        else:
            axes.text(0.5, 0.5, f"no {kind.plural}: the lines read hold no relations", ha="center", fontproperties=font)
        figure.savefig(path)
    return Picture(len(chosen), found[0] if found else None, warning, kind)


def edges_drawn(among: list[tuple[int, int, int]]) -> list[int]:
    """Of the edges among the events shown ((source, target, count), by their places in `among`), the MAX_EDGES of
    most relations, and past them each event's heaviest edge to another event shown: an event linked to the others
    never stands alone in the picture."""
    heaviest = sorted(range(len(among)), key=lambda edge: (-among[edge][2], edge))
    drawn = heaviest[:MAX_EDGES]
    linked = {node for edge in drawn for node in among[edge][:2]}
    for edge in heaviest[MAX_EDGES:]:
        ends = among[edge][:2]
        if not linked.issuperset(ends):
            drawn.append(edge)
            linked.update(ends)
    return sorted(drawn)


def _draw(
    nx: Any,
    axes: Any,
    position: dict[int, tuple[float, float]],
    graph: Any,
    labels: dict[int, str],
    font: Any,
    degree: dict[int, int],
) -> None:
    widest = max(degree.values()) or 1
    sizes = {node: 400 + 1400 * degree[node] / widest for node in graph}
    most = max((data["count"] for _, _, data in graph.edges(data=True)), default=1)
    widths = [0.8 + 6 * math.sqrt(data["count"] / most) for _, _, data in graph.edges(data=True)]
    nodes = nx.draw_networkx_nodes(
        graph,
        position,
        ax=axes,
        node_size=[sizes[node] for node in graph],
        node_color="#f2b872",
        edgecolors="#b5762c",
    )
    nodes.set_zorder(1)
    # Above the labels: an arrowhead that ends where a label is stays in sight.
    arrows = nx.draw_networkx_edges(
        graph,
        position,
        ax=axes,
        width=widths,
        edge_color="#52677d",
        alpha=0.8,
        arrowsize=16,
        node_size=[sizes[node] for node in graph],
        connectionstyle="arc3,rad=0.08",
    )
    for arrow in arrows:
        arrow.set_zorder(3)
    for node, (x, y) in position.items():
        away = math.sqrt(sizes[node]) / 2 + 2
        (dx, dy), ha, va = _label_side(node, graph, position)
        axes.annotate(
            labels[node],
            (x, y),
            xytext=(dx * away, dy * away),
            textcoords="offset points",
            fontproperties=font,
            ha=ha,
            va=va,
            zorder=2,
            bbox={"boxstyle": "round,pad=0.2", "facecolor": "white", "edgecolor": "none", "alpha": 0.75},
        )
    axes.margins(0.06)


# Where a name may go beside its event: (direction, horizontal and vertical alignment), under it first.
_SIDES = (
    ((0, -1), "center", "top"),
    ((0, 1), "center", "bottom"),
    ((-1, 0), "right", "center"),
    ((1, 0), "left", "center"),
)


def _label_side(node: int, graph: Any, position: dict[int, tuple[float, float]]) -> tuple[tuple[int, int], str, str]:
    """The side of an event that its edges leave free, for its name: not over it, where the edges end. A name is
    wider than it is tall and would meet the next component's, so it goes under its event, else above, where no edge
    leaves within 45 degrees of that side; beside it only where both are taken, and then on the freest side."""
    x, y = position[node]
    directions = []
    for other in {*graph.successors(node), *graph.predecessors(node)} - {node}:
        ox, oy = position[other]
        length = math.hypot(ox - x, oy - y) or 1.0
        directions.append(((ox - x) / length, (oy - y) / length))

    def nearest(side: tuple[tuple[int, int], str, str]) -> float:
        (dx, dy), _, _ = side
        return max((dx * ex + dy * ey for ex, ey in directions), default=-1.0)

    free = [side for side in _SIDES if nearest(side) < math.sqrt(0.5)]
    return free[0] if free else min(_SIDES, key=nearest)


def _short(name: str) -> str:
    return name if len(name) <= LABEL_LENGTH else name[: LABEL_LENGTH - 1] + "…"


def _title(view: View, shown: int, nodes: int) -> str:
    figures = view.figures()
    read = counted(figures["articles"], "text" if figures["mode"] == "causara" else "article")
    return (
        f"The {shown} {view.level.plural} of highest degree, of {view.level.counted(nodes)} and "
        f"{counted(view.edge_count(view.level), 'edge')} from {read}"
    )


def check_drawing_tools() -> str | None:
    """What the picture needs that is not installed."""
    missing = []
    for module in ("networkx", "matplotlib", "igraph"):
        try:
            __import__(module)
        except ImportError:
            missing.append(module)
    return " and ".join(missing) or None


def picture_summary(picture: Picture) -> dict[str, Any]:
    return {
        "file": "top-events.png",
        picture.kind.plural: picture.nodes,
        "font": picture.font,
        "warning": picture.warning,
    }
