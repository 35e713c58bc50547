// Formulas rebuilt from the plain postfix tokens a caller stored.
#include "ops/parse.hpp"

#include <charconv>
#include <string>


namespace vok {

namespace {

SearchError fault(std::size_t position, const std::string& what) {
  return SearchError::invalid_input("token " + std::to_string(position) + ": " + what);
}

std::string shortest(double v) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

}  // namespace

Outcome<Expression> expression_from_tokens(std::span<const Token> tokens, const OperatorRegistry& registry) {
  if (tokens.empty()) return SearchError::invalid_input("the token list is empty");
  if (tokens.size() > kMaxFormulaTokens) {
    return SearchError::invalid_input("the token list has " + std::to_string(tokens.size()) +
                                      " tokens (at most " + std::to_string(kMaxFormulaTokens) + ")");
  }
  const auto& ops = registry.operators();
  const auto& meta = registry.meta();
  Expression e;
  e.tokens.reserve(tokens.size());
  std::vector<std::string> texts;  // the formula text of each value on the stack
  std::size_t params = 0;
  std::size_t vars = 0;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    Token t = tokens[i];
    switch (t.kind) {
      case TokenKind::Variable:
        if (t.index >= kMaxVariables) {
          return fault(i, "variable index " + std::to_string(t.index) + " is beyond " +
                              std::to_string(kMaxVariables - 1));
        }
        vars = std::max<std::size_t>(vars, std::size_t{t.index} + 1);
        texts.push_back("v_{" + std::to_string(t.index) + "}");
        break;
      case TokenKind::Parameter:
        if (params == kMaxParams) return fault(i, "more than " + std::to_string(kMaxParams) + " fitted constants");
        t.index = static_cast<std::uint8_t>(params++);
        texts.emplace_back("C");
        break;
      case TokenKind::Literal:
        t.value.im = 0.0;
        texts.push_back(shortest(t.value.re));
        break;
      case TokenKind::Constant: {
        if (t.op >= ops.size() || ops[t.op]->arity() != 0) {
          return fault(i, "no named constant has id " + std::to_string(t.op));
        }
        t.value = *ops[t.op]->eval({});
        texts.push_back(meta[t.op].name);
        break;
      }
      case TokenKind::Apply: {
        if (t.op >= ops.size() || ops[t.op]->arity() == 0) return fault(i, "no operator has id " + std::to_string(t.op));
        const std::size_t arity = ops[t.op]->arity();
        if (t.index != arity) {
          return fault(i, "operator " + meta[t.op].name + " takes " + std::to_string(arity) + " operands, not " +
                              std::to_string(t.index));
        }
        if (texts.size() < arity) {
          return fault(i, "operator " + meta[t.op].name + " needs " + std::to_string(arity) +
                              " operands but has " + std::to_string(texts.size()));
        }
        std::string text = meta[t.op].name + "(";
        for (std::size_t a = texts.size() - arity; a < texts.size(); ++a) {
          if (a != texts.size() - arity) text += ", ";
          text += texts[a];
        }
        text += ')';
        texts.resize(texts.size() - arity);
        texts.push_back(std::move(text));
        break;
      }
      default:
        return fault(i, "unknown token kind");
    }
    e.tokens.push_back(t);
  }
  if (texts.size() != 1) {
    return SearchError::invalid_input("the tokens leave " + std::to_string(texts.size()) +
                                      " values instead of one formula");
  }
  e.formula = std::move(texts.front());
  e.complexity = e.tokens.size();
  e.num_vars = static_cast<std::uint8_t>(vars);
  e.num_params = static_cast<std::uint8_t>(params);
  return e;
}

}  // namespace vok
