"""Discovery benchmark: exact laws and closed-form constants, against the peers.

Run through `make bench-discovery` (which installs the current checkout into
.venv-bench first), or directly with the bench venv's python:

    .venv-bench/bin/python bench/discovery_bench.py [--quick] [--time-limit T]
        [--only vok|peers|constants[,...]] [--problems NAME,...] [--json FILE]

Every method gets the same wall-clock budget T per problem (default 8 s),
one method and one problem at a time, never two at once, on Nguyen 1-12 and
eighteen Feynman laws (noiseless, and with 1 % noise: NAME+noise), with
200 held-out rows. Methods: vok_sr (Searcher() defaults; no time limit of
its own, so its process is ended at T and the run counts as a timeout),
vok_<ranking>_<constants> (VokRegressor(time_limit=T) for ranking raw/affine
and constants fitted/both; vok_<ranking>_<constants>_unscaled, chosen with
--methods, with output_scaling=False), pyoperon (constant fitting on, max_time =
ceil(T)) and gplearn (grown a generation at a time until T). Each method
lives in one worker process for the whole run (imports paid once), stopped
and replaced when it gives no answer within T + 60 s.

Constants: 30 with a known closed form of at most 8 tokens and 6 with none
known, each given as a double to vok_learn.identify_constant and to
mpmath.identify (without constants, and with pi and e). The first answer,
evaluated at 60 digits, is "found" within 1e-12 relative and an "identity"
within 1e-40; any answer for one of the six is a false match.
"""

from __future__ import annotations

import math
import statistics
import sys
import time
import warnings

import kit

TEST_ROWS = 200
NOISE = 0.01
WORKER_GRACE_S = 60.0  # imports, a peer's overrun of its own limit, the predictions
PARTS = {"nguyen": "Nguyen 1-12, noiseless; EXACT: " + kit.EXACT_RULE,
         "feynman": "Feynman, noiseless",
         "feynman_noisy": f"Feynman, {NOISE:.0%} noise (held-out R^2 against the clean law)"}
RUNS = ({n: ("nguyen", n, 0.0) for n in kit.NGUYEN} | {n: ("feynman", n, 0.0) for n in kit.FEYNMAN}
        | {f"{n}+noise": ("feynman_noisy", n, NOISE) for n in kit.FEYNMAN})
QUICK_RUNS = ["nguyen-1", "nguyen-5", "I.12.1", "I.34.8", "I.12.1+noise"]
VOK_METHODS = [f"vok_{r}_{c}" for r in ("raw", "affine") for c in ("fitted", "both")]
PEERS = ["pyoperon", "gplearn"]


def work(method: str, name: str, noise: float, T: float) -> dict:
    """One fit and its scores, inside the method's kit.Worker."""
    data = kit.sample(kit.PROBLEMS[name], test_rows=TEST_ROWS, noise=noise)
    X, y, seed = data.X, data.y, kit.seed_of(name)
    if method == "vok_sr":
        rec, model = kit.fit_vok_sr(X, y, alarm_s=T)
    elif method == "pyoperon":
        rec, model = kit.fit_pyoperon(X, y, seed, max_time=int(math.ceil(T)), **kit.PYOPERON_TIMED)
    elif method == "gplearn":
        rec, model = kit.fit_gplearn(X, y, seed, generations=10**6, time_limit=T)
    else:
        _, ranking, constants, *unscaled = method.split("_")
        rec, model = kit.fit_vok_learn(X, y, time_limit=T, ranking=ranking, constants=constants,
                                       output_scaling=not unscaled)
    return kit.score(rec, model, data, noise)


def cell(rec: dict, noisy: bool) -> str:
    if rec.get("status") != "ok":
        return {"unavailable": "n/a"}.get(rec.get("status"), rec.get("status"))
    tail = f" {rec['wall_s']:.1f}s c{rec.get('complexity')}"
    if rec.get("exact"):
        return "EXACT" + tail
    v = rec.get("r2_test_clean")
    # Noisy fits all sit near 1: five decimals tell them apart.
    return ("nan" if v is None else f"{v:.{5 if noisy else 4}f}" if v > -10 else "<-10") + tail


def _median(values) -> float | None:
    # A run without a score (failure, timeout, non-finite prediction) ranks
    # below every score, so the median counts it as the miss it is.
    return statistics.median(-math.inf if v is None else v for v in values) if values else None


def summarize(runs: list[str], methods: list[str], results: dict) -> dict:
    totals = {}
    for m in methods:
        totals[m] = {}
        for part in PARTS:
            recs = [results[m][r] for r in runs if RUNS[r][0] == part]
            if not recs:
                continue
            t = {"runs": len(recs), "failures": sum(r.get("status") != "ok" for r in recs),
                 "wall_s_total": sum(r.get("wall_s") or 0.0 for r in recs)}
            if part == "feynman_noisy":
                t["median_r2_test_clean"] = _median([r.get("r2_test_clean") for r in recs])
                t["median_r2_test"] = _median([r.get("r2_test") for r in recs])
            else:
                t["exact"] = sum(bool(r.get("exact")) for r in recs)
            totals[m][part] = t
    return totals


def print_fits(runs: list[str], methods: list[str], results: dict, totals: dict) -> None:
    for part, title in PARTS.items():
        if names := [r for r in runs if RUNS[r][0] == part]:
            print(f"\n{title}")
            kit.table(["problem", *methods], [[r, *(cell(results[m][r], part == "feynman_noisy") for m in methods)]
                                              for r in names])
    print("\nTotals (exact recoveries; median held-out R^2 against the clean law on the noisy variants;"
          " failed or timed-out runs count as misses)")
    rows = []
    for m in methods:
        t = totals[m]
        med = t.get("feynman_noisy", {}).get("median_r2_test_clean")
        rows.append([m, *(f"{t[p]['exact']}/{t[p]['runs']}" if p in t else "-" for p in ("nguyen", "feynman")),
                     "-" if med is None else "fail" if med == -math.inf else f"{med:.6f}",
                     sum(v["failures"] for v in t.values()), f"{sum(v['wall_s_total'] for v in t.values()):.0f}"])
    kit.table(["method", "Nguyen exact", "Feynman exact", "noisy med R2", "failures", "wall s"], rows)


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
    ap.add_argument("--time-limit", type=float, help="seconds per problem and method (default 8, quick 3)")
    ap.add_argument("--only", default="vok,peers,constants", help="comma-separated parts: vok, peers, constants")
    ap.add_argument("--problems", help="comma-separated problem names (e.g. nguyen-5,I.12.1+noise)")
    ap.add_argument("--constant-complexity", type=int, help="max_complexity for identify_constant (default: its own)")
    ap.add_argument("--constant-time-limit", type=float, help="time_limit for identify_constant (default T)")
    ap.add_argument("--methods", help="comma-separated methods of the chosen parts (default: all but the "
                    "vok_*_unscaled ones, which run with output_scaling=False)")
    args = ap.parse_args(argv)
    only = kit.names(ap, args.only, ["vok", "peers", "constants"], [])
    T = args.time_limit or (3.0 if args.quick else 8.0)
    vok = ["vok_sr", *VOK_METHODS] if "vok" in only else []
    peers = PEERS if "peers" in only else []
    known = vok + [m + "_unscaled" for m in VOK_METHODS if vok] + peers
    methods = kit.names(ap, args.methods, known, vok + peers)
    runs = kit.names(ap, args.problems, list(RUNS), QUICK_RUNS if args.quick else list(RUNS)) if methods else []

    results = {"meta": kit.meta(args.quick, time_limit_s=T, noise=NOISE, test_rows=TEST_ROWS,
                                constant_tolerance=CONSTANT_TOL, identity_tolerance=IDENTITY_TOL),
               "methods": methods, "problems": [{"name": r, "part": RUNS[r][0], "noise": RUNS[r][2],
                                                 **kit.PROBLEMS[RUNS[r][1]].describe()} for r in runs]}
    print(f"discovery benchmark: T = {T:g} s per problem and method, {len(runs)} problems x {len(methods)} "
          f"methods (at most {len(runs) * len(methods) * T / 60:.0f} min of fits), cores {kit.CORES}")
    workers = {m: kit.Worker("discovery_bench") for m in methods}
    fits: dict[str, dict] = {m: {} for m in methods}
    started = time.perf_counter()
    try:
        for i, run in enumerate(runs, 1):
            part, name, noise = RUNS[run]
            line = f"[{i}/{len(runs)}] {run:<14}"
            for m in methods:
                rec, _ = workers[m].call("work", m, name, noise, T, limit_s=T + WORKER_GRACE_S)
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
    kit.write_results(kit.results_path(args, "discovery-results"), results)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
