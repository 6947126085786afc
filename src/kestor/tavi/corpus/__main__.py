"""python -m kestor.tavi.corpus: the same as the console script kestor-corpus."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
