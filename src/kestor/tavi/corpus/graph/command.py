"""kestor-corpus graph: the event graph of a whole corpus, merged from an articles (or causara) run's part files.

    kestor-corpus graph OUT_DIR --output GRAPH_DIR [--scheduler ADDRESS | --workers N] [--top N] [--html-nodes N]
        [--quiet]
    kestor-corpus graph SOURCE --between "EVENT A" "EVENT B" --output FILE.json [--max-paths N]
        [--force --config CONFIG.json] [--scheduler ADDRESS | --workers N] [--quiet]

SOURCE is an OUT_DIR (merged first) or a GRAPH_DIR that an earlier run wrote (its graph.json is read).
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
from ..exits import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_REFUSED, unexpected
from ..output import replace_file
from .between import MAX_PATHS, Network, subgraph_between
from .counts import Counts, GraphInputError
from .draw import TOP, check_drawing_tools, draw_top_events, picture_summary
from .export import (
    SUMMARY,
    check_replaceable,
    summary_of,
    write_graphml,
    write_json,
    write_node_link,
    write_parquet,
    write_whole,
)
from .merge import cluster_client, merge_in_process, merge_on_cluster, part_files
from .page import LIMIT, PAGE, check_page_library, write_page

EXIT_STATUS = (
    "Exit status: 0 done, 1 the force extractor's call failed, 2 bad input or set-up (nothing written), "
    "3 an unexpected error, 130 interrupted."
)


def main(argv: Sequence[str] | None = None) -> int:
    args = _arguments(argv)
    with handling_signals():
        return _main(args)


def _main(args: argparse.Namespace) -> int:
    try:
        if args.between:
            return _between(args)
        summary = build_event_graph(
            args.source,
            args.output,
            scheduler=args.scheduler,
            workers=args.workers,
            top=args.top,
            html_nodes=args.html_nodes,
            quiet=args.quiet,
        )
        largest = summary["largest_component"]
        print(
            f"event graph of {summary['articles']:,} {'texts' if summary['mode'] == 'causara' else 'articles'}: "
            f"{summary['events']:,} events, {summary['edges']:,} edges, the largest component "
            f"{largest['events']:,} events; written to {args.output}"
        )
        print(f"picture: {Path(args.output) / 'top-events.png'}")
        page = summary["page"]
        shown = "" if page["events"] == summary["events"] else f"the {page['events']:,} events of highest degree, "
        print(f"page: {Path(args.output) / PAGE} ({shown}{page['bytes'] / 2**20:.1f} MiB)", flush=True)
        return EXIT_OK
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
        required=True,
        metavar="PATH",
        help="GRAPH_DIR, the directory to write (replaced whole if an earlier graph run wrote it); with --between, "
        "the graph data file",
    )
    add_cluster_arguments(parser)
    parser.add_argument(
        "--top", type=whole_number(1), default=TOP, metavar="N", help=f"events in top-events.png ({TOP})"
    )
    parser.add_argument(
        "--html-nodes",
        type=whole_number(1),
        default=LIMIT,
        metavar="N",
        help=f"events in index.html: the whole graph up to N, else the N of highest degree ({LIMIT:,})",
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
    parser.add_argument("--config", metavar="CONFIG.json", help="with --force: the run's configuration file")
    parser.add_argument("--quiet", action="store_true", help="no progress lines on stderr")
    parser.add_argument("--verbose", action="store_true", help="an unexpected error's traceback")
    return parser


def _arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.force and not args.between:
        parser.error("--force asks about the subgraph of --between")
    if args.force != bool(args.config):
        parser.error("--force needs --config CONFIG.json" if args.force else "--config is read with --force")
    return args


def build_event_graph(
    out_dir: str | os.PathLike[str],
    graph_dir: str | os.PathLike[str],
    *,
    client: Any = None,
    scheduler: str | None = None,
    workers: int | None = None,
    top: int = TOP,
    html_nodes: int = LIMIT,
    quiet: bool = True,
    stream: TextIO | None = None,
) -> dict[str, Any]:
    """Merge the part files of OUT_DIR into one event graph and write GRAPH_DIR; its summary.

    The merge runs on `client`'s cluster, else on the scheduler at `scheduler`, else on a local cluster of
    `workers` processes (default: one per core). Bad input raises `GraphInputError` before anything is written.
    """
    say = stream or sys.stderr
    missing = check_drawing_tools()
    if missing:
        raise GraphInputError(f"the event graph needs {missing}: pip install 'kestor-tavi-extractor[corpus]'")
    unusable = check_page_library()
    if unusable:
        raise GraphInputError(unusable)
    check_replaceable(graph_dir)
    counts = merge_event_graph(out_dir, client=client, scheduler=scheduler, workers=workers, quiet=quiet, stream=say)
    summary = summary_of(counts, str(Path(out_dir).resolve()))

    def fill(directory: Path) -> None:
        replaced = write_graphml(counts, directory / "graph.graphml")
        if replaced:
            print(
                f"warning: {replaced} text{'s' if replaced != 1 else ''} with characters that XML cannot carry: "
                "graph.graphml has U+FFFD in their place, graph.json holds them as they are",
                file=say,
            )
        write_node_link(counts, directory / "graph.json")
        texts = "texts" if counts.mode == "causara" else "articles"
        page = write_page(
            directory / "graph.json", directory, limit=html_nodes, title=f"Event graph of {counts.articles:,} {texts}"
        )
        summary["page"] = {
            "file": PAGE,
            "events": page.events,
            "edges": page.edges,
            "bytes": page.bytes,
        }
        summary["parquet"] = write_parquet(counts, directory) or "nodes.parquet, edges.parquet"
        picture = draw_top_events(counts, directory / "top-events.png", top)
        if picture.warning:
            print(f"warning: {picture.warning}", file=say)
        summary["picture"] = picture_summary(picture)
        # Last, so that a directory with a summary is a whole one.
        write_json(summary, directory / SUMMARY)

    write_whole(graph_dir, fill)
    _notes(counts, summary, say)
    return summary


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
    try:
        import distributed  # noqa: F401
    except ImportError as error:
        raise GraphInputError(
            f"the merge runs on Dask distributed, which is not installed ({error}): "
            "pip install 'kestor-tavi-extractor[corpus]'"
        ) from None
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


def _notes(counts: Counts, summary: dict[str, Any], stream: TextIO) -> None:
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
        counts = merge_event_graph(source, scheduler=args.scheduler, workers=args.workers, quiet=args.quiet)
        network = Network.of_counts(counts)
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
