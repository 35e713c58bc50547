"""atheris fuzzer for the vok_learn._engine boundary.

Hostile token lists go into validate, render and evaluate; arbitrary data,
settings and callbacks into tiny searches. Every call must end in its
documented result or in one of the documented exceptions (TypeError,
ValueError, OverflowError, or the callback's own exception); anything else,
a crash or a sanitizer report is a finding. A token list that validates
must survive the round trip unchanged and evaluate to one float per row.

Run: python fuzz/python/fuzz_engine.py [libFuzzer flags] [corpus dirs]
"""
import atheris
import numpy as np

from fuzz_module import Boom, Gen, run  # the shared generators of hostile values

from vok_learn import _engine

DOCUMENTED = (TypeError, ValueError, OverflowError)
ALLOWED = DOCUMENTED + (Boom,)
KINDS = ["var", "const", "literal", "named", "op", "x", "", None, 3]
OPERATORS = _engine.operators()


@atheris.instrument_func
def token(g):
    k = g.pick(8)
    if k == 0:
        return ("var", g.fdp.ConsumeIntInRange(-2, 260))
    if k == 1:
        return (["const", "literal"][g.pick(2)], g.scalar())
    if k in (2, 3, 4):
        i, name, _ = OPERATORS[g.pick(len(OPERATORS))]
        if g.pick(8) == 0:
            name = OPERATORS[g.pick(len(OPERATORS))][1]  # a name that may not match the id
        if g.pick(10) == 0:
            i = g.fdp.ConsumeInt(9)
        return ("op" if k != 2 else "named", i, name)
    if k == 5:
        return tuple(g.scalar() for _ in range(g.small(4)))
    if k == 6:
        return (KINDS[g.pick(len(KINDS))],) + tuple(g.scalar() for _ in range(g.small(3)))
    return g.scalar()


@atheris.instrument_func
def tokens(g):
    if g.pick(12) == 0:
        return g.vector()
    return [token(g) for _ in range(g.small(12))]


@atheris.instrument_func
def exercise_tokens(g):
    t = tokens(g)
    try:
        normal = _engine.validate(t)
    except ALLOWED:
        return
    assert isinstance(normal, list) and _engine.validate(normal) == normal
    formula, latex, python = _engine.render(normal)
    assert all(isinstance(s, str) for s in (formula, latex, python))
    try:
        out = _engine.evaluate(normal, g.matrix() if g.pick(2) else g.array(2), guard=bool(g.pick(2)))
    except ALLOWED:
        return
    assert isinstance(out, np.ndarray) and out.dtype == np.float64 and out.ndim == 1


class Callback:
    def __init__(self, g):
        self.raise_after = g.small(6) if g.pick(3) == 0 else None
        self.calls = 0

    def __call__(self, event):
        assert isinstance(event, dict) and event["kind"] in ("level", "progress")
        self.calls += 1
        if self.raise_after is not None and self.calls > self.raise_after:
            raise Boom("callback")


@atheris.instrument_func
def exercise_search(g):
    kw = {}
    names = ["max_complexity", "complexity_penalty", "beam_width", "alpha", "l1_ratio", "exhaustive",
             "time_limit", "threads", "output", "callback", "bogus"]
    for _ in range(g.small(4)):
        name = names[g.pick(len(names))]
        kw[name] = g.option() if g.pick(2) else g.scalar()
    kw["max_complexity"] = g.small(3)
    kw["beam_width"] = 1 + g.small(5)
    kw["output"] = "silent"
    if g.pick(2):
        kw["callback"] = Callback(g)
    try:
        run = _engine.search(g.matrix() if g.pick(2) else g.array(2), g.vector(), **kw)
    except Boom as e:
        assert isinstance(getattr(e, "partial", {}), dict)
        return
    except ALLOWED:
        return
    assert run["stop_reason"] in ("completed", "early_exit", "time_limit", "cancelled")
    for eq in run["equations"]:
        assert _engine.validate(eq["tokens"]) == eq["tokens"]
        assert _engine.render(eq["tokens"]) == (eq["formula"], eq["latex"], eq["python"])
        assert isinstance(eq["error"], float)


@atheris.instrument_func
def TestOneInput(data):
    g = Gen(data)
    if g.pick(3) == 0:
        exercise_search(g)
    else:
        exercise_tokens(g)


if __name__ == "__main__":
    run(TestOneInput)
