"""Token lists as the engine returns them, and the tree view of one.

A formula is a postfix list of plain tuples (see ``vok_learn._engine``):
``("var", i)``, ``("const", value)``, ``("literal", value)``,
``("named", id, name)`` and ``("op", id, name)``. Plain tuples keep fitted
estimators picklable without any engine object. Every exporter walks the
same tree built here, so they cannot disagree on the structure.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

Token = tuple[Any, ...]

# name -> arity of the operators the engine defines; the names, not the ids,
# select the arithmetic, so a renumbering in the engine cannot silently swap
# two functions.
OPERATOR_ARITY: dict[str, int] = {
    "VOK": 2,
    "Neg": 1,
    "Inv": 1,
    "Plus": 2,
    "Times": 2,
    "Subtract": 2,
    "Divide": 2,
    "Exp": 1,
    "Log": 1,
    "Sqrt": 1,
    "Sin": 1,
    "Cos": 1,
    "Tan": 1,
    "ArcSin": 1,
    "ArcCos": 1,
    "ArcTan": 1,
    "Square": 1,
    "Cube": 1,
}

NAMED_CONSTANTS = ("0", "1", "I", "Pi", "E")


@dataclass(frozen=True)
class Node:
    """One node of a formula: its token and its operands, left first."""

    token: Token
    children: tuple[Node, ...] = ()

    @property
    def kind(self) -> str:
        return str(self.token[0])

    @property
    def name(self) -> str:
        """The operator or named constant's name; "" for other tokens."""
        return str(self.token[2]) if self.kind in ("op", "named") else ""


def to_tree(tokens: Sequence[Token]) -> Node:
    """Builds the tree of a postfix token list; ValueError if malformed."""
    stack: list[Node] = []
    for position, token in enumerate(tokens):
        kind = token[0] if isinstance(token, tuple) and token else None
        if kind in ("var", "const", "literal", "named"):
            stack.append(Node(tuple(token)))
        elif kind == "op":
            name = token[2]
            arity = OPERATOR_ARITY.get(name)
            if arity is None:
                raise ValueError(f"token {position}: unknown operator {name!r}")
            if len(stack) < arity:
                raise ValueError(f"token {position}: {name} needs {arity} operands")
            operands = tuple(stack[len(stack) - arity :])
            del stack[len(stack) - arity :]
            stack.append(Node(tuple(token), operands))
        else:
            raise ValueError(f"token {position}: not a formula token: {token!r}")
    if len(stack) != 1:
        raise ValueError(f"a formula leaves one value, this one leaves {len(stack)}")
    return stack[0]


def to_tokens(node: Node) -> list[Token]:
    """The postfix token list of a tree (inverse of :func:`to_tree`)."""
    out: list[Token] = []

    def walk(n: Node) -> None:
        for child in n.children:
            walk(child)
        out.append(n.token)

    walk(node)
    return out


def fold(node: Node, leaf: Callable[[Node], Any], apply: Callable[[Node, list[Any]], Any]) -> Any:
    """Bottom-up evaluation of a tree without recursion limits on deep formulas."""
    results: list[Any] = []
    for token in to_tokens(node):
        n = Node(token)
        if token[0] == "op":
            arity = OPERATOR_ARITY[token[2]]
            operands = results[len(results) - arity :]
            del results[len(results) - arity :]
            results.append(apply(n, operands))
        else:
            results.append(leaf(n))
    return results[0]


def constant_positions(tokens: Sequence[Token]) -> list[int]:
    """Positions of the fitted constants, in token order."""
    return [i for i, t in enumerate(tokens) if t[0] == "const"]


def _scaled(node: Node, factor: float) -> Node | None:
    """The subtree times `factor`, by scaling fitted constants only, or None
    when the subtree is not linear in one of its constants."""
    if node.kind == "const":
        return Node(("const", float(node.token[1]) * factor))
    if node.kind != "op":
        return None
    name = node.name
    a = node.children[0]
    if name == "Neg":
        s = _scaled(a, factor)
        return None if s is None else Node(node.token, (s,))
    if name == "Inv":
        s = _scaled(a, 1.0 / factor)
        return None if s is None else Node(node.token, (s,))
    if name == "Divide":
        s = _scaled(a, factor)
        if s is not None:
            return Node(node.token, (s, node.children[1]))
        s = _scaled(node.children[1], 1.0 / factor)
        return None if s is None else Node(node.token, (a, s))
    if name == "Times":
        s = _scaled(a, factor)
        if s is not None:
            return Node(node.token, (s, node.children[1]))
        s = _scaled(node.children[1], factor)
        return None if s is None else Node(node.token, (a, s))
    if name in ("Plus", "Subtract"):
        left = _scaled(a, factor)
        right = _scaled(node.children[1], factor)
        if left is None or right is None:
            return None
        return Node(node.token, (left, right))
    return None


def scale_tokens(tokens: Sequence[Token], factor: float) -> list[Token]:
    """A token list computing `factor` times the formula.

    Where the formula is linear in an outer fitted constant or its inverse
    (``C * f``, ``C1 * f + C2``, ``f / C``, ...) the constants absorb the factor, so the formula
    keeps its shape and its size; otherwise the formula is multiplied by a
    fixed literal, which is not a fitted constant and so is not refitted.
    """
    if factor == 1.0:
        return list(tokens)
    scaled = _scaled(to_tree(tokens), factor)
    if scaled is not None:
        return to_tokens(scaled)
    return [*tokens, ("literal", float(factor)), ("op", 9, "Times")]
