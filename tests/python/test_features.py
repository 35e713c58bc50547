"""Column selection for a search: the rankings, the kept columns, the
renaming of a formula's variables and the level widths warned of."""

import numpy as np
import pytest

from vok_learn._features import FEATURE_RANKINGS, formula_counts, rank_features, remap_columns, select_columns


@pytest.mark.parametrize(
    "leaves, operators, expected",
    [
        # Size 3: a unary op on a size-2 formula, or a binary op on two leaves.
        (2, ("Plus", "Neg"), [2, 2, 2 + 4, 6 + 2 * 4 + 0]),
        (3, ("Times",), [3, 0, 9, 0]),
        (1, ("Sqrt",), [1, 1, 1, 1]),
    ],
)
def test_formula_counts_follow_the_postfix_recurrence(leaves, operators, expected):
    assert formula_counts(leaves, operators, 4) == expected


def test_formula_counts_of_all_operators_grow_with_the_square_of_the_leaves():
    few, many = formula_counts(6, None, 3), formula_counts(101, None, 3)
    unary, binary = 13, 5
    assert few[2] == unary * unary * 6 + binary * 36
    assert many[2] == unary * unary * 101 + binary * 101**2


def test_remap_columns_renames_variables_only():
    tokens = [("var", 0), ("const", 2.0), ("var", 1), ("op", 9, "Times"), ("var", 0), ("op", 8, "Plus")]
    assert remap_columns(tokens, [4, 17]) == [
        ("var", 4), ("const", 2.0), ("var", 17), ("op", 9, "Times"), ("var", 4), ("op", 8, "Plus")]


@pytest.mark.parametrize("method", FEATURE_RANKINGS)
def test_rankings_put_the_relevant_columns_first(method):
    rng = np.random.default_rng(0)
    X = rng.uniform(1.0, 3.0, size=(1500, 30))
    y = 2.5 * X[:, 4] * X[:, 9] / X[:, 21]
    scores = rank_features(X, y, method, 0)
    assert scores.shape == (30,)
    assert set(np.argsort(-scores)[:3].tolist()) == {4, 9, 21}
    assert select_columns(X, y, 3, 0, method).tolist() == [4, 9, 21]


def test_select_columns_breaks_ties_by_position_and_keeps_order():
    X = np.ones((50, 6))  # no column says anything: all rank equal
    X[:, 5] = np.linspace(0, 1, 50)
    chosen = select_columns(X, X[:, 5] ** 2, 3, 0)
    assert chosen.tolist() == [0, 1, 5]
    assert select_columns(X, X[:, 5], 6, 0).tolist() == list(range(6))


def test_unknown_ranking_is_an_error():
    with pytest.raises(ValueError, match="unknown feature ranking 'lasso'"):
        rank_features(np.ones((5, 2)), np.ones(5), "lasso", 0)


def test_the_forest_ranks_by_the_weighted_rows():
    rng = np.random.default_rng(1)
    X = rng.uniform(1.0, 3.0, size=(600, 8))
    # The first half follows x2, the second x6: the weights pick the half.
    y = np.where(np.arange(600) < 300, 3.0 * X[:, 2], 3.0 * X[:, 6])
    first = np.where(np.arange(600) < 300, 1.0, 1e-6)
    assert select_columns(X, y, 1, 0, "forest", weights=first).tolist() == [2]
    assert select_columns(X, y, 1, 0, "forest", weights=first[::-1].copy()).tolist() == [6]
