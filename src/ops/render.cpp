#include "ops/render.hpp"

#include <charconv>
#include <cmath>
#include <vector>

namespace vok {

std::string format_number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0.0 ? "inf" : "-inf";
  // Fixed notation of the largest double has 309 integer digits; to_chars
  // rounds correctly from the exact binary value and ignores the locale.
  char buf[400];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 4);
  return std::string(buf, res.ptr);
}

namespace {

enum class Dialect { Latex, Python };

std::string render(const Expression& e, OperatorList ops, Dialect dialect) {
  std::vector<std::string> stack;
  stack.reserve(e.complexity);
  for (const Token& t : e.tokens) {
    switch (t.kind) {
      case TokenKind::Constant: {
        if (t.op >= ops.size()) return {};
        const Operator& op = *ops[t.op];
        stack.push_back(dialect == Dialect::Latex ? op.to_latex({}) : op.to_python({}));
        break;
      }
      case TokenKind::Literal:
      case TokenKind::Parameter:
        // Only the real part of a fitted constant is shown.
        stack.push_back(format_number(t.value.re));
        break;
      case TokenKind::Variable:
        stack.push_back("v_{" + std::to_string(t.index) + "}");
        break;
      case TokenKind::Apply: {
        const std::size_t arity = t.arity();
        if (stack.size() < arity || t.op >= ops.size()) return {};
        const Operator& op = *ops[t.op];
        if (op.arity() != arity) return {};
        const std::size_t base = stack.size() - arity;
        const std::span<const std::string> args(stack.data() + base, arity);
        std::string text = dialect == Dialect::Latex ? op.to_latex(args) : op.to_python(args);
        stack.resize(base);
        stack.push_back(std::move(text));
        break;
      }
      default:
        return {};
    }
  }
  if (stack.empty()) return {};
  return std::move(stack.back());
}

}  // namespace

std::string render_latex(const Expression& e, OperatorList ops) { return render(e, ops, Dialect::Latex); }
std::string render_python(const Expression& e, OperatorList ops) { return render(e, ops, Dialect::Python); }

}  // namespace vok
