#pragma once

// Helpers shared by the C++ tests: operator ids, expression builders, comparisons.

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/expression.hpp"
#include "ops/builtin.hpp"
#include "ops/registry.hpp"

namespace vok::testing_support {

// Operator ids by kind or by name, never as bare numbers, so that a change
// to the order of the operator table cannot silently change what a test
// checks.
constexpr std::uint64_t id_of(BuiltinKind k) { return kFirstBuiltinId + static_cast<std::uint64_t>(k); }
inline const OperatorRegistry& builtins() {
  static const OperatorRegistry registry = OperatorRegistry::with_builtins();
  return registry;
}
// The id of the built-in registry's operator called `name` (a named constant
// such as "Pi", which has no BuiltinKind); fails the test when there is none.
inline std::uint64_t id_named(std::string_view name) {
  const auto& meta = builtins().meta();
  for (std::uint64_t id = 0; id < meta.size(); ++id) {
    if (meta[id].name == name) return id;
  }
  ADD_FAILURE() << "no built-in operator is named " << name;
  return meta.size();
}
inline std::string name_of(BuiltinKind k) { return builtins().meta()[id_of(k)].name; }

inline Expression un(BuiltinKind k, const Expression& e) { return compose_unary(id_of(k), name_of(k), e); }
inline Expression bin(BuiltinKind k, const Expression& a, const Expression& b) {
  return compose_binary(id_of(k), name_of(k), a, b);
}
inline Expression v(std::uint8_t i) { return var_leaf(i); }
inline Expression C() { return param_leaf(); }

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Field-by-field, with values compared bit for bit.
inline bool same_expression(const Expression& a, const Expression& b) {
  if (a.formula != b.formula || a.complexity != b.complexity || a.num_vars != b.num_vars ||
      a.num_params != b.num_params || a.tokens.size() != b.tokens.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.tokens.size(); ++i) {
    const Token& x = a.tokens[i];
    const Token& y = b.tokens[i];
    if (x.kind != y.kind || x.index != y.index || x.op != y.op || !same_bits(x.value.re, y.value.re) ||
        !same_bits(x.value.im, y.value.im)) {
      return false;
    }
  }
  return true;
}

// A search's data: one row of inputs per target.
struct SearchData {
  std::vector<std::vector<double>> rows;
  std::vector<double> targets;
};

// The bits of the operators `kinds` in a SearchConfig::disabled_operators.
inline std::uint64_t mask_of(std::initializer_list<BuiltinKind> kinds) {
  std::uint64_t mask = 0;
  for (const BuiltinKind k : kinds) mask |= std::uint64_t{1} << id_of(k);
  return mask;
}
// SearchConfig::disabled_operators for a search that keeps only `kept`
// of the built-in operators.
inline std::uint64_t disabled_all_but(std::initializer_list<BuiltinKind> kept) {
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < kBuiltinCount; ++i) mask |= std::uint64_t{1} << (kFirstBuiltinId + i);
  return mask & ~mask_of(kept);
}
// The operators `e` applies that are among the bits of `mask`, by name.
inline std::vector<std::string> applied_among(const Expression& e, std::uint64_t mask) {
  std::vector<std::string> out;
  for (const Token& t : e.tokens) {
    if (t.kind == TokenKind::Apply && t.op < 64 && ((mask >> t.op) & 1u) != 0) {
      out.push_back(builtins().meta()[t.op].name);
    }
  }
  return out;
}

inline std::vector<std::string> formulas(const std::vector<Expression>& es) {
  std::vector<std::string> out;
  for (const auto& e : es) out.push_back(e.formula);
  return out;
}

}  // namespace vok::testing_support
