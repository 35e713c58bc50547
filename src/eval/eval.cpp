// The stack machine that evaluates a token sequence on one sample.
#include "eval/eval.hpp"

#include <cmath>

namespace vok {

namespace {

// Whether an operator result may be pushed: under the guard, or, for the
// unbounded machine, whenever both parts are finite.
template <bool kGuarded>
bool keeps(Complex r) {
  if constexpr (kGuarded) {
    return within_guard(r);
  } else {
    return std::isfinite(r.re) && std::isfinite(r.im);
  }
}

template <bool kGuarded>
std::optional<Complex> run(std::span<const Token> tokens, std::span<const Complex> inputs,
                           std::span<const Complex> params, OperatorList ops, std::vector<Complex>& stack) {
  stack.clear();
  for (const Token& t : tokens) {
    switch (t.kind) {
      case TokenKind::Constant:
        // The value is cached in the token; the id is still checked so that a
        // token from a foreign registry is rejected consistently.
        if (t.op >= ops.size()) return std::nullopt;
        stack.push_back(t.value);
        break;
      case TokenKind::Literal:
        stack.push_back({t.value.re, 0.0});
        break;
      case TokenKind::Variable:
        if (t.index >= inputs.size()) return std::nullopt;
        stack.push_back(inputs[t.index]);
        break;
      case TokenKind::Parameter:
        stack.push_back(t.index < params.size() ? params[t.index] : t.value);
        break;
      case TokenKind::Apply: {
        const std::size_t arity = t.arity();
        if (stack.size() < arity || t.op >= ops.size()) return std::nullopt;
        // The operands are the top `arity` values in push order, passed in
        // place: exactly `arity` values, left operand first.
        const std::size_t base = stack.size() - arity;
        const std::optional<Complex> r =
            ops[t.op]->eval(std::span<const Complex>(stack.data() + base, arity));
        if (!r || !keeps<kGuarded>(*r)) return std::nullopt;
        stack.resize(base);
        stack.push_back(*r);
        break;
      }
      default:
        return std::nullopt;
    }
  }
  if (stack.size() != 1) return std::nullopt;
  return stack.front();
}

}  // namespace

std::optional<Complex> eval_internal(std::span<const Token> tokens, std::span<const Complex> inputs,
                                     std::span<const Complex> params, OperatorList ops,
                                     std::vector<Complex>& stack) {
  return run<true>(tokens, inputs, params, ops, stack);
}

std::optional<Complex> eval_unbounded(std::span<const Token> tokens, std::span<const Complex> inputs,
                                      OperatorList ops, std::vector<Complex>& stack) {
  return run<false>(tokens, inputs, {}, ops, stack);
}

std::optional<Complex> eval(const Expression& e, std::span<const Complex> inputs, OperatorList ops) {
  return eval_with_params(e, inputs, {}, ops);
}

std::optional<Complex> eval_with_params(const Expression& e, std::span<const Complex> inputs,
                                        std::span<const Complex> params, OperatorList ops) {
  std::vector<Complex> stack;
  stack.reserve(e.complexity);
  return eval_internal(e.tokens, inputs, params, ops, stack);
}

}  // namespace vok
