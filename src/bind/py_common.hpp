#pragma once

// Shared by every file of the binding: Python.h must come before any
// standard header, so each .cpp includes this first.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

namespace vok::py {

// Owning reference: releases on scope exit, so early returns on a Python
// error never leak.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Runs `body` and turns a C++ exception escaping from it (allocation failure
// in a conversion or a search) into a Python exception: nothing may unwind
// through the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception in vok_sr");
    return nullptr;
  }
}

// A fast-call or keyword C function as the PyCFunction a method table
// stores (the cast CPython's own modules make, through a plain function
// pointer so that the compiler does not warn about the signature).
template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace vok::py
