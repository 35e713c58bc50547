// The vok_sr module: its initialisation, shared state and engine error mapping.
#include "bind/py_common.hpp"

#include "module_state.hpp"

namespace vok::py {

ModuleState& module_state() {
  static ModuleState state;
  return state;
}

MappedError map_error(SearchError error) {
  ModuleState& s = module_state();
  switch (error.kind) {
    case SearchError::Kind::NoFormulaFound:
      return {s.complexity_error, error.text()};
    case SearchError::Kind::InvalidInput:
      break;
  }
  return {s.dimension_error, std::move(error.message)};
}

PyObject* raise_search_error(SearchError error) {
  MappedError mapped = map_error(std::move(error));
  Ref message(PyUnicode_DecodeUTF8(mapped.message.data(), static_cast<Py_ssize_t>(mapped.message.size()),
                                   "replace"));
  if (message) PyErr_SetObject(mapped.type, message.get());
  return nullptr;
}

PyTypeObject* create_type_with_methods(PyType_Spec* spec, PyMethodDef* methods) {
  Ref type(PyType_FromSpec(spec));
  if (!type) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  for (PyMethodDef* m = methods; m->ml_name != nullptr; ++m) {
    Ref descr(PyDescr_NewMethod(tp, m));
    if (!descr || PyDict_SetItemString(tp->tp_dict, m->ml_name, descr.get()) < 0) return nullptr;
  }
  PyType_Modified(tp);
  return reinterpret_cast<PyTypeObject*>(type.release());
}

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "vok_sr",
    "The main Python module entry point.",
    // 0, not -1: a repeated import then calls PyInit_vok_sr again (instead
    // of silently copying the first module's dict), and gets a clear error.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends `name` to __all__ (created empty if missing), then sets the
// attribute. Steals nothing; `value` stays owned by the module state.
bool add_export(PyObject* module, const char* name, PyObject* value) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject* all = PyDict_GetItemString(dict, "__all__");
  if (all == nullptr) {
    Ref fresh(PyList_New(0));
    if (!fresh || PyDict_SetItemString(dict, "__all__", fresh.get()) < 0) return false;
    all = fresh.get();  // the dict keeps it alive
  }
  Ref text(PyUnicode_FromString(name));
  if (!text || PyList_Append(all, text.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, value) == 0;
}

PyObject* create_exception(const char* qualified_name) {
  return PyErr_NewException(qualified_name, nullptr, nullptr);
}

PyObject* init_module() {
  ModuleState& s = module_state();
  if (s.module != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "vok_sr can be initialised only once per process; it is already loaded");
    return nullptr;
  }
  Ref module(PyModule_Create(&g_module_def));
  if (!module) return nullptr;

  if (s.searcher_type == nullptr && (s.searcher_type = create_searcher_type()) == nullptr) return nullptr;
  if (!add_export(module.get(), "Searcher", reinterpret_cast<PyObject*>(s.searcher_type))) return nullptr;
  if (s.result_type == nullptr && (s.result_type = create_result_type()) == nullptr) return nullptr;
  if (!add_export(module.get(), "SearchResult", reinterpret_cast<PyObject*>(s.result_type))) return nullptr;

  struct ExceptionSlot {
    PyObject** slot;
    const char* qualified;
    const char* name;
  };
  const ExceptionSlot exceptions[] = {
      {&s.dimension_error, "vok_sr.VokDimensionError", "VokDimensionError"},
      {&s.complexity_error, "vok_sr.VokComplexityError", "VokComplexityError"},
      {&s.runtime_error, "vok_sr.VokRuntimeError", "VokRuntimeError"},
  };
  for (const auto& e : exceptions) {
    if (*e.slot == nullptr && (*e.slot = create_exception(e.qualified)) == nullptr) return nullptr;
    if (!add_export(module.get(), e.name, *e.slot)) return nullptr;
  }

  s.module = module.release();  // kept for the life of the process
  return Py_NewRef(s.module);
}

}  // namespace
}  // namespace vok::py

PyMODINIT_FUNC PyInit_vok_sr() {
  return vok::py::guarded([] { return vok::py::init_module(); });
}
