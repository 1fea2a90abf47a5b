"""A decoupled worker that anticipates its stream: it gets what a sleeping one
gets, whatever the stream does, and polls only once it has learnt a spacing."""

import os
import random
import threading

import pytest
from support import Counter

from flowmesh.i_node import Overflow
from flowmesh.pipeline import Pipeline
from flowmesh.portable import Portable
from flowmesh.sources import Sink

TIMEOUT = 30.0
CPUS = os.sched_getaffinity(0) if hasattr(os, "sched_getaffinity") else None
polls = (os.cpu_count() or 1) > 1 if CPUS is None else len(CPUS) > 1


class Watching(Sink):
    """Keeps each frame and the CPUs its handler was allowed to run on."""

    def __init__(self, **config):
        self.masks = set()
        super().__init__(**config)

    def step(self, data):
        if CPUS is not None:
            self.masks.add(frozenset(os.sched_getaffinity(0)))
        return super().step(data)


@pytest.mark.parametrize("anticipate", [False, True])
def test_a_steady_stream_arrives_whole_and_in_order(anticipate):
    with Pipeline("") as p:
        sink = Watching(name="sink", decoupled=True, anticipate=anticipate)
        src = Counter(name="src", rate=500, frames=400)
        p.connect(src, sink)
        p.start()
        assert sink.wait_for(400, TIMEOUT)
        p.stop()
        assert sink.values() == list(range(1, 401))
        assert sink.get_dropped() == {"in": 0}
        caught = sink._imp._anticipated()
        # Polling needs a learnt spacing, which a steady stream of 400 gives
        # many times over, and a second CPU; a worker that does not anticipate
        # never polls for a delivery.
        assert caught > 0 if anticipate and polls else caught == 0
        # A worker that polled away from its producer's CPU runs handlers on all of its own.
        assert CPUS is None or sink.masks == {frozenset(CPUS)}


def irregular(port, count, seed):
    """Pushes 1..count with gaps that change at random: bursts, pauses, drift."""
    rng = random.Random(seed)
    for k in range(1, count + 1):
        port.push(k)
        pause = rng.choice([0, 0, 0.0002, 0.001, 0.001, 0.001, 0.004, 0.02])
        if pause:
            threading.Event().wait(pause)


@pytest.mark.parametrize("seed", range(3))
def test_an_irregular_stream_arrives_whole_and_in_order(seed):
    sink = Watching(decoupled=True, anticipate=True, overflow=Overflow.BLOCK)
    sink.start()
    try:
        irregular(sink.get_input_port("in"), 600, seed)
        assert sink.wait_for(600, TIMEOUT)
    finally:
        sink.stop()
    assert sink.values() == list(range(1, 601))


class Narrowing(Sink):
    """Narrows its own thread to one CPU at frame `at`, and notes how many
    deliveries its worker had caught by polling then, and the CPUs its
    handler may use at every later frame."""

    def __init__(self, at, **config):
        self.at, self.later, self.caught = at, set(), None
        super().__init__(**config)

    def step(self, data):
        if data["in"] == self.at:
            self.caught = self._imp._anticipated()
            os.sched_setaffinity(0, {max(CPUS)})
        elif data["in"] > self.at:
            self.later.add(frozenset(os.sched_getaffinity(0)))
        return super().step(data)


# Narrowed before it learnt a spacing, or once it polls.
@pytest.mark.parametrize("at", [1, 400])
def test_a_worker_narrowed_to_one_cpu_keeps_it_and_stops_polling(at):
    if CPUS is None or not polls:
        pytest.skip("needs a thread that may run on two CPUs and may be narrowed")
    with Pipeline("") as p:
        sink = Narrowing(at, name="sink", decoupled=True, anticipate=True)
        p.connect(Counter(name="src", rate=500, frames=800), sink)
        p.start()
        assert sink.wait_for(800, TIMEOUT)
        p.stop()
    assert sink.values() == list(range(1, 801))
    # Polling beside the producer on the one CPU left would hold it off; a
    # move off that CPU and back would undo the owner's choice.
    assert sink._imp._anticipated() == sink.caught
    assert (sink.caught > 0) == (at > 1)
    assert sink.later == {frozenset({max(CPUS)})}


def test_a_stop_ends_a_worker_that_is_polling_or_waiting_for_the_next_item():
    # Stopped at random points of a steady stream: inside a poll window,
    # in the sleep before one, or in the sleep after a missed one.
    rng = random.Random(7)
    for _ in range(5):
        with Pipeline("") as p:
            sink = Sink(name="sink", decoupled=True, anticipate=True)
            src = Counter(name="src", rate=1000)
            p.connect(src, sink)
            p.start()
            assert sink.wait_for(30 + rng.randrange(40), TIMEOUT)
            src.stop()
            threading.Event().wait(rng.choice([0, 0.0005, 0.003]))
            p.stop()
            assert sink.values() == list(range(1, src.k + 1))


def test_anticipating_is_kept_in_the_document():
    with Pipeline("") as p:
        p.add_node(Sink(name="sink", decoupled=True, anticipate=True))
        doc = p.serialize()
    del p
    Portable.reset()
    with Pipeline.deserialize(doc) as loaded:
        (sink,) = loaded._imp._nodes
        assert sink.config["anticipate"] is True
