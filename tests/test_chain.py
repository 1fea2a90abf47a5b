"""Chains: construction checks, wiring, id adoption, run control and chains
running inside real pipelines."""

import copy
import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import Counter, RecordingLogger

from flowmesh import imp
from flowmesh.chain import node_entry
from flowmesh.constants import Constants
from flowmesh.i_chain import IChain
from flowmesh.i_node import INode
from flowmesh.imp import cascade_io, cascade_out, conductor
from flowmesh.io_chain import IOChain
from flowmesh.io_node import IONode
from flowmesh.o_chain import OChain
from flowmesh.o_node import ONode
from flowmesh.pipeline import Pipeline
from flowmesh.portable import Portable
from flowmesh.sources import EventSource, Sink

States, Conditions, LogTypes = Constants.States, Constants.Conditions, Constants.LogTypes
ASYNC = Constants.Timing.ASYNC
TIMEOUT = 30.0
ADOPTERS = [cascade_out._adopt_recorded_port_ids, cascade_io._adopt_recorded_port_ids]


pytestmark = pytest.mark.usefixtures("fast_monitor", "fresh_registry")


class Fed(IONode):
    """An input-output node that produces on its own, so it may head a chain."""

    def is_externally_fed(self):
        return True


class Doubler(IONode):
    def step(self, data):
        return {"out": 2 * data["in"]}


def ports(*names, timing=None):
    return [{"name": n, **({"timing": timing} if timing else {})} for n in names]


def kinds(*spec):
    """Fresh nodes from a compact spec: O, I, IO, F (externally fed IO)."""
    make = {"O": ONode, "I": INode, "IO": IONode, "F": Fed}
    return [make[k](name=f"n{p}") for p, k in enumerate(spec)]


def ochain_imp(nodes, **config):
    return imp.OChainImp(OChain.Configuration(name="chain", **config), nodes)


def iochain_imp(nodes, **config):
    return imp.IOChainImp(IOChain.Configuration(name="chain", **config), nodes)


# ------------------------------------------------------------ construction


FIRST = "First internal node must be an ONode (not an IONode), or must report is_externally_fed()."
LAST = "Last internal node must be an ONode or IONode."


@pytest.mark.parametrize(
    "spec, error, message",
    [
        # The first-node check comes first, then the last-node check, then
        # the input check of the nodes after the first.
        (("I",), TypeError, FIRST),
        (("I", "I"), TypeError, FIRST),
        (("IO", "I"), TypeError, FIRST),
        (("IO",), TypeError, FIRST),
        (("O", "I"), TypeError, LAST),
        (("F", "IO", "I"), TypeError, LAST),
        (("O", "O"), TypeError, "Internal node 1 must have input ports (INode or IONode)."),
        (
            ("O", "IO", "O", "IO"),
            TypeError,
            "Internal node 2 must have input ports (INode or IONode).",
        ),
    ],
)
def test_output_chain_checks_in_order(spec, error, message):
    with pytest.raises(error) as caught:
        ochain_imp(kinds(*spec))
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "spec, message",
    [
        (("I",), "Internal node 0 must be an IONode."),
        (("IO", "O"), "Internal node 1 must be an IONode."),
        (("IO", "IO", "I", "O"), "Internal node 2 must be an IONode."),
        (("O", "IO"), "Internal node 0 must be an IONode."),
    ],
)
def test_io_chain_reports_the_first_node_that_is_not_input_output(spec, message):
    with pytest.raises(TypeError) as caught:
        iochain_imp(kinds(*spec))
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "spec, error, text",
    [
        (("O",), TypeError, "Internal node 0 must have input ports (INode or IONode)."),
        (("I", "IO", "O"), TypeError, "Internal node 2 must have input ports (INode or IONode)."),
        (
            ("I", "I"),
            ValueError,
            "Cannot join internal node 0 'n0' (output ports: []) to internal node 1 'n1'",
        ),
    ],
)
def test_input_chain_checks(spec, error, text):
    with pytest.raises(error) as caught:
        imp.IChainImp(IChain.Configuration(), kinds(*spec))
    assert str(caught.value).startswith(text)


@pytest.mark.parametrize(
    "spec", [("O",), ("F",), ("O", "IO"), ("F", "IO", "IO"), ("O", "IO", "IO")]
)
def test_valid_output_chains(spec):
    nodes = kinds(*spec)
    chain = ochain_imp(nodes)
    assert chain._internal_nodes == nodes and chain.get_nodes() == nodes
    assert chain._output_ports is nodes[-1]._imp._output_ports


@pytest.mark.parametrize(
    "make", [ochain_imp, iochain_imp, lambda n: imp.IChainImp(IChain.Configuration(), n)]
)
@pytest.mark.parametrize(
    "nodes, error, text",
    [
        ((), TypeError, "must be a list of nodes, got tuple"),
        ([], ValueError, "at least one internal node"),
        ("not-a-list", TypeError, "got str"),
        ([object()], TypeError, "Internal node 0 must be a Node, got object."),
    ],
)
def test_chain_base_refuses_unusable_node_lists(make, nodes, error, text):
    with pytest.raises(
        error, match=text.replace("(", r"\(").replace(")", r"\)").replace(".", r"\.")
    ):
        make(nodes)


@pytest.mark.parametrize("edit", ["append", "clear", "replace"])
def test_the_wired_nodes_are_the_boundary_whatever_the_caller_does_to_its_list(edit):
    given = []

    class Meddling(IONode):
        def is_externally_fed(self):
            if edit == "append":
                given.append(ONode(name="stranger"))
            elif edit == "clear":
                given.clear()
            else:
                given[-1] = ONode(name="stranger")
            return True

    head, tail = Meddling(name="head"), IONode(name="tail")
    given += [head, tail]
    chain = ochain_imp(given)
    assert chain.get_nodes() == [head, tail]
    assert chain._output_ports is tail._imp._output_ports
    assert chain.get_port("out") is tail._imp._output_ports["out"]
    assert head._imp._output_ports["out"]._connected_ports == (tail._imp.get_port("in"),)


@pytest.mark.parametrize("make", [ochain_imp, iochain_imp])
def test_the_same_node_twice_is_refused(make):
    a, b = IONode(name="a"), Fed(name="b")
    with pytest.raises(ValueError, match="Internal node 2 is the same object as internal node 1"):
        make([b, a, a])


def test_the_chain_base_runs_before_the_chains_own_checks():
    # An empty list would otherwise fail the first-node check with IndexError.
    with pytest.raises(ValueError):
        ochain_imp([])


# ------------------------------------------------------------------ wiring


@pytest.mark.parametrize(
    "outs, ins, expected",
    [
        (["out"], ["in"], [("out", "in")]),
        (["a", "b"], ["b", "a"], [("a", "a"), ("b", "b")]),
        (["out", "x"], ["in", "x"], [("x", "x"), ("out", "in")]),
        (["out", "in"], ["in"], [("in", "in")]),  # "in" is taken by its namesake
    ],
)
def test_ports_pair_by_name_then_out_to_in(outs, ins, expected):
    up = Fed(name="up", input_ports=ports("feed"), output_ports=ports(*outs))
    down = IONode(name="down", input_ports=ports(*ins))
    iochain_imp([up, down])
    joined = [
        (o, i)
        for o, op in up._imp._output_ports.items()
        for i, ip in down._imp._input_ports.items()
        if ip in op._connected_ports and op in ip._connected_ports
    ]
    assert sorted(joined) == sorted(expected)


def test_nothing_to_pair_names_both_nodes_and_their_ports():
    up = ONode(name="up", output_ports=ports("a"))
    down = IONode(name="down", input_ports=ports("b"))
    with pytest.raises(ValueError) as caught:
        ochain_imp([up, down])
    text = str(caught.value)
    for part in ("internal node 0 'up'", "['a']", "internal node 1 'down'", "['b']"):
        assert part in text
    assert not up._imp._output_ports["a"].is_connected()


def test_a_failed_join_undoes_the_joins_already_made():
    up = ONode(name="up", output_ports=ports("a", "b"))
    down = IONode(name="down", input_ports=[{"name": "a"}, {"name": "b", "timing": ASYNC}])
    with pytest.raises(TypeError, match="continuous stream"):
        ochain_imp([up, down])
    assert not any(p.is_connected() for p in up._imp._output_ports.values())
    assert not any(p.is_connected() for p in down._imp._input_ports.values())


# ---------------------------------------------------------------- adoption


def recorded_port(node_imp, side, name):
    return getattr(node_imp, side)[name]


@pytest.mark.parametrize("adopt", ADOPTERS)
def test_recorded_ids_go_by_name_whatever_the_order(adopt):
    node = ONode(name="n", output_ports=ports("a", "b", "c"))
    config = OChain.Configuration(
        output_ports=[{"name": "c", "id": "ID-C"}, {"name": "a", "id": "ID-A"}]
    )
    adopt(config, config.Keys.OUTPUT_PORTS, node)
    ids = {n: p.config["id"] for n, p in node._imp._output_ports.items()}
    assert ids["a"] == "ID-A" and ids["c"] == "ID-C" and ids["b"] not in ("ID-A", "ID-C")
    assert Portable.get_by_id("ID-A") is node._imp._output_ports["a"]


@pytest.mark.parametrize("adopt", ADOPTERS)
@pytest.mark.parametrize(
    "entry",
    [
        5,
        "a",
        None,
        ["a", "X"],
        {"name": "a"},
        {"id": "X"},
        {"name": "zz", "id": "X"},
        {"name": ["a"], "id": "X"},
        {"name": "a", "id": imp.ConstantsImp.ID_TO_BE_GENERATED},
    ],
)
def test_malformed_and_unassigned_entries_are_skipped(adopt, entry):
    node = ONode(name="n", output_ports=ports("a", "b"))
    before = node._imp._output_ports["a"].config["id"]
    config = OChain.Configuration(output_ports=[entry, {"name": "b", "id": "ID-B"}])
    adopt(config, "output_ports", node)
    assert node._imp._output_ports["a"].config["id"] == before
    assert node._imp._output_ports["b"].config["id"] == "ID-B"


@pytest.mark.parametrize("adopt", ADOPTERS)
@pytest.mark.parametrize("recorded", [None, [], "absent"])
def test_nothing_recorded_adopts_nothing(adopt, recorded):
    node = ONode(name="n")
    before = node._imp._output_ports["out"].config["id"]
    config = OChain.Configuration()
    if recorded == "absent":
        dict.__delitem__(config, "output_ports")
    else:
        dict.__setitem__(config, "output_ports", recorded)
    adopt(config, "output_ports", node)
    assert node._imp._output_ports["out"].config["id"] == before


@pytest.mark.parametrize("adopt", ADOPTERS)
def test_a_node_without_ports_adopts_nothing(adopt):
    config = OChain.Configuration(output_ports=[{"name": "out", "id": "X"}])
    adopt(config, "output_ports", object())
    assert Portable.get_by_id("X") is None


@pytest.mark.parametrize("adopt", ADOPTERS)
def test_an_id_held_by_a_live_object_is_refused(adopt):
    holder = ONode(name="holder")
    taken = holder._imp._output_ports["out"].config["id"]
    node = ONode(name="n")
    config = OChain.Configuration(output_ports=[{"name": "out", "id": taken}])
    with pytest.raises(ValueError, match=f"ID '{taken}' cannot be adopted"):
        adopt(config, "output_ports", node)


@pytest.mark.parametrize("adopt", ADOPTERS)
@pytest.mark.parametrize(
    "key, side, other",
    [
        ("input_ports", "_input_ports", "_output_ports"),
        ("output_ports", "_output_ports", "_input_ports"),
    ],
)
def test_a_name_on_both_sides_goes_to_the_side_the_key_names(adopt, key, side, other):
    node = IONode(name="n", input_ports=ports("x"), output_ports=ports("x"))
    other_id = getattr(node._imp, other)["x"].config["id"]
    config = IOChain.Configuration(**{key: [{"name": "x", "id": "RECORDED"}]})
    adopt(config, key, node)
    assert getattr(node._imp, side)["x"].config["id"] == "RECORDED"
    assert getattr(node._imp, other)["x"].config["id"] == other_id


@pytest.mark.parametrize("adopt", ADOPTERS)
def test_a_name_only_on_the_other_side_falls_back_to_both_tables(adopt):
    node = IONode(name="n", input_ports=ports("in"), output_ports=ports("only-out"))
    config = IOChain.Configuration(input_ports=[{"name": "only-out", "id": "FALLBACK"}])
    adopt(config, "input_ports", node)
    assert node._imp._output_ports["only-out"].config["id"] == "FALLBACK"


def test_io_chain_with_a_shared_port_name_loads_its_own_configuration():
    def build():
        return [IONode(name="only", input_ports=ports("x"), output_ports=ports("x"))]

    first = iochain_imp(build())
    recorded = copy.deepcopy(dict(first.config))
    in_id, out_id = recorded["input_ports"][0]["id"], recorded["output_ports"][0]["id"]
    assert in_id != out_id
    Portable.reset()
    again = imp.IOChainImp(IOChain.Configuration(**recorded), build())
    assert again._input_ports["x"].config["id"] == in_id
    assert again._output_ports["x"].config["id"] == out_id
    assert again.config["input_ports"][0]["id"] == in_id
    assert again.config["output_ports"][0]["id"] == out_id


_NAMES = ["a", "b", "c", "zz"]
_malformed = st.one_of(
    st.none(),
    st.integers(),
    st.text(max_size=3),
    st.lists(st.sampled_from(_NAMES), max_size=2),
    st.fixed_dictionaries({"name": st.sampled_from(_NAMES)}),
    st.fixed_dictionaries({"id": st.just("LOST")}),
    st.fixed_dictionaries({"name": st.sampled_from(_NAMES), "id": st.just(None)}),
)


@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(
    entries=st.lists(
        st.one_of(
            st.tuples(st.just("valid"), st.sampled_from(_NAMES)),
            st.tuples(st.just("bad"), _malformed),
        ),
        max_size=8,
    ),
    which=st.sampled_from(ADOPTERS),
)
def test_each_port_takes_the_last_valid_id_recorded_for_its_name(entries, which):
    Portable.reset()
    node = ONode(name="n", output_ports=ports("a", "b", "c"))
    before = {n: p.config["id"] for n, p in node._imp._output_ports.items()}
    recorded, expected = [], dict(before)
    for k, (kind, value) in enumerate(entries):
        if kind == "valid":
            recorded.append({"name": value, "id": f"ID{k}"})
            if value in expected:
                expected[value] = f"ID{k}"
        else:
            recorded.append(value)
    config = OChain.Configuration(output_ports=recorded)
    which(config, "output_ports", node)
    assert {n: p.config["id"] for n, p in node._imp._output_ports.items()} == expected
    assert Portable.get_by_id("LOST") is None


# -------------------------------------------------- boundary ports and config


def test_output_chain_configuration_copies_the_last_nodes_ports():
    nodes = [ONode(name="a"), IONode(name="b", output_ports=ports("p", "q"))]
    chain = ochain_imp(nodes)
    listed = chain.config["output_ports"]
    assert listed == nodes[-1].config["output_ports"]
    assert listed is not nodes[-1].config["output_ports"]
    assert all(c is not o for c, o in zip(listed, nodes[-1].config["output_ports"]))
    assert [e["name"] for e in listed] == ["p", "q"]


def test_io_chain_shares_its_boundary_tables():
    nodes = [
        IONode(name="a", input_ports=ports("i1", "i2")),
        IONode(name="b", output_ports=ports("o")),
    ]
    chain = iochain_imp(nodes)
    assert chain._input_ports is nodes[0]._imp._input_ports
    assert chain._output_ports is nodes[-1]._imp._output_ports
    assert [e["name"] for e in chain.config["input_ports"]] == ["i1", "i2"]
    assert [e["name"] for e in chain.config["output_ports"]] == ["o"]


def test_rebuilt_chain_takes_the_recorded_ids_and_lists_them():
    nodes = [ONode(name="a"), IONode(name="b", output_ports=ports("p", "q"))]
    recorded = [{"name": "q", "id": "Q-ID"}, {"name": "p", "id": "P-ID"}]
    chain = ochain_imp(nodes, output_ports=recorded)
    assert {e["name"]: e["id"] for e in chain.config["output_ports"]} == {"p": "P-ID", "q": "Q-ID"}
    assert chain.get_output_port("p").config["id"] == "P-ID"


@pytest.mark.parametrize("make", [ochain_imp, iochain_imp])
def test_connect_through_the_chain_is_connect_on_the_last_node(make):
    nodes = [Fed(name="a"), IONode(name="b", output_ports=ports("out", "spare"))]
    chain = make(nodes)
    sink = Sink(name="sink")
    assert chain.connect("spare", sink, "in") is None
    port = nodes[-1]._imp._output_ports["spare"]
    assert port._connected_ports == (sink._imp._input_ports["in"],)
    for args, error, text in [
        (("nope", sink, "in"), ValueError, "Output port 'nope' not found."),
        (("spare", sink, "nope"), ValueError, "Input port 'nope' not found."),
        (("spare", sink, "in"), ValueError, "Port is already connected."),
    ]:
        with pytest.raises(error) as via_chain:
            chain.connect(*args)
        with pytest.raises(error) as via_node:
            nodes[-1].connect(*args)
        assert str(via_chain.value) == str(via_node.value) == text
    chain.disconnect("spare", sink, "in")
    assert not port.is_connected()
    with pytest.raises(ValueError, match="Ports are not connected."):
        chain.disconnect("spare", sink, "in")


def test_port_lookups_of_an_io_chain():
    nodes = [
        IONode(name="a", input_ports=ports("x"), output_ports=ports("out")),
        IONode(name="b", input_ports=ports("in"), output_ports=ports("x")),
    ]
    chain = iochain_imp(nodes)
    assert chain.get_port("x") is nodes[0]._imp._input_ports["x"]
    assert chain.get_output_port("x") is nodes[1]._imp._output_ports["x"]
    assert chain.get_input_port("x") is nodes[0]._imp._input_ports["x"]
    with pytest.raises(ValueError, match="^Output port 'in' not found.$"):
        chain.get_output_port("in")


def test_port_lookups_of_an_output_chain():
    nodes = [ONode(name="a"), IONode(name="b", output_ports=ports("p"))]
    chain = ochain_imp(nodes)
    assert chain.get_port("p") is chain.get_output_port("p") is nodes[1]._imp._output_ports["p"]
    with pytest.raises(ValueError, match="^Output port 'out' not found.$"):
        chain.get_port("out")


# ------------------------------------------------------------- run control


class Journal(list):
    pass


class Recorded(IONode):
    def __init__(self, journal, fail=None, error=RuntimeError, **config):
        self.journal = journal
        self.fail = fail
        self.error = error
        super().__init__(**config)

    def start(self):
        self.journal.append(("start", self.name))
        if self.fail == "before":
            raise self.error(f"{self.name} cannot start")
        super().start()
        if self.fail == "after":  # marked itself running, then failed
            raise self.error(f"{self.name} half started")

    def stop(self):
        self.journal.append(("stop", self.name))
        super().stop()


@pytest.mark.parametrize("error", [RuntimeError, KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize(
    "fail, expected_stops",
    [
        ("before", [("stop", "b"), ("stop", "a")]),
        ("after", [("stop", "c"), ("stop", "b"), ("stop", "a")]),
    ],
)
def test_start_rolls_back_the_started_nodes_newest_first(fail, expected_stops, error):
    journal = Journal()
    nodes = [
        Recorded(journal, name=n, fail=fail if n == "c" else None, error=error) for n in "abcd"
    ]
    chain = imp.IOChainImp(IOChain.Configuration(name="chain"), nodes)
    with pytest.raises(error, match="^c (cannot start|half started)$"):
        chain.start()
    starts = [("start", n) for n in "abc"]
    assert journal == starts + expected_stops
    assert chain.get_state() == States.STOPPED
    assert [n.get_state() for n in nodes] == [States.STOPPED] * 4


def test_start_and_stop_reach_every_node_once():
    journal = Journal()
    nodes = [Recorded(journal, name=n) for n in "ab"]
    chain = imp.IOChainImp(IOChain.Configuration(name="chain"), nodes)
    chain.start()
    chain.start()
    assert chain.get_state() == States.RUNNING and all(
        n.get_state() == States.RUNNING for n in nodes
    )
    chain.stop()
    chain.stop()
    assert journal == [("start", "a"), ("start", "b"), ("stop", "a"), ("stop", "b")]
    assert all(n.get_state() == States.STOPPED for n in nodes)


@pytest.mark.parametrize("error", [OSError, KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("later_failure", [False, True])
def test_a_failing_stop_does_not_keep_the_other_nodes_running(error, later_failure):
    class Stuck(IONode):
        def stop(self):
            super().stop()
            raise error("device busy")

    class Refuses(IONode):
        def stop(self):
            raise ValueError("second failure")

    nodes = [Stuck(name="a"), IONode(name="b")]
    if later_failure:  # the first failure is the one raised
        nodes.append(Refuses(name="c"))
    chain = iochain_imp(nodes)
    chain.start()
    with pytest.raises(error, match="device busy"):
        chain.stop()
    assert chain.get_state() == States.STOPPED and nodes[1].get_state() == States.STOPPED


def test_logger_backlog_condition_failure_and_reset_reach_the_nodes():
    nodes = [IONode(name="a"), IONode(name="b")]
    chain = iochain_imp(nodes)
    logger = RecordingLogger()
    chain.set_logger(logger)
    assert all(n._imp._logger is logger for n in nodes) and chain._logger is logger

    assert chain.get_max_backlog() == 0
    nodes[1].get_max_backlog = lambda: 7
    assert chain.get_max_backlog() == 7

    assert chain.get_condition() == Conditions.HEALTHY and chain.failure() is None
    first, second = ValueError("first"), ValueError("second")
    nodes[1]._imp.record_failure(second)
    nodes[1]._imp._condition = Conditions.ERROR
    nodes[0]._imp._condition = Conditions.WARNING
    assert chain.get_condition() == Conditions.ERROR
    assert chain.failure() is second
    nodes[0]._imp.record_failure(first)
    assert chain.failure() is first  # in node order
    chain.reset_run_state()
    assert chain.get_condition() == Conditions.HEALTHY and chain.failure() is None
    assert all(n.get_condition() == Conditions.HEALTHY and n.failure() is None for n in nodes)


# -------------------------------------------------------------- capability


@pytest.mark.parametrize(
    "cls, output, input",
    [(OChain, True, False), (IChain, False, True), (IOChain, True, True)],
)
def test_real_chain_classes_have_their_capabilities(cls, output, input):
    chain = cls.__new__(cls)  # the checks look at the class only
    assert conductor._has_output_capability(chain) is output
    assert conductor._has_input_capability(chain) is input


def test_a_missing_chain_module_is_imported_only_once(monkeypatch):
    attempts = []

    class Refuse:
        @staticmethod
        def find_spec(name, path=None, target=None):
            if name == "flowmesh.i_chain":
                attempts.append(name)
                raise ImportError("not here")
            return None

    module = sys.modules["flowmesh.i_chain"]
    monkeypatch.delitem(sys.modules, "flowmesh.i_chain")
    monkeypatch.setattr(sys, "meta_path", [Refuse(), *sys.meta_path])
    node = INode(name="i")
    for _ in range(3):
        assert conductor._has_input_capability(node) is True
        assert conductor._has_input_capability(object()) is False
    assert len(attempts) <= 1
    # Once the module is there again, however it came, its class is found.
    monkeypatch.setitem(sys.modules, "flowmesh.i_chain", module)
    assert conductor._has_input_capability(IChain.__new__(IChain)) is True


# ------------------------------------------------------- chains in pipelines


class Scaled(IOChain):
    """Two doublers built from the chain's own parameter: x -> 4x by default."""

    class Configuration(IOChain.Configuration):
        def _set_defaults(self):
            super()._set_defaults()
            self.setdefault("stages", 2)

    def build_nodes(self, config):
        return [Doubler(name=f"{self.__class__.__name__}-{k}") for k in range(config["stages"])]


class Source(OChain):
    """A counting source followed by a doubler."""

    class Configuration(OChain.Configuration):
        def _set_defaults(self):
            super()._set_defaults()
            self.setdefault("frames", None)

    def build_nodes(self, config):
        return [Counter(name="counter", rate=500, frames=config["frames"]), Doubler(name="twice")]


class Collect(IChain):
    """An input chain whose first node doubles and whose last node keeps the values."""

    def build_nodes(self, config):
        return [Doubler(name="in-double"), Sink(name="in-sink")]


def test_chains_run_frames_end_to_end():
    with Pipeline("") as p:
        source, middle, sink = Source(name="src", frames=20), Scaled(name="mid"), Sink(name="sink")
        p.connect(source, middle)
        p.connect(middle, sink)
        p.start()
        assert sink.wait_for(20, TIMEOUT)
        p.stop()
        assert sink.values() == [8 * k for k in range(1, 21)]
        p.raise_if_failed()
        assert p.get_condition() == Conditions.HEALTHY


def test_an_input_chain_receives_through_its_first_node():
    with Pipeline("") as p:
        source, collect = Source(name="src", frames=5), Collect(name="collect")
        p.connect(source, collect)
        p.start()
        inner_sink = collect.get_nodes()[-1]
        assert inner_sink.wait_for(5, TIMEOUT)
        p.stop()
        assert inner_sink.values() == [4 * k for k in range(1, 6)]
        assert collect.get_input_port("in") is collect.get_nodes()[0]._imp._input_ports["in"]


def test_events_reach_a_chain_of_async_nodes():
    class Events(IOChain):
        def build_nodes(self, config):
            async_ports = {
                "input_ports": ports("in", timing=ASYNC),
                "output_ports": ports("out", timing=ASYNC),
            }
            return [Doubler(name="e1", **async_ports), Doubler(name="e2", **async_ports)]

    with Pipeline("") as p:
        source = EventSource(name="events")
        sink = Sink(name="sink", input_ports=ports("in", timing=ASYNC))
        chain = Events(name="chain")
        p.connect(source, chain)
        p.connect(chain, sink)
        p.start()
        for v in (1, 2, 3):
            source.trigger(v)
        assert sink.wait_for(3, TIMEOUT)
        assert sink.values() == [4, 8, 12]
        assert sink.context is not None


class Exploding(IONode):
    limit = 6

    def step(self, data):
        if self.limit is not None and data["in"] >= self.limit:
            raise ZeroDivisionError(f"cannot take {data['in']}")
        return {"out": data["in"]}


class Fragile(IOChain):
    def build_nodes(self, config):
        return [Doubler(name="fine"), Exploding(name="fragile-inner")]


def test_a_failing_internal_node_is_reported_by_name(capsys):
    with Pipeline("") as p:
        source, chain, sink = Source(name="src"), Fragile(name="outer"), Sink(name="sink")
        p.connect(source, chain)
        p.connect(chain, sink)
        p.start()
        assert _wait(lambda: p.get_state() == States.STOPPED)
        assert p.get_condition() == Conditions.ERROR
        assert chain.get_condition() == Conditions.ERROR
        with pytest.raises(RuntimeError) as caught:
            p.raise_if_failed()
        assert "cannot take" in str(caught.value)
        assert "in node 'fragile-inner'" in str(caught.value)
        assert isinstance(caught.value.__cause__, ZeroDivisionError)
        assert caught.value.__cause__ is chain.get_nodes()[1].failure()
        p.stop()  # waits for the monitoring thread's report, printed after its stop
        banner = capsys.readouterr().out
        assert "Node: fragile-inner" in banner and "Pipeline stopped." in banner

        # The next run starts healthy: the chain reset its nodes.
        chain.get_nodes()[1].limit = None
        sink.clear()
        p.start()
        assert sink.wait_for(3, TIMEOUT)
        assert p.get_condition() == Conditions.HEALTHY and chain.failure() is None


def test_a_chain_failing_to_start_rolls_the_pipeline_back():
    journal = Journal()

    class Stubborn(IOChain):
        def build_nodes(self, config):
            return [Recorded(journal, name="x"), Recorded(journal, name="y", fail="before")]

    with Pipeline("") as p:
        first = Recorded(journal, name="first")
        p.add_node(first)
        p.add_node(Stubborn(name="chain"))
        with pytest.raises(RuntimeError, match="^y cannot start$"):
            p.start()
        assert journal == [
            ("start", "first"),
            ("start", "x"),
            ("start", "y"),
            ("stop", "x"),
            ("stop", "first"),
        ]
        assert p.get_state() == States.STOPPED


@pytest.mark.parametrize("cls", [Source, Scaled, Collect])
def test_a_chain_round_trips_through_its_configuration(cls):
    chain = cls(name="c")
    entry = chain.serialize()
    ids = {
        k: [e["id"] for e in entry["config"].get(k, [])] for k in ("input_ports", "output_ports")
    }
    assert not any(isinstance(v, Portable) for v in _walk(entry["config"]))
    Portable.reset()
    again = Portable.deserialize(entry)
    assert type(again) is cls and again is not chain
    again_ids = {
        k: [e["id"] for e in again.config.get(k, [])] for k in ("input_ports", "output_ports")
    }
    assert again_ids == ids
    for key, getter in (("output_ports", "get_output_port"), ("input_ports", "get_input_port")):
        for e in again.config.get(key, []):
            assert getattr(again, getter)(e["name"]).config["id"] == e["id"]
            assert Portable.get_by_id(e["id"]) is getattr(again, getter)(e["name"])


def test_node_entries_rebuild_the_nodes_without_keeping_objects():
    config = {
        "name": "entries",
        "nodes": [node_entry(Counter, name="c", frames=3), node_entry(Doubler, name="d")],
    }
    chain = OChain(**copy.deepcopy(config))
    assert [type(n) for n in chain.get_nodes()] == [Counter, Doubler]
    assert chain.config["nodes"] == config["nodes"]  # no ids written into the entries
    Portable.reset()
    again = OChain(**copy.deepcopy(dict(chain.config)))
    assert [n.name for n in again.get_nodes()] == ["c", "d"]
    assert again.get_output_port("out").config["id"] == chain.get_output_port("out").config["id"]


@pytest.mark.parametrize(
    "config, error, text",
    [
        ({}, ValueError, "has no internal nodes"),
        ({"nodes": "x"}, TypeError, "nodes must be a list"),
        ({"nodes": [ONode(name="live")]}, TypeError, r"nodes\[0\] must be a node entry"),
        ({"output_ports": {"name": "out"}}, TypeError, "output_ports must be a list"),
    ],
)
def test_output_chain_configuration_errors(config, error, text):
    with pytest.raises(error, match=text):
        OChain(**config)


def _wait(predicate):
    from support import wait_until

    return wait_until(predicate, TIMEOUT)


def _walk(value):
    yield value
    if isinstance(value, dict):
        for v in value.values():
            yield from _walk(v)
    elif isinstance(value, (list, tuple)):
        for v in value:
            yield from _walk(v)


# ------------------------------------------------------------ ownership


def chain_of(nodes, name="chain", base=IOChain):
    class Given(base):
        def build_nodes(self, config):
            return list(nodes)

    return Given(name=name)


@pytest.mark.parametrize("holder", ["chain", "pipeline"])
def test_a_chain_refuses_a_node_that_another_holder_has(holder):
    a, b, c = Doubler(name="a"), Doubler(name="b"), Doubler(name="c")
    with Pipeline("") as p:
        if holder == "chain":
            first = chain_of([a, b], name="first")
            text = "Internal node 1 'a' already belongs to chain 'first'."
        else:
            p.add_node(a)
            text = f"Internal node 1 'a' is already in {p!r}: a chain's nodes are its own."
        with pytest.raises(ValueError) as info:
            chain_of([c, a], name="second")
        assert str(info.value) == text
        if holder == "chain":
            assert first.get_nodes() == [a, b]
    # Neither a closed pipeline nor a chain that was never built holds a node.
    if holder == "pipeline":
        assert chain_of([c, a]).get_nodes() == [c, a]
    else:
        lone = Doubler(name="lone", output_ports=ports("other"))
        with pytest.raises(ValueError, match="Cannot join"):
            chain_of([c, lone, Doubler(name="d")])
        assert (
            chain_of([c, lone, Doubler(name="e", input_ports=ports("other"))]).get_nodes()[0] is c
        )


@pytest.mark.parametrize(
    "how",
    [
        lambda p, inner, sink: p.add_node(inner),
        lambda p, inner, sink: p.connect(inner, sink),
        lambda p, inner, sink: p.connect(sink, {"node": inner, "port": "in"}),
    ],
    ids=["add", "connect-source", "connect-target"],
)
def test_a_pipeline_refuses_a_chains_internal_node(how):
    chain = Scaled(name="mid")
    inner = chain.get_nodes()[1]
    with Pipeline("") as p:
        sink = Doubler(name="other")
        with pytest.raises(ValueError) as info:
            how(p, inner, sink)
        assert str(info.value) == (
            "Node 'Scaled-1' belongs to chain 'mid': connect the chain's ports, not its nodes."
        )
        assert p.get_elements() == []


def warnings_of(pipeline):
    return [
        e["message"]
        for e in pipeline._imp._logger.recent_entries()
        if e["type"] == LogTypes.WARNING
    ]


@pytest.mark.parametrize("add", ["add_node", "connect"])
def test_a_node_shared_by_two_pipelines_is_accepted_with_a_warning(add):
    source = Source(name="src")
    with Pipeline("") as first, Pipeline("") as second:
        first.connect(source, Sink(name="s1"))
        if add == "add_node":
            second.add_node(source)
        else:
            second.connect(source, Sink(name="s2"))
        assert source in second.get_elements()
        assert warnings_of(second) == [
            f"Node 'src' is also in {first!r}: the pipelines share it, and stopping either "
            "one stops it for both."
        ]
        assert warnings_of(first) == []
        first.start()
        second.start()
        first.stop()
        assert source.get_state() == States.STOPPED
        assert second.get_state() == States.RUNNING
        second.stop()
    with Pipeline("") as third:  # both closed: nobody else holds it
        third.add_node(source)
        assert warnings_of(third) == []


def test_a_refused_internal_connection_leaves_a_document_that_loads(tmp_path):
    """Joining a chain's internal node from outside used to save a document
    whose rebuilt chain clashed with the node's recorded id."""
    path = tmp_path / "p.json"
    with Pipeline("") as p:
        source, middle, sink = Source(name="src"), Scaled(name="mid"), Sink(name="sink")
        p.connect(source, middle)
        p.connect(middle, sink)
        with pytest.raises(ValueError, match="belongs to chain 'src'"):
            p.connect(source.get_nodes()[0], Sink(name="tap"))
        p.save(path)
        saved = p.serialize()
    Portable.reset()
    with Pipeline.load(path) as q:
        assert [e.name for e in q.get_elements()] == ["src", "mid", "sink"]
        assert q.serialize()["connections"] == saved["connections"]


# ------------------------------------------------- run control from several threads


def chain_or_source(kind):
    if kind == "chain":
        chain = Source(name="front")
        return chain, chain.get_nodes()[0]
    source = Counter(name="counter", rate=500)
    return source, source


@pytest.mark.parametrize("kind", ["chain", "source"])
def test_start_and_stop_from_four_threads_end_consistent(kind):
    element, source = chain_or_source(kind)
    errors = []

    def hammer(k):
        for i in range(150):
            try:
                (element.start if (i + k) % 2 else element.stop)()
            except RuntimeError as e:
                if "is being stopped; start it again once stop() has returned" not in str(e):
                    errors.append(e)
            except BaseException as e:
                errors.append(e)

    threads = [threading.Thread(target=hammer, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(TIMEOUT)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    element.start()
    assert element.get_state() == States.RUNNING
    assert source._thread.is_alive()
    element.stop()
    assert element.get_state() == source.get_state() == States.STOPPED
    assert not source._thread.is_alive()


class Gated(Counter):
    """A source whose start waits for `gate`, so a start can be caught midway."""

    def __init__(self, **config):
        self.gate, self.entered, self.starts = threading.Event(), threading.Event(), 0
        super().__init__(**config)

    def _prepare_run(self):
        self.starts += 1
        self.entered.set()
        assert self.gate.wait(TIMEOUT)


@pytest.mark.parametrize("kind", ["chain", "source"])
def test_a_stop_during_a_start_is_carried_out_when_the_start_completes(kind):
    source = Gated(name="gated", rate=500)
    element = chain_of([source], name="front", base=OChain) if kind == "chain" else source
    starter = threading.Thread(target=element.start)
    starter.start()
    assert source.entered.wait(TIMEOUT)
    element.start()  # a second start while the first is under way is skipped
    element.stop()  # left to the starting thread
    assert element.get_state() == States.STOPPED
    source.gate.set()
    starter.join(TIMEOUT)
    assert source.starts == 1
    assert element.get_state() == source.get_state() == States.STOPPED
    assert not source._thread.is_alive()
