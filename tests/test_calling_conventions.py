"""How the implementation classes take their arguments: every constructor,
method and function binds them by name with one set of rules and wordings;
only a few calls on the data path take a positional shortcut."""

import pytest

from flowmesh import imp
from flowmesh.constants import Constants
from flowmesh.i_node import INode
from flowmesh.io_chain import IOChain
from flowmesh.io_node import IONode
from flowmesh.node import Node
from flowmesh.o_chain import OChain
from flowmesh.o_node import ONode
from flowmesh.o_port import OPort
from flowmesh.portable import Portable


def _nodes(head=IONode):
    return [head(name="a"), IONode(name="b")]


# (class, its keyword arguments, what a call with those builds)
CONSTRUCTORS = [
    (imp.PortableImp, lambda: {"config": Portable.Configuration()}),
    (imp.PortImp, lambda: {"config": OPort.Configuration(name="p")}),
    (imp.ONodeImp, lambda: {"config": ONode.Configuration(name="o")}),
    (imp.INodeImp, lambda: {"config": INode.Configuration(name="i")}),
    (imp.OChainImp, lambda: {"config": OChain.Configuration(), "internal_nodes": _nodes(ONode)}),
    (imp.IOChainImp, lambda: {"config": IOChain.Configuration(), "internal_nodes": _nodes()}),
    (imp.PipelineImp, lambda: {"directory": None}),
]


pytestmark = pytest.mark.usefixtures("fresh_registry")


@pytest.mark.parametrize("cls, kwargs", CONSTRUCTORS, ids=lambda c: getattr(c, "__name__", ""))
def test_constructors_bind_by_name_with_one_wording(cls, kwargs):
    name = cls.__name__
    good = kwargs()
    assert isinstance(cls(**good), cls)
    assert isinstance(cls(*kwargs().values()), cls)
    with pytest.raises(
        TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'bogus'$"
    ):
        cls(**kwargs(), bogus=1)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes at most {len(good)} arguments?"):
        cls(*kwargs().values(), None)
    first = next(iter(good))
    with pytest.raises(
        TypeError, match=rf"^{name}\(\) got multiple values for argument '{first}'$"
    ):
        cls(*kwargs().values(), **{first: kwargs()[first]})


def test_a_missing_required_argument_is_named():
    with pytest.raises(
        TypeError, match=r"^OChainImp\(\) missing required argument 'internal_nodes'"
    ):
        imp.OChainImp(OChain.Configuration())


def _element():
    return imp.ProcessingElementImp(Node.Configuration(name="e"))


def _onode():
    return imp.ONodeImp(ONode.Configuration(name="o"))


# (call taking its argument by keyword, what it returns)
KEYWORD_CALLS = [
    ("record_failure", lambda: _element().record_failure(error=ValueError("x")), None),
    ("set_logger", lambda: _element().set_logger(logger=None), None),
    ("get_port", lambda: type(_onode().get_port(port_name="out")).__name__, "OPortImp"),
    (
        "get_output_port",
        lambda: _onode().get_output_port(port_name="out").timing,
        Constants.Timing.SYNC,
    ),
    ("_check_loops", lambda: imp._ports._check_loops(elements=[]), None),
    ("_colour", lambda: imp.conductor._colour(code="1"), ""),
    ("_node_name", lambda: imp.conductor._node_name(node=Node(name="x")), "x"),
]


@pytest.mark.parametrize("name, call, expected", KEYWORD_CALLS, ids=[c[0] for c in KEYWORD_CALLS])
def test_one_argument_calls_take_it_by_name(name, call, expected, monkeypatch):
    monkeypatch.setenv("NO_COLOR", "1")
    assert call() == expected


NO_ARGUMENT_CALLS = [
    ("get_state", lambda: _element().get_state),
    ("start", lambda: _element().start),
    ("reset_run_state", lambda: _element().reset_run_state),
    ("is_decimation_step", lambda: _onode().is_decimation_step),
    ("_get_data", lambda: imp.NodeImp(Node.Configuration(name="n"))._get_data),
    ("new_id", lambda: imp.PortableImp.new_id),
    ("get_backlog", lambda: imp.PipelineImp().get_backlog),
    ("_writer_identity", lambda: imp.PipelineImp._writer_identity),
]


@pytest.mark.parametrize("name, method", NO_ARGUMENT_CALLS, ids=[c[0] for c in NO_ARGUMENT_CALLS])
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_calls_without_parameters_refuse_any_argument(name, method, args, kwargs):
    bound = method()
    bound()
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes no arguments$"):
        bound(*args, **kwargs)


class _LoudEq(str):
    """A state equal to RUNNING by value but not the member itself."""

    __hash__ = str.__hash__


class _RaisingEq:
    def __eq__(self, other):
        raise RuntimeError("no comparison")

    __hash__ = object.__hash__


@pytest.mark.parametrize(
    "state, expected",
    [
        (Constants.States.RUNNING, Constants.States.STOPPED),
        (_LoudEq(Constants.States.RUNNING.value), Constants.States.STOPPED),
        (Constants.States.RUNNING.value, Constants.States.STOPPED),
        (Constants.States.STOPPED, Constants.States.STOPPED),
        ("running", "running"),
    ],
)
def test_run_state_tests_compare_by_value_when_not_the_member(state, expected):
    element = _element()
    element.set_logger(None)
    element._state = state
    element.stop()
    assert element.get_state() == expected


def test_a_state_whose_comparison_raises_fails_the_call():
    element = _element()
    element._state = _RaisingEq()
    with pytest.raises(RuntimeError, match="no comparison"):
        element.stop()
    with pytest.raises(RuntimeError, match="no comparison"):
        imp.ONodeImp.start(_onode_with_state(_RaisingEq()))


def _onode_with_state(state):
    node = _onode()
    node._state = state
    return node
