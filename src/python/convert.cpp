// Python sequences and NumPy arrays copied into plain doubles.
#include "convert.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

// The NumPy C API table is fetched by hand (ensure_numpy below) from the
// multiarray module of whatever NumPy runs, instead of import_array() at
// module init: importing vok_sr must work without NumPy, and the table is
// only needed once data arrive.
#define PY_ARRAY_UNIQUE_SYMBOL vok_sr_ARRAY_API
#define NO_IMPORT_ARRAY
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

// Definitions of the table and the runtime feature version the NumPy
// headers declare (names come from PY_ARRAY_UNIQUE_SYMBOL).
void** PyArray_API = nullptr;
int PyArray_RUNTIME_VERSION = 0;

namespace vok::py {
namespace {

constexpr const char* kVecError = "Input must be a 1D list or NumPy array of floats";
constexpr const char* kMatrixError = "Input must be a 2D list or 2D NumPy array of floats";
// A sequence's reported length is only a capacity hint; a lying __len__ must
// not make us reserve gigabytes up front.
constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;

PyArray_Descr* g_double_descr = nullptr;  // native float64, kept for the process

// Leading decimal digits of NumPy's version string, -1 if there are none.
long numpy_major(PyObject* numpy) {
  Ref version(PyObject_GetAttrString(numpy, "__version__"));
  if (!version) return -1;
  const char* text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return -1;
  }
  long major = 0;
  bool any = false;
  for (; *text >= '0' && *text <= '9'; ++text) {
    major = major * 10 + (*text - '0');
    any = true;
    if (major > 1000) break;
  }
  return any ? major : -1;
}

// Why the table could not be had, as an ImportError chained to the cause.
bool numpy_unavailable(const char* why) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref cause(value);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  Ref detail(cause ? PyObject_Str(cause.get()) : PyUnicode_FromString(why));
  if (!detail) return false;
  Ref message(PyUnicode_FromFormat("vok_sr needs NumPy to convert its inputs: %U", detail.get()));
  if (!message) return false;
  Ref error(PyObject_CallOneArg(PyExc_ImportError, message.get()));
  if (!error) return false;
  if (cause) PyException_SetCause(error.get(), cause.release());
  PyErr_SetObject(PyExc_ImportError, error.get());
  return false;
}

bool load_numpy_api() {
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return numpy_unavailable("numpy could not be imported");
  const long major = numpy_major(numpy.get());
  if (major < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "unreadable numpy.__version__");
    return numpy_unavailable("unreadable numpy.__version__");
  }
  Ref multiarray(PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
  if (!multiarray) return numpy_unavailable("multiarray could not be imported");
  Ref capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) return numpy_unavailable("_ARRAY_API is missing");
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyErr_SetString(PyExc_ImportError, "_ARRAY_API is not a capsule");
    return numpy_unavailable("");
  }
  auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) return numpy_unavailable("_ARRAY_API is empty");

  PyArray_API = table;
  // The ABI of the running NumPy must not be newer than the headers', and it
  // must offer every feature the headers were configured to target.
  if (NPY_VERSION < PyArray_GetNDArrayCVersion() ||
      static_cast<int>(PyArray_GetNDArrayCFeatureVersion()) < NPY_FEATURE_VERSION) {
    PyArray_API = nullptr;
    PyErr_Format(PyExc_ImportError, "the running NumPy's C API does not match the one vok_sr was built with");
    return numpy_unavailable("");
  }
  PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  if (g_double_descr == nullptr) g_double_descr = PyArray_DescrFromType(NPY_DOUBLE);
  if (g_double_descr == nullptr) {
    PyArray_API = nullptr;
    return numpy_unavailable("no float64 descriptor");
  }
  return true;
}

// Loaded on the first conversion and kept; a failed attempt is retried on
// the next call.
bool ensure_numpy() { return PyArray_API != nullptr || load_numpy_api(); }

// A NumPy array of the given rank whose element type NumPy judges
// equivalent to its native float64, or null.
PyArrayObject* float64_array(PyObject* obj, int ndim) {
  if (!PyArray_Check(obj)) return nullptr;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != ndim) return nullptr;
  PyArray_Descr* descr = PyArray_DESCR(array);
  if (descr != g_double_descr && !PyArray_EquivTypes(descr, g_double_descr)) return nullptr;
  return array;
}

// One number: exact floats directly, anything else through the float
// conversion (ints, bools, NumPy scalars, __float__/__index__ objects).
bool read_element(PyObject* item, double& out) {
  if (PyFloat_CheckExact(item)) {
    out = PyFloat_AS_DOUBLE(item);
    return true;
  }
  out = PyFloat_AsDouble(item);
  return !(out == -1.0 && PyErr_Occurred());
}

Py_ssize_t capacity_hint(PyObject* obj) {
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  return std::min(n, kMaxReserve);
}

// A non-string sequence, iterated item by item; false with an exception set
// (not necessarily a meaningful one: callers replace it).
bool read_sequence(PyObject* obj, Vector& out) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "not a sequence");
    return false;
  }
  out.clear();
  out.reserve(static_cast<std::size_t>(capacity_hint(obj)));
  Ref iter(PyObject_GetIter(obj));
  if (!iter) return false;
  while (Ref item{PyIter_Next(iter.get())}) {
    double v = 0.0;
    if (!read_element(item.get(), v)) return false;
    out.push_back(v);
  }
  return !PyErr_Occurred();
}

void copy_row(const char* src, npy_intp count, npy_intp stride, double* dst) {
  if (stride == static_cast<npy_intp>(sizeof(double))) {
    std::memcpy(dst, src, static_cast<std::size_t>(count) * sizeof(double));
    return;
  }
  // memcpy per element: strided views need not be aligned.
  for (npy_intp c = 0; c < count; ++c) std::memcpy(dst + c, src + c * stride, sizeof(double));
}

}  // namespace

std::optional<Vector> convert_to_vec(PyObject* obj) {
  if (!ensure_numpy()) return std::nullopt;
  if (PyArrayObject* array = float64_array(obj, 1)) {
    if (!PyArray_IS_C_CONTIGUOUS(array) && !PyArray_IS_F_CONTIGUOUS(array)) {
      PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
      return std::nullopt;
    }
    const npy_intp n = PyArray_DIM(array, 0);
    Vector out(static_cast<std::size_t>(n));
    if (n > 0) std::memcpy(out.data(), PyArray_DATA(array), static_cast<std::size_t>(n) * sizeof(double));
    return out;
  }
  Vector out;
  if (!read_sequence(obj, out)) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, kVecError);
    return std::nullopt;
  }
  return out;
}

std::optional<Matrix> convert_to_matrix(PyObject* obj) {
  if (!ensure_numpy()) return std::nullopt;
  if (PyArrayObject* array = float64_array(obj, 2)) {
    const npy_intp rows = PyArray_DIM(array, 0);
    const npy_intp cols = PyArray_DIM(array, 1);
    const npy_intp row_stride = PyArray_STRIDE(array, 0);
    const npy_intp col_stride = PyArray_STRIDE(array, 1);
    const char* base = static_cast<const char*>(PyArray_DATA(array));
    Matrix out(static_cast<std::size_t>(rows));
    for (npy_intp r = 0; r < rows; ++r) {
      auto& row = out[static_cast<std::size_t>(r)];
      row.resize(static_cast<std::size_t>(cols));
      if (cols > 0) copy_row(base + r * row_stride, cols, col_stride, row.data());
    }
    return out;
  }
  Matrix out;
  bool ok = !PyUnicode_Check(obj) && PySequence_Check(obj);
  if (ok) {
    out.reserve(static_cast<std::size_t>(capacity_hint(obj)));
    Ref iter(PyObject_GetIter(obj));
    ok = static_cast<bool>(iter);
    while (ok) {
      Ref item(PyIter_Next(iter.get()));
      if (!item) {
        ok = !PyErr_Occurred();
        break;
      }
      Vector row;
      ok = read_sequence(item.get(), row);
      if (ok) out.push_back(std::move(row));
    }
  }
  if (!ok) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, kMatrixError);
    return std::nullopt;
  }
  return out;
}

}  // namespace vok::py
