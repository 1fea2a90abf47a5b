"""The sampling thread of a SampledSource: its frame loop, its stop request
and what ends it."""

import signal
import subprocess
import sys
import threading
import time

import pytest

from flowmesh.constants import Constants
from flowmesh.imp.vertex import StopFlag
from flowmesh.sources import SampledSource, Sink

TIMEOUT = 30.0


class Numbers(SampledSource):
    raised = None

    def step(self, data):
        if self.raised is not None and self.get_counter() == 2:
            raise self.raised
        return {"out": self.get_counter()}


def run(source, until=lambda source, sink: source.wait(TIMEOUT)):
    """Runs `source` into a sink until `until` holds; the sink's values."""
    sink = Sink()
    source.connect("out", sink, "in")
    sink.start()
    source.start()
    try:
        assert until(source, sink)
    finally:
        source.stop()
        sink.stop()
    assert not source._thread.is_alive()
    return sink.values()


@pytest.mark.parametrize("rate", [None, 2000])
@pytest.mark.parametrize("frames", [0, 1, 7])
def test_frames_limit_is_exact(rate, frames):
    assert run(Numbers(rate=rate, frames=frames)) == list(range(frames))


@pytest.mark.parametrize("rate", [1e-3, 1e-300])  # 1000 s, and beyond what a lock accepts
def test_stop_during_a_long_wait_is_prompt(rate):
    def stopped_promptly(source, sink):
        assert sink.wait_for(1, TIMEOUT) and not source.wait(0.2)
        began = time.monotonic()
        source.stop()
        return time.monotonic() - began < 5.0

    assert run(Numbers(rate=rate), stopped_promptly) == [0]


class OwnLoop(Numbers):
    def _produce(self, stop):  # reads its stop request as an event
        for _ in "ab":
            stop.wait(0.001) or self._imp._cycle()


@pytest.mark.parametrize("how", ["own-loop", "instance-cycle", "stopped", "failed"])
def test_what_drives_and_ends_the_frames(how):
    source = (OwnLoop if how == "own-loop" else Numbers)(frames=3)
    calls = []
    if how == "instance-cycle":
        own = source._imp._cycle
        source._imp._cycle = lambda data: calls.append(data) or own(data)
    elif how in ("stopped", "failed"):  # behind the loop's back, on frame 0
        source.config["frames"] = None
        field, value = {
            "stopped": ("_state", Constants.States.STOPPED),
            "failed": ("_condition", Constants.Conditions.ERROR),
        }[how]
        source._imp.step_handler = lambda data: setattr(source._imp, field, value) or {}
    values = run(source)
    assert values == {"own-loop": [0, 1], "instance-cycle": [0, 1, 2]}.get(how, [])
    assert calls == ([None] * 3 if how == "instance-cycle" else [])


@pytest.mark.parametrize(
    ("raised", "batch"),
    [
        (KeyboardInterrupt("ctrl-c"), False),
        (SystemExit("exit now"), False),
        (OSError("unplugged"), True),
    ],
)
def test_a_failure_leaving_the_cycle_is_kept(raised, batch, caplog):
    source = Numbers()
    source.raised, source.batch = raised, batch
    assert run(source) == [0, 1]
    assert source.failure() is raised and source.get_counter() == 2
    # A batch run's Exception is the run's to handle; anything else fails the node.
    failed = Constants.Conditions.HEALTHY if batch else Constants.Conditions.ERROR
    assert source.get_condition() == failed
    assert [r.levelname for r in caplog.records if str(raised) in r.getMessage()] == ["ERROR"]


UNPACED_C_STEP = """
import gc, threading, time
from flowmesh.sources import SampledSource
source = SampledSource()  # unconnected: after setup, its cycles run no Python code
source._imp.step_handler = dict
source.start()
while source.get_counter() < 1000:
    time.sleep(0.001)
gc.collect()  # without the GIL, every thread must stop for it
other = threading.Thread(target=source.stop)
other.start()
other.join(30)
assert not source._thread.is_alive() and source.failure() is None
print("ok")
"""


def test_a_step_that_runs_no_bytecode_leaves_the_interpreter_to_others():
    # A hang is the failure here, hence a process of its own with a deadline.
    result = subprocess.run(
        [sys.executable, "-c", UNPACED_C_STEP], capture_output=True, text=True, timeout=120
    )
    assert result.stdout.strip() == "ok", result.stderr


def _switches():
    with open("/proc/thread-self/status") as f:
        return int(f.read().split("\nvoluntary_ctxt_switches:")[1].split()[0])


@pytest.mark.skipif(not getattr(sys, "_is_gil_enabled", lambda: True)(), reason="no GIL")
def test_a_thread_waiting_for_the_interpreter_is_woken_once():
    # A free-running loop that let go of the interpreter every few frames woke
    # a thread waiting for it each time, for nothing: hundreds of times per wait.
    source = SampledSource()
    source._imp.step_handler = dict  # no bytecode: only the loop hands over
    source.start()
    try:
        while source.get_counter() < 1000:
            time.sleep(0.001)
        waits = 40
        counts = []

        def waiter():
            began = _switches()
            for _ in range(waits):
                time.sleep(0.002)
            counts.append(_switches() - began)

        thread = threading.Thread(target=waiter)
        thread.start()
        thread.join(TIMEOUT)
    finally:
        source.stop()
    # A sleep and a wait for the interpreter: a few switches each.
    assert counts and counts[0] < 8 * waits, counts


def test_stop_flag_behaves_as_an_event():
    flag = StopFlag()
    assert [flag.wait(t) for t in (0, -1, float("nan"), 0.01)] == [False] * 4
    with pytest.raises(TypeError):
        flag.wait("soon")
    woke = []
    waiters = [threading.Thread(target=lambda: woke.append(flag.wait())) for _ in range(4)]
    for waiter in waiters:
        waiter.start()
    time.sleep(0.05)
    flag.set()
    for waiter in waiters:
        waiter.join(TIMEOUT)
    assert woke == [True] * 4 and flag.is_set()
    flag.clear()
    assert not flag.is_set() and flag.wait(0) is False


class Alarm(Exception):
    pass


def test_a_signal_handler_interrupts_a_wait_on_the_main_thread():
    def alarm(signum, frame):
        raise Alarm

    previous = signal.signal(signal.SIGUSR1, alarm)
    timer = threading.Timer(0.05, signal.raise_signal, (signal.SIGUSR1,))
    try:
        began = time.monotonic()
        timer.start()
        with pytest.raises(Alarm):
            StopFlag().wait(TIMEOUT)
        assert time.monotonic() - began < TIMEOUT / 2  # not only once the wait ended
    finally:
        timer.join()
        signal.signal(signal.SIGUSR1, previous)
