// The Python SearchResult type: representation, texts and evaluation.
#include "py_search_result.hpp"

#include <limits>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "bind/args.hpp"
#include "convert.hpp"
#include "module_state.hpp"
#include "ops/render.hpp"
#include "repr_format.hpp"

namespace vok::py {
namespace {

PySearchResult* as_result(PyObject* self) { return reinterpret_cast<PySearchResult*>(self); }
const SearchResult& record(PyObject* self) { return as_result(self)->result; }
OperatorList operators(const SearchResult& r) { return r.registry->operators(); }

PyObject* text_to_str(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* result_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for SearchResult");
  return nullptr;
}

void result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_result(self)->result.~SearchResult();
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* result_repr(PyObject* self) {
  return guarded([&] {
    const SearchResult& r = record(self);
    std::string text = "SearchResult(formula='";
    text += r.expression.formula;
    text += "', error=";
    text += format_error_value(r.error);
    text += ", complexity=";
    text += std::to_string(r.expression.complexity);
    text += ')';
    return text_to_str(text);
  });
}

PyObject* get_formula(PyObject* self, void*) {
  return guarded([&] { return text_to_str(record(self).expression.formula); });
}
PyObject* get_error(PyObject* self, void*) { return PyFloat_FromDouble(record(self).error); }
PyObject* get_complexity(PyObject* self, void*) {
  return PyLong_FromSize_t(record(self).expression.complexity);
}

PyObject* to_latex(PyObject* self, PyObject*) {
  return guarded([&] {
    const SearchResult& r = record(self);
    return text_to_str(render_latex(r.expression, operators(r)));
  });
}

PyObject* to_python(PyObject* self, PyObject*) {
  return guarded([&] {
    const SearchResult& r = record(self);
    return text_to_str(render_python(r.expression, operators(r)));
  });
}

PyObject* eval_point(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{"eval", {"x"}, 1};
    PyObject* bound[1];
    if (!bind_fastcall(spec, args, nargs, kwnames, bound)) return nullptr;
    PyObject* x = bound[0];

    std::vector<double> point;
    if (PyFloat_CheckExact(x)) {
      point.push_back(PyFloat_AS_DOUBLE(x));
    } else {
      const double v = PyFloat_AsDouble(x);
      if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        auto vec = convert_to_vec(x);
        if (!vec) {
          // A missing NumPy is reported as such; any other failure means x
          // is neither a number nor a vector.
          if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, "Input must be a float or a 1D list/array");
          }
          return nullptr;
        }
        point = std::move(*vec);
      } else {
        point.push_back(v);
      }
    }
    return PyFloat_FromDouble(eval_multi(record(self), point));
  });
}

PyObject* eval_batch_impl(PyObject* self, const char* name, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const ArgSpec spec{name, {"inputs"}, 1};
    PyObject* bound[1];
    if (!bind_fastcall(spec, args, nargs, kwnames, bound)) return nullptr;
    auto rows = convert_to_matrix(bound[0]);
    if (!rows) return nullptr;

    const std::vector<double> values = vok::eval_batch(record(self), *rows);

    Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
      PyObject* item = PyFloat_FromDouble(values[i]);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* eval_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return eval_batch_impl(self, "eval_batch", args, nargs, kwnames);
}
PyObject* predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return eval_batch_impl(self, "predict", args, nargs, kwnames);
}

PyGetSetDef g_getset[] = {
    {"formula", get_formula, nullptr, "The discovered mathematical formula as a string.", nullptr},
    {"error", get_error, nullptr, "The residual error (Mean Squared Error) of the formula.", nullptr},
    {"complexity", get_complexity, nullptr, "The structural complexity of the formula.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    {"to_latex", to_latex, METH_NOARGS,
     "to_latex($self)\n--\n\nReturns the formula in LaTeX format for academic reporting."},
    {"to_python", to_python, METH_NOARGS,
     "to_python($self)\n--\n\nReturns the formula in Python/NumPy format for immediate use."},
    {"eval", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(eval_point)),
     METH_FASTCALL | METH_KEYWORDS,
     "eval($self, x)\n--\n\nEvaluates the discovered formula for a given input (float or list/array)."},
    {"eval_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(eval_batch)),
     METH_FASTCALL | METH_KEYWORDS,
     "eval_batch($self, inputs)\n--\n\nEvaluates the formula for a batch of inputs (list of lists or 2D "
     "array)."},
    {"predict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(predict)),
     METH_FASTCALL | METH_KEYWORDS, "predict($self, inputs)\n--\n\nAlias for eval_batch (Scikit-Learn style)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* wrap_result(SearchResult&& rec) {
  PyTypeObject* type = module_state().result_type;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_result(self)->result) SearchResult(std::move(rec));
  return self;
}

PyTypeObject* create_result_type() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("A high-performance symbolic regression result.")},
      {Py_tp_new, reinterpret_cast<void*>(result_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
      {Py_tp_getset, g_getset},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      // Created without a module of its own: __module__ reads "builtins".
      "builtins.SearchResult",
      sizeof(PySearchResult),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,  // no BASETYPE: not subclassable
      slots,
  };
  return create_type_with_methods(&spec, g_methods);
}

}  // namespace vok::py
