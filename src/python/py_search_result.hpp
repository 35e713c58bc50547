#pragma once

// The Python SearchResult object wrapping one engine result.

#include "bind/py_common.hpp"

#include "result/search_result.hpp"

namespace vok::py {

// Python `SearchResult`: owns one engine record, moved in at creation and
// never changed; the record's registry reference keeps it usable after the
// searcher is gone.
struct PySearchResult {
  PyObject_HEAD
  SearchResult result;
};

// A new Python SearchResult owning `record`, or null with an exception set.
PyObject* wrap_result(SearchResult&& record);

}  // namespace vok::py
