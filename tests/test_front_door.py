"""The package's front door: what `import flowmesh` offers, what it costs,
and the type stubs of the extension modules against the modules themselves."""

import ast
import importlib
import importlib.metadata
import importlib.util
import inspect
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tomllib

import pytest

import flowmesh

IMP_DIR = pathlib.Path(flowmesh.__file__).parent / "imp"
ROOT = pathlib.Path(__file__).resolve().parent.parent
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
    assert out.strip() == "['flowmesh._lazy']"  # the few lines that load names on first use


def test_the_command_line_parser_loads_no_extension_module_nor_numpy():
    """`flowmesh --help` and a usage error answer at once: every subcommand
    module is imported to build the parser, so none may load the core."""
    code = (
        "import sys; from flowmesh.commands import build_parser; build_parser(); "
        "print(sorted(m for m in sys.modules if m.startswith(('flowmesh.imp', 'numpy'))))"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    ).stdout
    assert out.strip() == "[]"


# What a plain pipeline has no use for: the standard library's introspection
# (pulled in by traceback and logging), typing, the secrets and random of
# documents and the monitor, numpy of the ready-made nodes.
HEAVY = ("inspect", "ast", "dis", "tokenize", "dataclasses", "typing", "secrets", "hmac")
HEAVY += ("traceback", "logging", "json", "difflib", "numpy", "flowmesh.documents")
# Nor the modules that cost it most of its memory above plain Python:
# contextlib, random (ids come from a generator of the registry's own until
# the program imports it), sysconfig (where the standard library is, for log
# locations), numbers, and the chains.
HEAVY += ("contextlib", "random", "sysconfig", "numbers")
HEAVY += ("flowmesh.imp._chain", "flowmesh.imp.cascade_out", "flowmesh.imp.cascade_io")

PLAIN_RUN = """
import sys, time
import flowmesh.nodes
from flowmesh import IONode, Pipeline, SampledSource, Sink
class Src(SampledSource):
    def step(self, data):
        return {"out": 1}
class Pass(IONode):
    def step(self, data):
        return {"out": data["in"]}
p = Pipeline("")
sink = Sink(name="z")
p.connect(Src(name="a", rate=500), Pass(name="m"))
p.connect(p.get_elements()[1], sink)
p.start()
while not sink.values():
    time.sleep(0.01)
p.stop()
p.close()
print(" ".join(m for m in HEAVY if m in sys.modules))
"""


def test_a_plain_pipeline_imports_nothing_heavy():
    code = f"HEAVY = {HEAVY!r}\n{PLAIN_RUN}"
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, check=True
    )
    assert done.stdout.splitlines()[-1] == ""


def test_entries_reach_the_standard_logging_once_it_is_imported():
    """Forwarding waits for `logging` to be imported, which loses nothing: no
    handler can exist before it is."""
    code = """
import sys
from flowmesh.logging import Logger
log = Logger(directory="")
log.write(type="Info", message="before")
assert "logging" not in sys.modules
import logging
seen = []
handler = logging.Handler()
handler.emit = lambda record: seen.append(record.getMessage())
logging.getLogger("flowmesh").addHandler(handler)
logging.getLogger("flowmesh").setLevel(logging.INFO)
log.write(type="Info", message="after")
print(seen, [type(h).__name__ for h in logging.getLogger("flowmesh").handlers])
"""
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, check=True
    )
    assert done.stdout.splitlines()[-1] == "['after'] ['Handler', 'NullHandler']"


def test_nodes_load_on_first_use_and_keep_their_package_path():
    code = (
        "import sys, flowmesh.nodes as n; before = 'numpy' in sys.modules; "
        "print(before, n.Filter.__module__, n.Averager.__module__, 'numpy' in sys.modules)"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, check=True
    ).stdout
    assert out.split() == ["False", "flowmesh.nodes", "flowmesh.nodes", "True"]


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


def build_toolchain_missing():
    """Why a wheel cannot be built here, or None."""
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return "the sanitizer run tests its own build, not a wheel"
    compiler = os.environ.get("CXX") or "c++"
    if shutil.which(compiler) is None:
        return f"no C++ compiler ({compiler})"
    for module in ("scikit_build_core", "cmake", "ninja"):
        if importlib.util.find_spec(module) is None:
            return f"{module} is not installed"
    return None


def run(command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, (command, done.stdout, done.stderr)
    return done


def borrow_dependencies(target):
    """Make the package's dependencies, as installed here, importable in
    the environment whose site directory is `target` (offline, and nothing
    else of this environment: the optional extras stay out)."""
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    shelf = target.parent / "borrowed"
    shelf.mkdir()
    for requirement in project["dependencies"]:
        dist = importlib.metadata.distribution(re.split(r"[\s<>=!~;\[]", requirement)[0])
        tops = {pathlib.PurePath(f).parts[0] for f in dist.files or ()}
        for top in tops - {"..", "bin"}:
            source = pathlib.Path(dist.locate_file(top))
            if source.exists() and not (shelf / top).exists():
                (shelf / top).symlink_to(source)
    (target / "borrowed.pth").write_text(f"{shelf}\n")


@pytest.mark.timeout(1800)
@pytest.mark.skipif(build_toolchain_missing() is not None, reason=str(build_toolchain_missing()))
def test_a_plain_install_runs_every_command(tmp_path):
    # The build directory of the tree keeps the compiled objects between runs.
    run(
        [sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation"]
        + ["--disable-pip-version-check", "-w", str(tmp_path / "dist"), str(ROOT)],
        timeout=1500,
    )
    [wheel] = (tmp_path / "dist").glob("flowmesh-*.whl")
    env_dir = tmp_path / "env"
    run([sys.executable, "-m", "venv", "--without-pip", str(env_dir)], timeout=120)
    python = env_dir / "bin" / "python"
    run(
        [sys.executable, "-m", "pip", "--python", str(python), "install", "-q", "--no-deps"]
        + ["--no-index", "--disable-pip-version-check", str(wheel)],
        timeout=300,
    )
    site = run([str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"])
    borrow_dependencies(pathlib.Path(site.stdout.strip()))

    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env |= {"XDG_STATE_HOME": str(tmp_path / "state"), "NO_COLOR": "1"}
    where = run(
        [
            str(python),
            "-c",
            "import flowmesh, importlib.util as u; "
            "print(flowmesh.__file__, u.find_spec('matplotlib'))",
        ],
        env=env,
        cwd=tmp_path,
    )
    assert where.stdout.split() == [
        str(pathlib.Path(site.stdout.strip()) / "flowmesh" / "__init__.py"),
        "None",
    ]

    def flowmesh_command(*args):
        return run([str(env_dir / "bin" / "flowmesh"), *args], env=env, cwd=tmp_path, timeout=300)

    demo = flowmesh_command("demo", "--duration", "2", "--output", "out")
    assert demo.stderr == ""
    assert "Second run:" in demo.stdout
    assert "Plot skipped: it needs matplotlib (pip install 'flowmesh[plot]')" in demo.stdout
    document = str(tmp_path / "out" / "pipeline.json")
    assert "valid (7 elements" in flowmesh_command("validate", document).stdout
    assert flowmesh_command("graph", document).stdout.startswith("digraph")
    assert "Failures: none" in flowmesh_command("run", document, "--duration", "1").stdout
