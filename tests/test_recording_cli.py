"""Recording from the command line: `flowmesh run` with a Recorder stopped by
signals, files it must not or cannot write, and the commands record, replay,
info and export."""

import json
import os
import signal
import subprocess
import time

import numpy as np
import pytest
from support import end_or_report_hang, run_on_small_disk
from test_cli import COMMAND, SIGNALLED_TIMEOUT, assert_one_line_error, environment, flowmesh

from flowmesh import xdf
from flowmesh.nodes import Recorder
from flowmesh.pipeline import Pipeline
from flowmesh.portable import Portable
from flowmesh.synthetic import SimulatedEEG, StimulusSource

pyxdf = pytest.importorskip("pyxdf")


def recording_document(tmp_path, path, **recorder):
    """A document: simulated EEG and stimuli into a Recorder writing `path`."""
    eeg = SimulatedEEG(name="eeg", sample_rate=500, channels=4, frame_size=5)
    stimuli = StimulusSource(name="stimuli", interval=0.2, jitter=0.05, seed=2)
    rec = Recorder(
        name="recorder",
        path=str(path),
        input_ports=[{"name": "eeg"}, {"name": "stimuli", "timing": "Async"}],
        **recorder,
    )
    document = tmp_path / "recording.json"
    with Pipeline(directory="") as p:
        p.add_node(rec)
        p.connect(eeg, {"node": rec, "port": "eeg"})
        p.connect(stimuli, {"node": rec, "port": "stimuli"})
        p.save(str(document))
    Portable.reset()
    return document


def start(tmp_path, *args):
    return subprocess.Popen(
        [*COMMAND, *map(str, args)],
        cwd=tmp_path,
        env=environment(tmp_path),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


@pytest.mark.parametrize(
    ("signum", "code"), [(signal.SIGTERM, 143), (signal.SIGINT, 130), (signal.SIGHUP, 129)]
)
def test_a_signal_stops_the_run_with_a_complete_file(tmp_path, signum, code):
    out = tmp_path / "rec.xdf"
    document = recording_document(tmp_path, out)
    process = start(tmp_path, "run", document)
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and (not out.exists() or out.stat().st_size < 20_000):
            time.sleep(0.1)
        process.send_signal(signum)
        stdout, stderr = end_or_report_hang(process, SIGNALLED_TIMEOUT)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    assert process.returncode == code, stdout + stderr
    streams = {s["info"]["name"][0]: s for s in pyxdf.load_xdf(str(out))[0]}
    assert set(streams) == {"eeg", "stimuli"}
    for s in streams.values():
        assert int(s["footer"]["info"]["sample_count"][0]) == len(s["time_stamps"]) > 0
    assert streams["eeg"]["time_series"].shape[1] == 4


@pytest.mark.parametrize("kind", ["exists", "fifo", "directory"])
def test_a_file_the_recorder_may_not_write_fails_the_run_naming_it(tmp_path, kind):
    out = tmp_path / "rec.xdf"
    if kind == "exists":
        out.write_bytes(b"earlier")
    elif kind == "fifo":
        os.mkfifo(out)
    else:
        out.mkdir()
    document = recording_document(tmp_path, out)
    done = flowmesh(tmp_path, "run", document, "--duration", "2")
    assert_one_line_error(done, 1, str(out))
    if kind == "exists":
        assert out.read_bytes() == b"earlier"


def test_a_full_file_system_fails_the_run_naming_the_file(tmp_path):
    small = tmp_path / "small"
    out = small / "rec.xdf"
    document = recording_document(tmp_path, out, flush_interval=0.05)
    # 64 KiB hold about a second of this signal.
    done = run_on_small_disk(
        small,
        "64k",
        [*COMMAND, "run", document, "--duration", "20"],
        cwd=tmp_path,
        env=environment(tmp_path),
        timeout=120,
    )
    assert_one_line_error(done, 1, str(out), "No space left on device")


def test_info_replay_and_export_of_a_recording(tmp_path):
    path = tmp_path / "r.xdf"
    w = xdf.XdfWriter(path)
    eeg = w.add_stream("EEG", type="EEG", channel_count=2, nominal_srate=100, labels=["C3", "C4"])
    marks = w.add_stream("Markers", type="Markers", channel_format="string")
    w.write_samples(eeg, np.arange(400.0).reshape(200, 2) * 1e-6, 20 + np.arange(200) / 100)
    w.write_samples(marks, ["left", "right"], [20.5, 21.0])
    w.close()
    done = flowmesh(tmp_path, "info", path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == f"{path}: 2 stream(s)"
    assert lines[2].split() == [
        "EEG",
        "EEG",
        "2",
        "100",
        "Hz",
        "float32",
        "200",
        "1.990",
        "s",
        "0",
        "yes",
    ]
    done = flowmesh(tmp_path, "replay", path, "--speed", "max")
    assert done.returncode == 0, done.stderr
    assert "Markers: {'label': 'left', 'time': 20.5}" in done.stdout
    assert "Played: EEG 200 samples, Markers 2 samples" in done.stdout
    for bad in (["info", tmp_path / "none.xdf"], ["replay", document_less(tmp_path)]):
        assert_one_line_error(flowmesh(tmp_path, *bad), 1, str(bad[1]))
    pytest.importorskip("mne")
    pytest.importorskip("edfio")
    done = flowmesh(tmp_path, "export", path, "--to", "edf", tmp_path / "r.edf")
    assert done.returncode == 0, done.stderr
    import mne

    raw = mne.io.read_raw_edf(tmp_path / "r.edf", verbose=False)
    assert raw.ch_names == ["C3", "C4"] and raw.info["sfreq"] == 100
    np.testing.assert_allclose(raw.annotations.onset, [0.5, 1.0], atol=0.01)
    again = flowmesh(tmp_path, "export", path, "--to", "edf", tmp_path / "r.edf")
    assert_one_line_error(again, 1, "r.edf", "--overwrite")


def document_less(tmp_path):
    """A file that is no XDF."""
    path = tmp_path / "not.xdf"
    path.write_text(json.dumps({"not": "xdf"}))
    return path


def test_record_refuses_a_bad_query_before_looking(tmp_path):
    pytest.importorskip("pylsl")
    done = flowmesh(tmp_path, "record", tmp_path / "o.xdf", "--stream", "colour=red")
    assert_one_line_error(done, 2, "not a stream query")
    assert not (tmp_path / "o.xdf").exists()


def test_record_refuses_an_existing_file_in_the_command_line_s_words(tmp_path, monkeypatch, capsys):
    pytest.importorskip("pylsl")
    from flowmesh.commands import main
    from flowmesh.lsl import recording

    out = tmp_path / "o.xdf"
    out.write_bytes(b"earlier")
    monkeypatch.setattr(recording, "resolve", lambda queries, timeout, stop: [])
    assert main(["record", str(out), "--stream", "name=x"]) == 1
    assert capsys.readouterr().err == f"flowmesh: {out}: exists; pass --overwrite to replace it\n"
    assert out.read_bytes() == b"earlier"


def test_record_and_replay_over_lsl_in_a_private_network(tmp_path):
    """Publish a file with `replay --lsl`, record it with `record`, compare."""
    pytest.importorskip("pylsl")
    from lsl_sandbox import write_config
    from support import run_isolated

    source = tmp_path / "source.xdf"
    w = xdf.XdfWriter(source)
    eeg = w.add_stream("rec-eeg", type="EEG", channel_count=3, nominal_srate=200)
    marks = w.add_stream("rec-markers", type="Markers", channel_format="string")
    values = np.arange(3 * 800, dtype=np.float32).reshape(800, 3)
    w.write_samples(eeg, values, 50 + np.arange(800) / 200)
    w.write_samples(marks, [f"m{i}" for i in range(8)], 50.2 + np.arange(8) / 2)
    w.close()
    copy = tmp_path / "copy.xdf"
    config = write_config(tmp_path)
    command = [*COMMAND]
    script = (
        f'"$@" record "{copy}" --stream type=EEG --stream name=rec-markers '
        f'> "{tmp_path}/record.out" 2>&1 & pid=$!; sleep 3; '
        f'"$@" replay "{source}" --lsl --wait-for-consumers 30 > "{tmp_path}/replay.out" 2>&1; '
        # SIGTERM ends the recording with a complete file.
        'sleep 1; kill -TERM $pid; wait $pid; echo "done $?"'
    )
    done = run_isolated(
        ["sh", "-c", script, "sh", *command],
        env={**environment(tmp_path), "LSLAPICFG": str(config)},
        timeout=180,
    )
    record_out = (tmp_path / "record.out").read_text() if (tmp_path / "record.out").exists() else ""
    assert "done 143" in done.stdout, done.stdout + done.stderr + record_out
    streams = {s["info"]["name"][0]: s for s in pyxdf.load_xdf(str(copy))[0]}
    assert set(streams) == {"rec-eeg", "rec-markers"}, record_out
    got = streams["rec-eeg"]
    np.testing.assert_array_equal(got["time_series"], values)
    # The relative timing survives: the published timestamps keep their spacing.
    np.testing.assert_allclose(np.diff(got["time_stamps"]), 1 / 200, atol=1e-6)
    assert [r[0] for r in streams["rec-markers"]["time_series"]] == [f"m{i}" for i in range(8)]
    assert len(got["clock_times"]) >= 1  # the recorder measured the clock offset
    assert "footer" in got


@pytest.mark.parametrize("trial", range(4))
def test_sigkill_leaves_a_file_with_every_flushed_sample(tmp_path, trial):
    out = tmp_path / "rec.xdf"
    document = recording_document(tmp_path, out, flush_interval=0.25)
    process = start(tmp_path, "run", document)
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and (not out.exists() or out.stat().st_size < 5_000):
            time.sleep(0.02)
        time.sleep(0.2 + 0.4 * trial)
        killed = time.monotonic()
        process.send_signal(signal.SIGKILL)
        process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    streams = {s["info"]["name"][0]: s for s in pyxdf.load_xdf(str(out))[0]}
    eeg = streams["eeg"]
    assert "footer" not in eeg
    # Stamped at arrival (monotonic, shared with this process): every frame
    # that arrived a flush interval before the kill is in the file.
    assert eeg["time_stamps"][-1] >= killed - 0.25 - 0.05
