"""How kestor-corpus and its graph command end: the exit statuses both use, and the line an unexpected error gets.

A traceback on stderr would read as any other failure, and the shell would see Python's status 1, which a run
uses for "some inputs failed"; an unexpected error says what it was in one line and ends with a status of its own.
"""

from __future__ import annotations

import sys
import traceback

EXIT_OK, EXIT_FAILED, EXIT_REFUSED, EXIT_ERROR, EXIT_INTERRUPTED = 0, 1, 2, 3, 130


def unexpected(error: BaseException, verbose: bool) -> int:
    """Report an error nothing was prepared for (with its traceback when `verbose`); the status to exit with."""
    if verbose:
        traceback.print_exception(error)
    hint = "" if verbose else " (--verbose shows where)"
    print(f"error: {type(error).__name__}: {error}{hint}", file=sys.stderr)
    return EXIT_ERROR
