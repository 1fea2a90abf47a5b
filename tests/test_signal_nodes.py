"""The decoders' signal nodes: frame by frame they give what scipy and numpy
give on the whole signal, say in their context what they did, and fail
clearly on frames they cannot take."""

import re

import numpy as np
import pytest
from scipy import signal
from support import wait_until
from test_nodes import Frames, split

from flowmesh.nodes import BandPower, Decimate, Rereference, Resample, Scaler, Select
from flowmesh.pipeline import Pipeline
from flowmesh.portable import Portable
from flowmesh.sources import Sink

RATE = 250.0
LABELS = ["Fz", "Cz", "Pz", "Oz"]
CONTEXT = {"rate": RATE, "t0": 10.0, "channels": LABELS}


def eeg(n=1500, seed=3):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / RATE
    x = rng.normal(0, 1, (n, len(LABELS))) + 40.0 * np.arange(1, len(LABELS) + 1)
    return x + 5 * np.sin(2 * np.pi * 10 * t)[:, None] + np.sin(2 * np.pi * 50 * t)[:, None]


def random_chunks(x, seed):
    """`x` cut at random places, one-sample frames among them."""
    rng = np.random.default_rng(seed)
    chunks, i = [], 0
    while i < len(x):
        size = int(rng.choice([1, 1, 2, 7, 31, 64, 200]))
        chunks.append(x[i : i + size])
        i += size
    return chunks


def feed(node, chunks, context=CONTEXT):
    """(output frames joined, outgoing context) of `node` driven by hand."""
    outgoing = node.setup({}, {"in": dict(context)})["out"]
    frames = [node.step({"in": chunk}) for chunk in chunks]
    out = [f["out"] for f in frames if f is not None]
    return (np.concatenate(out) if out else None), outgoing


def fresh(node):
    """A new node of `node`'s settings, with ids of its own."""
    skip = ("id", "input_ports", "output_ports")
    return type(node)(**{k: v for k, v in node.config.items() if k not in skip})


def rolling_zscore(x, n):
    out = np.empty_like(x)
    for i in range(len(x)):
        w = x[max(0, i - n + 1) : i + 1]
        std = w.std(axis=0)
        out[i] = np.where(std > 0, (x[i] - w.mean(axis=0)) / np.where(std > 0, std, 1), 0)
    return out


def band_powers(x, window, step, segment, bands):
    rows = []
    for end in range(window, len(x) + 1, step):
        f, psd = signal.welch(x[end - window : end], fs=RATE, nperseg=segment, axis=0)
        df = f[1] - f[0]
        rows.append(
            np.stack([psd[(f >= lo) & (f <= hi)].sum(axis=0) * df for lo, hi in bands], axis=1)
        )
    return np.stack(rows).reshape(len(rows), -1)


def offline_cases():
    x = eeg()
    average = x - x.mean(axis=1, keepdims=True)
    cases = [
        (Resample(up=2, down=3), None),
        (Resample(up=3, down=2, window="hamming"), None),
        (Resample(up=1, down=4), None),
        (
            Decimate(factor=4),
            lambda x: signal.decimate(x, 4, ftype="fir", zero_phase=False, axis=0),
        ),
        (
            Decimate(factor=3, ftype="iir", order=6),
            lambda x: signal.decimate(x, 3, n=6, ftype="iir", zero_phase=False, axis=0),
        ),
        (Rereference(), lambda x: average),
        (Rereference(reference=["Cz", 3]), lambda x: x - x[:, [1, 3]].mean(axis=1, keepdims=True)),
        (Select(channels=["Oz", 0, "Cz"]), lambda x: x[:, [3, 0, 1]]),
        (Scaler(window=0.4), lambda x: rolling_zscore(x, 100)),
        (
            Scaler(mode="calibrated", calibration=2.0),
            lambda x: (x[500:] - x[:500].mean(axis=0)) / x[:500].std(axis=0),
        ),
        (
            BandPower(bands=[[8, 12], [45, 55]], window=1.0, step=0.3),
            lambda x: band_powers(x, 250, 75, 125, [[8, 12], [45, 55]]),
        ),
    ]
    return [
        pytest.param(node, ref, id=f"{type(node).__name__}-{i}")
        for i, (node, ref) in enumerate(cases)
    ]


@pytest.mark.parametrize(("node", "reference"), offline_cases())
@pytest.mark.parametrize("seed", [0, 1])
def test_frame_by_frame_equals_the_whole_signal_at_once(node, reference, seed):
    x = eeg()
    online, _ = feed(node, random_chunks(x, seed))
    if isinstance(node, Resample):
        # A causal stream: resample_poly's output, delayed by the filter's half length.
        h, up, down, delay = node.design()
        expected = signal.upfirdn(h, x, up, down, axis=0)[: -(-len(x) * up // down)]
        assert online.shape == expected.shape
        np.testing.assert_allclose(online, expected, rtol=1e-9, atol=1e-9)
        window = node.config["window"]
        window = window if isinstance(window, str) else tuple(window)
        aligned = signal.resample_poly(
            x, node.config["up"], node.config["down"], axis=0, window=window
        )
        np.testing.assert_allclose(online[delay:], aligned[: len(online) - delay], atol=1e-9)
        return
    expected = reference(x)
    assert online.shape == expected.shape
    np.testing.assert_allclose(online, expected, rtol=1e-8, atol=1e-8)


@pytest.mark.parametrize(
    ("node", "rate", "channels"),
    [
        (Resample(up=2, down=5), 100.0, LABELS),
        (Decimate(factor=5), 50.0, LABELS),
        (Select(channels=["Pz", "Fz"]), RATE, ["Pz", "Fz"]),
        (BandPower(bands=[[1, 4]], step=0.5), 2.0, [f"{c} 1-4 Hz" for c in LABELS]),
    ],
)
def test_the_context_says_what_the_node_did(node, rate, channels):
    _, context = feed(node, [], CONTEXT)
    assert context["rate"] == pytest.approx(rate)
    assert context["channels"] == channels


@pytest.mark.parametrize("node", [Resample(up=3, down=5), Decimate(factor=5)])
def test_a_linear_phase_delay_moves_t0_so_markers_meet_their_response(node):
    # A pulse at 2.0 s: after the node, the context's t0 puts its peak at 2.0 s again.
    x = np.zeros((1000, 1))
    x[500] = 1.0
    y, context = feed(node, random_chunks(x, 5), {"rate": RATE, "t0": 0.0})
    peak_time = context["t0"] + np.argmax(y[:, 0]) / context["rate"]
    assert peak_time == pytest.approx(2.0, abs=0.5 / context["rate"])
    assert context["delay"] > 0


STATEFUL = [
    lambda: Resample(up=2, down=3),
    lambda: Decimate(factor=2),
    lambda: BandPower(window=0.1, step=0.1),
    lambda: Scaler(window=0.1),
    lambda: Scaler(mode="calibrated", calibration=0.1),
]


@pytest.mark.parametrize("make", STATEFUL)
def test_stateful_nodes_refuse_non_finite_values_and_a_change_of_channels(make):
    node = make()
    node.setup({}, {"in": {"rate": RATE}})
    node.step({"in": np.ones((40, 3))})
    with pytest.raises(ValueError, match=r"a frame has 2 channels, the earlier frames had 3"):
        node.step({"in": np.ones((5, 2))})
    bad = np.ones((5, 3))
    bad[2, 1] = np.nan
    with pytest.raises(ValueError, match=r"holds nan \(sample 2, channel 1\)"):
        node.step({"in": bad})


@pytest.mark.parametrize("node", [Rereference(), Select(channels=[1, 2])])
def test_stateless_nodes_pass_nan_through(node):
    x = np.ones((4, 3))
    x[1, 2] = np.nan
    y, _ = feed(node, [x], {})
    assert np.isnan(y[1]).any() and np.isfinite(y[[0, 2, 3]]).all()


@pytest.mark.parametrize(
    ("node", "context", "text"),
    [
        (Select(channels=["Cz"]), {}, "named by label, but the signal's context gives no"),
        (Select(channels=["T7"]), CONTEXT, "no channel 'T7' among"),
        (Select(channels=[9]), {}, "channel index 9 is out of range for 4 channels"),
        (Rereference(reference=[4]), {}, "channel index 4 is out of range"),
        (Resample(up=2), {"rate": RATE, "channels": ["a"]}, "frames have 4 channels, but the"),
        (Resample(up=2), {}, "no sampling rate"),
        (BandPower(bands=[[100, 130]]), {"rate": RATE}, "must lie below the Nyquist"),
    ],
)
def test_channels_and_rates_that_do_not_fit_fail_clearly(node, context, text):
    with pytest.raises(ValueError, match=re.escape(text)):
        feed(node, [np.zeros((3, 4))], context)


@pytest.mark.parametrize(
    ("cls", "config", "error", "text"),
    [
        (Resample, {"up": 0}, ValueError, "up must be >= 1"),
        (Resample, {"dwon": 2}, ValueError, "did you mean 'down'"),
        (Resample, {"window": [3]}, TypeError, "window must be a window name"),
        (Decimate, {"ftype": "fft"}, ValueError, "ftype must be one of"),
        (Decimate, {"ftype": "iir", "order": 40}, ValueError, "order must be <= 32"),
        (Rereference, {"reference": "median"}, ValueError, 'must be "average" or a list'),
        (Rereference, {"reference": [True]}, TypeError, "labels (str) or indices (int)"),
        (Select, {"channels": []}, ValueError, "at least one channel"),
        (Select, {"channels": [-1]}, ValueError, "indices >= 0"),
        (BandPower, {"bands": [[13, 8]]}, ValueError, "low < high"),
        (BandPower, {"rate": 100.0, "window": 0.001}, ValueError, "holds 0 samples"),
        (BandPower, {"segment": 2.0}, ValueError, "segment must be <= 1"),
        (Scaler, {"mode": "robust"}, ValueError, "mode must be one of"),
        (Scaler, {"window": 0}, ValueError, "window must be a finite number > 0"),
    ],
)
def test_bad_settings_are_refused_at_construction(cls, config, error, text):
    with pytest.raises(error, match=re.escape(text)):
        cls(**config)


def run_chain(pipeline, elements, x, connect=True):
    """Feed `x` through `elements` (connected in order unless `connect` is
    false) in `pipeline`; (output joined, context reaching the end)."""
    source = Frames(split(x, 7), context=dict(CONTEXT), name="eeg")
    sink = Sink(name="sink")
    pipeline.add_node(sink)
    if connect:
        for node in reversed(elements):
            pipeline.add_node(node)
    chain = [source, *elements, sink]
    for i, (a, b) in enumerate(zip(chain, chain[1:], strict=False)):
        if connect or i in (0, len(elements)):
            pipeline.connect(a, b)
    pipeline.start()
    try:
        assert source.wait(30)
        wait_until(lambda: elements[0].get_counter() >= len(source._frames), 10)
    finally:
        pipeline.stop()
    pipeline.raise_if_failed()
    return np.concatenate(sink.values()), sink.context["in"]


def test_signal_nodes_chain_in_a_pipeline_and_round_trip_through_a_document(tmp_path):
    x = eeg(n=1000)
    nodes = [
        Rereference(name="car"),
        Select(name="pick", channels=["Cz", "Pz"]),
        Decimate(name="dec", factor=2),
        Scaler(name="z", window=1.0),
        Resample(name="res", up=3, down=2),
        BandPower(name="bp", bands=[[4.0, 8.0]], window=0.5, step=0.2),
    ]
    document = str(tmp_path / "signal.json")
    with Pipeline(directory="") as p:
        first, context = run_chain(p, nodes, x)
    # The same chain by hand, on the whole signal at once.
    expected, expected_context = x, dict(CONTEXT)
    for node in nodes:
        expected, expected_context = feed(fresh(node), [expected], expected_context)
    np.testing.assert_allclose(first, expected, rtol=1e-8, atol=1e-8)
    assert context == expected_context
    assert context["channels"] == ["Cz 4-8 Hz", "Pz 4-8 Hz"]
    assert context["rate"] == pytest.approx(187.5 / 38)  # 0.2 s is 38 samples at 187.5 Hz
    # The chain alone as a document; loaded back it gives the same again.
    with Pipeline(directory="") as p:
        copies = [fresh(node) for node in nodes]
        for node in copies:
            p.add_node(node)
        for a, b in zip(copies, copies[1:], strict=False):
            p.connect(a, b)
        p.save(document)
        configs = [dict(node.config) for node in copies]
    del copies, node
    Portable.reset()
    with Pipeline.load(document, allowed_modules=["flowmesh"]) as loaded:
        elements = loaded.get_elements()
        assert [dict(e.config) for e in elements] == configs
        again, _ = run_chain(loaded, elements, x, connect=False)
    np.testing.assert_array_equal(again, first)
