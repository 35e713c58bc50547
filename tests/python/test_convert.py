"""Conversion of Python and NumPy data, observed through formulas that read
one input back (v_{k}) and through the errors of the search methods."""

import math

import numpy as np
import pytest

import vok_sr

VEC_ERROR = "Input must be a 1D list or NumPy array of floats"
MATRIX_ERROR = "Input must be a 2D list or 2D NumPy array of floats"


def read_vec(columns, x, n):
    return [columns[k].eval(x) for k in range(n)]


def read_matrix(columns, m, ncols):
    cols = [columns[k].eval_batch(m) for k in range(ncols)]
    return [list(row) for row in zip(*cols)]


class Indexable:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Floatable:
    def __float__(self):
        return 4.25


class LenRaises:
    """A sequence whose length query fails but whose iteration works."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError
        return float(i) + 0.5


class HugeLen(LenRaises):
    """Reports an absurd length: it is only a capacity hint."""

    def __len__(self):
        return 2**40


class BreaksMidway(LenRaises):
    def __getitem__(self, i):
        if i == 1:
            raise KeyError("broken")
        return 1.0


VECTORS = [
    ([1, 2.5, True], [1.0, 2.5, 1.0]),
    ((3.0, -4.0, 5.5), [3.0, -4.0, 5.5]),
    (range(3), [0.0, 1.0, 2.0]),
    ([np.float32(1.5), np.int64(7), np.float64(-2.0)], [1.5, 7.0, -2.0]),
    ([Indexable(9), Floatable()], [9.0, 4.25]),
    (np.array([1.0, 2.0, 3.0]), [1.0, 2.0, 3.0]),
    (np.array([1, 2, 3], dtype=np.int64), [1.0, 2.0, 3.0]),
    (np.array([1.5, 2.25, -3.0], dtype=np.float32), [1.5, 2.25, -3.0]),
    (np.array([1.0, 2.0, 3.0], dtype=">f8"), [1.0, 2.0, 3.0]),
    (np.arange(8)[::2], [0.0, 2.0, 4.0, 6.0]),  # strided ints: element by element
    (np.arange(4.0)[::4], [0.0]),  # one element is contiguous whatever the stride
    (np.asfortranarray(np.array([7.0, 8.0])), [7.0, 8.0]),
    (LenRaises(), [0.5, 1.5, 2.5]),
    (HugeLen(), [0.5, 1.5, 2.5]),
    ([math.inf, -math.inf, math.nan], [math.inf, -math.inf, math.nan]),
]


@pytest.mark.parametrize("data,expected", VECTORS, ids=lambda v: type(v).__name__)
def test_vector_conversion(columns, data, expected):
    got = read_vec(columns, data, 4)
    # Values beyond the vector's length are missing inputs: NaN.
    want = expected + [math.nan] * (4 - len(expected))
    assert all(
        (math.isnan(a) and math.isnan(b)) or a == b for a, b in zip(got, want)
    ), (got, want)


@pytest.mark.parametrize(
    "data",
    [np.arange(6.0)[::2], np.arange(3.0)[::-1], np.arange(12.0).reshape(3, 4)[:, 1]],
    ids=["strided", "reversed", "column"],
)
def test_non_contiguous_float_vector_is_type_error(data):
    s = vok_sr.Searcher(max_complexity=1)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        s.find_function(data, [1.0, 2.0, 3.0])
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        s.find_multivariate([[1.0], [2.0], [3.0]], data)


BAD_VECTORS = [
    "abc",
    None,
    5.0,
    ["a", 1.0],
    [[1.0]],
    [1.0, None],
    np.ones((2, 2)),
    np.array(1.0),  # 0-d: a sequence that cannot be iterated
    {1: 2.0},
    (x for x in [1.0]),
    BreaksMidway(),
]


@pytest.mark.parametrize("data", BAD_VECTORS, ids=lambda v: type(v).__name__)
def test_bad_vector_is_value_error(data):
    s = vok_sr.Searcher(max_complexity=1)
    with pytest.raises(ValueError, match=f"^{VEC_ERROR}$"):
        s.find_function(data, [1.0])
    with pytest.raises(ValueError, match=f"^{VEC_ERROR}$"):
        s.find_function([1.0], data)


def test_empty_vectors_reach_the_length_check():
    s = vok_sr.Searcher(max_complexity=1)
    for empty in ([], (), np.array([], dtype=np.float64)):
        with pytest.raises(vok_sr.VokDimensionError):
            s.find_function(empty, empty)


BASE = np.arange(1.0, 13.0).reshape(3, 4)  # 3 rows, 4 columns

MATRICES = [
    ([[1, 2.5], [3, 4]], [[1.0, 2.5], [3.0, 4.0]]),
    (((1.0, 2.0), (3.0, 4.0)), [[1.0, 2.0], [3.0, 4.0]]),
    ([np.array([1.0, 2.0]), np.array([3, 4])], [[1.0, 2.0], [3.0, 4.0]]),
    ([np.arange(6.0)[::2]], [[0.0, 2.0, 4.0]]),  # strided rows are read by sequence
    (BASE, BASE.tolist()),
    (np.asfortranarray(BASE), BASE.tolist()),
    (BASE.T, BASE.T.tolist()),
    (BASE[::2, ::3], [[1.0, 4.0], [9.0, 12.0]]),
    (BASE[::-1, ::-1], BASE[::-1, ::-1].tolist()),
    (BASE.astype(np.int32), BASE.tolist()),
    (BASE.astype(np.float32), BASE.tolist()),
    (BASE.astype(">f8"), BASE.tolist()),
    (np.frombuffer(b"\0" + BASE.tobytes(), dtype=np.float64, offset=1).reshape(3, 4), BASE.tolist()),
]


@pytest.mark.parametrize("data,expected", MATRICES, ids=lambda v: type(v).__name__)
def test_matrix_conversion(columns, data, expected):
    ncols = len(expected[0])
    assert read_matrix(columns, data, ncols) == expected


def test_transpose_gives_columns_as_rows(columns):
    a = np.array([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]])
    assert read_matrix(columns, a.T, 3) == [[1.0, 3.0, 5.0], [2.0, 4.0, 6.0]]


def test_ragged_and_empty_matrices(columns):
    v0, v1 = columns[0], columns[1]
    got = v1.eval_batch([[1, 2], [3]])
    assert got[0] == 2.0 and math.isnan(got[1])
    assert v0.eval_batch([]) == []
    assert v0.eval_batch(np.zeros((0, 3))) == []
    empty_rows = v0.eval_batch(np.zeros((2, 0)))
    assert len(empty_rows) == 2 and all(math.isnan(v) for v in empty_rows)


BAD_MATRICES = [
    [1.0, 2.0],
    np.arange(3.0),
    np.zeros((2, 2, 2), dtype=np.float32)[0][0],
    np.zeros((2, 2, 2)),
    "abc",
    None,
    3.0,
    [[1.0], "ab"],
    [[1.0, "x"]],
    [np.array(1.0)],
    (row for row in [[1.0]]),
]


@pytest.mark.parametrize("data", BAD_MATRICES, ids=lambda v: type(v).__name__)
def test_bad_matrix_is_value_error(columns, data):
    with pytest.raises(ValueError, match=f"^{MATRIX_ERROR}$"):
        columns[0].eval_batch(data)
    with pytest.raises(ValueError, match=f"^{MATRIX_ERROR}$"):
        vok_sr.Searcher(max_complexity=1).find_multivariate(data, [1.0])


def test_conversion_leaves_inputs_unchanged():
    xs = np.array([3.0, 1.0, 2.0])
    rows = [[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]]
    before = (xs.copy(), [list(r) for r in rows])
    vok_sr.Searcher(max_complexity=2).find_multivariate(rows, xs)
    assert np.array_equal(xs, before[0]) and rows == before[1]
