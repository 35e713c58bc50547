"""Symbolic regression for scikit-learn, pandas and SymPy users.

``vok_learn`` sits on top of the same C++ engine as ``vok_sr``, through the
private extension ``vok_learn._engine``, which adds what a library layer
needs: a search that can be bounded, silenced and interrupted, and formulas
returned as exact token lists rather than rounded text.

The public names are :class:`VokRegressor` (a scikit-learn regressor),
:class:`SearchStoppedWarning`, :func:`load_checkpoint` (a fitted estimator
from a checkpoint file) with :class:`CheckpointWriteWarning`,
:func:`identify_constant` (closed forms of a
number, as :class:`ConstantForm` objects), and the plots :func:`plot_pareto`
and :func:`plot_fit` (they need matplotlib: ``pip install vok_sr[plot]``).
"""

from ._constants import ConstantForm, identify_constant
from ._checkpoint import CheckpointWriteWarning
from ._estimator import SearchStoppedWarning, VokRegressor, load_checkpoint
from ._plot import plot_fit, plot_pareto
from ._version import __version__

__all__ = [
    "CheckpointWriteWarning",
    "ConstantForm",
    "SearchStoppedWarning",
    "VokRegressor",
    "__version__",
    "identify_constant",
    "load_checkpoint",
    "plot_fit",
    "plot_pareto",
]
