"""index.html's drawing library, prepared when the package is built: sigma.js and graphology as one script.

CMake runs `python tools/page_library.py DIRECTORY` with the build environment's interpreter, where the pinned
`ipysigma` is a build requirement (users never install it), and installs what it writes into the package under
kestor/tavi/corpus/graph/web/vendor/:
- SCRIPT: the modules that sigma and graphology need, and no others, as one webpack chunk of the form ipysigma's
  build has; the page's loader (web/modules.js) runs them;
- LICENCE: the modules listed, and ipysigma's licence; the page command writes it beside each page.

ipysigma's JupyterLab build keeps each library module under its own name in webpack chunk files, of which the page
needs parts of four. Taking the modules rather than the chunks leaves out the ones nothing requires and the
references to source maps that are not shipped beside the page. The build's other licence file
(nbextension/index.js.LICENSE.txt) covers choices.js and chroma.js, neither of which the page carries.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import re
import sys
from collections.abc import Callable, Iterable
from pathlib import Path

DISTRIBUTION = "ipysigma"
SCRIPT = "sigma-graphology.js"
LICENCE = "sigma-graphology.LICENSE.txt"
ENTRY_MODULES = ("./node_modules/sigma/index.js", "./node_modules/graphology/dist/graphology.umd.min.js")
CHUNK_NAME = "kestor-page-library"

_HEADING = re.compile(r'^/\*\*\*/ "([^"]+)":$', re.MULTILINE)
_REQUIRE = re.compile(r'\b__webpack_require__\((?:/\*.*?\*/ )?"(\./[^"]+)"\)')
# web/modules.js gives a module `require` alone: none of webpack's runtime helpers (`__webpack_require__.d` ...).
_RUNTIME_HELPER = re.compile(r"\b__webpack_require__\.\w")
_CHUNK_END = re.compile(r"\n\}\]\);\s*(?://# sourceMappingURL=\S*\s*)?$")
_ENTRY_END = "/***/ })"


class LibraryError(Exception):
    """The build's files are not what the page can be made from."""


def chunk_modules(text: str, name: str) -> dict[str, str]:
    """The modules that the chunk file's text defines: id to its entry, from its heading to its closing line."""
    headings = list(_HEADING.finditer(text))
    end = _CHUNK_END.search(text, headings[-1].end()) if headings else None
    if end is None or not text.startswith("(self["):
        # A chunk that is strict code as a whole ("use strict" first) is refused too: its modules, moved into a
        # file that is not, would change meaning.
        raise LibraryError(f"{name} is not a webpack chunk of the form the page's loader runs")
    modules: dict[str, str] = {}
    for number, heading in enumerate(headings):
        last = number + 1 == len(headings)
        entry = text[heading.start() : end.start() if last else headings[number + 1].start()].rstrip()
        if not entry.endswith(_ENTRY_END if last else _ENTRY_END + ","):
            raise LibraryError(f"{name}: the module {heading.group(1)} does not end as a webpack module does")
        modules[heading.group(1)] = entry.removesuffix(",")
    return modules


def needed_modules(entry: Callable[[str], str | None], entries: Iterable[str] = ENTRY_MODULES) -> list[str]:
    """The entry modules and all they require, sorted; `entry` gives a module's entry, None where none defines it."""
    needed: set[str] = set()
    waiting = list(entries)
    while waiting:
        module = waiting.pop()
        if module in needed:
            continue
        text = entry(module)
        if text is None:
            raise LibraryError(f"the build lacks the module {module}, which sigma.js or graphology needs")
        if _RUNTIME_HELPER.search(text):
            raise LibraryError(f"the module {module} needs webpack's runtime, which the page's loader does not give")
        needed.add(module)
        waiting.extend(_REQUIRE.findall(text))
    return sorted(needed)


def library_script(entries: Iterable[str], version: str) -> str:
    """One chunk of the modules' entries, under the name web/modules.js reads."""
    joined = ",\n\n".join(entries)
    return (
        f"/* sigma.js and graphology with the modules they need, from the build of {DISTRIBUTION} {version} (PyPI), "
        f"under the MIT License: see index.LICENSE.txt beside this page. */\n"
        f'(self["webpackChunkipysigma"] = self["webpackChunkipysigma"] || []).push([["{CHUNK_NAME}"],{{\n\n'
        f"{joined}\n\n}}]);\n"
    )


def licence_text(modules: Iterable[str], version: str, licence: str) -> str:
    listed = "\n".join(f"  {module.removeprefix('./node_modules/')}" for module in modules)
    return (
        f"index.html carries the JavaScript graph libraries sigma.js and graphology, with the modules they need, as "
        f"the build of the Python package {DISTRIBUTION} {version} (PyPI) holds them; all are under the MIT "
        f"License. The modules, by their place in that build:\n{listed}\n\n"
        f"The licence of {DISTRIBUTION}, whose build they are taken from:\n\n{licence.strip()}\n"
    )


def prepare(static: Path, version: str, licence: str) -> tuple[str, str]:
    """The library script and its licence text, from the build's chunk files in `static`."""
    texts = {path.name: path.read_text(encoding="utf-8") for path in sorted(static.glob("*.js"))}
    defined_in: dict[str, str] = {}
    for name, text in texts.items():
        for module in _HEADING.findall(text):
            defined_in.setdefault(module, name)
    # Only the chunks that hold a needed module are taken apart: the others need not be of the form the page runs.
    chunks: dict[str, dict[str, str]] = {}

    def entry(module: str) -> str | None:
        name = defined_in.get(module)
        if name is None:
            return None
        if name not in chunks:
            chunks[name] = chunk_modules(texts[name], name)
        return chunks[name][module]

    modules = needed_modules(entry)
    script = library_script((chunks[defined_in[module]][module] for module in modules), version)
    return script, licence_text(modules, version, licence)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("directory", type=Path, help="where SCRIPT and LICENCE are written")
    args = parser.parse_args(argv)
    try:
        distribution = importlib.metadata.distribution(DISTRIBUTION)
    except importlib.metadata.PackageNotFoundError:
        print(
            f"{DISTRIBUTION} is not installed where the build runs: it is a build requirement (pyproject.toml), which "
            "an isolated build installs; a build without isolation needs it installed first",
            file=sys.stderr,
        )
        return 1
    static = Path(str(distribution.locate_file(f"{DISTRIBUTION}/labextension/static")))
    licence = distribution.read_text("LICENSE.txt")
    try:
        if not licence:
            raise LibraryError(f"{DISTRIBUTION} {distribution.version} carries no LICENSE.txt")
        script, licence_file = prepare(static, distribution.version, licence)
    except (LibraryError, OSError) as error:
        print(f"index.html's library from {DISTRIBUTION} {distribution.version} in {static}: {error}", file=sys.stderr)
        return 1
    args.directory.mkdir(parents=True, exist_ok=True)
    (args.directory / SCRIPT).write_text(script, encoding="utf-8")
    (args.directory / LICENCE).write_text(licence_file, encoding="utf-8")
    print(f"{SCRIPT}: {len(script.encode()):,} bytes, from {DISTRIBUTION} {distribution.version}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
