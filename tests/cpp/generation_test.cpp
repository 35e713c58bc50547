// Tests of candidate generation: admission order, pruning, recipe lists.
#include "engine/generate/generation.hpp"

#include <gtest/gtest.h>

#include <oneapi/tbb/global_control.h>

#include <algorithm>
#include <random>
#include <set>
#include <utility>
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

// A retained level as the search would store it: a sample of the candidate
// list whose parameters were "refined" to values that also hit the probe
// guard (huge values) and domain failures (0 under a logarithm).
std::vector<Expression> retained_sample(const std::vector<Expression>& candidates, std::size_t stride) {
  static const double kFitted[] = {2.5, -1e300, 0.0, 1e-7, -3.25};
  std::vector<Expression> out;
  std::size_t n = 0;
  for (std::size_t i = 0; i < candidates.size(); i += stride) {
    Expression e = candidates[i];
    for (Token& t : e.tokens) {
      if (t.kind == TokenKind::Parameter) t.value = {kFitted[n++ % 5], 0.0};
    }
    out.push_back(std::move(e));
  }
  return out;
}

std::vector<Recipe> recipes_on(std::size_t threads, const Levels& levels,
                               const std::vector<std::vector<ProbeValues>>& probes, std::size_t k,
                               const KernelTable& table, FingerprintSet& seen,
                               std::size_t left_chunk = kDefaultLeftChunk) {
  tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
  return generate_recipes(levels, probes, k, builtins(), table, seen, left_chunk).to_vector();
}

TEST(GenerateRecipes, SameCandidatesAndAdmissionsAsGenerateLevel) {
  const KernelTable table(builtins().operators());
  for (std::size_t num_vars : {0u, 1u, 2u}) {
    SCOPED_TRACE(num_vars);
    FingerprintSet reference_seen;
    FingerprintSet fast_seen;
    FingerprintSet one_thread_seen;
    // Admission in chunks of one and of three left operands must admit
    // exactly what the whole pass admits.
    FingerprintSet chunk1_seen;
    FingerprintSet chunk3_seen;
    Levels levels = seeded(num_vars, reference_seen);
    seeded(num_vars, fast_seen);
    seeded(num_vars, one_thread_seen);
    seeded(num_vars, chunk1_seen);
    seeded(num_vars, chunk3_seen);
    std::vector<std::vector<ProbeValues>> probes(2);
    probes[1] = level_probe_values(levels[1], table);
    for (std::size_t k = 2; k <= 5; ++k) {
      SCOPED_TRACE(k);
      ASSERT_TRUE(recipes_fit(levels, k, builtins()));
      const auto reference = generate_level(levels, k, builtins(), reference_seen);
      const auto recipes = recipes_on(4, levels, probes, k, table, fast_seen);
      EXPECT_EQ(recipes_on(1, levels, probes, k, table, one_thread_seen).size(), recipes.size());
      const auto same_recipes = [&](const std::vector<Recipe>& other) {
        return other.size() == recipes.size() &&
               std::equal(other.begin(), other.end(), recipes.begin(), [](const Recipe& a, const Recipe& b) {
                 return a.left == b.left && a.right == b.right && a.split == b.split && a.op == b.op;
               });
      };
      EXPECT_TRUE(same_recipes(recipes_on(4, levels, probes, k, table, chunk1_seen, 1)));
      EXPECT_TRUE(same_recipes(recipes_on(4, levels, probes, k, table, chunk3_seen, 3)));
      const CandidateBuilder build(levels, k, builtins());
      ASSERT_EQ(recipes.size(), reference.size());
      for (std::size_t i = 0; i < recipes.size(); ++i) {
        const Expression built = build(recipes[i]);
        ASSERT_TRUE(same_expression(built, reference[i])) << i << ": " << built.formula << " vs " << reference[i].formula;
      }
      EXPECT_EQ(fast_seen.size(), reference_seen.size());
      EXPECT_EQ(one_thread_seen.size(), reference_seen.size());
      EXPECT_EQ(chunk1_seen.size(), reference_seen.size());
      EXPECT_EQ(chunk3_seen.size(), reference_seen.size());
      levels.push_back(retained_sample(reference, k < 4 ? 1 : 7));
      probes.push_back(level_probe_values(levels[k], table));
    }
  }
}

// --- Operator sets ------------------------------------------------------------

struct OperatorSetCase {
  const char* name;
  std::uint64_t disabled;
};

// The digests of the fingerprints of `es` (every one has a fingerprint: it
// was admitted).
std::set<std::pair<std::uint64_t, std::uint64_t>> digests_of(const std::vector<Expression>& es) {
  std::set<std::pair<std::uint64_t, std::uint64_t>> out;
  for (const Expression& e : es) {
    const auto fp = fingerprint(e, builtins().operators());
    EXPECT_TRUE(fp.has_value()) << e.formula;
    if (!fp) continue;
    const FingerprintDigest d = fingerprint_digest(*fp);
    out.emplace(d.lo, d.hi);
  }
  return out;
}

std::vector<Expression> applying_none_of(const std::vector<Expression>& es, std::uint64_t disabled) {
  std::vector<Expression> out;
  for (const Expression& e : es) {
    if (applied_among(e, disabled).empty()) out.push_back(e);
  }
  return out;
}

class OperatorSets : public ::testing::TestWithParam<OperatorSetCase> {};

// Levels 2..5 generated under a set, both ways: the same candidates in the
// same order, none applying a left-out operator. Against the full set from
// the same retained levels and the same fingerprints seen: the set's level
// holds a formula for every fingerprint of the full level's candidates that
// apply none of the left-out operators, and nothing the full level lacks
// (de-duplication may keep another formula of the same fingerprint).
TEST_P(OperatorSets, NoLeftOutOperatorAndTheFullLevelsFingerprints) {
  const std::uint64_t disabled = GetParam().disabled;
  const KernelTable table(builtins().operators());
  for (std::size_t num_vars : {1u, 2u}) {
    SCOPED_TRACE(num_vars);
    FingerprintSet reference_seen;
    FingerprintSet fast_seen;
    Levels levels = seeded(num_vars, reference_seen);
    seeded(num_vars, fast_seen);
    // Everything admitted so far, to give a fresh set the same contents.
    std::vector<Expression> admitted = levels[1];
    std::vector<std::vector<ProbeValues>> probes(2);
    probes[1] = level_probe_values(levels[1], table);
    std::size_t generated = 0;
    for (std::size_t k = 2; k <= 5; ++k) {
      SCOPED_TRACE(k);
      FingerprintSet full_seen;
      for (const Expression& e : admitted) ASSERT_TRUE(full_seen.insert(*fingerprint(e, builtins().operators())));
      const auto full = generate_level(levels, k, builtins(), full_seen);
      const auto reference = generate_level(levels, k, builtins(), reference_seen, disabled);
      const auto recipes = generate_recipes(levels, probes, k, builtins(), table, fast_seen, 3, {}, disabled).to_vector();
      // A set without unary operators has an empty level 2.
      ASSERT_LT(reference.size(), full.size());
      for (const Expression& e : reference) {
        ASSERT_EQ(applied_among(e, disabled), std::vector<std::string>{}) << e.formula;
      }
      const CandidateBuilder build(levels, k, builtins());
      ASSERT_EQ(recipes.size(), reference.size());
      for (std::size_t i = 0; i < recipes.size(); ++i) {
        const Expression built = build(recipes[i]);
        ASSERT_TRUE(same_expression(built, reference[i])) << i << ": " << built.formula << " vs " << reference[i].formula;
        EXPECT_FALSE(operator_disabled(disabled, build.op_id(recipes[i])));
      }
      EXPECT_EQ(fast_seen.size(), reference_seen.size());

      const auto kept = digests_of(reference);
      const auto all = digests_of(full);
      EXPECT_TRUE(std::includes(all.begin(), all.end(), kept.begin(), kept.end()));
      const auto full_kept = digests_of(applying_none_of(full, disabled));
      EXPECT_TRUE(std::includes(kept.begin(), kept.end(), full_kept.begin(), full_kept.end()));

      generated += reference.size();
      admitted.insert(admitted.end(), reference.begin(), reference.end());
      levels.push_back(retained_sample(reference, k < 4 ? 1 : 7));
      probes.push_back(level_probe_values(levels[k], table));
    }
    EXPECT_GT(generated, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sets, OperatorSets,
    ::testing::Values(
        OperatorSetCase{"arithmetic", disabled_all_but({BuiltinKind::Plus, BuiltinKind::Subtract, BuiltinKind::Times,
                                                        BuiltinKind::Divide})},
        OperatorSetCase{"plus_times", disabled_all_but({BuiltinKind::Plus, BuiltinKind::Times})},
        OperatorSetCase{"unary_only", disabled_all_but({BuiltinKind::Neg, BuiltinKind::Sqrt, BuiltinKind::Exp})},
        OperatorSetCase{"vok_and_cube", disabled_all_but({BuiltinKind::Vok, BuiltinKind::Cube})},
        OperatorSetCase{"no_trigonometry", mask_of({BuiltinKind::Sin, BuiltinKind::Cos, BuiltinKind::Tan,
                                                    BuiltinKind::ArcSin, BuiltinKind::ArcCos, BuiltinKind::ArcTan})}),
    [](const auto& p) { return std::string(p.param.name); });

// Bits that name no operator (the named constants' ids, ids the registry
// does not have) leave every level exactly as the full set makes it.
TEST(OperatorSetMask, BitsOfNoOperatorChangeNothing) {
  std::uint64_t no_operator = std::uint64_t{1} << 63;
  for (std::uint64_t id = 0; id < kFirstBuiltinId; ++id) no_operator |= std::uint64_t{1} << id;
  const KernelTable table(builtins().operators());
  FingerprintSet full_seen;
  FingerprintSet masked_seen;
  FingerprintSet fast_seen;
  Levels levels = seeded(2, full_seen);
  seeded(2, masked_seen);
  seeded(2, fast_seen);
  std::vector<std::vector<ProbeValues>> probes(2);
  probes[1] = level_probe_values(levels[1], table);
  for (std::size_t k = 2; k <= 4; ++k) {
    SCOPED_TRACE(k);
    const auto full = generate_level(levels, k, builtins(), full_seen);
    const auto masked = generate_level(levels, k, builtins(), masked_seen, no_operator);
    const auto recipes = generate_recipes(levels, probes, k, builtins(), table, fast_seen, kDefaultLeftChunk, {},
                                          no_operator);
    ASSERT_EQ(masked.size(), full.size());
    ASSERT_EQ(recipes.size(), full.size());
    const CandidateBuilder build(levels, k, builtins());
    for (std::size_t i = 0; i < full.size(); ++i) {
      ASSERT_TRUE(same_expression(masked[i], full[i])) << masked[i].formula << " vs " << full[i].formula;
      ASSERT_TRUE(same_expression(build(recipes[i]), full[i])) << full[i].formula;
    }
    levels.push_back(retained_sample(full, k < 3 ? 1 : 5));
    probes.push_back(level_probe_values(levels[k], table));
  }
}

// Recipes of a level with an empty level among its operands, chosen with
// gaps of every varint length: each decodes back, by index and by range.
TEST(RecipeListTest, EncodesEveryRecipeAndDecodesAnyRange) {
  Levels levels(6);
  levels[1].resize(3);
  levels[2].resize(0);  // splits 2 and 3 of level 6 have no compositions
  levels[3].resize(700);
  levels[4].resize(1000);
  levels[5].resize(1200);
  const std::size_t k = 6;
  const std::size_t unary_ops = 13;
  const std::size_t binary_ops = 5;
  std::mt19937_64 rng(99);
  std::vector<Recipe> want;
  // Every composition in generation order, taken with a probability that
  // changes every 5000 compositions (1/2, 1/50, about never), so that the
  // gaps need one, two and three varint bytes.
  std::size_t seen_so_far = 0;
  const auto consider = [&](Recipe r) {
    static constexpr std::uint64_t thresholds[] = {500000, 20000, 3};
    const std::uint64_t threshold = thresholds[seen_so_far++ / 5000 % 3];
    if (rng() % 1000000 < threshold) want.push_back(r);
  };
  for (std::uint32_t p = 0; p < levels[k - 1].size(); ++p) {
    for (std::uint16_t u = 0; u < unary_ops; ++u) consider({p, 0, 0, u});
  }
  for (std::uint16_t i = 1; std::size_t{i} + 2 <= k; ++i) {
    for (std::uint32_t l = 0; l < levels[i].size(); ++l) {
      for (std::uint32_t r = 0; r < levels[k - 1 - i].size(); ++r) {
        for (std::uint16_t b = 0; b < binary_ops; ++b) consider({l, r, i, b});
      }
    }
  }
  want.push_back({static_cast<std::uint32_t>(levels[4].size() - 1), static_cast<std::uint32_t>(levels[1].size() - 1),
                  4, static_cast<std::uint16_t>(binary_ops - 1)});  // the very last composition
  RecipeList list(levels, k, unary_ops, binary_ops);
  for (const Recipe& r : want) list.push_back(r);
  ASSERT_EQ(list.size(), want.size());
  EXPECT_LT(list.bytes(), 3 * want.size());
  const auto same = [](const Recipe& a, const Recipe& b) {
    return a.left == b.left && a.right == b.right && a.split == b.split && a.op == b.op;
  };
  const std::vector<Recipe> all = list.to_vector();
  ASSERT_EQ(all.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) ASSERT_TRUE(same(all[i], want[i])) << i;
  for (std::size_t i : {std::size_t{0}, std::size_t{255}, std::size_t{256}, want.size() / 2, want.size() - 1}) {
    EXPECT_TRUE(same(list[i], want[i])) << i;
  }
  std::vector<Recipe> part;
  for (std::size_t first : {std::size_t{0}, std::size_t{200}, std::size_t{511}, want.size() - 3}) {
    const std::size_t n = std::min<std::size_t>(300, want.size() - first);
    list.decode(first, n, part);
    ASSERT_EQ(part.size(), n);
    for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(same(part[i], want[first + i])) << first << "+" << i;
  }
  list.decode(7, 0, part);
  EXPECT_TRUE(part.empty());
}

TEST(GenerateRecipes, RecipesFitOnlyLevelsThatExistAndSplitsThatFitSixteenBits) {
  FingerprintSet seen;
  Levels levels = seeded(1, seen);
  EXPECT_TRUE(recipes_fit(levels, 2, builtins()));
  EXPECT_FALSE(recipes_fit(levels, 1, builtins()));
  EXPECT_FALSE(recipes_fit(levels, 3, builtins()));  // level 2 missing
  levels.resize(65538);
  EXPECT_TRUE(recipes_fit(levels, 65537, builtins()));   // largest split 65535
  EXPECT_FALSE(recipes_fit(levels, 65538, builtins()));  // split 65536 would wrap
}

TEST(GenerateRecipes, ProbeValuesAreThoseOfEvaluation) {
  const KernelTable table(builtins().operators());
  Expression c = C();
  c.tokens[0].value = {1e300, 0.0};
  const std::vector<Expression> level{v(1), c, un(BuiltinKind::Log, bin(BuiltinKind::Subtract, v(0), v(0)))};
  const auto probes = level_probe_values(level, table);
  ASSERT_EQ(probes.size(), 3u);
  // v_{1} at probe i is (P[(i + 1) mod 5], i odd ? 0.2 : 0).
  for (std::size_t i = 0; i < kProbeCount; ++i) {
    EXPECT_EQ(probes[0].ok[i], 1);
    EXPECT_EQ(probes[0].re[i], kProbes[(i + 1) % kProbeCount]);
    EXPECT_EQ(probes[0].im[i], i % 2 == 1 ? 2 * 0.1 : 0.0);
    // A leaf is not guarded: its value stands even where no fingerprint would.
    EXPECT_EQ(probes[1].ok[i], 1);
    EXPECT_EQ(probes[1].re[i], 1e300);
    EXPECT_EQ(probes[2].ok[i], 0);
  }
}

}  // namespace
}  // namespace vok
