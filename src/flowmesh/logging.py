"""The pipeline's logger and its log entries.

A `Logger` keeps what the monitoring side needs in memory (the incidents, see
`Logger.get_incident`), forwards every entry to the standard `logging` module
under the logger name "flowmesh" (once anything in the process has imported
it), and optionally writes a log file on a writer thread of its own.
"""

# This module shadows the standard library's name inside the package only:
# absolute imports always resolve `logging` to the standard library.
import contextvars
import itertools
import os
import sys
import threading
import time
import weakref

from flowmesh.constants import Constants

__all__ = ["Logger", "LogEntry"]

_LogTypes = Constants.LogTypes
_INCIDENT_TYPES = (_LogTypes.ERROR, _LogTypes.WARNING)
# The standard library's levels INFO, WARNING and ERROR.
_LEVELS = {_LogTypes.INFO: 20, _LogTypes.WARNING: 30, _LogTypes.ERROR: 40}
_forward_to = None  # set once, under _module_lock; read without it
# Guards the module's lazily filled state that must be filled once: the
# forwarding logger, the element classes and the file numbers.
_module_lock = threading.Lock()


def _std_logger():
    """The standard library's "flowmesh" logger, or None while nothing in the
    process has imported `logging`: until then no handler can exist to show an
    entry, so forwarding would cost its import (and traceback's, inspect's and
    more) for nothing."""
    global _forward_to
    forward_to = _forward_to
    if forward_to is not None:
        return forward_to
    stdlog = sys.modules.get("logging")
    if stdlog is None or not hasattr(stdlog, "NullHandler"):  # absent, or half imported
        return None
    with _module_lock:
        if _forward_to is None:
            logger = stdlog.getLogger("flowmesh")
            # A library must not print through logging's last-resort handler: the
            # user's configuration (root or "flowmesh" handlers) decides what is shown.
            if not any(type(h) is stdlog.NullHandler for h in logger.handlers):
                logger.addHandler(stdlog.NullHandler())
            _forward_to = logger
        return _forward_to


_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__)) + os.sep
# The element an entry being written is about. An element's `log` sets it
# around its write: the thread writing may belong to another element (an
# upstream source sets up the nodes it feeds), so the stack cannot tell.
current_element = contextvars.ContextVar("flowmesh_current_element", default=None)
_file_numbers = itertools.count(1)  # drawn under _module_lock: two loggers, two names
_STOP = object()
# Entries kept for live views (`Logger.recent_entries`), each cut to what a
# view shows: a message of at most RECENT_MESSAGE_CHARS characters, no
# exception object (its traceback would keep every frame's locals alive).
RECENT_ENTRIES = 200
_RECENT_ITEMS = 4 * RECENT_ENTRIES
RECENT_MESSAGE_CHARS = 2000
# The most entries, and message characters, waiting for the log file's
# writer. Past either, entries are left out of the file and counted; a line in
# the file says how many went where they would have been.
FILE_BACKLOG_ENTRIES = 10_000
FILE_BACKLOG_CHARS = 16 * 1024 * 1024
# `type` is a parameter name of the public methods; keep the builtin at hand.
_type_of = type


def _home():
    """The user's home directory when it is known as an absolute path, else None.

    ``$HOME`` when absolute, else the account's entry in the password database
    (what ``~`` means without ``$HOME``): a relative or empty ``$HOME`` would
    put the logs under whatever the current directory is, or under ``/``.
    """
    home = os.environ.get("HOME", "")
    if os.path.isabs(home):
        return home
    try:
        import pwd

        home = pwd.getpwuid(os.getuid()).pw_dir
    except (ImportError, KeyError, OSError):
        return None
    return home if os.path.isabs(home) else None


def default_directory():
    """``$XDG_STATE_HOME/flowmesh/logs``, or ``<home>/.local/state/flowmesh/logs``.

    Only absolute paths from the environment count (a relative or empty
    ``XDG_STATE_HOME`` is ignored, as the XDG base directory rules ask; for
    the home see `_home`). None when there is no absolute home either.
    """
    state = os.environ.get("XDG_STATE_HOME", "")
    if os.path.isabs(state):
        return os.path.join(state, "flowmesh", "logs")
    home = _home()
    if home is None:
        return None
    return os.path.join(home, ".local", "state", "flowmesh", "logs")


class LogEntry(dict):
    """One log entry.

    Keys: "type" (a `Constants.LogTypes` value), "time" (seconds since the
    epoch), "message" (text), "exception" (the exception object or None) and
    "source", a dict with "summary" (one-line location), "filename" (base
    name), "lineno", "directory" and "instance" (name of the element in which
    the entry arose, or None). For an exception the location is where it was
    raised; for a text message it is where `write` was called from.
    """

    __slots__ = ()

    def format(self):
        """The entry as it appears in the log file (ends with a line end)."""
        import datetime

        when = datetime.datetime.fromtimestamp(self["time"]).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]
        source = self["source"]
        line = f"{when} {self['type']:<7} [{source.get('instance') or '-'}] {self['message']}"
        if source.get("summary"):
            line += f" ({source['summary']})"
        exc = self.get("exception")
        if exc is not None:
            import traceback

            line += "\n" + "".join(traceback.format_exception(exc)).rstrip("\n")
        return line + "\n"


def _text(obj):
    # A failure whose text cannot be made must still become an incident.
    try:
        return str(obj)
    except Exception:
        return f"<unprintable {_type_of(obj).__name__}>"


# The classes whose instances are elements, for naming the element whose
# code wrote an entry or raised: each layer that defines one adds it when it
# loads, so only the layers loaded count, and none is imported from here.
# A tuple replaced whole under _module_lock; read without it.
_element_classes = ()


def register_element_class(cls):
    """Count instances of `cls` as elements when an entry names its source."""
    global _element_classes
    with _module_lock:
        if cls not in _element_classes:
            _element_classes = (*_element_classes, cls)


def _element_types():
    return _element_classes


def _element_name(frame, types):
    """The name of the element that is `self` in `frame`, or None."""
    code = frame.f_code
    if (
        "self" not in code.co_varnames
        and "self" not in code.co_cellvars
        and "self" not in code.co_freevars
    ):
        return None
    # The real type, not isinstance: a `self` may answer `__class__` with
    # anything, an exception that ends the program included.
    obj = frame.f_locals.get("self")
    if not issubclass(_type_of(obj), types):
        return None
    return _name_of(obj)


def _name_of(element):
    # An element still under construction may not answer yet.
    try:
        name = element.name
        return name if _type_of(name) is str and name else _type_of(element).__name__
    except Exception:
        return None


def _install_paths():
    """What `sysconfig.get_paths()` names for the stdlib, platstdlib, scripts,
    purelib and platlib keys of this interpreter's scheme, derived from `sys`
    alone: sysconfig and its build-time data would cost a plain pipeline a
    quarter of what it may take in all, the first time anything is logged."""
    if os.name != "posix":
        import sysconfig

        return sysconfig.get_paths()
    version = f"python{sys.version_info[0]}.{sys.version_info[1]}"
    version += "t" if "t" in sys.abiflags else ""
    libdir = sys.platlibdir
    return {
        "stdlib": os.path.join(sys.base_prefix, libdir, version),
        "platstdlib": os.path.join(sys.exec_prefix, libdir, version),
        "scripts": os.path.join(sys.prefix, "bin"),
        "purelib": os.path.join(sys.prefix, "lib", version, "site-packages"),
        "platlib": os.path.join(sys.exec_prefix, libdir, version, "site-packages"),
    }


def _library_dirs():
    paths = _install_paths()
    ours = {_PACKAGE_DIR}
    # The standard library, and the directory of console scripts, whose
    # wrapper (`flowmesh` calling commands.main) is no one's code either.
    for key in ("stdlib", "platstdlib", "scripts"):
        if paths.get(key):
            ours.add(os.path.realpath(paths[key]) + os.sep)
    # Installed packages live under the standard library's tree in some
    # layouts; they are the user's code as far as a location goes.
    theirs = {os.path.realpath(paths[k]) + os.sep for k in ("purelib", "platlib") if paths.get(k)}
    return tuple(ours), tuple(theirs)


# (library dirs, site dirs), on first need: sysconfig is no light import. Two
# threads may both compute it; each result is the same and replaces it whole.
_dirs = None
# filename -> whether it is the user's: threads racing write the same answer.
_user_files = {}


def _is_user_file(filename):
    """False for the package's, the standard library's and frozen modules' frames."""
    global _dirs
    known = _user_files.get(filename)
    if known is not None:
        return known
    if filename.startswith("<") or filename.startswith(_PACKAGE_DIR):
        user = False
    else:
        try:
            real = os.path.realpath(filename)
        except (OSError, ValueError):
            real = filename
        if _dirs is None:
            _dirs = _library_dirs()
        user = real.startswith(_dirs[1]) or not real.startswith(_dirs[0])
    if len(_user_files) < 4096:  # the set of code files is small; stay bounded anyway
        _user_files[filename] = user
    return user


def _about():
    """The name of the element whose `log` is writing, or None."""
    element = current_element.get()
    return None if element is None else _name_of(element)


# The texts of a location, shared by every entry written from it: a thousand
# nodes logging their setup from one line hold one copy, not a thousand.
# Racing threads store equal values; bounded as `_user_files` is.
_place_texts = {}  # code filename -> (base name, directory)
_summaries = {}  # (code filename, line, function) -> summary
# A location as kept in memory: (summary, filename, lineno, directory,
# instance), one tuple for every entry of the same place and element.
_places = {}
_SOURCE_KEYS = ("summary", "filename", "lineno", "directory", "instance")


def _place(summary, filename, lineno, directory, instance):
    place = (summary, filename, lineno, directory, instance)
    shared = _places.get(place)
    if shared is not None:
        return shared
    if len(_places) < 4096:
        _places[place] = place
    return place


def _location(code_filename, lineno, function, instance):
    texts = _place_texts.get(code_filename)
    if texts is None:
        texts = (os.path.basename(code_filename), os.path.dirname(code_filename))
        if len(_place_texts) < 4096:
            _place_texts[code_filename] = texts
    key = (code_filename, lineno, function)
    summary = _summaries.get(key)
    if summary is None:
        summary = f"{texts[0]}:{lineno} in {function}"
        if len(_summaries) < 4096:
            _summaries[key] = summary
    return _place(summary, texts[0], lineno, texts[1], instance)


def _no_location(instance):
    return _place(None, None, None, None, instance)


def _entry(type, when, text, place, exc):
    """An entry as handed out: each gets a source dict of its own to keep."""
    source = dict(zip(_SOURCE_KEYS, place))
    return LogEntry(type=type, time=when, message=text, source=source, exception=exc)


def _exception_source(exc, about):
    """(where `exc` was raised in user code or None, the element it arose in).

    The innermost user frame wins: a failure inside numpy or the package is
    shown at the handler's line that led to it; the traceback has the rest.
    The element is the innermost one the traceback passes through (a failure
    that escapes a downstream handler is recorded upstream, but it is about
    the downstream node), else the element whose `log` is writing.
    """
    tb = exc.__traceback__
    chain = []
    while tb is not None:
        chain.append(tb)
        tb = tb.tb_next
    instance = None
    types = _element_types()
    if types:
        for tb in reversed(chain):
            instance = _element_name(tb.tb_frame, types)
            if instance is not None:
                break
    if instance is None:
        instance = about
    for tb in reversed(chain):
        code = tb.tb_frame.f_code
        if _is_user_file(code.co_filename):
            return _location(code.co_filename, tb.tb_lineno, code.co_name, instance), instance
    return None, instance


def _caller_source(frame, about):
    # The location is the innermost user frame of the calling stack: the
    # package's forwarders (an element's or the pipeline's `log`), the thread
    # machinery and a console script's wrapper are skipped, and an entry the
    # framework writes on its own threads has no location. Without `about`,
    # the element a forwarder belongs to names the instance.
    instance = about
    types = None
    while frame is not None:
        filename = frame.f_code.co_filename
        if _is_user_file(filename):
            return _location(filename, frame.f_lineno, frame.f_code.co_name, instance)
        if instance is None and filename.startswith(_PACKAGE_DIR):
            if types is None:
                types = _element_types()
            if types:
                instance = _element_name(frame, types)
        frame = frame.f_back
    return _no_location(instance)


class _Backlog:
    """What waits for the file: shared by the writers of entries and the writer thread."""

    __slots__ = ("lock", "entries", "chars", "dropped")

    def __init__(self):
        self.lock = threading.Lock()
        self.entries = 0
        self.chars = 0
        self.dropped = 0

    def admit(self, size):
        """Count an entry of `size` characters in, or as dropped when there is no room."""
        with self.lock:
            if self.entries and (
                self.entries >= FILE_BACKLOG_ENTRIES or self.chars + size > FILE_BACKLOG_CHARS
            ):
                self.dropped += 1
                return False, 0
            self.entries += 1
            self.chars += size
            dropped, self.dropped = self.dropped, 0
            return True, dropped

    def take_dropped(self):
        with self.lock:
            dropped, self.dropped = self.dropped, 0
            return dropped

    def written(self, size):
        with self.lock:
            self.entries -= 1
            self.chars -= size


def _dropped_entry(count):
    return _entry(
        _LogTypes.WARNING,
        time.time(),
        f"{count} log entries left out here: they came faster than the file took them.",
        _no_location(None),
        None,
    )


def _writer(inbox, stream, owner, backlog):
    """Body of the writer thread: owns `stream` until it sees the stop mark.

    `owner` is a weak reference to the logger, told once when writing fails;
    from then on entries still queued are discarded and flush marks answered.
    """
    from _queue import Empty

    broken = False

    def fail(e):
        nonlocal broken
        broken = True
        logger = owner()
        if logger is not None:
            logger._give_up(f"writing it failed: {e.strerror or e}")
        try:
            stream.close()
        except Exception:
            pass

    def attempt(operation, *args):
        if broken:
            return
        try:
            operation(*args)
        except OSError as e:
            fail(e)
        except Exception:
            pass

    try:
        while True:
            item = inbox.get()
            while True:
                if item is _STOP:
                    return
                if isinstance(item, threading.Event):
                    attempt(stream.flush)
                    item.set()
                else:
                    entry, size = item
                    if not broken:
                        try:
                            text = entry.format()
                        except Exception:
                            text = None  # a message that cannot be formatted is skipped
                        if text is not None:
                            attempt(stream.write, text)
                    del entry, item  # an exception's frames are not kept while waiting
                    if size is not None:  # a count of left-out entries takes no room
                        backlog.written(size)
                try:
                    item = inbox.get_nowait()
                except Empty:
                    break
            attempt(stream.flush)
    finally:
        try:
            stream.close()
        except Exception:
            pass


class Logger:
    """The pipeline's logger.

    ``Logger(directory=None)`` writes a file in the default directory,
    ``$XDG_STATE_HOME/flowmesh/logs`` (``~/.local/state/flowmesh/logs`` when
    that variable is unset or relative, `~` being ``$HOME`` when absolute, else
    the account's home; with no absolute home, memory only); ``Logger(path)``
    writes one in `path`, created when missing; ``Logger("")`` keeps entries in
    memory only and costs no thread and no file. Each logger writes its own
    file, ``flowmesh-YYYYmmdd-HHMMSS-<pid>-<n>.log``, one line per entry (time,
    type, instance, message and location; exceptions add their traceback).

    The file is made by `start` (called as the pipeline starts) or the first
    `flush`, with every entry written before it: a pipeline that never runs,
    such as a document loaded only to be checked or drawn, leaves no file.
    Until then `file_name` is the path the file will have.

    A directory that cannot be used never fails construction: the logger then
    works in memory only, `attempted_file` holds the path it tried and
    `file_error` the reason. `file_name` is the file being written (None when
    there is none). When making or writing the file fails later (a full disk),
    the logger says so once, on the console and as a WARNING entry, and goes
    on in memory only: `file_name` turns None, `file_error` tells why and
    `is_persistent()` False.

    Every entry also goes to the standard `logging` logger "flowmesh" (INFO,
    WARNING and ERROR levels; exceptions with their traceback).
    """

    # What a logger without a file keeps at these values is read from the
    # class: one per bare element, each instance attribute costs it memory.
    file_name = None
    attempted_file = None
    file_error = None
    _queue = None
    _backlog = None
    _thread = None
    _finalizer = None
    _started = False
    _stopped = False
    # Per type: the latest incident, and the first recorded since the last
    # opaque take. Made with the first incident: most loggers never see one.
    _latest = None
    _pending = None

    def __init__(self, directory=None):
        self._lock = threading.Lock()
        # Four items per entry (see `_write`), in a list trimmed in halves
        # rather than a bounded deque: a deque's first block alone costs half
        # a KiB, and most loggers (one per bare element) keep a handful.
        self._recent = []
        if directory is None:
            directory = default_directory()
            if directory is None:
                self.file_error = "no absolute home directory (HOME) or XDG_STATE_HOME to log under"
                return
        directory = os.fsdecode(directory)
        if directory:
            self._prepare(directory)

    def _prepare(self, directory):
        import datetime

        now = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
        with _module_lock:
            number = next(_file_numbers)
        name = f"flowmesh-{now}-{os.getpid()}-{number}.log"
        try:
            path = os.path.join(os.path.abspath(directory), name)
        except (OSError, ValueError) as e:  # e.g. the working directory is gone
            self.file_error = f"cannot use directory {directory!r}: {e}"
            return
        self.attempted_file = path
        try:
            os.makedirs(directory, exist_ok=True)
        except OSError as e:
            # makedirs reports a file in the way as "File exists".
            reason = "Not a directory" if isinstance(e, FileExistsError) else (e.strerror or str(e))
            self.file_error = f"cannot create directory {directory}: {reason}"
            return
        except ValueError as e:
            # A path the file system cannot name: an embedded NUL, or a lone
            # surrogate that the file system encoding cannot encode.
            self.file_error = f"cannot create directory {directory!r}: {e}"
            return
        # The file itself is made on start; what can be known now is told now.
        if not os.access(directory, os.W_OK | os.X_OK):
            self.file_error = f"cannot write in directory {directory}: Permission denied"
            return
        # The C queue alone, and only for a file: the `queue` module around it
        # costs a plain pipeline 0.4 MiB, and a memory-only logger needs neither.
        from _queue import SimpleQueue

        self.file_name = path
        self._queue = SimpleQueue()
        self._backlog = _Backlog()

    def start(self):
        """Make the log file and start writing it, the entries so far first.

        Harmless when there is no file to make, or it is made already.
        """
        failure = None
        with self._lock:
            if self._started or self._stopped or self.file_name is None:
                return
            self._started = True
            path = self.file_name
            try:
                stream = open(path, "x", encoding="utf-8", errors="backslashreplace")
            except OSError as e:
                failure = f"cannot create it: {e.strerror or e}"
            except ValueError as e:
                failure = f"cannot create it: {e}"
            else:
                self._thread = threading.Thread(
                    target=_writer,
                    args=(self._queue, stream, weakref.ref(self), self._backlog),
                    name="flowmesh-log-writer",
                    daemon=True,
                )
                self._thread.start()
                # A logger dropped without stop() still lets its thread finish.
                self._finalizer = weakref.finalize(self, self._queue.put, _STOP)
        if failure is not None:
            self._give_up(failure)

    def _give_up(self, reason):
        """Go on in memory only, saying so once: the file cannot be made or written."""
        with self._lock:
            path = self.file_name
            if path is None:
                return
            self.file_name = None
            self.attempted_file = path
            self.file_error = (
                f"{reason}; later entries went to memory only (the monitor page and "
                "the standard logger 'flowmesh')"
            )
        try:
            print(f"*** flowmesh: log file {path}: {self.file_error}. ***", flush=True)
        except Exception:
            pass
        self.write(type=_LogTypes.WARNING, message=f"Log file {path}: {self.file_error}.")

    def is_persistent(self):
        """True while a log file is being written (or is to be, once started)."""
        return self.file_name is not None and not self._stopped

    def write(self, type=None, message=None):
        """Log `message` (text or an exception object) as `type` (INFO when None).

        ERROR and WARNING entries become incidents at once. Never raises.
        """
        try:
            self._write(type, message)
        except Exception:
            pass

    def _write(self, type, message):
        if type is None:
            type = _LogTypes.INFO
        else:
            try:
                type = _LogTypes(type)
            except Exception:  # not a type's name, or an object that cannot be looked up
                pass
        exc = message if isinstance(message, BaseException) else None
        about = _about()
        source = None
        if exc is not None:
            text = _text(exc) or _type_of(exc).__name__
            try:
                source, about = _exception_source(exc, about)
            except Exception:
                pass
        else:
            text = message if isinstance(message, str) else _text(message)
        if source is None:
            try:
                caller = sys._getframe(2)
            except ValueError:
                caller = None
            source = _caller_source(caller, about)
        when = time.time()
        shown = text
        if len(text) > RECENT_MESSAGE_CHARS:
            shown = text[: RECENT_MESSAGE_CHARS - 1] + "…"
        # A type no log type names is kept as given, at INFO's level; it is
        # neither hashed nor compared, so whatever it is the entry is kept.
        known = _type_of(type) is _LogTypes
        incident = known and type in _INCIDENT_TYPES
        inbox = self._queue
        to_file = inbox is not None and self.file_name is not None and not self._stopped
        level = _LEVELS[type] if known else 20
        forward_to = _std_logger()
        if forward_to is not None and not forward_to.isEnabledFor(level):
            forward_to = None
        entry = None
        if incident or to_file or forward_to is not None:
            entry = _entry(type, when, text, source, exc)
        # What a live view shows is kept as four items of `_recent`, and the
        # dicts are made when it asks: a bare element's two entries would
        # otherwise cost more than the rest of its logger.
        with self._lock:
            recent = self._recent
            recent += (type, when, shown, source)
            if len(recent) >= 2 * _RECENT_ITEMS:
                del recent[:-_RECENT_ITEMS]
            if incident:
                if self._latest is None:
                    self._latest, self._pending = {}, {}
                self._latest[type] = entry
                if self._pending.get(type) is None:
                    self._pending[type] = entry

        if to_file:
            # The writer may lag behind (a slow disk, a step logging in a
            # loop): its backlog is bounded, and what does not fit is counted
            # rather than waited for.
            size = len(text) + 1
            admitted, dropped = self._backlog.admit(size)
            if admitted:
                if dropped:
                    inbox.put((_dropped_entry(dropped), None))
                inbox.put((entry, size))

        if forward_to is not None:
            forward_to.log(
                level, "%s", text, exc_info=exc, stacklevel=3, extra={"flowmesh_entry": entry}
            )

    def get_incident(self, type=None, opaque=False):
        """The latest ERROR or WARNING incident of `type`, or None.

        With ``opaque=True``: the earliest incident of `type` recorded since the
        previous opaque call, or None. Every incident recorded up to this call
        counts as taken, so the first failure (the cause) is handed out rather
        than its later consequences, and a later opaque call returns nothing
        from before this one. Each incident is handed out at most once, whatever
        the number of threads asking; the plain form keeps answering.
        """
        with self._lock:
            if self._latest is None:
                return None
            if not opaque:
                return self._latest.get(type)
            return self._pending.pop(type, None)

    def recent_entries(self, limit=RECENT_ENTRIES):
        """The latest entries (up to `limit`, at most `RECENT_ENTRIES`), oldest
        first, as shown live: messages cut to `RECENT_MESSAGE_CHARS`,
        "exception" None."""
        items = 4 * max(0, min(limit, RECENT_ENTRIES))
        with self._lock:
            items = self._recent[-items:] if items else []
        return [_entry(*items[i : i + 4], None) for i in range(0, len(items), 4)]

    def flush(self):
        """Block until every entry written before this call is in the file.

        Makes the file first when `start` has not.
        """
        self.start()
        thread = self._thread
        if thread is None or self._stopped or thread is threading.current_thread():
            return
        self._report_dropped()
        done = threading.Event()
        self._queue.put(done)
        while not done.wait(0.1):
            if not thread.is_alive():
                return

    def _report_dropped(self):
        dropped = self._backlog.take_dropped()
        if dropped:
            self._queue.put((_dropped_entry(dropped), None))

    def stop(self):
        """Flush, end the writer thread and close the file. Safe to call again."""
        with self._lock:
            if self._stopped:
                return
            self._stopped = True
            if self._thread is None:
                self._queue = None  # never started: what waited for the file goes
        if self._thread is not None:
            self._report_dropped()
        if self._finalizer is not None:
            self._finalizer()  # queues the stop mark after everything written so far
        thread = self._thread
        if thread is not None and thread is not threading.current_thread():
            thread.join(timeout=30)

    def __repr__(self):
        where = self.file_name or "memory"
        return f"<{_type_of(self).__name__} {where}>"
