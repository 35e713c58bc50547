"""Benchmark of checkpoints and warm starts.

Measures, on this machine, at default settings (beam 1000, affine ranking,
output scaling) on the kit's three-variable law, 50 rows, 1 % noise:
  1. per level of a checkpointed fit to --max-complexity: the level's time,
     the checkpoint's size, the seconds spent encoding it (on the search's
     thread), writing it (on a thread of its own, during the next level)
     and waiting for that write, and the share of the level's time the
     search spends on the store, encoding and waiting (the target: at most
     5 % from level 8 on);
  2. a warm start: a fit to M - 1 with warm_start=True, then the same
     estimator refitted to M, against the level-M part of a cold fit to M
     (the target: at most that plus 5 %), and against the level-M part of a
     cold fit with warm_start=True (which also scores the rescalings past
     its limit), to separate what continuing costs from what the headroom
     costs; --repeats times (3 by default), comparing the medians;
  3. the fits' equations: the warm start's must equal the cold fit's.

Run: .venv/bin/python bench/checkpoint_bench.py [--quick] [--max-complexity M] [--repeats N] [--json FILE]
"""
import statistics
import tempfile
import time
from pathlib import Path

import kit
from vok_learn import VokRegressor


def noisy_problem():
    data = kit.sample(kit.PROBLEMS["three-var"], noise=0.01)
    return data.X, data.y


def seconds_by_level(events):
    """Each level's wall time: its generation, scoring and closing."""
    return {e["level"]: kit.level_seconds(e) for e in events}


def level_cpu_seconds(call, level):
    """The CPU seconds between the event before `level`'s (or the call's
    start) and `level`'s own."""
    before = call["cpu_start"]
    for e in call["events"]:
        if e["level"] == level:
            return e["cpu"] - before
        before = e["cpu"]
    raise KeyError(level)


def same_fit(a, b):
    return repr(a.equation_tokens_) == repr(b.equation_tokens_) and list(a.equations_["loss"]) == list(
        b.equations_["loss"]
    )


def main():
    ap = kit.parser(__doc__)
    ap.add_argument("--max-complexity", type=int, default=10)
    ap.add_argument("--beam-width", type=int, default=1000)
    ap.add_argument("--repeats", type=int, default=3, help="warm-start comparisons (medians; 1 with --quick)")
    args = ap.parse_args()
    top = 6 if args.quick else args.max_complexity
    X, y = noisy_problem()
    # Growing runs searches of its own after the checkpointed one; it has
    # nothing to store.
    settings = dict(verbose=0, beam_width=args.beam_width, grow_terms=0)
    results = {"meta": kit.meta(args.quick, max_complexity=top, beam_width=args.beam_width, rows=len(y))}

    with tempfile.TemporaryDirectory(dir=kit.RESULTS_DIR.parent if kit.RESULTS_DIR.parent.exists() else None) as d:
        path = Path(d) / "bench.ckpt"
        with kit.Recorder() as rec:
            VokRegressor(max_complexity=top, checkpoint=path, **settings).fit(X, y)
        call = rec.calls[-1]
        seconds = seconds_by_level(call["events"])
        writes = []
        for w in call["result"]["checkpoint_writes"]:
            level_s = seconds.get(w["level"], 0.0)
            # What the search waits for: the encoding, and the write only
            # where it had not ended by the next store.
            store = w["encode_seconds"] + w["wait_seconds"]
            writes.append({**w, "level_seconds": level_s, "store_share": store / level_s if level_s else None})
        results["levels"] = writes
        print(f"{'level':>5} {'level s':>9} {'bytes':>12} {'encode s':>9} {'write s':>9} {'wait s':>9} {'share':>7}")
        for w in writes:
            print(f"{w['level']:>5} {w['level_seconds']:>9.3f} {w['bytes']:>12,} {w['encode_seconds']:>9.4f} "
                  f"{w['write_seconds']:>9.4f} {w['wait_seconds']:>9.4f} {kit.fmt(w['store_share'], '.2%'):>7}")

    # Level times drift by 10-20 % between runs on a shared 2-core machine:
    # each repetition runs the three fits back to back, and the ratios are
    # taken between the medians.
    runs = []
    for _ in range(1 if args.quick else args.repeats):
        with kit.Recorder() as rec:
            cold = VokRegressor(max_complexity=top, **settings).fit(X, y)
            warm = VokRegressor(max_complexity=top - 1, warm_start=True, **settings).fit(X, y)
            warm.set_params(max_complexity=top)
            started = time.perf_counter()
            warm.fit(X, y)
            warm_fit_s = time.perf_counter() - started
            headroom = VokRegressor(max_complexity=top, warm_start=True, **settings).fit(X, y)
        # The warm search's one level event: its level's own time, and
        # before it (elapsed counts from the search's start) the restore.
        (warm_event,) = rec.calls[2]["events"]
        warm_level_s = seconds_by_level([warm_event])[top]
        runs.append({
            "warm_search_seconds": rec.calls[2]["seconds"],
            "warm_fit_seconds": warm_fit_s,
            "warm_level_seconds": warm_level_s,
            "warm_restore_seconds": warm_event["elapsed"] - warm_level_s,
            "cold_level_seconds": seconds_by_level(rec.calls[0]["events"])[top],
            "cold_with_headroom_level_seconds": seconds_by_level(rec.calls[3]["events"])[top],
            "warm_search_cpu_seconds": rec.calls[2]["cpu_seconds"],
            "cold_level_cpu_seconds": level_cpu_seconds(rec.calls[0], top),
            "cold_with_headroom_level_cpu_seconds": level_cpu_seconds(rec.calls[3], top),
            "same_equations": same_fit(warm, cold) and same_fit(headroom, cold),
            "resumed_level": warm.resumed_level_,
        })
        r = runs[-1]
        print(f"  run {len(runs)}: warm search {r['warm_search_seconds']:.2f} s (restore "
              f"{r['warm_restore_seconds']:.2f} s), cold level {top} {r['cold_level_seconds']:.2f} s, with "
              f"warm_start {r['cold_with_headroom_level_seconds']:.2f} s; CPU {r['warm_search_cpu_seconds']:.2f}, "
              f"{r['cold_level_cpu_seconds']:.2f}, {r['cold_with_headroom_level_cpu_seconds']:.2f} s")
    median = {k: statistics.median(r[k] for r in runs) for k in runs[0] if k.endswith("seconds")}
    results["warm_start"] = {
        "from": top - 1,
        "to": top,
        "runs": runs,
        **median,
        "ratio_to_cold_level": median["warm_search_seconds"] / median["cold_level_seconds"],
        "ratio_to_headroom_level": median["warm_search_seconds"] / median["cold_with_headroom_level_seconds"],
        "cpu_ratio_to_cold_level": median["warm_search_cpu_seconds"] / median["cold_level_cpu_seconds"],
        "cpu_ratio_to_headroom_level": (median["warm_search_cpu_seconds"]
                                        / median["cold_with_headroom_level_cpu_seconds"]),
        "same_equations": all(r["same_equations"] for r in runs),
        "resumed_level": runs[0]["resumed_level"],
    }
    r = results["warm_start"]
    print(f"\nwarm start {top - 1} -> {top}, medians of {len(runs)}: search {r['warm_search_seconds']:.2f} s "
          f"(fit {r['warm_fit_seconds']:.2f} s; restoring the kept state {r['warm_restore_seconds']:.2f} s, "
          f"level {top} {r['warm_level_seconds']:.2f} s); "
          f"level {top} of a cold fit {r['cold_level_seconds']:.2f} s (ratio {r['ratio_to_cold_level']:.3f}), "
          f"of a cold fit with warm_start {r['cold_with_headroom_level_seconds']:.2f} s "
          f"(ratio {r['ratio_to_headroom_level']:.3f}); in CPU seconds {r['warm_search_cpu_seconds']:.2f} against "
          f"{r['cold_level_cpu_seconds']:.2f} (ratio {r['cpu_ratio_to_cold_level']:.3f}) and "
          f"{r['cold_with_headroom_level_cpu_seconds']:.2f} (ratio {r['cpu_ratio_to_headroom_level']:.3f}); "
          f"same equations: {r['same_equations']}")
    kit.write_results(kit.results_path(args, "checkpoint-results"), results)


if __name__ == "__main__":
    main()
