"""End-to-end data flow on real threads: sources, input-output nodes, sinks."""

import json
import os
import pathlib
import subprocess
import sys
import threading
import time

import pytest
from support import wait_until

import flowmesh
from flowmesh import imp
from flowmesh.constants import Constants
from flowmesh.io_chain import IOChain
from flowmesh.io_node import IONode
from flowmesh.logging import Logger
from flowmesh.pipeline import Pipeline
from flowmesh.sources import EventSource, SampledSource, Sink

TIMEOUT = 30.0
ASYNC = Constants.Timing.ASYNC


def start_downstream_first(*nodes):
    for node in reversed(nodes):
        node.start()


def stop_all(*nodes):
    for node in nodes:
        node.stop()


class Counter(SampledSource):
    """Emits its frame number; its context names it."""

    def setup(self, data, context):
        return {"out": {"origin": self.name}}

    def step(self, data):
        return {"out": self.get_counter()}


class Relay(IONode):
    """Passes values on and appends its name to the context's path."""

    def setup(self, data, context):
        self.setups = getattr(self, "setups", 0) + 1
        upstream = context.get("in") or {}
        return {"out": {**upstream, "path": [*upstream.get("path", []), self.name]}}

    def step(self, data):
        return {"out": data["in"]}


def chain(n_relays, frames=None, rate=None, decoupled=(), events=False):
    """source -> relays -> sink; with `events`, an event source and ASYNC ports throughout."""
    if events:
        source = EventSource(name="source")
        ports = {
            "input_ports": [{"name": "in", "timing": ASYNC}],
            "output_ports": [{"name": "out", "timing": ASYNC}],
        }
        relays = [Relay(name=f"relay{i}", **ports) for i in range(n_relays)]
        sink = Sink(name="sink", input_ports=ports["input_ports"])
    else:
        source = Counter(name="source", frames=frames, rate=rate)
        relays = [Relay(name=f"relay{i}", decoupled=i in decoupled) for i in range(n_relays)]
        sink = Sink(name="sink")
    nodes = [source, *relays, sink]
    for upstream, downstream in zip(nodes, nodes[1:]):
        upstream.connect("out", downstream, "in")
    return nodes


@pytest.mark.parametrize("decoupled", [(), (1,)], ids=["push-through", "one-decoupled"])
def test_every_frame_arrives_once_and_in_order(decoupled):
    n = 10_000
    nodes = chain(3, frames=n, decoupled=decoupled)
    sink = nodes[-1]
    start_downstream_first(*nodes)
    try:
        assert sink.wait_for(n, TIMEOUT)
        assert nodes[0].wait(TIMEOUT)
    finally:
        stop_all(*nodes)
    assert sink.values() == list(range(n))
    assert [relay.get_counter() for relay in nodes[1:-1]] == [n] * 3


@pytest.mark.parametrize("source_first", [False, True])
def test_setup_sees_the_contexts_delivered_to_its_inputs(source_first):
    nodes = chain(2, rate=500)
    sink = nodes[-1]
    for node in nodes if source_first else reversed(nodes):
        node.start()
    try:
        assert sink.wait_for(3, TIMEOUT)
    finally:
        stop_all(*nodes)
    assert sink.context == {"in": {"origin": "source", "path": ["relay0", "relay1"]}}
    assert nodes[2].get_context().input == {"in": {"origin": "source", "path": ["relay0"]}}


@pytest.mark.parametrize("source_first", [False, True])
def test_event_only_graph_gets_its_context_before_the_first_event(source_first):
    nodes = chain(2, events=True)
    source, *relays, sink = nodes
    for node in nodes if source_first else reversed(nodes):
        node.start()
    try:
        assert wait_until(lambda: sink.context is not None)
        assert sink.frames == []
        assert sink.context == {"in": {"path": ["relay0", "relay1"]}}
        source.trigger(7)
        assert sink.wait_for(1, TIMEOUT)
    finally:
        stop_all(*nodes)
    assert sink.values() == [7]
    assert [relay.setups for relay in relays] == [1, 1]


def test_two_input_node_gets_complete_frames_and_each_event_once():
    n_frames, n_events = 3_000, 500
    sampled = Counter(name="sampled", frames=n_frames, rate=20_000)
    events = EventSource(name="events")
    sink = Sink(name="merge", input_ports=[{"name": "a"}, {"name": "e", "timing": ASYNC}])
    sampled.connect("out", sink, "a")
    events.connect("out", sink, "e")
    start_downstream_first(sampled, events, sink)
    try:
        for i in range(n_events):
            events.trigger(i)
        assert sink.wait_for(n_frames + n_events, TIMEOUT)
    finally:
        stop_all(sampled, events, sink)
    frames = sink.frames
    assert all(set(frame) in ({"a"}, {"e"}) for frame in frames)
    assert sink.values("a") == list(range(n_frames))
    assert sink.values("e") == list(range(n_events))


class Fragile(IONode):
    def setup(self, data, context):
        self.calls = 0
        return {"out": {}}

    def step(self, data):
        self.calls += 1
        if data["in"] == 5:
            raise ZeroDivisionError("frame 5 is cursed")
        return {"out": data["in"]}


def test_failing_node_stops_alone_and_is_logged_with_its_name():
    n = 300
    source = Counter(name="source", frames=n)
    fragile, relay = Fragile(name="fragile"), Relay(name="relay")
    after_fragile, after_relay = Sink(name="after_fragile"), Sink(name="after_relay")
    source.connect("out", fragile, "in")
    source.connect("out", relay, "in")
    fragile.connect("out", after_fragile, "in")
    relay.connect("out", after_relay, "in")
    nodes = [source, fragile, relay, after_fragile, after_relay]
    logger = Logger("")
    for node in nodes:
        node.set_logger(logger)
    start_downstream_first(*nodes)
    try:
        assert after_relay.wait_for(n, TIMEOUT)
        assert source.wait(TIMEOUT)
    finally:
        stop_all(*nodes)
        logger.stop()
    assert after_relay.values() == list(range(n))
    assert after_fragile.values() == list(range(5))
    assert fragile.calls == 6
    assert fragile.get_condition() == Constants.Conditions.ERROR
    assert isinstance(fragile.failure(), ZeroDivisionError)
    assert relay.get_condition() == Constants.Conditions.HEALTHY
    entry = logger.get_incident(type=Constants.LogTypes.ERROR)
    assert entry["source"]["instance"] == "fragile"
    assert "frame 5 is cursed" in str(entry["message"])


class Stamped(SampledSource):
    """Records when each frame ran; frame `slow` takes `delay` seconds."""

    def __init__(self, slow=None, delay=0.0, **config):
        self.times, self.slow, self.delay = [], slow, delay
        super().__init__(**config)

    def step(self, data):
        self.times.append(time.monotonic())
        if len(self.times) - 1 == self.slow:
            time.sleep(self.delay)
        return {"out": len(self.times)}


def test_rate_paces_frames_without_running_early():
    rate, frames = 100, 30
    source = Stamped(rate=rate, frames=frames)
    source.start()
    assert source.wait(TIMEOUT)
    source.stop()
    times = [t - source.times[0] for t in source.times]
    assert len(times) == frames
    assert all(t >= k / rate - 0.01 for k, t in enumerate(times))
    assert times[-1] < (frames - 1) / rate + 1.0


def test_late_frame_does_not_shift_later_ones():
    # 20 Hz, frame 1 takes 0.3 s: the frames it made late run back to back and
    # the last one is still due at 0.45 s (0.75 s if lateness accumulated;
    # the bound between leaves the most room for a busy machine's delays).
    source = Stamped(rate=20, frames=10, slow=1, delay=0.3)
    source.start()
    assert source.wait(TIMEOUT)
    source.stop()
    assert 0.44 <= source.times[-1] - source.times[0] < 0.72


def test_stop_is_prompt_at_low_rate_and_restart_resumes():
    source = Counter(name="slow", rate=0.2)  # one frame every 5 s
    sink = Sink()
    source.connect("out", sink, "in")
    start_downstream_first(source, sink)
    assert sink.wait_for(1, TIMEOUT)
    thread = source._thread
    assert thread.daemon
    began = time.monotonic()
    source.stop()
    assert time.monotonic() - began < 2.0
    assert not thread.is_alive()
    assert source.get_state() == Constants.States.STOPPED

    source.start()
    try:
        assert sink.wait_for(2, TIMEOUT)
    finally:
        stop_all(source, sink)
    assert sink.values() == [0, 1]


class Guarded(EventSource):
    """Notes any cycle that overlaps another."""

    def __init__(self, **config):
        self.inside, self.overlaps = False, 0
        super().__init__(**config)

    def step(self, data):
        if self.inside:
            self.overlaps += 1
        self.inside = True
        time.sleep(0)
        self.inside = False
        return super().step(data)


def test_concurrent_triggers_lose_nothing_and_never_overlap():
    per_thread = 5_000
    source = Guarded()
    sink = Sink(input_ports=[{"name": "in", "timing": ASYNC}])
    source.connect("out", sink, "in")
    start_downstream_first(source, sink)
    try:
        go = threading.Barrier(2)

        def fire(tag):
            go.wait()
            for i in range(per_thread):
                source.trigger((tag, i))

        threads = [threading.Thread(target=fire, args=(tag,)) for tag in "ab"]
        for t in threads:
            t.start()
        for t in threads:
            t.join(TIMEOUT)
        assert sink.wait_for(2 * per_thread, TIMEOUT)
    finally:
        stop_all(source, sink)
    values = sink.values()
    for tag in "ab":
        assert [i for t, i in values if t == tag] == list(range(per_thread))
    assert source.overlaps == 0
    assert source.get_counter() == 2 * per_thread + 1  # the setup cycle counts too


def test_trigger_during_setup_waits_for_it():
    setups = []

    class SlowSetup(EventSource):
        def setup(self, data, context):
            setups.append(threading.current_thread())
            time.sleep(0.2)
            return {"out": {"ready": True}}

    source = SlowSetup()
    sink = Sink(input_ports=[{"name": "in", "timing": ASYNC}])
    sink.callback = lambda frame: setups.append(sink.context)
    source.connect("out", sink, "in")
    start_downstream_first(source, sink)
    try:
        source.trigger("early")
        assert sink.wait_for(1, TIMEOUT)
    finally:
        stop_all(source, sink)
    assert sink.values() == ["early"]
    setup_thread, context_at_frame = setups
    assert setup_thread is not threading.current_thread()
    assert context_at_frame == {"in": {"ready": True}}


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda: SampledSource(rate=-1), ValueError),
        (lambda: SampledSource(rate="fast"), TypeError),
        (lambda: SampledSource(frames=1.5), TypeError),
        (lambda: SampledSource(output_ports=[{"name": "out", "timing": ASYNC}]), ValueError),
        (
            lambda: EventSource(output_ports=[{"name": "out", "timing": Constants.Timing.SYNC}]),
            ValueError,
        ),
        (lambda: EventSource().trigger(1, port="nope"), ValueError),
    ],
)
def test_misconfigured_sources_are_refused(make, error):
    with pytest.raises(error):
        make()


@pytest.mark.parametrize("cls, timing", [(SampledSource, "Sync"), (EventSource, "Async")])
def test_source_ports_get_their_timing(cls, timing):
    source = cls(output_ports=[{"name": "a"}, {"name": "b"}])
    assert [port.timing for port in source._imp._output_ports.values()] == [timing, timing]


class Doomed(SampledSource):
    def step(self, data):
        if self.get_counter() == 3:
            raise OSError("device unplugged")
        return {"out": 0}


@pytest.mark.parametrize("batch", [False, True])
def test_failing_source_ends_its_thread_and_reports(batch):
    source = Doomed(name="doomed")  # unpaced: a thread left spinning would be obvious
    source.batch = batch
    logger = Logger("")
    source.set_logger(logger)
    source.start()
    try:
        assert source.wait(TIMEOUT)
    finally:
        source.stop()
        logger.stop()
    assert source.get_counter() == 3
    assert isinstance(source.failure(), OSError)
    assert logger.get_incident(type=Constants.LogTypes.ERROR)["source"]["instance"] == "doomed"


# ---------------------------------------------------------------- loops


class Pair(IOChain):
    def __init__(self, nodes=None, **config):
        self.given = nodes  # the chain's nodes, or two new relays
        super().__init__(**config)

    def build_nodes(self, config):
        return self.given or [Relay(name="first"), Relay(name="second")]


def _wired(edges):
    """Relays named by the letters of `edges` ("ab bc": a -> b -> c)."""
    relays = {n: Relay(name=n) for n in sorted(set(edges.replace(" ", "")))}
    for up, down in edges.split():
        relays[up].connect("out", relays[down], "in")
    return relays


def _out_port(element):
    imp_ = element._imp
    return getattr(imp_, "_internal_nodes", [element])[-1]._imp.get_output_port("out")


@pytest.mark.parametrize(
    "make, loop",
    [
        (lambda: ([r := Relay(name="r")], lambda: r.connect("out", r, "in")), "r -> r"),
        (
            lambda: ([*(n := _wired("ab")).values()], lambda: Pipeline("").connect(n["b"], n["a"])),
            "a -> b -> a",
        ),
        (
            lambda: (
                [*(n := _wired("ab bc bd")).values()],
                lambda: n["c"].connect("out", n["a"], "in"),
            ),
            "a -> b -> c -> a",
        ),
        (
            lambda: ([c := Pair(name="pair")], lambda: Pipeline("").connect(c, c)),
            "first -> second -> first",
        ),
        (
            lambda: ([*(n := _wired("xy")).values()], lambda: Pair(nodes=[n["y"], n["x"]])),
            "x -> y -> x",
        ),
    ],
    ids=["self", "two-nodes", "three-nodes-and-a-branch", "chain-onto-itself", "chain-building"],
)
def test_connect_refuses_a_loop_and_names_it(make, loop):
    elements, close_loop = make()
    before = [_out_port(e)._connected_ports for e in elements]
    with pytest.raises(ValueError, match=f"close the loop {loop}: .*decoupled=True"):
        close_loop()
    assert [_out_port(e)._connected_ports for e in elements] == before


@pytest.mark.parametrize("in_chain", [False, True], ids=["nodes", "chain-alone"])
def test_start_refuses_a_loop_made_past_connect(in_chain):
    pipeline = Pipeline("")
    if in_chain:  # nothing outside the chain leads into it
        pipeline.add_node(pair := Pair(name="pair"))
        nodes, loop = pair._imp._internal_nodes, "first -> second -> first"
    else:
        nodes, loop = [*_wired("ab").values()], "a -> b -> a"
        pipeline.connect(Counter(name="source", rate=100), nodes[0])
    op, ip = _out_port(nodes[1]), imp.INodeImp.get_port(nodes[0]._imp, "in")
    imp.PortImp.connect(op, ip)
    imp.PortImp.connect(ip, op)
    with pytest.raises(ValueError, match=f"The pipeline holds the loop {loop}: "):
        pipeline.start()
    assert {e.get_state() for e in [pipeline, *pipeline.get_elements(), *nodes]} == {
        Constants.States.STOPPED
    }
    pipeline.close()


def test_a_loop_through_a_decoupled_node_runs_as_feedback_and_stops():
    source, a, b = (
        Counter(name="source", rate=200),
        Relay(name="a"),
        Relay(name="b", decoupled=True),
    )
    for up, down in [(source, a), (a, b), (b, a)]:  # b's queue is the thread boundary
        up.connect("out", down, "in")
    start_downstream_first(source, a, b)
    stopper = threading.Thread(target=stop_all, args=(source, a, b), daemon=True)
    try:  # every frame keeps coming round: far more cycles than frames
        assert wait_until(lambda: a.get_counter() > 5 * max(source.get_counter(), 1) > 5, TIMEOUT)
    finally:
        stopper.start()
        stopper.join(TIMEOUT)
    assert not stopper.is_alive()
    counts = a.get_counter(), b.get_counter()
    time.sleep(0.05)
    assert (a.get_counter(), b.get_counter()) == counts
    assert {n.get_condition() for n in (source, a, b)} == {Constants.Conditions.HEALTHY}


@pytest.mark.parametrize("decoupled", [False, True], ids=["push-through", "feedback"])
def test_commands_on_a_document_with_a_loop(tmp_path, decoupled):
    from flowmesh.nodes import Filter
    from flowmesh.synthetic import SimulatedEEG

    with Pipeline("") as pipeline:
        a, b = (Filter(name=n, kind="lowpass", frequencies=30, decoupled=n == "b") for n in "ab")
        for up, down in [(SimulatedEEG(name="eeg"), a), (a, b), (b, a)]:
            pipeline.connect(up, down)
        document = pipeline.serialize()
    document["nodes"][2]["config"]["decoupled"] = decoupled  # by hand: connect would refuse it
    (path := tmp_path / "loop.json").write_text(json.dumps(document))
    env = {**os.environ, "PYTHONPATH": str(pathlib.Path(flowmesh.__file__).parents[1])}
    done = [
        subprocess.run(
            [sys.executable, "-m", "flowmesh", *argv, str(path)],
            capture_output=True,
            text=True,
            env={**env, "XDG_STATE_HOME": str(tmp_path)},
            timeout=120,  # a safety net: a loop that spins never ends
            check=False,
        )
        for argv in (["validate"], ["run", "--duration", "1"])
    ]
    for command in done:
        assert command.returncode == (0 if decoupled else 1), command.stderr
        if not decoupled:
            assert command.stderr.count("\n") == 1
            assert "close the loop a -> b -> a" in command.stderr


# ------------------------------------------------------ broken contracts


class Breaker(IONode):
    """Its handler `role` returns `result`; every other handler keeps the contract."""

    def __init__(self, role, result, **config):
        self.role, self.result = role, result
        super().__init__(**config)
        self.batch = role == "process"

    def setup(self, data, context):
        return self.result if self.role == "setup" else {"out": {}}

    def step(self, data):
        return self.result if self.role == "step" else data

    def process(self, data):
        return self.result


@pytest.mark.parametrize("decoupled", [False, True], ids=["same-thread", "decoupled"])
@pytest.mark.parametrize(
    "role, result, message",
    [
        ("step", [1], "Expected dict, got list"),
        ("process", (1,), "Expected dict, got tuple"),
        ("setup", None, "Node.setup() must return a dict."),
        ("setup", [], "Node.setup() must return a dict."),
        ("setup", {"other": {}}, "No context found for port 'out'."),
        ("setup", {"out": 5}, "Node.setup() must give each output port a dict as its context"),
    ],
)
def test_a_broken_contract_is_blamed_on_the_node_and_handler(role, result, message, decoupled):
    logger = Logger("")
    bad = Breaker(role, result, name="bad", decoupled=decoupled)
    nodes = chain(0, rate=200)
    nodes[0].connect("out", bad, "in")
    bad.connect("out", nodes[1], "in")
    for node in (*nodes, bad):
        node.set_logger(logger)
    start_downstream_first(nodes[0], bad, nodes[1])
    try:
        assert wait_until(lambda: logger.get_incident(type=Constants.LogTypes.ERROR), TIMEOUT)
    finally:
        stop_all(nodes[0], bad, nodes[1])
        logger.stop()
    incident = logger.get_incident(type=Constants.LogTypes.ERROR)
    assert incident["message"].startswith(message)
    assert incident["source"]["instance"] == "bad"
    assert incident["source"]["summary"].startswith("test_flow.py:")
    assert incident["source"]["summary"].endswith(f" in {role}")
    assert nodes[1].failure() is None  # nothing broken reached the sink
