"""`flowmesh run`: load a saved pipeline and run it with a live status."""

import contextlib
import time

from .common import (
    CommandError,
    Status,
    StopSignals,
    allow_option,
    describe_error,
    document_argument,
    error_text,
    leaves,
    load_document,
    monitor_factory,
    monitor_options,
    run_failure,
    seconds,
    source_counters,
    watch,
)


def add_parser(subcommands):
    p = subcommands.add_parser(
        "run",
        help="load a saved pipeline and run it",
        description="Load a saved pipeline and run it with a live status. "
        "Ctrl-C, SIGTERM or SIGHUP stops it cleanly (exit codes 130, 143 and 129; a second "
        "signal ends it at once); a failure inside the run exits with 1. It prints where its "
        "log goes and, at the end, a summary: duration, frames, drops, failures.",
    )
    document_argument(p)
    p.add_argument(
        "--duration",
        type=seconds,
        default=None,
        metavar="SECONDS",
        help="stop after this long (default: run until stopped)",
    )
    allow_option(p)
    monitor_options(p)
    p.set_defaults(func=cmd_run)


def cmd_run(args):
    monitored = monitor_factory(args)
    with StopSignals() as signals:
        pipeline = load_document(args.file, args.allow)
        ran = None
        try:
            with monitored(pipeline):
                # A signal while loading or setting up ends the command before
                # anything runs: a run begun anyway would overwrite its files.
                if signals.code is None:
                    print(f"Log file: {pipeline.log_file or '(none: memory only)'}", flush=True)
                    ran = run_pipeline(pipeline, args.file, args.duration, signals)
        finally:
            signals.wait_for(pipeline.close)
        if ran is not None:
            print_summary(pipeline, ran)
        failed = run_failure(pipeline)
        if failed is not None:
            raise CommandError(failed)
        if signals.code is not None:
            when = "." if ran is not None else " before the run started; nothing ran."
            print(f"Stopped by {signals.name}{when}", flush=True)
            return signals.code
    return 0


def run_pipeline(pipeline, label, duration, signals):
    """Start `pipeline`, show its status until `duration` has passed, a
    signal came or it stopped by itself, and stop it; returns the seconds
    it ran, or None when a signal came first and nothing ran. The page of
    `--monitor`, when open, sees the stop before it closes."""
    from ..monitor.figures import Load

    load = Load(leaves(pipeline))
    status = Status(pipeline, source_counters(pipeline), extra=load.line)
    if signals.code is not None:
        return None
    print(f"Running {label}; Ctrl-C stops it.", flush=True)
    began = time.monotonic()
    load.begin()
    try:
        try:
            pipeline.start()
        except Exception as e:
            raise CommandError(f"{label}: could not start: {describe_error(e)}") from e
        watch(pipeline, status, duration, signals.event)
        if signals.code is not None:
            print(f"Stopping ({signals.name}); a second one ends at once.", flush=True)
    finally:
        try:
            signals.stop(pipeline)
        finally:
            load.end()
    return time.monotonic() - began


def print_summary(pipeline, ran_for):
    """How long the run lasted, the nodes that took the most time in their
    handlers, the frames of each element that produced, the items dropped,
    the failures."""
    produced, drops, failures = [], [], []
    for entry in pipeline.describe()["elements"]:
        outputs = entry["outputs"] or any(n["outputs"] for n in entry.get("nodes", ()))
        if outputs and entry["counter"]:
            produced.append(f"{entry['name']} {entry['counter']}")
    for element in leaves(pipeline):
        with contextlib.suppress(Exception):
            queued = getattr(element, "get_dropped", None)
            for port, count in (queued() if callable(queued) else {}).items():
                if count:
                    drops.append(f"{element.name}.{port} {count}")
        own = getattr(element, "dropped", None)
        if type(own) is int and own:
            drops.append(f"{element.name} {own}")
        with contextlib.suppress(Exception):
            if (failure := element.failure()) is not None:
                failures.append(f"{element.name} ({type(failure).__name__}: {error_text(failure)})")
    from ..monitor.figures import Load

    busiest = Load(leaves(pipeline)).summary(ran_for)
    print(f"Ran for {ran_for:.1f} s.")
    print(f"Busy (share of one core): {', '.join(busiest) or 'nothing measured'}")
    print(f"Frames: {', '.join(produced) or 'none'}")
    print(f"Drops: {', '.join(drops) or 'none'}")
    print(f"Failures: {', '.join(failures) or 'none'}", flush=True)
