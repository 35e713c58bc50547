#pragma once

// One fitted formula as a search reports it.

#include <span>
#include <vector>

#include "core/expression.hpp"
#include "ops/registry.hpp"

namespace vok {

// One fitted formula with its error and the operator table it was built
// with, so that it stays usable after the search and searcher are gone.
// Immutable once finalization made it; safe to read from any thread.
struct SearchResult {
  Expression expression;
  double error = 0.0;
  RegistryPtr registry;
};

// Real part of the formula at one point (value v of variable i enters as
// (v, 0)); quiet NaN where the formula has no value.
[[nodiscard]] double eval_multi(const SearchResult& result, std::span<const double> point);

// eval_multi at each row in turn (rows may differ in length), with one
// evaluation stack for all of them: the per-row cost is the evaluation alone.
[[nodiscard]] std::vector<double> eval_batch(const SearchResult& result, std::span<const std::vector<double>> rows);

}  // namespace vok
