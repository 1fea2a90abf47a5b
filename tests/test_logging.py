import logging
import os
import re
import sys
import sysconfig
import threading
import time
import types

import pytest
from support import Counter, Doubler, wait_until

import flowmesh.imp
import flowmesh.logging
import flowmesh.portable
from flowmesh.constants import Constants
from flowmesh.logging import LogEntry, Logger

ERROR, WARNING, INFO = Constants.LogTypes.ERROR, Constants.LogTypes.WARNING, Constants.LogTypes.INFO


@pytest.fixture(params=["memory", "file"])
def logger(request, tmp_path):
    log = Logger("" if request.param == "memory" else str(tmp_path))
    yield log
    log.stop()


def _messages(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


# --- incidents ----------------------------------------------------------------------------------


@pytest.mark.parametrize("kind", [ERROR, WARNING])
def test_incident_forms(logger, kind):
    for text in ("first", "second", "third"):
        logger.write(type=kind, message=text)
    assert logger.get_incident(type=kind)["message"] == "third"
    # Opaque: the earliest (the cause); everything recorded up to the call is taken with it.
    taken = logger.get_incident(kind, opaque=True)
    assert isinstance(taken, LogEntry) and taken["message"] == "first"
    assert logger.get_incident(type=kind, opaque=True) is None
    assert logger.get_incident(type=kind)["message"] == "third"
    logger.write(type=kind, message="fourth")
    assert logger.get_incident(kind, opaque=True)["message"] == "fourth"
    assert logger.get_incident(type=kind)["message"] == "fourth"


def test_incident_types_are_separate(logger):
    logger.write(type=ERROR, message="e")
    logger.write(type=WARNING, message="w")
    logger.write(type=INFO, message="i")
    assert logger.get_incident(ERROR, opaque=True)["message"] == "e"
    assert logger.get_incident(WARNING, opaque=True)["message"] == "w"
    assert logger.get_incident(type=INFO) is None
    assert logger.get_incident(INFO, opaque=True) is None
    assert logger.get_incident(type="DEBUG") is None
    # Plain text type names work as well as the constants.
    logger.write(type="ERROR", message="by text")
    assert logger.get_incident(type=ERROR)["message"] == "by text"


def test_incidents_from_many_threads_are_handed_out_once(logger):
    writers, per_writer, takers = 4, 300, 4
    done = threading.Event()
    taken = [[] for _ in range(takers)]

    def write(w):
        for k in range(per_writer):
            logger.write(type=ERROR, message=f"{w}:{k}")

    def take(out):
        while not done.is_set():
            entry = logger.get_incident(type=ERROR, opaque=True)
            if entry is not None:
                out.append(entry)
            time.sleep(0)  # let the writers run

    threads = [threading.Thread(target=take, args=(out,)) for out in taken]
    threads += [threading.Thread(target=write, args=(w,)) for w in range(writers)]
    for t in threads:
        t.start()
    for t in threads[takers:]:
        t.join(timeout=60)
    done.set()
    for t in threads[:takers]:
        t.join(timeout=60)

    taken.append([e for e in [logger.get_incident(ERROR, opaque=True)] if e is not None])
    messages = [e["message"] for out in taken for e in out]
    assert messages and len(messages) == len(set(messages))
    for out in taken:  # each taker sees a writer's incidents in the order written
        for w in range(writers):
            ks = [int(e["message"].split(":")[1]) for e in out if e["message"].startswith(f"{w}:")]
            assert ks == sorted(ks)

    # An incident recorded after all that reaches exactly one of several racing takers.
    logger.write(type=ERROR, message="last")
    barrier, results = threading.Barrier(8), []
    racers = [
        threading.Thread(
            target=lambda: (barrier.wait(), results.append(logger.get_incident(ERROR, opaque=True)))
        )
        for _ in range(8)
    ]
    for t in racers:
        t.start()
    for t in racers:
        t.join(timeout=60)
    assert [e["message"] for e in results if e is not None] == ["last"]


# --- lifecycle and file ---------------------------------------------------------------------


def test_memory_logger_has_no_thread_and_no_file():
    before = set(threading.enumerate())
    log = Logger("")
    log.write(type=ERROR, message="kept")
    assert set(threading.enumerate()) <= before
    assert not log.is_persistent()
    assert (log.file_name, log.attempted_file, log.file_error) == (None, None, None)
    assert log.get_incident(type=ERROR)["message"] == "kept"


def test_file_gets_lines_after_flush(tmp_path):
    log = Logger(str(tmp_path / "sub" / "logs"))
    assert log.is_persistent() and os.path.dirname(log.file_name) == str(tmp_path / "sub" / "logs")
    assert re.fullmatch(
        rf"flowmesh-\d{{8}}-\d{{6}}-{os.getpid()}-\d+\.log", os.path.basename(log.file_name)
    )

    def write(w):
        for k in range(500):
            log.write(type=INFO, message=f"line {w}.{k}")

    threads = [threading.Thread(target=write, args=(w,)) for w in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    try:
        raise KeyError("missing thing")
    except KeyError as e:
        log.write(type=ERROR, message=e)
    log.flush()
    text = _messages(log.file_name)
    assert all(f"line {w}.{k}" in text for w in range(4) for k in range(500))
    assert "ERROR" in text and "Traceback (most recent call last)" in text
    assert "test_file_gets_lines_after_flush" in text
    other = Logger(str(tmp_path / "sub" / "logs"))
    assert other.file_name != log.file_name
    log.stop()
    other.stop()


def test_flush_waits_for_a_slow_writer(tmp_path, monkeypatch):
    original = LogEntry.format

    def slow_format(entry):
        time.sleep(0.2)
        return original(entry)

    monkeypatch.setattr(LogEntry, "format", slow_format)
    log = Logger(str(tmp_path))
    log.write(type=INFO, message="slow line")
    log.flush()
    assert "slow line" in _messages(log.file_name)
    log.stop()


def test_stop_is_repeatable_and_write_after_stop_is_harmless(tmp_path):
    log = Logger(str(tmp_path))
    log.start()
    log.write(type=INFO, message="before stop")
    log.stop()
    log.stop()
    assert not log.is_persistent() and not log._thread.is_alive()
    assert "before stop" in _messages(log.file_name)
    log.write(type=ERROR, message="after stop")
    log.flush()
    log.stop()
    assert log.get_incident(type=ERROR)["message"] == "after stop"
    assert "after stop" not in _messages(log.file_name)


def test_the_file_is_made_on_start_with_the_entries_so_far(tmp_path):
    before = set(threading.enumerate())
    log = Logger(str(tmp_path))
    log.write(type=INFO, message="before the run")
    # Planned, not made: no file and no thread until the run starts.
    assert log.is_persistent() and log.file_name.startswith(str(tmp_path))
    assert list(tmp_path.iterdir()) == [] and set(threading.enumerate()) <= before
    log.start()
    log.start()
    log.write(type=INFO, message="during the run")
    log.flush()
    text = _messages(log.file_name)
    assert text.index("before the run") < text.index("during the run")
    log.stop()
    unstarted = Logger(str(tmp_path / "other"))
    unstarted.write(type=ERROR, message="never filed")
    unstarted.stop()
    unstarted.start()
    assert list((tmp_path / "other").iterdir()) == [] and not unstarted.is_persistent()
    assert unstarted.get_incident(type=ERROR)["message"] == "never filed"


def _document(tmp_path):
    from flowmesh.pipeline import Pipeline
    from flowmesh.sources import Sink

    path = tmp_path / "pipeline.json"
    with Pipeline(directory="") as pipeline:
        pipeline.connect(Counter(name="counter", rate=100), Sink(name="sink"))
        pipeline.save(path)
    flowmesh.portable.Portable.reset()
    return path


@pytest.mark.parametrize("command", ["validate", "graph"])
def test_commands_without_a_run_leave_no_log_file(tmp_path, monkeypatch, capsys, command):
    from flowmesh import commands

    document = _document(tmp_path)
    capsys.readouterr()
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "state"))
    assert commands.main([command, str(document)]) == 0
    logs = tmp_path / "state" / "flowmesh" / "logs"
    assert not logs.exists() or list(logs.iterdir()) == []
    assert "no log file" not in capsys.readouterr().out


def test_a_loaded_pipeline_logs_to_a_file_once_it_runs(tmp_path, monkeypatch):
    from flowmesh.pipeline import Pipeline

    document = _document(tmp_path)
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "state"))
    with Pipeline.load(document) as pipeline:
        pipeline.start()
        pipeline.stop()
        assert pipeline.is_logging_persistent()
        text = _messages(pipeline.log_file)
    assert "Node counter added to pipeline." in text and "Pipeline stopped." in text
    assert os.path.dirname(pipeline.log_file) == str(tmp_path / "state" / "flowmesh" / "logs")


def test_a_file_that_cannot_be_made_at_start_is_reported_once(tmp_path, capsys):
    log = Logger(str(tmp_path / "logs"))
    path = log.file_name
    (tmp_path / "logs").rmdir()
    (tmp_path / "logs").write_text("in the way")
    log.start()
    log.start()
    log.flush()
    log.write(type=INFO, message="afterwards")
    out = capsys.readouterr().out
    assert out.count("*** flowmesh: log file") == 1 and path in out
    assert not log.is_persistent() and log.file_name is None and log.attempted_file == path
    assert "cannot create it" in log.file_error and "memory only" in log.file_error
    assert log.get_incident(type=WARNING)["message"].startswith(f"Log file {path}: cannot create")
    assert [e["message"] for e in log.recent_entries()][-1] == "afterwards"
    log.stop()


@pytest.fixture
def full_disk(monkeypatch):
    """The log file is made where asked, but what is written to it goes to /dev/full."""
    import builtins

    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")

    def open_full(path, mode, **kwargs):
        builtins.open(path, mode, **kwargs).close()
        return builtins.open("/dev/full", "w", **kwargs)

    monkeypatch.setattr(flowmesh.logging, "open", open_full, raising=False)


def test_a_full_disk_is_reported_once_and_ends_persistence(tmp_path, capsys, full_disk):
    log = Logger(str(tmp_path))
    path = log.file_name
    log.start()
    for k in range(50):
        log.write(type=INFO, message=f"line {k}")
        log.flush()
    assert not log.is_persistent() and log.file_name is None and log.attempted_file == path
    assert "No space left on device" in log.file_error
    out = capsys.readouterr().out
    assert out.count("*** flowmesh: log file") == 1 and "No space left on device" in out
    [warning] = [e for e in log.recent_entries() if e["type"] == WARNING]
    assert warning["message"].startswith(f"Log file {path}: writing it failed")
    # Nothing is queued for a file that is gone; stop still ends the writer.
    assert log._queue.empty()
    log.stop()
    assert not log._thread.is_alive()


def test_failure_banner_after_a_full_disk_says_where_entries_went(tmp_path, capsys, full_disk):
    from flowmesh.pipeline import Pipeline
    from flowmesh.sources import Sink

    doubler = Doubler(name="doubler")
    doubler.fail_at = 40
    with Pipeline(directory=str(tmp_path)) as pipeline:
        path = pipeline.log_file
        pipeline.connect(Counter(name="counter", rate=100), doubler)
        pipeline.connect(doubler, Sink(name="sink"))
        pipeline.start()
        # The monitoring thread stops the run once it has reported the failure.
        assert wait_until(lambda: pipeline.get_state() == Constants.States.STOPPED)
        assert not pipeline.is_logging_persistent()
    out = capsys.readouterr().out
    banner = out[out.index("*** cannot take 40 ***") :]
    assert "See log file" not in out
    assert (
        f"No log file was written at {path} (writing it failed: No space left on device" in banner
    )


@pytest.mark.parametrize("entries, chars, size", [(5, 10**9, 10), (10**9, 3000, 1000)])
def test_the_writer_backlog_is_bounded_and_drops_are_counted(
    tmp_path, monkeypatch, entries, chars, size
):
    monkeypatch.setattr(flowmesh.logging, "FILE_BACKLOG_ENTRIES", entries, raising=False)
    monkeypatch.setattr(flowmesh.logging, "FILE_BACKLOG_CHARS", chars, raising=False)
    gate, original = threading.Event(), LogEntry.format

    def held_format(entry):
        gate.wait(timeout=60)
        return original(entry)

    monkeypatch.setattr(LogEntry, "format", held_format)
    log = Logger(str(tmp_path))
    log.start()
    total = 60
    for k in range(total):
        log.write(type=INFO, message=f"m{k:03d}" + "x" * size)
    # Waiting for the file never holds up the one writing: the queue stays at the bound.
    assert log._queue.qsize() <= 6
    gate.set()
    assert wait_until(lambda: log._queue.empty())
    log.write(type=INFO, message="after the flood")
    log.flush()
    log.stop()
    text = _messages(log.file_name)
    kept = re.findall(r"\] m(\d{3})x", text)
    counts = [int(n) for n in re.findall(r"(\d+) log entries left out here", text)]
    assert counts and len(kept) + sum(counts) == total
    # The count stands where the entries would have been, before what came after.
    assert text.index("left out here") < text.index("after the flood")
    assert [int(k) for k in kept] == sorted(int(k) for k in kept)
    # Every entry still reaches memory.
    assert log.recent_entries()[-1]["message"] == "after the flood"


@pytest.mark.parametrize("under", ["file/logs", "file"])
def test_unusable_directory_means_memory_only(tmp_path, under):
    (tmp_path / "file").write_text("in the way")
    directory = str(tmp_path / under)
    log = Logger(directory=directory)
    assert not log.is_persistent() and log.file_name is None
    assert log.attempted_file.startswith(directory + os.sep)
    assert "Not a directory" in log.file_error
    log.write(type=ERROR, message="still recorded")
    assert log.get_incident(ERROR, opaque=True)["message"] == "still recorded"
    log.flush()
    log.stop()


@pytest.mark.parametrize("home", ["absolute", "", "relative/home"])
@pytest.mark.parametrize("xdg", ["absolute", "", "relative/path"])
def test_default_directory(tmp_path, monkeypatch, xdg, home):
    import pwd

    cwd = tmp_path / "cwd"
    cwd.mkdir()
    monkeypatch.chdir(cwd)
    account = tmp_path / "account"
    entry = types.SimpleNamespace(pw_dir=str(account))
    monkeypatch.setattr(pwd, "getpwuid", lambda uid: entry)
    monkeypatch.setenv("HOME", str(tmp_path / "home") if home == "absolute" else home)
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "state") if xdg == "absolute" else xdg)
    log = Logger()
    log.stop()
    if xdg == "absolute":
        base = tmp_path / "state"
    else:
        base = (tmp_path / "home" if home == "absolute" else account) / ".local" / "state"
    assert os.path.dirname(log.file_name) == str(base / "flowmesh" / "logs")
    assert list(cwd.iterdir()) == []


def test_no_absolute_home_means_memory_only(tmp_path, monkeypatch):
    import pwd

    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(pwd, "getpwuid", lambda uid: types.SimpleNamespace(pw_dir=""))
    monkeypatch.setenv("HOME", "")
    monkeypatch.delenv("XDG_STATE_HOME", raising=False)
    log = Logger()
    assert not log.is_persistent() and log.file_name is None and "HOME" in log.file_error
    assert list(tmp_path.iterdir()) == []
    log.write(type=ERROR, message="kept")
    assert log.get_incident(type=ERROR)["message"] == "kept"
    log.stop()


# --- entries and their source -------------------------------------------------------------


class _Plain:
    def run(self, fn):
        fn()


def _helper():
    raise ValueError("deep")


def _raise_empty():
    raise ValueError()


def _caught(fn):
    try:
        fn()
    except Exception as e:
        return e
    raise AssertionError("did not raise")


@pytest.fixture
def fake_element(monkeypatch):
    """An element class registered with the logger as the facade's is."""

    class FakeElement:
        def __init__(self, name):
            self.name = name

        def run(self, fn):
            fn()

    monkeypatch.setattr(flowmesh.logging, "_element_classes", flowmesh.logging._element_classes)
    flowmesh.logging.register_element_class(FakeElement)
    return FakeElement


@pytest.mark.parametrize(
    "call, instance, function, message",
    [
        (lambda el: el.run(_helper), "alpha", "_helper", "deep"),
        (lambda el: _Plain().run(lambda: el.run(_helper)), "alpha", "_helper", "deep"),
        (lambda el: el.run(lambda: _Plain().run(_helper)), "alpha", "_helper", "deep"),
        (lambda el: _Plain().run(_helper), None, "_helper", "deep"),
        (lambda el: el.run(_raise_empty), "alpha", "_raise_empty", "ValueError"),
    ],
)
def test_exception_entry_names_raising_location_and_element(
    fake_element, call, instance, function, message
):
    log = Logger("")
    log.write(type=ERROR, message=_caught(lambda: call(fake_element("alpha"))))
    entry = log.get_incident(type=ERROR)
    source = entry["source"]
    assert entry["message"] == message and entry["type"] == ERROR
    assert source["instance"] == instance
    assert source["filename"] == os.path.basename(__file__)
    assert source["directory"] == os.path.dirname(__file__)
    line = (_helper if function == "_helper" else _raise_empty).__code__.co_firstlineno + 1
    assert source["lineno"] == line
    assert source["summary"] == f"{os.path.basename(__file__)}:{line} in {function}"


@pytest.mark.parametrize(
    "module, name",
    [
        ("flowmesh.imp", "ProcessingElementImp"),
        ("flowmesh.processing_element", "ProcessingElement"),
    ],
)
def test_the_element_layers_register_their_element_class(module, name):
    import importlib

    assert getattr(importlib.import_module(module), name) in flowmesh.logging._element_classes


def test_implementation_element_is_recognised(monkeypatch):
    class FakeImp:
        name = "imp-node"

        def run(self):
            _helper()

    # As the implementation layer registers its element class when it loads.
    monkeypatch.setattr(flowmesh.logging, "_element_classes", flowmesh.logging._element_classes)
    flowmesh.logging.register_element_class(FakeImp)
    log = Logger("")
    log.write(type=WARNING, message=_caught(FakeImp().run))
    assert log.get_incident(type=WARNING)["source"]["instance"] == "imp-node"


def test_text_and_unraised_messages_point_at_the_caller():
    log = Logger("")
    log.write(type=WARNING, message=ValueError("never raised"))
    line = sys._getframe().f_lineno - 1
    source = log.get_incident(type=WARNING)["source"]
    assert (source["filename"], source["lineno"]) == (os.path.basename(__file__), line)
    assert source["summary"].endswith("in test_text_and_unraised_messages_point_at_the_caller")
    log.write(type=ERROR, message=42)
    assert log.get_incident(type=ERROR)["message"] == "42"


class _Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def _raise_unprintable():
    raise _Unprintable()


def test_unprintable_exception_still_becomes_an_incident():
    log = Logger("")
    log.write(type=ERROR, message=_caught(_raise_unprintable))
    entry = log.get_incident(ERROR, opaque=True)
    assert entry["message"] == "<unprintable _Unprintable>"
    assert entry["source"]["filename"] == os.path.basename(__file__)


def test_real_facade_element_is_named():
    from flowmesh.processing_element import ProcessingElement

    class Exploding(ProcessingElement):
        def explode(self):
            _helper()

    element = Exploding(name="real-alpha")
    log = Logger("")
    log.write(type=ERROR, message=_caught(element.explode))
    assert log.get_incident(type=ERROR)["source"]["instance"] == "real-alpha"
    # A text entry written through the element's own log names the element, located at the call.
    element.set_logger(log)
    element.log("watch out", type=WARNING)
    line = sys._getframe().f_lineno - 1
    source = log.get_incident(type=WARNING)["source"]
    assert (source["instance"], source["lineno"]) == ("real-alpha", line)


# --- standard logging -----------------------------------------------------------------------


class _Capture(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.mark.parametrize(
    "kind, level, exception",
    [
        (INFO, logging.INFO, False),
        (WARNING, logging.WARNING, False),
        (ERROR, logging.ERROR, True),
    ],
)
def test_entries_reach_the_flowmesh_logger(kind, level, exception):
    std = logging.getLogger("flowmesh")
    capture, old_level = _Capture(), std.level
    std.addHandler(capture)
    std.setLevel(logging.DEBUG)
    try:
        message = _caught(_helper) if exception else "plain text"
        Logger("").write(type=kind, message=message)
    finally:
        std.removeHandler(capture)
        std.setLevel(old_level)
    [record] = capture.records
    assert record.levelno == level and record.name == "flowmesh"
    assert record.getMessage() == ("deep" if exception else "plain text")
    assert (record.exc_info is not None) == exception
    assert record.pathname == __file__


def test_failing_logging_configuration_does_not_break_write():
    std = logging.getLogger("flowmesh")

    def broken(record):
        raise RuntimeError("bad filter")

    std.addFilter(broken)
    try:
        log = Logger("")
        log.write(type=ERROR, message="survives")
    finally:
        std.removeFilter(broken)
    assert log.get_incident(type=ERROR)["message"] == "survives"


# --- where pipeline entries point -----------------------------------------------------------


def _raise_in_numpy():
    import numpy as np

    return np.zeros(2).reshape(3)


class _LoggingDoubler(Doubler):
    def setup(self, data, context):
        self.log("setting up my way")
        return super().setup(data, context)

    def step(self, data):
        if data["in"] == 2:
            _raise_in_numpy()
        return super().step(data)


def test_entries_of_a_run_name_their_element_and_user_code():
    from flowmesh.pipeline import Pipeline
    from flowmesh.sources import Sink

    counter, doubler = Counter(name="counter", rate=200), _LoggingDoubler(name="doubler")
    with Pipeline(directory="") as pipeline:
        pipeline.connect(counter, doubler)
        pipeline.connect(doubler, Sink(name="sink"))
        pipeline.start()
        assert wait_until(lambda: pipeline.get_last_error() is not None)
        pipeline.stop()
        entries = {e["message"]: e for e in pipeline._imp._logger.recent_entries()}
    # Set up on the counter's thread, the doubler's entries are still the doubler's.
    setup = entries["Setting up node doubler."]["source"]
    assert setup["instance"] == "doubler"
    # Written by the framework on a driving thread: no location rather than threading's.
    assert setup["summary"] is None
    own = entries["setting up my way"]["source"]
    line = _LoggingDoubler.setup.__code__.co_firstlineno + 1
    assert (own["instance"], own["filename"], own["lineno"]) == ("doubler", "test_logging.py", line)
    # A failure inside numpy is located at the user's line that led to it.
    [failure] = [e for e in entries.values() if e["type"] == ERROR]
    line = _raise_in_numpy.__code__.co_firstlineno + 3
    assert (failure["source"]["instance"], failure["source"]["lineno"]) == ("doubler", line)
    assert entries["Pipeline started."]["source"]["filename"] == "test_logging.py"
    assert entries["Monitoring thread started..."]["source"]["summary"] is None


@pytest.mark.parametrize(
    "where",
    [
        "<frozen runpy>",  # python -m flowmesh
        os.path.join(sysconfig.get_path("scripts"), "flowmesh"),  # the console script
        threading.__file__,
    ],
)
def test_wrappers_around_the_package_are_no_location(where):
    from flowmesh.pipeline import Pipeline

    # The wrapper is the outermost frame of its thread, as a script is of the main one.
    space = {}
    exec(compile("def wrapper(p):\n    p.log('from the wrapper')\n", where, "exec"), space)
    with Pipeline(directory="") as pipeline:
        thread = threading.Thread(target=space["wrapper"], args=(pipeline,))
        thread.start()
        thread.join(timeout=60)
        [entry] = [
            e for e in pipeline._imp._logger.recent_entries() if e["message"] == "from the wrapper"
        ]
    assert entry["source"]["summary"] is None and entry["source"]["instance"] is None


def test_install_paths_are_those_sysconfig_names():
    from flowmesh import logging as flowmesh_logging

    keys = ("stdlib", "platstdlib", "scripts", "purelib", "platlib")
    derived = flowmesh_logging._install_paths()
    assert {k: derived[k] for k in keys} == {k: sysconfig.get_paths()[k] for k in keys}


@pytest.mark.parametrize("message", ["short", "x" * 3000, ValueError("failed")])
def test_entries_hold_no_second_copy_of_what_they_share(message):
    """Many loggers writing from one line (a thousand bare nodes setting up)
    keep one record of its location, and an entry handed out is the reader's
    own: changing it changes nothing kept."""
    loggers = [Logger(directory="") for _ in range(3)]
    for log in loggers:
        log.write(type=WARNING, message=message)
    sources = [log.recent_entries()[-1]["source"] for log in loggers]
    for key in ("summary", "filename", "directory"):
        assert sources[0][key] and all(s[key] is sources[0][key] for s in sources)
    places = [log._recent[-1] for log in loggers]
    assert all(place is places[0] for place in places)
    shown, kept = loggers[0].recent_entries()[-1], loggers[0].get_incident(WARNING)
    shown["source"]["instance"] = "changed"
    shown["message"] = "changed"
    again = loggers[0].recent_entries()[-1]
    assert again["source"]["instance"] is None is kept["source"]["instance"]
    assert again["message"] != "changed" != kept["message"]
    assert again["exception"] is None and kept["exception"] is (
        message if isinstance(message, BaseException) else None
    )
    assert len(again["message"]) <= 2000 and kept["message"] == str(message)


class _NoClass:
    """An object whose `__class__` ends the program when asked."""

    @property
    def __class__(self):
        raise SystemExit("asked for my class")

    def fail(self):
        raise ValueError("raised in a method of such an object")

    def report(self, log):
        log.write(type=WARNING, message="from a method of such an object")


def test_a_self_that_refuses_its_class_does_not_end_the_log_call():
    log = Logger("")
    obj = _NoClass()
    obj.report(log)
    assert log.get_incident(type=WARNING)["source"]["summary"].endswith("in report")
    log.write(type=WARNING, message=_caught(obj.fail))
    assert log.get_incident(type=WARNING)["source"]["summary"].endswith("in fail")


class _Hostile:
    def __eq__(self, other):
        raise RuntimeError("no comparing")

    def __hash__(self):
        raise RuntimeError("no hashing")


@pytest.mark.parametrize(
    "given, incident",
    [([1], None), (_Hostile(), None), ("ERROR", ERROR), ("not a type", None)],
    ids=["unhashable", "hostile", "a type's name", "unknown text"],
)
def test_an_entry_of_any_type_is_kept(given, incident):
    """A type no log type names is kept as given, neither hashed nor compared:
    the entry still reaches the live view, and only a real type's name makes
    an incident."""
    log = Logger("")
    log.write(type=given, message="kept")
    [entry] = log.recent_entries()
    assert entry["message"] == "kept"
    assert entry["type"] is (incident or given)
    assert (log.get_incident(type=ERROR) is not None) == (incident is ERROR)
