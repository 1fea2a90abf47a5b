"""ONodeImp (ports from configuration, connect/disconnect, pushes, decimation,
the one-shot setup thread) and the ONode facade."""

import gc
import threading
import time
import weakref

import pytest
from support import RecordingLogger as Recorder

from flowmesh import imp
from flowmesh.constants import Constants
from flowmesh.context import Context
from flowmesh.o_node import ONode

SYNC, ASYNC = Constants.Timing.SYNC, Constants.Timing.ASYNC
HEALTHY, ERROR = Constants.Conditions.HEALTHY, Constants.Conditions.ERROR
LOG_ERROR = Constants.LogTypes.ERROR
OUTPUT_PORTS = ONode.Configuration.Keys.OUTPUT_PORTS
DECIMATION = Constants.Keys.DECIMATION_FACTOR


class PortDouble:
    """Stands in for an output port: records what it is given."""

    timing = SYNC

    def __init__(self, *connected):
        self.pushed = []
        self._context = None
        self._connected_ports = tuple(connected)

    def push(self, value):
        self.pushed.append(value)


class InputDouble:
    """The two fields of an input port that a context delivery touches."""

    def __init__(self, context=None):
        self._context = context
        self.fired = 0
        self._event_handler = self.fire

    def fire(self):
        self.fired += 1


def ports(*specs):
    return [{"name": name, "timing": timing} for name, timing in specs]


def wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.005)
    return predicate()


def with_doubles(node, *names):
    """Replace the node's ports by doubles (the dict object itself is kept)."""
    doubles = {name: PortDouble() for name in names}
    node._imp._output_ports.clear()
    node._imp._output_ports.update(doubles)
    return doubles


# ---------------------------------------------------------------- construction


@pytest.mark.parametrize(
    "entries, exc_type, message",
    [
        ([], ValueError, "output_ports must not be empty."),
        (
            [{"name": "a"}, {"name": "b"}, {"name": "a"}],
            ValueError,
            "output_ports contain duplicate names.",
        ),
        (
            ({"name": "a"},),
            TypeError,
            "Argument 'output_ports' has incorrect type (expected list, got tuple)",
        ),
        ([{"type": "Any"}], KeyError, "'name'"),
    ],
)
def test_bad_port_lists_fail_before_anything_is_built(entries, exc_type, message):
    config = ONode.Configuration(name="bad", id="BAD0000000000001", output_ports=entries)
    with pytest.raises(exc_type) as info:
        imp.ONodeImp(config)
    assert str(info.value) == message
    # the base constructor never ran: the id is not registered
    assert imp.PortableImp.get_by_id("BAD0000000000001") is None


def test_ports_are_created_in_order_and_replace_the_configured_list():
    class NoHooks(ONode.Configuration):
        def __setitem__(self, key, value):
            raise AssertionError("the port list is written with the plain dict store")

    config = NoHooks(name="src", output_ports=ports(("b", SYNC), ("a", ASYNC)))
    node_imp = imp.ONodeImp(config)
    assert list(node_imp._output_ports) == ["b", "a"]
    created = list(node_imp._output_ports.values())
    assert all(type(p) is imp.OPortImp for p in created)
    listed = config[OUTPUT_PORTS]
    assert type(listed) is list
    assert [id(c) for c in listed] == [id(p.config) for p in created]
    assert [c["name"] for c in listed] == ["b", "a"]
    assert created[1].timing == ASYNC


def test_default_configuration_is_one_sync_port_per_instance():
    first, second = ONode(name="one"), ONode(name="two")
    assert list(first._imp._output_ports) == [Constants.Defaults.PORT_OUT]
    assert first.get_output_port("out").timing == SYNC
    assert first.config[DECIMATION] == 1
    assert first.config[OUTPUT_PORTS] is not second.config[OUTPUT_PORTS]
    assert first.get_output_port("out") is not second.get_output_port("out")


@pytest.mark.parametrize("factor", [0, -2, 1.5, True, "2", None])
def test_decimation_factor_is_validated(factor):
    with pytest.raises(ValueError, match=r"^decimation_factor must be an int >= 1, got "):
        ONode(name="d", decimation_factor=factor)


@pytest.mark.parametrize("method", ["get_port", "get_output_port"])
def test_unknown_port_name(method):
    node = ONode(name="n")
    with pytest.raises(ValueError) as info:
        getattr(node._imp, method)("missing")
    assert str(info.value) == "Output port 'missing' not found."
    with pytest.raises(TypeError):
        getattr(node._imp, method)(1)


# ---------------------------------------------------------------- decimation


@pytest.mark.parametrize(
    "factor, true_at",
    [(1, set(range(10))), (3, {2, 5, 8}), (4, {3, 7})],
)
def test_decimation_steps(factor, true_at):
    node = ONode(name="n", decimation_factor=factor)
    seen = set()
    for counter in range(10):
        node._imp._counter = counter
        if node.is_decimation_step():
            seen.add(counter)
    assert seen == true_at


def test_zero_decimation_factor_divides_by_zero():
    node = ONode(name="n")
    node.config[DECIMATION] = 0
    with pytest.raises(ZeroDivisionError):
        node._imp.is_decimation_step()


# ---------------------------------------------------------------- _push_data


@pytest.mark.parametrize(
    "data, expected",
    [
        ({}, {"a": [], "b": []}),
        ({"b": 2}, {"a": [], "b": [2]}),
        ({"a": 1, "b": None, "nobody": 3}, {"a": [1], "b": [None]}),
    ],
)
def test_push_data_feeds_named_ports_only(data, expected):
    node = ONode(name="n", output_ports=ports(("a", SYNC), ("b", SYNC)))
    doubles = with_doubles(node, "a", "b")
    node._imp._push_data(data)
    assert {name: d.pushed for name, d in doubles.items()} == expected


@pytest.mark.parametrize("count", [1, 9])
def test_push_data_keeps_the_table_it_started_with(count):
    """A push that empties the table and adds a port still feeds every port
    the push began with, in table order, and not the added one."""
    names = [f"p{i}" for i in range(count)]
    node = ONode(name="n", output_ports=ports(*((name, SYNC) for name in names)))
    doubles = with_doubles(node, *names)
    order, late = [], PortDouble()
    table = node._imp._output_ports

    def first_push(value):
        order.append(value)
        table.clear()
        table["late"] = late

    doubles["p0"].push = first_push
    for name in names[1:]:
        doubles[name].push = order.append
    node._imp._push_data({**{name: i for i, name in enumerate(names)}, "late": -1})
    assert order == list(range(count)) and late.pushed == []
    node._imp._push_data({"late": 1, "p0": 0})
    assert late.pushed == [1] and order == list(range(count))


@pytest.mark.parametrize(
    "change",
    [
        lambda table, new: table.__setitem__("a", new),
        lambda table, new: table.update(a=new),
        lambda table, new: table.__ior__({"a": new}),
        lambda table, new: (table.pop("a"), table.setdefault("a", new)),
        lambda table, new: (table.clear(), table.__setitem__("a", new)),
    ],
    ids=["setitem", "update", "ior", "pop-setdefault", "clear-setitem"],
)
def test_push_data_sees_every_change_of_the_table_since_the_last_push(change):
    node = ONode(name="n", output_ports=ports(("a", SYNC), ("b", SYNC)))
    doubles = with_doubles(node, "a", "b")
    node._imp._push_data({"a": 1})
    new = PortDouble()
    change(node._imp._output_ports, new)
    node._imp._push_data({"a": 2})
    assert doubles["a"].pushed == [1] and new.pushed == [2]


def test_push_data_refuses_non_dict():
    node = ONode(name="n")
    with pytest.raises(TypeError, match=r"expected dict, got list"):
        node._imp._push_data([("out", 1)])


# ---------------------------------------------------------------- cycle of an output node


def test_call_order_of_an_output_node():
    calls = []

    class Recording(imp.ONodeImp):
        def _push_data(self, data):
            calls.append(("push_data", data))

        def _push_context(self):
            calls.append(("push_context",))

    class Source(ONode):
        def _create_imp(self, config):
            return Recording(config)

        def pre_setup(self, data, context):
            calls.append(("pre_setup",))

        def setup(self, data, context):
            calls.append(("setup",))
            return {"out": {}}

        def pre_step(self, data):
            calls.append(("pre_step",))
            return data.get("skip")

        def step(self, data):
            calls.append(("step",))
            return data.get("emit")

        def post_step(self, output):
            calls.append(("post_step", output))

    node = Source(name="s")
    node.set_logger(Recorder())
    node.start()
    node._imp._cycle({"emit": {"out": 1}})
    assert [c[0] for c in calls] == [
        "pre_setup",
        "setup",
        "push_context",
        "pre_step",
        "step",
        "post_step",
        "push_data",
    ]
    assert calls[-2:] == [("post_step", {"out": 1}), ("push_data", {"out": 1})]
    calls.clear()
    node._imp._cycle({})  # no output: no post-step, no push
    node._imp._cycle({"skip": True, "emit": {"out": 2}})
    assert [c[0] for c in calls] == ["pre_step", "step", "pre_step"]
    assert node.get_counter() == 3


def test_cycle_pushes_to_the_ports():
    class Source(ONode):
        def step(self, data):
            return {"out": data["v"] * 10}

    node = Source(name="s")
    doubles = with_doubles(node, "out")
    node.start()
    for v in range(3):
        node._imp._cycle({"v": v})
    assert doubles["out"].pushed == [0, 10, 20]
    # the default setup gave every port an empty context
    assert node.get_context() == Context(input={}, output={"out": {}})


# ---------------------------------------------------------------- _push_context


def test_push_context_without_context_names_the_first_port():
    node = ONode(name="n", output_ports=ports(("a", SYNC), ("b", SYNC)))
    with pytest.raises(ValueError) as info:
        node._imp._push_context()
    assert str(info.value) == "No context found for port 'a'."


def test_push_context_missing_port_fails_inside_setup():
    class Partial(ONode):
        def setup(self, data, context):
            return {"a": {"rate": 1}}

        def step(self, data):
            return None

    node = Partial(name="p", output_ports=ports(("a", SYNC), ("b", SYNC)))
    node.set_logger(Recorder())
    node.start()
    node._imp._cycle()
    error = node.failure()
    assert str(error) == "No context found for port 'b'."
    assert node.setup_failed() is True and node.get_condition() == ERROR
    # ports before the missing one already have theirs
    assert node.get_output_port("a")._context == {"rate": 1}
    assert node.get_output_port("b")._context is None


def test_push_context_delivers_once_per_reset():
    node = ONode(name="n", output_ports=ports(("a", SYNC), ("b", SYNC)))
    fresh, other, settled = InputDouble(), InputDouble(), InputDouble(context="old")
    node._imp._output_ports["a"] = PortDouble(fresh, settled)
    node._imp._output_ports["b"] = PortDouble(other)
    a_context = {"rate": 10}
    node._imp._context = Context(input={}, output={"a": a_context, "b": {}})

    node._imp._push_context()
    assert fresh._context is a_context  # the same object, not a copy
    assert other._context == {} and settled._context == "old"
    assert (fresh.fired, other.fired, settled.fired) == (1, 1, 0)

    node._imp._push_context()
    assert (fresh.fired, other.fired, settled.fired) == (1, 1, 0)

    fresh._context = None
    node._imp._push_context()
    assert fresh._context is a_context
    assert (fresh.fired, other.fired, settled.fired) == (2, 1, 0)


def test_push_context_with_no_event_handler():
    node = ONode(name="n")
    quiet = InputDouble()
    quiet._event_handler = None
    node._imp._output_ports["out"] = PortDouble(quiet)
    node._imp._context = Context(output={"out": "ctx"})
    node._imp._push_context()
    assert quiet._context == "ctx"


def test_reset_run_state_clears_port_contexts():
    node = ONode(name="n", output_ports=ports(("a", SYNC), ("b", SYNC)))
    node.set_logger(Recorder())
    node.start()
    node._imp._cycle()  # default step fails after setup gave the ports contexts
    assert node.get_output_port("a")._context == {}
    assert node.get_condition() == ERROR
    node.reset_run_state()
    assert [p._context for p in node._imp._output_ports.values()] == [None, None]
    assert node.get_condition() == HEALTHY and node.get_counter() == 0
    assert node.failure() is None


# ---------------------------------------------------------------- connect / disconnect


def input_node(name="sink"):
    from flowmesh.i_node import INode

    class Collect(INode):
        def step(self, data):
            return None

    return Collect(name=name)


def test_connect_joins_both_sides_and_data_flows():
    from flowmesh.sources import Sink

    source, sink = ONode(name="src"), Sink(name="sink")
    source.connect("out", sink, "in")
    op, ip = source.get_output_port("out"), sink.get_input_port("in")
    assert op._connected_ports == (ip,) and ip._connected_ports == (op,)
    sink.start()
    source.start()
    source._imp._cycle()  # sets up; its default step fails, nothing is pushed
    source._imp._push_data({"out": 7})
    assert wait_for(lambda: sink.values() == [7])
    source.disconnect("out", sink, "in")
    assert op._connected_ports == () and ip._connected_ports == ()


def test_connect_rolls_back_when_the_input_side_refuses():
    source, target = ONode(name="src"), input_node()
    op, ip = source.get_output_port("out"), target.get_input_port("in")
    ip.connect(op)  # one-sided: the input side will refuse a second entry
    with pytest.raises(Exception) as direct:
        ip.connect(op)
    with pytest.raises(type(direct.value)) as info:
        source.connect("out", target, "in")
    assert str(info.value) == str(direct.value)
    assert op._connected_ports == ()
    assert ip._connected_ports == (op,)


class _InterruptedRollBack:
    """An output port whose joining works and whose undoing is interrupted."""

    def connect(self, port):
        pass

    def disconnect(self, port):
        raise KeyboardInterrupt("while undoing")


def test_interrupted_roll_back_is_not_swallowed():
    source, target = ONode(name="src"), input_node()
    source._imp._output_ports["out"] = _InterruptedRollBack()
    # The input side refuses the stand-in (it is no port); undoing is interrupted.
    with pytest.raises(KeyboardInterrupt) as info:
        source.connect("out", target, "in")
    assert isinstance(info.value.__context__, AttributeError)  # the refusal stays attached
    assert target.get_input_port("in")._connected_ports == ()


def test_disconnect_of_unconnected_pair():
    source, target = ONode(name="src"), input_node()
    op, ip = source.get_output_port("out"), target.get_input_port("in")
    ip.connect(op)  # only the input side knows of the pair
    with pytest.raises(ValueError, match=r"^Ports are not connected\.$"):
        source.disconnect("out", target, "in")
    assert ip._connected_ports == (op,)


@pytest.mark.parametrize("method", ["connect", "disconnect"])
def test_connect_unknown_output_port(method):
    source, target = ONode(name="src"), input_node()
    with pytest.raises(ValueError, match=r"^Output port 'nope' not found\.$"):
        getattr(source, method)("nope", target, "in")


# ---------------------------------------------------------------- setup thread


class EventNode(ONode):
    def step(self, data):
        return data or None


def test_all_async_start_runs_the_first_cycle_on_one_daemon_thread():
    node = EventNode(name="ev", output_ports=ports(("a", ASYNC), ("b", ASYNC)))
    node.set_logger(Recorder())
    node.start()
    node.start()  # idempotent: no second thread, no second "first" cycle
    thread = node._imp._setup_thread
    assert isinstance(thread, threading.Thread) and thread.daemon
    thread.join(10)
    assert node.get_counter() == 1
    assert node.get_output_port("a")._context == {}
    assert node._imp._logger.of(LOG_ERROR) == []
    node.stop()
    node.reset_run_state()
    node.start()  # a new run makes a new thread
    assert node._imp._setup_thread is not thread
    node._imp._setup_thread.join(10)
    assert node.get_counter() == 1


@pytest.mark.parametrize("timings", [(SYNC,), (ASYNC, SYNC), (ASYNC, Constants.Timing.INHERITED)])
def test_no_setup_thread_unless_every_output_is_async(timings):
    node = EventNode(name="n", output_ports=ports(*((f"p{i}", t) for i, t in enumerate(timings))))
    node.start()
    with pytest.raises(AttributeError):
        node._imp._setup_thread
    assert node.get_counter() == 0


def test_input_output_node_makes_no_setup_thread():
    from flowmesh.io_node import IONode

    class Relay(IONode):
        def step(self, data):
            return None

    node = Relay(name="relay", output_ports=ports(("out", ASYNC)))
    node.start()
    try:
        with pytest.raises(AttributeError):
            node._imp._setup_thread
    finally:
        node.stop()


@pytest.mark.parametrize("batch", [False, True])
def test_failing_setup_thread_logs_once_and_start_does_not_raise(batch):
    class Broken(ONode):
        def setup(self, data, context):
            raise RuntimeError("no device")

    node = Broken(name="b", output_ports=ports(("out", ASYNC)))
    node.set_logger(Recorder())
    node.batch = batch
    node.start()
    node._imp._setup_thread.join(10)
    errors = node._imp._logger.of(LOG_ERROR)
    assert len(errors) == 1
    assert type(errors[0]) is RuntimeError and str(errors[0]) == "no device"
    # batch mode leaves recording to the caller: the thread only logs
    assert node.get_condition() == (HEALTHY if batch else ERROR)


def test_output_node_with_running_thread_is_collected():
    gate = threading.Event()

    class Slow(ONode):
        def setup(self, data, context):
            gate.wait(10)
            return {"out": {}}

        def step(self, data):
            return None

    node = Slow(name="slow", output_ports=ports(("out", ASYNC)))
    node.set_logger(Recorder())
    node.start()
    thread = node._imp._setup_thread
    refs = weakref.ref(node), weakref.ref(node._imp)
    del node
    gate.set()
    thread.join(10)
    del thread
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_pushes_while_another_thread_rewrites_the_table():
    """Pushes take the table's snapshot without a lock while another thread
    replaces, removes and adds ports: every value reaches a port that was in
    the table, and a push after the last change feeds the last table."""
    node = ONode(name="n", output_ports=ports(("a", SYNC), ("b", SYNC)))
    table = node._imp._output_ports
    pool = [PortDouble() for _ in range(6)]
    stop = threading.Event()

    def rewrite():
        k = 0
        while not stop.is_set():
            table["a"] = pool[k % 6]
            if k % 5 == 0:
                table.pop("b", None)
            else:
                table["b"] = pool[(k + 1) % 6]
            k += 1

    writer = threading.Thread(target=rewrite)
    writer.start()
    try:
        for i in range(5000):
            node._imp._push_data({"a": i, "b": -1 - i})
    finally:
        stop.set()
        writer.join(timeout=60)
    assert not writer.is_alive()
    assert sorted(v for d in pool for v in d.pushed if v >= 0) == list(range(5000))
    last = PortDouble()
    table["a"] = last
    node._imp._push_data({"a": "last"})
    assert last.pushed == ["last"]
