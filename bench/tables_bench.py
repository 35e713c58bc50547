"""The large-table benchmark: VokRegressor's defaults on many rows and many columns.

Run through `make bench-tables` (the dev venv, with the current checkout
installed), or directly:

    .venv/bin/python bench/tables_bench.py [--quick] [--only rows,subset,columns,ranking,weights]

The law is y = 2.5*x0*x1/x2 with 1 % Gaussian noise, X uniform on [1, 3];
every fit runs in a fresh worker process, so its peak resident memory
(wait4's ru_maxrss, interpreter and data included) and wall time are its
own. R^2 is on 10^4 held-out rows (noisy targets).

1. rows: VokRegressor(time_limit=60) with every other setting at its
   default, on 10^3, 10^4, 10^5 and 10^6 rows of 10 columns, and on 10^6
   rows with max_samples=None: fit time, its overrun past the time limit,
   peak RSS, held-out R^2, the selected equation. Targets: the 10^6-row fit within 75 s, under 2 GiB, R^2 >=
   0.999; the time limit held within 1 s at every size.
2. subset: on 10^5 rows, max_samples in 1000..16000 at time_limit=60: the
   levels reached and R^2 against the subset size (how "auto" was chosen).
3. columns: 2000 rows of 100 columns of which x0, x1, x2 matter:
   select_features=5 with time_limit=30 (target: the law found), and all
   columns with time_limit=60.
4. ranking: mutual information against a random forest's importances on
   100 columns (3 relevant) for several laws and seeds: how often the
   relevant columns are all in the top 5, and the seconds each takes.
5. weights: all-ones weights against no weights (the equations must be
   identical), and a fit where 30 % of the rows are corrupted and weighted
   1e-12 (it must find the law of the clean rows).
"""

from __future__ import annotations

import sys
import time

import numpy as np

import kit

LAW = "2.5*x0*x1/x2"
ROW_COUNTS = (1_000, 10_000, 100_000, 1_000_000)
SUBSET_SIZES = (1_000, 2_000, 4_000, 8_000, 16_000)
TEST_ROWS = 10_000
NOISE = 0.01
PARTS = ("rows", "subset", "columns", "ranking", "weights")
# Laws over 100 columns for the ranking comparison: the relevant columns
# and the law.
RANKING_LAWS = {
    "product": ((0, 1, 2), lambda X: 2.5 * X[:, 0] * X[:, 1] / X[:, 2]),
    "sum-of-powers": ((3, 17, 42), lambda X: X[:, 3] ** 2 + np.sqrt(X[:, 17]) - 0.5 * X[:, 42]),
    "sine": ((5, 6, 7), lambda X: np.sin(2 * X[:, 5]) * X[:, 6] + np.exp(-X[:, 7])),
}


def data(rows: int, cols: int, seed: int = 0, test_rows: int = TEST_ROWS):
    rng = np.random.default_rng(seed)
    X = rng.uniform(1.0, 3.0, size=(rows + test_rows, cols))
    clean = 2.5 * X[:, 0] * X[:, 1] / X[:, 2]
    sigma = NOISE * float(np.sqrt(np.mean(clean[:rows] ** 2)))
    y = clean + rng.normal(0.0, sigma, size=clean.shape)
    return X[:rows], y[:rows], X[rows:], y[rows:]


def fit(rows: int, cols: int, T: float, params: dict | None = None) -> dict:
    """One default fit (with `params`), inside a fresh kit.Worker."""
    X, y, X_test, y_test = data(rows, cols)
    rec, model = kit.fit_vok_learn(X, y, time_limit=T, **(params or {}))
    pred = model.predict(X_test)
    return {**rec, "rows": rows, "cols": cols, "time_limit_s": T, "overrun_s": rec["wall_s"] - T,
            "r2_test": kit.r2(y_test, pred), "levels": int(model.equations_["complexity"].max()),
            "peak_rss_in_process_mib": kit.rss_mib(), "found_law": found_law(model)}


def found_law(model) -> bool:
    """Whether the selected equation is 2.5*x0*x1/x2 within 1 %."""
    import sympy

    x = sympy.symbols("x0:3", positive=True)
    law = 2.5 * x[0] * x[1] / x[2]
    found = model.sympy()
    if not found.free_symbols <= set(sympy.symbols("x0:3", positive=True)) | set(sympy.symbols("x0:3")):
        return False
    names = {s.name: s for s in x}
    found = found.subs({s: names[s.name] for s in found.free_symbols})
    return kit.law_within(found, law, list(x), np.random.default_rng(1).uniform(1, 3, size=(50, 3)))


def ranking(law: str, seed: int, method: str) -> dict:
    from vok_learn._features import rank_features

    relevant, f = RANKING_LAWS[law]
    rng = np.random.default_rng(seed)
    X = rng.uniform(1.0, 3.0, size=(2000, 100))
    clean = f(X)
    y = clean + rng.normal(0.0, NOISE * float(np.sqrt(np.mean(clean**2))), size=clean.shape)
    start = time.perf_counter()
    scores = rank_features(X, y, method, seed)
    wall = time.perf_counter() - start
    top = set(np.argsort(-scores)[:5].tolist())
    return {"law": law, "seed": seed, "method": method, "wall_s": wall, "relevant_in_top5": set(relevant) <= top}


def weights(rows: int, T: float) -> dict:
    import pandas as pd
    from vok_learn import VokRegressor

    X, y, X_test, y_test = data(rows, 3)
    out = {}
    plain = VokRegressor(verbose=0, time_limit=T).fit(X, y)
    ones = VokRegressor(verbose=0, time_limit=T).fit(X, y, sample_weight=np.ones(len(y)))
    out["ones_identical"] = plain.equations_["equation"].equals(ones.equations_["equation"]) and bool(
        pd.Series(plain.equations_["loss"]).equals(ones.equations_["loss"]))
    rng = np.random.default_rng(3)
    bad = rng.random(len(y)) < 0.3
    y_bad = np.where(bad, rng.uniform(-100, 100, size=len(y)), y)
    w = np.where(bad, 1e-12, 1.0)
    model = VokRegressor(verbose=0, time_limit=T).fit(X, y_bad, sample_weight=w)
    out.update(corrupted_fraction=float(bad.mean()), weighted_equation=str(model.equations_["equation"].iloc[
        model.best_index_]), weighted_r2_test=kit.r2(y_test, model.predict(X_test)), weighted_found_law=found_law(model))
    return out


def run(worker_fn: str, *args, limit_s: float) -> dict:
    rec, _ = kit.Worker("tables_bench", fresh=True).call(worker_fn, *args, limit_s=limit_s)
    return rec


def main(argv: list[str]) -> int:
    ap = kit.parser(__doc__)
    ap.add_argument("--only", help="comma-separated parts: " + ",".join(PARTS))
    args = ap.parse_args(argv)
    parts = kit.names(ap, args.only, PARTS, list(PARTS))
    T = 10.0 if args.quick else 60.0
    results = {"meta": kit.meta(args.quick, law=LAW, noise=NOISE, test_rows=TEST_ROWS)}
    if "rows" in parts:
        counts = ROW_COUNTS[:2] if args.quick else ROW_COUNTS
        rows = results["rows"] = [run("fit", n, 10, T, limit_s=T + 120) for n in counts]
        # The largest table searched on every row: the time limit and the
        # memory bound hold there too (the search reaches little).
        rows.append(run("fit", counts[-1], 10, T, {"max_samples": None}, limit_s=T + 120))
        labels = [f"{n:,}" for n in counts] + [f"{counts[-1]:,} all rows"]
        print(f"\n[tables] default fit, {LAW} + 1 % noise, 10 columns, time_limit={T:g}")
        kit.table(["rows", "status", "wall s", "overrun s", "peak RSS MiB", "R^2 test", "selected"],
                  [[label, r["status"], kit.fmt(r.get("wall_s"), ".1f"),
                    kit.fmt(r.get("overrun_s"), "+.2f"), kit.fmt(r.get("process_peak_rss_mib"), ".0f"),
                    kit.fmt(r.get("r2_test"), ".6f"), r.get("equation", "")] for label, r in zip(labels, rows)])
    if "subset" in parts:
        sizes = SUBSET_SIZES[:2] if args.quick else SUBSET_SIZES
        n = 10_000 if args.quick else 100_000
        rows = results["subset"] = [run("fit", n, 10, T, {"max_samples": m}, limit_s=T + 120) for m in sizes]
        print(f"\n[tables] max_samples on {n:,} rows x 10 columns, time_limit={T:g}")
        kit.table(["max_samples", "status", "wall s", "largest complexity", "R^2 test", "law", "selected"],
                  [[f"{m:,}", r["status"], kit.fmt(r.get("wall_s"), ".1f"), str(r.get("levels", "-")),
                    kit.fmt(r.get("r2_test"), ".6f"), str(r.get("found_law", "-")), r.get("equation", "")]
                   for m, r in zip(sizes, rows)])
    if "columns" in parts:
        Tc = 10.0 if args.quick else 30.0
        rows = results["columns"] = [run("fit", 2000, 100, Tc, {"select_features": 5}, limit_s=Tc + 120),
                                     run("fit", 2000, 100, T, limit_s=T + 120)]
        print("\n[tables] 2,000 rows x 100 columns (x0, x1, x2 relevant)")
        kit.table(["setting", "status", "wall s", "R^2 test", "law", "selected"],
                  [[label, r["status"], kit.fmt(r.get("wall_s"), ".1f"), kit.fmt(r.get("r2_test"), ".6f"),
                    str(r.get("found_law", "-")), r.get("equation", "")]
                   for label, r in zip([f"select_features=5, T={Tc:g}", f"all columns, T={T:g}"], rows)])
    if "ranking" in parts:
        from vok_learn._features import FEATURE_RANKINGS

        seeds = range(2 if args.quick else 5)
        rows = results["ranking"] = [run("ranking", law, s, m, limit_s=300)
                                     for law in RANKING_LAWS for s in seeds for m in FEATURE_RANKINGS]
        print("\n[tables] feature ranking, 2,000 rows x 100 columns, 3 relevant")
        kit.table(["method", "relevant all in top 5", "median s"],
                  [[m, f"{sum(bool(r.get('relevant_in_top5')) for r in rows if r.get('method') == m)}/"
                       f"{sum(r.get('method') == m for r in rows)}",
                    kit.fmt(float(np.median([r['wall_s'] for r in rows if r.get('method') == m])), ".2f")]
                   for m in FEATURE_RANKINGS])
    if "weights" in parts:
        rec = results["weights"] = run("weights", 2000, 10.0 if args.quick else 30.0, limit_s=300)
        print("\n[tables] sample weights (2,000 rows x 3 columns)")
        print({k: rec.get(k) for k in ("status", "reason", "ones_identical", "weighted_equation", "weighted_r2_test",
                                       "weighted_found_law")})
    kit.write_results(kit.results_path(args, "tables-results"), results)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
