// _engine.Dataset and what the estimator asks of its equations after a
// search, on one dataset built once: each one's loss and whether it leaves
// the reals (assess), and its constants refitted (refine).
#include "engine_module.hpp"

#include <algorithm>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bind/args.hpp"
#include "lib/engine.hpp"

namespace vok::learn {
namespace {

PyTypeObject* g_dataset_type = nullptr;

struct DatasetObject {
  PyObject_HEAD
  // Shared with the sample sets of the calls that read it; on the heap,
  // since the object's memory is not constructed as C++.
  std::shared_ptr<const Dataset>* data;
};

// The dataset argument; TypeError when it is not an _engine.Dataset.
const std::shared_ptr<const Dataset>* dataset_arg(PyObject* obj) {
  if (!PyObject_TypeCheck(obj, g_dataset_type)) {
    PyErr_Format(PyExc_TypeError, "data must be a vok_learn._engine.Dataset, not %.100s", Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  return reinterpret_cast<DatasetObject*>(obj)->data;
}

// The formulas of a sequence of token lists, each reading only columns the
// dataset has; ValueError naming the first fault.
bool expressions_arg(PyObject* obj, const Dataset& data, std::vector<Expression>& out) {
  Ref items(PySequence_Fast(obj, "equations must be a sequence of token lists"));
  if (!items) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    auto e = expression_from_list(PySequence_Fast_GET_ITEM(items.get(), i));
    if (!e) return false;
    if (e->num_vars > data.cols()) {
      PyErr_Format(PyExc_ValueError, "equation %zd reads column %d but X has %zu column%s", i, e->num_vars - 1,
                   data.cols(), data.cols() == 1 ? "" : "s");
      return false;
    }
    out.push_back(std::move(*e));
  }
  return true;
}

PyObject* dataset_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* {
    static const py::ArgSpec spec{"Dataset", {"X", "y", "sample_weight"}, 2};
    PyObject* a[3];
    if (!py::bind_tuple(spec, args, kwargs, a)) return nullptr;
    Dataset data;
    if (!samples_from_args(a[0], a[1], data, a[2])) return nullptr;
    auto held = std::make_unique<std::shared_ptr<const Dataset>>(std::make_shared<const Dataset>(std::move(data)));
    auto* self = reinterpret_cast<DatasetObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->data = held.release();
    return reinterpret_cast<PyObject*>(self);
  });
}

void dataset_dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<DatasetObject*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  delete self->data;
  type->tp_free(obj);
  Py_DECREF(type);
}

const Dataset& data_of(PyObject* obj) { return **reinterpret_cast<DatasetObject*>(obj)->data; }

PyObject* dataset_rows(PyObject* obj, void*) { return PyLong_FromSize_t(data_of(obj).rows()); }
PyObject* dataset_cols(PyObject* obj, void*) { return PyLong_FromSize_t(data_of(obj).cols()); }

Ref vector_of(std::span<const double> values) {
  double* out = nullptr;
  Ref array = new_vector(values.size(), &out);
  if (array) std::copy(values.begin(), values.end(), out);
  return array;
}

PyObject* dataset_column(PyObject* obj, PyObject* index) {
  return py::guarded([&]() -> PyObject* {
    const auto j = py::index_arg(index, "j");
    if (!j) return nullptr;
    const Dataset& data = data_of(obj);
    if (*j >= data.cols()) {
      PyErr_Format(PyExc_IndexError, "column %zu of a dataset of %zu column%s", *j, data.cols(),
                   data.cols() == 1 ? "" : "s");
      return nullptr;
    }
    return vector_of(data.column(*j)).release();
  });
}

PyObject* dataset_targets(PyObject* obj, PyObject*) {
  return py::guarded([&]() -> PyObject* { return vector_of(data_of(obj).targets()).release(); });
}

using py::as_cfunction;

PyMethodDef g_dataset_methods[] = {
    {"column", as_cfunction(dataset_column), METH_O,
     "column($self, j, /)\n--\n\nA copy of input column j as a float64 array."},
    {"targets", as_cfunction(dataset_targets), METH_NOARGS,
     "targets($self, /)\n--\n\nA copy of the targets as a float64 array."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_dataset_getset[] = {
    {"rows", dataset_rows, nullptr, "The number of rows.", nullptr},
    {"cols", dataset_cols, nullptr, "The number of input columns.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_dataset_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(dataset_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dataset_dealloc)},
    {Py_tp_methods, g_dataset_methods},
    {Py_tp_getset, g_dataset_getset},
    {Py_tp_doc, const_cast<char*>("Dataset(X, y, sample_weight=None)\n--\n\n"
                                  "X (n_samples, n_features) and y (n_samples,), finite, copied once into the "
                                  "engine's column-major table, which assess() and refine() read in place; with "
                                  "sample_weight (finite, >= 0, not all 0; scaled to a mean of 1) their losses and "
                                  "refits are weighted. A "
                                  "float64 X is read in its own layout (C or Fortran order, sliced, transposed); "
                                  "anything else goes through numpy.asarray first. ValueError as search() gives "
                                  "for the same X and y.")},
    {0, nullptr},
};

PyType_Spec g_dataset_spec = {"vok_learn._engine.Dataset", sizeof(DatasetObject), 0, Py_TPFLAGS_DEFAULT,
                              g_dataset_slots};

}  // namespace

PyObject* assess(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static const py::ArgSpec spec{"assess", {"equations", "data"}, 2};
    PyObject* a[2];
    if (!py::bind_fastcall(spec, args, nargs, kwnames, a)) return nullptr;
    const std::shared_ptr<const Dataset>* data = dataset_arg(a[1]);
    if (data == nullptr) return nullptr;
    std::vector<Expression> expressions;
    if (!expressions_arg(a[0], **data, expressions)) return nullptr;
    std::vector<RowsSummary> summaries;
    {
      Unlocked unlocked;
      summaries = summarize_rows(expressions, *engine_state().registry, **data);
    }
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (const RowsSummary& s : summaries) {
      Ref item(Py_BuildValue("(dO)", s.loss, s.leaves_reals ? Py_True : Py_False));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* refine(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static const py::ArgSpec spec{"refine", {"equations", "data", "alpha", "l1_ratio", "iterations", "time_limit", "refine"}, 2};
    PyObject* a[7];
    if (!py::bind_fastcall(spec, args, nargs, kwnames, a)) return nullptr;
    const std::shared_ptr<const Dataset>* data = dataset_arg(a[1]);
    if (data == nullptr) return nullptr;
    SearchConfig defaults;
    double alpha = defaults.alpha;
    double l1_ratio = defaults.l1_ratio;
    std::size_t iterations = kRefitIterations;
    if (a[2] != nullptr) {
      const auto v = py::real_arg(a[2], "alpha");
      if (!v) return nullptr;
      alpha = *v;
    }
    if (a[3] != nullptr) {
      const auto v = py::real_arg(a[3], "l1_ratio");
      if (!v) return nullptr;
      l1_ratio = *v;
    }
    if (a[4] != nullptr) {
      const auto v = py::index_arg(a[4], "iterations");
      if (!v) return nullptr;
      iterations = *v;
    }
    SearchControl control;
    RefinePolicy policy;
    if (!deadline_arg(a[5], control) || !refine_arg(a[6], policy)) return nullptr;
    std::vector<Expression> expressions;
    if (!expressions_arg(a[0], **data, expressions)) return nullptr;
    std::vector<Refit> refits;
    {
      Unlocked unlocked;
      refits = refit_constants(expressions, *data, engine_state().registry, alpha, l1_ratio, iterations,
                               control.deadline, policy);
    }
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (const Refit& r : refits) {
      Ref tokens = tokens_to_list(r.expression, *engine_state().registry);
      if (!tokens) return nullptr;
      Ref item(Py_BuildValue("(OdO)", tokens.get(), r.summary.loss, r.summary.leaves_reals ? Py_True : Py_False));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

bool add_dataset_type(PyObject* module) {
  if (g_dataset_type == nullptr) {
    g_dataset_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_dataset_spec));
    if (g_dataset_type == nullptr) return false;
  }
  return PyModule_AddObjectRef(module, "Dataset", reinterpret_cast<PyObject*>(g_dataset_type)) == 0;
}

}  // namespace vok::learn
