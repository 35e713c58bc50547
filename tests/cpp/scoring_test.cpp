// Tests of raw errors, penalised scores and candidate scoring.
#include "engine/fitness/scoring.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "engine/fitness/scaling.hpp"
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


// y = 1.5 * x + 0.25 on 40 samples, samples 3, 17 and 30 outliers (+40),
// with `weights` (empty: none).
constexpr std::size_t kLine = 40;
bool outlier(std::size_t i) { return i == 3 || i == 17 || i == 30; }
SampleSet line_samples(std::vector<double> weights) {
  std::vector<double> xs, ys;
  for (std::size_t i = 0; i < kLine; ++i) {
    const double x = 0.5 + static_cast<double>(i) / 20.0;
    xs.push_back(x);
    ys.push_back(1.5 * x + 0.25 + (outlier(i) ? 40.0 : 0.0));
  }
  return SampleSet(Dataset(kLine, 1, xs, ys).with_weights(std::move(weights)),
                   std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins()));
}

// Weight 0 on the outliers, the rest scaled to a mean of 1.
std::vector<double> outliers_out() {
  std::vector<double> w(kLine);
  for (std::size_t i = 0; i < kLine; ++i) w[i] = outlier(i) ? 0.0 : double(kLine) / double(kLine - 3);
  return w;
}

std::vector<double> parameters(const Expression& e) {
  std::vector<double> out;
  for (const Token& t : e.tokens) {
    if (t.kind == TokenKind::Parameter) out.push_back(t.value.re);
  }
  return out;
}

Expression affine_in_x() { return bin(BuiltinKind::Plus, bin(BuiltinKind::Times, C(), v(0)), C()); }

TEST(WeightedScoring, WeightsOfOneAddTheBitsOfNoWeights) {
  const SampleSet plain = line_samples({});
  const SampleSet ones = line_samples(std::vector<double>(kLine, 1.0));
  ASSERT_EQ(plain.weights(), nullptr);
  ASSERT_NE(ones.weights(), nullptr);
  SearchConfig config;
  for (const Expression& e : {v(0), un(BuiltinKind::Sqrt, v(0)), affine_in_x()}) {
    const double raw = vok::compute_raw_error(e, plain, 0.01, 0.5);
    EXPECT_TRUE(same_bits(raw, vok::compute_raw_error(e, ones, 0.01, 0.5)));
    EXPECT_TRUE(same_bits(affine_rank_score(e, plain, config, raw), affine_rank_score(e, ones, config, raw)));
    const auto a = vok::score_candidate(e, plain, config);
    const auto b = vok::score_candidate(e, ones, config);
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(same_bits(a->second, b->second));
    EXPECT_TRUE(same_expression(a->first, b->first));
  }
  std::vector<double> f;
  ASSERT_TRUE(usable_real_parts(un(BuiltinKind::Sqrt, v(0)), plain, f));
  const ScaledFits unweighted = scaling_fits(f, plain.targets());
  const ScaledFits weighted = scaling_fits(f, ones.targets(), ones.weights());
  for (std::size_t k = 0; k < kScaledKinds; ++k) {
    ASSERT_EQ(unweighted[k].has_value(), weighted[k].has_value());
    if (unweighted[k]) {
      EXPECT_TRUE(same_bits(unweighted[k]->a, weighted[k]->a) && same_bits(unweighted[k]->b, weighted[k]->b));
    }
  }
}

TEST(WeightedScoring, TheErrorIsTheWeightedMeanOfTheSquares) {
  std::vector<double> w(kLine);
  for (std::size_t i = 0; i < kLine; ++i) w[i] = (i % 4 == 0) ? 2.5 : 0.5;  // mean 1
  const SampleSet samples = line_samples(w);
  double sum = 0.0;
  for (std::size_t i = 0; i < kLine; ++i) {
    const double d = samples.dataset()->at(i, 0) - samples.targets()[i];
    sum += w[i] * (d * d);
  }
  EXPECT_EQ(vok::compute_raw_error(v(0), samples, 0.0, 0.5), sum / double(kLine));
}

TEST(WeightedScoring, ZeroWeightsLeaveOutliersOutOfRefinementRankingAndRescaling) {
  const SampleSet samples = line_samples(outliers_out());
  SearchConfig config;
  const auto [refined, error] = vok::refine_constants(affine_in_x(), samples, 0.0, 0.5, 2000);
  const std::vector<double> p = parameters(refined);
  ASSERT_EQ(p.size(), 2u);
  // To the refinement's own tolerance; unweighted, the outliers keep the error above 1.
  EXPECT_NEAR(p[0], 1.5, 1e-3);
  EXPECT_NEAR(p[1], 0.25, 1e-3);
  EXPECT_LT(error, 1e-6);
  EXPECT_GT(vok::refine_constants(affine_in_x(), line_samples({}), 0.0, 0.5, 2000).second, 1.0);
  // x itself is an exact line through the kept samples, to round-off.
  EXPECT_LT(affine_rank_score(v(0), samples, config, 1.0), 1e-12);
  std::vector<double> f;
  ASSERT_TRUE(usable_real_parts(v(0), samples, f));
  const auto affine = scaling_fits(f, samples.targets(), samples.weights())[2];
  ASSERT_TRUE(affine);
  EXPECT_NEAR(affine->a, 1.5, 1e-12);
  EXPECT_NEAR(affine->b, 0.25, 1e-12);
  // Unweighted, the outliers pull the fit away.
  const SampleSet plain = line_samples({});
  EXPECT_GT(affine_rank_score(v(0), plain, config, 1.0), 1.0);
}

// The rank and the rescalings share one pass over a candidate's values:
// the plain sums must leave the centred ones, and so the rank, unchanged.
TEST(WeightedScoring, OneSetOfSumsServesTheRankAndTheRescalings) {
  std::vector<double> w(kLine);
  for (std::size_t i = 0; i < kLine; ++i) w[i] = (i % 2 == 0) ? 1.5 : 0.5;  // mean 1
  SearchConfig config;
  for (const SampleSet& samples : {line_samples({}), line_samples(w)}) {
    std::vector<double> f;
    ASSERT_TRUE(usable_real_parts(un(BuiltinKind::Sqrt, v(0)), samples, f));
    const LineSums centred = line_sums(f, samples.targets(), samples.weights(), false);
    const LineSums both = line_sums(f, samples.targets(), samples.weights(), true);
    for (const auto& [x, y] : {std::pair{centred.mf, both.mf}, {centred.mt, both.mt}, {centred.sff, both.sff},
                               {centred.sft, both.sft}, {centred.stt, both.stt}}) {
      EXPECT_TRUE(same_bits(x, y));
    }
    EXPECT_EQ(centred.pff, 0.0);
    EXPECT_GT(both.pff, 0.0);
    const double raw = vok::compute_raw_error(un(BuiltinKind::Sqrt, v(0)), samples, 0.0, 0.5);
    const double rank = affine_rank_score(un(BuiltinKind::Sqrt, v(0)), samples, config, raw, f);
    EXPECT_NE(rank, raw);  // the fit's, not the fallback
    EXPECT_TRUE(same_bits(rank, affine_rank_score(un(BuiltinKind::Sqrt, v(0)), samples, config, raw, both)));
    const ScaledFits from_values = scaling_fits(f, samples.targets(), samples.weights());
    const ScaledFits from_sums = scaling_fits(both);
    for (std::size_t k = 0; k < kScaledKinds; ++k) {
      ASSERT_EQ(from_values[k].has_value(), from_sums[k].has_value());
      if (!from_values[k]) continue;
      EXPECT_TRUE(same_bits(from_values[k]->a, from_sums[k]->a));
      EXPECT_TRUE(same_bits(from_values[k]->b, from_sums[k]->b));
      EXPECT_TRUE(same_bits(from_values[k]->least_error, from_sums[k]->least_error));
    }
  }
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
  const LevelScreen screen{c.rank_threshold, c.error_threshold};
  // x0 + C moved is x0 + C + step: the first step's fit adds nothing to the
  // affine one, so the doubt decides.
  std::vector<double> moved;
  std::vector<std::span<const double>> columns;
  if (c.with_constant) {
    ASSERT_TRUE(moved_real_parts(e, samples, 0, moved));
    columns.emplace_back(moved);
  }
  EXPECT_EQ(screen_doubts(e, f, samples, config, screen) && screened_out(e, f, columns, samples, config, screen),
            c.dropped);
}

// A constant that enters linearly is judged at the value a first step of
// refinement gives it, not at the one it starts from: (x0 + C) * x0^3
// starts at C = 0.1, far from the targets x^4 + x^3, and is kept; a formula
// no value of C makes fit is dropped under the same thresholds.
TEST(ScreenStep, KeepsAConstantThatEntersLinearlyAndDropsWhatNoStepFits) {
  auto registry = std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins());
  std::vector<double> xs, targets;
  for (double x = 1.0; x <= 6.0; x += 0.5) {
    xs.push_back(x);
    targets.push_back(x * x * x * x + x * x * x);
  }
  const SampleSet samples(Dataset(xs.size(), 1, xs, targets), registry);
  SearchConfig config;
  config.screen_factor = 1.0;
  config.ranking = Ranking::Affine;
  const LevelScreen screen{1e-9, 1e-9};
  const auto verdict = [&](const Expression& e) {
    std::vector<double> f, moved;
    EXPECT_TRUE(usable_real_parts(e, samples, f));
    EXPECT_TRUE(screen_doubts(e, f, samples, config, screen));
    EXPECT_TRUE(moved_real_parts(e, samples, 0, moved));
    const std::span<const double> columns[] = {moved};
    return screened_out(e, f, columns, samples, config, screen);
  };
  EXPECT_FALSE(verdict(bin(BuiltinKind::Times, bin(BuiltinKind::Plus, v(0), C()), un(BuiltinKind::Cube, v(0)))));
  EXPECT_TRUE(verdict(bin(BuiltinKind::Times, bin(BuiltinKind::Plus, v(0), C()), v(0))));
}

// A start that is complex on some rows is judged on the others: x0 *
// sqrt(x0 + C) at C = 0.48 on [-2, 2] has real parts 0 left of -0.48, where
// moving C changes nothing, so the model on every row leaves it behind a
// front that refinement (to C = 2.5, the law) clears. A formula that fits
// no better on its real rows is dropped all the same.
TEST(ScreenStep, JudgesAComplexStartOnTheRowsWhereItIsReal) {
  auto registry = std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins());
  std::vector<double> xs, targets;
  for (int i = 0; i < 30; ++i) {
    const double x = -2.0 + 4.0 * i / 29.0;
    xs.push_back(x);
    targets.push_back(x * std::sqrt(x + 2.5));
  }
  const SampleSet samples(Dataset(xs.size(), 1, xs, targets), registry);
  SearchConfig config;
  config.screen_factor = 1.0;
  config.ranking = Ranking::Affine;
  const LevelScreen screen{0.05, 0.05};
  const auto verdicts = [&](Expression e) {
    for (Token& t : e.tokens) {
      if (t.kind == TokenKind::Parameter) t.value = {0.48, 0.0};
    }
    std::vector<double> f, im, moved;
    EXPECT_TRUE(usable_real_parts(e, samples, f, {}, &im));
    EXPECT_TRUE(std::any_of(im.begin(), im.end(), [](double v) { return v != 0.0; }));
    EXPECT_TRUE(screen_doubts(e, f, samples, config, screen));
    EXPECT_TRUE(moved_real_parts(e, samples, 0, moved));
    const std::span<const double> columns[] = {moved};
    return std::pair{screened_out(e, f, columns, samples, config, screen),
                     screened_out(e, f, columns, samples, config, screen, im.data())};
  };
  const auto law = verdicts(bin(BuiltinKind::Times, v(0), un(BuiltinKind::Sqrt, bin(BuiltinKind::Plus, v(0), C()))));
  EXPECT_TRUE(law.first);
  EXPECT_FALSE(law.second);
  const auto other = verdicts(bin(BuiltinKind::Divide, un(BuiltinKind::Sqrt, bin(BuiltinKind::Plus, v(0), C())), v(0)));
  EXPECT_TRUE(other.first);
  EXPECT_TRUE(other.second);
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
