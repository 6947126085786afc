"""One node per event: the resolver's tiers on hand-made names, the overrides, the graph files' aliases and edge
figures read back, the embeddings tier against the scripted endpoint, and --next."""

from __future__ import annotations

import copy
import csv
import io
import json
import random
from pathlib import Path
from typing import Any

import duckdb
import networkx as nx
import numpy as np
import pytest
from scripted_endpoint import ScriptedEndpoint, extraction_answer, hashed_embedding

from kestor.tavi.corpus.cli import main
from kestor.tavi.corpus.config import load_resolve_config
from kestor.tavi.corpus.events import (
    Lexicon,
    LexiconError,
    OverridesError,
    Settings,
    event_key,
    parse_overrides,
    resolve,
    resolver,
)
from kestor.tavi.corpus.events.normal import normalize
from kestor.tavi.corpus.events.parts import Parser
from kestor.tavi.corpus.events.polarity import Polarity, PolarityError
from kestor.tavi.corpus.exits import ConfigError
from kestor.tavi.corpus.graph import causes, load, next_events, update
from kestor.tavi.corpus.graph.build import build_event_graph
from kestor.tavi.corpus.graph.lines import read_part_files
from kestor.tavi.corpus.graph.merge import merged
from kestor.tavi.corpus.graph.models import EmbeddingsClient, ModelFailed, asking
from kestor.tavi.corpus.graph.resolve import ResolveOptions, check_options
from kestor.tavi.corpus.inputs import InputError, load_inputs

from .classes import form_classes_by


@pytest.fixture(scope="module")
def scheduler(cluster):
    """The command's candidate search runs on the shared cluster, by block of names."""
    return cluster[0].scheduler_address


def events_of(names: list[str], **settings: Any) -> list[list[str]]:
    """The names grouped by event, each resolved by its event key as the graph resolves it."""
    resolution = resolve([event_key(name) for name in names], Settings(**settings))
    groups: dict[int, list[str]] = {}
    for name, event in zip(names, resolution.event_of, strict=True):
        groups.setdefault(event, []).append(name)
    return list(groups.values())


def test_each_tier_joins_what_it_should_and_no_tier_joins_what_is_never_one_event():
    names = [
        "美联储加息",
        "美聯儲加息",  # traditional characters: the normal form
        "美联储宣布加息25个基点",  # a qualifier out, then alike in characters
        "美联储降息",  # the opposite direction: never
        "下跌3%",
        "下跌５％",  # width: the normal form
        "2024年7月CPI上涨",
        "CPI上涨",  # a date out: the normal form
        "PPI上涨",  # another indicator: never
        "广东暴雨",
        "浙江暴雨",  # another province: never
        "广东暴雪",  # snow is not rain: never
        "G20峰会",
        "G7峰会",  # a number the normal form keeps is part of the name: never
        "北向资金净流入",
        "北向资金净流出",  # money out, not in: never
    ]
    assert events_of(names, level="exact") == [[name] for name in names]
    assert events_of(names, level="normal") == [
        ["美联储加息", "美聯儲加息"],
        ["美联储宣布加息25个基点"],
        ["美联储降息"],
        ["下跌3%", "下跌５％"],
        ["2024年7月CPI上涨", "CPI上涨"],
        *([name] for name in names[8:]),
    ]
    # Mainland words that the Taiwan phrase table takes for Taiwan's words for others keep their spelling in either
    # script, while its own words still go (晶片); a time of day is a qualifier however it is written; tenths are
    # one numeral's, and after another numeral 成 starts a word; a year is a date whatever comes before or after it,
    # and a figure's unit goes with it, per unit and counter included; a day that a numeral names is no figure.
    said = [
        "新增贷款减少",
        "新增貸款減少",
        "蚌埠暴雨",
        "晶片短缺",
        "9月5日12时52分泸定地震",
        "近七成城市房价下跌",
        "双十一成交额增长",
        "水泥产量跌至2010年以来最低",
        "2024届高校毕业生人数增加",
        "碳价突破100元/吨",
        "金饰价格突破每克800元",
        "全国幼儿园减少2万所",
        "十一黄金周出游增长3%",
        "618大促销售额达618亿元",
    ]
    assert [normal.form for normal in normalize(said)] == [
        "新增贷款减少",
        "新增贷款减少",
        "蚌埠暴雨",
        "芯片短缺",
        "泸定地震",
        "城市房价下跌",
        "双十一成交额增长",
        "水泥产量跌最低",
        "高校毕业生人数增加",
        "碳价突破",
        "金饰价格突破",
        "全国幼儿园减少",
        "十一黄金周出游增长",
        "618大促销售额",
    ]

    similar = events_of(names)
    assert ["美联储加息", "美聯儲加息", "美联储宣布加息25个基点"] in similar
    assert len(similar) == len(names) - 4

    resolution = resolve(names)
    assert [resolution.tier[names.index(name)] for name in ("美联储加息", "美聯儲加息", "美联储宣布加息25个基点")] == [
        "name",
        "normal",
        "similar",
    ]
    assert resolution.normals[2].removed == (("amount", "25个基点"),)
    assert all(
        resolution.refused.get(rule) for rule in ("direction", "place", "weather", "figure", "indicator", "flow")
    )

    # A name that says no place, as near to two places: it joins neither, in whichever order they come.
    torn = ["CPI上涨", "美国CPI上涨", "中国CPI上涨"]
    for order in (torn, torn[::-1], torn[1:] + torn[:1]):
        assert events_of(order) == [[name] for name in order]
    assert resolve(torn).refused["unsure"] == 2


def test_average_linkage_does_not_chain_and_overrides_hold_at_every_tier():
    # Each like the next, the ends unlike: connected components would make one event of all four.
    chain = ["长江水位上涨", "长江水位持续上涨", "长江流域持续强降雨", "持续强降雨"]
    assert len(events_of(chain)) > 1

    overrides = list(
        parse_overrides(
            [
                "# kept apart, though alike",
                "下跌3% != 下跌５％",
                "",
                "缺芯 == 芯片短缺",
                "芯片短缺 == 晶片短缺",
                "广州暴雨 == 广东暴雨",
            ],
            "o.txt",
        )
    )
    names = ["下跌3%", "下跌５％", "缺芯", "芯片短缺", "晶片短缺", "台湾缺电", "广州暴雨", "广东暴雨", "廣州暴雨"]
    groups = events_of(names, overrides=overrides)
    # The overrides' two places in one group keep no spelling of one of them out of it.
    assert groups == [["下跌3%"], ["下跌５％"], ["缺芯", "芯片短缺", "晶片短缺"], ["台湾缺电"], names[6:]]
    with pytest.raises(OverridesError, match=r"o.txt:2: .*are one event by other lines"):
        contradiction = ["缺芯 == 芯片短缺", "缺芯 != 晶片短缺", "芯片短缺 == 晶片短缺"]
        resolve(names, Settings(overrides=list(parse_overrides(contradiction, "o.txt"))))
    with pytest.raises(OverridesError, match=r"o.txt:1: '缺芯' and '缺芯 。' are one name, never two events"):
        resolve(names, Settings(overrides=list(parse_overrides(["缺芯 != 缺芯 。"], "o.txt"))))
    with pytest.raises(OverridesError, match=r"o.txt:1: not a pair of names"):
        list(parse_overrides(["缺芯 = 芯片短缺"], "o.txt"))


def test_places_across_the_border_and_a_relations_two_ends_are_never_one_event():
    # Whatever role the place has (国际 is the agent, 国内 a place), one side of the border is not the other; a
    # name of the whole world and one of a country abroad may be one.
    assert events_of(["国际油价上涨", "国内成品油价格上调"]) == [["国际油价上涨"], ["国内成品油价格上调"]]
    assert events_of(["美国油价上涨", "国内油价上涨"]) == [["美国油价上涨"], ["国内油价上涨"]]
    assert events_of(["全球铜矿减产", "智利铜矿产量下降"]) == [["全球铜矿减产", "智利铜矿产量下降"]]

    # A cause is not its own effect, in whichever order the names come; but names that nothing tells apart (one
    # normal form, one unit of the scoring) stay one, as the article said X brings X.
    names = ["国际油价上涨", "油价上涨", "國際油價上漲", "国际油价大幅上涨", "原油价格上涨"]
    assert len(events_of(names)) == 1
    related = (np.array([0, 0, 3]), np.array([1, 2, 0]))
    apart = [["国际油价上涨", "國際油價上漲", "国际油价大幅上涨"], ["油价上涨", "原油价格上涨"]]
    assert events_of(names, related=related) == apart
    reverse = len(names) - 1 - related[0], len(names) - 1 - related[1]
    assert sorted(map(sorted, events_of(names[::-1], related=reverse))) == sorted(map(sorted, apart))

    # An override joining a form to another event, its unit's join then refused, left a group of size 0 that
    # average linkage divided by.
    overrides = list(parse_overrides(["油价大幅上涨 == 金价下跌"], "o.txt"))
    assert events_of(["油价上涨", "油价大幅上涨", "金价下跌", "金价大跌"], overrides=overrides) == [
        ["油价上涨"],
        ["油价大幅上涨", "金价下跌"],
        ["金价大跌"],
    ]


def test_the_configuration_extends_what_is_never_one_event(tmp_path):
    # Nothing shipped tells two lines of one metro apart.
    lines = ["地铁一号线停运", "地铁二号线停运"]
    assert events_of(lines) == [lines]
    config = tmp_path / "config.json"
    config.write_text(json.dumps({"merge": {"lexicon": {"line": {"1": ["一号线"], "2": ["二号线"]}}}}), "utf-8")
    assert events_of(lines, lexicon=Lexicon.shipped(load_resolve_config(config).lexicon)) == [[name] for name in lines]
    # A term, or a name, of nothing but quotation marks is itself: not an empty form, where “” and 「」 would meet.
    assert Lexicon.shipped({"mark": {"quoted": ["“”"]}}).signature("“”") == {"mark": frozenset({"quoted"})}
    assert events_of(["“”", "「」"], level="normal") == [["“”"], ["「」"]]
    config.write_text(json.dumps({"merge": {"lexicon": {"river": ["长江"]}}}), "utf-8")
    with pytest.raises(LexiconError, match="'river': an object from value to a list of terms"):
        Lexicon.shipped(load_resolve_config(config).lexicon)


def test_names_are_one_event_only_where_their_participants_and_happenings_agree():
    kinds = {
        # (alike, apart): the happening shared and the participant another; the participant shared and the happening
        # another; a direction said by a word no table lists; who acts on whom; a participant at another grain.
        "participant": (["原油价格上涨", "油价飙升"], ["铜价飙升", "锌价飙升"]),
        "happening": (["汽车减产", "汽车产量下降"], ["钢铁减产", "钢价下跌"]),
        "direction": (["房价下跌", "房价走低"], ["房价上涨", "房价走低"]),
        # Inflation is a thing that rises, not a rise of nothing: the economy's growth is another thing's.
        "inflation": (["美国通胀降温", "美国通胀回落"], ["美国通胀上升", "美国经济增长", "美国通胀回落"]),
        # A market warms as it rises and cools as it falls, as the air does.
        "warmth": (["楼市升温", "楼市回暖"], ["楼市升温", "楼市降温"]),
        "roles": (["美国对华加征关税", "美国加征关税"], ["日本对韩国实施出口管制", "韩国对日本实施出口管制"]),
        # Where the tagger finds no verb, the order of the words still says who acts on whom.
        "roles unread": (["格力状告奥克斯", "格力状告奥克斯专利侵权"], ["格力状告奥克斯", "奥克斯状告格力"]),
        # Which round it is says when, as a date does, not what is done.
        "round": (
            ["美国对伊朗实施制裁", "美国宣布新一轮对伊朗制裁"],
            ["美国宣布新一轮对伊朗制裁", "伊朗宣布新一轮对美国制裁"],
        ),
        "grain": (["沪指下跌", "A股下跌", "上证指数下跌"], ["A股下跌", "港股下跌"]),
        # What a passive marker governs is what happens, however bare: fined is not investigated.
        "passive": (["京东被罚", "京东再次被罚"], ["京东被罚", "京东被查"]),
        # 遭 marks the one acted on as 被 does: who suffers sanctions is not who imposes them.
        "suffered": (["美国被制裁", "美国遭制裁"], ["美国遭制裁", "美国制裁"]),
        # A word of position relating what comes before it (以上, 灾后) is no place and no party.
        "position": (["规模以上企业利润下降", "规上企业利润下降"], ["规模以上企业利润下降", "规模以上企业营收下降"]),
        # A happening alone at a place is no nearer another than its happening is: the weather is what happens.
        "happening alone": (["华北暴雪", "华北大范围降雪"], ["九寨沟县地震", "九寨沟县闭园"]),
        # It happens at the last place a name gives, whatever its rank, or at a place that holds it, and not at
        # another; a province's is a place's within it only where it is as near to none other (岷县 is in 甘肃 too).
        "where": (
            ["四川泸定地震", "泸定地震", "甘孜州泸定县发生地震", "四川甘孜地震", "四川地震"],
            ["泸定地震", "积石山地震", "甘肃暴雨"],
        ),
        "province": (["甘肃地震", "积石山地震"], ["甘肃地震", "积石山地震", "岷县地震"]),
        "within a region": (
            ["华北沙尘暴", "北京遭遇强沙尘暴"],
            ["广东暴雨", "广州暴雨", "深圳暴雨", "华南暴雨", "暴雨"],
        ),
        # Who says it is not who does it: the one named after a verb of saying acts.
        "speaker": (
            ["拜登宣布美国对华加征关税", "美国对华加征关税"],
            ["拜登宣布美国对华加征关税", "拜登宣布日本对华加征关税"],
        ),
        # Participants that differ only by taking the other side of opposite morphemes are two, however alike.
        "opposites": (["大盘股上涨", "大盘股大涨"], ["大盘股上涨", "小盘股上涨"]),
        # Places run from the larger to the smaller: it happens at the last, the others only locate it.
        "place within a place": (
            ["湖南长沙自建房坍塌", "长沙自建房坍塌"],
            ["湖南长沙自建房坍塌", "湖南株洲自建房坍塌"],
        ),
        # A county is a place in its prefecture, not in another one, nor another county.
        "county": (["盐城化工厂爆炸", "响水化工厂爆炸"], ["响水化工厂爆炸", "滨海化工厂爆炸", "连云港化工厂爆炸"]),
        # A name by the kind of its participant, by a shorter name of it, or leaving out what comes before its head is
        # that participant's, unless it is as near to two that differ (which one it means is not known).
        "kind": (["股市下跌", "沪指下跌", "创业板指下跌"], ["股市下跌", "沪指下跌", "港股下跌"]),
        "abbreviation": (["招行净利润增长", "招商银行净利润增长"], ["招行净利润增长", "工商银行净利润增长"]),
        "omission": (["贷款增长", "人民币贷款增长"], ["贷款增长", "人民币贷款增长", "美元贷款增长"]),
        # A happening that says its polarity alone is one that says more of it, but not one that says a negation;
        # a word that opens or closes says nothing more through its other morpheme.
        "said alone": (["出口下降", "出口连续下降"], ["美联储降息", "美联储暂停加息"]),
        "closing": (["港口停运", "港口停摆", "港口暂停运营"], ["港口停运", "地铁停运"]),
        "price": (["猪肉均价上涨", "猪肉价格上涨"], ["猪肉均价上涨", "猪肉产量上涨"]),
        "futures": (["棉花期货上涨", "棉花价格上涨"], ["棉花期货上涨", "白糖期货上涨"]),
        "swapped": (["腾讯起诉抖音", "腾讯对抖音提起诉讼"], ["腾讯起诉抖音", "抖音起诉腾讯"]),
        # 将 and 把 before a party put the one acted on before the verb; a side (美方) holds no place within it.
        "disposal": (["日本将韩国移出白名单", "日本把韩国移出白名单"], ["日本将韩国移出白名单", "韩国移出白名单"]),
        "side": (
            ["美方就中国补贴提起诉讼", "美方就中国补贴向世贸组织提起诉讼"],
            ["美方就中国补贴提起诉讼", "中国就补贴提起诉讼"],
        ),
        # The mark a rise or fall reaches is neither the thing nor what happens to it.
        # A rise or fall is said of a thing, though the tagger takes the thing for a verb or the rise for a noun.
        "subject": (["出境游火爆", "出境游人次大增"], ["出境游火爆", "入境游火爆"]),
        "way at the end": (["白酒库存高企", "白酒库存增加"], ["白酒库存高企", "啤酒库存高企"]),
        "count": (["入境游客人数增加", "入境游客增加"], ["入境游客人数增加", "出境游客人数增加"]),
        "mark reached": (
            ["水泥价格下跌", "水泥价格跌至近十年低位"],
            ["水泥价格跌至近十年低位", "水泥产量跌至近十年低位"],
        ),
        # One measure of how much there is of one stem, whatever its ending or the stem's abbreviation; a capacity
        # or a rate is another measure, and an activity ending in 费 is no fee.
        "measure": (
            ["家电销量增长", "家电销售额增长", "家电销售回暖"],
            ["煤炭产量增长", "煤炭产能增长", "煤炭产量增速上升"],
        ),
        # A measure at the end of a word the segmenter holds whole is that word's head: output is not sales.
        "measure in a word": (["汽车销量下降", "汽车销量下滑"], ["汽车产量下降", "汽车销量下降"]),
        "activity": (["居民电费上涨", "居民电价上涨"], ["黄金首饰消费下降", "黄金首饰价格下降"]),
        # A province or a country by its short name is the one named in full, and no other.
        "short name": (
            ["豫村镇银行倒闭", "河南村镇银行倒闭"],
            ["豫村镇银行倒闭", "湖北村镇银行倒闭"],
        ),
        "country": (["大马对华免签", "马来西亚对华免签"], ["大马对华免签", "泰国对华免签"]),
        # A place that a verb of going leads to is the one gone toward, wherever it stands, and not who goes.
        "destination": (["赴泰中国游客减少", "中国游客赴泰人数下降"], ["中国游客赴泰人数下降", "中国游客赴日人数下降"]),
        # A region by its grouping or by its members; a day that a numeral names is what an event is about, by any
        # of its names, and not a figure; a fee is a price of its stem, which the segmenter may cut from it, but no
        # tax nor volume.
        "region": (["长三角楼市回暖", "江浙沪楼市回暖", "沪苏浙皖楼市回暖"], ["江浙沪楼市回暖", "珠三角楼市回暖"]),
        "day": (
            ["双十一成交额增长", "2024年双11成交额同比增长15%"],
            ["双十一成交额增长", "双十二成交额增长", "成交额增长", "北上广深楼市成交回暖"],
        ),
        "fee": (
            ["海运费上涨", "海运价格上涨", "海运费用上涨"],
            ["海运费上涨", "海运税上涨", "海运量上涨", "美国电费上涨"],
        ),
        # A verb that says one thing brings another says nothing of either: what is brought is what happens.
        "brought": (
            ["积石山地震造成人员伤亡", "积石山地震导致人员伤亡", "积石山地震致人员伤亡"],
            ["积石山地震致人员伤亡", "泸定地震致人员伤亡"],
        ),
    }
    for kind, (alike, apart) in kinds.items():
        assert events_of(alike) == [alike], kind
        assert events_of(apart) == [[name] for name in apart], kind
    # A name that says no opening is torn only between names it may join: another city's are none of them. To
    # lift a limit is to open, whatever the word that lifts it.
    limits = ["深圳放宽限购", "深圳放开限购", "深圳放松限购", "广州取消限购", "广州放开限购", "广州全面取消住房限购"]
    assert events_of(limits)[:2] == [limits[:3], limits[3:5]]
    # All of them at once, in any order: the same events.
    names = list(dict.fromkeys(name for pair in kinds.values() for names in pair for name in names))
    expected = sorted(sorted(group) for group in events_of(names))
    for seed in range(3):
        shuffled = random.Random(seed).sample(names, len(names))
        assert sorted(sorted(group) for group in events_of(shuffled)) == expected
    # A name with nothing to read keeps a node of its own, as does every other name.
    odd = ["2024", "？！", "涨", "跌" * 10_000, "A股下跌"]
    assert events_of(odd) == [[name] for name in odd]


def test_polarity_comes_from_morphemes_and_rules_not_a_list_of_words(tmp_path):
    said = {
        "down": [
            "房价走低",
            "楼市下行",
            "金价回落",
            "股市承压",
            "资产缩水",
            "业绩不及预期",
            "股价未能上涨",
            "美联储暂停加息",
            "价格不断下跌",  # 不断 negates nothing
            "新增贷款同比少增",  # less of a rise
        ],
        "up": ["房价企稳", "消费回暖", "股价止跌回升", "订单增多", "旅游市场非常火爆", "出口少减"],
        # 停车场 is a place, not a closing; a verb's object ends what a stopping before it stops.
        "open": ["港口复航", "停车场开放", "消防安全专项整治启动", "上海解除封控", "美国取消对华出口管制"],
        "closed": ["地铁停运", "供应链受阻", "景区暂停开放", "工厂停工停产", "新东方关停K9业务并裁员", "航班取消"],
        # 加强 is no rise, 降雨 is weather, a court's ruling (裁定) no cut.
        None: ["加强监管", "广东降雨", "增速", "恒大被裁定清盘"],
    }
    parser = Parser.of()
    for value, names in said.items():
        for name, parts in zip(names, parser.parse(names), strict=True):
            assert (dict(parts.polarity).get("opening") or dict(parts.polarity).get("direction")) == value, name
    # What the rise is of survives the tagger: a noun it takes for a numeral is no figure, and 同比 says only when.
    assert parser.parse(["社零同比增长"])[0].thing == "社零"
    # A bare morpheme the tagger cut from the noun it ends is that noun's: sales of vehicles, not of storage.
    assert parser.parse(["储能车销量增长"])[0].owner == "储能车"
    # A preposition only says where from or where at: it is no part of what the name is about.
    assert parser.parse(["外资从港股撤离"])[0].thing == parser.parse(["外资撤离港股"])[0].thing == "外资港股"
    # The configuration extends the table; a bad entry is refused by its key.
    extended = Parser.of(polarity=Polarity.shipped({"words": {"direction": {"down": ["见顶"]}}}))
    assert extended.parse(["油价见顶"])[0].polarity == (("direction", "down"),)
    with pytest.raises(PolarityError, match=r"merge.polarity.morphemes.direction.up: '走高' is not one character"):
        Polarity.shipped({"morphemes": {"direction": {"up": ["走高"]}}})
    config = tmp_path / "config.json"
    config.write_text(json.dumps({"merge": {"polarity": {"words": {"direction": {"up": "走高"}}}}}), "utf-8")
    with pytest.raises(ConfigError, match=r"config.json: merge.polarity.words.direction.up: a list of non-empty"):
        check_options(ResolveOptions(config=config))


def test_each_event_has_a_class_whatever_the_order_of_its_names():
    names = [
        "铜价上涨",
        "銅價上漲",
        "锌价飙升",
        "铝价大涨",
        "铜价下跌",
        "美国加征关税",
        "中方对美加征关税",
        "美联储加息",
        "欧洲央行加息",
        "广东暴雨",
        "浙江暴雨",
    ]
    resolution = resolve(names)
    classes = {
        name: resolution.classes[resolution.class_of[event]]
        for name, event in zip(names, resolution.event_of, strict=True)
    }
    assert classes["铜价上涨"] == classes["锌价飙升"] == classes["铝价大涨"] == "金属价格上涨"
    assert classes["铜价下跌"] == "金属价格下跌"
    assert classes["美国加征关税"] == classes["中方对美加征关税"] == "加征关税"
    assert classes["美联储加息"] == classes["欧洲央行加息"] == "央行加息"
    assert classes["广东暴雨"] == classes["浙江暴雨"] == "暴雨"
    for seed in range(3):
        shuffled = random.Random(seed).sample(names, len(names))
        again = resolve(shuffled)
        assert {
            name: again.classes[again.class_of[event]] for name, event in zip(shuffled, again.event_of, strict=True)
        } == classes


def test_the_judge_is_asked_only_doubtful_pairs_no_rule_forbids_and_at_most_judge_max():
    import numpy as np

    vectors = {
        "城市积水": [1, 0, 0, 0],
        "城市内涝": [0.6, 0.8, 0, 0],
        "暴雨": [0, 0, 1, 0],
        "暴雪": [0, 0.3, 0.95, 0],
        "寒潮": [-1, 0, 0, 0],
        "路面淹水": [0.5, 0, 0, 0.866],
    }
    asked: list[list[tuple[str, str]]] = []

    def judge(pairs: list[tuple[str, str]]) -> list[bool]:
        asked.append(pairs)
        return [True] * len(pairs)

    names = list(vectors)
    # A part of a name (路面淹水: 路面, 淹水) is where its name is.
    located = lambda text: vectors[next(name for name in vectors if text in name)]  # noqa: E731
    embed = lambda texts: np.asarray([located(text) for text in texts], dtype=np.float32)  # noqa: E731
    resolution = resolve(names, Settings(level="judge", embed=embed, judge=judge, judge_max=1))
    # 暴雪 is near 暴雨 but snow is not rain: neither merged nor asked. 路面淹水 is doubtful too, but less so
    # than 城市内涝, and one pair may be asked.
    assert asked == [[("城市积水", "城市内涝")]]
    assert resolution.event_of == [0, 0, 1, 2, 3, 4] and resolution.tier[1] == "judge"
    assert resolution.asked == {"meaning": 7, "judge": 1}  # 路面淹水 asked as its participant and its happening

    # Vectors alike tell no two places apart: 泸定 and 积石山 are two, 广州 and 深圳 two cities of one province.
    names = ["泸定地震", "积石山地震", "广州暴雨", "深圳暴雨"]
    alike = lambda texts: np.ones((len(texts), 4), dtype=np.float32) / 2  # noqa: E731
    assert resolve(names, Settings(level="meaning", embed=alike)).event_of == [0, 1, 2, 3]


def part_line(id_: str, date: str | None, *relations: tuple[str, str]) -> str:
    result = {
        "relations": [{"source": s, "target": t, "rel": "因果", "strength": 0.5} for s, t in relations],
        "force": "剧烈",
    }
    line = {"id": id_, "status": "ok", "result": result, "attempts": 1, "error": None, "error_class": None}
    if date:
        line["date"] = date
    return json.dumps(line, ensure_ascii=False)


def write_out(directory: Path) -> Path:
    directory.mkdir()
    lines = [
        # One article names the outage two ways: once for the event and for each of its edges.
        part_line("a", "2024-07-02", ("暴雨", "電力中斷"), ("暴雨", "电力中断"), ("电力中断", "工厂停产")),
        part_line("b", "2024-08-15T09:00:00+08:00", ("暴雨", "部分地区电力中断"), ("部分地区电力中断", "工廠停產")),
        part_line("c", None, ("暴雨", "城市内涝"), ("寒潮", "电力中断"), ("城市积水", "工厂停产")),
    ]
    (directory / "part-00000.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    return directory


@pytest.mark.slow
def test_graph_files_carry_aliases_article_ids_and_the_logic_graphs_figures(tmp_path, capsys):
    out, graph_dir = write_out(tmp_path / "out"), tmp_path / "graph"
    # No cluster asked for: the merge runs in this process, as in a plain script.
    summary = build_event_graph(out, graph_dir)
    assert summary["merge"]["merges"] == {"normal": 2, "similar": 1} and summary["events"] == 6

    document = json.loads((graph_dir / "graph.json").read_text(encoding="utf-8"))
    # The events' classes follow them, joined by is-a edges.
    events = [node for node in document["nodes"] if node["kind"] == "event"]
    nodes = {node["name"]: node for node in events}
    # The normal form mentioned most names the event (电力中断 four times: 電力中斷 is one of them).
    outage = nodes["电力中断"]
    assert outage["aliases"] == {"电力中断": 3, "部分地区电力中断": 2, "電力中斷": 1}
    assert (outage["articles"], outage["relations"]) == (3, 6)
    graphml = nx.read_graphml(graph_dir / "graph.graphml")
    assert [json.loads(data["aliases"]) for _, data in graphml.nodes(data=True)] == [
        node["aliases"] for node in document["nodes"]
    ]

    relations = [edge for edge in document["edges"] if edge["type"] == "relation"]
    edges = {(e["source"], e["target"]): e for e in relations}
    rain_outage = edges[(nodes["暴雨"]["id"], outage["id"])]
    # The ids as the part files' id keys: "a" and 1 are two articles.
    assert (rain_outage["count"], rain_outage["articles"], rain_outage["article_ids"]) == (3, 2, ['"a"', '"b"'])
    assert rain_outage["probability"] == 3 / 4 and rain_outage["lift"] == pytest.approx((3 / 4) / (4 / 8))
    assert (rain_outage["first_seen"], rain_outage["last_seen"], rain_outage["months"]) == (
        "2024-07-02",
        "2024-08-15",
        {"2024-07": 1, "2024-08": 1},
    )
    assert rain_outage["forces"] == {"剧烈": 2}

    import pyarrow.parquet as parquet

    aliases = parquet.read_table(graph_dir / "aliases.parquet").to_pylist()
    with (graph_dir / "aliases.csv").open(encoding="utf-8", newline="") as handle:
        assert [row["alias"] for row in csv.DictReader(handle)] == [row["alias"] for row in aliases]
    decided = {row["alias"]: (row["event_name"], row["tier"]) for row in aliases}
    assert decided["部分地区电力中断"] == ("电力中断", "similar") and decided["工廠停產"] == ("工厂停产", "normal")
    assert sum(row["mentions"] for row in aliases) == sum(node["relations"] for node in events)
    # Each spelling's class: one for one event, numbered from 1 as events are, in the CSV file too.
    kinds = {(row["event"], row["class"], row["class_name"]) for row in aliases}
    assert len({event for event, _, _ in kinds}) == len(kinds) and min(number for _, number, _ in kinds) == 1
    with (graph_dir / "aliases.csv").open(encoding="utf-8", newline="") as handle:
        assert {(int(row["event"]), int(row["class"]), row["class_name"]) for row in csv.DictReader(handle)} == kinds
    edge_rows = parquet.read_table(graph_dir / "edges.parquet").to_pylist()
    assert sorted(map(tuple, (row["article_ids"] for row in edge_rows))) == sorted(
        tuple(edge["article_ids"]) for edge in relations
    )

    # An event is found by any of its aliases.
    assert main(["graph", str(graph_dir), "--next", "部分地区电力中断"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "after 电力中断: 1 event" and lines[2].split()[:4] == ["1.000", "2.67", "2", "2"]
    assert main(["graph", str(graph_dir), "--causes", "工厂停产"]) == 0
    assert capsys.readouterr().out.splitlines()[2].endswith(" 电力中断")

    # The same from Python, on the directory or on the graph read back, every attribute of its type.
    graph = load(graph_dir)
    assert {"id": outage["id"], **graph.nodes[outage["id"]]} == outage
    edge = {"source": nodes["暴雨"]["id"], "target": outage["id"], **graph.edges[nodes["暴雨"]["id"], outage["id"]]}
    assert edge == rain_outage | {"article_ids": ["a", "b"]}
    following = next_events(graph_dir, "部分地区电力中断")
    assert following.to_dict("records") == [
        {"probability": 1.0, "lift": pytest.approx(8 / 3), "count": 2, "articles": 2, "first_seen": "2024-07-02",
         "last_seen": "2024-08-15", "event": "工厂停产"}
    ]  # fmt: skip
    assert list(causes(graph, "工廠停產", limit=1)["event"]) == ["电力中断"]


CLASSES = {"暴雨": "恶劣天气", "寒潮": "恶劣天气", "城市内涝": "城市水患", "城市积水": "城市水患"}


@pytest.mark.slow
def test_the_graph_of_classes_adds_up_its_events_and_either_level_carries_the_hierarchy(tmp_path, monkeypatch, capsys):
    out = write_out(tmp_path / "out")
    # An article with two events of one class leading to one event: two relations of the classes' edge, and one
    # article for the edge and for the class.
    with (out / "part-00000.jsonl").open("a", encoding="utf-8") as handle:
        handle.write(part_line("d", "2024-09-01", ("暴雨", "电力中断"), ("寒潮", "电力中断")) + "\n")
    monkeypatch.setattr(update, "form_classes", form_classes_by(CLASSES))
    for level in ("event", "class"):
        build_event_graph(out, tmp_path / level, level=level)
    events, classes = (
        json.loads((tmp_path / level / "graph.json").read_text(encoding="utf-8")) for level in ("event", "class")
    )
    relations = [edge for edge in classes["edges"] if edge["type"] == "relation"]

    # The classes' edges are their events' edges added up: relations, articles counted again, dates; and the
    # figures of the class graph anew.
    class_of = {node["id"]: node["class"] for node in events["nodes"] if node["kind"] == "event"}
    expected: dict[tuple[int, int], list[Any]] = {}
    for edge in (edge for edge in events["edges"] if edge["type"] == "relation"):
        total = expected.setdefault((class_of[edge["source"]], class_of[edge["target"]]), [0, set(), set()])
        total[0] += edge["count"]
        total[1].update(edge["article_ids"])
        total[2].update(edge.get("months", {}))
    assert {
        (e["source"], e["target"]): [e["count"], set(e["article_ids"]), set(e.get("months", {}))] for e in relations
    } == expected
    weather = classes["nodes"][0]
    outage = next(edge for edge in relations if (edge["source"], edge["target"]) == (1, 2))
    assert (weather["name"], weather["events"], weather["articles"]) == ("恶劣天气", 2, 4)
    assert (outage["count"], outage["articles"], outage["probability"]) == (6, 4, 6 / 7)
    assert outage["lift"] == pytest.approx((6 / 7) / (6 / 10))

    # Read back at the class level: GraphML's classes and their relations, each event's is-a edge to its class;
    # Parquet's classes, the events with their class, the classes' relations.
    graphml = nx.read_graphml(tmp_path / "class" / "graph.graphml", node_type=int)
    assert graphml.graph["level"] == "class"
    kinds = nx.get_node_attributes(graphml, "kind")
    assert list(kinds.values()) == ["class"] * 4 + ["event"] * 6
    assert list(graphml.subgraph(node for node, kind in kinds.items() if kind == "class").edges) == [
        (1, 2),
        (1, 4),
        (2, 3),
        (4, 3),
    ]
    is_a = [
        (graphml.nodes[s]["name"], graphml.nodes[t]["name"])
        for s, t, kind in graphml.edges(data="type")
        if kind == "is_a"
    ]
    assert ("寒潮", "恶劣天气") in is_a and len(is_a) == 6
    import pyarrow.parquet as parquet

    def table(level: str, name: str) -> list[dict[str, Any]]:
        return parquet.read_table(tmp_path / level / f"{name}.parquet").to_pylist()

    assert [(row["name"], row["events"]) for row in table("class", "nodes")] == [
        ("恶劣天气", 2),
        ("电力中断", 1),
        ("工厂停产", 1),
        ("城市水患", 2),
    ]
    assert (
        [row["class"] for row in table("class", "events")]
        == [row["class"] for row in table("event", "nodes")]
        == [1, 2, 3, 4, 1, 4]
    )
    assert [row["count"] for row in table("class", "edges")] == [edge["count"] for edge in relations]
    assert table("event", "classes") == table("class", "nodes")

    # --next at either level, of a graph directory written at it: an event's name finds its class.
    capsys.readouterr()
    assert main(["graph", str(tmp_path / "class"), "--next", "寒潮", "--level", "class"]) == 0
    assert capsys.readouterr().out.splitlines()[::2] == [
        "after 恶劣天气: 2 classes",
        "   0.857    1.43      6        4  2024-07-02..2024-09-01  电力中断",
    ]
    # The store holds both levels: a graph directory written at the other answers as well.
    assert main(["graph", str(tmp_path / "event"), "--next", "寒潮", "--level", "class"]) == 0
    assert capsys.readouterr().out.splitlines()[::2][0] == "after 恶劣天气: 2 classes"


@pytest.mark.slow
def test_an_edges_articles_survive_the_merge_of_counts_from_many_part_files(scheduler, tmp_path):
    # One line a part file, so that each is counted by a task of its own and the articles of an edge are put
    # together by the merge of counts: the same graph as one file read in this process.
    out = write_out(tmp_path / "one")
    lines = (out / "part-00000.jsonl").read_text(encoding="utf-8").splitlines()
    # Two spellings of one key, first met in different part files: both stay aliases, with their mentions.
    lines += [
        part_line("d", None, ("ＣＰＩ上涨", "暴雨")),
        part_line("e", None, ("CPI上涨", "暴雨"), ("CPI上涨", "寒潮")),
    ]
    (out / "part-00000.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    many = tmp_path / "many"
    many.mkdir()
    for number, line in enumerate(lines):
        (many / f"part-{number:05d}.jsonl").write_text(line + "\n", encoding="utf-8")
    build_event_graph(out, tmp_path / "g1")
    build_event_graph(many, tmp_path / "g2", scheduler=scheduler)
    first, second = (json.loads((tmp_path / g / "graph.json").read_text(encoding="utf-8")) for g in ("g1", "g2"))
    assert first == second
    relations = [edge for edge in first["edges"] if edge["type"] == "relation"]
    assert sorted(len(edge["article_ids"]) for edge in relations) == [1, 1, 1, 1, 2, 2, 2]
    assert [node["aliases"] for node in first["nodes"] if node["name"] == "CPI上涨" and node["kind"] == "event"] == [
        {"CPI上涨": 2, "ＣＰＩ上涨": 1}
    ]

    # The merge of two counts leaves both as they were: Dask may hold one for a task that runs again.
    (tmp_path / "part-00000.jsonl").write_text(part_line("f", None, ("ＣＰＩ上涨", "寒潮")) + "\n", encoding="utf-8")
    earlier = read_part_files([str(many / "part-00004.jsonl"), str(many / "part-00003.jsonl")])
    spelled = copy.deepcopy((earlier.spellings, earlier.keys, earlier.article_ids))
    merged(earlier, read_part_files([str(tmp_path / "part-00000.jsonl")]))
    assert (earlier.spellings, earlier.keys, earlier.article_ids) == spelled


@pytest.mark.slow
@pytest.mark.parametrize("full_limit", [update.FULL_LIMIT, 0], ids=["every name again", "the touched names"])
def test_a_cause_and_its_effect_stay_two_events_through_a_build_and_an_update(tmp_path, monkeypatch, full_limit):
    monkeypatch.setattr(update.add_runs, "__kwdefaults__", {**update.add_runs.__kwdefaults__, "full_limit": full_limit})
    day_one = [
        part_line("a", "2024-07-01", ("国际油价上涨", "航空燃油附加费上调")),
        part_line("b", "2024-07-02", ("油价上涨", "物流成本上升")),
    ]
    # An article says the one brings the other (and one says a name brings itself, which stays as it says).
    day_two = [part_line("c", "2024-07-03", ("国际油价上涨", "油价上涨"), ("物流成本上升", "物流成本上升"))]
    runs = []
    for number, lines in enumerate((day_one, day_two), 1):
        runs.append(tmp_path / f"day{number}")
        runs[-1].mkdir()
        (runs[-1] / "part-00000.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")

    def events(graph_dir: Path) -> tuple[dict[str, int], list[tuple[int, int]]]:
        connection = duckdb.connect(str(graph_dir / "graph.duckdb"), read_only=True)
        try:
            aliases = dict(connection.execute("SELECT alias, event FROM aliases").fetchall())
            loops = connection.execute("SELECT source, target FROM edges WHERE source = target").fetchall()
            return aliases, loops
        finally:
            connection.close()

    build_event_graph(runs[0], tmp_path / "grown")
    aliases, _ = events(tmp_path / "grown")
    assert aliases["国际油价上涨"] == aliases["油价上涨"]
    assert main(["graph", "update", str(tmp_path / "grown"), str(runs[1]), "--quiet"]) == 0
    build_event_graph(runs, tmp_path / "rebuilt")
    for graph_dir in ("grown", "rebuilt"):
        aliases, loops = events(tmp_path / graph_dir)
        assert aliases["国际油价上涨"] != aliases["油价上涨"]
        assert loops == [(aliases["物流成本上升"], aliases["物流成本上升"])]
    # The event keeps its id with its first name.
    assert events(tmp_path / "grown")[0]["国际油价上涨"] == aliases["国际油价上涨"] == 1


SOLAR = ["需求疲软", "光伏组件价格下跌", "光伏板售价走低", "企业利润下滑"]
"""Two names of one fall of solar panels' prices, too far apart by their words, with a cause and an effect."""


@pytest.mark.parametrize("full_limit", [update.FULL_LIMIT, 0], ids=["every name again", "the touched names"])
def test_names_near_by_their_words_are_one_event_where_the_events_around_them_agree(tmp_path, monkeypatch, full_limit):
    names = SOLAR
    assert events_of(names) == [[name] for name in names]
    # One cause and one effect of both: one event, in whichever order the names and relations come.
    related = (np.array([0, 0, 1, 2]), np.array([1, 2, 3, 3]))
    assert events_of(names, related=related) == [["需求疲软"], ["光伏组件价格下跌", "光伏板售价走低"], ["企业利润下滑"]]
    reverse = len(names) - 1 - related[0][::-1], len(names) - 1 - related[1][::-1]
    assert sorted(map(sorted, events_of(names[::-1], related=reverse))) == [
        ["企业利润下滑"],
        ["光伏板售价走低", "光伏组件价格下跌"],
        ["需求疲软"],
    ]

    # A store that learns the second name a day later, with neighbours it resolves no more, joins them as a rebuild
    # does: what the store says around the new name is its evidence.
    monkeypatch.setattr(update.add_runs, "__kwdefaults__", {**update.add_runs.__kwdefaults__, "full_limit": full_limit})
    for aliases in grown_and_rebuilt(tmp_path, "光伏组件价格下跌", "光伏板售价走低"):
        assert aliases["光伏组件价格下跌"][0] == aliases["光伏板售价走低"][0]


def grown_and_rebuilt(tmp_path: Path, first: str, second: str) -> list[dict[str, tuple[int, str]]]:
    """The aliases (event and tier of each) of a store that learns `second` a day after `first`, each with the cause
    需求疲软 and the effect 企业利润下滑, and of the store rebuilt from both days."""
    runs = []
    for number, name in enumerate((first, second), 1):
        runs.append(tmp_path / f"day{number}")
        runs[-1].mkdir()
        line = part_line(f"a{number}", f"2024-07-0{number}", ("需求疲软", name), (name, "企业利润下滑"))
        (runs[-1] / "part-00000.jsonl").write_text(line + "\n", encoding="utf-8")
    build_event_graph(runs[0], tmp_path / "grown")
    assert main(["graph", "update", str(tmp_path / "grown"), str(runs[1]), "--quiet"]) == 0
    build_event_graph(runs, tmp_path / "rebuilt")
    found = []
    for graph_dir in ("grown", "rebuilt"):
        with duckdb.connect(str(tmp_path / graph_dir / "graph.duckdb"), read_only=True) as connection:
            rows = connection.execute("SELECT alias, event, tier FROM aliases").fetchall()
        found.append({alias: (event, tier) for alias, event, tier in rows})
    return found


def test_neighbours_in_common_join_no_names_that_a_rule_or_their_sides_keep_apart():
    # The same neighbour as a cause of one and an effect of the other says nothing of the two.
    assert len(events_of(SOLAR, related=(np.array([0, 2, 1]), np.array([1, 0, 3])))) == 4
    # Look-alikes with every neighbour in common stay apart: another metal, or the other way.
    related = (np.array([0, 0, 1, 2]), np.array([1, 2, 3, 3]))
    for names in (
        ["需求疲软", "铜价下跌", "锌价下跌", "企业利润下滑"],
        ["需求疲软", "光伏组件价格下跌", "光伏组件价格上涨", "企业利润下滑"],
    ):
        assert len(events_of(names, related=related)) == 4


def unsearched(index: Any) -> tuple[Any, Any, Any]:
    """A search by words that finds no pair: what joins is found by the neighbours alone."""
    return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.float32)


def test_names_no_search_proposed_are_one_event_by_two_rare_neighbours_where_their_parts_agree():
    related = (np.array([0, 0, 1, 2]), np.array([1, 2, 3, 3]))
    names = ["需求疲软", "沪指下跌", "A股走低", "企业利润下滑"]
    assert len(events_of(names, related=related, search=unsearched, kin=0)) == 4
    assert events_of(names, related=related, search=unsearched) == [
        ["需求疲软"],
        ["沪指下跌", "A股走低"],
        ["企业利润下滑"],
    ]
    reverse = len(names) - 1 - related[0][::-1], len(names) - 1 - related[1][::-1]
    assert sorted(map(sorted, events_of(names[::-1], related=reverse, search=unsearched))) == [
        ["A股走低", "沪指下跌"],
        ["企业利润下滑"],
        ["需求疲软"],
    ]
    # One neighbour in common, or two that many others share, say too little.
    assert len(events_of(names, related=(np.array([0, 0]), np.array([1, 2])), search=unsearched)) == 4
    crowd = [
        "需求疲软",
        "沪指下跌",
        "A股走低",
        "铜价上涨",
        "原油减产",
        "港口停运",
        "房价走低",
        "猪价回升",
        "出口增长",
        "煤价下跌",
    ]
    many = np.arange(1, len(crowd))
    around = (np.concatenate([np.zeros_like(many), many]), np.concatenate([many, np.full_like(many, len(crowd))]))
    assert len(events_of([*crowd, "企业利润下滑"], related=around, search=unsearched)) == len(crowd) + 1
    # Their parts must agree: the owner and the head of what happens to them, the way or the words of what happens,
    # the lexicon's categories, and nothing that keeps names apart at any tier.
    for pair in (
        ("水泥价格下跌", "玻璃价格下跌"),
        ("水泥价格下跌", "水泥产量下滑"),
        ("万达电影亏损", "万达电影裁员"),
        ("沪指下跌", "沪指上涨"),
        ("沪指下跌", "人民币贬值"),
        ("日本对韩国实施出口管制", "韩国对日本实施出口管制"),
    ):
        assert len(events_of(["需求疲软", *pair, "企业利润下滑"], related=related, search=unsearched)) == 4, pair


def test_names_of_one_thing_in_other_words_are_one_event_by_a_cause_and_an_effect_that_siblings_do_not_share():
    names = ["需求疲软", "楼市成交下滑", "商品房销售额下降", "企业利润下滑", "钢价下跌", "家电销量下滑"]
    # Nothing in their words says the two falls are of one thing; a cause and an effect in common, and no other, do.
    related = (np.array([0, 0, 1, 2]), np.array([1, 2, 3, 3]))
    assert events_of(names[:4], related=related, search=unsearched) == [
        ["需求疲软"],
        ["楼市成交下滑", "商品房销售额下降"],
        ["企业利润下滑"],
    ]
    # Two effects of one demand, each with effects of its own: siblings, however much they share.
    siblings = (np.array([0, 0, 1, 2, 1, 0, 2, 0]), np.array([1, 2, 3, 3, 4, 4, 5, 5]))
    assert len(events_of(names, related=siblings, search=unsearched)) == len(names)


@pytest.mark.parametrize("full_limit", [update.FULL_LIMIT, 0], ids=["every name again", "the touched names"])
def test_an_update_finds_the_names_a_new_one_shares_its_neighbours_with_as_a_rebuild_does(
    tmp_path, monkeypatch, full_limit
):
    monkeypatch.setattr(resolver, "candidates", lambda *args, **kwargs: unsearched(None))
    monkeypatch.setattr(update.add_runs, "__kwdefaults__", {**update.add_runs.__kwdefaults__, "full_limit": full_limit})
    # The two names share no pair of characters: only their neighbours in the store bring the first to the second.
    grown, rebuilt = grown_and_rebuilt(tmp_path, "沪指下跌", "A股走低")
    assert grown == rebuilt
    assert grown["沪指下跌"][0] == grown["A股走低"][0]


def test_a_graph_of_no_events_says_so(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "part-00000.jsonl").write_text(part_line("a", None) + "\n", encoding="utf-8")
    said = io.StringIO()
    assert build_event_graph(out, tmp_path / "g", stream=said)["events"] == 0
    assert "warning: a graph of 0 events: none of the 1 articles read gave a relation" in said.getvalue()


@pytest.mark.slow
def test_input_dates_are_checked_and_bad_overrides_exit_2_naming_file_and_line(scheduler, tmp_path, capsys):
    good = tmp_path / "in.jsonl"
    good.write_text('{"id": 1, "text": "x", "date": "2024-02-29"}\n{"id": 2, "text": "y"}\n', encoding="utf-8")
    assert [record.get("date") for record in load_inputs(good, "articles")] == ["2024-02-29", None]
    bad = tmp_path / "bad.jsonl"
    bad.write_text('{"id": 1, "text": "x", "date": "2023-02-29"}\n', encoding="utf-8")
    with pytest.raises(InputError, match=r'bad\.jsonl:1: "date" must be an ISO 8601 date'):
        load_inputs(bad, "articles")

    out = write_out(tmp_path / "out")
    overrides = tmp_path / "overrides.txt"
    # A byte order mark, as some editors write, is no part of the first name.
    for text, problem in (
        ("\ufeff暴雨 == 寒潮\n洪水 != 暴雨\n", ":2: no event '洪水'"),
        ("暴雨 寒潮\n", ":1: not a pair"),
    ):
        overrides.write_text(text, encoding="utf-8")
        arguments = ["graph", str(out), "--output", str(tmp_path / "g"), "--merge-overrides", str(overrides)]
        assert main([*arguments, "--scheduler", scheduler]) == 2
        assert f"error: {overrides}{problem}" in capsys.readouterr().err
        assert not (tmp_path / "g").exists()


@pytest.mark.slow
def test_meaning_tier_against_the_scripted_endpoint(scheduler, tmp_path, capsys):
    out = write_out(tmp_path / "out")
    # The scripted model puts 城市积水 where 城市内涝 is, as a model knows them for one event; their characters
    # are too unlike for the n-gram tier. 寒潮 beside 暴雨 is refused by the lexicon (cold is not rain).
    synonyms = {"城市积水": "城市内涝", "寒潮": "暴雨"}
    same = lambda question: extraction_answer(("pc", question, {"related": "true", "reason": "同一事件"}))  # noqa: E731
    with ScriptedEndpoint(same, embedding=lambda text: hashed_embedding(synonyms.get(text, text))) as endpoint:
        config = tmp_path / "config.json"
        config.write_text(json.dumps(endpoint.config()), encoding="utf-8")
        arguments = ["graph", str(out), "--output", str(tmp_path / "g"), "--embeddings", "emb", "--config", str(config)]
        arguments += ["--scheduler", scheduler, "--quiet"]
        cached = [*arguments, "--cache", str(tmp_path / "answers.sqlite3")]
        assert main(cached) == 0
        with pytest.raises(SystemExit, match="2"):  # a model's level given with --embeddings, or none
            main([*arguments, "--merge", "similar/normal"])
        assert "error: --embeddings is for --merge meaning or judge" in capsys.readouterr().err
        summary = json.loads((tmp_path / "g" / "summary.json").read_text(encoding="utf-8"))
        assert summary["merge"]["level"] == "meaning" and summary["merge"]["merges"]["meaning"] == 1
        usage = summary["merge"]["model_requests"]["embeddings"]
        assert (usage["requests"], usage["names_asked"], usage["tokens"]) == (1, 6, 16)
        asked = len(endpoint.embedding_requests)
        assert main(cached) == 0  # every vector is in the answer cache now
        assert len(endpoint.embedding_requests) == asked

        endpoint.embedding_status = 503
        asked = len(endpoint.embedding_requests)
        assert main([*arguments, "--no-cache"]) == 1
        said = capsys.readouterr().err
        assert "nothing written" in said and f"({len(endpoint.embedding_requests) - asked} attempts)" in said
        assert main([*arguments, "--no-cache", "--merge", "meaning/similar"]) == 0
        assert "warning: --merge meaning failed" in capsys.readouterr().err
        endpoint.embedding_status = 200
        endpoint.embedding = lambda text: [1.0] * (2 + len(text))  # as vectors cached of another model would be
        with asking(None) as session, pytest.raises(ModelFailed, match="gave vectors of 4 and 6 dimensions"):
            EmbeddingsClient(endpoint.config(), "emb", session, batch=1)(["城市", "城市内涝"])

        # The judge: a pair of the doubtful band (cosine 0.37) asked with the configuration's prompt, once. The
        # model is asked for 电力中断's parts, its participant the power: put near 城市内涝 too. So is 工厂停产's,
        # but 城市积水 (one event with 城市内涝) causes it: a cause is never asked whether it is its own effect.
        flood, outage, halt = (hashed_embedding(name) for name in ("城市内涝", "电力中断", "工厂停产"))
        endpoint.embedding = lambda text: (
            [h + 0.4 * f for h, f in zip(outage if text.startswith("电力") else halt, flood, strict=True)]
            if text.startswith(("电力", "工厂"))
            else hashed_embedding(synonyms.get(text, text))
        )
        endpoint.embedding_status = 200
        said = {"text": "加息", "kind": "pc", "attrs": {"related": "true"}}
        judge = {
            "prompt_description": "两个名称说的是否同一事件？",
            "examples": [{"text": "加息\n上调利率", "extractions": [said]}],
        }
        config.write_text(json.dumps(endpoint.config(merge={"judge": judge}), ensure_ascii=False), encoding="utf-8")
        judged = [*cached, "--merge", "judge", "--embeddings", "another"]
        assert main(judged) == 0
        merge = json.loads((tmp_path / "g" / "summary.json").read_text(encoding="utf-8"))["merge"]
        assert [sorted(question.split("\n")) for question in endpoint.questions] == [["城市内涝", "电力中断"]]
        assert merge["merges"]["judge"] == 1
        assert merge["model_requests"]["judge"]["calls"] == 1
        assert main(judged) == 0  # the answer is in the cache
        assert len(endpoint.questions) == 1
