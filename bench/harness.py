"""End-to-end benchmark: evaluator throughput, default searches against the peers, cost against rows.

Run through `make bench` (which builds everything first), or directly:

    .venv-bench/bin/python bench/harness.py --eval-bench build/bench/bench/eval_bench \\
        --search-bench build/bench/bench/search_bench

Per problem, five runs, each a fresh process under the kit's limits (so that
its peak memory is its own and a slow one is stopped without harming the
rest): "vok" (the Python module, Searcher() defaults), "vok_fast" and
"vok_per_sample" (search_bench on the same rows, on the column-wise and on
the per-sample evaluator: same search, same binary, so their wall-time ratio
is the fast path's speed-up), pyoperon and gplearn. A run stopped at its
limit still reports the levels it finished (from the search's own "Level k
processed in ..." lines), and the per-sample / fast ratio is then taken over
the levels both runs finished. The cost-against-rows runs time search_bench
on Nguyen-5 with more and more rows.
"""

from __future__ import annotations

import json
import math
import os
import re
import sys
import tempfile
from pathlib import Path

import kit

PROBLEMS = [f"nguyen-{i}" for i in range(1, 11)] + ["sum-of-squares"]
QUICK_PROBLEMS = ["nguyen-1", "sum-of-squares"]
CPP_PATHS = {"vok_fast": [], "vok_per_sample": ["--per-sample"]}
TOOLS = ["vok", *CPP_PATHS, "pyoperon", "gplearn"]
PEERS = ["pyoperon", "gplearn"]

VOK_LIMIT_S = float(os.environ.get("BENCH_VOK_LIMIT_S", "45"))
# vok: Searcher() defaults (max_complexity 10, beam 1000). pyoperon: at most
# 10^6 evaluations or 20 s, all cores; gplearn: 20 generations. Wall-clock
# limits per process, start-up included.
FULL = {"searcher": {},
        "pyoperon": {"generations": 1000, "max_evaluations": 1_000_000, "max_time": 20},
        "gplearn": {"generations": 20},
        "limits_s": {"vok": VOK_LIMIT_S, "vok_fast": VOK_LIMIT_S, "vok_per_sample": VOK_LIMIT_S,
                     "pyoperon": 45, "gplearn": 60}}
QUICK = {"searcher": {"max_complexity": 7},
         "pyoperon": {**FULL["pyoperon"], "population_size": 200, "generations": 50, "max_time": 10},
         "gplearn": {"generations": 5, "population_size": 200},
         "limits_s": {"vok": 60, "vok_fast": 60, "vok_per_sample": 60, "pyoperon": 30, "gplearn": 30}}

# Cost against rows: Nguyen-5 has no exact fit by complexity 8, so no early exit.
ROWS_PROBLEM = "nguyen-5"
ROWS_COUNTS, QUICK_ROWS_COUNTS = [20, 100, 1000, 10000], [20, 1000]
ROWS_COMPLEXITY, QUICK_ROWS_COMPLEXITY = 8, 6
ROWS_LIMIT_S = float(os.environ.get("BENCH_ROWS_LIMIT_S", "300"))


def work(tool: str, name: str, settings: dict) -> dict:
    """One Python run (vok's module or a peer), inside a kit.Worker."""
    data = kit.sample(kit.PROBLEMS[name])
    if tool == "vok":
        rec, model = kit.fit_vok_sr(data.X, data.y, **settings["searcher"])
    elif tool == "pyoperon":
        rec, model = kit.fit_pyoperon(data.X, data.y, kit.seed_of(name), **settings["pyoperon"])
    else:
        rec, model = kit.fit_gplearn(data.X, data.y, kit.seed_of(name), **settings["gplearn"])
    return {**kit.score(rec, model, data), "peak_rss_mib": kit.rss_mib()}


LEVEL_LINE = re.compile(r"Level (\d+) processed in ([0-9.]+)(s|ms|\u00b5s|ns)\b")
_UNIT_S = {"s": 1.0, "ms": 1e-3, "\u00b5s": 1e-6, "ns": 1e-9}


def add_levels(rec: dict, log: str) -> None:
    """Seconds per finished level (2 and up) and the last level finished (1
    once seeding is reported), from the search's own lines."""
    rec["level_s"] = {int(k): float(v) * _UNIT_S[u] for k, v, u in LEVEL_LINE.findall(log)}
    rec["levels_done"] = max(rec["level_s"], default=1 if "Started search space exploration" in log else None)


def write_data_file(problem: kit.Problem, path: Path, rows: int | None = None) -> kit.Data:
    """The rows in search_bench's text format: "ROWS VARS", then a line per
    row, inputs then target, in round-trip decimals (the very same doubles)."""
    data = kit.sample(problem, rows)
    lines = [f"# {problem.name}: {problem.law}", f"{data.X.shape[0]} {data.X.shape[1]}"]
    lines += [" ".join(repr(float(v)) for v in (*row, t)) for row, t in zip(data.X, data.y)]
    path.write_text("\n".join(lines) + "\n")
    return data


def run_search_bench(binary: str | None, name: str, flags: list[str], limit_s: float, rows=None) -> dict:
    """One search_bench run; its peak_rss_mib is the program's own figure."""
    if not binary or not Path(binary).exists():
        return {"status": "unavailable", "reason": f"search_bench not found: {binary}"}
    with tempfile.TemporaryDirectory(prefix="vok-bench-") as tmp:
        data = write_data_file(kit.PROBLEMS[name], Path(tmp) / "problem.txt", rows)
        rec, log = kit.run_command([str(Path(binary).resolve()), "--data", str(Path(tmp) / "problem.txt"), *flags],
                                   limit_s)
    rec["command"] = " ".join(["search_bench --data FILE", *flags])
    add_levels(rec, log)
    if rec["status"] != "ok":
        return {**rec, "peak_rss_mib": rec.get("process_peak_rss_mib"), "output_tail": log[-2000:]}
    lines = [ln for ln in re.split(r"[\r\n]+", log) if ln.startswith("{")]
    if not lines:
        return {**rec, "status": "crashed", "reason": "no result line", "output_tail": log[-2000:]}
    out = json.loads(lines[-1])
    out.pop("level_times", None)  # the levels' times are level_s, read from the log
    rec.update(out)
    rec["equation"] = rec.pop("formula", None)
    rec["r2_train"] = kit.r2_from_mse(out.get("error"), data.y)
    rec["exact"] = kit.is_exact(rec["r2_train"])
    return rec


def path_ratio(fast: dict, per_sample: dict) -> dict:
    """How much slower the per-sample path is: over the whole search when
    both finished; at least limit / fast wall when only the per-sample run
    hit its limit; and over the levels 2.. that both finished, which still
    says something when both timed out."""
    out = {"per_sample_over_fast": None, "per_sample_over_fast_at_least": None,
           "per_sample_over_fast_common_levels": None, "common_levels": None}
    fw, pw = fast.get("wall_s"), per_sample.get("wall_s")
    if fast.get("status") == "ok" and fw:
        if per_sample.get("status") == "ok" and pw:
            out["per_sample_over_fast"] = pw / fw
        elif per_sample.get("status") == "timeout":
            out["per_sample_over_fast_at_least"] = per_sample["limit_s"] / fw
    ft, pt = fast.get("level_s") or {}, per_sample.get("level_s") or {}
    if common := sorted(set(ft) & set(pt)):
        f_sum = sum(ft[k] for k in common)
        if f_sum > 0:
            out["per_sample_over_fast_common_levels"] = sum(pt[k] for k in common) / f_sum
            out["common_levels"] = [common[0], common[-1]]
    return out


def run_eval_bench(binary: str | None) -> dict:
    """eval_bench's node rates, median of 3 repetitions."""
    if not binary or not Path(binary).exists():
        return {"status": f"eval_bench not found: {binary}"}
    rec, out = kit.run_command([binary, "--benchmark_format=json", "--benchmark_repetitions=3",
                                "--benchmark_report_aggregates_only=true"], 600)
    try:
        report = json.JSONDecoder().raw_decode(out[out.index("{"):])[0]
    except ValueError:
        return {**rec, "status": f"eval_bench failed: {rec['status']}", "output_tail": out[-2000:]}
    medians = {b["run_name"]: b for b in report["benchmarks"] if b.get("aggregate_name") == "median"}
    per_sample, fast = (float(medians[n]["nodes_per_s"]) if n in medians else None
                        for n in ("BM_EvalPerSample", "BM_EvalFast"))
    any_b = next(iter(medians.values()), {})
    return {"status": "ok", "per_sample_nodes_per_s": per_sample, "fast_nodes_per_s": fast,
            "fast_over_per_sample": fast / per_sample if fast and per_sample else None,
            "expressions": any_b.get("expressions"), "samples": any_b.get("samples")}


def rows_section(binary: str | None, counts: list[int], complexity: int) -> dict:
    """The default search (fast path) on more and more rows of one law; the
    summary sums, per row count, the times of the levels every run finished,
    and gives log(t2/t1) / log(r2/r1) between neighbours (1 = linear)."""
    problem = kit.PROBLEMS[ROWS_PROBLEM]
    points = []
    for rows in counts:
        print(f"[bench] rows {rows:<6} {ROWS_PROBLEM} max_complexity {complexity} ...", end=" ", flush=True)
        points.append({"rows": rows, **run_search_bench(binary, ROWS_PROBLEM, ["--max-complexity", str(complexity)],
                                                        ROWS_LIMIT_S, rows)})
        print(cell(points[-1]), flush=True)
    common = sorted(set.intersection(*(set(p.get("level_s") or {}) for p in points)))
    sums = [sum(p["level_s"][k] for k in common) for p in points] if common else []
    exps = [math.log(tb / ta) / math.log(b["rows"] / a["rows"]) if ta > 0 and tb > 0 else None
            for a, b, ta, tb in zip(points, points[1:], sums, sums[1:])]
    return {"problem": ROWS_PROBLEM, "law": problem.law, "max_complexity": complexity, "limit_s": ROWS_LIMIT_S,
            "points": points, "summary": {"common_levels": [common[0], common[-1]] if common else None,
                                          "common_level_s": sums, "exponents": exps}}


def cell(rec: dict) -> str:
    """Wall time, or why there is none."""
    if rec.get("status") == "ok":
        w = rec.get("wall_s")
        return kit.fmt(w, ".3f" if w is not None and w < 10 else ".1f")
    return {"unavailable": "n/a", "skipped": "skip", "memory_limit": "mem-cap"}.get(rec.get("status"), rec.get("status"))


def ratio_cell(r: dict) -> str:
    lv = r.get("per_sample_over_fast_common_levels")
    if r.get("per_sample_over_fast") is not None:
        return f"{r['per_sample_over_fast']:.2f}"
    if r.get("per_sample_over_fast_at_least") is not None:
        return f">{r['per_sample_over_fast_at_least']:.1f}" + (f" ({lv:.2f})" if lv else "")
    return f"({lv:.2f})" if lv else "-"


def print_results(results: dict) -> None:
    ev, s = results["eval"], results["summary"]
    print(f"\nevaluator, nodes/s: per-sample {kit.fmt(ev.get('per_sample_nodes_per_s'), '.3e')}, "
          f"fast {kit.fmt(ev.get('fast_nodes_per_s'), '.3e')}, fast/per-sample {kit.fmt(ev.get('fast_over_per_sample'), '.2f')}\n")
    yes = {True: "yes", False: "no"}
    rows = []
    for p in results["problems"]:
        v, f, ps, o, g = (p[t] for t in TOOLS)
        r = p["ratios"]
        rows.append([p["name"], cell(v), kit.fmt(v.get("peak_rss_mib"), ".1f"), yes[bool(v.get("exact"))],
                     kit.fmt(v.get("complexity"), "d"), kit.fmt(v.get("error"), ".1e"), cell(f), cell(ps),
                     kit.fmt(ps.get("levels_done"), "d"), ratio_cell(r),
                     *(x for peer, rec in (("pyoperon", o), ("gplearn", g)) for x in (
                         cell(rec), yes[bool(rec.get("exact"))], kit.fmt(rec.get("error"), ".1e"),
                         kit.fmt(r.get(f"{peer}_over_vok"), ".3g")))])
    kit.table(["problem", "vok s", "MiB", "exact", "cx", "error", "fast s", "per-smp s", "lvl", "per/fast",
               "operon s", "exact", "error", "x vok", "gplearn s", "exact", "error", "x vok"], rows)
    n = s["problems"]
    print("\nexact fits: " + ", ".join(f"{t} {s[t + '_exact']}/{n}" for t in TOOLS)
          + f"; max vok peak RSS {kit.fmt(s['vok_max_peak_rss_mib'], '.1f')} MiB")
    print(f"per-sample / fast wall time, geometric mean where both finished: "
          f"{kit.fmt(s['per_sample_over_fast_geomean'], '.2f')}; per-sample timeouts: {s['per_sample_timeouts']}/{n}")
    print("per/fast: '>x' when the per-sample run hit its limit, '(y)' the ratio over the levels both runs "
          "finished;\n  lvl = levels the per-sample run finished; x vok = peer wall / vok wall (above 1: vok faster)")
    for p in results["problems"]:
        for tool in TOOLS:
            rec = p[tool]
            if rec.get("status") not in ("ok", "skipped"):
                why = rec.get("reason") or (f"at {rec.get('limit_s')} s / {rec.get('mem_limit_mib')} MiB, "
                                            f"after level {rec.get('levels_done')}, peak "
                                            f"{kit.fmt(rec.get('process_peak_rss_mib'), '.1f')} MiB")
                print(f"  {p['name']:<15} {tool}: {rec['status']} {why}")
            elif tool == "vok" and rec.get("equation"):
                print(f"  {p['name']:<15} vok: {rec['equation']}")


def print_rows(section: dict) -> None:
    s = section["summary"]
    lv = s["common_levels"]
    print(f"\ncost against rows: {section['problem']} ({section['law']}), max_complexity "
          f"{section['max_complexity']}, search_bench fast path, limit {section['limit_s']:g} s a run")
    exps = [None, *s["exponents"]]
    kit.table(["rows", "status", "wall s", "cpu s", "MiB", "lvl", "candidates",
               f"s lvl {lv[0]}-{lv[1]}" if lv else "common s", "exponent"],
              [[p["rows"], p.get("status"), kit.fmt(p.get("wall_s"), ".2f"), kit.fmt(p.get("cpu_s"), ".1f"),
                kit.fmt(p.get("peak_rss_mib"), ".1f"), kit.fmt(p.get("levels_done"), "d"),
                kit.fmt(p.get("candidates"), "d"), kit.fmt(s["common_level_s"][i] if s["common_level_s"] else None, ".2f"),
                kit.fmt(exps[i], ".2f")] for i, p in enumerate(section["points"])])
    print("cpu s = user + system seconds of all threads; exponent = log(t2/t1) / log(r2/r1) of the summed\n"
          "  times of the levels every run finished, against the row count above (1 = linear)")


def main(argv: list[str]) -> int:
    ap = kit.parser(__doc__)
    ap.add_argument("--eval-bench", help="path of the eval_bench program")
    ap.add_argument("--search-bench", help="path of the search_bench program")
    ap.add_argument("--vok-limit", type=float, help="seconds per vok run, all three (default BENCH_VOK_LIMIT_S or 45)")
    ap.add_argument("--problems", help="comma-separated subset of " + ",".join(PROBLEMS))
    ap.add_argument("--tools", help="comma-separated subset of " + ",".join(TOOLS))
    ap.add_argument("--rows", help="row counts of the cost-against-rows runs, comma-separated, or 'none' "
                                   f"(default {ROWS_COUNTS}; quick: {QUICK_ROWS_COUNTS})")
    ap.add_argument("--rows-only", action="store_true", help="only the cost-against-rows runs")
    args = ap.parse_args(argv)

    settings = json.loads(json.dumps(QUICK if args.quick else FULL))
    if args.vok_limit:
        settings["limits_s"].update({t: args.vok_limit for t in ("vok", *CPP_PATHS)})
    names = kit.names(ap, args.problems, PROBLEMS, QUICK_PROBLEMS if args.quick else PROBLEMS)
    tools = kit.names(ap, args.tools, TOOLS, TOOLS)
    if args.rows == "none":
        counts = []
    elif args.rows:
        try:
            counts = sorted({int(v) for v in args.rows.split(",")})
        except ValueError:
            ap.error(f"--rows: not a list of whole numbers: {args.rows}")
    else:
        counts = QUICK_ROWS_COUNTS if args.quick else ROWS_COUNTS
    complexity = QUICK_ROWS_COMPLEXITY if args.quick else ROWS_COMPLEXITY
    if args.rows_only:
        if not counts:
            ap.error("--rows-only needs row counts")
        results = {"meta": kit.meta(args.quick), "rows_cost": rows_section(args.search_bench, counts, complexity)}
        print_rows(results["rows_cost"])
        kit.write_results(kit.results_path(args, "rows-results"), results)
        return 0

    results = {"meta": kit.meta(args.quick, **settings),
               "problem_definitions": [kit.PROBLEMS[n].describe() for n in names]}
    print("[bench] evaluator micro-benchmark ...", flush=True)
    results["eval"] = run_eval_bench(args.eval_bench)
    flags = [f for k, v in settings["searcher"].items() for f in (f"--{k.replace('_', '-')}", str(v))]
    worker = kit.Worker("harness", fresh=True)
    problems = []
    for name in names:
        entry = {"name": name, "law": kit.PROBLEMS[name].law}
        for tool in TOOLS:
            if tool not in tools:
                entry[tool] = {"status": "skipped"}
                continue
            print(f"[bench] {name:<15} {tool:<14} ...", end=" ", flush=True)
            limit = settings["limits_s"][tool]
            if tool in CPP_PATHS:
                rec = run_search_bench(args.search_bench, name, CPP_PATHS[tool] + flags, limit)
            else:
                rec, log = worker.call("work", tool, name, settings, limit_s=limit)
                rec.setdefault("peak_rss_mib", rec.get("process_peak_rss_mib"))  # a stopped run's
                if tool == "vok":
                    add_levels(rec, log)
            entry[tool] = rec
            print(cell(rec), f"(after level {rec['levels_done']})" if rec.get("status") == "timeout" else "",
                  flush=True)
        vw = entry["vok"].get("wall_s") if entry["vok"].get("status") == "ok" else None
        entry["ratios"] = {**{f"{p}_over_vok": entry[p]["wall_s"] / vw if vw and entry[p].get("status") == "ok"
                              else None for p in PEERS},
                           **path_ratio(entry["vok_fast"], entry["vok_per_sample"])}
        problems.append(entry)
    results["problems"] = problems
    rss = [p["vok"]["peak_rss_mib"] for p in problems if p["vok"].get("peak_rss_mib") is not None]
    both = [p["ratios"]["per_sample_over_fast"] for p in problems if p["ratios"]["per_sample_over_fast"]]
    results["summary"] = {
        "problems": len(problems), **{f"{t}_exact": sum(bool(p[t].get("exact")) for p in problems) for t in TOOLS},
        "vok_max_peak_rss_mib": max(rss, default=None),
        "per_sample_over_fast_geomean": math.exp(sum(map(math.log, both)) / len(both)) if both else None,
        "per_sample_timeouts": sum(p["vok_per_sample"].get("status") == "timeout" for p in problems)}
    if counts:
        results["rows_cost"] = rows_section(args.search_bench, counts, complexity)
    print_results(results)
    if counts:
        print_rows(results["rows_cost"])
    kit.write_results(kit.results_path(args, "results"), results)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
