"""The Dask cluster the commands run on: its life as the driver sees it, and the rate-share protocol of `--rate`.

A command runs on the scheduler at an address, or on a local cluster of its own whose workers leave Ctrl-C to the
driver; either way Dask's own log lines are kept off the terminal unless asked for, and every worker must have this
package. Dask is imported only inside: it comes with the `corpus` extra, and a run refuses to start without it.

Rate shares: with `--rate R`, each worker process paces its requests at its share of R, and so it does of a limit
the provider states in its headers. The driver keeps a Dask `Variable` naming the workers that have tasks of the
run (`RateShares`); each worker's tasks read it now and then (`Liaison.workers_with_work`) and take R (or the
limit) over that many, so that a worker without work leaves its share to the others.
"""

from __future__ import annotations

import contextlib
import importlib.metadata
import logging
import signal
import sys
import threading
from collections.abc import Iterator
from multiprocessing import resource_tracker
from typing import Any

from .exits import DISTRIBUTION, INSTALL_HINT, SetupError
from .interrupts import interrupts_held

SHARE_EVERY = 1.0
"""Seconds between two looks at which workers have work, on both sides of the rate shares."""

# Passed to the interpreters multiprocessing starts (the resource tracker among them) as their -W option.
_TRACKER_QUIET = "ignore::UserWarning:multiprocessing.resource_tracker"


def require_dask(needs: str) -> None:
    """Refuse to go on without Dask distributed; `needs` says who needs it ("corpus runs need")."""
    try:
        import distributed  # noqa: F401
    except ImportError as error:
        raise SetupError(f"{needs} Dask distributed, which is not installed ({error}): {INSTALL_HINT}") from None


@contextlib.contextmanager
def cluster_client(scheduler: str | None, workers: int | None, threads_per_worker: int, verbose: bool) -> Iterator[Any]:
    """A client of the scheduler at `scheduler`, or of a local cluster of `workers` processes whose workers leave
    Ctrl-C to this process; Dask's own log lines shown only when `verbose`. Refused when no worker has the
    package."""
    from distributed import Client, LocalCluster

    with contextlib.ExitStack() as stack:
        stack.enter_context(_quiet_dask(verbose))
        if scheduler:
            try:
                client = stack.enter_context(Client(scheduler, timeout="30s"))  # type: ignore[no-untyped-call]
            except OSError as error:
                raise SetupError(f"cannot reach the scheduler at {scheduler}: {error}") from None
        else:
            # Ended at once by a second signal, the driver leaves multiprocessing's resource tracker to find the
            # workers' semaphores, and it would warn about them on the terminal after the driver's last line.
            if _TRACKER_QUIET not in sys.warnoptions:
                sys.warnoptions.append(_TRACKER_QUIET)
            # The dashboard (if Dask has one to show) on a free port: the fixed default would clash between runs on
            # one machine, and leaving the address out does not switch it off.
            with _interrupts_held_while_workers_start():
                cluster = stack.enter_context(
                    LocalCluster(  # type: ignore[no-untyped-call]
                        n_workers=workers,
                        threads_per_worker=threads_per_worker,
                        processes=True,
                        dashboard_address=":0",
                        silence_logs=logging.WARNING if verbose else logging.CRITICAL,
                    )
                )
                client = stack.enter_context(Client(cluster))  # type: ignore[no-untyped-call]
                _keep_interrupts_from_workers(client)
        _check_workers(client)
        yield client


@contextlib.contextmanager
def _interrupts_held_while_workers_start() -> Iterator[None]:
    """A Ctrl-C at the terminal goes to every process of its group: the local workers would each print their own
    traceback and die under their tasks. They are born with SIGINT blocked instead, which they keep: the thread
    that starts them is made while this one blocks it, and a child inherits its mask. Ignoring it here, so that
    they inherit that, would drop the driver's own Ctrl-C until they are up (the kernel discards an ignored signal
    in every thread but those that block it, and the driver has threads of libraries that do not).

    Meanwhile a Ctrl-C or SIGTERM is held, not raised where the cluster is half made (whose close then fails on
    workers still starting), and raised once the cluster and its client are up."""
    if threading.current_thread() is not threading.main_thread():  # signals are the host's to handle there
        yield
        return
    # The resource tracker unblocks the signals in whichever thread starts it, and the first worker's start would
    # start it in the thread that starts the workers: started here first, it leaves that thread as it is made.
    resource_tracker.ensure_running()
    with interrupts_held():
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            yield
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)


def _keep_interrupts_from_workers(client: Any) -> None:
    """A local worker that was not born with SIGINT blocked (started again after it died, by a thread that does not
    block it) would take a Ctrl-C for itself. Each one ignores it from its start instead."""
    from distributed import WorkerPlugin

    class IgnoreInterrupts(WorkerPlugin):
        def setup(self, worker: Any) -> None:
            with contextlib.suppress(ValueError):  # not the worker process's main thread: nothing to do there
                signal.signal(signal.SIGINT, signal.SIG_IGN)

    client.register_plugin(IgnoreInterrupts(), name="kestor-corpus-ignore-interrupts")


@contextlib.contextmanager
def _quiet_dask(verbose: bool) -> Iterator[None]:
    """Dask's own log lines (a worker's warnings, tasks cancelled at shutdown) say nothing the run does not."""
    logger = logging.getLogger("distributed")
    level = logger.level
    if not verbose:
        logger.setLevel(logging.CRITICAL)
    try:
        yield
    finally:
        logger.setLevel(level)


def _check_workers(client: Any) -> None:
    ours = importlib.metadata.version(DISTRIBUTION)
    versions = client.run(importlib.metadata.version, DISTRIBUTION, on_error="return")
    if not versions:
        raise SetupError("the cluster has no workers")
    for address, version in sorted(versions.items()):
        if isinstance(version, BaseException):
            raise SetupError(f"worker {address} does not have {DISTRIBUTION} installed: {INSTALL_HINT} on every worker")
        if version != ours:
            print(f"warning: worker {address} has {DISTRIBUTION} {version}, this driver {ours}", file=sys.stderr)


class RateShares:
    """The driver's half: says which workers have tasks whose keys start with `key_prefix`, so that each takes its
    share of `--rate` (or of the provider's stated limit) and a worker without work leaves its share to the
    others."""

    def __init__(self, client: Any, name: str, key_prefix: str) -> None:
        from distributed import Variable

        self.client, self.key_prefix = client, key_prefix
        self.variable = Variable(name, client=client)  # type: ignore[no-untyped-call]
        self._stopped = threading.Event()
        # Every worker has work at first; a worker that asks before this is set keeps the share it started with.
        self._sent: list[str] | None = sorted(client.nthreads())
        self.variable.set(self._sent)  # type: ignore[no-untyped-call]
        self._thread = threading.Thread(target=self._loop, name="corpus-shares", daemon=True)
        self._thread.start()

    def _loop(self) -> None:
        while not self._stopped.wait(SHARE_EVERY):
            with contextlib.suppress(Exception):  # a slow scheduler: the shares stay as they were a moment longer
                busy = sorted(
                    worker
                    for worker, keys in self.client.processing().items()
                    if any(str(key).startswith(self.key_prefix) for key in keys)
                )
                if busy and busy != self._sent:
                    self.variable.set(busy)  # type: ignore[no-untyped-call]
                    self._sent = busy

    def stop(self) -> None:
        self._stopped.set()


class Liaison:
    """A task's Dask worker, as the task sees it: the scheduler's event log, the task's own state, and the worker's
    half of the rate shares."""

    def __init__(self) -> None:
        from dask.context import thread_state
        from distributed import get_worker

        self.worker = get_worker()
        self.key = str(thread_state.key)
        self.address: str = self.worker.address

    @staticmethod
    def of_this_task() -> Liaison | None:
        """None when the task runs outside a Dask worker (called directly, as in a test)."""
        try:
            return Liaison()
        except (ImportError, ValueError, AttributeError):
            return None

    def cancelled(self) -> bool:
        task = self.worker.state.tasks.get(self.key)
        return task is None or task.state == "cancelled"

    def send(self, topic: str, message: dict[str, Any]) -> None:
        self.worker.log_event(topic, message)

    def workers_with_work(self, name: str) -> set[str] | None:
        """The workers that the driver's `RateShares` of this name last named; None when it cannot tell."""
        from distributed import Variable

        with contextlib.suppress(Exception):  # no share yet, or the scheduler slow: keep the one there is
            value = Variable(name).get(timeout=0.5)  # type: ignore[no-untyped-call]
            if isinstance(value, (list, tuple)):
                return {str(address) for address in value}
        return None
