"""The extractors driving the real extraction library and OpenAI client against the local scripted endpoint.

Failed requests and answers the library cannot read are in test_faults.py.
"""

from __future__ import annotations

import logging

from offline import CAUSAL_EXAMPLES, FORCE_EXAMPLES, PC_EXAMPLES, REVIEW_EXAMPLES
from scripted_endpoint import extraction_answer

from kestor.tavi.extractor.causara import CausaraExtractor
from kestor.tavi.extractor.force import ForceExtractor
from kestor.tavi.extractor.linqor import LinqorExtractor

from .force_graphs import WORKED, WORKED_TEXT

TEXT = "昨天的地震导致全城停电，停电又造成地铁停运。"


def causara_extractor(config) -> CausaraExtractor:
    return CausaraExtractor(config, "找出文本中的因果关系。", CAUSAL_EXAMPLES)


class TestCausara:
    def test_relations_from_the_model(self, endpoint):
        endpoint.queue(
            extraction_answer(
                (
                    "relation",
                    "地震导致全城停电",
                    {"source": "地震", "target": "全城停电", "strength": "0.9", "strength_reason": "导致"},
                ),
                (
                    "relation",
                    "停电又造成地铁停运",
                    {
                        "source": "全城停电",
                        "target": "地铁停运",
                        "rel": "因果",
                        "source_meta": {"时间": "昨天"},
                        "strength": 2,
                    },
                ),
                ("relation", "无效", {"source": "", "target": "x"}),
            )
        )
        relations = causara_extractor(endpoint.config()).predict(TEXT)
        assert relations == [
            {
                "source": "地震",
                "source_meta": "",
                "rel": "因果",
                "target": "全城停电",
                "target_meta": "",
                "strength": 0.9,
                "strength_reason": "导致",
            },
            {
                "source": "全城停电",
                "source_meta": {"时间": "昨天"},
                "rel": "因果",
                "target": "地铁停运",
                "target_meta": "",
                "strength": 1.0,
                "strength_reason": "",
            },
        ]
        [request] = endpoint.requests
        assert endpoint.questions == [TEXT]
        assert request["model"] == "scripted" and request["temperature"] == 0.0
        assert "找出文本中的因果关系。" in request["messages"][-1]["content"]


# Longer than what is sent: the 1000th character is an astral one, in the middle of a sentence.
LONG_TEXT = "台风登陆后全省停课。" * 99 + "港口停运，航班取消😀" + "机场关闭。" * 40


def linqor_extractor(config) -> LinqorExtractor:
    return LinqorExtractor(config, "判断文本中的两个事件之间是否存在PC关系。", PC_EXAMPLES)


class TestLinqor:
    def test_related_answer_for_the_opening_only(self, endpoint, records):
        endpoint.queue(
            extraction_answer(
                ("pc", "台风登陆后全省停课", {"related": "True", "reason": "台风导致停课"}),
                ("pc", "港口停运", {"related": "false", "reason": "never read"}),
            )
        )
        result = linqor_extractor(endpoint.config()).predict(LONG_TEXT)
        assert result == {"related": True, "reason": "台风导致停课"}
        assert endpoint.questions == [LONG_TEXT[:1000]] and LONG_TEXT[:1000].endswith("航班取消😀")
        assert records("linqor") == []


class TestForce:
    ARTICLE = "台风“海葵”登陆，沿海多地停电，港口全面停运。"

    @staticmethod
    def extractor(config):
        return ForceExtractor(config, "判断影响力度。", FORCE_EXAMPLES, "结合文章复核力度。", REVIEW_EXAMPLES)

    def test_review_replaces_the_first_force(self, endpoint, records):
        endpoint.queue(
            extraction_answer(("force", "A", {"final_force": "特别剧烈"})),
            extraction_answer(("force", "停电", {"final_force": "中等"})),
        )
        assert self.extractor(endpoint.config()).predict(WORKED, self.ARTICLE) == "中等"
        assert endpoint.questions == [WORKED_TEXT, self.ARTICLE]
        assert "结合文章复核力度。" in endpoint.requests[1]["messages"][-1]["content"]
        assert [r.getMessage().split(":")[0] for r in records("force") if r.levelno == logging.INFO] == [
            "Find paths cost",
            "LLM extract cost",
            "Starting force review with article text",
            "Review cost",
            "Total predict cost",
        ]
