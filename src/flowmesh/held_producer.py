"""Sources that produce on threads of their own, held back while a pipeline
starts: the mixin such a source takes (`HeldProducer`) and the hold a
pipeline puts on them (`production_held`)."""

import threading


class HeldProducer:
    """Mixin of a source that produces on a thread of its own, which waits for
    `_go` before its first frame. A pipeline holds such sources while it starts
    its elements, so that the first frames do not reach consumers that are not
    running yet; stopping sets `_go` so that a waiting thread can end."""

    # What a run's stop request is made of: anything with set, is_set and
    # wait(timeout), as threading.Event has.
    _stop_event_type = threading.Event

    def _init_holds(self):
        self._thread = None
        self._stop_event = threading.Event()
        self._stop_event.set()
        self._go = threading.Event()
        self._go.set()
        # Holders of `_go` (starts running on several threads at once): the
        # source produces once the last of them lets go.
        self._holds = 0
        self._holds_lock = threading.Lock()

    def _hold(self):
        with self._holds_lock:
            self._holds += 1
            self._go.clear()

    def _release(self):
        with self._holds_lock:
            self._holds -= 1
            if self._holds <= 0:
                self._holds = 0
                self._go.set()

    def _launch(self, target, *args, name):
        """Start this run's producing thread as `target(stop_event, *args)`.
        A fresh event per run: a thread of an earlier run never sees it cleared."""
        self._stop_event = self._stop_event_type()
        self._thread = threading.Thread(
            target=target, args=(self._stop_event, *args), name=name, daemon=True
        )
        self._thread.start()

    def _halt(self, timeout=None):
        """Ask the producing thread to end and wait for it (never on itself);
        False when it is still running after `timeout` seconds."""
        self._stop_event.set()
        self._go.set()
        thread = self._thread
        if thread is None or thread is threading.current_thread():
            return True
        thread.join(timeout)
        return not thread.is_alive()

    def wait(self, timeout=None):
        """Wait for the producing thread to end (stopped, finished or failed);
        True if it has."""
        thread = self._thread
        if thread is None:
            return True
        thread.join(timeout)
        return not thread.is_alive()


def _with_internal_nodes(elements):
    # A chain's sources are as much the graph's as any added element.
    for element in elements:
        yield element
        get_nodes = getattr(element, "get_nodes", None)
        if get_nodes is not None:
            yield from _with_internal_nodes(get_nodes())


class production_held:  # noqa: N801 (used as a function: `with production_held(...)`)
    """Holds the sources among `elements` (and inside their chains) that
    produce on threads of their own (`HeldProducer`s) back from producing
    until the block ends, so that a whole graph can be started in any order
    without its first frames reaching consumers that are not running yet.

    A class rather than a generator under contextlib's decorator, which a
    plain pipeline would import for this alone."""

    __slots__ = ("_held",)

    def __init__(self, elements):
        self._held = [e for e in _with_internal_nodes(elements) if isinstance(e, HeldProducer)]

    def __enter__(self):
        held, self._held = self._held, []
        try:
            for source in held:
                source._hold()
                self._held.append(source)
        except BaseException:
            self.__exit__()  # no hold outlives a failed start of the block
            raise
        return self

    def __exit__(self, *exc):
        held, self._held = self._held, []
        for source in held:
            source._release()
        return False
