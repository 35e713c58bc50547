"""Reference and memory hygiene of the binding: repeated searches and
evaluations must not leak Python references or native memory."""

import contextlib
import gc
import os
import sys

import numpy as np
import pytest

import vok_sr

XS = [0.5, 1.0, 1.5, 2.0, 2.5]
YS = [x * x + 1.0 for x in XS]


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    import resource

    return pages * resource.getpagesize() // 1024


@contextlib.contextmanager
def quiet_fd1():
    """The engine prints every search to fd 1; thousands of them are noise."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def one_round(searcher, rows, arr):
    r = searcher.find_function(XS, arr)
    r.eval(1.5)
    r.eval([1.5, 2.0])
    r.eval_batch(rows)
    r.predict(arr.reshape(-1, 1))
    repr(r), r.to_latex(), r.to_python(), r.formula
    cands = searcher.find_candidates(rows, YS)
    for bad in ("abc", [[1.0], "x"]):
        try:
            searcher.find_function(bad, YS)
        except ValueError:
            pass
        try:
            r.eval_batch(bad)
        except ValueError:
            pass
    try:
        searcher.find_function(XS, YS[:2])
    except vok_sr.VokDimensionError:
        pass
    try:
        searcher.find_function(XS, XS, alpha="bad")
    except TypeError:
        pass
    return cands


def test_inputs_and_types_keep_their_reference_counts():
    s = vok_sr.Searcher(max_complexity=2, beam_width=8)
    rows = [[x] for x in XS]
    arr = np.array(YS)
    watched = [XS, YS, XS[0], rows, arr, rows[0], rows[0][0], vok_sr.SearchResult, vok_sr.Searcher,
               vok_sr.VokDimensionError]
    one_round(s, rows, arr)  # warm-up: NumPy's API, interned strings
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        one_round(s, rows, arr)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
def test_memory_stays_flat_over_thousands_of_calls():
    s = vok_sr.Searcher(max_complexity=2, beam_width=8)
    rows = [[x] for x in XS]
    arr = np.array(YS)
    with quiet_fd1():
        for _ in range(300):  # warm-up: allocator pools, thread pool, caches
            one_round(s, rows, arr)
        gc.collect()
        start = rss_kib()
        for _ in range(2000):
            one_round(s, rows, arr)
        gc.collect()
        growth = rss_kib() - start
    # Leaking one result record (expression and operator table) per round
    # would cost well over 2 KiB a round.
    assert growth < 4096, f"resident memory grew by {growth} KiB"
