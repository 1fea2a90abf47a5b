"""Elements for the command-line tests, importable by module name from the
documents the tests write: each announces, through a file, the moment a test
is waiting for."""

import pathlib
import time

from flowmesh.sources import SampledSource, Sink


class SlowToBuild(Sink):
    """Touches `ready` while it is being built, then takes `seconds`."""

    def __init__(self, ready=None, seconds=0.0, **config):
        super().__init__(**config)
        if ready:
            pathlib.Path(ready).touch()
        time.sleep(seconds)


class StuckStep(SampledSource):
    """Counts on "out"; its third frame touches `ready` and sleeps `seconds`."""

    def __init__(self, ready=None, seconds=0.0, **config):
        self.ready, self.seconds = ready, seconds
        super().__init__(**config)

    def step(self, data):
        if self.get_counter() == 2:
            pathlib.Path(self.ready).touch()
            time.sleep(self.seconds)
        return {"out": self.get_counter()}


class FailsLate(SampledSource):
    """Its first step takes `seconds`, then raises."""

    def __init__(self, seconds=0.0, **config):
        self.seconds = seconds
        super().__init__(**config)

    def step(self, data):
        time.sleep(self.seconds)
        raise RuntimeError(f"gave up after {self.seconds} s")
