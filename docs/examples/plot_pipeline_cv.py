"""
A pandas and scikit-learn pipeline with cross-validation
========================================================

:class:`vok_learn.VokRegressor` is an ordinary scikit-learn estimator: it
goes into a ``Pipeline``, under ``cross_val_score`` and ``GridSearchCV``, and
reads pandas column names. Here the pressure of a gas, p = nRT/V, is
learned from a table with a column that does not matter, against a linear
model in the same cross-validation.
"""

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
from sklearn.compose import ColumnTransformer
from sklearn.linear_model import LinearRegression
from sklearn.model_selection import GridSearchCV, KFold, cross_val_score
from sklearn.pipeline import make_pipeline

from vok_learn import VokRegressor

rng = np.random.default_rng(7)
table = pd.DataFrame(
    {
        "temperature": rng.uniform(250.0, 400.0, 150),
        "volume": rng.uniform(0.01, 0.05, 150),
        "humidity": rng.uniform(0.2, 0.9, 150),
    }
)
pressure = 8.314 * table["temperature"] / table["volume"]
table["pressure"] = pressure * (1 + 0.01 * rng.normal(size=len(table)))
X, y = table.drop(columns="pressure"), table["pressure"]

# %%
# The pipeline keeps the two physical columns. ``set_output`` passes them on
# as a DataFrame, so the equations name them.

select = ColumnTransformer(
    [("keep", "passthrough", ["temperature", "volume"])], verbose_feature_names_out=False
).set_output(transform="pandas")
pipeline = make_pipeline(select, VokRegressor(max_complexity=5, verbose=0))

folds = KFold(n_splits=5, shuffle=True, random_state=0)
vok_scores = cross_val_score(pipeline, X, y, cv=folds)
linear_scores = cross_val_score(make_pipeline(select, LinearRegression()), X, y, cv=folds)
print("VokRegressor R^2 per fold:", np.round(vok_scores, 4))
print("linear model R^2 per fold:", np.round(linear_scores, 4))

# %%
# A grid search over a setting of the estimator inside the pipeline, by the
# usual ``step__parameter`` names.

grid = GridSearchCV(
    pipeline, {"vokregressor__model_selection": ["best", "accuracy"]}, cv=3
).fit(X, y)
print("best setting:", grid.best_params_)
print("equation:", grid.best_estimator_[-1].sympy())

# %%
# The folds side by side.

fig, ax = plt.subplots(figsize=(6, 3), layout="constrained")
positions = np.arange(len(vok_scores))
ax.bar(positions - 0.2, vok_scores, width=0.4, label="VokRegressor")
ax.bar(positions + 0.2, linear_scores, width=0.4, label="LinearRegression")
ax.set_xticks(positions, [f"fold {i + 1}" for i in positions])
ax.set_ylabel("held-out R²")
ax.set_ylim(min(linear_scores.min(), vok_scores.min()) - 0.05, 1.0)
ax.legend(loc="lower right")
plt.show()
