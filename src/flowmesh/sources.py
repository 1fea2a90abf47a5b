"""Ready-made ends of a graph: a clocked source, an event source and a sink.

`SampledSource` produces frames on a thread of its own at a fixed rate (or as
fast as it can); `EventSource` emits whenever the client calls `trigger`;
`Sink` collects whatever reaches it. Subclass the sources and define `step`
(and, for contexts other than empty ones, `setup`).
"""

import threading
import time

from .configuration import Configuration, check_int, check_keys, check_number
from .constants import Constants
from .held_producer import HeldProducer
from .i_node import INode
from .imp.vertex import StopFlag, _sample_frames
from .o_node import ONode

# The longest single wait a lock accepts, with a margin for the clock's
# resolution.
_LONGEST_WAIT = threading.TIMEOUT_MAX / 2


def _ports_with_timing(ports, timing, owner):
    """Copies of the output-port entries with `timing` filled in; an entry that
    asks for another timing is refused, since the source could not honour it."""
    if ports is None:
        ports = [{Configuration.Keys.NAME: Constants.Defaults.PORT_OUT}]
    if not isinstance(ports, list):
        return ports  # the output node reports the wrong type
    result = []
    for entry in ports:
        entry = dict(entry)
        given = entry.setdefault(Configuration.Keys.TIMING, timing)
        if given != timing:
            raise ValueError(f"{owner} output ports must have timing {timing}, got {given}.")
        result.append(entry)
    return result


class RunControl:
    """Start and stop of one element, safe from any thread, with a pipeline's
    guarantees: while one thread starts, a start on another is skipped and a
    stop is carried out by the starting thread once the start completes;
    while one thread stops, a stop on another returns at once (that thread
    finishes the job) and a start raises RuntimeError. The lock is held only
    to decide, never while the element starts or stops, so a start or stop
    from the element's own threads cannot deadlock."""

    def __init__(self):
        self._lock = threading.Lock()
        self._phase = None  # "starting" or "stopping", while a thread does it
        self._stop_requested = False

    def start(self, name, begin, end, running):
        """Run `begin()` unless the element is `running()` or starting, then
        `end()` if a stop came meanwhile; True when this call started it."""
        with self._lock:
            if self._phase == "stopping":
                raise RuntimeError(
                    f"{name} is being stopped; start it again once stop() has returned."
                )
            if self._phase == "starting" or running():
                return False
            self._phase = "starting"
        try:
            begin()
        except BaseException:
            with self._lock:
                self._phase, self._stop_requested = None, False
            raise
        with self._lock:
            self._phase = None
            stop, self._stop_requested = self._stop_requested, False
        if stop:
            self.stop(end)
        return True

    def stop(self, end):
        """Run `end()`, or leave it to the thread that starts or stops now."""
        with self._lock:
            if self._phase == "starting":
                self._stop_requested = True
                return
            if self._phase == "stopping":
                return
            self._phase = "stopping"
        try:
            end()
        finally:
            with self._lock:
                self._phase = None


class SampledSource(HeldProducer, ONode):
    """A source clocked by its own thread.

    `rate` is the frame rate in Hz (None or 0: as fast as possible); frame k is
    due at t0 + k / rate on the monotonic clock, so a late frame delays only
    itself. `frames` ends production after that many frames of a run (None:
    until stopped). Each frame is one cycle of the node: the first one runs
    setup, every one calls `step({})`, whose result maps output ports to values.

    A failure that leaves a cycle on the producing thread (a batch node's
    exception, or SystemExit / KeyboardInterrupt from this source's `step` or
    from a consumer's `step` run on this thread) ends production: it is kept
    as the source's failure and logged as ERROR, so that a pipeline stops the
    run and `Pipeline.raise_if_failed` raises it in the client's thread.
    """

    class Configuration(ONode.Configuration):
        __slots__ = ()

        class Keys(ONode.Configuration.Keys):
            RATE = "rate"
            FRAMES = "frames"

        def _set_defaults(self):
            self[self.Keys.OUTPUT_PORTS] = _ports_with_timing(
                self.get(self.Keys.OUTPUT_PORTS), Constants.Timing.SYNC, "SampledSource"
            )
            super()._set_defaults()
            self.setdefault(self.Keys.RATE, None)
            self.setdefault(self.Keys.FRAMES, None)

        def validate(self):
            super().validate()
            check_keys(self)
            check_number(self.Keys.RATE, self[self.Keys.RATE], allow_none=True)
            check_int(self.Keys.FRAMES, self[self.Keys.FRAMES], 0, allow_none=True)

    # The frame loop reads the stop request without calling into Python.
    _stop_event_type = StopFlag

    def __init__(self, **config):
        self._init_holds()
        self._control = RunControl()
        # When frame 0 of the current run was due, on the monotonic clock; a
        # step can stamp its frames from it.
        self.t0 = None
        super().__init__(**config)

    @property
    def rate(self):
        """Frames per second (None: as fast as possible)."""
        return self.config[self.Configuration.Keys.RATE]

    def start(self):
        """Start the node and its sampling thread (see `RunControl` for calls
        from several threads). Refused from the sampling thread itself (a step
        that stops and restarts the run): it would have to outlive itself."""
        if self._thread is threading.current_thread():
            raise RuntimeError(
                f"{self.name} cannot be started from its own sampling thread (a step that "
                "stops and starts the run); start it again from another thread."
            )
        self._control.start(self.name, self._begin, self._end, self._producing)

    def stop(self):
        """Stop the sampling thread (waiting for it, unless called on it), then the node."""
        self._control.stop(self._end)

    def _producing(self):
        thread = self._thread
        return thread is not None and thread.is_alive() and not self._stop_event.is_set()

    def _prepare_run(self):
        """Called when a start goes ahead, before the node starts."""

    def _begin(self):
        self._prepare_run()
        super().start()
        self._launch(self._produce, name=f"{self.name} sampling")

    def _end(self):
        self._halt()
        super().stop()

    def _produce(self, stop):
        """The sampling thread's body (`stop`: this run's StopFlag). A subclass
        may redefine it with a loop of its own."""
        imp = self._imp
        keys = self.Configuration.Keys
        rate = self.config[keys.RATE]
        frames = self.config[keys.FRAMES]
        period = 1.0 / rate if rate else 0.0
        self._go.wait()
        t0 = self.t0 = time.monotonic()
        try:
            _sample_frames(imp, stop, t0, period, frames)
        except BaseException as e:
            # Batch mode lets failures leave the cycle, and no cycle contains
            # SystemExit or KeyboardInterrupt: this thread is their last stop.
            # They are kept and logged as ERROR, so a pipeline's monitoring
            # thread stops the run and `raise_if_failed` raises them later;
            # they are not raised again here, where nobody would see them.
            imp.record_failure(e)
            if not isinstance(e, Exception):
                imp._condition = Constants.Conditions.ERROR
            imp.log(msg=e, type=Constants.LogTypes.ERROR)


class EventSource(ONode):
    """A source that emits when told to.

    Its outputs are ASYNC, so its first cycle (setup and the delivery of its
    context downstream) runs on the one-shot setup thread at start. Afterwards
    `trigger(value, port)` runs one cycle with `{port: value}`; the default
    `step` passes that through as the output.
    """

    class Configuration(ONode.Configuration):
        __slots__ = ()

        def _set_defaults(self):
            self[self.Keys.OUTPUT_PORTS] = _ports_with_timing(
                self.get(self.Keys.OUTPUT_PORTS), Constants.Timing.ASYNC, "EventSource"
            )
            super()._set_defaults()

        def validate(self):
            super().validate()
            check_keys(self)

    def __init__(self, **config):
        # Reentrant: a step that triggers its own source nests instead of deadlocking.
        self._trigger_lock = threading.RLock()
        self._joined_setup_thread = None
        super().__init__(**config)
        self._default_port = next(iter(self._imp._output_ports))

    def step(self, data):
        """Pass the triggered value through to the output port."""
        return data or None

    def trigger(self, value, port=None):
        """Emit `value` on `port` (default: the first output port). Dropped
        while the node is stopped."""
        imp = self._imp
        if port is None:
            port = self._default_port
        elif port not in imp._output_ports:
            raise ValueError(f"Output port '{port}' not found.")
        setup_thread = getattr(imp, "_setup_thread", None)
        if (
            setup_thread is not None
            and setup_thread is not self._joined_setup_thread
            and setup_thread is not threading.current_thread()
        ):
            # Setup runs once, on its thread; an early event waits for it.
            setup_thread.join()
            self._joined_setup_thread = setup_thread
        with self._trigger_lock:
            imp._cycle({port: value})


class Sink(INode):
    """Collects every frame that reaches it (a dict input-port name -> value).

    `callback(frame)`, if given, is called on the delivering thread after the
    frame is stored. `context` holds what the sink's setup received.
    """

    class Configuration(INode.Configuration):
        __slots__ = ()

        def validate(self):
            super().validate()
            check_keys(self)

    def __init__(self, callback=None, **config):
        self._frames = []
        self._arrived = threading.Condition()
        self.callback = callback
        self.context = None
        super().__init__(**config)

    def setup(self, data, context):
        self.context = context
        return {}

    def step(self, data):
        """Store the frame and wake whoever waits for it; then the callback."""
        with self._arrived:
            self._frames.append(data)
            self._arrived.notify_all()
        if self.callback is not None:
            self.callback(data)
        return None

    @property
    def frames(self):
        """A snapshot of the frames received so far, in arrival order."""
        with self._arrived:
            return list(self._frames)

    def values(self, port=Constants.Defaults.PORT_IN):
        """The values that arrived on `port`, in arrival order."""
        return [frame[port] for frame in self.frames if port in frame]

    def clear(self):
        """Forget the frames received so far."""
        with self._arrived:
            self._frames.clear()

    def wait_for(self, count, timeout=None):
        """Wait until at least `count` frames have arrived; True if they have."""
        with self._arrived:
            return self._arrived.wait_for(lambda: len(self._frames) >= count, timeout)
