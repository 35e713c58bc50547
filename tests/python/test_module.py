import shutil

import pytest

import vok_sr
from conftest import run_command, run_python

EXCEPTIONS = ["VokDimensionError", "VokComplexityError", "VokRuntimeError"]
EXPORTS = ["Searcher", "SearchResult", *EXCEPTIONS]


def test_module_doc_and_exports_in_order():
    assert vok_sr.__doc__ == "The main Python module entry point."
    assert vok_sr.__all__ == EXPORTS
    assert [name for name in vars(vok_sr) if name in EXPORTS] == EXPORTS
    assert not [
        name
        for name, value in vars(vok_sr).items()
        if callable(value) and not isinstance(value, type)
    ], "the module defines no functions"


@pytest.mark.parametrize("name", ["Searcher", "SearchResult"])
def test_classes_have_builtin_names_and_refuse_subclasses(name):
    cls = getattr(vok_sr, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_exception_classes(name):
    cls = getattr(vok_sr, name)
    assert cls.__bases__ == (Exception,)
    assert cls.__module__ == "vok_sr"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__doc__ is None
    for other in EXCEPTIONS:
        if other != name:
            assert not issubclass(cls, getattr(vok_sr, other))
    assert not issubclass(cls, (ValueError, RuntimeError))
    with pytest.raises(Exception) as info:
        raise cls("boom")
    assert str(info.value) == "boom"


def test_second_initialisation_raises_import_error():
    code = """
import sys
import vok_sr
first = vok_sr
del sys.modules['vok_sr']
try:
    import vok_sr
except ImportError as e:
    print("ImportError:", e)
else:
    print("no error")
# the first module stays usable
print(first.Searcher(max_complexity=2).max_complexity)
"""
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    text = out.stdout.decode()
    assert text.startswith("ImportError: vok_sr can be initialised only once per process"), text
    assert text.endswith("\n2\n")


def test_only_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    done = run_command([nm, "-D", "--defined-only", vok_sr.__file__], doing="nm listing the module's symbols")
    assert done.returncode == 0, done.stderr.decode()
    listing = done.stdout.decode()
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit_vok_sr"]


def test_without_numpy_conversion_raises_clear_import_error():
    code = """
import sys
sys.modules['numpy'] = None  # makes `import numpy` fail
import vok_sr
s = vok_sr.Searcher(max_complexity=2)  # needs no NumPy
for call in (lambda: s.find_function([1.0, 2.0], [1.0, 2.0]),
             lambda: s.find_multivariate([[1.0]], [1.0])):
    try:
        call()
    except ImportError as e:
        print(type(e).__name__, e, type(e.__cause__).__name__)
"""
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.decode().splitlines()
    assert len(lines) == 2
    for line in lines:
        assert line.startswith("ImportError vok_sr needs NumPy to convert its inputs: ")
        assert line.endswith(" ImportError") or line.endswith(" ModuleNotFoundError")
