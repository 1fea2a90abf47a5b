"""The sampling thread of a SampledSource: its frame loop, its stop request
and what ends it."""

import subprocess
import sys
import threading
import time

import pytest

from flowmesh.constants import Constants
from flowmesh.imp.vertex import StopFlag, _sample_frames
from flowmesh.logging import Logger
from flowmesh.sources import SampledSource, Sink

TIMEOUT = 30.0


class Numbers(SampledSource):
    def step(self, data):
        return {"out": self.get_counter()}


def started(source):
    sink = Sink()
    source.connect("out", sink, "in")
    sink.start()
    source.start()
    return sink


def stopped(source, sink):
    source.stop()
    sink.stop()


@pytest.mark.parametrize("rate", [None, 2000])
@pytest.mark.parametrize("frames", [0, 1, 7])
def test_frames_limit_is_exact_and_ends_the_thread(rate, frames):
    source = Numbers(rate=rate, frames=frames)
    sink = started(source)
    try:
        assert source.wait(TIMEOUT)
        time.sleep(0.05)  # a frame too many would show by now
        assert sink.values() == list(range(frames))
    finally:
        stopped(source, sink)


@pytest.mark.parametrize("rate", [1e-3, 1e-300])  # 1000 s, and beyond what a lock accepts
def test_stop_during_a_long_wait_is_prompt(rate):
    source = Numbers(rate=rate)
    sink = started(source)
    try:
        assert sink.wait_for(1, TIMEOUT)
        assert not source.wait(0.2)  # waiting for frame 1
        began = time.monotonic()
        source.stop()
        assert time.monotonic() - began < 5.0
        assert not source._thread.is_alive()
    finally:
        stopped(source, sink)


class OwnLoop(SampledSource):
    """Produces its own sequence with a loop of its own."""

    def _produce(self, stop):
        self._go.wait()
        for value in ("a", "b", "c"):
            if stop.wait(0.001):
                return
            self._imp._cycle({"out": value})

    def step(self, data):
        return data


def test_a_subclass_loop_is_used_and_reads_the_stop_request_as_an_event():
    source = OwnLoop()
    sink = started(source)
    try:
        assert source.wait(TIMEOUT)
        assert sink.values() == ["a", "b", "c"]
    finally:
        stopped(source, sink)
    assert source._stop_event.is_set()


class Raising(SampledSource):
    raised = None

    def step(self, data):
        if self.get_counter() == 2:
            raise self.raised
        return {"out": 0}


@pytest.mark.parametrize(
    ("raised", "batch"),
    [(KeyboardInterrupt("ctrl-c"), False), (SystemExit(4), False), (OSError("unplugged"), True)],
    ids=["keyboard-interrupt", "system-exit", "batch-exception"],
)
def test_a_failure_leaving_the_cycle_is_kept_and_logged(raised, batch):
    source = type("Bad", (Raising,), {"raised": raised})(name="bad")
    source.batch = batch
    logger = Logger("")
    source.set_logger(logger)
    source.start()
    try:
        assert source.wait(TIMEOUT)
    finally:
        source.stop()
        logger.stop()
    assert source.failure() is raised
    # A batch run's Exception is the run's to handle; anything else fails the node.
    failed = Constants.Conditions.HEALTHY if batch else Constants.Conditions.ERROR
    assert source.get_condition() == failed
    assert source.get_counter() == 2
    assert logger.get_incident(type=Constants.LogTypes.ERROR)["source"]["instance"] == "bad"


@pytest.mark.parametrize("how", ["stopped", "failed"])
def test_a_node_stopped_or_failed_behind_the_loop_ends_it(how):
    source = Numbers()
    sink = started(source)
    try:
        assert sink.wait_for(10, TIMEOUT)
        if how == "stopped":
            source._imp._state = Constants.States.STOPPED
        else:
            source._imp._condition = Constants.Conditions.ERROR
        assert source.wait(TIMEOUT)
    finally:
        stopped(source, sink)


UNPACED_C_STEP = """
import threading
import time
from flowmesh.sources import SampledSource

class Numbers(SampledSource):
    def step(self, data):
        return {"out": 0}

source = Numbers()  # unconnected: after setup, its cycles run no Python code
source._imp.step_handler = dict
source.start()
while source.get_counter() < 1000:
    time.sleep(0.001)
done = threading.Event()
threading.Thread(target=done.set).start()
assert done.wait(30)
source.stop()
assert not source._thread.is_alive() and source.failure() is None
print("ok")
"""


def test_a_step_that_runs_no_bytecode_leaves_the_interpreter_to_others():
    # A hang is the failure here, hence a process of its own with a deadline.
    result = subprocess.run(
        [sys.executable, "-c", UNPACED_C_STEP], capture_output=True, text=True, timeout=120
    )
    assert result.stdout.strip() == "ok", result.stderr


def test_a_cycle_redefined_on_the_instance_is_the_one_called():
    source = Numbers(frames=3)
    calls = []
    own = source._imp._cycle
    source._imp._cycle = lambda data: calls.append(data) or own(data)
    sink = started(source)
    try:
        assert source.wait(TIMEOUT)
    finally:
        stopped(source, sink)
    assert calls == [None, None, None]
    assert sink.values() == [0, 1, 2]


def test_stop_flag_behaves_as_an_event():
    flag = StopFlag()
    assert not flag.is_set()
    for timeout in (0, -1, float("nan"), 0.01):
        assert flag.wait(timeout) is False
    with pytest.raises(TypeError):
        flag.wait("soon")
    with pytest.raises(TypeError):
        StopFlag(True)
    woke = []
    waiter = threading.Thread(target=lambda: woke.append(flag.wait()))
    waiter.start()
    time.sleep(0.05)
    flag.set()
    waiter.join(TIMEOUT)
    assert woke == [True] and flag.is_set() and flag.wait(0) is True
    flag.clear()
    assert not flag.is_set()


@pytest.mark.parametrize(
    ("change", "error"),
    [
        ({"node": object()}, TypeError),
        ({"stop": threading.Event()}, TypeError),
        ({"t0": "now"}, TypeError),
        ({"period": None}, TypeError),
        ({"frames": 2.0}, TypeError),
        ({"frames": -1}, ValueError),
    ],
    ids=["node", "stop", "t0", "period", "frames-type", "frames-negative"],
)
def test_sample_frames_refuses_wrong_arguments(change, error):
    source = Numbers()
    source._imp.start()  # the node alone, without its sampling thread
    try:
        args = {"node": source._imp, "stop": StopFlag(), "t0": 0.0, "period": 0.0, "frames": 1}
        with pytest.raises(error):
            _sample_frames(**{**args, **change})
        assert source.get_counter() == 0
    finally:
        source._imp.stop()


def test_huge_frame_limit_counts_as_none():
    source = Numbers()
    source._imp.start()
    flag = StopFlag()
    seen = []

    def step(data):
        seen.append(1)
        if len(seen) == 5:
            flag.set()
        return {}

    source._imp.step_handler = step
    try:
        _sample_frames(source._imp, flag, time.monotonic(), 0.0, 2**70)
    finally:
        source._imp.stop()
    assert len(seen) == 5
