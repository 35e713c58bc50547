"""The private engine entry of vok_learn: the same searches as vok_sr,
exact token lists, evaluation, and a search that can be bounded, watched,
silenced and interrupted."""

import math
import re
import threading
import time

import numpy as np
import pytest

import vok_sr
from vok_learn import _engine

from conftest import run_python, start_python


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def test_searches_equal_vok_sr_bit_for_bit(sin_product):
    X, y = sin_product
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


def test_tokens_round_trip_and_evaluate_like_eval_batch(sin_product):
    X, _ = sin_product
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
    (dict(screen_factor=-0.5), ValueError, "screen_factor must be a number >= 0"),
    (dict(screen_factor=math.nan), ValueError, "screen_factor must be a number >= 0"),
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


def test_callback_sees_levels_and_progress_and_can_stop_the_search(sin_product):
    X, y = sin_product
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


def test_time_limit_returns_the_front_so_far(sin_product):
    X, y = sin_product
    run = _engine.search(X, y, max_complexity=12, time_limit=0.0)
    assert run["stop_reason"] == "time_limit" and run["last_level"] == 1
    assert [e["formula"] for e in run["equations"]] == [
        c.formula for c in vok_sr.Searcher(max_complexity=1).find_candidates(X, y)]


def test_other_threads_run_during_a_search(sin_product):
    X, y = sin_product
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


# --- A search whose levels a dispatcher has scored ---------------------------


class Splitting:
    """Scores each level handed over in ranges of `size`, here or by a
    LevelScorer rebuilt from the payload's bytes, and returns the summaries
    last range first."""

    def __init__(self, size, remote, min_candidates=0):
        self.size, self.remote, self.min_candidates = size, remote, min_candidates
        self.handed = []

    def score_level(self, level):
        self.handed.append((level.level, level.candidate_count))
        scorer = _engine.LevelScorer(level.payload()) if self.remote else None
        if scorer is not None:
            assert scorer.level == level.level
        parts = []
        for first in range(0, level.candidate_count, self.size):
            count = min(self.size, level.candidate_count - first)
            if self.remote:
                parts.append(scorer.score(memoryview(level.recipes(first, count)), first))
            else:
                parts.append(level.score(first, count))
        return parts[::-1]


def level_events(events):
    return [(e["level"], e["candidates"], e["retained"], bits([e["best_error"]]).tolist())
            for e in events if e["kind"] == "level"]


def dispatch_problem():
    rng = np.random.default_rng(3)
    X = rng.uniform(-1, 1, (30, 2))
    return X, np.cos(X[:, 0]) * X[:, 1] + 0.02 * rng.normal(size=30)


@pytest.mark.parametrize(
    "settings",
    [dict(max_complexity=5, beam_width=40), dict(max_complexity=5, beam_width=25, ranking="affine", constants="both"),
     dict(max_complexity=6, beam_width=25, ranking="affine", output_scaling=True),
     dict(max_complexity=6, beam_width=25, ranking="affine", output_scaling=True, screen_factor=1.5)],
)
@pytest.mark.parametrize("size, remote", [(10**9, False), (333, True), (41, False)])
def test_a_dispatched_search_finds_what_search_finds(settings, size, remote):
    X, y = dispatch_problem()
    want_events, got_events = [], []
    want = _engine.search(X, y, exhaustive=True, callback=want_events.append, **settings)
    dispatcher = Splitting(size, remote)
    got = _engine.search(X, y, exhaustive=True, callback=got_events.append, dispatch=dispatcher, **settings)
    assert got["stop_reason"] == want["stop_reason"] and got["last_level"] == want["last_level"]
    key = [(e["tokens"], e["complexity"]) for e in want["equations"]]
    assert [(e["tokens"], e["complexity"]) for e in got["equations"]] == key
    # Bit for bit, NaN-safe.
    assert bits([e["error"] for e in got["equations"]]).tolist() == bits([e["error"] for e in want["equations"]]).tolist()
    assert level_events(got_events) == level_events(want_events)
    assert dispatcher.handed == [(e[0], e[1]) for e in level_events(want_events) if e[0] >= 2]


def test_only_levels_of_min_candidates_go_to_the_dispatcher():
    X, y = dispatch_problem()
    events = []
    want = _engine.search(X, y, max_complexity=5, beam_width=40, exhaustive=True, callback=events.append)
    sizes = [(e[0], e[1]) for e in level_events(events) if e[0] >= 2]
    threshold = sorted(n for _, n in sizes)[len(sizes) // 2]
    dispatcher = Splitting(50, True, min_candidates=threshold)
    got = _engine.search(X, y, max_complexity=5, beam_width=40, exhaustive=True, dispatch=dispatcher)
    assert dispatcher.handed == [(k, n) for k, n in sizes if n >= threshold]
    assert 0 < len(dispatcher.handed) < len(sizes)
    assert got == want


def test_level_events_say_where_the_time_went():
    X, y = dispatch_problem()

    class Slow(Splitting):
        def score_level(self, level):
            time.sleep(0.05)
            return super().score_level(level)

    events = []
    _engine.search(X, y, max_complexity=4, exhaustive=True, callback=events.append, dispatch=Slow(10**9, False))
    levels = [e for e in events if e["kind"] == "level"]
    assert [e["level"] for e in levels] == [1, 2, 3, 4]
    assert levels[0]["generate_seconds"] == levels[0]["score_seconds"] == levels[0]["close_seconds"] == 0.0
    for before, e in zip(levels, levels[1:]):
        assert e["score_seconds"] >= 0.05 and e["generate_seconds"] > 0 and e["close_seconds"] > 0
        assert e["generate_seconds"] + e["score_seconds"] + e["close_seconds"] <= e["elapsed"] - before["elapsed"]


def test_should_stop_reports_progress_and_its_stop_gives_the_level_up():
    X, y = dispatch_problem()
    events = []

    def callback(event):
        events.append(event)
        if event["kind"] == "progress" and event["level"] == 3 and event["done"] >= 10:
            raise LookupError("enough")

    class Reporting:
        min_candidates = 0
        answers = []

        def score_level(self, level):
            n = level.candidate_count
            if level.level < 3:
                return [level.score(0, n)]
            for done in (5, 5, 3, 10, 11):
                self.answers.append(level.should_stop(done))
                if self.answers[-1]:
                    return None
            return [level.score(0, n)]

    with pytest.raises(LookupError, match="enough") as info:
        _engine.search(X, y, max_complexity=5, callback=callback, dispatch=Reporting())
    assert Reporting.answers == [False, False, False, True]
    partial = info.value.partial
    assert partial["stop_reason"] == "cancelled" and partial["last_level"] == 2 and partial["equations"]
    ticks = [(e["level"], e["done"]) for e in events if e["kind"] == "progress"]
    # Each count once, in order; level 2 reported whole once merged.
    assert ticks[-2:] == [(3, 5), (3, 10)]
    assert ticks[:-2] == [(2, [e for e in events if e["kind"] == "level"][1]["candidates"])]


def test_a_time_limit_stops_a_dispatcher_that_waits():
    X, y = dispatch_problem()

    class Waiting:
        min_candidates = 0
        polls = 0

        def score_level(self, level):
            while not level.should_stop():
                Waiting.polls += 1
                time.sleep(0.01)
                if Waiting.polls > 2000:
                    return [level.score(0, level.candidate_count)]
            return None

    start = time.monotonic()
    run = _engine.search(X, y, max_complexity=5, time_limit=0.2, dispatch=Waiting())
    assert run["stop_reason"] == "time_limit" and run["last_level"] == 1
    assert 0 < Waiting.polls < 2000 and time.monotonic() - start < 5


def test_ctrl_c_stops_a_dispatched_level_with_the_results_so_far():
    code = """
import os, signal, threading, time
import numpy as np
from vok_learn import _engine
signal.signal(signal.SIGINT, signal.default_int_handler)
rng = np.random.default_rng(1)
X = rng.uniform(-2, 2, size=(30, 2)); y = X[:, 0] * np.cos(X[:, 1])

class Waiting:
    min_candidates = 0
    def score_level(self, level):
        if level.level == 3:
            threading.Timer(0.2, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
            while not level.should_stop():
                time.sleep(0.01)
            return None
        return [level.score(0, level.candidate_count)]

try:
    _engine.search(X, y, max_complexity=6, dispatch=Waiting())
    print("not interrupted")
except KeyboardInterrupt as e:
    p = e.partial
    print(p["stop_reason"], p["last_level"], len(p["equations"]) > 0)
"""
    proc = run_python(code)
    assert proc.stdout.decode().split() == ["cancelled", "2", "True"], proc.stderr.decode()


def test_dispatcher_failures_stop_the_search_with_the_results_so_far():
    X, y = dispatch_problem()

    class Failing:
        min_candidates = 0

        def score_level(self, level):
            if level.level == 3:
                raise LookupError("no cluster")
            return [level.score(0, level.candidate_count)]

    with pytest.raises(LookupError, match="no cluster") as info:
        _engine.search(X, y, max_complexity=5, dispatch=Failing())
    partial = info.value.partial
    assert partial["stop_reason"] == "cancelled" and partial["last_level"] == 2 and partial["equations"]


class _Keep:
    """Keeps the summaries of the levels it is handed."""

    min_candidates = 0

    def __init__(self):
        self.summaries = []

    def score_level(self, level):
        self.summaries.append(level.score(0, level.candidate_count))
        return self.summaries[-1:]


def _returning(make):
    """A dispatcher whose levels return make(level, a summary of another
    search's level 2)."""
    X, y = dispatch_problem()
    other = _Keep()
    _engine.search(X, y, max_complexity=2, exhaustive=True, dispatch=other)

    class Returning:
        min_candidates = 0

        def score_level(self, level):
            return make(level, other.summaries[0])

    return Returning()


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda level, other: [level.score(0, 1)], ValueError, "do not tile the level's candidates"),
        (lambda level, other: [], ValueError, "do not tile the level's candidates"),
        (lambda level, other: [level.score(0, level.candidate_count)] * 2, ValueError, "do not tile"),
        (lambda level, other: [other], ValueError, "belongs to another search or level"),
        (lambda level, other: [level.score(0, level.candidate_count)[:-1]], ValueError, "Malformed"),
        (lambda level, other: ["not bytes"], TypeError, "a summary must be a bytes-like object, not str"),
        (lambda level, other: 42, TypeError, r"score_level\(\) must return a list of summaries"),
        (lambda level, other: level.recipes(1, level.candidate_count), ValueError,
         r"candidates \[1, 1 \+ \d+\) lie outside the level's \d+"),
        (lambda level, other: _engine.LevelScorer(b"VKP1 but not a payload"), ValueError, "Malformed"),
        (lambda level, other: _engine.LevelScorer(level.payload()).score(b"\x80", 0), ValueError, "Malformed"),
    ],
)
def test_what_a_dispatcher_returns_is_checked(make, error, message):
    X, y = dispatch_problem()
    with pytest.raises(error, match=message):
        _engine.search(X, y, max_complexity=4, dispatch=_returning(make))


def test_a_level_is_used_during_its_call_on_the_searchs_thread_only():
    X, y = dispatch_problem()
    kept, errors = [], []

    class Misusing:
        min_candidates = 0

        def score_level(self, level):
            kept.append(level)
            worker = threading.Thread(target=lambda: errors.append(_raises(level.payload)))
            worker.start()
            worker.join()
            return [level.score(0, level.candidate_count)]

    run = _engine.search(X, y, max_complexity=3, dispatch=Misusing())
    assert run["stop_reason"] == "completed" and len(kept) == 2
    assert errors == ["a DispatchedLevel is used on the thread that runs its search only"] * 2
    for method in (kept[0].payload, lambda: kept[0].score(0, 1), lambda: kept[0].level):
        assert _raises(method) == (
            "the level is closed: a DispatchedLevel is valid during the score_level call it was passed to")
    with pytest.raises(TypeError, match="cannot create"):
        type(kept[0])()


def _raises(call):
    try:
        call()
    except RuntimeError as e:
        return str(e)
    return None


@pytest.mark.parametrize(
    "dispatch, error, message",
    [
        (object(), TypeError, "dispatch must be None or an object with an integer min_candidates"),
        (type("NoMethod", (), {"min_candidates": 0, "score_level": 3})(), TypeError, "dispatch must be None"),
        (type("Negative", (), {"min_candidates": -1, "score_level": print})(), OverflowError, None),
        (type("Real", (), {"min_candidates": 1.5, "score_level": print})(), TypeError, "min_candidates"),
    ],
)
def test_bad_dispatchers_are_refused(dispatch, error, message):
    with pytest.raises(error, match=message):
        _engine.search(np.ones((3, 1)), np.ones(3), max_complexity=2, dispatch=dispatch)
