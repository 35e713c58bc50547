"""The suite's child-process helper: a Python child gets KeyboardInterrupt on
SIGINT even when the test process ignores SIGINT, and a wait that cannot end
well fails at once with the child's output and stacks."""

import re
import signal

import pytest

from conftest import start_python

SLEEPER = """
import time
try:
    print("ready", flush=True)
    time.sleep(60)
except KeyboardInterrupt:
    print("interrupted")
"""


@pytest.mark.parametrize("parent", [signal.SIG_IGN, signal.default_int_handler], ids=["ignored", "default"])
def test_sigint_raises_keyboard_interrupt_in_the_child_whatever_the_parent_does(parent):
    # As under `nohup ... &` or a CI runner: the child inherits SIGINT ignored.
    before = signal.signal(signal.SIGINT, parent)
    try:
        child = start_python(SLEEPER, doing="a sleep that SIGINT should end")
    finally:
        signal.signal(signal.SIGINT, before)
    with child:
        child.wait_for_output(rb"ready\n")
        child.interrupt()
        done = child.finish(within=20, waiting_for="waiting for it to exit after SIGINT")
    assert (done.returncode, done.stdout, done.stderr) == (0, b"ready\ninterrupted\n", b"")


@pytest.mark.parametrize(
    "code, wait, message, stderr",
    [
        (
            "print('started', flush=True)\nimport sys\nsys.exit(3)",
            "never",
            r"it exited with status 3 while waiting for b'never' in its stdout; ",
            r"\A\Z",
        ),
        (
            "print('started', flush=True)\nimport time\ntime.sleep(60)",
            "never",
            r"it printed nothing and used no CPU for 1 s while waiting for b'never' in its stdout; "
            r".*state S \(sleeping\)",
            r'File "<string>", line 4 in <module>',
        ),
        (
            "print('started', flush=True)\nwhile True:\n    pass",
            None,
            r"3 s passed while waiting for it to exit; ",
            r'File "<string>", line \d in <module>',
        ),
    ],
    ids=["exited", "stuck", "busy"],
)
def test_a_wait_that_cannot_end_well_fails_with_what_the_child_did(code, wait, message, stderr):
    with start_python(code, doing="a child that misbehaves", idle=1) as child:
        with pytest.raises(pytest.fail.Exception) as failed:
            if wait is None:
                child.finish(within=3)
            else:
                child.wait_for_output(wait.encode(), within=20)
        assert child.proc.poll() is not None, "the failed wait left the child running"
    text = str(failed.value)
    assert text.startswith("child process (a child that misbehaves): "), text
    assert re.search(message, text, flags=re.S), text
    assert "--- its stdout ---\nstarted\n" in text
    assert re.search(stderr, text.split("--- its stderr ---\n", 1)[1]), text
