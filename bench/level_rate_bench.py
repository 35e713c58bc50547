"""Candidates scored a second at each level of a default search of three variables on 50 rows.

Run with a Python that has a vok_learn installed (the checkout's .venv after
`make py-install`; an earlier engine through PYTHONPATH, see bench/README.md):

    .venv/bin/python bench/level_rate_bench.py [--quick] [--screen-factor F,...] [--json FILE]

Each problem is fitted by VokRegressor(max_complexity=8, verbose=0), every
other setting at its default and no time limit, so that every level is
scored whole; growing (where the installed version has it) is off, as it
runs after the levels. Per level: the candidates scored, the seconds of
generating, scoring and closing it (the engine's level events), and their
ratio. Problems: the kit's three-variable law with 1 % noise (found by
level 6, after which most candidates are far behind the front) and two
noiseless Feynman laws of three variables that no level up to 8 finds
(I.6.2b, I.30.3), where the front keeps moving.

`--screen-factor` runs every problem again with the engine's screen at each
given factor (passed to `_engine.search`; vok_learn's own is
`_settings.SCREEN_FACTOR`): how much skipping refinement buys, which the
discovery benchmark must then show costs no law. `--quick`: the
three-variable law to level 7. Writes build/bench-results/level-rate-results.json
(level-rate-results-quick.json with `--quick`).
"""

from __future__ import annotations

import inspect
import sys

import kit

PROBLEMS = [("three-var", 0.01), ("I.6.2b", 0.0), ("I.30.3", 0.0)]
ROWS, MAX_LEVEL, QUICK_LEVEL = 50, 8, 7


def level_rates(name: str, noise: float, max_level: int, screen_factor: float | None) -> list[dict]:
    """Per level of one fit's own search (the first; the groups' search,
    where one runs, comes after): candidates, seconds and their ratio."""
    import vok_learn

    params = {"max_complexity": max_level, "verbose": 0}
    if "grow_terms" in inspect.signature(vok_learn.VokRegressor).parameters:
        params["grow_terms"] = 0
    data = kit.sample(kit.PROBLEMS[name], rows=ROWS, noise=noise)
    with kit.Recorder(**({} if screen_factor is None else {"screen_factor": screen_factor})) as rec:
        vok_learn.VokRegressor(**params).fit(data.X, data.y)
    rows = []
    for e in rec.calls[0]["events"]:
        seconds = kit.level_seconds(e)
        rows.append({"level": e["level"], "candidates": e["candidates"], "seconds": seconds,
                     "per_second": e["candidates"] / seconds if seconds > 0 else None})
    return rows


def main(argv: list[str]) -> int:
    ap = kit.parser(__doc__)
    ap.add_argument("--screen-factor", default="", help="comma-separated factors to run besides the default")
    args = ap.parse_args(argv)
    import vok_learn

    problems = PROBLEMS[:1] if args.quick else PROBLEMS
    max_level = QUICK_LEVEL if args.quick else MAX_LEVEL
    factors: list[float | None] = [None, *(float(f) for f in args.screen_factor.split(",") if f)]
    results: dict = {"meta": kit.meta(args.quick, rows=ROWS, max_complexity=max_level, module=vok_learn.__file__),
                     "runs": []}
    print(f"vok_learn {vok_learn.__version__} from {vok_learn.__file__}")
    levels = range(5, max_level + 1)
    table = []
    for name, noise in problems:
        for factor in factors:
            rows = level_rates(name, noise, max_level, factor)
            results["runs"].append({"problem": name, "noise": noise, "screen_factor": factor, "levels": rows})
            rates = {r["level"]: r["per_second"] for r in rows}
            table.append([name, "default" if factor is None else f"{factor:g}",
                          *(kit.fmt(rates.get(k), ".0f") for k in levels)])
    kit.table(["problem", "screen", *(f"lvl {k}" for k in levels)], table)
    kit.write_results(kit.results_path(args, "level-rate-results"), results)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
