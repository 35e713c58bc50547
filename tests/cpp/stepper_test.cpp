// A search stepped level by level, its ranges scored here or from bytes, against run_search.
#include "engine/search/bfs.hpp"
#include "engine/search/stepper.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "engine/wire/level_codec.hpp"
#include "engine_helpers.hpp"

namespace vok {
namespace {

using testing_support::same_bits;
using testing_support::same_expression;
using testing_support::SearchData;

SearchData noisy_two_variables() {
  SearchData d;
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-1.5, 1.5);
  for (int i = 0; i < 30; ++i) {
    const double x = u(rng), y = u(rng);
    d.rows.push_back({x, y});
    d.targets.push_back(std::sin(x) * y + 0.3 * x * x + 0.01 * u(rng));
  }
  return d;
}

SearchData cubic() {
  SearchData d;
  for (int i = 0; i < 20; ++i) {
    const double x = -1.0 + 2.0 * i / 19.0;
    d.rows.push_back({x});
    d.targets.push_back(x * x * x + x * x + x);
  }
  return d;
}

struct Case {
  const char* name;
  SearchData (*data)();
  std::size_t beam;
  std::size_t max_complexity;
  Ranking ranking;
};

SearchConfig config_of(const Case& c) {
  SearchConfig config;
  config.beam_width = c.beam;
  config.max_complexity = c.max_complexity;
  config.ranking = c.ranking;
  config.exhaustive = true;
  return config;
}

std::unique_ptr<SearchStepper> start(const SearchData& d, const SearchConfig& config) {
  auto started = SearchStepper::start(*Dataset::from_rows(d.rows, d.targets), config, 0);
  EXPECT_TRUE(std::holds_alternative<std::unique_ptr<SearchStepper>>(started));
  return std::move(std::get<std::unique_ptr<SearchStepper>>(started));
}

// Ranges of at most `size` candidates (the last may be shorter).
std::vector<std::pair<std::size_t, std::size_t>> ranges(std::size_t total, std::size_t size) {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  for (std::size_t first = 0; first < total; first += size) out.emplace_back(first, std::min(size, total - first));
  return out;
}

void expect_same_results(const SearchRun& want, const SearchRun& got) {
  ASSERT_EQ(want.stop, got.stop);
  EXPECT_EQ(want.last_level, got.last_level);
  const auto& w = std::get<std::vector<SearchResult>>(want.results);
  const auto& g = std::get<std::vector<SearchResult>>(got.results);
  ASSERT_EQ(w.size(), g.size());
  for (std::size_t i = 0; i < w.size(); ++i) {
    EXPECT_TRUE(same_expression(w[i].expression, g[i].expression))
        << w[i].expression.formula << " vs " << g[i].expression.formula;
    EXPECT_TRUE(same_bits(w[i].error, g[i].error)) << w[i].expression.formula;
  }
}

class StepperIdentity : public ::testing::TestWithParam<Case> {};

// Any split into ranges, summaries in any order, scored here or from the
// payload's bytes as a worker would: the local search's results exactly.
TEST_P(StepperIdentity, EverySplitFindsWhatTheLocalSearchFinds) {
  const Case& c = GetParam();
  const SearchData d = c.data();
  const SearchConfig config = config_of(c);
  SearchControl silent;
  silent.output = ProgressOutput::Silent;
  const SearchRun want = run_search(d.rows, d.targets, config, silent);

  for (const std::size_t size : {std::size_t{1} << 30, std::size_t{97}, std::size_t{7}}) {
    for (const bool remote : {false, true}) {
      SCOPED_TRACE(testing::Message() << "range " << size << (remote ? " from bytes" : " here"));
      auto st = start(d, config);
      while (const auto k = st->open_next()) {
        EXPECT_EQ(st->open_level(), *k);
        std::vector<std::string> parts;
        std::unique_ptr<LevelWork> work;
        if (remote) {
          auto decoded = LevelWork::decode(st->payload());
          ASSERT_TRUE(std::holds_alternative<std::unique_ptr<LevelWork>>(decoded));
          work = std::move(std::get<std::unique_ptr<LevelWork>>(decoded));
          EXPECT_EQ(work->level(), *k);
        }
        for (const auto& [first, n] : ranges(st->candidate_count(), size)) {
          if (!remote) {
            parts.push_back(st->score(first, n));
            continue;
          }
          auto scored = work->score(st->recipes(first, n), first);
          ASSERT_TRUE(std::holds_alternative<std::string>(scored));
          parts.push_back(std::get<std::string>(scored));
        }
        std::reverse(parts.begin(), parts.end());
        const std::vector<std::string_view> views(parts.begin(), parts.end());
        auto info = st->absorb(views);
        ASSERT_TRUE(std::holds_alternative<SearchStepper::LevelInfo>(info));
        EXPECT_EQ(std::get<SearchStepper::LevelInfo>(info).level, *k);
        EXPECT_EQ(st->open_level(), 0u);
      }
      expect_same_results(want, st->finish());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Problems, StepperIdentity,
                         ::testing::Values(Case{"cubic_beam7", cubic, 7, 6, Ranking::Raw},
                                           Case{"cubic_beam1000", cubic, 1000, 5, Ranking::Raw},
                                           Case{"noisy_beam30", noisy_two_variables, 30, 5, Ranking::Raw},
                                           Case{"noisy_affine_beam30", noisy_two_variables, 30, 5, Ranking::Affine}),
                         [](const auto& p) { return std::string(p.param.name); });

bool invalid(const Outcome<SearchStepper::LevelInfo>& r) {
  return std::holds_alternative<SearchError>(r) && std::get<SearchError>(r).kind == SearchError::Kind::InvalidInput;
}

// Summaries that do not tile the level, belong elsewhere or are damaged are
// refused, and the level stays open for the right ones.
TEST(Stepper, RefusesSummariesThatDoNotMakeUpTheLevel) {
  const SearchData d = cubic();
  SearchConfig config = config_of(Case{"", cubic, 7, 4, Ranking::Raw});
  auto st = start(d, config);
  auto other = start(d, config);
  ASSERT_TRUE(st->open_next());
  ASSERT_TRUE(other->open_next());
  const std::size_t n = st->candidate_count();
  ASSERT_GT(n, 4u);
  const std::string a = st->score(0, 3);
  const std::string b = st->score(3, n - 3);
  const std::string overlap = st->score(2, n - 2);
  const std::string foreign = other->score(3, n - 3);
  const auto absorb = [&](std::vector<std::string_view> parts) { return st->absorb(parts); };
  EXPECT_TRUE(invalid(absorb({a})));
  EXPECT_TRUE(invalid(absorb({a, overlap})));
  EXPECT_TRUE(invalid(absorb({a, b, b})));
  EXPECT_TRUE(invalid(absorb({a, foreign})));
  EXPECT_TRUE(invalid(absorb({})));
  // Every truncation, and every byte flipped in the tag, the search id, the
  // level or the range, is refused.
  for (std::size_t cut = 0; cut < b.size(); ++cut) {
    EXPECT_TRUE(invalid(absorb({a, std::string_view(b).substr(0, cut)}))) << cut;
  }
  for (std::size_t i = 0; i < 4 + 8 + 8 + 8 + 8; ++i) {
    std::string damaged = b;
    damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
    EXPECT_TRUE(invalid(absorb({a, damaged}))) << i;
  }
  EXPECT_EQ(st->open_level(), 2u);
  EXPECT_FALSE(invalid(absorb({b, a})));
  EXPECT_EQ(st->open_level(), 0u);
}

TEST(Stepper, DamagedPayloadsAndRecipesAreRefused) {
  const SearchData d = noisy_two_variables();
  auto st = start(d, config_of(Case{"", noisy_two_variables, 10, 4, Ranking::Raw}));
  ASSERT_TRUE(st->open_next());
  ASSERT_TRUE(st->open_next() == std::nullopt);  // a level is open already
  const std::string payload = st->payload();
  for (std::size_t cut = 0; cut < payload.size(); cut += 7) {
    EXPECT_TRUE(std::holds_alternative<SearchError>(LevelWork::decode(std::string_view(payload).substr(0, cut))))
        << cut;
  }
  auto work = std::move(std::get<std::unique_ptr<LevelWork>>(LevelWork::decode(payload)));
  const std::string recipes = st->recipes(0, st->candidate_count());
  EXPECT_TRUE(std::holds_alternative<std::string>(work->score(recipes, 0)));
  // A varint that never ends, a zero gap (ranks must increase), a rank past the level's.
  for (const std::string& bad : {std::string("\x80", 1), std::string("\x01\x00", 2), std::string("\xff\xff\xff\x7f", 4)}) {
    EXPECT_TRUE(std::holds_alternative<SearchError>(work->score(bad, 0)));
  }
}

// A stop drops the open level; the results are those of the levels stored.
TEST(Stepper, StopEndsAfterTheStoredLevels) {
  const SearchData d = cubic();
  const SearchConfig config = config_of(Case{"", cubic, 7, 6, Ranking::Raw});
  auto st = start(d, config);
  ASSERT_EQ(st->open_next(), std::optional<std::size_t>(2));
  const std::string all = st->score(0, st->candidate_count());
  ASSERT_FALSE(invalid(st->absorb(std::vector<std::string_view>{all})));
  ASSERT_EQ(st->open_next(), std::optional<std::size_t>(3));
  st->stop(StopReason::TimeLimit);
  EXPECT_EQ(st->open_level(), 0u);
  EXPECT_EQ(st->open_next(), std::nullopt);
  const SearchRun run = st->finish();
  EXPECT_EQ(run.stop, StopReason::TimeLimit);
  EXPECT_EQ(run.last_level, 2u);
  for (const SearchResult& r : std::get<std::vector<SearchResult>>(run.results)) EXPECT_LE(r.expression.complexity, 2u);
}

}  // namespace
}  // namespace vok
