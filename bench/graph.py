"""The event graph's merge over a synthetic articles output, on a local cluster of 2 worker processes; then the
store at the size of the largest published financial event logic graph.

Run by `make bench-graph`. First 100,000 articles x 5 relations over 20,000 event names (`--articles N` for another
size), written as the runner writes them, 100 lines per part file, 1% of them "failed". Event names are drawn with
a long tail, as in news, and one spelling in 20 carries blanks or sentence punctuation at its ends, which the merge
must see through. The figures: time and peak memory (maximum resident set) of the merge, in the driver (which also
runs the scheduler) and in each worker; then the time to write GRAPH_DIR (the store, GraphML, JSON, Parquet, the
picture) and to refuse a `--between` of two well-connected events. Target: the merge under 60 s and under 1 GiB in
each process. The merged graph is checked against what the generator knows: articles, relations, events and edges.

Then, in a process of its own, a store of 1,500,000 names and 1,800,000 edges (`--store-names`, `--store-edges`;
names as bench/merge_scale.py draws them, resolved at --merge similar); one day of 5,000 articles (3 relations
each, one name in 5 new) added to it with `graph update`; and each question (median of 10, cold: the store opened
for the question; warm: asked again of an open store), the store's size on disk and the process's peak memory;
last, that store served and its page's first draw in headless Chromium, measured as `make bench-page` measures it
(bench/served.py; median of 3 fresh browsers). Targets on 2 cores: the update under 30 s, every question under 1 s,
the peak under 4 GiB, the first draw under 3 s.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

import merge_scale
import served
from chromium import missing
from distributed import Client, LocalCluster

from kestor.tavi.corpus.events import NodeKind
from kestor.tavi.corpus.graph import between, export, merge
from kestor.tavi.corpus.graph.build import build_event_graph, update_event_graph
from kestor.tavi.corpus.graph.evidence import Evidence
from kestor.tavi.corpus.graph.query import Questions, Window
from kestor.tavi.corpus.graph.resolve import ResolveOptions
from kestor.tavi.corpus.graph.server import GraphServer
from kestor.tavi.corpus.graph.store import STORE, connect, create, writing
from kestor.tavi.corpus.graph.update import Run, add_runs
from kestor.tavi.corpus.modes import event_graph

ARTICLES = 100_000
RELATIONS = 5
PLACES = [f"{a}{b}" for a in "东西南北中上下前后左" for b in "江河湖海山川城乡港岛"]  # 100
HAPPENINGS = [f"{a}{b}" for a in "暴洪干寒热风雪冰雷沙" for b in "雨水旱潮浪灾害情况变"]  # 100
VARIANTS = ("{}。", " {}", "{}！", "{}，")
FORCES = ("轻微", "中等", "剧烈", "特别剧烈")
TARGET_SECONDS = 60.0
TARGET_BYTES = 1 << 30
WORKERS = 2
STORE_NAMES = 1_500_000
STORE_EDGES = 1_800_000
DAY_ARTICLES = 5_000
UPDATE_SECONDS = 30.0
QUESTION_SECONDS = 1.0
STORE_BYTES = 4 << 30
ASKED = 10


def names(count: int) -> list[str]:
    # A place and a happening, each pair once (for a place, the happenings run through all 100), then a number.
    return [f"{PLACES[i % 100]}{HAPPENINGS[(i // 100 + 37 * i) % 100]}{i // 10_000 or ''}" for i in range(count)]


def generate(out_dir: Path, articles: int, events: int, seed: int = 1) -> dict[str, int]:
    """The part files, and what they hold."""
    rng = random.Random(seed)
    pool = names(events)
    weights = [1 / (rank + 10) ** 0.9 for rank in range(events)]
    # The cumulative weights once: random.choices would add them up at every call.
    cumulative = list(itertools.accumulate(weights))
    failed = relations = 0
    out_dir.mkdir(parents=True, exist_ok=True)
    for part in range(0, articles, 100):
        lines = []
        for number in range(part, min(part + 100, articles)):
            if rng.random() < 0.01:
                failed += 1
                lines.append({"id": number, "status": "failed", "result": None, "attempts": 4, "error": "HTTP 503"})
                continue
            chosen = rng.choices(pool, cum_weights=cumulative, k=RELATIONS + 1)
            found = []
            for source, target in itertools.pairwise(chosen):
                if rng.random() < 0.05:
                    source = rng.choice(VARIANTS).format(source)
                found.append(
                    {
                        "source": source,
                        "source_meta": "",
                        "rel": "因果" if rng.random() < 0.9 else "导致",
                        "target": target,
                        "target_meta": "",
                        "strength": round(rng.uniform(0.3, 1.0), 2),
                        "strength_reason": "文中明言",
                    }
                )
            relations += len(found)
            result = {"relations": found, "graph": event_graph(found), "force": rng.choice(FORCES)}
            lines.append({"id": number, "status": "ok", "result": result, "attempts": 2, "error": None})
        text = "".join(json.dumps(line, ensure_ascii=False) + "\n" for line in lines)
        (out_dir / f"part-{part // 100:05d}.jsonl").write_text(text, encoding="utf-8")
    return {"articles": articles - failed, "failed": failed, "relations": relations}


def peak_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def merge_on_two_workers(out_dir: Path) -> tuple[Evidence, dict[str, Any]]:
    started = time.perf_counter()
    with (
        LocalCluster(  # type: ignore[no-untyped-call]
            n_workers=WORKERS, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        Client(cluster) as client,  # type: ignore[no-untyped-call]
    ):
        client.wait_for_workers(WORKERS)
        start_up = time.perf_counter() - started
        driver_before = peak_bytes()
        began = time.perf_counter()
        merged = merge.merge_on_cluster(client, merge.part_files(out_dir))
        seconds = time.perf_counter() - began
        workers = client.run(peak_bytes)
    return merged, {
        "start_up": start_up,
        "seconds": seconds,
        "driver_before": driver_before,
        "driver": peak_bytes(),
        "workers": sorted(workers.values()),
    }


def mib(value: int) -> str:
    return f"{value / (1 << 20):,.0f} MiB"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--articles", type=int, default=ARTICLES, help=f"articles ({ARTICLES:,})")
    parser.add_argument("--events", type=int, default=20_000, help="distinct event names (20,000)")
    parser.add_argument("--store-names", type=int, default=STORE_NAMES, help=f"the store's names ({STORE_NAMES:,})")
    parser.add_argument("--store-edges", type=int, default=STORE_EDGES, help=f"the store's edges ({STORE_EDGES:,})")
    parser.add_argument("--store-only", action="store_true", help="the store alone, not the merge before it")
    parser.add_argument("--generate", type=Path, help=argparse.SUPPRESS)
    parser.add_argument("--store-json", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.generate:
        print(json.dumps(generate(args.generate, args.articles, args.events)))
        return 0
    if args.store_json:
        with tempfile.TemporaryDirectory(prefix="bench-store-") as scratch:
            print(json.dumps(measure_store(args.store_names, args.store_edges, Path(scratch))))
        return 0
    if args.store_only:
        return 1 if store_scale(args.store_names, args.store_edges) else 0
    print(
        f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs; {args.articles:,} articles x {RELATIONS} relations "
        f"over {args.events:,} event names; {WORKERS} workers x 1 thread"
    )
    with tempfile.TemporaryDirectory(prefix="bench-graph-") as scratch:
        out_dir = Path(scratch) / "out"
        began = time.perf_counter()
        # In a process of its own, so that the driver's peak below is the merge's.
        made = json.loads(
            subprocess.run(
                [
                    sys.executable,
                    __file__,
                    "--generate",
                    str(out_dir),
                    "--articles",
                    str(args.articles),
                    "--events",
                    str(args.events),
                ],
                check=True,
                capture_output=True,
                text=True,
            ).stdout
        )
        size = sum(path.stat().st_size for path in out_dir.iterdir())
        print(
            f"generated {len(list(out_dir.iterdir())):,} part files, {size / (1 << 20):,.0f} MiB, in "
            f"{time.perf_counter() - began:.1f} s"
        )

        merged, figures = merge_on_two_workers(out_dir)
        expected = (made["articles"], made["failed"], made["relations"])
        network = between.Network.of_evidence(merged)
        if (merged.articles, merged.failed, merged.relations) != expected or len(network.names) > args.events:
            raise SystemExit(f"merge: {merged.articles, merged.failed, merged.relations} read, {expected} written")
        print(
            f"merged graph: {len(network.names):,} events, {len(network.edges):,} edges from "
            f"{merged.articles:,} articles ({merged.failed:,} failed lines left out)"
        )
        print(f"cluster start-up        {figures['start_up']:6.1f} s")
        print(f"merge                   {figures['seconds']:6.1f} s   (target < {TARGET_SECONDS:.0f} s)")
        print(
            f"driver peak             {mib(figures['driver']):>10}   (before the merge {mib(figures['driver_before'])})"
        )
        for number, peak in enumerate(figures["workers"], 1):
            print(f"worker {number} peak           {mib(peak):>10}")

        degree = [0] * len(network.names)
        for source, target, _ in network.edges:
            degree[source] += 1
            degree[target] += 1
        top = sorted(range(len(network.names)), key=lambda node: -degree[node])[:2]
        began = time.perf_counter()
        try:
            _, paths = between.network_subgraph(network, network.names[top[0]], network.names[top[1]])
            outcome = f"{paths:,} paths"
        except between.TooManyPaths as refused:
            outcome = f"refused: {str(refused)[:70]}..."
        print(f"--between two top events {time.perf_counter() - began:5.1f} s   {outcome}")

        graph_dir = Path(scratch) / "graph"
        began = time.perf_counter()
        with open(os.devnull, "w") as quiet:
            # Names as they were merged above, to check the files against that graph; bench-merge measures the
            # merge of one event's names.
            build_event_graph(out_dir, graph_dir, workers=WORKERS, stream=quiet, merge="exact")
        sizes = ", ".join(
            f"{path.name} {path.stat().st_size / (1 << 20):,.1f} MiB" for path in sorted(graph_dir.iterdir())
        )
        print(f"kestor-corpus graph     {time.perf_counter() - began:6.1f} s   (cluster, merge, files: {sizes})")
        summary = json.loads((graph_dir / export.SUMMARY).read_text(encoding="utf-8"))
        if summary["edges"] != len(network.edges):
            raise SystemExit("the written graph differs from the merged one")

    slowest = figures["seconds"] > TARGET_SECONDS
    largest = max([figures["driver"], *figures["workers"]]) > TARGET_BYTES
    print("targets met" if not (slowest or largest) else "TARGET MISSED")
    missed = store_scale(args.store_names, args.store_edges)
    return 1 if slowest or largest or missed else 0


def day_of(pool: list[str], fresh: list[str], out_dir: Path, articles: int, seed: int = 5) -> None:
    """One day's run: `articles` lines of 3 relations, the names drawn as the store's were, one in 5 new."""
    rng = random.Random(seed)
    weights = list(itertools.accumulate(1 / (rank + 10) ** 0.8 for rank in range(len(pool))))
    out_dir.mkdir(parents=True)
    lines = []
    for number in range(articles):
        ends = [
            rng.choice(fresh) if rng.random() < 0.2 else pool[rng.choices(range(len(pool)), cum_weights=weights)[0]]
            for _ in range(4)
        ]
        found = [
            {"source": source, "target": target, "rel": "因果", "strength": 0.5}
            for source, target in itertools.pairwise(ends)
        ]
        result = {"relations": found, "graph": event_graph(found), "force": "中等"}
        lines.append({"id": f"day-{number}", "status": "ok", "result": result, "attempts": 1, "error": None})
        lines[-1]["date"] = "2025-01-02"
    text = "".join(json.dumps(line, ensure_ascii=False) + "\n" for line in lines)
    (out_dir / "part-00000.jsonl").write_text(text, encoding="utf-8")


def paths(questions: Questions, start: str, end: str) -> Any:
    """The paths between two events, or the refusal of too many: either is the question's answer."""
    try:
        return questions.between(start, end)
    except between.TooManyPaths as refused:
        return str(refused)


def timed(ask: Any, questions: Questions) -> float:
    began = time.perf_counter()
    ask(questions)
    return time.perf_counter() - began


def measure_store(names: int, edges: int, scratch: Path) -> dict[str, Any]:
    """The store's figures, in this process: build, update with a day, each question cold and warm."""
    pool = merge_scale.names(names + DAY_ARTICLES)
    fresh, pool = pool[names:], pool[:names]
    evidence = merge_scale.evidence_of(pool, edges)
    graph_dir = scratch / "graph"
    graph_dir.mkdir()
    connection = create(graph_dir / STORE, {})
    began = time.perf_counter()
    with writing(connection):
        add_runs(connection, [Run("synthetic", evidence)], ResolveOptions.parse("similar", cache=None))
    build = time.perf_counter() - began
    events, edge_count = (
        connection.execute(query).fetchall()[0][0]
        for query in ("SELECT count(*) FROM events WHERE redirect IS NULL", "SELECT count(*) FROM edges")
    )
    busiest = connection.execute("SELECT id FROM events ORDER BY relations DESC LIMIT 2").fetchall()
    middle = connection.execute(
        "SELECT id FROM events WHERE redirect IS NULL ORDER BY relations DESC LIMIT 1 OFFSET 1000"
    ).fetchall()
    connection.close()
    del evidence
    print(f"built in {build:.1f} s", file=sys.stderr, flush=True)
    day = scratch / "day"
    day_of(pool, fresh, day, DAY_ARTICLES)
    began = time.perf_counter()
    added = update_event_graph(graph_dir, [day], files=False, cache=False)["added"]
    update = time.perf_counter() - began
    # Two steps along a chain of the long tail, where the paths can be counted; between the two busiest events
    # they are too many, and the question's answer is their refusal.
    connection = connect(graph_dir / STORE)
    path = connection.execute(
        "SELECT e.source, e.target, f.target FROM edges e JOIN edges f ON f.source = e.target AND f.target <> e.source "
        "JOIN events m ON m.id = e.target JOIN events t ON t.id = f.target WHERE m.relations = 2 AND t.relations = 1 "
        "ORDER BY e.source LIMIT 1"
    ).fetchall()
    connection.close()
    top, mid = f"#{busiest[0][0]}", f"#{middle[0][0]}"
    start, step, end = (f"#{number}" for number in path[0])
    window = Window.parse("2024-03", "2024-06")
    questions: dict[str, Any] = {
        "find by alias": lambda q: q.find(pool[500]),
        "search": lambda q: q.search(pool[500][:4]),
        "show, busiest event": lambda q: q.show(top),
        "next, busiest event": lambda q: q.neighbours(top),
        "causes, busiest event": lambda q: q.neighbours(top, forward=False),
        "next, --since/--until": lambda q: q.neighbours(top, window=window),
        "next, event of rank 1,000": lambda q: q.neighbours(mid),
        "neighbourhood (networkx)": lambda q: q.neighbourhood(mid, limit=20),
        "between, two steps": lambda q: paths(q, start, end),
        "between, two busiest events": lambda q: paths(q, top, f"#{busiest[1][0]}"),
        "evidence of an edge": lambda q: q.evidence(start, step),
        "next, class level": lambda q: Questions(q.connection, NodeKind.CLASS).neighbours(q.find(top).name),
    }
    figures: dict[str, tuple[float, float]] = {}
    for name, ask in questions.items():
        print(f"asking: {name}", file=sys.stderr, flush=True)
        cold = []
        for _ in range(ASKED):
            began = time.perf_counter()
            with Questions.open(graph_dir, NodeKind.EVENT) as opened:
                ask(opened)
            cold.append(time.perf_counter() - began)
        with Questions.open(graph_dir, NodeKind.EVENT) as opened:
            ask(opened)
            warm = [timed(ask, opened) for _ in range(ASKED)]
        figures[name] = (statistics.median(cold), statistics.median(warm))
    # The store's peak before the server's: the browser's is its own.
    peak = peak_bytes()
    absent = missing()
    draws = None
    if absent is None:
        print("the served page's first draw", file=sys.stderr, flush=True)
        server = GraphServer(graph_dir, port=0)
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        try:
            draws = served.first_draws(server)
        finally:
            server.shutdown()
            server.server_close()
    return {
        "names": names,
        "events": events,
        "edges": edge_count,
        "build": build,
        "update": update,
        "added": added,
        "questions": figures,
        "bytes": (graph_dir / STORE).stat().st_size,
        "peak": peak,
        "first_draw": statistics.median(draws) if draws else None,
        "no_browser": absent,
    }


def store_scale(names: int, edges: int) -> bool:
    """The store's figures from a child process, whose peak resident set is the store's own; whether a target
    was missed."""
    print(f"\nstore: {names:,} names, {edges:,} edges, --merge similar, in one process", flush=True)
    answer = subprocess.run(
        [sys.executable, __file__, "--store-names", str(names), "--store-edges", str(edges), "--store-json"],
        capture_output=True,
        text=True,
        check=False,
    )
    if answer.returncode != 0:
        print(answer.stderr[-3000:])
        raise SystemExit(f"the store's run failed with status {answer.returncode}")
    figures = json.loads(answer.stdout.strip().splitlines()[-1])
    added = figures["added"]
    print(
        f"build (resolve, store, derive)  {figures['build']:7.1f} s   {figures['events']:,} events, "
        f"{figures['edges']:,} edges"
    )
    print(
        f"update, one day                 {figures['update']:7.1f} s   (target < {UPDATE_SECONDS:.0f} s): "
        f"{added['new_articles']:,} articles, {added['new_names']:,} new names, {added['new_events']:,} new events"
    )
    print(f"{'question':32s} {'cold':>8s} {'warm':>8s}   (median of {ASKED}; target < {QUESTION_SECONDS:.0f} s)")
    slowest = 0.0
    for name, (cold, warm) in figures["questions"].items():
        print(f"{name:32s} {cold * 1000:6.0f} ms {warm * 1000:6.0f} ms")
        slowest = max(slowest, cold, warm)
    print(f"store on disk                   {mib(figures['bytes']):>10}")
    print(f"peak resident set               {mib(figures['peak']):>10}   (target < {mib(STORE_BYTES)})")
    draw = figures["first_draw"]
    if draw is None:
        print(f"served page, first draw         not measured: {figures['no_browser']}")
    else:
        print(
            f"served page, first draw         {draw:7,.0f} ms   (median of {served.BROWSERS} browsers; "
            f"target < {served.TARGET_DRAW_MS:,} ms)"
        )
    missed = (
        figures["update"] > UPDATE_SECONDS
        or slowest > QUESTION_SECONDS
        or figures["peak"] > STORE_BYTES
        or (draw is not None and draw > served.TARGET_DRAW_MS)
    )
    print("targets met" if not missed else "TARGET MISSED")
    return missed


if __name__ == "__main__":
    sys.exit(main())
