// _engine.read_checkpoint: what a checkpoint file holds, read and checked, for a fitted estimator without a search.
#include "engine_module.hpp"

#include <string>
#include <variant>

#include "lib/engine.hpp"

namespace vok::learn {

PyObject* read_checkpoint(PyObject*, PyObject* path) {
  return py::guarded([&]() -> PyObject* {
    PyObject* converted = nullptr;
    if (PyUnicode_FSConverter(path, &converted) == 0) return nullptr;
    const Ref fs_path(converted);
    const std::string file(PyBytes_AS_STRING(fs_path.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(fs_path.get())));
    ReadFile read;
    {
      Unlocked unlocked;
      read = read_file(file);
    }
    if (!read.bytes) {
      if (read.missing) {
        PyErr_Format(PyExc_FileNotFoundError, "no checkpoint at '%s'", file.c_str());
      } else {
        PyErr_Format(PyExc_OSError, "%s", read.failure.c_str());
      }
      return nullptr;
    }
    Outcome<CheckpointState> decoded = decode_checkpoint(*read.bytes);
    if (auto* error = std::get_if<SearchError>(&decoded)) {
      PyErr_Format(PyExc_ValueError, "Checkpoint '%s': %s", file.c_str(), error->message.c_str());
      return nullptr;
    }
    const CheckpointState& state = std::get<CheckpointState>(decoded);
    const OperatorRegistry& registry = *engine_state().registry;
    Ref equations(PyList_New(0));
    if (!equations) return nullptr;
    for (const CheckpointState::FrontEntry& entry : state.front) {
      // Rescalings kept beyond the limit for a warm start are no result.
      if (entry.expression.complexity > state.config.max_complexity) continue;
      Ref tokens = tokens_to_list(entry.expression, registry);
      if (!tokens) return nullptr;
      Ref eq(Py_BuildValue("{s:O,s:d,s:n}", "tokens", tokens.get(), "error", entry.error, "complexity",
                           static_cast<Py_ssize_t>(entry.expression.complexity)));
      if (!eq || PyList_Append(equations.get(), eq.get()) < 0) return nullptr;
    }
    Ref note = to_bytes(state.note);
    if (!note) return nullptr;
    return Py_BuildValue("{s:n,s:n,s:n,s:n,s:O,s:O}", "last_level", static_cast<Py_ssize_t>(state.last_level),
                         "max_complexity", static_cast<Py_ssize_t>(state.config.max_complexity), "rows",
                         static_cast<Py_ssize_t>(state.data.rows), "columns",
                         static_cast<Py_ssize_t>(state.data.cols), "equations", equations.get(), "note", note.get());
  });
}

}  // namespace vok::learn
