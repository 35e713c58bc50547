"""Checkpoint files of a fit: the note stored with the engine's state, the
live equations file beside it, and fitted estimators read back from one."""

from __future__ import annotations

import json
import os
import tempfile
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from . import _engine
from ._export import equation_text, to_sympy
from ._tokens import Token, scale_tokens

__all__ = [
    "CheckpointWriteWarning",
    "RESUME_POLICIES",
    "equations_file",
    "front_rows",
    "make_note",
    "read_note",
    "write_equations_file",
]

RESUME_POLICIES = ("auto", "never", "always")
# The layout of the note (JSON) the estimator stores in its checkpoints.
NOTE_FORMAT = 1


class CheckpointWriteWarning(UserWarning):
    """A checkpoint or its equations file could not be written (a full
    disk, a folder that went away); the fit went on without it."""


def equations_file(checkpoint: str | os.PathLike[str]) -> str:
    """The live equations file of a checkpoint: its path with ``.csv`` added."""
    return os.fspath(checkpoint) + ".csv"


def _json_safe(value: Any) -> bool:
    try:
        json.dumps(value)
    except (TypeError, ValueError):
        return False
    return True


def make_note(params: dict[str, Any], feature_names: Sequence[str] | None, factor: float) -> bytes:
    """What a checkpoint keeps besides the search, for `load_checkpoint`:
    the estimator's parameters that JSON can hold (a client, a checkpoint
    path or a RandomState are left out), the feature names X had (None:
    none) and the factor y was divided by for the search."""
    kept = {
        name: value
        for name, value in params.items()
        if name not in ("client", "checkpoint") and _json_safe(value)
    }
    return json.dumps(
        {
            "format": NOTE_FORMAT,
            "params": kept,
            "feature_names": None if feature_names is None else [str(n) for n in feature_names],
            "factor": factor,
        },
        sort_keys=True,
    ).encode()


def read_note(note: bytes, path: str) -> dict[str, Any]:
    """The note of the checkpoint at `path`; ValueError when it is not one
    this version wrote."""
    try:
        data = json.loads(note.decode())
    except (UnicodeDecodeError, ValueError):
        data = None
    if not isinstance(data, dict) or data.get("format") != NOTE_FORMAT:
        raise ValueError(f"Checkpoint {path!r} was not written by VokRegressor (its note is not one it writes)")
    return data


def front_rows(front: list[dict[str, Any]], factor: float) -> list[tuple[int, float, list[Token]]]:
    """The engine's front entries as (complexity, loss, tokens) with y's
    scale put back: the loss on the searched rows, as the search measured it."""
    return [
        (
            int(entry["complexity"]),
            float(entry["error"]) * factor * factor,
            scale_tokens([tuple(t) for t in entry["tokens"]], factor),
        )
        for entry in front
    ]


def _replace_text(path: str, text: str) -> None:
    """Writes `path` whole, through a temporary file in its folder that is
    flushed to the disk and renamed over it: a reader sees the old table or
    the new one, never part of one."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temp = tempfile.mkstemp(prefix=os.path.basename(path) + ".", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise


def write_equations_file(path: str, table: pd.DataFrame) -> str | None:
    """Replaces the equations file with `table` (the `equations_` columns);
    the reason when it could not be written."""
    try:
        _replace_text(path, table.to_csv(index=False))
    except OSError as error:
        return f"cannot write {path!r}: {error.strerror or error}"
    return None


def warn_write_failure(what: str) -> None:
    warnings.warn(
        f"{what}; the fit went on without it (the previous file, if any, is intact)",
        CheckpointWriteWarning,
        stacklevel=4,
    )


def equations_table(
    rows: list[tuple[int, float, list[Token], Any]], names: Sequence[str], floor: float
) -> pd.DataFrame:
    """The `equations_` table of front rows (complexity, loss, tokens,
    leaves_reals), simplest first; losses below `floor` count as it in the
    scores."""
    floored = np.maximum([row[1] for row in rows], floor)
    complexities = np.array([row[0] for row in rows], dtype=np.int64)
    scores = np.zeros(len(rows))
    scores[1:] = -np.diff(np.log(floored)) / np.diff(complexities)
    reals = [row[3] for row in rows]
    return pd.DataFrame(
        {
            "complexity": complexities,
            "loss": np.array([row[1] for row in rows], dtype=np.float64),
            "score": scores,
            "equation": [equation_text(row[2], names) for row in rows],
            "sympy_format": pd.Series([to_sympy(row[2], names) for row in rows], dtype=object),
            "leaves_reals": (
                np.array(reals, dtype=bool)
                if all(isinstance(r, (bool, np.bool_)) for r in reals)
                else pd.array(reals, dtype="boolean")
            ),
        }
    )


def read_checkpoint(path: str | os.PathLike[str]) -> dict[str, Any]:
    """The engine's reading of a checkpoint file (see `_engine.read_checkpoint`)."""
    return _engine.read_checkpoint(os.fspath(path))
