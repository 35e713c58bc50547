#pragma once

// The dimension of a formula, from the units of its inputs, and the rules
// by which each operator combines its operands' dimensions.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "config/units.hpp"
#include "core/expression.hpp"
#include "ops/registry.hpp"

namespace vok {

// What a search knows of a consistent formula's dimension. Every fitted
// constant is a parameter of its own, so the dimensions a formula can take
// over the choices of its constants' dimensions are exactly one of:
//  - Fixed: one dimension, `exponents`;
//  - Any: every dimension (a free constant in reach that scales it, as in
//    C * x or sqrt(C));
//  - none at all: the formula is inconsistent (nullopt below).
// The operators map these sets to sets of the same three shapes (a sum
// intersects, a product adds, a power scales, a function of a
// dimensionless argument gives the dimensionless point), so composing the
// shapes is exact. Unknown: the exponents left the fixed-point range
// (kExponentDenominator), or an operator has no rule; such a formula is
// never dropped, and never offered as one of the target's dimension.
struct Dimension {
  enum class Kind : std::uint8_t { Fixed, Any, Unknown };
  Kind kind = Kind::Fixed;
  Exponents exponents{};

  static Dimension fixed(const Exponents& e) { return {Kind::Fixed, e}; }
  static Dimension dimensionless() { return {}; }
  static Dimension any() { return {Kind::Any, {}}; }
  static Dimension unknown() { return {Kind::Unknown, {}}; }
  bool is_dimensionless() const;
  friend bool operator==(const Dimension&, const Dimension&) = default;
};

// How an operator combines dimensions.
enum class DimensionRule : std::uint8_t {
  Same,           // the operand's (negation)
  Negate,         // exponents negated (reciprocal)
  Half,           // exponents halved (square root)
  Double,         // exponents doubled (square)
  Triple,         // exponents tripled (cube)
  Like,           // two operands of one dimension, which the result has (sum, difference)
  Add,            // exponents added (product)
  Subtract,       // exponents subtracted (quotient)
  Dimensionless,  // every operand dimensionless, and so is the result (exp, log, trigonometric, Vok)
  None,           // no rule: the result is unknown
};

// The rule of every operator of a registry, and the dimensions of a
// search's leaves. Immutable; thread-safe to share.
class DimensionRules {
 public:
  DimensionRules(UnitSettings units, const OperatorRegistry& registry);

  // The rule of the built-in operators, by kind; None for any other.
  static DimensionRule rule_of(const OperatorRegistry& registry, std::uint64_t op_id);

  // The result's dimension, nullopt when the operands cannot be made
  // consistent under the operator.
  std::optional<Dimension> unary(std::uint64_t op_id, const Dimension& a) const;
  std::optional<Dimension> binary(std::uint64_t op_id, const Dimension& a, const Dimension& b) const;
  // The dimension of a whole formula; nullopt when some part of it is
  // inconsistent (a variable without a unit counts as unknown).
  std::optional<Dimension> of(const Expression& e) const;
  // The dimensions of a level's formulas, unknown for an inconsistent one.
  std::vector<Dimension> of_level(std::span<const Expression> level) const;

  // Whether a formula of dimension `d` may stand for the target: it has the
  // target's dimension, or can take it (Any); with no target unit, every
  // dimension may.
  bool fits_target(const Dimension& d) const;

  const UnitSettings& units() const { return units_; }

 private:
  UnitSettings units_;
  std::vector<DimensionRule> rules_;  // by operator id
};

// Applies a rule to dimensions (b unused by the unary rules); nullopt when
// they cannot be made consistent.
std::optional<Dimension> apply_dimension_rule(DimensionRule rule, const Dimension& a, const Dimension& b = {});

}  // namespace vok
