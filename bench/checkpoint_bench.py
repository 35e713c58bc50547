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
     estimator refitted to M, against the level-M part of the cold fit of 1
     (the target: at most that plus 5 %), and against the level-M part of a
     cold fit with warm_start=True (which also scores the rescalings past
     its limit), to separate what continuing costs from what the headroom
     costs;
  3. the fits' equations: the warm start's must equal the cold fit's.

Run: .venv/bin/python bench/checkpoint_bench.py [--quick] [--max-complexity M] [--json FILE]
"""
import tempfile
import time
from pathlib import Path

import kit
from vok_learn import VokRegressor, _engine


def noisy_problem():
    data = kit.sample(kit.PROBLEMS["three-var"], noise=0.01)
    return data.X, data.y


class Recorder:
    """_engine.search wrapped to keep each call's level events and result."""

    def __init__(self):
        self.calls = []
        self._search = _engine.search

    def __enter__(self):
        def search(*args, callback=None, **kwargs):
            events = []

            def watch(event):
                if event["kind"] == "level":
                    events.append({k: v for k, v in event.items() if k != "front"})
                if callback is not None:
                    callback(event)

            started = time.perf_counter()
            result = self._search(*args, callback=watch, **kwargs)
            self.calls.append({"events": events, "result": result, "seconds": time.perf_counter() - started})
            return result

        _engine.search = search
        return self

    def __exit__(self, *exc):
        _engine.search = self._search


def level_seconds(events):
    """Each level's wall time: its generation, scoring and closing."""
    return {e["level"]: e["generate_seconds"] + e["score_seconds"] + e["close_seconds"] for e in events}


def same_fit(a, b):
    return repr(a.equation_tokens_) == repr(b.equation_tokens_) and list(a.equations_["loss"]) == list(
        b.equations_["loss"]
    )


def main():
    ap = kit.parser(__doc__)
    ap.add_argument("--max-complexity", type=int, default=10)
    ap.add_argument("--beam-width", type=int, default=1000)
    args = ap.parse_args()
    top = 6 if args.quick else args.max_complexity
    X, y = noisy_problem()
    # Growing runs searches of its own after the checkpointed one; it has
    # nothing to store.
    settings = dict(verbose=0, beam_width=args.beam_width, grow_terms=0)
    results = {"meta": kit.meta(args.quick, max_complexity=top, beam_width=args.beam_width, rows=len(y))}

    with tempfile.TemporaryDirectory(dir=kit.RESULTS_DIR.parent if kit.RESULTS_DIR.parent.exists() else None) as d:
        path = Path(d) / "bench.ckpt"
        with Recorder() as rec:
            cold = VokRegressor(max_complexity=top, checkpoint=path, **settings).fit(X, y)
        call = rec.calls[-1]
        seconds = level_seconds(call["events"])
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

        with Recorder() as rec:
            warm = VokRegressor(max_complexity=top - 1, warm_start=True, **settings).fit(X, y)
            warm.set_params(max_complexity=top)
            started = time.perf_counter()
            warm.fit(X, y)
            warm_fit_s = time.perf_counter() - started
            headroom = VokRegressor(max_complexity=top, warm_start=True, **settings).fit(X, y)
        warm_search_s = rec.calls[1]["seconds"]
        # The warm search's one level event: its level's own time, and
        # before it (elapsed counts from the search's start) the restore.
        (warm_event,) = rec.calls[1]["events"]
        warm_level_s = level_seconds([warm_event])[top]
        cold_top_s = seconds[top]
        headroom_top_s = level_seconds(rec.calls[2]["events"])[top]
        results["warm_start"] = {
            "from": top - 1,
            "to": top,
            "warm_search_seconds": warm_search_s,
            "warm_fit_seconds": warm_fit_s,
            "warm_level_seconds": warm_level_s,
            "warm_restore_seconds": warm_event["elapsed"] - warm_level_s,
            "cold_level_seconds": cold_top_s,
            "cold_with_headroom_level_seconds": headroom_top_s,
            "ratio_to_cold_level": warm_search_s / cold_top_s,
            "ratio_to_headroom_level": warm_search_s / headroom_top_s,
            "same_equations": same_fit(warm, cold) and same_fit(headroom, cold),
            "resumed_level": warm.resumed_level_,
        }
        r = results["warm_start"]
        print(f"\nwarm start {top - 1} -> {top}: search {warm_search_s:.2f} s (fit {warm_fit_s:.2f} s; restoring "
              f"the kept state {r['warm_restore_seconds']:.2f} s, level {top} "
              f"{warm_level_s:.2f} s); "
              f"level {top} of a cold fit {cold_top_s:.2f} s (ratio {r['ratio_to_cold_level']:.3f}), "
              f"of a cold fit with warm_start {headroom_top_s:.2f} s (ratio {r['ratio_to_headroom_level']:.3f}); "
              f"same equations: {r['same_equations']}")
    kit.write_results(kit.results_path(args, "checkpoint-results"), results)


if __name__ == "__main__":
    main()
