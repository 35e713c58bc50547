"""Type stubs of vok_learn._engine, the private extension of vok_learn."""

from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal, Protocol, TypedDict, final

import numpy as np
import numpy.typing as npt

Token = tuple[Any, ...]
"""("var", i), ("const", value), ("literal", value), ("named", id, name) or ("op", id, name)."""

class Equation(TypedDict):
    tokens: list[Token]
    error: float
    complexity: int
    formula: str
    latex: str
    python: str

class SearchRun(TypedDict):
    equations: list[Equation]
    stop_reason: Literal["completed", "early_exit", "time_limit", "cancelled"]
    last_level: int
    resumed_level: int
    checkpoint_failures: int
    checkpoint_failure: str
    state: object | None  # an opaque kept search, for resume_state
    checkpoint_writes: list[CheckpointWrite]

class CheckpointWrite(TypedDict):
    level: int
    bytes: int
    encode_seconds: float
    write_seconds: float
    wait_seconds: float

class FrontEntry(TypedDict):
    tokens: list[Token]
    error: float
    complexity: int

class CheckpointContents(TypedDict):
    last_level: int
    max_complexity: int
    rows: int
    columns: int
    equations: list[FrontEntry]
    note: bytes

def search(
    X: npt.ArrayLike,
    y: npt.ArrayLike,
    max_complexity: int = 10,
    complexity_penalty: float = 0.1,
    beam_width: int = 1000,
    alpha: float = 0.0,
    l1_ratio: float = 0.5,
    exhaustive: bool = False,
    time_limit: float | None = None,
    threads: int | None = None,
    output: Literal["silent", "stdout"] = "silent",
    callback: Callable[[dict[str, Any]], object] | None = None,
    ranking: Literal["raw", "affine"] = "raw",
    constants: Literal["fitted", "named", "both"] = "fitted",
    dispatch: Dispatcher | None = None,
    operators: Sequence[str] | None = None,
    units: Mapping[str, Any] | None = None,
    output_scaling: bool = False,
    sample_weight: npt.ArrayLike | None = None,
    screen_factor: float = 0.0,
    refine: Literal["diagonal", "coupled"] = "diagonal",
    checkpoint: str | None = None,
    resume: Literal["auto", "never", "always"] = "auto",
    warm_start: bool = False,
    resume_state: object | None = None,
    keep_state: bool = False,
    note: bytes | None = None,
) -> SearchRun: ...
def read_checkpoint(path: str, /) -> CheckpointContents: ...
def evaluate(tokens: Sequence[Token], X: npt.ArrayLike, guard: bool = True) -> np.ndarray: ...
def assess(equations: Sequence[Sequence[Token]], data: Dataset) -> list[tuple[float, bool]]: ...
def refine(
    equations: Sequence[Sequence[Token]],
    data: Dataset,
    alpha: float = 0.0,
    l1_ratio: float = 0.5,
    iterations: int = 100,
    time_limit: float | None = None,
    refine: Literal["diagonal", "coupled"] = "diagonal",
) -> list[tuple[list[Token], float, bool]]: ...
def render(tokens: Sequence[Token]) -> tuple[str, str, str]: ...
def validate(tokens: Sequence[Token]) -> list[Token]: ...
def operators() -> list[tuple[int, str, int]]: ...
def hardware_threads() -> int: ...

@final
class Dataset:
    def __new__(cls, X: npt.ArrayLike, y: npt.ArrayLike, sample_weight: npt.ArrayLike | None = None) -> Dataset: ...
    @property
    def rows(self) -> int: ...
    @property
    def cols(self) -> int: ...
    def column(self, j: int, /) -> np.ndarray: ...
    def targets(self) -> np.ndarray: ...

@final
class DispatchedLevel:
    @property
    def level(self) -> int: ...
    @property
    def candidate_count(self) -> int: ...
    def payload(self) -> bytes: ...
    def recipes(self, first: int, count: int) -> bytes: ...
    def score(self, first: int, count: int) -> bytes: ...
    def should_stop(self, done: int | None = None) -> bool: ...

class Dispatcher(Protocol):
    """What search(dispatch=...) takes."""

    @property
    def min_candidates(self) -> int: ...
    def score_level(self, level: DispatchedLevel, /) -> Sequence[bytes | bytearray | memoryview] | None: ...

@final
class LevelScorer:
    def __new__(cls, payload: bytes | bytearray | memoryview, threads: int | None = None) -> LevelScorer: ...
    @property
    def level(self) -> int: ...
    def score(self, recipes: bytes | bytearray | memoryview, first: int) -> bytes: ...
