#pragma once

// The front of best candidates per complexity that a search builds.

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>

#include "core/expression.hpp"

namespace vok {

// The best candidate seen per complexity, with its raw error (no complexity
// penalty). Entries are inserted or replaced, never removed; dominated
// entries are filtered only when results are built. One lock guards every
// offer and read, so all members are thread-safe.
class ParetoFront {
 public:
  struct Entry {
    double error = 0.0;
    Expression expression;
  };

  // Stores a copy of `e` unless the entry of its complexity already holds an
  // error that is not strictly greater (a NaN on either side keeps the entry).
  void offer(const Expression& e, double error);

  std::size_t size() const;

  // Calls f(complexity, error, expression) per entry in ascending complexity,
  // holding the lock for the whole walk.
  template <class F>
  void for_each(F&& f) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [complexity, entry] : entries_) f(complexity, entry.error, entry.expression);
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::size_t, Entry> entries_;
};

using FrontPtr = std::shared_ptr<ParetoFront>;

void update_pareto(ParetoFront& front, const Expression& e, double error);

}  // namespace vok
