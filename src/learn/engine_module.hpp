#pragma once

// vok_learn._engine: the private way into the engine for the vok_learn
// package. Unlike vok_sr it releases the interpreter lock while it searches,
// can be bounded, silenced and interrupted, and trades formulas as exact
// token lists. Everything the module keeps is declared here.

#include "bind/py_common.hpp"

#include <cstddef>
#include <optional>
#include <vector>

#include "lib/engine.hpp"

namespace vok::learn {

using py::Ref;

// The interpreter lock released for the engine and taken back on scope exit,
// also when the engine throws (allocation failure).
class Unlocked {
 public:
  Unlocked() : saved_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(saved_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* saved_;
};

// Made on first use and kept for the life of the process.
struct EngineState {
  PyObject* asarray = nullptr;            // numpy.asarray
  PyObject* empty = nullptr;              // numpy.empty
  PyObject* float64 = nullptr;            // numpy.float64
  RegistryPtr registry;                   // the operator table of every formula it rebuilds
};

EngineState& engine_state();
// Loads NumPy into the state; false with ImportError set when it cannot.
[[nodiscard]] bool load_numpy();

// A float64 array-like as NumPy holds it (a view of a float64 array in any
// layout, else NumPy's float64 copy), with its shape and byte strides.
struct FloatArray {
  Ref array;
  const void* base = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 1;  // 1 for a vector
  Py_ssize_t row_stride = 0;
  Py_ssize_t col_stride = 0;

  // The matrix as a dataset without targets: one copy, into columns.
  [[nodiscard]] Dataset dataset() const;
  // A vector's values: one copy.
  [[nodiscard]] std::vector<double> vector() const;
};
// `ndim` is 1 or 2. ValueError naming `name` for anything that is not an
// array of real numbers of that many dimensions.
[[nodiscard]] std::optional<FloatArray> float_array(PyObject* obj, const char* name, int ndim);
// The first row (in row order) that holds NaN or an infinity.
[[nodiscard]] std::optional<std::size_t> first_nonfinite_row(const Dataset& data);
// A new float64 vector of `n` elements; `data` receives its buffer.
Ref new_vector(std::size_t n, double** data);

// Tokens as plain tuples: ("var", i), ("const", value), ("literal", value),
// ("named", id, name), ("op", id, name).
Ref tokens_to_list(const Expression& e, const OperatorRegistry& registry);
// The expression a token list spells; ValueError naming the first fault.
[[nodiscard]] std::optional<Expression> expression_from_list(PyObject* list);

PyObject* search(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// assess(equations, data) and refine(equations, data, ...) on an _engine.Dataset.
PyObject* assess(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* refine(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The settings every search entry takes (borrowed; null when absent).
struct SettingArgs {
  PyObject* max_complexity;
  PyObject* complexity_penalty;
  PyObject* beam_width;
  PyObject* alpha;
  PyObject* l1_ratio;
  PyObject* exhaustive;
  PyObject* ranking;
  PyObject* constants;
};
// Fills `config` from them; false with TypeError/ValueError set.
bool config_from_args(const SettingArgs& args, SearchConfig& config);
// X (2-d) and y (1-d, as many rows, at least one), finite, as one dataset:
// X copied once, into columns; false with ValueError set otherwise.
bool samples_from_args(PyObject* x, PyObject* y, Dataset& data);
// time_limit: None (absent) or a number of seconds >= 0 (infinity: none),
// as control.deadline.
bool deadline_arg(PyObject* obj, SearchControl& control);
// threads: None (absent) or a positive integer.
bool threads_arg(PyObject* obj, std::size_t& threads);
// {"equations": [...], "stop_reason": ..., "last_level": ...}.
Ref run_result(const SearchRun& run);

// The types LevelStepper and LevelScorer, added to the module at import.
bool add_stepper_types(PyObject* module);
// The type Dataset, added to the module at import.
bool add_dataset_type(PyObject* module);

}  // namespace vok::learn
