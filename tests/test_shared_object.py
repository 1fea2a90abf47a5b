"""The implementation modules live in one shared object, loaded by the
package's finder: each module by its own name, and nothing else from there."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import flowmesh.imp as imp

ROOT = pathlib.Path(__file__).resolve().parents[1]
PACKAGE = pathlib.Path(imp.__file__).resolve().parents[1]


def shared_object():
    finders = [f for f in sys.meta_path if type(f).__name__ == "_ModuleFinder"]
    assert len(finders) == 1
    return finders[0].path


def test_the_build_and_the_finder_name_the_same_modules():
    cmake = (ROOT / "CMakeLists.txt").read_text()
    listed = re.search(r"set\(FLOWMESH_MODULES ([^)]*)\)", cmake).group(1).split()
    assert tuple(listed) == imp.MODULES


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm (binutils)")
def test_the_shared_object_exports_an_init_function_per_module_and_no_other():
    symbols = subprocess.run(
        ["nm", "-D", "--defined-only", shared_object()], capture_output=True, text=True, check=True
    ).stdout
    exported = sorted(line.split()[-1] for line in symbols.splitlines())
    assert exported == sorted(f"PyInit_{name}" for name in imp.MODULES)


def test_each_module_is_an_extension_module_of_its_own_and_nothing_else_is():
    for name in imp.MODULES:
        module = __import__(f"flowmesh.imp.{name}", fromlist=["_"])
        assert module.__name__ == f"flowmesh.imp.{name}"
        assert module.__file__ == shared_object()
        assert type(module.__spec__.loader).__name__ == "ExtensionFileLoader"
    # The file itself is no module, and the package's Python modules are
    # found as usual.
    finder = next(f for f in sys.meta_path if type(f).__name__ == "_ModuleFinder")
    for name in ("_imp", "nothing", "_chain"):
        assert finder.find_spec(f"flowmesh.imp.{name}") is None
    import flowmesh.imp._chain as chain

    assert chain.__file__.endswith("_chain.py")


def package_copy(tmp_path, keep_shared=True):
    root = tmp_path / "root"
    shutil.copytree(
        PACKAGE, root / "flowmesh", ignore=shutil.ignore_patterns("*.so", "__pycache__")
    )
    if keep_shared:
        shutil.copy(shared_object(), root / "flowmesh" / "imp")
    return root


def run_in(root, code):
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": str(root)},
        timeout=120,
    )


def test_a_stale_module_file_is_not_loaded_and_a_second_import_keeps_one_finder(tmp_path):
    """A tree built before the modules were merged keeps their files: they
    must neither shadow the shared object nor be mixed with it."""
    root = package_copy(tmp_path)
    suffix = pathlib.Path(shared_object()).name.removeprefix("_imp")
    (root / "flowmesh" / "imp" / f"ledger{suffix}").write_bytes(b"not an ELF file")
    code = """
import sys
import flowmesh.pipeline
for name in [m for m in sys.modules if m == "flowmesh" or m.startswith("flowmesh.")]:
    del sys.modules[name]
import flowmesh.pipeline, flowmesh.imp.ledger as m, flowmesh.imp.cascade_io as c
print(m.__file__ == c.__file__, m.__file__.rsplit("/", 1)[-1].startswith("_imp."))
print(sum(type(f).__name__ == "_ModuleFinder" for f in sys.meta_path))
"""
    done = run_in(root, code)
    assert done.stdout.split() == ["True", "True", "1"], done.stderr


def test_without_the_shared_object_the_import_says_what_is_missing(tmp_path):
    done = run_in(package_copy(tmp_path, keep_shared=False), "import flowmesh.pipeline")
    assert "ImportError" in done.stderr
    assert "_imp" in done.stderr


def test_a_module_loaded_again_gives_back_its_dict_watcher():
    """An interpreter has eight dict watchers: a module loaded a dozen times
    (the package imported afresh, as a reloading tool does) must leave one
    free for the next."""
    code = """
import ctypes, gc, sys
import flowmesh.imp
for _ in range(12):
    for name in [m for m in sys.modules if m == "flowmesh" or m.startswith("flowmesh.")]:
        del sys.modules[name]
    import flowmesh.imp
    gc.collect()
Callback = ctypes.CFUNCTYPE(
    ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object
)
callback = Callback(lambda *args: 0)
add, clear = ctypes.pythonapi.PyDict_AddWatcher, ctypes.pythonapi.PyDict_ClearWatcher
add.argtypes, add.restype = [Callback], ctypes.c_int
clear.argtypes, clear.restype = [ctypes.c_int], ctypes.c_int
print(clear(add(callback)))
"""
    done = run_in(PACKAGE.parent, code)
    assert done.stdout.split() == ["0"], done.stderr
