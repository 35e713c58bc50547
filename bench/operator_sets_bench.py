"""What an operator set alone gives: smaller levels and more laws in the same time.

Run with a Python that has the current checkout's vok_learn installed (the
bench venv after `make bench-wheel`, or the checkout's .venv after
`make py-install`):

    .venv/bin/python bench/operator_sets_bench.py [--quick] [--time-limit T]
        [--level-seconds S] [--problems NAME,...] [--json FILE]

Two parts, every other setting at VokRegressor's default:

- Level sizes: one search of three variables on 50 rows (the problem
  "three-var", sin(x) y + z^2), with every operator and with + - * /, each
  run exhaustively up to level 9 or for S seconds (default 60, quick 20);
  per level the admitted candidates, the seconds it took and the
  candidates scored a second, from the engine's level events.
- Discovery: Feynman laws of the discovery benchmark (noiseless, 200
  held-out rows, the same exact-recovery rule) with VokRegressor(time_limit=T)
  (default 8 s, quick 3 s): every operator, against the set a user who
  knows the law's form would give, + - * / and the functions the law uses.
"""

from __future__ import annotations

import sys
import time

import kit

ARITHMETIC = ["+", "-", "*", "/"]
# The functions each Feynman law uses besides arithmetic.
FUNCTIONS = {"I.18.12": ["sin"], "I.40.1": ["exp"], "I.44.4": ["log"], "I.47.23": ["sqrt"],
             "I.50.26": ["cos"], "III.17.37": ["cos"]}
QUICK_PROBLEMS = ["I.12.4", "I.34.8", "I.47.23", "II.2.42", "III.17.37"]
LEVEL_PROBLEM = "three-var"
MAX_LEVEL = 9
TEST_ROWS = 200


def level_sizes(operators: list[str] | None, seconds: float) -> list[dict]:
    """The level events of one search on the level problem."""
    from vok_learn import _engine
    from vok_learn._operators import resolve_operators

    data = kit.sample(kit.PROBLEMS[LEVEL_PROBLEM])
    events: list[dict] = []
    _engine.search(data.X, data.y, max_complexity=MAX_LEVEL, exhaustive=True, ranking="affine",
                   time_limit=seconds, operators=resolve_operators(operators),
                   callback=lambda e: events.append(dict(e)) if e["kind"] == "level" else None)
    return events


def discovery(name: str, operators: list[str] | None, T: float) -> dict:
    data = kit.sample(kit.PROBLEMS[name], test_rows=TEST_ROWS)
    params = {} if operators is None else {"operators": operators}
    rec, model = kit.fit_vok_learn(data.X, data.y, time_limit=T, **params)
    return kit.score(rec, model, data)


def main(argv: list[str]) -> int:
    ap = kit.parser(__doc__)
    ap.add_argument("--time-limit", type=float, help="seconds per discovery fit (default 8, quick 3)")
    ap.add_argument("--level-seconds", type=float, help="seconds per level-size search (default 60, quick 20)")
    ap.add_argument("--problems", help="comma-separated Feynman laws (default: all eighteen, quick: five)")
    args = ap.parse_args(argv)
    T = args.time_limit or (3.0 if args.quick else 8.0)
    S = args.level_seconds or (20.0 if args.quick else 60.0)
    problems = kit.names(ap, args.problems, kit.FEYNMAN, QUICK_PROBLEMS if args.quick else kit.FEYNMAN)
    results: dict = {"meta": kit.meta(args.quick, time_limit_s=T, level_seconds=S, level_problem=LEVEL_PROBLEM,
                                      small_set=ARITHMETIC, functions=FUNCTIONS)}

    print(f"level sizes: {LEVEL_PROBLEM} (3 variables, 50 rows), up to level {MAX_LEVEL} or {S:g} s per search")
    sizes = {"all": level_sizes(None, S), "+-*/": level_sizes(ARITHMETIC, S)}
    results["levels"] = sizes
    rows = []
    for k in range(2, MAX_LEVEL + 1):
        a = next((e for e in sizes["all"] if e["level"] == k), None)
        b = next((e for e in sizes["+-*/"] if e["level"] == k), None)
        if a is None and b is None:
            continue

        def cells(e):
            if e is None:
                return ["-", "-", "-"]
            seconds = kit.level_seconds(e)
            rate = e["candidates"] / seconds if seconds > 0 and e["candidates"] else None
            return [str(e["candidates"]), f"{seconds:.2f}", kit.fmt(rate, ".3g")]

        ratio = kit.fmt(a["candidates"] / b["candidates"], ".1f") if a and b and b["candidates"] else "-"
        rows.append([str(k), *cells(a), *cells(b), ratio])
    kit.table(["level", "all: cand", "s", "cand/s", "+-*/: cand", "s", "cand/s", "all / set"], rows)

    print(f"\ndiscovery: VokRegressor(time_limit={T:g}), every operator against + - * / and the law's functions")
    fits = []
    for i, name in enumerate(problems, 1):
        chosen = ARITHMETIC + FUNCTIONS.get(name, [])
        started = time.perf_counter()
        every, subset = discovery(name, None, T), discovery(name, chosen, T)
        fits.append({"problem": name, "operators": chosen, "all": every, "set": subset})
        print(f"[{i}/{len(problems)}] {name:<10} all: {'EXACT' if every['exact'] else 'miss '} "
              f"c{every['complexity']:<3} set: {'EXACT' if subset['exact'] else 'miss '} c{subset['complexity']:<3} "
              f"({time.perf_counter() - started:.0f} s) {subset['equation']}", flush=True)
    results["discovery"] = fits
    print(f"\nexact: every operator {sum(f['all']['exact'] for f in fits)}/{len(fits)}, "
          f"operator set {sum(f['set']['exact'] for f in fits)}/{len(fits)}")
    kit.write_results(kit.results_path(args, "operator-sets-results"), results)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
