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
from types import SimpleNamespace
from typing import Any

import chromium
import pytest
from corpus_demo import ARTICLES, FORCES, RELATIONS

from kestor.tavi.corpus.exits import SetupError
from kestor.tavi.corpus.graph import draw, page
from kestor.tavi.corpus.graph.between import Network, subgraph_between
from kestor.tavi.corpus.graph.command import build_event_graph
from kestor.tavi.corpus.graph.layout import lay_out

SCREENSHOT = Path("build/browser-test/index.png")
HOSTILE = "</script><i>坏</i>"


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
        lines.append({"id": id_, "status": "ok", "result": result, "attempts": 1, "error": None})
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
    with Client(processes=False, n_workers=1, threads_per_worker=1, dashboard_address=":0") as client:
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


def with_new_fields(graph_dir: Path, into: Path) -> dict[str, Any]:
    """The demo graph as a graph that merges spellings writes it: aliases, article ids, P(target | source)."""
    document = json.loads((graph_dir / "graph.json").read_text(encoding="utf-8"))
    for node in document["nodes"]:
        if node["name"] == "电力中断":
            node["aliases"] = {"电力中断": 3, "停电": 2}
    for number, edge in enumerate(document["edges"]):
        edge |= {"article_ids": ['"fj-typhoon"', "3"][: 1 + number % 2], "probability": 0.25, "lift": 1.5}
    into.mkdir()
    (into / "graph.json").write_text(json.dumps(document, ensure_ascii=False), encoding="utf-8")
    page.write_page(into / "graph.json", into)
    return document


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
    names = {node["id"]: node["name"] for node in document["nodes"]}
    leaving: dict[str, int] = {}
    for edge in document["edges"]:
        leaving[names[edge["source"]]] = leaving.get(names[edge["source"]], 0) + edge["count"]

    browser.get((demo_graph / "index.html").as_uri())
    assert chromium.wait_until_drawn(browser) == "ready"
    assert browser.execute_script("return performance.getEntriesByType('resource').length") == 0
    assert text("#scale") == f"All {len(names)} events and {len(document['edges'])} edges."

    # Found with completion by part of a name, chosen with the keyboard: its neighbourhood with P(target | source).
    assert choose("search", "电力") == ["电力中断\ndegree 4"]
    assert text("#event h2") == "电力中断"
    rows = [row.text for row in browser.find_elements("css selector", "#event table.predecessors tr")[1:]]
    assert sorted(rows) == sorted(
        f"{names[edge['source']]} {edge['count']} {edge['count'] / leaving[names[edge['source']]]:.3f} "
        f"{edge['strength_mean']:.2f}"
        for edge in document["edges"]
        if names[edge["target"]] == "电力中断"
    )
    assert "沿海暴雨 1 0.500 0.60" in rows
    assert [row.text for row in browser.find_elements("css selector", "#event table.successors tr")[1:]] == [
        "工厂停产 1 1.000 0.85"
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
    assert text("#tooltip") == "电力中断 → 工厂停产: P(工厂停产 | 电力中断) = 1.000, 1 relation, mean strength 0.85"

    # The paths between two events: what --between finds in the same graph.
    choose("path-from", "台风")
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

    # The same graph with the fields that merging spellings adds: found by an alias, an edge's articles by id.
    with_new_fields(demo_graph, tmp_path / "merged")
    browser.get((tmp_path / "merged" / "index.html").as_uri())
    assert chromium.wait_until_drawn(browser) == "ready"
    assert choose("search", "停电") == ["电力中断\nas 停电"]
    assert text("#event p.aliases") == "Also written 停电 (2)"
    browser.find_element("css selector", "#event table.successors tr.edge-row td.number").click()
    facts = text("#edge dl")
    assert re.search(r"P\(工厂停产 \| 电力中断\)\n0\.250\nlift\n1\.50\n", facts) and "force words\n特别剧烈 ×1" in facts
    assert [item.text for item in browser.find_elements("css selector", "#edge ul.articles li")] in (
        ['"fj-typhoon"'],
        ['"fj-typhoon"', "3"],
    )


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
    assert (written.events, written.edges, written.of_events, written.of_edges) == (3, 1, 9, 7)
    html = (tmp_path / "index.html").read_text(encoding="utf-8")
    data = json.loads(re.search(r'id="graph-data">(.*?)</script>', html, re.DOTALL).group(1))
    # Degree 4, then the ties of degree 2 by id: 链二, and 环 (a loop counts in and out).
    assert [node["name"] for node in data["nodes"]] == ["中", "链二", f"环{HOSTILE}"]
    assert data["total"] == {"events": 9, "edges": 7, "limit": 3}
    assert html.count("</script>") == 3 and HOSTILE not in html
    assert "MIT License" in (tmp_path / page.LICENSE_FILE).read_text(encoding="utf-8")

    # The page is made from one build of the library: another is refused before anything is written.
    monkeypatch.setattr(page.importlib.metadata, "version", lambda name: "0.25.0")
    with pytest.raises(SetupError, match=r"made from ipysigma 0\.24\.6's build, not 0\.25\.0's: pip install"):
        page.write_page(tmp_path / "graph.json", tmp_path / "none")


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

    counts = SimpleNamespace(sources=[0, 0, 0, 1, 2, 3], targets=[1, 2, 3, 2, 3, 4], count=[9, 8, 7, 1, 1, 1])
    assert draw.edges_drawn(counts, list(range(6))) == list(range(6))
    monkeypatch.setattr(draw, "MAX_EDGES", 2)
    # Past the two heaviest, 3 and 4 keep one edge each; 1 and 2 have theirs already.
    assert draw.edges_drawn(counts, list(range(6))) == [0, 1, 2, 5]
