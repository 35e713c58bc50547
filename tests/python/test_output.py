import re

from conftest import run_python

SEARCH = """
import contextlib, io, sys
import vok_sr
buffer = io.StringIO()
with contextlib.redirect_stdout(buffer):
    r = vok_sr.Searcher(max_complexity=3, beam_width=10).find_function(
        [1.0, 2.0, 3.0, 4.0], [3.5, 1.0, 9.0, -2.0])
sys.stdout.write("captured=%d\\n" % len(buffer.getvalue()))
sys.stdout.write("result=%s\\n" % r.formula)
"""


def test_progress_lines_go_to_the_process_stdout():
    out = run_python(SEARCH)
    assert out.returncode == 0, out.stderr
    text = out.stdout.decode("utf-8")
    # redirect_stdout saw nothing: the engine writes to fd 1 itself
    assert "captured=0\n" in text
    start = "[VOK-SR] Started search space exploration. Level 1 seeded with 2 primary nodes.\n"
    assert text.startswith(start)
    levels = re.findall(
        r"^\[VOK-SR\]   -> Level (\d+) processed in \d+(?:\.\d+)?(?:s|ms|\u00b5s|ns)\. "
        r"Retaining top (\d+) candidates\.$",
        text,
        flags=re.M,
    )
    assert [lvl for lvl, _ in levels] == ["2", "3"]
    assert all(0 < int(n) <= 10 for _, n in levels)
    progress = re.findall(
        r"\r  \[VOK\] L(\d+) Progress: \[([\u2588\u2591]{10})\] (\d+)% \((\d+)/(\d+)\) "
        r"\| \d+\.\ds \(Est: (?:-?\d+\.\d|inf|nan)s\)   ",
        text,
    )
    assert progress, text
    for level, bar, pct, n, total in progress:
        assert bar.count("\u2588") == int(pct) // 10
        assert int(pct) == int(n) * 100 // int(total)
    assert {p[0] for p in progress} == {"2", "3"}
    assert any(p[2] == "100" for p in progress)
    # the Python lines come after the engine's, in order
    assert text.index("captured=0") > text.rindex("[VOK-SR]")
    assert text.endswith("result=%s\n" % text.split("result=")[1].strip())
