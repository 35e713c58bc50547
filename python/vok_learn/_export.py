"""Formulas as text, SymPy expressions, LaTeX and NumPy callables.

All of them start from the exact token list, so constants keep every bit:
the text writes them with ``repr`` (the shortest string that reads back as
the same double), SymPy gets them at 17 significant digits.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import sympy
from numpy.typing import NDArray

from ._complex import as_matrix, evaluate_real
from ._tokens import Node, Token, fold, to_tree

__all__ = ["NumpyFormula", "equation_text", "to_latex", "to_sympy"]

# Python's binding strengths, low to high: the text must read back (in
# Python or sympy.sympify) as the same tree, not only as the same value.
_SUM, _PRODUCT, _UNARY_MINUS, _POWER, _ATOM = 1, 2, 3, 4, 5

_FUNCTIONS = {
    "Exp": "exp",
    "Log": "log",
    "Sqrt": "sqrt",
    "Sin": "sin",
    "Cos": "cos",
    "Tan": "tan",
    "ArcSin": "asin",
    "ArcCos": "acos",
    "ArcTan": "atan",
}

_NAMED_TEXT = {"0": "0", "1": "1", "I": "I", "Pi": "pi", "E": "E"}


def _number_text(value: float) -> tuple[str, int]:
    text = repr(float(value))
    return text, (_UNARY_MINUS if text.startswith("-") else _ATOM)


def equation_text(tokens: Sequence[Token], names: Sequence[str]) -> str:
    """The formula in infix notation with the feature names and every
    constant written to full double precision.

    The text uses SymPy's function names (``asin``, not ``arcsin``) and
    Python's operators, so ``sympy.sympify`` reads it back as the same
    formula when the feature names are identifiers.

    Parameters
    ----------
    tokens : sequence of tuple
        The formula as a postfix token list.
    names : sequence of str
        The feature names; the variable token ``("var", i)`` is ``names[i]``.

    Returns
    -------
    str
        For example ``"1.5*x0*x1 + 0.25"``.
    """

    def group(part: tuple[str, int], parens: bool) -> str:
        return f"({part[0]})" if parens else part[0]

    def leaf(node: Node) -> tuple[str, int]:
        if node.kind == "var":
            return str(names[int(node.token[1])]), _ATOM
        if node.kind in ("const", "literal"):
            return _number_text(node.token[1])
        return _NAMED_TEXT[node.name], _ATOM

    def apply(node: Node, args: list[tuple[str, int]]) -> tuple[str, int]:
        name = node.name
        a = args[0]
        if name in _FUNCTIONS:
            return f"{_FUNCTIONS[name]}({a[0]})", _ATOM
        if name == "Neg":
            return "-" + group(a, a[1] <= _UNARY_MINUS), _UNARY_MINUS
        if name == "Inv":
            return "1/" + group(a, a[1] <= _UNARY_MINUS), _PRODUCT
        if name in ("Square", "Cube"):
            power = "2" if name == "Square" else "3"
            return f"{group(a, a[1] < _ATOM)}**{power}", _POWER
        b = args[1]
        if name == "VOK":
            return f"exp({a[0]}) - log({b[0]})", _SUM
        if name in ("Plus", "Subtract"):
            sign = "+" if name == "Plus" else "-"
            left = group(a, a[1] < _SUM)
            right = group(b, b[1] <= _SUM or b[1] == _UNARY_MINUS)
            return f"{left} {sign} {right}", _SUM
        sign = "*" if name == "Times" else "/"
        left = group(a, a[1] < _PRODUCT)
        right = group(b, b[1] <= _UNARY_MINUS)
        return f"{left}{sign}{right}", _PRODUCT

    return str(fold(to_tree(tokens), leaf, apply)[0])


def _symbols(names: Sequence[str]) -> list[sympy.Symbol]:
    # sympy.Symbol takes any string, so names such as "mass (kg)" stay as
    # they are; they only have to be passed back as symbols, not parsed.
    return [sympy.Symbol(str(name)) for name in names]


def to_sympy(tokens: Sequence[Token], names: Sequence[str]) -> sympy.Expr:
    """The formula as a SymPy expression.

    Parameters
    ----------
    tokens : sequence of tuple
        The formula as a postfix token list.
    names : sequence of str
        The feature names, which become the expression's symbols.

    Returns
    -------
    sympy.Expr
        Constants are ``sympy.Float`` numbers with 17 significant digits (the
        exact double); ``VOK(a, b)`` is ``exp(a) - log(b)``, ``ArcSin`` is
        ``asin`` and so on. SymPy simplifies on construction
        (``2*(x + 1)`` becomes ``2*x + 2``), which keeps the value.

    Notes
    -----
    The engine computes in complex numbers on NumPy's principal branches.
    ``sympy.lambdify(..., "numpy")`` called on complex input reproduces them;
    SymPy's own numeric evaluation takes the other side of the branch cut of
    ``asin`` and ``acos`` at real arguments beyond +-1.
    """
    symbols = _symbols(names)

    def leaf(node: Node) -> Any:
        if node.kind == "var":
            return symbols[int(node.token[1])]
        if node.kind in ("const", "literal"):
            return sympy.Float(float(node.token[1]), 17)
        return {
            "0": sympy.Integer(0),
            "1": sympy.Integer(1),
            "I": sympy.I,
            "Pi": sympy.pi,
            "E": sympy.E,
        }[node.name]

    unary = {
        "Neg": lambda a: -a,
        "Inv": lambda a: 1 / a,
        "Exp": sympy.exp,
        "Log": sympy.log,
        "Sqrt": sympy.sqrt,
        "Sin": sympy.sin,
        "Cos": sympy.cos,
        "Tan": sympy.tan,
        "ArcSin": sympy.asin,
        "ArcCos": sympy.acos,
        "ArcTan": sympy.atan,
        "Square": lambda a: a**2,
        "Cube": lambda a: a**3,
    }
    binary = {
        "VOK": lambda a, b: sympy.exp(a) - sympy.log(b),
        "Plus": lambda a, b: a + b,
        "Subtract": lambda a, b: a - b,
        "Times": lambda a, b: a * b,
        "Divide": lambda a, b: a / b,
    }

    def apply(node: Node, args: list[Any]) -> Any:
        if len(args) == 1:
            return unary[node.name](args[0])
        return binary[node.name](*args)

    return sympy.sympify(fold(to_tree(tokens), leaf, apply))


def to_latex(tokens: Sequence[Token], names: Sequence[str], precision: int = 4) -> str:
    """The formula in LaTeX with constants rounded to `precision` significant
    digits.

    Parameters
    ----------
    tokens : sequence of tuple
        The formula as a postfix token list.
    names : sequence of str
        The feature names (``x0`` is typeset ``x_{0}``, ``alpha`` as
        ``\\alpha``, other words upright, with products written with a dot).
    precision : int, default=4
        Significant digits of the constants, at least 1.

    Returns
    -------
    str
        The LaTeX text, without math delimiters.
    """
    if isinstance(precision, bool) or not isinstance(precision, (int, np.integer)) or precision < 1:
        raise ValueError(f"precision must be an integer >= 1, got {precision!r}")
    expr = to_sympy(tokens, names)
    rounded = {f: sympy.Float(f, int(precision)) for f in expr.atoms(sympy.Float)}
    # SymPy sets a word such as "pressure" as italic letters, which LaTeX
    # runs together with the next factor ("pressurevolume"): words are set
    # upright, and products then get an explicit dot.
    words = {}
    for symbol in _symbols(names):
        plain = sympy.latex(symbol)
        if len(symbol.name) > 1 and plain == symbol.name:
            words[symbol] = r"\mathrm{" + symbol.name.replace("_", r"\_") + "}"
    return str(
        sympy.latex(expr.xreplace(rounded), symbol_names=words, mul_symbol="dot" if words else None)
    )


class NumpyFormula:
    """A formula as a plain NumPy function of a 2-D array.

    It computes in complex numbers where the engine does (with the engine's
    formulas for each operator) and returns the real part, NaN where the
    engine has no value, so it agrees with ``VokRegressor.predict``.

    Parameters
    ----------
    tokens : sequence of tuple
        The formula as a postfix token list.
    n_features : int
        The number of columns the function expects.
    text : str, default=""
        The formula's text, shown by ``repr``.
    """

    def __init__(self, tokens: Sequence[Token], n_features: int, text: str = "") -> None:
        self.tokens = [tuple(t) for t in tokens]
        self.n_features = int(n_features)
        self.text = text
        to_tree(self.tokens)  # rejects a malformed list now, not at the first call

    def __call__(self, X: Any) -> NDArray[np.float64]:
        """Evaluates the formula on each row of `X`.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The inputs, one row per sample (a DataFrame works too).

        Returns
        -------
        ndarray of shape (n_samples,)
            The real part of the value per row, NaN where there is none.
        """
        matrix = as_matrix(X)
        if matrix.shape[1] != self.n_features:
            raise ValueError(
                f"X has {matrix.shape[1]} features, but the formula expects {self.n_features}"
            )
        return evaluate_real(self.tokens, matrix)

    def __repr__(self) -> str:
        return f"NumpyFormula({self.text!r})" if self.text else "NumpyFormula(...)"
