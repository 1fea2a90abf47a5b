"""PipelineImp against small doubles of the logger and the elements.

The doubles record every call, so order and wording can be checked exactly; the
end-to-end behaviour with real nodes is in test_pipeline_run.py.
"""

import gc
import io
import sys
import threading
import time
import types
import weakref

import pytest
from support import wait_until

import flowmesh.logging
from flowmesh import imp
from flowmesh.constants import Constants
from flowmesh.imp import conductor
from flowmesh.pipeline import Pipeline

States, Conditions, LogTypes = Constants.States, Constants.Conditions, Constants.LogTypes
RULE = "=" * 120


class FakeLogger:
    """Records writes; ERROR/WARNING writes become incidents as in the real logger."""

    persistent = False

    def __init__(self, directory=None):
        self.directory = directory
        self.entries = []
        self.latest = {}
        self.pending = {}
        self.file_name = None
        self.attempted_file = None
        self.file_error = None
        self.flushes = 0
        self.stops = 0
        self.incident_faults = 0

    def write(self, type=None, message=None):
        self.entries.append((type, message))
        if type in (LogTypes.ERROR, LogTypes.WARNING):
            self.record(type, {"message": str(message), "source": {"instance": None}})

    def record(self, type, entry):
        self.latest[type] = entry
        self.pending.setdefault(type, entry)

    def get_incident(self, type=None, opaque=False):
        if self.incident_faults:
            self.incident_faults -= 1
            raise RuntimeError("injected incident fault")
        if not opaque:
            return self.latest.get(type)
        return self.pending.pop(type, None)

    def is_persistent(self):
        return self.persistent

    def flush(self):
        self.flushes += 1

    def stop(self):
        self.stops += 1

    def lines(self):
        return [str(m) for _, m in self.entries]


class FakeImp:
    def __init__(self, element):
        self.element = element
        self.backlog = 0

    def reset_run_state(self):
        self.element.journal.append((self.element.name, "reset"))
        self.element.condition = Conditions.HEALTHY
        self.element.kept = None

    def get_max_backlog(self):
        if isinstance(self.backlog, Exception):
            raise self.backlog
        return self.backlog


class Element:
    def __init__(self, name, journal=None):
        self.name = name
        self.journal = journal if journal is not None else []
        self._imp = FakeImp(self)
        self.logger = None
        self.state = States.STOPPED
        self.condition = Conditions.HEALTHY
        self.kept = None
        self.start_error = None
        self.stop_error = None
        self.connect_error = None

    def set_logger(self, logger):
        self.journal.append((self.name, "set_logger"))
        self.logger = logger

    def start(self):
        self.journal.append((self.name, "start"))
        if self.start_error:
            raise self.start_error
        self.state = States.RUNNING

    def stop(self):
        self.journal.append((self.name, "stop"))
        if self.stop_error:
            raise self.stop_error
        self.state = States.STOPPED

    def get_state(self):
        return self.state

    def get_condition(self):
        return self.condition

    def failure(self):
        return self.kept

    def connect(self, output_port, target, input_port):
        self.journal.append((self.name, "connect", output_port, target.name, input_port))
        if self.connect_error:
            raise self.connect_error

    def disconnect(self, output_port, target, input_port):
        self.journal.append((self.name, "disconnect", output_port, target.name, input_port))
        if self.connect_error:
            raise self.connect_error


class ONode(Element):
    pass


class INode(Element):
    pass


class IONode(ONode, INode):
    pass


class OChain(Element):
    pass


class IChain(Element):
    pass


class IOChain(Element):
    pass


def _module(monkeypatch, name, **attrs):
    module = types.ModuleType(name)
    module.__dict__.update(attrs)
    monkeypatch.setitem(sys.modules, name, module)


@pytest.fixture(autouse=True)
def doubles(monkeypatch):
    monkeypatch.setattr(flowmesh.logging, "Logger", FakeLogger)
    _module(monkeypatch, "flowmesh.o_node", ONode=ONode)
    _module(monkeypatch, "flowmesh.i_node", INode=INode)
    # Chains do not exist: their modules must count as "no such class".
    for name in ("flowmesh.o_chain", "flowmesh.i_chain", "flowmesh.io_chain"):
        monkeypatch.setitem(sys.modules, name, None)
    monkeypatch.setattr(imp.ConstantsImp, "MONITORING_INTERVAL", 0.01)
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.delenv("TERM", raising=False)


@pytest.fixture
def pipeline():
    p = Pipeline()
    yield p
    p.close()


@pytest.fixture
def journal():
    return []


def log_lines(p):
    return p._imp._logger.lines()


# ------------------------------------------------------------------- graph


def test_new_pipeline_fields():
    p = imp.PipelineImp(directory="somewhere")
    assert p._nodes == [] and p._error_handlers == []
    assert isinstance(p._logger, FakeLogger) and p._logger.directory == "somewhere"
    assert (p._state, p._condition) == (States.STOPPED, Conditions.HEALTHY)
    assert p._monitor_thread is None and p._start_time is None
    assert isinstance(p._stop_event, threading.Event) and not p._stop_event.is_set()
    assert p._backlog_level == "ok"
    assert p.get_backlog() == 0 and p.get_elapsed_time() == 0.0


@pytest.mark.parametrize("directory", [3, b"dir", ["x"]])
def test_directory_type_is_checked(directory):
    with pytest.raises(TypeError) as info:
        imp.PipelineImp(directory)
    assert str(info.value) == (
        f"Argument 'directory' has incorrect type (expected str, got {type(directory).__name__})"
    )


@pytest.mark.parametrize(
    "attempted, error, expected",
    [
        (
            None,
            None,
            "*** flowmesh: no log file could be created. Logging to memory only - no "
            "persistent audit trail will be written. ***\n",
        ),
        (
            "/x/f.log",
            "denied",
            "*** flowmesh: no log file could be created at /x/f.log. denied "
            "Logging to memory only - no persistent audit trail will be "
            "written. ***\n",
        ),
        (
            "",
            "why",
            "*** flowmesh: no log file could be created. why Logging to memory only - no "
            "persistent audit trail will be written. ***\n",
        ),
    ],
)
def test_console_notice_without_log_file(monkeypatch, capsys, attempted, error, expected):
    class Unwritable(FakeLogger):
        def __init__(self, directory=None):
            super().__init__(directory)
            self.attempted_file, self.file_error = attempted, error

    monkeypatch.setattr(flowmesh.logging, "Logger", Unwritable)
    p = Pipeline("d")
    assert capsys.readouterr().out == expected
    assert p.is_logging_persistent() is False


def test_no_notice_with_log_file(monkeypatch, capsys):
    monkeypatch.setattr(FakeLogger, "persistent", True)
    p = Pipeline()
    assert capsys.readouterr().out == ""
    assert p.is_logging_persistent() is True
    p._imp._logger = None
    assert p.is_logging_persistent() is False


def test_add_node_hands_over_the_logger_and_logs(pipeline, journal):
    a = ONode("a", journal)
    pipeline.add_node(a)
    assert pipeline._imp._nodes == [a] and a.logger is pipeline._imp._logger
    assert log_lines(pipeline) == ["Node a added to pipeline."]
    with pytest.raises(ValueError, match=r"^Node already exists in pipeline\.$"):
        pipeline.add_node(a)
    assert pipeline._imp._nodes == [a] and journal == [("a", "set_logger")]


class RefusesLogger(ONode):
    def set_logger(self, logger):
        raise RuntimeError("no logger for me")


class Nameless(ONode):
    @property
    def name(self):
        raise AttributeError("nameless")

    @name.setter
    def name(self, value):
        pass


@pytest.mark.parametrize(
    "bad",
    [None, RefusesLogger("r"), Nameless("n")],
    ids=["none", "set_logger-raises", "name-raises"],
)
def test_failed_add_leaves_the_pipeline_unchanged(pipeline, bad):
    with pytest.raises(Exception):
        pipeline.add_node(bad)
    assert pipeline._imp._nodes == []
    # The pipeline still starts and stops.
    pipeline.start()
    pipeline.stop()


def test_connect_adds_source_then_target(pipeline, journal):
    a, b = ONode("a", journal), INode("b", journal)
    pipeline.connect(a, b)
    assert pipeline._imp._nodes == [a, b]
    assert log_lines(pipeline) == [
        "Node a added to pipeline.",
        "Node b added to pipeline.",
        "Nodes a[out] and b[in] connected.",
    ]
    assert journal[-1] == ("a", "connect", "out", "b", "in")


def test_connect_with_dictionaries(pipeline, journal):
    a, b = IONode("a", journal), IONode("b", journal)
    pipeline.add_node(b)
    pipeline.connect({"node": a, "port": "x"}, {"node": b, "port": "y"})
    assert pipeline._imp._nodes == [b, a]
    assert journal[-1] == ("a", "connect", "x", "b", "y")
    assert log_lines(pipeline)[-1] == "Nodes a[x] and b[y] connected."


class SubDict(dict):
    pass


SOURCE_CAP = "source must have output capability (ONode, IONode, OChain, or IOChain)."
TARGET_CAP = "target must have input capability (INode, IONode, IChain, or IOChain)."


@pytest.mark.parametrize(
    "source, target, message",
    [
        (INode("i"), INode("t"), SOURCE_CAP),
        ({"port": "out"}, INode("t"), SOURCE_CAP),
        ({"node": ONode("s"), "port": 3}, INode("t"), "source dict is malformed."),
        ({"node": ONode("s")}, INode("t"), "source dict is malformed."),
        (SubDict(node=ONode("s"), port="out"), INode("t"), SOURCE_CAP),
        (ONode("s"), ONode("o"), TARGET_CAP),
        (ONode("s"), {"node": INode("t"), "port": None}, "target dict is malformed."),
        (ONode("s"), None, TARGET_CAP),
        (None, INode("t"), SOURCE_CAP),
    ],
)
def test_connect_rejects_endpoints_before_changing_anything(pipeline, source, target, message):
    with pytest.raises(TypeError) as info:
        pipeline.connect(source, target)
    assert str(info.value) == message
    assert pipeline._imp._nodes == [] and log_lines(pipeline) == []


def test_connect_rewords_port_type_errors(pipeline):
    a, b = ONode("a"), INode("b")
    a.connect_error = TypeError("incompatible types")
    with pytest.raises(TypeError) as info:
        pipeline.connect(a, b)
    assert str(info.value) == "incompatible types (connecting 'a' to 'b')"
    assert info.value.__cause__ is a.connect_error
    # Added before the connection was tried, and they stay.
    assert pipeline._imp._nodes == [a, b]
    assert not log_lines(pipeline)[-1].endswith("connected.")


def test_connect_passes_other_errors_unchanged(pipeline):
    a, b = ONode("a"), INode("b")
    a.connect_error = ValueError("Output port 'zz' not found.")
    with pytest.raises(ValueError) as info:
        pipeline.connect({"node": a, "port": "zz"}, b)
    assert info.value is a.connect_error


def test_disconnect_adds_then_disconnects(pipeline, journal):
    a, b = ONode("a", journal), INode("b", journal)
    pipeline.disconnect(a, {"node": b, "port": "p"})
    assert pipeline._imp._nodes == [a, b]
    assert journal[-1] == ("a", "disconnect", "out", "b", "p")
    assert log_lines(pipeline)[-1] == "Nodes a[out] and b[p] disconnected."


def test_disconnect_checks_capability_after_adding(pipeline):
    a, wrong = ONode("a"), ONode("w")
    with pytest.raises(TypeError, match=r"^target must have input capability"):
        pipeline.disconnect(a, {"node": wrong, "port": "in"})
    assert pipeline._imp._nodes == [a, wrong]
    a.connect_error = TypeError("not connected")
    with pytest.raises(TypeError) as info:
        pipeline.disconnect(a, INode("b"))
    assert info.value is a.connect_error  # not reworded


def test_disconnect_with_an_unusable_endpoint_keeps_the_pipeline_usable(pipeline):
    with pytest.raises(AttributeError):
        pipeline.disconnect({"node": None, "port": "out"}, INode("b"))
    assert pipeline._imp._nodes == []
    pipeline.start()
    assert pipeline.get_state() == States.RUNNING


@pytest.mark.parametrize(
    "value, output, input",
    [
        (ONode("o"), True, False),
        (INode("i"), False, True),
        (IONode("io"), True, True),
        (Element("e"), False, False),
        (None, False, False),
        (42, False, False),
        ("ONode", False, False),
        (ONode, False, False),
    ],
)
def test_capabilities_without_chains(value, output, input):
    assert conductor._has_output_capability(value) is output
    assert conductor._has_input_capability(value) is input


@pytest.mark.parametrize(
    "value, output, input",
    [(OChain("c"), True, False), (IChain("c"), False, True), (IOChain("c"), True, True)],
)
def test_capabilities_of_chains(monkeypatch, value, output, input):
    _module(monkeypatch, "flowmesh.o_chain", OChain=OChain)
    _module(monkeypatch, "flowmesh.i_chain", IChain=IChain)
    _module(monkeypatch, "flowmesh.io_chain", IOChain=IOChain)
    assert conductor._has_output_capability(value) is output
    assert conductor._has_input_capability(value) is input


# ------------------------------------------------------------- run control


def test_start_twice_runs_one_monitoring_thread(pipeline):
    before = set(threading.enumerate())
    pipeline.start()
    thread = pipeline._imp._monitor_thread
    pipeline.start()
    assert pipeline._imp._monitor_thread is thread and thread.daemon and thread.is_alive()
    # Threads of earlier tests may end meanwhile: only the new ones count.
    assert set(threading.enumerate()) - before == {thread}
    lines = log_lines(pipeline)
    assert (
        lines.count("Starting pipeline...") == 2 and lines.count("Pipeline running, skipping.") == 1
    )
    pipeline.stop()
    assert not thread.is_alive() and pipeline._imp._monitor_thread is None
    assert pipeline._imp._logger.flushes == 1


def test_start_and_stop_order(pipeline, journal):
    elements = [ONode(n, journal) for n in "abc"]
    for e in elements:
        pipeline.add_node(e)
    journal.clear()
    pipeline.start()
    assert journal == [("a", "start"), ("b", "start"), ("c", "start")]
    assert pipeline.get_state() == States.RUNNING
    time.sleep(0.02)
    assert pipeline.get_elapsed_time() > 0.0
    journal.clear()
    pipeline.stop()
    assert journal == [("a", "stop"), ("b", "stop"), ("c", "stop")]
    assert pipeline.get_elapsed_time() == 0.0
    lines = log_lines(pipeline)
    assert lines[-3:] == [
        "Stopping pipeline...",
        "Pipeline stopped.",
        "Monitoring thread terminated.",
    ]


@pytest.mark.parametrize(
    "condition, expected",
    [
        (
            Conditions.HEALTHY,
            ["Stopping pipeline...", "Pipeline has already been stopped. Skipping."],
        ),
        (Conditions.WARNING, ["Stopping pipeline..."]),
        (
            Conditions.ERROR,
            [
                "Stopping pipeline...",
                "Pipeline has already been stopped due to an error. Skipping.",
            ],
        ),
    ],
)
def test_stop_when_stopped(pipeline, condition, expected):
    pipeline._imp._condition = condition
    pipeline.stop()
    assert log_lines(pipeline) == expected
    assert pipeline._imp._stop_event.is_set() is False


@pytest.mark.parametrize("failed_reads_running", [False, True])
def test_start_failure_rolls_back(pipeline, journal, failed_reads_running):
    a, b, c, d = (ONode(n, journal) for n in "abcd")
    error = RuntimeError("device missing")
    c.start_error = error
    if failed_reads_running:
        c.state = States.RUNNING  # marked itself running before raising
    for e in (a, b, c, d):
        pipeline.add_node(e)
    journal.clear()
    with pytest.raises(RuntimeError) as info:
        pipeline.start()
    assert info.value is error
    stops = [("c", "stop")] if failed_reads_running else []
    assert journal == [("a", "start"), ("b", "start"), ("c", "start")] + stops + [
        ("b", "stop"),
        ("a", "stop"),
    ]
    assert pipeline.get_state() == States.STOPPED and pipeline.get_elapsed_time() == 0.0
    assert pipeline._imp._monitor_thread is None
    assert pipeline._imp._logger.entries[-1] == (LogTypes.ERROR, error)


def test_failed_rollback_stop_is_logged_and_start_error_reraised(pipeline):
    a, b = ONode("a"), ONode("b")
    a.stop_error = ValueError("stuck")
    b.start_error = KeyError("k")
    pipeline.add_node(a)
    pipeline.add_node(b)
    with pytest.raises(KeyError):
        pipeline.start()
    assert "Failed to stop node a while recovering from a start failure: stuck" in log_lines(
        pipeline
    )


@pytest.mark.parametrize(
    "incident, shown", [({"message": "boom", "source": {}}, "boom"), (None, "unknown")]
)
def test_restart_after_failed_run_resets_every_element(pipeline, journal, incident, shown):
    a, b = ONode("a", journal), INode("b", journal)
    pipeline.add_node(a)
    pipeline.add_node(b)
    pipeline._imp._condition = Conditions.ERROR
    pipeline._imp._backlog_level = "error"
    if incident:
        pipeline._imp._logger.latest[LogTypes.ERROR] = incident
    journal.clear()
    pipeline.start()
    assert journal == [("a", "reset"), ("b", "reset"), ("a", "start"), ("b", "start")]
    assert (
        f"Pipeline recovering from a previous error ('{shown}'); resetting run state and "
        "restarting." in log_lines(pipeline)
    )
    assert pipeline.get_condition() == Conditions.HEALTHY and pipeline._imp._backlog_level == "ok"


def test_start_discards_incidents_from_before_the_run(pipeline):
    logger = pipeline._imp._logger
    logger.write(type=LogTypes.ERROR, message="old error")
    logger.write(type=LogTypes.WARNING, message="old warning")
    pipeline.start()
    time.sleep(0.1)
    assert pipeline.get_condition() == Conditions.HEALTHY
    assert pipeline.get_state() == States.RUNNING


@pytest.mark.parametrize("how", ["condition", "failure", "inner-node"])
def test_start_resets_elements_left_failed_while_pipeline_healthy(pipeline, journal, how):
    a, b = ONode("a", journal), INode("b", journal)
    if how == "condition":
        b.condition = Conditions.ERROR
    elif how == "failure":
        b.kept = ValueError("late failure")
    else:
        inner = Element("inner")
        inner.kept = ValueError("inner failure")
        b.get_nodes = lambda: [inner]
    pipeline.add_node(a)
    pipeline.add_node(b)
    journal.clear()
    pipeline.start()
    assert journal == [("b", "reset"), ("a", "start"), ("b", "start")]
    assert not any("recovering" in line for line in log_lines(pipeline))


def test_start_waits_for_the_previous_monitoring_thread(pipeline):
    finished = []

    def still_reporting():
        time.sleep(0.2)
        finished.append(True)

    old = threading.Thread(target=still_reporting, daemon=True)
    old.start()
    pipeline._imp._monitor_thread = old
    pipeline.start()
    assert finished == [True]
    assert pipeline._imp._monitor_thread is not old


def test_element_stop_failure_propagates_and_keeps_running(pipeline, journal):
    a, b, c = (ONode(n, journal) for n in "abc")
    for e in (a, b, c):
        pipeline.add_node(e)
    pipeline.start()
    b.stop_error = OSError("hung")
    journal.clear()
    with pytest.raises(OSError):
        pipeline.stop()
    assert journal == [("a", "stop"), ("b", "stop")]
    assert pipeline.get_state() == States.RUNNING
    assert pipeline._imp._monitor_thread.is_alive()
    b.stop_error = None
    pipeline.stop()


def test_close(journal):
    p = Pipeline()
    a = ONode("a", journal)
    p.add_node(a)
    p.start()
    p.close()
    assert a.state == States.STOPPED and p.get_state() == States.STOPPED
    assert p._imp._monitor_thread is None and p._imp._logger.stops == 1
    entries = len(p._imp._logger.entries)
    p.close()
    assert p._imp._logger.stops == 2 and len(p._imp._logger.entries) == entries
    p._imp._logger = None
    p.close()


def test_context_manager_closes():
    with Pipeline() as p:
        p.start()
        assert p.get_state() == States.RUNNING
    assert p.get_state() == States.STOPPED and p._imp._logger.stops == 1


def test_dropped_pipeline_is_collected():
    before = set(threading.enumerate())
    p = Pipeline()
    p.add_node(ONode("a"))
    p._imp.owner = p  # a facade <-> implementation cycle
    p.start()
    p.stop()
    p.start()
    ref = weakref.ref(p._imp)
    p.close()
    del p
    gc.collect()
    assert ref() is None
    assert set(threading.enumerate()) <= before


# -------------------------------------------------------------- monitoring


def test_log_forwards_type_and_message(pipeline):
    error = ValueError("x")
    pipeline.log("text")
    pipeline._imp.log(msg=error, type=LogTypes.ERROR)
    pipeline.log("w", LogTypes.WARNING)
    assert pipeline._imp._logger.entries == [
        (LogTypes.INFO, "text"),
        (LogTypes.ERROR, error),
        (LogTypes.WARNING, "w"),
    ]
    pipeline._imp._logger = None
    pipeline.log("silent")


def test_get_backlog_is_the_largest(pipeline):
    elements = [ONode(n) for n in "abc"]
    for e, backlog in zip(elements, (3, 17, 5)):
        e._imp.backlog = backlog
        pipeline.add_node(e)
    assert pipeline.get_backlog() == 17


WARN = "Input backlog ({} items) exceeds the warning threshold (10); a consumer is falling behind."
ERR = (
    "Input backlog ({} items) exceeds the error threshold (20); a consumer cannot keep up. "
    "Stopping pipeline."
)


@pytest.mark.parametrize(
    "backlogs, expected",
    [
        ([0, 9, 9], []),
        ([10, 15, 19], [(LogTypes.WARNING, WARN.format(10))]),
        ([12, 3, 11], [(LogTypes.WARNING, WARN.format(12)), (LogTypes.WARNING, WARN.format(11))]),
        ([20, 25], [(LogTypes.ERROR, ERR.format(20))]),
        (
            [11, 30, 12],
            [
                (LogTypes.WARNING, WARN.format(11)),
                (LogTypes.ERROR, ERR.format(30)),
                (LogTypes.WARNING, WARN.format(12)),
            ],
        ),
    ],
)
def test_check_backlog_reports_each_crossing_once(monkeypatch, pipeline, backlogs, expected):
    monkeypatch.setattr(imp.ConstantsImp, "BACKLOG_WARNING", 10)
    monkeypatch.setattr(imp.ConstantsImp, "BACKLOG_ERROR", 20)
    node = INode("n")
    pipeline.add_node(node)
    logger = pipeline._imp._logger
    logger.entries.clear()
    for backlog in backlogs:
        node._imp.backlog = backlog
        pipeline._imp._check_backlog()
    assert logger.entries == expected


def test_notify_error_calls_every_handler(pipeline):
    calls = []
    entry = {"message": "m", "source": {}}

    def bad(e):
        calls.append("bad")
        pipeline.add_error_handler(lambda e: calls.append("late"))
        raise ValueError("handler broke")

    pipeline.add_error_handler(lambda e: calls.append(("first", e)))
    pipeline.add_error_handler(bad)
    pipeline.add_error_handler(lambda e: calls.append("last"))
    pipeline._imp._notify_error(entry)
    assert calls == [("first", entry), "bad", "last"]
    assert log_lines(pipeline) == [
        "An error handler raised while reporting a pipeline failure: ValueError: handler broke"
    ]


def test_first_element_failure(pipeline):
    a, b, c = ONode("a"), ONode("b"), ONode("c")
    assert pipeline._imp._first_element_failure() is None

    def broken():
        raise RuntimeError("cannot tell")

    a.failure = broken
    inner1, inner2 = Element("i1"), Element("i2")
    inner2.kept = KeyError("inner")
    b.get_nodes = lambda: [inner1, inner2]
    c.kept = ValueError("outer")
    for e in (a, b, c):
        pipeline.add_node(e)
    assert pipeline._imp._first_element_failure() is inner2.kept
    inner2.kept = None
    assert pipeline._imp._first_element_failure() is c.kept
    c.failure = ValueError("kept as attribute")
    assert pipeline._imp._first_element_failure() is c.failure


@pytest.mark.parametrize(
    "source, expected",
    [
        (
            {"instance": "n1", "summary": "f.py:3 in step"},
            "The pipeline failed: boom in node 'n1' at f.py:3 in step",
        ),
        ({"instance": "n1"}, "The pipeline failed: boom in node 'n1'"),
        (
            {"summary": "f.py:3 in step", "instance": ""},
            "The pipeline failed: boom at f.py:3 in step",
        ),
        (None, "The pipeline failed: boom"),
    ],
)
def test_raise_if_failed_message(pipeline, source, expected):
    pipeline._imp._logger.latest[LogTypes.ERROR] = {"message": "boom", "source": source}
    pipeline.raise_if_failed()  # healthy: nothing
    pipeline._imp._condition = Conditions.ERROR
    with pytest.raises(RuntimeError) as info:
        pipeline.raise_if_failed()
    assert str(info.value) == expected and info.value.__cause__ is None


def test_raise_if_failed_without_incident_and_with_cause(pipeline):
    pipeline._imp._condition = Conditions.ERROR
    with pytest.raises(RuntimeError, match=r"^The pipeline failed\.$"):
        pipeline.raise_if_failed()
    a = ONode("a")
    a.kept = ZeroDivisionError("division by zero")
    pipeline.add_node(a)
    with pytest.raises(RuntimeError) as info:
        pipeline.raise_if_failed()
    assert info.value.__cause__ is a.kept


@pytest.mark.parametrize("condition", [Conditions.HEALTHY, Conditions.WARNING])
def test_raise_if_failed_sees_a_failure_the_monitor_missed(pipeline, condition):
    a = ONode("a")
    pipeline.add_node(a)
    pipeline._imp._condition = condition
    pipeline.raise_if_failed()
    a.kept = ValueError("late")
    pipeline._imp._logger.latest[LogTypes.ERROR] = {"message": "late", "source": {"instance": "a"}}
    with pytest.raises(RuntimeError, match=r"^The pipeline failed: late in node 'a'$") as info:
        pipeline.raise_if_failed()
    assert info.value.__cause__ is a.kept


def test_get_last_error_is_the_plain_form(pipeline):
    logger = pipeline._imp._logger
    assert pipeline.get_last_error() is None
    logger.write(type=LogTypes.ERROR, message="e1")
    logger.get_incident(LogTypes.ERROR, opaque=True)
    assert pipeline.get_last_error()["message"] == "e1"


@pytest.mark.parametrize(
    "file_name, attempted, error, expected",
    [
        ("/l/f.log", "/l/f.log", None, "See log file for details: /l/f.log"),
        (
            None,
            "/l/f.log",
            "denied",
            "No log file was written at /l/f.log (denied). This message is all there is.",
        ),
        (None, None, "no dir", "No log file was written (no dir). This message is all there is."),
        ("", "", "", "No log file was written. This message is all there is."),
    ],
)
def test_log_reference(pipeline, file_name, attempted, error, expected):
    logger = pipeline._imp._logger
    logger.file_name, logger.attempted_file, logger.file_error = file_name, attempted, error
    assert pipeline._imp._log_reference() == expected


def test_log_reference_with_missing_attributes(pipeline):
    pipeline._imp._logger = types.SimpleNamespace()
    assert (
        pipeline._imp._log_reference() == "No log file was written. This message is all there is."
    )
    pipeline._imp._logger = None
    assert (
        pipeline._imp._log_reference() == "No log file was written. This message is all there is."
    )


class Console(io.StringIO):
    def __init__(self, tty=True, encoding="utf-8"):
        super().__init__()
        self._tty = tty
        self._encoding = encoding

    def isatty(self):
        return self._tty

    @property
    def encoding(self):
        return self._encoding


@pytest.mark.parametrize(
    "env, stdout, coloured",
    [
        ({}, Console(tty=True), True),
        ({"NO_COLOR": "1"}, Console(tty=True), False),
        ({"NO_COLOR": ""}, Console(tty=True), True),
        ({"TERM": "dumb"}, Console(tty=True), False),
        ({"TERM": "xterm"}, Console(tty=True), True),
        ({}, Console(tty=False), False),
        ({}, None, False),
        ({}, object(), False),
    ],
)
def test_colour(monkeypatch, env, stdout, coloured):
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    monkeypatch.setattr(sys, "stdout", stdout)
    assert conductor._colour("\x1b[31m") == ("\x1b[31m" if coloured else "")


def test_safe_print_replaces_what_the_console_cannot_encode(monkeypatch):
    raw = io.BytesIO()
    out = io.TextIOWrapper(raw, encoding="ascii", errors="strict")
    monkeypatch.setattr(sys, "stdout", out)
    conductor._safe_print("caf\u00e9 \u2192 ok")
    out.flush()
    assert raw.getvalue() == b"caf? ? ok\n"


def test_safe_print_never_raises(monkeypatch):
    class Broken:
        encoding = None

        def write(self, text):
            raise UnicodeEncodeError("ascii", text, 0, 1, "nope")

    monkeypatch.setattr(sys, "stdout", Broken())
    conductor._safe_print("\u00e9")
    monkeypatch.setattr(sys, "stdout", types.SimpleNamespace(write=lambda s: 1 / 0))
    conductor._safe_print("x")
    monkeypatch.setattr(sys, "stdout", None)
    conductor._safe_print("x")


def _incident(message, **source):
    return {"message": message, "source": source}


def _run_until_error(pipeline, incident):
    pipeline.start()
    pipeline._imp._logger.record(LogTypes.ERROR, incident)
    assert wait_until(
        lambda: (
            pipeline._imp._monitor_thread is None or not pipeline._imp._monitor_thread.is_alive()
        )
    )


def test_error_banner_without_colour(pipeline, capsys):
    pipeline._imp._logger.attempted_file = "/l/x.log"
    pipeline._imp._logger.file_error = "denied"
    capsys.readouterr()
    _run_until_error(
        pipeline,
        _incident(
            "kaput",
            summary="node.py:12 in step",
            instance="n1",
            directory="/src",
            filename="node.py",
            lineno=12,
        ),
    )
    assert capsys.readouterr().out == "\n".join(
        [
            "",
            RULE,
            "*** kaput ***",
            "",
            "Raised in node.py:12 in step",
            "Node: n1",
            "File in: /src",
            "No log file was written at /l/x.log (denied). This message is all there is.",
            RULE,
            "Pipeline stopped.",
            "",
            "",
        ]
    )
    assert pipeline.get_condition() == Conditions.ERROR and pipeline.get_state() == States.STOPPED


def test_error_banner_with_colour_and_without_optional_lines(monkeypatch, pipeline):
    console = Console(tty=True)
    monkeypatch.setattr(sys, "stdout", console)
    _run_until_error(pipeline, _incident("kaput", filename="f.py", lineno=7, summary=None))
    red, bold, reset = "\x1b[31m", "\x1b[1m", "\x1b[0m"
    assert console.getvalue() == "\n".join(
        [
            red,
            RULE,
            "*** kaput ***",
            "",
            "Raised in f.py:7",
            "No log file was written. This message is all there is.",
            RULE,
            f"{red}{bold}Pipeline stopped.{reset}{red}",
            reset,
            "",
        ]
    )


class _Unprintable:
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize(
    "incident",
    [
        _incident("kaput", summary="node.py:12 in step", instance="n1", directory="/src"),
        _incident("kaput", filename="f.py", lineno=7),
        _incident(_Unprintable(), summary=_Unprintable(), instance="n2"),
    ],
)
def test_failure_banner_lines_are_what_the_console_prints(pipeline, capsys, incident):
    capsys.readouterr()
    _run_until_error(pipeline, incident)
    lines = pipeline.failure_banner()
    assert lines == pipeline.failure_banner(pipeline.get_last_error())
    assert lines[-1] == "Pipeline stopped." and lines[-2] == pipeline._imp._log_reference()
    expected = ["", RULE, *lines[:-1], RULE, lines[-1], "", ""]
    assert capsys.readouterr().out == "\n".join(expected)


def test_warning_banner_text(monkeypatch, pipeline):
    console = Console(tty=False)
    monkeypatch.setattr(sys, "stdout", console)
    pipeline.start()
    pipeline._imp._logger.record(
        LogTypes.WARNING, _incident("slow", directory="/d", filename="f.py", lineno=3)
    )
    assert wait_until(lambda: console.getvalue().count(RULE) == 2)
    assert pipeline.get_state() == States.RUNNING
    pipeline.stop()
    assert console.getvalue() == "\n".join(
        [
            "",
            RULE,
            "*** slow ***",
            "",
            "Warning raised in /d\\f.py:3.",
            "No log file was written. This message is all there is.",
            RULE,
            "",
            "",
        ]
    )
    assert pipeline.get_condition() == Conditions.WARNING


def test_failure_order_and_handlers(pipeline, journal, capsys):
    a, b = ONode("a", journal), INode("b", journal)
    pipeline.add_node(a)
    pipeline.add_node(b)
    seen = []

    def handler(entry):
        seen.append(
            (
                entry["message"],
                pipeline.get_state(),
                pipeline.get_condition(),
                a.state,
                b.state,
                threading.current_thread() is pipeline._imp._monitor_thread,
            )
        )

    def raising(entry):
        raise LookupError("handler fault")

    pipeline.add_error_handler(handler)
    pipeline.add_error_handler(raising)
    pipeline.add_error_handler(handler)
    _run_until_error(pipeline, _incident("boom", instance="b"))
    assert (
        seen
        == [("boom", States.STOPPED, Conditions.ERROR, States.STOPPED, States.STOPPED, True)] * 2
    )
    lines = log_lines(pipeline)
    assert (
        "An error handler raised while reporting a pipeline failure: LookupError: handler fault"
        in lines
    )
    assert lines[-1] == "Monitoring thread terminated."
    assert "Node: b" in capsys.readouterr().out
    # The client's stop joins the finished thread and reports the error.
    pipeline.stop()
    assert log_lines(pipeline)[-1] == "Pipeline has already been stopped due to an error. Skipping."
    assert pipeline._imp._monitor_thread is None


def test_monitoring_survives_a_failing_incident_query(pipeline):
    pipeline.start()
    pipeline._imp._logger.incident_faults = 1
    assert wait_until(
        lambda: "Monitoring thread recovered from: injected incident fault" in log_lines(pipeline)
    )
    assert pipeline._imp._monitor_thread.is_alive()
    pipeline._imp._logger.record(LogTypes.ERROR, _incident("later"))
    assert wait_until(lambda: pipeline.get_state() == States.STOPPED)
    assert pipeline.get_condition() == Conditions.ERROR


def test_monitoring_sees_errors_while_backlog_query_fails(pipeline):
    a = INode("a")
    a._imp.backlog = RuntimeError("no queue")
    pipeline.add_node(a)
    pipeline.start()
    assert wait_until(lambda: "Monitoring thread recovered from: no queue" in log_lines(pipeline))
    assert pipeline._imp._monitor_thread.is_alive()
    pipeline._imp._logger.record(LogTypes.ERROR, _incident("while blind"))
    assert wait_until(lambda: pipeline.get_condition() == Conditions.ERROR)
    assert wait_until(lambda: pipeline.get_state() == States.STOPPED)


def test_stop_failing_while_handling_an_error(pipeline, capsys):
    a = ONode("a")
    pipeline.add_node(a)
    calls = []
    pipeline.add_error_handler(calls.append)
    pipeline.start()
    thread = pipeline._imp._monitor_thread
    capsys.readouterr()
    a.stop_error = OSError("stuck")
    pipeline._imp._logger.record(LogTypes.ERROR, _incident("boom"))
    assert wait_until(lambda: not thread.is_alive())
    assert [c["message"] for c in calls] == ["boom"]
    assert "Monitoring thread recovered from: stuck" in log_lines(pipeline)
    assert "Pipeline stopped." not in capsys.readouterr().out  # no banner
    assert pipeline.get_condition() == Conditions.ERROR
    assert pipeline.get_state() == States.RUNNING
    a.stop_error = None
    pipeline.stop()
    assert pipeline.get_state() == States.STOPPED


def test_monitoring_survives_a_bad_interval(monkeypatch, pipeline):
    monkeypatch.setattr(imp.ConstantsImp, "MONITORING_INTERVAL", "soon")
    pipeline.start()
    assert wait_until(
        lambda: any(
            line.startswith("Monitoring thread recovered from:") for line in log_lines(pipeline)
        )
    )
    pipeline._imp._logger.record(LogTypes.ERROR, _incident("x"))
    assert wait_until(lambda: pipeline.get_state() == States.STOPPED)
