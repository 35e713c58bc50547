"""Which columns a search runs on: scikit-learn's ranking of the features
for `select_features`, and the size of the first levels over many columns."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

from ._tokens import OPERATOR_ARITY, Token

__all__ = ["FEATURE_RANKINGS", "formula_counts", "rank_features", "remap_columns", "select_columns"]

# The rankings the tables benchmark compares; `select_columns` uses
# DEFAULT_RANKING. On 2000 rows of 100 columns with 3 relevant ones (three
# laws, five seeds) the forest put all three in its top 5 every time, mutual
# information 7 times in 15: it misses a column whose effect is weak on its
# own (-0.5*x in a sum of powers) or that only modulates another (x6 in
# sin(2*x5)*x6). The forest takes about twice as long, a few seconds.
FEATURE_RANKINGS = ("mutual_info", "forest")
DEFAULT_RANKING = "forest"
# Rows the ranking reads at most: mutual information's nearest-neighbour
# estimate and a forest's splits are settled by a few thousand rows, and
# their cost grows faster than the rows.
RANKING_ROWS = 4000
# Named constants the search offers as leaves, by `constants`.
CONSTANT_LEAVES = {"fitted": 1, "named": 5, "both": 6}


def rank_features(
    X: NDArray[np.float64],
    y: NDArray[np.float64],
    method: str,
    seed: int,
    weights: NDArray[np.float64] | None = None,
) -> NDArray[np.float64]:
    """One relevance score per column of X for predicting y, higher is more
    relevant: scikit-learn's mutual information estimate
    ("mutual_info"), which sees any dependence, not only a linear one, or
    the impurity importances of a random forest ("forest"), which also see
    columns that matter only together with others, and weighs the rows by
    `weights` (mutual information cannot: it reads every row alike)."""
    if method == "mutual_info":
        from sklearn.feature_selection import mutual_info_regression

        return np.asarray(mutual_info_regression(X, y, random_state=seed), dtype=np.float64)
    if method == "forest":
        from sklearn.ensemble import RandomForestRegressor

        forest = RandomForestRegressor(n_estimators=100, max_features=0.3, min_samples_leaf=5, random_state=seed)
        return np.asarray(forest.fit(X, y, sample_weight=weights).feature_importances_, dtype=np.float64)
    raise ValueError(f"unknown feature ranking {method!r}")


def select_columns(
    X: NDArray[np.float64],
    y: NDArray[np.float64],
    k: int,
    seed: int,
    method: str = DEFAULT_RANKING,
    weights: NDArray[np.float64] | None = None,
) -> NDArray[np.intp]:
    """The k columns of X ranked highest for y (rows weighted by `weights`
    where the method can), in their original order (ties go to the earlier
    column), read from at most RANKING_ROWS rows."""
    if k >= X.shape[1]:
        return np.arange(X.shape[1])
    if X.shape[0] > RANKING_ROWS:
        rows = np.sort(np.random.default_rng(seed).choice(X.shape[0], size=RANKING_ROWS, replace=False))
        X, y = X[rows], y[rows]
        weights = None if weights is None else weights[rows]
    scores = rank_features(X, y, method, seed, weights)
    order = np.lexsort((np.arange(len(scores)), -scores))
    return np.sort(order[:k])


def remap_columns(tokens: Sequence[Token], columns: Sequence[int]) -> list[Token]:
    """`tokens` with each variable j of the searched columns renamed to the
    original column columns[j]."""
    return [("var", int(columns[t[1]])) if t[0] == "var" else t for t in tokens]


def formula_counts(leaves: int, operators: Sequence[str] | None, levels: int) -> list[int]:
    """How many formulas of 1..levels tokens `leaves` leaves and the
    operators (engine names; None: all) build, before the search removes
    duplicates and equal values: an upper bound of each level's width."""
    names = list(OPERATOR_ARITY) if operators is None else list(operators)
    unary = sum(1 for n in names if OPERATOR_ARITY[n] == 1)
    binary = sum(1 for n in names if OPERATOR_ARITY[n] == 2)
    counts = [0, leaves]
    for size in range(2, levels + 1):
        pairs = sum(counts[i] * counts[size - 1 - i] for i in range(1, size - 1))
        counts.append(unary * counts[size - 1] + binary * pairs)
    return counts[1:]
