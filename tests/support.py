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
