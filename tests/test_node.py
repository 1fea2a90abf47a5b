"""NodeImp (handlers, batch flag, the cycle and its failure policy) and the Node facade."""

import gc
import threading
import weakref

import pytest
from support import RecordingLogger as Recorder

from flowmesh import imp
from flowmesh.constants import Constants
from flowmesh.context import Context
from flowmesh.node import Node

STOPPED, RUNNING = Constants.States.STOPPED, Constants.States.RUNNING
HEALTHY, ERROR = Constants.Conditions.HEALTHY, Constants.Conditions.ERROR
INFO, LOG_ERROR = Constants.LogTypes.INFO, Constants.LogTypes.ERROR

HANDLER_PROPERTIES = [
    "setup_handler",
    "pre_setup_handler",
    "pre_step_handler",
    "post_step_handler",
    "step_handler",
    "process_handler",
]


def make_node(calls=None, *, name="n", cls=None, start=True, step_result=None, batch=False):
    """A NodeImp whose handlers append their names (and arguments) to `calls`."""
    calls = [] if calls is None else calls
    node = (cls or imp.NodeImp)(Node.Configuration(name=name))
    node.set_logger(Recorder())
    node.pre_setup_handler = lambda data, context: calls.append(("pre_setup", data, context))

    def setup(data, context):
        calls.append(("setup", data, context))
        return {}

    node.setup_handler = setup
    node.pre_step_handler = lambda data: calls.append(("pre_step", data))
    node.step_handler = lambda data: calls.append(("step", data)) or step_result
    node.post_step_handler = lambda output: calls.append(("post_step", output))
    node.batch = batch
    if start:
        node.start()
    return node, calls


def names(calls):
    return [c[0] for c in calls]


# ---------------------------------------------------------------- slots


def test_fresh_node_slots():
    node = imp.NodeImp(Node.Configuration(name="n"))
    assert (node.setup_handler, node.step_handler, node.process_handler) == (None, None, None)
    assert node.pre_setup_handler({}, {}) is None
    assert node.pre_step_handler({}) is None
    assert node.post_step_handler({}) is None
    assert node.batch is False


@pytest.mark.parametrize("prop", HANDLER_PROPERTIES)
def test_handler_property_stores_the_object_itself(prop):
    node = imp.NodeImp(Node.Configuration(name="n"))
    handler = object()
    setattr(node, prop, handler)
    assert getattr(node, prop) is handler
    assert getattr(node, "_" + prop) is handler


@pytest.mark.parametrize("value, expected", [(1, True), ("yes", True), (0, False), ([], False)])
def test_batch_stores_truth_value(value, expected):
    node = imp.NodeImp(Node.Configuration(name="n"))
    node.batch = value
    assert node.batch is expected


def test_start_logs_once():
    node, _ = make_node(name="alpha", start=False)
    node.start()
    node.start()
    assert node.get_state() == RUNNING
    assert node._logger.of(INFO) == ["alpha started."]


# ---------------------------------------------------------------- call order


def test_call_order_of_first_later_and_skipped_cycles():
    node, calls = make_node(step_result={"x": 1})
    node._cycle()
    first = names(calls)
    calls.clear()
    node._cycle({"a": 1})
    later = names(calls)
    calls.clear()
    node.pre_step_handler = lambda data: calls.append(("pre_step", data)) or True
    node._cycle()
    skipped = names(calls)
    # Not an output node: no post-step, even though step returned a dict.
    assert first == ["pre_setup", "setup", "pre_step", "step"]
    assert later == ["pre_step", "step"]
    assert skipped == ["pre_step"]
    assert node.get_counter() == 3
    assert node._logger.of(INFO) == ["n started.", "Setting up node n."]


def test_first_cycle_without_data():
    node, calls = make_node()
    node._cycle()
    assert calls[1] == ("setup", {}, {})
    assert calls[3] == ("step", {})
    # setup and step see the same data object of this cycle
    assert calls[1][1] is calls[3][1]
    assert node.get_context() == Context(input={}, output={})
    assert node.get_counter() == 1


def test_empty_data_is_fresh_per_cycle():
    node, calls = make_node()
    node._cycle()
    node._cycle(None)
    steps = [c[1] for c in calls if c[0] == "step"]
    assert steps[0] is not steps[1]


def test_pre_step_true_skips_every_step_and_counts():
    node, calls = make_node()
    node.pre_step_handler = lambda data: 1
    for _ in range(4):
        node._cycle()
    assert "step" not in names(calls)
    assert names(calls).count("setup") == 1
    assert node.get_counter() == 4


@pytest.mark.parametrize(
    "batch, with_process, expected",
    [
        (True, True, "process"),
        (True, False, "step"),
        (False, True, "step"),
    ],
)
def test_process_replaces_step_only_in_batch(batch, with_process, expected):
    node, calls = make_node(batch=batch)
    if with_process:
        node.process_handler = lambda data: calls.append(("process", data))
    node._cycle()
    ran = [n for n in names(calls) if n in ("step", "process")]
    assert ran == [expected]


def test_handler_replaced_takes_effect_at_next_call():
    node, calls = make_node()

    def replacing_step(data):
        calls.append(("first", data))
        node.step_handler = lambda d: calls.append(("second", d))

    node.step_handler = replacing_step
    node._cycle()
    node._cycle()
    assert [n for n in names(calls) if n in ("first", "second")] == ["first", "second"]


# ---------------------------------------------------------------- failure policy


@pytest.mark.parametrize("result", [None, [], "x", type("D", (dict,), {})()])
def test_setup_returning_non_dict_fails_the_node(result):
    node, calls = make_node()
    node.setup_handler = lambda data, context: result
    node._cycle()
    error = node.failure()
    assert type(error) is ValueError
    assert str(error) == "Node.setup() must return a dict."
    assert node.setup_failed() is True
    assert node.get_condition() == ERROR
    assert node.get_counter() == 0
    assert node.get_context() is None
    assert node._logger.of(LOG_ERROR) == [error]
    calls.clear()
    node._cycle()
    assert calls == []


def test_setup_failure_in_batch_propagates():
    node, _ = make_node(batch=True)
    node.setup_handler = lambda data, context: None
    with pytest.raises(ValueError, match=r"^Node\.setup\(\) must return a dict\.$"):
        node._cycle()
    assert node.get_condition() == HEALTHY
    assert node.failure() is None
    assert node.setup_failed() is False


@pytest.mark.parametrize(
    "step, exc_type, message",
    [
        (lambda data: 1 / 0, ZeroDivisionError, "division by zero"),
        (lambda data: [1], TypeError, "Expected dict, got list"),
        (lambda data: ({"a": 1},), TypeError, "Expected dict, got tuple"),
        (None, TypeError, "'NoneType' object is not callable"),
    ],
)
def test_step_failure_non_batch_is_contained(step, exc_type, message):
    node, calls = make_node()
    node.step_handler = step
    node._cycle()
    error = node.failure()
    assert type(error) is exc_type and str(error) == message
    assert node.get_condition() == ERROR
    assert node.setup_failed() is False
    assert node.get_counter() == 0
    assert node._logger.of(LOG_ERROR) == [error]
    calls.clear()
    node._cycle()
    assert calls == []


@pytest.mark.parametrize("where", ["setup", "step"])
def test_the_error_is_logged_once_the_node_shows_its_failure(where):
    # The log wakes the monitoring thread and the pages: they must find the
    # node failed, not still healthy.
    node, _ = make_node()
    seen = []

    class Observing:
        def write(self, *, type, message):
            if type == LOG_ERROR:
                seen.append((node.get_condition(), node.failure() is message, node.setup_failed()))

    if where == "step":
        node._cycle()  # set up first
    setattr(node, f"{where}_handler", lambda *args: 1 / 0)
    node.set_logger(Observing())
    node._setup_cycle() if where == "setup" else node._cycle()
    assert seen == [(ERROR, True, where == "setup")]


def test_step_failure_in_batch_propagates():
    node, _ = make_node(batch=True)
    node.step_handler = lambda data: 1 / 0
    with pytest.raises(ZeroDivisionError):
        node._cycle()
    assert node.get_condition() == HEALTHY
    assert node.failure() is None
    assert node._logger.of(LOG_ERROR) == []


def test_base_exceptions_are_not_contained():
    node, _ = make_node()

    def interrupt(data):
        raise KeyboardInterrupt

    node.step_handler = interrupt
    with pytest.raises(KeyboardInterrupt):
        node._cycle()
    assert node.get_condition() == HEALTHY


def test_failure_is_flagged_even_when_logging_fails():
    class BrokenLogger:
        def write(self, *, type, message):
            raise OSError("disk full")

    node, _ = make_node()
    node._cycle()  # set up while the logger still works
    node.step_handler = lambda data: 1 / 0
    node.set_logger(BrokenLogger())
    with pytest.raises(OSError, match="disk full"):
        node._cycle()
    assert node.get_condition() == ERROR
    assert type(node.failure()) is ZeroDivisionError


@pytest.mark.parametrize("batch", [False, True])
@pytest.mark.parametrize("method", ["_cycle", "_run_cycle"])
def test_data_of_wrong_type_raises_in_both_modes(batch, method):
    node, calls = make_node(batch=batch)
    with pytest.raises(
        TypeError, match=r"^Argument 'data' has incorrect type \(expected dict, got list\)$"
    ):
        getattr(node, method)([])
    assert calls == [] and node.get_condition() == HEALTHY


@pytest.mark.parametrize("method", ["_setup_wrapper", "_run_setup"])
def test_setup_operations_refuse_none(method):
    node, _ = make_node()
    with pytest.raises(TypeError, match="expected dict, got NoneType"):
        getattr(node, method)(None)


def test_stopped_node_ignores_cycles():
    node, calls = make_node(start=False)
    node._cycle({"a": 1})
    assert calls == [] and node.get_counter() == 0
    node.start()
    node._cycle()
    node.stop()
    node._cycle()
    assert names(calls).count("step") == 1
    assert node.get_counter() == 1


def test_setup_wrapper_refuses_stopped_node_in_both_modes():
    for batch in (False, True):
        node, _ = make_node(name="lazy", start=False, batch=batch)
        with pytest.raises(ValueError) as info:
            node._setup_wrapper({})
        assert str(info.value) == (
            "Node lazy is in STOPPED state. Make sure to call Node.start() from your subclass."
        )
        assert node.get_condition() == HEALTHY


def test_setup_gets_a_deep_copy_of_the_context():
    received = {"in": {"rate": 10, "tags": ["a"]}}

    class Fed(imp.NodeImp):
        def _get_context(self):
            return received

    node, _ = make_node(cls=Fed)

    def setup(data, context):
        context["in"]["tags"].append("b")
        return {"out": {"rate": 5}}

    node.setup_handler = setup
    node._cycle()
    assert node.get_context().input == {"in": {"rate": 10, "tags": ["a", "b"]}}
    assert node.get_context().output == {"out": {"rate": 5}}
    assert received == {"in": {"rate": 10, "tags": ["a"]}}


def test_subclass_overrides_are_called():
    seen = []

    class Custom(imp.NodeImp):
        def _run_cycle(self, data=None):
            seen.append(("run_cycle", data))
            return super()._run_cycle(data)

        def _push_context(self):
            seen.append(("push_context", self.get_context()))

        def _setup_wrapper(self, data):
            seen.append(("setup_wrapper", data))
            return super()._setup_wrapper(data)

    node, _ = make_node(cls=Custom)
    node._cycle()
    assert [s[0] for s in seen] == ["run_cycle", "setup_wrapper", "push_context"]
    assert seen[0][1] is None
    assert isinstance(seen[2][1], Context)


# ---------------------------------------------------------------- _setup_cycle


def test_setup_cycle_sets_up_alone_and_counts_once():
    node, calls = make_node()
    node._setup_cycle()
    assert names(calls) == ["pre_setup", "setup"]
    assert node.get_counter() == 1
    node._setup_cycle()
    node._cycle()
    assert names(calls) == ["pre_setup", "setup", "pre_step", "step"]
    assert node.get_counter() == 2


@pytest.mark.parametrize("situation", ["stopped", "error", "counted"])
def test_setup_cycle_does_nothing_unless_first_and_healthy(situation):
    node, calls = make_node(start=situation != "stopped")
    if situation == "error":
        node._condition = ERROR
    if situation == "counted":
        node._counter = 3
    node._setup_cycle()
    assert calls == []


def test_setup_cycle_failure_policy():
    node, _ = make_node()
    node.setup_handler = lambda data, context: 1 / 0
    node._setup_cycle()
    assert node.get_condition() == ERROR and node.setup_failed() is True
    assert node.get_counter() == 0
    batch_node, _ = make_node(batch=True)
    batch_node.setup_handler = lambda data, context: 1 / 0
    with pytest.raises(ZeroDivisionError):
        batch_node._setup_cycle()
    assert batch_node.get_counter() == 0


def test_restart_after_reset_runs_setup_again():
    node, calls = make_node()
    node._cycle()
    node.reset_run_state()
    node._cycle()
    assert names(calls).count("setup") == 2


# ---------------------------------------------------------------- facade


def test_facade_installs_only_defined_handlers():
    class Doubler(Node):
        def step(self, data):
            return {"out": data["in"] * 2}

        def pre_step(self, data):
            return False

    node = Doubler(name="d")
    node_imp = node._imp
    assert node_imp.step_handler == node.step
    assert node_imp.pre_step_handler == node.pre_step
    assert node_imp.setup_handler == node.setup
    assert node_imp.process_handler is None
    assert node_imp.post_step_handler is imp.vertex._no_op_step_hook
    assert node_imp.pre_setup_handler is imp.vertex._no_op_setup_hook
    node.batch = 1
    assert node.batch is True and node_imp.batch is True


def test_facade_without_step_fails_with_class_name():
    class Forgetful(Node):
        pass

    node = Forgetful(name="f")
    node.set_logger(Recorder())
    node.start()
    node._imp._cycle()
    error = node.failure()
    assert type(error) is NotImplementedError
    assert str(error) == "Forgetful must define step(data)"
    # the default setup did its part: an empty context
    assert node.get_context() == Context(input={}, output={})


def test_node_referring_to_its_facade_is_collected():
    class Holder(Node):
        def step(self, data):
            return None

    node = Holder(name="gc")
    node.start()
    node._imp._cycle()
    facade_ref, imp_ref = weakref.ref(node), weakref.ref(node._imp)
    del node
    gc.collect()
    assert facade_ref() is None and imp_ref() is None


# A stand-in for the imp package that fails to give one name, as a broken
# installation would; every other name comes from the real package.
_BROKEN_IMP = """
import sys, types
from flowmesh import imp
from flowmesh.node import Node

class Broken(types.ModuleType):
    def __getattr__(self, name):
        if name == {name!r}:
            raise {error}("cannot load {name}")
        return getattr(imp, name)

sys.modules["flowmesh.imp"] = Broken("flowmesh.imp")
try:
    node = imp.NodeImp(Node.Configuration(name="n"))
except ImportError as e:
    print("raised", e, "|", type(e.__cause__).__name__)
except KeyboardInterrupt:
    print("interrupted")
else:
    print("built")
"""


@pytest.mark.parametrize(
    "name, error, expected",
    [
        # The package never lacks ONodeImp once loaded: a failure to read it
        # is reported with its cause, not taken for "no outputs".
        (
            "ONodeImp",
            "RuntimeError",
            "raised flowmesh.imp.ONodeImp cannot be imported | RuntimeError",
        ),
        # AttributeError alone means "not bound yet" (the package still loading).
        ("ONodeImp", "AttributeError", "built"),
        # An interruption is no broken installation: it arrives as it is.
        ("ONodeImp", "KeyboardInterrupt", "interrupted"),
    ],
)
def test_unreadable_output_node_class_is_reported(name, error, expected):
    import subprocess
    import sys

    code = _BROKEN_IMP.format(name=name, error=error)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == expected


# ---------------------------------------------------------------- handlers changed while cycling


def test_handler_and_batch_changes_reach_the_next_cycle_from_another_thread():
    """A cycle reads the handlers without the node's lock: a thread changing
    handlers and the batch flag while another cycles never tears what a cycle
    calls (each cycle runs one handler that was set, whole), and the last
    change is what the next cycle runs."""
    node, calls = make_node()
    node._cycle()  # setup
    stop = threading.Event()
    ran = []

    def make(tag):
        return lambda data: ran.append(tag)

    steps = [make(("step", k)) for k in range(4)]
    processes = [make(("process", k)) for k in range(4)]
    default_pre = imp.NodeImp(Node.Configuration(name="fresh")).pre_step_handler

    def churn():
        k = 0
        while not stop.is_set():
            node.step_handler = steps[k % 4]
            node.process_handler = processes[k % 4]
            node.batch = k % 3 == 0
            node.pre_step_handler = make(("pre", k)) if k % 2 else default_pre
            k += 1

    changer = threading.Thread(target=churn)
    changer.start()
    try:
        for _ in range(3000):
            node._cycle()
    finally:
        stop.set()
        changer.join(timeout=60)
    assert not changer.is_alive()
    assert node.get_condition() != Constants.Conditions.ERROR, node.failure()
    produced = [r for r in ran if r[0] in ("step", "process")]
    assert len(produced) == 3000
    node.batch, node.process_handler = True, make("last")
    node._cycle()
    assert ran[-1] == "last"
