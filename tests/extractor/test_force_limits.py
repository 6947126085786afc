"""The force extractor at the limits: very deep graphs, interrupts during a long walk, memory running out."""

from __future__ import annotations

import gc
import itertools
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from graphs import chain, edge
from offline import OFFLINE_CONFIG

from kestor.tavi.extractor.force import ForceExtractor

from .fakes import answer

DEPTH = 1_000_000


class Relaying(ForceExtractor):
    """Takes the road through host objects: one operation of the walk is overridden."""

    def _edge_to_path_edge(self, edge, node_map, next_node):
        return super()._edge_to_path_edge(edge, node_map, next_node)


@pytest.fixture(scope="module")
def deep_chain():
    return chain(DEPTH)


def endless_walk() -> dict:
    """A start node S before a root R and 14 layers of 6 nodes, the last leading back to R: 6**14 walks, each a
    dead end. The end node E hangs off the cycle F-G, out of reach."""
    start, root, f, g, end = range(-5, 0)
    layers = [[depth * 6 + i for i in range(6)] for depth in range(14)]
    edges = [edge(start, root)] + [edge(root, node) for node in layers[0]]
    for upper, lower in itertools.pairwise(layers):
        edges += [edge(a, b) for a in upper for b in lower]
    edges += [edge(node, root) for node in layers[-1]]
    edges += [edge(f, g), edge(g, f), edge(f, end)]
    return {"nodes": [], "edges": edges}


@pytest.mark.slow
class TestDepth:
    def test_native_walk_has_no_depth_limit(self, deep_chain):
        [path] = ForceExtractor(OFFLINE_CONFIG, "p", [], "r", [])._find_paths(deep_chain)
        assert len(path) == DEPTH - 1
        assert path[-1] == {"source": f"事件{DEPTH - 2}", "target": f"事件{DEPTH - 1}", "strength": 0.5}

    def test_walk_through_host_objects_has_no_depth_limit(self):
        [path] = Relaying(OFFLINE_CONFIG, "p", [], "r", [])._find_paths(chain(100_000))
        assert len(path) == 99_999

    def test_predict_on_a_deep_chain(self, service, deep_chain):
        service.answers(answer({"final_force": "剧烈"}))
        assert ForceExtractor(OFFLINE_CONFIG, "p", [], "r", []).predict(deep_chain) == "剧烈"
        [text] = service.texts
        assert text.count("\n") == 4 + DEPTH - 1


@pytest.fixture
def alarm():
    """Call it to raise KeyboardInterrupt from a real signal a moment later. Armed right before the walk: set any
    sooner, a slow construction (a collection of the deep chain, a sanitizer build) could take the signal."""

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    yield lambda: signal.setitimer(signal.ITIMER_REAL, 0.3)
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


@pytest.mark.slow
class TestInterrupt:
    @pytest.mark.parametrize("cls", [ForceExtractor, Relaying])
    def test_find_paths(self, alarm, cls):
        extractor, data = cls(OFFLINE_CONFIG, "p", [], "r", []), endless_walk()
        started = time.monotonic()
        alarm()
        with pytest.raises(KeyboardInterrupt):
            extractor._find_paths(data)
        assert time.monotonic() - started < 10, "the walk ran to its end instead of stopping at the interrupt"

    def test_predict_passes_the_interrupt_unlogged(self, alarm, service, records):
        extractor, data = ForceExtractor(OFFLINE_CONFIG, "p", [], "r", []), endless_walk()
        alarm()
        with pytest.raises(KeyboardInterrupt):
            extractor.predict(data)
        assert records("force") == [] and service.calls == []

    def test_extractor_works_after_an_interrupt(self, alarm):
        extractor, data = ForceExtractor(OFFLINE_CONFIG, "p", [], "r", []), endless_walk()
        alarm()
        with pytest.raises(KeyboardInterrupt):
            extractor._find_paths(data)
        assert extractor._find_paths({"edges": [edge(1, 2)]}) == [[{"source": "", "target": "", "strength": None}]]


@pytest.mark.slow
@pytest.mark.parametrize("collector", [True, False], ids=["collector on", "collector off"])
def test_an_interrupt_while_a_result_is_built_finds_the_collector_as_the_caller_left_it(collector):
    # The handler is host code, run at a turn in the middle of the result's objects; it raises at its tenth call.
    extractor = ForceExtractor(OFFLINE_CONFIG, "p", [], "r", [])
    width = 10
    edges = [edge(0, node) for node in range(1, width + 1)]
    for layer in range(4):
        edges += [
            edge(layer * width + a, (layer + 1) * width + b) for a in range(1, width + 1) for b in range(1, width + 1)
        ]
    edges += [edge(4 * width + node, 999) for node in range(1, width + 1)]
    seen = []
    caught = []

    def handler(signum, frame):
        if caught:
            return
        seen.append(gc.isenabled())
        if len(seen) >= 10:
            # The interpreter runs a handler wherever it next checks, a finalizer of another test's objects
            # included, which reports what it raises and goes on: ask again later, until the loop below has it.
            signal.setitimer(signal.ITIMER_REAL, 0.05)
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    was_enabled = gc.isenabled()
    gc.enable() if collector else gc.disable()
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
        try:
            while True:
                extractor._find_paths({"edges": edges})
        except KeyboardInterrupt:
            caught.append(True)
        assert len(seen) >= 10 and (seen, gc.isenabled()) == ([collector] * len(seen), collector)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        gc.enable() if was_enabled else gc.disable()


MEMORY_SCRIPT = textwrap.dedent("""
    import gc, resource, sys
    from kestor.tavi.extractor.force import ForceExtractor
    from kestor.tavi.extractor import force as module

    def layered(layers, width):
        names = [[f"{d}.{i}" for i in range(width)] for d in range(layers)]
        edges = [{"src_node": {"id": "root"}, "dest_node": {"id": n}} for n in names[0]]
        for upper, lower in zip(names, names[1:]):
            edges += [{"src_node": {"id": a}, "dest_node": {"id": b}} for a in upper for b in lower]
        edges += [{"src_node": {"id": n}, "dest_node": {"id": "sink"}} for n in names[-1]]
        return {"edges": edges}

    def numbered(data):
        ids = {}
        for e in data["edges"]:
            for end in (e["src_node"], e["dest_node"]):
                end["id"] = ids.setdefault(end["id"], len(ids))
        return data

    extractor = ForceExtractor({"model": "m", "api_key": "k", "base_url": "http://127.0.0.1:9/v1"}, "p", [], "r", [])
    huge = numbered(layered(9, 8))  # 8**9 paths: far more than the memory allowed
    midway = numbered(layered(7, 8))  # 8**7 paths: the walk fits, the objects of its result do not
    gc.collect()
    blocks = sys.getallocatedblocks()
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) for line in status if line.startswith("VmSize")) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (size + 400 * 2**20, resource.RLIM_INFINITY))

    outcomes = []
    for road, data, collector in (("_find_paths", huge, True), ("predict", huge, True),
                                  ("_find_paths", midway, True), ("_find_paths", midway, False)):
        gc.enable() if collector else gc.disable()
        try:
            outcomes.append(repr(getattr(extractor, road)(data)))
        except MemoryError:
            outcomes.append("MemoryError")
        outcomes.append(f"collector={gc.isenabled()}")
    gc.enable()
    gc.collect()
    small = numbered(layered(2, 2))
    outcomes.append(str(len(extractor._find_paths(small))))
    outcomes.append(str(sys.getallocatedblocks() - blocks < 1000))
    print(" ".join(outcomes))
""")


def under_address_sanitizer() -> bool:
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


@pytest.mark.slow
@pytest.mark.skipif(
    under_address_sanitizer(),
    reason="AddressSanitizer reserves terabytes of address space and "
    "aborts where operator new would throw: an address-space limit cannot give MemoryError under it",
)
def test_memory_exhaustion_raises_memory_error():
    run = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr[-2000:]
    # predict logs the MemoryError as an analysis failure and falls back to "中等". A result that runs out of
    # memory while its objects are made leaves the collector as it found it.
    assert run.stdout.split() == [
        "MemoryError",
        "collector=True",
        "'中等'",
        "collector=True",
        "MemoryError",
        "collector=True",
        "MemoryError",
        "collector=False",
        "4",
        "True",
    ]
