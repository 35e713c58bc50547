// _engine.LevelStepper and _engine.LevelScorer: a search whose levels the caller has scored elsewhere (a cluster), in bytes.
#include "engine_module.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bind/args.hpp"
#include "lib/engine.hpp"

namespace vok::learn {
namespace {

// A bytes-like argument, viewed in place for as long as it lives.
class Bytes {
 public:
  Bytes() = default;
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;
  ~Bytes() {
    if (held_) PyBuffer_Release(&view_);
  }
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

Ref to_bytes(const std::string& s) {
  return Ref(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

PyObject* raise_error(const SearchError& e) {
  const std::string message = e.text();
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

PyTypeObject* g_stepper_type = nullptr;
PyTypeObject* g_scorer_type = nullptr;

// --- LevelStepper ------------------------------------------------------------

struct StepperObject {
  PyObject_HEAD
  SearchStepper* stepper;
  bool busy;      // a call runs with the lock released: the stepper is not shared
  bool finished;  // result() was taken
};

// Runs `body` on the stepper with the lock released, refusing a second
// thread while one is inside (the stepper is one thread's at a time).
template <class Body>
PyObject* with_stepper(PyObject* obj, Body&& body) {
  auto* self = reinterpret_cast<StepperObject*>(obj);
  if (self->busy) {
    PyErr_SetString(PyExc_RuntimeError, "the LevelStepper is in use by another thread");
    return nullptr;
  }
  if (self->finished) {
    PyErr_SetString(PyExc_RuntimeError, "the search has ended: result() was taken");
    return nullptr;
  }
  self->busy = true;
  PyObject* r = py::guarded([&]() -> PyObject* { return body(*self->stepper); });
  self->busy = false;
  return r;
}

PyObject* stepper_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* {
    static const py::ArgSpec spec{"LevelStepper",
                                  {"X", "y", "max_complexity", "complexity_penalty", "beam_width", "alpha",
                                   "l1_ratio", "exhaustive", "threads", "ranking", "constants"},
                                  2};
    PyObject* a[11];
    if (!py::bind_tuple(spec, args, kwargs, a)) return nullptr;
    SearchConfig config;
    if (!config_from_args({a[2], a[3], a[4], a[5], a[6], a[7], a[9], a[10]}, config)) return nullptr;
    std::size_t threads = 0;
    if (!threads_arg(a[8], threads)) return nullptr;
    Dataset data;
    if (!samples_from_args(a[0], a[1], data)) return nullptr;
    Outcome<std::unique_ptr<SearchStepper>> started = SearchError::invalid_input("");
    {
      Unlocked unlocked;
      started = SearchStepper::start(std::move(data), config, threads);
    }
    if (auto* error = std::get_if<SearchError>(&started)) return raise_error(*error);
    auto* self = reinterpret_cast<StepperObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->stepper = std::get<std::unique_ptr<SearchStepper>>(started).release();
    self->busy = false;
    self->finished = false;
    return reinterpret_cast<PyObject*>(self);
  });
}

void stepper_dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<StepperObject*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  delete self->stepper;
  type->tp_free(obj);
  Py_DECREF(type);
}

PyObject* stepper_next_level(PyObject* obj, PyObject*) {
  return with_stepper(obj, [](SearchStepper& st) -> PyObject* {
    if (st.open_level() != 0) {
      PyErr_Format(PyExc_RuntimeError, "level %zu is open: absorb its summaries first", st.open_level());
      return nullptr;
    }
    std::optional<std::size_t> k;
    {
      Unlocked unlocked;
      k = st.open_next();
    }
    if (!k) Py_RETURN_NONE;
    return PyLong_FromSize_t(*k);
  });
}

// The open level's range [first, first + count) from the arguments.
bool range_args(const SearchStepper& st, const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::size_t& first, std::size_t& count) {
  const py::ArgSpec spec{name, {"first", "count"}, 2};
  PyObject* a[2];
  if (!py::bind_fastcall(spec, args, nargs, kwnames, a)) return false;
  const auto f = py::index_arg(a[0], "first");
  if (!f) return false;
  const auto n = py::index_arg(a[1], "count");
  if (!n) return false;
  if (st.open_level() == 0) {
    PyErr_SetString(PyExc_RuntimeError, "no level is open: call next_level() first");
    return false;
  }
  if (*f > st.candidate_count() || *n > st.candidate_count() - *f) {
    PyErr_Format(PyExc_ValueError, "candidates [%zu, %zu + %zu) lie outside the open level's %zu", *f, *f, *n,
                 st.candidate_count());
    return false;
  }
  first = *f;
  count = *n;
  return true;
}

PyObject* stepper_recipes(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_stepper(obj, [&](SearchStepper& st) -> PyObject* {
    std::size_t first = 0, count = 0;
    if (!range_args(st, "recipes", args, nargs, kwnames, first, count)) return nullptr;
    return to_bytes(st.recipes(first, count)).release();
  });
}

PyObject* stepper_score(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_stepper(obj, [&](SearchStepper& st) -> PyObject* {
    std::size_t first = 0, count = 0;
    if (!range_args(st, "score", args, nargs, kwnames, first, count)) return nullptr;
    std::string summary;
    {
      Unlocked unlocked;
      summary = st.score(first, count);
    }
    return to_bytes(summary).release();
  });
}

PyObject* stepper_payload(PyObject* obj, PyObject*) {
  return with_stepper(obj, [](SearchStepper& st) -> PyObject* {
    if (st.open_level() == 0) {
      PyErr_SetString(PyExc_RuntimeError, "no level is open: call next_level() first");
      return nullptr;
    }
    std::string payload;
    {
      Unlocked unlocked;
      payload = st.payload();
    }
    return to_bytes(payload).release();
  });
}

PyObject* stepper_absorb(PyObject* obj, PyObject* parts) {
  return with_stepper(obj, [&](SearchStepper& st) -> PyObject* {
    if (st.open_level() == 0) {
      PyErr_SetString(PyExc_RuntimeError, "no level is open: call next_level() first");
      return nullptr;
    }
    Ref seq(PySequence_Fast(parts, "absorb() takes a list of summaries (bytes)"));
    if (!seq) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<Bytes> buffers(static_cast<std::size_t>(n));
    std::vector<std::string_view> views;
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!buffers[static_cast<std::size_t>(i)].open(PySequence_Fast_GET_ITEM(seq.get(), i), "a summary")) {
        return nullptr;
      }
      views.push_back(buffers[static_cast<std::size_t>(i)].view());
    }
    Outcome<SearchStepper::LevelInfo> info = SearchError::invalid_input("");
    {
      Unlocked unlocked;
      info = st.absorb(views);
    }
    if (auto* error = std::get_if<SearchError>(&info)) return raise_error(*error);
    const auto& i = std::get<SearchStepper::LevelInfo>(info);
    return Py_BuildValue("{s:n,s:n,s:n,s:d}", "level", static_cast<Py_ssize_t>(i.level), "candidates",
                         static_cast<Py_ssize_t>(i.candidates), "retained", static_cast<Py_ssize_t>(i.retained),
                         "best_error", i.best_error);
  });
}

PyObject* stepper_stop(PyObject* obj, PyObject* reason) {
  return with_stepper(obj, [&](SearchStepper& st) -> PyObject* {
    StopReason r = StopReason::Cancelled;
    if (PyUnicode_Check(reason) && PyUnicode_CompareWithASCIIString(reason, "time_limit") == 0) {
      r = StopReason::TimeLimit;
    } else if (!PyUnicode_Check(reason) || PyUnicode_CompareWithASCIIString(reason, "cancelled") != 0) {
      PyErr_Format(PyExc_ValueError, "reason must be 'time_limit' or 'cancelled', not %R", reason);
      return nullptr;
    }
    st.stop(r);
    Py_RETURN_NONE;
  });
}

PyObject* stepper_result(PyObject* obj, PyObject*) {
  auto* self = reinterpret_cast<StepperObject*>(obj);
  PyObject* r = with_stepper(obj, [](SearchStepper& st) -> PyObject* {
    SearchRun run;
    {
      Unlocked unlocked;
      run = st.finish();
    }
    return run_result(run).release();
  });
  if (r != nullptr) self->finished = true;
  return r;
}

PyObject* stepper_candidate_count(PyObject* obj, void*) {
  auto* self = reinterpret_cast<StepperObject*>(obj);
  return PyLong_FromSize_t(self->finished || self->busy ? 0 : self->stepper->candidate_count());
}

PyObject* stepper_level(PyObject* obj, void*) {
  auto* self = reinterpret_cast<StepperObject*>(obj);
  return PyLong_FromSize_t(self->finished || self->busy ? 0 : self->stepper->open_level());
}

using py::as_cfunction;

PyMethodDef g_stepper_methods[] = {
    {"next_level", as_cfunction(stepper_next_level), METH_NOARGS,
     "next_level($self, /)\n--\n\nGenerates and admits the next level's candidates here; its number, or None "
     "when the search has ended. RuntimeError while a level is open."},
    {"payload", as_cfunction(stepper_payload), METH_NOARGS,
     "payload($self, /)\n--\n\nWhat a worker needs to score the open level (samples, targets, settings, the "
     "retained levels), as bytes for LevelScorer."},
    {"recipes", as_cfunction(stepper_recipes), METH_FASTCALL | METH_KEYWORDS,
     "recipes($self, /, first, count)\n--\n\nThe compact recipes of candidates [first, first + count) of the "
     "open level, as bytes for LevelScorer.score."},
    {"score", as_cfunction(stepper_score), METH_FASTCALL | METH_KEYWORDS,
     "score($self, /, first, count)\n--\n\nScores candidates [first, first + count) of the open level here; "
     "the summary bytes a LevelScorer returns for the same range."},
    {"absorb", as_cfunction(stepper_absorb), METH_O,
     "absorb($self, parts, /)\n--\n\nCloses the open level from the summaries of ranges that tile its "
     "candidates (in any order). Returns {'level', 'candidates', 'retained', 'best_error'}; ValueError, the "
     "level still open, for summaries that do not tile it, belong to another search or level, or are damaged."},
    {"stop", as_cfunction(stepper_stop), METH_O,
     "stop($self, reason, /)\n--\n\nEnds the search after the levels stored so far (an open level is "
     "dropped); reason 'time_limit' or 'cancelled' becomes the result's stop_reason."},
    {"result", as_cfunction(stepper_result), METH_NOARGS,
     "result($self, /)\n--\n\nThe search's results, as search() returns them; ends the stepper."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_stepper_getset[] = {
    {"candidate_count", stepper_candidate_count, nullptr, "The open level's admitted candidates (0: none open).",
     nullptr},
    {"level", stepper_level, nullptr, "The open level's number (0: none open).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_stepper_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stepper_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stepper_dealloc)},
    {Py_tp_methods, g_stepper_methods},
    {Py_tp_getset, g_stepper_getset},
    {Py_tp_doc, const_cast<char*>(
                    "LevelStepper(X, y, max_complexity=10, complexity_penalty=0.1, beam_width=1000, alpha=0.0, "
                    "l1_ratio=0.5, exhaustive=False, threads=None, ranking='raw', constants='fitted')\n--\n\n"
                    "A silent search stepped one level at a time: next_level() opens a level, its candidate "
                    "ranges are scored anywhere (score(), or a LevelScorer built from payload() in another "
                    "process) and absorb() merges their summaries into exactly the local outcome. The loop "
                    "finds exactly what search() finds with the same settings. Not picklable; one thread at "
                    "a time.")},
    {0, nullptr},
};

PyType_Spec g_stepper_spec = {"vok_learn._engine.LevelStepper", sizeof(StepperObject), 0, Py_TPFLAGS_DEFAULT,
                              g_stepper_slots};

// --- LevelScorer -------------------------------------------------------------

struct ScorerObject {
  PyObject_HEAD
  LevelWork* work;
  std::size_t threads;
};

PyObject* scorer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* {
    static const py::ArgSpec spec{"LevelScorer", {"payload", "threads"}, 1};
    PyObject* a[2];
    if (!py::bind_tuple(spec, args, kwargs, a)) return nullptr;
    Bytes payload;
    if (!payload.open(a[0], "payload")) return nullptr;
    std::size_t threads = 0;
    if (a[1] != nullptr && a[1] != Py_None) {
      const auto n = py::index_arg(a[1], "threads");
      if (!n) return nullptr;
      threads = *n;
    }
    Outcome<std::unique_ptr<LevelWork>> decoded = SearchError::invalid_input("");
    {
      Unlocked unlocked;
      const ThreadLimit limit(threads);
      decoded = LevelWork::decode(payload.view());
    }
    if (auto* error = std::get_if<SearchError>(&decoded)) return raise_error(*error);
    auto* self = reinterpret_cast<ScorerObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->work = std::get<std::unique_ptr<LevelWork>>(decoded).release();
    self->threads = threads;
    return reinterpret_cast<PyObject*>(self);
  });
}

void scorer_dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<ScorerObject*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  delete self->work;
  type->tp_free(obj);
  Py_DECREF(type);
}

PyObject* scorer_score(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    auto* self = reinterpret_cast<ScorerObject*>(obj);
    static const py::ArgSpec spec{"score", {"recipes", "first"}, 2};
    PyObject* a[2];
    if (!py::bind_fastcall(spec, args, nargs, kwnames, a)) return nullptr;
    Bytes recipes;
    if (!recipes.open(a[0], "recipes")) return nullptr;
    const auto first = py::index_arg(a[1], "first");
    if (!first) return nullptr;
    // The work is immutable: several threads may score ranges at once.
    Outcome<std::string> summary = SearchError::invalid_input("");
    {
      Unlocked unlocked;
      const ThreadLimit limit(self->threads);
      summary = self->work->score(recipes.view(), *first);
    }
    if (auto* error = std::get_if<SearchError>(&summary)) return raise_error(*error);
    return to_bytes(std::get<std::string>(summary)).release();
  });
}

PyObject* scorer_level(PyObject* obj, void*) {
  return PyLong_FromSize_t(reinterpret_cast<ScorerObject*>(obj)->work->level());
}

PyMethodDef g_scorer_methods[] = {
    {"score", as_cfunction(scorer_score), METH_FASTCALL | METH_KEYWORDS,
     "score($self, /, recipes, first)\n--\n\nScores the candidates whose recipes (LevelStepper.recipes) start "
     "at candidate `first`; the summary bytes for LevelStepper.absorb. Thread-safe."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_scorer_getset[] = {
    {"level", scorer_level, nullptr, "The number of the level this scorer scores.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_scorer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(scorer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scorer_dealloc)},
    {Py_tp_methods, g_scorer_methods},
    {Py_tp_getset, g_scorer_getset},
    {Py_tp_doc, const_cast<char*>("LevelScorer(payload, threads=None)\n--\n\n"
                                  "One level's scoring rebuilt from LevelStepper.payload() bytes, on a worker: "
                                  "build it once per level, then score ranges of its candidates. ValueError for "
                                  "bytes that are not a payload.")},
    {0, nullptr},
};

PyType_Spec g_scorer_spec = {"vok_learn._engine.LevelScorer", sizeof(ScorerObject), 0, Py_TPFLAGS_DEFAULT,
                             g_scorer_slots};

}  // namespace

bool add_stepper_types(PyObject* module) {
  if (g_stepper_type == nullptr) {
    g_stepper_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_stepper_spec));
    if (g_stepper_type == nullptr) return false;
  }
  if (g_scorer_type == nullptr) {
    g_scorer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_scorer_spec));
    if (g_scorer_type == nullptr) return false;
  }
  // PyModule_AddObjectRef leaves the type's own reference with the static.
  return PyModule_AddObjectRef(module, "LevelStepper", reinterpret_cast<PyObject*>(g_stepper_type)) == 0 &&
         PyModule_AddObjectRef(module, "LevelScorer", reinterpret_cast<PyObject*>(g_scorer_type)) == 0;
}

}  // namespace vok::learn
