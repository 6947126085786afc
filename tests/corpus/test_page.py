"""index.html, the event graph to explore in a browser, and the layout it shares with top-events.png.

The browser test runs Debian's headless Chromium (`make test` installs it); without it the test is skipped and says
why, except in CI, which must run it. Its screenshot is written under build/ for a person to look at.
"""

from __future__ import annotations

import contextlib
import json
import os
import re
import time
from pathlib import Path
from typing import Any

import chromium
import page_library
import pytest

from kestor.tavi.corpus.exits import SetupError
from kestor.tavi.corpus.graph import draw, page, update
from kestor.tavi.corpus.graph.between import Network
from kestor.tavi.corpus.graph.build import build_event_graph
from kestor.tavi.corpus.graph.layout import lay_out
from kestor.tavi.corpus.graph.reading import subgraph_between

from .classes import form_classes_by

# A few articles, what a model finds in each (source, target, strength) and the force it reads from each graph, by
# its start event: the names of one event in different articles meet through each tier that needs no model.
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
FORCES = {"台风“海葵”": "特别剧烈", "持续干旱": "剧烈", "寒潮来袭": "中等", "连日强降雨": "剧烈", "颱風過境": "中等"}

SCREENSHOT = Path("build/browser-test/index.png")
KEPT = 20
HOSTILE = "</script><i>坏</i>"
# Two classes of two events each, by the events' normal forms; every other event a class of its own.
CLASSES = {"沿海暴雨": "降雨", "连日强降雨": "降雨", "台风海葵": "台风", "台风过境": "台风"}


def demo_output(directory: Path) -> Path:
    """The demo's articles as its articles run writes them, and one more whose event's name holds markup."""
    lines = []
    for id_, text in ARTICLES:
        keyword = next(keyword for keyword in RELATIONS if keyword in text)
        relations = [
            {"source": a, "source_meta": "", "rel": "因果", "target": b, "target_meta": "", "strength": s,
             "strength_reason": ""}
            for a, b, s in RELATIONS[keyword]
        ]  # fmt: skip
        result = {"relations": relations, "graph": {}, "force": FORCES[relations[0]["source"]]}
        line = {"id": id_, "status": "ok", "result": result, "attempts": 1, "error": None}
        line |= {"date": DATES[id_]} if id_ in DATES else {}
        lines.append(line | ({"text": text[:KEPT]} if id_ == "fj-typhoon" else {}))  # as --keep-text keeps it
    hostile = {"source": HOSTILE, "rel": "因果", "target": "工厂停产", "strength": 0.2}
    hostile |= {"source_meta": "", "target_meta": "", "strength_reason": ""}
    result = {"relations": [hostile], "graph": {}, "force": "轻微"}
    lines.append({"id": "x", "status": "ok", "result": result, "attempts": 1, "error": None})
    directory.mkdir()
    text = "".join(json.dumps(line, ensure_ascii=False) + "\n" for line in lines)
    (directory / "part-00000.jsonl").write_text(text, encoding="utf-8")
    return directory


@pytest.fixture(scope="module")
def demo_graph(tmp_path_factory):
    from distributed import Client

    work = tmp_path_factory.mktemp("page")
    with (
        Client(processes=False, n_workers=1, threads_per_worker=1, dashboard_address=":0") as client,
        pytest.MonkeyPatch.context() as patch,
    ):
        patch.setattr(update, "form_classes", form_classes_by(CLASSES))
        build_event_graph(demo_output(work / "out"), work / "graph", client=client)
    return work / "graph"


@pytest.fixture(scope="module")
def browser():
    absent = chromium.missing()
    if absent:
        if os.environ.get("CI"):
            pytest.fail(f"CI runs the browser test, but {absent}")
        pytest.skip(absent)
    with chromium.chromium() as driver:
        yield driver


def without_new_fields(graph_dir: Path, into: Path) -> None:
    """The demo graph as a graph written before events were merged: no aliases, article ids or edge figures."""
    document = json.loads((graph_dir / "graph.json").read_text(encoding="utf-8"))
    for node in document["nodes"]:
        del node["aliases"]
    for edge in document["edges"]:
        for field in ("article_ids", "probability", "lift", "first_seen", "last_seen", "months"):
            edge.pop(field, None)
    into.mkdir()
    (into / "graph.json").write_text(json.dumps(document, ensure_ascii=False), encoding="utf-8")
    page.write_page(into / "graph.json", into)


@pytest.mark.slow
def test_the_page_finds_expands_and_follows_paths_in_a_real_browser(demo_graph, browser, tmp_path):
    from selenium.common.exceptions import TimeoutException
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait

    def text(selector: str) -> str:
        return str(browser.find_element("css selector", selector).text)

    def choose(field: str, typed: str) -> list[str]:
        box = browser.find_element("id", field)
        box.clear()
        box.send_keys(typed)
        offered = [item.text for item in box.find_elements("xpath", "following-sibling::ul/li")]
        box.send_keys(Keys.ENTER)
        return offered

    document = json.loads((demo_graph / "graph.json").read_text(encoding="utf-8"))
    names = {node["id"]: node["name"] for node in document["nodes"] if node["kind"] == "event"}
    document["edges"] = [edge for edge in document["edges"] if edge["type"] == "relation"]

    browser.get((demo_graph / "index.html").as_uri())
    assert chromium.wait_until_drawn(browser) == "ready"
    assert browser.execute_script("return performance.getEntriesByType('resource').length") == 0
    assert text("#scale") == f"All {len(names)} events and {len(document['edges'])} edges."

    # Found with completion by part of a name, chosen with the keyboard: its neighbourhood with P(target | source),
    # as the merge wrote it. 部分地区电力中断, 電力中斷 and 电力中断。 are one event.
    assert choose("search", "电力") == ["电力中断\ndegree 5"]
    assert text("#event h2") == "电力中断"
    rows = [row.text for row in browser.find_elements("css selector", "#event table.predecessors tr")[1:]]
    assert sorted(rows) == sorted(
        f"{names[edge['source']]} {edge['count']} {edge['probability']:.3f} {edge['strength_mean']:.2f}"
        for edge in document["edges"]
        if names[edge["target"]] == "电力中断"
    )
    assert "沿海暴雨 1 0.500 0.60" in rows
    assert [row.text for row in browser.find_elements("css selector", "#event table.successors tr")[1:]] == [
        "工厂停产 2 1.000 0.82"
    ]

    # A click on a neighbour in the drawing opens its neighbourhood beside the first, once the drawing is still.
    def still(name: str) -> dict[str, float]:
        places = [None]

        def settled(driver: Any) -> Any:
            places.append(driver.execute_script("return explorer.at(arguments[0])", name))
            return places[-1] if places[-1] == places[-2] else time.sleep(0.3)

        return WebDriverWait(browser, 10).until(settled)

    canvas = browser.find_element("id", "graph")

    def pointer(x: float, y: float) -> Any:
        offset = (round(x - canvas.rect["width"] / 2), round(y - canvas.rect["height"] / 2))
        return ActionChains(browser).move_to_element_with_offset(canvas, *offset)

    # sigma takes a click for the event the last move of the pointer came onto: on a machine under load that move
    # may be read late, and a person clicks again.
    for _ in range(3):
        at = still("工厂停产")
        pointer(at["x"], at["y"]).pause(0.3).click().perform()
        with contextlib.suppress(TimeoutException):
            WebDriverWait(browser, 3).until(lambda driver: len(driver.execute_script("return explorer.open()")) == 2)
            break
    assert browser.execute_script("return explorer.open()") == ["电力中断", "工厂停产"]
    assert text("#event h2") == "工厂停产"
    # Under the pointer, an edge of the open neighbourhoods says P(target | source).
    cause, effect = still("电力中断"), still("工厂停产")
    # (The first move leaves the event clicked; a pointer in a person's hand moves on.)
    middle = ((cause["x"] + effect["x"]) / 2, (cause["y"] + effect["y"]) / 2)
    for step in range(3):
        pointer(middle[0] + step, middle[1]).pause(0.2).perform()
        pointer(middle[0] + step + 1, middle[1]).perform()
        with contextlib.suppress(TimeoutException):
            WebDriverWait(browser, 3).until(lambda driver: driver.find_element("id", "tooltip").is_displayed())
            break
    assert text("#tooltip") == "电力中断 → 工厂停产: P(工厂停产 | 电力中断) = 1.000, 2 relations, mean strength 0.82"

    # The paths between two events: what --between finds in the same graph.
    choose("path-from", "海葵")  # 台风 alone now finds 台风过境 first, the event of 颱風過境
    choose("path-to", "工厂停产")
    browser.find_element("id", "path-find").click()
    graph, paths = subgraph_between(Network.read(demo_graph), "台风“海葵”", "工厂停产")
    assert text("#path-result p") == (
        f"{paths} paths from 台风“海葵” to 工厂停产: {len(graph['nodes'])} events, {len(graph['edges'])} edges"
    )
    assert len(browser.find_elements("css selector", "#path-result ol li")) == paths == 2
    SCREENSHOT.parent.mkdir(parents=True, exist_ok=True)
    browser.save_screenshot(str(SCREENSHOT))

    # A name that holds markup is a name, and the page is whole around it.
    assert choose("search", "script") == [f"{HOSTILE}\ndegree 1"]
    assert text("#event h2") == HOSTILE

    # Found by an alias the merge recorded; an edge's figures, dates and articles as the merge wrote them.
    assert choose("search", "電力") == ["电力中断\nas 電力中斷"]
    assert text("#event p.aliases") == "Also written 電力中斷 (2), 部分地区电力中断 (1)"
    browser.find_element("css selector", "#event table.successors tr.edge-row td.number").click()
    facts = text("#edge dl")
    assert re.search(r"P\(工厂停产 \| 电力中断\)\n1\.000\nlift\n6\.00\n", facts), facts
    assert "first seen\n2024-09-05\nlast seen\n2024-09-05\nby month\n2024-09: 1" in facts
    ids = [item.text for item in browser.find_elements("css selector", "#edge ul.articles li")]
    assert ids == [f'"fj-typhoon" {dict(ARTICLES)["fj-typhoon"][:KEPT]}…', '"tw-typhoon"']

    # The graph of classes, and back: a class found by an event's name lists its events; an event names its class.
    browser.find_element("css selector", "#levels button[data-level='1']").click()
    assert browser.execute_script("return explorer.level()") == "class"
    assert text("#scale").startswith("All ") and " classes and " in text("#scale")
    assert choose("search", "连日") == ["降雨\nas 连日强降雨"]
    assert text("#event p.members") == "Its 2 events: 沿海暴雨, 连日强降雨"
    browser.find_element("css selector", "#event p.members a:last-child").click()
    assert browser.execute_script("return explorer.level()") == "event"
    assert (text("#event h2"), text("#event p.class-of")) == ("连日强降雨", "Is a 降雨")

    # A graph written before them: P(target | source) from the counts, and no ids to list.
    without_new_fields(demo_graph, tmp_path / "older")
    browser.get((tmp_path / "older" / "index.html").as_uri())
    assert chromium.wait_until_drawn(browser) == "ready"
    choose("search", "电力中断")
    assert text("#event table.successors tr.edge-row") == "工厂停产 2 1.000 0.82"
    browser.find_element("css selector", "#event table.successors tr.edge-row td.number").click()
    assert "written before edges kept their article ids" in text("#edge")


def test_a_graph_beyond_the_limit_shows_its_events_of_highest_degree_and_says_so(tmp_path, monkeypatch):
    # A star of 4 around "中", a chain of 3, and a loop: degrees 4, 2, 1...
    names = ["中", "甲", "乙", "丙", "丁", "链一", "链二", "链三", f"环{HOSTILE}"]
    links = [(0, 1), (0, 2), (0, 3), (4, 0), (5, 6), (6, 7), (8, 8)]
    document = {
        "nodes": [{"id": n + 1, "name": name, "articles": 1, "relations": 1} for n, name in enumerate(names)],
        "edges": [
            {"source": s + 1, "target": t + 1, "count": 1 + s, "articles": 1, "strength_mean": 0.5,
             "strength_max": 0.5, "labels": {"因果": 1}, "forces": {}}
            for s, t in links
        ],
    }  # fmt: skip
    (tmp_path / "graph.json").write_text(json.dumps(document, ensure_ascii=False), encoding="utf-8")
    written = page.write_page(tmp_path / "graph.json", tmp_path, limit=3)
    assert (written.nodes, written.edges, written.of_nodes, written.of_edges) == (3, 1, 9, 7)
    html = (tmp_path / "index.html").read_text(encoding="utf-8")
    [data] = json.loads(re.search(r'id="graph-data">(.*?)</script>', html, re.DOTALL).group(1))["levels"]
    # Degree 4, then the ties of degree 2 by id: 链二, and 环 (a loop counts in and out).
    assert [node["name"] for node in data["nodes"]] == ["中", "链二", f"环{HOSTILE}"]
    assert data["total"] == {"nodes": 9, "edges": 7, "limit": 3, "between": 1, "edge_limit": page.EDGE_LIMIT}
    assert html.count("</script>") == 3 and HOSTILE not in html
    assert "MIT License" in (tmp_path / page.LICENSE_FILE).read_text(encoding="utf-8")

    # Past the edges' limit: those of most relations, in the file's order.
    written = page.write_page(tmp_path / "graph.json", tmp_path, edge_limit=2)
    html = (tmp_path / "index.html").read_text(encoding="utf-8")
    data = json.loads(re.search(r'id="graph-data">(.*?)</script>', html, re.DOTALL)[1])
    count = data["edge_fields"].index("count")
    [level] = data["levels"]
    assert (written.nodes, written.edges) == (9, 2) and [edge[count] for edge in level["edges"]] == [7, 9]
    assert level["total"]["between"] == 7

    # The drawing library is put into the package by its build: an installation without it (a source tree that was
    # never built) is refused before anything is written, and told how to install.
    monkeypatch.setattr(page, "LIBRARY_SCRIPT", "absent.js")
    with pytest.raises(SetupError, match=r"lacks it \(.*absent\.js.*\): install kestor-tavi-extractor with pip"):
        page.write_page(tmp_path / "graph.json", tmp_path / "none")


def webpack_chunk(modules: dict[str, str], *, prologue: str = "") -> str:
    """A chunk file as ipysigma's build writes them: each module under a heading, the last before the chunk's end."""
    factory = "/***/ ((module, exports, __webpack_require__) => {"
    entries = ",\n\n".join(
        f'/***/ "{module}":\n/*!*** {module} ***!*/\n{factory}\n\n{body}\n\n/***/ }})'
        for module, body in modules.items()
    )
    return (
        f'{prologue}(self["webpackChunkipysigma"] = self["webpackChunkipysigma"] || []).push([["c"],{{\n\n{entries}\n\n'
        "}]);\n//# sourceMappingURL=c.js.map"
    )


def test_the_build_takes_the_modules_sigma_and_graphology_need_and_no_others(tmp_path):
    sigma, graphology = page_library.ENTRY_MODULES
    requiring = (
        'const e = __webpack_require__(/*! ./node_modules/events/events.js */ "./node_modules/events/events.js");'
    )
    chunks = {
        # The sigma chunk ends with an unneeded module; a needed one is defined twice, the first file's is taken.
        "a.js": {sigma: requiring, "./node_modules/d3/unused.js": "module.exports = 1;"},
        "b.js": {"./node_modules/events/events.js": "module.exports = 'events';", graphology: "module.exports = {};"},
        "c.js": {"./node_modules/events/events.js": "module.exports = 'stale';"},
    }
    for name, modules in chunks.items():
        (tmp_path / name).write_text(webpack_chunk(modules), encoding="utf-8")
    # A file of another form holding nothing the page needs is passed over.
    (tmp_path / "remoteEntry.js").write_text('var _J;\n/***/ "webpack/container/entry/ipysigma":\n', encoding="utf-8")
    script, licence = page_library.prepare(tmp_path, "9.9", "MIT License\n\nCopyright")

    # One chunk, read back as the build's chunks are: each needed module's entry as the build had it.
    header, chunk = script.split("\n", 1)
    assert "ipysigma 9.9" in header and "sourceMappingURL" not in script
    built = {}
    for name in ("a.js", "b.js"):
        built |= page_library.chunk_modules((tmp_path / name).read_text(encoding="utf-8"), name)
    needed = [sigma, graphology, "./node_modules/events/events.js"]
    assert page_library.chunk_modules(chunk, "script") == {module: built[module] for module in sorted(needed)}
    assert "  events/events.js\n" in licence and "unused" not in licence and licence.endswith("Copyright\n")

    # What the page's loader could not run is refused when the package is built, naming the module.
    broken = {
        "lacks": ({"a.js": {sigma: requiring, graphology: ""}}, "lacks the module ./node_modules/events/events.js"),
        "helper": ({"a.js": {sigma: "__webpack_require__.r(exports);", graphology: ""}}, "needs webpack's runtime"),
    }
    for case, (files, message) in broken.items():
        directory = tmp_path / case
        directory.mkdir()
        for name, modules in files.items():
            (directory / name).write_text(webpack_chunk(modules), encoding="utf-8")
        with pytest.raises(page_library.LibraryError, match=re.escape(message)):
            page_library.prepare(directory, "9.9", "MIT")
    strict = webpack_chunk({sigma: "", graphology: ""}, prologue='"use strict";\n')
    with pytest.raises(page_library.LibraryError, match=r"a\.js is not a webpack chunk of the form"):
        page_library.chunk_modules(strict, "a.js")


def test_components_are_laid_out_apart_and_every_shown_event_keeps_an_edge(monkeypatch):
    # Twelve pairs and a chain of five: the picture that read two pairs as one chain.
    edges = [(2 * i, 2 * i + 1) for i in range(12)] + [(24 + i, 25 + i) for i in range(4)]
    laid = lay_out(29, edges)
    assert laid == lay_out(29, edges) and laid.components == 13
    boxes = []
    for members in [[2 * i, 2 * i + 1] for i in range(12)] + [list(range(24, 29))]:
        xs, ys = [laid.x[n] for n in members], [laid.y[n] for n in members]
        boxes.append((min(xs), max(xs), min(ys), max(ys)))
    for number, (left, right, bottom, top) in enumerate(boxes):
        for other in boxes[number + 1 :]:
            apart = right < other[0] or other[1] < left or top < other[2] or other[3] < bottom
            assert apart, "two components overlap"
    for source, target in edges:
        # Level and from cause to effect: each chain reads left to right.
        assert laid.x[source] < laid.x[target] and abs(laid.y[source] - laid.y[target]) < 0.05

    among = [(0, 1, 9), (0, 2, 8), (0, 3, 7), (1, 2, 1), (2, 3, 1), (3, 4, 1)]
    assert draw.edges_drawn(among) == list(range(6))
    monkeypatch.setattr(draw, "MAX_EDGES", 2)
    # Past the two heaviest, 3 and 4 keep one edge each; 1 and 2 have theirs already.
    assert draw.edges_drawn(among) == [0, 1, 2, 5]
