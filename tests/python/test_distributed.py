"""VokRegressor(client=...): levels scored on a Dask LocalCluster give the
local search's equations bit for bit, also after a worker dies mid-level;
bad or closed clients and interrupts leave no partial fit."""

import copy
import gc
import os
import pickle
import signal
import sys
import threading
import time
import warnings

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.exceptions import NotFittedError
from sklearn.utils.validation import check_is_fitted

distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")

from distributed import Client, LocalCluster  # noqa: E402
from distributed.diagnostics.plugin import WorkerPlugin  # noqa: E402

from vok_learn import SearchStoppedWarning, VokRegressor, _distributed  # noqa: E402
from vok_learn._estimator import POST_SEARCH_SECONDS  # noqa: E402

from conftest import run_python  # noqa: E402


@pytest.fixture(scope="module")
def cluster():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # port and memory-limit notices of a small machine
        with (
            LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
            ) as local,
            Client(local) as client,
        ):
            yield local, client


@pytest.fixture
def client(cluster):
    return cluster[1]


@pytest.fixture
def many_ranges(monkeypatch):
    """Sends every level of a small search to the cluster, in several
    uneven ranges, so that the merge is what the tests compare."""
    monkeypatch.setattr(_distributed, "LOCAL_CANDIDATES", 1)
    monkeypatch.setattr(_distributed, "MIN_RANGE", 7)


def problem(seed):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 2.0, size=(60, 2))
    return X, np.sin(X[:, 0]) * X[:, 1] + 0.3 + 0.01 * rng.normal(size=60)


SETTINGS = [
    dict(max_complexity=6, beam_width=150),
    dict(max_complexity=5, ranking="raw", constants="both", alpha=0.01, complexity_penalty=0.3),
    dict(max_complexity=5, beam_width=40, max_samples=45, random_state=0),
    dict(max_complexity=6, beam_width=60, operators=["+", "*", "sin", "cos", "exp", "square", "sqrt"]),
    # Output scaling is on in the others: the summaries carry the rescalings.
    dict(max_complexity=5, beam_width=60, output_scaling=False),
]


def assert_same_fit(a, b):
    assert a.stop_reason_ == b.stop_reason_
    assert repr(a.equation_tokens_) == repr(b.equation_tokens_)
    np.testing.assert_array_equal(a.equations_["complexity"], b.equations_["complexity"])
    np.testing.assert_array_equal(a.equations_["loss"].to_numpy().view(np.uint64),
                                  b.equations_["loss"].to_numpy().view(np.uint64))


@pytest.mark.parametrize("settings", SETTINGS)
def test_cluster_fit_equals_the_local_fit(client, many_ranges, settings):
    X, y = problem(1)
    local = VokRegressor(verbose=0, **settings).fit(X, y)
    remote = VokRegressor(verbose=0, client=client, **settings).fit(X, y)
    assert_same_fit(remote, local)
    stats = remote.distributed_stats_
    assert stats["level"].tolist() == list(range(2, len(stats) + 2))
    assert (stats["tasks"] >= 2).all() and (stats["workers"] == 2).all()
    assert (stats["shipped_bytes"] == stats["payload_bytes"] * 2 + stats["recipe_bytes"]
            + stats["summary_bytes"]).all()


def test_a_weighted_cluster_fit_equals_the_local_fit(client, many_ranges):
    X, y = problem(4)
    weights = np.random.default_rng(4).uniform(0.0, 3.0, size=len(y))
    settings = dict(max_complexity=5, beam_width=60, verbose=0)
    local = VokRegressor(**settings).fit(X, y, sample_weight=weights)
    remote = VokRegressor(client=client, **settings).fit(X, y, sample_weight=weights)
    assert_same_fit(remote, local)
    unweighted = VokRegressor(**settings).fit(X, y)
    assert repr(unweighted.equation_tokens_) != repr(local.equation_tokens_)


@pytest.mark.parametrize("constant_units", ["dimensionless", "free"])
def test_a_cluster_fit_with_units_equals_the_local_fit(client, many_ranges, constant_units):
    X, y = problem(3)
    settings = dict(max_complexity=5, beam_width=60, constant_units=constant_units, verbose=0)
    units = dict(X_units=["m", "s"], y_units="m")
    local = VokRegressor(**settings).fit(X, y, **units)
    remote = VokRegressor(client=client, **settings).fit(X, y, **units)
    assert_same_fit(remote, local)
    # The units changed the search: without them the front is another.
    plain = VokRegressor(**settings).fit(X, y)
    assert repr(plain.equation_tokens_) != repr(local.equation_tokens_)


def test_local_and_cluster_fits_make_one_engine_call_with_the_same_settings(client, monkeypatch):
    from vok_learn import _estimator

    calls = []
    search = _estimator._engine.search

    def recording_search(X, y, **kwargs):
        calls.append(kwargs)
        return search(X, y, **kwargs)

    monkeypatch.setattr(_estimator._engine, "search", recording_search)
    X, y = problem(9)
    settings = dict(max_complexity=4, beam_width=60, alpha=0.01, ranking="raw", n_jobs=2, verbose=0)
    VokRegressor(**settings).fit(X, y)
    local_calls, calls[:] = calls[:], []
    VokRegressor(client=client, **settings).fit(X, y)
    (local, *local_growth), (remote, *remote_growth) = local_calls, calls
    # The searches that grow the equations afterwards are small and run
    # here, with or without a cluster.
    assert local_growth and len(local_growth) == len(remote_growth)
    assert all(c.get("dispatch") is None for c in local_growth + remote_growth)
    assert local.pop("dispatch") is None
    assert isinstance(remote.pop("dispatch"), _distributed.Dispatcher)
    # Only the cluster's records need the level events.
    assert local.pop("callback") is None and callable(remote.pop("callback"))
    assert local == remote and local["threads"] == 2 and local["max_complexity"] == 4


class _KillOnce(WorkerPlugin):
    """Kills the worker process that starts the first scoring task of
    `level`; the flag file makes it happen once across workers and restarts."""

    def __init__(self, flag, level):
        self.flag, self.level = flag, level

    def transition(self, key, start, finish, **kwargs):
        parts = str(key).split("-")
        if finish != "executing" or parts[:2] != ["vok", "score"] or int(parts[3]) != self.level:
            return
        try:
            os.close(os.open(self.flag, os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            return
        os.kill(os.getpid(), signal.SIGKILL)


def test_a_worker_killed_during_a_level_changes_nothing(client, many_ranges, tmp_path):
    X, y = problem(2)
    settings = SETTINGS[0]
    local = VokRegressor(verbose=0, **settings).fit(X, y)
    flag = str(tmp_path / "killed")
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    try:
        client.register_plugin(_KillOnce(flag, level=5), name="kill-once")
        remote = VokRegressor(verbose=0, client=client, **settings).fit(X, y)
    finally:
        client.unregister_worker_plugin("kill-once")
        cloudpickle.unregister_pickle_by_value(sys.modules[__name__])
        client.wait_for_workers(2, timeout=60)
    assert os.path.exists(flag)
    assert_same_fit(remote, local)


@pytest.mark.parametrize(
    "bad, error, message",
    [
        ("tcp://127.0.0.1:8786", TypeError, "client must be None or a dask.distributed.Client, got str"),
        ("cluster", TypeError, "got LocalCluster"),
        ("closed", ValueError, "its status is 'closed'"),
    ],
)
def test_bad_clients_are_refused_at_fit(cluster, bad, error, message):
    if bad == "cluster":
        bad = cluster[0]
    elif bad == "closed":
        bad = Client(cluster[0].scheduler_address)
        bad.close()
    model = VokRegressor(max_complexity=3, verbose=0, client=bad)
    with pytest.raises(error, match=message):
        model.fit(*problem(3))
    assert not hasattr(model, "n_features_in_")


def test_without_dask_the_error_names_the_extra():
    proc = run_python(
        "import sys; sys.modules['distributed'] = None\n"
        "from vok_learn import VokRegressor\n"
        "try:\n"
        "    VokRegressor(max_complexity=2, verbose=0, client=object()).fit([[1.0], [2.0]], [1.0, 2.0])\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    assert "pip install 'vok_sr[dask]'" in proc.stdout.decode(), proc.stderr.decode()


@pytest.mark.parametrize("lost", ["client closed", "scheduler shut down"])
def test_a_cluster_lost_during_fit_leaves_the_estimator_unfitted(cluster, many_ranges, monkeypatch, lost):
    X, y = problem(4)
    if lost == "client closed":
        doomed = Client(cluster[0].scheduler_address)
        close, message = doomed.close, "client was closed"
    else:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            own = LocalCluster(n_workers=1, threads_per_worker=1, processes=False, dashboard_address=None)
        doomed = Client(own)
        close, message = own.close, "scheduler"
    model = VokRegressor(max_complexity=6, beam_width=150, verbose=0).fit(X, y)
    model.set_params(client=doomed)
    submit = _distributed._LevelRun.submit

    def closing_submit(run, first, count, attempt):
        submit(run, first, count, attempt)
        if run.level == 5 and first == 0:
            threading.Thread(target=close).start()

    monkeypatch.setattr(_distributed._LevelRun, "submit", closing_submit)
    try:
        with pytest.raises(RuntimeError, match=message):
            model.fit(X, y)
    finally:
        doomed.close()
    with pytest.raises(NotFittedError):
        check_is_fitted(model)
    assert not hasattr(model, "distributed_stats_") and not hasattr(model, "n_features_in_")


def test_ctrl_c_keeps_the_completed_levels_and_cancels_the_tasks(client, many_ranges, monkeypatch):
    X, y = problem(5)
    collect = _distributed._LevelRun.collect

    def interrupted_collect(run, finished):
        if run.level == 5:
            raise KeyboardInterrupt
        return collect(run, finished)

    monkeypatch.setattr(_distributed._LevelRun, "collect", interrupted_collect)
    # Without output scaling: the rescalings of levels 3 and 4 reach up to
    # max_complexity, which would differ between the two searches.
    with pytest.warns(SearchStoppedWarning, match="interrupted during level 5"):
        model = VokRegressor(max_complexity=6, beam_width=150, verbose=0, client=client,
                             output_scaling=False).fit(X, y)
    assert model.stop_reason_ == "cancelled"
    # An interrupted fit grows nothing.
    four_levels = VokRegressor(max_complexity=4, beam_width=150, verbose=0, output_scaling=False,
                               grow_terms=0).fit(X, y)
    assert repr(model.equation_tokens_) == repr(four_levels.equation_tokens_)
    # Futures are released through the client's event loop: give it a moment.
    deadline = time.monotonic() + 10
    while [key for key in client.futures if str(key).startswith("vok-score")] and time.monotonic() < deadline:
        gc.collect()
        time.sleep(0.05)
    assert not [key for key in client.futures if str(key).startswith("vok-score")]


def test_time_limit_stops_between_tasks(client, many_ranges):
    X, y = problem(6)
    with pytest.warns(SearchStoppedWarning, match="time limit of 0.5 s"):
        model = VokRegressor(max_complexity=9, beam_width=300, time_limit=0.5, verbose=0, client=client).fit(X, y)
    assert model.stop_reason_ == "time_limit"
    # The levels completed (level 1 at least, when none was dispatched yet)
    # and their rescalings, up to 4 tokens larger.
    levels = model.distributed_stats_["level"]
    assert model.equations_["complexity"].max() <= (levels.max() if len(levels) else 1) + 4


@pytest.mark.parametrize(
    "verbose, stream, text",
    [(1, "err", "level 4"), (2, "out", "[VOK-SR]   -> Level 4 processed in ")],
)
def test_progress_on_a_cluster(client, many_ranges, capfd, verbose, stream, text):
    VokRegressor(max_complexity=4, verbose=verbose, client=client).fit(*problem(7))
    captured = getattr(capfd.readouterr(), stream)
    assert text in captured and ("best loss" in captured) is (verbose == 1)
    # The engine's own lines: the same as a local fit's, one per level.
    assert captured.count("[VOK-SR]   -> Level ") == (3 if verbose == 2 else 0)


# A problem whose level 5 takes seconds to generate on this process, while
# levels 1-4 take about a second: many features and a wide beam make the
# pairs of operands many, named constants keep the scoring cheap.
GENERATION_HEAVY = dict(max_complexity=5, beam_width=5000, constants="named", ranking="raw", verbose=0)
# How soon a fit stopped during level 5's generation must return: well
# under the generation itself, with room for a loaded machine.
GENERATION_STOP_SECONDS = 6.0


def generation_heavy_problem():
    rng = np.random.default_rng(8)
    X = rng.uniform(0.5, 2.0, size=(10, 100))
    return X, np.sin(X[:, 0]) * X[:, 1] + X[:, 2] ** 2


@pytest.fixture
def spied(monkeypatch):
    """Records the levels handed to the dispatcher and calls `on_level4`
    (when set) from the level event of level 4, the last one before the
    heavy generation."""
    spy = type("Spy", (), {"handed": [], "on_level4": None})()
    score_level, record_level = _distributed.Dispatcher.score_level, _distributed.Dispatcher.record_level

    def spied_score_level(dispatcher, handle):
        spy.handed.append(int(handle.level))
        return score_level(dispatcher, handle)

    def spied_record_level(dispatcher, event):
        record_level(dispatcher, event)
        if event["level"] == 4 and spy.on_level4 is not None:
            spy.on_level4()

    monkeypatch.setattr(_distributed.Dispatcher, "score_level", spied_score_level)
    monkeypatch.setattr(_distributed.Dispatcher, "record_level", spied_record_level)
    return spy


@pytest.mark.filterwarnings("ignore:X has 100 columns")  # wide on purpose: a long generation
def test_time_limit_stops_the_generation_of_a_level(client, spied):
    X, y = generation_heavy_problem()
    time_limit = 8.0
    # The search's own deadline: the fit sets the work after the search
    # aside from the time limit (on 10 rows, POST_SEARCH_SECONDS).
    search_limit = time_limit - POST_SEARCH_SECONDS
    start = time.monotonic()
    # Level 5's generation starts shortly before the deadline, whatever
    # levels 1-4 took.
    spied.on_level4 = lambda: time.sleep(max(0.0, start + search_limit - 0.5 - time.monotonic()))
    with pytest.warns(SearchStoppedWarning, match="time limit of 8 s during level 5"):
        model = VokRegressor(time_limit=time_limit, client=client, grow_terms=0, **GENERATION_HEAVY).fit(X, y)
    elapsed = time.monotonic() - start
    assert model.stop_reason_ == "time_limit"
    # Stopped in generation: level 5 never reached the cluster, and the fit
    # returned long before its generation could have ended (about 12 s on
    # an idle 2-core machine, more on a loaded one; the margin allows for a
    # loaded machine's slower chunks).
    assert spied.handed == [3, 4]
    assert model.distributed_stats_["level"].tolist() == [2, 3, 4]
    assert search_limit <= elapsed < time_limit + GENERATION_STOP_SECONDS
    assert model.equations_["complexity"].max() <= 4


def test_ctrl_c_stops_the_generation_of_a_level():
    code = """
import os, signal, threading, time, warnings
import numpy as np
from distributed import Client, LocalCluster
from vok_learn import VokRegressor, _distributed
signal.signal(signal.SIGINT, signal.default_int_handler)
rng = np.random.default_rng(8)
X = rng.uniform(0.5, 2.0, size=(10, 100)); y = np.sin(X[:, 0]) * X[:, 1] + X[:, 2] ** 2
handed, sent = [], []
score_level, record_level = _distributed.Dispatcher.score_level, _distributed.Dispatcher.record_level
def spied_score_level(self, handle):
    handed.append(int(handle.level))
    return score_level(self, handle)
def interrupt():
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
def spied_record_level(self, event):
    record_level(self, event)
    if event["level"] == 4:  # level 5's generation follows: interrupt it
        threading.Timer(0.5, interrupt).start()
_distributed.Dispatcher.score_level = spied_score_level
_distributed.Dispatcher.record_level = spied_record_level
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    cluster = LocalCluster(n_workers=1, threads_per_worker=1, processes=False, dashboard_address=None)
with cluster, Client(cluster) as client:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = VokRegressor(max_complexity=5, beam_width=5000, constants="named", ranking="raw", verbose=0,
                             client=client).fit(X, y)
    returned = time.monotonic()
    print(model.stop_reason_, ",".join(map(str, handed)), int(model.equations_["complexity"].max()),
          returned - sent[0], any("interrupted during level 5" in str(w.message) for w in caught))
"""
    proc = run_python(code)
    # Levels 3 and 4 went to the cluster (level 2 is too small), level 5 never
    # did, and the fit returned long before level 5's generation could end.
    words = proc.stdout.decode().split()
    assert len(words) == 5, proc.stdout.decode() + proc.stderr.decode()
    reason, handed, largest, stop_seconds, warned = words
    assert [reason, handed, largest, warned] == ["cancelled", "3,4", "4", "True"], proc.stderr.decode()
    assert float(stop_seconds) < GENERATION_STOP_SECONDS


def test_copies_share_the_client_and_pickles_leave_it_out(client):
    model = VokRegressor(max_complexity=3, verbose=0, client=client)
    assert clone(model).client is client and clone(model).get_params()["max_complexity"] == 3
    assert copy.deepcopy(model).client is client and copy.copy(model).client is client
    assert pickle.loads(pickle.dumps(model)).client is None and model.client is client


@pytest.mark.parametrize(
    "candidates, workers, threads",
    [(8192, 2, 2), (8193, 2, 2), (10**6, 2, 2), (10**6 + 5, 2, 2), (50_000, 128, 128), (9000, 0, 0),
     (10**7 + 3, 16, 512)],
)
def test_ranges_tile_the_level(candidates, workers, threads):
    ranges = _distributed.split(candidates, workers, threads)
    assert [first for first, _ in ranges] == [0] + list(np.cumsum([c for _, c in ranges])[:-1])
    assert sum(c for _, c in ranges) == candidates
    assert 1 <= len(ranges) <= max(workers, 1) * _distributed.TASKS_PER_WORKER
    assert min(c for _, c in ranges) >= _distributed.MIN_RANGE * max(1, threads // max(workers, 1))
