"""A corpus run in articles mode: causal relations, their event graph and its force word for each of a few articles.

The demo starts a scripted OpenAI-compatible endpoint on 127.0.0.1, writes a configuration file and an input file,
and runs `python -m kestor.tavi.corpus articles` on a local cluster of two worker processes, as a user would. One
article meets an endpoint that fails every call with a server error: the run asks again for 3 seconds
(`--retry-for 3`; 600 by default), then writes it as "failed" and exits with status 1. The
endpoint then recovers, and a rerun into the same output directory asks only for that article. The same articles
then go through the endpoint's Batch API (`--batch`), a round of batches per step, with no request asked live and
the live run's results.

Then `kestor-corpus graph` merges the articles' graphs into the corpus's event graph, where the names of one event in
different articles meet, through each tier that needs no model: "电力中断。" is "电力中断" once trimmed (exact),
"電力中斷" is it in simplified characters (normal), "部分地区电力中断" is near it in characters (similar). First the
paths between two events, with the force extractor's word for them, then the whole graph's files, its picture and
its page to explore in a browser, the aliases that were merged, and what most often follows one event.
"""

from __future__ import annotations

import argparse
import csv
import json
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any

from scripted_endpoint import Reply, ScriptedEndpoint, extraction_answer

from kestor.tavi.corpus import event_key

ARTICLES = [
    (
        "fj-typhoon",
        "受台风“海葵”影响，福建沿海普降暴雨，多地发生城市内涝。暴雨导致部分地区电力中断，电力中断又导致工厂停产。",
    ),
    ("gd-drought", "广东北部持续干旱，水库蓄水不足，多地限制农业用水，晚稻减产。"),
    (3, "寒潮来袭，华北气温骤降，用电负荷创下新高，部分地区电力中断。"),
    ("hb-flood", "湖北连日强降雨，城市严重内涝导致部分地区电力中断，长江水位上涨，沿江码头暂停作业。"),
    ("tw-typhoon", "颱風過境後，當地電力中斷，多家工廠停產。"),
]
DATES = {"fj-typhoon": "2024-09-05", "gd-drought": "2024-10-12", 3: "2024-12-20", "hb-flood": "2024-07-02"}
# What the scripted model finds in each article: (source, target, strength).
RELATIONS = {
    "海葵": [
        ("台风“海葵”", "沿海暴雨", 0.9),
        ("沿海暴雨", "城市内涝", 0.7),
        ("沿海暴雨", "电力中断", 0.6),
        ("电力中断", "工厂停产", 0.85),
    ],
    "干旱": [
        ("持续干旱", "长江水位下降", 0.6),
        ("持续干旱", "水库蓄水不足", 0.8),
        ("水库蓄水不足", "农业限水", 0.7),
        ("农业限水", "晚稻减产", 0.6),
    ],
    "寒潮": [("寒潮来袭", "气温骤降", 0.9), ("气温骤降", "用电负荷新高", 0.75), ("用电负荷新高", "电力中断。", 0.5)],
    "强降雨": [
        ("连日强降雨", "城市严重内涝", 0.8),
        ("城市严重内涝", "部分地区电力中断", 0.7),
        ("连日强降雨", "长江水位上涨", 0.8),
        ("长江水位上涨", "码头暂停作业", 0.7),
    ],
    "颱風": [("颱風過境", "電力中斷", 0.8), ("電力中斷", "工廠停產", 0.8)],
}
# The force the scripted model reads from each graph, by its start event. "特别剧烈" is reviewed against the
# article, which the scripted model answers as it answers the extraction (it sees the same text): with relations
# and no force, so the first force stands.
FORCES = {"台风“海葵”": "特别剧烈", "持续干旱": "剧烈", "寒潮来袭": "中等", "连日强降雨": "剧烈", "颱風過境": "中等"}
OUTAGE = "强降雨"  # the article whose calls fail in the first run

EXAMPLE_TEXT = "持续干旱导致水稻减产，粮价随之上涨。"
CONFIG: dict[str, Any] = {
    "model": "scripted",
    "api_key": "offline",
    "causara": {
        "prompt_description": "从文本中抽取事件之间的因果关系，给出 source、target、strength 和 strength_reason。",
        "examples": [
            {
                "text": EXAMPLE_TEXT,
                "extractions": [
                    {
                        "text": "持续干旱导致水稻减产",
                        "attrs": {"source": "持续干旱", "target": "水稻减产", "strength": 0.8},
                    }
                ],
            }
        ],
    },
    "force": {
        "prompt_description": "根据事件图谱中从起点到终点的各条路径，判断起点事件对终点事件的影响力度 final_force。",
        "examples": [
            {
                "text": "图谱数据:\n起点: 降温\n终点: 用电增加\n\n路径1:\n  降温 -> 用电增加(0.6)",
                "extractions": [{"text": "降温 -> 用电增加", "kind": "force", "attrs": {"final_force": "中等"}}],
            }
        ],
        "review_prompt_description": "结合文章内容复核影响力度 final_force：文章描述的影响是否真的特别剧烈。",
        "review_examples": [
            {
                "text": "暴雨导致部分路段短时积水，一小时后恢复通行。",
                "extractions": [{"text": "一小时后恢复通行", "kind": "force", "attrs": {"final_force": "轻微"}}],
            }
        ],
    },
}


class ScriptedModel:
    def __init__(self) -> None:
        self.outage = True

    def __call__(self, question: str) -> Reply | str:
        if self.outage and OUTAGE in question:
            return Reply(status=500)
        if question.startswith("图谱数据:"):
            start = question.split("起点: ", 1)[1].split("\n", 1)[0]
            return extraction_answer(("force", start, {"final_force": FORCES.get(start, "中等")}))
        for keyword, relations in RELATIONS.items():
            if keyword in question:
                return extraction_answer(
                    *[
                        (
                            "relation",
                            f"{a}导致{b}",
                            {"source": a, "target": b, "strength": s, "strength_reason": "文中明言"},
                        )
                        for a, b, s in relations
                    ]
                )
        return extraction_answer()


def graph(work: Path, out_dir: Path, *arguments: str) -> int:
    shown = " ".join(f'"{a}"' if " " in a or "“" in a else a for a in arguments)
    print(f"$ python -m kestor.tavi.corpus graph {out_dir.name} {shown}", flush=True)
    command = [sys.executable, "-m", "kestor.tavi.corpus", "graph", out_dir.name, *arguments, "--workers", "2"]
    status = subprocess.run(command, cwd=work).returncode
    print(f"exit status {status}\n", flush=True)
    return status


def run(work: Path, out_dir: Path) -> int:
    command = [
        sys.executable,
        "-m",
        "kestor.tavi.corpus",
        "articles",
        "--config",
        str(work / "config.json"),
        "--input",
        str(work / "articles.jsonl"),
        "--output",
        str(out_dir),
        "--workers",
        "2",
        "--retry-for",
        "3",
        # The scripted endpoint's answers are kept beside the demo's files, not in the user's own cache.
        "--cache",
        str(work / "answers.sqlite3"),
    ]
    print(
        "$ python -m kestor.tavi.corpus articles --config config.json --input articles.jsonl "
        f"--output {out_dir.name} --workers 2 --retry-for 3 --cache answers.sqlite3",
        flush=True,
    )
    status = subprocess.run(command).returncode
    print(f"exit status {status}\n", flush=True)
    return status


def through_batches(work: Path, out_dir: Path, endpoint: ScriptedEndpoint) -> bool:
    """The same articles through the endpoint's Batch API, at half the price: a round of batches per step (the
    relations, the force of their graph, the reviews of "特别剧烈"), no request asked live, and the live run's
    results. A cache of its own, so that the answers the live run kept do not answer it."""
    endpoint.batches.seconds = 0.5
    asked = len(endpoint.requests)
    arguments = ["articles", "--config", "config.json", "--input", "articles.jsonl", "--output", "out-batch"]
    arguments += ["--workers", "2", "--batch", "--batch-poll", "0.2", "--cache", "answers-batch.sqlite3"]
    print(f"$ python -m kestor.tavi.corpus {' '.join(arguments)}", flush=True)
    status = subprocess.run([sys.executable, "-m", "kestor.tavi.corpus", *arguments], cwd=work).returncode
    live = len(endpoint.requests) - asked

    def results(directory: Path) -> dict[Any, Any]:
        lines = [json.loads(text) for part in sorted(directory.glob("part-*.jsonl")) for text in part.open()]
        return {line["id"]: line["result"] for line in lines}

    same = results(out_dir) == results(work / "out-batch")
    print(
        f"exit status {status}; {live} requests asked live; the results are "
        f"{'those of the live run' if same else 'NOT those of the live run'}\n",
        flush=True,
    )
    return status == 0 and live == 0 and same


def show(out_dir: Path) -> None:
    """Reading the output: every part file, one JSON line per article."""
    for part in sorted(out_dir.glob("part-*.jsonl")):
        for text in part.read_text(encoding="utf-8").splitlines():
            line = json.loads(text)
            if line["status"] != "ok":
                failure = f"failed ({line['error_class']}) after {line['attempts']} requests"
                print(f"  {line['id']!r}: {failure}: {line['error']}")
                continue
            result = line["result"]
            names = [node["name"] for node in result["graph"]["nodes"]]
            print(
                f"  {line['id']!r}: force {result['force']}; {len(result['relations'])} relations, events "
                f"{' / '.join(names)}"
            )
    print()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "--work-dir",
        type=Path,
        default=Path("build/corpus-demo"),
        help="where the demo writes its files (emptied first)",
    )
    args = parser.parse_args(argv)
    work = args.work_dir
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    out_dir = work / "out"
    (work / "articles.jsonl").write_text(
        "".join(
            json.dumps({"id": i, "text": t, **({"date": DATES[i]} if i in DATES else {})}, ensure_ascii=False) + "\n"
            for i, t in ARTICLES
        ),
        encoding="utf-8",
    )
    print("== 语料批处理 (kestor-corpus, articles mode) ==")
    model = ScriptedModel()
    with ScriptedEndpoint(model) as endpoint:
        (work / "config.json").write_text(
            json.dumps({**CONFIG, "base_url": endpoint.base_url}, ensure_ascii=False, indent=2), encoding="utf-8"
        )
        first = run(work, out_dir)
        show(out_dir)
        print("The endpoint recovers; the rerun asks only for the article that failed.")
        model.outage = False
        asked_before = len(endpoint.requests)
        second = run(work, out_dir)
        show(out_dir)
        print(f"the rerun sent {len(endpoint.requests) - asked_before} requests; output in {out_dir}\n")

        print("== 批量接口 (--batch): the same articles through the provider's Batch API, at half the price ==")
        batched = through_batches(work, out_dir, endpoint)

        print("== 全语料事件图谱 (kestor-corpus graph) ==")
        between = graph(
            work,
            out_dir,
            *("--between", "台风“海葵”", "工厂停产", "--output", "typhoon-to-factories.json"),
            *("--force", "--config", "config.json"),
        )
        drawn = graph(work, out_dir, "--output", "graph")
        print(f"the corpus's event graph is in {work / 'graph'}; its picture: {work / 'graph' / 'top-events.png'}")
        print(f"explore it in a browser (one file, no server needed): {(work / 'graph' / 'index.html').resolve()}")
    merged = show_merges(work / "graph")
    print("$ python -m kestor.tavi.corpus graph graph --next 电力中断", flush=True)
    following = subprocess.run(
        [sys.executable, "-m", "kestor.tavi.corpus", "graph", "graph", "--next", "电力中断"], cwd=work
    ).returncode
    print(f"exit status {following}")
    return 0 if (first, second, between, drawn, following) == (1, 0, 0, 0, 0) and merged and batched else 1


def show_merges(graph_dir: Path) -> bool:
    """The names that became another's event, with the tier that decided (aliases.csv); whether every tier
    without a model merged something."""
    with (graph_dir / "aliases.csv").open(encoding="utf-8", newline="") as handle:
        rows = [row for row in csv.DictReader(handle) if row["tier"] != "name"]
    print("names merged into an event (aliases.csv):")
    # A name that meets another by its key alone has one spelling in the files, so the articles' own names say it.
    written = dict.fromkeys(name for relations in RELATIONS.values() for pair in relations for name in pair[:2])
    exact = [(name, event_key(name)) for name in written if event_key(name) != name]
    for name, key in exact:
        print(f"  {name} -> {key}  (exact: one event key once trimmed)")
    for row in rows:
        removed = f", took out {row['removed']}" if row["removed"] else ""
        print(f"  {row['alias']} -> {row['event_name']}  ({row['tier']}, score {row['score']}{removed})")
    summary = json.loads((graph_dir / "summary.json").read_text(encoding="utf-8"))
    merge = summary["merge"]
    print(
        f"{merge['names']} names, {merge['events']} events; merges by tier: {merge['merges']}; kept apart by the "
        f"lexicon of what never merges: {merge['refused']}\n"
    )
    return bool(exact) and {"normal", "similar"} <= {row["tier"] for row in rows} and bool(merge["refused"])


if __name__ == "__main__":
    sys.exit(main())
