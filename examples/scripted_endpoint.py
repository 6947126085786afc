"""A scripted OpenAI-compatible chat endpoint on 127.0.0.1, for running the extractors offline.

The server answers ``POST /v1/chat/completions`` as a chat model would. What it answers is scripted: replies queued
with :meth:`ScriptedEndpoint.queue` are served first, in order; after that a ``responder`` callable decides from the
question (the text after the prompt's last ``Q:``, a `Question` that also carries the whole prompt). A reply can
also fail: an HTTP status (with ``x-should-retry: false`` so the client gives up at once), a body that is not JSON
(of any content type), a connection closed mid-answer, a body sent a byte at a time, or a delay (which ends early
when the endpoint stops). Subclasses change a reply on its way out (see provider_endpoint).
``POST /v1/embeddings`` answers with a deterministic vector of each text (`hashed_embedding` by default: texts that
share characters lie near each other), or fails every time while `embedding_status` says so.

Each request goes to the first of the endpoint's `routes` whose method and path match (a POST that none matches is
a chat request, whatever its path). Around every route, `delay` holds each answer, `fail_rate` answers that
share of the requests 429, 503 or a proxy's page in turn, and `log` gets a line for each request.

Every answer carries ``usage`` as providers send it: the prompt's tokens (each message's role and content, and the
chat format's few tokens around them) and the answer's, counted by ``count_tokens`` (by default one token per
character; pass a real tokenizer's count to check an estimate against it). A reply may give its own usage, or none.

Only the standard library is used, and the server binds to 127.0.0.1, on a free port unless told one.

From the command line, ``python examples/scripted_endpoint.py --port 8000`` (or ``make serve``) answers README's
snippets with their stock answers (``STOCK_ANSWERS``) and any other text as text_answers reads it, until Ctrl-C:
the snippets run as written without a model, and a corpus of one's own gives a graph shaped like its text.
``--latency MS``, ``--fail RATE`` and ``--log FILE`` set the three above.
"""

from __future__ import annotations

import argparse
import collections
import functools
import hashlib
import http.server
import json
import random
import re
import select
import signal
import socket
import sys
import threading
import time
import urllib.parse
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, TextIO, TypeVar

__all__ = [
    "STOCK_ANSWERS",
    "Question",
    "Reply",
    "Route",
    "ScriptedEndpoint",
    "answers_by_keyword",
    "completion",
    "extraction_answer",
    "refused_base_url",
]

_Endpoint = TypeVar("_Endpoint", bound="ScriptedEndpoint")


@dataclass(frozen=True)
class Reply:
    """One scripted answer of the endpoint."""

    content: str = ""
    """The assistant message: what the model says."""
    status: int = 200
    """HTTP status; anything but 200 is sent as an error the client must not retry."""
    body: bytes | None = None
    """A raw response body sent instead of a chat completion (for answers that are not JSON)."""
    drop: bool = False
    """Announce a full answer, send half of it and close the connection."""
    delay: float = 0.0
    """Seconds to wait before answering."""
    headers: Mapping[str, str] = field(default_factory=dict)
    """Response headers besides Content-Type and Content-Length."""
    usage: Mapping[str, Any] | bool = True
    """The answer's `usage`: True counts it, False sends none, a mapping is sent as it is."""
    content_type: str = "application/json"
    trickle: float = 0.0
    """Send the headers at once, then the body a byte at a time, this many seconds apart."""


Responder = Callable[[str], "Reply | str"]
TokenCount = Callable[[str], int]
TOKENS_PER_MESSAGE, TOKENS_PER_REPLY = 3, 3
"""The chat format's tokens around each message of the prompt, and those that start the reply."""


def extraction_answer(*extractions: tuple[str, str, Mapping[str, Any] | None]) -> str:
    """The model's answer for extractions given as (class, text, attributes), fenced as JSON."""
    items = [{kind: text, f"{kind}_attributes": attributes} for kind, text, attributes in extractions]
    return "```json\n" + json.dumps({"extractions": items}, ensure_ascii=False, indent=2) + "\n```"


def question_of(prompt: str) -> str:
    """The input text of a prompt: worked examples come first and also start with ``Q:``, so take the last one."""
    question = prompt.rsplit("Q: ", 1)[-1]
    return question.removesuffix("\nA: ").removesuffix("\nA:")


class Question(str):
    """The question a responder is asked, with the whole prompt it came in (the worked examples say what form the
    answer takes)."""

    prompt: str

    @classmethod
    def of(cls, prompt: str) -> Question:
        question = cls(question_of(prompt))
        question.prompt = prompt
        return question


@dataclass(frozen=True)
class Route:
    """Requests of `method` whose path ends as `path` (a regular expression; the query left out) go to `answer`,
    with the body as it came and the path's match."""

    method: str
    path: str
    answer: Callable[[http.server.BaseHTTPRequestHandler, bytes, re.Match[str]], None]


PROXY_PAGE = b"""<html>
<head><title>502 Bad Gateway</title></head>
<body><center><h1>502 Bad Gateway</h1></center></body>
</html>
"""
FAILURES = (
    Reply(
        status=429,
        headers={"retry-after": "1"},
        body=b'{"error": {"message": "Rate limit reached (scripted)", '
        b'"type": "requests", "code": "rate_limit_exceeded"}}',
    ),
    Reply(
        status=503,
        headers={},
        body=b'{"error": {"message": "The server is overloaded (scripted)", "type": "server_error"}}',
    ),
    Reply(body=PROXY_PAGE, content_type="text/html"),
)
"""What `fail_rate` answers in turn: a rate limit, an outage, and a proxy's page where the completion should be."""


def _no_answer(question: str) -> Reply:
    return Reply(extraction_answer())


class ScriptedEndpoint:
    """The endpoint as a context manager: ``with ScriptedEndpoint(responder) as endpoint: endpoint.base_url``."""

    def __init__(
        self,
        responder: Responder | None = None,
        port: int = 0,
        count_tokens: TokenCount = len,
        embedding: Callable[[str], list[float]] | None = None,
        *,
        delay: float = 0.0,
        fail_rate: float = 0.0,
        log: TextIO | None = None,
    ) -> None:
        self.responder: Responder = responder or _no_answer
        self.delay = delay
        """Seconds every request waits before its answer."""
        self.fail_rate = fail_rate
        """The share of requests answered with FAILURES, in turn (drawn from a seeded generator: the same run twice
        fails the same requests)."""
        self.log = log
        """Gets a line for each request: time, method, path, status, milliseconds, and what was asked."""
        self._failing = random.Random(0)
        self._failures = 0
        self.port = port
        self.count_tokens = count_tokens
        self.requests: list[dict[str, Any]] = []
        self.embedding: Callable[[str], list[float]] = embedding or hashed_embedding
        """The vector `/v1/embeddings` gives a text (deterministic)."""
        self.embedding_requests: list[dict[str, Any]] = []
        self.embedding_status = 200
        """Anything but 200: every embeddings request fails with it."""
        self._queued: collections.deque[Reply | str] = collections.deque()
        self._lock = threading.Lock()
        self._server: http.server.ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None
        self._stopping = threading.Event()

    @property
    def base_url(self) -> str:
        assert self._server is not None, "the endpoint is not running"
        return f"http://127.0.0.1:{self._server.server_port}/v1"

    @property
    def questions(self) -> list[str]:
        """The question of every request received so far, in arrival order."""
        with self._lock:
            return [question_of(request.get("messages", [{}])[-1].get("content", "")) for request in self.requests]

    def queue(self, *replies: Reply | str) -> None:
        """Serve these replies, in order, before asking the responder."""
        with self._lock:
            self._queued.extend(replies)

    def config(self, **extra: Any) -> dict[str, Any]:
        """A configuration dictionary for the extractors that points at this endpoint."""
        return {"model": "scripted", "api_key": "offline", "base_url": self.base_url, **extra}

    def start(self: _Endpoint) -> _Endpoint:
        endpoint = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"
            # Headers and body go out as two writes: with Nagle's algorithm the body waits for the client's
            # delayed acknowledgement of the headers, some 40 ms on every answer.
            disable_nagle_algorithm = True

            def log_message(self, format: str, *args: Any) -> None:
                pass

            def log_request(self, code: int | str = "-", size: int | str = "-") -> None:
                # Written as the status goes out, before the body: a client that asks again once it has its answer
                # finds its earlier request logged first.
                endpoint._log_line(self, int(code) if str(code).isdigit() else 0)

            def do_POST(self) -> None:
                endpoint._route(self, "POST")

            def do_GET(self) -> None:
                endpoint._route(self, "GET")

            def do_DELETE(self) -> None:
                endpoint._route(self, "DELETE")

        self._stopping.clear()
        self._server = _Server(("127.0.0.1", self.port), Handler)
        # stop() waits for the loop to look at its flag again; tests start and stop an endpoint each.
        serve = functools.partial(self._server.serve_forever, poll_interval=0.05)
        self._thread = threading.Thread(target=serve, name="scripted-endpoint", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stopping.set()
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._server = None

    def __enter__(self: _Endpoint) -> _Endpoint:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def routes(self) -> list[Route]:
        """Where requests go, the first match taking them; a subclass adds its own."""
        return [
            Route("POST", "/embeddings", lambda handler, body, match: self._embed(handler, json.loads(body or b"{}"))),
            Route(
                "POST",
                "/chat/completions",
                lambda handler, body, match: self._answer(handler, json.loads(body or b"{}")),
            ),
        ]

    def _route(self, handler: http.server.BaseHTTPRequestHandler, method: str) -> None:
        began = time.monotonic()
        length = int(handler.headers.get("Content-Length", "0"))
        body = handler.rfile.read(length)
        if len(body) < length:  # the client went away mid-request: there is no one to answer
            handler.close_connection = True
            return
        path = urllib.parse.urlsplit(handler.path).path.rstrip("/")
        handler.logged = (method, path, began, body)  # type: ignore[attr-defined]
        found = self._find_route(method, path)
        if self.delay and self._stopping.wait(self.delay):
            handler.close_connection = True
            return
        failure = self._failure()
        if failure is not None:
            self._send(handler, failure, failure.body or b"")
        elif found is None:
            self._send(handler, Reply(status=404), b'{"error": {"message": "no such route (scripted)"}}')
        else:
            route, match = found
            route.answer(handler, body, match)

    def _find_route(self, method: str, path: str) -> tuple[Route, re.Match[str]] | None:
        routes = self.routes()
        for route in routes:
            match = re.search(route.path + "$", path)
            if route.method == method and match:
                return route, match
        if method != "POST":
            return None
        # Any other POST is asked of the chat model, as before there were routes.
        [chat] = [route for route in routes if route.path == "/chat/completions"]
        anything = re.match("", path)
        assert anything is not None
        return chat, anything

    def _failure(self) -> Reply | None:
        if not self.fail_rate:
            return None
        with self._lock:
            if self._failing.random() >= self.fail_rate:
                return None
            self._failures += 1
            return FAILURES[(self._failures - 1) % len(FAILURES)]

    def _send(self, handler: http.server.BaseHTTPRequestHandler, reply: Reply, body: bytes) -> None:
        handler.send_response(reply.status)
        handler.send_header("Content-Type", reply.content_type)
        handler.send_header("Content-Length", str(len(body)))
        for name, value in reply.headers.items():
            handler.send_header(name, value)
        handler.end_headers()
        handler.wfile.write(body)

    def _log_line(self, handler: http.server.BaseHTTPRequestHandler, status: int) -> None:
        logged = getattr(handler, "logged", None)
        if self.log is None or logged is None:
            return
        method, path, began, body = logged
        try:
            request = json.loads(body or b"{}")
        except ValueError:
            request = None
        asked = ""
        if isinstance(request, dict) and request.get("messages"):
            asked = question_of(str(request["messages"][-1].get("content", "")))[:40].replace("\n", " ")
        elif isinstance(request, dict) and "input" in request:
            texts = request["input"]
            asked = f"{1 if isinstance(texts, str) else len(texts)} texts"
        stamp = time.strftime("%H:%M:%S")
        line = f"{stamp} {method} {path} {status} {(time.monotonic() - began) * 1000:.0f} ms {asked}".rstrip()
        with self._lock:
            self.log.write(line + "\n")
            self.log.flush()

    def _next_reply(self, request: dict[str, Any]) -> Reply:
        with self._lock:
            self.requests.append(request)
            queued = self._queued.popleft() if self._queued else None
        if queued is None:
            queued = self.responder(Question.of(request.get("messages", [{}])[-1].get("content", "")))
        return Reply(queued) if isinstance(queued, str) else queued

    def _reply_to(self, request: dict[str, Any]) -> Reply:
        """The reply that goes out for this request."""
        return self._next_reply(request)

    def _embed(self, handler: http.server.BaseHTTPRequestHandler, request: dict[str, Any]) -> None:
        with self._lock:
            self.embedding_requests.append(request)
        texts = request.get("input", [])
        texts = [texts] if isinstance(texts, str) else texts
        if self.embedding_status != 200:
            body = json.dumps({"error": {"message": "scripted failure", "type": "scripted"}}).encode()
        else:
            data = [
                {"object": "embedding", "index": i, "embedding": self.embedding(text)} for i, text in enumerate(texts)
            ]
            tokens = sum(self.count_tokens(text) for text in texts)
            body = json.dumps(
                {
                    "object": "list",
                    "data": data,
                    "model": request.get("model", "scripted"),
                    "usage": {"prompt_tokens": tokens, "total_tokens": tokens},
                }
            ).encode()
        handler.send_response(self.embedding_status)
        handler.send_header("Content-Type", "application/json")
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        handler.wfile.write(body)

    def usage_of(self, request: dict[str, Any], content: str) -> dict[str, Any]:
        """The usage a provider reports for this request and answer."""
        prompt = TOKENS_PER_REPLY
        for message in request.get("messages", []):
            prompt += TOKENS_PER_MESSAGE
            prompt += sum(self.count_tokens(message[name]) for name in ("role", "content") if name in message)
        completion = self.count_tokens(content)
        return {
            "prompt_tokens": prompt,
            "completion_tokens": completion,
            "total_tokens": prompt + completion,
            "prompt_tokens_details": {"cached_tokens": 0},
        }

    def _answer(self, handler: http.server.BaseHTTPRequestHandler, request: dict[str, Any]) -> None:
        reply = self._reply_to(request)
        if reply.delay and self._stopping.wait(reply.delay):
            handler.close_connection = True
            return
        if reply.body is not None:
            body = reply.body
        elif reply.status != 200:
            body = json.dumps({"error": {"message": f"scripted failure {reply.status}", "type": "scripted"}}).encode()
        else:
            answer = completion(request.get("model", "scripted"), reply.content)
            if reply.usage is True:
                answer["usage"] = self.usage_of(request, reply.content)
            elif reply.usage:
                answer["usage"] = dict(reply.usage)
            body = json.dumps(answer, ensure_ascii=False).encode()
        handler.send_response(reply.status)
        handler.send_header("Content-Type", reply.content_type)
        handler.send_header("Content-Length", str(len(body)))
        for name, value in reply.headers.items():
            handler.send_header(name, value)
        if "x-should-retry" not in reply.headers:
            handler.send_header("x-should-retry", "false")
        if reply.drop:
            handler.send_header("Connection", "close")
        handler.end_headers()
        if reply.drop:
            handler.wfile.write(body[: len(body) // 2])
            handler.wfile.flush()
            handler.connection.shutdown(socket.SHUT_RDWR)
            handler.close_connection = True
            return
        if reply.trickle:
            for offset in range(len(body)):
                if self._stopping.is_set() or _gone(handler.connection, reply.trickle):
                    break
                handler.wfile.write(body[offset : offset + 1])
            handler.close_connection = True
            return
        handler.wfile.write(body)


def _gone(connection: socket.socket, seconds: float) -> bool:
    """Whether the client closed the connection within `seconds`: it sends nothing more while it waits for its
    answer, so the connection turns readable only when it goes."""
    readable, _, _ = select.select([connection], [], [], seconds)
    if not readable:
        return False
    try:
        return not connection.recv(1, socket.MSG_PEEK)
    except OSError:
        return True


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    # Many client threads connect at once; a full listen queue drops their handshakes, which the kernel retries
    # only after a second.
    request_queue_size = 128

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that gave up (interrupted, timed out) before its answer is no error of the endpoint. Printing
        # the traceback would be noise, and on 3.11 formatting one parses source, which breaks an ast.parse
        # running at the same moment in another thread (SystemError: AST constructor recursion depth mismatch).
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


EMBEDDING_SIZE = 64


def hashed_embedding(text: str) -> list[float]:
    """A deterministic vector of a text's characters: texts sharing characters lie near each other."""
    vector = [0.0] * EMBEDDING_SIZE
    for character in text:
        digest = hashlib.blake2b(character.encode("utf-8"), digest_size=2).digest()
        vector[digest[0] % EMBEDDING_SIZE] += 1.0 if digest[1] % 2 else -1.0
    return vector


def completion(model: str, content: str) -> dict[str, Any]:
    """The chat completion the endpoint sends for the model's answer `content`."""
    return {
        "id": "chatcmpl-scripted",
        "object": "chat.completion",
        "created": int(time.time()),
        "model": model,
        "choices": [{"index": 0, "message": {"role": "assistant", "content": content}, "finish_reason": "stop"}],
    }


def refused_base_url() -> str:
    """A base URL on 127.0.0.1 where nothing listens: a port that was free a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    return f"http://127.0.0.1:{port}/v1"


def answers_by_keyword(table: Iterable[tuple[str, str]], default: str | None = None) -> Responder:
    """A responder that gives the answer of the first keyword found in the question."""
    rules = list(table)

    def respond(question: str) -> str:
        for keyword, answer in rules:
            if keyword in question:
                return answer
        return default if default is not None else extraction_answer()

    return respond


# README's snippets, each answered as the comment beside it says: keywords of their questions and the answers.
STOCK_ANSWERS = answers_by_keyword(
    [
        ("图谱数据:", extraction_answer(("force", "台风登陆 -> 沿海暴雨", {"final_force": "特别剧烈"}))),
        ("全城停电约六小时", extraction_answer(("force", "次日恢复供电", {"final_force": "剧烈"}))),
        (
            "地震",
            extraction_answer(
                ("relation", "地震导致全城停电", {"source": "地震", "target": "全城停电", "strength": "0.9"})
            ),
        ),
        (
            "降准",
            extraction_answer(("pc", "央行宣布降准", {"related": "true", "reason": "降准释放资金，银行随之下调利率"})),
        ),
    ]
)


# README's snippets ask these, and get the stock answers its comments show; the force question is the graph text
# README shows.
README_QUESTIONS = frozenset(
    {
        "昨天的地震导致全城停电。",
        "央行宣布降准，一周后多家银行下调了贷款利率。",
        "降准",
        "台风登陆后沿海普降暴雨，全城停电约六小时，次日恢复供电。",
        "图谱数据:\n起点: 台风登陆\n终点: 全城停电\n\n路径1:\n  台风登陆 -> 沿海暴雨(0.9)\n"
        "  沿海暴雨 -> 城市内涝(0.7)\n  城市内涝 -> 全城停电(0.6)\n路径2:\n  台风登陆 -> 沿海暴雨(0.9)\n"
        "  沿海暴雨 -> 全城停电",
    }
)


def main(argv: Sequence[str] | None = None) -> int:
    import text_answers  # beside this file; it reads this module's answer format

    parser = argparse.ArgumentParser(
        prog="scripted_endpoint.py",
        description="An OpenAI-compatible chat endpoint on 127.0.0.1: README's snippets get their stock answers, "
        "any other text what its cue words say (causal relations, a PC relation, a force), in the form the prompt's "
        "worked examples show.",
    )
    parser.add_argument("--port", type=int, default=8000, help="the port to listen on (default 8000; 0: a free one)")
    parser.add_argument(
        "--latency", type=float, default=0.0, metavar="MS", help="answer each request after MS milliseconds"
    )
    parser.add_argument(
        "--fail",
        type=float,
        default=0.0,
        metavar="RATE",
        help="answer this share of the requests (0 to 1) with 429, 503 and a proxy's HTML page, in turn",
    )
    parser.add_argument("--log", metavar="FILE", help="append a line per request to FILE (- for stdout)")
    args = parser.parse_args(argv)
    if not 0.0 <= args.fail <= 1.0 or args.latency < 0:
        parser.error("--fail takes a share from 0 to 1, --latency milliseconds of at least 0")

    def respond(question: str) -> str | Reply:
        return STOCK_ANSWERS(question) if question in README_QUESTIONS else text_answers.answer(question)

    log = sys.stdout if args.log == "-" else open(args.log, "a", encoding="utf-8") if args.log else None  # noqa: SIM115
    endpoint = ScriptedEndpoint(respond, port=args.port, delay=args.latency / 1000, fail_rate=args.fail, log=log)
    # Ctrl-C ends the endpoint however it was started. A process started with SIGINT ignored (a background job of a
    # shell without job control: `make serve &` in a script, a test suite run that way) keeps it ignored in Python,
    # and then nothing stops the endpoint but a kill. And the server's threads never take the signal: the kernel may
    # give it to any thread, Python runs its handler in the main thread alone, and that one sleeps in a wait that
    # only the signal's arrival in it ends.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        endpoint.start()  # its threads keep the mask they start with
    except OSError as error:
        print(f"error: cannot listen on 127.0.0.1:{args.port}: {error.strerror or error}", file=sys.stderr)
        return 2
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    print(f"answering at {endpoint.base_url} until Ctrl-C", flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        endpoint.stop()
        if log is not None and log is not sys.stdout:
            log.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
