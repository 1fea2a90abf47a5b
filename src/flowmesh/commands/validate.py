"""`flowmesh validate`: load a saved pipeline without running it."""

import sys

from .common import allow_option, document_argument, load_document


def add_parser(subcommands):
    p = subcommands.add_parser(
        "validate",
        help="check a saved pipeline without running it",
        description="Load a saved pipeline without running it and "
        "report what is wrong with it. Exit code 0 when it loads, "
        "1 when not; an input that nothing feeds is a warning.",
    )
    document_argument(p)
    allow_option(p)
    p.set_defaults(func=cmd_validate)


def cmd_validate(args):
    pipeline = load_document(args.file, args.allow)
    try:
        graph = pipeline.describe()
        elements = graph["elements"]
        # Links inside chains count as connections too.
        connections = graph["connections"] + [
            link for entry in elements for link in entry.get("links", ())
        ]
        fed = {link["input"] for link in connections}
        unfed = [
            f"{leaf['name']}.{port['name']}"
            for entry in elements
            for leaf in entry.get("nodes", [entry])
            for port in leaf["inputs"]
            if port["id"] not in fed
        ]
        print(f"{args.file}: valid ({len(elements)} elements, {len(connections)} connections)")
        for name in unfed:
            print(
                f"flowmesh: warning: {args.file}: nothing feeds the input {name}", file=sys.stderr
            )
    finally:
        pipeline.close()
    return 0
