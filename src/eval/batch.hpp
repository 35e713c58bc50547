#pragma once

// A formula evaluated over a whole matrix of points, in parallel blocks.

#include <cstddef>
#include <span>

#include "core/expression.hpp"
#include "ops/registry.hpp"

namespace vok {

// Real parts of the formula at `rows` points of `num_vars` values each,
// row-major in `values`, into out[0 .. rows): bit for bit the stack machine
// on each row, NaN where it has no value. Runs in parallel blocks on the worker
// pool. Preconditions: values.size() == rows * num_vars, out.size() == rows.
void eval_rows(const Expression& expression, const OperatorRegistry& registry, std::span<const double> values,
               std::size_t rows, std::size_t num_vars, std::span<double> out);

}  // namespace vok
