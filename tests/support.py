"""Helpers shared by the test modules."""

import time

from flowmesh.io_node import IONode
from flowmesh.sources import SampledSource


def wait_until(predicate, timeout=30.0):
    """Poll `predicate` until it holds; False when `timeout` seconds pass first."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.002)
    return True


class RecordingLogger:
    """A logger double keeping (type, message) pairs; keyword calls only, as
    the real logger is called."""

    def __init__(self):
        self.entries = []

    def write(self, *, type, message):
        self.entries.append((type, message))

    def of(self, log_type):
        return [m for t, m in self.entries if t == log_type]


def run_isolated(argv, timeout=180, env=None):
    """Run `argv` in a private network namespace holding only an up loopback
    interface, so that nothing it serves or sends can leave the machine.

    Returns the CompletedProcess; skips the calling test where namespaces
    cannot be made (no privileges or no `unshare`).
    """
    import os
    import shutil
    import subprocess

    import pytest

    unshare, ip = shutil.which("unshare"), shutil.which("ip") or "/usr/sbin/ip"
    if unshare is None or subprocess.run([unshare, "--net", "true"], check=False).returncode:
        pytest.skip("cannot make a private network namespace here")
    script = f'{ip} link set lo up && exec "$@"'
    return subprocess.run(
        [unshare, "--net", "sh", "-c", script, "sh", *argv],
        capture_output=True,
        text=True,
        timeout=timeout,
        env={**os.environ, **(env or {})},
        check=False,
    )


def run_on_small_disk(mount, size, argv, **run_args):
    """Run `argv` in a private mount namespace in which the directory `mount`
    (made here if missing) is a tmpfs of `size` (such as "64k"), so that
    what it writes there fills the disk. Returns the CompletedProcess (text
    output captured); skips the calling test where such a namespace cannot
    be made."""
    import shutil
    import subprocess

    import pytest

    if shutil.which("unshare") is None:
        pytest.skip("no unshare program")
    mount.mkdir(exist_ok=True)
    command = f'mount -t tmpfs -o size={size} tmpfs "{mount}" || exit 77; exec "$0" "$@"'
    done = subprocess.run(
        ["unshare", "-m", "sh", "-c", command, *map(str, argv)],
        capture_output=True,
        text=True,
        **run_args,
    )
    if done.returncode == 77 or "unshare:" in done.stderr:
        pytest.skip(f"no private mount namespace here: {done.stderr.strip()}")
    return done


def null_device_node(path):
    """Make at `path` a character device node of the null device, or skip the
    calling test without the privilege: a test of refusing devices must never
    be able to replace the system's own /dev/null."""
    import os
    import stat

    import pytest

    try:
        os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("creating a device node needs privileges")


class Counter(SampledSource):
    """A sampled source emitting 1, 2, 3, ... from each run's start."""

    def setup(self, data, context):
        self.k = 0
        return super().setup(data, context)

    def step(self, data):
        self.k += 1
        return {"out": self.k}


class Doubler(IONode):
    """Doubles its input; raises at the value `fail_at`."""

    fail_at = None

    def step(self, data):
        if data["in"] == self.fail_at:
            raise ZeroDivisionError(f"cannot take {data['in']}")
        return {"out": 2 * data["in"]}


def end_or_report_hang(process, timeout):
    """`process.communicate(timeout=timeout)`; when it has not ended by then,
    fail the calling test with its threads' stacks: the C stacks from gdb
    (when there is one) and the Python stacks that faulthandler writes on
    SIGABRT (the child needs PYTHONFAULTHANDLER=1 in its environment).

    A hang that shows up once in thousands of runs can then be told from
    the test's report alone. Keep `timeout` below pytest's own, which would
    end the test without any of this."""
    import os
    import shutil
    import signal
    import subprocess

    import pytest

    try:
        return process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        pass
    native = "(no gdb here)"
    if shutil.which("gdb"):
        command = ["gdb", "-p", str(process.pid), "-batch", "-ex", "thread apply all bt"]
        try:
            # Not under a sanitizer's runtime preloaded for the tests: gdb
            # then never answers.
            env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
            done = subprocess.run(command, capture_output=True, text=True, timeout=60, env=env)
            native = done.stdout + done.stderr
        except subprocess.TimeoutExpired:
            native = "(gdb did not answer within 60 s)"
    process.send_signal(signal.SIGABRT)
    try:
        out, err = process.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
    pytest.fail(
        f"process {process.pid} ({' '.join(map(str, process.args))}) still running after "
        f"{timeout} s\n--- its standard output:\n{out}\n--- its standard error, with the "
        f"Python stacks at SIGABRT:\n{err}\n--- gdb's stacks:\n{native}",
        pytrace=False,
    )
