"""`flowmesh demo --decode`: a simulated oddball experiment, decoded live.

    eeg (8 channels, 250 Hz) --> notch (50 Hz) --> decimate (/10) --> epochs.signal
    stimuli (targets and standards) ---------------------------------> epochs.marker
    epochs.epoch --> decoder (shrinkage LDA) --> predictions (sink)
    notch + stimuli --> recorder (oddball.npz)

The decoder collects the first `calibration` labelled epochs, fits on its own
thread and from then on predicts every epoch as it arrives; the status line
shows the live accuracy and the run ends `duration` seconds after the fit,
with a confusion table of what was predicted. The decoding chain is then saved
as a document of its own (replay of the recording, decimate, epochs, decoder
loading the fitted model), loaded back and run: it must predict the same
labels for the epochs that were predicted live.
"""

import contextlib
import dataclasses
import os

from ..constants import Constants
from .common import (
    EXIT_USAGE,
    CommandError,
    Status,
    StopSignals,
    load_document,
    monitor_factory,
    run_failure,
    watch,
)

CALIBRATION = 40
INTERVAL = 0.4
JITTER = 0.05
#: The probability of a target.
ODDBALL = 0.3
DECIMATION = 10
TARGET, STANDARD = "target", "standard"
SUBJECT = "oddball"
#: How long the calibration may take beyond its stimuli before the demo gives up.
CALIBRATION_MARGIN = 30.0
# Files in the output directory.
RECORDING, MODEL, DOCUMENT = "oddball.npz", "model.skops", "decoder.json"
_ASYNC = Constants.Timing.ASYNC


@dataclasses.dataclass
class Outcome:
    """What one run of the experiment predicted, and what its reload did."""

    predictions: list  # the live predictions, in order
    calibrated: int  # epochs the decoder was fitted on
    replayed: dict  # marker time -> label predicted by the reloaded document
    document: str | None = None

    @property
    def correct(self):
        return sum(p["label"] == p["marker"] for p in self.predictions)

    @property
    def accuracy(self):
        return self.correct / len(self.predictions) if self.predictions else None

    def confusion(self):
        """{(shown, predicted): count} over the two classes."""
        table = {(a, b): 0 for a in (TARGET, STANDARD) for b in (TARGET, STANDARD)}
        for p in self.predictions:
            key = (p["marker"], p["label"])
            table[key] = table.get(key, 0) + 1
        return table

    def mismatches(self):
        """Live predictions the reloaded document labelled otherwise (or not at all)."""
        return [p for p in self.predictions if self.replayed.get(p["time"]) != p["label"]]


def _element_settings(node):
    """`node`'s settings without its ids and ports, to build a twin from."""
    skip = {"id", "input_ports", "output_ports"}
    return {k: v for k, v in node.config.items() if k not in skip}


def build(output, calibration=CALIBRATION, interval=INTERVAL, seed=1):
    """The live pipeline, logging into `output`/logs; returns (pipeline, parts)."""
    from ..nodes import Classifier, Decimate, Epocher, Filter, Recorder
    from ..pipeline import Pipeline
    from ..sources import Sink
    from ..synthetic import SimulatedEEG, StimulusSource

    parts = {
        "predictions": Sink(name="predictions", input_ports=[{"name": "in", "timing": _ASYNC}]),
        "recorder": Recorder(
            name="recorder",
            path=os.path.join(output, RECORDING),
            input_ports=[{"name": "signal"}, {"name": "marker", "timing": _ASYNC}],
        ),
        "decoder": Classifier(
            name="decoder",
            calibration=calibration,
            labels=[TARGET, STANDARD],
            model=os.path.join(output, MODEL),
        ),
        "epochs": Epocher(name="epochs", tmin=-0.1, tmax=0.6, baseline=[-0.1, 0.0]),
        "decimate": Decimate(name="decimate", factor=DECIMATION),
        "notch": Filter(name="notch", kind="notch", frequencies=50.0, quality=30.0),
        "stimuli": StimulusSource(
            name="stimuli",
            interval=interval,
            jitter=min(JITTER, interval / 2),
            label=TARGET,
            standard_label=STANDARD,
            oddball=ODDBALL,
            subject=SUBJECT,
            seed=seed,
        ),
        "eeg": SimulatedEEG(name="eeg", subject=SUBJECT, seed=seed, latency=0.3),
    }
    links = [
        ("eeg", "out", "notch", "in"),
        ("notch", "out", "decimate", "in"),
        ("decimate", "out", "epochs", "signal"),
        ("stimuli", "out", "epochs", "marker"),
        ("epochs", "epoch", "decoder", "epoch"),
        ("decoder", "prediction", "predictions", "in"),
        ("notch", "out", "recorder", "signal"),
        ("stimuli", "out", "recorder", "marker"),
    ]
    pipeline = Pipeline(directory=os.path.join(output, "logs"))
    try:
        for node in parts.values():  # consumers first: they start first
            pipeline.add_node(node)
        for a, pa, b, pb in links:
            pipeline.connect({"node": parts[a], "port": pa}, {"node": parts[b], "port": pb})
    except BaseException:
        pipeline.close()
        raise
    return pipeline, parts


def build_replay(parts, output):
    """The decoding chain as a pipeline of its own: the recording played back
    as fast as taken, decimated, epoched and predicted by the fitted model."""
    from ..nodes import Classifier, Decimate, Epocher, Replay
    from ..pipeline import Pipeline
    from ..sources import Sink

    decoder = _element_settings(parts["decoder"]) | {"load": True, "calibration": None}
    nodes = {
        "predictions": Sink(name="predictions", input_ports=[{"name": "in", "timing": _ASYNC}]),
        "decoder": Classifier(**decoder),
        "epochs": Epocher(**_element_settings(parts["epochs"])),
        "decimate": Decimate(**_element_settings(parts["decimate"])),
        "replay": Replay(name="replay", path=os.path.join(output, RECORDING), realtime=False),
    }
    pipeline = Pipeline(directory=os.path.join(output, "logs"))
    for node in nodes.values():
        pipeline.add_node(node)
    for a, pa, b, pb in [
        ("replay", "signal", "decimate", "in"),
        ("decimate", "out", "epochs", "signal"),
        ("replay", "marker", "epochs", "marker"),
        ("epochs", "epoch", "decoder", "epoch"),
        ("decoder", "prediction", "predictions", "in"),
    ]:
        pipeline.connect({"node": nodes[a], "port": pa}, {"node": nodes[b], "port": pb})
    return pipeline


def _element(pipeline, name):
    for node in pipeline.get_elements():
        if node.name == name:
            return node
    raise CommandError(f"the pipeline has no element named {name!r}")


def _failure(pipeline):
    reason = run_failure(pipeline)
    if reason is not None:
        raise CommandError(f"demo failed: {reason}")


def live_status(decoder, predictions, calibration):
    def extra():
        if decoder.phase != "predicting":
            return f"{decoder.phase} {decoder.collected:2d}/{calibration} epochs"
        done = predictions.values()
        correct = sum(p["label"] == p["marker"] for p in done)
        share = f"{100 * correct / len(done):5.1f}%" if done else "  -  "
        return f"online: {correct}/{len(done)} correct ({share})"

    return extra


def run_live(pipeline, parts, duration, signals, calibration, interval):
    """Calibrate, then predict for `duration` seconds; False when a signal
    ended the run early."""
    decoder, predictions = parts["decoder"], parts["predictions"]
    status = Status(
        pipeline, [parts["eeg"].get_counter], extra=live_status(decoder, predictions, calibration)
    )
    patience = calibration * interval + CALIBRATION_MARGIN
    print(
        f"Calibration: the first {calibration} epochs (targets and standards), then "
        f"{duration:g} s of online prediction",
        flush=True,
    )
    running = Constants.States.RUNNING
    pipeline.start()
    try:
        waited = 0.0
        while decoder.phase != "predicting" and pipeline.get_state() == running:
            status.update()
            if signals.event.wait(0.25):
                status.finish()
                return False
            waited += 0.25
            if waited > patience:
                status.finish()
                raise CommandError(f"the decoder was not calibrated after {patience:g} s")
        watch(pipeline, status, duration, signals.event)
    finally:
        signals.stop(pipeline)
    return signals.code is None


def replay_check(parts, output, signals, monitored=None):
    """Save the decoding chain with the fitted model, load it back, replay the
    recording through it; marker time -> predicted label."""
    document = os.path.join(output, DOCUMENT)
    pipeline = build_replay(parts, output)
    try:
        pipeline.save(document)
    finally:
        pipeline.close()
    pipeline = load_document(document)
    try:
        with monitored(pipeline) if monitored else contextlib.nullcontext():
            sink = _element(pipeline, "predictions")
            pipeline.start()
            try:
                _element(pipeline, "replay").wait()
                settle(lambda: len(sink.values()), signals.event)
            finally:
                signals.stop(pipeline)
        _failure(pipeline)
        replayed = {p["time"]: p["label"] for p in sink.values()}
    finally:
        signals.wait_for(pipeline.close)
    return document, replayed


def settle(count, stop_event, quiet=0.3, longest=10.0):
    """Wait until `count()` has not changed for `quiet` seconds (the last
    items on their way through a chain), at most `longest` seconds."""
    last, still = count(), 0.0
    for _ in range(int(longest / 0.05)):
        if stop_event.wait(0.05):
            return
        now = count()
        still = still + 0.05 if now == last else 0.0
        last = now
        if still >= quiet:
            return


def experiment(
    output,
    duration,
    seed=1,
    calibration=CALIBRATION,
    interval=INTERVAL,
    signals=None,
    monitored=None,
):
    """Run the experiment and the reload check; an `Outcome` (None when a
    signal stopped it)."""
    output = os.path.abspath(output)
    try:
        os.makedirs(output, exist_ok=True)
    except OSError as e:
        raise CommandError(f"cannot create {output}: {e.strerror or e}") from e
    with StopSignals() if signals is None else contextlib.nullcontext(signals) as signals:
        pipeline, parts = build(output, calibration, interval, seed)
        try:
            print(f"Log file: {pipeline.log_file or '(none: memory only)'}")
            with monitored(pipeline) if monitored else contextlib.nullcontext():
                ran = run_live(pipeline, parts, duration, signals, calibration, interval)
            _failure(pipeline)
            if not ran:
                return None
        finally:
            signals.wait_for(pipeline.close)
        outcome = Outcome(
            predictions=list(parts["predictions"].values()),
            calibrated=parts["decoder"].collected,
            replayed={},
        )
        outcome.document, outcome.replayed = replay_check(parts, output, signals, monitored)
        return outcome


def summary(outcome):
    print(
        f"Decoder fitted on {outcome.calibrated} labelled epochs; then predicted "
        f"{len(outcome.predictions)} epochs online."
    )
    table = outcome.confusion()
    width = max(len(TARGET), len(STANDARD)) + 2
    print("Confusion (rows: shown, columns: predicted):")
    print(" " * (width + 2) + "".join(f"{c:>{width}}" for c in (TARGET, STANDARD)))
    for shown in (TARGET, STANDARD):
        counts = "".join(f"{table[(shown, c)]:>{width}}" for c in (TARGET, STANDARD))
        print(f"  {shown:<{width}}{counts}")
    if outcome.accuracy is None:
        print("No epoch was predicted online; run longer (--duration) to see some.")
    else:
        print(
            f"Online accuracy: {outcome.correct}/{len(outcome.predictions)} "
            f"({100 * outcome.accuracy:.1f}%)"
        )


def cmd_decode(args):
    """`flowmesh demo --decode` from the demo's parsed arguments."""
    for flag, given in (("--fail", args.fail), ("--lsl", args.lsl)):
        if given:
            raise CommandError(f"--decode does not take {flag}", EXIT_USAGE)
    try:
        import sklearn  # noqa: F401
        import skops  # noqa: F401
    except ImportError as e:
        raise CommandError(
            f"--decode needs scikit-learn and skops (pip install 'flowmesh[decode]'): {e}"
        ) from e
    return run_decode(args.output, args.duration, monitored=monitor_factory(args))


def run_decode(output, duration, monitored=None, seed=1):
    """`flowmesh demo --decode`; the exit code."""
    with StopSignals() as signals:
        outcome = experiment(output, duration, seed=seed, signals=signals, monitored=monitored)
        if outcome is None:
            print(f"Stopped by {signals.name}.")
            return signals.code
        summary(outcome)
        wrong = outcome.mismatches()
        print(
            f"Decoder saved with its fitted model as {outcome.document}; loaded back, it "
            f"replayed the recording and predicted {len(outcome.replayed)} epochs"
        )
        if wrong:
            raise CommandError(
                f"the reloaded decoder labelled {len(wrong)} of the "
                f"{len(outcome.predictions)} online epochs otherwise"
            )
        print(
            f"The reloaded decoder gave the same label to all {len(outcome.predictions)} "
            "epochs predicted online."
        )
        return 0 if signals.code is None else signals.code
