"""More threads than cores on one graph: pushes racing connects and
disconnects, run control of pipelines, chains and sources from many threads,
ids registered and dropped while others look them up, and nodes failing
together. Outcomes are exact; waits have generous timeouts as safety nets."""

import gc
import sys
import threading

import pytest
from support import Counter, Doubler, wait_until
from test_stress import (
    Counting,
    feeding_a_stable_consumer,
    monitor_threads,
    no_monitor_left,
    run_in_threads,
)

from flowmesh import imp
from flowmesh.constants import Constants
from flowmesh.i_chain import IChain
from flowmesh.i_node import INode
from flowmesh.o_chain import OChain
from flowmesh.pipeline import Pipeline
from flowmesh.portable import Portable
from flowmesh.sources import SampledSource, Sink

pytestmark = [pytest.mark.stress, pytest.mark.usefixtures("fresh_registry")]

States, Conditions, LogTypes = Constants.States, Constants.Conditions, Constants.LogTypes
TIMEOUT = 30.0
THREADS = 8


@pytest.fixture(autouse=True)
def busy_switching(monkeypatch):
    # Threads switch as often as the interpreter allows, so that the calls
    # interleave at every step; the monitor looks often.
    monkeypatch.setattr(imp.ConstantsImp, "MONITORING_INTERVAL", 0.01)
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(previous)


def threads_settle(before, timeout=TIMEOUT):
    """True once no thread is left beyond those in `before`."""
    return wait_until(lambda: not set(threading.enumerate()) - before, timeout)


# ------------------------------------------------ pushes racing the graph


def well_formed(seen, producers, per_producer):
    """Each item once at most, from a real producer, in order per producer."""
    assert len(seen) == len(set(seen))
    for i, k in seen:
        assert 0 <= i < producers and 0 <= k < per_producer
    for i in range(producers):
        got = [k for j, k in seen if j == i]
        assert got == sorted(got)


@pytest.mark.parametrize("stable_decoupled", [False, True])
@pytest.mark.parametrize("churned_decoupled", [False, True])
def test_steady_consumer_loses_nothing_while_others_come_and_go(
    stable_decoupled, churned_decoupled
):
    producers, churners, per_producer = THREADS // 2, THREADS // 2, 600
    sources, stable, produce = feeding_a_stable_consumer(producers, per_producer, stable_decoupled)
    churned = [Counting(name=f"c{j}", decoupled=churned_decoupled) for j in range(churners)]
    done = threading.Event()

    def churn(j):
        # Each churner owns one consumer: connected to every producer, started,
        # then stopped and disconnected, over and over while the pushes go on.
        consumer = churned[j]
        while not done.is_set():
            for s in sources:
                s.connect("out", consumer, "in")
            consumer.start()
            for s in sources:
                s.disconnect("out", consumer, "in")
            consumer.stop()

    raised = []

    def guarded(target, *args):
        try:
            target(*args)
        except BaseException as e:  # noqa: BLE001 - reported to the test
            raised.append(e)
            done.set()

    feeders = [threading.Thread(target=guarded, args=(produce, i)) for i in range(producers)]
    movers = [threading.Thread(target=guarded, args=(churn, j)) for j in range(churners)]
    for t in movers + feeders:
        t.daemon = True
        t.start()
    for t in feeders:
        t.join(TIMEOUT)
    done.set()
    for t in movers:
        t.join(TIMEOUT)
    assert not any(t.is_alive() for t in feeders + movers), "a pusher or churner hung"
    assert raised == []
    total = producers * per_producer
    assert wait_until(lambda: len(stable.seen) >= total, TIMEOUT)
    stable.stop()
    for s in sources:
        s.stop()
    # Connected all along: every frame, once, in order per producer.
    assert len(stable.seen) == total
    well_formed(stable.seen, producers, per_producer)
    for c in churned:
        well_formed(c.seen, producers, per_producer)
        assert c.get_state() == States.STOPPED


def test_pipeline_edits_racing_a_running_pipeline():
    # Consumers connected through the pipeline and disconnected again while
    # its source pushes: the consumer connected from the start sees it all.
    frames = 400
    with Pipeline("") as p:
        src, steady = Counter(name="src", frames=frames), Sink(name="steady")
        p.connect(src, steady)
        extras = [Sink(name=f"extra{j}") for j in range(THREADS - 2)]
        done = threading.Event()

        def churn(sink):
            def body():
                while not done.is_set():
                    p.connect(src, sink)
                    p.disconnect(src, sink)

            return body

        def run():
            try:
                p.start()
                assert steady.wait_for(frames, TIMEOUT)
            finally:
                done.set()

        raised = run_in_threads(run, *[churn(s) for s in extras])
        assert raised == [None] * (len(extras) + 1)
        assert src.wait(TIMEOUT)
        assert steady.values() == list(range(1, frames + 1))
        for s in extras:
            got = s.values()
            assert got == sorted(set(got)) and set(got) <= set(range(1, frames + 1))
    assert no_monitor_left()


# ------------------------------------------------------------ run control


class StartCounted(INode):
    """Counts the starts and stops that reach it."""

    def __init__(self, **config):
        self.lock = threading.Lock()
        self.starts = self.stops = 0
        super().__init__(**config)

    def start(self):
        with self.lock:
            self.starts += 1
        super().start()

    def stop(self):
        with self.lock:
            self.stops += 1
        super().stop()

    def step(self, data):
        pass


class CountedCounter(Counter):
    """Counts the starts that went ahead."""

    def __init__(self, **config):
        self.lock = threading.Lock()
        self.starts = 0
        super().__init__(**config)

    def _prepare_run(self):
        with self.lock:
            self.starts += 1


class CountedChain(IChain):
    def build_nodes(self, config):
        return [Doubler(name="twice"), StartCounted(name="counted")]


class SourceChain(OChain):
    def build_nodes(self, config):
        return [CountedCounter(name="counter", rate=1000), Doubler(name="twice")]


def make_graph(kind):
    """(the object run from many threads, the node counting its starts, its nodes)."""
    if kind == "pipeline":
        p = Pipeline("")
        counted = StartCounted(name="counted")
        p.connect(Counter(name="src", rate=1000), counted)
        return p, counted, p.get_elements()
    if kind == "input chain":
        chain = CountedChain(name="chain")
        return chain, chain.get_nodes()[-1], chain.get_nodes()
    if kind == "output chain":
        chain = SourceChain(name="chain")
        return chain, chain.get_nodes()[0], chain.get_nodes()
    source = CountedCounter(name="src", rate=1000)
    return source, source, [source]


KINDS = ["pipeline", "input chain", "output chain", "source"]


@pytest.mark.parametrize("kind", KINDS)
def test_many_simultaneous_starts_start_once(kind):
    before = set(threading.enumerate())
    target, counted, _ = make_graph(kind)
    assert run_in_threads(*[target.start] * THREADS) == [None] * THREADS
    assert target.get_state() == States.RUNNING
    # One start went ahead; the others found it running or starting.
    assert counted.starts == 1
    sampling = sum(t.name.endswith(" sampling") for t in threading.enumerate())
    assert sampling == (0 if kind == "input chain" else 1)
    assert run_in_threads(target.stop) == [None]
    if hasattr(target, "close"):
        target.close()
    assert target.get_state() == States.STOPPED
    if isinstance(counted, StartCounted):
        assert counted.stops == 1
    assert threads_settle(before), set(threading.enumerate()) - before


@pytest.mark.parametrize("kind", KINDS)
def test_start_stop_close_from_many_threads_end_consistently(kind):
    before = set(threading.enumerate())
    calls = ["start", "stop"] * (THREADS // 2)
    if kind == "pipeline":
        calls[-1] = "close"
    for _ in range(5):
        target, counted, nodes = make_graph(kind)
        raised = run_in_threads(*[getattr(target, c) for c in calls])
        # A start meeting a stop under way may be refused, with the reason.
        for e in raised:
            assert e is None or (isinstance(e, RuntimeError) and "being stopped" in str(e)), e
        assert run_in_threads(getattr(target, "close", target.stop)) == [None]
        assert target.get_state() == States.STOPPED
        for node in nodes:
            assert node.get_state() == States.STOPPED
        # A start not refused went ahead itself or found one that did; every
        # start that went ahead met its stop (a stop may find nothing running).
        accepted = [e for c, e in zip(calls, raised) if c == "start" and e is None]
        assert counted.starts >= (1 if accepted else 0)
        if isinstance(counted, StartCounted):
            assert counted.starts <= counted.stops
    assert threads_settle(before), set(threading.enumerate()) - before
    assert not monitor_threads()


# -------------------------------------------------------------- id registry


class Plain(INode):
    def step(self, data):
        pass


def test_ids_registered_and_dropped_while_others_look_them_up():
    makers, lookers, rounds, batch = THREADS // 2, THREADS // 2, 40, 8
    kept = [[] for _ in range(makers)]
    dropped_ids = [[] for _ in range(makers)]
    done = threading.Event()
    wrong = []

    def make(m):
        def body():
            for r in range(rounds):
                objs = [Plain(name=f"n{m}-{r}-{b}") for b in range(batch)]
                if r % 2:
                    kept[m].extend(objs)
                else:
                    dropped_ids[m].extend(o.id for o in objs)
                    del objs
                    if r % 8 == 0:
                        gc.collect()
            done.set()

        return body

    def look():
        while not done.is_set():
            for m in range(makers):
                for o in list(kept[m]):
                    found = Portable.get_by_id(o.id)
                    if found is not o._imp:
                        wrong.append((o.id, found))
                for i in list(dropped_ids[m]):
                    found = Portable.get_by_id(i)
                    # Dropped: gone, or not yet collected, but never another object.
                    if found is not None and found.config["id"] != i:
                        wrong.append((i, found))

    raised = run_in_threads(*[make(m) for m in range(makers)], *[look] * lookers)
    assert raised == [None] * (makers + lookers)
    assert wrong == []
    gc.collect()
    ids = [o.id for objs in kept for o in objs]
    assert len(set(ids)) == len(ids) == makers * rounds // 2 * batch
    for objs in kept:
        for o in objs:
            assert Portable.get_by_id(o.id) is o._imp
    for ids in dropped_ids:
        assert all(Portable.get_by_id(i) is None for i in ids)
    # Ports are registered too: each port of a live node is found by its id.
    for objs in kept:
        for o in objs:
            port = o._imp._input_ports["in"]
            assert Portable.get_by_id(port.config["id"]) is port


def test_one_id_claimed_by_many_threads_at_once_goes_to_one():
    for _ in range(200):
        Portable.reset()
        made, refused = [], []

        def claim():
            try:
                made.append(Plain(name="n", id="SHARED"))
            except ValueError:
                refused.append(True)

        assert run_in_threads(*[claim] * 6) == [None] * 6
        assert len(made) == 1 and len(refused) == 5
        assert Portable.get_by_id("SHARED") is made[0]._imp


# ---------------------------------------------------------- failing together


class FailsTogether(INode):
    """Raises once all its peers have reached the same frame."""

    barrier = None
    at = 5

    def step(self, data):
        if data["in"] == self.at:
            try:
                self.barrier.wait(TIMEOUT)
            except threading.BrokenBarrierError:
                pass
            raise ValueError(f"{self.name} gave up")


@pytest.mark.parametrize("failing", [2, THREADS - 1])
def test_nodes_failing_at_once_are_each_recorded_once(failing):
    before = set(threading.enumerate())
    p = Pipeline("")
    handled = []
    p.add_error_handler(lambda entry: handled.append(entry["message"]))
    barrier = threading.Barrier(failing)
    src = Counter(name="src", rate=500)
    nodes = []
    for j in range(failing):
        node = FailsTogether(name=f"f{j}", decoupled=True)
        node.barrier = barrier
        p.connect(src, node)
        nodes.append(node)
    p.start()
    assert wait_until(lambda: handled, TIMEOUT), "the failures were never reported"
    assert wait_until(lambda: p.get_state() == States.STOPPED, TIMEOUT)
    assert p.get_condition() == Conditions.ERROR
    # The handlers hear of the run's failure once; each node kept its own.
    assert len(handled) == 1 and handled[0] in {f"f{j} gave up" for j in range(failing)}
    for j, node in enumerate(nodes):
        assert isinstance(node.failure(), ValueError)
        assert str(node.failure()) == f"f{j} gave up"
        assert node.get_state() == States.STOPPED
    errors = [e["message"] for e in p.logger.recent_entries() if e["type"] == LogTypes.ERROR]
    for j in range(failing):
        assert errors.count(f"f{j} gave up") == 1, errors
    with pytest.raises(RuntimeError):
        p.raise_if_failed()
    p.close()
    assert threads_settle(before), set(threading.enumerate()) - before


class Raises(SampledSource):
    def step(self, data):
        raise KeyError(self.name)


def test_sources_failing_at_once_stop_the_run_once():
    before = set(threading.enumerate())
    p = Pipeline("")
    handled = []
    p.add_error_handler(lambda entry: handled.append(entry))
    sources = [Raises(name=f"s{j}", rate=200) for j in range(THREADS - 1)]
    for s in sources:
        p.connect(s, Sink(name=f"to-{s.name}"))
    p.start()
    assert wait_until(lambda: handled, TIMEOUT)
    assert wait_until(lambda: p.get_state() == States.STOPPED, TIMEOUT)
    assert len(handled) == 1
    # A source whose thread had not cycled yet when the run stopped has no failure.
    failures = [s.failure() for s in sources]
    assert all(f is None or isinstance(f, KeyError) for f in failures), failures
    assert any(isinstance(f, KeyError) for f in failures)
    p.close()
    assert threads_settle(before), set(threading.enumerate()) - before


# ------------------------------------------------- the facade's shared state


def test_forwarding_logger_is_set_up_once(monkeypatch):
    import logging as stdlog

    from flowmesh import logging as flog

    target = stdlog.getLogger("flowmesh")
    others = [h for h in target.handlers if type(h) is not stdlog.NullHandler]
    for _ in range(20):
        monkeypatch.setattr(flog, "_forward_to", None)
        monkeypatch.setattr(target, "handlers", list(others))
        got = []
        assert (
            run_in_threads(*[lambda: got.append(flog._std_logger())] * THREADS) == [None] * THREADS
        )
        assert got == [target] * THREADS
        assert sum(type(h) is stdlog.NullHandler for h in target.handlers) == 1


def test_element_classes_registered_from_many_threads(monkeypatch):
    from flowmesh import logging as flog

    monkeypatch.setattr(flog, "_element_classes", ())
    per_thread = 50
    made = [[type(f"C{t}_{k}", (), {}) for k in range(per_thread)] for t in range(THREADS)]

    def register(classes):
        def body():
            for cls in classes:
                flog.register_element_class(cls)
                flog.register_element_class(cls)  # a second time changes nothing

        return body

    assert run_in_threads(*[register(c) for c in made]) == [None] * THREADS
    registered = flog._element_types()
    assert len(registered) == THREADS * per_thread
    assert set(registered) == {cls for classes in made for cls in classes}


def test_updates_published_from_many_threads_reach_a_page_whole_and_the_last_one_last():
    import socket

    streams = imp.StreamsImp(keepalive=60, timeout=60)
    ours, page = socket.socketpair()
    received = bytearray()

    def read():
        page.settimeout(TIMEOUT)
        while not received.endswith(b"<end>"):
            chunk = page.recv(1 << 16)
            if not chunk:
                return
            received.extend(chunk)

    def publish(n):
        def body():
            for k in range(300):
                streams.publish(b"<%d.%d:" % (n, k) + b"y" * (k * 97 % 20_000) + b">")

        return body

    with ours, page:
        client = streams.add(ours, b"")
        reader = threading.Thread(target=read)
        reader.start()
        assert run_in_threads(*[publish(n) for n in range(4)]) == [None] * 4
        streams.publish(b"<end>")
        reader.join(TIMEOUT)
        streams.remove(client)
    assert received.endswith(b"<end>")
    # Never two events interleaved, nor one cut short by a newer one.
    events = bytes(received[: -len(b"<end>")]).split(b">")[:-1]
    assert events
    for event in events:
        head, _, filler = event.partition(b":")
        n, k = map(int, head[1:].split(b"."))
        assert filler == b"y" * (k * 97 % 20_000), (n, k)


def test_pipelines_opened_and_closed_while_others_ask_who_holds_a_node():
    from flowmesh.pipeline import holding_pipelines

    keeper, shared = Pipeline(""), Plain(name="shared")
    keeper.add_node(shared)
    done = threading.Event()
    wrong = []

    def churn():
        for _ in range(150):
            Pipeline("").close()
        done.set()

    def ask():
        while not done.is_set():
            if holding_pipelines(shared) != [keeper]:
                wrong.append(True)

    raised = run_in_threads(*[churn] * (THREADS // 2), *[ask] * (THREADS // 2))
    assert raised == [None] * THREADS and wrong == []
    keeper.close()
    assert holding_pipelines(shared) == []


class Named(Sink):
    """A node whose name is read by the pipeline after its first check for
    the node: both adding threads wait there until the other has come."""

    gate = None

    @property
    def name(self):
        gate = type(self).gate
        if gate is not None:
            try:
                gate.wait(2)
            except threading.BrokenBarrierError:
                pass
        return "named"


@pytest.mark.parametrize("how", ["add_node", "connect"])
def test_one_element_added_from_two_threads_at_once_is_added_once(how):
    p, node = Pipeline(directory=""), Named()
    Named.gate = threading.Barrier(2)
    try:
        if how == "add_node":
            raised = run_in_threads(lambda: p.add_node(node), lambda: p.add_node(node))
            assert sorted(type(e).__name__ for e in raised if e) == ["ValueError"]
        else:
            sources = [Counter(name="a"), Counter(name="b")]
            raised = run_in_threads(*[lambda s=s: p.connect(s, node) for s in sources])
            assert raised == [None, None]
    finally:
        Named.gate = None
    assert [e for e in p.get_elements() if e is node] == [node]
    p.close()
