"""The benchmark kit: what every benchmark in bench/ shares.

- Problems: one table (`PROBLEMS`) of every law a benchmark runs, with its
  variables, their ranges and its usual number of training rows; `sample`
  draws the rows.
- Rules: `r2`, `is_exact` and `score`, the one way a fit is scored.
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
"""

from __future__ import annotations

import argparse
import importlib
import json
import math
import os
import platform
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

    def describe(self) -> dict:
        return {"name": self.name, "law": self.law, "vars": list(self.vars),
                "ranges": [list(r) for r in self.ranges], "rows": self.rows}


def _problem(name, law, names, f, lo=-1.0, hi=1.0, rows=20, ranges=None) -> Problem:
    names = tuple(names.split())
    return Problem(name, law, names, tuple(ranges or [(lo, hi)] * len(names)), f, rows)


def _poly(x, degree):
    return sum(x**k for k in range(1, degree + 1))


def _feynman(name, law, names, f, hi=5.0, ranges=None) -> Problem:
    # The database's ranges: U[1, 5] for nearly every variable.
    return _problem(name, law, names, f, 1.0, hi, rows=50, ranges=ranges)


# Nguyen 1-12 as usually defined: 20 points, 1-6 on U[-1, 1], 7 on U[0, 2]
# and 8 on U[0, 4] (where the laws are real), 9-12 on U[0, 1]^2.
_NGUYEN = [
    _problem("nguyen-1", "x^3 + x^2 + x", "x", lambda x: _poly(x, 3)),
    _problem("nguyen-2", "x^4 + x^3 + x^2 + x", "x", lambda x: _poly(x, 4)),
    _problem("nguyen-3", "x^5 + x^4 + x^3 + x^2 + x", "x", lambda x: _poly(x, 5)),
    _problem("nguyen-4", "x^6 + x^5 + x^4 + x^3 + x^2 + x", "x", lambda x: _poly(x, 6)),
    _problem("nguyen-5", "sin(x^2) cos(x) - 1", "x", lambda x: np.sin(x**2) * np.cos(x) - 1.0),
    _problem("nguyen-6", "sin(x) + sin(x + x^2)", "x", lambda x: np.sin(x) + np.sin(x + x**2)),
    _problem("nguyen-7", "log(x + 1) + log(x^2 + 1)", "x",
             lambda x: np.log(x + 1.0) + np.log(x**2 + 1.0), 0.0, 2.0),
    _problem("nguyen-8", "sqrt(x)", "x", np.sqrt, 0.0, 4.0),
    _problem("nguyen-9", "sin(x) + sin(y^2)", "x y", lambda x, y: np.sin(x) + np.sin(y**2), 0.0, 1.0),
    _problem("nguyen-10", "2 sin(x) cos(y)", "x y", lambda x, y: 2.0 * np.sin(x) * np.cos(y), 0.0, 1.0),
    _problem("nguyen-11", "x^y", "x y", lambda x, y: x**y, 0.0, 1.0),
    _problem("nguyen-12", "x^4 - x^3 + y^2/2 - y", "x y", lambda x, y: x**4 - x**3 + 0.5 * y**2 - y, 0.0, 1.0),
]
_OTHERS = [
    _problem("sum-of-squares", "x^2 + y^2", "x y", lambda x, y: x**2 + y**2, rows=50),
    _problem("three-var", "sin(x) y + z^2", "x y z", lambda x, y, z: np.sin(x) * y + z**2, rows=50),
]
# Eighteen laws of the Feynman Symbolic Regression Database, with its ranges.
_FEYNMAN = [
    _feynman("I.12.1", "F = mu Nn", "mu Nn", lambda mu, nn: mu * nn),
    _feynman("I.12.4", "Ef = q1 / (4 pi epsilon r^2)", "q1 epsilon r",
             lambda q1, eps, r: q1 / (4.0 * np.pi * eps * r**2)),
    _feynman("I.14.4", "U = k_spring x^2 / 2", "k_spring x", lambda k, x: 0.5 * k * x**2),
    _feynman("I.18.12", "tau = r F sin(theta)", "r F theta", lambda r, f, th: r * f * np.sin(th),
             ranges=[(1.0, 5.0), (1.0, 5.0), (0.0, 5.0)]),
    _feynman("I.25.13", "Volt = q / C", "q C", lambda q, c: q / c),
    _feynman("I.29.4", "k = omega / c", "omega c", lambda w, c: w / c, hi=10.0),
    _feynman("I.34.8", "omega = q v B / p", "q v B p", lambda q, v, b, p: q * v * b / p),
    _feynman("I.39.22", "pr = n kb T / V", "n T V kb", lambda n, t, v, kb: n * kb * t / v),
    _feynman("I.40.1", "n = n_0 exp(-m g x / (kb T))", "n_0 m x T g kb",
             lambda n0, m, x, t, g, kb: n0 * np.exp(-m * g * x / (kb * t))),
    _feynman("I.43.31", "D = mob kb T", "mob T kb", lambda mob, t, kb: mob * kb * t),
    _feynman("I.44.4", "E = n kb T ln(V2 / V1)", "n kb T V1 V2",
             lambda n, kb, t, v1, v2: n * kb * t * np.log(v2 / v1)),
    _feynman("I.47.23", "c = sqrt(gamma pr / rho)", "gamma pr rho", lambda g, p, rho: np.sqrt(g * p / rho)),
    _feynman("I.50.26", "x = x1 (cos(omega t) + alpha cos(omega t)^2)", "x1 omega t alpha",
             lambda x1, w, t, a: x1 * (np.cos(w * t) + a * np.cos(w * t) ** 2), hi=3.0),
    _feynman("II.2.42", "Pwr = kappa (T2 - T1) A / d", "kappa T1 T2 A d",
             lambda k, t1, t2, a, d: k * (t2 - t1) * a / d),
    _feynman("II.3.24", "flux = Pwr / (4 pi r^2)", "Pwr r", lambda p, r: p / (4.0 * np.pi * r**2)),
    _feynman("II.38.14", "mu_S = Y / (2 (1 + sigma))", "Y sigma", lambda y, s: y / (2.0 * (1.0 + s))),
    _feynman("III.12.43", "L = n h / (2 pi)", "n h", lambda n, h: n * h / (2.0 * np.pi)),
    _feynman("III.17.37", "f = beta (1 + alpha cos(theta))", "beta alpha theta",
             lambda b, a, th: b * (1.0 + a * np.cos(th))),
]
PROBLEMS = {p.name: p for p in _NGUYEN + _OTHERS + _FEYNMAN}
NGUYEN = [p.name for p in _NGUYEN]
FEYNMAN = [p.name for p in _FEYNMAN]


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


def fit_vok_learn(X, y, **params):
    """VokRegressor(verbose=0, **params); the warnings it gives are kept."""
    from vok_learn import VokRegressor

    model = VokRegressor(verbose=0, **params)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        start = time.perf_counter()
        model.fit(X, y)
        wall = time.perf_counter() - start
    eq, best = model.equations_, int(model.best_index_)
    return {"wall_s": wall, "equation": str(eq["equation"].iloc[best]), "complexity": int(eq["complexity"].iloc[best]),
            "stop_reason": model.stop_reason_, "front_size": len(eq),
            "warnings": sorted({str(w.message) for w in caught})}, model


def fit_pyoperon(X, y, seed: int, **settings):
    from pyoperon.sklearn import SymbolicRegressor

    model = SymbolicRegressor(random_state=seed, **{**PYOPERON, **settings})
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
