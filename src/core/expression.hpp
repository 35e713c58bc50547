#pragma once

// Postfix expressions: tokens, the expression record, and composition.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/complex.hpp"

namespace vok {

// Token tags are fixed: renderers, evaluators and tests switch on them.
enum class TokenKind : std::uint8_t {
  Constant = 0,   // named arity-0 operator; `op` is its id, `value` its cached value
  Literal = 1,    // real number in `value.re` (im is 0)
  Variable = 2,   // input column `index`
  Parameter = 3,  // fitted constant slot `index`; `value` is its current value
  Apply = 4,      // apply operator `op` to the top `index` (= arity) stack values
};

// One element of a postfix program. A fixed-size record rather than a
// std::variant so that a token sequence is one flat array walked linearly.
struct Token {
  TokenKind kind = TokenKind::Literal;
  std::uint8_t index = 0;  // Variable/Parameter index, or Apply arity
  std::uint64_t op = 0;    // operator id for Constant and Apply
  Complex value{};         // Constant, Literal and Parameter value

  [[nodiscard]] static Token constant(std::uint64_t op_id, Complex v) { return {TokenKind::Constant, 0, op_id, v}; }
  [[nodiscard]] static Token literal(double v) { return {TokenKind::Literal, 0, 0, {v, 0.0}}; }
  [[nodiscard]] static Token variable(std::uint8_t i) { return {TokenKind::Variable, i, 0, {}}; }
  [[nodiscard]] static Token parameter(std::uint8_t i, Complex v) { return {TokenKind::Parameter, i, 0, v}; }
  [[nodiscard]] static Token apply(std::uint8_t arity, std::uint64_t op_id) { return {TokenKind::Apply, arity, op_id, {}}; }

  std::uint8_t arity() const { return index; }
};

// Variable indices are 8 bits wide and var_leaf accepts 0..254, so a search
// can index at most this many input columns (num_vars = index + 1 <= 255).
inline constexpr std::size_t kMaxVariables = 255;
// num_params is 8 bits wide; compositions that would exceed it are never built.
inline constexpr std::size_t kMaxParams = 255;

// One candidate formula as a postfix program.
//
// Invariants of every expression the search builds:
//  1. complexity == tokens.size(); a postfix program of n tokens never holds
//     more than n values, so complexity is the evaluator's stack capacity.
//  2. The program is well formed: it leaves exactly one value.
//  3. Parameter tokens, read left to right, carry the indices 0..num_params-1.
//  4. The last token is the root (an Apply, or the single leaf).
//  5. `formula` is deterministic call notation, e.g. "Plus(C, v_{0})"; it is
//     compared byte-wise by the commutative pruning of generation.
// Plain value: copied freely, and only constant refinement rewrites the
// Parameter values of its own copy.
struct Expression {
  std::vector<Token> tokens;
  std::string formula;
  std::size_t complexity = 0;
  std::uint8_t num_vars = 0;    // 1 + highest variable index, 0 if none
  std::uint8_t num_params = 0;  // number of Parameter tokens
};

// The leaf "C": one Parameter token, index 0, value 0.1.
[[nodiscard]] Expression param_leaf();
// The leaf "v_{i}"; precondition i <= 254.
[[nodiscard]] Expression var_leaf(std::uint8_t i);
[[nodiscard]] Expression compose_unary(std::uint64_t op_id, std::string_view name, const Expression& child);
// Renumbers the right operand's parameters behind the left operand's.
// Precondition: left.num_params + right.num_params <= kMaxParams.
[[nodiscard]] Expression compose_binary(std::uint64_t op_id, std::string_view name, const Expression& left,
                          const Expression& right);

}  // namespace vok
