"""What a model gave for the merge (vectors, answers), kept in one SQLite file so a second build asks nothing."""

from __future__ import annotations

import sqlite3
from pathlib import Path


def connect(cache: Path | None, table: str) -> sqlite3.Connection | None:
    """The cache file with `table` (its CREATE TABLE text after the name) in it; none without a cache."""
    if cache is None:
        return None
    cache.parent.mkdir(parents=True, exist_ok=True)
    connection = sqlite3.connect(cache)
    connection.execute(f"CREATE TABLE IF NOT EXISTS {table}")
    return connection
