"""The scripted endpoint as a client meets it: connections in bursts, and answers without transport stalls."""

from __future__ import annotations

import http.server
import io
import json
import select
import socket
import socketserver
import struct
import tempfile
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path
from typing import Any

import pytest
import text_answers
from scripted_endpoint import Reply, ScriptedEndpoint

from kestor.tavi.corpus.config import load_config
from kestor.tavi.corpus.extractors import build_extractors
from kestor.tavi.corpus.modes import event_graph

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def connects(port: int, count: int, wait: float) -> int:
    """How many of `count` connections opened at once complete their handshake within `wait` seconds."""
    pending = []
    for _ in range(count):
        client = socket.socket()
        client.setblocking(False)
        client.connect_ex(("127.0.0.1", port))
        pending.append(client)
    waiting, connected = list(pending), 0
    deadline = time.monotonic() + wait
    try:
        while waiting and (left := deadline - time.monotonic()) > 0:
            _, writable, _ = select.select([], waiting, [], left)
            for client in writable:
                waiting.remove(client)
                connected += client.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0
        return connected
    finally:
        for client in pending:
            client.close()


def test_a_burst_of_connections_waits_in_the_listen_queue():
    # With the accept loop held, only the listen queue keeps handshakes: a short queue drops the rest, and their
    # clients retry only after a second.
    with ScriptedEndpoint() as endpoint:
        server = endpoint._server
        server.shutdown()
        assert connects(server.server_port, 32, wait=5.0) == 32


def test_answers_are_sent_without_waiting_for_acknowledgements(monkeypatch, endpoint):
    import openai

    nodelay = []
    handle = http.server.BaseHTTPRequestHandler.handle

    def record(self):
        nodelay.append(self.connection.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY))
        handle(self)

    monkeypatch.setattr(http.server.BaseHTTPRequestHandler, "handle", record)
    with openai.OpenAI(api_key="offline", base_url=endpoint.base_url) as client:
        client.chat.completions.create(model="scripted", messages=[{"role": "user", "content": "Q: x"}])
    assert nodelay and all(nodelay)


def test_a_client_gone_before_its_answer_is_no_error(monkeypatch, capsys, endpoint):
    done = threading.Event()
    shutdown_request = socketserver.TCPServer.shutdown_request

    def finished(self, request):
        shutdown_request(self, request)
        done.set()

    monkeypatch.setattr(socketserver.TCPServer, "shutdown_request", finished)
    endpoint.queue(Reply("late", delay=0.2))
    body = b'{"messages": [{"content": "Q: x"}]}'
    with socket.create_connection(("127.0.0.1", endpoint._server.server_port)) as client:
        client.sendall(
            b"POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)
        )
        while not endpoint.requests:
            time.sleep(0.01)
        # Reset, not a graceful close: the endpoint's first write fails.
        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    assert done.wait(5)
    assert capsys.readouterr().err == ""


def test_routes_failures_and_the_request_log():
    log = io.StringIO()

    def post(path: str, body: dict[str, Any]) -> tuple[int, str, bytes]:
        request = urllib.request.Request(endpoint.base_url + path, json.dumps(body).encode(), method="POST")
        try:
            with urllib.request.urlopen(request, timeout=10) as response:
                return response.status, response.headers["Content-Type"], response.read()
        except urllib.error.HTTPError as error:
            return error.code, error.headers["Content-Type"], error.read()

    chat = {"model": "m", "messages": [{"role": "user", "content": "Q: 暴雨导致停电。\nA: "}]}
    with ScriptedEndpoint(fail_rate=1.0, log=log) as endpoint:
        # A rate limit, an outage and a proxy's page in turn, on every route.
        assert [post(path, chat)[:2] for path in ("/chat/completions", "/embeddings", "/chat/completions")] == [
            (429, "application/json"),
            (503, "application/json"),
            (200, "text/html"),
        ]
        endpoint.fail_rate = 0.0
        status, _, body = post("/embeddings", {"input": ["暴雨", "停电"]})
        assert status == 200 and len(json.loads(body)["data"]) == 2
        # Any other POST is a chat request, as before there were routes; anything else is no route.
        assert json.loads(post("/deployments/m/chat/completions?api-version=1", chat)[2])["object"] == "chat.completion"
        with pytest.raises(urllib.error.HTTPError) as missing:
            urllib.request.urlopen(endpoint.base_url + "/batches/b1", timeout=10)
        assert missing.value.code == 404
    lines = [line.split(" ", 1)[1] for line in log.getvalue().splitlines()]
    assert [" ".join(line.split()[:3]) for line in lines] == [
        "POST /v1/chat/completions 429",
        "POST /v1/embeddings 503",
        "POST /v1/chat/completions 200",
        "POST /v1/embeddings 200",
        "POST /v1/deployments/m/chat/completions 200",
        "GET /v1/batches/b1 404",
    ]
    assert lines[0].endswith(" ms 暴雨导致停电。") and lines[3].endswith(" ms 2 texts")


def test_any_text_is_answered_as_its_cue_words_say_in_the_form_of_the_worked_examples():
    config = json.loads((EXAMPLES / "corpus" / "config.json").read_text(encoding="utf-8"))
    with ScriptedEndpoint(text_answers.answer) as endpoint:
        path = Path(tempfile.mkdtemp()) / "config.json"
        path.write_text(json.dumps(config | {"base_url": endpoint.base_url}, ensure_ascii=False), encoding="utf-8")
        causara, force = build_extractors(load_config(path, "articles")).values()
        linqor = build_extractors(load_config(path, "linqor"))["linqor"]
        article = "由于持续干旱，多座水库蓄水不足。这导致农业限水，进而造成晚稻大面积减产。气象部门表示旱情仍将持续。"
        relations = causara.predict(article)
        assert [(r["source"], r["target"], r["strength"]) for r in relations] == [
            ("持续干旱", "多座水库蓄水不足", 0.8),
            ("多座水库蓄水不足", "农业限水", 0.9),
            ("农业限水", "晚稻大面积减产", 0.85),
        ]
        assert relations[0]["rel"] == "因果" and relations[1]["strength_reason"] == "文中以“导致”连接两事件"
        assert linqor.predict(article) == {"related": True, "reason": "“由于”连接了持续干旱与多座水库蓄水不足"}
        assert linqor.predict("今天股市收涨，另据报道某地举办了马拉松比赛。")["related"] is False
        # Three strong edges make the force "特别剧烈", which the article (one word of a hard hit) brings down.
        assert force.predict(event_graph(relations), article) == "中等"
        assert endpoint.questions[-1] == article
