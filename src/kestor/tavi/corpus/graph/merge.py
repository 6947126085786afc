"""The merge as a reduction over part files: each task reads a run of consecutive part files into evidence (see
`evidence`), and neighbouring evidence is joined pairwise, level by level, so the earlier files' always comes first.

On a Dask cluster the driver holds futures only until the last join's evidence arrives. The same reduction runs in
this process for a small output or a test.
"""

from __future__ import annotations

import os
import uuid
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn

from .. import output
from ..exits import GraphInputError
from ..inputs import id_key
from .evidence import Conflict, Evidence, modes_differ, without_ids
from .lines import Problem, read_part_files, result_of

TASKS_PER_THREAD = 4


def part_files(out_dir: str | os.PathLike[str]) -> list[str]:
    """The part files of an output directory, by part number, as absolute paths (workers read them)."""
    directory = Path(out_dir)
    if not directory.is_dir():
        raise GraphInputError(f"{directory}: {'not a directory' if directory.exists() else 'no such directory'}")
    numbered = []
    for path in directory.iterdir():
        match = output.PART_NAME.fullmatch(path.name)
        if match and path.is_file():
            numbered.append((int(match.group(1)), path.name, str(path.resolve())))
    if not numbered:
        if (directory / "graph.json").is_file():
            raise GraphInputError(
                f"{directory}: a graph directory, not a corpus run's output: a graph is built from the OUT_DIR of an "
                "articles or causara run (a graph directory is what --between, --next and --causes read)"
            )
        raise GraphInputError(f"{directory}: no part-NNNNN.jsonl files: not the output directory of a corpus run")
    return [path for _, _, path in sorted(numbered)]


def groups_of(paths: Sequence[str], count: int) -> list[list[str]]:
    """`count` runs of consecutive files (fewer for few files), of about equal size in bytes."""
    count = max(1, min(count, len(paths)))
    sizes = [max(1, os.path.getsize(path)) for path in paths]
    total = sum(sizes)
    groups: list[list[str]] = [[]]
    done = 0
    for path, size in zip(paths, sizes, strict=True):
        # A new group starts once the groups so far hold their share, leaving a file for each group still to come.
        if groups[-1] and done >= total * len(groups) / count and len(groups) < count:
            groups.append([])
        groups[-1].append(path)
        done += size
    return groups


def merged(earlier: Evidence | Problem, later: Evidence | Problem) -> Evidence | Problem:
    """The evidence of both, earlier's part files first (a Dask task: the inputs, which Dask may hold for another
    task, are left as they were)."""
    if isinstance(earlier, Problem):
        return earlier
    if isinstance(later, Problem):
        return later
    result = earlier.copy()
    try:
        result.absorb(later)
    except Conflict as error:
        return Problem(str(error), conflict=True)
    return result


def _without_ids(evidence: Evidence | Problem) -> Evidence | Problem:
    return evidence if isinstance(evidence, Problem) else without_ids(evidence)


def merge_in_process(paths: Sequence[str], files_per_task: int | None = None) -> Evidence:
    """The reduction run here: evidence of `files_per_task` files at a time (all at once by default)."""
    size = files_per_task or len(paths)
    level = [read_part_files(paths[start : start + size]) for start in range(0, len(paths), size)]
    while len(level) > 1:
        level = [merged(*level[i : i + 2]) if i + 1 < len(level) else level[i] for i in range(0, len(level), 2)]
    return _accepted(level[0], paths)


def merge_on_cluster(client: Any, paths: Sequence[str]) -> Evidence:
    threads = sum(client.nthreads().values()) or 1
    token = uuid.uuid4().hex[:8]
    level = [
        client.submit(read_part_files, group, key=f"graph-read-{token}-{number:05d}", pure=False)
        for number, group in enumerate(groups_of(paths, threads * TASKS_PER_THREAD))
    ]
    depth = 0
    while len(level) > 1:
        depth += 1
        level = [
            client.submit(merged, level[i], level[i + 1], key=f"graph-merge-{token}-{depth}-{i // 2:05d}", pure=False)
            if i + 1 < len(level)
            else level[i]
            for i in range(0, len(level), 2)
        ]
    # The ids served to find one in two part files, which the last merge has done: the driver takes the rest.
    [last] = level
    final = client.submit(_without_ids, last, key=f"graph-final-{token}", pure=False)
    try:
        result: Evidence | Problem = final.result()
    finally:
        client.cancel([final, last])
    return _accepted(result, paths)


def _accepted(result: Evidence | Problem, paths: Sequence[str]) -> Evidence:
    if isinstance(result, Evidence):
        return result
    if result.conflict:
        locate_conflict(paths)
    raise GraphInputError(result.message)


def locate_conflict(paths: Sequence[str]) -> NoReturn:
    """Name the first line, in file order, that conflicts with an earlier one: its id, or its mode."""
    seen: dict[str, str] = {}
    first: tuple[str, str] | None = None
    for path in paths:
        for number, entry in output.entries(Path(path)):
            place, key = f"{path}:{number}", id_key(entry["id"])
            if key in seen:
                raise GraphInputError(f"{place}: id {key} is also at {seen[key]}")
            seen[key] = place
            if entry["status"] == "ok" and "result" in entry:
                mode = result_of(entry["result"], place)[0]
                if first is None:
                    first = (mode, place)
                elif mode != first[0]:
                    raise GraphInputError(modes_differ(place, mode, first[1], first[0]))
    raise GraphInputError("part files that differed in their ids or modes no longer do: were they changed?")
