"""Reading part files into evidence: every "ok" line of an articles or causara run checked and its relations taken
as columns (see `evidence`); anything else a part file may hold is refused, naming the file and the line."""

from __future__ import annotations

import hashlib
import json
import math
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .. import output
from ..events.names import event_key, trimmed_spelling
from ..exits import GraphInputError, UsageError
from ..inputs import date_problem, describe, id_key
from .evidence import EXCERPT_LENGTH, Evidence, id_digests, modes_differ


@dataclass(frozen=True)
class Problem:
    """Why a group's evidence was given up: returned rather than raised, so that the first problem in file order
    is the one reported (a merge keeps the earlier group's) and workers do not log it as their own failure."""

    message: str
    conflict: bool = False
    """Between two groups' evidence: which line is the first to conflict, a pass over the files tells."""


def read_part_files(paths: Sequence[str]) -> Evidence | Problem:
    """The evidence of these part files, in this order (a Dask task); an id seen twice among them, or a line that
    is not an "ok" or "failed" line of an articles or causara run, is the problem returned."""
    evidence = Evidence()
    try:
        _read(evidence, paths)
    except UsageError as error:  # a line the graph refuses, or a part file that is not one
        return Problem(str(error))
    return evidence


def _read(evidence: Evidence, paths: Sequence[str]) -> None:
    seen: dict[str, tuple[int, int]] = {}
    spellings: dict[str, tuple[str, str]] = {}
    for file_index, path in enumerate(paths):
        evidence.part_files += 1
        for number, entry in output.entries(Path(path)):
            key = id_key(entry["id"])
            if key in seen:
                first_file, first_line = seen[key]
                raise GraphInputError(f"{path}:{number}: id {key} is also at {paths[first_file]}:{first_line}")
            seen[key] = (file_index, number)
            if entry["status"] == "ok":
                _read_line(evidence, entry, key, f"{path}:{number}", spellings)
            else:
                evidence.failed_ids.append(key)
    evidence.ids = id_digests(seen)


def _read_line(
    evidence: Evidence, entry: dict[str, Any], key: str, place: str, spellings: dict[str, tuple[str, str]]
) -> None:
    if "result" not in entry:
        raise GraphInputError(f'{place}: an "ok" line without "result"')
    mode, relations, force = result_of(entry["result"], place)
    date = entry.get("date")
    if date is not None:
        problem = date_problem(date)
        if problem:
            raise GraphInputError(f"{place}: {problem}")
    text = entry.get("text")
    if text is not None and not isinstance(text, str):
        raise GraphInputError(f'{place}: "text" must be a string, not {describe(text)}')
    if evidence.mode is None:
        evidence.mode, evidence.mode_place = mode, place
    elif mode != evidence.mode:
        raise GraphInputError(modes_differ(place, mode, evidence.mode_place, evidence.mode))
    force_word = None if force is None else _text(force, f'{place}: "result.force"')
    found = []
    said: list[Any] = [date[:10] if date else "", force_word]
    for index, relation in enumerate(relations):
        strength, label = _relation_values(relation, place, index)
        ends = []
        for end in ("source", "target"):
            name = relation[end]
            known = spellings.get(name) if isinstance(name, str) else None
            if known is None:
                known = _spelling(name, f"{place}: relation {index}: {end!r}")
                if isinstance(name, str):
                    spellings[name] = known
            ends.append(known)
        (source_key, source_name), (target_key, target_name) = ends
        said.append([source_name, target_name, label if isinstance(label, str) else None, strength])
        if not source_key or not target_key:
            evidence.unnamed += 1
            continue
        label = _text(label, f"{place}: relation {index}: 'rel'")
        found.append((index, source_name, source_key, target_name, target_key, label, strength))
    digest = hashlib.blake2b(
        json.dumps(said, ensure_ascii=False).encode("utf-8", "surrogatepass"), digest_size=16
    ).hexdigest()
    article = evidence.add_article(
        key, said[0], text[:EXCERPT_LENGTH] if text else "", force_word, len(relations), digest
    )
    for index, source_name, source_key, target_name, target_key, label, strength in found:
        source = evidence.spelling(source_name, source_key)
        target = evidence.spelling(target_name, target_key)
        evidence.add_relation(article, index, source, target, label, strength)


def result_of(result: Any, place: str) -> tuple[str, list[Any], Any]:
    """The mode of the line, its relations and its force word (none in causara mode)."""
    if isinstance(result, list):
        return "causara", result, None
    if isinstance(result, dict) and "relations" in result:
        relations = result["relations"]
        if not isinstance(relations, list):
            raise GraphInputError(f'{place}: "result.relations" must be a list, not {describe(relations)}')
        if "force" not in result:
            raise GraphInputError(f'{place}: an articles line without "result.force"')
        return "articles", relations, result["force"]
    if isinstance(result, dict) and "related" in result:
        other = "linqor"
    elif isinstance(result, str):
        other = "force"
    else:
        raise GraphInputError(f"{place}: not the result of an articles or a causara run but {describe(result)}")
    raise GraphInputError(f"{place}: a line of a {other} run: the graph is built from an articles or a causara run")


def _relation_values(relation: Any, place: str, index: int) -> tuple[float, Any]:
    if not isinstance(relation, dict):
        raise GraphInputError(f"{place}: relation {index} is not an object but {describe(relation)}")
    for key in ("source", "target", "rel", "strength"):
        if key not in relation:
            raise GraphInputError(f"{place}: relation {index} has no {key!r}")
    strength = relation["strength"]
    value = math.nan
    if isinstance(strength, (int, float)) and not isinstance(strength, bool):
        try:
            value = float(strength)
        except OverflowError:  # an integer beyond every double
            value = math.inf
    if not math.isfinite(value):
        raise GraphInputError(
            f"{place}: relation {index}: 'strength' must be a finite number, not {describe(strength)}"
        )
    return value, relation["rel"]


def _spelling(name: Any, where: str) -> tuple[str, str]:
    """(event key, the name to show) of an end of a relation; a name that is not text is taken by its text form,
    as the event graph of each article takes it, and null is no name."""
    if name is None:
        return "", ""
    text = _text(name if isinstance(name, str) else str(name), where)
    return event_key(text), trimmed_spelling(text)


def _text(value: Any, where: str) -> str:
    if not isinstance(value, str):
        raise GraphInputError(f"{where} must be a string, not {describe(value)}")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        # JSON can spell half a surrogate pair; no file of the graph could hold it.
        raise GraphInputError(f"{where} holds a lone surrogate (\\u{ord(value[_surrogate(value)]):04x})") from None
    return value


def _surrogate(text: str) -> int:
    return next(index for index, character in enumerate(text) if 0xD800 <= ord(character) < 0xE000)
