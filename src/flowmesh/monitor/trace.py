"""What the page plots, made on the sampler's thread from what taps collected.

A `Tap` joined to an output port is a port of no node whose push the data
path runs in C++ on the producer's thread: it keeps (arrival time, value) in
a ring of the last few, so the producer pays a clock read and a store, not a
call or a node's cycle. The sampler takes what it kept and turns the values
into one of three views:

- a trace: frames of (samples, channels) or scalars, reduced to the min and
  max of every channel per column of `window / COLUMNS` seconds, so a page
  gets a bounded number of bytes per second whatever the stream's rate and a
  one-sample spike still shows;
- epochs: arrays that come as events (or a dict's array field, like an
  averager's "mean"), the latest few kept for an overlaid plot;
- events: anything else, as a list of times and texts.

A second tap on a marker port gives labelled times drawn on the trace.
"""

import collections
import itertools
import math
import numbers
import struct
import sys
import threading
import time

from .. import imp
from ..constants import Constants
from ..i_port import IPort

Timing = Constants.Timing

DEFAULT_WINDOW = 10.0
MAX_WINDOW = 60.0
# Columns per window: the page draws one per pixel at most, so a wider
# screen gains nothing from more; the byte rate below follows from it.
COLUMNS = 1000
# Channels drawn of a wider stream.
MAX_CHANNELS = 64
# Values a tap holds between two drains (4 per second by default); older
# ones give way and are counted.
TAP_KEEP = 4096
EPOCHS_SHOWN = 5
EPOCH_POINTS = 250
EVENTS_SHOWN = 50
MARKERS_KEPT = 200
LABEL_CHARS = 40
# A frame this far from where the previous one ended starts the timeline again.
RESYNC_SECONDS = 0.5
# Every trace (and every restart of one) gets a number of its own, so a page
# never mixes the columns of two.
_generations = itertools.count(1)  # drawn under _generations_lock
_generations_lock = threading.Lock()

# The binary trace reply: magic, generation, channels, count, first column,
# column width (s); then float32 [count][channels][min, max], little-endian.
TRACE_HEADER = struct.Struct("<4sIIIqd")
TRACE_MAGIC = b"FMT1"
COLUMN_BYTES_PER_CHANNEL = 8
# Distinct trace replies kept between two changes of the columns.
REPLIES_KEPT = 16


def bytes_per_second_bound(window=DEFAULT_WINDOW, channels=MAX_CHANNELS, updates=4.0):
    """The most trace bytes a page receives a second, pushed with `updates`
    snapshots a second (base64, as an event stream carries text)."""
    columns_per_second = COLUMNS / window
    # Each update repeats the still-open column.
    per_update = TRACE_HEADER.size + channels * COLUMN_BYTES_PER_CHANNEL
    binary = columns_per_second * channels * COLUMN_BYTES_PER_CHANNEL + updates * per_update
    framing = len(b"event: trace\ndata: \n\n") + 2  # and base64's padding
    return binary * 4 / 3 + updates * framing


def _np():
    return sys.modules.get("numpy") or __import__("numpy")


def short_text(obj, limit=LABEL_CHARS, quoted=False):
    try:
        text = obj if isinstance(obj, str) and not quoted else repr(obj)
    except Exception:
        text = f"<{type(obj).__name__}>"
    return text if len(text) <= limit else text[: limit - 1] + "…"


def Tap(keep=TAP_KEEP, decimate=False):
    """A tap for a `Joint`: keeps the last `keep` values that reach it while
    open, each with its time on the clock of time.monotonic(); one that may
    `decimate` keeps 1 in a power of two of a stream faster than its drains.
    Readers take them with `take()`; `last`, `arrived` and `context` tell
    the rest."""
    config = IPort.Configuration(name="in", timing=Timing.INHERITED)
    return imp.TapImp(config, keep, decimate=decimate)


def as_frame(value):
    """`value` as a float array of shape (samples, channels), or None when it
    is not numeric. A 1-D array or list is one channel; a scalar one sample."""
    np = _np()
    if isinstance(value, numbers.Real):
        return np.array([[float(value)]])
    if isinstance(value, np.ndarray):
        if value.dtype.kind not in "biuf" or value.ndim > 2 or value.size == 0:
            return None
        if value.ndim == 0:
            return value.astype(float).reshape(1, 1)
        frame = value.astype(float, copy=False)
        return frame[:, None] if frame.ndim == 1 else frame
    if isinstance(value, (list, tuple)) and value:
        if all(isinstance(x, numbers.Real) for x in value):
            return np.array([float(x) for x in value])[:, None]
    return None


def numeric_fields(value):
    """The keys of a dict whose values can be plotted, in order."""
    fields = []
    for key, item in list(value.items()):
        if isinstance(key, str) and not isinstance(item, bool):
            try:
                numeric = as_frame(item) is not None
            except Exception:
                numeric = False
            if numeric:
                fields.append(key)
    return fields


def context_text(context, key):
    value = context.get(key) if isinstance(context, dict) else None
    return value if isinstance(value, str) else None


def context_rate(context):
    rate = context.get("rate") if isinstance(context, dict) else None
    if isinstance(rate, numbers.Real) and not isinstance(rate, bool):
        rate = float(rate)
        if math.isfinite(rate) and rate > 0:
            return rate
    return None


def context_time(context, key="t0"):
    t = context.get(key) if isinstance(context, dict) else None
    if isinstance(t, numbers.Real) and not isinstance(t, bool) and math.isfinite(t):
        return float(t)
    return None


def context_channels(context, count):
    names = context.get("channels") if isinstance(context, dict) else None
    if isinstance(names, (list, tuple)) and len(names) == count:
        return [short_text(n) for n in names]
    return [f"ch{k + 1}" for k in range(count)]


class Joint:
    """A tap joined to an output port, both sides, as a node joins them: this
    works for every element that lists its output ports, chains included."""

    def __init__(self, element, port, tap):
        self.tap = tap
        self._source = element.get_output_port(port)
        self._sink = tap
        tap.start()
        self._source.connect(self._sink)
        try:
            self._sink.connect(self._source)
        except BaseException:
            self._source.disconnect(self._sink)
            tap.stop()
            raise

    def remove(self):
        try:
            self._source.disconnect(self._sink)
            self._sink.disconnect(self._source)
        finally:
            self.tap.stop()


class Trace:
    """The min and max of every channel per column of `window / COLUMNS` s,
    for the last `window` seconds, columns numbered by absolute monotonic
    time so markers and samples share one axis."""

    def __init__(self, window=DEFAULT_WINDOW):
        self.window = window
        self.dt = window / COLUMNS
        self._replies_of, self._replies = None, {}
        self.reset(None)

    def reset(self, channels):
        with _generations_lock:
            self.generation = next(_generations)
        self.channels = channels
        # A ring of COLUMNS columns, slot `bin % COLUMNS`; a slot whose bin is
        # not the one asked for is a gap (or an older column long gone).
        # Made by the first columns: a stream that changes width every frame
        # resets it thousands of times per drain.
        self._slots = self._ring = None
        self._last = None
        self.version = 0  # grows with every change of the columns
        self.next_time = None  # when the sample after the last one is due
        self.rate = None
        self.samples = 0

    def add(self, frames, rate, t0):
        """Frames as (arrival, array (samples, channels)); `rate` and `t0`
        from the stream's context, when known."""
        np = _np()
        times, blocks = [], []
        for arrival, frame in frames:
            count, width = frame.shape
            width = min(width, MAX_CHANNELS)
            if width != self.channels:
                self.reset(width)
                times, blocks = [], []
            frame = frame[:, :width]
            if rate is None:
                # Without a sample rate every sample of a frame is at its arrival.
                stamp = np.full(count, arrival)
            else:
                start = self.next_time
                if start is None or abs(start + (count - 1) / rate - arrival) > RESYNC_SECONDS:
                    start = arrival - (count - 1) / rate
                    if t0 is not None:
                        # On the source's own sample grid, as markers with times are.
                        start = t0 + round((start - t0) * rate) / rate
                stamp = start + np.arange(count) / rate
                self.next_time = start + count / rate
            times.append(stamp)
            blocks.append(frame)
            self.samples += count
        self.rate = rate
        if not blocks:
            return
        self._bin(np.concatenate(times), np.concatenate(blocks))

    def add_scalars(self, arrivals, values):
        """One-channel samples without a rate, each at its arrival: the
        array('d') of arrivals and the list of plain numbers a tap hands over.
        False, with nothing added, when a value is not a plain float or an int
        that a float holds."""
        columns = imp._ports._columns(arrivals, values, self.dt, self._last)
        if columns is None:
            return False
        if self.channels != 1:
            self.reset(1)
        self.rate = None
        self.samples += len(values)
        numbers, lows, highs = columns
        if len(numbers):
            np = _np()
            pairs = np.stack((np.frombuffer(lows), np.frombuffer(highs)), axis=1)
            self._store(np.frombuffer(numbers, np.int64), pairs.reshape(-1, 1, 2))
        return True

    def _bin(self, t, values):
        """Samples at times `t` (values: samples x channels) into the columns,
        all columns of one call in one go."""
        np = _np()
        bins = np.floor(t / self.dt).astype(np.int64)
        np.maximum.accumulate(bins, out=bins)
        last = self._last
        if last is not None:
            # A sample before the open column comes too late to be drawn.
            late = int(np.searchsorted(bins, last))
            bins, values = bins[late:], values[late:]
            if not len(bins):
                return
        starts = np.concatenate(([0], np.flatnonzero(np.diff(bins)) + 1))
        with np.errstate(invalid="ignore"):
            lows = np.fmin.reduceat(values, starts, axis=0)
            highs = np.fmax.reduceat(values, starts, axis=0)
        self._store(bins[starts], np.stack((lows, highs), axis=2))

    def _store(self, numbers, columns):
        """Columns `numbers` (ascending, none before the open one), as
        (count, channels, 2) min and max, into the ring."""
        np = _np()
        columns = columns.astype(np.float32)
        last = self._last
        if numbers[0] == last:
            # The column still open at the last drain.
            open_ = self._ring[last % COLUMNS]
            columns[0, :, 0] = np.fmin(open_[:, 0], columns[0, :, 0])
            columns[0, :, 1] = np.fmax(open_[:, 1], columns[0, :, 1])
        if len(numbers) > COLUMNS:
            numbers, columns = numbers[-COLUMNS:], columns[-COLUMNS:]
        if self._ring is None:
            self._slots = np.full(COLUMNS, np.iinfo(np.int64).min, np.int64)
            self._ring = np.full((COLUMNS, self.channels, 2), np.nan, np.float32)
        slots = numbers % COLUMNS
        self._ring[slots] = columns
        self._slots[slots] = numbers
        self._last = int(numbers[-1])
        self.version += 1

    @property
    def last(self):
        return self._last

    @property
    def bins(self):
        """The numbers of the columns held, oldest first."""
        if self._last is None:
            return []
        kept = self._slots[self._slots > self._last - COLUMNS]
        return sorted(kept.tolist())

    def since(self, first):
        """(first bin, array (count, channels, 2)) of the columns from bin `first` on."""
        np = _np()
        last = self._last
        empty = (None, np.empty((0, self.channels or 0, 2), np.float32))
        if last is None or first > last:
            return empty
        # Only the columns asked for are looked at: an update asks for a few
        # dozen, and numpy would let go of the GIL around a loop over all.
        numbers = np.arange(max(first, last - COLUMNS + 1), last + 1, dtype=np.int64)
        slots = numbers % COLUMNS
        held = self._slots[slots] == numbers
        if not held.any():
            return empty
        start = int(held.argmax())
        numbers, slots, held = numbers[start:], slots[start:], held[start:]
        out = self._ring[slots]
        # A gap in time (a stalled stream) comes as columns of NaN.
        out[~held] = np.nan
        return int(numbers[0]), out

    def encode(self, first):
        """The binary reply for a page that has every column before `first`.
        Pages fetch after each snapshot, mostly from the same column: until
        the columns change, a reply made once serves them all."""
        key = (self.generation, self.version)
        if self._replies_of != key:
            self._replies_of, self._replies = key, {}
        reply = self._replies.get(first)
        if reply is None:
            if len(self._replies) >= REPLIES_KEPT:
                self._replies.clear()
            reply = self._replies[first] = self._encode(first)
        return reply

    def _encode(self, first):
        start, columns = self.since(first)
        header = TRACE_HEADER.pack(
            TRACE_MAGIC,
            self.generation,
            self.channels or 0,
            len(columns),
            start if start is not None else first,
            self.dt,
        )
        return header + columns.astype("<f4").tobytes()


class Markers:
    """Labelled times from the chosen marker port."""

    def __init__(self, node, port):
        self.node, self.port = node, port
        self.items = collections.deque(maxlen=MARKERS_KEPT)
        self.tap = Tap()

    def drain(self):
        for arrival, value in zip(*self.tap.take()):
            try:
                self.add(arrival, value)
            except Exception:
                self.items.append((arrival, "?"))

    def add(self, arrival, value):
        when, label = arrival, value
        if isinstance(value, dict):
            stated = value.get("time")
            if (
                isinstance(stated, numbers.Real)
                and not isinstance(stated, bool)
                and abs(float(stated) - arrival) < 3600
            ):
                when = float(stated)
            label = value.get("label", value)
        self.items.append((when, short_text(label)))

    def record(self, now, window):
        """Times relative to `now`, of the markers within `window` seconds."""
        items = [
            {"t": round(t - now, 4), "label": text} for t, text in self.items if t > now - window
        ]
        return {"node": self.node, "port": self.port, "items": items}


class Feed:
    """The port chosen for the plot (with, optionally, a marker port) and the
    views made from it."""

    def __init__(self, index, element, port, source_port, window=DEFAULT_WINDOW):
        self.index = index
        self.element = element
        self.port = port
        self.source_port = source_port
        self.window = window
        self.note = None
        self.kind = None
        self.fields = []
        self.field = None
        self.count = None
        self.trace = Trace(window)
        self.epochs = collections.deque(maxlen=EPOCHS_SHOWN)
        self.epoch_times = None
        self.epoch_sequence = 0
        self.events = collections.deque(maxlen=EVENTS_SHOWN)
        self.markers = None  # Markers, when a marker port is chosen
        # A free-running port gives thousands of values between two drains:
        # an even 1 in N of them draws it at a fraction of what each costs
        # its producer when kept (a clock read and a store).
        self.tap = Tap(decimate=True)
        self.taken = 0
        self.skipped = 0  # values not drawn: decimated, or let go before a drain came

    @property
    def context(self):
        """The context the element passes on the port (a tap joined late gets none)."""
        try:
            output = getattr(self.element.get_context(), "output", None)
            found = output.get(self.port) if isinstance(output, dict) else None
        except Exception:
            found = None
        return found if isinstance(found, dict) else self.tap.context

    def is_event_port(self):
        try:
            return str(self.source_port.timing) == str(Timing.ASYNC)
        except Exception:
            return False

    def _value_of(self, value):
        """The plotted part of `value`: a dict's chosen field."""
        if not isinstance(value, dict):
            return value
        fields = numeric_fields(value)
        if fields != self.fields:
            self.fields = fields
        if self.field not in fields:
            self.field = next((f for f in ("mean", "data") if f in fields), None) or (
                fields[0] if fields else None
            )
        count = value.get("count")
        if isinstance(count, int) and not isinstance(count, bool):
            self.count = count
        if self.field is None:
            return value
        return value.get(self.field)

    def drain(self):
        np = _np()
        frames = []
        # Counted before the take, so a value arriving in between is never
        # counted as given way (the maximum absorbs it until the next drain).
        arrived = self.tap.arrived
        arrivals, values = self.tap.take()
        self.taken += len(values)
        # What arrived and was not taken gave way.
        self.skipped = max(self.skipped, arrived - self.taken)
        event_port = self.is_event_port()
        if not event_port and values and context_rate(self.context) is None:
            # A free-running port of numbers: thousands a second, in one go,
            # every loop over them in C.
            if self.trace.add_scalars(arrivals, values):
                self.kind, self.note = "trace", None
                if self.markers is not None:
                    self.markers.drain()
                return
        for arrival, value in zip(arrivals, values):
            try:
                original = value
                value = self._value_of(value)
                frame = as_frame(value)
            except Exception:
                frame = None
            if frame is None:
                self.events.append((arrival, short_text(original, 120)))
                self.kind = self.kind or "events"
                self.note = f"not numeric: {short_text(original, 120, quoted=True)}"
                continue
            if frame.shape[1] > MAX_CHANNELS:
                self.note = f"the first {MAX_CHANNELS} of {frame.shape[1]} channels"
            else:
                self.note = None
            arrayish = isinstance(value, np.ndarray) or isinstance(value, (list, tuple))
            if (event_port or isinstance(original, dict)) and arrayish and frame.shape[0] > 1:
                self.kind = "epochs"
                self._add_epoch(frame, original)
            else:
                self.kind = "trace"
                frames.append((arrival, frame))
        if frames:
            context = self.context
            rate = None if event_port else context_rate(context)
            self.trace.add(frames, rate, context_time(context))
        if self.markers is not None:
            self.markers.drain()

    def _add_epoch(self, frame, original):
        np = _np()
        frame = frame[:, :MAX_CHANNELS]
        stride = max(1, -(-frame.shape[0] // EPOCH_POINTS))
        thinned = frame[::stride]
        times = original.get("times") if isinstance(original, dict) else None
        if isinstance(times, np.ndarray) and times.ndim == 1 and len(times) == frame.shape[0]:
            self.epoch_times = times[::stride].astype(float)
        else:
            rate = context_rate(self.context)
            step = (1.0 / rate) if rate else 1.0
            self.epoch_times = np.arange(0, frame.shape[0], stride) * step
        self.epochs.append(thinned)
        self.epoch_sequence += 1

    def epochs_record(self):
        np = _np()

        def clean(a):
            return [None if not math.isfinite(x) else round(x, 6) for x in a.tolist()]

        epochs = list(self.epochs)
        if not epochs:
            return {"sequence": self.epoch_sequence, "epochs": []}
        return {
            "sequence": self.epoch_sequence,
            "times": clean(np.asarray(self.epoch_times, float)),
            # Each epoch as one list per channel.
            "epochs": [[clean(channel) for channel in epoch.T] for epoch in epochs],
        }

    def record(self, name, now):
        context = self.context
        trace = self.trace
        record = {
            "element": self.index,
            "node": name,
            "port": self.port,
            "note": self.note,
            "kind": self.kind,
            "fields": self.fields,
            "field": self.field,
            "count": self.count,
            "window": self.window,
            "unit": context_text(context, "unit"),
            "rate": context_rate(context),
            "markers": None,
            "skipped": self.skipped,
        }
        if self.kind == "trace":
            channels = trace.channels or 0
            record.update(
                channels=context_channels(context, channels)
                if channels == _context_width(context)
                else [f"ch{k + 1}" for k in range(channels)],
                generation=trace.generation,
                last=trace.last,
                dt=trace.dt,
                now=now,
            )
        elif self.kind == "epochs":
            width = self.epochs[-1].shape[1] if self.epochs else 0
            record.update(
                channels=context_channels(context, width)
                if width == _context_width(context)
                else [f"ch{k + 1}" for k in range(width)],
                epochs=self.epoch_sequence,
            )
        elif self.kind == "events":
            wall = time.time() - now
            record["events"] = [
                {"time": round(wall + t, 3), "text": text} for t, text in reversed(self.events)
            ]
        if self.markers is not None:
            record["markers"] = self.markers.record(now, self.window)
        return record


def _context_width(context):
    names = context.get("channels") if isinstance(context, dict) else None
    return len(names) if isinstance(names, (list, tuple)) else None
