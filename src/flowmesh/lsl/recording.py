"""LSL streams to an XDF file, and an XDF file back to LSL streams.

`LSLRecording` records every stream matching its queries to one file: one
inlet and one pulling thread per stream, samples with the sender's
timestamps, and a clock-offset chunk every `OFFSET_INTERVAL` seconds from
liblsl's time correction, so a reader can map every stream onto the
recorder's clock. `publish` plays a file's streams as LSL outlets with their
names, types, metadata and relative timing. Both need pylsl.
"""

import threading
import time

import numpy as np
import pylsl

from .. import xdf
from .metadata import _FORMAT_CODES, _FORMAT_NAMES, OFFSET_INTERVAL, OFFSET_TIMEOUT
from .resolution import stream_query

_SLICE = 0.1
#: Seconds the outlets of `publish` stay open after the last sample.
LINGER = 1.0
_KEYS = {"name": "name", "type": "type", "source_id": "source_id", "predicate": "predicate"}


def parse_query(text):
    """`type=EEG`, `name=Markers`, `source_id=...`, `predicate=...` (several
    joined with commas: all must hold) as an LSL predicate."""
    terms = {}
    for part in text.split(","):
        key, sep, value = part.partition("=")
        key = key.strip()
        if not sep or key not in _KEYS or not value:
            raise ValueError(
                f"not a stream query: {text!r} (use name=..., type=..., source_id=... or "
                "predicate=..., joined with commas)"
            )
        if key in terms:
            raise ValueError(f"{key} given twice in {text!r}")
        terms[key] = value
    return stream_query(**terms)


def resolve(queries, timeout, stop):
    """The streams matching each of `queries` (LSL predicates): every stream
    that answers within a second of the first match. Raises TimeoutError
    naming a query that nothing matched within `timeout` seconds."""
    found = {}
    for query in queries:
        resolver = pylsl.ContinuousResolver(pred=query, forget_after=5.0)
        deadline = time.monotonic() + timeout
        first = None
        while not stop.is_set():
            results = resolver.results()
            now = time.monotonic()
            if results and first is None:
                first = now
            if first is not None and now - first >= 1.0:
                for info in results:
                    found.setdefault(info.uid(), info)
                break
            if first is None and now > deadline:
                raise TimeoutError(f"no LSL stream matching {query} appeared within {timeout:g} s")
            stop.wait(0.05)
    return list(found.values())


class LSLRecording:
    """Records LSL streams to `path` (see `xdf.BackgroundWriter` for the
    file's guarantees) until `close`."""

    def __init__(self, path, infos, *, overwrite=False, flush_interval=1.0, fsync_interval=5.0):
        self.writer = xdf.BackgroundWriter(
            path, overwrite=overwrite, flush_interval=flush_interval, fsync_interval=fsync_interval
        )
        self.path = self.writer.path
        self.error = None
        self._stop = threading.Event()
        self._threads = []
        self.streams = []  # (stream id, name, type)
        try:
            for info in infos:
                inlet = pylsl.StreamInlet(info, max_buflen=360, recover=True)
                full = inlet.info(10.0)
                labels = full.get_channel_labels()
                fmt = _FORMAT_NAMES.get(full.channel_format())
                if fmt is None:
                    raise ValueError(f"LSL stream {full.name()!r}: unknown channel format")
                count = full.channel_count()
                sid = self.writer.add_stream(
                    full.name(),
                    type=full.type(),
                    channel_count=count,
                    nominal_srate=full.nominal_srate(),
                    channel_format=fmt,
                    source_id=full.source_id(),
                    labels=labels if labels and len(labels) == count else None,
                    created_at=full.created_at(),
                )
                inlet.open_stream(10.0)
                self.streams.append((sid, full.name(), full.type()))
                thread = threading.Thread(
                    target=self._pull,
                    args=(inlet, sid, fmt, count),
                    name=f"record {full.name()}",
                    daemon=True,
                )
                self._threads.append(thread)
        except BaseException:
            self.writer.close()
            raise
        for thread in self._threads:
            thread.start()

    def _pull(self, inlet, sid, fmt, count):
        next_offset = 0.0
        try:
            while not self._stop.is_set():
                now = time.monotonic()
                if now >= next_offset:
                    offset = inlet.time_correction(OFFSET_TIMEOUT)
                    self.writer.clock_offset(sid, pylsl.local_clock(), offset)
                    next_offset = now + OFFSET_INTERVAL
                chunk, stamps = inlet.pull_chunk(timeout=_SLICE, max_samples=4096)
                if not stamps:
                    continue
                if fmt == "string":
                    values = [row[0] for row in chunk] if count == 1 else chunk
                else:
                    values = np.array(chunk, dtype=xdf.FORMATS[fmt])
                self.writer.push(sid, values, stamps)
        except BaseException as e:
            if self.error is None:
                self.error = e
            self._stop.set()
        finally:
            inlet.close_stream()

    @property
    def failed(self):
        return self.error is not None or self.writer.error is not None

    def status(self):
        """One line: streams, samples, file size, seconds since the last flush."""
        counts = self.writer.samples()
        parts = [f"{name}: {counts.get(sid, 0)}" for sid, name, _ in self.streams]
        since = time.monotonic() - self.writer.last_flush
        return (
            f"{len(self.streams)} stream(s) | {', '.join(parts)} samples | "
            f"{self.writer.size / 1e6:.2f} MB | flushed {since:.1f} s ago"
        )

    def close(self):
        """Stop pulling, write what is queued and the footers; raise what
        failed (the writer's failure first)."""
        self._stop.set()
        for thread in self._threads:
            thread.join(30)
        self.writer.close()
        if self.error is not None:
            raise self.error


def publish(path, *, speed=1.0, select=None, stop=None, started=None, wait_for_consumers=None):
    """Play the streams of the XDF file `path` as LSL outlets (same names,
    types, channels, rates, labels) with their relative timing, at `speed`
    (None: as fast as possible). Sample timestamps are shifted onto this
    machine's clock, keeping their spacing. With `wait_for_consumers`
    (seconds), playing begins once every outlet has a consumer or that time
    has passed. Returns the samples pushed per stream name."""
    from ..nodes.recording import _plan, _port_names

    stop = stop or threading.Event()
    headers = [
        h for h in xdf.streams(path) if select is None or {h["name"], h["type"]} & set(select)
    ]
    if not headers:
        raise xdf.XdfError(f"{path}: holds no stream to publish")
    ports = _port_names([h["name"] for h in headers])
    outlets, pushed = {}, {}
    for header, port in zip(headers, ports, strict=True):
        info = pylsl.StreamInfo(
            header["name"],
            header["type"],
            header["channel_count"],
            header["nominal_srate"],
            _FORMAT_CODES.get(header["channel_format"], pylsl.cf_float32),
            header["source_id"] or f"flowmesh-replay-{header['name']}",
        )
        if header["labels"]:
            info.set_channel_labels(header["labels"])
        outlets[port] = (pylsl.StreamOutlet(info), header)
        pushed[header["name"]] = 0
    _, plan = _plan(path, select, 32)
    if started is not None:
        started.set()
    if wait_for_consumers is not None:
        deadline = time.monotonic() + wait_for_consumers
        for outlet, _ in outlets.values():
            while not stop.is_set() and not outlet.wait_for_consumers(0.1):
                if time.monotonic() > deadline:
                    break
    if not plan:
        return pushed
    base = plan[0][0]
    t0 = pylsl.local_clock()
    for t, _, data in plan:
        if speed is not None:
            while (delay := t0 + (t - base) / speed - pylsl.local_clock()) > 0:
                if stop.wait(min(delay, 0.5)):
                    return pushed
        elif stop.is_set():
            return pushed
        for port, value in data.items():
            if port not in outlets:
                continue
            outlet, header = outlets[port]
            if header["channel_format"] == "string":
                text = value.get("label") if isinstance(value, dict) else None
                text = text if isinstance(text, str) else xdf.json_text(value)
                outlet.push_sample([text], t0 + (t - base) / (speed or 1.0))
                pushed[header["name"]] += 1
            else:
                stamps = data[f"{port}_timestamps"]
                shifted = t0 + (np.asarray(stamps) - base) / (speed or 1.0)
                outlet.push_chunk(np.ascontiguousarray(value), shifted.tolist())
                pushed[header["name"]] += len(stamps)
    # An outlet dropped at once takes what it has not sent yet with it.
    stop.wait(LINGER)
    return pushed
