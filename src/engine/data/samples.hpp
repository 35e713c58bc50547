#pragma once

// Rows of complex input values and per-row evaluation.

#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/expression.hpp"
#include "eval/eval.hpp"
#include "ops/operator.hpp"

namespace vok {

// One row of complex input values per data point; rows may differ in length
// (a missing value makes the evaluation of a variable beyond it fail).
using ComplexRow = std::vector<Complex>;
using ComplexRows = std::span<const ComplexRow>;

// Evaluates on one row with a value stack owned by the calling thread, so
// that scoring and refinement allocate nothing per sample. Not reentrant
// within one thread (nothing evaluates recursively).
[[nodiscard]] inline std::optional<Complex> eval_row(const Expression& e, std::span<const Complex> row,
                                       std::span<const Complex> params, OperatorList ops) {
  thread_local std::vector<Complex> stack;
  if (stack.capacity() < e.complexity) stack.reserve(e.complexity);
  return eval_internal(e.tokens, row, params, ops, stack);
}

}  // namespace vok
