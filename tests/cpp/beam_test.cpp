#include "engine/beam.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "engine_helpers.hpp"

namespace vok {
namespace {

using namespace testing_support;

struct QuotaCase {
  std::size_t beam, elite, diversity;
};
class Quota : public ::testing::TestWithParam<QuotaCase> {};

TEST_P(Quota, EliteIsEightyPercentTruncated) {
  const BeamQuota q = beam_quota(GetParam().beam);
  EXPECT_EQ(q.elite_count, GetParam().elite);
  EXPECT_EQ(q.diversity_quota, GetParam().diversity);
}

INSTANTIATE_TEST_SUITE_P(Table, Quota,
                         ::testing::Values(QuotaCase{1000, 800, 200}, QuotaCase{10, 8, 2},
                                           QuotaCase{5, 4, 1}, QuotaCase{1, 0, 1}, QuotaCase{0, 0, 0},
                                           QuotaCase{3, 2, 1}));

TEST(OperatorSignature, ApplyIdsInTokenOrderJoinedByHyphen) {
  EXPECT_EQ(operator_signature(v(0)), "");
  EXPECT_EQ(operator_signature(un(BuiltinKind::Sin, v(0))), "15");
  EXPECT_EQ(operator_signature(un(BuiltinKind::Sin, C())), "15");
  EXPECT_EQ(operator_signature(bin(BuiltinKind::Plus, un(BuiltinKind::Sin, v(0)), v(1))), "15-8");
  EXPECT_EQ(operator_signature(bin(BuiltinKind::Vok, v(0), un(BuiltinKind::Cube, v(1)))), "22-5");
}

std::vector<ScoredCandidate> scored(std::initializer_list<std::pair<Expression, double>> items) {
  return std::vector<ScoredCandidate>(items.begin(), items.end());
}

TEST(SelectBeam, DiversityPickFavoursRareSignature) {
  // Sorted scores 1..7 with signatures A A B A A C B (given out of order).
  const Expression a1 = un(BuiltinKind::Sin, v(0)), a2 = un(BuiltinKind::Sin, v(1)),
                   a4 = un(BuiltinKind::Sin, v(2)), a5 = un(BuiltinKind::Sin, v(3)),
                   b3 = un(BuiltinKind::Cos, v(0)), b7 = un(BuiltinKind::Cos, v(1)),
                   c6 = un(BuiltinKind::Exp, v(0));
  auto list = scored({{b7, 7}, {a5, 5}, {a1, 1}, {c6, 6}, {a4, 4}, {b3, 3}, {a2, 2}});
  const BeamQuota q = beam_quota(5);
  const auto beam = select_beam(std::move(list), 5, q.elite_count, q.diversity_quota);
  EXPECT_EQ(formulas(beam), (std::vector<std::string>{a1.formula, a2.formula, b3.formula, a4.formula,
                                                      c6.formula}));
}

TEST(SelectBeam, ShortListIsReturnedWholeAndSorted) {
  auto list = scored({{v(0), 0.3}, {v(1), 0.1}, {v(2), 0.2}});
  EXPECT_EQ(formulas(select_beam(std::move(list), 3, 2, 1)),
            (std::vector<std::string>{"v_{1}", "v_{2}", "v_{0}"}));
}

TEST(SelectBeam, EmptyListAndZeroBeam) {
  EXPECT_TRUE(select_beam({}, 10, 8, 2).empty());
  auto list = scored({{v(0), 0.3}});
  EXPECT_TRUE(select_beam(std::move(list), 0, 0, 0).empty());
}

TEST(SelectBeam, BeamOfOnePicksLowestScore) {
  auto list = scored({{un(BuiltinKind::Sin, v(0)), 0.3}, {un(BuiltinKind::Sin, v(1)), 0.1},
                      {un(BuiltinKind::Cos, v(0)), 0.2}});
  const BeamQuota q = beam_quota(1);
  EXPECT_EQ(formulas(select_beam(std::move(list), 1, q.elite_count, q.diversity_quota)),
            (std::vector<std::string>{"Sin(v_{1})"}));
}

TEST(SelectBeam, EqualScoresKeepGenerationOrder) {
  auto list = scored({{v(3), 0.5}, {v(1), 0.5}, {v(2), 0.5}, {v(0), 0.5}, {C(), 0.5}});
  // Elite 1 (v_{3}), then the rest all count 1 (the elite signature is the
  // empty one shared by every leaf) with equal scores: generation order.
  EXPECT_EQ(formulas(select_beam(std::move(list), 2, 1, 1)), (std::vector<std::string>{"v_{3}", "v_{1}"}));
  auto whole = scored({{v(3), 0.5}, {v(1), 0.5}, {v(2), 0.5}});
  EXPECT_EQ(formulas(select_beam(std::move(whole), 10, 8, 2)),
            (std::vector<std::string>{"v_{3}", "v_{1}", "v_{2}"}));
}

TEST(SelectBeam, NaNScoresSortLast) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  auto list = scored({{v(0), nan}, {v(1), 0.2}, {v(2), nan}, {v(3), 0.1}});
  EXPECT_EQ(formulas(select_beam(std::move(list), 10, 8, 2)),
            (std::vector<std::string>{"v_{3}", "v_{1}", "v_{0}", "v_{2}"}));
  std::vector<ScoredCandidate> many;
  for (int i = 0; i < 200; ++i) many.emplace_back(v(static_cast<std::uint8_t>(i % 7)), i % 3 ? nan : 1.0 * i);
  const auto beam = select_beam(std::move(many), 50, 40, 10);
  EXPECT_EQ(beam.size(), 50u);
}

TEST(ScoreLess, IsAStrictWeakOrderWithNaNLast) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(score_less(1.0, 2.0));
  EXPECT_FALSE(score_less(2.0, 1.0));
  EXPECT_TRUE(score_less(1e300, nan));
  EXPECT_FALSE(score_less(nan, 1e300));
  EXPECT_FALSE(score_less(nan, nan));
  EXPECT_TRUE(score_less(-std::numeric_limits<double>::infinity(), 0.0));
}

}  // namespace
}  // namespace vok
