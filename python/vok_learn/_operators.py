"""The operators a search builds formulas from, by the names users write.

``VokRegressor(operators=...)`` and ``vok-sr fit --operators`` take these
names; the engine takes its own (``Plus``, ``Sqrt``, ...), which are
accepted as well.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping

__all__ = ["OPERATORS", "operator_names_text", "operator_token", "resolve_operators"]

# Each operator: the name used in messages and documentation (as the
# equations write it where they can), the engine's name, and the other
# spellings accepted for it. Every name is matched without regard to case.
OPERATORS: tuple[tuple[str, str, tuple[str, ...]], ...] = (
    ("+", "Plus", ("plus", "add")),
    ("-", "Subtract", ("subtract", "sub")),
    ("*", "Times", ("times", "mul")),
    ("/", "Divide", ("divide", "div")),
    ("neg", "Neg", ()),
    ("inv", "Inv", ()),
    ("square", "Square", ()),
    ("cube", "Cube", ()),
    ("sqrt", "Sqrt", ()),
    ("exp", "Exp", ()),
    ("log", "Log", ("ln",)),
    ("sin", "Sin", ()),
    ("cos", "Cos", ()),
    ("tan", "Tan", ()),
    ("asin", "ArcSin", ("arcsin",)),
    ("acos", "ArcCos", ("arccos",)),
    ("atan", "ArcTan", ("arctan",)),
    ("vok", "VOK", ()),
)

_BY_SPELLING = {
    spelling.casefold(): engine_name
    for shown, engine_name, others in OPERATORS
    for spelling in (shown, engine_name, *others)
}
_ORDER = {engine_name: i for i, (_, engine_name, _) in enumerate(OPERATORS)}
_SHOWN = {engine_name: shown for shown, engine_name, _ in OPERATORS}


def operator_names_text() -> str:
    """Every accepted name, for messages: each operator's own name with its
    other spellings in parentheses (the engine's name among them)."""
    parts = []
    for shown, engine_name, others in OPERATORS:
        spellings = [s for s in (engine_name.lower(), *others) if s != shown]
        spellings = list(dict.fromkeys(spellings))
        parts.append(f"{shown} ({', '.join(spellings)})" if spellings else shown)
    return ", ".join(parts)


def resolve_operators(operators: object) -> tuple[str, ...] | None:
    """The engine's names of the operators `operators` names, in the order
    of `OPERATORS`; None (every operator) for None.

    Raises
    ------
    ValueError
        For anything but None or a collection of names (a single string
        included), an empty collection, a name that is not a string, an
        unknown name (the message lists the valid ones) and an operator
        named twice (under any spellings).
    """
    if operators is None:
        return None
    if isinstance(operators, (str, bytes, Mapping)) or not isinstance(operators, Iterable):
        raise ValueError(
            f"operators must be None or a list of operator names such as ['+', '*', 'sqrt'], got {operators!r}"
        )
    given = list(operators)
    if not given:
        raise ValueError(f"operators must name at least one operator; the operators are: {operator_names_text()}")
    chosen: dict[str, str] = {}
    for name in given:
        if not isinstance(name, str):
            raise ValueError(f"operators must hold operator names (str), got {name!r} in {operators!r}")
        engine_name = _BY_SPELLING.get(name.casefold())
        if engine_name is None:
            raise ValueError(
                f"unknown operator {name!r} in operators; the operators are (any case): {operator_names_text()}"
            )
        if engine_name in chosen:
            raise ValueError(f"operators names {_SHOWN[engine_name]} twice: {chosen[engine_name]!r} and {name!r}")
        chosen[engine_name] = name
    return tuple(sorted(chosen, key=_ORDER.__getitem__))


def operator_token(name: str) -> tuple[str, int, str]:
    """The formula token of the engine's operator `name` ("Times", "Plus",
    ...), with the engine's id for it."""
    # Imported here: the command line reads these names before it needs the
    # engine, and --help should not load it.
    from . import _engine

    op_id = next(i for i, n, _ in _engine.operators() if n == name)
    return ("op", op_id, name)
