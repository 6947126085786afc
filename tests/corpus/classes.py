"""Classes of events made by hand, for the tests of the graph at the class level: a stand-in for the resolver's own
classes, so that what the files and the page do with classes is tested apart from how they are found."""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import Any


def form_classes_by(names: Mapping[str, str]) -> Callable[..., list[tuple[str, str]]]:
    """The classes of normal forms as a store keeps them: the class that `names` gives a form, else one of its own
    named by it."""

    def form_classes(forms: Sequence[str], parts: Sequence[Any], lexicon: Any) -> list[tuple[str, str]]:
        return [(names.get(form, form), names.get(form, form)) for form in forms]

    return form_classes
