"""A batch's lines, in the JSONL of the OpenAI Batch API, which other providers and vLLM's offline runner read and
write too: the requests as input lines, cut into files a provider takes; the lines of the output and error files as
each request's outcome. Plain data: the files are read and written elsewhere (see rounds).

An input line is `{"custom_id", "method": "POST", "url", "body"}`; an output line `{"id", "custom_id", "response":
{"status_code", "request_id", "body"}, "error"}`. A request is answered only by a line with status 200, no error and a
body; any other line is its failure, whatever the batch's counts say, and a request no line names failed too.
"""

from __future__ import annotations

import json
import re
import urllib.parse
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

MOST_REQUESTS = 50_000
"""Requests a provider takes in one batch."""
MOST_BYTES = 100_000_000
"""Bytes of an input file most providers take (OpenAI takes 200 MB; Zhipu, Moonshot and Together 100)."""
_VERSION = re.compile(r"v\d+\w*")
TRANSIENT_STATUSES = frozenset({0, 408, 409, 429})
TRANSIENT_CODES = frozenset({"batch_expired", "batch_cancelled", "request_timeout"})
"""What another batch may answer: the batch ended before the request was asked, or the model's call timed out."""


def url_of(base_url: str, path: str) -> str:
    """The `url` of a request's line: its path under the API's version, as the base URL ends (/v1, Zhipu's /v4)."""
    version = urllib.parse.urlsplit(base_url).path.rstrip("/").rpartition("/")[2]
    return f"/{version if _VERSION.fullmatch(version) else 'v1'}{path}"


def input_line(custom_id: str, url: str, body: Mapping[str, Any]) -> bytes:
    record = {"custom_id": custom_id, "method": "POST", "url": url, "body": body}
    return (json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n").encode()


def cut(lines: Sequence[bytes], most_requests: int, most_bytes: int) -> list[list[bytes]]:
    """The lines in files of at most `most_requests` lines and `most_bytes` bytes (a line alone may hold more), in
    their order."""
    files: list[list[bytes]] = []
    size = 0
    for line in lines:
        if not files or len(files[-1]) >= most_requests or size + len(line) > most_bytes:
            files.append([])
            size = 0
        files[-1].append(line)
        size += len(line)
    return files


@dataclass(frozen=True)
class Outcome:
    """What became of one request: its answer's body, or why there is none."""

    body: dict[str, Any] | None
    status: int
    """The HTTP status of its answer; 0 where there was none (the batch ended first, the request was lost)."""
    code: str | None = None
    message: str = ""

    @property
    def transient(self) -> bool:
        """Whether another batch may answer it: a failure as a live call would be retried on."""
        return self.status in TRANSIENT_STATUSES or self.status >= 500 or self.code in TRANSIENT_CODES


MISSING = Outcome(None, 0, "missing", "no line of the batch's output or error file names it")


def outcome_of(line: Any) -> tuple[str, Outcome] | None:
    """The custom_id of an output or error line and its outcome; None for a line that names no request."""
    if not isinstance(line, dict) or not isinstance(line.get("custom_id"), str):
        return None
    response = line.get("response")
    response = response if isinstance(response, dict) else {}
    status = response.get("status_code")
    status = status if isinstance(status, int) and not isinstance(status, bool) else 0
    body = response.get("body")
    error = line.get("error")
    if status == 200 and error is None and isinstance(body, dict):
        return line["custom_id"], Outcome(body, 200)
    # The provider's error: the line's own, else the one its response's body carries.
    said = error if isinstance(error, dict) else body.get("error") if isinstance(body, dict) else None
    said = said if isinstance(said, dict) else {}
    code = said.get("code") or said.get("type")
    message = said.get("message") or (str(error) if error is not None else "")
    return line["custom_id"], Outcome(None, status, str(code) if code else None, str(message))


def outcomes(texts: Iterable[bytes]) -> tuple[dict[str, Outcome], int]:
    """Each request's outcome by custom_id, from the lines of a batch's output and error files in any order, an
    answer preferred to a failure of the same request; and how many lines were not an outcome of any request."""
    found: dict[str, Outcome] = {}
    unreadable = 0
    for text in texts:
        if not text.strip():
            continue
        try:
            named = outcome_of(json.loads(text))
        except ValueError:
            named = None
        if named is None:
            unreadable += 1
            continue
        custom_id, outcome = named
        if custom_id not in found or found[custom_id].body is None:
            found[custom_id] = outcome
    return found, unreadable
