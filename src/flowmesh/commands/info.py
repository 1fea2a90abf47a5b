"""`flowmesh info`: the streams of an XDF file."""

from .common import CommandError, recording_argument


def add_parser(subcommands):
    p = subcommands.add_parser(
        "info",
        help="list the streams of an XDF file",
        description="Print the streams of an XDF file: name, type, channels, nominal rate, "
        "format, samples, duration, gaps (intervals longer than twice the nominal period) "
        "and whether the file was closed cleanly (stream footers written). A file cut short "
        "is read up to its last complete chunk.",
    )
    recording_argument(p)
    p.set_defaults(func=cmd_info)


def cmd_info(args):
    from .. import xdf

    try:
        streams = xdf.info(args.file)
    except xdf.XdfError as e:
        raise CommandError(str(e)) from e
    print(f"{args.file}: {len(streams)} stream(s)")
    header = ("name", "type", "channels", "rate", "format", "samples", "duration", "gaps", "footer")
    rows = [
        (
            s["name"],
            s["type"],
            str(s["channels"]),
            f"{s['rate']:g} Hz" if s["rate"] else "irregular",
            s["format"],
            str(s["samples"]),
            f"{s['duration']:.3f} s",
            str(s["gaps"]),
            "yes" if s["complete"] else "no",
        )
        for s in streams
    ]
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    for row in [header, *rows]:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths, strict=True)))
    return 0
