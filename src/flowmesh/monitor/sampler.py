"""What the monitor shows, read from a pipeline on a thread of its own.

The `Sampler` reads the elements' state, condition, cycle counter and backlog
a few times a second, turns them into one JSON snapshot and hands it to every
subscribed client through a one-slot mailbox. Nothing here runs on a pipeline
thread, except the `Tap`'s `step` for the one output port being plotted.
"""

import collections
import json
import math
import numbers
import sys
import threading
import time
import weakref

from ..constants import Constants
from ..i_node import INode
from ..logging import RECENT_MESSAGE_CHARS

States, Conditions, Timing = Constants.States, Constants.Conditions, Constants.Timing

# Frames-per-second window: long enough to smooth a slow source, short enough to follow a stall.
FPS_WINDOW = 1.0
LOG_ENTRIES = 40
# Messages are cut where the logger cuts what it keeps for live views.
MESSAGE_CHARS = RECENT_MESSAGE_CHARS
# Plot sizes: points of a scalar series, points per curve of an array, curves of a 2-D array.
SERIES_POINTS = 600
SERIES_POINTS_PER_SECOND = 100
FRAME_POINTS = 400
FRAME_CURVES = 8


def _finite(x):
    return x if isinstance(x, float) and math.isfinite(x) else (x if isinstance(x, int) else None)


def _text(obj, limit=MESSAGE_CHARS):
    try:
        text = obj if isinstance(obj, str) else str(obj)
    except Exception:
        text = f"<unprintable {type(obj).__name__}>"
    return text if len(text) <= limit else text[: limit - 1] + "…"


def _short_repr(obj, limit=120):
    try:
        text = repr(obj)
    except Exception:
        text = f"<{type(obj).__name__}>"
    return text if len(text) <= limit else text[: limit - 1] + "…"


def element_name(element):
    try:
        name = element.name
    except Exception:
        name = None
    return name if isinstance(name, str) and name else type(element).__name__


def _label(record):
    """An element record's name, or its class when it has none."""
    return record["name"] or record["class"]


def _port_record(port):
    return {"name": port["name"], "type": port["type"], "timing": port["timing"]}


# --- the plotted port -----------------------------------------------------------------------


class Tap(INode):
    """Joined to the output port being plotted; keeps every `every`-th value.

    It runs on the producer's thread, so it does the least it can: a count and
    an append to a bounded deque the sampler drains.
    """

    def __init__(self, keep=SERIES_POINTS):
        self.values = collections.deque(maxlen=keep)
        self.every = 1
        self._skipped = 0
        super().__init__(
            name="monitor tap", input_ports=[{"name": "in", "timing": Timing.INHERITED}]
        )

    def setup(self, data, context):
        return {}

    def step(self, data):
        self._skipped += 1
        if self._skipped >= self.every:
            self._skipped = 0
            self.values.append(data.get("in"))
        return None


def _as_matrix(value):
    """`value` as (kind, rows): ("scalar", x), ("frame", [[...], ...]) with one
    list per curve, or None when it is not numeric."""
    if isinstance(value, bool):
        return "scalar", float(value)
    if isinstance(value, numbers.Real):
        return "scalar", float(value)
    np = sys.modules.get("numpy")
    if np is not None and isinstance(value, np.ndarray):
        if value.dtype.kind not in "biuf" or value.ndim not in (1, 2) or value.size == 0:
            if value.ndim == 0 and value.dtype.kind in "biuf":
                return "scalar", float(value)
            return None
        if value.ndim == 1:
            stride = max(1, -(-value.shape[0] // FRAME_POINTS))
            return "frame", [value[::stride].astype(float).tolist()]
        # The longer axis is time: curves run along it.
        matrix = value if value.shape[0] >= value.shape[1] else value.T
        stride = max(1, -(-matrix.shape[0] // FRAME_POINTS))
        return "frame", matrix[::stride, :FRAME_CURVES].T.astype(float).tolist()
    if isinstance(value, (list, tuple)) and value:
        if all(isinstance(x, numbers.Real) for x in value):
            stride = max(1, -(-len(value) // FRAME_POINTS))
            return "frame", [[float(x) for x in value[::stride]]]
    return None


def _clean(points):
    return [x if math.isfinite(x) else None for x in points]


class PlotFeed:
    """The chosen output port, its tap and what has been drawn from it."""

    def __init__(self, index, element, port):
        self.index = index
        self.element = element
        self.port = port
        self.series = collections.deque(maxlen=SERIES_POINTS)
        self.frame = None
        self.note = None
        self.tap = Tap()
        # Joined port to port, both sides, as a node joins them: this works for
        # every element that lists its output ports, chains included.
        self._source = element.get_output_port(port)
        self._sink = self.tap.get_input_port("in")
        self.tap.start()
        self._source.connect(self._sink)
        try:
            self._sink.connect(self._source)
        except BaseException:
            self._source.disconnect(self._sink)
            self.tap.stop()
            raise

    def remove(self):
        try:
            self._source.disconnect(self._sink)
            self._sink.disconnect(self._source)
        finally:
            self.tap.stop()

    def drain(self, fps):
        tap = self.tap
        tap.every = max(1, int(fps / SERIES_POINTS_PER_SECOND)) if fps else 1
        values = tap.values
        while values:
            try:
                value = values.popleft()
            except IndexError:
                break
            try:
                converted = _as_matrix(value)
            except Exception:
                converted = None
            if converted is None:
                self.note = f"not numeric: {_short_repr(value)}"
                continue
            kind, data = converted
            self.note = None
            if kind == "scalar":
                self.frame = None
                self.series.append(data)
            else:
                self.series.clear()
                self.frame = data

    def record(self, name):
        record = {"element": self.index, "node": name, "port": self.port, "note": self.note}
        if self.frame is not None:
            record.update(kind="frame", curves=[_clean(c) for c in self.frame])
        else:
            record.update(kind="series", curves=[_clean(self.series)])
        return record


# --- clients --------------------------------------------------------------------------------


class Mailbox:
    """One client's buffer: the latest payload only. A client that cannot keep
    up skips snapshots instead of queueing them; nobody ever waits for it."""

    __slots__ = ("_payload", "_wake", "closed", "connection")

    def __init__(self, connection=None):
        self._payload = None
        self._wake = threading.Event()
        self.closed = False
        self.connection = connection

    def offer(self, payload):
        self._payload = payload
        self._wake.set()

    def take(self, timeout):
        """The newest payload not yet taken, or None after `timeout` seconds."""
        self._wake.wait(timeout)
        self._wake.clear()
        payload, self._payload = self._payload, None
        return payload

    def close(self):
        self.closed = True
        self._wake.set()


class Broadcast:
    """The set of subscribed clients, at most `limit` of them."""

    def __init__(self, limit):
        self.limit = limit
        self._lock = threading.Lock()
        self._clients = set()
        self._closed = False

    def join(self, connection=None):
        """A new mailbox, or None when full or closed."""
        with self._lock:
            if self._closed or len(self._clients) >= self.limit:
                return None
            mailbox = Mailbox(connection)
            self._clients.add(mailbox)
            return mailbox

    def leave(self, mailbox):
        with self._lock:
            self._clients.discard(mailbox)

    def __len__(self):
        with self._lock:
            return len(self._clients)

    def publish(self, payload):
        with self._lock:
            clients = list(self._clients)
        for mailbox in clients:
            mailbox.offer(payload)

    def close(self):
        with self._lock:
            self._closed = True
            clients = list(self._clients)
        for mailbox in clients:
            mailbox.close()
        return clients


# --- the sampler ----------------------------------------------------------------------------


class Sampler:
    """Reads `pipeline` every `period` seconds on a thread of its own.

    Holds the pipeline weakly: a pipeline that is dropped ends the sampling and
    calls `on_gone`.
    """

    def __init__(self, pipeline, period, broadcast, control=False, on_gone=None):
        self._pipeline = weakref.ref(pipeline)
        self.period = period
        self.broadcast = broadcast
        self.control = control
        self._on_gone = on_gone
        self._history = {}  # element index -> deque of (time, counter)
        self._lock = threading.Lock()  # plot choice against the sampling pass
        self._plot = None
        self._sequence = 0
        self._elapsed = None  # of the current or last run
        self._stop = threading.Event()
        self._stopped = False
        self.latest = None  # (snapshot, its JSON, its event), as bytes
        self.error = None  # the last exception a pass raised, for the page
        self._thread = threading.Thread(
            target=self._run, name="flowmesh-monitor-sampler", daemon=True
        )

    def pipeline(self):
        return self._pipeline()

    def start(self):
        self.sample()
        self._thread.start()

    def stop(self):
        self._stop.set()
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join()
        with self._lock:
            self._stopped = True
            self._set_plot(None)

    def _run(self):
        while not self._stop.wait(self.period):
            if self._pipeline() is None:
                if self._on_gone is not None:
                    self._on_gone()
                return
            try:
                self.sample()
            except BaseException as e:
                # Client code reached from here (an element's name, a value's
                # repr) may raise anything; a pass that fails must not end the
                # monitor unseen: the page shows why, and the next pass may work.
                self._report(f"{type(e).__name__}: {_text(e)}")

    # Plot choice.
    def choose_plot(self, node, port):
        """Plot output `port` of the element named `node` (None: stop plotting).

        Raises LookupError when there is no such output port.
        """
        pipeline = self._pipeline()
        if pipeline is None:
            raise LookupError("the pipeline is gone")
        with self._lock:
            if self._stopped:
                raise LookupError("the monitor is closed")
            if node is None:
                self._set_plot(None)
                return
            records = pipeline.describe()["elements"]
            elements = pipeline.get_elements()
            for index, (record, element) in enumerate(zip(records, elements)):
                if _label(record) != node:
                    continue
                if port not in [p["name"] for p in record["outputs"]]:
                    continue
                current = self._plot
                if current is not None and current.element is element and current.port == port:
                    return
                self._set_plot(PlotFeed(index, element, port))
                return
        raise LookupError(f"no output port '{port}' on an element named '{node}'")

    def _set_plot(self, feed):
        old, self._plot = self._plot, feed
        if old is not None:
            old.remove()

    # Sampling.
    def sample(self):
        """Take a snapshot now, publish it and return it."""
        pipeline = self._pipeline()
        if pipeline is None:
            return None
        # One pass at a time, so that pages get snapshots in order.
        with self._lock:
            snapshot = self._snapshot(pipeline)
            self._publish(snapshot)
        return snapshot

    def _publish(self, snapshot):
        encoded = json.dumps(snapshot, separators=(",", ":"), allow_nan=False)
        event = f"id: {snapshot['sequence']}\nevent: snapshot\ndata: {encoded}\n\n".encode()
        # The event object itself is handed to every mailbox, so a stream can
        # tell by identity that it already sent it.
        self.latest = (snapshot, encoded.encode(), event)
        self.broadcast.publish(event)

    def _report(self, error):
        """Republish the last good snapshot with `error`, so pages learn of it."""
        self.error = error
        with self._lock:
            latest = self.latest
            if latest is not None:
                self._sequence += 1
                self._publish({**latest[0], "sequence": self._sequence, "monitor_error": error})

    def _fps(self, key, counter, now):
        history = self._history.setdefault(key, collections.deque())
        if history and counter < history[-1][1]:
            history.clear()  # a new run starts counting again
        history.append((now, counter))
        while len(history) > 2 and now - history[1][0] >= FPS_WINDOW:
            history.popleft()
        (t0, c0), (t1, c1) = history[0], history[-1]
        return (c1 - c0) / (t1 - t0) if t1 > t0 else 0.0

    def _snapshot(self, pipeline):
        now = time.monotonic()
        graph = pipeline.describe()
        elements = pipeline.get_elements()
        owners = {}  # port id -> [element index, port name]
        records = []
        for index, element in enumerate(graph["elements"]):
            inputs, outputs = element["inputs"], element["outputs"]
            for port in inputs + outputs:
                owners[port["id"]] = [index, port["name"]]
            members = element.get("nodes", [])
            counter = element["counter"]
            if members:
                # A chain cycles through its nodes: its frames are those of the
                # node at its output end (or, without outputs, at its input end).
                counter = (members[-1] if outputs else members[0])["counter"]
            state = element["state"]
            fps = self._fps(index, counter, now) if state == States.RUNNING else 0.0
            records.append(
                {
                    "name": _label(element),
                    "class": element["class"],
                    "state": state,
                    "condition": element["condition"],
                    "counter": counter,
                    "fps": round(fps, 2),
                    "backlog": element["backlog"],
                    "members": [_label(m) for m in members],
                    "inputs": [_port_record(p) for p in inputs],
                    "outputs": [_port_record(p) for p in outputs],
                }
            )
        for key in [k for k in self._history if k >= len(records)]:
            del self._history[key]

        links = [
            {"from": owners[c["output"]], "to": owners[c["input"]], "timing": c["timing"]}
            for c in graph["connections"]
        ]

        state, condition = graph["state"], graph["condition"]
        if state == States.RUNNING:
            self._elapsed = _finite(float(pipeline.get_elapsed_time()))
        failure = None
        if condition == Conditions.ERROR:
            entry = pipeline.get_last_error()
            if entry is not None:
                source = entry.get("source") or {}
                failure = {
                    # Lines are cut only where a page could not show them anyway.
                    "banner": "\n".join(_text(line) for line in pipeline.failure_banner(entry)),
                    "node": source.get("instance"),
                }

        plot = None
        feed = self._plot
        if feed is not None:
            # Found again by identity: the graph may have grown since it was chosen.
            feed.index = next((i for i, e in enumerate(elements) if e is feed.element), -1)
            fps = records[feed.index]["fps"] if feed.index >= 0 else 0.0
            feed.drain(fps)
            plot = feed.record(element_name(feed.element))

        self._sequence += 1
        return {
            "sequence": self._sequence,
            "time": time.time(),
            "pipeline": {
                "state": state,
                "condition": condition,
                "elapsed": self._elapsed,
                "backlog": pipeline.get_backlog(),
            },
            "elements": records,
            "links": links,
            "failure": failure,
            "log": self._log(pipeline),
            "plot": plot,
            "control": self.control,
            "monitor_error": self.error,
        }

    @staticmethod
    def _log(pipeline):
        recent = getattr(pipeline.logger, "recent_entries", None)
        if recent is None:
            return []
        entries = []
        for entry in recent()[-LOG_ENTRIES:]:
            source = entry.get("source") or {}
            entries.append(
                {
                    "time": _finite(entry.get("time")),
                    "type": str(entry.get("type")),
                    "message": _text(entry.get("message")),
                    "instance": source.get("instance"),
                    "summary": source.get("summary"),
                }
            )
        return entries
