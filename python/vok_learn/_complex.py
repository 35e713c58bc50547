"""The engine's complex arithmetic, in NumPy, one array per part.

``to_numpy`` and ``identify_constant`` need complex values, which the
engine's evaluation does not hand out; ``leaves_reals`` states in NumPy what
the engine's ``assess`` computes for the estimator's table (whether some
value on the way is not real). Each function below is written operation for
operation like the engine's lane functions (same formulas, same order of
floating-point operations, same shortcuts for real operands and signed
zeros), so results agree with ``predict`` to the last bit or two, on the
branch cuts as well. NumPy's own complex functions would not: ``np.arcsin``
for instance uses another, more careful, formula whose results differ in the
last digits, and the differences grow through later operations.

A value is "no value" when an operator leaves its domain (a zero divisor, the
logarithm of zero, ...) or a result is not finite; the engine then gives NaN
for the row, and so do we. Under the search's guard, a result with a part of
magnitude 1e15 or more is no value as well; predictions are not guarded
(``predict`` evaluates with the engine's ``guard=False``), so that a law
passing through exp(40) on a new row still has its value there.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from ._tokens import Node, Token, fold, to_tree

Array = NDArray[np.float64]
MAGNITUDE_LIMIT = 1e15
_HALF_PI = 1.5707963267948966
_NAMED = {
    "0": (0.0, 0.0),
    "1": (1.0, 0.0),
    "I": (0.0, 1.0),
    "Pi": (3.141592653589793, 0.0),
    "E": (2.718281828459045, 0.0),
}


@dataclass
class _Value:
    re: Array
    im: Array
    ok: NDArray[np.bool_]  # False: no value on this row
    nonreal: NDArray[np.bool_]  # some value on the way had an imaginary part


def _is_zero(re: Array, im: Array) -> NDArray[np.bool_]:
    return (re == 0.0) & (im == 0.0)


def _modulus(re: Array, im: Array) -> Array:
    # hypot(x, +-0) = |x|: the engine's real shortcut is the same number.
    return np.hypot(re, im)


def _argument(re: Array, im: Array) -> Array:
    return np.arctan2(im, re)


def _log_modulus(re: Array, im: Array) -> Array:
    r = _modulus(re, im)
    return np.where(r == 1.0, 0.0, np.log(r))


def _exp(re: Array, im: Array) -> tuple[Array, Array]:
    e = np.exp(re)
    real = im == 0.0
    return (
        np.where(real, e, e * np.cos(im)),
        np.where(real, e * im, e * np.sin(im)),
    )


def _sqrt(re: Array, im: Array) -> tuple[Array, Array]:
    real = im == 0.0
    negative = np.signbit(re)
    root_abs = np.sqrt(np.abs(re))
    t = np.sqrt(np.abs(im) * 0.5)
    r = np.sqrt(_modulus(re, im))
    half = _argument(re, im) / 2.0
    out_re = np.where(real, np.where(negative, 0.0, root_abs), np.where(re == 0.0, t, r * np.cos(half)))
    out_im = np.where(
        real,
        np.where(negative, np.copysign(root_abs, im), im),
        np.where(re == 0.0, np.copysign(t, im), r * np.sin(half)),
    )
    return out_re, out_im


def _trig_factors(re: Array, im: Array) -> tuple[Array, Array, Array, Array]:
    real = im == 0.0
    return (
        np.sin(re),
        np.cos(re),
        np.where(real, 1.0, np.cosh(im)),
        np.where(real, im, np.sinh(im)),
    )


def _asin_w(re: Array, im: Array) -> tuple[Array, Array]:
    x, y = re, im
    root_re, root_im = _sqrt(y * y - x * x + 1.0, -2.0 * x * y)
    return -y + root_re, x + root_im


def _unary(name: str, re: Array, im: Array) -> tuple[Array, Array, NDArray[np.bool_] | None]:
    """(re, im, domain) of a unary operator; domain None: defined everywhere."""
    if name == "Neg":
        return -re, -im, None
    if name == "Inv":
        d = re * re + im * im
        return re / d, -im / d, ~_is_zero(re, im)
    if name == "Exp":
        return (*_exp(re, im), None)
    if name == "Log":
        return _log_modulus(re, im), _argument(re, im), ~_is_zero(re, im)
    if name == "Sqrt":
        return (*_sqrt(re, im), None)
    if name in ("Sin", "Cos", "Tan"):
        sin_x, cos_x, cosh_y, sinh_y = _trig_factors(re, im)
        s_re, s_im = sin_x * cosh_y, cos_x * sinh_y
        c_re, c_im = cos_x * cosh_y, -(sin_x * sinh_y)
        if name == "Sin":
            return s_re, s_im, None
        if name == "Cos":
            return c_re, c_im, None
        d = c_re * c_re + c_im * c_im
        return (
            (s_re * c_re + s_im * c_im) / d,
            (s_im * c_re - s_re * c_im) / d,
            ~_is_zero(c_re, c_im),
        )
    if name == "ArcSin" or name == "ArcCos":
        w_re, w_im = _asin_w(re, im)
        ok = ~_is_zero(w_re, w_im)
        if name == "ArcSin":
            return _argument(w_re, w_im), -_log_modulus(w_re, w_im), ok
        return _HALF_PI - _argument(w_re, w_im), _log_modulus(w_re, w_im), ok
    if name == "ArcTan":
        # Finite real operands: atan2(x, 1) with a +0 imaginary part, as the
        # engine computes it; the general formula otherwise.
        real = (im == 0.0) & np.isfinite(re)
        u_re, u_im = -im, re
        minus_re, minus_im = 1.0 - u_re, -u_im
        plus_re, plus_im = 1.0 + u_re, u_im
        ok = real | (~_is_zero(minus_re, minus_im) & ~_is_zero(plus_re, plus_im))
        general_re = (_argument(plus_re, plus_im) - _argument(minus_re, minus_im)) * 0.5
        general_im = (_log_modulus(minus_re, minus_im) - _log_modulus(plus_re, plus_im)) * 0.5
        return (
            np.where(real, np.arctan2(re, 1.0), general_re),
            np.where(real, 0.0, general_im),
            ok,
        )
    if name == "Square":
        return re * re - im * im, 2.0 * re * im, None
    if name == "Cube":
        s = re * re - im * im
        t = 2.0 * re * im
        return s * re - t * im, s * im + t * re, None
    raise ValueError(f"unknown unary operator {name!r}")


def _binary(
    name: str, a_re: Array, a_im: Array, b_re: Array, b_im: Array
) -> tuple[Array, Array, NDArray[np.bool_] | None]:
    if name == "Plus":
        return a_re + b_re, a_im + b_im, None
    if name == "Subtract":
        return a_re - b_re, a_im - b_im, None
    if name == "Times":
        return a_re * b_re - a_im * b_im, a_im * b_re + a_re * b_im, None
    if name == "Divide":
        d = b_re * b_re + b_im * b_im
        return (
            (a_re * b_re + a_im * b_im) / d,
            (a_im * b_re - a_re * b_im) / d,
            ~_is_zero(b_re, b_im),
        )
    if name == "VOK":
        e_re, e_im = _exp(a_re, a_im)
        return e_re - _log_modulus(b_re, b_im), e_im - _argument(b_re, b_im), ~_is_zero(b_re, b_im)
    raise ValueError(f"unknown binary operator {name!r}")


def _evaluate(tree: Node, X: Array, guard: bool = True) -> _Value:
    n = X.shape[0]
    all_rows = np.ones(n, dtype=bool)

    def leaf(node: Node) -> _Value:
        kind = node.kind
        if kind == "var":
            index = int(node.token[1])
            if not 0 <= index < X.shape[1]:
                raise ValueError(
                    f"the formula reads column {index}, X has {X.shape[1]} column(s)"
                )
            re, im = X[:, index].copy(), np.zeros(n)
        elif kind in ("const", "literal"):
            re, im = np.full(n, float(node.token[1])), np.zeros(n)
        else:  # named
            value = _NAMED[node.name]
            re, im = np.full(n, value[0]), np.full(n, value[1])
        return _Value(re, im, all_rows.copy(), im != 0.0)

    def apply(node: Node, operands: list[_Value]) -> _Value:
        if len(operands) == 1:
            (a,) = operands
            re, im, domain = _unary(node.name, a.re, a.im)
        else:
            a, b = operands
            re, im, domain = _binary(node.name, a.re, a.im, b.re, b.im)
        ok = np.logical_and.reduce([o.ok for o in operands])
        if domain is not None:
            ok &= domain
        # Written so that NaN fails the test, as in the engine's guard.
        limit = MAGNITUDE_LIMIT if guard else np.inf
        ok &= (np.abs(re) < limit) & (np.abs(im) < limit)
        nonreal = np.logical_or.reduce([o.nonreal for o in operands]) | (im != 0.0)
        return _Value(re, im, ok, nonreal)

    with np.errstate(all="ignore"):
        return fold(tree, leaf, apply)


def as_matrix(X: object) -> Array:
    """X as a 2-D float64 array (a 1-D array is one column)."""
    array = np.asarray(X, dtype=np.float64)
    if array.ndim == 1:
        array = array.reshape(-1, 1)
    if array.ndim != 2:
        raise ValueError(f"expected a 2-D array (n_samples, n_features), got {array.ndim}-D")
    return array


def evaluate_complex(tokens: Sequence[Token], X: object) -> tuple[NDArray[np.complex128], NDArray[np.bool_]]:
    """The complex value per row (NaN where no value) and whether the row's
    computation went through a non-real value."""
    value = _evaluate(to_tree(tokens), as_matrix(X))
    # Part by part: re + 1j * im would turn signed zeros and infinities into
    # other numbers.
    out = np.empty(value.re.shape, dtype=np.complex128)
    out.real = value.re
    out.imag = value.im
    out[~value.ok] = complex(np.nan, np.nan)
    return out, value.nonreal & value.ok


def evaluate_real(tokens: Sequence[Token], X: object, guard: bool = False) -> Array:
    """The prediction per row: the real part, NaN where no value; unguarded,
    as ``predict`` makes it, unless `guard`."""
    value = _evaluate(to_tree(tokens), as_matrix(X), guard)
    return np.where(value.ok, value.re, np.nan)


def leaves_reals(tokens: Sequence[Token], X: object) -> bool:
    """Whether some row with a value passes through a non-real value."""
    _, nonreal = evaluate_complex(tokens, X)
    return bool(nonreal.any())
