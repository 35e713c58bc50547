// LaTeX and Python texts of postfix expressions, and number formatting.
#include "ops/render.hpp"

#include <charconv>
#include <cmath>
#include <vector>

#include "ops/builtin.hpp"

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

// One rendered operand: its text and how loosely that text binds at its top.
struct Rendered {
  std::string text;
  Binding binds = Binding::Closed;
};

const RenderTemplate* template_of(const Operator& op, Dialect dialect) {
  const std::optional<BuiltinKind> kind = builtin_kind_of(op);
  if (!kind) return nullptr;
  const OperatorFacts& f = kBuiltinFacts[static_cast<std::size_t>(*kind)];
  return dialect == Dialect::Latex ? &f.latex : &f.python;
}

// Groups an operand that binds at least as loosely as its position allows;
// every other text is filled in exactly as it stands.
std::string grouped(Rendered&& operand, Binding limit, Dialect dialect) {
  if (limit == Binding::Never || operand.binds < limit) return std::move(operand.text);
  return dialect == Dialect::Latex ? "\\left(" + operand.text + "\\right)" : "(" + operand.text + ")";
}

std::string render(const Expression& e, OperatorList ops, Dialect dialect) {
  std::vector<Rendered> stack;
  stack.reserve(e.complexity);
  std::vector<std::string> args;
  for (const Token& t : e.tokens) {
    switch (t.kind) {
      case TokenKind::Constant: {
        if (t.op >= ops.size()) return {};
        const Operator& op = *ops[t.op];
        stack.push_back({dialect == Dialect::Latex ? op.to_latex({}) : op.to_python({})});
        break;
      }
      case TokenKind::Literal:
      case TokenKind::Parameter:
        // Only the real part of a fitted constant is shown.
        stack.push_back({format_number(t.value.re)});
        break;
      case TokenKind::Variable:
        stack.push_back({"v_{" + std::to_string(t.index) + "}"});
        break;
      case TokenKind::Apply: {
        const std::size_t arity = t.arity();
        if (stack.size() < arity || t.op >= ops.size()) return {};
        const Operator& op = *ops[t.op];
        if (op.arity() != arity) return {};
        const RenderTemplate* form = template_of(op, dialect);
        const std::size_t base = stack.size() - arity;
        args.clear();
        for (std::size_t i = 0; i < arity; ++i) {
          const Binding limit = form != nullptr && i < form->group.size() ? form->group[i] : Binding::Never;
          args.push_back(grouped(std::move(stack[base + i]), limit, dialect));
        }
        std::string text = dialect == Dialect::Latex ? op.to_latex(args) : op.to_python(args);
        stack.resize(base);
        stack.push_back({std::move(text), form != nullptr ? form->binds : Binding::Closed});
        break;
      }
      default:
        return {};
    }
  }
  if (stack.empty()) return {};
  return std::move(stack.back().text);
}

}  // namespace

std::string render_latex(const Expression& e, OperatorList ops) { return render(e, ops, Dialect::Latex); }
std::string render_python(const Expression& e, OperatorList ops) { return render(e, ops, Dialect::Python); }

}  // namespace vok
