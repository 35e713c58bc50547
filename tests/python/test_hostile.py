"""Hostile and degenerate input at the module boundary.

Every case must end in a correct result or a clear, documented exception:
never a crash, a hang or a leak. The searches are kept small so that the
file also runs quickly under the sanitizer build (`make sanitize`).
"""
import gc
import math
import sys
import threading
import tracemalloc

import numpy as np
import pytest

import vok_sr
from vok_sr import Searcher, VokComplexityError, VokDimensionError

SUBNORMAL = 5e-324
EXACT = 1e-10
NO_FORMULA = "No formula found up to complexity {}"
VEC_ERROR = "Input must be a 1D list or NumPy array of floats"
MATRIX_ERROR = "Input must be a 2D list or 2D NumPy array of floats"
XS = [0.5 * i - 2.0 for i in range(9)]


def small(max_complexity=3, beam_width=8, **kw):
    return Searcher(max_complexity=max_complexity, beam_width=beam_width, **kw)


def assert_fits(result, xs, ys, tol=1e-6):
    """The result reproduces the targets at the sample points."""
    assert result.error <= EXACT
    for x, y in zip(xs, ys):
        assert result.eval(x) == pytest.approx(y, abs=tol)


# --- Non-finite and extreme values ------------------------------------------

@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf, 1e308, -1e308])
def test_unusable_target_value_leaves_no_formula(bad):
    # One target that no formula can match makes every error NaN or infinite
    # (1e308 squared overflows), so nothing reaches the front.
    ys = [x * x for x in XS]
    ys[3] = bad
    with pytest.raises(VokComplexityError) as info:
        small(3).find_function(XS, ys)
    assert str(info.value) == NO_FORMULA.format(3)


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf, 1e308])
def test_unusable_input_value_leaves_only_constants(bad):
    # Any formula reading v_{0} fails on that row; the constants do not read
    # it, so the best result is the mean of the targets with its MSE.
    xs = [1.0, bad, 3.0]
    ys = [1.0, 2.0, 3.0]
    r = small(3).find_function(xs, ys)
    assert "v_{0}" not in r.formula
    assert r.error == pytest.approx(2.0 / 3.0, rel=1e-9)
    assert r.eval(bad) == pytest.approx(2.0, rel=1e-9)
    assert r.eval_batch([[bad], [0.0]]) == pytest.approx([2.0, 2.0], rel=1e-9)


def test_subnormal_inputs_and_targets_are_matched_exactly():
    xs = [SUBNORMAL, 1e-310, 2.2250738585072014e-308, 0.0]
    r = small(3).find_function(xs, list(xs))
    assert r.formula == "v_{0}"
    assert r.error == 0.0
    assert r.eval(SUBNORMAL) == SUBNORMAL


def test_subnormal_constant_target():
    r = small(3).find_function(XS, [SUBNORMAL] * len(XS))
    assert r.error <= EXACT
    assert abs(r.eval(1.0)) <= 1e-5


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, 1e308, SUBNORMAL, -0.0])
def test_recognize_constant_on_extreme_values(value):
    s = small(3)
    if not math.isfinite(value) or abs(value) >= 1e15:
        with pytest.raises(VokComplexityError):
            s.recognize_constant(value)
    else:
        r = s.recognize_constant(value)
        assert r.error <= EXACT
        assert r.eval(0.0) == pytest.approx(value, abs=1e-6)


def test_evaluation_of_extreme_points_gives_nan_not_errors():
    r = small(3).find_function(XS, [x * x for x in XS])
    assert r.formula == "Square(v_{0})"
    assert math.isnan(r.eval(1e300))  # beyond the guard
    assert math.isnan(r.eval(math.nan))
    assert math.isnan(r.eval(math.inf))
    assert r.eval(SUBNORMAL) == 0.0
    out = r.eval_batch(np.array([[1e300], [2.0], [math.nan]]))
    assert math.isnan(out[0]) and out[1] == 4.0 and math.isnan(out[2])
    assert math.isnan(r.eval([]))  # v_{0} missing


# --- Degenerate data ---------------------------------------------------------

def test_constant_target_gives_a_constant_formula():
    r = small(4).find_function(XS, [3.0] * len(XS))
    assert "v_{0}" not in r.formula
    assert r.error <= EXACT
    assert r.eval_batch([[123.0], [-1e9], [math.nan]]) == pytest.approx([3.0] * 3)
    cands = small(4).find_candidates([[x] for x in XS], [3.0] * len(XS))
    assert cands[-1].formula == "C" and cands[-1].eval(0.0) == pytest.approx(3.0)


def test_duplicate_rows():
    xs = [1.0, 1.0, 1.0, 2.0, 2.0, 2.0, -1.5, -1.5]
    ys = [x * x + x for x in xs]
    assert_fits(small(4, 30).find_function(xs, ys), xs, ys)


def test_single_row():
    r = small(3).find_function([2.0], [5.0])
    assert_fits(r, [2.0], [5.0])


def test_rows_without_values_leave_only_constants():
    r = small(3).find_multivariate([[], [], []], [1.0, 2.0, 3.0])
    assert "v_{" not in r.formula
    assert r.error == pytest.approx(2.0 / 3.0, rel=1e-9)


@pytest.mark.parametrize("rows, ys, formula", [
    # The first row fixes two variables; v_{1} is missing on the short row,
    # so only formulas of v_{0} can be scored.
    ([[1.0, 2.0], [3.0], [4.0, 5.0, 6.0]], [1.0, 3.0, 4.0], "v_{0}"),
    # The first row fixes one variable; the extra values are never read.
    ([[2.0], [3.0, 9.0], [4.0, 9.0, 9.0]], [4.0, 9.0, 16.0], "Square(v_{0})"),
])
def test_ragged_rows(rows, ys, formula):
    r = small(3).find_multivariate(rows, ys)
    assert r.formula == formula
    assert r.error <= EXACT


def test_ragged_rows_without_usable_formula():
    # v_{1} would fit, but it is missing on the second row; v_{0} cannot fit.
    rows = [[0.0, 1.0], [0.0], [0.0, 3.0]]
    ys = [1.0, 2.0, 3.0]
    r = small(3).find_multivariate(rows, ys)
    assert "v_{1}" not in r.formula
    assert r.error == pytest.approx(2.0 / 3.0, rel=1e-6)
    # Every formula with that error predicts the mean 2 where v_{0} is 0.
    assert r.eval([0.0, 1.0]) == pytest.approx(2.0, rel=1e-6)


def test_hundred_thousand_rows():
    xs = np.linspace(-3.0, 3.0, 100_000)
    r = small(2, 5).find_function(xs, xs * xs)
    assert r.formula == "Square(v_{0})"
    assert r.error <= EXACT
    rows = np.column_stack([xs, -xs])
    r2 = small(2, 5).find_multivariate(rows, -xs)
    assert r2.formula == "v_{1}"
    assert len(r2.eval_batch(rows)) == 100_000


def test_widest_input_accepted_and_one_column_more_rejected():
    rng = np.random.default_rng(7)
    data = rng.uniform(1.0, 2.0, size=(4, 255))
    r = small(1).find_multivariate(data, data[:, 254].copy())
    assert r.formula == "v_{254}"
    assert r.error == 0.0
    assert r.eval(list(data[0])) == data[0, 254]
    assert math.isnan(r.eval(list(data[0, :254])))

    wide = rng.uniform(1.0, 2.0, size=(4, 256))
    for call in (Searcher().find_multivariate, Searcher().fit, Searcher().find_candidates):
        with pytest.raises(VokDimensionError) as info:
            call(wide, wide[:, 0].copy())
        assert str(info.value)
    with pytest.raises(VokDimensionError):
        Searcher().fit(wide.tolist(), list(wide[:, 0]))


def test_too_wide_input_is_rejected_even_when_only_the_first_row_is_wide():
    rows = [[1.0] * 256, [1.0], [2.0]]
    with pytest.raises(VokDimensionError):
        small(2).find_multivariate(rows, [1.0, 1.0, 2.0])


# --- Odd settings ------------------------------------------------------------

def test_beam_width_zero_still_searches_the_first_generated_level():
    # Level 1 is never pruned, so level 2 is built from it; later levels only
    # see empty beams.
    r = small(3, 0).find_function(XS, [x * x for x in XS])
    assert r.formula == "Square(v_{0})"
    r = small(4, 0).find_function(XS, [x * x + x for x in XS])
    assert math.isfinite(r.error) and r.complexity <= 4


def test_beam_width_one():
    ys = [x * x + x for x in XS]
    r = small(4, 1).find_function(XS, ys)
    assert math.isfinite(r.error) and r.complexity <= 4
    cands = small(4, 1).find_candidates([[x] for x in XS], ys)
    assert [c.complexity for c in cands] == sorted({c.complexity for c in cands}, reverse=True)


def test_max_complexity_zero_finds_nothing():
    with pytest.raises(VokComplexityError) as info:
        small(0).find_function(XS, XS)
    assert str(info.value) == NO_FORMULA.format(0)
    with pytest.raises(VokComplexityError):
        small(0).find_candidates([[x] for x in XS], XS)


def test_max_complexity_one_returns_the_better_leaf():
    # Against 2x, v_{0} has the MSE mean(x^2); the best constant (the mean
    # of 2x over the symmetric XS, 0) has four times that.
    r = small(1).find_function(XS, [2.0 * x for x in XS])
    assert r.formula == "v_{0}"
    assert r.error == pytest.approx(sum(x * x for x in XS) / len(XS), rel=1e-12)


def test_max_complexity_twenty_with_a_small_beam_finishes():
    xs = [0.25 * i - 1.0 for i in range(12)]
    ys = [math.sin(x) * 1.5 + x ** 3 - 0.2 for x in xs]
    r = small(20, 3).find_function(xs, ys)
    assert 1 <= r.complexity <= 20
    assert math.isfinite(r.error)
    cands = small(20, 3).find_candidates([[x] for x in xs], ys)
    errors = [c.error for c in cands]
    assert errors == sorted(errors) and len(set(errors)) == len(errors)


@pytest.mark.parametrize("penalty", [math.nan, math.inf, -math.inf, -1.0, -0.5, 0.0, 1e300])
def test_odd_complexity_penalties_end_cleanly(penalty):
    ys = [x * x + 1.0 for x in XS]
    s = small(4, 6, complexity_penalty=penalty)
    try:
        r = s.find_function(XS, ys)
    except VokComplexityError as e:
        assert str(e) == NO_FORMULA.format(4)
    else:
        assert math.isfinite(r.error) and 1 <= r.complexity <= 4
    assert s.complexity_penalty == penalty or math.isnan(penalty)


@pytest.mark.parametrize("alpha, l1_ratio", [
    (math.nan, 0.5), (0.5, math.nan), (math.inf, 0.5), (-1.0, 0.5), (1.0, 2.0), (1e308, 1.0)])
def test_odd_penalty_weights_end_cleanly(alpha, l1_ratio):
    ys = [x + 2.0 for x in XS]
    try:
        r = small(3).find_function(XS, ys, alpha=alpha, l1_ratio=l1_ratio)
    except VokComplexityError as e:
        assert str(e) == NO_FORMULA.format(3)
    else:
        assert math.isfinite(r.error)


# --- Hostile Python objects --------------------------------------------------

class Boom(Exception):
    pass


class BadFloat:
    def __float__(self):
        raise Boom


class LyingLength:
    """Claims far more items than it yields."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class Shrinker:
    """Empties the list that holds it while the list is being read."""

    def __init__(self, victim):
        self.victim = victim

    def __float__(self):
        self.victim.clear()
        return 1.0


class Grower:
    def __init__(self, victim):
        self.victim = victim

    def __float__(self):
        self.victim.extend([2.0] * 1000)
        return 1.0


@pytest.mark.parametrize("length", [0, 1, 10**9, sys.maxsize])
def test_lying_lengths_are_only_hints(length):
    seq = LyingLength([1.0, 2.0, 3.0], length)
    r = small(2).find_function(seq, [1.0, 2.0, 3.0])
    assert r.formula == "v_{0}"
    rows = LyingLength([LyingLength([1.0], length), [2.0], [3.0]], length)
    assert r.eval_batch(rows) == [1.0, 2.0, 3.0]


def test_lists_changed_while_they_are_read():
    r = small(2).find_function(XS, XS)
    victim = [1.0, 2.0]
    victim.append(Shrinker(victim))
    victim.extend([3.0, 4.0])
    try:
        out = r.eval(victim)
    except ValueError as e:
        assert str(e) == "Input must be a float or a 1D list/array"
    else:
        assert out == 1.0
    grow = [1.0]
    grow.append(Grower(grow))
    try:
        r.eval_batch([grow, [1.0]])
    except ValueError as e:
        assert str(e) == MATRIX_ERROR
    rows = [[1.0], [2.0]]
    rows.append([Shrinker(rows)])
    try:
        r.eval_batch(rows)
    except ValueError as e:
        assert str(e) == MATRIX_ERROR


@pytest.mark.parametrize("bad", [
    [1.0, BadFloat()], [1.0, "2"], [None], [[1.0]], "12", 1 + 2j, None,
    (x for x in [1.0]), {1.0: 2.0}, np.array([[1.0, 2.0]]), np.array(["1"]),
])
def test_unreadable_vectors(bad):
    with pytest.raises(ValueError) as info:
        small(2).find_function(bad, [1.0])
    assert str(info.value) == VEC_ERROR


@pytest.mark.parametrize("bad", [
    [1.0, 2.0], [[1.0], [BadFloat()]], [[1.0], "2"], "ab", None, np.array([1.0, 2.0]),
    [[1.0], None], [np.array([1.0]), 3.0],
])
def test_unreadable_matrices(bad):
    with pytest.raises(ValueError) as info:
        small(2).find_multivariate(bad, [1.0, 2.0])
    assert str(info.value) == MATRIX_ERROR


def test_unusual_array_layouts_and_types():
    base = np.arange(12, dtype=np.float64).reshape(6, 2)
    s = small(2)
    r = s.find_multivariate(base[::-1], base[::-1, 1].copy())  # negative strides
    assert r.formula == "v_{1}"
    r = s.find_multivariate(np.asfortranarray(base), base[:, 0].copy())
    assert r.formula == "v_{0}"
    big_endian = base.astype(">f8")  # not native: read element by element
    r = s.find_multivariate(big_endian, np.ascontiguousarray(big_endian[:, 1]))
    assert r.formula == "v_{1}"
    readonly = base.copy()
    readonly.flags.writeable = False
    assert s.find_multivariate(readonly, readonly[:, 0].copy()).formula == "v_{0}"
    empty_rows = np.zeros((0, 3))
    with pytest.raises(VokDimensionError):
        s.find_multivariate(empty_rows, np.zeros(0))
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        s.find_function(np.arange(10.0)[::2], np.arange(5.0))


# --- Threads and lifetimes ---------------------------------------------------

def test_eight_threads_share_one_searcher():
    s = small(3, 20)
    results, errors = {}, []

    def work(i):
        try:
            ys = [(i + 1) * x for x in XS]
            r = s.find_function(XS, ys)
            results[i] = (r, r.eval(2.0), r.eval_batch([[1.0], [3.0]]))
            with pytest.raises(VokDimensionError):
                s.find_function([1.0, 2.0], [1.0])
        except BaseException as e:  # reported below, on the main thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads), "a search hung"
    assert errors == []
    for i in range(8):
        r, at2, batch = results[i]
        assert r.error <= EXACT
        assert at2 == pytest.approx(2.0 * (i + 1))
        assert batch == pytest.approx([(i + 1) * 1.0, (i + 1) * 3.0])
    assert s.max_complexity == 3 and s.beam_width == 20


def test_results_outlive_the_searcher_and_every_other_reference():
    def make():
        s = Searcher(max_complexity=4, beam_width=30)
        cands = s.find_candidates([[x] for x in XS], [x * x + x for x in XS])
        best = s.find_function(XS, [2.5 * x for x in XS])
        keep = cands[-1], cands[0], best
        del s, cands
        return keep

    simplest, most_accurate, best = make()
    gc.collect()
    assert simplest.complexity < most_accurate.complexity
    assert most_accurate.eval(2.0) == pytest.approx(6.0)
    assert best.eval_batch([[2.0], [-4.0]]) == pytest.approx([5.0, -10.0])
    assert best.to_latex() and best.to_python() and repr(best).startswith("SearchResult(")
    del simplest, most_accurate
    gc.collect()
    assert best.eval(1.0) == pytest.approx(2.5)


def test_no_python_memory_growth_on_error_paths():
    s = small(2)
    r = s.find_function(XS, XS)
    rows = [[float(i)] for i in range(50)]

    def churn():
        for bad in ([1.0, BadFloat()], "x", [[1.0], [BadFloat()]]):
            with pytest.raises(ValueError):
                s.find_function(bad, [1.0])
            with pytest.raises(ValueError):
                r.eval_batch(bad)
        with pytest.raises(VokDimensionError):
            s.find_function([1.0], [1.0, 2.0])
        with pytest.raises(TypeError):
            s.find_function(XS, XS, alpha="a")
        with pytest.raises(VokComplexityError):
            s.find_function([1.0, 2.0], [math.nan, 1.0])
        assert len(r.eval_batch(rows)) == 50
        r.eval(np.array([1.0]))

    for _ in range(20):
        churn()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(200):
            churn()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # A leaked float per evaluated row would be 200 * 50 * 24 bytes.
    assert grown < 64 * 1024, grown


def test_search_result_cannot_be_made_or_subclassed():
    with pytest.raises(TypeError):
        vok_sr.SearchResult()
    with pytest.raises(TypeError):
        type("Sub", (vok_sr.SearchResult,), {})
    with pytest.raises(TypeError):
        type("Sub", (vok_sr.Searcher,), {})
