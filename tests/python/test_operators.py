"""VokRegressor(operators=...): the accepted names, their errors, and
searches that build formulas from the chosen operators only."""

import numpy as np
import pytest
import sympy
from sklearn.base import clone

from vok_learn import VokRegressor, _engine
from vok_learn._operators import OPERATORS, operator_names_text, resolve_operators
from vok_learn._settings import SearchSettings

# Every name the docstring promises, as a user would type it.
ALL_NAMES = [
    "+", "-", "*", "/", "neg", "inv", "square", "cube", "sqrt", "exp", "log",
    "sin", "cos", "tan", "asin", "acos", "atan", "vok",
]  # fmt: skip


def engine_operators():
    return {name for _, name, arity in _engine.operators() if arity >= 1}


def test_the_table_names_every_engine_operator_once():
    assert [engine for _, engine, _ in OPERATORS if engine in engine_operators()] == [e for _, e, _ in OPERATORS]
    assert {engine for _, engine, _ in OPERATORS} == engine_operators()
    assert [shown for shown, _, _ in OPERATORS] == ALL_NAMES


@pytest.mark.parametrize(
    "names, engine_names",
    [
        (["+", "*"], ("Plus", "Times")),
        (["*", "+"], ("Plus", "Times")),  # the engine's order, whatever the given one
        (("Add", "SQRT"), ("Plus", "Sqrt")),
        (["Times"], ("Times",)),
        (["ln", "ArcSin", "ACOS", "arctan", "Square", "cube", "Inv", "NEG"],
         ("Neg", "Inv", "Square", "Cube", "Log", "ArcSin", "ArcCos", "ArcTan")),
        (["sub", "/"], ("Subtract", "Divide")),
        ({"vok", "exp"}, ("Exp", "VOK")),
        (np.array(["sin", "cos", "tan"]), ("Sin", "Cos", "Tan")),
        (None, None),
    ],
)
def test_names_resolve_to_the_engines(names, engine_names):
    assert resolve_operators(names) == engine_names


def test_every_spelling_of_every_operator_resolves():
    for shown, engine, others in OPERATORS:
        for spelling in (shown, engine, engine.lower(), engine.upper(), *others, *(o.upper() for o in others)):
            assert resolve_operators([spelling]) == (engine,), spelling


VALID = (
    "+ (plus, add), - (subtract, sub), * (times, mul), / (divide, div), neg, inv, square, cube, sqrt, exp, "
    "log (ln), sin, cos, tan, asin (arcsin), acos (arccos), atan (arctan), vok"
)


@pytest.mark.parametrize(
    "operators, message",
    [
        (["+", "pow"], f"unknown operator 'pow' in operators; the operators are (any case): {VALID}"),
        (["pi"], "unknown operator 'pi' in operators"),  # a named constant is no operator
        ([" sqrt"], "unknown operator ' sqrt' in operators"),
        ([], f"operators must name at least one operator; the operators are: {VALID}"),
        (["+", "*", "plus"], "operators names + twice: '+' and 'plus'"),
        (["Sqrt", "sqrt"], "operators names sqrt twice: 'Sqrt' and 'sqrt'"),
        (["+", 2], "operators must hold operator names (str), got 2 in ['+', 2]"),
        ([None], "operators must hold operator names (str), got None"),
        ("+,*", "operators must be None or a list of operator names such as ['+', '*', 'sqrt'], got '+,*'"),
        (b"+", "operators must be None or a list of operator names"),
        (3, "operators must be None or a list of operator names such as ['+', '*', 'sqrt'], got 3"),
        ({"+": 1}, "operators must be None or a list of operator names"),
    ],
)
def test_bad_operators_raise_at_fit_before_any_search(monkeypatch, operators, message):
    monkeypatch.setattr(_engine, "search", lambda *a, **k: pytest.fail("searched"))
    model = VokRegressor(operators=operators, verbose=0)
    with pytest.raises(ValueError) as raised:
        model.fit([[1.0], [2.0]], [1.0, 2.0])
    assert message in str(raised.value)
    assert "\n" not in str(raised.value)  # the CLI reports the first line
    assert not hasattr(model, "equations_")


def test_the_names_text_lists_every_accepted_spelling():
    text = operator_names_text()
    for shown, engine, others in OPERATORS:
        for spelling in (shown, engine.lower(), *others):
            assert spelling in text


@pytest.mark.parametrize(
    "operators, error, message",
    [
        (["plus"], ValueError, "unknown operator 'plus'; the operators are: VOK, Neg, Inv, Plus, Times, Subtract, "
                               "Divide, Exp, Log, Sqrt, Sin, Cos, Tan, ArcSin, ArcCos, ArcTan, Square, Cube"),
        (["Pi"], ValueError, "unknown operator 'Pi'"),
        ([], ValueError, "operators must name at least one operator of: VOK, Neg,"),
        ("Plus", TypeError, "operators must be a list or tuple of operator names or None, not 'Plus'"),
        ({"Plus"}, TypeError, "operators must be a list or tuple"),
        (["Plus", 1.5], TypeError, "operators must hold operator names (str), not 1.5"),
    ],
)
def test_the_engine_takes_its_own_names_only(operators, error, message):
    X = np.array([[1.0], [2.0], [3.0]])
    with pytest.raises(error) as raised:
        _engine.search(X, X[:, 0], max_complexity=2, operators=operators)
    assert message in str(raised.value)


def op_names(tokens):
    return {t[2] for t in tokens if t[0] == "op"}


@pytest.fixture(scope="module")
def product_plus():
    rng = np.random.default_rng(11)
    X = rng.uniform(0.5, 2.0, size=(40, 2))
    return X, X[:, 0] * X[:, 1] + X[:, 0]


def test_a_search_with_plus_and_times_finds_the_law_from_them_only(product_plus):
    X, y = product_plus
    model = VokRegressor(operators=["+", "*"], max_complexity=7, verbose=0).fit(X, y)
    for tokens in model.equation_tokens_:
        assert op_names(tokens) <= {"Plus", "Times"}, tokens
    best = model.best_index_
    assert model.equations_["loss"].iloc[best] < 1e-20
    x0, x1 = sympy.symbols("x0 x1")
    found = sympy.nsimplify(model.sympy(), tolerance=1e-9, rational=True)
    assert sympy.simplify(found - (x0 * x1 + x0)) == 0, found


def test_the_levels_shrink_with_the_set(product_plus):
    X, y = product_plus

    def level_sizes(operators):
        events = []
        kwargs = {} if operators is None else {"operators": operators}
        _engine.search(X, y, max_complexity=5, beam_width=50, exhaustive=True,
                       callback=lambda e: events.append(e) if e["kind"] == "level" else None, **kwargs)
        return [e["candidates"] for e in events]

    every = level_sizes(None)
    arithmetic = level_sizes(["Plus", "Subtract", "Times", "Divide"])
    unary = level_sizes(["Sqrt"])
    assert len(every) == len(arithmetic) == len(unary) == 5
    assert every[0] == arithmetic[0] == unary[0] == 3  # C, x0, x1
    assert arithmetic[1] == 0 and unary[1] == 3  # no unary operator; sqrt of each leaf
    assert all(a < e for a, e in zip(arithmetic[1:], every[1:]))
    assert unary[2:] == [3, 3, 3]  # sqrt(sqrt(...)) of each leaf


def test_the_full_set_finds_exactly_what_none_finds(product_plus):
    X, y = product_plus
    y = np.sin(X[:, 0]) * X[:, 1] + 0.01 * np.cos(7 * X[:, 1])
    kwargs = dict(max_complexity=5, beam_width=60, verbose=0)
    default = VokRegressor(**kwargs).fit(X, y)
    full = VokRegressor(operators=list(reversed(ALL_NAMES)), **kwargs).fit(X, y)
    assert repr(full.equation_tokens_) == repr(default.equation_tokens_)
    np.testing.assert_array_equal(full.equations_["loss"].to_numpy().view(np.uint64),
                                  default.equations_["loss"].to_numpy().view(np.uint64))
    # The full set reaches the engine as the list of every operator; None as None.
    assert SearchSettings.from_estimator(default, threads=1, start=0.0).operators is None
    assert set(SearchSettings.from_estimator(full, threads=1, start=0.0).operators) == engine_operators()


def test_operators_reach_the_search_and_survive_get_params_and_clone(monkeypatch, product_plus):
    X, y = product_plus
    calls = []
    search = _engine.search
    monkeypatch.setattr(_engine, "search", lambda *a, **k: calls.append(k) or search(*a, **k))
    names = ["sqrt", "*", "Plus"]
    model = VokRegressor(operators=names, max_complexity=4, verbose=0)
    assert model.get_params()["operators"] is names
    copy = clone(model)
    assert copy.get_params()["operators"] == names and copy.operators is not names
    assert VokRegressor().get_params()["operators"] is None
    copy.set_params(operators=["exp"])
    assert copy.operators == ["exp"]
    model.fit(X, y)
    assert calls[0]["operators"] == ("Plus", "Times", "Sqrt")
    assert names == ["sqrt", "*", "Plus"]  # the parameter is not changed
    for tokens in model.equation_tokens_:
        assert op_names(tokens) <= {"Plus", "Times", "Sqrt"}
