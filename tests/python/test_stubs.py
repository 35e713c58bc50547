"""The type stubs installed beside the module describe the real API."""

import ast
import importlib.util
import inspect
import pathlib
import sys

import pytest

import vok_sr
from conftest import run_command

MODULE_DIR = pathlib.Path(vok_sr.__file__).parent
STUB = MODULE_DIR / "vok_sr.pyi"


@pytest.fixture(scope="module")
def stub_tree():
    if not STUB.exists():
        pytest.skip("vok_sr is not installed with its stubs (built in place?)")
    return ast.parse(STUB.read_text(encoding="utf-8"))


def stub_classes(tree):
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def test_stub_package_matches_the_stub_file(stub_tree):
    package = MODULE_DIR / "vok_sr-stubs" / "__init__.pyi"
    assert package.read_bytes() == STUB.read_bytes()


def test_stub_all_and_exceptions(stub_tree):
    (assign,) = [n for n in stub_tree.body if isinstance(n, ast.Assign)
                 and any(getattr(t, "id", None) == "__all__" for t in n.targets)]
    assert ast.literal_eval(assign.value) == vok_sr.__all__
    classes = stub_classes(stub_tree)
    for name in ("VokDimensionError", "VokComplexityError", "VokRuntimeError"):
        assert [b.id for b in classes[name].bases] == ["Exception"]


@pytest.mark.parametrize("cls_name", ["Searcher", "SearchResult"])
def test_stub_members_match_the_runtime(stub_tree, cls_name):
    runtime = getattr(vok_sr, cls_name)
    stub = stub_classes(stub_tree)[cls_name]
    functions = {n.name: n for n in stub.body if isinstance(n, ast.FunctionDef)}
    public = [n for n in vars(runtime) if not n.startswith("_")]
    assert sorted(n for n in functions if not n.startswith("_")) == sorted(public)
    for name in public:
        attr = inspect.getattr_static(runtime, name)
        node = functions[name]
        decorators = [getattr(d, "id", None) for d in node.decorator_list]
        if isinstance(attr, property) or type(attr).__name__ == "getset_descriptor":
            assert decorators == ["property"], name
            continue
        params = [p.name for p in inspect.signature(getattr(runtime, name)).parameters.values()]
        stub_params = [a.arg for a in node.args.args]
        assert stub_params == params, name
        stub_defaults = [ast.literal_eval(d) for d in node.args.defaults]
        runtime_defaults = [p.default for p in inspect.signature(getattr(runtime, name)).parameters.values()
                            if p.default is not inspect.Parameter.empty]
        assert stub_defaults == runtime_defaults, name
    if cls_name == "Searcher":
        init = functions["__init__"]
        sig = inspect.signature(runtime)
        assert [a.arg for a in init.args.args[1:]] == list(sig.parameters)
        assert [ast.literal_eval(d) for d in init.args.defaults] == [
            p.default for p in sig.parameters.values()]


SAMPLE = """
import numpy as np
import vok_sr

s = vok_sr.Searcher(max_complexity=3)
r = s.find_function([1.0, 2.0], np.array([1.0, 2.0]), alpha=None)
value: float = r.eval(2.0)
rows: list[float] = r.eval_batch([[1.0], [2.0]])
cands: list[vok_sr.SearchResult] = s.find_candidates(np.ones((2, 1)), [1.0, 2.0])
n: int = s.max_complexity
bad: str = r.error
"""


def test_mypy_uses_the_stubs(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    sample = tmp_path / "sample.py"
    sample.write_text(SAMPLE)
    out = run_command(
        [sys.executable, "-m", "mypy", "--no-incremental", "--strict", str(sample)],
        doing="mypy --strict on a sample that uses the stubs", within=300, cwd=tmp_path,
    )
    stdout = out.stdout.decode()
    lines = [l for l in stdout.splitlines() if ": error:" in l]
    # exactly the deliberate mistake is reported: the stubs were found and used
    assert len(lines) == 1 and "sample.py:11:" in lines[0], stdout + out.stderr.decode()
