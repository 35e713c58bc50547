#!/usr/bin/env python3
"""Writes the seed corpora of the libFuzzer targets (fuzz/corpus/<target>/).

The byte layout is the one fuzz/token_source.hpp decodes; each seed is a
small program that sits on an edge of the evaluator or renderers, malformed
ones included. Re-run after changing the layout: python3 fuzz/make_seeds.py

Beside these seeds the folders keep the fuzzers' finds that add coverage
(libFuzzer's -set_cover_merge=1 against the seeds), named found-<what they
decode to>. A re-run empties each folder first, finds included: after a
layout change they no longer decode to what their names say.
"""
import math
import pathlib
import struct

# The first 224 selector values pick from this table (index = selector % 28);
# it mirrors ByteReader::number.
EDGES = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, -2.5, math.nan, math.inf, -math.inf,
         1e308, -1e308, 5e-324, -5e-324, 2.2250738585072014e-308, 1e15, -1e15,
         999999999999999.9, 40.0, 30.0, 1.5707963267948966, 3.141592653589793, 1e-300,
         1e154, 0.1, 12345.678, 0.00005]

OPS = {name: i for i, name in enumerate(
    ["0", "1", "I", "Pi", "E", "VOK", "Neg", "Inv", "Plus", "Times", "Subtract", "Divide",
     "Exp", "Log", "Sqrt", "Sin", "Cos", "Tan", "ArcSin", "ArcCos", "ArcTan", "Square", "Cube"])}


def number(v):
    for i, e in enumerate(EDGES):
        if struct.pack(">d", e) == struct.pack(">d", v):
            return bytes([i])
    return bytes([0xE0]) + struct.pack(">d", v)


def cplx(re, im=None):
    if im is None:
        return bytes([0]) + number(re)
    return bytes([1]) + number(re) + number(im)


def op(o):
    if isinstance(o, str):
        return bytes([OPS[o]])
    if o < 240:
        return bytes([o])
    return bytes([0xF0]) + struct.pack(">Q", o)


def values(vs):
    return bytes([len(vs)]) + b"".join(cplx(*v) if isinstance(v, tuple) else cplx(v) for v in vs)


def const(o, re=0.0, im=None): return bytes([0]) + op(o) + cplx(re, im)
def lit(v): return bytes([1]) + number(v)
def var(i): return bytes([2, i])
def par(i, v=0.1): return bytes([3, i]) + cplx(v)
def app(arity, o): return bytes([4, arity]) + op(o)
def un(o): return app(1, o)
def bi(o): return app(2, o)


# (name, inputs, params, program)
PROGRAMS = [
    ("empty", [1.0], [], b""),
    ("var", [2.0], [], var(0)),
    ("var_nan", [math.nan], [], var(0)),
    ("param_stored", [], [], par(0)),
    ("param_given", [], [0.7], par(0)),
    ("param_beyond_vector", [], [0.7], par(200, 3.0)),
    ("plus_missing_input", [1.0], [], var(0) + var(1) + bi("Plus")),
    ("plus", [1.0, 2.0], [], var(0) + var(1) + bi("Plus")),
    ("exp_40", [40.0], [], var(0) + un("Exp")),
    ("exp_30", [30.0], [], var(0) + un("Exp")),
    ("divide_by_zero", [1.0, 0.0], [], var(0) + var(1) + bi("Divide")),
    ("leftover", [1.0], [], var(0) + var(0)),
    ("too_few_operands", [1.0], [], var(0) + bi("Plus")),
    ("arity_0_binary", [1.0], [], var(0) + app(0, "Plus")),
    ("arity_0_unary_empty", [], [], app(0, "Sin")),
    ("arity_1_binary", [1.0, 2.0], [], var(0) + var(1) + app(1, "Times")),
    ("arity_255", [1.0], [], var(0) + app(255, "Sin")),
    ("arity_3", [1.0], [], var(0) + var(0) + var(0) + app(3, "Plus")),
    ("id_past_table", [1.0], [], var(0) + un(23)),
    ("id_huge", [1.0], [], var(0) + un(2**64 - 1)),
    ("constant_of_unary", [], [], const("Sin", 1.0)),
    ("constant_of_binary", [], [], const("Plus", 1.0) + const("Pi", math.pi) + bi("Plus")),
    ("constant_past_table", [], [], const(31, 1.0)),
    ("constants", [], [], const("I", 0.0, 1.0) + const("E", math.e) + bi("Times")),
    ("sqrt_neg", [], [], lit(-1.0) + un("Sqrt")),
    ("arcsin_2", [], [], lit(2.0) + un("ArcSin")),
    ("tan_half_pi", [], [], lit(math.pi / 2) + un("Tan")),
    ("log_0", [], [], lit(0.0) + un("Log")),
    ("vok_b0", [1.0], [], var(0) + lit(0.0) + bi("VOK")),
    ("arctan_i", [(0.0, 1.0)], [], var(0) + un("ArcTan")),
    ("huge_product", [], [], lit(1e308) + lit(1e308) + bi("Times")),
    ("guard_edge", [], [], lit(1e15) + lit(0.0) + bi("Plus")),
    ("subnormal", [5e-324], [], var(0) + var(0) + bi("Divide")),
    ("neg_zero", [-0.0], [], var(0) + un("Neg") + un("Sqrt")),
    ("sum_in_product", [1.0, 3.0], [2.0],
     var(0) + par(0, 2.0) + bi("Plus") + var(1) + bi("Times")),
    ("deep_chain", [0.5], [], var(0) + un("Neg") * 120),
    ("wide_sum", [1.0] * 8, [], var(0) + (var(7) + bi("Plus")) * 60),
    ("var_254", [1.0], [], var(254) + un("Cube")),
]


def main():
    root = pathlib.Path(__file__).resolve().parent / "corpus"
    layouts = {
        # inputs, params, full table, true counts, tokens
        "eval": lambda ins, ps, prog: values(ins) + values(ps) + b"\x01" + b"\x00" + prog,
        # a number for the format, full table, true counts, tokens
        "render": lambda ins, ps, prog: number(-2.5) + b"\x01\x00" + prog,
        "fingerprint": lambda ins, ps, prog: number(0.5) + number(-0.00005) + b"\x01\x00" + prog,
    }
    extra = {
        "eval": [("short_table", values([1.0]) + values([]) + b"\x00\x09\x00" + var(0) + un("Neg"))],
        "render": [("tie", number(1.03125) + b"\x01\x00" + par(0, 1.03125)),
                   ("max_double", number(1.7976931348623157e308) + b"\x01\x00"
                    + lit(1.7976931348623157e308)),
                   ("tiny_negative", number(-0.00001) + b"\x01\x00" + lit(-0.00001))],
        "fingerprint": [("saturating", number(9.3e8) + number(-1e300) + b"\x01\x00"
                         + lit(9.3e8)),
                        ("claimed_vars", number(0.0) + number(0.0) + b"\x01\x03\x05\x02"
                         + var(3) + un("Log"))],
    }
    for target, layout in layouts.items():
        d = root / target
        d.mkdir(parents=True, exist_ok=True)
        for old in d.iterdir():
            old.unlink()
        seeds = [(n, layout(i, p, prog)) for n, i, p, prog in PROGRAMS] + extra[target]
        for name, data in seeds:
            (d / name).write_bytes(data)
        print(f"{target}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
