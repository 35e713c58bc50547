"""The cluster benchmark: VokRegressor on a Dask LocalCluster against the local search.

Run through `make bench-distributed` (which installs the checkout into .venv
first), or directly with a python that has vok_learn and dask.distributed:

    .venv/bin/python bench/distributed_bench.py [--quick] [--runs N] [--json FILE]

What it measures, on nguyen-9 (sin(x) + sin(y^2)) with 50 rows and 1 % noise
(so that no level ends the search early), with the default beam (1000) and
ranking:

1. Time. The local fit (all cores) and the fit on a LocalCluster of 2 worker
   processes x 1 thread on the same machine, at max_complexity 9, alternated
   run by run so that a neighbour's load falls on both; median of --runs
   (default 3) each, and their ratio. A first small fit on the cluster, not
   timed, starts the workers' interpreters. Every cluster fit is checked to
   return the local fit's equations bit for bit.
2. Transfers. distributed_stats_ of a cluster fit at max_complexity 10 (8
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
   reported as such). The projection is the model, not a measurement; at
   W = 2 and the transfer fit's complexity it is printed beside the measured
   fit as a check. The driver's generation is serial in W, so it bounds the
   speed-up (Amdahl).

Targets (on a 2-core machine): cluster/local at complexity 9 <= 1.25;
bytes shipped per level at complexity 10 <= 100 MB.

BENCH_QUICK=1 (or --quick): complexity 7 and 8, one run, no projection.
"""

from __future__ import annotations

import math
import statistics
import sys
import warnings

import kit

PROBLEM, ROWS, NOISE = "nguyen-9", 50, 0.01
WORKERS = 2
PROJECTED_WORKERS = (1, 8, 32, 128)
PROJECTED_COMPLEXITIES = (10, 11)
LINK_BYTES_PER_S = 1.25e9
TARGET_RATIO = 1.25
TARGET_BYTES = 100e6


def same_equations(a, b) -> bool:
    return (repr(a.equation_tokens_) == repr(b.equation_tokens_)
            and a.equations_["complexity"].tolist() == b.equations_["complexity"].tolist()
            and a.equations_["loss"].to_numpy().tobytes() == b.equations_["loss"].to_numpy().tobytes())


def task_overhead(rows: list[dict]) -> float:
    """Seconds each task costs beyond its scoring, at the measured workers."""
    spent = [max(0.0, r["score_seconds"] * r["workers"] - r["task_seconds"] - r["build_seconds"] * r["workers"])
             / r["tasks"] for r in rows if r["tasks"]]
    return statistics.mean(spent) if spent else 0.0


def extrapolate(rows: list[dict]) -> dict:
    """Level k+1 from levels k-1 and k (see the module's docstring)."""
    prev, last = rows[-2], rows[-1]
    payload = last["payload_bytes"] + max(0, last["payload_bytes"] - prev["payload_bytes"])
    row = dict(last, level=last["level"] + 1, extrapolated=True, payload_bytes=payload)
    for name in ("candidates", "generate_seconds", "task_seconds", "recipe_bytes"):
        row[name] = last[name] * (last[name] / prev[name]) if prev[name] > 0 else last[name]
    row["build_seconds"] = last["build_seconds"] * payload / last["payload_bytes"] if last["payload_bytes"] else 0.0
    return row


def tasks_at(r: dict, workers: int) -> int:
    from vok_learn import _distributed

    return len(_distributed.split(int(r["candidates"]), workers, workers))


def shipped_at(r: dict, workers: int) -> float:
    """Bytes of level r on `workers` single-threaded workers."""
    return r["payload_bytes"] * workers + r["recipe_bytes"] + r["summary_bytes"] / r["tasks"] * tasks_at(r, workers)


def level_time(r: dict, workers: int, overhead: float) -> float:
    if not r["tasks"]:
        return r["generate_seconds"] + r["score_seconds"] + r["absorb_seconds"]
    tasks = tasks_at(r, workers)
    return (r["generate_seconds"] + r["absorb_seconds"] / r["tasks"] * tasks + shipped_at(r, workers) / LINK_BYTES_PER_S
            + r["build_seconds"] + r["task_seconds"] / workers + overhead * math.ceil(tasks / workers))


def project(rows: list[dict], fixed_seconds: float, overhead: float) -> dict:
    levels = list(rows)
    while levels[-1]["level"] < max(PROJECTED_COMPLEXITIES):
        levels.append(extrapolate(levels))
    out: dict = {
        "extrapolated_shipped_bytes_at_2_workers": {str(r["level"]): int(shipped_at(r, WORKERS))
                                                    for r in levels if r.get("extrapolated")},
        "shipped_bytes_per_level": {str(w): {str(r["level"]): int(shipped_at(r, w)) for r in levels if r["tasks"]}
                                    for w in PROJECTED_WORKERS},
        "model_at_measured_complexity_2_workers": round(
            fixed_seconds + sum(level_time(r, WORKERS, overhead) for r in rows), 3)}
    for complexity in PROJECTED_COMPLEXITIES:
        chosen = [r for r in levels if r["level"] <= complexity]
        out[str(complexity)] = {str(w): round(fixed_seconds + sum(level_time(r, w, overhead) for r in chosen), 3)
                                for w in (WORKERS, *PROJECTED_WORKERS)}
        out[str(complexity)]["driver_serial_seconds"] = round(sum(r["generate_seconds"] for r in chosen), 3)
        out[str(complexity)]["extrapolated_levels"] = [r["level"] for r in chosen if r.get("extrapolated")]
    return out


def fit(data: kit.Data, complexity: int, client=None):
    rec, model = kit.fit_vok_learn(data.X, data.y, max_complexity=complexity, client=client)
    return model, rec["wall_s"]


def measure(client, data: kit.Data, runs: int, time_complexity: int, bytes_complexity: int, quick: bool) -> dict:
    fit(data, 6, client)  # starts the workers' interpreters and imports
    local_times, cluster_times, identical = [], [], True
    for run in range(runs):
        local, t_local = fit(data, time_complexity)
        remote, t_cluster = fit(data, time_complexity, client)
        identical = identical and same_equations(local, remote)
        local_times.append(t_local)
        cluster_times.append(t_cluster)
        print(f"run {run + 1}/{runs}: local {t_local:.2f} s, cluster {t_cluster:.2f} s", flush=True)
    lm, cm = statistics.median(local_times), statistics.median(cluster_times)
    out = {"time": {"local_seconds": local_times, "cluster_seconds": cluster_times, "local_median": lm,
                    "cluster_median": cm, "ratio": cm / lm, "target_ratio": TARGET_RATIO,
                    "identical_equations": identical, "levels": remote.distributed_stats_.to_dict(orient="records")}}
    print(f"complexity {time_complexity}: local {lm:.2f} s, cluster {cm:.2f} s, ratio {cm / lm:.3f} "
          f"(target <= {TARGET_RATIO}); identical: {identical}", flush=True)

    big, t_big = (remote, cm) if bytes_complexity == time_complexity else fit(data, bytes_complexity, client)
    rows = big.distributed_stats_.to_dict(orient="records")
    worst = max(r["shipped_bytes"] for r in rows)
    out["transfers"] = {"cluster_seconds": t_big, "levels": rows, "max_shipped_bytes_per_level": int(worst),
                        "target_bytes_per_level": TARGET_BYTES}
    print(f"complexity {bytes_complexity} on the cluster: {t_big:.1f} s")
    kit.table(["level", "candidates", "tasks", "payload MB", "recipes MB", "summaries MB", "shipped MB", "gen s",
               "score s", "task s (sum/max)", "build s"],
              [[r["level"], r["candidates"], r["tasks"], f"{r['payload_bytes'] / 1e6:.3f}",
                f"{r['recipe_bytes'] / 1e6:.3f}", f"{r['summary_bytes'] / 1e6:.4f}", f"{r['shipped_bytes'] / 1e6:.3f}",
                f"{r['generate_seconds']:.2f}", f"{r['score_seconds']:.2f}",
                f"{r['task_seconds']:.2f}/{r['max_task_seconds']:.2f}", f"{r['build_seconds']:.3f}"] for r in rows])
    print(f"most bytes shipped in one level: {worst / 1e6:.2f} MB (target <= {TARGET_BYTES / 1e6:.0f} MB)")
    if quick or len([r for r in rows if r["tasks"]]) < 2:
        return out
    fixed = t_big - sum(r["generate_seconds"] + r["score_seconds"] + r["absorb_seconds"] for r in rows)
    overhead = task_overhead(rows)
    projection = project(rows, max(0.0, fixed), overhead)
    out["projection"] = {"model": "see bench/distributed_bench.py's docstring", "link_bytes_per_s": LINK_BYTES_PER_S,
                         "task_overhead_seconds": overhead, "seconds": projection, "measured_at_2_workers": t_big}
    print(f"model at complexity {bytes_complexity}, 2 workers: "
          f"{projection['model_at_measured_complexity_2_workers']:.1f} s (measured {t_big:.1f} s)")
    for level, shipped in projection["extrapolated_shipped_bytes_at_2_workers"].items():
        print(f"extrapolated level {level}: {shipped / 1e6:.1f} MB shipped at 2 workers")
    for complexity in map(str, PROJECTED_COMPLEXITIES):
        row = projection[complexity]
        cells = ", ".join(f"{w} workers {row[str(w)]:.1f} s" for w in (WORKERS, *PROJECTED_WORKERS))
        print(f"projected complexity {complexity}: {cells}; driver serial {row['driver_serial_seconds']:.1f} s")
    return out


def main(argv: list[str]) -> int:
    ap = kit.parser(__doc__)
    ap.add_argument("--runs", type=int, help="timed runs of each fit (default 3, quick 1)")
    ap.add_argument("--time-complexity", type=int, help="complexity of the timed fits (default 9, quick 7)")
    ap.add_argument("--bytes-complexity", type=int, help="complexity of the transfer fit (default 10, quick 8)")
    args = ap.parse_args(argv)
    time_complexity = args.time_complexity or (7 if args.quick else 9)
    bytes_complexity = args.bytes_complexity or (8 if args.quick else 10)
    runs = args.runs or (1 if args.quick else 3)
    from dask.distributed import Client, LocalCluster

    data = kit.sample(kit.PROBLEMS[PROBLEM], rows=ROWS, noise=NOISE)
    results = {"meta": kit.meta(args.quick, problem=PROBLEM, rows=ROWS, noise=NOISE, runs=runs,
                                workers=f"{WORKERS} processes x 1 thread (LocalCluster, loopback)",
                                time_complexity=time_complexity, bytes_complexity=bytes_complexity)}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cluster = LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True, host="127.0.0.1",
                               dashboard_address=None)
    client = Client(cluster)
    try:
        results.update(measure(client, data, runs, time_complexity, bytes_complexity, args.quick))
    finally:
        client.close()
        cluster.close()
    kit.write_results(kit.results_path(args, "distributed-results"), results)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
