"""Reference-leak check for the implementation layer.

Run under the debug interpreter (``make refleak``): every registered check is a
function doing one round of work (construct, serialize, rebuild, fail, drop).
Each is run for a warm-up, then for several batches; after every batch the
collector runs and ``sys.gettotalrefcount()`` / ``sys.getallocatedblocks()``
are read. A check leaks when both figures grow in every batch beyond a small
tolerance (a leak of one reference per round shows as one per round in each
batch, while caches that fill up once stop growing after the warm-up).

Add a check for a new class anywhere below, named after what it exercises::

    @check()
    def my_class_roundtrip():
        obj = MyClass(...)
        ...

A check must leave no state behind that legitimately grows (clear the id
registry with ``Portable.reset()`` when it generates ids). Run a subset with
``tools/refleak.py NAME...``; exit status is non-zero when anything leaks.
"""

import atexit
import contextlib
import copy
import gc
import io
import os
import shutil
import socket
import sys
import tempfile
import time
from array import array

from flowmesh import DocumentError
from flowmesh.i_node import INode
from flowmesh.i_port import IPort
from flowmesh.imp import (
    IOChainImp,
    OChainImp,
    PortableImp,
    ProcessingElementImp,
    StreamsImp,
    TapImp,
    cascade_io,
    cascade_out,
    conductor,
)
from flowmesh.imp._ports import _columns
from flowmesh.io_chain import IOChain
from flowmesh.io_node import IONode
from flowmesh.o_chain import OChain
from flowmesh.o_node import ONode
from flowmesh.pipeline import Pipeline
from flowmesh.portable import Portable
from flowmesh.processing_element import ProcessingElement
from flowmesh.sources import Sink

CHECKS = {}


def check(rounds=400, warmup_batches=2):
    """Register a one-round function under its own name (what it exercises, so
    that a report and a traceback name the loop), run `rounds` times per batch
    after `warmup_batches` batches that fill caches."""

    def register(fn):
        if fn.__name__ in CHECKS or fn.__name__ == "_":
            raise ValueError(f"a check needs a name of its own: {fn.__name__!r}")
        CHECKS[fn.__name__] = (fn, rounds, warmup_batches)
        return fn

    return register


def _snapshot():
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def run_check(fn, rounds, batches=4, warmup_batches=2):
    """Per-batch growth of (references, blocks) after the warm-up."""
    for _ in range(warmup_batches * rounds):
        fn()
    deltas = []
    before = _snapshot()
    for _ in range(batches):
        for _ in range(rounds):
            fn()
        after = _snapshot()
        deltas.append((after[0] - before[0], after[1] - before[1]))
        before = after
    return deltas


def leaks(deltas, rounds):
    # A real leak loses at least one reference or block every round. Below
    # one per two rounds is noise: a round that builds and drops whole
    # pipelines leaves a few blocks in the allocator's and the type caches'
    # tables now and then (about 0.2 a round, falling batch by batch).
    tolerance = max(10, rounds // 2)
    refs = all(d[0] > tolerance for d in deltas)
    blocks = all(d[1] > tolerance for d in deltas)
    return refs or blocks


def _expect(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{fn!r} did not raise {exc_type.__name__}")


# ------------------------------------------------------------------ portable


class Widget(Portable):
    """A portable facade class found by import under this script's module name."""


class Collider(Portable):
    """Passes a field explicitly while forwarding the stored one."""

    def __init__(self, **kwargs):
        super().__init__(name="fixed", **kwargs)


class NotPortable:
    pass


class RecordingLogger:
    def __init__(self):
        self.entries = []

    def write(self, type=None, message=None):
        self.entries.append((type, message))


@check()
def portable_construct():
    obj = Widget()
    PortableImp.get_by_id(obj.id)
    PortableImp.new_id()
    Portable.reset()


@check()
def portable_serialize_roundtrip():
    obj = Widget(id="A1")
    entry = obj.serialize()
    _expect(ValueError, Portable.deserialize, entry)
    Portable.reset()
    again = Portable.deserialize(entry)
    assert again.id == "A1"
    Portable.reset()


@check()
def portable_adopt_and_errors():
    a = Widget()
    b = Widget(id="B")
    _expect(ValueError, a._imp.adopt_id, "B")
    a._imp.adopt_id("C")
    a._imp.adopt_id("C")
    _expect(ValueError, Widget, id="C")
    _expect(TypeError, PortableImp.get_by_id, 1)
    _expect(TypeError, a._imp.adopt_id, None)
    del b
    Portable.reset()


@check()
def portable_deserialize_failures():
    module = __name__
    _expect(TypeError, Portable.deserialize, [])
    _expect(KeyError, Portable.deserialize, {"class": "Widget"})
    _expect(KeyError, Portable.deserialize, {"module": module})
    _expect(TypeError, Portable.deserialize, {"class": "Missing", "module": module})
    _expect(TypeError, Portable.deserialize, {"class": "NotPortable", "module": module})
    _expect(
        TypeError,
        Portable.deserialize,
        {"class": "Collider", "module": module, "config": {"name": "x"}},
    )
    _expect(ModuleNotFoundError, Portable.deserialize, {"class": "X", "module": "no_such_mod_x"})
    Portable.add_preinstalled_module(module)
    Portable.reset()


@check()
def portable_facade_cycle():
    obj = Widget()
    obj._imp.owner = obj  # facade <-> implementation cycle, left to the collector
    del obj
    gc.collect()
    Portable.reset()


# ------------------------------------------------------------------- element


@check()
def element_lifecycle():
    element = ProcessingElement(name="e")
    element.set_logger(RecordingLogger())
    element.start()
    element.start()
    element.log("text")
    element.log(ValueError("v"), type="ERROR")
    element._imp.record_failure(ValueError("first"))
    element._imp.record_failure(KeyError("second"))
    element._imp._counter = 7
    element.stop()
    element.reset_run_state()
    _expect(TypeError, element._imp.record_failure, "not an exception")
    element.set_logger(None)
    element.log("silent")
    Portable.reset()


@check(rounds=200)
def element_default_logger():
    element = ProcessingElementImp(ProcessingElement.Configuration(name="d"))
    element.start()
    element.stop()
    Portable.reset()


class _Stoppable:
    def __init__(self, name, state, fail):
        self.name = name
        self.state = state
        self.fail = fail

    def get_state(self):
        return self.state

    def stop(self):
        if self.fail:
            raise RuntimeError("cannot stop")


@check()
def element_stop_after_failed_start():
    lines = []
    started = [_Stoppable("a", "Running", False), _Stoppable("b", "Running", True)]
    ProcessingElementImp.stop_after_failed_start(
        started, _Stoppable("c", "Running", True), lines.append
    )
    assert len(lines) == 2
    _expect(TypeError, ProcessingElementImp.stop_after_failed_start, (), started[0], print)


# Nodes, ports and pipelines: the data path and its failure paths.
class _Double(IONode):
    def step(self, data):
        if data["in"] < 0:
            raise ValueError("negative")
        return {"out": 2 * data["in"]}


class _Emit(ONode):
    def step(self, data):
        return {"out": data.get("v", 0)}


# Type and interpreter caches fill over the first thousand rounds.
@check(rounds=200, warmup_batches=6)
def node_graph_flow_and_failure():
    src, mid, sink = _Emit(name="s"), _Double(name="m"), Sink(name="k")
    src.connect("out", mid, "in")
    mid.connect("out", sink, "in")
    for node in (sink, mid, src):
        node.start()
    for v in (1, 2, 3, -1, 4):
        src._imp._cycle({"v": v})
    assert sink.values() == [2, 4, 6] and mid.failure() is not None
    mid.disconnect("out", sink, "in")
    _expect(ValueError, mid.disconnect, "out", sink, "in")
    for node in (src, mid, sink):
        node.stop()
        node.reset_run_state()
    Portable.reset()


class _Echo(INode):
    """Pushes into its own full queue from its step: drops with no threads."""

    def setup(self, data, context):
        return {}

    def step(self, data):
        if data["in"] == 0:
            for i in range(1, 6):
                self.get_input_port("in").push([i])


@check(rounds=200, warmup_batches=4)
def bounded_queue_drops():
    for overflow in ("drop_oldest", "drop_newest", "block"):
        node = _Echo(name="e", queue_bound=2, overflow=overflow)
        node.set_logger(RecordingLogger())
        node.start()
        node.get_input_port("in").push(0)
        assert node.get_dropped() == {"in": 3}
        node.stop()
    Portable.reset()


# An input port collecting into a tap (values kept, given way, taken),
# switched back to its node's cycle, and a tap left attached when the node goes.
@check(rounds=200, warmup_batches=4)
def collecting_port_and_tap():
    sink = Sink(name="k")
    sink.set_logger(RecordingLogger())
    port = sink.get_input_port("in")
    tap = TapImp(IPort.Configuration(name="in"), 2)
    _expect(TypeError, port._collect, object())
    sink.start()
    tap.start()
    port._collect(tap, counts=True)
    for i in range(5):
        port.push([i])
    assert tap.take()[1] == [[3], [4]] and tap.overwritten == 3
    port.push([5])
    port._collect(None)
    port.push([6])
    sink.stop()
    assert sink.get_counter() == 7 and sink.values() == [[6]]
    port._collect(tap)  # kept until the port goes
    Portable.reset()


# The trace's columns of a tap's plain numbers (and the refusals), and a
# page's stream: added, written to, cut, removed, and a streams object
# collected while its writer runs.
@check(rounds=100)
def trace_columns_and_page_streams():
    times = array("d", [0.001, 0.002, 0.015])
    assert _columns(times, [1.0, 2, 3.5], 0.01, None)[0].tolist() == [0, 1]
    assert _columns(times, [1.0, 2, True], 0.01, None) is None
    assert _columns(times, [1.0, 2, 10**400], 0.01, 0) is None
    _expect(ValueError, _columns, times, [1.0], 0.01, None)
    _expect(TypeError, _columns, times, (1.0, 2.0, 3.0), 0.01, None)
    streams = StreamsImp(keepalive=60, timeout=60)
    ours, page = socket.socketpair()
    with ours, page:
        client = streams.add(ours, b"retry\n")
        streams.publish(b"event\n")
        _expect(TypeError, streams.publish, "text")
        streams.cut()
        assert page.recv(64) is not None
        streams.remove(client)
    streams.close()
    assert streams.add(0, b"") is None


@check(rounds=20)
def pipeline_run_and_close():
    with contextlib.redirect_stdout(io.StringIO()), Pipeline("") as p:
        src, mid, sink = _Emit(name="s"), _Double(name="m"), Sink(name="k")
        p.connect(src, mid)
        p.connect(mid, sink)
        p.start()
        src._imp._cycle({"v": 5})
        p.stop()
        p.raise_if_failed()
    assert sink.values() == [10]
    Portable.reset()


class _Pair(INode):
    def step(self, data):
        if data.get("a") == "exit":
            raise SystemExit("from step")


# Frames assembled through the queues (parts taken whole, dict built after),
# the push-through path, and a BaseException kept on a decoupled worker.
@check(rounds=100, warmup_batches=12)
def input_frames_and_worker_failure():
    for decoupled in (False, True):
        node = _Pair(
            name="pair",
            decoupled=decoupled,
            input_ports=[{"name": "a"}, {"name": "b"}],
        )
        node.start()
        a, b = node.get_input_port("a"), node.get_input_port("b")
        for v in (1, 2, 3):
            a.push(v)
        for v in (1, 2, 3):
            b.push(v)
        b.push(4)
        a.push("exit" if decoupled else 4)
        if decoupled:
            deadline = time.monotonic() + 10
            while node.failure() is None and time.monotonic() < deadline:
                time.sleep(0.001)
            assert isinstance(node.failure(), SystemExit)
        node.stop()
        node.reset_run_state()
    Portable.reset()


class _StopsDuringStart(INode):
    pipeline = None

    def start(self):
        super().start()
        self.pipeline.stop()  # requested while starting, carried out after

    def step(self, data):
        pass


@check(rounds=20, warmup_batches=4)
def pipeline_stop_requested_while_starting():
    with contextlib.redirect_stdout(io.StringIO()), Pipeline("") as p:
        node = _StopsDuringStart(name="n")
        node.pipeline = p
        p.add_node(node)
        p.start()
        assert p.get_state() == "Stopped"
        node.pipeline = None
    Portable.reset()


# --------------------------------------------------------------- documents

# A rebuilt pipeline writes a log file in the default directory: keep them out
# of the user's state directory.
_LOG_DIR = tempfile.mkdtemp(prefix="flowmesh-refleak-")
atexit.register(shutil.rmtree, _LOG_DIR, True)


@contextlib.contextmanager
def _quiet():
    saved = os.environ.get("XDG_STATE_HOME")
    os.environ["XDG_STATE_HOME"] = _LOG_DIR
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            yield
    finally:
        if saved is None:
            del os.environ["XDG_STATE_HOME"]
        else:
            os.environ["XDG_STATE_HOME"] = saved


def _document_graph():
    p = Pipeline("")
    src, mid, sink = _Emit(name="s"), _Double(name="m"), Sink(name="k")
    p.connect(src, mid)
    p.connect(mid, sink)
    front, middle, end = _Front(name="f"), _Middle(name="mm"), Sink(name="e")
    p.connect(front, middle)
    p.connect(middle, end)
    return p


@check(rounds=100, warmup_batches=4)
def document_round_trip():
    with _quiet():
        p = _document_graph()
        doc = p.serialize()
        p.close()
        del p
        Portable.reset()
        q = Pipeline.deserialize(doc)
        assert q.serialize() == doc
        q.close()
        del q
        by_name, ambiguous = conductor._index_nodes([Widget(), _Emit(name="e"), _Emit(name="e")])
        assert ambiguous == {"e"} and by_name == {}
    Portable.reset()


_BROKEN_DOCUMENTS = [
    ([], TypeError),
    ({"connections": []}, KeyError),
    (
        {"nodes": [], "connections": [], "format_version": 9, "writer": {"flowmesh": "9"}},
        ValueError,
    ),
    ({"nodes": [], "connections": [], "format_version": "x"}, ValueError),
    ({"nodes": [{"class": "Missing", "module": __name__}], "connections": []}, TypeError),
    (
        {"nodes": [{"class": "Sink", "module": "flowmesh.sources"}], "connections": [["a"]]},
        ValueError,
    ),
    ({"nodes": [], "connections": [[5, "b.in"]]}, TypeError),
    (
        {
            "nodes": [{"class": "Sink", "module": "flowmesh.sources", "config": {"name": "k"}}],
            "connections": [["k", "k"], ["k.x", "k.in"]],
        },
        TypeError,
    ),
]


@check(rounds=100, warmup_batches=10)
def document_failed_reads():
    with _quiet():
        for doc, error in _BROKEN_DOCUMENTS:
            _expect(error, Pipeline.deserialize, doc)
        p = _document_graph()
        doc = p.serialize()
        p.close()
        _expect(ValueError, Pipeline.deserialize, doc)  # ids still held
        del p
        Portable.reset()
        _expect(ValueError, conductor._resolve_port, 5, {}, set(), output=True)
        _expect(ValueError, conductor._resolve_port, "x.y", {}, set(), output=False)
        _expect(TypeError, conductor._index_nodes, ())
        # Reports of endpoints and errors that cannot be shown.
        sink = [{"class": "Sink", "module": "flowmesh.sources", "config": {"name": "k"}}]
        for pair in ([_Unshown("x.out"), "k"], [_Unshown(), "k"], ["k", _Unshown("k.x")]):
            _expect(TypeError, Pipeline.deserialize, {"nodes": sink, "connections": [pair]})
            Portable.reset()
        _expect(ValueError, conductor._resolve_port, "n.p", {"n": _MuteNode()}, set(), output=True)
    Portable.reset()


class _Unshown(str):
    def __repr__(self):
        raise RuntimeError("__repr__")


class _Mute(LookupError):
    def __str__(self):
        raise RuntimeError("__str__")


class _MuteNode:
    def get_output_port(self, name):
        raise _Mute(name)


@check(rounds=40, warmup_batches=10)
def document_files():
    directory = tempfile.mkdtemp()
    try:
        path = os.path.join(directory, "p.json")
        with _quiet():
            p = _document_graph()
            p.save(path)
            p.close()
            del p
            Portable.reset()
            Pipeline.load(path, allowed_modules=["flowmesh", __name__]).close()
            _expect(DocumentError, Pipeline.load, path)  # ids still held
            _expect(DocumentError, Pipeline.load, path, allowed_modules=["other"])
            with open(path, "w") as stream:
                stream.write('{"nodes": [')
            _expect(DocumentError, Pipeline.load, path)
    finally:
        shutil.rmtree(directory)
    Portable.reset()


# Chains: construction and its failures, adoption, wiring, a short run.
class _Front(OChain):
    def build_nodes(self, config):
        return [_Emit(name="e"), _Double(name="d")]


class _Middle(IOChain):
    def build_nodes(self, config):
        return [_Double(name="m1"), _Double(name="m2")]


@check(rounds=200, warmup_batches=4)
def chain_construct_adopt_and_failures():
    front = _Front(name="f")
    recorded = copy.deepcopy(dict(front.config))
    Portable.reset()
    again = _Front(**recorded)
    assert again.get_output_port("out").config["id"] == recorded["output_ports"][0]["id"]
    _expect(TypeError, OChainImp, OChain.Configuration(), [_Double(name="x")])
    _expect(TypeError, IOChainImp, IOChain.Configuration(), [_Double(name="x"), _Emit(name="y")])
    _expect(ValueError, IOChainImp, IOChain.Configuration(), [])
    config = IOChain.Configuration(input_ports=[5, {"name": "in"}, {"name": "in", "id": "R"}])
    node = _Double(name="z")
    cascade_io._adopt_recorded_port_ids(config, "input_ports", node)
    cascade_out._adopt_recorded_port_ids(config, "input_ports", node)
    assert node._imp._input_ports["in"].config["id"] == "R"
    Portable.reset()


@check(rounds=100, warmup_batches=4)
def chain_connect_run_and_drop():
    front, middle, sink = _Front(name="f"), _Middle(name="m"), Sink(name="k")
    front.connect("out", middle, "in")
    middle.connect("out", sink, "in")
    for element in (sink, middle, front):
        element.start()
    emit = front.get_nodes()[0]
    for v in (1, 2, -1):
        emit._imp._cycle({"v": v})
    assert sink.values() == [8, 16] and front.failure() is not None
    middle.disconnect("out", sink, "in")
    for element in (front, middle, sink):
        element.stop()
        element.reset_run_state()
    Portable.reset()


def main(argv):
    if not hasattr(sys, "gettotalrefcount"):
        print("refleak: needs a debug interpreter (python3.14d)", file=sys.stderr)
        return 2
    names = argv or list(CHECKS)
    unknown = [n for n in names if n not in CHECKS]
    if unknown:
        print(f"refleak: unknown check(s): {', '.join(unknown)}", file=sys.stderr)
        return 2
    failed = []
    for name in names:
        fn, rounds, warmup_batches = CHECKS[name]
        deltas = run_check(fn, rounds, warmup_batches=warmup_batches)
        bad = leaks(deltas, rounds)
        shown = ", ".join(f"{r:+d} refs/{b:+d} blocks" for r, b in deltas)
        print(f"{'LEAK' if bad else 'ok  '} {name:<36} per {rounds} rounds: {shown}")
        if bad:
            failed.append(name)
    if failed:
        print(f"refleak: leaking: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
