"""Benchmark of the private engine entry against vok_sr, and of its control.

Measures, on this machine:
  1. speed: the same search through vok_sr (output to /dev/null) and through
     vok_learn._engine with output silenced; their results must be equal;
  2. time limit: how long a default search of a 3-variable, 50-row noisy
     problem takes to return under time_limit=T;
  3. Ctrl-C: how long after SIGINT the call raises KeyboardInterrupt;
  4. other threads: the ticks a busy Python thread gets while a search runs,
     against the ticks it gets alone (search on all threads, and on one).

Run: .venv/bin/python bench/control_bench.py [--quick] [--json FILE]
"""
import os
import signal
import statistics
import sys
import threading
import time
from contextlib import contextmanager


import kit
import vok_sr
from vok_learn import _engine


@contextmanager
def quiet_fd1():
    """vok_sr prints to file descriptor 1; send it to /dev/null."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def noisy_problem():
    """The kit's three-variable law, 50 rows, 1 % noise."""
    data = kit.sample(kit.PROBLEMS["three-var"], noise=0.01)
    return data.X, data.y


def speed(max_complexity, repeats):
    data = kit.sample(kit.PROBLEMS["nguyen-5"])
    X, y = data.X, data.y
    settings = dict(max_complexity=max_complexity)
    vok, eng = [], []
    for _ in range(repeats):
        t = time.perf_counter()
        with quiet_fd1():
            ref = vok_sr.Searcher(**settings).find_candidates(X, y)
        vok.append(time.perf_counter() - t)
        t = time.perf_counter()
        run = _engine.search(X, y, exhaustive=True, output="silent", **settings)
        eng.append(time.perf_counter() - t)
    same = [(e["formula"], e["error"]) for e in run["equations"]] == [(c.formula, c.error) for c in ref]
    return {"max_complexity": max_complexity, "vok_sr_s": statistics.median(vok),
            "engine_s": statistics.median(eng), "ratio": statistics.median(eng) / statistics.median(vok),
            "same_results": same}


def time_limit(limits):
    X, y = noisy_problem()
    out = []
    for limit in limits:
        t = time.perf_counter()
        run = _engine.search(X, y, time_limit=limit)
        took = time.perf_counter() - t
        out.append({"time_limit": limit, "returned_after_s": took, "overrun_s": took - limit,
                    "stop_reason": run["stop_reason"], "last_level": run["last_level"]})
    return out


def ctrl_c(delays):
    X, y = noisy_problem()
    out = []
    for delay in delays:
        sent = []
        timer = threading.Timer(delay, lambda: (sent.append(time.perf_counter()),
                                                os.kill(os.getpid(), signal.SIGINT)))
        timer.start()
        try:
            _engine.search(X, y, max_complexity=14)
            reason, latency = "not interrupted", None
        except KeyboardInterrupt as e:
            latency = time.perf_counter() - sent[0]
            reason = e.partial["stop_reason"]
        out.append({"sigint_after_s": delay, "returned_within_s": latency, "stop_reason": reason})
    return out


def ticks(seconds, threads):
    X, y = noisy_problem()

    def count_for(duration, during=None):
        stop = threading.Event()
        n = [0]

        def spin():
            while not stop.is_set():
                n[0] += 1

        th = threading.Thread(target=spin)
        th.start()
        t = time.perf_counter()
        if during is not None:
            during()
        else:
            time.sleep(duration)
        elapsed = time.perf_counter() - t
        stop.set()
        th.join()
        return n[0] / elapsed

    alone = count_for(seconds)
    busy = count_for(seconds, lambda: _engine.search(X, y, time_limit=seconds, threads=threads))
    return {"search_threads": threads or _engine.hardware_threads(), "ticks_per_s_alone": alone,
            "ticks_per_s_during_search": busy, "kept": busy / alone}


def main():
    ap = kit.parser(__doc__)
    a = ap.parse_args()
    res = {
        "meta": kit.meta(a.quick),
        "speed": speed(6 if a.quick else 8, 1 if a.quick else 3),
        "time_limit": time_limit([1.0] if a.quick else [1.0, 3.0, 10.0]),
        "ctrl_c": ctrl_c([1.0] if a.quick else [1.0, 3.0, 6.0]),
        "ticks": [ticks(2.0 if a.quick else 5.0, t) for t in (None, 1)],
    }
    s = res["speed"]
    print(f"speed (Nguyen-5, exhaustive to {s['max_complexity']}): vok_sr {s['vok_sr_s']:.3f} s, "
          f"_engine {s['engine_s']:.3f} s, ratio {s['ratio']:.3f}, same results: {s['same_results']}")
    for r in res["time_limit"]:
        print(f"time_limit {r['time_limit']:5.1f} s: returned after {r['returned_after_s']:.3f} s "
              f"(overrun {r['overrun_s']:+.3f} s), {r['stop_reason']} after level {r['last_level']}")
    for r in res["ctrl_c"]:
        w = r["returned_within_s"]
        print(f"SIGINT after {r['sigint_after_s']:.1f} s: " +
              (f"KeyboardInterrupt within {w:.3f} s ({r['stop_reason']})" if w is not None else r["stop_reason"]))
    for r in res["ticks"]:
        print(f"other thread during a search on {r['search_threads']} thread(s): {r['kept']:.1%} of its ticks")
    kit.write_results(kit.results_path(a, "control-results"), res)


if __name__ == "__main__":
    main()
