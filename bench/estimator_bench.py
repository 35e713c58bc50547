"""The estimator's benchmark: held-out accuracy on noisy data, and predict speed.

Run through `make bench-estimator` (which installs the current checkout into
.venv-bench first), or directly with the bench venv's or the dev venv's
python (where pyoperon is missing and reported as unavailable):

    .venv-bench/bin/python bench/estimator_bench.py [--quick] [--json FILE]

1. Accuracy. Laws of the kit with Gaussian noise on y (1 % or 5 %), 50
   training and 200 held-out rows. VokRegressor(time_limit=T) is fitted once
   per model_selection (best, accuracy, score); for each fit, the held-out
   R^2 of its selected equation and of its most accurate one
   (predict(X, index=<lowest training loss>)). pyoperon runs on the same
   rows with constant fitting on and max_time = T, in a worker process. The
   check: the selected equation's held-out R^2 is at least the most accurate
   equation's and at least pyoperon's (a missing R^2 loses).
2. Predict speed. A 10-token formula on 10^6 rows: _engine.evaluate, predict
   and the to_numpy() callable, against NumPy's complex128 ufuncs computing
   the same formula (on complex128 inputs: the baseline; and from the
   float64 matrix, conversion included), median of the repetitions, the
   paths taking turns. Two input domains: one where the formula stays real,
   one where half the rows take the logarithm of a negative number.
"""

from __future__ import annotations

import math
import statistics
import sys
import time

import numpy as np

import kit

TRAIN_ROWS, TEST_ROWS = 50, 200
NOISY = {"nguyen-1": 0.05, "nguyen-5": 0.01, "nguyen-7": 0.05, "nguyen-8": 0.01, "nguyen-10": 0.05, "three-var": 0.01}
QUICK_PROBLEMS = ["nguyen-1", "nguyen-10"]
SELECTIONS = ("best", "accuracy", "score")

# exp((sin(x0) + C*x1) / log(x0)), C = 1.5: 10 tokens, six ufuncs in NumPy.
PREDICT_TOKENS = [("var", 0), ("op", 15, "Sin"), ("const", 1.5), ("var", 1), ("op", 9, "Times"),
                  ("op", 8, "Plus"), ("var", 0), ("op", 13, "Log"), ("op", 11, "Divide"), ("op", 12, "Exp")]
PREDICT_TEXT = "exp((sin(x0) + 1.5*x1) / log(x0))"


def numpy_formula(x0, x1):
    return np.exp((np.sin(x0) + 1.5 * x1) / np.log(x0))


def data_of(name: str) -> kit.Data:
    return kit.sample(kit.PROBLEMS[name], rows=TRAIN_ROWS, test_rows=TEST_ROWS, noise=NOISY[name])


def work_pyoperon(name: str, T: float) -> dict:
    """pyoperon on one problem, inside a kit.Worker."""
    data = data_of(name)
    rec, model = kit.fit_pyoperon(data.X, data.y, kit.seed_of(name), max_time=int(math.ceil(T)), **kit.PYOPERON_TIMED)
    return kit.score(rec, model, data, NOISY[name])


class _Row:
    """A fitted VokRegressor predicting with one row of its front."""

    def __init__(self, model, index: int):
        self.model, self.index = model, index

    def predict(self, X):
        return self.model.predict(X, index=self.index)


def fit_vok(name: str, selection: str, T: float) -> dict:
    data = data_of(name)
    rec, model = kit.fit_vok_learn(data.X, data.y, time_limit=T, model_selection=selection)
    eq = model.equations_
    acc = int(np.argmin(eq["loss"].to_numpy()))
    most = kit.score({}, _Row(model, acc), data, NOISY[name])
    return {**kit.score(rec, model, data, NOISY[name]), "selected_index": int(model.best_index_),
            "most_accurate_index": acc, "most_accurate_complexity": int(eq["complexity"].iloc[acc]),
            **{f"most_accurate_{k}": most[k] for k in ("r2_test", "r2_test_clean")},
            "front": [{"complexity": int(c), "loss": float(l), "equation": e}
                      for c, l, e in zip(eq["complexity"], eq["loss"], eq["equation"])]}


def ge(a, b) -> bool:
    """a >= b, where a missing R^2 (no value on some held-out row) loses."""
    return b is None if a is None else b is None or a >= b


def accuracy(names: list[str], T: float) -> list[dict]:
    worker = kit.Worker("estimator_bench")
    rows = []
    for name in names:
        p = kit.PROBLEMS[name]
        row = {**p.describe(), "rows": TRAIN_ROWS, "test_rows": TEST_ROWS, "noise": NOISY[name],
               "noise_sigma": data_of(name).sigma}
        for sel in SELECTIONS:
            print(f"[estimator-bench] {name:<10} vok {sel:<8} ...", end=" ", flush=True)
            try:
                row[f"vok_{sel}"] = {"status": "ok", **fit_vok(name, sel, T)}
            except Exception as exc:  # noqa: BLE001 - one failed fit is a record, not the end of the run
                row[f"vok_{sel}"] = {"status": "failed", "reason": f"{type(exc).__name__}: {exc}"}
            print(kit.fmt(row[f"vok_{sel}"].get("wall_s"), ".1f", row[f"vok_{sel}"]["status"]), flush=True)
        print(f"[estimator-bench] {name:<10} pyoperon     ...", end=" ", flush=True)
        row["pyoperon"], _ = worker.call("work_pyoperon", name, T, limit_s=T + 60)
        print(kit.fmt(row["pyoperon"].get("wall_s"), ".1f", row["pyoperon"]["status"]), flush=True)
        fronts = [[e["equation"] for e in row[f"vok_{s}"].get("front", [])] for s in SELECTIONS]
        b, o = row["vok_best"], row["pyoperon"]
        row.update(fronts_agree=all(f == fronts[0] for f in fronts),
                   best_ge_most_accurate=ge(b.get("r2_test"), b.get("most_accurate_r2_test")),
                   best_ge_pyoperon=ge(b.get("r2_test"), o.get("r2_test")) if o["status"] == "ok" else None)
        rows.append(row)
    worker.stop()
    return rows


def print_accuracy(rows: list[dict], T: float) -> None:
    print(f"\nAccuracy: held-out R^2 ({TEST_ROWS} rows; {TRAIN_ROWS} training rows), vok time_limit = pyoperon "
          f"max_time = {T:g} s; NaN-row: a prediction without a value on some held-out row")
    r2c, yn = (lambda v: "NaN-row" if v is None else f"{v:.4f}"), {True: "yes", False: "NO", None: "-"}
    kit.table(["problem", "noise", "best cx", "R2", "most-acc cx", "R2", "score cx", "R2", "acc-fit R2",
               "operon R2", "len", "s", "best>=acc", "best>=op"],
              [[r["name"], f"{r['noise']:.0%}", kit.fmt(b.get("complexity"), "d"), r2c(b.get("r2_test")),
                kit.fmt(b.get("most_accurate_complexity"), "d"), r2c(b.get("most_accurate_r2_test")),
                kit.fmt(s.get("complexity"), "d"), r2c(s.get("r2_test")), r2c(a.get("r2_test")),
                r2c(o.get("r2_test")) if o["status"] == "ok" else o["status"], kit.fmt(o.get("complexity"), "d"),
                kit.fmt(o.get("wall_s"), ".1f"), yn[r["best_ge_most_accurate"]], yn[r["best_ge_pyoperon"]]]
               for r in rows for b, s, a, o in [(r["vok_best"], r["vok_score"], r["vok_accuracy"], r["pyoperon"])]])
    for r in rows:
        b, o = r["vok_best"], r["pyoperon"]
        print(f"  {r['name']:<10} best: {b.get('equation', b.get('reason'))}  [{b.get('stop_reason')}, "
              f"{kit.fmt(b.get('wall_s'), '.1f')} s; fronts of the three fits agree: {r['fronts_agree']}]")
        print(f"  {'':<10} pyoperon: {o.get('equation') or o.get('reason') or o['status']}")


def median_times(paths: dict, repeats: int) -> dict:
    """Median wall and CPU time of each path after a warm-up. The paths take
    turns within each repetition (in a rotating order), so that a
    neighbour's load on a shared machine falls on all of them alike."""
    for fn in paths.values():
        fn()
    names = list(paths)
    walls, cpus = {k: [] for k in names}, {k: [] for k in names}
    for r in range(repeats):
        for k in names[r % len(names):] + names[:r % len(names)]:
            c0, t0 = time.process_time(), time.perf_counter()
            paths[k]()
            walls[k].append(time.perf_counter() - t0)
            cpus[k].append(time.process_time() - c0)
    return {k: {"median_s": statistics.median(walls[k]), "min_s": min(walls[k]), "max_s": max(walls[k]),
                "cpu_median_s": statistics.median(cpus[k])} for k in names}


def predict_speed(rows: int, repeats: int) -> dict:
    from vok_learn import VokRegressor, _engine

    rng = np.random.default_rng(kit.seed_of("predict"))
    magnitude, x1 = rng.uniform(1.5, 4.0, size=rows), rng.uniform(-1.0, 1.0, size=rows)
    domains = {"real": ("x0 in [1.5, 4], x1 in [-1, 1]: the formula stays real", magnitude),
               "complex": ("x0 in +-[1.5, 4] (random sign), x1 in [-1, 1]: log of a negative x0 on half the rows",
                           np.where(rng.random(rows) < 0.5, -magnitude, magnitude))}
    # A small fit whose selected row is replaced by the formula: predict
    # evaluates whatever the row holds, input validation included.
    X_small = np.column_stack([magnitude[:200], x1[:200]])
    model = VokRegressor(max_complexity=2, verbose=0).fit(X_small, _engine.evaluate(PREDICT_TOKENS, X_small))
    model.equation_tokens_[model.best_index_] = list(PREDICT_TOKENS)
    formula = model.to_numpy()
    out = {"formula": PREDICT_TEXT, "token_count": len(PREDICT_TOKENS), "rows": rows, "repeats": repeats,
           "engine_hardware_threads": int(_engine.hardware_threads()), "numpy_threads": 1, "domains": {}}
    for key, (what, x0) in domains.items():
        X = np.ascontiguousarray(np.column_stack([x0, x1]))
        x0c, x1c = x0.astype(np.complex128), x1.astype(np.complex128)
        paths = {"engine_evaluate": lambda: _engine.evaluate(PREDICT_TOKENS, X), "predict": lambda: model.predict(X),
                 "numpy_complex128_ufuncs": lambda: numpy_formula(x0c, x1c),
                 "numpy_complex128_from_float64": lambda: np.real(numpy_formula(
                     X[:, 0].astype(np.complex128), X[:, 1].astype(np.complex128))).copy(),
                 "to_numpy_callable": lambda: formula(X)}
        if key == "real":
            paths["numpy_float64_ufuncs"] = lambda: numpy_formula(X[:, 0], X[:, 1])
        with np.errstate(all="ignore"):
            engine = np.asarray(_engine.evaluate(PREDICT_TOKENS, X))
            reference = np.real(numpy_formula(x0c, x1c))
            timings = median_times(paths, repeats)
        ok = np.isfinite(engine) & np.isfinite(reference)
        rel = np.abs(engine[ok] - reference[ok]) / np.maximum(np.abs(reference[ok]), 1e-300)
        base = timings["numpy_complex128_ufuncs"]["median_s"]
        out["domains"][key] = {
            "inputs": what, "timings": timings, "rows_without_value_engine": int(np.sum(~np.isfinite(engine))),
            "predict_equals_engine": bool(np.array_equal(model.predict(X), engine, equal_nan=True)),
            "max_rel_diff_engine_vs_numpy": float(rel.max()) if rel.size else None,
            "speedup_over_numpy_complex128": {k: base / v["median_s"] for k, v in timings.items()}}
    return out


def print_predict(p: dict) -> None:
    print(f"\nPredict: {p['formula']} ({p['token_count']} tokens) on {p['rows']:,} rows, median of {p['repeats']}; "
          f"engine threads available {p['engine_hardware_threads']}, NumPy single-threaded")
    real, cplx = p["domains"]["real"], p["domains"]["complex"]

    def cells(d, k):
        t = d["timings"].get(k)
        return ["-"] * 3 if t is None else [f"{t['median_s'] * 1e3:.1f}", f"{t['cpu_median_s'] * 1e3:.1f}",
                                           f"{d['speedup_over_numpy_complex128'][k]:.2f}"]

    kit.table(["path", "real ms", "cpu ms", "x np-c128", "complex ms", "cpu ms", "x np-c128"],
              [[k, *cells(real, k), *cells(cplx, k)] for k in real["timings"]])
    print("ms = median wall time; cpu ms = CPU time of the process (all threads) over the same call;\n"
          "x np-c128 = NumPy complex128 ufuncs wall time / this path's (above 1: faster than NumPy)")
    for key, d in p["domains"].items():
        print(f"  {key}: {d['inputs']}; rows without a value: {d['rows_without_value_engine']}; predict equals "
              f"the engine: {d['predict_equals_engine']}; max relative difference engine vs NumPy: "
              f"{kit.fmt(d['max_rel_diff_engine_vs_numpy'], '.1e')}")


def main(argv: list[str]) -> int:
    ap = kit.parser(__doc__)
    ap.add_argument("--time-limit", type=float, help="seconds per fit, vok and pyoperon (default 20, quick 5)")
    ap.add_argument("--problems", help="comma-separated subset of " + ",".join(NOISY))
    ap.add_argument("--rows", type=int, default=1_000_000, help="rows of the predict timing (default 10^6)")
    ap.add_argument("--repeats", type=int, help="repetitions of each predict timing (default 15, quick 3)")
    ap.add_argument("--skip", choices=("accuracy", "predict"), help="leave one part out")
    args = ap.parse_args(argv)
    T = args.time_limit or (5.0 if args.quick else 20.0)
    names = kit.names(ap, args.problems, list(NOISY), QUICK_PROBLEMS if args.quick else list(NOISY))
    results = {"meta": kit.meta(args.quick, time_limit_s=T, train_rows=TRAIN_ROWS, test_rows=TEST_ROWS)}
    if args.skip != "accuracy":
        rows = results["accuracy"] = accuracy(names, T)
        results["accuracy_summary"] = {"problems": len(rows), **{k: sum(bool(r[k]) for r in rows) for k in (
            "best_ge_most_accurate", "best_ge_pyoperon")}, "pyoperon_ran": sum(r["pyoperon"]["status"] == "ok" for r in rows)}
        print_accuracy(rows, T)
        s = results["accuracy_summary"]
        print(f"selected ('best') R^2 >= most accurate: {s['best_ge_most_accurate']}/{s['problems']}; >= pyoperon: "
              f"{s['best_ge_pyoperon']}/{s['problems']} (pyoperon ran on {s['pyoperon_ran']})")
    if args.skip != "predict":
        print(f"\n[estimator-bench] predict on {args.rows:,} rows ...", flush=True)
        results["predict"] = predict_speed(args.rows, args.repeats or (3 if args.quick else 15))
        print_predict(results["predict"])
    kit.write_results(kit.results_path(args, "estimator-results"), results)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
