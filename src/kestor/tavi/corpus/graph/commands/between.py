"""kestor-corpus graph between SOURCE EVENT_A EVENT_B --output FILE.json: the subgraph of every path from one event
to another, as graph data for the force extractor, from a GRAPH_DIR (its store, else its graph.json) or an OUT_DIR
(read and resolved first, nothing else written); with --force, the force extractor's word for it."""

from __future__ import annotations

import argparse
import contextlib
import functools
import json
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from ...arguments import whole_number
from ...asking.failures import keep_root_logger_quiet, thread_errors
from ...config import load_config
from ...events import NodeKind
from ...exits import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, ConfigError, GraphInputError
from ...extractors import build_extractors, extractor_classes
from ...inputs import counted
from ...output import replace_file
from ..between import MAX_PATHS, Network, network_subgraph
from ..build import answer_file, graph_of_out_dir
from ..derive import prepare
from ..export import SUMMARY
from ..query import Questions, has_questions
from ..resolve import ResolveOptions, check_options
from ..store import STORE
from .base import (
    MERGE_HELP,
    Command,
    add_level,
    add_resolver,
    add_run_options,
    add_verbose,
    add_window,
    cache_option,
    check_resolver,
    check_window,
    window_of,
)


class Between(Command):
    name = "between"
    summary = "the subgraph of every path from one event to another, as graph data for the force extractor"
    usage = (
        'kestor-corpus graph between SOURCE "EVENT A" "EVENT B" --output FILE.json [--level event|class] '
        "[--max-paths N]\n        [--since DATE] [--until DATE] [--force --config CONFIG.json] [--merge LEVEL] "
        "[--scheduler ADDRESS | --workers N]\n        [--quiet] [--verbose]"
    )

    def add_options(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument(
            "source", metavar="SOURCE", help="a GRAPH_DIR, or the OUT_DIR of an articles or causara run (read first)"
        )
        parser.add_argument("first", metavar="EVENT_A", help="where the paths begin: any name, or an id as #12")
        parser.add_argument("second", metavar="EVENT_B", help="where they end")
        parser.add_argument("--output", metavar="FILE.json", required=True, help="the graph data file to write")
        add_level(parser, "paths between events (the default) or between classes")
        add_window(parser)
        parser.add_argument(
            "--max-paths",
            type=whole_number(1),
            default=MAX_PATHS,
            metavar="N",
            help=f"refuse beyond this many paths ({MAX_PATHS:,})",
        )
        parser.add_argument("--force", action="store_true", help="ask the force extractor at once")
        add_resolver(parser, f"of an OUT_DIR; {MERGE_HELP}")
        add_run_options(parser)
        add_verbose(parser)

    def check(self, parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
        if args.force and not args.config:
            parser.error("--force needs --config CONFIG.json")
        check_resolver(parser, args)
        check_window(parser, args)

    def run(self, args: argparse.Namespace) -> int:
        try:
            return self._run(args)
        except KeyboardInterrupt:
            # With --force, the graph data is written before the extractor is asked.
            print("interrupted" if args.force else "interrupted: nothing written", file=sys.stderr)
            return EXIT_INTERRUPTED

    def _run(self, args: argparse.Namespace) -> int:
        extractor = _force_extractor(args.config) if args.force else None
        source, target = Path(args.source), Path(args.output)
        if target.is_dir():
            raise GraphInputError(f"{target}: is a directory; --output names the graph data file")
        first, second, window = args.first, args.second, window_of(args)
        if has_questions(source):
            with Questions.open(source, args.level) as questions:
                graph, paths = questions.between(first, second, window=window, max_paths=args.max_paths)
                start, end = questions.find(first).name, questions.find(second).name
        elif (source / "graph.json").is_file() and (source / SUMMARY).is_file():
            if not window.whole:
                raise GraphInputError(f"{source}: no {STORE}: a time window is asked of a store")
            network = Network.read(source, args.level)
            graph, paths = network_subgraph(network, first, second, args.max_paths)
            start, end = network.names[network.node(first)], network.names[network.node(second)]
        else:
            options = ResolveOptions.parse(
                args.merge,
                overrides=args.merge_overrides,
                embeddings=args.embeddings,
                config=args.config,
                judge_max=200 if args.judge_max is None else args.judge_max,
                cache=answer_file(cache_option(args)),
            )
            check_options(options)
            connection = graph_of_out_dir(
                source, options, scheduler=args.scheduler, workers=args.workers, quiet=args.quiet
            )
            prepare(connection)
            with Questions(connection, args.level or NodeKind.EVENT) as questions:
                graph, paths = questions.between(first, second, window=window, max_paths=args.max_paths)
                start, end = questions.find(first).name, questions.find(second).name
        _write_file_whole(target, graph)
        level = args.level or NodeKind.EVENT
        print(
            f"{counted(paths, 'path')} from {start} to {end}: {level.counted(len(graph['nodes']))}, "
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
