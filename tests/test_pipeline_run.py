"""Real pipelines on real threads: sources, nodes and sinks under a pipeline."""

import gc
import io
import os
import sys
import threading
import time
import weakref

import pytest
from support import Counter, Doubler, wait_until

from flowmesh import imp
from flowmesh.constants import Constants
from flowmesh.io_node import IONode
from flowmesh.pipeline import Pipeline
from flowmesh.sources import EventSource, Sink

States, Conditions, LogTypes = Constants.States, Constants.Conditions, Constants.LogTypes
MONITORING_INTERVAL = INTERVAL = 0.02
RULE = "=" * 120
TIMEOUT = 30.0


pytestmark = pytest.mark.usefixtures("fast_monitor")


class SlowSink(Sink):
    delay = 0.005

    def step(self, data):
        time.sleep(self.delay)
        return super().step(data)


ASYNC_IN = [{"name": "in", "timing": Constants.Timing.ASYNC}]


def chain(p, rate=500, frames=None, **sink_config):
    src = Counter(name="src", rate=rate, frames=frames)
    mid = Doubler(name="mid")
    sink = Sink(name="sink", **sink_config)
    # The natural order: connect adds the source first, so it starts before
    # its consumers; the pipeline holds its production until all have started.
    p.connect(src, mid)
    p.connect(mid, sink)
    return src, mid, sink


def test_failing_step_stops_the_pipeline(tmp_path, capsys, log_lines):
    p = Pipeline(str(tmp_path))
    src, mid, sink = chain(p)
    mid.fail_at = 5
    handled = []

    def first(entry):
        handled.append(("first", entry["message"], p.get_state(), p.get_condition()))

    def broken(entry):
        handled.append("broken")
        raise KeyError("handler bug")

    def last(entry):
        handled.append(("last", entry["source"]["instance"]))

    for h in (first, broken, last):
        p.add_error_handler(h)
    capsys.readouterr()
    p.start()
    assert wait_until(lambda: p.get_state() == States.STOPPED)
    failed_at = time.monotonic()
    p.stop()  # joins the monitoring thread, which reports after stopping
    assert time.monotonic() - failed_at < 5
    assert p.get_condition() == Conditions.ERROR
    assert [e.get_state() for e in (src, mid, sink)] == [States.STOPPED] * 3
    assert handled == [
        ("first", "cannot take 5", States.STOPPED, Conditions.ERROR),
        "broken",
        ("last", "mid"),
    ]
    assert (
        "An error handler raised while reporting a pipeline failure: KeyError: 'handler bug'"
        in log_lines()
    )
    assert sink.values() == [2, 4, 6, 8]

    out = capsys.readouterr().out.split("\n")
    top = out.index("*** cannot take 5 ***")
    assert out[top - 1] == RULE and out[top + 1] == ""
    # The banner names the file the step raised in: the shared Doubler's.
    assert out[top + 2].startswith("Raised in support.py:") and out[top + 2].endswith(" in step")
    assert out[top + 3] == "Node: mid"
    assert out[top + 4] == f"File in: {os.path.dirname(os.path.abspath(__file__))}"
    assert out[top + 5] == f"See log file for details: {p._imp._logger.file_name}"
    assert out[top + 6 : top + 8] == [RULE, "Pipeline stopped."]

    with pytest.raises(RuntimeError) as info:
        p.raise_if_failed()
    where = p.get_last_error()["source"]["summary"]
    assert str(info.value) == f"The pipeline failed: cannot take 5 in node 'mid' at {where}"
    assert isinstance(info.value.__cause__, ZeroDivisionError)
    assert info.value.__cause__ is mid.failure()
    p.close()


class CountedInterval:
    """A monitoring interval that counts the waits: the monitoring thread reads
    it before each one."""

    def __init__(self, seconds):
        self.seconds, self.waits = seconds, 0

    def __float__(self):
        self.waits += 1
        return float(self.seconds)


def test_failure_is_seen_within_about_one_interval(monkeypatch):
    interval = CountedInterval(0.2)
    monkeypatch.setattr(imp.ConstantsImp, "MONITORING_INTERVAL", interval)
    with Pipeline("") as p:
        src = EventSource(name="events")
        mid = Doubler(name="mid", input_ports=ASYNC_IN)
        mid.fail_at = 1
        p.connect(src, mid)
        p.start()
        src.trigger(1)
        waits = interval.waits
        assert wait_until(lambda: p.get_state() == States.STOPPED)
        # Seen by the pass ending the wait under way, or by the next one when
        # it came in mid-pass: counted in waits, whatever the machine's load.
        assert interval.waits - waits <= 1


def test_restart_after_failure_runs_healthy(log_lines):
    with Pipeline("") as p:
        src, mid, sink = chain(p, frames=10)
        mid.fail_at = 3
        p.start()
        assert wait_until(lambda: p.get_state() == States.STOPPED)
        p.stop()
        assert p.get_condition() == Conditions.ERROR and mid.get_condition() == Conditions.ERROR
        mid.fail_at = None
        sink.clear()
        p.start()
        assert (
            "Pipeline recovering from a previous error ('cannot take 3'); resetting run state "
            "and restarting." in log_lines()
        )
        assert sink.wait_for(10, timeout=10)
        assert sink.values() == [2 * k for k in range(1, 11)]  # setup ran again: k restarts
        assert p.get_condition() == Conditions.HEALTHY
        assert all(e.get_condition() == Conditions.HEALTHY for e in (src, mid, sink))
        p.raise_if_failed()


def test_failure_just_before_stop_does_not_poison_the_next_run(monkeypatch):
    # The monitoring thread sees this failure only in its last pass, at the stop.
    interval = CountedInterval(30)
    monkeypatch.setattr(imp.ConstantsImp, "MONITORING_INTERVAL", interval)
    with Pipeline("") as p:
        src = EventSource(name="events")
        mid = Doubler(name="mid", input_ports=ASYNC_IN)
        sink = Sink(name="sink")
        p.connect(src, mid)
        p.connect(mid, sink)
        mid.fail_at = 1
        p.start()
        assert wait_until(lambda: interval.waits == 1)  # its first pass is over
        src.trigger(1)
        p.stop()
        assert p.get_condition() == Conditions.ERROR
        with pytest.raises(RuntimeError, match="^The pipeline failed: cannot take 1 in node 'mid'"):
            p.raise_if_failed()
        p.start()
        src.trigger(2)
        assert sink.wait_for(1, timeout=5) and sink.values() == [4]
        p.raise_if_failed()


class Journal:
    def __init__(self):
        self.calls = []


class Recorded(Sink):
    def __init__(self, journal, fail=False, **config):
        self.journal = journal
        self.fail = fail
        super().__init__(**config)

    def start(self):
        self.journal.calls.append(("start", self.name))
        if self.fail:
            raise RuntimeError(f"{self.name} cannot start")
        super().start()

    def stop(self):
        self.journal.calls.append(("stop", self.name))
        super().stop()


def test_third_element_failing_to_start():
    journal = Journal()
    with Pipeline("") as p:
        nodes = [Recorded(journal, name=n, fail=(n == "c")) for n in "abcd"]
        for n in nodes:
            p.add_node(n)
        threads = set(threading.enumerate())
        with pytest.raises(RuntimeError, match="^c cannot start$"):
            p.start()
        assert journal.calls == [
            ("start", "a"),
            ("start", "b"),
            ("start", "c"),
            ("stop", "b"),
            ("stop", "a"),
        ]
        assert p.get_state() == States.STOPPED and p.get_elapsed_time() == 0.0
        assert p._imp._monitor_thread is None and set(threading.enumerate()) <= threads
        assert [n.get_state() for n in nodes] == [States.STOPPED] * 4


def test_backlog_warning_once_per_crossing(monkeypatch, log_lines):
    monkeypatch.setattr(imp.ConstantsImp, "BACKLOG_WARNING", 5)
    monkeypatch.setattr(imp.ConstantsImp, "BACKLOG_ERROR", 10**9)
    console = Console(tty=True)
    with Pipeline("") as p:
        monkeypatch.setattr(sys, "stdout", console)
        src = Counter(name="src", rate=None, frames=60)
        sink = SlowSink(name="sink", decoupled=True)
        p.add_node(sink)
        p.connect(src, sink)
        p.start()
        assert wait_until(lambda: p.get_condition() == Conditions.WARNING)
        assert sink.wait_for(60, timeout=20)
        # Drained: a later pass of the monitoring thread puts the level back.
        assert wait_until(lambda: p._imp._backlog_level == "ok")
        warnings = [m for m in log_lines() if m.startswith("Input backlog")]
        assert len(warnings) == 1
        assert warnings[0].endswith(
            "items) exceeds the warning threshold (5); a consumer is falling behind."
        )
        assert p.get_state() == States.RUNNING
    banner = console.getvalue()
    assert banner.startswith("\x1b[33m\n" + RULE + "\n*** Input backlog (")
    assert banner.endswith(RULE + "\n\x1b[0m\n")
    assert "\x1b[31m" not in banner and "\x1b[1m" not in banner


def test_backlog_error_stops_the_pipeline(monkeypatch, capsys):
    monkeypatch.setattr(imp.ConstantsImp, "BACKLOG_WARNING", 3)
    monkeypatch.setattr(imp.ConstantsImp, "BACKLOG_ERROR", 8)
    with Pipeline("") as p:
        src = Counter(name="src", rate=None)
        sink = SlowSink(name="sink", decoupled=True)
        sink.delay = 0.05
        p.add_node(sink)
        p.connect(src, sink)
        p.start()
        assert wait_until(lambda: p.get_state() == States.STOPPED)
        p.stop()
        assert p.get_condition() == Conditions.ERROR
        message = p.get_last_error()["message"]
        assert message.startswith("Input backlog (") and message.endswith(
            "items) exceeds the error threshold (8); a consumer cannot keep up. Stopping pipeline."
        )
        assert f"*** {message} ***\n" in capsys.readouterr().out


def test_close_semantics_and_nothing_leaks():
    threads = set(threading.enumerate())
    p = Pipeline("")
    src, mid, sink = chain(p)
    p.start()
    assert sink.wait_for(3, timeout=10)
    p.close()
    assert p.get_state() == States.STOPPED
    assert all(e.get_state() == States.STOPPED for e in (src, mid, sink))
    p.close()
    refs = [weakref.ref(o) for o in (p, p._imp, src, mid, sink)]
    del p, src, mid, sink
    gc.collect()
    assert [r() for r in refs] == [None] * 5
    assert set(threading.enumerate()) <= threads


def test_pipeline_stopped_by_its_monitor_is_collected():
    threads = set(threading.enumerate())
    p = Pipeline("")
    src, mid, sink = chain(p)
    mid.fail_at = 2
    p.start()
    assert wait_until(lambda: p.get_state() == States.STOPPED)  # noqa: F821
    p.close()
    ref = weakref.ref(p._imp)
    del p, src, mid, sink
    gc.collect()
    assert ref() is None
    assert set(threading.enumerate()) <= threads


class Console(io.StringIO):
    def __init__(self, tty):
        super().__init__()
        self.tty = tty

    def isatty(self):
        return self.tty


@pytest.mark.parametrize(
    "env, tty", [({"NO_COLOR": "1"}, True), ({"TERM": "dumb"}, True), ({}, False)]
)
def test_banners_without_colour(monkeypatch, env, tty):
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    console = Console(tty)
    monkeypatch.setattr(sys, "stdout", console)
    with Pipeline("") as p:
        src, mid, sink = chain(p)
        mid.fail_at = 2
        p.start()
        assert wait_until(lambda: p.get_state() == States.STOPPED)
        p.stop()
    text = console.getvalue()
    assert "Pipeline stopped." in text and "\x1b" not in text


def test_unencodable_message_still_prints(monkeypatch):
    raw = io.BytesIO()
    console = io.TextIOWrapper(raw, encoding="ascii", errors="strict", write_through=True)
    monkeypatch.setattr(sys, "stdout", console)

    class Fussy(IONode):
        def step(self, data):
            raise ValueError("temp \u2192 \u221e\u00b0C")

    with Pipeline("") as p:
        src = Counter(name="src", rate=500)
        p.connect(src, Fussy(name="fussy"))
        p.start()
        assert wait_until(lambda: p.get_state() == States.STOPPED)
        p.stop()
    text = raw.getvalue().decode("ascii")
    assert "*** temp ? ??C ***\n" in text and "Node: fussy" in text


def test_monitoring_survives_a_flaky_logger(log_lines):
    with Pipeline("") as p:
        src, mid, sink = chain(p)
        logger = p._imp._logger
        real = logger.get_incident
        faults = []

        def flaky(*args, **kwargs):
            if not faults:
                faults.append(1)
                raise OSError("incident store unavailable")
            return real(*args, **kwargs)

        p.start()
        logger.get_incident = flaky
        assert wait_until(
            lambda: "Monitoring thread recovered from: incident store unavailable" in log_lines()
        )
        # The monitoring thread may get this far before the source's own
        # thread has run its setup.
        assert wait_until(lambda: hasattr(src, "k"))
        mid.fail_at = src.k + 5
        assert wait_until(lambda: p.get_state() == States.STOPPED)
        assert p.get_condition() == Conditions.ERROR


def test_monitoring_survives_a_failing_backlog_query(log_lines):
    with Pipeline("") as p:
        src, mid, sink = chain(p)

        def broken():
            raise LookupError("queue gone")

        sink._imp.get_max_backlog = broken
        p.start()
        assert wait_until(lambda: "Monitoring thread recovered from: queue gone" in log_lines())
        assert p._imp._monitor_thread.is_alive()
        assert wait_until(lambda: hasattr(src, "k"))
        mid.fail_at = src.k + 5
        assert wait_until(lambda: p.get_state() == States.STOPPED)
        assert p.get_condition() == Conditions.ERROR


def test_stress_start_stop_cycles():
    threads = set(threading.enumerate())
    with Pipeline("") as p:
        src, mid, sink = chain(p, rate=None, frames=5)
        counts = []
        for run in range(200):
            p.start()
            assert sink.wait_for(5, timeout=10), f"run {run} lost frames"
            p.stop()
            assert sink.values() == [2 * k for k in range(5 * run + 1, 5 * run + 6)]
            sink.clear()
            if run in (20, 199):
                gc.collect()
                counts.append(len(gc.get_objects()))
        assert p.get_condition() == Conditions.HEALTHY
        assert set(threading.enumerate()) <= threads
        assert counts[1] - counts[0] < 100


class SlowToStop(Sink):
    """Says when its stop begins, then takes `delay` seconds: frames keep
    coming meanwhile, unless their producer stopped first."""

    delay = 0.01

    def __init__(self, **config):
        self.stopping = threading.Event()
        super().__init__(**config)

    def stop(self):
        self.stopping.set()
        time.sleep(self.delay)
        super().stop()


@pytest.mark.parametrize("consumers_first", [True, False])
def test_no_stop_loses_a_frame_on_any_link(consumers_first):
    p = Pipeline("")
    src, mid = Counter(name="src", rate=1000), Doubler(name="mid")
    sink, dsink = Sink(name="sink"), SlowToStop(name="dsink", decoupled=True)
    if consumers_first:  # the order that used to lose the last frames
        for element in (sink, dsink, mid):
            p.add_node(element)
    p.connect(src, mid)
    p.connect(mid, sink)
    p.connect(src, dsink)
    seen = {"src": 0, "mid": 0, "sink": 0, "dsink": 0}
    try:
        for _ in range(10):
            p.start()
            assert wait_until(lambda: len(dsink.frames) > seen["dsink"] + 5)
            p.stop()
            now = {
                "src": src.k,
                "mid": mid.get_counter(),
                "sink": len(sink.frames),
                "dsink": len(dsink.frames),
            }
            made = {name: now[name] - seen[name] for name in now}
            drops = [node.get_dropped()["in"] for node in (mid, sink, dsink)]
            assert (made["mid"], made["sink"], made["dsink"], drops) == (
                (made["src"],) * 3 + ([0, 0, 0],)
            )
            seen = now
    finally:
        p.close()


def test_producers_stop_before_their_consumers(log_lines):
    p = Pipeline("")
    src, mid, sink, lone = (
        Counter(name="src"),
        Doubler(name="mid"),
        Sink(name="sink"),
        Sink(name="lone"),
    )
    for element in (sink, lone, mid):
        p.add_node(element)
    p.connect(mid, sink)
    p.connect(src, mid)
    p.start()
    p.stop()
    p.close()
    stopped = [m.split()[0] for m in log_lines() if m.endswith(" stopped.")]
    assert stopped == ["lone", "src", "mid", "sink", "Pipeline"]


@pytest.mark.parametrize("stopper", ["stop", "close"])
def test_a_failure_just_before_a_stop_is_still_reported(monkeypatch, capsys, stopper):
    monkeypatch.setattr(imp.ConstantsImp, "MONITORING_INTERVAL", 3600)
    p = Pipeline("")
    events = EventSource(name="events")

    def fail(frame):
        raise ZeroDivisionError(f"cannot take {frame['in']}")

    p.connect(events, Sink(name="mid", input_ports=ASYNC_IN, callback=fail))
    handled = []
    p.add_error_handler(lambda entry: handled.append(entry["message"]))
    logger = p._imp._logger
    real, pass_over = logger.get_incident, threading.Event()

    def watched(type=None, opaque=False):
        incident = real(type=type, opaque=opaque)
        # The monitoring thread's last look of its pass: the next one is an
        # hour away. start() takes the same look on this thread, to clear.
        if opaque and type == LogTypes.WARNING and threading.current_thread() is not client:
            pass_over.set()
        return incident

    client = threading.current_thread()
    logger.get_incident = watched
    p.start()
    assert pass_over.wait(30)
    events.trigger(3)  # fails in mid, on this thread
    getattr(p, stopper)()
    assert p.get_condition() == Conditions.ERROR
    assert len(handled) == 1 and "cannot take 3" in str(handled[0])
    assert "Node: mid" in capsys.readouterr().out
    with pytest.raises(RuntimeError, match="cannot take 3"):
        p.raise_if_failed()
    p.close()


@pytest.mark.parametrize("stopper", ["stop", "close"])
def test_the_main_thread_s_stop_waits_for_the_monitoring_thread_s_report(
    monkeypatch, capsys, stopper
):
    monkeypatch.setattr(imp.ConstantsImp, "MONITORING_INTERVAL", 0.01)
    p = Pipeline("")
    events = EventSource(name="events")

    def fail(frame):
        raise ZeroDivisionError("cannot take it")

    slow = SlowToStop(name="slow")
    slow.delay = 0.3
    p.add_node(slow)
    p.connect(events, Sink(name="mid", input_ports=ASYNC_IN, callback=fail))
    handled = []
    p.add_error_handler(lambda entry: handled.append(entry["message"]))
    p.start()
    events.trigger(1)
    # The monitoring thread is stopping the run: this stop comes meanwhile.
    assert slow.stopping.wait(30)
    getattr(p, stopper)()
    assert len(handled) == 1 and p.get_state() == States.STOPPED
    assert "Node: mid" in capsys.readouterr().out
    p.close()


# ------------------------------------------------- restart from inside a run


class Restarting(Counter):
    """Stops and restarts its pipeline from its own step, at frame 3 of its first run."""

    pipeline = None
    refused = None

    def step(self, data):
        out = super().step(data)
        if self.k == 3 and self.refused is None:
            self.pipeline.stop()
            try:
                self.pipeline.start()
            except RuntimeError as e:
                self.refused = e
        return out


@pytest.mark.parametrize("in_chain", [False, True], ids=["source", "chain"])
def test_a_restart_from_a_sources_own_step_is_refused_not_left_dead(in_chain):
    from flowmesh.o_chain import OChain

    with Pipeline("") as p:
        if in_chain:

            class Front(OChain):
                def build_nodes(self, config):
                    return [Restarting(name="counter", rate=200)]

            element = Front(name="front")
            source = element.get_nodes()[0]
        else:
            element = source = Restarting(name="counter", rate=200)
        source.pipeline = p
        sink = Sink(name="sink")
        p.connect(element, sink)
        p.start()
        assert source.wait(TIMEOUT)  # the sampling thread ends: nothing runs on
        assert "cannot be started from its own sampling thread" in str(source.refused)
        assert p.get_state() == States.STOPPED
        assert element.get_state() == States.STOPPED
        # Another thread may start it again, and the run is alive.
        p.start()
        assert p.get_state() == States.RUNNING
        assert sink.wait_for(6, TIMEOUT)
        p.stop()
