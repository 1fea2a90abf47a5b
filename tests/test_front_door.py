"""The package's front door: what `import flowmesh` offers, what it costs,
and the type stubs of the extension modules against the modules themselves."""

import ast
import importlib
import inspect
import pathlib
import subprocess
import sys

import pytest

import flowmesh

IMP_DIR = pathlib.Path(flowmesh.__file__).parent / "imp"
STUBS = sorted(IMP_DIR.glob("*.pyi"))


@pytest.mark.parametrize("name", sorted(set(flowmesh.__all__) - {"__version__"}))
def test_every_exported_name_resolves_to_its_definition(name):
    value = getattr(flowmesh, name)
    module = importlib.import_module(f"flowmesh.{flowmesh._EXPORTS[name]}")
    assert value is getattr(module, name)
    assert name in dir(flowmesh)


def test_all_lists_exactly_the_lazy_names():
    assert sorted(flowmesh.__all__) == sorted([*flowmesh._EXPORTS, "__version__"])


def test_unknown_names_raise_attribute_error():
    with pytest.raises(AttributeError, match="no attribute 'Pipe'"):
        flowmesh.Pipe  # noqa: B018
    assert not hasattr(flowmesh, "_nothing")


def test_import_flowmesh_loads_no_extension_module():
    code = (
        "import sys, flowmesh; "
        "print(sorted(m for m in sys.modules if m.startswith(('flowmesh.', 'numpy'))))"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    ).stdout
    assert out.strip() == "[]"


@pytest.mark.parametrize("stub", STUBS, ids=[s.stem for s in STUBS])
def test_stub_matches_the_extension_module(stub):
    module = importlib.import_module(f"flowmesh.imp.{stub.stem}")
    tree = ast.parse(stub.read_text())
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            runtime = getattr(module, node.name)
            defined = {
                item.name for item in node.body if isinstance(item, (ast.FunctionDef, ast.ClassDef))
            }
            for name in defined:
                assert hasattr(runtime, name), f"{stub.name}: {node.name}.{name} does not exist"
            # Annotated names may be instance attributes: not on the class.
            declared = defined | {
                item.target.id
                for item in node.body
                if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name)
            }
            own = {
                name
                for name, value in vars(runtime).items()
                if not name.startswith("__")
                and (callable(value) or isinstance(value, staticmethod))
            }
            missing = own - declared
            assert not missing, f"{stub.name}: {node.name} lacks {sorted(missing)}"
        elif isinstance(node, ast.FunctionDef):
            assert callable(getattr(module, node.name)), f"{stub.name}: {node.name}"


def public_methods():
    import flowmesh.imp as imp

    for cls_name in sorted(n for n in dir(imp) if n.endswith("Imp")):
        cls = getattr(imp, cls_name)
        for name, value in vars(cls).items():
            if name.startswith("_") or not (callable(value) or isinstance(value, staticmethod)):
                continue
            if type(value).__name__ in (
                "method_descriptor",
                "staticmethod",
                "builtin_function_or_method",
            ):
                yield pytest.param(cls, name, id=f"{cls_name}.{name}")


@pytest.mark.parametrize(("cls", "name"), list(public_methods()))
def test_inspect_signature_knows_the_public_methods(cls, name):
    signature = inspect.signature(getattr(cls, name))
    assert signature is not None
