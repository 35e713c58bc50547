"""Units alone: what fit(X_units=..., y_units=...) changes on the Feynman laws
of the kit, everything else at VokRegressor's defaults.

    .venv/bin/python bench/units_bench.py [--time-limit T] [--levels K]
        [--problems NAME,...] [--quick] [--json FILE]

Two measurements per law, with the database's SI units of every variable:
- level sizes: the candidates and retained formulas of each level of one
  exhaustive search up to K tokens (default 6), without units, with units
  (constants dimensionless) and with units and free constants;
- recovery: VokRegressor(time_limit=T) (default 8 s) in the same three
  settings, exact when the held-out R^2 against the law is at least
  1 - 1e-10 (kit.EXACT_RULE), on the kit's 50 training and 200 held-out rows.
One run at a time, on all cores. Results go to build/bench-results/units-results.json.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kit  # noqa: E402

# SI units of the variables and the target of each law, as the Feynman
# database gives them (pint's spelling).
UNITS = {
    "I.12.1": (["", "N"], "N"),
    "I.12.4": (["C", "F/m", "m"], "V/m"),
    "I.14.4": (["N/m", "m"], "J"),
    "I.18.12": (["m", "N", "rad"], "N*m"),
    "I.25.13": (["C", "F"], "V"),
    "I.29.4": (["rad/s", "m/s"], "1/m"),
    "I.34.8": (["C", "m/s", "T", "kg*m/s"], "rad/s"),
    "I.39.22": (["", "K", "m^3", "J/K"], "Pa"),
    "I.40.1": (["1/m^3", "kg", "m", "K", "m/s^2", "J/K"], "1/m^3"),
    "I.43.31": (["s/kg", "K", "J/K"], "m^2/s"),
    "I.44.4": (["", "J/K", "K", "m^3", "m^3"], "J"),
    "I.47.23": (["", "Pa", "kg/m^3"], "m/s"),
    "I.50.26": (["m", "rad/s", "s", ""], "m"),
    "II.2.42": (["W/(m*K)", "K", "K", "m^2", "m"], "W"),
    "II.3.24": (["W", "m"], "W/m^2"),
    "II.38.14": (["Pa", ""], "Pa"),
    "III.12.43": (["", "J*s"], "J*s"),
    "III.17.37": (["J", "", "rad"], "J"),
}
SETTINGS = {
    "none": dict(),
    "units": dict(units=True),
    "units_free": dict(units=True, constant_units="free"),
}
QUICK = ["I.12.1", "I.34.8", "II.3.24"]
TEST_ROWS = 200


def engine_units(name: str, free: bool) -> dict:
    from vok_learn._units import resolve_units

    X_units, y_units = UNITS[name]
    problem = kit.PROBLEMS[name]
    u = resolve_units(X_units, y_units, list(problem.vars), "free" if free else "dimensionless")
    return {"inputs": u.inputs, "target": u.target, "constants": u.constants}


def level_sizes(name: str, setting: dict, levels: int) -> dict:
    from vok_learn import _engine

    data = kit.sample(kit.PROBLEMS[name])
    events = []
    units = engine_units(name, setting.get("constant_units") == "free") if setting.get("units") else None
    start = time.perf_counter()
    _engine.search(data.X, data.y, max_complexity=levels, exhaustive=True, ranking="affine", units=units,
                   callback=lambda e: events.append(e) if e["kind"] == "level" else None)
    wall = time.perf_counter() - start
    return {"candidates": [int(e["candidates"]) for e in events], "retained": [int(e["retained"]) for e in events],
            "wall_s": wall}


def recovery(name: str, setting: dict, T: float) -> dict:
    from vok_learn import VokRegressor

    data = kit.sample(kit.PROBLEMS[name], test_rows=TEST_ROWS)
    model = VokRegressor(verbose=0, time_limit=T, constant_units=setting.get("constant_units", "dimensionless"))
    kwargs = {}
    if setting.get("units"):
        kwargs = {"X_units": UNITS[name][0], "y_units": UNITS[name][1]}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        start = time.perf_counter()
        model.fit(data.X, data.y, **kwargs)
        wall = time.perf_counter() - start
    best = int(model.best_index_)
    record = {"wall_s": wall, "equation": str(model.equations_["equation"].iloc[best]),
              "complexity": int(model.equations_["complexity"].iloc[best]), "stop_reason": model.stop_reason_}
    return kit.score(record, model, data)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--time-limit", type=float, default=8.0)
    parser.add_argument("--levels", type=int, default=6)
    parser.add_argument("--problems", default=None)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--json", default=None)
    args = parser.parse_args()
    names = args.problems.split(",") if args.problems else (QUICK if args.quick else list(UNITS))
    out = {"meta": {"time_limit": args.time_limit, "levels": args.levels, "cores": kit.CORES,
                    "started": time.strftime("%Y-%m-%d %H:%M:%S"), "load": os.getloadavg()},
           "problems": {}}
    print(f"{'law':<10} {'setting':<11} {'candidates (levels 2..K)':<44} {'sum':>9} {'exact':>6} "
          f"{'R2 test':>12} {'s':>5}  equation")
    for name in names:
        rows = {}
        for label, setting in SETTINGS.items():
            sizes = level_sizes(name, setting, args.levels)
            rec = recovery(name, setting, args.time_limit)
            rows[label] = {"levels": sizes, "fit": rec}
            r2 = rec.get("r2_test_clean")
            print(f"{name:<10} {label:<11} {str(sizes['candidates'][1:]):<44} {sum(sizes['candidates']):>9} "
                  f"{str(rec['exact']):>6} {('%.3e' % (1 - r2)) if r2 is not None else 'n/a':>12} "
                  f"{rec['wall_s']:>5.1f}  {rec['equation']}", flush=True)
        out["problems"][name] = rows
    totals = {label: sum(out["problems"][n][label]["fit"]["exact"] for n in names) for label in SETTINGS}
    cands = {label: sum(sum(out["problems"][n][label]["levels"]["candidates"]) for n in names) for label in SETTINGS}
    out["summary"] = {"exact": totals, "candidates": cands, "laws": len(names)}
    out["meta"]["ended"] = time.strftime("%Y-%m-%d %H:%M:%S")
    print(f"\nexact of {len(names)}: {totals}\ncandidates up to level {args.levels}, all laws: {cands}")
    path = args.json or os.path.join("build", "bench-results", "units-results" + ("-quick" if args.quick else "")
                                     + ".json")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        json.dump(out, f, indent=1, default=float)
    print(f"written {path}")


if __name__ == "__main__":
    main()
