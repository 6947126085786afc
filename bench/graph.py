"""The event graph's merge over a synthetic articles output, on a local cluster of 2 worker processes.

Run by `make bench-graph`: 100,000 articles x 5 relations over 20,000 event names (`--articles N` for another
size), written as the runner writes them, 100 lines per part file, 1% of them "failed". Event names are drawn with
a long tail, as in news, and one spelling in 20 carries blanks or sentence punctuation at its ends, which the merge
must see through. The figures: time and peak memory (maximum resident set) of the merge, in the driver (which also
runs the scheduler) and in each worker; then the time to write GRAPH_DIR (GraphML, JSON, Parquet, the picture) and
to refuse a `--between` of two well-connected events. Target: the merge under 60 s and under 1 GiB in each process.

The merged graph is checked against what the generator knows: articles, relations, events and edges.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import random
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

from distributed import Client, LocalCluster

from kestor.tavi.corpus.graph import between, counts, export, merge
from kestor.tavi.corpus.graph.command import build_event_graph
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


def merge_on_two_workers(out_dir: Path) -> tuple[counts.Counts, dict[str, Any]]:
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
    parser.add_argument("--generate", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.generate:
        print(json.dumps(generate(args.generate, args.articles, args.events)))
        return 0
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
        if (merged.articles, merged.failed, merged.relations) != expected or len(merged.names) > args.events:
            raise SystemExit(f"merge: {merged.articles, merged.failed, merged.relations} read, {expected} written")
        print(
            f"merged graph: {len(merged.names):,} events, {len(merged.sources):,} edges from "
            f"{merged.articles:,} articles ({merged.failed:,} failed lines left out)"
        )
        print(f"cluster start-up        {figures['start_up']:6.1f} s")
        print(f"merge                   {figures['seconds']:6.1f} s   (target < {TARGET_SECONDS:.0f} s)")
        print(
            f"driver peak             {mib(figures['driver']):>10}   (before the merge {mib(figures['driver_before'])})"
        )
        for number, peak in enumerate(figures["workers"], 1):
            print(f"worker {number} peak           {mib(peak):>10}")

        top = sorted(range(len(merged.names)), key=lambda node: -merged.node_relations[node])[:2]
        began = time.perf_counter()
        try:
            _, paths = between.subgraph_between(merged, merged.names[top[0]], merged.names[top[1]])
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
        if summary["edges"] != len(merged.sources):
            raise SystemExit("the written graph differs from the merged one")

    slowest = figures["seconds"] > TARGET_SECONDS
    largest = max([figures["driver"], *figures["workers"]]) > TARGET_BYTES
    print("targets met" if not (slowest or largest) else "TARGET MISSED")
    return 1 if slowest or largest else 0


if __name__ == "__main__":
    sys.exit(main())
