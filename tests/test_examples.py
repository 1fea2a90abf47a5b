"""Every example runs as it stands (with a short duration) and prints what
it is there to show."""

import os
import pathlib
import subprocess
import sys

import pytest

import flowmesh

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
# Where the package under test was imported from (src/, or a sanitizer build).
SRC = pathlib.Path(flowmesh.__file__).resolve().parent.parent

# example -> (duration argument, texts its output must hold). Long enough for a
# few frames on a machine busy enough to hold a thread off for a second.
CASES = {
    "minimal.py": ("2", ["values, the first ones: [0, 2, 4, 6, 8]"]),
    "own_node.py": ("1.0", ["heater on in", "'unit': 'degC'", "alarms: ['too warm"]),
    "chain.py": ("2", ["stages: ['smoother.stage0', 'smoother.stage1', 'smoother.stage2']"]),
    "failures.py": (
        "10",
        [
            "error handler: sensor returned garbage at frame 20",
            "Pipeline stopped.",
            "raise_if_failed() raised: The pipeline failed: sensor returned garbage at frame 20 "
            "in node 'fragile'",
            "caused by: ValueError(",
        ],
    ),
    "save_and_load.py": ("0.5", ["saved to", "loaded back:", "same port ids: True"]),
}


def test_every_example_is_exercised():
    assert sorted(p.name for p in EXAMPLES.glob("*.py")) == sorted(CASES)


@pytest.mark.parametrize("name", sorted(CASES))
def test_example_runs(name, tmp_path):
    seconds, expected = CASES[name]
    env = {**os.environ, "XDG_STATE_HOME": str(tmp_path), "NO_COLOR": "1"}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(SRC), env.get("PYTHONPATH")]))
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / name), seconds],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=env,
        timeout=120,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Traceback" not in done.stderr
    for text in expected:
        assert text in done.stdout, done.stdout
    # The log went where the environment said, not into the user's home.
    assert list(tmp_path.glob("flowmesh/logs/flowmesh-*.log"))
