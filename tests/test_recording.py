"""Recorder writes XDF as the run goes; Replay plays any XDF file back."""

import random
import re
import threading
import time

import numpy as np
import pytest
from support import RecordingLogger, wait_until

from flowmesh import xdf
from flowmesh.constants import Constants
from flowmesh.nodes import Recorder, Replay
from flowmesh.pipeline import Pipeline
from flowmesh.sources import EventSource, SampledSource, Sink

pyxdf = pytest.importorskip("pyxdf")
ASYNC, SYNC = Constants.Timing.ASYNC, Constants.Timing.SYNC
TIMEOUT = 30.0


class Frames(SampledSource):
    """Emits the given {port: value} frames one by one, as fast as taken."""

    def __init__(self, frames, context, **config):
        self._frames, self._context = frames, context
        ports = [{"name": name} for name in frames[0]]
        super().__init__(frames=len(frames), output_ports=ports, **config)

    def setup(self, data, context):
        return {name: dict(self._context) for name in self._imp._output_ports}

    def step(self, data):
        return self._frames[self.get_counter()]


def load(path):
    streams, _ = pyxdf.load_xdf(str(path), dejitter_timestamps=False)
    return {s["info"]["name"][0]: s for s in streams}


def run(pipeline, until):
    pipeline.start()
    try:
        assert wait_until(until, TIMEOUT)
    finally:
        pipeline.stop()


def test_frames_with_timestamps_and_events_are_recorded_exactly(tmp_path):
    path = tmp_path / "r.xdf"
    rng = np.random.default_rng(3)
    signal = rng.normal(size=(400, 4)).astype(np.float32)
    stamps = 100.0 + np.arange(400) / 200.0
    frames = [
        {"eeg": signal[k : k + 20], "timestamps": stamps[k : k + 20]} for k in range(0, 400, 20)
    ]
    context = {"rate": 200.0, "channels": ["A", "B", "C", "D"], "stream_type": "EEG"}
    source = Frames(frames, context, name="source")
    events = EventSource(name="events")
    recorder = Recorder(
        name="rec",
        path=str(path),
        input_ports=[{"name": "eeg"}, {"name": "timestamps"}, {"name": "marks", "timing": ASYNC}],
    )
    sent = [{"label": "go", "time": 100.5}, "plain", 3, [1, None], {"no": "time"}]
    with Pipeline(directory="") as p:
        p.add_node(recorder)
        p.connect({"node": source, "port": "eeg"}, {"node": recorder, "port": "eeg"})
        p.connect({"node": source, "port": "timestamps"}, {"node": recorder, "port": "timestamps"})
        p.connect(events, {"node": recorder, "port": "marks"})
        p.start()
        try:
            for value in sent:
                events.trigger(value)
            assert source.wait(TIMEOUT)
            assert wait_until(lambda: recorder.get_counter() >= 20 + len(sent), TIMEOUT)
        finally:
            p.stop()
        p.raise_if_failed()
    s = load(path)
    assert set(s) == {"eeg", "marks"}
    np.testing.assert_array_equal(s["eeg"]["time_series"], signal)
    np.testing.assert_array_equal(s["eeg"]["time_stamps"], stamps)
    info = s["eeg"]["info"]
    assert info["type"] == ["EEG"] and info["nominal_srate"] == ["200.0"]
    labels = [c["label"][0] for c in info["desc"][0]["channels"][0]["channel"]]
    assert labels == ["A", "B", "C", "D"]
    assert s["marks"]["time_stamps"][0] == 100.5
    assert "footer" in s["eeg"] and "footer" in s["marks"]
    # And back through Replay: the same events, the same frames.
    replay = Replay(name="replay", path=str(path), speed=None, frame_size=20)
    sink = Sink(name="sink", input_ports=[{"name": "marks", "timing": ASYNC}])
    signal_sink = Sink(name="ssink", input_ports=[{"name": "eeg"}, {"name": "t"}])
    with Pipeline(directory="") as p:
        p.add_node(sink)
        p.add_node(signal_sink)
        p.connect({"node": replay, "port": "marks"}, {"node": sink, "port": "marks"})
        p.connect({"node": replay, "port": "eeg"}, {"node": signal_sink, "port": "eeg"})
        p.connect({"node": replay, "port": "eeg_timestamps"}, {"node": signal_sink, "port": "t"})
        run(p, lambda: replay.wait(0) and len(sink.frames) == len(sent))
        p.raise_if_failed()
    assert sink.values("marks") == sent
    np.testing.assert_array_equal(np.concatenate(signal_sink.values("eeg")), signal)
    np.testing.assert_array_equal(np.concatenate(signal_sink.values("t")), stamps)
    assert signal_sink.context["eeg"]["channels"] == ["A", "B", "C", "D"]
    assert signal_sink.context["eeg"]["rate"] == 200.0


def test_frames_without_timestamps_are_spaced_at_the_rate_ending_at_arrival(tmp_path):
    path = tmp_path / "a.xdf"
    frames = [{"out": np.full((10, 2), k, np.int16)} for k in range(5)]
    source = Frames(frames, {"rate": 1000.0}, name="source")
    recorder = Recorder(name="rec", path=str(path))
    before = time.monotonic()
    with Pipeline(directory="") as p:
        p.add_node(recorder)
        p.connect(source, recorder)
        run(p, lambda: source.wait(0) and recorder.get_counter() >= 5)
        p.raise_if_failed()
    (s,) = load(path).values()
    assert s["time_series"].dtype == np.int16 and s["time_series"].shape == (50, 2)
    steps = np.diff(s["time_stamps"].reshape(5, 10), axis=1)
    np.testing.assert_allclose(steps, 0.001)
    assert s["time_stamps"][0] >= before - 0.01


def test_existing_file_fails_the_start_naming_it_and_is_kept(tmp_path):
    path = tmp_path / "keep.xdf"
    path.write_bytes(b"old")
    source = Frames([{"out": np.zeros((1, 1))}], {}, name="source")
    recorder = Recorder(name="rec", path=str(path))
    with Pipeline(directory="") as p:
        p.add_node(recorder)
        p.connect(source, recorder)
        with pytest.raises(xdf.XdfError, match="keep.xdf.*overwrite=True"):
            p.start()
    assert path.read_bytes() == b"old"
    recorder = Recorder(name="rec", path=str(path), overwrite=True)
    with Pipeline(directory="") as p:
        p.add_node(recorder)
        p.connect(source, recorder)
        run(p, lambda: recorder.get_counter() >= 1)
        p.raise_if_failed()
    assert len(load(path)["in"]["time_stamps"]) == 1


def test_a_write_that_fails_fails_the_node(tmp_path, monkeypatch):
    path = tmp_path / "w.xdf"
    broken = threading.Event()
    real = xdf.XdfWriter.flush

    def flush(self, sync=False):
        if broken.is_set():
            raise xdf.XdfError(f"{self.path}: cannot be written: No space left on device")
        return real(self, sync)

    monkeypatch.setattr(xdf.XdfWriter, "flush", flush)
    frames = [{"out": np.zeros((5, 3), np.float32)} for _ in range(2000)]
    source = Frames(frames, {"rate": 1000.0}, name="source", rate=200.0)
    recorder = Recorder(name="rec", path=str(path), flush_interval=0.02)
    with Pipeline(directory="") as p:
        p.add_node(recorder)
        p.connect(source, recorder)
        p.start()
        try:
            assert wait_until(lambda: recorder.get_counter() >= 5, TIMEOUT)
            broken.set()
            assert wait_until(lambda: recorder.failure() is not None, TIMEOUT)
        finally:
            p.stop()
        with pytest.raises(RuntimeError, match="No space left"):
            p.raise_if_failed()
    assert "w.xdf" in str(recorder.failure())


@pytest.mark.parametrize(
    "bad,message",
    [
        (np.zeros((2, 4), np.float32), r"records 3 channel\(s\); got a frame of shape \(2, 4\)"),
        (np.zeros((2, 3), object), "records numeric frames; got ndarray"),
        (np.zeros((2, 3, 1), np.float32), "frames have 1 or 2 dimensions"),
        ("text", "records numeric frames; got str"),
    ],
)
def test_a_frame_unlike_the_stream_s_first_fails_the_node_and_the_rest_is_kept(
    tmp_path, bad, message
):
    path = tmp_path / "u.xdf"
    # Fitting frames of other dtypes and sample counts go in too, cast.
    good = [np.zeros((2, 3), np.float32), np.ones((1, 3)), np.full((2, 3), 2, np.int16)]
    frames = [{"out": f} for f in [*good, np.full(3, 3, np.float32), bad]]
    recorder = Recorder(name="rec", path=str(path))
    with Pipeline(directory="") as p:
        p.add_node(recorder)
        p.connect(Frames(frames, {"rate": 100.0}, name="source"), recorder)
        p.start()
        try:
            assert wait_until(lambda: recorder.failure() is not None, TIMEOUT)
        finally:
            p.stop()
    assert re.search(message, str(recorder.failure()))
    np.testing.assert_array_equal(load(path)["in"]["time_series"][:, 0], [0, 0, 1, 2, 2, 3])


@pytest.mark.parametrize("overflow", ["drop_newest", "drop_oldest"])
def test_decoupled_recorder_accounts_for_every_item_at_stop(tmp_path, overflow):
    path = tmp_path / "d.xdf"
    n = 3000
    frames = [{"out": np.full((1, 1), k, np.float32)} for k in range(n)]
    source = Frames(frames, {"rate": 1000.0}, name="source")
    recorder = Recorder(
        name="rec",
        path=str(path),
        decoupled=True,
        queue_bound=16,
        overflow=overflow,
        queue_size=64,
    )
    logger = RecordingLogger()
    with Pipeline(directory="") as p:
        p.add_node(recorder)
        recorder.set_logger(logger)
        p.connect(source, recorder)
        p.start()
        try:
            assert source.wait(TIMEOUT)
        finally:
            p.stop()
        p.raise_if_failed()
    recorded = len(load(path)["in"]["time_stamps"])
    assert recorded == recorder.recorded
    assert recorded + recorder.dropped == n
    # The losses are logged, not only counted (a recorder that collects has no input queue).
    warned = [m for m in logger.of(Constants.LogTypes.WARNING) if "did not reach" in m]
    assert (
        warned
        == [
            f"{recorder.dropped} item(s) of this run did not reach {path}: "
            "the writer fell behind or failed."
        ][: bool(recorder.dropped)]
    )


@pytest.mark.parametrize("queue_size", [8, 100_000])
def test_pushes_from_several_threads_are_counted_once_and_recorded_or_dropped(tmp_path, queue_size):
    # The recorder's inputs keep what arrives for the writer without running
    # a cycle: each frame of the SYNC inputs and each event still counts as
    # one, in a second run too.
    ports = [{"name": "a"}, {"name": "b"}, {"name": "m", "timing": ASYNC}]
    path = tmp_path / "t.xdf"
    recorder = Recorder(name="rec", path=str(path), queue_size=queue_size, input_ports=ports)
    a, b, m = (recorder.get_input_port(name) for name in "abm")
    with pytest.raises(TypeError, match="TapImp or None"):
        a._collect(object())
    threads, pushes = 4, 300
    frame = np.zeros((1, 2), np.float32)

    def work():
        for k in range(pushes):
            a.push(frame)
            b.push(frame)
            m.push({"k": k})

    with Pipeline(directory="") as p:
        p.add_node(recorder)
        for run_ in range(2):
            p.start()
            workers = [threading.Thread(target=work) for _ in range(threads)]
            for w in workers:
                w.start()
            for w in workers:
                w.join()
            p.stop()
            p.raise_if_failed()
            # As any node's, the counter runs on across runs.
            assert recorder.get_counter() == (run_ + 1) * 2 * threads * pushes
            recorded = sum(len(s["time_stamps"]) for s in load(path).values())
            assert recorded == recorder.recorded
            assert recorded + recorder.dropped == 3 * threads * pushes
            # What a full ring gave way shows per input, as a queue's drops do.
            assert (sum(recorder.get_dropped().values()) > 0) == (queue_size == 8)
            recorder.config["overwrite"] = True


def test_a_misfit_costs_the_data_path_nothing_and_fails_the_node_from_the_writer(tmp_path):
    path = tmp_path / "m.xdf"
    good = np.zeros((2, 3), np.float32)
    recorder = Recorder(name="rec", path=str(path))
    with Pipeline(directory="") as p:
        p.add_node(recorder)
        p.connect(Frames([{"out": good}], {"rate": 100.0}, name="source"), recorder)
        p.start()
        try:
            assert wait_until(lambda: recorder.get_counter() >= 1, TIMEOUT)
            # The producer's call only queues the cycle: the frame is looked
            # at on the writer's thread, which fails the node for it.
            assert recorder.step({"in": np.zeros((2, 4), np.float32)}) is None
            for _ in range(5):
                recorder.step({"in": good})
            assert wait_until(lambda: recorder.failure() is not None, TIMEOUT)
        finally:
            p.stop()
    assert "records 3 channel(s); got a frame of shape (2, 4)" in str(recorder.failure())
    # What came before the misfit is written; what came after is counted.
    assert len(load(path)["in"]["time_stamps"]) == 2
    assert (recorder.recorded, recorder.dropped) == (1, 5)


class _Masked:
    """An event whose type cannot even be asked for."""

    @property
    def __class__(self):
        raise SystemExit(5)


def test_an_event_whose_own_code_raises_fails_the_node_and_the_file_is_finished(tmp_path):
    path = tmp_path / "x.xdf"
    events = EventSource(name="events")
    recorder = Recorder(name="rec", path=str(path), input_ports=[{"name": "in", "timing": ASYNC}])
    with Pipeline(directory="") as p:
        p.add_node(recorder)
        p.connect(events, recorder)
        p.start()
        try:
            for value in (1, _Masked(), 2):
                events.trigger(value)
            assert wait_until(lambda: recorder.failure() is not None, TIMEOUT)
        finally:
            p.stop()
    assert type(recorder.failure()) is SystemExit
    (s,) = load(path).values()  # footers written: the writer went on
    assert [row[0] for row in s["time_series"]] == ["1"]
    assert s["footer"]["info"]["sample_count"] == ["1"]
    assert (recorder.recorded, recorder.dropped) == (1, 1)


def test_dropped_cycles_count_every_port_s_items_and_samples(tmp_path):
    path = tmp_path / "c.xdf"
    n, rows = 2000, 3
    stamps = np.arange(rows, dtype=np.float64)
    frames = [
        {"a": np.zeros((rows, 2), np.float32), "b": np.ones((rows, 1)), "t": stamps}
        for _ in range(n)
    ]
    source = Frames(frames, {"rate": 100.0}, name="source")
    ports = [{"name": "a"}, {"name": "b"}, {"name": "timestamps"}]
    recorder = Recorder(name="rec", path=str(path), input_ports=ports, queue_size=4)
    with Pipeline(directory="") as p:
        p.add_node(recorder)
        for out, into in (("a", "a"), ("b", "b"), ("t", "timestamps")):
            p.connect({"node": source, "port": out}, {"node": recorder, "port": into})
        run(p, lambda: source.wait(0) and recorder.get_counter() >= n)
        p.raise_if_failed()
    streams = load(path)
    assert sorted(streams) == ["a", "b"]
    written = sum(len(s["time_stamps"]) for s in streams.values())
    assert recorder.dropped > 0
    assert recorder.recorded + recorder.dropped == 2 * n
    assert written + recorder._writer.dropped_samples == 2 * n * rows


# ------------------------------------------------------------------ replay


def _foreign_file(path):
    w = xdf.XdfWriter(path)
    a = w.add_stream("EEG amp", type="EEG", channel_count=2, nominal_srate=100)
    b = w.add_stream("EEG amp", type="EEG", channel_count=1, nominal_srate=10)
    m = w.add_stream("9 markers!", type="Markers", channel_format="string")
    w.write_samples(a, np.arange(100, dtype=np.float32).reshape(50, 2), 10 + np.arange(50) / 100)
    w.write_samples(b, np.arange(5, dtype=np.float64), 10 + np.arange(5) / 10)
    w.write_samples(m, ["stim", "7"], [10.1, 10.3])
    w.close()


def _collect(replay, ports):
    """Play `replay` into one sink per port; [(arrival, {port: value})]."""
    arrivals = []
    timing = {p["name"]: p["timing"] for p in replay.config["output_ports"]}
    with Pipeline(directory="") as p:
        for port in ports:
            sink = Sink(
                name=f"sink_{port}",
                input_ports=[{"name": port, "timing": timing[port]}],
                callback=lambda frame: arrivals.append((time.monotonic(), frame)),
            )
            p.add_node(sink)
            p.connect({"node": replay, "port": port}, {"node": sink, "port": port})
        run(p, lambda: replay.wait(0))
        p.raise_if_failed()
    return arrivals


def test_replay_names_ports_after_streams_and_plays_in_time_order(tmp_path):
    path = tmp_path / "f.xdf"
    _foreign_file(path)
    replay = Replay(name="replay", path=str(path), speed=None, frame_size=10)
    names = list(replay._imp._output_ports)
    assert names == [
        "EEG_amp",
        "EEG_amp_timestamps",
        "EEG_amp_2",
        "EEG_amp_2_timestamps",
        "s_9_markers_",
    ]
    arrivals = _collect(replay, ["EEG_amp", "EEG_amp_2", "s_9_markers_"])
    marks = [f["s_9_markers_"] for _, f in arrivals if "s_9_markers_" in f]
    assert marks == [{"label": "stim", "time": 10.1}, {"label": "7", "time": 10.3}]
    order = [next(iter(f)) for _, f in arrivals]
    # Frames leave at their last sample's time: 10.09, 10.1 (marker), 10.19, ...
    a, b, m = "EEG_amp", "EEG_amp_2", "s_9_markers_"
    assert order == [a, m, a, a, m, a, b, a]
    selected = Replay(name="only", path=str(path), streams=["Markers"])
    assert list(selected._imp._output_ports) == ["s_9_markers_"]


@pytest.mark.parametrize("speed", [1.0, 2.0])
def test_replay_in_real_time_keeps_the_recorded_spacing(tmp_path, speed):
    path = tmp_path / "f.xdf"
    _foreign_file(path)
    replay = Replay(name="replay", path=str(path), speed=speed, frame_size=10)
    arrivals = _collect(replay, ["EEG_amp", "EEG_amp_2", "s_9_markers_"])
    # Nothing leaves before its time, counted from when the first frame
    # (10.09) was due, not from its arrival, which a loaded machine may
    # delay; the span is the file's at that speed.
    start = replay.t0
    for arrived, frame in arrivals:
        port = next(iter(frame))
        if port == "s_9_markers_":
            assert arrived - start >= (frame[port]["time"] - 10.09) / speed - 0.005
    assert arrivals[-1][0] - start >= (10.49 - 10.09) / speed - 0.005


def test_a_truncated_file_replays_what_is_readable_or_fails_clearly(tmp_path):
    whole = tmp_path / "whole.xdf"
    _foreign_file(whole)
    data = whole.read_bytes()
    cut = tmp_path / "cut.xdf"
    rng = random.Random(11)
    for end in [0, 4, 10] + [rng.randrange(len(data)) for _ in range(25)]:
        cut.write_bytes(data[:end])
        try:
            replay = Replay(name="r", path=str(cut), speed=None)
        except xdf.XdfError as e:
            assert "cut.xdf" in str(e)
            continue
        ports = [n for n in replay._imp._output_ports if not n.endswith("_timestamps")]
        if ports:
            _collect(replay, ports)


class _Unprintable:
    def __init__(self, error):
        self.error = error

    def __repr__(self):
        raise self.error


def test_events_of_any_kind_are_recorded_from_several_threads(tmp_path):
    path = tmp_path / "e.xdf"
    events = EventSource(name="events")
    recorder = Recorder(name="rec", path=str(path), input_ports=[{"name": "in", "timing": ASYNC}])
    sent = [
        _Unprintable(RuntimeError("no")),
        _Unprintable(SystemExit(3)),
        np.arange(3),
        np.zeros((2, 2)),
        float("nan"),
        {1: "int key"},
        "text",
    ]
    with Pipeline(directory="") as p:
        p.add_node(recorder)
        p.connect(events, recorder)
        p.start()
        try:
            threads = [
                threading.Thread(target=lambda: [events.trigger(v) for v in sent]) for _ in range(4)
            ]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            assert wait_until(lambda: recorder.get_counter() >= 4 * len(sent), TIMEOUT)
        finally:
            p.stop()
        p.raise_if_failed()
    texts = [row[0] for row in load(path)["in"]["time_series"]]
    assert len(texts) == 4 * len(sent)
    assert sorted(set(texts)) == sorted(
        [
            '"<_Unprintable>"',
            "[0, 1, 2]",
            "[[0.0, 0.0], [0.0, 0.0]]",
            '"nan"',
            '{"1": "int key"}',
            '"text"',
        ]
    )
