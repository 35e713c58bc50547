import math
import re

import numpy as np
import pytest

import vok_sr

POINT_ERROR = "Input must be a float or a 1D list/array"
MATRIX_ERROR = "Input must be a 2D list or 2D NumPy array of floats"

METHOD_DOCS = {
    "to_latex": ("($self)", "Returns the formula in LaTeX format for academic reporting."),
    "to_python": ("($self)", "Returns the formula in Python/NumPy format for immediate use."),
    "eval": ("($self, x)", "Evaluates the discovered formula for a given input (float or list/array)."),
    "eval_batch": (
        "($self, inputs)",
        "Evaluates the formula for a batch of inputs (list of lists or 2D array).",
    ),
    "predict": ("($self, inputs)", "Alias for eval_batch (Scikit-Learn style)."),
}
PROPERTY_DOCS = {
    "formula": "The discovered mathematical formula as a string.",
    "error": "The residual error (Mean Squared Error) of the formula.",
    "complexity": "The structural complexity of the formula.",
}


def test_class_texts_and_order():
    cls = vok_sr.SearchResult
    assert cls.__doc__ == "A high-performance symbolic regression result."
    assert {n: (getattr(cls, n).__text_signature__, getattr(cls, n).__doc__) for n in METHOD_DOCS} == METHOD_DOCS
    assert {n: getattr(cls, n).__doc__ for n in PROPERTY_DOCS} == PROPERTY_DOCS
    public = [n for n in vars(cls) if not n.startswith("_")]
    assert public == [*PROPERTY_DOCS, *METHOD_DOCS]


@pytest.mark.parametrize("args,kwargs", [((), {}), (("v_{0}",), {}), ((), {"formula": "C"})])
def test_no_constructor(args, kwargs):
    with pytest.raises(TypeError, match="^No constructor defined for SearchResult$"):
        vok_sr.SearchResult(*args, **kwargs)


@pytest.mark.parametrize("name", list(PROPERTY_DOCS))
def test_properties_are_read_only(square, name):
    with pytest.raises(AttributeError):
        setattr(square, name, 1)


def test_property_values(square, scaled):
    assert (square.formula, square.error, square.complexity) == ("Square(v_{0})", 0.0, 2)
    assert type(square.error) is float and type(square.complexity) is int
    # Fitted constants show as C in the formula, as numbers elsewhere.
    assert scaled.formula == "Times(C, v_{0})"
    assert scaled.to_latex() == "2.5000 \\cdot v_{0}"
    assert scaled.to_python() == "(2.5000)*(v_{0})"
    assert scaled.eval(2.0) == pytest.approx(5.0, rel=1e-12)


def error_text(v: float) -> str:
    """The representation's error format, written independently."""
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    mantissa, exponent = f"{v:.6e}".split("e")
    return f"{mantissa}e{int(exponent)}"


@pytest.mark.parametrize(
    "spread,text",
    [(0.05, "2.500000e-3"), (0.0005, "2.500000e-7"), (math.sqrt(12345.0), "1.234500e4"),
     (1.0, "1.000000e0"), (math.sqrt(0.00123), "1.230000e-3")],
)
def test_repr_of_a_constant_fit(spread, text):
    # With one level only, C (fitted to the mean) beats v_{0}; its error is
    # the variance of the targets, spread squared.
    r = vok_sr.Searcher(max_complexity=1).find_function([1000.0, -1000.0], [1.0 - spread, 1.0 + spread])
    assert r.formula == "C"
    assert repr(r) == f"SearchResult(formula='C', error={text}, complexity=1)"
    assert str(r) == repr(r)


def test_repr_exact_fit(square):
    assert repr(square) == "SearchResult(formula='Square(v_{0})', error=0.000000e0, complexity=2)"


def test_repr_matches_independent_format_on_many_errors():
    rng = np.random.default_rng(11)
    xs = rng.uniform(-3, 3, 20)
    ys = np.sin(xs) * 3.7 + rng.standard_normal(20)
    cands = vok_sr.Searcher(max_complexity=4, beam_width=60).find_candidates([[x] for x in xs], ys)
    assert len(cands) >= 2
    pattern = re.compile(r"^SearchResult\(formula='(.*)', error=(\S+), complexity=(\d+)\)$")
    for c in cands:
        m = pattern.match(repr(c))
        assert m, repr(c)
        assert m.group(1) == c.formula
        assert m.group(2) == error_text(c.error)
        assert int(m.group(3)) == c.complexity


@pytest.mark.parametrize("x", [2.0, 2, np.float32(2.0), np.int64(2), True + True, [2.0], (2,),
                               np.array([2.0]), np.array([2], dtype=np.int8), [2.0, 99.0]])
def test_eval_accepts_numbers_and_vectors(square, x):
    assert square.eval(x) == 4.0
    assert square.eval(x=x) == 4.0


@pytest.mark.parametrize("x", ["a", None, [[1.0]], ["a"], np.arange(4.0)[::2], 1j, {}])
def test_eval_rejects_other_inputs(square, x):
    with pytest.raises(ValueError, match=f"^{re.escape(POINT_ERROR)}$"):
        square.eval(x)


def test_eval_with_missing_and_extra_variables(sum2):
    assert math.isnan(sum2.eval(1.0))
    assert math.isnan(sum2.eval([]))
    assert sum2.eval([1.0, 2.0, 99.0]) == 3.0


def test_no_value_points_give_nan():
    xs = [1.0, 2.0, 3.0, 4.0, 5.0]
    r = vok_sr.Searcher(max_complexity=2).find_function(xs, [1.0 / x for x in xs])
    assert r.formula == "Inv(v_{0})"
    assert math.isnan(r.eval(0.0))
    got = r.eval_batch([[2.0], [0.0], [4.0]])
    assert got[0] == 0.5 and math.isnan(got[1]) and got[2] == 0.25


def test_eval_batch_matches_eval(sum2, square):
    rows = [[1.0, 2.0], [3.0, -1.0], [0.5, 0.25], [7.0]]
    got = sum2.eval_batch(rows)
    want = [sum2.eval(r) for r in rows]
    assert got[:3] == want[:3] == [3.0, 2.0, 0.75]
    assert math.isnan(got[3]) and math.isnan(want[3])
    assert sum2.predict(rows)[:3] == got[:3]
    assert sum2.predict(inputs=np.array(rows[:3])) == got[:3]
    assert square.eval_batch([[1.0], [2.0]]) == [square.eval(1.0), square.eval(2.0)] == [1.0, 4.0]
    assert square.eval_batch([]) == []


@pytest.mark.parametrize("method", ["eval_batch", "predict"])
@pytest.mark.parametrize("data", [[1.0, 2.0], np.arange(3.0), "ab", None])
def test_eval_batch_rejects_non_matrices(square, method, data):
    with pytest.raises(ValueError, match=f"^{re.escape(MATRIX_ERROR)}$"):
        getattr(square, method)(data)


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda r: r.to_latex(1), "SearchResult.to_latex() takes no arguments (1 given)"),
        (lambda r: r.to_python(x=1), "SearchResult.to_python() takes no keyword arguments"),
        (lambda r: r.eval(), "eval() missing required argument 'x' (pos 1)"),
        (lambda r: r.eval(1.0, 2.0), "eval() takes at most 1 argument (2 given)"),
        (lambda r: r.eval(y=1.0), "eval() got an unexpected keyword argument 'y'"),
        (lambda r: r.eval_batch(), "eval_batch() missing required argument 'inputs' (pos 1)"),
        (lambda r: r.predict([[1.0]], inputs=[[1.0]]),
         "argument for predict() given by name ('inputs') and position (1)"),
    ],
)
def test_argument_errors(square, call, message):
    with pytest.raises(TypeError) as info:
        call(square)
    assert str(info.value).startswith(message)


def test_renderings_are_stable_and_consistent(sum2, scaled):
    for r in (sum2, scaled):
        assert r.to_latex() == r.to_latex()
        assert r.to_python() == r.to_python()
    # The Python form, with v_{i} bound to columns, computes what eval does.
    v = np.array([[1.5, -2.0, 3.25], [0.5, 4.0, -1.0]])
    for r in (sum2, scaled):
        code = re.sub(r"v_\{(\d+)\}", r"v[\1]", r.to_python())
        got = eval(code, {"np": np, "v": v})  # noqa: S307 - our own rendering
        want = r.eval_batch(v.T)
        # to_python shows four decimals, so compare loosely
        assert np.allclose(got, want, rtol=1e-4)
