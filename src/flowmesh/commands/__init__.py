"""The `flowmesh` command: demo, run, graph, validate, record, replay, info, export.

Each subcommand is a module of this package with `add_parser(subcommands)`,
which adds its parser and sets its `cmd_*` function as `func`; a new
subcommand is one more module and one more entry in `SUBCOMMANDS`.

Every mistake a user can make on the command line ends the command with one
line on standard error and a non-zero exit code, never a traceback (see
`common`).
"""

import sys

from .. import __version__
from . import demo, export, graph, info, record, replay, run, validate
from .common import (
    EXIT_FAILED,
    EXIT_SIGINT,
    CommandError,
    Parser,
    best_effort_output,
    describe_error,
    one_line,
)

# In the order `flowmesh --help` lists them.
SUBCOMMANDS = (demo, run, graph, validate, record, replay, info, export)


def build_parser():
    parser = Parser(
        prog="flowmesh",
        description="flowmesh: a real-time dataflow framework. Run the demo, or run, check "
        "and draw a saved pipeline; record, replay, list and export XDF recordings.",
    )
    parser.add_argument("--version", action="version", version=f"flowmesh {__version__}")
    subcommands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    subcommands.required = True
    for module in SUBCOMMANDS:
        module.add_parser(subcommands)
    return parser


def main(argv=None):
    """Run the command line `argv` (default: the process's); returns the exit code."""
    with best_effort_output():
        return _main(argv)


def _main(argv):
    try:
        args = build_parser().parse_args(argv)
        return args.func(args)
    except CommandError as e:
        print(
            f"flowmesh: {one_line(e)}" if not str(e).startswith("flowmesh") else one_line(e),
            file=sys.stderr,
        )
        return e.code
    except KeyboardInterrupt:
        print("flowmesh: interrupted", file=sys.stderr)
        return EXIT_SIGINT
    except Exception as e:
        # A fault of flowmesh itself: still one line, with where to look.
        print(f"flowmesh: internal error: {type(e).__name__}: {describe_error(e)}", file=sys.stderr)
        return EXIT_FAILED
    finally:
        try:
            sys.stdout.flush()
        except Exception:
            pass
