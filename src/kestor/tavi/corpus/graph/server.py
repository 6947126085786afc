"""The event graph's page served over its store: `kestor-corpus graph serve GRAPH_DIR` answers the page's questions
from the store as they are asked, so that every event of a graph of millions can be found and its neighbourhood
drawn, where index.html carries only the busiest few thousand.

The page is index.html's own (its drawing, its look), whose script asks these routes (GET, JSON):

    /api/overview                        the busiest nodes and the edges among them: where the page begins
    /api/search?q=TEXT                   completion: the aliases that hold TEXT, each with its node
    /api/node?id=N                       what a node is, and its edges out and in, the most probable first
    /api/paths?from=N&to=M               the paths between two nodes, drawn, and the shortest listed
    /api/evidence?source=N&target=M      the relations an edge was counted from, with their articles

each at `level=event|class`, and all but the overview within `since` and `until` (as the commands' --since and
--until). Every answer is bounded: a node of 100,000 neighbours gives the most probable `NEIGHBOURS` each way and
how many there are. The store is opened read-only and no route writes. Names travel as JSON and the page puts them
on the screen as text.

The server listens on loopback unless told otherwise, and on loopback answers only requests addressed to a
loopback name: a web page elsewhere that gets its own host name to resolve to 127.0.0.1 is refused.
"""

from __future__ import annotations

import contextlib
import http
import ipaddress
import json
import socket
import sys
import threading
import urllib.parse
from collections.abc import Callable, Iterator
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any, TextIO

from ..events import NodeKind
from ..events.names import SENTENCE_PUNCTUATION
from ..exits import GraphInputError, UsageError
from .between import TooManyPaths, simple_paths
from .derive import prepare
from .layout import lay_out
from .page import find_library, served_page
from .query import Questions, Window, written_level
from .store import connect, store_path

LOOPBACK = "127.0.0.1"
PORT = 8765
OVERVIEW = 150
"""The busiest nodes the page opens with."""
NEIGHBOURS = 40
"""Edges out and in of a node the page is given at most, each way."""
SUGGESTIONS = 20
EVIDENCE = 50
"""Relations of an edge listed at most; the page says how many more there are."""
MAX_PATHS = 200
"""Paths between two nodes drawn at most: more are refused, as --max-paths refuses them."""
PATHS_LISTED = 20
"""Paths between two nodes listed each as its chain of nodes, the shortest first."""
SHOWN = 50
"""Aliases of an event, or events of a class, listed at most."""


class GraphServer(ThreadingHTTPServer):
    """A graph directory's store, served: one read-only connection, and a cursor of it for each question being
    answered at once."""

    daemon_threads = True

    def __init__(self, graph_dir: str | Path, host: str = LOOPBACK, port: int = PORT, level: NodeKind | None = None):
        self.graph_dir = Path(graph_dir)
        self.level = NodeKind(level or written_level(graph_dir))
        library = find_library()
        self.connection = connect(store_path(graph_dir))
        self.lock = threading.Lock()
        self.idle: list[Any] = []
        # The edges the paths between two nodes are searched on, read at the first such question of each level and
        # kept for every later one: the store does not change while it is served.
        self.arcs: dict[NodeKind, Any] = {}
        self.loopback = _is_loopback(host)
        self.address_family = socket.AF_INET6 if ":" in host else socket.AF_INET
        try:
            super().__init__((host, port), Handler)
        except OSError as error:
            self.connection.close()
            raise UsageError(f"--host {host} --port {port}: cannot listen there ({error.strerror or error})") from None
        # Where the page begins is the same at every visit, asked once: here, for the level it opens at, with the
        # first cursor and the layout's library, and carried in the page, so that its first draw waits for no
        # question of its own.
        self.overviews: dict[NodeKind, Any] = {}
        with self.questions(self.level) as questions:
            self.overviews[self.level] = _overview(questions, {})
        self.page = served_page(
            f"Event graph: {self.graph_dir.resolve().name}",
            {
                "level": str(self.level),
                "kinds": [str(kind) for kind in NodeKind],
                "trim": SENTENCE_PUNCTUATION,
                "limits": {"neighbours": NEIGHBOURS, "evidence": EVIDENCE, "max_paths": MAX_PATHS},
                "overview": self.overviews[self.level],
            },
            library,
        ).encode("utf-8")

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        name = host.decode() if isinstance(host, bytes) else host
        return f"http://{f'[{name}]' if ':' in name else name}:{port}/"

    @contextlib.contextmanager
    def questions(self, level: NodeKind) -> Iterator[Questions]:
        """Questions at `level` on a cursor no other request is using; the cursor kept for the next. A thread is
        started for each connection a browser opens: a cursor each would be a cursor for every connection ever
        made."""
        with self.lock:
            cursor = self.idle.pop() if self.idle else None
        if cursor is None:
            cursor = self.connection.cursor()
            prepare(cursor)
        questions = Questions(cursor, level, whole_arcs=self.arcs.get(level))
        try:
            yield questions
        finally:
            with self.lock:
                self.idle.append(cursor)
                if questions.whole_arcs is not None:
                    self.arcs[level] = questions.whole_arcs

    def server_close(self) -> None:
        super().server_close()
        with self.lock:
            for cursor in self.idle:
                cursor.close()
            self.idle.clear()
        self.connection.close()


class Handler(BaseHTTPRequestHandler):
    server: GraphServer
    protocol_version = "HTTP/1.1"
    server_version = "kestor-corpus-graph"
    sys_version = ""

    def do_GET(self) -> None:
        if not self._addressed_to_us():
            self._send(http.HTTPStatus.MISDIRECTED_REQUEST, {"error": "this server answers on its loopback address"})
            return
        url = urllib.parse.urlsplit(self.path)
        if url.path in ("/", "/index.html"):
            self._send_bytes(http.HTTPStatus.OK, self.server.page, "text/html; charset=utf-8")
            return
        route = ROUTES.get(url.path)
        if route is None:
            self._send(http.HTTPStatus.NOT_FOUND, {"error": f"no such page: {url.path}"})
            return
        query = {key: values[-1] for key, values in urllib.parse.parse_qs(url.query).items()}
        try:
            level = NodeKind(query.get("level") or self.server.level)
        except ValueError:
            self._send(http.HTTPStatus.BAD_REQUEST, {"error": f"level {query.get('level')!r}: event or class"})
            return
        try:
            answer = self.server.overviews.get(level) if route is _overview else None
            if answer is None:
                with self.server.questions(level) as questions:
                    answer = route(questions, query)
            if route is _overview:
                self.server.overviews[level] = answer
        except UsageError as error:
            self._send(http.HTTPStatus.BAD_REQUEST, {"error": str(error)})
        except Exception as error:  # one question's fault is not the server's: said, and the next one answered
            print(f"kestor-corpus graph serve: {self.path}: {type(error).__name__}: {error}", file=sys.stderr)
            self._send(http.HTTPStatus.INTERNAL_SERVER_ERROR, {"error": f"{type(error).__name__}: {error}"})
        else:
            self._send(http.HTTPStatus.OK, answer)

    def do_HEAD(self) -> None:
        self._send(http.HTTPStatus.METHOD_NOT_ALLOWED, {"error": "GET only"})

    do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD  # read-only: nothing is written

    def _addressed_to_us(self) -> bool:
        if not self.server.loopback:
            return True
        host = urllib.parse.urlsplit(f"//{self.headers.get('Host', '')}").hostname or ""
        return host == "localhost" or _is_loopback(host)

    def _send(self, status: http.HTTPStatus, answer: Any) -> None:
        body = json.dumps(answer, ensure_ascii=False, default=str).encode("utf-8")
        self._send_bytes(status, body, "application/json; charset=utf-8")

    def _send_bytes(self, status: http.HTTPStatus, body: bytes, kind: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        if status is http.HTTPStatus.METHOD_NOT_ALLOWED:
            self.send_header("Allow", "GET")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def log_message(self, format: str, *args: Any) -> None:
        # A request a line would bury what the server has to say; failures are said where they happen.
        pass


def _is_loopback(host: str) -> bool:
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return host == "localhost"


# The routes: each takes the questions at the level asked and the query's parameters.


def _overview(questions: Questions, query: dict[str, str]) -> dict[str, Any]:
    nodes, edges, total = questions.busiest(OVERVIEW)
    place = {node["id"]: number for number, node in enumerate(nodes)}
    laid = lay_out(len(nodes), [(place[edge["source"]], place[edge["target"]]) for edge in edges])
    for number, node in enumerate(nodes):
        node["x"], node["y"] = round(laid.x[number], 3), round(laid.y[number], 3)
    return {"level": str(questions.level), "nodes": nodes, "edges": edges, "total": total}


def _search(questions: Questions, query: dict[str, str]) -> list[dict[str, Any]]:
    return questions.search(query.get("q", ""), SUGGESTIONS)


def _node(questions: Questions, query: dict[str, str]) -> dict[str, Any]:
    window = _window(query)
    shown = questions.show(_id(query, "id"), window)
    for listed in ("aliases", "events"):
        if listed in shown:
            shown[f"{listed}_total"] = len(shown[listed])
            shown[listed] = shown[listed][:SHOWN]
    for direction, forward in (("out", True), ("in", False)):
        shown[f"{direction}_edges"] = questions.neighbours(
            shown["id"], forward=forward, window=window, limit=NEIGHBOURS
        )
    return shown


def _paths(questions: Questions, query: dict[str, str]) -> dict[str, Any]:
    window = _window(query)
    start, end = questions.find(_id(query, "from")), questions.find(_id(query, "to"))
    try:
        graph, paths = questions.between(start.id, end.id, window=window, max_paths=MAX_PATHS)
    except TooManyPaths as error:
        raise GraphInputError(f"{error} (the page draws {MAX_PATHS} at most)") from None
    ends = [(edge["src_node"]["id"], edge["dest_node"]["id"]) for edge in graph["edges"]]
    place = {node["id"]: number for number, node in enumerate(graph["nodes"])}
    laid = lay_out(len(place), [(place[source], place[target]) for source, target in ends])
    chains, stopped = simple_paths(ends, start.id, end.id, MAX_PATHS)
    figures = {
        (source, target): {"probability": probability, "count": count}
        for source, target, probability, _, count, *_ in questions.edges_among(list(place), window)
    }
    return {
        "paths": paths,
        "from": start.id,
        "to": end.id,
        "nodes": [
            {**node, "x": round(laid.x[number], 3), "y": round(laid.y[number], 3)}
            for number, node in enumerate(graph["nodes"])
        ],
        "edges": [
            {"source": source, "target": target, "strength_mean": edge["meta"]["strength"], **figures[source, target]}
            for (source, target), edge in zip(ends, graph["edges"], strict=True)
        ],
        # Each path as the nodes it passes, the shortest first; `stopped` where the walk that lists them gave up
        # before it had all that were counted.
        "listed": chains[:PATHS_LISTED],
        "stopped": stopped,
    }


def _evidence(questions: Questions, query: dict[str, str]) -> list[dict[str, Any]]:
    return questions.evidence(_id(query, "source"), _id(query, "target"), window=_window(query), limit=EVIDENCE)


ROUTES: dict[str, Callable[[Questions, dict[str, str]], Any]] = {
    "/api/overview": _overview,
    "/api/search": _search,
    "/api/node": _node,
    "/api/paths": _paths,
    "/api/evidence": _evidence,
}


def _id(query: dict[str, str], name: str) -> int:
    text = query.get(name, "")
    if not text.isdigit():
        raise GraphInputError(f"{name}={text!r}: a node's id, a whole number")
    return int(text)


def _window(query: dict[str, str]) -> Window:
    return Window.parse(query.get("since") or None, query.get("until") or None)


def serve(server: GraphServer, stream: TextIO) -> None:
    """Answer until interrupted (Ctrl-C), then stop listening and close the store."""
    print(f"serving {server.graph_dir} at {server.url} (read-only; Ctrl-C stops it)", file=stream, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        print("stopped", file=stream)
    finally:
        server.server_close()
