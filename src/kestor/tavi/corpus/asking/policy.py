"""When a failed call is asked again, and after how long.

An input is retried until its time budget is spent, counted from its first attempt; time its worker spent waiting
for an endpoint that was down (see gate) is not counted, up to the budget's length, so an outage does not use the
budget up, and an endpoint gone for good still ends the run.
"""

from __future__ import annotations

import random
from dataclasses import dataclass

CAP = 30.0
"""The longest pause of the runner's own choosing; a server may ask for more."""
RETRY_FOR, FIRST_PAUSE = 600.0, 0.5


@dataclass(frozen=True)
class RetryPolicy:
    retry_for: float = RETRY_FOR
    """Seconds from an input's first attempt after which it is not asked again."""
    retries: int | None = None
    """At most this many retries of a call, if given."""
    first_pause: float = FIRST_PAUSE
    """The first pause is at most this long; each further one may be twice as long, up to CAP."""

    def pause(self, failures: int, server_wait: float | None, draw: float | None = None) -> float:
        """The pause after the call's `failures`-th failure in a row: the server's wait when it named one,
        otherwise full jitter (a uniform draw below the growing bound) so that threads do not retry in step."""
        if server_wait is not None:
            return server_wait
        bound = min(CAP, self.first_pause * 2.0 ** min(failures - 1, 64))
        return bound * (random.random() if draw is None else draw)

    def allows(self, retries_done: int, spent: float) -> bool:
        """Whether another attempt may start after `retries_done` retries, `spent` seconds of budget in by then."""
        if self.retries is not None and retries_done >= self.retries:
            return False
        return spent < self.retry_for
