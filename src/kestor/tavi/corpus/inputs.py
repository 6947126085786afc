"""The run's input: one record per line of a JSON Lines file (or per row of a Parquet file), checked whole before
anything is sent to the model.

A record is the input object reduced to what its mode reads: "id" and "text" (and "date" when given, which the
output line carries), or "id", "graph_data" and "article_text". Ids are JSON strings or integers and are compared
with their type: 1 and "1" are two inputs.
"""

from __future__ import annotations

import datetime
import json
import os
import re
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from .exits import InputError

Id = str | int
Record = dict[str, Any]

# Enough to fix a file in one go, without flooding the terminal when every line is wrong.
MAX_REPORTED = 20


def id_key(value: Id) -> str:
    """The id as output lines and input records are matched by: its JSON text, so 1 and "1" differ."""
    return json.dumps(value, ensure_ascii=False)


def json_problem(error: json.JSONDecodeError) -> str:
    """What is wrong and where: json's messages that name a place end in "at" ("Unterminated string starting at")."""
    return f"{error.msg}{'' if error.msg.endswith(' at') else ' at'} column {error.colno}"


def id_problem(value: Any) -> str | None:
    if isinstance(value, bool) or not isinstance(value, (str, int)):
        return f'"id" must be a string or an integer, not {describe(value)}'
    return None


def load_inputs(path: str | os.PathLike[str], mode: str) -> list[Record]:
    where = str(path)
    parquet = where.endswith(".parquet")
    rows = _parquet_rows(path) if parquet else _jsonl_rows(path)
    records: list[Record] = []
    problems: list[str] = []
    first_line: dict[str, str] = {}
    for position, row in rows:
        place = f"{where}:{position}"
        if isinstance(row, str):
            problems.append(f"{place}: {row}")
        else:
            problem, record = _record(row, mode)
            if problem is None:
                assert record is not None
                key = id_key(record["id"])
                if key in first_line:
                    problem = f"id {key} repeats the id of {'row' if parquet else 'line'} {first_line[key]}"
                else:
                    first_line[key] = str(position)
                    records.append(record)
            if problem is not None:
                problems.append(f"{place}: {problem}")
        if len(problems) >= MAX_REPORTED:
            problems.append(f"{where}: stopped reading after {MAX_REPORTED} faulty lines")
            break
    if problems:
        raise InputError(problems)
    if not records:
        # A run of nothing would end "0 ok" and leave no output directory for the next command to read.
        raise InputError([f"{where}: no inputs"])
    return records


def _jsonl_rows(path: str | os.PathLike[str]) -> Iterator[tuple[int, Any]]:
    """(line number, the parsed object or a problem as a string); blank lines are skipped."""
    try:
        handle = Path(path).open(encoding="utf-8-sig")  # noqa: SIM115 - closed by the with below
    except OSError as error:
        raise InputError([f"{path}: cannot read: {error.strerror or error}"]) from None
    with handle:
        number = 0
        try:
            for number, line in enumerate(handle, 1):
                if not line.strip():
                    continue
                try:
                    # Without its line break, a line that ends inside a string says so, rather than that the
                    # break is a control character in a string.
                    yield number, json.loads(line.rstrip("\r\n"))
                except json.JSONDecodeError as error:
                    yield number, f"not JSON ({json_problem(error)})"
        except UnicodeDecodeError as error:
            yield number + 1, f"not UTF-8 text ({error.reason})"


def _parquet_rows(path: str | os.PathLike[str]) -> Iterator[tuple[int, Any]]:
    try:
        import pyarrow.parquet as parquet  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        raise InputError([f"{path}: reading Parquet needs pyarrow (pip install pyarrow)"]) from None
    try:
        table = parquet.read_table(path)
    except (OSError, ValueError) as error:
        raise InputError([f"{path}: cannot read as Parquet: {error}"]) from None
    for number, row in enumerate(table.to_pylist(), 1):
        # A nested column of Parquet has one schema for every row, so graph data travels as JSON text.
        graph_data = row.get("graph_data")
        if isinstance(graph_data, str):
            try:
                row["graph_data"] = json.loads(graph_data)
            except json.JSONDecodeError as error:
                yield number, f'"graph_data" is not JSON ({json_problem(error)})'
                continue
        yield number, row


def _record(row: Any, mode: str) -> tuple[str | None, Record | None]:
    if not isinstance(row, dict):
        return f"not a JSON object but {describe(row)}", None
    if "id" not in row:
        return 'missing "id"', None
    problem = id_problem(row["id"])
    if problem:
        return problem, None
    if mode == "force":
        if "graph_data" not in row:
            return 'missing "graph_data"', None
        problem = graph_problem(row["graph_data"])
        article = row.get("article_text")
        if problem is None and article is not None and not isinstance(article, str):
            problem = f'"article_text" must be a string or null, not {describe(article)}'
        return problem, {"id": row["id"], "graph_data": row["graph_data"], "article_text": article}
    if "text" not in row:
        return 'missing "text"', None
    if not isinstance(row["text"], str):
        return f'"text" must be a string, not {describe(row["text"])}', None
    record = {"id": row["id"], "text": row["text"]}
    if row.get("date") is not None:
        # Carried to the output line, where the event graph dates its edges by it.
        problem = date_problem(row["date"])
        if problem:
            return problem, None
        record["date"] = row["date"]
    return None, record


def date_problem(value: Any) -> str | None:
    """What keeps a "date" from being an ISO 8601 date (a time may follow: 2024-07-10T08:00:00+08:00)."""
    if isinstance(value, str) and ISO_DATE.fullmatch(value):
        try:
            datetime.date.fromisoformat(value[:10])
            return None
        except ValueError:
            pass
    return f'"date" must be an ISO 8601 date such as "2024-07-10", not {describe(value)}'


ISO_DATE = re.compile(r"\d{4}-\d{2}-\d{2}(?:[T ]\d{2}:\d{2}(?::\d{2}(?:\.\d+)?)?(?:Z|[+-]\d{2}:?\d{2})?)?")


def graph_problem(graph: Any) -> str | None:
    """What makes graph data unusable for the force extractor, which would fail on it at every attempt."""
    if not isinstance(graph, dict):
        return f'"graph_data" must be an object, not {describe(graph)}'
    for key in ("nodes", "edges"):
        items = graph.get(key, [])
        if not isinstance(items, list):
            return f'"graph_data.{key}" must be a list, not {describe(items)}'
        for index, item in enumerate(items):
            at = f"graph_data.{key}[{index}]"
            if not isinstance(item, dict):
                return f'"{at}" must be an object, not {describe(item)}'
            ends = (
                [(at, item)]
                if key == "nodes"
                else [(f"{at}.{end}", item[end]) for end in ("src_node", "dest_node") if end in item]
            )
            for end_at, end in ends:
                if not isinstance(end, dict):
                    return f'"{end_at}" must be an object, not {describe(end)}'
                node_id = end.get("id")
                if node_id is not None and (isinstance(node_id, bool) or not isinstance(node_id, int)):
                    return f'"{end_at}.id" must be an integer, not {describe(node_id)}'
    return None


def describe(value: Any) -> str:
    """A JSON value as a message names it."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return f"the number {value!r}"
    if isinstance(value, str):
        return "a string"
    return "a list" if isinstance(value, list) else "an object" if isinstance(value, dict) else type(value).__name__


def counted(count: int, noun: str) -> str:
    """A count with its noun, as a message says it: "1 edge", "2 edges", "1,000 edges"."""
    return f"{count:,} {noun}{'' if count == 1 else 's'}"
