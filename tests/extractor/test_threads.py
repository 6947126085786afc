"""One extractor of each kind shared by threads, against the scripted endpoint.

Every call carries a tag of its own in its input, the endpoint answers (or fails) for that tag, and each result and
each log record must belong to the call that made it: same values, same thread, in the order of that thread's
calls. The endpoint holds every answer a little, so that the calls of different threads overlap.
"""

from __future__ import annotations

import json
import logging
import re
import threading
import time
from collections import defaultdict
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import pytest
from langextract.core.exceptions import InferenceRuntimeError
from offline import CAUSAL_EXAMPLES, FORCE_EXAMPLES, PC_EXAMPLES, REVIEW_EXAMPLES
from scripted_endpoint import Reply, ScriptedEndpoint, extraction_answer

from kestor.tavi.extractor.causara import CausaraExtractor
from kestor.tavi.extractor.force import ForceExtractor
from kestor.tavi.extractor.linqor import LinqorExtractor

THREADS = 8
CALLS = 6
DELAY = 0.02
INFO, DEBUG, ERROR = logging.INFO, logging.DEBUG, logging.ERROR
TAG = re.compile(r"T(\d+)C(\d+)")


def failure(tag: str) -> Reply:
    # The tag travels in the error message, so a record shows whose failure it logged.
    return Reply(status=500, body=json.dumps({"error": {"message": f"overloaded {tag}"}}).encode(), delay=DELAY)


def answering(reply: Callable[[str, int, str], Reply | str]) -> Callable[[str], Reply]:
    def respond(question: str) -> Reply:
        match = TAG.search(question)
        assert match, question
        answer = reply(match.group(), int(match.group(2)), question)
        return answer if isinstance(answer, Reply) else Reply(answer, delay=DELAY)

    return respond


@dataclass(frozen=True)
class Case:
    build: Callable[[dict[str, Any]], Any]
    ask: Callable[[Any, str], Any]
    reply: Callable[[str, int, str], Reply | str]
    expected: Callable[[str, int], Any]
    log: Callable[[int], list[tuple[int, str]]]  # (level, message) of one call's records


# Every third call fails.
def causara_reply(tag: str, number: int, question: str) -> Reply | str:
    if number % 3 == 2:
        return failure(tag)
    return extraction_answer(
        (
            "relation",
            f"暴雨{tag}",
            {"source": f"暴雨{tag}", "target": f"洪水{tag}", "strength": number / 10, "strength_reason": tag},
        )
    )


def causara_expected(tag: str, number: int) -> Any:
    if number % 3 == 2:
        return []
    return [
        {
            "source": f"暴雨{tag}",
            "source_meta": "",
            "rel": "因果",
            "target": f"洪水{tag}",
            "target_meta": "",
            "strength": number / 10,
            "strength_reason": tag,
        }
    ]


def linqor_reply(tag: str, number: int, question: str) -> Reply | str:
    if number % 3 == 2:
        return failure(tag)
    return extraction_answer(("pc", f"降准{tag}", {"related": ("yes", "no")[number % 3], "reason": tag}))


def linqor_expected(tag: str, number: int) -> Any:
    if number % 3 == 2:
        return {"related": False, "reason": ""}
    return {"related": number % 3 == 0, "reason": tag}


def force_graph(tag: str) -> dict[str, Any]:
    names = [f"台风{tag}", f"停电{tag}", f"停产{tag}"]
    return {
        "nodes": [{"id": i, "name": name} for i, name in enumerate(names)],
        "edges": [
            {"src_node": {"id": 0}, "dest_node": {"id": 1}, "meta": {"strength": 0.9}},
            {"src_node": {"id": 1}, "dest_node": {"id": 2}},
            {"src_node": {"id": 0}, "dest_node": {"id": 2}},
        ],
    }


# A plain force; "特别剧烈" and a review that answers; "特别剧烈" and a review that fails.
def force_reply(tag: str, number: int, question: str) -> Reply | str:
    if question.startswith("图谱数据:"):
        assert f"起点: 台风{tag}" in question and f"  停电{tag} -> 停产{tag}" in question
        force = f"中等{tag}" if number % 3 == 0 else "特别剧烈"
        return extraction_answer(("force", f"台风{tag}", {"final_force": force}))
    if number % 3 == 2:
        return failure(tag)
    return extraction_answer(("force", "停电", {"final_force": f"剧烈{tag}"}))


def force_expected(tag: str, number: int) -> str:
    return (f"中等{tag}", f"剧烈{tag}", "特别剧烈")[number % 3]


PATHS, TEXT, LLM, TOTAL = (
    "Find paths cost: %.2fs, paths count: %d",
    "Graph text: %s",
    "LLM extract cost: %.2fs",
    "Total predict cost: %.2fs, result: %s",
)
REVIEW_START, REVIEW = "Starting force review with article text", "Review cost: %.2fs, review result: %s"


def force_log(number: int) -> list[tuple[int, str]]:
    head = [(INFO, PATHS), (DEBUG, TEXT), (INFO, LLM)]
    review = [
        [],
        [(INFO, REVIEW_START), (INFO, REVIEW)],
        [(INFO, REVIEW_START), (ERROR, "Failed to review force with article: %s")],
    ][number % 3]
    return head + review + [(INFO, TOTAL)]


CASES = {
    "causara": Case(
        lambda config: CausaraExtractor(config, "找出因果关系。", CAUSAL_EXAMPLES),
        lambda extractor, tag: extractor.predict(f"暴雨{tag}导致洪水{tag}。"),
        causara_reply,
        causara_expected,
        lambda n: [(ERROR, "Failed to extract event relations with langextract: %s")] if n % 3 == 2 else [],
    ),
    "linqor": Case(
        lambda config: LinqorExtractor(config, "判断PC关系。", PC_EXAMPLES),
        lambda extractor, tag: extractor.predict(f"央行降准{tag}，银行降息。"),
        linqor_reply,
        linqor_expected,
        lambda n: [(ERROR, "Failed to classify PC relation with langextract: %s")] if n % 3 == 2 else [],
    ),
    "force": Case(
        lambda config: ForceExtractor(config, "判断影响力度。", FORCE_EXAMPLES, "结合文章复核。", REVIEW_EXAMPLES),
        lambda extractor, tag: extractor.predict(force_graph(tag), f"文章{tag}：全城停电三天。"),
        force_reply,
        force_expected,
        force_log,
    ),
}


@pytest.mark.parametrize("name", list(CASES))
def test_shared_extractor_serves_every_thread_its_own_results(records, name):
    case = CASES[name]
    results: dict[str, Any] = {}
    raised: list[BaseException] = []
    start = threading.Barrier(THREADS)

    def work(thread: int) -> None:
        start.wait()
        for number in range(CALLS):
            tag = f"T{thread}C{number}"
            try:
                results[tag] = case.ask(extractor, tag)
            except BaseException as error:
                raised.append(error)

    with ScriptedEndpoint(answering(case.reply)) as endpoint:
        extractor = case.build(endpoint.config())
        threads = [threading.Thread(target=work, args=(t,), name=f"caller-{t}") for t in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    assert raised == []
    tags = [(f"T{t}C{n}", n) for t in range(THREADS) for n in range(CALLS)]
    assert {tag: results.get(tag) for tag, _ in tags} == {tag: case.expected(tag, n) for tag, n in tags}

    by_thread: dict[str, list[logging.LogRecord]] = defaultdict(list)
    for record in records(name):
        by_thread[record.threadName].append(record)
    assert set(by_thread) <= {f"caller-{t}" for t in range(THREADS)}
    for thread in range(THREADS):
        own = by_thread[f"caller-{thread}"]
        assert [(r.levelno, r.msg) for r in own] == [line for n in range(CALLS) for line in case.log(n)]
        failed = [r for r in own if r.levelno == ERROR]
        assert [TAG.search(str(r.args[0])).group() for r in failed] == [
            f"T{thread}C{n}" for n in range(CALLS) if n % 3 == 2
        ]
        assert all(isinstance(r.args[0], InferenceRuntimeError) and r.exc_info[1] is r.args[0] for r in failed)


def test_class_changed_while_the_force_extractor_looks_up_its_operations(monkeypatch):
    # The operations a call will use are looked up once, at its start, and the answer is kept for the class. A
    # lookup may run host code (a descriptor's __get__) during which another thread changes the class; this
    # descriptor makes that change itself, so that it happens at exactly that moment.
    from types import SimpleNamespace

    import langextract as lx
    from offline import OFFLINE_CONFIG

    from .force_graphs import WORKED

    walked = []

    def own_dfs(self, *args):
        walked.append(args[0])
        return ForceExtractor._dfs(self, *args)

    class ChangesTheClass:
        def __get__(self, instance, owner):
            if instance is None:
                if "_dfs" not in vars(owner):
                    owner._dfs = own_dfs
                return ForceExtractor._append_paths
            return ForceExtractor._append_paths.__get__(instance, owner)

    class Changing(ForceExtractor):
        _append_paths = ChangesTheClass()

    monkeypatch.setattr(lx, "extract", lambda **kwargs: SimpleNamespace(extractions=[]))
    extractor = Changing(OFFLINE_CONFIG, "p", [], "r", [])
    extractor.predict(WORKED)
    walked.clear()
    extractor.predict(WORKED)
    assert walked  # the second call sees the class as it is now


@pytest.mark.slow
class TestLongNativeWork:
    """Long native work hands the GIL over, as Python code would between two bytecodes."""

    def test_another_thread_runs_while_a_long_graph_is_searched(self):
        # The looping thread stamps its iterations; stamps in the middle half of the call were made while the
        # native road was at work, which without its turns holds the GIL from start to end.
        from graphs import chain
        from offline import OFFLINE_CONFIG

        extractor, data = ForceExtractor(OFFLINE_CONFIG, "p", [], "r", []), chain(300_000)
        stamps: list[float] = []
        stop = threading.Event()

        def loop() -> None:
            count = 0
            while not stop.is_set():
                count += 1
                if count % 64 == 0:
                    stamps.append(time.perf_counter())

        looper = threading.Thread(target=loop)
        looper.start()
        try:
            start = time.perf_counter()
            paths = extractor._find_paths(data)
            end = time.perf_counter()
        finally:
            stop.set()
            looper.join()
        quarter = (end - start) / 4
        assert any(start + quarter < stamp < end - quarter for stamp in stamps)
        assert [len(path) for path in paths] == [299_999]

    def test_graph_data_changed_by_another_thread_during_the_work(self, monkeypatch):
        # At each turn the other thread may replace nodes, edges and their values, dropping the last reference to
        # what was read: the work holds what it read, so every call ends with a result and nothing is used after
        # it was freed (which the sanitizer build would report).
        from types import SimpleNamespace

        import langextract as lx
        from graphs import chain
        from offline import OFFLINE_CONFIG

        monkeypatch.setattr(lx, "extract", lambda **kwargs: SimpleNamespace(extractions=[]))
        extractor, data = ForceExtractor(OFFLINE_CONFIG, "p", [], "r", []), chain(100_000)
        nodes, edges = data["nodes"], data["edges"]
        stop = threading.Event()

        def change() -> None:
            turn = 0
            while not stop.is_set():
                turn += 1
                index = turn * 7919 % len(edges)
                nodes[index] = {"id": index, "name": f"改{turn}"}
                edges[index] = {
                    "src_node": {"id": index},
                    "dest_node": {"id": index + 1},
                    "meta": {"strength": turn / 3},
                }
                edges.append(edges.pop())

        changer = threading.Thread(target=change)
        changer.start()
        try:
            for _ in range(3):
                assert extractor.predict(data) == "中等"
                paths = extractor._find_paths(data)
                assert isinstance(extractor._format_graph_data(data, paths), str)
        finally:
            stop.set()
            changer.join()
