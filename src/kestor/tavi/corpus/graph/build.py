"""The event graph of a corpus as a store and its files: `build_event_graph` makes GRAPH_DIR from runs' OUT_DIRs
(a new store, and its files), `update_event_graph` adds runs to the store of a GRAPH_DIR (and writes its files
again), `write_files` writes the files from a store. The commands (see `commands`) call these; so can Python.

The part files are read on a Dask cluster (see `merge`) where one is given or asked for, else in this process. A
build is written whole: the store and the files into a new directory beside GRAPH_DIR, which then replaces it. An
update changes the store in one transaction, then puts each file in place of the old one, summary.json last.
"""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import sys
import time
import uuid
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, TextIO

from ..asking.cache import default_path
from ..cluster import cluster_client, require_dask
from ..events import NodeKind, Tier
from ..exits import INSTALL_HINT, SetupError
from ..inputs import counted
from ..output import sync_directory
from .draw import TOP, check_drawing_tools, draw_top_events, picture_summary
from .evidence import Evidence
from .export import (
    FILES,
    SUMMARY,
    check_replaceable,
    page_level,
    summary_of,
    write_aliases,
    write_graphml,
    write_json,
    write_node_link,
    write_parquet,
    write_whole,
)
from .merge import merge_in_process, merge_on_cluster, part_files
from .page import EDGE_LIMIT, LIMIT, PAGE, check_page_library, write_page
from .query import written_level
from .resolve import ResolveOptions, check_options
from .store import STORE, connect, create, first, meta, writing
from .update import Added, Run, add_runs
from .view import View


def build_event_graph(
    out_dir: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    graph_dir: str | os.PathLike[str],
    *,
    client: Any = None,
    scheduler: str | None = None,
    workers: int | None = None,
    top: int = TOP,
    html_nodes: int = LIMIT,
    html_edges: int = EDGE_LIMIT,
    quiet: bool = True,
    stream: TextIO | None = None,
    merge: str | None = None,
    overrides: str | os.PathLike[str] | None = None,
    embeddings: str | None = None,
    config: str | os.PathLike[str] | None = None,
    judge_max: int = 200,
    cache: str | os.PathLike[str] | bool = True,
    level: str = NodeKind.EVENT,
) -> dict[str, Any]:
    """Make GRAPH_DIR from the part files of OUT_DIR (or of several, in order, as runs of one store): its store and
    its files at `level` ("event", or "class": the graph of the events' classes, as `--level` says); its summary.

    The part files are read on `client`'s cluster, else on the scheduler at `scheduler`, else on a local cluster of
    `workers` processes, else (none of them given) in this process. Names are resolved into events as far as `merge`
    says, as `--merge` does (see `kestor.tavi.corpus.events`; None: similar, or meaning with `embeddings`), with the
    overrides of the file `overrides`; what a model gave the resolver is kept in the answer cache: the user's
    (True), the file `cache`, or none (False). What the command refuses raises a `UsageError` (a `GraphInputError`
    for what the part files hold) before anything is written; a model that cannot be asked raises `ModelFailed`
    unless `merge` names a fallback.
    """
    say = stream or sys.stderr
    check_tools()
    check_replaceable(graph_dir)
    kind = NodeKind(level)
    options = ResolveOptions.parse(
        merge, overrides=overrides, embeddings=embeddings, config=config, judge_max=judge_max, cache=answer_file(cache)
    )
    runs = _checked_runs(options, _listed(out_dir), client, scheduler, workers, quiet, say)
    summary: dict[str, Any] = {}

    def fill(directory: Path) -> None:
        connection = create(directory / STORE, {})
        try:
            with writing(connection):
                added = add_runs(connection, runs, options, client=client)
            summary.update(
                write_files(connection, directory, kind, runs[-1].source, added, top, html_nodes, html_edges, say)
            )
        finally:
            connection.close()

    write_whole(graph_dir, fill)
    return summary


def update_event_graph(
    graph_dir: str | os.PathLike[str],
    out_dirs: Sequence[str | os.PathLike[str]],
    *,
    client: Any = None,
    scheduler: str | None = None,
    workers: int | None = None,
    files: bool = True,
    top: int = TOP,
    html_nodes: int = LIMIT,
    html_edges: int = EDGE_LIMIT,
    quiet: bool = True,
    stream: TextIO | None = None,
    merge: str | None = None,
    overrides: str | os.PathLike[str] | None = None,
    embeddings: str | None = None,
    config: str | os.PathLike[str] | None = None,
    judge_max: int | None = None,
    cache: str | os.PathLike[str] | bool = True,
    level: str | None = None,
    allow_other_mode: bool = False,
    allow_other_config: bool = False,
) -> dict[str, Any]:
    """Add the runs of these OUT_DIRs to the store of GRAPH_DIR, in one transaction, and write its files again
    (unless not `files`); the summary. Names are resolved as the store's were unless the resolver's options are
    given, in which case they must be the store's (or `allow_other_config`); a run of another mode than the
    store's is refused unless `allow_other_mode`."""
    say = stream or sys.stderr
    if files:
        check_tools()
    path = Path(graph_dir) / STORE
    connection = connect(path, write=True)
    try:
        recorded = _recorded(meta(connection))
        given = merge is not None or overrides is not None or embeddings is not None or config is not None
        if given or judge_max is not None:
            options = ResolveOptions.parse(
                merge if merge is not None else recorded.get("merge"),
                overrides=overrides,
                embeddings=embeddings,
                config=config,
                judge_max=judge_max if judge_max is not None else recorded.get("judge_max") or 200,
                cache=answer_file(cache),
                recipe=None if overrides is not None or config is not None else recorded,
            )
            if overrides is None:
                options.recipe = {**(options.recipe or {}), "overrides": recorded.get("overrides", [])}
        else:
            options = ResolveOptions.parse(
                recorded.get("merge"),
                embeddings=recorded.get("embeddings"),
                judge_max=recorded.get("judge_max") or 200,
                cache=answer_file(cache),
                recipe=recorded,
            )
        runs = _checked_runs(options, [Path(each) for each in out_dirs], client, scheduler, workers, quiet, say)
        with writing(connection):
            added = add_runs(
                connection,
                runs,
                options,
                client=client,
                allow_other_mode=allow_other_mode,
                allow_other_config=allow_other_config,
            )
        if not files:
            return {"added": added_summary(added)}
        kind = NodeKind(level) if level is not None else written_level(graph_dir)
        return _replace_files(
            connection, Path(graph_dir), kind, runs[-1].source, added, top, html_nodes, html_edges, say
        )
    finally:
        connection.close()


def export_files(
    graph_dir: str | os.PathLike[str],
    *,
    level: str | None = None,
    top: int = TOP,
    html_nodes: int = LIMIT,
    html_edges: int = EDGE_LIMIT,
    stream: TextIO | None = None,
) -> dict[str, Any]:
    """Write GRAPH_DIR's files again from its store (at `level`, by default the level they were written at)."""
    check_tools()
    connection = connect(Path(graph_dir) / STORE)
    try:
        kind = NodeKind(level) if level is not None else written_level(graph_dir)
        source = first(connection.execute("SELECT source FROM runs ORDER BY run DESC LIMIT 1"))
        return _replace_files(
            connection,
            Path(graph_dir),
            kind,
            source[0] if source else "",
            None,
            top,
            html_nodes,
            html_edges,
            stream or sys.stderr,
        )
    finally:
        connection.close()


def check_tools() -> None:
    missing = check_drawing_tools()
    if missing:
        raise SetupError(f"the event graph needs {missing}: {INSTALL_HINT}")
    unusable = check_page_library()
    if unusable:
        raise SetupError(unusable)


def _checked_runs(
    options: ResolveOptions,
    out_dirs: Sequence[Path],
    client: Any,
    scheduler: str | None,
    workers: int | None,
    quiet: bool,
    say: TextIO,
) -> list[Run]:
    """The runs to add, read once the resolver's options are found sound: nothing is read for options refused."""
    check_options(options)
    return read_runs(out_dirs, client=client, scheduler=scheduler, workers=workers, quiet=quiet, stream=say)


def _listed(out_dir: str | os.PathLike[str] | Sequence[str | os.PathLike[str]]) -> list[Path]:
    if isinstance(out_dir, (str, os.PathLike)):
        return [Path(out_dir)]
    return [Path(each) for each in out_dir]


def _recorded(known: dict[str, str]) -> dict[str, Any]:
    settings = known.get("settings")
    return json.loads(settings) if settings else {}


def answer_file(cache: str | os.PathLike[str] | bool) -> Path | None:
    """A `cache` argument as a file: True the user's answer cache, False none."""
    return default_path() if cache is True else None if cache is False else Path(cache)


def read_runs(
    out_dirs: Sequence[Path],
    *,
    client: Any = None,
    scheduler: str | None = None,
    workers: int | None = None,
    quiet: bool = True,
    stream: TextIO | None = None,
) -> list[Run]:
    """Each OUT_DIR's part files read into evidence, as runs to add."""
    in_process = client is None and scheduler is None and workers is None
    listed = [(str(directory.resolve()), part_files(directory)) for directory in out_dirs]
    with cluster(client, scheduler, workers, in_process) as live:
        return [
            Run(source, read_evidence(paths, client=live, in_process=live is None, quiet=quiet, stream=stream), paths)
            for source, paths in listed
        ]


def merge_event_graph(
    out_dir: str | os.PathLike[str],
    *,
    client: Any = None,
    scheduler: str | None = None,
    workers: int | None = None,
    quiet: bool = True,
    stream: TextIO | None = None,
) -> Evidence:
    """The evidence of OUT_DIR's part files (every relation, by article): read on a cluster as `build_event_graph`
    says, or in this process."""
    [run] = read_runs([Path(out_dir)], client=client, scheduler=scheduler, workers=workers, quiet=quiet, stream=stream)
    return run.evidence


def read_evidence(
    paths: Sequence[str],
    *,
    client: Any = None,
    in_process: bool = False,
    quiet: bool = True,
    stream: TextIO | None = None,
) -> Evidence:
    """The evidence of these part files: on `client`'s cluster, or in this process."""
    if in_process or client is None:
        return merge_in_process(paths)
    began = time.monotonic()
    say = stream or sys.stderr
    if not quiet:
        workers_up = len(client.nthreads())
        print(
            f"reading {len(paths):,} part file{'s' if len(paths) != 1 else ''} on {workers_up} "
            f"worker{'s' if workers_up != 1 else ''}",
            file=say,
            flush=True,
        )
    evidence = merge_on_cluster(client, paths)
    if not quiet:
        print(f"read {evidence.articles:,} articles in {time.monotonic() - began:.1f} s", file=say, flush=True)
    return evidence


@contextlib.contextmanager
def cluster(client: Any, scheduler: str | None, workers: int | None, in_process: bool) -> Iterator[Any]:
    if in_process or client is not None:
        yield client
        return
    require_dask("the graph's part files are read on")
    # Reading is Python work, which holds the interpreter's lock: one thread per local worker process.
    with cluster_client(scheduler, workers or os.cpu_count() or 1, threads_per_worker=1, verbose=False) as own:
        yield own


def write_files(
    connection: Any,
    directory: Path,
    level: NodeKind,
    source: str,
    added: Added | None,
    top: int,
    html_nodes: int,
    html_edges: int,
    say: TextIO,
) -> dict[str, Any]:
    """GRAPH_DIR's files from the store, into `directory`, summary.json last; the summary."""
    view = View(connection, level)
    summary = summary_of(view, source)
    summary["merge"] = merge_summary(connection, added)
    summary["store"] = store_summary(connection)
    if added is not None:
        summary["added"] = added_summary(added)
    for warning in added.warnings if added is not None else ():
        print(f"warning: {warning}", file=say)
    replaced = write_graphml(view, directory / "graph.graphml")
    if replaced:
        print(
            f"warning: {replaced} text{'s' if replaced != 1 else ''} with characters that XML cannot carry: "
            "graph.graphml has U+FFFD in their place, graph.json holds them as they are",
            file=say,
        )
    write_node_link(view, directory / "graph.json")
    summary["page"] = _page(view, directory, html_nodes, html_edges, summary)
    summary["parquet"] = write_parquet(view, directory) + ", aliases.parquet"
    write_aliases(view, directory)
    picture = draw_top_events(view, directory / "top-events.png", top)
    if picture.warning:
        print(f"warning: {picture.warning}", file=say)
    summary["picture"] = picture_summary(picture)
    # Last, so that a directory with a summary is a whole one.
    write_json(summary, directory / SUMMARY)
    notes(summary, say)
    return summary


def _replace_files(
    connection: Any,
    graph_dir: Path,
    level: NodeKind,
    source: str,
    added: Added | None,
    top: int,
    html_nodes: int,
    html_edges: int,
    say: TextIO,
) -> dict[str, Any]:
    """The files written beside GRAPH_DIR, then each put in place of its old one (summary.json last)."""
    temporary = graph_dir.with_name(f".{graph_dir.name}.tmp-{os.getpid()}-{uuid.uuid4().hex[:12]}")
    temporary.mkdir()
    try:
        summary = write_files(connection, temporary, level, source, added, top, html_nodes, html_edges, say)
        written = sorted(temporary.iterdir(), key=lambda path: path.name == SUMMARY)
        names = {path.name for path in written}
        for path in written:
            sync_directory(path)
            os.replace(path, graph_dir / path.name)
        # The other level's file of a level written before (events.parquet beside classes.parquet).
        for name in set(FILES) - names - {STORE}:
            if (graph_dir / name).is_file():
                (graph_dir / name).unlink()
        sync_directory(graph_dir)
    finally:
        shutil.rmtree(temporary, ignore_errors=True)
    return summary


def _page(view: View, directory: Path, html_nodes: int, html_edges: int, summary: dict[str, Any]) -> dict[str, Any]:
    """index.html from graph.json, with the other level to switch to where some class has more than one event."""
    level = view.level
    texts = "texts" if summary["mode"] == "causara" else "articles"
    grouping = summary["classes"] < summary["events"]
    page = write_page(
        directory / "graph.json",
        directory,
        limit=html_nodes,
        edge_limit=html_edges,
        title=f"Event graph of {summary['articles']:,} {texts}",
        excerpts=view.excerpts(),
        other=page_level(view, level.other, html_nodes, html_edges) if grouping else None,
    )
    return {"file": PAGE, level.plural: page.nodes, "edges": page.edges, "bytes": page.bytes}


def merge_summary(connection: Any, added: Added | None) -> dict[str, Any]:
    """What the resolver did: the level, the names and the events, and of the last addition, joins by tier
    ("merges", the user's word), joins refused by the rule that refused them, and what was asked of a model."""
    [names] = connection.execute("SELECT count(DISTINCT key) FROM aliases").fetchall()[0]
    [events] = connection.execute("SELECT count(*) FROM events WHERE redirect IS NULL").fetchall()[0]
    level = meta(connection).get("level", "")
    joins = added.joins if added is not None else {}
    return {
        "level": level,
        "names": int(names),
        "events": int(events),
        "merges": joins,
        "refused": added.refused if added is not None else {},
        "overrides": joins.get(Tier.OVERRIDE, 0),
        "model_requests": added.usage if added is not None else {},
    }


def added_summary(added: Added) -> dict[str, Any]:
    """What the last build or update added: articles read, new and held already, relations, new names, new events,
    events merged into earlier ones."""
    return {
        "runs": added.runs,
        "articles": added.articles,
        "new_articles": added.new_articles,
        "known_articles": added.known_articles,
        "relations": added.relations,
        "new_names": added.new_spellings,
        "new_events": added.new_events,
        "redirects": added.redirects,
    }


def store_summary(connection: Any) -> dict[str, Any]:
    """The store: its file, the runs added, its generation (one more with each update) and the ids merged."""
    [runs] = connection.execute("SELECT count(*) FROM runs").fetchall()[0]
    [redirects] = connection.execute("SELECT count(*) FROM events WHERE redirect IS NOT NULL").fetchall()[0]
    return {
        "file": STORE,
        "runs": int(runs),
        "generation": int(meta(connection).get("generation", "0")),
        "redirects": int(redirects),
    }


def notes(summary: dict[str, Any], stream: TextIO) -> None:
    if not summary["events"]:
        # Every article was read and none gave a relation: a graph, but not one to use.
        print(
            f"warning: a graph of 0 events: none of the {summary['articles']:,} "
            f"{'texts' if summary['mode'] == 'causara' else 'articles'} read gave a relation between two named events",
            file=stream,
        )
    if summary["failed_lines_left_out"]:
        print(
            f"note: {summary['failed_lines_left_out']:,} failed lines left out (their inputs have no relations yet: "
            "rerun the corpus run to retry them)",
            file=stream,
        )
    if summary["relations_without_event_name"]:
        print(
            f"note: {summary['relations_without_event_name']:,} relations left out: an end has no name once trimmed",
            file=stream,
        )


def described(summary: dict[str, Any], graph_dir: str | os.PathLike[str]) -> list[str]:
    """What the command prints of a graph written: its size, its picture and its page."""
    level = NodeKind(summary["level"])
    nodes = level.counted(summary[level.plural])
    if level is NodeKind.CLASS:
        nodes += f" of {counted(summary['events'], 'event')}"
    page = summary["page"]
    shown = (
        ""
        if page[level.plural] == summary[level.plural]
        else f"the {page[level.plural]:,} {level.plural} of highest degree, "
    )
    return [
        f"event graph of {counted(summary['articles'], 'text' if summary['mode'] == 'causara' else 'article')}: "
        f"{nodes}, {counted(summary['edges'], 'edge')}, the largest component "
        f"{level.counted(summary['largest_component'][level.plural])}; written to {graph_dir}",
        f"picture: {Path(graph_dir) / 'top-events.png'}",
        f"page: {Path(graph_dir) / PAGE} ({shown}{page['bytes'] / 2**20:.1f} MiB)",
    ]


def graph_of_out_dir(
    out_dir: str | os.PathLike[str], options: ResolveOptions, *, scheduler: str | None, workers: int | None, quiet: bool
) -> Any:
    """A store in memory of one OUT_DIR, for a question asked of it without writing anything."""
    connection = create(":memory:", {})
    runs = read_runs([Path(out_dir)], scheduler=scheduler, workers=workers, quiet=quiet)
    with writing(connection):
        add_runs(connection, runs, options)
    return connection
