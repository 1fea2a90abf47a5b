"""`flowmesh demo`: an evoked-response experiment, simulated and analysed live.

    eeg (8 channels, 250 Hz) --> notch (50 Hz) --> epochs.signal
    stimuli (about 1/s) ------------------------> epochs.marker
    epochs.epoch --> average --> averages (sink)
    notch + stimuli --> recorder (recording.xdf)
    eeg, stimuli --> LSL outlets "flowmesh-eeg" (EEG), "flowmesh-markers" (Markers), with --lsl

The run shows a live status line; then the summary (frames, epochs, the
averaged response's peak and its latency against the simulated one), the
pipeline saved as a document, loaded back and run for two more seconds, and a
plot of the averaged response. `fail=True` makes the EEG fail after a few
seconds instead, to show the failure path.
"""

import contextlib
import os

from ..constants import Constants
from .common import (
    CommandError,
    Status,
    StopSignals,
    load_document,
    monitor_factory,
    monitor_options,
    run_failure,
    seconds,
    watch,
)

SECOND_RUN = 2.0
FAIL_AFTER = 3.0
# The average's peak must lie this close to the simulated latency (seconds).
LATENCY_TOLERANCE = 0.02
# How to get what the plot needs.
PLOT_EXTRA = "pip install 'flowmesh[plot]'"


# What `--lsl` publishes: (element, stream name, stream type, source id, events).
LSL_STREAMS = (
    ("eeg-lsl", "flowmesh-eeg", "EEG", "flowmesh-demo-eeg", False),
    ("stimuli-lsl", "flowmesh-markers", "Markers", "flowmesh-demo-markers", True),
)


def add_parser(subcommands):
    p = subcommands.add_parser(
        "demo",
        help="run the demo: a simulated EEG recording, filtered, epoched and averaged",
        description="A simulated 8-channel EEG at 250 Hz with a stimulus about once a second: "
        "notch-filtered, cut into epochs around the stimuli and averaged live. At the end the "
        "pipeline is saved, loaded back and run again, and the average is plotted (with "
        "matplotlib: pip install 'flowmesh[plot]'; without it the plot is skipped).",
    )
    p.add_argument(
        "--duration",
        type=seconds,
        default=10.0,
        metavar="SECONDS",
        help="how long the main run lasts (default 10)",
    )
    p.add_argument(
        "--output",
        metavar="DIR",
        default="flowmesh-demo",
        help="where the document, the log, the recording and the plot go "
        "(default ./flowmesh-demo, created)",
    )
    p.add_argument(
        "--fail",
        action="store_true",
        help="make a node fail after a few seconds, to show what a failure looks like",
    )
    p.add_argument(
        "--lsl",
        action="store_true",
        help="also publish the signal (type EEG) and the markers (type Markers) as LSL streams "
        "while the demo runs (needs pylsl: pip install 'flowmesh[lsl]')",
    )
    p.add_argument(
        "--decode",
        action="store_true",
        help="run the decoding demo instead: a simulated oddball experiment decoded live by a "
        "classifier calibrated on its first 40 epochs; --duration is then the length of the "
        "online phase (needs scikit-learn and skops: pip install 'flowmesh[decode]')",
    )
    monitor_options(p)
    p.set_defaults(func=cmd_demo)


def cmd_demo(args):
    if args.decode:
        from .oddball import cmd_decode

        return cmd_decode(args)
    return run_demo(
        args.output,
        args.duration,
        fail=args.fail,
        lsl=args.lsl,
        monitored=monitor_factory(args),
    )


def build(output, fail_after=None, lsl=False):
    """The demo pipeline, logging into `output`/logs; returns (pipeline, parts).
    `fail_after`: seconds after which the EEG fails (None: never); `lsl`: also
    publish the EEG and the markers as LSL streams."""
    from ..nodes import Averager, Epocher, Filter, Recorder
    from ..pipeline import Pipeline
    from ..sources import Sink
    from ..synthetic import SimulatedEEG, StimulusSource

    async_in = [{"name": "in", "timing": Constants.Timing.ASYNC}]
    parts = {}
    if lsl:
        try:
            from ..lsl import LSLOutlet
        except ImportError as e:
            raise CommandError(f"--lsl: {e}") from e
        for name, stream, kind, source_id, events in LSL_STREAMS:
            parts[name] = LSLOutlet(
                name=name, stream_name=stream, stream_type=kind, source_id=source_id, events=events
            )
    parts |= {
        "averages": Sink(name="averages", input_ports=async_in),
        "recorder": Recorder(
            name="recorder",
            path=os.path.join(output, "recording.xdf"),
            overwrite=True,
            input_ports=[{"name": "signal"}, {"name": "marker", "timing": Constants.Timing.ASYNC}],
        ),
        "average": Averager(name="average"),
        "epochs": Epocher(name="epochs", tmin=-0.1, tmax=0.6, baseline=[-0.1, 0.0]),
        "notch": Filter(name="notch", kind="notch", frequencies=50.0, quality=30.0),
        "stimuli": StimulusSource(name="stimuli", interval=1.0, jitter=0.1, seed=1),
        "eeg": SimulatedEEG(
            name="eeg",
            sample_rate=250,
            channels=8,
            frame_size=5,
            latency=0.3,
            fail_after=fail_after,
        ),
    }
    pipeline = Pipeline(directory=os.path.join(output, "logs"))
    try:
        # Consumers first: each element starts in the order it was added.
        for node in parts.values():
            pipeline.add_node(node)
        wire(pipeline)
    except BaseException:
        pipeline.close()
        raise
    return pipeline, parts


def wire(pipeline):
    links = [
        ("eeg.out", "notch.in"),
        ("notch.out", "epochs.signal"),
        ("stimuli.out", "epochs.marker"),
        ("epochs.epoch", "average.in"),
        ("average.out", "averages.in"),
        ("notch.out", "recorder.signal"),
        ("stimuli.out", "recorder.marker"),
        ("eeg.out", "eeg-lsl.in"),
        ("stimuli.out", "stimuli-lsl.in"),
    ]
    nodes = {node.name: node for node in pipeline.get_elements()}
    links = [(a, b) for a, b in links if b.split(".")[0] in nodes]
    for source, target in links:
        (a, pa), (b, pb) = source.split("."), target.split(".")
        pipeline.connect({"node": nodes[a], "port": pa}, {"node": nodes[b], "port": pb})


def peak(mean, times):
    """(amplitude, latency) of the largest positive deflection of the
    channels' mean after the stimulus, smoothed over 5 samples so that one
    noisy sample cannot move it."""
    # Here, not at the top: the command line imports every subcommand and
    # `flowmesh --help` need not load numpy.
    import numpy as np

    trace = np.convolve(mean.mean(axis=1), np.ones(5) / 5, mode="same")
    after = times > 0
    i = int(np.argmax(np.where(after, trace, -np.inf)))
    return float(trace[i]), float(times[i])


def element(pipeline, name):
    for node in pipeline.get_elements():
        if node.name == name:
            return node
    raise CommandError(f"the pipeline has no element named {name!r}")


def run_once(pipeline, duration, signals, label):
    """Run `pipeline` for `duration` seconds; False when a signal came first
    and nothing ran."""
    eeg, epochs = element(pipeline, "eeg"), element(pipeline, "average")
    status = Status(pipeline, [eeg.get_counter], extra=lambda: f"{epochs.count:3d} epochs")
    if signals.code is not None:
        return False
    print(f"{label}: running for {duration:g} s", flush=True)
    pipeline.start()
    try:
        watch(pipeline, status, duration, signals.event)
    finally:
        signals.stop(pipeline)
    return True


def report_failure(pipeline):
    """Raise the run's failure, if it failed, as the one-line reason the
    command exits with."""
    reason = run_failure(pipeline)
    if reason is not None:
        if pipeline.get_condition() == Constants.Conditions.ERROR:
            print(f"raise_if_failed() says: {reason}", flush=True)
        raise CommandError(f"demo failed: {reason}")


def run_demo(output, duration, fail=False, lsl=False, monitored=None):
    output = os.path.abspath(output)
    try:
        os.makedirs(output, exist_ok=True)
    except OSError as e:
        raise CommandError(f"cannot create {output}: {e.strerror or e}") from e
    with StopSignals() as signals:
        pipeline, parts = build(output, FAIL_AFTER if fail else None, lsl=lsl)
        try:
            if fail:
                pipeline.add_error_handler(
                    lambda entry: print(f"error handler: {entry['message']}", flush=True)
                )
            print(f"Log file: {pipeline.log_file or '(none: memory only)'}")
            if lsl:
                streams = " and ".join(f"'{s}' (type {k})" for _, s, k, _, _ in LSL_STREAMS)
                print(
                    f"Publishing the LSL streams {streams} while the demo runs; another "
                    "program, or `flowmesh run examples/lsl_subscriber.json`, can pick them up."
                )
            with monitored(pipeline) if monitored else contextlib.nullcontext():
                # A signal while building ends the demo before anything runs.
                if not run_once(pipeline, duration, signals, "Main run"):
                    print(f"Stopped by {signals.name} before the run started; nothing ran.")
                    return signals.code
            report_failure(pipeline)
            if signals.code is not None:
                return signals.code
            summary(parts)
            document = os.path.join(output, "pipeline.json")
            pipeline.save(document)
            print(f"Pipeline saved to {document}")
            plot = plot_average(parts, os.path.join(output, "average.png"))
        finally:
            signals.wait_for(pipeline.close)
        second_run(document, signals, monitored)
        if plot is None:
            print(f"Plot skipped: it needs matplotlib ({PLOT_EXTRA})")
        else:
            print(f"Plot of the averaged response: {plot}")
        if signals.code is not None:
            return signals.code
        from .. import xdf

        print(f"Recording of the second run, read back with pyxdf: {parts['recorder'].path}")
        for line in xdf.summary(parts["recorder"].path):
            print(f"  {line}")
        print(
            "Next: `flowmesh demo --decode` decodes a simulated oddball experiment live "
            "(calibration, then online predictions and their accuracy)."
        )
        return 0


def summary(parts):
    eeg, average = parts["eeg"], parts["average"]
    latency = eeg.config[eeg.Configuration.Keys.LATENCY]
    keys = eeg.Configuration.Keys
    frames = eeg.get_counter()
    print(
        f"Frames produced: {frames} ({frames * eeg.config[keys.FRAME_SIZE]} samples x "
        f"{eeg.config[keys.CHANNELS]} channels)"
    )
    print(f"Epochs averaged: {average.count} (dropped: {parts['epochs'].dropped})")
    mean = average.mean()
    if mean is None:
        print("No epoch was complete yet; run longer to see an average.")
        return
    amplitude, at = peak(mean, parts["averages"].values()[-1]["times"])
    verdict = "matches" if abs(at - latency) <= LATENCY_TOLERANCE else "DIFFERS from"
    print(
        f"Averaged response: peak {amplitude:.1f} uV at {at * 1000:.0f} ms "
        f"({verdict} the simulated latency of {latency * 1000:.0f} ms)"
    )


def second_run(document, signals, monitored=None):
    pipeline = load_document(document)
    try:
        print(f"Loaded {document} back: {len(pipeline.get_elements())} elements")
        with monitored(pipeline) if monitored else contextlib.nullcontext():
            ran = run_once(pipeline, SECOND_RUN, signals, "Second run (loaded)")
        report_failure(pipeline)
        if not ran:
            return
        eeg, average = element(pipeline, "eeg"), element(pipeline, "average")
        print(f"Second run: {eeg.get_counter()} frames, epochs averaged: {average.count}")
    finally:
        signals.wait_for(pipeline.close)


def plot_average(parts, path):
    """A PNG of the averaged response per channel and their mean; None
    without matplotlib, an optional dependency."""
    try:
        import matplotlib
    except ImportError:
        return None

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    mean = parts["average"].mean()
    fig, ax = plt.subplots(figsize=(8, 4.5), dpi=100)
    try:
        latency = parts["eeg"].config["latency"]
        if mean is None:
            ax.text(0.5, 0.5, "no complete epoch", ha="center", transform=ax.transAxes)
        else:
            times = parts["averages"].values()[-1]["times"] * 1000
            for ch in range(mean.shape[1]):
                ax.plot(times, mean[:, ch], lw=0.8, alpha=0.6, label=f"EEG{ch + 1}")
            ax.plot(times, mean.mean(axis=1), color="black", lw=2, label="mean")
            ax.axvline(0, color="grey", lw=0.8)
            ax.axvline(latency * 1000, color="red", ls="--", lw=0.8, label="simulated latency")
            ax.legend(fontsize=7, ncol=2)
        ax.set_xlabel("time after stimulus (ms)")
        ax.set_ylabel("amplitude (uV)")
        ax.set_title(f"Average of {parts['average'].count} epochs")
        fig.tight_layout()
        fig.savefig(path)
    finally:
        plt.close(fig)
    return path
