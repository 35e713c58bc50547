"""A short tour of vok_sr on data with a known law.

1. One variable: y = x^2 - sin(x) on 50 points, default settings.
2. Two variables: y = 1.5 * x0 * x1, listing the Pareto front of candidates.

The engine prints its progress straight to the process's standard output;
our own lines are flushed as they are printed so both stay in order.
"""

import sys
import time

import numpy as np

import vok_sr


def section(title: str) -> None:
    print(f"\n=== {title} ===", flush=True)


def one_variable() -> None:
    section("find_function: y = x^2 - sin(x), 50 points, default settings")
    x = np.linspace(-3.0, 3.0, 50)
    y = x**2 - np.sin(x)

    searcher = vok_sr.Searcher()
    start = time.perf_counter()
    best = searcher.find_function(x, y)
    seconds = time.perf_counter() - start

    print(f"\nbest formula : {best.formula}")
    print(f"LaTeX        : {best.to_latex()}")
    print(f"NumPy        : {best.to_python()}")
    print(f"error (MSE)  : {best.error:.3e}")
    print(f"complexity   : {best.complexity}")
    print(f"search time  : {seconds:.2f} s")

    x_new = np.array([-2.75, -0.3, 0.8, 2.2, 4.5])
    predicted = best.eval_batch(x_new.reshape(-1, 1))
    truth = x_new**2 - np.sin(x_new)
    print("\ncheck on new points (eval_batch):")
    print(f"  {'x':>6}  {'predicted':>12}  {'true':>12}  {'|diff|':>9}")
    for xi, p, t in zip(x_new, predicted, truth):
        print(f"  {xi:6.2f}  {p:12.6f}  {t:12.6f}  {abs(p - t):9.1e}")
    worst = max(abs(p - t) for p, t in zip(predicted, truth))
    print(f"  largest difference: {worst:.1e}", flush=True)


def two_variables() -> None:
    section("find_candidates: y = 1.5 * x0 * x1, 40 points, max_complexity=5")
    rng = np.random.default_rng(0)
    inputs = rng.uniform(0.5, 2.0, size=(40, 2))
    y = 1.5 * inputs[:, 0] * inputs[:, 1]

    # find_candidates is exhaustive (it never stops early), so it runs every
    # level up to max_complexity; 5 is enough for this law and keeps it quick.
    searcher = vok_sr.Searcher(max_complexity=5)
    start = time.perf_counter()
    candidates = searcher.find_candidates(inputs, y)
    seconds = time.perf_counter() - start

    print(f"\n{len(candidates)} candidates in {seconds:.2f} s, most accurate first:")
    header = f"  {'complexity':>10}  {'error':>11}  {'formula':<36}  LaTeX"
    print(header)
    print("  " + "-" * (len(header) - 2))
    for c in candidates:
        print(f"  {c.complexity:>10}  {c.error:11.3e}  {c.formula:<36}  {c.to_latex()}")
    print(f"\nbest: {candidates[0]!r}", flush=True)


def main() -> int:
    one_variable()
    two_variables()
    return 0


if __name__ == "__main__":
    sys.exit(main())
