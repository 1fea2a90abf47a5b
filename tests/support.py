"""Helpers shared by the test modules."""

import time


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
