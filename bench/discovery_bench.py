"""Discovery benchmark: exact laws and closed-form constants, against the peers.

Run through `make bench-discovery` (which installs the current checkout into
.venv-bench first), or directly with the bench venv's python:

    .venv-bench/bin/python bench/discovery_bench.py [--quick] [--subset 30]
        [--time-limit T] [--only vok|peers|constants[,...]] [--methods M,...]
        [--problems NAME,...] [--json FILE]
    .venv-bench/bin/python bench/discovery_bench.py --summary FILE

Laws: Nguyen 1-12 (noiseless) and the 100 laws of the Feynman Symbolic
Regression Database with its ranges and units (bench/data), noiseless and
with 1 % noise (NAME+noise); 200 held-out rows each. `--subset 30`: the
kit's fixed 30 laws (kit.FEYNMAN_30), noiseless and noisy, at T = 60 s.
Every method gets the same wall-clock budget T per problem (default 10 s),
one method and one problem at a time, never two at once.

Methods (default: vok, vok_units, pyoperon, gplearn): vok is
VokRegressor(time_limit=T) with every other setting at its default;
vok_units the same with the problem's units passed to fit as X_units and
y_units (unavailable where the installed VokRegressor.fit takes no units);
pyoperon (constant fitting, optimizer_iterations=10, max_time = ceil(T), all
cores); gplearn (grown a generation at a time until T). Also available:
vok_sr (Searcher() defaults; no time limit of its own, so its process is
ended at T and the run counts as a timeout), vok_nogrow (grow_terms=0),
vok_units_nogroups (vok_units with dimensionless_groups=False) and
vok_<ranking>_<constants>
(ranking raw/affine, constants fitted/both; with the suffix _unscaled,
chosen with --methods, output_scaling=False). Each method lives in one
worker process for the whole run (imports paid once), stopped and replaced
when it gives no answer within T + 90 s.

Per fit: the held-out R^2 against the clean law; "recovered" by the kit's
rule (R^2 >= 1 - 1e-10, noiseless only); "symbolic" when SymPy finds the
difference or the ratio to the law constant once the selected equation's
constants are rounded to 3 significant digits (kit.symbolic_match); "law"
when it is the law itself with its constants within 1 % (kit.law_within).

Constants: 30 with a known closed form of at most 8 tokens and 6 with none
known, each given as a double to vok_learn.identify_constant and to
mpmath.identify (without constants, and with pi and e). The first answer,
evaluated at 60 digits, is "found" within 1e-12 relative and an "identity"
within 1e-40; any answer for one of the six is a false match.
"""

from __future__ import annotations

import inspect
import json
import math
import statistics
import sys
import time
import warnings

import kit

TEST_ROWS = 200
NOISE = 0.01
SYMBOLIC_LIMIT_S = 30.0  # SymPy's share of a call: the symbolic rule and the 1 % rule
WORKER_GRACE_S = 60.0 + SYMBOLIC_LIMIT_S  # imports, a peer's overrun, the predictions, SymPy
PARTS = {"nguyen": "Nguyen 1-12, noiseless; recovered: " + kit.EXACT_RULE,
         "feynman": "Feynman, noiseless",
         "feynman_noisy": f"Feynman, {NOISE:.0%} noise (held-out R^2 against the clean law)"}
RUNS = ({n: ("nguyen", n, 0.0) for n in kit.NGUYEN} | {n: ("feynman", n, 0.0) for n in kit.FEYNMAN}
        | {f"{n}+noise": ("feynman_noisy", n, NOISE) for n in kit.FEYNMAN})
SUBSET_RUNS = [*kit.FEYNMAN_30, *(f"{n}+noise" for n in kit.FEYNMAN_30)]
QUICK_RUNS = ["nguyen-1", "nguyen-8", "I.12.1", "I.14.3", "I.34.8", "II.38.14", "I.12.1+noise", "I.14.3+noise"]
VOK_VARIANTS = [f"vok_{r}_{c}" for r in ("raw", "affine") for c in ("fitted", "both")]
# vok_nogrow: the defaults without growing past max_complexity (grow_terms=0),
# to measure what growing adds; vok_units_nogroups: vok_units without the
# search over the dimensionless groups, to measure what that adds.
VOK_METHODS = ["vok", "vok_units", "vok_sr", "vok_nogrow", "vok_units_nogroups", *VOK_VARIANTS]
PEERS = ["pyoperon", "gplearn"]
DEFAULT_METHODS = ["vok", "vok_units", *PEERS]
# The pair whose unrecovered laws the approximation figure is taken over.
REFERENCE = ("vok", "pyoperon")


def fit_takes_units() -> bool:
    from vok_learn import VokRegressor

    params = inspect.signature(VokRegressor.fit).parameters
    return "X_units" in params and "y_units" in params


def found_sympy(method: str, model, symbols):
    """The selected equation as SymPy over the problem's symbols, or None
    where the method gives no formula to read (vok_sr)."""
    if method.startswith("vok_sr"):
        return None
    if method.startswith("vok"):
        return kit.rename_symbols(model.sympy(), symbols, "x")
    if method == "pyoperon":
        return kit.parse_formula(model.get_model_string(model.model_, 17),
                                 {f"X{i + 1}": s for i, s in enumerate(symbols)})
    return kit.gplearn_sympy(str(model._program), symbols)


def compare_law(method: str, model, problem: kit.Problem, data: kit.Data) -> dict:
    """The symbolic rule and the 1 % rule for the selected equation against
    the law, on the held-out rows, each within SYMBOLIC_LIMIT_S / 2."""
    if problem.formula is None:
        return {}
    syms = problem.symbols()
    try:
        found = found_sympy(method, model, syms)
    except Exception as exc:  # noqa: BLE001 - a formula SymPy cannot read
        return {"symbolic_error": f"{type(exc).__name__}: {exc}"}
    if found is None:
        return {}
    law, out = problem.sympy(), {"sympy": str(found)}
    try:
        match = kit.symbolic_match(found, law, syms, data.X_test, limit_s=SYMBOLIC_LIMIT_S / 2)
        out.update(symbolic=match["kind"] if match else False, symbolic_constant=match and match["constant"])
    except Exception as exc:  # noqa: BLE001 - SymPy out of time, or beyond its means
        out.update(symbolic=None, symbolic_error=f"{type(exc).__name__}: {exc}")
    try:
        with kit.time_limit(SYMBOLIC_LIMIT_S / 2):
            out["law_within_1pct"] = kit.law_within(found, law, syms, data.X_test)
    except Exception as exc:  # noqa: BLE001
        out.update(law_within_1pct=None, law_within_error=f"{type(exc).__name__}: {exc}")
    return out


def work(method: str, name: str, noise: float, T: float) -> dict:
    """One fit and its scores, inside the method's kit.Worker."""
    problem = kit.PROBLEMS[name]
    data = kit.sample(problem, test_rows=TEST_ROWS, noise=noise)
    X, y, seed = data.X, data.y, kit.seed_of(name)
    if method == "vok_sr":
        rec, model = kit.fit_vok_sr(X, y, alarm_s=T)
    elif method == "pyoperon":
        rec, model = kit.fit_pyoperon(X, y, seed, max_time=int(math.ceil(T)), **kit.PYOPERON_TIMED)
    elif method == "gplearn":
        rec, model = kit.fit_gplearn(X, y, seed, generations=10**6, time_limit=T)
    elif method == "vok":
        rec, model = kit.fit_vok_learn(X, y, time_limit=T)
    elif method == "vok_nogrow":
        rec, model = kit.fit_vok_learn(X, y, time_limit=T, grow_terms=0)
    elif method in ("vok_units", "vok_units_nogroups"):
        if problem.units is None:
            return {"status": "unavailable", "reason": "the problem has no units"}
        if not fit_takes_units():
            return {"status": "unavailable", "reason": "VokRegressor.fit takes no X_units / y_units"}
        rec, model = kit.fit_vok_learn(X, y, fit_params={"X_units": list(problem.units), "y_units": problem.y_units},
                                       time_limit=T, **({} if method == "vok_units" else {"dimensionless_groups": False}))
        rec.update(X_units=list(problem.units), y_units=problem.y_units)
    else:
        _, ranking, constants, *unscaled = method.split("_")
        rec, model = kit.fit_vok_learn(X, y, time_limit=T, ranking=ranking, constants=constants,
                                       output_scaling=not unscaled)
    kit.score(rec, model, data, noise)
    rec.update(compare_law(method, model, problem, data))
    return rec


def cell(rec: dict, noisy: bool) -> str:
    """A fit in the tables: EXACT (recovered) or the held-out R^2, the wall
    time and complexity, then S (symbolic rule) and L (the law within 1 %)."""
    if rec.get("status") != "ok":
        return {"unavailable": "n/a"}.get(rec.get("status"), rec.get("status"))
    marks = ("S" if rec.get("symbolic") else "") + ("L" if rec.get("law_within_1pct") else "")
    tail = f" {rec['wall_s']:.1f}s c{rec.get('complexity')}" + (f" {marks}" if marks else "")
    if rec.get("exact"):
        return "EXACT" + tail
    v = rec.get("r2_test_clean")
    # Noisy fits all sit near 1: five decimals tell them apart.
    return ("nan" if v is None else f"{v:.{5 if noisy else 4}f}" if v > -10 else "<-10") + tail


def _median(values) -> float | None:
    # A run without a score (failure, timeout, non-finite prediction) ranks
    # below every score, so the median counts it as the miss it is.
    return statistics.median(-math.inf if v is None else v for v in values) if values else None


def _gap(rec: dict) -> float:
    """1 - R^2 on the held-out rows against the clean law; a run without a
    score counts as infinitely far."""
    v = rec.get("r2_test_clean") if rec.get("status") == "ok" else None
    return math.inf if v is None else 1.0 - v


def _median_gap(recs: list[dict]) -> float | None:
    return statistics.median(_gap(r) for r in recs) if recs else None


def unrecovered(runs: list[str], methods: list[str], results: dict) -> list[str]:
    """The noiseless Feynman laws that neither reference method (vok and
    pyoperon; every method in the run when neither ran) recovered."""
    ref = [m for m in REFERENCE if m in methods and any(results[m][r].get("status") != "unavailable" for r in runs)]
    ref = ref or methods
    return [r for r in runs if RUNS[r][0] == "feynman" and not any(results[m][r].get("exact") for m in ref)]


def summarize(runs: list[str], methods: list[str], results: dict) -> dict:
    totals = {}
    hard = unrecovered(runs, methods, results)
    for m in methods:
        totals[m] = {}
        for part in PARTS:
            recs = [results[m][r] for r in runs if RUNS[r][0] == part]
            if not recs:
                continue
            ran = [r for r in recs if r.get("status") != "unavailable"]
            t = {"runs": len(recs), "unavailable": len(recs) - len(ran),
                 "failures": sum(r.get("status") not in ("ok", "unavailable") for r in recs),
                 "wall_s_total": sum(r.get("wall_s") or 0.0 for r in ran),
                 "symbolic": sum(bool(r.get("symbolic")) for r in ran),
                 "law_within_1pct": sum(bool(r.get("law_within_1pct")) for r in ran),
                 "median_gap": _median_gap(ran)}
            if part == "feynman_noisy":
                t["median_r2_test_clean"] = _median([r.get("r2_test_clean") for r in ran])
                t["median_r2_test"] = _median([r.get("r2_test") for r in ran])
            else:
                t["exact"] = sum(bool(r.get("exact")) for r in ran)
            if part == "feynman":
                t["unrecovered_laws"] = len(hard)
                t["median_gap_unrecovered"] = _median_gap([results[m][r] for r in hard
                                                           if results[m][r].get("status") != "unavailable"])
            totals[m][part] = t
    return totals


def _count(t: dict | None, key: str) -> str:
    if not t:
        return "-"
    n = t["runs"] - t["unavailable"]
    return "n/a" if n == 0 else f"{t[key]}/{n}"


def _g(v) -> str:
    return "-" if v is None else "inf" if v == math.inf else f"{v:.2g}"


def print_fits(runs: list[str], methods: list[str], results: dict, totals: dict) -> None:
    for part, title in PARTS.items():
        if names := [r for r in runs if RUNS[r][0] == part]:
            print(f"\n{title}  (S: symbolic rule, L: the law with its constants within 1 %)")
            kit.table(["problem", *methods], [[r, *(cell(results[m][r], part == "feynman_noisy") for m in methods)]
                                              for r in names])
    print_summary(methods, totals)


def print_summary(methods: list[str], totals: dict) -> None:
    hard = next((t["feynman"]["unrecovered_laws"] for t in totals.values() if "feynman" in t), 0)
    print("\nSummary. Noiseless: recovered (held-out R^2 >= 1 - 1e-10 against the law), symbolic rule, the law"
          " within 1 %,\n  median held-out 1 - R^2 over all Feynman laws and over the"
          f" {hard} that neither {' nor '.join(REFERENCE)} recovered.\nNoisy ({NOISE:.0%}): median held-out R^2"
          " against the clean law, symbolic rule, law within 1 %.\nA failed or timed-out run counts as a miss"
          " (1 - R^2 = inf).")
    rows = []
    for m in methods:
        t = totals[m]
        f, nz = t.get("feynman"), t.get("feynman_noisy")
        med = nz.get("median_r2_test_clean") if nz else None
        rows.append([m, _count(t.get("nguyen"), "exact"), _count(f, "exact"), _count(f, "symbolic"),
                     _count(f, "law_within_1pct"), _g(f and f["median_gap"]), _g(f and f["median_gap_unrecovered"]),
                     "-" if med is None else "fail" if med == -math.inf else f"{med:.6f}",
                     _count(nz, "symbolic"), _count(nz, "law_within_1pct"),
                     sum(v["failures"] for v in t.values()), f"{sum(v['wall_s_total'] for v in t.values()):.0f}"])
    kit.table(["method", "Nguyen", "Feynman", "symbolic", "law 1%", "med 1-R2", f"unrec. ({hard})",
               "noisy med R2", "symbolic", "law 1%", "failures", "wall s"], rows)


def show(path) -> int:
    """Prints the tables of a results file written earlier."""
    results = json.loads(open(path).read())
    methods = results["methods"]
    runs = [p["name"] for p in results["problems"]]
    fits = {m: {} for m in methods}
    for rec in results.get("results", []):
        fits[rec["method"]][rec["problem"]] = rec
    meta = results["meta"]
    print(f"{path}: T = {meta['settings'].get('time_limit_s')} s, quick {meta.get('quick')}, "
          f"subset {meta['settings'].get('subset')}, cores {meta.get('cores')}, started {meta.get('started')}")
    if runs:
        print_fits(runs, methods, fits, summarize(runs, methods, fits))
    if results.get("constants"):
        print_constants(results["constants"], results["constant_totals"])
    return 0


# --- Constants ---

CONSTANT_TOL = 1e-12
IDENTITY_TOL = 1e-40
EVAL_DIGITS = 60

# (name, shortest closed form known in the engine's tokens, its token count,
# the value as SymPy text). Token counts are postfix: a leaf or an operator
# is one token, and integers are built from 1 (the named constants are 0, 1,
# i, pi and e). The golden ratio is left out: its shortest form here is 13
# tokens.
CLASSIC = [
    ("pi", "Pi", 1, "pi"), ("e", "E", 1, "E"), ("sqrt(2)", "Sqrt(1 + 1)", 4, "sqrt(2)"),
    ("sqrt(3)", "Sqrt(1 + 1 + 1)", 6, "sqrt(3)"), ("sqrt(5)", "Sqrt(1 + Square(1 + 1))", 7, "sqrt(5)"),
    ("ln 2", "Log(1 + 1)", 4, "log(2)"), ("ln 3", "Log(1 + 1 + 1)", 6, "log(3)"),
    ("pi^2", "Square(Pi)", 2, "pi**2"), ("pi^3", "Cube(Pi)", 2, "pi**3"), ("e^2", "Square(E)", 2, "E**2"),
    ("1/pi", "Inv(Pi)", 2, "1/pi"), ("1/e", "Inv(E)", 2, "exp(-1)"), ("sqrt(pi)", "Sqrt(Pi)", 2, "sqrt(pi)"),
    ("sqrt(e)", "Sqrt(E)", 2, "sqrt(E)"), ("pi/2", "ArcCos(0)", 2, "pi/2"), ("pi/4", "ArcTan(1)", 2, "pi/4"),
    ("pi/3", "ArcCos(Inv(1 + 1))", 5, "pi/3"), ("zeta(2) = pi^2/6", "Pi ArcSin(1 / (1 + 1))", 8, "pi**2/6"),
    ("2 pi", "Pi + Pi", 3, "2*pi"), ("e^pi", "Exp(Pi)", 2, "exp(pi)"), ("pi^e", "Exp(E Log(Pi))", 5, "pi**E"),
    ("e^e", "Exp(E)", 2, "exp(E)"), ("ln pi", "Log(Pi)", 2, "log(pi)"),
    ("i^i = e^(-pi/2)", "Exp(Neg(ArcCos(0)))", 4, "exp(-pi/2)"), ("sqrt(2 pi)", "Sqrt(Pi + Pi)", 4, "sqrt(2*pi)"),
    ("1/sqrt(2)", "Inv(Sqrt(1 + 1))", 5, "1/sqrt(2)"), ("1 + sqrt(2)", "1 + Sqrt(1 + 1)", 6, "1 + sqrt(2)"),
    ("cosh(1)", "(E + Inv(E)) / (1 + 1)", 8, "cosh(1)"), ("sin(1)", "Sin(1)", 2, "sin(1)"), ("pi e", "Pi E", 3, "pi*E"),
]
# No closed form in elementary functions of 0, 1, i, pi and e is known for
# any of these (Glaisher's A = exp(1/12 - zeta'(-1)), Feigenbaum's delta is a
# root of a functional equation), so any answer is a false match.
NO_FORM = [("Euler gamma", "EulerGamma"), ("Catalan G", "Catalan"), ("zeta(3)", "zeta(3)"),
           ("Khinchin K", "mpmath:khinchin"), ("Glaisher A", "mpmath:glaisher"),
           ("Feigenbaum delta", "num:4.669201609102990671853203820466201617258185577475768632745651343004134")]
QUICK_CONSTANTS = ["pi", "sqrt(2)", "zeta(2) = pi^2/6", "Euler gamma", "zeta(3)"]
CONSTANT_METHODS = ["identify_constant", "mpmath", "mpmath_pi_e"]


def exact_value(expr: str):
    """The constant to EVAL_DIGITS digits, as an mpmath number."""
    import mpmath
    import sympy

    with mpmath.workdps(EVAL_DIGITS + 10):
        kind, _, rest = expr.partition(":")
        if kind == "mpmath":
            return +getattr(mpmath, rest)
        if kind == "num":
            return mpmath.mpf(rest)
        return mpmath.mpf(str(sympy.N(sympy.sympify(expr), EVAL_DIGITS + 10)))


def value_of(expr):
    """A SymPy expression's real value to EVAL_DIGITS digits, or None (a
    complex value is not the real constant; an unevaluable one has none)."""
    import mpmath
    import sympy

    try:
        with mpmath.workdps(EVAL_DIGITS + 10):
            re, im = (mpmath.mpf(str(sympy.N(p, EVAL_DIGITS + 10))) for p in
                      sympy.N(expr, EVAL_DIGITS + 10).as_real_imag())
            return None if abs(im) > mpmath.mpf(10) ** (5 - EVAL_DIGITS) * max(1, abs(re)) else re
    except Exception:  # noqa: BLE001
        return None


def identify(method: str, value: float, T: float, max_complexity: int | None):
    """The method's first answer: (text, its value or None, extra fields)."""
    import mpmath
    import sympy

    if method == "identify_constant":
        import vok_learn

        kw = {"max_complexity": max_complexity} if max_complexity else {}
        forms = vok_learn.identify_constant(value, time_limit=T, tolerance=CONSTANT_TOL, **kw)
        if not forms:
            return None, None, {}
        return forms[0].text, value_of(forms[0].sympy), {"complexity": forms[0].complexity, "candidates": len(forms)}
    with mpmath.workdps(15):
        text = mpmath.identify(value, [] if method == "mpmath" else ["pi", "e"], tol=CONSTANT_TOL)
    if text is None:
        return None, None, {}
    return text, value_of(sympy.sympify(text, locals={"e": sympy.E, "pi": sympy.pi})), {}


def run_constants(names: list[str] | None, T: float, max_complexity: int | None) -> list[dict]:
    import mpmath

    items = [(n, expr, form, tokens) for n, form, tokens, expr in CLASSIC] + [(n, e, None, None) for n, e in NO_FORM]
    records = []
    for name, expr, form, tokens in items:
        if names is not None and name not in names:
            continue
        c = exact_value(expr)
        rec = {"name": name, "value": float(c), "has_form": form is not None, "form": form, "form_tokens": tokens,
               "methods": {}}
        for method in CONSTANT_METHODS:
            start = time.perf_counter()
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    text, ans, extra = identify(method, float(c), T, max_complexity)
            except ImportError as exc:
                rec["methods"][method] = {"status": "unavailable", "reason": f"{type(exc).__name__}: {exc}"}
                continue
            except Exception as exc:  # noqa: BLE001 - one record, not the run
                rec["methods"][method] = {"status": "failed", "reason": f"{type(exc).__name__}: {exc}"}
                continue
            m = {"status": "ok", "answer": text, "wall_s": time.perf_counter() - start, **extra,
                 "error": None, "within_tol": None, "identity": None}
            if ans is not None:
                with mpmath.workdps(EVAL_DIGITS + 10):
                    err = abs(ans - c) / abs(c)  # relative, as identify_constant reads its tolerance
                m.update(error=float(err), within_tol=bool(err <= CONSTANT_TOL), identity=bool(err <= IDENTITY_TOL))
            if form is not None:
                m["found"] = bool(text is not None and m["within_tol"])
                m["wrong"] = bool(text is not None and not m["within_tol"])
            else:
                m["false_match"] = text is not None
            rec["methods"][method] = m
        records.append(rec)
        print(f"  {name:<18}" + "  ".join(f"{k}: {const_cell(v)}" for k, v in rec["methods"].items()), flush=True)
    return records


def const_cell(m: dict, width: int = 34) -> str:
    if m.get("status") != "ok":
        return m.get("status", "?")
    if m["answer"] is None:
        return "-"
    text = m["answer"] if len(m["answer"]) <= width - 2 else m["answer"][: width - 5] + "..."
    return ("=" if m.get("identity") else "~" if m.get("within_tol") else "x") + " " + text


def constant_totals(records: list[dict]) -> dict:
    totals = {}
    for m in CONSTANT_METHODS:
        ok = [(r, r["methods"][m]) for r in records if r["methods"].get(m, {}).get("status") == "ok"]
        if not ok:
            totals[m] = {"status": "unavailable"}
            continue
        classic = [x for r, x in ok if r["has_form"]]
        other = [x for r, x in ok if not r["has_form"]]
        totals[m] = {"found": sum(x["found"] for x in classic), "classic": len(classic),
                     "identities": sum(bool(x["found"] and x["identity"]) for x in classic),
                     "wrong": sum(x["wrong"] for x in classic), "false_matches": sum(x["false_match"] for x in other),
                     "others": len(other), "median_wall_s": statistics.median(x["wall_s"] for _, x in ok)}
    return totals


def print_constants(records: list[dict], totals: dict) -> None:
    print("\nConstants (= identity, ~ within the tolerance only, x wrong value, - no answer)")
    kit.table(["constant", "value", *CONSTANT_METHODS],
              [[r["name"], f"{r['value']:.15g}", *(const_cell(r["methods"][m]) for m in CONSTANT_METHODS)]
               for r in records])
    print()
    kit.table(["method", "found", "identities", "wrong", "false", "median s"],
              [[m, "unavailable", "", "", "", ""] if "found" not in t else
               [m, f"{t['found']}/{t['classic']}", t["identities"], t["wrong"], f"{t['false_matches']}/{t['others']}",
                f"{t['median_wall_s']:.3f}"] for m, t in totals.items()])


def main(argv: list[str]) -> int:
    ap = kit.parser(__doc__)
    ap.add_argument("--time-limit", type=float, help="seconds per problem and method (default 10; --subset 60;"
                    " quick 3)")
    ap.add_argument("--subset", type=int, choices=[30], help="the fixed 30-law subset (kit.FEYNMAN_30), noiseless"
                    " and noisy, at T = 60 s unless --time-limit")
    ap.add_argument("--only", help="comma-separated parts: vok, peers, constants (default all three; with --subset"
                    " vok and peers)")
    ap.add_argument("--methods", help="comma-separated methods, instead of --only's vok and peers: "
                    + ",".join(VOK_METHODS + PEERS) + f" (default {','.join(DEFAULT_METHODS)})")
    ap.add_argument("--problems", help="comma-separated problem names (e.g. nguyen-5,I.12.1+noise)")
    ap.add_argument("--constant-complexity", type=int, help="max_complexity for identify_constant (default: its own)")
    ap.add_argument("--constant-time-limit", type=float, help="time_limit for identify_constant (default T)")
    ap.add_argument("--summary", type=str, metavar="FILE", help="print the tables of a results file and exit")
    args = ap.parse_args(argv)
    if args.summary:
        return show(args.summary)
    only = kit.names(ap, args.only, ["vok", "peers", "constants"],
                     ["vok", "peers"] if args.subset else ["vok", "peers", "constants"])
    T = args.time_limit or (3.0 if args.quick else 60.0 if args.subset else 10.0)
    defaults = [m for m in DEFAULT_METHODS if ("peers" if m in PEERS else "vok") in only]
    unscaled = [m + "_unscaled" for m in VOK_VARIANTS]
    methods = kit.names(ap, args.methods, VOK_METHODS + unscaled + PEERS, defaults)
    default_runs = QUICK_RUNS if args.quick else SUBSET_RUNS if args.subset else list(RUNS)
    runs = kit.names(ap, args.problems, list(RUNS), default_runs) if methods else []

    name = "discovery-subset30-results" if args.subset else "discovery-results"
    results = {"meta": kit.meta(args.quick, time_limit_s=T, subset=args.subset, noise=NOISE, test_rows=TEST_ROWS,
                                symbolic_rule="SymPy finds found - law or found / law constant once found's constants"
                                " are rounded to 3 significant digits (kit.symbolic_match)",
                                law_rule="the law itself with its constants within 1 % (kit.law_within)",
                                unrecovered_reference=list(REFERENCE),
                                units_inconsistent=[n for n in kit.FEYNMAN
                                                    if kit.units_consistent(kit.PROBLEMS[n]) is False],
                                constant_tolerance=CONSTANT_TOL, identity_tolerance=IDENTITY_TOL),
               "methods": methods,
               "problems": [{**kit.PROBLEMS[RUNS[r][1]].describe(), "name": r, "law_name": RUNS[r][1],
                             "part": RUNS[r][0], "noise": RUNS[r][2]} for r in runs]}
    print(f"discovery benchmark: T = {T:g} s per problem and method, {len(runs)} problems x {len(methods)} "
          f"methods (at most {len(runs) * len(methods) * T / 60:.0f} min of fits), cores {kit.CORES}")
    workers = {m: kit.Worker("discovery_bench") for m in methods}
    fits: dict[str, dict] = {m: {} for m in methods}
    started = time.perf_counter()
    try:
        for i, run in enumerate(runs, 1):
            part, name_, noise = RUNS[run]
            line = f"[{i}/{len(runs)}] {run:<14}"
            for m in methods:
                rec, _ = workers[m].call("work", m, name_, noise, T, limit_s=T + WORKER_GRACE_S)
                if rec["status"] == "timeout":
                    rec["wall_s"] = T  # the budget it was given, in the totals
                fits[m][run] = {"method": m, "problem": run, **rec}
                line += f" {m}={cell(rec, noise > 0).strip()}"
            print(line, flush=True)
    finally:
        for w in workers.values():
            w.stop()
    results["meta"]["fits_wall_s"] = time.perf_counter() - started
    results["results"] = [fits[m][r] for r in runs for m in methods]
    results["totals"] = summarize(runs, methods, fits)
    if runs:
        print_fits(runs, methods, fits, results["totals"])

    if "constants" in only:
        Tc = args.constant_time_limit or T
        results["meta"].update(constant_time_limit_s=Tc, constant_max_complexity=args.constant_complexity)
        print(f"\nconstants: identify_constant with time_limit = {Tc:g} s, tolerance {CONSTANT_TOL:g}")
        try:
            results["constants"] = run_constants(QUICK_CONSTANTS if args.quick else None, Tc, args.constant_complexity)
        except ImportError as exc:  # mpmath or SymPy, the references
            print(f"constants: unavailable ({exc})")
        else:
            results["constant_totals"] = constant_totals(results["constants"])
            print_constants(results["constants"], results["constant_totals"])
    kit.write_results(kit.results_path(args, name), results)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
