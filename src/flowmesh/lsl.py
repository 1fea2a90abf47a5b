"""A bridge to the Lab Streaming Layer (LSL): streams between processes and machines.

`LSLInlet` is a source that subscribes to an LSL stream; `LSLOutlet` is a sink
that publishes its input as one. Both are configured with plain JSON values, so
they are saved and loaded with a pipeline like any other node. They need the
optional dependency ``pylsl`` (``pip install 'flowmesh[lsl]'``).

Signals (regular-rate numeric streams) travel as frames: numpy arrays of shape
(samples, channels) in the stream's own dtype. Each frame of an inlet leaves on
the SYNC port "out" together with its samples' LSL timestamps, a 1-D float64
array, on the SYNC port "timestamps"; a node that wants both declares both
inputs and receives them in one cycle.

Events (string and irregular-rate streams, such as markers) travel one sample
per event on the ASYNC port "out" as a dict: ``{"label": text, "time": t}`` for
a one-channel string stream, ``{"value": v, "time": t}`` otherwise (``v`` a
number, or a list with one entry per channel). An outlet publishing events
takes the same dicts, plain strings or numbers; a ``"time"`` becomes the
sample's timestamp.

Timestamps are in seconds on LSL's clock, which on one machine is the
monotonic clock (`time.monotonic`). An inlet passes the sender's timestamps on
untouched unless told otherwise: `time_correction` maps them onto this
machine's clock (needed between machines), `dejitter` smooths them for a
regular-rate stream.

The context an inlet hands downstream describes the stream: "stream_name",
"stream_type", "source_id", "channel_count", "channel_format", "rate" (the
nominal rate in Hz, 0 for an irregular one), "hostname", "channels" when the
stream has channel labels and, for a signal, "t0": the timestamp of the first
sample of the run (a signal's node sets up with its first frame). An outlet
reads "channel_count", "channels", "rate" and "channel_format" from the
context of its input wherever its own configuration leaves them open.

Discovery uses multicast on the local network; see the README's LSL section.
"""

import json
import math
import numbers
import socket
import threading
import time

import numpy as np

try:
    import pylsl
except ImportError as _missing:  # pragma: no cover - depends on the installation
    raise ImportError(
        "flowmesh.lsl needs the pylsl package: pip install 'flowmesh[lsl]'"
    ) from _missing

from .configuration import (
    MAX_RATE,
    Configuration,
    check_bool,
    check_choice,
    check_int,
    check_keys,
    check_list,
    check_number,
    check_str,
)
from .constants import Constants
from .i_node import INode
from .o_node import ONode
from .sources import HeldProducer

__all__ = ["LSLInlet", "LSLOutlet", "Metadata", "FORMATS"]

#: The channel formats of LSL, by the names used in configurations.
FORMATS = ("float32", "double64", "int8", "int16", "int32", "int64", "string")
_FORMAT_CODES = {name: getattr(pylsl, f"cf_{name}") for name in FORMATS}
_FORMAT_NAMES = {code: name for name, code in _FORMAT_CODES.items()}
_STRING = "string"

_Keys = Configuration.Keys
_SYNC = Constants.Timing.SYNC
_ASYNC = Constants.Timing.ASYNC
_LogTypes = Constants.LogTypes

# How long one blocking pull may keep a puller thread from seeing a stop request.
_SLICE = 0.1
# How often a resolution in progress looks for results.
_POLL = 0.02
# A stop waits this long for a puller stuck inside liblsl before leaving it.
_JOIN_TIMEOUT = 5.0

# How long a stream found may take to answer when the search has no time limit.
_ANSWER_TIMEOUT = 10.0

#: The most channels of a stream.
MAX_CHANNELS = 65_536
#: The most samples of a frame pulled or a chunk pushed.
MAX_CHUNK = 1_000_000
#: The longest buffer, in seconds (liblsl keeps that much of a stream).
MAX_BUFFER = 3600
#: The longest wait a setting may ask for, in seconds (a day).
MAX_WAIT = 86_400.0


class Metadata:
    """Keys of the stream description in an inlet's context (read back by outlets)."""

    STREAM_NAME = "stream_name"
    STREAM_TYPE = "stream_type"
    SOURCE_ID = "source_id"
    CHANNEL_COUNT = "channel_count"
    CHANNEL_FORMAT = "channel_format"
    RATE = "rate"
    CHANNELS = "channels"
    HOSTNAME = "hostname"
    T0 = "t0"


class _Event:
    LABEL = "label"
    VALUE = "value"
    TIME = "time"


# ------------------------------------------------------------------ helpers


def _owner(node, kind):
    return f"{kind} '{node.name}'" if node.name else kind


def _check_format(key, value):
    if value is not None:
        check_choice(key, value, FORMATS)


def _check_labels(key, value, count):
    if value is None:
        return
    check_list(key, value)
    for label in value:
        check_str(key, label, allow_empty=True)
    if count is not None and len(value) != count:
        raise ValueError(f"{key} has {len(value)} labels for {count} channels.")


def _declare_ports(config, key, wanted, owner):
    """Set `config[key]` to the ports `wanted` ((name, timing) pairs), keeping
    what was recorded for them (a document keeps the ports' ids). A port that
    is not among them, or one recorded with another timing, is refused."""
    given = config.get(key)
    if given is None:
        given = []
    if not isinstance(given, list):
        raise TypeError(f"{key} must be a list, got {type(given).__name__}.")
    names = [name for name, _ in wanted]
    recorded = {}
    for entry in given:
        if not isinstance(entry, dict):
            raise TypeError(f"{key} entries must be dicts, got {type(entry).__name__}.")
        name = entry.get(_Keys.NAME)
        if name not in names:
            raise ValueError(f"{owner} has the ports {names} in {key}; got {name!r}.")
        recorded[name] = entry
    ports = []
    for name, timing in wanted:
        entry = dict(recorded.get(name, {}))
        entry[_Keys.NAME] = name
        given_timing = entry.setdefault(_Keys.TIMING, timing)
        if given_timing != timing:
            raise ValueError(
                f"{owner} port '{name}' must have timing {timing}, got {given_timing}."
            )
        ports.append(entry)
    config[key] = ports


def _xpath_literal(text):
    """`text` as an XPath 1.0 string literal (which has no escapes)."""
    if "'" not in text:
        return f"'{text}'"
    if '"' not in text:
        return f'"{text}"'
    parts = text.split("'")
    return "concat(" + ', "\'", '.join(f"'{p}'" for p in parts) + ")"


def stream_query(name=None, type=None, source_id=None, predicate=None):
    """The LSL predicate selecting streams with every given property (and, if
    given, matching the XPath `predicate` as well)."""
    terms = [
        f"{prop}={_xpath_literal(value)}"
        for prop, value in (("name", name), ("type", type), ("source_id", source_id))
        if value is not None
    ]
    if predicate is not None:
        terms.append(f"({predicate})" if terms else predicate)
    if not terms:
        raise ValueError("An LSL stream query needs a name, type, source id or predicate.")
    return " and ".join(terms)


def stream_metadata(info, full_info=None):
    """The context entry describing a stream (see `Metadata`); channel labels
    come from `full_info` (the description an inlet retrieves) when given."""
    described = full_info if full_info is not None else info
    metadata = {
        Metadata.STREAM_NAME: info.name(),
        Metadata.STREAM_TYPE: info.type(),
        Metadata.SOURCE_ID: info.source_id(),
        Metadata.CHANNEL_COUNT: info.channel_count(),
        Metadata.CHANNEL_FORMAT: _FORMAT_NAMES.get(info.channel_format(), "undefined"),
        Metadata.RATE: info.nominal_srate(),
        Metadata.HOSTNAME: info.hostname(),
    }
    labels = described.get_channel_labels()
    if labels is not None and all(isinstance(label, str) for label in labels):
        metadata[Metadata.CHANNELS] = list(labels)
    return metadata


def _describe_stream(metadata):
    return (
        f"LSL stream '{metadata[Metadata.STREAM_NAME]}' (type '{metadata[Metadata.STREAM_TYPE]}')"
    )


def _shape_text(count, fmt):
    if count is None and fmt is None:
        return "any stream"
    channels = "any number of" if count is None else str(count)
    noun = "channel" if count == 1 else "channels"
    return f"{channels} {noun} of {fmt or 'any format'}"


def _rated_shape(metadata):
    count, fmt = metadata[Metadata.CHANNEL_COUNT], metadata[Metadata.CHANNEL_FORMAT]
    return f"{_shape_text(count, fmt)} at {metadata[Metadata.RATE]:g} Hz"


def check_stream(metadata, channel_count, channel_format, events, owner):
    """Refuse a stream that the node is not configured for, naming both."""
    actual_count = metadata[Metadata.CHANNEL_COUNT]
    actual_format = metadata[Metadata.CHANNEL_FORMAT]
    wrong_count = channel_count is not None and channel_count != actual_count
    wrong_format = channel_format is not None and channel_format != actual_format
    if wrong_count or wrong_format:
        raise ValueError(
            f"{owner} expects {_shape_text(channel_count, channel_format)}, but "
            f"{_describe_stream(metadata)} has {_shape_text(actual_count, actual_format)}."
        )
    if events:
        return
    if actual_format == _STRING:
        raise ValueError(
            f"{owner} emits frames, but {_describe_stream(metadata)} is a string stream; "
            "set events=True to receive its samples as events."
        )
    if metadata[Metadata.RATE] == pylsl.IRREGULAR_RATE:
        raise ValueError(
            f"{owner} emits frames, but {_describe_stream(metadata)} has an irregular rate; "
            "set events=True to receive its samples as events."
        )


def _same_stream_shape(a, b):
    keys = (Metadata.CHANNEL_COUNT, Metadata.CHANNEL_FORMAT, Metadata.RATE)
    return all(a.get(k) == b.get(k) for k in keys)


# The numpy types of the numeric formats: what a sample's values must fit.
_FORMAT_DTYPES = {
    "float32": np.float32,
    "double64": np.float64,
    "int8": np.int8,
    "int16": np.int16,
    "int32": np.int32,
    "int64": np.int64,
}


def check_representable(array, channel_format, owner):
    """Refuse values that `channel_format` cannot hold (liblsl would wrap
    them silently): NaN, infinities and values out of range for an integer
    format, finite values beyond float32's range for float32."""
    dtype = _FORMAT_DTYPES.get(channel_format)
    if dtype is None or array.dtype.kind == "b" or array.size == 0:
        return
    if np.issubdtype(dtype, np.integer):
        limits = np.iinfo(dtype)
        low, high = limits.min, limits.max
        if array.dtype.kind == "f":
            # max + 1 is a power of two, exact as a float, unlike max itself.
            with np.errstate(invalid="ignore"):
                bad = ~np.isfinite(array) | (array < low) | (array >= high + 1)
        else:
            bad = (array < low) | (array > high)
    elif dtype is np.float32 and array.dtype.kind == "f" and array.dtype.itemsize > 4:
        low, high = -float(np.finfo(np.float32).max), float(np.finfo(np.float32).max)
        with np.errstate(invalid="ignore"):
            bad = np.isfinite(array) & (np.abs(array) > high)
    else:
        return
    if bad.any():
        row, channel = (int(i) for i in np.argwhere(bad)[0])
        raise ValueError(
            f"{owner}: value {array[row, channel].item()!r} on channel {channel} does not fit "
            f"the stream's format {channel_format} ({low:g} .. {high:g})."
        )


def as_samples(value, channel_count, channel_format, owner):
    """A frame as a 2-D array (samples, channels) ready for an outlet.

    A 2-D array is samples x channels, a 1-D one a single sample, a scalar a
    single sample of one channel. `channel_count` None accepts any width.
    """
    array = np.asarray(value)
    if array.ndim == 0:
        array = array.reshape(1, 1)
    elif array.ndim == 1:
        array = array.reshape(1, -1)
    elif array.ndim != 2:
        raise ValueError(
            f"{owner} publishes frames of shape (samples, channels); got {array.ndim} dimensions."
        )
    if channel_count is not None and array.shape[1] != channel_count:
        raise ValueError(
            f"{owner} publishes {_shape_text(channel_count, channel_format)}; got a frame "
            f"of shape {array.shape} ({array.shape[1]} channels)."
        )
    numeric = channel_format != _STRING
    if numeric and array.dtype.kind not in "biuf":
        raise ValueError(
            f"{owner} publishes {_shape_text(channel_count, channel_format)}; got a frame "
            f"of dtype {array.dtype}."
        )
    if not numeric:
        array = array.astype(str)
    else:
        check_representable(array, channel_format, owner)
    return array


def as_event_sample(value, channel_count, channel_format, owner):
    """(sample values, timestamp or 0.0 for "now") of an event for an outlet."""
    stamp = 0.0
    if isinstance(value, dict):
        stamp = value.get(_Event.TIME)
        if stamp is None:
            stamp = 0.0
        elif isinstance(stamp, bool) or not isinstance(stamp, numbers.Real):
            raise TypeError(f"{owner}: an event's time must be a number, got {stamp!r}.")
        if _Event.LABEL in value:
            value = value[_Event.LABEL]
        elif _Event.VALUE in value:
            value = value[_Event.VALUE]
        else:
            raise ValueError(f"{owner}: an event dict needs a 'label' or a 'value', got {value!r}.")
    values = list(value) if isinstance(value, (list, tuple, np.ndarray)) else [value]
    if len(values) != channel_count:
        raise ValueError(
            f"{owner} publishes {_shape_text(channel_count, channel_format)}; got an event "
            f"with {len(values)} values."
        )
    if channel_format == _STRING:
        values = [v if isinstance(v, str) else json.dumps(v, default=str) for v in values]
    else:
        for v in values:
            if isinstance(v, bool) or not isinstance(v, numbers.Real):
                raise ValueError(
                    f"{owner} publishes {_shape_text(channel_count, channel_format)}; got an "
                    f"event value {v!r}."
                )
        check_representable(np.asarray([values]), channel_format, owner)
    return values, float(stamp)


def _event_of(sample, stamp, string_stream):
    """The event an inlet emits for one sample."""
    if string_stream and len(sample) == 1:
        return {_Event.LABEL: sample[0], _Event.TIME: stamp}
    value = sample[0] if len(sample) == 1 else list(sample)
    return {_Event.VALUE: value, _Event.TIME: stamp}


# ------------------------------------------------------------------ inlet


class LSLInlet(HeldProducer, ONode):
    """A source fed by an LSL stream.

    The stream is found by any combination of `stream_name`, `stream_type`,
    `source_id` and an XPath `predicate` (LSL's query language), within
    `resolve_timeout` seconds of the start (at most `MAX_WAIT`; None: until
    the node stops); when none appears, the node fails
    with a TimeoutError naming what it looked for. `channel_count` and
    `channel_format` (when given) must match the stream, or it is refused.

    A thread of the node's own pulls what arrives and emits it at once: with
    `events` False (the default) as frames on "out" and their timestamps on
    "timestamps" (both SYNC; at most `max_samples` samples per frame); with
    `events` True one event per sample on "out" (ASYNC), as string and
    irregular-rate streams need. `time_correction` and `dejitter` turn on
    liblsl's clock synchronisation and timestamp smoothing.

    A stream silent for `lost_after` seconds is looked for on the network:
    while it is still there, the silence is logged once (INFO); when it is
    gone, the node logs a WARNING and picks the
    stream up again when it comes back, through liblsl's recovery when the
    stream has a source id, by resolving it again otherwise; an INFO line says
    so. Failures of the thread fail the node like a failing step.
    """

    class Configuration(ONode.Configuration):
        class Keys(ONode.Configuration.Keys):
            STREAM_NAME = "stream_name"
            STREAM_TYPE = "stream_type"
            SOURCE_ID = "source_id"
            PREDICATE = "predicate"
            RESOLVE_TIMEOUT = "resolve_timeout"
            CHANNEL_COUNT = "channel_count"
            CHANNEL_FORMAT = "channel_format"
            EVENTS = "events"
            TIME_CORRECTION = "time_correction"
            DEJITTER = "dejitter"
            MAX_SAMPLES = "max_samples"
            BUFFER = "buffer"
            LOST_AFTER = "lost_after"

        def _set_defaults(self):
            keys = self.Keys
            self.setdefault(keys.EVENTS, False)
            check_bool(keys.EVENTS, self[keys.EVENTS])
            if self[keys.EVENTS]:
                wanted = [(Constants.Defaults.PORT_OUT, _ASYNC)]
            else:
                wanted = [(Constants.Defaults.PORT_OUT, _SYNC), (LSLInlet.TIMESTAMPS, _SYNC)]
            _declare_ports(self, keys.OUTPUT_PORTS, wanted, "LSLInlet")
            super()._set_defaults()
            for key in (keys.STREAM_NAME, keys.STREAM_TYPE, keys.SOURCE_ID, keys.PREDICATE):
                self.setdefault(key, None)
            self.setdefault(keys.RESOLVE_TIMEOUT, 10.0)
            self.setdefault(keys.CHANNEL_COUNT, None)
            self.setdefault(keys.CHANNEL_FORMAT, None)
            self.setdefault(keys.TIME_CORRECTION, False)
            self.setdefault(keys.DEJITTER, False)
            self.setdefault(keys.MAX_SAMPLES, 1024)
            self.setdefault(keys.BUFFER, 360.0)
            self.setdefault(keys.LOST_AFTER, 2.0)

        def validate(self):
            super().validate()
            check_keys(self)
            keys = self.Keys
            criteria = (keys.STREAM_NAME, keys.STREAM_TYPE, keys.SOURCE_ID, keys.PREDICATE)
            for key in criteria:
                check_str(key, self[key], allow_none=True, allow_empty=True)
            if all(self[key] is None for key in criteria):
                raise ValueError(
                    "LSLInlet needs at least one of stream_name, stream_type, source_id "
                    "or predicate to find its stream."
                )
            # 0 would give up before liblsl's first answer could arrive.
            check_number(
                keys.RESOLVE_TIMEOUT,
                self[keys.RESOLVE_TIMEOUT],
                strict=True,
                allow_none=True,
                maximum=MAX_WAIT,
            )
            check_int(
                keys.CHANNEL_COUNT,
                self[keys.CHANNEL_COUNT],
                1,
                maximum=MAX_CHANNELS,
                allow_none=True,
            )
            _check_format(keys.CHANNEL_FORMAT, self[keys.CHANNEL_FORMAT])
            for key in (keys.TIME_CORRECTION, keys.DEJITTER):
                check_bool(key, self[key])
            check_int(keys.MAX_SAMPLES, self[keys.MAX_SAMPLES], 1, maximum=MAX_CHUNK)
            check_number(keys.BUFFER, self[keys.BUFFER], strict=True, maximum=MAX_BUFFER)
            check_number(keys.LOST_AFTER, self[keys.LOST_AFTER], strict=True, maximum=MAX_WAIT)
            if not self[keys.EVENTS] and self[keys.CHANNEL_FORMAT] == _STRING:
                raise ValueError("LSLInlet: a string stream needs events=True.")

    TIMESTAMPS = "timestamps"

    def __init__(self, **config):
        self._init_holds()
        # Set once the thread has found the stream (or given up): the setup of
        # an event-only node, which runs on a thread of its own, waits for it.
        self._ready = threading.Event()
        self._ready.set()
        self._metadata = None
        super().__init__(**config)

    @property
    def metadata(self):
        """The description of the stream in use (see `Metadata`), or None."""
        return self._metadata

    def query(self):
        """The LSL predicate this node resolves its stream with."""
        keys = self.Configuration.Keys
        config = self.config
        return stream_query(
            config[keys.STREAM_NAME],
            config[keys.STREAM_TYPE],
            config[keys.SOURCE_ID],
            config[keys.PREDICATE],
        )

    # Run control.
    def start(self):
        thread = self._thread
        if thread is not None and thread.is_alive() and not self._stop_event.is_set():
            return
        # Before the base start, which may launch the setup thread that waits on it.
        self._ready = threading.Event()
        super().start()
        self._launch(self._pull, self._ready, name=f"{self.name or 'LSLInlet'} LSL")

    def stop(self):
        if not self._halt(_JOIN_TIMEOUT):
            # liblsl can hold a pull while it recovers a stream; the thread
            # sees the stop request when the call returns and emits nothing.
            self.log(
                f"{_owner(self, 'LSLInlet')}: liblsl has not returned within "
                f"{_JOIN_TIMEOUT:g} s; its thread is left to end by itself.",
                _LogTypes.WARNING,
            )
        super().stop()

    # Handlers.
    def setup(self, data, context):
        keys = self.Configuration.Keys
        # An event-only node sets up on its own thread as soon as it starts.
        timeout = self.config[keys.RESOLVE_TIMEOUT]
        self._ready.wait(None if timeout is None else timeout + _JOIN_TIMEOUT)
        metadata = dict(self._metadata or {})
        stamps = data.get(self.TIMESTAMPS)
        if stamps is not None and len(stamps):  # a signal sets up with its first frame
            metadata[Metadata.T0] = float(stamps[0])
        return {name: dict(metadata) for name in self._imp._output_ports}

    def step(self, data):
        return data or None

    # The thread.
    def _fail(self, error):
        """The node's failure policy, applied to what went wrong on its thread."""
        imp = self._imp
        try:
            imp.record_failure(error)
            imp.log(msg=error, type=_LogTypes.ERROR)
        finally:
            imp._condition = Constants.Conditions.ERROR

    def _healthy(self, stop):
        imp = self._imp
        return (
            not stop.is_set()
            and imp._state == Constants.States.RUNNING
            and imp._condition != Constants.Conditions.ERROR
        )

    def _resolve(self, stop, timeout):
        """The first stream matching the query, looking until `timeout` seconds
        pass (None: until stopped); None when stopped or timed out."""
        # A background resolver, polled: liblsl's queries go out in waves
        # (the first outlet of a machine answers at once, others a round
        # later), which short one-shot resolutions would keep cutting off.
        resolver = pylsl.ContinuousResolver(pred=self.query(), forget_after=5.0)
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            found = resolver.results()
            if found:
                return found[0]
            if deadline is None:
                wait = _POLL
            else:
                wait = min(_POLL, deadline - time.monotonic())
                if wait <= 0:
                    return None
            if stop.wait(wait):
                return None

    def _open(self, info):
        """An inlet on `info` with its metadata, checked against the configuration."""
        keys = self.Configuration.Keys
        config = self.config
        owner = _owner(self, "LSLInlet")
        metadata = stream_metadata(info)
        check_stream(
            metadata,
            config[keys.CHANNEL_COUNT],
            config[keys.CHANNEL_FORMAT],
            config[keys.EVENTS],
            owner,
        )
        flags = pylsl.proc_none
        if config[keys.TIME_CORRECTION]:
            flags |= pylsl.proc_clocksync
        if config[keys.DEJITTER]:
            flags |= pylsl.proc_dejitter | pylsl.proc_monotonize
        inlet = pylsl.StreamInlet(
            info, max_buflen=math.ceil(config[keys.BUFFER]), recover=True, processing_flags=flags
        )
        timeout = config[keys.RESOLVE_TIMEOUT]
        timeout = _ANSWER_TIMEOUT if timeout is None else max(timeout, 1.0)
        try:
            metadata = stream_metadata(info, inlet.info(timeout))
            inlet.open_stream(timeout)
        except pylsl.util.TimeoutError as e:
            raise TimeoutError(f"{owner}: {_describe_stream(metadata)} did not answer.") from e
        return inlet, metadata

    def _connect(self, stop, timeout):
        """Resolve and open the stream; (None, None) when stopped or timed out."""
        info = self._resolve(stop, timeout)
        if info is None:
            return None, None
        return self._open(info)

    def _adopt(self, metadata, ready):
        """Take `metadata` as the stream's description for this run. A run whose
        context has gone downstream already keeps it: a stream that comes back
        with other channels is refused."""
        if self._imp._counter == 0 or self._metadata is None:
            self._metadata = metadata
        elif not _same_stream_shape(self._metadata, metadata):
            owner = _owner(self, "LSLInlet")
            raise ValueError(
                f"{owner} was set up for {_describe_stream(self._metadata)} with "
                f"{_rated_shape(self._metadata)}; the stream now has {_rated_shape(metadata)}."
            )
        self.log(
            f"{_owner(self, 'LSLInlet')}: receiving {_describe_stream(metadata)} from "
            f"'{metadata[Metadata.HOSTNAME]}', {_rated_shape(metadata)}.",
            _LogTypes.INFO,
        )
        ready.set()

    def _pull(self, stop, ready):
        imp = self._imp
        keys = self.Configuration.Keys
        config = self.config
        events = config[keys.EVENTS]
        try:
            timeout = config[keys.RESOLVE_TIMEOUT]
            inlet, metadata = self._connect(stop, timeout)
            if inlet is None:
                if not stop.is_set():
                    raise TimeoutError(
                        f"{_owner(self, 'LSLInlet')}: no LSL stream matching {self.query()} "
                        f"appeared within {timeout:g} s."
                    )
                return
            self._adopt(metadata, ready)
            self._go.wait()
            if events:
                # The first cycle (setup) runs on the node's setup thread.
                setup_thread = getattr(imp, "_setup_thread", None)
                if setup_thread is not None:
                    setup_thread.join()
            self._stream(stop, inlet, metadata)
        except BaseException as e:  # the thread is the last stop of whatever went wrong
            self._fail(e)
        finally:
            # A recorded failure keeps this frame alive through its traceback;
            # the connection must not live on with it.
            inlet = None
            ready.set()

    def _stream(self, stop, inlet, metadata):
        keys = self.Configuration.Keys
        config = self.config
        cycle = self._imp._cycle
        events = config[keys.EVENTS]
        max_samples = config[keys.MAX_SAMPLES]
        lost_after = config[keys.LOST_AFTER]
        out, stamps_port = Constants.Defaults.PORT_OUT, self.TIMESTAMPS
        owner = _owner(self, "LSLInlet")
        string_stream = metadata[Metadata.CHANNEL_FORMAT] == _STRING
        as_numpy = not string_stream
        clock = time.monotonic
        last_data = clock()
        lost = silent = False
        watch = _Presence(metadata, lost_after)
        try:
            while self._healthy(stop):
                try:
                    chunk, stamps = inlet.pull_chunk(
                        timeout=_SLICE, max_samples=max_samples, min_samples=1, as_numpy=as_numpy
                    )
                except pylsl.util.LostError:
                    # No source id: liblsl cannot recover the stream; resolve it again.
                    if not lost:
                        self.log(
                            f"{owner}: {_describe_stream(metadata)} was lost.", _LogTypes.WARNING
                        )
                        lost = True
                    inlet = watch = None
                    inlet, metadata = self._connect(stop, None)
                    if inlet is None:
                        return
                    self._adopt(metadata, threading.Event())
                    watch = _Presence(metadata, lost_after)
                    continue
                if len(stamps):
                    watch.heard()
                    if lost:
                        self.log(f"{owner}: {_describe_stream(metadata)} is back.", _LogTypes.INFO)
                        lost = False
                    elif silent:
                        self.log(
                            f"{owner}: {_describe_stream(metadata)} is sending again.",
                            _LogTypes.INFO,
                        )
                    silent = False
                    last_data = clock()
                    if not self._healthy(stop):
                        return
                    if events:
                        rows = chunk.tolist() if as_numpy else chunk
                        for sample, stamp in zip(rows, stamps):
                            cycle({out: _event_of(sample, float(stamp), string_stream)})
                    else:
                        cycle({out: chunk, stamps_port: stamps})
                elif not lost and clock() - last_data >= lost_after:
                    # Lost means gone from the network; a stream still
                    # announced is only silent, which a marker stream may be.
                    if not watch.present():
                        self.log(
                            f"{owner}: {_describe_stream(metadata)} was lost; "
                            "waiting for it to come back.",
                            _LogTypes.WARNING,
                        )
                        lost = True
                    elif not silent:
                        self.log(
                            f"{owner}: {_describe_stream(metadata)} has sent nothing for "
                            f"{lost_after:g} s; it is still on the network.",
                            _LogTypes.INFO,
                        )
                        silent = True
        finally:
            inlet = watch = None


class _Presence:
    """Whether a stream is still announced on the network, asked of a
    background resolver so that the pulling thread never waits for it. The
    resolver runs only while the stream is silent: its queries are traffic,
    and its wake-ups cost a real-time process on a busy machine."""

    # liblsl hears from a stream once per wave of queries, up to a second
    # apart on a busy machine: a resolver that forgets sooner than this
    # finds a stream that is there gone between two waves.
    FORGET_AT_LEAST = 2.0

    def __init__(self, metadata, forget_after):
        self._query = stream_query(
            name=metadata[Metadata.STREAM_NAME],
            type=metadata[Metadata.STREAM_TYPE],
            source_id=metadata[Metadata.SOURCE_ID],
        )
        self._forget_after = max(forget_after, self.FORGET_AT_LEAST)
        self._resolver = None
        self._since = 0.0

    def present(self):
        if self._resolver is None:
            self._resolver = pylsl.ContinuousResolver(
                pred=self._query, forget_after=self._forget_after
            )
            self._since = time.monotonic()
        # A young resolver has not heard back yet: give it its forgetting time.
        if time.monotonic() - self._since < self._forget_after:
            return True
        return bool(self._resolver.results())

    def heard(self):
        """The stream spoke: no need to look for it."""
        self._resolver = None


# ------------------------------------------------------------------ outlet


class LSLOutlet(INode):
    """A sink that publishes its input as an LSL stream.

    The stream is named `stream_name` (default: the node's name, else
    "flowmesh"), of type `stream_type`, with source id `source_id` (default:
    derived from the host and the stream's name and type, so that a restarted
    publisher is recognised by its subscribers). `channel_count`,
    `channel_labels`, `rate` (nominal, Hz; 0 for irregular) and
    `channel_format` come from the configuration or, where it leaves them
    None, from the context of the input ("channel_count", "channels", "rate",
    "channel_format"), or from the first frame for the channel count.

    With `events` False (the default) the input "in" (SYNC) takes frames
    (samples x channels; a 1-D array is one sample); each frame is pushed as
    one chunk. With `timestamps` True a second SYNC input "timestamps" takes
    the frames' sample timestamps, which are passed on; otherwise LSL stamps
    a frame's last sample with the time of the push. With `events` True the
    input "in" is ASYNC and every event is one sample of an irregular-rate
    string stream (unless configured otherwise); see the module's docs for
    the forms an event may take.

    The outlet exists while the node runs and disappears at stop. When the
    configuration gives `channel_count` and `rate` (or `events` is True) it
    appears at start, from the configuration alone; otherwise at the first
    frame, from the configuration and the input's context (and in later runs
    at start, with the same shape).
    `wait_for_consumers` > 0 makes the outlet's creation (in `start`, or at
    the first frame) wait up to that many seconds for a subscriber, so that no
    early sample goes unheard. `chunk_size` and
    `max_buffered` are handed to liblsl.
    """

    class Configuration(INode.Configuration):
        class Keys(INode.Configuration.Keys):
            STREAM_NAME = "stream_name"
            STREAM_TYPE = "stream_type"
            SOURCE_ID = "source_id"
            CHANNEL_COUNT = "channel_count"
            CHANNEL_LABELS = "channel_labels"
            CHANNEL_FORMAT = "channel_format"
            RATE = "rate"
            EVENTS = "events"
            TIMESTAMPS = "timestamps"
            CHUNK_SIZE = "chunk_size"
            MAX_BUFFERED = "max_buffered"
            WAIT_FOR_CONSUMERS = "wait_for_consumers"

        def _set_defaults(self):
            keys = self.Keys
            self.setdefault(keys.EVENTS, False)
            self.setdefault(keys.TIMESTAMPS, False)
            for key in (keys.EVENTS, keys.TIMESTAMPS):
                check_bool(key, self[key])
            if self[keys.EVENTS] and self[keys.TIMESTAMPS]:
                raise ValueError(
                    "LSLOutlet: events carry their own time; timestamps=True is for frames."
                )
            if self[keys.EVENTS]:
                wanted = [(Constants.Defaults.PORT_IN, _ASYNC)]
            else:
                wanted = [(Constants.Defaults.PORT_IN, _SYNC)]
                if self[keys.TIMESTAMPS]:
                    wanted.append((LSLOutlet.TIMESTAMPS, _SYNC))
            _declare_ports(self, keys.INPUT_PORTS, wanted, "LSLOutlet")
            super()._set_defaults()
            for key in (
                keys.STREAM_NAME,
                keys.SOURCE_ID,
                keys.CHANNEL_COUNT,
                keys.CHANNEL_LABELS,
                keys.CHANNEL_FORMAT,
                keys.RATE,
            ):
                self.setdefault(key, None)
            self.setdefault(keys.STREAM_TYPE, "")
            self.setdefault(keys.CHUNK_SIZE, 0)
            self.setdefault(keys.MAX_BUFFERED, 360)
            self.setdefault(keys.WAIT_FOR_CONSUMERS, 0.0)

        def validate(self):
            super().validate()
            check_keys(self)
            keys = self.Keys
            check_str(keys.STREAM_NAME, self[keys.STREAM_NAME], allow_none=True)
            check_str(keys.SOURCE_ID, self[keys.SOURCE_ID], allow_none=True, allow_empty=True)
            check_str(keys.STREAM_TYPE, self[keys.STREAM_TYPE], allow_empty=True)
            check_int(
                keys.CHANNEL_COUNT,
                self[keys.CHANNEL_COUNT],
                1,
                maximum=MAX_CHANNELS,
                allow_none=True,
            )
            _check_labels(keys.CHANNEL_LABELS, self[keys.CHANNEL_LABELS], self[keys.CHANNEL_COUNT])
            _check_format(keys.CHANNEL_FORMAT, self[keys.CHANNEL_FORMAT])
            check_number(keys.RATE, self[keys.RATE], allow_none=True, maximum=MAX_RATE)
            check_int(keys.CHUNK_SIZE, self[keys.CHUNK_SIZE], 0, maximum=MAX_CHUNK)
            check_int(keys.MAX_BUFFERED, self[keys.MAX_BUFFERED], 1, maximum=MAX_BUFFER)
            check_number(keys.WAIT_FOR_CONSUMERS, self[keys.WAIT_FOR_CONSUMERS], maximum=MAX_WAIT)
            if not self[keys.EVENTS] and self[keys.CHANNEL_FORMAT] == _STRING:
                raise ValueError("LSLOutlet: a string stream needs events=True.")

    TIMESTAMPS = "timestamps"

    def __init__(self, **config):
        # Held while the outlet is created, used or dropped: a frame that
        # arrives as the node stops must not bring the outlet back.
        self._lock = threading.Lock()
        self._open = False
        self._outlet = None
        self._shape = None  # (count, labels, rate, format) once known
        super().__init__(**config)

    @property
    def stream_name(self):
        return self.config[self.Configuration.Keys.STREAM_NAME] or self.name or "flowmesh"

    @property
    def source_id(self):
        keys = self.Configuration.Keys
        given = self.config[keys.SOURCE_ID]
        if given is not None:
            return given
        return f"flowmesh@{socket.gethostname()}:{self.stream_name}:{self.config[keys.STREAM_TYPE]}"

    def have_consumers(self):
        """Whether a subscriber is connected to the outlet now."""
        outlet = self._outlet
        return outlet is not None and outlet.have_consumers()

    # Run control.
    def start(self):
        super().start()
        with self._lock:
            self._open = True
            if self._configured():
                self._shape = self._configured_shape()
            if self._shape is not None and self._shape[0] is not None:
                self._create()
            outlet = self._outlet
        if outlet is not None:
            self._await_consumers(outlet)

    def stop(self):
        with self._lock:
            self._open = False
            self._outlet = None  # the stream disappears with the last reference
        super().stop()

    # Handlers.
    def setup(self, data, context):
        incoming = context.get(Constants.Defaults.PORT_IN) or {}
        outlet = None
        with self._lock:
            if self._outlet is None:
                self._shape = self._configured_shape(incoming)
                if self._shape[0] is not None:
                    outlet = self._create()
        if outlet is not None:
            self._await_consumers(outlet)
        return {}

    def step(self, data):
        value = data.get(Constants.Defaults.PORT_IN)
        if value is None:
            return None
        keys = self.Configuration.Keys
        owner = _owner(self, "LSLOutlet")
        events = self.config[keys.EVENTS]
        with self._lock:
            if self._shape is None:
                self._shape = self._configured_shape()
            count, _, _, fmt = self._shape
            if events:
                sample, stamp = as_event_sample(value, count, fmt, owner)
            else:
                samples = as_samples(value, count, fmt, owner)
                stamps = data.get(self.TIMESTAMPS)
                if stamps is not None:
                    stamps = np.asarray(stamps, dtype=np.float64).reshape(-1)
                    if len(stamps) != len(samples):
                        raise ValueError(
                            f"{owner}: a frame of {len(samples)} samples came with "
                            f"{len(stamps)} timestamps."
                        )
                    stamps = stamps.tolist()
                if count is None:
                    self._shape = (samples.shape[1], *self._shape[1:])
            outlet = self._outlet
            if outlet is None:
                outlet = self._create()
                if outlet is None:
                    return None
                fresh = True
            else:
                fresh = False
        if fresh:
            # Outside the lock: a stop must not wait for a subscriber.
            self._await_consumers(outlet)
        with self._lock:
            if self._outlet is not outlet:
                return None  # stopped meanwhile
            if events:
                outlet.push_sample(sample, stamp)
            elif stamps is None:
                outlet.push_chunk(samples)
            else:
                outlet.push_chunk(samples, stamps)
        return None

    def _await_consumers(self, outlet):
        wait = self.config[self.Configuration.Keys.WAIT_FOR_CONSUMERS]
        if wait > 0:
            outlet.wait_for_consumers(wait)

    def _configured(self):
        """Whether the configuration alone fixes the stream's shape."""
        keys = self.Configuration.Keys
        config = self.config
        return config[keys.EVENTS] or (
            config[keys.CHANNEL_COUNT] is not None and config[keys.RATE] is not None
        )

    def _configured_shape(self, incoming=None):
        """(channel count, labels, rate, format) from the configuration, the
        gaps filled from the input's context."""
        keys = self.Configuration.Keys
        config = self.config
        incoming = incoming or {}
        events = config[keys.EVENTS]
        labels = config[keys.CHANNEL_LABELS]
        if labels is None:
            labels = incoming.get(Metadata.CHANNELS)
            if not (isinstance(labels, list) and all(isinstance(v, str) for v in labels)):
                labels = None
        count = config[keys.CHANNEL_COUNT]
        if count is None:
            count = incoming.get(Metadata.CHANNEL_COUNT)
            if isinstance(count, bool) or not isinstance(count, int) or count < 1:
                count = len(labels) if labels else (1 if events else None)
        if labels is not None and count is not None and len(labels) != count:
            labels = None  # labels that do not fit the channels describe something else
        rate = config[keys.RATE]
        if rate is None:
            rate = incoming.get(Metadata.RATE)
            valid = isinstance(rate, numbers.Real) and not isinstance(rate, bool)
            if events or not valid or not math.isfinite(rate) or rate < 0:
                rate = pylsl.IRREGULAR_RATE
        fmt = config[keys.CHANNEL_FORMAT]
        if fmt is None:
            fmt = incoming.get(Metadata.CHANNEL_FORMAT)
            if fmt not in _FORMAT_CODES or (fmt == _STRING) != events:
                fmt = _STRING if events else "float32"
        return count, labels, float(rate), fmt

    def _create(self):
        """Create the outlet (the lock is held); None while the node is stopped."""
        if not self._open:
            return None
        keys = self.Configuration.Keys
        count, labels, rate, fmt = self._shape
        info = pylsl.StreamInfo(
            self.stream_name,
            self.config[keys.STREAM_TYPE],
            count,
            rate,
            _FORMAT_CODES[fmt],
            self.source_id,
        )
        if labels:
            info.set_channel_labels(labels)
        self._outlet = pylsl.StreamOutlet(
            info, self.config[keys.CHUNK_SIZE], self.config[keys.MAX_BUFFERED]
        )
        description = {Metadata.STREAM_NAME: self.stream_name}
        description[Metadata.STREAM_TYPE] = self.config[keys.STREAM_TYPE]
        shape = {Metadata.CHANNEL_COUNT: count, Metadata.CHANNEL_FORMAT: fmt, Metadata.RATE: rate}
        self.log(
            f"{_owner(self, 'LSLOutlet')}: publishing {_describe_stream(description)}, "
            f"{_rated_shape(shape)}, source id '{self.source_id}'.",
            _LogTypes.INFO,
        )
        return self._outlet
