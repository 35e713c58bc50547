// search(dispatch=...): a search whose larger levels a Python object has scored (on a cluster), and the
// _engine.DispatchedLevel handle it is given for each of them.
#include "engine_module.hpp"
#include "watch.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bind/args.hpp"
#include "lib/engine.hpp"

namespace vok::learn {
namespace {

PyTypeObject* g_level_type = nullptr;

struct LevelObject {
  PyObject_HEAD
  DispatchedLevel* level;  // null once the score_level call it was passed to has returned
  Watch* watch;
  unsigned long thread;    // the thread that runs the search
  bool busy;               // a method runs: they do not nest
};

// The level the handle stands for, or null with RuntimeError set when it
// is closed, used on another thread than the search's, or (unless
// `nested`) inside another of its methods.
DispatchedLevel* open_level(PyObject* obj, bool nested) {
  auto* self = reinterpret_cast<LevelObject*>(obj);
  if (self->level == nullptr) {
    PyErr_SetString(PyExc_RuntimeError,
                    "the level is closed: a DispatchedLevel is valid during the score_level call it was passed to");
    return nullptr;
  }
  if (PyThread_get_thread_ident() != self->thread) {
    PyErr_SetString(PyExc_RuntimeError, "a DispatchedLevel is used on the thread that runs its search only");
    return nullptr;
  }
  if (self->busy && !nested) {
    PyErr_SetString(PyExc_RuntimeError, "the DispatchedLevel is in use: its methods do not nest");
    return nullptr;
  }
  return self->level;
}

// Runs `body(level, watch)` on an open level, marked busy meanwhile.
template <class Body>
PyObject* with_level(PyObject* obj, Body&& body) {
  DispatchedLevel* level = open_level(obj, false);
  if (level == nullptr) return nullptr;
  auto* self = reinterpret_cast<LevelObject*>(obj);
  self->busy = true;
  PyObject* r = py::guarded([&]() -> PyObject* { return body(*level, *self->watch); });
  self->busy = false;
  return r;
}

void level_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  type->tp_free(obj);
  Py_DECREF(type);
}

// The level's range [first, first + count) from the arguments.
bool range_args(const DispatchedLevel& level, const char* name, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, std::size_t& first, std::size_t& count) {
  const py::ArgSpec spec{name, {"first", "count"}, 2};
  PyObject* a[2];
  if (!py::bind_fastcall(spec, args, nargs, kwnames, a)) return false;
  const auto f = py::index_arg(a[0], "first");
  if (!f) return false;
  const auto n = py::index_arg(a[1], "count");
  if (!n) return false;
  const std::size_t total = level.candidate_count();
  if (*f > total || *n > total - *f) {
    PyErr_Format(PyExc_ValueError, "candidates [%zu, %zu + %zu) lie outside the level's %zu", *f, *f, *n, total);
    return false;
  }
  first = *f;
  count = *n;
  return true;
}

// A new bytes object from what `make()` builds with the lock released.
template <class Make>
PyObject* bytes_unlocked(Watch& watch, Make&& make) {
  std::string bytes;
  {
    Released released(watch);
    bytes = make();
  }
  return to_bytes(bytes).release();
}

PyObject* level_payload(PyObject* obj, PyObject*) {
  return with_level(obj, [](DispatchedLevel& level, Watch& watch) -> PyObject* {
    return bytes_unlocked(watch, [&] { return level.payload(); });
  });
}

// The bytes `method` gives for the range the arguments name.
using RangeMethod = std::string (DispatchedLevel::*)(std::size_t, std::size_t) const;
PyObject* range_bytes(PyObject* obj, const char* name, RangeMethod method, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return with_level(obj, [&](DispatchedLevel& level, Watch& watch) -> PyObject* {
    std::size_t first = 0, count = 0;
    if (!range_args(level, name, args, nargs, kwnames, first, count)) return nullptr;
    return bytes_unlocked(watch, [&] { return (level.*method)(first, count); });
  });
}

PyObject* level_recipes(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return range_bytes(obj, "recipes", &DispatchedLevel::recipes, args, nargs, kwnames);
}

PyObject* level_score(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return range_bytes(obj, "score", &DispatchedLevel::score, args, nargs, kwnames);
}

PyObject* level_should_stop(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_level(obj, [&](DispatchedLevel& level, Watch& watch) -> PyObject* {
    static const py::ArgSpec spec{"should_stop", {"done"}, 0};
    PyObject* a[1];
    if (!py::bind_fastcall(spec, args, nargs, kwnames, a)) return nullptr;
    std::optional<std::size_t> done;
    if (a[0] != nullptr && a[0] != Py_None) {
      done = py::index_arg(a[0], "done");
      if (!done) return nullptr;
    }
    // The checks take the lock back for the callbacks and the signal check;
    // what they raise is the search's to re-raise, not this call's.
    bool stop = false;
    {
      Released released(watch);
      stop = level.should_stop(done);
    }
    return PyBool_FromLong(stop ? 1 : 0);
  });
}

PyObject* level_number(PyObject* obj, void*) {
  DispatchedLevel* level = open_level(obj, true);
  return level == nullptr ? nullptr : PyLong_FromSize_t(level->level());
}

PyObject* level_candidate_count(PyObject* obj, void*) {
  DispatchedLevel* level = open_level(obj, true);
  return level == nullptr ? nullptr : PyLong_FromSize_t(level->candidate_count());
}

using py::as_cfunction;

PyMethodDef g_level_methods[] = {
    {"payload", as_cfunction(level_payload), METH_NOARGS,
     "payload($self, /)\n--\n\nWhat a worker needs to score this level (samples, targets, settings, the "
     "retained levels), as bytes for LevelScorer."},
    {"recipes", as_cfunction(level_recipes), METH_FASTCALL | METH_KEYWORDS,
     "recipes($self, /, first, count)\n--\n\nThe compact recipes of candidates [first, first + count), as "
     "bytes for LevelScorer.score."},
    {"score", as_cfunction(level_score), METH_FASTCALL | METH_KEYWORDS,
     "score($self, /, first, count)\n--\n\nScores candidates [first, first + count) here, on the search's "
     "threads; the summary bytes a LevelScorer returns for the same range."},
    {"should_stop", as_cfunction(level_should_stop), METH_FASTCALL | METH_KEYWORDS,
     "should_stop($self, /, done=None)\n--\n\nThe search's stop checks (time limit, Ctrl-C), for a "
     "dispatcher to ask while its ranges are out; True: give the level up (return None). `done`, when "
     "given, is how many of the level's candidates are scored so far, reported first as a progress event. "
     "An exception of the checks (KeyboardInterrupt) is raised by search() when it returns."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_level_getset[] = {
    {"level", level_number, nullptr, "The level's number (its formulas' complexity).", nullptr},
    {"candidate_count", level_candidate_count, nullptr, "The level's admitted candidates.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_level_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(level_dealloc)},
    {Py_tp_methods, g_level_methods},
    {Py_tp_getset, g_level_getset},
    {Py_tp_doc, const_cast<char*>(
                    "A level of a running search, generated and admitted, passed to the dispatcher's "
                    "score_level(level): its candidates are scored in ranges, here (score()) or by a "
                    "LevelScorer built from payload() in another process (recipes()), and the summaries of "
                    "ranges that tile the level, in any order, make up exactly the level scored here. "
                    "Valid during that call only, on the thread that runs the search.")},
    {0, nullptr},
};

PyType_Spec g_level_spec = {"vok_learn._engine.DispatchedLevel", sizeof(LevelObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_level_slots};

// A LevelDispatcher over a Python object's score_level method.
class PythonDispatcher final : public LevelDispatcher {
 public:
  PythonDispatcher(std::size_t min_candidates, Ref score_level, Watch& watch)
      : LevelDispatcher(min_candidates), score_level_(std::move(score_level)), watch_(watch) {}

  std::optional<std::vector<std::string>> score_level(DispatchedLevel& level) override {
    Held held(watch_);
    std::optional<std::vector<std::string>> summaries = call(level);
    if (PyErr_Occurred() != nullptr) watch_.capture();
    return summaries;
  }

 private:
  // The summaries, or nullopt with an exception set, or nullopt without
  // one when the dispatcher returned None (the level given up).
  std::optional<std::vector<std::string>> call(DispatchedLevel& level) {
    auto* handle = reinterpret_cast<LevelObject*>(g_level_type->tp_alloc(g_level_type, 0));
    if (handle == nullptr) return std::nullopt;
    Ref owner(reinterpret_cast<PyObject*>(handle));
    handle->level = &level;
    handle->watch = &watch_;
    handle->thread = PyThread_get_thread_ident();
    handle->busy = false;
    Ref result(PyObject_CallOneArg(score_level_.get(), owner.get()));
    handle->level = nullptr;  // also when the dispatcher kept the handle
    if (!result || result.get() == Py_None) return std::nullopt;
    Ref items(PySequence_Fast(result.get(), "score_level() must return a list of summaries (bytes) or None"));
    if (!items) return std::nullopt;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    std::vector<std::string> summaries;
    summaries.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      Bytes summary;
      if (!summary.open(PySequence_Fast_GET_ITEM(items.get(), i), "a summary")) return std::nullopt;
      summaries.emplace_back(summary.view());
    }
    return summaries;
  }

  Ref score_level_;
  Watch& watch_;
};

}  // namespace

std::unique_ptr<LevelDispatcher> python_dispatcher(PyObject* obj, Watch& watch) {
  Ref min_candidates(PyObject_GetAttrString(obj, "min_candidates"));
  Ref score_level(PyObject_GetAttrString(obj, "score_level"));
  if (!min_candidates || !score_level || !PyCallable_Check(score_level.get())) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "dispatch must be None or an object with an integer min_candidates and a method "
                 "score_level(level), not %R",
                 obj);
    return nullptr;
  }
  const auto min = py::index_arg(min_candidates.get(), "dispatch.min_candidates");
  if (!min) return nullptr;
  return std::make_unique<PythonDispatcher>(*min, std::move(score_level), watch);
}

bool add_level_type(PyObject* module) { return add_type(module, g_level_spec, "DispatchedLevel", g_level_type); }

}  // namespace vok::learn
