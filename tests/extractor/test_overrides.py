"""Every operation of every extractor class, overridden in a subclass: honoured on every road that calls it through
the instance, and not used where it is called through the class."""

from __future__ import annotations

import copy

import pytest
from offline import OFFLINE_CONFIG

from kestor.tavi.extractor.causara import CausaraExtractor
from kestor.tavi.extractor.force import ForceExtractor
from kestor.tavi.extractor.linqor import LinqorExtractor

from .fakes import answer
from .force_graphs import WORKED, WORKED_PATHS

# What each operation calls through the instance.
CALLS = {
    CausaraExtractor: {
        "__init__": ["_build_model"],
        "_build_model": [],
        "predict": ["_to_relation"],
        "_to_relation": [],
        "_to_strength": [],
    },
    LinqorExtractor: {
        "__init__": ["_build_model"],
        "_build_model": [],
        "predict": ["_to_result", "_default_result"],
        "_to_result": [],
        "_to_bool": [],
        "_default_result": [],
    },
    ForceExtractor: {
        "__init__": ["_build_model"],
        "_build_model": [],
        "predict": ["_find_paths", "_format_graph_data", "_call_llm", "_extract_force"],
        "_call_llm": [],
        "_extract_force": ["_get_first_force", "_review_with_article"],
        "_get_first_force": [],
        "_review_with_article": [],
        "_find_paths": ["_build_graph", "_dfs"],
        "_dfs": ["_edge_to_path_edge", "_dfs"],
        "_edge_to_path_edge": [],
        "_build_graph": ["_build_node_map", "_build_adjacency", "_get_start_nodes", "_get_end_nodes"],
        "_build_node_map": [],
        "_build_adjacency": [],
        "_get_start_nodes": [],
        "_get_end_nodes": [],
        "_format_graph_data": ["_build_node_map", "_build_graph", "_append_start_end", "_append_paths"],
        "_append_start_end": [],
        "_append_paths": ["_format_edge_line"],
        "_format_edge_line": [],
    },
}
# Called through the class itself, so a subclass's own is not used there.
THROUGH_THE_CLASS = {CausaraExtractor: {"_to_strength"}, LinqorExtractor: {"_to_bool"}}

ARTICLE = "台风过境，全城停电三天。"
# The same graph with a key the native road does not read, so that every step runs on host objects.
HOST_ROAD = copy.deepcopy(WORKED)
HOST_ROAD["edges"][0][0] = "a key that is not text"


def reached(cls: type, operation: str) -> set[str]:
    found: set[str] = set()
    todo = list(CALLS[cls][operation])
    while todo:
        name = todo.pop()
        if name not in found:
            found.add(name)
            todo.extend(CALLS[cls][name])
    return found


def build(cls: type):
    if issubclass(cls, ForceExtractor):
        return cls(OFFLINE_CONFIG, "p", [], "r", [])
    return cls(OFFLINE_CONFIG, "p", [])


def spied(cls: type, name: str, seen: list[str]) -> type:
    """A subclass whose `name` records each call and then does what the class's own does."""
    own = vars(cls)[name]
    if isinstance(own, staticmethod):

        def spy(*args, **kwargs):
            seen.append(name)
            return own.__func__(*args, **kwargs)

        return type(f"Spied{cls.__name__}", (cls,), {name: staticmethod(spy)})

    def method(self, *args, **kwargs):
        seen.append(name)
        return own(self, *args, **kwargs)

    return type(f"Spied{cls.__name__}", (cls,), {name: method})


# Each road: the class, the operation it enters by, what the service answers, and the call.
ROADS = {
    "causara": (
        CausaraExtractor,
        "predict",
        [answer({"source": "a", "target": "b", "strength": "0.4"})],
        lambda x: x.predict("t"),
    ),
    "linqor": (LinqorExtractor, "predict", [answer({"related": "yes", "reason": 1})], lambda x: x.predict("t")),
    "linqor-no-answer": (LinqorExtractor, "predict", [answer()], lambda x: x.predict("t")),
    "force-native": (
        ForceExtractor,
        "predict",
        [answer({"final_force": "特别剧烈"}), answer({"final_force": "中等"})],
        lambda x: x.predict(WORKED, ARTICLE),
    ),
    "force-host-objects": (
        ForceExtractor,
        "predict",
        [answer({"final_force": "特别剧烈"}), answer({"final_force": "中等"})],
        lambda x: x.predict(HOST_ROAD, ARTICLE),
    ),
    "find-paths-native": (ForceExtractor, "_find_paths", [], lambda x: x._find_paths(WORKED)),
    "find-paths-host-objects": (ForceExtractor, "_find_paths", [], lambda x: x._find_paths(HOST_ROAD)),
    "format-native": (ForceExtractor, "_format_graph_data", [], lambda x: x._format_graph_data(WORKED, WORKED_PATHS)),
    "format-host-objects": (
        ForceExtractor,
        "_format_graph_data",
        [],
        lambda x: x._format_graph_data(HOST_ROAD, WORKED_PATHS),
    ),
    "extract-force": (
        ForceExtractor,
        "_extract_force",
        [answer({"final_force": "中等"})],
        lambda x: x._extract_force(answer({"final_force": "特别剧烈"}), ARTICLE),
    ),
}


# What a road's input leaves out of what its entry may call.
UNREACHED = {"linqor": {"_default_result"}, "linqor-no-answer": {"_to_result"}}


@pytest.mark.parametrize("cls", list(CALLS), ids=lambda cls: cls.__name__)
def test_the_table_knows_every_operation(cls):
    assert [name for name in vars(cls) if name == "__init__" or not name.startswith("__")] == list(CALLS[cls])


@pytest.mark.parametrize("road", list(ROADS))
def test_overrides_on_every_road(service, road):
    cls, entry, answers, run = ROADS[road]
    service.answers(*answers)
    expected = run(build(cls))
    for name in CALLS[cls]:
        if name == "__init__":
            continue
        seen: list[str] = []
        subclass = spied(cls, name, seen)
        extractor = build(subclass)
        seen.clear()
        service.answers(*answers)
        assert run(extractor) == expected, name
        if name in reached(cls, entry) - UNREACHED.get(road, set()) - THROUGH_THE_CLASS.get(cls, set()):
            assert seen, f"{name} overridden, not called on the road {road}"
        elif name != entry:
            assert not seen, f"{name} overridden, called on the road {road} where it is not expected"


@pytest.mark.parametrize("cls", list(CALLS), ids=lambda cls: cls.__name__)
def test_build_model_through_the_instance(provider, cls):
    seen: list[str] = []
    build(spied(cls, "_build_model", seen))
    assert seen == ["_build_model"]
