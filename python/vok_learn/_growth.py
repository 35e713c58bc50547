"""Growing the most accurate formula after the search by a term or a factor
found by a short search on what it leaves unexplained.

The exhaustive levels stop at `max_complexity`; a law they miss is
approximated by the best formula of that size, often several orders of
magnitude worse than a longer formula would do. Each growth round takes
the most accurate formula f and runs the same engine search, to a few
tokens, on y - f (for a term g, giving f + g) and on y / f (for a factor
g, giving f * g), and does the same for the next most accurate formulas,
as one of nearly the same loss may be the law less one part. The search
picks its best of thousands of formulas, and on noisy data the best of so many explains part of the noise by chance;
so the rounds search and refit on two thirds of the search's rows, and a
candidate must cut the loss on the other third, which it never saw, by
more than the selection's tolerance. Those that do are refitted on all
training rows and join the equations if they cut the loss there as well.
Deterministic without a time limit: the split, the searches and the
refits are.
"""

from __future__ import annotations

import dataclasses
import math
import time
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _engine
from ._features import remap_columns
from ._operators import operator_token
from ._settings import REFINE, SearchSettings
from ._tokens import Token, scale_tokens
from ._units import UnitDimensions

# The residual searches' size: a term or factor of up to this many tokens,
# at most max_complexity. Six keeps a round to about a second on a few
# variables, and reaches products of two or three variables with a constant.
GROWTH_COMPLEXITY = 6

# With a time limit, the share of it set aside for growing. The search
# needs most of the time to reach the levels where laws are found; the
# rounds need a second or two each.
GROWTH_SHARE = 0.25

# How many formulas, most accurate first, a round grows; each costs two
# residual searches, and with a time limit takes its share of the time.
GROWTH_BASES = 3

# Fewer search rows than this leave too few to judge a candidate on.
GROWTH_MIN_ROWS = 12

Row = tuple[int, float, list[Token], Any]

# The operator that joins a part of each kind to f.
JOIN = {"term": "Plus", "factor": "Times"}


@dataclasses.dataclass(frozen=True)
class GrowthData:
    """What the rounds search and refit on.

    `X_rows`: every feature on the search's rows (the base formula's
    columns); `X_search`, `y_search`, `weights`: the search's own inputs,
    `columns` the features they keep; `data`: all training rows, where the
    candidates are refitted and scored."""

    X_rows: NDArray[np.float64]
    X_search: NDArray[np.float64]
    y_search: NDArray[np.float64]
    weights: NDArray[np.float64] | None
    columns: Sequence[int]
    data: _engine.Dataset


def grow(
    rows: list[Row],
    rounds: int,
    settings: SearchSettings,
    grown: GrowthData,
    *,
    floor: float,
    loss_ratio: float,
    alpha: float,
    l1_ratio: float,
    scale_factor: Callable[[NDArray[np.float64]], float],
    deadline: float | None,
) -> list[Row]:
    """The rows (complexity, loss, tokens, leaves_reals) the rounds add: each
    round grows the GROWTH_BASES most accurate rows so far not yet grown,
    and keeps the candidates whose loss is below the best loss /
    `loss_ratio`. A round whose best loss is at most `floor` (the law, to
    round-off) has nothing to grow; the rounds end at `deadline`
    (time.monotonic()), or when a round adds nothing."""
    added: list[Row] = []
    if rounds == 0 or grown.y_search.shape[0] < GROWTH_MIN_ROWS:
        return added
    fit_rows, check_rows, fit_data, check_data = split_rows(grown)
    # A part joins f by the operator of its kind, which the operator set
    # must allow like any other.
    kinds = tuple(
        kind for kind in ("term", "factor") if settings.operators is None or JOIN[kind] in settings.operators
    )
    base_settings = settings.side_search(max_complexity=min(GROWTH_COMPLEXITY, settings.max_complexity))
    tried: set[str] = set()
    for _ in range(rounds):
        pool = sorted([*rows, *added], key=lambda r: r[1])
        best = pool[0][1]
        if not best > floor:
            break
        # The most accurate formulas, each with its share of the time left.
        # Two formulas of nearly the same loss can be far apart: a wrong
        # guess that a factor improves a little beats the law less one
        # factor, which the factor search completes.
        bases = [r for r in pool if repr(r[2]) not in tried][:GROWTH_BASES]
        kept: list[Row] = []
        for j, row in enumerate(bases):
            tried.add(repr(row[2]))
            share = None if deadline is None else time.monotonic() + (deadline - time.monotonic()) / (len(bases) - j)
            kept += _grow_once(row[2], best, kinds, base_settings, settings.units, grown, fit_rows, fit_data,
                               check_data, loss_ratio=loss_ratio, alpha=alpha, l1_ratio=l1_ratio,
                               scale_factor=scale_factor, deadline=share)
        if not kept:
            break
        added.extend(kept)
    return added


def split_rows(grown: GrowthData) -> tuple[NDArray[np.intp], NDArray[np.intp], _engine.Dataset, _engine.Dataset]:
    """The search's rows split for judging: two thirds to search and refit
    on, a third to judge on; the same split every time, so that a fit is
    deterministic and the stages judge on the same unseen rows."""
    n = grown.y_search.shape[0]
    order = np.random.default_rng(0).permutation(n)
    fit_rows, check_rows = np.sort(order[n // 3 :]), np.sort(order[: n // 3])

    def rows_of(rows: NDArray[np.intp]) -> _engine.Dataset:
        return _engine.Dataset(
            grown.X_rows[rows],
            grown.y_search[rows],
            sample_weight=None if grown.weights is None else grown.weights[rows],
        )

    return fit_rows, check_rows, rows_of(fit_rows), rows_of(check_rows)


def _grow_once(
    tokens: list[Token],
    best: float,
    kinds: tuple[str, ...],
    base_settings: SearchSettings,
    units: UnitDimensions | None,
    grown: GrowthData,
    fit_rows: NDArray[np.intp],
    fit_data: _engine.Dataset,
    check_data: _engine.Dataset,
    *,
    loss_ratio: float,
    alpha: float,
    l1_ratio: float,
    scale_factor: Callable[[NDArray[np.float64]], float],
    deadline: float | None,
) -> list[Row]:
    """The rows grown from `tokens` that cut its loss on the rows their
    search never saw by more than `loss_ratio`, and whose loss on all rows
    is below `best` / `loss_ratio`. When the time is up between the two
    searches, the first one's candidates are still judged."""
    base = np.asarray(_engine.evaluate(tokens, grown.X_rows[fit_rows]), dtype=np.float64)
    if not np.all(np.isfinite(base)):
        return []
    ((check_loss, _),) = _engine.assess([tokens], check_data)
    candidates: list[list[Token]] = []
    for i, kind in enumerate(kinds):
        left = None if deadline is None else deadline - time.monotonic()
        if left is not None and left <= 0.0:
            break
        target = _target(kind, grown.y_search[fit_rows], base)
        if target is None:
            continue
        factor = scale_factor(target)
        run = dataclasses.replace(
            base_settings,
            time_limit=None if left is None else left / (2 * (len(kinds) - i)),
            units=_units_of(kind, units),
        ).run_side_search(
            grown.X_search[fit_rows], target / factor, None if grown.weights is None else grown.weights[fit_rows]
        )
        join = operator_token(JOIN[kind])
        for eq in run["equations"]:
            part = remap_columns(scale_tokens([tuple(t) for t in eq["tokens"]], factor), grown.columns)
            candidates.append([*tokens, *part, join])
    return judged(candidates, check_loss, best, grown.data, fit_data, check_data,
                   loss_ratio=loss_ratio, alpha=alpha, l1_ratio=l1_ratio, deadline=deadline)


def judged(
    candidates: list[list[Token]],
    check_loss: float,
    best: float,
    data: _engine.Dataset,
    fit_data: _engine.Dataset,
    check_data: _engine.Dataset,
    *,
    loss_ratio: float,
    alpha: float,
    l1_ratio: float,
    deadline: float | None,
) -> list[Row]:
    """The rows of the `candidates` that, refitted on the fit rows, cut
    `check_loss` on the rows they never saw by more than `loss_ratio`, and,
    refitted on all rows, `best` as well."""
    if not candidates:
        return []
    fitted = [t for t, _, _ in _refine(candidates, fit_data, alpha, l1_ratio, deadline)]
    unseen = _engine.assess(fitted, check_data)
    passed = [t for t, (new_loss, _) in zip(fitted, unseen) if new_loss < check_loss / loss_ratio]
    return [
        (len(t), new_loss, list(t), nonreal)
        for t, new_loss, nonreal in (_refine(passed, data, alpha, l1_ratio, deadline) if passed else [])
        if math.isfinite(new_loss) and new_loss < best / loss_ratio
    ]


def _units_of(kind: str, units: UnitDimensions | None) -> UnitDimensions | None:
    """The dimensions a part must have: y's for a term; none for a factor
    (y / f is a pure number, f having y's dimension)."""
    if units is None or kind == "term" or units.target is None:
        return units
    return dataclasses.replace(units, target=tuple(0.0 for _ in units.target))


def _refine(
    candidates: list[list[Token]], data: _engine.Dataset, alpha: float, l1_ratio: float, deadline: float | None
) -> list[tuple[list[Token], float, bool]]:
    left = None if deadline is None else max(0.0, deadline - time.monotonic())
    return _engine.refine(candidates, data, alpha=alpha, l1_ratio=l1_ratio, time_limit=left, refine=REFINE)


def _target(kind: str, y: NDArray[np.float64], base: NDArray[np.float64]) -> NDArray[np.float64] | None:
    """What the round's search fits: y - f for a term, y / f for a factor
    (None where f comes near zero on a row, where the ratio says nothing
    of the law)."""
    if kind == "term":
        return y - base
    scale = float(np.max(np.abs(y))) if y.size else 0.0
    if scale == 0.0 or np.any(np.abs(base) <= 1e-9 * scale):
        return None
    return y / base
