"""`LSLOutlet`: a sink that publishes its input as an LSL stream."""

import math
import numbers
import socket
import threading

import numpy as np
import pylsl

from ..configuration import (
    MAX_RATE,
    check_bool,
    check_int,
    check_keys,
    check_number,
    check_str,
)
from ..constants import Constants
from ..i_node import INode
from ._common import _declare_stream_ports, _owner
from .metadata import (
    _FORMAT_CODES,
    _STRING,
    MAX_BUFFER,
    MAX_CHUNK,
    MAX_WAIT,
    Metadata,
    _check_channel_count,
    _check_events_format,
    _check_format,
    _check_labels,
    _describe_stream,
    _rated_shape,
)
from .samples import as_event_sample, as_samples

_LogTypes = Constants.LogTypes


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
        __slots__ = ()

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
            stamps = LSLOutlet.TIMESTAMPS if self[keys.TIMESTAMPS] else None
            ports = (Constants.Defaults.PORT_IN, self[keys.EVENTS], stamps)
            _declare_stream_ports(self, keys.INPUT_PORTS, *ports, "LSLOutlet")
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
            _check_channel_count(keys.CHANNEL_COUNT, self[keys.CHANNEL_COUNT])
            _check_labels(keys.CHANNEL_LABELS, self[keys.CHANNEL_LABELS], self[keys.CHANNEL_COUNT])
            _check_format(keys.CHANNEL_FORMAT, self[keys.CHANNEL_FORMAT])
            check_number(keys.RATE, self[keys.RATE], allow_none=True, maximum=MAX_RATE)
            check_int(keys.CHUNK_SIZE, self[keys.CHUNK_SIZE], 0, maximum=MAX_CHUNK)
            check_int(keys.MAX_BUFFERED, self[keys.MAX_BUFFERED], 1, maximum=MAX_BUFFER)
            check_number(keys.WAIT_FOR_CONSUMERS, self[keys.WAIT_FOR_CONSUMERS], maximum=MAX_WAIT)
            _check_events_format("LSLOutlet", self[keys.EVENTS], self[keys.CHANNEL_FORMAT])

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
