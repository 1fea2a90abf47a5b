"""`flowmesh record`: LSL streams to one XDF file, headless."""

import sys
import time

from .common import (
    CommandError,
    StopSignals,
    describe_error,
    overwrite_error,
    overwrite_option,
    seconds,
)


def add_parser(subcommands):
    p = subcommands.add_parser(
        "record",
        help="record LSL streams to an XDF file",
        description="Record every LSL stream matching the queries to one XDF file, written as "
        "the streams arrive, with a live status line (streams, samples, file size, seconds "
        "since the last flush). Samples are in the OS within the flush interval and on disk "
        "within the fsync interval; a killed recorder leaves a file that loads with what "
        "was flushed. Ctrl-C, SIGTERM or SIGHUP end it with a complete file (exit codes 130, "
        "143, 129). Needs pylsl: pip install 'flowmesh[lsl]'.",
    )
    p.add_argument("output", metavar="OUT.xdf", help="the file to write")
    p.add_argument(
        "--stream",
        metavar="QUERY",
        action="append",
        required=True,
        help="streams to record: name=..., type=..., source_id=... or predicate=... "
        "(several joined with commas must all hold); repeatable",
    )
    p.add_argument("--duration", type=seconds, metavar="SECONDS", help="stop after this long")
    overwrite_option(p, "OUT.xdf")
    p.add_argument(
        "--flush-interval",
        type=seconds,
        default=1.0,
        metavar="SECONDS",
        help="hand samples to the OS at least this often (default 1)",
    )
    p.add_argument(
        "--fsync-interval",
        type=_seconds_or_none,
        default=5.0,
        metavar="SECONDS|none",
        help="sync the file to disk this often (default 5; none: at the end only)",
    )
    p.add_argument(
        "--resolve-timeout",
        type=seconds,
        default=10.0,
        metavar="SECONDS",
        help="how long to look for each query's streams (default 10)",
    )
    p.set_defaults(func=cmd_record)


def _seconds_or_none(text):
    return None if text.lower() == "none" else seconds(text)


def cmd_record(args):
    from .. import xdf

    try:
        from ..lsl import recording
    except ImportError as e:
        raise CommandError(f"record needs pylsl: {describe_error(e)}") from e
    try:
        queries = [recording.parse_query(q) for q in args.stream]
    except ValueError as e:
        raise CommandError(str(e), 2) from e
    with StopSignals() as signals:
        try:
            infos = recording.resolve(queries, args.resolve_timeout, signals.event)
        except TimeoutError as e:
            raise CommandError(str(e)) from e
        if signals.code is not None:
            print(f"Stopped by {signals.name} before recording; nothing written.", flush=True)
            return signals.code
        try:
            rec = recording.LSLRecording(
                args.output,
                infos,
                overwrite=args.overwrite,
                flush_interval=args.flush_interval,
                fsync_interval=args.fsync_interval,
            )
        except xdf.XdfError as e:
            raise overwrite_error(e) from e
        names = ", ".join(f"{name!r} ({kind})" for _, name, kind in rec.streams)
        print(f"Recording {names} to {rec.path}; Ctrl-C stops it.", flush=True)
        began = time.monotonic()
        _watch(rec, args.duration, signals.event)
        failure = None
        try:
            signals.wait_for(rec.close)
        except Exception as e:
            failure = e
        counts = rec.writer.samples()
        took = time.monotonic() - began
        print(
            f"Recorded {took:.1f} s to {rec.path}: "
            + ", ".join(f"{name} {counts.get(sid, 0)} samples" for sid, name, _ in rec.streams),
            flush=True,
        )
        if rec.writer.dropped:
            print(f"Dropped: {rec.writer.dropped_samples} samples", flush=True)
        if failure is not None:
            raise CommandError(describe_error(failure)) from failure
        if signals.code is not None:
            print(f"Stopped by {signals.name}; the file is complete.", flush=True)
            return signals.code
    return 0


def _watch(rec, duration, stop_event):
    deadline = None if duration is None else time.monotonic() + duration
    tty = sys.stdout.isatty()
    printed = 0.0
    while not rec.failed:
        if tty:
            sys.stdout.write("\r\x1b[2K" + rec.status())
            sys.stdout.flush()
        elif time.monotonic() - printed >= 1.0:
            print(rec.status(), flush=True)
            printed = time.monotonic()
        wait = 0.25 if deadline is None else min(0.25, deadline - time.monotonic())
        if wait <= 0 or stop_event.wait(wait):
            break
    if tty:
        sys.stdout.write("\n")
        sys.stdout.flush()
