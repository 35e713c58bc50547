"""Units of a fit's features and target: unit strings read by pint, turned
into exponents over the base dimensions for the engine."""

from __future__ import annotations

import functools
import numbers
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from fractions import Fraction
from typing import Any

__all__ = ["CONSTANT_UNITS", "UnitDimensions", "dimension_of", "resolve_units"]

# How fitted constants count: "dimensionless", or "free" (each takes
# whatever unit makes its formula consistent).
CONSTANT_UNITS = ("dimensionless", "free")
# The base dimensions in slot order; another base dimension of pint's
# (such as [printing_unit]) takes a slot behind them.
BASE_DIMENSIONS = (
    "[length]",
    "[mass]",
    "[time]",
    "[current]",
    "[temperature]",
    "[substance]",
    "[luminosity]",
)
# The engine's slots and its fixed point: an exponent is a multiple of
# 1/3072 (2**10 * 3: square roots and thirds).
SLOTS = 8
DENOMINATOR = 3072


@functools.cache
def _registry() -> Any:
    import pint

    return pint.UnitRegistry()


def dimension_of(unit: object, what: str) -> dict[str, Fraction]:
    """The exponents of `unit` (a unit string such as "m/s^2", "kg*m^2",
    or "" / "1" for a dimensionless quantity) over pint's base dimensions,
    without the zero ones. `what` names the column in errors.

    Only the dimension counts: "km" and "m" are both a length, and the
    values are used as given, without conversion.
    """
    if not isinstance(unit, str):
        raise TypeError(f"{what}: a unit must be a string (\"\" or \"1\" if dimensionless), got {unit!r}")
    text = unit.strip()
    if text in ("", "1"):
        return {}
    try:
        parsed = _registry().parse_expression(text)
    except Exception as error:  # pint raises many kinds for a malformed unit
        detail = str(error) or type(error).__name__
        raise ValueError(f"{what}: cannot read the unit {unit!r}: {detail}") from None
    dimensionality = getattr(parsed, "dimensionality", None)
    if dimensionality is None:
        if isinstance(parsed, numbers.Real):
            return {}
        raise ValueError(f"{what}: {unit!r} is not a unit")
    out: dict[str, Fraction] = {}
    for name, exponent in dict(dimensionality).items():
        exact = Fraction(exponent).limit_denominator(DENOMINATOR)
        if abs(float(exact) - float(exponent)) > 1e-9 or DENOMINATOR % exact.denominator:
            raise ValueError(
                f"{what}: the exponent {exponent} of {name} in {unit!r} is not a multiple of 1/{DENOMINATOR}"
            )
        if exact:
            out[str(name)] = exact
    return out


@dataclass(frozen=True)
class UnitDimensions:
    """The engine's `units` argument: one exponent tuple per input column
    and one for the target (None: any dimension), over the same slots, and
    how fitted constants count."""

    inputs: tuple[tuple[float, ...], ...]
    target: tuple[float, ...] | None
    constants: str


def _per_column(X_units: object, names: Sequence[str]) -> list[object]:
    if isinstance(X_units, Mapping):
        unknown = [str(k) for k in X_units if k not in names]
        missing = [n for n in names if n not in X_units]
        if unknown or missing:
            raise ValueError(
                "X_units must give the unit of every feature and only those: "
                + "; ".join(
                    part
                    for part in (
                        f"missing {', '.join(missing)}" if missing else "",
                        f"unknown {', '.join(unknown)}" if unknown else "",
                    )
                    if part
                )
            )
        return [X_units[n] for n in names]
    if isinstance(X_units, (str, bytes)) or not (hasattr(X_units, "__len__") and hasattr(X_units, "__iter__")):
        raise TypeError(
            f"X_units must be a sequence with one unit string per feature, or a dict by feature name, "
            f"got {X_units!r}"
        )
    units = list(X_units)
    if len(units) != len(names):
        raise ValueError(f"X_units has {len(units)} entries, but X has {len(names)} features")
    return units


def resolve_units(
    X_units: object, y_units: object, names: Sequence[str], constant_units: str
) -> UnitDimensions | None:
    """The dimensions of a fit's features (`names`, in column order) and
    target, or None when no units are given.

    Units are all or nothing for the features: X_units gives every
    feature's unit (a None entry is an error, as an unknown dimension would
    make every formula over it unverifiable). y_units may be None: the
    target may then have any dimension, and only the formulas' consistency
    is enforced.
    """
    if X_units is None:
        if y_units is not None:
            raise ValueError("y_units needs X_units: the units of the features")
        return None
    columns = _per_column(X_units, names)
    dims = [dimension_of(u, f"X_units[{i}] (feature {names[i]!r})") for i, u in enumerate(columns)]
    target = None if y_units is None else dimension_of(y_units, "y_units")
    used = {name for d in dims + ([target] if target is not None else []) for name in d}
    extra = sorted(used - set(BASE_DIMENSIONS))
    slots = list(BASE_DIMENSIONS) + extra
    if len(slots) > SLOTS:
        raise ValueError(
            f"the units use more than {SLOTS} base dimensions: {', '.join(BASE_DIMENSIONS + tuple(extra))}"
        )

    def exponents(d: dict[str, Fraction]) -> tuple[float, ...]:
        return tuple(float(d.get(name, 0)) for name in slots) + (0.0,) * (SLOTS - len(slots))

    return UnitDimensions(
        inputs=tuple(exponents(d) for d in dims),
        target=None if target is None else exponents(target),
        constants=constant_units,
    )
