#pragma once

// What the vok_sr module creates at import, and engine error mapping.

#include "bind/py_common.hpp"

#include <string>

#include "core/search_error.hpp"

namespace vok::py {

// Everything the module creates at import, made once per process and kept
// until it ends (the module supports a single initialisation).
struct ModuleState {
  PyObject* module = nullptr;
  PyTypeObject* searcher_type = nullptr;
  PyTypeObject* result_type = nullptr;
  PyObject* dimension_error = nullptr;   // VokDimensionError
  PyObject* complexity_error = nullptr;  // VokComplexityError
  PyObject* runtime_error = nullptr;     // VokRuntimeError
};

ModuleState& module_state();

// The Python exception for an engine error: its class and message. The
// exception object itself is made when raised.
struct MappedError {
  PyObject* type;  // borrowed from the module state
  std::string message;
};

[[nodiscard]] MappedError map_error(SearchError error);
// Sets the mapped exception as the current one; returns null for chaining.
PyObject* raise_search_error(SearchError error);

// A type from `spec` whose methods are registered after its properties, so
// the class dict lists properties first (type creation itself would put
// tp_methods ahead of tp_getset). `methods` must live for the process.
PyTypeObject* create_type_with_methods(PyType_Spec* spec, PyMethodDef* methods);

// Creators of the two classes' type objects, called once by the module init.
PyTypeObject* create_searcher_type();
PyTypeObject* create_result_type();

}  // namespace vok::py
