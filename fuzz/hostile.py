"""Host data made from the fuzzer's bytes: plain values, graph data, service answers and hostile objects.

Hostile objects run a short script of actions when the extractors touch them (hash, compare, convert, iterate,
read an attribute, die): raise, recurse without end, or change a container that the extractor may be walking at
that moment. They act only while the maker is armed, so building the data and tearing it down run no script.

The maker keeps strong references only to the containers that scripts may change; everything else lives only
inside the data, so a script that takes a node out of its list really frees it.
"""

from __future__ import annotations

import contextlib
import math
from collections.abc import Callable, Iterator, Sequence
from types import SimpleNamespace
from typing import Any, TypeVar, cast

import atheris
from graphs import DriftingId

# Keys the extractors read: hostile keys collide with them, so looking one up runs host code.
KEYS = (
    "nodes",
    "edges",
    "id",
    "name",
    "src_node",
    "dest_node",
    "meta",
    "strength",
    "source",
    "target",
    "source_meta",
    "target_meta",
    "rel",
    "strength_reason",
    "related",
    "reason",
    "final_force",
    "extractions",
    "attributes",
)
TEXTS = (
    "中等",
    "特别剧烈",
    "",
    " ",
    "true",
    " Yes ",
    "y",
    "1",
    "0",
    "1.0",
    "nan",
    "-inf",
    "1e400",
    "1_000",
    "0.5",
    "%50",
    "𝔸名",
    "\x00",
    "\ud800",
    "a" * 300,
)
FLOATS = (
    math.nan,
    -math.nan,
    math.inf,
    -math.inf,
    -0.0,
    0.0,
    1.0,
    2.0,
    0.5,
    1e-5,
    1e308,
    2.0**62,
    2.0**63,
    -(2.0**63),
    2.0**64,
    5e-324,
)

# (action, which target, how much), one per firing.
Script = list[tuple[int, int, int]]
T = TypeVar("T")

MAX_DEPTH = 4
MAX_ITEMS = 6
MAX_FIRINGS = 64


class HostileError(Exception):
    """What a hostile object raises on purpose."""


class Maker:
    def __init__(self, data: bytes) -> None:
        self.fdp = atheris.FuzzedDataProvider(data)
        self.targets: list[Any] = []
        self.spares: list[Any] = []
        self.armed = False
        self.hostile = False
        self.firings = 0
        self.touches = 0  # calls of hostile objects' methods while armed

    # -- choices ---------------------------------------------------------------------------------------------

    def below(self, n: int) -> int:
        chosen: int = self.fdp.ConsumeIntInRange(0, n - 1)
        return chosen

    def chance(self, n: int) -> bool:
        """True about once in n."""
        return self.below(n) == 0

    def pick(self, items: Sequence[T]) -> T:
        return items[self.below(len(items))]

    def text(self, limit: int = 6) -> str:
        if self.chance(3):
            return self.pick(TEXTS + KEYS)
        text: str = self.fdp.ConsumeUnicode(self.below(limit + 1))
        return text

    def integer(self) -> int:
        kind = self.below(8)
        if kind < 5:
            return self.below(9)
        consumed: int
        if kind == 5:
            consumed = self.fdp.ConsumeInt(self.pick((1, 4, 8, 9, 16)))
            return consumed
        if kind == 6:
            return self.pick((2**63 - 1, 2**63, -(2**63), 2**64, 2**1024, 10**4300, 10**4301))
        # Past what str() of an int writes (ValueError) in a few steps, or long enough to be slow.
        consumed = self.fdp.ConsumeInt(self.pick((64, 900, 1800)))
        return consumed

    def float(self) -> float:
        if self.chance(2):
            return self.pick(FLOATS)
        consumed: float = self.fdp.ConsumeRegularFloat()
        return consumed

    # -- containers that scripts may change ------------------------------------------------------------------

    def register(self, container: T) -> T:
        if self.chance(2):
            self.targets.append(container)
        return container

    def script(self) -> Script:
        return [(self.below(10), self.below(64), self.below(256)) for _ in range(1 + self.below(3))]

    def fire(self, actions: Script) -> None:
        if self.armed:
            self.touches += 1
        if not self.armed or not actions or self.firings >= MAX_FIRINGS:
            return
        self.firings += 1
        kind, which, amount = actions.pop(0)
        if kind == 0:
            raise HostileError(f"hostile action {which}")
        if kind == 1:
            _recurse()
        if not self.targets:
            return
        target = self.targets[which % len(self.targets)]
        spare = self.spares[amount % len(self.spares)] if self.spares else None
        if isinstance(target, list):
            change_list(target, kind, amount, spare)
        elif isinstance(target, dict):
            change_dict(target, kind, amount, spare)
        elif isinstance(target, set):
            change_set(target, kind, amount)

    # -- values ----------------------------------------------------------------------------------------------

    def value(self, depth: int = 0) -> Any:
        kind = self.below(18 if depth < MAX_DEPTH else 8)
        if kind == 0:
            return None
        if kind == 1:
            return self.chance(2)
        if kind == 2:
            return self.integer()
        if kind == 3:
            return self.float()
        if kind in (4, 5):
            return self.text()
        if kind == 6:
            return self.hostile_scalar()
        if kind == 7:
            return self.below(9)
        if kind == 8:
            return self.register([self.value(depth + 1) for _ in range(self.below(MAX_ITEMS))])
        if kind == 9:
            return tuple(self.value(depth + 1) for _ in range(self.below(MAX_ITEMS)))
        if kind in (10, 11):
            return self.mapping(
                [(self.key(self.pick(KEYS)), lambda: self.value(depth + 1)) for _ in range(self.below(MAX_ITEMS))]
            )
        if kind == 12:
            return self.hostile_object(lambda: self.value(depth + 1))
        if kind == 13:
            return self.sequence(lambda: self.value(depth + 1))
        if kind == 14:
            return self.pick(TEXTS)
        if kind == 15:
            return self.integer()
        if kind == 16:
            return self.hostile_scalar()
        return self.float()

    def hostile_scalar(self) -> Any:
        self.hostile = True
        kind = self.below(4)
        script = self.script()
        if kind == 0:
            return HStr(self.text(), self, script)
        if kind == 1:
            return HInt(self.integer() if self.chance(2) else self.below(9), self, script)
        if kind == 2:
            return HFloat(self.float(), self, script)
        return Hostile(
            self,
            script,
            hash_of=self.below(9),
            equal=self.pick((False, True, NotImplemented)),
            text=self.text(),
            number=self.below(9),
        )

    def hostile_object(self, inner: Callable[[], Any]) -> Any:
        """Something that is not plain data but answers `get`, iteration and attribute reads."""
        self.hostile = True
        script = self.script()
        items = [inner() for _ in range(self.below(4))]
        mapping = {self.pick(KEYS): inner() for _ in range(self.below(4))}
        return Hostile(
            self,
            script,
            hash_of=hash(self.pick(KEYS)),
            equal=self.pick((False, True, NotImplemented)),
            text=self.text(),
            number=self.below(9),
            items=items,
            mapping=mapping,
        )

    def key(self, name: str) -> list[Any]:
        """The keys to insert for `name`, in order: the name itself, a str subclass equal to it, a hostile key
        with its hash placed before it so that looking the name up compares with the hostile key first, or none."""
        kind = self.below(10)
        if kind < 6:
            return [name]
        self.hostile = True
        if kind == 6:
            return [HStr(name, self, self.script())]
        if kind in (7, 8):
            collider = Hostile(
                self, self.script(), hash_of=hash(name), equal=self.pick((False, False, True)), text=name, number=0
            )
            return [collider, name]
        return []

    def mapping(self, entries: list[tuple[list[Any], Callable[[], Any]]]) -> dict[Any, Any]:
        result: dict[Any, Any]
        if self.below(12) == 0:
            armed = HDict()
            self.hostile = True
            armed.setup(self, self.script())
            result = armed
        else:
            result = {}
        for keys, make in entries:
            for key in keys:
                with contextlib.suppress(TypeError):  # an unhashable key the builder chose
                    result[key] = make()
        return self.register(result)

    def sequence(self, make: Callable[[], Any], most: int = MAX_ITEMS) -> Any:
        items = [make() for _ in range(self.below(most + 1))]
        kind = self.below(12)
        if kind < 8:
            return self.register(items)
        if kind == 8:
            return tuple(items)
        self.hostile = True
        if kind == 9:
            result = HList(items)
            result.setup(self, self.script())
            return self.register(result)
        return Hostile(self, self.script(), hash_of=0, equal=False, text="", number=len(items), items=items)

    # -- graph data ------------------------------------------------------------------------------------------

    def node_id(self) -> Any:
        kind = self.below(16)
        if kind < 11:
            return self.below(8)
        if kind == 11:
            return self.pick((1.0, 2.0, True, False, -0.0, 2.5, math.nan, 2**70, -1, "a", None))
        if kind == 12:
            self.hostile = True
            return HInt(self.below(8), self, self.script())
        if kind == 13:
            self.hostile = True
            return HFloat(float(self.below(8)), self, self.script())
        if kind == 14:
            # No script: the roads must still agree on an id no dict or set finds again.
            return DriftingId(self.below(8))
        return self.value(MAX_DEPTH - 1)

    def name(self) -> Any:
        kind = self.below(6)
        if kind < 3:
            return self.text(4)
        if kind == 3:
            return self.pick((None, 0, 1.5, True, "", "𝔸名"))
        return self.value(MAX_DEPTH - 1)

    def strength(self) -> Any:
        kind = self.below(8)
        if kind < 2:
            return None
        if kind < 4:
            return self.pick((0.5, 0.8, 0.3, 1, 0))
        if kind == 4:
            return self.float()
        if kind == 5:
            return self.integer()
        return self.value(MAX_DEPTH - 1)

    def end(self) -> Any:
        if self.chance(12):
            return self.value(MAX_DEPTH - 1)
        return self.mapping([(self.key("id"), self.node_id)])

    def node(self) -> Any:
        if self.chance(16):
            return self.value(MAX_DEPTH - 1)
        entries = [(self.key("id"), self.node_id), (self.key("name"), self.name)]
        if self.chance(4):
            entries.reverse()
        return self.mapping(entries)

    def edge(self) -> Any:
        if self.chance(16):
            return self.value(MAX_DEPTH - 1)
        entries = [(self.key("src_node"), self.end), (self.key("dest_node"), self.end)]
        if not self.chance(3):
            entries.append(
                (
                    self.key("meta"),
                    lambda: (
                        self.mapping([(self.key("strength"), self.strength)])
                        if not self.chance(10)
                        else self.value(MAX_DEPTH - 1)
                    ),
                )
            )
        return self.mapping(entries)

    def graph(self) -> dict[Any, Any]:
        entries: list[tuple[list[Any], Callable[[], Any]]] = []
        if not self.chance(10):
            entries.append(
                (self.key("nodes"), lambda: self.sequence(self.node, 10) if not self.chance(16) else self.value(1))
            )
        if not self.chance(10):
            entries.append(
                (self.key("edges"), lambda: self.sequence(self.edge, 20) if not self.chance(16) else self.value(1))
            )
        if self.chance(2):
            entries.reverse()
        data: dict[Any, Any] = {}
        for keys, make in entries:
            for key in keys:
                data[key] = make()
        self.targets.append(data)
        return data

    def long_chain(self) -> dict[str, Any]:
        """A chain of up to 2,000 events with a few ends whose ids hash as an int, equal nothing and run a script
        when compared: a script that cuts the edges short while the graph is built leaves a start node at every
        cut, each leading into the same long chain (which a walk must not read once per start node). The scripts
        only take items away: a list reversed or grown while it is read is read again in part, and a chain read
        twice has as many paths as it has edges read twice, doubled each time."""
        self.hostile = True
        length = 2 + self.below(2000)
        nodes = [{"id": i, "name": f"N{i}"} for i in range(length)]
        edges = [{"src_node": {"id": i}, "dest_node": {"id": i + 1}} for i in range(length - 1)]
        for _ in range(1 + self.below(3)):
            end = edges[self.below(length - 1)]["src_node" if self.chance(2) else "dest_node"]
            cuts = [(self.pick((2, 3, 7)), self.below(64), self.below(256)) for _ in range(1 + self.below(3))]
            end["id"] = Unequal(self.below(length), self, cuts)
        data = {"nodes": nodes, "edges": edges}
        self.targets += [edges, data]
        return data

    def path_edge(self) -> Any:
        if self.chance(16):
            return self.value(MAX_DEPTH - 1)
        entries = [
            (self.key("source"), self.name),
            (self.key("target"), self.name),
            (self.key("strength"), self.strength),
        ]
        return self.mapping(entries)

    def paths(self) -> list[Any]:
        """Paths whose edges often recur, as paths with a common prefix share theirs."""
        pool = [self.path_edge() for _ in range(1 + self.below(6))]
        paths = [self.sequence(lambda: self.pick(pool), 8) for _ in range(self.below(8))]
        return self.register(paths)

    # -- service answers -------------------------------------------------------------------------------------

    def attributes(self) -> Any:
        kind = self.below(10)
        if kind < 7:
            return self.mapping([(self.key(self.pick(KEYS[5:])), lambda: self.value(2)) for _ in range(self.below(8))])
        if kind == 7:
            return None
        return self.value(2)

    def extraction(self) -> Any:
        kind = self.below(10)
        if kind < 6:
            return SimpleNamespace(attributes=self.attributes())
        if kind == 6:
            return SimpleNamespace()
        if kind == 7:
            return self.hostile_object(self.attributes)
        return self.value(2)

    def answer(self) -> Any:
        """What the patched `lx.extract` gives: an answer, or an exception to raise."""
        kind = self.below(12)
        if kind == 0:
            return HostileError("service failed")
        if kind == 1:
            return self.pick((ValueError("bad answer"), KeyError("x"), RuntimeError("model down")))
        if kind == 2:
            return SimpleNamespace()
        if kind == 3:
            return self.value(1)
        if kind == 4:
            return self.hostile_object(lambda: self.sequence(self.extraction))
        extractions = self.sequence(self.extraction) if not self.chance(8) else self.value(1)
        return SimpleNamespace(extractions=extractions)

    def finish(self) -> None:
        """Spare values that scripts put into containers, made last so that the data itself does not depend on
        how many there are."""
        self.spares = [self.node(), self.edge(), self.value(2)]


def _recurse() -> None:
    _recurse()


def change_list(target: list[Any], kind: int, amount: int, spare: Any) -> None:
    size = list.__len__(target)
    if kind == 2:
        list.clear(target)
    elif kind == 3 and size:
        list.pop(target, amount % size)
    elif kind == 4:
        list.append(target, spare)
    elif kind == 5 and size:
        list.__setitem__(target, amount % size, spare)
    elif kind == 6:
        list.extend(target, [spare] * (1 + amount % 40))
    elif kind == 7 and size:
        list.__delitem__(target, slice(amount % size, None))
    elif kind == 8:
        list.insert(target, 0, spare)
    elif kind == 9:
        list.reverse(target)


def change_dict(target: dict[Any, Any], kind: int, amount: int, spare: Any) -> None:
    keys = list(dict.keys(target))
    if kind == 2:
        dict.clear(target)
    elif kind == 3 and keys:
        dict.pop(target, keys[amount % len(keys)], None)
    elif kind == 4:
        dict.__setitem__(target, f"spare{amount}", spare)
    elif kind == 5 and keys:
        dict.__setitem__(target, keys[amount % len(keys)], spare)
    elif kind == 6:
        # Enough new keys to make the dict grow its table.
        for i in range(1 + amount % 40):
            dict.__setitem__(target, 1000 + i, spare)
    elif kind == 7 and keys:
        for key in keys[amount % len(keys) :]:
            dict.pop(target, key, None)
    elif kind == 8 and keys:
        # Same size, other keys: a walk that only counts entries sees no change.
        dict.pop(target, keys[0], None)
        dict.__setitem__(target, f"other{amount}", spare)
    elif kind == 9:
        dict.update(target, dict.fromkeys(KEYS[: 1 + amount % 8], spare))


def change_set(target: set[Any], kind: int, amount: int) -> None:
    if kind in (2, 7):
        target.clear()
    elif kind in (3, 8) and target:
        target.pop()
    else:
        target.update(range(amount % 9))


class Hostile:
    """An object that answers hashing, comparison, conversion, `get`, iteration and attribute reads, running its
    script at each."""

    def __init__(
        self,
        maker: Maker,
        script: Script,
        *,
        hash_of: int,
        equal: Any,
        text: str,
        number: int,
        items: list[Any] | None = None,
        mapping: dict[Any, Any] | None = None,
    ) -> None:
        self._maker = maker
        self._script = script
        self._hash = hash_of
        self._equal = equal
        self._text = text
        self._number = number
        self._items = items if items is not None else []
        self._mapping = mapping if mapping is not None else {}

    def _fire(self) -> None:
        self._maker.fire(self._script)

    def __hash__(self) -> int:
        self._fire()
        return self._hash

    def __eq__(self, other: Any) -> Any:
        self._fire()
        return self._equal

    def __ne__(self, other: Any) -> Any:
        self._fire()
        return self._equal if self._equal is NotImplemented else not self._equal

    def __str__(self) -> str:
        self._fire()
        return self._text

    __repr__ = __str__

    def __bool__(self) -> bool:
        self._fire()
        return bool(self._number % 2)

    def __len__(self) -> int:
        self._fire()
        return len(self._items)

    def __index__(self) -> int:
        self._fire()
        return self._number

    __int__ = __index__

    def __float__(self) -> float:
        self._fire()
        return float(self._number)

    def __iter__(self) -> Iterator[Any]:
        for item in self._items:
            self._fire()
            yield item

    def __getitem__(self, index: Any) -> Any:
        self._fire()
        return self._items[index]

    def get(self, key: Any, default: Any = None) -> Any:
        self._fire()
        return self._mapping.get(key, default)

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_"):
            raise AttributeError(name)
        self._fire()
        if name in ("extractions", "attributes"):
            return self._items if name == "extractions" else self._mapping
        raise AttributeError(name)

    def __del__(self) -> None:
        self._fire()


def firing_subclass(base: type, methods: tuple[str, ...]) -> type:
    """A subclass of `base`, made as `(value, maker, script)`, whose listed methods and whose finaliser first run the
    script, then do what `base` does."""

    def __new__(cls: type, value: Any, maker: Maker, script: Script) -> Any:
        self = cast(Any, base).__new__(cls, value)
        self._maker = maker
        self._script = script
        return self

    def firing(name: str) -> Callable[..., Any]:
        original = getattr(base, name)

        def method(self: Any, *args: Any) -> Any:
            self._maker.fire(self._script)
            return original(self, *args)

        method.__name__ = name
        return method

    def __del__(self: Any) -> None:
        self._maker.fire(self._script)

    namespace = {"__new__": __new__, "__del__": __del__, **{name: firing(name) for name in methods}}
    return type(f"H{base.__name__.capitalize()}", (base,), namespace)


# The interpreter hands back exact copies from int.__index__, int.__int__ and float.__float__ of a subclass, so
# these keep the protocols' result types.
HStr = firing_subclass(str, ("__hash__", "__eq__", "__ne__", "__str__", "strip", "lower"))
HInt = firing_subclass(int, ("__hash__", "__eq__", "__str__", "__index__", "__int__", "__float__", "__bool__"))
HFloat = firing_subclass(float, ("__hash__", "__eq__", "__str__", "__int__", "__float__", "__bool__"))


class Unequal(int):
    """An int that equals nothing, itself included, and runs its script at each comparison."""

    _maker: Maker
    _script: list[tuple[int, int, int]]

    def __new__(cls, value: int, maker: Maker, script: list[tuple[int, int, int]]) -> Unequal:
        self = int.__new__(cls, value)
        self._maker = maker
        self._script = script
        return self

    def __eq__(self, other: object) -> bool:
        self._maker.fire(self._script)
        return False

    __ne__ = __eq__
    __hash__ = int.__hash__


class Armed:
    """A container that runs its script once `setup` has armed it; before that (while being filled) it is inert."""

    def setup(self, maker: Maker, script: Script) -> None:
        self._maker = maker
        self._script = script

    def _fire(self) -> None:
        maker = self.__dict__.get("_maker")
        if maker is not None:
            maker.fire(self._script)


class HDict(Armed, dict[Any, Any]):
    def get(self, key: Any, default: Any = None) -> Any:
        self._fire()
        return dict.get(self, key, default)

    def __iter__(self) -> Iterator[Any]:
        self._fire()
        return dict.__iter__(self)

    def __bool__(self) -> bool:
        self._fire()
        return dict.__len__(self) != 0


class HList(Armed, list[Any]):
    def __iter__(self) -> Iterator[Any]:
        for i in range(list.__len__(self)):
            self._fire()
            if i < list.__len__(self):
                yield list.__getitem__(self, i)

    def __getitem__(self, index: Any) -> Any:
        self._fire()
        return list.__getitem__(self, index)

    def __len__(self) -> int:
        self._fire()
        return list.__len__(self)


def fill_free_lists() -> None:
    """Fill the interpreter's free lists of dicts, their key tables, lists and floats, so that an object freed
    during the next call goes back to the allocator, where the sanitizer sees any later use of it."""
    junk = [({0: 0}, [0], float(i)) for i in range(200)]
    del junk
