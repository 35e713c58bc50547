"""vok_learn's exports of a token list: the NumPy mirror of the engine's
complex arithmetic, the full-precision text, SymPy and LaTeX."""

import math

import numpy as np
import pytest
import sympy

from vok_learn import _engine
from vok_learn._complex import evaluate_complex, evaluate_real
from vok_learn._export import NumpyFormula, equation_text, to_latex, to_sympy
from vok_learn._tokens import scale_tokens, to_tree

V0, V1 = ("var", 0), ("var", 1)
I_UNIT = ("named", 2, "I")
SQRT = ("op", 14, "Sqrt")
PLUS, TIMES = ("op", 8, "Plus"), ("op", 9, "Times")
OPERATORS = [(i, name, arity) for i, name, arity in _engine.operators() if arity > 0]

# Every sign, the signed zeros, the domain edges +-1, a subnormal-adjacent
# tiny value, and magnitudes that overflow exp or trip the 1e15 guard.
GRID = np.array([-40, -3, -1.5, -1, -0.5, -0.0, 0.0, 1e-300, 0.5, 1, 1.5, 3, 40, 1e8])
X_GRID = np.array(np.meshgrid(GRID, GRID)).reshape(2, -1).T


def operand_forms(op):
    """The operator on real operands, on sqrt of them (non-real for negative
    x), and on the fully complex value x1 + i*x0."""
    complex_value = [V0, I_UNIT, TIMES, V1, PLUS]
    if op[0] == "op" and dict((n, a) for _, n, a in OPERATORS)[op[2]] == 1:
        return [[V0, op], [V0, SQRT, op], [*complex_value, op], [V0, op, op]]
    return [[V0, V1, op], [V0, SQRT, V1, op], [V0, V1, SQRT, op], [*complex_value, V0, op]]


@pytest.mark.parametrize("guard", [True, False], ids=["guarded", "unbounded"])
@pytest.mark.parametrize("op", [("op", i, name) for i, name, _ in OPERATORS], ids=lambda o: o[2])
def test_numpy_mirror_agrees_with_engine_on_every_operator(op, guard):
    for tokens in operand_forms(op):
        engine = _engine.evaluate(tokens, X_GRID, guard=guard)
        mirror = evaluate_real(tokens, X_GRID, guard=guard)
        assert np.array_equal(np.isnan(engine), np.isnan(mirror)), tokens
        np.testing.assert_allclose(mirror, engine, rtol=1e-12, atol=0, equal_nan=True, err_msg=str(tokens))


def test_complex_values_and_the_nonreal_flag():
    # sqrt(x0): non-real exactly where x0 < 0; the prediction keeps the real part.
    values, nonreal = evaluate_complex([V0, SQRT], [[-4.0], [9.0], [-0.0]])
    assert values.tolist() == [2j, 3 + 0j, 0j]
    assert nonreal.tolist() == [True, False, False]
    # A row without a value (log 0) is NaN and not counted as non-real.
    values, nonreal = evaluate_complex([V0, ("op", 13, "Log")], [[0.0], [-1.0]])
    assert math.isnan(values[0].real) and nonreal.tolist() == [False, True]


@pytest.mark.parametrize(
    "tokens, text",
    [
        ([V0, V1, PLUS, V0, TIMES], "(a + b)*a"),
        ([V0, V1, V0, ("op", 10, "Subtract"), ("op", 10, "Subtract")], "a - (b - a)"),
        ([V0, ("op", 6, "Neg"), ("op", 21, "Square")], "(-a)**2"),
        ([V0, V1, TIMES, ("op", 6, "Neg")], "-(a*b)"),
        ([V0, V1, TIMES, ("op", 7, "Inv")], "1/(a*b)"),
        ([V0, V1, V1, TIMES, ("op", 11, "Divide")], "a/(b*b)"),
        ([V0, ("const", -0.5), TIMES], "a*(-0.5)"),
        ([V0, ("op", 18, "ArcSin"), V1, ("op", 5, "VOK")], "exp(asin(a)) - log(b)"),
        ([("const", 0.1), V0, ("op", 22, "Cube"), TIMES, ("named", 3, "Pi"), PLUS], "0.1*a**3 + pi"),
        ([("const", 6.674e-11), I_UNIT, TIMES], "6.674e-11*I"),
    ],
)
def test_equation_text_keeps_structure_and_full_precision(tokens, text):
    assert equation_text(tokens, ["a", "b"]) == text
    # Read back by SymPy, the text is the same number at a complex point.
    a, b = sympy.symbols("a b")
    point = {a: sympy.Float(0.3), b: sympy.Float(2.5)}
    back = complex(sympy.sympify(text, locals={"a": a, "b": b}).evalf(subs=point))
    direct = complex(to_sympy(tokens, ["a", "b"]).evalf(subs=point))
    assert back == pytest.approx(direct, rel=1e-14)


def test_constants_keep_every_bit():
    c = 0.1 + 2**-50
    tokens = [("const", c), V0, TIMES]
    assert float(equation_text(tokens, ["x"]).split("*")[0]) == c
    constant = to_sympy(tokens, ["x"]).as_coeff_Mul()[0]
    assert float(constant) == c


def test_sympy_uses_feature_names_and_sympy_functions():
    tokens = [V0, ("op", 18, "ArcSin"), V1, ("op", 19, "ArcCos"), PLUS, V1, ("op", 20, "ArcTan"), PLUS]
    expr = to_sympy(tokens, ["mass (kg)", "t"])
    assert {str(s) for s in expr.free_symbols} == {"mass (kg)", "t"}
    assert {type(f).__name__ for f in expr.atoms(sympy.Function)} == {"asin", "acos", "atan"}


def test_lambdified_sympy_follows_the_engine_branches():
    # asin beyond +-1 and sqrt of negatives: NumPy's complex functions take
    # the engine's principal branches.
    tokens = [V0, ("op", 18, "ArcSin"), I_UNIT, TIMES, V1, SQRT, PLUS]
    X = np.array([[2.0, -4.0], [-3.0, 1.0], [0.5, -0.25]])
    expr = to_sympy(tokens, ["a", "b"])
    f = sympy.lambdify(sympy.symbols("a b"), expr, "numpy")
    got = f(X[:, 0].astype(complex), X[:, 1].astype(complex)).real
    np.testing.assert_allclose(got, _engine.evaluate(tokens, X), rtol=1e-12)


@pytest.mark.parametrize(
    "name, precision, expected",
    [
        ("x0", 4, r"6.674 \cdot 10^{-11} x_{0}"),
        ("x0", 2, r"6.7 \cdot 10^{-11} x_{0}"),
        ("mass", 3, r"6.67 \cdot 10^{-11} \cdot \mathrm{mass}"),  # a word stays one upright word
    ],
)
def test_latex_rounds_constants_to_significant_digits(name, precision, expected):
    assert to_latex([("const", 6.67430e-11), V0, TIMES], [name], precision) == expected


@pytest.mark.parametrize("precision", [0, -1, 2.5, True])
def test_latex_rejects_bad_precision(precision):
    with pytest.raises(ValueError, match="precision must be an integer >= 1"):
        to_latex([V0], ["x0"], precision)


@pytest.mark.parametrize(
    "tokens, grows",
    [
        ([("const", 2.0), V0, TIMES, ("const", 1.0), PLUS], False),  # constants absorb the factor
        ([V0, ("const", 3.0), ("op", 11, "Divide")], False),  # the divisor takes 1/factor
        ([V0, ("const", 3.0), PLUS, ("op", 7, "Inv")], True),  # 1/(x + C) is not linear in C
        ([V0, ("op", 15, "Sin")], True),
        ([("const", 2.0), V0, ("op", 6, "Neg"), TIMES], False),
    ],
)
def test_scaling_a_formula(tokens, grows):
    scaled = scale_tokens(tokens, 1e-11)
    assert (len(scaled) > len(tokens)) == grows
    X = np.array([[0.5], [-2.0], [3.0]])
    np.testing.assert_allclose(
        _engine.evaluate(scaled, X), 1e-11 * _engine.evaluate(tokens, X), rtol=1e-15
    )


@pytest.mark.parametrize(
    "tokens, message",
    [
        ([V0, V1], "leaves 2"),
        ([PLUS], "Plus needs 2 operands"),
        ([("op", 99, "Foo")], "unknown operator 'Foo'"),
        (["x"], "not a formula token"),
    ],
)
def test_malformed_token_lists(tokens, message):
    with pytest.raises(ValueError, match=message):
        to_tree(tokens)


def test_numpy_formula_checks_columns_and_names_itself():
    f = NumpyFormula([V0, V1, PLUS], 2, "a + b")
    assert f(np.array([[1.0, 2.0]])).tolist() == [3.0]
    assert repr(f) == "NumpyFormula('a + b')"
    with pytest.raises(ValueError, match="X has 1 features, but the formula expects 2"):
        f(np.array([[1.0]]))
