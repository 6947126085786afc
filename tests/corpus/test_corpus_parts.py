"""The corpus runner's pure parts, without a cluster: planning, retries, the kinds of failure, the gate every
request passes, the part files' merge and the progress bar."""

from __future__ import annotations

import io
import json
import math
import threading
from typing import Any

import httpx2
import openai
import pytest
from langextract.core.exceptions import InferenceRuntimeError

from kestor.tavi.corpus import output, worker
from kestor.tavi.corpus.asking.failures import Failure, NotACompletion, classify, explain, provider_said, server_wait
from kestor.tavi.corpus.asking.gate import (
    CUT_EVERY,
    RATE_CUT,
    SET_UP_INPUTS,
    STATED_CUT,
    Abandoned,
    Account,
    Gate,
    Ticket,
)
from kestor.tavi.corpus.asking.limits import RateLimits, duration, read_rate_limits
from kestor.tavi.corpus.asking.policy import CAP, RetryPolicy
from kestor.tavi.corpus.asking.usage import Price
from kestor.tavi.corpus.config import RunConfig, Settings
from kestor.tavi.corpus.inputs import id_key
from kestor.tavi.corpus.planning import TASKS_PER_WORKER, plan, split
from kestor.tavi.corpus.progress import Progress

URL = "http://127.0.0.1:9/v1/chat/completions"


def test_plan_sends_each_input_to_one_part_and_split_spreads_them_over_the_workers():
    records = [{"id": i, "text": "t"} for i in range(10)]
    existing = output.Existing(
        part_of={id_key(1): 7, id_key(2): 7, id_key(9): 0},
        status_of={id_key(1): "ok", id_key(2): "failed", id_key(9): "failed"},
    )
    parts, done = plan(records, existing, 4)
    assert done == 1
    assert {part.part: [r["id"] for r in part.records] for part in parts} == {
        0: [0, 3, 9],  # a failed input goes back to the part that holds its line
        1: [4, 5, 6, 7],
        2: [8],
        7: [2],
    }
    # The order covers the inputs done before too: their lines share the file.
    assert [part.order for part in parts if part.part == 7] == [{id_key(1): 1, id_key(2): 2}]

    tasks = split(parts, workers=1)
    assert sorted(r["id"] for task in tasks for r in task.records) == [0, 2, 3, 4, 5, 6, 7, 8, 9]
    assert max(len(task.records) for task in tasks) == 2  # 9 inputs, 8 tasks a worker: at most 2 each
    many, _ = plan([{"id": i} for i in range(1000)], output.Existing(), 100)
    sizes = [len(task.records) for task in split(many, workers=2)]
    assert len(sizes) >= 2 * TASKS_PER_WORKER and max(sizes) - min(sizes) <= 1 and sum(sizes) == 1000


def test_retry_pauses_grow_with_full_jitter_to_the_cap_and_the_budget_bounds_the_retries():
    policy = RetryPolicy(retry_for=60, retries=None, first_pause=0.5)
    assert [policy.pause(n, None, draw=1.0) for n in (1, 2, 3, 7, 100)] == [0.5, 1.0, 2.0, 30.0, CAP]
    assert policy.pause(3, None, draw=0.0) == 0.0
    assert policy.pause(9, 75.0) == 75.0  # the server's wait, even past the cap
    assert policy.allows(1000, 59.9) and not policy.allows(0, 60.0)
    bounded = RetryPolicy(retries=2)
    assert bounded.allows(1, 0.0) and not bounded.allows(2, 0.0)


def status_error(status: int, body: object = None, **headers: str) -> openai.APIStatusError:
    """As the client raises it: `body` is the provider's `error` object (or the text of a body that is no JSON)."""
    request = httpx2.Request("POST", URL)
    return openai.APIStatusError(
        f"Error code: {status}", response=httpx2.Response(status, headers=headers, request=request), body=body
    )


def provider_error(status: int, code: str, kind: str = "invalid_request_error", param: str | None = None) -> Any:
    return status_error(status, {"message": f"said {code}", "type": kind, "param": param, "code": code})


def wrapped(error: BaseException) -> InferenceRuntimeError:
    """As the extraction library hands a client error on."""
    outer = InferenceRuntimeError(f"OpenAI API error: {error}", original=error)
    outer.__cause__ = error
    return outer


@pytest.mark.parametrize(
    ("error", "kind"),
    [
        (status_error(429), "rate_limit"),
        (provider_error(429, "rate_limit_exceeded", "requests"), "rate_limit"),
        (provider_error(429, "insufficient_quota", "insufficient_quota"), "quota"),
        (status_error(429, {"message": "billing", "type": "insufficient_quota"}), "quota"),
        (status_error(402), "quota"),
        (provider_error(401, "invalid_api_key"), "auth"),
        (provider_error(404, "model_not_found"), "model_not_found"),
        (provider_error(404, "not_found", param="model"), "model_not_found"),
        (status_error(404, "<html>Not Found</html>"), "not_found"),
        (status_error(501, "<html>Unsupported method</html>"), "unsupported"),
        (status_error(405), "unsupported"),
        (provider_error(400, "context_length_exceeded"), "context_length"),
        (NotACompletion(200, "text/html", b"<title>502 Bad Gateway</title>", URL), "no_completion"),
        (status_error(408), "timeout"),
        (status_error(409), "server"),
        (status_error(503), "server"),
        (status_error(400), "bad_request"),
        (status_error(422), "bad_request"),
        (status_error(401), "auth"),
        (status_error(403), "auth"),
        (status_error(404), "not_found"),
        (openai.APITimeoutError(request=httpx2.Request("POST", URL)), "timeout"),
        (openai.APIConnectionError(request=httpx2.Request("POST", URL)), "connection"),
        (InferenceRuntimeError("OpenAI response contained no choices."), "answer"),
        (RuntimeError("a subclass's own fault"), "other"),
        (None, "other"),
    ],
)
def test_failures_are_told_apart_by_class_status_and_the_providers_code(error, kind):
    assert classify(error if error is None or kind in ("answer", "other") else wrapped(error)) == kind


def test_the_servers_wait_is_read_from_its_headers_and_connection_errors_name_the_url():
    assert server_wait(wrapped(status_error(429, **{"retry-after-ms": "250", "retry-after": "1"}))) == 0.25
    assert server_wait(status_error(503, **{"retry-after": "3"})) == 3.0
    assert server_wait(status_error(429, **{"retry-after": "Wed, 21 Oct 2015 07:28:10 GMT"}), now=1445412480) == 10
    assert server_wait(status_error(429, **{"retry-after": "soon"})) is None
    assert server_wait(status_error(429)) is None and server_wait(None) is None

    refused = openai.APIConnectionError(request=httpx2.Request("POST", URL))
    refused.__cause__ = httpx2.ConnectError("[Errno 111] Connection refused")
    message = explain(Failure("Failed: OpenAI API error: Connection error.", wrapped(refused)))
    assert (
        message
        == f"Failed: OpenAI API error: Connection error. (POST {URL}: ConnectError: [Errno 111] Connection refused)"
    )
    assert explain(Failure("Failed: 500", wrapped(status_error(500)))) == "Failed: 500"

    # What the provider said, for the line that ends a stopped run: its code and message, or what stood there.
    quota = wrapped(provider_error(429, "insufficient_quota", "insufficient_quota"))
    assert provider_said(quota) == ("HTTP 429 insufficient_quota: said insufficient_quota", f"POST {URL}")
    page = "<html>\n<head><title>Error response</title></head><body>Unsupported method ('POST')</body></html>"
    assert provider_said(wrapped(status_error(501, page)))[0] == "HTTP 501: <title>Error response</title>"
    cut = (
        b'{"id": "chatcmpl-1", "object": "chat.completion", '
        b'"choices": [{"index": 0, "message": {"role": "assistant", "content": "```json\\n{'
    )
    assert (
        str(NotACompletion(200, "application/json", cut, URL)) == f"HTTP 200 application/json: {cut[:120].decode()}..."
    )
    assert str(NotACompletion(200, "", b"", URL)) == "HTTP 200 (no content type): (an empty body)"


def test_the_providers_stated_limits_are_read_from_its_headers():
    headers = {
        "x-ratelimit-limit-requests": "300",
        "x-ratelimit-remaining-requests": "0",
        "x-ratelimit-reset-requests": "6m0.5s",
        "x-ratelimit-limit-tokens": "60000",
        "x-ratelimit-reset-tokens": "20ms",
    }
    assert read_rate_limits(headers, tokens=250) == RateLimits(5.0, 1000.0, 0.0, 360.5, None, 0.02, 250)
    assert [duration(text) for text in ("1.2s", "1h2m", "17", "1.2 s", "soon", "")] == [
        1.2,
        3720.0,
        17.0,
        None,
        None,
        None,
    ]
    assert read_rate_limits({"x-ratelimit-limit-requests": "nan"}) is None and read_rate_limits({}) is None


def admit(gate: Gate, account: Account, now: float) -> Ticket:
    ticket = gate.try_admit(account, now)
    assert isinstance(ticket, Ticket), ticket
    return ticket


def test_the_gate_paces_sends_once_the_provider_refuses_and_holds_them_for_its_wait():
    gate, accounts = Gate(16), [Account() for _ in range(6)]
    tickets = [admit(gate, account, 0.0) for account in accounts[:4]]
    assert gate.try_admit(accounts[4], 0.0) == math.inf  # four calls in flight to begin with
    for ticket in tickets[:3]:
        gate.settle(ticket, "ok", now=0.1)
    tickets = [admit(gate, account, 0.1) for account in accounts[:6]]  # each answer let one more in
    gate.settle(tickets[0], "rate_limit", wait=0.2, now=0.2)
    assert gate.try_admit(accounts[0], 0.3) == pytest.approx(0.1)  # every new send waits the server's wait
    # Paced from there at what got through in the last second: 3 answers and 6 in flight, 9 requests per second.
    first = admit(gate, accounts[0], 0.4)
    gate.settle(tickets[1], "ok", now=0.4)
    assert gate.try_admit(accounts[1], 0.4) == pytest.approx(1 / 9)
    gate.settle(first, "rate_limit", now=0.45)
    assert gate.try_admit(accounts[1], 0.5) == pytest.approx(0.4 + 1 / 9 - 0.5)  # no second cut so soon
    later = admit(gate, accounts[1], 0.2 + CUT_EVERY + 0.1)
    gate.settle(later, "rate_limit", now=0.2 + CUT_EVERY + 0.1)
    assert gate.stats()["rate"] == pytest.approx(9 * RATE_CUT)
    assert (gate.requests, gate.refused) == (7, 3)


def test_a_ceiling_bounds_the_paced_rate_and_follows_the_workers_share():
    gate, account = Gate(16, ceiling=4.0), Account()
    sent = [admit(gate, account, 0.0)]
    assert gate.try_admit(account, 0.1) == pytest.approx(0.15)
    for now in (0.25, 0.5, 0.75):
        sent.append(admit(gate, account, now))
        gate.settle(sent[-1], "ok", now=now)
    assert gate.stats()["rate"] == 4.0
    gate.set_ceiling(8.0)  # a worker left the run: this one's share doubles
    assert gate.stats()["rate"] == 8.0


def test_a_runs_tasks_in_one_worker_share_its_gate_however_long_the_first_has_run(monkeypatch):
    settings = Settings(RunConfig("causara", {}, {}), "unused", run="long")
    monkeypatch.setattr(worker, "_extractors", {(settings.config.cache_key(), settings.call_timeout): {}})
    monkeypatch.setattr(worker, "_pools", {settings.threads: None})
    monkeypatch.setattr(worker, "_runs", {})
    monkeypatch.setattr(worker, "FORGET_AFTER", -1.0)  # every state idle for any time is forgotten
    first = worker._process_state(settings)[2]
    assert worker._process_state(settings)[2] is first  # two gates would each take the worker's whole share
    worker._task_ended(first)
    worker._task_ended(first)
    assert worker._process_state(settings)[2] is not first


def fail(gate: Gate, accounts: list[Account], now: float, kind: str = "server") -> None:
    for account in accounts:
        gate.settle(admit(gate, account, now), kind, now=now)


def test_the_breaker_opens_on_an_outage_probes_one_input_at_a_time_and_does_not_charge_the_downtime():
    gate = Gate(16, first_probe_pause=1.0)
    one = Account()
    fail(gate, [one] * 10, 0.0)
    assert not gate.is_open  # one input failing again and again is no outage

    gate, accounts = Gate(16, first_probe_pause=1.0), [Account() for _ in range(4)]
    fail(gate, accounts * 2, 1.0)
    assert gate.is_open
    assert gate.try_admit(accounts[0], 1.5) == pytest.approx(0.5)
    probe = admit(gate, accounts[0], 2.0)
    assert gate.try_admit(accounts[1], 2.0) == math.inf  # one probe at a time
    gate.settle(probe, "connection", now=2.0)
    pause = accounts[0].charged  # the pause after its probe, longer than the one before
    assert accounts[0].probe_failed and 1.25 * 0.8 <= pause <= 1.25 * 1.2
    assert gate.try_admit(accounts[1], 2.0 + pause / 2) == pytest.approx(pause / 2)
    gate.settle(admit(gate, accounts[1], 2.0 + pause), "ok", now=4.0)
    assert not gate.is_open and gate.downtime(10.0) == pytest.approx(3.0)
    assert isinstance(gate.try_admit(accounts[2], 3.5), Ticket)


def test_a_part_write_replaces_lines_in_place_keeps_the_others_and_loses_none_to_concurrent_writers(tmp_path):
    def lines(number: int) -> list[str]:
        return output.part_path(tmp_path, number).read_text().splitlines()

    output.write_part(tmp_path, 0, {id_key(i): f'{{"id": {i}, "v": 1}}' for i in (3, 1, 2)})
    output.write_part(tmp_path, 0, {id_key(1): '{"id": 1, "v": 2}', id_key(4): '{"id": 4, "v": 1}'})
    assert [json.loads(text) for text in lines(0)] == [
        {"id": 3, "v": 1},
        {"id": 1, "v": 2},
        {"id": 2, "v": 1},
        {"id": 4, "v": 1},
    ]
    output.write_part(tmp_path, 0, {}, order={id_key(i): i for i in (1, 2, 3)})
    assert [json.loads(text)["id"] for text in lines(0)] == [1, 2, 3, 4]  # unknown ids last

    def write(start: int) -> None:
        for i in range(start, start + 10):
            output.write_part(tmp_path, 1, {id_key(i): json.dumps({"id": i})})

    threads = [threading.Thread(target=write, args=(n * 100,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(json.loads(text)["id"] for text in lines(1)) == [n * 100 + i for n in range(4) for i in range(10)]


def test_progress_counts_each_input_once_and_shows_how_the_requests_fare():
    progress = Progress(4, io.StringIO(), price=Price(1.0, 4.0))
    used = {"calls": 2, "from_cache": 0, "prompt_tokens": 300_000, "completion_tokens": 50_000}
    progress.written([('"a"', "failed", used), ('"b"', "ok", dict(used, from_cache=2, prompt_tokens=0))])
    progress.written([('"a"', "ok", dict(used, calls=4))])  # a redone task wrote it again: its usage replaces
    assert (progress.done, progress.failed) == (2, 0)
    assert progress.render().endswith(" | 33% from the cache, 400,000 tokens, cost 0.7000")
    progress.observe("w1", {"in_flight": 3, "requests": 10, "refused": 0, "latencies": [0.1] * 19 + [2.0]}, now=0.0)
    progress.observe("w2", {"in_flight": 2, "requests": 0, "refused": 0, "latencies": [], "open": True}, now=0.5)
    progress.observe("w1", {"in_flight": 4, "requests": 30, "refused": 5, "latencies": []}, now=2.0)
    text = progress.render(now=2.0)
    assert "2/4 done, 0 failed" in text
    assert "6 in flight, 10.0 req/s, 25% 429, p50 0.10 s, p95 2.00 s" in text
    assert "endpoint down for 1 worker: probing" in text
    progress.stop("quota")
    assert "2/4 done, 0 failed | stopped (quota): nothing more is sent | 33% from" in progress.render(now=2.0)


def test_the_gate_halts_on_a_fault_no_wait_cures_and_on_an_address_that_never_answered_as_a_model():
    gate, accounts = Gate(16), [Account() for _ in range(SET_UP_INPUTS + 1)]
    waiting = admit(gate, accounts[1], 0.0)
    gate.settle(admit(gate, accounts[0], 0.0), "auth", now=0.1)
    assert gate.halted == "auth"
    with pytest.raises(Abandoned):  # nothing more goes out, nor does a retry's pause run on
        gate.admit(accounts[2])
    with pytest.raises(Abandoned):
        gate.sleep(60.0, accounts[1])
    gate.settle(waiting, "ok", now=0.2)  # what was in flight still comes back
    assert gate.halted == "auth" and gate.requests == 2

    # No model answered: the first inputs all failing alike is the address's doing, however often each is retried.
    gate = Gate(16)
    fail(gate, accounts[:1] * 2 + accounts[1 : SET_UP_INPUTS - 1], 0.0, "no_completion")
    fail(gate, accounts[:2], 0.0, "unsupported")  # another kind of the same
    assert gate.halted is None
    fail(gate, accounts[SET_UP_INPUTS - 1 : SET_UP_INPUTS], 0.0, "no_completion")
    assert gate.halted == "no_completion"
    # Once anything was answered, or refused as only a model endpoint refuses, the same failures are not the set-up's.
    for first in ("ok", "bad_request"):
        gate = Gate(16)
        fail(gate, [accounts[-1]], 0.0, first)
        fail(gate, accounts[:SET_UP_INPUTS], 0.0, "not_found")
        assert gate.halted is None


def test_the_gate_paces_at_its_share_of_a_stated_limit_and_follows_it_when_it_drops():
    gate, account = Gate(16, sharing=2), Account()
    stated = RateLimits(requests_per_second=30.0, requests_left=20.0, requests_reset=0.1)
    gate.settle(admit(gate, account, 0.0), "ok", now=0.1, limits=stated)
    share = 15.0
    assert gate.stats()["rate"] == pytest.approx(share)  # before any refusal
    for n in range(1, 50):  # answers at its pace grow nothing past the share
        at = n * (1 / share + 0.001)
        gate.settle(admit(gate, account, at), "ok", now=at, limits=stated)
    assert gate.stats()["rate"] == pytest.approx(share)
    gate.settle(admit(gate, account, 4.0), "rate_limit", now=4.0, wait=0.05, limits=stated)
    assert gate.stats()["rate"] == pytest.approx(share)  # a lone refusal at that pace moves the next send only
    gate.settle(admit(gate, account, 4.1), "rate_limit", now=4.1, wait=0.05, limits=stated)
    share *= STATED_CUT  # refusals that come often: the workers' sends meet more than the window takes
    assert gate.stats()["rate"] == pytest.approx(share)
    dropped = RateLimits(requests_per_second=5.0, requests_left=0.0, requests_reset=2.0)
    gate.settle(admit(gate, account, 4.2), "ok", now=4.3, limits=dropped)
    assert gate.stats()["rate"] == pytest.approx(STATED_CUT * 2.5)
    assert gate.try_admit(account, 4.4) == pytest.approx(1.9)  # nothing left of a window that fills in 2 s
    gate.set_sharing(1)  # the other worker ran out of work
    assert gate.stats()["rate"] == pytest.approx(STATED_CUT * 5.0)
