"""Bounded input queues: bound, overflow policy, drop counts and their reports."""

import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import Counter, RecordingLogger, wait_until

from flowmesh import imp
from flowmesh.constants import Constants
from flowmesh.i_node import INode, Overflow
from flowmesh.pipeline import Pipeline
from flowmesh.sources import Sink

SYNC, ASYNC = Constants.Timing.SYNC, Constants.Timing.ASYNC
STOPPED = Constants.States.STOPPED
WARNING = Constants.LogTypes.WARNING
TIMEOUT = 30.0
DROPS = [Overflow.DROP_OLDEST, Overflow.DROP_NEWEST]


class Held(INode):
    """Records its frames; each step waits for `gate` while it is closed."""

    def __init__(self, **config):
        self.frames = []
        self.gate = threading.Event()
        self.in_step = threading.Event()
        super().__init__(**config)

    def setup(self, data, context):
        return {}

    def step(self, data):
        self.in_step.set()
        assert self.gate.wait(TIMEOUT)
        self.frames.append(dict(data))


def ports(*pairs):
    return [{"name": name, "timing": timing} for name, timing in pairs]


@pytest.fixture
def held():
    """A started, decoupled `Held` whose worker is busy in its first step."""
    made = []

    def make(bound, overflow, inputs=(("in", SYNC),), first=None):
        node = Held(
            decoupled=True, queue_bound=bound, overflow=overflow, input_ports=ports(*inputs)
        )
        node.records = RecordingLogger()
        node.set_logger(node.records)
        node.start()
        made.append(node)
        for name, value in (first or {"in": -1}).items():
            node.get_input_port(name).push(value)
        assert node.in_step.wait(TIMEOUT)
        return node

    yield make
    for node in made:
        node.gate.set()
        node.stop()


def pushed_in_thread(node, port, values):
    """Pushes `values` from a new thread; returns the thread (joined later)."""
    thread = threading.Thread(target=lambda: [node.get_input_port(port).push(v) for v in values])
    thread.start()
    return thread


def drain(node, count):
    node.gate.set()
    assert wait_until(lambda: len(node.frames) >= count)


@pytest.mark.parametrize(
    ("overflow", "kept"),
    [(Overflow.DROP_NEWEST, [0, 1, 2]), (Overflow.DROP_OLDEST, [7, 8, 9])],
)
def test_a_full_queue_drops_by_policy_and_counts_each_item(held, overflow, kept):
    node = held(3, overflow)
    producer = pushed_in_thread(node, "in", range(10))
    producer.join(TIMEOUT)
    assert not producer.is_alive(), "a dropping queue blocked its producer"
    assert node.get_dropped() == {"in": 7}
    assert node.get_max_backlog() == 3
    drain(node, 4)
    assert [f["in"] for f in node.frames] == [-1, *kept]


def test_block_holds_the_producer_until_there_is_room_and_loses_nothing(held, monkeypatch):
    # A give-up while the test looks away would be a loss this test does not allow.
    monkeypatch.setattr(imp.ConstantsImp, "QUEUE_BLOCK_TIMEOUT", TIMEOUT)
    node = held(2, Overflow.BLOCK)
    producer = pushed_in_thread(node, "in", range(6))
    assert wait_until(lambda: node.get_max_backlog() == 2)
    producer.join(0.2)
    assert producer.is_alive(), "the producer went on past a full queue"
    node.gate.set()
    producer.join(TIMEOUT)
    assert not producer.is_alive()
    drain(node, 7)
    assert [f["in"] for f in node.frames] == [-1, 0, 1, 2, 3, 4, 5]
    assert node.get_dropped() == {"in": 0}


def test_block_gives_up_after_the_timeout_and_counts_the_item(held, monkeypatch):
    monkeypatch.setattr(imp.ConstantsImp, "QUEUE_BLOCK_TIMEOUT", 0.05)
    node = held(2, Overflow.BLOCK)
    producer = pushed_in_thread(node, "in", range(5))
    producer.join(TIMEOUT)
    assert not producer.is_alive()
    assert node.get_dropped() == {"in": 3}
    drain(node, 3)
    assert [f["in"] for f in node.frames] == [-1, 0, 1]


def test_stopping_the_node_releases_a_blocked_producer(held):
    node = held(1, Overflow.BLOCK)
    producer = pushed_in_thread(node, "in", range(3))
    assert wait_until(lambda: node.get_max_backlog() == 1)
    stopper = threading.Thread(target=node.stop)
    stopper.start()
    node.gate.set()  # the worker's running step must end for stop to join it
    stopper.join(TIMEOUT)
    producer.join(TIMEOUT)
    assert not producer.is_alive() and not stopper.is_alive()
    # what was queued ran; what the stopping node refused is counted
    assert len(node.frames) - 1 + node.get_dropped()["in"] == 3
    assert [f["in"] for f in node.frames][:2] == [-1, 0]


@pytest.mark.parametrize("overflow", [Overflow.BLOCK, *DROPS])
def test_a_node_pushing_to_its_own_full_queue_never_waits(overflow):
    seen = []

    class Echo(INode):
        def setup(self, data, context):
            return {}

        def step(self, data):
            seen.append(data["in"])
            if data["in"] == 0:
                for i in range(1, 5):  # re-entrant: queued behind this cycle
                    self.get_input_port("in").push(i)

    node = Echo(queue_bound=2, overflow=overflow)
    node.set_logger(RecordingLogger())
    node.start()
    try:
        node.get_input_port("in").push(0)
    finally:
        node.stop()
    expected = {Overflow.DROP_OLDEST: [0, 3, 4]}.get(overflow, [0, 1, 2])
    assert seen == expected
    assert node.get_dropped() == {"in": 2}


def test_dropping_the_oldest_frame_counts_the_items_of_every_input_in_it(held):
    node = held(2, Overflow.DROP_OLDEST, inputs=(("a", SYNC), ("b", SYNC)), first={"a": 0, "b": 0})
    push = {name: node.get_input_port(name).push for name in "ab"}
    for i in (1, 2):  # two frames wait
        push["a"](i)
        push["b"](i)
    push["a"](3)  # a is full: the oldest frame goes, with its b
    assert node.get_dropped() == {"a": 1, "b": 1}
    push["b"](3)
    drain(node, 3)
    assert node.frames == [{"a": 0, "b": 0}, {"a": 2, "b": 2}, {"a": 3, "b": 3}]


def test_drops_are_reported_once_per_change_and_at_stop(held, monkeypatch):
    monkeypatch.setattr(imp.ConstantsImp, "MONITORING_INTERVAL", 3600)
    node = held(1, Overflow.DROP_NEWEST)
    logger = node.records
    for i in range(3):
        node.get_input_port("in").push(i)
    warnings = logger.of(WARNING)
    assert len(warnings) == 1 and "'in'" in warnings[0] and "1 items dropped" in warnings[0]
    node.get_input_port("in").push(3)  # within the interval: not again
    assert len(logger.of(WARNING)) == 1
    node.gate.set()
    node.stop()
    final = logger.of(WARNING)
    assert len(final) == 2 and "3 items dropped" in final[1]
    node.start()  # a new run counts afresh
    assert node.get_dropped() == {"in": 0}


def test_the_default_bound_lets_the_backlog_reach_the_error_level_and_no_further(held, monkeypatch):
    monkeypatch.setattr(imp.ConstantsImp, "BACKLOG_ERROR", 4)
    monkeypatch.setattr(imp.ConstantsImp, "QUEUE_BLOCK_TIMEOUT", 0.05)
    node = held(None, Overflow.BLOCK)
    producer = pushed_in_thread(node, "in", range(8))
    producer.join(TIMEOUT)
    assert node.get_max_backlog() == 5
    assert node.get_dropped() == {"in": 3}


@pytest.mark.parametrize(
    ("config", "error", "match"),
    [
        ({"queue_bound": 0}, ValueError, "queue_bound must be >= 1"),
        ({"queue_bound": 2.5}, TypeError, "queue_bound must be an int or None"),
        ({"queue_bound": True}, TypeError, "queue_bound must be an int or None"),
        ({"overflow": "drop"}, ValueError, "overflow must be one of"),
        ({"overflow": ["block"]}, ValueError, "overflow must be one of"),
        ({"decoupled": 1}, TypeError, "^decoupled must be a bool, got int\\.$"),
        ({"anticipate": "yes"}, TypeError, "^anticipate must be a bool, got str\\.$"),
    ],
)
def test_unusable_queue_settings_are_refused(config, error, match):
    with pytest.raises(error, match=match):
        Held(**config)


@settings(
    max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(
    bound=st.integers(1, 4),
    overflow=st.sampled_from(DROPS),
    pushes=st.lists(st.sampled_from("abe"), max_size=30),
)
def test_every_item_is_delivered_waiting_or_counted_as_dropped(held, bound, overflow, pushes):
    node = held(bound, overflow, inputs=(("a", SYNC), ("b", SYNC), ("e", ASYNC)), first={"e": -1})
    sent = {"a": [], "b": [], "e": []}
    for k, name in enumerate(pushes):
        node.get_input_port(name).push(k)
        sent[name].append(k)
    dropped = node.get_dropped()
    waiting_frames = min(len(sent["a"]) - dropped["a"], len(sent["b"]) - dropped["b"])
    node.gate.set()
    expected = 1 + waiting_frames + len(sent["e"]) - dropped["e"]
    assert wait_until(lambda: len(node.frames) >= expected)
    got = {name: [f[name] for f in node.frames[1:] if name in f] for name in "abe"}
    for name in "abe":
        # in order, no duplicates, each one sent, and the rest counted
        assert got[name] == sorted(set(got[name]))
        assert set(got[name]) <= set(sent[name])
        left = len(sent[name]) - len(got[name]) - dropped[name]
        assert left == (0 if name == "e" else len(sent[name]) - dropped[name] - waiting_frames)
    # a frame holds the n-th item of each input, for one n
    for frame in node.frames[1:]:
        if "a" in frame:
            assert sent["a"].index(frame["a"]) == sent["b"].index(frame["b"])
    node.gate.clear()


class BrokenLogger:
    """A logger whose every write fails."""

    def write(self, **entry):
        raise RuntimeError("log is broken")


@pytest.mark.parametrize("broken", [True, False])
def test_a_failing_report_never_fails_the_push(held, monkeypatch, broken):
    node = held(1, Overflow.DROP_NEWEST)
    if broken:
        node.set_logger(BrokenLogger())
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: unraisable.append(report.exc_value))
    for i in range(3):
        node.get_input_port("in").push(i)  # the second and third are dropped
    node.set_logger(node.records)  # the node's own stop logs too
    assert node.get_dropped() == {"in": 2}
    assert [type(e) for e in unraisable] == ([RuntimeError] if broken else [])


class HashCounting(str):
    """A port name whose hash runs Python code (and counts it)."""

    calls = 0

    def __hash__(self):
        HashCounting.calls += 1
        return super().__hash__()


def test_port_names_running_code_are_read_safely_for_the_counts(held):
    node = held(1, Overflow.DROP_OLDEST, inputs=((HashCounting("in"), SYNC),))
    for i in range(4):
        node.get_input_port("in").push(i)
    before = HashCounting.calls
    assert node.get_dropped() == {"in": 3}
    assert HashCounting.calls > before  # the name's own hash ran while the counts were read
    drain(node, 2)
    assert [f["in"] for f in node.frames] == [-1, 3]


def stopped_in_thread(node):
    stopper = threading.Thread(target=node.stop)
    stopper.start()
    return stopper


class AnnouncedTimeout:
    """A drain timeout that tells when the stop reads it: by then it refuses new items."""

    def __init__(self, seconds):
        self.seconds = seconds
        self.read = threading.Event()

    def __float__(self):
        self.read.set()
        return float(self.seconds)


@pytest.mark.parametrize("overflow", [Overflow.BLOCK, *DROPS])
def test_a_stopping_node_runs_what_it_queued_first(held, overflow, monkeypatch):
    timeout = AnnouncedTimeout(TIMEOUT)
    monkeypatch.setattr(imp.ConstantsImp, "STOP_DRAIN_TIMEOUT", timeout)
    node = held(5, overflow)
    for i in range(3):
        node.get_input_port("in").push(i)
    stopper = stopped_in_thread(node)
    assert timeout.read.wait(TIMEOUT)
    assert node.get_max_backlog() == 3 and stopper.is_alive()
    node.get_input_port("in").push(3)  # refused while stopping, and counted
    node.gate.set()
    stopper.join(TIMEOUT)
    assert [f["in"] for f in node.frames] == [-1, 0, 1, 2]
    assert node.get_dropped() == {"in": 1}
    node.get_input_port("in").push(4)  # a stopped node refuses it too
    assert node.get_dropped() == {"in": 2}


@pytest.mark.parametrize("overflow", [Overflow.BLOCK, *DROPS])
def test_what_a_stop_cannot_run_in_time_is_counted_and_logged(held, overflow, monkeypatch):
    monkeypatch.setattr(imp.ConstantsImp, "STOP_DRAIN_TIMEOUT", 0.05)
    node = held(5, overflow, inputs=(("a", SYNC), ("b", SYNC)), first={"a": -1, "b": -1})
    for i in range(3):
        node.get_input_port("a").push(i)
    node.get_input_port("b").push(0)  # a's 1 and 2 wait for partners that never come
    stopper = stopped_in_thread(node)
    assert wait_until(lambda: node.get_state() == STOPPED)  # the drain gave up
    node.gate.set()  # the running step ends, and with it the worker
    stopper.join(TIMEOUT)
    assert node.frames == [{"a": -1, "b": -1}]
    assert node.get_dropped() == {"a": 3, "b": 1}
    warnings = node.records.of(WARNING)
    assert any(w.startswith(f"Node {node.name} stopped with 4 queued items") for w in warnings)


class SlowSink(Sink):
    def step(self, data):
        threading.Event().wait(0.01)
        return super().step(data)


@pytest.mark.parametrize("overflow", [Overflow.BLOCK, *DROPS])
def test_a_decoupled_sink_stopped_behind_its_producer_loses_nothing_uncounted(overflow):
    with Pipeline("") as p:
        sink = SlowSink(name="sink", decoupled=True, queue_bound=20, overflow=overflow)
        src = Counter(name="src", rate=140)
        p.add_node(sink)  # stopped first: its producer keeps pushing meanwhile
        p.connect(src, sink)
        p.start()
        assert wait_until(lambda: len(sink.frames) >= 30)
        p.stop()
        assert src.k == len(sink.frames) + sink.get_dropped()["in"]


@pytest.mark.parametrize("overflow", [Overflow.BLOCK, *DROPS])
@pytest.mark.parametrize("ahead", [3, 8, 20])
@pytest.mark.parametrize("leader", ["a", "b"])
def test_drops_never_pair_items_of_different_frames(held, monkeypatch, overflow, ahead, leader):
    monkeypatch.setattr(imp.ConstantsImp, "QUEUE_BLOCK_TIMEOUT", 0.01)
    node = held(5, overflow, inputs=(("a", SYNC), ("b", SYNC)), first={"a": -1, "b": -1})
    other = "b" if leader == "a" else "a"
    for i in range(ahead):  # the leader's queue fills up while the node is busy
        node.get_input_port(leader).push(i)
    node.gate.set()
    for i in range(ahead):  # then the other input catches up, and one more frame follows
        node.get_input_port(other).push(i)
    node.get_input_port(leader).push(ahead)
    node.get_input_port(other).push(ahead)
    total = ahead + 1
    assert wait_until(lambda: len(node.frames) - 1 + node.get_dropped()["a"] == total)
    dropped = node.get_dropped()
    assert dropped[leader] == dropped[other]  # a frame goes whole, or not at all
    assert all(f["a"] == f["b"] for f in node.frames)
    assert node.get_max_backlog() == 0  # nothing is left waiting for a partner


def test_dropping_the_newest_item_drops_its_frame_at_every_input(held):
    node = held(
        5, Overflow.DROP_NEWEST, inputs=(("a", SYNC), ("b", SYNC)), first={"a": -1, "b": -1}
    )
    push = {name: node.get_input_port(name).push for name in "ab"}
    for i in range(8):  # a's 5, 6 and 7 find the queue full
        push["a"](i)
    for i in range(3):
        push["b"](i)
    drain(node, 4)
    for i in range(3, 9):  # b's 5, 6 and 7 lost their frames already
        push["b"](i)
    push["a"](8)
    assert wait_until(lambda: len(node.frames) == 7)
    assert [(f["a"], f["b"]) for f in node.frames[1:]] == [(i, i) for i in (0, 1, 2, 3, 4, 8)]
    assert node.get_dropped() == {"a": 3, "b": 3}
