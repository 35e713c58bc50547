"""VokRegressor(checkpoint=..., resume=..., warm_start=...): a fit resumed
from its checkpoint, after SIGKILL at any point, ends with the equations of
one that never stopped; files that cannot be resumed are refused saying
why; a file in use is locked; failed writes warn once; load_checkpoint."""

import csv
import fcntl
import os
import pickle
import random
import signal
import sys
import textwrap
import threading
import time
import warnings

import numpy as np
import pytest

from vok_learn import CheckpointWriteWarning, SearchStoppedWarning, VokRegressor, load_checkpoint

from conftest import run_python, start_python

SETTINGS = dict(max_complexity=7, beam_width=120, verbose=0, n_jobs=2)


def problem(seed=0, rows=50):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 2.0, size=(rows, 2))
    return X, np.sin(X[:, 0]) * X[:, 1] + 0.3 + 0.01 * rng.normal(size=rows)


def assert_same_fit(a, b):
    assert a.stop_reason_ == b.stop_reason_
    assert repr(a.equation_tokens_) == repr(b.equation_tokens_)
    np.testing.assert_array_equal(a.equations_["complexity"], b.equations_["complexity"])
    np.testing.assert_array_equal(
        a.equations_["loss"].to_numpy().view(np.uint64), b.equations_["loss"].to_numpy().view(np.uint64)
    )


@pytest.fixture(scope="module")
def uninterrupted():
    """The fit every resumed one must equal, per max_complexity."""
    X, y = problem()
    return {m: VokRegressor(**{**SETTINGS, "max_complexity": m}).fit(X, y) for m in (5, 7)}


# A child that fits with a checkpoint and prints each level event, and the
# first progress event of each level, as they happen (the SIGKILL tests
# wait for them).
CHILD = textwrap.dedent(
    """
    import sys, numpy as np, vok_learn
    from vok_learn import _engine
    real = _engine.search
    def search(*args, callback=None, **kwargs):
        seen = set()
        def watch(event):
            if event["kind"] == "level" or event["level"] not in seen:
                seen.add(event["level"])
                print(event["kind"], event["level"], flush=True)
            if callback is not None:
                callback(event)
        return real(*args, callback=watch, **kwargs)
    _engine.search = search
    rng = np.random.default_rng(0)
    X = rng.uniform(0.5, 2.0, size=(50, 2))
    y = np.sin(X[:, 0]) * X[:, 1] + 0.3 + 0.01 * rng.normal(size=50)
    client = None
    if len(sys.argv) > 2:
        from distributed import Client
        client = Client(sys.argv[2])
    vok_learn.VokRegressor(checkpoint=sys.argv[1], client=client, **{settings!r}).fit(X, y)
    print("fitted", flush=True)
    """
)


def child(path, scheduler=None):
    code = CHILD.format(settings=SETTINGS)
    argv_code = f"import sys; sys.argv = ['child', {str(path)!r}" + (f", {scheduler!r}" if scheduler else "") + "]\n"
    return start_python(argv_code + code, doing=f"a checkpointed fit to {path}")


def kill(proc_child, wait_for: bytes, delay: float):
    proc_child.wait_for_output(wait_for)
    if delay:
        time.sleep(delay)
    proc_child.proc.send_signal(signal.SIGKILL)
    proc_child.proc.wait()


# Where the kill lands: the first scoring chunk of a level (scoring), just
# after a level's event (its checkpoint write, then the next level's
# generation), and a little later (generation).
# The last level surely stored is one before the event's: the level event
# comes before the level's write.
KILL_POINTS = [
    (b"progress 6\n", 0.0, 5),
    (b"progress 7\n", 0.05, 6),
    (b"level 5\n", 0.0, 4),
    (b"level 6\n", 0.0, 5),
    (b"level 6\n", 0.02, 5),
    (b"level 4\n", 0.01, 3),
]


@pytest.mark.parametrize("wait_for,delay,stored", KILL_POINTS)
def test_a_fit_killed_anywhere_resumes_to_the_uninterrupted_result(tmp_path, uninterrupted, wait_for, delay, stored):
    path = tmp_path / "fit.ckpt"
    with child(path) as proc:
        kill(proc, wait_for, delay)
    X, y = problem()
    resumed = VokRegressor(checkpoint=path, **SETTINGS).fit(X, y)
    assert stored <= resumed.resumed_level_ < 7
    assert_same_fit(resumed, uninterrupted[7])
    # The table beside it is always whole: its last write was the final one.
    with open(str(path) + ".csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert [int(r["complexity"]) for r in rows] == list(resumed.equations_["complexity"])


def test_random_kills_in_a_row_lose_nothing(tmp_path, uninterrupted):
    """Several kills of one fit, each at a random moment, then a resume."""
    path = tmp_path / "fit.ckpt"
    rng = random.Random(21)
    for _ in range(3):
        with child(path) as proc:
            proc.wait_for_output(rb"(level|progress) \d")
            time.sleep(rng.uniform(0.0, 0.4))
            proc.proc.send_signal(signal.SIGKILL)
            proc.proc.wait()
    X, y = problem()
    assert_same_fit(VokRegressor(checkpoint=path, **SETTINGS).fit(X, y), uninterrupted[7])


def test_resume_and_reread_equal_the_uninterrupted_fit(tmp_path, uninterrupted):
    X, y = problem()
    path = tmp_path / "fit.ckpt"
    first = VokRegressor(checkpoint=path, **SETTINGS).fit(X, y)
    assert_same_fit(first, uninterrupted[7])
    # A finished checkpoint is read back without a level searched.
    again = VokRegressor(checkpoint=path, **SETTINGS).fit(X, y)
    assert_same_fit(again, uninterrupted[7])
    loaded = load_checkpoint(path, X, y)
    assert_same_fit(loaded, uninterrupted[7])
    np.testing.assert_array_equal(loaded.predict(X), uninterrupted[7].predict(X))
    assert loaded.get_params()["max_complexity"] == 7 and loaded.checkpoint_level_ == 7
    # Without data the losses are the search's and leaves_reals unknown.
    bare = load_checkpoint(path)
    assert bare.equations_["leaves_reals"].isna().all()
    assert list(bare.equations_["complexity"]) == list(loaded.equations_["complexity"])
    np.testing.assert_allclose(bare.equations_["loss"], loaded.equations_["loss"], rtol=1e-9)


def test_dataframe_names_and_scaled_y_survive_load_checkpoint(tmp_path):
    pd = pytest.importorskip("pandas")
    X, y = problem(3)
    frame = pd.DataFrame(X, columns=["speed", "mass"])
    path = tmp_path / "named.ckpt"
    # load_checkpoint shows the search's own equations, without the grown ones.
    fitted = VokRegressor(checkpoint=path, max_complexity=5, verbose=0, grow_terms=0).fit(frame, y * 1e9)
    loaded = load_checkpoint(path, frame, y * 1e9)
    assert list(loaded.feature_names_in_) == ["speed", "mass"]
    assert_same_fit(loaded, fitted)
    assert list(loaded.equations_["equation"]) == list(fitted.equations_["equation"])


@pytest.mark.parametrize(
    "change,expected",
    [
        (dict(beam_width=121), "other beam_width;"),
        (dict(alpha=0.01, ranking="raw"), "other alpha, ranking;"),
        (dict(max_complexity=6), "other max_complexity;"),
        (dict(operators=["+", "*", "sin"]), "other operators;"),
        ("y", "other y;"),
        ("X", "other X;"),
    ],
)
def test_a_checkpoint_of_other_data_or_settings_is_refused(tmp_path, change, expected):
    X, y = problem()
    path = tmp_path / "fit.ckpt"
    VokRegressor(checkpoint=path, **{**SETTINGS, "max_complexity": 5}).fit(X, y)
    before = path.read_bytes()
    settings = {**SETTINGS, "max_complexity": 5}
    if change == "y":
        y = y.copy()
        y[3] = np.nextafter(y[3], 9.0)
    elif change == "X":
        X = X[::-1].copy()
    else:
        settings.update(change)
    with pytest.raises(ValueError, match=f"Checkpoint '{path}': it was written by a search with {expected}"):
        VokRegressor(checkpoint=path, **settings).fit(X, y)
    assert path.read_bytes() == before
    # Bounds of the search may differ.
    VokRegressor(checkpoint=path, **{**SETTINGS, "max_complexity": 5, "n_jobs": 1, "time_limit": 100.0}).fit(
        *problem()
    )
    # resume="never" starts afresh over it.
    VokRegressor(checkpoint=path, resume="never", **settings).fit(X, y)
    VokRegressor(checkpoint=path, resume="always", **settings).fit(X, y)


def test_resume_always_needs_a_file(tmp_path):
    with pytest.raises(ValueError, match="there is no checkpoint to resume"):
        VokRegressor(checkpoint=tmp_path / "none.ckpt", resume="always", **SETTINGS).fit(*problem())
    with pytest.raises(ValueError, match="resume must be one of 'auto', 'never', 'always', got 'sometimes'"):
        VokRegressor(checkpoint=tmp_path / "x", resume="sometimes").fit(*problem())


def _future(b):
    return b[:8] + bytes([b[8] + 1]) + b[9:]


@pytest.mark.parametrize(
    "damage,expected",
    [
        (lambda b: b[: len(b) // 2], r"is truncated: \d+ of its \d+ bytes are there"),
        (lambda b: b[:10], "is truncated: its header is cut short"),
        (lambda b: b[:-40] + bytes([b[-40] ^ 1]) + b[-39:], "is damaged: its checksum does not match"),
        (lambda b: b + b"\0", "is damaged: 1 bytes follow its end"),
        (lambda b: b"PK\x03\x04" + b[4:], "is not a checkpoint"),
        (lambda b: b"", "is not a checkpoint"),
        (_future, "has format version 3, which this version of vok_learn does not read .it was written by a newer"),
    ],
)
def test_damaged_truncated_foreign_and_future_files_are_refused(tmp_path, damage, expected):
    X, y = problem()
    path = tmp_path / "fit.ckpt"
    VokRegressor(checkpoint=path, **{**SETTINGS, "max_complexity": 4}).fit(X, y)
    path.write_bytes(damage(path.read_bytes()))
    with pytest.raises(ValueError, match=expected):
        VokRegressor(checkpoint=path, **{**SETTINGS, "max_complexity": 4}).fit(X, y)
    with pytest.raises(ValueError, match=expected):
        load_checkpoint(path)


def test_load_checkpoint_refuses_what_no_estimator_wrote(tmp_path):
    from vok_learn import _engine

    path = tmp_path / "raw.ckpt"
    X, y = problem()
    _engine.search(X, y, max_complexity=3, checkpoint=str(path), note=b"not json")
    with pytest.raises(ValueError, match="was not written by VokRegressor"):
        load_checkpoint(path)
    with pytest.raises(FileNotFoundError, match="no checkpoint at"):
        load_checkpoint(tmp_path / "missing.ckpt")


def test_two_fits_racing_for_one_file(tmp_path, uninterrupted):
    """The second of two fits on one file is refused while the first lives;
    once it is killed, the lock goes with it and the file resumes."""
    path = tmp_path / "fit.ckpt"
    X, y = problem()
    with child(path) as proc:
        proc.wait_for_output(b"level 3\n")
        with pytest.raises(ValueError, match="is in use by another running fit"):
            VokRegressor(checkpoint=path, **SETTINGS).fit(X, y)
        # The refused fit touched nothing: the child still writes it.
        proc.proc.send_signal(signal.SIGKILL)
        proc.proc.wait()
    assert_same_fit(VokRegressor(checkpoint=path, **SETTINGS).fit(X, y), uninterrupted[7])
    # Two threads of one process: one of them is refused, or they ran one
    # after the other; neither leaves a wrong file.
    errors = []

    def fit():
        try:
            VokRegressor(checkpoint=tmp_path / "threads.ckpt", **SETTINGS).fit(X, y)
        except ValueError as e:
            errors.append(str(e))

    threads = [threading.Thread(target=fit) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all("in use by another running fit" in e for e in errors) and len(errors) <= 1
    assert_same_fit(load_checkpoint(tmp_path / "threads.ckpt", X, y), uninterrupted[7])


def test_a_full_disk_warns_once_and_the_fit_goes_on(tmp_path, uninterrupted):
    """A file-size limit makes every write past a few kB fail, as a full
    disk would: one warning, the equations unchanged, no half file."""
    code = textwrap.dedent(
        f"""
        import resource, signal, warnings, pickle, numpy as np
        from vok_learn import VokRegressor
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        rng = np.random.default_rng(0)
        X = rng.uniform(0.5, 2.0, size=(50, 2))
        y = np.sin(X[:, 0]) * X[:, 1] + 0.3 + 0.01 * rng.normal(size=50)
        hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
        resource.setrlimit(resource.RLIMIT_FSIZE, (1500, hard))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            fit = VokRegressor(checkpoint={str(tmp_path / 'full.ckpt')!r}, **{SETTINGS!r}).fit(X, y)
        resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
        print([(w.category.__name__, str(w.message)) for w in caught])
        with open({str(tmp_path / 'fit.pickle')!r}, "wb") as f:
            pickle.dump(fit, f)
        """
    )
    out = run_python(code, doing="a fit whose checkpoint writes fail")
    assert out.returncode == 0, out.stderr.decode()
    caught = eval(out.stdout.decode().strip().splitlines()[-1])
    assert len(caught) == 1 and caught[0][0] == "CheckpointWriteWarning", caught
    assert "checkpoint write(s) failed" in caught[0][1] and "File too large" in caught[0][1]
    with open(tmp_path / "fit.pickle", "rb") as f:
        assert_same_fit(pickle.load(f), uninterrupted[7])
    # What is there is the last write that fit: whole, and it resumes.
    stored = load_checkpoint(tmp_path / "full.ckpt").checkpoint_level_
    assert 1 <= stored < 7
    assert not [p for p in os.listdir(tmp_path) if p.endswith(".tmp")]
    X, y = problem()
    assert_same_fit(VokRegressor(checkpoint=tmp_path / "full.ckpt", **SETTINGS).fit(X, y), uninterrupted[7])


def test_warm_start_continues_to_a_larger_limit_as_one_fit(tmp_path, uninterrupted):
    X, y = problem()
    single = VokRegressor(**SETTINGS).fit(X, y)
    warm = VokRegressor(warm_start=True, **{**SETTINGS, "max_complexity": 5}).fit(X, y)
    assert_same_fit(warm, uninterrupted[5])
    warm.set_params(max_complexity=7)
    assert_same_fit(warm.fit(X, y), single)
    assert warm.resumed_level_ == 5
    # The state survives a clone-free refit only in memory: a pickle drops it.
    assert "_search_state" not in pickle.loads(pickle.dumps(warm)).__dict__
    # From a checkpoint, in a new estimator.
    path = tmp_path / "warm.ckpt"
    VokRegressor(warm_start=True, checkpoint=path, **{**SETTINGS, "max_complexity": 5}).fit(X, y)
    assert_same_fit(VokRegressor(warm_start=True, checkpoint=path, **SETTINGS).fit(X, y), single)
    # A checkpoint of a fit without warm_start cannot be continued exactly.
    VokRegressor(checkpoint=tmp_path / "cold.ckpt", **{**SETTINGS, "max_complexity": 5}).fit(X, y)
    with pytest.raises(ValueError, match="other warm_start"):
        VokRegressor(warm_start=True, checkpoint=tmp_path / "cold.ckpt", **SETTINGS).fit(X, y)


def test_warm_start_after_a_time_limit_resumes_the_cut_level(uninterrupted):
    X, y = problem()
    est = VokRegressor(warm_start=True, **{**SETTINGS, "time_limit": 0.3})
    with pytest.warns(SearchStoppedWarning, match="reached its time limit"):
        est.fit(X, y)
    assert est.stop_reason_ == "time_limit"
    est.set_params(time_limit=None)
    assert_same_fit(est.fit(X, y), uninterrupted[7])


def test_the_equations_file_is_always_a_whole_table(tmp_path, uninterrupted):
    path = tmp_path / "watched.ckpt"
    table = str(path) + ".csv"
    seen = []
    with child(path) as proc:
        while proc.proc.poll() is None:
            try:
                with open(table, newline="") as f:
                    text = f.read()
            except FileNotFoundError:
                continue
            rows = list(csv.reader(text.splitlines()))
            assert rows[0] == ["complexity", "loss", "score", "equation", "sympy_format", "leaves_reals"]
            assert rows[1:] and all(len(r) == 6 for r in rows[1:]), text
            seen.append(len(rows))
        assert proc.finish().returncode == 0
    assert seen
    final = list(csv.DictReader(open(table, newline="")))
    assert [r["equation"] for r in final] == list(uninterrupted[7].equations_["equation"])


# --- Dask ----------------------------------------------------------------------


@pytest.fixture(scope="module")
def dask_client():
    pytest.importorskip("distributed")
    from distributed import Client, LocalCluster

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with (
            LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
            ) as local,
            Client(local) as client,
        ):
            yield client


@pytest.fixture
def small_ranges(monkeypatch):
    from vok_learn import _distributed

    monkeypatch.setattr(_distributed, "LOCAL_CANDIDATES", 1)
    monkeypatch.setattr(_distributed, "MIN_RANGE", 7)


def test_a_killed_dask_driver_resumes_on_the_cluster_bit_for_bit(tmp_path, uninterrupted, dask_client):
    path = tmp_path / "dask.ckpt"
    with child(path, scheduler=dask_client.scheduler.address) as proc:
        kill(proc, b"progress 7\n", 0.0)
    X, y = problem()
    resumed = VokRegressor(checkpoint=path, client=dask_client, **SETTINGS).fit(X, y)
    assert resumed.resumed_level_ == 6
    assert_same_fit(resumed, uninterrupted[7])


def test_a_killed_dask_worker_leaves_the_checkpointed_fit_exact(tmp_path, uninterrupted, dask_client, small_ranges):
    """A worker killed during a level: the fit goes on, its file resumes."""
    import cloudpickle

    sys.path.insert(0, os.path.dirname(__file__))
    from test_distributed import _KillOnce

    flag = str(tmp_path / "killed")
    cloudpickle.register_pickle_by_value(sys.modules["test_distributed"])
    X, y = problem()
    path = tmp_path / "worker.ckpt"
    try:
        dask_client.register_plugin(_KillOnce(flag, level=6), name="kill-once-ckpt")
        fit = VokRegressor(checkpoint=path, client=dask_client, **SETTINGS).fit(X, y)
    finally:
        dask_client.unregister_worker_plugin("kill-once-ckpt")
        cloudpickle.unregister_pickle_by_value(sys.modules["test_distributed"])
        dask_client.wait_for_workers(2, timeout=60)
    assert os.path.exists(flag)
    assert_same_fit(fit, uninterrupted[7])
    assert_same_fit(VokRegressor(checkpoint=path, **SETTINGS).fit(X, y), uninterrupted[7])


def test_the_lock_is_an_flock_on_a_file_beside_the_checkpoint(tmp_path):
    """Any process that holds the lock file's flock keeps fits out."""
    path = tmp_path / "held.ckpt"
    with open(str(path) + ".lock", "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
        with pytest.raises(ValueError, match="in use by another running fit"):
            VokRegressor(checkpoint=path, **SETTINGS).fit(*problem())
    VokRegressor(checkpoint=path, **{**SETTINGS, "max_complexity": 3}).fit(*problem())


def test_warm_start_on_other_data_is_refused_naming_the_kept_search():
    X, y = problem()
    est = VokRegressor(warm_start=True, **{**SETTINGS, "max_complexity": 4}).fit(X, y)
    with pytest.raises(ValueError, match=r"^The search kept by the previous fit: it was written by a search with other y;"):
        est.fit(X, y + 1.0)
    est.set_params(resume="never")
    assert est.fit(X, y + 1.0).resumed_level_ == 0
