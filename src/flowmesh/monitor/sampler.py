"""What the monitor shows, read from a pipeline on a thread of its own.

The `Sampler` reads the graph (`Pipeline.describe()`), the elements' counters
and input queues a few times a second, turns them into one JSON snapshot and
hands it to every subscribed page, with the plotted trace's new columns, through
streams that the implementation layer writes. Nothing here
runs on a pipeline thread, except the taps' `step` on the ports being plotted
or, for one frame per run, probed for the samples in a frame.
"""

import base64
import json
import math
import threading
import time
import weakref

from .. import imp
from ..configuration import check_number
from ..constants import Constants
from ..logging import RECENT_MESSAGE_CHARS, Logger
from . import figures
from .figures import element_name
from .metrics import exposition
from .trace import COLUMNS, DEFAULT_WINDOW, MAX_WINDOW, Feed, Joint, Markers

States, Conditions, Timing = Constants.States, Constants.Conditions, Constants.Timing
ASYNC = str(Timing.ASYNC)

LOG_ENTRIES = 40
# A page's stream carries a comment after this long without an update, and is
# ended when it takes nothing for STALL_SECONDS.
KEEPALIVE_SECONDS = 15.0
STALL_SECONDS = 10.0
# The handlers are timed while a page is open and this long after the last
# read of the figures by other means (the snapshot API, /metrics).
WATCH_LINGER = 60.0
# Messages are cut where the logger cuts what it keeps for live views.
MESSAGE_CHARS = RECENT_MESSAGE_CHARS


def _finite(x):
    return x if isinstance(x, float) and math.isfinite(x) else (x if isinstance(x, int) else None)


def _text(obj, limit=MESSAGE_CHARS):
    try:
        text = obj if isinstance(obj, str) else str(obj)
    except Exception:
        text = f"<unprintable {type(obj).__name__}>"
    return text if len(text) <= limit else text[: limit - 1] + "…"


def _label(record):
    """An element record's name, or its class when it has none."""
    return record["name"] or record["class"]


def _port_record(port):
    return {"name": port["name"], "type": port["type"], "timing": port["timing"]}


# --- the plotted port -----------------------------------------------------------------------


class PlotFeed(Feed):
    """The chosen output port, joined to a tap, and optionally a marker port."""

    def __init__(self, index, element, port, window=DEFAULT_WINDOW):
        super().__init__(index, element, port, element.get_output_port(port), window)
        self._joints = [Joint(element, port, self.tap)]

    def add_markers(self, element, name, port):
        markers = Markers(name, port)
        self._joints.append(Joint(element, port, markers.tap))
        self.markers = markers

    def remove(self):
        joints, self._joints = self._joints, []
        try:
            for joint in joints[1:]:
                joint.remove()
        finally:
            if joints:
                joints[0].remove()


# --- clients --------------------------------------------------------------------------------


class Broadcast:
    """The pages subscribed to the update stream, at most `limit` of them.

    The streams are written by a thread of the implementation layer that runs
    no Python, so an open page costs the pipeline no GIL: a page that cannot
    keep up skips updates instead of queueing them, and nobody ever waits
    for it.
    """

    def __init__(self, limit, keepalive=KEEPALIVE_SECONDS, timeout=STALL_SECONDS):
        self.limit = limit
        self._streams = imp.StreamsImp(keepalive=keepalive, timeout=timeout)
        self._lock = threading.Lock()  # the count and the add, as one step

    def join(self, connection, prefix=b""):
        """A new client on socket `connection`, sent `prefix` and then the
        latest update; its id, or None when full or closed."""
        with self._lock:
            if self.full:
                return None
            return self._streams.add(connection, prefix)  # None once closed

    def is_open(self, client):
        return self._streams.is_open(client)

    def leave(self, client):
        self._streams.remove(client)

    def __len__(self):
        return len(self._streams)

    @property
    def full(self):
        return len(self._streams) >= self.limit

    def publish(self, payload):
        self._streams.publish(payload)

    @property
    def backlogged(self):
        """Whether some page has not yet taken the latest update whole."""
        return self._streams.backlogged

    def close(self):
        """Takes no more pages; the latest update still goes to the open ones."""
        self._streams.close()

    def cut(self):
        """Ends every page's stream."""
        self._streams.cut()


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
        self._rates = figures.Rates()
        self._probes = figures.Probes()
        self._watching = False  # counted as a watcher of the handlers' time
        self._read_at = None  # when the figures were last read other than by a page
        self._lock = threading.Lock()  # plot choice against the sampling pass
        self._plot = None
        self._pushed = None  # (trace generation, last column) pushed with the last update
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
        try:
            self.sample()
            self._thread.start()
        except BaseException:
            self._unwatch()
            raise

    def _unwatch(self):
        if self._watching:
            self._watching = False
            figures.watch_handlers(False)

    def read(self):
        """Note that someone read the figures: the handlers' time is kept a while."""
        self._read_at = time.monotonic()

    def _watch(self, now):
        """Time the handlers only while someone looks: a call picked now and
        then on each thread then reads the clock on entry and exit."""
        read_at = self._read_at
        wanted = len(self.broadcast) > 0 or (read_at is not None and now - read_at < WATCH_LINGER)
        if wanted and not self._watching and not self._stopped:
            figures.watch_handlers(True)
            self._watching = True
        elif not wanted:
            self._unwatch()

    def stop(self):
        self._stop.set()
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join()
        with self._lock:
            self._stopped = True
            self._set_plot(None)
            self._probes.close()
            self._unwatch()

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
    @staticmethod
    def _find(pipeline, node, port):
        records = pipeline.describe()["elements"]
        elements = pipeline.get_elements()
        for index, (record, element) in enumerate(zip(records, elements)):
            if _label(record) == node and port in [p["name"] for p in record["outputs"]]:
                return index, element
        raise LookupError(f"no output port '{port}' on an element named '{node}'")

    def choose_plot(self, node, port, markers=None, field=None, window=None):
        """Plot output `port` of the element named `node` (None: stop plotting),
        with the events of `markers` ((node, port) or None) drawn on it,
        `field` of dict values, over the last `window` seconds.

        Raises LookupError when there is no such output port, TypeError or
        ValueError for a bad `window` or `field`.
        """
        pipeline = self._pipeline()
        if pipeline is None:
            raise LookupError("the pipeline is gone")
        window = DEFAULT_WINDOW if window is None else window
        check_number("window", window, 1.0, maximum=MAX_WINDOW)
        if field is not None and not isinstance(field, str):
            raise TypeError(f"field must be a str or None, got {type(field).__name__}.")
        with self._lock:
            if self._stopped:
                raise LookupError("the monitor is closed")
            if node is None:
                self._set_plot(None)
                return
            index, element = self._find(pipeline, node, port)
            marked = None if markers is None else self._find(pipeline, *markers)
            current = self._plot
            wanted = None if markers is None else tuple(markers)
            if (
                current is not None
                and current.element is element
                and current.port == port
                and current.window == window
                and (current.markers and (current.markers.node, current.markers.port)) == wanted
            ):
                if field is not None:
                    current.field = field
                return
            feed = PlotFeed(index, element, port, float(window))
            feed.field = field
            try:
                if marked is not None:
                    feed.add_markers(marked[1], *markers)
            except BaseException:
                feed.remove()
                raise
            self._set_plot(feed)

    def trace_bytes(self, first):
        """The binary trace of the plotted port from column `first` on, or None."""
        with self._lock:
            feed = self._plot
            if feed is None or feed.kind != "trace":
                return None
            return feed.trace.encode(first)

    def epochs(self):
        with self._lock:
            feed = self._plot
            return None if feed is None else feed.epochs_record()

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
            self._watch(time.monotonic())
            snapshot = self._snapshot(pipeline)
            self._publish(snapshot, self._trace_update())
        return snapshot

    def _trace_update(self):
        """The plotted trace's columns since the last update (the open one
        again), as an event ahead of the snapshot: pages then never ask for
        them, and every request they would make takes the GIL from the
        pipeline a few times. A page that missed an update asks once."""
        feed = self._plot
        trace = None if feed is None or feed.kind != "trace" else feed.trace
        if trace is None or trace.last is None:
            self._pushed = None
            return b""
        pushed = self._pushed
        if pushed is not None and pushed[0] == trace.generation:
            first = pushed[1]
        else:
            first = trace.last - COLUMNS + 1
        body = trace.encode(first)
        self._pushed = (trace.generation, trace.last)
        return b"event: trace\ndata: " + base64.b64encode(body) + b"\n\n"

    def _publish(self, snapshot, trace=b""):
        encoded = json.dumps(snapshot, separators=(",", ":"), allow_nan=False)
        event = f"id: {snapshot['sequence']}\nevent: snapshot\ndata: {encoded}\n\n".encode()
        self.latest = (snapshot, encoded.encode(), event)
        self.broadcast.publish(trace + event)

    def _report(self, error):
        """Republish the last good snapshot with `error`, so pages learn of it."""
        self.error = error
        with self._lock:
            latest = self.latest
            if latest is not None:
                self._sequence += 1
                self._publish({**latest[0], "sequence": self._sequence, "monitor_error": error})

    def _snapshot(self, pipeline):
        now = time.monotonic()
        graph = pipeline.describe()
        elements = pipeline.get_elements()
        owners = {}  # port id -> [element index, port name]
        records = []
        candidates, contexts, counters, ports = [], {}, {}, {}
        for index, (element, obj) in enumerate(zip(graph["elements"], elements)):
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
            running = state == States.RUNNING
            fps = self._rates.rate((index, "frames"), counter, now) if running else 0.0
            parts = figures.parts(obj)
            busy = figures.busy_time(parts)
            share = self._rates.rate((index, "busy"), busy, now) if busy is not None else None
            # A chain's input queues are those of its first node.
            dropped, queued, bound = figures.input_counts(parts[0]) if inputs else ({}, {}, None)
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
                    "inputs": [
                        {
                            **_port_record(p),
                            "dropped": dropped.get(p["name"]),
                            "queued": queued.get(p["name"]),
                        }
                        for p in inputs
                    ],
                    "outputs": [_port_record(p) for p in outputs],
                    "queue_bound": bound,
                    "busy_seconds": busy,
                    "busy": round(share, 4)
                    if share is not None and running and self._watching
                    else None,
                    "samples_per_second": None,
                    "latency": None,
                }
            )
            streams = [p for p in outputs if running and counter > 0 and p["timing"] != ASYNC]
            if self._rates.restarted((index, "frames")):
                for p in outputs:
                    self._probes.forget(p["id"])  # a new run may frame its streams otherwise
            candidates.extend((obj, p["name"], p["id"]) for p in streams)
            contexts[index] = figures.output_contexts(obj)
            counters[index] = counter
            ports[index] = outputs
        self._rates.keep(len(records))
        self._probes.update(candidates)
        for index, record in enumerate(records):
            known = [k for k in (self._probes.per_frame.get(p["id"]) for p in ports[index]) if k]
            if known and record["fps"]:
                record["samples_per_second"] = round(record["fps"] * max(known), 2)

        links = []
        for c in graph["connections"]:
            source, target = owners[c["output"]], owners[c["input"]]
            into = next(i for i in records[target[0]]["inputs"] if i["name"] == target[1])
            links.append(
                {
                    "from": source,
                    "to": target,
                    "timing": c["timing"],
                    "dropped": into["dropped"],
                    "queued": into["queued"],
                }
            )
            if c["timing"] != ASYNC:
                context = contexts[source[0]].get(source[1])
                self._fed(records[target[0]], c["output"])
                self._latency(records[target[0]], context, c["output"], counters[target[0]], now)
        for index, record in enumerate(records):
            if not record["inputs"]:
                # A source: how late its own frames leave.
                for p in ports[index]:
                    context = contexts[index].get(p["name"])
                    self._latency(record, context, p["id"], counters[index], now)
            latency = self._probes.smoothed(index, record["latency"])
            record["latency"] = None if latency is None else round(latency, 4)

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
            feed.drain()
            plot = feed.record(element_name(feed.element), now)

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

    def _fed(self, record, port_id):
        """Samples/s of an element without streams of its own, from the one feeding it."""
        per_frame = self._probes.per_frame.get(port_id)
        if record["samples_per_second"] is None and per_frame and record["fps"]:
            if all(i["timing"] != ASYNC for i in record["inputs"]):
                record["samples_per_second"] = round(record["fps"] * per_frame, 2)

    def _latency(self, record, context, port_id, counter, now):
        """Sets the latency of an element fed by port `port_id`, unless set.
        Only an element that cycles once per frame of its stream has one:
        events would count as frames."""
        if record["latency"] is not None or record["state"] != States.RUNNING:
            return
        if any(i["timing"] == ASYNC for i in record["inputs"]):
            return
        record["latency"] = figures.latency(
            context, counter, self._probes.per_frame.get(port_id), now
        )

    def metrics(self):
        """The latest snapshot in the text format monitoring systems scrape."""
        self.read()
        latest = self.latest
        return exposition(None if latest is None else latest[0])

    @staticmethod
    def _log(pipeline):
        logger = pipeline.logger
        if isinstance(logger, Logger):  # only the entries shown are made
            shown = logger.recent_entries(LOG_ENTRIES)
        else:
            recent = getattr(logger, "recent_entries", None)
            shown = [] if recent is None else recent()[-LOG_ENTRIES:]
        entries = []
        for entry in shown:
            source = entry.get("source") or {}
            entries.append(
                {
                    "time": _finite(entry.get("time")),
                    "type": _text(entry.get("type")),
                    "message": _text(entry.get("message")),
                    "instance": source.get("instance"),
                    "summary": source.get("summary"),
                }
            )
        return entries
