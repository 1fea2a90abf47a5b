"""The build of the extension modules: configuring it with a module's source
missing fails there, naming the file, instead of leaving the module out."""

import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BIN = pathlib.Path(sys.executable).parent


def _tool(name):
    found = shutil.which(name, path=str(BIN)) or shutil.which(name)
    if found is None:
        pytest.skip(f"{name} is not installed")
    return found


@pytest.mark.parametrize("missing", [None, "vertex.cpp", "monitoring.cpp"])
def test_configuring_without_a_module_source_fails(tmp_path, missing):
    cmake, ninja = _tool("cmake"), _tool("ninja")
    shutil.copy(ROOT / "CMakeLists.txt", tmp_path)
    sources = tmp_path / "src" / "flowmesh" / "imp"
    sources.mkdir(parents=True)
    for path in (ROOT / "src" / "flowmesh" / "imp").glob("*.[ch]pp"):
        if path.name != missing:
            shutil.copy(path, sources)
    done = subprocess.run(
        [cmake, "-S", tmp_path, "-B", tmp_path / "build", "-G", "Ninja"]
        + [f"-DCMAKE_MAKE_PROGRAM={ninja}", f"-DPython_EXECUTABLE={sys.executable}"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    if missing is None:
        assert done.returncode == 0, done.stderr
    else:
        assert done.returncode != 0
        said = " ".join(done.stderr.split())  # cmake wraps its messages
        assert f"is missing: {sources / missing}" in said
