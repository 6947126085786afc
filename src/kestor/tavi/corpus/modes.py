"""What each mode asks of its extractors for one input record, the extractors built for it (their progress bars
quieted where the runner draws its own), and the event graph of an article."""

from __future__ import annotations

import functools
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from .config import RunConfig
from .inputs import Record

_progress_quieted = False

# One model call with its retries: given the call, how it ended.
Settle = Callable[[Callable[[], Any]], "Settled"]


@dataclass(frozen=True)
class Settled:
    result: Any
    attempts: int
    """HTTP requests made for the input so far (in articles mode, those of both extractors)."""
    error: str | None = None
    error_class: str | None = None
    usage: dict[str, int] | None = None
    """What the input's answered calls used (see usage)."""


def build_extractors(config: RunConfig, classes: dict[str, type[Any]] | None = None) -> dict[str, Any]:
    """The extractors of the run's mode: the library's classes, or these (as a worker builds them, see sending)."""
    from kestor.tavi.extractor.samplar import PromptExample, PromptExtraction

    if classes is None:
        from kestor.tavi.extractor.causara import CausaraExtractor
        from kestor.tavi.extractor.force import ForceExtractor
        from kestor.tavi.extractor.linqor import LinqorExtractor

        classes = {"causara": CausaraExtractor, "linqor": LinqorExtractor, "force": ForceExtractor}

    def examples(items: list[dict[str, Any]] | None) -> list[PromptExample]:
        return [
            PromptExample(
                item["text"], [PromptExtraction(e["text"], dict(e["attrs"]), e["kind"]) for e in item["extractions"]]
            )
            for item in items or []
        ]

    extractors: dict[str, Any] = {}
    for name, prompts in config.prompts.items():
        model = dict(config.model)
        if name == "force":
            extractors[name] = classes["force"](
                model,
                prompts.prompt_description,
                examples(prompts.examples),
                prompts.review_prompt_description,
                examples(prompts.review_examples),
            )
        else:
            extractors[name] = classes[name](model, prompts.prompt_description, examples(prompts.examples))
    return extractors


def quiet_progress_bars() -> None:
    """The extraction library draws a progress bar on stderr at every call; in a corpus run the driver draws one.

    The bar can only be switched off through an argument our extractors fix, so the library's factory for it is
    wrapped. A library without that factory is left as it is: its bars are noise, not a fault.
    """
    global _progress_quieted
    if _progress_quieted:
        return
    _progress_quieted = True
    try:
        from langextract import progress
    except ImportError:
        return
    original = getattr(progress, "create_extraction_progress_bar", None)
    if original is None:
        return

    @functools.wraps(original)
    def quiet(*args: Any, **kwargs: Any) -> Any:
        kwargs["disable"] = True
        return original(*args, **kwargs)

    progress.create_extraction_progress_bar = quiet


def process(mode: str, extractors: dict[str, Any], record: Record, settle: Settle) -> Settled:
    if mode == "force":
        return settle(lambda: extractors["force"].predict(record["graph_data"], record["article_text"]))
    if mode != "articles":
        return settle(lambda: extractors[mode].predict(record["text"]))
    text = record["text"]
    relations = settle(lambda: extractors["causara"].predict(text))
    if relations.error is not None:
        # A force word read from a graph that a failed extraction left empty would be a made-up answer.
        return relations
    graph = event_graph(relations.result)
    force = settle(lambda: extractors["force"].predict(graph, text))
    if force.error is not None:
        return force
    return Settled({"relations": relations.result, "graph": graph, "force": force.result}, force.attempts)


def event_graph(relations: list[dict[str, Any]]) -> dict[str, Any]:
    """One node per distinct event name, in order of first appearance, ids from 1; one edge per relation."""
    ids: dict[str, int] = {}

    def node(name: Any) -> int:
        # The model's JSON decides what an event is; a name that is not text is told apart by its text form.
        text = name if isinstance(name, str) else str(name)
        return ids.setdefault(text, len(ids) + 1)

    edges = [
        {
            "src_node": {"id": node(relation["source"])},
            "dest_node": {"id": node(relation["target"])},
            "meta": {"strength": relation["strength"]},
        }
        for relation in relations
    ]
    return {"nodes": [{"id": number, "name": name} for name, number in ids.items()], "edges": edges}
