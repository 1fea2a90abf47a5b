"""What the monitor shows, read from a pipeline on a thread of its own.

The `Sampler` reads the elements' state, condition, counters and input
queues a few times a second, turns them into one JSON snapshot and hands it to
every subscribed client through a one-slot mailbox. Nothing here runs on a
pipeline thread, except the taps' `step` on the ports being plotted or, for
one frame per run, probed for the samples in a frame.
"""

import json
import math
import threading
import time
import weakref

from ..constants import Constants
from ..logging import RECENT_MESSAGE_CHARS
from . import figures
from .metrics import exposition
from .trace import DEFAULT_WINDOW, MAX_WINDOW, Feed, Joint, Markers

States, Conditions, Timing = Constants.States, Constants.Conditions, Constants.Timing

# Frames-per-second window: long enough to smooth a slow source, short enough to follow a stall.
FPS_WINDOW = 1.0
LOG_ENTRIES = 40
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


def element_name(element):
    try:
        name = element.name
    except Exception:
        name = None
    return name if isinstance(name, str) and name else type(element).__name__


def _ports(imp, attribute):
    ports = getattr(imp, attribute, None)
    return dict(ports) if isinstance(ports, dict) else {}


def _members(imp):
    """The nodes inside a chain, in order; empty for a node."""
    get_nodes = getattr(imp, "get_nodes", None)
    if get_nodes is None:
        return []
    nodes = list(get_nodes())
    return [n for n in nodes if hasattr(n, "_imp")]


def _port_record(name, port):
    config = port.config
    kind = config.get("type", "Any")
    return {
        "name": name,
        "type": kind if isinstance(kind, str) else "Any",
        "timing": str(port.timing),
    }


def _banner(pipeline_imp, entry):
    """The failure banner's lines, as the monitoring thread prints them."""
    source = entry.get("source") or {}
    lines = [f"*** {_text(entry.get('message'))} ***"]
    if source.get("summary"):
        lines.append(f"Raised in {source['summary']}")
    else:
        lines.append(f"Raised in {source.get('filename')}:{source.get('lineno')}")
    if source.get("instance"):
        lines.append(f"Node: {source['instance']}")
    if source.get("directory"):
        lines.append(f"File in: {source['directory']}")
    try:
        lines.append(_text(pipeline_imp._log_reference()))
    except Exception:
        pass
    lines.append("Pipeline stopped.")
    return "\n".join(lines)


# --- the plotted port -----------------------------------------------------------------------


class PlotFeed(Feed):
    """The chosen output port, joined to a tap, and optionally a marker port."""

    def __init__(self, index, element, port, window=DEFAULT_WINDOW):
        source = _ports(element._imp, "_output_ports")[port]
        super().__init__(index, element, port, source, window)
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
        self._rates = figures.Rates()
        self._probes = figures.Probes()
        self._watching = False  # counted as a watcher of the handlers' time
        self._counters = {}  # id(element implementation) -> counter at the last pass
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
        figures.watch_handlers(True)
        self._watching = True
        self.sample()
        self._thread.start()

    def stop(self):
        self._stop.set()
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join()
        with self._lock:
            self._stopped = True
            self._set_plot(None)
            self._probes.close()
            if self._watching:
                self._watching = False
                figures.watch_handlers(False)

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
    def _find(self, pipeline, node, port):
        for index, element in enumerate(list(pipeline._imp._nodes)):
            if element_name(element) == node and port in _ports(element._imp, "_output_ports"):
                return index, element
        raise LookupError(f"no output port '{port}' on an element named '{node}'")

    def choose_plot(self, node, port, markers=None, field=None, window=None):
        """Plot output `port` of the element named `node` (None: stop plotting),
        with the events of `markers` ((node, port) or None) drawn on it,
        `field` of dict values, over the last `window` seconds.

        Raises LookupError when there is no such output port.
        """
        pipeline = self._pipeline()
        if pipeline is None:
            raise LookupError("the pipeline is gone")
        window = DEFAULT_WINDOW if window is None else window
        if isinstance(window, bool) or not isinstance(window, (int, float)):
            raise ValueError("window must be a number of seconds")
        if not 1.0 <= window <= MAX_WINDOW:
            raise ValueError(f"window must be from 1 to {MAX_WINDOW:g} seconds")
        if field is not None and not isinstance(field, str):
            raise ValueError("field must be a str or None")
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

    def _snapshot(self, pipeline):
        now = time.monotonic()
        pimp = pipeline._imp
        elements = list(pimp._nodes)
        owners = {}  # id(port implementation) -> (element index, port name)
        records = []
        seen = set()
        candidates, contexts, counters = [], {}, {}
        for index, element in enumerate(elements):
            imp = element._imp
            seen.add(id(imp))
            inputs, outputs = _ports(imp, "_input_ports"), _ports(imp, "_output_ports")
            for name, port in inputs.items():
                owners[id(port)] = (index, name)
            for name, port in outputs.items():
                owners[id(port)] = (index, name)
            members = _members(imp)
            counter = imp.get_counter()
            if members:
                # A chain cycles through its nodes: its frames are those of the
                # node at its output end (or, without outputs, at its input end).
                counter = (members[-1] if outputs else members[0])._imp.get_counter()
            state = str(imp.get_state())
            running = state == States.RUNNING
            fps = self._rates.rate((id(imp), "frames"), counter, now) if running else 0.0
            busy = figures.busy_time(imp, members)
            share = self._rates.rate((id(imp), "busy"), busy, now) if busy is not None else None
            # Input queues: a chain's are those of its first node.
            queued_imp = members[0]._imp if members else imp
            dropped, queued, bound = figures.input_counts(queued_imp) if inputs else ({}, {}, None)
            records.append(
                {
                    "name": element_name(element),
                    "class": type(element).__name__,
                    "state": state,
                    "condition": str(imp.get_condition()),
                    "counter": counter,
                    "fps": round(fps, 2),
                    "backlog": imp.get_max_backlog() if inputs else None,
                    "members": [element_name(m) for m in members],
                    "inputs": [
                        {
                            **_port_record(n, p),
                            "dropped": dropped.get(n),
                            "queued": queued.get(n),
                        }
                        for n, p in inputs.items()
                    ],
                    "outputs": [_port_record(n, p) for n, p in outputs.items()],
                    "queue_bound": bound,
                    "busy_seconds": busy,
                    "busy": round(share, 4) if share is not None and running else None,
                    "samples_per_second": None,
                    "latency": None,
                }
            )
            streams = [
                (element, n, p)
                for n, p in outputs.items()
                if running and counter > 0 and figures.is_stream(p)
            ]
            if counter < self._counters.get(id(imp), 0):
                for p in outputs.values():
                    self._probes.forget(p)
            self._counters[id(imp)] = counter
            candidates.extend(streams)
            contexts[index] = figures.output_contexts(imp)
            counters[index] = counter
        self._rates.keep(seen)
        for key in [k for k in self._counters if k not in seen]:
            del self._counters[key]
        self._probes.update(candidates)
        for index, element in enumerate(elements):
            record = records[index]
            per_frame = [
                self._probes.per_frame.get(id(p))
                for p in _ports(element._imp, "_output_ports").values()
            ]
            known = [k for k in per_frame if k]
            if known and record["fps"]:
                record["samples_per_second"] = round(record["fps"] * max(known), 2)

        links = []
        for index, element in enumerate(elements):
            for name, port in _ports(element._imp, "_output_ports").items():
                for target in port._connected_ports:
                    owner = owners.get(id(target))
                    if owner is None:
                        continue  # not part of the pipeline (the monitor's own tap)
                    target_record = records[owner[0]]
                    into = next((i for i in target_record["inputs"] if i["name"] == owner[1]), {})
                    links.append(
                        {
                            "from": [index, name],
                            "to": list(owner),
                            "timing": str(port.timing),
                            "dropped": into.get("dropped"),
                            "queued": into.get("queued"),
                        }
                    )
                    if figures.is_stream(port):
                        self._fed(records[owner[0]], port)
                        self._latency(
                            records, owner[0], contexts[index].get(name), port, counters, now
                        )
        for index, record in enumerate(records):
            if not record["inputs"]:
                # A source: how late its own frames leave.
                for name, port in _ports(elements[index]._imp, "_output_ports").items():
                    self._latency(records, index, contexts[index].get(name), port, counters, now)
            key = id(elements[index]._imp)
            record["latency"] = self._probes.smoothed(key, record["latency"])
            if record["latency"] is not None:
                record["latency"] = round(record["latency"], 4)

        state, condition = str(pimp.get_state()), str(pimp.get_condition())
        if state == States.RUNNING:
            self._elapsed = _finite(float(pimp.get_elapsed_time()))
        failure = None
        if condition == Conditions.ERROR:
            entry = pimp.get_last_error()
            if entry is not None:
                source = entry.get("source") or {}
                failure = {"banner": _banner(pimp, entry), "node": source.get("instance")}

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
                "backlog": pimp.get_backlog(),
            },
            "elements": records,
            "links": links,
            "failure": failure,
            "log": self._log(pimp),
            "plot": plot,
            "control": self.control,
            "monitor_error": self.error,
        }

    def _fed(self, record, port):
        """Samples/s of an element without streams of its own, from the one feeding it."""
        per_frame = self._probes.per_frame.get(id(port))
        if record["samples_per_second"] is None and per_frame and record["fps"]:
            if all(i["timing"] != str(Timing.ASYNC) for i in record["inputs"]):
                record["samples_per_second"] = round(record["fps"] * per_frame, 2)

    def _latency(self, records, index, context, port, counters, now):
        """Sets the latency of element `index`, fed by `port`, unless set.
        Only an element that cycles once per frame of its stream has one:
        events would count as frames."""
        record = records[index]
        if record["latency"] is not None or record["state"] != States.RUNNING:
            return
        if any(i["timing"] == str(Timing.ASYNC) for i in record["inputs"]):
            return
        record["latency"] = figures.latency(
            context, counters[index], self._probes.per_frame.get(id(port)), now
        )

    def metrics(self):
        """The latest snapshot in the text format monitoring systems scrape."""
        latest = self.latest
        return exposition(None if latest is None else latest[0])

    @staticmethod
    def _log(pimp):
        recent = getattr(pimp._logger, "recent_entries", None)
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
