"""Sums of terms after the search: the best linear combination of the most
accurate formulas and of the monomials of the features, chosen a term at a
time on rows the choice never saw.

A law the exhaustive levels cannot reach is often a sum of simple terms,
or close to one on the features' ranges: a polynomial of high degree, a
formula the search found plus a polynomial correction. The constants of a
sum enter linearly, so the best sum of k terms from a library of hundreds
is a least-squares problem, not a search. Terms are chosen by orthogonal
least squares (the column that lowers the loss of the sum most, all
coefficients solved again) on the fit rows of growing's split; more terms
are taken only where they cut the loss on the other rows by growing's
factor. The sums are then refitted and judged like grown formulas.
Deterministic: the library, the choice and the refits are.
"""

from __future__ import annotations

import time
from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

from . import _engine
from ._growth import GROWTH_BASES, GROWTH_MIN_ROWS, GrowthData, Row, judged, split_rows
from ._operators import operator_token
from ._tokens import Token
from ._units import UnitDimensions

# At most this many terms: each costs a coefficient fitted on the fit rows,
# and a sum of more than eight monomials is rarely a law or its close
# approximation on a few dozen rows.
SUM_TERMS = 8

# The monomials' library: the highest total degree (of at most SUM_DEGREE)
# whose library has at most SUM_COLUMNS monomials. Six reaches the
# polynomials of one or two features that a search of ten tokens cannot
# write; three is what a few hundred monomials allow on five features.
SUM_DEGREE = 6
SUM_COLUMNS = 400

# A feature enters with a negative exponent (down to -2) only where its
# values keep one sign and its smallest magnitude is at least this share of
# its largest: there 1/x is as tame as x on the feature's range, as for the
# positive ranges of physical quantities, while near zero it would turn a
# close fit on the rows into wild values between them.
NEGATIVE_RANGE = 0.1

# With a time limit, the share of growing's time kept for the sums after
# the rounds: choosing them is a few least-squares solves, refitting them
# a few refinements.
SUMS_SHARE = 0.1

PLUS, TIMES, DIVIDE, INV = "Plus", "Times", "Divide", "Inv"


def sums(
    rows: list[Row],
    operators: Sequence[str] | None,
    units: UnitDimensions | None,
    grown: GrowthData,
    *,
    min_complexity: int,
    floor: float,
    loss_ratio: float,
    alpha: float,
    l1_ratio: float,
    deadline: float | None,
) -> list[Row]:
    """The rows of the sums longer than `min_complexity` tokens that cut the
    lowest loss of `rows` by more than `loss_ratio` (on the rows they never
    saw, and on all rows); none once `deadline` (time.monotonic()) has
    passed, where that loss is at most `floor`, where
    too few rows are left to judge on, or where the operator set has no "+"
    and "*" to write a sum with. With `units`, the monomials are those of
    y's dimension (any, where constants may carry units), and there are no
    sums where y's dimension is not given: terms of unlike dimensions
    cannot be added."""
    names = set(operators) if operators is not None else None
    if names is not None and not {PLUS, TIMES} <= names:
        return []
    if units is not None and units.target is None:
        return []
    if deadline is not None and time.monotonic() >= deadline:
        return []  # the fit's time is up
    if not rows or grown.y_search.shape[0] < GROWTH_MIN_ROWS:
        return []
    pool = sorted(rows, key=lambda r: r[1])
    best = pool[0][1]
    if not best > floor:
        return []
    fit_rows, check_rows, fit_data, check_data = split_rows(grown)
    terms, library, bases = _library(pool[:GROWTH_BASES], grown, names, units)
    if not terms:
        return []
    weights = np.ones(grown.y_search.shape[0]) if grown.weights is None else grown.weights
    # A dimensionless offset can be added to y only where y is a pure number.
    intercept = units is None or units.constants == "free" or not np.any(np.asarray(units.target))
    # The sums of monomials alone, and those that may also take the
    # formulas: a formula close to y is chosen first, and may leave too few
    # terms for the polynomial that is the law.
    chosen = [
        *_forward(library[:, bases:], grown.y_search, weights, fit_rows, check_rows, loss_ratio, bases, intercept),
        *(_forward(library, grown.y_search, weights, fit_rows, check_rows, loss_ratio, 0, intercept) if bases else []),
    ]
    candidates = [
        tokens
        for tokens in (_sum_tokens([terms[j] for j in columns], coefs, offset) for columns, coefs, offset in chosen)
        if len(tokens) > min_complexity
    ]
    if not candidates:
        return []
    ((check_loss, _),) = _engine.assess([pool[0][2]], check_data)
    return judged(candidates, check_loss, best, grown.data, fit_data, check_data,
                   loss_ratio=loss_ratio, alpha=alpha, l1_ratio=l1_ratio, deadline=deadline)


def _library(
    formulas: list[Row], grown: GrowthData, names: set[str] | None, units: UnitDimensions | None = None
) -> tuple[list[list[Token]], NDArray[np.float64], int]:
    """The terms (token lists) and their values on the search's rows, one
    column each: the most accurate formulas, then the monomials; and the
    count of formulas."""
    terms: list[list[Token]] = []
    values: list[NDArray[np.float64]] = []
    for _, _, tokens, _ in formulas:
        value = np.asarray(_engine.evaluate(tokens, grown.X_rows), dtype=np.float64)
        if np.all(np.isfinite(value)):
            terms.append(list(tokens))
            values.append(value)
    bases = len(terms)
    X = grown.X_rows[:, list(grown.columns)]
    with np.errstate(all="ignore"):
        lowest = np.where(
            (np.all(X > 0, axis=0) | np.all(X < 0, axis=0))
            & (np.min(np.abs(X), axis=0) >= NEGATIVE_RANGE * np.max(np.abs(X), axis=0)),
            -2,
            0,
        )
    if names is not None and not names & {DIVIDE, INV}:
        lowest[:] = 0
    # With dimensionless constants, a term a*m has m's dimension, which
    # must be y's.
    fixed = units is not None and units.target is not None and units.constants != "free"
    for exponents in _exponents(lowest):
        if fixed and not np.allclose(np.asarray(exponents, dtype=np.float64) @ np.asarray(units.inputs, dtype=np.float64),
                                     units.target, atol=1e-9):
            continue
        tokens = _monomial(exponents, grown.columns, names)
        if tokens is None:
            continue
        with np.errstate(all="ignore"):
            value = np.prod(X ** np.asarray(exponents, dtype=np.float64), axis=1)
        if np.all(np.isfinite(value)):
            terms.append(tokens)
            values.append(value)
    library = np.column_stack(values) if values else np.empty((grown.y_search.shape[0], 0))
    return terms, library, bases


def _exponents(lowest: NDArray[np.int_]) -> list[tuple[int, ...]]:
    """Every exponent vector e, e_j from lowest[j] up, with total degree
    sum |e_j| from 1 to the highest degree (at most SUM_DEGREE) whose
    library holds at most SUM_COLUMNS of them; fewest tokens first."""
    def upto(degree: int) -> list[tuple[int, ...]] | None:
        out: list[tuple[int, ...]] = []

        def extend(prefix: tuple[int, ...], left: int) -> bool:
            j = len(prefix)
            if j == len(lowest):
                if left < degree:
                    out.append(prefix)
                return len(out) <= SUM_COLUMNS
            return all(extend((*prefix, e), left - abs(e))
                       for e in range(max(int(lowest[j]), -left), left + 1))

        return out if extend((), degree) else None

    if len(lowest) + int(np.sum(lowest < 0)) > SUM_COLUMNS:
        return []  # too many features for even the first degree
    for degree in range(SUM_DEGREE, 0, -1):
        found = upto(degree)
        if found is not None:
            return sorted(found, key=lambda e: (sum(map(abs, e)), [-abs(v) for v in e]))
    return []


def _power(column: int, exponent: int, names: set[str] | None) -> list[Token]:
    """x ** exponent (exponent >= 1) in tokens: by squares and cubes where
    the operator set has them, else by products."""
    def allowed(name: str) -> bool:
        return names is None or name in names

    if exponent == 1:
        return [("var", int(column))]
    if exponent % 2 == 0 and allowed("Square"):
        return [*_power(column, exponent // 2, names), operator_token("Square")]
    if exponent % 3 == 0 and allowed("Cube"):
        return [*_power(column, exponent // 3, names), operator_token("Cube")]
    return [*_power(column, exponent - 1, names), ("var", int(column)), operator_token(TIMES)]


def _product(factors: list[list[Token]]) -> list[Token]:
    out = list(factors[0])
    for factor in factors[1:]:
        out += [*factor, operator_token(TIMES)]
    return out


def _monomial(exponents: tuple[int, ...], columns: Sequence[int], names: set[str] | None) -> list[Token] | None:
    """The monomial's tokens over the original `columns`: its negative
    powers divided by, or multiplied by their inverse where the operator set
    has "Inv" and not "Divide"; None for one of negative powers alone where
    the set has no "Inv"."""
    up = [_power(columns[j], e, names) for j, e in enumerate(exponents) if e > 0]
    down = [_power(columns[j], -e, names) for j, e in enumerate(exponents) if e < 0]
    if not down:
        return _product(up)
    if up and (names is None or DIVIDE in names):
        return [*_product(up), *_product(down), operator_token(DIVIDE)]
    if names is not None and INV not in names:
        return None
    inverse = [*_product(down), operator_token(INV)]
    return [*_product(up), *inverse, operator_token(TIMES)] if up else inverse


def _forward(
    library: NDArray[np.float64],
    y: NDArray[np.float64],
    weights: NDArray[np.float64],
    fit_rows: NDArray[np.intp],
    check_rows: NDArray[np.intp],
    loss_ratio: float,
    first: int = 0,
    intercept: bool = True,
) -> list[tuple[list[int], NDArray[np.float64], float | None]]:
    """The sums (columns, counted from `first`, coefficients, offset) of 1,
    2, ... terms that orthogonal least squares picks on the fit rows, up to
    the largest count whose weighted loss on the check rows is below that
    of every smaller count taken by more than `loss_ratio` (a count is
    taken where it is below the last one taken by that much). Without
    `intercept`, the sums have no offset (None)."""
    w = weights[fit_rows]
    if not (w.sum() > 0.0 and weights[check_rows].sum() > 0.0):
        return []  # no weight to fit or to judge on
    root = np.sqrt(w)
    A, t = library[fit_rows], y[fit_rows]
    if intercept:
        mean_a, mean_t = np.average(A, axis=0, weights=w), float(np.average(t, weights=w))
    else:
        mean_a, mean_t = np.zeros(A.shape[1]), 0.0
    centred, target = (A - mean_a) * root[:, None], (t - mean_t) * root
    # The columns made orthogonal to those chosen so far: a column's part
    # that the chosen ones already explain cannot lower the loss, however
    # much it correlates with what is left.
    free = centred.copy()
    scale = np.linalg.norm(centred, axis=0)
    residual = target
    chosen: list[int] = []
    sums: list[tuple[list[int], NDArray[np.float64], float | None]] = []
    losses: list[float] = []
    # Every coefficient costs a row: at most half the fit rows are spent.
    for _ in range(min(SUM_TERMS, len(fit_rows) // 2)):
        norms = np.linalg.norm(free, axis=0)
        # A column with (almost) nothing left of its own is a combination of
        # the chosen ones, or a constant.
        usable = norms > 1e-9 * scale
        usable[chosen] = False
        if not usable.any():
            break
        score = np.where(usable, np.abs(free.T @ residual) / np.where(usable, norms, 1.0), -1.0)
        j = int(np.argmax(score))
        if score[j] <= 0.0:
            break
        chosen.append(j)
        unit = free[:, j] / norms[j]
        free -= np.outer(unit, unit @ free)
        coefs = np.linalg.lstsq(centred[:, chosen], target, rcond=None)[0]
        residual = target - centred[:, chosen] @ coefs
        offset = mean_t - float(mean_a[chosen] @ coefs)
        predicted = offset + library[np.ix_(check_rows, chosen)] @ coefs
        losses.append(float(np.average((y[check_rows] - predicted) ** 2, weights=weights[check_rows])))
        sums.append(([first + c for c in chosen], coefs, offset if intercept else None))
        if not float(residual @ residual) > 0.0:
            break
    # A term must earn its place on the rows the choice never saw, by the
    # same factor as any grown formula: on a few dozen rows, a smaller
    # gain on the check rows is as often chance as a closer fit.
    count = 0
    for k, loss in enumerate(losses):
        if not count or loss < losses[count - 1] / loss_ratio:
            count = k + 1
    return sums[:count]


def _sum_tokens(terms: list[list[Token]], coefs: NDArray[np.float64], offset: float | None) -> list[Token]:
    """offset + sum of coef * term, in the order chosen (no offset where
    it is None)."""
    out: list[Token] = []
    for k, (term, coef) in enumerate(zip(terms, coefs)):
        out += [*term, ("const", float(coef)), operator_token(TIMES)]
        if k:
            out.append(operator_token(PLUS))
    return out if offset is None else [*out, ("const", float(offset)), operator_token(PLUS)]
