"""The ready-made nodes against scipy and numpy computing the same offline,
and recordings played back exactly as they were recorded."""

import json
import re
import threading

import numpy as np
import pytest
from scipy import signal
from support import wait_until

from flowmesh import DocumentError
from flowmesh.constants import Constants
from flowmesh.nodes import (
    Averager,
    Epocher,
    Filter,
    Recorder,
    Replay,
    read_recording,
    write_recording,
)
from flowmesh.pipeline import Pipeline
from flowmesh.portable import Portable
from flowmesh.sources import EventSource, SampledSource, Sink

ASYNC = Constants.Timing.ASYNC
TIMEOUT = 30.0
RATE = 250.0


class Frames(SampledSource):
    """Emits the given frames one by one, as fast as taken; its context gives
    the sampling rate (and t0 = 0), unless `context` says otherwise."""

    def __init__(self, frames, context=None, gate=None, **config):
        self._frames = frames
        self._context = {"rate": RATE, "t0": 0.0} if context is None else context
        self._gate = gate
        super().__init__(frames=len(frames), **config)

    def setup(self, data, context):
        if self._gate is not None:
            self._gate.wait(TIMEOUT)
        return {"out": self._context}

    def step(self, data):
        return {"out": self._frames[self.get_counter()]}


def split(x, size):
    return [x[i : i + size] for i in range(0, len(x), size)]


def run(pipeline, until, *, events=()):
    """Start, send `events` as (source, value) pairs, wait for `until`, stop."""
    pipeline.start()
    try:
        for source, value in events:
            source.trigger(value)
        assert wait_until(until, TIMEOUT)
    finally:
        pipeline.stop()
    pipeline.raise_if_failed()


def noisy_signal(n=1000, channels=3, seed=7):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / RATE
    x = rng.normal(0, 1, (n, channels)) + 5.0  # an offset the steady start must absorb
    x += np.sin(2 * np.pi * 50 * t)[:, None] + np.sin(2 * np.pi * 8 * t)[:, None]
    return x


def filter_through_pipeline(x, frame_size, source_context=None, **config):
    source = Frames(split(x, frame_size), context=source_context, name="source")
    node = Filter(name="filter", **config)
    sink = Sink(name="sink")
    with Pipeline(directory="") as p:
        p.add_node(sink)
        p.add_node(node)
        p.connect(source, node)
        p.connect(node, sink)
        run(p, lambda: len(sink.frames) == len(source._frames))
    return np.concatenate(sink.values()), sink.context


@pytest.mark.parametrize(
    ("config", "reference"),
    [
        (
            {"kind": "bandpass", "frequencies": [1.0, 40.0], "order": 4},
            signal.butter(4, [1.0, 40.0], btype="bandpass", fs=RATE, output="sos"),
        ),
        (
            {"kind": "lowpass", "frequencies": 30.0, "order": 2},
            signal.butter(2, 30.0, btype="lowpass", fs=RATE, output="sos"),
        ),
        (
            {"kind": "highpass", "frequencies": 0.5, "order": 3},
            signal.butter(3, 0.5, btype="highpass", fs=RATE, output="sos"),
        ),
        (
            {"kind": "bandstop", "frequencies": [45.0, 55.0], "order": 8},
            signal.butter(8, [45.0, 55.0], btype="bandstop", fs=RATE, output="sos"),
        ),
        (
            {"kind": "notch", "frequencies": 50.0, "quality": 20.0},
            signal.tf2sos(*signal.iirnotch(50.0, 20.0, fs=RATE)),
        ),
    ],
    ids=["bandpass4", "lowpass2", "highpass3", "bandstop8", "notch"],
)
@pytest.mark.parametrize("frame_size", [1, 5, 17])
def test_filter_frame_by_frame_equals_offline(config, reference, frame_size):
    x = noisy_signal()
    y, _ = filter_through_pipeline(x, frame_size, **config)
    np.testing.assert_allclose(y, signal.sosfilt(reference, x, axis=0), rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("one_channel", [False, True])
def test_filter_steady_start_and_rate_from_settings(one_channel):
    x = noisy_signal(channels=1 if one_channel else 4)
    if one_channel:
        x = x[:, 0]
    sos = signal.butter(2, 10.0, btype="lowpass", fs=RATE, output="sos")
    zi = signal.sosfilt_zi(sos)
    zi = zi * x[0] if one_channel else zi[:, :, None] * x[0]
    expected, _ = signal.sosfilt(sos, x, axis=0, zi=zi)
    # The rate comes from the settings: the source's context has none.
    y, context = filter_through_pipeline(
        x, 10, source_context={}, kind="lowpass", frequencies=10.0, order=2, steady=True, rate=RATE
    )
    np.testing.assert_allclose(y, expected, rtol=1e-9, atol=1e-9)
    assert context["in"]["rate"] == RATE


def test_filter_passes_the_context_on_and_names_itself():
    _, context = filter_through_pipeline(noisy_signal(n=20), 5, kind="notch", frequencies=50.0)
    assert context["in"]["rate"] == RATE and context["in"]["t0"] == 0.0
    assert context["in"]["filters"] == ["notch 50.0 Hz"]


@pytest.mark.parametrize(
    ("config", "error", "text"),
    [
        ({"kind": "comb"}, ValueError, "kind must be one of"),
        ({"kind": "bandpass", "frequencies": 10.0}, TypeError, "frequencies must be a list of 2"),
        ({"kind": "bandpass", "frequencies": [40.0, 1.0]}, ValueError, "low < high"),
        ({"kind": "lowpass", "frequencies": [1.0, 2.0]}, TypeError, "must be a number"),
        ({"kind": "lowpass", "frequencies": -3.0}, ValueError, "> 0"),
        ({"order": 0}, ValueError, "order must be >= 1"),
        ({"order": True}, TypeError, "order must be an int"),
        ({"rate": "fast"}, TypeError, "rate must be a number"),
        ({"steady": 1}, TypeError, "steady must be a bool"),
    ],
)
def test_filter_refuses_bad_settings(config, error, text):
    with pytest.raises(error, match=re.escape(text)):
        Filter(**config)


@pytest.mark.parametrize(
    ("config", "context", "text"),
    [
        ({"kind": "lowpass", "frequencies": 200.0}, None, "below the Nyquist frequency"),
        ({"kind": "lowpass", "frequencies": 20.0}, {}, "no sampling rate"),
    ],
)
def test_filter_setup_failures_reach_the_pipeline(config, context, text):
    source = Frames(split(noisy_signal(n=50), 5), context=context, name="source")
    node = Filter(name="f", **config)
    with Pipeline(directory="") as p:
        p.add_node(node)
        p.connect(source, node)
        p.start()
        assert wait_until(lambda: p.get_condition() == Constants.Conditions.ERROR, TIMEOUT)
        p.stop()
        with pytest.raises(RuntimeError, match="in node 'f'") as caught:
            p.raise_if_failed()
    assert text in str(caught.value.__cause__)


# ============================================================ epocher


def ramp(n, channels=2):
    """Sample n of channel c holds n + 1000 c: every window is recognisable."""
    return np.arange(n)[:, None] + 1000.0 * np.arange(channels)[None, :]


def epochs_through_pipeline(x, markers, frame_size=5, gate=None, late=(), **config):
    """Epochs of `x` cut at `markers` (sent before the signal when `gate`
    holds the signal back) and at `late` (sent once the signal has ended)."""
    source = Frames(split(x, frame_size), name="signal", gate=gate)
    events = EventSource(name="markers")
    node = Epocher(name="epochs", **config)
    sink = Sink(name="sink", input_ports=[{"name": "in", "timing": ASYNC}])
    with Pipeline(directory="") as p:
        for element in (sink, node, events):
            p.add_node(element)
        p.connect(source, {"node": node, "port": "signal"})
        p.connect(events, {"node": node, "port": "marker"})
        p.connect({"node": node, "port": "epoch"}, sink)
        p.start()
        try:
            for marker in markers:
                events.trigger(marker)
            if gate is not None:
                gate.set()
            assert source.wait(TIMEOUT)
            for marker in late:
                events.trigger(marker)
            # The last frame may still be on its way through the epocher.
            total = len(markers) + len(late) + len(source._frames)
            assert wait_until(lambda: node.get_counter() >= total, TIMEOUT)
        finally:
            p.stop()
        p.raise_if_failed()
    return node, sink.values()


@pytest.mark.parametrize("frame_size", [1, 5, 13])
@pytest.mark.parametrize("baseline", [None, [-0.1, 0.0]])
def test_epocher_cuts_the_windows_that_numpy_cuts(frame_size, baseline):
    x = ramp(2000) + np.random.default_rng(1).normal(0, 1, (2000, 2))
    onsets = [100, 400, 401, 1200, 1950]
    markers = [{"sample": s, "label": f"m{s}"} for s in onsets[:2]]
    markers += [{"time": s / RATE, "label": f"m{s}"} for s in onsets[2:4]]
    markers += [onsets[4] / RATE]  # a bare number is a time
    # The markers go first (the signal is held): none is too old yet.
    node, epochs = epochs_through_pipeline(
        x, markers, frame_size, gate=threading.Event(), tmin=-0.1, tmax=0.4, baseline=baseline
    )
    # The last window (1950 - 25 .. 1950 + 100) runs past the signal's end.
    assert [e["onset"] for e in epochs] == onsets[:4]
    times = (np.arange(-25, 100)) / RATE
    for epoch, onset in zip(epochs, onsets, strict=False):
        expected = x[onset - 25 : onset + 100].copy()
        if baseline is not None:
            expected -= expected[times < 0].mean(axis=0)
        np.testing.assert_allclose(epoch["data"], expected, rtol=0, atol=1e-9)
        np.testing.assert_allclose(epoch["times"], times)
        assert epoch["label"] == f"m{onset}"


def test_epocher_label_filter_and_markers_older_than_the_history():
    late = [
        {"sample": 1400, "label": "keep"},
        {"sample": 1450, "label": "skip"},
        {"sample": 1240, "label": "keep"},  # 1 s = 250 samples kept: 1250 is the oldest
        {"sample": 1250, "label": "keep"},
    ]
    node, epochs = epochs_through_pipeline(
        ramp(1500), [], late=late, tmin=0.0, tmax=0.1, labels=["keep"], history=1.0
    )
    assert [e["onset"] for e in epochs] == [1400, 1250]
    assert node.dropped == 1
    np.testing.assert_array_equal(epochs[1]["data"], ramp(1500)[1250:1275])


def test_epocher_markers_before_the_signal_wait_for_its_rate():
    x = ramp(400)
    gate = threading.Event()
    node, epochs = epochs_through_pipeline(
        x, [{"sample": 50}, {"time": 100 / RATE}], gate=gate, tmin=0.0, tmax=0.2
    )
    assert [e["onset"] for e in epochs] == [50, 100]
    np.testing.assert_array_equal(epochs[1]["data"], x[100:150])


@pytest.mark.parametrize("spacing", [0, 1, 2, 7, 60])
@pytest.mark.parametrize("history", [0.7, 5.0])
def test_epocher_gives_every_close_marker_its_full_epoch(spacing, history):
    # 175-sample windows; with history 0.7 s the kept signal is just one window.
    x = ramp(1200)
    onsets = [300 + k * spacing for k in range(4)] + [1190]  # the last never completes
    markers = [{"sample": s, "label": k} for k, s in enumerate(onsets)]
    node, epochs = epochs_through_pipeline(
        x, markers, frame_size=5, gate=threading.Event(), history=history
    )
    assert [e["onset"] for e in epochs] == onsets[:4]
    for epoch, onset in zip(epochs, onsets, strict=False):
        np.testing.assert_array_equal(epoch["data"], x[onset - 25 : onset + 150])
    assert node.missed() == {"dropped": 0, "incomplete": 1}


def test_epocher_late_markers_at_the_edges_of_the_kept_signal():
    # Sent once the signal has ended, with 175 samples kept (1025 .. 1199):
    # onset 1050 is the only one whose window (-25 .. +150) is complete and kept.
    x = ramp(1200)
    late = [{"sample": s} for s in (1050, 1049, 1050, 1051)]
    node, epochs = epochs_through_pipeline(x, [], late=late, history=0.7)
    assert [e["onset"] for e in epochs] == [1050, 1050]
    for epoch in epochs:
        np.testing.assert_array_equal(epoch["data"], x[1025:1200])
    assert node.missed() == {"dropped": 1, "incomplete": 1}


@pytest.mark.parametrize(
    ("config", "error", "text"),
    [
        ({"tmin": 0.5, "tmax": 0.1}, ValueError, "tmin must be below tmax"),
        ({"baseline": [-0.5, 0.0]}, ValueError, "must lie inside"),
        ({"baseline": 0.0}, TypeError, "baseline must be None or"),
        ({"history": 0}, ValueError, "history must be"),
        ({"labels": "a"}, TypeError, "labels must be None or a list"),
        ({"input_ports": [{"name": "in"}]}, ValueError, "needs the input ports"),
    ],
)
def test_epocher_refuses_bad_settings(config, error, text):
    with pytest.raises(error, match=re.escape(text)):
        Epocher(**config)


@pytest.mark.parametrize(
    ("marker", "text"),
    [
        ("soon", "a marker must be a number or a dict"),
        ({"label": "x"}, "a marker needs 'time' or 'sample'"),
    ],
)
def test_epocher_bad_marker_fails_the_node(marker, text):
    source = Frames(split(ramp(50), 5), name="signal")
    events = EventSource(name="markers")
    node = Epocher(name="epochs")
    with Pipeline(directory="") as p:
        p.add_node(node)
        p.add_node(events)
        p.connect(source, {"node": node, "port": "signal"})
        p.connect(events, {"node": node, "port": "marker"})
        p.start()
        assert source.wait(TIMEOUT)
        events.trigger(marker)
        assert wait_until(lambda: p.get_condition() == Constants.Conditions.ERROR, TIMEOUT)
        p.stop()
    assert text in str(node.failure())


# ============================================================ averager


def average_through_pipeline(epochs, **config):
    events = EventSource(name="epochs")
    node = Averager(name="average", **config)
    sink = Sink(name="sink", input_ports=[{"name": "in", "timing": ASYNC}])
    with Pipeline(directory="") as p:
        p.add_node(sink)
        p.add_node(node)
        p.add_node(events)
        p.connect(events, node)
        p.connect(node, sink)
        p.start()
        try:
            for epoch in epochs:
                events.trigger(epoch)
        finally:
            p.stop()
        p.raise_if_failed()
    return node, sink.values()


@pytest.mark.parametrize("count", [1, 2, 37])
@pytest.mark.parametrize("as_dict", [False, True])
def test_averager_equals_numpy_mean(count, as_dict):
    rng = np.random.default_rng(count)
    stack = rng.normal(0, 10, (count, 50, 4))
    epochs = [{"data": e, "label": "a", "times": np.arange(50)} if as_dict else e for e in stack]
    node, outputs = average_through_pipeline(epochs)
    assert node.count == count and [o["count"] for o in outputs] == list(range(1, count + 1))
    np.testing.assert_allclose(node.mean(), stack.mean(axis=0), rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(outputs[-1]["mean"], stack.mean(axis=0), rtol=1e-12, atol=1e-12)
    # Each output is the average of the epochs so far.
    np.testing.assert_allclose(outputs[0]["mean"], stack[0], rtol=1e-12)


def test_averager_label_filter():
    stack = np.arange(24.0).reshape(4, 3, 2)
    epochs = [{"data": e, "label": "ab"[i % 2]} for i, e in enumerate(stack)]
    node, outputs = average_through_pipeline(epochs, label="b")
    assert node.count == 2
    np.testing.assert_array_equal(node.mean(), stack[1::2].mean(axis=0))


def test_averager_refuses_an_epoch_of_another_shape():
    events = EventSource(name="epochs")
    node = Averager(name="average")
    with Pipeline(directory="") as p:
        p.add_node(node)
        p.add_node(events)
        p.connect(events, node)
        p.start()
        events.trigger(np.zeros((5, 2)))
        events.trigger(np.zeros((6, 2)))
        assert wait_until(lambda: p.get_condition() == Constants.Conditions.ERROR, TIMEOUT)
        p.stop()
    assert "differs from the earlier epochs'" in str(node.failure())
    assert node.count == 1


# ============================================================ recorder and replay

CASES = {
    # port -> values sent on it
    "arrays": [np.arange(6, dtype=np.int16).reshape(2, 3) * k for k in range(5)],
    "floats": [np.full((3,), np.nan), np.linspace(0, 1, 3), np.array([np.inf, -0.0, 1e-300])],
    "ragged": [np.zeros((2, 2)), np.zeros(3, dtype=np.float32)],
    "json": [{"time": 1.5, "label": "a", "n": [1, 2, None, True]}, "text", 7, -2.5],
    "objects": [("tuple", 1), {"data": np.ones(2), "label": "x"}, {3: "int key"}],
}


def record(path, sequence):
    """Send `sequence` ((port, value) pairs) through event sources into a recorder."""
    sources = {port: EventSource(name=f"src_{port}") for port in CASES}
    ports = [{"name": port, "timing": ASYNC} for port in CASES]
    ports.append({"name": "signal"})
    signal_source = Frames([np.full((2, 2), float(k)) for k in range(6)], name="signal")
    recorder = Recorder(name="recorder", path=str(path), input_ports=ports)
    with Pipeline(directory="") as p:
        p.add_node(recorder)
        for port, source in sources.items():
            p.connect(source, {"node": recorder, "port": port})
        p.connect(signal_source, {"node": recorder, "port": "signal"})
        p.start()
        try:
            for port, value in sequence:
                sources[port].trigger(value)
            assert signal_source.wait(TIMEOUT)
        finally:
            p.stop()
        p.raise_if_failed()
    return recorder


def assert_same(a, b):
    assert type(a) is type(b)
    if isinstance(a, np.ndarray):
        assert a.dtype == b.dtype and a.shape == b.shape
        np.testing.assert_array_equal(a, b)
    elif isinstance(a, dict):
        assert list(a) == list(b)
        for key in a:
            assert_same(a[key], b[key])
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b)
        for x, y in zip(a, b, strict=True):
            assert_same(x, y)
    else:
        assert a == b or (a != a and b != b)


@pytest.mark.parametrize("realtime", [False, True])
def test_recorder_then_replay_gives_back_exactly_what_was_recorded(tmp_path, realtime):
    sequence = [(port, value) for port, values in CASES.items() for value in values]
    first = tmp_path / "first.npz"
    record(first, sequence)
    recording = read_recording(first, allow_pickle=True)
    sent = [cycle for cycle in recording["cycles"] if "signal" not in cycle]
    assert len(sent) == len(sequence)
    for cycle, (port, value) in zip(sent, sequence, strict=True):
        assert list(cycle) == [port]
        assert_same(cycle[port], value)
    signal_frames = [c["signal"] for c in recording["cycles"] if "signal" in c]
    assert_same(signal_frames, [np.full((2, 2), float(k)) for k in range(6)])
    assert {p["name"]: p["timing"] for p in recording["ports"]}["signal"] == "Sync"
    assert {p["name"]: p["context"] for p in recording["ports"]}["signal"] == {
        "rate": RATE,
        "t0": 0.0,
    }

    # Replay into a second recorder: the same cycles, in the same order.
    replay = Replay(name="replay", path=str(first), realtime=realtime, allow_pickle=True)
    second = tmp_path / "second.npz"
    ports = [{"name": p["name"], "timing": p["timing"]} for p in recording["ports"]]
    again = Recorder(name="again", path=str(second), input_ports=ports)
    with Pipeline(directory="") as p:
        p.add_node(again)
        for port in ports:
            p.connect({"node": replay, "port": port["name"]}, {"node": again, "port": port["name"]})
        p.start()
        try:
            assert replay.wait(TIMEOUT)
            assert wait_until(lambda: again.get_counter() >= len(recording["cycles"]), TIMEOUT)
        finally:
            p.stop()
        p.raise_if_failed()
    replayed = read_recording(second, allow_pickle=True)
    assert_same(replayed["cycles"], recording["cycles"])
    assert replayed["ports"] == recording["ports"]
    if realtime:
        # Paced by the recorded times: nothing arrives before its due time.
        span = recording["time"][-1] - recording["time"][0]
        assert replayed["time"][-1] - replayed["time"][0] >= span * 0.9 - 0.005


def test_recording_is_readable_by_numpy_alone(tmp_path):
    path = tmp_path / "plain.npz"
    record(path, [("arrays", v) for v in CASES["arrays"]] + [("json", v) for v in CASES["json"]])
    with np.load(path, allow_pickle=False) as f:
        ports = [p["name"] for p in __import__("json").loads(str(f["ports"]))]
        arrays = f[f"values_{ports.index('arrays')}"]
        assert arrays.shape == (5, 2, 3) and arrays.dtype == np.int16
        np.testing.assert_array_equal(arrays, np.stack(CASES["arrays"]))
        assert len(f["time"]) == 5 + 4 + 6 and np.all(np.diff(f["time"]) >= 0)


@pytest.mark.parametrize(
    ("content", "error"),
    [(b"not a zip", Exception), (None, ValueError)],
    ids=["garbage", "other-npz"],
)
def test_replay_refuses_a_file_that_is_no_recording(tmp_path, content, error):
    path = tmp_path / "x.npz"
    if content is None:
        np.savez(path, a=np.zeros(3))
    else:
        path.write_bytes(content)
    with pytest.raises(error):
        Replay(path=str(path))


class _Payload:
    """Unpickling it creates the file `marker`: code that a recording supplies."""

    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return (exec, (f"open({str(self.marker)!r}, 'w').close()",))


def _pickled_recording(tmp_path):
    marker = tmp_path / "ran"
    path = tmp_path / "evil.npz"
    ports = [{"name": "out", "timing": ASYNC, "context": None}]
    write_recording(str(path), ports, [0.0], [{"out": _Payload(marker)}])
    assert not marker.exists()
    return path, marker


def test_pickles_in_a_recording_are_read_only_when_asked_for_by_name(tmp_path):
    path, marker = _pickled_recording(tmp_path)
    with pytest.raises(ValueError, match=r"port\(s\) out are stored pickled"):
        read_recording(path)
    replay = Replay(name="replay", path=str(path), realtime=False)  # ports from the file
    assert replay.get_output_port("out") is not None
    with Pipeline(directory="") as p:
        p.add_node(replay)
        with pytest.raises(ValueError, match="stored pickled"):
            p.start()
    assert not marker.exists()
    read_recording(path, allow_pickle=True)
    assert marker.exists()


@pytest.mark.parametrize("allow_pickle", [None, True])
def test_a_restricted_document_never_unpickles_a_recording(tmp_path, allow_pickle):
    path, marker = _pickled_recording(tmp_path)
    config = {"name": "replay", "path": str(path)}
    if allow_pickle is not None:
        config["allow_pickle"] = allow_pickle
    entry = {"class": "Replay", "module": "flowmesh.nodes", "config": config}
    document = tmp_path / "doc.json"
    document.write_text(json.dumps({"format_version": 1, "nodes": [entry], "connections": []}))
    if allow_pickle:
        with pytest.raises(DocumentError, match="allow_pickle cannot be set by a document"):
            Pipeline.load(document, allowed_modules=["flowmesh"])
    else:
        with Pipeline.load(document, allowed_modules=["flowmesh"]) as p:
            with pytest.raises(ValueError, match="stored pickled"):
                p.start()
    assert not marker.exists()
    Portable.reset()
    with Pipeline.load(document) as p:  # trusted: the document may ask for pickles
        assert p.get_elements()[0].config["allow_pickle"] is bool(allow_pickle)


def test_recorder_write_is_atomic_and_keeps_the_previous_file(tmp_path, monkeypatch):
    path = tmp_path / "rec.npz"
    assert record(path, [("json", 1)]).error is None
    before = path.read_bytes()

    def broken(file, **arrays):
        file.write(b"half a recording")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(np, "savez", broken)
    # The pipeline still stops every element; the recorder says what went wrong.
    recorder = record(path, [("json", 2)])
    assert isinstance(recorder.error, OSError) and "No space left" in str(recorder.error)
    assert path.read_bytes() == before
    assert [f.name for f in tmp_path.iterdir()] == ["rec.npz"]
    assert [c["json"] for c in read_recording(path)["cycles"] if "json" in c] == [1]


def test_nodes_round_trip_through_a_document(tmp_path):
    source = tmp_path / "source.npz"
    record(source, [("json", {"label": "a"}), ("arrays", CASES["arrays"][1])])
    copy = tmp_path / "copy.npz"
    replay = Replay(name="replay", path=str(source), realtime=False)
    ports = [{"name": p["name"], "timing": p["timing"]} for p in read_recording(source)["ports"]]
    nodes = [
        Recorder(name="recorder", path=str(copy), input_ports=ports),
        Averager(name="average", label="a"),
        Epocher(name="epochs", tmin=-0.2, tmax=0.3, baseline=[-0.2, 0.0], labels=["a"]),
        Filter(name="notch", kind="notch", frequencies=50.0, quality=25.0, rate=RATE),
        Filter(name="band", kind="bandpass", frequencies=[1.0, 30.0], order=6, steady=True),
        replay,
    ]
    document = tmp_path / "nodes.json"
    with Pipeline(directory="") as p:
        for node in nodes:
            p.add_node(node)
        for port in ports:
            p.connect(
                {"node": replay, "port": port["name"]}, {"node": nodes[0], "port": port["name"]}
            )
        p.connect({"node": nodes[3], "port": "out"}, {"node": nodes[2], "port": "signal"})
        p.connect({"node": nodes[2], "port": "epoch"}, nodes[1])
        p.save(str(document))
        configs = {node.name: dict(node.config) for node in nodes}
    Portable.reset()
    loaded = Pipeline.load(str(document), allowed_modules=["flowmesh"])
    with loaded:
        elements = loaded.get_elements()
        assert [type(e) for e in elements] == [type(n) for n in nodes]
        for element in elements:
            assert dict(element.config) == configs[element.name]
        # The loaded replay feeds the loaded recorder: the same cycles again.
        loaded.start()
        try:
            assert elements[-1].wait(TIMEOUT)
            recorded = len(read_recording(source)["time"])
            assert wait_until(lambda: elements[0].get_counter() >= recorded, TIMEOUT)
        finally:
            loaded.stop()
        loaded.raise_if_failed()
    assert_same(read_recording(copy)["cycles"], read_recording(source)["cycles"])


# ============================================================ settings


def bad_settings():
    """(class, settings, error, the words of the message): one bad setting each."""
    huge = 10**30
    cases = [
        (
            Filter,
            {"frequncies": [1.0, 40.0]},
            ValueError,
            "'frequncies'; did you mean 'frequencies'",
        ),
        (Filter, {"order": huge}, ValueError, "order must be <= 32"),
        (Filter, {"order": 1e30}, TypeError, "order must be an int"),
        (Filter, {"quality": huge**12}, ValueError, "quality must be a finite number"),
        (Filter, {"rate": 60.0}, ValueError, "frequencies [1.0, 40.0] must lie below the Nyquist"),
        (Filter, {"kind": "notch", "frequencies": 60, "rate": 100}, ValueError, "Nyquist"),
        (Filter, {"rate": 1e9}, ValueError, "rate must be <= 1e+06"),
        (Filter, {"kind": ["lowpass"]}, ValueError, "kind must be one of"),
        (Epocher, {"tmim": -0.1}, ValueError, "'tmim'; did you mean 'tmin'"),
        (Epocher, {"history": 1e12}, ValueError, "history must be <= 3600"),
        (Epocher, {"rate": 250.0, "tmin": 0.0, "tmax": 0.001}, ValueError, "holds 0 samples"),
        (Epocher, {"rate": 1e6, "history": 3000.0}, ValueError, "history (3000 s) holds"),
        (Epocher, {"tmin": float("-inf")}, ValueError, "tmin must be a finite number"),
        (Epocher, {"labels": ["a", 1]}, TypeError, "labels must be a str"),
        (Averager, {"labl": "a"}, ValueError, "'labl'; did you mean 'label'"),
        (Averager, {"label": 3}, TypeError, "label must be a str or None"),
        (Recorder, {"path": "x.npz", "pth": 1}, ValueError, "'pth'; did you mean 'path'"),
        (Recorder, {"path": ""}, ValueError, "path must not be empty"),
        (Recorder, {"path": None}, TypeError, "path must be a str"),
        (SampledSource, {"frams": 3}, ValueError, "'frams'; did you mean 'frames'"),
        (SampledSource, {"rate": float("nan")}, ValueError, "rate must be a finite number"),
        (EventSource, {"decimation_factr": 2}, ValueError, "did you mean 'decimation_factor'"),
        (Sink, {"queue_bond": 2}, ValueError, "'queue_bond'; did you mean 'queue_bound'"),
        (Sink, {"zzzz": 2}, ValueError, "Sink has no setting 'zzzz'."),
    ]
    return [pytest.param(*case, id=f"{case[0].__name__}-{i}") for i, case in enumerate(cases)]


@pytest.mark.parametrize(("cls", "config", "error", "text"), bad_settings())
def test_bad_settings_are_refused_at_construction_naming_the_key(cls, config, error, text):
    with pytest.raises(error, match=re.escape(text)):
        cls(**config)


def test_every_known_setting_is_accepted():
    # The other side of refusing unknown keys: a node's own full record,
    # written out and given back, builds again.
    for node in (Filter(), Epocher(rate=RATE), Averager(), Recorder(path="r.npz"), Sink()):
        config = dict(node.config)
        Portable.reset()  # the ids are the first node's
        type(node)(**config)


class Counting(SampledSource):
    class Configuration(SampledSource.Configuration):
        def _set_defaults(self):
            super()._set_defaults()
            self.setdefault("first", 0)  # a setting of the subclass's own, by default alone


def test_a_subclass_setting_given_by_its_defaults_is_known():
    assert Counting(first=5).config["first"] == 5
    with pytest.raises(ValueError, match="'firts'; did you mean 'first'"):
        Counting(firts=5)


def test_validate_command_fails_on_a_misspelt_setting(tmp_path, capsys):
    from flowmesh.commands import main

    document = tmp_path / "doc.json"
    with Pipeline(directory="") as p:
        p.add_node(Filter(name="band", rate=RATE))
        p.save(str(document))
    Portable.reset()
    assert main(["validate", str(document)]) == 0
    text = document.read_text().replace('"frequencies"', '"frequncies"')
    document.write_text(text)
    Portable.reset()
    assert main(["validate", str(document)]) != 0
    assert "did you mean 'frequencies'" in capsys.readouterr().err
