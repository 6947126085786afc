"""The scripted endpoint as a client meets it: connections in bursts, and answers without transport stalls."""

from __future__ import annotations

import http.server
import select
import socket
import socketserver
import struct
import threading
import time

from scripted_endpoint import Reply, ScriptedEndpoint


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
