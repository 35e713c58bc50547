"""A search whose levels are scored on a Dask cluster: the dispatcher the engine hands its levels to, and the task
the workers run."""

from __future__ import annotations

import asyncio
import concurrent.futures
import threading
import time
import uuid
from collections import OrderedDict
from typing import Any

from . import _engine

__all__ = ["DistributedSearchError", "Dispatcher", "STATS_COLUMNS", "check_client"]

# Tasks per worker (a worker scores one task at a time, on all of its
# threads). Scoring costs differ a lot between ranges (a level's candidates
# come grouped by operator, and the ones with fitted constants cost most),
# so a level cut in few ranges waits for its slowest: at complexity 8 on 2
# workers, 8 tasks per worker instead of 3 halved the longest task and cut
# the level's wall time by about 10 %. A task costs a scheduler round trip
# (10-30 ms on a busy machine) and sends back a summary of up to a beam's
# worth of candidates (about 0.3 MB at the default beam) whatever its size,
# so more tasks ship more bytes.
TASKS_PER_WORKER = 8
# Fewest candidates in one task per thread of its worker: at tens of
# microseconds per candidate this keeps a task well above the scheduler's
# overhead, and the summaries well below the recipes in bytes.
MIN_RANGE = 4096
# A level with fewer admitted candidates is scored on the driver: shipping
# its payload would cost more than scoring it.
LOCAL_CANDIDATES = 8192
# How often the dispatcher wakes while tasks run, to ask the search's stop
# checks (time limit, Ctrl-C) and notice a client that was closed.
POLL_SECONDS = 0.1
# How long the dispatcher waits for a cluster without workers to get one.
WORKER_WAIT_SECONDS = 60.0
# Times a range is submitted again after its task was cancelled or lost its
# input with the client still connected (a worker's death the scheduler
# could not recover from by itself).
RESUBMITS = 3
# LevelScorers kept per worker process: the current level of a search or
# two running side by side; each holds its level's retained candidates.
CACHED_SCORERS = 4

STATS_COLUMNS = (
    "level",
    "candidates",
    "tasks",
    "workers",
    "payload_bytes",
    "recipe_bytes",
    "summary_bytes",
    "shipped_bytes",
    "generate_seconds",
    "score_seconds",
    "task_seconds",
    "max_task_seconds",
    "build_seconds",
    "absorb_seconds",
)


class DistributedSearchError(RuntimeError):
    """The Dask cluster failed a search: it could not be reached, its client
    was closed during fit, or a worker could not score its range."""


# ----------------------------------------------------------- worker side

# Module state of a worker process. One lock guards the cache; each scorer
# has its own, so the tasks of one level on a worker with several threads
# score one after another, each on all of the worker's threads.
_SCORERS: OrderedDict[tuple[str, int], tuple[Any, threading.Lock]] = OrderedDict()
_SCORERS_LOCK = threading.Lock()


def _worker_threads() -> int:
    try:
        from distributed import get_worker

        return int(get_worker().state.nthreads)
    except (ImportError, ValueError, AttributeError):
        return 0


def _scorer(search_id: str, level: int, payload: bytes) -> tuple[tuple[Any, threading.Lock], bool]:
    """The worker's scorer of a level, and whether this call built it."""
    key = (search_id, level)
    with _SCORERS_LOCK:
        entry = _SCORERS.get(key)
        if entry is not None:
            _SCORERS.move_to_end(key)
            return entry, False
        # A search's earlier levels are never asked for again.
        for old in [k for k in _SCORERS if k[0] == search_id and k[1] < level]:
            del _SCORERS[old]
        while len(_SCORERS) >= CACHED_SCORERS:
            _SCORERS.popitem(last=False)
        entry = (_engine.LevelScorer(payload, _worker_threads()), threading.Lock())
        _SCORERS[key] = entry
        return entry, True


def _score_range(
    search_id: str, level: int, payload: bytes, recipes: bytes, first: int
) -> tuple[bytes, float, float]:
    """The task: the summary of one range of a level, the seconds its
    scoring took on the worker, and those it took to build the level's
    scorer (0 when an earlier task on this worker built it)."""
    start = time.perf_counter()
    (scorer, lock), built = _scorer(search_id, level, payload)
    build_seconds = time.perf_counter() - start if built else 0.0
    with lock:
        start = time.perf_counter()
        summary = scorer.score(recipes, first)
        return summary, time.perf_counter() - start, build_seconds


async def _forget(search_id: str) -> None:
    """Drops a finished search's scorers. Runs on the worker's event loop,
    so it never waits for the lock: a scorer being built then belongs to
    another search, and this one's are evicted later in any case."""
    if not _SCORERS_LOCK.acquire(blocking=False):
        return
    try:
        for key in [k for k in _SCORERS if k[0] == search_id]:
            del _SCORERS[key]
    finally:
        _SCORERS_LOCK.release()


# ----------------------------------------------------------- driver side


def check_client(client: object) -> None:
    """Raises if `client` cannot run a search: ImportError without Dask,
    TypeError for anything but a ``distributed.Client``, ValueError for a
    closed or asynchronous one."""
    try:
        from distributed import Client
    except ImportError as exc:
        raise ImportError(
            "client= needs Dask's distributed scheduler: pip install 'vok_sr[dask]'"
        ) from exc
    if not isinstance(client, Client):
        raise TypeError(
            f"client must be None or a dask.distributed.Client, got {type(client).__name__}: {client!r}"
        )
    if client.asynchronous:
        raise ValueError("client must be a synchronous dask.distributed.Client, got an asynchronous one")
    if client.status not in ("running", "connecting", "newly-created"):
        raise ValueError(f"client must be a connected dask.distributed.Client, but its status is {client.status!r}")


def split(candidates: int, workers: int, threads: int) -> list[tuple[int, int]]:
    """The ranges (first, count) a level's candidates are scored in on a
    cluster of `workers` with `threads` threads in all; empty when the level
    is scored on the driver."""
    if candidates < max(LOCAL_CANDIDATES, 1):
        return []
    workers = max(workers, 1)
    per_worker = max(1, round(threads / workers))
    tasks = max(1, min(candidates // (max(MIN_RANGE, 1) * per_worker), workers * TASKS_PER_WORKER))
    # Sizes differ by one at most, so no range falls below the minimum.
    size, longer = divmod(candidates, tasks)
    ranges, first = [], 0
    for i in range(tasks):
        count = size + (i < longer)
        ranges.append((first, count))
        first += count
    return ranges


class _LevelRun:
    """One level's tasks on the cluster: submits the ranges, collects the
    summaries, resubmits a range whose task was lost."""

    def __init__(self, client: Any, handle: Any, search_id: str, level: int, payload_future: Any) -> None:
        self.client = client
        self.handle = handle
        self.search_id = search_id
        self.level = level
        self.payload_future = payload_future
        self.pending: dict[Any, tuple[int, int, int]] = {}
        self.recipe_bytes = 0
        self.summary_bytes = 0
        self.task_seconds: list[float] = []
        self.build_seconds = 0.0
        self.payload_resent_bytes = 0

    def submit(self, first: int, count: int, attempt: int) -> None:
        recipes = self.handle.recipes(first, count)
        self.recipe_bytes += len(recipes)
        future = self.client.submit(
            _score_range,
            self.search_id,
            self.level,
            self.payload_future,
            recipes,
            first,
            key=f"vok-score-{self.search_id}-{self.level}-{first}-{attempt}",
            pure=False,
        )
        self.pending[future] = (first, count, attempt)

    def cancel(self) -> None:
        futures = list(self.pending)
        self.pending.clear()
        if futures and self.client.status == "running":
            try:
                self.client.cancel(futures)
            except Exception:  # the cluster is gone: nothing left to cancel
                pass

    def collect(self, finished: list[Any]) -> list[tuple[bytes, int]]:
        """The summaries of finished tasks, each with its count; a range
        whose task was cancelled is submitted again instead."""
        succeeded = [f for f in finished if f.status == "finished"]
        # One gather for all: fetching results one by one costs a round trip
        # to a worker each.
        results = self.client.gather(succeeded) if succeeded else []
        out = []
        for future, (summary, seconds, build_seconds) in zip(succeeded, results):
            _, count, _ = self.pending.pop(future)
            self.summary_bytes += len(summary)
            self.task_seconds.append(float(seconds))
            self.build_seconds = max(self.build_seconds, float(build_seconds))
            out.append((summary, count))
        for future in finished:
            if future.status != "finished":
                self._resubmit_or_raise(future)
        return out

    def _resubmit_or_raise(self, future: Any) -> None:
        first, count, attempt = self.pending.pop(future)
        if future.status == "error":
            error = future.exception()
            raise DistributedSearchError(
                f"scoring candidates [{first}, {first + count}) of level {self.level} failed on the "
                f"cluster: {type(error).__name__}: {error}"
            ) from error
        # Cancelled: by a closed client, or by the scheduler when the task's
        # input was lost with a worker.
        if self.client.status != "running":
            raise DistributedSearchError(_closed_message(self.client, self.level))
        if attempt >= RESUBMITS:
            raise DistributedSearchError(
                f"the task scoring candidates [{first}, {first + count}) of level {self.level} was "
                f"cancelled {attempt + 1} times by the cluster"
            )
        if self.payload_future.status != "finished":
            payload = self.handle.payload()
            self.payload_future = self.client.scatter(payload, broadcast=True, hash=False)
            self.payload_resent_bytes += len(payload) * len(self.client.nthreads())
        self.submit(first, count, attempt + 1)


def _closed_message(client: Any, level: int) -> str:
    return (
        f"the Dask client was closed or lost its scheduler during level {level} "
        f"(client status {client.status!r}); the fit was abandoned"
    )


def _cluster_slots(client: Any, handle: Any) -> tuple[int, int] | None:
    """(workers, threads) of the cluster now, waiting a while for a first
    worker when there is none (an adaptive cluster scales up on demand);
    None when the search's stop checks fire meanwhile."""
    give_up = time.monotonic() + WORKER_WAIT_SECONDS
    while not (nthreads := client.nthreads()):
        if handle.should_stop():
            return None
        if time.monotonic() >= give_up:
            raise DistributedSearchError(
                f"the Dask cluster had no worker for {WORKER_WAIT_SECONDS:g} s at level {handle.level}"
            )
        try:
            client.wait_for_workers(1, timeout=POLL_SECONDS)
        except TimeoutError:
            pass
    return len(nthreads), int(sum(nthreads.values()))


class Dispatcher:
    """The dispatcher of one search (``_engine.search(dispatch=...)``): the
    engine hands it each level of at least `min_candidates` candidates, it
    scores ranges of the level on the workers of `client` and returns their
    summaries, from which the engine closes the level exactly as if it had
    scored it itself. While the tasks run it asks the level's stop checks,
    so that the time limit and Ctrl-C stop the search, and gives the level
    up when they fire. A cluster that fails raises DistributedSearchError.

    `record_level` turns the engine's level events into one record per
    level after the first (see STATS_COLUMNS); `close` drops the search's
    scorers on the workers.
    """

    def __init__(self, client: Any) -> None:
        self.client = client
        self.min_candidates = max(LOCAL_CANDIDATES, 1)
        self.search_id = uuid.uuid4().hex
        self.records: list[dict[str, Any]] = []
        # The transfer records of the levels scored on the cluster, until
        # their level events arrive.
        self._shipped: dict[int, dict[str, Any]] = {}
        self._used_cluster = False

    def score_level(self, handle: Any) -> list[bytes] | None:
        """The summaries of ranges that tile the level; None when the
        search's stop checks fired first."""
        level = int(handle.level)
        if self.client.status != "running":
            raise DistributedSearchError(_closed_message(self.client, level))
        run = None
        try:
            slots = _cluster_slots(self.client, handle)
            if slots is None:
                return None
            workers, threads = slots
            ranges = split(int(handle.candidate_count), workers, threads)
            payload = handle.payload()
            payload_future = self.client.scatter(payload, broadcast=True, hash=False)
            self._used_cluster = True
            run = _LevelRun(self.client, handle, self.search_id, level, payload_future)
            for first, count in ranges:
                run.submit(first, count, 0)
            parts: list[bytes] = []
            done = 0
            from distributed import wait

            while run.pending:
                if handle.should_stop(done):
                    return None
                if self.client.status not in ("running", "connecting"):
                    raise DistributedSearchError(_closed_message(self.client, level))
                try:
                    finished = wait(list(run.pending), timeout=POLL_SECONDS, return_when="FIRST_COMPLETED").done
                except TimeoutError:
                    continue
                for summary, count in run.collect(list(finished)):
                    parts.append(summary)
                    done += count
            self._shipped[level] = dict(
                tasks=len(ranges),
                workers=workers,
                payload_bytes=len(payload),
                recipe_bytes=run.recipe_bytes,
                summary_bytes=run.summary_bytes,
                shipped_bytes=len(payload) * workers
                + run.payload_resent_bytes
                + run.recipe_bytes
                + run.summary_bytes,
                task_seconds=float(sum(run.task_seconds)),
                max_task_seconds=float(max(run.task_seconds, default=0.0)),
                build_seconds=run.build_seconds,
            )
            return parts
        except (DistributedSearchError, KeyboardInterrupt):
            raise
        except (Exception, asyncio.CancelledError) as exc:
            if self.client.status != "running":
                raise DistributedSearchError(_closed_message(self.client, level)) from exc
            # The first line says what happened; the rest (a list of task
            # keys, a traceback) stays in the chained exception.
            what = f"{type(exc).__name__}: {str(exc).strip().splitlines()[0] if str(exc).strip() else ''}"
            if isinstance(exc, (asyncio.CancelledError, concurrent.futures.CancelledError)):
                raise DistributedSearchError(
                    f"the Dask cluster dropped the tasks of level {level} (was its scheduler shut down?): {what}"
                ) from exc
            raise DistributedSearchError(
                f"the search on the Dask cluster failed during level {level}: {what}"
            ) from exc
        finally:
            if run is not None:
                run.cancel()

    def record_level(self, event: dict[str, Any]) -> None:
        """Records a level the engine closed, from its level event: what was
        shipped for it (nothing when it was scored on this process) and where
        its time went."""
        level = int(event["level"])
        if level < 2:
            return
        record: dict[str, Any] = dict(
            level=level, candidates=int(event["candidates"]), tasks=0, workers=0, payload_bytes=0,
            recipe_bytes=0, summary_bytes=0, shipped_bytes=0, task_seconds=0.0, max_task_seconds=0.0,
            build_seconds=0.0,
        )
        record.update(self._shipped.pop(level, {}))
        record.update(
            generate_seconds=float(event["generate_seconds"]),
            score_seconds=float(event["score_seconds"]),
            absorb_seconds=float(event["close_seconds"]),
        )
        self.records.append({name: record[name] for name in STATS_COLUMNS})

    def close(self) -> None:
        """Drops the search's scorers on the workers (best effort: they are
        evicted later anyway)."""
        if self._used_cluster and self.client.status == "running":
            try:
                self.client.run(_forget, self.search_id, wait=False)
            except Exception:
                pass
