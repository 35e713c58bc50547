// Argument binding and conversion for the Python-facing callables.
#include "bind/args.hpp"

#include <string>

namespace vok::py {
namespace {

bool too_many(const ArgSpec& spec, Py_ssize_t given) {
  const std::size_t n = spec.names.size();
  PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", spec.function, n,
               n == 1 ? "" : "s", given);
  return false;
}

// Puts one keyword argument into its slot; `nargs` positional ones are bound.
bool bind_keyword(const ArgSpec& spec, PyObject* key, PyObject* value, Py_ssize_t nargs,
                  std::span<PyObject*> out) {
  if (!PyUnicode_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return false;
  }
  std::size_t i = 0;
  for (const char* name : spec.names) {
    if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
      if (static_cast<Py_ssize_t>(i) < nargs || out[i] != nullptr) {
        if (static_cast<Py_ssize_t>(i) < nargs) {
          PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)",
                       spec.function, name, i + 1);
        } else {
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", spec.function,
                       name);
        }
        return false;
      }
      out[i] = value;
      return true;
    }
    ++i;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.function, key);
  return false;
}

bool check_required(const ArgSpec& spec, std::span<PyObject*> out) {
  std::size_t i = 0;
  for (const char* name : spec.names) {
    if (i >= spec.required) break;
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", spec.function,
                   name, i + 1);
      return false;
    }
    ++i;
  }
  return true;
}

bool bind_positional(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                     std::span<PyObject*> out) {
  for (auto& slot : out) slot = nullptr;
  if (nargs > static_cast<Py_ssize_t>(spec.names.size())) return too_many(spec, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
  return true;
}

// Replaces the current exception by TypeError "argument '<name>': <text>"
// with the original as its cause.
void raise_argument_error(const char* name) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref cause(value);
  Py_XDECREF(type);
  if (tb != nullptr && cause) PyException_SetTraceback(cause.get(), tb);
  Py_XDECREF(tb);
  Ref text(cause ? PyObject_Str(cause.get()) : PyUnicode_FromString(""));
  if (!text) return;
  Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref error(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!error) return;
  if (cause) PyException_SetCause(error.get(), cause.release());  // steals
  PyErr_SetObject(PyExc_TypeError, error.get());
}

}  // namespace

bool bind_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> out) {
  if (!bind_positional(spec, args, nargs, out)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!bind_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) return false;
    }
  }
  return check_required(spec, out);
}

bool bind_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!bind_positional(spec, reinterpret_cast<PyTupleObject*>(args)->ob_item, nargs, out)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(spec, key, value, nargs, out)) return false;
    }
  }
  return check_required(spec, out);
}

std::optional<double> real_arg(PyObject* obj, const char* name) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_argument_error(name);
    return std::nullopt;
  }
  return v;
}

std::optional<std::size_t> index_arg(PyObject* obj, const char* name) {
  Ref index(PyNumber_Index(obj));
  if (!index) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_argument_error(name);
    return std::nullopt;
  }
  const std::size_t v = PyLong_AsSize_t(index.get());
  if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) return std::nullopt;
  return v;
}

std::optional<std::optional<double>> optional_real_arg(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::optional<double>{};
  auto v = real_arg(obj, name);
  if (!v) return std::nullopt;
  return std::optional<double>{*v};
}

}  // namespace vok::py
