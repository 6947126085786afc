"""C++ exceptions in the host plumbing: inside the guard they are logged and give the default result like any
ordinary error; at an entry from the interpreter they become Python errors. Built from the sources into a probe
module, since nothing the extractors read can make the standard library throw these on purpose."""

from __future__ import annotations

import importlib.util
import logging
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

# The probe module is compiled first.
pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parents[2]
COMPILER = shutil.which("c++") or shutil.which("g++")


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    if COMPILER is None:
        pytest.skip("no C++ compiler to build the probe with")
    out = tmp_path_factory.mktemp("probe") / f"errors_probe{sysconfig.get_config_var('EXT_SUFFIX')}"
    sources = [
        ROOT / "tests/extractor/native/errors_probe.cpp",
        ROOT / "src/pyhost/errors.cpp",
        ROOT / "src/pyhost/guard.cpp",
    ]
    subprocess.run(
        [
            COMPILER,
            "-std=c++20",
            "-shared",
            "-fPIC",
            "-O1",
            f"-I{ROOT / 'src'}",
            f"-I{sysconfig.get_paths()['include']}",
            *map(str, sources),
            "-o",
            str(out),
        ],
        check=True,
    )
    spec = importlib.util.spec_from_file_location("errors_probe", out)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    module.logger = logging.getLogger("errors_probe")
    return module


@pytest.mark.parametrize(
    "kind, error",
    [
        ("length_error", MemoryError),
        ("bad_array_new_length", MemoryError),
        ("runtime_error", SystemError),
        ("int", SystemError),
    ],
)
def test_cpp_exceptions(probe, caplog, kind, error):
    caplog.set_level(logging.ERROR)
    assert probe.guarded(kind) == "default"
    [record] = caplog.records
    assert record.msg == "Failed in the probe: %s" and isinstance(record.args[0], error)
    assert record.exc_info[1] is record.args[0]
    with pytest.raises(error):
        probe.unguarded(kind)
