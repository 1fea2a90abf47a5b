"""The `flowmesh` command, run for real in a subprocess: exit codes, one-line
errors, the graph as DOT, runs stopped by time, by signals and by failures,
and the demo to its end."""

import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest
from support import end_or_report_hang

import flowmesh
from flowmesh.commands import demo
from flowmesh.portable import Portable

# Where the package under test was imported from (src/, or a sanitizer build).
SRC = pathlib.Path(flowmesh.__file__).resolve().parent.parent
TESTS = pathlib.Path(__file__).resolve().parent
EXAMPLES = TESTS.parent / "examples"
INSTALLED = pathlib.Path(sys.executable).with_name("flowmesh")
COMMAND = [str(INSTALLED)] if INSTALLED.exists() else [sys.executable, "-m", "flowmesh"]
TIMEOUT = 120
# For a process that should end on a signal: below pytest's own timeout, so
# that a hang fails with the process's stacks (see end_or_report_hang).
SIGNALLED_TIMEOUT = 60


def environment(tmp_path):
    env = {**os.environ, "XDG_STATE_HOME": str(tmp_path / "state"), "NO_COLOR": "1"}
    # A child that hangs or crashes shows its Python stacks on SIGABRT / SIGSEGV.
    env["PYTHONFAULTHANDLER"] = "1"
    # TESTS: documents may name the test elements of cli_elements.
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(SRC), str(TESTS), env.get("PYTHONPATH")]))
    return env


def flowmesh(tmp_path, *args, timeout=TIMEOUT):
    return subprocess.run(
        [*COMMAND, *map(str, args)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=environment(tmp_path),
        timeout=timeout,
    )


def pyxdf_streams(path):
    import pyxdf

    return pyxdf.load_xdf(str(path))[0]


def assert_one_line_error(done, code, *texts):
    assert done.returncode == code, (done.stdout, done.stderr)
    assert "Traceback" not in done.stderr + done.stdout
    lines = done.stderr.splitlines()
    assert len(lines) == 1, done.stderr
    assert lines[0].startswith("flowmesh")
    for text in texts:
        assert text in lines[0]


def save_demo(tmp_path, name="pipeline.json", fail_after=None):
    """The demo's pipeline saved as a document (nothing is run)."""
    pipeline, parts = demo.build(str(tmp_path), fail_after=fail_after)
    path = tmp_path / name
    try:
        pipeline.save(str(path))
    finally:
        pipeline.close()
        del pipeline, parts
        Portable.reset()
    return path


@pytest.fixture
def document(tmp_path):
    return save_demo(tmp_path)


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        (["--help"], "usage: flowmesh"),
        (["--version"], "flowmesh 0.1.0"),
        (["demo", "--help"], "--duration SECONDS"),
        (["run", "--help"], "exit codes 130, 143 and 129"),
        (["graph", "--help"], "--output OUT"),
        (["validate", "--help"], "--allow MODULE_PREFIX"),
    ],
)
def test_help_and_version(tmp_path, args, expected):
    done = flowmesh(tmp_path, *args)
    assert done.returncode == 0 and done.stderr == ""
    assert expected in " ".join(done.stdout.split()) or expected in done.stdout


def test_python_dash_m_is_the_same_command(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "flowmesh", "--version"],
        capture_output=True,
        text=True,
        env=environment(tmp_path),
        timeout=TIMEOUT,
    )
    assert done.returncode == 0 and done.stdout.strip() == "flowmesh 0.1.0"


@pytest.mark.parametrize(
    ("args", "texts"),
    [
        ([], ["the following arguments are required: COMMAND"]),
        (["validate", "x.json", "--bogus"], ["unrecognized arguments: --bogus"]),
        (["dance"], ["invalid choice: 'dance'"]),
        (["run"], ["flowmesh run", "required: FILE"]),
        (["run", "x.json", "--duration", "soon"], ["not a number of seconds: 'soon'"]),
        (["demo", "--duration", "-1"], ["must be a positive number of seconds"]),
        (["run", "x.json", "--duration", "1e400"], ["--duration", "not a finite number"]),
        (["run", "x.json", "--duration", "nan"], ["--duration", "not a number of seconds"]),
        (["demo", "--duration", "1e300"], ["--duration", "too large", "at most"]),
        (["validate", "x.json", "--allow", "a b"], ["argument --allow", "'a b'"]),
        (["run", "x.json", "--allow", "flowmesh."], ["argument --allow", "'flowmesh.'"]),
    ],
)
def test_usage_mistakes_are_one_line_exit_2(tmp_path, args, texts):
    assert_one_line_error(flowmesh(tmp_path, *args), 2, *texts)


def broken_documents(tmp_path, document):
    """name -> (document text or None for a directory, texts the error holds)."""
    good = json.loads(document.read_text())
    bad_reference = json.loads(document.read_text())
    bad_reference["connections"][0][1] = "nobody.in"
    unknown_class = json.loads(document.read_text())
    unknown_class["nodes"][0]["class"] = "NoSuchNode"
    too_new = dict(good, format_version=999)
    return {
        "missing.json": (False, ["missing.json", "no such file"]),
        "folder.json": (None, ["folder.json", "is a directory"]),
        "broken.json": ('{"nodes": [', ["broken.json", "line 1"]),
        "list.json": ("[1, 2]", ["list.json"]),
        "bad_reference.json": (
            json.dumps(bad_reference),
            ["Deserialization failed", "'nobody.in' names no node in this pipeline"],
        ),
        "unknown_class.json": (json.dumps(unknown_class), ["NoSuchNode"]),
        "too_new.json": (json.dumps(too_new), ["999"]),
    }


@pytest.mark.parametrize("command", ["run", "validate", "graph"])
def test_document_mistakes_are_one_line_exit_1(tmp_path, document, command):
    for name, (content, texts) in broken_documents(tmp_path, document).items():
        path = tmp_path / name
        if content is None:
            path.mkdir()
        elif content is not False:
            path.write_text(content)
        assert_one_line_error(flowmesh(tmp_path, command, path), 1, *texts)


def test_validate_accepts_the_demo_document_and_honours_allow(tmp_path, document):
    done = flowmesh(tmp_path, "validate", document)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == f"{document}: valid (7 elements, 7 connections)"
    done = flowmesh(tmp_path, "validate", document, "--allow", "flowmesh")
    assert done.returncode == 0, done.stderr
    assert_one_line_error(
        flowmesh(tmp_path, "validate", document, "--allow", "mylab"), 1, "does not admit"
    )


def test_validate_warns_of_an_input_that_nothing_feeds(tmp_path, document):
    data = json.loads(document.read_text())
    data["nodes"].append(
        {"class": "Sink", "module": "flowmesh.sources", "config": {"name": "idle"}}
    )
    path = tmp_path / "idle.json"
    path.write_text(json.dumps(data))
    done = flowmesh(tmp_path, "validate", path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == f"{path}: valid (8 elements, 7 connections)"
    assert done.stderr.splitlines() == [
        f"flowmesh: warning: {path}: nothing feeds the input idle.in"
    ]
    # Every input of the demo's document is fed: no warning.
    assert flowmesh(tmp_path, "validate", document).stderr == ""


EDGE = re.compile(r"^\s*(n\d+):(\w+):e -> (n\d+):(\w+):w \[style=(solid|dashed)\];$")
NODE = re.compile(r'^\s*(n\d+) \[label="(.*)"\];$')


def parse_dot(text):
    """Nodes (id -> (name, input ports, output ports)) and edges of the DOT
    text, checked line by line against the grammar the command writes."""
    lines = text.strip().splitlines()
    assert lines[0].startswith("digraph ") and lines[0].endswith("{") and lines[-1] == "}"
    assert text.count("{") - text.count("\\{") == text.count("}") - text.count("\\}")
    nodes, edges = {}, []
    for line in lines[1:-1]:
        if m := NODE.match(line):
            fields = re.findall(r"<(\w+)> ([^|}]+)", m.group(2))
            name = re.search(r"([^|{}]+)\\n", m.group(2)).group(1)
            nodes[m.group(1)] = (name, {f: p.strip() for f, p in fields})
        elif m := EDGE.match(line):
            edges.append(m.groups())
        else:
            assert re.match(r"^\s*(rankdir|node|edge|subgraph|label|style|})", line), line
    named = set()
    for source, out_field, target, in_field, style in edges:
        src_name, src_ports = nodes[source]
        dst_name, dst_ports = nodes[target]
        named.add(
            (f"{src_name}.{src_ports[out_field]}", f"{dst_name}.{dst_ports[in_field]}", style)
        )
    return nodes, named


def test_graph_writes_the_pipeline_as_dot(tmp_path, document):
    done = flowmesh(tmp_path, "graph", document)
    assert done.returncode == 0, done.stderr
    nodes, edges = parse_dot(done.stdout)
    assert sorted(name for name, _ in nodes.values()) == sorted(
        ["averages", "recorder", "average", "epochs", "notch", "stimuli", "eeg"]
    )
    assert edges == {
        ("eeg.out", "notch.in", "solid"),
        ("notch.out", "epochs.signal", "solid"),
        ("notch.out", "recorder.signal", "solid"),
        ("stimuli.out", "epochs.marker", "dashed"),
        ("stimuli.out", "recorder.marker", "dashed"),
        ("epochs.epoch", "average.in", "dashed"),
        ("average.out", "averages.in", "dashed"),
    }
    out = tmp_path / "graph.dot"
    done = flowmesh(tmp_path, "graph", document, "-o", out)
    assert done.returncode == 0 and out.read_text() == flowmesh(tmp_path, "graph", document).stdout


def test_graph_draws_a_chain_as_a_cluster(tmp_path):
    sys.path.insert(0, str(EXAMPLES))
    try:
        import chain as example
    finally:
        sys.path.pop(0)
    from flowmesh import Pipeline, Sink

    with Pipeline(directory="") as pipeline:
        pipeline.connect(
            example.Noisy(name="noisy", rate=10), example.Smoother(name="sm", stages=2)
        )
        pipeline.connect(pipeline.get_elements()[1], Sink(name="sink"))
        from flowmesh.graph import to_dot

        nodes, edges = parse_dot(to_dot(pipeline))
    assert ("sm.stage0.out", "sm.stage1.in", "solid") in edges
    assert ("noisy.out", "sm.stage0.in", "solid") in edges
    assert ("sm.stage1.out", "sink.in", "solid") in edges
    assert 'subgraph cluster_1 {\n    label="sm (Smoother)";' in to_dot(pipeline)


@pytest.mark.parametrize("suffix", ["svg", "png"])
def test_graph_renders_with_dot_or_says_how_to_get_it(tmp_path, document, suffix):
    out = tmp_path / f"graph.{suffix}"
    done = flowmesh(tmp_path, "graph", document, "-o", out)
    if shutil.which("dot") is None:
        assert_one_line_error(done, 1, "apt-get install graphviz")
        assert not out.exists()
        pytest.skip("Graphviz's dot is not installed: the rendering itself is not checked")
    assert done.returncode == 0, done.stderr
    data = out.read_bytes()
    assert data.startswith(b"\x89PNG") if suffix == "png" else b"<svg" in data


def test_graph_refuses_an_unknown_output_format(tmp_path, document):
    assert_one_line_error(
        flowmesh(tmp_path, "graph", document, "-o", tmp_path / "g.jpg"), 1, ".jpg"
    )


def log_text(tmp_path):
    logs = sorted((tmp_path / "state" / "flowmesh" / "logs").glob("*.log"))
    assert logs, "no log file"
    return logs[-1].read_text()


def test_run_for_a_duration(tmp_path, document):
    done = flowmesh(tmp_path, "run", document, "--duration", "1.5")
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert "Healthy" in done.stdout
    lines = done.stdout.splitlines()
    logs = list((tmp_path / "state" / "flowmesh" / "logs").glob("*.log"))
    assert lines[0] == f"Log file: {logs[0]}"
    assert re.fullmatch(r"Ran for (1\.[5-9]|[2-9]\.\d) s\.", lines[-5]), lines
    # The nodes that took the most time in their handlers, busiest first.
    busy = lines[-4].removeprefix("Busy (share of one core): ").split(", ")
    shares = [float(part.rpartition(" ")[2].rstrip("%")) for part in busy]
    assert 1 <= len(busy) <= 3 and shares == sorted(shares, reverse=True) and shares[0] > 0, lines
    # The status line names the busiest node and the drops.
    status = [line for line in lines if "frames/s" in line]
    assert status and all(" | busiest " in line and "no drops" in line for line in status), lines
    frames = dict(part.split() for part in lines[-3].removeprefix("Frames: ").split(", "))
    # Only what has outputs produced: the sinks and the recorder do not count.
    assert set(frames) == {"eeg", "notch", "stimuli", "epochs", "average"}, lines
    assert int(frames["eeg"]) > 10
    assert lines[-2:] == ["Drops: none", "Failures: none"]
    log = log_text(tmp_path)
    assert "Pipeline started." in log and "Pipeline stopped." in log
    assert "Monitoring thread terminated." in log.splitlines()[-1]
    # The recorder of the loaded pipeline wrote its file, footers at the stop.
    assert all("footer" in s for s in pyxdf_streams(tmp_path / "recording.xdf"))


@pytest.mark.parametrize(
    ("signum", "code"), [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)]
)
def test_run_stops_cleanly_on_a_signal(tmp_path, document, signum, code):
    process = subprocess.Popen(
        [*COMMAND, "run", str(document)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=tmp_path,
        env=environment(tmp_path),
    )
    try:
        first = process.stdout.readline()
        assert first.startswith("Log file: "), first
        assert process.stdout.readline().startswith("Running ")
        process.stdout.readline()  # the first status line: the run is on
        time.sleep(0.5)
        process.send_signal(signum)
        out, err = end_or_report_hang(process, SIGNALLED_TIMEOUT)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    assert process.returncode == code, err
    assert "Traceback" not in err and err == ""
    assert f"Stopped by {signal.Signals(signum).name}." in out
    log = log_text(tmp_path)
    assert "Pipeline stopped." in log  # flushed before exit
    assert "Monitoring thread terminated." in log.splitlines()[-1]
    assert all("footer" in s for s in pyxdf_streams(tmp_path / "recording.xdf"))


# The signal handler runs on the main thread between any two lines of Python,
# also inside the wait for the stop event that it sets; it is called here at
# each line of that wait in turn, as a signal arriving then would call it.
HANDLER_AT_EVERY_LINE = """
import signal, sys
from flowmesh.commands.common import StopSignals

for at in range(400):
    with StopSignals() as signals:
        lines = 0

        def trace(frame, event, arg):
            global lines
            if event == "line":
                if lines == at:
                    signals._handle(signal.SIGTERM, None)
                lines += 1
            return trace

        sys.settrace(trace)
        try:
            signals.event.wait(0)
            signals.event.wait(0.001)
        finally:
            sys.settrace(None)
        if lines <= at:
            break
        assert signals.code == 143 and signals.event.wait(0), at
print("handled at", at, "lines")
"""


def python_child(tmp_path, code):
    return subprocess.Popen(
        [sys.executable, "-c", code],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=environment(tmp_path),
    )


def test_the_stop_signal_handler_may_interrupt_the_wait_for_its_event(tmp_path):
    process = python_child(tmp_path, HANDLER_AT_EVERY_LINE)
    out, err = end_or_report_hang(process, SIGNALLED_TIMEOUT)
    assert process.returncode == 0 and out.startswith("handled at "), (out, err)


def test_a_process_that_does_not_end_fails_the_test_with_its_stacks(tmp_path):
    code = (
        "import time\ndef stuck_here():\n    time.sleep(600)\nprint('in', flush=True)\nstuck_here()"
    )
    process = python_child(tmp_path, code)
    assert process.stdout.readline() == "in\n"
    with pytest.raises(pytest.fail.Exception) as failed:
        end_or_report_hang(process, 1)
    assert process.poll() is not None
    report = str(failed.value)
    assert "still running after 1 s" in report
    assert re.search(r'File "<string>", line 3 in stuck_here', report), report
    if shutil.which("gdb"):
        assert "Thread 1 " in report, report


def with_test_element(document, cls, **config):
    """`document` (the demo's) with one element of cli_elements added."""
    data = json.loads(document.read_text())
    data["nodes"].append({"class": cls, "module": "cli_elements", "config": config})
    document.write_text(json.dumps(data))
    return document


def start_run(tmp_path, *args):
    return subprocess.Popen(
        [*COMMAND, "run", *map(str, args)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=tmp_path,
        env=environment(tmp_path),
    )


def signal_when_ready(process, ready, *signums, pause=0.0):
    """Send `signums` to `process` once the file `ready` exists; returns
    (stdout, stderr) at its end."""
    try:
        deadline = time.monotonic() + TIMEOUT
        while not ready.exists():
            assert process.poll() is None, process.communicate()
            assert time.monotonic() < deadline, "never ready"
            time.sleep(0.05)
        for signum in signums:
            process.send_signal(signum)
            time.sleep(pause)
        # Well below the sleeps of the test elements: ending later is the fault.
        return end_or_report_hang(process, 30)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()


@pytest.mark.parametrize(
    ("signum", "code"), [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)]
)
def test_a_signal_while_loading_ends_before_anything_runs(tmp_path, document, signum, code):
    ready = tmp_path / "loading"
    with_test_element(document, "SlowToBuild", name="slow", ready=str(ready), seconds=2)
    process = start_run(tmp_path, document)
    out, err = signal_when_ready(process, ready, signum)
    assert process.returncode == code, (out, err)
    assert err == ""
    name = signal.Signals(signum).name
    assert out.splitlines() == [f"Stopped by {name} before the run started; nothing ran."]
    # The recorder would have made its file had the run started.
    assert not (tmp_path / "recording.xdf").exists()
    # The log file is made when a pipeline starts: none means nothing started.
    assert not list((tmp_path / "state").rglob("*.log"))


def test_a_second_signal_cuts_a_stuck_stop_short(tmp_path):
    ready = tmp_path / "stuck"
    path = tmp_path / "stuck.json"
    step = {"name": "stuck", "rate": 50, "ready": str(ready), "seconds": 120}
    path.write_text(
        json.dumps(
            {
                "nodes": [
                    {"class": "StuckStep", "module": "cli_elements", "config": step},
                    {"class": "Sink", "module": "flowmesh.sources", "config": {"name": "sink"}},
                ],
                "connections": [["stuck.out", "sink.in"]],
            }
        )
    )
    process = start_run(tmp_path, path)
    out, err = signal_when_ready(process, ready, signal.SIGINT, signal.SIGINT, pause=0.5)
    assert process.returncode == 130, (out, err)
    assert "Stopping (SIGINT); a second one ends at once." in out
    assert_one_line_error(
        subprocess.CompletedProcess([], 130, out, err), 130, "stop cut short by a second SIGINT"
    )


@pytest.mark.parametrize("fail", [False, True], ids=["healthy", "failing"])
@pytest.mark.parametrize("stdout", ["read once then closed", "closed from the start"])
def test_run_outlives_its_standard_output(tmp_path, stdout, fail):
    path = save_demo(tmp_path, fail_after=0.5 if fail else None)
    command = [*COMMAND, "run", str(path), "--duration", "3" if not fail else "30"]
    if stdout == "closed from the start":
        command = ["sh", "-c", 'exec "$@" >&-', "sh", *command]
    process = subprocess.Popen(
        command,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=tmp_path,
        env=environment(tmp_path),
    )
    try:
        if stdout == "read once then closed":
            assert process.stdout.readline().startswith("Log file: ")
        process.stdout.close()  # as `| head -1` does
        err = process.stderr.read()
        process.wait(timeout=TIMEOUT)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert "Traceback" not in err
    if fail:
        assert process.returncode == 1
        [line] = err.splitlines()
        assert line.startswith("flowmesh: The pipeline failed: electrode contact lost"), line
    else:
        assert (process.returncode, err) == (0, "")
    log = log_text(tmp_path)
    assert "Pipeline stopped." in log and "Monitoring thread terminated." in log
    # Nothing meant for the terminal landed in the files.
    assert "frames/s" not in log
    assert len(pyxdf_streams(tmp_path / "recording.xdf")[0]["time_stamps"]) > 0


def test_a_failure_just_before_the_end_still_fails_the_command(tmp_path):
    """The failure comes after the monitoring thread's last look and before
    the stop: the elements' own records tell."""
    path = tmp_path / "late.json"
    path.write_text(
        json.dumps(
            {
                "nodes": [
                    {
                        "class": "FailsLate",
                        "module": "cli_elements",
                        "config": {"name": "late", "seconds": 0.6},
                    },
                    {"class": "Sink", "module": "flowmesh.sources", "config": {"name": "sink"}},
                ],
                "connections": [["late.out", "sink.in"]],
            }
        )
    )
    done = flowmesh(tmp_path, "run", path, "--duration", "0.8")
    assert_one_line_error(done, 1, "The pipeline failed: gave up after 0.6 s in node 'late'")
    assert "Failures: late (RuntimeError: gave up after 0.6 s)" in done.stdout


def test_run_failure_exits_1_with_the_reason(tmp_path):
    path = save_demo(tmp_path, "failing.json", fail_after=0.5)
    done = flowmesh(tmp_path, "run", path, "--duration", "30")
    assert_one_line_error(
        done,
        1,
        "The pipeline failed: electrode contact lost on channel EEG3 in node 'eeg'",
    )
    assert "Pipeline stopped." in done.stdout  # the banner


def test_demo_runs_to_its_end_and_leaves_its_files(tmp_path):
    done = flowmesh(tmp_path, "demo", "--duration", "3", "--output", "out", timeout=180)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stderr == ""
    out = tmp_path / "out"
    assert re.search(r"Frames produced: 1[45]\d ", done.stdout), done.stdout
    assert re.search(r"matches the simulated latency of 300 ms", done.stdout), done.stdout
    assert f"Pipeline saved to {out / 'pipeline.json'}" in done.stdout
    assert "Second run:" in done.stdout
    assert "Next: `flowmesh demo --decode`" in done.stdout
    assert (out / "average.png").read_bytes().startswith(b"\x89PNG")
    assert list((out / "logs").glob("flowmesh-*.log"))
    import pyxdf

    streams = pyxdf.load_xdf(str(out / "recording.xdf"))[0]
    streams = {s["info"]["name"][0]: s for s in streams}
    assert len(streams["signal"]["time_stamps"]) > 0 and "footer" in streams["signal"]
    assert streams["signal"]["time_series"].shape[1] == 8
    assert re.search(r"stream 'signal' \(no type\): \d+ samples x 8 channel", done.stdout)
    document = json.loads((out / "pipeline.json").read_text())
    assert {entry["module"] for entry in document["nodes"]} == {
        "flowmesh.nodes",
        "flowmesh.sources",
        "flowmesh.synthetic",
    }


def test_demo_fail_shows_the_failure_and_exits_1(tmp_path):
    done = flowmesh(tmp_path, "demo", "--fail", "--duration", "20", "--output", "out", timeout=180)
    assert_one_line_error(done, 1, "demo failed: The pipeline failed: electrode contact lost")
    assert "error handler: electrode contact lost on channel EEG3" in done.stdout
    assert "Pipeline stopped." in done.stdout
    assert "raise_if_failed() says: The pipeline failed" in done.stdout


@pytest.mark.parametrize("name", ['say "hi"', "a{b}|c<d>", "back\\slash", "two words"])
def test_graph_node_names_survive_graphviz(name):
    if shutil.which("dot") is None:
        pytest.skip("Graphviz's dot is not installed")
    from xml.etree import ElementTree

    from flowmesh import Pipeline, Sink
    from flowmesh.graph import to_dot
    from flowmesh.sources import EventSource

    with Pipeline(directory="") as pipeline:
        sink = Sink(name="sink", input_ports=[{"name": "in", "timing": "Async"}])
        pipeline.connect(EventSource(name=name), sink)
        dot = to_dot(pipeline)
    done = subprocess.run(["dot", "-Tsvg"], input=dot, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    texts = [t.text for t in ElementTree.fromstring(done.stdout).iter() if t.tag.endswith("text")]
    assert name in [t.replace("\xa0", " ") for t in texts if t]


def test_a_stop_on_a_signal_waits_for_the_failure_s_stop_under_way():
    # The monitoring thread stops a failed run; a signal's stop meanwhile
    # must not let the command end before the elements are done (a
    # recorder's footers), though the pipeline's own stop returns at once.
    import threading

    from flowmesh.commands.common import StopSignals
    from flowmesh.pipeline import Pipeline
    from flowmesh.sources import SampledSource, Sink

    entered, done = threading.Event(), threading.Event()

    class SlowToStop(Sink):
        def stop(self):
            entered.set()
            time.sleep(0.5)
            super().stop()
            done.set()

    class Fails(SampledSource):
        def step(self, data):
            raise RuntimeError("broken")

    with Pipeline(directory="") as p:
        p.connect(Fails(name="source"), SlowToStop(name="sink", callback=lambda d: None))
        p.start()
        assert entered.wait(TIMEOUT)
        StopSignals().stop(p)
        assert done.is_set()
