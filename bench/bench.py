"""Native force extractor against its plain-Python reference (and networkx/rustworkx for path search).

Run by `make bench`; `--quick` does a short smoke run (fewer repeats and sizes, a chain of 100,000 nodes instead of
1,000,000). `--baseline DIR` also runs the thread row against an earlier build installed in DIR (a directory that
holds its `kestor` package), side by side.

Every time is the best of repeated runs measured with time.perf_counter, with the cyclic garbage collector on, as
users run: a full collection before each sample starts every implementation from the same heap. Where the
collector's share matters, the same call with the collector paused stands beside it. Deep-chain, thread and memory
measurements run in fresh subprocesses: a crash there is reported instead of ending the run, and each process
starts from the same empty heap. The scaling plot is written to build/bench/paths-scaling.png.
"""

from __future__ import annotations

import argparse
import gc
import json
import logging
import os
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from types import SimpleNamespace
from typing import Any

# The offline configuration is shared with the tests.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

import graphs
import langextract as lx
import plain_force
from offline import OFFLINE_CONFIG
from plain_force import PlainForceExtractor

try:
    from kestor.tavi.extractor import force as native_force

    NATIVE_MISSING = ""
except ImportError as error:
    native_force = None  # type: ignore[assignment]
    NATIVE_MISSING = str(error)

MODEL_FORCE = "中等"
MODULE_LOGGERS = ("kestor.tavi.extractor.force", plain_force.logger.name)


def make(cls: type) -> Any:
    return cls(OFFLINE_CONFIG, "force prompt", [], "review prompt", [])


def native_class() -> type | None:
    return native_force.ForceExtractor if native_force is not None else None


# Timing


@dataclass
class Settings:
    budget: float  # seconds of measuring per implementation and row
    chain_nodes: int
    scaling_widths: tuple[int, ...]  # of the 4-layer DAGs of the scaling plot: width**4 paths each
    baseline: str = ""  # a directory holding an earlier build's `kestor` package, for the thread row


def best_time(stmt: str, namespace: dict[str, Any], budget: float, collector: bool = True) -> float:
    """Best seconds per execution of `stmt`, looping fast statements so one sample lasts a few milliseconds; with
    `collector` false, the garbage collector is paused while a sample runs."""
    code = compile(
        f"def _run(_n):\n    _t0 = _clock()\n    for _ in range(_n):\n        {stmt}\n    return _clock() - _t0\n",
        "<bench>",
        "exec",
    )
    scope = dict(namespace, _clock=time.perf_counter)
    exec(code, scope)
    run: Callable[[int], float] = scope["_run"]

    def sample(number: int) -> float:
        gc.collect()
        if collector:
            return run(number)
        gc.disable()
        try:
            return run(number)
        finally:
            gc.enable()

    first = sample(1)
    number = max(1, int(0.005 / first)) if first < 0.005 else 1
    per_sample = max(first, 1e-9) * number
    # A run slower than the whole budget is measured once: rows stay within a couple of seconds.
    repeats = max(0, min(50, int(budget / per_sample)))
    best = first
    for _ in range(repeats):
        best = min(best, sample(number) / number)
    return best


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "—"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


# Report


@dataclass
class Row:
    label: str
    native: str
    plain: str
    ratio: str = ""
    target: str = ""
    met: bool | None = None  # None: not judged (no native module, or nothing to judge)
    note: str = ""
    section: str = ""


class Report:
    def __init__(self) -> None:
        self.rows: list[Row] = []
        self.current = ""

    def section(self, title: str, short: str) -> None:
        self.current = short
        print(f"\n{title}")
        print(f"  {'':34} {'native':>14} {'plain':>14} {'ratio':>10}  {'target':<22} result")

    def add(self, row: Row) -> None:
        row.section = self.current
        self.rows.append(row)
        verdict = {True: "met", False: "MISSED", None: "n/a" if row.target else ""}[row.met]
        print(
            f"  {row.label:<34} {row.native:>14} {row.plain:>14} {row.ratio:>10}  {row.target:<22} {verdict}"
            + (f"  ({row.note})" if row.note else "")
        )

    def speedup(self, label: str, native: float | None, plain: float | None, at_least: float, note: str = "") -> None:
        """A row whose target is the native code being `at_least` times faster than the plain one."""
        ratio = plain / native if native and plain else None
        self.add(
            Row(
                label,
                fmt_time(native),
                fmt_time(plain),
                f"{ratio:.1f}x" if ratio else "—",
                f"≥ {at_least:g}x faster",
                None if ratio is None else ratio >= at_least,
                note,
            )
        )

    def line(self, text: str) -> None:
        print(f"  {text}")

    def summary(self) -> None:
        judged = [row for row in self.rows if row.met is not None]
        missed = [f"{row.section}: {row.label}" for row in judged if not row.met]
        unjudged = sum(1 for row in self.rows if row.target and row.met is None)
        print(f"\nTargets: {len(judged) - len(missed)} met, {len(missed)} missed, {unjudged} not judged")
        for label in missed:
            print(f"  missed: {label}")


# Rows


SMALL_OPS = [
    ("_build_graph", "op(data)"),
    ("_build_node_map", "op(nodes)"),
    ("_build_adjacency", "op(edges, 'src_node', 'dest_node')"),
    ("_get_start_nodes", "op(outgoing, incoming)"),
    ("_get_end_nodes", "op(outgoing, incoming)"),
    ("_find_paths", "op(data)"),
    ("_dfs", "op(start, [], {start}, outgoing, end_nodes, node_map, found); found.clear()"),
    ("_edge_to_path_edge", "op(edge, node_map, next_node)"),
    ("_format_graph_data", "op(data, paths)"),
    ("_append_start_end", "op([], start_nodes, end_nodes, node_map)"),
    ("_append_paths", "op([], paths)"),
    ("_format_edge_line", "op(path_edge)"),
]


def small_graph_inputs() -> dict[str, Any]:
    data = graphs.small_graph()
    reference = make(PlainForceExtractor)
    node_map, outgoing, incoming, start_nodes, end_nodes = reference._build_graph(data)
    paths = reference._find_paths(data)
    edge = data["edges"][0]
    return dict(  # noqa: C408 - the names read as the operations' argument names
        data=data,
        nodes=data["nodes"],
        edges=data["edges"],
        node_map=node_map,
        outgoing=outgoing,
        incoming=incoming,
        start_nodes=start_nodes,
        end_nodes=end_nodes,
        start=start_nodes[0],
        found=[],
        edge=edge,
        next_node=edge["dest_node"]["id"],
        paths=paths,
        path_edge=paths[0][0],
    )


def time_both(
    extractors: dict[str, Any], name: str, stmt: str, inputs: dict[str, Any], budget: float
) -> dict[str, float | None]:
    return {
        kind: (best_time(stmt, dict(inputs, op=getattr(ext, name)), budget) if ext is not None else None)
        for kind, ext in extractors.items()
    }


def bench_small_graph(report: Report, extractors: dict[str, Any], settings: Settings) -> None:
    report.section("Small graph (8 nodes, 10 edges, 7 paths): each step", "small graph")
    inputs = small_graph_inputs()
    for name, stmt in SMALL_OPS:
        times = time_both(extractors, name, stmt, inputs, settings.budget)
        report.speedup(name, times["native"], times["plain"], 3)
    native, plain = extractors["native"], extractors["plain"]
    if native is not None:
        data = inputs["data"]
        paths = inputs["paths"]
        same = (
            native._build_graph(data) == plain._build_graph(data)
            and as_items(native._find_paths(data)) == as_items(plain._find_paths(data))
            and native._format_graph_data(data, paths) == plain._format_graph_data(data, paths)
        )
        report.line(f"graph model, paths and text identical to plain: {'yes' if same else 'NO'}")


def rustworkx_dag(data: dict[str, Any]) -> Any:
    import rustworkx as rx

    graph = rx.PyDiGraph()
    index = dict(
        zip(
            (node["id"] for node in data["nodes"]),
            graph.add_nodes_from([node["name"] for node in data["nodes"]]),
            strict=True,
        )
    )
    graph.add_edges_from_no_data([(index[e["src_node"]["id"]], index[e["dest_node"]["id"]]) for e in data["edges"]])
    return graph, index


def networkx_dag(data: dict[str, Any]) -> Any:
    import networkx as nx

    graph = nx.DiGraph()
    graph.add_nodes_from(node["id"] for node in data["nodes"])
    graph.add_edges_from((e["src_node"]["id"], e["dest_node"]["id"]) for e in data["edges"])
    return graph


def as_items(paths: list[list[dict[str, Any]]]) -> list[list[list[Any]]]:
    # Key order is part of the result, and dict equality alone would not see it.
    return [[list(edge.items()) for edge in path] for path in paths]


def name_sequences(paths: list[list[dict[str, Any]]]) -> set[tuple[Any, ...]]:
    return {tuple([path[0]["source"]] + [edge["target"] for edge in path]) for path in paths}


def object_floor(settings: Settings) -> str:
    """What the result of _find_paths on the DAG costs to create, whoever creates it: 211,110 three-key dicts (a
    dict display in a comprehension) and 100,000 lists of 6 (slices). rustworkx returns lists of ints only."""
    names = {"a": "甲", "b": "乙", "c": 0.5}
    dicts = best_time("[{'source': a, 'target': b, 'strength': c} for _ in range(211_110)]", names, settings.budget)
    pool = [{"source": "甲", "target": "乙", "strength": 0.5} for _ in range(600_000)]
    lists = best_time("[pool[i:i + 6] for i in range(0, 600_000, 6)]", {"pool": pool}, settings.budget)
    return f"{fmt_time(dicts)} for the path edges and {fmt_time(lists)} for the paths, {fmt_time(dicts + lists)} in all"


def bench_layered_dag(report: Report, extractors: dict[str, Any], settings: Settings) -> None:
    import networkx as nx
    import rustworkx as rx

    data = graphs.layered_dag()
    root, sink = data["nodes"][0]["id"], data["nodes"][-1]["id"]
    names = {node["id"]: node["name"] for node in data["nodes"]}
    rx_graph, rx_index = rustworkx_dag(data)
    nx_graph = networkx_dag(data)

    report.section("Layered DAG (root, 5 layers of 10, sink): path search and rendering", "layered DAG")
    times = time_both(extractors, "_find_paths", "op(data)", {"data": data}, settings.budget)
    rx_time = best_time(
        "rx_paths(g, a, b)",
        {"rx_paths": rx.all_simple_paths, "g": rx_graph, "a": rx_index[root], "b": rx_index[sink]},
        settings.budget,
    )
    nx_time = best_time(
        "list(nx_paths(g, a, b))",
        {"nx_paths": nx.all_simple_paths, "g": nx_graph, "a": root, "b": sink},
        settings.budget,
    )
    report.speedup("_find_paths", times["native"], times["plain"], 6)
    native = times["native"]
    if native is not None:
        paused = best_time(
            "op(data)", {"op": extractors["native"]._find_paths, "data": data}, settings.budget, collector=False
        )
        report.add(
            Row(
                "_find_paths, collector on vs paused",
                fmt_time(native),
                "",
                f"{native / paused:.2f}x",
                "≤ 1.3x paused",
                native <= 1.3 * paused,
                f"paused {fmt_time(paused)}",
            )
        )
    report.add(
        Row(
            "_find_paths vs rustworkx",
            fmt_time(native),
            "",
            f"{native / rx_time:.2f}x rx" if native else "—",
            "≤ 1.5x rustworkx time",
            None if native is None else native <= 1.5 * rx_time,
            f"rustworkx {fmt_time(rx_time)}, networkx {fmt_time(nx_time)}",
        )
    )
    report.line(f"the objects alone, made by the interpreter's fastest paths: {object_floor(settings)}")

    plain_paths = extractors["plain"]._find_paths(data)
    expected = {
        tuple(rx_graph[i] for i in path) for path in rx.all_simple_paths(rx_graph, rx_index[root], rx_index[sink])
    }
    found = {
        "plain": name_sequences(plain_paths),
        "networkx": {tuple(names[i] for i in path) for path in nx.all_simple_paths(nx_graph, root, sink)},
    }
    if extractors["native"] is not None:
        found["native"] = name_sequences(extractors["native"]._find_paths(data))
    distinct_edges = len({id(edge) for path in plain_paths for edge in path})
    report.line(
        f"paths: {len(plain_paths):,} of {sorted({len(p) for p in plain_paths})} edges, "
        f"{distinct_edges:,} distinct path edges; same node sequences as rustworkx: "
        + ", ".join(f"{kind} {'yes' if paths == expected else 'NO'}" for kind, paths in found.items())
    )

    inputs = {"data": data, "paths": plain_paths}
    times = time_both(extractors, "_format_graph_data", "op(data, paths)", inputs, settings.budget)
    report.speedup("_format_graph_data", times["native"], times["plain"], 8)
    if extractors["native"] is not None:
        same = extractors["native"]._format_graph_data(data, plain_paths) == extractors["plain"]._format_graph_data(
            data, plain_paths
        )
        report.line(f"graph text identical to plain: {'yes' if same else 'NO'}")


SCALING_LAYERS = 4
PLOT_PATH = Path(__file__).resolve().parent.parent / "build" / "bench" / "paths-scaling.png"


def bench_scaling(report: Report, extractors: dict[str, Any], settings: Settings) -> None:
    import networkx as nx
    import rustworkx as rx

    counts = [width**SCALING_LAYERS for width in settings.scaling_widths]
    report.section(
        f"Scaling: _find_paths on DAGs of {SCALING_LAYERS} layers, {counts[0]:,} to {counts[-1]:,} paths", "scaling"
    )
    series: dict[str, list[float | None]] = {"native": [], "plain": [], "networkx": [], "rustworkx": []}
    for width, count in zip(settings.scaling_widths, counts, strict=True):
        data = graphs.layered_dag(layers=SCALING_LAYERS, width=width)
        root, sink = data["nodes"][0]["id"], data["nodes"][-1]["id"]
        for kind in ("native", "plain"):
            extractor = extractors[kind]
            series[kind].append(
                None
                if extractor is None
                else best_time("op(data)", {"op": extractor._find_paths, "data": data}, settings.budget)
            )
        series["networkx"].append(
            best_time(
                "list(paths(g, a, b))",
                {"paths": nx.all_simple_paths, "g": networkx_dag(data), "a": root, "b": sink},
                settings.budget,
            )
        )
        rx_graph, rx_index = rustworkx_dag(data)
        series["rustworkx"].append(
            best_time(
                "paths(g, a, b)",
                {"paths": rx.all_simple_paths, "g": rx_graph, "a": rx_index[root], "b": rx_index[sink]},
                settings.budget,
            )
        )
        report.line(
            f"{count:>10,} paths: " + ", ".join(f"{kind} {fmt_time(times[-1])}" for kind, times in series.items())
        )
    report.line(f"plot: {write_plot(counts, series)}")


def write_plot(counts: list[int], series: dict[str, list[float | None]]) -> str:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "not written (matplotlib is not installed: it comes with the bench extra)"
    figure, axes = plt.subplots(figsize=(7, 4.5), dpi=120)
    for (kind, times), marker in zip(series.items(), "osD^", strict=False):
        points = [(count, time) for count, time in zip(counts, times, strict=True) if time is not None]
        if points:
            axes.plot(*zip(*points, strict=True), marker=marker, label=kind)
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("paths found")
    axes.set_ylabel("seconds per call (best, collector on)")
    axes.set_title(f"_find_paths on DAGs of {SCALING_LAYERS} layers (rustworkx returns node indices only)")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend()
    figure.tight_layout()
    PLOT_PATH.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(PLOT_PATH)
    plt.close(figure)
    return str(PLOT_PATH)


def bench_threads(report: Report, settings: Settings) -> None:
    n = settings.chain_nodes
    report.section(f"predict on the chain of {n:,} nodes beside a Python thread that loops (own process)", "threads")
    result = child("threads", str(n))
    if result.get("unavailable") or "crashed" in result:
        report.line(result.get("crashed", "native force module not available"))
        return
    baseline = child("threads", str(n), env={"PYTHONPATH": settings.baseline}) if settings.baseline else {}
    report.add(
        Row(
            "longest stall of the looping thread",
            fmt_time(result["stall"]),
            "",
            "",
            "≤ 50 ms",
            result["stall"] <= 0.05,
            f"baseline {fmt_time(baseline['stall'])}" if "stall" in baseline else "",
        )
    )
    report.add(
        Row(
            "its rate while predict runs",
            f"{result['rate']:.0%}",
            "",
            "",
            "≥ 40% of its solo rate",
            result["rate"] >= 0.4,
            f"baseline {baseline['rate']:.0%}" if "rate" in baseline else "",
        )
    )
    beside, solo = result["beside"], result["solo"]
    if "beside" in baseline:
        ratio = beside / baseline["beside"]
        report.add(
            Row(
                "predict beside the looper",
                fmt_time(beside),
                "",
                f"{ratio:.2f}x base",
                "≤ 1.2x the baseline",
                ratio <= 1.2,
                f"baseline {fmt_time(baseline['beside'])} from {baseline['module']}; solo {fmt_time(solo)}",
            )
        )
    else:
        report.add(
            Row(
                "predict beside the looper",
                fmt_time(beside),
                "",
                f"{beside / solo:.2f}x solo",
                "≤ 1.2x the baseline",
                None,
                f"solo {fmt_time(solo)}; --baseline DIR judges it",
            )
        )


class Recorder(logging.Handler):
    """Keeps error records so a fallback can be reported without printing its traceback."""

    def __init__(self) -> None:
        super().__init__(logging.ERROR)
        self.records: list[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)


class InstantService:
    """Stands in for lx.extract: answers at once with the force MODEL_FORCE and counts the calls."""

    def __init__(self) -> None:
        self.calls = 0
        self.answer = SimpleNamespace(extractions=[SimpleNamespace(attributes={"final_force": MODEL_FORCE})])

    def __call__(self, **kwargs: Any) -> Any:
        self.calls += 1
        return self.answer


def quiet_loggers() -> Recorder:
    # Info and debug records would make the timings measure logging; errors are kept to report fallbacks.
    recorder = Recorder()
    for name in MODULE_LOGGERS:
        logger = logging.getLogger(name)
        logger.setLevel(logging.WARNING)
        logger.addHandler(recorder)
        logger.propagate = False
    return recorder


def bench_predict(report: Report, extractors: dict[str, Any], settings: Settings) -> None:
    report.section("predict, with the service answering at once", "predict")
    for label, data, target in (("small graph", graphs.small_graph(), 5), ("layered DAG", graphs.layered_dag(), 15)):
        times = time_both(extractors, "predict", "op(data)", {"data": data}, settings.budget)
        report.speedup(f"predict, {label}", times["native"], times["plain"], target)
    cls = native_class()
    if cls is not None:

        class EdgeLineOverride(cls):  # type: ignore[misc,valid-type]
            def _format_edge_line(self, path_edge: dict[str, Any]) -> Any:
                return super()._format_edge_line(path_edge)

        # What README quotes as the price of overriding a step that the native road covers.
        data = graphs.layered_dag(layers=3, width=10)
        native = best_time("op(data)", {"op": extractors["native"].predict, "data": data}, settings.budget)
        overridden = best_time("op(data)", {"op": make(EdgeLineOverride).predict, "data": data}, settings.budget)
        report.line(
            f"predict, DAG of 3 layers of 10 (1,000 paths): {fmt_time(native)}, with _format_edge_line "
            f"overridden {fmt_time(overridden)} ({overridden / native:.0f}x)"
        )


def outcome(result: dict[str, Any]) -> str:
    force = result["force"]
    text = (
        f"{force} after {fmt_time(result['seconds'])}"
        if force.startswith("raised ")
        else f"returned {force!r} in {fmt_time(result['seconds'])}"
    )
    if result["errors"]:
        return f"{text}, fell back after {', '.join(result['errors'])}"
    return f"{text}, {'from the model' if result['service_calls'] else 'without asking the model'}"


def bench_chain(report: Report, settings: Settings) -> None:
    n = settings.chain_nodes
    report.section(f"Chain of {n:,} nodes (each implementation in its own process)", "chain")
    results = {kind: child("chain", kind, str(n), str(settings.budget)) for kind in ("plain", "native")}
    plain, native = results["plain"], results["native"]
    for kind, result in results.items():
        if result.get("unavailable"):
            report.line(f"{kind}: native force module not available")
        elif "crashed" in result:
            report.line(f"{kind}: {result['crashed']}")
        else:
            report.line(f"predict, {kind}: {outcome(result['predict'])}")
    build = plain.get("build_seconds")
    native_paths = native.get("find_paths_seconds")
    if "crashed" in native or "find_paths_error" in native:
        met: bool | None = False
    else:
        met = None if native_paths is None or build is None else native_paths < build
    report.add(
        Row(
            "_find_paths",
            native.get("find_paths_error") or fmt_time(native_paths),
            plain.get("find_paths_error") or fmt_time(plain.get("find_paths_seconds")),
            f"{native_paths / build:.2f}x data" if native_paths and build else "—",
            "< building the data",
            met,
            f"building the graph data in Python takes {fmt_time(build)}"
            + (f"; native {native['crashed']}" if "crashed" in native else ""),
        )
    )


def bench_dead_ends(report: Report, extractors: dict[str, Any], settings: Settings) -> None:
    starts, length = settings.chain_nodes // 500, settings.chain_nodes // 50
    report.section(f"Dead ends: {starts:,} start nodes into one chain of {length:,} events without an end", "dead ends")
    shape = {"build": graphs.fan_into_dead_end, "starts": starts, "length": length}
    build = best_time("build(starts, length)", shape, settings.budget)
    data = graphs.fan_into_dead_end(starts, length)
    cls = native_class()
    if cls is None:
        report.line("native force module not available")
        return

    class PathEdgeOverride(cls):  # type: ignore[misc, valid-type]
        def _edge_to_path_edge(self, edge: Any, node_map: Any, next_node: Any) -> Any:
            return super()._edge_to_path_edge(edge, node_map, next_node)

    walk = best_time("op(data)", {"op": extractors["native"]._find_paths, "data": data}, settings.budget)
    host = best_time("op(data)", {"op": make(PathEdgeOverride)._find_paths, "data": data}, settings.budget)
    report.add(
        Row(
            "_find_paths",
            fmt_time(walk),
            "—",
            f"{walk / build:.2f}x data",
            "< building the data",
            walk < build,
            f"building the graph data in Python takes {fmt_time(build)}; through host objects {fmt_time(host)}",
        )
    )


def bench_memory(report: Report) -> None:
    report.section("Peak memory of _find_paths on the layered DAG (peak RSS growth, each in a fresh process)", "memory")
    results = {kind: child("memory", kind) for kind in ("plain", "native")}
    native, plain = (results[kind].get("peak_growth_mib") for kind in ("native", "plain"))
    notes = [f"{kind} {result['crashed']}" for kind, result in results.items() if "crashed" in result]
    if results["native"].get("unavailable"):
        notes.append("native force module not available")
    if any(result.get("peak_reset") is False for result in results.values()):
        notes.append("could not reset the RSS high-water mark: growth may be understated")
    report.add(
        Row(
            "_find_paths",
            fmt_mib(native),
            fmt_mib(plain),
            f"{native / plain:.2f}x" if native is not None and plain else "—",
            "native ≤ plain",
            None if native is None or plain is None else native <= plain,
            "; ".join(notes),
        )
    )


def fmt_mib(value: float | None) -> str:
    return "—" if value is None else f"{value:.1f} MiB"


# Subprocess measurements


def child(*args: str, env: dict[str, str] | None = None) -> dict[str, Any]:
    process = subprocess.run(
        [sys.executable, str(Path(__file__).resolve()), "--child", *args],
        capture_output=True,
        text=True,
        timeout=900,
        env=dict(os.environ, **env) if env else None,
    )
    if process.returncode < 0:
        return {"crashed": f"crashed (signal {-process.returncode})"}
    if process.returncode != 0 or not process.stdout.strip():
        tail = process.stderr.strip().splitlines()[-1:] or ["no output"]
        return {"crashed": f"failed (exit {process.returncode}: {tail[0]})"}
    figures: dict[str, Any] = json.loads(process.stdout.strip().splitlines()[-1])
    return figures


def rss_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def reset_peak_rss() -> bool:
    # Writing 5 to clear_refs resets VmHWM (Linux 4.0+), so the peak seen afterwards belongs to the call alone.
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def child_memory(kind: str) -> dict[str, Any]:
    cls = PlainForceExtractor if kind == "plain" else native_class()
    if cls is None:
        return {"unavailable": True}
    extractor = make(cls)
    data = graphs.layered_dag()
    gc.collect()
    peak_reset = reset_peak_rss()
    baseline = rss_kib("VmRSS")
    paths = extractor._find_paths(data)
    peak = rss_kib("VmHWM")
    return {"peak_growth_mib": (peak - baseline) / 1024, "paths": len(paths), "peak_reset": peak_reset}


def child_chain(kind: str, n: str, budget: str) -> dict[str, Any]:
    cls = PlainForceExtractor if kind == "plain" else native_class()
    if cls is None:
        return {"unavailable": True}
    extractor = make(cls)
    result: dict[str, Any] = {}
    namespace = {"chain": graphs.chain, "n": int(n)}
    if kind == "plain":
        result["build_seconds"] = best_time("chain(n)", namespace, float(budget))
    data = graphs.chain(int(n))
    try:
        result["find_paths_seconds"] = best_time("op(data)", {"op": extractor._find_paths, "data": data}, float(budget))
    except Exception as error:  # the plain walk is expected to run out of recursion depth
        result["find_paths_error"] = type(error).__name__

    recorder = quiet_loggers()
    service = InstantService()
    lx.extract = service
    start = time.perf_counter()
    try:
        force = extractor.predict(data)
    except Exception as error:  # predict should never raise here; if it does, that is the finding to report
        force = f"raised {type(error).__name__}"
    result["predict"] = {
        "force": force,
        "seconds": time.perf_counter() - start,
        "service_calls": service.calls,
        "errors": [
            type(record.args[0]).__name__ if isinstance(record.args, tuple) and record.args else record.getMessage()
            for record in recorder.records
        ],
    }
    return result


def child_threads(n: str) -> dict[str, Any]:
    """Medians over five predict calls of what a looping Python thread sees: its longest stall and its rate
    against its rate with the main thread asleep; then predict's best time with and without the looper."""
    import statistics
    import threading

    cls = native_class()
    if cls is None:
        return {"unavailable": True}
    quiet_loggers()
    lx.extract = InstantService()
    extractor = make(cls)
    data = graphs.chain(int(n))
    extractor.predict(data)

    class Looper(threading.Thread):
        def __init__(self) -> None:
            super().__init__(daemon=True)
            self.running = True
            self.count = 0
            self.longest = 0.0

        def run(self) -> None:
            last = time.perf_counter()
            while self.running:
                self.count += 1
                now = time.perf_counter()
                self.longest = max(self.longest, now - last)
                last = now

    def timed() -> float:
        start = time.perf_counter()
        extractor.predict(data)
        return time.perf_counter() - start

    looper = Looper()
    looper.start()
    time.sleep(0.3)
    count, start = looper.count, time.perf_counter()
    time.sleep(1.0)
    solo_rate = (looper.count - count) / (time.perf_counter() - start)
    beside, rates, stalls = [], [], []
    for _ in range(5):
        looper.longest, count = 0.0, looper.count
        seconds = timed()
        beside.append(seconds)
        rates.append((looper.count - count) / seconds / solo_rate)
        stalls.append(looper.longest)
        time.sleep(0.05)
    looper.running = False
    looper.join()
    solo = min(timed() for _ in range(5))
    return {
        "beside": min(beside),
        "solo": solo,
        "rate": statistics.median(rates),
        "stall": statistics.median(stalls),
        "module": str(Path(native_force.__file__).parent),
    }


# Main


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="short smoke run")
    parser.add_argument(
        "--baseline",
        default="",
        metavar="DIR",
        help="a directory holding an earlier build's kestor package, for the thread row",
    )
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        task, *rest = args.child
        children: dict[str, Callable[..., Any]] = {
            "memory": child_memory,
            "chain": child_chain,
            "threads": child_threads,
        }
        print(json.dumps(children[task](*rest)))
        return

    if args.quick:
        settings = Settings(budget=0.05, chain_nodes=100_000, scaling_widths=(6, 10, 18), baseline=args.baseline)
    else:
        settings = Settings(
            budget=0.6, chain_nodes=1_000_000, scaling_widths=(6, 8, 10, 13, 18, 24, 32), baseline=args.baseline
        )
    cls = native_class()
    status = (
        "native force module loaded"
        if cls
        else (f"native force module not available ({NATIVE_MISSING}): plain and third-party timings only")
    )
    print(f"Python {sys.version.split()[0]}, {status}{', quick run' if args.quick else ''}")
    extractors = {"native": make(cls) if cls else None, "plain": make(PlainForceExtractor)}

    quiet_loggers()
    original_extract = lx.extract
    lx.extract = InstantService()
    report = Report()
    try:
        bench_small_graph(report, extractors, settings)
        bench_layered_dag(report, extractors, settings)
        bench_predict(report, extractors, settings)
        bench_scaling(report, extractors, settings)
    finally:
        lx.extract = original_extract
    bench_chain(report, settings)
    bench_dead_ends(report, extractors, settings)
    bench_threads(report, settings)
    bench_memory(report)
    report.summary()


if __name__ == "__main__":
    main()
