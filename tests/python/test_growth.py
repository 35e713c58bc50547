"""Growing the most accurate equation after the search: a term or a factor
found on what it leaves unexplained, judged on rows its search never saw."""

import time
import warnings

import numpy as np
import pytest

from vok_learn import SearchStoppedWarning, VokRegressor, _engine, _growth
from vok_learn._operators import operator_token
from vok_learn._settings import SearchSettings


def data(law, rows=80, seed=0, noise=0.0):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 2.0, size=(rows, 3))
    y = law(X)
    return X, y + noise * np.std(y) * rng.normal(size=rows)


def fit(X, y, **params):
    settings = dict(max_complexity=4, beam_width=200, verbose=0)
    return VokRegressor(**{**settings, **params}).fit(X, y)


def most_accurate(model):
    row = int(np.argmin(model.equations_["loss"].to_numpy()))
    return model.equations_.iloc[row], model.equation_tokens_[row]


# Laws five tokens cannot write: a sum or a product of two parts that the
# search finds one at a time.
@pytest.mark.parametrize(
    "law, join",
    [
        (lambda X: 3.0 * X[:, 0] * X[:, 1] + np.sqrt(X[:, 2]), "Plus"),
        (lambda X: X[:, 0] * np.exp(X[:, 1]) * np.cos(X[:, 2]), "Times"),
    ],
    ids=["term", "factor"],
)
def test_a_law_beyond_max_complexity_is_grown_from_its_parts(law, join):
    X, y = data(law)
    plain = fit(X, y, max_complexity=5, grow_terms=0)
    grown = fit(X, y, max_complexity=5)
    assert plain.equations_["complexity"].max() <= 5
    assert plain.equations_["loss"].min() > 1e-2
    row, tokens = most_accurate(grown)
    assert row["complexity"] > 5
    assert row["loss"] < 1e-20
    assert tokens[-1][2] == join
    np.testing.assert_allclose(grown.predict(X), y, rtol=1e-9)
    # The search's own equations stay as they were.
    assert grown.equations_[grown.equations_["complexity"] <= 5].equals(plain.equations_)


@pytest.mark.parametrize(
    "law, rows, noise",
    [
        # The residual search explains part of any noise, here more than a
        # third of it on all rows; the rows it never saw tell that apart
        # from a missing part of the law.
        (lambda X: 2.0 * X[:, 0] - X[:, 1], 20, 0.05),
        # Too few rows to judge a candidate on.
        (lambda X: 3.0 * X[:, 0] * X[:, 1] + np.sqrt(X[:, 2]), _growth.GROWTH_MIN_ROWS - 1, 0.0),
    ],
    ids=["noise", "few_rows"],
)
def test_nothing_is_grown_that_cannot_be_judged_on_unseen_rows(law, rows, noise):
    X, y = data(law, rows=rows, noise=noise)
    assert fit(X, y, max_complexity=5).equations_["complexity"].max() <= 5


@pytest.mark.parametrize("operators, joins", [(["*", "sqrt"], {"Times"}), (["+", "sqrt"], {"Plus"})])
def test_parts_join_only_by_operators_the_set_allows(operators, joins):
    X, y = data(lambda X: 3.0 * X[:, 0] * X[:, 1] + np.sqrt(X[:, 2]))
    model = fit(X, y, max_complexity=5, operators=operators)
    grown = [t for t, c in zip(model.equation_tokens_, model.equations_["complexity"]) if c > 5]
    assert {tokens[-1][2] for tokens in grown} == joins


def test_growing_is_the_same_on_any_thread_count():
    X, y = data(lambda X: 3.0 * X[:, 0] * X[:, 1] + np.sqrt(X[:, 2]))
    one, two = fit(X, y, max_complexity=5, n_jobs=1), fit(X, y, max_complexity=5, n_jobs=2)
    assert one.equations_["complexity"].max() > 5
    assert repr(one.equation_tokens_) == repr(two.equation_tokens_)
    assert one.equations_["loss"].tolist() == two.equations_["loss"].tolist()


@pytest.mark.parametrize("value", [-1, 1.5, "2", None])
def test_grow_terms_must_be_a_count(value):
    X, y = data(lambda X: X[:, 0])
    with pytest.raises(ValueError, match=rf"^grow_terms must be an integer >= 0, got {value!r}$"):
        fit(X, y, grow_terms=value)


@pytest.mark.parametrize("where", ["between_searches", "in_a_residual_search"])
def test_an_interrupt_while_growing_keeps_the_search_equations(monkeypatch, where):
    X, y = data(lambda X: X[:, 0] * X[:, 1] + np.sin(X[:, 2]))
    plain = fit(X, y, grow_terms=0)
    runs = []
    search = _engine.search

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    def cancelled_after_the_first(*args, **kwargs):
        # Ctrl-C in the engine ends its search as "cancelled", not raised.
        runs.append(search(*args, **kwargs))
        return runs[-1] if len(runs) == 1 else {**runs[-1], "stop_reason": "cancelled"}

    if where == "between_searches":
        monkeypatch.setattr(_growth, "grow", interrupted)
    else:
        monkeypatch.setattr(_engine, "search", cancelled_after_the_first)
    with pytest.warns(SearchStoppedWarning, match="^growing the equations after the search was interrupted"):
        model = fit(X, y)
    assert model.equations_.equals(plain.equations_)
    assert len(runs) == (0 if where == "between_searches" else 2)  # nothing searched after the cancelled one


@pytest.mark.parametrize("grow_terms", [0, 2])
def test_a_time_limit_sets_a_quarter_aside_for_growing(search_time_limits, grow_terms):
    limits = search_time_limits
    X, y = data(lambda X: X[:, 0] * X[:, 1] + np.sin(X[:, 2]))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SearchStoppedWarning)
        fit(X, y, time_limit=40.0, grow_terms=grow_terms)
    main = limits[0]
    if grow_terms:
        # The post-search reserve is under a second here.
        assert 28.0 <= main <= 30.0
        # The searches that grow share what is left: each may take at most
        # half of it, the other half being the refits'.
        assert len(limits) > 1 and all(0.0 < limit <= 20.0 for limit in limits[1:])
    else:
        assert 38.0 <= main <= 40.0
        assert len(limits) == 1



def law(X):
    return X[:, 0] * X[:, 1] * X[:, 2] * np.exp(X[:, 2]) * np.cos(X[:, 1])


TIMES, VAR = operator_token("Times"), lambda i: ("var", i)
# The law less its factor x0*x1, which the factor search completes.
PARTIAL = [VAR(2), VAR(2), operator_token("Exp"), TIMES, VAR(1), operator_token("Cos"), TIMES]
# The law less x0*cos(x1): it grows to the law as well.
SIBLING = [VAR(2), VAR(2), operator_token("Exp"), TIMES, VAR(1), TIMES]


def wrong(k):
    """A wrong guess that nothing of 6 tokens grows to below PARTIAL's loss."""
    return [VAR(0), ("const", 37.0 + 4 * k), TIMES, operator_token("Sin")]


@pytest.mark.parametrize(
    "before, grown_from",
    [
        ([wrong(0)], [PARTIAL]),
        ([wrong(k) for k in range(_growth.GROWTH_BASES)], []),
        ([SIBLING], [SIBLING, PARTIAL]),
    ],
    ids=["past_a_wrong_guess", "three_at_most", "each_of_them"],
)
def test_a_round_grows_each_of_the_three_most_accurate(before, grown_from):
    # The formulas before PARTIAL are given a lower loss than its own, so
    # that it comes after them.
    X, _ = data(lambda X: X[:, 0])
    y = law(X)
    dataset = _engine.Dataset(X, y)
    ((loss, nonreal),) = _engine.assess([PARTIAL], dataset)
    rows = [(len(t), loss * (0.9 + 0.01 * k), t, False) for k, t in enumerate(before)]
    settings = SearchSettings.from_estimator(VokRegressor(max_complexity=5), threads=None, start=time.monotonic())
    grown = _growth.grow(
        [*rows, (len(PARTIAL), loss, PARTIAL, nonreal)],
        1,
        settings,
        _growth.GrowthData(X, X, y, None, [0, 1, 2], dataset),
        floor=1e-20,
        loss_ratio=1.5,
        alpha=0.0,
        l1_ratio=0.0,
        scale_factor=lambda _: 1.0,
        deadline=None,
    )
    laws = [tokens for _, new_loss, tokens, _ in grown if new_loss < 1e-20]
    assert [base for base in grown_from if any(t[: len(base)] == base and t[-1] == TIMES for t in laws)] == grown_from
    assert all(any(t[: len(base)] == base for base in grown_from) for _, _, t, _ in grown)
