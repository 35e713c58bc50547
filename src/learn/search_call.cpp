// _engine.search: one search with the interpreter lock released, bounded by
// a time limit, watched by a callback, stopped by Ctrl-C, its levels scored
// here or by a dispatcher.
#include "engine_module.hpp"
#include "watch.hpp"

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <cmath>
#include <string>
#include <string_view>
#include <variant>

#include "bind/args.hpp"
#include "lib/engine.hpp"

namespace vok::learn {

namespace {

Ref text(const std::string& s) {
  return Ref(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

Ref equation_dict(const SearchResult& r) {
  const OperatorList ops = r.registry->operators();
  Ref tokens = tokens_to_list(r.expression, *r.registry);
  Ref formula = text(r.expression.formula);
  Ref latex = text(render_latex(r.expression, ops));
  Ref python = text(render_python(r.expression, ops));
  if (!tokens || !formula || !latex || !python) return Ref();
  return Ref(Py_BuildValue("{s:O,s:d,s:n,s:O,s:O,s:O}", "tokens", tokens.get(), "error", r.error, "complexity",
                           static_cast<Py_ssize_t>(r.expression.complexity), "formula", formula.get(), "latex",
                           latex.get(), "python", python.get()));
}

// The capsule that carries a kept search to Python and back: an opaque
// handle, told from any other capsule by its name, that owns a shared
// reference to the state and drops it with the capsule.
constexpr const char* kKeptSearchCapsule = "vok_learn._engine.KeptSearch";
using KeptPtr = std::shared_ptr<const KeptSearch>;

void release_kept(PyObject* capsule) {
  delete static_cast<KeptPtr*>(PyCapsule_GetPointer(capsule, kKeptSearchCapsule));
}

Ref kept_capsule(const KeptPtr& kept) {
  if (!kept) return Ref(Py_NewRef(Py_None));
  auto* owned = new KeptPtr(kept);
  Ref capsule(PyCapsule_New(owned, kKeptSearchCapsule, release_kept));
  if (!capsule) delete owned;
  return capsule;
}

// {"equations": [...], "stop_reason": ..., "last_level": ..., and the
// checkpoint's "resumed_level", "checkpoint_failures", "checkpoint_failure",
// "state" (None unless kept) and "checkpoint_writes" (per store:
// level, bytes, encode_seconds, write_seconds, wait_seconds)}; a search that found
// nothing has no equations.
Ref run_dict(const SearchRun& run) {
  Ref equations(PyList_New(0));
  if (!equations) return Ref();
  if (const auto* results = std::get_if<std::vector<SearchResult>>(&run.results)) {
    for (const SearchResult& r : *results) {
      Ref eq = equation_dict(r);
      if (!eq || PyList_Append(equations.get(), eq.get()) < 0) return Ref();
    }
  }
  const std::string_view reason = stop_reason_name(run.stop);
  Ref failure = text(run.checkpoint_failure);
  Ref state = kept_capsule(run.state);
  Ref writes(PyList_New(0));
  if (!failure || !state || !writes) return Ref();
  for (const CheckpointWrite& w : run.checkpoint_writes) {
    Ref item(Py_BuildValue("{s:n,s:n,s:d,s:d,s:d}", "level", static_cast<Py_ssize_t>(w.level), "bytes",
                           static_cast<Py_ssize_t>(w.bytes), "encode_seconds", w.encode_seconds, "write_seconds",
                           w.write_seconds, "wait_seconds", w.wait_seconds));
    if (!item || PyList_Append(writes.get(), item.get()) < 0) return Ref();
  }
  return Ref(Py_BuildValue("{s:O,s:s#,s:n,s:n,s:n,s:O,s:O,s:O}", "equations", equations.get(), "stop_reason",
                           reason.data(), static_cast<Py_ssize_t>(reason.size()), "last_level",
                           static_cast<Py_ssize_t>(run.last_level), "resumed_level",
                           static_cast<Py_ssize_t>(run.resumed_level), "checkpoint_failures",
                           static_cast<Py_ssize_t>(run.checkpoint_failures), "checkpoint_failure", failure.get(),
                           "state", state.get(), "checkpoint_writes", writes.get()));
}

// One of `names` (a string), as the index of the match.
std::optional<std::size_t> choice_arg(PyObject* obj, const char* name, std::initializer_list<const char*> names) {
  std::size_t i = 0;
  for (const char* n : names) {
    if (PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, n) == 0) return i;
    ++i;
  }
  std::string expected;
  i = 0;
  for (const char* n : names) {
    expected += i == 0 ? "" : (i + 1 == names.size() ? " or " : ", ");
    expected += "'" + std::string(n) + "'";
    ++i;
  }
  PyErr_Format(PyExc_ValueError, "%s must be %s, not %R", name, expected.c_str(), obj);
  return std::nullopt;
}

bool output_arg(PyObject* obj, SearchControl& control) {
  if (obj == nullptr) {
    control.output = ProgressOutput::Silent;
    return true;
  }
  const auto i = choice_arg(obj, "output", {"silent", "stdout"});
  if (!i) return false;
  control.output = *i == 0 ? ProgressOutput::Silent : ProgressOutput::Stdout;
  return true;
}

bool options_arg(PyObject* ranking, PyObject* constants, SearchConfig& config) {
  if (ranking != nullptr) {
    const auto i = choice_arg(ranking, "ranking", {"raw", "affine"});
    if (!i) return false;
    config.ranking = *i == 0 ? Ranking::Raw : Ranking::Affine;
  }
  if (constants != nullptr) {
    const auto i = choice_arg(constants, "constants", {"fitted", "named", "both"});
    if (!i) return false;
    config.leaf_constants = *i == 0 ? LeafConstants::Fitted : *i == 1 ? LeafConstants::Named : LeafConstants::Both;
  }
  return true;
}

// operators: None (absent: every operator) or a list or tuple of at least
// one of the registry's operator names (arity >= 1), each as the registry
// spells it; the others go into config.disabled_operators. A name given
// twice counts once.
bool operators_arg(PyObject* obj, SearchConfig& config) {
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "operators must be a list or tuple of operator names or None, not %R", obj);
    return false;
  }
  const OperatorRegistry& registry = *engine_state().registry;
  std::uint64_t every = 0;
  std::string valid;
  for (std::size_t id = 0; id < registry.size() && id < 64; ++id) {
    if (registry.meta()[id].arity == 0) continue;
    every |= std::uint64_t{1} << id;
    valid += (valid.empty() ? "" : ", ") + registry.meta()[id].name;
  }
  Ref items(PySequence_Fast(obj, "operators"));
  if (!items) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  if (n == 0) {
    PyErr_Format(PyExc_ValueError, "operators must name at least one operator of: %s", valid.c_str());
    return false;
  }
  std::uint64_t kept = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "operators must hold operator names (str), not %R", item);
      return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (utf8 == nullptr) return false;
    const std::string_view name(utf8, static_cast<std::size_t>(size));
    std::uint64_t bit = 0;
    for (std::size_t id = 0; id < registry.size() && id < 64; ++id) {
      if (((every >> id) & 1u) != 0 && registry.meta()[id].name == name) bit = std::uint64_t{1} << id;
    }
    if (bit == 0) {
      PyErr_Format(PyExc_ValueError, "unknown operator %R; the operators are: %s", item, valid.c_str());
      return false;
    }
    kept |= bit;
  }
  config.disabled_operators = every & ~kept;
  return true;
}

// One dimension's exponents: a sequence of at most kBaseDimensions numbers,
// each a multiple of 1 / kExponentDenominator (the rest are 0).
bool exponents_arg(PyObject* obj, const std::string& name, Exponents& out) {
  Ref seq(PySequence_Fast(obj, ""));
  if (!seq) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence of numbers, not %R", name.c_str(), obj);
    return false;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  if (n > static_cast<Py_ssize_t>(kBaseDimensions)) {
    PyErr_Format(PyExc_ValueError, "%s has %zd exponents; at most %zu base dimensions are supported", name.c_str(), n,
                 kBaseDimensions);
    return false;
  }
  out = {};
  for (Py_ssize_t i = 0; i < n; ++i) {
    const auto x = py::real_arg(PySequence_Fast_GET_ITEM(seq.get(), i), name.c_str());
    if (!x) return false;
    const double scaled = *x * kExponentDenominator;
    const double whole = std::round(scaled);
    if (!std::isfinite(scaled) || std::abs(scaled - whole) > 1e-6 || std::abs(whole) > 1e9) {
      PyErr_Format(PyExc_ValueError, "%s: the exponent %R is not a multiple of 1/%d", name.c_str(),
                   PySequence_Fast_GET_ITEM(seq.get(), i), static_cast<int>(kExponentDenominator));
      return false;
    }
    out[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(whole);
  }
  return true;
}

// units: None, or {"inputs": one exponent sequence per column, "target": a
// sequence or None, "constants": "dimensionless" or "free"}.
bool units_arg(PyObject* obj, SearchConfig& config) {
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyDict_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "units must be a dict or None, not %R", obj);
    return false;
  }
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (Py_ssize_t pos = 0; PyDict_Next(obj, &pos, &key, &value);) {
    if (!PyUnicode_Check(key) || (PyUnicode_CompareWithASCIIString(key, "inputs") != 0 &&
                                  PyUnicode_CompareWithASCIIString(key, "target") != 0 &&
                                  PyUnicode_CompareWithASCIIString(key, "constants") != 0)) {
      PyErr_Format(PyExc_ValueError, "units has an unknown key %R (it takes 'inputs', 'target', 'constants')", key);
      return false;
    }
  }
  UnitSettings units;
  PyObject* inputs = PyDict_GetItemString(obj, "inputs");
  if (inputs == nullptr) {
    PyErr_SetString(PyExc_ValueError, "units needs 'inputs': one exponent sequence per column of X");
    return false;
  }
  Ref columns(PySequence_Fast(inputs, ""));
  if (!columns) {
    PyErr_Format(PyExc_TypeError, "units['inputs'] must be a sequence, not %R", inputs);
    return false;
  }
  for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(columns.get()); ++j) {
    if (!exponents_arg(PySequence_Fast_GET_ITEM(columns.get(), j),
                       "units['inputs'][" + std::to_string(j) + "]", units.inputs.emplace_back())) {
      return false;
    }
  }
  PyObject* target = PyDict_GetItemString(obj, "target");
  if (target != nullptr && target != Py_None && !exponents_arg(target, "units['target']", units.target.emplace())) {
    return false;
  }
  if (PyObject* constants = PyDict_GetItemString(obj, "constants"); constants != nullptr) {
    const auto i = choice_arg(constants, "units['constants']", {"dimensionless", "free"});
    if (!i) return false;
    units.constants = *i == 0 ? ConstantUnits::Dimensionless : ConstantUnits::Free;
  }
  config.units = std::move(units);
  return true;
}

// checkpoint (a path or None), resume, warm_start, resume_state (a state
// an earlier search returned, or None), keep_state and note (bytes): the
// search's CheckpointSettings, or none when it has no checkpoint, keeps no
// state and continues none.
bool checkpoint_args(PyObject* const* a, SearchConfig& config, SearchControl& control) {
  PyObject* path = a[0];
  CheckpointSettings settings;
  if (path != nullptr && path != Py_None) {
    PyObject* converted = nullptr;
    if (PyUnicode_FSConverter(path, &converted) == 0) return false;
    const Ref fs_path(converted);
    settings.path.assign(PyBytes_AS_STRING(fs_path.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(fs_path.get())));
    if (settings.path.empty()) {
      PyErr_SetString(PyExc_ValueError, "checkpoint must be a non-empty path or None");
      return false;
    }
  }
  if (a[1] != nullptr) {
    const auto i = choice_arg(a[1], "resume", {"auto", "never", "always"});
    if (!i) return false;
    settings.resume = *i == 0 ? ResumePolicy::Auto : *i == 1 ? ResumePolicy::Never : ResumePolicy::Always;
  }
  const auto truth = [](PyObject* obj, bool& out) {
    if (obj == nullptr) return true;
    const int v = PyObject_IsTrue(obj);
    if (v < 0) return false;
    out = v != 0;
    return true;
  };
  if (!truth(a[2], settings.warm_start) || !truth(a[4], settings.keep_state)) return false;
  if (a[3] != nullptr && a[3] != Py_None) {
    if (PyCapsule_IsValid(a[3], kKeptSearchCapsule) == 0) {
      PyErr_Format(PyExc_TypeError, "resume_state must be the 'state' an earlier search returned, not %.100s",
                   Py_TYPE(a[3])->tp_name);
      return false;
    }
    settings.resume_state = *static_cast<KeptPtr*>(PyCapsule_GetPointer(a[3], kKeptSearchCapsule));
  }
  if (a[5] != nullptr && a[5] != Py_None) {
    Bytes note;
    if (!note.open(a[5], "note")) return false;
    settings.note = std::string(note.view());
  }
  // A search that can be continued to a larger limit also offers the
  // rescalings up to the largest one beyond its own limit.
  if (settings.warm_start) config.scaling_headroom = scaled_extra_tokens(ScaledKind::Affine);
  if (settings.path.empty() && settings.resume_state == nullptr && !settings.keep_state) {
    if (settings.resume == ResumePolicy::Always) {
      PyErr_SetString(PyExc_ValueError, "resume='always' needs a checkpoint or a stored search state to resume");
      return false;
    }
    return true;
  }
  control.checkpoint = std::move(settings);
  return true;
}

}  // namespace

bool refine_arg(PyObject* obj, RefinePolicy& policy) {
  if (obj == nullptr) return true;
  const auto i = choice_arg(obj, "refine", {"diagonal", "coupled"});
  if (!i) return false;
  policy = *i == 0 ? RefinePolicy{} : kCoupledRefine;
  return true;
}

bool deadline_arg(PyObject* obj, SearchControl& control) {
  if (obj == nullptr || obj == Py_None) return true;
  const auto seconds = py::real_arg(obj, "time_limit");
  if (!seconds) return false;
  if (std::isnan(*seconds) || *seconds < 0.0) {
    PyErr_Format(PyExc_ValueError, "time_limit must be a non-negative number of seconds or None, not %R", obj);
    return false;
  }
  // Beyond a century the clock arithmetic could overflow; that is no limit.
  if (*seconds < 3.2e9) {
    control.deadline = SearchControl::Clock::now() +
                       std::chrono::duration_cast<SearchControl::Clock::duration>(std::chrono::duration<double>(*seconds));
  }
  return true;
}

bool threads_arg(PyObject* obj, std::size_t& threads) {
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyLong_Check(obj) || PyBool_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "threads must be a positive integer or None, not %R", obj);
    return false;
  }
  const long long n = PyLong_AsLongLong(obj);
  if (n == -1 && PyErr_Occurred()) return false;
  if (n < 1) {
    PyErr_Format(PyExc_ValueError, "threads must be a positive integer or None, not %lld", n);
    return false;
  }
  threads = static_cast<std::size_t>(n);
  return true;
}

bool config_from_args(const SettingArgs& a, SearchConfig& config) {
  if (a.max_complexity != nullptr) {
    const auto v = py::index_arg(a.max_complexity, "max_complexity");
    if (!v) return false;
    config.max_complexity = *v;
  }
  if (a.beam_width != nullptr) {
    const auto v = py::index_arg(a.beam_width, "beam_width");
    if (!v) return false;
    config.beam_width = *v;
  }
  const std::pair<PyObject*, double*> reals[] = {
      {a.complexity_penalty, &config.complexity_penalty}, {a.alpha, &config.alpha}, {a.l1_ratio, &config.l1_ratio}};
  const char* real_names[] = {"complexity_penalty", "alpha", "l1_ratio"};
  for (std::size_t i = 0; i < 3; ++i) {
    if (reals[i].first == nullptr) continue;
    const auto v = py::real_arg(reals[i].first, real_names[i]);
    if (!v) return false;
    *reals[i].second = *v;
  }
  if (a.exhaustive != nullptr) {
    const int exhaustive = PyObject_IsTrue(a.exhaustive);
    if (exhaustive < 0) return false;
    config.exhaustive = exhaustive != 0;
  }
  if (a.output_scaling != nullptr) {
    const int scaling = PyObject_IsTrue(a.output_scaling);
    if (scaling < 0) return false;
    config.output_scaling = scaling != 0;
  }
  return options_arg(a.ranking, a.constants, config) && operators_arg(a.operators, config);
}

namespace {

// sample_weight as the Dataset invariant wants it: one finite weight >= 0
// per row, scaled by rows / sum (exact for weights of one: they stay 1).
bool weights_arg(PyObject* obj, std::size_t rows, std::vector<double>& out) {
  auto w = float_array(obj, "sample_weight", 1);
  if (!w) return false;
  if (w->rows != rows) {
    PyErr_Format(PyExc_ValueError, "sample_weight has %zu entries, but X has %zu rows", w->rows, rows);
    return false;
  }
  out = w->vector();
  double sum = 0.0;
  for (std::size_t i = 0; i < rows; ++i) {
    if (!std::isfinite(out[i]) || out[i] < 0.0) {
      PyErr_Format(PyExc_ValueError, "sample_weight must be finite and >= 0, got %R at row %zu",
                   Ref(PyFloat_FromDouble(out[i])).get(), i);
      return false;
    }
    sum += out[i];
  }
  if (!(sum > 0.0) || !std::isfinite(sum)) {
    PyErr_SetString(PyExc_ValueError, "sample_weight must have a positive, finite sum (not all weights 0)");
    return false;
  }
  const double scale = static_cast<double>(rows) / sum;
  for (double& x : out) x *= scale;
  return true;
}

}  // namespace

bool samples_from_args(PyObject* x_obj, PyObject* y_obj, Dataset& data, PyObject* weights_obj) {
  const auto nonfinite = [](const char* name, std::size_t row) {
    PyErr_Format(PyExc_ValueError, "%s contains NaN or infinity (at row %zu)", name, row);
    return false;
  };
  auto x = float_array(x_obj, "X", 2);
  if (!x) return false;
  Dataset inputs = x->dataset();
  if (const auto row = first_nonfinite_row(inputs)) return nonfinite("X", *row);
  auto y = float_array(y_obj, "y", 1);
  if (!y) return false;
  std::vector<double> targets = y->vector();
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (!std::isfinite(targets[i])) return nonfinite("y", i);
  }
  if (x->rows != y->rows || x->rows == 0) {
    PyErr_Format(PyExc_ValueError, "X and y must have the same number of rows, at least one (got %zu and %zu)",
                 x->rows, y->rows);
    return false;
  }
  if (x->cols > kMaxVariables) {
    PyErr_Format(PyExc_ValueError, "X has %zu columns; at most %zu are supported", x->cols, kMaxVariables);
    return false;
  }
  std::vector<double> weights;
  if (weights_obj != nullptr && weights_obj != Py_None && !weights_arg(weights_obj, x->rows, weights)) return false;
  data = std::move(inputs).with_targets(std::move(targets)).with_weights(std::move(weights));
  return true;
}

Ref run_result(const SearchRun& run) { return run_dict(run); }

PyObject* search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static const py::ArgSpec spec{"search",
                                  {"X", "y", "max_complexity", "complexity_penalty", "beam_width", "alpha",
                                   "l1_ratio", "exhaustive", "time_limit", "threads", "output", "callback", "ranking",
                                   "constants", "dispatch", "operators", "units", "output_scaling",
                                   "sample_weight", "screen_factor", "refine", "checkpoint", "resume",
                                   "warm_start", "resume_state", "keep_state", "note"},
                                  2};
    PyObject* a[27];
    if (!py::bind_fastcall(spec, args, nargs, kwnames, a)) return nullptr;

    SearchConfig config;
    if (!config_from_args({a[2], a[3], a[4], a[5], a[6], a[7], a[12], a[13], a[15], a[17]}, config) ||
        !units_arg(a[16], config) || !refine_arg(a[20], config.refine)) {
      return nullptr;
    }
    if (a[19] != nullptr) {
      const auto factor = py::real_arg(a[19], "screen_factor");
      if (!factor) return nullptr;
      if (!(*factor >= 0.0)) {
        PyErr_SetString(PyExc_ValueError, "screen_factor must be a number >= 0");
        return nullptr;
      }
      config.screen_factor = *factor;
    }
    SearchControl control;
    if (!deadline_arg(a[8], control) || !threads_arg(a[9], control.threads) || !output_arg(a[10], control) ||
        !checkpoint_args(a + 21, config, control)) {
      return nullptr;
    }
    PyObject* callback = a[11] != nullptr && a[11] != Py_None ? a[11] : nullptr;
    if (callback != nullptr && !PyCallable_Check(callback)) {
      PyErr_Format(PyExc_TypeError, "callback must be callable or None, not %R", callback);
      return nullptr;
    }

    Dataset data;
    if (!samples_from_args(a[0], a[1], data, a[18])) return nullptr;

    Watch watch(callback);
    std::unique_ptr<LevelDispatcher> dispatcher;
    if (a[14] != nullptr && a[14] != Py_None) {
      dispatcher = python_dispatcher(a[14], watch);
      if (!dispatcher) return nullptr;
      control.dispatcher = dispatcher.get();
    }
    const auto new_event = [](const char* format, auto... values) { return Ref(Py_BuildValue(format, values...)); };
    // Without a callback only the signal check takes the lock back.
    if (callback != nullptr) control.on_level = [&](const LevelEvent& e) {
      Held held(watch);
      Ref front(PyList_New(0));
      if (!front) return watch.call(Ref());
      for (const LevelEvent::FrontItem& item : e.front) {
        Ref tokens = tokens_to_list(item.expression, *engine_state().registry);
        Ref entry = tokens ? new_event("{s:O,s:d,s:n}", "tokens", tokens.get(), "error", item.error, "complexity",
                                       static_cast<Py_ssize_t>(item.expression.complexity))
                           : Ref();
        if (!entry || PyList_Append(front.get(), entry.get()) < 0) return watch.call(Ref());
      }
      return watch.call(new_event("{s:s,s:n,s:n,s:n,s:d,s:d,s:d,s:d,s:d,s:O}", "kind", "level", "level",
                                  static_cast<Py_ssize_t>(e.level), "candidates",
                                  static_cast<Py_ssize_t>(e.candidates), "retained",
                                  static_cast<Py_ssize_t>(e.retained), "elapsed", e.elapsed_seconds,
                                  "best_error", e.best_error, "generate_seconds", e.times.generate_seconds,
                                  "score_seconds", e.times.score_seconds, "close_seconds",
                                  e.times.close_seconds, "front", front.get()));
    };
    if (callback != nullptr) control.on_progress = [&](const ProgressTick& t) {
      Held held(watch);
      return watch.call(new_event("{s:s,s:n,s:n,s:n}", "kind", "progress", "level",
                                  static_cast<Py_ssize_t>(t.level), "done", static_cast<Py_ssize_t>(t.done),
                                  "total", static_cast<Py_ssize_t>(t.total)));
    };
    control.cancel_requested = [&] {
      Held held(watch);
      return watch.signalled();
    };

    SearchRun run;
    {
      Released released(watch);
      run = run_search(std::move(data), config, control);
    }
    // An exception of a callback or the dispatcher comes first: it may be
    // why the dispatcher's summaries are refused.
    if (watch.failed()) {
      Ref result = run_dict(run);
      return watch.reraise(result.get());
    }
    if (const auto* error = std::get_if<SearchError>(&run.results);
        error != nullptr && error->kind == SearchError::Kind::InvalidInput) {
      return raise_error(*error);
    }
    return run_dict(run).release();
  });
}

}  // namespace vok::learn
