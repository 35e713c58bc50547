// Tests of the search's printed texts and of the progress counter.
#include "infra/output.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace vok {
namespace {

using std::chrono::nanoseconds;

struct DurationCase {
  long long ns;
  const char* text;
};

class DurationFormat : public ::testing::TestWithParam<DurationCase> {};

TEST_P(DurationFormat, LargestUnitWithTrimmedRemainder) {
  EXPECT_EQ(format_duration(nanoseconds(GetParam().ns)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, DurationFormat,
    ::testing::Values(DurationCase{2'000'000'000, "2s"}, DurationCase{1'500'000'000, "1.5s"},
                      DurationCase{12'034'000, "12.034ms"}, DurationCase{250'000, "250\u00b5s"},
                      DurationCase{800, "800ns"}, DurationCase{0, "0ns"}, DurationCase{999, "999ns"},
                      DurationCase{1'000, "1\u00b5s"}, DurationCase{1'001, "1.001\u00b5s"},
                      DurationCase{999'999, "999.999\u00b5s"}, DurationCase{1'000'000, "1ms"},
                      DurationCase{1'000'001, "1.000001ms"}, DurationCase{1'000'000'001, "1.000000001s"},
                      DurationCase{61'250'000'000, "61.25s"}, DurationCase{1'954'004, "1.954004ms"}));

TEST(Lines, StartAndLevelTextsAreExact) {
  EXPECT_EQ(format_start_line(2),
            "[VOK-SR] Started search space exploration. Level 1 seeded with 2 primary nodes.\n");
  EXPECT_EQ(format_level_line(4, nanoseconds(12'034'000), 0),
            "[VOK-SR]   -> Level 4 processed in 12.034ms. Retaining top 0 candidates.\n");
}

TEST(Lines, ProgressTextHasBarPercentCountsAndTimes) {
  EXPECT_EQ(format_progress_line(3, 1, 3, 250, 0.5),
            "\r  [VOK] L3 Progress: [\u2591\u2591\u2591\u2591\u2591\u2591\u2591\u2591\u2591\u2591] 1% "
            "(3/250) | 0.5s (Est: 49.5s)   ");
  EXPECT_EQ(format_progress_line(7, 55, 11, 20, 2.0),
            "\r  [VOK] L7 Progress: [\u2588\u2588\u2588\u2588\u2588\u2591\u2591\u2591\u2591\u2591] 55% "
            "(11/20) | 2.0s (Est: 1.6s)   ");
  EXPECT_EQ(format_progress_line(2, 100, 26, 26, 0.0),
            "\r  [VOK] L2 Progress: [\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588] 100% "
            "(26/26) | 0.0s (Est: 0.0s)   ");
}

std::vector<ProgressMeter::Claim> tick_all(ProgressMeter& meter, std::size_t times) {
  std::vector<ProgressMeter::Claim> claims;
  for (std::size_t i = 0; i < times; ++i) {
    if (auto c = meter.tick()) claims.push_back(*c);
  }
  return claims;
}

TEST(Progress, TwoHundredFiftyCandidatesPrintEveryPercentOnce) {
  ProgressMeter meter(250);
  const auto claims = tick_all(meter, 250);
  ASSERT_EQ(claims.size(), 100u);
  EXPECT_EQ(claims.front().n, 3u);  // floor(3 * 100 / 250) = 1
  EXPECT_EQ(claims.front().p, 1u);
  EXPECT_EQ(claims[1].n, 5u);
  EXPECT_EQ(claims.back().n, 250u);
  EXPECT_EQ(claims.back().p, 100u);
  for (std::size_t i = 0; i < claims.size(); ++i) EXPECT_EQ(claims[i].p, i + 1);
}

TEST(Progress, FewCandidatesSkipPercentages) {
  ProgressMeter meter(3);
  const auto claims = tick_all(meter, 3);
  ASSERT_EQ(claims.size(), 3u);
  EXPECT_EQ(claims[0].p, 33u);
  EXPECT_EQ(claims[1].p, 66u);
  EXPECT_EQ(claims[2].p, 100u);
}

TEST(Progress, EmptyListReportsNothing) {
  ProgressMeter meter(0);
  EXPECT_TRUE(tick_all(meter, 5).empty());
}

TEST(Progress, ConcurrentTicksClaimEachPercentageAtMostOnce) {
  constexpr std::size_t kTotal = 20000;
  constexpr int kThreads = 8;
  ProgressMeter meter(kTotal);
  std::mutex mutex;
  std::vector<std::size_t> percentages;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (std::size_t i = 0; i < kTotal / kThreads; ++i) {
        if (auto c = meter.tick()) {
          std::lock_guard<std::mutex> lock(mutex);
          percentages.push_back(c->p);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  const std::set<std::size_t> unique(percentages.begin(), percentages.end());
  EXPECT_EQ(unique.size(), percentages.size());
  EXPECT_LE(percentages.size(), 100u);
  EXPECT_EQ(*std::max_element(percentages.begin(), percentages.end()), 100u);
}

TEST(Output, PrintLockedWritesTextUnchanged) {
  ::testing::internal::CaptureStdout();
  print_locked("a\u2588b");
  print_locked("\n");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "a\u2588b\n");
}

}  // namespace
}  // namespace vok
