"""Searching a law among the dimensionless groups of its features
(Buckingham's pi theorem).

When every feature and the target have units and the law's constants are
pure numbers, the law can be written y = P(x) * g(pi_1, ..., pi_k): P is a
product of powers of the features with y's dimension, and the groups pi_j
are products of powers of the features that are dimensionless, a basis of
the null space of the dimension matrix (one row per base dimension, one
column per feature). There are k = features - rank of them, so a search for
g has fewer inputs than a search for y: its levels are narrower, it
reaches larger formulas in the same time, and a law that is P times a
constant (k = 0, or g constant) needs no search at all. The equations found
for g are written back over the features, so they are ordinary equations of
the fit, judged with the others.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from fractions import Fraction

import numpy as np
from numpy.typing import NDArray

from . import _engine
from ._operators import operator_token
from ._settings import SearchSettings
from ._tokens import Token, scale_tokens
from ._units import DENOMINATOR, UnitDimensions

__all__ = ["Groups", "find_groups", "search_groups"]

# The largest whole power written out (by Square, Cube and products of
# them); a group needing more is beyond what the search would write either.
MAX_POWER = 6

# With a time limit, the shares of it set aside for the search over the
# groups and, where the groups run, for growing after it. The groups'
# search has fewer inputs than the fit's own, so it reaches larger formulas
# in less time, and with units it finds more laws than growing does with
# the same seconds; the fit's own search keeps the other two fifths for
# laws that the groups write longer than the features do.
GROUPS_SHARE = 0.4
GROWTH_SHARE_WITH_GROUPS = 0.2


@dataclass(frozen=True)
class Groups:
    """y = P * g(groups): `prefactor` holds each feature's exponent in P,
    each of `groups` each feature's exponent in one dimensionless group.
    Every exponent is a multiple of 1/2 (a square root at most); the groups'
    are whole numbers."""

    prefactor: tuple[Fraction, ...]
    groups: tuple[tuple[int, ...], ...]


def find_groups(units: UnitDimensions) -> Groups | None:
    """The groups of the features' dimensions, or None where they cannot
    help: no target unit, constants that carry units (the law's own
    constants then enter the groups), no feature with a dimension (nothing
    to remove), a target dimension no product of the features has (no
    law with pure-number constants), or an exponent the operators cannot
    write (a power above MAX_POWER, a root other than the square root)."""
    import sympy  # loaded only by fits with units: it takes a while to import

    if units.target is None or units.constants != "dimensionless" or not units.inputs:
        return None

    def exact(value: float) -> Fraction:
        return Fraction(value).limit_denominator(DENOMINATOR)

    slots = range(len(units.target))
    matrix = sympy.Matrix([[sympy.Rational(exact(col[s])) for col in units.inputs] for s in slots])
    if matrix.rank() == 0:
        return None
    target = sympy.Matrix([sympy.Rational(exact(units.target[s])) for s in slots])
    try:
        solution, free = matrix.gauss_jordan_solve(target)
    except ValueError:  # y's dimension is no product of the features'
        return None
    prefactor = tuple(Fraction(str(v)) for v in solution.subs({p: 0 for p in free}))
    groups = []
    for vector in matrix.nullspace():
        scale = math.lcm(*(int(sympy.fraction(v)[1]) for v in vector))
        whole = [int(v * scale) for v in vector]
        common = math.gcd(*whole)
        groups.append(tuple(w // common for w in whole))
    exponents = [*prefactor, *(e for g in groups for e in g)]
    if any(abs(e) > MAX_POWER or Fraction(e).denominator not in (1, 2) for e in exponents):
        return None
    return Groups(prefactor, tuple(groups))


def power_tokens(column: int, exponent: int) -> list[Token]:
    """x_column ** exponent for a whole exponent from 1 to MAX_POWER: by
    Square and Cube, and one product for a fifth power."""
    var = ("var", column)
    square, cube = operator_token("Square"), operator_token("Cube")
    return {
        1: [var],
        2: [var, square],
        3: [var, cube],
        4: [var, square, square],
        5: [var, square, var, cube, operator_token("Times")],
        6: [var, cube, square],
    }[exponent]


def product_tokens(exponents: Sequence[Fraction]) -> list[Token]:
    """The product of the features' powers (empty for 1), each exponent a
    multiple of 1/2: the whole parts' positive powers divided by their
    negative ones, times one square root of the halves' quotient (so
    sqrt(L / g), not sqrt(L) / sqrt(g))."""
    times = operator_token("Times")

    def product(powers: list[list[Token]]) -> list[Token]:
        out = powers[0] if powers else []
        for p in powers[1:]:
            out = [*out, *p, times]
        return out

    whole = [int(e) for e in exponents]  # toward zero: -3/2 is -1 and a half
    halves = [2 * (e - w) for e, w in zip(exponents, whole)]
    up = [power_tokens(j, w) for j, w in enumerate(whole) if w > 0]
    if any(halves):
        up.append([*product_tokens(halves), operator_token("Sqrt")])
    down = product([power_tokens(j, -w) for j, w in enumerate(whole) if w < 0])
    if not down:
        return product(up)
    if not up:
        return [*down, operator_token("Inv")]
    return [*product(up), *down, operator_token("Divide")]


def compose(tokens: Sequence[Token], groups: Sequence[list[Token]], prefactor: list[Token]) -> list[Token]:
    """g's tokens over the groups written over the features, times P."""
    out: list[Token] = []
    for t in tokens:
        out += groups[t[1]] if t[0] == "var" else [t]
    return [*out, *prefactor, operator_token("Times")] if prefactor else out


def search_groups(
    groups: Groups,
    X: NDArray[np.float64],
    y: NDArray[np.float64],
    weights: NDArray[np.float64] | None,
    settings: SearchSettings,
    scale_factor: Callable[[NDArray[np.float64]], float],
) -> list[list[Token]]:
    """The equations found for y / P over the groups' values, written over
    X's columns as P * g (their constants fitted for y / P; the caller
    scores and refits them on y). None found where the operators exclude
    one that P or the groups are written with, or where P or a group is
    zero or not finite on some row. KeyboardInterrupt when the search is
    cancelled (Ctrl-C)."""
    prefactor = product_tokens(groups.prefactor)
    columns = [product_tokens([Fraction(e) for e in g]) for g in groups.groups]
    needed = {t[2] for tokens in (prefactor, *columns) for t in tokens if t[0] == "op"} | (
        {"Times"} if prefactor else set()
    )
    if settings.operators is not None and not needed <= set(settings.operators):
        return []

    def values(tokens: list[Token]) -> NDArray[np.float64]:
        if not tokens:
            return np.ones(X.shape[0])
        return np.asarray(_engine.evaluate(tokens, X), dtype=np.float64)

    scale = values(prefactor)
    inputs = [values(c) for c in columns]
    if not all(np.all(np.isfinite(v)) and np.all(v != 0.0) for v in [scale, *inputs]):
        return []
    target = y / scale
    if not columns:
        # y = C * P: the least-squares C, which the caller's refit keeps.
        w = np.ones_like(y) if weights is None else weights
        return [compose([("const", float(np.sum(w * target) / np.sum(w)))], [], prefactor)]
    factor = scale_factor(target)
    run = settings.side_search(units=None).run_side_search(
        np.ascontiguousarray(np.column_stack(inputs)), target / factor, weights
    )
    return [compose(scale_tokens([tuple(t) for t in eq["tokens"]], factor), columns, prefactor)
            for eq in run["equations"]]
