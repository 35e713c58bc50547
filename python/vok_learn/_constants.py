"""``identify_constant``: closed forms for a number, built from 0, 1, i, pi
and e without fitted constants."""

from __future__ import annotations

import math
import numbers
import time
import warnings
from dataclasses import dataclass

import numpy as np
import sympy

from . import _engine
from ._complex import evaluate_complex
from ._estimator import SearchStoppedWarning
from ._export import equation_text, to_sympy
from ._tokens import Token

__all__ = ["ConstantForm", "identify_constant"]

# A default call searches every formula up to 7 tokens in ~2-10 s on two
# cores; 8 tokens take 10-50 s with this beam, too long for a default.
DEFAULT_MAX_COMPLEXITY = 7
# One row is cheap to score, so the beam is five times the regressor's: at
# 6 tokens it still holds every distinct value of a level, at 7 it keeps
# more of them than the default beam does for little more time.
BEAM_WIDTH = 5000
# Formulas of up to 7-8 tokens come within ~1e-8 relative of constants that
# have no such form (Euler's gamma: 1.6e-8 at 8 tokens); a true form agrees
# to a few ulps. 1e-12 lies between, with margin on both sides.
DEFAULT_TOLERANCE = 1e-12
# Digits of the SymPy check of each match: enough to see a disagreement
# far below the tolerance, cheap for formulas of a few tokens.
CHECK_DIGITS = 30
_NO_COLUMNS = np.zeros((1, 0))


@dataclass(frozen=True)
class ConstantForm:
    """One closed form of a number, as found by :func:`identify_constant`.

    Attributes
    ----------
    text : str
        The form in SymPy's plain text (``"sqrt(pi)"``, ``"pi**2/6"``),
        which ``sympy.sympify`` reads back.
    latex : str
        The form in LaTeX, without math delimiters.
    sympy : sympy.Expr
        The exact SymPy expression of the form.
    value : float
        The value of the formula in double precision.
    error : float
        ``abs(value - target)``.
    complexity : int
        The number of tokens of the formula as the search built it
        (`formula`); SymPy's own simplifications can make `text` shorter.
    formula : str
        The formula as the search built it, in the same notation as `text`
        (``"sin(acos(I))"`` for sqrt(2)).

    Examples
    --------
    >>> from vok_learn import identify_constant
    >>> form = identify_constant(2.718281828459045 ** 2, max_complexity=4)[0]
    >>> form.text, form.latex, form.complexity, form.error
    ('exp(2)', 'e^{2}', 2, 0.0)
    """

    text: str
    latex: str
    sympy: sympy.Expr
    value: float
    error: float
    complexity: int
    formula: str


def _check(value: object, max_complexity: object, time_limit: object, tolerance: object) -> float:
    def real(x: object) -> bool:
        return isinstance(x, numbers.Real) and not isinstance(x, bool)

    if not real(value) or not math.isfinite(float(value)):  # type: ignore[arg-type]
        raise ValueError(f"value must be a finite real number, got {value!r}")
    if not isinstance(max_complexity, numbers.Integral) or isinstance(max_complexity, bool) or max_complexity < 1:
        raise ValueError(f"max_complexity must be an integer >= 1, got {max_complexity!r}")
    if not real(tolerance) or not 0 < float(tolerance) < math.inf:  # type: ignore[arg-type]
        raise ValueError(f"tolerance must be a finite number > 0, got {tolerance!r}")
    if time_limit is not None and (not real(time_limit) or not float(time_limit) > 0):  # type: ignore[arg-type]
        raise ValueError(f"time_limit must be None or a number of seconds > 0, got {time_limit!r}")
    return float(value)  # type: ignore[arg-type]


def _readable(expr: sympy.Expr) -> sympy.Expr:
    """A shorter equal expression where SymPy finds one: forms that pass
    through i come out of SymPy's evaluation as cosh(log(1 + sqrt(2)))
    rather than sqrt(2)."""
    if not expr.has(sympy.cosh, sympy.sinh, sympy.tanh, sympy.I):
        return expr
    simpler = sympy.simplify(expr.rewrite(sympy.exp))
    return simpler if sympy.count_ops(simpler) < sympy.count_ops(expr) else expr


def _form(tokens: list[Token], target: float, bound: float) -> ConstantForm | None:
    """The form of `tokens` if its value is real and within `bound` of the
    target, in double precision and again in SymPy at high precision."""
    value = float(_engine.evaluate(tokens, _NO_COLUMNS)[0])
    if not math.isfinite(value) or abs(value - target) > bound:
        return None
    z, _ = evaluate_complex(tokens, _NO_COLUMNS)
    if not abs(z[0].imag) <= bound:
        return None
    expr = _readable(to_sympy(tokens, []))
    # An independent evaluation at high precision rejects matches that are
    # round-off, and SymPy forms that take the other side of a branch cut
    # than the engine (asin and acos beyond +-1), whose value differs.
    try:
        exact = complex(sympy.N(expr, CHECK_DIGITS))
    except (TypeError, ValueError, ArithmeticError):
        return None
    if not abs(exact - target) <= bound:
        return None
    return ConstantForm(
        text=str(expr),
        latex=sympy.latex(expr),
        sympy=expr,
        value=value,
        error=abs(value - target),
        complexity=len(tokens),
        formula=equation_text(tokens, []),
    )


def _forms(
    found: list[list[Token]], target: float, bound: float, max_complexity: int
) -> dict[tuple[Token, ...], ConstantForm]:
    out = {}
    for tokens in found:
        if len(tokens) <= max_complexity:
            form = _form(tokens, target, bound)
            if form is not None:
                out[tuple(tokens)] = form
    return out


def _real_part_matches(tokens: list[Token], target: float, bound: float) -> bool:
    return abs(float(_engine.evaluate(tokens, _NO_COLUMNS)[0]) - target) <= bound


def _search(target: float, max_complexity: int, time_limit: float | None) -> tuple[list[list[Token]], bool]:
    """The formulas of the search's front for `target`, and whether the
    time limit stopped it."""
    run = _engine.search(
        _NO_COLUMNS,
        [target],
        max_complexity=max_complexity,
        beam_width=BEAM_WIDTH,
        exhaustive=True,
        time_limit=time_limit,
        constants="named",
    )
    return [[tuple(t) for t in eq["tokens"]] for eq in run["equations"]], run["stop_reason"] == "time_limit"


def _reciprocal(tokens: list[Token]) -> list[Token]:
    if tokens[-1][:1] == ("op",) and tokens[-1][2] == "Inv":
        return tokens[:-1]
    (inv,) = [("op", i, name) for i, name, _ in _engine.operators() if name == "Inv"]
    return [*tokens, inv]


def identify_constant(
    value: float,
    max_complexity: int = DEFAULT_MAX_COMPLEXITY,
    time_limit: float | None = None,
    tolerance: float = DEFAULT_TOLERANCE,
) -> list[ConstantForm]:
    """Closed forms of a number: formulas of 0, 1, i, pi and e without any
    fitted constant, such as ``sqrt(pi)`` or ``log(2)``.

    The search builds every formula up to `max_complexity` tokens (a beam of
    the 5000 closest per size beyond the small ones) from the named
    constants and the operators of the engine (arithmetic, powers and roots,
    exp, log, the trigonometric functions and their inverses), computed in
    complex numbers, and keeps those whose value is real and equals `value`
    to the relative `tolerance`.

    Parameters
    ----------
    value : float
        The number to identify, finite. Its magnitude must be below 1e15,
        where the engine's values stop.
    max_complexity : int, default=7
        The largest formula size, in tokens. A default call takes seconds;
        each token more multiplies the time by about five.
    time_limit : float or None, default=None
        Seconds the search may run; when they run out, the forms found in
        the sizes searched so far are returned, with a
        :class:`SearchStoppedWarning`. None: no limit.
    tolerance : float, default=1e-12
        The largest relative difference ``abs(form - value) / abs(value)``
        accepted (0 matches an exact 0 only). A true form of a number given
        to double precision agrees to a few units in the last place (about
        1e-16). Formulas of up to 7 or 8 tokens come within about 1e-8 of a
        number by chance, so a looser tolerance reports such coincidences as
        matches; 1e-12 leaves a wide margin on both sides. For a number
        known to fewer digits, set the tolerance to its precision, and
        expect coincidences when it is loose.

    Returns
    -------
    list of ConstantForm
        The matching forms, the simplest (fewest tokens) first; an empty
        list when no formula within the limits matches. Each match is
        checked again with SymPy at 30 digits, so a form is never a
        floating-point coincidence of the search.

    Notes
    -----
    The search compares the real parts of the formulas' values, and its
    front keeps one formula per size and error. A non-real formula whose
    real part is the value (sqrt(i) for 1/sqrt(2)) can therefore hide the
    real forms of its size and above; when one turns up, the reciprocal of
    the value is searched as well, and its forms are returned inverted
    (within `max_complexity`).

    Examples
    --------
    >>> import math
    >>> from vok_learn import identify_constant
    >>> [f.text for f in identify_constant(math.sqrt(math.pi), max_complexity=3)]
    ['sqrt(pi)']
    >>> identify_constant(0.5772156649015329, max_complexity=4)  # Euler's gamma
    []
    """
    target = _check(value, max_complexity, time_limit, tolerance)
    bound = float(tolerance) * abs(target)
    start = time.monotonic()
    limit = None if time_limit is None else float(time_limit)
    found, stopped = _search(target, int(max_complexity), limit)
    # The search ranks formulas by the real part of their value, and keeps
    # one per size and error: a non-real formula with the right real part
    # (log(2i) for log(2), sqrt(i) for 1/sqrt(2)) takes the place of the real
    # forms of its size and above. The reciprocal has no such twin (the real
    # part of 1/z is not 1/Re z), so its forms, inverted, stand in.
    forms = _forms(found, target, bound, int(max_complexity))
    hidden = any(
        tuple(t) not in forms and _real_part_matches(t, target, bound) for t in found
    )
    if hidden and math.isfinite(1.0 / target) and not stopped:
        left = None if limit is None else limit - (time.monotonic() - start)
        if left is None or left > 0:
            more, stopped = _search(1.0 / target, int(max_complexity), left)
            forms.update(_forms([_reciprocal(t) for t in more], target, bound, int(max_complexity)))
    if stopped:
        warnings.warn(
            f"the search reached its time limit of {time_limit:g} s; forms larger "
            "than those found so far may exist",
            SearchStoppedWarning,
            stacklevel=2,
        )
    return sorted(forms.values(), key=lambda f: (f.complexity, f.error))
