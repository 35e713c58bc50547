"""
Units
=====

The centripetal force F = m v² / r, with the units of each column given to
``fit``. The search then builds only dimensionally consistent formulas: it
never adds a mass to a speed, nor takes the sine of a length, and every
equation on the front is a force.
"""

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

from vok_learn import VokRegressor

rng = np.random.default_rng(3)
X = pd.DataFrame(
    {
        "m": rng.uniform(0.5, 3.0, 80),
        "v": rng.uniform(1.0, 4.0, 80),
        "r": rng.uniform(0.5, 2.0, 80),
    }
)
y = X["m"] * X["v"] ** 2 / X["r"] * (1 + 0.01 * rng.normal(size=len(X)))
units = {"m": "kg", "v": "m/s", "r": "m"}

fits = {}
for label, fit_args in [("no units", {}), ("units", {"X_units": units, "y_units": "N"})]:
    model = VokRegressor(max_complexity=6, beam_width=300, verbose=0).fit(X, y, **fit_args)
    fits[label] = model
    print(f"--- {label}")
    print(model.equations_[["complexity", "loss", "equation"]].to_string())

# %%
# With units, every equation has the dimension of a force, so the front
# holds the law alone; without them, the simpler rows are formulas such as
# v² or m v² that fit the numbers and mean nothing physically.

fig, ax = plt.subplots(figsize=(7, 3.8), layout="constrained")
for (label, model), marker in zip(fits.items(), "os"):
    table = model.equations_
    ax.semilogy(table["complexity"], table["loss"], marker + "-", label=label)
    for complexity, loss, text in zip(table["complexity"], table["loss"], table["sympy_format"]):
        ax.annotate(str(text.evalf(3)), (complexity, loss), textcoords="offset points", xytext=(-6, 6),
                    ha="right", fontsize=8)
ax.set_xlabel("complexity")
ax.set_ylabel("training loss")
ax.set_title("Pareto fronts of F = m v² / r, with and without units")
ax.legend(loc="lower left")
plt.show()
