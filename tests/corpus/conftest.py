"""Fixtures of the corpus runner's tests."""

from __future__ import annotations

import pytest


@pytest.fixture(scope="module")
def cluster():
    """A local cluster of two worker processes, shared by the runs of a test module."""
    from distributed import Client, LocalCluster

    with (
        LocalCluster(n_workers=2, threads_per_worker=2, processes=True, dashboard_address=":0") as running,
        Client(running) as client,
    ):
        client.wait_for_workers(2)
        yield running, client


@pytest.fixture(scope="module")
def scheduler(request):
    """The scheduler of the local cluster that the corpus runs' tests start."""
    return request.getfixturevalue("cluster")[0].scheduler_address
