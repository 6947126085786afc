"""index.html at the size it is made for: 5,000 events and 20,000 edges, opened in headless Chromium.

Run by `make bench-page` (`--events N --edges M` for another size; `--classes N`, 0 for a page of the events alone). A
graph.json is generated as the graph command writes it, with every optional field (aliases, article ids,
probabilities, dates), degrees drawn with a long tail as in news; the events fall into a third as many classes, whose
graph the page holds too, to switch to, as the command writes it where classes group events. The figures: the time
to write the page (reading both graphs, the layouts, the file), the page's size, and for each of RUNS fresh browsers
the time from the start of navigation to the first draw on the screen, as the page itself measures it (two animation
frames after sigma.js has drawn). Target: the first draw under 3 s.
"""

from __future__ import annotations

import argparse
import itertools
import json
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

from chromium import chromium, missing, wait_until_drawn

from kestor.tavi.corpus.graph.page import EDGE_LIMIT, LIMIT, read_level, write_page

EVENTS = 5_000
EDGES = 20_000
RUNS = 3
TARGET_MS = 3_000
CHARACTERS = "暴雨洪水干旱寒潮台风地震停电停产减产上涨下跌加息降息出口进口物价库存需求供应交通中断港口关闭"


def graph_document(events: int, edges: int, seed: int = 1, classes: int = 0) -> dict[str, Any]:
    rng = random.Random(seed)
    names: set[str] = set()
    while len(names) < events:
        names.add("".join(rng.choice(CHARACTERS) for _ in range(rng.randint(3, 9))))
    # Added up once: random.choices would add the weights up at every call.
    cumulative = list(itertools.accumulate(1 / (rank + 5) ** 0.8 for rank in range(events)))
    pairs: set[tuple[int, int]] = set()
    while len(pairs) < edges:
        source, target = rng.choices(range(events), cum_weights=cumulative, k=2)
        if source != target:
            pairs.add((source, target))
    nodes = [
        {
            "id": number + 1,
            "name": name,
            "label": name,
            "articles": rng.randint(1, 40),
            "relations": rng.randint(1, 60),
            "aliases": {name: 3, f"{name}了": 1},
        }
        for number, name in enumerate(sorted(names))
    ]
    links = []
    for source, target in sorted(pairs):
        count = rng.randint(1, 12)
        links.append(
            {
                "source": source + 1,
                "target": target + 1,
                "count": count,
                "weight": count,
                "articles": count,
                "strength_mean": round(rng.random(), 3),
                "strength_max": 1.0,
                "labels": {"因果": count},
                "forces": {"中等": count},
                "article_ids": [json.dumps(f"a{rng.randrange(10**6)}") for _ in range(count)],
                "probability": round(rng.random(), 4),
                "lift": round(rng.random() * 5, 3),
                "first_seen": "2024-01-03",
                "last_seen": "2024-06-30",
                "months": {"2024-01": 1, "2024-06": count - 1},
            }
        )
    if not classes:
        return {"directed": True, "multigraph": False, "graph": {}, "nodes": nodes, "edges": links}
    class_of = [rng.randrange(classes) for _ in nodes]
    for node, group in zip(nodes, class_of, strict=True):
        node |= {"kind": "event", "class": group + 1}
    members = [0] * classes
    for group in class_of:
        members[group] += 1
    nodes += [
        {"id": events + group + 1, "name": f"类{group}", "label": f"类{group}", "articles": 1, "relations": 1,
         "aliases": {}, "kind": "class", "class": group + 1, "events": members[group]}
        for group in range(classes)
    ]  # fmt: skip
    links = [link | {"type": "relation"} for link in links]
    links += [{"source": node + 1, "target": events + group + 1, "type": "is_a"} for node, group in enumerate(class_of)]
    return {"directed": True, "multigraph": False, "graph": {"level": "event"}, "nodes": nodes, "edges": links}


def class_document(document: dict[str, Any]) -> dict[str, Any]:
    """The graph of the classes of an event graph: its relations added up by the classes of their ends, the class
    nodes first, the events after them."""
    events = [node for node in document["nodes"] if node["kind"] == "event"]
    classes = [node for node in document["nodes"] if node["kind"] == "class"]
    class_of = {node["id"]: node["class"] for node in events}
    merged: dict[tuple[int, int], dict[str, Any]] = {}
    for link in document["edges"]:
        if link["type"] != "relation":
            continue
        ends = (class_of[link["source"]], class_of[link["target"]])
        known = merged.get(ends)
        if known is None:
            merged[ends] = link | {"source": ends[0], "target": ends[1]}
        else:
            known["count"] += link["count"]
            known["weight"] += link["count"]
            known["article_ids"] = known["article_ids"] + link["article_ids"]
    nodes = [node | {"id": node["class"]} for node in classes]
    nodes += [node | {"id": len(classes) + node["id"]} for node in events]
    is_a = [{"source": len(classes) + node["id"], "target": node["class"], "type": "is_a"} for node in events]
    return {**document, "graph": {"level": "class"}, "nodes": nodes, "edges": [*merged.values(), *is_a]}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--events", type=int, default=EVENTS)
    parser.add_argument("--edges", type=int, default=EDGES)
    parser.add_argument("--classes", type=int, help="classes of the events (a third as many; 0: none)")
    args = parser.parse_args(argv)
    classes = args.events // 3 if args.classes is None else args.classes
    absent = missing()
    if absent:
        print(f"bench-page needs headless Chromium: {absent}", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="bench-page-") as temporary:
        directory = Path(temporary)
        document = graph_document(args.events, args.edges, classes=classes)
        (directory / "graph.json").write_text(json.dumps(document, ensure_ascii=False), encoding="utf-8")
        other, took = None, ""
        if classes:
            (directory / "classes.json").write_text(json.dumps(class_document(document), ensure_ascii=False))
            began = time.perf_counter()
            # From a file, as a graph directory of classes holds it: the command makes it from its counts instead.
            other = read_level(directory / "classes.json", LIMIT, EDGE_LIMIT)
            took = f", and the graph of their {classes:,} classes (read in {time.perf_counter() - began:.2f} s)"
        began = time.perf_counter()
        page = write_page(directory / "graph.json", directory, title="bench", other=other)
        written = time.perf_counter() - began
        print(
            f"index.html of {page.nodes:,} events and {page.edges:,} edges (of {page.of_nodes:,} and "
            f"{page.of_edges:,}){took}: written in {written:.2f} s, {page.bytes / 2**20:.1f} MiB"
        )
        draws = []
        for run in range(RUNS):
            with chromium() as driver:
                driver.get((directory / "index.html").as_uri())
                state = wait_until_drawn(driver, timeout=60)
                if state != "ready":
                    print(f"run {run + 1}: the page could not draw ({state})", file=sys.stderr)
                    return 1
                draws.append(int(driver.find_element("tag name", "body").get_attribute("data-first-draw-ms")))
                marks = driver.execute_script(
                    "return performance.getEntriesByType('mark').map(m => [m.name, Math.round(m.startTime)])"
                )
            steps = ", ".join(f"{name} at {at:,}" for name, at in marks)
            print(f"run {run + 1}: first draw {draws[-1]:,} ms after navigation began ({steps} ms)")
        median = statistics.median(draws)
        verdict = "within" if median < TARGET_MS else "BEYOND"
        print(f"first draw, median of {RUNS}: {median:,.0f} ms ({verdict} the {TARGET_MS:,} ms target)")
        return 0 if median < TARGET_MS else 1


if __name__ == "__main__":
    sys.exit(main())
