"""``VokRegressor``: the engine's search as a scikit-learn regressor."""

from __future__ import annotations

import copy
import dataclasses
import math
import numbers
import os
import sys
import time
import warnings
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import pandas as pd
from sympy import Expr
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.exceptions import ConvergenceWarning
from sklearn.utils import check_random_state
from sklearn.utils.validation import _check_sample_weight, check_is_fitted, validate_data

from . import _checkpoint, _distributed, _engine, _groups, _growth, _sums
from ._features import CONSTANT_LEAVES as LEAVES_OF_CONSTANTS
from ._features import formula_counts, remap_columns, select_columns
from ._export import NumpyFormula, to_latex
from ._operators import operator_token, resolve_operators
from ._settings import REFINE, SearchSettings
from ._tokens import Token, constant_positions, scale_tokens
from ._units import CONSTANT_UNITS, resolve_units

__all__ = ["SearchStoppedWarning", "VokRegressor", "load_checkpoint"]

MODEL_SELECTIONS = ("best", "score", "accuracy")
RANKINGS = ("raw", "affine")
CONSTANT_LEAVES = ("fitted", "named", "both")
# The defaults of `ranking` and `constants`, chosen from the recovery
# benchmark (bench/discovery_bench.py, 8 s per problem): affine ranking with
# a fitted constant recovered the most laws (Nguyen 7/12 against 5/12 for
# raw ranking, Feynman 10/18 against 8/18) and had the best median held-out
# R^2 on noisy data (0.999999 against 0.9328); adding the named constants
# did not recover more laws.
DEFAULT_RANKING = "affine"
DEFAULT_CONSTANTS = "fitted"
MAX_FEATURES = 255
# "best" picks the highest score among the equations at most this many
# times less accurate than the most accurate one.
BEST_LOSS_RATIO = 1.5
# Losses below this fraction of mean(y**2) (a relative RMS error of 1e-14)
# are round-off: they all count as this value when scores are compared, so
# that an exact law is not beaten by a longer one that happens to round better.
ROUND_OFF_LOSS = 1e-28
# A longer equation enters the table only if it lowers the loss by more than
# this fraction: a difference in the last bits is a tie, not an improvement.
LOSS_TIE = 1e-10
# The range of RMS(y) searched without scaling (see _scale_factor).
UNSCALED_RMS = (1e-2, 1e2)
# The fixed part of the time set aside from the time limit for mapping,
# refitting and scoring the results (see _post_search_seconds).
POST_SEARCH_SECONDS = 0.5
# max_samples="auto": the search runs on at most this many rows. A level's
# cost grows with the rows it scores, while beyond a thousand rows or so more
# rows hardly change which formulas a level keeps. On the tables benchmark
# (bench/tables_bench.py, 10^5 rows of 10 columns, 60 s on a loaded 2-core
# machine) 1000 and 2000 rows completed level 5 and found 2.5*x0*x1/x2,
# 4000 found it only part-way through level 5, 8000 and more did not.
AUTO_MAX_SAMPLES = 2000
# max_samples="auto" draws its subset with this seed when random_state is
# None, so that a default fit is reproducible like the search itself.
AUTO_SEED = 0
# Rows evaluated at a time by predict: bounds its working memory to a few
# MiB whatever the number of rows.
PREDICT_BLOCK_ROWS = 65536
# fit warns about the width of the first levels beyond this many columns.
WIDE_COLUMNS = 20
# The levels the warning about many columns counts formulas of.
WIDE_LEVELS = (3, 5)


class SearchStoppedWarning(ConvergenceWarning):
    """The search stopped before its last level (time limit or Ctrl-C).

    The estimator is fitted with the equations found up to then.

    Examples
    --------
    >>> import warnings
    >>> import numpy as np
    >>> from vok_learn import SearchStoppedWarning, VokRegressor
    >>> X = np.linspace(1, 2, 20).reshape(-1, 1)
    >>> with warnings.catch_warnings():
    ...     warnings.simplefilter("ignore", SearchStoppedWarning)
    ...     model = VokRegressor(time_limit=0.5, verbose=0).fit(X, np.exp(np.sin(X[:, 0])) + 1)
    >>> model.stop_reason_ in ("time_limit", "completed", "early_exit")
    True
    """


class _LevelBars:
    """The verbose=1 progress display: one tqdm bar per level, on stderr."""

    def __init__(self, loss_scale: float) -> None:
        from tqdm.auto import tqdm

        self._tqdm = tqdm
        self._loss_scale = loss_scale
        self._bar: Any = None
        self._level: int | None = None
        self._best: float | None = None

    def _open(self, level: int, total: int) -> None:
        self.close()
        self._level = level
        self._bar = self._tqdm(
            total=total, desc=f"level {level}", file=sys.stderr, leave=True, unit="cand"
        )
        if self._best is not None:
            self._bar.set_postfix_str(f"best loss {self._best:.4g}", refresh=False)

    def __call__(self, event: dict[str, Any]) -> None:
        level = int(event["level"])
        if event["kind"] == "progress":
            if level != self._level:
                self._open(level, int(event["total"]))
            self._bar.total = int(event["total"])
            self._bar.update(int(event["done"]) - self._bar.n)
        elif event["kind"] == "level":
            if level != self._level:
                self._open(level, int(event["candidates"]))
            self._best = float(event["best_error"]) * self._loss_scale
            self._bar.update(self._bar.total - self._bar.n)
            self._bar.set_postfix_str(f"best loss {self._best:.4g}", refresh=False)
            self.close()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
        self._bar = None
        self._level = None


def _scale_factor(y: NDArray[np.float64]) -> float:
    """The factor y is divided by for the search: 1 when the RMS of y lies
    in [0.01, 100], else the power of ten that brings it into [1, 10).

    The engine's tolerances are absolute (an early exit at an MSE of 1e-10,
    constant fitting to 1e-9), which matter only far from unit scale. Data
    in the usual range are searched as they are, so results equal
    ``vok_sr``'s and a law without constants, such as ``sqrt(x0)``, does
    not need one to undo a scaling. A power of ten keeps the constants
    readable: ``2.5e-11*x0`` is searched as ``2.5*x0``. The RMS is taken as
    max|y| * rms(y / max|y|), which cannot overflow or underflow.
    """
    peak = float(np.max(np.abs(y))) if y.size else 0.0
    if peak == 0.0 or not math.isfinite(peak):
        return 1.0
    rms = peak * math.sqrt(float(np.mean(np.square(y / peak))))
    if UNSCALED_RMS[0] <= rms <= UNSCALED_RMS[1]:
        return 1.0
    return float(10.0 ** math.floor(math.log10(rms)))


def _pareto_rows(rows: list[tuple[int, float, list[Token], Any]]) -> list[tuple[int, float, list[Token], Any]]:
    """The rows (complexity, loss, ...) that make the table: by complexity,
    each strictly more accurate than the last kept, by more than a tie."""
    front: list[tuple[int, float, list[Token], Any]] = []
    for row in sorted(rows, key=lambda r: (r[0], r[1])):
        complexity, loss = row[0], row[1]
        if front and (complexity == front[-1][0] or loss >= front[-1][1] * (1.0 - LOSS_TIE)):
            continue
        front.append(row)
    return front


class _LiveEquations:
    """The equations file beside a checkpoint, rewritten after each level
    from the level event's front, and with `equations_` at the end; the
    one warning of a fit whose checkpoint or equations file could not be
    written."""

    def __init__(self, checkpoint: str | None, names: list[str], factor: float, floor: float) -> None:
        self.path = None if checkpoint is None else _checkpoint.equations_file(checkpoint)
        self._names = names
        self._factor = factor
        self._floor = floor
        self._failure: str | None = None

    @property
    def active(self) -> bool:
        return self.path is not None

    def _write(self, table: pd.DataFrame) -> None:
        assert self.path is not None
        failure = _checkpoint.write_equations_file(self.path, table)
        if failure is not None and self._failure is None:
            self._failure = failure

    def level(self, event: dict[str, Any]) -> None:
        if self.path is None:
            return
        rows = [(c, loss, tokens, None) for c, loss, tokens in _checkpoint.front_rows(event["front"], self._factor)]
        rows = [row for row in rows if math.isfinite(row[1])]
        if rows:
            self._write(_checkpoint.equations_table(_pareto_rows(rows), self._names, self._floor))

    def finish(self, equations: pd.DataFrame, result: dict[str, Any]) -> None:
        if self.path is not None:
            self._write(equations)
        failures = []
        if result.get("checkpoint_failures"):
            failures.append(
                f"{result['checkpoint_failures']} checkpoint write(s) failed: {result['checkpoint_failure']}"
            )
        if self._failure is not None:
            failures.append(f"the equations file could not be written: {self._failure}")
        if failures:
            _checkpoint.warn_write_failure("; ".join(failures))


def _is_int(value: object) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def _is_real(value: object) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _check_single_target(y: ArrayLike) -> None:
    """ValueError for a y of several columns: one search finds one formula."""
    shape = getattr(y, "shape", None)
    if shape is None:
        try:
            shape = np.asarray(y).shape
        except (TypeError, ValueError):
            return  # validate_data says what is wrong with it
    if len(shape) == 2 and shape[1] != 1:
        raise ValueError(
            f"y has {shape[1]} columns, but VokRegressor searches formulas for one target; "
            "sklearn.multioutput.MultiOutputRegressor(VokRegressor(...)) runs one search per column"
        )


def _post_search_seconds(data: _engine.Dataset, max_complexity: int) -> float:
    """The time set aside from the time limit for the work after the search:
    the equations of the front (at most one per size, each at most
    max_complexity tokens) evaluated on all rows and refitted, and their
    SymPy forms. The evaluation cost is measured on this dataset, by one
    formula of three tokens over all rows."""
    probe = [("var", 0), ("var", 0), operator_token("Times")] if data.cols else [("const", 1.0)]
    begin = time.monotonic()
    _engine.assess([probe], data)
    per_token = (time.monotonic() - begin) / len(probe)
    # The front's tokens (sum over sizes 1..max_complexity), evaluated
    # about twice (once to assess, once by a refit's last step).
    evaluations = max_complexity * (max_complexity + 1)
    return POST_SEARCH_SECONDS + per_token * evaluations


def _assessed(tokens_list: list[list[Token]], data: _engine.Dataset) -> list[tuple[list[Token], float, bool]]:
    """Each token list with its (loss, leaves_reals) on `data`."""
    return [(tokens, loss, nonreal) for tokens, (loss, nonreal) in zip(tokens_list, _engine.assess(tokens_list, data))]


def _refit(
    equations: list[tuple[list[Token], float, bool]],
    data: _engine.Dataset,
    alpha: float,
    l1_ratio: float,
    deadline: float | None,
) -> list[tuple[list[Token], float, bool]]:
    """The equations, each (tokens, loss, leaves_reals) on `data`, with
    their constants refitted on all rows by the engine's refinement (the
    search's elastic-net penalty), where that lowers the loss. The refits
    stop at `deadline` with the constants reached by then."""
    fitted = [i for i, (tokens, _, _) in enumerate(equations) if constant_positions(tokens)]
    time_limit = None if deadline is None else max(0.0, deadline - time.monotonic())
    if not fitted or time_limit == 0.0:
        return equations
    refits = _engine.refine(
        [equations[i][0] for i in fitted], data, alpha=alpha, l1_ratio=l1_ratio, time_limit=time_limit,
        refine=REFINE,
    )
    kept = list(equations)
    for i, (tokens, loss, nonreal) in zip(fitted, refits):
        if loss < equations[i][1]:
            kept[i] = (tokens, loss, nonreal)
    return kept


class VokRegressor(RegressorMixin, BaseEstimator):
    """Symbolic regression: finds closed-form formulas y = f(x0, x1, ...).

    The engine searches formulas level by level in order of growing size
    (the complexity, the number of tokens: variables, constants and
    operators) and keeps the Pareto front of the formulas that trade error
    against size. Formulas combine arithmetic, powers and roots, exp, log,
    trigonometric functions and the operator VOK(a, b) = exp(a) - log(b),
    evaluated in complex numbers on principal branches; the prediction is
    the real part. Constants in a formula are fitted to the data, or are
    the named constants 0, 1, i, pi and e (see `constants`).

    Parameters
    ----------
    max_complexity : int, default=10
        The largest formula size searched, in tokens. The time grows
        steeply with it.
    beam_width : int, default=1000
        How many formulas of each level are kept to build the next, larger,
        ones. Wider beams explore more and take longer.
    complexity_penalty : float, default=0.1
        How much the search's ranking of a level's formulas penalises size;
        it decides which formulas stay in the beam. Larger values favour
        smaller formulas.
    alpha : float, default=0.0
        Strength of the elastic-net penalty on the fitted constants, added
        to the mean squared error while the search fits constants; 0 fits
        them by plain least squares. Larger values pull constants to zero.
    l1_ratio : float, default=0.5
        The mix of the elastic-net penalty, in [0, 1]: 1 is a pure L1
        (lasso) penalty, 0 a pure L2 (ridge) one. Used only when alpha > 0.
    time_limit : float or None, default=None
        Seconds the search may run. When it is reached, `fit` returns (within
        about a second) with the equations found so far and issues a
        :class:`SearchStoppedWarning` that says where the search stopped.
        None: no limit.
    model_selection : {"best", "score", "accuracy"}, default="best"
        Which row of `equations_` `predict` uses by default: "accuracy" the
        lowest loss, "score" the highest score, "best" the highest score
        among the equations whose loss is at most 1.5 times the lowest loss
        (a guard against the overfit formulas that the lowest training error
        picks on noisy data).
    max_samples : int, "auto" or None, default="auto"
        On more rows than this, the search runs on a random subset of this
        many rows (drawn with `random_state`); the final equations' constants
        are then refitted on all rows by the search's own constant fitting
        (with the `alpha` and `l1_ratio` penalty; bounded by `time_limit`),
        each refit kept where it lowers the loss, and the losses computed on
        all rows. "auto": a subset of 2000 rows on more than 2000 rows,
        which finds the same laws as all rows in a fraction of the time
        (the cost of every level grows with the rows it scores). None: the
        search runs on all rows.
    select_features : int or None, default=None
        Search on the k columns of X that the impurity importances of a
        scikit-learn random forest (``RandomForestRegressor`` of 100 trees,
        on at most 4000 of the search's rows) rank highest for y; the
        equations still name the original columns, and `predict` takes all
        of them. The width of the first levels grows with the square of the
        number of columns and more, so on a wide table a search on all
        columns reaches only small formulas; with more than 20 columns and
        no selection, `fit` warns how wide they are. None: all columns.
    normalize_y : bool, default=True
        When the root mean square of y lies outside [0.01, 100], run the
        search on y divided by the power of ten that brings it into [1, 10)
        (a positive factor, no shift), and multiply the equations back. The
        search's tolerances are absolute, so this finds a law equally well
        at any scale of y (1e-11 or 1e11). The factor is absorbed into an
        outer fitted constant where the formula has one, else it appears as
        a fixed factor; the reported complexity is the search's.
    n_jobs : int or None, default=None
        Threads of the search. None or -1: all hardware threads; -2: all but
        one, and so on (scikit-learn's convention).
    verbose : {0, 1, 2}, default=1
        0: nothing is printed. 1: a progress bar per level with the best loss
        so far, on stderr. 2: the engine's own progress lines, on stdout.
    random_state : int, RandomState instance or None, default=None
        Seeds the subset drawn for `max_samples` and the ranking of
        `select_features`; the search itself is deterministic. None: a fixed
        seed, so that a fit on the same data gives the same equations.
    ranking : {"raw", "affine"}, default="affine"
        How the formulas of a level are ranked for the beam. "raw": by their
        error. "affine": by the error of their best affine fit a*f + b to y,
        so that a sub-formula that is right up to scale and offset (such as
        sin(x0**2)*cos(x0) on the way to sin(x0**2)*cos(x0) - 1) stays in the
        beam to build the larger ones. Only the choice of the kept formulas
        changes: the equations and their losses are those of the formulas
        themselves, without the fit.
    constants : {"fitted", "named", "both"}, default="fitted"
        The constant leaves formulas are built from, besides the features.
        "fitted": a constant fitted to the data. "named": the exact
        constants 0, 1, i, pi and e, so formulas are closed forms with
        nothing fitted. "both": all of them.
    operators : list of str or None, default=None
        The operators formulas are built from; None: all of them. Names are
        matched without regard to case: "+" (or "plus", "add"), "-"
        ("subtract", "sub"), "*" ("times", "mul"), "/" ("divide", "div"),
        "neg" (-a), "inv" (1/a), "square", "cube", "sqrt", "exp", "log"
        ("ln"), "sin", "cos", "tan", "asin" ("arcsin"), "acos" ("arccos"),
        "atan" ("arctan") and "vok" (exp(a) - log(b)). A smaller set makes
        every level of the search smaller, so that the search reaches larger
        formulas in the same time; no equation uses another operator. The
        named constants (see `constants`) are leaves, not operators. An
        unknown name (the message lists the valid ones), an empty list or
        an operator named twice raises ValueError in `fit`.
    constant_units : {"dimensionless", "free"}, default="dimensionless"
        Used only when `fit` is given units: how a fitted constant counts in
        the dimensional check. "dimensionless": a pure number. "free": each
        constant takes whatever unit makes its formula consistent, as
        physical constants (G, c, k_B, ...) need; x + C, C*x + t and
        exp(C*x) are then all consistent.
    output_scaling : bool, default=True
        Also offer, for every formula f the search scores, its least-squares
        rescalings a*f + b, a*f and f + b (a and b computed in closed form)
        as equations of their own. Each counts its own tokens (2 more for
        a*f and f + b, 4 for a*f + b, within `max_complexity`) and its own
        loss, computed like any equation's; the rescalings are not used to
        build larger formulas. A law such as 1.5*x0*x1 + 0.5 is then found
        as soon as the search scores x0*x1, several levels earlier than it
        would be built. Rescalings that change nothing (a = 1, b = 0) or
        that are degenerate (f constant on the data) are left out, and so
        are all of them with ``constants="named"``, whose formulas have
        nothing fitted. With units (`fit`'s `X_units`), rescalings are
        offered only where f has y's dimension, and those that add b only
        where y is dimensionless or ``constant_units="free"`` (b then has
        y's dimension). False: only the formulas the search builds.
    client : dask.distributed.Client or None, default=None
        Scores each level of the search on the workers of this Dask cluster
        (installed with ``pip install 'vok_sr[dask]'``); None: on this
        process's threads. This process still generates each level's
        formulas; the workers score ranges of them and send back only what
        can still enter the beam or the front, so the equations, losses and
        complexities are exactly those of the local search (on machines with
        the same math library). Levels too small to gain from the cluster
        are scored here; `n_jobs` sets the threads this process uses for
        both, and each worker scores one task at a time on all of its
        threads. A worker lost during a level has its tasks rerun
        elsewhere; a client closed or a cluster lost during `fit` raises
        RuntimeError and leaves the estimator unfitted. `time_limit` and
        Ctrl-C are honoured as in a local fit, also while this process
        generates a level. The client is shared, not copied, by
        `clone` and `copy.deepcopy`, and left out when the estimator is
        pickled (it comes back as None).
    checkpoint : str, path-like or None, default=None
        A file in which `fit` stores the search after every completed
        level: the settings, a digest of the searched X and y, the levels
        kept and the Pareto front. Each write replaces the file atomically
        (a temporary file, flushed to the disk, renamed over it), so a fit
        killed at any instant, a crashed machine or a pre-empted node
        leaves the last completed level's file intact. A `fit` that finds
        the file continues the search at the first level not stored and
        ends with exactly the equations of a fit that never stopped
        (locally and with a `client`). The file is locked while a fit uses
        it: a second fit on it, in any process, raises ValueError. Beside
        it, ``<checkpoint>.csv`` holds the `equations_` columns of the
        front so far (losses as the search measured them, `leaves_reals`
        empty), rewritten atomically after each level, and the final
        `equations_` at the end of the fit. A write that fails (a full
        disk) issues one :class:`CheckpointWriteWarning` and the fit goes
        on. With `max_samples`, the subset must be drawn the same way
        (an integer `random_state`) for the file to be resumed.
    resume : {"auto", "never", "always"}, default="auto"
        What `fit` does with an existing `checkpoint`. "auto": continue it
        when it was written for the same X, y and settings, and raise
        ValueError naming what differs otherwise (a damaged, truncated or
        foreign file, or one of another format version, is refused the
        same way); start a new search when there is no file. "never":
        start a new search and overwrite the file. "always": raise
        ValueError unless there is a file to continue. Settings that only
        bound the search (`time_limit`, `n_jobs`, `client`, `verbose`) may
        differ.
    warm_start : bool, default=False
        A later `fit` on the same data continues from the levels already
        done, kept in memory from the previous fit (or read from
        `checkpoint`), instead of starting again at level 1: with a larger
        `max_complexity` the search goes on from the last level done, and
        after a `time_limit` stop (also in the middle of a level) it
        resumes at the level that was cut, which a new `time_limit` then
        bounds. The equations equal those of a single fit to the new
        `max_complexity`. To make that exact with `output_scaling`, a fit
        with warm_start also scores the rescalings that end up to 4 tokens
        past `max_complexity` (kept for the next fit, not reported). Other
        settings or other data: see `resume`.
    grow_terms : int, default=2
        After the search, how many rounds of growing. A round grows the
        three most accurate equations not grown yet, each by one part: a
        term g (f + g) or a factor g (f * g) of up to 6 tokens (at most
        `max_complexity`), found by a short search on what f leaves
        unexplained (y - f, or y / f), with all constants then refitted
        together. A grown equation joins `equations_` only when it cuts the
        loss of the one it grew from, and the lowest loss so far, by more
        than a factor of 1.5, so it may be longer than `max_complexity`; the
        next round starts from the equations so far. When the most accurate
        has the loss of round-off, nothing is grown. With `time_limit`, a
        quarter of it is set aside for growing (a fifth where
        `dimensionless_groups` runs). Where the law is beyond the
        search's reach this turns a rough approximation into a close one,
        and where the search found the law less one part, the law. Grown
        equations are
        not in a `checkpoint` or its equations file until the fit ends
        (`load_checkpoint` shows the search's own). With units, a term has
        y's dimension and a factor none; with `operators`, terms need "+"
        among them and factors "*". After the rounds, the sums
        b + a_1*g_1 + ... + a_k*g_k of up to 8 terms (monomials of the
        features, and the three most accurate equations) that orthogonal
        least squares picks on two thirds of the rows (a term more only
        where it cuts the loss on the other third by 1.5x) join by the same
        rule when longer than `max_complexity` (with units, of monomials of
        y's dimension, and without b unless y is a pure number; they need
        "+" and "*"; a tenth of growing's time). 0: no growing.
    dimensionless_groups : bool, default=True
        With `X_units` and `y_units` (and dimensionless constants), also
        search the law among the dimensionless groups of the features
        (Buckingham's pi theorem): a law of consistent units is
        y = P * g(pi_1, ..., pi_k), where P is a product of powers of the
        features with y's dimension and the groups pi_j are the independent
        dimensionless products of them, k = features minus the rank of
        their dimensions. A second search, after the fit's own, looks for g
        over the k groups; with fewer inputs it reaches larger formulas.
        Its equations, written back over the features and refitted on all
        rows, join the others in `equations_` (so they may be longer than
        `max_complexity`), and are grown like them. It runs only where the
        groups remove a feature and every exponent is a whole number or a
        half up to 6; with `time_limit`, two fifths of it are set aside
        for it. It is neither checkpointed nor scored on a `client`.

    Attributes
    ----------
    equations_ : pandas.DataFrame
        The Pareto front, one row per equation, simplest first (complexity
        strictly increasing, loss strictly decreasing), index 0..n-1, with
        the columns ``complexity`` (int), ``loss`` (mean squared error on all
        training rows, weighted by `fit`'s sample_weight), ``score``
        (-Δlog(loss) / Δcomplexity against the previous row, 0 for the
        first), ``equation`` (text with the feature
        names and constants to full double precision), ``sympy_format`` (a
        SymPy expression) and ``leaves_reals`` (whether the equation goes
        through non-real values on the training data).
    best_index_ : int
        The position in `equations_` of the equation chosen by
        `model_selection`.
    equation_tokens_ : list of list of tuple
        The exact formulas, one postfix token list per row of `equations_`.
    stop_reason_ : str
        How the search ended: "completed", "early_exit" (an exact fit was
        found), "time_limit" or "cancelled" (Ctrl-C).
    resumed_level_ : int
        The level the search continued from (a `checkpoint` or a
        `warm_start`); 0 when it started at level 1.
    distributed_stats_ : pandas.DataFrame
        Only when fitted with a `client`: one row per level searched after
        the first, with ``level``, ``candidates`` (admitted formulas),
        ``tasks`` (0: scored on this process), ``workers``, the bytes sent
        (``payload_bytes``: the samples and retained levels, sent once to
        each worker; ``recipe_bytes``: the ranges' formulas;
        ``summary_bytes``: what the workers sent back; ``shipped_bytes``:
        payload_bytes x workers + recipe_bytes + summary_bytes, plus the
        payload sent again if a worker's death lost it everywhere) and the
        seconds spent generating the level here (``generate_seconds``),
        scoring it (``score_seconds``, wall clock), scoring on the workers
        (``task_seconds``, summed over tasks; ``max_task_seconds``, the
        longest task; ``build_seconds``, the longest a worker took to read
        the payload) and merging the results (``absorb_seconds``).
    selected_features_ : ndarray of shape (n_selected,)
        The positions of the columns of X the search ran on, in order: those
        `select_features` kept, else all of them.
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of shape (`n_features_in_`,)
        Names of features seen during fit, when X had string column names.

    Notes
    -----
    Memory. With n rows and d columns, m = min(n, max_samples) rows
    searched and k = `select_features` (else d) columns, a fit holds about

        8 n (d + 1)  +  8 n d  +  16 m (k + 1)  +  S(m)  bytes

    besides the interpreter and its libraries: the engine's copy of X and y
    (read by the refits and the losses on all rows; 8 n more for
    `sample_weight`, and a copy of the rows of positive weight when some
    weights are 0), the float64 X that validation makes when X is not
    already a float64 array (none otherwise), the searched rows twice, and
    the search itself. S(m) is at
    most 256 MiB of the retained levels' values (17 bytes per row and kept
    formula, within that budget) plus a few bytes per formula of the
    widest level, which grows with `beam_width` and `max_complexity`, not
    with n. Nothing is kept per row in Python objects, and `predict`
    evaluates blocks of 65536 rows into its float64 result. On 10^6 rows of
    10 columns a default fit peaks near 0.5 GiB in all (the tables
    benchmark, bench/tables_bench.py).

    See Also
    --------
    plot_pareto : Loss against complexity of `equations_`.
    plot_fit : Predicted against observed values.

    Examples
    --------
    >>> import numpy as np
    >>> from vok_learn import VokRegressor
    >>> rng = np.random.default_rng(0)
    >>> X = rng.uniform(1, 2, size=(50, 2))
    >>> y = 2.5 * X[:, 0] * X[:, 1]
    >>> model = VokRegressor(max_complexity=5, verbose=0).fit(X, y)
    >>> bool(np.allclose(model.predict(X), y))
    True
    """

    def __init__(
        self,
        max_complexity: int = 10,
        beam_width: int = 1000,
        complexity_penalty: float = 0.1,
        alpha: float = 0.0,
        l1_ratio: float = 0.5,
        time_limit: float | None = None,
        model_selection: str = "best",
        max_samples: int | str | None = "auto",
        normalize_y: bool = True,
        n_jobs: int | None = None,
        verbose: int = 1,
        random_state: int | np.random.RandomState | None = None,
        ranking: str = DEFAULT_RANKING,
        constants: str = DEFAULT_CONSTANTS,
        operators: list[str] | None = None,
        constant_units: str = "dimensionless",
        client: Any = None,
        output_scaling: bool = True,
        select_features: int | None = None,
        checkpoint: str | os.PathLike[str] | None = None,
        resume: str = "auto",
        warm_start: bool = False,
        grow_terms: int = 2,
        dimensionless_groups: bool = True,
    ) -> None:
        self.max_complexity = max_complexity
        self.beam_width = beam_width
        self.complexity_penalty = complexity_penalty
        self.alpha = alpha
        self.l1_ratio = l1_ratio
        self.time_limit = time_limit
        self.model_selection = model_selection
        self.max_samples = max_samples
        self.normalize_y = normalize_y
        self.n_jobs = n_jobs
        self.verbose = verbose
        self.random_state = random_state
        self.ranking = ranking
        self.constants = constants
        self.operators = operators
        self.constant_units = constant_units
        self.client = client
        self.output_scaling = output_scaling
        self.select_features = select_features
        self.checkpoint = checkpoint
        self.resume = resume
        self.warm_start = warm_start
        self.grow_terms = grow_terms
        self.dimensionless_groups = dimensionless_groups

    # ------------------------------------------------------------ checks

    def _threads(self) -> int | None:
        n_jobs = self.n_jobs
        if n_jobs is None:
            return None
        if not _is_int(n_jobs) or n_jobs == 0:
            raise ValueError(f"n_jobs must be None or a non-zero integer, got {n_jobs!r}")
        if n_jobs > 0:
            return int(n_jobs)
        return max(1, int(_engine.hardware_threads()) + 1 + int(n_jobs))

    def _check_params(self) -> None:
        def fail(name: str, expected: str) -> None:
            raise ValueError(f"{name} must be {expected}, got {getattr(self, name)!r}")

        for name in ("max_complexity", "beam_width"):
            value = getattr(self, name)
            if not _is_int(value) or value < 1:
                fail(name, "an integer >= 1")
        if not _is_int(self.grow_terms) or self.grow_terms < 0:
            fail("grow_terms", "an integer >= 0")
        for name in ("complexity_penalty", "alpha"):
            value = getattr(self, name)
            if not _is_real(value) or not math.isfinite(value) or value < 0:
                fail(name, "a finite number >= 0")
        if not _is_real(self.l1_ratio) or not 0.0 <= self.l1_ratio <= 1.0:
            fail("l1_ratio", "a number in [0, 1]")
        if self.time_limit is not None and (
            not _is_real(self.time_limit) or math.isnan(self.time_limit) or self.time_limit <= 0
        ):
            fail("time_limit", "None or a number of seconds > 0")
        if self.model_selection not in MODEL_SELECTIONS:
            fail("model_selection", "one of " + ", ".join(repr(m) for m in MODEL_SELECTIONS))
        if not (self.max_samples is None or isinstance(self.max_samples, str) and self.max_samples == "auto") and (
            not _is_int(self.max_samples) or self.max_samples < 1
        ):
            fail("max_samples", "'auto', None or an integer >= 1")
        if self.select_features is not None and (not _is_int(self.select_features) or self.select_features < 1):
            fail("select_features", "None or an integer >= 1")
        if not isinstance(self.normalize_y, (bool, np.bool_)):
            fail("normalize_y", "True or False")
        if not isinstance(self.output_scaling, (bool, np.bool_)):
            fail("output_scaling", "True or False")
        if self.verbose not in (0, 1, 2) or isinstance(self.verbose, float):
            fail("verbose", "0, 1 or 2")
        if not isinstance(self.ranking, str) or self.ranking not in RANKINGS:
            fail("ranking", "one of " + ", ".join(repr(r) for r in RANKINGS))
        if not isinstance(self.constants, str) or self.constants not in CONSTANT_LEAVES:
            fail("constants", "one of " + ", ".join(repr(c) for c in CONSTANT_LEAVES))
        resolve_operators(self.operators)
        if not isinstance(self.constant_units, str) or self.constant_units not in CONSTANT_UNITS:
            fail("constant_units", "one of " + ", ".join(repr(c) for c in CONSTANT_UNITS))
        if self.client is not None:
            _distributed.check_client(self.client)
        if self.checkpoint is not None and (
            not isinstance(self.checkpoint, (str, os.PathLike)) or not os.fspath(self.checkpoint)
        ):
            fail("checkpoint", "None or a file path")
        if not isinstance(self.resume, str) or self.resume not in _checkpoint.RESUME_POLICIES:
            fail("resume", "one of " + ", ".join(repr(r) for r in _checkpoint.RESUME_POLICIES))
        if not isinstance(self.warm_start, (bool, np.bool_)):
            fail("warm_start", "True or False")
        if not isinstance(self.dimensionless_groups, (bool, np.bool_)):
            fail("dimensionless_groups", "True or False")

    # --------------------------------------------------------------- fit

    def fit(
        self,
        X: ArrayLike,
        y: ArrayLike,
        X_units: Any = None,
        y_units: str | None = None,
        sample_weight: ArrayLike | None = None,
    ) -> VokRegressor:
        """Searches formulas for y as a function of the columns of X.

        Parameters
        ----------
        X : array-like or pandas.DataFrame of shape (n_samples, n_features)
            The inputs, at most 255 features, all finite. A DataFrame's
            column names become `feature_names_in_` and the names in the
            equations; otherwise the features are called x0, x1, ...
        y : array-like or pandas.Series of shape (n_samples,)
            The target values, all finite.
        X_units : sequence of str, dict or None, default=None
            The unit of every feature, in column order (or a dict by feature
            name), as pint reads it: "m/s^2", "kg*m^2", "1" or "" for a
            dimensionless feature. With units the search builds only
            dimensionally consistent formulas: sums and differences of like
            dimensions, exp, log, trigonometric functions and VOK of
            dimensionless arguments, fitted constants as `constant_units`
            says. Only the dimension counts, not the scale: "km" and "m" are
            both a length, and the values are used as given. All features
            have a unit or none does. None: no units.
        y_units : str or None, default=None
            The unit of y; the equations then all have its dimension.
            None: any dimension (only consistency is enforced). Needs
            `X_units`.
        sample_weight : array-like of shape (n_samples,) or None, default=None
            How much each row counts: the search ranks formulas, fits their
            constants (and the rescalings of `output_scaling`) and reports
            their ``loss`` by the weighted mean squared error
            sum(w * (f - y)**2) / sum(w). Weights must be finite and >= 0,
            not all 0; rows of weight 0 are left out of the fit altogether,
            and `max_samples` draws its subset from the others. Weights of
            one give exactly the equations of no weights. None: every row
            counts once.

        Returns
        -------
        self : VokRegressor
            The fitted estimator.

        Warns
        -----
        SearchStoppedWarning
            When the search stopped at `time_limit` or was interrupted
            (Ctrl-C); the equations found up to then are kept. An interrupt
            before any equation was found raises KeyboardInterrupt.

        Raises
        ------
        ValueError
            A unit that pint cannot read (the message names the feature), or
            units for another number of features.
        RuntimeError
            With a `client`, when the client is closed or its cluster is lost
            during the fit, or a worker cannot score its range; the estimator
            is then left unfitted (an earlier fit's attributes are removed).

        Examples
        --------
        >>> import numpy as np
        >>> import pandas as pd
        >>> from vok_learn import VokRegressor
        >>> X = pd.DataFrame({"m": [1.0, 2.0, 3.0, 4.0], "a": [2.0, 1.0, 0.5, 3.0]})
        >>> model = VokRegressor(max_complexity=3, verbose=0).fit(
        ...     X, X["m"] * X["a"], X_units=["kg", "m/s^2"], y_units="N")
        >>> model.sympy()
        a*m
        """
        start = time.monotonic()
        self._check_params()
        threads = self._threads()
        _check_single_target(y)
        X_all, y_all = validate_data(self, X, y, dtype=np.float64, y_numeric=True)
        if X_all.shape[1] > MAX_FEATURES:
            raise ValueError(
                f"X has {X_all.shape[1]} features, but VokRegressor accepts at most {MAX_FEATURES}"
            )
        weights = None
        if sample_weight is not None:
            # Also refuses NaN, infinities and all zeros.
            weights = _check_sample_weight(sample_weight, X_all, dtype=np.float64, ensure_non_negative=True)
            # A row of weight 0 is no row at all; the engine scales the
            # others to a mean of 1.
            if not np.all(weights > 0):
                kept = weights > 0
                X_all, y_all, weights = X_all[kept], y_all[kept], weights[kept]
        names = self._feature_names()
        units = resolve_units(X_units, y_units, names, str(self.constant_units))
        # The training data as the engine reads it, built once: each
        # equation's loss and leaves_reals come from one evaluation.
        data = _engine.Dataset(X_all, y_all, sample_weight=weights)

        seed = AUTO_SEED if self.random_state is None else self.random_state
        rng = check_random_state(seed)
        limit = self._sample_limit()
        subset = None
        if limit is not None and X_all.shape[0] > limit:
            subset = np.sort(rng.choice(X_all.shape[0], size=limit, replace=False))
        X_search = X_all if subset is None else X_all[subset]
        X_rows = X_search
        y_search = y_all if subset is None else y_all[subset]
        w_search = weights if subset is None or weights is None else weights[subset]
        columns = self._search_columns(X_search, y_search, rng, w_search)
        if len(columns) < X_all.shape[1]:
            X_search = X_search[:, columns]
            if units is not None:
                units = dataclasses.replace(units, inputs=tuple(units.inputs[j] for j in columns))
        factor = _scale_factor(y_search) if self.normalize_y else 1.0

        resume_state = self.__dict__.get("_search_state") if self.warm_start else None
        note = _checkpoint.make_note(
            self.get_params(deep=False), getattr(self, "feature_names_in_", None), factor
        )
        settings = SearchSettings.from_estimator(
            self, threads=threads, start=start, units=units, resume_state=resume_state, note=note
        )
        groups = _groups.find_groups(units) if self.dimensionless_groups and units is not None else None
        reserve = growing = 0.0
        if settings.time_limit is not None:
            reserve = _post_search_seconds(data, int(self.max_complexity))
            share = _growth.GROWTH_SHARE if groups is None else _groups.GROWTH_SHARE_WITH_GROUPS
            growing = share * settings.time_limit if self.grow_terms else 0.0
            grouping = _groups.GROUPS_SHARE * settings.time_limit if groups is not None else 0.0
            # The work after the search (every equation evaluated on all
            # rows, the refits, the search over the groups, growing, the
            # SymPy forms) comes out of the same time limit, so that fit
            # returns on time whatever the row count.
            settings = dataclasses.replace(
                settings,
                time_limit=max(
                    0.0, settings.time_limit - min(reserve, 0.25 * settings.time_limit) - growing - grouping
                ),
            )
        floor = max(ROUND_OFF_LOSS * float(np.mean(np.square(y_all))), np.finfo(np.float64).tiny)
        live = _LiveEquations(settings.checkpoint, names, factor, floor)
        try:
            result, level_records = self._search(X_search, y_search / factor, factor, settings, live, w_search)
        except _distributed.DistributedSearchError:
            # Nothing of this fit, nor of an earlier one, may pass for its
            # result.
            self._forget_fit()
            raise
        if self.warm_start and result.get("state"):
            self._search_state = result["state"]

        deadline = None if self.time_limit is None else start + self.time_limit - reserve / 2
        tokens_list = [
            remap_columns(scale_tokens([tuple(t) for t in eq["tokens"]], factor), columns)
            for eq in result["equations"]
        ]
        equations = _assessed(tokens_list, data)
        if subset is not None:
            equations = _refit(equations, data, float(self.alpha), float(self.l1_ratio), deadline)
        rows = [
            (int(eq["complexity"]), loss, tokens, nonreal)
            for eq, (tokens, loss, nonreal) in zip(result["equations"], equations)
            if math.isfinite(loss)
        ]
        interrupted = result["stop_reason"] == "cancelled"
        if groups is not None and not interrupted and not any(r[1] <= floor for r in rows):
            grouped = self._group_rows(
                groups, X_search, y_search, w_search, columns, settings, data,
                None if self.time_limit is None else start + self.time_limit - reserve - growing,
            )
            interrupted = grouped is None
            rows += grouped or []
        if not rows:
            # Nothing usable (no level finished, or no equation has a value
            # on every row): the constant model keeps the estimator usable.
            if units is not None and units.target is not None:
                warnings.warn(
                    f"no equation of y's dimension ({y_units!r}) was found up to level "
                    f"{result['last_level']}; equations_ holds the mean of y alone (constant_units="
                    f"'free' lets constants carry units)",
                    UserWarning,
                    stacklevel=2,
                )
            tokens = [("const", float(np.average(y_all, weights=weights)))]
            ((loss, nonreal),) = _engine.assess([tokens], data)
            rows.append((1, loss, tokens, nonreal))

        if self.grow_terms and not interrupted:
            rows += self._grow(
                rows, settings, _growth.GrowthData(X_rows, X_search, y_search, w_search, columns, data), floor,
                None if self.time_limit is None else start + self.time_limit - reserve,
            )
        self._store_front(_pareto_rows(rows), names, floor)
        self.selected_features_ = np.asarray(columns, dtype=np.intp)
        self.stop_reason_ = str(result["stop_reason"])
        self.resumed_level_ = int(result.get("resumed_level", 0))
        live.finish(self.equations_, result)
        if self.client is not None:
            self.distributed_stats_ = pd.DataFrame(level_records, columns=list(_distributed.STATS_COLUMNS))
        else:
            self.__dict__.pop("distributed_stats_", None)
        return self

    def _grow(
        self,
        rows: list[tuple[int, float, list[Token], Any]],
        settings: SearchSettings,
        grown: _growth.GrowthData,
        floor: float,
        deadline: float | None,
    ) -> list[tuple[int, float, list[Token], Any]]:
        """The equations grown from the most accurate of `rows`; none when
        growing is interrupted (Ctrl-C), which is said in a warning."""
        try:
            # The sums come after the rounds, with a tenth of the time: before
            # them, a sum would be the most accurate equation, and the rounds
            # would grow it in place of the search's formulas, which a term
            # or a factor can complete to the law.
            sums_from = None if deadline is None else deadline - _sums.SUMS_SHARE * max(
                0.0, deadline - time.monotonic()
            )
            added = _growth.grow(
                rows,
                int(self.grow_terms),
                settings,
                grown,
                floor=floor,
                loss_ratio=BEST_LOSS_RATIO,
                alpha=float(self.alpha),
                l1_ratio=float(self.l1_ratio),
                scale_factor=_scale_factor if self.normalize_y else lambda _: 1.0,
                deadline=sums_from,
            )
            return added + _sums.sums(
                rows + added,
                settings.operators,
                settings.units,
                grown,
                min_complexity=int(self.max_complexity),
                floor=floor,
                loss_ratio=BEST_LOSS_RATIO,
                alpha=float(self.alpha),
                l1_ratio=float(self.l1_ratio),
                deadline=deadline,
            )
        except KeyboardInterrupt:
            warnings.warn(
                "growing the equations after the search was interrupted; keeping the search's equations",
                SearchStoppedWarning,
                stacklevel=3,
            )
            return []

    def _group_rows(
        self,
        groups: _groups.Groups,
        X_search: NDArray[np.float64],
        y_search: NDArray[np.float64],
        w_search: NDArray[np.float64] | None,
        columns: Sequence[int],
        settings: SearchSettings,
        data: _engine.Dataset,
        deadline: float | None,
    ) -> list[tuple[int, float, list[Token], Any]] | None:
        """The rows (complexity, loss, tokens, leaves_reals) of the equations
        found over the dimensionless groups, refitted on all rows; None when
        that search is interrupted (Ctrl-C), which is said in a warning."""
        left = None if deadline is None else max(0.0, deadline - time.monotonic())
        try:
            found = _groups.search_groups(
                groups, X_search, y_search, w_search, settings.side_search(time_limit=left),
                _scale_factor if self.normalize_y else lambda _: 1.0,
            )
        except KeyboardInterrupt:
            warnings.warn(
                "the search over the dimensionless groups was interrupted; keeping the search's equations",
                SearchStoppedWarning,
                stacklevel=3,
            )
            return None
        equations = _refit(
            _assessed([remap_columns(tokens, columns) for tokens in found], data),
            data, float(self.alpha), float(self.l1_ratio), deadline,
        )
        return [(len(tokens), loss, tokens, nonreal) for tokens, loss, nonreal in equations if math.isfinite(loss)]

    def _store_front(self, front: list[tuple[int, float, list[Token], Any]], names: list[str], floor: float) -> None:
        """Sets `equation_tokens_`, `equations_` and `best_index_` from
        front rows (complexity, loss, tokens, leaves_reals)."""
        self.equation_tokens_ = [row[2] for row in front]
        self.equations_ = _checkpoint.equations_table(front, names, floor)
        floored = np.maximum(self.equations_["loss"].to_numpy(), floor)
        self.best_index_ = self._select(floored, self.equations_["score"].to_numpy())

    def _forget_fit(self) -> None:
        for name in [n for n in vars(self) if n.endswith("_") and not n.startswith("__")]:
            delattr(self, name)

    def _sample_limit(self) -> int | None:
        """The most rows the search runs on (None: all)."""
        return AUTO_MAX_SAMPLES if isinstance(self.max_samples, str) else self.max_samples

    def _search_columns(
        self,
        X: NDArray[np.float64],
        y: NDArray[np.float64],
        rng: np.random.RandomState,
        weights: NDArray[np.float64] | None,
    ) -> NDArray[np.intp]:
        """The columns of X the search runs on, in order: the
        `select_features` ranked highest, else all of them (with a warning
        when they are many)."""
        n = X.shape[1]
        if self.select_features is not None and self.select_features < n:
            return select_columns(X, y, int(self.select_features), int(rng.randint(2**31 - 1)), weights=weights)
        if n > WIDE_COLUMNS:
            leaves = LEAVES_OF_CONSTANTS[str(self.constants)]
            operators = resolve_operators(self.operators)
            wide = formula_counts(n + leaves, operators, max(WIDE_LEVELS))
            narrow = formula_counts(5 + leaves, operators, max(WIDE_LEVELS))
            sizes = ", ".join(
                f"level {lv} up to {wide[lv - 1]:.2g} formulas (with 5 columns {narrow[lv - 1]:.2g})"
                for lv in WIDE_LEVELS
            )
            warnings.warn(
                f"X has {n} columns, so the first levels of the search are wide: {sizes}; it reaches "
                "only small formulas in a given time. select_features=k searches on the k columns "
                "most related to y",
                UserWarning,
                stacklevel=3,
            )
        return np.arange(n)

    def _feature_names(self) -> list[str]:
        names = getattr(self, "feature_names_in_", None)
        if names is None:
            return [f"x{i}" for i in range(self.n_features_in_)]
        return [str(n) for n in names]

    def _search(
        self,
        X: NDArray[np.float64],
        y: NDArray[np.float64],
        factor: float,
        settings: SearchSettings,
        live: _LiveEquations,
        weights: NDArray[np.float64] | None = None,
    ) -> tuple[_engine.SearchRun, list[dict[str, Any]]]:
        """The engine's result and, on a cluster, its per-level records."""
        bars = _LevelBars(factor * factor) if self.verbose == 1 else None
        dispatcher = _distributed.Dispatcher(self.client) if self.client is not None else None

        def on_event(event: dict[str, Any]) -> None:
            if event["kind"] == "level":
                if dispatcher is not None:
                    dispatcher.record_level(event)
                live.level(event)
            if bars is not None:
                bars(event)

        watched = bars is not None or dispatcher is not None or live.active
        try:
            result = _engine.search(
                X,
                y,
                **settings.engine_kwargs(),
                callback=on_event if watched else None,
                dispatch=dispatcher,
                **({} if weights is None else {"sample_weight": weights}),
            )
        except KeyboardInterrupt as interrupt:
            partial = getattr(interrupt, "partial", None)
            if not partial or not partial.get("equations"):
                raise
            warnings.warn(
                f"the search was interrupted during level {partial['last_level'] + 1} of "
                f"{self.max_complexity} (level {partial['last_level']} was the last one "
                f"completed); keeping the {len(partial['equations'])} equation(s) found so far",
                SearchStoppedWarning,
                stacklevel=3,
            )
            result = partial
        finally:
            if bars is not None:
                bars.close()
            if dispatcher is not None:
                dispatcher.close()
        return self._warn_if_stopped(result), dispatcher.records if dispatcher is not None else []

    def _warn_if_stopped(self, result: _engine.SearchRun) -> _engine.SearchRun:
        if result["stop_reason"] == "time_limit":
            warnings.warn(
                f"the search reached its time limit of {self.time_limit:g} s during level "
                f"{result['last_level'] + 1} of {self.max_complexity} (level "
                f"{result['last_level']} was the last one completed); keeping the "
                f"{len(result['equations'])} equation(s) found so far",
                SearchStoppedWarning,
                stacklevel=4,
            )
        return result

    def _select(self, floored: NDArray[np.float64], scores: NDArray[np.float64]) -> int:
        if self.model_selection == "accuracy":
            return int(np.argmin(floored))
        if self.model_selection == "score":
            return int(np.argmax(scores))
        eligible = floored <= BEST_LOSS_RATIO * floored.min()
        return int(np.argmax(np.where(eligible, scores, -np.inf)))

    # ------------------------------------------------------ using the fit

    def _row(self, index: int | None) -> int:
        check_is_fitted(self)
        if index is None:
            return int(self.best_index_)
        n = len(self.equation_tokens_)
        if not _is_int(index):
            raise TypeError(f"index must be an integer row position in equations_, got {index!r}")
        if not -n <= index < n:
            raise IndexError(f"index {index} is out of range: equations_ has {n} row(s)")
        return int(index) % n

    def predict(self, X: ArrayLike, index: int | None = None) -> NDArray[np.float64]:
        """Predicts y with one equation of `equations_`.

        Parameters
        ----------
        X : array-like or pandas.DataFrame of shape (n_samples, n_features)
            The inputs, with the columns seen in fit.
        index : int or None, default=None
            The row position in `equations_`; None: `best_index_`.

        Returns
        -------
        ndarray of shape (n_samples,)
            The real part of the equation's value, NaN on rows where it has
            none (a zero divisor, a logarithm of zero, an overflow). Values
            on the way are not bounded as in the search, where a part of
            1e15 or more disqualifies a formula: a law that passes through
            exp(40) on a new row has its value there.

        Examples
        --------
        >>> import numpy as np
        >>> from vok_learn import VokRegressor
        >>> X = np.array([[1.0], [4.0], [9.0]])
        >>> model = VokRegressor(max_complexity=2, verbose=0).fit(X, np.sqrt(X[:, 0]))
        >>> model.predict([[16.0], [-1.0]])
        array([4., 0.])
        """
        row = self._row(index)
        X_checked = validate_data(self, X, reset=False, dtype=np.float64)
        tokens = self.equation_tokens_[row]
        if X_checked.shape[0] <= PREDICT_BLOCK_ROWS:
            return np.asarray(_engine.evaluate(tokens, X_checked, guard=False), dtype=np.float64)
        # In blocks: the engine's working arrays stay a few MiB, whatever
        # the number of rows.
        out = np.empty(X_checked.shape[0], dtype=np.float64)
        for first in range(0, X_checked.shape[0], PREDICT_BLOCK_ROWS):
            block = slice(first, first + PREDICT_BLOCK_ROWS)
            out[block] = _engine.evaluate(tokens, X_checked[block], guard=False)
        return out

    def sympy(self, index: int | None = None) -> Expr:
        """One equation as a SymPy expression.

        Parameters
        ----------
        index : int or None, default=None
            The row position in `equations_`; None: `best_index_`.

        Returns
        -------
        sympy.Expr
            The feature names are its symbols, constants are
            ``sympy.Float`` numbers with 17 significant digits (exact), and
            the engine's functions are SymPy's (``asin``, ``acos``, ``atan``,
            ``exp``, ``log``, ``sqrt``, ...; VOK(a, b) is exp(a) - log(b)).

        Examples
        --------
        >>> import pandas as pd
        >>> from vok_learn import VokRegressor
        >>> X = pd.DataFrame({"t": [0.5, 1.0, 1.5, 2.0]})
        >>> model = VokRegressor(max_complexity=3, verbose=0).fit(X, 3.0 * X["t"])
        >>> model.sympy()
        3.0*t
        """
        return self.equations_["sympy_format"].iloc[self._row(index)]

    def latex(self, index: int | None = None, precision: int = 4) -> str:
        """One equation in LaTeX.

        Parameters
        ----------
        index : int or None, default=None
            The row position in `equations_`; None: `best_index_`.
        precision : int, default=4
            Significant digits of the constants.

        Returns
        -------
        str
            The LaTeX text, without math delimiters.

        Examples
        --------
        >>> import pandas as pd
        >>> from vok_learn import VokRegressor
        >>> X = pd.DataFrame({"t": [0.5, 1.0, 1.5, 2.0]})
        >>> model = VokRegressor(max_complexity=3, verbose=0).fit(X, 3.0 * X["t"])
        >>> model.latex(precision=2)
        '3.0 t'
        """
        return to_latex(self.equation_tokens_[self._row(index)], self._feature_names(), precision)

    def to_numpy(self, index: int | None = None) -> Callable[[ArrayLike], NDArray[np.float64]]:
        """One equation as a NumPy function of a 2-D array.

        Parameters
        ----------
        index : int or None, default=None
            The row position in `equations_`; None: `best_index_`.

        Returns
        -------
        callable
            ``f(X)`` for X of shape (n_samples, `n_features_in_`) returns what
            `predict` returns (to about 1e-12 relative), computing in complex
            numbers where the engine does, so it also agrees on equations that
            go through non-real values. It depends only on NumPy and pickles.

        Examples
        --------
        >>> import numpy as np
        >>> from vok_learn import VokRegressor
        >>> X = np.array([[1.0], [4.0], [9.0]])
        >>> model = VokRegressor(max_complexity=2, verbose=0).fit(X, np.sqrt(X[:, 0]))
        >>> f = model.to_numpy()
        >>> f(np.array([[16.0], [-1.0]]))
        array([4., 0.])
        """
        row = self._row(index)
        return NumpyFormula(
            self.equation_tokens_[row], self.n_features_in_, self.equations_["equation"].iloc[row]
        )

    # ------------------------------------------------- copies and pickles

    # A Dask client cannot be copied or pickled (it holds an event loop and
    # open connections): copies and clones share it, pickles leave it out.

    def __sklearn_clone__(self) -> VokRegressor:
        if self.client is None:
            return super().__sklearn_clone__()  # type: ignore[no-any-return]
        unbound = copy.copy(self)
        unbound.client = None
        fresh = unbound.__sklearn_clone__()
        fresh.client = self.client
        return fresh

    def __copy__(self) -> VokRegressor:
        fresh = type(self).__new__(type(self))
        fresh.__dict__.update(self.__dict__)
        return fresh

    def __deepcopy__(self, memo: dict[int, Any]) -> VokRegressor:
        if self.__dict__.get("client") is not None:
            memo.setdefault(id(self.client), self.client)
        fresh = type(self).__new__(type(self))
        memo[id(self)] = fresh
        for name, value in self.__dict__.items():
            # The engine's kept search never changes once made: copies share it.
            shared = name == "_search_state"
            fresh.__dict__[name] = value if shared else copy.deepcopy(value, memo)
        return fresh

    def __getstate__(self) -> dict[str, Any]:
        state = dict(super().__getstate__())
        if state.get("client") is not None:
            state["client"] = None
        # The search state for a warm start lives in the engine's memory
        # and can take hundreds of MB; a pickle keeps the fit, and
        # `checkpoint` the state.
        state.pop("_search_state", None)
        return state

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = False
        # One formula per fit: a 2-D y raises, MultiOutputRegressor fits
        # one per column.
        tags.target_tags.multi_output = False
        tags.target_tags.single_output = True
        return tags


def load_checkpoint(
    path: str | os.PathLike[str], X: ArrayLike | None = None, y: ArrayLike | None = None
) -> VokRegressor:
    """A fitted :class:`VokRegressor` from a checkpoint's front, without searching.

    The estimator has the parameters of the fit that wrote the checkpoint
    (but `client`; `checkpoint` is `path`) and the equations of its Pareto
    front after the last level stored, which a running fit may still be
    adding to: `predict`, `sympy`, `latex` and the plots work on it.

    Parameters
    ----------
    path : str or path-like
        A file written by ``VokRegressor(checkpoint=...)``.
    X : array-like of shape (n_samples, n_features) or None, default=None
        With `y`: data on which the losses and `leaves_reals` are computed,
        as `fit` computes them on its training data. None: the losses are
        those the search measured on the rows it searched, and
        `leaves_reals` is unknown (missing).
    y : array-like of shape (n_samples,) or None, default=None
        The targets that go with `X`.

    Returns
    -------
    VokRegressor
        Fitted, with `equations_`, `equation_tokens_`, `best_index_`,
        `n_features_in_` (and `feature_names_in_` when the fit had names),
        `checkpoint_level_` (the last level stored) and `stop_reason_`:
        "completed" when the search reached its `max_complexity` or
        "checkpoint" when it had not.

    Raises
    ------
    FileNotFoundError
        When there is no file at `path`.
    ValueError
        When the file is not a checkpoint VokRegressor wrote that this
        version reads (damaged, truncated, of another format version), or
        `X` does not have the checkpoint's features.
    """
    location = os.fspath(path)
    info = _checkpoint.read_checkpoint(location)
    note = _checkpoint.read_note(info["note"], location)
    known = VokRegressor().get_params(deep=False)
    params = {name: value for name, value in note["params"].items() if name in known}
    est = VokRegressor(**{**params, "checkpoint": location})
    factor = float(note["factor"])
    feature_names = note["feature_names"]
    if feature_names is not None:
        est.feature_names_in_ = np.asarray(feature_names, dtype=object)
    est.n_features_in_ = int(info["columns"])
    names = est._feature_names()
    rows: list[tuple[int, float, list[Token], Any]] = [
        (c, loss, tokens, None) for c, loss, tokens in _checkpoint.front_rows(info["equations"], factor)
    ]
    floor = float(np.finfo(np.float64).tiny)
    if X is not None or y is not None:
        if X is None or y is None:
            raise ValueError("load_checkpoint takes X and y together, or neither")
        X_all, y_all = validate_data(est, X, y, dtype=np.float64, y_numeric=True, reset=False)
        data = _engine.Dataset(X_all, y_all)
        assessed = _engine.assess([row[2] for row in rows], data) if rows else []
        rows = [(row[0], loss, row[2], nonreal) for row, (loss, nonreal) in zip(rows, assessed)]
        floor = max(ROUND_OFF_LOSS * float(np.mean(np.square(y_all))), floor)
    rows = [row for row in rows if math.isfinite(row[1])]
    if not rows:
        raise ValueError(f"Checkpoint {location!r} holds no equation with a finite loss")
    est._store_front(_pareto_rows(rows), names, floor)
    est.checkpoint_level_ = int(info["last_level"])
    est.stop_reason_ = "completed" if info["last_level"] >= info["max_complexity"] else "checkpoint"
    return est
