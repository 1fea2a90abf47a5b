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

from flowmesh import imp
from flowmesh.constants import Constants
from flowmesh.i_node import INode
from flowmesh.io_node import IONode
from flowmesh.logging import Logger
from flowmesh.o_node import ONode
from flowmesh.pipeline import Pipeline
from flowmesh.sources import SampledSource, Sink

SYNC, ASYNC = Constants.Timing.SYNC, Constants.Timing.ASYNC
States, Conditions, LogTypes = Constants.States, Constants.Conditions, Constants.LogTypes
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
        return {"out": {}}

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


# --------------------------------------------------------------- reporting


# What fast_monitor (conftest.py) sets for the tests that take it.
MONITORING_INTERVAL = 0.01


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text")

    def __repr__(self):
        raise ValueError("no repr either")


class Fails(IONode):
    def step(self, data):
        raise ZeroDivisionError("boom")


class Tick(SampledSource):
    def step(self, data):
        return {"out": 1}


def run_failing(p):
    p.connect(Tick(name="src", rate=200), Fails(name="bad"))
    p.start()


@pytest.mark.parametrize(
    "raised",
    [
        Unprintable(),
        KeyboardInterrupt("handler"),
        SystemExit(3),
        GeneratorExit(),
        type("Custom", (BaseException,), {"__str__": lambda self: 1 / 0})(),
    ],
    ids=["unprintable", "keyboard-interrupt", "system-exit", "generator-exit", "base-bad-str"],
)
def test_handler_raising_anything_never_stops_the_report(raised, fast_monitor, capsys, log_lines):
    called = []

    def bad(entry):
        called.append("bad")
        raise raised

    with Pipeline("") as p:
        p.add_error_handler(bad)
        p.add_error_handler(lambda entry: called.append("next"))
        run_failing(p)
        assert wait_until(lambda: p.get_state() == States.STOPPED and len(called) == 2, TIMEOUT)
        p.stop()  # waits for the monitoring thread's report
        assert "Pipeline stopped." in capsys.readouterr().out
        assert called == ["bad", "next"]
        assert any(
            line.startswith("An error handler raised while reporting a pipeline failure: ")
            for line in log_lines()
        )


def test_incident_with_unprintable_parts_still_prints_a_banner(fast_monitor, capsys):
    with Pipeline("") as p:
        p.start()
        source = {"summary": Unprintable(), "instance": Unprintable()}
        p._imp._logger.write(type=LogTypes.ERROR, message="plain text")
        entry = p._imp._logger.get_incident(type=LogTypes.ERROR)
        entry["source"] = source
        assert wait_until(lambda: p.get_state() == States.STOPPED, TIMEOUT)
        p.stop()  # waits for the monitoring thread's report
        assert "Pipeline stopped." in capsys.readouterr().out


# ----------------------------------------------------------------- inputs


@pytest.mark.parametrize("directory", ["a\x00b", "x\ud800y", "\udcff\x00"])
def test_unusable_log_directory_gives_memory_only_logging(directory, capsys):
    logger = Logger(directory=directory)
    try:
        assert not logger.is_persistent()
        assert logger.file_error
        logger.write(type=LogTypes.INFO, message="kept in memory")
    finally:
        logger.stop()
    with Pipeline(directory) as p:
        assert not p.is_logging_persistent()
    assert "no log file could be created" in capsys.readouterr().out


@pytest.mark.parametrize("rate", [1e-12, 1e-300, 5e-324])
def test_very_slow_rate_waits_instead_of_failing(rate, fast_monitor):
    with Pipeline("") as p:
        sink = Sink(name="sink")
        p.connect(Tick(name="src", rate=rate), sink)
        p.start()
        assert sink.wait_for(1, TIMEOUT)
        time.sleep(0.1)  # long enough for the wait after the first frame to fail
        assert p.get_condition() == Conditions.HEALTHY
        assert p.get_state() == States.RUNNING
        p.stop()
        p.raise_if_failed()


@pytest.mark.parametrize(
    "interval",
    [0, -1, None, float("nan"), float("inf"), -float("inf"), 10**400, "soon", 1e300],
    ids=["zero", "negative", "none", "nan", "inf", "-inf", "huge-int", "text", "huge-float"],
)
def test_unusable_monitoring_interval_falls_back(interval, monkeypatch, log_lines):
    monkeypatch.setattr(imp.ConstantsImp, "MONITORING_INTERVAL", interval)
    warned = lambda: any("MONITORING_INTERVAL" in line for line in log_lines())  # noqa: E731
    gate = threading.Event()

    class FailsLater(Fails):
        def step(self, data):
            if gate.is_set():
                super().step(data)

    with Pipeline("") as p:
        handled = threading.Event()
        p.add_error_handler(lambda entry: handled.set())
        p.connect(Tick(name="src", rate=200), FailsLater(name="bad"))
        p.start()
        # The interval is read when the monitor first waits: fail only after that.
        assert wait_until(warned, TIMEOUT)
        gate.set()
        assert handled.wait(TIMEOUT), "the failure was never detected"
        p.stop()
    fallback = [line for line in log_lines() if "MONITORING_INTERVAL" in line]
    assert len(fallback) == 1, fallback


def test_tiny_monitoring_interval_does_not_spin(monkeypatch, log_lines):
    monkeypatch.setattr(imp.ConstantsImp, "MONITORING_INTERVAL", 1e-300)
    passes = []
    with Pipeline("") as p:
        original = p._imp._check_backlog
        p._imp._check_backlog = lambda: passes.append(1) or original()
        began = time.monotonic()
        p.start()
        time.sleep(0.2)
        p.stop()
        elapsed = time.monotonic() - began
    # At most one pass a millisecond of however long the run took (a loaded
    # machine may oversleep), and the one before the first wait.
    assert 0 < len(passes) <= 1000 * elapsed + 1


# ------------------------------------------------ re-entering the pipeline


class Reentrant(IONode):
    """Calls `action(pipeline)` once, from the handler named `where`."""

    def __init__(self, where, action, pipeline, **config):
        self.where, self.action, self.pipeline = where, action, pipeline
        self.done = threading.Event()
        super().__init__(**config)

    def _once(self, where):
        if self.where == where and not self.done.is_set():
            try:
                self.action(self.pipeline)
            finally:
                self.done.set()

    def setup(self, data, context):
        self._once("setup")
        return {"out": {}}

    def step(self, data):
        self._once("step")
        if self.where == "error handler":
            raise ZeroDivisionError("fail so the handler runs")
        return {"out": data["in"]}


ACTIONS = {
    "start": lambda p: p.start(),
    "stop": lambda p: p.stop(),
    "close": lambda p: p.close(),
    "connect": lambda p: p.connect(EXTRA[p], Sink(name="late")),
    "disconnect": lambda p: p.disconnect(EXTRA[p], SINKS[p]),
    "raise_if_failed": lambda p: p.raise_if_failed(),
}
EXTRA, SINKS = {}, {}


@pytest.mark.parametrize("where", ["setup", "step", "error handler"])
@pytest.mark.parametrize("action", sorted(ACTIONS))
def test_handlers_reentering_the_pipeline(where, action, fast_monitor):
    p = Pipeline("")
    node = Reentrant(where, ACTIONS[action], p, name="node")
    sink = Sink(name="sink")
    EXTRA[p], SINKS[p] = node, sink
    if where == "error handler":
        p.add_error_handler(lambda entry: node._once("error handler"))
    p.connect(Tick(name="src", rate=200), node)
    p.connect(node, sink)
    try:
        p.start()
        assert node.done.wait(TIMEOUT), "the handler never ran"
    finally:
        closer = threading.Thread(target=p.close, daemon=True)
        closer.start()
        closer.join(TIMEOUT)
        assert not closer.is_alive(), "close() hung"
    # A close from a thread other than the main one returns at once while
    # the monitoring thread is stopping a failed run, which then closes.
    assert wait_until(lambda: p.get_state() == States.STOPPED, TIMEOUT)
    monitor = p._imp._monitor_thread
    assert monitor is None or wait_until(lambda: not monitor.is_alive(), TIMEOUT)
    EXTRA.pop(p), SINKS.pop(p)


# ---------------------------------------------------------- configurations


class HostileDict(dict):
    """A dict subclass whose hooks raise."""

    def __eq__(self, other):
        raise RuntimeError("no eq")

    def __hash__(self):
        raise RuntimeError("no hash")

    def __getitem__(self, key):
        raise RuntimeError("no item")


class BadStr(str):
    def __str__(self):
        raise RuntimeError("no str")

    def __eq__(self, other):
        raise RuntimeError("no eq")

    __hash__ = str.__hash__


# Hostile values are drawn as tags and made in the test: hypothesis itself
# compares and hashes what it draws.
HOSTILE = {"<bad str>": lambda: BadStr("x"), "<hostile dict>": HostileDict}
ODD = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(10**30), max_value=10**30),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=4),
    st.sampled_from(sorted(HOSTILE)),
    st.lists(st.integers(), max_size=3),
)


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    config=st.dictionaries(
        st.sampled_from(["name", "rate", "frames", "decoupled", "output_ports", "id"]), ODD
    )
)
def test_arbitrary_source_configuration_builds_or_refuses(config):
    config = {
        k: HOSTILE[v]() if isinstance(v, str) and v in HOSTILE else v for k, v in config.items()
    }
    try:
        src = Tick(**config)
    except (TypeError, ValueError, RuntimeError):
        return
    # What was accepted must start and stop cleanly.
    src.start()
    src.stop()
    assert src.get_state() == States.STOPPED
    assert src.wait(TIMEOUT)


@pytest.mark.parametrize(
    "endpoint",
    [
        HostileDict(),
        {"node": HostileDict(), "port": "in"},
        {"node": None, "port": BadStr("in")},
        {"port": "in"},
        [],
        BadStr("x"),
    ],
    ids=["hostile-dict", "hostile-node", "bad-port", "no-node", "list", "str"],
)
def test_connect_refuses_hostile_endpoints_cleanly(endpoint):
    with Pipeline("") as p:
        sink = Sink(name="sink")
        for source, target in ((endpoint, sink), (Tick(name="src"), endpoint)):
            with pytest.raises((TypeError, ValueError, RuntimeError)):
                p.connect(source, target)


@pytest.mark.parametrize("cls", [Tick, Collect, CollectIO])
def test_element_name_of_a_hostile_str_subclass_is_plain_text(cls):
    node = cls(name=BadStr("named"))
    assert type(node.name) is str and node.name == "named"
    node.start()  # logs the name
    node.stop()
    with Pipeline("") as p:
        p.add_node(node)
        p.start()
        p.stop()
