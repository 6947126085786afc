"""The layout check of `make lint`, on a small tree with one of each fault it must find."""

from __future__ import annotations

from pathlib import Path

from check_layout import check

PYTHON = {
    "__init__.py": "from .a import A\n",
    "a.py": "from . import b\nA = 1\n",
    "b.py": "from .a import A\n",
    "hidden.py": "def later():\n    from . import a\n",
    "slow.py": "import numpy\n",
    "lazy.py": "def later():\n    import numpy\n    import json\n",
    "typed.py": "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from .sub.leaf import Leaf\n",
    "sub/__init__.py": "",
    "sub/leaf.py": "from .. import typed\nclass Leaf: ...\n",
}
CXX = {
    "lib/x.hpp": '#include "lib/y.hpp"\n',
    "lib/y.hpp": "",
    "lib/y.cpp": '#include "lib/y.hpp"\n#include "x.hpp"\n',
    "lib/z.hpp": '#include "lib/x.hpp"\n',
    "lib/z.cpp": '#include "lib/z.hpp"\n',
}


def test_the_layout_check_finds_circles_hidden_imports_heavy_imports_and_include_cycles(tmp_path: Path):
    source = tmp_path / "src"
    for name, text in {**{f"pkg/{name}": text for name, text in PYTHON.items()}, **CXX}.items():
        (source / name).parent.mkdir(parents=True, exist_ok=True)
        (source / name).write_text(text)
    findings = check(source, "pkg")
    # The circle breaks an import from a but not from b: each module is imported alone to see that.
    circular = "imported alone: ImportError: cannot import name 'A' from partially initialized module 'pkg.a'"
    assert sorted(problem.split(" (most likely")[0] for problem in findings.problems) == [
        "import circle among pkg.a, pkg.b",
        "include cycle among the units lib/x, lib/y (x.hpp and x.cpp: unit x)",
        f"src/pkg/__init__.py: {circular}",
        f"src/pkg/a.py: {circular}",
        "src/pkg/hidden.py:2: imports pkg.a inside a function: import it at the top",
        "src/pkg/lazy.py:3: imports json inside a function: import it at the top, or list it in DEFERRED if it is "
        "heavy or optional",
        "src/pkg/slow.py: imported alone: pulls in numpy",
    ]
    # A type checker's import closes no circle.
    assert (findings.modules, findings.units) == (9, 3)


CATCHING = """def call():
    import openai
    from openai import APIError as Failed
    try:
        pass
    except (ValueError, openai.RateLimitError):
        pass
    except Failed:
        pass
"""
RETRYING = {
    "__init__.py": "",
    "asking/__init__.py": "",
    "asking/loop.py": "import time\nRetries = RETRYABLE = None\ndef again():\n    time.sleep(1)\n",
    "patient.py": "from time import sleep as nap\ndef wait():\n    nap(1)\n",
    "polite.py": "import time as clock\nclock.sleep(0)\n",
    "own_loop.py": "from .asking.loop import RETRYABLE, Retries\n",
    "catching.py": CATCHING,
    "fine.py": "import time\nfrom .asking import loop\nstarted = time.monotonic()\ntry:\n    pass\nexcept OSError:\n"
    "    pass\n",
}


def test_the_layout_check_finds_what_retries_outside_the_model_calling_package(tmp_path: Path):
    source = tmp_path / "src"
    for name, text in RETRYING.items():
        (source / "pkg" / name).parent.mkdir(parents=True, exist_ok=True)
        (source / "pkg" / name).write_text(text)
    outside = "outside asking/, whose loop alone asks a model's call again"
    assert sorted(check(source, "pkg").problems) == [
        f"src/pkg/catching.py:6: catches an error of openai {outside}",
        f"src/pkg/catching.py:8: catches an error of openai {outside}",
        f"src/pkg/own_loop.py:1: imports RETRYABLE {outside}",
        f"src/pkg/own_loop.py:1: imports Retries {outside}",
        f"src/pkg/patient.py:3: sleeps {outside}",
        f"src/pkg/polite.py:2: sleeps {outside}",
    ]
