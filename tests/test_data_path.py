"""The frame's route between the implementation modules: direct C++ calls for
the package's own types, the Python-level call wherever a subclass redefines a
step of the route, and handlers called exactly as a Python caller would."""

import functools
import threading

import pytest
from support import wait_until

from flowmesh import imp
from flowmesh.constants import Constants
from flowmesh.i_node import INode
from flowmesh.i_port import IPort
from flowmesh.io_node import IONode
from flowmesh.o_node import ONode
from flowmesh.o_port import OPort


class Source(ONode):
    def setup(self, data, context):
        return {"out": {}}

    def step(self, data):
        return {"out": data.get("value", 0)}


class Pass(IONode):
    def setup(self, data, context):
        return {"out": {}}

    def step(self, data):
        return {"out": data["in"] + 1}


class Tail(INode):
    def __init__(self, **config):
        self.frames = []
        super().__init__(**config)

    def setup(self, data, context):
        return {}

    def step(self, data):
        self.frames.append(data)


def run_line(nodes, values):
    for upstream, downstream in zip(nodes, nodes[1:]):
        upstream.connect("out", downstream, "in")
    for node in reversed(nodes):
        node.start()
    try:
        for value in values:
            nodes[0]._imp._cycle({"value": value})
    finally:
        for node in nodes:
            node.stop()


def with_imp(node_class, imp_class):
    """A facade subclass whose implementation object is of `imp_class`."""

    class Custom(node_class):
        def _create_imp(self, config):
            return imp_class(config)

    Custom.__name__ = f"{node_class.__name__}With{imp_class.__name__}"
    return Custom


def test_module_exports_are_capsules_of_the_owning_modules():
    for module in (imp.vertex, imp.emitter, imp._ports):
        assert type(module._data_path).__name__ == "PyCapsule"
        assert repr(module._data_path).find(f"{module.__name__}._data_path") > 0


@pytest.mark.parametrize("redefined", ["_cycle", "_run_cycle", "_push_data"])
def test_a_python_subclass_that_redefines_a_step_of_the_route_is_called(redefined):
    calls = []

    def wrap(name):
        base = getattr(imp.IONodeImp, name)

        def redefinition(self, data=None):
            calls.append((name, None if data is None else dict(data)))
            return base(self, data) if name != "_cycle" or data is not None else base(self)

        return redefinition

    Imp = type("Imp", (imp.IONodeImp,), {redefined: wrap(redefined)})
    middle = with_imp(Pass, Imp)()
    tail = Tail()
    run_line([Source(), middle, tail], [10, 20])
    assert [f["in"] for f in tail.frames] == [11, 21]
    if redefined == "_push_data":
        assert calls == [("_push_data", {"out": 11}), ("_push_data", {"out": 21})]
    else:
        assert calls == [(redefined, {"in": 10}), (redefined, {"in": 20})]


@pytest.mark.parametrize("port_kind", ["output", "input"])
def test_a_port_subclass_that_redefines_push_is_called(port_kind):
    seen = []

    if port_kind == "output":

        class Relay(imp.OPortImp):
            def push(self, value):
                seen.append(value)
                super().push(value * 10)

        relay = Relay(OPort.Configuration(name="relay"))
        tail = Tail()
        relay.connect(tail.get_input_port("in"))
        tail.get_input_port("in").connect(relay)
        first = imp.OPortImp(OPort.Configuration(name="first"))
        first.connect(relay)
    else:

        class Tap(imp.IPortImp):
            def push(self, value):
                seen.append(value)

        tail = Tail()
        first = imp.OPortImp(OPort.Configuration(name="first"))
        first.connect(Tap(IPort.Configuration(name="tap")))
        first.connect(tail.get_input_port("in"))
    tail.start()
    try:
        for value in (1, 2, 3):
            first.push(value)
    finally:
        tail.stop()
    assert seen == [1, 2, 3]
    expected = [10, 20, 30] if port_kind == "output" else [1, 2, 3]
    assert [f["in"] for f in tail.frames] == expected


class Callable:
    def __init__(self, out):
        self.out = out

    def __call__(self, data):
        self.out.append(("callable", data["in"]))
        return {"out": data["in"]}


def make_handler(kind, out):
    """A step handler of the given kind that records its calls in `out`."""
    if kind == "function":
        return lambda data: out.append(("function", data["in"])) or {"out": data["in"]}
    if kind == "partial":
        return functools.partial(lambda tag, data: out.append((tag, data["in"])) or None, "partial")
    if kind == "callable object":
        return Callable(out)
    if kind == "bound method of another object":
        return Callable(out).__call__
    if kind == "builtin method":
        return out.append
    raise AssertionError(kind)


@pytest.mark.parametrize(
    "kind",
    ["function", "partial", "callable object", "bound method of another object", "builtin method"],
)
def test_any_callable_works_as_a_handler(kind):
    out = []
    middle = Pass()
    middle._imp.step_handler = make_handler(kind, out)
    tail = Tail()
    run_line([Source(), middle, tail], [5, 6])
    if kind == "builtin method":
        assert out == [{"in": 5}, {"in": 6}]
    else:
        tag = "callable" if kind.startswith(("callable", "bound")) else kind
        assert out == [(tag, 5), (tag, 6)]


def test_a_bound_method_handler_gets_its_own_instance_and_may_be_replaced_while_it_runs():
    seen = []

    class Swapping(Pass):
        def step(self, data):
            seen.append(self)
            self._imp.step_handler = self.other_step
            return {"out": data["in"]}

        def other_step(self, data):
            seen.append(("other", self))
            return {"out": -data["in"]}

    middle = Swapping()
    tail = Tail()
    run_line([Source(), middle, tail], [1, 2, 3])
    assert seen == [middle, ("other", middle), ("other", middle)]
    assert [f["in"] for f in tail.frames] == [1, -2, -3]


@pytest.mark.parametrize("hook", ["pre_step_handler", "post_step_handler"])
def test_a_hook_set_back_to_the_default_stops_running(hook):
    calls = []
    middle = Pass()
    tail = Tail()
    nodes = [Source(), middle, tail]
    for upstream, downstream in zip(nodes, nodes[1:]):
        upstream.connect("out", downstream, "in")
    for node in reversed(nodes):
        node.start()
    default = getattr(middle._imp, hook)
    assert default is imp.vertex._no_op_step_hook
    try:
        setattr(middle._imp, hook, lambda data: calls.append(dict(data)))
        nodes[0]._imp._cycle({"value": 1})
        setattr(middle._imp, hook, default)
        nodes[0]._imp._cycle({"value": 2})
    finally:
        for node in nodes:
            node.stop()
    # pre-step sees the frame, post-step the output; each only while installed
    assert calls == ([{"in": 1}] if hook == "pre_step_handler" else [{"out": 2}])
    assert [f["in"] for f in tail.frames] == [2, 3]


@pytest.mark.parametrize("exc", [ValueError("bad"), KeyboardInterrupt()])
def test_a_failure_deep_in_the_route_reaches_the_node_it_happened_in(exc):
    class Failing(Pass):
        def step(self, data):
            raise exc

    middle = Failing()
    tail = Tail()
    source = Source()
    nodes = [source, middle, tail]
    for upstream, downstream in zip(nodes, nodes[1:]):
        upstream.connect("out", downstream, "in")
    for node in reversed(nodes):
        node.start()
    try:
        if isinstance(exc, Exception):
            source._imp._cycle({"value": 1})
            assert middle._imp.failure() is exc
            assert source._imp.failure() is None
        else:
            with pytest.raises(KeyboardInterrupt):
                source._imp._cycle({"value": 1})
    finally:
        for node in nodes:
            node.stop()
    assert tail.frames == []


def test_a_consumer_raising_past_its_containment_does_not_keep_the_frame_from_the_others():
    class Interrupted(BaseException):
        pass

    class Interrupting(Pass):
        def step(self, data):
            raise Interrupted

    source, fork, stopper, tail = Source(), Pass(), Interrupting(), Tail()
    source.connect("out", fork, "in")
    fork.connect("out", stopper, "in")
    fork.connect("out", tail, "in")
    nodes = [source, fork, stopper, tail]
    for node in reversed(nodes):
        node.start()
    try:
        with pytest.raises(Interrupted):
            source._imp._cycle({"value": 1})
    finally:
        for node in nodes:
            node.stop()
    assert [f["in"] for f in tail.frames] == [2]


@pytest.mark.parametrize("timing", [Constants.Timing.SYNC, Constants.Timing.ASYNC])
def test_a_line_deeper_than_a_small_stack_could_nest_runs_on_one(timing):
    # Each hop ran inside the one before, and so did each event-only node's
    # setup (sent off by its predecessor's): 3,000 overflowed a 512 KiB stack.
    inputs, outputs = [{"name": "in", "timing": timing}], [{"name": "out", "timing": timing}]
    tail = Tail(input_ports=inputs)
    passes = (Pass(input_ports=inputs, output_ports=outputs) for _ in range(3000))
    nodes = [Source(output_ports=outputs), *passes, tail]
    for upstream, downstream in zip(nodes, nodes[1:]):
        upstream.connect("out", downstream, "in")

    def drive():
        if timing == Constants.Timing.ASYNC:  # its first cycle, on its own thread, sends 0
            wait_until(lambda: tail.frames or any(n._imp.failure() for n in nodes))
        else:
            nodes[0]._imp._cycle({"value": 0})
        nodes[0]._imp._cycle({"value": 10})

    previous = threading.stack_size(512 * 1024)  # the driver's and the setup thread's
    try:
        for node in reversed(nodes):
            node.start()
        driver = threading.Thread(target=drive)
        driver.start()
    finally:
        threading.stack_size(previous)
    try:
        driver.join(timeout=60)
        assert [n for n in nodes if n._imp.failure() is not None] == []
        assert [f["in"] for f in tail.frames] == [3000, 3010]
    finally:
        for node in nodes:
            node.stop()
