// _engine.LevelScorer: one dispatched level's scoring rebuilt from its payload bytes, on a worker.
#include "engine_module.hpp"

#include <memory>
#include <string>
#include <variant>

#include "bind/args.hpp"
#include "lib/engine.hpp"

namespace vok::learn {

PyObject* raise_error(const SearchError& e) {
  const std::string message = e.text();
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

Ref to_bytes(const std::string& s) {
  return Ref(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

namespace {

PyTypeObject* g_scorer_type = nullptr;

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

using py::as_cfunction;

PyMethodDef g_scorer_methods[] = {
    {"score", as_cfunction(scorer_score), METH_FASTCALL | METH_KEYWORDS,
     "score($self, /, recipes, first)\n--\n\nScores the candidates whose recipes (DispatchedLevel.recipes) "
     "start at candidate `first`; the summary bytes a dispatcher returns for that range. Thread-safe."},
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
                                  "One level's scoring rebuilt from DispatchedLevel.payload() bytes, on a worker: "
                                  "build it once per level, then score ranges of its candidates. ValueError for "
                                  "bytes that are not a payload.")},
    {0, nullptr},
};

PyType_Spec g_scorer_spec = {"vok_learn._engine.LevelScorer", sizeof(ScorerObject), 0, Py_TPFLAGS_DEFAULT,
                             g_scorer_slots};

}  // namespace

bool add_scorer_type(PyObject* module) { return add_type(module, g_scorer_spec, "LevelScorer", g_scorer_type); }

}  // namespace vok::learn
