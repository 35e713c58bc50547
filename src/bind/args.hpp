#pragma once

// Binding Python call arguments to parameter slots, and scalar conversion.

#include "bind/py_common.hpp"

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

namespace vok::py {

// The parameter list of one Python-facing callable: all parameters may be
// passed by position or keyword; the first `required` have no default.
struct ArgSpec {
  const char* function;  // as it appears in messages, e.g. "find_function"
  std::initializer_list<const char*> names;
  std::size_t required;
};

// Binds fast-call arguments to `out` (one borrowed slot per parameter, null
// when absent). On TypeError (missing, unknown, duplicate, too many) returns
// false with the exception set.
[[nodiscard]] bool bind_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> out);
// The same for a classic (tuple, dict) call, as a type's tp_new receives it.
[[nodiscard]] bool bind_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Real-number argument: exact floats directly, anything else through the
// float conversion. A failure raises TypeError "argument '<name>': <text>"
// chained to the original, except OverflowError (an int too large for a
// float), which passes unchanged.
[[nodiscard]] std::optional<double> real_arg(PyObject* obj, const char* name);
// Non-negative integer argument through the index conversion. A non-integer
// raises TypeError "argument '<name>': <text>"; a negative or too large one
// the conversion's own OverflowError.
[[nodiscard]] std::optional<std::size_t> index_arg(PyObject* obj, const char* name);
// Optional real argument: absent or None keeps `fallback`.
[[nodiscard]] std::optional<std::optional<double>> optional_real_arg(PyObject* obj, const char* name);

}  // namespace vok::py
