// The Python Searcher type: construction and the search methods.
#include "py_searcher.hpp"

#include <new>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "bind/args.hpp"
#include "convert.hpp"
#include "module_state.hpp"
#include "py_search_result.hpp"

namespace vok::py {
namespace {

const Searcher& engine(PyObject* self) { return reinterpret_cast<PySearcher*>(self)->searcher; }
const SearchConfig& config(PyObject* self) { return engine(self).config(); }

PyObject* searcher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{
        "Searcher", {"max_complexity", "complexity_penalty", "beam_width", "alpha", "l1_ratio"}, 0};
    PyObject* bound[5];
    if (!bind_tuple(spec, args, kwargs, bound)) return nullptr;

    // Converted in parameter order; the first failure ends the call.
    SearchConfig cfg;
    if (bound[0] != nullptr) {
      auto v = index_arg(bound[0], "max_complexity");
      if (!v) return nullptr;
      cfg.max_complexity = *v;
    }
    if (bound[1] != nullptr) {
      auto v = real_arg(bound[1], "complexity_penalty");
      if (!v) return nullptr;
      cfg.complexity_penalty = *v;
    }
    if (bound[2] != nullptr) {
      auto v = index_arg(bound[2], "beam_width");
      if (!v) return nullptr;
      cfg.beam_width = *v;
    }
    if (bound[3] != nullptr) {
      auto v = real_arg(bound[3], "alpha");
      if (!v) return nullptr;
      cfg.alpha = *v;
    }
    if (bound[4] != nullptr) {
      auto v = real_arg(bound[4], "l1_ratio");
      if (!v) return nullptr;
      cfg.l1_ratio = *v;
    }

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<PySearcher*>(self)->searcher) Searcher(cfg);
    return self;
  });
}

void searcher_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PySearcher*>(self)->searcher.~Searcher();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* get_max_complexity(PyObject* self, void*) { return PyLong_FromSize_t(config(self).max_complexity); }
PyObject* get_beam_width(PyObject* self, void*) { return PyLong_FromSize_t(config(self).beam_width); }
PyObject* get_complexity_penalty(PyObject* self, void*) {
  return PyFloat_FromDouble(config(self).complexity_penalty);
}
PyObject* get_alpha(PyObject* self, void*) { return PyFloat_FromDouble(config(self).alpha); }
PyObject* get_l1_ratio(PyObject* self, void*) { return PyFloat_FromDouble(config(self).l1_ratio); }

struct Overrides {
  std::optional<double> alpha;
  std::optional<double> l1_ratio;
};

// alpha, then l1_ratio; absent and None both keep the stored values.
bool convert_overrides(PyObject* alpha, PyObject* l1_ratio, Overrides& out) {
  auto a = optional_real_arg(alpha, "alpha");
  if (!a) return false;
  auto l = optional_real_arg(l1_ratio, "l1_ratio");
  if (!l) return false;
  out = {*a, *l};
  return true;
}

PyObject* single_result(Outcome<SearchResult>&& outcome) {
  if (auto* error = std::get_if<SearchError>(&outcome)) return raise_search_error(std::move(*error));
  return wrap_result(std::get<SearchResult>(std::move(outcome)));
}

// The search runs with the interpreter lock held, as every call of this
// module does: the engine's workers never touch Python objects, and callers
// rely on one call finishing before another Python thread runs.

PyObject* find_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{"find_function", {"xs", "ys", "alpha", "l1_ratio"}, 2};
    PyObject* bound[4];
    if (!bind_fastcall(spec, args, nargs, kwnames, bound)) return nullptr;
    Overrides ov;
    if (!convert_overrides(bound[2], bound[3], ov)) return nullptr;
    auto xs = convert_to_vec(bound[0]);
    if (!xs) return nullptr;
    auto ys = convert_to_vec(bound[1]);
    if (!ys) return nullptr;
    return single_result(engine(self).find_function(*xs, *ys, ov.alpha, ov.l1_ratio));
  });
}

enum class MatrixRequest { Multivariate, Candidates };

PyObject* matrix_request(PyObject* self, const char* name, MatrixRequest kind, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const ArgSpec spec{name, {"inputs", "ys", "alpha", "l1_ratio"}, 2};
    PyObject* bound[4];
    if (!bind_fastcall(spec, args, nargs, kwnames, bound)) return nullptr;
    Overrides ov;
    if (!convert_overrides(bound[2], bound[3], ov)) return nullptr;
    auto inputs = convert_to_matrix(bound[0]);
    if (!inputs) return nullptr;
    auto ys = convert_to_vec(bound[1]);
    if (!ys) return nullptr;

    if (kind == MatrixRequest::Multivariate) {
      return single_result(engine(self).find_multivariate(*inputs, *ys, ov.alpha, ov.l1_ratio));
    }
    auto outcome = engine(self).find_candidates(*inputs, *ys, ov.alpha, ov.l1_ratio);
    if (auto* error = std::get_if<SearchError>(&outcome)) return raise_search_error(std::move(*error));
    auto& records = std::get<std::vector<SearchResult>>(outcome);
    Ref list(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < records.size(); ++i) {
      PyObject* item = wrap_result(std::move(records[i]));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* find_multivariate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return matrix_request(self, "find_multivariate", MatrixRequest::Multivariate, args, nargs, kwnames);
}
PyObject* fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return matrix_request(self, "fit", MatrixRequest::Multivariate, args, nargs, kwnames);
}
PyObject* find_candidates(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return matrix_request(self, "find_candidates", MatrixRequest::Candidates, args, nargs, kwnames);
}

PyObject* recognize_constant(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{"recognize_constant", {"value", "alpha", "l1_ratio"}, 1};
    PyObject* bound[3];
    if (!bind_fastcall(spec, args, nargs, kwnames, bound)) return nullptr;
    auto value = real_arg(bound[0], "value");  // before the overrides
    if (!value) return nullptr;
    Overrides ov;
    if (!convert_overrides(bound[1], bound[2], ov)) return nullptr;
    return single_result(engine(self).recognize_constant(*value, ov.alpha, ov.l1_ratio));
  });
}

template <class F>
PyCFunction fastcall(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyGetSetDef g_getset[] = {
    {"max_complexity", get_max_complexity, nullptr, nullptr, nullptr},
    {"beam_width", get_beam_width, nullptr, nullptr, nullptr},
    {"complexity_penalty", get_complexity_penalty, nullptr, nullptr, nullptr},
    {"alpha", get_alpha, nullptr, nullptr, nullptr},
    {"l1_ratio", get_l1_ratio, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"find_function", fastcall(find_function), kFastKw,
     "find_function($self, xs, ys, alpha=None, l1_ratio=None)\n--\n\n"
     "Finds a univariate function f(x) \u2248 y.\nSupports both Python lists and NumPy arrays."},
    {"find_multivariate", fastcall(find_multivariate), kFastKw,
     "find_multivariate($self, inputs, ys, alpha=None, l1_ratio=None)\n--\n\n"
     "Finds a multivariate function f(x0, x1, ...) \u2248 y.\nInputs should be a 2D array-like structure."},
    {"fit", fastcall(fit), kFastKw,
     "fit($self, inputs, ys, alpha=None, l1_ratio=None)\n--\n\nAlias for find_multivariate (Scikit-Learn style)."},
    {"find_candidates", fastcall(find_candidates), kFastKw,
     "find_candidates($self, inputs, ys, alpha=None, l1_ratio=None)\n--\n\n"
     "Returns the Pareto-front of all candidate formulas found."},
    {"recognize_constant", fastcall(recognize_constant), kFastKw,
     "recognize_constant($self, value, alpha=None, l1_ratio=None)\n--\n\n"
     "Identifies a closed-form expression for a scalar constant."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* create_searcher_type() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "Searcher(max_complexity=10, complexity_penalty=0.1, beam_width=1000, alpha=0.0, "
                      "l1_ratio=0.5)\n--\n\nThe core VOK-SR search engine exposed to Python.")},
      {Py_tp_new, reinterpret_cast<void*>(searcher_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(searcher_dealloc)},
      {Py_tp_getset, g_getset},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      // Created without a module of its own: __module__ reads "builtins".
      "builtins.Searcher",
      sizeof(PySearcher),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,  // no BASETYPE: not subclassable
      slots,
  };
  return create_type_with_methods(&spec, g_methods);
}

}  // namespace vok::py
