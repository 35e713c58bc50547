"""
The Pareto front and model selection
=====================================

A fit keeps the whole Pareto front: the best equation of every size. Which
one ``predict`` uses is ``model_selection``'s choice. On noisy data the most
accurate equation on the training rows is an overfit; ``"best"`` (the
default) takes the highest score among the equations within 1.5× the lowest
loss.
"""

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
from sklearn.metrics import r2_score
from sklearn.model_selection import train_test_split

from vok_learn import VokRegressor, plot_pareto

rng = np.random.default_rng(0)
X = pd.DataFrame(rng.uniform(0.5, 2.0, size=(200, 2)), columns=["pressure", "volume"])
y = 1.5 * X["pressure"] * X["volume"] + 0.5 + 0.05 * rng.normal(size=200)
X_train, X_test, y_train, y_test = train_test_split(X, y, random_state=0)

model = VokRegressor(max_complexity=7, beam_width=300, verbose=0).fit(X_train, y_train)
print(model.equations_[["complexity", "loss", "score", "equation"]].to_string())

# %%
# One fit serves every selection rule: ``predict(X, index=i)`` uses any row
# of ``equations_``. The rules pick these rows, which do this well on the
# held-out rows:

losses = model.equations_["loss"].to_numpy()
scores = model.equations_["score"].to_numpy()
picks = {
    "best": model.best_index_,
    "score": int(np.argmax(scores)),
    "accuracy": int(np.argmin(losses)),
}
for rule, row in picks.items():
    r2 = r2_score(y_test, model.predict(X_test, index=row))
    print(f"{rule:9s} row {row}: {model.equations_['equation'][row]:60.60s} R^2 {r2:.5f}")

# %%
# Loss against complexity, the selected equation marked.

ax = plot_pareto(model)
ax.set_title("y = 1.5 pressure volume + 0.5, noisy")
plt.show()
