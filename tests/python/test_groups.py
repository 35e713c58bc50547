"""The search over the dimensionless groups of the features: which groups a
set of units gives, how their powers are written, and what the fit gains."""

import warnings
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest
import sympy

from vok_learn import SearchStoppedWarning, VokRegressor, _engine
from vok_learn._groups import Groups, find_groups, product_tokens
from vok_learn._units import resolve_units


def groups_of(X_units, y_units, constants="dimensionless"):
    return find_groups(resolve_units(X_units, y_units, [f"x{i}" for i in range(len(X_units))], constants))


def whole(*values):
    return tuple(Fraction(v) for v in values)


@pytest.mark.parametrize(
    "X_units, y_units, expected",
    [
        # F = m a: nothing dimensionless is left, F / (m a) is a pure number.
        (["kg", "m/s^2"], "N", Groups(whole(1, 1), ())),
        # x' = (x - u t) / sqrt(1 - u^2 / c^2): y / x over c / u and u t / x.
        (["m", "m/s", "m/s", "s"], "m", Groups(whole(1, 0, 0, 0), ((0, -1, 1, 0), (-1, 1, 0, 1)))),
        # A period from a length and g: sqrt(L / g), a half power.
        (["m", "m/s^2"], "s", Groups((Fraction(1, 2), Fraction(-1, 2)), ())),
        # A dimensionless feature is a group of its own.
        (["m", "1", "m"], "m^2", Groups(whole(2, 0, 0), ((0, 1, 0), (-1, 0, 1)))),
    ],
)
def test_the_groups_and_the_prefactor_of_a_set_of_units(X_units, y_units, expected):
    assert groups_of(X_units, y_units) == expected


@pytest.mark.parametrize(
    "X_units, y_units, constants",
    [
        (["kg", "m/s^2"], None, "dimensionless"),  # no target: nothing to write y as
        (["kg", "m/s^2"], "N", "free"),  # the law's constants may carry units
        (["1", ""], "1", "dimensionless"),  # nothing dimensional: no feature removed
        (["m", "kg"], "s", "dimensionless"),  # no product of the features is a time
        (["m^3"], "m", "dimensionless"),  # a cube root
        (["m", "m^7"], "1", "dimensionless"),  # a seventh power in the group
    ],
)
def test_no_groups_where_they_cannot_help(X_units, y_units, constants):
    assert groups_of(X_units, y_units, constants) is None


@pytest.mark.parametrize(
    "exponents",
    [whole(1), whole(2, -1), whole(0, -3), whole(5, 0, -6), whole(4, 1, -2),
     (Fraction(3, 2), Fraction(-1, 2)), (Fraction(-5, 2), Fraction(1, 2), Fraction(0))],
)
def test_a_product_of_powers_computes_what_it_says(exponents):
    rng = np.random.default_rng(1)
    X = rng.uniform(0.5, 2.0, size=(20, len(exponents)))
    expected = np.prod([X[:, j] ** float(e) for j, e in enumerate(exponents)], axis=0)
    got = np.asarray(_engine.evaluate(product_tokens(list(exponents)), X), dtype=np.float64)
    np.testing.assert_allclose(got, expected, rtol=1e-13)


CENTRIPETAL_UNITS = {"m": "kg", "v": "m/s", "r": "m", "t": "s"}


def centripetal(seed=2):
    # F = m v^2 / r * exp(-v t / r): a short formula of the one group v t / r
    # times m v^2 / r, but 14 tokens over the features.
    rng = np.random.default_rng(seed)
    X = pd.DataFrame({k: rng.uniform(1.0, 3.0, 40) for k in CENTRIPETAL_UNITS})
    return X, X["m"] * X["v"] ** 2 / X["r"] * np.exp(-X["v"] * X["t"] / X["r"])


@pytest.mark.parametrize(
    "settings, found",
    [({}, True), ({"dimensionless_groups": False}, False),
     ({"operators": ["+", "-", "*", "/", "exp", "neg"]}, False)],  # no square for v^2
    ids=["groups", "no_groups", "operators_without_the_powers"],
)
def test_the_groups_reach_a_law_beyond_the_search(settings, found):
    X, y = centripetal()
    model = VokRegressor(max_complexity=5, grow_terms=0, verbose=0, **settings)
    model.fit(X, y, X_units=CENTRIPETAL_UNITS, y_units="N")
    m, v, r, t = sympy.symbols("m v r t")
    law = m * v**2 / r * sympy.exp(-v * t / r)
    assert (sympy.simplify(model.sympy() - law) == 0) == found, list(model.equations_["equation"])
    assert (model.equations_["complexity"].max() > 5) == found


def test_a_law_that_is_the_prefactor_times_a_number_needs_no_search():
    rng = np.random.default_rng(4)
    X = pd.DataFrame({"L": rng.uniform(0.5, 2.0, 30), "g": rng.uniform(9.0, 10.0, 30)})
    y = 2 * np.pi * np.sqrt(X["L"] / X["g"])
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # not "no equation of y's dimension was found"
        model = VokRegressor(max_complexity=1, grow_terms=0, verbose=0).fit(
            X, y, X_units=["m", "m/s^2"], y_units="s"
        )
    # C * sqrt(L / g), C = 2 pi to round-off.
    assert model.equations_["complexity"].iloc[model.best_index_] == 6
    np.testing.assert_allclose(model.predict(X), y, rtol=1e-13)


@pytest.mark.parametrize("groups", [True, False])
def test_a_time_limit_sets_two_fifths_aside_for_the_groups_and_a_fifth_for_growing(search_time_limits, groups):
    limits = search_time_limits
    X, y = centripetal()
    VokRegressor(max_complexity=5, verbose=0, time_limit=40.0, dimensionless_groups=groups).fit(
        X, y, X_units=CENTRIPETAL_UNITS, y_units="N"
    )
    # The post-search reserve is under a second here; without the groups
    # growing keeps a quarter. The groups' search may take what the fit's
    # own left of all but growing's fifth, and finds the law, so nothing is
    # grown after it.
    if groups:
        assert 15.0 <= limits[0] <= 16.0 and len(limits) == 2 and 24.0 <= limits[1] <= 32.0
    else:
        assert 28.0 <= limits[0] <= 30.0


def test_dimensionless_groups_is_a_checked_switch():
    X, y = centripetal()
    with pytest.raises(ValueError, match=r"^dimensionless_groups must be True or False, got 'yes'$"):
        VokRegressor(dimensionless_groups="yes", verbose=0).fit(X, y)


def test_ctrl_c_in_the_groups_search_keeps_the_search_equations_and_grows_nothing(monkeypatch):
    X, y = centripetal()
    settings = dict(max_complexity=5, verbose=0)
    plain = VokRegressor(**settings, grow_terms=0, dimensionless_groups=False).fit(
        X, y, X_units=CENTRIPETAL_UNITS, y_units="N"
    )
    calls = []
    search = _engine.search

    def cancelled_second(*args, **kwargs):
        run = search(*args, **kwargs)
        calls.append(run)
        return {**run, "stop_reason": "cancelled"} if len(calls) == 2 else run

    monkeypatch.setattr(_engine, "search", cancelled_second)
    with pytest.warns(SearchStoppedWarning, match="^the search over the dimensionless groups was interrupted"):
        model = VokRegressor(**settings).fit(X, y, X_units=CENTRIPETAL_UNITS, y_units="N")
    assert len(calls) == 2  # no growing after it
    assert model.equations_.equals(plain.equations_)
