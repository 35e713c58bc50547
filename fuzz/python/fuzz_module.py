"""atheris fuzzer for the vok_sr module boundary.

Arbitrary objects and arrays go into every Searcher method, every
SearchResult method and the constructor. Every call must end in a result of
the documented type or in one of the documented exceptions; anything else
(another exception type, a wrong result type, a crash or sanitizer report)
is a finding. Searches stay tiny (max_complexity <= 3, beam_width <= 6) so
that executions are fast.

Run: python fuzz/python/fuzz_module.py [libFuzzer flags] [corpus dirs]
"""
import math
import os
import sys

import atheris
import numpy as np
import vok_sr

DOCUMENTED = (TypeError, ValueError, OverflowError, vok_sr.VokDimensionError,
              vok_sr.VokComplexityError)


class Boom(Exception):
    """Raised by hostile objects; the caller's own exception may propagate."""


ALLOWED = DOCUMENTED + (Boom,)

NUMBERS = [0.0, -0.0, 1.0, -1.0, 2.5, math.nan, -math.nan, math.inf, -math.inf, 1e308,
           -1e308, 5e-324, 2.2250738585072014e-308, 1e15, 1e-300, 3, -7, True, False,
           2**63, 2**64, -(2**63), 2**1100, np.float32(1.5), np.int64(4), np.float64(0.25)]


class FloatLike:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class IndexLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class BadFloat:
    def __float__(self):
        raise Boom("float")


class FloatNotFloat:
    def __float__(self):
        return "not a float"


class LyingSeq:
    """A sequence whose length and items disagree."""

    def __init__(self, items, length, fail_at=None):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        if self.length is None:
            raise Boom("len")
        return self.length

    def __getitem__(self, i):
        if self.fail_at is not None and i == self.fail_at:
            raise Boom("getitem")
        return self.items[i]


class Mutator:
    """Changes the list that holds it while that list is being read."""

    def __init__(self, victim, mode):
        self.victim, self.mode = victim, mode

    def __float__(self):
        if self.mode == 0:
            self.victim.clear()
        elif self.mode == 1:
            self.victim.extend([1.0] * 64)
        else:
            del self.victim[:len(self.victim) // 2]
        return 1.0


class Gen:
    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def pick(self, n):
        return self.fdp.ConsumeIntInRange(0, n - 1)

    def small(self, n):
        return self.fdp.ConsumeIntInRange(0, n)

    def number(self):
        k = self.pick(4)
        if k == 0:
            return self.fdp.ConsumeFloat()
        if k == 1:
            return self.fdp.ConsumeInt(9)
        return NUMBERS[self.pick(len(NUMBERS))]

    @atheris.instrument_func
    def scalar(self):
        k = self.pick(12)
        if k < 6:
            return self.number()
        return [None, "1.5", b"2", 1 + 2j, FloatLike(self.number()), IndexLike(self.fdp.ConsumeInt(9)),
                BadFloat(), FloatNotFloat()][min(k - 6 + self.pick(3), 7)]

    @atheris.instrument_func
    def array(self, ndim):
        dtype = [np.float64, np.float32, np.int64, np.bool_, np.complex128, object,
                 ">f8", np.float16][self.pick(8)]
        shape = tuple(self.small(5) for _ in range(ndim))
        size = int(np.prod(shape)) if shape else 1
        values = [self.number() for _ in range(size)]
        try:
            a = np.array(values, dtype=object).reshape(shape).astype(dtype)
        except (OverflowError, ValueError, TypeError):
            a = np.zeros(shape, dtype=dtype)
        layout = self.pick(6)
        if layout == 1 and ndim >= 1:
            a = a[::2] if ndim == 1 else a[::2, ::-1]
        elif layout == 2:
            a = a.T
        elif layout == 3:
            a = np.asfortranarray(a)
        elif layout == 4 and ndim >= 1:
            a = a[::-1]
        elif layout == 5:
            a.flags.writeable = False
        return a

    @atheris.instrument_func
    def vector(self, depth=0):
        k = self.pick(10)
        n = self.small(6)
        if k <= 2:
            return [self.number() for _ in range(n)]
        if k == 3:
            return tuple(self.scalar() for _ in range(n))
        if k == 4:
            return self.array(self.small(3))
        if k == 5:
            return LyingSeq([self.number() for _ in range(n)],
                            [None, 0, n, n + 5, sys.maxsize][self.pick(5)],
                            fail_at=self.small(n) if self.pick(2) else None)
        if k == 6:
            victim = [self.number() for _ in range(n)]
            victim.append(Mutator(victim, self.pick(3)))
            victim.extend(self.number() for _ in range(self.small(3)))
            return victim
        if k == 7 and depth < 2:
            return [self.vector(depth + 1) for _ in range(self.small(3))]
        if k == 8:
            return (x for x in range(n))
        return self.scalar()

    @atheris.instrument_func
    def matrix(self):
        k = self.pick(6)
        rows = self.small(6)
        if k <= 1:
            cols = self.small(4)
            return [[self.number() for _ in range(cols)] for _ in range(rows)]
        if k == 2:
            return self.array(2)
        if k == 3:
            return [[self.number() for _ in range(self.small(4))] for _ in range(rows)]  # ragged
        if k == 4:
            victim = [[1.0] for _ in range(rows)]
            victim.append([Mutator(victim, self.pick(3))])
            return victim
        return self.vector()

    def option(self):
        k = self.pick(4)
        return None if k == 0 else self.scalar() if k == 1 else self.number()


def tiny_searcher(g):
    return vok_sr.Searcher(max_complexity=g.small(3), complexity_penalty=g.number() if g.pick(2) else 0.1,
                           beam_width=g.small(6), alpha=g.number() if g.pick(3) == 0 else 0.0,
                           l1_ratio=g.number() if g.pick(3) == 0 else 0.5)


def check_result(r):
    assert type(r) is vok_sr.SearchResult, type(r)
    assert isinstance(r.formula, str) and isinstance(r.error, float)
    assert isinstance(r.complexity, int) and r.complexity >= 1
    assert repr(r).startswith("SearchResult(formula='")


@atheris.instrument_func
def exercise_result(g, r):
    check_result(r)
    for _ in range(1 + g.small(3)):
        k = g.pick(8)
        try:
            if k == 0:
                assert isinstance(r.eval(g.vector() if g.pick(2) else g.scalar()), float)
            elif k == 1:
                out = r.eval_batch(g.matrix())
                assert isinstance(out, list) and all(isinstance(v, float) for v in out)
            elif k == 2:
                out = r.predict(inputs=g.matrix())
                assert isinstance(out, list) and all(isinstance(v, float) for v in out)
            elif k == 3:
                assert isinstance(r.to_latex(), str) and isinstance(r.to_python(), str)
            elif k == 4:
                r.to_latex(g.scalar())
                raise AssertionError("to_latex accepted an argument")
            elif k == 5:
                r.eval()
                raise AssertionError("eval accepted no argument")
            elif k == 6:
                r.eval(x=g.scalar(), y=1)
                raise AssertionError("eval accepted an unknown keyword")
            else:
                assert isinstance(repr(r), str) and str(r) == repr(r)
        except ALLOWED:
            pass


@atheris.instrument_func
def search(g, s):
    k = g.pick(6)
    kw = {}
    if g.pick(2):
        kw["alpha"] = g.option()
    if g.pick(2):
        kw["l1_ratio"] = g.option()
    if k == 0:
        out = s.find_function(g.vector(), g.vector(), **kw)
    elif k == 1:
        out = s.find_multivariate(g.matrix(), g.vector(), **kw)
    elif k == 2:
        out = s.fit(inputs=g.matrix(), ys=g.vector(), **kw)
    elif k == 3:
        out = s.find_candidates(g.matrix(), g.vector(), **kw)
        assert isinstance(out, list)
        for r in out:
            check_result(r)
        return out
    elif k == 4:
        out = s.recognize_constant(g.scalar(), **kw)
    else:
        # Binding errors: too many, unknown, duplicate.
        [lambda: s.find_function(1, 2, 3, 4, 5), lambda: s.fit([[1.0]], [1.0], beta=1),
         lambda: s.recognize_constant(1.0, value=2.0), lambda: s.find_candidates()][g.pick(4)]()
        raise AssertionError("binding error not raised")
    check_result(out)
    return [out]


@atheris.instrument_func
def construct(g):
    args = [g.option() if g.pick(3) else g.number() for _ in range(g.small(6))]
    names = ["max_complexity", "complexity_penalty", "beam_width", "alpha", "l1_ratio", "gamma"]
    kwargs = {names[g.pick(6)]: g.option() for _ in range(g.small(2))}
    s = vok_sr.Searcher(*args, **kwargs)
    assert isinstance(s.max_complexity, int) and isinstance(s.beam_width, int)
    assert all(isinstance(getattr(s, n), float) for n in ("complexity_penalty", "alpha", "l1_ratio"))
    return s


@atheris.instrument_func
def TestOneInput(data):
    g = Gen(data)
    k = g.pick(4)
    try:
        if k == 0:
            construct(g)
            return
        if k == 1:
            try:
                vok_sr.SearchResult()
            except TypeError:
                return
            raise AssertionError("SearchResult() constructed")
        s = tiny_searcher(g)
    except ALLOWED:
        return
    results = []
    for _ in range(1 + g.small(2)):
        try:
            results.extend(search(g, s))
        except ALLOWED:
            pass
    del s  # results must outlive their searcher
    for r in results[:3]:
        exercise_result(g, r)


def run(test_one_input):
    """Fuzzes `test_one_input` with the command line's libFuzzer flags."""
    # Searches print progress to the process's standard output; libFuzzer
    # reports on standard error.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    run(TestOneInput)
