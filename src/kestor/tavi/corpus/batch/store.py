"""What a batch run keeps in OUT_DIR/batch: each batch's input file (NAME.jsonl) and its record (NAME.json), written
whole (a temporary name, then a rename) the moment anything of it changes, so that an interrupt at any step leaves
what a rerun needs to go on from there; the output and error files taken from where it was answered, until their
answers are in the cache; and what the run's workers are to be told of the answers the cache does not hold
(carried.jsonl: see asking.asker.Carried).
"""

from __future__ import annotations

import json
import os
import re
import secrets
from dataclasses import asdict, fields
from pathlib import Path
from typing import Any

from ..asking.asker import Carried
from ..asking.batches import DONE, SPLIT, Batch
from ..exits import OutputError
from ..output import replace_file

DIRECTORY = "batch"
CARRIED = "carried.jsonl"
_RECORD = re.compile(r"(\d{4,})\.json")
_FIELDS = frozenset(field.name for field in fields(Batch))


class Store:
    def __init__(self, out_dir: str | os.PathLike[str]) -> None:
        self.directory = Path(out_dir) / DIRECTORY

    def batches(self) -> list[Batch]:
        """Every batch recorded, in the order they were written; leftovers of writes that an interrupt cut off (an
        input file without its record) are removed: what they held is collected again."""
        if not self.directory.is_dir():
            return []
        found = []
        for path in sorted(self.directory.iterdir()):
            if path.name.endswith(".part") or path.name.endswith(".tmp"):
                path.unlink(missing_ok=True)
            elif _RECORD.fullmatch(path.name):
                found.append(self._read(path))
        names = {batch.name for batch in found}
        for path in self.directory.glob("*.jsonl"):
            if path.name.split(".")[0].isdigit() and path.name.split(".")[0] not in names:
                path.unlink()
        return found

    def _read(self, path: Path) -> Batch:
        try:
            data = json.loads(path.read_text(encoding="utf-8"))
            return Batch(**{name: value for name, value in data.items() if name in _FIELDS})
        except (OSError, ValueError, TypeError) as error:
            raise OutputError(
                f"{path}: not the record of a batch ({error}); remove it to collect its requests again"
            ) from None

    def save(self, batch: Batch) -> None:
        self.directory.mkdir(parents=True, exist_ok=True)
        replace_file(self.directory / f"{batch.name}.json", [json.dumps(asdict(batch), ensure_ascii=False)])

    def input_of(self, batch: Batch) -> Path:
        return self.directory / f"{batch.name}.jsonl"

    def write(self, lines: list[bytes], url: str, model: str, step: str, after: list[Batch]) -> Batch:
        """A new batch of these input lines, after the batches there are: its input file, then its record."""
        number = max((int(batch.name) for batch in after), default=0) + 1
        name = f"{number:04d}"
        batch = Batch(
            name,
            url,
            model,
            len(lines),
            sum(len(line) for line in lines),
            step,
            label=f"kestor-corpus-{secrets.token_hex(4)}-{name}.jsonl",
        )
        self.directory.mkdir(parents=True, exist_ok=True)
        replace_file(self.input_of(batch), [line.decode().removesuffix("\n") for line in lines])
        self.save(batch)
        after.append(batch)
        return batch

    def lines_of(self, batch: Batch) -> list[bytes]:
        with self.input_of(batch).open("rb") as handle:
            return [line for line in handle if line.strip()]

    def close(self, batch: Batch, stage: str) -> None:
        """The batch is done with (its answers taken, or split in two): its record stays, its files go."""
        assert stage in (DONE, SPLIT)
        batch.stage = stage
        self.save(batch)
        for path in self.directory.glob(f"{batch.name}.*jsonl"):
            path.unlink()

    def write_carried(self, carried: Carried) -> Path | None:
        """The file the run's workers read what the batches carried from; None when they carried nothing."""
        path = self.directory / CARRIED
        if not carried.answers and not carried.failures:
            path.unlink(missing_ok=True)  # an earlier run's: its failures are asked again
            return None
        texts = [json.dumps({"custom_id": key.hex(), "answer": text}) for key, text in carried.answers.items()]
        texts += [json.dumps({"custom_id": key.hex(), "failure": list(f)}) for key, f in carried.failures.items()]
        replace_file(path, texts)
        return path


def read_carried(path: str | os.PathLike[str]) -> Carried:
    answers: dict[bytes, str] = {}
    failures: dict[bytes, tuple[int, str | None, str]] = {}
    with Path(path).open(encoding="utf-8") as handle:
        for text in handle:
            line: dict[str, Any] = json.loads(text)
            key = bytes.fromhex(line["custom_id"])
            if "answer" in line:
                answers[key] = line["answer"]
            else:
                status, code, message = line["failure"]
                failures[key] = (status, code, message)
    return Carried(answers, failures)
