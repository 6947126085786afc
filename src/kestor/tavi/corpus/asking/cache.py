"""The model's answers, kept across runs: one SQLite file that every worker process of a machine reads and writes.

An answer is kept under the hash of what decides it: the endpoint it came from and the whole request the provider
gets (model, messages, temperature, response format and every other parameter of the body), and nothing that does
not (the API key, credentials in the base URL, time-outs, headers). The endpoint belongs in the key: another
provider's model of the same name, or another deployment behind the same host, answers differently; its scheme,
host, port and path are kept, its credentials and query (where some providers take a key) are not.

The file is in WAL mode: readers never wait for the writer, and a process killed mid-write leaves the last
committed state. Writes are single statements or short transactions, and a busy file is waited for. WAL needs
every process on one host, so a cluster of several machines keeps one file per machine (see README).

Besides the answers, the file holds the requests being asked right now (`asking`): a row per key, held by one
process and renewed while it asks, so that the workers of a machine ask an identical request once (see sharing).
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import sqlite3
import threading
import time
import urllib.parse
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ..exits import CacheFileError

FORMAT = 1
"""The layout of the file and the way keys are made: a file of another format is refused, never read."""
APPLICATION_ID = 0x4B43_4143
"""Marks the SQLite file as an answer cache of this package (SQLite's application_id)."""
BUSY_TIMEOUT = 30.0
FILE_NAME = "answers.sqlite3"
# Transport settings of a request: they decide how it travels, not what the model answers.
TRANSPORT = frozenset({"timeout", "extra_headers"})

# The batches whose answers are still to come into this file (see batch), so that the cache command says what is
# out; a file made before there were batches gets the table when its first batch is noted.
_BATCHES = (
    "CREATE TABLE IF NOT EXISTS batches (id TEXT PRIMARY KEY, out_dir TEXT NOT NULL, place TEXT NOT NULL, "
    "requests INTEGER NOT NULL, submitted_at REAL NOT NULL, status TEXT NOT NULL) WITHOUT ROWID"
)
_SCHEMA = (
    "CREATE TABLE IF NOT EXISTS answers (key BLOB PRIMARY KEY, completion TEXT NOT NULL, digest BLOB NOT NULL, "
    "model TEXT NOT NULL, stored_at REAL NOT NULL) WITHOUT ROWID",
    "CREATE TABLE IF NOT EXISTS asking (key BLOB PRIMARY KEY, owner TEXT NOT NULL, until REAL NOT NULL) WITHOUT ROWID",
    _BATCHES,
)


def default_path(environ: Mapping[str, str] | None = None) -> Path:
    """The user's cache directory ($XDG_CACHE_HOME, else ~/.cache), so that runs into any OUT_DIR share it."""
    environ = os.environ if environ is None else environ
    base = environ.get("XDG_CACHE_HOME") or str(Path("~").expanduser() / ".cache")
    return Path(base) / "kestor-corpus" / FILE_NAME


def endpoint_of(base_url: str) -> str:
    """What of the base URL decides an answer: scheme, host, port and path, without credentials or query."""
    url = urllib.parse.urlsplit(str(base_url))
    host = (url.hostname or "").lower()
    port = url.port
    default_port = {"http": 80, "https": 443}.get(url.scheme.lower())
    netloc = host if port is None or port == default_port else f"{host}:{port}"
    if ":" in host:  # an IPv6 address keeps its brackets
        netloc = f"[{host}]" + netloc[len(host) :]
    return urllib.parse.urlunsplit((url.scheme.lower(), netloc, url.path.rstrip("/"), "", ""))


def request_key(endpoint: str, params: Mapping[str, Any]) -> bytes | None:
    """The key of a request: None when a parameter is not plain JSON data (such a request is not cached)."""
    try:
        text = json.dumps(
            [FORMAT, endpoint, request_body(params)],
            sort_keys=True,
            ensure_ascii=False,
            separators=(",", ":"),
            allow_nan=False,
        )
    except (TypeError, ValueError):
        return None
    return hashlib.sha256(text.encode()).digest()


def request_body(params: Mapping[str, Any]) -> dict[str, Any]:
    """What the provider gets of a request's parameters: the body its answer depends on."""
    return {name: value for name, value in params.items() if name not in TRANSPORT and not _omitted(value)}


def _omitted(value: Any) -> bool:
    # The OpenAI client's markers for a parameter left out (NotGiven, Omit): nothing is sent for them.
    return type(value).__name__ in ("NotGiven", "Omit")


@dataclass(frozen=True)
class BatchOut:
    """A batch whose answers are to come into the cache: its id (or its file, in a directory), the OUT_DIR of the
    run that made it, where it went, and its status when last seen."""

    id: str
    out_dir: str
    place: str
    requests: int
    submitted_at: float
    status: str


@dataclass(frozen=True)
class Contents:
    path: Path
    answers: int
    bytes: int
    """The file and its write-ahead log on disk."""
    by_model: dict[str, int]


class AnswerCache:
    """One cache file, opened by one process; each thread has its own connection."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = Path(path)
        self._local = threading.local()
        self._connections: list[sqlite3.Connection] = []
        self._lock = threading.Lock()
        # The threads of one process take turns at writing here: SQLite's own wait for a busy file sleeps in steps
        # of milliseconds, which a thread waiting for another of its process need not.
        self._write_lock = threading.Lock()
        try:
            self.path.parent.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise CacheFileError(f"{self.path}: cannot create its directory: {error.strerror or error}") from None
        self._prepare()

    def _connection(self) -> sqlite3.Connection:
        connection: sqlite3.Connection | None = getattr(self._local, "connection", None)
        if connection is None:
            try:
                connection = sqlite3.connect(
                    self.path, timeout=BUSY_TIMEOUT, isolation_level=None, check_same_thread=False
                )
                # WAL and NORMAL: a commit costs no fsync, and a crash loses at most the last answers, never the file.
                connection.execute("PRAGMA synchronous=NORMAL")
            except sqlite3.Error as error:
                raise CacheFileError(f"{self.path}: cannot open: {error}") from None
            self._local.connection = connection
            with self._lock:
                self._connections.append(connection)
        return connection

    def _prepare(self) -> None:
        """Check that the file is a cache of this format, making it first if it is new (or empty)."""
        try:
            connection = self._connection()
            identity = connection.execute("PRAGMA application_id").fetchone()[0]
            if identity == 0:
                with self._transaction(connection):
                    # Several workers may open a new file at once: the first one in makes it, the others see it.
                    tables = connection.execute("SELECT count(*) FROM sqlite_schema").fetchone()[0]
                    identity = connection.execute("PRAGMA application_id").fetchone()[0]
                    if identity == 0 and tables == 0:
                        for statement in _SCHEMA:
                            connection.execute(statement)
                        connection.execute(f"PRAGMA application_id={APPLICATION_ID}")
                        connection.execute(f"PRAGMA user_version={FORMAT}")
                        identity = APPLICATION_ID
            if identity != APPLICATION_ID:
                raise CacheFileError(f"{self.path}: a SQLite file, but not an answer cache of kestor-corpus")
            version = connection.execute("PRAGMA user_version").fetchone()[0]
            if version != FORMAT:
                raise CacheFileError(
                    f"{self.path}: an answer cache of another version of kestor-corpus (format {version}; this one "
                    f"reads format {FORMAT})",
                    ours=True,
                )
            if connection.execute("PRAGMA journal_mode").fetchone()[0] != "wal":
                connection.execute("PRAGMA journal_mode=WAL")
        except sqlite3.DatabaseError as error:
            self.close()
            raise CacheFileError(f"{self.path}: not a readable SQLite file ({error})") from None
        except CacheFileError:
            self.close()
            raise

    @contextlib.contextmanager
    def _transaction(self, connection: sqlite3.Connection) -> Iterator[None]:
        with self._write_lock:
            connection.execute("BEGIN IMMEDIATE")
            try:
                yield
            except BaseException:
                connection.execute("ROLLBACK")
                raise
            connection.execute("COMMIT")

    def get(self, key: bytes) -> str | None:
        """The answer kept under `key`; None when there is none, or when what is there is not what was stored."""
        return self._answer(self._connection(), key)

    def _answer(self, connection: sqlite3.Connection, key: bytes) -> str | None:
        row = connection.execute("SELECT completion, digest FROM answers WHERE key = ?", (key,)).fetchone()
        if row is None:
            return None
        completion = row[0]
        # SQLite checks the file's structure, not the bytes of a value: a damaged answer must not be served.
        if not isinstance(completion, str) or _digest(completion) != row[1]:
            connection.execute("DELETE FROM answers WHERE key = ?", (key,))
            return None
        return completion

    def put(self, key: bytes, completion: str, model: str) -> None:
        self.put_all([(key, completion, model)])

    def put_all(self, answers: list[tuple[bytes, str, str]], owner: str | None = None) -> None:
        """Keep (key, completion, model) answers in one transaction (a commit writes pages: it costs more than the
        rows); with `owner`, end that owner's claims on their keys in the same transaction."""
        connection = self._connection()
        now = time.time()
        with self._transaction(connection):
            connection.executemany(
                "INSERT OR REPLACE INTO answers (key, completion, digest, model, stored_at) VALUES (?, ?, ?, ?, ?)",
                [(key, completion, _digest(completion), model, now) for key, completion, model in answers],
            )
            if owner is not None:
                connection.executemany(
                    "DELETE FROM asking WHERE key = ? AND owner = ?", [(key, owner) for key, _, _ in answers]
                )

    def claim_free(self, key: bytes, owner: str, until: float, now: float) -> bool:
        """Whether `owner` claimed `key` in one statement: it has no answer, and no claim or one lapsed at `now`."""
        connection = self._connection()
        with self._write_lock:
            cursor = connection.execute(
                "INSERT INTO asking (key, owner, until) SELECT ?, ?, ? WHERE NOT EXISTS "
                "(SELECT 1 FROM answers WHERE key = ?) "
                "ON CONFLICT (key) DO UPDATE SET owner = excluded.owner, until = excluded.until WHERE asking.until < ?",
                (key, owner, until, key, now),
            )
        return cursor.rowcount == 1

    def claim(
        self, key: bytes, owner: str, until: float, now: float, alive: Callable[[str], bool]
    ) -> tuple[bool, str | None]:
        """Whether `owner` may ask for `key` now, claiming it until `until` (the key is free, its claim lapsed at
        `now`, or the process that claimed it is not `alive`), and the answer, if one came since it last looked."""
        connection = self._connection()
        with self._transaction(connection):
            # Looked for in the same transaction: an answer kept between a look and a claim is not asked again.
            completion = self._answer(connection, key)
            if completion is not None:
                return False, completion
            row = connection.execute("SELECT owner, until FROM asking WHERE key = ?", (key,)).fetchone()
            if row is not None and row[0] != owner and row[1] >= now and alive(row[0]):
                return False, None
            connection.execute(
                "INSERT OR REPLACE INTO asking (key, owner, until) VALUES (?, ?, ?)", (key, owner, until)
            )
            return True, None

    def release(self, key: bytes, owner: str) -> None:
        connection = self._connection()
        with self._write_lock:
            connection.execute("DELETE FROM asking WHERE key = ? AND owner = ?", (key, owner))

    def renew(self, owner: str, until: float) -> None:
        connection = self._connection()
        with self._write_lock:
            connection.execute("UPDATE asking SET until = ? WHERE owner = ?", (until, owner))

    def note_batch(self, batch: BatchOut) -> None:
        """A batch is out, or its status changed."""
        connection = self._connection()
        with self._transaction(connection):
            connection.execute(_BATCHES)
            connection.execute(
                "INSERT INTO batches (id, out_dir, place, requests, submitted_at, status) VALUES (?, ?, ?, ?, ?, ?) "
                "ON CONFLICT (id) DO UPDATE SET status = excluded.status",
                (batch.id, batch.out_dir, batch.place, batch.requests, batch.submitted_at, batch.status),
            )

    def forget_batch(self, batch_id: str) -> None:
        """A batch's answers are in: it is out no more."""
        connection = self._connection()
        with self._transaction(connection):
            connection.execute(_BATCHES)
            connection.execute("DELETE FROM batches WHERE id = ?", (batch_id,))

    def batches_out(self) -> list[BatchOut]:
        connection = self._connection()
        if not connection.execute("SELECT count(*) FROM sqlite_schema WHERE name = 'batches'").fetchone()[0]:
            return []
        rows = connection.execute(
            "SELECT id, out_dir, place, requests, submitted_at, status FROM batches ORDER BY submitted_at"
        )
        return [BatchOut(*row) for row in rows]

    def contents(self) -> Contents:
        connection = self._connection()
        by_model = dict(connection.execute("SELECT model, count(*) FROM answers GROUP BY model ORDER BY 2 DESC"))
        size = sum(
            path.stat().st_size for path in (self.path, self.path.with_name(self.path.name + "-wal")) if path.exists()
        )
        return Contents(self.path, sum(by_model.values()), size, by_model)

    def damage(self) -> str | None:
        """What SQLite finds wrong when it reads every page of the file; None when nothing."""
        try:
            problem = str(self._connection().execute("PRAGMA quick_check(1)").fetchone()[0])
        except sqlite3.DatabaseError as error:
            return str(error)
        return None if problem == "ok" else problem

    def clear(self) -> int:
        """Remove every answer (runs using the file at the same time keep working); how many there were."""
        connection = self._connection()
        with self._transaction(connection):
            count = int(connection.execute("SELECT count(*) FROM answers").fetchone()[0])
            connection.execute("DELETE FROM answers")
            connection.execute("DELETE FROM asking WHERE until < ?", (time.time(),))
        # Giving the space back needs the file to itself: while a run reads it, it stays for SQLite to reuse.
        with contextlib.suppress(sqlite3.OperationalError):
            connection.execute("VACUUM")
            connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        return count

    def close(self) -> None:
        with self._lock:
            connections, self._connections = self._connections, []
        for connection in connections:
            connection.close()
        self._local = threading.local()


def _digest(completion: str) -> bytes:
    return hashlib.blake2b(completion.encode(), digest_size=16).digest()


def remove_file(path: str | os.PathLike[str]) -> None:
    """Remove a cache file of another format, with its write-ahead log and shared memory."""
    base = Path(path)
    for suffix in ("", "-wal", "-shm"):
        base.with_name(base.name + suffix).unlink(missing_ok=True)
