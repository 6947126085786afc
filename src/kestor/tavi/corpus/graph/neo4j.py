"""The store as the files that Neo4j's bulk importer reads as they are (`neo4j-admin database import full`): a CSV
file of nodes per level and of relationships per kind, each with the importer's header (`:ID`, `:START_ID`,
`:END_ID`, `:TYPE`, `:LABEL`, typed properties), and a README.txt with the command.

Events and classes are two id spaces (`Event`, `Class`) holding the store's ids, so a node keeps the id every other
file and question gives it. Arrays (an event's aliases, an edge's article ids) are joined by the unit separator,
U+001F, which no name holds (one that did would have it as U+FFFD), and the command names it; labels, force words
and months, texts with counts, are JSON text as in the GraphML. Names may hold line breaks: the command says so.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

from ..exits import GraphInputError

README = "README.txt"
ARRAY = "\x1f"
NODES = ("events.csv", "classes.csv")
RELATIONSHIPS = ("relations.csv", "class_relations.csv", "is_a.csv")


def _array(column: str) -> str:
    return f"array_to_string([replace(x, chr(31), chr(65533)) FOR x IN {column}], chr(31))"


_EDGES = """
    SELECT source AS ":START_ID({space})", target AS ":END_ID({space})", 'RELATION' AS ":TYPE",
        count AS "count:long", articles AS "articles:long", strength_mean AS "strength_mean:double",
        strength_max AS "strength_max:double", probability AS "probability:double", lift AS "lift:double",
        first_seen AS "first_seen:date", last_seen AS "last_seen:date", to_json(labels)::VARCHAR AS labels,
        to_json(forces)::VARCHAR AS forces, to_json(months)::VARCHAR AS months,
        {article_ids} AS "article_ids:string[]"
    FROM {table} ORDER BY seq
"""

QUERIES = {
    "events.csv": f"""
        SELECT id AS "id:ID(Event)", name, articles AS "articles:long", relations AS "relations:long",
            class AS "class:long", {_array("map_keys(aliases)")} AS "aliases:string[]", 'Event' AS ":LABEL"
        FROM events WHERE redirect IS NULL ORDER BY id
    """,
    "classes.csv": f"""
        SELECT id AS "id:ID(Class)", name, articles AS "articles:long", relations AS "relations:long",
            events AS "events:long", {_array("map_keys(aliases)")} AS "aliases:string[]", 'Class' AS ":LABEL"
        FROM classes WHERE events > 0 ORDER BY id
    """,
    "relations.csv": _EDGES.format(space="Event", table="edges", article_ids=_array("article_ids")),
    "class_relations.csv": _EDGES.format(space="Class", table="class_edges", article_ids=_array("article_ids")),
    "is_a.csv": """
        SELECT id AS ":START_ID(Event)", class AS ":END_ID(Class)", 'IS_A' AS ":TYPE"
        FROM events WHERE redirect IS NULL ORDER BY id
    """,
}


def import_command(directory: str) -> str:
    nodes = " ".join(f"--nodes={directory}/{name}" for name in NODES)
    relationships = " ".join(f"--relationships={directory}/{name}" for name in RELATIONSHIPS)
    return (
        f"bin/neo4j-admin database import full neo4j {nodes} {relationships} --array-delimiter=U+001F "
        "--multiline-fields=true"
    )


def write_neo4j(connection: Any, directory: str | os.PathLike[str]) -> list[str]:
    """The importer's files into `directory` (made; it must be empty if it exists); their names."""
    target = Path(directory)
    if target.exists() and (not target.is_dir() or any(target.iterdir())):
        raise GraphInputError(f"{target}: exists and is not an empty directory; name a new one for the Neo4j files")
    target.mkdir(parents=True, exist_ok=True)
    for name, query in QUERIES.items():
        quoted = str(target / name).replace("'", "''")
        connection.execute(f"COPY ({query}) TO '{quoted}' (FORMAT csv, HEADER, DELIMITER ',', QUOTE '\"')")
    (target / README).write_text(
        "The event graph for Neo4j's bulk importer. Put these files in the import directory of a Neo4j installation\n"
        "and run, with the database stopped and not yet made (the importer makes it):\n\n"
        f"    {import_command('import')}\n\n"
        "Nodes: events.csv (label Event) and classes.csv (label Class), each by the store's id in its own id space;\n"
        "relationships: relations.csv between events and class_relations.csv between classes (type RELATION, with\n"
        "count, articles, strength_mean, strength_max, probability, lift, first_seen, last_seen, labels, forces,\n"
        "months and article_ids), and is_a.csv from each event to its class (type IS_A).\n",
        encoding="utf-8",
    )
    return [*QUERIES, README]
