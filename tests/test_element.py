"""Processing elements: state, condition, failure, logging and start roll-back."""

import gc

import pytest

from flowmesh.constants import Constants
from flowmesh.imp import PortableImp, ProcessingElementImp
from flowmesh.logging import Logger
from flowmesh.processing_element import ProcessingElement

States, Conditions, LogTypes = Constants.States, Constants.Conditions, Constants.LogTypes


pytestmark = pytest.mark.usefixtures("fresh_registry")


class RecordingLogger:
    """Accepts keyword arguments only, as the real logger is called."""

    def __init__(self):
        self.calls = []

    def write(self, *, type, message):
        self.calls.append((type, message))


class KeywordOrder:
    def __init__(self):
        self.orders = []

    def write(self, **kwargs):
        self.orders.append(list(kwargs))


def make_facade(name="el"):
    element = ProcessingElement(name=name)
    return element, element._imp


def make_imp(name="el"):
    imp = ProcessingElementImp(ProcessingElement.Configuration(name=name))
    return imp, imp


makers = pytest.mark.parametrize("make", [make_facade, make_imp], ids=["facade", "imp"])


@makers
def test_new_element_defaults(make):
    element, imp = make()
    assert element.get_state() == States.STOPPED
    assert element.get_condition() == Conditions.HEALTHY
    assert element.get_counter() == 0 and imp._counter == 0
    assert element.failure() is None and imp._failure is None
    assert element.get_context() is None and imp._context is None
    assert element.setup_failed() is False and imp._setup_failed is False
    assert element.get_max_backlog() == 0
    assert element.name == "el"
    assert PortableImp.get_by_id(imp.config["id"]) is imp


def test_default_logger_is_a_memory_logger_of_its_own():
    a, b = ProcessingElementImp(ProcessingElement.Configuration()), ProcessingElement()._imp
    assert type(a._logger) is Logger and a._logger is not b._logger
    assert not a._logger.is_persistent()


@makers
def test_start_and_stop_are_idempotent_and_logged_once(make):
    element, imp = make("pump")
    log = RecordingLogger()
    element.set_logger(log)
    element.stop()
    assert log.calls == []
    element.start()
    element.start()
    assert element.get_state() == States.RUNNING
    element.stop()
    element.stop()
    assert element.get_state() == States.STOPPED
    assert log.calls == [(LogTypes.INFO, "pump started."), (LogTypes.INFO, "pump stopped.")]


def test_start_and_stop_leave_the_condition_alone():
    imp = make_imp()[0]
    imp._condition = Conditions.ERROR
    imp.start()
    imp.stop()
    assert imp.get_condition() == Conditions.ERROR


def test_start_with_unreadable_name_keeps_state():
    imp = make_imp()[0]
    dict.__setitem__(imp.config, "name", 3)
    with pytest.raises(TypeError):
        imp.start()
    assert imp.get_state() == States.STOPPED


@makers
def test_first_failure_wins_until_reset(make):
    element, imp = make()
    first, second, third = ValueError("first"), KeyError("second"), RuntimeError("third")
    imp.record_failure(first)
    imp.record_failure(second)
    assert element.failure() is first
    element.reset_run_state()
    assert element.failure() is None
    imp.record_failure(third)
    assert element.failure() is third


@pytest.mark.parametrize("value", ["text", ValueError, None])
def test_record_failure_refuses_non_exceptions(value):
    imp = make_imp()[0]
    with pytest.raises(TypeError):
        imp.record_failure(value)
    assert imp.failure() is None


@makers
def test_reset_run_state_clears_the_run_but_not_state_or_logger(make):
    element, imp = make()
    log = RecordingLogger()
    element.set_logger(log)
    element.start()
    imp._counter = 12
    imp._condition = Conditions.ERROR
    imp._context = object()
    imp._setup_failed = True
    imp.record_failure(ValueError("x"))
    element.reset_run_state()
    assert element.get_state() == States.RUNNING
    assert imp._logger is log
    assert (
        element.get_counter(),
        element.get_condition(),
        element.get_context(),
        element.setup_failed(),
        element.failure(),
    ) == (0, Conditions.HEALTHY, None, False, None)


@makers
def test_log_defaults_to_info_and_passes_exceptions_through(make):
    element, imp = make()
    log = RecordingLogger()
    element.set_logger(log)
    error = ValueError("boom")
    element.log("hello")
    element.log(error, LogTypes.ERROR)
    imp.log(msg="kw", type=LogTypes.WARNING)
    assert log.calls == [
        (LogTypes.INFO, "hello"),
        (LogTypes.ERROR, error),
        (LogTypes.WARNING, "kw"),
    ]
    assert log.calls[1][1] is error


def test_log_passes_type_then_message():
    imp = make_imp()[0]
    log = KeywordOrder()
    imp.set_logger(log)
    imp.log("m")
    assert log.orders == [["type", "message"]]


@makers
def test_without_logger_everything_is_silent(make):
    element, imp = make()
    element.set_logger(None)
    element.log("nothing")
    element.start()
    element.stop()
    assert imp._logger is None


def test_logger_errors_propagate():
    class Broken:
        def write(self, **kwargs):
            raise OSError("disk full")

    imp = make_imp()[0]
    imp.set_logger(Broken())
    with pytest.raises(OSError, match="disk full"):
        imp.log("x")


@pytest.mark.parametrize(
    "args, kwargs", [((), {}), (("a", None, 1), {}), (("a",), {"kind": 1}), (("a",), {"msg": "b"})]
)
def test_log_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        make_imp()[0].log(*args, **kwargs)


@pytest.mark.parametrize(
    "name, error", [("n", None), (None, None), (3, TypeError), (b"n", TypeError)]
)
def test_name_must_be_text_or_none(name, error):
    imp = make_imp()[0]
    dict.__setitem__(imp.config, "name", name)
    if error is None:
        assert imp.name == name
    else:
        with pytest.raises(error):
            imp.name
    with pytest.raises(AttributeError):
        imp.name = "other"


def test_missing_name_key_raises_lookup_error():
    imp = make_imp()[0]
    dict.__delitem__(imp.config, "name")
    with pytest.raises(KeyError):
        imp.name


@pytest.mark.parametrize("name", [3, ["x"], 1.5])
def test_facade_configuration_refuses_a_bad_name(name):
    with pytest.raises(TypeError) as info:
        ProcessingElement(name=name)
    assert (
        str(info.value) == f"Configuration 'name' must be a str or None, not {type(name).__name__}"
    )


def test_counter_is_a_read_write_integer():
    imp = make_imp()[0]
    imp._counter = 2**40
    assert imp.get_counter() == 2**40
    with pytest.raises(TypeError):
        imp._counter = "1"
    with pytest.raises(OverflowError):
        imp._counter = 2**64
    with pytest.raises(AttributeError):
        del imp._counter
    assert imp._counter == 2**40


def test_element_registry_entry_goes_with_the_element():
    element = ProcessingElement(id="el-1")
    element._imp.owner = element
    del element
    gc.collect()
    assert PortableImp.get_by_id("el-1") is None


# ------------------------------------------------------- stop_after_failed_start


class Part:
    def __init__(self, name, state=States.RUNNING, error=None, journal=None):
        self.name = name
        self.state = state
        self.error = error
        self.journal = journal

    def get_state(self):
        return self.state

    def stop(self):
        self.journal.append(self.name)
        if self.error is not None:
            raise self.error


@pytest.mark.parametrize(
    "failed_state, expected",
    [
        (States.RUNNING, ["bad", "c", "b", "a"]),
        (States.STOPPED, ["c", "b", "a"]),
    ],
)
def test_roll_back_order(failed_state, expected):
    journal = []
    started = [Part(n, journal=journal) for n in "abc"]
    snapshot = list(started)
    lines = []
    ProcessingElementImp.stop_after_failed_start(
        started, Part("bad", failed_state, journal=journal), lines.append
    )
    assert journal == expected and lines == []
    assert started == snapshot


def test_roll_back_logs_failing_stops_and_goes_on():
    journal, lines = [], []
    started = [Part("a", journal=journal), Part("b", error=RuntimeError("stuck"), journal=journal)]
    failed = Part("c", error=ValueError("half open"), journal=journal)
    assert ProcessingElementImp.stop_after_failed_start(started, failed, lines.append) is None
    assert journal == ["c", "b", "a"]
    assert lines == [
        "Failed to stop node c while recovering from a start failure: half open",
        "Failed to stop node b while recovering from a start failure: stuck",
    ]


def test_roll_back_lets_non_exception_errors_through():
    journal = []
    started = [Part("a", journal=journal), Part("b", error=KeyboardInterrupt(), journal=journal)]
    with pytest.raises(KeyboardInterrupt):
        ProcessingElementImp.stop_after_failed_start(started, Part("x", States.STOPPED), print)
    assert journal == ["b"]


def test_roll_back_on_real_elements():
    lines = []
    a, b = ProcessingElement(name="a"), ProcessingElement(name="b")
    a.start()
    b.start()
    ProcessingElementImp.stop_after_failed_start([a], b, lines.append)
    assert a.get_state() == b.get_state() == States.STOPPED and lines == []


@pytest.mark.parametrize("started, got", [((), "tuple"), (None, "NoneType")])
def test_roll_back_wants_exactly_a_list(started, got):
    with pytest.raises(TypeError) as info:
        ProcessingElementImp.stop_after_failed_start(started, Part("x"), print)
    assert str(info.value) == f"Argument 'started' has incorrect type (expected list, got {got})"
