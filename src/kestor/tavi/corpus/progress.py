"""The driver's progress bar on stderr: redrawn in place on a terminal, a line now and then anywhere else."""

from __future__ import annotations

import time
from typing import TextIO

WIDTH = 24
# Into a log file or a pipe, a line per update would bury everything else.
LINE_EVERY = 10.0


class Progress:
    def __init__(self, total: int, stream: TextIO, enabled: bool = True) -> None:
        self.total = total
        self.stream = stream
        self.enabled = enabled and total > 0
        self.done = 0
        self.failed = 0
        self.began = time.monotonic()
        self._terminal = stream.isatty()
        self._last_line = float("-inf")

    def advance(self, ok: int, failed: int) -> None:
        self.done += ok + failed
        self.failed += failed
        if not self.enabled:
            return
        now = time.monotonic()
        if self._terminal:
            self.stream.write("\r" + self.render(now) + "\x1b[K")
        elif now - self._last_line >= LINE_EVERY or self.done >= self.total:
            self.stream.write(self.render(now) + "\n")
            self._last_line = now
        self.stream.flush()

    def render(self, now: float | None = None) -> str:
        elapsed = (time.monotonic() if now is None else now) - self.began
        share = self.done / self.total if self.total else 1.0
        filled = int(share * WIDTH)
        rate = self.done / elapsed if elapsed > 0 else 0.0
        left = f", {(self.total - self.done) / rate:.0f} s left" if rate and self.done < self.total else ""
        return (
            f"[{'#' * filled}{'.' * (WIDTH - filled)}] {self.done}/{self.total} done, {self.failed} failed, "
            f"{rate:.1f} inputs/s{left}"
        )

    def close(self) -> None:
        if self.enabled and self._terminal and self.done:
            self.stream.write("\n")
            self.stream.flush()
