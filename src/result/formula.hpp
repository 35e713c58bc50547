#pragma once

// Formulas as plain data: a result rebuilt from the postfix tokens a caller
// stored, and a formula evaluated over a whole matrix of points.

#include <cstddef>
#include <span>
#include <vector>

#include "core/expression.hpp"
#include "ops/registry.hpp"
#include "result/search_error.hpp"
#include "result/search_result.hpp"

namespace vok {

// The longest token list expression_from_tokens accepts; searches build
// formulas of a few dozen tokens, and the formula text grows with the
// square of the nesting depth.
inline constexpr std::size_t kMaxFormulaTokens = 4096;

// The expression that `tokens` spell over `registry`, with its formula text,
// counts and the parameter slots numbered in order of appearance (the
// Parameter tokens' indices as given are ignored; their values are kept).
// Constant tokens take the registry's value for their id. InvalidInput,
// naming the first fault by its token position, when the list is empty or
// too long, a variable index is beyond 254, an operator id is outside the
// registry or its arity disagrees with the operator's, an operator lacks
// operands, there are more than 255 parameters, or the list does not leave
// exactly one value.
[[nodiscard]] Outcome<Expression> expression_from_tokens(std::span<const Token> tokens, const OperatorRegistry& registry);

// Real parts of the formula at `rows` points of `num_vars` values each,
// row-major in `values`, into out[0 .. rows): bit for bit eval_multi on each
// row, NaN where it has no value. Runs in parallel blocks on the worker
// pool. Preconditions: values.size() == rows * num_vars, out.size() == rows.
void eval_rows(const SearchResult& result, std::span<const double> values, std::size_t rows,
               std::size_t num_vars, std::span<double> out);

}  // namespace vok
