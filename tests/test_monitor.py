"""The monitor's server against real pipelines, over real sockets on loopback."""

import base64
import gc
import http.client
import json
import math
import socket
import sys
import threading
import time
from array import array

import numpy as np
import pytest
from support import Doubler, run_isolated, wait_until

from flowmesh import imp, monitor
from flowmesh.chain import node_entry
from flowmesh.constants import Constants
from flowmesh.io_chain import IOChain
from flowmesh.io_node import IONode
from flowmesh.logging import RECENT_ENTRIES, Logger
from flowmesh.monitor import sampler as sampling
from flowmesh.monitor import trace
from flowmesh.o_chain import OChain
from flowmesh.pipeline import Pipeline
from flowmesh.portable import Portable
from flowmesh.sources import EventSource, SampledSource, Sink

RATE = 200
ASYNC_IN = [{"name": "in", "timing": Constants.Timing.ASYNC}]


@pytest.fixture(autouse=True)
def short_interval(monkeypatch):
    monkeypatch.setattr(imp.ConstantsImp, "MONITORING_INTERVAL", 0.02)


class Counter(SampledSource):
    def step(self, data):
        return {"out": self.get_counter()}


class Graph:
    def __init__(self, rate=RATE):
        self.pipeline = Pipeline(directory="")
        self.src, self.mid, self.sink = (
            Counter(name="src", rate=rate),
            Doubler(name="mid"),
            Sink(name="sink"),
        )
        self.events, self.inbox = (
            EventSource(name="events"),
            Sink(name="inbox", input_ports=ASYNC_IN),
        )
        p = self.pipeline
        for node in (self.sink, self.inbox, self.mid):
            p.add_node(node)
        p.connect(self.src, self.mid)
        p.connect(self.mid, self.sink)
        p.connect(self.events, self.inbox)


@pytest.fixture
def graph():
    g = Graph()
    yield g
    g.pipeline.close()


def serve(graph, **options):
    """A monitor for `graph` (a Graph or a pipeline) on a free port."""
    options.setdefault("port", 0)
    options.setdefault("rate", 20)
    options.setdefault("announce", False)
    return monitor.serve(getattr(graph, "pipeline", graph), **options)


@pytest.fixture
def running(graph):
    with serve(graph) as mon:
        graph.pipeline.start()
        yield graph, mon


def request(mon, method, path, headers=None, body=None, host=None):
    """(status, headers, body) of one request; `path` is sent as is."""
    connection = http.client.HTTPConnection("127.0.0.1", mon.port, timeout=30)
    try:
        connection.putrequest(method, path, skip_host=host is not None)
        if host is not None:
            connection.putheader("Host", host)
        for name, value in (headers or {}).items():
            connection.putheader(name, value)
        data = b"" if body is None else body
        if method == "POST":
            connection.putheader("Content-Length", str(len(data)))
        connection.endheaders(data or None)
        response = connection.getresponse()
        if response.getheader("Content-Type", "").startswith("text/event-stream"):
            return response.status, dict(response.getheaders()), b""
        return response.status, dict(response.getheaders()), response.read()
    finally:
        connection.close()


def post(mon, path, obj, token=None, content_type="application/json"):
    headers = {"Content-Type": content_type}
    if token is not None:
        headers["X-Flowmesh-Token"] = token
    return request(mon, "POST", path, headers, json.dumps(obj).encode())


def traced(mon, channel=0):
    """The column maxima of one channel of the plotted trace, as a page gets them."""
    status, _, body = request(mon, "GET", "/api/trace?from=0")
    if status != 200:
        return []
    magic, _, channels, count, _, _ = trace.TRACE_HEADER.unpack_from(body)
    assert magic == trace.TRACE_MAGIC
    columns = np.frombuffer(body, "<f4", offset=trace.TRACE_HEADER.size).reshape(count, channels, 2)
    highs = columns[:, channel, 1]
    return highs[~np.isnan(highs)].tolist()


def snapshot(mon):
    status, _, body = request(mon, "GET", "/api/snapshot")
    assert status == 200
    return json.loads(body)


class Stream:
    """A raw Server-Sent Events client."""

    def __init__(self, mon, path="/api/events"):
        self.sock = socket.create_connection(("127.0.0.1", mon.port), timeout=30)
        self.sock.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        self.file = self.sock.makefile("rb")
        self.status = int(self.file.readline().split()[1])
        while self.file.readline() not in (b"\r\n", b"\n", b""):
            pass
        self.received = 0  # bytes of events read
        self.traces = []  # the trace replies pushed so far

    def next_snapshot(self):
        data, event = None, None
        for line in self.file:
            self.received += len(line)
            if line.startswith(b"event: "):
                event = line[7:].strip()
            elif line.startswith(b"data: "):
                data = line[6:]
            elif line == b"\n" and data is not None:
                if event == b"trace":
                    self.traces.append(base64.b64decode(data))
                    data, event = None, None
                    continue
                return json.loads(data)
        raise EOFError("the stream ended")

    def close(self):
        self.file.close()
        self.sock.close()


def by_name(snap):
    return {e["name"]: e for e in snap["elements"]}


# --- what the snapshot says -----------------------------------------------------------------


def test_snapshot_matches_the_pipeline(running):
    graph, mon = running
    assert wait_until(lambda: by_name(mon.snapshot())["sink"]["counter"] > 20)
    snap = snapshot(mon)
    elements = by_name(snap)
    nodes = graph.pipeline._imp._nodes
    assert [e["name"] for e in snap["elements"]] == [n.name for n in nodes]
    for node in nodes:
        record = elements[node.name]
        assert record["class"] == type(node).__name__
        assert record["state"] == node.get_state() == "Running"
        assert record["condition"] == node.get_condition() == "Healthy"
        assert 0 < record["counter"] <= node.get_counter() or node is graph.events
        inputs = getattr(node._imp, "_input_ports", None) or {}
        outputs = getattr(node._imp, "_output_ports", None) or {}
        assert [(p["name"], p["timing"]) for p in record["inputs"]] == [
            (n, str(p.timing)) for n, p in inputs.items()
        ]
        assert [(p["name"], p["timing"]) for p in record["outputs"]] == [
            (n, str(p.timing)) for n, p in outputs.items()
        ]
    names = [e["name"] for e in snap["elements"]]
    links = {
        (names[a], pa, names[b], pb, t)
        for (a, pa), (b, pb), t in (
            (link["from"], link["to"], link["timing"]) for link in snap["links"]
        )
    }
    assert links == {
        ("src", "out", "mid", "in", "Sync"),
        ("mid", "out", "sink", "in", "Sync"),
        ("events", "out", "inbox", "in", "Async"),
    }
    assert snap["pipeline"]["state"] == "Running"
    assert snap["pipeline"]["condition"] == "Healthy"
    assert snap["pipeline"]["elapsed"] > 0
    assert snap["failure"] is None and snap["control"] is False
    assert any("added to pipeline" in entry["message"] for entry in snap["log"])


def test_frame_rate_follows_the_counters(running):
    graph, mon = running
    assert wait_until(lambda: by_name(mon.snapshot())["src"]["counter"] > RATE)
    fps = by_name(mon.snapshot())["src"]["fps"]
    # A clocked source catches up on late frames, so over a second it is close to its rate.
    assert 0.5 * RATE < fps < 1.5 * RATE
    assert by_name(mon.snapshot())["events"]["fps"] == 0
    graph.pipeline.stop()
    assert wait_until(lambda: mon.snapshot()["pipeline"]["state"] == "Stopped")
    assert wait_until(lambda: by_name(mon.snapshot())["src"]["fps"] == 0)
    # The elapsed time of the run stays on show once it has ended.
    assert mon.snapshot()["pipeline"]["elapsed"] > 0


def test_a_failure_marks_the_element_and_shows_the_banner(graph, capsys):
    graph.mid.fail_at = 40
    with serve(graph) as mon:
        graph.pipeline.start()
        assert wait_until(lambda: mon.snapshot()["pipeline"]["condition"] == "Error")
        snap = mon.snapshot()
    elements = by_name(snap)
    assert elements["mid"]["condition"] == "Error"
    assert [e["name"] for e in snap["elements"] if e["condition"] == "Error"] == ["mid"]
    lines = snap["failure"]["banner"].splitlines()
    assert lines[0] == "*** cannot take 40 ***"
    assert "Node: mid" in lines and lines[-1] == "Pipeline stopped."
    assert lines[-2] == graph.pipeline._imp._log_reference()
    assert lines == graph.pipeline.failure_banner()
    assert snap["failure"]["node"] == "mid"
    # Every line of the banner the monitoring thread printed is on the page too.
    printed = capsys.readouterr().out
    for line in lines:
        assert line in printed
    errors = [e for e in snap["log"] if e["type"] == "ERROR"]
    assert errors and errors[0]["message"] == "cannot take 40" and errors[0]["instance"] == "mid"


def test_the_stream_delivers_updates(running):
    graph, mon = running
    stream = Stream(mon)
    try:
        assert stream.status == 200
        snaps = [stream.next_snapshot() for _ in range(4)]
    finally:
        stream.close()
    sequences = [s["sequence"] for s in snaps]
    assert sequences == sorted(set(sequences))
    counters = [by_name(s)["src"]["counter"] for s in snaps]
    assert counters[-1] > counters[0]


# --- access ---------------------------------------------------------------------------------

PATHS = ["/", "/index.html", "/static/app.js", "/static/style.css", "/api/snapshot", "/api/events"]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize(
    "how, allowed",
    [
        ("none", False),
        ("wrong query", False),
        ("wrong header", False),
        ("prefix", False),
        ("query", True),
        ("header", True),
        ("bearer", True),
        ("wrong bearer", False),
        ("cookie", True),
    ],
)
def test_every_request_needs_the_token(graph, path, how, allowed):
    with serve(graph, token="s3cret-token") as mon:
        headers, target = {}, path
        if how == "wrong query":
            target += "?token=s3cret-tokem"
        elif how == "wrong header":
            headers["X-Flowmesh-Token"] = "nope"
        elif how == "prefix":
            target += "?token=s3cret"
        elif how == "query":
            target += "?token=s3cret-token"
        elif how == "header":
            headers["X-Flowmesh-Token"] = "s3cret-token"
        elif how == "bearer":
            headers["Authorization"] = "Bearer s3cret-token"
        elif how == "wrong bearer":
            headers["Authorization"] = "Basic s3cret-token"
        elif how == "cookie":
            headers["Cookie"] = f"other=1; flowmesh_token_{mon.port}=s3cret-token"
        status, _, body = request(mon, "GET", target, headers)
    if allowed:
        assert status == 200
    else:
        assert status == 401
        assert body == b"Unauthorized\n"


def test_the_page_hands_its_token_to_its_own_requests(graph):
    with serve(graph, token="tok") as mon:
        assert mon.url == f"http://127.0.0.1:{mon.port}/?token=tok"
        status, headers, _ = request(mon, "GET", "/?token=tok")
        cookie = headers["Set-Cookie"]
        assert cookie.startswith(f"flowmesh_token_{mon.port}=tok;")
        assert "HttpOnly" in cookie and "SameSite=Strict" in cookie


@pytest.mark.parametrize(
    "host, status",
    [
        ("127.0.0.1:{port}", 200),
        ("localhost:{port}", 200),
        ("[::1]:{port}", 200),
        ("127.0.0.1", 200),
        ("attacker.example:{port}", 403),
        ("attacker.example", 403),
        ("127.0.0.1.attacker.example", 403),
        ("", 403),
        ("[::1", 403),
    ],
)
def test_loopback_without_a_token_answers_loopback_names_only(running, host, status):
    graph, mon = running
    got, _, body = request(mon, "GET", "/api/snapshot", host=host.format(port=mon.port))
    assert got == status
    if status == 403:
        assert b"elements" not in body


def test_binding_beyond_loopback_requires_the_token():
    # Only inside a namespace of our own: 0.0.0.0 there reaches nothing but lo.
    result = run_isolated([sys.executable, "-c", BEYOND_LOOPBACK], timeout=120)
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout.strip().splitlines()[-1])
    token = seen["token"]
    assert token and len(token) >= 24
    assert f"token={token}" in seen["announced"]
    assert set(seen["without"].values()) == {401}
    assert set(seen["wrong"].values()) == {401}
    assert set(seen["with"].values()) == {200}
    assert seen["snapshot_without"] == "Unauthorized\n"


BEYOND_LOOPBACK = """
import contextlib, io, json, sys, urllib.error, urllib.request
sys.path[:0] = ["src", "tests"]
from flowmesh import monitor
from flowmesh.pipeline import Pipeline
from flowmesh.portable import Portable
from flowmesh.sources import Sink

pipeline = Pipeline(directory="")
pipeline.add_node(Sink(name="sink"))
err = io.StringIO()
with contextlib.redirect_stderr(err):
    mon = monitor.serve(pipeline, port=0, host="0.0.0.0")
base = f"http://127.0.0.1:{mon.port}"

def get(path):
    try:
        with urllib.request.urlopen(base + path, timeout=30) as r:
            return r.status, "" if "events" in path else r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()

paths = ["/", "/static/app.js", "/api/snapshot", "/api/events"]
seen = {
    "token": mon.token,
    "announced": err.getvalue(),
    "without": {p: get(p)[0] for p in paths},
    "wrong": {p: get(p + "?token=x" + mon.token)[0] for p in paths},
    "with": {p: get(p + "?token=" + mon.token)[0] for p in paths},
    "snapshot_without": get("/api/snapshot")[1],
}
mon.close()
pipeline.close()
print(json.dumps(seen))
"""


# --- files ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "path",
    [
        "/static/../__init__.py",
        "/static/..%2f__init__.py",
        "/static/%2e%2e/__init__.py",
        "/static/../../logging.py",
        "/static/..\\__init__.py",
        "/static//etc/passwd",
        "/static/%2Fetc%2Fpasswd",
        "/../../../../etc/passwd",
        "/static/",
        "/static/app.js/../../__init__.py",
        "/static/app.js%00.png",
        "/__init__.py",
        "/static/sampler.py",
    ],
)
def test_no_file_outside_the_page_is_served(running, path):
    graph, mon = running
    status, _, body = request(mon, "GET", path)
    assert status == 404
    assert b"import" not in body and b"root:" not in body


def test_the_page_is_self_contained_under_a_strict_policy(running):
    graph, mon = running
    status, headers, page = request(mon, "GET", "/")
    assert status == 200 and headers["Content-Type"].startswith("text/html")
    policy = headers["Content-Security-Policy"]
    for directive in ("default-src 'none'", "script-src 'self'", "connect-src 'self'"):
        assert directive in policy
    assert "unsafe" not in policy and "http" not in policy
    assert headers["X-Content-Type-Options"] == "nosniff"
    for name in ("app.js", "style.css"):
        status, headers, body = request(mon, "GET", f"/static/{name}")
        assert status == 200 and "Content-Security-Policy" in headers
        # The one absolute URL is the SVG namespace, which is a name, not a fetch.
        text = body.decode().replace("http://www.w3.org/2000/svg", "")
        assert "http:" not in text and "https:" not in text and "//cdn" not in text
    assert b"<script>" not in page and b"style=" not in page and b"https:" not in page


# --- control --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "allow_control, method, path, header_token, content_type, status",
    [
        (False, "GET", "/api/stop", None, None, 404),
        (False, "POST", "/api/stop", None, "application/json", 403),
        (True, "GET", "/api/stop?token={token}", None, None, 404),
        (True, "POST", "/api/stop", None, "application/json", 401),
        (True, "POST", "/api/stop?token={token}", None, "application/json", 401),
        (True, "POST", "/api/stop", "wrong", "application/json", 401),
        (True, "POST", "/api/stop", "{token}", "text/plain", 415),
        (True, "POST", "/api/stop", "{token}", "application/x-www-form-urlencoded", 415),
        (True, "POST", "/api/shutdown", "{token}", "application/json", 404),
    ],
)
def test_nothing_changes_the_run_without_control_a_token_and_a_post(
    graph, allow_control, method, path, header_token, content_type, status
):
    with serve(graph, allow_control=allow_control) as mon:
        assert (mon.token is not None) == allow_control
        graph.pipeline.start()
        headers = {}
        if content_type:
            headers["Content-Type"] = content_type
        if header_token:
            headers["X-Flowmesh-Token"] = header_token.format(token=mon.token)
        got, _, _ = request(mon, method, path.format(token=mon.token), headers, b"{}")
        assert got == status
        time.sleep(0.05)
        assert graph.pipeline.get_state() == "Running"


def test_start_and_stop_from_the_page(graph):
    with serve(graph, allow_control=True) as mon:
        status, _, body = post(mon, "/api/start", {}, token=mon.token)
        assert status == 200 and json.loads(body) == {"state": "Running"}
        assert graph.pipeline.get_state() == "Running"
        assert wait_until(lambda: graph.sink.get_counter() > 5)
        status, _, body = post(mon, "/api/stop", {}, token=mon.token)
        assert status == 200 and json.loads(body) == {"state": "Stopped"}
        assert graph.pipeline.get_state() == "Stopped"
        assert mon.snapshot()["control"] is True


@pytest.mark.parametrize(
    "body, content_length, status",
    [
        (b"{", None, 400),
        (b"[1, 2]", None, 400),
        (b'"node"', None, 400),
        (b'{"node": 3, "port": "out"}', None, 400),
        (b'{"node": "mid", "port": ["out"]}', None, 400),
        (b'{"node": "mid", "port": "nope"}', None, 404),
        (b'{"node": "nobody", "port": "out"}', None, 404),
        (b'{"node": "sink", "port": "in"}', None, 404),
        (b"{}", "-5", 400),
        (b"{}", "many", 400),
        (b"x" * 5000, None, 400),
    ],
)
def test_bad_plot_requests_are_refused(running, body, content_length, status):
    graph, mon = running
    connection = http.client.HTTPConnection("127.0.0.1", mon.port, timeout=30)
    try:
        connection.putrequest("POST", "/api/plot")
        connection.putheader("Content-Type", "application/json")
        connection.putheader("Content-Length", content_length or str(len(body)))
        connection.endheaders(body)
        assert connection.getresponse().status == status
    finally:
        connection.close()
    assert mon.snapshot()["plot"] is None


# --- the plot -------------------------------------------------------------------------------


def probed(mon, *names):
    """Once the samples per frame of these elements' streams are known, their
    probes are gone from the ports."""
    return wait_until(lambda: all(by_name(mon.snapshot())[n]["samples_per_second"] for n in names))


def test_plotting_taps_only_the_chosen_port_and_lets_go(running):
    graph, mon = running
    assert probed(mon, "src", "mid", "sink")
    out = graph.mid._imp._output_ports["out"]
    before = out._connected_ports
    status, _, _ = post(mon, "/api/plot", {"node": "mid", "port": "out"})
    assert status == 200
    assert len(out._connected_ports) == len(before) + 1
    # No other port is touched.
    assert len(graph.src._imp._output_ports["out"]._connected_ports) == 1
    assert wait_until(lambda: len(mon._sampler._plot.trace.bins) > 20)
    plot = mon.snapshot()["plot"]
    assert (plot["node"], plot["port"], plot["kind"]) == ("mid", "out", "trace")
    first, columns = mon._sampler._plot.trace.since(0)
    values = columns[:, 0, :]
    # Doubled counts, in order: each column's min and max, and no column overlapping the next.
    seen = values[~np.isnan(values[:, 0])]
    assert np.all(seen % 2 == 0) and np.all(seen[:, 0] <= seen[:, 1])
    assert np.all(seen[1:, 0] > seen[:-1, 1])
    # The monitor's own tap is no link of the graph.
    assert len(mon.snapshot()["links"]) == 3

    assert post(mon, "/api/plot", {"node": "src", "port": "out"})[0] == 200
    assert out._connected_ports == before
    assert post(mon, "/api/plot", {"node": None})[0] == 200
    assert graph.src._imp._output_ports["out"]._connected_ports == (
        graph.mid._imp._input_ports["in"],
    )
    assert mon.snapshot()["plot"] is None


def test_closing_the_monitor_removes_its_tap(graph):
    out = graph.mid._imp._output_ports["out"]
    before = out._connected_ports
    with serve(graph) as mon:
        mon.choose_plot("mid", "out")
        assert len(out._connected_ports) == 2
    assert out._connected_ports == before


nan = float("nan")


@pytest.mark.parametrize(
    "value, expected",
    [
        (3, [[3.0]]),
        (True, [[1.0]]),
        (np.float32(2.5), [[2.5]]),
        (np.array(4.0), [[4.0]]),
        ([1, 2.5, 3], [[1.0], [2.5], [3.0]]),
        (np.arange(3), [[0.0], [1.0], [2.0]]),
        # Frames are (samples, channels), whichever axis is longer.
        (np.arange(6).reshape(3, 2), [[0.0, 1.0], [2.0, 3.0], [4.0, 5.0]]),
        (np.arange(6).reshape(2, 3), [[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]]),
        ("text", None),
        ([1, "2"], None),
        ([], None),
        ({"a": 1}, None),
        (("label", 0.5), None),
        (np.array(["a", "b"]), None),
        (np.array([1, 2], dtype=object), None),
        (np.zeros((2, 2, 2)), None),
        (np.zeros(0), None),
    ],
)
def test_values_become_frames_of_samples_by_channels(value, expected):
    frame = trace.as_frame(value)
    assert (None if frame is None else frame.tolist()) == expected


def feed_of(graph, port="out", node=None):
    return sampling.PlotFeed(0, node or graph.mid, port)


class Kept:
    """A feed's tap holding given (arrival, value) pairs, for drains at chosen times."""

    def __init__(self):
        self.items, self.arrived, self.context = [], 0, None

    def take(self):
        items, self.items = self.items, []
        return array("d", [t for t, _ in items]), [v for _, v in items]


def preload(feed, items):
    if not isinstance(feed.tap, Kept):
        feed.tap = Kept()
    items = list(items)
    feed.tap.items += items
    feed.tap.arrived += len(items)


def column_values(feed, channel=0):
    _, columns = feed.trace.since(0)
    return columns[:, channel, :]


def test_an_eeg_frame_gives_a_trace_per_channel(graph):
    """A (5, 8) frame is 8 channels of 5 samples, each at its own time."""
    feed = feed_of(graph)
    rate = 500.0
    frames = [np.arange(40.0).reshape(5, 8) + 100 * k for k in range(4)]
    try:
        for k, frame in enumerate(frames):
            preload(feed, [(1000.0 + k * 5 / rate, frame)])
        feed.trace.add([], rate, None)
        feed.drain()
        feed.trace.add([(1000.0 + k * 5 / rate, f) for k, f in enumerate(frames)], rate, None)
    finally:
        feed.remove()
    trace_ = feed.trace
    assert trace_.channels == 8 and trace_.samples == 40
    signal = np.concatenate(frames)
    for channel in (0, 7):
        # 20 samples at 500 Hz span 40 ms: four columns of 10 ms, each the
        # min and max of its five samples of this channel.
        values = column_values(feed, channel)
        expected = [[c.min(), c.max()] for c in signal[:, channel].reshape(4, 5)]
        assert values.tolist() == expected


@pytest.mark.parametrize("at", [0, 1, 4999, 9999])
def test_decimation_keeps_a_single_sample_spike(at):
    rate = 10_000.0  # 100 samples a column
    signal = np.zeros((10_000, 3))
    signal[at, 1] = 50.0
    signal[at, 2] = -50.0
    t = trace.Trace()
    frames = [(5.0 + (k + 1) * 1000 / rate, signal[k * 1000 : (k + 1) * 1000]) for k in range(10)]
    t.add(frames, rate, None)
    _, columns = t.since(0)
    assert len(columns) in (100, 101)  # a second in columns of 10 ms
    assert np.nanmax(columns[:, 1, 1]) == 50.0 and np.nanmin(columns[:, 2, 0]) == -50.0
    assert np.nanmax(np.abs(columns[:, 0, :])) == 0.0
    # The spike lies in one column only.
    assert np.count_nonzero(columns[:, 1, 1]) == 1


@pytest.mark.parametrize(
    "shape, channels", [((1000,), 1), ((4000, 3), 3), ((10, 200), trace.MAX_CHANNELS)]
)
def test_wide_frames_are_cut_to_the_channels_a_page_shows(graph, shape, channels):
    feed = feed_of(graph)
    try:
        preload(feed, [(1.0, np.ones(shape))])
        feed.drain()
    finally:
        feed.remove()
    assert feed.trace.channels == channels
    assert (feed.note or "").startswith("the first") == (channels == trace.MAX_CHANNELS)


class Raising:
    def __float__(self):
        raise RuntimeError("no float")

    def __repr__(self):
        raise RuntimeError("no repr")


def test_plain_numbers_in_one_go_make_the_columns_one_by_one_would(graph):
    rng = np.random.default_rng(5)
    count = trace.TAP_KEEP  # what a tap keeps
    arrivals = 100.0 + np.sort(rng.uniform(0, 3, count))
    values = rng.normal(size=count)
    values[::97] = math.nan
    fast, general = feed_of(graph), feed_of(graph)
    try:
        preload(fast, zip(arrivals.tolist(), values.tolist()))
        # numpy scalars are not plain numbers: value by value, as before.
        preload(general, zip(arrivals.tolist(), values))
        fast.drain()
        general.drain()
    finally:
        fast.remove()
        general.remove()
    assert fast.trace.samples == general.trace.samples == count
    (start_a, a), (start_b, b) = fast.trace.since(0), general.trace.since(0)
    assert start_a == start_b and np.array_equal(a, b, equal_nan=True)


@pytest.mark.parametrize(
    "values, kind, maxima, note",
    [
        ([1.0, nan, 3.0], "trace", [1.0, 3.0], None),
        ([1, 2**2000, 3.0], "trace", [1.0, 3.0], None),
        ([np.array([1.0, math.inf])], "trace", [math.inf], None),
        ([1.0, "x"], "trace", [1.0], "not numeric: 'x'"),
        ([Raising()], "events", [], "not numeric: <Raising>"),
        (["x", 2.0], "trace", [2.0], None),
        ([5.0, np.arange(3)], "trace", [5.0, 2.0], None),
        ([{"mean": np.ones((4, 2)), "count": 3}], "epochs", [], None),
        ([{"label": "a"}, ("b", 1)], "events", [], "not numeric: ('b', 1)"),
    ],
)
def test_the_plot_record_is_valid_json(graph, values, kind, maxima, note):
    feed = feed_of(graph)
    try:
        # A second apart: each value a column of its own.
        preload(feed, ((100.0 + k, v) for k, v in enumerate(values)))
        feed.drain()
        record = feed.record("mid", 103.0)
    finally:
        feed.remove()
    assert (record["kind"], record["note"]) == (kind, note)
    if kind == "trace":
        highs = column_values(feed)[:, 1]
        assert [x for x in highs.tolist() if not math.isnan(x)] == maxima
    if kind == "epochs":
        assert (record["fields"], record["field"], record["count"]) == (
            ["mean", "count"],
            "mean",
            3,
        )
        assert len(feed.epochs_record()["epochs"]) == 1
    if kind == "events":
        assert len(record["events"]) == len(values)
    json.dumps(record, allow_nan=False)
    json.dumps(feed.epochs_record(), allow_nan=False)


# --- clients --------------------------------------------------------------------------------


def read_until(sock, done, limit=30.0):
    """What `sock` receives until `done(received)` or it ends."""
    sock.settimeout(limit)
    got = bytearray()
    while not done(got):
        chunk = sock.recv(1 << 20)
        if not chunk:
            break
        got += chunk
    return bytes(got)


def test_a_page_that_reads_nothing_gets_only_the_newest_update_and_blocks_nobody():
    streams = imp.StreamsImp(keepalive=60, timeout=60)
    ours, page = socket.socketpair()
    with ours, page:
        client = streams.add(ours, b"retry: 2000\n\n")
        body = b"x" * 100_000
        # 20 MB for a page that reads nothing meanwhile: a publish that waited
        # for it would never return.
        for k in range(200):
            streams.publish(b"<%d:" % k + body + b">")
        assert streams.backlogged and streams.is_open(client)
        last = b"<199:" + body + b">"
        got = read_until(page, lambda got: got.endswith(last))
        assert got.startswith(b"retry: 2000\n\n") and got.endswith(last)
        events = got[len(b"retry: 2000\n\n") :].split(b">")[:-1]
        assert 1 <= len(events) < 20  # any being written when it filled, then the newest
        assert all(e.startswith(b"<") and e.endswith(body) for e in events)
        assert wait_until(lambda: not streams.backlogged)
        streams.remove(client)
        assert len(streams) == 0 and not streams.is_open(client)


def test_a_stalled_page_is_cut_off_and_a_closed_one_forgotten():
    streams = imp.StreamsImp(keepalive=0.2, timeout=0.3)
    stalled, stalled_page = socket.socketpair()
    gone, gone_page = socket.socketpair()
    with stalled, stalled_page, gone, gone_page:
        first, second = streams.add(stalled, b""), streams.add(gone, b"")
        # Quiet streams get a comment, so a proxy keeps them open.
        assert read_until(gone_page, lambda got: b": keep-alive" in got).startswith(b": keep-alive")
        gone_page.close()
        streams.publish(b"x" * 10_000_000)
        assert wait_until(lambda: not streams.is_open(first) and not streams.is_open(second))
        # Cut off: the socket is shut down, so the thread reading it learns of it.
        assert read_until(stalled_page, lambda got: False, limit=5)
        streams.close()
        assert streams.add(stalled, b"") is None
        assert len(streams) == 2  # until their readers remove them


FORKED_STREAMS = """
import gc, os, socket, sys
sys.path[:] = {path}
from flowmesh import imp
streams = imp.StreamsImp()
ours, page = socket.socketpair()
streams.add(ours, b"")
streams.publish(b"before")
pid = os.fork()
if pid == 0:  # the child: whatever happens, it ends
    code = 1
    try:
        try:
            streams.publish(b"child")
        except RuntimeError as e:
            code = 0 if "forked" in str(e) else 2
        del streams
        gc.collect()
    finally:
        os._exit(code)
_, status = os.waitpid(pid, 0)
assert os.waitstatus_to_exitcode(status) == 0, status
streams.publish(b"after")  # the parent's writer goes on
page.settimeout(10)
got = b""
while not got.endswith(b"after"):
    got += page.recv(100)
print("ok")
"""


def test_streams_made_before_a_fork_are_refused_in_the_child_and_collected_quietly():
    import subprocess

    result = subprocess.run(
        [
            sys.executable,
            "-W",
            "ignore::DeprecationWarning",
            "-c",
            FORKED_STREAMS.format(path=sys.path),
        ],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    assert result.returncode == 0 and result.stdout.splitlines()[-1] == "ok", result.stderr


def test_a_stop_from_the_page_is_answered_though_the_run_it_ends_closes_the_monitor(
    graph, monkeypatch
):
    # The page's refresh after the stop is slow, and the program closes the
    # monitor as soon as the run has stopped: the answer must still come.
    slow_refresh = monitor.server.Handler._refresh

    def refresh(self):
        time.sleep(0.3)
        slow_refresh(self)

    monkeypatch.setattr(monitor.server.Handler, "_refresh", refresh)
    pipeline = graph.pipeline
    mon = serve(graph, allow_control=True)
    pipeline.start()

    def close_when_stopped():
        wait_until(lambda: pipeline.get_state() == Constants.States.STOPPED)
        mon.close()

    closer = threading.Thread(target=close_when_stopped)
    closer.start()
    try:
        status, _, _ = post(mon, "/api/stop", {}, token=mon.token)
    finally:
        pipeline.stop()
        closer.join()
    assert status == 200


@pytest.mark.parametrize("value", ["1", None, 2.5])
def test_streams_refuse_what_is_not_bytes_or_a_socket(value):
    streams = imp.StreamsImp()
    with pytest.raises(TypeError):
        streams.publish(value)
    with pytest.raises((TypeError, ValueError)):
        streams.add(value, b"")


def test_vanished_clients_are_cleaned_up(running):
    graph, mon = running
    streams = [Stream(mon) for _ in range(5)]
    for stream in streams:
        stream.next_snapshot()
    assert mon.clients == 5
    for stream in streams:
        stream.close()
    assert wait_until(lambda: mon.clients == 0)


def test_clients_beyond_the_limit_are_turned_away(graph):
    with serve(graph, max_clients=2) as mon:
        kept = [Stream(mon), Stream(mon)]
        try:
            assert [s.status for s in kept] == [200, 200]
            refused = Stream(mon)
            assert refused.status == 503
            refused.close()
        finally:
            for stream in kept:
                stream.close()
        assert wait_until(lambda: mon.clients == 0)
        late = Stream(mon)
        assert late.status == 200
        late.close()


def test_fifty_clients_while_the_pipeline_keeps_its_rate(running):
    graph, mon = running
    streams = [Stream(mon) for _ in range(50)]
    try:
        assert all(s.status == 200 for s in streams)
        assert wait_until(lambda: mon.clients == 50)
        start_count, start = graph.src.get_counter(), time.monotonic()
        received = [[] for _ in streams]

        def read(stream, into):
            for _ in range(5):
                into.append(stream.next_snapshot()["sequence"])

        readers = [threading.Thread(target=read, args=a) for a in zip(streams, received)]
        for reader in readers:
            reader.start()
        for reader in readers:
            reader.join(60)
        frames = graph.src.get_counter() - start_count
        elapsed = time.monotonic() - start
    finally:
        for stream in streams:
            stream.close()
    # Each page gets its snapshots in order, none twice.
    assert [r for r in received if len(r) != 5 or r != sorted(set(r))] == []
    # The source is clocked and catches up on late frames: serving fifty
    # pages must not hold it back.
    assert frames >= 0.8 * RATE * elapsed
    assert graph.pipeline.get_condition() == "Healthy"
    assert wait_until(lambda: mon.clients == 0)


def test_a_stalled_client_holds_up_neither_the_others_nor_close(graph):
    mon = serve(graph, rate=50)
    graph.pipeline.start()
    stalled = socket.create_connection(("127.0.0.1", mon.port))
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
    stalled.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    try:
        live = Stream(mon)
        first = live.next_snapshot()["sequence"]
        for _ in range(10):
            last = live.next_snapshot()["sequence"]
        assert last >= first + 10
        live.close()
        closer = threading.Thread(target=mon.close)
        closer.start()
        closer.join(30)
        assert not closer.is_alive()
    finally:
        stalled.close()
        mon.close()


def test_close_releases_everything_and_can_be_repeated(graph):
    mon = serve(graph)
    port = mon.port
    stream = Stream(mon)
    stream.next_snapshot()
    mon.close()
    mon.close()
    assert mon.closed
    with pytest.raises(EOFError):
        while True:
            stream.next_snapshot()
    stream.close()
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
    names = [t.name for t in threading.enumerate()]
    assert not [n for n in names if n.startswith("flowmesh-monitor")]


def test_a_dropped_pipeline_ends_its_monitor():
    g = Graph()
    mon = serve(g)
    g.pipeline.close()
    del g
    gc.collect()
    assert wait_until(lambda: mon.closed)
    assert wait_until(
        lambda: not [t for t in threading.enumerate() if t.name.startswith("flowmesh-monitor")]
    )


@pytest.mark.parametrize(
    "options, error",
    [
        ({"port": -1}, ValueError),
        ({"port": 70000}, ValueError),
        ({"port": True}, ValueError),
        ({"port": "8765"}, ValueError),
        ({"host": 127}, TypeError),
        ({"token": ""}, ValueError),
        ({"token": b"bytes"}, ValueError),
        ({"rate": 0}, ValueError),
        ({"rate": math.nan}, ValueError),
        ({"rate": "fast"}, TypeError),
        ({"max_clients": "3"}, TypeError),
        ({"max_clients": 0}, ValueError),
    ],
)
def test_bad_arguments_are_refused(graph, options, error):
    with pytest.raises(error):
        serve(graph, **options)


@pytest.mark.parametrize("thing", [None, "pipeline", object()])
def test_only_a_pipeline_can_be_served(thing):
    with pytest.raises(TypeError):
        monitor.serve(thing, port=0)


def test_a_port_in_use_is_reported_and_nothing_is_left_running(graph):
    with serve(graph) as mon:
        with pytest.raises(OSError):
            serve(graph, port=mon.port)
    assert not [t for t in threading.enumerate() if t.name.startswith("flowmesh-monitor")]


# --- the log it shows -----------------------------------------------------------------------


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def test_the_logger_keeps_a_bounded_list_of_recent_entries():
    log = Logger("")
    threads = [
        threading.Thread(target=lambda k=k: [log.write(message=f"{k}:{i}") for i in range(200)])
        for k in range(4)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    entries = log.recent_entries()
    assert len(entries) == RECENT_ENTRIES
    for k in range(4):
        mine = [
            int(e["message"].split(":")[1]) for e in entries if e["message"].startswith(f"{k}:")
        ]
        assert mine == sorted(mine)
    log.write(type="ERROR", message=Unprintable())
    assert log.recent_entries()[-1]["message"] == "<unprintable Unprintable>"
    # A view that shows fewer asks for fewer: the newest, oldest first.
    assert log.recent_entries(3) == entries[-2:] + log.recent_entries()[-1:]
    assert log.recent_entries(0) == [] and len(log.recent_entries(10**6)) == RECENT_ENTRIES


class _Big:
    def __init__(self):
        self.payload = bytearray(10**6)


def _raise_holding(big):
    raise ValueError("with a big local")


@pytest.mark.parametrize("kind", ["INFO", "WARNING"])
def test_recent_entries_keep_only_what_the_page_shows(kind):
    import weakref

    from flowmesh.logging import RECENT_MESSAGE_CHARS

    log = Logger("")
    for k in range(30):
        log.write(type=kind, message=f"{k} " + "y" * 1_000_000)
    big = _Big()
    held = weakref.ref(big)
    try:
        _raise_holding(big)
    except ValueError as e:
        log.write(type="INFO", message=e)
    del big
    entries = log.recent_entries()
    assert [len(e["message"]) for e in entries[:-1]] == [RECENT_MESSAGE_CHARS] * 30
    assert entries[0]["message"].startswith("0 yyy") and entries[0]["message"].endswith("…")
    # The exception, with the frames its traceback keeps alive, is not held for the page.
    assert entries[-1]["exception"] is None and held() is None
    # Incidents keep the whole entry: handlers and raise_if_failed need it.
    if kind == "WARNING":
        assert len(log.get_incident(type=kind)["message"]) > 1_000_000
    log.stop()


def test_long_messages_are_cut_for_the_page(running):
    graph, mon = running
    graph.pipeline.log("x" * 50_000)

    def long_ones():
        return [e["message"] for e in mon.snapshot()["log"] if e["message"].startswith("xxx")]

    assert wait_until(long_ones)
    assert [len(m) for m in long_ones()] == [sampling.MESSAGE_CHARS]


def test_the_plot_survives_a_restart_and_a_closed_monitor_taps_nothing(running):
    graph, mon = running
    mon.choose_plot("src", "out")
    assert wait_until(lambda: len(traced(mon)) > 10)
    graph.pipeline.stop()
    graph.pipeline.start()
    last = traced(mon)[-1]
    # The new run's values reach the plot.
    assert wait_until(lambda: traced(mon)[-1] > last + 20)
    assert graph.pipeline.get_condition() == "Healthy"
    mon.close()
    with pytest.raises(LookupError):
        mon.choose_plot("mid", "out")
    assert len(graph.mid._imp._output_ports["out"]._connected_ports) == 1


class Stages(IOChain):
    fail_at = None

    def build_nodes(self, config):
        first, second = Doubler(name="stage0"), Doubler(name="stage1")
        second.fail_at = self.fail_at
        return [first, second]


@pytest.mark.parametrize("fail_at", [None, 8])
def test_a_chain_is_one_element_with_its_members_frames_and_ports(fail_at):
    Stages.fail_at = fail_at
    pipeline = Pipeline(directory="")
    front = OChain(name="front", nodes=[node_entry(Counter, name="c", rate=RATE)])
    stages, sink = Stages(name="stages"), Sink(name="sink")
    pipeline.add_node(sink)
    pipeline.add_node(stages)
    pipeline.connect(front, stages)
    pipeline.connect(stages, sink)
    try:
        with serve(pipeline) as mon:
            mon.choose_plot("stages", "out")
            pipeline.start()
            if fail_at is None:
                assert wait_until(lambda: by_name(mon.snapshot())["stages"]["counter"] > 20)
                assert wait_until(lambda: len(traced(mon)) > 5)
                values = traced(mon)
                assert all(v % 4 == 0 for v in values)  # doubled twice inside the chain
            else:
                assert wait_until(lambda: mon.snapshot()["failure"] is not None)
            snap = mon.snapshot()
    finally:
        pipeline.close()
    elements = by_name(snap)
    assert elements["stages"]["members"] == ["stage0", "stage1"]
    assert elements["front"]["members"] == ["c"]
    assert elements["sink"]["members"] == []
    assert {
        (snap["elements"][a]["name"], snap["elements"][b]["name"])
        for (a, _), (b, _) in ((link["from"], link["to"]) for link in snap["links"])
    } == {("front", "stages"), ("stages", "sink")}
    if fail_at is None:
        assert elements["stages"]["fps"] > 0
        assert elements["stages"]["counter"] <= elements["sink"]["counter"] + 1
    else:
        assert elements["stages"]["condition"] == "Error"
        assert "Node: stage1" in snap["failure"]["banner"].splitlines()


@pytest.mark.parametrize(
    "text, expected",
    [
        ("8765", ("127.0.0.1", 8765)),
        (" 0 ", ("127.0.0.1", 0)),
        ("0.0.0.0:9000", ("0.0.0.0", 9000)),
        ("localhost:80", ("localhost", 80)),
        ("[::1]:8765", ("::1", 8765)),
        ("[::]:1", ("::", 1)),
        ("", ValueError),
        ("host:", ValueError),
        (":8765", ValueError),
        ("::1:8765", ValueError),
        ("8765x", ValueError),
        ("-1", ValueError),
        ("65536", ValueError),
        ("１２３", ValueError),
        (8765, TypeError),
    ],
)
def test_monitor_addresses(text, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            monitor.parse_address(text)
    else:
        assert monitor.parse_address(text) == expected


class Moody(IONode):
    """An element whose name and output misbehave on demand."""

    mood = None

    @property
    def name(self):
        if Moody.mood is not None:
            raise Moody.mood("no name today")
        return "moody"

    def step(self, data):
        return {"out": Sulky(data["in"])}


class Sulky(float):
    def __float__(self):
        if Moody.mood is not None:
            raise Moody.mood("no float today")
        return super().__float__()


@pytest.mark.parametrize(
    "mood, reported", [(RuntimeError, False), (SystemExit, True), (KeyboardInterrupt, True)]
)
def test_client_code_that_raises_never_ends_the_monitor(mood, reported):
    pipeline = Pipeline(directory="")
    src, moody, sink = Counter(name="src", rate=RATE), Moody(), Sink(name="sink")
    pipeline.add_node(sink)
    pipeline.add_node(moody)
    pipeline.connect(src, moody)
    pipeline.connect(moody, sink)
    try:
        with serve(pipeline) as mon:
            mon.choose_plot("moody")
            pipeline.start()
            Moody.mood = mood
            if reported:
                # The page keeps the last good state and learns why it is not moving.
                assert wait_until(lambda: mon.snapshot()["monitor_error"] is not None)
                assert mon.snapshot()["monitor_error"].startswith(mood.__name__)
                assert "moody" in by_name(mon.snapshot())
            else:
                # An ordinary exception only costs the name (the class stands in)
                # and the plot's values (the page says they are not numbers).
                assert wait_until(lambda: "Moody" in by_name(mon.snapshot()))
                assert wait_until(lambda: (mon.snapshot()["plot"]["note"] or "").startswith("not"))
                assert mon.snapshot()["monitor_error"] is None
            Moody.mood = None
            sequence = mon.snapshot()["sequence"]
            assert wait_until(lambda: mon.snapshot()["sequence"] > sequence + 2)
            snap = mon.snapshot()
            assert "moody" in by_name(snap)
            assert snap["plot"]["node"] == "moody" and traced(mon)
            assert mon._sampler._thread.is_alive()
    finally:
        Moody.mood = None
        pipeline.close()


@pytest.mark.parametrize("fps", [50, 1000, 4000, 12_000])
def test_a_fast_port_gives_a_page_a_bounded_number_of_columns(graph, fps):
    feed = feed_of(graph)
    try:
        for k in range(fps):  # one second of scalars
            feed.tap.push(float(k))
        feed.drain()
        record = feed.record("mid", time.monotonic())
    finally:
        feed.remove()
    # Every value the tap kept reached the trace, the others are counted;
    # at most one column per 10 ms holds them.
    kept = min(fps, trace.TAP_KEEP)
    assert feed.trace.samples == kept and record["skipped"] == fps - kept
    _, columns = feed.trace.since(0)
    assert len(columns) <= trace.COLUMNS / trace.DEFAULT_WINDOW + 1
    seen = columns[~np.isnan(columns[:, 0, 0]), 0, :]
    assert seen[0, 0] == fps - kept and seen[-1, 1] == fps - 1


@pytest.mark.parametrize("outsider", ["monitor tap", "probe joined by hand"])
def test_a_document_saved_while_something_outside_listens_reads_back_whole(
    graph, tmp_path, outsider
):
    plain = graph.pipeline.serialize()
    with serve(graph) as mon:
        if outsider == "monitor tap":
            mon.choose_plot("mid", "out")
            mon.choose_plot("events", "out")  # the tap moves: one is joined at a time
            mon.choose_plot("mid", "out")
        else:
            graph.mid.connect("out", Sink(name="probe"), "in")
        assert len(graph.mid._imp._output_ports["out"]._connected_ports) == 2
        assert graph.pipeline.serialize()["connections"] == plain["connections"]
        graph.pipeline.save(tmp_path / "doc.json")
    Portable.reset()
    again = Pipeline.load(tmp_path / "doc.json")
    try:
        assert again.serialize()["connections"] == plain["connections"]
    finally:
        again.close()


def test_open_pages_get_the_final_state_when_the_monitor_closes(graph):
    # Updates every two seconds: only closing can deliver the stopped state in time.
    graph.pipeline.start()
    mon = serve(graph, rate=0.5)
    stream = Stream(mon)
    try:
        assert stream.next_snapshot()["pipeline"]["state"] == "Running"
        graph.pipeline.stop()
        mon.close()
        last = None
        with pytest.raises(EOFError):
            while True:
                last = stream.next_snapshot()
    finally:
        stream.close()
        mon.close()
    assert last is not None and last["pipeline"]["state"] == "Stopped"


# --- the live trace, markers and timing figures ---------------------------------------------


class Wide(SampledSource):
    """64 channels at 1 kHz in frames of 10 samples, with a context like an amplifier's."""

    def setup(self, data, context):
        return {"out": {"rate": 1000, "channels": [f"C{k}" for k in range(64)], "unit": "uV"}}

    def step(self, data):
        return {"out": np.random.default_rng(self.get_counter()).normal(size=(10, 64))}


def test_a_page_gets_a_bounded_trace_rate_at_64_channels_and_1_khz():
    pipeline = Pipeline(directory="")
    sink = Sink(name="sink")
    pipeline.add_node(sink)
    pipeline.connect(Wide(name="amp", rate=100), sink)
    try:
        with serve(pipeline, rate=4) as mon:
            pipeline.start()
            mon.choose_plot("amp", "out")
            assert wait_until(lambda: (mon.snapshot()["plot"] or {}).get("last") is not None)
            # A page as app.js is: the columns come pushed ahead of each
            # snapshot and continue one another; the page asks only at first.
            stream = Stream(mon)
            try:
                plot = stream.next_snapshot()["plot"]
                began, start_bytes = time.monotonic(), stream.received
                status, _, body = request(mon, "GET", f"/api/trace?from={plot['last'] - 1000}")
                assert status == 200
                _, _, channels, count, start, _ = trace.TRACE_HEADER.unpack_from(body)
                have = start + count - 1
                stream.traces.clear()
                while time.monotonic() - began < 3.0:
                    stream.next_snapshot()
                    for pushed in stream.traces:
                        _, _, channels, count, start, _ = trace.TRACE_HEADER.unpack_from(pushed)
                        assert start <= have + 1  # no column missed
                        have = max(have, start + count - 1)
                    stream.traces.clear()
                received = stream.received - start_bytes
            finally:
                stream.close()
            elapsed = time.monotonic() - began
            plot = mon.snapshot()["plot"]
    finally:
        pipeline.close()
    assert channels == 64 and plot["channels"][:2] == ["C0", "C1"] and plot["unit"] == "uV"
    assert have >= plot["last"] - 4  # the pushed columns kept up
    # 64 x 1000 float64 samples a second would be 512 kB/s. One update more
    # than the time holds: the first one read may have been waiting.
    bound = trace.bytes_per_second_bound(updates=4) * (elapsed + 0.25)
    bound += 4 * (elapsed + 0.25) * 8192  # the snapshot itself
    assert received < bound
    assert trace.bytes_per_second_bound() < 75_000


@pytest.mark.parametrize(
    "path, status",
    [
        ("/api/trace?from=x", 400),
        ("/api/trace?from=" + "9" * 30, 400),
        ("/api/trace?from=" + "9" * 5000, 400),
        ("/api/trace?from=0", 204),
        ("/api/epochs", 204),
    ],
)
def test_trace_requests_without_a_trace_get_nothing(running, path, status):
    assert request(running[1], "GET", path)[0] == status


@pytest.mark.parametrize(
    "body",
    [
        {"node": "src", "port": "out", "window": 0.5},
        {"node": "src", "port": "out", "window": "10"},
        {"node": "src", "port": "out", "window": True},
        {"node": "src", "port": "out", "markers": "events.out"},
        {"node": "src", "port": "out", "markers": ["events", 1]},
        {"node": "src", "port": "out", "field": 3},
    ],
)
def test_bad_trace_choices_are_refused(running, body):
    graph, mon = running
    assert post(mon, "/api/plot", body)[0] == 400
    assert len(graph.src._imp._output_ports["out"]._connected_ports) == 1


def test_markers_are_drawn_at_their_times_on_the_trace(running):
    graph, mon = running
    assert (
        post(mon, "/api/plot", {"node": "mid", "port": "out", "markers": ["events", "out"]})[0]
        == 200
    )
    stated = time.monotonic() - 0.5
    graph.events.trigger({"time": stated, "label": "target"})
    graph.events.trigger("plain")

    def items():
        markers = mon.snapshot()["plot"]["markers"]
        return markers["items"] if markers else []

    assert wait_until(lambda: len(items()) == 2)
    snap = mon.snapshot()
    (first, second) = items()
    assert snap["plot"]["markers"]["node"] == "events"
    assert first["label"] == "target" and second["label"] == "plain"
    # Times relative to the snapshot's clock: the stated one, the arrival for the other.
    assert first["t"] == pytest.approx(stated - snap["plot"]["now"], abs=1e-3)
    assert -2.0 < second["t"] <= 0
    # Choosing another port lets both taps go.
    assert post(mon, "/api/plot", {"node": None})[0] == 200
    assert len(graph.events._imp._output_ports["out"]._connected_ports) == 1


class Busy(IONode):
    """Spins `spin` seconds per frame, keeping the time it spent itself."""

    def __init__(self, spin=0.002, **config):
        self.spin, self.spent = spin, 0.0
        super().__init__(**config)

    def step(self, data):
        began = time.perf_counter()
        while time.perf_counter() - began < self.spin:
            pass
        self.spent += time.perf_counter() - began
        return {"out": data["in"]}


def busy_line():
    """A pipeline of a 100 Hz counter feeding a busy node feeding a sink."""
    pipeline = Pipeline(directory="")
    busy, sink = Busy(name="busy"), Sink(name="sink")
    pipeline.add_node(sink)
    pipeline.add_node(busy)
    pipeline.connect(Counter(name="src", rate=100), busy)
    pipeline.connect(busy, sink)
    return pipeline, busy, sink


def test_time_in_handlers_is_kept_only_while_watched():
    pipeline, busy, sink = busy_line()
    try:
        pipeline.start()
        assert wait_until(lambda: sink.get_counter() > 20)
        assert busy.get_busy_time() == 0.0
        with serve(pipeline) as mon:
            assert wait_until(lambda: (by_name(mon.snapshot())["busy"]["busy"] or 0) > 0.1)
            snap = mon.snapshot()
        # Its own 2 ms per frame, not the sink's that it feeds on its thread.
        assert busy.get_busy_time() >= 0.002 * 5
        assert by_name(snap)["busy"]["busy"] < 0.6
        assert by_name(snap)["sink"]["busy"] < 0.05
        # A cycle that began while watched is counted whole: let it end.
        seen = sink.get_counter()
        assert wait_until(lambda: sink.get_counter() >= seen + 2)
        stopped_at = busy.get_busy_time()
        time.sleep(0.2)
        assert busy.get_busy_time() == stopped_at  # nobody watches any more
    finally:
        pipeline.close()


def unchanged(read, seconds):
    before = read()
    time.sleep(seconds)
    return read() == before


@pytest.mark.parametrize("reader", ["page", "snapshot request", "metrics request"])
def test_handlers_are_timed_only_while_someone_looks(monkeypatch, reader):
    pipeline, busy, sink = busy_line()
    stream = None
    try:
        with serve(pipeline) as mon:
            pipeline.start()
            assert wait_until(lambda: sink.get_counter() > 20)
            assert busy.get_busy_time() == 0.0  # open, but nobody looks
            if reader == "page":
                stream = Stream(mon)
            else:
                path = "/api/snapshot" if reader == "snapshot request" else "/metrics"
                assert request(mon, "GET", path)[0] == 200
            assert wait_until(lambda: busy.get_busy_time() > 0.01)
            if stream is not None:
                assert wait_until(
                    lambda: (by_name(stream.next_snapshot())["busy"]["busy"] or 0) > 0.1
                )
                stream.close()
            # A linger shorter than the sampler's pass may take on a loaded
            # machine would end the looking before it began: it ends here.
            monkeypatch.setattr(sampling, "WATCH_LINGER", 0.0)
            # Nobody looks any more: the sampler lets go of the clock, which
            # then stops (after the cycle under way).
            assert wait_until(lambda: not mon._sampler._watching)
            assert wait_until(lambda: unchanged(busy.get_busy_time, 0.1))
            assert by_name(mon._sampler.sample())["busy"]["busy"] is None
    finally:
        pipeline.close()


@pytest.mark.parametrize(
    "decoupled, light_first",
    [(False, False), (True, False), (False, True)],
    ids=["on the source's thread", "own thread", "inside a light node's cycle"],
)
def test_sampled_handler_time_matches_what_the_handlers_spent(decoupled, light_first):
    from flowmesh.monitor import figures

    pipeline = Pipeline(directory="")
    busy = Busy(0.003, name="busy", decoupled=decoupled)
    light, sink = Busy(0.0, name="light"), Sink(name="sink")
    pipeline.add_node(sink)
    # The second runs on the first one's thread, inside its cycle: the time
    # of a cycle run inside another counts for the inner node only.
    first, second = (light, busy) if light_first else (busy, light)
    pipeline.connect(Counter(name="src", rate=100), first)
    pipeline.connect(first, second)
    pipeline.connect(second, sink)
    figures.watch_handlers(True)
    try:
        pipeline.start()
        assert wait_until(lambda: busy.spent > 0.3)
        # Threads that end, and nodes freed, while handlers are timed: a use
        # after free would show under the address sanitizer.
        pipeline.close()
        counted, spent, light_counted = busy.get_busy_time(), busy.spent, light.get_busy_time()
        pipeline = busy = light = sink = None
        gc.collect()
    finally:
        figures.watch_handlers(False)
    # An estimate from the calls timed, over some 100 frames.
    assert counted == pytest.approx(spent, rel=0.25)
    assert light_counted < 0.05 * spent


FORKED_CHILD = """
import os, sys, time
sys.path[:0] = {path!r}
from flowmesh.io_node import IONode
from flowmesh.monitor import figures
from flowmesh.pipeline import Pipeline
from flowmesh.sources import SampledSource, Sink

class Counter(SampledSource):
    def step(self, data):
        return {{"out": self.get_counter()}}

class Spin(IONode):
    def step(self, data):
        end = time.perf_counter() + 0.002
        while time.perf_counter() < end:
            pass
        return {{"out": data["in"]}}

def run():
    pipeline, spin = Pipeline(directory=""), Spin(name="spin")
    pipeline.connect(Counter(name="src", rate=200), spin)
    pipeline.connect(spin, Sink(name="sink"))
    pipeline.start()
    time.sleep(0.3)
    pipeline.close()
    return spin.get_busy_time()

# About 0.12 s spent in each run; a loaded machine may run fewer frames.
assert figures.watch_handlers(True) == 1
assert run() > 0.01
pid = os.fork()
if pid == 0:
    # The sampler stayed behind: the child starts unwatched and can watch.
    ok = figures.watch_handlers(True) == 1 and run() > 0.01 and figures.watch_handlers(False) == 0
    os._exit(0 if ok else 3)
_, status = os.waitpid(pid, 0)
assert os.waitstatus_to_exitcode(status) == 0, status
assert figures.watch_handlers(False) == 0
print("ok")
"""


def test_a_forked_child_samples_handler_time_of_its_own():
    import subprocess

    code = FORKED_CHILD.format(path=sys.path)
    result = subprocess.run(
        [sys.executable, "-W", "ignore::DeprecationWarning", "-c", code],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    assert result.returncode == 0 and result.stdout.splitlines()[-1] == "ok", result.stderr


class Slow(IONode):
    def step(self, data):
        time.sleep(0.05)
        return {"out": data["in"]}


def test_drops_queues_samples_and_latency_per_element_and_link():
    pipeline = Pipeline(directory="")
    slow = Slow(name="slow", decoupled=True, queue_bound=4, overflow="drop_oldest")
    sink = Sink(name="sink")
    pipeline.add_node(sink)
    pipeline.add_node(slow)
    pipeline.connect(Wide(name="amp", rate=100), slow)
    pipeline.connect(slow, sink)
    try:
        with serve(pipeline) as mon:
            pipeline.start()
            assert wait_until(lambda: (by_name(mon.snapshot())["slow"]["inputs"][0]["dropped"]) > 5)
            assert wait_until(lambda: by_name(mon.snapshot())["amp"]["samples_per_second"])
            snap = mon.snapshot()
            dropped = slow.get_dropped()["in"]
    finally:
        pipeline.close()
    amp, slowed = by_name(snap)["amp"], by_name(snap)["slow"]
    assert amp["samples_per_second"] == pytest.approx(amp["fps"] * 10)
    assert slowed["queue_bound"] == 4 and 0 <= slowed["inputs"][0]["queued"] <= 4
    assert 5 < slowed["inputs"][0]["dropped"] <= dropped
    link = next(k for k in snap["links"] if snap["elements"][k["to"][0]]["name"] == "slow")
    assert link["dropped"] == slowed["inputs"][0]["dropped"]
    # The amplifier's frames leave as they are made; no t0 in its context, no latency.
    assert amp["latency"] is None


def test_latency_from_a_source_that_stamps_its_frames():
    from flowmesh.synthetic import SimulatedEEG

    pipeline = Pipeline(directory="")
    slow, sink = Slow(name="slow", decoupled=True), Sink(name="sink")
    pipeline.add_node(sink)
    pipeline.add_node(slow)
    pipeline.connect(SimulatedEEG(name="eeg", sample_rate=250, frame_size=5), slow)
    pipeline.connect(slow, sink)
    try:
        with serve(pipeline) as mon:
            pipeline.start()
            assert wait_until(lambda: by_name(mon.snapshot())["slow"]["latency"] is not None)
            time.sleep(1.0)
            late = by_name(mon.snapshot())["slow"]["latency"]
            on_time = by_name(mon.snapshot())["eeg"]["latency"]
    finally:
        pipeline.close()
    # 50 ms a frame against 20 ms between frames: the slow node falls behind
    # and stays behind; the source keeps its own pace.
    assert late > 0.3
    assert on_time is not None and on_time < 0.1


def test_metrics_parse_and_match_the_elements_counts(graph):
    from prometheus_client.parser import text_string_to_metric_families

    graph.events.trigger("one")
    with serve(graph) as mon:
        graph.pipeline.start()
        assert wait_until(lambda: graph.sink.get_counter() > 10)
        graph.pipeline.stop()
        mon._sampler.sample()
        status, headers, body = request(mon, "GET", "/metrics")
    assert status == 200 and headers["Content-Type"].startswith("text/plain; version=0.0.4")
    families = {f.name: f for f in text_string_to_metric_families(body.decode())}
    frames = {s.labels["element"]: s.value for s in families["flowmesh_element_frames"].samples}
    for element in (graph.src, graph.mid, graph.sink):
        assert frames[element.name] == element.get_counter()
    assert families["flowmesh_element_frames"].type == "counter"
    dropped = {
        (s.labels["element"], s.labels["port"]): s.value
        for s in families["flowmesh_input_dropped"].samples
    }
    assert dropped[("sink", "in")] == graph.sink.get_dropped()["in"]
    assert families["flowmesh_pipeline_running"].samples[0].value == 0


def test_metric_labels_survive_any_name():
    from prometheus_client.parser import text_string_to_metric_families

    from flowmesh.monitor.metrics import exposition

    names = ['a"b', "back\\slash", "new\nline", "a", "a"]
    snap = {
        "pipeline": {"state": "Running", "condition": "Healthy", "elapsed": None},
        "elements": [
            {"name": n, "condition": "Healthy", "counter": 1, "fps": math.nan, "inputs": []}
            for n in names
        ],
    }
    families = {f.name: f for f in text_string_to_metric_families(exposition(snap))}
    labels = [s.labels["element"] for s in families["flowmesh_element_frames"].samples]
    assert labels == ['a"b', "back\\slash", "new\nline", "a", "a#2"]


def test_metrics_need_the_token(graph):
    with serve(graph, token="secret") as mon:
        assert request(mon, "GET", "/metrics")[0] == 401
        assert request(mon, "GET", "/metrics", {"Authorization": "Bearer secret"})[0] == 200


def test_a_page_never_mixes_the_columns_of_two_traces(graph):
    """Each trace, and each restart of one, has a number of its own."""
    first, second = feed_of(graph), feed_of(graph, node=graph.src)
    try:
        for feed in (first, second):
            preload(feed, [(1.0, np.ones((5, 2)))])
            feed.drain()
        numbers = {first.trace.generation, second.trace.generation}
        preload(first, [(1.1, np.ones((5, 3)))])  # another channel count restarts it
        first.drain()
        numbers.add(first.trace.generation)
    finally:
        first.remove()
        second.remove()
    assert len(numbers) == 3


@pytest.mark.parametrize("first", ["9" * 30, "-" + "9" * 30, "0", "-5"])
def test_a_trace_request_from_any_column_is_answered(running, first):
    graph, mon = running
    mon.choose_plot("src", "out")
    assert wait_until(lambda: (mon.snapshot()["plot"] or {}).get("last") is not None)
    status, _, body = request(mon, "GET", f"/api/trace?from={first}")
    if len(first) > 20:
        assert status == 400
    else:
        assert status == 200 and trace.TRACE_HEADER.unpack_from(body)[0] == trace.TRACE_MAGIC


def test_a_monitor_that_cannot_start_leaves_the_handlers_untimed(graph, monkeypatch):
    from flowmesh.monitor import figures

    def broken(self, pipeline):
        raise RuntimeError("no snapshot")

    monkeypatch.setattr(sampling.Sampler, "_snapshot", broken)
    with pytest.raises(RuntimeError):
        serve(graph)
    assert figures.watch_handlers(True) == 1
    assert figures.watch_handlers(False) == 0


# --- connections ----------------------------------------------------------------------------


def test_a_page_reuses_one_connection_for_its_requests(running):
    graph, mon = running
    mon.choose_plot("src", "out")
    connection = http.client.HTTPConnection("127.0.0.1", mon.port, timeout=30)
    try:
        statuses, sockets = [], set()
        for path in ["/api/snapshot", "/api/trace?from=0", "/nowhere", "/api/trace?from=x"] * 2:
            connection.request("GET", path)
            response = connection.getresponse()
            body = response.read()
            statuses.append(response.status)
            sockets.add(connection.sock.getsockname())
            if path == "/api/snapshot":
                assert json.loads(body)["sequence"] > 0
    finally:
        connection.close()
    assert statuses[2:4] == [404, 400] and statuses[:4] == statuses[4:]
    assert len(sockets) == 1


def read_all(sock):
    chunks = []
    while chunk := sock.recv(65536):
        chunks.append(chunk)
    return b"".join(chunks)


@pytest.mark.parametrize(
    "content_type, body",
    [
        ("text/plain", b"GET /api/snapshot HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"),
        ("application/json", b'{"node": null}GET /api/snapshot HTTP/1.1\r\n\r\n'),
    ],
)
def test_a_post_body_is_never_read_as_a_second_request(running, content_type, body):
    _, mon = running
    with socket.create_connection(("127.0.0.1", mon.port), timeout=30) as sock:
        head = (
            f"POST /api/plot HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {content_type}\r\n"
            f"Content-Length: {len(body) if content_type == 'text/plain' else 14}\r\n\r\n"
        )
        sock.sendall(head.encode() + body)
        answer = read_all(sock)
    assert answer.count(b"HTTP/1.1 ") == 1 and b"Connection: close" in answer


def test_closing_ends_connections_kept_open_between_requests(graph):
    mon = serve(graph)
    connection = http.client.HTTPConnection("127.0.0.1", mon.port, timeout=30)
    try:
        connection.request("GET", "/api/snapshot")
        connection.getresponse().read()
        mon.close()
        # The server's side is gone at once, not after the idle timeout.
        connection.sock.settimeout(5)
        assert connection.sock.recv(1) == b""
    finally:
        connection.close()


def test_a_request_without_a_version_gets_the_body_alone(running):
    _, mon = running
    with socket.create_connection(("127.0.0.1", mon.port), timeout=30) as sock:
        # The blank line ends the headers that Python 3.13.0 still reads
        # after a request line without a version (later versions read none).
        sock.sendall(b"GET /api/snapshot\r\n\r\n")
        answer = read_all(sock)
    # Without headers there is no Host to check either.
    assert answer == b"Forbidden host\n"
