"""The main Python module entry point."""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, final

import numpy.typing as npt

__all__ = [
    "Searcher",
    "SearchResult",
    "VokDimensionError",
    "VokComplexityError",
    "VokRuntimeError",
]

_Real = SupportsFloat | SupportsIndex
# Any NumPy array is accepted; float64 ones take the fast path.
_Array = npt.NDArray[Any]

_Vector = Sequence[_Real] | _Array
_Matrix = Sequence[Sequence[_Real] | _Array] | _Array

@final
class Searcher:
    """The core VOK-SR search engine exposed to Python."""

    def __init__(
        self,
        max_complexity: SupportsIndex = 10,
        complexity_penalty: _Real = 0.1,
        beam_width: SupportsIndex = 1000,
        alpha: _Real = 0.0,
        l1_ratio: _Real = 0.5,
    ) -> None: ...
    @property
    def max_complexity(self) -> int: ...
    @property
    def beam_width(self) -> int: ...
    @property
    def complexity_penalty(self) -> float: ...
    @property
    def alpha(self) -> float: ...
    @property
    def l1_ratio(self) -> float: ...
    def find_function(
        self, xs: _Vector, ys: _Vector, alpha: _Real | None = None, l1_ratio: _Real | None = None
    ) -> SearchResult:
        """Finds a univariate function f(x) ≈ y.
        Supports both Python lists and NumPy arrays."""
    def find_multivariate(
        self, inputs: _Matrix, ys: _Vector, alpha: _Real | None = None, l1_ratio: _Real | None = None
    ) -> SearchResult:
        """Finds a multivariate function f(x0, x1, ...) ≈ y.
        Inputs should be a 2D array-like structure."""
    def fit(
        self, inputs: _Matrix, ys: _Vector, alpha: _Real | None = None, l1_ratio: _Real | None = None
    ) -> SearchResult:
        """Alias for find_multivariate (Scikit-Learn style)."""
    def find_candidates(
        self, inputs: _Matrix, ys: _Vector, alpha: _Real | None = None, l1_ratio: _Real | None = None
    ) -> list[SearchResult]:
        """Returns the Pareto-front of all candidate formulas found."""
    def recognize_constant(
        self, value: _Real, alpha: _Real | None = None, l1_ratio: _Real | None = None
    ) -> SearchResult:
        """Identifies a closed-form expression for a scalar constant."""

@final
class SearchResult:
    """A high-performance symbolic regression result."""

    # Results come only from Searcher methods; calling the class raises TypeError.
    @property
    def formula(self) -> str:
        """The discovered mathematical formula as a string."""
    @property
    def error(self) -> float:
        """The residual error (Mean Squared Error) of the formula."""
    @property
    def complexity(self) -> int:
        """The structural complexity of the formula."""
    def to_latex(self) -> str:
        """Returns the formula in LaTeX format for academic reporting."""
    def to_python(self) -> str:
        """Returns the formula in Python/NumPy format for immediate use."""
    def eval(self, x: _Real | _Vector) -> float:
        """Evaluates the discovered formula for a given input (float or list/array)."""
    def eval_batch(self, inputs: _Matrix) -> list[float]:
        """Evaluates the formula for a batch of inputs (list of lists or 2D array)."""
    def predict(self, inputs: _Matrix) -> list[float]:
        """Alias for eval_batch (Scikit-Learn style)."""

class VokDimensionError(Exception): ...
class VokComplexityError(Exception): ...
class VokRuntimeError(Exception): ...
