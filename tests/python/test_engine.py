"""The private engine entry of vok_learn: the same searches as vok_sr,
exact token lists, evaluation, and a search that can be bounded, watched,
silenced and interrupted."""

import math
import re
import threading

import numpy as np
import pytest

import vok_sr
from vok_learn import _engine

from conftest import run_python, start_python


@pytest.fixture(scope="module")
def problem():
    rng = np.random.default_rng(3)
    X = rng.uniform(0.5, 2.0, size=(30, 2))
    y = np.sin(X[:, 0]) * X[:, 1] + 0.05 * rng.normal(size=30)
    return X, y


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def test_searches_equal_vok_sr_bit_for_bit(problem):
    X, y = problem
    settings = dict(max_complexity=4, beam_width=200, alpha=0.01, l1_ratio=0.3)
    listed = vok_sr.Searcher(**settings).find_candidates(X, y)
    run = _engine.search(X, y, exhaustive=True, **settings)
    assert [(e["formula"], e["complexity"]) for e in run["equations"]] == [
        (c.formula, c.complexity) for c in listed]
    assert bits([e["error"] for e in run["equations"]]).tolist() == bits([c.error for c in listed]).tolist()
    assert [e["latex"] for e in run["equations"]] == [c.to_latex() for c in listed]
    assert [e["python"] for e in run["equations"]] == [c.to_python() for c in listed]
    assert run["stop_reason"] == "completed" and run["last_level"] == 4
    # One thread finds the same.
    single = _engine.search(X, y, exhaustive=True, threads=1, **settings)
    assert single["equations"] == run["equations"]


def test_tokens_round_trip_and_evaluate_like_eval_batch(problem):
    X, _ = problem
    y = 2.5 * np.cos(X[:, 0]) - X[:, 1]
    best = vok_sr.Searcher(max_complexity=4).fit(X, y)
    tokens = _engine.search(X, y, max_complexity=4)["equations"][0]["tokens"]
    assert _engine.validate(tokens) == tokens
    assert _engine.render(tokens) == (best.formula, best.to_latex(), best.to_python())
    consts = [t[1] for t in tokens if t[0] == "const"]
    assert consts and all(isinstance(c, float) for c in consts)
    grid = np.linspace(-4.0, 4.0, 2 * 1500).reshape(2, 1500).T  # non-contiguous view
    grid[3, 0] = np.nan
    grid[5, 1] = -np.inf
    want = np.array(best.eval_batch(np.ascontiguousarray(grid)))
    got = _engine.evaluate(tokens, grid)
    assert got.dtype == np.float64 and got.shape == (1500,)
    assert np.array_equal(bits(got), bits(want))
    assert _engine.evaluate(tokens, [[1.0, 2.0, 99.0]]).shape == (1,)


@pytest.mark.parametrize("tokens, message", [
    ([], "the token list is empty"),
    ("v", "tokens must be a list of token tuples"),
    (None, "tokens must be a list of token tuples"),
    ([("var", 0), ("var", 1)], "the tokens leave 2 values instead of one formula"),
    ([("op", 8, "Plus")], "token 0: operator Plus needs 2 operands but has 0"),
    ([("var", 0), ("op", 8, "Times")], "token 1: id 8 is Plus, not 'Times'"),
    ([("var", 0), ("op", 3, "Pi")], "token 1: that id is a named constant, not an operator"),
    ([("named", 9, "Times")], "token 0: that id is an operator, not a named constant"),
    ([("var", 255)], "token 0: index or id out of range"),
    ([("var", True)], "token 0: expected an integer index or id"),
    ([("var", 0), ("op", 23, "X")], "token 1: index or id out of range"),
    ([("const", "1.5")], "token 0: expected a real number"),
    ([("const", 10**400)], "token 0: the number does not fit a float"),
    ([("var",)], "token 0: a 'var' token is ('var', index)"),
    ([42], "token 0: expected a tuple such as ('var', 0), ('const', 1.5) or ('op', 8, 'Plus')"),
    ([("sin", 0)], "token 0: unknown kind 'sin' (expected 'var', 'const', 'literal', 'named' or 'op')"),
])
def test_malformed_token_lists_raise_value_error(tokens, message):
    for call in (_engine.validate, _engine.render, lambda t: _engine.evaluate(t, [[1.0]])):
        with pytest.raises(ValueError) as info:
            call(tokens)
        assert str(info.value) == message


def test_evaluate_needs_the_columns_the_formula_reads():
    with pytest.raises(ValueError, match="the formula reads column 2 but X has 2 columns"):
        _engine.evaluate([("var", 2)], np.ones((3, 2)))


# Every operator over every kind of operand: the Python text, run with NumPy
# on real points where the formula stays real, computes what the engine does.
OPERATORS = [(i, name, arity) for i, name, arity in _engine.operators() if arity > 0]
OPERANDS = {
    "variable": [("var", 0)],
    "constant": [("const", -0.75)],
    "named": [("named", 3, "Pi")],
    "sum": [("var", 0), ("var", 1), ("op", 8, "Plus")],
    "difference": [("var", 1), ("var", 0), ("op", 10, "Subtract")],
    "product": [("var", 0), ("const", 1.5), ("op", 9, "Times")],
    "vok": [("var", 0), ("var", 1), ("op", 5, "VOK")],
    "quotient": [("var", 1), ("var", 0), ("op", 11, "Divide")],
    "negation": [("var", 0), ("op", 6, "Neg")],
    "power": [("var", 1), ("op", 21, "Square")],
}


def python_value(text, X):
    code = re.sub(r"v_\{(\d+)\}", r"v[\1]", text)
    with np.errstate(all="ignore"):
        return np.broadcast_to(eval(code, {"np": np, "v": X.T}), X.shape[:1]).astype(np.float64)


@pytest.mark.parametrize("op", OPERATORS, ids=[name for _, name, _ in OPERATORS])
def test_python_text_computes_the_formula(op):
    op_id, name, arity = op
    rng = np.random.default_rng(op_id)
    X = rng.uniform(0.05, 0.45, size=(64, 2))
    cases = []
    for kind, operand in OPERANDS.items():
        if arity == 1:
            cases.append((kind, operand + [("op", op_id, name)]))
        else:
            cases.append((kind + " left", operand + [("var", 1), ("op", op_id, name)]))
            cases.append((kind + " right", [("var", 1)] + operand + [("op", op_id, name)]))
    for label, tokens in cases:
        want = _engine.evaluate(tokens, X)
        got = python_value(_engine.render(tokens)[2], X)
        real = np.isfinite(want) & np.isfinite(got)
        if not real.any():
            continue  # e.g. the logarithm of a negative constant: not real anywhere
        np.testing.assert_allclose(got[real], want[real], rtol=1e-12, atol=0, err_msg=label)
        assert np.array_equal(np.isfinite(want), np.isfinite(got)) or name in ("Log", "Sqrt", "ArcSin",
                                                                                  "ArcCos", "VOK"), label


BAD_CALLS = [
    (dict(X=np.ones(5), y=np.ones(5)), ValueError, "X must be a 2-D array"),
    (dict(X=np.ones((5, 1)), y=np.ones((5, 1))), ValueError, "y must be a 1-D array"),
    (dict(X=np.ones((5, 1)), y=np.ones(4)), ValueError, "same number of rows"),
    (dict(X=np.ones((0, 1)), y=np.ones(0)), ValueError, "at least one"),
    (dict(X=[[1.0], [math.nan]], y=[1.0, 2.0]), ValueError, r"X contains NaN or infinity \(at row 1\)"),
    (dict(X=[[1.0], [2.0]], y=[1.0, math.inf]), ValueError, r"y contains NaN or infinity \(at row 1\)"),
    (dict(X=[["a"], ["b"]], y=[1.0, 2.0]), ValueError, "could not convert"),
    (dict(X=np.ones((2, 1), complex), y=[1.0, 2.0]), ValueError, "not complex numbers"),
    (dict(X=np.ones((2, 256)), y=[1.0, 2.0]), ValueError, "at most 255"),
    (dict(time_limit=-1.0), ValueError, "time_limit must be a non-negative"),
    (dict(time_limit=math.nan), ValueError, "time_limit must be a non-negative"),
    (dict(time_limit="1"), TypeError, "time_limit"),
    (dict(threads=0), ValueError, "threads must be a positive integer"),
    (dict(threads=1.5), TypeError, "threads must be a positive integer"),
    (dict(output="loud"), ValueError, "output must be 'silent' or 'stdout'"),
    (dict(callback=1), TypeError, "callback must be callable"),
    (dict(ranking="best"), ValueError, "ranking must be 'raw' or 'affine', not 'best'"),
    (dict(constants=None), ValueError, "constants must be 'fitted', 'named' or 'both', not None"),
    (dict(max_complexity=-1), OverflowError, None),
    (dict(bogus=1), TypeError, "unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize("kwargs, error, message", BAD_CALLS)
def test_bad_search_arguments_raise(kwargs, error, message):
    call = dict(X=np.ones((3, 1)), y=np.ones(3), max_complexity=2)
    call.update(kwargs)
    with pytest.raises(error, match=message):
        _engine.search(**call)


@pytest.mark.parametrize("constants, leaves", [
    ("fitted", ["C"]), ("named", ["0", "1", "I", "Pi", "E"]), ("both", ["C", "0", "1", "I", "Pi", "E"])])
def test_constant_leaves(constants, leaves):
    run = _engine.search([[]], [math.pi], max_complexity=1, constants=constants, exhaustive=True)
    formulas = {e["formula"] for e in run["equations"]}
    # Pi itself is exact; a fitted constant is the best leaf only without it.
    assert formulas == ({"Pi"} if "Pi" in leaves else {"C"})
    if constants != "fitted":
        assert run["equations"][0]["tokens"] == [("named", 3, "Pi")] and run["equations"][0]["error"] == 0.0


def test_callback_sees_levels_and_progress_and_can_stop_the_search(problem):
    X, y = problem
    events = []
    run = _engine.search(X, y, max_complexity=4, callback=events.append)
    levels = [e for e in events if e["kind"] == "level"]
    assert [e["level"] for e in levels] == [1, 2, 3, 4]
    assert all(a["best_error"] >= b["best_error"] for a, b in zip(levels, levels[1:]))
    ticks = [e for e in events if e["kind"] == "progress"]
    assert ticks and all(t["done"] <= t["total"] for t in ticks)
    assert ticks[-1]["done"] == ticks[-1]["total"] and ticks[-1]["level"] == 4
    assert run["last_level"] == 4

    def stop_at_three(event):
        if event["kind"] == "level" and event["level"] == 3:
            raise LookupError("enough")

    with pytest.raises(LookupError, match="enough") as info:
        _engine.search(X, y, max_complexity=6, callback=stop_at_three)
    partial = info.value.partial
    assert partial["stop_reason"] == "cancelled" and partial["last_level"] == 3
    assert partial["equations"]


def test_time_limit_returns_the_front_so_far(problem):
    X, y = problem
    run = _engine.search(X, y, max_complexity=12, time_limit=0.0)
    assert run["stop_reason"] == "time_limit" and run["last_level"] == 1
    assert [e["formula"] for e in run["equations"]] == [
        c.formula for c in vok_sr.Searcher(max_complexity=1).find_candidates(X, y)]


def test_other_threads_run_during_a_search(problem):
    X, y = problem
    done = threading.Event()
    count = [0]

    def spin():
        while not done.is_set():
            count[0] += 1

    thread = threading.Thread(target=spin)
    thread.start()
    try:
        before = count[0]
        _engine.search(X, y, max_complexity=6, beam_width=300)
        during = count[0] - before
    finally:
        done.set()
        thread.join()
    assert during > 1000


def test_ctrl_c_stops_the_search_with_the_results_so_far():
    # SIGINT comes from outside, as Ctrl-C would, once level 2 is done; the
    # whole search would take minutes, so only the signal ends it early.
    code = """
import numpy as np
from vok_learn import _engine
rng = np.random.default_rng(1)
X = rng.uniform(-2, 2, size=(60, 3)); y = X[:, 0] * np.cos(X[:, 1]) + rng.normal(size=60) * 0.01
try:
    _engine.search(X, y, max_complexity=14, output="stdout")
    print("not interrupted")
except KeyboardInterrupt as e:
    p = e.partial
    print("partial:", p["stop_reason"], p["last_level"], len(p["equations"]) > 0)
"""
    with start_python(code, doing="a max_complexity=14 search that Ctrl-C should stop") as child:
        child.wait_for_output(rb"Level 2 processed", within=60)
        child.interrupt()
        proc = child.finish(within=30, waiting_for="waiting for the search to stop after SIGINT")
    out = proc.stdout.decode()
    assert proc.returncode == 0, proc.stderr.decode()
    reason, last_level, found = out.rsplit("partial:", 1)[1].split()
    printed = [int(k) for k in re.findall(r"Level (\d+) processed", out)]
    assert (reason, found) == ("cancelled", "True"), out
    # the last level the partial result counts as completed is the last one reported
    assert 2 <= int(last_level) == printed[-1] < 14, out


@pytest.mark.parametrize("output, printed", [("silent", False), ("stdout", True)])
def test_output_goes_to_file_descriptor_one_only_when_asked(output, printed):
    code = f"""
from vok_learn import _engine
_engine.search([[1.0], [2.0], [3.0]], [1.0, 4.0, 9.5], max_complexity=3, output={output!r})
"""
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr.decode()
    assert ("[VOK-SR]" in proc.stdout.decode()) is printed
    assert proc.stderr == b""


# --- A search stepped level by level ------------------------------------------


def _stepped(X, y, size, remote, **settings):
    """Runs a LevelStepper to the end, each level in ranges of `size`."""
    s = _engine.LevelStepper(X, y, **settings)
    while (k := s.next_level()) is not None:
        assert s.level == k
        scorer = _engine.LevelScorer(s.payload()) if remote else None
        parts = []
        for first in range(0, s.candidate_count, size):
            count = min(size, s.candidate_count - first)
            if remote:
                parts.append(scorer.score(memoryview(s.recipes(first, count)), first))
            else:
                parts.append(s.score(first, count))
        info = s.absorb(parts[::-1])
        assert info["level"] == k and s.level == 0
    return s.result()


@pytest.mark.parametrize(
    "settings",
    [dict(max_complexity=5, beam_width=40), dict(max_complexity=5, beam_width=25, ranking="affine", constants="both")],
)
@pytest.mark.parametrize("size, remote", [(10**9, False), (333, True), (41, False)])
def test_a_stepped_search_finds_what_search_finds(settings, size, remote):
    rng = np.random.default_rng(3)
    X = rng.uniform(-1, 1, (30, 2))
    y = np.cos(X[:, 0]) * X[:, 1] + 0.02 * rng.normal(size=30)
    want = _engine.search(X, y, exhaustive=True, **settings)
    got = _stepped(X, y, size, remote, exhaustive=True, **settings)
    assert got["stop_reason"] == want["stop_reason"] and got["last_level"] == want["last_level"]
    key = [(e["tokens"], e["complexity"]) for e in want["equations"]]
    assert [(e["tokens"], e["complexity"]) for e in got["equations"]] == key
    # Bit for bit, NaN-safe.
    assert [np.float64(e["error"]).tobytes() for e in got["equations"]] == [
        np.float64(e["error"]).tobytes() for e in want["equations"]
    ]


def test_stepper_misuse_is_refused_and_leaves_the_level_open():
    X = np.linspace(-1, 1, 20).reshape(-1, 1)
    y = X[:, 0] ** 3 + X[:, 0]
    s = _engine.LevelStepper(X, y, max_complexity=4, beam_width=10, exhaustive=True)
    other = _engine.LevelStepper(X, y, max_complexity=4, beam_width=10, exhaustive=True)
    with pytest.raises(RuntimeError, match="no level is open"):
        s.payload()
    assert s.next_level() == 2 and other.next_level() == 2
    n = s.candidate_count
    with pytest.raises(RuntimeError, match="level 2 is open"):
        s.next_level()
    with pytest.raises(ValueError, match="outside the open level"):
        s.recipes(1, n)
    whole = s.score(0, n)
    for bad in ([s.score(0, 1)], [other.score(0, n)], [whole[:-1]], [whole, whole], []):
        with pytest.raises(ValueError):
            s.absorb(bad)
    with pytest.raises(TypeError, match="bytes-like"):
        s.absorb(["not bytes"])
    with pytest.raises(ValueError, match="Malformed"):
        _engine.LevelScorer(b"VKP1 but not a payload")
    with pytest.raises(ValueError, match="Malformed"):
        _engine.LevelScorer(s.payload()).score(b"\x80", 0)
    with pytest.raises(ValueError, match="time_limit"):
        s.stop("soon")
    assert s.absorb([whole])["level"] == 2
    assert s.next_level() == 3
    s.stop("time_limit")
    result = s.result()
    assert result["stop_reason"] == "time_limit" and result["last_level"] == 2
    with pytest.raises(RuntimeError, match="result\\(\\) was taken"):
        s.result()


def test_a_stepper_is_one_threads_at_a_time():
    rng = np.random.default_rng(1)
    X = rng.uniform(-1, 1, (400, 3))
    y = X[:, 0] * X[:, 1] - X[:, 2] + 0.1 * rng.normal(size=400)
    s = _engine.LevelStepper(X, y, max_complexity=6, exhaustive=True)
    while (k := s.next_level()) is not None and s.candidate_count < 20000:
        s.absorb([s.score(0, s.candidate_count)])
    assert k is not None
    errors = []
    started = threading.Event()

    def score_whole():
        started.set()
        s.score(0, s.candidate_count)

    worker = threading.Thread(target=score_whole)
    worker.start()
    started.wait()
    # While the other thread scores (the lock released), this one is refused.
    for _ in range(200):
        try:
            s.payload()
        except RuntimeError as e:
            errors.append(str(e))
            break
    worker.join()
    assert errors and "in use by another thread" in errors[0]
