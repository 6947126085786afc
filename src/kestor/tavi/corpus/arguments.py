"""The options that several commands share, each declared once: where the work runs (--scheduler, --workers), the
answer cache (--cache, --no-cache), and the argument types of whole and other numbers."""

from __future__ import annotations

import argparse
import os
from typing import Any

from .asking.cache import default_path

LOCAL_WORKERS = os.cpu_count() or 1


def add_cluster_arguments(parser: argparse.ArgumentParser) -> None:
    """Where the work runs: --scheduler ADDRESS or --workers N (None when not given: `main` puts LOCAL_WORKERS)."""
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler, e.g. tcp://host:8786")
    # No default: argparse tells an option given from one left out by its value being the default object, and a
    # count equal to the cores is that very int, so --workers beside --scheduler went through on such a machine.
    where.add_argument(
        "--workers",
        type=whole_number(1),
        metavar="N",
        help=f"worker processes of a local cluster (default: the number of cores, {LOCAL_WORKERS} here)",
    )


def add_cache_arguments(parser: argparse.ArgumentParser, no_cache: str) -> None:
    """--cache PATH or --no-cache (`no_cache` says what that does)."""
    caching = parser.add_mutually_exclusive_group()
    add_cache_argument(caching)
    caching.add_argument("--no-cache", action="store_true", help=no_cache)


def add_cache_argument(parser: argparse.ArgumentParser | argparse._MutuallyExclusiveGroup) -> None:
    """The answer cache's file: --cache PATH (None when not given: the user's cache directory's)."""
    default = str(default_path()).replace("%", "%%")  # argparse fills a help text in with %
    parser.add_argument(
        "--cache",
        metavar="PATH",
        help=f"the answer cache, one SQLite file that runs into any output directory share (default: {default}); "
        "on a cluster of several machines, each keeps its own at this path",
    )


def whole_number(least: int) -> Any:
    """An argument type: a whole number of at least `least`."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}")
        return value

    return parse


def number(above: float | None = None) -> Any:
    """An argument type: a finite number of at least zero (more than `above`, if given)."""

    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if value != value or value == float("inf"):
            raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
        if above is not None and not value > above:
            raise argparse.ArgumentTypeError(f"must be more than {above:g}")
        if not value >= 0:
            raise argparse.ArgumentTypeError("must be zero or more")
        return value

    return parse
