"""fit(X, y, X_units=..., y_units=...): unit strings read by pint, the
engine's units argument, and searches that keep only dimensionally
consistent formulas of y's dimension."""

from fractions import Fraction

import numpy as np
import pandas as pd
import pytest
import sympy

from vok_learn import VokRegressor, _engine
from vok_learn._settings import SearchSettings
from vok_learn._units import dimension_of, resolve_units

pint = pytest.importorskip("pint")
UREG = pint.UnitRegistry()


@pytest.mark.parametrize(
    "unit, expected",
    [
        ("m/s^2", {"[length]": 1, "[time]": -2}),
        ("kg*m^2", {"[mass]": 1, "[length]": 2}),
        ("N", {"[mass]": 1, "[length]": 1, "[time]": -2}),
        ("km/h", {"[length]": 1, "[time]": -1}),
        ("m**0.5", {"[length]": Fraction(1, 2)}),
        ("Hz^(1/3)", {"[time]": Fraction(-1, 3)}),
        ("  J  ", {"[mass]": 1, "[length]": 2, "[time]": -2}),
        ("m/m", {}),
        ("rad", {}),
        ("", {}),
        ("1", {}),
    ],
)
def test_units_become_exponents_over_the_base_dimensions(unit, expected):
    got = dimension_of(unit, "col")
    assert got == expected
    assert all(isinstance(v, Fraction) for v in got.values())


@pytest.mark.parametrize("unit", ["furlongz", "m/", "kg*", "m^^2", "(m", "m^(1/7)"])
def test_a_malformed_unit_is_a_value_error_naming_the_feature(unit):
    X = pd.DataFrame({"mass": [1.0, 2.0, 3.0], "accel": [1.0, 0.5, 2.0]})
    with pytest.raises(ValueError, match=r"^X_units\[1\] \(feature 'accel'\): "):
        VokRegressor(max_complexity=2, verbose=0).fit(X, [1.0, 1.0, 6.0], X_units=["kg", unit], y_units="N")


def test_a_malformed_target_unit_names_y_units():
    X = np.array([[1.0], [2.0], [3.0]])
    with pytest.raises(ValueError, match=r"^y_units: cannot read the unit 'flux capacitor': 'capacitor' is not defined"):
        VokRegressor(max_complexity=2, verbose=0).fit(X, [1.0, 2.0, 3.0], X_units=["m"], y_units="flux capacitor")


@pytest.mark.parametrize(
    "X_units, y_units, error, message",
    [
        (["m"], None, ValueError, "X_units has 1 entries, but X has 2 features"),
        ("m", None, TypeError, "X_units must be a sequence with one unit string per feature"),
        (["m", None], None, TypeError, r"X_units\[1\] \(feature 'x1'\): a unit must be a string"),
        (["m", 3], None, TypeError, r"X_units\[1\] \(feature 'x1'\): a unit must be a string"),
        ({"x0": "m"}, None, ValueError, "must give the unit of every feature and only those: missing x1"),
        ({"x0": "m", "x1": "s", "x2": "kg"}, None, ValueError, "only those: unknown x2"),
        (None, "m", ValueError, "y_units needs X_units"),
        (["m", "s"], 5, TypeError, "y_units: a unit must be a string"),
    ],
)
def test_bad_unit_arguments(X_units, y_units, error, message):
    X = np.array([[1.0, 2.0], [2.0, 1.0], [3.0, 1.5]])
    with pytest.raises(error, match=message):
        VokRegressor(max_complexity=2, verbose=0).fit(X, [1.0, 2.0, 3.0], X_units=X_units, y_units=y_units)


def test_units_are_resolved_into_slots_in_base_dimension_order():
    units = resolve_units({"b": "s", "a": "m*dot"}, "kg", ["a", "b"], "free")
    # Seven named base dimensions, then pint's [printing_unit].
    assert units.inputs == ((1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0), (0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0))
    assert units.target == (0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0)
    assert units.constants == "free"
    assert resolve_units(["m"], None, ["a"], "dimensionless").target is None
    assert resolve_units(None, None, ["a"], "dimensionless") is None


def test_constant_units_is_a_checked_parameter_and_units_are_fit_arguments():
    model = VokRegressor(constant_units="free")
    assert model.get_params()["constant_units"] == "free"
    assert "X_units" not in model.get_params() and "y_units" not in model.get_params()
    with pytest.raises(ValueError, match="constant_units must be one of 'dimensionless', 'free', got 'any'"):
        VokRegressor(constant_units="any", verbose=0).fit([[1.0], [2.0]], [1.0, 2.0])


def test_the_settings_carry_the_units_to_the_engine():
    units = resolve_units(["m", "s"], "m/s", ["x0", "x1"], "dimensionless")
    settings = SearchSettings.from_estimator(VokRegressor(), threads=1, start=0.0, units=units)
    assert settings.engine_kwargs()["units"] == {
        "inputs": ((1.0,) + (0.0,) * 7, (0.0, 0.0, 1.0) + (0.0,) * 5),
        "target": (1.0, 0.0, -1.0) + (0.0,) * 5,
        "constants": "dimensionless",
    }
    assert SearchSettings.from_estimator(VokRegressor(), threads=1, start=0.0).engine_kwargs()["units"] is None


@pytest.mark.parametrize(
    "units, error, message",
    [
        ({"inputs": [[1.0]], "constants": "some"}, ValueError,
         r"units\['constants'\] must be 'dimensionless' or 'free', not 'some'"),
        ({"inputs": [[1.0]], "extra": 1}, ValueError, "units has an unknown key 'extra'"),
        ({"target": [1.0]}, ValueError, "units needs 'inputs'"),
        ({"inputs": [[1.0 / 5.0]]}, ValueError, r"units\['inputs'\]\[0\]: the exponent 0.2 is not a multiple of 1/3072"),
        ({"inputs": [[0.0] * 9]}, ValueError, "has 9 exponents; at most 8 base dimensions"),
        ({"inputs": [[1.0], [1.0]]}, ValueError, "Units are given for 2 input columns, but the inputs have 1."),
        ({"inputs": 3}, TypeError, r"units\['inputs'\] must be a sequence"),
        ([1.0], TypeError, "units must be a dict or None"),
    ],
)
def test_the_engine_refuses_bad_units(units, error, message):
    X = np.array([[1.0], [2.0], [3.0]])
    with pytest.raises(error, match=message):
        _engine.search(X, X[:, 0], max_complexity=2, units=units)


def pint_dimension(expr, units):
    """The dimensionality of `expr` with each feature a pint quantity of its
    unit: pint's own arithmetic, which raises on exp(metre) or m + s."""
    symbols = sorted(expr.free_symbols, key=str)
    f = sympy.lambdify(symbols, expr, modules="numpy")
    value = f(*[1.37 * UREG.parse_expression(units[str(s)]) for s in symbols])
    return getattr(value, "dimensionality", UREG.dimensionless.dimensionality)


def force_problem(n=40, seed=0):
    rng = np.random.default_rng(seed)
    X = pd.DataFrame({"m": rng.uniform(0.5, 3.0, n), "a": rng.uniform(-2.0, 2.0, n), "t": rng.uniform(1.0, 2.0, n)})
    return X, X["m"] * X["a"]


FORCE_UNITS = {"m": "kg", "a": "m/s^2", "t": "s"}


def test_force_is_recovered_and_every_equation_has_the_targets_dimension():
    X, y = force_problem()
    model = VokRegressor(max_complexity=5, verbose=0).fit(X, y, X_units=FORCE_UNITS, y_units="N")
    assert sympy.simplify(model.sympy() - sympy.Symbol("m") * sympy.Symbol("a")) == 0
    newton = UREG.parse_expression("N").dimensionality
    for expr in model.equations_["sympy_format"]:
        assert pint_dimension(expr, FORCE_UNITS) == newton, expr
    # Without units the same search fronts formulas of other dimensions.
    plain = VokRegressor(max_complexity=5, verbose=0).fit(X, y)
    assert any(pint_dimension(e, FORCE_UNITS) != newton for e in plain.equations_["sympy_format"]
               if e.free_symbols)


def test_with_units_output_scaling_offers_only_the_scale_of_a_formula_of_ys_dimension():
    # y = 3 m a + 0.7: the rescaling a*f + b of f = m*a would fit best, but
    # its b, like f + b's, cannot be a dimensionless number added to newtons.
    X, y = force_problem(seed=4)
    model = VokRegressor(max_complexity=6, verbose=0).fit(X, 3.0 * y + 0.7, X_units=FORCE_UNITS, y_units="N")
    newton = UREG.parse_expression("N").dimensionality
    for expr in model.equations_["sympy_format"]:
        assert pint_dimension(expr, FORCE_UNITS) == newton, expr
    m, a = sympy.symbols("m a")
    ratios = [sympy.simplify(e / (m * a)) for e in model.equations_["sympy_format"]]
    scales = [float(r) for r in ratios if r.is_number and r != 1]
    assert scales and abs(scales[0] - 3.0) < 0.1, list(model.equations_["equation"])


def test_with_every_unit_dimensionless_units_change_no_equation():
    # Nothing can be inconsistent, so the rescalings that add a constant b
    # must be offered as without units. Without Plus among the operators,
    # the + 0.7 of the law comes from the rescaling a*f + b alone.
    rng = np.random.default_rng(5)
    X = pd.DataFrame({"d": rng.uniform(1.0, 4.0, 40), "L": rng.uniform(1.0, 2.0, 40)})
    y = 2.5 * X["d"] / X["L"] + 0.7
    settings = dict(max_complexity=7, verbose=0, grow_terms=0, operators=["Divide", "Times"])
    plain = VokRegressor(**settings).fit(X, y)
    units = VokRegressor(**settings).fit(X, y, X_units=["m/m", "1"], y_units="1")
    assert list(units.equations_["equation"]) == list(plain.equations_["equation"])
    assert list(units.equations_["loss"]) == list(plain.equations_["loss"])
    np.testing.assert_allclose(units.predict(X), y, rtol=1e-9)


def test_kinetic_energy_is_recovered_with_a_dimensionless_half():
    rng = np.random.default_rng(3)
    X = pd.DataFrame({"m": rng.uniform(0.5, 3.0, 50), "v": rng.uniform(-3.0, 3.0, 50), "h": rng.uniform(1, 2, 50)})
    y = 0.5 * X["m"] * X["v"] ** 2
    units = ["kg", "m/s", "m"]
    model = VokRegressor(max_complexity=6, verbose=0).fit(X, y, X_units=units, y_units="J")
    expr = model.sympy()
    m, v = sympy.symbols("m v")
    assert abs(float(sympy.simplify(expr / (m * v**2))) - 0.5) < 1e-9
    assert pint_dimension(expr, dict(zip(X.columns, units))) == UREG.parse_expression("J").dimensionality


def test_a_free_constant_carries_the_unit_the_law_needs():
    # Time for sound to travel a distance: t = d / 343 m/s. No dimensionless
    # constant turns a length into a time.
    X = np.linspace(1.0, 50.0, 30).reshape(-1, 1)
    y = X[:, 0] / 343.0
    units = {"inputs": [[1.0]], "target": [0.0, 0.0, 1.0], "constants": "dimensionless"}
    assert _engine.search(X, y, max_complexity=4, units=units)["equations"] == []
    found = _engine.search(X, y, max_complexity=4, units={**units, "constants": "free"})["equations"]
    assert found[0]["formula"] == "Times(C, v_{0})" and found[0]["error"] < 1e-20
    model = VokRegressor(max_complexity=4, verbose=0, constant_units="free").fit(X, y, X_units=["m"], y_units="s")
    assert model.equations_["equation"].iloc[model.best_index_].startswith("0.0029154518950437")
    # The estimator stays usable, and says why its only equation is y's mean.
    with pytest.warns(UserWarning, match=r"no equation of y's dimension \('s'\) was found up to level 4"):
        fixed = VokRegressor(max_complexity=4, verbose=0).fit(X, y, X_units=["m"], y_units="s")
    assert fixed.equation_tokens_ == [[("const", float(np.mean(y)))]]


def test_units_without_a_target_unit_enforce_consistency_only():
    X, y = force_problem()
    model = VokRegressor(max_complexity=4, verbose=0).fit(X, y, X_units=FORCE_UNITS)
    dims = {pint_dimension(e, FORCE_UNITS) for e in model.equations_["sympy_format"]}
    assert UREG.parse_expression("N").dimensionality in dims
    assert len(dims) > 1  # other dimensions are on the front too


@pytest.mark.parametrize("settings", [dict(max_complexity=5), dict(max_complexity=5, ranking="raw", constants="both")])
def test_all_dimensionless_units_find_the_equations_of_no_units(settings):
    rng = np.random.default_rng(5)
    X = rng.uniform(0.5, 2.0, size=(40, 2))
    y = np.exp(-X[:, 0]) * X[:, 1] + 0.2 + 0.01 * rng.normal(size=40)
    plain = VokRegressor(verbose=0, **settings).fit(X, y)
    with_units = VokRegressor(verbose=0, **settings).fit(X, y, X_units=["", "1"], y_units="m/m")
    assert repr(with_units.equation_tokens_) == repr(plain.equation_tokens_)
    pd.testing.assert_frame_equal(with_units.equations_, plain.equations_)
    # And the default: no units at all is the same call as before.
    again = VokRegressor(verbose=0, **settings).fit(X, y, X_units=None, y_units=None)
    assert repr(again.equation_tokens_) == repr(plain.equation_tokens_)
