"""The monitor page in a real browser: Debian's headless Chromium driven by
Playwright, inside a private network namespace (the browser reaches nothing but
the monitor on loopback)."""

import json
import os
import shutil
import sys

import pytest
from support import run_isolated

import flowmesh

HERE = os.path.dirname(os.path.abspath(__file__))
# Where this run imports flowmesh from (the in-place build, or a sanitizer build).
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(flowmesh.__file__)))
ELEMENTS = sorted(
    ["fragile", "kept", "labels", "sine", "smooth", "tagged", "tagger"]
    + ["eeg", "raw", "stimuli", "epochs", "average", "means"]
)


@pytest.fixture(scope="module")
def seen(tmp_path_factory):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the browser is not run under the sanitizer runtime")
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        pytest.skip("chromium is not installed (tools/ensure-chromium installs it)")
    shots = tmp_path_factory.mktemp("shots")
    result = run_isolated(
        [sys.executable, os.path.join(HERE, "monitor_page_scenario.py"), chromium, str(shots)],
        timeout=240,
        env={"PYTHONPATH": os.pathsep.join([PACKAGE_ROOT, HERE])},
    )
    assert result.returncode == 0, result.stderr[-4000:]
    observed = json.loads(result.stdout.strip().splitlines()[-1])
    observed["shots"] = shots
    return observed


def test_every_element_is_drawn(seen):
    assert seen["graph"] == ELEMENTS
    assert seen["visible"] == ELEMENTS
    assert seen["edges"] == {"Sync": 7, "Async": 4}


def test_the_frame_rate_moves(seen):
    first, second = seen["frames"]
    assert sorted(first) == ELEMENTS
    for name in ("sine", "smooth", "tagger", "kept"):
        assert second[name] > first[name]
    assert seen["fps"] > 0


def test_a_chosen_port_is_plotted(seen):
    assert json.loads(seen["plot"]) == ["smooth", "out"]


def test_the_buttons_stop_and_start_the_run(seen):
    assert seen["control"] == ["Stopped", "Running"]


def test_a_failure_appears_after_a_node_raises(seen):
    assert seen["failure_hidden_before"] is True
    lines = seen["failure"].splitlines()
    assert lines[0] == "*** sensor returned garbage ***"
    assert "Node: fragile" in lines and lines[-1] == "Pipeline stopped."
    assert seen["failed"] == ["fragile"]
    assert any(m.startswith("sensor returned garbage") for m in seen["log_errors"])


def test_the_trace_shows_every_channel_by_name(seen):
    assert seen["channels"] == [f"EEG{k}" for k in range(1, 9)]


def test_the_trace_moves_on_pushed_columns_alone(seen):
    # 2 s at 100 columns a second, while the page asked for none.
    assert seen["trace_columns_drawn_meanwhile"] >= 100
    assert seen["trace_requests_while_watching"] == 0


def test_a_marker_sent_is_drawn_on_the_trace(seen):
    # Drawn at all is the test; how soon is reported (a loaded machine may lag).
    assert seen["marker_delay"] > 0
    print(f"marker drawn {seen['marker_delay']:.2f} s after it was sent")
    print(f"trace drawn at {seen['draw_rate']:.0f} frames/s")


def test_the_averagers_mean_is_plotted_with_its_count(seen):
    mean = seen["mean"]
    assert mean["field"] == "mean"
    assert mean["channels"] == [f"EEG{k}" for k in range(1, 9)]
    assert "counted" in mean["note"]


@pytest.mark.parametrize("width", ["1280", "1920"])
def test_the_graph_fits_the_window(seen, width):
    assert seen["fits"][width] is True


@pytest.mark.parametrize(
    "name",
    [
        "monitor.png",
        "monitor-failure.png",
        "monitor-trace-1280.png",
        "monitor-trace-1920.png",
        "monitor-average.png",
    ],
)
def test_the_page_renders_without_errors(seen, name):
    assert seen["errors"] == []
    with open(seen["shots"] / name, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
