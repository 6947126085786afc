"""kestor-corpus cache: what the answer cache holds, and clearing it.

kestor-corpus cache [--cache PATH] [--clear]
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from pathlib import Path

from .answers import AnswerCache, CacheFileError, default_path, remove_file
from .exits import EXIT_OK, EXIT_REFUSED

CACHE_HELP = (
    "the answer cache, one SQLite file that runs into any output directory share (default: {default}); on a "
    "cluster of several machines, each keeps its own at this path"
)


def add_cache_argument(parser: argparse.ArgumentParser | argparse._ActionsContainer) -> None:
    parser.add_argument("--cache", metavar="PATH", help=CACHE_HELP.format(default=default_path()))


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="kestor-corpus cache",
        description="What the answer cache holds: its answers by model and its size on disk; --clear empties it.",
        epilog="exit status: 0 done, 2 a file that is no answer cache this version can read (or that is damaged)",
    )
    add_cache_argument(parser)
    parser.add_argument(
        "--clear",
        action="store_true",
        help="remove every answer (a run using the cache at the same time goes on); a cache of another version "
        "or a damaged one is removed whole",
    )
    args = parser.parse_args(sys.argv[1:] if argv is None else list(argv))
    path = Path(args.cache) if args.cache else default_path()
    if not path.exists():
        print(f"{path}: no answer cache there{' to clear' if args.clear else ' yet'}")
        return EXIT_OK
    try:
        cache = AnswerCache(path)
    except CacheFileError as error:
        if args.clear and error.ours:
            remove_file(path)
            print(f"{path}: removed ({error})")
            return EXIT_OK
        what = "--clear starts it anew" if error.ours else "it is not ours to clear: remove it yourself or use another"
        print(f"error: {error}; {what}", file=sys.stderr)
        return EXIT_REFUSED
    try:
        damage = cache.damage()
        if args.clear:
            if damage is not None:
                cache.close()
                remove_file(path)
                print(f"{path}: removed (damaged: {damage})")
            else:
                print(f"{path}: {cache.clear():,} answers removed")
            return EXIT_OK
        contents = cache.contents()
        print(f"{path}: {contents.answers:,} answers, {contents.bytes / 1e6:,.1f} MB on disk")
        for model, count in contents.by_model.items():
            print(f"  {model}: {count:,}")
    finally:
        cache.close()
    if damage is not None:
        print(f"error: {path} is damaged ({damage}): kestor-corpus cache --clear starts it anew", file=sys.stderr)
        return EXIT_REFUSED
    return EXIT_OK
