"""Recordings: every frame and event a node receives, in a numpy ``.npz``
file (`write_recording`, `read_recording`), written by `Recorder` and played
back by `Replay`."""

import json
import math
import os
import threading
import time

import numpy as np

from ..configuration import check_keys, check_str
from ..constants import Constants
from ..documents import replacing, restricted
from ..i_node import INode
from ..o_node import ONode
from ..sources import _LONGEST_WAIT, SampledSource
from ._common import _SYNC

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
