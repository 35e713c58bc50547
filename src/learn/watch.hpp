#pragma once

// The interpreter lock around a search of vok_learn._engine: released while the engine runs, taken back on the
// driving thread for each Python call the search makes (callbacks, the signal check, a level dispatcher).

#include "bind/py_common.hpp"

namespace vok::learn {

using py::Ref;

// The interpreter lock around a search: released for the engine, taken back
// on the same (driving) thread for each callback, signal check and
// dispatcher call. The first Python exception raised in any of them is kept
// until the search ends. Holds and releases nest: a Python call the search
// makes may release the lock again for engine work of its own (a
// dispatched level's methods), and that work may take it back.
class Watch {
 public:
  explicit Watch(PyObject* callback) : callback_(callback) {}

  void release() { saved_ = PyEval_SaveThread(); }
  void hold() { PyEval_RestoreThread(saved_); }

  // With the lock held: keeps the current exception; the search stops.
  void capture() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    if (!failed()) {
      type_ = Ref(type);
      value_ = Ref(value);
      tb_ = Ref(tb);
    } else {
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(tb);
    }
  }
  bool failed() const { return static_cast<bool>(type_); }

  // Calls the callback with a new event dict (or with nothing when there is
  // no callback); false when it raised.
  bool call(Ref event) {
    if (callback_ == nullptr) return true;
    if (!event) {
      capture();
      return false;
    }
    Ref r(PyObject_CallOneArg(callback_, event.get()));
    if (!r) {
      capture();
      return false;
    }
    return true;
  }

  // Ctrl-C and other signal handlers run here; an exception they raise
  // stops the search.
  bool signalled() {
    if (PyErr_CheckSignals() < 0) {
      capture();
      return true;
    }
    return false;
  }

  // Re-raises the kept exception with the partial results on it.
  PyObject* reraise(PyObject* partial) {
    if (value_ && partial != nullptr && PyObject_SetAttrString(value_.get(), "partial", partial) < 0) {
      PyErr_Clear();  // an exception type without a dict keeps its own attributes
    }
    PyErr_Restore(type_.release(), value_.release(), tb_.release());
    return nullptr;
  }

 private:
  PyObject* callback_;
  PyThreadState* saved_ = nullptr;
  Ref type_, value_, tb_;
};

// Runs `enter` now and `leave` on scope exit (also when the engine throws,
// on allocation failure), so the lock is always balanced.
template <void (Watch::*Enter)(), void (Watch::*Leave)()>
class Scoped {
 public:
  explicit Scoped(Watch& w) : w_(w) { (w_.*Enter)(); }
  ~Scoped() { (w_.*Leave)(); }
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;

 private:
  Watch& w_;
};
// The lock taken back for a Python call; released for the engine.
using Held = Scoped<&Watch::hold, &Watch::release>;
using Released = Scoped<&Watch::release, &Watch::hold>;

}  // namespace vok::learn
