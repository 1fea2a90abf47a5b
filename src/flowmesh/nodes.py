"""Ready-made nodes for sampled signals and events.

A signal frame is a numpy array of shape (samples, channels); a 1-D array is
one channel. The sampling rate comes from a node's `rate` setting or, when
that is None, from the "rate" of the context that arrives with the signal.
A source of signal frames says in its context what later nodes need: "rate"
(Hz), "t0" (the time of sample 0 on the monotonic clock, for markers that carry
a time) and, when it has them, "channels".

- `Filter`: a digital filter (scipy second-order sections) whose state carries
  over from frame to frame, so that a stream filtered frame by frame equals the
  whole signal filtered at once.
- `Epocher`: cuts a window of the signal around every marker and emits it as an
  event.
- `Averager`: the running average of the epochs it has received.
- `Recorder` and `Replay`: every frame and event a node receives, written to a
  numpy ``.npz`` file, and played back at its original pace or as fast as
  possible.

Every setting is a plain JSON value, so these nodes round-trip through saved
documents.
"""

import json
import math
import numbers
import os
import threading
import time

import numpy as np

from .configuration import (
    MAX_RATE,
    check_bool,
    check_choice,
    check_int,
    check_keys,
    check_list,
    check_number,
    check_str,
)
from .constants import Constants
from .documents import replacing, restricted
from .i_node import INode
from .io_node import IONode
from .o_node import ONode
from .sources import _LONGEST_WAIT, SampledSource

__all__ = ["Filter", "Epocher", "Averager", "Recorder", "Replay", "read_recording"]

_SYNC = Constants.Timing.SYNC
_ASYNC = Constants.Timing.ASYNC


def _signal_rate(node, configured, context):
    """The sampling rate from the setting or, when that is None, the context."""
    if configured is not None:
        return float(configured)
    rate = (context or {}).get("rate")
    if rate is None:
        raise ValueError(
            f"{node.name or type(node).__name__}: no sampling rate; set 'rate' or feed a "
            "signal whose context gives 'rate'."
        )
    check_number("the context's rate", rate, strict=True, maximum=MAX_RATE)
    return float(rate)


def _check_below_nyquist(key, value, highest, rate):
    nyquist = rate / 2
    if highest >= nyquist:
        raise ValueError(
            f"{key} {value} must lie below the Nyquist frequency ({nyquist:g} Hz at {rate:g} Hz)."
        )


def _as_frame(value):
    """A frame as a float64 array of at least one dimension."""
    frame = np.asarray(value, dtype=np.float64)
    return frame.reshape(1) if frame.ndim == 0 else frame


def _port_names(config, key):
    return [entry.get(config.Keys.NAME) for entry in config.get(key) or ()]


# ============================================================ filter


class Filter(IONode):
    """A digital filter with state carried across frames.

    `kind` is "bandpass", "bandstop", "lowpass", "highpass" (Butterworth of
    `order`, designed by scipy as second-order sections) or "notch" (scipy's
    `iirnotch` at `frequencies` with quality factor `quality`). `frequencies`
    is one cut-off in Hz, or [low, high] for the band kinds. With `steady`
    true the state starts in the steady state of the first sample, so that a
    DC offset does not ring; otherwise it starts at zero.

    Frames go along axis 0, each column being one channel; the output is
    float64. Setup designs the filter and resets the state, so a new run (or
    the first after a failure) starts afresh, while a clean stop and start
    continues the stream.
    """

    KINDS = ("bandpass", "bandstop", "lowpass", "highpass", "notch")
    #: Beyond this a Butterworth design loses its precision and only costs time.
    MAX_ORDER = 32

    class Configuration(IONode.Configuration):
        class Keys(IONode.Configuration.Keys):
            KIND = "kind"
            FREQUENCIES = "frequencies"
            ORDER = "order"
            QUALITY = "quality"
            RATE = "rate"
            STEADY = "steady"

        def _set_defaults(self):
            super()._set_defaults()
            keys = self.Keys
            self.setdefault(keys.KIND, "bandpass")
            self.setdefault(keys.FREQUENCIES, [1.0, 40.0])
            self.setdefault(keys.ORDER, 4)
            self.setdefault(keys.QUALITY, 30.0)
            self.setdefault(keys.RATE, None)
            self.setdefault(keys.STEADY, False)

        def validate(self):
            super().validate()
            check_keys(self)
            keys = self.Keys
            kind = self[keys.KIND]
            check_choice(keys.KIND, kind, Filter.KINDS)
            freqs = self[keys.FREQUENCIES]
            if kind in ("bandpass", "bandstop"):
                check_list(keys.FREQUENCIES, freqs, length=2)
                for f in freqs:
                    check_number(keys.FREQUENCIES, f, strict=True)
                if not freqs[0] < freqs[1]:
                    raise ValueError(
                        f"frequencies must be [low, high] with low < high, got {freqs}."
                    )
                edges = freqs
            else:
                check_number(keys.FREQUENCIES, freqs, strict=True)
                edges = [freqs]
            check_int(keys.ORDER, self[keys.ORDER], 1, maximum=Filter.MAX_ORDER)
            check_number(keys.QUALITY, self[keys.QUALITY], strict=True)
            rate = self[keys.RATE]
            check_number(keys.RATE, rate, strict=True, allow_none=True, maximum=MAX_RATE)
            check_bool(keys.STEADY, self[keys.STEADY])
            if rate is not None:
                _check_below_nyquist(keys.FREQUENCIES, freqs, max(edges), rate)

    def __init__(self, **config):
        # Imported here, not on the first frame: it takes a good part of a second.
        from scipy import signal

        self._signal = signal
        self.sos = None
        self._zi = None
        super().__init__(**config)

    def design(self, rate):
        """The filter's second-order sections for sampling rate `rate`."""
        signal = self._signal
        keys = self.Configuration.Keys
        kind, freqs = self.config[keys.KIND], self.config[keys.FREQUENCIES]
        edges = freqs if isinstance(freqs, list) else [freqs]
        _check_below_nyquist(f"{self.name or 'Filter'}: frequencies", freqs, max(edges), rate)
        if kind == "notch":
            b, a = signal.iirnotch(freqs, self.config[keys.QUALITY], fs=rate)
            return signal.tf2sos(b, a)
        return signal.butter(self.config[keys.ORDER], freqs, btype=kind, fs=rate, output="sos")

    def setup(self, data, context):
        incoming = dict(context.get(Constants.Defaults.PORT_IN) or {})
        rate = _signal_rate(self, self.config[self.Configuration.Keys.RATE], incoming)
        self.sos = self.design(rate)
        self._zi = None
        keys = self.Configuration.Keys
        description = f"{self.config[keys.KIND]} {self.config[keys.FREQUENCIES]} Hz"
        incoming["filters"] = [*incoming.get("filters", []), description]
        incoming["rate"] = rate
        return {name: dict(incoming) for name in self._imp._output_ports}

    def step(self, data):
        signal = self._signal
        x = _as_frame(data[Constants.Defaults.PORT_IN])
        if x.shape[0] == 0:
            return {Constants.Defaults.PORT_OUT: x}
        zi = self._zi
        if zi is None:
            if self.config[self.Configuration.Keys.STEADY]:
                base = signal.sosfilt_zi(self.sos)
                zi = base.reshape(base.shape + (1,) * (x.ndim - 1)) * x[0]
            else:
                zi = np.zeros((self.sos.shape[0], 2) + x.shape[1:])
        elif zi.shape[2:] != x.shape[1:]:
            raise ValueError(
                f"{self.name or 'Filter'}: frame shape {x.shape} does not match the earlier "
                f"frames' channels {zi.shape[2:]}."
            )
        y, self._zi = signal.sosfilt(self.sos, x, axis=0, zi=zi)
        return {Constants.Defaults.PORT_OUT: y}


# ============================================================ epocher


class Epocher(IONode):
    """Cuts a window of the signal around each marker and emits it as an event.

    Inputs: "signal" (SYNC, frames of shape (samples, channels)) and "marker"
    (ASYNC). A marker is a number (its time, on the signal's clock) or a dict
    with "time" or "sample" (the index of its onset sample) and, optionally,
    "label". Times need the signal's "t0" in its context.

    For each marker (whose label is among `labels`, when given) the node emits
    on "epoch", once the signal has reached the window's end, a dict: "data"
    (an array of shape (window, channels), the samples from `tmin` to before
    `tmax` seconds around the onset, minus their mean over `baseline` when
    that is [start, end] in seconds), "times" (seconds relative to the onset),
    "label", "onset" (sample index) and "time". Every epoch leaves in the
    cycle that completes it (several, in marker order, when one frame
    completes several windows, however close their markers). The signal is
    kept for `history` seconds, so a marker may arrive that much late. A
    marker whose window can never be complete gets no epoch, is logged as a
    WARNING and counted: in `dropped` when it came older than the kept
    signal, in `incomplete` when the run stopped before the signal reached
    its window's end (`missed()` gives both).
    """

    SIGNAL = "signal"
    MARKER = "marker"
    EPOCH = "epoch"

    class Configuration(IONode.Configuration):
        class Keys(IONode.Configuration.Keys):
            TMIN = "tmin"
            TMAX = "tmax"
            BASELINE = "baseline"
            RATE = "rate"
            HISTORY = "history"
            LABELS = "labels"

        def _set_defaults(self):
            keys = self.Keys
            if self.get(keys.INPUT_PORTS) is None:
                self[keys.INPUT_PORTS] = [
                    {keys.NAME: Epocher.SIGNAL, keys.TIMING: _SYNC},
                    {keys.NAME: Epocher.MARKER, keys.TIMING: _ASYNC},
                ]
            self.setdefault(keys.OUTPUT_PORTS, [{keys.NAME: Epocher.EPOCH, keys.TIMING: _ASYNC}])
            super()._set_defaults()
            self.setdefault(keys.TMIN, -0.1)
            self.setdefault(keys.TMAX, 0.6)
            self.setdefault(keys.BASELINE, None)
            self.setdefault(keys.RATE, None)
            self.setdefault(keys.HISTORY, 5.0)
            self.setdefault(keys.LABELS, None)

        def validate(self):
            super().validate()
            check_keys(self)
            keys = self.Keys
            tmin, tmax = self[keys.TMIN], self[keys.TMAX]
            check_number(keys.TMIN, tmin, -Epocher.MAX_SPAN)
            check_number(keys.TMAX, tmax, -Epocher.MAX_SPAN, maximum=Epocher.MAX_SPAN)
            if not tmin < tmax:
                raise ValueError(f"tmin must be below tmax, got {tmin}, {tmax}.")
            baseline = self[keys.BASELINE]
            check_list(keys.BASELINE, baseline, length=2, allow_none=True)
            if baseline is not None:
                for b in baseline:
                    check_number(keys.BASELINE, b, None)
                if not tmin <= baseline[0] < baseline[1] <= tmax:
                    raise ValueError(f"baseline {baseline} must lie inside [tmin, tmax].")
            rate = self[keys.RATE]
            check_number(keys.RATE, rate, strict=True, allow_none=True, maximum=MAX_RATE)
            check_number(keys.HISTORY, self[keys.HISTORY], strict=True, maximum=Epocher.MAX_SPAN)
            if rate is not None:
                Epocher.sizes(tmin, tmax, self[keys.HISTORY], rate)
            labels = self[keys.LABELS]
            check_list(keys.LABELS, labels, allow_none=True)
            for label in labels or ():
                check_str(keys.LABELS, label, allow_empty=True)
            for side, key, wanted in (
                ("input", keys.INPUT_PORTS, (Epocher.SIGNAL, Epocher.MARKER)),
                ("output", keys.OUTPUT_PORTS, (Epocher.EPOCH,)),
            ):
                names = _port_names(self, key)
                missing = [n for n in wanted if n not in names]
                if missing:
                    raise ValueError(f"Epocher needs the {side} ports {missing}, got {names}.")

    #: The longest `tmin`..`tmax` window and `history`, in seconds.
    MAX_SPAN = 3600.0
    #: The most samples a window may hold, and the signal kept.
    MAX_SAMPLES = 10_000_000

    def __init__(self, **config):
        self.dropped = 0
        self.incomplete = 0
        self._reset(None, None)
        super().__init__(**config)

    @staticmethod
    def sizes(tmin, tmax, history, rate):
        """(first sample offset, window length, samples kept) at `rate`;
        refuses a window of no sample, and sizes beyond `MAX_SAMPLES`."""
        start, stop = round(tmin * rate), round(tmax * rate)
        length = stop - start
        if not 1 <= length <= Epocher.MAX_SAMPLES:
            raise ValueError(
                f"tmin..tmax ({tmin:g} .. {tmax:g} s) holds {length} samples at {rate:g} Hz; "
                f"it needs 1 to {Epocher.MAX_SAMPLES}."
            )
        keep = max(int(history * rate), length)
        if keep > Epocher.MAX_SAMPLES:
            raise ValueError(
                f"history ({history:g} s) holds {keep} samples at {rate:g} Hz; "
                f"at most {Epocher.MAX_SAMPLES} are kept."
            )
        return start, length, keep

    def _reset(self, rate, t0):
        self._rate, self._t0 = rate, t0
        self._buffer = None  # the latest samples, shape (kept, channels)
        self._first = 0  # sample index of the buffer's first row
        self._received = 0  # samples received this run
        self._pending = []  # (window start, onset, marker) in arrival order
        self._ready = []  # epochs cut and not yet emitted, in marker order
        self._early = []  # markers that came before the signal's rate was known
        self._times = None

    def missed(self):
        """Markers of this run that got no epoch: {"dropped": came older than
        the kept signal, "incomplete": the run stopped before their window's end}."""
        return {"dropped": self.dropped, "incomplete": self.incomplete}

    def stop(self):
        super().stop()
        waiting = len(self._pending) + len(self._early)
        if waiting:
            self.incomplete += waiting
            self._pending, self._early = [], []
            self.log(
                f"{self.name or 'Epocher'}: {waiting} marker(s) got no epoch: the signal "
                "stopped before their windows were complete.",
                Constants.LogTypes.WARNING,
            )

    def setup(self, data, context):
        self.dropped = 0
        self.incomplete = 0
        self._reset(None, None)
        self._adopt_context(context.get(self.SIGNAL))
        out = {"rate": self._rate, "tmin": self.config["tmin"], "tmax": self.config["tmax"]}
        channels = (context.get(self.SIGNAL) or {}).get("channels")
        if channels is not None:
            out["channels"] = channels
        return {name: dict(out) for name in self._imp._output_ports}

    def _adopt_context(self, context):
        """Take the rate and t0; False while neither the settings nor the
        context give a rate (the signal's context may be on its way)."""
        keys = self.Configuration.Keys
        if self._rate is not None:
            return True
        if self.config[keys.RATE] is None and (context or {}).get("rate") is None:
            return False
        self._rate = _signal_rate(self, self.config[keys.RATE], context)
        self._t0 = (context or {}).get("t0")
        config = self.config
        start, self._length, self._keep = self.sizes(
            config[keys.TMIN], config[keys.TMAX], config[keys.HISTORY], self._rate
        )
        self._offset = start
        self._times = np.arange(start, start + self._length) / self._rate
        early, self._early = self._early, []
        for marker in early:
            self._add_marker(marker)
        return True

    def step(self, data):
        if self._rate is None:
            # Setup ran before the signal's context came (a marker was first).
            self._adopt_context(self.get_input_port(self.SIGNAL)._context)
        if self.MARKER in data:
            self._add_marker(data[self.MARKER])
        if self.SIGNAL in data:
            if self._rate is None:
                _signal_rate(self, None, None)  # raises: no rate anywhere
            self._add_frame(data[self.SIGNAL])
        ready, self._ready = self._ready, []
        if not ready:
            return None
        # One value per port leaves with the step's result: the earlier
        # epochs go out first, straight through the port.
        port = self.get_output_port(self.EPOCH)
        for epoch in ready[:-1]:
            port.push(epoch)
        return {self.EPOCH: ready[-1]}

    def _add_marker(self, marker):
        if self._rate is None:
            self._early.append(marker)
            return
        label = None
        if isinstance(marker, dict):
            label = marker.get("label")
            labels = self.config[self.Configuration.Keys.LABELS]
            if labels is not None and label not in labels:
                return
            if marker.get("sample") is not None:
                onset = int(marker["sample"])
            elif marker.get("time") is not None:
                onset = self._onset_of(marker["time"])
            else:
                raise ValueError(f"a marker needs 'time' or 'sample', got {marker!r}")
        elif isinstance(marker, numbers.Real) and not isinstance(marker, bool):
            onset = self._onset_of(marker)
        else:
            raise TypeError(f"a marker must be a number or a dict, got {type(marker).__name__}")
        start = onset + self._offset
        if start < self._first:
            self.dropped += 1
            self.log(
                f"Marker {label!r} at sample {onset} is older than the kept signal; dropped.",
                Constants.LogTypes.WARNING,
            )
            return
        self._pending.append((start, onset, marker))
        self._cut_complete()

    def _onset_of(self, t):
        if self._t0 is None:
            raise ValueError("a marker with a time needs the signal's 't0' in its context")
        return round((float(t) - self._t0) * self._rate)

    def _add_frame(self, value):
        frame = _as_frame(value)
        if frame.ndim == 1:
            frame = frame[:, None]
        if self._buffer is None:
            self._buffer = frame.copy()
        else:
            if frame.shape[1:] != self._buffer.shape[1:]:
                raise ValueError(
                    f"frame shape {frame.shape} does not match the earlier frames' "
                    f"{self._buffer.shape[1:]}"
                )
            self._buffer = np.concatenate((self._buffer, frame))
        self._received += frame.shape[0]
        # Before the trim: a window completed now may begin in what it drops.
        self._cut_complete()
        excess = self._buffer.shape[0] - self._keep
        if excess > 0:
            self._buffer = self._buffer[excess:]
            self._first += excess

    def _cut_complete(self):
        """Cut every pending window that the signal has reached the end of."""
        waiting = []
        for start, onset, marker in self._pending:
            if start + self._length <= self._received:
                self._ready.append(self._cut(start, onset, marker))
            else:
                waiting.append((start, onset, marker))
        self._pending = waiting

    def _cut(self, start, onset, marker):
        at = start - self._first
        data = self._buffer[at : at + self._length].copy()
        baseline = self.config[self.Configuration.Keys.BASELINE]
        if baseline is not None:
            mask = (self._times >= baseline[0]) & (self._times < baseline[1])
            if mask.any():
                data -= data[mask].mean(axis=0)
        is_dict = isinstance(marker, dict)
        return {
            "data": data,
            "times": self._times,
            "label": marker.get("label") if is_dict else None,
            "onset": onset,
            "time": marker.get("time") if is_dict else marker,
        }


# ============================================================ averager


class Averager(IONode):
    """The running average of the epochs that arrive on its ASYNC input.

    An epoch is an array or a dict holding one under "data" (as `Epocher`
    emits). With `label` set, only epochs of that label count. After every
    epoch counted the node emits a dict: "mean" (the average so far), "count",
    "times" (the epoch's, when it carries them) and "label". `mean()` and
    `count` give the same between runs. Setup clears the average.
    """

    class Configuration(IONode.Configuration):
        class Keys(IONode.Configuration.Keys):
            LABEL = "label"

        def _set_defaults(self):
            keys = self.Keys
            if self.get(keys.INPUT_PORTS) is None:
                self[keys.INPUT_PORTS] = [
                    {keys.NAME: Constants.Defaults.PORT_IN, keys.TIMING: _ASYNC}
                ]
            self.setdefault(
                keys.OUTPUT_PORTS, [{keys.NAME: Constants.Defaults.PORT_OUT, keys.TIMING: _ASYNC}]
            )
            super()._set_defaults()
            self.setdefault(keys.LABEL, None)

        def validate(self):
            super().validate()
            check_keys(self)
            check_str(self.Keys.LABEL, self[self.Keys.LABEL], allow_none=True, allow_empty=True)

    def __init__(self, **config):
        self._sum = None
        self.count = 0
        self._times = None
        super().__init__(**config)

    def setup(self, data, context):
        self._sum, self.count, self._times = None, 0, None
        incoming = next(iter(context.values()), None) or {}
        return {name: dict(incoming) for name in self._imp._output_ports}

    def mean(self):
        """The average of the epochs counted so far, or None before the first."""
        return None if self._sum is None else self._sum / self.count

    def step(self, data):
        (epoch,) = data.values()
        label = None
        if isinstance(epoch, dict):
            label = epoch.get("label")
            wanted = self.config[self.Configuration.Keys.LABEL]
            if wanted is not None and label != wanted:
                return None
            if epoch.get("times") is not None:
                self._times = epoch["times"]
            epoch = epoch["data"]
        values = np.asarray(epoch, dtype=np.float64)
        if self._sum is None:
            self._sum = values.copy()
        elif values.shape != self._sum.shape:
            raise ValueError(
                f"epoch shape {values.shape} differs from the earlier epochs' {self._sum.shape}"
            )
        else:
            self._sum += values
        self.count += 1
        result = {"mean": self.mean(), "count": self.count, "times": self._times, "label": label}
        return {name: result for name in self._imp._output_ports}


# ============================================================ recordings

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


class Recorder(INode):
    """Records every frame and event it receives to `path` (a numpy ``.npz``).

    Its inputs are configured as for any input node (default: one SYNC port
    "in"); each cycle (a frame of its SYNC inputs, or one event) is recorded
    with its arrival time. The file is written, atomically, when the node
    stops, and holds the latest run; `read_recording` reads it back and
    `Replay` plays it. When it cannot be written, `error` says why (and the
    log has it); the previous file is then left as it was.

    Layout, readable by `numpy.load`: "time" (float64 seconds since the run
    began, one per cycle); per port i, "index_i" (the cycles in which it had
    a value) and "values_i" (its values: one stacked array when they are
    arrays of one shape and dtype, JSON texts when they are plain JSON
    values, pickled objects otherwise); "ports" (JSON text: per port its name,
    timing, how its values are stored and the context it received).
    """

    class Configuration(INode.Configuration):
        class Keys(INode.Configuration.Keys):
            PATH = "path"

        def _set_defaults(self):
            super()._set_defaults()
            self.setdefault(self.Keys.PATH, None)

        def validate(self):
            super().validate()
            check_keys(self)
            check_str(self.Keys.PATH, self[self.Keys.PATH])

    def __init__(self, **config):
        self._lock = threading.Lock()
        self._times, self._cycles, self._contexts = [], [], {}
        self._began = None
        self.error = None  # why the last recording could not be written, if it could not
        super().__init__(**config)

    @property
    def path(self):
        return self.config[self.Configuration.Keys.PATH]

    def start(self):
        with self._lock:
            self._times, self._cycles = [], []
            self._began = time.monotonic()
        super().start()

    def setup(self, data, context):
        self._contexts = {
            name: value if _is_plain(value) else None for name, value in context.items()
        }
        return {}

    def step(self, data):
        with self._lock:
            self._times.append(time.monotonic() - self._began)
            self._cycles.append(dict(data))
        return None

    def stop(self):
        super().stop()
        # A pipeline stops its elements one after the other: a recording that
        # cannot be written must not keep the rest running.
        try:
            self.save()
            self.error = None
        except Exception as e:
            self.error = e
            self.log(f"Recording not written to {self.path}: {e}", Constants.LogTypes.ERROR)

    def _context_of(self, port):
        # What reached the port by now: an event may have run setup before
        # the context of a stream arrived.
        context = getattr(self.get_input_port(port), "_context", None)
        if context is None:
            context = self._contexts.get(port)
        return context if _is_plain(context) else None

    def save(self):
        """Write what this run recorded so far (also done at stop)."""
        keys = self.Configuration.Keys
        ports = [
            {
                "name": entry[keys.NAME],
                "timing": str(entry.get(keys.TIMING, _SYNC)),
                "context": self._context_of(entry[keys.NAME]),
            }
            for entry in self.config[keys.INPUT_PORTS]
        ]
        with self._lock:
            times, cycles = list(self._times), list(self._cycles)
        directory = os.path.dirname(os.path.abspath(self.path))
        os.makedirs(directory, exist_ok=True)
        write_recording(self.path, ports, times, cycles)


class Replay(SampledSource):
    """Plays a recording made by `Recorder` back, cycle for cycle.

    Its output ports are the recorded inputs, with their timing and the
    context they received. With `realtime` true each cycle leaves at its
    recorded time after the start; otherwise as fast as the consumers take
    it. Production ends after the last recorded cycle (`wait()` tells when).

    The recording is read when the replay starts. A recording with pickled
    values plays only with `allow_pickle` true, which a document loaded with
    `allowed_modules` cannot set.
    """

    # Not the sampled source's record: the recorded ports keep their timing.
    class Configuration(ONode.Configuration):
        class Keys(ONode.Configuration.Keys):
            PATH = "path"
            REALTIME = "realtime"
            ALLOW_PICKLE = "allow_pickle"

        def _set_defaults(self):
            keys = self.Keys
            if not isinstance(self.get(keys.PATH), str):
                raise TypeError(f"Replay needs a path (str), got {self.get(keys.PATH)!r}.")
            if self.get(keys.OUTPUT_PORTS) is None:
                # Only the port list, never the values: building runs no
                # code from the file.
                self[keys.OUTPUT_PORTS] = [
                    {keys.NAME: p["name"], keys.TIMING: p["timing"]}
                    for p in recording_ports(self[keys.PATH])
                ]
            super()._set_defaults()
            self.setdefault(keys.REALTIME, True)
            self.setdefault(keys.ALLOW_PICKLE, False)

        def validate(self):
            super().validate()
            if not isinstance(self[self.Keys.REALTIME], bool):
                raise TypeError("realtime must be a bool.")
            allow = self[self.Keys.ALLOW_PICKLE]
            if not isinstance(allow, bool):
                raise TypeError(f"allow_pickle must be a bool, got {allow!r}.")
            if allow and restricted():
                raise ValueError(
                    "allow_pickle cannot be set by a document loaded with allowed_modules: "
                    "unpickling a recording runs code from it."
                )

    def __init__(self, **config):
        self.recording = None
        super().__init__(**config)

    @property
    def rate(self):
        return None

    def setup(self, data, context):
        ports = {p["name"]: p for p in self.recording["ports"]}
        return {
            name: dict(ports.get(name, {}).get("context") or {}) for name in self._imp._output_ports
        }

    def step(self, data):
        return data or None

    def _prepare_run(self):
        keys = self.Configuration.Keys
        self.recording = read_recording(
            self.config[keys.PATH], allow_pickle=self.config[keys.ALLOW_PICKLE]
        )

    def _produce(self, stop):
        imp = self._imp
        cycle = imp._cycle
        realtime = self.config[self.Configuration.Keys.REALTIME]
        running, error = Constants.States.RUNNING, Constants.Conditions.ERROR
        self._go.wait()
        setup_thread = getattr(imp, "_setup_thread", None)
        if setup_thread is not None:
            setup_thread.join()  # an all-ASYNC source runs its setup there
        times, cycles = self.recording["time"], self.recording["cycles"]
        t0 = self.t0 = time.monotonic()
        base = times[0] if times else 0.0
        try:
            for t, data in zip(times, cycles, strict=True):
                if stop.is_set() or imp._state != running or imp._condition == error:
                    return
                if realtime:
                    while (delay := t0 + (t - base) - time.monotonic()) > 0.0:
                        if stop.wait(min(delay, _LONGEST_WAIT)):
                            return
                cycle(dict(data))
        except BaseException as e:
            # As for any sampled source: this thread is the failure's last stop.
            imp.record_failure(e)
            if not isinstance(e, Exception):
                imp._condition = error
            imp.log(msg=e, type=Constants.LogTypes.ERROR)
