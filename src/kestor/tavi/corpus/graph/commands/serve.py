"""kestor-corpus graph serve GRAPH_DIR: the page over a GRAPH_DIR's store, served until Ctrl-C: every event found by
any of its names, any neighbourhood opened on demand, the paths between two events, an edge's evidence."""

from __future__ import annotations

import argparse
import sys

from ...arguments import whole_number
from ...exits import EXIT_OK
from ..server import LOOPBACK, PORT, GraphServer, serve
from .base import Command, add_level, add_verbose


class Serve(Command):
    name = "serve"
    summary = "the page over a GRAPH_DIR's store, read-only, on this machine's loopback until Ctrl-C"
    usage = "kestor-corpus graph serve GRAPH_DIR [--host ADDRESS] [--port N] [--level event|class] [--verbose]"

    def add_options(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("graph_dir", metavar="GRAPH_DIR", help="a graph directory that graph build wrote")
        parser.add_argument(
            "--host",
            default=LOOPBACK,
            metavar="ADDRESS",
            help=f"the address to listen on ({LOOPBACK}: this machine alone); 0.0.0.0 lets every machine that "
            "reaches this one read the graph",
        )
        parser.add_argument(
            "--port", type=whole_number(0), default=PORT, metavar="N", help=f"the port ({PORT}; 0: any free one)"
        )
        add_level(parser, "the level the page opens at; by default the one GRAPH_DIR's files were written at")
        add_verbose(parser)

    def run(self, args: argparse.Namespace) -> int:
        server = GraphServer(args.graph_dir, args.host, args.port, args.level)
        if not server.loopback:
            print(
                f"warning: listening on {args.host}, not on loopback: anyone who reaches this machine's port "
                f"{server.server_address[1]} can read the whole graph and its articles' excerpts",
                file=sys.stderr,
            )
        serve(server, sys.stdout)
        return EXIT_OK
