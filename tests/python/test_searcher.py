import gc
import math

import numpy as np
import pytest

import vok_sr

DIM_TEXT = "Inputs and target vector must be non-empty and equal length."
PROPERTIES = ["max_complexity", "beam_width", "complexity_penalty", "alpha", "l1_ratio"]
METHODS = ["find_function", "find_multivariate", "fit", "find_candidates", "recognize_constant"]

DOCS = {
    "find_function": (
        "($self, xs, ys, alpha=None, l1_ratio=None)",
        "Finds a univariate function f(x) \u2248 y.\nSupports both Python lists and NumPy arrays.",
    ),
    "find_multivariate": (
        "($self, inputs, ys, alpha=None, l1_ratio=None)",
        "Finds a multivariate function f(x0, x1, ...) \u2248 y.\nInputs should be a 2D array-like structure.",
    ),
    "fit": (
        "($self, inputs, ys, alpha=None, l1_ratio=None)",
        "Alias for find_multivariate (Scikit-Learn style).",
    ),
    "find_candidates": (
        "($self, inputs, ys, alpha=None, l1_ratio=None)",
        "Returns the Pareto-front of all candidate formulas found.",
    ),
    "recognize_constant": (
        "($self, value, alpha=None, l1_ratio=None)",
        "Identifies a closed-form expression for a scalar constant.",
    ),
}


def settings(s):
    return tuple(getattr(s, name) for name in PROPERTIES)


def test_class_doc_and_signature():
    assert vok_sr.Searcher.__doc__ == "The core VOK-SR search engine exposed to Python."
    assert vok_sr.Searcher.__text_signature__ == (
        "(max_complexity=10, complexity_penalty=0.1, beam_width=1000, alpha=0.0, l1_ratio=0.5)"
    )


@pytest.mark.parametrize("name", METHODS)
def test_method_docs_and_signatures(name):
    method = getattr(vok_sr.Searcher, name)
    assert (method.__text_signature__, method.__doc__) == DOCS[name]


def test_attribute_registration_order():
    public = [n for n in vars(vok_sr.Searcher) if not n.startswith("_")]
    assert public == PROPERTIES + METHODS


def test_defaults():
    s = vok_sr.Searcher()
    assert settings(s) == (10, 1000, 0.1, 0.0, 0.5)
    assert type(s.max_complexity) is int and type(s.alpha) is float


@pytest.mark.parametrize(
    "args,kwargs,expected",
    [
        ((5, 0.2), {}, (5, 1000, 0.2, 0.0, 0.5)),
        ((), {"max_complexity": 5, "complexity_penalty": 0.2}, (5, 1000, 0.2, 0.0, 0.5)),
        ((3, 1, 7, 2, -1), {}, (3, 7, 1.0, 2.0, -1.0)),
        ((), {"l1_ratio": 7, "beam_width": np.int64(2), "max_complexity": True}, (1, 2, 0.1, 0.0, 7.0)),
        ((), {"alpha": np.float32(0.5), "complexity_penalty": -3.5}, (10, 1000, -3.5, 0.5, 0.5)),
        ((), {"max_complexity": 2**64 - 1}, (2**64 - 1, 1000, 0.1, 0.0, 0.5)),
    ],
)
def test_constructor_arguments(args, kwargs, expected):
    s = vok_sr.Searcher(*args, **kwargs)
    assert settings(s) == expected
    assert type(s.alpha) is float and type(s.beam_width) is int


@pytest.mark.parametrize(
    "kwargs,exc,message",
    [
        ({"max_complexity": 2.0}, TypeError,
         "argument 'max_complexity': 'float' object cannot be interpreted as an integer"),
        ({"beam_width": "10"}, TypeError,
         "argument 'beam_width': 'str' object cannot be interpreted as an integer"),
        ({"max_complexity": None}, TypeError,
         "argument 'max_complexity': 'NoneType' object cannot be interpreted as an integer"),
        ({"alpha": None}, TypeError, "argument 'alpha': must be real number, not NoneType"),
        ({"complexity_penalty": "x"}, TypeError,
         "argument 'complexity_penalty': must be real number, not str"),
        ({"l1_ratio": 1j}, TypeError, "argument 'l1_ratio': must be real number, not complex"),
        ({"max_complexity": -1}, OverflowError, None),
        ({"beam_width": 2**64}, OverflowError, None),
        ({"alpha": 10**400}, OverflowError, "int too large to convert to float"),
        # converted in parameter order: the first bad argument is reported
        ({"l1_ratio": "x", "max_complexity": 1.5}, TypeError, "argument 'max_complexity': "),
        ({"alpha": "x", "beam_width": -2}, OverflowError, None),
    ],
)
def test_constructor_conversion_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        vok_sr.Searcher(**kwargs)
    assert type(info.value) is exc
    text = str(info.value)
    if message is not None:
        assert text.startswith(message)
    if exc is OverflowError:
        assert not text.startswith("argument")  # not prefixed
    else:
        assert isinstance(info.value.__cause__, TypeError)


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: vok_sr.Searcher(1, 2, 3, 4, 5, 6), "Searcher() takes at most 5 arguments (6 given)"),
        (lambda: vok_sr.Searcher(depth=3), "Searcher() got an unexpected keyword argument 'depth'"),
        (lambda: vok_sr.Searcher(4, max_complexity=3),
         "argument for Searcher() given by name ('max_complexity') and position (1)"),
        (lambda: vok_sr.Searcher().find_function([1.0]),
         "find_function() missing required argument 'ys' (pos 2)"),
        (lambda: vok_sr.Searcher().find_function(ys=[1.0]),
         "find_function() missing required argument 'xs' (pos 1)"),
        (lambda: vok_sr.Searcher().fit([[1.0]], [1.0], None, None, None),
         "fit() takes at most 4 arguments (5 given)"),
        (lambda: vok_sr.Searcher().find_multivariate([[1.0]], [1.0], beta=1),
         "find_multivariate() got an unexpected keyword argument 'beta'"),
        (lambda: vok_sr.Searcher().find_candidates([[1.0]], [1.0], 0.1, alpha=0.2),
         "argument for find_candidates() given by name ('alpha') and position (3)"),
        (lambda: vok_sr.Searcher().recognize_constant(),
         "recognize_constant() missing required argument 'value' (pos 1)"),
        (lambda: vok_sr.Searcher().recognize_constant(1.0, xs=2),
         "recognize_constant() got an unexpected keyword argument 'xs'"),
    ],
)
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("name", PROPERTIES)
def test_properties_are_read_only_and_undocumented(name):
    s = vok_sr.Searcher()
    with pytest.raises(AttributeError):
        setattr(s, name, 3)
    with pytest.raises(AttributeError):
        delattr(s, name)
    assert getattr(vok_sr.Searcher, name).__doc__ is None
    assert settings(s) == (10, 1000, 0.1, 0.0, 0.5)


def test_all_methods_accept_keywords_and_none_overrides():
    s = vok_sr.Searcher(max_complexity=2)
    xs, ys = [1.0, 2.0, 3.0], [1.0, 4.0, 9.0]
    rows = [[x] for x in xs]
    results = [
        s.find_function(xs=xs, ys=ys, alpha=None, l1_ratio=None),
        s.find_multivariate(inputs=rows, ys=ys, alpha=None),
        s.fit(ys=ys, inputs=rows, l1_ratio=None),
        s.find_candidates(rows, ys=ys)[0],
        s.recognize_constant(value=2.0, alpha=None, l1_ratio=None),
    ]
    assert all(type(r) is vok_sr.SearchResult for r in results)
    assert [r.formula for r in results[:4]] == ["Square(v_{0})"] * 4


def test_overrides_apply_to_one_call_only(scaled):
    s = vok_sr.Searcher(max_complexity=3, alpha=0.0, l1_ratio=0.5)
    xs = [1.0, 2.0, 3.0, 4.0, 5.0]
    ys = [2.5 * x for x in xs]
    plain = s.find_function(xs, ys)
    penalised = s.find_function(xs, ys, alpha=0.5, l1_ratio=1.0)
    # The elastic-net penalty is part of the reported error: it must show.
    assert plain.error == 0.0 and penalised.error > 0.01
    assert settings(s) == (3, 1000, 0.1, 0.0, 0.5)
    again = s.find_function(xs, ys)
    assert (again.formula, again.error) == (plain.formula, plain.error)


@pytest.mark.parametrize(
    "call,exc,message",
    [
        # alpha and l1_ratio are converted before the data
        (lambda s: s.find_function("abc", [1.0], alpha="x"), TypeError,
         "argument 'alpha': must be real number, not str"),
        (lambda s: s.find_function("abc", "def", l1_ratio=[1]), TypeError,
         "argument 'l1_ratio': must be real number, not list"),
        (lambda s: s.find_multivariate([1.0], [1.0], alpha=None, l1_ratio="y"), TypeError,
         "argument 'l1_ratio': must be real number, not str"),
        (lambda s: s.fit("abc", [1.0], "a", "b"), TypeError,
         "argument 'alpha': must be real number, not str"),
        (lambda s: s.find_candidates([1.0], [1.0], alpha=10**400), OverflowError,
         "int too large to convert to float"),
        # data in parameter order
        (lambda s: s.find_function("abc", [1.0]), ValueError,
         "Input must be a 1D list or NumPy array of floats"),
        (lambda s: s.find_function("abc", np.arange(4.0)[::2]), ValueError,
         "Input must be a 1D list or NumPy array of floats"),
        (lambda s: s.find_function(np.arange(4.0)[::2], "abc"), TypeError,
         "The given array is not contiguous"),
        (lambda s: s.find_multivariate([1.0, 2.0], "abc"), ValueError,
         "Input must be a 2D list or 2D NumPy array of floats"),
        (lambda s: s.fit([[1.0]], "abc"), ValueError,
         "Input must be a 1D list or NumPy array of floats"),
        # value comes before the overrides
        (lambda s: s.recognize_constant("v", alpha="x"), TypeError,
         "argument 'value': must be real number, not str"),
        (lambda s: s.recognize_constant(None), TypeError,
         "argument 'value': must be real number, not NoneType"),
        (lambda s: s.recognize_constant(2.0, alpha="x"), TypeError,
         "argument 'alpha': must be real number, not str"),
        (lambda s: s.recognize_constant(10**400), OverflowError, "int too large to convert to float"),
        # lengths, checked by the search
        (lambda s: s.find_function([1, 2, 3], [2, 4]), vok_sr.VokDimensionError, DIM_TEXT),
        (lambda s: s.find_function([], []), vok_sr.VokDimensionError, DIM_TEXT),
        (lambda s: s.find_multivariate([[1.0], [2.0]], [1.0]), vok_sr.VokDimensionError, DIM_TEXT),
        (lambda s: s.fit([], []), vok_sr.VokDimensionError, DIM_TEXT),
        (lambda s: s.find_candidates([[1.0]], [1.0, 2.0]), vok_sr.VokDimensionError, DIM_TEXT),
        # nothing finite to put on the front
        (lambda s: s.find_function([1.0, 2.0, 3.0], [1.0, math.nan, 2.0]), vok_sr.VokComplexityError,
         "No formula found up to complexity 3"),
        (lambda s: s.find_candidates([[1.0], [2.0]], [math.nan, 1.0]), vok_sr.VokComplexityError,
         "No formula found up to complexity 3"),
        (lambda s: s.recognize_constant(math.nan), vok_sr.VokComplexityError,
         "No formula found up to complexity 3"),
    ],
)
def test_errors_in_order(call, exc, message):
    s = vok_sr.Searcher(max_complexity=3)
    with pytest.raises(exc) as info:
        call(s)
    assert type(info.value) is exc
    assert str(info.value) == message
    if exc is TypeError and message.startswith("argument"):
        assert isinstance(info.value.__cause__, TypeError)
    assert settings(s) == (3, 1000, 0.1, 0.0, 0.5)


def test_nan_target_with_default_settings():
    with pytest.raises(vok_sr.VokComplexityError, match="^No formula found up to complexity 10$"):
        vok_sr.Searcher().find_function([1.0, 2.0], [math.nan, 1.0])


@pytest.mark.parametrize("ncols", [256, 300, 1000])
def test_too_many_columns_is_dimension_error(ncols):
    rows = np.arange(3.0 * ncols).reshape(3, ncols)
    with pytest.raises(vok_sr.VokDimensionError) as info:
        vok_sr.Searcher(max_complexity=1).find_multivariate(rows, [1.0, 2.0, 3.0])
    assert "255" in str(info.value) and str(ncols) in str(info.value)


def test_widest_input_is_accepted():
    rows = np.arange(3.0 * 255).reshape(3, 255)
    r = vok_sr.Searcher(max_complexity=1).find_multivariate(rows, rows[:, 254].copy())
    assert (r.formula, r.error) == ("v_{254}", 0.0)


def test_fit_equals_find_multivariate():
    rng = np.random.default_rng(7)
    rows = rng.uniform(0.5, 2.0, size=(12, 2))
    ys = rows[:, 0] * rows[:, 1] + 0.01 * rng.standard_normal(12)
    s = vok_sr.Searcher(max_complexity=3, beam_width=50)
    a = s.find_multivariate(rows, ys, alpha=0.1)
    b = s.fit(rows, ys, alpha=0.1)
    assert (a.formula, a.error, a.complexity, a.to_python()) == (
        b.formula, b.error, b.complexity, b.to_python())
    assert a.eval_batch(rows) == b.eval_batch(rows)
    # fit returns the result, not the searcher
    assert type(b) is vok_sr.SearchResult


def test_find_candidates_is_ordered_and_starts_with_the_best():
    rng = np.random.default_rng(3)
    rows = rng.uniform(-2.0, 2.0, size=(15, 2))
    ys = rows[:, 0] ** 2 + rows[:, 1] + 0.05 * rng.standard_normal(15)  # noisy: no early exit
    s = vok_sr.Searcher(max_complexity=4, beam_width=100)
    cands = s.find_candidates(rows, ys)
    assert type(cands) is list and len(cands) >= 2
    complexities = [c.complexity for c in cands]
    errors = [c.error for c in cands]
    assert all(a > b for a, b in zip(complexities, complexities[1:]))
    assert all(a < b for a, b in zip(errors, errors[1:]))
    best = s.find_multivariate(rows, ys)
    assert (cands[0].formula, cands[0].error) == (best.formula, best.error)


def test_find_candidates_never_stops_early():
    xs = [1.0, 2.0, 3.0, 4.0]
    s = vok_sr.Searcher(max_complexity=3, beam_width=20)
    single = s.find_function(xs, xs)  # v_{0} fits exactly: stops after seeding
    assert (single.formula, single.complexity) == ("v_{0}", 1)
    cands = s.find_candidates([[x] for x in xs], xs)
    assert cands[-1].formula == "v_{0}" and cands[-1].error == 0.0
    assert len(cands) == 1  # nothing more complex can have a strictly lower error than 0


def test_recognize_constant_fits_the_value():
    r = vok_sr.Searcher(max_complexity=3).recognize_constant(3.0)
    assert math.isclose(r.eval(0.0), 3.0, rel_tol=1e-9)
    assert r.error < 1e-10


def test_results_outlive_their_searcher():
    s = vok_sr.Searcher(max_complexity=3)
    xs = [1.0, 2.0, 3.0, 4.0]
    r = s.find_function(xs, [2.5 * x for x in xs])
    cands = s.find_candidates([[x] for x in xs], [2.5 * x for x in xs])
    texts = (r.formula, r.to_latex(), r.to_python(), repr(r))
    del s
    gc.collect()
    assert r.eval(10.0) == pytest.approx(25.0)
    assert (r.formula, r.to_latex(), r.to_python(), repr(r)) == texts
    assert cands[0].eval(2.0) == pytest.approx(5.0)
    assert [c.eval_batch([[1.0]])[0] for c in cands] == [c.eval(1.0) for c in cands]
