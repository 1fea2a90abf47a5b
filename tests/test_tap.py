"""TapImp, the port of no node the monitor plots from: its ring, its counts,
and its safety against other threads and misbehaving values."""

import gc
import sys
import threading
import time
import weakref
from array import array

import pytest

from flowmesh import imp
from flowmesh.constants import Constants
from flowmesh.i_port import IPort
from flowmesh.o_port import OPort


def make_tap(keep):
    return imp.TapImp(IPort.Configuration(name="in", timing=Constants.Timing.INHERITED), keep)


def through_an_output_port(tap):
    """The data path's push: an output port delivering to the tap in C++."""
    out = imp.OPortImp(OPort.Configuration(name="out", timing=Constants.Timing.INHERITED))
    out.connect(tap)
    return out.push


@pytest.mark.parametrize("via", ["method", "output port"])
@pytest.mark.parametrize("keep, pushes", [(1, 3), (3, 2), (64, 1000)])
def test_the_ring_keeps_the_last_values_with_their_times_in_order(via, keep, pushes):
    tap = make_tap(keep)
    push = tap.push if via == "method" else through_an_output_port(tap)
    push("before")
    tap.start()
    before = time.monotonic()
    for k in range(pushes):
        push(k)
    after = time.monotonic()
    tap.stop()
    push("after")
    assert tap.arrived == pushes
    last = tap.last
    times, values = tap.take()
    assert values == list(range(pushes))[-keep:]
    assert values[-1] == last[1] and len(times) == len(values)
    assert times[-1] == pytest.approx(last[0], abs=1e-6)  # one instant, read twice
    assert list(times) == sorted(times) and before <= times[0] and times[-1] <= after
    assert tap.take() == (array("d"), []) and tap.last is None
    assert tap.overwritten == max(0, pushes - keep)
    # A second round fills the ring the first take emptied.
    tap.start()
    for k in range(pushes):
        push(-k)
    assert tap.take()[1] == [-k for k in range(pushes)][-keep:]
    assert tap.overwritten == 2 * max(0, pushes - keep)
    tap._context = ["not", "a", "dict"]
    assert tap.context is None


@pytest.mark.parametrize("decimate", [False, True])
def test_a_stream_faster_than_its_reader_is_kept_evenly_only_where_asked(decimate):
    tap = imp.TapImp(IPort.Configuration(name="in"), 64, decimate=decimate)
    push = through_an_output_port(tap)
    tap.start()
    for burst, fast in enumerate([True, True, False, False]):
        for k in range(1000 if fast else 20):
            push((burst, k))
        _, values = tap.take()
        if decimate and burst == 1:
            # 1000 since the last take: 1 in the power of two over 1000 / 32.
            ks = [k for b, k in values if b == 1]
            assert tap.stride == 32 and len(ks) == len(values) in (31, 32)
            assert {b - a for a, b in zip(ks, ks[1:])} == {32}
        elif decimate and burst == 3:
            assert tap.stride == 1 and values == [(3, k) for k in range(20)]
        elif not decimate:
            # A recorder's tap: every value, the ring holding the newest.
            every = [(burst, k) for k in range(1000 if fast else 20)]
            assert tap.stride == 1 and values == every[-64:]
    assert tap.arrived == 2040


def test_each_time_is_the_monotonic_clock_s_at_its_push():
    # Pauses make a wrong rate show; a stop and restart keep values older
    # than the restart; each take converts what arrived since the last.
    tap = make_tap(64)
    push = through_an_output_port(tap)
    windows, taken = [], []
    tap.start()
    for round_ in range(3):
        for k in range(4):
            before = time.monotonic()
            push(k)
            windows.append((before, time.monotonic()))
            time.sleep(0.01)
        if round_ == 0:
            tap.stop()
            time.sleep(0.02)
            tap.start()
        else:
            taken.extend(tap.take()[0])
    assert len(taken) == len(windows)
    slack = 5e-6  # the two clocks are read one after the other
    assert all(b - slack <= t <= a + slack for t, (b, a) in zip(taken, windows))


@pytest.mark.parametrize("keep, error", [(0, ValueError), ("3", TypeError)])
def test_a_bad_keep_is_refused(keep, error):
    with pytest.raises(error):
        make_tap(keep)


def produce_alongside(produce, producers, other):
    """`produce(p)` on `producers` threads while `other(done)` runs on one
    more, until they have ended and `done` is set."""
    done = threading.Event()
    background = threading.Thread(target=other, args=(done,))
    threads = [threading.Thread(target=produce, args=(p,)) for p in range(producers)]
    background.start()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    done.set()
    background.join(timeout=60)


@pytest.mark.parametrize("keep", [7, 1 << 17])
def test_pushes_from_several_threads_while_another_takes_add_up(keep):
    tap = make_tap(keep)
    tap.start()
    producers, each, taken = 4, 20_000, []

    def produce(p):
        for k in range(each):
            tap.push((p, k))

    def take(done):
        while not done.is_set():
            taken.append(tap.take())
        taken.append(tap.take())

    produce_alongside(produce, producers, take)
    assert tap.arrived == producers * each
    values = [v for _, batch in taken for v in batch]
    for times, batch in taken:
        assert list(times) == sorted(times) and len(times) == len(batch)
    for p in range(producers):
        # Each producer's values in its own order, none twice.
        mine = [k for q, k in values if q == p]
        assert mine == sorted(set(mine))
    # Every value was taken or given way, whatever the ring's size.
    assert len(values) + tap.overwritten == producers * each
    if keep > producers * each:
        assert len(values) == producers * each


def test_a_port_switching_between_collecting_and_its_node_loses_nothing():
    from flowmesh.pipeline import Pipeline
    from flowmesh.sources import Sink

    seen = []
    sink = Sink(name="sink", callback=lambda data: seen.append(data["in"]))
    port = sink.get_input_port("in")
    tap = make_tap(1 << 17)
    tap.start()
    producers, each = 3, 5_000

    def produce(p):
        for k in range(each):
            port.push((p, k))

    def switch(done):
        while not done.is_set():
            port._collect(tap, counts=True)
            port._collect(None)

    with Pipeline(directory="") as pipeline:
        pipeline.add_node(sink)
        pipeline.start()
        produce_alongside(produce, producers, switch)
        pipeline.stop()
    taken = tap.take()[1]
    # Each value went to the tap or to the node's cycle, once, both counted
    # as cycles, or was dropped by the node's queue (a slow build's backlog).
    values = taken + seen
    assert len(set(values)) == len(values)
    assert len(values) + sum(sink.get_dropped().values()) == producers * each
    assert sink.get_counter() == len(values) and tap.arrived == len(taken)


class Unruly:
    """Refuses comparison, and on its way out raises and pushes to the tap."""

    def __init__(self, tap):
        self.tap = tap

    def __eq__(self, other):
        raise RuntimeError("no comparison")

    __hash__ = None

    def __del__(self):
        self.tap.push("from a finaliser")
        self.tap.take()
        raise RuntimeError("no finalising")


def test_values_whose_finaliser_pushes_and_raises_or_that_refuse_comparison(monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    tap = make_tap(1)
    tap.start()
    for _ in range(5):
        tap.push(Unruly(tap))  # each gives way to the next, with its finaliser run
    tap.take()
    assert len(unraisable) == 5
    assert all("no finalising" in str(u.exc_value) for u in unraisable)
    # Each push counted, and so did each finaliser's.
    assert tap.arrived == 10


def test_a_tap_in_a_reference_cycle_with_a_kept_value_is_collected():
    tap = make_tap(3)
    tap.start()
    box = [tap]
    tap.push(box)
    gone = weakref.ref(tap)
    del tap, box
    gc.collect()
    assert gone() is None
