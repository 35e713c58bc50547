"""The benchmark kit's own rules (bench/kit.py): scoring, data and the
process supervisor. The benchmarks themselves are not run here."""

import math
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
