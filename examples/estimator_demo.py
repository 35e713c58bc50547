"""VokRegressor on a small noisy problem with two variables.

The law is y = 1.5 * x0 * x1 + 0.5 with 2 % noise. The script fits the
estimator on a pandas DataFrame, prints the equations table (the Pareto
front, simplest first, the selected row marked), compares held-out R^2 of
the selected and the most accurate equation, and saves the Pareto plot.

    python examples/estimator_demo.py [PLOT.png]   (default build/estimator_pareto.png)
"""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from sklearn.metrics import r2_score  # noqa: E402
from sklearn.model_selection import train_test_split  # noqa: E402

from vok_learn import VokRegressor, plot_pareto  # noqa: E402
from vok_learn._cli import format_table  # noqa: E402


def main() -> None:
    plot_path = Path(sys.argv[1] if len(sys.argv) > 1 else "build/estimator_pareto.png")
    rng = np.random.default_rng(0)
    X = pd.DataFrame(rng.uniform(0.5, 2.0, size=(200, 2)), columns=["pressure", "volume"])
    law = 1.5 * X["pressure"] * X["volume"] + 0.5
    y = law + 0.02 * law.std() * rng.normal(size=len(X))
    X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.5, random_state=0)

    print("=== VokRegressor on y = 1.5 * pressure * volume + 0.5, 2 % noise ===", flush=True)
    # The law needs 7 tokens (C * pressure * volume + C); output scaling (on
    # by default) offers it as soon as level 3 scores pressure * volume. A
    # beam of 300 keeps the demo quick.
    model = VokRegressor(max_complexity=7, beam_width=300).fit(X_train, y_train)
    print(format_table(model))

    best = model.equations_.iloc[model.best_index_]
    print(f"\nselected (complexity {best['complexity']}): {best['equation']}")
    print(f"SymPy : {model.sympy()}")
    print(f"LaTeX : {model.latex()}")
    last = len(model.equations_) - 1
    print(f"held-out R^2, selected      : {r2_score(y_test, model.predict(X_test)):.6f}")
    print(f"held-out R^2, most accurate : {r2_score(y_test, model.predict(X_test, index=last)):.6f}")

    plot_path.parent.mkdir(parents=True, exist_ok=True)
    ax = plot_pareto(model)
    ax.figure.savefig(plot_path, dpi=120, bbox_inches="tight")
    print(f"Pareto plot saved to {plot_path}")


if __name__ == "__main__":
    main()
