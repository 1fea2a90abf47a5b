"""The developer tools in tools/: they load, and what they report names
what it concerns."""

import ast
import importlib.util
import pathlib

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_refleak_loops_are_registered_under_their_own_names():
    path = ROOT / "tools" / "refleak.py"
    tree = ast.parse(path.read_text())
    decorated = [
        node.name
        for node in tree.body
        if isinstance(node, ast.FunctionDef)
        and any("check" in ast.unparse(d) for d in node.decorator_list)
    ]
    spec = importlib.util.spec_from_file_location("refleak_under_test", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)  # registering runs no loop
    assert "_" not in decorated
    assert list(module.CHECKS) == decorated
    assert all(module.CHECKS[name][0].__name__ == name for name in decorated)
