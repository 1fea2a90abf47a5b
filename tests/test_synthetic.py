"""The demo's simulated subject: an evoked response lands exactly where the
marker of its stimulus says, so epochs cut at the markers hold it whole."""

import re
import time

import numpy as np
import pytest

from flowmesh import Constants, Pipeline, Sink
from flowmesh.nodes import Averager, Epocher
from flowmesh.synthetic import SimulatedEEG, StimulusSource, evoked_response

ASYNC = Constants.Timing.ASYNC


@pytest.mark.parametrize(("frame_size", "latency"), [(5, 0.3), (1, 0.25), (16, 0.4)])
def test_epochs_at_the_markers_hold_the_response_exactly(frame_size, latency):
    subject = f"test-{frame_size}-{latency}"
    eeg = SimulatedEEG(
        name="eeg",
        subject=subject,
        frame_size=frame_size,
        channels=3,
        latency=latency,
        noise=0.0,
        alpha=0.0,
        hum=0.0,
        evoked=10.0,
    )
    stimuli = StimulusSource(name="stimuli", subject=subject, interval=0.8, jitter=0.05, seed=3)
    epochs = Epocher(name="epochs", tmin=-0.1, tmax=0.6)
    average = Averager(name="average")
    sink = Sink(name="sink", input_ports=[{"name": "in", "timing": ASYNC}])
    with Pipeline(directory="") as p:
        for node in (sink, average, epochs, stimuli, eeg):
            p.add_node(node)
        p.connect(eeg, {"node": epochs, "port": "signal"})
        p.connect(stimuli, {"node": epochs, "port": "marker"})
        p.connect({"node": epochs, "port": "epoch"}, average)
        p.connect(average, sink)
        p.start()
        deadline = time.monotonic() + 30
        while len(sink.frames) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        p.stop()
        p.raise_if_failed()
    assert average.count >= 2
    result = sink.values()[-1]
    times = result["times"]
    expected = evoked_response(times, latency, 10.0)[:, None] * np.linspace(1.0, 0.5, 3)
    np.testing.assert_allclose(result["mean"], expected, atol=1e-9)
    assert times[np.argmax(result["mean"][:, 0])] == pytest.approx(latency, abs=1 / 250)


def test_an_oddball_experiment_evokes_a_response_to_its_targets_only():
    subject = "test-oddball"
    eeg = SimulatedEEG(
        name="eeg", subject=subject, channels=2, noise=0.0, alpha=0.0, hum=0.0, evoked=10.0
    )
    stimuli = StimulusSource(
        name="stimuli", subject=subject, interval=0.5, jitter=0.0, seed=4, oddball=0.5
    )
    epochs = Epocher(name="epochs", tmin=0.0, tmax=0.45)
    sink = Sink(name="sink", input_ports=[{"name": "in", "timing": ASYNC}])
    with Pipeline(directory="") as p:
        for node in (sink, epochs, stimuli, eeg):
            p.add_node(node)
        p.connect(eeg, {"node": epochs, "port": "signal"})
        p.connect(stimuli, {"node": epochs, "port": "marker"})
        p.connect({"node": epochs, "port": "epoch"}, sink)
        p.start()
        deadline = time.monotonic() + 30
        labels = lambda: {e["label"] for e in sink.values()}  # noqa: E731
        while labels() != {"flash", "standard"} and time.monotonic() < deadline:
            time.sleep(0.05)
        p.stop()
        p.raise_if_failed()
    # 0..450 ms after a stimulus holds its own response and none of another's
    # (500 ms apart): a standard's epoch is flat.
    for epoch in sink.values():
        evoked = np.abs(epoch["data"]).max() > 1.0
        assert evoked == (epoch["label"] == "flash"), epoch["label"]
    assert labels() == {"flash", "standard"}


def test_evoked_response_peaks_at_the_latency():
    t = np.arange(-0.1, 0.8, 0.001)
    response = evoked_response(t, 0.35, 12.0)
    assert t[np.argmax(response)] == pytest.approx(0.35, abs=0.001)
    assert response.max() == pytest.approx(12.0, rel=1e-3)
    assert response[np.argmin(np.abs(t - 0.1))] < 0  # the small early negative wave


@pytest.mark.parametrize(
    ("config", "error"),
    [
        ({"interval": 1.0, "jitter": 1.0}, ValueError),
        ({"interval": "1"}, TypeError),
    ],
)
def test_stimulus_source_refuses_bad_timing(config, error):
    with pytest.raises(error):
        StimulusSource(**config)


@pytest.mark.parametrize(
    ("config", "error", "text"),
    [
        ({"sample_rate": 0}, ValueError, "sample_rate must be >= 1"),
        ({"frame_size": 2.5}, TypeError, "frame_size must be an int"),
        ({"channels": 0}, ValueError, "channels must be >= 1"),
        # A trillion channels would be a 7 TiB allocation at the first frame.
        ({"channels": 10**12}, ValueError, "channels must be <= 1024"),
        ({"sample_rate": 10**9}, ValueError, "sample_rate must be <= 100000"),
        ({"frame_size": 300}, ValueError, "frame_size must be <= 250"),
        ({"channels": 1000, "frame_size": 2000, "sample_rate": 4000}, ValueError, "frame_size x"),
        ({"hum_frequency": 200.0}, ValueError, "hum_frequency must be <= 125"),
        ({"latency": -0.1}, ValueError, "latency must be a finite number >= 0"),
        ({"noise": float("inf")}, ValueError, "noise must be a finite number"),
        ({"seed": -1}, ValueError, "seed must be >= 0"),
        ({"subject": None}, TypeError, "subject must be a str"),
        ({"fail_after": "soon"}, TypeError, "fail_after must be a number"),
        ({"chanels": 4}, ValueError, "'chanels'; did you mean 'channels'"),
    ],
)
def test_simulated_eeg_refuses_bad_settings(config, error, text):
    with pytest.raises(error, match=re.escape(text)):
        SimulatedEEG(**config)


@pytest.mark.parametrize(
    ("config", "error", "text"),
    [
        ({"interval": 1e300}, ValueError, "interval must be <= 86400"),
        ({"interval": 0}, ValueError, "interval must be a finite number > 0"),
        ({"jitter": -0.1}, ValueError, "jitter must be a finite number >= 0"),
        ({"label": 5}, TypeError, "label must be a str"),
        ({"seed": "x"}, TypeError, "seed must be an int"),
        ({"intervall": 2.0}, ValueError, "'intervall'; did you mean 'interval'"),
    ],
)
def test_stimulus_source_refuses_bad_settings(config, error, text):
    with pytest.raises(error, match=re.escape(text)):
        StimulusSource(**config)


def test_a_failing_stimulus_thread_fails_the_node_visibly():
    stimuli = StimulusSource(name="stimuli", subject="failing", interval=0.05, jitter=0.0)

    def broken(value, port=None):
        raise OSError("display unplugged")

    stimuli.trigger = broken
    with Pipeline(directory="") as p:
        p.add_node(stimuli)
        p.start()
        deadline = time.monotonic() + 30
        while p.get_condition() != Constants.Conditions.ERROR and time.monotonic() < deadline:
            time.sleep(0.02)
        p.stop()
        with pytest.raises(RuntimeError, match="display unplugged") as caught:
            p.raise_if_failed()
    assert isinstance(caught.value.__cause__, OSError)
