"""Ports: joining rules, effective timing, descriptions, and the snapshot
connection list under concurrent pushes."""

import threading

import pytest

from flowmesh.configuration import Configuration
from flowmesh.constants import Constants
from flowmesh.i_port import IPort
from flowmesh.imp import IPortImp, OPortImp, PortImp
from flowmesh.o_port import OPort
from flowmesh.port import Port

SYNC, ASYNC, INHERITED = Constants.Timing.SYNC, Constants.Timing.ASYNC, Constants.Timing.INHERITED

TIMING_MESSAGE = (
    "Cannot connect {source} to {target}: one carries a continuous stream and the other carries "
    "events. 'Sync' means data arrives on the sampling clock, frame after frame, for as long as "
    "the pipeline runs; 'Async' means it arrives only when something happens -- an epoch, a "
    "marker, a trigger -- so a node with an 'Async' port is waiting to be handed discrete events, "
    "not a stream. A continuous signal cannot be joined to one directly: it has to pass through a "
    "node that turns the stream into events -- one that segments it, or detects something in it "
    "-- and that node's output is what connects here."
)
TYPE_MESSAGE = (
    "Cannot connect {source} to {target}: the first carries '{st}' and the second expects "
    "'{tt}'. A port declared 'Any' accepts either, so one of these two was given a specific type "
    "on purpose."
)


def config(name="p", type="Any", timing=SYNC):
    return Configuration(name=name, type=type, timing=timing)


def out(timing=SYNC, type="Any", name="out"):
    return OPortImp(config(name, type, timing))


def inp(timing=SYNC, type="Any", name="in"):
    return IPortImp(config(name, type, timing))


@pytest.mark.parametrize("timing", [SYNC, ASYNC, INHERITED])
def test_new_port_is_unconnected_with_configured_timing(timing):
    port = out(timing)
    assert port.is_connected() is False
    assert port._connected_ports == ()
    assert port.timing == timing
    assert port._context is None


@pytest.mark.parametrize(
    "source, target, effective",
    [
        (INHERITED, SYNC, SYNC),
        (INHERITED, ASYNC, ASYNC),
        (INHERITED, INHERITED, INHERITED),
        (SYNC, INHERITED, SYNC),
        (ASYNC, ASYNC, ASYNC),
    ],
)
def test_connect_sets_effective_timing(source, target, effective):
    src, dst = out(source), inp(target)
    src.connect(dst)
    assert src.timing == effective
    assert src._connected_ports == (dst,)
    assert dst._connected_ports == ()  # one-sided


def test_timing_is_judged_on_configured_values():
    # The target's effective timing is SYNC, but it is configured INHERITED.
    target = inp(INHERITED)
    target.connect(out(SYNC))
    assert target.timing == SYNC
    source = out(ASYNC)
    source.connect(target)
    assert source.timing == ASYNC


def test_disconnect_resets_timing_even_when_still_joined():
    src = out(INHERITED)
    first, second = inp(SYNC, name="a"), inp(SYNC, name="b")
    src.connect(first)
    src.connect(second)
    src.disconnect(first)
    assert src._connected_ports == (second,)
    assert src.timing == INHERITED
    assert src.is_connected()


@pytest.mark.parametrize("source, target", [(SYNC, ASYNC), (ASYNC, SYNC)])
def test_timing_clash_names_sync_first_and_changes_nothing(source, target):
    src, dst = out(source), inp(target)
    with pytest.raises(TypeError) as info:
        src.connect(dst)
    assert str(info.value) == TIMING_MESSAGE.format(source=src._describe(), target=dst._describe())
    assert src._connected_ports == ()
    assert src.timing == source


@pytest.mark.parametrize(
    "source_type, target_type, ok",
    [("Any", "int", True), ("int", "Any", True), ("int", "int", True), ("int", "str", False)],
)
def test_type_check(source_type, target_type, ok):
    # Timings clash too: the type check comes first.
    src, dst = out(SYNC, source_type), inp(ASYNC if not ok else SYNC, target_type)
    if ok:
        src.connect(dst)
        assert src._connected_ports == (dst,)
        return
    with pytest.raises(TypeError) as info:
        src.connect(dst)
    assert str(info.value) == TYPE_MESSAGE.format(
        source=src._describe(), target=dst._describe(), st=source_type, tt=target_type
    )
    assert src._connected_ports == ()


def test_refusals_in_their_order():
    src, dst = out(), inp()
    # An abstract target is refused before anything else (it also has the same class).
    abstract = PortImp(config())
    with pytest.raises(TypeError, match=r"^Cannot connect to abstract Port type\.$"):
        abstract.connect(PortImp(config(type="other")))
    with pytest.raises(TypeError, match=r"^Cannot connect to abstract Port type\.$"):
        src.connect(abstract)
    with pytest.raises(TypeError, match=r"^Cannot connect two ports of the same class\.$"):
        src.connect(out(type="other"))
    src.connect(dst)
    with pytest.raises(ValueError, match=r"^Port is already connected\.$"):
        src.connect(dst)
    assert src._connected_ports == (dst,)


def test_disconnect_of_unknown_port_changes_nothing():
    src, dst = out(), inp()
    src.connect(dst)
    with pytest.raises(ValueError, match=r"^Ports are not connected\.$"):
        src.disconnect(inp(name="other"))
    assert src._connected_ports == (dst,)


def test_disconnect_removes_by_identity_in_order():
    src = out()
    a, b, c = inp(name="a"), inp(name="b"), inp(name="c")
    for p in (a, b, c):
        src.connect(p)
    before = src._connected_ports
    src.disconnect(b)
    assert src._connected_ports == (a, c)
    assert before == (a, b, c)  # the old snapshot is never changed in place


@pytest.mark.parametrize(
    "cls, kind", [(PortImp, "port"), (OPortImp, "output"), (IPortImp, "input")]
)
def test_describe(cls, kind):
    assert cls(config("x", timing=ASYNC))._describe() == f"{kind} port 'x' (Async)"


def test_describe_uses_placeholders_and_configured_timing():
    port = out(INHERITED)
    port.connect(inp(SYNC))
    assert port._describe() == "output port 'out' (Inherited)"
    anonymous = IPortImp(Configuration(type="Any", timing=SYNC))
    assert anonymous._describe() == "input port '?' (Sync)"
    del anonymous.config[anonymous.config.Keys.TIMING]
    assert anonymous._describe() == "input port '?' (?)"


def test_describe_of_a_subclass_follows_its_class_name():
    class OPortTap(OPortImp):
        pass

    class Tap(IPortImp):
        pass

    assert OPortTap(config())._describe().startswith("output port")
    assert Tap(config())._describe().startswith("port")


def test_missing_keys_fail_with_the_records_lookup_error():
    with pytest.raises(KeyError):
        OPortImp(Configuration(name="x", type="Any"))
    untyped = IPortImp(Configuration(name="x", timing=SYNC))
    with pytest.raises(KeyError):
        out().connect(untyped)


# ------------------------------------------------------------------ facade


@pytest.mark.parametrize("cls, name", [(OPort, "out"), (IPort, "in")])
def test_facade_defaults(cls, name):
    port = cls()
    assert port.config[port.config.Keys.NAME] == name
    assert port.config[port.config.Keys.TYPE] == "Any"
    assert port.config[port.config.Keys.TIMING] is SYNC
    assert isinstance(port.config, cls.Configuration)
    assert isinstance(port.config, Port.Configuration)


def test_facade_normalises_timing_text_and_refuses_unknown_timing():
    assert OPort(timing="Async").config["timing"] is ASYNC
    with pytest.raises(ValueError):
        OPort(timing="Sometimes")
    with pytest.raises(TypeError):
        IPort(name=3)


def test_facade_connect_forwards_to_the_implementation():
    src, dst = OPort(timing=INHERITED), IPort(timing=ASYNC)
    src.connect(dst)
    assert src.timing == ASYNC and src.is_connected()
    assert src._imp._connected_ports == (dst._imp,)
    src.disconnect(dst)
    assert not src.is_connected()


# ------------------------------------------------------------ concurrency


class CountingPort(IPortImp):
    """A consumer that records what it receives (pushed to by name)."""

    def __init__(self, cfg):
        super().__init__(cfg)
        self.received = []

    def push(self, value):
        self.received.append(value)


def test_detaching_a_consumer_during_pushes_costs_no_other_consumer_a_frame():
    pushes = 100_000
    source = out()
    stable = [CountingPort(config(f"s{i}")) for i in range(3)]
    churn = [CountingPort(config(f"c{i}")) for i in range(3)]
    # Churning ports sit before and between the stable ones, so a removal
    # lands at or before a reader's position.
    for port in (churn[0], stable[0], churn[1], stable[1], churn[2], stable[2]):
        source.connect(port)
    done = threading.Event()
    edits = 0

    def edit_graph():
        nonlocal edits
        while not done.is_set():
            for port in churn:
                source.disconnect(port)
                source.connect(port)
                edits += 2

    editor = threading.Thread(target=edit_graph)
    editor.start()
    try:
        push = source.push
        for i in range(pushes):
            push(i)
    finally:
        done.set()
        editor.join()
    assert edits > 0
    for port in stable:
        assert port.received == list(range(pushes))
    for port in churn:  # a detached consumer misses frames, but never gets one twice
        assert port.received == sorted(set(port.received))
