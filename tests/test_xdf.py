"""The XDF writer: round trips through pyxdf, crashes, damaged files, failures."""

import errno
import io
import json
import logging
import os
import random
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest
from support import null_device_node, run_on_small_disk, wait_until

from flowmesh import xdf

pyxdf = pytest.importorskip("pyxdf")
SRC = Path(__file__).resolve().parent.parent / "src"


def raw_load(path):
    if isinstance(path, Path):
        path = str(path)
    return pyxdf.load_xdf(path, dejitter_timestamps=False, synchronize_clocks=False)[0]


def flushed_samples(path):
    """Samples of the file's first stream that a reader finds in it now: the
    writer's thread flushes when it gets to it, not at any set moment."""
    try:
        streams = raw_load(path)
    except Exception:  # noqa: BLE001 - caught mid-write: nothing readable yet
        return 0
    return len(streams[0]["time_stamps"]) if streams else 0


def by_name(streams):
    return {s["info"]["name"][0]: s for s in streams}


FORMATS = [
    ("float32", np.float32),
    ("double64", np.float64),
    ("int8", np.int8),
    ("int16", np.int16),
    ("int32", np.int32),
    ("int64", np.int64),
]


@pytest.mark.parametrize("fmt,dtype", FORMATS)
def test_numeric_round_trip_is_exact(tmp_path, fmt, dtype):
    path = tmp_path / "r.xdf"
    rng = np.random.default_rng(1)
    info = np.iinfo(dtype) if np.issubdtype(dtype, np.integer) else np.finfo(dtype)
    values = rng.uniform(-1, 1, (250, 5)) * float(info.max) / 2
    values = values.astype(dtype)
    values[0] = [info.min, info.max, 0, -1, 1]
    stamps = 1000.0 + np.arange(250) / 250.0 + rng.uniform(0, 1e-4, 250)
    w = xdf.XdfWriter(path)
    sid = w.add_stream("S", channel_count=5, nominal_srate=250, channel_format=fmt)
    for k in range(0, 250, 37):
        w.write_samples(sid, values[k : k + 37], stamps[k : k + 37])
        w.flush()
    w.close()
    (s,) = raw_load(path)
    assert s["time_series"].dtype == dtype
    np.testing.assert_array_equal(s["time_series"], values)
    np.testing.assert_array_equal(s["time_stamps"], stamps)
    assert s["footer"]["info"]["sample_count"] == ["250"]


def test_streams_at_several_rates_markers_empty_and_late(tmp_path):
    path = tmp_path / "multi.xdf"
    w = xdf.BackgroundWriter(path, flush_interval=0.05)
    eeg = w.add_stream(
        "EEG <&>",
        type="EEG",
        channel_count=3,
        nominal_srate=500,
        labels=["Fz", "C\x01z", "P&z"],
        units=["uV"] * 3,
    )
    slow = w.add_stream("Slow", channel_count=1, nominal_srate=10, channel_format="double64")
    markers = w.add_stream("Markers", type="Markers", channel_format="string")
    w.add_stream("Empty", channel_count=2, nominal_srate=100)
    a = np.arange(1500, dtype=np.float32).reshape(500, 3)
    for k in range(0, 500, 50):
        assert w.push(eeg, a[k : k + 50], np.arange(k, k + 50) / 500)
    assert w.push(slow, np.arange(10.0), np.arange(10) / 10)
    events = ["start", {"code": 3, "label": "é"}, 7, ["a", 1.5], "x\ny"]
    assert w.push(markers, events, [0.1, 0.2, 0.3, 0.4, 0.5])
    time.sleep(0.1)
    late = w.add_stream("Late", channel_count=2, nominal_srate=100, channel_format="int16")
    assert w.push(late, np.ones((4, 2), np.int16), [0.9, 0.91, 0.92, 0.93])
    w.close()
    s = by_name(raw_load(path))
    assert list(s) == ["EEG <&>", "Slow", "Markers", "Empty", "Late"]
    np.testing.assert_array_equal(s["EEG <&>"]["time_series"], a)
    np.testing.assert_array_equal(s["EEG <&>"]["time_stamps"], np.arange(500) / 500)
    channels = s["EEG <&>"]["info"]["desc"][0]["channels"][0]["channel"]
    assert [c["label"][0] for c in channels] == ["Fz", "C\ufffdz", "P&z"]
    assert [c["unit"][0] for c in channels] == ["uV"] * 3
    assert s["Slow"]["time_series"].dtype == np.float64
    texts = [row[0] for row in s["Markers"]["time_series"]]
    assert texts[0] == "start" and texts[-1] == "x\ny"
    assert [json.loads(t) for t in texts[1:4]] == events[1:4]
    assert s["Empty"]["time_series"].shape == (0, 2)
    assert s["Empty"]["footer"]["info"]["sample_count"] == ["0"]
    assert s["Late"]["time_series"].shape == (4, 2)
    listing = {i["name"]: i for i in xdf.info(path)}
    assert listing["EEG <&>"]["samples"] == 500 and listing["EEG <&>"]["gaps"] == 0
    assert listing["Late"]["complete"] and listing["Empty"]["samples"] == 0


def test_info_counts_gaps_and_clock_offsets_are_applied(tmp_path):
    path = tmp_path / "g.xdf"
    w = xdf.XdfWriter(path)
    sid = w.add_stream("S", nominal_srate=100)
    stamps = np.concatenate([np.arange(100) / 100, 5 + np.arange(100) / 100])
    w.write_samples(sid, np.zeros(200, np.float32), stamps)
    w.write_clock_offset(sid, 0.0, 2.0)
    w.write_clock_offset(sid, 6.0, 2.0)
    w.close()
    (entry,) = xdf.info(path)
    assert entry["gaps"] == 1 and entry["samples"] == 200
    (s,), _ = xdf.load(path)
    np.testing.assert_allclose(s["time_stamps"], stamps + 2.0)


@pytest.mark.parametrize(
    "bad",
    [
        {"channel_format": "float16"},
        {"channel_count": 0},
        {"channel_count": True},
        {"nominal_srate": float("nan")},
        {"nominal_srate": "fast"},
        {"channel_count": 2, "labels": ["only one"]},
    ],
)
def test_bad_stream_descriptions_are_refused_at_once(tmp_path, bad):
    w = xdf.BackgroundWriter(tmp_path / "b.xdf")
    with pytest.raises((TypeError, ValueError)):
        w.add_stream("S", **bad)
    w.close()
    assert raw_load(tmp_path / "b.xdf") == []


@pytest.mark.parametrize("fault", ["shape", "io"])
def test_writer_failure_is_kept_and_later_items_are_dropped(tmp_path, monkeypatch, fault):
    w = xdf.BackgroundWriter(tmp_path / "f.xdf", flush_interval=0.05)
    sid = w.add_stream("S", channel_count=2)
    assert w.push(sid, np.zeros((3, 2)), [1, 2, 3])
    assert wait_until(lambda: flushed_samples(tmp_path / "f.xdf") == 3)
    if fault == "shape":
        w.push(sid, np.zeros((3, 5)), [1, 2, 3])
        expected = "f.xdf: recording failed: ValueError: 3 timestamps"
    else:

        def writev(fd, buffers):
            raise OSError(errno.EIO, "Input/output error")

        monkeypatch.setattr(xdf.os, "writev", writev)
        w.push(sid, np.zeros((3, 2)), [4, 5, 6])
        expected = "f.xdf: cannot be written: Input/output error"
    # Most likely taken with the failing one: lost with it, and counted so.
    w.push(sid, np.zeros((3, 2)), [10, 11, 12])
    deadline = time.monotonic() + 30
    while w.error is None and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not w.push(sid, np.zeros((3, 2)), [7, 8, 9])
    monkeypatch.undo()
    with pytest.raises(xdf.XdfError, match=expected):
        w.close()
    assert w.accepted + w.dropped == 4
    if fault == "shape":  # failed as it was written: it and what followed are dropped
        assert w.accepted == 1
    (s,) = raw_load(tmp_path / "f.xdf")  # what was flushed before still loads
    assert s["time_series"].shape == (3, 2)


def test_full_queue_counts_every_dropped_item(tmp_path):
    w = xdf.BackgroundWriter(tmp_path / "q.xdf", queue_size=8, flush_interval=10)
    sid = w.add_stream("S")
    pushed = 0
    for i in range(20_000):
        pushed += 1
        w.push(sid, np.float32([i]), [float(i)])
    w.close()
    (s,) = raw_load(tmp_path / "q.xdf")
    assert w.accepted + w.dropped == pushed
    assert len(s["time_stamps"]) == w.accepted


@pytest.mark.parametrize(
    "rate,last,error",
    [
        (0.0, None, None),
        (250.0, None, None),
        (250.0, np.zeros((1, 3)), r"a frame of shape \(1, 3\) for a stream of 16"),
        (250.0, np.zeros((1, 16), complex), "dtype complex128 do not fit format float32"),
        (250.0, np.full((1, 16), "1.5"), "values of dtype <U3 do not fit format float32"),
    ],
    ids=["irregular", "regular", "channels", "complex", "text"],
)
def test_a_burst_of_small_frames_is_written_exactly(tmp_path, monkeypatch, rate, last, error):
    # Megabytes taken at once: several chunks, each encoded into the buffer
    # that the one before it was written from; frames of float64 into float32.
    monkeypatch.setattr(xdf, "_BURST", None)
    w = xdf.BackgroundWriter(tmp_path / "b.xdf", queue_size=20_000, flush_interval=30, tick=60)
    sid = w.add_stream("S", channel_count=16, nominal_srate=rate)
    deadline = time.monotonic() + 30
    while sid not in w.samples() and time.monotonic() < deadline:
        time.sleep(0.001)  # then the writer sleeps until the close
    sizes = [1 + k % 7 for k in range(12_000)]
    values = np.arange(sum(sizes) * 16, dtype=np.float64).reshape(-1, 16)
    arrivals = 100.0 + np.arange(len(sizes)) * 0.03
    begin = 0
    for n, arrival in zip(sizes, arrivals, strict=True):
        assert w.push(sid, values[begin : begin + n], arrival=float(arrival))
        begin += n
    if last is not None:
        w.push(sid, last, arrival=200.0)
        with pytest.raises(xdf.XdfError, match=error):
            w.close()
        return
    w.close()
    (s,) = raw_load(tmp_path / "b.xdf")
    np.testing.assert_array_equal(s["time_series"], values.astype(np.float32))
    back = [np.arange(n - 1, -1, -1) / rate if rate else np.zeros(n) for n in sizes]
    expected = np.repeat(arrivals, sizes) - np.concatenate(back)
    np.testing.assert_allclose(s["time_stamps"], expected, rtol=0, atol=1e-9)


def test_flushed_items_are_in_the_file_before_close(tmp_path):
    path = tmp_path / "l.xdf"
    w = xdf.BackgroundWriter(path, flush_interval=0.1, fsync_interval=None)
    sid = w.add_stream("S")
    w.push(sid, np.float32([1, 2, 3]), [1.0, 2.0, 3.0])
    assert wait_until(lambda: flushed_samples(path) == 3)
    (s,) = raw_load(path)  # read while the writer is open
    assert len(s["time_stamps"]) == 3 and "footer" not in s
    w.close()


# ------------------------------------------------------- refusing to write


def _open_failure(path, **kw):
    with pytest.raises(xdf.XdfError) as caught:
        xdf.BackgroundWriter(path, **kw)
    message = str(caught.value)
    assert "\n" not in message and os.fspath(path).rstrip("/") in message
    return message


def test_existing_file_is_kept_unless_overwrite(tmp_path):
    path = tmp_path / "x.xdf"
    path.write_bytes(b"precious")
    assert "overwrite=True" in _open_failure(path)
    assert path.read_bytes() == b"precious"
    xdf.BackgroundWriter(path, overwrite=True).close()
    assert raw_load(path) == []


@pytest.mark.parametrize("kind", ["fifo", "device", "directory", "separator", "under_a_file"])
@pytest.mark.parametrize("overwrite", [False, True])
def test_anything_but_a_regular_file_is_refused(tmp_path, kind, overwrite):
    path = tmp_path / "target"
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "device":
        null_device_node(path)
    elif kind == "directory":
        path.mkdir()
    elif kind == "under_a_file":
        (tmp_path / "plain").write_text("")
        path = tmp_path / "plain" / "r.xdf"
    before = os.lstat(path).st_mode if os.path.lexists(path) else None
    shown = f"{path}/" if kind == "separator" else path
    _open_failure(shown, overwrite=overwrite)
    if before is not None:
        assert os.lstat(path).st_mode == before


FULL_DISK_CHILD = textwrap.dedent(
    """
    import sys, numpy as np
    from flowmesh import xdf
    w = xdf.BackgroundWriter(sys.argv[1], flush_interval=0.01)
    sid = w.add_stream("S", channel_count=64, nominal_srate=1000)
    for i in range(400):
        w.push(sid, np.zeros((100, 64), np.float32), np.arange(100) + 100.0 * i)
    try:
        w.close()
    except xdf.XdfError as e:
        print(e)
        sys.exit(3)
    """
)


def test_full_file_system_fails_the_writer_naming_the_file(tmp_path):
    mount = tmp_path / "small"
    script = tmp_path / "child.py"
    script.write_text(FULL_DISK_CHILD)
    env = dict(os.environ, PYTHONPATH=str(SRC))
    argv = [sys.executable, script, mount / "r.xdf"]
    done = run_on_small_disk(mount, "256k", argv, env=env, timeout=120)
    assert done.returncode == 3, done.stderr
    assert f"{mount}/r.xdf" in done.stdout and "No space left" in done.stdout


# ------------------------------------------------------------- damage


def _many_small_chunks(path, seed):
    rng = random.Random(seed)
    w = xdf.XdfWriter(path)
    ids = [w.add_stream(f"S{k}", channel_count=k + 1, nominal_srate=100) for k in range(3)]
    marks = w.add_stream("M", channel_format="string")
    t = 0.0
    for _ in range(1500):
        t += 0.01
        sid = rng.choice(ids + [marks])
        n = rng.randint(1, 4)
        if sid == marks:
            w.write_samples(sid, ["e" * rng.randint(0, 40) for _ in range(n)], [t] * n)
        else:
            w.write_samples(sid, np.full((n, sid), t, np.float32), [t] * n)
        if rng.random() < 0.1:
            w.flush()
    w.close()


@pytest.mark.parametrize("seed", range(1, 7))
def test_a_file_cut_on_any_page_boundary_loads_with_pyxdf(tmp_path, seed):
    # A write interrupted by the process's death ends on a page boundary.
    whole = tmp_path / "whole.xdf"
    _many_small_chunks(whole, seed)
    data = whole.read_bytes()
    cut = tmp_path / "cut.xdf"
    previous = -1
    for end in range(4096, len(data), 4096):
        cut.write_bytes(data[:end])
        total = sum(len(s["time_stamps"]) for s in raw_load(cut))
        assert total >= previous
        previous = total


def test_a_file_cut_anywhere_reads_its_complete_chunks_or_fails_clearly(tmp_path):
    whole = tmp_path / "whole.xdf"
    _many_small_chunks(whole, 4)
    data = whole.read_bytes()
    full = {s["info"]["name"][0]: s for s in raw_load(whole)}
    cut = tmp_path / "cut.xdf"
    rng = random.Random(5)
    for end in [0, 3, 4, 5, 30] + [rng.randrange(len(data)) for _ in range(60)]:
        cut.write_bytes(data[:end])
        try:
            loaded, _ = xdf.load(cut)
        except xdf.XdfError as e:
            assert str(cut) in str(e)
            continue
        for s in loaded:
            n = len(s["time_stamps"])
            reference = full[s["info"]["name"][0]]
            np.testing.assert_array_equal(s["time_stamps"], reference["time_stamps"][:n])


class _Writes:
    """`os` for the writer, keeping every write as (offset, bytes)."""

    def __init__(self):
        self.writes = []

    def __getattr__(self, name):
        return getattr(os, name)

    def write(self, fd, data):
        return self.writev(fd, [data])

    def writev(self, fd, buffers):
        self.writes.append((os.lseek(fd, 0, os.SEEK_CUR), b"".join(bytes(b) for b in buffers)))
        return os.writev(fd, buffers)

    def pwrite(self, fd, data, offset):
        self.writes.append((offset, bytes(data)))
        return os.pwrite(fd, data, offset)


def _torn_files(writes, first):
    """Every file a kill can leave: the writes before one whole, that one cut
    after any of its bytes."""
    done = bytearray()
    for k, (offset, data) in enumerate(writes):
        for n in range(len(data) + 1):
            if k < first:
                break
            torn = bytearray(done)
            end = offset + n
            torn.extend(bytes(max(0, end - len(torn))))
            torn[offset:end] = data[:n]
            yield k, bytes(torn)
        done.extend(bytes(max(0, offset + len(data) - len(done))))
        done[offset : offset + len(data)] = data


def test_a_kill_at_any_byte_of_any_write_leaves_a_file_pyxdf_loads(tmp_path, monkeypatch, caplog):
    # Stream headers and clock offsets are read with nothing to catch a torn
    # one: a file cut inside one is refused whole.
    caplog.set_level(logging.CRITICAL + 1, logger=pyxdf.pyxdf.__name__)
    writes = _Writes()
    monkeypatch.setattr(xdf, "os", writes)
    w = xdf.XdfWriter(tmp_path / "k.xdf")
    header = len(writes.writes)  # a file cut inside its header is no XDF file
    eeg = w.add_stream("EEG", type="EEG", channel_count=3, nominal_srate=100, labels="abc")
    w.write_samples(eeg, np.arange(6, dtype=np.float32).reshape(2, 3), [1.0, 2.0])
    flushed = [len(writes.writes)]
    w.flush()
    w.write_clock_offset(eeg, 2.0, 0.25)
    w.write_samples(eeg, np.ones((1, 3), np.float32), [3.0])
    marks = w.add_stream("M", type="Markers", channel_format="string")
    w.write_samples(marks, ["go"], [3.5])
    w.boundary()  # mid-batch: more chunks follow it before the flush
    w.write_clock_offset(eeg, 4.0, 0.5)
    w.write_samples(eeg, np.full((2, 3), 7, np.float32), [4.0, 5.0])
    flushed.append(len(writes.writes))
    w.flush()
    flushed.append(len(writes.writes))
    w.close()
    monkeypatch.undo()
    full = by_name(raw_load(tmp_path / "k.xdf"))
    assert [len(full[n]["time_stamps"]) for n in ("EEG", "M")] == [5, 1]
    expected = {}  # samples per stream sure to load once write k began
    synced = set()
    for k, data in _torn_files(writes.writes, header):
        try:
            loaded = raw_load(io.BytesIO(data))
            # Synchronising clocks is slow: once per content.
            seen = tuple((len(s["time_stamps"]), len(s["clock_times"])) for s in loaded)
            if seen not in synced:
                synced.add(seen)
                pyxdf.load_xdf(io.BytesIO(data))
        except Exception as e:
            raise AssertionError(f"write {k} torn, file of {len(data)} bytes: {e!r}") from e
        got = {s["info"]["name"][0]: s for s in loaded}
        for name, s in got.items():
            n = len(s["time_stamps"])
            np.testing.assert_array_equal(s["time_series"], full[name]["time_series"][:n])
        if k in flushed:
            expected.setdefault(k, {n: len(s["time_stamps"]) for n, s in got.items()})
        sure = expected[max(f for f in flushed if f <= k)]
        for name, n in sure.items():
            assert len(got[name]["time_stamps"]) >= n, (k, len(data), name)


# ------------------------------------------------------------ crashes

CRASH_CHILD = textwrap.dedent(
    """
    import mmap, sys, time, numpy as np
    from flowmesh import xdf
    path, log, flush = sys.argv[1], sys.argv[2], float(sys.argv[3])
    w = xdf.BackgroundWriter(path, flush_interval=flush, fsync_interval=1.0)
    sid = w.add_stream("EEG", channel_count=8, nominal_srate=1000)
    marks = w.add_stream("M", channel_format="string")
    with open(log, "r+b") as f:
        pushed = np.frombuffer(mmap.mmap(f.fileno(), 0), dtype=np.float64)
    print("ready", flush=True)
    i, start = 0, time.monotonic()
    while i < len(pushed):
        now = time.monotonic()
        # 1 kHz, one sample per push; the push time is logged before it
        while i < len(pushed) and start + i / 1000 <= now:
            pushed[i] = time.monotonic()
            w.push(sid, np.full((1, 8), i, np.float32), [float(i)])
            if i % 100 == 0:
                w.push(marks, [str(i)], [float(i)])
            i += 1
        time.sleep(0.0005)
    """
)


def _crash_trial(tmp_path, trial, flush, rng):
    path, log = tmp_path / f"c{trial}.xdf", tmp_path / f"c{trial}.log"
    log.write_bytes(b"\0" * 8 * 20_000)
    script = tmp_path / "crash_child.py"
    script.write_text(CRASH_CHILD)
    env = dict(os.environ, PYTHONPATH=str(SRC))
    child = subprocess.Popen(
        [sys.executable, str(script), str(path), str(log), str(flush)],
        stdout=subprocess.PIPE,
        env=env,
    )
    try:
        assert child.stdout.readline() == b"ready\n"
        time.sleep(rng.uniform(0.3, 1.5))
        killed_at = time.monotonic()
        child.send_signal(signal.SIGKILL)
        child.wait(60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait(60)
        child.stdout.close()
    pushed = np.frombuffer(log.read_bytes(), dtype=np.float64)
    pushed = pushed[pushed > 0]
    s = by_name(raw_load(path))
    got = s["EEG"]["time_series"][:, 0] if "EEG" in s else np.zeros(0)
    # A prefix of what was pushed, in order, complete up to one flush interval.
    np.testing.assert_array_equal(got, np.arange(len(got), dtype=np.float32))
    old = int(np.count_nonzero(pushed < killed_at - flush))
    assert len(got) >= old, (trial, len(got), old)
    return len(pushed) - len(got)


def test_sigkill_at_random_moments_keeps_every_flushed_sample(tmp_path):
    rng = random.Random(os.getpid())
    lost = []
    # Half the trials flush all the time, so that a kill often lands inside a write.
    for trial in range(12):
        lost.append(_crash_trial(tmp_path, trial, 0.25 if trial % 2 else 0.05, rng))
    print(f"crash trials: {len(lost)}, samples lost at most: {max(lost)}")


# --------------------------------------------------------------- MNE


def test_to_mne_and_edf_export_keep_channels_rate_and_markers(tmp_path):
    mne = pytest.importorskip("mne")
    pytest.importorskip("edfio")
    path = tmp_path / "m.xdf"
    w = xdf.XdfWriter(path)
    eeg = w.add_stream("EEG", type="EEG", channel_count=2, nominal_srate=256, labels=["Cz", "Pz"])
    marks = w.add_stream("Markers", type="Markers", channel_format="string")
    t0 = 50.0
    values = np.sin(np.arange(512 * 2)).reshape(512, 2) * 1e-5
    w.write_samples(eeg, values, t0 + np.arange(512) / 256)
    w.write_samples(marks, ["go", "stop"], [t0 + 0.5, t0 + 1.25])
    w.close()
    raw = xdf.to_mne(path, stream="EEG")
    assert raw.ch_names == ["Cz", "Pz"] and raw.info["sfreq"] == 256
    np.testing.assert_allclose(raw.get_data().T, values)
    out = tmp_path / "m.edf"
    xdf.export(path, "edf", out)
    back = mne.io.read_raw_edf(out, preload=True, verbose=False)
    assert back.ch_names == ["Cz", "Pz"] and back.info["sfreq"] == 256
    np.testing.assert_allclose(back.get_data().T, values, atol=1e-8)
    assert list(back.annotations.description) == ["go", "stop"]
    np.testing.assert_allclose(back.annotations.onset, [0.5, 1.25], atol=1 / 256)
    with pytest.raises(xdf.XdfError, match="exists"):
        xdf.export(path, "edf", out)
    with pytest.raises(xdf.XdfError, match="no numeric stream"):
        xdf.to_mne(path, stream="Nope")
