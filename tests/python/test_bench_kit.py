"""The benchmark kit's own rules (bench/kit.py): scoring, data and the
process supervisor. The benchmarks themselves are not run here."""

import math
from fractions import Fraction
import sys
import textwrap
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
kit = pytest.importorskip("kit")

Y = np.array([1.0, 2.0, 3.0, 4.0])


@pytest.mark.parametrize("pred, expected", [
    (Y.copy(), 1.0),
    (Y + 1.0, 1.0 - 4.0 / 5.0),
    (np.full(4, Y.mean()), 0.0),
    ([1.0, 2.0, 3.0, math.nan], None),
    ([1.0, 2.0, math.inf, 4.0], None),
    (Y[:3], None),
    (Y.reshape(4, 1), None),
    (None, None),
    (["a", "b", "c", "d"], None),
])
def test_r2_is_none_for_missing_or_non_finite_predictions(pred, expected):
    got = kit.r2(Y, pred)
    assert got == pytest.approx(expected) if expected is not None else got is None


def test_r2_is_none_for_constant_targets():
    assert kit.r2(np.ones(4), np.ones(4)) is None
    assert kit.r2_from_mse(0.0, np.ones(4)) is None


@pytest.mark.parametrize("mse, expected", [(0.0, 1.0), (1.25, 0.0), (math.nan, None), (None, None)])
def test_r2_from_mse_matches_r2(mse, expected):
    got = kit.r2_from_mse(mse, Y)  # Var(Y) = 1.25
    assert got == pytest.approx(expected) if expected is not None else got is None


@pytest.mark.parametrize("r2, exact", [(1.0, True), (1.0 - 1e-10, True), (1.0 - 2e-10, False),
                                       (0.999, False), (None, False)])
def test_exact_recovery_threshold(r2, exact):
    assert kit.is_exact(r2) is exact


class _Model:
    def __init__(self, f):
        self.f = f

    def predict(self, X):
        return self.f(X)


def test_score_judges_held_out_rows_against_the_clean_law():
    problem = kit.PROBLEMS["nguyen-8"]
    data = kit.sample(problem, test_rows=50)
    train = {tuple(r) for r in data.X}
    # Right on the training rows, wrong on the held-out ones: not exact.
    memorizer = _Model(lambda X: np.array([np.sqrt(r[0]) if tuple(r) in train else 0.0 for r in X]))
    rec = kit.score({}, memorizer, data)
    assert kit.is_exact(rec["r2_train"]) and not rec["exact"]
    assert kit.score({}, _Model(lambda X: np.sqrt(X[:, 0])), data)["exact"]


def test_score_never_calls_a_noisy_fit_exact_and_survives_a_failing_predict():
    data = kit.sample(kit.PROBLEMS["nguyen-8"], test_rows=20, noise=0.01)
    assert kit.score({}, _Model(lambda X: np.sqrt(X[:, 0])), data, noise=0.01)["exact"] is False

    def broken(X):
        raise ValueError("no value")

    rec = kit.score({}, _Model(broken), data)
    assert rec["r2_train"] is None and rec["r2_test"] is None and rec["exact"] is False
    assert rec["predict_failed"] == "ValueError: no value"


def test_sample_is_seeded_by_name_and_stays_in_range():
    p = kit.PROBLEMS["I.18.12"]
    a, b = kit.sample(p), kit.sample(p, rows=200)
    assert a.X.shape == (p.rows, 3) and np.array_equal(a.X, b.X[: p.rows])
    assert not np.array_equal(a.X, kit.sample(kit.PROBLEMS["I.12.4"]).X[:, :3])
    for column, (lo, hi) in zip(b.X.T, p.ranges):
        assert lo <= column.min() and column.max() <= hi
    noisy = kit.sample(p, noise=0.05)
    assert noisy.sigma == pytest.approx(0.05 * np.sqrt(np.mean(a.y**2)))
    assert np.array_equal(noisy.X, a.X) and not np.array_equal(noisy.y, a.y)


@pytest.mark.parametrize("name", sorted(kit.PROBLEMS))
def test_every_law_has_finite_targets_on_its_ranges(name):
    data = kit.sample(kit.PROBLEMS[name], test_rows=200)
    assert np.all(np.isfinite(data.y)) and np.all(np.isfinite(data.y_test_clean))


CHILD = textwrap.dedent("""
    import os, signal, time

    def ok(x):
        print("log line", x, flush=True)
        return {"twice": 2 * x, "nan": float("nan")}

    def sleep():
        time.sleep(60)

    def die():
        os._exit(3)

    def boom():
        raise ValueError("bad input")

    def missing():
        import no_such_peer_module

    def alarm():
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        time.sleep(60)

    def hog():
        block = bytearray(400 << 20)
        block[:: 4096] = b"x" * len(block[:: 4096])
        time.sleep(60)
""")


@pytest.fixture
def worker(tmp_path, monkeypatch):
    (tmp_path / "bench_kit_child.py").write_text(CHILD)
    monkeypatch.setenv("PYTHONPATH", str(tmp_path))
    w = kit.Worker("bench_kit_child")
    yield w
    w.stop()


@pytest.mark.parametrize("fn, status, extra", [
    ("sleep", "timeout", {"limit_s": 0.5}),
    ("alarm", "timeout", {"exit_code": -14}),
    ("hog", "memory_limit", {"mem_limit_mib": 150}),
    ("die", "crashed", {"exit_code": 3}),
    ("boom", "failed", {"reason": "ValueError: bad input"}),
    ("missing", "unavailable", {"reason": "ModuleNotFoundError: No module named 'no_such_peer_module'"}),
])
def test_worker_reports_how_a_call_ended_and_serves_the_next(worker, fn, status, extra):
    rec, _ = worker.call(fn, limit_s=0.5 if fn == "sleep" else 30.0, mem_limit_mib=150)
    assert rec["status"] == status
    assert {k: rec.get(k) for k in extra} == extra
    rec, output = worker.call("ok", 21, limit_s=30.0)
    assert (rec["status"], rec["twice"], rec["nan"]) == ("ok", 42, None)
    assert output == "log line 21\n"


def test_fresh_worker_reports_its_process(tmp_path, monkeypatch):
    (tmp_path / "bench_kit_child.py").write_text(CHILD)
    monkeypatch.setenv("PYTHONPATH", str(tmp_path))
    w = kit.Worker("bench_kit_child", fresh=True)
    rec, _ = w.call("ok", 1, limit_s=30.0)
    assert rec["status"] == "ok" and rec["process_peak_rss_mib"] > 0 and w.child is None


@pytest.mark.parametrize("script, limit, status, code", [
    ("echo out; exit 0", 30.0, "ok", 0),
    ("echo out; exit 2", 30.0, "crashed", 2),
    ("echo out; exec sleep 60", 0.5, "timeout", -9),
])
def test_run_command_status_and_output(script, limit, status, code):
    rec, output = kit.run_command(["sh", "-c", script], limit)
    assert (rec["status"], rec["exit_code"], output) == (status, code, "out\n")


# --- The Feynman table, units and the symbolic rules ---

sympy = pytest.importorskip("sympy")


def test_feynman_table_has_the_hundred_laws_with_ranges_and_units():
    table = kit.read_feynman()
    assert len(table) == 100 == len(kit.FEYNMAN) == len(set(kit.FEYNMAN))
    assert sorted(law["number"] for law in table) == list(range(1, 101))
    units = kit.read_units()
    for law in table:
        assert law["declared_vars"] == len(law["vars"]) >= 1, law["filename"]
        assert all(lo < hi for lo, hi in law["ranges"]), law["filename"]
        assert all(n in units for n in (*law["vars"], law["output"])), law["filename"]
        p = kit.PROBLEMS[law["filename"]]
        # Every listed variable enters the law, and nothing else does.
        assert {s.name for s in p.sympy().free_symbols} == set(p.vars), p.name
        assert len(p.units) == len(p.vars) and p.y_units and p.rows == kit.FEYNMAN_ROWS
    assert set(kit.FEYNMAN_18) <= set(kit.FEYNMAN) and len(set(kit.FEYNMAN_18)) == 18
    assert set(kit.FEYNMAN_30) <= set(kit.FEYNMAN) and len(set(kit.FEYNMAN_30)) == 30
    numbers = {law["filename"]: law["number"] for law in table}
    assert all(numbers[n] % 10 in (1, 4, 7) for n in kit.FEYNMAN_30)


def test_units_table_reads_exponents_and_skips_its_empty_row(tmp_path):
    path = tmp_path / "units.csv"
    path.write_text("Variable,Units,m,s,kg,T,V,\nkb,Boltzmann constant,2,-2,1,-1,0,\nf,Dimensionless,0,0,0,0,0,\n"
                    ",,,,,,,\n")
    table = kit.read_units(path)
    assert table == {"kb": {"quantity": "Boltzmann constant", "exponents": {"m": 2, "s": -2, "kg": 1, "K": -1}},
                     "f": {"quantity": "Dimensionless", "exponents": {}}}
    assert kit.unit_string(table["kb"]["exponents"]) == "kg*m^2/(s^2*K)"


@pytest.mark.parametrize("exponents, text", [
    ({}, "1"),
    ({"m": 1, "s": -2}, "m/s^2"),
    ({"kg": 1, "m": 2, "s": -2}, "kg*m^2/s^2"),
    ({"s": -1}, "1/s"),
    ({"V": -2, "s": -2, "m": 1, "kg": 1}, "kg*m/(s^2*V^2)"),
    ({"K": 1, "kg": 1}, "kg*K"),
    ({"m": Fraction(1, 2), "s": Fraction(-3, 2)}, "m^(1/2)/s^(3/2)"),
])
def test_unit_string(exponents, text):
    assert kit.unit_string(exponents) == text


@pytest.mark.parametrize("name, units, y_units", [
    ("I.12.4", ("kg*m^2/(s^2*V)", "kg*m/(s^2*V^2)", "m"), "V/m"),
    ("I.39.22", ("1", "K", "m^3", "kg*m^2/(s^2*K)"), "kg/(m*s^2)"),
    ("I.14.3", ("kg", "m/s^2", "m"), "kg*m^2/s^2"),
])
def test_feynman_problems_carry_unit_strings(name, units, y_units):
    p = kit.PROBLEMS[name]
    assert (p.units, p.y_units) == (units, y_units)
    assert p.describe()["units"] == list(units)


def test_unit_strings_parse_with_pint():
    pint = pytest.importorskip("pint")
    ureg = pint.UnitRegistry()
    # The table's base volt in SI base dimensions.
    base = {"kg": {"[mass]": 1}, "m": {"[length]": 1}, "s": {"[time]": 1}, "K": {"[temperature]": 1},
            "V": {"[mass]": 1, "[length]": 2, "[time]": -3, "[current]": -1}}
    units = kit.read_units()
    for law in kit.read_feynman():
        p = kit.PROBLEMS[law["filename"]]
        for var, text in zip((*law["vars"], law["output"]), (*p.units, p.y_units)):
            want = {}
            for unit, e in units[var]["exponents"].items():
                for dim, k in base[unit].items():
                    want[dim] = want.get(dim, 0) + k * e
            got = dict(ureg.parse_units(text).dimensionality)
            assert got == {d: e for d, e in want.items() if e}, (p.name, var, text)


def test_published_units_make_every_law_consistent_but_one():
    # I.43.16 (v = mu_drift q Volt / d): the table gives mu_drift kg/s where
    # the law needs s/kg (bench/data/README.md). Every other law has its
    # output's dimension, which a misread column would break.
    assert [n for n in kit.FEYNMAN if not kit.units_consistent(kit.PROBLEMS[n])] == ["I.43.16"]
    assert kit.units_consistent(kit.PROBLEMS["nguyen-1"]) is None


def _dims(**named):
    return {sympy.Symbol(n, positive=True): tuple(Fraction(e) for e in d) for n, d in named.items()}


@pytest.mark.parametrize("text, dim", [
    ("x * y", (1, 1)),
    ("x / y + z", (1, -1)),
    ("sqrt(x * x) + 2 * x", (1, 0)),
    ("exp(w) + w + 1", (0, 0)),
    ("x**(3/2)", (Fraction(3, 2), 0)),
    ("x + y", None),
    ("x + 1", None),
    ("exp(x)", None),
    ("cos(w)**x", None),
])
def test_dimension_of_a_formula(text, dim):
    dims = _dims(x=(1, 0), y=(0, 1), z=(1, -1), w=(0, 0))
    expr = kit.parse_formula(text, {s.name: s for s in dims})
    if dim is None:
        with pytest.raises(ValueError):
            kit.dimension(expr, dims)
    else:
        assert kit.dimension(expr, dims) == tuple(Fraction(d) for d in dim)


@pytest.mark.parametrize("name", [n for n in sorted(kit.PROBLEMS) if kit.PROBLEMS[n].formula])
def test_formula_text_is_the_law_that_generates_the_data(name):
    p = kit.PROBLEMS[name]
    data = kit.sample(p, test_rows=50)
    fn = sympy.lambdify(p.symbols(), p.sympy(), "numpy")
    assert np.allclose(np.broadcast_to(fn(*data.X_test.T), data.y_test.shape), data.y_test, rtol=1e-12, atol=1e-12)


def test_parse_formula_names_win_over_sympy_and_numbers_stay_exact():
    names = {n: sympy.Symbol(n) for n in ("gamma", "I", "E_n", "beta", "lambd", "S")}
    expr = kit.parse_formula("1/(gamma-1)*I^2 + 3/2*E_n*beta + lambd*S", names)
    g, i, e, b, lam, s = names.values()
    assert expr == i**2 / (g - 1) + sympy.Rational(3, 2) * e * b + lam * s
    assert kit.parse_formula("ln(x) + arcsin(x) + 2.5e-3", {"x": g}) == sympy.log(g) + sympy.asin(g) + sympy.Float(
        "2.5e-3")


@pytest.mark.parametrize("text, message", [
    ("__import__('os').getcwd()", "unknown name '__import__'"),
    ("x.real", "unexpected '.real'"),
    ("open(x)", "unknown name 'open'"),
    ("x; y", "unexpected '; y'"),
    ("x = 1", "unexpected '= 1'"),
    ("", "empty formula"),
    ("x +", "cannot parse"),
])
def test_parse_formula_rejects_anything_but_a_formula(text, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        kit.parse_formula(text, {"x": sympy.Symbol("x"), "y": sympy.Symbol("y")})


@pytest.mark.parametrize("value, expected", [
    (0.333334, "1/3"), (0.0795775, "1/(4*pi)"), (6.28319, "2*pi"), (-0.49987, "-1/2"), (2.0003, "2"),
    (0.123456, "123/1000"), (3.7, "37/10"), (0.3337, "167/500"), (0.3334, "1/3"), (1.5e-7, "3/20000000"), (0.0, "0"),
])
def test_snap_constant(value, expected):
    assert kit.snap_constant(value) == kit.parse_formula(expected, {})


def _perturbed(expr, factor):
    """The law with every number (pi and rationals too) a float times
    `factor`, and a factor of its own."""
    numeric = sympy.Float(1.0) * expr.evalf(17)
    return numeric.xreplace({c: sympy.Float(float(c) * factor) for c in numeric.atoms(sympy.Float)})


@pytest.mark.parametrize("name", ["I.12.4", "I.40.1", "II.11.28", "III.4.33", "nguyen-12"])
def test_symbolic_match_finds_a_law_with_perturbed_constants(name):
    p = kit.PROBLEMS[name]
    law, syms, X = p.sympy(), p.symbols(), kit.sample(p, test_rows=100).X_test
    # A relative 1e-6 disappears in the rounding to 3 significant digits.
    near = _perturbed(law, 1.0 + 1e-6)
    assert near.atoms(sympy.Float) and near != law
    for kwargs in ({}, {"symbols": syms, "X": X}):
        assert kit.symbolic_match(near, law, **kwargs) is not None
        # The difference or the ratio may be any constant: an offset, a scale.
        assert kit.symbolic_match(law + sympy.Float(1.5), law, **kwargs) == {"kind": "difference",
                                                                             "constant": "3/2"}
        assert kit.symbolic_match(sympy.Float(2.0) * law, law, **kwargs) == {"kind": "ratio", "constant": "2"}


@pytest.mark.parametrize("name, wrong", [
    ("I.12.4", "q1/(4*pi*epsilon*r)"),
    ("I.40.1", "n_0*exp(-m*g*x/kb*T)"),
    ("II.11.28", "1+n*alpha/(1-(n*alpha/2))"),
    ("nguyen-12", "x**4 - x**3 + y**2/2 + y"),
])
def test_symbolic_match_rejects_a_wrong_law(name, wrong):
    p = kit.PROBLEMS[name]
    law, syms = p.sympy(), p.symbols()
    other = kit.parse_formula(wrong, dict(zip(p.vars, syms)))
    X = kit.sample(p, test_rows=100).X_test
    assert kit.symbolic_match(other, law) is None
    assert kit.symbolic_match(other, law, syms, X) is None
    # A constant off in its third significant digit is another law, too.
    assert kit.symbolic_match(_perturbed(law, 1.0 + 3e-3) + sympy.Float(1.0) * syms[0], law) is None


def test_symbolic_match_does_not_count_a_zero_formula():
    p = kit.PROBLEMS["I.12.4"]
    assert kit.symbolic_match(sympy.Float(0.0) * p.symbols()[0], p.sympy()) is None


@pytest.mark.parametrize("factor, within", [(1.0, True), (1.004, True), (0.996, True), (1.02, False),
                                            (0.98, False)])
def test_law_within_one_percent(factor, within):
    p = kit.PROBLEMS["III.4.33"]  # constants inside and outside the exponential
    law, syms, X = p.sympy(), p.symbols(), kit.sample(p, test_rows=100).X_test
    assert kit.law_within(_perturbed(law, factor), law, syms, X) is within


def test_law_within_rejects_an_extra_term_and_a_wrong_structure():
    p = kit.PROBLEMS["I.12.4"]
    law, syms, X = p.sympy(), p.symbols(), kit.sample(p, test_rows=100).X_test
    q1, eps, r = syms
    assert kit.law_within(law, law, syms, X)  # no constants at all
    assert kit.law_within(sympy.Float(0.0796) * q1 / (eps * r ** sympy.Float(2.01)), law, syms, X)
    # A term the law does not have: too large, or small enough to be noise.
    assert not kit.law_within(_perturbed(law, 1.0) + sympy.Float(1e-3) * r, law, syms, X)
    assert kit.law_within(_perturbed(law, 1.0) + sympy.Float(1e-7) * r + sympy.Float(1e-7), law, syms, X)
    assert not kit.law_within(sympy.Float(0.0796) * q1 / (eps * r), law, syms, X)
    assert not kit.law_within(q1 / (eps * r**2), law, syms, X)


def test_time_limit_interrupts_a_long_computation():
    with pytest.raises(TimeoutError, match="over 0.1 s"):
        with kit.time_limit(0.1):
            while True:
                pass
    with kit.time_limit(None):
        pass


_X0, _X1 = sympy.symbols("x0 x1", positive=True)


@pytest.mark.parametrize("text, expected", [
    ("add(mul(X0, X1), 0.5)", _X0 * _X1 + sympy.Float(0.5)),
    ("div(sub(X1, -1.25), neg(X0))", -(_X1 + sympy.Float(1.25)) / _X0),
    ("sqrt(log(inv(X0)))", sympy.sqrt(sympy.Abs(sympy.log(1 / _X0)))),
    ("max(X0, cos(X1))", sympy.Max(_X0, sympy.cos(_X1))),
    ("abs(tan(min(X1, 2)))", sympy.Abs(sympy.tan(sympy.Min(_X1, sympy.Float(2.0))))),
])
def test_gplearn_program_as_sympy(text, expected):
    assert sympy.simplify(kit.gplearn_sympy(text, [_X0, _X1]) - expected) == 0


@pytest.mark.parametrize("text", ["add(X0)", "mul(X0, X1", "add(X0, X1) X2", "pow(X0, X1)", "add(X0, X9)"])
def test_gplearn_program_errors(text):
    with pytest.raises((ValueError, IndexError)):
        kit.gplearn_sympy(text, sympy.symbols("x0 x1"))


def test_rename_symbols_is_simultaneous():
    # I.8.14's variables are x1 x2 y1 y2: x0 -> x1 and x1 -> x2 must not chain.
    p = kit.PROBLEMS["I.8.14"]
    x0, x1, x2 = sympy.symbols("x0 x1 x2")
    got = kit.rename_symbols(x0 + 2 * x1 + 3 * x2, p.symbols(), "x")
    a, b, c, _ = p.symbols()
    assert got == a + 2 * b + 3 * c
    assert kit.rename_symbols(sympy.Symbol("X1") * sympy.Symbol("X4"), p.symbols(), "X", first=1) == a * p.symbols()[3]


def test_symbolic_match_merges_and_drops_before_rounding():
    # What a fit with free constants returns: factors that multiply out to
    # the law's only before rounding, and offsets of 1e-9.
    p = kit.PROBLEMS["I.14.3"]
    m, g, z = syms = p.symbols()
    X = kit.sample(p, test_rows=100).X_test
    found = sympy.Float(0.873015687841384404) * g * m * (sympy.Float(1.1454547643661499) * z + sympy.Float(1.16e-9))
    assert kit.symbolic_match(found, p.sympy(), syms, X) == {"kind": "difference", "constant": "0"}
    assert kit.symbolic_match(found, p.sympy()) is None  # without rows, nothing is negligible
    assert kit.drop_negligible(found, syms, X) == sympy.Float(0.873015687841384404) * g * m * (
        sympy.Float(1.1454547643661499) * z)
    # A term of 1 % is not negligible.
    assert kit.symbolic_match(found + sympy.Float(0.01) * m * g * g, p.sympy(), syms, X) is None
    x = sympy.Symbol("x", real=True)
    poly = kit.PROBLEMS["nguyen-1"]
    merged = (sympy.Float(0.631194666766475623) * x * (sympy.Float(1.74352264404296875) * x * (
        sympy.Float(0.90867608785629272) * x + sympy.Float(0.90867608785629272)) - sympy.Float(0.01052170991897583))
        + sympy.Float(1.00664138873115405) * x)
    assert kit.symbolic_match(merged, poly.sympy()) == {"kind": "difference", "constant": "0"}


# --- The discovery benchmark's summary ---

discovery = pytest.importorskip("discovery_bench")


def _rec(exact=False, r2=None, status="ok", symbolic=False, law=False):
    return {"status": status, "exact": exact, "r2_test_clean": r2, "symbolic": symbolic,
            "law_within_1pct": law, "wall_s": 1.0}


def test_summary_counts_and_takes_the_approximation_over_laws_neither_reference_recovered():
    runs = ["nguyen-1", "I.12.1", "I.12.4", "I.14.3", "I.34.8", "I.12.1+noise", "I.12.4+noise"]
    results = {
        "vok": {"nguyen-1": _rec(True, 1.0, symbolic="difference", law=True),
                "I.12.1": _rec(True, 1.0, symbolic="difference", law=True),
                "I.12.4": _rec(False, 0.99),
                "I.14.3": _rec(False, 0.9),
                "I.34.8": _rec(status="timeout"),
                "I.12.1+noise": _rec(False, 0.999, symbolic="ratio", law=True),
                "I.12.4+noise": _rec(False, None)},
        "pyoperon": {"nguyen-1": _rec(False, 0.5),
                     "I.12.1": _rec(False, 0.999999),
                     "I.12.4": _rec(True, 1.0),
                     "I.14.3": _rec(False, 0.999),
                     "I.34.8": _rec(False, 0.9999),
                     "I.12.1+noise": _rec(False, 0.998),
                     "I.12.4+noise": _rec(False, 0.997)},
        "vok_units": {r: _rec(status="unavailable") for r in runs},
    }
    methods = list(results)
    # Recovered by neither vok nor pyoperon: I.14.3 and I.34.8.
    assert discovery.unrecovered(runs, methods, results) == ["I.14.3", "I.34.8"]
    totals = discovery.summarize(runs, methods, results)
    vok, op = totals["vok"], totals["pyoperon"]
    assert (vok["nguyen"]["exact"], vok["feynman"]["exact"], op["feynman"]["exact"]) == (1, 1, 1)
    assert (vok["feynman"]["symbolic"], vok["feynman"]["law_within_1pct"], vok["feynman"]["failures"]) == (1, 1, 1)
    assert vok["feynman"]["median_gap"] == pytest.approx(0.055)  # 0, 0.01, 0.1, inf
    assert vok["feynman"]["median_gap_unrecovered"] == math.inf  # 0.1 and inf
    assert op["feynman"]["median_gap_unrecovered"] == pytest.approx((1e-3 + 1e-4) / 2)
    assert vok["feynman_noisy"]["median_r2_test_clean"] == -math.inf  # 0.999 and a failure
    assert op["feynman_noisy"]["median_r2_test_clean"] == pytest.approx(0.9975)
    assert (vok["feynman_noisy"]["symbolic"], vok["feynman_noisy"]["law_within_1pct"]) == (1, 1)
    units = totals["vok_units"]["feynman"]
    assert (units["unavailable"], units["failures"], units["median_gap"]) == (4, 0, None)


def test_unrecovered_falls_back_to_every_method_without_the_reference_pair():
    runs = ["I.12.1", "I.12.4"]
    results = {"gplearn": {"I.12.1": _rec(True, 1.0), "I.12.4": _rec(False, 0.5)},
               "vok_sr": {"I.12.1": _rec(False, 0.5), "I.12.4": _rec(status="timeout")}}
    assert discovery.unrecovered(runs, list(results), results) == ["I.12.4"]


@pytest.mark.parametrize("rec, text", [
    (_rec(True, 1.0, symbolic="ratio", law=True), "EXACT 1.0s c3 SL"),
    (_rec(False, 0.98765, law=True), "0.9877 1.0s c3 L"),
    (_rec(status="unavailable"), "n/a"),
    (_rec(status="timeout"), "timeout"),
])
def test_discovery_cell(rec, text):
    assert discovery.cell({**rec, "complexity": 3}, noisy=False) == text


def test_fit_takes_units_reads_the_signature(monkeypatch):
    vok_learn = pytest.importorskip("vok_learn")
    monkeypatch.setattr(vok_learn.VokRegressor, "fit", lambda self, X, y, X_units=None, y_units=None: self)
    assert discovery.fit_takes_units()
    monkeypatch.setattr(vok_learn.VokRegressor, "fit", lambda self, X, y: self)
    assert not discovery.fit_takes_units()


def test_vok_units_passes_the_laws_units_to_fit_and_judges_the_formula(monkeypatch):
    calls = []

    class Model:
        def predict(self, X):
            return X[:, 0] / (4.0 * np.pi * X[:, 1] * X[:, 2] ** 2)

        def sympy(self):
            x0, x1, x2 = sympy.symbols("x0 x1 x2")
            return sympy.Float(0.0795774715459477) * x0 / (x1 * x2**2)

    def fit(X, y, fit_params=None, **params):
        calls.append((X.shape, fit_params, params))
        return {"wall_s": 0.1, "complexity": 9}, Model()

    monkeypatch.setattr(kit, "fit_vok_learn", fit)
    monkeypatch.setattr(discovery, "fit_takes_units", lambda: True)
    rec = discovery.work("vok_units", "I.12.4", 0.0, 1.5)
    assert calls == [((50, 3), {"X_units": ["kg*m^2/(s^2*V)", "kg*m/(s^2*V^2)", "m"], "y_units": "V/m"},
                      {"time_limit": 1.5})]
    assert rec["exact"] and rec["symbolic"] == "difference" and rec["law_within_1pct"] is True
    assert rec["y_units"] == "V/m" and rec["sympy"] == "0.0795774715459477*q1/(epsilon*r**2)"
    monkeypatch.setattr(discovery, "fit_takes_units", lambda: False)
    assert discovery.work("vok_units", "I.12.4", 0.0, 1.5) == {
        "status": "unavailable", "reason": "VokRegressor.fit takes no X_units / y_units"}
    assert discovery.work("vok_units", "nguyen-1", 0.0, 1.5)["reason"] == "the problem has no units"
    assert len(calls) == 1


def test_recorder_keeps_each_search_passes_its_overrides_and_restores_the_engine():
    _engine = pytest.importorskip("vok_learn._engine")
    original = _engine.search
    x = np.linspace(1.0, 2.0, 12)
    seen = []
    with kit.Recorder(max_complexity=2) as rec:
        _engine.search(x[:, None], 2.0 * x, max_complexity=4, callback=lambda e: seen.append(e["kind"]))
        _engine.search(x[:, None], x * x, max_complexity=4)
    assert _engine.search is original
    assert [[e["level"] for e in c["events"]] for c in rec.calls] == [[1, 2], [1, 2]]
    assert all("front" not in e and e["candidates"] > 0 and kit.level_seconds(e) >= 0.0
               for c in rec.calls for e in c["events"])
    assert seen.count("level") == 2  # the caller's own callback still sees every event
    with pytest.raises(ValueError, match="screen_factor must be a number >= 0"):
        with kit.Recorder(screen_factor=-1.0):
            _engine.search(x[:, None], x, max_complexity=2)
    assert _engine.search is original
