#pragma once

// Converting Python data into the engine's vectors and matrices.

#include "bind/py_common.hpp"

#include <optional>
#include <vector>

namespace vok::py {

using Vector = std::vector<double>;
using Matrix = std::vector<std::vector<double>>;

// Copies of Python data as plain doubles, so the engine never touches Python
// objects. Both accept sequences of numbers and NumPy arrays; std::nullopt
// means a Python exception is set:
//  - TypeError "The given array is not contiguous" for a non-contiguous 1-D
//    float64 array given to convert_to_vec;
//  - ValueError "Input must be a 1D list or NumPy array of floats" /
//    "Input must be a 2D list or 2D NumPy array of floats" otherwise;
//  - ImportError when NumPy itself cannot be loaded (nothing can be tested
//    for being an array then).
[[nodiscard]] std::optional<Vector> convert_to_vec(PyObject* obj);
[[nodiscard]] std::optional<Matrix> convert_to_matrix(PyObject* obj);

}  // namespace vok::py
