"""identify_constant and ``vok-sr constant``: closed forms of a number, no
false matches, argument checks."""

import math

import pytest
import sympy

from vok_learn import ConstantForm, identify_constant
from vok_learn._cli import main


@pytest.mark.parametrize(
    "value, exact",
    [
        (math.pi, sympy.pi),
        (math.sqrt(2), sympy.sqrt(2)),  # found as sin(acos(i)): the path goes through i
        (math.e**2, sympy.exp(2)),
        (math.log(2), sympy.log(2)),  # log(2i) has the same real part
        (1 / math.sqrt(2), 1 / sympy.sqrt(2)),  # so has sqrt(i)
        (0.0, sympy.Integer(0)),
        (2.0, sympy.Integer(2)),
        (-math.pi, -sympy.pi),
    ],
)
def test_finds_the_closed_form(value, exact):
    forms = identify_constant(value, max_complexity=5)
    assert forms, "no form found"
    first = forms[0]
    assert isinstance(first, ConstantForm)
    assert sympy.simplify(first.sympy - exact) == 0
    assert sympy.sympify(first.text) == first.sympy
    assert first.latex == sympy.latex(first.sympy)
    assert first.error == abs(first.value - value) <= 1e-12 * abs(value)
    assert [f.complexity for f in forms] == sorted(f.complexity for f in forms)
    assert all(1 <= f.complexity <= 5 for f in forms)


@pytest.mark.parametrize(
    "value",
    [
        0.5772156649015329,  # Euler's gamma
        1.2020569031595942,  # zeta(3)
        1e20,  # beyond the engine's values
        5e-324,  # not 0, however close
    ],
)
def test_no_form_gives_an_empty_list(value):
    assert identify_constant(value, max_complexity=5) == []


def test_tolerance_admits_a_rounded_value():
    assert identify_constant(3.14159265, max_complexity=3) == []
    assert [f.text for f in identify_constant(3.14159265, max_complexity=3, tolerance=1e-8)] == ["pi"]


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(value=math.nan), "value must be a finite real number, got nan"),
        (dict(value=math.inf), "value must be a finite real number"),
        (dict(value="3.14"), "value must be a finite real number, got '3.14'"),
        (dict(value=1j), "value must be a finite real number"),
        (dict(value=True), "value must be a finite real number"),
        (dict(value=1.0, max_complexity=0), "max_complexity must be an integer >= 1, got 0"),
        (dict(value=1.0, max_complexity=2.0), "max_complexity must be an integer >= 1, got 2.0"),
        (dict(value=1.0, tolerance=0), "tolerance must be a finite number > 0, got 0"),
        (dict(value=1.0, tolerance=math.nan), "tolerance must be a finite number > 0"),
        (dict(value=1.0, time_limit=0), "time_limit must be None or a number of seconds > 0, got 0"),
    ],
)
def test_arguments_are_checked(kwargs, message):
    with pytest.raises(ValueError, match=message):
        identify_constant(**kwargs)


def test_cli_prints_the_forms(capsys):
    assert main(["constant", repr(math.sqrt(math.pi)), "--max-complexity", "3"]) == 0
    out, err = capsys.readouterr()
    assert err == ""
    header, *rows = out.splitlines()
    assert header.split() == ["complexity", "form", "value", "error"]
    assert rows[0].split() == ["2", "sqrt(pi)", repr(math.sqrt(math.pi)), "0"]


def test_cli_says_when_nothing_is_found(capsys):
    assert main(["constant", "0.5772156649015329", "--max-complexity", "3"]) == 1
    assert capsys.readouterr() == ("no closed form found within the limits\n", "")


@pytest.mark.parametrize(
    "args, message",
    [
        (["constant", "pi"], "argument VALUE: expected a number, got 'pi'"),
        (["constant", "inf"], "argument VALUE: expected a finite number, got 'inf'"),
        (["constant", "1.5", "--tolerance", "-1"], "argument --tolerance: expected a number > 0"),
        (["constant", "1.5", "--max-complexity", "0"], "argument --max-complexity: expected an integer >= 1"),
        (["constant"], "the following arguments are required: VALUE"),
    ],
)
def test_cli_errors_are_one_line_with_status_2(capsys, args, message):
    assert main(args) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1 and message in err
