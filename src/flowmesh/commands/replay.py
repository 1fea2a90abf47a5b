"""`flowmesh replay`: play an XDF file, as LSL streams or on the terminal."""

import threading

from .common import CommandError, StopSignals, describe_error, recording_argument, seconds


def add_parser(subcommands):
    p = subcommands.add_parser(
        "replay",
        help="play an XDF file back (as LSL streams with --lsl)",
        description="Play the streams of an XDF file with their recorded timing. With --lsl "
        "each stream is published as an LSL outlet with its name, type, channels, rate and "
        "labels, so that other tools see the session as live streams (needs pylsl); "
        "without it, the markers are printed as they come. Ctrl-C, SIGTERM or SIGHUP stop it.",
    )
    recording_argument(p)
    p.add_argument("--lsl", action="store_true", help="publish the streams as LSL outlets")
    p.add_argument(
        "--speed",
        type=_speed,
        default=1.0,
        metavar="X|max",
        help="1 plays in real time (default), 2 twice as fast, max as fast as possible",
    )
    p.add_argument(
        "--wait-for-consumers",
        type=seconds,
        metavar="SECONDS",
        help="with --lsl: start playing once every stream has a consumer (or after SECONDS)",
    )
    p.add_argument(
        "--stream",
        metavar="NAME_OR_TYPE",
        action="append",
        help="play only the streams with this name or type (repeatable)",
    )
    p.set_defaults(func=cmd_replay)


def _speed(text):
    import argparse
    import math

    if text.lower() == "max":
        return None
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a speed: {text!r}") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive number or max: {text!r}")
    return value


def cmd_replay(args):
    from .. import xdf

    with StopSignals() as signals:
        try:
            if args.lsl:
                counts = _publish(args, signals)
            else:
                counts = _print(args, signals)
        except xdf.XdfError as e:
            raise CommandError(str(e)) from e
        print("Played: " + ", ".join(f"{name} {n} samples" for name, n in counts.items()))
        if signals.code is not None:
            print(f"Stopped by {signals.name}.", flush=True)
            return signals.code
    return 0


def _publish(args, signals):
    try:
        from ..lsl import recording
    except ImportError as e:
        raise CommandError(f"replay --lsl needs pylsl: {describe_error(e)}") from e
    started = threading.Event()
    result, raised = {}, []

    def play():
        try:
            result.update(
                recording.publish(
                    args.file,
                    speed=args.speed,
                    select=args.stream,
                    stop=signals.event,
                    started=started,
                    wait_for_consumers=args.wait_for_consumers,
                )
            )
        except BaseException as e:
            raised.append(e)
        finally:
            started.set()

    # On a thread: the signal handlers run on this one meanwhile.
    player = threading.Thread(target=play, name="replay", daemon=True)
    player.start()
    started.wait()
    if not raised:
        print(f"Publishing {args.file} as LSL streams; Ctrl-C stops it.", flush=True)
    while player.is_alive():
        player.join(0.25)
    if raised:
        raise raised[0]
    return result


def _print(args, signals):
    from ..constants import Constants
    from ..nodes import Replay
    from ..pipeline import Pipeline
    from ..sources import Sink

    replay = Replay(name="replay", path=args.file, speed=args.speed, streams=args.stream)
    counts = {}
    ports = replay.config["output_ports"]
    with Pipeline() as p:
        for port in ports:
            name = port["name"]
            if name.endswith("_timestamps"):
                continue
            counts[name] = 0
            event = port["timing"] == Constants.Timing.ASYNC

            def seen(data, name=name, event=event):
                value = data[name]
                if event:
                    counts[name] += 1
                    print(f"{name}: {value}", flush=True)
                else:
                    counts[name] += len(value)

            sink = Sink(
                name=f"show_{name}",
                input_ports=[{"name": name, "timing": port["timing"]}],
                callback=seen,
            )
            p.connect({"node": replay, "port": name}, {"node": sink, "port": name})
        p.start()
        try:
            while not replay.wait(0.25) and not signals.event.is_set():
                pass
        finally:
            signals.stop(p)
        try:
            p.raise_if_failed()
        except RuntimeError as e:
            raise CommandError(describe_error(e)) from e
    return counts
