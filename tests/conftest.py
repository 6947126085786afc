"""Fixtures of every area: the scripted endpoint, a user cache directory of its own for each test, and the order in
which the tests start."""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path

import pytest
from scripted_endpoint import ScriptedEndpoint


@pytest.fixture(autouse=True)
def user_cache(tmp_path_factory: pytest.TempPathFactory, monkeypatch: pytest.MonkeyPatch) -> Path:
    """The user's cache directory of each test, so that no test reads or writes the real one, nor another test's
    answers."""
    directory = tmp_path_factory.mktemp("user-cache")
    monkeypatch.setenv("XDG_CACHE_HOME", str(directory))
    return directory


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    # Spread over workers, a slow test that starts last keeps the whole run waiting for it: slow ones go first.
    # The sort is stable and the same in every worker, as the distribution of the tests needs.
    items.sort(key=lambda item: item.get_closest_marker("slow") is None)


@pytest.fixture
def endpoint() -> Iterator[ScriptedEndpoint]:
    with ScriptedEndpoint() as running:
        yield running
