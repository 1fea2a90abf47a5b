"""`flowmesh export`: an XDF recording as EDF, BrainVision or FIF, through MNE."""

from ..constants import EXPORT_FORMATS
from .common import CommandError, overwrite_error, overwrite_option, recording_argument


def add_parser(subcommands):
    p = subcommands.add_parser(
        "export",
        help="convert an XDF recording to EDF, BrainVision or FIF (needs MNE)",
        description="Write one numeric stream of an XDF file (with the samples of its string "
        "streams as annotations at their times) as EDF, BrainVision or FIF, through MNE: "
        "pip install 'flowmesh[mne]'.",
    )
    recording_argument(p)
    p.add_argument("--to", required=True, choices=EXPORT_FORMATS, help="the format to write")
    p.add_argument("output", metavar="OUT", help="the file to write")
    p.add_argument(
        "--stream",
        metavar="NAME_OR_TYPE",
        help="the numeric stream to export (default: the first one with samples)",
    )
    p.add_argument(
        "--markers",
        metavar="NAME_OR_TYPE",
        help="the string stream whose samples become annotations (default: all)",
    )
    overwrite_option(p, "OUT")
    p.set_defaults(func=cmd_export)


def cmd_export(args):
    from .. import xdf

    try:
        xdf.export(
            args.file,
            args.to,
            args.output,
            stream=args.stream,
            markers=args.markers,
            overwrite=args.overwrite,
        )
    except ImportError as e:
        raise CommandError(f"export needs MNE: pip install 'flowmesh[mne]' ({e})") from e
    except (xdf.XdfError, ValueError) as e:
        raise overwrite_error(e) from e
    print(f"Wrote {args.output} ({args.to})")
    return 0
