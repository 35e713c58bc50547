import math
import os
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import vok_sr

# Searches in this suite stay tiny (max_complexity <= 5) so the whole suite
# runs in seconds; the engine prints its progress to fd 1, which pytest's
# default fd capture swallows.


# --- Child processes -----------------------------------------------------------
#
# Every test that starts a process goes through Child, so that none can hang
# the suite: each wait is bounded, a child that neither prints nor uses CPU
# for IDLE_S seconds counts as stuck at once, and a failed wait ends the child
# and reports what it was doing, its state, its output so far and, for a
# Python child, the stack of each of its threads.

IDLE_S = 30.0

# The first line of each Python child. A process started with SIGINT ignored
# (`nohup make test &`, a CI runner that ignores SIGINT) passes that on to its
# children, and Python then installs no KeyboardInterrupt handler; so the child
# installs Python's own handler itself, whatever it inherited. Done here
# rather than in a preexec_fn, which may deadlock when the test process has
# threads (TBB's, Dask's); process_group and restore_signals leave SIGINT's
# disposition as it was. SIGUSR1 makes faulthandler print every thread's stack,
# which a failed wait asks for before it kills the child.
PYTHON_PRELUDE = (
    "import faulthandler as _f, signal as _s; _s.signal(_s.SIGINT, _s.default_int_handler); "
    "_f.register(_s.SIGUSR1, all_threads=True); del _f, _s\n"
)


def _cpu_ticks(pid: int) -> int | None:
    """User plus system CPU time of `pid` in clock ticks, or None."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as stat:
            fields = stat.read().rsplit(b")", 1)[1].split()
    except (OSError, IndexError):
        return None
    return int(fields[11]) + int(fields[12])


def _process_state(pid: int) -> str:
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("State:"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def _tail(data: bytes, limit: int = 4000) -> str:
    text = data.decode("utf-8", "replace")
    return text if len(text) <= limit else "...\n" + text[-limit:]


class Child:
    """A process with stdin from /dev/null and its stdout and stderr read as
    they come. `doing` says in words what it runs, for the failure messages."""

    def __init__(
        self, argv, *, doing: str, env: dict | None = None, cwd=None, python: bool = False, idle: float = IDLE_S
    ):
        self.doing = doing
        self.idle = idle
        self.python = python
        self.started = time.monotonic()
        self.proc = subprocess.Popen(
            argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, cwd=cwd
        )
        self.stdout, self.stderr = bytearray(), bytearray()
        self._changed = threading.Condition()
        self._readers = [
            threading.Thread(target=self._read, args=(self.proc.stdout, self.stdout), daemon=True),
            threading.Thread(target=self._read, args=(self.proc.stderr, self.stderr), daemon=True),
        ]
        for reader in self._readers:
            reader.start()
        self._events: list[str] = []

    def _read(self, pipe, into: bytearray) -> None:
        fd = pipe.fileno()
        while chunk := os.read(fd, 65536):
            with self._changed:
                into += chunk
                self._changed.notify_all()
        pipe.close()
        with self._changed:
            self._changed.notify_all()

    def _wait(self, done, within: float, waiting_for: str):
        """Waits until done() returns something true and returns it; fails the
        test when the child exits first (unless done() accepts that), makes no
        progress for self.idle seconds, or `within` seconds pass."""
        deadline = time.monotonic() + within
        last_progress, seen = time.monotonic(), None
        while True:
            # Whether it had ended is known before done() looks: once it has,
            # done() sees all its output.
            ended = self._ended()
            with self._changed:
                result = done()
                if result:
                    return result
                progress = (len(self.stdout), len(self.stderr), _cpu_ticks(self.proc.pid))
            now = time.monotonic()
            if ended:
                self._fail(f"it exited with status {self.proc.returncode} while {waiting_for}")
            if progress != seen:
                seen, last_progress = progress, now
            if now - last_progress > self.idle:
                self._fail(f"it printed nothing and used no CPU for {self.idle:g} s while {waiting_for}")
            if now > deadline:
                self._fail(f"{within:g} s passed while {waiting_for}")
            with self._changed:
                self._changed.wait(timeout=0.25)

    def _ended(self) -> bool:
        """The child has exited and both its pipes are closed."""
        return self.proc.poll() is not None and not any(r.is_alive() for r in self._readers)

    def _fail(self, reason: str):
        state = "exited" if self.proc.poll() is not None else _process_state(self.proc.pid)
        if self.proc.poll() is None:
            if self.python:
                self.proc.send_signal(signal.SIGUSR1)
                time.sleep(1.0)  # faulthandler writes the stacks from its signal handler
            self.proc.kill()
        self.proc.wait()
        for reader in self._readers:
            reader.join(timeout=5)
        events = "".join(f"\n  {e}" for e in self._events)
        pytest.fail(
            f"child process ({self.doing}): {reason}; {time.monotonic() - self.started:.1f} s after it started, "
            f"state {state}{events}\n--- its stdout ---\n{_tail(self.stdout)}\n--- its stderr ---\n"
            f"{_tail(self.stderr)}",
            pytrace=False,
        )

    def wait_for_output(self, pattern: bytes, within: float = 120.0) -> re.Match:
        """Waits for `pattern` (a regular expression) to appear in stdout."""
        what = f"waiting for {pattern!r} in its stdout"
        return self._wait(lambda: re.search(pattern, self.stdout), within, what)

    def interrupt(self) -> None:
        """Sends SIGINT, as Ctrl-C in a terminal would."""
        self.proc.send_signal(signal.SIGINT)
        self._events.append(f"SIGINT sent {time.monotonic() - self.started:.1f} s after it started")

    def finish(
        self, within: float = 120.0, waiting_for: str = "waiting for it to exit"
    ) -> subprocess.CompletedProcess:
        """Waits for the child to exit and its pipes to close."""
        self._wait(self._ended, within, waiting_for)
        return subprocess.CompletedProcess(
            self.proc.args, self.proc.returncode, bytes(self.stdout), bytes(self.stderr)
        )

    def __enter__(self) -> "Child":
        return self

    def __exit__(self, *exc) -> None:
        # A test that stops early leaves no process behind.
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def start_python(code: str, *, doing: str, env: dict | None = None, cwd=None, idle: float = IDLE_S) -> Child:
    """Starts `code` in a fresh interpreter, with Python's SIGINT handler."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    argv = [sys.executable, "-c", PYTHON_PRELUDE + code]
    return Child(argv, doing=doing, env=full_env, cwd=cwd, python=True, idle=idle)


def run_python(
    code: str, env: dict | None = None, *, doing: str | None = None, within: float = 120.0, cwd=None
) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter to its end; stdout/stderr as bytes."""
    if doing is None:
        first = next((line.strip() for line in code.splitlines() if line.strip()), "")
        doing = f"python -c starting with {first!r}"
    with start_python(code, doing=doing, env=env, cwd=cwd) as child:
        return child.finish(within)


def run_command(argv, *, doing: str, within: float = 120.0, cwd=None) -> subprocess.CompletedProcess:
    """Runs a command to its end; stdout/stderr as bytes."""
    with Child(argv, doing=doing, cwd=cwd) as child:
        return child.finish(within)


def same_float(a: float, b: float) -> bool:
    return (math.isnan(a) and math.isnan(b)) or a == b


@pytest.fixture(scope="session")
def columns():
    """columns[k] is the formula v_{k}: evaluating it reads input value k,
    so the conversions can be checked element by element."""
    n = 4
    rows = [[float((i + 1) * (k + 2) + k * k) for k in range(n)] for i in range(5)]
    searcher = vok_sr.Searcher(max_complexity=1)
    results = [searcher.find_multivariate(rows, [row[k] for row in rows]) for k in range(n)]
    assert [r.formula for r in results] == [f"v_{{{k}}}" for k in range(n)]
    return results


@pytest.fixture(scope="session")
def square():
    """The formula Square(v_{0})."""
    xs = [1.0, 2.0, 3.0, -1.5, 0.5]
    r = vok_sr.Searcher(max_complexity=2).find_function(xs, [x * x for x in xs])
    assert r.formula == "Square(v_{0})"
    return r


@pytest.fixture(scope="session")
def sum2():
    """The formula Plus(v_{0}, v_{1}), which uses two variables."""
    rows = [[1, 2], [3, 5], [2, 7], [4, 1]]
    r = vok_sr.Searcher(max_complexity=3).find_multivariate(rows, [a + b for a, b in rows])
    assert r.formula == "Plus(v_{0}, v_{1})"
    return r


@pytest.fixture(scope="session")
def scaled():
    """Times(C, v_{0}) with C fitted to 2.5."""
    xs = [1.0, 2.0, 3.0, 4.0, 5.0]
    r = vok_sr.Searcher(max_complexity=3).find_function(xs, [2.5 * x for x in xs])
    assert r.formula == "Times(C, v_{0})"
    return r


@pytest.fixture(scope="session")
def sin_product():
    """sin(x0) * x1 with 5 % noise on 30 rows: a small search that leaves a
    front of several equations."""
    rng = np.random.default_rng(3)
    X = rng.uniform(0.5, 2.0, size=(30, 2))
    y = np.sin(X[:, 0]) * X[:, 1] + 0.05 * rng.normal(size=30)
    return X, y


@pytest.fixture
def search_time_limits(monkeypatch):
    """The time_limit of every engine search a test runs, in call order."""
    from vok_learn import _engine

    limits = []
    search = _engine.search

    def recording(*args, **kwargs):
        limits.append(kwargs["time_limit"])
        return search(*args, **kwargs)

    monkeypatch.setattr(_engine, "search", recording)
    return limits
