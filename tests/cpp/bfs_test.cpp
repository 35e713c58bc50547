// Tests of whole searches: input checks, early exit, output lines, recovery.
#include "engine/search/bfs.hpp"

#include <gtest/gtest.h>

#include <oneapi/tbb/global_control.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/refine/reference.hpp"
#include "engine_helpers.hpp"
#include "infra/pool.hpp"

namespace vok {
namespace {

using namespace testing_support;
// The per-sample reference overloads, which these tests compare with.
using namespace reference;
using Rows = std::vector<std::vector<double>>;
using Results = std::vector<SearchResult>;

struct Problem {
  Rows rows;
  std::vector<double> targets;
};

template <class F>
Problem one_variable(F f, int n = 20, double lo = -1.0, double hi = 1.0) {
  Problem p;
  for (int i = 0; i < n; ++i) {
    const double x = lo + (hi - lo) * i / (n - 1);
    p.rows.push_back({x});
    p.targets.push_back(f(x));
  }
  return p;
}

SearchConfig small(std::size_t max_complexity, std::size_t beam = 50) {
  SearchConfig c;
  c.max_complexity = max_complexity;
  c.beam_width = beam;
  return c;
}

struct SearchRun {
  Outcome<Results> outcome;
  std::string out;
};

SearchRun run_captured(const Problem& p, const SearchConfig& config, SearchTrace* trace = nullptr) {
  ::testing::internal::CaptureStdout();
  auto outcome = run_bfs(p.rows, p.targets, config, trace);
  return {std::move(outcome), ::testing::internal::GetCapturedStdout()};
}

const Results& results_of(const SearchRun& r) {
  static const Results empty;
  const auto* res = std::get_if<Results>(&r.outcome);
  EXPECT_NE(res, nullptr) << (res ? "" : std::get<SearchError>(r.outcome).text());
  return res ? *res : empty;
}

std::string error_of(const SearchRun& r) {
  const auto* e = std::get_if<SearchError>(&r.outcome);
  return e ? e->text() : "<no error>";
}

TEST(RunBfs, RejectsMismatchedOrEmptyInputSilently) {
  const Problem five_four{{{1}, {2}, {3}, {4}, {5}}, {1, 2, 3, 4}};
  const Problem empty{};
  for (const Problem* p : {&five_four, &empty}) {
    const SearchRun r = run_captured(*p, small(3));
    EXPECT_EQ(error_of(r), "Inputs and target vector must be non-empty and equal length.");
    EXPECT_EQ(std::get<SearchError>(r.outcome).kind, SearchError::Kind::InvalidInput);
    EXPECT_EQ(r.out, "");
  }
}

TEST(RunBfs, TooManyColumnsIsInvalidInputAndTheWidestInputWorks) {
  Problem wide{{std::vector<double>(256, 1.0)}, {2.0}};
  const SearchRun r = run_captured(wide, small(1));
  EXPECT_EQ(error_of(r), "Too many input variables: 256 (at most 255 are supported).");
  EXPECT_EQ(r.out, "");

  wide.rows[0].pop_back();
  for (std::size_t i = 0; i < wide.rows[0].size(); ++i) wide.rows[0][i] = static_cast<double>(i);
  wide.targets = {0.5};
  SearchTrace trace;
  const SearchRun ok = run_captured(wide, small(1), &trace);
  ASSERT_EQ(trace.levels.size(), 1u);
  EXPECT_EQ(trace.levels[0].candidates, 256u);
  EXPECT_FALSE(results_of(ok).empty());
}

TEST(RunBfs, MaxComplexityZeroFindsNothing) {
  const SearchRun r = run_captured(one_variable([](double x) { return x; }), small(0));
  EXPECT_EQ(std::get<SearchError>(r.outcome).kind, SearchError::Kind::NoFormulaFound);
  EXPECT_EQ(error_of(r), "No formula found up to complexity 0");
  EXPECT_EQ(r.out, "");
}

TEST(RunBfs, MaxComplexityOneSeedsAndReturnsBetterLeaf) {
  SearchTrace trace;
  trace.keep_expressions = true;
  const SearchRun r = run_captured(one_variable([](double x) { return x + 0.5; }), small(1), &trace);
  EXPECT_EQ(r.out, "[VOK-SR] Started search space exploration. Level 1 seeded with 2 primary nodes.\n");
  EXPECT_EQ(formulas(trace.retained[1]), (std::vector<std::string>{"C", "v_{0}"}));
  const auto& res = results_of(r);
  ASSERT_EQ(res.size(), 1u);
  EXPECT_EQ(res[0].expression.formula, "v_{0}");
  EXPECT_DOUBLE_EQ(res[0].error, 0.25);
}

TEST(RunBfs, ExactLeafExitsAfterSeedingUnlessExhaustive) {
  const Problem p = one_variable([](double x) { return x; });
  SearchTrace trace;
  const SearchRun quick = run_captured(p, small(4), &trace);
  EXPECT_EQ(quick.out, "");
  EXPECT_EQ(trace.levels.size(), 1u);
  EXPECT_EQ(results_of(quick).front().expression.formula, "v_{0}");
  EXPECT_EQ(results_of(quick).front().error, 0.0);

  SearchConfig config = small(3);
  config.exhaustive = true;
  SearchTrace full;
  const SearchRun all = run_captured(p, config, &full);
  EXPECT_EQ(full.levels.size(), 3u);
  EXPECT_NE(all.out.find("Level 3 processed"), std::string::npos);
}

TEST(RunBfs, OutputLinesHaveTheirExactShape) {
  SearchConfig config = small(3);
  config.exhaustive = true;
  const SearchRun r = run_captured(one_variable([](double x) { return std::sin(3 * x); }), config);
  const std::string progress = "(\\r  \\[VOK\\] L[23] Progress: \\[(\u2588|\u2591){10}\\] [0-9]+% \\([0-9]+/[0-9]+\\) \\| "
                               "[0-9]+\\.[0-9]s \\(Est: -?[0-9]+\\.[0-9]s\\)   )+";
  const std::string level = "\\[VOK-SR\\]   -> Level [23] processed in [0-9]+(\\.[0-9]+)?(s|ms|\u00b5s|ns)\\. "
                            "Retaining top [0-9]+ candidates\\.\n";
  const std::regex shape("\\[VOK-SR\\] Started search space exploration\\. Level 1 seeded with 2 primary nodes\\.\n" +
                         progress + "\n" + level + progress + "\n" + level);
  EXPECT_TRUE(std::regex_match(r.out, shape)) << r.out;
  // Each progress run ends at 100% right before its line end.
  EXPECT_NE(r.out.find("100% (26/26)"), std::string::npos);
}

TEST(RunBfs, RowsWithoutVariablesSearchOverCOnly) {
  const Problem p{{{}, {}}, {5.0, 7.0}};
  SearchTrace trace;
  trace.keep_expressions = true;
  const SearchRun r = run_captured(p, small(2), &trace);
  EXPECT_EQ(formulas(trace.retained[1]), (std::vector<std::string>{"C"}));
  ASSERT_GE(trace.candidate_lists.size(), 3u);
  EXPECT_FALSE(trace.candidate_lists[2].empty());
  for (const auto& e : trace.candidate_lists[2]) EXPECT_EQ(e.num_vars, 0);
  EXPECT_FALSE(results_of(r).empty());
}

TEST(RunBfs, RaggedRowsNeverReadPastARow) {
  const Problem shorter_later{{{1, 2}, {3}, {}, {0.5, 0.25}}, {3, 3, 0, 0.75}};
  const Problem longer_later{{{1}, {2, 5}, {3, 7, 9}}, {1, 2, 3}};
  for (const Problem* p : {&shorter_later, &longer_later}) {
    const SearchRun r = run_captured(*p, small(4, 30));
    for (const auto& res : results_of(r)) EXPECT_TRUE(std::isfinite(res.error));
  }
}

TEST(RunBfs, RecoversSquarePlusXExactly) {
  const Problem p = one_variable([](double x) { return x * x + x; });
  const SearchRun r = run_captured(p, small(5, 100));
  const auto& best = results_of(r).front();
  EXPECT_LE(best.error, 1e-10);
  EXPECT_EQ(best.expression.formula, "Plus(v_{0}, Square(v_{0}))");
  for (double x : {-3.0, 0.25, 7.5}) EXPECT_DOUBLE_EQ(eval_multi(best, std::vector<double>{x}), x * x + x);
}

TEST(RunBfs, RecoversFittedConstant) {
  const Problem scale = one_variable([](double x) { return 2.5 * x; });
  const SearchRun scaled = run_captured(scale, small(4, 50));
  const auto& best = results_of(scaled).front();
  EXPECT_LE(best.error, 1e-10);
  EXPECT_EQ(best.expression.complexity, 3u);
  EXPECT_NEAR(eval_multi(best, std::vector<double>{4.0}), 10.0, 1e-5);

  const Problem shift = one_variable([](double x) { return x + 3.7; });
  const SearchRun shift_run = run_captured(shift, small(4, 50));
  const auto& shifted = results_of(shift_run).front();
  EXPECT_LE(shifted.error, 1e-10);
  EXPECT_NEAR(eval_multi(shifted, std::vector<double>{-2.0}), 1.7, 1e-5);
}

TEST(RunBfs, NaNComplexityPenaltyIsAcceptedAndDeterministic) {
  SearchConfig config = small(4, 20);
  config.complexity_penalty = std::numeric_limits<double>::quiet_NaN();
  const Problem p = one_variable([](double x) { return std::cos(2 * x) + 0.3; });
  SearchTrace a, b;
  a.keep_expressions = b.keep_expressions = true;
  const SearchRun first = run_captured(p, config, &a);
  const SearchRun second = run_captured(p, config, &b);
  ASSERT_FALSE(results_of(first).empty());
  for (std::size_t k = 2; k < a.retained.size(); ++k) {
    EXPECT_EQ(a.retained[k].size(), 20u);
    EXPECT_EQ(formulas(a.retained[k]), formulas(b.retained[k]));
  }
}

// Every observable product of a search, for comparing runs.
struct Snapshot {
  SearchTrace trace;
  Results results;
};

Snapshot snapshot(const Problem& p, const SearchConfig& config) {
  Snapshot s;
  s.trace.keep_expressions = true;
  SearchRun r = run_captured(p, config, &s.trace);
  s.results = results_of(r);
  return s;
}

void expect_same(const std::vector<Expression>& a, const std::vector<Expression>& b, const char* what,
                 std::size_t k) {
  ASSERT_EQ(a.size(), b.size()) << what << " " << k;
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_TRUE(same_expression(a[i], b[i])) << what << " " << k << " #" << i << " " << a[i].formula;
  }
}

TEST(RunBfs, SameResultsForOneThreadAndMany) {
  Problem p;
  for (int i = 0; i < 25; ++i) {
    const double a = -1.0 + 0.08 * i, b = std::cos(1.3 * i);
    p.rows.push_back({a, b});
    p.targets.push_back(std::sin(a) * b + 0.7);
  }
  SearchConfig config = small(5, 60);
  config.exhaustive = true;

  const Snapshot many = snapshot(p, config);
  Snapshot one;
  {
    tbb::global_control single(tbb::global_control::max_allowed_parallelism, 1);
    std::mutex mutex;
    std::set<std::thread::id> ids;
    parallel_each(10000, [&](std::size_t) {
      std::lock_guard<std::mutex> lock(mutex);
      ids.insert(std::this_thread::get_id());
    });
    ASSERT_EQ(ids.size(), 1u);  // the premise: this run really is single-threaded
    one = snapshot(p, config);
  }
  ASSERT_EQ(many.trace.levels.size(), one.trace.levels.size());
  for (std::size_t k = 1; k < many.trace.retained.size(); ++k) {
    expect_same(many.trace.candidate_lists[k], one.trace.candidate_lists[k], "candidates", k);
    expect_same(many.trace.retained[k], one.trace.retained[k], "level", k);
  }
  ASSERT_EQ(many.results.size(), one.results.size());
  for (std::size_t i = 0; i < many.results.size(); ++i) {
    EXPECT_TRUE(same_expression(many.results[i].expression, one.results[i].expression));
    EXPECT_TRUE(same_bits(many.results[i].error, one.results[i].error));
  }
}

TEST(CheckEarlyExit, FiresAtOrBelowThreshold) {
  struct Case {
    std::vector<double> errors;
    bool exhaustive;
    bool fires;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Case> cases{{{0.5, 1e-12}, false, true}, {{1e-10}, false, true},
                                {{2e-10, 0.3}, false, false}, {{0.0}, true, false},
                                {{}, false, false},           {{nan}, false, false}};
  for (const Case& c : cases) {
    ParetoFront front;
    Expression e = v(0);
    for (double err : c.errors) {
      update_pareto(front, e, err);
      e = un(BuiltinKind::Neg, e);
    }
    EXPECT_EQ(check_early_exit(front, c.exhaustive, 1e-10), c.fires);
  }
}

Expression chain(std::size_t complexity) {
  Expression e = v(0);
  while (e.complexity < complexity) e = bin(BuiltinKind::Plus, v(0), e);
  return e;
}

TEST(FinalizeResult, KeepsEntriesThatBeatEverySimplerOne) {
  auto front = std::make_shared<ParetoFront>();
  const std::vector<std::pair<std::size_t, double>> entries{{1, 0.9}, {3, 0.2}, {5, 0.4}, {7, 0.05}, {9, 0.05}};
  for (auto [c, err] : entries) update_pareto(*front, chain(c), err);
  const std::vector<ComplexRow> rows{{{1.0, 0.0}}};
  const std::vector<double> targets{0.0};
  auto registry = std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins());
  auto outcome = finalize_result(front, registry, SearchConfig{}, rows, targets);
  const auto& res = std::get<Results>(outcome);
  ASSERT_EQ(res.size(), 3u);
  EXPECT_EQ(res[0].expression.complexity, 7u);
  EXPECT_EQ(res[0].error, 0.05);
  EXPECT_EQ(res[1].expression.complexity, 3u);
  EXPECT_EQ(res[2].expression.complexity, 1u);
  EXPECT_EQ(res[2].registry, registry);
}

TEST(FinalizeResult, ParametersAreRefitUnconditionallyUnlessSwitchedOff) {
  const std::vector<ComplexRow> rows{{{1.0, 0.0}}, {{2.0, 0.0}}, {{3.0, 0.0}}};
  const std::vector<double> targets{2, 4, 6};
  auto registry = std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins());
  for (bool optimize : {true, false}) {
    auto front = std::make_shared<ParetoFront>();
    update_pareto(*front, bin(BuiltinKind::Times, C(), v(0)), 1e-300);  // lower than any fit
    SearchConfig config;
    config.optimize_constants = optimize;
    const auto res = std::get<Results>(finalize_result(front, registry, config, rows, targets));
    ASSERT_EQ(res.size(), 1u);
    if (optimize) {
      EXPECT_GT(res[0].error, 1e-300);
      EXPECT_NEAR(res[0].expression.tokens[0].value.re, 2.0, 1e-6);
    } else {
      EXPECT_EQ(res[0].error, 1e-300);
      EXPECT_EQ(res[0].expression.tokens[0].value.re, 0.1);
    }
  }
}

TEST(FinalizeResult, EmptyFrontIsNoFormulaFound) {
  SearchConfig config;
  config.max_complexity = 7;
  const std::vector<ComplexRow> rows{{}};
  const std::vector<double> targets{0.0};
  auto outcome = finalize_result(std::make_shared<ParetoFront>(),
                                 std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins()),
                                 config, rows, targets);
  EXPECT_EQ(std::get<SearchError>(outcome).text(), "No formula found up to complexity 7");
}

}  // namespace
}  // namespace vok

namespace vok {
namespace {

// The screen leaves candidates unrefined that start far behind, and keeps
// those whose refinement finds the law, although their constants start from
// the fits of smaller formulas: x * sqrt(x + C) far behind, with complex
// values left of -C at the start (at factor 1 only the first step's model
// on the other rows keeps it), and (x + C) * x^3 from x + C's own fit.
struct ScreenLaw {
  const char* name;
  double (*f)(double);
  std::size_t max_complexity;
  double factor;
};
class ScreenSearch : public ::testing::TestWithParam<ScreenLaw> {};

TEST_P(ScreenSearch, SkipsHopelessRefinementsAndStillFindsTheLaw) {
  const ScreenLaw& c = GetParam();
  const Problem p = one_variable(c.f, 30, -2.0, 2.0);
  SearchConfig config = small(c.max_complexity, 200);
  config.ranking = Ranking::Affine;
  config.output_scaling = true;
  config.exhaustive = true;
  std::size_t scored[2] = {0, 0};
  for (const bool screened : {false, true}) {
    config.screen_factor = screened ? c.factor : 0.0;
    SearchTrace trace;
    const SearchRun r = run_captured(p, config, &trace);
    const Results& res = results_of(r);
    ASSERT_FALSE(res.empty());
    double best = std::numeric_limits<double>::infinity();
    for (const SearchResult& x : res) best = std::min(best, x.error);
    EXPECT_LT(best, 1e-20) << (screened ? "screened" : "unscreened");
    for (const auto& level : trace.levels) scored[screened] += level.scored;
  }
  EXPECT_LT(scored[1], scored[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Laws, ScreenSearch,
    ::testing::Values(ScreenLaw{"root_factor_5", [](double x) { return x * std::sqrt(x + 2.5); }, 6, 5.0},
                      ScreenLaw{"root_factor_1", [](double x) { return x * std::sqrt(x + 2.5); }, 6, 1.0},
                      ScreenLaw{"linear_constant_factor_1", [](double x) { return (x + 1.0) * x * x * x; }, 6, 1.0}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace vok
