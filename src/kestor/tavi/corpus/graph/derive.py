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

Derivation is whole or by what an addition changed (`Changed`): the figures and aliases of the nodes it touched, the
edges of the pairs whose evidence changed, the probabilities of those pairs' sources, and every edge's lift, whose
total changes with any relation. An edge's figures are its own evidence's alone, so an edge made again is the edge
a whole derivation makes.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

from ..events import NodeKind

UNITS = 1 << 64
_UNITS_TEXT = "18446744073709551616.0"
_EXACT_BELOW = 2.0**40
PAIRS_PER_PASS = 250_000
"""Edges derived in one pass over the evidence."""


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


def _relations(kind: NodeKind, among: str = "", *, sources_only: bool = False) -> str:
    """The evidence as relations between nodes of `kind`. At the class level, where `among` (a query of class ids)
    is given, only the relations with an end (their source, if `sources_only`) of one of those classes: found by
    their events first, so that not all the evidence is joined to its events' classes."""
    if kind is NodeKind.EVENT:
        return "SELECT seq, article, date, source, target, label, strength, force FROM evidence"
    rows = "evidence"
    if among:
        members = f"(SELECT id FROM events WHERE class IN ({among}))"
        rows = f"(SELECT * FROM evidence WHERE source IN {members}{'' if sources_only else f' OR target IN {members}'})"
    return (
        "SELECT e.seq, e.article, e.date, s.class AS source, t.class AS target, e.label, e.strength, e.force "
        f"FROM {rows} e JOIN events s ON s.id = e.source JOIN events t ON t.id = e.target"
    )


def edge_query(kind: NodeKind, where: str = "", among: str = "") -> str:
    """The SELECT of every edge between nodes of `kind` (a table's rows, without probability and lift), from
    the relations that `where` keeps (a condition on `seq`, `date`, `source`, `target`), whose sources are
    `among` these (a query of node ids: all if not given)."""
    return f"""
WITH rel AS (
    SELECT * FROM ({_relations(kind, among, sources_only=True)}) {"WHERE " + where if where else ""}
),
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


def node_query(kind: NodeKind, where: str = "", among: str = "") -> str:
    """(node, relations, articles) of each node of `kind` that a kept relation names: relations as source or
    target, a loop once; of the relations with an end `among` these (a query of node ids: all if not given)."""
    return f"""
WITH rel AS (SELECT * FROM ({_relations(kind, among)}) {"WHERE " + where if where else ""}),
ends AS (SELECT source AS node, article FROM rel UNION ALL SELECT target, article FROM rel WHERE target <> source)
SELECT node, count(*) AS relations, count(DISTINCT article) AS articles FROM ends GROUP BY node
"""


def _table(kind: NodeKind) -> tuple[str, str]:
    return ("events", "edges") if kind is NodeKind.EVENT else ("classes", "class_edges")


def arcs_table(kind: NodeKind) -> str:
    return "arcs" if kind is NodeKind.EVENT else "class_arcs"


@dataclass
class Changed:
    """What an addition changed, so that derivation makes again only that: the nodes whose figures and aliases
    may differ, and the first new row of the evidence. What changed hands among the old rows is found against
    the `snapshot` taken before the addition changed anything."""

    events: set[int] = field(default_factory=set)
    classes: set[int] = field(default_factory=set)
    first_new: int = 0


def snapshot(connection: Any) -> None:
    """The ends of each relation of the evidence, as events and as classes, before an addition changes them: the
    temporary table `before`, which `derive` reads and drops."""
    connection.execute(
        """
        CREATE OR REPLACE TEMP TABLE before AS
        SELECT e.seq, e.source, e.target, s.class AS source_class, t.class AS target_class
        FROM evidence e JOIN events s ON s.id = e.source JOIN events t ON t.id = e.target
        """
    )


def derive(connection: Any, changed: Changed | None = None) -> None:
    """The nodes' figures and aliases, and the edges, from the evidence: all of them, or where `changed` says."""
    prepare(connection)
    if changed is not None:
        # The old relations whose ends changed: an alias moved to another event, an event to another class.
        connection.execute(
            """
            CREATE OR REPLACE TEMP TABLE shifted AS
            SELECT b.source AS old_source, b.target AS old_target, b.source_class AS old_source_class,
                b.target_class AS old_target_class, e.source, e.target, s.class AS source_class,
                t.class AS target_class
            FROM before b JOIN evidence e USING (seq) JOIN events s ON s.id = e.source JOIN events t ON t.id = e.target
            WHERE b.source <> e.source OR b.target <> e.target OR b.source_class IS DISTINCT FROM s.class
                OR b.target_class IS DISTINCT FROM t.class
            """
        )
    for kind in (NodeKind.EVENT, NodeKind.CLASS):
        if changed is None:
            _derive_level(connection, kind, None, 0)
        else:
            _derive_level(
                connection, kind, changed.events if kind is NodeKind.EVENT else changed.classes, changed.first_new
            )
    if changed is not None:
        connection.execute("DROP TABLE shifted")
        connection.execute("DROP TABLE before")


def _ids(connection: Any, name: str, ids: Iterable[int]) -> None:
    connection.execute(f"CREATE OR REPLACE TEMP TABLE {name} (id BIGINT)")
    listed = sorted(set(ids))
    if listed:
        connection.execute(f"INSERT INTO {name} SELECT unnest(?)", [listed])


def _derive_level(connection: Any, kind: NodeKind, touched: set[int] | None, first_new: int) -> None:
    nodes, edges = _table(kind)
    if touched is None:
        connection.execute(f"CREATE OR REPLACE TEMP TABLE touched AS SELECT id FROM {nodes}")
    else:
        _ids(connection, "touched", touched)
    # The pairs whose old relations changed hands, as they were and as they are; their ends are the moved nodes.
    suffix = "" if kind is NodeKind.EVENT else "_class"
    differ = f"old_source{suffix} IS DISTINCT FROM source{suffix} OR old_target{suffix} IS DISTINCT FROM target{suffix}"
    if touched is None:
        connection.execute("CREATE OR REPLACE TEMP TABLE moved_pairs (source BIGINT, target BIGINT)")
    else:
        connection.execute(
            f"""
            CREATE OR REPLACE TEMP TABLE moved_pairs AS
            SELECT DISTINCT old_source{suffix} AS source, old_target{suffix} AS target FROM shifted
            WHERE {differ}
            UNION
            SELECT DISTINCT source{suffix}, target{suffix} FROM shifted
            WHERE {differ}
            """
        )
    connection.execute(
        """
        CREATE OR REPLACE TEMP TABLE moved AS
        SELECT source AS id FROM moved_pairs WHERE source IS NOT NULL
        UNION SELECT target FROM moved_pairs WHERE target IS NOT NULL
        """
    )
    around = "source IN (SELECT id FROM moved) OR target IN (SELECT id FROM moved)"
    whole = "touched" if touched is None else "moved"
    figures = node_query(kind) if touched is None else node_query(kind, around, "SELECT id FROM moved")
    connection.execute(
        f"""
        UPDATE {nodes} SET relations = coalesce(f.relations, 0), articles = coalesce(f.articles, 0)
        FROM (SELECT t.id, f.relations, f.articles FROM {whole} t LEFT JOIN ({figures}) f ON f.node = t.id) f
        WHERE {nodes}.id = f.id
        """
    )
    if touched is not None:
        # New relations come from new articles alone: a node whose old evidence stayed adds theirs to its figures.
        connection.execute(
            f"""
            UPDATE {nodes} SET relations = {nodes}.relations + f.relations, articles = {nodes}.articles + f.articles
            FROM ({node_query(kind, f"seq >= {int(first_new)}")}) f
            WHERE {nodes}.id = f.node AND f.node NOT IN (SELECT id FROM moved)
            """
        )
    _derive_aliases(connection, kind)
    # Made again: the edges of the pairs of the new relations and of those that changed hands. Of the others,
    # only the probabilities of their sources and every lift.
    connection.execute(
        f"""
        CREATE OR REPLACE TEMP TABLE remade AS
        SELECT DISTINCT source, target FROM ({_relations(kind)}) WHERE seq >= ?
        UNION SELECT source, target FROM moved_pairs WHERE source IS NOT NULL AND target IS NOT NULL
        """,
        [first_new],
    )
    connection.execute(f"DELETE FROM {edges} WHERE (source, target) IN (SELECT source, target FROM remade)")
    # By shares of the sources, each a pass over the evidence: what a pass holds is the share's, not the store's.
    [(pairs,)] = connection.execute("SELECT count(*) FROM remade").fetchall()
    shares = max(1, -(-int(pairs) // PAIRS_PER_PASS))
    for share in range(shares):
        chosen = f"(SELECT source, target FROM remade WHERE source % {shares} = {share})"
        connection.execute(
            f"""
            INSERT INTO {edges} BY NAME
            SELECT *, 0.0 AS probability, 0.0 AS lift
            FROM ({edge_query(kind, f"(source, target) IN {chosen}", f"SELECT source FROM {chosen}")})
            ORDER BY seq
            """
        )
    connection.execute(
        f"""
        UPDATE {edges} SET probability = {edges}.count / s.leaving
        FROM (
            SELECT source, sum(count) AS leaving FROM {edges} WHERE source IN (SELECT source FROM remade)
            GROUP BY source
        ) s
        WHERE {edges}.source = s.source
        """
    )
    # A lift is over the share of all relations: any relation added changes every one.
    connection.execute(
        f"""
        UPDATE {edges} SET lift = {edges}.probability / (t.entering / t.total)
        FROM (SELECT target, sum(count) AS entering, sum(sum(count)) OVER () AS total FROM {edges} GROUP BY target) t
        WHERE {edges}.target = t.target
        """
    )
    for table in ("touched", "moved", "moved_pairs", "remade"):
        connection.execute(f"DROP TABLE {table}")
    # Written whole, in order: an edge made or gone moves every place after it.
    arcs = arcs_table(kind)
    connection.execute(f"DELETE FROM {arcs}")
    connection.execute(
        f"""
        INSERT INTO {arcs}
        SELECT source, target, strength_mean, seq, row_number() OVER (ORDER BY target, source) - 1 AS entering
        FROM {edges} ORDER BY source, target
        """
    )


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
