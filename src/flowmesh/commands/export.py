"""`flowmesh export`: an XDF recording as EDF, BrainVision or FIF, through MNE."""

from .common import CommandError


def add_parser(subcommands):
    from ..xdf import EXPORT_FORMATS

    p = subcommands.add_parser(
        "export",
        help="convert an XDF recording to EDF, BrainVision or FIF (needs MNE)",
        description="Write one numeric stream of an XDF file (with the samples of its string "
        "streams as annotations at their times) as EDF, BrainVision or FIF, through MNE: "
        "pip install 'flowmesh[mne]'.",
    )
    p.add_argument("file", metavar="FILE.xdf", help="the recording")
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
    p.add_argument("--overwrite", action="store_true", help="replace OUT if it exists")
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
        raise CommandError(str(e).replace("overwrite=True", "--overwrite")) from e
    print(f"Wrote {args.output} ({args.to})")
    return 0
