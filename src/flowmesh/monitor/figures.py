"""Timing figures of a running pipeline, from counters its elements keep.

Nothing here runs on a pipeline thread. Rates come from differences of
counters between two readings; the time in handlers from each node's busy
time, which the nodes keep only while someone watches (`watch_handlers`);
the samples in a frame from one frame of each stream, seen by a probe that is
joined to the port until one value has passed and then removed.
"""

import collections
import math
import numbers
import sys
import time

from .trace import Joint, Tap, context_rate, context_time

WINDOW = 1.0  # seconds a rate is averaged over
# A latency beyond this is a foreign clock's t0, not a delay.
LATENCY_LIMIT = 60.0
# Readings a latency is the least of: a reading right before a frame is due
# would otherwise count the wait for it.
LATENCY_READINGS = 4


def watch_handlers(on):
    """Count one more (or one fewer) watcher of the nodes' handler time."""
    from ..imp import vertex

    return vertex._time_handlers(bool(on))


class Rates:
    """Per key, the rate of change of a growing value over the last WINDOW s."""

    def __init__(self):
        self._history = {}
        self._restarted = set()

    def rate(self, key, value, now):
        history = self._history.setdefault(key, collections.deque())
        self._restarted.discard(key)
        if history and value < history[-1][1]:
            history.clear()  # a new run counts again
            self._restarted.add(key)
        history.append((now, value))
        while len(history) > 2 and now - history[1][0] >= WINDOW:
            history.popleft()
        (t0, v0), (t1, v1) = history[0], history[-1]
        return (v1 - v0) / (t1 - t0) if t1 > t0 else 0.0

    def restarted(self, key):
        """Whether the last value of `key` was smaller than the one before."""
        return key in self._restarted

    def keep(self, count):
        """Forget the keys of elements beyond the first `count`."""
        for key in [k for k in self._history if k[0] >= count]:
            del self._history[key]


def samples_in(value):
    """Samples in one frame: the first axis of an array, else one."""
    np = sys.modules.get("numpy")
    if np is not None and isinstance(value, np.ndarray):
        return int(value.shape[0]) if value.ndim >= 1 else 1
    if isinstance(value, (list, tuple)) and value and isinstance(value[0], numbers.Real):
        return len(value)
    return 1


def parts(element):
    """The nodes that do an element's work: a chain's own, or itself."""
    get_nodes = getattr(element, "get_nodes", None)
    try:
        nodes = list(get_nodes()) if get_nodes is not None else []
    except Exception:
        nodes = []
    return nodes or [element]


def input_counts(node):
    """(dropped, queued, bound) of a node's inputs: port name to count
    (empty for a node without an input queue); bound None when unbounded."""
    counts = []
    for getter in ("get_dropped", "get_queued"):
        method = getattr(node, getter, None)
        try:
            found = method() if method is not None else {}
        except Exception:
            found = {}
        counts.append(
            {k: v for k, v in found.items() if isinstance(k, str) and type(v) is int}
            if isinstance(found, dict)
            else {}
        )
    bound = None
    method = getattr(node, "get_queue_bound", None)
    try:
        bound = method() if method is not None else None
    except Exception:
        bound = None
    if type(bound) is not int or not 0 < bound < 2**62:
        bound = None
    return counts[0], counts[1], bound


def busy_time(nodes):
    """Seconds in the handlers of `nodes` this run."""
    total = 0.0
    for node in nodes:
        getter = getattr(node, "get_busy_time", None)
        if getter is None:
            return None
        try:
            value = getter()
        except Exception:
            return None
        if not isinstance(value, float):
            return None
        total += value
    return total


def output_contexts(element):
    """Output-port name to the context the element passes on it."""
    try:
        context = element.get_context()
        output = getattr(context, "output", None)
    except Exception:
        return {}
    return dict(output) if isinstance(output, dict) else {}


def latency(context, counter, per_frame, now):
    """Seconds since the last sample of `counter` frames of `per_frame`
    samples was due, on the stream whose context gives "t0" and "rate"."""
    t0, rate = context_time(context), context_rate(context)
    if t0 is None or rate is None or not per_frame or counter <= 0:
        return None
    late = now - (t0 + (counter * per_frame - 1) / rate)
    return late if math.isfinite(late) and abs(late) < LATENCY_LIMIT else None


class Probes:
    """Samples per frame of each stream port, by a probe per port that stays
    joined only until a value has passed, once per run."""

    def __init__(self):
        self.per_frame = {}  # port id -> samples in a frame
        self._joined = {}  # port id -> Joint
        self._latency = {}  # element index -> recent readings

    def update(self, candidates):
        """`candidates`: (element, port name, port id) of the streams of
        running elements that have produced."""
        wanted = set()
        for element, name, key in candidates:
            wanted.add(key)
            if key in self.per_frame:
                continue
            joint = self._joined.get(key)
            if joint is None:
                try:
                    tap = Tap(keep=1)
                    self._joined[key] = Joint(element, name, tap)
                except Exception:
                    self.per_frame[key] = None  # a port that takes no probe is not probed again
                continue
            last = joint.tap.last
            if last is not None:
                self.per_frame[key] = samples_in(last[1])
                self._remove(key)
        for key in [k for k in self._joined if k not in wanted]:
            self._remove(key)

    def forget(self, port_id):
        self.per_frame.pop(port_id, None)

    def smoothed(self, key, value):
        readings = self._latency.setdefault(key, collections.deque(maxlen=LATENCY_READINGS))
        if value is None:
            readings.clear()
            return None
        readings.append(value)
        return min(readings)

    def _remove(self, key):
        joint = self._joined.pop(key, None)
        if joint is not None:
            try:
                joint.remove()
            except Exception:
                pass

    def close(self):
        for key in list(self._joined):
            self._remove(key)


class Load:
    """Where a run's time goes, for a status line: the busiest node (share
    of one core over the last second) and the items dropped so far.
    Watches the handlers' time from `begin()` to `end()`."""

    def __init__(self, nodes):
        self.nodes = [n for n in nodes if callable(getattr(n, "get_busy_time", None))]
        self._rates = Rates()
        self._watching = False
        self.busiest = None  # (name, share)

    def begin(self):
        if not self._watching:
            watch_handlers(True)
            self._watching = True

    def end(self):
        if self._watching:
            self._watching = False
            watch_handlers(False)

    def line(self, now=None):
        now = time.monotonic() if now is None else now
        best = None
        for index, node in enumerate(self.nodes):
            busy = busy_time([node])
            if busy is None:
                continue
            share = self._rates.rate((index, "busy"), busy, now)
            if best is None or share > best[1]:
                best = (element_name(node), share)
        self.busiest = best
        parts = [] if best is None else [f"busiest {best[0]} {best[1] * 100:.0f}%"]
        dropped = self.dropped()
        parts.append(f"{dropped} dropped" if dropped else "no drops")
        return " | ".join(parts)

    def dropped(self):
        return sum(sum(input_counts(node)[0].values()) for node in self.nodes)

    def summary(self, seconds, shown=3):
        """The nodes that took the most time, as 'name 12.5%' of one core."""
        if not seconds or seconds <= 0:
            return []
        spent = [(busy_time([n]) or 0.0, element_name(n)) for n in self.nodes]
        spent = [(t, name) for t, name in spent if t > 0]
        spent.sort(key=lambda item: -item[0])
        return [f"{name} {t / seconds * 100:.1f}%" for t, name in spent[:shown]]


def element_name(element):
    """The element's name, or its class when it has none or naming it fails."""
    try:
        name = element.name
    except Exception:
        name = None
    return name if isinstance(name, str) and name else type(element).__name__
