"""Output scaling: the rescalings a*f + b, a*f and f + b of every scored
formula offered as equations, on in VokRegressor, off in vok_sr."""

import pickle
import warnings

import numpy as np
import pandas as pd
import pytest
import sympy
from sklearn.model_selection import train_test_split

import vok_sr
from vok_learn import SearchStoppedWarning, VokRegressor, _engine
from vok_learn._cli import main

AFFINE_LAW = "Plus(Times(Times(v_{0}, v_{1}), C), C)"


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


@pytest.fixture(scope="module")
def readme_data():
    # The README's example, as written there.
    rng = np.random.default_rng(0)
    X = pd.DataFrame(rng.uniform(0.5, 2.0, size=(200, 2)), columns=["pressure", "volume"])
    y = 1.5 * X["pressure"] * X["volume"] + 0.5 + 0.05 * rng.normal(size=200)
    return train_test_split(X, y, random_state=0)


@pytest.fixture(scope="module")
def readme_model(readme_data):
    X_train, _, y_train, _ = readme_data
    # Every setting at its default but max_complexity (7 instead of 10, so
    # that the whole search takes seconds rather than the minute it is
    # given); the time limit only bounds a slow machine.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SearchStoppedWarning)
        return VokRegressor(time_limit=60, max_complexity=7, verbose=0).fit(X_train, y_train)


def test_the_readme_example_selects_the_scaled_law(readme_data, readme_model):
    _, X_test, _, y_test = readme_data
    expr = readme_model.sympy()
    pressure, volume = sympy.symbols("pressure volume")
    poly = sympy.Poly(sympy.expand(expr), pressure, volume)
    assert set(poly.monoms()) == {(1, 1), (0, 0)}, expr
    assert poly.coeff_monomial(pressure * volume) == pytest.approx(1.5, abs=0.05)
    assert poly.coeff_monomial(1) == pytest.approx(0.5, abs=0.05)
    row = readme_model.equations_.iloc[readme_model.best_index_]
    assert row["complexity"] == 7
    assert readme_model.score(X_test, y_test) > 0.998


def test_a_scaled_equation_round_trips_like_any_other(readme_data, readme_model):
    X_train, X_test, y_train, _ = readme_data
    # With vok_sr's refinement the search reaches the law only as the
    # rescaling of pressure*volume.
    run = _engine.search(X_train.to_numpy(), y_train.to_numpy(), max_complexity=7, ranking="affine",
                         output_scaling=True)
    (scaled,) = [e for e in run["equations"] if e["formula"] == AFFINE_LAW]
    tokens = scaled["tokens"]
    assert len([t for t in tokens if t[0] == "const"]) == 2
    assert _engine.validate(tokens) == tokens
    formula, latex, python = _engine.render(tokens)
    assert formula == AFFINE_LAW and "v_{0}" in latex and "v_{1}" in python
    ((assessed, nonreal),) = _engine.assess([tokens], _engine.Dataset(X_train.to_numpy(), y_train.to_numpy()))
    assert assessed == pytest.approx(scaled["error"], rel=1e-12) and not nonreal
    # The estimator's selected equation, scaled or not, goes the same ways.
    tokens = readme_model.equation_tokens_[readme_model.best_index_]
    predicted = readme_model.predict(X_test)
    evaluated = _engine.evaluate(tokens, X_test.to_numpy())
    assert np.array_equal(bits(evaluated), bits(predicted))
    np.testing.assert_allclose(readme_model.to_numpy()(X_test.to_numpy()), predicted, rtol=1e-13)
    text = readme_model.equations_["equation"].iloc[readme_model.best_index_]
    back = sympy.lambdify(sympy.symbols("pressure volume"), sympy.sympify(text), "numpy")
    np.testing.assert_allclose(back(X_test["pressure"], X_test["volume"]), predicted, rtol=1e-13)
    # Its loss is that of the formula evaluated on the training rows.
    loss = readme_model.equations_["loss"].iloc[readme_model.best_index_]
    ((assessed, nonreal),) = _engine.assess([tokens], _engine.Dataset(X_train.to_numpy(), readme_data[2].to_numpy()))
    assert bits([assessed]) == bits([loss]) and not nonreal
    copy = pickle.loads(pickle.dumps(readme_model))
    assert copy.equation_tokens_ == readme_model.equation_tokens_
    assert np.array_equal(bits(copy.predict(X_test)), bits(predicted))


@pytest.mark.parametrize("scaling", [{}, {"output_scaling": False}])
def test_off_the_engine_finds_what_vok_sr_finds(sin_product, scaling):
    X, y = sin_product
    settings = dict(max_complexity=5, beam_width=200, alpha=0.01, l1_ratio=0.3)
    listed = vok_sr.Searcher(**settings).find_candidates(X, y)
    run = _engine.search(X, y, exhaustive=True, **settings, **scaling)
    assert [(e["formula"], e["complexity"]) for e in run["equations"]] == [
        (c.formula, c.complexity) for c in listed]
    assert bits([e["error"] for e in run["equations"]]).tolist() == bits([c.error for c in listed]).tolist()


@pytest.mark.parametrize("ranking", ["raw", "affine"])
def test_on_a_law_is_found_from_its_scaled_part(ranking):
    # 2.5*exp(x0) - 1 is six tokens: offered as soon as level 2 scores
    # exp(x0), where the exact fit ends the search.
    rng = np.random.default_rng(8)
    X = rng.uniform(-1.0, 1.0, size=(40, 1))
    y = 2.5 * np.exp(X[:, 0]) - 1.0
    run = _engine.search(X, y, max_complexity=6, ranking=ranking, output_scaling=True)
    assert (run["stop_reason"], run["last_level"]) == ("early_exit", 2)
    best = run["equations"][0]
    assert best["formula"] == "Plus(Times(Exp(v_{0}), C), C)" and best["complexity"] == 6
    assert [t[1] for t in best["tokens"] if t[0] == "const"] == pytest.approx([2.5, -1.0], abs=1e-9)
    plain = _engine.search(X, y, max_complexity=6, ranking=ranking, output_scaling=False)
    assert plain["last_level"] == 6


@pytest.mark.parametrize("max_complexity", [3, 4, 5])
def test_no_rescaling_beyond_max_complexity(sin_product, max_complexity):
    X, y = sin_product
    run = _engine.search(X, y, max_complexity=max_complexity, exhaustive=True, output_scaling=True)
    assert max(e["complexity"] for e in run["equations"]) <= max_complexity


@pytest.mark.parametrize("output_scaling", [True, False])
def test_the_estimator_passes_output_scaling_to_the_search(monkeypatch, output_scaling):
    calls = []
    search = _engine.search
    monkeypatch.setattr(_engine, "search", lambda *a, **k: calls.append(k) or search(*a, **k))
    X = np.array([[1.0], [2.0], [3.0]])
    VokRegressor(max_complexity=3, verbose=0, output_scaling=output_scaling).fit(X, 2.0 * X[:, 0] + 1.0)
    assert calls[0]["output_scaling"] is output_scaling
    assert VokRegressor().get_params()["output_scaling"] is True


@pytest.mark.parametrize("flags, expected", [([], True), (["--no-output-scaling"], False)])
def test_the_cli_turns_output_scaling_off(tmp_path, monkeypatch, capsys, flags, expected):
    seen = []
    fit = VokRegressor.fit
    monkeypatch.setattr(VokRegressor, "fit", lambda self, X, y: seen.append(self.output_scaling) or fit(self, X, y))
    path = tmp_path / "data.csv"
    a = np.linspace(0.5, 2.0, 20)
    pd.DataFrame({"a": a, "y": 3.0 * a + 1.0}).to_csv(path, index=False)
    assert main(["fit", str(path), "--target", "y", "--max-complexity", "3", "--verbose", "0", *flags]) == 0
    assert seen == [expected]
    capsys.readouterr()
