// Dimensions of formulas: the operators' rules and their composition.
#include "engine/generate/dimension.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "ops/builtin.hpp"

namespace vok {

namespace {

using Kind = Dimension::Kind;

// Exponents scaled by num / den; Unknown when one leaves the fixed point
// (a half of an odd numerator, or beyond 32 bits).
Dimension scaled(const Dimension& a, std::int64_t num, std::int64_t den) {
  if (a.kind != Kind::Fixed) return a;
  Dimension out;
  for (std::size_t i = 0; i < kBaseDimensions; ++i) {
    const std::int64_t n = std::int64_t{a.exponents[i]} * num;
    if (n % den != 0) return Dimension::unknown();
    const std::int64_t v = n / den;
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
      return Dimension::unknown();
    }
    out.exponents[i] = static_cast<std::int32_t>(v);
  }
  return out;
}

Dimension summed(const Dimension& a, const Dimension& b, std::int64_t sign) {
  if (a.kind == Kind::Unknown || b.kind == Kind::Unknown) return Dimension::unknown();
  if (a.kind == Kind::Any || b.kind == Kind::Any) return Dimension::any();
  Dimension out;
  for (std::size_t i = 0; i < kBaseDimensions; ++i) {
    const std::int64_t v = std::int64_t{a.exponents[i]} + sign * std::int64_t{b.exponents[i]};
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
      return Dimension::unknown();
    }
    out.exponents[i] = static_cast<std::int32_t>(v);
  }
  return out;
}

// The operand may be dimensionless: the dimensionless result, or nullopt.
std::optional<Dimension> needs_dimensionless(const Dimension& a) {
  if (a.kind == Kind::Fixed && !a.is_dimensionless()) return std::nullopt;
  return a.kind == Kind::Unknown ? Dimension::unknown() : Dimension::dimensionless();
}

DimensionRule builtin_rule(BuiltinKind kind) {
  using K = BuiltinKind;
  switch (kind) {
    case K::Neg:
      return DimensionRule::Same;
    case K::Inv:
      return DimensionRule::Negate;
    case K::Plus:
    case K::Subtract:
      return DimensionRule::Like;
    case K::Times:
      return DimensionRule::Add;
    case K::Divide:
      return DimensionRule::Subtract;
    case K::Sqrt:
      return DimensionRule::Half;
    case K::Square:
      return DimensionRule::Double;
    case K::Cube:
      return DimensionRule::Triple;
    case K::Vok:
    case K::Exp:
    case K::Log:
    case K::Sin:
    case K::Cos:
    case K::Tan:
    case K::ArcSin:
    case K::ArcCos:
    case K::ArcTan:
      return DimensionRule::Dimensionless;
  }
  return DimensionRule::None;
}

}  // namespace

bool Dimension::is_dimensionless() const {
  return kind == Kind::Fixed && std::all_of(exponents.begin(), exponents.end(), [](std::int32_t e) { return e == 0; });
}

std::optional<Dimension> apply_dimension_rule(DimensionRule rule, const Dimension& a, const Dimension& b) {
  switch (rule) {
    case DimensionRule::Same:
      return a;
    case DimensionRule::Negate:
      return scaled(a, -1, 1);
    case DimensionRule::Half:
      return scaled(a, 1, 2);
    case DimensionRule::Double:
      return scaled(a, 2, 1);
    case DimensionRule::Triple:
      return scaled(a, 3, 1);
    case DimensionRule::Add:
      return summed(a, b, 1);
    case DimensionRule::Subtract:
      return summed(a, b, -1);
    case DimensionRule::Like:
      if (a.kind == Kind::Unknown || b.kind == Kind::Unknown) return Dimension::unknown();
      if (a.kind == Kind::Any) return b;
      if (b.kind == Kind::Any) return a;
      if (a.exponents != b.exponents) return std::nullopt;
      return a;
    case DimensionRule::Dimensionless: {
      const auto left = needs_dimensionless(a);
      const auto right = needs_dimensionless(b);
      if (!left || !right) return std::nullopt;
      return left->kind == Kind::Unknown ? *left : *right;
    }
    case DimensionRule::None:
      return Dimension::unknown();
  }
  return Dimension::unknown();
}

DimensionRule DimensionRules::rule_of(const OperatorRegistry& registry, std::uint64_t op_id) {
  if (op_id >= registry.size()) return DimensionRule::None;
  const auto kind = builtin_kind_of(*registry.operators()[op_id]);
  return kind ? builtin_rule(*kind) : DimensionRule::None;
}

DimensionRules::DimensionRules(UnitSettings units, const OperatorRegistry& registry) : units_(std::move(units)) {
  rules_.reserve(registry.size());
  for (std::uint64_t id = 0; id < registry.size(); ++id) rules_.push_back(rule_of(registry, id));
}

std::optional<Dimension> DimensionRules::unary(std::uint64_t op_id, const Dimension& a) const {
  const DimensionRule rule = op_id < rules_.size() ? rules_[op_id] : DimensionRule::None;
  // A unary rule reads only its first operand; the dimensionless second
  // one leaves Dimensionless to the first.
  return apply_dimension_rule(rule, a);
}

std::optional<Dimension> DimensionRules::binary(std::uint64_t op_id, const Dimension& a, const Dimension& b) const {
  const DimensionRule rule = op_id < rules_.size() ? rules_[op_id] : DimensionRule::None;
  return apply_dimension_rule(rule, a, b);
}

std::optional<Dimension> DimensionRules::of(const Expression& e) const {
  std::vector<Dimension> stack;
  stack.reserve(e.tokens.size());
  for (const Token& t : e.tokens) {
    switch (t.kind) {
      case TokenKind::Variable:
        stack.push_back(t.index < units_.inputs.size() ? Dimension::fixed(units_.inputs[t.index])
                                                       : Dimension::unknown());
        break;
      case TokenKind::Parameter:
        stack.push_back(units_.constants == ConstantUnits::Free ? Dimension::any() : Dimension::dimensionless());
        break;
      case TokenKind::Constant:
      case TokenKind::Literal:
        stack.push_back(Dimension::dimensionless());
        break;
      case TokenKind::Apply: {
        const std::size_t arity = t.arity();
        if (arity == 0 || arity > 2 || stack.size() < arity) return Dimension::unknown();
        std::optional<Dimension> d;
        if (arity == 1) {
          d = unary(t.op, stack.back());
        } else {
          d = binary(t.op, stack[stack.size() - 2], stack.back());
        }
        if (!d) return std::nullopt;
        stack.resize(stack.size() - arity);
        stack.push_back(*d);
        break;
      }
    }
  }
  return stack.size() == 1 ? stack.back() : Dimension::unknown();
}

std::vector<Dimension> DimensionRules::of_level(std::span<const Expression> level) const {
  std::vector<Dimension> out;
  out.reserve(level.size());
  for (const Expression& e : level) out.push_back(of(e).value_or(Dimension::unknown()));
  return out;
}

bool DimensionRules::fits_target(const Dimension& d) const {
  if (!units_.target) return true;
  if (d.kind == Kind::Any) return true;
  return d.kind == Kind::Fixed && d.exponents == *units_.target;
}

}  // namespace vok
