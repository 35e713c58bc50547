"""The vok-sr command line: the equations table, the output files, and
one-line errors with exit status 2."""

import json

import numpy as np
import pandas as pd
import pytest

from vok_learn._cli import main


@pytest.fixture(scope="module")
def data_csv(tmp_path_factory):
    rng = np.random.default_rng(4)
    a, b = rng.uniform(0.5, 2.0, size=(2, 40))
    path = tmp_path_factory.mktemp("cli") / "data.csv"
    pd.DataFrame({"a": a, "b": b, "y": 3.0 * a * b, "label": ["q"] * 40}).to_csv(path, index=False)
    return path


def test_fit_prints_the_table_and_writes_csv_json_and_plot(data_csv, tmp_path, capsys):
    paths = {ext: tmp_path / f"out.{ext}" for ext in ("csv", "json", "png")}
    common = [str(data_csv), "--target", "y", "--features", "a,b", "--max-complexity", "5", "--verbose", "0"]
    assert main(["fit", *common, "--output", str(paths["csv"]), "--plot", str(paths["png"])]) == 0
    assert main(["fit", *common, "--output", str(paths["json"])]) == 0
    out, err = capsys.readouterr()
    assert err == ""
    lines = out.splitlines()
    assert lines[0] == "y = f(a, b); * marks the selected equation"
    assert lines[1].split() == ["complexity", "loss", "score", "equation"]
    selected = [line for line in lines[2 : len(lines) // 2] if line.startswith("*")]
    assert len(selected) == 1 and "a" in selected[0] and "b" in selected[0]

    table = pd.read_csv(paths["csv"])
    assert list(table.columns) == ["complexity", "loss", "score", "equation", "sympy_format", "leaves_reals"]
    records = json.loads(paths["json"].read_text())
    assert [r["equation"] for r in records] == table["equation"].tolist()
    assert records[-1]["loss"] == table["loss"].iloc[-1]  # full precision in both
    assert paths["png"].read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize(
    "args, message",
    [
        (["fit", "missing.csv", "--target", "y"], "cannot read missing.csv: no such file"),
        (["fit", "{data}", "--target", "z"], "unknown column 'z' in {data}; its columns are: a, b, y, label"),
        (["fit", "{data}", "--target", "y", "--features", "a,c"], "unknown column 'c'"),
        (["fit", "{data}", "--target", "y"], "column 'label' in {data} is not numeric"),
        (["fit", "{data}", "--target", "y", "--features", "a", "--output", "t.txt"], "--output must end in .csv or .json"),
        (["fit", "{data}", "--target", "y", "--max-complexity", "0"], "argument --max-complexity: expected an integer >= 1"),
        (["fit", "{data}", "--target", "y", "--max-samples", "none"], "argument --max-samples: expected an integer, got 'none'"),
        (["fit", "{data}", "--target", "y", "--select-features", "0"], "argument --select-features: expected an integer >= 1"),
        (["fit", "{data}"], "the following arguments are required: --target"),
        (["predict"], "argument COMMAND: invalid choice: 'predict'"),
        (["fit", "{data}", "--target", "y", "--features", "a,b", "--operators", "+,pow"],
         "vok-sr: error: unknown operator 'pow' in operators; the operators are (any case): + (plus, add), "
         "- (subtract, sub), * (times, mul), / (divide, div), neg, inv, square, cube, sqrt, exp, log (ln), sin, "
         "cos, tan, asin (arcsin), acos (arccos), atan (arctan), vok\n"),
        (["fit", "{data}", "--target", "y", "--features", "a,b", "--operators", "*,times"],
         "operators names * twice: '*' and 'times'"),
        (["fit", "{data}", "--target", "y", "--operators", "+,,*"],
         "argument --operators: expected comma-separated operator names, got '+,,*'"),
        (["fit", "{data}", "--target", "y", "--operators", "-,+"], "argument --operators: expected one argument"),
        (["fit", "{data}", "--target", "y", "--features", "a,b", "--units", "a"],
         "argument --units: expected COLUMN=UNIT, got 'a'"),
        (["fit", "{data}", "--target", "y", "--features", "a,b", "--units", "a=m"],
         "--units gives no unit for 'b': every feature needs one (1 for a dimensionless one)"),
        (["fit", "{data}", "--target", "y", "--features", "a,b", "--units", "a=m", "--units", "b=s", "--units", "c=kg"],
         "--units names 'c', which is neither a feature nor the target"),
        (["fit", "{data}", "--target", "y", "--features", "a,b", "--units", "a=m", "--units", "a=s"],
         "--units gives column 'a' twice"),
        (["fit", "{data}", "--target", "y", "--features", "a,b", "--units", "a=m", "--units", "b=furlongs^"],
         "feature 'b'"),
        (["fit", "{data}", "--target", "y", "--features", "a,b", "--constant-units", "free"],
         "--constant-units needs --units"),
    ],
)
def test_errors_are_one_line_with_status_2(data_csv, capsys, args, message):
    args = [a.replace("{data}", str(data_csv)) for a in args]
    assert main(args) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("vok-sr: error: ")
    assert message.replace("{data}", str(data_csv)) in err


def test_operators_reach_the_search(data_csv, monkeypatch, capsys):
    from vok_learn import _engine

    calls = []
    search = _engine.search
    monkeypatch.setattr(_engine, "search", lambda *a, **k: calls.append(k) or search(*a, **k))
    common = [str(data_csv), "--target", "y", "--features", "a,b", "--max-complexity", "5", "--verbose", "0"]
    fits = []
    for flags in (["--operators", " TIMES , / "], ["--operators=-,sqrt"], []):
        calls.clear()
        assert main(["fit", *common, *flags]) == 0
        # The searches that grow the equations build from the same set.
        assert len({c["operators"] for c in calls}) == 1
        fits.append(calls[0]["operators"])
    assert fits == [("Times", "Divide"), ("Subtract", "Sqrt"), None]
    out, err = capsys.readouterr()
    assert err == "" and out.count("* marks the selected equation") == 3


def test_units_reach_the_fit(data_csv, monkeypatch, capsys):
    from vok_learn import VokRegressor

    seen = []
    fit = VokRegressor.fit
    monkeypatch.setattr(VokRegressor, "fit", lambda self, X, y, **k: seen.append(
        (self.constant_units, k)) or fit(self, X, y, **k))
    common = [str(data_csv), "--target", "y", "--features", "a,b", "--max-complexity", "3", "--verbose", "0"]
    assert main(["fit", *common, "--units", "b = s", "--units", "y=m", "--units", "a=m/s",
                 "--constant-units", "free"]) == 0
    assert main(["fit", *common, "--units", "a=1", "--units", "b=kg"]) == 0
    assert main(["fit", *common]) == 0
    assert seen == [
        ("free", {"X_units": {"a": "m/s", "b": "s"}, "y_units": "m"}),
        ("dimensionless", {"X_units": {"a": "1", "b": "kg"}, "y_units": None}),
        ("dimensionless", {}),
    ]
    out = capsys.readouterr().out
    assert out.count("* marks the selected equation") == 3


@pytest.mark.parametrize(
    "args, expected",
    [([], ("auto", None, True)), (["--max-samples", "all"], (None, None, True)),
     (["--max-samples", "12", "--select-features", "1"], (12, 1, True)),
     (["--no-dimensionless-groups"], ("auto", None, False))],
)
def test_row_column_and_group_settings_reach_the_estimator(data_csv, monkeypatch, capsys, args, expected):
    from vok_learn import VokRegressor

    seen = []
    fit = VokRegressor.fit
    monkeypatch.setattr(VokRegressor, "fit", lambda self, *a, **k: seen.append(
        (self.max_samples, self.select_features, self.dimensionless_groups)) or fit(self, *a, **k))
    common = [str(data_csv), "--target", "y", "--features", "a,b", "--max-complexity", "2", "--verbose", "0"]
    assert main(["fit", *common, *args]) == 0
    assert seen == [expected]


def test_checkpoint_resumes_from_the_command_line(data_csv, tmp_path, capsys):
    checkpoint = tmp_path / "run.ckpt"
    common = [str(data_csv), "--target", "y", "--features", "a,b", "--verbose", "0", "--checkpoint", str(checkpoint)]
    assert main(["fit", *common, "--max-complexity", "4"]) == 0
    first, _ = capsys.readouterr()
    assert checkpoint.exists() and (tmp_path / "run.ckpt.csv").exists()
    # Run again: read back, the same table.
    assert main(["fit", *common, "--max-complexity", "4"]) == 0
    again, err = capsys.readouterr()
    assert again == first and err == ""
    # Other settings: refused in one line, unless --resume never.
    assert main(["fit", *common, "--max-complexity", "5"]) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1
    assert f"vok-sr: error: Checkpoint '{checkpoint}': it was written by a search with other max_complexity;" in err
    assert main(["fit", *common, "--max-complexity", "5", "--resume", "never"]) == 0
    assert main(["fit", str(data_csv), "--target", "y", "--features", "a,b", "--resume", "always"]) == 2
    out, err = capsys.readouterr()
    assert err.endswith("vok-sr: error: --resume needs --checkpoint\n")
