// Leaves and the composition of expressions from their operands.
#include "core/expression.hpp"

#include <algorithm>
#include <cassert>

namespace vok {

Expression param_leaf() {
  Expression e;
  e.tokens.push_back(Token::parameter(0, {0.1, 0.0}));
  e.formula = "C";
  e.complexity = 1;
  e.num_vars = 0;
  e.num_params = 1;
  return e;
}

Expression var_leaf(std::uint8_t i) {
  assert(i < kMaxVariables);  // num_vars = i + 1 must fit its 8 bits
  Expression e;
  e.tokens.push_back(Token::variable(i));
  e.formula = "v_{" + std::to_string(i) + "}";
  e.complexity = 1;
  e.num_vars = static_cast<std::uint8_t>(i + 1);
  e.num_params = 0;
  return e;
}

Expression compose_unary(std::uint64_t op_id, std::string_view name, const Expression& child) {
  Expression e;
  e.tokens.reserve(child.tokens.size() + 1);
  e.tokens = child.tokens;
  e.tokens.push_back(Token::apply(1, op_id));

  e.formula.reserve(name.size() + child.formula.size() + 2);
  e.formula.append(name).append("(").append(child.formula).append(")");

  e.complexity = e.tokens.size();
  e.num_vars = child.num_vars;
  e.num_params = child.num_params;
  return e;
}

Expression compose_binary(std::uint64_t op_id, std::string_view name, const Expression& left,
                          const Expression& right) {
  assert(std::size_t{left.num_params} + right.num_params <= kMaxParams);
  Expression e;
  e.tokens.reserve(left.tokens.size() + right.tokens.size() + 1);
  e.tokens.insert(e.tokens.end(), left.tokens.begin(), left.tokens.end());
  // The right operand's parameter slots move behind the left operand's so
  // that slots stay 0..n-1 in order of appearance.
  for (Token t : right.tokens) {
    if (t.kind == TokenKind::Parameter) t.index = static_cast<std::uint8_t>(t.index + left.num_params);
    e.tokens.push_back(t);
  }
  e.tokens.push_back(Token::apply(2, op_id));

  e.formula.reserve(name.size() + left.formula.size() + right.formula.size() + 4);
  e.formula.append(name).append("(").append(left.formula).append(", ").append(right.formula).append(")");

  e.complexity = e.tokens.size();
  e.num_vars = std::max(left.num_vars, right.num_vars);
  e.num_params = static_cast<std::uint8_t>(left.num_params + right.num_params);
  return e;
}

}  // namespace vok
