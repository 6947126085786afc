"""The scale of the event merge: the model-free tiers over 1,500,000 distinct names, and a store of 1,800,000 edges
between their events and between the events' classes (the size of the largest published financial event logic
graph), in a process of its own.

Names are drawn as news names them: a place or none, a subject, a happening with its direction, and half of them a
qualifier (a figure, a date) or another script or width; so the normal forms hold fewer distinct names, the n-grams
have the long tail of real text, and the lexicon refuses many candidate pairs. Run by `make bench-merge` (after the
quality table) or alone: `python bench/merge_scale.py --names N --edges M`.
"""

from __future__ import annotations

import argparse
import itertools
import json
import random
import resource
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

from kestor.tavi.corpus.graph.models import BATCH

TARGET_SECONDS = 300.0
TARGET_BYTES = 4 << 30
PLACES = [
    "", "", "", "广东", "浙江", "江苏", "山东", "河南", "四川", "湖北", "湖南", "福建", "北京", "上海", "深圳", "杭州",
    "美国", "日本", "欧洲", "德国", "韩国", "印度", "英国", "法国", "华北", "华南", "长三角", "全球", "国内", "海外",
]  # fmt: skip
SUBJECTS = [
    "油价", "金价", "铜价", "煤价", "猪价", "粮价", "房价", "钢价", "锂价", "气价", "运价", "股市", "债市", "汇市",
    "楼市", "车市", "A股", "港股", "美股", "沪指", "恒指", "纳指", "出口", "进口", "消费", "投资", "就业", "失业率",
    "CPI", "PPI", "GDP", "PMI", "利率", "汇率", "人民币", "美元", "日元", "欧元", "芯片", "半导体", "光伏", "风电",
    "电池", "新能源车", "汽车", "手机", "家电", "钢铁", "水泥", "化工", "医药", "银行", "保险", "券商", "地产",
    "基建", "物流", "航运", "航空", "旅游", "餐饮", "零售", "电商", "游戏", "教育", "农业", "养殖", "电力", "电网",
    "煤炭", "石油", "天然气", "稀土", "黄金", "白银", "大豆", "玉米", "小麦", "棉花", "橡胶", "铁矿石", "原油",
    "工资", "社保", "税收",
]  # fmt: skip
HAPPENINGS = [
    "上涨", "下跌", "大涨", "暴跌", "走高", "走低", "回升", "回落", "增长", "下降", "扩大", "缩小", "加快", "放缓",
    "反弹", "承压", "企稳", "波动", "创新高", "跌破", "供应短缺", "需求旺盛", "需求疲软", "产能过剩", "库存增加",
    "库存下降", "停产", "复产", "减产", "增产", "涨价", "降价", "违约", "亏损", "盈利", "裁员", "扩招", "受冲击",
    "获支持", "遇冷", "升温", "降温", "监管收紧", "政策放松", "出口受阻", "订单减少", "订单增加", "成本上升",
    "成本下降", "利润下滑", "利润增长",
]  # fmt: skip
TRADITIONAL = str.maketrans(
    "价涨跌长产业导体电铁银汇楼车国东苏门湾华济资风险", "價漲跌長產業導體電鐵銀匯樓車國東蘇門灣華濟資風險"
)


def names(count: int, seed: int = 7) -> list[str]:
    rng = random.Random(seed)
    seen: dict[str, None] = {}
    suffix = 0
    while len(seen) < count:
        place, subject, happening = rng.choice(PLACES), rng.choice(SUBJECTS), rng.choice(HAPPENINGS)
        name = f"{place}{subject}{happening}"
        draw = rng.random()
        if draw < 0.15:
            name += f"{rng.randint(1, 30)}%"
        elif draw < 0.25:
            name = f"{rng.randint(2015, 2025)}年{rng.randint(1, 12)}月{name}"
        elif draw < 0.32:
            name = name.translate(TRADITIONAL)
        elif draw < 0.36:
            name = name.replace("A", "Ａ").replace("C", "Ｃ").replace("P", "Ｐ")
        elif draw < 0.5:
            # The long tail: names of one article, told apart by what only that article says.
            suffix += 1
            name += f"{rng.choice(SUBJECTS)}{suffix}"
        seen.setdefault(name)
    return list(seen)


def evidence_of(pool: list[str], edges: int, seed: int = 11, first_article: int = 0) -> Any:
    """Evidence as the reading of part files leaves it: articles of three relations each, `edges` distinct
    (source, target) pairs between the names, drawn with a long tail; dated by month through 2024."""
    from kestor.tavi.corpus.events.names import event_key
    from kestor.tavi.corpus.graph.evidence import Evidence

    rng = random.Random(seed)
    evidence = Evidence(mode="articles", part_files=1)
    for name in pool:
        evidence.spelling(name, event_key(name))
    total = len(pool)
    weights = [1 / (rank + 10) ** 0.8 for rank in range(total)]
    cumulative = list(itertools.accumulate(weights))
    seen: set[tuple[int, int]] = set()
    made = 0
    article = -1
    while made < edges:
        ends = rng.choices(range(total), cum_weights=cumulative, k=2 * (edges - made) + 16)
        for index in range(0, len(ends) - 1, 2):
            if made >= edges:
                break
            pair = (ends[index], ends[index + 1])
            if pair in seen:
                continue
            seen.add(pair)
            if made % 3 == 0:
                number = first_article + article + 1
                article = evidence.add_article(
                    f'"a{number}"', f"2024-{number % 12 + 1:02d}-01", "", "中等", 3, f"d{number}"
                )
            evidence.add_relation(article, made % 3, pair[0], pair[1], "因果", 0.5)
            made += 1
    evidence.article_relations[-1] = made % 3 or 3
    return evidence


def peak_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def measure(count: int, edges: int) -> dict[str, Any]:
    """A store built from these names and edges, its names resolved as `--merge similar` does: the figures."""
    import tempfile

    from kestor.tavi.corpus.graph.resolve import ResolveOptions
    from kestor.tavi.corpus.graph.store import create, writing
    from kestor.tavi.corpus.graph.update import Run, add_runs

    began = time.perf_counter()
    pool = names(count)
    evidence = evidence_of(pool, edges)
    del pool
    made = time.perf_counter() - began
    base = peak_bytes()
    with tempfile.TemporaryDirectory(prefix="bench-merge-") as scratch:
        connection = create(Path(scratch) / "graph.duckdb", {})
        began = time.perf_counter()
        with writing(connection):
            added = add_runs(connection, [Run("synthetic", evidence)], ResolveOptions.parse("similar", cache=None))
        seconds = time.perf_counter() - began

        def one(query: str) -> Any:
            return connection.execute(query).fetchall()[0][0]

        figures = {
            "forms": one("SELECT count(*) FROM forms"),
            "characters": one("SELECT coalesce(sum(length(form)), 0) FROM forms"),
            "names": one("SELECT count(DISTINCT key) FROM aliases"),
            "edges": len(evidence.article),
            "events": one("SELECT count(*) FROM events WHERE redirect IS NULL"),
            "event_edges": one("SELECT count(*) FROM edges"),
            "classes": one("SELECT count(*) FROM classes WHERE events > 0"),
            "class_edges": one("SELECT count(*) FROM class_edges"),
            "merges": added.joins,
            "refused": added.refused,
        }
        connection.close()
    return figures | {
        "seconds": seconds,
        "input_seconds": made,
        "peak_bytes": peak_bytes(),
        "input_peak_bytes": base,
    }


def scale(count: int, edges: int) -> None:
    """The figures from a child process, whose peak resident set is the merge's own."""
    print(f"\nscale: {count:,} distinct names, {edges:,} edges, --merge similar, in one process", flush=True)
    answer = subprocess.run(
        [sys.executable, str(Path(__file__)), "--names", str(count), "--edges", str(edges), "--json"],
        capture_output=True,
        text=True,
        check=False,
    )
    if answer.returncode != 0:
        print(answer.stderr[-3000:])
        raise SystemExit(f"the scale run failed with status {answer.returncode}")
    figures = json.loads(answer.stdout.strip().splitlines()[-1])
    gib = figures["peak_bytes"] / 2**30
    print(
        f"  {figures['names']:,} names -> {figures['events']:,} events in {figures['classes']:,} classes, "
        f"{figures['edges']:,} edges -> {figures['event_edges']:,} between events, {figures['class_edges']:,} "
        f"between classes; merges {figures['merges']}, refused {figures['refused']}"
    )
    print(
        f"  resolve, store the evidence, derive the edges of events and classes: {figures['seconds']:.1f} s "
        f"(target < {TARGET_SECONDS:.0f} s); peak resident set "
        f"{gib:.2f} GiB with the input (target < {TARGET_BYTES / 2**30:.0f} GiB); the input alone "
        f"{figures['input_peak_bytes'] / 2**30:.2f} GiB, made in {figures['input_seconds']:.1f} s"
    )
    requests = -(-figures["forms"] // BATCH)
    print(
        f"  --embeddings would ask {figures['forms']:,} distinct normal forms once: {requests:,} requests of "
        f"{BATCH}, {figures['characters']:,} characters (about as many tokens for Chinese text; none on a second "
        "build, the vectors being kept)"
    )
    if figures["seconds"] > TARGET_SECONDS or figures["peak_bytes"] > TARGET_BYTES:
        print("  beyond target")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--names", type=int, default=1_500_000)
    parser.add_argument("--edges", type=int, default=1_800_000)
    parser.add_argument("--json", action="store_true", help="print the figures as one JSON line (for bench/merge.py)")
    args = parser.parse_args()
    if args.json:
        print(json.dumps(measure(args.names, args.edges)))
    else:
        scale(args.names, args.edges)
    return 0


if __name__ == "__main__":
    sys.exit(main())
