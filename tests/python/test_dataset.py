"""The private module's dataset and the calls on it after a search: one
evaluation per equation for its loss and leaves_reals (assess), and the
engine's constant refinement on all rows (refine, and the estimator's
refit built on it)."""

import math
import time

import numpy as np
import pytest

from vok_learn import _engine
from vok_learn._complex import leaves_reals
from vok_learn._estimator import _refit

V0, V1 = ("var", 0), ("var", 1)
C = ("const", 1.0)
PLUS, TIMES = ("op", 8, "Plus"), ("op", 9, "Times")
UNARY = [(i, name) for i, name, arity in _engine.operators() if arity == 1]
BINARY = [(i, name) for i, name, arity in _engine.operators() if arity == 2]
NAMED = [(i, name) for i, name, arity in _engine.operators() if arity == 0]


def random_formula(rng, size, n_vars, const_range=(-2.0, 2.0)):
    """A postfix token list of exactly `size` tokens: a unary node when two
    tokens are left, else unary or binary on a coin flip, as the engine's
    test helper builds its random trees."""
    if size == 1:
        kind = rng.integers(5)
        if kind <= 1:
            return [("var", int(rng.integers(n_vars)))]
        if kind == 2:
            return [("const", float(rng.uniform(*const_range)))]
        if kind == 3:
            return [("literal", float(rng.choice([-1.0, 0.5, 2.0, 3.0])))]
        i, name = NAMED[rng.integers(len(NAMED))]
        return [("named", i, name)]
    if size == 2 or rng.integers(2) == 0:
        i, name = UNARY[rng.integers(len(UNARY))]
        return random_formula(rng, size - 1, n_vars, const_range) + [("op", i, name)]
    left = 1 + int(rng.integers(size - 2))
    i, name = BINARY[rng.integers(len(BINARY))]
    return (
        random_formula(rng, left, n_vars, const_range)
        + random_formula(rng, size - 1 - left, n_vars, const_range)
        + [("op", i, name)]
    )


def numpy_mse(prediction, y):
    """The mean squared error as the estimator has always reported it."""
    if not np.all(np.isfinite(prediction)):
        return math.inf
    return float(np.mean(np.square(prediction - y)))


@pytest.fixture(scope="module")
def problem():
    rng = np.random.default_rng(11)
    X = rng.uniform(-3.0, 3.0, size=(1500, 3))
    y = np.sin(X[:, 0]) * X[:, 1] + 0.1 * rng.normal(size=1500)
    return X, y


# ------------------------------------------------------------- layouts


def layouts(X):
    """One matrix in the layouts a caller may hand over."""
    wide = np.zeros((X.shape[0] * 2, X.shape[1] * 3))
    wide[::2, ::3] = X
    return {
        "C order": np.ascontiguousarray(X),
        "Fortran order": np.asfortranarray(X),
        "every other row and column": wide[::2, ::3],
        "reversed": np.ascontiguousarray(X[::-1, ::-1])[::-1, ::-1],
        "transposed": np.ascontiguousarray(X.T).T,
        "big-endian": X.astype(">f8"),
        "list": X.tolist(),
    }


def test_every_layout_gives_the_same_dataset(problem):
    X, y = problem
    X = X[:40]
    forms = layouts(X)
    tokens = [random_formula(np.random.default_rng(s), 7, 3) for s in range(20)]
    want = _engine.Dataset(X, y[:40])
    assert (want.rows, want.cols) == (40, 3)
    want_summaries = _engine.assess(tokens, want)
    for name, form in forms.items():
        data = _engine.Dataset(form, y[:40])
        assert (data.rows, data.cols) == (40, 3), name
        for j in range(3):
            assert np.array_equal(data.column(j).view(np.uint64), np.asarray(X[:, j]).view(np.uint64)), name
        assert np.array_equal(data.targets(), y[:40]), name
        assert _engine.assess(tokens, data) == want_summaries, name
    # A strided target vector too.
    strided_y = np.repeat(y[:40], 2)[::2]
    assert _engine.assess(tokens, _engine.Dataset(X, strided_y)) == want_summaries


def test_float64_views_are_read_where_they_lie(problem):
    X, y = problem
    view = np.asfortranarray(X)[5:25, 1:]
    assert not view.flags.c_contiguous and not view.flags.f_contiguous
    data = _engine.Dataset(view, y[5:25])
    for j in range(2):
        assert np.array_equal(data.column(j), X[5:25, j + 1])
    # Evaluation takes any layout as well.
    tokens = [V0, V1, TIMES]
    assert np.array_equal(_engine.evaluate(tokens, view), view[:, 0] * view[:, 1])
    assert np.array_equal(_engine.evaluate(tokens, X[::-1]), X[::-1, 0] * X[::-1, 1])


@pytest.mark.parametrize(
    "X, y, error, message",
    [
        # The first row holding NaN or infinity in any column, in row order.
        (np.array([[0.0, 1.0], [0.0, math.inf], [0.0, 0.0], [math.nan, 0.0]]), np.ones(4), ValueError,
         r"X contains NaN or infinity \(at row 1\)"),
        (np.ones((3, 1)), [1.0, 2.0, math.nan], ValueError, r"y contains NaN or infinity \(at row 2\)"),
        (np.ones((3, 1)), np.ones(2), ValueError, "same number of rows"),
        (np.ones((0, 1)), np.ones(0), ValueError, "at least one"),
        (np.ones(3), np.ones(3), ValueError, "X must be a 2-D array"),
        (np.ones((3, 1)) * 1j, np.ones(3), ValueError, "not complex numbers"),
        (np.ones((2, 256)), np.ones(2), ValueError, "X has 256 columns; at most 255"),
    ],
)
def test_dataset_refuses_what_a_search_refuses(X, y, error, message):
    with pytest.raises(error, match=message):
        _engine.Dataset(X, y)
    with pytest.raises(error, match=message):
        _engine.search(X, y, max_complexity=1)


# ------------------------------------------------------------- assess


@pytest.mark.parametrize("rows", [1, 7, 8, 9, 128, 129, 255, 256, 257, 1000, 4099, 20000])
def test_assess_loss_is_numpys_mean_of_the_squares_bit_for_bit(rows):
    # Row counts around the pairwise blocks (8, 128) and the evaluation
    # blocks (256), where an order of addition other than NumPy's shows.
    rng = np.random.default_rng(rows)
    X = rng.uniform(-3.0, 3.0, size=(rows, 2))
    y = rng.normal(size=rows) * 1e3
    formula = [V0, V0, TIMES]
    ((loss, _),) = _engine.assess([formula], _engine.Dataset(X, y))
    assert loss == numpy_mse(_engine.evaluate(formula, X), y)


def test_assess_equals_the_evaluation_and_the_mirror_on_random_formulas(problem):
    X, y = problem
    rng = np.random.default_rng(5)
    formulas = [random_formula(rng, int(rng.integers(1, 12)), 3) for _ in range(300)]
    # Named leaves only (I among them) and real inputs: both flags occur.
    formulas += [[("named", 2, "I"), V0, TIMES], [V0, ("op", 14, "Sqrt")], [V0, ("op", 21, "Square")]]
    summaries = _engine.assess(formulas, _engine.Dataset(X, y))
    assert len(summaries) == len(formulas)
    seen = {"finite": 0, "infinite": 0, "non-real": 0, "real": 0}
    for tokens, (loss, nonreal) in zip(formulas, summaries):
        prediction = _engine.evaluate(tokens, X)
        want = numpy_mse(prediction, y)
        assert loss == want or (math.isinf(loss) and math.isinf(want)), tokens
        assert nonreal == leaves_reals(tokens, X), tokens
        seen["finite" if math.isfinite(loss) else "infinite"] += 1
        seen["non-real" if nonreal else "real"] += 1
    assert all(count > 10 for count in seen.values()), seen


def test_assess_counts_only_rows_with_a_value():
    # log(sqrt(x0)**2 + 1): at x0 = -1 it passes through i and has no value
    # (the logarithm of 0); at 3 it stays real; at -4 it ends non-real.
    tokens = [V0, ("op", 14, "Sqrt"), ("op", 21, "Square"), ("literal", 1.0), PLUS, ("op", 13, "Log")]
    for column, loss_is_finite, nonreal in [
        ([3.0], True, False),
        ([-1.0, 3.0], False, False),
        ([-1.0, 3.0, -4.0], False, True),
        ([3.0, -4.0], True, True),
    ]:
        X = np.array(column).reshape(-1, 1)
        ((loss, flag),) = _engine.assess([tokens], _engine.Dataset(X, np.zeros(len(column))))
        assert (math.isfinite(loss), flag) == (loss_is_finite, nonreal), column
        assert flag == leaves_reals(tokens, X), column


def test_assess_and_refine_refuse_bad_arguments(problem):
    X, y = problem
    data = _engine.Dataset(X, y)
    with pytest.raises(TypeError, match="data must be a vok_learn._engine.Dataset, not tuple"):
        _engine.assess([[V0]], (X, y))
    with pytest.raises(ValueError, match="equation 1 reads column 3 but X has 3 columns"):
        _engine.assess([[V0], [("var", 3)]], data)
    with pytest.raises(ValueError, match="token 0"):
        _engine.refine([[("bogus",)]], data)
    with pytest.raises(ValueError, match="time_limit must be a non-negative"):
        _engine.refine([[C]], data, time_limit=-1.0)
    with pytest.raises(IndexError, match="column 3 of a dataset of 3 columns"):
        data.column(3)


# ------------------------------------------------------------- refine


@pytest.fixture(scope="module")
def line():
    """y = 3 x0 on 200 rows with mean(x0**2) = 1.75, and the formula C * x0."""
    x = np.linspace(0.5, 2.0, 200).reshape(-1, 1)
    return _engine.Dataset(x, 3.0 * x[:, 0]), [C, V0, TIMES]


def fitted_constant(data, start, **penalty):
    ((tokens, _, _),) = _engine.refine([[("const", start), V0, TIMES]], data, **penalty)
    return tokens[0][1]


def test_refine_fits_the_constants_and_reports_the_plain_loss(line):
    data, tokens = line
    ((refitted, loss, nonreal),) = _engine.refine([tokens], data)
    assert refitted[0][1] == pytest.approx(3.0, rel=1e-6)
    assert refitted[1:] == tokens[1:]
    assert [(loss, nonreal)] == _engine.assess([refitted], data)
    assert loss < 1e-10 and not nonreal


# The refinement takes Gauss-Newton steps on the squared error and keeps a
# step only if it lowers the penalised error. From C = 0.1 the step to C = 3
# trades an error of 2.9**2 * 1.75 = 14.72 for the penalty at 3: with an L1
# penalty (l1_ratio 1) taken for alpha < 5.07, with an L2 one (l1_ratio 0)
# for alpha < 3.27.
@pytest.mark.parametrize(
    "alpha, l1_ratio, moves",
    [(0.0, 0.5, True), (4.0, 1.0, True), (4.0, 0.0, False), (10.0, 1.0, False), (10.0, 0.0, False),
     (2.0, 0.0, True)],
)
def test_a_penalised_refit_keeps_constants_small(line, alpha, l1_ratio, moves):
    data, _ = line
    value = fitted_constant(data, 0.1, alpha=alpha, l1_ratio=l1_ratio)
    if moves:
        assert value == pytest.approx(3.0, abs=1e-3)
    else:
        assert value == 0.1


def test_refine_without_iterations_or_time_gives_the_formula_back(line):
    data, tokens = line
    start = _engine.assess([tokens], data)[0]
    for kwargs in (dict(iterations=0), dict(time_limit=0.0)):
        ((refitted, loss, nonreal),) = _engine.refine([tokens], data, **kwargs)
        assert refitted == tokens and (loss, nonreal) == start, kwargs
    # A formula without constants comes back as it is.
    ((same, loss, _),) = _engine.refine([[V0, V0, TIMES]], data)
    assert same == [V0, V0, TIMES] and loss == _engine.assess([[V0, V0, TIMES]], data)[0][0]


def test_an_unpenalised_refit_never_raises_the_loss(problem):
    X, y = problem
    data = _engine.Dataset(X[:300], y[:300])
    rng = np.random.default_rng(8)
    formulas = []
    while len(formulas) < 60:
        tokens = random_formula(rng, int(rng.integers(3, 10)), 3, const_range=(-1.5, 1.5))
        if any(t[0] == "const" for t in tokens):
            formulas.append(tokens)
    starts = _engine.assess(formulas, data)
    refits = _engine.refine(formulas, data)
    improved = 0
    for (start_loss, _), (tokens, loss, nonreal) in zip(starts, refits):
        assert loss <= start_loss
        assert [(loss, nonreal)] == _engine.assess([tokens], data)
        improved += loss < start_loss
    assert improved > 10


def test_the_estimator_refit_keeps_only_what_lowers_the_loss(problem, monkeypatch):
    X, y = problem
    data = _engine.Dataset(X[:200], y[:200])
    rng = np.random.default_rng(21)
    formulas = [[("const", 0.2), V0, ("op", 15, "Sin"), TIMES, V1, TIMES], [V0, V1, PLUS]]
    while len(formulas) < 40:
        tokens = random_formula(rng, int(rng.integers(3, 9)), 3, const_range=(-1.5, 1.5))
        if any(t[0] == "const" for t in tokens):
            formulas.append(tokens)
    start = [(t, *summary) for t, summary in zip(formulas, _engine.assess(formulas, data))]
    plain = _refit(start, data, 0.0, 0.5, None)
    assert plain[0][1] < start[0][1] and plain[0][0][0][1] == pytest.approx(1.0, abs=0.05)
    assert plain[1] == start[1]  # no constants
    for alpha, l1_ratio in [(0.0, 0.5), (0.3, 0.0), (0.3, 1.0)]:
        refitted = _refit(start, data, alpha, l1_ratio, None)
        for before, after in zip(start, refitted):
            assert after == before or after[1] < before[1]
            assert [after[1:]] == _engine.assess([after[0]], data)
    # Past the deadline nothing is refitted.
    assert _refit(start, data, 0.0, 0.5, time.monotonic() - 1.0) == start
    # A refit that comes back worse, or no better, is dropped.
    worse = [(t, loss * 2.0 + 1.0, not nonreal) for t, loss, nonreal in start]
    monkeypatch.setattr(_engine, "refine", lambda equations, *args, **kwargs: worse[: len(equations)])
    assert _refit(start[:1], data, 0.0, 0.5, None) == start[:1]
