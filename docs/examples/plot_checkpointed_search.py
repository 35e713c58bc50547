"""
A checkpointed long search
==========================

A long search is best run in stages: a time limit bounds each fit, a
checkpoint file keeps every completed level, and a warm start continues
from the levels already done instead of starting again from level 1. A
search resumed this way ends with exactly the equations of one that was
never interrupted. Here the stages are seconds long; the same code runs a
search of hours.
"""

import tempfile
import time
import warnings
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np

from vok_learn import SearchStoppedWarning, VokRegressor

rng = np.random.default_rng(5)
X = rng.uniform(-1.0, 1.0, size=(60, 1))
y = np.sin(X[:, 0] ** 2) * np.cos(X[:, 0]) - 1 + 0.01 * rng.normal(size=60)

checkpoint = Path(tempfile.mkdtemp()) / "run.ckpt"
settings = dict(beam_width=200, verbose=0, checkpoint=str(checkpoint), resume="auto", warm_start=True)

# %%
# Stage 1: a time limit
# ---------------------
# A search that meets its limit stops there, keeps what it found and says so
# with a :class:`~vok_learn.SearchStoppedWarning`. The limit here is tight
# enough to stop most machines inside the first levels; a faster one simply
# completes them, and the stages below go on from wherever it ended.

model = VokRegressor(max_complexity=6, time_limit=0.05, **settings)
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always", SearchStoppedWarning)
    model.fit(X, y)
print("stop reason:", model.stop_reason_)
for warning in caught:
    print("warning:", warning.message)

# %%
# Stage 2 and 3: one level more at a time
# ---------------------------------------
# The same estimator, with a larger ``max_complexity`` and no time limit.
# With a warm start only the new levels are searched.

times = {}
fronts = {}
for complexity in (7, 8):
    model.set_params(max_complexity=complexity, time_limit=None)
    start = time.perf_counter()
    model.fit(X, y)
    times[f"to {complexity}"] = time.perf_counter() - start
    fronts[complexity] = model.equations_.copy()
    print(f"complexity {complexity}: {len(model.equations_)} equations, "
          f"selected {model.equations_['equation'][model.best_index_]}")

# %%
# The staged result equals one cold fit to the same complexity, equation for
# equation and loss for loss.

start = time.perf_counter()
cold = VokRegressor(max_complexity=8, beam_width=200, verbose=0).fit(X, y)
times["cold to 8"] = time.perf_counter() - start
same = cold.equations_[["complexity", "loss", "equation"]].equals(
    fronts[8][["complexity", "loss", "equation"]]
)
print("staged fit equals the cold fit:", same)

# %%
# Looking into a checkpoint
# -------------------------
# ``vok_learn.load_checkpoint`` returns a fitted estimator from a
# checkpoint's front without searching, for instance while the search that
# writes it is still running.

if "checkpoint" in settings:
    from vok_learn import load_checkpoint

    snapshot = load_checkpoint(checkpoint)
    print(snapshot.equations_[["complexity", "loss", "equation"]].to_string())

# %%
# Time of each stage against the cold fit, and the front after each stage.

fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(9, 3.5), layout="constrained")
ax1.bar(list(times), list(times.values()), color=["C0", "C0", "C1"])
ax1.set_ylabel("seconds")
ax1.set_title("fits")
for (complexity, front), style in zip(fronts.items(), ("s--", "o-")):
    ax2.semilogy(front["complexity"], front["loss"], style, markersize=9 if style == "s--" else 5,
                 label=f"max_complexity={complexity}")
ax2.set_xlabel("complexity")
ax2.set_ylabel("training loss")
ax2.set_title("the front after each stage")
ax2.legend()
plt.show()
