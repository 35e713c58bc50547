// Tests of leaves and composition: counts, parameter numbering, formula texts.
#include "core/expression.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "engine_helpers.hpp"

namespace vok {
namespace {

using testing_support::id_of;
constexpr std::uint64_t kVok = id_of(BuiltinKind::Vok);
constexpr std::uint64_t kSin = id_of(BuiltinKind::Sin);
constexpr std::uint64_t kPlus = id_of(BuiltinKind::Plus);
constexpr std::uint64_t kTimes = id_of(BuiltinKind::Times);
constexpr std::uint64_t kDivide = id_of(BuiltinKind::Divide);

std::vector<int> param_indices(const Expression& e) {
  std::vector<int> out;
  for (const Token& t : e.tokens) {
    if (t.kind == TokenKind::Parameter) out.push_back(t.index);
  }
  return out;
}

TEST(ExpressionLeaves, ParamLeaf) {
  const Expression c = param_leaf();
  ASSERT_EQ(c.tokens.size(), 1u);
  EXPECT_EQ(c.tokens[0].kind, TokenKind::Parameter);
  EXPECT_EQ(c.tokens[0].index, 0);
  EXPECT_EQ(c.tokens[0].value.re, 0.1);
  EXPECT_EQ(c.tokens[0].value.im, 0.0);
  EXPECT_EQ(c.formula, "C");
  EXPECT_EQ(c.complexity, 1u);
  EXPECT_EQ(c.num_vars, 0);
  EXPECT_EQ(c.num_params, 1);
}

TEST(ExpressionLeaves, VarLeaf) {
  const struct {
    std::uint8_t index;
    const char* formula;
  } rows[] = {{0, "v_{0}"}, {7, "v_{7}"}, {42, "v_{42}"}, {254, "v_{254}"}};
  for (const auto& r : rows) {
    const Expression v = var_leaf(r.index);
    ASSERT_EQ(v.tokens.size(), 1u);
    EXPECT_EQ(v.tokens[0].kind, TokenKind::Variable);
    EXPECT_EQ(v.tokens[0].index, r.index);
    EXPECT_EQ(v.formula, r.formula);
    EXPECT_EQ(v.complexity, 1u);
    EXPECT_EQ(v.num_vars, r.index + 1);
    EXPECT_EQ(v.num_params, 0);
  }
}

TEST(ExpressionCompose, UnaryOverVariable) {
  const Expression e = compose_unary(kSin, "Sin", var_leaf(2));
  ASSERT_EQ(e.tokens.size(), 2u);
  EXPECT_EQ(e.tokens[0].kind, TokenKind::Variable);
  EXPECT_EQ(e.tokens[1].kind, TokenKind::Apply);
  EXPECT_EQ(e.tokens[1].arity(), 1);
  EXPECT_EQ(e.tokens[1].op, kSin);
  EXPECT_EQ(e.formula, "Sin(v_{2})");
  EXPECT_EQ(e.complexity, 2u);
  EXPECT_EQ(e.num_vars, 3);
  EXPECT_EQ(e.num_params, 0);
}

TEST(ExpressionCompose, UnaryKeepsParameters) {
  Expression c = param_leaf();
  c.tokens[0].value = {2.5, 0.0};
  const Expression e = compose_unary(kSin, "Sin", c);
  EXPECT_EQ(e.num_params, 1);
  EXPECT_EQ(e.tokens[0].value.re, 2.5);
  EXPECT_EQ(e.formula, "Sin(C)");
}

TEST(ExpressionCompose, BinaryRenumbersRightParametersOnly) {
  const Expression c = param_leaf();
  const Expression e = compose_binary(kTimes, "Times", c, c);
  ASSERT_EQ(e.tokens.size(), 3u);
  EXPECT_EQ(e.tokens[0].kind, TokenKind::Parameter);
  EXPECT_EQ(e.tokens[0].index, 0);
  EXPECT_EQ(e.tokens[1].kind, TokenKind::Parameter);
  EXPECT_EQ(e.tokens[1].index, 1);
  EXPECT_EQ(e.tokens[1].value.re, 0.1);
  EXPECT_EQ(e.tokens[2].kind, TokenKind::Apply);
  EXPECT_EQ(e.tokens[2].arity(), 2);
  EXPECT_EQ(e.tokens[2].op, kTimes);
  EXPECT_EQ(e.formula, "Times(C, C)");
  EXPECT_EQ(e.complexity, 3u);
  EXPECT_EQ(e.num_params, 2);
  // The operand is not touched.
  EXPECT_EQ(c.tokens[0].index, 0);
}

TEST(ExpressionCompose, NestedParametersAreNumberedInOrderOfAppearance) {
  const Expression c = param_leaf();
  const Expression v0 = var_leaf(0);
  const Expression inner = compose_binary(kPlus, "Plus", c, v0);
  const Expression e = compose_binary(kTimes, "Times", c, inner);
  EXPECT_EQ(e.formula, "Times(C, Plus(C, v_{0}))");
  EXPECT_EQ(param_indices(e), (std::vector<int>{0, 1}));
  EXPECT_EQ(e.num_params, 2);
  EXPECT_EQ(param_indices(inner), (std::vector<int>{0}));

  const Expression cc = compose_binary(kPlus, "Plus", c, c);
  const Expression four = compose_binary(kTimes, "Times", cc, cc);
  EXPECT_EQ(param_indices(four), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(four.num_params, 4);
  EXPECT_EQ(four.complexity, 7u);
  EXPECT_EQ(four.complexity, four.tokens.size());
  EXPECT_EQ(four.formula, "Times(Plus(C, C), Plus(C, C))");
}

TEST(ExpressionCompose, BinaryCountsAndFormula) {
  const Expression e = compose_binary(kDivide, "Divide", var_leaf(0), var_leaf(3));
  EXPECT_EQ(e.num_vars, 4);
  EXPECT_EQ(compose_binary(kDivide, "Divide", var_leaf(3), var_leaf(0)).num_vars, 4);
  EXPECT_EQ(e.formula, "Divide(v_{0}, v_{3})");
  EXPECT_EQ(compose_binary(kDivide, "Divide", var_leaf(0), param_leaf()).formula, "Divide(v_{0}, C)");
  EXPECT_EQ(compose_binary(kVok, "VOK", var_leaf(0), param_leaf()).formula, "VOK(v_{0}, C)");
  // Left tokens first, then right tokens, then the operator.
  ASSERT_EQ(e.tokens.size(), 3u);
  EXPECT_EQ(e.tokens[0].index, 0);
  EXPECT_EQ(e.tokens[1].index, 3);
  EXPECT_EQ(e.tokens[2].op, kDivide);
}

TEST(ExpressionCompose, FittedValuesTravelWithTheirTokens) {
  Expression left = param_leaf();
  Expression right = param_leaf();
  left.tokens[0].value = {1.5, 0.0};
  right.tokens[0].value = {-2.0, 0.0};
  const Expression e = compose_binary(kPlus, "Plus", left, right);
  EXPECT_EQ(e.tokens[0].value.re, 1.5);
  EXPECT_EQ(e.tokens[1].value.re, -2.0);
  EXPECT_EQ(e.tokens[1].index, 1);
}

// The documented preconditions stop a debug build; a build with NDEBUG (the
// default RelWithDebInfo among them) only runs the calls, which wrap the
// 8-bit counts but touch no memory they do not own.
TEST(ExpressionDeathTest, PreconditionsAreCheckedInDebugBuilds) {
  EXPECT_DEBUG_DEATH(static_cast<void>(var_leaf(255)), "kMaxVariables");
  Expression many = param_leaf();
  many.num_params = 200;
  EXPECT_DEBUG_DEATH(static_cast<void>(compose_binary(kPlus, "Plus", many, many)), "kMaxParams");
  many.num_params = 254;  // exactly at the limit: allowed
  EXPECT_EQ(compose_binary(kPlus, "Plus", many, param_leaf()).num_params, 255);
}

}  // namespace
}  // namespace vok
