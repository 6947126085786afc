"""`kestor-corpus graph serve`: the page over a store, in headless Chromium against the server, and the server's
bounds: read-only, loopback, answers of bounded size, stopped cleanly by Ctrl-C."""

from __future__ import annotations

import contextlib
import hashlib
import http.client
import json
import os
import signal
import subprocess
import sys
import threading
import urllib.parse
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import chromium
import pytest

from kestor.tavi.corpus.graph import server as served
from kestor.tavi.corpus.graph import update
from kestor.tavi.corpus.graph.build import build_event_graph
from kestor.tavi.corpus.graph.query import Questions
from kestor.tavi.corpus.graph.server import GraphServer

from . import test_page
from .classes import form_classes_by
from .test_page import ARTICLES, CLASSES, HOSTILE, KEPT, demo_output

browser = test_page.browser


@pytest.fixture(scope="module")
def store(tmp_path_factory: pytest.TempPathFactory) -> Path:
    work = tmp_path_factory.mktemp("serve")
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(update, "form_classes", form_classes_by(CLASSES))
        build_event_graph(demo_output(work / "out"), work / "graph")
    return work / "graph"


@contextlib.contextmanager
def serving(graph_dir: Path, **options: Any) -> Iterator[GraphServer]:
    server = GraphServer(graph_dir, port=0, **options)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


def get(server: GraphServer, path: str, method: str = "GET", host: str | None = None) -> tuple[int, Any]:
    connection = http.client.HTTPConnection(*server.server_address[:2], timeout=30)
    try:
        connection.request(method, urllib.parse.quote(path, safe="/?=&"), headers={"Host": host} if host else {})
        response = connection.getresponse()
        body = response.read()
    finally:
        connection.close()
    kind = response.getheader("Content-Type", "")
    return response.status, json.loads(body) if kind.startswith("application/json") else body.decode("utf-8")


@pytest.mark.slow
def test_the_served_page_finds_expands_follows_paths_and_shows_evidence(store, browser):
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait

    def settled() -> None:
        WebDriverWait(browser, 30).until(
            lambda driver: driver.find_element("tag name", "body").get_attribute("data-pending") == "0"
        )

    def text(selector: str) -> str:
        settled()
        return str(browser.find_element("css selector", selector).text)

    def rows(selector: str) -> list[str]:
        settled()
        return [row.text for row in browser.find_elements("css selector", selector)[1:]]

    def choose(field: str, typed: str) -> list[str]:
        box = browser.find_element("id", field)
        box.clear()
        box.send_keys(typed)
        listed = box.find_element("xpath", "following-sibling::ul")
        WebDriverWait(browser, 30).until(lambda driver: listed.get_attribute("data-for") == typed)
        offered = [item.text for item in listed.find_elements("tag name", "li")]
        box.send_keys(Keys.ENTER)
        settled()
        return offered

    with serving(store) as server, Questions.open(store) as questions:
        browser.get(server.url)
        assert chromium.wait_until_drawn(browser) == "ready"
        events = questions.busiest(100)[2]
        assert text("#scale").startswith(f"All {events} events of the store. Find any event by any of its names")

        # Found by an alias the merge recorded; its neighbourhood as the store's questions give it.
        assert choose("search", "電力") == ["电力中断\nas 電力中斷"]
        assert text("#event h2") == "电力中断"
        assert text("#event p.aliases") == "Also written 電力中斷 (2), 部分地区电力中断 (1)"
        assert rows("#event table.successors tr") == ["工厂停产 2 1.000 0.82"]
        assert "沿海暴雨 1 0.500 0.60" in rows("#event table.predecessors tr")

        # Expanded: a neighbour's own neighbourhood opens beside the first.
        browser.find_element("css selector", "#event table.successors a.event").click()
        settled()
        assert browser.execute_script("return explorer.open()") == ["电力中断", "工厂停产"]
        assert text("#event h2") == "工厂停产"

        # An edge's evidence: each relation with its article, the spellings that named it, and the text kept.
        row = next(
            row
            for row in browser.find_elements("css selector", "#event table.predecessors tr.edge-row")
            if row.text.startswith("电力中断 ")
        )
        row.find_element("css selector", "td.number").click()
        assert text("#edge h2") == "电力中断 → 工厂停产"
        evidence = questions.evidence("电力中断", "工厂停产")
        listed = [item.text for item in browser.find_elements("css selector", "#edge ul.articles li")]
        assert len(listed) == len(evidence) == 2
        excerpt = dict(ARTICLES)["fj-typhoon"][:KEPT]
        assert listed[0].startswith(evidence[0]["article"]) and listed[0].endswith(f"{excerpt}…")
        assert "電力中斷 → 工廠停產" in listed[1]

        # The paths between two events, as `graph between` finds them.
        choose("path-from", "海葵")
        choose("path-to", "工厂停产")
        browser.find_element("id", "path-find").click()
        graph, paths = questions.between("台风“海葵”", "工厂停产")
        assert text("#path-result p") == (
            f"{paths} paths from 台风“海葵” to 工厂停产: {len(graph['nodes'])} events, {len(graph['edges'])} edges"
        )
        assert browser.execute_script("return explorer.shown()") == len(graph["nodes"])
        # Each path as its chain, each step with its edge's figures, the shortest first and drawn out of the others;
        # a click on another draws that one.
        chains = browser.find_elements("css selector", "#path-result ol.paths li")
        assert [chain.text for chain in chains] == [
            "台风“海葵” → 沿海暴雨 (P 1.000, 1 relation, strength 0.90) → 电力中断 (P 0.500, 1 relation, strength 0.60)"
            " → 工厂停产 (P 1.000, 2 relations, strength 0.82)",
            "台风“海葵” → 沿海暴雨 (P 1.000, 1 relation, strength 0.90) → 城市严重内涝 (P 0.500, 1 relation, "
            "strength 0.70) → 电力中断 (P 1.000, 1 relation, strength 0.70) → 工厂停产 (P 1.000, 2 relations, "
            "strength 0.82)",
        ]
        assert len(chains) == paths
        assert browser.execute_script("return explorer.picked()") == ["台风“海葵”", "沿海暴雨", "电力中断", "工厂停产"]
        chains[1].click()
        assert browser.execute_script("return explorer.picked()")[2] == "城市严重内涝"

        # A name that holds markup is shown as text, and the page is whole around it.
        assert choose("search", "script") == [f"{HOSTILE}\n1 mentions"]
        assert text("#event h2") == HOSTILE
        choose("path-from", "script")
        browser.find_element("id", "path-find").click()
        assert text("#path-result ol.paths") == f"{HOSTILE} → 工厂停产 (P 1.000, 1 relation, strength 0.20)"
        assert browser.find_elements("css selector", "#panel i") == []

        # The classes: a class found by an event's name lists its events.
        browser.find_element("css selector", "#levels button[data-level='class']").click()
        settled()
        assert browser.execute_script("return explorer.level()") == "class"
        assert choose("search", "连日") == ["降雨\nas 连日强降雨"]
        assert text("#event p.members") == "Its 2 events: 沿海暴雨, 连日强降雨"
        assert browser.execute_script("return performance.getEntriesByType('resource').length") > 0
        assert all(
            entry.startswith(server.url)
            for entry in browser.execute_script("return performance.getEntriesByType('resource').map(e => e.name)")
        )


def test_the_server_answers_read_only_on_loopback_within_bounds(store, monkeypatch):
    before = hashlib.sha256((store / "graph.duckdb").read_bytes()).hexdigest()
    monkeypatch.setattr(served, "NEIGHBOURS", 2)
    with serving(store) as server, Questions.open(store) as questions:
        power = questions.find("电力中断").id
        # A node of more neighbours than the page is given: the most probable, and how many there are.
        status, answer = get(server, f"/api/node?id={power}")
        assert status == 200 and answer["in"] == len(questions.neighbours(power, forward=False, limit=None)) > 2
        assert [row["event"] for row in answer["in_edges"]] == [
            row["event"] for row in questions.neighbours(power, forward=False, limit=2)
        ]
        # Within a window: the articles of September alone.
        status, answer = get(server, f"/api/node?id={power}&since=2024-09&until=2024-09")
        assert (status, answer["in"], answer["out"]) == (200, 1, 1)

        # What cannot be answered says why; a page elsewhere whose host name resolves here is refused; nothing is
        # written, whatever is asked.
        assert get(server, "/api/node?id=x") == (400, {"error": "id='x': a node's id, a whole number"})
        assert get(server, "/api/node?id=99999") == (400, {"error": "no event #99999 in the graph"})
        assert get(server, f"/api/node?id={power}&since=July")[0] == 400
        assert get(server, "/api/tables")[0] == 404
        assert get(server, "/api/search?q=电力", host="attacker.example:80")[0] == 421
        assert get(server, "/api/search?q=电力", "POST")[0] == 405
        status, page = get(server, "/", host=f"localhost:{server.server_address[1]}")
        assert status == 200 and "<title>Event graph: graph</title>" in page
    assert hashlib.sha256((store / "graph.duckdb").read_bytes()).hexdigest() == before


def test_serve_on_another_host_warns_and_stops_cleanly_on_ctrl_c(store):
    command = [sys.executable, "-m", "kestor.tavi.corpus", "graph", "serve", str(store)]
    process = subprocess.Popen(
        [*command, "--host", "0.0.0.0", "--port", "0"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env={**os.environ, "PYTHONUNBUFFERED": "1"},
    )
    try:
        line = process.stdout.readline() if process.stdout else ""
        assert line.startswith(f"serving {store} at http://0.0.0.0:"), line
        port = int(line.split(":")[2].split("/")[0])
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        connection.request("GET", urllib.parse.quote("/api/search?q=电力", safe="/?="))
        assert json.loads(connection.getresponse().read())[0]["name"] == "电力中断"
        connection.close()
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=30)
    finally:
        process.kill()
    assert process.returncode == 0 and out == "stopped\n"
    # A library may say something of its own first (matplotlib, on a fresh font cache): ours is the first of ours.
    ours = [line for line in err.splitlines() if line.startswith(("warning:", "error:"))]
    assert ours[0].startswith("warning: listening on 0.0.0.0, not on loopback: anyone who reaches this machine's port")
