// Search control: progress callbacks, deadline, cancellation, thread limits.
#include "config/search_control.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/search/bfs.hpp"
#include "engine_helpers.hpp"
#include "infra/pool.hpp"

namespace vok {
namespace {

using testing_support::same_bits;
using testing_support::same_expression;
using Data = testing_support::SearchData;

// Two variables and a target that no small formula fits exactly, so that
// no search exits early.
Data noisy_problem() {
  Data d;
  for (int i = 0; i < 30; ++i) {
    const double a = -1.0 + 0.07 * i, b = std::cos(1.7 * i);
    d.rows.push_back({a, b});
    d.targets.push_back(std::sin(a) * b + 0.3 * std::cos(5.0 * i));
  }
  return d;
}

SearchConfig config_of(std::size_t max_complexity) {
  SearchConfig c;
  c.max_complexity = max_complexity;
  c.beam_width = 40;
  // Small chunks, so that a level has several chunk boundaries.
  c.candidate_chunk = 64;
  return c;
}

const std::vector<SearchResult>& results_of(const SearchRun& run) {
  static const std::vector<SearchResult> none;
  const auto* r = std::get_if<std::vector<SearchResult>>(&run.results);
  EXPECT_NE(r, nullptr);
  return r != nullptr ? *r : none;
}

void expect_same_results(const std::vector<SearchResult>& a, const std::vector<SearchResult>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_TRUE(same_expression(a[i].expression, b[i].expression)) << a[i].expression.formula;
    EXPECT_TRUE(same_bits(a[i].error, b[i].error));
  }
}

SearchRun reference(const Data& d, const SearchConfig& c) {
  ::testing::internal::CaptureStdout();
  SearchRun run{run_bfs(d.rows, d.targets, c)};
  ::testing::internal::GetCapturedStdout();
  return run;
}

TEST(SearchControl, WatchedSilentOneThreadSearchFindsWhatRunBfsFinds) {
  const Data d = noisy_problem();
  const SearchConfig c = config_of(5);
  const SearchRun plain = reference(d, c);

  const std::thread::id driver = std::this_thread::get_id();
  std::vector<LevelEvent> levels;
  std::vector<ProgressTick> ticks;
  bool off_thread = false;
  SearchControl control;
  control.output = ProgressOutput::Silent;
  control.threads = 1;
  control.on_level = [&](const LevelEvent& e) {
    off_thread |= std::this_thread::get_id() != driver;
    levels.push_back(e);
    return true;
  };
  control.on_progress = [&](const ProgressTick& t) {
    off_thread |= std::this_thread::get_id() != driver;
    ticks.push_back(t);
    return true;
  };
  control.cancel_requested = [&] {
    off_thread |= std::this_thread::get_id() != driver;
    return false;
  };
  ::testing::internal::CaptureStdout();
  const SearchRun watched = run_search(d.rows, d.targets, c, control);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

  expect_same_results(results_of(watched), results_of(plain));
  EXPECT_EQ(watched.stop, StopReason::Completed);
  EXPECT_EQ(watched.last_level, 5u);
  EXPECT_FALSE(off_thread);
  ASSERT_EQ(levels.size(), 5u);
  for (std::size_t i = 0; i < levels.size(); ++i) {
    EXPECT_EQ(levels[i].level, i + 1);
    EXPECT_GT(levels[i].retained, 0u);
    EXPECT_LE(levels[i].retained, levels[i].candidates);
    if (i > 0) {
      EXPECT_LE(levels[i].best_error, levels[i - 1].best_error);
      EXPECT_GE(levels[i].elapsed_seconds, levels[i - 1].elapsed_seconds);
    }
  }
  // Ticks count up within each level and end at its total.
  ASSERT_FALSE(ticks.empty());
  for (std::size_t i = 0; i < ticks.size(); ++i) {
    EXPECT_LE(ticks[i].done, ticks[i].total);
    const bool last_of_level = i + 1 == ticks.size() || ticks[i + 1].level != ticks[i].level;
    if (last_of_level) {
      EXPECT_EQ(ticks[i].done, ticks[i].total) << "level " << ticks[i].level;
    } else {
      EXPECT_LT(ticks[i].done, ticks[i + 1].done);
    }
  }
  EXPECT_EQ(ticks.back().level, 5u);
}

// A watched search sizes its chunks by time; every level keeps what an
// unwatched one keeps.
TEST(SearchControl, TimedChunksKeepEveryLevel) {
  const Data d = noisy_problem();
  SearchConfig c = config_of(6);
  c.candidate_chunk = SearchConfig{}.candidate_chunk;
  c.beam_width = 200;
  SearchTrace plain_trace, watched_trace;
  plain_trace.keep_expressions = watched_trace.keep_expressions = true;
  ::testing::internal::CaptureStdout();
  const auto plain = run_bfs(d.rows, d.targets, c, &plain_trace);
  ::testing::internal::GetCapturedStdout();
  SearchControl control;
  control.output = ProgressOutput::Silent;
  std::size_t ticks = 0;
  control.on_progress = [&](const ProgressTick&) { return ++ticks > 0; };
  const SearchRun watched = run_search(d.rows, d.targets, c, control, &watched_trace);
  expect_same_results(results_of(watched), std::get<std::vector<SearchResult>>(plain));
  ASSERT_EQ(watched_trace.retained.size(), plain_trace.retained.size());
  for (std::size_t k = 1; k < plain_trace.retained.size(); ++k) {
    ASSERT_EQ(watched_trace.retained[k].size(), plain_trace.retained[k].size()) << k;
    for (std::size_t i = 0; i < plain_trace.retained[k].size(); ++i) {
      EXPECT_TRUE(same_expression(watched_trace.retained[k][i], plain_trace.retained[k][i])) << k;
    }
  }
  // Level 6 has far more candidates than the first timed chunk.
  EXPECT_GT(ticks, plain_trace.levels.size());
}

TEST(SearchControl, StdoutOutputPrintsWhatRunBfsPrints) {
  const Data d = noisy_problem();
  const SearchConfig c = config_of(3);
  ::testing::internal::CaptureStdout();
  (void)run_bfs(d.rows, d.targets, c);
  const std::string plain = ::testing::internal::GetCapturedStdout();
  SearchControl control;
  control.on_level = [](const LevelEvent&) { return true; };
  ::testing::internal::CaptureStdout();
  (void)run_search(d.rows, d.targets, c, control);
  const std::string watched = ::testing::internal::GetCapturedStdout();
  // Durations differ between runs; the lines' count and shape do not.
  const auto lines = [](const std::string& s) { return std::count(s.begin(), s.end(), '\n'); };
  EXPECT_EQ(lines(watched), lines(plain));
  EXPECT_NE(watched.find("[VOK-SR]"), std::string::npos);
}

// A search stopped after a level finalizes the front it has, which is the
// front of a search that ended at that level.
TEST(SearchControl, StoppingAfterALevelReturnsThatLevelsFront) {
  const Data d = noisy_problem();
  SearchConfig c = config_of(6);
  c.exhaustive = true;
  SearchControl control;
  control.output = ProgressOutput::Silent;
  control.on_level = [](const LevelEvent& e) { return e.level < 3; };
  const SearchRun stopped = run_search(d.rows, d.targets, c, control);
  EXPECT_EQ(stopped.stop, StopReason::Cancelled);
  EXPECT_EQ(stopped.last_level, 3u);
  SearchConfig to_three = c;
  to_three.max_complexity = 3;
  expect_same_results(results_of(stopped), results_of(reference(d, to_three)));
}

TEST(SearchControl, PassedDeadlineStopsAfterSeeding) {
  const Data d = noisy_problem();
  SearchControl control;
  control.output = ProgressOutput::Silent;
  control.deadline = SearchControl::Clock::now() - std::chrono::seconds(1);
  const SearchRun run = run_search(d.rows, d.targets, config_of(6), control);
  EXPECT_EQ(run.stop, StopReason::TimeLimit);
  EXPECT_EQ(run.last_level, 1u);
  expect_same_results(results_of(run), results_of(reference(d, config_of(1))));
}

TEST(SearchControl, CancelCheckStopsInsideALevel) {
  const Data d = noisy_problem();
  for (const int allowed : {0, 3, 12}) {
    int calls = 0;
    SearchControl control;
    control.output = ProgressOutput::Silent;
    control.cancel_requested = [&] { return ++calls > allowed; };
    const SearchRun run = run_search(d.rows, d.targets, config_of(6), control);
    EXPECT_EQ(run.stop, StopReason::Cancelled) << allowed;
    EXPECT_LT(run.last_level, 6u) << allowed;
    EXPECT_GE(run.last_level, 1u) << allowed;
    // Once it has fired, the check is not asked again.
    EXPECT_EQ(calls, allowed + 1);
    EXPECT_FALSE(results_of(run).empty());
  }
}

TEST(SearchControl, ProgressCallbackCanStopTheSearch) {
  const Data d = noisy_problem();
  SearchControl control;
  control.output = ProgressOutput::Silent;
  std::size_t last_tick_level = 0;
  control.on_progress = [&](const ProgressTick& t) {
    last_tick_level = t.level;
    return t.level < 4;
  };
  const SearchRun run = run_search(d.rows, d.targets, config_of(6), control);
  EXPECT_EQ(run.stop, StopReason::Cancelled);
  EXPECT_EQ(last_tick_level, 4u);
  EXPECT_EQ(run.last_level, 3u);
}

TEST(SearchControl, EarlyExitIsReported) {
  Data d;
  for (int i = 0; i < 10; ++i) {
    d.rows.push_back({0.1 * i});
    d.targets.push_back(0.1 * i);
  }
  SearchControl control;
  control.output = ProgressOutput::Silent;
  const SearchRun run = run_search(d.rows, d.targets, config_of(4), control);
  EXPECT_EQ(run.stop, StopReason::EarlyExit);
  EXPECT_EQ(run.last_level, 1u);
}

TEST(SearchControl, InvalidInputIsAnErrorWithNoLevel) {
  SearchControl control;
  control.output = ProgressOutput::Silent;
  const std::vector<std::vector<double>> rows{{1.0}};
  const std::vector<double> targets{1.0, 2.0};
  const SearchRun run = run_search(rows, targets, config_of(3), control);
  ASSERT_TRUE(std::holds_alternative<SearchError>(run.results));
  EXPECT_EQ(run.last_level, 0u);
}

TEST(ThreadLimit, PassesRunOnAtMostTheGivenThreadsAndTheLimitIsScoped) {
  const auto threads_used = [] {
    std::mutex mutex;
    std::set<std::thread::id> ids;
    parallel_each(20000, [&](std::size_t) {
      volatile double x = 0;
      for (int i = 0; i < 200; ++i) x = x + std::sqrt(static_cast<double>(i));
      std::lock_guard<std::mutex> lock(mutex);
      ids.insert(std::this_thread::get_id());
    });
    return ids.size();
  };
  {
    const ThreadLimit one(1);
    EXPECT_EQ(&current_arena() == &worker_arena(), false);
    EXPECT_EQ(threads_used(), 1u);
  }
  EXPECT_EQ(&current_arena(), &worker_arena());
  const ThreadLimit all(0);
  EXPECT_EQ(&current_arena(), &worker_arena());
}

TEST(StopReason, Names) {
  EXPECT_EQ(stop_reason_name(StopReason::Completed), "completed");
  EXPECT_EQ(stop_reason_name(StopReason::EarlyExit), "early_exit");
  EXPECT_EQ(stop_reason_name(StopReason::TimeLimit), "time_limit");
  EXPECT_EQ(stop_reason_name(StopReason::Cancelled), "cancelled");
}

}  // namespace
}  // namespace vok
