"""On a free-threaded interpreter the GIL stays off: importing flowmesh and
running pipelines on several threads must not turn it back on. An extension
module that does not declare that it runs without the GIL enables it for the
whole process on import (with a RuntimeWarning naming the module), and from
then on no two steps run at once.

Each case runs in a fresh interpreter: this one imported flowmesh before the
test began, and `PYTHON_GIL` in the environment would decide the answer."""

import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"),
    reason="only a free-threaded (no GIL) build of CPython can run without the GIL",
)

PRELUDE = """
import sys, time
from flowmesh import IONode, Pipeline, SampledSource, Sink

class Count(SampledSource):
    def step(self, data):
        return {"out": self.get_counter()}

class Twice(IONode):
    def step(self, data):
        return {"out": 2 * data["in"]}

def run(decoupled, frames=200):
    sinks = [Sink(name=f"sink{k}") for k in range(2)]
    with Pipeline("") as p:
        source = Count(name="src", rate=20000, frames=frames)
        for k, sink in enumerate(sinks):
            middle = Twice(name=f"twice{k}", decoupled=decoupled)
            p.connect(source, middle)
            p.connect(middle, sink)
        p.start()
        deadline = time.monotonic() + 30
        while any(len(s.values()) < frames for s in sinks) and time.monotonic() < deadline:
            time.sleep(0.01)
        p.stop()
        p.raise_if_failed()
    got = [len(s.values()) for s in sinks]
    assert got == [frames, frames], got
"""

CASES = {
    "import": "import flowmesh; flowmesh.Pipeline",
    "push-through pipeline": "run(decoupled=False)",
    "decoupled nodes": "run(decoupled=True)",
    "ready-made nodes": "import flowmesh.nodes, flowmesh.synthetic",
    "document round trip": (
        "from flowmesh.portable import Portable\n"
        "p = Pipeline('')\n"
        "p.connect(Count(name='a', rate=10, frames=1), Twice(name='b'))\n"
        "document = p.serialize()\n"
        "p.close()\n"
        "Portable.reset()\n"
        "Pipeline.deserialize(document).close()"
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_the_gil_stays_disabled(case, tmp_path):
    if case == "ready-made nodes":
        pytest.importorskip("numpy", reason="the ready-made nodes need numpy")
    code = PRELUDE + textwrap.dedent(CASES[case]) + "\nprint('GIL', sys._is_gil_enabled())\n"
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    env["XDG_STATE_HOME"] = str(tmp_path)
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120
    )
    assert done.returncode == 0, done.stderr
    # The warning names the module that enabled it.
    assert done.stdout.split()[-2:] == ["GIL", "False"], done.stderr
