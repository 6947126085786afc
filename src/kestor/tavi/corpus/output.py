"""The output directory: `part-NNNNN.jsonl` files, one JSON line per input, each input in exactly one file.

A part file is only ever replaced whole, by renaming a finished temporary file over it, so a reader sees either
the old file or the new one. Writing a partition merges with what its file already holds: lines of ids that are
written again are replaced, the others are kept. That makes a write idempotent (a partition redone after a worker
died writes the same ids again) and lets a rerun put retried inputs back into the file they were in.
"""

from __future__ import annotations

import json
import os
import re
import uuid
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .inputs import id_key, id_problem

PART_NAME = re.compile(r"part-(\d{5,})\.jsonl")
TEMPORARY_SUFFIX = ".tmp"
STATUSES = ("ok", "failed")


class OutputError(ValueError):
    """An output directory the run cannot take up: not a directory, or a part file it cannot read."""


def part_path(out_dir: str | os.PathLike[str], number: int) -> Path:
    return Path(out_dir) / f"part-{number:05d}.jsonl"


def line(id_: Any, status: str, result: Any, attempts: int, error: str | None) -> str:
    return json.dumps(
        {"id": id_, "status": status, "result": result, "attempts": attempts, "error": error}, ensure_ascii=False
    )


@dataclass
class Existing:
    """What the part files of an output directory hold, by id key."""

    part_of: dict[str, int] = field(default_factory=dict)
    status_of: dict[str, str] = field(default_factory=dict)
    highest_part: int = -1


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
        existing.highest_part = max(existing.highest_part, number)
        for key, status in _statuses(path):
            if key in existing.part_of:
                raise OutputError(
                    f"{path}: id {key} is also in {part_path(directory, existing.part_of[key]).name}; "
                    "each id must be in one part file only"
                )
            existing.part_of[key] = number
            existing.status_of[key] = status
    return existing


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


def write_part(out_dir: str | os.PathLike[str], number: int, lines: dict[str, str]) -> None:
    """Write these lines (by id key) into part `number`, keeping the lines of other ids already there."""
    path = part_path(out_dir, number)
    # A line written again keeps its place, so a part file stays in input order across reruns.
    merged, placed = [], set()
    for text in _read_lines(path):
        key = id_key(json.loads(text)["id"])
        if key in lines:
            placed.add(key)
            text = lines[key]
        merged.append(text)
    merged.extend(text for key, text in lines.items() if key not in placed)
    # A name of its own per attempt: a partition redone after a worker died must not write into the temporary
    # file of the attempt that may still be running elsewhere.
    path.parent.mkdir(parents=True, exist_ok=True)
    temporary = path.with_name(f"{path.name}.{os.getpid()}-{uuid.uuid4().hex[:12]}{TEMPORARY_SUFFIX}")
    try:
        with temporary.open("w", encoding="utf-8") as handle:
            for text in merged:
                handle.write(text + "\n")
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    _sync_directory(path.parent)


def _sync_directory(directory: Path) -> None:
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
    """Temporary files of writes that a killed process never finished."""
    directory = Path(out_dir)
    if directory.is_dir():
        for path in directory.iterdir():
            if path.name.startswith("part-") and path.name.endswith(TEMPORARY_SUFFIX):
                path.unlink(missing_ok=True)
