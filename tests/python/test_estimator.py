"""VokRegressor: scikit-learn conformance, the equations table, model
selection, scaling, subsets, stopping, output and persistence."""

import copy
import io
import math
import pickle
import re
import textwrap
import warnings

import joblib
import numpy as np
import pandas as pd
import pytest
import sympy
from sklearn.base import clone
from sklearn.utils import estimator_checks
from sklearn.utils.estimator_checks import check_estimator

from vok_learn import SearchStoppedWarning, VokRegressor

from conftest import run_python, start_python


@pytest.fixture(scope="module")
def noisy():
    rng = np.random.default_rng(7)
    X = pd.DataFrame(rng.uniform(0.5, 2.0, size=(80, 2)), columns=["mass", "speed"])
    y = 0.5 * X["mass"] * X["speed"] ** 2 + 0.05 * rng.normal(size=80)
    return X, y


@pytest.fixture(scope="module")
def fitted(noisy):
    X, y = noisy
    return VokRegressor(max_complexity=6, verbose=0).fit(X, y)


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.SkipTestWarning")  # array API: not ours
@pytest.mark.filterwarnings("ignore:X has 30 columns")  # the sample-weight checks' wide tables
def test_passes_check_estimator():
    # Growing judges its candidates on a split of the rows: a weight of 2
    # keeps its row on one side, two copies of it may land on both.
    weights = "check_sample_weight_equivalence_on_dense_data"
    check_estimator(
        VokRegressor(max_complexity=3, verbose=0),
        expected_failed_checks={weights: "growing validates on a split of the rows"},
    )
    # The search itself weighs rows exactly as repetitions.
    getattr(estimator_checks, weights)("VokRegressor", VokRegressor(max_complexity=3, verbose=0, grow_terms=0))


@pytest.mark.parametrize(
    "setting, message",
    [
        (dict(alpha=-0.1), "alpha must be a finite number >= 0, got -0.1"),
        (dict(l1_ratio=1.5), r"l1_ratio must be a number in \[0, 1\], got 1.5"),
        (dict(max_complexity=0), "max_complexity must be an integer >= 1, got 0"),
        (dict(max_complexity=2.0), "max_complexity must be an integer >= 1, got 2.0"),
        (dict(beam_width=0), "beam_width must be an integer >= 1, got 0"),
        (dict(time_limit=0), r"time_limit must be None or a number of seconds > 0, got 0"),
        (dict(time_limit=math.nan), "time_limit must be None or a number of seconds > 0, got nan"),
        (dict(model_selection="fast"), "model_selection must be one of 'best', 'score', 'accuracy'"),
        (dict(max_samples=0), "max_samples must be 'auto', None or an integer >= 1, got 0"),
        (dict(max_samples="all"), "max_samples must be 'auto', None or an integer >= 1, got 'all'"),
        (dict(select_features=0), "select_features must be None or an integer >= 1, got 0"),
        (dict(select_features=2.0), "select_features must be None or an integer >= 1, got 2.0"),
        (dict(n_jobs=0), "n_jobs must be None or a non-zero integer, got 0"),
        (dict(verbose=3), "verbose must be 0, 1 or 2, got 3"),
        (dict(normalize_y="yes"), "normalize_y must be True or False, got 'yes'"),
        (dict(output_scaling=1), "output_scaling must be True or False, got 1"),
        (dict(ranking="scaled"), "ranking must be one of 'raw', 'affine', got 'scaled'"),
        (dict(constants="exact"), "constants must be one of 'fitted', 'named', 'both', got 'exact'"),
        (dict(constants=None), "constants must be one of 'fitted', 'named', 'both', got None"),
    ],
)
def test_settings_are_checked_at_fit(setting, message):
    model = VokRegressor(**setting)  # stored unchecked
    with pytest.raises(ValueError, match=message):
        model.fit([[1.0], [2.0]], [1.0, 2.0])


def test_dataframe_names_flow_into_equations(fitted, noisy):
    X, y = noisy
    assert list(fitted.feature_names_in_) == ["mass", "speed"]
    assert "mass" in fitted.equations_["equation"].iloc[fitted.best_index_]
    assert {str(s) for s in fitted.sympy().free_symbols} <= {"mass", "speed"}
    with warnings.catch_warnings(), pytest.raises(ValueError, match="X has 1 features, but VokRegressor is expecting 2"):
        warnings.simplefilter("ignore", UserWarning)  # "X does not have valid feature names"
        fitted.predict(X[["mass"]].to_numpy())
    plain = VokRegressor(max_complexity=3, verbose=0).fit(X.to_numpy(), y.to_numpy())
    assert not hasattr(plain, "feature_names_in_")
    assert re.search(r"\bx[01]\b", plain.equations_["equation"].iloc[-1])


def test_equations_table_is_a_pareto_front_scored_on_all_rows(fitted, noisy):
    X, y = noisy
    table = fitted.equations_
    assert list(table.columns) == ["complexity", "loss", "score", "equation", "sympy_format", "leaves_reals"]
    assert list(table.index) == list(range(len(table))) and len(table) >= 3
    # Each row improves on the one before by more than round-off.
    loss = table["loss"].to_numpy()
    assert np.all(np.diff(table["complexity"]) > 0) and np.all(loss[1:] < loss[:-1] * (1 - 1e-10))
    for i in range(len(table)):
        assert table["loss"].iloc[i] == pytest.approx(np.mean((fitted.predict(X, index=i) - y) ** 2), rel=1e-12)
    expected = -np.diff(np.log(table["loss"])) / np.diff(table["complexity"])
    np.testing.assert_allclose(table["score"].iloc[1:], expected, rtol=1e-12)
    assert table["score"].iloc[0] == 0.0
    assert table["leaves_reals"].dtype == bool


@pytest.mark.parametrize("selection", ["best", "score", "accuracy"])
def test_model_selection(noisy, selection):
    X, y = noisy
    model = VokRegressor(max_complexity=5, beam_width=300, verbose=0, model_selection=selection).fit(X, y)
    loss, score = model.equations_["loss"], model.equations_["score"]
    expected = {
        "accuracy": loss.idxmin(),
        "score": score.idxmax(),
        "best": score[loss <= 1.5 * loss.min()].idxmax(),
    }[selection]
    assert model.best_index_ == expected
    np.testing.assert_array_equal(model.predict(X), model.predict(X, index=expected))


def test_predict_index_positions(fitted, noisy):
    X, _ = noisy
    n = len(fitted.equations_)
    np.testing.assert_array_equal(fitted.predict(X, index=-1), fitted.predict(X, index=n - 1))
    with pytest.raises(IndexError, match=f"index {n} is out of range: equations_ has {n} row"):
        fitted.predict(X, index=n)
    with pytest.raises(TypeError, match="index must be an integer row position"):
        fitted.predict(X, index="0")


@pytest.mark.parametrize("scale", [1e-11, 1.0, 1e11])
def test_normalize_y_finds_the_law_at_any_scale(scale):
    rng = np.random.default_rng(1)
    X = rng.uniform(0.5, 2.0, size=(60, 2))
    y = scale * 2.5 * X[:, 0] / X[:, 1]
    model = VokRegressor(max_complexity=5, verbose=0).fit(X, y)
    best = model.equations_.iloc[model.best_index_]
    assert best["complexity"] == 5
    assert best["loss"] <= 1e-24 * np.mean(y**2)
    np.testing.assert_allclose(model.predict(X), y, rtol=1e-12)


def test_predict_keeps_values_beyond_the_search_guard():
    # n = x0 / exp(x1): on a new row with x1 = 40 the law passes through
    # exp(40) > 1e15, where the search's guard has no value, on its way to
    # the ordinary 2 exp(-40); exp(800) overflows and has none.
    from vok_learn import _engine

    rng = np.random.default_rng(3)
    X = rng.uniform(1.0, 5.0, size=(40, 2))
    model = VokRegressor(max_complexity=4, verbose=0).fit(X, X[:, 0] / np.exp(X[:, 1]))
    new = np.array([[2.0, 40.0], [2.0, 800.0]])
    assert np.isnan(_engine.evaluate(model.equation_tokens_[model.best_index_], new)).all()
    got = model.predict(new)
    np.testing.assert_allclose(got[0], 2.0 * math.exp(-40.0), rtol=1e-15)
    assert np.isnan(got[1])
    np.testing.assert_allclose(model.to_numpy()(new), got, rtol=1e-12, equal_nan=True)


def test_constant_free_law_keeps_its_size_and_to_numpy_follows_complex_values():
    # y = Re(sqrt(x)): the law goes through imaginary values for x < 0.
    x = np.linspace(-3.0, 3.0, 61).reshape(-1, 1)
    model = VokRegressor(max_complexity=4, verbose=0).fit(x, np.sqrt(np.maximum(x[:, 0], 0.0)))
    best = model.equations_.iloc[model.best_index_]
    assert (best["complexity"], best["equation"], best["leaves_reals"]) == (2, "sqrt(x0)", True)
    for i in range(len(model.equations_)):
        np.testing.assert_allclose(model.to_numpy(i)(x), model.predict(x, index=i), rtol=1e-12)


def test_max_samples_searches_a_seeded_subset_and_refits_on_all_rows():
    rng = np.random.default_rng(2)
    X = rng.uniform(0.5, 2.0, size=(400, 1))
    y = 3.0 * X[:, 0] + 0.1 * rng.normal(size=400)
    fits = [VokRegressor(max_complexity=3, max_samples=40, random_state=s, verbose=0).fit(X, y) for s in (0, 0, 1)]
    assert fits[0].equation_tokens_ == fits[1].equation_tokens_ != fits[2].equation_tokens_
    slope = (X[:, 0] @ y) / (X[:, 0] @ X[:, 0])  # least squares on all rows
    # The complexity-3 equation is a proportional law (C*x0 or x0/C): its
    # refitted constant is the slope over all 400 rows, not over the 40.
    table = fits[0].equations_
    (row,) = table.index[table["complexity"] == 3]
    assert fits[0].predict([[1.0], [2.0]], index=row) == pytest.approx([slope, 2 * slope], rel=1e-8)


@pytest.mark.parametrize("output_scaling", [False, True])
def test_time_limit_keeps_the_equations_so_far(output_scaling):
    rng = np.random.default_rng(3)
    X = rng.uniform(-2.0, 2.0, size=(200, 3))
    y = X[:, 0] * np.cos(X[:, 1]) + 0.01 * rng.normal(size=200)
    stopped = r"time limit of 0.2 s during level (\d+) of 14 \(level (\d+) was the last one completed\)"
    with pytest.warns(SearchStoppedWarning, match=stopped) as caught:
        model = VokRegressor(max_complexity=14, time_limit=0.2, verbose=0, output_scaling=output_scaling).fit(X, y)
    assert model.stop_reason_ == "time_limit"
    assert np.all(np.isfinite(model.predict(X)))
    during, completed = map(int, re.search(stopped, str(caught[0].message)).groups())
    # The levels scored so far, and with output scaling their rescalings,
    # up to 4 tokens larger.
    assert during == completed + 1
    assert model.equations_["complexity"].max() <= during + (4 if output_scaling else 0)


def test_ctrl_c_returns_a_usable_estimator():
    # verbose=2 prints the engine's level lines: SIGINT is sent, as Ctrl-C
    # would be, once level 2 is done.
    code = textwrap.dedent(
        """
        import warnings
        import numpy as np
        from vok_learn import VokRegressor
        rng = np.random.default_rng(1)
        X = rng.uniform(-2, 2, size=(60, 3)); y = X[:, 0] * np.cos(X[:, 1]) + rng.normal(size=60) * 0.01
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            model = VokRegressor(max_complexity=14, verbose=2).fit(X, y)
        print("fitted:", model.stop_reason_, [w.category.__name__ for w in caught], model.predict(X).shape)
        """
    )
    with start_python(code, doing="a max_complexity=14 fit that Ctrl-C should stop") as child:
        child.wait_for_output(rb"Level 2 processed", within=60)
        child.interrupt()
        proc = child.finish(within=30, waiting_for="waiting for the fit to stop after SIGINT")
    assert proc.returncode == 0, proc.stderr.decode()
    fitted = proc.stdout.decode().rsplit("fitted:", 1)[1].split()
    assert fitted == ["cancelled", "['SearchStoppedWarning']", "(60,)"], proc.stdout.decode()


@pytest.mark.parametrize("verbose", [0, 1, 2])
def test_verbose_levels_print_where_they_should(verbose):
    code = f"""
from vok_learn import VokRegressor
VokRegressor(max_complexity=3, verbose={verbose}).fit([[1.0], [2.0], [3.0], [4.0]], [1.0, 4.5, 9.0, 16.5])
"""
    proc = run_python(code)
    out, err = proc.stdout.decode(), proc.stderr.decode()
    assert proc.returncode == 0, err
    assert (out != "", err != "") == {0: (False, False), 1: (False, True), 2: (True, False)}[verbose]
    if verbose == 1:
        assert "level 3" in err and "best loss" in err
    if verbose == 2:
        assert "[VOK-SR]" in out


def test_persistence_round_trips_bit_for_bit(fitted, noisy):
    X, _ = noisy
    before = fitted.predict(X).view(np.uint64)
    buffer = io.BytesIO()
    joblib.dump(fitted, buffer)
    buffer.seek(0)
    copies = [pickle.loads(pickle.dumps(fitted)), joblib.load(buffer), copy.copy(fitted), copy.deepcopy(fitted)]
    for other in copies:
        np.testing.assert_array_equal(other.predict(X).view(np.uint64), before)
        assert other.equations_["equation"].tolist() == fitted.equations_["equation"].tolist()
    f = pickle.loads(pickle.dumps(fitted.to_numpy()))
    np.testing.assert_allclose(f(X), fitted.predict(X), rtol=1e-12)
    fresh = clone(fitted)
    assert fresh.get_params() == fitted.get_params() and not hasattr(fresh, "equations_")


@pytest.mark.parametrize("ranking", ["raw", "affine"])
@pytest.mark.parametrize("constants", ["fitted", "named", "both"])
def test_ranking_and_constants_reach_the_search(monkeypatch, ranking, constants):
    from vok_learn import _engine

    calls = []
    search = _engine.search
    monkeypatch.setattr(_engine, "search", lambda *a, **k: calls.append(k) or search(*a, **k))
    model = VokRegressor(max_complexity=3, verbose=0, ranking=ranking, constants=constants)
    assert clone(model).get_params()["ranking"] == ranking
    assert clone(model).get_params()["constants"] == constants
    X = np.array([[1.0], [2.0], [3.0]])
    model.fit(X, np.pi * X[:, 0])
    assert (calls[0]["ranking"], calls[0]["constants"]) == (ranking, constants)
    leaves = {t[0] for tokens in model.equation_tokens_ for t in tokens} - {"op", "var"}
    assert leaves <= {"fitted": {"const"}, "named": {"named"}, "both": {"const", "named"}}[constants]


def test_defaults_of_ranking_and_constants_are_the_module_constants():
    from vok_learn import _estimator

    params = VokRegressor().get_params()
    assert (params["ranking"], params["constants"]) == (_estimator.DEFAULT_RANKING, _estimator.DEFAULT_CONSTANTS)


def test_named_constants_in_every_export_and_scaling():
    # y = 1e-11 * (pi*x0 + e): found with the named leaves only, then scaled
    # back by a fixed factor, since nothing in the formula is fitted.
    rng = np.random.default_rng(5)
    X = rng.uniform(0.5, 2.0, size=(40, 1))
    y = 1e-11 * (np.pi * X[:, 0] + np.e)
    model = VokRegressor(max_complexity=5, verbose=0, constants="named").fit(X, y)
    best = model.best_index_
    assert model.equations_["loss"].iloc[best] <= 1e-24 * np.mean(y**2)
    expr = model.sympy()
    assert expr.has(sympy.pi) and expr.has(sympy.E)
    assert {float(f) for f in expr.atoms(sympy.Float)} == {1e-11}  # only the scale factor
    np.testing.assert_allclose(sympy.lambdify(sympy.Symbol("x0"), expr)(X[:, 0]), model.predict(X), rtol=1e-12)
    assert r"\pi" in model.latex() and "e" in model.latex()
    text = model.equations_["equation"].iloc[best]
    assert "pi" in text and "E" in text
    np.testing.assert_allclose(model.to_numpy()(X), model.predict(X), rtol=1e-12)
    back = sympy.lambdify(sympy.Symbol("x0"), sympy.sympify(text), "numpy")(X[:, 0])
    np.testing.assert_allclose(back, model.predict(X), rtol=1e-12)
    assert not model.equations_["leaves_reals"].iloc[best]


def test_named_constants_are_not_refitted_on_all_rows():
    # On a subset the search finds pi*x0 exactly; refitting on all rows must
    # leave the named constant as it is (it has no fitted value).
    rng = np.random.default_rng(6)
    X = rng.uniform(0.5, 2.0, size=(200, 1))
    y = np.pi * X[:, 0] + 1e-3 * rng.normal(size=200)
    model = VokRegressor(max_complexity=3, verbose=0, constants="named", max_samples=20, random_state=0).fit(X, y)
    tokens = model.equation_tokens_[-1]
    assert ("named", 3, "Pi") in tokens and not any(t[0] == "const" for t in tokens)


def test_works_inside_scikit_learn_tools(noisy):
    from sklearn.model_selection import GridSearchCV, cross_val_score
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import FunctionTransformer

    X, y = noisy
    pipe = make_pipeline(FunctionTransformer(), VokRegressor(max_complexity=3, beam_width=50, verbose=0))
    scores = cross_val_score(pipe, X, y, cv=3)
    assert scores.shape == (3,) and np.all(np.isfinite(scores))
    grid = GridSearchCV(pipe, {"vokregressor__model_selection": ["accuracy", "score"]}, cv=2).fit(X, y)
    assert grid.best_params_["vokregressor__model_selection"] in ("accuracy", "score")
    assert grid.predict(X).shape == y.shape


@pytest.mark.parametrize(
    "params, elapsed, expected",
    [
        (dict(), 0.0, dict(max_complexity=10, beam_width=1000, complexity_penalty=0.1, alpha=0.0, l1_ratio=0.5,
                           ranking="affine", constants="fitted", operators=None, output_scaling=True,
                           time_limit=None, output="silent")),
        (dict(time_limit=5.0, verbose=2, ranking="raw", constants="both", max_complexity=4, beam_width=7,
              complexity_penalty=0.25, alpha=0.5, l1_ratio=1, operators=["sqrt", "+"], output_scaling=np.False_),
         2.0, dict(max_complexity=4, beam_width=7, complexity_penalty=0.25, alpha=0.5, l1_ratio=1.0,
                   ranking="raw", constants="both", operators=("Plus", "Sqrt"), output_scaling=False,
                   time_limit=3.0, output="stdout")),
        # A limit already spent leaves none; an infinite one is no limit.
        (dict(time_limit=1.0, verbose=1), 4.0, dict(time_limit=0.0, output="silent")),
        (dict(time_limit=math.inf), 4.0, dict(time_limit=None)),
    ],
)
def test_search_settings_are_derived_from_the_parameters(params, elapsed, expected):
    import dataclasses
    import time

    from vok_learn._settings import SearchSettings

    start = time.monotonic() - elapsed
    settings = SearchSettings.from_estimator(VokRegressor(**params), threads=3, start=start)
    kwargs = settings.engine_kwargs()
    assert kwargs["threads"] == 3
    for name, value in expected.items():
        if name == "time_limit" and value:
            # The time spent since `start` is taken off, to within this test's own time.
            assert value - 1.0 < kwargs[name] <= value, name
        else:
            assert kwargs[name] == value and type(kwargs[name]) is type(value), name
    with pytest.raises(dataclasses.FrozenInstanceError):
        settings.beam_width = 5  # type: ignore[misc]


def test_auto_max_samples_is_a_seeded_subset_only_on_large_tables(monkeypatch):
    import vok_learn._estimator as estimator

    monkeypatch.setattr(estimator, "AUTO_MAX_SAMPLES", 60)
    rng = np.random.default_rng(4)
    X = rng.uniform(0.5, 2.0, size=(300, 1))
    y = 3.0 * X[:, 0] + 0.1 * rng.normal(size=300)

    def tokens(n, **params):
        return VokRegressor(max_complexity=3, verbose=0, **params).fit(X[:n], y[:n]).equation_tokens_

    # Above the limit, "auto" is max_samples=limit with seed 0 unless told
    # otherwise; at or below it, all rows.
    assert tokens(300) == tokens(300, max_samples=60, random_state=0) != tokens(300, max_samples=None)
    assert tokens(300, random_state=5) == tokens(300, max_samples=60, random_state=5)
    assert tokens(60) == tokens(60, max_samples=None)


def test_predict_in_blocks_equals_one_evaluation(monkeypatch, fitted, noisy):
    import vok_learn._estimator as estimator
    from vok_learn import _engine

    X = np.vstack([noisy[0].to_numpy()] * 3)
    X[::7, 0] = 0.0  # rows where a quotient or logarithm has no value
    for i in range(len(fitted.equations_)):
        whole = _engine.evaluate(fitted.equation_tokens_[i], X, guard=False)
        for block in (1, 13, len(X) - 1):
            monkeypatch.setattr(estimator, "PREDICT_BLOCK_ROWS", block)
            np.testing.assert_array_equal(fitted.predict(pd.DataFrame(X, columns=["mass", "speed"]), index=i), whole)


def test_several_targets_point_to_multioutputregressor():
    from sklearn.multioutput import MultiOutputRegressor

    rng = np.random.default_rng(5)
    X = rng.uniform(1.0, 2.0, size=(40, 2))
    Y = np.column_stack([2.0 * X[:, 0], X[:, 0] * X[:, 1]])
    with pytest.raises(ValueError, match=r"y has 2 columns.*MultiOutputRegressor\(VokRegressor"):
        VokRegressor(max_complexity=3, verbose=0).fit(X, Y)
    assert not VokRegressor().__sklearn_tags__().target_tags.multi_output
    both = MultiOutputRegressor(VokRegressor(max_complexity=3, verbose=0)).fit(X, Y)
    np.testing.assert_allclose(both.predict(X), Y, rtol=1e-9)
    with pytest.warns(Warning, match="column-vector y"):
        one = VokRegressor(max_complexity=3, verbose=0).fit(X, Y[:, :1])
    assert one.predict(X).shape == (40,)


def test_select_features_searches_the_ranked_columns_under_their_own_names():
    rng = np.random.default_rng(6)
    names = [f"c{j}" for j in range(25)]
    X = pd.DataFrame(rng.uniform(1.0, 2.0, size=(300, 25)), columns=names)
    y = X["c17"] * X["c3"]
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no warning about the width: the search sees two columns
        model = VokRegressor(max_complexity=3, verbose=0, select_features=2).fit(X, y)
    assert model.selected_features_.tolist() == [3, 17]
    best = model.equations_.iloc[model.best_index_]
    assert best["equation"] in ("c3*c17", "c17*c3") and best["loss"] < 1e-20
    np.testing.assert_allclose(model.predict(X), y, rtol=1e-12)
    # More columns asked for than there are: all of them.
    assert VokRegressor(max_complexity=1, verbose=0, select_features=40).fit(X.iloc[:, :3], y).selected_features_.tolist() == [0, 1, 2]


@pytest.mark.parametrize("columns, warned", [(20, False), (21, True)])
def test_many_columns_without_selection_warn_of_the_level_width(columns, warned):
    rng = np.random.default_rng(8)
    X = rng.uniform(1.0, 2.0, size=(30, columns))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        VokRegressor(max_complexity=1, verbose=0).fit(X, X[:, 0])
    wide = [w for w in caught if "select_features=k" in str(w.message)]
    assert len(wide) == (1 if warned else 0)
    if warned:
        assert re.search(rf"X has {columns} columns, .* level 3 up to [\d.e+]+ formulas \(with 5 columns", str(wide[0].message))


@pytest.mark.parametrize(
    "weights, message",
    [
        (-np.ones(30), "Negative values in data passed to `sample_weight`"),
        (np.r_[np.nan, np.ones(29)], "Input sample_weight contains NaN"),
        (np.r_[np.inf, np.ones(29)], "Input sample_weight contains infinity"),
        (np.zeros(30), "Sample weights must contain at least one non-zero number"),
        (np.ones(29), r"sample_weight.shape == \(29,\), expected \(30,\)"),
    ],
)
def test_bad_sample_weights_raise(weights, message):
    X = np.linspace(1.0, 2.0, 30)[:, None]
    with pytest.raises(ValueError, match=message):
        VokRegressor(max_complexity=2, verbose=0).fit(X, X[:, 0], sample_weight=weights)


def bits(model):
    return repr(model.equation_tokens_), model.equations_["loss"].to_numpy().view(np.uint64).tolist()


@pytest.mark.parametrize("settings", [dict(), dict(ranking="raw", output_scaling=False, alpha=0.01),
                                      dict(max_samples=50, random_state=1)])
def test_weights_of_one_are_bit_identical_to_none_and_zero_weights_drop_rows(noisy, settings):
    X, y = noisy
    fit = dict(max_complexity=5, verbose=0, **settings)
    plain = VokRegressor(**fit).fit(X, y)
    assert bits(VokRegressor(**fit).fit(X, y, sample_weight=np.ones(len(y)))) == bits(plain)
    assert bits(VokRegressor(**fit).fit(X, y, sample_weight=1.0)) == bits(plain)
    # Rows of weight 0 are not there at all; the others' equal weights
    # (2, scaled to 1) are no weights.
    extra = pd.concat([X, X.iloc[:7] * 3.0]), pd.concat([y, y.iloc[:7] - 50.0])
    padded = VokRegressor(**fit).fit(*extra, sample_weight=np.r_[np.full(len(y), 2.0), np.zeros(7)])
    assert bits(padded) == bits(plain)


def test_weighted_fit_ignores_rows_of_negligible_weight_and_reports_the_weighted_loss():
    rng = np.random.default_rng(9)
    X = rng.uniform(1.0, 3.0, size=(300, 2))
    y = 2.5 * X[:, 0] / X[:, 1]
    bad = rng.random(300) < 0.3
    y_bad = np.where(bad, rng.uniform(-50.0, 50.0, size=300), y)
    w = np.where(bad, 1e-12, rng.uniform(0.5, 2.0, size=300))
    model = VokRegressor(max_complexity=5, verbose=0).fit(X, y_bad, sample_weight=w)
    np.testing.assert_allclose(model.predict(X), y, rtol=1e-6)
    unweighted = VokRegressor(max_complexity=5, verbose=0).fit(X, y_bad)
    assert not np.allclose(unweighted.predict(X), y, rtol=1e-3)
    for i in range(len(model.equations_)):
        expected = np.average((model.predict(X, index=i) - y_bad) ** 2, weights=w)
        assert model.equations_["loss"].iloc[i] == pytest.approx(expected, rel=1e-9)
