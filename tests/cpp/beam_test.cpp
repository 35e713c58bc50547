// Tests of the beam: quotas, operator signatures, selection and the beam store.
#include "engine/select/beam.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
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
  const auto id = [](BuiltinKind k) { return std::to_string(id_of(k)); };
  EXPECT_EQ(operator_signature(un(BuiltinKind::Sin, v(0))), id(BuiltinKind::Sin));
  EXPECT_EQ(operator_signature(un(BuiltinKind::Sin, C())), id(BuiltinKind::Sin));
  EXPECT_EQ(operator_signature(bin(BuiltinKind::Plus, un(BuiltinKind::Sin, v(0)), v(1))),
            id(BuiltinKind::Sin) + "-" + id(BuiltinKind::Plus));
  EXPECT_EQ(operator_signature(bin(BuiltinKind::Vok, v(0), un(BuiltinKind::Cube, v(1)))),
            id(BuiltinKind::Cube) + "-" + id(BuiltinKind::Vok));
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

// A candidate whose operator signature is the given unary chain over a
// leaf, tagged by a unique formula so that lists can be compared.
Expression tagged(std::size_t tag, const std::vector<BuiltinKind>& chain) {
  Expression e = v(static_cast<std::uint8_t>(tag % 7));
  for (BuiltinKind k : chain) e = un(k, e);
  e.formula = "e" + std::to_string(tag);
  return e;
}

std::vector<ScoredCandidate> random_level(std::mt19937_64& rng, std::size_t n, std::size_t shape_count) {
  // Few distinct scores and few signatures, one of them dominant, so that
  // ties are everywhere and the store really prunes. With a single shape
  // the beam is exactly the best beam_width of it, so the per-signature
  // bound is tight.
  const std::vector<std::vector<BuiltinKind>> shapes = {
      {BuiltinKind::Sin}, {BuiltinKind::Cos}, {BuiltinKind::Sin, BuiltinKind::Cos}, {}, {BuiltinKind::Exp}};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> scores = {0.5, 0.25, 1.0, 0.125, 0.5, 2.0, nan};
  std::vector<ScoredCandidate> out;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t shape = rng() % 3 == 0 ? rng() % shape_count : 0;
    out.emplace_back(tagged(i, shapes[shape]), scores[rng() % scores.size()]);
  }
  return out;
}

// The beam a store selects, as formulas: a pick it no longer holds is
// looked up in the level, standing in for the caller's rebuild.
struct StoreBeam {
  std::vector<std::string> formulas;
  std::size_t missing = 0;
};
StoreBeam store_beam(BeamStore& store, const std::vector<ScoredCandidate>& level, const BeamQuota& q) {
  StoreBeam out;
  for (auto& pick : store.select(q.elite_count, q.diversity_quota)) {
    if (pick.expression) {
      EXPECT_EQ(pick.expression->formula, level[pick.id].first.formula);
      out.formulas.push_back(pick.expression->formula);
    } else {
      ++out.missing;
      out.formulas.push_back(level[pick.id].first.formula);
    }
  }
  return out;
}

TEST(BeamStore, ChunkedSelectionEqualsSelectionOverTheWholeList) {
  std::mt19937_64 rng(2024);
  bool pruned_somewhere = false;
  bool rebuilt_somewhere = false;
  for (std::size_t n : {0u, 1u, 6u, 40u, 300u}) {
    for (int round = 0; round < 4; ++round) {
      const auto level = random_level(rng, n, round == 0 ? 1 : round == 1 ? 2 : 5);
      for (std::size_t beam : {0u, 1u, 2u, 5u, 7u, 50u, 1000u}) {
        const BeamQuota q = beam_quota(beam);
        const auto want = formulas(select_beam(level, beam, q.elite_count, q.diversity_quota));
        for (std::size_t chunk : {1u, 3u, 1000u}) {
          SCOPED_TRACE(::testing::Message() << "n " << n << " beam " << beam << " chunk " << chunk);
          BeamStore store(beam);
          // Offered a chunk at a time, as the search scores them.
          for (std::size_t first = 0; first < level.size(); first += chunk) {
            std::vector<ScoredCandidate> part(level.begin() + static_cast<std::ptrdiff_t>(first),
                                              level.begin() + static_cast<std::ptrdiff_t>(std::min(level.size(), first + chunk)));
            for (std::size_t i = 0; i < part.size(); ++i) store.add(first + i, std::move(part[i].first), part[i].second);
          }
          EXPECT_EQ(store.offered(), n);
          EXPECT_LE(store.held(), beam);
          EXPECT_LE(store.kept(), 5 * beam);  // at most beam_width per signature, five signatures
          pruned_somewhere |= store.kept() < n;
          const StoreBeam got = store_beam(store, level, q);
          EXPECT_EQ(got.formulas, want);
          EXPECT_LE(got.missing, q.diversity_quota);
          rebuilt_somewhere |= got.missing != 0;
          EXPECT_EQ(store.kept(), 0u);
        }
      }
    }
  }
  EXPECT_TRUE(pruned_somewhere);
  EXPECT_TRUE(rebuilt_somewhere);
}

TEST(BeamStore, IdsWithGapsAndTheBestPerSignature) {
  // Ids are candidate-list positions: the ones that failed scoring leave gaps.
  std::vector<ScoredCandidate> level;
  for (std::size_t i = 0; i < 10; ++i) level.emplace_back(tagged(i, {BuiltinKind::Sin}), 1.0);
  level[2] = {tagged(2, {BuiltinKind::Sin}), 0.5};
  level[6] = {tagged(6, {BuiltinKind::Sin}), 0.25};
  level[8] = {tagged(8, {BuiltinKind::Cos}), 9.0};
  level[9] = {tagged(9, {BuiltinKind::Cos}), 9.0};
  BeamStore store(2);
  for (std::size_t i : {0u, 2u, 3u, 6u, 8u, 9u}) store.add(i, level[i].first, level[i].second);
  // Sin keeps e6 (0.25) and e2 (0.5); of Cos's two 9.0 the earlier ranks
  // first, and as the second-best signature best it is the threshold, so
  // e9 behind it goes. Beam 2: elite e6; the diversity pick is the rarest
  // signature's best, e8 (Cos, count 0), which the store no longer holds.
  EXPECT_EQ(store.kept(), 3u);
  EXPECT_EQ(store.signatures(), 2u);
  EXPECT_EQ(store.held(), 2u);
  const StoreBeam got = store_beam(store, level, beam_quota(2));
  EXPECT_EQ(got.formulas, (std::vector<std::string>{"e6", "e8"}));
  EXPECT_EQ(got.missing, 1u);
}

// Many signatures (chains of up to three operators), so that the
// threshold of the beam_width-th best signature best prunes and forgets
// signatures; the selection must still be select_beam's.
TEST(BeamStore, ThresholdOverManySignaturesKeepsTheSelection) {
  const std::vector<BuiltinKind> kinds = {BuiltinKind::Sin, BuiltinKind::Cos, BuiltinKind::Exp,
                                          BuiltinKind::Log};
  std::mt19937_64 rng(7);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  bool forgot_somewhere = false;
  for (int round = 0; round < 6; ++round) {
    std::vector<ScoredCandidate> level;
    for (std::size_t i = 0; i < 2000; ++i) {
      std::vector<BuiltinKind> chain(rng() % 4);
      for (auto& k : chain) k = kinds[rng() % kinds.size()];
      // Later candidates tend to be better, so the threshold keeps moving.
      const double score = rng() % 50 == 0 ? nan : static_cast<double>(rng() % (4000 - i)) * 0.25;
      level.emplace_back(tagged(i, chain), score);
    }
    for (std::size_t beam : {1u, 2u, 5u, 7u, 20u, 100u}) {
      SCOPED_TRACE(::testing::Message() << "round " << round << " beam " << beam);
      const BeamQuota q = beam_quota(beam);
      const auto want = formulas(select_beam(level, beam, q.elite_count, q.diversity_quota));
      BeamStore store(beam);
      std::size_t most_kept = 0;
      for (std::size_t i = 0; i < level.size(); ++i) {
        store.add(i, level[i].first, level[i].second);
        EXPECT_LE(store.signatures(), beam);
        most_kept = std::max(most_kept, store.kept());
      }
      forgot_somewhere |= most_kept < level.size() / 4;
      EXPECT_EQ(store_beam(store, level, q).formulas, want);
    }
  }
  EXPECT_TRUE(forgot_somewhere);
}

TEST(BeamStore, WholeLevelShortcutFollowsTheOfferedCount) {
  // Five Sin candidates with beam 3 keep three records; the selection must
  // still be the elite/diversity split of the five (here the same set in
  // score order, since one signature orders the rest by score too), and a
  // level no larger than the beam comes back whole, sorted.
  std::vector<ScoredCandidate> level;
  for (std::size_t i = 0; i < 5; ++i) level.emplace_back(tagged(i, {BuiltinKind::Sin}), 1.0 - 0.1 * static_cast<double>(i));
  BeamStore store(3);
  for (std::size_t i = 0; i < 5; ++i) store.add(i, level[i].first, level[i].second);
  EXPECT_EQ(store_beam(store, level, beam_quota(3)).formulas, (std::vector<std::string>{"e4", "e3", "e2"}));
  BeamStore small(10);
  for (std::size_t i = 0; i < 5; ++i) small.add(i, level[i].first, level[i].second);
  EXPECT_EQ(store_beam(small, level, beam_quota(10)).formulas,
            (std::vector<std::string>{"e4", "e3", "e2", "e1", "e0"}));
}

}  // namespace
}  // namespace vok
