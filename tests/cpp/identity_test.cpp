// Whole searches on the Fast path (fingerprints from probe values, chunked
// scoring, pruned beam store) against the PerSample reference (every child
// built and evaluated, the whole level scored and selected at once): every
// candidate list, retained level, result and printed line must agree bit
// for bit, except the durations, for every chunk size and thread count.
#include "engine/search/bfs.hpp"

#include <gtest/gtest.h>

#include <oneapi/tbb/global_control.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "engine_helpers.hpp"

namespace vok {
namespace {

using namespace testing_support;
using Rows = std::vector<std::vector<double>>;

struct Problem {
  std::string name;
  Rows rows;
  std::vector<double> targets;
};

Problem cubic() {
  Problem p{"cubic", {}, {}};
  for (int i = 0; i < 20; ++i) {
    const double x = -1.0 + 2.0 * i / 19.0;
    p.rows.push_back({x});
    p.targets.push_back(x * x * x + x);
  }
  return p;
}

Problem fitted_constant() {
  Problem p{"fitted_constant", {}, {}};
  for (int i = 0; i < 16; ++i) {
    const double x = 0.25 * i - 1.5;
    p.rows.push_back({x});
    p.targets.push_back(2.5 * std::sin(x) + 0.7);
  }
  return p;
}

// More samples than one block: refinement abandons rejected steps and
// scoring abandons parameter-free candidates part way.
Problem many_rows() {
  Problem p{"many_rows", {}, {}};
  for (int i = 0; i < 700; ++i) {
    const double a = std::sin(0.37 * i) * 1.5, b = 0.5 + std::cos(0.11 * i);
    p.rows.push_back({a, b});
    p.targets.push_back(a * b + std::sin(a) + 0.05 * std::cos(13.0 * i));
  }
  return p;
}

Problem two_variables() {
  Problem p{"two_variables", {}, {}};
  for (int i = 0; i < 18; ++i) {
    const double a = -1.0 + 0.11 * i, b = std::cos(1.7 * i);
    p.rows.push_back({a, b});
    p.targets.push_back(a * std::exp(b) - 0.3);
  }
  return p;
}

// A NaN in the first column and an infinity in the second: every formula
// over v_{0} has no finite error, while some over v_{1} (Exp(Neg(v_{1})))
// stay finite at the infinite input.
Problem non_finite_data() {
  Problem p{"non_finite_data", {}, {}};
  for (int i = 0; i < 12; ++i) {
    const double a = 0.2 * i, b = 0.5 + 0.1 * i;
    p.rows.push_back({a, b});
    p.targets.push_back(std::exp(-b) + 1.0);
  }
  p.rows[3][0] = std::numeric_limits<double>::quiet_NaN();
  p.rows[5][1] = std::numeric_limits<double>::infinity();
  return p;
}

struct SearchRun {
  SearchTrace trace;
  std::vector<SearchResult> results;
  std::string error;  // the error text when the search found nothing
  std::string out;    // standard output
};

// threads 0: the pool's full size.
SearchRun run(const Problem& p, SearchConfig config, EvalPath path, std::size_t chunk, std::size_t threads,
              std::optional<std::size_t> column_budget = std::nullopt) {
  config.eval_path = path;
  config.candidate_chunk = chunk;
  if (column_budget) config.sample_column_budget = *column_budget;
  std::optional<tbb::global_control> limit;
  if (threads != 0) limit.emplace(tbb::global_control::max_allowed_parallelism, threads);
  SearchRun r;
  r.trace.keep_expressions = true;
  ::testing::internal::CaptureStdout();
  auto outcome = run_bfs(p.rows, p.targets, config, &r.trace);
  r.out = ::testing::internal::GetCapturedStdout();
  if (auto* results = std::get_if<std::vector<SearchResult>>(&outcome)) {
    r.results = std::move(*results);
  } else {
    r.error = std::get<SearchError>(outcome).text();
  }
  return r;
}

// Masks the durations: the level line's and the two of each progress print.
// With only_last_progress, a progress run is reduced to its last print
// (100%): which intermediate percentages get printed depends on timing as
// soon as several workers score.
std::string masked(const std::string& out, bool only_last_progress) {
  std::istringstream in(out);
  std::string line;
  std::string result;
  while (std::getline(in, line)) {
    if (line.rfind("[VOK-SR]   -> Level ", 0) == 0) {
      const std::size_t from = line.find(" processed in ");
      const std::size_t to = line.find(". Retaining");
      if (from != std::string::npos && to != std::string::npos && from < to) {
        line = line.substr(0, from) + " processed in <t>" + line.substr(to);
      }
    } else if (line.find('\r') != std::string::npos) {
      std::string progress;
      std::size_t start = line.find('\r');
      if (only_last_progress) start = line.rfind('\r');
      while (start != std::string::npos) {
        const std::size_t next = line.find('\r', start + 1);
        std::string segment = line.substr(start, next == std::string::npos ? std::string::npos : next - start);
        const std::size_t bar = segment.find(" | ");
        if (bar != std::string::npos) segment = segment.substr(0, bar) + " | <t>";
        progress += segment;
        start = next;
      }
      line = line.substr(0, line.find('\r')) + progress;
    }
    result += line;
    result += '\n';
  }
  return result;
}

void expect_same_lists(const std::vector<std::vector<Expression>>& a, const std::vector<std::vector<Expression>>& b,
                       const char* what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (std::size_t k = 0; k < a.size(); ++k) {
    ASSERT_EQ(a[k].size(), b[k].size()) << what << " at level " << k;
    for (std::size_t i = 0; i < a[k].size(); ++i) {
      ASSERT_TRUE(same_expression(a[k][i], b[k][i]))
          << what << " at level " << k << " #" << i << ": " << a[k][i].formula << " vs " << b[k][i].formula;
    }
  }
}

void expect_identical(const SearchRun& want, const SearchRun& got, bool exact_progress) {
  ASSERT_EQ(want.trace.levels.size(), got.trace.levels.size());
  for (std::size_t i = 0; i < want.trace.levels.size(); ++i) {
    const auto& w = want.trace.levels[i];
    const auto& g = got.trace.levels[i];
    EXPECT_EQ(w.k, g.k);
    EXPECT_EQ(w.candidates, g.candidates) << "level " << w.k;
    // An abandoned candidate could change nothing, and may or may not have
    // survived: the survivors are bounded by the two counts.
    EXPECT_LE(g.scored, w.scored) << "level " << w.k;
    EXPECT_GE(g.scored + g.abandoned, w.scored) << "level " << w.k;
    EXPECT_EQ(w.retained, g.retained) << "level " << w.k;
  }
  expect_same_lists(want.trace.candidate_lists, got.trace.candidate_lists, "candidates");
  expect_same_lists(want.trace.retained, got.trace.retained, "retained");
  EXPECT_EQ(want.error, got.error);
  ASSERT_EQ(want.results.size(), got.results.size());
  for (std::size_t i = 0; i < want.results.size(); ++i) {
    EXPECT_TRUE(same_expression(want.results[i].expression, got.results[i].expression))
        << want.results[i].expression.formula << " vs " << got.results[i].expression.formula;
    EXPECT_TRUE(same_bits(want.results[i].error, got.results[i].error)) << want.results[i].expression.formula;
  }
  EXPECT_EQ(masked(want.out, !exact_progress), masked(got.out, !exact_progress));
}

struct IdentityCase {
  Problem (*problem)();
  std::size_t beam;
  std::size_t max_complexity;
  bool exhaustive;
};

class FastPathIdentity : public ::testing::TestWithParam<IdentityCase> {
 protected:
  SearchConfig config() const {
    SearchConfig c;
    c.beam_width = GetParam().beam;
    c.max_complexity = GetParam().max_complexity;
    c.exhaustive = GetParam().exhaustive;
    return c;
  }
};

TEST_P(FastPathIdentity, SingleThreadedFastEqualsPerSampleForEveryChunkSize) {
  const Problem p = GetParam().problem();
  const SearchRun reference = run(p, config(), EvalPath::PerSample, 16384, 1);
  // The premise: the search got past level 2 and printed its lines.
  ASSERT_GE(reference.trace.levels.size(), 3u);
  ASSERT_NE(reference.out.find("Level 2 processed"), std::string::npos);
  for (std::size_t chunk : {16384u, 3u, 1u}) {
    SCOPED_TRACE(chunk);
    expect_identical(reference, run(p, config(), EvalPath::Fast, chunk, 1), true);
  }
}

// Without sample columns, or with room for the first levels' only (their
// children composed, the later ones evaluated whole, perturbed columns
// dropped first), the search is the same.
TEST_P(FastPathIdentity, SampleColumnBudgetChangesNothing) {
  const Problem p = GetParam().problem();
  const SearchRun reference = run(p, config(), EvalPath::PerSample, 16384, 1);
  const std::size_t per_expression = p.rows.size() * (2 * sizeof(double) + 1);
  for (std::size_t budget : {std::size_t{0}, 40 * per_expression, 400 * per_expression}) {
    SCOPED_TRACE(budget);
    expect_identical(reference, run(p, config(), EvalPath::Fast, 16384, 1, budget), true);
  }
}

TEST_P(FastPathIdentity, ManyThreadsEqualOneOnTheFastPath) {
  const Problem p = GetParam().problem();
  const SearchRun one = run(p, config(), EvalPath::Fast, 16384, 1);
  for (std::size_t chunk : {16384u, 5u}) {
    SCOPED_TRACE(chunk);
    expect_identical(one, run(p, config(), EvalPath::Fast, chunk, 0), false);
    expect_identical(one, run(p, config(), EvalPath::Fast, chunk, 3), false);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Problems, FastPathIdentity,
    ::testing::Values(IdentityCase{cubic, 50, 5, false}, IdentityCase{cubic, 7, 6, true},
                      IdentityCase{fitted_constant, 50, 5, true}, IdentityCase{fitted_constant, 1, 6, true},
                      IdentityCase{two_variables, 7, 5, true}, IdentityCase{two_variables, 50, 4, true},
                      IdentityCase{two_variables, 1, 6, true}, IdentityCase{non_finite_data, 7, 5, true},
                      IdentityCase{non_finite_data, 50, 4, true}, IdentityCase{many_rows, 7, 5, true},
                      IdentityCase{many_rows, 60, 4, true}),
    [](const ::testing::TestParamInfo<IdentityCase>& param_info) {
      const IdentityCase& c = param_info.param;
      return c.problem().name + "_beam" + std::to_string(c.beam) + "_c" + std::to_string(c.max_complexity);
    });

TEST(MaskedOutput, MasksOnlyDurationsAndKeepsTheLastProgressPrint) {
  const std::string out =
      "[VOK-SR] Started search space exploration. Level 1 seeded with 2 primary nodes.\n"
      "\r  [VOK] L2 Progress: [\u2588\u2588\u2588\u2588\u2588\u2591\u2591\u2591\u2591\u2591] 50% (1/2) | 0.1s (Est: 0.1s)   "
      "\r  [VOK] L2 Progress: [\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588] 100% (2/2) | 0.3s (Est: 0.0s)   \n"
      "[VOK-SR]   -> Level 2 processed in 12.034ms. Retaining top 2 candidates.\n";
  const std::string last =
      "[VOK-SR] Started search space exploration. Level 1 seeded with 2 primary nodes.\n"
      "\r  [VOK] L2 Progress: [\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588] 100% (2/2) | <t>\n"
      "[VOK-SR]   -> Level 2 processed in <t>. Retaining top 2 candidates.\n";
  EXPECT_EQ(masked(out, true), last);
  const std::string all = masked(out, false);
  EXPECT_NE(all.find("50% (1/2) | <t>\r"), std::string::npos) << all;
  EXPECT_NE(all, masked("[VOK-SR] Started search space exploration. Level 1 seeded with 3 primary nodes.\n", false));
}

}  // namespace
}  // namespace vok

namespace vok {
namespace {

// The premise of the many_rows cases: in small chunks (bounds known early)
// the search did abandon candidates
// part way, so their identity covers it.
TEST(EarlyAbandoning, HappensOnManyRows) {
  SearchConfig config;
  config.beam_width = 7;
  config.max_complexity = 5;
  config.exhaustive = true;
  const SearchRun r = run(many_rows(), config, EvalPath::Fast, 3, 1);
  std::size_t abandoned = 0;
  for (const auto& level : r.trace.levels) abandoned += level.abandoned;
  EXPECT_GT(abandoned, 0u);
}

}  // namespace
}  // namespace vok
