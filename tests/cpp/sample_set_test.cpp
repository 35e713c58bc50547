// Tests that the column path computes what the per-sample reference does.
#include "engine/data/sample_set.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "engine/fitness/scoring.hpp"
#include "engine/refine/optimizer.hpp"
#include "engine/refine/reference.hpp"
#include "engine/search/bfs.hpp"
#include "engine_helpers.hpp"
#include "random_expressions.hpp"

namespace vok {
namespace {

using namespace testing_support;
// The per-sample reference overloads, which these tests compare with.
using namespace reference;

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

// Corner cases of the arithmetic and of the guard: signed zeros, infinities,
// NaN, subnormals, 1e15 and its neighbours.
const std::vector<double> kSpecials = {
    0.0, -0.0, kInf, -kInf, kNaN, 4.9e-324, -2.2e-310, 1e15, -1e15,
    std::nextafter(1e15, 0.0), -std::nextafter(1e15, 0.0), 1e300, 1.0, -1.0, 0.5,
};

RegistryPtr shared_builtins() {
  static const RegistryPtr r = std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins());
  return r;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Values of the samples and of the targets.
enum class Values { Real, Special };

struct Case {
  const char* name;
  std::uint64_t seed;
  std::size_t samples;
  std::size_t num_vars;
  Values inputs;
  Values targets;
};

std::string case_name(const testing::TestParamInfo<Case>& p) { return p.param.name; }
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// Sample counts below, at and above one block, with 0 to 3 variables.
const Case kCases[] = {
    {"OneSample", 1, 1, 1, Values::Real, Values::Real},
    {"SevenSamplesTwoVars", 2, 7, 2, Values::Real, Values::Real},
    {"OneBlockThreeVars", 3, kSampleBlock, 3, Values::Real, Values::Real},
    {"ManyBlocks", 4, 1000, 2, Values::Real, Values::Real},
    {"SpecialInputs", 5, 300, 2, Values::Special, Values::Real},
    {"SpecialTargets", 6, 257, 1, Values::Real, Values::Special},
    {"SpecialEverything", 7, 7, 3, Values::Special, Values::Special},
    {"NoVariables", 8, 600, 0, Values::Real, Values::Real},
};

// Data and trees over all built-in operators, from one seeded stream.
class Random : public RandomExpressions {
 public:
  Random(std::uint64_t seed, std::size_t num_vars) : RandomExpressions(seed, builtins()), num_vars_(num_vars) {}

  double special() { return kSpecials[below(kSpecials.size())]; }
  double value(Values v) { return v == Values::Special && below(2) == 0 ? special() : uniform(-2.0, 2.0); }

  Expression leaf(bool with_params) {
    switch (below(with_params ? 5 : 4)) {
      case 0:
      case 1:
        if (num_vars_ > 0) return v(static_cast<std::uint8_t>(below(num_vars_)));
        [[fallthrough]];
      case 2:
        return literal(below(4) == 0 ? special() : uniform(-3.0, 3.0));
      case 3:
        return named_constant();
      default: {
        Expression e = C();
        e.tokens[0].value = {below(8) == 0 ? special() : uniform(-2.0, 2.0), 0.0};
        return e;
      }
    }
  }

  // `size` tokens.
  Expression tree(std::size_t size, bool with_params) {
    return RandomExpressions::tree(size, [&] { return leaf(with_params); });
  }

  Expression expression(bool with_params) { return tree(1 + below(9), with_params); }

 private:
  std::size_t num_vars_;
};

struct Data {
  std::vector<ComplexRow> rows;
  std::vector<double> targets;
};

Data make_data(const Case& c, Random& rnd) {
  Data d;
  for (std::size_t k = 0; k < c.samples; ++k) {
    ComplexRow row;
    for (std::size_t j = 0; j < c.num_vars; ++j) row.push_back({rnd.value(c.inputs), 0.0});
    d.rows.push_back(std::move(row));
    d.targets.push_back(rnd.value(c.targets));
  }
  return d;
}

SampleSet sample_set(const Data& d, EvalPath path = EvalPath::Fast) {
  return SampleSet(d.rows, d.targets, shared_builtins(), path);
}

// Mixed weights of the penalty: zero, ordinary and a large alpha.
struct Weights {
  double alpha;
  double l1_ratio;
};
Weights weights(Random& rnd) {
  static const Weights w[] = {{0.0, 0.5}, {0.01, 0.3}, {1.0, 1.0}, {1e300, 0.5}};
  return w[rnd.below(4)];
}

// Penalty weights and refinement on or off, as candidates are scored.
SearchConfig scoring_config(Random& rnd) {
  SearchConfig config;
  const Weights w = weights(rnd);
  config.alpha = w.alpha;
  config.l1_ratio = w.l1_ratio;
  config.optimize_constants = rnd.below(4) != 0;
  return config;
}

::testing::AssertionResult same_double(double want, double got) {
  if (bits(want) == bits(got)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "reference " << want << " column " << got;
}

class ColumnPath : public testing::TestWithParam<Case> {};

TEST_P(ColumnPath, RawErrorIsTheReferenceBitForBit) {
  const Case& c = GetParam();
  Random rnd(c.seed, c.num_vars);
  const Data d = make_data(c, rnd);
  const SampleSet set = sample_set(d);
  ASSERT_TRUE(set.column_path());
  std::size_t finite = 0;
  std::size_t infinite = 0;
  for (int i = 0; i < 400; ++i) {
    const Expression e = rnd.expression(rnd.below(2) == 0);
    const Weights w = weights(rnd);
    const double want = compute_raw_error(e, d.rows, d.targets, builtins(), w.alpha, w.l1_ratio);
    ASSERT_TRUE(same_double(want, compute_raw_error(e, set, w.alpha, w.l1_ratio))) << e.formula;
    finite += !std::isinf(want);  // a NaN target makes every error NaN
    infinite += want == kInf;
  }
  // Both outcomes (a value, and the first failure) must have been compared.
  EXPECT_GT(finite, 0u);
  EXPECT_GT(infinite, 0u);
}

TEST_P(ColumnPath, ErrorWithParamsIsTheReferenceBitForBit) {
  const Case& c = GetParam();
  Random rnd(c.seed + 100, c.num_vars);
  const Data d = make_data(c, rnd);
  const SampleSet set = sample_set(d);
  std::size_t finite = 0;
  std::size_t infinite = 0;
  for (int i = 0; i < 300; ++i) {
    const Expression e = rnd.expression(true);
    // Fewer, as many and more values than the expression has parameters.
    std::vector<double> params(rnd.below(e.num_params + 2u));
    for (double& p : params) p = rnd.below(6) == 0 ? rnd.special() : rnd.uniform(-2.0, 2.0);
    const Weights w = weights(rnd);
    const double want =
        compute_error_with_params(e, params, d.rows, d.targets, w.alpha, w.l1_ratio, builtins());
    ASSERT_TRUE(same_double(want, compute_error_with_params(e, params, set, w.alpha, w.l1_ratio)))
        << e.formula;
    finite += !std::isinf(want);  // a NaN target makes every error NaN
    infinite += want == kInf;
  }
  EXPECT_GT(finite, 0u);
  EXPECT_GT(infinite, 0u);
}

TEST_P(ColumnPath, RefinementIsTheReferenceBitForBit) {
  const Case& c = GetParam();
  Random rnd(c.seed + 200, c.num_vars);
  const Data d = make_data(c, rnd);
  const SampleSet set = sample_set(d);
  const int count = c.samples > 300 ? 60 : 200;
  std::size_t moved = 0;
  for (int i = 0; i < count; ++i) {
    const Expression e = rnd.expression(true);
    const Weights w = weights(rnd);
    const std::size_t iterations = rnd.below(2) == 0 ? 10 : 30;
    const RefinePolicy policy = rnd.below(2) == 0 ? RefinePolicy{} : kCoupledRefine;
    const auto want =
        refine_constants(e, d.rows, d.targets, w.alpha, w.l1_ratio, builtins(), iterations, nullptr, policy);
    const auto got = refine_constants(e, set, w.alpha, w.l1_ratio, iterations, nullptr, nullptr, policy);
    ASSERT_TRUE(same_expression(want.first, got.first)) << e.formula;
    ASSERT_TRUE(same_double(want.second, got.second)) << e.formula;
    moved += !same_expression(e, want.first);
  }
  // Some refinements must have changed parameter values.
  if (c.inputs == Values::Real && c.targets == Values::Real) {
    EXPECT_GT(moved, 0u);
  }
}

TEST_P(ColumnPath, ScoredCandidatesAreTheReference) {
  const Case& c = GetParam();
  Random rnd(c.seed + 300, c.num_vars);
  const Data d = make_data(c, rnd);
  const SampleSet set = sample_set(d);
  const int count = c.samples > 300 ? 60 : 200;
  for (int i = 0; i < count; ++i) {
    const Expression e = rnd.expression(rnd.below(3) != 0);
    const SearchConfig config = scoring_config(rnd);
    const auto want = score_candidate(e, d.rows, d.targets, config, builtins());
    const auto got = score_candidate(e, set, config);
    ASSERT_EQ(want.has_value(), got.has_value()) << e.formula;
    if (!want) continue;
    ASSERT_TRUE(same_expression(want->first, got->first)) << e.formula;
    ASSERT_TRUE(same_double(want->second, got->second)) << e.formula;
  }
}

// A child scored from its operands' stored sample values, as the search
// scores its candidates (with the perturbed columns of the first Jacobian,
// or without, and with its parameter-free operands' columns given to
// refinement), against the reference scoring the child itself.
TEST_P(ColumnPath, CandidatesScoredFromOperandColumnsAreTheReference) {
  const Case& c = GetParam();
  Random rnd(c.seed + 400, c.num_vars);
  const Data d = make_data(c, rnd);
  const SampleSet set = sample_set(d);
  const auto& unary = builtins().ids_by_arity(1);
  const auto& binary = builtins().ids_by_arity(2);
  const std::size_t n = c.samples;
  int refined_from_columns = 0;
  std::size_t given_subtrees = 0;
  const int count = c.samples > 300 ? 60 : 200;
  for (int i = 0; i < count; ++i) {
    const std::vector<Expression> operands = {rnd.expression(rnd.below(3) != 0),
                                              rnd.expression(rnd.below(3) != 0)};
    const bool with_jacobian = rnd.below(3) != 0;
    const SampleColumns columns(operands, set, with_jacobian ? std::optional<double>(kJacobianStep) : std::nullopt);
    ASSERT_EQ(columns.size(), 2u);
    const bool is_unary = rnd.below(2) == 0;
    const std::uint64_t id = is_unary ? unary[rnd.below(unary.size())] : binary[rnd.below(binary.size())];
    const std::string_view name = builtins().operators()[id]->name();
    const Expression child = is_unary ? compose_unary(id, name, operands[0])
                                      : compose_binary(id, name, operands[0], operands[1]);
    // Column 0 the child's values, then one per perturbed parameter.
    std::vector<ColumnValues> a_moved(columns.perturbed(0).begin(), columns.perturbed(0).end());
    std::vector<ColumnValues> b_moved;
    if (!is_unary) b_moved.assign(columns.perturbed(1).begin(), columns.perturbed(1).end());
    ASSERT_TRUE(a_moved.empty() || a_moved.size() == operands[0].num_params);
    const std::size_t moved = a_moved.size() + (is_unary ? 0 : b_moved.size());
    const bool perturb = moved != 0 && moved == child.num_params;
    std::vector<double> re((1 + moved) * n);
    std::vector<double> im((1 + moved) * n);
    std::vector<std::uint8_t> ok((1 + moved) * n);
    const auto compose = [&](std::size_t col, ColumnValues x, ColumnValues y) {
      const ColumnOut out{re.data() + col * n, im.data() + col * n, ok.data() + col * n};
      if (is_unary) {
        compose_unary_values(id, set.kernels(), n, x, out);
      } else {
        compose_binary_values(id, set.kernels(), n, x, y, out);
      }
      return ColumnValues{out.re, out.im, out.ok};
    };
    const ColumnValues b = is_unary ? ColumnValues{} : columns.at(1);
    const ColumnValues values = compose(0, columns.at(0), b);
    std::vector<ColumnValues> perturbed;
    for (std::size_t j = 0; perturb && j < moved; ++j) {
      perturbed.push_back(j < a_moved.size() ? compose(1 + j, a_moved[j], b)
                                             : compose(1 + j, columns.at(0), b_moved[j - a_moved.size()]));
    }
    refined_from_columns += !perturbed.empty();
    // Parameter-free operands of two tokens or more, given to refinement.
    std::vector<KnownSubtree> known;
    const std::size_t a_len = operands[0].tokens.size();
    if (child.num_params != 0 && operands[0].num_params == 0 && a_len >= 2) known.push_back({0, a_len - 1, columns.at(0)});
    if (!is_unary && child.num_params != 0 && operands[1].num_params == 0 && operands[1].tokens.size() >= 2) {
      known.push_back({a_len, a_len + operands[1].tokens.size() - 1, columns.at(1)});
    }
    given_subtrees += known.size();

    const SearchConfig config = scoring_config(rnd);
    const auto want = score_candidate(child, d.rows, d.targets, config, builtins());
    const auto got = score_candidate(child, set, config, values, perturbed, known);
    ASSERT_EQ(want.has_value(), got.has_value()) << child.formula;
    if (!want) continue;
    ASSERT_TRUE(same_expression(want->first, got->first)) << child.formula;
    ASSERT_TRUE(same_double(want->second, got->second)) << child.formula;
  }
  EXPECT_GT(refined_from_columns, 0);
  EXPECT_GT(given_subtrees, 0u);
}

INSTANTIATE_TEST_SUITE_P(Samples, ColumnPath, testing::ValuesIn(kCases), case_name);

TEST(SampleColumnsTest, EmptyOffTheColumnPathAndOverBudget) {
  Random rnd(11, 2);
  const Data d = make_data(kCases[3], rnd);  // 1000 samples of two variables
  const std::vector<Expression> list = {v(0), bin(BuiltinKind::Plus, v(0), v(1)), C()};
  EXPECT_TRUE(SampleColumns(list, sample_set(d, EvalPath::PerSample)).empty());
  const std::size_t per_expression = d.rows.size() * (2 * sizeof(double) + 1);
  // With the step, C gets one perturbed column: four columns in all; with
  // room for three only, the perturbed one is left out.
  const SampleColumns plain(list, sample_set(d), kJacobianStep, 4 * per_expression - 1);
  ASSERT_EQ(plain.size(), 3u);
  EXPECT_TRUE(plain.perturbed(2).empty());
  EXPECT_EQ(plain.bytes(), 3 * per_expression);
  EXPECT_TRUE(SampleColumns(list, sample_set(d), kJacobianStep, 3 * per_expression - 1).empty());
  const SampleSet set = sample_set(d);
  const SampleColumns columns(list, set, kJacobianStep, 4 * per_expression);
  ASSERT_EQ(columns.size(), 3u);
  EXPECT_EQ(columns.bytes(), 4 * per_expression);
  // Each column is the expression's own evaluation, block by block.
  for (std::size_t e = 0; e < list.size(); ++e) {
    const ColumnValues got = columns.at(e);
    for (std::size_t k = 0; k < d.rows.size(); ++k) {
      const auto want = eval_row(list[e], d.rows[k], {}, builtins().operators());
      ASSERT_EQ(want.has_value(), got.ok[k] != 0) << e << " " << k;
      if (!want) continue;
      ASSERT_EQ(bits(want->re), bits(got.re[k])) << e << " " << k;
      ASSERT_EQ(bits(want->im), bits(got.im[k])) << e << " " << k;
    }
  }
  EXPECT_TRUE(columns.perturbed(0).empty());
  EXPECT_TRUE(columns.perturbed(1).empty());
  ASSERT_EQ(columns.perturbed(2).size(), 1u);
  const ColumnValues moved = columns.perturbed(2)[0];
  for (std::size_t k = 0; k < d.rows.size(); ++k) {
    ASSERT_TRUE(moved.ok[k]);
    ASSERT_EQ(bits(moved.re[k]), bits(0.1 + kJacobianStep));
  }
}

// An infinite starting error has predictions only up to the first failing
// block; the first Jacobian must evaluate them afresh.
TEST(ColumnRefinement, InfiniteStartingErrorIsTheReference) {
  // v0 / (v0 - C) fails where v0 equals the stored 0.1: the last sample.
  const Expression e = bin(BuiltinKind::Divide, v(0), bin(BuiltinKind::Subtract, v(0), C()));
  Data d;
  for (std::size_t k = 0; k < 700; ++k) {
    const double x = k + 1 == 700 ? 0.1 : 1.0 + 0.01 * static_cast<double>(k);
    d.rows.push_back({{x, 0.0}});
    d.targets.push_back(x / (x - 0.5));
  }
  const SampleSet set = sample_set(d);
  ASSERT_EQ(compute_error_with_params(e, std::vector<double>{0.1}, set, 0.0, 0.5), kInf);
  const auto want = refine_constants(e, d.rows, d.targets, 0.0, 0.5, builtins(), 30);
  const auto got = refine_constants(e, set, 0.0, 0.5, 30);
  EXPECT_TRUE(std::isfinite(want.second));
  EXPECT_TRUE(same_expression(want.first, got.first));
  EXPECT_TRUE(same_double(want.second, got.second));
}

// A subtree without parameters that fails on some samples fails the whole
// expression there, however the parameters move.
TEST(ColumnRefinement, FailingParameterFreeSubtreeFailsTheSample) {
  // Sin(Exp(v1)) + C * v0, with v1 = 40 on every 100th sample: Exp leaves
  // the guard there (e^40 > 1e15) while Sin of its value would be finite.
  const Expression e = bin(BuiltinKind::Plus, un(BuiltinKind::Sin, un(BuiltinKind::Exp, v(1))),
                           bin(BuiltinKind::Times, C(), v(0)));
  Data d;
  for (std::size_t k = 0; k < 700; ++k) {
    const double x = 0.01 * static_cast<double>(k);
    const double y = k % 100 == 99 ? 40.0 : x;
    d.rows.push_back({{x, 0.0}, {y, 0.0}});
    d.targets.push_back(2.0 * x + std::sin(std::exp(x)));
  }
  const SampleSet set = sample_set(d);
  const auto want = refine_constants(e, d.rows, d.targets, 0.0, 0.5, builtins(), 30);
  const auto got = refine_constants(e, set, 0.0, 0.5, 30);
  EXPECT_EQ(want.second, kInf);
  EXPECT_TRUE(same_expression(e, want.first));
  EXPECT_TRUE(same_expression(want.first, got.first));
  EXPECT_TRUE(same_double(want.second, got.second));
  // Without the failing samples the same expression is fitted.
  for (std::size_t k = 99; k < 700; k += 100) d.rows[k][1] = d.rows[k][0];
  const SampleSet fixed = sample_set(d);
  const auto want_fit = refine_constants(e, d.rows, d.targets, 0.0, 0.5, builtins(), 30);
  const auto got_fit = refine_constants(e, fixed, 0.0, 0.5, 30);
  EXPECT_TRUE(std::isfinite(want_fit.second));
  EXPECT_TRUE(same_expression(want_fit.first, got_fit.first));
  EXPECT_TRUE(same_double(want_fit.second, got_fit.second));
}

// One set shared by several threads, each with its own scratch, gives every
// thread the serial reference results.
TEST(SampleSetTest, SharedAcrossThreadsGivesTheReference) {
  Random rnd(31, 2);
  const Case c{"", 0, 300, 2, Values::Real, Values::Real};
  const Data d = make_data(c, rnd);
  const SampleSet set = sample_set(d);
  std::vector<Expression> es;
  for (int i = 0; i < 80; ++i) es.push_back(rnd.expression(true));
  const SearchConfig config;
  std::vector<std::optional<ScoredCandidate>> want;
  for (const Expression& e : es) want.push_back(score_candidate(e, d.rows, d.targets, config, builtins()));
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < mismatches.size(); ++t) {
    threads.emplace_back([&, t] {
      // Each thread walks the list from another start so that they overlap.
      for (std::size_t i = 0; i < es.size(); ++i) {
        const std::size_t k = (i + t * 20) % es.size();
        const auto got = score_candidate(es[k], set, config);
        const bool same = got.has_value() == want[k].has_value() &&
                          (!got || (same_expression(got->first, want[k]->first) &&
                                    bits(got->second) == bits(want[k]->second)));
        mismatches[t] += !same;
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int m : mismatches) EXPECT_EQ(m, 0);
}

// Which inputs get input columns: only rows of one length, one per target.
struct ShapeCase {
  const char* name;
  std::vector<std::size_t> row_lengths;
  std::size_t targets;
  bool columns;
};

class SampleShape : public testing::TestWithParam<ShapeCase> {};

TEST_P(SampleShape, ColumnsOnlyForRectangularRowsAndResultsAreTheReference) {
  const ShapeCase& c = GetParam();
  Data d;
  double x = 0.25;
  for (std::size_t len : c.row_lengths) {
    ComplexRow row;
    for (std::size_t j = 0; j < len; ++j) row.push_back({x += 0.5, 0.0});
    d.rows.push_back(std::move(row));
  }
  for (std::size_t k = 0; k < c.targets; ++k) d.targets.push_back(static_cast<double>(k));
  const SampleSet fast = sample_set(d);
  EXPECT_EQ(fast.columns() != nullptr, c.columns);
  EXPECT_EQ(fast.column_path(), c.columns);
  // The reference path never takes columns.
  EXPECT_FALSE(sample_set(d, EvalPath::PerSample).column_path());
  if (d.rows.empty() || d.rows.size() != d.targets.size()) return;  // outside the precondition
  // A variable beyond a short row fails that sample, in both paths.
  const Expression es[] = {v(0), v(1), bin(BuiltinKind::Plus, v(0), C()), C(),
                           bin(BuiltinKind::Times, C(), v(1))};
  for (const Expression& e : es) {
    EXPECT_TRUE(same_double(compute_raw_error(e, d.rows, d.targets, builtins(), 0.1, 0.5),
                            compute_raw_error(e, fast, 0.1, 0.5)))
        << e.formula;
    const auto want = refine_constants(e, d.rows, d.targets, 0.0, 0.5, builtins(), 10);
    const auto got = refine_constants(e, fast, 0.0, 0.5, 10);
    EXPECT_TRUE(same_expression(want.first, got.first)) << e.formula;
    EXPECT_TRUE(same_double(want.second, got.second)) << e.formula;
  }
}

std::string shape_name(const testing::TestParamInfo<ShapeCase>& p) { return p.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Shapes, SampleShape,
    testing::Values(ShapeCase{"Rectangular", {2, 2, 2}, 3, true},
                    ShapeCase{"ZeroWidth", {0, 0, 0, 0}, 4, true},
                    ShapeCase{"ShortLastRow", {2, 2, 1}, 3, false},
                    ShapeCase{"LongerLaterRow", {1, 2, 2}, 3, false},
                    ShapeCase{"FewerTargets", {2, 2, 2}, 2, false},
                    ShapeCase{"NoRows", {}, 0, false}),
    shape_name);

// A set moved elsewhere still reads its own columns.
TEST(SampleSetTest, MovedSetKeepsWorking) {
  Data d;
  for (int k = 0; k < 300; ++k) {
    d.rows.push_back({{0.01 * k, 0.0}});
    d.targets.push_back(0.02 * k);
  }
  SampleSet first = sample_set(d);
  const SampleSet moved = std::move(first);
  const Expression e = bin(BuiltinKind::Times, C(), v(0));
  const auto got = refine_constants(e, moved, 0.0, 0.5, 30);
  EXPECT_NEAR(got.first.tokens[0].value.re, 2.0, 1e-6);
  EXPECT_TRUE(same_double(compute_raw_error(e, d.rows, d.targets, builtins(), 0.0, 0.5),
                          compute_raw_error(e, moved, 0.0, 0.5)));
}

// The seeds' offers and the finalization refits on a sample set are those of
// the per-sample code.
TEST(SampleSetTest, FrontOffersAndFinalizationAreTheReference) {
  Random rnd(99, 2);
  const Case c{"", 0, 500, 2, Values::Real, Values::Real};
  const Data d = make_data(c, rnd);
  const SampleSet set = sample_set(d);
  auto want_front = std::make_shared<ParetoFront>();
  auto got_front = std::make_shared<ParetoFront>();
  for (int i = 0; i < 60; ++i) {
    const Expression e = rnd.expression(true);
    score_and_update(e, d.rows, d.targets, *want_front, 0.01, 0.5, builtins());
    score_and_update(e, set, *got_front, 0.01, 0.5);
  }
  SearchConfig config;
  config.alpha = 0.01;
  const auto want_outcome = finalize_result(want_front, shared_builtins(), config, d.rows, d.targets);
  const auto got_outcome = finalize_result(got_front, shared_builtins(), config, set);
  const auto* want = std::get_if<std::vector<SearchResult>>(&want_outcome);
  const auto* got = std::get_if<std::vector<SearchResult>>(&got_outcome);
  ASSERT_NE(want, nullptr);
  ASSERT_NE(got, nullptr);
  ASSERT_EQ(want->size(), got->size());
  EXPECT_GT(want->size(), 1u);
  for (std::size_t i = 0; i < want->size(); ++i) {
    EXPECT_TRUE(same_expression((*want)[i].expression, (*got)[i].expression)) << i;
    EXPECT_TRUE(same_double((*want)[i].error, (*got)[i].error)) << i;
  }
}

}  // namespace
}  // namespace vok
