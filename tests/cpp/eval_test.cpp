// Tests of the per-sample stack machine: tokens, guard, malformed input.
#include "eval/eval.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine_helpers.hpp"
#include "ops/registry.hpp"

namespace vok {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

using testing_support::id_named;
using testing_support::id_of;
using K = BuiltinKind;
constexpr std::uint64_t kNeg = id_of(K::Neg), kPlus = id_of(K::Plus), kSubtract = id_of(K::Subtract),
                        kDivide = id_of(K::Divide), kExp = id_of(K::Exp), kSqrt = id_of(K::Sqrt),
                        kTan = id_of(K::Tan);

class EvalTest : public testing::Test {
 protected:
  OperatorRegistry reg = OperatorRegistry::with_builtins();
  OperatorList ops() const { return reg.operators(); }

  std::optional<Complex> at(const Expression& e, std::vector<Complex> point) const {
    return eval(e, point, ops());
  }
  std::optional<Complex> run(std::vector<Token> tokens, std::vector<Complex> point = {}) const {
    std::vector<Complex> stack;
    return eval_internal(tokens, point, {}, ops(), stack);
  }
};

Expression bin(std::uint64_t id, const Expression& a, const Expression& b) {
  return compose_binary(id, "op", a, b);
}
Expression un(std::uint64_t id, const Expression& a) { return compose_unary(id, "op", a); }

TEST_F(EvalTest, ParameterStoredOrGivenValue) {
  const Expression c = param_leaf();
  const auto stored = eval(c, {}, ops());
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->re, 0.1);
  EXPECT_EQ(stored->im, 0.0);

  const std::vector<Complex> given = {{2.5, 0.0}};
  const auto with = eval_with_params(c, {}, given, ops());
  ASSERT_TRUE(with);
  EXPECT_EQ(with->re, 2.5);

  const auto empty = eval_with_params(c, {}, {}, ops());
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->re, 0.1);

  // Slots beyond the vector keep their stored value: 3 + 0.1.
  const Expression cc = bin(kPlus, param_leaf(), param_leaf());
  const std::vector<Complex> one = {{3.0, 0.0}};
  const auto partial = eval_with_params(cc, {}, one, ops());
  ASSERT_TRUE(partial);
  EXPECT_EQ(partial->re, 3.0 + 0.1);
}

TEST_F(EvalTest, OperandOrderIsLeftFirst) {
  const Expression v0 = var_leaf(0), v1 = var_leaf(1);
  const auto d = at(bin(kSubtract, v0, v1), {{5.0, 0.0}, {3.0, 0.0}});
  ASSERT_TRUE(d);
  EXPECT_EQ(d->re, 2.0);
  const auto q = at(bin(kDivide, v0, v1), {{1.0, 0.0}, {4.0, 0.0}});
  ASSERT_TRUE(q);
  EXPECT_EQ(q->re, 0.25);
}

TEST_F(EvalTest, MissingVariableGivesNoValue) {
  EXPECT_FALSE(at(bin(kPlus, var_leaf(0), var_leaf(1)), {{1.0, 0.0}}));
  EXPECT_FALSE(at(var_leaf(0), {}));
}

TEST_F(EvalTest, ExpMagnitudeGuard) {
  const Expression e = un(kExp, var_leaf(0));
  EXPECT_FALSE(at(e, {{40.0, 0.0}}));
  const auto v = at(e, {{30.0, 0.0}});
  ASSERT_TRUE(v);
  EXPECT_NEAR(v->re, 1.0686474581524463e13, 1e-2);
}

// Without the magnitude bound, large finite results are kept (x0 / exp(40)
// is an ordinary number), while overflow, NaN and domain failures still give
// no value; within the guard both machines give the same bits.
TEST_F(EvalTest, UnboundedKeepsLargeFiniteResultsOnly) {
  const Expression over = bin(kDivide, var_leaf(0), un(kExp, var_leaf(1)));
  const auto unbounded = [&](const Expression& e, std::vector<Complex> point) {
    std::vector<Complex> stack;
    return eval_unbounded(e.tokens, point, ops(), stack);
  };
  EXPECT_FALSE(at(over, {{2.0, 0.0}, {40.0, 0.0}}));
  const auto v = unbounded(over, {{2.0, 0.0}, {40.0, 0.0}});
  ASSERT_TRUE(v);
  EXPECT_EQ(v->re, 2.0 / std::exp(40.0));
  EXPECT_FALSE(unbounded(over, {{2.0, 0.0}, {800.0, 0.0}}));  // exp overflows
  EXPECT_FALSE(unbounded(over, {{2.0, 0.0}, {kNaN, 0.0}}));
  EXPECT_FALSE(unbounded(bin(kDivide, var_leaf(0), var_leaf(1)), {{1.0, 0.0}, {0.0, 0.0}}));
  const auto guarded = at(over, {{2.0, 0.0}, {3.0, 0.5}});
  const auto same = unbounded(over, {{2.0, 0.0}, {3.0, 0.5}});
  ASSERT_TRUE(guarded && same);
  EXPECT_EQ(guarded->re, same->re);
  EXPECT_EQ(guarded->im, same->im);
}

TEST_F(EvalTest, DivideByExactZero) {
  const Expression e = bin(kDivide, var_leaf(0), var_leaf(1));
  EXPECT_FALSE(at(e, {{1.0, 0.0}, {0.0, 0.0}}));
  const auto v = at(e, {{0.0, 0.0}, {1.0, 0.0}});
  ASSERT_TRUE(v);
  EXPECT_EQ(v->re, 0.0);
  EXPECT_EQ(v->im, 0.0);
}

TEST_F(EvalTest, LeavesArePushedUnchecked) {
  const Expression v = var_leaf(0);
  for (const double x : {1e300, kInf, -kInf, 1e15}) {
    const auto r = at(v, {{x, -x}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->re, x);
    EXPECT_EQ(r->im, -x);
  }
  const auto n = at(v, {{kNaN, 0.0}});
  ASSERT_TRUE(n);
  EXPECT_TRUE(std::isnan(n->re));
  // Any operator over such a value meets the guard.
  EXPECT_FALSE(at(un(kNeg, v), {{1e300, 0.0}}));
  EXPECT_FALSE(at(un(kSqrt, v), {{kNaN, 0.0}}));
  EXPECT_FALSE(at(un(kNeg, v), {{0.0, kInf}}));
}

TEST_F(EvalTest, GuardBoundIsExclusive) {
  const Expression sum = bin(kPlus, var_leaf(0), var_leaf(1));
  EXPECT_FALSE(at(sum, {{5e14, 0.0}, {5e14, 0.0}}));
  EXPECT_FALSE(at(sum, {{-5e14, 0.0}, {-5e14, 0.0}}));
  EXPECT_FALSE(at(sum, {{0.0, 5e14}, {0.0, 5e14}}));
  EXPECT_FALSE(at(sum, {{0.0, -5e14}, {0.0, -5e14}}));
  const double below = std::nextafter(1e15, 0.0);
  const auto ok = at(sum, {{below, -below}, {0.0, 0.0}});
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->re, below);
  EXPECT_EQ(ok->im, -below);
}

TEST_F(EvalTest, TanNearHalfPiIsDiscardedByTheGuard) {
  // The operator yields about 1.633e16; the evaluator rejects its magnitude.
  EXPECT_TRUE(reg.operators()[kTan]->eval(std::vector<Complex>{{1.5707963267948966, 0.0}}));
  EXPECT_FALSE(at(un(kTan, var_leaf(0)), {{1.5707963267948966, 0.0}}));
}

TEST_F(EvalTest, SignedZeroSurvives) {
  const auto r = at(un(kNeg, var_leaf(0)), {{0.0, 0.0}});
  ASSERT_TRUE(r);
  EXPECT_TRUE(std::signbit(r->re));
  EXPECT_TRUE(std::signbit(r->im));
}

TEST_F(EvalTest, LiteralAndConstantTokens) {
  // A literal's imaginary part is always 0; a constant's cached value is
  // used without calling the operator.
  Token lit = Token::literal(2.5);
  lit.value.im = 7.0;
  const auto l = run({lit});
  ASSERT_TRUE(l);
  EXPECT_EQ(l->re, 2.5);
  EXPECT_EQ(l->im, 0.0);

  const auto c = run({Token::constant(id_named("Pi"), {42.0, 1.0})});
  ASSERT_TRUE(c);
  EXPECT_EQ(c->re, 42.0);
  EXPECT_EQ(c->im, 1.0);

  const auto sum = run({Token::constant(id_named("I"), {0.0, 1.0}), Token::literal(1.0), Token::apply(2, kPlus)});
  ASSERT_TRUE(sum);
  EXPECT_EQ(sum->re, 1.0);
  EXPECT_EQ(sum->im, 1.0);
}

TEST_F(EvalTest, ArityZeroApplyCallsTheConstant) {
  const auto pi = run({Token::apply(0, id_named("Pi"))});
  ASSERT_TRUE(pi);
  EXPECT_EQ(pi->re, 3.141592653589793);
}

TEST_F(EvalTest, MalformedSequencesGiveNoValue) {
  const Token v0 = Token::variable(0);
  const std::vector<Complex> x = {{1.0, 0.0}};
  EXPECT_FALSE(run({}, x));                                         // empty
  EXPECT_FALSE(run({v0, v0}, x));                                   // two values left
  EXPECT_FALSE(run({v0, Token::apply(2, kPlus)}, x));               // too few operands
  EXPECT_FALSE(run({Token::apply(1, kNeg)}, x));                    // nothing to pop
  const std::uint64_t past = reg.size();
  EXPECT_FALSE(run({v0, Token::apply(1, past)}, x));                // id past the table
  EXPECT_FALSE(run({v0, Token::apply(1, ~std::uint64_t{0})}, x));  // far past
  EXPECT_FALSE(run({Token::constant(past, {1.0, 0.0})}, x));        // constant id past the table
  EXPECT_FALSE(run({v0, Token::apply(1, kPlus)}, x));               // arity disagrees with operator
  Token bad = Token::variable(0);
  bad.kind = static_cast<TokenKind>(9);
  EXPECT_FALSE(run({bad}, x));  // unknown tag
}

TEST_F(EvalTest, InternalClearsAndReusesCallerStack) {
  const Expression e = bin(kPlus, var_leaf(0), param_leaf());
  std::vector<Complex> stack = {{9.0, 9.0}, {8.0, 8.0}, {7.0, 7.0}};
  const std::vector<Complex> params = {{2.0, 0.0}};
  for (const double x : {1.0, 2.0, 3.0}) {
    const std::vector<Complex> point = {{x, 0.0}};
    const auto r = eval_internal(e.tokens, point, params, ops(), stack);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->re, x + 2.0);
  }
  // A failed run leaves junk; the next run must not see it.
  EXPECT_FALSE(eval_internal(e.tokens, std::vector<Complex>{}, params, ops(), stack));
  const auto again = eval_internal(e.tokens, std::vector<Complex>{{1.0, 0.0}}, params, ops(), stack);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->re, 3.0);
}

}  // namespace
}  // namespace vok
