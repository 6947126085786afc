"""kestor-corpus cache: what the answer cache holds (and which batches still owe it answers), and clearing it.

`execute` takes the parsed command line (see cli). A file that is no answer cache this version can read, or a
damaged one, is a `CacheFileError`; --clear removes such a file whole when it is an answer cache of this package.
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

from .asking.cache import AnswerCache, default_path, remove_file
from .exits import EXIT_OK, CacheFileError


def execute(args: argparse.Namespace) -> int:
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
        raise CacheFileError(f"{error}; {what}", ours=error.ours) from None
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
        out = cache.batches_out()
        if out:
            print(
                f"{len(out):,} batch{'' if len(out) == 1 else 'es'} still out, whose answers are to come in here: the "
                "command that made each, run again, takes them in"
            )
        for batch in out:
            since = time.strftime("%Y-%m-%d %H:%M", time.localtime(batch.submitted_at))
            print(
                f"  {batch.id}: {batch.requests:,} requests at {batch.place}, {batch.status} (since {since}), for "
                f"the run into {batch.out_dir}"
            )
    finally:
        cache.close()
    if damage is not None:
        raise CacheFileError(f"{path} is damaged ({damage}): kestor-corpus cache --clear starts it anew", ours=True)
    return EXIT_OK
