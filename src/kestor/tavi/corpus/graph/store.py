"""GRAPH_DIR/graph.duckdb: the corpus's event graph as a store that grows run by run, one DuckDB file whose tables
a user can query by hand (README documents them column by column) and copy to Parquet as they are.

    meta         key, value: the format, the runs' mode, the resolver's level, settings and their fingerprint
    runs         each OUT_DIR added: when, and what it held
    articles     each article added once: its id, date, the first characters of its text, its force word
    failures     the ids of "failed" lines read, which gave no relations (yet)
    evidence     one row per relation found: the article, the two events and the spellings that named them, the
                 label, the strength, the force word; the only table that grows with the corpus
    aliases      every spelling: its event, the tier and score that decided, mentions, normal form, when first seen
    forms        the resolver's reading of each normal form (its parts, its class), kept so that no update reads
                 a form twice
    grams        each form's character pairs: what finds the names already there that a new name is like
    events       stable ids: a name, a class, the figures, and a redirect where the event turned out to be one
                 with an earlier one
    classes      the events' classes: stable ids by the class's key
    edges        the relations between events, derived from the evidence: counts, P(target | source), lift,
    class_edges  strengths, labels, forces, articles, first and last seen, per month; the same between classes
    arcs         each edge's ends, strength and seq, stored in order of source and target, with its place in
    class_arcs   order of target (`entering`): what a search for paths reads whole without sorting 1.8 M edges first

An event's id is never reused or renumbered: when two events turn out to be one, the later one's row stays, its
`redirect` naming the earlier, and every question follows it. The evidence is keyed by article and the relation's
place in the article's list, and an article is added once: adding a run a second time changes nothing.

Every change is one transaction (`writing`): a change interrupted at any point leaves the store as it was. A store
of another format version is refused, never misread.
"""

from __future__ import annotations

import contextlib
import json
import os
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

from ..exits import GraphInputError, SetupError

STORE = "graph.duckdb"
FORMAT = "kestor-corpus event store, version 2"

_EDGE_COLUMNS = """
    seq BIGINT NOT NULL,
    source BIGINT NOT NULL,
    target BIGINT NOT NULL,
    count BIGINT NOT NULL,
    articles BIGINT NOT NULL,
    strength_mean DOUBLE NOT NULL,
    strength_max DOUBLE NOT NULL,
    labels MAP(VARCHAR, BIGINT) NOT NULL,
    forces MAP(VARCHAR, BIGINT) NOT NULL,
    article_ids VARCHAR[] NOT NULL,
    probability DOUBLE NOT NULL,
    lift DOUBLE NOT NULL,
    first_seen DATE,
    last_seen DATE,
    months MAP(VARCHAR, BIGINT) NOT NULL
"""

_ARC_COLUMNS = """
    source BIGINT NOT NULL,
    target BIGINT NOT NULL,
    strength DOUBLE NOT NULL,
    seq BIGINT NOT NULL,
    entering BIGINT NOT NULL
"""

SCHEMA = f"""
CREATE TABLE meta (key VARCHAR NOT NULL, value VARCHAR NOT NULL);
CREATE TABLE runs (
    run INTEGER NOT NULL,
    source VARCHAR NOT NULL,
    added TIMESTAMP NOT NULL,
    mode VARCHAR,
    fingerprint VARCHAR NOT NULL,
    part_files INTEGER NOT NULL,
    articles INTEGER NOT NULL,
    new_articles INTEGER NOT NULL,
    failed INTEGER NOT NULL,
    relations INTEGER NOT NULL
);
CREATE TABLE articles (
    article VARCHAR NOT NULL,
    seq BIGINT NOT NULL,
    date DATE,
    excerpt VARCHAR NOT NULL,
    force VARCHAR,
    relations INTEGER NOT NULL,
    digest VARCHAR NOT NULL,
    run INTEGER NOT NULL
);
CREATE TABLE failures (article VARCHAR NOT NULL, run INTEGER NOT NULL);
CREATE TABLE evidence (
    seq BIGINT NOT NULL,
    article VARCHAR NOT NULL,
    ordinal INTEGER NOT NULL,
    date DATE,
    source BIGINT NOT NULL,
    target BIGINT NOT NULL,
    source_alias VARCHAR NOT NULL,
    target_alias VARCHAR NOT NULL,
    label VARCHAR NOT NULL,
    strength DOUBLE NOT NULL,
    force VARCHAR,
    run INTEGER NOT NULL
);
CREATE TABLE aliases (
    alias VARCHAR NOT NULL,
    key VARCHAR NOT NULL,
    event BIGINT NOT NULL,
    tier VARCHAR NOT NULL,
    score DOUBLE NOT NULL,
    mentions BIGINT NOT NULL,
    normal_form VARCHAR NOT NULL,
    removed VARCHAR NOT NULL,
    seq BIGINT NOT NULL,
    first_seen DATE,
    run INTEGER NOT NULL
);
CREATE TABLE forms (form VARCHAR NOT NULL, parts VARCHAR, class_key VARCHAR, class_name VARCHAR);
CREATE TABLE grams (gram VARCHAR NOT NULL, form VARCHAR NOT NULL);
CREATE TABLE events (
    id BIGINT NOT NULL,
    name VARCHAR NOT NULL,
    class BIGINT,
    redirect BIGINT,
    articles BIGINT NOT NULL,
    relations BIGINT NOT NULL,
    aliases MAP(VARCHAR, BIGINT) NOT NULL
);
CREATE TABLE classes (
    id BIGINT NOT NULL,
    name VARCHAR NOT NULL,
    key VARCHAR NOT NULL,
    events BIGINT NOT NULL,
    articles BIGINT NOT NULL,
    relations BIGINT NOT NULL,
    aliases MAP(VARCHAR, BIGINT) NOT NULL
);
CREATE TABLE edges ({_EDGE_COLUMNS});
CREATE TABLE class_edges ({_EDGE_COLUMNS});
CREATE TABLE arcs ({_ARC_COLUMNS});
CREATE TABLE class_arcs ({_ARC_COLUMNS});
"""

TABLES = (
    "meta",
    "runs",
    "articles",
    "failures",
    "evidence",
    "aliases",
    "forms",
    "grams",
    "events",
    "classes",
    "edges",
    "class_edges",
    "arcs",
    "class_arcs",
)


def store_path(graph_dir: str | os.PathLike[str]) -> Path:
    return Path(graph_dir) / STORE


def has_store(graph_dir: str | os.PathLike[str]) -> bool:
    return store_path(graph_dir).is_file()


def connect(path: str | os.PathLike[str], *, write: bool = False) -> Any:
    """A connection to the store at `path`, checked to be one of this format (read-only unless `write`)."""
    duckdb = require_duckdb()
    where = Path(path)
    if not where.is_file():
        raise GraphInputError(f"{where}: no such store: a graph directory gets one from kestor-corpus graph build")
    try:
        connection = duckdb.connect(str(where), read_only=not write)
    except duckdb.IOException as error:
        if "lock" in str(error).lower():
            raise GraphInputError(
                f"{where}: in use by another process ({'a question or the server' if write else 'an update'} "
                "has it open): try again once it is done"
            ) from None
        raise GraphInputError(f"{where}: not a store this version can open ({_first_line(error)})") from None
    except duckdb.Error as error:
        raise GraphInputError(f"{where}: not a store this version can open ({_first_line(error)})") from None
    try:
        check_format(connection, where)
    except BaseException:
        connection.close()
        raise
    return connection


def create(path: str | os.PathLike[str], settings: Mapping[str, str]) -> Any:
    """A new, empty store at `path` (which must not exist) with these meta settings; open for writing."""
    duckdb = require_duckdb()
    connection = duckdb.connect(str(path))
    with writing(connection):
        connection.execute(SCHEMA)
        connection.executemany("INSERT INTO meta VALUES (?, ?)", [("format", FORMAT), *settings.items()])
    return connection


def check_format(connection: Any, where: Path) -> None:
    duckdb = require_duckdb()
    try:
        found = connection.execute("SELECT value FROM meta WHERE key = 'format'").fetchall()
    except duckdb.Error:
        found = []
    if not found:
        raise GraphInputError(f"{where}: not an event store of kestor-corpus graph (no format in its meta table)")
    [(written,)] = found
    if written != FORMAT:
        raise GraphInputError(
            f"{where}: a store of format {written!r}, while this version reads {FORMAT!r}: build it anew from its "
            "runs with kestor-corpus graph build (the runs table names them)"
        )


def first(result: Any) -> Any:
    """The first row of a query's result, or None; the result read to its end, which DuckDB asks before the
    connection does anything else."""
    rows = result.fetchall()
    return rows[0] if rows else None


def meta(connection: Any) -> dict[str, str]:
    return dict(connection.execute("SELECT key, value FROM meta").fetchall())


def set_meta(connection: Any, values: Mapping[str, str]) -> None:
    for key, value in values.items():
        connection.execute("DELETE FROM meta WHERE key = ?", [key])
        connection.execute("INSERT INTO meta VALUES (?, ?)", [key, value])


@contextlib.contextmanager
def writing(connection: Any) -> Iterator[None]:
    """One transaction: committed whole at the end, rolled back whole on any exception, an interrupt included."""
    connection.execute("BEGIN TRANSACTION")
    try:
        yield
    except BaseException:
        connection.execute("ROLLBACK")
        raise
    connection.execute("COMMIT")


def settings_json(settings: Mapping[str, Any]) -> str:
    return json.dumps(settings, ensure_ascii=False, sort_keys=True)


def require_duckdb() -> Any:
    try:
        import duckdb
    except ImportError as error:
        raise SetupError(
            f"the event store needs DuckDB, which is not installed ({error}): pip install "
            "'kestor-tavi-extractor[corpus]'"
        ) from None
    return duckdb


def _first_line(error: BaseException) -> str:
    return str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
