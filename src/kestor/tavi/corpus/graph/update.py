"""Runs added to a store: their new articles' relations become evidence, their new spellings are resolved into
events with stable ids, and what the evidence derives is made again where it changed. A build is the same addition
to an empty store.

How a new spelling finds its event: first the store's aliases, by its event key and by its normal form at once (a
spelling of a known key, or of a known normal form, is that name's event); then the resolver (same tiers, rules,
parts and classes as a build), over the new names and the names already there that they touch. While the store holds
no more than FULL_LIMIT names, that is every name, resolved anew in the order first seen, so that a chain of
updates gives the events of a rebuild from the same runs; beyond, it is the new names and, for each, the events of
the names it is most like (the character pairs they share, rarest first), whole, so that an update of one day does
not read a million names again; the events at the other end of their relations stand for the names around them.
What the resolver read of a name (its normal form, its parts) is kept in the store and not read again.

Ids: a group the resolver made takes the id of each old event whose first name it holds; of several, the earliest,
the others redirecting to it (and every redirect to them following); with none, a new id. So an id is never reused
or renumbered, and an event whose names part ways keeps its id with its first name.

The whole addition is one transaction: interrupted at any point, the store is as it was.
"""

from __future__ import annotations

import datetime
import json
from collections import Counter, defaultdict
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .. import output
from ..events import Level, Tier
from ..events.classes import class_name, fallback_class, name_classes, vote
from ..events.lexicon import Lexicon
from ..events.names import event_key
from ..events.neighbours import KIN_DEGREE
from ..events.normal import Normal, readable
from ..events.normal import normalize as _normalize
from ..events.parts import Parser, Parts
from ..events.resolver import Settings
from ..events.similar import MAX_DF
from ..exits import GraphInputError
from ..inputs import id_key
from .derive import Changed, derive, snapshot
from .evidence import Evidence
from .resolve import Resolved, ResolveOptions, fingerprint, recipe, resolve_keys
from .store import first, meta, set_meta, settings_json

FULL_LIMIT = 20_000
"""Names (event keys) up to which an update resolves every name of the store anew: seconds, and a rebuild's events."""
NEAREST = 8
"""The names already there that a new name brings into an update's resolution, those it is most like."""
BATCH = 200_000
"""Rows handed to the store at once: what an addition holds as Python objects and Arrow columns beside the store,
whatever the number of names and relations."""


@dataclass
class Run:
    """An OUT_DIR to add: where it is and what it holds."""

    source: str
    evidence: Evidence
    paths: Sequence[str] = ()
    """Its part files, to name the line of an article that conflicts with the store."""


@dataclass
class Added:
    """What an addition did."""

    runs: list[int] = field(default_factory=list)
    articles: int = 0
    """"ok" lines read."""
    new_articles: int = 0
    known_articles: int = 0
    """Articles that the store held already, as they are: left out."""
    relations: int = 0
    new_spellings: int = 0
    new_events: int = 0
    redirects: int = 0
    resolved: int = 0
    """Names the resolver decided (again)."""
    level: Level = Level.SIMILAR
    warnings: list[str] = field(default_factory=list)
    usage: dict[str, Any] = field(default_factory=dict)
    joins: dict[str, int] = field(default_factory=dict)
    refused: dict[str, int] = field(default_factory=dict)


def add_runs(
    connection: Any,
    runs: Sequence[Run],
    options: ResolveOptions,
    *,
    client: Any = None,
    allow_other_mode: bool = False,
    allow_other_config: bool = False,
    full_limit: int = FULL_LIMIT,
) -> Added:
    """Add these runs to the store, in one transaction (the caller's: see `store.writing`)."""
    known = meta(connection)
    settings = recipe(options)
    printed = fingerprint(settings)
    has_runs = connection.execute("SELECT count(*) FROM runs").fetchall()[0][0] > 0
    stored_mode = known.get("mode")
    for run in runs:
        mode = run.evidence.mode
        if has_runs and stored_mode and mode and mode != stored_mode and not allow_other_mode:
            raise GraphInputError(
                f"{run.source}: the output of {_a(mode)} run, while the store holds {_a(stored_mode)} run's: "
                "--allow-other-mode adds it all the same"
            )
        stored_mode = stored_mode or mode
    if has_runs and known.get("fingerprint") != printed and not allow_other_config:
        raise GraphInputError(_settings_differ(known, settings))
    added = Added(level=options.level)
    first_run = connection.execute("SELECT coalesce(max(run), 0) + 1 FROM runs").fetchall()[0][0]
    added.runs = list(range(first_run, first_run + len(runs)))
    # One run's evidence is taken as it is: a copy of a million relations is most of a gigabyte.
    combined = runs[0].evidence if len(runs) == 1 else Evidence()
    if len(runs) > 1:
        for run in runs:
            combined.absorb(run.evidence, across_runs=True)
    run_of_article = [first_run + index for index, run in enumerate(runs) for _ in range(run.evidence.articles)]
    fresh = _new_articles(connection, runs, combined)
    added.articles = combined.articles
    added.new_articles = len(fresh)
    added.known_articles = combined.articles - len(fresh)
    _add(connection, combined, fresh, run_of_article, options, client, added, full_limit)
    now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
    start = 0
    for number, run in zip(added.runs, runs, strict=True):
        chosen = [article for article in fresh if start <= article < start + run.evidence.articles]
        start += run.evidence.articles
        relations = sum(combined.article_relations[article] for article in chosen)
        if run.evidence.failed_ids:
            connection.execute("INSERT INTO failures SELECT unnest(?), ?", [run.evidence.failed_ids, number])
        connection.execute(
            "INSERT INTO runs VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            [
                number,
                run.source,
                now,
                run.evidence.mode,
                printed,
                run.evidence.part_files,
                run.evidence.articles,
                len(chosen),
                run.evidence.failed,
                relations,
            ],
        )
    generation = int(known.get("generation", "0")) + 1
    set_meta(
        connection,
        {
            "mode": stored_mode or "",
            "level": str(added.level),
            "settings": settings_json(settings),
            "fingerprint": printed,
            "generation": str(generation),
        },
    )
    return added


def _a(mode: str) -> str:
    return f"{'an' if mode == 'articles' else 'a'} {mode}"


def _settings_differ(known: dict[str, str], settings: dict[str, Any]) -> str:
    stored = json.loads(known.get("settings", "{}"))
    differing = [key for key in sorted(set(stored) | set(settings)) if stored.get(key) != settings.get(key)]
    said = {
        "merge": "--merge",
        "embeddings": "--embeddings",
        "judge": "the judge's prompt (--config)",
        "judge_max": "--judge-max",
        "lexicon": "merge.lexicon (--config)",
        "polarity": "merge.polarity (--config)",
        "overrides": "--merge-overrides",
        "rules": "the resolver's shipped rules (another version of kestor-tavi-extractor)",
    }
    named = ", ".join(said.get(key, key) for key in differing)
    return (
        f"the store's names were resolved otherwise ({named} differ from the store's): names resolved two ways would "
        "make one graph of two rules; leave the options out to resolve as the store does, or --allow-other-config"
    )


def _new_articles(connection: Any, runs: Sequence[Run], combined: Evidence) -> list[int]:
    """The articles not in the store yet, each once (by position in `combined`); an article the store holds, or
    that an earlier run of these holds, with other relations is refused."""
    import pyarrow as pa

    incoming = pa.table(
        {
            "article": pa.array(combined.article_ids, type=pa.string()),
            "digest": pa.array(combined.article_digests, type=pa.string()),
            "position": pa.array(range(combined.articles), type=pa.int64()),
        }
    )
    with registered(connection, "incoming_articles", incoming):
        stored = connection.execute(
            "SELECT i.position, i.digest = a.digest, a.run FROM incoming_articles i JOIN articles a USING (article)"
        ).fetchall()
    known: dict[int, tuple[bool, int]] = {position: (same, run) for position, same, run in stored}
    first_at: dict[str, int] = {}
    fresh = []
    for position, (article, digest) in enumerate(zip(combined.article_ids, combined.article_digests, strict=True)):
        found = known.get(position)
        if found is not None:
            same, run = found
            if not same:
                raise GraphInputError(_conflict(runs, position, article, f"the store's run {run}"))
            continue
        earlier = first_at.get(article)
        if earlier is not None:
            if combined.article_digests[earlier] != digest:
                raise GraphInputError(_conflict(runs, position, article, "an earlier OUT_DIR of these"))
            continue
        first_at[article] = position
        fresh.append(position)
    return fresh


def _conflict(runs: Sequence[Run], position: int, article: str, where: str) -> str:
    for run in runs:
        if position >= run.evidence.articles:
            position -= run.evidence.articles
            continue
        for path in run.paths:
            for number, entry in output.entries(Path(path)):
                if entry["status"] == "ok" and id_key(entry["id"]) == article:
                    return (
                        f"{path}:{number}: article {article} is in {where} with other relations: a store adds an "
                        "article once (build a new store to take the new answers)"
                    )
        break
    return f"article {article} is in {where} with other relations: a store adds an article once"


@dataclass
class _Names:
    """The names an addition decides: event keys, with what the store knows of them."""

    keys: list[str]
    old_event: dict[str, int]
    """The event of each key the store held."""
    normals: dict[str, Normal]
    parts: dict[str, Parts]
    """What the store read of each normal form before."""

    def names(self, name: str) -> bool:
        """Whether `name` is one of these names, by its event key or its normal form."""
        key = event_key(name)
        if key in self.keys:
            return True
        forms = {normal.form for normal in self.normals.values()}
        return bool(key) and _normalize([key])[0].form in forms


def _add(
    connection: Any,
    evidence: Evidence,
    fresh: list[int],
    run_of_article: list[int],
    options: ResolveOptions,
    client: Any,
    added: Added,
    full_limit: int,
) -> None:
    import numpy as np

    keep = np.zeros(evidence.articles, dtype=bool)
    keep[fresh] = True
    articles = np.frombuffer(evidence.article, dtype=np.int64)
    rows = np.flatnonzero(keep[articles]) if len(articles) else np.zeros(0, dtype=np.int64)
    added.relations = len(rows)
    sources = np.frombuffer(evidence.source, dtype=np.int64)[rows]
    targets = np.frombuffer(evidence.target, dtype=np.int64)[rows]
    used = np.unique(np.concatenate([sources, targets]))
    spellings = list(evidence.spellings)
    used_spellings = [spellings[number] for number in used.tolist()]
    known_alias = dict(
        _fetch(connection, "SELECT alias, event FROM aliases WHERE alias IN (SELECT value FROM wanted)", used_spellings)
    )
    new_spellings = [text for text in used_spellings if text not in known_alias]
    added.new_spellings = len(new_spellings)
    new_keys = list(dict.fromkeys(evidence.keys[evidence.spellings[text]] for text in new_spellings))
    key_event = dict(
        _fetch(
            connection,
            "SELECT key, any_value(event) FROM aliases WHERE key IN (SELECT value FROM wanted) GROUP BY key",
            new_keys,
        )
    )
    unknown_keys = [key for key in new_keys if key not in key_event]

    stored_keys = connection.execute("SELECT count(DISTINCT key) FROM aliases").fetchall()[0][0]
    ends = _Ends(spellings, evidence.keys, known_alias, key_event, {})
    torn = _torn_events(ends, sources, targets)
    whole = stored_keys <= full_limit
    kin = (
        _kin_events(connection, ends, sources, targets, unknown_keys)
        if not whole and options.level.runs(Level.SIMILAR)
        else []
    )
    names, matched = _names_to_resolve(connection, unknown_keys, options, whole, torn + kin)
    ends.matched = matched
    lexicon_of: list[Lexicon] = []

    def adjust(settings: Settings) -> None:
        lexicon_of.append(settings.lexicon or Lexicon.shipped())
        if stored_keys:
            # A store's overrides may name events that have not come yet, or that this update does not touch.
            settings.overrides = [
                item for item in settings.overrides if names.names(item.first) and names.names(item.second)
            ]
        normalize, parse = settings.normalize, settings.parse

        def cached_normals(keys: Sequence[str]) -> list[Normal]:
            missing = [key for key in keys if key not in names.normals]
            made = dict(zip(missing, normalize(missing), strict=True)) if missing else {}
            return [names.normals.get(key) or made[key] for key in keys]

        def cached_parts(parser: Parser, forms: Sequence[str]) -> list[Parts]:
            missing = [form for form in forms if form not in names.parts]
            made: list[Parts] = []
            if missing:
                made = parse(parser, missing) if parse is not None else parser.parse(missing)
            found = dict(zip(missing, made, strict=True))
            return [names.parts.get(form) or found[form] for form in forms]

        settings.normalize = cached_normals
        settings.parse = cached_parts

    related = _related(connection, names.keys, evidence, sources, targets) if names.keys else None
    outside = _outside(connection, names.keys, ends, sources, targets) if names.keys and not whole else None
    del ends

    def adjust_all(settings: Settings) -> None:
        adjust(settings)
        settings.outside = outside

    resolved = resolve_keys(names.keys, options, client, related=related, adjust=adjust_all) if names.keys else None
    lexicon = lexicon_of[0] if lexicon_of else Lexicon.shipped()
    normal_of = dict(names.normals)
    if resolved is not None:
        normal_of.update(zip(names.keys, resolved.resolution.normals, strict=True))
        added.level = resolved.level
        added.warnings.extend(resolved.warnings)
        added.usage = resolved.usage
        added.resolved = len(names.keys)
        added.joins = dict(resolved.resolution.joins)
        added.refused = dict(resolved.resolution.refused)

    # Ids for the resolver's groups, and where old events went.
    next_id = connection.execute("SELECT coalesce(max(id), 0) + 1 FROM events").fetchall()[0][0]
    event_of_key: dict[str, int] = {}
    tier_of_key: dict[str, tuple[Tier, float]] = {}
    redirects: dict[int, int] = {}
    new_events: list[int] = []
    if resolved is not None:
        resolution = resolved.resolution
        anchors: dict[int, int] = {}
        for index, key in enumerate(names.keys):
            old = names.old_event.get(key)
            if old is not None and old not in anchors:
                anchors[old] = index
        inherited: dict[int, list[int]] = {}
        for old, index in anchors.items():
            inherited.setdefault(resolution.event_of[index], []).append(old)
        group_id: dict[int, int] = {}
        for group in range(resolution.events):
            olds = sorted(inherited.get(group, ()))
            if olds:
                group_id[group] = olds[0]
                for other in olds[1:]:
                    redirects[other] = olds[0]
            else:
                group_id[group] = next_id
                new_events.append(next_id)
                next_id += 1
        for index, key in enumerate(names.keys):
            event_of_key[key] = group_id[resolution.event_of[index]]
            tier_of_key[key] = (resolution.tier[index], round(resolution.score[index], 4))
        del resolution
    for key, event in matched.items():
        event_of_key[key] = redirects.get(event, event)
        tier_of_key[key] = (Tier.NORMAL, 1.0)
    added.new_events = len(new_events)
    added.redirects = len(redirects)

    # Events: the new ones, and the redirects (every earlier redirect to a redirected event following it).
    redirected_classes = {
        group
        for (group,) in connection.execute(
            "SELECT class FROM events WHERE id IN (SELECT unnest(?)) AND class IS NOT NULL", [list(redirects)]
        ).fetchall()
    }
    snapshot(connection)
    if new_events:
        connection.execute(
            "INSERT INTO events SELECT unnest(?), '', NULL, NULL, 0, 0, MAP {}::MAP(VARCHAR, BIGINT)", [new_events]
        )
    if redirects:
        connection.execute(
            "CREATE OR REPLACE TEMP TABLE moved AS SELECT unnest(?) AS id, unnest(?) AS redirect",
            [list(redirects), list(redirects.values())],
        )
        connection.execute(
            """
            UPDATE events SET redirect = m.redirect, class = NULL, articles = 0, relations = 0,
                aliases = MAP {}::MAP(VARCHAR, BIGINT)
            FROM moved m WHERE events.id = m.id
            """
        )
        connection.execute("UPDATE events SET redirect = m.redirect FROM moved m WHERE events.redirect = m.id")
        connection.execute("DROP TABLE moved")

    # Aliases: the old ones that moved or were decided again, then the new spellings.
    touched: set[int] = set(new_events) | set(redirects.values())
    changed = _old_aliases(connection, names, event_of_key, tier_of_key, touched)
    seq = connection.execute("SELECT coalesce(max(seq), 0) FROM aliases").fetchall()[0][0]
    keys = evidence.keys
    first_spelling_of_key: dict[str, str] = {}
    new_rows = []
    for text in new_spellings:
        key = keys[evidence.spellings[text]]
        seq += 1
        if key in key_event:  # another spelling of a key the store knows
            known: int = key_event[key]
            event = redirects.get(known, known)
            tier, score = Tier.EXACT, 1.0
            normal = _stored_normal(connection, key)
        else:
            event = event_of_key[key]
            tier, score = tier_of_key[key]
            if key in first_spelling_of_key and tier is Tier.NAME:
                tier = Tier.EXACT
            first_spelling_of_key.setdefault(key, text)
            normal = normal_of.get(key) or Normal(key)
        touched.add(event)
        new_rows.append((text, key, event, str(tier), score, normal.form, _removed(normal), seq))
    run_of = np.asarray(run_of_article, dtype=np.int64)
    if new_rows:
        first_run = dict.fromkeys(new_spellings)
        for number in rows.tolist():
            for end in (evidence.source[number], evidence.target[number]):
                text = spellings[end]
                if text in first_run and first_run[text] is None:
                    first_run[text] = int(run_of[evidence.article[number]])
        _insert_aliases(connection, new_rows, first_run)
        del first_run

    # Forms: what the resolver read of each normal form, and its class.
    if resolved is not None:
        _keep_forms(connection, names, resolved, lexicon)
    new_class_keys = _new_class_keys(connection, resolved)
    level = resolved.level if resolved is not None else None
    # What the resolver read of every name is in the store now: let it go before the evidence comes in.
    del resolved, normal_of, new_rows, event_of_key, tier_of_key, key_event, known_alias, matched
    del used_spellings, new_spellings, first_spelling_of_key

    # Evidence: the old rows of moved aliases follow them; the new rows come in.
    if changed:
        for end in ("source", "target"):
            connection.execute(
                f"""
                UPDATE evidence SET {end} = a.event FROM aliases a
                WHERE a.alias = evidence.{end}_alias AND a.alias IN (SELECT alias FROM changed)
                    AND evidence.{end} <> a.event
                """
            )
        connection.execute("DROP TABLE changed")
    first_new = connection.execute("SELECT coalesce(max(seq), 0) + 1 FROM evidence").fetchall()[0][0]
    _insert_evidence(connection, evidence, rows, fresh, run_of, touched)

    # Mentions and first seen of every spelling the new relations name.
    _count_mentions(connection, evidence, rows)

    touched = {redirects.get(event, event) for event in touched} - set(redirects)
    touched_classes = _name_and_class(connection, touched, new_class_keys, lexicon, level)
    derive(connection, Changed(touched | set(redirects), touched_classes | redirected_classes, first_new))


def _insert_aliases(connection: Any, new_rows: list[tuple[Any, ...]], first_run: dict[str, int | None]) -> None:
    """The new spellings' rows (alias, key, event, tier, score, normal form, removed, seq), with the run each
    was first named in."""
    import pyarrow as pa

    for begin in range(0, len(new_rows), BATCH):
        batch = new_rows[begin : begin + BATCH]
        table = pa.table(
            {
                "alias": pa.array([row[0] for row in batch], type=pa.string()),
                "key": pa.array([row[1] for row in batch], type=pa.string()),
                "event": pa.array([row[2] for row in batch], type=pa.int64()),
                "tier": pa.array([row[3] for row in batch], type=pa.string()),
                "score": pa.array([row[4] for row in batch], type=pa.float64()),
                "mentions": pa.array([0] * len(batch), type=pa.int64()),
                "normal_form": pa.array([row[5] for row in batch], type=pa.string()),
                "removed": pa.array([row[6] for row in batch], type=pa.string()),
                "seq": pa.array([row[7] for row in batch], type=pa.int64()),
                "first_seen": pa.array([None] * len(batch), type=pa.date32()),
                "run": pa.array([first_run[row[0]] for row in batch], type=pa.int32()),
            }
        )
        with registered(connection, "new_aliases", table):
            connection.execute("INSERT INTO aliases SELECT * FROM new_aliases")


def _related(connection: Any, keys: list[str], evidence: Evidence, sources: Any, targets: Any) -> tuple[Any, Any]:
    """The pairs of these keys that a relation joins, the store's and the new ones (sources to targets, spellings
    of `evidence`), as two arrays of indices into `keys`: a cause and its effect are two events, through every
    update as in a rebuild."""
    import numpy as np

    index = {key: number for number, key in enumerate(keys)}
    of_spelling = np.asarray([index.get(key, -1) for key in evidence.keys], dtype=np.int64)
    first, second = of_spelling[sources], of_spelling[targets]
    stored = (
        []
        if not _has_evidence(connection)
        else _fetch(
            connection,
            """
        SELECT DISTINCT s.key, t.key FROM evidence e
        JOIN aliases s ON s.alias = e.source_alias JOIN aliases t ON t.alias = e.target_alias
        WHERE s.key <> t.key AND s.key IN (SELECT value FROM wanted) AND t.key IN (SELECT value FROM wanted)
        """,
            keys,
        )
    )
    old_first = np.asarray([index[source] for source, _ in stored], dtype=np.int64)
    old_second = np.asarray([index[target] for _, target in stored], dtype=np.int64)
    first, second = np.concatenate([first, old_first]), np.concatenate([second, old_second])
    kept = (first >= 0) & (second >= 0) & (first != second)
    return first[kept], second[kept]


@dataclass
class _Ends:
    """The event that each end of a new relation has before the resolver runs, where it has one."""

    spellings: list[str]
    keys: list[str]
    known_alias: dict[str, int]
    key_event: dict[str, int]
    matched: dict[str, int]
    """The new keys whose normal form the store knows, with that form's event: empty until they are looked up."""

    def event(self, spelling: int) -> int | None:
        key = self.keys[spelling]
        found = self.known_alias.get(self.spellings[spelling])
        return found if found is not None else self.key_event.get(key, self.matched.get(key))


def _outside(connection: Any, keys: list[str], ends: _Ends, sources: Any, targets: Any) -> tuple[Any, Any, Any]:
    """The relations of these keys to events of names not among them, the store's and the new ones: (index into
    `keys`, event, whether the key is the cause). What the store says around a name that an update resolves
    without the names of its neighbours."""
    import numpy as np

    index = {key: number for number, key in enumerate(keys)}
    found: list[tuple[int, int, bool]] = []
    evidence_keys = ends.keys
    for source, target in zip(sources.tolist(), targets.tolist(), strict=True):
        for near, far, cause in ((source, target, True), (target, source, False)):
            number = index.get(evidence_keys[near])
            if number is not None and evidence_keys[far] not in index:
                event = ends.event(far)
                if event is not None:
                    found.append((number, event, cause))
    if _has_evidence(connection):
        for end, other, cause in (("source", "target", True), ("target", "source", False)):
            stored = _fetch(
                connection,
                f"""
                SELECT DISTINCT n.key, e.{other} FROM evidence e
                JOIN aliases n ON n.alias = e.{end}_alias JOIN aliases f ON f.alias = e.{other}_alias
                WHERE n.key IN (SELECT value FROM wanted) AND f.key NOT IN (SELECT value FROM wanted)
                """,
                keys,
            )
            found.extend((index[key], event, cause) for key, event in stored)
    if not found:
        empty = np.zeros(0, dtype=np.int64)
        return empty, empty, np.zeros(0, dtype=bool)
    names, events, causes = zip(*found, strict=True)
    return np.asarray(names, dtype=np.int64), np.asarray(events, dtype=np.int64), np.asarray(causes, dtype=bool)


def _has_evidence(connection: Any) -> bool:
    return bool(connection.execute("SELECT EXISTS (SELECT 1 FROM evidence)").fetchall()[0][0])


def _new_class_keys(connection: Any, resolved: Resolved | None) -> set[str]:
    """The class keys of the forms resolved: their classes' names may change with the names they bring."""
    if resolved is None:
        return set()
    forms = sorted({normal.form for normal in resolved.resolution.normals})
    return {
        key
        for (key,) in _fetch(
            connection, "SELECT DISTINCT class_key FROM forms WHERE form IN (SELECT value FROM wanted)", forms
        )
        if key is not None
    }


@contextmanager
def registered(connection: Any, name: str, table: Any) -> Iterator[None]:
    """`table` readable by `name` in the connection's queries while the block runs."""
    connection.register(name, table)
    try:
        yield
    finally:
        connection.unregister(name)


def _fetch(connection: Any, query: str, values: Sequence[str]) -> list[tuple[Any, ...]]:
    """`query` over the temporary table `wanted` of these values."""
    import pyarrow as pa

    wanted = pa.table({"value": pa.array(list(values), type=pa.string())})
    with registered(connection, "wanted", wanted):
        result: list[tuple[Any, ...]] = connection.execute(query).fetchall()
        return result


def _stored_normal(connection: Any, key: str) -> Normal:
    found = first(connection.execute("SELECT normal_form, removed FROM aliases WHERE key = ? LIMIT 1", [key]))
    return Normal(found[0], _parse_removed(found[1])) if found else Normal(key)


def _removed(normal: Normal) -> str:
    return "; ".join(f"{kind}:{text}" for kind, text in normal.removed)


def _parse_removed(text: str) -> tuple[tuple[str, str], ...]:
    return tuple(tuple(item.split(":", 1)) for item in text.split("; ") if ":" in item)  # type: ignore[misc]


def _torn_events(ends: _Ends, sources: Any, targets: Any) -> list[int]:
    """The events of the store that a new relation says bring themselves about under two keys: their names are
    resolved again, and a cause and its effect part."""
    if not ends.known_alias and not ends.key_event:
        return []
    keys = ends.keys
    torn: set[int] = set()
    for source, target in zip(sources.tolist(), targets.tolist(), strict=True):
        if keys[source] == keys[target]:
            continue
        event = ends.event(source)
        if event is not None and event == ends.event(target):
            torn.add(event)
    return sorted(torn)


def _kin_events(connection: Any, ends: _Ends, sources: Any, targets: Any, new_keys: list[str]) -> list[int]:
    """The events of the store that share a neighbour on one side with a new name (both cause it, or both are
    caused by it), where that neighbour has few enough such events to say something of them (KIN_DEGREE): those the
    resolver may find one event with a new name by their neighbours alone, as a rebuild would."""
    if not new_keys or not _has_evidence(connection):
        return []
    new = set(new_keys)
    keys = ends.keys
    effects: set[int] = set()
    causes: set[int] = set()
    for source, target in zip(sources.tolist(), targets.tolist(), strict=True):
        for near, far, found in ((source, target, effects), (target, source, causes)):
            if keys[near] in new:
                event = ends.event(far)
                if event is not None:
                    found.add(event)
    kin: set[int] = set()
    for end, other, around in (("target", "source", effects), ("source", "target", causes)):
        if around:
            kin.update(
                event
                for (event,) in connection.execute(
                    f"""
                    SELECT DISTINCT {other} FROM evidence WHERE {end} IN (
                        SELECT {end} FROM evidence WHERE {end} IN (SELECT unnest(?))
                        GROUP BY {end} HAVING count(DISTINCT {other}) <= ?
                    )
                    """,
                    [sorted(around), KIN_DEGREE],
                ).fetchall()
            )
    return sorted(kin)


def _names_to_resolve(
    connection: Any, new_keys: list[str], options: ResolveOptions, whole: bool, others: list[int]
) -> tuple[_Names, dict[str, int]]:
    """The keys to resolve, in the order first seen, with what the store knows of them; and the new keys whose
    normal form the store knows, with that form's event (resolved so without the resolver). Beyond the new keys,
    the names of the events they are most like and of the `others` (those a new relation tears, those that share a
    neighbour with a new name)."""
    level = options.level
    matched: dict[str, int] = {}
    stored_normals: dict[str, Normal] = {}
    if whole:
        stored = connection.execute(
            """
            SELECT key, any_value(event), any_value(normal_form), any_value(removed), min(seq) AS first
            FROM aliases GROUP BY key ORDER BY first
            """
        ).fetchall()
        keys = [row[0] for row in stored] + new_keys
        if stored and level is not Level.EXACT:
            stored_normals = dict(zip(new_keys, _normalize(new_keys), strict=True))
    else:
        found = _normalize(new_keys) if level is not Level.EXACT else [Normal(key) for key in new_keys]
        forms = dict(zip(new_keys, found, strict=True))
        form_event = (
            dict(
                _fetch(
                    connection,
                    "SELECT normal_form, any_value(event) FROM aliases WHERE normal_form IN (SELECT value FROM wanted) "
                    "GROUP BY normal_form",
                    [normal.form for normal in found],
                )
            )
            if level is not Level.EXACT
            else {}
        )
        unknown = []
        for key in new_keys:
            event = form_event.get(forms[key].form)
            if event is not None:
                matched[key] = event
            else:
                unknown.append(key)
        near = (
            _near_events(connection, [forms[key].form for key in unknown]) + others if level.runs(Level.SIMILAR) else []
        )
        stored = connection.execute(
            """
            SELECT key, any_value(event), any_value(normal_form), any_value(removed), min(seq) AS first
            FROM aliases WHERE event IN (SELECT unnest(?)) GROUP BY key ORDER BY first
            """,
            [near],
        ).fetchall()
        keys = [row[0] for row in stored] + unknown
        stored_normals = dict(forms)
    old_event = {row[0]: row[1] for row in stored}
    normals = {row[0]: Normal(row[2], _parse_removed(row[3])) for row in stored}
    normals.update(stored_normals)
    parts = {}
    for form, text in _fetch(
        connection,
        "SELECT form, parts FROM forms WHERE parts IS NOT NULL AND form IN (SELECT value FROM wanted)",
        list({normal.form for normal in normals.values()}),
    ):
        parts[form] = _parts(json.loads(text))
    return _Names(keys, old_event, normals, parts), matched


def _parts(fields: list[Any]) -> Parts:
    thing, owner, head, happening, polarity, predicate, agent, target, place, parsed = fields
    return Parts(
        thing,
        owner,
        head,
        happening,
        tuple(tuple(pair) for pair in polarity),
        predicate,
        agent,
        target,
        tuple(place),
        parsed,
    )


def _near_events(connection: Any, forms: list[str]) -> list[int]:
    """The events of the names already there that these new forms are most like: those sharing their rarest
    character pairs, NEAREST a form."""
    import pyarrow as pa

    if not forms:
        return []
    with registered(
        connection, "new_forms", pa.table({"form": pa.array(list(dict.fromkeys(forms)), type=pa.string())})
    ):
        found = connection.execute(
            f"""
            WITH new_grams AS ({grams_of("new_forms")}),
            frequency AS (
                SELECT gram, count(*) AS df FROM grams WHERE gram IN (SELECT gram FROM new_grams) GROUP BY gram
            ),
            shared AS (
                SELECT n.form AS new, g.form AS old, sum(1.0 / f.df) AS weight
                FROM new_grams n JOIN frequency f USING (gram) JOIN grams g USING (gram)
                WHERE f.df <= {MAX_DF} GROUP BY n.form, g.form
            ),
            nearest AS (
                SELECT old FROM shared
                QUALIFY row_number() OVER (PARTITION BY new ORDER BY weight DESC, old) <= {NEAREST}
            )
            SELECT DISTINCT a.event FROM aliases a WHERE a.normal_form IN (SELECT old FROM nearest)
            """
        ).fetchall()
    return [row[0] for row in found]


def grams_of(forms: str) -> str:
    """The SELECT of (gram, form) of each distinct character pair of each normal form of the relation `forms`, its
    ends marked: what finds the names a form may be one event with. Made in SQL, for a build makes some ten a form
    of a million forms."""
    return f"""
    SELECT DISTINCT substring(marked, place, 2) AS gram, form FROM (
        SELECT form, marked, unnest(range(1, length(marked))) AS place
        FROM (SELECT form, '^' || form || '$' AS marked FROM {forms})
    )
    """


def _old_aliases(
    connection: Any,
    names: _Names,
    event_of_key: dict[str, int],
    tier_of_key: dict[str, tuple[Tier, float]],
    touched: set[int],
) -> bool:
    """The resolved keys the store held: their aliases take their (new) event, tier and score (of a key's
    spellings, the first its own, the others "exact" where that is "name"); into `touched` go the events they left
    and joined. Whether any alias moved (then in the temporary table `changed`)."""
    import pyarrow as pa

    stored = [key for key in names.keys if key in names.old_event]
    if not stored:
        return False
    table = pa.table(
        {
            "key": stored,
            "event": pa.array([event_of_key[key] for key in stored], type=pa.int64()),
            "tier": [str(tier_of_key[key][0]) for key in stored],
            "score": pa.array([tier_of_key[key][1] for key in stored], type=pa.float64()),
        }
    )
    with registered(connection, "decided", table):
        moved = connection.execute(
            "SELECT DISTINCT a.event, d.event FROM aliases a JOIN decided d USING (key) WHERE a.event <> d.event"
        ).fetchall()
        connection.execute(
            """
            CREATE OR REPLACE TEMP TABLE changed AS
            SELECT a.alias FROM aliases a JOIN decided d USING (key) WHERE a.event <> d.event
            """
        )
        connection.execute(
            """
            UPDATE aliases SET event = d.event,
                tier = CASE WHEN d.tier = 'name' AND aliases.seq > f.first THEN 'exact' ELSE d.tier END,
                score = d.score
            FROM decided d, (SELECT key, min(seq) AS first FROM aliases GROUP BY key) f
            WHERE aliases.key = d.key AND f.key = d.key
            """
        )
    for old, new in moved:
        touched.update((old, new))
    return bool(moved)


def form_classes(forms: Sequence[str], parts: Sequence[Parts | None], lexicon: Lexicon) -> list[tuple[str, str] | None]:
    """Each normal form's class (its key's text and its name) from the parts read of it; None for a form without
    parts, whose event is then a class of its own."""
    return name_classes(parts, lexicon)


def _keep_forms(connection: Any, names: _Names, resolved: Resolved, lexicon: Lexicon) -> None:
    """Each resolved name's normal form, with the parts read of it and its class, into `forms` (and its character
    pairs into `grams`) where the store had not read it."""
    import pyarrow as pa

    resolution = resolved.resolution
    forms: dict[str, Parts | None] = {}
    for normal, parts in zip(resolution.normals, resolution.parts or [None] * len(resolution.normals), strict=True):
        if normal.form not in forms or forms[normal.form] is None:
            forms[normal.form] = parts
    listed = list(forms)
    for begin in range(0, len(listed), BATCH):
        batch = listed[begin : begin + BATCH]
        classes = form_classes(batch, [forms[form] for form in batch], lexicon)
        table = pa.table(
            {
                "form": pa.array(batch, type=pa.string()),
                "parts": pa.array(
                    [None if forms[form] is None else json.dumps(forms[form], ensure_ascii=False) for form in batch],
                    type=pa.string(),
                ),
                "class_key": pa.array([None if found is None else found[0] for found in classes], type=pa.string()),
                "class_name": pa.array([None if found is None else found[1] for found in classes], type=pa.string()),
            }
        )
        with registered(connection, "read_forms", table):
            connection.execute(
                """
                UPDATE forms SET parts = r.parts, class_key = r.class_key, class_name = r.class_name FROM read_forms r
                WHERE forms.form = r.form AND forms.parts IS NULL AND r.parts IS NOT NULL
                """
            )
            connection.execute(
                "CREATE OR REPLACE TEMP TABLE fresh_forms AS "
                "SELECT * FROM read_forms WHERE form NOT IN (SELECT form FROM forms)"
            )
            connection.execute("INSERT INTO forms SELECT * FROM fresh_forms")
            connection.execute(f"INSERT INTO grams {grams_of('fresh_forms')}")
            connection.execute("DROP TABLE fresh_forms")


def _insert_evidence(
    connection: Any, evidence: Evidence, rows: Any, fresh: list[int], run_of: Any, touched: set[int]
) -> None:
    """The new articles and the relations they gave, each end as its alias's event."""
    import numpy as np
    import pyarrow as pa

    article_seq = connection.execute("SELECT coalesce(max(seq), 0) FROM articles").fetchall()[0][0]
    evidence_seq = connection.execute("SELECT coalesce(max(seq), 0) FROM evidence").fetchall()[0][0]
    for begin in range(0, len(fresh), BATCH):
        chosen = fresh[begin : begin + BATCH]
        positions = np.asarray(chosen, dtype=np.int64)
        first = article_seq + 1 + begin
        articles = pa.table(
            {
                "article": pa.array([evidence.article_ids[position] for position in chosen], type=pa.string()),
                "seq": pa.array(np.arange(first, first + len(chosen)), type=pa.int64()),
                "date": pa.array([_day(evidence.article_dates[position]) for position in chosen], type=pa.date32()),
                "excerpt": pa.array([evidence.article_texts[position] for position in chosen], type=pa.string()),
                "force": pa.array([evidence.article_forces[position] for position in chosen], type=pa.string()),
                "relations": pa.array([evidence.article_relations[position] for position in chosen], type=pa.int32()),
                "digest": pa.array([evidence.article_digests[position] for position in chosen], type=pa.string()),
                "run": pa.array(run_of[positions], type=pa.int32()),
            }
        )
        with registered(connection, "new_articles", articles):
            connection.execute("INSERT INTO articles SELECT * FROM new_articles")
    spellings = list(evidence.spellings)
    labels = list(evidence.labels)
    for begin in range(0, len(rows), BATCH):
        chosen_rows = rows[begin : begin + BATCH]
        article_of = np.frombuffer(evidence.article, dtype=np.int64)[chosen_rows]
        first = evidence_seq + 1 + begin
        sources = np.frombuffer(evidence.source, dtype=np.int64)[chosen_rows].tolist()
        targets = np.frombuffer(evidence.target, dtype=np.int64)[chosen_rows].tolist()
        table = pa.table(
            {
                "seq": pa.array(np.arange(first, first + len(chosen_rows)), type=pa.int64()),
                "article": pa.array([evidence.article_ids[article] for article in article_of.tolist()], pa.string()),
                "ordinal": pa.array(np.frombuffer(evidence.ordinal, dtype=np.int64)[chosen_rows], type=pa.int32()),
                "date": pa.array(
                    [_day(evidence.article_dates[article]) for article in article_of.tolist()], pa.date32()
                ),
                "source_alias": pa.array([spellings[number] for number in sources], type=pa.string()),
                "target_alias": pa.array([spellings[number] for number in targets], type=pa.string()),
                "label": pa.array(
                    [labels[number] for number in np.frombuffer(evidence.label, dtype=np.int64)[chosen_rows].tolist()],
                    type=pa.string(),
                ),
                "strength": pa.array(np.frombuffer(evidence.strength, dtype=np.float64)[chosen_rows]),
                "force": pa.array([evidence.article_forces[article] for article in article_of.tolist()], pa.string()),
                "run": pa.array(run_of[article_of], type=pa.int32()),
            }
        )
        with registered(connection, "new_evidence", table):
            connection.execute(
                """
                INSERT INTO evidence
                SELECT n.seq, n.article, n.ordinal, n.date, s.event, t.event, n.source_alias, n.target_alias, n.label,
                    n.strength, n.force, n.run
                FROM new_evidence n JOIN aliases s ON s.alias = n.source_alias
                    JOIN aliases t ON t.alias = n.target_alias
                ORDER BY n.seq
                """
            )
            for (event,) in connection.execute(
                "SELECT DISTINCT a.event FROM aliases a WHERE a.alias IN (SELECT source_alias FROM new_evidence) "
                "OR a.alias IN (SELECT target_alias FROM new_evidence)"
            ).fetchall():
                touched.add(event)


def _day(text: str | None) -> datetime.date | None:
    return datetime.date.fromisoformat(text) if text else None


def _count_mentions(connection: Any, evidence: Evidence, rows: Any) -> None:
    """Each spelling's mentions (the relations that name it: a loop's by its source's spelling alone) and the
    date it was first seen, with the new relations."""
    import numpy as np
    import pyarrow as pa

    if not len(rows):
        return
    keys = evidence.keys
    spellings = list(evidence.spellings)
    mentions: Counter[str] = Counter()
    first: dict[str, str] = {}
    for number in rows.tolist():
        source, target = evidence.source[number], evidence.target[number]
        day = evidence.article_dates[evidence.article[number]]
        named = [source] if keys[source] == keys[target] else [source, target]
        for end in named:
            text = spellings[end]
            mentions[text] += 1
        for end in (source, target):
            text = spellings[end]
            if day and (text not in first or day < first[text]):
                first[text] = day
    table = pa.table(
        {
            "alias": list(mentions),
            "mentions": pa.array(list(mentions.values()), type=pa.int64()),
            "first_seen": pa.array([_day(first.get(text)) for text in mentions], type=pa.date32()),
        }
    )
    dated = [text for text in first if text not in mentions]
    if dated:
        extra = pa.table(
            {
                "alias": dated,
                "mentions": pa.array(np.zeros(len(dated), dtype=np.int64)),
                "first_seen": pa.array([_day(first[text]) for text in dated], type=pa.date32()),
            }
        )
        table = pa.concat_tables([table, extra])
    with registered(connection, "counted", table):
        connection.execute(
            """
            UPDATE aliases SET mentions = aliases.mentions + c.mentions,
                first_seen = CASE WHEN aliases.first_seen IS NULL OR c.first_seen < aliases.first_seen
                    THEN coalesce(c.first_seen, aliases.first_seen) ELSE aliases.first_seen END
            FROM counted c WHERE aliases.alias = c.alias
            """
        )


def _name_and_class(
    connection: Any, touched: set[int], new_class_keys: set[str], lexicon: Lexicon, level: Level | None
) -> set[int]:
    """Each touched event's name and class (see `event_name` and `events.classes`), and the classes touched: the
    touched events' old and new ones, and those of the class keys of the forms resolved."""
    listed = sorted(touched)
    stored_level = level or Level(meta(connection).get("level", "similar"))
    next_class = connection.execute("SELECT coalesce(max(id), 0) + 1 FROM classes").fetchall()[0][0]
    touched_classes: set[int] = set()
    for begin in range(0, len(listed), BATCH):
        batch = listed[begin : begin + BATCH]
        rows = connection.execute(
            """
            SELECT a.event, a.alias, a.key, a.normal_form, a.mentions, f.class_key, f.class_name
            FROM aliases a LEFT JOIN forms f ON f.form = a.normal_form
            WHERE a.event IN (SELECT unnest(?)) ORDER BY a.event, a.seq
            """,
            [batch],
        ).fetchall()
        by_event: dict[int, list[tuple[Any, ...]]] = {}
        for row in rows:
            by_event.setdefault(row[0], []).append(row)
        del rows
        chosen = [event_name([row[1:5] for row in by_event.get(event, [])]) for event in batch]
        names = chosen if stored_level is Level.EXACT else readable(chosen)
        class_keys: dict[int, str] = {}
        for event in batch:
            tally: Counter[str] = Counter()
            seen: set[str] = set()
            for _, _, key, _, _, class_key, _ in by_event.get(event, []):
                if key in seen:
                    continue
                seen.add(key)
                tally[class_key or fallback_class(event)] += 1
            class_keys[event] = vote(tally) if tally else fallback_class(event)
        del by_event
        old_classes = dict(
            connection.execute("SELECT id, class FROM events WHERE id IN (SELECT unnest(?))", [batch]).fetchall()
        )
        known = dict(
            connection.execute(
                "SELECT key, id FROM classes WHERE key IN (SELECT unnest(?))", [sorted(set(class_keys.values()))]
            ).fetchall()
        )
        new_classes = []
        for event in batch:
            key = class_keys[event]
            if key not in known:
                known[key] = next_class
                new_classes.append((next_class, key))
                next_class += 1
        if new_classes:
            connection.execute(
                "INSERT INTO classes SELECT unnest(?), '', unnest(?), 0, 0, 0, MAP {}::MAP(VARCHAR, BIGINT)",
                [[number for number, _ in new_classes], [key for _, key in new_classes]],
            )
        connection.execute(
            "CREATE OR REPLACE TEMP TABLE named AS SELECT unnest(?) AS id, unnest(?) AS name, unnest(?) AS class",
            [batch, names, [known[class_keys[event]] for event in batch]],
        )
        connection.execute("UPDATE events SET name = n.name, class = n.class FROM named n WHERE events.id = n.id")
        connection.execute("DROP TABLE named")
        touched_classes |= {known[key] for key in class_keys.values()} | {
            group for group in old_classes.values() if group is not None
        }
    touched_classes |= {
        number
        for (number,) in connection.execute(
            "SELECT id FROM classes WHERE key IN (SELECT unnest(?))", [sorted(new_class_keys)]
        ).fetchall()
    }
    _name_classes(connection, touched_classes)
    return touched_classes


def event_name(rows: Sequence[tuple[str, str, str, int]]) -> str:
    """An event's name from its aliases (spelling, key, normal form, mentions), in the order first seen: of the
    normal forms its names have, the one mentioned most (ties to the shorter, then the first seen); of that form's
    names, the one mentioned most (ties to the first); of its spellings, the one mentioned most (ties to the
    first). Made readable by the caller."""
    if not rows:
        return ""
    relations: dict[str, int] = {}
    form_of: dict[str, str] = {}
    for _, key, form, mentions in rows:
        relations[key] = relations.get(key, 0) + mentions
        form_of.setdefault(key, form)
    keys = list(relations)
    best = keys[0]
    if len(keys) > 1:
        mentions_of: dict[str, int] = {}
        top: dict[str, str] = {}
        for key in keys:
            form = form_of[key]
            mentions_of[form] = mentions_of.get(form, 0) + relations[key]
            if form not in top or relations[key] > relations[top[form]]:
                top[form] = key
        order = {form: place for place, form in enumerate(mentions_of)}
        best = top[min(mentions_of, key=lambda form: (-mentions_of[form], len(form), order[form]))]
    spellings = [(spelling, mentions) for spelling, key, _, mentions in rows if key == best]
    return max(spellings, key=lambda item: item[1])[0] if len(spellings) > 1 else spellings[0][0]


def _name_classes(connection: Any, classes: set[int]) -> None:
    """Each of these classes' name, from every name of its key (see `events.classes`), and its events."""
    if not classes:
        return
    listed = sorted(classes)
    rows = connection.execute(
        """
        WITH wanted AS (SELECT id, key FROM classes WHERE id IN (SELECT unnest(?))),
        parted AS (
            SELECT DISTINCT a.key, f.class_key, f.class_name FROM forms f JOIN aliases a ON a.normal_form = f.form
            WHERE f.class_key IN (SELECT key FROM wanted)
        ),
        whole AS (
            SELECT DISTINCT a.key, a.event, a.normal_form FROM aliases a LEFT JOIN forms f ON f.form = a.normal_form
            WHERE f.class_key IS NULL
                AND '(''event'', ' || a.event || ')' IN (SELECT key FROM wanted WHERE key LIKE '(''event'', %')
        )
        SELECT w.id, p.class_name FROM wanted w JOIN parted p ON p.class_key = w.key
        UNION ALL
        SELECT w.id, h.normal_form FROM wanted w JOIN whole h ON w.key = '(''event'', ' || h.event || ')'
        """,
        [listed],
    ).fetchall()
    spellings: defaultdict[int, Counter[str]] = defaultdict(Counter)
    for number, spelling in rows:
        spellings[number][spelling] += 1
    connection.execute(
        "CREATE OR REPLACE TEMP TABLE named AS SELECT unnest(?) AS id, unnest(?) AS name",
        [listed, [class_name(spellings[number]) if number in spellings else "" for number in listed]],
    )
    connection.execute("UPDATE classes SET name = n.name FROM named n WHERE classes.id = n.id")
    connection.execute(
        """
        UPDATE classes SET events = coalesce(c.events, 0)
        FROM (SELECT n.id, count(e.id) AS events FROM named n LEFT JOIN events e
              ON e.class = n.id AND e.redirect IS NULL GROUP BY n.id) c
        WHERE classes.id = c.id
        """
    )
    connection.execute("DROP TABLE named")
