"""
A closed form for a constant
============================

:func:`vok_learn.identify_constant` searches formulas built from 0, 1, i, π
and e alone whose value is the given number, to a relative 1e-12. Every
match is checked again by SymPy at 30 digits, so a form is never a
floating-point coincidence. A number with no such form gives an empty list.
"""

import math

import matplotlib.pyplot as plt

from vok_learn import identify_constant

numbers = {
    "ζ(2)": math.pi**2 / 6,
    "π/4": math.pi / 4,
    "√2": math.sqrt(2),
    "ln 2": math.log(2),
    "e^π": math.exp(math.pi),
    "Euler's γ": 0.5772156649015329,
}

found = {}
for name, value in numbers.items():
    forms = identify_constant(value, max_complexity=6)
    found[name] = forms
    first = forms[0].text if forms else "(none within 6 tokens)"
    print(f"{name:13s} {value:.16f}  {first}")

# %%
# Each form carries its LaTeX, its SymPy expression, its value in double
# precision, its error and its size in tokens:

form = found["√2"][0]
print(form.latex, "|", form.sympy, "|", form.value, "|", form.error, "|", form.complexity)

# %%
# The error of each number's simplest form, relative to the number: round-off,
# a few units in the last place at most.

names = [name for name in numbers if found[name]]
errors = [max(found[n][0].error / abs(numbers[n]), 1e-17) for n in names]
fig, ax = plt.subplots(figsize=(7, 3), layout="constrained")
ax.bar(names, errors, color="C2")
ax.axhline(1e-12, color="C3", linestyle="--", label="tolerance 1e-12")
ax.axhline(2.2e-16, color="0.5", linestyle=":", label="double precision")
ax.set_yscale("log")
ax.set_ylabel("relative error (zero drawn at 1e-17)")
ax.legend(loc="upper right")
for name, forms in found.items():
    if forms:
        ax.annotate(f"${forms[0].latex}$", (names.index(name), 3e-17), ha="center", fontsize=9)
plt.show()
