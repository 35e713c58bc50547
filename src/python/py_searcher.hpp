#pragma once

// The Python Searcher object wrapping one engine Searcher.

#include "bind/py_common.hpp"

#include "lib/searcher.hpp"

namespace vok::py {

// Python `Searcher`: one engine Searcher, written by the constructor and only
// read afterwards (no setters), so per-call overrides never touch it.
struct PySearcher {
  PyObject_HEAD
  Searcher searcher;
};

}  // namespace vok::py
