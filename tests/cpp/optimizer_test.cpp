// Tests of constant refinement and of the error with given parameters.
#include "engine/refine/optimizer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "engine/refine/reference.hpp"
#include "engine_helpers.hpp"

namespace vok {
namespace {

using namespace testing_support;
// The per-sample reference overloads, which these tests compare with.
using namespace reference;

std::vector<ComplexRow> rows_of(std::initializer_list<double> xs) {
  std::vector<ComplexRow> rows;
  for (double x : xs) rows.push_back({{x, 0.0}});
  return rows;
}

Expression with_param(Expression e, std::size_t token, Complex value) {
  e.tokens[token].value = value;
  return e;
}

TEST(RefineConstants, FitsParameterTimesXToTwoFourSix) {
  const Expression e = with_param(bin(BuiltinKind::Times, C(), v(0)), 0, {1.0, 0.0});
  const auto rows = rows_of({1, 2, 3});
  const std::vector<double> targets{2, 4, 6};
  const auto [refined, error] = refine_constants(e, rows, targets, 0.0, 0.5, builtins(), 10);
  EXPECT_NEAR(refined.tokens[0].value.re, 2.0, 1e-6);
  EXPECT_LT(error, 1e-9);
  EXPECT_EQ(refined.formula, e.formula);
  EXPECT_EQ(refined.complexity, e.complexity);
  EXPECT_EQ(refined.num_params, 1);
}

// A scale and a rate are correlated: the diagonal steps of C * exp(C * x)
// overshoot and stall, the coupled ones reach the law within ten
// iterations from the same start, on both evaluation paths alike.
TEST(RefineConstants, CoupledStepsFitCorrelatedConstantsWhereDiagonalOnesStall) {
  const Expression e =
      with_param(with_param(bin(BuiltinKind::Times, C(), un(BuiltinKind::Exp, bin(BuiltinKind::Times, C(), v(0)))), 0,
                            {0.1, 0.0}),
                 1, {0.8, 0.0});
  std::vector<ComplexRow> rows;
  std::vector<double> targets;
  for (int i = 0; i < 30; ++i) {
    const double x = -2.0 + 4.0 * i / 29.0;
    rows.push_back({{x, 0.0}});
    targets.push_back(1.5 * std::exp(0.7 * x));
  }
  const auto diagonal = refine_constants(e, rows, targets, 0.0, 0.5, builtins(), 10);
  const auto coupled = refine_constants(e, rows, targets, 0.0, 0.5, builtins(), 10, nullptr, kCoupledRefine);
  EXPECT_GT(diagonal.second, 1.0);
  EXPECT_LT(coupled.second, 1e-18);
  EXPECT_NEAR(coupled.first.tokens[0].value.re, 1.5, 1e-9);
  EXPECT_NEAR(coupled.first.tokens[1].value.re, 0.7, 1e-9);
}

TEST(RefineConstants, WithoutParametersReturnsCopyAndPlainError) {
  const Expression e = un(BuiltinKind::Square, v(0));
  const auto rows = rows_of({1, 2});
  const std::vector<double> targets{0, 0};
  for (std::size_t iterations : {std::size_t{0}, std::size_t{1}, std::size_t{50}}) {
    const auto [refined, error] = refine_constants(e, rows, targets, 3.0, 0.5, builtins(), iterations);
    EXPECT_TRUE(same_expression(refined, e));
    EXPECT_EQ(error, (1.0 + 16.0) / 2.0);  // no Literal: alpha adds nothing
  }
}

TEST(RefineConstants, StartAtOptimumKeepsValuesAndZeroesImaginaryPart) {
  // g = 0 at the optimum: every step equals the start, is not strictly better
  // and is rejected; the third rejection ends the run.
  const Expression e = with_param(C(), 0, {0.1, 0.7});
  const auto rows = rows_of({5, 6});
  const std::vector<double> targets{0.1, 0.1};
  const auto [refined, error] = refine_constants(e, rows, targets, 0.0, 0.5, builtins(), 30);
  ASSERT_EQ(refined.tokens.size(), 1u);
  EXPECT_EQ(refined.tokens[0].kind, TokenKind::Parameter);
  EXPECT_EQ(refined.tokens[0].index, 0);
  EXPECT_EQ(refined.tokens[0].value.re, 0.1);
  EXPECT_EQ(refined.tokens[0].value.im, 0.0);
  EXPECT_EQ(error, 0.0);
}

TEST(RefineConstants, ReturnedErrorIsTheErrorOfTheReturnedValues) {
  const Expression e = bin(BuiltinKind::Plus, bin(BuiltinKind::Times, C(), v(0)), C());
  const auto rows = rows_of({-1, 0, 1, 2});
  const std::vector<double> targets{-0.7, 1.2, 3.1, 5.0};
  for (double alpha : {0.0, 0.3}) {
    const auto [refined, error] = refine_constants(e, rows, targets, alpha, 0.25, builtins(), 30);
    const std::vector<double> p{refined.tokens[0].value.re, refined.tokens[3].value.re};
    EXPECT_EQ(error, compute_error_with_params(refined, p, rows, targets, alpha, 0.25, builtins()));
    const double start = compute_error_with_params(e, std::vector<double>{0.1, 0.1}, rows, targets,
                                                   alpha, 0.25, builtins());
    EXPECT_LT(error, start);
  }
}

// A stop that says yes at its (k + 1)-th question ends the fit after k
// iterations: exactly the fit bounded to k, on both evaluation paths.
TEST(RefineConstants, StopBeforeAnIterationEndsTheFitThere) {
  const Expression e = with_param(bin(BuiltinKind::Plus, bin(BuiltinKind::Times, C(), un(BuiltinKind::Exp, v(0))), C()),
                                  0, {0.3, 0.0});
  std::vector<ComplexRow> rows;
  std::vector<double> targets;
  for (int i = 0; i < 300; ++i) {
    const double x = -1.0 + i / 150.0;
    rows.push_back({{x, 0.0}});
    targets.push_back(1.7 * std::exp(x) - 0.4);
  }
  for (const EvalPath path : {EvalPath::Fast, EvalPath::PerSample}) {
    const SampleSet samples(rows, targets, std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins()), path);
    for (std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
      std::size_t asked = 0;
      const std::function<bool()> stop = [&] { return asked++ == k; };
      const auto stopped = vok::refine_constants(e, samples, 0.01, 0.5, 50, nullptr, &stop);
      const auto bounded = vok::refine_constants(e, samples, 0.01, 0.5, k);
      EXPECT_EQ(asked, k + 1);
      EXPECT_TRUE(same_expression(stopped.first, bounded.first)) << k;
      EXPECT_EQ(stopped.second, bounded.second) << k;
    }
    // A stop that never says yes changes nothing.
    const std::function<bool()> never = [] { return false; };
    const auto free = vok::refine_constants(e, samples, 0.01, 0.5, 50, nullptr, &never);
    const auto plain = vok::refine_constants(e, samples, 0.01, 0.5, 50);
    EXPECT_TRUE(same_expression(free.first, plain.first));
    EXPECT_EQ(free.second, plain.second);
    EXPECT_LT(plain.second, vok::refine_constants(e, samples, 0.01, 0.5, 0).second / 100);
  }
}

TEST(ComputeErrorWithParams, PenaltyOverParametersThenLiterals) {
  // Plus(C, 2.0): parameter 3 and literal 2 give L1 = 5, L2 = 13.
  Expression e;
  e.tokens = {Token::parameter(0, {0.1, 0.0}), Token::literal(2.0), Token::apply(2, id_of(BuiltinKind::Plus))};
  e.formula = "Plus(C, 2)";
  e.complexity = 3;
  e.num_params = 1;
  const auto rows = rows_of({0, 0});
  const std::vector<double> targets{4.0, 6.0};
  const std::vector<double> p{3.0};
  const double mse = (1.0 + 1.0) / 2.0;
  EXPECT_EQ(compute_error_with_params(e, p, rows, targets, 2.0, 0.25, builtins()),
            mse + 2.0 * (0.25 * 5.0 + 0.5 * (1.0 - 0.25) * 13.0));
  EXPECT_EQ(compute_error_with_params(e, p, rows, targets, 0.0, 0.25, builtins()), mse);
}

TEST(ComputeErrorWithParams, NoValueOnASampleIsInfinite) {
  const Expression e = un(BuiltinKind::Log, bin(BuiltinKind::Times, C(), v(0)));
  const auto rows = rows_of({1, 0});
  const std::vector<double> targets{0, 0};
  EXPECT_EQ(compute_error_with_params(e, std::vector<double>{1.0}, rows, targets, 0.0, 0.5, builtins()),
            std::numeric_limits<double>::infinity());
}

TEST(ComputeErrorWithParams, InfinitePenaltyTimesZeroAlphaIsNaN) {
  const Expression e = C();
  const auto rows = rows_of({0});
  const std::vector<double> targets{0};
  const double big = std::numeric_limits<double>::max();
  // |p|^2 overflows to infinity; 0 * inf is NaN.
  EXPECT_TRUE(std::isnan(compute_error_with_params(e, std::vector<double>{big}, rows, targets, 0.0,
                                                   0.5, builtins())));
}

}  // namespace
}  // namespace vok
