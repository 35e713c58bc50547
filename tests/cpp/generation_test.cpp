#include "engine/generation.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine_helpers.hpp"

namespace vok {
namespace {

using namespace testing_support;

bool contains(const std::vector<Expression>& es, const std::string& formula) {
  return std::any_of(es.begin(), es.end(), [&](const Expression& e) { return e.formula == formula; });
}

// Seeds level 1 the way the search does.
Levels seeded(std::size_t num_vars, FingerprintSet& seen) {
  Levels levels(2);
  if (admit_candidate(C(), builtins(), seen)) levels[1].push_back(C());
  for (std::size_t i = 0; i < num_vars; ++i) {
    if (admit_candidate(v(static_cast<std::uint8_t>(i)), builtins(), seen)) levels[1].push_back(v(static_cast<std::uint8_t>(i)));
  }
  return levels;
}

TEST(AdmitCandidate, RefusesRepeatsAndMissingFingerprints) {
  FingerprintSet seen;
  EXPECT_TRUE(admit_candidate(bin(BuiltinKind::Plus, C(), v(0)), builtins(), seen));
  EXPECT_FALSE(admit_candidate(bin(BuiltinKind::Plus, v(0), C()), builtins(), seen));
  EXPECT_FALSE(admit_candidate(un(BuiltinKind::Log, bin(BuiltinKind::Subtract, v(0), v(0))), builtins(), seen));
  EXPECT_EQ(seen.size(), 1u);
}

TEST(GenerateLevel, LevelTwoHasOnlyUnaryChildrenInParentThenOperatorOrder) {
  FingerprintSet seen;
  Levels levels = seeded(1, seen);
  const auto level2 = generate_level(levels, 2, builtins(), seen);
  ASSERT_FALSE(level2.empty());
  for (const auto& e : level2) EXPECT_EQ(e.complexity, 2u);
  // All children of C come before those of v_{0}; operators ascend by id.
  EXPECT_EQ(level2.front().formula, "Neg(C)");
  EXPECT_EQ(level2.back().formula, "Cube(v_{0})");
  const auto first_v = std::find_if(level2.begin(), level2.end(),
                                    [](const Expression& e) { return e.num_vars == 1; });
  EXPECT_TRUE(std::all_of(first_v, level2.end(), [](const Expression& e) { return e.num_vars == 1; }));
}

TEST(GenerateLevel, CommutativeMirrorsArePrunedByFormulaText) {
  FingerprintSet seen;
  Levels levels = seeded(2, seen);
  levels.push_back(generate_level(levels, 2, builtins(), seen));
  const auto level3 = generate_level(levels, 3, builtins(), seen);
  EXPECT_TRUE(contains(level3, "Plus(v_{0}, v_{1})"));
  EXPECT_FALSE(contains(level3, "Plus(v_{1}, v_{0})"));
  EXPECT_TRUE(contains(level3, "Plus(v_{0}, v_{0})"));
  EXPECT_TRUE(contains(level3, "Subtract(v_{1}, v_{0})"));
  EXPECT_TRUE(contains(level3, "Subtract(v_{0}, v_{1})"));
  // Unary children of level 2 come first, then the split i = j = 1.
  const auto first_binary = std::find_if(level3.begin(), level3.end(), [](const Expression& e) {
    return e.tokens[0].kind != TokenKind::Apply && e.tokens[1].kind != TokenKind::Apply;
  });
  EXPECT_TRUE(std::all_of(level3.begin(), first_binary, [](const Expression& e) {
    return e.tokens[1].kind == TokenKind::Apply && e.tokens[2].arity() == 1;
  }));
}

TEST(GenerateLevel, EarlierSplitWinsAndNonCommutativeOrdersBothSurvive) {
  FingerprintSet seen;
  Levels levels = seeded(1, seen);
  levels.push_back(generate_level(levels, 2, builtins(), seen));
  levels.push_back(generate_level(levels, 3, builtins(), seen));
  const auto level4 = generate_level(levels, 4, builtins(), seen);
  EXPECT_TRUE(contains(level4, "Plus(v_{0}, Sin(v_{0}))"));
  EXPECT_FALSE(contains(level4, "Plus(Sin(v_{0}), v_{0})"));
  EXPECT_TRUE(contains(level4, "Subtract(v_{0}, Sin(v_{0}))"));
  EXPECT_TRUE(contains(level4, "Subtract(Sin(v_{0}), v_{0})"));
}

TEST(GenerateLevel, EmptyParentLevelsGiveNoChildren) {
  FingerprintSet seen;
  Levels levels(4);
  levels[1] = {v(0)};
  // levels[2] empty: no unary children at 3... and split (1,1) still works.
  const auto level3 = generate_level(levels, 3, builtins(), seen);
  EXPECT_TRUE(std::all_of(level3.begin(), level3.end(), [](const Expression& e) {
    return e.tokens.back().arity() == 2;
  }));
  levels[1].clear();
  EXPECT_TRUE(generate_level(levels, 3, builtins(), seen).empty());
}

Expression with_params(std::size_t n) {
  Expression e = C();
  for (std::size_t i = 1; i < n; ++i) e = bin(BuiltinKind::Plus, e, C());
  return e;
}

TEST(BinaryChildren, NeverBuildsMoreThanMaxParams) {
  FingerprintSet seen;
  const std::vector<Expression> lefts{with_params(200)};
  const std::vector<Expression> fits{with_params(55)};
  const std::vector<Expression> too_many{with_params(56)};
  EXPECT_TRUE(binary_children(lefts, too_many, false, builtins(), seen).empty());
  const auto ok = binary_children(lefts, fits, false, builtins(), seen);
  ASSERT_FALSE(ok.empty());
  for (const auto& c : ok) EXPECT_EQ(c.expression.num_params, 255);
}

TEST(AdmitInOrder, FirstInOrderWinsAgainstLaterAndEarlierPasses) {
  FingerprintSet seen;
  ASSERT_TRUE(admit_candidate(v(0), builtins(), seen));
  std::vector<Child> children;
  for (const Expression& e : {bin(BuiltinKind::Plus, v(0), C()), v(0), bin(BuiltinKind::Plus, C(), v(0)),
                              un(BuiltinKind::Neg, v(0))}) {
    children.push_back({e, *fingerprint(e, builtins().operators())});
  }
  EXPECT_EQ(formulas(admit_in_order(std::move(children), seen)),
            (std::vector<std::string>{"Plus(v_{0}, C)", "Neg(v_{0})"}));
}

TEST(FingerprintSet, OrderedInsertKeepsFirstOccurrence) {
  // Many duplicates spread over all shards: the outcome must equal a plain
  // sequential test-and-insert.
  std::mt19937_64 rng(7);
  std::vector<Fingerprint> fps(5000);
  for (auto& f : fps) {
    for (auto& x : f.values) x = static_cast<std::int64_t>(rng() % 300);
    f.values[1] = 0;  // keep collisions frequent
    for (std::size_t i = 2; i < 10; ++i) f.values[i] %= 2;
  }
  std::vector<const Fingerprint*> ptrs;
  for (const auto& f : fps) ptrs.push_back(&f);
  FingerprintSet parallel_set;
  parallel_set.insert(fps[17]);  // already present before the batch
  const auto admitted = parallel_set.insert_ordered(ptrs);

  FingerprintSet sequential_set;
  sequential_set.insert(fps[17]);
  std::size_t count = 0;
  for (std::size_t i = 0; i < fps.size(); ++i) {
    const bool fresh = sequential_set.insert(fps[i]);
    EXPECT_EQ(admitted[i] != 0, fresh) << i;
    count += fresh;
  }
  EXPECT_EQ(admitted[17], 0);
  EXPECT_LT(count, fps.size());
  EXPECT_EQ(parallel_set.size(), sequential_set.size());
}

}  // namespace
}  // namespace vok
