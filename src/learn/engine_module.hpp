#pragma once

// vok_learn._engine: the private way into the engine for the vok_learn
// package. Unlike vok_sr it releases the interpreter lock while it searches,
// can be bounded, silenced and interrupted, and trades formulas as exact
// token lists. Everything the module keeps is declared here.

#include "bind/py_common.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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
// read_checkpoint(path): a checkpoint's level and front, without searching.
PyObject* read_checkpoint(PyObject* module, PyObject* path);
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
  PyObject* operators;
  PyObject* output_scaling;  // truth value; absent: off
};
// Fills `config` from them; false with TypeError/ValueError set.
bool config_from_args(const SettingArgs& args, SearchConfig& config);
// X (2-d) and y (1-d, as many rows, at least one), finite, as one dataset:
// X copied once, into columns; false with ValueError set otherwise. With
// `weights` (sample_weight: None or absent, or one finite weight >= 0 per
// row, not all 0), the dataset carries them scaled to a mean of 1.
bool samples_from_args(PyObject* x, PyObject* y, Dataset& data, PyObject* weights = nullptr);
// time_limit: None (absent) or a number of seconds >= 0 (infinity: none),
// as control.deadline.
bool deadline_arg(PyObject* obj, SearchControl& control);
// refine: absent or "diagonal" (vok_sr's refinement), or "coupled"
// (kCoupledRefine).
bool refine_arg(PyObject* obj, RefinePolicy& policy);
// threads: None (absent) or a positive integer.
bool threads_arg(PyObject* obj, std::size_t& threads);
// {"equations": [...], "stop_reason": ..., "last_level": ...}.
Ref run_result(const SearchRun& run);

// SearchError as ValueError; returns null.
PyObject* raise_error(const SearchError& e);
// A new bytes object holding `s`.
Ref to_bytes(const std::string& s);

// A bytes-like argument, viewed in place for as long as it lives.
class Bytes {
 public:
  Bytes() = default;
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;
  ~Bytes() {
    if (held_) PyBuffer_Release(&view_);
  }
  // False with TypeError naming `name` for an object without a buffer.
  bool open(PyObject* obj, const char* name) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be a bytes-like object, not %.100s", name, Py_TYPE(obj)->tp_name);
      return false;
    }
    held_ = true;
    return true;
  }
  std::string_view view() const {
    return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

class Watch;
// The level dispatcher of search(dispatch=obj): each level of at least
// obj.min_candidates candidates goes to obj.score_level(level) on the
// driving thread, with the lock held for that call only; an exception it
// raises is kept by `watch` and gives the level up. Null with TypeError set
// when `obj` is not a dispatcher.
[[nodiscard]] std::unique_ptr<LevelDispatcher> python_dispatcher(PyObject* obj, Watch& watch);

// Makes the type of `spec` once (kept in `type` for the life of the
// process) and adds it to `module` as `name`; false with an exception set.
bool add_type(PyObject* module, PyType_Spec& spec, const char* name, PyTypeObject*& type);
// The types LevelScorer and DispatchedLevel, added to the module at import.
bool add_scorer_type(PyObject* module);
bool add_level_type(PyObject* module);
// The type Dataset, added to the module at import.
bool add_dataset_type(PyObject* module);

}  // namespace vok::learn
