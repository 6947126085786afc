"""Which inputs a run asks for, into which part file each goes, how they are cut into tasks, and what a task reports."""

from __future__ import annotations

import math
from collections import defaultdict
from dataclasses import dataclass, field
from typing import Any

from .inputs import Record, id_key
from .output import Existing

TASKS_PER_WORKER = 8
"""Enough tasks that no worker idles at the end of a run while another works through a long last task."""


@dataclass(frozen=True)
class Task:
    part: int
    """The part file its answers go to."""
    records: list[Record]
    order: dict[str, int]
    """The position in the input of every id whose line is in the part file, so that the file keeps input order."""


@dataclass
class TaskReport:
    part: int
    ok: int = 0
    failed: list[tuple[Any, str]] = field(default_factory=list)
    """(id, error) of each input that failed."""
    set_up_seconds: float = 0.0
    """Time this task spent building its process's extractors (imports included): nonzero once per process."""


def plan(records: list[Record], existing: Existing, size: int) -> tuple[list[Task], int]:
    """One task per part file to write, and how many inputs are already done.

    A new input goes to the part of its position in the input, so a rerun, or a task redone after a worker died,
    writes the same part; an input that failed before goes back to the part file that holds its line.
    """
    groups: dict[int, list[Record]] = defaultdict(list)
    order: dict[int, dict[str, int]] = defaultdict(dict)
    done = 0
    for position, record in enumerate(records):
        key = id_key(record["id"])
        status = existing.status_of.get(key)
        part = position // size if status is None else existing.part_of[key]
        order[part][key] = position
        if status == "ok":
            done += 1
        else:
            groups[part].append(record)
    return [Task(number, groups[number], order[number]) for number in sorted(groups)], done


def split(parts: list[Task], workers: int) -> list[Task]:
    """The parts cut into tasks of near-equal size, at least TASKS_PER_WORKER per worker where there are inputs
    enough, so that every worker has work whatever the part size."""
    todo = sum(len(part.records) for part in parts)
    most = max(1, math.ceil(todo / (max(workers, 1) * TASKS_PER_WORKER)))
    tasks = []
    for part in parts:
        count = len(part.records)
        pieces = max(1, math.ceil(count / most))
        for piece in range(pieces):
            records = part.records[piece * count // pieces : (piece + 1) * count // pieces]
            tasks.append(Task(part.part, records, part.order))
    return tasks
