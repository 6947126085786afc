"""kestor-corpus graph export GRAPH_DIR: the files of a GRAPH_DIR written again from its store, at either level; or,
with --neo4j DIR, the files that Neo4j's bulk importer reads."""

from __future__ import annotations

import argparse
import os
from pathlib import Path

from ...exits import EXIT_OK
from ..build import described, export_files
from ..neo4j import import_command, write_neo4j
from ..store import connect, store_path
from .base import Command, add_files, add_level, add_verbose

NEO4J = "neo4j"
"""GRAPH_DIR's directory of the Neo4j files, where a build writes them."""


class Export(Command):
    name = "export"
    summary = "a GRAPH_DIR's files written again from its store; or the files Neo4j's bulk importer reads"
    usage = (
        "kestor-corpus graph export GRAPH_DIR [--neo4j DIR] [--level event|class] [--top N] [--html-nodes N] "
        "[--html-edges N] [--verbose]"
    )

    def add_options(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("graph_dir", metavar="GRAPH_DIR", help="a graph directory that graph build wrote")
        parser.add_argument(
            "--neo4j",
            metavar="DIR",
            help="write the files of Neo4j's bulk importer into DIR (a new or empty directory), with README.txt "
            "giving the import command; GRAPH_DIR's own files are left as they are",
        )
        add_level(parser, "the level of the files (by default the one they were written at)")
        add_files(parser)
        add_verbose(parser)

    def run(self, args: argparse.Namespace) -> int:
        if args.neo4j:
            connection = connect(store_path(args.graph_dir))
            try:
                names = write_neo4j(connection, args.neo4j)
            finally:
                connection.close()
            print(f"Neo4j's files written to {args.neo4j}: {', '.join(names)}")
            print(f"import them with: {import_command(str(args.neo4j))}")
            return EXIT_OK
        summary = export_files(
            args.graph_dir, level=args.level, top=args.top, html_nodes=args.html_nodes, html_edges=args.html_edges
        )
        print("\n".join(described(summary, args.graph_dir)), flush=True)
        return EXIT_OK


def write_neo4j_beside(graph_dir: str | os.PathLike[str]) -> None:
    """GRAPH_DIR/neo4j, from its store."""
    connection = connect(store_path(graph_dir))
    try:
        write_neo4j(connection, Path(graph_dir) / NEO4J)
    finally:
        connection.close()
