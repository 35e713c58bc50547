"""The wheel of `make wheel`, installed: both extension modules, and the
oneTBB they run on carried inside the wheel rather than taken from the system
or from the `tbb` package.

`make wheel-test` runs this file in a fresh venv with the wheel installed;
VOK_WHEEL names the wheel file, VOK_WHEEL_BUILD_DIR and VOK_NINJA the build
folder and the ninja that built it. Without VOK_WHEEL (as in `make test`,
which tests a development install) the file is skipped.
"""

import json
import os
import pathlib
import re
import sysconfig
import tomllib
import zipfile

import pytest

from conftest import run_command, run_python

WHEEL = os.environ.get("VOK_WHEEL", "")
pytestmark = pytest.mark.skipif(not WHEEL, reason="VOK_WHEEL names no wheel; `make wheel-test` sets it")

ROOT = pathlib.Path(__file__).resolve().parents[2]
SITE = pathlib.Path(sysconfig.get_path("platlib")).resolve()
LIBS = SITE / "vok_sr.libs"

# One fresh interpreter: a search through each module, then every libtbb*
# file mapped into the process and the version each reports.
PROBE = r"""
import ctypes, json, re
import numpy as np
import vok_sr
from vok_learn import _engine

xs = [1.0, 2.0, 3.0, -1.5, 0.5]
ys = [x * x for x in xs]
via_module = vok_sr.Searcher(max_complexity=3).find_function(xs, ys).formula
run = _engine.search(np.array(xs).reshape(-1, 1), np.array(ys), max_complexity=3)
via_engine = run["equations"][0]["formula"]

mapped = set()
with open("/proc/self/maps") as maps:
    for line in maps:
        fields = line.split(None, 5)
        if len(fields) == 6 and re.search(r"/libtbb[^/]*\.so", fields[5]):
            mapped.add(fields[5].strip())
versions = {}
for path in mapped:
    lib = ctypes.CDLL(path)
    if hasattr(lib, "TBB_runtime_version"):
        lib.TBB_runtime_version.restype = ctypes.c_char_p
        versions[path] = lib.TBB_runtime_version().decode()
print(json.dumps({"module": via_module, "engine": via_engine, "stop": run["stop_reason"],
                  "mapped": sorted(mapped), "versions": versions,
                  "files": [vok_sr.__file__, _engine.__file__]}))
"""


@pytest.fixture(scope="module")
def probe():
    done = run_python(PROBE, doing="the installed-wheel probe", within=300, cwd="/")
    assert done.returncode == 0, done.stderr.decode()
    return json.loads(done.stdout.decode().strip().splitlines()[-1])


def pinned_tbb_version():
    requires = tomllib.loads((ROOT / "pyproject.toml").read_text())["build-system"]["requires"]
    for req in requires:
        m = re.match(r"\s*tbb-devel\s*==\s*([0-9.]+)", req)
        if m:
            return m.group(1)
    pytest.fail("pyproject.toml pins no tbb-devel build requirement")


def test_the_wheel_holds_both_modules_the_tbb_library_and_the_license():
    names = zipfile.ZipFile(WHEEL).namelist()
    assert [n for n in names if re.fullmatch(r"vok_sr\.cpython-[^/]*\.so", n)]
    assert [n for n in names if re.fullmatch(r"vok_learn/_engine\.cpython-[^/]*\.so", n)]
    assert [n for n in names if re.fullmatch(r"vok_sr\.libs/libtbb-[0-9a-f]+\.so\.12", n)]
    assert [n for n in names if re.fullmatch(r"vok_sr-[^/]*\.dist-info/(licenses/)?LICENSE", n)]
    wheel_info = next(n for n in names if n.endswith(".dist-info/WHEEL"))
    tags = re.findall(r"^Tag: (\S+)$", zipfile.ZipFile(WHEEL).read(wheel_info).decode(), re.M)
    assert tags and all("-manylinux_" in t for t in tags), tags


def test_the_modules_are_the_installed_ones(probe):
    for path in probe["files"]:
        assert pathlib.Path(path).resolve().is_relative_to(SITE), path


def test_a_search_runs_through_both_modules(probe):
    assert probe["module"] == "Square(v_{0})"
    assert probe["engine"] == "Square(v_{0})"


def test_the_loaded_tbb_is_the_one_inside_the_wheel(probe):
    # The `tbb` package is a dependency, so a libtbb.so.12 lies in this venv's
    # lib/ as well, and the system may have its own: only the wheel's copy
    # may be mapped.
    assert probe["mapped"], "no libtbb mapped after a search"
    for path in probe["mapped"]:
        assert pathlib.Path(path).resolve().parent == LIBS.resolve(), path
    assert set(probe["versions"].values()) == {pinned_tbb_version()}, probe["versions"]


@pytest.mark.skipif(not os.environ.get("VOK_WHEEL_BUILD_DIR") or not os.environ.get("VOK_NINJA"),
                    reason="VOK_WHEEL_BUILD_DIR / VOK_NINJA not set")
def test_the_build_compiled_the_tbb_headers_of_tbb_devel():
    # ninja's record of the headers each object file read: every TBB header
    # must come from tbb-devel (the build venv's include/), none from the
    # system's libtbb-dev.
    done = run_command([os.environ["VOK_NINJA"], "-C", os.environ["VOK_WHEEL_BUILD_DIR"], "-t", "deps"],
                       doing="ninja -t deps on the wheel's build folder")
    assert done.returncode == 0, done.stderr.decode()
    deps = done.stdout.decode()
    includes = set()
    for line in deps.splitlines():
        header = line.strip()
        for marker in ("/oneapi/tbb/", "/tbb/"):
            if marker in header:
                includes.add(pathlib.Path(header.split(marker)[0]).resolve())
                break
    assert includes, "ninja records no TBB header"
    assert len(includes) == 1, includes
    (include,) = includes
    assert (include.parent / "lib" / "cmake" / "tbb" / "TBBConfig.cmake").is_file(), include
    assert not include.is_relative_to("/usr"), include
    cache = (pathlib.Path(os.environ["VOK_WHEEL_BUILD_DIR"]) / "CMakeCache.txt").read_text()
    (tbb_dir,) = re.findall(r"^TBB_DIR:PATH=(.*)$", cache, re.M)
    assert pathlib.Path(tbb_dir).resolve() == (include.parent / "lib" / "cmake" / "tbb").resolve()
