"""The estimator's benchmark: held-out accuracy on noisy data, and predict speed.

Run through `make bench-estimator` (which installs the current checkout into
.venv-bench first), or directly with the bench venv's or the dev venv's python:

    .venv-bench/bin/python bench/estimator_bench.py [--quick] [--json FILE]

Two measurements, each against a reference a user would otherwise reach for:

1. Accuracy. A few of the harness's problems, plus a three-variable law, with
   Gaussian noise on y (1 % or 5 % of the clean targets' RMS), 50 training rows
   and 200 held-out rows drawn from the same domain. VokRegressor fits under a
   wall-clock budget T (time_limit=T), once per model_selection ("best",
   "accuracy", "score"); for each fit the held-out R^2 of its selected equation
   (predict(X_test)) and of its most accurate one (predict(X_test,
   index=<lowest training loss>)). pyoperon's SymbolicRegressor runs on the
   same rows with its constant fitting on (optimizer_iterations > 0) and its
   own time limit (max_time) set to the same T, in a subprocess of its own.
   The check: the selected equation's held-out R^2 is at least the most
   accurate equation's and at least pyoperon's.

2. Predict speed. A 10-token formula on 10^6 rows: _engine.evaluate and the
   estimator's predict, against NumPy's complex128 ufuncs computing the same
   formula, median of several runs. NumPy is timed twice: on inputs that are
   already complex128 arrays (ufuncs only, the strictest baseline), and from
   the float64 matrix (conversion to complex128 and the real part included,
   which is what predict does in full). Two input domains: one where the
   formula stays real, and one where half the rows take the logarithm of a
   negative number, so the complex arithmetic is really used.

BENCH_QUICK=1 (or --quick) is a smoke run: two problems at T = 5 s and three
repetitions of the predict timings; it writes estimator-results-quick.json.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from harness import CORES, PROBLEMS_BY_NAME, PYOPERON_TIMED, _finite_or_none, _fmt  # noqa: E402

BASE_SEED = 20240717
TRAIN_ROWS = 50
TEST_ROWS = 200

# The harness's laws (same domains), and one with three variables. Each has a
# noise level: the noise's standard deviation as a fraction of the RMS of the
# clean targets on all rows.
NOISY_PROBLEMS = [
    {"name": "nguyen-1", "noise": 0.05},
    {"name": "nguyen-5", "noise": 0.01},
    {"name": "nguyen-7", "noise": 0.05},
    {"name": "nguyen-8", "noise": 0.01},
    {"name": "nguyen-10", "noise": 0.05},
    {"name": "three-var", "noise": 0.01, "law": "sin(x) y + z^2", "domain": (-1.0, 1.0), "vars": 3,
     "f": lambda x, y, z: np.sin(x) * y + z**2},
]
QUICK_PROBLEMS = ["nguyen-1", "nguyen-10"]
SELECTIONS = ("best", "accuracy", "score")

# pyoperon as a black box, bounded by its max_time (see the harness).
PYOPERON = PYOPERON_TIMED

# exp((sin(x0) + C*x1) / log(x0)), C = 1.5: 10 tokens, six ufuncs in NumPy.
PREDICT_TOKENS = [("var", 0), ("op", 15, "Sin"), ("const", 1.5), ("var", 1), ("op", 9, "Times"),
                  ("op", 8, "Plus"), ("var", 0), ("op", 13, "Log"), ("op", 11, "Divide"), ("op", 12, "Exp")]
PREDICT_TEXT = "exp((sin(x0) + 1.5*x1) / log(x0))"
assert len(PREDICT_TOKENS) == 10


def numpy_formula(x0, x1):
    """The same formula as PREDICT_TOKENS, written by hand with NumPy ufuncs."""
    return np.exp((np.sin(x0) + 1.5 * x1) / np.log(x0))


# ---------------------------------------------------------------------------
# Data
# ---------------------------------------------------------------------------


def problem_def(entry: dict) -> dict:
    base = PROBLEMS_BY_NAME.get(entry["name"], {})
    return {**{k: base[k] for k in ("law", "domain", "vars", "f") if k in base}, **entry}


def make_noisy(entry: dict):
    """Training and held-out rows, the noisy targets and the clean ones,
    from the problem's own seed (so every tool and every run sees the same)."""
    p = problem_def(entry)
    rng = np.random.default_rng(BASE_SEED + [q["name"] for q in NOISY_PROBLEMS].index(p["name"]))
    lo, hi = p["domain"]
    X = rng.uniform(lo, hi, size=(TRAIN_ROWS + TEST_ROWS, p["vars"]))
    clean = np.asarray(p["f"](*X.T), dtype=np.float64)
    sigma = p["noise"] * math.sqrt(float(np.mean(clean**2)))
    y = clean + rng.normal(0.0, sigma, size=clean.shape)
    t = TRAIN_ROWS
    return X[:t], y[:t], X[t:], y[t:], clean[t:], sigma


def r2(y: np.ndarray, pred: np.ndarray) -> float | None:
    """R^2, or None when a prediction is missing (NaN) or not finite: an
    equation without a value on a held-out row has no score there."""
    pred = np.asarray(pred, dtype=np.float64)
    if not np.all(np.isfinite(pred)):
        return None
    return 1.0 - float(np.sum((y - pred) ** 2)) / float(np.sum((y - y.mean()) ** 2))


# ---------------------------------------------------------------------------
# Accuracy
# ---------------------------------------------------------------------------


def fit_vok(entry: dict, selection: str, time_limit: float) -> dict:
    from vok_learn import VokRegressor

    X, y, Xt, yt, clean_t, _ = make_noisy(entry)
    model = VokRegressor(time_limit=time_limit, verbose=0, model_selection=selection)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        start = time.perf_counter()
        model.fit(X, y)
        wall = time.perf_counter() - start
    eq = model.equations_
    best = int(model.best_index_)
    most_accurate = int(np.argmin(eq["loss"].to_numpy()))
    pred = model.predict(Xt)
    pred_acc = model.predict(Xt, index=most_accurate)
    return {
        "status": "ok", "wall_s": wall, "stop_reason": model.stop_reason_,
        "warnings": [str(w.message) for w in caught],
        "front": [{"complexity": int(c), "loss": float(l), "equation": e}
                  for c, l, e in zip(eq["complexity"], eq["loss"], eq["equation"])],
        "selected_index": best, "selected_complexity": int(eq["complexity"].iloc[best]),
        "selected_equation": eq["equation"].iloc[best],
        "most_accurate_index": most_accurate,
        "most_accurate_complexity": int(eq["complexity"].iloc[most_accurate]),
        "r2_test": r2(yt, pred), "r2_test_clean": r2(clean_t, pred),
        "r2_train": r2(y, model.predict(X)),
        "most_accurate_r2_test": r2(yt, pred_acc), "most_accurate_r2_test_clean": r2(clean_t, pred_acc),
    }


def fit_pyoperon(entry: dict, time_limit: float, out: str) -> None:
    """Worker (its own process): pyoperon on one problem, record to `out`."""
    try:
        from pyoperon.sklearn import SymbolicRegressor
    except ImportError as exc:
        Path(out).write_text(json.dumps({"status": "unavailable", "reason": f"{type(exc).__name__}: {exc}"}))
        return
    X, y, Xt, yt, clean_t, _ = make_noisy(entry)
    seed = BASE_SEED + [q["name"] for q in NOISY_PROBLEMS].index(entry["name"])
    model = SymbolicRegressor(random_state=seed, max_time=int(math.ceil(time_limit)), **PYOPERON)
    start = time.perf_counter()
    model.fit(X, y)
    wall = time.perf_counter() - start
    pred = model.predict(Xt)
    Path(out).write_text(json.dumps(_finite_or_none({
        "status": "ok", "wall_s": wall, "max_time": int(math.ceil(time_limit)),
        "r2_test": r2(yt, pred), "r2_test_clean": r2(clean_t, pred), "r2_train": r2(y, model.predict(X)),
        "model": model.get_model_string(model.model_, 6), "length": int(model.model_.Length),
    })))


def run_pyoperon(entry: dict, time_limit: float) -> dict:
    """pyoperon in a subprocess with a hard cap: a peer that overruns or
    crashes costs one record, not the run."""
    with tempfile.TemporaryDirectory(prefix="vok-estbench-") as tmp:
        out = Path(tmp) / "rec.json"
        cmd = [sys.executable, str(Path(__file__).resolve()), "--worker", entry["name"], str(time_limit), str(out)]
        cap = time_limit + 60
        try:
            proc = subprocess.run(cmd, capture_output=True, text=True, timeout=cap)
        except subprocess.TimeoutExpired:
            return {"status": "timeout", "reason": f"no result within {cap:g} s"}
        if out.exists():
            return json.loads(out.read_text())
        return {"status": "failed", "reason": f"exit {proc.returncode}: {proc.stderr[-1500:]}"}


def accuracy_bench(names: list[str], time_limit: float) -> list[dict]:
    rows = []
    for name in names:
        entry = next(e for e in NOISY_PROBLEMS if e["name"] == name)
        p = problem_def(entry)
        *_, sigma = make_noisy(entry)
        row = {"name": name, "law": p["law"], "vars": p["vars"], "domain": list(p["domain"]),
               "noise": entry["noise"], "noise_sigma": sigma, "train_rows": TRAIN_ROWS, "test_rows": TEST_ROWS}
        for sel in SELECTIONS:
            print(f"[estimator-bench] {name:<10} vok {sel:<8} ...", end=" ", flush=True)
            try:
                row[f"vok_{sel}"] = fit_vok(entry, sel, time_limit)
                print(f"{row[f'vok_{sel}']['wall_s']:.1f} s", flush=True)
            except Exception as exc:  # one failed fit is a record, not the end of the run
                row[f"vok_{sel}"] = {"status": "failed", "reason": f"{type(exc).__name__}: {exc}"}
                print("failed", flush=True)
        print(f"[estimator-bench] {name:<10} pyoperon     ...", end=" ", flush=True)
        row["pyoperon"] = run_pyoperon(entry, time_limit)
        print(f"{row['pyoperon']['wall_s']:.1f} s" if row["pyoperon"].get("wall_s") else row["pyoperon"]["status"],
              flush=True)
        fronts = [tuple(e["equation"] for e in row[f"vok_{s}"].get("front", [])) for s in SELECTIONS]
        row["fronts_agree"] = all(f == fronts[0] for f in fronts)
        b, o = row["vok_best"], row["pyoperon"]
        row["best_ge_most_accurate"] = _ge(b.get("r2_test"), b.get("most_accurate_r2_test"))
        row["best_ge_pyoperon"] = _ge(b.get("r2_test"), o.get("r2_test")) if o.get("status") == "ok" else None
        rows.append(row)
    return rows


def _ge(a: float | None, b: float | None) -> bool:
    """a >= b, where a missing R^2 (no value on some held-out row) loses."""
    if a is None:
        return b is None
    return b is None or a >= b


# ---------------------------------------------------------------------------
# Predict speed
# ---------------------------------------------------------------------------


def _median_times(paths: dict, repeats: int) -> dict:
    """Median wall and CPU time of each path. The paths take turns within
    each repetition (in a rotating order), so that a neighbour's load on a
    shared machine falls on all of them alike rather than on whichever path
    happened to run while it lasted."""
    for fn in paths.values():
        fn()  # warm-up: first-touch page faults and lazy set-up stay out of the figures
    names = list(paths)
    walls: dict = {k: [] for k in names}
    cpus: dict = {k: [] for k in names}
    for r in range(repeats):
        for k in names[r % len(names):] + names[:r % len(names)]:
            c0, t0 = time.process_time(), time.perf_counter()
            paths[k]()
            walls[k].append(time.perf_counter() - t0)
            cpus[k].append(time.process_time() - c0)
    out = {}
    for k in names:
        wall = statistics.median(walls[k])
        out[k] = {"median_s": wall, "min_s": min(walls[k]), "max_s": max(walls[k]),
                  "cpu_median_s": statistics.median(cpus[k]),
                  "cpu_over_wall": statistics.median(cpus[k]) / wall if wall > 0 else None}
    return out


def _predict_model(X_small: np.ndarray):
    """A fitted VokRegressor whose selected row is PREDICT_TOKENS. A search
    that finds this very formula would take minutes at complexity 10; predict
    evaluates whatever formula the row holds, so a small fit with the row
    replaced times the same code path."""
    from vok_learn import VokRegressor, _engine

    y_small = _engine.evaluate(PREDICT_TOKENS, X_small)
    model = VokRegressor(max_complexity=2, verbose=0).fit(X_small, y_small)
    model.equation_tokens_[model.best_index_] = list(PREDICT_TOKENS)
    return model


def predict_bench(rows: int, repeats: int) -> dict:
    from vok_learn import _engine

    rng = np.random.default_rng(BASE_SEED)
    magnitude = rng.uniform(1.5, 4.0, size=rows)
    x1 = rng.uniform(-1.0, 1.0, size=rows)
    domains = {
        "real": ("x0 in [1.5, 4], x1 in [-1, 1]: the formula stays real", magnitude),
        "complex": ("x0 in +-[1.5, 4] (random sign), x1 in [-1, 1]: log of a negative x0 on half the rows",
                    np.where(rng.random(rows) < 0.5, -magnitude, magnitude)),
    }
    out = {"formula": PREDICT_TEXT, "tokens": [list(t) for t in PREDICT_TOKENS], "token_count": len(PREDICT_TOKENS),
           "rows": rows, "repeats": repeats, "statistic": "median wall time of the repeats, after one warm-up; the paths take turns",
           "engine_hardware_threads": int(_engine.hardware_threads()), "numpy_threads": 1, "domains": {}}
    model = _predict_model(np.column_stack([domains["real"][1][:200], x1[:200]]))
    for key, (what, x0) in domains.items():
        X = np.ascontiguousarray(np.column_stack([x0, x1]))
        x0c, x1c = x0.astype(np.complex128), x1.astype(np.complex128)
        formula = model.to_numpy()

        def numpy_ufuncs():
            return numpy_formula(x0c, x1c)

        def numpy_from_float64():
            return np.real(numpy_formula(X[:, 0].astype(np.complex128), X[:, 1].astype(np.complex128))).copy()

        def numpy_float64():
            return numpy_formula(X[:, 0], X[:, 1])

        with np.errstate(all="ignore"):
            engine = np.asarray(_engine.evaluate(PREDICT_TOKENS, X))
            reference = np.real(numpy_ufuncs())
            ok = np.isfinite(engine) & np.isfinite(reference)
            rel = np.abs(engine[ok] - reference[ok]) / np.maximum(np.abs(reference[ok]), 1e-300)
            paths = {
                "engine_evaluate": lambda: _engine.evaluate(PREDICT_TOKENS, X),
                "predict": lambda: model.predict(X),
                "numpy_complex128_ufuncs": numpy_ufuncs,
                "numpy_complex128_from_float64": numpy_from_float64,
                "to_numpy_callable": lambda: formula(X),
            }
            if key == "real":
                paths["numpy_float64_ufuncs"] = numpy_float64
            timings = _median_times(paths, repeats)
        assert np.array_equal(model.predict(X), engine, equal_nan=True)
        base = timings["numpy_complex128_ufuncs"]["median_s"]
        out["domains"][key] = {
            "inputs": what, "timings": timings,
            "rows_without_value_engine": int(np.sum(~np.isfinite(engine))),
            "max_rel_diff_engine_vs_numpy": float(rel.max()) if rel.size else None,
            "speedup_over_numpy_complex128": {k: base / v["median_s"] for k, v in timings.items()},
            "predict_at_least_as_fast_as_numpy_complex128": timings["predict"]["median_s"] <= base,
        }
    return out


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------


def _r2cell(v) -> str:
    return "NaN-row" if v is None else f"{v:.4f}"


def print_accuracy(rows: list[dict], time_limit: float) -> None:
    print()
    print(f"Accuracy: held-out R^2 ({TEST_ROWS} rows; {TRAIN_ROWS} training rows), vok time_limit = "
          f"pyoperon max_time = {time_limit:g} s, optimizer_iterations = {PYOPERON['optimizer_iterations']}")
    head = (f"{'problem':<10} {'noise':>5} | {'best cx':>7} {'R2':>7} {'most-acc cx':>11} {'R2':>7} | "
            f"{'score cx':>8} {'R2':>7} | {'acc-fit R2':>10} | {'operon R2':>9} {'len':>4} {'s':>5} | "
            f"{'best>=acc':>9} {'best>=op':>8}")
    print(head)
    print("-" * len(head))
    for r in rows:
        b, s, a, o = r["vok_best"], r["vok_score"], r["vok_accuracy"], r["pyoperon"]
        yn = {True: "yes", False: "NO", None: "-"}
        print(f"{r['name']:<10} {r['noise']:>5.0%} | {_fmt(b.get('selected_complexity'), 'd'):>7} "
              f"{_r2cell(b.get('r2_test')):>7} {_fmt(b.get('most_accurate_complexity'), 'd'):>11} "
              f"{_r2cell(b.get('most_accurate_r2_test')):>7} | {_fmt(s.get('selected_complexity'), 'd'):>8} "
              f"{_r2cell(s.get('r2_test')):>7} | {_r2cell(a.get('r2_test')):>10} | "
              f"{(_r2cell(o.get('r2_test')) if o.get('status') == 'ok' else o.get('status')):>9} "
              f"{_fmt(o.get('length'), 'd'):>4} {_fmt(o.get('wall_s'), '.1f'):>5} | "
              f"{yn[r['best_ge_most_accurate']]:>9} {yn[r['best_ge_pyoperon']]:>8}")
    for r in rows:
        b = r["vok_best"]
        stop = b.get("stop_reason", b.get("reason"))
        print(f"  {r['name']:<10} best: {b.get('selected_equation')}  [{stop}, {_fmt(b.get('wall_s'), '.1f')} s;"
              f" fronts of the three fits agree: {r['fronts_agree']}]")
        o = r["pyoperon"]
        print(f"  {'':<10} pyoperon: {o.get('model') or o.get('reason')}")


def print_predict(p: dict) -> None:
    print()
    print(f"Predict: {p['formula']} ({p['token_count']} tokens) on {p['rows']:,} rows, median of "
          f"{p['repeats']}; engine threads available {p['engine_hardware_threads']}, NumPy single-threaded")
    head = (f"{'path':<30} {'real ms':>8} {'cpu ms':>7} {'x np-c128':>9} | "
            f"{'complex ms':>10} {'cpu ms':>7} {'x np-c128':>9}")
    print(head)
    print("-" * len(head))
    real, cplx = p["domains"]["real"], p["domains"]["complex"]
    for key in real["timings"]:
        rt = real["timings"][key]
        ct = cplx["timings"].get(key)
        print(f"{key:<30} {rt['median_s'] * 1e3:>8.1f} {rt['cpu_median_s'] * 1e3:>7.1f} "
              f"{real['speedup_over_numpy_complex128'][key]:>9.2f} | "
              f"{(_fmt(ct['median_s'] * 1e3, '.1f') if ct else '-'):>10} "
              f"{(_fmt(ct['cpu_median_s'] * 1e3, '.1f') if ct else '-'):>7} "
              f"{_fmt(cplx['speedup_over_numpy_complex128'].get(key), '.2f'):>9}")
    print("ms = median wall time; cpu ms = CPU time of the process (all threads) over the same call;")
    print("x np-c128 = NumPy complex128 ufuncs wall time / this path's (above 1: faster than NumPy)")
    for key, d in p["domains"].items():
        print(f"  {key}: {d['inputs']}; rows without a value (engine): {d['rows_without_value_engine']}; "
              f"max relative difference engine vs NumPy: {_fmt(d['max_rel_diff_engine_vs_numpy'], '.1e')}; "
              f"predict at least as fast as NumPy complex128: {d['predict_at_least_as_fast_as_numpy_complex128']}")


def _versions() -> dict:
    from importlib import metadata

    out = {"python": platform.python_version()}
    for dist in ("vok_sr", "numpy", "pyoperon", "scikit-learn", "pandas"):
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = None
    return out


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--worker", nargs=3, metavar=("PROBLEM", "T", "OUT"), help=argparse.SUPPRESS)
    ap.add_argument("--quick", action="store_true", default=os.environ.get("BENCH_QUICK", "") not in ("", "0"),
                    help="two problems at T = 5 s, three predict repetitions (also BENCH_QUICK=1)")
    ap.add_argument("--json", help="results file (default bench/estimator-results.json, or "
                                   "estimator-results-quick.json with --quick)")
    ap.add_argument("--time-limit", type=float, help="seconds per fit, vok and pyoperon (default 20, quick 5)")
    ap.add_argument("--problems", help="comma-separated subset of " + ",".join(e["name"] for e in NOISY_PROBLEMS))
    ap.add_argument("--rows", type=int, default=1_000_000, help="rows of the predict timing (default 10^6)")
    ap.add_argument("--repeats", type=int, help="repetitions of each predict timing (default 15, quick 3)")
    ap.add_argument("--skip", choices=("accuracy", "predict"), help="leave one part out")
    args = ap.parse_args(argv)

    if args.worker:
        name, t, out = args.worker
        fit_pyoperon(next(e for e in NOISY_PROBLEMS if e["name"] == name), float(t), out)
        return 0

    time_limit = args.time_limit or (5.0 if args.quick else 20.0)
    repeats = args.repeats or (3 if args.quick else 15)
    names = args.problems.split(",") if args.problems else (
        QUICK_PROBLEMS if args.quick else [e["name"] for e in NOISY_PROBLEMS])
    if unknown := [n for n in names if n not in {e["name"] for e in NOISY_PROBLEMS}]:
        ap.error(f"unknown problems: {', '.join(unknown)}")
    out_path = Path(args.json) if args.json else HERE / (
        "estimator-results-quick.json" if args.quick else "estimator-results.json")

    results = {
        "quick": args.quick, "cores": CORES, "started": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
        "loadavg_start": [round(v, 2) for v in os.getloadavg()],
        "machine": {"platform": platform.platform(), "processor": platform.machine()},
        "versions": _versions(),
        "settings": {"time_limit_s": time_limit, "vok": {"verbose": 0, "other parameters": "defaults"},
                     "pyoperon": dict(PYOPERON, max_time=int(math.ceil(time_limit))),
                     "train_rows": TRAIN_ROWS, "test_rows": TEST_ROWS,
                     "noise": "Gaussian on y, sd = level * RMS of the clean targets (train and test rows)",
                     "r2_test": "against the noisy held-out targets; r2_test_clean against the law itself"},
    }
    if args.skip != "accuracy":
        results["accuracy"] = accuracy_bench(names, time_limit)
        ok = [r for r in results["accuracy"]]
        results["accuracy_summary"] = {
            "problems": len(ok),
            "best_ge_most_accurate": sum(bool(r["best_ge_most_accurate"]) for r in ok),
            "best_ge_pyoperon": sum(bool(r["best_ge_pyoperon"]) for r in ok),
            "pyoperon_ran": sum(r["pyoperon"].get("status") == "ok" for r in ok),
        }
    if args.skip != "predict":
        print(f"[estimator-bench] predict on {args.rows:,} rows ...", flush=True)
        results["predict"] = predict_bench(args.rows, repeats)
    results["loadavg_end"] = [round(v, 2) for v in os.getloadavg()]
    results["finished"] = time.strftime("%Y-%m-%dT%H:%M:%S%z")
    out_path.write_text(json.dumps(_finite_or_none(results), indent=2, allow_nan=False) + "\n")

    print(f"\ncores: {CORES}   load average at start {results['loadavg_start']}, at end {results['loadavg_end']}")
    if "accuracy" in results:
        print_accuracy(results["accuracy"], time_limit)
        s = results["accuracy_summary"]
        print(f"selected ('best') R^2 >= most accurate: {s['best_ge_most_accurate']}/{s['problems']};  "
              f">= pyoperon: {s['best_ge_pyoperon']}/{s['problems']} (pyoperon ran on {s['pyoperon_ran']})")
    if "predict" in results:
        print_predict(results["predict"])
    print(f"\nwritten: {out_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
