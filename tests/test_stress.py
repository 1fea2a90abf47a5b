"""Several threads at once: run control from many threads, stops from inside
steps, and pushes racing connects, disconnects, starts and stops. Every wait
has a timeout that fails the test; every frame is counted."""

import sys
import threading
import time

import pytest
from support import Counter, wait_until

from flowmesh import imp
from flowmesh.constants import Constants
from flowmesh.i_node import INode
from flowmesh.o_node import ONode
from flowmesh.pipeline import Pipeline
from flowmesh.sources import SampledSource, Sink

pytestmark = pytest.mark.stress

States, Conditions, LogTypes = Constants.States, Constants.Conditions, Constants.LogTypes
TIMEOUT = 30.0


@pytest.fixture(autouse=True)
def short_interval(monkeypatch):
    monkeypatch.setattr(imp.ConstantsImp, "MONITORING_INTERVAL", 0.01)


def run_in_threads(*targets, timeout=TIMEOUT):
    """Runs each callable on its own thread, all released at once; returns
    what each raised (None when it returned). Fails on a thread that hangs."""
    barrier = threading.Barrier(len(targets))
    raised = [None] * len(targets)

    def body(i, target):
        barrier.wait(timeout)
        try:
            target()
        except BaseException as e:  # noqa: BLE001 - reported to the test
            raised[i] = e

    threads = [
        threading.Thread(target=body, args=(i, t), daemon=True) for i, t in enumerate(targets)
    ]
    for t in threads:
        t.start()
    deadline = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "a run-control call hung"
    return raised


def monitor_threads():
    return [
        t for t in threading.enumerate() if "_monitoring_fun" in repr(getattr(t, "_target", ""))
    ]


def no_monitor_left(timeout=TIMEOUT):
    return wait_until(lambda: not monitor_threads(), timeout)


def log_lines(p):
    return [m for _, m in p._imp._logger.entries] if hasattr(p._imp._logger, "entries") else []


# ------------------------------------------------------------- run control


@pytest.mark.parametrize("starters", [2, 3, 6])
def test_concurrent_starts_run_once(starters):
    with Pipeline("") as p:
        src, sink = Counter(name="src", frames=20), Sink(name="sink")
        p.connect(src, sink)
        started = []
        p._imp._logger.write = wrap_write(
            p._imp._logger.write, started, "Monitoring thread started..."
        )
        raised = run_in_threads(*[p.start] * starters)
        assert raised == [None] * starters
        assert sink.wait_for(20, TIMEOUT)
        assert src.wait(TIMEOUT)
        time.sleep(0.05)  # a second production would have begun by now
        assert sink.values() == list(range(1, 21))
        assert run_in_threads(p.stop) == [None]
    assert no_monitor_left()
    # Each monitoring thread says so first thing; only once all have ended has
    # every one of them had its say.
    assert len(started) == 1


def wrap_write(write, seen, text):
    def hooked(type=None, message=None):
        if message == text:
            seen.append(threading.current_thread())
        return write(type=type, message=message)

    return hooked


@pytest.mark.parametrize(
    "calls",
    [
        ("start", "stop"),
        ("stop", "start"),
        ("start", "stop", "stop"),
        ("start", "start", "stop", "close"),
        ("close", "start"),
        ("start", "close", "close"),
    ],
)
def test_run_control_races_end_consistently(calls):
    # Switching threads as often as the interpreter allows makes the calls
    # interleave at every step rather than once in a while.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        run_races(calls)
    finally:
        sys.setswitchinterval(previous)


def run_races(calls):
    for _ in range(10):
        p = Pipeline("")
        src, sink = Counter(name="src", rate=2000), Sink(name="sink")
        p.connect(src, sink)
        p.add_node(Sluggish(name="slow"))  # widens the windows the calls race in
        raised = run_in_threads(*[getattr(p, c) for c in calls])
        # A start racing a stop may be refused, with a clear reason; nothing else.
        for e in raised:
            assert e is None or (isinstance(e, RuntimeError) and "being stopped" in str(e)), e
        assert run_in_threads(p.close) == [None]
        assert p.get_state() == States.STOPPED
        assert src.get_state() == sink.get_state() == States.STOPPED
    assert no_monitor_left()


class Sluggish(INode):
    """Takes a few milliseconds to start and to stop."""

    def start(self):
        time.sleep(0.003)
        super().start()
        time.sleep(0.003)

    def stop(self):
        time.sleep(0.003)
        super().stop()
        time.sleep(0.003)

    def step(self, data):
        pass


class StopsPipelineDuringStart(INode):
    """An element whose start has another thread stop the pipeline."""

    pipeline = None
    hook = None

    def start(self):
        super().start()
        t = threading.Thread(target=self.hook, args=(self.pipeline,))
        t.start()
        t.join(TIMEOUT)
        assert not t.is_alive()

    def step(self, data):
        pass


@pytest.mark.parametrize("hook", ["stop", "close"])
def test_stop_during_start_is_not_lost(hook):
    p = Pipeline("")
    node = StopsPipelineDuringStart(name="n")
    node.pipeline, node.hook = p, getattr(Pipeline, hook)
    p.add_node(node)
    p.start()
    # The stop that came in while starting was carried out once started.
    assert p.get_state() == States.STOPPED
    assert node.get_state() == States.STOPPED
    assert run_in_threads(p.close) == [None]
    assert no_monitor_left()


def test_stop_between_running_and_clearing_the_stop_event():
    p = Pipeline("")
    p.add_node(Counter(name="src", rate=100))
    logger = p._imp._logger
    write = logger.write
    stopped = []

    def hooked(type=None, message=None):
        write(type=type, message=message)
        if message == "Pipeline started." and not stopped:
            # Another thread stops right after RUNNING was set.
            stopped.append(run_in_threads(p.stop))

    logger.write = hooked
    p.start()
    assert stopped == [[None]]
    assert wait_until(lambda: p.get_state() == States.STOPPED, TIMEOUT)
    assert run_in_threads(p.close) == [None]
    assert no_monitor_left()


class FailsThenStops(SampledSource):
    """A step that logs an error, waits until the monitoring thread is
    stopping the run for it, then stops (or closes) the pipeline itself."""

    pipeline = None
    action = "stop"

    def step(self, data):
        self.log("sensor unplugged", type=LogTypes.ERROR)
        assert wait_until(lambda: self.pipeline.get_condition() == Conditions.ERROR, TIMEOUT)
        time.sleep(0.05)  # the monitoring thread is inside stop() by now
        getattr(self.pipeline, self.action)()
        return {}


@pytest.mark.parametrize("action", ["stop", "close"])
@pytest.mark.parametrize("then", ["close", "stop"])
def test_step_stopping_the_pipeline_while_the_monitor_stops_it(then, action):
    p = Pipeline("")
    src = FailsThenStops(name="src", rate=100)
    src.pipeline, src.action = p, action
    handled = []
    p.add_error_handler(lambda entry: handled.append(entry["message"]))
    p.add_node(src)
    p.start()
    assert wait_until(lambda: handled, TIMEOUT)
    assert run_in_threads(getattr(p, then)) == [None]
    assert handled == ["sensor unplugged"]
    assert p.get_state() == States.STOPPED
    p.close()
    assert no_monitor_left()


# ------------------------------------------------------- threads that die


class Interrupting(INode):
    exc = KeyboardInterrupt

    def step(self, data):
        raise self.exc("from step")


class InterruptingSource(SampledSource):
    exc = SystemExit

    def step(self, data):
        raise self.exc("from source")


@pytest.mark.parametrize("exc", [SystemExit, KeyboardInterrupt, GeneratorExit])
@pytest.mark.parametrize("where", ["decoupled", "source", "consumer-on-producer"])
def test_base_exception_on_an_element_thread_fails_the_run(exc, where):
    p = Pipeline("")
    handled = []
    p.add_error_handler(lambda entry: handled.append(entry))
    if where == "decoupled":
        src = Counter(name="src", rate=200)
        bad = type("Bad", (Interrupting,), {"exc": exc})(name="bad", decoupled=True)
        p.connect(src, bad)
    elif where == "source":
        bad = type("Bad", (InterruptingSource,), {"exc": exc})(name="bad", rate=200)
        p.add_node(bad)
    else:
        src = Counter(name="src", rate=200)
        bad = type("Bad", (Interrupting,), {"exc": exc})(name="bad")
        p.connect(src, bad)
        bad = src  # the failure leaves the consumer's cycle on the source's thread
    p.start()
    assert wait_until(lambda: handled, TIMEOUT), "the failure was never reported"
    assert p.get_state() == States.STOPPED
    assert p.get_condition() == Conditions.ERROR
    assert isinstance(bad.failure(), exc)
    assert bad.get_condition() == Conditions.ERROR
    with pytest.raises(RuntimeError) as info:
        p.raise_if_failed()
    assert isinstance(info.value.__cause__, exc)
    p.close()
    assert no_monitor_left()


# ---------------------------------------------------------- data under load


class Tagged(ONode):
    """A source driven by the test: `emit(value)` runs one cycle."""

    def setup(self, data, context):
        return {"out": {}}

    def step(self, data):
        return data

    def emit(self, value):
        self._imp._cycle({"out": value})


class Counting(INode):
    def __init__(self, **config):
        self.seen = []
        self.lock = threading.Lock()
        super().__init__(**config)

    def setup(self, data, context):
        return {}

    def step(self, data):
        with self.lock:
            self.seen.append(data["in"])


def feeding_a_stable_consumer(producers, per_producer, decoupled):
    """Started sources, a started consumer connected to them all, and
    `produce(i)`, which sends source i's `per_producer` items (i, k)."""
    sources = [Tagged(name=f"p{i}") for i in range(producers)]
    stable = Counting(name="stable", decoupled=decoupled)
    for s in sources:
        s.connect("out", stable, "in")
        s.start()
    stable.start()

    def produce(i):
        for k in range(per_producer):
            sources[i].emit((i, k))

    return sources, stable, produce


@pytest.mark.parametrize("decoupled", [False, True])
def test_pushes_racing_connects_and_restarts(decoupled):
    producers, per_producer = 4, 1500
    sources, stable, produce = feeding_a_stable_consumer(producers, per_producer, decoupled)
    flaky = Counting(name="flaky")
    done = threading.Event()

    def churn_connections():
        while not done.is_set():
            for s in sources:
                s.connect("out", flaky, "in")
            for s in sources:
                s.disconnect("out", flaky, "in")

    def churn_runs():
        while not done.is_set():
            flaky.start()
            time.sleep(0.001)
            flaky.stop()

    workers = [threading.Thread(target=produce, args=(i,), daemon=True) for i in range(producers)]
    churners = [threading.Thread(target=f, daemon=True) for f in (churn_connections, churn_runs)]
    for t in workers + churners:
        t.start()
    for t in workers:
        t.join(TIMEOUT)
    done.set()
    for t in churners:
        t.join(TIMEOUT)
    assert not any(t.is_alive() for t in workers + churners)
    assert wait_until(lambda: len(stable.seen) >= producers * per_producer, TIMEOUT)
    stable.stop()
    flaky.stop()
    # Nothing lost or doubled at the stable consumer; each producer's order kept.
    assert len(stable.seen) == len(set(stable.seen)) == producers * per_producer
    for i in range(producers):
        assert [k for j, k in stable.seen if j == i] == list(range(per_producer))
    # The flaky consumer saw each item at most once, in order per producer.
    assert len(flaky.seen) == len(set(flaky.seen))
    for i in range(producers):
        got = [k for j, k in flaky.seen if j == i]
        assert got == sorted(got)
    for s in sources:
        s.stop()
