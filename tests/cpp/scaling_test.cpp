// Output scaling: the closed-form fits, the rescaled formulas, their exact errors, and searches that offer them.
#include "engine/fitness/scaling.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "engine/fitness/level_scoring.hpp"
#include "engine/fitness/scoring.hpp"
#include "engine/search/bfs.hpp"
#include "engine/search/search_state.hpp"
#include "engine_helpers.hpp"
#include "random_expressions.hpp"

namespace vok {
namespace {

using namespace testing_support;

constexpr double kInf = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------- fits

struct FitCase {
  const char* name;
  std::vector<double> f;
  std::vector<double> t;
  // Expected (a, b) per kind (Scale, Shift, Affine); nullopt: left out.
  std::optional<std::pair<double, double>> scale, shift, affine;
};

std::vector<double> line(double a, double b, const std::vector<double>& f) {
  std::vector<double> t;
  for (double x : f) t.push_back(a * x + b);
  return t;
}

const std::vector<double> kF{0.5, 1.0, 2.0, 4.0};

std::vector<FitCase> fit_cases() {
  const double sff = 0.25 + 1 + 4 + 16;
  return {
      {"f_constant", {2.0, 2.0, 2.0, 2.0}, {1.0, 2.0, 3.0, 4.0}, {}, {}, {}},
      {"one_sample", {2.0}, {1.0}, {}, {}, {}},
      {"f_is_t", kF, kF, {}, {}, {}},
      // t = 2f: f + b is offered (b = mean(t) - mean(f)); a*f + b has b = 0.
      {"twice_f", kF, line(2.0, 0.0, kF), std::pair{2.0, 0.0}, std::pair{1.0, 7.5 / 4.0}, {}},
      // t = f + 3: a*f + b has a = 1; the plain a*f is some other factor.
      {"f_plus_3", kF, line(1.0, 3.0, kF), std::pair{(sff + 3.0 * 7.5) / sff, 0.0}, std::pair{1.0, 3.0}, {}},
      {"affine", kF, line(2.0, 3.0, kF), std::pair{(2.0 * sff + 3.0 * 7.5) / sff, 0.0},
       std::pair{1.0, 3.0 + 7.5 / 4.0}, std::pair{2.0, 3.0}},
      // Targets all zero: a = 0 is no rescaling; f + b = f - mean(f) is one.
      {"zero_targets", kF, {0.0, 0.0, 0.0, 0.0}, {}, std::pair{1.0, -7.5 / 4.0}, {}},
      // a within 1e-6 of 1 and b within 1e-6 of the targets' RMS: f itself.
      {"near_identity", kF, line(1.0 + 1e-7, 1e-7, kF), {}, {}, {}},
      {"infinite_value", {0.5, kInf, 2.0, 4.0}, kF, {}, {}, {}},
      {"overflowing_sums", {1e300, -1e300, 1e300, -1e300}, kF, {}, {}, {}},
  };
}

class ScalingFitCases : public ::testing::TestWithParam<FitCase> {};

TEST_P(ScalingFitCases, ClosedFormsAndDegenerateFitsLeftOut) {
  const FitCase& c = GetParam();
  const ScaledFits fits = scaling_fits(c.f, c.t);
  const std::optional<std::pair<double, double>> want[] = {c.scale, c.shift, c.affine};
  for (std::size_t k = 0; k < kScaledKinds; ++k) {
    SCOPED_TRACE(k);
    ASSERT_EQ(fits[k].has_value(), want[k].has_value());
    if (!want[k]) continue;
    EXPECT_EQ(fits[k]->kind, static_cast<ScaledKind>(k));
    EXPECT_NEAR(fits[k]->a, want[k]->first, 1e-12);
    EXPECT_NEAR(fits[k]->b, want[k]->second, 1e-12);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ScalingFitCases, ::testing::ValuesIn(fit_cases()),
                         [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------- formulas

TEST(ScaledExpression, TokensFollowFAndNumberTheNewParametersBehindItsOwn) {
  const ScalingOps ops = *ScalingOps::find(builtins());
  EXPECT_EQ(ops.times, id_of(BuiltinKind::Times));
  EXPECT_EQ(ops.plus, id_of(BuiltinKind::Plus));
  Expression f = bin(BuiltinKind::Plus, bin(BuiltinKind::Times, C(), v(0)), v(1));
  f.tokens[0].value = {0.75, 0.0};
  struct Want {
    ScaledKind kind;
    const char* formula;
  };
  for (const Want& w : {Want{ScaledKind::Scale, "Times(Plus(Times(C, v_{0}), v_{1}), C)"},
                        Want{ScaledKind::Shift, "Plus(Plus(Times(C, v_{0}), v_{1}), C)"},
                        Want{ScaledKind::Affine, "Plus(Times(Plus(Times(C, v_{0}), v_{1}), C), C)"}}) {
    SCOPED_TRACE(w.formula);
    const ScaledFit fit{w.kind, 2.5, -4.0};
    const Expression e = scaled_expression(f, fit, ops);
    EXPECT_EQ(e.formula, w.formula);
    EXPECT_EQ(e.complexity, f.complexity + scaled_extra_tokens(w.kind));
    EXPECT_EQ(e.tokens.size(), e.complexity);
    EXPECT_EQ(e.num_vars, 2);
    std::vector<Token> want(f.tokens);
    std::uint8_t next = 1;
    if (scaled_has_a(w.kind)) {
      want.push_back(Token::parameter(next++, {2.5, 0.0}));
      want.push_back(Token::apply(2, ops.times));
    }
    if (scaled_has_b(w.kind)) {
      want.push_back(Token::parameter(next++, {-4.0, 0.0}));
      want.push_back(Token::apply(2, ops.plus));
    }
    EXPECT_EQ(e.num_params, next);
    Expression expected = e;
    expected.tokens = want;
    EXPECT_TRUE(same_expression(e, expected));
  }
}

TEST(ScaledExpression, OnlyRescalingsWithinMaxComplexityAndTheParameterLimitFitTheSearch) {
  SearchConfig config;
  const Expression f = bin(BuiltinKind::Times, v(0), v(1));  // 3 tokens
  for (const std::size_t max : {3u, 4u, 5u, 6u, 7u}) {
    config.max_complexity = max;
    EXPECT_EQ(scaled_fits_search(f, ScaledKind::Scale, config), max >= 5) << max;
    EXPECT_EQ(scaled_fits_search(f, ScaledKind::Shift, config), max >= 5) << max;
    EXPECT_EQ(scaled_fits_search(f, ScaledKind::Affine, config), max >= 7) << max;
  }
  Expression crowded = f;
  crowded.num_params = kMaxParams - 1;
  config.max_complexity = 100;
  EXPECT_TRUE(scaled_fits_search(crowded, ScaledKind::Scale, config));
  EXPECT_FALSE(scaled_fits_search(crowded, ScaledKind::Affine, config));
}

// With units an added b must have y's dimension: a dimensionless constant
// has it only for a dimensionless y, a free one always; a changes nothing.
TEST(ScaledExpression, WithUnitsBIsAddedOnlyWhereItCanHaveTheTargetsDimension) {
  constexpr Exponents kLength{kExponentDenominator};
  struct Case {
    const char* name;
    std::optional<Exponents> target;
    ConstantUnits constants;
    bool adds_b;
  };
  const Case cases[] = {
      {"length, pure numbers", kLength, ConstantUnits::Dimensionless, false},
      {"dimensionless, pure numbers", Exponents{}, ConstantUnits::Dimensionless, true},
      {"unknown, pure numbers", std::nullopt, ConstantUnits::Dimensionless, false},
      {"length, free constants", kLength, ConstantUnits::Free, true},
      {"unknown, free constants", std::nullopt, ConstantUnits::Free, true},
  };
  const Expression f = bin(BuiltinKind::Times, v(0), v(1));
  for (const Case& c : cases) {
    SearchConfig config;
    config.max_complexity = 10;
    config.units = UnitSettings{{kLength, Exponents{}}, c.target, c.constants};
    EXPECT_TRUE(scaled_fits_search(f, ScaledKind::Scale, config)) << c.name;
    EXPECT_EQ(scaled_fits_search(f, ScaledKind::Shift, config), c.adds_b) << c.name;
    EXPECT_EQ(scaled_fits_search(f, ScaledKind::Affine, config), c.adds_b) << c.name;
  }
}

// ---------------------------------------------------------------- exact errors

std::shared_ptr<const OperatorRegistry> shared_registry() {
  static const auto r = std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins());
  return r;
}

struct Rows {
  std::vector<ComplexRow> rows;
  std::vector<double> targets;
};

Rows two_variable_rows(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  Rows d;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = u(rng), y = u(rng);
    d.rows.push_back({{x, 0.0}, {y, 0.0}});
    d.targets.push_back(1.5 * std::exp(x) * y - 0.25 + 0.1 * u(rng));
  }
  return d;
}

// On both paths, for random formulas, weights and row counts across the
// block size: each rescaling's error is compute_raw_error of the formula
// it stands for, bit for bit, and the two paths agree; given values (as
// scoring composes them) change nothing.
TEST(ScoreRescalings, ErrorsAreThoseOfTheFormulasScoredOnTheirOwn) {
  const ScalingOps ops = *ScalingOps::find(builtins());
  RandomExpressions random(11, builtins());
  std::size_t offered = 0;
  for (const std::size_t n : {2u, 37u, 300u}) {
    const Rows d = two_variable_rows(n, n);
    const SampleSet fast(d.rows, d.targets, shared_registry(), EvalPath::Fast);
    const SampleSet reference(d.rows, d.targets, shared_registry(), EvalPath::PerSample);
    for (int i = 0; i < 150; ++i) {
      SearchConfig config;
      config.max_complexity = 30;
      config.alpha = i % 3 == 0 ? 0.0 : 0.01 * (i % 3);
      config.l1_ratio = 0.3;
      const Expression f = random.tree(1 + random.below(9), [&] {
        if (random.below(3) == 0) {
          Expression c = C();
          c.tokens[0].value = {random.uniform(-2.0, 2.0), 0.0};
          return c;
        }
        return v(static_cast<std::uint8_t>(random.below(2)));
      });
      SCOPED_TRACE(f.formula);
      const ScaledScores got = score_rescalings(f, fast, config, ops);
      const ScaledScores by_reference = score_rescalings(f, reference, config, ops);
      const std::optional<ColumnValues> values = usable_column_values(f, fast);
      const ScaledScores from_values = values ? score_rescalings(f, fast, config, ops, &*values) : ScaledScores{};
      for (std::size_t k = 0; k < kScaledKinds; ++k) {
        ASSERT_EQ(got[k].has_value(), by_reference[k].has_value());
        ASSERT_EQ(got[k].has_value(), from_values[k].has_value());
        if (!got[k]) continue;
        ++offered;
        const Expression e = scaled_expression(f, got[k]->fit, ops);
        EXPECT_TRUE(same_bits(got[k]->error, compute_raw_error(e, fast, config.alpha, config.l1_ratio))) << e.formula;
        EXPECT_TRUE(same_bits(got[k]->error, by_reference[k]->error)) << e.formula;
        EXPECT_TRUE(same_bits(got[k]->error, from_values[k]->error)) << e.formula;
        EXPECT_TRUE(same_bits(got[k]->fit.a, by_reference[k]->fit.a));
        EXPECT_TRUE(same_bits(got[k]->fit.b, by_reference[k]->fit.b));
        EXPECT_LE(got[k]->fit.least_error, got[k]->error) << e.formula;
      }
    }
  }
  EXPECT_GT(offered, 300u);
}

// The floor stays under the scored error where it is tightest: targets
// that are a rescaling of f itself, exactly or up to noise far below f's
// scale, where the closed form and the composed sum both cancel.
TEST(ScoreRescalings, TheFloorIsBelowTheErrorOfTargetsOnTheRescaledFormula) {
  const ScalingOps ops = *ScalingOps::find(builtins());
  RandomExpressions random(5, builtins());
  SearchConfig config;
  config.max_complexity = 30;
  std::size_t checked = 0, positive = 0;
  for (int i = 0; i < 200; ++i) {
    const Expression f = random.tree(1 + random.below(7), [&] { return v(static_cast<std::uint8_t>(random.below(2))); });
    Rows d = two_variable_rows(40, 100 + i);
    const SampleSet plain(d.rows, d.targets, shared_registry());
    const std::optional<ColumnValues> values = usable_column_values(f, plain);
    if (!values) continue;
    const double noise = std::array{0.0, 1e-13, 1e-7, 1e-2}[i % 4];
    std::mt19937_64 rng(i);
    std::normal_distribution<double> g;
    for (std::size_t r = 0; r < d.targets.size(); ++r) d.targets[r] = -3.5 * values->re[r] + 0.7 + noise * g(rng);
    const SampleSet set(d.rows, d.targets, shared_registry());
    SCOPED_TRACE(f.formula + " noise " + std::to_string(noise));
    for (const auto& score : score_rescalings(f, set, config, ops)) {
      if (!score) continue;
      ++checked;
      positive += score->fit.least_error > 0.0 ? 1 : 0;
      EXPECT_LE(score->fit.least_error, score->error);
    }
  }
  EXPECT_GT(checked, 200u);
  EXPECT_GT(positive, 50u);
}

// A kind is left out exactly when its floor reaches its ceiling; the kinds
// kept are scored as without ceilings.
TEST(ScoreRescalings, CeilingsLeaveOutTheKindsWhoseFloorReachesThem) {
  const ScalingOps ops = *ScalingOps::find(builtins());
  const Rows d = two_variable_rows(50, 9);
  const SampleSet set(d.rows, d.targets, shared_registry());
  SearchConfig config;
  config.max_complexity = 30;
  const Expression f = bin(BuiltinKind::Times, un(BuiltinKind::Exp, v(0)), v(1));
  const ScaledScores all = score_rescalings(f, set, config, ops);
  for (std::size_t k = 0; k < kScaledKinds; ++k) {
    ASSERT_TRUE(all[k].has_value());
    ASSERT_GT(all[k]->fit.least_error, 0.0);
    ScaledCeilings ceilings{kInf, kInf, kInf};
    ceilings[k] = all[k]->fit.least_error;
    const ScaledScores capped = score_rescalings(f, set, config, ops, nullptr, &ceilings);
    ceilings[k] = std::nextafter(all[k]->fit.least_error, kInf);
    const ScaledScores above = score_rescalings(f, set, config, ops, nullptr, &ceilings);
    for (std::size_t j = 0; j < kScaledKinds; ++j) {
      EXPECT_EQ(capped[j].has_value(), j != k);
      ASSERT_TRUE(above[j].has_value());
      EXPECT_TRUE(same_bits(above[j]->error, all[j]->error));
      if (capped[j]) {
        EXPECT_TRUE(same_bits(capped[j]->error, all[j]->error));
      }
    }
  }
  // A negative penalty could take the error below the floor: no kind is
  // left out then.
  config.alpha = -0.1;
  const ScaledCeilings none{0.0, 0.0, 0.0};
  for (const auto& score : score_rescalings(f, set, config, ops, nullptr, &none)) EXPECT_TRUE(score.has_value());
}

TEST(ScoreRescalings, NothingForAFormulaWithoutAUsableValueEverywhere) {
  const ScalingOps ops = *ScalingOps::find(builtins());
  Rows d = two_variable_rows(20, 3);
  d.rows[5][0] = {0.0, 0.0};
  SearchConfig config;
  const SampleSet set(d.rows, d.targets, shared_registry());
  for (const ScaledScores& s : {score_rescalings(un(BuiltinKind::Inv, v(0)), set, config, ops),
                                score_rescalings(un(BuiltinKind::Log, v(0)), set, config, ops)}) {
    for (const auto& k : s) EXPECT_FALSE(k.has_value());
  }
  // v_{1} has a value on every row: all three rescalings.
  const ScaledScores ok = score_rescalings(v(1), set, config, ops);
  for (const auto& k : ok) EXPECT_TRUE(k.has_value());
}

// A level scored by a LevelScorer with output scaling: every rescaling it
// reports has the error of its formula scored on its own, for candidates
// whose values were composed and for refined ones alike.
TEST(LevelScorer, ReportsTheExactErrorsOfTheRescalings) {
  const Rows d = two_variable_rows(60, 5);
  std::vector<std::vector<double>> rows;
  for (const auto& r : d.rows) rows.push_back({r[0].re, r[1].re});
  SearchConfig config;
  config.output_scaling = true;
  config.max_complexity = 8;
  config.ranking = Ranking::Affine;
  config.exhaustive = true;
  SearchControl control;
  control.output = ProgressOutput::Silent;
  auto started = start_search(*Dataset::from_rows(rows, d.targets), config, control, nullptr);
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<Search>>(started));
  Search& s = *std::get<std::unique_ptr<Search>>(started);
  std::size_t with_params = 0, without = 0;
  for (std::size_t level = 2; level <= 3; ++level) {
    const std::optional<std::size_t> k = next_level(s);
    ASSERT_EQ(k, level);
    std::optional<OpenLevel> open = open_level(s, *k);
    ASSERT_TRUE(open.has_value());
    std::vector<Recipe> recipes;
    open->recipes.decode(0, open->recipes.size(), recipes);
    LevelTally tally(config.beam_width);
    for (std::size_t id = 0; id < recipes.size(); ++id) {
      auto scored = open->scorer.score(recipes[id]);
      if (!scored) continue;
      for (const auto& scaled : scored->scaled) {
        if (!scaled) continue;
        (scored->expression.num_params != 0 ? with_params : without) += 1;
        const Expression e = open->scorer.rescaled(scored->expression, scaled->fit);
        EXPECT_EQ(e.complexity, *k + scaled_extra_tokens(scaled->fit.kind));
        EXPECT_TRUE(same_bits(scaled->error, compute_raw_error(e, s.samples, config.alpha, config.l1_ratio)))
            << e.formula;
      }
      tally.fold(id, std::move(*scored));
    }
    close_level(s, *open, std::move(tally), Clock::now());
  }
  EXPECT_GT(with_params, 20u);
  EXPECT_GT(without, 20u);
}

// ---------------------------------------------------------------- searches

Rows readme_rows(std::size_t n, double noise) {
  std::mt19937_64 rng(0);
  std::uniform_real_distribution<double> u(0.5, 2.0);
  std::normal_distribution<double> normal;
  Rows d;
  for (std::size_t i = 0; i < n; ++i) {
    const double p = u(rng), v = u(rng);
    d.rows.push_back({{p, 0.0}, {v, 0.0}});
    d.targets.push_back(1.5 * p * v + 0.5 + noise * normal(rng));
  }
  return d;
}

SearchRun search(const Rows& d, const SearchConfig& config) {
  std::vector<std::vector<double>> rows;
  for (const auto& r : d.rows) rows.push_back({r[0].re, r[1].re});
  SearchControl control;
  control.output = ProgressOutput::Silent;
  return run_search(rows, d.targets, config, control);
}

const SearchResult* at_complexity(const SearchRun& run, std::size_t c) {
  for (const SearchResult& r : std::get<std::vector<SearchResult>>(run.results)) {
    if (r.expression.complexity == c) return &r;
  }
  return nullptr;
}

// a*x0*x1 + b is offered as soon as level 3 scores x0*x1: an exact fit
// ends the search there, four levels before it would be built.
TEST(OutputScaling, FindsTheScaledLawFromItsScaledPart) {
  const Rows d = readme_rows(50, 0.0);
  SearchConfig config;
  config.max_complexity = 7;
  config.beam_width = 100;
  config.ranking = Ranking::Affine;
  config.output_scaling = true;
  const SearchRun run = search(d, config);
  EXPECT_EQ(run.stop, StopReason::EarlyExit);
  EXPECT_EQ(run.last_level, 3u);
  const SearchResult* law = at_complexity(run, 7);
  ASSERT_NE(law, nullptr);
  EXPECT_EQ(law->expression.formula, "Plus(Times(Times(v_{0}, v_{1}), C), C)");
  EXPECT_NEAR(law->expression.tokens[3].value.re, 1.5, 1e-9);
  EXPECT_NEAR(law->expression.tokens[5].value.re, 0.5, 1e-9);
  EXPECT_LT(law->error, 1e-20);

  config.output_scaling = false;
  const SearchRun plain = search(d, config);
  EXPECT_EQ(plain.last_level, 7u);
}

// Rescalings beyond max_complexity are not offered: up to 6 tokens the
// exact a*x0*x1 + b (7) is not there to end the search at level 3, and
// nothing on the front is larger than 6 tokens.
TEST(OutputScaling, NothingBeyondMaxComplexity) {
  const Rows d = readme_rows(50, 0.0);
  SearchConfig config;
  config.ranking = Ranking::Affine;
  config.output_scaling = true;
  config.beam_width = 200;
  for (const std::size_t max : {4u, 6u}) {
    config.max_complexity = max;
    const SearchRun run = search(d, config);
    EXPECT_EQ(run.stop, StopReason::Completed);
    EXPECT_EQ(run.last_level, max);
    ASSERT_TRUE(std::holds_alternative<std::vector<SearchResult>>(run.results));
    for (const SearchResult& r : std::get<std::vector<SearchResult>>(run.results)) {
      EXPECT_LE(r.expression.complexity, max) << r.expression.formula;
    }
  }
}

// A search from named constants alone fits nothing, rescalings included;
// with the fitted constant beside them it rescales as usual.
TEST(OutputScaling, NoRescalingsFromNamedConstantsAlone) {
  const Rows d = readme_rows(40, 0.0);
  SearchConfig config;
  config.max_complexity = 7;
  config.beam_width = 30;
  config.ranking = Ranking::Affine;
  config.output_scaling = true;
  config.leaf_constants = LeafConstants::Named;
  EXPECT_FALSE(offers_rescalings(config));
  const SearchRun named = search(d, config);
  for (const SearchResult& r : std::get<std::vector<SearchResult>>(named.results)) {
    EXPECT_EQ(r.expression.num_params, 0u) << r.expression.formula;
  }
  config.leaf_constants = LeafConstants::Both;
  EXPECT_TRUE(offers_rescalings(config));
  const SearchRun both = search(d, config);
  EXPECT_EQ(both.stop, StopReason::EarlyExit);
  EXPECT_EQ(both.last_level, 3u);
}

struct PathCase {
  const char* name;
  Ranking ranking;
  std::size_t beam;
  double alpha;
  double noise;
  std::size_t max_complexity;
};

class OutputScalingPaths : public ::testing::TestWithParam<PathCase> {};

// The per-sample reference (levels scored whole, rescalings built and
// evaluated) finds what the column path (levels in chunks, rescalings
// composed) finds, bit for bit. On exact data both end at level 3 with
// the rescaled law.
TEST_P(OutputScalingPaths, ThePerSampleReferenceFindsWhatTheColumnPathFinds) {
  const PathCase& c = GetParam();
  const Rows d = readme_rows(30, c.noise);
  SearchConfig config;
  config.output_scaling = true;
  config.max_complexity = c.max_complexity;
  config.exhaustive = c.noise != 0.0;
  config.ranking = c.ranking;
  config.beam_width = c.beam;
  config.alpha = c.alpha;
  config.candidate_chunk = 37;
  const SearchRun fast = search(d, config);
  config.eval_path = EvalPath::PerSample;
  const SearchRun reference = search(d, config);
  EXPECT_EQ(fast.stop, reference.stop);
  EXPECT_EQ(fast.last_level, reference.last_level);
  const auto& want = std::get<std::vector<SearchResult>>(reference.results);
  const auto& got = std::get<std::vector<SearchResult>>(fast.results);
  ASSERT_EQ(want.size(), got.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_TRUE(same_expression(want[i].expression, got[i].expression))
        << want[i].expression.formula << " vs " << got[i].expression.formula;
    EXPECT_TRUE(same_bits(want[i].error, got[i].error));
  }
  if (c.noise == 0.0) {
    EXPECT_EQ(fast.stop, StopReason::EarlyExit);
    EXPECT_EQ(fast.last_level, 3u);
    EXPECT_EQ(got.front().expression.formula, "Plus(Times(Times(v_{0}, v_{1}), C), C)");
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, OutputScalingPaths,
                         ::testing::Values(PathCase{"raw_exact", Ranking::Raw, 1000, 0.0, 0.0, 7},
                                           PathCase{"affine_exact", Ranking::Affine, 20, 0.0, 0.0, 7},
                                           PathCase{"raw_noisy", Ranking::Raw, 300, 0.0, 0.05, 6},
                                           PathCase{"affine_noisy_beam20", Ranking::Affine, 20, 0.0, 0.05, 6},
                                           PathCase{"affine_noisy_penalised", Ranking::Affine, 50, 0.01, 0.05, 6}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace vok
