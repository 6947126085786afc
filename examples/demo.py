"""The extractors at work on short Chinese texts.

Without arguments the demo starts a scripted OpenAI-compatible endpoint on 127.0.0.1 that answers like a model
would, so it runs offline. With --base-url, --model and --api-key it asks a real endpoint instead.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import logging
import sys
from collections.abc import Iterator
from typing import Any

from scripted_endpoint import ScriptedEndpoint, answers_by_keyword, extraction_answer

from kestor.tavi.extractor.causara import CausaraExtractor
from kestor.tavi.extractor.force import ForceExtractor
from kestor.tavi.extractor.linqor import LinqorExtractor
from kestor.tavi.extractor.samplar import PromptExample, PromptExtraction

NEWS = (
    "受台风“海葵”影响，福建沿海普降暴雨，多地发生城市内涝，部分地区电力中断。"
    "电力中断导致当地多家工厂被迫停产，港口集装箱运输也因大风暂停。"
)

CAUSAL_PROMPT = (
    "从文本中抽取事件之间的因果关系。每个关系给出 source（原因事件）、target（结果事件）、"
    "rel（关系类型，默认“因果”）、strength（0 到 1 之间的强度）和 strength_reason（强度的理由）。"
)

CAUSAL_EXAMPLES = [
    PromptExample(
        text="持续干旱导致水稻减产，粮价随之上涨。",
        extractions=[
            PromptExtraction(
                text="持续干旱导致水稻减产",
                attrs={
                    "source": "持续干旱",
                    "target": "水稻减产",
                    "rel": "因果",
                    "strength": 0.8,
                    "strength_reason": "“导致”表明直接因果",
                },
            ),
            PromptExtraction(
                text="粮价随之上涨",
                attrs={
                    "source": "水稻减产",
                    "target": "粮价上涨",
                    "rel": "因果",
                    "strength": 0.6,
                    "strength_reason": "“随之”表明先后相继",
                },
            ),
        ],
    )
]

SCRIPTED_RELATIONS = extraction_answer(
    (
        "relation",
        "台风“海葵”影响，福建沿海普降暴雨",
        {"source": "台风“海葵”", "target": "福建沿海暴雨", "strength": "0.9", "strength_reason": "“受……影响”"},
    ),
    (
        "relation",
        "多地发生城市内涝",
        {
            "source": "福建沿海暴雨",
            "target": "城市内涝",
            "source_meta": {"地点": "福建沿海"},
            "strength": 0.7,
            "strength_reason": "暴雨是内涝的常见原因",
        },
    ),
    (
        "relation",
        "电力中断导致当地多家工厂被迫停产",
        {"source": "电力中断", "target": "工厂停产", "strength": 1.2, "strength_reason": "“导致”"},
    ),
    (
        "relation",
        "港口集装箱运输也因大风暂停",
        {"source": "大风", "target": "港口运输暂停", "strength": "很强", "strength_reason": "“因”"},
    ),
)

POLICY = "央行宣布下调存款准备金率0.5个百分点，一周后多家商业银行下调了贷款利率。"

PC_PROMPT = (
    "判断文本中的事件之间是否存在 PC 关系。给出 related（存在为 true，否则为 false）和 reason（一句话说明理由）。"
)

PC_EXAMPLES = [
    PromptExample(
        text="寒潮来袭，电网负荷创下新高。",
        extractions=[
            PromptExtraction(
                text="寒潮来袭，电网负荷创下新高",
                kind="pc",
                attrs={"related": "true", "reason": "寒潮使取暖用电增加，负荷随之上升"},
            ),
        ],
    ),
    PromptExample(
        text="今天股市收涨，另据报道某地举办了马拉松比赛。",
        extractions=[
            PromptExtraction(
                text="今天股市收涨，另据报道某地举办了马拉松比赛",
                kind="pc",
                attrs={"related": "false", "reason": "两件事互不相干"},
            ),
        ],
    ),
]

SCRIPTED_CLASSIFICATION = extraction_answer(
    (
        "pc",
        "央行宣布下调存款准备金率0.5个百分点，一周后多家商业银行下调了贷款利率",
        {"related": "true", "reason": "降准释放资金，银行随之下调贷款利率"},
    ),
)


# An event graph as the host hands it over: nodes with ids and names, edges between them with a strength.
EVENTS = ["台风“海葵”登陆", "沿海普降暴雨", "城市内涝", "电力中断", "工厂停产", "港口停运", "物资短缺"]
LINKS = [(0, 1, 0.9), (1, 2, 0.8), (1, 3, 0.6), (2, 3, None), (3, 4, 0.85), (0, 5, 0.7), (5, 6, 0.5), (4, 6, 0.4)]
EVENT_GRAPH = {
    "nodes": [{"id": number, "name": name} for number, name in enumerate(EVENTS)],
    "edges": [
        {"src_node": {"id": a}, "dest_node": {"id": b}, **({"meta": {"strength": s}} if s else {})} for a, b, s in LINKS
    ],
}
ARTICLE = (
    "受台风“海葵”影响，福建沿海普降暴雨，多地出现内涝，部分地区电力中断约六小时。"
    "港口临时停运一天后已恢复作业，超市货架一度缺货，目前物资供应基本正常。"
)

FORCE_PROMPT = "根据事件图谱中从起点到终点的各条路径，判断起点事件对终点事件的影响力度 final_force。"
FORCE_EXAMPLES = [
    PromptExample(
        text="图谱数据:\n起点: 降温\n终点: 用电增加\n\n路径1:\n  降温 -> 用电增加(0.6)",
        extractions=[PromptExtraction(text="降温 -> 用电增加", kind="force", attrs={"final_force": "中等"})],
    )
]
REVIEW_PROMPT = "结合文章内容复核影响力度 final_force：文章描述的影响是否真的特别剧烈。"
REVIEW_EXAMPLES = [
    PromptExample(
        text="暴雨导致部分路段短时积水，一小时后恢复通行。",
        extractions=[PromptExtraction(text="一小时后恢复通行", kind="force", attrs={"final_force": "轻微"})],
    )
]

SCRIPTED_FORCE = extraction_answer(("force", "台风“海葵”登陆 -> 沿海普降暴雨", {"final_force": "特别剧烈"}))
SCRIPTED_REVIEW = extraction_answer(("force", "目前物资供应基本正常", {"final_force": "剧烈"}))


@contextlib.contextmanager
def model_config(args: argparse.Namespace) -> Iterator[dict[str, Any]]:
    if args.base_url:
        yield {"model": args.model, "api_key": args.api_key, "base_url": args.base_url}
        return
    scripted = answers_by_keyword(
        [
            ("图谱数据:", SCRIPTED_FORCE),
            ("港口临时停运", SCRIPTED_REVIEW),
            ("海葵", SCRIPTED_RELATIONS),
            ("存款准备金率", SCRIPTED_CLASSIFICATION),
        ]
    )
    with ScriptedEndpoint(scripted) as endpoint:
        yield endpoint.config()


def show_relations(config: dict[str, Any]) -> None:
    print("== 因果关系抽取 (CausaraExtractor) ==")
    print(NEWS)
    extractor = CausaraExtractor(config, CAUSAL_PROMPT, CAUSAL_EXAMPLES)
    relations = extractor.predict(NEWS)
    if not relations:
        print("  (no relations)")
    for number, relation in enumerate(relations, 1):
        print(
            f"  {number}. {relation['source']} --{relation['rel']}--> {relation['target']}"
            f"  strength {relation['strength']:.2f}  ({relation['strength_reason']})"
        )
        if relation["source_meta"] or relation["target_meta"]:
            print(f"     source_meta={relation['source_meta']!r} target_meta={relation['target_meta']!r}")
    print()


def show_classification(config: dict[str, Any]) -> None:
    print("== PC 关系判断 (LinqorExtractor) ==")
    print(POLICY)
    result = LinqorExtractor(config, PC_PROMPT, PC_EXAMPLES).predict(POLICY)
    print(f"  related: {'是' if result['related'] else '否'} ({result['related']})")
    print(f"  reason:  {result['reason'] or '(none)'}")
    print()


class NarratedForceExtractor(ForceExtractor):
    """Says what the model answered before the decision rule and the review take over."""

    def _extract_force(self, result: Any, article_text: str | None = None) -> str:
        print(f"  first force:  {self._get_first_force(result) or '(none)'}")
        return super()._extract_force(result, article_text)

    def _review_with_article(self, article_text: str) -> str:
        reviewed = super()._review_with_article(article_text)
        print(f"  after review: {reviewed}")
        return reviewed


def show_force(config: dict[str, Any]) -> None:
    print("== 影响力度 (ForceExtractor) ==")
    extractor = NarratedForceExtractor(config, FORCE_PROMPT, FORCE_EXAMPLES, REVIEW_PROMPT, REVIEW_EXAMPLES)
    paths = extractor._find_paths(EVENT_GRAPH)
    print(f"  {len(paths)} paths from start to end; the model reads:")
    for line in extractor._format_graph_data(EVENT_GRAPH, paths).splitlines():
        print(f"    | {line}")
    print(f"  article: {ARTICLE}")
    force = extractor.predict(EVENT_GRAPH, ARTICLE)
    print(f"  force:        {force}")
    print()


@contextlib.contextmanager
def quiet_progress(verbose: bool) -> Iterator[None]:
    # The extraction library draws a progress bar on stderr for every call; the demo's output is the answer.
    if verbose:
        yield
        return
    with contextlib.redirect_stderr(io.StringIO()):
        yield


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--base-url", help="an OpenAI-compatible endpoint, e.g. https://host/v1")
    parser.add_argument("--model", default="gpt-4o-mini", help="model name at that endpoint")
    parser.add_argument("--api-key", default="", help="API key for that endpoint")
    parser.add_argument("--verbose", action="store_true", help="show the extractors' log records")
    args = parser.parse_args(argv)
    logging.basicConfig(
        level=logging.INFO if args.verbose else logging.WARNING, format="%(levelname)s %(name)s: %(message)s"
    )
    with model_config(args) as config, quiet_progress(args.verbose):
        show_relations(config)
        show_classification(config)
        show_force(config)
    return 0


if __name__ == "__main__":
    sys.exit(main())
