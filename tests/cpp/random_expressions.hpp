#pragma once

// Seeded random expressions for the C++ tests and the evaluator benchmark.

#include <cstddef>
#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

#include "core/expression.hpp"
#include "ops/builtin.hpp"
#include "ops/registry.hpp"

namespace vok::testing_support {

// Well-formed trees of an exact token count over the unary and binary
// operators of one registry; the leaves come from the caller, who knows what
// its test needs (variables, parameters, literals, named constants). Draws
// use raw rng() % n and the top 53 bits for doubles, never the <random>
// distributions, so a seed gives the same expressions with every standard
// library. Holds a reference to the registry, which must outlive it.
class RandomExpressions {
 public:
  RandomExpressions(std::uint64_t seed, const OperatorRegistry& registry)
      : registry_(registry), rng_(seed), unary_(registry.ids_by_arity(1)), binary_(registry.ids_by_arity(2)) {}

  // Uniform in [0, n); n > 0.
  std::uint64_t below(std::uint64_t n) { return rng_() % n; }
  // Uniform in [lo, hi).
  double uniform(double lo, double hi) { return lo + (hi - lo) * static_cast<double>(rng_() >> 11) * 0x1.0p-53; }

  // With these set, an inner node takes `unary` (or `binary`) one time in
  // `one_in` instead of a uniform draw, so that an operator of the registry
  // that would otherwise be one of many is exercised often.
  void favour(std::uint64_t unary, std::uint64_t binary, std::uint64_t one_in) {
    favoured_unary_ = unary;
    favoured_binary_ = binary;
    favour_one_in_ = one_in;
  }

  // A tree of exactly `size` >= 1 tokens; `leaf()` makes each leaf. An inner
  // node is unary when size == 2 and otherwise on a coin flip; a binary
  // node draws its left size, then its operator, then its left and right
  // operands, a unary one its operator and then its operand. Formula texts
  // use the registry's names.
  template <class Leaf>
  Expression tree(std::size_t size, Leaf&& leaf) {
    if (size == 1) return leaf();
    if (size == 2 || below(2) == 0) {
      const std::uint64_t id = draw(unary_, favoured_unary_);
      return compose_unary(id, name(id), tree(size - 1, leaf));
    }
    const std::size_t left_size = 1 + below(size - 2);
    const std::uint64_t id = draw(binary_, favoured_binary_);
    const Expression left = tree(left_size, leaf);
    const Expression right = tree(size - 1 - left_size, leaf);
    return compose_binary(id, name(id), left, right);
  }

  // A leaf of one of the registry's named constants (ids below
  // kFirstBuiltinId), holding the value that operator yields.
  Expression named_constant() {
    const std::uint64_t id = below(kFirstBuiltinId);
    Expression e = param_leaf();
    e.tokens[0] = Token::constant(id, registry_.operators()[id]->eval({}).value());
    e.num_params = 0;
    e.formula = registry_.meta()[id].name;
    return e;
  }

  // A leaf of one Literal token.
  static Expression literal(double v) {
    Expression e = param_leaf();
    e.tokens[0] = Token::literal(v);
    e.num_params = 0;
    e.formula = "lit";
    return e;
  }

 private:
  std::uint64_t draw(const std::vector<std::uint64_t>& ids, std::uint64_t favoured) {
    if (favour_one_in_ != 0 && below(favour_one_in_) == 0) return favoured;
    return ids[below(ids.size())];
  }
  std::string_view name(std::uint64_t id) const { return registry_.meta()[id].name; }

  const OperatorRegistry& registry_;
  std::mt19937_64 rng_;
  std::vector<std::uint64_t> unary_;
  std::vector<std::uint64_t> binary_;
  std::uint64_t favoured_unary_ = 0;
  std::uint64_t favoured_binary_ = 0;
  std::uint64_t favour_one_in_ = 0;  // 0: never
};

}  // namespace vok::testing_support
