"""plot_pareto and plot_fit, and the message without matplotlib."""

import sys

import matplotlib
import numpy as np
import pytest

from vok_learn import VokRegressor, plot_fit, plot_pareto

matplotlib.use("Agg")


@pytest.fixture(scope="module")
def model_and_data():
    rng = np.random.default_rng(5)
    X = rng.uniform(0.5, 2.0, size=(40, 2))
    y = X[:, 0] ** 2 + 0.1 * rng.normal(size=40)
    return VokRegressor(max_complexity=4, verbose=0).fit(X, y), X, y


def test_plot_pareto_marks_the_selected_equation(model_and_data):
    model, _, _ = model_and_data
    ax = plot_pareto(model)
    table = model.equations_
    labels = [t.get_text() for t in ax.texts]
    assert labels == [f"${model.latex(i, precision=3)}$" for i in range(len(table))]
    front, selected = ax.collections[:2]
    assert front.get_offsets()[:, 0].tolist() == table["complexity"].tolist()
    assert selected.get_offsets().tolist() == [
        [table["complexity"].iloc[model.best_index_], table["loss"].iloc[model.best_index_]]
    ]
    assert ax.get_yscale() == "log"


def test_plot_fit_draws_predicted_against_observed(model_and_data):
    model, X, y = model_and_data
    import matplotlib.pyplot as plt

    _, given = plt.subplots()
    ax = plot_fit(model, X, y, ax=given)
    assert ax is given
    np.testing.assert_array_equal(ax.collections[0].get_offsets(), np.column_stack([y, model.predict(X)]))
    with pytest.raises(ValueError, match="y has 3 values, X has 40 rows"):
        plot_fit(model, X, y[:3])


def test_missing_matplotlib_says_how_to_install(model_and_data, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"pip install vok_sr\[plot\]"):
        plot_pareto(model_and_data[0])
