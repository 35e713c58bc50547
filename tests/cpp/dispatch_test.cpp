// Searches whose levels a dispatcher has scored in ranges, here or from bytes, against the search that scores them itself.
#include "engine/search/level_dispatch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "engine/search/bfs.hpp"
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
  std::uint64_t disabled_operators = 0;
  std::optional<ConstantUnits> units = std::nullopt;  // with units: v_{0} a length, v_{1} a time
  bool output_scaling = false;
  double screen_factor = 0.0;
  RefinePolicy refine{};
};

SearchConfig config_of(const Case& c) {
  SearchConfig config;
  config.beam_width = c.beam;
  config.max_complexity = c.max_complexity;
  config.ranking = c.ranking;
  config.disabled_operators = c.disabled_operators;
  config.output_scaling = c.output_scaling;
  config.screen_factor = c.screen_factor;
  config.refine = c.refine;
  config.exhaustive = true;
  if (c.units) {
    Exponents length{}, time{};
    length[0] = kExponentDenominator;
    time[2] = kExponentDenominator;
    // The target a length: the front takes only lengths, the beam any.
    config.units = UnitSettings{{length, time}, length, *c.units};
  }
  return config;
}

SearchControl silent() {
  SearchControl control;
  control.output = ProgressOutput::Silent;
  return control;
}

// Ranges of at most `size` candidates (the last may be shorter).
std::vector<std::pair<std::size_t, std::size_t>> ranges(std::size_t total, std::size_t size) {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  for (std::size_t first = 0; first < total; first += size) out.emplace_back(first, std::min(size, total - first));
  return out;
}

// The summaries of `level` in ranges of at most `size`, scored here or, as
// a worker would, by a LevelWork rebuilt from the payload's bytes.
std::vector<std::string> score_in_ranges(DispatchedLevel& level, std::size_t size, bool remote,
                                         const std::optional<UnitSettings>& level_units = std::nullopt) {
  std::unique_ptr<LevelWork> work;
  if (remote) {
    auto decoded = LevelWork::decode(level.payload());
    EXPECT_TRUE(std::holds_alternative<std::unique_ptr<LevelWork>>(decoded));
    if (!std::holds_alternative<std::unique_ptr<LevelWork>>(decoded)) return {};
    work = std::move(std::get<std::unique_ptr<LevelWork>>(decoded));
    EXPECT_EQ(work->level(), level.level());
    EXPECT_EQ(work->config().units, level_units);
  }
  std::vector<std::string> parts;
  for (const auto& [first, n] : ranges(level.candidate_count(), size)) {
    if (!remote) {
      parts.push_back(level.score(first, n));
      continue;
    }
    auto scored = work->score(level.recipes(first, n), first);
    EXPECT_TRUE(std::holds_alternative<std::string>(scored));
    if (std::holds_alternative<std::string>(scored)) parts.push_back(std::move(std::get<std::string>(scored)));
  }
  return parts;
}

// A dispatcher whose levels a function scores; it notes each level handed over.
class TestDispatcher : public LevelDispatcher {
 public:
  using Body = std::function<std::optional<std::vector<std::string>>(DispatchedLevel&)>;
  TestDispatcher(std::size_t min_candidates, Body body) : LevelDispatcher(min_candidates), body_(std::move(body)) {}

  std::optional<std::vector<std::string>> score_level(DispatchedLevel& level) override {
    handed.emplace_back(level.level(), level.candidate_count());
    return body_(level);
  }

  std::vector<std::pair<std::size_t, std::size_t>> handed;  // (level, candidates)

 private:
  Body body_;
};

// Splits every level into ranges of at most `size` and returns their
// summaries last range first; a worker's rebuilt level must carry `units`.
TestDispatcher splitting(std::size_t min_candidates, std::size_t size, bool remote,
                         std::optional<UnitSettings> units = std::nullopt) {
  return TestDispatcher(min_candidates, [size, remote, units](DispatchedLevel& level) {
    std::vector<std::string> parts = score_in_ranges(level, size, remote, units);
    std::reverse(parts.begin(), parts.end());
    return std::optional<std::vector<std::string>>(std::move(parts));
  });
}

void expect_same_results(const SearchRun& want, const SearchRun& got) {
  ASSERT_EQ(want.stop, got.stop);
  EXPECT_EQ(want.last_level, got.last_level);
  ASSERT_TRUE(std::holds_alternative<std::vector<SearchResult>>(got.results))
      << std::get<SearchError>(got.results).text();
  const auto& w = std::get<std::vector<SearchResult>>(want.results);
  const auto& g = std::get<std::vector<SearchResult>>(got.results);
  ASSERT_EQ(w.size(), g.size());
  for (std::size_t i = 0; i < w.size(); ++i) {
    EXPECT_TRUE(same_expression(w[i].expression, g[i].expression))
        << w[i].expression.formula << " vs " << g[i].expression.formula;
    EXPECT_TRUE(same_bits(w[i].error, g[i].error)) << w[i].expression.formula;
  }
}

// The level events of a run, without their times.
struct EventLog {
  std::vector<LevelEvent> events;
  SearchControl control() {
    SearchControl c = silent();
    c.on_level = [this](const LevelEvent& e) {
      events.push_back(e);
      return true;
    };
    return c;
  }
};

class DispatchIdentity : public ::testing::TestWithParam<Case> {};

// Any split into ranges, summaries in any order, scored here or from the
// payload's bytes, every level dispatched or only the larger ones: the
// local search's levels and results exactly.
TEST_P(DispatchIdentity, EverySplitFindsWhatTheLocalSearchFinds) {
  const Case& c = GetParam();
  const SearchData d = c.data();
  const SearchConfig config = config_of(c);
  EventLog local_levels;
  const SearchRun want = run_search(d.rows, d.targets, config, local_levels.control());
  ASSERT_GE(local_levels.events.size(), 3u);
  // Above the smaller levels' counts, below the largest one's.
  const std::size_t middle = local_levels.events.back().candidates / 2;

  for (const std::size_t min_candidates : {std::size_t{0}, middle}) {
    for (const std::size_t size : {std::size_t{1} << 30, std::size_t{97}, std::size_t{7}}) {
      for (const bool remote : {false, true}) {
        SCOPED_TRACE(testing::Message() << "from " << min_candidates << ", range " << size
                                        << (remote ? " from bytes" : " here"));
        TestDispatcher dispatcher = splitting(min_candidates, size, remote, config.units);
        EventLog levels;
        SearchControl control = levels.control();
        control.dispatcher = &dispatcher;
        expect_same_results(want, run_search(d.rows, d.targets, config, control));
        ASSERT_EQ(levels.events.size(), local_levels.events.size());
        std::vector<std::pair<std::size_t, std::size_t>> large;
        for (std::size_t i = 0; i < levels.events.size(); ++i) {
          const LevelEvent& got = levels.events[i];
          const LevelEvent& w = local_levels.events[i];
          EXPECT_EQ(got.level, w.level);
          EXPECT_EQ(got.candidates, w.candidates);
          EXPECT_EQ(got.retained, w.retained);
          EXPECT_TRUE(same_bits(got.best_error, w.best_error));
          if (w.level >= 2 && w.candidates >= min_candidates) large.emplace_back(w.level, w.candidates);
        }
        // Exactly the levels of at least min_candidates, in order.
        EXPECT_EQ(dispatcher.handed, large);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Problems, DispatchIdentity,
                         ::testing::Values(Case{"cubic_beam7", cubic, 7, 6, Ranking::Raw},
                                           Case{"cubic_beam1000", cubic, 1000, 5, Ranking::Raw},
                                           Case{"noisy_beam30", noisy_two_variables, 30, 5, Ranking::Raw},
                                           Case{"noisy_affine_beam30", noisy_two_variables, 30, 5, Ranking::Affine},
                                           Case{"noisy_operator_set_beam30", noisy_two_variables, 30, 6,
                                                Ranking::Affine,
                                                testing_support::disabled_all_but(
                                                    {BuiltinKind::Plus, BuiltinKind::Subtract, BuiltinKind::Times,
                                                     BuiltinKind::Sin, BuiltinKind::Square})},
                                           Case{"noisy_units_beam30", noisy_two_variables, 30, 5, Ranking::Raw, 0,
                                                ConstantUnits::Dimensionless},
                                           Case{"noisy_free_units_beam30", noisy_two_variables, 30, 5,
                                                Ranking::Affine, 0, ConstantUnits::Free},
                                           // Rescalings land 2 and 4 tokens above their level: the
                                           // summaries carry each range's best per complexity offset.
                                           Case{"cubic_scaled_beam7", cubic, 7, 6, Ranking::Raw, 0, std::nullopt, true},
                                           Case{"noisy_affine_scaled_beam30", noisy_two_variables, 30, 6,
                                                Ranking::Affine, 0, std::nullopt, true},
                                           // The screen's thresholds travel with the payload.
                                           Case{"noisy_affine_scaled_screened_beam30", noisy_two_variables, 30, 6,
                                                Ranking::Affine, 0, std::nullopt, true, 1.5},
                                           // So does the refinement's method.
                                           Case{"noisy_affine_coupled_beam30", noisy_two_variables, 30, 6,
                                                Ranking::Affine, 0, std::nullopt, true, 0.0, kCoupledRefine}),
                         [](const auto& p) { return std::string(p.param.name); });

bool invalid(const Outcome<LevelTally>& r) {
  return std::holds_alternative<SearchError>(r) && std::get<SearchError>(r).kind == SearchError::Kind::InvalidInput;
}

// The id a level's summaries carry.
std::uint64_t level_id(const std::string& summary) {
  auto decoded = decode_summary(summary, 1);
  EXPECT_TRUE(std::holds_alternative<LevelSummary>(decoded));
  return std::holds_alternative<LevelSummary>(decoded) ? std::get<LevelSummary>(decoded).search_id : 0;
}

// The summaries level 2 of the cubic search returns in one bad case.
struct BadCase {
  const char* name;
  std::vector<std::string> (*parts)(DispatchedLevel& level);
  const char* message;
};

constexpr const char* kNotTiled = "The summaries do not tile the level's candidates.";
constexpr const char* kForeign = "A summary belongs to another search or level.";

const BadCase kBadCases[] = {
    {"one_range_missing", [](DispatchedLevel& l) { return std::vector<std::string>{l.score(0, 3)}; }, kNotTiled},
    {"none", [](DispatchedLevel&) { return std::vector<std::string>{}; }, kNotTiled},
    {"overlap",
     [](DispatchedLevel& l) {
       return std::vector<std::string>{l.score(0, 3), l.score(2, l.candidate_count() - 2)};
     },
     kNotTiled},
    {"range_twice",
     [](DispatchedLevel& l) {
       const std::string b = l.score(3, l.candidate_count() - 3);
       return std::vector<std::string>{l.score(0, 3), b, b};
     },
     kNotTiled},
    {"another_search",
     [](DispatchedLevel& l) {
       const std::string a = l.score(0, 3);
       const std::size_t n = l.candidate_count() - 3;
       return std::vector<std::string>{a, encode_summary(level_id(a) + 1, l.level(), 3, n, LevelTally(7))};
     },
     kForeign},
    {"another_level",
     [](DispatchedLevel& l) {
       const std::string a = l.score(0, 3);
       const std::size_t n = l.candidate_count() - 3;
       return std::vector<std::string>{a, encode_summary(level_id(a), l.level() + 1, 3, n, LevelTally(7))};
     },
     kForeign},
};

class DispatchRefuses : public ::testing::TestWithParam<BadCase> {};

// Summaries that do not make up the level end the search with InvalidInput.
TEST_P(DispatchRefuses, SummariesThatDoNotMakeUpTheLevel) {
  const BadCase& bad = GetParam();
  const SearchData d = cubic();
  TestDispatcher dispatcher(0, [&](DispatchedLevel& level) {
    return std::optional<std::vector<std::string>>(bad.parts(level));
  });
  SearchControl control = silent();
  control.dispatcher = &dispatcher;
  const SearchRun run = run_search(d.rows, d.targets, config_of(Case{"", cubic, 7, 4, Ranking::Raw}), control);
  ASSERT_TRUE(std::holds_alternative<SearchError>(run.results));
  EXPECT_EQ(std::get<SearchError>(run.results).kind, SearchError::Kind::InvalidInput);
  EXPECT_EQ(std::get<SearchError>(run.results).text(), bad.message);
  EXPECT_EQ(run.last_level, 1u);
  EXPECT_EQ(dispatcher.handed.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, DispatchRefuses, ::testing::ValuesIn(kBadCases),
                         [](const auto& p) { return std::string(p.param.name); });

// Every truncation, and every byte flipped in the tag, the id, the level or
// the range, is refused by the merge; the right summaries then close the
// level, and the search finds what the local one finds.
TEST(Dispatch, DamagedSummariesAreRefusedByTheMerge) {
  const SearchData d = cubic();
  const SearchConfig config = config_of(Case{"", cubic, 7, 4, Ranking::Raw});
  TestDispatcher dispatcher(0, [](DispatchedLevel& level) {
    const std::size_t n = level.candidate_count();
    EXPECT_GT(n, 4u);
    const std::string a = level.score(0, 3);
    const std::string b = level.score(3, n - 3);
    const auto merge = [&](std::vector<std::string> parts) { return level.merge(parts); };
    for (std::size_t cut = 0; cut < b.size(); ++cut) EXPECT_TRUE(invalid(merge({a, b.substr(0, cut)}))) << cut;
    for (std::size_t i = 0; i < 4 + 8 + 8 + 8 + 8; ++i) {
      std::string damaged = b;
      damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
      EXPECT_TRUE(invalid(merge({a, damaged}))) << i;
    }
    EXPECT_FALSE(invalid(merge({b, a})));
    return std::optional<std::vector<std::string>>({b, a});
  });
  SearchControl control = silent();
  control.dispatcher = &dispatcher;
  expect_same_results(run_search(d.rows, d.targets, config, silent()),
                      run_search(d.rows, d.targets, config, control));
  EXPECT_EQ(dispatcher.handed.size(), 3u);
}

TEST(Dispatch, DamagedPayloadsAndRecipesAreRefused) {
  const SearchData d = noisy_two_variables();
  TestDispatcher dispatcher(0, [](DispatchedLevel& level) {
    const std::string payload = level.payload();
    for (std::size_t cut = 0; cut < payload.size(); cut += 7) {
      EXPECT_TRUE(std::holds_alternative<SearchError>(LevelWork::decode(std::string_view(payload).substr(0, cut))))
          << cut;
    }
    auto work = std::move(std::get<std::unique_ptr<LevelWork>>(LevelWork::decode(payload)));
    const std::string recipes = level.recipes(0, level.candidate_count());
    auto whole = work->score(recipes, 0);
    EXPECT_TRUE(std::holds_alternative<std::string>(whole));
    // A varint that never ends, a zero gap (ranks must increase), a rank past the level's.
    for (const std::string& bad :
         {std::string("\x80", 1), std::string("\x01\x00", 2), std::string("\xff\xff\xff\x7f", 4)}) {
      EXPECT_TRUE(std::holds_alternative<SearchError>(work->score(bad, 0)));
    }
    return std::optional<std::vector<std::string>>({std::get<std::string>(whole)});
  });
  SearchControl control = silent();
  control.dispatcher = &dispatcher;
  // Payloads with units too: every cut through them is refused as well.
  for (const auto units : {std::optional<ConstantUnits>{}, std::optional<ConstantUnits>{ConstantUnits::Free}}) {
    const SearchRun run = run_search(d.rows, d.targets,
                                     config_of(Case{"", noisy_two_variables, 10, 3, Ranking::Raw, 0, units}), control);
    EXPECT_EQ(run.stop, StopReason::Completed);
    EXPECT_EQ(run.last_level, 3u);
  }
}

// A worker reads the operator set from the payload, as the driver has it.
TEST(Dispatch, ThePayloadCarriesTheOperatorSet) {
  const SearchData d = noisy_two_variables();
  for (const std::uint64_t disabled :
       {std::uint64_t{0}, testing_support::disabled_all_but({BuiltinKind::Plus, BuiltinKind::Times}),
        testing_support::mask_of({BuiltinKind::Vok, BuiltinKind::Cube}) | (std::uint64_t{1} << 63)}) {
    SCOPED_TRACE(disabled);
    std::vector<std::uint64_t> decoded;
    TestDispatcher dispatcher(0, [&](DispatchedLevel& level) {
      auto work = LevelWork::decode(level.payload());
      EXPECT_TRUE(std::holds_alternative<std::unique_ptr<LevelWork>>(work));
      if (auto* w = std::get_if<std::unique_ptr<LevelWork>>(&work)) decoded.push_back((*w)->config().disabled_operators);
      return std::optional<std::vector<std::string>>(score_in_ranges(level, 1 << 30, true));
    });
    SearchControl control = silent();
    control.dispatcher = &dispatcher;
    SearchConfig config = config_of(Case{"", noisy_two_variables, 10, 4, Ranking::Raw});
    config.disabled_operators = disabled;
    const SearchRun run = run_search(d.rows, d.targets, config, control);
    EXPECT_EQ(run.stop, StopReason::Completed);
    EXPECT_EQ(decoded, std::vector<std::uint64_t>(dispatcher.handed.size(), disabled));
    EXPECT_FALSE(decoded.empty());
  }
}

// A worker refuses retained levels and recipes that apply an operator the
// payload's set leaves out: the driver never sends them.
TEST(Dispatch, AWorkerRefusesOperatorsOutsideTheSet) {
  const auto payload = [](std::uint64_t disabled, const Levels& levels, std::size_t k) {
    SearchConfig config;
    config.disabled_operators = disabled;
    auto registry = std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins());
    const SampleSet samples(Dataset(3, 1, {0.5, 1.0, 1.5}, {1.0, 2.0, 3.0}), registry);
    return encode_level_payload(1, k, config, samples, levels);
  };
  using testing_support::un;
  using testing_support::v;
  const std::uint64_t no_neg = testing_support::mask_of({BuiltinKind::Neg});
  Levels three(3);
  three[1] = {v(0)};
  three[2] = {un(BuiltinKind::Sqrt, v(0)), un(BuiltinKind::Neg, v(0))};
  EXPECT_TRUE(std::holds_alternative<SearchError>(LevelWork::decode(payload(no_neg, three, 3))));
  EXPECT_TRUE(std::holds_alternative<std::unique_ptr<LevelWork>>(
      LevelWork::decode(payload(testing_support::mask_of({BuiltinKind::Sin}), three, 3))));

  Levels two(2);
  two[1] = {v(0)};
  auto decoded = LevelWork::decode(payload(no_neg, two, 2));
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<LevelWork>>(decoded));
  const LevelWork& work = *std::get<std::unique_ptr<LevelWork>>(decoded);
  const std::vector<std::uint64_t> unary = testing_support::builtins().ids_by_arity(1);
  const auto recipe_bytes = [&](BuiltinKind kind) {
    const auto at = std::find(unary.begin(), unary.end(), testing_support::id_of(kind));
    RecipeList list(two, 2, unary.size(), testing_support::builtins().ids_by_arity(2).size());
    list.push_back({0, 0, 0, static_cast<std::uint16_t>(at - unary.begin())});
    return list.encode(0, 1);
  };
  EXPECT_TRUE(std::holds_alternative<std::string>(work.score(recipe_bytes(BuiltinKind::Sqrt), 0)));
  const auto refused = work.score(recipe_bytes(BuiltinKind::Neg), 0);
  ASSERT_TRUE(std::holds_alternative<SearchError>(refused));
  EXPECT_EQ(std::get<SearchError>(refused).text(), "Malformed recipe bytes.");
}

// The results of a search that ended after level 2.
SearchRun two_levels(const SearchData& d, SearchConfig config) {
  config.max_complexity = 2;
  return run_search(d.rows, d.targets, config, silent());
}

// How a dispatcher gives level 3 up, and why the search then ended.
struct GiveUp {
  const char* name;
  StopReason reason;
};

class DispatchGivesUp : public ::testing::TestWithParam<GiveUp> {};

// A level given up is dropped; the results are those of the levels stored,
// and the stop reason says why: the deadline, the cancel check or the
// progress callback the dispatcher's should_stop ran, or the dispatcher
// itself (cancelled).
TEST_P(DispatchGivesUp, TheSearchEndsAfterTheStoredLevels) {
  const GiveUp& how = GetParam();
  const std::string name = how.name;
  const SearchData d = cubic();
  const SearchConfig config = config_of(Case{"", cubic, 7, 6, Ranking::Raw});
  SearchControl control = silent();
  bool cancel = false;
  control.cancel_requested = [&] { return cancel; };
  control.on_progress = [&](const ProgressTick& t) { return !(name == "progress" && t.level == 3); };
  std::size_t polls = 0;
  TestDispatcher dispatcher(0, [&](DispatchedLevel& level) -> std::optional<std::vector<std::string>> {
    if (level.level() < 3) return score_in_ranges(level, 1 << 30, false);
    if (name == "deadline") control.deadline = SearchControl::Clock::now();
    if (name == "cancel") cancel = true;
    if (name == "dispatcher") return std::nullopt;
    while (!level.should_stop(name == "progress" ? std::optional<std::size_t>(1) : std::nullopt)) {
      if (++polls > 1000) return score_in_ranges(level, 1 << 30, false);
    }
    return std::nullopt;
  });
  control.dispatcher = &dispatcher;
  const SearchRun run = run_search(d.rows, d.targets, config, control);
  EXPECT_EQ(polls, 0u);
  EXPECT_EQ(run.stop, how.reason);
  EXPECT_EQ(run.last_level, 2u);
  EXPECT_EQ(dispatcher.handed.size(), 2u);
  SearchRun want = two_levels(d, config);
  want.stop = how.reason;
  expect_same_results(want, run);
}

INSTANTIATE_TEST_SUITE_P(Ways, DispatchGivesUp,
                         ::testing::Values(GiveUp{"deadline", StopReason::TimeLimit},
                                           GiveUp{"cancel", StopReason::Cancelled},
                                           GiveUp{"progress", StopReason::Cancelled},
                                           GiveUp{"dispatcher", StopReason::Cancelled}),
                         [](const auto& p) { return std::string(p.param.name); });

// The stop checks run while a level is generated: a level stopped there is
// never handed to the dispatcher. The check fires on its n-th call after
// level 2 was stored: the first is next_level's, the later ones
// generation's (between its passes) and open_level's after it.
TEST(Dispatch, AStopDuringGenerationIsNeverDispatched) {
  const SearchData d = cubic();
  const SearchConfig config = config_of(Case{"", cubic, 7, 6, Ranking::Raw});
  for (const std::size_t nth : {2, 3}) {
    SCOPED_TRACE(nth);
    SearchControl control = silent();
    std::size_t calls_after = 0;
    bool armed = false;
    control.on_level = [&](const LevelEvent& e) {
      armed = armed || e.level == 2;
      return true;
    };
    control.cancel_requested = [&] { return armed && ++calls_after >= nth; };
    TestDispatcher dispatcher = splitting(0, 1 << 30, false);
    control.dispatcher = &dispatcher;
    const SearchRun run = run_search(d.rows, d.targets, config, control);
    EXPECT_EQ(run.stop, StopReason::Cancelled);
    EXPECT_EQ(run.last_level, 2u);
    EXPECT_EQ(calls_after, nth);
    ASSERT_EQ(dispatcher.handed.size(), 1u);
    EXPECT_EQ(dispatcher.handed[0].first, 2u);
  }
}

// What the dispatcher reports scored becomes progress ticks, each count
// once and in order, then the whole level; the level event's times say
// where its wall time went.
TEST(Dispatch, ReportsBecomeProgressAndTheLevelEventTimesTheScoring) {
  const SearchData d = noisy_two_variables();
  const SearchConfig config = config_of(Case{"", noisy_two_variables, 30, 4, Ranking::Raw});
  SearchControl control = silent();
  std::vector<ProgressTick> ticks;
  std::vector<LevelEvent> events;
  control.on_progress = [&](const ProgressTick& t) {
    ticks.push_back(t);
    return true;
  };
  control.on_level = [&](const LevelEvent& e) {
    events.push_back(e);
    return true;
  };
  constexpr auto kPause = std::chrono::milliseconds(30);
  TestDispatcher dispatcher(0, [&](DispatchedLevel& level) {
    const std::size_t n = level.candidate_count();
    for (const std::size_t done : {std::size_t{1}, std::size_t{1}, n / 2, std::size_t{0}, n + 5}) {
      EXPECT_FALSE(level.should_stop(done));
    }
    std::this_thread::sleep_for(kPause);
    return std::optional<std::vector<std::string>>({level.score(0, n)});
  });
  control.dispatcher = &dispatcher;
  const SearchRun run = run_search(d.rows, d.targets, config, control);
  ASSERT_EQ(run.stop, StopReason::Completed);
  std::vector<std::tuple<std::size_t, std::size_t, std::size_t>> got, want;
  for (const ProgressTick& t : ticks) got.emplace_back(t.level, t.done, t.total);
  for (const auto& [k, n] : dispatcher.handed) {
    want.emplace_back(k, 1, n);
    want.emplace_back(k, n / 2, n);
    want.emplace_back(k, n, n);
  }
  EXPECT_EQ(got, want);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].times.score_seconds, 0.0);
  for (std::size_t i = 1; i < events.size(); ++i) {
    const LevelTimes& t = events[i].times;
    EXPECT_GE(t.score_seconds, std::chrono::duration<double>(kPause).count()) << i;
    EXPECT_GT(t.generate_seconds, 0.0) << i;
    EXPECT_GT(t.close_seconds, 0.0) << i;
    EXPECT_LE(t.generate_seconds + t.score_seconds + t.close_seconds,
              events[i].elapsed_seconds - events[i - 1].elapsed_seconds)
        << i;
  }
}

// A dispatched level prints the level line a level scored here prints.
TEST(Dispatch, DispatchedLevelsPrintTheLevelLines) {
  const SearchData d = noisy_two_variables();
  const SearchConfig config = config_of(Case{"", noisy_two_variables, 30, 4, Ranking::Raw});
  const auto level_lines = [&](LevelDispatcher* dispatcher) {
    SearchControl control;
    control.dispatcher = dispatcher;
    ::testing::internal::CaptureStdout();
    (void)run_search(d.rows, d.targets, config, control);
    const std::string out = ::testing::internal::GetCapturedStdout();
    // The lines, durations masked; progress lines (after a carriage return) left out.
    static const std::regex line("\\[VOK-SR\\][^\\n\\r]*\\n");
    static const std::regex duration("processed in [^ ]+\\.");
    std::vector<std::string> lines;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it) {
      lines.push_back(std::regex_replace(it->str(), duration, "processed in T."));
    }
    return lines;
  };
  TestDispatcher dispatcher = splitting(0, 50, true);
  const std::vector<std::string> local = level_lines(nullptr);
  ASSERT_EQ(local.size(), 4u);  // the start line and levels 2 to 4
  EXPECT_EQ(local[3].rfind("[VOK-SR]   -> Level 4 processed in T. Retaining top ", 0), 0u) << local[3];
  EXPECT_EQ(level_lines(&dispatcher), local);
  EXPECT_EQ(dispatcher.handed.size(), 3u);
}


// A weighted search scored from the payload's bytes finds what the local
// weighted search finds, and the weights change what that is.
TEST(Dispatch, WeightsTravelInThePayload) {
  const SearchData d = noisy_two_variables();
  SearchConfig config = config_of(Case{"", noisy_two_variables, 30, 5, Ranking::Affine});
  config.output_scaling = true;
  std::vector<double> weights(d.targets.size());
  for (std::size_t i = 0; i < weights.size(); ++i) weights[i] = (i % 3 == 0) ? 2.5 : 0.25;  // mean 1
  const auto data = [&] { return std::move(*Dataset::from_rows(d.rows, d.targets)).with_weights(weights); };
  const SearchRun want = run_search(data(), config, silent());
  TestDispatcher dispatcher = splitting(0, 7, true);
  SearchControl control = silent();
  control.dispatcher = &dispatcher;
  expect_same_results(want, run_search(data(), config, control));
  EXPECT_FALSE(dispatcher.handed.empty());
  const auto& weighted = std::get<std::vector<SearchResult>>(want.results);
  const SearchRun plain = run_search(*Dataset::from_rows(d.rows, d.targets), config, silent());
  const auto& unweighted = std::get<std::vector<SearchResult>>(plain.results);
  EXPECT_FALSE(same_bits(weighted.front().error, unweighted.front().error));
}

}  // namespace
}  // namespace vok
