"""Benchmark driver: evaluator throughput, end-to-end searches and the peers.

Run through `make bench` (which builds everything first), or directly:

    .venv-bench/bin/python bench/harness.py --eval-bench build/bench/bench/eval_bench \
        --search-bench build/bench/bench/search_bench

Every search runs in a fresh subprocess of this script (`--worker TOOL PROBLEM
OUT`), so that its peak resident memory is that process's own ru_maxrss and a
slow peer can be stopped at its time limit without harming the rest of the run.
All tools see the same seeded data. Timings on these shared machines drift, so
the table puts the peers' wall times beside vok's as ratios (peer / vok).

Besides the Python module ("vok"), each problem runs twice through the C++
program search_bench on a data file this script writes: once on the default
column-wise evaluator ("vok_fast") and once on the per-sample reference
evaluator ("vok_per_sample"), which only the C++ configuration can select. The
two are the same search in the same binary, so their wall-time ratio is the
fast path's speed-up; a per-sample run that hits its time limit is reported as
a timeout with the levels it finished, and the ratio is then taken over the
levels both runs finished (from their "Level k processed in ..." lines).

BENCH_QUICK=1 runs two problems with small budgets, as a smoke test, and writes
bench/results-quick.json instead of bench/results.json.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import re
import resource
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent

# A fit is exact when its training MSE is at most this (vok's own early-exit
# threshold), or, for the peers, when R^2 >= 1 - R2_EXACT_GAP.
EXACT_MSE = 1e-10
R2_EXACT_GAP = 1e-12

BASE_SEED = 20240601


def _cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not Linux
        return os.cpu_count() or 1


CORES = _cores()

# ---------------------------------------------------------------------------
# Problems
#
# Nguyen 1-8 with their usual laws: 20 points drawn uniformly from [-1, 1];
# Nguyen-7 on [0, 2] and Nguyen-8 (sqrt) on [0, 4], where the laws are real.
# The two-variable laws use 50 points drawn uniformly from the square given.
# Each problem has its own seed (BASE_SEED + its position in this list), so a
# quick run sees the same data as a full one.
# ---------------------------------------------------------------------------


def _poly(x, degree):
    return sum(x**k for k in range(1, degree + 1))


PROBLEMS = [
    {"name": "nguyen-1", "law": "x^3 + x^2 + x", "domain": (-1.0, 1.0), "points": 20, "vars": 1,
     "f": lambda x: _poly(x, 3)},
    {"name": "nguyen-2", "law": "x^4 + x^3 + x^2 + x", "domain": (-1.0, 1.0), "points": 20, "vars": 1,
     "f": lambda x: _poly(x, 4)},
    {"name": "nguyen-3", "law": "x^5 + ... + x", "domain": (-1.0, 1.0), "points": 20, "vars": 1,
     "f": lambda x: _poly(x, 5)},
    {"name": "nguyen-4", "law": "x^6 + ... + x", "domain": (-1.0, 1.0), "points": 20, "vars": 1,
     "f": lambda x: _poly(x, 6)},
    {"name": "nguyen-5", "law": "sin(x^2) cos(x) - 1", "domain": (-1.0, 1.0), "points": 20, "vars": 1,
     "f": lambda x: np.sin(x**2) * np.cos(x) - 1.0},
    {"name": "nguyen-6", "law": "sin(x) + sin(x + x^2)", "domain": (-1.0, 1.0), "points": 20, "vars": 1,
     "f": lambda x: np.sin(x) + np.sin(x + x**2)},
    {"name": "nguyen-7", "law": "log(x + 1) + log(x^2 + 1)", "domain": (0.0, 2.0), "points": 20, "vars": 1,
     "f": lambda x: np.log(x + 1.0) + np.log(x**2 + 1.0)},
    {"name": "nguyen-8", "law": "sqrt(x)", "domain": (0.0, 4.0), "points": 20, "vars": 1,
     "f": lambda x: np.sqrt(x)},
    {"name": "nguyen-9", "law": "sin(x) + sin(y^2)", "domain": (0.0, 1.0), "points": 50, "vars": 2,
     "f": lambda x, y: np.sin(x) + np.sin(y**2)},
    {"name": "nguyen-10", "law": "2 sin(x) cos(y)", "domain": (0.0, 1.0), "points": 50, "vars": 2,
     "f": lambda x, y: 2.0 * np.sin(x) * np.cos(y)},
    {"name": "sum-of-squares", "law": "x^2 + y^2", "domain": (-1.0, 1.0), "points": 50, "vars": 2,
     "f": lambda x, y: x**2 + y**2},
]
PROBLEMS_BY_NAME = {p["name"]: p for p in PROBLEMS}
QUICK_PROBLEMS = ["nguyen-1", "sum-of-squares"]


def make_data(problem: dict, points: int | None = None) -> tuple[np.ndarray, np.ndarray]:
    """Inputs as an (n, vars) array and the targets, from the problem's seed;
    `points` rows instead of the problem's own number when given."""
    seed = BASE_SEED + PROBLEMS.index(problem)
    rng = np.random.default_rng(seed)
    lo, hi = problem["domain"]
    X = rng.uniform(lo, hi, size=(points or problem["points"], problem["vars"]))
    y = problem["f"](*X.T)
    return np.ascontiguousarray(X), np.asarray(y, dtype=np.float64)


# ---------------------------------------------------------------------------
# Settings. vok runs with the default Searcher; the peers with the budgets
# below. pyoperon gets as many threads as vok's pool has (all cores); gplearn
# runs single-process (its n_jobs splits the population across processes,
# which costs more than it gains on a problem of 20 points).
# ---------------------------------------------------------------------------

# pyoperon with its constant fitting on (10 Levenberg-Marquardt iterations
# per evaluated individual) and generations and evaluations out of reach, so
# that its max_time is the bound: the time-limited comparisons of
# estimator_bench.py and discovery_bench.py.
PYOPERON_TIMED = {
    "allowed_symbols": "add,sub,mul,div,exp,log,sqrt,sin,cos,square,constant,variable",
    "population_size": 1000,
    "generations": 1_000_000,
    "max_evaluations": 1_000_000_000,
    "max_length": 50,
    "optimizer_iterations": 10,
    "n_threads": CORES,
}

FULL_SETTINGS = {
    "vok": {"searcher": {}},  # vok_sr.Searcher() defaults
    "pyoperon": {
        "allowed_symbols": "add,sub,mul,div,exp,log,sqrt,sin,cos,square,constant,variable",
        "population_size": 1000,
        "generations": 1000,
        "max_evaluations": 1_000_000,
        "max_length": 50,
        "max_time": 20,
        "n_threads": CORES,
    },
    "gplearn": {
        "population_size": 1000,
        "generations": 20,
        "tournament_size": 20,
        "function_set": ["add", "sub", "mul", "div", "sqrt", "log", "sin", "cos"],
        "metric": "mse",
        "stopping_criteria": EXACT_MSE,
        "parsimony_coefficient": 0.001,
        "const_range": [-1.0, 1.0],
        "init_depth": [2, 6],
        "n_jobs": 1,
    },
    # Hard wall-clock limits per subprocess, in seconds (start-up included).
    # vok's default search runs all ten levels unless it finds an exact fit;
    # the per-sample path is the one expected to reach its cap on two cores.
    # BENCH_VOK_LIMIT_S (or --vok-limit) sets all three vok caps, e.g. for a
    # patient run. These caps bound a full run at about 25 minutes on 2 cores
    # (see README.md).
    "limits_s": {"vok": float(os.environ.get("BENCH_VOK_LIMIT_S", "45")),
                 "vok_fast": float(os.environ.get("BENCH_VOK_LIMIT_S", "45")),
                 "vok_per_sample": float(os.environ.get("BENCH_VOK_LIMIT_S", "45")),
                 "pyoperon": 45, "gplearn": 60},
    # Resident memory at which a worker is stopped (BENCH_MEM_LIMIT_MIB).
    "mem_limit_mib": float(os.environ.get("BENCH_MEM_LIMIT_MIB", "6144")),
}

QUICK_SETTINGS = {
    "vok": {"searcher": {"max_complexity": 7}},
    "pyoperon": dict(FULL_SETTINGS["pyoperon"], population_size=200, generations=50, max_time=10),
    "gplearn": dict(FULL_SETTINGS["gplearn"], population_size=200, generations=5),
    "limits_s": {"vok": 60, "vok_fast": 60, "vok_per_sample": 60, "pyoperon": 30, "gplearn": 30},
    "mem_limit_mib": FULL_SETTINGS["mem_limit_mib"],
}


# ---------------------------------------------------------------------------
# Workers: each runs one tool on one problem in its own process and writes a
# JSON record. Only the fit itself is timed, not the imports or the data.
# ---------------------------------------------------------------------------


def _rss_mib() -> float:
    # ru_maxrss is in KiB on Linux.
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def _r2(y: np.ndarray, pred: np.ndarray) -> float | None:
    ss_tot = float(np.sum((y - y.mean()) ** 2))
    if ss_tot == 0.0:
        return None
    return 1.0 - float(np.sum((y - pred) ** 2)) / ss_tot


def _peer_record(y: np.ndarray, pred: np.ndarray, wall: float, model: str) -> dict:
    pred = np.asarray(pred, dtype=np.float64)
    mse = float(np.mean((pred - y) ** 2))
    r2 = _r2(y, pred)
    exact = (math.isfinite(mse) and mse <= EXACT_MSE) or (r2 is not None and r2 >= 1.0 - R2_EXACT_GAP)
    return {"status": "ok", "wall_s": wall, "error": mse, "r2": r2, "recovered": bool(exact),
            "peak_rss_mib": _rss_mib(), "model": model}


def work_vok(problem: dict, settings: dict, seed: int) -> dict:
    del seed  # the search is deterministic
    import vok_sr

    X, y = make_data(problem)
    searcher = vok_sr.Searcher(**settings["vok"]["searcher"])
    rss_before = _rss_mib()
    start = time.perf_counter()
    try:
        if problem["vars"] == 1:
            result = searcher.find_function(np.ascontiguousarray(X[:, 0]), y)
        else:
            result = searcher.find_multivariate(X, y)
    except vok_sr.VokComplexityError as exc:
        return {"status": "no_formula", "wall_s": time.perf_counter() - start, "peak_rss_mib": _rss_mib(),
                "baseline_rss_mib": rss_before, "recovered": False, "error": None, "complexity": None,
                "formula": None, "message": str(exc)}
    wall = time.perf_counter() - start
    error = float(result.error)
    record = {"status": "ok", "wall_s": wall, "peak_rss_mib": _rss_mib(), "baseline_rss_mib": rss_before,
              "recovered": bool(math.isfinite(error) and error <= EXACT_MSE), "error": error,
              "complexity": int(result.complexity), "formula": result.formula}
    try:
        record["python"] = result.to_python()
        pred = np.asarray(result.predict(X.tolist()), dtype=np.float64)
        record["mse_check"] = float(np.mean((pred - y) ** 2))
    except Exception as exc:  # a cross-check only; the search figures stand
        record["check_failed"] = f"{type(exc).__name__}: {exc}"
    return record


def work_pyoperon(problem: dict, settings: dict, seed: int) -> dict:
    from pyoperon.sklearn import SymbolicRegressor

    X, y = make_data(problem)
    model = SymbolicRegressor(random_state=seed, **settings["pyoperon"])
    start = time.perf_counter()
    model.fit(X, y)
    wall = time.perf_counter() - start
    return _peer_record(y, model.predict(X), wall, model.get_model_string(model.model_, 6))


def work_gplearn(problem: dict, settings: dict, seed: int) -> dict:
    warnings.filterwarnings("ignore")  # scikit-learn deprecation chatter
    from gplearn.genetic import SymbolicRegressor

    X, y = make_data(problem)
    kw = dict(settings["gplearn"])
    kw["function_set"] = tuple(kw["function_set"])
    kw["const_range"] = tuple(kw["const_range"])
    kw["init_depth"] = tuple(kw["init_depth"])
    model = SymbolicRegressor(random_state=seed, **kw)
    start = time.perf_counter()
    model.fit(X, y)
    wall = time.perf_counter() - start
    return _peer_record(y, model.predict(X), wall, str(model._program))


WORKERS = {"vok": work_vok, "pyoperon": work_pyoperon, "gplearn": work_gplearn}
# The two C++ runs of vok, one per evaluator path; search_bench does the work.
CPP_PATHS = {"vok_fast": [], "vok_per_sample": ["--per-sample"]}
TOOLS = ["vok", *CPP_PATHS, "pyoperon", "gplearn"]
PEERS = ["pyoperon", "gplearn"]


def worker_main(tool: str, name: str, out: str, quick: bool) -> int:
    settings = QUICK_SETTINGS if quick else FULL_SETTINGS
    problem = PROBLEMS_BY_NAME[name]
    seed = BASE_SEED + PROBLEMS.index(problem)
    try:
        record = WORKERS[tool](problem, settings, seed)
    except ImportError as exc:
        record = {"status": "unavailable", "reason": f"{type(exc).__name__}: {exc}"}
    except Exception as exc:
        record = {"status": "failed", "reason": f"{type(exc).__name__}: {exc}"}
    Path(out).write_text(json.dumps(record))
    return 0


# ---------------------------------------------------------------------------
# Driver
# ---------------------------------------------------------------------------


LEVEL_LINE = re.compile(r"Level (\d+) processed in ([0-9.]+)(s|ms|\u00b5s|ns)\b")
START_LINE = "Started search space exploration"
_UNIT_S = {"s": 1.0, "ms": 1e-3, "\u00b5s": 1e-6, "ns": 1e-9}


def _level_times(log: str) -> dict[int, float]:
    """Seconds per finished level (2 and up), from the search's own lines."""
    return {int(k): float(v) * _UNIT_S[unit] for k, v, unit in LEVEL_LINE.findall(log)}


def _levels_done(log: str) -> int | None:
    """The last level the search finished: 1 once seeding is reported."""
    times = _level_times(log)
    if times:
        return max(times)
    return 1 if START_LINE in log else None


def write_data_file(problem: dict, path: Path, points: int | None = None) -> None:
    """The problem's rows and targets in search_bench's text format: a line
    "ROWS VARS", then one line per row, inputs then target. repr() writes
    round-trip decimals, so the C++ side reads the very same doubles."""
    X, y = make_data(problem, points)
    lines = [f"# {problem['name']}: {problem['law']}", f"{X.shape[0]} {X.shape[1]}"]
    lines += [" ".join(repr(float(v)) for v in (*row, t)) for row, t in zip(X, y)]
    path.write_text("\n".join(lines) + "\n")


def search_bench_args(settings: dict) -> list[str]:
    """search_bench flags for the vok settings in use; none for the defaults,
    so that the default run is SearchConfig's own defaults."""
    sb = settings["vok"]["searcher"]
    out = []
    if "max_complexity" in sb:
        out += ["--max-complexity", str(sb["max_complexity"])]
    if "beam_width" in sb:
        out += ["--beam-width", str(sb["beam_width"])]
    return out


def _json_line(log: str) -> dict | None:
    """search_bench's result: the last line of its output that is a JSON object."""
    for line in reversed(re.split(r"[\r\n]+", log)):
        line = line.strip()
        if line.startswith("{"):
            try:
                return json.loads(line)
            except json.JSONDecodeError:
                return None
    return None


def _rss_of(pid: int) -> float | None:
    """Current resident set of a process in MiB (Linux), None if unknown."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return None


def _supervise(cmd: list[str], log_path: Path, limit_s: float, mem_limit_mib: float):
    """Runs `cmd` with its output in `log_path`, stopped at `limit_s` seconds
    or `mem_limit_mib` of resident memory, whichever comes first: a search
    whose levels outgrow the machine must not push the other users of a
    shared box into swap. Returns (why stopped or None, exit code, elapsed s,
    rusage); the peak RSS comes from wait4, so a stopped run still reports how
    much it held."""
    start = time.perf_counter()
    with open(log_path, "wb") as log:
        proc = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT)
        deadline = start + limit_s
        stopped = None
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            if time.perf_counter() >= deadline:
                stopped = "timeout"
            else:
                rss = _rss_of(proc.pid)
                if rss is not None and rss > mem_limit_mib:
                    stopped = "memory_limit"
            if stopped:
                proc.kill()
                pid, status, usage = os.wait4(proc.pid, 0)
                break
            time.sleep(0.05)
        proc.returncode = os.waitstatus_to_exitcode(status)  # already reaped
    return stopped, proc.returncode, time.perf_counter() - start, usage


def _stopped_record(stopped: str, limit_s: float, mem_limit_mib: float, extra: dict) -> dict:
    return {"status": stopped, "wall_s": None, "limit_s": limit_s, "mem_limit_mib": mem_limit_mib,
            "recovered": False, "error": None, "peak_rss_mib": extra["process_peak_rss_mib"], **extra}


def run_worker(tool: str, name: str, quick: bool, limit_s: float, mem_limit_mib: float) -> dict:
    """One Python worker process (vok's module or a peer) under _supervise."""
    with tempfile.TemporaryDirectory(prefix="vok-bench-") as tmp:
        out = Path(tmp) / "record.json"
        log_path = Path(tmp) / "stdout.log"
        cmd = [sys.executable, str(Path(__file__).resolve()), "--worker", tool, name, str(out)]
        if quick:
            cmd.append("--quick")
        # The search's progress lines go to the worker's stdout: into a file,
        # out of the table, read back for the level count and failure reports.
        stopped, code, elapsed, usage = _supervise(cmd, log_path, limit_s, mem_limit_mib)
        text = log_path.read_text(errors="replace")
        extra = {"process_s": elapsed, "process_peak_rss_mib": usage.ru_maxrss / 1024.0}
        if tool == "vok":
            extra["levels_done"] = _levels_done(text)
            extra["level_s"] = _level_times(text)
        if stopped:
            return _stopped_record(stopped, limit_s, mem_limit_mib, extra)
        if not out.exists():
            return {"status": "failed", "reason": f"worker exited {code}", "output_tail": text[-2000:],
                    "recovered": False, "error": None, "wall_s": None, **extra}
        record = json.loads(out.read_text())
        record.update(extra)
        record.setdefault("recovered", False)
        record.setdefault("error", None)
        record.setdefault("wall_s", None)
        return record


def run_search_bench(binary: str | None, tool: str, name: str, settings: dict, limit_s: float,
                     mem_limit_mib: float) -> dict:
    """One search_bench run on one evaluator path, under _supervise. Its
    peak_rss_mib is the program's own getrusage figure (no interpreter)."""
    if not binary or not Path(binary).exists():
        return {"status": "unavailable", "reason": f"search_bench not found: {binary}", "wall_s": None,
                "error": None, "recovered": False}
    with tempfile.TemporaryDirectory(prefix="vok-bench-") as tmp:
        data = Path(tmp) / "problem.txt"
        log_path = Path(tmp) / "stdout.log"
        write_data_file(PROBLEMS_BY_NAME[name], data)
        cmd = [str(Path(binary).resolve()), "--data", str(data), *CPP_PATHS[tool], *search_bench_args(settings)]
        stopped, code, elapsed, usage = _supervise(cmd, log_path, limit_s, mem_limit_mib)
        text = log_path.read_text(errors="replace")
    extra = {"eval_path": "per_sample" if tool == "vok_per_sample" else "fast",
             "command": " ".join(["search_bench", "--data", "FILE", *cmd[3:]]),
             "process_s": elapsed, "process_peak_rss_mib": usage.ru_maxrss / 1024.0,
             "levels_done": _levels_done(text), "level_s": _level_times(text)}
    if stopped:
        return _stopped_record(stopped, limit_s, mem_limit_mib, extra)
    record = _json_line(text)
    if code != 0 or record is None:
        return {"status": "failed", "reason": f"search_bench exited {code}", "output_tail": text[-2000:],
                "recovered": False, "error": None, "wall_s": None, **extra}
    error = record.get("error")
    record["recovered"] = bool(error is not None and math.isfinite(error) and error <= EXACT_MSE)
    # The program's own count covers level 1 and an early exit's last level.
    extra["levels_done"] = record.get("levels_done", extra["levels_done"])
    record.update(extra)
    return record


# ---------------------------------------------------------------------------
# Cost against rows: one default search (C++, fast path) on the same law with
# more and more rows. Fingerprints come from fixed probe points, not from the
# rows, so every run admits nearly the same candidates; only the beams, which
# follow the scores, differ a little. A run that reaches its limit still
# reports the levels it finished, and the table compares the levels that
# every run finished.
# ---------------------------------------------------------------------------

ROWS_PROBLEM = "nguyen-5"  # no exact fit by complexity 8, so no early exit
ROWS_COUNTS = [20, 100, 1000, 10000]
ROWS_COMPLEXITY = 8
QUICK_ROWS_COUNTS = [20, 1000]
QUICK_ROWS_COMPLEXITY = 6
ROWS_LIMIT_S = float(os.environ.get("BENCH_ROWS_LIMIT_S", "300"))


def run_rows_point(binary: str | None, name: str, rows: int, complexity: int, limit_s: float,
                   mem_limit_mib: float) -> dict:
    """One search_bench run on `rows` rows of the problem; its record has the
    wall and CPU seconds (user + system, all threads), peak RSS and levels."""
    if not binary or not Path(binary).exists():
        return {"rows": rows, "status": "unavailable", "reason": f"search_bench not found: {binary}"}
    with tempfile.TemporaryDirectory(prefix="vok-bench-") as tmp:
        data = Path(tmp) / "problem.txt"
        log_path = Path(tmp) / "stdout.log"
        write_data_file(PROBLEMS_BY_NAME[name], data, rows)
        cmd = [str(Path(binary).resolve()), "--data", str(data), "--max-complexity", str(complexity)]
        stopped, code, elapsed, usage = _supervise(cmd, log_path, limit_s, mem_limit_mib)
        text = log_path.read_text(errors="replace")
    rec = {"rows": rows, "max_complexity": complexity, "process_s": elapsed,
           "cpu_s": usage.ru_utime + usage.ru_stime, "process_peak_rss_mib": usage.ru_maxrss / 1024.0,
           "levels_done": _levels_done(text), "level_s": _level_times(text)}
    if stopped:
        return {**rec, "status": stopped, "wall_s": None, "limit_s": limit_s,
                "peak_rss_mib": rec["process_peak_rss_mib"]}
    record = _json_line(text)
    if code != 0 or record is None:
        return {**rec, "status": "failed", "reason": f"search_bench exited {code}", "output_tail": text[-2000:]}
    for key in ("status", "wall_s", "peak_rss_mib", "candidates", "error", "formula", "levels"):
        rec[key] = record.get(key)
    rec["levels_done"] = record.get("levels_done", rec["levels_done"])
    return rec


def rows_summary(points: list[dict]) -> dict:
    """Seconds per row count over the levels 2.. that every run finished, and
    the growth exponent between neighbouring row counts: log(t2/t1) /
    log(r2/r1), 1 for linear growth."""
    times = [p.get("level_s") or {} for p in points]
    common = sorted(set.intersection(*(set(t) for t in times))) if times else []
    out = {"common_levels": [common[0], common[-1]] if common else None, "common_level_s": [], "exponents": []}
    if not common:
        return out
    sums = [sum(t[k] for k in common) for t in times]
    out["common_level_s"] = sums
    for a, b, ta, tb in zip(points, points[1:], sums, sums[1:]):
        ok = ta > 0 and tb > 0 and b["rows"] > a["rows"]
        out["exponents"].append(math.log(tb / ta) / math.log(b["rows"] / a["rows"]) if ok else None)
    return out


def print_rows_table(section: dict) -> None:
    print()
    print(f"cost against rows: {section['problem']} ({section['law']}), max_complexity {section['max_complexity']}, "
          f"search_bench, fast path, limit {section['limit_s']:g} s a run")
    summary = section["summary"]
    lv = summary.get("common_levels")
    lv_head = f"s lvl {lv[0]}-{lv[1]}" if lv else "common s"
    head = (f"{'rows':>6} {'status':>8} {'wall s':>8} {'cpu s':>8} {'MiB':>7} {'lvl':>3} "
            f"{'candidates':>10} {lv_head:>12} {'exponent':>8}")
    print(head)
    print("-" * len(head))
    sums = summary.get("common_level_s") or []
    exps = [None, *summary.get("exponents", [])]
    for i, p in enumerate(section["points"]):
        common_s = sums[i] if i < len(sums) else None
        print(f"{p['rows']:>6} {p.get('status', '?'):>8} {_fmt(p.get('wall_s'), '.2f'):>8} "
              f"{_fmt(p.get('cpu_s'), '.1f'):>8} {_fmt(p.get('peak_rss_mib'), '.1f'):>7} "
              f"{_fmt(p.get('levels_done'), 'd'):>3} {_fmt(p.get('candidates'), 'd'):>10} "
              f"{_fmt(common_s, '.2f'):>12} {_fmt(exps[i] if i < len(exps) else None, '.2f'):>8}")
    print("cpu s = user + system seconds of all threads; exponent = log(t2/t1) / log(r2/r1) of the summed")
    print("  times of the levels every run finished, against the row count above (1 = linear)")


def run_rows_section(binary: str | None, counts: list[int], complexity: int, limit_s: float,
                     mem_limit_mib: float) -> dict:
    problem = PROBLEMS_BY_NAME[ROWS_PROBLEM]
    points = []
    for rows in counts:
        print(f"[bench] rows {rows:<6} {ROWS_PROBLEM} max_complexity {complexity} ...", end=" ", flush=True)
        rec = run_rows_point(binary, ROWS_PROBLEM, rows, complexity, limit_s, mem_limit_mib)
        points.append(rec)
        print(_cell(rec), "s" if rec.get("wall_s") is not None else "", flush=True)
    return {"problem": ROWS_PROBLEM, "law": problem["law"], "domain": problem["domain"],
            "max_complexity": complexity, "limit_s": limit_s, "points": points, "summary": rows_summary(points)}


def path_ratio(fast: dict, per_sample: dict) -> dict:
    """How much slower the per-sample path is than the fast one: over the
    whole search when both finished, and over the levels 2.. that both
    finished (which still says something when the per-sample run timed out;
    then the whole-search figure is at least limit / fast wall time)."""
    out = {"per_sample_over_fast": None, "per_sample_over_fast_at_least": None,
           "per_sample_over_fast_common_levels": None, "common_levels": None}
    fw, pw = fast.get("wall_s"), per_sample.get("wall_s")
    if fw and pw:
        out["per_sample_over_fast"] = pw / fw
    elif fw and per_sample.get("status") == "timeout" and fast.get("status") == "ok":
        out["per_sample_over_fast_at_least"] = per_sample["limit_s"] / fw
    ft, pt = fast.get("level_s") or {}, per_sample.get("level_s") or {}
    common = sorted(set(ft) & set(pt))
    if common:
        f_sum, p_sum = sum(ft[k] for k in common), sum(pt[k] for k in common)
        if f_sum > 0:
            out["per_sample_over_fast_common_levels"] = p_sum / f_sum
            out["common_levels"] = [common[0], common[-1]]
    return out


def run_eval_bench(binary: str | None) -> dict:
    empty = {"per_sample_nodes_per_s": None, "fast_nodes_per_s": None}
    if not binary or not Path(binary).exists():
        return dict(empty, status=f"eval_bench not found: {binary}")
    cmd = [binary, "--benchmark_format=json", "--benchmark_repetitions=3",
           "--benchmark_report_aggregates_only=true"]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=600, check=True)
        report = json.loads(proc.stdout)
    except (subprocess.SubprocessError, json.JSONDecodeError) as exc:
        return dict(empty, status=f"eval_bench failed: {exc}")
    medians = {b["run_name"]: b for b in report["benchmarks"] if b.get("aggregate_name") == "median"}

    def rate(run_name: str) -> float | None:
        b = medians.get(run_name)
        return float(b["nodes_per_s"]) if b else None

    per_sample = rate("BM_EvalPerSample")
    fast = rate("BM_EvalFast")  # absent until the column-wise path has a benchmark
    any_b = next(iter(medians.values()), {})
    return {"per_sample_nodes_per_s": per_sample, "fast_nodes_per_s": fast,
            "fast_over_per_sample": fast / per_sample if fast and per_sample else None,
            "expressions": any_b.get("expressions"), "samples": any_b.get("samples"),
            "statistic": "median of 3 repetitions", "status": "ok"}


def _versions() -> dict:
    from importlib import metadata

    out = {"python": platform.python_version(), "numpy": np.__version__}
    for dist in ("vok_sr", "pyoperon", "gplearn", "scikit-learn"):
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = None
    return out


def _finite_or_none(obj):
    """Strict JSON has no NaN or infinity: those become null."""
    if isinstance(obj, float) and not math.isfinite(obj):
        return None
    if isinstance(obj, dict):
        return {k: _finite_or_none(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [_finite_or_none(v) for v in obj]
    return obj


def _fmt(v, spec: str, missing: str = "-") -> str:
    if v is None:
        return missing
    if isinstance(v, float) and not math.isfinite(v):
        return str(v)
    return format(v, spec)


def _cell(rec: dict) -> str:
    """Wall time, or why there is none."""
    status = rec.get("status", "?")
    if status in ("ok", "no_formula"):
        wall = rec.get("wall_s")
        return _fmt(wall, ".3f" if wall is not None and wall < 10 else ".1f")
    return {"unavailable": "n/a", "skipped": "skip", "memory_limit": "mem-cap"}.get(status, status)


def _ratio_cell(r: dict) -> str:
    """per-sample / fast: the whole search, else a bound and the common levels."""
    if r.get("per_sample_over_fast") is not None:
        return _fmt(r["per_sample_over_fast"], ".2f")
    if r.get("per_sample_over_fast_at_least") is not None:
        lv = r.get("per_sample_over_fast_common_levels")
        return ">" + _fmt(r["per_sample_over_fast_at_least"], ".1f") + (f" ({lv:.2f})" if lv else "")
    if r.get("per_sample_over_fast_common_levels") is not None:
        return f"({r['per_sample_over_fast_common_levels']:.2f})"
    return "-"


def _yes(rec: dict) -> str:
    return "yes" if rec.get("recovered") else "no"


def print_table(results: dict) -> None:
    ev = results["eval"]
    print()
    print(f"cores: {results['cores']}   load average at start: {results['loadavg_start']}")
    print("evaluator, nodes/s:  per-sample {}   fast {}   fast/per-sample {}".format(
        _fmt(ev.get("per_sample_nodes_per_s"), ".3e"), _fmt(ev.get("fast_nodes_per_s"), ".3e", "n/a"),
        _fmt(ev.get("fast_over_per_sample"), ".2f", "n/a")))
    print()
    head = (f"{'problem':<15} {'vok s':>7} {'MiB':>6} {'exact':>5} {'cx':>3} {'error':>8} | "
            f"{'fast s':>7} {'per-smp s':>9} {'lvl':>3} {'per/fast':>13} | "
            f"{'operon s':>8} {'exact':>5} {'error':>8} {'x vok':>7} | "
            f"{'gplearn s':>9} {'exact':>5} {'error':>8} {'x vok':>7}")
    print(head)
    print("-" * len(head))
    for p in results["problems"]:
        v, f, ps, o, g = (p[t] for t in TOOLS)
        r = p["ratios"]
        print(f"{p['name']:<15} {_cell(v):>7} {_fmt(v.get('peak_rss_mib'), '.1f'):>6} "
              f"{_yes(v):>5} {_fmt(v.get('complexity'), 'd'):>3} {_fmt(v.get('error'), '.1e'):>8} | "
              f"{_cell(f):>7} {_cell(ps):>9} {_fmt(ps.get('levels_done'), 'd'):>3} {_ratio_cell(r):>13} | "
              f"{_cell(o):>8} {_yes(o):>5} {_fmt(o.get('error'), '.1e'):>8} "
              f"{_fmt(r.get('pyoperon_over_vok'), '.3g'):>7} | "
              f"{_cell(g):>9} {_yes(g):>5} {_fmt(g.get('error'), '.1e'):>8} "
              f"{_fmt(r.get('gplearn_over_vok'), '.3g'):>7}")
    s = results["summary"]
    n = s["problems"]
    print()
    print(f"exact fits: vok {s['vok_recovered']}/{n} (C++ fast {s['vok_fast_recovered']}/{n}, "
          f"per-sample {s['vok_per_sample_recovered']}/{n}), pyoperon {s['pyoperon_recovered']}/{n}, "
          f"gplearn {s['gplearn_recovered']}/{n};  max vok peak RSS {_fmt(s['vok_max_peak_rss_mib'], '.1f')} MiB")
    print(f"per-sample / fast wall time, geometric mean where both finished: "
          f"{_fmt(s['per_sample_over_fast_geomean'], '.2f')}; per-sample timeouts: {s['per_sample_timeouts']}/{n}")
    print("vok = Python module, Searcher(); fast / per-smp = search_bench on the column-wise / per-sample evaluator")
    print("per/fast = per-sample wall / fast wall; '>x' when the per-sample run hit its limit,")
    print("  '(y)' the same ratio over the levels both runs finished; lvl = levels the per-sample run finished")
    print("x vok = peer wall time / vok wall time (above 1: vok faster)")
    for p in results["problems"]:
        if p["vok"].get("formula"):
            print(f"  {p['name']:<15} vok: {p['vok']['formula']}")
    for p in results["problems"]:
        for tool in TOOLS:
            rec = p[tool]
            if rec.get("status") not in ("ok", "skipped"):
                why = rec.get("reason") or rec.get("message") or ""
                if rec.get("status") in ("timeout", "memory_limit"):
                    why = (f"stopped at the limit of {rec['limit_s']:g} s" if rec["status"] == "timeout"
                           else f"stopped at the memory limit of {rec['mem_limit_mib']:g} MiB")
                    if rec.get("levels_done"):
                        why += f" after level {rec['levels_done']}"
                    if rec.get("peak_rss_mib") is not None:
                        why += f", peak RSS {rec['peak_rss_mib']:.1f} MiB"
                print(f"  {p['name']:<15} {tool}: {rec.get('status')} {why}")


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--worker", nargs=3, metavar=("TOOL", "PROBLEM", "OUT"), help=argparse.SUPPRESS)
    ap.add_argument("--quick", action="store_true", default=os.environ.get("BENCH_QUICK", "") not in ("", "0"),
                    help="two problems, small budgets (also BENCH_QUICK=1)")
    ap.add_argument("--eval-bench", help="path of the eval_bench program")
    ap.add_argument("--search-bench", help="path of the search_bench program (the vok_fast and "
                                           "vok_per_sample runs)")
    ap.add_argument("--out", help="results file (default bench/results.json, or results-quick.json)")
    ap.add_argument("--vok-limit", type=float,
                    help="seconds per vok search, all three vok runs (default BENCH_VOK_LIMIT_S or 45)")
    ap.add_argument("--problems", help="comma-separated subset of problem names")
    ap.add_argument("--tools", default=",".join(TOOLS), help="comma-separated subset of " + ",".join(TOOLS))
    ap.add_argument("--rows", help="row counts of the cost-against-rows runs, comma-separated, or 'none' "
                                   f"(default {','.join(map(str, ROWS_COUNTS))}; quick: "
                                   f"{','.join(map(str, QUICK_ROWS_COUNTS))})")
    ap.add_argument("--rows-only", action="store_true", help="only the cost-against-rows runs")
    args = ap.parse_args(argv)

    if args.worker:
        tool, name, out = args.worker
        return worker_main(tool, name, out, args.quick)

    settings = QUICK_SETTINGS if args.quick else FULL_SETTINGS
    if args.vok_limit:
        for tool in ("vok", *CPP_PATHS):
            settings["limits_s"][tool] = args.vok_limit
    names = args.problems.split(",") if args.problems else (QUICK_PROBLEMS if args.quick else
                                                           [p["name"] for p in PROBLEMS])
    unknown = [n for n in names if n not in PROBLEMS_BY_NAME]
    if unknown:
        ap.error(f"unknown problems: {', '.join(unknown)}")
    tools = args.tools.split(",")
    if unknown := [t for t in tools if t not in TOOLS]:
        ap.error(f"unknown tools: {', '.join(unknown)}")
    out_path = Path(args.out) if args.out else HERE / ("results-quick.json" if args.quick else "results.json")
    if args.rows is None:
        rows_counts = QUICK_ROWS_COUNTS if args.quick else ROWS_COUNTS
    elif args.rows == "none":
        rows_counts = []
    else:
        try:
            rows_counts = sorted({int(v) for v in args.rows.split(",")})
        except ValueError:
            ap.error(f"--rows: not a list of whole numbers: {args.rows}")
        if rows_counts[0] < 1:
            ap.error("--rows: counts must be positive")
    if args.rows_only:
        if not rows_counts:
            ap.error("--rows-only needs row counts")
        out = {"cores": CORES, "quick": args.quick, "started": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
               "loadavg_start": [round(v, 2) for v in os.getloadavg()]}
        section = run_rows_section(args.search_bench, rows_counts,
                                   QUICK_ROWS_COMPLEXITY if args.quick else ROWS_COMPLEXITY, ROWS_LIMIT_S,
                                   settings["mem_limit_mib"])
        out["rows_cost"] = section
        out["loadavg_end"] = [round(v, 2) for v in os.getloadavg()]
        rows_path = Path(args.out) if args.out else HERE / ("rows-results-quick.json" if args.quick
                                                            else "rows-results.json")
        rows_path.write_text(json.dumps(_finite_or_none(out), indent=2, allow_nan=False) + "\n")
        print_rows_table(section)
        print(f"\nwritten: {rows_path}")
        return 0

    results = {
        "cores": CORES,
        "quick": args.quick,
        "started": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
        "loadavg_start": [round(v, 2) for v in os.getloadavg()],
        "machine": {"platform": platform.platform(), "processor": platform.machine()},
        "versions": _versions(),
        "settings": settings,
        "exact_fit": {"mse_at_most": EXACT_MSE, "or_r2_at_least": 1.0 - R2_EXACT_GAP},
        "problem_definitions": {n: {k: v for k, v in PROBLEMS_BY_NAME[n].items() if k != "f"} for n in names},
    }

    print("[bench] evaluator micro-benchmark ...", flush=True)
    results["eval"] = run_eval_bench(args.eval_bench)
    results["search_bench"] = args.search_bench

    skipped = {"status": "skipped", "wall_s": None, "error": None, "recovered": False}
    problems = []
    for name in names:
        entry = {"name": name, "law": PROBLEMS_BY_NAME[name]["law"]}
        for tool in TOOLS:
            if tool not in tools:
                entry[tool] = dict(skipped)
                continue
            print(f"[bench] {name:<15} {tool:<14} ...", end=" ", flush=True)
            limit, mem = settings["limits_s"][tool], settings["mem_limit_mib"]
            if tool in CPP_PATHS:
                rec = run_search_bench(args.search_bench, tool, name, settings, limit, mem)
            else:
                rec = run_worker(tool, name, args.quick, limit, mem)
            entry[tool] = rec
            extra = f" (after level {rec['levels_done']})" if rec.get("status") == "timeout" and rec.get(
                "levels_done") else ""
            print(_cell(rec), "s" if rec.get("wall_s") is not None else "", extra, flush=True)
        vw = entry["vok"].get("wall_s")
        entry["ratios"] = {
            **{f"{peer}_over_vok": (entry[peer]["wall_s"] / vw) if vw and entry[peer].get("wall_s") else None
               for peer in PEERS},
            **path_ratio(entry["vok_fast"], entry["vok_per_sample"])}
        problems.append(entry)
    results["problems"] = problems

    rss = [p["vok"].get("peak_rss_mib") for p in problems if p["vok"].get("peak_rss_mib") is not None]
    done = [p["ratios"]["per_sample_over_fast"] for p in problems
            if p["ratios"].get("per_sample_over_fast") is not None]
    results["summary"] = {
        "problems": len(problems),
        **{f"{t}_recovered": sum(bool(p[t].get("recovered")) for p in problems) for t in TOOLS},
        "vok_max_peak_rss_mib": max(rss) if rss else None,
        # Geometric mean over the problems where both paths finished.
        "per_sample_over_fast_geomean": math.exp(sum(map(math.log, done)) / len(done)) if done else None,
        "per_sample_timeouts": sum(p["vok_per_sample"].get("status") == "timeout" for p in problems),
    }
    if rows_counts:
        results["rows_cost"] = run_rows_section(args.search_bench, rows_counts,
                                                QUICK_ROWS_COMPLEXITY if args.quick else ROWS_COMPLEXITY,
                                                ROWS_LIMIT_S, settings["mem_limit_mib"])
    results["finished"] = time.strftime("%Y-%m-%dT%H:%M:%S%z")

    out_path.write_text(json.dumps(_finite_or_none(results), indent=2, allow_nan=False) + "\n")
    print_table(results)
    if "rows_cost" in results:
        print_rows_table(results["rows_cost"])
    print(f"\nwritten: {out_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
