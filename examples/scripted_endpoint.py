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

The Batch API of the OpenAI API is there too (`BatchApi`, the endpoint's `batches`): ``/v1/files`` (upload, list,
retrieve, content, delete) and ``/v1/batches`` (create, retrieve, list, cancel). A batch answers each line as the chat
endpoint would, one after another over `seconds`, and can fail a share of its lines, lose some, expire half done,
refuse a batch of too many lines or a file too large, or be missing altogether (404), as providers' batches do;
``--batch-seconds``, ``--batch-fail``, ``--batch-lose``, ``--batch-expire``, ``--batch-most-requests`` and
``--no-batches`` set those.
"""

from __future__ import annotations

import argparse
import collections
import email.parser
import email.policy
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
import uuid
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, TextIO, TypeVar

__all__ = [
    "STOCK_ANSWERS",
    "BatchApi",
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
        self.batches = BatchApi(self)
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
        self.batches.stop()
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
            *self.batches.routes(),
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


# The Batch API: files and batches, each batch's lines answered as the chat endpoint answers a request.


class BatchApi:
    """``/v1/files`` and ``/v1/batches`` of an endpoint, as the OpenAI API has them. The options are attributes, set
    before the batches they shape are created; what came is kept for tests to count (`uploads`, `created`, `lines`).

    A batch is validated (too many lines: it fails with `too_many_tasks`), then answers its lines one after another
    over `seconds`, through the endpoint's responder: a reply that fails gives its line that status. The output and
    error files hold the lines in an order of their own, as a provider's may."""

    def __init__(self, endpoint: ScriptedEndpoint) -> None:
        self.endpoint = endpoint
        self.enabled = True
        """False: no Batch API here, every request of it answered 404, as most OpenAI-compatible servers do."""
        self.seconds = 0.0
        """How long a batch takes to answer all its lines."""
        self.fail = 0.0
        """The share of lines that fail with a 500 the first time they come (another batch answers them)."""
        self.lose = 0.0
        """The share of lines that come back in neither file the first time they come, though counted as done."""
        self.expire = 0
        """How many of the next batches expire half done: the rest of their lines fail as batch_expired."""
        self.most_requests: int | None = None
        """A batch of more lines fails at validation, as too_many_tasks."""
        self.most_bytes: int | None = None
        """A larger upload is refused with 413."""
        self.after: Callable[[str, str], None] | None = None
        """Called with the method and path of each request of the Batch API once it is answered (a test or a bench
        interrupts its client there)."""
        self.files: dict[str, dict[str, Any]] = {}
        self.contents: dict[str, bytes] = {}
        self.batches: dict[str, dict[str, Any]] = {}
        self.uploads: list[str] = []
        """The name of each file uploaded, in order."""
        self.refused: list[str] = []
        """The name of each file refused for its size."""
        self.created: list[str] = []
        """The input file of each batch created, in order."""
        self.lines: list[dict[str, Any]] = []
        """Every line a batch answered or failed, in order."""
        self._spoiled: set[str] = set()
        self._draws = random.Random(1)
        self._lock = threading.Lock()
        self._stopping = threading.Event()

    def routes(self) -> list[Route]:
        """Its routes, ahead of the chat's: while it is not `enabled`, each answers 404."""
        routes = [
            ("POST", r"/files", self._upload),
            ("GET", r"/files", self._list_files),
            ("GET", r"/files/([^/]+)", self._file),
            ("GET", r"/files/([^/]+)/content", self._content),
            ("DELETE", r"/files/([^/]+)", self._delete),
            ("POST", r"/batches", self._create),
            ("GET", r"/batches", self._list_batches),
            ("GET", r"/batches/([^/]+)", self._batch),
            ("POST", r"/batches/([^/]+)/cancel", self._cancel),
        ]
        return [Route(method, path, functools.partial(self._take, method, answer)) for method, path, answer in routes]

    def _take(
        self,
        method: str,
        answer: Callable[[http.server.BaseHTTPRequestHandler, bytes, re.Match[str]], None],
        handler: http.server.BaseHTTPRequestHandler,
        body: bytes,
        match: re.Match[str],
    ) -> None:
        if not self.enabled:
            path = urllib.parse.urlsplit(handler.path).path
            _send_json(
                handler, 404, {"error": {"message": f"Not found: {method} {path}", "type": "invalid_request_error"}}
            )
            return
        answer(handler, body, match)
        if self.after is not None:
            self.after(method, urllib.parse.urlsplit(handler.path).path)

    def stop(self) -> None:
        self._stopping.set()

    def run_batch(self, input_path: str, output_path: str) -> None:
        """Answer an input file as vLLM's offline runner does (`vllm run-batch -i INPUT -o OUTPUT`): every line in
        one output file, failures among the answers."""
        with open(input_path, "rb") as handle:
            requests = [json.loads(line) for line in handle if line.strip()]
        lines = [self._line(request)[0] for request in requests]
        with self._lock:
            self.lines.extend(lines)
        text = "".join(json.dumps(line, ensure_ascii=False) + "\n" for line in lines)
        with open(output_path, "w", encoding="utf-8") as handle:
            handle.write(text)

    def _query(self, handler: http.server.BaseHTTPRequestHandler) -> dict[str, str]:
        return dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(handler.path).query))

    def _upload(self, handler: http.server.BaseHTTPRequestHandler, body: bytes, match: re.Match[str]) -> None:
        head = f"Content-Type: {handler.headers.get('Content-Type', '')}\r\n\r\n".encode()
        form = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(head + body)
        fields = {part.get_param("name", header="content-disposition"): part for part in form.iter_parts()}
        upload, purpose = fields.get("file"), fields.get("purpose")
        if upload is None or purpose is None:
            _send_json(handler, 400, {"error": {"message": "file and purpose are required", "type": "invalid"}})
            return
        data = upload.get_payload(decode=True)
        assert isinstance(data, bytes)
        name = str(upload.get_filename() or "upload.jsonl")
        if self.most_bytes is not None and len(data) > self.most_bytes:
            with self._lock:
                self.refused.append(name)
            _send_json(handler, 413, {"error": {"message": "File is too large.", "type": "invalid_request_error"}})
            return
        with self._lock:
            self.uploads.append(name)
        _send_json(handler, 200, self._keep_file(name, data, purpose.get_content().strip()))

    def _keep_file(self, name: str, data: bytes, purpose: str) -> dict[str, Any]:
        file: dict[str, Any] = {
            "id": f"file-{uuid.uuid4().hex[:24]}",
            "object": "file",
            "bytes": len(data),
            "created_at": int(time.time()),
            "filename": name,
            "purpose": purpose,
            "status": "processed",
        }
        with self._lock:
            self.files[file["id"]] = file
            self.contents[file["id"]] = data
        return file

    def _listed(self, handler: http.server.BaseHTTPRequestHandler, items: list[dict[str, Any]]) -> None:
        query = self._query(handler)
        items = sorted(items, key=lambda item: item["created_at"], reverse=True)
        if "after" in query:
            ids = [item["id"] for item in items]
            items = items[ids.index(query["after"]) + 1 :] if query["after"] in ids else []
        limit = int(query.get("limit", "20"))
        page = items[:limit]
        _send_json(
            handler,
            200,
            {
                "object": "list",
                "data": page,
                "first_id": page[0]["id"] if page else None,
                "last_id": page[-1]["id"] if page else None,
                "has_more": len(items) > limit,
            },
        )

    def _list_files(self, handler: http.server.BaseHTTPRequestHandler, body: bytes, match: re.Match[str]) -> None:
        purpose = self._query(handler).get("purpose")
        with self._lock:
            files = [file for file in self.files.values() if purpose in (None, file["purpose"])]
        self._listed(handler, files)

    def _file(self, handler: http.server.BaseHTTPRequestHandler, body: bytes, match: re.Match[str]) -> None:
        file = self.files.get(match.group(1))
        if file is None:
            _send_json(handler, 404, {"error": {"message": "No such file", "type": "invalid_request_error"}})
        else:
            _send_json(handler, 200, file)

    def _content(self, handler: http.server.BaseHTTPRequestHandler, body: bytes, match: re.Match[str]) -> None:
        data = self.contents.get(match.group(1))
        if data is None:
            _send_json(handler, 404, {"error": {"message": "No such file", "type": "invalid_request_error"}})
            return
        handler.send_response(200)
        handler.send_header("Content-Type", "application/octet-stream")
        handler.send_header("Content-Length", str(len(data)))
        handler.end_headers()
        handler.wfile.write(data)

    def _delete(self, handler: http.server.BaseHTTPRequestHandler, body: bytes, match: re.Match[str]) -> None:
        with self._lock:
            found = self.files.pop(match.group(1), None)
            self.contents.pop(match.group(1), None)
        if found is None:
            _send_json(handler, 404, {"error": {"message": "No such file", "type": "invalid_request_error"}})
        else:
            _send_json(handler, 200, {"id": found["id"], "object": "file", "deleted": True})

    def _create(self, handler: http.server.BaseHTTPRequestHandler, body: bytes, match: re.Match[str]) -> None:
        request = json.loads(body or b"{}")
        data = self.contents.get(request.get("input_file_id", ""))
        if data is None:
            _send_json(handler, 400, {"error": {"message": "No such input file", "type": "invalid_request_error"}})
            return
        now = int(time.time())
        batch: dict[str, Any] = {
            "id": f"batch_{uuid.uuid4().hex[:24]}",
            "object": "batch",
            "endpoint": request.get("endpoint"),
            "errors": None,
            "input_file_id": request["input_file_id"],
            "completion_window": request.get("completion_window"),
            "status": "validating",
            "output_file_id": None,
            "error_file_id": None,
            "created_at": now,
            "expires_at": now + 86400,
            "request_counts": {"total": 0, "completed": 0, "failed": 0},
            "metadata": request.get("metadata"),
        }
        with self._lock:
            self.created.append(request["input_file_id"])
            self.batches[batch["id"]] = batch
            reply = dict(batch)
        threading.Thread(target=self._answer, args=(batch, data), daemon=True).start()
        _send_json(handler, 200, reply)

    def _list_batches(self, handler: http.server.BaseHTTPRequestHandler, body: bytes, match: re.Match[str]) -> None:
        with self._lock:
            batches = [dict(batch) for batch in self.batches.values()]
        self._listed(handler, batches)

    def _batch(self, handler: http.server.BaseHTTPRequestHandler, body: bytes, match: re.Match[str]) -> None:
        with self._lock:
            batch = self.batches.get(match.group(1))
            reply = None if batch is None else json.loads(json.dumps(batch))
        if reply is None:
            _send_json(handler, 404, {"error": {"message": "No such batch", "type": "invalid_request_error"}})
        else:
            _send_json(handler, 200, reply)

    def _cancel(self, handler: http.server.BaseHTTPRequestHandler, body: bytes, match: re.Match[str]) -> None:
        with self._lock:
            batch = self.batches.get(match.group(1))
            if batch is not None and batch["status"] in ("validating", "in_progress"):
                batch["status"] = "cancelling"
            reply = None if batch is None else dict(batch)
        if reply is None:
            _send_json(handler, 404, {"error": {"message": "No such batch", "type": "invalid_request_error"}})
        else:
            _send_json(handler, 200, reply)

    def _set(self, batch: dict[str, Any], **changes: Any) -> None:
        with self._lock:
            batch.update(changes)

    def _answer(self, batch: dict[str, Any], data: bytes) -> None:
        requests = [json.loads(line) for line in data.splitlines() if line.strip()]
        if self.most_requests is not None and len(requests) > self.most_requests:
            error = {
                "code": "too_many_tasks",
                "line": None,
                "param": None,
                "message": f"{len(requests)} requests; at most {self.most_requests} in a batch",
            }
            self._set(batch, status="failed", errors={"object": "list", "data": [error]}, failed_at=int(time.time()))
            return
        with self._lock:
            expires = self.expire > 0
            self.expire -= expires
        self._set(batch, status="in_progress", request_counts={"total": len(requests), "completed": 0, "failed": 0})
        outputs: list[dict[str, Any]] = []
        errors: list[dict[str, Any]] = []
        ended = "completed"
        for number, request in enumerate(requests):
            if expires and number >= len(requests) // 2:
                ended = "expired"
            elif batch["status"] == "cancelling":
                ended = "cancelled"
            if ended != "completed":
                code = "batch_expired" if ended == "expired" else "batch_cancelled"
                message = "This request could not be executed before the completion window expired."
                errors.append(
                    {"custom_id": request["custom_id"], "response": None, "error": {"code": code, "message": message}}
                )
                continue
            if self._stopping.wait(self.seconds / len(requests)):
                return
            line, lost = self._line(request)
            counts = batch["request_counts"]
            failed = line["response"]["status_code"] != 200
            self._set(
                batch,
                request_counts=dict(
                    counts,
                    completed=counts["completed"] + (lost or not failed),
                    failed=counts["failed"] + (failed and not lost),
                ),
            )
            if not lost:
                (errors if failed else outputs).append(line)
        with self._lock:
            self.lines.extend(outputs + errors)
        self._set(batch, status="finalizing")
        files = {}
        for name, lines in (("output_file_id", outputs), ("error_file_id", errors)):
            if lines:
                self._draws.shuffle(lines)
                text = "".join(json.dumps(line, ensure_ascii=False) + "\n" for line in lines).encode()
                files[name] = self._keep_file(f"{batch['id']}_{name[:-8]}.jsonl", text, "batch_output")["id"]
        self._set(batch, status=ended, **files, **{f"{ended}_at": int(time.time())})

    def _line(self, request: dict[str, Any]) -> tuple[dict[str, Any], bool]:
        """The line answering a request, and whether it is lost (in neither file, though counted done)."""
        custom_id = request["custom_id"]
        with self._lock:
            fresh = custom_id not in self._spoiled
            draw = self._draws.random()
            fate = "lose" if fresh and draw < self.lose else "fail" if fresh and draw < self.lose + self.fail else ""
            if fate:
                self._spoiled.add(custom_id)
        body = request.get("body", {})
        answer: dict[str, Any]
        if fate == "fail":
            status, answer = 500, {"error": {"message": "The server had an error (scripted)", "type": "server_error"}}
        elif request.get("url", "").endswith("/embeddings"):
            texts = body.get("input", [])
            texts = [texts] if isinstance(texts, str) else texts
            data = [
                {"object": "embedding", "index": i, "embedding": self.endpoint.embedding(t)}
                for i, t in enumerate(texts)
            ]
            tokens = sum(self.endpoint.count_tokens(text) for text in texts)
            status = 200
            answer = {
                "object": "list",
                "data": data,
                "model": body.get("model"),
                "usage": {"prompt_tokens": tokens, "total_tokens": tokens},
            }
        else:
            try:
                reply = self.endpoint.responder(Question.of(body.get("messages", [{}])[-1].get("content", "")))
            except Exception:  # as the chat endpoint's handler does, a responder's fault is a server error
                reply = Reply(status=500)
            reply = Reply(reply) if isinstance(reply, str) else reply
            status = reply.status
            if status != 200:
                answer = {"error": {"message": f"scripted failure {status}", "type": "scripted"}}
            else:
                answer = completion(body.get("model", "scripted"), reply.content)
                if reply.usage is True:
                    answer["usage"] = self.endpoint.usage_of(body, reply.content)
                elif reply.usage:
                    answer["usage"] = dict(reply.usage)
        line = {
            "id": f"batch_req_{uuid.uuid4().hex[:24]}",
            "custom_id": custom_id,
            "response": {"status_code": status, "request_id": uuid.uuid4().hex, "body": answer},
            "error": None,
        }
        return line, fate == "lose"


def _send_json(handler: http.server.BaseHTTPRequestHandler, status: int, document: Any) -> None:
    body = json.dumps(document, ensure_ascii=False).encode()
    handler.send_response(status)
    handler.send_header("Content-Type", "application/json")
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.wfile.write(body)


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
    batches = parser.add_argument_group("the Batch API (/v1/files, /v1/batches)")
    batches.add_argument("--no-batches", action="store_true", help="answer 404, as a server without one does")
    batches.add_argument("--batch-seconds", type=float, default=0.0, help="how long a batch takes (default 0)")
    batches.add_argument("--batch-fail", type=float, default=0.0, help="share of lines failing with a 500 once")
    batches.add_argument("--batch-lose", type=float, default=0.0, help="share of lines in neither file once")
    batches.add_argument("--batch-expire", type=int, default=0, help="the next N batches expire half done")
    batches.add_argument("--batch-most-requests", type=int, help="a batch of more lines fails as too_many_tasks")
    args = parser.parse_args(argv)
    if not 0.0 <= args.fail <= 1.0 or args.latency < 0:
        parser.error("--fail takes a share from 0 to 1, --latency milliseconds of at least 0")

    def respond(question: str) -> str | Reply:
        return STOCK_ANSWERS(question) if question in README_QUESTIONS else text_answers.answer(question)

    log = sys.stdout if args.log == "-" else open(args.log, "a", encoding="utf-8") if args.log else None  # noqa: SIM115
    endpoint = ScriptedEndpoint(respond, port=args.port, delay=args.latency / 1000, fail_rate=args.fail, log=log)
    endpoint.batches.enabled, endpoint.batches.seconds = not args.no_batches, args.batch_seconds
    endpoint.batches.fail, endpoint.batches.lose = args.batch_fail, args.batch_lose
    endpoint.batches.expire, endpoint.batches.most_requests = args.batch_expire, args.batch_most_requests
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
