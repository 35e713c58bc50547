"""The benchmark kit: what every benchmark in bench/ shares.

- Problems: one table (`PROBLEMS`) of every law a benchmark runs, with its
  variables, their ranges, its usual number of training rows, the law as
  SymPy text and, for the 100 laws of the Feynman database (read from
  bench/data), the units of its inputs and output; `sample` draws the rows.
- Rules: `r2`, `is_exact` and `score`, the one way a fit is scored;
  `symbolic_match` and `law_within`, the two ways a formula is compared
  with the law; `parse_formula`, the one way formula text becomes SymPy.
- Peers and vok, each behind one adapter (`fit_vok_sr`, `fit_vok_learn`,
  `fit_pyoperon`, `fit_gplearn`) that returns (record, model).
- Processes: `Child` supervises one process under a wall-clock and a
  resident-memory limit; `run_command` runs a program under it, `Worker`
  runs the functions of a bench module in a child Python process under it.
- Results: `meta`, `versions`, `write_results` (under build/bench-results by
  default, never in the source tree), `parser` for the options every script
  has, and `table` for the printed tables.

The rules:

- Data. Inputs are drawn uniformly from each variable's range, with a seed
  derived from the problem's name alone, so every benchmark and every method
  sees the same rows for the same problem and row count. Noise is Gaussian on
  the targets, sigma = level x RMS of the clean training targets, added to
  the training and the held-out targets alike.
- R^2 is None (no score) when a prediction is missing or not finite, has the
  wrong shape, or the targets are constant. A None ranks below every score
  and is never an exact recovery.
- Exact recovery: R^2 >= 1 - EXACT_R2_GAP, on held-out rows against the
  clean law where the benchmark has them, else on the training rows; never
  on noisy data. For a fit that reports only its training MSE (search_bench),
  R^2 = 1 - MSE / Var(y).
- Symbolic equivalence: SymPy simplifies found - law or found / law to a
  constant once found's constants are rounded to 3 significant digits (or
  to a simple multiple of pi, or of 1/pi, that rounds the same).
- The law itself within 1 %: found has the law's structure exactly, with
  every constant within 1 % of the law's.
"""

from __future__ import annotations

import argparse
import csv
import importlib
import json
import math
import os
import platform
import re
import resource
import select
import signal
import subprocess
import sys
import tempfile
import time
import types
import warnings
import zlib
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path
from typing import Callable

import numpy as np

BENCH = Path(__file__).resolve().parent
RESULTS_DIR = BENCH.parent / "build" / "bench-results"
EXACT_R2_GAP = 1e-10
EXACT_RULE = f"R^2 >= 1 - {EXACT_R2_GAP:g} (held-out against the clean law, else training; noiseless only)"
MEM_LIMIT_MIB = float(os.environ.get("BENCH_MEM_LIMIT_MIB", "6144"))


def _cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not Linux
        return os.cpu_count() or 1


CORES = _cores()

# --- Problems ---


@dataclass(frozen=True)
class Problem:
    name: str
    law: str
    vars: tuple[str, ...]
    ranges: tuple[tuple[float, float], ...]
    f: Callable
    rows: int  # training rows, unless a benchmark asks for another count
    # The law as SymPy text over `vars` (see `parse_formula`), for symbolic
    # comparisons; None where the problem has no closed form to compare.
    formula: str | None = None
    # Units of each input and of the output ("kg*m^2/s^2", "1" when
    # dimensionless), for tools that take them; None where unknown.
    units: tuple[str, ...] | None = None
    y_units: str | None = None

    def describe(self) -> dict:
        out = {"name": self.name, "law": self.law, "vars": list(self.vars),
               "ranges": [list(r) for r in self.ranges], "rows": self.rows}
        if self.formula is not None:
            out["formula"] = self.formula
        if self.units is not None:
            out.update(units=list(self.units), y_units=self.y_units)
        return out

    def symbols(self) -> list:
        """One SymPy symbol per variable, positive where the range is (it
        lets SymPy simplify sqrt(x**2) and the like)."""
        import sympy

        return [sympy.Symbol(n, positive=True) if lo >= 0 else sympy.Symbol(n, real=True)
                for n, (lo, _) in zip(self.vars, self.ranges)]

    def sympy(self):
        """The law as a SymPy expression over `symbols()`."""
        if self.formula is None:
            raise ValueError(f"{self.name} has no formula")
        return parse_formula(self.formula, dict(zip(self.vars, self.symbols())))


def _problem(name, law, names, f, lo=-1.0, hi=1.0, rows=20, ranges=None, formula=None) -> Problem:
    names = tuple(names.split())
    return Problem(name, law, names, tuple(ranges or [(lo, hi)] * len(names)), f, rows, formula)


def _poly(x, degree):
    return sum(x**k for k in range(1, degree + 1))


def _poly_text(degree):
    return " + ".join(f"x**{k}" if k > 1 else "x" for k in range(degree, 0, -1))


# Nguyen 1-12 as usually defined: 20 points, 1-6 on U[-1, 1], 7 on U[0, 2]
# and 8 on U[0, 4] (where the laws are real), 9-12 on U[0, 1]^2.
_NGUYEN = [
    _problem("nguyen-1", "x^3 + x^2 + x", "x", lambda x: _poly(x, 3), formula=_poly_text(3)),
    _problem("nguyen-2", "x^4 + x^3 + x^2 + x", "x", lambda x: _poly(x, 4), formula=_poly_text(4)),
    _problem("nguyen-3", "x^5 + x^4 + x^3 + x^2 + x", "x", lambda x: _poly(x, 5), formula=_poly_text(5)),
    _problem("nguyen-4", "x^6 + x^5 + x^4 + x^3 + x^2 + x", "x", lambda x: _poly(x, 6), formula=_poly_text(6)),
    _problem("nguyen-5", "sin(x^2) cos(x) - 1", "x", lambda x: np.sin(x**2) * np.cos(x) - 1.0,
             formula="sin(x**2)*cos(x) - 1"),
    _problem("nguyen-6", "sin(x) + sin(x + x^2)", "x", lambda x: np.sin(x) + np.sin(x + x**2),
             formula="sin(x) + sin(x + x**2)"),
    _problem("nguyen-7", "log(x + 1) + log(x^2 + 1)", "x",
             lambda x: np.log(x + 1.0) + np.log(x**2 + 1.0), 0.0, 2.0, formula="log(x + 1) + log(x**2 + 1)"),
    _problem("nguyen-8", "sqrt(x)", "x", np.sqrt, 0.0, 4.0, formula="sqrt(x)"),
    _problem("nguyen-9", "sin(x) + sin(y^2)", "x y", lambda x, y: np.sin(x) + np.sin(y**2), 0.0, 1.0,
             formula="sin(x) + sin(y**2)"),
    _problem("nguyen-10", "2 sin(x) cos(y)", "x y", lambda x, y: 2.0 * np.sin(x) * np.cos(y), 0.0, 1.0,
             formula="2*sin(x)*cos(y)"),
    _problem("nguyen-11", "x^y", "x y", lambda x, y: x**y, 0.0, 1.0, formula="x**y"),
    _problem("nguyen-12", "x^4 - x^3 + y^2/2 - y", "x y", lambda x, y: x**4 - x**3 + 0.5 * y**2 - y, 0.0, 1.0,
             formula="x**4 - x**3 + y**2/2 - y"),
]
_OTHERS = [
    _problem("sum-of-squares", "x^2 + y^2", "x y", lambda x, y: x**2 + y**2, rows=50, formula="x**2 + y**2"),
    _problem("three-var", "sin(x) y + z^2", "x y z", lambda x, y, z: np.sin(x) * y + z**2, rows=50,
             formula="sin(x)*y + z**2"),
]


# --- The Feynman Symbolic Regression Database (bench/data, see its README) ---

DATA_DIR = BENCH / "data"
FEYNMAN_EQUATIONS_CSV = DATA_DIR / "feynman_equations.csv"
FEYNMAN_UNITS_CSV = DATA_DIR / "feynman_units.csv"
FEYNMAN_ROWS = 50
# The units table's base columns and the unit each stands for: metre,
# second, kilogram, kelvin (its "T") and volt. Unit strings list them in
# this order: kg, m, s, K, V.
UNIT_COLUMNS = {"m": "m", "s": "s", "kg": "kg", "T": "K", "V": "V"}
_UNIT_ORDER = ("kg", "m", "s", "K", "V")


def unit_string(exponents: dict) -> str:
    """A unit as text from its exponents by unit symbol: {"m": 1, "s": -2}
    gives "m/s^2", {"kg": 1, "m": 2, "s": -2} "kg*m^2/s^2", all zero "1".
    A fractional exponent is written in parentheses: "m^(1/2)"."""
    def power(unit, e):
        e = Fraction(e)
        return unit if e == 1 else f"{unit}^{e}" if e.denominator == 1 else f"{unit}^({e})"

    order = [u for u in _UNIT_ORDER if u in exponents] + sorted(set(exponents) - set(_UNIT_ORDER))
    num = [power(u, exponents[u]) for u in order if exponents[u] > 0]
    den = [power(u, -Fraction(exponents[u])) for u in order if exponents[u] < 0]
    text = "*".join(num) or "1"
    if den:
        text += "/" + (den[0] if len(den) == 1 else "(" + "*".join(den) + ")")
    return text


def read_units(path: Path = FEYNMAN_UNITS_CSV) -> dict[str, dict]:
    """The units table: variable name -> {"quantity": its description,
    "exponents": {unit symbol: Fraction}} (zero exponents left out)."""
    table = {}
    with open(path, newline="", encoding="utf-8") as f:
        for row in csv.DictReader(f):
            name = (row.get("Variable") or "").strip()
            if not name:
                continue  # the table's trailing empty row
            exps = {UNIT_COLUMNS[c]: Fraction(row[c].strip()) for c in UNIT_COLUMNS}
            table[name] = {"quantity": row["Units"].strip(),
                           "exponents": {u: e for u, e in exps.items() if e != 0}}
    return table


def read_feynman(path: Path = FEYNMAN_EQUATIONS_CSV) -> list[dict]:
    """The equations table, one dict per law: filename, number, output,
    formula, vars and ranges. The variables are the named v<k> columns: the
    table's "# variables" column disagrees with them in some published
    copies, so it is checked against them, not trusted."""
    laws = []
    with open(path, newline="", encoding="utf-8") as f:
        for row in csv.DictReader(f):
            name = (row.get("Filename") or "").strip()
            if not name:
                continue
            names, ranges, k = [], [], 1
            while (v := (row.get(f"v{k}_name") or "").strip()):
                names.append(v)
                ranges.append((float(row[f"v{k}_low"]), float(row[f"v{k}_high"])))
                k += 1
            laws.append({"filename": name, "number": int(row["Number"]), "output": row["Output"].strip(),
                         "formula": row["Formula"].strip(), "declared_vars": int(row["# variables"]),
                         "vars": tuple(names), "ranges": tuple(ranges)})
    return laws


class _Law:
    """A formula evaluated with NumPy, parsed (safely: `parse_formula`) and
    compiled on first use, so that importing the kit stays cheap."""

    def __init__(self, formula: str, names: tuple[str, ...]):
        self.formula, self.names, self._fn = formula, names, None

    def __call__(self, *columns):
        if self._fn is None:
            import sympy

            syms = [sympy.Symbol(n) for n in self.names]
            self._fn = sympy.lambdify(syms, parse_formula(self.formula, dict(zip(self.names, syms))), "numpy")
        with np.errstate(all="ignore"):
            return np.broadcast_to(np.asarray(self._fn(*columns), dtype=np.float64), np.shape(columns[0]))


def _feynman_problems(table: list[dict]) -> list[Problem]:
    units = read_units()
    problems = []
    for law in table:
        known = all(n in units for n in (*law["vars"], law["output"]))
        problems.append(Problem(
            law["filename"], f"{law['output']} = {law['formula']}", law["vars"], law["ranges"],
            _Law(law["formula"], law["vars"]), FEYNMAN_ROWS, law["formula"],
            tuple(unit_string(units[n]["exponents"]) for n in law["vars"]) if known else None,
            unit_string(units[law["output"]]["exponents"]) if known else None))
    return problems


_FEYNMAN_TABLE = read_feynman()
_FEYNMAN = _feynman_problems(_FEYNMAN_TABLE)
PROBLEMS = {p.name: p for p in _NGUYEN + _OTHERS + _FEYNMAN}
NGUYEN = [p.name for p in _NGUYEN]
FEYNMAN = [p.name for p in _FEYNMAN]  # the database's order
# Eighteen of the laws: those of the discovery results recorded at T = 8 s
# in bench/README.md, to compare with them (`--problems`).
FEYNMAN_18 = ["I.12.1", "I.12.4", "I.14.4", "I.18.12", "I.25.13", "I.29.4", "I.34.8", "I.39.22", "I.40.1",
              "I.43.31", "I.44.4", "I.47.23", "I.50.26", "II.2.42", "II.3.24", "II.38.14", "III.12.43",
              "III.17.37"]
# A fixed 30-law subset for longer runs: the laws whose database number is
# 1, 4 or 7 modulo 10 (1, 4, 7, 11, 14, 17, ..., 91, 94, 97), an even spread
# over the three volumes and over the difficulty, chosen without looking at
# any result.
FEYNMAN_30 = [law["filename"] for law in _FEYNMAN_TABLE if law["number"] % 10 in (1, 4, 7)]


def seed_of(name: str) -> int:
    return zlib.crc32(name.encode()) % 2**31


@dataclass
class Data:
    X: np.ndarray
    y: np.ndarray
    X_test: np.ndarray
    y_test: np.ndarray
    y_test_clean: np.ndarray
    sigma: float


def sample(problem: Problem, rows: int | None = None, test_rows: int = 0, noise: float = 0.0) -> Data:
    """Training rows (the problem's own count unless `rows`), `test_rows`
    held-out rows, and their targets; see the module's rules."""
    rng = np.random.default_rng(seed_of(problem.name))
    n = rows or problem.rows
    lo, hi = np.array(problem.ranges, dtype=np.float64).T
    X = lo + (hi - lo) * rng.random((n + test_rows, len(lo)))
    clean = np.asarray(problem.f(*X.T), dtype=np.float64)
    sigma = noise * float(np.sqrt(np.mean(clean[:n] ** 2)))
    y = clean + rng.normal(0.0, sigma, size=clean.shape) if noise else clean
    return Data(np.ascontiguousarray(X[:n]), y[:n], np.ascontiguousarray(X[n:]), y[n:], clean[n:], sigma)


# --- Rules ---


def r2(y, pred) -> float | None:
    """R^2 of `pred` against `y`, or None: see the module's rules."""
    if pred is None:
        return None
    y = np.asarray(y, dtype=np.float64)
    try:
        pred = np.asarray(pred, dtype=np.float64)
    except (TypeError, ValueError):
        return None
    ss_tot = float(np.sum((y - y.mean()) ** 2))
    if pred.shape != y.shape or not np.all(np.isfinite(pred)) or ss_tot == 0.0:
        return None
    return 1.0 - float(np.sum((y - pred) ** 2)) / ss_tot


def r2_from_mse(mse: float | None, y) -> float | None:
    var = float(np.var(y))
    if mse is None or not math.isfinite(mse) or var == 0.0:
        return None
    return 1.0 - mse / var


def is_exact(r2_value: float | None) -> bool:
    return r2_value is not None and r2_value >= 1.0 - EXACT_R2_GAP


def _predict(model, X, record: dict):
    try:
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return np.asarray(model.predict(X), dtype=np.float64)
    except Exception as exc:  # noqa: BLE001 - a model that cannot predict scores nothing
        record.setdefault("predict_failed", f"{type(exc).__name__}: {exc}")
        return None


def score(record: dict, model, data: Data, noise: float = 0.0) -> dict:
    """Adds the fitted model's R^2 figures, training MSE and exact-recovery
    verdict to its record."""
    train = _predict(model, data.X, record)
    record["r2_train"] = r2(data.y, train)
    ok = train is not None and train.shape == data.y.shape
    record["error"] = float(np.mean((train - data.y) ** 2)) if ok else None
    if len(data.y_test):
        test = _predict(model, data.X_test, record)
        record["r2_test"] = r2(data.y_test, test)
        record["r2_test_clean"] = r2(data.y_test_clean, test)
    record["exact"] = noise == 0.0 and is_exact(record.get("r2_test_clean", record["r2_train"]))
    return record


# --- Formulas: safe parsing, dimensions, symbolic comparison ---

_TOKEN = re.compile(r"\s*(?:(?P<num>(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)|(?P<name>[A-Za-z_]\w*)"
                    r"|(?P<op>\*\*|[-+*/(),^]))")


def _functions():
    import sympy

    return {"exp": sympy.exp, "log": sympy.log, "ln": sympy.log, "sqrt": sympy.sqrt, "sin": sympy.sin,
            "cos": sympy.cos, "tan": sympy.tan, "tanh": sympy.tanh, "asin": sympy.asin, "arcsin": sympy.asin,
            "acos": sympy.acos, "arccos": sympy.acos, "atan": sympy.atan, "arctan": sympy.atan,
            "abs": sympy.Abs, "Abs": sympy.Abs, "square": lambda a: a**2, "cube": lambda a: a**3, "pi": sympy.pi}


def parse_formula(text: str, names: dict) -> "sympy.Expr":
    """A formula's text as a SymPy expression. `names` maps each variable
    name to its symbol; besides them the text may hold numbers, + - * / **
    ^ (a power), parentheses, commas, `pi` and the functions exp, log (ln),
    sqrt, sin, cos, tan, tanh, asin (arcsin), acos, atan, abs (Abs), square and
    cube. Anything else is a ValueError: the text is checked token by token
    before SymPy reads it, and SymPy reads it with no builtins and no other
    names, so a formula can never run code. The names win over SymPy's own
    (a variable `gamma` or `I` is a symbol, not the gamma function or the
    imaginary unit)."""
    import sympy
    from sympy.parsing.sympy_parser import auto_number, parse_expr

    functions = _functions()
    pos, out = 0, []
    while pos < len(text.rstrip()):
        m = _TOKEN.match(text, pos)
        if not m:
            raise ValueError(f"unexpected {text[pos:].strip()[:20]!r} in formula {text!r}")
        if (name := m.group("name")) is not None and name not in names and name not in functions:
            raise ValueError(f"unknown name {name!r} in formula {text!r}")
        out.append("**" if m.group("op") == "^" else m.group(0).strip())
        pos = m.end()
    if not out:
        raise ValueError("empty formula")
    env = {"__builtins__": {}, "Integer": sympy.Integer, "Float": sympy.Float, "Rational": sympy.Rational,
           **{k: v for k, v in functions.items() if k not in names}}
    try:
        return sympy.sympify(parse_expr(" ".join(out), local_dict=dict(names), global_dict=env,
                                        transformations=(auto_number,)))
    except (SyntaxError, TypeError) as exc:
        raise ValueError(f"cannot parse formula {text!r}: {exc}") from None


def dimension(expr, dims: dict) -> tuple:
    """The dimension of a SymPy expression as a tuple of Fraction exponents,
    given each symbol's (`dims`: symbol -> tuple, all of one length). A
    sum's terms must share a dimension, numbers and the arguments and
    values of functions and of non-numeric powers are dimensionless;
    otherwise a ValueError says where the law is inconsistent."""
    import sympy

    width = len(next(iter(dims.values()))) if dims else 0
    none = (Fraction(0),) * width

    def walk(e):
        if e.is_Symbol:
            return dims[e]
        if e.is_Number or isinstance(e, sympy.NumberSymbol):
            return none
        if e.is_Add:
            found = {walk(a) for a in e.args}
            if len(found) > 1:
                raise ValueError(f"terms of unlike dimensions in {e}")
            return found.pop()
        if e.is_Mul:
            parts = [walk(a) for a in e.args]
            return tuple(sum(c, Fraction(0)) for c in zip(*parts))
        if e.is_Pow:
            base, power = e.args
            if power.is_Rational:
                return tuple(Fraction(int(power.p), int(power.q)) * c for c in walk(base))
            if walk(base) != none or walk(power) != none:
                raise ValueError(f"a dimensioned power in {e}")
            return none
        if isinstance(e, sympy.Function):
            if any(walk(a) != none for a in e.args):
                raise ValueError(f"a dimensioned argument in {e}")
            return none
        raise ValueError(f"cannot take the dimension of {e}")

    return walk(expr)


def unit_dims(problem: Problem) -> tuple[dict, tuple] | None:
    """Each input symbol's dimension and the output's, as exponent tuples
    over kg, m, s, K, V, from the problem's unit strings (None without
    units)."""
    if problem.units is None:
        return None

    def parse(text):
        exps = dict.fromkeys(_UNIT_ORDER, Fraction(0))
        num, _, den = text.partition("/")
        for part, sign in ((num, 1), (den.strip("()"), -1)):
            for factor in filter(None, part.split("*")):
                unit, _, e = factor.partition("^")
                if unit != "1":
                    exps[unit] += sign * Fraction(e.strip("()") or 1)
        return tuple(exps[u] for u in _UNIT_ORDER)

    return dict(zip(problem.symbols(), map(parse, problem.units))), parse(problem.y_units)


def units_consistent(problem: Problem) -> bool | None:
    """Whether the law has the output's dimension with the published units
    (None without units). A few laws of the database do not."""
    dims = unit_dims(problem)
    if dims is None:
        return None
    try:
        return dimension(problem.sympy(), dims[0]) == dims[1]
    except ValueError:
        return False


class _Overtime(Exception):
    pass


class time_limit:
    """Raises TimeoutError in the block after `seconds` (SIGALRM; main thread
    only), for SymPy's simplifications, which can run for minutes; None or 0:
    no limit."""

    def __init__(self, seconds: float | None):
        self.seconds = seconds

    def __enter__(self):
        if self.seconds:
            def ring(signum, frame):
                raise _Overtime()

            self._old = signal.signal(signal.SIGALRM, ring)
            signal.setitimer(signal.ITIMER_REAL, self.seconds)
        return self

    def __exit__(self, kind, exc, tb):
        if self.seconds:
            signal.setitimer(signal.ITIMER_REAL, 0.0)
            signal.signal(signal.SIGALRM, self._old)
        if kind is _Overtime:
            raise TimeoutError(f"over {self.seconds:g} s") from None
        return False


def snap_constant(value: float, digits: int = 3):
    """A constant as the symbolic rule reads it, exact: its rounding to
    `digits` significant digits, or the simplest number p/q pi^k (q <= 12,
    |k| <= 1, the first k of 0, -1, 1 that has one) with that same
    rounding: 0.333334 ->
    1/3, 0.0795775 -> 1/(4 pi), 6.28319 -> 2 pi, 0.123456 -> 123/1000.
    Rounding alone would make a law's 1/3 or 1/(4 pi) a different number;
    this way a constant matches the law's when they agree to `digits`
    digits."""
    import sympy

    if value == 0.0 or not math.isfinite(value):
        return sympy.Float(value) if value else sympy.Integer(0)
    rounded = format(value, f".{digits}g")
    for k in (0, -1, 1):
        r = Fraction(value / math.pi**k).limit_denominator(12)
        if r and format(float(r) * math.pi**k, f".{digits}g") == rounded:
            return sympy.Rational(r.numerator, r.denominator) * sympy.pi**k
    return sympy.Rational(rounded)


def round_constants(expr, digits: int = 3):
    """`expr` with every floating-point constant replaced by
    `snap_constant`'s exact number, so that SymPy's simplifications treat
    it exactly."""
    import sympy

    return expr.xreplace({c: snap_constant(float(c), digits) for c in expr.atoms(sympy.Float)})


def _values(expr, symbols, X) -> np.ndarray | None:
    import sympy

    try:
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            v = np.asarray(sympy.lambdify(symbols, expr, "numpy")(*np.asarray(X, dtype=np.float64).T))
            v = np.broadcast_to(v, (len(X),))
            return v.astype(np.float64) if np.all(np.isfinite(v)) and np.isrealobj(v) else None
    except Exception:  # noqa: BLE001 - a formula NumPy cannot evaluate compares as different
        return None


def drop_negligible(expr, symbols, X, rel: float = 1e-4):
    """`expr` with the floating-point constants set to zero whose terms
    change it by at most `rel` of its RMS on the rows `X`, all of them
    together (smallest first): the offsets of 1e-9 that a fit with free
    constants leaves, which rounding to significant digits would keep."""
    import sympy

    base = _values(expr, symbols, X)
    if base is None:
        return expr
    scale = float(np.sqrt(np.mean(base**2)))
    for c in sorted(expr.atoms(sympy.Float), key=lambda c: abs(float(c))):
        trial = expr.xreplace({c: sympy.Integer(0)})
        v = _values(trial, symbols, X)
        if v is not None and float(np.sqrt(np.mean((v - base) ** 2))) <= rel * scale:
            expr = trial
    return expr


def _flat(v: np.ndarray, law: np.ndarray, rel: float) -> bool:
    """Whether a difference or ratio `v` is constant on the rows within `rel`
    of its own size or the law's spread."""
    return float(np.std(v)) <= rel * max(float(np.mean(np.abs(v))), float(np.std(law)), 1e-300)


def symbolic_match(found, law, symbols=None, X=None, digits: int = 3, limit_s: float | None = None) -> dict | None:
    """The symbolic-equivalence rule: once `found`'s constants are rounded
    to `digits` significant digits, or to a simple multiple of pi or 1/pi
    that rounds the same (`snap_constant`), SymPy simplifies found - law or
    found / law to a constant. Returns {"kind": "difference" or "ratio",
    "constant": its text}, or None; a ratio of 0 (found is 0) does not
    count. The rule is tried on `found` as it is and expanded (constants
    that multiply out to the law's, 0.631 x (1.74 x + ...), must meet before
    they are rounded). With `symbols` and rows `X`, negligible constants are
    dropped first (`drop_negligible`), and a form numerically far from a
    constant difference or ratio on the rows is rejected before SymPy is
    asked. `limit_s` bounds the whole (TimeoutError past it): SymPy may
    take long on a long formula."""
    import sympy

    ops = [("difference", lambda f, g: f - g), ("ratio", lambda f, g: f / g)]
    with time_limit(limit_s):
        g = _values(law, symbols, X) if X is not None and len(X) else None
        if g is not None:
            # Rounding to 3 digits and dropping terms of 1e-4 move a formula
            # by far less than 5 %: one whose difference and ratio to the law
            # vary more than that on the rows cannot pass, and SymPy need not
            # be asked.
            f = _values(found, symbols, X)
            if f is None or not any(_flat(op(f, g), g, 0.05) for k, op in ops if not (k == "ratio" and np.any(g == 0))):
                return None
        forms = [found]
        if (expanded := sympy.expand(found)) != found:
            forms.append(expanded)
        for form in forms:
            if g is not None:
                form = drop_negligible(form, symbols, X)
            rounded = round_constants(form, digits)
            kinds = ops
            if g is not None:
                f = _values(rounded, symbols, X)
                if f is None:
                    continue
                kinds = [(k, op) for k, op in ops if not (k == "ratio" and np.any(g == 0)) and _flat(op(f, g), g, 1e-7)]
            for kind, op in kinds:
                c = sympy.simplify(op(rounded, law))
                if c.free_symbols or c.has(sympy.nan, sympy.zoo, sympy.oo, sympy.I) or (kind == "ratio" and c == 0):
                    continue
                return {"kind": kind, "constant": str(c)}
    return None


def law_within(found, law, symbols, X, rel: float = 0.01) -> bool:
    """Whether `found` is the law itself with its constants within `rel`
    (relative) of the law's: with each floating-point constant of `found`
    made a free parameter (one per distinct value), least squares from the
    found values reaches the law exactly (relative error at most 1e-9 on
    the rows `X`), and every found value is within `rel` of the value
    reached. A constant the law sets to zero (a term or an offset the law
    does not have) passes only while it changes the formula by at most `rel`
    of the law's RMS on the rows. A formula without constants must equal
    the law on the rows. Integer powers and the like are structure, not
    constants."""
    import sympy
    from scipy.optimize import least_squares

    target = _values(law, symbols, X)
    if target is None:
        return False
    scale = max(float(np.sqrt(np.mean(target**2))), 1e-300)
    f = _values(found, symbols, X)
    if f is None or float(np.sqrt(np.mean((f - target) ** 2))) > 0.5 * scale:
        return False  # constants within 1 % do not make up an error of half the law
    consts = sorted(found.atoms(sympy.Float), key=float)
    if not consts:
        return float(np.max(np.abs(f - target))) <= 1e-9 * scale
    params = sympy.symbols(f"_c0:{len(consts)}")
    try:
        fn = sympy.lambdify([*symbols, *params], found.xreplace(dict(zip(consts, params))), "numpy")
    except Exception:  # noqa: BLE001
        return False
    cols = list(np.asarray(X, dtype=np.float64).T)
    start = np.array([float(c) for c in consts])

    def residual(c):
        with np.errstate(all="ignore"):
            v = np.broadcast_to(np.asarray(fn(*cols, *c), dtype=np.complex128), target.shape)
        r = (v.real - target) / scale
        return np.where(np.isfinite(r) & (np.abs(v.imag) <= 1e-12 * scale), r, 1e6)

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            fit = least_squares(residual, start, method="lm", xtol=1e-15, ftol=1e-15, gtol=1e-15,
                                max_nfev=100 * (len(start) + 1))
    except Exception:  # noqa: BLE001 - no fit, no match
        return False
    if np.max(np.abs(residual(fit.x))) > 1e-9:
        return False
    for i, (v, c) in enumerate(zip(start, fit.x)):
        if abs(c) > 1e-6 * abs(v):
            if abs(v - c) > rel * abs(c):
                return False
        else:
            moved = fit.x.copy()
            moved[i] = v
            if np.sqrt(np.mean(residual(moved) ** 2)) > rel:
                return False
    return True


def rename_symbols(expr, symbols, prefix: str, first: int = 0):
    """`expr` with the symbols called prefix+index (x0, x1, ... or X1,
    X2, ...) replaced by the problem's `symbols`, at once."""
    by_name = {f"{prefix}{i + first}": s for i, s in enumerate(symbols)}
    return expr.xreplace({s: by_name[s.name] for s in expr.free_symbols if s.name in by_name})


_GPLEARN_ARITY = {"add": 2, "sub": 2, "mul": 2, "div": 2, "max": 2, "min": 2, "sqrt": 1, "log": 1, "abs": 1,
                  "neg": 1, "inv": 1, "sin": 1, "cos": 1, "tan": 1}


def gplearn_sympy(text: str, symbols):
    """gplearn's program text (prefix: mul(X0, add(X1, 0.5))) as SymPy over
    `symbols`, with its protected operators read as the plain ones they
    guard (sqrt and log of the absolute value, division)."""
    import sympy

    tokens = re.findall(r"[A-Za-z_]\w*|-?\d+\.?\d*(?:[eE][+-]?\d+)?|[(),]", text)
    pos = 0

    def take():
        nonlocal pos
        if pos >= len(tokens):
            raise ValueError(f"truncated gplearn program {text!r}")
        pos += 1
        return tokens[pos - 1]

    def node():
        t = take()
        if t in _GPLEARN_ARITY:
            if take() != "(":
                raise ValueError(f"expected ( after {t} in {text!r}")
            args = [node()]
            for _ in range(_GPLEARN_ARITY[t] - 1):
                if take() != ",":
                    raise ValueError(f"expected , in {text!r}")
                args.append(node())
            if take() != ")":
                raise ValueError(f"expected ) in {text!r}")
            a = args
            return {"add": lambda: a[0] + a[1], "sub": lambda: a[0] - a[1], "mul": lambda: a[0] * a[1],
                    "div": lambda: a[0] / a[1], "max": lambda: sympy.Max(*a), "min": lambda: sympy.Min(*a),
                    "sqrt": lambda: sympy.sqrt(sympy.Abs(a[0])), "log": lambda: sympy.log(sympy.Abs(a[0])),
                    "abs": lambda: sympy.Abs(a[0]), "neg": lambda: -a[0], "inv": lambda: 1 / a[0],
                    "sin": lambda: sympy.sin(a[0]), "cos": lambda: sympy.cos(a[0]),
                    "tan": lambda: sympy.tan(a[0])}[t]()
        if re.fullmatch(r"X\d+", t):
            return symbols[int(t[1:])]
        try:
            return sympy.Float(float(t))
        except ValueError:
            raise ValueError(f"unexpected {t!r} in gplearn program {text!r}") from None

    expr = node()
    if pos != len(tokens):
        raise ValueError(f"trailing tokens in gplearn program {text!r}")
    return expr


# --- vok and the peers ---
# Each adapter fits and returns (record, model): the record has the fit's
# wall time (the fit alone), equation and complexity as the method counts it
# (vok: tokens; pyoperon: tree length; gplearn: program length), and the
# model a `predict(X)`.

# pyoperon's operators and budget; a benchmark adds its own bound.
PYOPERON = {"allowed_symbols": "add,sub,mul,div,exp,log,sqrt,sin,cos,square,constant,variable",
            "population_size": 1000, "max_length": 50, "n_threads": CORES}
# Constant fitting on, generations and evaluations out of reach: `max_time`
# is the bound.
PYOPERON_TIMED = {"generations": 1_000_000, "max_evaluations": 1_000_000_000, "optimizer_iterations": 10}
# gplearn single-process: its n_jobs splits the population across processes,
# which costs more than it gains on tens of rows. It has no exp.
GPLEARN = {"population_size": 1000, "tournament_size": 20,
           "function_set": ("add", "sub", "mul", "div", "sqrt", "log", "sin", "cos"), "metric": "mse",
           "parsimony_coefficient": 0.001, "const_range": (-1.0, 1.0), "init_depth": (2, 6), "n_jobs": 1}


def rss_mib() -> float:
    """This process's peak resident memory (ru_maxrss is in KiB on Linux)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def fit_vok_sr(X, y, alarm_s: float | None = None, **searcher):
    """vok_sr.Searcher(**searcher), find_function on one column, else
    find_multivariate. The search has no time limit of its own: with
    `alarm_s`, SIGALRM's default action ends the process then, wherever the
    search is, and the supervisor reports a timeout."""
    import vok_sr

    s = vok_sr.Searcher(**searcher)
    baseline = rss_mib()
    signal.signal(signal.SIGALRM, signal.SIG_DFL)
    start = time.perf_counter()
    if alarm_s:
        signal.setitimer(signal.ITIMER_REAL, alarm_s)
    try:
        result = s.find_function(np.ascontiguousarray(X[:, 0]), y) if X.shape[1] == 1 else s.find_multivariate(X, y)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0.0)
    wall = time.perf_counter() - start
    return {"wall_s": wall, "equation": result.formula, "complexity": int(result.complexity),
            "vok_error": float(result.error), "baseline_rss_mib": baseline}, \
        types.SimpleNamespace(predict=lambda Z: result.predict(np.asarray(Z).tolist()))


def fit_vok_learn(X, y, fit_params: dict | None = None, **params):
    """VokRegressor(verbose=0, **params).fit(X, y, **fit_params); the
    warnings it gives are kept."""
    from vok_learn import VokRegressor

    model = VokRegressor(verbose=0, **params)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        start = time.perf_counter()
        model.fit(X, y, **(fit_params or {}))
        wall = time.perf_counter() - start
    eq, best = model.equations_, int(model.best_index_)
    return {"wall_s": wall, "equation": str(eq["equation"].iloc[best]), "complexity": int(eq["complexity"].iloc[best]),
            "stop_reason": model.stop_reason_, "front_size": len(eq),
            "warnings": sorted({str(w.message) for w in caught})}, model


def fit_pyoperon(X, y, seed: int, **settings):
    from pyoperon.sklearn import SymbolicRegressor

    model = SymbolicRegressor(random_state=seed, **{**PYOPERON, **settings})
    # Arrays of their own: pyoperon (0.6.2, NumPy 2) rejects a target that
    # is a view of a larger array, as `sample`'s are, in its own
    # FitLeastSquares after the search.
    X, y = np.array(X, dtype=np.float64, order="C"), np.array(y, dtype=np.float64)
    start = time.perf_counter()
    model.fit(X, y)
    wall = time.perf_counter() - start
    return {"wall_s": wall, "equation": model.get_model_string(model.model_, 6),
            "complexity": int(model.model_.Length)}, model


def fit_gplearn(X, y, seed: int, generations: int, time_limit: float | None = None, **settings):
    """gplearn grown one generation at a time (warm_start continues the same
    run), up to `generations`; it stops at an exact training fit (MSE at most
    1e-12 Var(y), well inside the exact rule) or before a generation that
    would end after `time_limit`, the last one's time being the estimate."""
    from gplearn.genetic import SymbolicRegressor

    stop = 1e-12 * float(np.var(y))
    model = SymbolicRegressor(random_state=seed, generations=1, warm_start=True, stopping_criteria=stop,
                              **{**GPLEARN, **settings})
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # scikit-learn's deprecation chatter
        for done in range(1, generations + 1):
            model.set_params(generations=done)
            t0 = time.perf_counter()
            model.fit(X, y)
            now = time.perf_counter()
            if model._program.raw_fitness_ <= stop or (time_limit is not None and
                                                       now - start + (now - t0) > time_limit):
                break
    wall = time.perf_counter() - start
    return {"wall_s": wall, "equation": str(model._program), "complexity": int(model._program.length_),
            "generations": done}, model


# --- The engine's level events ---


def level_seconds(event: dict) -> float:
    """A level's wall time from its event: generating, scoring and closing it."""
    return event["generate_seconds"] + event["score_seconds"] + event["close_seconds"]


class Recorder:
    """vok_learn's `_engine.search` wrapped, inside the `with` block, to keep
    each call's level events (without the front, with the process's CPU
    seconds so far: less disturbed by other machines' load than the wall
    time), result, wall and CPU seconds; `overrides` are passed to every
    call in place of the caller's (a screen factor, for instance)."""

    def __init__(self, **overrides):
        from vok_learn import _engine

        self.calls: list[dict] = []
        self.overrides = overrides
        self._engine = _engine
        self._search = _engine.search

    def __enter__(self):
        def search(*args, callback=None, **kwargs):
            events = []

            def watch(event):
                if event["kind"] == "level":
                    events.append({**{k: v for k, v in event.items() if k != "front"}, "cpu": time.process_time()})
                if callback is not None:
                    callback(event)

            started, cpu = time.perf_counter(), time.process_time()
            result = self._search(*args, callback=watch, **{**kwargs, **self.overrides})
            self.calls.append({"events": events, "result": result, "seconds": time.perf_counter() - started,
                               "cpu_seconds": time.process_time() - cpu, "cpu_start": cpu})
            return result

        self._engine.search = search
        return self

    def __exit__(self, *exc):
        self._engine.search = self._search


# --- Processes ---


def _rss_of(pid: int) -> float | None:
    """Current resident memory of a process in MiB (Linux), None if unknown."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return None


def _usage(usage) -> dict:
    if usage is None:
        return {}
    return {"cpu_s": usage.ru_utime + usage.ru_stime, "process_peak_rss_mib": usage.ru_maxrss / 1024.0}


class Child:
    """One process under supervision, in a session of its own so that a kill
    takes its children along; output to `log`."""

    def __init__(self, cmd: list[str], log, **popen):
        self.proc = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, start_new_session=True, **popen)
        self.code = self.usage = None

    def done(self) -> bool:
        if self.code is None:
            pid, status, usage = os.wait4(self.proc.pid, os.WNOHANG)
            if pid:
                self._reaped(status, usage)
        return self.code is not None

    def _reaped(self, status, usage) -> None:
        self.code = self.proc.returncode = os.waitstatus_to_exitcode(status)
        self.usage = usage

    def kill(self) -> None:
        if not self.done():
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self._reaped(*os.wait4(self.proc.pid, 0)[1:])

    def wait(self, limit_s: float, mem_limit_mib: float, ready=None) -> str:
        """Until the child exits ("exit"), `ready()` says an answer is there
        ("answer"), `limit_s` seconds pass ("timeout") or it holds more than
        `mem_limit_mib` resident ("memory_limit"): a search whose levels
        outgrow the machine must not push a shared box into swap. A child
        stopped at a limit is killed."""
        deadline = time.monotonic() + limit_s
        while True:
            if ready is not None and ready(0.05):
                return "answer"
            if self.done():
                return "exit"
            if time.monotonic() >= deadline:
                self.kill()
                return "timeout"
            rss = _rss_of(self.proc.pid)
            if rss is not None and rss > mem_limit_mib:
                self.kill()
                return "memory_limit"
            if ready is None:
                time.sleep(0.05)

    def report(self, why: str, limit_s: float, mem_limit_mib: float) -> dict:
        """The supervisor's record: status, limits when one was hit, and for
        an ended process its CPU seconds (user + system, all threads) and peak
        resident memory, from wait4."""
        status = {"exit": "ok" if self.code == 0 else "crashed"}.get(why, why)
        if why == "exit" and self.code == -signal.SIGALRM:
            status = "timeout"  # the process's own alarm: fit_vok_sr's time limit
        rec = {"status": status, "exit_code": self.code}
        if status in ("timeout", "memory_limit"):
            rec.update(limit_s=limit_s, mem_limit_mib=mem_limit_mib)
        return {**rec, **_usage(self.usage)}


def run_command(cmd: list[str], limit_s: float, mem_limit_mib: float = MEM_LIMIT_MIB) -> tuple[dict, str]:
    """A program under `Child`'s limits: its record and its output."""
    with tempfile.TemporaryFile() as log:
        start = time.perf_counter()
        child = Child(cmd, log)
        why = child.wait(limit_s, mem_limit_mib)
        rec = {**child.report(why, limit_s, mem_limit_mib), "process_s": time.perf_counter() - start}
        log.seek(0)
        return rec, log.read().decode(errors="replace")


_SERVE = "import sys; sys.path.insert(0, sys.argv[1]); import kit; kit.serve(sys.argv[2], int(sys.argv[3]))"


class Worker:
    """Calls functions of a bench module in a child Python process, one call
    at a time, each under `Child`'s limits (the first call's include the
    start-up). A function returns its record (a dict); an ImportError in it
    gives status "unavailable" (a peer that is not installed), another
    exception "failed". With `fresh`, every call gets a new process, so the
    peak memory, CPU time and output are that call's alone; otherwise one
    process serves call after call (imports paid once), and is replaced
    after a kill or a crash."""

    def __init__(self, module: str, fresh: bool = False):
        self.module, self.fresh, self.child = module, fresh, None
        self._tmp = tempfile.TemporaryDirectory(prefix="vok-bench-")

    def _start(self) -> None:
        rfd, wfd = os.pipe()
        self.log_path = Path(self._tmp.name) / "worker.log"
        with open(self.log_path, "wb") as log:
            self.child = Child([sys.executable, "-c", _SERVE, str(BENCH), self.module, str(wfd)], log,
                               stdin=subprocess.PIPE, pass_fds=(wfd,))
        os.close(wfd)
        self.rfd, self.buf = rfd, b""

    def _ready(self, timeout: float) -> bool:
        if b"\n" not in self.buf and select.select([self.rfd], [], [], timeout)[0]:
            self.buf += os.read(self.rfd, 1 << 16)
        return b"\n" in self.buf

    def stop(self) -> dict:
        """Ends the process (it leaves its loop at the end of its input);
        its CPU time and peak memory."""
        child, self.child = self.child, None
        if child is None:
            return {}
        try:
            child.proc.stdin.close()
        except OSError:
            pass
        if child.wait(30.0, math.inf) != "exit":
            child.kill()
        os.close(self.rfd)
        return _usage(child.usage)

    def call(self, fn: str, *args, limit_s: float, mem_limit_mib: float = MEM_LIMIT_MIB) -> tuple[dict, str]:
        """One call: its record and the output the process wrote meanwhile."""
        if self.child is None:
            self._start()
        offset = self.log_path.stat().st_size
        start = time.perf_counter()
        try:
            self.child.proc.stdin.write((json.dumps([fn, args]) + "\n").encode())
            self.child.proc.stdin.flush()
        except BrokenPipeError:
            pass  # it died at start-up: wait() sees the exit
        why = self.child.wait(limit_s, mem_limit_mib, self._ready)
        if why == "answer":
            line, self.buf = self.buf.split(b"\n", 1)
            rec = json.loads(line)
            if self.fresh:
                rec.update(self.stop())
        else:
            rec = self.child.report(why, limit_s, mem_limit_mib)
            self.stop()
        rec["process_s"] = time.perf_counter() - start
        with open(self.log_path, "rb") as log:
            log.seek(offset)
            output = log.read().decode(errors="replace")
        if rec["status"] == "crashed":
            rec["output_tail"] = output[-2000:]
        return rec, output


def serve(module: str, fd: int) -> None:
    """The worker's side: a call [function, args] per line of input, its
    record as one JSON line on `fd`."""
    out = os.fdopen(fd, "w")
    mod = importlib.import_module(module)
    for line in sys.stdin:
        fn, args = json.loads(line)
        try:
            rec = {"status": "ok", **getattr(mod, fn)(*args)}
        except ImportError as exc:
            rec = {"status": "unavailable", "reason": f"{type(exc).__name__}: {exc}"}
        except Exception as exc:  # noqa: BLE001 - one record, not the run
            rec = {"status": "failed", "reason": f"{type(exc).__name__}: {exc}"}
        out.write(json.dumps(finite_or_none(rec)) + "\n")
        out.flush()


# --- Results ---


def versions() -> dict:
    from importlib import metadata

    out = {"python": platform.python_version()}
    for dist in ("vok_sr", "numpy", "pyoperon", "gplearn", "scikit-learn", "pandas", "sympy", "mpmath", "dask"):
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = None
    return out


def meta(quick: bool, **settings) -> dict:
    """What a results file starts with: when, where, with what."""
    return {"started": time.strftime("%Y-%m-%dT%H:%M:%S%z"), "quick": quick, "cores": CORES,
            "platform": platform.platform(), "loadavg_start": [round(v, 2) for v in os.getloadavg()],
            "versions": versions(), "exact_rule": EXACT_RULE,
            "peer_settings": {"pyoperon": PYOPERON, "pyoperon_timed": PYOPERON_TIMED, "gplearn": GPLEARN},
            "settings": settings}


def finite_or_none(obj):
    """Strict JSON has no NaN or infinity: those become null; NumPy scalars
    become Python numbers."""
    if isinstance(obj, np.generic):
        obj = obj.item()
    if isinstance(obj, float) and not math.isfinite(obj):
        return None
    if isinstance(obj, dict):
        return {str(k): finite_or_none(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [finite_or_none(v) for v in obj]
    return obj


def write_results(path: Path, results: dict) -> None:
    results["meta"].update(finished=time.strftime("%Y-%m-%dT%H:%M:%S%z"),
                           loadavg_end=[round(v, 2) for v in os.getloadavg()])
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(finite_or_none(results), indent=1, allow_nan=False) + "\n")
    print(f"\nwritten: {path}")


def parser(doc: str) -> argparse.ArgumentParser:
    """The options every benchmark has: --quick (also BENCH_QUICK=1) and
    --json FILE (see `results_path`)."""
    ap = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", default=os.environ.get("BENCH_QUICK", "") not in ("", "0"),
                    help="smoke run (also BENCH_QUICK=1)")
    ap.add_argument("--json", "--out", dest="json", type=Path,
                    help="results file (default build/bench-results/<benchmark>.json, -quick.json when quick)")
    return ap


def results_path(args, name: str) -> Path:
    return args.json or RESULTS_DIR / f"{name}{'-quick' if args.quick else ''}.json"


def names(ap: argparse.ArgumentParser, text: str | None, known, default: list[str]) -> list[str]:
    """A comma-separated choice among `known`, or `default`."""
    chosen = [n.strip() for n in text.split(",") if n.strip()] if text else list(default)
    if unknown := [n for n in chosen if n not in known]:
        ap.error(f"unknown: {', '.join(unknown)} (known: {', '.join(known)})")
    return chosen


def fmt(v, form: str = ".3g", missing: str = "-") -> str:
    if v is None:
        return missing
    if isinstance(v, float) and not math.isfinite(v):
        return str(v)
    return format(v, form)


def table(head: list[str], rows: list[list[str]]) -> None:
    """Prints a table of strings: the first column left-aligned, the others
    right-aligned."""
    widths = [max(len(str(r[i])) for r in [head, *rows]) for i in range(len(head))]

    def line(r):
        return "  ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w) for i, (c, w) in enumerate(zip(r, widths)))

    print(line(head))
    print("-" * len(line(head)))
    for r in rows:
        print(line(r))
