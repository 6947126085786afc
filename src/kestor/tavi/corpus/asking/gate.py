"""How one worker process sends its model requests: at a pace the provider takes, not at all while it is down, and
never again once it said that no wait will help.

Every request of the process passes one gate, which holds it back for any of five reasons:
- a wait the provider asked for: a 429 (or 503) with `retry-after` holds every new request of the process, not
  only the retry of the call that got it;
- the send rate: unpaced until the provider first refuses a request for its rate; from there paced at what it
  let through in the last second, doubled every second (so to speak) until it refuses again, then additive
  increase and multiplicative decrease on requests per second. With `--rate`, the worker's share is where pacing
  starts and its ceiling. A provider's limit is a rate, and pacing the rate finds it closely at few refusals,
  where cutting the calls in flight on each 429 settles far below the limit. A provider that states its limit
  (`x-ratelimit-*`) sets the pace before any refusal: the worker takes its share of the limit (less a tenth or more
  where refusals come often all the same), follows it at once when it changes, and holds its sends while the
  provider says nothing is left of a window that fills only after its next paced send;
- calls in flight: from 4 up to the thread count, cut on time-outs and server errors, which is how an overloaded
  server shows;
- the circuit breaker: when most recent requests failed as in an outage, from several inputs (one input that
  always fails is no outage), no request goes out but one probe at a time, with growing pauses. The first answer
  closes it and restores the rate and calls in flight from before the failures. The time it was open is kept
  (`downtime`), so that inputs do not spend their retry budget on it; a probe's input does spend the pause after
  its probe, so that a run cannot probe forever with an input that fails wherever the endpoint stands. The pauses
  grow to a few seconds at most, so that the endpoint's return is seen within them;
- a halt: a fault of the account (quota, key, model name), or an address that answers its first inputs all as no
  model endpoint does and answers nothing else, ends every send of the process at once: waiting cures neither, and
  each further request costs or counts against the key. Every request waiting at the gate ends with Abandoned.
"""

from __future__ import annotations

import math
import random
import threading
import time
from collections import Counter, deque
from dataclasses import dataclass, field
from typing import Any

from .failures import ACCOUNT, OUTAGE, RATE_LIMIT, SERVER, SET_UP, TIMEOUT
from .limits import RateLimits
from .policy import CAP, RetryPolicy

OK = "ok"
FIRST_CALLS = 4
CUT_EVERY = 0.5
"""Seconds between two cuts: the requests already in flight when the first cut came say nothing new."""
RATE_CUT, CALLS_CUT = 0.8, 0.75
RATE_STEP = 2.0
"""Requests per second gained per second of answers at the paced rate (each answer adds RATE_STEP / rate)."""
MIN_RATE = 0.05
FIRST_RATE_SPAN = 1.0
"""Seconds of answers that give the rate to start pacing at, on the first refusal."""
CATCH_UP = 0.5
"""A send late by less than this share of the interval keeps its slot: a waking thread is late by a little."""
WINDOW, OPEN_AT, OPEN_INPUTS = 10, 8, 3
"""The breaker opens when OPEN_AT of the last WINDOW requests failed as in an outage, from OPEN_INPUTS inputs."""
PROBE_GROWTH, PROBE_JITTER, PROBE_CAP = 1.25, 0.2, 3.0
"""Slow growth, to a cap: the endpoint's return is seen at most 3.6 s late, at one probe per worker every 3 s or so."""
SET_UP_INPUTS = 5
"""Inputs whose requests must all have failed alike, as from no model endpoint, before anything was answered, for
the gate to take the address for one that never answers. One failing input is no set-up fault, and one worker's
first inputs failing by chance together, as a flaky proxy's pages may, is rarer the more are needed."""
STATED_CUT, STATED_FLOOR = 0.9, 0.7
"""Workers that pace apart at a stated limit meet in the provider's window now and then; where its window is too
short to take such meetings, refusals come often, and the share of the limit they pace at is cut by a tenth, down
to seven tenths, for the rest of the run."""
LONE_REFUSAL = 10
"""Requests since the last 429 after which one more, at the pace the provider states, cuts nothing: moving this
worker's sends off the other's is enough, where a cut would only lose pace."""
TOKENS_WEIGHT = 0.2
"""The weight of a request's tokens in the running mean that converts a token limit into requests per second."""
TICK = 0.25
"""The longest a task's waiting thread (for the gate, for its calls to finish, or for an identical request's answer)
sleeps before it looks whether the task stopped."""
ROTATE = 0.01


class Abandoned(BaseException):
    """The call's task stopped (its run was interrupted): the input is dropped, not written.

    Not an Exception, so that neither the extraction library nor the extractors catch it on its way out.
    """


@dataclass(eq=False)
class Account:
    """One input's requests through the gate."""

    stopped: threading.Event = field(default_factory=threading.Event)
    """Set when the input's task stops: its waits end with Abandoned."""
    requests: int = 0
    charged: float = 0.0
    """Budget seconds its failed probes cost."""
    probe_failed: bool = False
    """Its latest request was a probe that failed: no retry of the input's own."""
    failure: BaseException | None = None
    """What its latest failed request raised: raised out of a call as it is, the request failed (see asker)."""


class Retries:
    """When one call of an account is asked again: the policy's budget counts from the first attempt, less the time
    the gate's breaker was open (up to retry_for of it, so that an outage is waited out, but not for ever)."""

    def __init__(self, policy: RetryPolicy, gate: Gate, account: Account) -> None:
        self.policy, self.gate, self.account = policy, gate, account
        self.first = time.monotonic()
        self.downtime_before, self.charged_before = gate.downtime(self.first), account.charged
        self.failures = self.retries = 0

    def wait(self, server_wait: float | None) -> bool:
        """After a failure worth another attempt: wait until the retry may go out, or False if the policy allows
        none; Abandoned when the account's task stops first."""
        self.failures += 1
        now = time.monotonic()
        outage = min(self.gate.downtime(now) - self.downtime_before, self.policy.retry_for)
        spent = now - self.first - outage + self.account.charged - self.charged_before
        # The gate holds the retry while the breaker is open, and a failed probe already waits out its pause there.
        holds = self.account.probe_failed or self.gate.is_open
        pause = 0.0 if holds else self.policy.pause(self.failures, server_wait)
        if not self.policy.allows(self.retries, spent + pause):
            return False
        self.retries += not self.account.probe_failed
        self.gate.sleep(pause, self.account)
        return True


@dataclass(frozen=True)
class Ticket:
    account: Account
    sent: float
    probe: bool = False


class Gate:
    def __init__(
        self, threads: int, *, ceiling: float | None = None, first_probe_pause: float = 0.5, sharing: int = 1
    ) -> None:
        self.threads = threads
        self.sharing = max(sharing, 1)
        """Worker processes that send with the same key: each takes its share of a limit the provider states."""
        self.first_probe_pause = max(first_probe_pause, 0.01)
        self._cond = threading.Condition()
        self._calls = float(min(FIRST_CALLS, threads))
        self._slow_start = True
        self._in_flight = 0
        self._ceiling = ceiling
        self._stated_limit: float | None = None
        """The limit the provider last stated, in requests per second for all who send with the key."""
        self._stated: float | None = None
        """This worker's share of it."""
        self._stated_at = -math.inf
        self._stated_share = 1.0
        """The share of the stated limit the workers pace at together."""
        self._tokens: float | None = None
        self._rate: float | None = ceiling
        self._rate_slow_start = False
        self._last_send = -math.inf
        self._paced_at = -math.inf
        self._paused_until = -math.inf
        self._rate_cut_at = self._calls_cut_at = -math.inf
        self._answers: deque[float] = deque()
        self._good = (self._rate, self._calls)
        self._recent: deque[tuple[int, bool]] = deque(maxlen=WINDOW)
        self._open = False
        self._opened_at = 0.0
        self._downtime = 0.0
        self._probing = False
        self._probe_pause = self.first_probe_pause
        self._next_probe = 0.0
        self._failed_prober: int | None = None
        self._waiting: Counter[int] = Counter()
        self._answered_ever = False
        self._set_up_failures: dict[str, set[int]] = {}
        self._halted: str | None = None
        self.fault: dict[str, Any] | None = None
        """What the provider said when the gate halted, as `note_fault` was told it."""
        self.requests = 0
        self._refused_at_request = -LONE_REFUSAL - 1
        self.refused = 0
        # Drained by stats(); a gate nobody asks keeps only the latest.
        self._latencies: deque[float] = deque(maxlen=1000)

    # The decisions, at a given time: the blocking calls below wrap them.

    def try_admit(self, account: Account, now: float) -> Ticket | float:
        """A ticket to send now, or how long to wait before asking again (inf: until a request settles)."""
        if self._open:
            if self._probing:
                return math.inf
            if now < self._next_probe:
                return self._next_probe - now
            if id(account) == self._failed_prober and len(self._waiting) > 1:
                return ROTATE  # another input takes the next probe: this one may fail wherever the endpoint is
            self._probing = True
            return self._send(account, now, probe=True)
        if now < self._paused_until:
            return self._paused_until - now
        if self._in_flight >= int(self._calls):
            return math.inf
        if self._rate is not None:
            # The interval is taken at the rate of this moment, so that a rate that has grown applies at once.
            interval = 1.0 / self._rate
            due = self._last_send + interval
            if now < due:
                self._paced_at = now
                return due - now
            self._last_send = due if now - due < CATCH_UP * interval else now
        return self._send(account, now, probe=False)

    def _send(self, account: Account, now: float, *, probe: bool) -> Ticket:
        self._in_flight += 1
        account.requests += 1
        return Ticket(account, now, probe)

    def settle(
        self,
        ticket: Ticket,
        outcome: str | None,
        wait: float | None = None,
        now: float | None = None,
        limits: RateLimits | None = None,
    ) -> None:
        """How the request ended: OK, or the class of its failure, with the wait the server asked for and the limits
        its headers state; None for a request that ended without an outcome (its thread was interrupted), which says
        nothing of the endpoint."""
        with self._cond:
            now = time.monotonic() if now is None else now
            self._in_flight -= 1
            if outcome is None:
                self._probing = self._probing and not ticket.probe
                self._cond.notify_all()
                return
            if self._halts(outcome, id(ticket.account)):
                self._halted = outcome
                self._cond.notify_all()
            if limits is not None:
                self._follow(limits, now)
            self.requests += 1
            self.refused += outcome == RATE_LIMIT
            self._latencies.append(now - ticket.sent)
            answered = outcome != RATE_LIMIT and outcome not in OUTAGE
            owner = id(ticket.account)
            ticket.account.probe_failed = False
            if ticket.probe:
                self._probing = False
            if self._open:
                if answered:
                    self._close(now)
                elif ticket.probe:
                    self._probe_pause = min(PROBE_CAP, self._probe_pause * PROBE_GROWTH)
                    # Workers whose breakers opened together would otherwise probe in step, each as late as the
                    # other to see the recovery.
                    pause = max(self._probe_pause * random.uniform(1 - PROBE_JITTER, 1 + PROBE_JITTER), wait or 0.0)
                    self._next_probe = now + pause
                    ticket.account.charged += pause
                    ticket.account.probe_failed = True
                    self._failed_prober = owner
            elif answered:
                self._answered(now, owner)
            else:
                if wait:
                    self._paused_until = max(self._paused_until, now + wait)
                if outcome == RATE_LIMIT:
                    self._refused(now, ticket.sent)
                else:
                    self._failed(now, owner, outcome)
            self._cond.notify_all()

    def _halts(self, outcome: str, owner: int) -> bool:
        if self._halted is not None:
            return False
        if outcome in ACCOUNT:
            return True
        if outcome == OK or outcome not in OUTAGE | {RATE_LIMIT} | SET_UP:
            # Anything a model endpoint alone answers (an answer, a refusal of the input) says it is one.
            self._answered_ever = True
            self._set_up_failures.clear()
        elif outcome in SET_UP and not self._answered_ever:
            inputs = self._set_up_failures.setdefault(outcome, set())
            inputs.add(owner)
            return len(inputs) >= SET_UP_INPUTS
        return False

    def _follow(self, limits: RateLimits, now: float) -> None:
        """Pace at this worker's share of the limit the provider states: at once on the first answer that states it,
        and whenever it states another; between those, the pace the refusals find stays below it."""
        if limits.tokens is not None:
            self._tokens = (
                float(limits.tokens)
                if self._tokens is None
                else self._tokens + TOKENS_WEIGHT * (limits.tokens - self._tokens)
            )
        stated = [limits.requests_per_second] if limits.requests_per_second else []
        if limits.tokens_per_second and self._tokens:
            stated.append(limits.tokens_per_second / self._tokens)
        if stated and (self._stated_limit is None or abs(min(stated) - self._stated_limit) > 0.01 * min(stated)):
            self._stated_limit, self._stated_at = min(stated), now
            self._share_stated(now)
        # Nothing left of the window, and it fills again only after the next paced send would go: hold the sends
        # until it does. A window that fills sooner is the pacing's to keep.
        interval = 1.0 / self._rate if self._rate else 0.0
        windows = (
            (limits.requests_left, 1.0, limits.requests_reset),
            (limits.tokens_left, self._tokens or 1.0, limits.tokens_reset),
        )
        for left, needed, reset in windows:
            if left is not None and left < needed and reset and reset > interval:
                self._paused_until = max(self._paused_until, now + min(reset, CAP))

    def _share_stated(self, now: float) -> None:
        assert self._stated_limit is not None
        self._stated = max(MIN_RATE, self._stated_share * self._stated_limit / self.sharing)
        self._rate = self._cap()
        self._rate_slow_start = False
        self._last_send = min(self._last_send, now)

    def set_sharing(self, workers: int) -> None:
        """Workers that now send with the key: a stated limit is shared anew among them."""
        with self._cond:
            if workers != self.sharing:
                self.sharing = max(workers, 1)
                if self._stated_limit is not None:
                    self._share_stated(time.monotonic())
                self._cond.notify_all()

    @property
    def states_limit(self) -> bool:
        """Whether the provider has stated its limit."""
        return self._stated_limit is not None

    def _cap(self) -> float | None:
        """The highest pace: the worker's share of --rate and of the limit the provider states, where given."""
        caps = [cap for cap in (self._ceiling, self._stated) if cap is not None]
        return min(caps) if caps else None

    def _answered(self, now: float, owner: int) -> None:
        self._recent.append((owner, False))
        self._answers.append(now)
        while self._answers and self._answers[0] < now - FIRST_RATE_SPAN:
            self._answers.popleft()
        self._calls = min(float(self.threads), self._calls + (1.0 if self._slow_start else 1.0 / self._calls))
        # Grow only a rate that holds sends back: one that does not was never tested against the provider.
        if self._rate is not None and now - self._paced_at < max(1.0, 2.0 / self._rate):
            self._rate += 1.0 if self._rate_slow_start else RATE_STEP / self._rate
            cap = self._cap()
            if cap is not None:
                self._rate = min(self._rate, cap)
        self._good = (self._rate, self._calls)

    def _refused(self, now: float, sent: float) -> None:
        lone = self.requests - self._refused_at_request > LONE_REFUSAL
        self._refused_at_request = self.requests
        if self._stated is not None:
            # A request sent before the provider stated its present limit was refused for the limit before.
            if not lone and sent >= self._stated_at and now - self._rate_cut_at >= CUT_EVERY:
                self._stated_share = max(STATED_FLOOR, self._stated_share * STATED_CUT)
                self._share_stated(now)
                self._rate_cut_at = now
            # Sends at the same pace as another worker's keep meeting them at the same place in the window: the
            # next one goes a random part of an interval after the server's wait, off that place.
            if self._rate:
                interval = 1.0 / self._rate
                self._last_send = max(now, self._paused_until) + random.uniform(0.0, 0.5) * interval - interval
            return
        if self._rate is None:
            # What the provider let through in the last second (answered, or still in flight) is a rate it takes;
            # the limit may be well above it, which the doubling finds.
            recent = sum(1 for at in self._answers if at >= now - FIRST_RATE_SPAN) + self._in_flight
            self._rate = max(MIN_RATE, recent / FIRST_RATE_SPAN)
            self._rate_slow_start = True
            self._last_send = now
            self._rate_cut_at = now
        elif now - self._rate_cut_at >= CUT_EVERY:
            self._rate = max(MIN_RATE, self._rate * RATE_CUT)
            self._rate_slow_start = False
            self._rate_cut_at = now

    def _failed(self, now: float, owner: int, error_class: str) -> None:
        self._recent.append((owner, True))
        if error_class in (TIMEOUT, SERVER) and now - self._calls_cut_at >= CUT_EVERY:
            self._calls = max(1.0, self._calls * CALLS_CUT)
            self._slow_start = False
            self._calls_cut_at = now
        failing = [who for who, failed in self._recent if failed]
        if len(failing) >= OPEN_AT and len(set(failing)) >= OPEN_INPUTS:
            self._open = True
            self._opened_at = now
            self._probe_pause = self.first_probe_pause
            self._next_probe = max(now + self._probe_pause, self._paused_until)
            self._failed_prober = None

    def _close(self, now: float) -> None:
        self._open = False
        self._downtime += now - self._opened_at
        self._recent.clear()
        rate, calls = self._good
        if rate is not None and self._rate is not None:
            self._rate = max(self._rate, rate)
            cap = self._cap()
            if cap is not None:
                self._rate = min(self._rate, cap)
        self._calls = max(self._calls, calls)

    # For the threads that send.

    def admit(self, account: Account) -> Ticket:
        """Wait until this request may go out; Abandoned when the account's task stops first, or the gate halts."""
        with self._cond:
            self._waiting[id(account)] += 1
            try:
                while True:
                    if account.stopped.is_set() or self._halted is not None:
                        raise Abandoned
                    decision = self.try_admit(account, time.monotonic())
                    if isinstance(decision, Ticket):
                        return decision
                    self._cond.wait(min(decision, TICK))
            finally:
                self._waiting[id(account)] -= 1
                if not self._waiting[id(account)]:
                    del self._waiting[id(account)]

    def sleep(self, seconds: float, account: Account) -> None:
        """Pause a retry; Abandoned when the account's task stops first, or the gate halts."""
        end = time.monotonic() + seconds
        with self._cond:
            while True:
                if account.stopped.is_set() or self._halted is not None:
                    raise Abandoned
                left = end - time.monotonic()
                if left <= 0:
                    return
                self._cond.wait(min(left, TICK))

    def halt(self, reason: str) -> None:
        """Send nothing more: the run was stopped (`reason` says why, as an error class does)."""
        with self._cond:
            if self._halted is None:
                self._halted = reason
            self._cond.notify_all()

    @property
    def halted(self) -> str | None:
        """Why the gate sends nothing more (the class of the failure that halted it), or None."""
        return self._halted

    def note_fault(self, fault: dict[str, Any]) -> None:
        """Keep what the provider said when the gate halted; the first word stays."""
        with self._cond:
            if self.fault is None:
                self.fault = fault

    def wake(self) -> None:
        """Let waiting threads look again whether their task stopped."""
        with self._cond:
            self._cond.notify_all()

    def set_ceiling(self, rate: float) -> None:
        """A new share of the cluster's rate: the paced rate keeps its place below the ceiling."""
        with self._cond:
            if self._ceiling is not None and self._rate is not None:
                self._rate = min(rate, self._rate * rate / self._ceiling)
            else:
                self._rate = rate
            self._ceiling = rate
            self._rate = min(self._rate, self._cap() or rate)
            self._cond.notify_all()

    @property
    def is_open(self) -> bool:
        return self._open

    def downtime(self, now: float | None = None) -> float:
        """Seconds the breaker has been open since the gate was made."""
        with self._cond:
            now = time.monotonic() if now is None else now
            return self._downtime + (now - self._opened_at if self._open else 0.0)

    def stats(self) -> dict[str, Any]:
        """What the progress bar shows; the latencies are those since the last call."""
        with self._cond:
            latencies = list(self._latencies)
            self._latencies.clear()
            return {
                "in_flight": self._in_flight,
                "requests": self.requests,
                "refused": self.refused,
                "latencies": [round(seconds, 4) for seconds in latencies],
                "open": self._open,
                "rate": self._rate,
                "calls": self._calls,
            }
