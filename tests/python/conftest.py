import math
import os
import subprocess
import sys

import pytest

import vok_sr

# Searches in this suite stay tiny (max_complexity <= 5) so the whole suite
# runs in seconds; the engine prints its progress to fd 1, which pytest's
# default fd capture swallows.


def run_python(code: str, env: dict | None = None) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter; stdout/stderr as bytes."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, timeout=120, env=full_env
    )


def same_float(a: float, b: float) -> bool:
    return (math.isnan(a) and math.isnan(b)) or a == b


@pytest.fixture(scope="session")
def columns():
    """columns[k] is the formula v_{k}: evaluating it reads input value k,
    so the conversions can be checked element by element."""
    n = 4
    rows = [[float((i + 1) * (k + 2) + k * k) for k in range(n)] for i in range(5)]
    searcher = vok_sr.Searcher(max_complexity=1)
    results = [searcher.find_multivariate(rows, [row[k] for row in rows]) for k in range(n)]
    assert [r.formula for r in results] == [f"v_{{{k}}}" for k in range(n)]
    return results


@pytest.fixture(scope="session")
def square():
    """The formula Square(v_{0})."""
    xs = [1.0, 2.0, 3.0, -1.5, 0.5]
    r = vok_sr.Searcher(max_complexity=2).find_function(xs, [x * x for x in xs])
    assert r.formula == "Square(v_{0})"
    return r


@pytest.fixture(scope="session")
def sum2():
    """The formula Plus(v_{0}, v_{1}), which uses two variables."""
    rows = [[1, 2], [3, 5], [2, 7], [4, 1]]
    r = vok_sr.Searcher(max_complexity=3).find_multivariate(rows, [a + b for a, b in rows])
    assert r.formula == "Plus(v_{0}, v_{1})"
    return r


@pytest.fixture(scope="session")
def scaled():
    """Times(C, v_{0}) with C fitted to 2.5."""
    xs = [1.0, 2.0, 3.0, 4.0, 5.0]
    r = vok_sr.Searcher(max_complexity=3).find_function(xs, [2.5 * x for x in xs])
    assert r.formula == "Times(C, v_{0})"
    return r
