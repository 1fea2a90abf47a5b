"""What the subcommands of `flowmesh` share: one-line errors, exit codes,
stopping on signals, best-effort output, the live status, loading documents,
the live page's options.

Every mistake a user can make on the command line (a missing file, broken
JSON, a bad reference in a document, an unknown option) ends the command with
one line on standard error and a non-zero exit code, never a traceback:
1 for a failed command, 2 for a usage error, 128 + the signal's number after
a signal (129 SIGHUP, 130 Ctrl-C, 143 SIGTERM).

Standard output is best-effort: a reader that goes away (`| head`, a closed
terminal, `>&-`) silences it, and the run goes on to its end.
"""

import argparse
import contextlib
import math
import os
import signal
import sys
import threading
import time

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_SIGINT = 128 + signal.SIGINT
EXIT_SIGTERM = 128 + signal.SIGTERM


class CommandError(Exception):
    """A failure reported as one line, with the exit code to leave with."""

    def __init__(self, message, code=EXIT_FAILED):
        super().__init__(message)
        self.code = code


def one_line(text):
    """`text` folded onto one line."""
    return " ".join(str(text).split())


def describe_error(error):
    """The error's message as a user reads it (a KeyError's repr is not)."""
    if isinstance(error, KeyError) and len(error.args) == 1:
        return f"missing key {error.args[0]!r}"
    if isinstance(error, OSError) and error.strerror:
        where = f"{error.filename}: " if error.filename is not None else ""
        return f"{where}{error.strerror}"
    text = one_line(error)
    return text or type(error).__name__


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise CommandError(f"{self.prog}: {message} (see {self.prog} --help)", EXIT_USAGE)


# ============================================================ stopping on signals


class StopSignals:
    """While active, SIGINT, SIGTERM and SIGHUP set `event` instead of killing
    the process; `code` is then the exit code the signal asks for. A second
    signal ends the process at once: whoever sends it will not wait for a
    stop that hangs."""

    SIGNALS = tuple(
        getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)
    )

    def __init__(self):
        from ..imp.vertex import StopFlag

        # The handler runs on the main thread between any two lines, also
        # those of a wait for this event: a threading.Event, whose set takes
        # the lock that such a wait holds around its checks, would deadlock
        # it there for good. A StopFlag's wait holds its lock only while no
        # Python code (so no handler) runs.
        self.event = StopFlag()
        self.code = None
        self._previous = {}

    @property
    def name(self):
        """The name of the signal that asked to stop, or None."""
        return None if self.code is None else signal.Signals(self.code - 128).name

    def _handle(self, signum, frame):
        if self.code is not None:
            self._cut_short(signum)
        self.code = 128 + signum
        self.event.set()

    @staticmethod
    def _cut_short(signum):
        with contextlib.suppress(Exception):
            sys.stdout.flush()
        with contextlib.suppress(Exception):
            print(
                f"flowmesh: stop cut short by a second {signal.Signals(signum).name}; "
                "the log and the files being written may be incomplete",
                file=sys.stderr,
                flush=True,
            )
        os._exit(128 + signum)

    def __enter__(self):
        # Handlers can only be set on the main thread; elsewhere the default
        # handling stays.
        if threading.current_thread() is threading.main_thread():
            for signum in self.SIGNALS:
                self._previous[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *exc):
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)
        self._previous.clear()
        return False

    def stop(self, pipeline):
        """`pipeline.stop()` as `wait_for` calls it, returning only once the
        pipeline has stopped: while its monitoring thread stops a failed
        run, a stop from here returns at once, and the command must not end
        (and the interpreter with it) before every element, a recorder and
        its file among them, is done."""
        from ..constants import Constants

        self.wait_for(pipeline.stop)
        if pipeline.get_state() != Constants.States.STOPPED:
            while pipeline.get_state() != Constants.States.STOPPED:
                time.sleep(0.02)
            self.wait_for(pipeline.stop)  # waits for the monitoring thread's report

    def wait_for(self, action):
        """Call `action` (a pipeline's stop or close) on a helper thread and
        wait for it here: a call blocked in the core would hold off the
        handlers, and so a second signal, until it returns."""
        raised = []

        def call():
            try:
                action()
            except BaseException as e:
                raised.append(e)

        helper = threading.Thread(target=call, name="flowmesh stopping", daemon=True)
        helper.start()
        helper.join()
        if raised:
            raise raised[0]


# ============================================================ best-effort output


class BestEffortOutput:
    """A standard stream that never fails the command: once its reader is
    gone (a closed pipe or terminal) whatever follows is dropped."""

    def __init__(self, stream):
        self._stream = stream
        self.lost = stream is None

    def _lose(self):
        self.lost = True
        # What the stream still buffers, and whoever writes to the descriptor
        # itself, then goes nowhere instead of failing again at exit.
        with contextlib.suppress(Exception):
            _fill_descriptor(self._stream.fileno(), force=True)

    def write(self, text):
        if not self.lost:
            try:
                return self._stream.write(text)
            except (OSError, ValueError):
                self._lose()
        return len(text)

    def flush(self):
        if not self.lost:
            try:
                self._stream.flush()
            except (OSError, ValueError):
                self._lose()

    def isatty(self):
        try:
            return not self.lost and self._stream.isatty()
        except (OSError, ValueError):
            return False

    def __getattr__(self, name):
        return getattr(self._stream, name)


def _fill_descriptor(fd, force=False):
    """Point `fd` at the null device when it is closed (or always, `force`):
    a closed standard descriptor would otherwise be taken by the next file
    opened, and output meant for the terminal would land in it."""
    if not force:
        try:
            os.fstat(fd)
            return
        except OSError:
            pass
    null = os.open(os.devnull, os.O_WRONLY)
    if null != fd:
        os.dup2(null, fd)
        os.close(null)


@contextlib.contextmanager
def best_effort_output():
    """Standard output and error as `BestEffortOutput` for the command."""
    for fd in (1, 2):
        with contextlib.suppress(OSError):
            _fill_descriptor(fd)
    previous = sys.stdout, sys.stderr
    # A closed stderr is None, and print(file=None) would write to stdout.
    sys.stdout, sys.stderr = map(BestEffortOutput, previous)
    try:
        yield
    finally:
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(Exception):
                stream.flush()
        sys.stdout, sys.stderr = previous


# ============================================================ live status


class Status:
    """A one-line status, redrawn in place on a terminal and printed as plain
    lines (at most one a second) otherwise."""

    def __init__(self, pipeline, counters, extra=None, stream=None):
        self.pipeline = pipeline
        self.counters = counters  # callables giving cycle counts to sum
        self.extra = extra  # callable giving more text, or None
        self.stream = stream or sys.stdout
        self.tty = self.stream.isatty()
        self._last = (time.monotonic(), self._count())
        self._rate = 0.0
        self._printed = 0.0
        self._drawn = False

    def _count(self):
        total = 0
        for counter in self.counters:
            try:
                total += counter()
            except Exception:
                pass
        return total

    def line(self):
        now, count = time.monotonic(), self._count()
        then, before = self._last
        if now - then >= 1.0 or (not self._rate and now - then >= 0.25):
            self._rate = (count - before) / (now - then)
            self._last = (now, count)
        p = self.pipeline
        parts = [f"{p.get_elapsed_time():6.1f} s", f"{self._rate:6.1f} frames/s"]
        if self.extra is not None:
            parts.append(self.extra())
        parts += [f"backlog {p.get_backlog()}", str(p.get_condition())]
        return " | ".join(parts)

    def update(self):
        text = self.line()
        if self.tty:
            self.stream.write("\r\x1b[2K" + text)
            self._drawn = True
        elif time.monotonic() - self._printed >= 1.0:
            self.stream.write(text + "\n")
            self._printed = time.monotonic()
        self.stream.flush()

    def finish(self):
        """End the redrawn line so that what follows starts on a fresh one."""
        if self._drawn:
            self.stream.write("\n")
            self.stream.flush()
            self._drawn = False


def watch(pipeline, status, duration, stop_event, interval=0.25):
    """Show `status` until `duration` seconds have passed (None: no limit),
    `stop_event` is set, or the pipeline stops by itself (a failure)."""
    from ..constants import Constants

    deadline = None if duration is None else time.monotonic() + duration
    try:
        while pipeline.get_state() == Constants.States.RUNNING:
            status.update()
            wait = interval
            if deadline is not None:
                wait = min(wait, deadline - time.monotonic())
                if wait <= 0:
                    break
            if stop_event.wait(wait):
                break
    finally:
        status.finish()


def source_counters(pipeline):
    """Cycle counters of the pipeline's sampled sources (of every element
    when it has none)."""
    from ..sources import SampledSource

    elements = list(pipeline.get_elements())
    sources = [e for e in elements if isinstance(e, SampledSource)] or elements
    return [e.get_counter for e in sources]


# ============================================================ documents


def load_document(path, allow=None):
    """Load a saved pipeline, turning every way a document can be wrong into
    a one-line `CommandError` that names the file."""
    from ..pipeline import Pipeline
    from ..portable import Portable

    if not os.path.exists(path):
        raise CommandError(f"{path}: no such file")
    if os.path.isdir(path):
        raise CommandError(f"{path}: is a directory, not a document")
    # A document keeps its ids; nothing of an earlier load may hold them.
    Portable.reset()
    try:
        return Pipeline.load(path, allowed_modules=allow)
    except Exception as e:  # whatever an element's constructor raises is the document's
        text = describe_error(e)
        if path not in text:
            text = f"{path}: {text}"
        raise CommandError(text) from e


# ============================================================ the live page


def monitor_factory(args):
    """A function giving, for a pipeline, a context in which `--monitor`
    serves its live page (a context doing nothing without `--monitor`).

    The token is made once per command, so that a page left open follows
    every pipeline the command runs.
    """
    if args.monitor is None:
        if args.allow_control:
            raise CommandError("--allow-control needs --monitor", EXIT_USAGE)
        return lambda pipeline: contextlib.nullcontext()
    import secrets

    from .. import monitor

    host, port = args.monitor
    token = None
    if args.allow_control or not monitor.server.is_loopback(host):
        token = secrets.token_urlsafe(24)

    @contextlib.contextmanager
    def monitored(pipeline):
        try:
            mon = monitor.serve(pipeline, port, host, token, args.allow_control, announce=False)
        except OSError as e:
            raise CommandError(
                f"monitor: cannot listen on {host}:{port}: {describe_error(e)}"
            ) from e
        print(f"Monitor: {mon.url}", flush=True)
        try:
            yield mon
        finally:
            mon.close()

    return monitored


def monitor_options(p):
    p.add_argument(
        "--monitor",
        metavar="[HOST:]PORT",
        nargs="?",
        const="8765",
        type=_monitor_address,
        help="serve a live page of the run at http://HOST:PORT/ (HOST defaults to 127.0.0.1, "
        "PORT to 8765); any HOST other than loopback requires the access token printed "
        "with the page's address",
    )
    p.add_argument(
        "--allow-control",
        action="store_true",
        help="give the live page start and stop buttons (requests must carry the token)",
    )


def _monitor_address(text):
    from .. import monitor

    try:
        return monitor.parse_address(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


# ============================================================ a run's outcome


def leaves(pipeline):
    """Every element of `pipeline` and, after a chain, its internal nodes."""
    for element in pipeline.get_elements():
        yield element
        get_nodes = getattr(element, "get_nodes", None)
        if get_nodes is None:
            continue
        try:
            nodes = list(get_nodes())
        except Exception:  # a chain that cannot list its nodes still counts itself
            continue
        yield from nodes


def error_text(error):
    try:
        return describe_error(error)
    except Exception:  # an exception whose __str__ raises still has a type
        return type(error).__name__


def run_failure(pipeline):
    """The one-line reason why the stopped `pipeline`'s run failed, or None.

    The monitoring thread may not have seen a failure that came just before
    the stop: the elements' own records are asked too."""
    from ..constants import Constants

    if pipeline.get_condition() == Constants.Conditions.ERROR:
        try:
            pipeline.raise_if_failed()
        except RuntimeError as e:
            return error_text(e)
        return "the pipeline failed"
    for element in leaves(pipeline):
        try:
            failure = element.failure()
        except Exception:
            continue
        if failure is not None:
            return f"The pipeline failed: {error_text(failure)} in node '{element.name}'"
    return None


def write_text(path, text):
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    except OSError as e:
        raise CommandError(describe_error(e)) from e


def overwrite_error(error):
    """A writer's refusal to replace a file, in the command line's words."""
    return CommandError(str(error).replace("overwrite=True", "--overwrite"))


# ============================================================ options


def document_argument(p):
    p.add_argument("file", metavar="FILE", help="the saved pipeline (JSON)")


def recording_argument(p):
    p.add_argument("file", metavar="FILE.xdf", help="the recording")


def overwrite_option(p, what):
    p.add_argument("--overwrite", action="store_true", help=f"replace {what} if it exists")


def allow_option(p):
    p.add_argument(
        "--allow",
        metavar="MODULE_PREFIX",
        action="append",
        type=module_prefix,
        help="import only modules under this prefix while loading (repeatable); "
        "by default a document may name any module, so load only documents you trust",
    )


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if math.isnan(value):
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}")
    if math.isinf(value):
        raise argparse.ArgumentTypeError(f"not a finite number of seconds: {text!r}")
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds: {text!r}")
    if value > threading.TIMEOUT_MAX:
        raise argparse.ArgumentTypeError(
            f"too large: {text!r} (at most {threading.TIMEOUT_MAX:.0f} seconds)"
        )
    return value


def module_prefix(text):
    from ..documents import module_prefixes

    try:
        return module_prefixes([text])[0]
    except (TypeError, ValueError):
        raise argparse.ArgumentTypeError(
            f"not a dotted module name (such as flowmesh or mylab.nodes): {text!r}"
        ) from None
