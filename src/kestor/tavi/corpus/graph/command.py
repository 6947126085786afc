"""kestor-corpus graph: the event graph of a whole corpus, merged from an articles (or causara) run's part files.

    kestor-corpus graph OUT_DIR --output GRAPH_DIR [--merge LEVEL[/FALLBACK]] [--merge-overrides FILE]
        [--embeddings MODEL --config CONFIG.json] [--judge-max N] [--scheduler ADDRESS | --workers N] [--top N]
        [--quiet]
    kestor-corpus graph SOURCE --between "EVENT A" "EVENT B" --output FILE.json [--max-paths N]
        [--force --config CONFIG.json] [--merge LEVEL] [--scheduler ADDRESS | --workers N] [--quiet]
    kestor-corpus graph GRAPH_DIR (--next EVENT | --causes EVENT) [--limit N]

SOURCE is an OUT_DIR (merged first) or a GRAPH_DIR that an earlier run wrote (its graph.json is read). An event is
found by any of its aliases.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import os
import sys
import time
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, TextIO

from ..config import ConfigError
from ..driver import add_cluster_arguments, handling_signals, whole_number
from ..events import LEVELS, MODEL_FREE
from ..exits import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_REFUSED, unexpected
from ..output import replace_file
from .between import MAX_PATHS, Network, subgraph_between
from .counts import Counts, GraphInputError
from .draw import TOP, check_drawing_tools, draw_top_events, picture_summary
from .export import (
    SUMMARY,
    check_replaceable,
    summary_of,
    write_aliases,
    write_graphml,
    write_json,
    write_node_link,
    write_parquet,
    write_whole,
)
from .merge import cluster_client, merge_in_process, merge_on_cluster, part_files
from .resolve import MergeOptions, ModelFailed, Resolved, check_options, resolve_events
from .successors import LIMIT, print_successors

EXIT_STATUS = (
    "Exit status: 0 done, 1 a model's call failed (the force extractor, the embeddings or the judge), 2 bad input "
    "or set-up (nothing written), "
    "3 an unexpected error, 130 interrupted."
)


def main(argv: Sequence[str] | None = None) -> int:
    args = _arguments(argv)
    with handling_signals():
        return _main(args)


def _main(args: argparse.Namespace) -> int:
    try:
        if args.next or args.causes:
            return print_successors(args.source, args.next or args.causes, forward=bool(args.next), limit=args.limit)
        if args.between:
            return _between(args)
        summary = build_event_graph(
            args.source,
            args.output,
            scheduler=args.scheduler,
            workers=args.workers,
            top=args.top,
            quiet=args.quiet,
            merge=args.merge,
            overrides=args.merge_overrides,
            embeddings=args.embeddings,
            config=args.config,
            judge_max=args.judge_max,
        )
        largest = summary["largest_component"]
        print(
            f"event graph of {summary['articles']:,} {'texts' if summary['mode'] == 'causara' else 'articles'}: "
            f"{summary['events']:,} events, {summary['edges']:,} edges, the largest component "
            f"{largest['events']:,} events; written to {args.output}"
        )
        print(f"picture: {Path(args.output) / 'top-events.png'}", flush=True)
        return EXIT_OK
    except ModelFailed as error:
        print(f"error: {error}; nothing written (--merge LEVEL/similar falls back instead)", file=sys.stderr)
        return EXIT_FAILED
    except (GraphInputError, ConfigError) as error:
        print(f"error: {error}".replace("\n", "\nerror: "), file=sys.stderr)
        return EXIT_REFUSED
    except KeyboardInterrupt:
        # With --force, the graph data is written before the extractor is asked.
        print("interrupted" if args.force else "interrupted: nothing written", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Exception as error:
        return unexpected(error, args.verbose)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kestor-corpus graph",
        description=__doc__.split("\n")[0].split(": ", 1)[1],
        usage=__doc__.split("\n\n")[1].replace("    kestor-corpus graph", "kestor-corpus graph", 1),
        epilog=EXIT_STATUS,
    )
    parser.add_argument(
        "source",
        metavar="OUT_DIR",
        help="the output directory of an articles or causara run; with --between, also a GRAPH_DIR written before",
    )
    parser.add_argument(
        "--output",
        metavar="PATH",
        help="GRAPH_DIR, the directory to write (replaced whole if an earlier graph run wrote it); with --between, "
        "the graph data file",
    )
    add_cluster_arguments(parser)
    parser.add_argument(
        "--top", type=whole_number(1), default=TOP, metavar="N", help=f"events in top-events.png ({TOP})"
    )
    parser.add_argument(
        "--between",
        nargs=2,
        metavar=("EVENT_A", "EVENT_B"),
        help="write the subgraph of every path from EVENT_A to EVENT_B, as graph data for the force extractor",
    )
    parser.add_argument(
        "--max-paths",
        type=whole_number(1),
        default=MAX_PATHS,
        metavar="N",
        help=f"refuse --between beyond this many paths ({MAX_PATHS:,})",
    )
    parser.add_argument("--force", action="store_true", help="with --between: ask the force extractor at once")
    parser.add_argument(
        "--config",
        metavar="CONFIG.json",
        help="the run's configuration file: the endpoint of --force, --embeddings and the judge, and the merge's "
        'lexicon and judge prompt (its "merge" section)',
    )
    parser.add_argument(
        "--merge",
        default=MODEL_FREE,
        metavar="LEVEL[/FALLBACK]",
        help=f"how far names are merged into events: {', '.join(LEVELS)} (default {MODEL_FREE}, the strongest "
        "without a model); a FALLBACK level is used when the model cannot be reached",
    )
    parser.add_argument(
        "--merge-overrides", metavar="FILE", help="pairs of events that must (A == B) or must never (A != B) merge"
    )
    parser.add_argument("--embeddings", metavar="MODEL", help="the embeddings model of --merge meaning (or judge)")
    parser.add_argument(
        "--judge-max", type=whole_number(0), default=200, metavar="N", help="pairs asked of the judge at most (200)"
    )
    parser.add_argument("--next", metavar="EVENT", help="of a GRAPH_DIR: the events most likely to follow EVENT")
    parser.add_argument("--causes", metavar="EVENT", help="of a GRAPH_DIR: the events most likely to precede EVENT")
    parser.add_argument(
        "--limit", type=whole_number(1), default=LIMIT, metavar="N", help=f"events --next or --causes lists ({LIMIT})"
    )
    parser.add_argument("--quiet", action="store_true", help="no progress lines on stderr")
    parser.add_argument("--verbose", action="store_true", help="an unexpected error's traceback")
    return parser


def _arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.next and args.causes:
        parser.error("--next or --causes, not both")
    if not (args.next or args.causes) and not args.output:
        parser.error("the following arguments are required: --output")
    if args.force and not args.between:
        parser.error("--force asks about the subgraph of --between")
    model_level = args.merge.split("/")[0] in LEVELS[LEVELS.index(MODEL_FREE) + 1 :]
    if args.force and not args.config:
        parser.error("--force needs --config CONFIG.json")
    if args.embeddings and not args.config:
        parser.error("--embeddings needs --config CONFIG.json (its endpoint)")
    if args.embeddings and not model_level:
        args.merge = "meaning"
    return args


def build_event_graph(
    out_dir: str | os.PathLike[str],
    graph_dir: str | os.PathLike[str],
    *,
    client: Any = None,
    scheduler: str | None = None,
    workers: int | None = None,
    top: int = TOP,
    quiet: bool = True,
    stream: TextIO | None = None,
    merge: str = MODEL_FREE,
    overrides: str | os.PathLike[str] | None = None,
    embeddings: str | None = None,
    config: str | os.PathLike[str] | None = None,
    judge_max: int = 200,
) -> dict[str, Any]:
    """Merge the part files of OUT_DIR into one event graph and write GRAPH_DIR; its summary.

    The merge runs on `client`'s cluster, else on the scheduler at `scheduler`, else on a local cluster of
    `workers` processes, else (none of them given) in this process. The names of one event are merged as far as
    `merge` says (see `kestor.tavi.corpus.events`), with the overrides of the file `overrides`. Bad input raises
    `GraphInputError` before anything is written.
    """
    say = stream or sys.stderr
    missing = check_drawing_tools()
    if missing:
        raise GraphInputError(f"the event graph needs {missing}: pip install 'kestor-tavi-extractor[corpus]'")
    check_replaceable(graph_dir)
    options = MergeOptions.parse(merge, overrides=overrides, embeddings=embeddings, config=config, judge_max=judge_max)
    check_options(options)
    in_process = client is None and scheduler is None and workers is None
    with _cluster(client, scheduler, workers, in_process) as live:
        exact = merge_event_graph(out_dir, client=live, in_process=in_process, quiet=quiet, stream=say)
        resolved = resolve_events(exact, options, live)
    counts = resolved.counts
    summary = summary_of(counts, str(Path(out_dir).resolve()))
    summary["merge"] = merge_summary(resolved, exact)
    for warning in resolved.warnings:
        print(f"warning: {warning}", file=say)

    def fill(directory: Path) -> None:
        replaced = write_graphml(counts, directory / "graph.graphml")
        if replaced:
            print(
                f"warning: {replaced} text{'s' if replaced != 1 else ''} with characters that XML cannot carry: "
                "graph.graphml has U+FFFD in their place, graph.json holds them as they are",
                file=say,
            )
        write_node_link(counts, directory / "graph.json")
        summary["parquet"] = write_parquet(counts, directory) or "nodes.parquet, edges.parquet"
        if write_aliases(resolved.aliases, directory):
            summary["parquet"] += ", aliases.parquet"
        picture = draw_top_events(counts, directory / "top-events.png", top)
        if picture.warning:
            print(f"warning: {picture.warning}", file=say)
        summary["picture"] = picture_summary(picture)
        # Last, so that a directory with a summary is a whole one.
        write_json(summary, directory / SUMMARY)

    write_whole(graph_dir, fill)
    _notes(counts, summary, say)
    return summary


@contextlib.contextmanager
def _cluster(client: Any, scheduler: str | None, workers: int | None, in_process: bool) -> Iterator[Any]:
    if in_process or client is not None:
        yield client
        return
    _check_distributed()
    with cluster_client(scheduler, workers or os.cpu_count() or 1) as own:
        yield own


def merge_summary(resolved: Resolved, exact: Counts) -> dict[str, Any]:
    """What the merge did: the level, the names before and the events after, merges by tier, joins refused by
    the rule that refused them, and what was asked of a model."""
    resolution = resolved.resolution
    return {
        "level": resolved.level,
        "names": len(exact.names),
        "events": resolution.events,
        "merges": resolution.merges,
        "refused": resolution.refused,
        "overrides": resolution.merges.get("override", 0),
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
    _check_distributed()
    began = time.monotonic()
    say = stream or sys.stderr
    if client is not None:
        counts = merge_on_cluster(client, paths)
    else:
        with cluster_client(scheduler, workers or os.cpu_count() or 1) as own:
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


def _check_distributed() -> None:
    try:
        import distributed  # noqa: F401
    except ImportError as error:
        raise GraphInputError(
            f"the merge runs on Dask distributed, which is not installed ({error}): "
            "pip install 'kestor-tavi-extractor[corpus]'"
        ) from None


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
    if (source / "graph.json").is_file() and (source / SUMMARY).is_file():
        network = Network.read(source)
    else:
        options = MergeOptions.parse(
            args.merge,
            overrides=args.merge_overrides,
            embeddings=args.embeddings,
            config=args.config,
            judge_max=args.judge_max,
        )
        check_options(options)
        counts = merge_event_graph(source, scheduler=args.scheduler, workers=args.workers, quiet=args.quiet)
        network = Network.of_counts(resolve_events(counts, options).counts)
    first, second = args.between
    graph, paths = subgraph_between(network, first, second, args.max_paths)
    _write_file_whole(target, graph)
    start, end = (network.names[network.node(name)] for name in (first, second))
    print(
        f"{paths:,} path{'s' if paths != 1 else ''} from {start} to {end}: {len(graph['nodes'])} events, "
        f"{len(graph['edges'])} edges; "
        f"written to {target}",
        flush=True,
    )
    if extractor is None:
        return EXIT_OK
    from ..failures import thread_errors

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
    from ..config import load_config
    from ..failures import keep_root_logger_quiet
    from ..modes import build_extractors

    config = load_config(config_path, "force")
    keep_root_logger_quiet()
    try:
        return build_extractors(config)["force"]
    except Exception as error:
        raise ConfigError(f"{config_path}: the force extractor cannot be built from it: {error}") from None


def _write_file_whole(path: Path, document: Any) -> None:
    import json

    path.parent.mkdir(parents=True, exist_ok=True)
    # A node or an edge a line: readable, and a file of thousands of them stays short.
    text = ",\n".join(
        f'"{key}": [\n' + ",\n".join(json.dumps(item, ensure_ascii=False) for item in items) + "\n]"
        for key, items in document.items()
    )
    replace_file(path, ["{" + text + "}"])
