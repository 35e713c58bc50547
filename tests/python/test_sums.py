"""Sums of monomials and formulas after the search, chosen a term at a time
and judged on rows the choice never saw."""

import time

import numpy as np
import pytest

from vok_learn import VokRegressor, _engine, _sums
from vok_learn._growth import GrowthData
from vok_learn._units import UnitDimensions


def fit(X, y, **params):
    return VokRegressor(**{"max_complexity": 5, "beam_width": 200, "verbose": 0, **params}).fit(X, y)


def most_accurate(model):
    row = int(np.argmin(model.equations_["loss"].to_numpy()))
    return model.equations_.iloc[row], model.equation_tokens_[row]


def operator_names(tokens):
    return {t[2] for t in tokens if t[0] == "op"}


# Polynomials no search of five tokens writes, nor a term or a factor of up
# to five tokens completes: sums of four and more monomials.
@pytest.mark.parametrize(
    "law",
    [
        lambda X: X[:, 0] ** 5 + X[:, 0] ** 4 + X[:, 0] ** 3 + X[:, 0] ** 2 + X[:, 0],
        lambda X: X[:, 0] ** 3 - 2.0 * X[:, 0] * X[:, 1] + 0.5 * X[:, 1] ** 2 + X[:, 0] + 3.0,
    ],
    ids=["one_feature", "two_features"],
)
def test_a_polynomial_beyond_the_search_is_found_as_a_sum(law):
    rng = np.random.default_rng(1)
    X = rng.uniform(-1.0, 1.0, size=(40, 2))
    y = law(X)
    model = fit(X, y)
    row, tokens = most_accurate(model)
    assert row["complexity"] > 5
    assert row["loss"] < 1e-20
    np.testing.assert_allclose(model.predict(X), y, rtol=1e-9, atol=1e-12)
    plain = fit(X, y, grow_terms=0)
    assert plain.equations_["loss"].min() > 1e-6


@pytest.mark.parametrize(
    "low, high, divides",
    [(1.0, 5.0, True), (0.01, 5.0, False), (-1.0, 1.0, False), (-5.0, -1.0, True)],
)
def test_a_feature_is_divided_by_only_on_a_range_away_from_zero(low, high, divides):
    rng = np.random.default_rng(0)
    X = np.column_stack([rng.uniform(low, high, 30), rng.uniform(1.0, 2.0, 30)])
    y = X[:, 1]
    terms, _, bases = _sums._library([], GrowthData(X, X, y, None, [0, 1], _engine.Dataset(X, y)), None)
    assert bases == 0 and terms
    # A monomial's exponent of x0, from its values with x0 doubled.
    doubled = X * [2.0, 1.0]
    exponents = [
        np.round(np.log2(np.real(_engine.evaluate(t, doubled)) / np.real(_engine.evaluate(t, X)))[0])
        for t in terms
    ]
    over_x0 = [e for e in exponents if e < 0]
    assert bool(over_x0) == divides


@pytest.mark.parametrize(
    "names",
    [None, {"Plus", "Times"}, {"Plus", "Times", "Square"}, {"Plus", "Times", "Divide"}, {"Plus", "Times", "Inv"}],
)
def test_monomials_are_written_with_the_operators_of_the_set_and_have_the_values_chosen_on(names):
    rng = np.random.default_rng(2)
    X = rng.uniform(1.0, 2.0, size=(30, 2))
    y = X[:, 0]
    terms, library, _ = _sums._library([], GrowthData(X, X, y, None, [0, 1], _engine.Dataset(X, y)), names)
    assert len(terms) == library.shape[1] > 2
    for tokens, column in zip(terms, library.T):
        assert names is None or operator_names(tokens) <= names
        np.testing.assert_allclose(np.real(_engine.evaluate(tokens, X)), column, rtol=1e-13)
    # 1/x needs Divide or Inv; the sixth powers, which Square and Cube
    # write, are there without them too.
    divides = names is None or bool(names & {"Divide", "Inv"})
    assert (library.min() < 1.0) == divides
    assert np.isclose(library.max(), X.max() ** 6)


@pytest.mark.parametrize("weights", ["zero_check", "zero_all"])
def test_rows_of_no_weight_leave_nothing_to_choose(weights):
    y = np.linspace(0.0, 1.0, 30)
    library = np.column_stack([y, y**2])
    w = np.ones(30)
    fit_rows, check_rows = np.arange(20), np.arange(20, 30)
    w[check_rows if weights == "zero_check" else slice(None)] = 0.0
    assert _sums._forward(library, y, w, fit_rows, check_rows, 1.5) == []


def exponents_of(tokens, X):
    """A monomial's exponent of each feature, from its values with that
    feature doubled."""
    base = np.real(_engine.evaluate(tokens, X))
    return tuple(
        int(np.round(np.log2(np.real(_engine.evaluate(tokens, X * np.where(np.arange(X.shape[1]) == j, 2.0, 1.0))) / base)[0]))
        for j in range(X.shape[1])
    )


# x0 in metres, x1 in seconds.
@pytest.mark.parametrize(
    "target, constants, expected",
    [
        ((1.0, -1.0), "dimensionless", {(1, -1)}),  # m/s: x0/x1 alone
        ((2.0, -2.0), "dimensionless", {(2, -2)}),
        ((0.0, 0.0), "dimensionless", set()),  # no product of powers is a pure number
        ((1.0, -1.0), "free", None),  # every monomial: a constant takes the rest
    ],
)
def test_with_units_the_monomials_are_those_of_y_dimension(target, constants, expected):
    rng = np.random.default_rng(4)
    X = rng.uniform(1.0, 2.0, size=(30, 2))
    y = X[:, 0] / X[:, 1]
    units = UnitDimensions(((1.0, 0.0), (0.0, 1.0)), target, constants)
    grown = GrowthData(X, X, y, None, [0, 1], _engine.Dataset(X, y))
    terms, _, _ = _sums._library([], grown, None, units)
    everything, _, _ = _sums._library([], grown, None)
    found = {exponents_of(t, X) for t in terms}
    assert found == (expected if expected is not None else {exponents_of(t, X) for t in everything})


def test_no_sums_without_a_dimension_of_y_or_time_left():
    rng = np.random.default_rng(4)
    X = rng.uniform(1.0, 2.0, size=(30, 2))
    y = X[:, 0] ** 5 + X[:, 1] ** 4 * X[:, 0]
    grown = GrowthData(X, X, y, None, [0, 1], _engine.Dataset(X, y))
    rows = [(3, float(np.var(y)), [("var", 0)], False)]
    settings = dict(min_complexity=5, floor=0.0, loss_ratio=1.5, alpha=0.0, l1_ratio=0.5, deadline=None)
    assert _sums.sums(rows, None, None, grown, **settings)  # a sum of the two monomials
    units = UnitDimensions(((1.0, 0.0), (0.0, 1.0)), None, "dimensionless")
    assert _sums.sums(rows, None, units, grown, **settings) == []
    assert _sums.sums(rows, None, None, grown, **{**settings, "deadline": time.monotonic() - 1.0}) == []
