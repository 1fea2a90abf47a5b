"""Hostile input: user objects whose hooks raise, re-enter or change what is
being read, wrong types, huge lists and handlers raising BaseException. The
process must never crash or hang; a failure must be reported, never lost."""

import threading
import time
from collections.abc import Mapping

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import wait_until

from flowmesh.constants import Constants
from flowmesh.i_node import INode
from flowmesh.io_node import IONode
from flowmesh.o_node import ONode

SYNC, ASYNC = Constants.Timing.SYNC, Constants.Timing.ASYNC
TIMEOUT = 30.0


class Collect(INode):
    """Keeps every frame; `hook(data)` runs inside each step when set."""

    def __init__(self, hook=None, **config):
        self.frames = []
        self.hook = hook
        super().__init__(**config)

    def setup(self, data, context):
        return {}

    def step(self, data):
        self.frames.append(dict(data))
        if self.hook is not None:
            self.hook(data)


class CollectIO(IONode):
    def __init__(self, **config):
        self.frames = []
        super().__init__(**config)

    def setup(self, data, context):
        return {"out": None}

    def step(self, data):
        self.frames.append(dict(data))


# ------------------------------------------------------------ port names


class ReenteringName(str):
    """A port name whose hash delivers to another input of the same node."""

    # (node, port name) to push into; on the class, since configurations
    # copy names (and an instance's attributes with them).
    target = None
    local = threading.local()

    def __hash__(self):
        target = ReenteringName.target
        if target is not None and not getattr(self.local, "busy", False):
            self.local.busy = True
            try:
                node, port = target
                node.get_input_port(port).push(-1)
            finally:
                self.local.busy = False
        return str.__hash__(self)

    __eq__ = str.__eq__


class YieldingName(str):
    """A harmless name whose hash lets other threads run in the middle."""

    def __hash__(self):
        time.sleep(0)
        return str.__hash__(self)

    __eq__ = str.__eq__


@pytest.mark.parametrize("decoupled", [False, True])
def test_name_hash_that_delivers_again_keeps_frames_whole(decoupled):
    a, b = ReenteringName("a"), ReenteringName("b")
    node = Collect(
        input_ports=[{"name": a, "timing": SYNC}, {"name": b, "timing": SYNC}], decoupled=decoupled
    )
    node.start()
    try:
        ReenteringName.target = (node, "b")
        for i in range(300):
            node.get_input_port("a").push(i)
            node.get_input_port("b").push(i)
    finally:
        ReenteringName.target = None
    try:
        assert wait_until(lambda: node.get_counter() >= 300, TIMEOUT)
    finally:
        node.stop()
    # Every frame holds one item per input, and the "a" items keep their order.
    assert all(set(f) == {"a", "b"} for f in node.frames)
    assert [f["a"] for f in node.frames][:300] == list(range(300))


@pytest.mark.parametrize("timing", [SYNC, ASYNC])
def test_name_hash_switching_threads_under_four_pushers(timing):
    node = Collect(
        input_ports=[
            {"name": YieldingName("a"), "timing": timing},
            {"name": YieldingName("b"), "timing": timing},
        ]
    )
    node.start()
    per_thread = 1500

    def push(port, tag):
        for i in range(per_thread):
            port.push((tag, i))

    ports = [node.get_input_port(n) for n in ("a", "b", "a", "b")]
    threads = [threading.Thread(target=push, args=(p, t)) for t, p in enumerate(ports)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(TIMEOUT)
    assert not any(t.is_alive() for t in threads)
    node.stop()
    items = [v for f in node.frames for v in f.values()]
    assert len(items) == len(set(items)) == 4 * per_thread
    for tag in range(4):  # each producer's items arrive in order
        seq = [i for t, i in items if t == tag]
        assert seq == list(range(per_thread))


# ---------------------------------------------------- input_ports entries


class ShrinkingEntry(Mapping):
    """A port entry that empties the very list it sits in when read."""

    def __init__(self, owner, name, on):
        self.owner, self.data, self.on = owner, {"name": name}, on

    def __getitem__(self, key):
        if self.on == "getitem":
            self.owner.clear()
        return self.data[key]

    def keys(self):
        if self.on == "keys":
            self.owner.clear()
        return self.data.keys()

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


@pytest.mark.parametrize("cls", [INode, IONode])
@pytest.mark.parametrize("on", ["getitem", "keys"])
def test_entry_that_shrinks_the_port_list_is_safe(cls, on):
    ports = []
    ports.extend(ShrinkingEntry(ports, n, on) for n in ("a", "b", "c"))
    try:
        node = cls(input_ports=ports)
    except (TypeError, ValueError, KeyError):
        return  # refused cleanly
    assert set(node._imp._input_ports) <= {"a", "b", "c"}


class RaisingEntry(dict):
    """A dict subclass entry whose item access raises."""

    def __getitem__(self, key):
        raise RuntimeError("no item")


class LyingEntry(Mapping):
    """A mapping entry whose keys() names a key it does not have."""

    def __init__(self, name):
        self.name = name

    def __getitem__(self, key):
        if key == "name":
            return self.name
        raise KeyError(key)

    def keys(self):
        return ["name", "ghost"]

    def __iter__(self):
        return iter(self.keys())

    def __len__(self):
        return 2


def _entries():
    name = st.one_of(
        st.text(max_size=3), st.integers(), st.none(), st.builds(YieldingName, st.text(max_size=3))
    )
    entry = st.one_of(
        st.fixed_dictionaries({"name": name}),
        st.fixed_dictionaries({"name": name, "timing": st.sampled_from([SYNC, ASYNC, "x", 3])}),
        st.builds(lambda n: RaisingEntry(name=n), name),
        st.builds(LyingEntry, name),
        st.integers(),
        st.none(),
        st.text(max_size=2),
    )
    return st.one_of(st.lists(entry, max_size=4), entry, st.tuples(entry))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(entries=_entries(), cls=st.sampled_from([Collect, CollectIO]))
def test_arbitrary_input_port_entries_build_or_refuse(entries, cls):
    try:
        node = cls(input_ports=entries)
    except (TypeError, ValueError, KeyError, RuntimeError, AttributeError):
        return
    # What was built must run: every item reaches a cycle.
    ports = dict(node._imp._input_ports)
    names = list(ports)
    node.start()
    try:
        for name, port in ports.items():
            port.push(name)
    finally:
        node.stop()
    assert node.frames
    assert sorted(map(repr, (v for f in node.frames for v in f.values()))) == sorted(
        map(repr, names)
    )


def test_huge_input_port_list():
    n = 2000
    node = Collect(input_ports=[{"name": f"p{i}"} for i in range(n)])
    node.start()
    try:
        for i in range(n):
            node.get_input_port(f"p{i}").push(i)
    finally:
        node.stop()
    assert node.frames == [{f"p{i}": i for i in range(n)}]


# ---------------------------------------------------------- output side


class DroppingName(str):
    """An output port name whose hash empties the node's port table."""

    node = None  # on the class: configurations copy names

    def __hash__(self):
        node, DroppingName.node = DroppingName.node, None
        if node is not None:
            node._imp._output_ports.clear()
        return str.__hash__(self)

    __eq__ = str.__eq__


class Emit(ONode):
    def setup(self, data, context):
        return {}

    def step(self, data):
        return {}


def test_output_name_hash_that_drops_the_port_table():
    name = DroppingName("out")
    node = Emit(output_ports=[{"name": name}])
    DroppingName.node = node
    node._imp._push_data({"out": 5})  # the port it was pushing to is gone by then
    assert node._imp._output_ports == {}
