"""Cost of decoding: per-epoch prediction latency and the signal nodes' cost
per frame, each beside its floor measured in the same run.

Run with `make bench` (or `PYTHONPATH=src .venv/bin/python bench/decoding.py`).
The floors: for a prediction, the same fitted estimator's `predict` and
`predict_proba` called by hand on the same epochs; for a signal node, its
scipy (or numpy) function called by hand on the same frame. As in
bench/run.py, each row is measured in several repeats, flowmesh and its floor
back to back, and what counts is the median of their ratio; the spread
(min..max over the repeats) is printed beside every median.
"""

from __future__ import annotations

import argparse
import os
import sys
import threading
from time import perf_counter_ns

import numpy as np
from run import REPEATS, percentile, print_table, row

from flowmesh.constants import Constants
from flowmesh.i_node import INode
from flowmesh.nodes import (
    BandPower,
    Classifier,
    Decimate,
    Epocher,
    Rereference,
    Resample,
    Scaler,
    Select,
)
from flowmesh.pipeline import Pipeline
from flowmesh.sources import EventSource, SampledSource

RATE = 250.0
CHANNELS = 8
FRAME = 5
ASYNC = Constants.Timing.ASYNC
US = 1e3  # ns per microsecond


# ------------------------------------------------------------------ prediction


def training_set(n=80, seed=0):
    rng = np.random.default_rng(seed)
    labels = np.array(["target" if rng.random() < 0.3 else "standard" for _ in range(n)])
    X = rng.normal(0, 1, (n, 18 * CHANNELS)) + (labels == "target")[:, None] * 0.8
    return X, labels


def fitted(path):
    """A shrinkage LDA fitted on a simulated training set, saved to `path`."""
    from sklearn.discriminant_analysis import LinearDiscriminantAnalysis

    from flowmesh.nodes import save_model

    X, y = training_set()
    model = LinearDiscriminantAnalysis(solver="lsqr", shrinkage="auto").fit(X, y)
    save_model(model, path)
    return model


class Stamped(INode):
    """Keeps, per prediction, the time it arrived."""

    def __init__(self, **config):
        self.arrived = []
        self.expected = 0
        self.done = threading.Event()
        super().__init__(**config)

    def step(self, data):
        self.arrived.append(perf_counter_ns())
        if len(self.arrived) >= self.expected:
            self.done.set()
        return None


class Signal(SampledSource):
    """Frames as fast as taken, once `gate` opens; keeps the time each left."""

    def __init__(self, frames, rate, gate, **config):
        self._frames, self._rate, self._gate = frames, rate, gate
        self.sent = []
        super().__init__(frames=len(frames), **config)

    def setup(self, data, context):
        self._gate.wait(60)
        return {"out": {"rate": self._rate, "t0": 0.0}}

    def step(self, data):
        self.sent.append(perf_counter_ns())
        return {"out": self._frames[self.get_counter()]}


def prediction_latency(model_path, model, logs, epochs=200) -> list[dict]:
    """From the moment the frame that completes an epoch's window leaves the
    source, through the epocher and the classifier, to the prediction
    reaching the next node. The signal is the demo's after decimation: 25 Hz,
    one sample a frame, epochs of 18 samples x 8 channels."""
    rate, length = 25.0, 18
    n = (epochs + 2) * length
    x = np.random.default_rng(1).normal(0, 1, (n, CHANNELS))
    frames = [x[i : i + 1] for i in range(n)]
    onsets = [(k + 1) * length for k in range(epochs)]
    p50s, p99s, f50s, f99s = [], [], [], []
    for _ in range(REPEATS):
        gate = threading.Event()
        source = Signal(frames, rate, gate, name="signal")
        markers = EventSource(name="markers")
        cut = Epocher(name="epochs", tmin=0.0, tmax=length / rate, history=3600.0)
        decoder = Classifier(name="decoder", model=model_path, load=True)
        sink = Stamped(name="sink", input_ports=[{"name": "in", "timing": ASYNC}])
        sink.expected = epochs
        with Pipeline(directory=logs) as p:
            for node in (sink, decoder, cut, markers):
                p.add_node(node)
            p.connect(source, {"node": cut, "port": "signal"})
            p.connect(markers, {"node": cut, "port": "marker"})
            p.connect({"node": cut, "port": "epoch"}, {"node": decoder, "port": "epoch"})
            p.connect({"node": decoder, "port": "prediction"}, sink)
            p.start()
            for onset in onsets:
                markers.trigger({"sample": onset, "label": "x"})
            gate.set()
            finished = sink.done.wait(60)
            p.stop()
        if not finished:
            raise RuntimeError(f"only {len(sink.arrived)} of {epochs} predictions arrived")
        completing = [onset + length - 1 for onset in onsets]
        lat = sorted(a - source.sent[f] for a, f in zip(sink.arrived, completing, strict=True))
        # The floor: the same model's calls by hand on the same epochs.
        hand = []
        for onset in onsets:
            features = x[onset : onset + length].ravel()[None, :]
            began = perf_counter_ns()
            model.predict(features)
            model.predict_proba(features)
            hand.append(perf_counter_ns() - began)
        hand.sort()
        p50s.append(percentile(lat, 0.5) / US)
        p99s.append(percentile(lat, 0.99) / US)
        f50s.append(percentile(hand, 0.5) / US)
        f99s.append(percentile(hand, 0.99) / US)
    return [
        row("frame completing an epoch -> prediction, p50", "us", p50s, f50s),
        row("frame completing an epoch -> prediction, p99", "us", p99s, f99s),
    ]


# ------------------------------------------------------------------ signal nodes


def node_cost(make, floor_of, frames=400, frame=FRAME) -> tuple[list[float], list[float]]:
    """(ours, floor) in microseconds per frame, per repeat."""
    rng = np.random.default_rng(2)
    x = rng.normal(0, 1, (frames * frame, CHANNELS)) + 10.0
    chunks = [x[i : i + frame] for i in range(0, len(x), frame)]
    context = {"rate": RATE, "t0": 0.0, "channels": [f"EEG{i + 1}" for i in range(CHANNELS)]}
    ours, floor = [], []
    for _ in range(REPEATS):
        node = make()
        node.setup({}, {"in": dict(context)})
        began = perf_counter_ns()
        for chunk in chunks:
            node.step({"in": chunk})
        ours.append((perf_counter_ns() - began) / len(chunks) / US)
        by_hand = floor_of(x)
        began = perf_counter_ns()
        for i, chunk in enumerate(chunks):
            by_hand(chunk, i * frame)
        floor.append((perf_counter_ns() - began) / len(chunks) / US)
    return ours, floor


def signal_nodes() -> list[dict]:
    from scipy import signal, stats

    def resample(x):
        return lambda chunk, at: signal.resample_poly(chunk, 2, 5, axis=0)

    def decimate(x):
        return lambda chunk, at: signal.decimate(chunk, 5, ftype="fir", zero_phase=False, axis=0)

    def average(x):
        return lambda chunk, at: chunk - chunk.mean(axis=1, keepdims=True)

    def select(x):
        return lambda chunk, at: chunk[:, [3, 0, 1]]

    def bandpower(x):
        def by_hand(chunk, at):
            end = at + len(chunk)
            if end >= 250:
                f, psd = signal.welch(x[end - 250 : end], fs=RATE, nperseg=125, axis=0)
                psd[(f >= 8) & (f <= 13)].sum(axis=0)

        return by_hand

    def zscore(x):
        def by_hand(chunk, at):
            # The statistics of the last second, as the node keeps them.
            window = x[max(0, at + len(chunk) - 250) : at + len(chunk)]
            stats.zmap(chunk, window, axis=0)

        return by_hand

    cases = [
        ("Resample 2/5", lambda: Resample(up=2, down=5), resample),
        ("Decimate /5 (FIR)", lambda: Decimate(factor=5), decimate),
        ("Rereference (average)", Rereference, average),
        ("Select (3 by label)", lambda: Select(channels=["EEG4", "EEG1", "EEG2"]), select),
        (
            "BandPower (1 s, every 20 ms)",
            lambda: BandPower(bands=[[8, 13]], window=1.0, step=FRAME / RATE),
            bandpower,
        ),
        ("Scaler (running, 1 s)", lambda: Scaler(window=1.0), zscore),
    ]
    rows = []
    for name, make, floor_of in cases:
        ours, floor = node_cost(make, floor_of)
        rows.append(row(f"{name}, {FRAME}x{CHANNELS} frame", "us", ours, floor))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.parse_args()
    try:
        import sklearn  # noqa: F401
        import skops  # noqa: F401
    except ImportError as e:
        print(f"decoding bench skipped: {e} (pip install 'flowmesh[decode]')")
        return
    print(
        f"flowmesh decoding bench, Python {sys.version.split()[0]}, {REPEATS} repeats, "
        "median (min..max)"
    )
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "model.skops")
        model = fitted(path)
        print("\nPrediction latency (frame completing an epoch -> prediction out)", flush=True)
        print_table(prediction_latency(path, model, os.path.join(tmp, "logs")))
    print(
        "\nSignal nodes, per frame (floor: the scipy/numpy call on the frame by hand)", flush=True
    )
    print_table(signal_nodes())


if __name__ == "__main__":
    main()
