"""Coverage-guided fuzzing of the extractors on hostile host data: `python fuzz/fuzz.py TARGET [libFuzzer flags]`.

Targets: force-paths (`_find_paths`), force-format (`_format_graph_data`), force-predict, causara and linqor
(`predict` on arbitrary service answers). A crash, a sanitizer report, a hang or an exception of a kind the
extractors may not raise is a failure; the errors that bad data calls for are not.
"""

from __future__ import annotations

import logging
import math
import os
import re
import shlex
import sys
import warnings
from collections.abc import Callable
from typing import Any, cast

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE] + [os.path.join(os.path.dirname(HERE), folder) for folder in ("bench", "examples")]

import langextract
import plain_force
from hostile import HostileError, Maker, fill_free_lists
from offline import OFFLINE_CONFIG
from plain_force import PlainForceExtractor

from kestor.tavi.extractor import causara, force, linqor
from kestor.tavi.extractor.causara import CausaraExtractor
from kestor.tavi.extractor.force import ForceExtractor
from kestor.tavi.extractor.linqor import LinqorExtractor

# What bad data may make an operation raise. RuntimeError only for a container changed while it was walked;
# StopIteration where a host container says it has items and yields none, as `next(iter(...))` would.
EXPECTED = (
    TypeError,
    AttributeError,
    ValueError,
    KeyError,
    OverflowError,
    IndexError,
    RecursionError,
    StopIteration,
    HostileError,
)
CHANGED_DURING_ITERATION = re.compile(r"changed (size )?during iteration")


def expected(error: BaseException) -> bool:
    if isinstance(error, EXPECTED):
        return True
    return type(error) is RuntimeError and bool(CHANGED_DURING_ITERATION.search(str(error)))


class Quiet:
    def info(self, *args: Any, **kwargs: Any) -> None:
        pass

    debug = exception = warning = error = info


class Service:
    """`lx.extract`, answering from the current input's script at once."""

    def __init__(self) -> None:
        self.script: list[Any] = []
        self.texts: list[Any] = []

    def __call__(self, **kwargs: Any) -> Any:
        self.texts.append(kwargs.get("text_or_documents"))
        answer = self.script.pop(0) if self.script else None
        if isinstance(answer, BaseException):
            raise answer
        return answer


SERVICE = Service()
langextract.extract = SERVICE
for module in (force, causara, linqor, plain_force):
    setattr(module, "logger", Quiet())  # noqa: B010 - the stubs do not declare the loggers
logging.disable(logging.CRITICAL)
warnings.simplefilter("ignore")
sys.unraisablehook = lambda unraisable: None

FORCE_OPS = (
    "_find_paths",
    "_dfs",
    "_edge_to_path_edge",
    "_build_graph",
    "_build_node_map",
    "_build_adjacency",
    "_get_start_nodes",
    "_get_end_nodes",
    "_format_graph_data",
    "_append_start_end",
    "_append_paths",
    "_format_edge_line",
    "_call_llm",
    "_extract_force",
    "_get_first_force",
    "_review_with_article",
)

TEMPLATES = {
    ForceExtractor: ForceExtractor(OFFLINE_CONFIG, "p", [], "r", []),
    CausaraExtractor: CausaraExtractor(OFFLINE_CONFIG, "p", []),
    LinqorExtractor: LinqorExtractor(OFFLINE_CONFIG, "p", []),
}
PLAIN = PlainForceExtractor(OFFLINE_CONFIG, "p", [], "r", [])


class Relaying(ForceExtractor):
    """Every step of the walk and of the rendering goes through the instance, so through host objects."""

    def _dfs(self, *arguments: Any) -> None:
        super()._dfs(*arguments)

    def _format_edge_line(self, edge: Any) -> str:
        return super()._format_edge_line(edge)


RELAYING = Relaying.__new__(Relaying)
RELAYING.__dict__.update(TEMPLATES[ForceExtractor].__dict__)


def instance(maker: Maker, base: type, operations: tuple[str, ...]) -> tuple[Any, bool]:
    """An extractor of `base`, or of a subclass or with instance attributes that override some operations by
    relaying to the module's own or by answering with fuzzed values. Whether it is the plain class."""
    namespace: dict[str, Any] = {}
    own: dict[str, Any] = {}
    if maker.chance(3):
        for name in operations:
            mode = maker.below(12)
            original = getattr(base, name)
            if mode in (0, 1):
                namespace[name] = relay(original, isinstance(base.__dict__[name], staticmethod))
            elif mode == 2:
                namespace[name] = answering(maker.value(2), isinstance(base.__dict__[name], staticmethod))
            elif mode == 3:
                own[name] = original if isinstance(base.__dict__[name], staticmethod) else None
        if maker.chance(8):
            # An attribute hook of its own: the module then asks the instance for every operation.
            namespace["__getattr__"] = missing
    cls = type("Fuzzed" + base.__name__, (base,), namespace) if namespace else base
    extractor: Any = cast(Any, base).__new__(cls)
    extractor.__dict__.update(TEMPLATES[base].__dict__)
    for name, function in own.items():
        method = getattr(extractor, name)
        extractor.__dict__[name] = function if function is not None else (lambda *a, _m=method, **k: _m(*a, **k))
    return extractor, not namespace and not own


def missing(self: Any, name: str) -> Any:
    raise AttributeError(name)


def relay(original: Callable[..., Any], static: bool) -> Any:
    if static:
        return staticmethod(lambda *args, **kwargs: original(*args, **kwargs))
    return lambda self, *args, **kwargs: original(self, *args, **kwargs)


def answering(value: Any, static: bool) -> Any:
    if static:
        return staticmethod(lambda *args, **kwargs: value)
    return lambda self, *args, **kwargs: value


def outcome(operation: Callable[..., Any], *arguments: Any) -> tuple[str, Any]:
    try:
        return "ok", operation(*arguments)
    except Exception as error:
        return "error", type(error)


def same(left: Any, right: Any) -> bool:
    # NaN names and strengths are unequal to themselves; their text still compares.
    return left == right or repr(left) == repr(right)


def agree(label: str, results: list[tuple[str, Any]]) -> None:
    first = results[0]
    for other in results[1:]:
        if first[0] != other[0] or not same(first[1], other[1]):
            raise AssertionError(f"{label}: the roads disagree: {first!r} against {other!r}")


def run(maker: Maker, call: Callable[[], Any]) -> tuple[str, Any]:
    """Runs `call` with the hostile objects armed; an expected error is an outcome, anything else a failure."""
    fill_free_lists()
    maker.armed = True
    try:
        return "ok", call()
    except BaseException as error:
        if expected(error):
            return "error", type(error)
        raise
    finally:
        maker.armed = False


def is_path_list(paths: Any) -> bool:
    return type(paths) is list and all(
        type(path) is list
        and all(type(edge) is dict and list(edge) == ["source", "target", "strength"] for edge in path)
        for path in paths
    )


def inner_call(maker: Maker, extractor: Any, graph: dict[Any, Any]) -> Callable[[], Any] | None:
    """Now and then one of the steps under the operation, called directly with host data of any shape."""
    if not maker.chance(4):
        return None
    value = maker.value
    choice = maker.below(7)
    if choice == 0:
        start = maker.node_id()
        visited: set[Any] = set()
        if not maker.chance(4) and getattr(type(start), "__hash__", None) is not None:
            visited.add(start)
        maker.register(visited)
        arguments: tuple[Any, ...] = (
            start,
            maker.sequence(maker.path_edge),
            visited,
            maker.mapping([([maker.node_id()], lambda: maker.sequence(maker.edge)) for _ in range(4)]),
            maker.sequence(maker.node_id),
            maker.mapping([([maker.node_id()], maker.name)]),
            maker.register([]),
        )
        if maker.chance(3):
            arguments = tuple(value(2) if maker.chance(4) else argument for argument in arguments)
        return lambda: extractor._dfs(*arguments)
    if choice == 1:
        edge, node_map, next_node = maker.edge(), maker.mapping([([maker.node_id()], maker.name)]), maker.node_id()
        return lambda: extractor._edge_to_path_edge(edge, node_map, next_node)
    if choice == 2:
        return lambda: extractor._build_graph(graph)
    if choice == 3:
        lines: list[Any] = maker.register([])
        starts, ends = maker.sequence(maker.node_id), maker.sequence(maker.node_id)
        node_map = maker.mapping([([maker.node_id()], maker.name) for _ in range(3)])
        return lambda: extractor._append_start_end(lines, starts, ends, node_map)
    if choice == 4:
        lines, paths = maker.register([]), maker.paths()
        return lambda: extractor._append_paths(lines, paths)
    if choice == 5:
        edge = maker.path_edge()
        return lambda: extractor._format_edge_line(edge)
    outgoing, incoming = value(2), value(2)
    return lambda: (extractor._get_start_nodes(outgoing, incoming), extractor._get_end_nodes(outgoing, incoming))


def walks_its_own_way(extractor: Any) -> bool:
    """Whether `_find_paths` runs the module's own walk, which reads each part of the graph a bounded number of
    times; an overridden `_dfs` is called at every step, as Python code would."""
    cls = type(extractor)
    return "_dfs" not in vars(extractor) and "__getattr__" not in vars(cls) and cls._dfs is ForceExtractor._dfs


def force_paths(data: bytes) -> None:
    maker = Maker(data)
    chained = maker.chance(8)
    graph = maker.long_chain() if chained else maker.graph()
    size = len(graph["nodes"]) + len(graph["edges"]) if chained else 0
    extractor, plain = instance(maker, ForceExtractor, FORCE_OPS[:8])
    inner = inner_call(maker, extractor, graph) if not chained else None
    maker.finish()
    if inner is not None:
        run(maker, inner)
        return
    result = run(maker, lambda: extractor._find_paths(graph))
    if chained and walks_its_own_way(extractor):
        steps = sum(map(len, result[1])) if result[0] == "ok" and is_path_list(result[1]) else 0
        if maker.touches > 8 * (size + steps):
            raise AssertionError(f"_find_paths made {maker.touches} host calls on a graph of {size} parts")
    if plain and result[0] == "ok" and not is_path_list(result[1]):
        raise AssertionError(f"_find_paths gave {result[1]!r}")
    if plain and not maker.hostile:
        agree("_find_paths", [result, outcome(PLAIN._find_paths, graph), outcome(RELAYING._find_paths, graph)])


def force_format(data: bytes) -> None:
    maker = Maker(data)
    graph = maker.graph()
    paths: Any
    if maker.chance(2):
        paths = maker.paths()
    else:
        found = outcome(PLAIN._find_paths, graph) if not maker.hostile else ("error", None)
        paths = found[1] if found[0] == "ok" else maker.paths()
    operations = FORCE_OPS[3:8] + FORCE_OPS[8:12]
    extractor, plain = instance(maker, ForceExtractor, operations)
    maker.finish()
    result = run(maker, lambda: extractor._format_graph_data(graph, paths))
    if plain and result[0] == "ok" and not (type(result[1]) is str and result[1].startswith("图谱数据:")):
        raise AssertionError(f"_format_graph_data gave {result[1]!r}")
    if plain and not maker.hostile:
        agree(
            "_format_graph_data",
            [
                result,
                outcome(PLAIN._format_graph_data, graph, paths),
                outcome(RELAYING._format_graph_data, graph, paths),
            ],
        )


def force_predict(data: bytes) -> None:
    maker = Maker(data)
    graph = maker.graph()
    article = maker.pick((None, "", "文章", " ", "a" * 50)) if not maker.chance(8) else maker.value(1)
    answers = [maker.answer(), maker.answer()]
    extractor, plain = instance(maker, ForceExtractor, FORCE_OPS)
    maker.finish()
    SERVICE.script, SERVICE.texts = list(answers), []
    result = run(
        maker,
        lambda: (
            extractor.predict(graph, article)
            if maker.chance(2)
            else extractor.predict(graph_data=graph, article_text=article)
        ),
    )
    if plain and result[0] == "ok" and not isinstance(result[1], str):
        raise AssertionError(f"predict gave {result[1]!r}")
    if plain and not maker.hostile:
        texts = SERVICE.texts
        SERVICE.script, SERVICE.texts = list(answers), []
        agree("predict", [result, outcome(PLAIN.predict, graph, article)])
        if result[0] == "ok" and texts != SERVICE.texts:
            raise AssertionError(f"predict sent {texts!r}, the reference {SERVICE.texts!r}")


RELATION_KEYS = ["source", "source_meta", "rel", "target", "target_meta", "strength", "strength_reason"]


def patched_statics(maker: Maker, cls: type, names: tuple[str, ...]) -> dict[str, Any]:
    """Static operations of the class itself that the module reads through the class, replaced for one call."""
    saved: dict[str, Any] = {}
    if maker.chance(6):
        for name in names:
            if maker.chance(2):
                saved[name] = cls.__dict__[name]
                original = getattr(cls, name)
                replacement = relay(original, True) if maker.chance(2) else answering(maker.value(2), True)
                setattr(cls, name, replacement)
    return saved


def restore(cls: type, saved: dict[str, Any]) -> None:
    for name, value in saved.items():
        setattr(cls, name, value)


def causara_predict(data: bytes) -> None:
    maker = Maker(data)
    text = maker.text(20) if not maker.chance(10) else maker.value(1)
    SERVICE.script = [maker.answer()]
    extractor, plain = instance(maker, CausaraExtractor, ("_to_relation",))
    saved = patched_statics(maker, CausaraExtractor, ("_to_strength",))
    maker.finish()
    try:
        result = run(maker, lambda: extractor.predict(text))
    finally:
        restore(CausaraExtractor, saved)
    if not (plain and not saved and result[0] == "ok"):
        return
    relations = result[1]
    assert type(relations) is list, relations
    for relation in relations:
        assert type(relation) is dict and list(relation) == RELATION_KEYS, relation
        strength = relation["strength"]
        assert type(strength) is float and 0.0 <= strength <= 1.0 and not math.isnan(strength), relation
        assert isinstance(relation["strength_reason"], str), relation


def linqor_predict(data: bytes) -> None:
    maker = Maker(data)
    text = maker.text(20) if not maker.chance(6) else maker.pick(("x" * 999, "x" * 1000, "x" * 1001, "名" * 1500))
    SERVICE.script = [maker.answer()]
    extractor, plain = instance(maker, LinqorExtractor, ("_to_result", "_default_result"))
    saved = patched_statics(maker, LinqorExtractor, ("_to_bool",))
    maker.finish()
    SERVICE.texts = []
    try:
        result = run(maker, lambda: extractor.predict(text))
    finally:
        restore(LinqorExtractor, saved)
    if SERVICE.texts and type(text) is str and SERVICE.texts[0] != text[:1000]:
        raise AssertionError(f"linqor sent {SERVICE.texts[0]!r} for {text!r}")
    if not (plain and not saved and result[0] == "ok"):
        return
    verdict = result[1]
    assert type(verdict) is dict and list(verdict) == ["related", "reason"], verdict
    assert type(verdict["related"]) is bool and isinstance(verdict["reason"], str), verdict


TARGETS = {
    "force-paths": force_paths,
    "force-format": force_format,
    "force-predict": force_predict,
    "causara": causara_predict,
    "linqor": linqor_predict,
}


def main() -> None:
    arguments = sys.argv[1:]
    # libFuzzer starts the program named first again for a merge, through the shell and with its own flags
    # only: the interpreter goes into that name and the target into the environment.
    if arguments and arguments[0] in TARGETS:
        os.environ["FUZZ_TARGET"] = arguments.pop(0)
    name = os.environ.get("FUZZ_TARGET")
    if name not in TARGETS:
        sys.exit(f"usage: {sys.argv[0]} {{{'|'.join(TARGETS)}}} [libFuzzer flags]")
    sys.setrecursionlimit(500)
    program = f"{shlex.quote(sys.executable)} {shlex.quote(os.path.abspath(__file__))}"
    atheris.Setup([program, *arguments], TARGETS[name])
    atheris.Fuzz()


if __name__ == "__main__":
    main()
