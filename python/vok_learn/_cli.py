"""The ``vok-sr`` command line: ``vok-sr fit DATA.csv --target COLUMN ...``
and ``vok-sr constant VALUE``.

``constant`` exits with status 1 when it finds no closed form, as ``grep``
does when nothing matches, so that a script can tell "no form" from a form
without reading the output. Every error a user can cause (a missing file, an unknown column, data that
are not numbers, a bad setting) ends in one line on stderr and exit status 2,
never in a usage text or a traceback: the command is meant for scripts and
pipelines, whose logs should say what went wrong in one line.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import warnings
from collections.abc import Sequence
from pathlib import Path
from typing import NoReturn

import numpy as np
import pandas as pd

PROG = "vok-sr"
EXIT_NOT_FOUND = 1
EXIT_USAGE = 2
NOT_FOUND = "no closed form found within the limits"


class UsageError(Exception):
    """A user error: reported as one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    # argparse prints the usage before its own errors; one line is enough.
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def _max_samples(text: str) -> int | str | None:
    if text in ("auto", "all"):
        return None if text == "all" else text
    return _positive_int(text)


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected an integer >= 1, got {text!r}")
    return value


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {text!r}") from None
    if not value > 0 or math.isnan(value):
        raise argparse.ArgumentTypeError(f"expected a number of seconds > 0, got {text!r}")
    return value


def _finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
    return value


def _tolerance(text: str) -> float:
    value = _finite_float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"expected a number > 0, got {text!r}")
    return value


def _operator_list(text: str) -> list[str]:
    # The names are checked by the estimator, whose message lists the valid
    # ones; here only the list's shape.
    names = [name.strip() for name in text.split(",")]
    if any(not name for name in names):
        raise argparse.ArgumentTypeError(f"expected comma-separated operator names, got {text!r}")
    return names


def _unit_of_column(text: str) -> tuple[str, str]:
    # The unit itself is read by pint when the estimator resolves it, and a
    # malformed one is reported there, naming its column.
    column, equals, unit = text.partition("=")
    if not equals or not column.strip():
        raise argparse.ArgumentTypeError(f"expected COLUMN=UNIT, got {text!r}")
    return column.strip(), unit.strip()


def _units_of(pairs: list[tuple[str, str]] | None, features: Sequence[str], target: str) -> dict[str, object]:
    """fit's X_units and y_units from the ``--units`` pairs (none: no units)."""
    if not pairs:
        return {}
    given: dict[str, str] = {}
    for column, unit in pairs:
        if column in given:
            raise UsageError(f"--units gives column {column!r} twice")
        if column != target and column not in features:
            raise UsageError(f"--units names {column!r}, which is neither a feature nor the target")
        given[column] = unit
    missing = [name for name in features if name not in given]
    if missing:
        raise UsageError(
            f"--units gives no unit for {', '.join(map(repr, missing))}: every feature needs one "
            "(1 for a dimensionless one)"
        )
    return {"X_units": {name: given[name] for name in features}, "y_units": given.get(target)}


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of ``vok-sr``.

    Returns
    -------
    argparse.ArgumentParser
        A parser whose ``error`` raises instead of printing the usage.
    """
    parser = _Parser(prog=PROG, description="Symbolic regression on tabular data.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)
    fit = commands.add_parser(
        "fit",
        help="find formulas for one column of a CSV file",
        description="Find formulas for the target column as a function of the other columns.",
    )
    fit.add_argument("data", metavar="DATA.csv", help="the data, a CSV file with a header row")
    fit.add_argument("--target", required=True, metavar="COLUMN", help="the column to predict")
    fit.add_argument(
        "--features",
        metavar="A,B,...",
        help="comma-separated input columns (default: every column but the target)",
    )
    fit.add_argument("--max-complexity", type=_positive_int, default=10, metavar="N")
    fit.add_argument("--time-limit", type=_positive_float, default=None, metavar="S")
    fit.add_argument(
        "--model-selection", choices=("best", "score", "accuracy"), default="best", metavar="M"
    )
    fit.add_argument(
        "--max-samples",
        type=_max_samples,
        default="auto",
        metavar="N",
        help="search on a random subset of N rows, then refit on all rows; 'auto' (default): "
        "2000 rows on larger tables; 'all': every row",
    )
    fit.add_argument(
        "--select-features",
        type=_positive_int,
        default=None,
        metavar="K",
        help="search on the K columns most related to the target (default: all)",
    )
    fit.add_argument(
        "--operators",
        type=_operator_list,
        default=None,
        metavar="OP,OP,...",
        help="comma-separated operators to build formulas from, e.g. +,*,sqrt (default: all); "
        "write --operators=-,/ when the list starts with '-'",
    )
    fit.add_argument(
        "--units",
        type=_unit_of_column,
        action="append",
        metavar="COLUMN=UNIT",
        help="the unit of a column, e.g. --units v=m/s --units t=s; given for every feature, it keeps "
        "the search to dimensionally consistent formulas (1: dimensionless), and given for the target "
        "too, to formulas of its dimension",
    )
    fit.add_argument(
        "--constant-units",
        choices=("dimensionless", "free"),
        default="dimensionless",
        help="with --units: fitted constants are dimensionless (default) or carry whatever unit "
        "makes the formula consistent, as physical constants do",
    )
    fit.add_argument("--random-state", type=int, default=None, metavar="SEED")
    fit.add_argument(
        "--no-output-scaling",
        dest="output_scaling",
        action="store_false",
        help="offer only the formulas the search builds, not their rescalings a*f + b, a*f and f + b",
    )
    fit.add_argument(
        "--no-dimensionless-groups",
        dest="dimensionless_groups",
        action="store_false",
        help="with every unit given, do not also search the law over the features' dimensionless groups",
    )
    fit.add_argument(
        "--grow-terms",
        type=int,
        default=2,
        metavar="N",
        help="after the search, grow the most accurate equation by up to N terms or factors, each "
        "kept only if it cuts the loss on rows its search did not see (default: 2; 0: none)",
    )
    fit.add_argument(
        "--verbose", type=int, choices=(0, 1, 2), default=1, help="0 quiet, 1 progress bars, 2 engine lines"
    )
    fit.add_argument(
        "--output", metavar="FILE.csv|FILE.json", help="write the equations table (CSV or JSON)"
    )
    fit.add_argument("--plot", metavar="FILE.png", help="save the Pareto plot (needs matplotlib)")
    fit.add_argument(
        "--checkpoint",
        metavar="FILE",
        help="store the search in FILE after every level (and the equations so far in FILE.csv); "
        "run the same command again to resume it after a crash or a kill",
    )
    fit.add_argument(
        "--resume",
        choices=("auto", "never", "always"),
        default="auto",
        help="with --checkpoint: auto resumes a matching file and refuses another (default), "
        "never starts afresh over it, always requires one",
    )

    # Unset options take identify_constant's defaults; importing them here
    # would load SymPy and the engine for every command, --help included.
    constant = commands.add_parser(
        "constant",
        help="find closed forms of a number",
        description="Find closed forms of a number built from 0, 1, i, pi and e. "
        "Exit status 0: forms found; 1: none within the limits; 2: an error.",
    )
    constant.add_argument("value", metavar="VALUE", type=_finite_float, help="the number to identify")
    constant.add_argument(
        "--max-complexity", type=_positive_int, metavar="N", help="largest form in tokens (default: identify_constant's)"
    )
    constant.add_argument("--time-limit", type=_positive_float, metavar="S")
    constant.add_argument(
        "--tolerance", type=_tolerance, metavar="T", help="relative tolerance (default: identify_constant's)"
    )
    return parser


def _read_data(path: str, target: str, features: str | None) -> tuple[pd.DataFrame, pd.Series]:
    try:
        data = pd.read_csv(path)
    except FileNotFoundError:
        raise UsageError(f"cannot read {path}: no such file") from None
    except (OSError, UnicodeDecodeError, pd.errors.ParserError, pd.errors.EmptyDataError) as error:
        reason = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        raise UsageError(f"cannot read {path}: {reason}") from None
    columns = [str(c) for c in data.columns]
    data.columns = columns

    if features is None:
        names = [c for c in columns if c != target]
    else:
        names = [name.strip() for name in features.split(",")]
        if any(not name for name in names):
            raise UsageError(f"--features has an empty name: {features!r}")
    for name in [target, *names]:
        if name not in columns:
            raise UsageError(f"unknown column {name!r} in {path}; its columns are: {', '.join(columns)}")
    if target in names:
        raise UsageError(f"the target column {target!r} is also a feature")
    if len(set(names)) != len(names):
        raise UsageError(f"--features names a column twice: {features!r}")
    if not names:
        raise UsageError(f"{path} has no column besides the target {target!r}")
    for name in [target, *names]:
        if not pd.api.types.is_numeric_dtype(data[name]) or pd.api.types.is_bool_dtype(data[name]):
            raise UsageError(f"column {name!r} in {path} is not numeric")
        if not np.all(np.isfinite(data[name].to_numpy(dtype=np.float64))):
            raise UsageError(f"column {name!r} in {path} has missing or infinite values")
    return data[names], data[target]


def format_table(model: object) -> str:
    """The equations table as printed: the selected row marked with ``*``.

    Parameters
    ----------
    model : VokRegressor
        A fitted estimator.

    Returns
    -------
    str
        The table with the columns complexity, loss, score and equation.
    """
    table = model.equations_  # type: ignore[attr-defined]
    best = int(model.best_index_)  # type: ignore[attr-defined]
    rows = [("", "complexity", "loss", "score", "equation")]
    for i, (complexity, loss, score, equation) in enumerate(
        zip(table["complexity"], table["loss"], table["score"], table["equation"])
    ):
        rows.append(("*" if i == best else "", str(complexity), f"{loss:.6g}", f"{score:.4g}", equation))
    widths = [max(len(row[k]) for row in rows) for k in range(4)]
    lines = []
    for row in rows:
        cells = [row[0].ljust(widths[0]), row[1].rjust(widths[1])]
        cells += [row[k].rjust(widths[k]) for k in (2, 3)]
        lines.append("  ".join([*cells, row[4]]).rstrip())
    return "\n".join(lines)


def _records(model: object) -> pd.DataFrame:
    table = model.equations_.copy()  # type: ignore[attr-defined]
    table["sympy_format"] = [str(e) for e in table["sympy_format"]]
    return table


def _write_output(model: object, path: str) -> None:
    suffix = Path(path).suffix.lower()
    table = _records(model)
    try:
        if suffix == ".csv":
            table.to_csv(path, index=False)
        else:
            records = [
                {key: _json_value(value) for key, value in row.items()}
                for row in table.to_dict(orient="records")
            ]
            with open(path, "w", encoding="utf-8") as out:
                json.dump(records, out, indent=2, allow_nan=False)
                out.write("\n")
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror or error}") from None


def _json_value(value: object) -> object:
    if isinstance(value, np.generic):
        value = value.item()
    # JSON has no infinities or NaN: a non-finite number becomes null.
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def _fit(args: argparse.Namespace) -> int:
    if args.output is not None and Path(args.output).suffix.lower() not in (".csv", ".json"):
        raise UsageError(f"--output must end in .csv or .json, got {args.output!r}")
    if args.plot is not None:
        try:
            import matplotlib
        except ImportError:
            raise UsageError("--plot needs matplotlib: pip install vok_sr[plot]") from None
        matplotlib.use("Agg")
    if args.resume != "auto" and args.checkpoint is None:
        raise UsageError("--resume needs --checkpoint")
    if args.constant_units != "dimensionless" and not args.units:
        raise UsageError("--constant-units needs --units")
    X, y = _read_data(args.data, args.target, args.features)
    units = _units_of(args.units, [str(c) for c in X.columns], args.target)

    from ._estimator import VokRegressor

    model = VokRegressor(
        max_complexity=args.max_complexity,
        time_limit=args.time_limit,
        model_selection=args.model_selection,
        max_samples=args.max_samples,
        select_features=args.select_features,
        random_state=args.random_state,
        verbose=args.verbose,
        operators=args.operators,
        output_scaling=args.output_scaling,
        grow_terms=args.grow_terms,
        dimensionless_groups=args.dimensionless_groups,
        constant_units=args.constant_units,
        checkpoint=args.checkpoint,
        resume=args.resume,
    )
    try:
        model.fit(X, y, **units)
    except ValueError as error:
        raise UsageError(str(error).strip().splitlines()[0]) from None

    print(f"{args.target} = f({', '.join(map(str, X.columns))}); * marks the selected equation")
    print(format_table(model), flush=True)
    if args.output is not None:
        _write_output(model, args.output)
    if args.plot is not None:
        import matplotlib.pyplot as plt

        from ._plot import plot_pareto

        figure, ax = plt.subplots(figsize=(8, 5))
        plot_pareto(model, ax=ax)
        try:
            figure.savefig(args.plot, dpi=120, bbox_inches="tight")
        except (OSError, ValueError) as error:
            raise UsageError(f"cannot write {args.plot}: {error}") from None
    return 0


def format_constants(forms: Sequence[object]) -> str:
    """The table of closed forms as ``vok-sr constant`` prints it.

    Parameters
    ----------
    forms : sequence of ConstantForm
        The forms, as :func:`identify_constant` returns them.

    Returns
    -------
    str
        The columns complexity, form, value (full precision) and error.
    """
    rows = [("complexity", "form", "value", "error")]
    for f in forms:
        rows.append((str(f.complexity), f.text, repr(f.value), f"{f.error:.3g}"))  # type: ignore[attr-defined]
    widths = [max(len(row[k]) for row in rows) for k in range(3)]
    return "\n".join(
        "  ".join([row[0].rjust(widths[0]), row[1].ljust(widths[1]), row[2].ljust(widths[2]), row[3]])
        for row in rows
    )


def _constant(args: argparse.Namespace) -> int:
    from ._constants import identify_constant

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        options = {
            name: getattr(args, name)
            for name in ("max_complexity", "time_limit", "tolerance")
            if getattr(args, name) is not None
        }
        forms = identify_constant(args.value, **options)
    for warning in caught:
        print(f"{PROG}: warning: {warning.message}", file=sys.stderr)
    if not forms:
        print(NOT_FOUND)
        return EXIT_NOT_FOUND
    print(format_constants(forms))
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Runs ``vok-sr`` with the given arguments.

    Parameters
    ----------
    argv : sequence of str or None, default=None
        The arguments without the program name; None: ``sys.argv[1:]``.

    Returns
    -------
    int
        The exit status: 0 on success, 1 when ``constant`` finds no form,
        2 on a usage or data error (one line on stderr).
    """
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.command == "fit":
            return _fit(args)
        if args.command == "constant":
            return _constant(args)
        raise UsageError(f"unknown command {args.command!r}")  # pragma: no cover
    except UsageError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return EXIT_USAGE


if __name__ == "__main__":
    sys.exit(main())
