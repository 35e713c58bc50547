#pragma once

// Formulas rebuilt from the plain postfix tokens a caller stored.

#include <cstddef>
#include <span>
#include <vector>

#include "core/expression.hpp"
#include "core/search_error.hpp"
#include "ops/registry.hpp"

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

}  // namespace vok
