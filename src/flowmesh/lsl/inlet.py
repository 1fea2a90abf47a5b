"""`LSLInlet`: a source fed by an LSL stream, pulled by a thread of its own."""

import collections
import math
import threading
import time

import pylsl

from ..clocks import CLOCK_OFFSETS, ClockOffsets
from ..configuration import (
    check_bool,
    check_int,
    check_keys,
    check_number,
    check_str,
)
from ..constants import Constants
from ..held_producer import HeldProducer
from ..o_node import ONode
from ._common import _declare_stream_ports, _owner
from .metadata import (
    _STRING,
    MAX_BUFFER,
    MAX_BUFFER_SAMPLES,
    MAX_CHUNK,
    MAX_WAIT,
    OFFSET_INTERVAL,
    OFFSET_TIMEOUT,
    Metadata,
    _check_channel_count,
    _check_events_format,
    _check_format,
    _describe_stream,
    _rated_shape,
    _same_stream_shape,
    check_stream,
    stream_metadata,
)
from .resolution import _Presence, first_stream, stream_query
from .samples import _event_of

_LogTypes = Constants.LogTypes

# How long one blocking pull may keep a puller thread from seeing a stop request.
_SLICE = 0.1
# A stop waits this long for a puller stuck inside liblsl before leaving it.
_JOIN_TIMEOUT = 5.0
# How long a stream found may take to answer when the search has no time limit.
_ANSWER_TIMEOUT = 10.0
# How often an events inlet busy emitting moves what liblsl holds into its own
# queue, where an overflow is counted (liblsl drops without a word).
_DRAIN = 0.005
# The least time between two warnings about dropped samples.
_LOSS_REPORT = 1.0
# liblsl counts an irregular-rate stream's buffer in hundreds of samples.
_LIBLSL_IRREGULAR_UNIT = 100


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
    liblsl's clock synchronisation and timestamp smoothing. Without
    `time_correction` the timestamps stay on the sender's clock, and the
    context carries a `ClockOffsets` ("clock_offsets") to which the thread
    adds liblsl's offset estimate every `OFFSET_INTERVAL` seconds: a
    `Recorder` writes them into its file, so readers map the stream onto the
    recorder's clock.

    `buffer` seconds of a stream (`buffer_samples` samples of an
    irregular-rate one) wait to be emitted. When events come faster than they
    are emitted for longer than that, the oldest are dropped: `samples_lost`
    counts them and a WARNING says so.

    A stream silent for `lost_after` seconds is looked for on the network:
    while it is still there, the silence is logged once (INFO); when it is
    gone, the node logs a WARNING and picks the
    stream up again when it comes back, through liblsl's recovery when the
    stream has a source id, by resolving it again otherwise; an INFO line says
    so; one that comes back with another shape is refused (ValueError).
    Failures of the thread fail the node like a failing step.
    """

    class Configuration(ONode.Configuration):
        __slots__ = ()

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
            BUFFER_SAMPLES = "buffer_samples"
            LOST_AFTER = "lost_after"

        def _set_defaults(self):
            keys = self.Keys
            self.setdefault(keys.EVENTS, False)
            check_bool(keys.EVENTS, self[keys.EVENTS])
            ports = (Constants.Defaults.PORT_OUT, self[keys.EVENTS], LSLInlet.TIMESTAMPS)
            _declare_stream_ports(self, keys.OUTPUT_PORTS, *ports, "LSLInlet")
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
            # 360 s of events at 1 kHz.
            self.setdefault(keys.BUFFER_SAMPLES, 360_000)
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
            _check_channel_count(keys.CHANNEL_COUNT, self[keys.CHANNEL_COUNT])
            _check_format(keys.CHANNEL_FORMAT, self[keys.CHANNEL_FORMAT])
            for key in (keys.TIME_CORRECTION, keys.DEJITTER):
                check_bool(key, self[key])
            check_int(keys.MAX_SAMPLES, self[keys.MAX_SAMPLES], 1, maximum=MAX_CHUNK)
            check_number(keys.BUFFER, self[keys.BUFFER], strict=True, maximum=MAX_BUFFER)
            check_int(keys.BUFFER_SAMPLES, self[keys.BUFFER_SAMPLES], 1, maximum=MAX_BUFFER_SAMPLES)
            check_number(keys.LOST_AFTER, self[keys.LOST_AFTER], strict=True, maximum=MAX_WAIT)
            _check_events_format("LSLInlet", self[keys.EVENTS], self[keys.CHANNEL_FORMAT])

    TIMESTAMPS = "timestamps"

    def __init__(self, **config):
        self._init_holds()
        # Set once the thread has found the stream (or given up): the setup of
        # an event-only node, which runs on a thread of its own, waits for it.
        self._ready = threading.Event()
        self._ready.set()
        self._metadata = None
        self._lost = 0
        self._offsets = ClockOffsets()
        super().__init__(**config)

    @property
    def metadata(self):
        """The description of the stream in use (see `Metadata`), or None."""
        return self._metadata

    def samples_lost(self):
        """How many samples this run dropped because its buffer was full."""
        return self._lost

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
        self._lost = 0
        self._offsets = ClockOffsets()  # a run's measurements, not an earlier one's
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
        if metadata and not self.config[keys.TIME_CORRECTION]:
            metadata[CLOCK_OFFSETS] = self._offsets
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
        return first_stream(self.query(), stop, timeout)

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
            info, max_buflen=self._buffer(metadata)[0], recover=True, processing_flags=flags
        )
        timeout = config[keys.RESOLVE_TIMEOUT]
        timeout = _ANSWER_TIMEOUT if timeout is None else max(timeout, 1.0)
        try:
            metadata = stream_metadata(info, inlet.info(timeout))
            inlet.open_stream(timeout)
        except pylsl.util.TimeoutError as e:
            raise TimeoutError(f"{owner}: {_describe_stream(metadata)} did not answer.") from e
        return inlet, metadata

    def _buffer(self, metadata):
        """(liblsl's max_buflen, the samples it holds) for the stream of `metadata`."""
        keys = self.Configuration.Keys
        rate = metadata[Metadata.RATE]
        if rate == pylsl.IRREGULAR_RATE:
            unit = _LIBLSL_IRREGULAR_UNIT
            buflen = math.ceil(self.config[keys.BUFFER_SAMPLES] / unit)
            return buflen, buflen * unit
        buflen = math.ceil(self.config[keys.BUFFER])
        return buflen, max(1, math.ceil(buflen * rate))

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
            self._refuse(metadata)
        self.log(
            f"{_owner(self, 'LSLInlet')}: receiving {_describe_stream(metadata)} from "
            f"'{metadata[Metadata.HOSTNAME]}', {_rated_shape(metadata)}.",
            _LogTypes.INFO,
        )
        ready.set()

    def _refuse(self, metadata):
        """Refuse the stream come back as `metadata`, of another shape."""
        raise ValueError(
            f"{_owner(self, 'LSLInlet')} was set up for {_describe_stream(self._metadata)} "
            f"with {_rated_shape(self._metadata)}; the stream now has {_rated_shape(metadata)}."
        )

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
        last_data = drained = clock()
        lost = silent = False
        watch = _Presence(metadata, lost_after)
        # Events wait here, not in liblsl, which drops the oldest unseen when full.
        pending = collections.deque()
        losses = _Losses(self, owner)
        offsets = None if config[keys.TIME_CORRECTION] else self._offsets
        next_offset = clock()
        try:
            while self._healthy(stop):
                if offsets is not None and clock() >= next_offset:
                    _measure_offset(inlet, offsets)
                    next_offset = clock() + OFFSET_INTERVAL
                busy = bool(pending)
                if busy and clock() - drained < _DRAIN:
                    sample, stamp = pending.popleft()
                    cycle({out: _event_of(sample, stamp, string_stream)})
                    continue
                capacity = self._buffer(metadata)[1]
                if inlet.samples_available() >= capacity:
                    losses.liblsl_full(metadata, capacity)
                try:
                    chunk, stamps = inlet.pull_chunk(
                        timeout=0.0 if busy else _SLICE,
                        max_samples=max_samples,
                        min_samples=1,
                        as_numpy=as_numpy,
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
                if len(stamps) < max_samples:  # liblsl has nothing more for now
                    drained = clock()
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
                        room = capacity - len(pending)
                        if len(rows) > room:
                            dropped = len(rows) - room
                            for _ in range(min(dropped, len(pending))):
                                pending.popleft()
                            losses.dropped(metadata, capacity, dropped)
                            rows, stamps = rows[-capacity:], stamps[-capacity:]
                        pending.extend(zip(rows, map(float, stamps)))
                    else:
                        cycle({out: chunk, stamps_port: stamps})
                elif not busy and clock() - last_data >= lost_after:
                    # Lost means gone from the network; a stream still
                    # announced is only silent, which a marker stream may be.
                    present = watch.present()
                    reshaped = watch.reshaped(metadata)
                    if reshaped is not None:
                        self._refuse(reshaped)
                    if not lost and not present:
                        self.log(
                            f"{owner}: {_describe_stream(metadata)} was lost; "
                            "waiting for it to come back.",
                            _LogTypes.WARNING,
                        )
                        lost = True
                    elif not lost and not silent:
                        self.log(
                            f"{owner}: {_describe_stream(metadata)} has sent nothing for "
                            f"{lost_after:g} s; it is still on the network.",
                            _LogTypes.INFO,
                        )
                        silent = True
                losses.report(metadata)
        finally:
            inlet = watch = None
            losses.report(metadata, final=True)


def _measure_offset(inlet, offsets):
    """Add liblsl's estimate of the stream's clock offset to `offsets`; none
    when it cannot tell now (the stream lost, no answer in time): the pull
    deals with a lost stream, and the next look is one interval away."""
    try:
        offset = inlet.time_correction(OFFSET_TIMEOUT)
    except (pylsl.util.TimeoutError, pylsl.util.LostError):
        return
    offsets.add(pylsl.local_clock(), offset)


class _Losses:
    """Counts the samples an inlet drops and says so, at most once per
    `_LOSS_REPORT` seconds while they go on, and once more at the end."""

    def __init__(self, node, owner):
        self._node = node
        self._owner = owner
        self._said = 0  # of the node's count, what was reported
        self._unseen = False  # liblsl's own buffer filled: it drops without counting
        self._capacity = 0
        self._last = -math.inf

    def dropped(self, metadata, capacity, count):
        self._capacity = capacity
        self._node._lost += count
        self.report(metadata)

    def liblsl_full(self, metadata, capacity):
        if not self._unseen:
            self._unseen = True
            self._node.log(
                f"{self._owner}: liblsl's buffer of {capacity} samples of "
                f"{_describe_stream(metadata)} is full; samples beyond it are dropped "
                "uncounted (give the node a larger buffer).",
                _LogTypes.WARNING,
            )

    def report(self, metadata, final=False):
        total = self._node._lost
        if total == self._said:
            return
        now = time.monotonic()
        if not final and now - self._last < _LOSS_REPORT:
            return
        self._last = now
        self._node.log(
            f"{self._owner}: {total - self._said} samples of {_describe_stream(metadata)} "
            f"were dropped, its buffer of {self._capacity} samples being full "
            f"({total} in this run).",
            _LogTypes.WARNING,
        )
        self._said = total
