"""Random graph data: the native operations against the plain Python reference, and the native road of predict
against the road through the instance."""

from __future__ import annotations

from types import SimpleNamespace
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from offline import OFFLINE_CONFIG
from plain_force import PlainForceExtractor

from kestor.tavi.extractor import force as force_module
from kestor.tavi.extractor.force import ForceExtractor

# Hundreds of generated graphs per test.
pytestmark = pytest.mark.slow

# Mostly small integers so that paths form; now and then ids of other kinds, equal or not to those integers.
ids = st.one_of(
    st.integers(0, 7),
    st.integers(0, 7),
    st.integers(0, 7),
    st.sampled_from([1.0, 2.0, True, 2.5, -0.0, 2**70, "a", None, float("nan")]),
)
names = st.one_of(st.text(max_size=3), st.sampled_from([None, 0, 1.5, "", "𝔸名"]))
strengths = st.one_of(st.none(), st.floats(allow_nan=True), st.integers(-3, 10**20), st.text(max_size=2), st.booleans())


class EdgeDict(dict):
    pass


@st.composite
def end(draw, key: str) -> dict[str, Any]:
    kind = draw(st.sampled_from(["id", "id", "id", "id", "missing", "no id", "bare", "none"]))
    if kind == "missing":
        return {}
    if kind == "no id":
        return {key: {}}
    if kind == "bare":
        return {key: draw(ids)}
    if kind == "none":
        return {key: None}
    return {key: {"id": draw(ids)}}


@st.composite
def edges(draw) -> dict[str, Any]:
    edge = {**draw(end("src_node")), **draw(end("dest_node"))}
    meta = draw(st.sampled_from(["strength", "strength", "empty", "missing", "none"]))
    if meta == "strength":
        edge["meta"] = {"strength": draw(strengths)}
    elif meta == "empty":
        edge["meta"] = {}
    elif meta == "none":
        edge["meta"] = None
    return EdgeDict(edge) if draw(st.integers(0, 30)) == 0 else edge


@st.composite
def nodes(draw) -> dict[str, Any]:
    node: dict[str, Any] = {}
    if draw(st.integers(0, 9)):
        node["id"] = draw(ids)
    if draw(st.integers(0, 5)):
        node["name"] = draw(names)
    return node


@st.composite
def graph_data(draw, plain: bool = False) -> dict[str, Any]:
    if plain:
        node_ids = st.integers(0, 7)
        node_list = draw(st.lists(st.fixed_dictionaries({"id": node_ids, "name": st.text(max_size=3)}), max_size=8))
        edge_list = draw(
            st.lists(
                st.builds(
                    lambda a, b, s: {"src_node": {"id": a}, "dest_node": {"id": b}, "meta": {"strength": s}},
                    node_ids,
                    node_ids,
                    st.one_of(st.none(), st.floats(0, 1), st.integers(0, 5)),
                ),
                max_size=14,
            )
        )
        return {"nodes": node_list, "edges": edge_list}
    data: dict[str, Any] = {}
    if draw(st.integers(0, 9)):
        data["nodes"] = draw(st.lists(nodes(), max_size=8)) if draw(st.integers(0, 20)) else None
    if draw(st.integers(0, 9)):
        data["edges"] = draw(st.lists(edges(), max_size=14))
    return data


def outcome(operation, *arguments):
    """What an operation gives: its result, or the type of the error it raises."""
    try:
        return "ok", operation(*arguments)
    except Exception as error:
        return "error", type(error)


def same(left, right) -> bool:
    # NaN strengths and names compare unequal to themselves; their text still compares.
    return left == right or repr(left) == repr(right)


@pytest.fixture(scope="module")
def extractors():
    return ForceExtractor(OFFLINE_CONFIG, "p", [], "r", []), PlainForceExtractor(OFFLINE_CONFIG, "p", [], "r", [])


class Relaying(ForceExtractor):
    """Every step of the walk and of the rendering goes through the instance."""

    def _dfs(self, *arguments):
        return super()._dfs(*arguments)

    def _format_edge_line(self, edge):
        return super()._format_edge_line(edge)


@pytest.fixture(scope="module")
def roads():
    return ForceExtractor(OFFLINE_CONFIG, "p", [], "r", []), Relaying(OFFLINE_CONFIG, "p", [], "r", [])


SETTINGS = settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


@SETTINGS
@given(data=graph_data())
def test_operations_match_the_reference(extractors, data):
    native, plain = extractors
    for operation in ("_build_graph", "_find_paths"):
        mine, theirs = outcome(getattr(native, operation), data), outcome(getattr(plain, operation), data)
        assert mine[0] == theirs[0] and same(mine[1], theirs[1]), operation
    paths = outcome(plain._find_paths, data)
    if paths[0] == "ok":
        mine, theirs = (
            outcome(native._format_graph_data, data, paths[1]),
            outcome(plain._format_graph_data, data, paths[1]),
        )
        assert mine[0] == theirs[0] and same(mine[1], theirs[1])


@SETTINGS
@given(data=graph_data(plain=True))
def test_shared_prefixes_match_the_reference(extractors, data):
    native, plain = extractors
    mine, theirs = native._find_paths(data), plain._find_paths(data)
    assert mine == theirs

    # Path edges are shared between paths exactly where the reference shares them.
    def sharing(paths):
        return [[id(edge) for edge in path] for path in paths]

    first_seen: dict[int, int] = {}
    pattern_mine = [[first_seen.setdefault(i, len(first_seen)) for i in path] for path in sharing(mine)]
    first_seen = {}
    pattern_theirs = [[first_seen.setdefault(i, len(first_seen)) for i in path] for path in sharing(theirs)]
    assert pattern_mine == pattern_theirs


@SETTINGS
@given(data=graph_data(), answer=st.sampled_from(["中等", "特别剧烈", "", 3]))
def test_native_road_matches_the_road_through_the_instance(monkeypatch, roads, data, answer):
    sent: list[str] = []

    def extract(**kwargs):
        sent.append(kwargs["text_or_documents"])
        return SimpleNamespace(extractions=[SimpleNamespace(attributes={"final_force": answer})])

    with monkeypatch.context() as patch:
        patch.setattr(force_module.lx, "extract", extract)
        patch.setattr(force_module, "logger", SimpleNamespace(info=_ignore, debug=_ignore, exception=_ignore))
        results = [extractor.predict(data, "文章") for extractor in roads]
    assert results[0] == results[1]
    assert sent[: len(sent) // 2] == sent[len(sent) // 2 :]


def _ignore(*args, **kwargs):
    pass
