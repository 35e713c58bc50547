// Tests of raw errors, penalised scores and candidate scoring.
#include "engine/fitness/scoring.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/refine/reference.hpp"
#include "engine_helpers.hpp"

namespace vok {
namespace {

using namespace testing_support;
// The per-sample reference overloads, which these tests compare with.
using namespace reference;

constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<ComplexRow> rows_of(std::initializer_list<double> xs) {
  std::vector<ComplexRow> rows;
  for (double x : xs) rows.push_back({{x, 0.0}});
  return rows;
}

TEST(ComputeRawError, LeafCExample) {
  const auto rows = rows_of({0, 0});
  const std::vector<double> targets{0.1, 0.3};
  EXPECT_DOUBLE_EQ(compute_raw_error(C(), rows, targets, builtins(), 0.0, 0.5), 0.02);
  EXPECT_DOUBLE_EQ(compute_raw_error(C(), rows, targets, builtins(), 1.0, 0.5), 0.0725);
  // Exactly as written: mse + alpha * (((1 - l1) * 0.5) * L2 + L1 * l1).
  const double mse = ((0.1 - 0.1) * (0.1 - 0.1) + (0.1 - 0.3) * (0.1 - 0.3)) / 2.0;
  EXPECT_EQ(compute_raw_error(C(), rows, targets, builtins(), 1.0, 0.5),
            mse + 1.0 * (((1.0 - 0.5) * 0.5) * (0.1 * 0.1) + 0.1 * 0.5));
}

TEST(ComputeRawError, ImaginaryPartIsIgnored) {
  // Sqrt of a negative input is purely imaginary: the real part 0 is scored.
  const auto rows = rows_of({-4, -9});
  const std::vector<double> targets{1, 1};
  EXPECT_EQ(compute_raw_error(un(BuiltinKind::Sqrt, v(0)), rows, targets, builtins(), 0.0, 0.5), 1.0);
}

struct UnusableCase {
  double input;
};
class UnusableValue : public ::testing::TestWithParam<UnusableCase> {};

TEST_P(UnusableValue, BareVariableOutsideTheGuardIsInfinite) {
  const auto rows = rows_of({0.5, GetParam().input});
  const std::vector<double> targets{0, 0};
  EXPECT_EQ(compute_raw_error(v(0), rows, targets, builtins(), 0.0, 0.5), kInf);
}

INSTANTIATE_TEST_SUITE_P(Cases, UnusableValue,
                         ::testing::Values(UnusableCase{1e15}, UnusableCase{-1e15}, UnusableCase{kInf},
                                           UnusableCase{std::numeric_limits<double>::quiet_NaN()}));

TEST(ComputeRawError, JustBelowTheGuardIsUsable) {
  const auto rows = rows_of({999999999999999.875});
  const std::vector<double> targets{0};
  EXPECT_TRUE(std::isfinite(compute_raw_error(v(0), rows, targets, builtins(), 0.0, 0.5)));
}

TEST(ComputeRawError, ConstantTokensCarryNoPenaltyButLiteralsDo) {
  Expression constant;
  constant.tokens = {Token::constant(id_named("Pi"), {3.141592653589793, 0.0})};
  constant.formula = "Pi";
  constant.complexity = 1;
  Expression literal = constant;
  literal.tokens = {Token::literal(3.141592653589793)};
  const auto rows = rows_of({0});
  const std::vector<double> targets{3.141592653589793};
  EXPECT_EQ(compute_raw_error(constant, rows, targets, builtins(), 1.0, 0.5), 0.0);
  EXPECT_GT(compute_raw_error(literal, rows, targets, builtins(), 1.0, 0.5), 1.0);
}

TEST(ComputeRawError, OverflowingPenaltyWithZeroAlphaIsNaN) {
  // Times(1e308, v_{0}) at 0 evaluates fine, but L2 = 1e616 overflows and
  // 0 * inf is NaN.
  Expression e;
  e.tokens = {Token::literal(1e308), Token::variable(0), Token::apply(2, id_of(BuiltinKind::Times))};
  e.formula = "Times(1e308, v_{0})";
  e.complexity = 3;
  e.num_vars = 1;
  const auto rows = rows_of({0});
  const std::vector<double> targets{0};
  EXPECT_TRUE(std::isnan(compute_raw_error(e, rows, targets, builtins(), 0.0, 0.5)));
  SearchConfig config;
  EXPECT_FALSE(score_candidate(e, rows, targets, config, builtins()).has_value());
}

TEST(PenalisedScore, MultipliesByComplexityFactor) {
  EXPECT_DOUBLE_EQ(penalised_score(0.2, 3, 0.1), 0.26);
  EXPECT_EQ(penalised_score(0.2, 3, 0.1), 0.2 * (3.0 * 0.1 + 1.0));
  EXPECT_EQ(unpenalised_error(0.2 * (3.0 * 0.1 + 1.0), 3, 0.1), (0.2 * 1.3) / 1.3);
}

TEST(ScoreAndUpdate, OffersOnlyFiniteErrors) {
  ParetoFront front;
  const auto rows = rows_of({0, 1});
  const std::vector<double> targets{0, 1};
  score_and_update(un(BuiltinKind::Log, v(0)), rows, targets, front, 0.0, 0.5, builtins());
  EXPECT_EQ(front.size(), 0u);
  score_and_update(v(0), rows, targets, front, 0.0, 0.5, builtins());
  ASSERT_EQ(front.size(), 1u);
  front.for_each([](std::size_t c, double e, const Expression&) {
    EXPECT_EQ(c, 1u);
    EXPECT_EQ(e, 0.0);
  });
}

TEST(ScoreCandidate, RefinesParametersAndScoresTheRefinedError) {
  const auto rows = rows_of({1, 2, 3});
  const std::vector<double> targets{2, 4, 6};
  SearchConfig config;
  const auto scored = score_candidate(bin(BuiltinKind::Times, C(), v(0)), rows, targets, config, builtins());
  ASSERT_TRUE(scored.has_value());
  EXPECT_NEAR(scored->first.tokens[0].value.re, 2.0, 1e-6);
  EXPECT_LT(scored->second, 1e-9);
}

TEST(ScoreCandidate, KeepsOriginalWhenRefinementIsNotStrictlyBetter) {
  // C = 0.1 already fits exactly: refinement cannot improve strictly.
  const auto rows = rows_of({0, 0});
  const std::vector<double> targets{0.1, 0.1};
  SearchConfig config;
  const auto scored = score_candidate(C(), rows, targets, config, builtins());
  ASSERT_TRUE(scored.has_value());
  EXPECT_TRUE(same_expression(scored->first, C()));
  EXPECT_EQ(scored->second, 0.0);
}

TEST(ScoreCandidate, SwitchOffSkipsRefinement) {
  const auto rows = rows_of({1, 2, 3});
  const std::vector<double> targets{2, 4, 6};
  SearchConfig config;
  config.optimize_constants = false;
  const Expression e = bin(BuiltinKind::Times, C(), v(0));
  const auto scored = score_candidate(e, rows, targets, config, builtins());
  ASSERT_TRUE(scored.has_value());
  EXPECT_TRUE(same_expression(scored->first, e));
  EXPECT_EQ(scored->second,
            penalised_score(compute_raw_error(e, rows, targets, builtins(), 0.0, 0.5), 3, 0.1));
}

TEST(ScoreCandidate, DropsUnusableCandidates) {
  const auto rows = rows_of({1, 0});
  const std::vector<double> targets{0, 0};
  SearchConfig config;
  EXPECT_FALSE(score_candidate(un(BuiltinKind::Inv, v(0)), rows, targets, config, builtins()).has_value());
}

}  // namespace
}  // namespace vok

namespace vok {
namespace {

using namespace testing_support;

// Targets x^2 at x = 1..4: the best line through them leaves residuals
// 1, -1, -1, 1, an affine error of exactly 1, whatever a candidate linear in
// x is scaled or shifted by.
struct ScreenCase {
  const char* name;
  double factor;
  bool with_constant;
  double rank_threshold;
  double error_threshold;
  Ranking ranking;
  bool dropped;
};
class Screen : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(Screen, DropsOnlyWhatIsFarBehindBothThresholds) {
  const ScreenCase& c = GetParam();
  auto registry = std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins());
  const SampleSet samples(Dataset(4, 1, {1.0, 2.0, 3.0, 4.0}, {1.0, 4.0, 9.0, 16.0}), registry);
  const Expression e = c.with_constant ? bin(BuiltinKind::Plus, v(0), C()) : bin(BuiltinKind::Plus, v(0), v(0));
  SearchConfig config;
  config.screen_factor = c.factor;
  config.ranking = c.ranking;
  std::vector<double> f;
  ASSERT_TRUE(usable_real_parts(e, samples, f));
  EXPECT_EQ(screened_out(e, f, samples, config, LevelScreen{c.rank_threshold, c.error_threshold}), c.dropped);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Under affine ranking x0 + C ranks 1.3 (affine error 1, complexity 3);
// under raw ranking its raw error at C = 0.1 is far larger.
INSTANTIATE_TEST_SUITE_P(
    Cases, Screen,
    ::testing::Values(ScreenCase{"far_behind_both", 3.0, true, 0.1, 0.1, Ranking::Affine, true},
                      ScreenCase{"off", 0.0, true, 0.0, 0.0, Ranking::Affine, false},
                      ScreenCase{"without_constants", 3.0, false, 0.1, 0.1, Ranking::Affine, false},
                      ScreenCase{"rank_within_the_factor", 3.0, true, 0.5, 0.1, Ranking::Affine, false},
                      ScreenCase{"rank_just_behind", 3.0, true, 0.43, 0.1, Ranking::Affine, true},
                      // Its rescalings could still reach an error of 1.
                      ScreenCase{"affine_fit_within_the_factor", 3.0, true, 0.1, 0.34, Ranking::Affine, false},
                      ScreenCase{"raw_rank", 3.0, true, 2.0, 0.1, Ranking::Raw, true},
                      ScreenCase{"no_thresholds_yet", 3.0, true, kInf, kInf, Ranking::Affine, false},
                      ScreenCase{"nan_thresholds", 3.0, true, kNaN, kNaN, Ranking::Affine, false}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace vok
