"""The cluster benchmark: VokRegressor on a Dask LocalCluster against the local search.

Run through `make bench-distributed` (which installs the checkout into .venv
first), or directly with a python that has vok_learn and dask.distributed:

    .venv/bin/python bench/distributed_bench.py [--quick] [--runs N] [--json FILE]

What it measures, on one problem of the harness (nguyen-9, sin(x) + sin(y^2),
50 points, with 1 % noise so that no level ends the search early), with the
default beam (1000) and ranking:

1. Time. The local fit (all cores) and the fit on a LocalCluster of 2 worker
   processes x 1 thread on the same machine, at max_complexity 9, alternated
   run by run so that a neighbour's load falls on both; median of --runs
   (default 3) each, and their ratio. A first small fit on the cluster, not
   timed, starts the workers' interpreters. Every cluster fit is checked to
   return the local fit's equations bit for bit.
2. Transfers. distributed_stats_ of a cluster fit at max_complexity 10 (9
   with --quick): per level the candidates, tasks, bytes of the payload (sent
   once to each worker), recipes and summaries, and the times.
3. A projection of the time at max_complexity 10 and 11 on W = 1, 8, 32 and
   128 single-threaded workers, from the measured per-level figures. The
   model, per level k scored on the cluster:

       T_k(W) = G_k + a_k t_k(W)                generation, and merging t_k(W) summaries, on the driver
              + (P_k W + R_k + u_k t_k(W)) / BW payload broadcast, recipes, summaries
              + B_k                             each worker reads the payload (in parallel)
              + S_k / W                         scoring work, spread evenly
              + o ceil(t_k(W) / W)              per-task dispatch

   with t_k(W) = min(n_k // 4096, 8 W) tasks (what the estimator submits to
   single-threaded workers); G, P, R, B and S measured at level k (S: the
   workers' scoring seconds summed over tasks), a_k and u_k the merge seconds
   and summary bytes per task measured at level k (a summary holds up to a
   beam's worth of candidates, whatever the range's size), o the per-task
   overhead measured at 2 workers ((score wall x 2 - S - 2 B) / tasks,
   averaged over the cluster levels), and BW = 1.25 GB/s (10 GbE) for the
   driver's link (a LocalCluster's loopback is much faster, so it is not
   measured). Levels scored on the driver cost what they cost here. Level 11
   is not run: its n, G, S and R are level 10's times the growth from level 9
   to 10, a and u stay level 10's, P and B grow by level 10's increment (and
   any level above the transfer fit's is extrapolated the same way, its bytes
   reported as such). The projection is the model, not a
   measurement; at W = 2 and the transfer fit's complexity it is printed
   beside the measured fit as a check. The driver's
   generation is serial in W, so it bounds the speed-up (Amdahl).

Targets (on a 2-core machine): cluster/local at complexity 9 <= 1.25;
bytes shipped per level at complexity 10 <= 100 MB.

Writes bench/distributed-results.json (distributed-results-quick.json with
--quick).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import statistics
import sys
import time
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from harness import CORES, PROBLEMS_BY_NAME, _finite_or_none, make_data  # noqa: E402

PROBLEM = "nguyen-9"
NOISE = 0.01
NOISE_SEED = 20240718
TIME_COMPLEXITY = 9
BYTES_COMPLEXITY = 10
WORKERS = 2
PROJECTED_WORKERS = (1, 8, 32, 128)
PROJECTED_COMPLEXITIES = (10, 11)
LINK_BYTES_PER_S = 1.25e9
TARGET_RATIO = 1.25
TARGET_BYTES = 100e6


def problem_data() -> tuple[np.ndarray, np.ndarray]:
    X, y = make_data(PROBLEMS_BY_NAME[PROBLEM])
    rng = np.random.default_rng(NOISE_SEED)
    y = y + NOISE * float(np.sqrt(np.mean(y**2))) * rng.normal(size=y.shape)
    return X, y


def fit(X, y, max_complexity, client=None):
    from vok_learn import VokRegressor

    model = VokRegressor(max_complexity=max_complexity, verbose=0, client=client)
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model.fit(X, y)
    return model, time.perf_counter() - start


def same_equations(a, b) -> bool:
    return (
        repr(a.equation_tokens_) == repr(b.equation_tokens_)
        and a.equations_["complexity"].tolist() == b.equations_["complexity"].tolist()
        and a.equations_["loss"].to_numpy().tobytes() == b.equations_["loss"].to_numpy().tobytes()
    )


def task_overhead(rows: list[dict]) -> float:
    """Seconds each task costs beyond its scoring, at the measured workers."""
    spent = []
    for r in rows:
        if r["tasks"]:
            extra = r["score_seconds"] * r["workers"] - r["task_seconds"] - r["build_seconds"] * r["workers"]
            spent.append(max(0.0, extra) / r["tasks"])
    return statistics.mean(spent) if spent else 0.0


def extrapolate(rows: list[dict]) -> dict:
    """Level k+1 from levels k-1 and k (see the module's docstring)."""
    prev, last = rows[-2], rows[-1]

    def grown(name):
        return last[name] * (last[name] / prev[name]) if prev[name] > 0 else last[name]

    payload = last["payload_bytes"] + max(0, last["payload_bytes"] - prev["payload_bytes"])
    row = dict(last, level=last["level"] + 1, extrapolated=True, payload_bytes=payload)
    for name in ("candidates", "generate_seconds", "task_seconds", "recipe_bytes"):
        row[name] = grown(name)
    row["build_seconds"] = last["build_seconds"] * payload / last["payload_bytes"] if last["payload_bytes"] else 0.0
    return row


def tasks_at(r: dict, workers: int) -> int:
    from vok_learn import _distributed

    return len(_distributed.split(int(r["candidates"]), workers, workers))


def shipped_at(r: dict, workers: int) -> float:
    """Bytes of level r on `workers` single-threaded workers."""
    per_task = r["summary_bytes"] / r["tasks"]
    return r["payload_bytes"] * workers + r["recipe_bytes"] + per_task * tasks_at(r, workers)


def level_time(r: dict, workers: int, overhead: float) -> float:
    if not r["tasks"]:
        return r["generate_seconds"] + r["score_seconds"] + r["absorb_seconds"]
    tasks = tasks_at(r, workers)
    return (
        r["generate_seconds"] + r["absorb_seconds"] / r["tasks"] * tasks + shipped_at(r, workers) / LINK_BYTES_PER_S
        + r["build_seconds"] + r["task_seconds"] / workers + overhead * math.ceil(tasks / workers)
    )


def project(rows: list[dict], fixed_seconds: float, overhead: float) -> dict:
    levels = list(rows)
    while levels[-1]["level"] < max(PROJECTED_COMPLEXITIES):
        levels.append(extrapolate(levels))
    out: dict = {
        "extrapolated_shipped_bytes_at_2_workers": {
            str(r["level"]): int(shipped_at(r, WORKERS)) for r in levels if r.get("extrapolated")
        },
        "shipped_bytes_per_level": {
            str(w): {str(r["level"]): int(shipped_at(r, w)) for r in levels if r["tasks"]}
            for w in PROJECTED_WORKERS
        },
        "model_at_measured_complexity_2_workers": round(
            fixed_seconds + sum(level_time(r, WORKERS, overhead) for r in rows), 3
        ),
    }
    for complexity in PROJECTED_COMPLEXITIES:
        chosen = [r for r in levels if r["level"] <= complexity]
        out[str(complexity)] = {
            str(w): round(fixed_seconds + sum(level_time(r, w, overhead) for r in chosen), 3)
            for w in (WORKERS, *PROJECTED_WORKERS)
        }
        out[str(complexity)]["driver_serial_seconds"] = round(sum(r["generate_seconds"] for r in chosen), 3)
        out[str(complexity)]["extrapolated_levels"] = [r["level"] for r in chosen if r.get("extrapolated")]
    return out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", default=bool(os.environ.get("BENCH_QUICK")))
    parser.add_argument("--runs", type=int, default=None)
    parser.add_argument("--json", default=None)
    parser.add_argument("--time-complexity", type=int, default=None,
                        help=f"complexity of the timed fits (default {TIME_COMPLEXITY}; 7 with --quick)")
    parser.add_argument("--bytes-complexity", type=int, default=None,
                        help=f"complexity of the transfer fit (default {BYTES_COMPLEXITY}; 8 with --quick)")
    args = parser.parse_args()
    time_complexity = args.time_complexity or (7 if args.quick else TIME_COMPLEXITY)
    bytes_complexity = args.bytes_complexity or (8 if args.quick else BYTES_COMPLEXITY)
    runs = args.runs or (1 if args.quick else 3)
    out_path = Path(args.json or HERE / ("distributed-results-quick.json" if args.quick else "distributed-results.json"))

    from dask.distributed import Client, LocalCluster

    X, y = problem_data()
    results: dict = {
        "problem": PROBLEM,
        "noise": NOISE,
        "cores": CORES,
        "workers": f"{WORKERS} processes x 1 thread (LocalCluster, loopback)",
        "loadavg_start": [round(v, 2) for v in os.getloadavg()],
        "machine": {"platform": platform.platform(), "python": platform.python_version()},
        "time_complexity": time_complexity,
        "bytes_complexity": bytes_complexity,
    }
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cluster = LocalCluster(
            n_workers=WORKERS, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
        )
    client = Client(cluster)
    try:
        fit(X, y, 6, client)  # starts the workers' interpreters and imports
        local_times, cluster_times, identical = [], [], True
        for run in range(runs):
            local, t_local = fit(X, y, time_complexity)
            remote, t_cluster = fit(X, y, time_complexity, client)
            identical = identical and same_equations(local, remote)
            local_times.append(t_local)
            cluster_times.append(t_cluster)
            print(f"run {run + 1}/{runs}: local {t_local:.2f} s, cluster {t_cluster:.2f} s", flush=True)
        ratio = statistics.median(cluster_times) / statistics.median(local_times)
        results["time"] = {
            "local_seconds": [round(t, 3) for t in local_times],
            "cluster_seconds": [round(t, 3) for t in cluster_times],
            "local_median": round(statistics.median(local_times), 3),
            "cluster_median": round(statistics.median(cluster_times), 3),
            "ratio": round(ratio, 3),
            "target_ratio": TARGET_RATIO,
            "identical_equations": identical,
            "levels": remote.distributed_stats_.to_dict(orient="records"),
        }
        print(f"complexity {time_complexity}: local {statistics.median(local_times):.2f} s, "
              f"cluster {statistics.median(cluster_times):.2f} s, ratio {ratio:.3f} "
              f"(target <= {TARGET_RATIO}); identical: {identical}", flush=True)

        if bytes_complexity == time_complexity:
            big, t_big = remote, statistics.median(cluster_times)
        else:
            big, t_big = fit(X, y, bytes_complexity, client)
        rows = big.distributed_stats_.to_dict(orient="records")
        fixed = t_big - sum(r["generate_seconds"] + r["score_seconds"] + r["absorb_seconds"] for r in rows)
        overhead = task_overhead(rows)
        worst = max(r["shipped_bytes"] for r in rows)
        results["transfers"] = {
            "cluster_seconds": round(t_big, 3),
            "levels": rows,
            "max_shipped_bytes_per_level": int(worst),
            "target_bytes_per_level": TARGET_BYTES,
        }
        print(f"complexity {bytes_complexity} on the cluster: {t_big:.1f} s")
        print("level  candidates  tasks  payload MB  recipes MB  summaries MB  shipped MB  "
              "gen s  score s  task s (sum/max)  build s")
        for r in rows:
            print(f"{r['level']:5d}  {r['candidates']:10d}  {r['tasks']:5d}  {r['payload_bytes'] / 1e6:10.3f}  "
                  f"{r['recipe_bytes'] / 1e6:10.3f}  {r['summary_bytes'] / 1e6:12.4f}  "
                  f"{r['shipped_bytes'] / 1e6:10.3f}  {r['generate_seconds']:5.2f}  {r['score_seconds']:7.2f}  "
                  f"{r['task_seconds']:7.2f}/{r['max_task_seconds']:5.2f}  {r['build_seconds']:7.3f}")
        print(f"most bytes shipped in one level: {worst / 1e6:.2f} MB (target <= {TARGET_BYTES / 1e6:.0f} MB)")

        if len([r for r in rows if r["tasks"]]) >= 2 and not args.quick:
            projection = project(rows, max(0.0, fixed), overhead)
            results["projection"] = {
                "model": "see bench/distributed_bench.py's docstring",
                "link_bytes_per_s": LINK_BYTES_PER_S,
                "task_overhead_seconds": round(overhead, 5),
                "seconds": projection,
                "measured_at_2_workers": round(t_big, 3),
            }
            print(f"model at complexity {bytes_complexity}, 2 workers: "
                  f"{projection['model_at_measured_complexity_2_workers']:.1f} s (measured {t_big:.1f} s)")
            for level, shipped in projection["extrapolated_shipped_bytes_at_2_workers"].items():
                print(f"extrapolated level {level}: {shipped / 1e6:.1f} MB shipped at 2 workers")
            for complexity in map(str, PROJECTED_COMPLEXITIES):
                row = projection[complexity]
                cells = ", ".join(f"{w} workers {row[str(w)]:.1f} s" for w in (WORKERS, *PROJECTED_WORKERS))
                print(f"projected complexity {complexity}: {cells}; driver serial {row['driver_serial_seconds']:.1f} s")
    finally:
        client.close()
        cluster.close()
    results["loadavg_end"] = [round(v, 2) for v in os.getloadavg()]
    out_path.write_text(json.dumps(_finite_or_none(results), indent=2, allow_nan=False) + "\n")
    print(f"wrote {out_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
