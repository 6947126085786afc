"""Classes of events made by hand, for the tests of the graph at the class level: a stand-in for the resolver's own
classes, which put each event into a class of its own until the names' parts are compared."""

from __future__ import annotations

from collections.abc import Callable, Mapping

from kestor.tavi.corpus.events import Resolution


def classes_by(names: Mapping[str, str]) -> Callable[[Resolution], None]:
    """Each event into the class that `names` gives its first name's normal form, else into one of its own named by
    that form; classes numbered in order of their first event."""

    def classify(resolution: Resolution) -> None:
        number: dict[str, int] = {}
        resolution.class_of = []
        for first in resolution.first_of:
            form = resolution.normals[first].form
            resolution.class_of.append(number.setdefault(names.get(form, form), len(number)))
        resolution.classes = list(number)

    return classify
