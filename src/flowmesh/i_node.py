"""INode: a node with input ports."""

from enum import StrEnum

from . import imp
from .configuration import check_bool
from .constants import Constants
from .node import Node


class Overflow(StrEnum):
    """What an input queue does with an item that finds it full."""

    BLOCK = "block"  # the delivering thread waits for room
    DROP_OLDEST = "drop_oldest"  # the oldest waiting item makes room
    DROP_NEWEST = "drop_newest"  # the arriving item is dropped


class INode(Node):
    """A node fed through its input ports.

    Ports are declared in the configuration under `input_ports` (a list of
    port configurations: name, type, timing); the default is one SYNC port
    named "in". A cycle runs once every SYNC or INHERITED input holds an item
    (one frame: input-port name to item), and once per item at an ASYNC
    input. By default the cycle runs on the thread that delivered the item
    completing the frame; `decoupled=True` gives the node a worker thread of
    its own, started and stopped with the node. A decoupled worker out of
    work sleeps until the next item comes, and the wake-up costs the
    operating system's latency (tens of microseconds); with
    `anticipate=True` it learns the spacing of a steady stream and polls,
    instead of sleeping, from shortly before each item is due until shortly
    after, so the hand-off takes a few microseconds. The window follows the
    spread of the arrivals it has seen and never exceeds a quarter of their
    spacing: that share of a core is the price. An irregular stream gets
    the plain wait, and so does a worker that may run on one CPU only. A
    failure that no cycle contains (SystemExit, KeyboardInterrupt) on that
    worker is kept as the node's failure and logged as ERROR; it is not
    raised again on any thread, but a pipeline stops the run and
    `Pipeline.raise_if_failed` raises it.

    Items wait in a queue per input while a decoupled node's worker (or
    another thread running the node) is busy. `queue_bound` caps each
    queue (None: one more than `imp.ConstantsImp.BACKLOG_ERROR`, read at
    start, so a backlog still reaches the level at which a pipeline stops
    the run, but no further); `overflow` says what happens to an item that
    finds its queue full (see `Overflow`; default "block"). A blocked
    thread waits with the GIL released until there is room, the node stops,
    or `imp.ConstantsImp.QUEUE_BLOCK_TIMEOUT` seconds pass; a thread that is
    running the node itself never waits. Every item dropped is counted per
    input (`get_dropped()`), and a change of the counts is logged as a
    WARNING, at most once per `imp.ConstantsImp.MONITORING_INTERVAL` per
    input and once more when the node stops.

    Stopping refuses new items (counted as dropped, as is whatever reaches the
    node once stopped), lets the queued ones run for up to
    `imp.ConstantsImp.STOP_DRAIN_TIMEOUT` seconds, and counts what is left
    as dropped, with a WARNING naming the node and the count.
    """

    class Configuration(Node.Configuration):
        __slots__ = ()

        class Keys(Node.Configuration.Keys):
            DECOUPLED = "decoupled"
            ANTICIPATE = "anticipate"
            QUEUE_BOUND = "queue_bound"
            OVERFLOW = "overflow"

        def _set_defaults(self):
            super()._set_defaults()
            keys = self.Keys
            if self.get(keys.INPUT_PORTS) is None:  # absent or None: one SYNC port "in"
                self[keys.INPUT_PORTS] = [
                    {
                        keys.NAME: Constants.Defaults.PORT_IN,
                        keys.TYPE: "Any",
                        keys.TIMING: Constants.Timing.SYNC,
                    }
                ]
            self.setdefault(keys.DECOUPLED, False)
            self.setdefault(keys.ANTICIPATE, False)
            self.setdefault(keys.QUEUE_BOUND, None)
            self.setdefault(keys.OVERFLOW, Overflow.BLOCK)

        def validate(self):
            super().validate()
            check_bool(self.Keys.DECOUPLED, self[self.Keys.DECOUPLED])
            check_bool(self.Keys.ANTICIPATE, self[self.Keys.ANTICIPATE])
            key = self.Keys.QUEUE_BOUND
            bound = self[key]
            if bound is not None:
                if isinstance(bound, bool) or not isinstance(bound, int):
                    raise TypeError(f"{key} must be an int or None, got {type(bound).__name__}.")
                if bound < 1:
                    raise ValueError(f"{key} must be >= 1, got {bound}.")
            key = self.Keys.OVERFLOW
            if self[key] not in tuple(Overflow):
                choices = ", ".join(repr(str(o)) for o in Overflow)
                raise ValueError(f"{key} must be one of {choices}, got {self[key]!r}.")

    def _create_imp(self, config):
        return imp.INodeImp(config)

    def get_input_port(self, name):
        """The implementation object of the input port named `name`."""
        return self._imp.get_input_port(name)

    def get_dropped(self):
        """Input-port name to the number of items its queue dropped in the
        current (or last) run."""
        return self._imp.get_dropped()

    def get_queued(self):
        """Input-port name to the number of items waiting at it."""
        return self._imp.get_queued()

    def get_queue_bound(self):
        """The most items one input queues in the current (or last) run."""
        return self._imp.get_queue_bound()
