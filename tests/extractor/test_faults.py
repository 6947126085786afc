"""Faults of the endpoint and of the model's answers, met by the real extraction library and OpenAI client.

Each fault is tried on the three extractors and on the force extractor's review (whose first answer is "特别剧烈",
so that the fault meets the second call). Every call must give its default result, or what the answer still
carries, log as the module promises, and leave the extractor able to answer the next call.
"""

from __future__ import annotations

import json
import logging
import signal
import threading
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import pytest
from langextract.core.exceptions import InferenceRuntimeError
from offline import CAUSAL_EXAMPLES, FORCE_EXAMPLES, PC_EXAMPLES, REVIEW_EXAMPLES
from scripted_endpoint import Reply, extraction_answer, refused_base_url

from kestor.tavi.extractor.causara import CausaraExtractor
from kestor.tavi.extractor.force import ForceExtractor
from kestor.tavi.extractor.linqor import LinqorExtractor

from .force_graphs import WORKED

TEXT = "昨天的地震导致全城停电。"
ARTICLE = "台风“海葵”登陆，沿海多地停电，港口全面停运。"
EXTREME = extraction_answer(("force", "A", {"final_force": "特别剧烈"}))
TOTAL = "Total predict cost: %.2fs, result: %s"

# Attribute values that the extraction library passes on untouched, each extractor reading the ones it knows.
JUNK = {
    "source": {"地点": ["北京", {"区": None}]},
    "target": [1, 2],
    "strength": {"x": 1},
    "strength_reason": [None],
    "related": {"x": 1},
    "reason": [1, {"a": None}],
    "final_force": {"级别": ["高"]},
}


@dataclass(frozen=True)
class Subject:
    build: Callable[[dict[str, Any]], Any]
    ask: Callable[[Any], Any]
    module: str
    message: str
    default: Any
    good: str  # an answer to the call that meets the fault
    good_result: Any
    junk_result: Any
    lead: tuple[str, ...] = ()  # answers to the calls before it


def force_extractor(config: dict[str, Any]) -> ForceExtractor:
    return ForceExtractor(config, "判断影响力度。", FORCE_EXAMPLES, "结合文章复核力度。", REVIEW_EXAMPLES)


SUBJECTS = {
    "causara": Subject(
        lambda config: CausaraExtractor(config, "找出因果关系。", CAUSAL_EXAMPLES),
        lambda extractor: extractor.predict(TEXT),
        "causara",
        "Failed to extract event relations with langextract: %s",
        [],
        extraction_answer(("relation", "地震导致全城停电", {"source": "地震", "target": "全城停电", "strength": 0.9})),
        [
            {
                "source": "地震",
                "source_meta": "",
                "rel": "因果",
                "target": "全城停电",
                "target_meta": "",
                "strength": 0.9,
                "strength_reason": "",
            }
        ],
        [
            {
                "source": JUNK["source"],
                "source_meta": "",
                "rel": "因果",
                "target": [1, 2],
                "target_meta": "",
                "strength": 0.5,
                "strength_reason": "[None]",
            }
        ],
    ),
    "linqor": Subject(
        lambda config: LinqorExtractor(config, "判断是否存在PC关系。", PC_EXAMPLES),
        lambda extractor: extractor.predict(TEXT),
        "linqor",
        "Failed to classify PC relation with langextract: %s",
        {"related": False, "reason": ""},
        extraction_answer(("pc", "地震导致全城停电", {"related": "true", "reason": "地震致停电"})),
        {"related": True, "reason": "地震致停电"},
        {"related": False, "reason": "[1, {'a': None}]"},
    ),
    "force": Subject(
        force_extractor,
        lambda extractor: extractor.predict(WORKED, ARTICLE),
        "force",
        "Failed to analyze force with langextract: %s",
        "中等",
        extraction_answer(("force", "A", {"final_force": "剧烈"})),
        "剧烈",
        "{'级别': ['高']}",
    ),
    "force review": Subject(
        force_extractor,
        lambda extractor: extractor.predict(WORKED, ARTICLE),
        "force",
        "Failed to review force with article: %s",
        "特别剧烈",
        extraction_answer(("force", "停电", {"final_force": "较强"})),
        "较强",
        "{'级别': ['高']}",
        lead=(EXTREME,),
    ),
}


@pytest.fixture(params=list(SUBJECTS), ids=list(SUBJECTS))
def subject(request) -> Subject:
    return SUBJECTS[request.param]


@pytest.fixture
def extractor(subject, endpoint):
    return subject.build(endpoint.config())


@pytest.fixture
def ask(subject, extractor, endpoint):
    """Asks once with these replies for the call that meets them; (result, requests the call made)."""

    def asking(*replies: Reply | str) -> tuple[Any, int]:
        before = len(endpoint.requests)
        endpoint.queue(*subject.lead, *replies)
        return subject.ask(extractor), len(endpoint.requests) - before

    return asking


def problems(records, subject: Subject) -> list[logging.LogRecord]:
    return [record for record in records(subject.module) if record.levelno >= logging.WARNING]


def assert_healthy(ask, records, subject: Subject) -> None:
    before = len(problems(records, subject))
    assert ask(subject.good) == (subject.good_result, len(subject.lead) + 1)
    assert len(problems(records, subject)) == before


def completion(**message: Any) -> bytes:
    return json.dumps(
        {
            "id": "x",
            "object": "chat.completion",
            "created": 0,
            "model": "scripted",
            "choices": [{"index": 0, "message": {"role": "assistant", **message}, "finish_reason": "stop"}],
        }
    ).encode()


class TestFailedRequests:
    # The client retries a connection closed mid-answer twice; statuses carry x-should-retry: false.
    @pytest.mark.parametrize(
        "replies, requests",
        [
            ([Reply(status=500)], 1),
            ([Reply(status=429)], 1),
            ([Reply(status=503, body=b"<html>busy</html>")], 1),
            ([Reply(drop=True)] * 3, 3),
            ([Reply(body=b"<html>not json</html>")], 1),
            ([Reply(body=b"")], 1),
            ([Reply(body=b'{"id": "x", "choi')], 1),
            ([Reply(body=b'{"hello": "world"}')], 1),
            ([Reply(body=completion(content=None))], 1),
            ([Reply(body=completion(content="x", refusal="no"))], 1),
        ],
        ids=[
            "500",
            "429",
            "503 html",
            "dropped",
            "html",
            "empty body",
            "cut body",
            "no choices",
            "no content",
            "refusal",
        ],
    )
    def test_default_result_and_one_error_record(self, ask, records, subject, replies, requests):
        assert ask(*replies) == (subject.default, len(subject.lead) + requests)
        [record] = problems(records, subject)
        assert (record.levelno, record.msg) == (logging.ERROR, subject.message)
        assert isinstance(record.args[0], InferenceRuntimeError)
        assert record.exc_info[1] is record.args[0] and record.exc_info[2] is not None
        # A failed review still ends the call with its total; a failed first call ends it at the error.
        totals = [r for r in records(subject.module) if r.msg == TOTAL]
        assert len(totals) == len(subject.lead)
        assert_healthy(ask, records, subject)

    def test_dropped_twice_is_retried(self, ask, records, subject):
        assert ask(Reply(drop=True), Reply(drop=True), subject.good) == (subject.good_result, len(subject.lead) + 3)
        assert problems(records, subject) == []

    @pytest.mark.parametrize("name", ["causara", "linqor", "force"])
    def test_refused_connection(self, records, name):
        subject = SUBJECTS[name]
        extractor = subject.build({"model": "m", "api_key": "k", "base_url": refused_base_url()})
        assert subject.ask(extractor) == subject.default
        [record] = problems(records, subject)
        assert record.msg == subject.message and isinstance(record.args[0], InferenceRuntimeError)


def fenced(value: Any) -> str:
    return "```json\n" + json.dumps(value, ensure_ascii=False) + "\n```"


class TestUnreadableAnswers:
    # The library drops an answer it cannot read and says so itself: the extractor gets no extractions.
    @pytest.mark.parametrize(
        "content",
        [
            "not json at all",
            "",
            '{"extractions": 5}',
            fenced({"other": []}),
            fenced({"extractions": "地震"}),
            fenced({"extractions": 5}),
            fenced({"extractions": {"relation": "地震"}}),
            fenced({"extractions": None}),
            fenced({"extractions": ["地震", 1]}),
            fenced({"extractions": [{"relation": "地震", "relation_attributes": [1, 2]}]}),
            fenced({"extractions": [{"relation": "地震", "relation_attributes": "强"}]}),
            fenced({"extractions": [{"relation": "地震", "relation_attributes": 3}]}),
            fenced({"extractions": [{"relation": {"a": [1]}, "relation_attributes": {}}]}),
            extraction_answer(),
        ],
        ids=[
            "not json",
            "empty",
            "unfenced",
            "no extractions",
            "string",
            "number",
            "mapping",
            "null",
            "not mappings",
            "attributes list",
            "attributes string",
            "attributes number",
            "nested text",
            "none found",
        ],
    )
    def test_default_result_without_error_records(self, ask, records, subject, content):
        assert ask(content) == (subject.default, len(subject.lead) + 1)
        assert problems(records, subject) == []
        assert_healthy(ask, records, subject)


class TestOddValues:
    def test_values_the_library_passes_on(self, ask, records, subject):
        assert ask(fenced({"extractions": [{"x": "地震", "x_attributes": JUNK}]})) == (
            subject.junk_result,
            len(subject.lead) + 1,
        )
        assert problems(records, subject) == []
        assert_healthy(ask, records, subject)

    def test_nesting_too_deep_for_the_library(self, ask, records, subject):
        depth = 100_000
        nested = "[" * depth + "]" * depth
        answer = '```json\n{"extractions": [{"x": "地震", "x_attributes": {"source": ' + nested + "}}]}\n```"
        assert ask(answer) == (subject.default, len(subject.lead) + 1)
        [record] = problems(records, subject)
        assert record.msg == subject.message and isinstance(record.args[0], RecursionError)
        assert_healthy(ask, records, subject)


@pytest.fixture
def interrupting():
    """A responder that interrupts the main thread (as Ctrl-C would) when the request arrives, then answers late."""

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGUSR1, interrupt)

    def responder(reply: Reply) -> Callable[[str], Reply]:
        def respond(question: str) -> Reply:
            signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)
            return reply

        return respond

    yield responder
    signal.signal(signal.SIGUSR1, previous)


class TestInterrupts:
    def test_interrupt_while_waiting_passes_unlogged(self, endpoint, ask, records, subject, interrupting):
        endpoint.responder = interrupting(Reply(subject.good, delay=0.5))
        with pytest.raises(KeyboardInterrupt):
            ask()
        assert problems(records, subject) == []
        assert TOTAL not in [record.msg for record in records(subject.module)]
        endpoint.responder = lambda question: subject.good
        assert_healthy(ask, records, subject)


class TestTextInPieces:
    """A causal text the library cuts into three pieces, sent at once from its own worker threads."""

    TEXT = "".join(f"第{part}段：" + "连日暴雨造成河水上涨，" * 50 + "。" for part in (1, 2, 3))

    @staticmethod
    def respond(failing: str | None) -> Callable[[str], Reply | str]:
        def respond(question: str) -> Reply | str:
            part = question[1]
            if part == failing:
                return Reply(status=500)
            return extraction_answer(("relation", f"第{part}段", {"source": f"段{part}", "target": "河水上涨"}))

        return respond

    def test_relations_come_in_the_order_of_the_pieces(self, endpoint, records):
        endpoint.responder = self.respond(None)
        relations = SUBJECTS["causara"].build(endpoint.config()).predict(self.TEXT)
        assert [relation["source"] for relation in relations] == ["段1", "段2", "段3"]
        assert sorted(question[:3] for question in endpoint.questions) == ["第1段", "第2段", "第3段"]
        assert records("causara") == []

    @pytest.mark.parametrize("failing", ["1", "3"])
    def test_one_failing_piece_fails_the_call(self, endpoint, records, failing):
        endpoint.responder = self.respond(failing)
        extractor = SUBJECTS["causara"].build(endpoint.config())
        assert extractor.predict(self.TEXT) == []
        [record] = records("causara")
        assert record.levelno == logging.ERROR and isinstance(record.args[0], InferenceRuntimeError)
        assert len(endpoint.requests) == 3
        endpoint.responder = self.respond(None)
        assert len(extractor.predict(self.TEXT)) == 3
