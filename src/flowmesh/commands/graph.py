"""`flowmesh graph`: draw a saved pipeline as Graphviz DOT (or render it)."""

import os
import shutil
import subprocess
import sys

from .common import (
    CommandError,
    allow_option,
    document_argument,
    load_document,
    one_line,
    write_text,
)


def add_parser(subcommands):
    p = subcommands.add_parser(
        "graph",
        help="draw a saved pipeline (Graphviz DOT)",
        description="Write the pipeline's graph as Graphviz DOT: elements "
        "with their ports, SYNC links solid, ASYNC links dashed, chains "
        "as clusters. An OUT ending in .svg, .png or .pdf is rendered "
        "with Graphviz's dot program.",
    )
    document_argument(p)
    p.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="output file (.dot, .svg, .png, .pdf); default: DOT on stdout",
    )
    allow_option(p)
    p.set_defaults(func=cmd_graph)


def cmd_graph(args):
    from .. import graph

    pipeline = load_document(args.file, args.allow)
    try:
        title = os.path.splitext(os.path.basename(args.file))[0]
        dot = graph.to_dot(pipeline, title=title)
    finally:
        pipeline.close()
    out = args.output
    if out is None or out == "-":
        sys.stdout.write(dot)
        return 0
    suffix = os.path.splitext(out)[1].lower().lstrip(".")
    if suffix in ("", "dot", "gv"):
        write_text(out, dot)
        print(f"Graph written to {out}")
        return 0
    if suffix not in ("svg", "png", "pdf"):
        raise CommandError(f"{out}: unknown format '.{suffix}'; use .dot, .svg, .png or .pdf")
    dot_program = shutil.which("dot")
    if dot_program is None:
        raise CommandError(
            f"rendering {out} needs Graphviz's 'dot' program (Debian/Ubuntu: apt-get install "
            "graphviz); write a .dot file instead"
        )
    done = subprocess.run(
        [dot_program, f"-T{suffix}", "-o", out], input=dot, text=True, capture_output=True
    )
    if done.returncode != 0:
        raise CommandError(f"dot failed: {one_line(done.stderr) or done.returncode}")
    print(f"Graph written to {out}")
    return 0
