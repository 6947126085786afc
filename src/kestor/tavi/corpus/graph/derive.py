"""What the store derives from its evidence: each event's and each class's figures, and the edges between events
and between classes, in SQL over the evidence table.

An edge is every relation from one node to another: its count, the distinct articles it came from (their ids in
the order read, their dates as first and last seen and as articles per month, their force words counted once an
article), the labels of its relations, their mean and greatest strength, P(target | source) (its count over every
relation leaving the source) and lift (that over the target's share of all relations). At the class level the
relations of a class's events are added up, an article counted once for a class and for each of its edges however
many of its events it names.

Strengths are summed exactly, as integers in units of 2**-64 (a strength of a model, a double in [0, 1], is such
a multiple), and the mean is the correctly rounded quotient of the exact sum and the count: the same however the
evidence came in, a run at a time or all at once. A strength of 2**40 or more, which no extractor gives, is
averaged as a double instead.

Derivation is whole or by the nodes touched: `derive(connection, touched)` recomputes only what those nodes' rows
and edges are (their edges' probabilities with them), and every edge's lift, whose total changes with any relation.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from ..events import NodeKind

UNITS = 1 << 64
_UNITS_TEXT = "18446744073709551616.0"
_EXACT_BELOW = 2.0**40


def _exact_mean(units: int | None, count: int, fallback: float) -> float:
    """The correctly rounded mean of the exact sum `units` * 2**-64 of `count` strengths; `fallback` where a
    strength was too large to be summed so."""
    return fallback if units is None else units / (count * UNITS)


def prepare(connection: Any) -> None:
    """The function derivation calls, on this connection."""
    duckdb_types = ("HUGEINT", "BIGINT", "DOUBLE")
    try:
        connection.create_function(
            "kestor_exact_mean", _exact_mean, list(duckdb_types), "DOUBLE", null_handling="special"
        )
    except Exception as error:  # created on this connection before
        if "already" not in str(error).lower():
            raise


def _relations(kind: NodeKind) -> str:
    """The evidence as relations between nodes of `kind`."""
    if kind is NodeKind.EVENT:
        return "SELECT seq, article, date, source, target, label, strength, force FROM evidence"
    return (
        "SELECT e.seq, e.article, e.date, s.class AS source, t.class AS target, e.label, e.strength, e.force "
        "FROM evidence e JOIN events s ON s.id = e.source JOIN events t ON t.id = e.target"
    )


def edge_query(kind: NodeKind, where: str = "") -> str:
    """The SELECT of every edge between nodes of `kind` (a table's rows, without probability and lift), from
    the relations that `where` keeps (a condition on `seq`, `date`, `source`, `target`)."""
    return f"""
WITH rel AS (SELECT * FROM ({_relations(kind)}) {"WHERE " + where if where else ""}),
pairs AS (
    SELECT source, target, article, min(seq) AS first, any_value(date) AS date, any_value(force) AS force
    FROM rel GROUP BY source, target, article
),
figures AS (
    SELECT source, target, min(seq) AS seq, count(*) AS count, max(strength) AS strength_max,
        CASE WHEN count(*) = 1 THEN max(strength)
             ELSE kestor_exact_mean(
                CASE WHEN max(abs(strength)) < {_EXACT_BELOW} THEN
                    sum((CASE WHEN abs(strength) < {_EXACT_BELOW} THEN strength ELSE 0 END * {_UNITS_TEXT})::HUGEINT)
                END,
                count(*), sum(strength) / count(*))
        END AS strength_mean
    FROM rel GROUP BY source, target
),
by_label AS (
    SELECT source, target, map_from_entries(list(struct_pack(k := label, v := n) ORDER BY n DESC, first)) AS labels
    FROM (SELECT source, target, label, count(*) AS n, min(seq) AS first FROM rel GROUP BY ALL)
    GROUP BY source, target
),
by_article AS (
    SELECT source, target, count(*) AS articles, list(article ORDER BY first) AS article_ids,
        min(date) AS first_seen, max(date) AS last_seen
    FROM pairs GROUP BY source, target
),
by_force AS (
    SELECT source, target, map_from_entries(list(struct_pack(k := force, v := n) ORDER BY n DESC, first)) AS forces
    FROM (
        SELECT source, target, force, count(*) AS n, min(first) AS first FROM pairs WHERE force IS NOT NULL
        GROUP BY ALL
    )
    GROUP BY source, target
),
by_month AS (
    SELECT source, target, map_from_entries(list(struct_pack(k := month, v := n) ORDER BY month)) AS months
    FROM (
        SELECT source, target, strftime(date, '%Y-%m') AS month, count(*) AS n FROM pairs WHERE date IS NOT NULL
        GROUP BY ALL
    )
    GROUP BY source, target
)
SELECT f.seq, f.source, f.target, f.count, a.articles, f.strength_mean, f.strength_max, l.labels,
    coalesce(o.forces, MAP {{}}::MAP(VARCHAR, BIGINT)) AS forces, a.article_ids, a.first_seen, a.last_seen,
    coalesce(m.months, MAP {{}}::MAP(VARCHAR, BIGINT)) AS months
FROM figures f
JOIN by_label l USING (source, target)
JOIN by_article a USING (source, target)
LEFT JOIN by_force o USING (source, target)
LEFT JOIN by_month m USING (source, target)
"""


def node_query(kind: NodeKind, where: str = "") -> str:
    """(node, relations, articles) of each node of `kind` that a kept relation names: relations as source or
    target, a loop once."""
    return f"""
WITH rel AS (SELECT * FROM ({_relations(kind)}) {"WHERE " + where if where else ""}),
ends AS (SELECT source AS node, article FROM rel UNION ALL SELECT target, article FROM rel WHERE target <> source)
SELECT node, count(*) AS relations, count(DISTINCT article) AS articles FROM ends GROUP BY node
"""


def _table(kind: NodeKind) -> tuple[str, str]:
    return ("events", "edges") if kind is NodeKind.EVENT else ("classes", "class_edges")


def derive(connection: Any, touched: Iterable[int] | None = None, touched_classes: Iterable[int] | None = None) -> None:
    """The nodes' figures and aliases, and the edges, from the evidence: all of them, or where `touched` (event
    ids) and `touched_classes` say (both None: all)."""
    prepare(connection)
    for kind, nodes in ((NodeKind.EVENT, touched), (NodeKind.CLASS, touched_classes)):
        _derive_level(connection, kind, None if nodes is None else sorted(set(nodes)))


def _derive_level(connection: Any, kind: NodeKind, touched: list[int] | None) -> None:
    nodes, edges = _table(kind)
    connection.execute("CREATE OR REPLACE TEMP TABLE touched (id BIGINT)")
    if touched is None:
        connection.execute(f"INSERT INTO touched SELECT id FROM {nodes}")
    elif touched:
        connection.execute("INSERT INTO touched SELECT unnest(?)", [touched])
    near = "source IN (SELECT id FROM touched) OR target IN (SELECT id FROM touched)"
    figures = node_query(kind, near if touched is not None else "")
    connection.execute(
        f"""
        UPDATE {nodes} SET relations = coalesce(f.relations, 0), articles = coalesce(f.articles, 0)
        FROM (SELECT t.id, f.relations, f.articles FROM touched t LEFT JOIN ({figures}) f ON f.node = t.id) f
        WHERE {nodes}.id = f.id
        """
    )
    _derive_aliases(connection, kind)
    # Every edge of a touched source is recomputed, and with it the source's probabilities.
    if touched is None:
        connection.execute(f"DELETE FROM {edges}")
        where = ""
    else:
        connection.execute(f"DELETE FROM {edges} WHERE {near}")
        connection.execute(
            f"""
            INSERT INTO touched SELECT DISTINCT source FROM ({_relations(kind)})
            WHERE target IN (SELECT id FROM touched) AND source NOT IN (SELECT id FROM touched)
            """
        )
        connection.execute(f"DELETE FROM {edges} WHERE source IN (SELECT id FROM touched)")
        where = "source IN (SELECT id FROM touched)"
    connection.execute(
        f"""
        INSERT INTO {edges} BY NAME
        SELECT *, 0.0 AS probability, 0.0 AS lift FROM ({edge_query(kind, where)}) ORDER BY seq
        """
    )
    connection.execute(
        f"""
        UPDATE {edges} SET probability = {edges}.count / s.leaving
        FROM (SELECT source, sum(count) AS leaving FROM {edges} GROUP BY source) s
        WHERE {edges}.source = s.source {"AND s.source IN (SELECT id FROM touched)" if touched is not None else ""}
        """
    )
    connection.execute(
        f"""
        UPDATE {edges} SET lift = {edges}.probability / (t.entering / t.total)
        FROM (SELECT target, sum(count) AS entering, sum(sum(count)) OVER () AS total FROM {edges} GROUP BY target) t
        WHERE {edges}.target = t.target
        """
    )
    connection.execute("DROP TABLE touched")


def _derive_aliases(connection: Any, kind: NodeKind) -> None:
    """Each touched node's aliases: every spelling of it (of its events, for a class) with its mentions, the most
    first, ties in the order first seen."""
    nodes, _ = _table(kind)
    owner = "a.event" if kind is NodeKind.EVENT else "v.class"
    joined = "aliases a" if kind is NodeKind.EVENT else "aliases a JOIN events v ON v.id = a.event"
    connection.execute(
        f"""
        UPDATE {nodes} SET aliases = m.aliases
        FROM (
            SELECT {owner} AS id,
                map_from_entries(list(struct_pack(k := a.alias, v := a.mentions) ORDER BY a.mentions DESC, a.seq))
                    AS aliases
            FROM {joined} WHERE {owner} IN (SELECT id FROM touched) GROUP BY {owner}
        ) m
        WHERE {nodes}.id = m.id
        """
    )
