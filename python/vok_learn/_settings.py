"""The settings of one search, derived once from an estimator's parameters."""

from __future__ import annotations

import dataclasses
import math
import os
import time
from dataclasses import dataclass
from typing import Any

from ._operators import resolve_operators
from ._units import UnitDimensions

# A candidate with constants that starts (at its operands' fitted constants)
# more than this factor behind the previous level's beam and the front, and
# that the first step of refinement with a free scale and offset would
# leave as far behind, is not refined. At 1 a candidate is refined only when
# that step could bring it level with the beam or the front. Without the
# step's model even 1.5 would drop (x + C) * (x + x^3), whose C starts from
# x + C's own fit, and lose that law; with it, and with the model taking
# only the rows where a complex start is real, 1 recovers as many of the
# discovery benchmark's laws as 5 without units and more with them, and
# approximates the laws it misses more closely in the same time.
SCREEN_FACTOR = 1.0

# Every refinement solves the damped normal equations of all constants
# together and gives up only at the damping ceiling: correlated constants,
# such as a scale and a rate in C * exp(C * x), converge in a few steps
# where vok_sr's diagonal steps stall.
REFINE = "coupled"


@dataclass(frozen=True)
class SearchSettings:
    """What `_engine.search` is told, besides the data, the callback and the
    dispatcher: the same for a search scored here and one scored on a
    cluster, so that both find the same equations."""

    max_complexity: int
    complexity_penalty: float
    beam_width: int
    alpha: float
    l1_ratio: float
    ranking: str
    constants: str
    # The engine's names of the operators to build from (None: all of them).
    operators: tuple[str, ...] | None
    output_scaling: bool
    threads: int | None
    # Seconds the search may still run (None: no limit).
    time_limit: float | None
    # "stdout" for the engine's own progress lines, else "silent".
    output: str
    # The dimensions of the features and the target (fit's X_units and
    # y_units), None without units.
    units: UnitDimensions | None = None
    screen_factor: float = SCREEN_FACTOR
    refine: str = REFINE
    # The checkpoint file (None: none), how an existing one is resumed,
    # whether a stored search may go on to a larger max_complexity, the
    # state kept in memory by an earlier fit to go on from (None: the
    # file's), whether to return the state for the next one, and the
    # estimator's own note stored with the state.
    checkpoint: str | None = None
    resume: str = "auto"
    warm_start: bool = False
    resume_state: object | None = None
    keep_state: bool = False
    note: bytes | None = None

    @classmethod
    def from_estimator(
        cls,
        est: Any,
        *,
        threads: int | None,
        start: float,
        units: UnitDimensions | None = None,
        resume_state: object | None = None,
        note: bytes | None = None,
    ) -> SearchSettings:
        """The settings of a checked estimator's search; `start` is when its
        fit began (time.monotonic()), which the time limit counts from;
        `units` those of its fit; `resume_state` the state a warm start
        goes on from and `note` what its checkpoint keeps besides."""
        time_limit = None
        if est.time_limit is not None and math.isfinite(est.time_limit):
            time_limit = max(0.0, float(est.time_limit) - (time.monotonic() - start))
        return cls(
            max_complexity=int(est.max_complexity),
            complexity_penalty=float(est.complexity_penalty),
            beam_width=int(est.beam_width),
            alpha=float(est.alpha),
            l1_ratio=float(est.l1_ratio),
            ranking=str(est.ranking),
            constants=str(est.constants),
            operators=resolve_operators(est.operators),
            output_scaling=bool(est.output_scaling),
            threads=threads,
            time_limit=time_limit,
            output="stdout" if est.verbose == 2 else "silent",
            units=units,
            checkpoint=None if est.checkpoint is None else os.fspath(est.checkpoint),
            resume=str(est.resume),
            warm_start=bool(est.warm_start),
            resume_state=resume_state,
            keep_state=bool(est.warm_start),
            note=note,
        )

    def side_search(self, **changes: Any) -> SearchSettings:
        """The settings of a search the fit runs besides its own (on groups
        of the features, on what an equation leaves unexplained): silent,
        never checkpointed nor resumed, with `changes` on top."""
        quiet = {
            "output": "silent",
            "checkpoint": None,
            "resume": "never",
            "warm_start": False,
            "resume_state": None,
            "keep_state": False,
            "note": None,
        }
        return dataclasses.replace(self, **(quiet | changes))

    def run_side_search(self, X: Any, y: Any, sample_weight: Any = None) -> dict[str, Any]:
        """`_engine.search` on X and y with these settings made a side
        search's (see `side_search`). Ctrl-C ends the engine's search as
        "cancelled" rather than raising; here it raises KeyboardInterrupt,
        so that the fit that asked for the side search ends too."""
        from . import _engine

        run = _engine.search(
            X,
            y,
            **self.side_search().engine_kwargs(),
            **({} if sample_weight is None else {"sample_weight": sample_weight}),
        )
        if run["stop_reason"] == "cancelled":
            raise KeyboardInterrupt
        return run

    def engine_kwargs(self) -> dict[str, Any]:
        """The keyword arguments of `_engine.search` these settings give
        (the fields are named after them)."""
        # asdict copies deeply; the kept search is the engine's, handed back
        # as it is.
        kwargs = dataclasses.asdict(dataclasses.replace(self, resume_state=None))
        kwargs["resume_state"] = self.resume_state
        return kwargs
