"""Discovery benchmark: exact laws and closed-form constants, against the peers.

Run through `make bench-discovery` (which installs the current checkout into
.venv-bench first), or directly with the bench venv's python:

    .venv-bench/bin/python bench/discovery_bench.py [--quick] [--time-limit T]
        [--only vok|peers|constants[,...]] [--problems NAME,...] [--json FILE]

Three parts, side by side in one run, every method under the same wall-clock
budget T per problem (--time-limit, default 8 s; see DEFAULT_TIME_LIMIT):

1. Nguyen 1-12, noiseless, 20 training rows (definitions in NGUYEN below).
2. Eighteen equations of the Feynman Symbolic Regression Database with the
   database's variable ranges, 50 training rows, noiseless and with 1 % noise
   (Gaussian, sigma = 0.01 * std of the clean training targets, added to the
   training and the held-out targets alike).
3. Constants: 30 with a known closed form of at most 8 tokens, 6 with none
   known, against mpmath.identify.

Methods on parts 1 and 2, one after another, never in parallel:
  vok_sr            vok_sr.Searcher() with its defaults, find_multivariate. It
                    has no time limit of its own, so its worker arms SIGALRM
                    for T seconds around the call; the signal's default action
                    kills the process, and a killed run counts as a failure.
                    Its progress lines go to fd 1, which is /dev/null for
                    every worker.
  vok_<r>_<c>       VokRegressor(time_limit=T, verbose=0, ranking=r,
                    constants=c) for r in (raw, affine), c in (fitted, both);
                    a single "vok_learn" column with the defaults while the
                    installed VokRegressor has no `ranking` parameter.
  pyoperon          pyoperon's SymbolicRegressor, constant fitting on
                    (optimizer_iterations=10), max_time = ceil(T), generations
                    and evaluations out of reach so that the time is the bound.
  gplearn           gplearn's SymbolicRegressor (the harness's settings),
                    grown one generation at a time with warm_start until the
                    next generation would end after T, or the fit is exact.

Metrics: held-out R^2 on 200 rows drawn from the same ranges. On noiseless
data a run is an exact recovery when that R^2 >= 1 - 1e-10. On the noisy
variants the table shows the held-out R^2 against the clean law (the JSON also
has it against the noisy held-out targets). Wall time is the fit alone, in
the worker, without imports or data; complexity is the selected equation's
size as each method counts it (vok: tokens; pyoperon: tree length; gplearn:
program length), so it compares within a method, not across methods.

Constants: each value goes in as a double. vok_learn.identify_constant(value,
time_limit=T_c, tolerance=CONSTANT_TOL), T_c = --constant-time-limit (default
T), and mpmath.identify(value, tol=
CONSTANT_TOL), with mpmath's default constants (none) and with ['pi', 'e'].
The first (simplest) answer is judged: "found" when its value, evaluated at
60 digits, is within CONSTANT_TOL * |c| of the constant; "identity"
when it agrees to 1e-40, i.e. it is the constant and not a numerical
coincidence near it. Any answer for one of the six others is a false match.

Each method runs in a long-lived worker process of this script (--serve), so
that the peers' imports (seconds each) are paid once per method, not once
per problem; the driver sends one problem at a time and waits at most T + 60
seconds for the answer before it kills the worker and starts a fresh one.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import select
import signal
import statistics
import subprocess
import sys
import time
import warnings
import zlib
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from harness import CORES, PYOPERON_TIMED, _finite_or_none  # noqa: E402

BASE_SEED = 20240902
TEST_ROWS = 200
EXACT_R2_GAP = 1e-10
NOISE = 0.01
# 8 s: the worst case is 48 problems x 7 methods x T = 45 minutes, but on
# noiseless problems most vok runs and gplearn stop at an exact fit, so a
# full run takes about 35-40 minutes on 2 cores (README.md).
DEFAULT_TIME_LIMIT = 8.0
QUICK_TIME_LIMIT = 3.0
# Slack on top of T before the driver gives up on a worker: imports happen
# before the first request, but a peer may overrun its own limit a little and
# the predictions take their time too.
WORKER_GRACE_S = 60.0

CONSTANT_TOL = 1e-12
IDENTITY_TOL = 1e-40
EVAL_DIGITS = 60

# ---------------------------------------------------------------------------
# Problems. Each is (name, law as text, variable names, ranges, f, rows).
# ---------------------------------------------------------------------------


def _poly(x, degree):
    return sum(x**k for k in range(1, degree + 1))


_X = ["x"]
_XY = ["x", "y"]
_M1 = [(-1.0, 1.0)]
_U01 = [(0.0, 1.0), (0.0, 1.0)]

# The usual Nguyen suite: 1-8 on U[-1, 1] (7 on U[0, 2] and 8 on U[0, 4],
# where the laws are real), 9-12 on U[0, 1]^2; 20 training rows each.
NGUYEN = [
    ("nguyen-1", "x^3 + x^2 + x", _X, _M1, lambda x: _poly(x, 3)),
    ("nguyen-2", "x^4 + x^3 + x^2 + x", _X, _M1, lambda x: _poly(x, 4)),
    ("nguyen-3", "x^5 + x^4 + x^3 + x^2 + x", _X, _M1, lambda x: _poly(x, 5)),
    ("nguyen-4", "x^6 + x^5 + x^4 + x^3 + x^2 + x", _X, _M1, lambda x: _poly(x, 6)),
    ("nguyen-5", "sin(x^2) cos(x) - 1", _X, _M1, lambda x: np.sin(x**2) * np.cos(x) - 1.0),
    ("nguyen-6", "sin(x) + sin(x + x^2)", _X, _M1, lambda x: np.sin(x) + np.sin(x + x**2)),
    ("nguyen-7", "log(x + 1) + log(x^2 + 1)", _X, [(0.0, 2.0)],
     lambda x: np.log(x + 1.0) + np.log(x**2 + 1.0)),
    ("nguyen-8", "sqrt(x)", _X, [(0.0, 4.0)], np.sqrt),
    ("nguyen-9", "sin(x) + sin(y^2)", _XY, _U01, lambda x, y: np.sin(x) + np.sin(y**2)),
    ("nguyen-10", "2 sin(x) cos(y)", _XY, _U01, lambda x, y: 2.0 * np.sin(x) * np.cos(y)),
    ("nguyen-11", "x^y", _XY, _U01, lambda x, y: x**y),
    ("nguyen-12", "x^4 - x^3 + y^2/2 - y", _XY, _U01, lambda x, y: x**4 - x**3 + 0.5 * y**2 - y),
]
NGUYEN_ROWS = 20


def _r(*names, lo=1.0, hi=5.0):
    return list(names), [(lo, hi)] * len(names)


# Feynman Symbolic Regression Database, with its variable ranges as I know
# them: almost every variable is U[1, 5] there; I.29.4 is U[1, 10], I.50.26 is
# U[1, 3], and theta of I.18.12 is U[0, 5] (from memory of the database's
# table; the others are U[1, 5] as the database mostly has them).
FEYNMAN = [
    ("I.12.1", "F = mu Nn", *_r("mu", "Nn"), lambda mu, nn: mu * nn),
    ("I.12.4", "Ef = q1 / (4 pi epsilon r^2)", *_r("q1", "epsilon", "r"),
     lambda q1, eps, r: q1 / (4.0 * np.pi * eps * r**2)),
    ("I.14.4", "U = k_spring x^2 / 2", *_r("k_spring", "x"), lambda k, x: 0.5 * k * x**2),
    ("I.18.12", "tau = r F sin(theta)", ["r", "F", "theta"], [(1.0, 5.0), (1.0, 5.0), (0.0, 5.0)],
     lambda r, f, th: r * f * np.sin(th)),
    ("I.25.13", "Volt = q / C", *_r("q", "C"), lambda q, c: q / c),
    ("I.29.4", "k = omega / c", *_r("omega", "c", hi=10.0), lambda w, c: w / c),
    ("I.34.8", "omega = q v B / p", *_r("q", "v", "B", "p"), lambda q, v, b, p: q * v * b / p),
    ("I.39.22", "pr = n kb T / V", *_r("n", "T", "V", "kb"), lambda n, t, v, kb: n * kb * t / v),
    ("I.40.1", "n = n_0 exp(-m g x / (kb T))", *_r("n_0", "m", "x", "T", "g", "kb"),
     lambda n0, m, x, t, g, kb: n0 * np.exp(-m * g * x / (kb * t))),
    ("I.43.31", "D = mob kb T", *_r("mob", "T", "kb"), lambda mob, t, kb: mob * kb * t),
    ("I.44.4", "E = n kb T ln(V2 / V1)", *_r("n", "kb", "T", "V1", "V2"),
     lambda n, kb, t, v1, v2: n * kb * t * np.log(v2 / v1)),
    ("I.47.23", "c = sqrt(gamma pr / rho)", *_r("gamma", "pr", "rho"), lambda g, p, rho: np.sqrt(g * p / rho)),
    ("I.50.26", "x = x1 (cos(omega t) + alpha cos(omega t)^2)", *_r("x1", "omega", "t", "alpha", hi=3.0),
     lambda x1, w, t, a: x1 * (np.cos(w * t) + a * np.cos(w * t) ** 2)),
    ("II.2.42", "Pwr = kappa (T2 - T1) A / d", *_r("kappa", "T1", "T2", "A", "d"),
     lambda k, t1, t2, a, d: k * (t2 - t1) * a / d),
    ("II.3.24", "flux = Pwr / (4 pi r^2)", *_r("Pwr", "r"), lambda p, r: p / (4.0 * np.pi * r**2)),
    ("II.38.14", "mu_S = Y / (2 (1 + sigma))", *_r("Y", "sigma"), lambda y, s: y / (2.0 * (1.0 + s))),
    ("III.12.43", "L = n h / (2 pi)", *_r("n", "h"), lambda n, h: n * h / (2.0 * np.pi)),
    ("III.17.37", "f = beta (1 + alpha cos(theta))", *_r("beta", "alpha", "theta"),
     lambda b, a, th: b * (1.0 + a * np.cos(th))),
]
FEYNMAN_ROWS = 50


def _problems() -> list[dict]:
    out = []
    for name, law, names, ranges, f in NGUYEN:
        out.append({"name": name, "part": "nguyen", "law": law, "vars": names, "ranges": ranges,
                    "f": f, "rows": NGUYEN_ROWS, "noise": 0.0})
    for noise, part in ((0.0, "feynman"), (NOISE, "feynman_noisy")):
        for name, law, names, ranges, f in FEYNMAN:
            suffix = "" if noise == 0.0 else "+noise"
            out.append({"name": f"{name}{suffix}", "part": part, "law": law, "vars": names,
                        "ranges": ranges, "f": f, "rows": FEYNMAN_ROWS, "noise": noise})
    return out


PROBLEMS = _problems()
PROBLEMS_BY_NAME = {p["name"]: p for p in PROBLEMS}
PARTS = {"nguyen": "Nguyen 1-12, noiseless (exact recovery: held-out R^2 >= 1 - 1e-10)",
         "feynman": "Feynman, noiseless (exact recovery: held-out R^2 >= 1 - 1e-10)",
         "feynman_noisy": "Feynman, 1 % noise (held-out R^2 against the clean law)"}
QUICK_PROBLEMS = ["nguyen-1", "nguyen-5", "I.12.1", "I.34.8", "I.12.1+noise"]


def make_data(problem: dict):
    """Training rows and targets, held-out rows, their noisy and clean
    targets. The seed comes from the problem's name, so a filtered or quick
    run sees the same data as a full one, and every method the same rows."""
    rng = np.random.default_rng(BASE_SEED + zlib.crc32(problem["name"].encode()))
    n, t = problem["rows"], TEST_ROWS
    lo = np.array([r[0] for r in problem["ranges"]])
    hi = np.array([r[1] for r in problem["ranges"]])
    X = lo + (hi - lo) * rng.random((n + t, len(lo)))
    clean = np.asarray(problem["f"](*X.T), dtype=np.float64)
    y = clean.copy()
    sigma = 0.0
    if problem["noise"] > 0.0:
        sigma = problem["noise"] * float(np.std(clean[:n]))
        y = clean + rng.normal(0.0, sigma, size=clean.shape)
    return X[:n], y[:n], X[n:], y[n:], clean[n:], sigma


def r2(y: np.ndarray, pred) -> float | None:
    """R^2, or None when the prediction has a missing or non-finite value:
    an equation without a value on a held-out row has no score there."""
    pred = np.asarray(pred, dtype=np.float64)
    if pred.shape != y.shape or not np.all(np.isfinite(pred)):
        return None
    return 1.0 - float(np.sum((y - pred) ** 2)) / float(np.sum((y - y.mean()) ** 2))


# ---------------------------------------------------------------------------
# Methods, as run inside a worker. Each returns the record's fields; the
# caller adds the held-out scores from `predict`.
# ---------------------------------------------------------------------------

VOK_OPTIONS = [(r, c) for r in ("raw", "affine") for c in ("fitted", "both")]
PEERS = ["pyoperon", "gplearn"]

PYOPERON = PYOPERON_TIMED

# The harness's gplearn settings; gplearn has no exp, so Nguyen-11 (x^y) is
# out of its reach.
GPLEARN = {
    "population_size": 1000,
    "tournament_size": 20,
    "function_set": ("add", "sub", "mul", "div", "sqrt", "log", "sin", "cos"),
    "metric": "mse",
    "parsimony_coefficient": 0.001,
    "const_range": (-1.0, 1.0),
    "init_depth": (2, 6),
    "n_jobs": 1,
}


def vok_methods_available() -> tuple[list[str], bool]:
    """The VokRegressor columns: one per option combination once the
    estimator has the `ranking` and `constants` parameters, else one column
    with its defaults."""
    try:
        from vok_learn import VokRegressor
    except ImportError:
        return [], False
    if "ranking" in VokRegressor().get_params():
        return [f"vok_{r}_{c}" for r, c in VOK_OPTIONS], True
    return ["vok_learn"], False


def _seed(problem: dict) -> int:
    return (BASE_SEED + zlib.crc32(problem["name"].encode())) % (2**31)


def fit_vok_sr(problem, X, y, T):
    import vok_sr

    searcher = vok_sr.Searcher()
    # No handler for SIGALRM is installed, so when the timer fires the
    # process ends, wherever the search is (its threads included); the
    # driver reads that as a timeout.
    signal.signal(signal.SIGALRM, signal.SIG_DFL)
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, T)
    try:
        result = searcher.find_multivariate(X, y)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0.0)
    wall = time.perf_counter() - start

    def predict(Z):
        return np.asarray(result.predict(Z.tolist()), dtype=np.float64)

    return {"wall_s": wall, "complexity": int(result.complexity), "equation": result.formula,
            "train_error": float(result.error)}, predict


def fit_vok_learn(problem, X, y, T, ranking=None, constants=None):
    from vok_learn import VokRegressor

    kw = {} if ranking is None else {"ranking": ranking, "constants": constants}
    model = VokRegressor(time_limit=T, verbose=0, **kw)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the SearchStoppedWarning at T is expected
        start = time.perf_counter()
        model.fit(X, y)
        wall = time.perf_counter() - start
    best = int(model.best_index_)
    eq = model.equations_
    return {"wall_s": wall, "complexity": int(eq["complexity"].iloc[best]),
            "equation": str(eq["equation"].iloc[best]), "stop_reason": model.stop_reason_,
            "front_size": len(eq)}, model.predict


def fit_pyoperon(problem, X, y, T):
    from pyoperon.sklearn import SymbolicRegressor

    model = SymbolicRegressor(random_state=_seed(problem), max_time=int(math.ceil(T)), **PYOPERON)
    start = time.perf_counter()
    model.fit(X, y)
    wall = time.perf_counter() - start
    return {"wall_s": wall, "complexity": int(model.model_.Length),
            "equation": model.get_model_string(model.model_, 6)}, model.predict


def fit_gplearn(problem, X, y, T):
    from gplearn.genetic import SymbolicRegressor

    # Stop at a training fit far below the exact-recovery threshold; the
    # held-out R^2 decides recovery.
    stop = 1e-12 * float(np.var(y))
    model = SymbolicRegressor(random_state=_seed(problem), generations=1, warm_start=True,
                              stopping_criteria=stop, **GPLEARN)
    start = time.perf_counter()
    generations = 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        while True:
            generations += 1
            model.set_params(generations=generations)
            t0 = time.perf_counter()
            model.fit(X, y)
            last = time.perf_counter() - t0
            now = time.perf_counter() - start
            # warm_start grows the same run; the next generation costs about
            # what the last one did, so stop before it would end after T.
            if model._program.raw_fitness_ <= stop or now + last > T:
                break
    wall = time.perf_counter() - start
    return {"wall_s": wall, "complexity": int(model._program.length_), "equation": str(model._program),
            "generations": generations}, model.predict


def method_fit(method: str):
    if method == "vok_sr":
        return fit_vok_sr
    if method == "vok_learn":
        return fit_vok_learn
    if method.startswith("vok_"):
        _, ranking, constants = method.split("_")
        return lambda p, X, y, T: fit_vok_learn(p, X, y, T, ranking, constants)
    return {"pyoperon": fit_pyoperon, "gplearn": fit_gplearn}[method]


def run_one(method: str, problem: dict, T: float) -> dict:
    X, y, Xt, yt, clean_t, sigma = make_data(problem)
    rec, predict = method_fit(method)(problem, X, y, T)
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        try:
            pred = predict(Xt)
        except Exception as exc:  # noqa: BLE001 - a prediction that fails scores nothing
            pred = None
            rec["predict_failed"] = f"{type(exc).__name__}: {exc}"
        try:
            rec["r2_train"] = r2(y, predict(X))
        except Exception:  # noqa: BLE001
            rec["r2_train"] = None
    rec["r2_test_clean"] = None if pred is None else r2(clean_t, pred)
    rec["r2_test"] = None if pred is None else r2(yt, pred)
    rec["status"] = "ok"
    rec["exact"] = bool(problem["noise"] == 0.0 and rec["r2_test_clean"] is not None
                        and rec["r2_test_clean"] >= 1.0 - EXACT_R2_GAP)
    return rec


def serve(method: str, result_fd: int) -> int:
    """Worker loop: one JSON request per stdin line, one JSON record per
    line on `result_fd`. stdout is the driver's /dev/null."""
    out = os.fdopen(result_fd, "w", buffering=1)
    # Import up front, so that no request pays for it.
    try:
        if method == "vok_sr":
            import vok_sr  # noqa: F401
        elif method.startswith("vok_"):
            import vok_learn  # noqa: F401
        elif method == "pyoperon":
            import pyoperon.sklearn  # noqa: F401
        elif method == "gplearn":
            import gplearn.genetic  # noqa: F401
        out.write(json.dumps({"ready": True}) + "\n")
    except ImportError as exc:
        out.write(json.dumps({"ready": False, "reason": f"{type(exc).__name__}: {exc}"}) + "\n")
        return 0
    for line in sys.stdin:
        req = json.loads(line)
        try:
            rec = run_one(method, PROBLEMS_BY_NAME[req["problem"]], float(req["time_limit"]))
        except Exception as exc:  # noqa: BLE001 - one record, not the run
            rec = {"status": "failed", "reason": f"{type(exc).__name__}: {exc}"}
        out.write(json.dumps(_finite_or_none(rec)) + "\n")
    return 0


# ---------------------------------------------------------------------------
# Driver side of the workers
# ---------------------------------------------------------------------------


class Worker:
    """A long-lived `--serve METHOD` process, restarted after a kill."""

    def __init__(self, method: str, log_dir: Path):
        self.method = method
        self.log_path = log_dir / f"{method}.stderr"
        self.proc = None
        self.unavailable = None

    def _start(self) -> bool:
        rfd, wfd = os.pipe()
        log = open(self.log_path, "ab")
        self.proc = subprocess.Popen(
            [sys.executable, str(Path(__file__).resolve()), "--serve", self.method, "--result-fd", str(wfd)],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=log, pass_fds=(wfd,),
            start_new_session=True)
        log.close()
        os.close(wfd)
        self.rfd, self.buf = rfd, b""
        hello = self._read(WORKER_GRACE_S)
        if not isinstance(hello, dict) or not hello.get("ready"):
            self.unavailable = (hello or {}).get("reason", "the worker did not start") \
                if isinstance(hello, dict) else "the worker did not start"
            self.stop()
            return False
        return True

    def _read(self, timeout: float):
        """The next line as JSON; "timeout" when none came in time; None at EOF."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                return "timeout"
            ready, _, _ = select.select([self.rfd], [], [], left)
            if not ready:
                continue
            chunk = os.read(self.rfd, 65536)
            if not chunk:
                return None
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return json.loads(line)

    def stop(self) -> None:
        if self.proc is None:
            return
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.proc.wait()
        os.close(self.rfd)
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        self.proc = None

    def run(self, problem: str, T: float) -> dict:
        if self.unavailable is not None:
            return {"status": "unavailable", "reason": self.unavailable}
        if self.proc is None and not self._start():
            return {"status": "unavailable", "reason": self.unavailable}
        self.proc.stdin.write((json.dumps({"problem": problem, "time_limit": T}) + "\n").encode())
        self.proc.stdin.flush()
        start = time.perf_counter()
        rec = self._read(T + WORKER_GRACE_S)
        if isinstance(rec, dict):
            return rec
        elapsed = time.perf_counter() - start
        self.stop_or_reap()
        rc = self.last_rc
        if rc == -signal.SIGALRM:
            return {"status": "timeout", "wall_s": T, "reason": f"killed at the time limit ({T:g} s)"}
        if rec == "timeout":
            return {"status": "timeout", "wall_s": elapsed, "reason": f"no answer within {T + WORKER_GRACE_S:g} s"}
        return {"status": "crashed", "wall_s": elapsed, "reason": f"worker exit status {rc}"}

    def stop_or_reap(self) -> None:
        proc = self.proc
        self.stop()
        self.last_rc = proc.returncode


# ---------------------------------------------------------------------------
# Constants
# ---------------------------------------------------------------------------

# (name, shortest closed form I know in the engine's tokens, value as a
# SymPy expression). Token counts are postfix: a leaf or an operator is one
# token, and the integers are built from 1 (the registry's named constants
# are 0, 1, I, Pi and E). The golden ratio is left out: its shortest form
# here, (1 + sqrt(1 + (1 + 1)^2)) / (1 + 1), is 13 tokens.
CLASSIC = [
    ("pi", "Pi", 1, "pi"),
    ("e", "E", 1, "E"),
    ("sqrt(2)", "Sqrt(1 + 1)", 4, "sqrt(2)"),
    ("sqrt(3)", "Sqrt(1 + 1 + 1)", 6, "sqrt(3)"),
    ("sqrt(5)", "Sqrt(1 + Square(1 + 1))", 7, "sqrt(5)"),
    ("ln 2", "Log(1 + 1)", 4, "log(2)"),
    ("ln 3", "Log(1 + 1 + 1)", 6, "log(3)"),
    ("pi^2", "Square(Pi)", 2, "pi**2"),
    ("pi^3", "Cube(Pi)", 2, "pi**3"),
    ("e^2", "Square(E)", 2, "E**2"),
    ("1/pi", "Inv(Pi)", 2, "1/pi"),
    ("1/e", "Inv(E)", 2, "exp(-1)"),
    ("sqrt(pi)", "Sqrt(Pi)", 2, "sqrt(pi)"),
    ("sqrt(e)", "Sqrt(E)", 2, "sqrt(E)"),
    ("pi/2", "ArcCos(0)", 2, "pi/2"),
    ("pi/4", "ArcTan(1)", 2, "pi/4"),
    ("pi/3", "ArcCos(Inv(1 + 1))", 5, "pi/3"),
    ("zeta(2) = pi^2/6", "Pi ArcSin(1 / (1 + 1))", 8, "pi**2/6"),
    ("2 pi", "Pi + Pi", 3, "2*pi"),
    ("e^pi", "Exp(Pi)", 2, "exp(pi)"),
    ("pi^e", "Exp(E Log(Pi))", 5, "pi**E"),
    ("e^e", "Exp(E)", 2, "exp(E)"),
    ("ln pi", "Log(Pi)", 2, "log(pi)"),
    ("i^i = e^(-pi/2)", "Exp(Neg(ArcCos(0)))", 4, "exp(-pi/2)"),
    ("sqrt(2 pi)", "Sqrt(Pi + Pi)", 4, "sqrt(2*pi)"),
    ("1/sqrt(2)", "Inv(Sqrt(1 + 1))", 5, "1/sqrt(2)"),
    ("1 + sqrt(2)", "1 + Sqrt(1 + 1)", 6, "1 + sqrt(2)"),
    ("cosh(1)", "(E + Inv(E)) / (1 + 1)", 8, "cosh(1)"),
    ("sin(1)", "Sin(1)", 2, "sin(1)"),
    ("pi e", "Pi E", 3, "pi*E"),
]
assert len(CLASSIC) == 30

# No closed form in elementary functions of 0, 1, i, pi and e is known for
# any of these: gamma, Catalan's G and zeta(3) are not even known to be
# irrational (zeta(3) is, by Apery, but has no known closed form); Khinchin's
# K is an infinite product, Feigenbaum's delta a root of a functional
# equation, Glaisher's A = exp(1/12 - zeta'(-1)). A short form matching one
# of them to 1e-12 would be a coincidence, so any answer is a false match.
NO_FORM = [
    ("Euler gamma", "EulerGamma"),
    ("Catalan G", "Catalan"),
    ("zeta(3)", "zeta(3)"),
    ("Khinchin K", "mpmath:khinchin"),
    ("Feigenbaum delta", "num:4.669201609102990671853203820466201617258185577475768632745651343004134"),
    ("Glaisher A", "mpmath:glaisher"),
]
QUICK_CONSTANTS = ["pi", "sqrt(2)", "zeta(2) = pi^2/6", "Euler gamma", "zeta(3)"]
CONSTANT_METHODS = ["identify_constant", "mpmath", "mpmath_pi_e"]


def _exact_value(expr: str):
    """The constant to EVAL_DIGITS digits, as an mpmath number."""
    import mpmath
    import sympy

    with mpmath.workdps(EVAL_DIGITS + 10):
        if expr.startswith("mpmath:"):
            return +getattr(mpmath, expr.split(":", 1)[1])
        if expr.startswith("num:"):
            return mpmath.mpf(expr.split(":", 1)[1])
        return mpmath.mpf(str(sympy.N(sympy.sympify(expr), EVAL_DIGITS + 10)))


_SYMPY_NAMES = None


def _sympy_of_text(text: str):
    """A candidate's text as SymPy, accepting both the engine's operator
    names and the usual lower-case ones."""
    import sympy

    global _SYMPY_NAMES
    if _SYMPY_NAMES is None:
        s = sympy
        _SYMPY_NAMES = {
            "Pi": s.pi, "pi": s.pi, "E": s.E, "e": s.E, "I": s.I, "i": s.I,
            "Plus": lambda a, b: a + b, "Times": lambda a, b: a * b, "Subtract": lambda a, b: a - b,
            "Divide": lambda a, b: a / b, "Neg": lambda a: -a, "Inv": lambda a: 1 / a,
            "Square": lambda a: a**2, "Cube": lambda a: a**3, "Sqrt": s.sqrt, "sqrt": s.sqrt,
            "Exp": s.exp, "exp": s.exp, "Log": s.log, "log": s.log, "ln": s.log,
            "Sin": s.sin, "Cos": s.cos, "Tan": s.tan, "ArcSin": s.asin, "ArcCos": s.acos, "ArcTan": s.atan,
            "arcsin": s.asin, "arccos": s.acos, "arctan": s.atan,
            "Vok": lambda a, b: s.exp(a) - s.log(b), "VOK": lambda a, b: s.exp(a) - s.log(b),
        }
    return sympy.sympify(text.replace("^", "**"), locals=dict(_SYMPY_NAMES))


def _value_of(expr) -> "object | None":
    """A SymPy expression's value to EVAL_DIGITS digits as an mpmath number
    (the real part: the constants are real), or None."""
    import mpmath
    import sympy

    try:
        v = sympy.N(expr, EVAL_DIGITS + 10)
        re, im = v.as_real_imag()
        with mpmath.workdps(EVAL_DIGITS + 10):
            re_v = mpmath.mpf(str(sympy.N(re, EVAL_DIGITS + 10)))
            im_v = mpmath.mpf(str(sympy.N(im, EVAL_DIGITS + 10)))
            if abs(im_v) > mpmath.mpf(10) ** (-EVAL_DIGITS + 5) * max(1, abs(re_v)):
                return None  # a complex value is not the real constant
            return re_v
    except Exception:  # noqa: BLE001 - an answer we cannot evaluate is judged by its own value
        return None


def _judge(c, answer_value) -> dict:
    import mpmath

    if answer_value is None:
        return {"error": None, "within_tol": None, "identity": None}
    with mpmath.workdps(EVAL_DIGITS + 10):
        err = abs(answer_value - c) / abs(c)  # relative, as identify_constant's tolerance
        return {"error": float(err), "within_tol": bool(err <= CONSTANT_TOL),
                "identity": bool(err <= IDENTITY_TOL)}


def identify_vok(value: float, T: float, max_complexity: int | None):
    import vok_learn

    kw = {"time_limit": T, "tolerance": CONSTANT_TOL}
    if max_complexity is not None:
        kw["max_complexity"] = max_complexity
    start = time.perf_counter()
    cands = vok_learn.identify_constant(value, **kw)
    wall = time.perf_counter() - start
    if not cands:
        return None, None, wall
    first = cands[0]
    text = str(getattr(first, "text", first))
    expr = None
    sym = getattr(first, "sympy", None)
    if callable(sym):
        try:
            sym = sym()
        except Exception:  # noqa: BLE001
            sym = None
    try:
        import sympy

        expr = sym if isinstance(sym, sympy.Basic) else _sympy_of_text(text)
    except Exception:  # noqa: BLE001
        expr = None
    ans = _value_of(expr) if expr is not None else None
    if ans is None and getattr(first, "value", None) is not None:
        import mpmath

        ans = mpmath.mpf(float(np.real(first.value)))  # double precision only: no identity check
    extra = {"complexity": getattr(first, "complexity", None), "candidates": len(cands)}
    return text, ans, wall, extra


def identify_mpmath(value: float, constants: list[str]):
    import mpmath
    import sympy

    start = time.perf_counter()
    with mpmath.workdps(15):
        text = mpmath.identify(value, constants, tol=CONSTANT_TOL)
    wall = time.perf_counter() - start
    if text is None:
        return None, None, wall
    expr = sympy.sympify(text, locals={"e": sympy.E, "pi": sympy.pi})
    return text, _value_of(expr), wall


def run_constants(names: list[str] | None, T: float, max_complexity: int | None) -> list[dict]:
    try:
        import vok_learn

        have_vok = hasattr(vok_learn, "identify_constant")
    except ImportError:
        have_vok = False
    try:
        import mpmath  # noqa: F401

        have_mpmath = True
    except ImportError:
        have_mpmath = False
    items = [(n, expr, True, form, tokens) for n, form, tokens, expr in CLASSIC]
    items += [(n, expr, False, None, None) for n, expr in NO_FORM]
    if names is not None:
        items = [it for it in items if it[0] in names]
    records = []
    for name, expr, has_form, form, tokens in items:
        c = _exact_value(expr)
        value = float(c)
        rec = {"name": name, "value": value, "has_form": has_form, "form": form, "form_tokens": tokens,
               "methods": {}}
        for method in CONSTANT_METHODS:
            if method == "identify_constant" and not have_vok:
                rec["methods"][method] = {"status": "unavailable",
                                          "reason": "vok_learn has no identify_constant"}
                continue
            if method.startswith("mpmath") and not have_mpmath:
                rec["methods"][method] = {"status": "unavailable", "reason": "mpmath is not installed"}
                continue
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    if method == "identify_constant":
                        text, ans, wall, *more = identify_vok(value, T, max_complexity)
                    else:
                        text, ans, wall = identify_mpmath(value, [] if method == "mpmath" else ["pi", "e"])
                        more = []
            except Exception as exc:  # noqa: BLE001 - one record, not the run
                rec["methods"][method] = {"status": "failed", "reason": f"{type(exc).__name__}: {exc}"}
                continue
            m = {"status": "ok", "answer": text, "wall_s": wall, **(more[0] if more else {})}
            m.update(_judge(c, ans) if text is not None else {"error": None, "within_tol": None,
                                                               "identity": None})
            if has_form:
                m["found"] = bool(text is not None and m["within_tol"])
                m["wrong"] = bool(text is not None and not m["within_tol"])
            else:
                m["false_match"] = text is not None
            rec["methods"][method] = m
        records.append(rec)
        print(f"  {name:<18}" + "  ".join(f"{k}: {_const_cell(v)}" for k, v in rec["methods"].items()),
              flush=True)
    return records


def _const_cell(m: dict, width: int = 34) -> str:
    if m.get("status") != "ok":
        return m.get("status", "?")
    if m["answer"] is None:
        return "-"
    mark = "=" if m.get("identity") else ("~" if m.get("within_tol") else "x")
    text = m["answer"]
    if len(text) > width - 2:
        text = text[: width - 5] + "..."
    return f"{mark} {text}"


# ---------------------------------------------------------------------------
# Tables
# ---------------------------------------------------------------------------


def _cell(rec: dict, noisy: bool) -> str:
    st = rec.get("status")
    if st != "ok":
        return {"timeout": "timeout", "crashed": "crash", "unavailable": "n/a"}.get(st, "fail")
    c = rec.get("complexity")
    tail = f" {rec['wall_s']:.1f}s" + (f" c{c}" if c is not None else "")
    if not noisy and rec.get("exact"):
        return "EXACT" + tail
    v = rec.get("r2_test_clean")
    if v is None:
        return "nan" + tail
    # Noisy fits all sit near 1: five decimals tell them apart.
    return (f"{v:.{5 if noisy else 4}f}" if v > -10 else "<-10") + tail


def print_table(part: str, problems: list[str], methods: list[str], results: dict) -> None:
    noisy = part == "feynman_noisy"
    width = 18
    print(f"\n{PARTS[part]}")
    print(f"{'problem':<14}" + "".join(f"{m:>{width}}" for m in methods))
    for name in problems:
        row = f"{name:<14}"
        for m in methods:
            rec = results.get(m, {}).get(name)
            row += f"{_cell(rec, noisy) if rec else '':>{width}}"
        print(row)


def _median_r2(recs: list[dict]) -> float | None:
    # A run without a score (failure, timeout, non-finite prediction) ranks
    # below every score, so the median counts it as the failure it is.
    vals = [r.get("r2_test_clean") if r.get("status") == "ok" else None for r in recs]
    vals = [-math.inf if v is None else v for v in vals]
    return statistics.median(vals) if vals else None


def summarize(problems: list[str], methods: list[str], results: dict) -> dict:
    totals = {}
    for m in methods:
        recs = {p: results.get(m, {}).get(p) for p in problems}
        t = {}
        for part in PARTS:
            part_recs = [r for p, r in recs.items() if r is not None and PROBLEMS_BY_NAME[p]["part"] == part]
            if not part_recs:
                continue
            if part == "feynman_noisy":
                t[part] = {"runs": len(part_recs), "median_r2_test_clean": _median_r2(part_recs),
                           "median_r2_test": statistics.median(
                               [-math.inf if r.get("r2_test") is None else r["r2_test"] for r in part_recs])}
            else:
                t[part] = {"runs": len(part_recs), "exact": sum(bool(r.get("exact")) for r in part_recs)}
            t[part]["failures"] = sum(r.get("status") != "ok" for r in part_recs)
            t[part]["wall_s_total"] = sum(r.get("wall_s") or 0.0 for r in part_recs)
        totals[m] = t
    return totals


def print_totals(methods: list[str], totals: dict) -> None:
    print("\nTotals (exact recoveries; median held-out R^2 against the clean law on the noisy variants;"
          " runs that failed or timed out count as misses)")
    print(f"{'method':<20}{'Nguyen exact':>14}{'Feynman exact':>15}{'noisy med R2':>14}"
          f"{'failures':>10}{'wall s':>9}")
    for m in methods:
        t = totals.get(m, {})
        ng = t.get("nguyen", {})
        fy = t.get("feynman", {})
        nz = t.get("feynman_noisy", {})
        med = nz.get("median_r2_test_clean")
        med_s = "-" if med is None else ("fail" if med == -math.inf else f"{med:.6f}")
        fails = sum(v.get("failures", 0) for v in t.values())
        wall = sum(v.get("wall_s_total", 0.0) for v in t.values())
        ng_s = f"{ng['exact']}/{ng['runs']}" if ng else "-"
        fy_s = f"{fy['exact']}/{fy['runs']}" if fy else "-"
        print(f"{m:<20}{ng_s:>14}{fy_s:>15}{med_s:>14}{fails:>10}{wall:>9.0f}")


def print_constants(records: list[dict]) -> dict:
    print("\nConstants (= identity, ~ within the tolerance only, x wrong value, - no answer)")
    print(f"{'constant':<18}{'value':>20}  " + "".join(f"{m:<36}" for m in CONSTANT_METHODS))
    for rec in records:
        print(f"{rec['name']:<18}{rec['value']:>20.15g}  "
              + "".join(f"{_const_cell(rec['methods'].get(m, {})):<36}" for m in CONSTANT_METHODS))
    totals = {}
    print(f"\n{'method':<20}{'found':>10}{'identities':>11}{'wrong':>7}{'false':>9}{'median s':>10}")
    for m in CONSTANT_METHODS:
        ms = [r["methods"].get(m, {}) for r in records]
        ok = [x for x in ms if x.get("status") == "ok"]
        if not ok:
            print(f"{m:<20}{'unavailable':>10}")
            totals[m] = {"status": ms[0].get("status") if ms else None}
            continue
        classic = [x for r, x in zip(records, ms) if r["has_form"] and x.get("status") == "ok"]
        other = [x for r, x in zip(records, ms) if not r["has_form"] and x.get("status") == "ok"]
        t = {"found": sum(x["found"] for x in classic), "classic": len(classic),
             "identities": sum(bool(x["found"] and x.get("identity")) for x in classic),
             "wrong": sum(x["wrong"] for x in classic),
             "false_matches": sum(x["false_match"] for x in other), "others": len(other),
             "median_wall_s": statistics.median(x["wall_s"] for x in ok)}
        totals[m] = t
        print(f"{m:<20}{t['found']:>6}/{t['classic']:<3}{t['identities']:>11}{t['wrong']:>7}"
              f"{t['false_matches']:>6}/{t['others']:<2}{t['median_wall_s']:>10.3f}")
    return totals


# ---------------------------------------------------------------------------
# Main
# ---------------------------------------------------------------------------


def _versions() -> dict:
    from importlib import metadata

    out = {"python": platform.python_version(), "numpy": np.__version__}
    for dist in ("vok_sr", "pyoperon", "gplearn", "scikit-learn", "mpmath", "sympy"):
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = None
    return out


def _uptime() -> str:
    try:
        return subprocess.run(["uptime"], capture_output=True, text=True, check=False).stdout.strip()
    except OSError:
        return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="a few problems and constants, T = 3 s")
    ap.add_argument("--time-limit", type=float, default=None,
                    help=f"seconds per problem and method (default {DEFAULT_TIME_LIMIT:g}, quick {QUICK_TIME_LIMIT:g})")
    ap.add_argument("--only", default="vok,peers,constants",
                    help="comma-separated parts to run: vok, peers, constants (default: all)")
    ap.add_argument("--problems", default=None, help="comma-separated problem names (e.g. nguyen-5,I.12.1+noise)")
    ap.add_argument("--constant-complexity", type=int, default=None,
                    help="max_complexity for identify_constant (default: its own)")
    ap.add_argument("--constant-time-limit", type=float, default=None,
                    help="time_limit for identify_constant (default: the --time-limit)")
    ap.add_argument("--json", default=None, help="write the records and totals to this file")
    ap.add_argument("--serve", default=None, help=argparse.SUPPRESS)
    ap.add_argument("--result-fd", type=int, default=None, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.serve:
        return serve(args.serve, args.result_fd)

    only = {s.strip() for s in args.only.split(",") if s.strip()}
    bad = only - {"vok", "peers", "constants"}
    if bad:
        ap.error(f"--only: unknown part(s) {', '.join(sorted(bad))}")
    T = args.time_limit if args.time_limit is not None else (QUICK_TIME_LIMIT if args.quick else DEFAULT_TIME_LIMIT)

    if args.problems:
        problems = [p.strip() for p in args.problems.split(",") if p.strip()]
        unknown = [p for p in problems if p not in PROBLEMS_BY_NAME]
        if unknown:
            ap.error(f"unknown problem(s): {', '.join(unknown)}")
    elif args.quick:
        problems = list(QUICK_PROBLEMS)
    else:
        problems = [p["name"] for p in PROBLEMS]

    vok_cols, options = vok_methods_available()
    methods = []
    if "vok" in only:
        methods += ["vok_sr", *vok_cols]
    if "peers" in only:
        methods += PEERS
    if not methods:
        problems = []

    meta = {"time_limit_s": T, "quick": args.quick, "cores": CORES, "platform": platform.platform(),
            "versions": _versions(), "vok_options_available": options, "uptime_start": _uptime(),
            "exact_r2_gap": EXACT_R2_GAP, "noise": NOISE, "test_rows": TEST_ROWS,
            "constant_tolerance": CONSTANT_TOL, "identity_tolerance": IDENTITY_TOL}
    print(f"discovery benchmark: T = {T:g} s per problem and method, {len(problems)} problems x "
          f"{len(methods)} methods (at most {len(problems) * len(methods) * T / 60:.0f} min of fits), cores {CORES}")
    print(f"uptime: {meta['uptime_start']}")
    if "vok" in only and not options:
        print("note: VokRegressor has no `ranking`/`constants` parameters yet; one vok_learn column with its defaults")

    log_dir = Path(os.environ.get("TMPDIR", "/tmp")) / f"vok-discovery-{os.getpid()}"
    log_dir.mkdir(parents=True, exist_ok=True)
    workers = {m: Worker(m, log_dir) for m in methods}
    results: dict[str, dict[str, dict]] = {m: {} for m in methods}
    started = time.perf_counter()
    try:
        for i, name in enumerate(problems, 1):
            problem = PROBLEMS_BY_NAME[name]
            line = f"[{i}/{len(problems)}] {name:<14}"
            for m in methods:  # one after another: never two searches at once
                rec = workers[m].run(name, T)
                rec["method"], rec["problem"] = m, name
                results[m][name] = rec
                line += f" {m}={_cell(rec, problem['noise'] > 0).strip()}"
            print(line, flush=True)
    finally:
        for w in workers.values():
            w.stop()
    fits_s = time.perf_counter() - started

    for part in PARTS:
        names = [p for p in problems if PROBLEMS_BY_NAME[p]["part"] == part]
        if names and methods:
            print_table(part, names, methods, results)
    totals = summarize(problems, methods, results)
    if methods and problems:
        print_totals(methods, totals)

    constants, constant_totals = [], {}
    if "constants" in only:
        names = QUICK_CONSTANTS if args.quick else None
        Tc = T if args.constant_time_limit is None else args.constant_time_limit
        meta["constant_time_limit_s"] = Tc
        meta["constant_max_complexity"] = args.constant_complexity
        print(f"\nconstants: identify_constant with time_limit = {Tc:g} s, tolerance {CONSTANT_TOL:g}, "
              f"max_complexity {args.constant_complexity or 'its default'}")
        constants = run_constants(names, Tc, args.constant_complexity)
        constant_totals = print_constants(constants)

    meta["uptime_end"] = _uptime()
    meta["fits_wall_s"] = fits_s
    meta["total_wall_s"] = time.perf_counter() - started
    print(f"\nuptime at the end: {meta['uptime_end']}; total {meta['total_wall_s'] / 60:.1f} min")
    if args.json:
        problem_defs = [{k: PROBLEMS_BY_NAME[p][k] for k in ("name", "part", "law", "vars", "ranges", "rows", "noise")}
                        for p in problems]
        out = {"meta": meta, "methods": methods, "problems": problem_defs,
               "results": [results[m][p] for p in problems for m in methods],
               "totals": totals, "constants": constants, "constant_totals": constant_totals}
        Path(args.json).write_text(json.dumps(_finite_or_none(out), indent=1) + "\n")
        print(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
