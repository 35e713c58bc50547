"""Plots of a fitted ``VokRegressor`` (matplotlib, an optional extra)."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike
from sklearn.utils.validation import check_is_fitted

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from ._estimator import VokRegressor

__all__ = ["plot_fit", "plot_pareto"]


def _axes(ax: Axes | None) -> Axes:
    # matplotlib is imported only here, so that the package works without it.
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ImportError(
            "vok_learn's plots need matplotlib; install it with: pip install vok_sr[plot]"
        ) from error
    if ax is None:
        _, ax = plt.subplots()
    return ax


def plot_pareto(model: VokRegressor, ax: Axes | None = None) -> Axes:
    """Plots the loss of each equation against its complexity.

    The Pareto front of ``model.equations_`` is drawn as a step line on a
    logarithmic loss axis; each point is labelled with its equation in
    LaTeX, and the selected equation (``best_index_``) is marked.

    Parameters
    ----------
    model : VokRegressor
        A fitted estimator.
    ax : matplotlib.axes.Axes or None, default=None
        Where to draw; None: a new figure.

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn on.

    Examples
    --------
    >>> import numpy as np
    >>> from vok_learn import VokRegressor, plot_pareto
    >>> X = np.linspace(0.5, 2.0, 30).reshape(-1, 1)
    >>> model = VokRegressor(max_complexity=5, verbose=0).fit(X, X[:, 0] ** 2 + 0.3 * X[:, 0])
    >>> ax = plot_pareto(model)
    >>> ax.get_xlabel()
    'complexity'
    """
    check_is_fitted(model)
    ax = _axes(ax)
    table = model.equations_
    complexity = table["complexity"].to_numpy()
    # A log axis cannot show an exact zero; the smallest positive double
    # stands for it, below every real loss.
    loss = np.maximum(table["loss"].to_numpy(), np.finfo(np.float64).tiny)
    ax.step(complexity, loss, where="post", color="0.6", zorder=1)
    ax.scatter(complexity, loss, color="C0", zorder=2, label="Pareto front")
    best = int(model.best_index_)
    ax.scatter(
        [complexity[best]],
        [loss[best]],
        s=160,
        facecolors="none",
        edgecolors="C3",
        linewidths=2,
        zorder=3,
        label="selected",
    )
    for i, (c, value) in enumerate(zip(complexity, loss)):
        ax.annotate(
            f"${model.latex(i, precision=3)}$",
            (c, value),
            textcoords="offset points",
            xytext=(5, 5),
            fontsize=8,
        )
    ax.set_yscale("log")
    ax.set_xlabel("complexity")
    ax.set_ylabel("loss (MSE)")
    ax.set_title("Equations: loss against complexity")
    ax.legend(loc="upper right")
    return ax


def plot_fit(model: VokRegressor, X: ArrayLike, y: ArrayLike, ax: Axes | None = None) -> Axes:
    """Plots the predicted values against the observed ones.

    Parameters
    ----------
    model : VokRegressor
        A fitted estimator; its selected equation makes the predictions.
    X : array-like or pandas.DataFrame of shape (n_samples, n_features)
        The inputs.
    y : array-like of shape (n_samples,)
        The observed values.
    ax : matplotlib.axes.Axes or None, default=None
        Where to draw; None: a new figure.

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn on, with the line predicted = observed for reference.

    Examples
    --------
    >>> import numpy as np
    >>> from vok_learn import VokRegressor, plot_fit
    >>> X = np.linspace(0.5, 2.0, 30).reshape(-1, 1)
    >>> model = VokRegressor(max_complexity=3, verbose=0).fit(X, np.exp(X[:, 0]))
    >>> ax = plot_fit(model, X, np.exp(X[:, 0]))
    >>> ax.get_xlabel(), ax.get_ylabel()
    ('observed', 'predicted')
    """
    check_is_fitted(model)
    ax = _axes(ax)
    observed = np.asarray(y, dtype=np.float64).ravel()
    predicted = model.predict(X)
    if observed.shape != predicted.shape:
        raise ValueError(f"y has {observed.size} values, X has {predicted.size} rows")
    ax.scatter(observed, predicted, s=12, alpha=0.7, label="samples")
    finite = np.concatenate([observed, predicted[np.isfinite(predicted)]])
    low, high = float(finite.min()), float(finite.max())
    ax.plot([low, high], [low, high], color="C3", linewidth=1, label="predicted = observed")
    ax.set_xlabel("observed")
    ax.set_ylabel("predicted")
    ax.set_title(f"${model.latex(precision=3)}$")
    ax.legend(loc="upper left")
    return ax
