"""The normal form of an event name: the spelling a name is compared by once what only qualifies the event is gone.

In this order:
1. traditional characters (and Taiwan's words for things, 晶片 -> 芯片) to simplified, by OpenCC's ``tw2sp``;
2. Unicode NFKC, which turns full-width letters, digits and signs (５％) into plain ones, then Latin letters
   case-folded;
3. the qualifiers taken out (`QUALIFIERS`, each a named pattern): dates and times, percentages and points, amounts
   with their units, with the words that only qualify them (约, 超, 同比, ...);
4. every blank and quotation mark, and the punctuation left at the ends.

A name of nothing but qualifiers (``3%``) keeps its NFKC form, and one of nothing but quotation marks keeps them:
it is then compared as written. What is taken out
of each name is reported (`Normal.removed`), so a user can see why two names met.
"""

from __future__ import annotations

import re
import unicodedata
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from functools import cache
from typing import Any

# Numbers as amounts and dates are written: 3, 2.5, 1,200 (never part of a Latin word: G20, 5G, COVID-19 stay)
# and 二十五, 三千五百, 两, 半 (only before a unit: 一带一路 and 半导体 stay).
_ARABIC = r"(?<![a-z0-9.+-])[+-]?\d+(?:[.,]\d+)*(?![a-z])"
_HAN = r"[零〇一二两三四五六七八九十半][零〇一二两三四五六七八九十百千万亿]*(?:点[零〇一二三四五六七八九]+)?"
_PER_UNIT = r"(?:桶|吨|盎司|股|克|公斤|千克|平方米|平米)"
_PER = rf"每{_PER_UNIT}"
"""A price's unit, before its figure (每克800元) or after it (800元/克)."""
_APPROX = rf"(?:{_PER}|约|近|逾|超过|超|达到|达|高达|至|到|从|由|仅|为|了|共|合计|累计|多达|不到|不足|将近)"
_MAGNITUDE = r"(?:万亿|千亿|百亿|十亿|亿|千万|百万|十万|万|千|百)"
_CURRENCY = r"(?:美元|人民币|元|欧元|日元|英镑|港元|港币|韩元|卢布|澳元)"
_HAN_UNIT = rf"(?:个百分点|百分点|个基点|基点|倍|{_CURRENCY}|桶|吨|万吨|亿吨|辆|架|艘|人次|户|摄氏度|℃)"
_UNIT = (
    rf"(?:(?:{_HAN_UNIT}|bp|bps|公斤|千克|克|盎司|千瓦时|度|台|部|人|家|座|套|只|头|"
    r"平方米|平米|公顷|亩|立方米|公里|千米|米|毫米|厘米|级|°c|点|股|手|张|份|项|个|所)"
    rf"(?:/{_PER_UNIT})?)"
)
_DAY = r"(?:[0-9]{1,2}|[一二三四五六七八九十]{1,3})"
DAY = "day"
"""The kind of what looks like a qualifier but names a day: matched first, so that its numerals stay."""
_OCCASION = r"(?:黄金周|小长假|长假|假期|大促|购物节|购物狂欢节|晚会)"
DAYS = (
    rf"(?:双(?:十[一二]|1[12])(?![0-9零〇一二两三四五六七八九十])|五一|六一|"
    rf"(?:[一二三四五六七八九十]{{1,2}}|[0-9]{{1,2}}[·.][0-9]{{1,2}}|[0-9]{{3,4}})(?={_OCCASION}))(?:{_OCCASION})?"
)
"""Days that a numeral names (双十一, 五一, 十一黄金周, 618大促, 3·15晚会): the public holidays and shopping days
that are written as numerals alone, and a numeral fused with the word of an occasion (a bare 618 may be a figure).
Each is what an event is about, not a figure: kept, and read as one word."""

QUALIFIERS: tuple[tuple[str, str], ...] = (
    (DAY, DAYS),
    (
        "date",
        rf"(?:自|从|至|到)?(?:\d{{4}}|[零〇一二三四五六七八九]{{4}}|\d{{2}})(?:年(?:{_DAY}月份?)?(?:{_DAY}[日号])?"
        r"(?:[上中下]旬|[上下]半年|前三季度|第?[一二三四1-4]季度|初|底|末)?(?:以来)?|届)",
    ),
    ("date", rf"{_DAY}月份?(?:{_DAY}[日号])?(?:[上中下]旬|初|底|末)?"),
    ("date", r"(?<![0-9])\d{4}[-/.]\d{1,2}(?:[-/.]\d{1,2})?"),
    (
        "date",
        r"(?:今年|去年|前年|明年|本年度|年内|年初|年中|年底|年末|本月|上月|下月|本周|上周|下周|昨日|今日|明日|"
        r"昨天|今天|明天|近日|日前|当日|周[日末])",
    ),
    ("date", r"周[一二三四五六]"),
    ("date", r"(?:第?[一二三四1-4]季度|(?<![a-z])q[1-4](?![0-9])|[上下]半年|前三季度)"),
    ("time", r"(?<![0-9])\d{1,2}[:：]\d{2}(?:[:：]\d{2})?"),
    ("time", r"(?<![0-9.])\d{1,2}[时点]\d{1,2}分(?:\d{1,2}秒)?"),
    (
        "time",
        r"(?:凌晨|早上|上午|中午|下午|晚间|晚上|夜间)(?:\d{1,2}|[一二三四五六七八九十]{1,3})[点时](?:\d{1,2}分|半)?",
    ),
    ("percentage", rf"{_APPROX}?百分之{_HAN}"),
    ("percentage", rf"{_APPROX}?{_ARABIC}%"),
    # Tenths are one numeral's (三成, 两成): after another numeral, 成 starts a word (双十一成交额).
    (
        "amount",
        rf"{_APPROX}?(?<![零〇一二两三四五六七八九十百千万亿0-9.])(?:[一二两三四五六七八九十]|[1-9]|10)成(?:以上|左右|多)?",
    ),
    ("amount", rf"{_APPROX}?{_ARABIC}{_MAGNITUDE}?{_UNIT}?(?:以上|左右|之多|多)?"),
    ("amount", rf"{_APPROX}?{_HAN}(?:{_MAGNITUDE}?{_HAN_UNIT}|{_MAGNITUDE}{_UNIT}?)(?:以上|左右|之多|多)?"),
    ("comparison", r"(?:同比|环比|较上月|较去年同期|较上年同期)"),
)
QUOTES = "\"'“”‘’「」『』〝〞＂＇`´"
# Left at either end once the qualifiers are out: 下跌了3% -> 下跌了 -> 下跌.
_END_TRIM = " \t\n\r　.,;:!?。、，；：！？·-—~～至了的"

# The characters a qualifier can start with: looked at first, they spare the engine trying every pattern at every
# other place (four times faster). A pattern added to QUALIFIERS adds its first characters here.
_STARTS = (
    "0-9+\\-"  # figures
    "零〇一二两三四五六七八九十半"  # figures in Chinese
    "每约近逾超达高至到从自由仅为了共合累多不将"  # the words before a figure
    "今去前明本年上下昨日当周第q凌早中晚夜百同环较"  # dates, times, comparisons
    "双"  # days named by numerals
)
_PATTERN = re.compile(
    f"(?=[{_STARTS}])(?:" + "|".join(f"(?P<q{index}>{pattern})" for index, (_, pattern) in enumerate(QUALIFIERS)) + ")"
)
# Every qualifier but the words alone (今年, 同比) holds a digit, Arabic or Chinese: most names hold none, and the
# words' pattern alone finds the same in them, much faster.
_NUMERALS = re.compile("[0-9零〇一二两三四五六七八九十半]")
_WORDS_PATTERN = re.compile(
    f"(?=[{_STARTS}])(?:"
    + "|".join(
        f"(?P<q{index}>{pattern})" for index, (_, pattern) in enumerate(QUALIFIERS) if not _NUMERALS.search(pattern)
    )
    + ")"
)
_KINDS = {f"q{index}": kind for index, (kind, _) in enumerate(QUALIFIERS)}
_BLANKS = re.compile(r"\s+")
_QUOTE_TABLE = str.maketrans("", "", QUOTES)


@dataclass(frozen=True)
class Normal:
    form: str
    """The normal form: two names of one form are one event (the first tier)."""
    removed: tuple[tuple[str, str], ...] = ()
    """(kind, text) of each qualifier taken out, in order."""


MAINLAND = (
    "新增",
    "建立",
    "程序",
    "核心",
    "文件",
    "宣告",
    "支援",
    "整合",
    "序列",
    "行程",
    "呼叫",
    "批次",
    "物件",
    "元件",
    "影像",
    "影片",
    "效能",
    "社群",
    "遮蔽",
    "相容",
    "存取",
    "稽核",
    "停用",
    "登出",
    "向量",
    "字型",
    "影印",
    "防毒",
    "乳酪",
    "白血球",
    "心肌梗塞",
    "电子音乐",
    "蚌埠",
    "埠",
    "尼日利亚",
    "尼日尔",
    "厄瓜多尔",
    "塔吉克",
    "理查德",
)
"""Words of mainland Chinese that the Taiwan phrase table takes for Taiwan's words for others and would rewrite
(新增 -> 添加, 程序 -> 进程, 蚌埠 -> 蚌端口, 尼日利亚 -> 尼日尔利亚): a name keeps them as they are, in either
script."""
_HELD = 0xE000
"""Where each kept word waits, as one character of the private use area, while the rest is converted."""


@cache
def _converter() -> Any:
    try:
        import opencc
    except ImportError as error:
        raise ImportError(
            f"event names' characters are compared through OpenCC, which is not installed ({error}): "
            "pip install 'kestor-tavi-extractor[corpus]'"
        ) from None
    return opencc.OpenCC("tw2sp.json")


@cache
def _mainland() -> tuple[re.Pattern[str], dict[str, str], dict[int, str]]:
    """A pattern of the kept words in both scripts, the character each spelling waits as, and the word each such
    character stands for."""
    import opencc

    # A converter is a second or more to load: two for all the words.
    traditional, taiwan = opencc.OpenCC("s2t.json"), opencc.OpenCC("s2tw.json")
    held: dict[str, str] = {}
    for number, word in enumerate(MAINLAND):
        for spelling in (word, traditional.convert(word), taiwan.convert(word)):
            held.setdefault(spelling, chr(_HELD + number))
    starts = "".join(sorted({spelling[0] for spelling in held}))
    alternatives = "|".join(re.escape(spelling) for spelling in sorted(held, key=len, reverse=True))
    pattern = re.compile(f"(?=[{starts}])(?:{alternatives})")
    return pattern, held, {_HELD + number: word for number, word in enumerate(MAINLAND)}


_PRIVATE = re.compile("[\ue000-\uf8ff]")


def simplified(names: Sequence[str]) -> list[str]:
    """The names in simplified characters; one call to OpenCC for all (a call costs more than a name)."""
    if not names:
        return []
    joined = "\n".join(name.replace("\n", " ") for name in names)
    pattern, held, words = _mainland()
    # Names of the private use area (never met) are converted as they are.
    keep = _PRIVATE.search(joined) is None
    if keep:
        joined = pattern.sub(lambda match: held[match.group()], joined)
    text: str = _converter().convert(joined)
    if keep:
        text = _PRIVATE.sub(lambda match: words[ord(match.group())], text)
    converted = text.split("\n")
    if len(converted) != len(names):  # a conversion that joined or split lines: one name at a time then
        return [simplified([name])[0] for name in names]
    return converted


def normalize(names: Iterable[str]) -> list[Normal]:
    """The normal form of each name (an event key: NFKC-trimmed), in order."""
    listed = list(names)
    return [_normal(name) for name in simplified(listed)]


def readable(names: Sequence[str]) -> list[str]:
    """Each name as a reader should see it: simplified, NFKC, its qualifiers (dates, figures) out as in its normal
    form, but its case, quotation marks and inner blanks kept (CPI上涨, 台风“海葵”)."""
    return [_readable(name) for name in simplified(names)]


def _readable(name: str) -> str:
    text = unicodedata.normalize("NFKC", name).strip()
    folded = text.casefold()
    if len(folded) != len(text):  # a letter that folds to two (ß): the places below would not match
        return _normal(name).form
    pattern = _PATTERN if _NUMERALS.search(folded) else _WORDS_PATTERN
    kept = []
    start = 0
    for match in pattern.finditer(folded):
        if match.end() > match.start() and _KINDS[match.lastgroup or ""] != DAY:
            kept.append(text[start : match.start()])
            start = match.end()
    kept.append(text[start:])
    return "".join(kept).strip(_END_TRIM) or text


def _normal(name: str) -> Normal:
    folded = _BLANKS.sub("", unicodedata.normalize("NFKC", name).casefold())
    # A name of nothing but quotation marks keeps them: an empty form would make one event of “” and 「」.
    text = folded.translate(_QUOTE_TABLE) or folded
    pattern = _PATTERN if _NUMERALS.search(text) else _WORDS_PATTERN
    removed = []
    kept = []
    start = 0
    for match in pattern.finditer(text):
        if match.end() > match.start() and _KINDS[match.lastgroup or ""] != DAY:
            removed.append((_KINDS[match.lastgroup or ""], match.group()))
            kept.append(text[start : match.start()])
            start = match.end()
    if not removed:
        return Normal(text.strip(_END_TRIM) or text)
    kept.append(text[start:])
    form = "".join(kept).strip(_END_TRIM)
    if not form:
        return Normal(text.strip(_END_TRIM) or text)
    return Normal(form, tuple(removed))
