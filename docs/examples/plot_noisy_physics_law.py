"""
A physics law from noisy data
=============================

Kepler's third law: the period of an orbit grows as the 3/2 power of its
size, T = 2π √(a³ / GM). Here are 60 orbits around the Sun, the semi-major
axis a in astronomical units and the period T in seconds, measured with 2 %
noise. The periods are around 1e8 s, so the estimator divides y by a power
of ten before the search (``normalize_y``) and scales the equations back:
the law is found as easily as at unit scale.
"""

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
from sklearn.model_selection import train_test_split

from vok_learn import VokRegressor, plot_fit

YEAR = 3.15581e7  # seconds
rng = np.random.default_rng(0)
X = pd.DataFrame({"a": rng.uniform(0.3, 30.0, 60)})
law = YEAR * X["a"] ** 1.5
y = law * (1 + 0.02 * rng.normal(size=len(X)))
X_train, X_test, y_train, y_test = train_test_split(X, y, random_state=0)

# %%
# With noise no formula fits exactly, so the search runs every level up to
# ``max_complexity``; the time limit is a safety net.

model = VokRegressor(max_complexity=6, time_limit=30, verbose=0).fit(X_train, y_train)
print(model.equations_[["complexity", "loss", "score", "equation"]].to_string())
print("\nselected:", model.sympy())
print(f"held-out R^2: {model.score(X_test, y_test):.5f}")

# %%
# The selected equation's constant is one year in seconds, to the noise.

constant = float(model.sympy().as_coeff_Mul()[0])
print(f"fitted constant {constant:.5e} s, one year {YEAR:.5e} s, ratio {constant / YEAR:.4f}")

# %%
# The orbits and the law on logarithmic axes, and predicted against observed
# periods on the held-out orbits.

fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(9, 3.8), layout="constrained")
grid = pd.DataFrame({"a": np.geomspace(0.3, 30.0, 100)})
ax1.loglog(X["a"], y, "o", markersize=4, label="orbits (2 % noise)")
ax1.loglog(grid["a"], model.predict(grid), color="C3", label=f"${model.latex(precision=3)}$")
ax1.set_xlabel("semi-major axis a (AU)")
ax1.set_ylabel("period T (s)")
ax1.legend()
plot_fit(model, X_test, y_test, ax=ax2)
ax2.set_title("held-out orbits")
plt.show()
