"""What each mode asks of its extractors for one input record, and the event graph of an article."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from .asking.asker import Settled
from .inputs import Record

# One model call with its retries: given the call, how it ended.
Settle = Callable[[Callable[[], Any]], Settled]


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


STEPS = {"causara": ("relations",), "linqor": ("PC relations",), "force": ("force", "review")}
STEPS["articles"] = (*STEPS["causara"], *STEPS["force"])
"""What each mode asks, in the order its requests depend on each other's answers: a round of batches each."""


def step_of(mode: str, call: int, review: bool) -> str:
    """The step of a request of an input's `call`-th call (from 0), made inside the force extractor's review or not:
    every request of a call is one chunk of the same text."""
    if mode == "articles":
        mode = "causara" if call == 0 else "force"
    steps = STEPS[mode]
    return steps[-1] if review else steps[0]


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
