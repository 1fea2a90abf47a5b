"""The input side of nodes: frames, events, threads, backlog, contexts."""

import threading
import time

import pytest
from support import wait_until

from flowmesh.constants import Constants
from flowmesh.i_node import INode
from flowmesh.i_port import IPort
from flowmesh.imp import IPortImp
from flowmesh.io_node import IONode
from flowmesh.o_node import ONode
from flowmesh.o_port import OPort

SYNC, ASYNC, INHERITED = Constants.Timing.SYNC, Constants.Timing.ASYNC, Constants.Timing.INHERITED
TIMEOUT = 30.0


def ports(*pairs):
    """input_ports entries from (name, timing) pairs."""
    return [{"name": name, "timing": timing} for name, timing in pairs]


class Recorder(INode):
    """Records every setup and frame, and the thread each ran on."""

    def __init__(self, gate=None, **config):
        self.frames, self.setups, self.log, self.threads = [], [], [], set()
        self.gate = gate  # when set, each step waits for it
        self.in_step = threading.Event()
        super().__init__(**config)

    def setup(self, data, context):
        self.setups.append(context)
        self.log.append("setup")
        return {}

    def step(self, data):
        self.in_step.set()
        if self.gate is not None:
            assert self.gate.wait(TIMEOUT)
        self.threads.add(threading.get_ident())
        self.frames.append(data)
        self.log.append(("step", data))


class Relay(IONode):
    def __init__(self, **config):
        self.setups, self.log = [], []
        self.setup_gate = None
        self.in_setup = threading.Event()
        super().__init__(**config)

    def setup(self, data, context):
        self.in_setup.set()
        if self.setup_gate is not None:
            assert self.setup_gate.wait(TIMEOUT)
        self.setups.append(context)
        self.log.append("setup")
        return {"out": {"via": self.name, "upstream": context}}

    def step(self, data):
        self.log.append(("step", data))
        return {"out": next(iter(data.values()))}


class EventSource(ONode):
    """All-ASYNC outputs: its setup runs on the one-shot setup thread at start."""

    class Configuration(ONode.Configuration):
        def _set_defaults(self):
            self.setdefault(self.Keys.OUTPUT_PORTS, [{"name": "out", "timing": ASYNC}])
            super()._set_defaults()

    def setup(self, data, context):
        return {"out": {"origin": self.name}}

    def step(self, data):
        return data or None

    def emit(self, value):
        self._imp._cycle({"out": value})


def push(node, port, value):
    node.get_input_port(port).push(value)


@pytest.fixture
def started():
    nodes = []

    def start(*more):
        for node in more:
            node.start()
            nodes.append(node)
        return more[0] if len(more) == 1 else more

    yield start
    for node in nodes:
        node.stop()


# ------------------------------------------------------------- frames


def test_frame_completes_when_every_stream_input_holds_an_item(started):
    node = started(Recorder(input_ports=ports(("a", SYNC), ("b", INHERITED))))
    push(node, "a", 1)
    push(node, "a", 2)
    assert node.frames == []
    assert node.get_max_backlog() == 2  # a partial frame is waiting
    push(node, "b", 10)
    assert node.frames == [{"a": 1, "b": 10}]
    assert node.get_max_backlog() == 1
    push(node, "b", 20)
    assert node.frames == [{"a": 1, "b": 10}, {"a": 2, "b": 20}]
    assert node.get_max_backlog() == 0
    assert node.get_counter() == 2


def test_each_event_runs_a_cycle_of_its_own(started):
    node = started(Recorder(input_ports=ports(("s", SYNC), ("e", ASYNC))))
    push(node, "e", "x")
    push(node, "s", 1)
    push(node, "e", "y")
    push(node, "e", "y")
    assert node.frames == [{"e": "x"}, {"s": 1}, {"e": "y"}, {"e": "y"}]


def test_timing_is_the_effective_one():
    # An INHERITED input joined to an ASYNC output is an event input.
    node = Recorder(input_ports=ports(("a", SYNC), ("e", INHERITED)))
    source = EventSource()
    source.connect("out", node, "e")
    node.start()
    try:
        push(node, "e", 5)
        assert node.frames == [{"e": 5}]
    finally:
        node.stop()


def test_items_are_dropped_while_the_node_is_not_running():
    node = Recorder(input_ports=ports(("a", SYNC), ("b", SYNC)))
    push(node, "a", 0)  # not started yet
    node.start()
    push(node, "a", 1)
    node.stop()  # the partial frame goes with the run
    push(node, "b", 2)
    node.start()
    push(node, "b", 3)
    assert node.frames == [] and node.get_max_backlog() == 1
    push(node, "a", 4)
    node.stop()
    assert node.frames == [{"a": 4, "b": 3}]


def test_a_port_of_no_node_drops_what_it_is_pushed():
    assert IPort()._imp.push(1) is None


def test_output_port_feeds_input_ports_directly_and_other_objects_by_push(started):
    node = started(Recorder())
    seen = []

    class Tap(IPortImp):
        def push(self, value):
            seen.append(value)

    source = OPort()._imp
    tap = Tap(IPort.Configuration(name="tap"))
    source.connect(node.get_input_port("in"))
    source.connect(tap)
    for i in range(3):
        source.push(i)
    assert [f["in"] for f in node.frames] == [0, 1, 2]
    assert seen == [0, 1, 2]


def test_get_data_and_get_context_during_a_cycle(started):
    seen = []

    class Probe(Recorder):
        def step(self, data):
            seen.append((self._imp._get_data() is data, self._imp._get_context()))

    node = Probe(input_ports=ports(("a", SYNC), ("b", SYNC)))
    node.get_input_port("a")._context = {"k": 1}
    started(node)
    push(node, "a", 1)
    push(node, "b", 2)
    assert seen == [(True, {"a": {"k": 1}, "b": None})]
    assert node._imp._get_data() == {}  # outside a cycle
    assert node.get_context().input == {"a": {"k": 1}, "b": None}


# ------------------------------------------------------------- threads


def test_cycles_never_overlap_when_fed_from_several_threads(started):
    per_thread = 20_000
    overlaps = []

    class Checker(INode):
        busy = False

        def __init__(self, **config):
            self.received = []
            super().__init__(**config)

        def step(self, data):
            if self.busy:
                overlaps.append(data)
            self.busy = True
            self.received.append(data["in"])
            if len(self.received) % 64 == 0:
                time.sleep(0)  # let the other producer in while this cycle runs
            self.busy = False

    node = started(Checker())
    port = node.get_input_port("in")

    def produce(tag):
        for i in range(per_thread):
            port.push((tag, i))

    producers = [threading.Thread(target=produce, args=(tag,)) for tag in "xy"]
    for t in producers:
        t.start()
    for t in producers:
        t.join()
    assert overlaps == []
    assert len(node.received) == 2 * per_thread
    for tag in "xy":
        assert [i for t, i in node.received if t == tag] == list(range(per_thread))


def test_decoupled_node_queues_and_reports_its_backlog():
    gate = threading.Event()
    node = Recorder(gate=gate, decoupled=True)
    node.start()
    try:
        push(node, "in", 0)
        assert node.in_step.wait(TIMEOUT)  # the worker holds item 0
        for i in range(1, 6):
            push(node, "in", i)
        assert node.get_max_backlog() == 5
        gate.set()
        assert wait_until(lambda: len(node.frames) == 6)
        assert node.get_max_backlog() == 0
    finally:
        node.stop()
    assert [f["in"] for f in node.frames] == list(range(6))
    assert node.threads and threading.get_ident() not in node.threads


def worker_threads():
    return [t for t in threading.enumerate() if t.daemon and t is not threading.current_thread()]


@pytest.mark.parametrize("cls", [Recorder, Relay])
def test_decoupled_start_stop_start_leaves_no_extra_thread(cls):
    before = len(worker_threads())
    node = cls(decoupled=True)
    for run in range(3):
        node.start()
        node.start()  # idempotent
        assert len(worker_threads()) == before + 1
        push(node, "in", run)
        assert wait_until(lambda: node._imp.get_counter() >= run + 1)
        node.stop()
        assert len(worker_threads()) == before
    assert node._imp.get_counter() == 3


def test_batch_failure_reaches_the_pusher_and_the_node_keeps_going(started):
    class Fragile(Recorder):
        def step(self, data):
            if data["in"] == "bad":
                raise RuntimeError("bad item")
            super().step(data)

    node = Fragile()
    node.batch = True
    started(node)
    with pytest.raises(RuntimeError, match="bad item"):
        push(node, "in", "bad")
    push(node, "in", 1)
    assert node.frames == [{"in": 1}]


def test_decoupled_worker_logs_a_batch_failure_and_survives():
    class Fragile(Recorder):
        def step(self, data):
            if data["in"] == "bad":
                raise RuntimeError("bad item")
            super().step(data)

    node = Fragile(decoupled=True)
    node.batch = True
    node.start()
    try:
        push(node, "in", "bad")
        push(node, "in", 1)
        assert wait_until(lambda: node.frames == [{"in": 1}])
    finally:
        node.stop()
    entry = node._imp._logger.get_incident(type=Constants.LogTypes.ERROR)
    assert entry is not None and "bad item" in str(entry["message"])


# ------------------------------------------------------ reset and restart


@pytest.mark.parametrize("cls", [Recorder, Relay])
def test_reset_clears_pending_items_and_contexts(cls, started):
    node = started(cls(input_ports=ports(("a", SYNC), ("b", SYNC))))
    for name in "ab":
        node.get_input_port(name)._context = {"from": name}
    push(node, "a", 1)
    assert node.get_max_backlog() == 1
    node.reset_run_state()
    assert node.get_max_backlog() == 0
    assert node._imp._get_context() == {"a": None, "b": None}
    push(node, "b", 2)
    assert node.get_counter() == 0  # item 1 is gone: no stale frame


@pytest.mark.parametrize("decoupled", [False, True])
def test_input_output_node_restart_leaves_no_stale_input_state(decoupled):
    node = Relay(input_ports=ports(("a", SYNC), ("b", SYNC)), decoupled=decoupled)
    sink = Recorder()
    node.connect("out", sink, "in")
    sink.start()
    node.start()
    push(node, "a", "stale")
    node.stop()
    node.reset_run_state()
    assert node._imp.get_output_port("out")._context is None
    node.start()
    try:
        push(node, "b", "b1")
        push(node, "a", "a1")
        assert wait_until(lambda: len(sink.frames) == 1)
    finally:
        node.stop()
        sink.stop()
    assert node.log[-1] == ("step", {"a": "a1", "b": "b1"})
    assert node.get_counter() == 1


# ------------------------------------------------------------- contexts


def test_context_arriving_before_start_is_handled_at_start():
    source = EventSource(name="src")
    node = Recorder(input_ports=ports(("in", ASYNC)))
    stream_node = Recorder(name="stream")  # a SYNC input: set up by its first frame
    source.connect("out", node, "in")
    source.start()
    try:
        assert wait_until(lambda: node.get_input_port("in")._context is not None)
        assert node.setups == []
        node.start()
        assert node.setups == [{"in": {"origin": "src"}}]
        assert node.get_counter() == 1 and node.frames == []
        stream_node.get_input_port("in")._context = {"origin": "elsewhere"}
        stream_node.start()
        assert stream_node.setups == []
    finally:
        source.stop()
        node.stop()
        stream_node.stop()


@pytest.mark.parametrize("order", ["downstream-first", "source-first"])
def test_event_only_graph_sets_up_once_before_the_first_event(order):
    for _ in range(20):  # start and context delivery race
        source = EventSource(name="src")
        relay = Relay(
            name="relay",
            input_ports=ports(("in", ASYNC)),
            output_ports=[{"name": "out", "timing": ASYNC}],
        )
        sink = Recorder(name="sink", input_ports=ports(("in", INHERITED)))
        source.connect("out", relay, "in")
        relay.connect("out", sink, "in")
        nodes = [source, relay, sink]
        for node in nodes if order == "source-first" else reversed(nodes):
            node.start()
        try:
            assert wait_until(lambda: sink.setups)
            assert sink.frames == []
            source.emit(5)
            assert wait_until(lambda: sink.frames)
        finally:
            for node in nodes:
                node.stop()
        assert relay.setups == [{"in": {"origin": "src"}}]
        assert sink.setups == [{"in": {"via": "relay", "upstream": {"in": {"origin": "src"}}}}]
        assert sink.log == ["setup", ("step", {"in": 5})]


def test_event_waits_for_a_running_setup():
    relay = Relay(input_ports=ports(("in", ASYNC)), output_ports=[{"name": "out", "timing": ASYNC}])
    sink = Recorder(input_ports=ports(("in", ASYNC)))
    relay.connect("out", sink, "in")
    relay.setup_gate = threading.Event()
    sink.start()
    relay.start()
    try:
        port = relay.get_input_port("in")
        port._context = {"origin": "test"}
        deliverer = threading.Thread(target=port._event_handler)  # runs the setup
        deliverer.start()
        assert relay.in_setup.wait(TIMEOUT)
        push(relay, "in", 1)  # arrives while setup runs: queued behind it
        assert relay.log == []
        relay.setup_gate.set()
        deliverer.join(TIMEOUT)
        assert wait_until(lambda: sink.frames)
    finally:
        relay.stop()
        sink.stop()
    assert relay.log == ["setup", ("step", {"in": 1})]
    assert sink.log == ["setup", ("step", {"in": 1})]


# ------------------------------------------------------------ configuration


@pytest.mark.parametrize(
    "entries, error, message",
    [
        ([], ValueError, r"^input_ports must not be empty\.$"),
        (ports(("a", SYNC), ("a", ASYNC)), ValueError, r"^input_ports contain duplicate names\.$"),
        ({"name": "a"}, TypeError, "input_ports"),
    ],
)
@pytest.mark.parametrize("cls", [Recorder, Relay])
def test_unusable_input_port_lists(cls, entries, error, message):
    with pytest.raises(error, match=message):
        cls(input_ports=entries)


def test_input_ports_and_lookup():
    node = Relay(input_ports=ports(("a", SYNC), ("b", ASYNC)))
    imp = node._imp
    assert list(imp._input_ports) == ["a", "b"]
    assert node.get_input_port("b") is imp._input_ports["b"]
    assert type(imp).get_port(imp, "a") is imp._input_ports["a"]
    assert imp.get_output_port("out") is imp._output_ports["out"]
    # The record lists the ports' own records.
    assert all(c is p.config for c, p in zip(node.config["input_ports"], imp._input_ports.values()))
    with pytest.raises(ValueError, match=r"^Input port 'zz' not found\.$"):
        node.get_input_port("zz")
    with pytest.raises(TypeError):
        node.get_input_port(1)
    assert node.is_externally_fed() is False
    assert node.config["decoupled"] is False
