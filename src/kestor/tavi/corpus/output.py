"""The output directory: `part-NNNNN.jsonl` files, one JSON line per input, each input in exactly one file.

A part file is only ever replaced whole, by renaming a finished temporary file over it, so a reader sees either
the old file or the new one. A write merges with what the file already holds: lines of ids that are written again
are replaced, the others are kept. That makes a write idempotent (a task redone after a worker died writes the same
ids again), lets a task write its answers as they come, and lets a rerun put retried inputs back into the file
they were in. Several tasks may share a part file, so a write holds the part's lock from reading to renaming.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import math
import os
import re
import threading
import uuid
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .exits import OutputError
from .inputs import id_key, id_problem

PART_NAME = re.compile(r"part-(\d{5,})\.jsonl")
RUN_RECORD = "run.json"
"""What made the directory: the mode, and what decides the answers (see RunConfig.record)."""
TEMPORARY_SUFFIX = ".tmp"
LOCK_SUFFIX = ".lock"
STATUSES = ("ok", "failed")


def part_path(out_dir: str | os.PathLike[str], number: int) -> Path:
    return Path(out_dir) / f"part-{number:05d}.jsonl"


def line(
    id_: Any,
    status: str,
    result: Any,
    attempts: int,
    error: str | None,
    error_class: str | None = None,
    usage: Mapping[str, int] | None = None,
    date: str | None = None,
    text: str | None = None,
) -> str:
    """An output line; `usage` is None where it is not known (a task lost with its worker); `date` is the input
    line's, carried where it had one; `text` the first characters of the input's text, where the run keeps them."""
    entry = {
        "id": id_,
        "status": status,
        "result": result,
        "attempts": attempts,
        "error": error,
        "error_class": error_class,
        "usage": None if usage is None else dict(usage),
    }
    if date is not None:
        entry["date"] = date
    if text is not None:
        entry["text"] = text
    return json.dumps(entry, ensure_ascii=False)


@dataclass
class Existing:
    """What the part files of an output directory hold, by id key."""

    part_of: dict[str, int] = field(default_factory=dict)
    status_of: dict[str, str] = field(default_factory=dict)


def scan(out_dir: str | os.PathLike[str]) -> Existing:
    """Read every part file; leftovers of interrupted writes are ignored."""
    directory = Path(out_dir)
    if directory.exists() and not directory.is_dir():
        raise OutputError(f"{directory}: not a directory")
    existing = Existing()
    if not directory.exists():
        return existing
    for path in sorted(directory.iterdir()):
        match = PART_NAME.fullmatch(path.name)
        if not match:
            continue
        number = int(match.group(1))
        for key, status in _statuses(path):
            if key in existing.part_of:
                raise OutputError(
                    f"{path}: id {key} is also in {part_path(directory, existing.part_of[key]).name}; "
                    "each id must be in one part file only"
                )
            existing.part_of[key] = number
            existing.status_of[key] = status
    return existing


def check_record(out_dir: str | os.PathLike[str], record: dict[str, Any]) -> None:
    """Refuse a directory that another mode or configuration wrote: its lines would pass for this run's answers, and
    "already done" would stand for answers nobody asked for."""
    path = Path(out_dir) / RUN_RECORD
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        return  # a new directory, or one an earlier version wrote: this run's record goes in
    except (OSError, UnicodeDecodeError) as error:
        raise OutputError(f"{path}: cannot read: {error}") from None
    try:
        there = json.loads(text)
    except json.JSONDecodeError:
        there = None
    if not isinstance(there, dict):
        raise OutputError(f"{path}: not a record of a run (remove it to take the directory up as it is)")
    differences = [
        difference
        for key, value in record.items()
        if key != "fingerprint" and (difference := _difference(key, there.get(key), value)) is not None
    ]
    if differences or there.get("fingerprint") != record.get("fingerprint"):
        raise OutputError(
            f"{out_dir}: written by another run ({'; '.join(differences) or 'another configuration'}): its lines "
            f"would pass for this run's. Give another --output, or remove {path} to go on there knowingly"
        )


def _difference(key: str, there: Any, here: Any) -> str | None:
    if there == here:
        return None
    if key == "prompts" and isinstance(there, dict):
        names = sorted(name for name in set(there) | set(here) if there.get(name) != here.get(name))
        return f"other prompts or examples for {', '.join(names)}"
    return f"{key} {there!r} there, {here!r} here"


def write_record(out_dir: str | os.PathLike[str], record: dict[str, Any]) -> None:
    """Record the run in its directory, unless a record (which `check_record` found alike) is there."""
    path = Path(out_dir) / RUN_RECORD
    if not path.exists():
        replace_file(path, [json.dumps(record, ensure_ascii=False, indent=1)])


def _statuses(path: Path) -> Iterable[tuple[str, str]]:
    for _, entry in entries(path):
        yield id_key(entry["id"]), entry["status"]


def entries(path: Path) -> Iterator[tuple[int, dict[str, Any]]]:
    """(line number, the line's object) of each line of a part file, each checked to be an output line."""
    for number, text in _numbered_lines(path):
        try:
            entry = json.loads(text)
        except json.JSONDecodeError as error:
            raise OutputError(f"{path}:{number}: not JSON ({error.msg})") from None
        if not isinstance(entry, dict) or "id" not in entry or id_problem(entry["id"]):
            raise OutputError(f"{path}:{number}: not an output line (no string or integer id)")
        if entry.get("status") not in STATUSES:
            raise OutputError(f"{path}:{number}: status must be one of {', '.join(STATUSES)}")
        yield number, entry


@dataclass(frozen=True)
class Outcome:
    status: str
    error: str | None
    error_class: str | None
    usage: Mapping[str, Any]
    """The line's usage; empty where it has none (a line of an older version, or of a lost task)."""


def outcomes(out_dir: str | os.PathLike[str], parts: Iterable[int]) -> dict[str, Outcome]:
    """What these part files hold now, by id key."""
    found = {}
    for number in sorted(set(parts)):
        for _, entry in entries(part_path(out_dir, number)):
            key = id_key(entry["id"])
            error, error_class, usage = entry.get("error"), entry.get("error_class"), entry.get("usage")
            found[key] = Outcome(
                entry["status"],
                error if isinstance(error, str) else None,
                error_class if isinstance(error_class, str) else None,
                usage if isinstance(usage, dict) else {},
            )
    return found


def _read_lines(path: Path) -> list[str]:
    return [text for _, text in _numbered_lines(path)]


def _numbered_lines(path: Path) -> list[tuple[int, str]]:
    # Lines end at "\n" alone: a JSON string written unescaped may hold U+2028 or U+0085, which splitlines() would
    # take for line ends. Blank lines keep their numbers, so a message names the line an editor shows.
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        return []
    except (OSError, UnicodeDecodeError) as error:
        raise OutputError(f"{path}: cannot read: {error}") from None
    return [(number, line) for number, line in enumerate(text.split("\n"), 1) if line.strip()]


def statuses_in(path: Path) -> dict[str, str]:
    return dict(_statuses(path))


def write_part(
    out_dir: str | os.PathLike[str], number: int, lines: Mapping[str, str], order: Mapping[str, int] | None = None
) -> None:
    """Write these lines (by id key) into part `number`, keeping the lines of other ids already there.

    With `order` (id key to position in the input), the file's lines are put in that order, lines of ids it does
    not know after them; without it, a line written again keeps its place and new ones go last.
    """
    path = part_path(out_dir, number)
    path.parent.mkdir(parents=True, exist_ok=True)
    with _locked(path):
        keyed, placed = [], set()
        for text in _read_lines(path):
            key = _key_of(text)
            if key in lines:
                placed.add(key)
                text = lines[key]
            keyed.append((key, text))
        keyed.extend((key, text) for key, text in lines.items() if key not in placed)
        if order is not None:
            # sorted() is stable: lines of unknown ids keep their order among themselves.
            keyed.sort(key=lambda item: order.get(item[0], math.inf))
        replace_file(path, [text for _, text in keyed])


_ID_FIRST = '{"id": '
_decoder = json.JSONDecoder()


def _key_of(text: str) -> str:
    """The id key of a line the runner wrote: its id comes first, and a task rewrites its part file every second or
    so, so only the id is parsed."""
    if text.startswith(_ID_FIRST):
        with contextlib.suppress(ValueError):
            return id_key(_decoder.raw_decode(text, len(_ID_FIRST))[0])
    return id_key(json.loads(text)["id"])


_thread_locks: dict[Path, threading.Lock] = {}
_thread_locks_lock = threading.Lock()


@contextlib.contextmanager
def _locked(path: Path) -> Iterator[None]:
    """The part's lock: between processes a lock file's (which stays), between threads a lock of this process's
    (a lock of a file on a network filesystem may hold between processes only)."""
    with _thread_locks_lock:
        thread_lock = _thread_locks.setdefault(path, threading.Lock())
    with thread_lock:
        descriptor = os.open(path.with_name(f".{path.name}{LOCK_SUFFIX}"), os.O_RDWR | os.O_CREAT, 0o644)
        try:
            with contextlib.suppress(OSError):  # a filesystem without locks: the threads' lock still holds
                fcntl.flock(descriptor, fcntl.LOCK_EX)
            yield
        finally:
            os.close(descriptor)


def replace_file(path: Path, texts: list[str]) -> None:
    """Write `texts` as the lines of `path`, which is replaced at once and durably."""
    # A name of its own per write: a task redone after a worker died must not write into the temporary file of
    # the attempt that may still be running elsewhere.
    temporary = path.with_name(f"{path.name}.{os.getpid()}-{uuid.uuid4().hex[:12]}{TEMPORARY_SUFFIX}")
    try:
        with temporary.open("w", encoding="utf-8") as handle:
            for text in texts:
                handle.write(text + "\n")
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    sync_directory(path.parent)


def sync_directory(directory: Path) -> None:
    # The rename is durable only once the directory itself is on disk.
    try:
        descriptor = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)


def remove_leftovers(out_dir: str | os.PathLike[str]) -> None:
    """Temporary files of writes that a killed process never finished, and the part files' locks; only while no
    task of a run writes there."""
    directory = Path(out_dir)
    if directory.is_dir():
        for path in directory.iterdir():
            name = path.name
            if (name.startswith("part-") and name.endswith(TEMPORARY_SUFFIX)) or (
                name.startswith(".part-") and name.endswith(LOCK_SUFFIX)
            ):
                path.unlink(missing_ok=True)
