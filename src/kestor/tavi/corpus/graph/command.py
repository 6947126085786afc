"""kestor-corpus graph: the event graph of a whole corpus, merged from an articles (or causara) run's part files.

`execute` takes the parsed command line (see cli): it writes GRAPH_DIR from an OUT_DIR, the names of one event
merged as far as --merge says, at the level of events or of their classes (--level); with --between, the graph data
of the paths between two events, from an OUT_DIR (merged first) or a GRAPH_DIR that an earlier run wrote (its
graph.json is read); with --next or --causes, an event's likeliest successors or predecessors in a GRAPH_DIR. An event
is found by any of its aliases, a class by its own name or any of its events'. `build_event_graph`
and `merge_event_graph` are the same from Python.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import json
import os
import sys
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any, TextIO

from ..asking.cache import default_path
from ..asking.failures import keep_root_logger_quiet, thread_errors
from ..cluster import cluster_client, require_dask
from ..config import load_config
from ..events import NODE_KINDS, NodeKind, Tier
from ..exits import (
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    EXIT_OK,
    INSTALL_HINT,
    ConfigError,
    GraphInputError,
    SetupError,
    UsageError,
)
from ..extractors import build_extractors, extractor_classes
from ..inputs import counted
from ..output import replace_file
from .between import Network, subgraph_between
from .collapse import Hierarchy
from .counts import Counts
from .draw import TOP, check_drawing_tools, draw_top_events, picture_summary
from .export import (
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
from .models import ModelFailed
from .page import EDGE_LIMIT, LIMIT, PAGE, check_page_library, write_page
from .resolve import Resolved, ResolveOptions, check_options, resolve_events
from .successors import print_successors


def execute(args: argparse.Namespace) -> int:
    """The graph command; a `UsageError` out of it is a refusal before anything was written."""
    try:
        if args.next or args.causes:
            return print_successors(
                args.source,
                args.next or args.causes,
                forward=bool(args.next),
                limit=args.limit,
                level=node_kind(args.level),
            )
        if args.between:
            return _between(args)
        summary = build_event_graph(
            args.source,
            args.output,
            scheduler=args.scheduler,
            workers=args.workers,
            top=args.top,
            html_nodes=args.html_nodes,
            html_edges=args.html_edges,
            quiet=args.quiet,
            merge=args.merge,
            overrides=args.merge_overrides,
            embeddings=args.embeddings,
            config=args.config,
            judge_max=args.judge_max,
            cache=_cache_option(args),
            level=args.level or NodeKind.EVENT,
        )
    except ModelFailed as error:
        print(f"error: {error}; nothing written (--merge LEVEL/similar falls back instead)", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        # With --force, the graph data is written before the extractor is asked.
        print("interrupted" if args.force else "interrupted: nothing written", file=sys.stderr)
        return EXIT_INTERRUPTED
    level = NodeKind(summary["level"])
    nodes = level.counted(summary[level.plural])
    if level is NodeKind.CLASS:
        nodes += f" of {counted(summary['events'], 'event')}"
    print(
        f"event graph of {counted(summary['articles'], 'text' if summary['mode'] == 'causara' else 'article')}: "
        f"{nodes}, {counted(summary['edges'], 'edge')}, the largest component "
        f"{level.counted(summary['largest_component'][level.plural])}; written to {args.output}"
    )
    print(f"picture: {Path(args.output) / 'top-events.png'}")
    page = summary["page"]
    shown = (
        ""
        if page[level.plural] == summary[level.plural]
        else f"the {page[level.plural]:,} {level.plural} of highest degree, "
    )
    print(f"page: {Path(args.output) / PAGE} ({shown}{page['bytes'] / 2**20:.1f} MiB)", flush=True)
    return EXIT_OK


def build_event_graph(
    out_dir: str | os.PathLike[str],
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
    """Merge the part files of OUT_DIR into one event graph and write GRAPH_DIR at `level` ("event", or "class": the
    graph of the events' classes, as `--level` says); its summary.

    The merge runs on `client`'s cluster, else on the scheduler at `scheduler`, else on a local cluster of `workers`
    processes, else (none of them given) in this process. Names are resolved into events as far as `merge` says, as
    `--merge` does (see `kestor.tavi.corpus.events`; None: similar, or meaning with `embeddings`), with the overrides of
    the file `overrides`; what a model gave the resolver is kept in the answer cache: the user's (True), the file
    `cache`, or none (False). What the command refuses raises a `UsageError` (a `GraphInputError` for what the part
    files hold) before anything is written; a model that cannot be asked raises `ModelFailed` unless `merge` names a
    fallback.
    """
    say = stream or sys.stderr
    missing = check_drawing_tools()
    if missing:
        raise SetupError(f"the event graph needs {missing}: {INSTALL_HINT}")
    unusable = check_page_library()
    if unusable:
        raise SetupError(unusable)
    check_replaceable(graph_dir)
    kind = node_kind(level) or NodeKind.EVENT
    options = ResolveOptions.parse(
        merge, overrides=overrides, embeddings=embeddings, config=config, judge_max=judge_max, cache=_answer_file(cache)
    )
    check_options(options)
    in_process = client is None and scheduler is None and workers is None
    with _cluster(client, scheduler, workers, in_process) as live:
        exact = merge_event_graph(out_dir, client=live, in_process=in_process, quiet=quiet, stream=say)
        resolved = resolve_events(exact, options, live)
    graph = resolved.graph
    counts = graph.at(kind)
    summary = summary_of(graph, kind, str(Path(out_dir).resolve()))
    summary["merge"] = resolve_summary(resolved, exact)
    for warning in resolved.warnings:
        print(f"warning: {warning}", file=say)

    def fill(directory: Path) -> None:
        replaced = write_graphml(graph, kind, directory / "graph.graphml")
        if replaced:
            print(
                f"warning: {replaced} text{'s' if replaced != 1 else ''} with characters that XML cannot carry: "
                "graph.graphml has U+FFFD in their place, graph.json holds them as they are",
                file=say,
            )
        write_node_link(graph, kind, directory / "graph.json")
        summary["page"] = _page(graph, kind, directory, html_nodes, html_edges)
        summary["parquet"] = write_parquet(graph, kind, directory)
        if write_aliases(resolved.aliases, directory):
            summary["parquet"] += ", aliases.parquet"
        picture = draw_top_events(counts, directory / "top-events.png", top, kind)
        if picture.warning:
            print(f"warning: {picture.warning}", file=say)
        summary["picture"] = picture_summary(picture)
        # Last, so that a directory with a summary is a whole one.
        write_json(summary, directory / SUMMARY)

    write_whole(graph_dir, fill)
    _notes(counts, summary, say)
    return summary


def _page(graph: Hierarchy, level: NodeKind, directory: Path, html_nodes: int, html_edges: int) -> dict[str, Any]:
    """index.html from graph.json, with the other level to switch to where some class has more than one event."""
    counts = graph.at(level)
    texts = "texts" if counts.mode == "causara" else "articles"
    excerpts = {key: text for key, text in zip(counts.article_ids, counts.article_texts, strict=True) if text}
    grouping = len(graph.classes.names) < len(graph.events.names)
    page = write_page(
        directory / "graph.json",
        directory,
        limit=html_nodes,
        edge_limit=html_edges,
        title=f"Event graph of {counts.articles:,} {texts}",
        excerpts=excerpts,
        other=page_level(graph, level.other, html_nodes, html_edges) if grouping else None,
    )
    return {"file": PAGE, level.plural: page.nodes, "edges": page.edges, "bytes": page.bytes}


def node_kind(text: str | None) -> NodeKind | None:
    """`--level event|class`; None where it is not given."""
    if text is None:
        return None
    try:
        return NodeKind(text)
    except ValueError:
        raise UsageError(f"--level {text}: one of {', '.join(NODE_KINDS)}") from None


def _cache_option(args: argparse.Namespace) -> str | bool:
    return False if args.no_cache else args.cache or True


def _answer_file(cache: str | os.PathLike[str] | bool) -> Path | None:
    """`build_event_graph`'s `cache` as a file: True the user's answer cache, False none."""
    return default_path() if cache is True else None if cache is False else Path(cache)


@contextlib.contextmanager
def _cluster(client: Any, scheduler: str | None, workers: int | None, in_process: bool) -> Iterator[Any]:
    if in_process or client is not None:
        yield client
        return
    require_dask("the merge runs on")
    # Counting is Python work, which holds the interpreter's lock: one thread per local worker process.
    with cluster_client(scheduler, workers or os.cpu_count() or 1, threads_per_worker=1, verbose=False) as own:
        yield own


def resolve_summary(resolved: Resolved, exact: Counts) -> dict[str, Any]:
    """What the resolver did: the level, the names before and the events after, joins by tier ("merges", the
    user's word), joins refused by the rule that refused them, and what was asked of a model."""
    resolution = resolved.resolution
    return {
        "level": resolved.level,
        "names": len(exact.names),
        "events": resolution.events,
        "merges": resolution.joins,
        "refused": resolution.refused,
        "overrides": resolution.joins.get(Tier.OVERRIDE, 0),
        "model_requests": resolved.usage,
    }


def merge_event_graph(
    out_dir: str | os.PathLike[str],
    *,
    client: Any = None,
    scheduler: str | None = None,
    workers: int | None = None,
    in_process: bool = False,
    quiet: bool = True,
    stream: TextIO | None = None,
) -> Counts:
    """The merged counts of OUT_DIR's part files: on a cluster as `build_event_graph` says, or in this process."""
    paths = part_files(out_dir)
    if in_process:
        return merge_in_process(paths)
    require_dask("the merge runs on")
    began = time.monotonic()
    say = stream or sys.stderr
    if client is not None:
        counts = merge_on_cluster(client, paths)
    else:
        # Counting is Python work, which holds the interpreter's lock: one thread per local worker process.
        with cluster_client(scheduler, workers or os.cpu_count() or 1, threads_per_worker=1, verbose=False) as own:
            if not quiet:
                workers_up = len(own.nthreads())
                print(
                    f"merging {len(paths):,} part file{'s' if len(paths) != 1 else ''} on {workers_up} "
                    f"worker{'s' if workers_up != 1 else ''}",
                    file=say,
                    flush=True,
                )
            counts = merge_on_cluster(own, paths)
    if not quiet:
        print(f"merged {counts.articles:,} articles in {time.monotonic() - began:.1f} s", file=say, flush=True)
    return counts


def _notes(counts: Counts, summary: dict[str, Any], stream: TextIO) -> None:
    if not counts.names:
        # Every article was read and none gave a relation: a graph, but not one to use.
        print(
            f"warning: a graph of 0 events: none of the {counts.articles:,} "
            f"{'texts' if counts.mode == 'causara' else 'articles'} read gave a relation between two named events",
            file=stream,
        )
    if counts.failed:
        print(
            f"note: {counts.failed:,} failed lines left out (their inputs have no relations yet: rerun the corpus run "
            "to retry them)",
            file=stream,
        )
    if counts.unnamed:
        print(f"note: {counts.unnamed:,} relations left out: an end has no name once trimmed", file=stream)
    if summary["parquet"].startswith("skipped"):
        print(f"note: Parquet files {summary['parquet']}", file=stream)


def _between(args: argparse.Namespace) -> int:
    extractor = _force_extractor(args.config) if args.force else None
    source = Path(args.source)
    target = Path(args.output)
    if target.is_dir():
        raise GraphInputError(f"{target}: is a directory; with --between, --output names the graph data file")
    level = node_kind(args.level)
    if (source / "graph.json").is_file() and (source / SUMMARY).is_file():
        network = Network.read(source, level)
    else:
        options = ResolveOptions.parse(
            args.merge,
            overrides=args.merge_overrides,
            embeddings=args.embeddings,
            config=args.config,
            judge_max=args.judge_max,
            cache=_answer_file(_cache_option(args)),
        )
        check_options(options)
        counts = merge_event_graph(source, scheduler=args.scheduler, workers=args.workers, quiet=args.quiet)
        level = level or NodeKind.EVENT
        network = Network.of_counts(resolve_events(counts, options).graph.at(level), level)
    first, second = args.between
    graph, paths = subgraph_between(network, first, second, args.max_paths)
    _write_file_whole(target, graph)
    start, end = (network.names[network.node(name)] for name in (first, second))
    print(
        f"{counted(paths, 'path')} from {start} to {end}: {network.level.counted(len(graph['nodes']))}, "
        f"{counted(len(graph['edges']), 'edge')}; written to {target}",
        flush=True,
    )
    if extractor is None:
        return EXIT_OK
    with _no_progress_bar(), thread_errors().watch() as errors:
        force = extractor.predict(graph)
    if errors:
        print(
            f"error: the force extractor's call failed: {'; '.join(failure.message for failure in errors)}",
            file=sys.stderr,
        )
        return EXIT_FAILED
    print(f"force of {start} on {end}: {force}", flush=True)
    return EXIT_OK


@contextlib.contextmanager
def _no_progress_bar() -> Iterator[None]:
    """The extraction library's bar on stderr, for the one call, would stand between the command's own lines."""
    import langextract

    shown = langextract.extract
    langextract.extract = functools.partial(shown, show_progress=False)
    try:
        yield
    finally:
        langextract.extract = shown


def _force_extractor(config_path: str) -> Any:
    """Built before the merge: a configuration that cannot work is refused before anything runs."""
    config = load_config(config_path, "force")
    keep_root_logger_quiet()
    try:
        # The library's client as it is, with the configuration's request options on each request.
        return build_extractors(config, extractor_classes(lambda name, client: client))["force"]
    except Exception as error:
        raise ConfigError(f"{config_path}: the force extractor cannot be built from it: {error}") from None


def _write_file_whole(path: Path, document: Any) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    # A node or an edge a line: readable, and a file of thousands of them stays short.
    text = ",\n".join(
        f'"{key}": [\n' + ",\n".join(json.dumps(item, ensure_ascii=False) for item in items) + "\n]"
        for key, items in document.items()
    )
    replace_file(path, ["{" + text + "}"])
