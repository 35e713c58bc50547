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
(level-rate-quick.json with `--quick`).
"""

from __future__ import annotations

import argparse
import inspect
import json
import platform
import sys
import time

import kit

PROBLEMS = [("three-var", 0.01), ("I.6.2b", 0.0), ("I.30.3", 0.0)]
ROWS, MAX_LEVEL, QUICK_LEVEL = 50, 8, 7


def level_rates(name: str, noise: float, max_level: int, screen_factor: float | None) -> list[dict]:
    """The first search's level events of one fit (the fit's own search;
    the groups' search, where one runs, comes after)."""
    import vok_learn
    from vok_learn import _engine

    events: list[dict] = []
    search = _engine.search

    def recorded(*args, callback=None, **kwargs):
        first = not events

        def watch(event):
            if first and event["kind"] == "level":
                events.append({k: v for k, v in event.items() if k != "front"})
            if callback is not None:
                callback(event)

        if screen_factor is not None:
            kwargs["screen_factor"] = screen_factor
        return search(*args, callback=watch, **kwargs)

    params = {"max_complexity": max_level, "verbose": 0}
    if "grow_terms" in inspect.signature(vok_learn.VokRegressor).parameters:
        params["grow_terms"] = 0
    data = kit.sample(kit.PROBLEMS[name], rows=ROWS, noise=noise)
    _engine.search = recorded
    try:
        vok_learn.VokRegressor(**params).fit(data.X, data.y)
    finally:
        _engine.search = search
    rows = []
    for e in events:
        seconds = e["generate_seconds"] + e["score_seconds"] + e["close_seconds"]
        rows.append({"level": e["level"], "candidates": e["candidates"], "seconds": seconds,
                     "per_second": e["candidates"] / seconds if seconds > 0 else None})
    return rows


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--screen-factor", default="", help="comma-separated factors to run besides the default")
    parser.add_argument("--json", default=None)
    args = parser.parse_args(argv)
    out = args.json or str(kit.RESULTS_DIR / ("level-rate-quick.json" if args.quick else "level-rate-results.json"))
    import vok_learn

    problems = PROBLEMS[:1] if args.quick else PROBLEMS
    max_level = QUICK_LEVEL if args.quick else MAX_LEVEL
    factors: list[float | None] = [None, *(float(f) for f in args.screen_factor.split(",") if f)]
    runs = []
    print(f"vok_learn {vok_learn.__version__} from {vok_learn.__file__}")
    print(f"{'problem':10} {'screen':>7} " + " ".join(f"{'lvl ' + str(k):>10}" for k in range(5, max_level + 1)))
    for name, noise in problems:
        for factor in factors:
            rows = level_rates(name, noise, max_level, factor)
            runs.append({"problem": name, "noise": noise, "screen_factor": factor, "levels": rows})
            rates = {r["level"]: r["per_second"] for r in rows}
            cells = [f"{rates[k]:10.0f}" if rates.get(k) else f"{'-':>10}" for k in range(5, max_level + 1)]
            print(f"{name:10} {'default' if factor is None else factor:>7} " + " ".join(cells))
    kit.RESULTS_DIR.mkdir(parents=True, exist_ok=True)
    meta = {"vok_learn": vok_learn.__version__, "module": vok_learn.__file__, "cores": kit.CORES,
            "machine": platform.machine(), "time": time.strftime("%Y-%m-%dT%H:%M:%S"), "rows": ROWS}
    with open(out, "w") as f:
        json.dump({"meta": meta, "runs": runs}, f, indent=1)
    print(f"written: {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
