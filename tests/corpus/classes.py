"""Classes of events made by hand, for the tests of the graph at the class level: a stand-in for the resolver's own
classes, so that what the files and the page do with classes is tested apart from how they are found."""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import Any


def classes_by(names: Mapping[str, str]) -> Callable[..., tuple[list[str], list[int]]]:
    """A classifier as the resolver calls it: each event into the class that `names` gives its first name's normal
    form, else into one of its own named by that form; classes numbered in order of their first event."""

    def classify(
        event_of: Sequence[int], events: int, parts: Sequence[Any], forms: Sequence[str], lexicon: Any
    ) -> tuple[list[str], list[int]]:
        first: dict[int, str] = {}
        for name, event in enumerate(event_of):
            first.setdefault(event, forms[name])
        number: dict[str, int] = {}
        class_of = [number.setdefault(names.get(first[event], first[event]), len(number)) for event in range(events)]
        return list(number), class_of

    return classify
