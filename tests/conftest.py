"""Fixtures of every area: the scripted endpoint, and the order in which the tests start."""

from __future__ import annotations

from collections.abc import Iterator

import pytest
from scripted_endpoint import ScriptedEndpoint


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    # Spread over workers, a slow test that starts last keeps the whole run waiting for it: slow ones go first.
    # The sort is stable and the same in every worker, as the distribution of the tests needs.
    items.sort(key=lambda item: item.get_closest_marker("slow") is None)


@pytest.fixture
def endpoint() -> Iterator[ScriptedEndpoint]:
    with ScriptedEndpoint() as running:
        yield running
