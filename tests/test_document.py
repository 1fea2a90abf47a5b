"""Pipeline documents as dictionaries: writing, the revision check, reading
back with endpoint resolution, and what a failed read leaves behind."""

import gc
import threading

import pytest
from document_elements import (
    Counter,
    Double,
    Events,
    Front,
    Quadruple,
    Silent,
    async_sink,
    listed_front,
)

import flowmesh
from flowmesh.constants import Constants
from flowmesh.i_node import INode
from flowmesh.imp import PipelineImp, PortableImp, conductor
from flowmesh.pipeline import Pipeline
from flowmesh.portable import Portable
from flowmesh.sources import Sink

SK = PipelineImp.SerializationKeys
LogTypes = Constants.LogTypes
NO_REVISION = (
    "This document carries no format_version, so it was written before the format was "
    "versioned. Reading it as revision 1; re-saving it will add the version."
)
UPGRADE = (
    "Upgrade to read it -- reading it anyway could only guess at a structure this build "
    "has never seen."
)


pytestmark = pytest.mark.usefixtures("isolated_state")


class Journal:
    """A pipeline double for the revision check: keeps (msg, type) of each log call."""

    def __init__(self):
        self.entries = []

    def log(self, msg, type=None):
        self.entries.append((msg, type))


def writer_threads():
    return sum(1 for t in threading.enumerate() if t.name == "flowmesh-log-writer")


def registered():
    gc.collect()
    return set(PortableImp._id_map.keys())


def build_graph():
    """source -> double -> sink, a second sink on the source, events -> async
    sink, output chain -> input-output chain -> sink, listed chain -> sink."""
    p = Pipeline("")
    src, dbl = Counter(name="src", rate=0, frames=4), Double(name="dbl")
    sink, tap = Sink(name="sink"), Sink(name="tap")
    events, inbox = Events(name="events"), async_sink(name="inbox")
    front, quad, end = Front(name="front", frames=3), Quadruple(name="quad"), Sink(name="end")
    listed, tail = listed_front(name="listed"), Sink(name="tail")
    p.connect(src, dbl)
    p.connect(dbl, sink)
    p.connect(src, tap)
    p.connect(events, inbox)
    p.connect(front, quad)
    p.connect(quad, end)
    p.connect(listed, tail)
    return p


def port_ids(element):
    imp = element._imp
    ports = {}
    for side in ("_input_ports", "_output_ports"):
        for name, port in (getattr(imp, side, None) or {}).items():
            ports[(side, name)] = port.config[port.config.Keys.ID]
    return ports


def pairs_of(pipeline):
    return pipeline.serialize()[SK.CONNECTIONS]


# ------------------------------------------------------------------ writing


def test_empty_pipeline_document():
    doc = Pipeline("").serialize()
    assert list(doc) == ["format_version", "writer", "nodes", "connections"]
    assert doc == {
        "format_version": 1,
        "writer": {"flowmesh": flowmesh.__version__},
        "nodes": [],
        "connections": [],
    }


def test_connections_recorded_once_from_the_output_side_in_order():
    p = build_graph()
    src, dbl, sink, tap, events, inbox = p._imp._nodes[:6]
    out = src._imp._output_ports["out"]
    doc = p.serialize()
    ids = [[a, b] for a, b in doc[SK.CONNECTIONS]][:4]
    assert ids == [
        [out.config["id"], dbl._imp.get_port("in").config["id"]],
        [out.config["id"], tap._imp.get_input_port("in").config["id"]],
        [dbl._imp._output_ports["out"].config["id"], sink._imp.get_input_port("in").config["id"]],
        [
            events._imp._output_ports["out"].config["id"],
            inbox._imp.get_input_port("in").config["id"],
        ],
    ]
    assert [e["class"] for e in doc[SK.NODES]] == [
        "Counter",
        "Double",
        "Sink",
        "Sink",
        "Events",
        "Sink",
        "Front",
        "Quadruple",
        "Sink",
        "OChain",
        "Sink",
    ]
    assert all(e["source"] is None for e in doc[SK.NODES])


@pytest.mark.parametrize(
    "version, expected",
    [("2.5.1", {"flowmesh": "2.5.1"}), ("", {}), (None, {}), ("absent", {})],
)
def test_writer_identity(monkeypatch, version, expected):
    if version == "absent":
        monkeypatch.delattr(flowmesh, "__version__")
    else:
        monkeypatch.setattr(flowmesh, "__version__", version)
    assert PipelineImp._writer_identity() == expected
    assert Pipeline("").serialize()[SK.WRITER] == expected


# --------------------------------------------------------- revision check


@pytest.mark.parametrize(
    "doc, note",
    [
        ({}, (NO_REVISION, LogTypes.WARNING)),
        (
            {"format_version": 0},
            (
                "This document is format revision 0; this build reads revision 1. Reading it, "
                "since every revision so far is readable.",
                None,
            ),
        ),
        (
            {"format_version": -3.7},
            (
                "This document is format revision -3; this build reads revision 1. Reading it, "
                "since every revision so far is readable.",
                None,
            ),
        ),
        ({"format_version": 1}, None),
        ({"format_version": "1"}, None),
        ({"format_version": " 1 "}, None),
        ({"format_version": 1.0}, None),
        ({"format_version": 1.9}, None),
        ({"format_version": True}, None),
    ],
)
def test_readable_revisions(doc, note):
    journal = Journal()
    assert PipelineImp._check_format_version(doc, journal) is None
    assert journal.entries == ([note] if note else [])


@pytest.mark.parametrize(
    "writer, wrote",
    [
        ({"flowmesh": "9.1"}, "flowmesh 9.1"),
        (None, "an unrecorded version"),
        ({}, "an unrecorded version"),
        ("absent", "an unrecorded version"),
        ({"zeta": "1", "flowmesh": "9.1", "alpha": "0.2"}, "alpha 0.2, flowmesh 9.1, zeta 1"),
        ({"flowmesh": 9}, "flowmesh 9"),
        (["not", "a", "record"], "an unrecorded version"),
    ],
)
@pytest.mark.parametrize("revision", [2, "7", 2.5])
def test_newer_revision_is_refused_naming_the_writer(writer, wrote, revision):
    doc = {"format_version": revision}
    if writer != "absent":
        doc["writer"] = writer
    journal = Journal()
    with pytest.raises(ValueError) as info:
        PipelineImp._check_format_version(doc, journal)
    found = int(revision)
    assert str(info.value) == (
        f"This document is format revision {found} and this build reads revision 1. "
        f"It was written by {wrote}. {UPGRADE}"
    )
    assert info.value.__cause__ is None
    assert journal.entries == []


@pytest.mark.parametrize(
    "raw, shown, cause",
    [
        ("x", "'x'", ValueError),
        (None, "None", TypeError),
        ([1], "[1]", TypeError),
        ("1.0", "'1.0'", ValueError),
        (float("inf"), "inf", OverflowError),
    ],
)
def test_unreadable_revision_is_refused_with_its_cause(raw, shown, cause):
    with pytest.raises(ValueError) as info:
        PipelineImp._check_format_version({"format_version": raw}, Journal())
    assert str(info.value) == (
        f"format_version is {shown}, which is not a revision number. This build reads revision 1."
    )
    assert type(info.value.__cause__) is cause


@pytest.mark.parametrize("data", [[], None, "{}", type("D", (dict,), {})()])
@pytest.mark.parametrize("fn", ["check", "deserialize"])
def test_document_must_be_exactly_a_dict(data, fn):
    with pytest.raises(TypeError) as info:
        if fn == "check":
            PipelineImp._check_format_version(data, Journal())
        else:
            PipelineImp.deserialize(data)
    assert str(info.value) == (
        f"Argument 'data' has incorrect type (expected dict, got {type(data).__name__})"
    )


# ----------------------------------------------------------------- reading


def test_round_trip_keeps_elements_ids_and_connections_and_runs():
    p = build_graph()
    doc = p.serialize()
    before = [(type(e).__name__, e.name, port_ids(e)) for e in p._imp._nodes]
    ids = {ref for pair in doc[SK.CONNECTIONS] for ref in pair}
    p.close()
    del p
    Portable.reset()

    q = Pipeline.deserialize(doc)
    try:
        assert [(type(e).__name__, e.name, port_ids(e)) for e in q._imp._nodes] == before
        # every end of every pair is a live port id
        assert all(Portable.get_by_id(ref) is not None for ref in ids)
        assert pairs_of(q) == doc[SK.CONNECTIONS]
        assert q.serialize() == doc
        with pytest.raises(ValueError, match=r"call Portable.reset\(\) first"):
            Pipeline.deserialize(doc)  # its ids are still held by q
        src, dbl, sink, tap, events, inbox, front, quad, end, listed, tail = q._imp._nodes
        q.start()
        assert sink.wait_for(4, timeout=30) and tap.wait_for(4, timeout=30)
        assert end.wait_for(3, timeout=30) and tail.wait_for(2, timeout=30)
        events.trigger("ping")
        assert inbox.wait_for(1, timeout=30)
        q.stop()
        q.raise_if_failed()
        assert sink.values() == [2, 4, 6, 8]
        assert tap.values() == [1, 2, 3, 4]
        assert inbox.values() == ["ping"]
        assert end.values() == [8, 16, 24] and tail.values() == [2, 4]
        assert len(front.get_nodes()) == 2 and len(quad.get_nodes()) == 2
        assert inbox.context is not None  # the event source's context reached it
    finally:
        q.close()


def test_reading_logs_each_step(log_records):
    p = Pipeline("")
    p.connect(
        Silent(name="a", id="A", output_ports=[{"name": "out", "id": "AO"}]),
        Sink(name="b", id="B", input_ports=[{"name": "in", "id": "BI"}]),
    )
    doc = p.serialize()
    p.close()
    Portable.reset()
    records_before = len(log_records())
    q = Pipeline.deserialize(doc)
    q.close()
    assert log_records()[records_before:][:5] == [
        ("INFO", "Starting pipeline deserialization..."),
        ("INFO", "Node a added to pipeline."),
        ("INFO", "Node b added to pipeline."),
        ("INFO", "Connected ports AO and BI."),
        ("INFO", "Deserialization complete."),
    ]


def test_empty_document_gives_an_empty_pipeline(log_records):
    q = Pipeline.deserialize({"format_version": 1, "nodes": [], "connections": []})
    try:
        assert isinstance(q, Pipeline) and q._imp._nodes == []
        assert q.get_state() == Constants.States.STOPPED
    finally:
        q.close()
    assert [m for _, m in log_records()] == [
        "Starting pipeline deserialization...",
        "Deserialization complete.",
    ]


def named(name, cls="Double", module="document_elements", **config):
    return {"class": cls, "module": module, "source": None, "config": {"name": name, **config}}


def test_hand_written_document_connects_by_name_and_runs():
    doc = {
        "nodes": [
            named("src", "Counter", rate=0, frames=3),
            named("dbl"),
            named("sink", "Sink", "flowmesh.sources"),
            named("tap", "Sink", "flowmesh.sources"),
            named("front", "Front", frames=2),
            named("quad", "Quadruple"),
            named("end", "Sink", "flowmesh.sources"),
        ],
        "connections": [
            ["src", "dbl"],
            ["dbl.out", "sink.in"],
            ["src.out", "tap"],
            ["front", "quad.in"],
            ["quad.out", "end"],
        ],
    }
    q = Pipeline.deserialize(doc)
    try:
        src, dbl, sink, tap, front, quad, end = q._imp._nodes
        out = src._imp._output_ports["out"]
        assert [p.config["name"] for p in out._connected_ports] == ["in", "in"]
        assert front.get_output_port("out")._connected_ports == (quad.get_input_port("in"),)
        q.start()
        assert sink.wait_for(3, timeout=30) and tap.wait_for(3, timeout=30)
        assert end.wait_for(2, timeout=30)
        q.stop()
        q.raise_if_failed()
        assert sink.values() == [2, 4, 6] and tap.values() == [1, 2, 3]
        assert end.values() == [8, 16]
    finally:
        q.close()


def test_a_registered_id_wins_over_a_node_name():
    doc = {
        "nodes": [
            named("src", "Silent", output_ports=[{"name": "out", "id": "dbl"}]),
            named("dbl"),
        ],
        "connections": [["dbl", "dbl.in"]],
    }
    q = Pipeline.deserialize(doc)
    try:
        src, dbl = q._imp._nodes
        assert src._imp._output_ports["out"]._connected_ports == (dbl._imp.get_port("in"),)
    finally:
        q.close()


class Hostile(str):
    """An endpoint of a string subclass whose own methods all fail."""

    def __eq__(self, other):
        raise RuntimeError("__eq__")

    def __hash__(self):
        raise RuntimeError("__hash__")

    def __str__(self):
        raise RuntimeError("__str__")

    def __repr__(self):
        raise RuntimeError("__repr__")


class Unreadable:
    """A non-string endpoint that cannot even be shown."""

    def __repr__(self):
        raise RuntimeError("__repr__")


class Mute(LookupError):
    def __str__(self):
        raise RuntimeError("__str__")


def test_string_subclass_endpoints_are_read_as_plain_text(log_records):
    doc = {
        "nodes": [
            named("a", "Silent", output_ports=[{"name": "out", "id": "AO"}]),
            named("b", "Sink", "flowmesh.sources", input_ports=[{"name": "in", "id": "BI"}]),
        ],
        "connections": [],
    }
    q = Pipeline.deserialize(doc)
    try:
        a, b = q._imp._nodes
        by_name, ambiguous = conductor._index_nodes(q._imp._nodes)
        for ref, output, port in [
            ("AO", True, a._imp._output_ports["out"]),
            ("BI", False, b._imp.get_input_port("in")),
            ("b.in", False, b._imp.get_input_port("in")),
            ("a", True, a._imp._output_ports["out"]),
        ]:
            found = conductor._resolve_port(Hostile(ref), by_name, ambiguous, output=output)
            assert found is port
    finally:
        q.close()
    Portable.reset()
    doc["connections"] = [[Hostile("AO"), Hostile("BI")]]
    q = Pipeline.deserialize(doc)
    try:
        a, b = q._imp._nodes
        assert b._imp.get_input_port("in")._connected_ports == (a._imp._output_ports["out"],)
        assert ("INFO", "Connected ports AO and BI.") in log_records()
    finally:
        q.close()


ABC = [named("a", "Silent"), named("b", "Sink", "flowmesh.sources"), named("c", "Silent")]


@pytest.mark.parametrize(
    "nodes, pair, inner",
    [
        (ABC, [5, "b.in"], "a connection endpoint must be a string, got int"),
        (ABC, ["a", None], "a connection endpoint must be a string, got NoneType"),
        (
            ABC + [named("a", "Silent")],
            ["a", "b"],
            "'a' is ambiguous: more than one node is named 'a'. "
            "Give each node a unique name, or connect by port id.",
        ),
        (
            ABC,
            ["x.out", "b"],
            "'x.out' names no node in this pipeline. It is neither a port id nor a known node "
            "name. Named nodes: a, b, c.",
        ),
        (
            [named("z", "Silent"), named("z", "Silent"), named(None, "Sink", "flowmesh.sources")],
            ["z", "q"],
            "'z' is ambiguous: more than one node is named 'z'. "
            "Give each node a unique name, or connect by port id.",
        ),
        (
            [named("z", "Silent"), named("z", "Silent")],
            ["AB12", "q"],
            "'AB12' names no node in this pipeline. It is neither a port id nor a known node "
            "name. Named nodes: none.",
        ),
        (ABC, ["b", "a"], "'b' cannot be used as a connection output: Sink has no output ports."),
        (ABC, ["a", "c"], "'c' cannot be used as a connection input: Silent has no input ports."),
        (
            ABC,
            ["a.nope", "b"],
            "node 'a' has no output port 'nope' (Output port 'nope' not found.).",
        ),
        (ABC, ["a.", "b"], "node 'a' has no output port '' (Output port '' not found.)."),
        (ABC, ["a", "b.x.y"], "node 'b' has no input port 'x.y' ("),
    ],
)
def test_resolution_failures_are_wrapped_logged_and_close_the_pipeline(
    log_records, nodes, pair, inner
):
    threads = writer_threads()
    with pytest.raises(TypeError) as info:
        Pipeline.deserialize({"nodes": nodes, "connections": [pair]})
    expected = f"Deserialization failed: {inner}"
    assert str(info.value).startswith(expected)
    assert str(info.value).endswith(f" (connecting {pair[0]!r} to {pair[1]!r})")
    assert type(info.value.__cause__) is ValueError
    assert str(info.value.__cause__).startswith(inner)
    assert ("ERROR", str(info.value)) in log_records()
    assert writer_threads() == threads  # the discarded pipeline's logger is stopped


@pytest.mark.parametrize(
    "pair, shown",
    [
        ([Hostile("x.out"), "b"], "'x.out' names no node in this pipeline"),
        (["a", Hostile("b.nope")], "node 'b' has no input port 'nope'"),
        ([Unreadable(), "b"], "a connection endpoint must be a string, got Unreadable"),
    ],
)
def test_failure_report_survives_endpoints_that_cannot_be_shown(log_records, pair, shown):
    with pytest.raises(TypeError) as info:
        Pipeline.deserialize({"nodes": ABC, "connections": [pair]})
    ends = [
        str.__repr__(str.__str__(e)) if isinstance(e, str) else "<unprintable Unreadable object>"
        for e in pair
    ]
    assert str(info.value).startswith(f"Deserialization failed: {shown}")
    assert str(info.value).endswith(f" (connecting {ends[0]} to {ends[1]})")
    assert type(info.value.__cause__) is ValueError
    assert ("ERROR", str(info.value)) in log_records()


def test_failure_report_survives_a_lookup_error_that_cannot_be_shown():
    class Node_:
        def get_output_port(self, name):
            raise Mute("gone")

    with pytest.raises(ValueError) as info:
        conductor._resolve_port("n.p", {"n": Node_()}, set(), output=True)
    assert str(info.value) == "node 'n' has no output port 'p' (Mute('gone'))."
    assert type(info.value.__cause__) is Mute


def test_input_half_refused_undoes_the_output_half():
    a = Silent(name="a", output_ports=[{"name": "out", "id": "AO"}])
    b = Sink(name="b", input_ports=[{"name": "in", "id": "BI"}])
    out, inp = a._imp._output_ports["out"], b._imp.get_input_port("in")
    inp.connect(out)  # one-sided: the input port already lists the output port
    doc = {"nodes": [], "connections": [["AO", "BI"]]}
    with pytest.raises(TypeError) as info:
        Pipeline.deserialize(doc)
    assert (
        str(info.value)
        == "Deserialization failed: Port is already connected. (connecting 'AO' to 'BI')"
    )
    assert out._connected_ports == ()
    assert inp._connected_ports == (out,)


def test_ports_refusing_each_other_are_wrapped():
    doc = {
        "nodes": [
            named("e", "Events", output_ports=[{"name": "out", "id": "EO"}]),
            named("s", "Sink", "flowmesh.sources"),
        ],
        "connections": [["e", "s"]],
    }
    with pytest.raises(TypeError) as info:
        Pipeline.deserialize(doc)
    assert str(info.value).startswith("Deserialization failed: ")
    assert str(info.value).endswith(" (connecting 'e' to 's')")
    assert isinstance(info.value.__cause__, (TypeError, ValueError))
    assert Portable.get_by_id("EO")._connected_ports == ()


@pytest.mark.parametrize(
    "pair, error, message",
    [
        (["a"], ValueError, "not enough values to unpack (expected 2, got 1)"),
        ([], ValueError, "not enough values to unpack (expected 2, got 0)"),
        (5, TypeError, "cannot unpack non-iterable int object"),
        (None, TypeError, "cannot unpack non-iterable NoneType object"),
        ("abc", ValueError, "too many values to unpack (expected 2"),
    ],
)
def test_a_pair_that_does_not_unpack_is_not_wrapped(pair, error, message):
    threads = writer_threads()
    with pytest.raises(error) as info:
        Pipeline.deserialize({"nodes": ABC, "connections": [pair]})
    assert str(info.value).startswith(message)
    assert writer_threads() == threads


def test_a_pair_that_is_a_tuple_or_any_iterable_of_two_unpacks():
    doc = {"nodes": ABC, "connections": [("a", "b"), iter(["c", "b"])]}
    q = Pipeline.deserialize(doc)
    try:
        a, b, c = q._imp._nodes
        assert len(b._imp.get_input_port("in")._connected_ports) == 2
    finally:
        q.close()


@pytest.mark.parametrize(
    "doc, missing",
    [
        ({"connections": []}, "nodes"),
        ({"nodes": []}, "connections"),
        ({"format_version": 99}, "nodes"),
        ({"nodes": [], "format_version": 99}, "connections"),
    ],
)
def test_missing_key_is_a_key_error_before_any_pipeline(log_records, doc, missing):
    with pytest.raises(KeyError) as info:
        Pipeline.deserialize(doc)
    assert info.value.args == (missing,)
    assert log_records() == []  # not even "Starting pipeline deserialization..."


def test_newer_revision_is_refused_after_the_start_note(log_records):
    threads = writer_threads()
    with pytest.raises(ValueError, match="format revision 3 and this build reads revision 1"):
        Pipeline.deserialize({"format_version": 3, "nodes": [named("a")], "connections": []})
    assert log_records() == [("INFO", "Starting pipeline deserialization...")]
    assert writer_threads() == threads


@pytest.mark.parametrize(
    "entry, error",
    [
        (named("x", "NoSuchClass"), TypeError),
        (named("x", module="no_such_module_for_flowmesh"), ImportError),
        ({"class": "Double"}, KeyError),
        ([], TypeError),
        (named("x", "FailsAfterRegistering"), RuntimeError),
        (named("x", "Interrupted"), KeyboardInterrupt),
    ],
)
def test_element_failures_pass_through_and_close_the_pipeline(entry, error):
    threads = writer_threads()
    with pytest.raises(error) as info:
        Pipeline.deserialize({"nodes": [named("ok"), entry], "connections": []})
    assert writer_threads() == threads
    del info
    assert registered() == set()  # nothing built stays registered once collected


# -------------------------------------------------- resolution functions


def test_index_nodes_skips_unnamed_and_sets_aside_ambiguous_names():
    class Bare:
        pass

    a1, a2, b, anon = Silent(name="a"), Silent(name="a"), Silent(name="b"), Silent()
    nodes = [a1, Bare(), b, anon, a2, a1]
    by_name, ambiguous = conductor._index_nodes(nodes)
    assert by_name == {"b": b} and ambiguous == {"a"}
    assert conductor._node_name(Bare()) is None
    assert conductor._node_name(anon) is None
    assert conductor._node_name(b) == "b"


@pytest.mark.parametrize("name", [5, b"x", ["a"]])
def test_a_name_that_is_not_text_is_a_type_error(name):
    class Odd:
        config = {"name": name}

    with pytest.raises(TypeError):
        conductor._node_name(Odd())
    with pytest.raises(TypeError):
        conductor._index_nodes([Odd()])


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("x", {}, set()), {}),  # output is required
        (("x", {}, set(), True), {}),  # and keyword-only
        (("x", [], set()), {"output": True}),
        (("x", {}, frozenset()), {"output": True}),
        (("x", type("D", (dict,), {})(), set()), {"output": True}),
    ],
)
def test_resolve_port_checks_its_arguments(args, kwargs):
    with pytest.raises(TypeError):
        conductor._resolve_port(*args, **kwargs)


@pytest.mark.parametrize("arg", [(), "x", None])
def test_index_nodes_wants_a_list(arg):
    with pytest.raises(TypeError, match="expected list"):
        conductor._index_nodes(arg)


@pytest.mark.parametrize(
    "ref, output, expected",
    [
        ("n", True, ("out", "n")),
        ("n", False, ("in", "n")),
        ("n.second", True, ("second", "n")),
        ("n.x.y", False, ("x.y", "n")),
        ("", True, None),
    ],
)
def test_resolve_port_forms(ref, output, expected):
    class Recorder:
        config = {"name": "n"}

        def get_output_port(self, name):
            return ("out-side", name)

        def get_input_port(self, name):
            return ("in-side", name)

    node = Recorder()
    by_name = {"n": node}
    if expected is None:
        with pytest.raises(ValueError, match="Named nodes: n."):
            conductor._resolve_port(ref, by_name, set(), output=output)
        return
    port_name, _ = expected
    side = "out-side" if output else "in-side"
    assert conductor._resolve_port(ref, by_name, set(), output=output) == (side, port_name)


@pytest.mark.parametrize("raised", [KeyError("k"), LookupError("gone"), RuntimeError("odd")])
def test_any_lookup_error_is_reported_with_its_text(raised):
    class Node_:
        def get_input_port(self, name):
            raise raised

    with pytest.raises(ValueError) as info:
        conductor._resolve_port("n.p", {"n": Node_()}, set(), output=False)
    assert str(info.value) == f"node 'n' has no input port 'p' ({raised})."
    assert info.value.__cause__ is raised


def test_a_base_exception_from_a_lookup_is_not_reworded():
    class Node_:
        def get_output_port(self, name):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        conductor._resolve_port("n", {"n": Node_()}, set(), output=True)


def test_input_node_named_as_source_names_its_class():
    class Listener(INode):
        def step(self, data):
            return None

    node = Listener(name="l")
    with pytest.raises(ValueError) as info:
        conductor._resolve_port("l", {"l": node}, set(), output=True)
    assert (
        str(info.value)
        == "'l' cannot be used as a connection output: Listener has no output ports."
    )
