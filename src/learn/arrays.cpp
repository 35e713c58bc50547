// NumPy arrays in and out of the private engine module, through NumPy's
// Python API and the buffer protocol: any array-like is accepted, converted
// to float64 only where it is not already, and read in its own layout.
#include "engine_module.hpp"

#include <cmath>
#include <cstring>
#include <span>
#include <string>

namespace vok::learn {

EngineState& engine_state() {
  static EngineState state;
  return state;
}

bool load_numpy() {
  EngineState& s = engine_state();
  if (s.asarray != nullptr) return true;
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return false;
  Ref asarray(PyObject_GetAttrString(numpy.get(), "asarray"));
  Ref empty(PyObject_GetAttrString(numpy.get(), "empty"));
  Ref float64(PyObject_GetAttrString(numpy.get(), "float64"));
  if (!asarray || !empty || !float64) return false;
  s.asarray = asarray.release();
  s.empty = empty.release();
  s.float64 = float64.release();
  return true;
}

namespace {

// Replaces the current exception by ValueError "<name> <what>: <original>".
void reraise_as_value_error(const char* name, const char* what) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t(type), v(value), b(tb);
  if (v) {
    PyErr_Format(PyExc_ValueError, "%s %s: %S", name, what, v.get());
  } else {
    PyErr_Format(PyExc_ValueError, "%s %s", name, what);
  }
}

// Holds a buffer and releases it on scope exit.
struct Buffer {
  Py_buffer view{};
  bool held = false;
  ~Buffer() {
    if (held) PyBuffer_Release(&view);
  }
};

}  // namespace

std::optional<FloatArray> float_array(PyObject* obj, const char* name, int ndim) {
  const char* shape_text = ndim == 1 ? "must be a 1-D array of real numbers"
                                     : "must be a 2-D array of real numbers (n_samples, n_features)";
  if (!load_numpy()) return std::nullopt;
  // A complex array would lose its imaginary parts in the cast, silently.
  if (Ref dtype(PyObject_GetAttrString(obj, "dtype")); dtype) {
    Ref kind(PyObject_GetAttrString(dtype.get(), "kind"));
    if (kind && PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "c") == 0) {
      PyErr_Format(PyExc_ValueError, "%s %s, not complex numbers", name, shape_text);
      return std::nullopt;
    }
    PyErr_Clear();
  } else {
    PyErr_Clear();
  }
  EngineState& s = engine_state();
  Ref kwargs(Py_BuildValue("{s:O}", "dtype", s.float64));
  Ref args(PyTuple_Pack(1, obj));
  if (!kwargs || !args) return std::nullopt;
  FloatArray out;
  out.array = Ref(PyObject_Call(s.asarray, args.get(), kwargs.get()));
  if (!out.array) {
    // NumPy's own complaints about the data (including RuntimeError for a
    // sequence that changes while it is read) become one ValueError; the
    // caller's own exceptions (from __float__, say) pass unchanged.
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
        PyErr_ExceptionMatches(PyExc_RuntimeError)) {
      reraise_as_value_error(name, shape_text);
    }
    return std::nullopt;
  }
  // Any strides: a float64 array in C or Fortran order, sliced or
  // transposed, is read where it lies.
  Buffer buf;
  if (PyObject_GetBuffer(out.array.get(), &buf.view, PyBUF_RECORDS_RO) < 0) return std::nullopt;
  buf.held = true;
  if (buf.view.ndim != ndim) {
    PyErr_Format(PyExc_ValueError, "%s %s; got an array of %d dimension%s", name, shape_text, buf.view.ndim,
                 buf.view.ndim == 1 ? "" : "s");
    return std::nullopt;
  }
  out.rows = static_cast<std::size_t>(buf.view.shape[0]);
  out.cols = ndim == 2 ? static_cast<std::size_t>(buf.view.shape[1]) : 1;
  out.row_stride = buf.view.strides[0];
  out.col_stride = ndim == 2 ? buf.view.strides[1] : 0;
  // The buffer belongs to `array`, which the result keeps alive.
  out.base = buf.view.buf;
  return out;
}

Dataset FloatArray::dataset() const { return Dataset::from_strided(base, rows, cols, row_stride, col_stride); }

std::vector<double> FloatArray::vector() const {
  std::vector<double> out(rows);
  const auto* bytes = static_cast<const unsigned char*>(base);
  for (std::size_t i = 0; i < rows; ++i) {
    std::memcpy(&out[i], bytes + static_cast<std::ptrdiff_t>(i) * row_stride, sizeof(double));
  }
  return out;
}

std::optional<std::size_t> first_nonfinite_row(const Dataset& data) {
  std::optional<std::size_t> row;
  for (std::size_t j = 0; j < data.cols(); ++j) {
    const std::span<const double> column = data.column(j);
    const std::size_t end = row.value_or(column.size());
    for (std::size_t i = 0; i < end; ++i) {
      if (!std::isfinite(column[i])) {
        row = i;
        break;
      }
    }
  }
  return row;
}

Ref new_vector(std::size_t n, double** data) {
  if (!load_numpy()) return Ref();
  EngineState& s = engine_state();
  Ref array(PyObject_CallFunction(s.empty, "(n)O", static_cast<Py_ssize_t>(n), s.float64));
  if (!array) return Ref();
  Buffer buf;
  if (PyObject_GetBuffer(array.get(), &buf.view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) return Ref();
  buf.held = true;
  *data = static_cast<double*>(buf.view.buf);
  return array;
}

}  // namespace vok::learn
