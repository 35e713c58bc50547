// Tests of the search settings' defaults and their derivation.
#include "config/search_config.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vok {
namespace {

TEST(SearchConfig, Defaults) {
  const SearchConfig c;
  EXPECT_EQ(c.max_complexity, 10u);
  EXPECT_EQ(c.complexity_penalty, 0.1);
  EXPECT_EQ(c.beam_width, 1000u);
  EXPECT_EQ(c.alpha, 0.0);
  EXPECT_EQ(c.l1_ratio, 0.5);
  EXPECT_EQ(c.early_exit_threshold, 1e-10);
  EXPECT_FALSE(c.exhaustive);
  EXPECT_TRUE(c.optimize_constants);
}

TEST(SearchConfig, OddValuesAreStoredUnchanged) {
  const SearchConfig c{0, std::numeric_limits<double>::quiet_NaN(), 0, -1.0, 7.0};
  EXPECT_EQ(c.max_complexity, 0u);
  EXPECT_TRUE(std::isnan(c.complexity_penalty));
  EXPECT_EQ(c.beam_width, 0u);
  EXPECT_EQ(c.alpha, -1.0);
  EXPECT_EQ(c.l1_ratio, 7.0);
}

TEST(DeriveSearchConfig, OverridesOnlyWhatIsGiven) {
  const SearchConfig base{5, 0.2, 40, 0.0, 0.5};
  const SearchConfig a = derive_search_config(base, 0.3, std::nullopt, false);
  EXPECT_EQ(a.alpha, 0.3);
  EXPECT_EQ(a.l1_ratio, 0.5);
  EXPECT_EQ(base.alpha, 0.0);
  const SearchConfig l = derive_search_config(base, std::nullopt, 0.9, false);
  EXPECT_EQ(l.alpha, 0.0);
  EXPECT_EQ(l.l1_ratio, 0.9);
  EXPECT_FALSE(l.exhaustive);
  const SearchConfig x = derive_search_config(base, std::nullopt, std::nullopt, true);
  EXPECT_TRUE(x.exhaustive);
  EXPECT_EQ(x.max_complexity, 5u);
  EXPECT_EQ(x.beam_width, 40u);
  EXPECT_EQ(x.complexity_penalty, 0.2);
}

}  // namespace
}  // namespace vok
