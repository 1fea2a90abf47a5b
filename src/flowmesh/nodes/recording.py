"""Recordings: `Recorder` writes what reaches its inputs to an XDF file as the
run goes, `Replay` plays any XDF file back. Recordings of earlier versions,
numpy ``.npz`` files (`write_recording`, `read_recording`), are still
written for a path ending in ``.npz`` and still played."""

import json
import math
import numbers
import os
import re
import threading
import time

import numpy as np

from .. import imp, xdf
from ..clocks import CLOCK_OFFSETS, ClockOffsets
from ..configuration import check_bool, check_int, check_keys, check_number, check_str
from ..constants import Constants
from ..documents import replacing, restricted
from ..i_node import INode
from ..i_port import IPort
from ..o_node import ONode
from ..sources import _LONGEST_WAIT, SampledSource
from ._common import _SYNC

_ASYNC = Constants.Timing.ASYNC
_RECORDER_DEFAULTS = {
    "overwrite": False,
    "flush_interval": 1.0,
    "fsync_interval": 5.0,
    "queue_size": 10_000,
}
_REPLAY_DEFAULTS = {"streams": None, "frame_size": 32}
#: The input port whose frames give the samples' timestamps of the other SYNC inputs.
TIMESTAMPS = "timestamps"

_RECORDING_FORMAT = "flowmesh-recording-1"


def _is_plain(value):
    """Whether `value` is made of JSON's own types only, so that it reads back equal."""
    if value is None or type(value) in (str, bool, int):
        return True
    if type(value) is float:
        return math.isfinite(value)
    if type(value) is list:
        return all(_is_plain(v) for v in value)
    if type(value) is dict:
        return all(type(k) is str and _is_plain(v) for k, v in value.items())
    return False


def _pack(values):
    """(kind, array) holding `values` so that they read back identical."""
    first = values[0] if values else None
    if (
        values
        and all(type(v) is np.ndarray for v in values)
        and first.dtype != object
        and all(v.shape == first.shape and v.dtype == first.dtype for v in values)
    ):
        return "stacked", np.stack(values)
    if all(_is_plain(v) for v in values):
        return "json", np.array([json.dumps(v) for v in values], dtype=np.str_)
    packed = np.empty(len(values), dtype=object)
    for i, v in enumerate(values):
        packed[i] = v
    return "objects", packed


def _unpack(kind, array):
    if kind == "stacked":
        return [row.copy() for row in array]
    if kind == "json":
        return [json.loads(str(text)) for text in array]
    return list(array)


def write_recording(path, ports, times, cycles):
    """Write a recording atomically (see `Recorder` for the layout)."""
    names = [port["name"] for port in ports]
    arrays = {"format": np.array(_RECORDING_FORMAT), "time": np.asarray(times, dtype=np.float64)}
    meta = []
    for i, port in enumerate(ports):
        name = port["name"]
        index = [k for k, cycle in enumerate(cycles) if name in cycle]
        kind, values = _pack([cycles[k][name] for k in index])
        arrays[f"index_{i}"] = np.asarray(index, dtype=np.int64)
        arrays[f"values_{i}"] = values
        meta.append({**port, "kind": kind})
    extra = sorted({key for cycle in cycles for key in cycle} - set(names))
    if extra:
        raise ValueError(f"cycles hold keys that are no recorded port: {extra}")
    arrays["ports"] = np.array(json.dumps(meta))
    with replacing(path) as stream:
        np.savez(stream, **arrays)


def _recording_ports(f, path):
    if "format" not in f.files or str(f["format"]) != _RECORDING_FORMAT:
        raise ValueError(f"{path}: not a flowmesh recording")
    return json.loads(str(f["ports"]))


def recording_ports(path):
    """The recorded ports of a recording (name, timing, context, kind of
    storage), read without its values: nothing in the file is unpickled."""
    with np.load(path, allow_pickle=False) as f:
        return _recording_ports(f, path)


def read_recording(path, allow_pickle=False):
    """Read a recording: a dict with "ports" (name, timing, context per port),
    "time" (seconds since the run began, one per cycle) and "cycles" (one
    dict port name -> value per cycle received, in order).

    Values that were neither uniform arrays nor plain JSON are stored pickled,
    and unpickling runs code that the file supplies: such a file is refused
    unless `allow_pickle` is true, which a caller passes only for a file it
    trusts like code.
    """
    with np.load(path, allow_pickle=False) as f:
        ports = _recording_ports(f, path)
        times = f["time"].tolist()
    pickled = [str(port.get("name")) for port in ports if port.get("kind") == "objects"]
    if pickled and not allow_pickle:
        raise ValueError(
            f"{path}: the values of port(s) {', '.join(pickled)} are stored pickled, and "
            "unpickling runs code from the file; read it with allow_pickle=True only if you "
            "trust it like code."
        )
    cycles = [{} for _ in times]
    # Without pickles asked for, numpy refuses any object array, whatever the
    # file's own description of its ports says.
    with np.load(path, allow_pickle=bool(pickled)) as f:
        for i, port in enumerate(ports):
            values = _unpack(port["kind"], f[f"values_{i}"])
            for k, value in zip(f[f"index_{i}"].tolist(), values, strict=True):
                cycles[k][port["name"]] = value
    for port in ports:
        del port["kind"]
    return {"ports": ports, "time": times, "cycles": cycles}


def _fail(imp, error):
    try:
        imp.record_failure(error)
        imp.log(msg=error, type=Constants.LogTypes.ERROR)
    finally:
        imp._condition = Constants.Conditions.ERROR


def _fail_quietly(imp, error):
    """`_fail` from the writer's thread, which must go on to the footers."""
    try:
        _fail(imp, error)
    except BaseException:
        # Logging it ran the value's code again; the failure is recorded
        # before the log.
        pass


class _Stream:
    __slots__ = ("id", "numeric", "channels", "rate", "offsets", "written", "dtype", "row")

    def __init__(self, stream_id, numeric, channels, rate, offsets=None):
        self.id, self.numeric, self.channels, self.rate = stream_id, numeric, channels, rate
        self.offsets = offsets  # the source's ClockOffsets, or None
        self.written = 0  # of them, how many went to the writer
        # A 2-D frame of this dtype and shape[1:] goes straight to the writer:
        # set once a frame of the dtype was checked (never with clock offsets
        # to write before frames).
        self.dtype = None
        self.row = (channels,)


def _samples(value):
    """A numeric frame as (samples, channels), or None for an event."""
    if isinstance(value, np.ndarray) and value.dtype.kind in "biuf":
        if value.ndim == 0:
            return value.reshape(1, 1)
        if value.ndim == 1:  # one sample of several channels
            return value.reshape(1, -1)
        if value.ndim == 2:
            return value
        raise ValueError(f"frames have 1 or 2 dimensions, got shape {value.shape}")
    return None


def _event_time(value, now):
    if isinstance(value, dict):
        t = value.get("time")
        if isinstance(t, numbers.Real) and not isinstance(t, bool) and math.isfinite(t):
            return float(t)
    return now


class Recorder(INode):
    """Records what reaches its inputs to an XDF file, as the run goes.

    Each input port (default: one SYNC port "in") is one stream of the file,
    named after the port and declared with its first value: on a SYNC or
    INHERITED input, a numeric frame (array of samples x channels; 1-D is
    one sample) makes a numeric stream in the frame's dtype, and later frames
    must keep its channel count; an ASYNC input, or any other first value,
    makes a string stream of events holding each value's JSON text (the text
    of its repr where JSON has no form for it). A SYNC input named "timestamps" is not a stream: its
    1-D array gives the timestamps of the samples of the other SYNC inputs of
    the same frame. Without it, the last sample of a frame is stamped with
    the frame's arrival (monotonic clock, as LSL's) and the ones before it
    are spaced at the nominal rate (the context's "rate"; without one, all
    share the arrival time). An event dict with a numeric "time" is stamped
    with it, any other event with its arrival. The context gives the stream's
    type ("stream_type"), channel labels ("channels") and rate, and, from a
    source whose timestamps are on another clock (an `LSLInlet` without
    time correction), its "clock_offsets": each measurement becomes a
    clock-offset chunk, written before the samples that follow it.

    The file is opened when the node starts: an existing file is refused
    unless `overwrite`, anything but a regular file always; a file that
    cannot be opened fails the start. Writing runs on a thread of its own,
    which declares, checks, stamps and writes. With SYNC and ASYNC inputs
    and no timestamps port, no cycle runs: each input keeps what arrives,
    with its arrival time, in a ring of `queue_size` values for that thread
    (each event and each frame still counts as a cycle; a full ring gives
    way its oldest value, counted in `dropped` and `get_dropped()`).
    Otherwise a step queues its cycle in a queue of `queue_size` cycles; a
    cycle that finds it full is dropped and its items counted. Samples reach
    the OS within `flush_interval` seconds and the disk within
    `fsync_interval` (None: at stop only). A write that fails fails the
    node, and so does a frame unlike its stream's, from the writer's thread:
    what came before it is written, what came after it counted as dropped. At stop
    everything queued is written, then the stream footers.

    A `path` ending in ``.npz`` keeps the format of earlier versions: every
    cycle held in memory and written, atomically, at stop (see
    `write_recording`; `error` says why it could not be). It is kept for
    the documents that name one; new recordings should be XDF.
    """

    class Configuration(INode.Configuration):
        __slots__ = ()

        class Keys(INode.Configuration.Keys):
            PATH = "path"
            OVERWRITE = "overwrite"
            FLUSH_INTERVAL = "flush_interval"
            FSYNC_INTERVAL = "fsync_interval"
            QUEUE_SIZE = "queue_size"

        def _set_defaults(self):
            super()._set_defaults()
            keys = self.Keys
            self.setdefault(keys.PATH, None)
            # The settings of XDF recording are not written in when absent:
            # documents of earlier versions save back unchanged.

        def validate(self):
            super().validate()
            check_keys(self)
            keys = self.Keys
            check_str(keys.PATH, self[keys.PATH])
            setting = self.setting
            check_bool(keys.OVERWRITE, setting(keys.OVERWRITE))
            check_number(keys.FLUSH_INTERVAL, setting(keys.FLUSH_INTERVAL), strict=True)
            check_number(
                keys.FSYNC_INTERVAL, setting(keys.FSYNC_INTERVAL), strict=True, allow_none=True
            )
            check_int(keys.QUEUE_SIZE, setting(keys.QUEUE_SIZE), 1)

        def setting(self, key):
            """The value of `key`, its default when absent."""
            return self.get(key, _RECORDER_DEFAULTS[key])

    def __init__(self, **config):
        self._writer = None
        self._streams = {}
        self._contexts = {}
        self._event_ports = set()
        self._stamped = False
        self._closed = None  # the writer whose close was already reported
        self._rejected = None  # the failure of a cycle that did not fit, on the writer's thread
        self._lock = threading.Lock()
        self._collectors = ()  # (port name, tap): inputs kept in C++ for the writer
        self._times, self._cycles = [], []
        self._began = None
        self.error = None  # .npz: why the last recording could not be written
        super().__init__(**config)

    @property
    def path(self):
        return self.config[self.Configuration.Keys.PATH]

    @property
    def legacy(self):
        """Whether this recorder writes the ``.npz`` format of earlier versions."""
        return self.path.lower().endswith(".npz")

    @property
    def dropped(self):
        """Items of this run that reached no file: refused by the writer's
        queue, left in the input queues, or lost to a failed writer."""
        writer = self._writer
        own = 0 if writer is None else writer.dropped
        return own + sum(self.get_dropped().values())

    @property
    def recorded(self):
        """Items of this run handed to the writer."""
        writer = self._writer
        return 0 if writer is None else writer.accepted

    def status(self):
        """(samples per stream name, file size, seconds since the last flush)."""
        writer = self._writer
        if writer is None:
            return {}, 0, None
        counts = writer.samples()
        # A copy first: the writer's thread adds streams.
        names = {s.id: name for name, s in dict(self._streams).items()}
        samples = {names.get(sid, str(sid)): n for sid, n in counts.items()}
        return samples, writer.size, time.monotonic() - writer.last_flush

    def start(self):
        if self.legacy:
            with self._lock:
                self._times, self._cycles = [], []
                self._began = time.monotonic()
            self._writer = None
            super().start()
            return
        keys = self.Configuration.Keys
        self._writer = None  # nothing of an earlier run's file is used again
        directory = os.path.dirname(os.path.abspath(self.path))
        try:
            os.makedirs(directory, exist_ok=True)
        except OSError as e:
            raise xdf.XdfError(f"{self.path}: cannot make its directory: {e.strerror}") from e
        self._streams, self._contexts = {}, {}
        self._event_ports = {
            entry[keys.NAME]
            for entry in self.config[keys.INPUT_PORTS]
            if entry.get(keys.TIMING) == _ASYNC
        }
        self._stamped = any(e[keys.NAME] == TIMESTAMPS for e in self.config[keys.INPUT_PORTS])
        self._rejected = None
        self._collectors = ()
        self._writer = _CycleWriter(
            self,
            self.path,
            overwrite=self.config.setting(keys.OVERWRITE),
            flush_interval=self.config.setting(keys.FLUSH_INTERVAL),
            fsync_interval=self.config.setting(keys.FSYNC_INTERVAL),
            queue_size=self.config.setting(keys.QUEUE_SIZE),
        )
        try:
            super().start()
        except BaseException:
            self._writer.close()
            raise
        self._collect_inputs()

    def _collect_inputs(self):
        """A recorder as it comes, of SYNC and ASYNC inputs and no timestamps
        port, has nothing to do on the data path but keep what arrives: each
        input port keeps it in a tap (in C++, with its arrival time, no
        cycle run) for the writer's thread, which takes them every tick.
        Each event counts as a cycle, as does each frame of the SYNC inputs
        (at the first of them)."""
        keys = self.Configuration.Keys
        cls = type(self)
        names = [e[keys.NAME] for e in self.config[keys.INPUT_PORTS]]
        ports = [self.get_input_port(name) for name in names]
        timings = [port.timing for port in ports]
        if (
            self._stamped
            or any(t not in (_SYNC, _ASYNC) for t in timings)
            or cls.step is not Recorder.step
            or cls.setup is not Recorder.setup
        ):
            self._collectors = ()
            return
        size = self.config.setting(keys.QUEUE_SIZE)
        first_sync = timings.index(_SYNC) if _SYNC in timings else -1
        collectors = []
        try:
            for k, (name, port, timing) in enumerate(zip(names, ports, timings, strict=True)):
                tap = imp.TapImp(IPort.Configuration(name=name), size)
                tap.start()
                collectors.append((name, tap))
                port._collect(tap, timing == _ASYNC or k == first_sync)
        finally:
            self._collectors = tuple(collectors)

    def _release_inputs(self):
        """The input ports run the node's cycle again (what still arrives
        goes the ordinary way) and their taps take nothing more."""
        for name, tap in self._collectors:
            try:
                self.get_input_port(name)._collect(None)
            finally:
                tap.stop()

    def _take_collected(self, writer, batch, drop=False):
        """On the writer's thread: what the taps kept, in order, or with
        `drop` counted as dropped."""
        for name, tap in self._collectors:
            for now, value in zip(*tap.take()):
                if drop:
                    writer._lost(({name: value}, now))
                else:
                    self._expand(writer, {name: value}, now, batch)

    def get_dropped(self):
        """Per input, the items its queue dropped, or, for an input that
        collects, those its ring gave way for lack of room."""
        counts = super().get_dropped()
        for name, tap in self._collectors:
            counts[name] = counts.get(name, 0) + tap.overwritten
        return counts

    def stop(self):
        if self.legacy:
            super().stop()
            # A pipeline stops its elements one after the other: a recording
            # that cannot be written must not keep the rest running.
            try:
                self.save()
                self.error = None
            except Exception as e:
                self.error = e
                self.log(f"Recording not written to {self.path}: {e}", Constants.LogTypes.ERROR)
            return
        try:
            self._release_inputs()
            super().stop()  # a decoupled node runs what is queued first
        finally:
            writer = self._writer
            if writer is not None and writer is not self._closed:
                self._closed = writer  # a second stop has nothing more to report
                try:
                    writer.close()
                except Exception as e:
                    if self.failure() is None:
                        _fail(self._imp, e)
                    elif self.failure() is not e:
                        self.log(e, Constants.LogTypes.ERROR)
                finally:
                    # The input queues' drops have their own warnings.
                    lost = writer.dropped + sum(tap.overwritten for _, tap in self._collectors)
                    if lost:
                        self.log(
                            f"{lost} item(s) of this run did not reach {self.path}: "
                            "the writer fell behind or failed.",
                            Constants.LogTypes.WARNING,
                        )

    def setup(self, data, context):
        self._contexts = dict(context)
        return {}

    def save(self):
        """.npz: write what this run recorded so far (also done at stop)."""
        keys = self.Configuration.Keys
        ports = []
        for entry in self.config[keys.INPUT_PORTS]:
            context = self._raw_context(entry[keys.NAME])
            if isinstance(context, dict) and CLOCK_OFFSETS in context:
                # Live, not data: the rest of the context is kept.
                context = {k: v for k, v in context.items() if k != CLOCK_OFFSETS}
            ports.append(
                {
                    "name": entry[keys.NAME],
                    "timing": str(entry.get(keys.TIMING, _SYNC)),
                    "context": context if _is_plain(context) else None,
                }
            )
        with self._lock:
            times, cycles = list(self._times), list(self._cycles)
        directory = os.path.dirname(os.path.abspath(self.path))
        os.makedirs(directory, exist_ok=True)
        write_recording(self.path, ports, times, cycles)

    def _raw_context(self, port):
        # What reached the port by now: an event may have run setup before
        # the context of a stream arrived.
        context = getattr(self.get_input_port(port), "_context", None)
        return self._contexts.get(port) if context is None else context

    def _context(self, port):
        context = self._raw_context(port)
        return context if isinstance(context, dict) else {}

    def _declare(self, writer, batch, port, frame):
        context = self._context(port)
        rate = context.get("rate")
        if not (isinstance(rate, numbers.Real) and not isinstance(rate, bool)) or not (
            0 < rate < math.inf
        ):
            rate = 0.0
        info = {"type": str(context.get("stream_type") or ("" if frame is not None else "Markers"))}
        if frame is None:
            info.update(channel_format="string", json_values=True)
        else:
            try:
                fmt = xdf.format_of(frame.dtype)
            except TypeError as e:
                raise TypeError(f"{self.name}: port {port!r}: {e}") from None
            channels = frame.shape[1]
            labels = context.get("channels")
            if not (
                isinstance(labels, list)
                and len(labels) == channels
                and all(type(x) is str for x in labels)
            ):
                labels = None
            info.update(
                channel_format=fmt, channel_count=channels, nominal_srate=rate, labels=labels
            )
        source = context.get("source_id")
        info["source_id"] = source if isinstance(source, str) else f"flowmesh:{self.name}:{port}"
        header = writer._declare(port, info)
        batch.append(header)
        sid = header[1]
        offsets = context.get(CLOCK_OFFSETS)
        stream = _Stream(
            sid,
            frame is not None,
            1 if frame is None else frame.shape[1],
            rate,
            offsets if isinstance(offsets, ClockOffsets) else None,
        )
        self._streams[port] = stream
        return stream

    def step(self, data):
        # On the data path: one append of the cycle as it came (a dict of its
        # own, never changed after delivery) and its arrival. Every check
        # costs microseconds on a cold cache at 1 kHz, so the writer's
        # thread declares, checks, stamps and encodes.
        writer = self._writer
        if writer is None:  # .npz
            with self._lock:
                self._times.append(time.monotonic() - self._began)
                self._cycles.append(dict(data))
            return None
        queue = writer.queue
        if len(queue) < writer.room:
            queue.append((data, time.monotonic()))
            return None
        if writer.error is not None:
            raise writer.error
        writer.append((data, time.monotonic()))
        return None

    def _writer_failed(self, writer, error):
        """On the writer's thread: a recorder that collects runs no step to
        hear of it, so the node fails from here."""
        if self._collectors and self._writer is writer and self.failure() is None:
            _fail_quietly(self._imp, error)

    def _expand(self, writer, data, now, batch):
        """On the writer's thread: a cycle as the items that write it. A
        frame that does not fit fails the node; what came before it stays."""
        if self._rejected is not None:
            writer._lost((data, now))  # the node failed with a cycle before it
            return
        try:
            stamps = data.get(TIMESTAMPS) if self._stamped else None
            streams = self._streams
            for port, value in data.items():
                stream = streams.get(port)
                # A numeric frame like the stream's first, nothing else to
                # write before it: no call.
                if (
                    stream is not None
                    and stamps is None
                    and type(value) is np.ndarray
                    and value.dtype is stream.dtype
                    and value.shape[1:] == stream.row
                ):
                    batch.append((stream.id, value, None, now))
                elif stamps is None or port != TIMESTAMPS:
                    self._record(writer, batch, port, value, stream, stamps, now)
        except BaseException as e:
            # Raised by a value's own code (no signal reaches this thread):
            # the node fails, the recording goes on to its footers.
            self._rejected = e
            _fail_quietly(self._imp, e)

    def _record(self, writer, batch, port, value, stream, stamps, now):
        if stream is None:
            events = port in self._event_ports
            stream = self._declare(writer, batch, port, None if events else _samples(value))
        if stream.offsets is not None and len(stream.offsets) != stream.written:
            measured = stream.offsets.since(stream.written)
            stream.written += len(measured)
            for collected, offset in measured:
                batch.append(writer._offset_item(stream.id, collected, offset))
        if not stream.numeric:
            batch.append((stream.id, [value], [_event_time(value, now)], None))
            return
        if type(value) is np.ndarray and value.ndim == 2 and value.dtype.kind in "biuf":
            frame = value
        else:
            frame = _samples(value)
            if frame is None:
                raise TypeError(
                    f"{self.name}: port {port!r} records numeric frames; got {type(value).__name__}"
                )
        if frame.shape[1] != stream.channels:
            raise ValueError(
                f"{self.name}: port {port!r} records {stream.channels} channel(s); "
                f"got a frame of shape {frame.shape}"
            )
        if stamps is not None and len(stamps) == len(frame):
            batch.append((stream.id, frame, stamps, None))
        else:
            batch.append((stream.id, frame, None, now))
        if stream.offsets is None and frame is value:
            stream.dtype = value.dtype  # numeric, checked above: the next takes the short way


class _CycleWriter(xdf.BackgroundWriter):
    """A recorder's writer: its queue takes whole cycles, (data, arrival),
    which the recorder turns into samples on the writer's thread."""

    def __init__(self, recorder, path, **settings):
        self._recorder = recorder
        super().__init__(path, **settings)

    def _weigh(self, item):
        data = item[0]
        if type(data) is not dict:
            return super()._weigh(item)
        recorder = self._recorder
        stamps = data.get(TIMESTAMPS) if recorder._stamped else None
        items = samples = 0
        for port, value in data.items():
            if stamps is None or port != TIMESTAMPS:
                events = port in recorder._event_ports
                items += 1
                samples += super()._weigh((None, [value] if events else value, stamps))[1]
        return items, samples

    def _expand(self, item, batch):
        self._recorder._expand(self, item[0], item[1], batch)

    def _collect(self, batch):
        self._recorder._take_collected(self, batch)

    def _drop_collected(self):
        self._recorder._take_collected(self, None, drop=True)

    def _failed(self, error):
        self._recorder._writer_failed(self, error)


def _port_names(names):
    """Valid, distinct port names for stream names: other characters become
    "_", a leading digit gets "s_" before it, a repeated name "_2", "_3"..."""
    out, seen = [], set()
    for name in names:
        base = re.sub(r"\W", "_", name, flags=re.ASCII) or "stream"
        if base[0].isdigit():
            base = "s_" + base
        candidate, k = base, 1
        while candidate in seen or candidate == TIMESTAMPS:
            k += 1
            candidate = f"{base}_{k}"
        seen.add(candidate)
        out.append(candidate)
    return out


def _first(info, key, default=""):
    value = info.get(key, [default])
    return value[0] if isinstance(value, list) and value else value


def _json_encoded(stream):
    try:
        return _first(stream["info"]["desc"][0]["flowmesh"][0], "encoding") == "json"
    except (KeyError, IndexError, TypeError):
        return False


def _selected(header, select):
    return select is None or header["name"] in select or header["type"] in select


class Replay(SampledSource):
    """Plays an XDF file back: any XDF file, read with pyxdf.

    One output port per stream (see `_port_names` for the naming rule):
    numeric streams as SYNC frames of `frame_size` samples, with their
    timestamps on "<port>_timestamps" (SYNC); string streams as ASYNC events
    (values recorded by `Recorder` come back as they were; other markers as
    ``{"label": text, "time": t}``, or ``{"value": [...], "time": t}`` for
    several channels, as an LSL inlet gives them). `streams` selects streams
    by name or type (None: all). The context of each port describes its
    stream as an LSL inlet's does.

    `speed`: 1.0 plays in real time, any positive factor faster or slower,
    None as fast as the consumers take it. A frame leaves when its last
    sample's time comes. Timestamps are the file's, clock offsets applied.
    Production ends after the last sample (`wait()` tells when).

    A ``.npz`` recording of earlier versions plays too, cycle for cycle
    with the ports it recorded (`realtime` False, from those versions, is
    `speed` None). Its plain arrays and JSON values are read; a file with
    pickled values plays only with `allow_pickle` true, which a document
    loaded with `allowed_modules` cannot set. XDF files hold no pickles.
    """

    # Not the sampled source's record: the recorded ports keep their timing.
    class Configuration(ONode.Configuration):
        __slots__ = ()

        class Keys(ONode.Configuration.Keys):
            PATH = "path"
            SPEED = "speed"
            FRAME_SIZE = "frame_size"
            STREAMS = "streams"
            REALTIME = "realtime"
            ALLOW_PICKLE = "allow_pickle"

        def _set_defaults(self):
            keys = self.Keys
            if not isinstance(self.get(keys.PATH), str):
                raise TypeError(f"Replay needs a path (str), got {self.get(keys.PATH)!r}.")
            if self.get(keys.OUTPUT_PORTS) is None:
                # Only the stream headers or the port list, never the values:
                # building runs no code from the file.
                if _is_npz(self[keys.PATH]):
                    self[keys.OUTPUT_PORTS] = [
                        {keys.NAME: p["name"], keys.TIMING: p["timing"]}
                        for p in recording_ports(self[keys.PATH])
                    ]
                else:
                    self[keys.OUTPUT_PORTS] = _declared_ports(
                        self[keys.PATH], self.setting(keys.STREAMS)
                    )
            super()._set_defaults()
            self.setdefault(keys.REALTIME, True)
            # Not written in when absent: documents of earlier versions save back unchanged.
            self.setdefault(keys.ALLOW_PICKLE, False)

        def validate(self):
            super().validate()
            keys = self.Keys
            check_number(keys.SPEED, self.setting(keys.SPEED), strict=True, allow_none=True)
            check_int(keys.FRAME_SIZE, self.setting(keys.FRAME_SIZE), 1)
            check_bool(keys.REALTIME, self[keys.REALTIME])
            select = self.setting(keys.STREAMS)
            if select is not None and (
                type(select) is not list or not all(type(s) is str for s in select)
            ):
                raise TypeError(f"streams must be a list of names or types, got {select!r}.")
            allow = self[keys.ALLOW_PICKLE]
            if not isinstance(allow, bool):
                raise TypeError(f"allow_pickle must be a bool, got {allow!r}.")
            if allow and restricted():
                raise ValueError(
                    "allow_pickle cannot be set by a document loaded with allowed_modules: "
                    "unpickling a recording runs code from it."
                )

        def setting(self, key):
            """The value of `key`, its default when absent."""
            if key == self.Keys.SPEED:
                return self.get(key, 1.0 if self[self.Keys.REALTIME] is True else None)
            return self.get(key, _REPLAY_DEFAULTS[key])

    def __init__(self, **config):
        self.plan = None
        super().__init__(**config)

    @property
    def rate(self):
        return None

    def setup(self, data, context):
        return {name: dict(self._metadata.get(name, {})) for name in self._imp._output_ports}

    def step(self, data):
        return data or None

    def _prepare_run(self):
        keys = self.Configuration.Keys
        path = self.config[keys.PATH]
        if _is_npz(path):
            recording = read_recording(path, allow_pickle=self.config[keys.ALLOW_PICKLE])
            self._metadata = {p["name"]: p.get("context") or {} for p in recording["ports"]}
            self.plan = [
                (t, k, cycle)
                for k, (t, cycle) in enumerate(
                    zip(recording["time"], recording["cycles"], strict=True)
                )
            ]
            return
        self._metadata, self.plan = _plan(
            path, self.config.setting(keys.STREAMS), self.config.setting(keys.FRAME_SIZE)
        )

    def _produce(self, stop):
        imp = self._imp
        cycle = imp._cycle
        speed = self.config.setting(self.Configuration.Keys.SPEED)
        running, error = Constants.States.RUNNING, Constants.Conditions.ERROR
        self._go.wait()
        setup_thread = getattr(imp, "_setup_thread", None)
        if setup_thread is not None:
            setup_thread.join()  # an all-ASYNC source runs its setup there
        t0 = self.t0 = time.monotonic()
        base = self.plan[0][0] if self.plan else 0.0
        try:
            for t, _, data in self.plan:
                if stop.is_set() or imp._state != running or imp._condition == error:
                    return
                if speed is not None:
                    while (delay := t0 + (t - base) / speed - time.monotonic()) > 0.0:
                        if stop.wait(min(delay, _LONGEST_WAIT)):
                            return
                cycle(dict(data))
        except BaseException as e:
            imp.record_failure(e)
            if not isinstance(e, Exception):
                imp._condition = error
            imp.log(msg=e, type=Constants.LogTypes.ERROR)


def _is_npz(path):
    """Whether `path` holds a recording of earlier versions (a zip archive)."""
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"PK\x03\x04"
    except OSError:
        return False


def _declared_ports(path, select):
    keys = ONode.Configuration.Keys
    headers = [h for h in xdf.streams(path) if _selected(h, select)]
    if not headers:
        matching = "" if select is None else f" named or typed {', '.join(select)}"
        raise xdf.XdfError(f"{path}: holds no stream{matching} to replay")
    ports = []
    for header, name in zip(headers, _port_names([h["name"] for h in headers]), strict=True):
        if header["channel_format"] == "string":
            ports.append({keys.NAME: name, keys.TIMING: _ASYNC})
        else:
            ports.append({keys.NAME: name, keys.TIMING: _SYNC})
            ports.append({keys.NAME: f"{name}_{TIMESTAMPS}", keys.TIMING: _SYNC})
    return ports


def _plan(path, select, frame_size):
    """(context per port, [(time, order, cycle data)] in time order)."""
    headers = [h for h in xdf.streams(path) if _selected(h, select)]
    names = dict(zip((h["id"] for h in headers), _port_names([h["name"] for h in headers])))
    loaded, _ = xdf.load(path, select=[h["id"] for h in headers]) if headers else ([], None)
    metadata, plan = {}, []
    for s in loaded:
        info = s["info"]
        port = names[info["stream_id"]]
        fmt = _first(info, "channel_format", "float32")
        meta = {
            "stream_name": _first(info, "name"),
            "stream_type": _first(info, "type"),
            "source_id": _first(info, "source_id"),
            "channel_count": int(_first(info, "channel_count", "0") or 0),
            "channel_format": fmt,
            "rate": float(_first(info, "nominal_srate", "0") or 0),
        }
        labels = xdf._labels(s)
        if labels is not None:
            meta["channels"] = labels
        stamps = np.asarray(s["time_stamps"], dtype=np.float64)
        order = info["stream_id"]
        if fmt == "string":
            metadata[port] = meta
            decode = _json_encoded(s)
            for t, row in zip(stamps.tolist(), s["time_series"], strict=True):
                plan.append((t, order, {port: _event(row, t, decode)}))
            continue
        metadata[port] = metadata[f"{port}_{TIMESTAMPS}"] = meta
        values = s["time_series"]
        for k in range(0, len(stamps), frame_size):
            ts = stamps[k : k + frame_size]
            frame = {port: values[k : k + frame_size].copy(), f"{port}_{TIMESTAMPS}": ts.copy()}
            plan.append((float(ts[-1]), order, frame))
    plan.sort(key=lambda entry: (entry[0], entry[1]))
    return metadata, plan


def _event(row, t, decode):
    if decode:
        try:
            values = [json.loads(text) for text in row]
            return values[0] if len(values) == 1 else values
        except ValueError:
            pass
    if len(row) == 1:
        return {"label": row[0], "time": t}
    return {"value": list(row), "time": t}
