// Dimensions of formulas: each operator's rule, the formulas that generation
// drops, the front of a search with units, and the search without them.
#include "engine/generate/dimension.hpp"

#include <gtest/gtest.h>

#include <oneapi/tbb/global_control.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "engine/generate/generation.hpp"
#include "engine/search/bfs.hpp"
#include "engine_helpers.hpp"

namespace vok {
namespace {

using namespace testing_support;
using K = BuiltinKind;
using Kind = Dimension::Kind;

constexpr std::int32_t kOne = kExponentDenominator;

// Dimensions over (length, mass, time), in whole exponents.
Exponents exps(std::int32_t length, std::int32_t mass = 0, std::int32_t time = 0) {
  Exponents e{};
  e[0] = length * kOne;
  e[1] = mass * kOne;
  e[2] = time * kOne;
  return e;
}
Dimension dim(std::int32_t length, std::int32_t mass = 0, std::int32_t time = 0) {
  return Dimension::fixed(exps(length, mass, time));
}
const Dimension L = dim(1);
const Dimension T = dim(0, 0, 1);
const Dimension One = Dimension::dimensionless();
const Dimension Any = Dimension::any();
const Dimension Unknown = Dimension::unknown();

std::string describe(const std::optional<Dimension>& d) {
  if (!d) return "inconsistent";
  if (d->kind == Kind::Any) return "any";
  if (d->kind == Kind::Unknown) return "unknown";
  std::string out = "[";
  for (const std::int32_t e : d->exponents) out += std::to_string(e) + " ";
  return out + "]";
}

struct RuleCase {
  const char* name;
  K kind;
  Dimension a;
  Dimension b;
  std::optional<Dimension> want;  // nullopt: inconsistent
};

const RuleCase kRuleCases[] = {
    {"neg_keeps", K::Neg, L, {}, L},
    {"neg_any", K::Neg, Any, {}, Any},
    {"inv_negates", K::Inv, dim(1, 0, -2), {}, dim(-1, 0, 2)},
    {"sqrt_halves", K::Sqrt, dim(2, 0, -1), {}, Dimension::fixed({kOne, 0, -kOne / 2})},
    {"sqrt_of_any", K::Sqrt, Any, {}, Any},
    {"square_doubles", K::Square, dim(1, 0, -1), {}, dim(2, 0, -2)},
    {"cube_triples", K::Cube, dim(-1, 1), {}, dim(-3, 3)},
    {"exp_of_length", K::Exp, L, {}, std::nullopt},
    {"exp_of_number", K::Exp, One, {}, One},
    {"exp_of_any", K::Exp, Any, {}, One},
    {"log_of_length", K::Log, L, {}, std::nullopt},
    {"log_of_number", K::Log, One, {}, One},
    {"sin_of_time", K::Sin, T, {}, std::nullopt},
    {"sin_of_any", K::Sin, Any, {}, One},
    {"cos_of_number", K::Cos, One, {}, One},
    {"cos_of_length", K::Cos, L, {}, std::nullopt},
    {"tan_of_length", K::Tan, L, {}, std::nullopt},
    {"arcsin_of_length", K::ArcSin, L, {}, std::nullopt},
    {"arccos_of_number", K::ArcCos, One, {}, One},
    {"arctan_of_time", K::ArcTan, T, {}, std::nullopt},
    {"plus_like", K::Plus, L, L, L},
    {"plus_unlike", K::Plus, L, T, std::nullopt},
    {"plus_any_takes_right", K::Plus, Any, T, T},
    {"plus_any_takes_left", K::Plus, L, Any, L},
    {"plus_any_any", K::Plus, Any, Any, Any},
    {"subtract_unlike", K::Subtract, T, L, std::nullopt},
    {"subtract_like", K::Subtract, T, T, T},
    {"subtract_number_from_length", K::Subtract, L, One, std::nullopt},
    {"times_adds", K::Times, dim(1, 1), dim(0, 0, -2), dim(1, 1, -2)},
    {"times_any", K::Times, Any, L, Any},
    {"divide_subtracts", K::Divide, dim(1), dim(0, 0, 1), dim(1, 0, -1)},
    {"divide_by_any", K::Divide, L, Any, Any},
    {"vok_numbers", K::Vok, One, One, One},
    {"vok_length_left", K::Vok, L, One, std::nullopt},
    {"vok_time_right", K::Vok, One, T, std::nullopt},
    {"vok_any_any", K::Vok, Any, Any, One},
    // Beyond the fixed point: kept as unknown, never dropped.
    {"sqrt_of_odd_numerator", K::Sqrt, Dimension::fixed({1}), {}, Unknown},
    {"cube_overflow", K::Cube, Dimension::fixed({1 << 30}), {}, Unknown},
    {"times_overflow", K::Times, Dimension::fixed({1 << 30}), Dimension::fixed({1 << 30}), Unknown},
    {"unknown_in_sum", K::Plus, Unknown, L, Unknown},
    {"unknown_under_exp", K::Exp, Unknown, {}, Unknown},
    {"unknown_in_vok", K::Vok, One, Unknown, Unknown},
    {"unknown_in_vok_beside_length", K::Vok, L, Unknown, std::nullopt},
};

class OperatorRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(OperatorRule, CombinesItsOperands) {
  const RuleCase& c = GetParam();
  const DimensionRules rules(UnitSettings{}, builtins());
  const std::uint64_t id = id_of(c.kind);
  const std::optional<Dimension> got =
      builtins().meta()[id].arity == 1 ? rules.unary(id, c.a) : rules.binary(id, c.a, c.b);
  EXPECT_EQ(got, c.want) << describe(got) << " instead of " << describe(c.want);
}

INSTANTIATE_TEST_SUITE_P(Cases, OperatorRule, ::testing::ValuesIn(kRuleCases),
                         [](const auto& p) { return std::string(p.param.name); });

// The table above exercises every built-in operator, and nothing else of
// the registry has a rule.
TEST(OperatorRule, EveryBuiltinHasItsCasesAndOnlyBuiltinsHaveRules) {
  std::set<K> covered;
  for (const RuleCase& c : kRuleCases) covered.insert(c.kind);
  EXPECT_EQ(covered.size(), kBuiltinCount);
  for (std::uint64_t id = 0; id < builtins().size(); ++id) {
    const bool builtin = id >= kFirstBuiltinId;
    EXPECT_EQ(DimensionRules::rule_of(builtins(), id) != DimensionRule::None, builtin) << builtins().meta()[id].name;
  }
  EXPECT_EQ(DimensionRules::rule_of(builtins(), builtins().size()), DimensionRule::None);
}

// Inputs v_{0}, v_{1}: lengths; v_{2}: a time; v_{3}: a mass.
UnitSettings mechanics(ConstantUnits constants, std::optional<Exponents> target = std::nullopt) {
  UnitSettings u;
  u.inputs = {exps(1), exps(1), exps(0, 0, 1), exps(0, 1)};
  u.target = target;
  u.constants = constants;
  return u;
}

struct FormulaCase {
  const char* name;
  Expression (*formula)();
  std::optional<Dimension> dimensionless_constants;
  std::optional<Dimension> free_constants;
};

const FormulaCase kFormulaCases[] = {
    {"exp_of_length", [] { return un(K::Exp, v(0)); }, std::nullopt, std::nullopt},
    {"exp_of_length_over_length", [] { return un(K::Exp, bin(K::Divide, v(0), v(1))); }, One, One},
    {"length_plus_time", [] { return bin(K::Plus, v(0), v(2)); }, std::nullopt, std::nullopt},
    {"constant_times_length_plus_time", [] { return bin(K::Plus, bin(K::Times, C(), v(0)), v(2)); }, std::nullopt,
     T},
    {"length_plus_constant", [] { return bin(K::Plus, v(0), C()); }, std::nullopt, L},
    {"constant_alone", [] { return C(); }, One, Any},
    {"exp_of_constant_times_time", [] { return un(K::Exp, bin(K::Times, C(), v(2))); }, std::nullopt, One},
    {"velocity_squared_times_mass", [] { return bin(K::Times, v(3), un(K::Square, bin(K::Divide, v(0), v(2)))); },
     dim(2, 1, -2), dim(2, 1, -2)},
    {"sqrt_of_constant_times_mass", [] { return un(K::Sqrt, bin(K::Times, C(), v(3))); },
     Dimension::fixed({0, kOne / 2}), Any},
    {"sin_of_length_inside_product", [] { return bin(K::Times, v(2), un(K::Sin, v(1))); }, std::nullopt,
     std::nullopt},
    {"pi_beside_length", [] {
       Expression pi;
       pi.tokens.push_back(Token::constant(id_named("Pi"), {3.14159, 0.0}));
       pi.formula = "Pi";
       pi.complexity = 1;
       return bin(K::Plus, v(0), pi);
     },
     std::nullopt, std::nullopt},
};

class FormulaDimension : public ::testing::TestWithParam<FormulaCase> {};

TEST_P(FormulaDimension, UnderBothRulesForConstants) {
  const FormulaCase& c = GetParam();
  const Expression e = c.formula();
  const auto fixed = DimensionRules(mechanics(ConstantUnits::Dimensionless), builtins()).of(e);
  const auto free = DimensionRules(mechanics(ConstantUnits::Free), builtins()).of(e);
  EXPECT_EQ(fixed, c.dimensionless_constants) << e.formula << ": " << describe(fixed);
  EXPECT_EQ(free, c.free_constants) << e.formula << ": " << describe(free);
}

INSTANTIATE_TEST_SUITE_P(Cases, FormulaDimension, ::testing::ValuesIn(kFormulaCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(FormulaDimension, VariablesWithoutAUnitAreUnknown) {
  const DimensionRules rules(mechanics(ConstantUnits::Dimensionless), builtins());
  EXPECT_EQ(rules.of(bin(K::Plus, v(0), v(7))), Unknown);
}

TEST(FitsTarget, TheTargetsDimensionOrAnyAndEverythingWithoutATarget) {
  const DimensionRules force(mechanics(ConstantUnits::Free, exps(1, 1, -2)), builtins());
  EXPECT_TRUE(force.fits_target(dim(1, 1, -2)));
  EXPECT_TRUE(force.fits_target(Any));
  EXPECT_FALSE(force.fits_target(dim(1, 1, -1)));
  EXPECT_FALSE(force.fits_target(One));
  EXPECT_FALSE(force.fits_target(Unknown));
  const DimensionRules open(mechanics(ConstantUnits::Free), builtins());
  for (const Dimension& d : {dim(1, 1, -2), One, Any, Unknown}) EXPECT_TRUE(open.fits_target(d)) << describe(d);
}

bool contains(const std::vector<Expression>& es, const Expression& e) {
  return std::any_of(es.begin(), es.end(), [&](const Expression& x) { return x.formula == e.formula; });
}

// Retained levels chosen by hand: level 1 the leaves, level 3 a ratio of
// lengths and a scaled length.
Levels hand_levels() {
  Levels levels(4);
  levels[1] = {C(), v(0), v(1), v(2), v(3)};
  levels[3] = {bin(K::Divide, v(0), v(1)), bin(K::Times, C(), v(0))};
  return levels;
}

std::vector<Expression> generated(const Levels& levels, std::size_t k, const DimensionRules* units) {
  FingerprintSet seen;
  return generate_level(levels, k, builtins(), seen, 0, units);
}

// Levels 4 and 5 built from hand_levels: what each rule for constants drops.
TEST(GenerationDrops, InconsistentChildrenAndOnlyThose) {
  Levels levels = hand_levels();
  const DimensionRules fixed(mechanics(ConstantUnits::Dimensionless), builtins());
  const DimensionRules free(mechanics(ConstantUnits::Free), builtins());
  const auto level4 = generated(levels, 4, &fixed);
  const auto level4_free = generated(levels, 4, &free);
  const Expression ratio = levels[3][0];
  const Expression scaled = levels[3][1];
  EXPECT_TRUE(contains(level4, un(K::Exp, ratio)));
  EXPECT_FALSE(contains(level4, un(K::Exp, scaled)));
  EXPECT_TRUE(contains(level4_free, un(K::Exp, scaled)));
  EXPECT_TRUE(contains(level4, un(K::Square, scaled)));

  levels.push_back(level4);
  const auto level5 = generated(levels, 5, &fixed);
  const auto level5_free = generated(levels, 5, &free);
  // C * length + time: absorbed only by a free constant.
  EXPECT_FALSE(contains(level5, bin(K::Plus, v(2), scaled)));
  EXPECT_TRUE(contains(level5_free, bin(K::Plus, v(2), scaled)));
  EXPECT_TRUE(contains(level5, bin(K::Plus, v(0), scaled)));
  EXPECT_FALSE(contains(level5, bin(K::Plus, v(2), ratio)));
  EXPECT_TRUE(contains(level5, bin(K::Times, v(2), ratio)));
  for (const auto* list : {&level4, &level5}) {
    for (const Expression& e : *list) EXPECT_TRUE(fixed.of(e).has_value()) << e.formula;
  }
  for (const auto* list : {&level4_free, &level5_free}) {
    for (const Expression& e : *list) EXPECT_TRUE(free.of(e).has_value()) << e.formula;
  }
}

// Without the inconsistent children, every consistent child of the search
// without units is still admitted (nothing it shadowed comes first), and
// every admitted child is consistent; the probe-value path admits the same.
TEST(GenerationDrops, KeepsEveryConsistentChildOnBothPaths) {
  const KernelTable table(builtins().operators());
  for (const ConstantUnits constants : {ConstantUnits::Dimensionless, ConstantUnits::Free}) {
    SCOPED_TRACE(static_cast<int>(constants));
    const DimensionRules rules(mechanics(constants), builtins());
    Levels levels(2);
    levels[1] = {C(), v(0), v(1), v(2), v(3)};
    std::vector<std::vector<ProbeValues>> probes(2);
    probes[1] = level_probe_values(levels[1], table);
    FingerprintSet seen_plain, seen_units, seen_recipes;
    for (const Expression& e : levels[1]) {
      admit_candidate(e, builtins(), seen_plain);
      admit_candidate(e, builtins(), seen_units);
      admit_candidate(e, builtins(), seen_recipes);
    }
    for (std::size_t k = 2; k <= 4; ++k) {
      SCOPED_TRACE(k);
      const auto plain = generate_level(levels, k, builtins(), seen_plain);
      const auto with_units = generate_level(levels, k, builtins(), seen_units, 0, &rules);
      const RecipeList recipes = generate_recipes(levels, probes, k, builtins(), table, seen_recipes,
                                                  kDefaultLeftChunk, {}, 0, &rules);
      std::size_t consistent = 0;
      for (const Expression& e : plain) {
        if (!rules.of(e)) continue;
        ++consistent;
        EXPECT_TRUE(contains(with_units, e)) << e.formula;
      }
      EXPECT_LT(consistent, plain.size());
      for (const Expression& e : with_units) EXPECT_TRUE(rules.of(e).has_value()) << e.formula;
      const CandidateBuilder build(levels, k, builtins());
      ASSERT_EQ(recipes.size(), with_units.size());
      for (std::size_t i = 0; i < recipes.size(); ++i) {
        EXPECT_TRUE(same_expression(build(recipes[i]), with_units[i])) << with_units[i].formula;
      }
      // Every candidate is retained, so that the next level sees them all.
      levels.push_back(with_units);
      probes.push_back(level_probe_values(levels[k], table));
    }
  }
}

// Samples of F = m * a over masses and accelerations.
SearchData force_data() {
  SearchData d;
  for (int i = 0; i < 24; ++i) {
    const double m = 0.5 + 0.13 * i;
    const double a = 1.0 + std::cos(0.7 * i);
    d.rows.push_back({m, a});
    d.targets.push_back(m * a);
  }
  return d;
}

UnitSettings force_units(ConstantUnits constants) {
  UnitSettings u;
  u.inputs = {exps(0, 1), exps(1, 0, -2)};
  u.target = exps(1, 1, -2);
  u.constants = constants;
  return u;
}

SearchControl silent() {
  SearchControl c;
  c.output = ProgressOutput::Silent;
  return c;
}

std::vector<SearchResult> results_of(SearchRun run) {
  EXPECT_TRUE(std::holds_alternative<std::vector<SearchResult>>(run.results))
      << std::get<SearchError>(run.results).text();
  if (!std::holds_alternative<std::vector<SearchResult>>(run.results)) return {};
  return std::move(std::get<std::vector<SearchResult>>(run.results));
}

// An exhaustive search: every equation of the front has the target's
// dimension (or can take it), where the search without units fronts
// dimensionless ones too.
TEST(SearchWithUnits, TheFrontHoldsOnlyTheTargetsDimension) {
  const SearchData d = force_data();
  for (const ConstantUnits constants : {ConstantUnits::Dimensionless, ConstantUnits::Free}) {
    SCOPED_TRACE(static_cast<int>(constants));
    SearchConfig config;
    config.max_complexity = 4;
    config.exhaustive = true;
    config.units = force_units(constants);
    const DimensionRules rules(*config.units, builtins());
    const auto results = results_of(run_search(d.rows, d.targets, config, silent()));
    ASSERT_FALSE(results.empty());
    for (const SearchResult& r : results) {
      const auto dimension = rules.of(r.expression);
      ASSERT_TRUE(dimension.has_value()) << r.expression.formula;
      EXPECT_TRUE(rules.fits_target(*dimension)) << r.expression.formula;
    }
    EXPECT_EQ(results.front().expression.formula, "Times(v_{0}, v_{1})");
  }
  SearchConfig plain;
  plain.max_complexity = 4;
  plain.exhaustive = true;
  const DimensionRules rules(force_units(ConstantUnits::Dimensionless), builtins());
  const auto results = results_of(run_search(d.rows, d.targets, plain, silent()));
  EXPECT_TRUE(std::any_of(results.begin(), results.end(), [&](const SearchResult& r) {
    const auto dimension = rules.of(r.expression);
    return !dimension || !rules.fits_target(*dimension);
  }));
}

// A target of a dimension no formula can have: nothing enters the front.
TEST(SearchWithUnits, NoFormulaOfTheTargetsDimensionIsNoFormulaFound) {
  const SearchData d = force_data();
  SearchConfig config;
  config.max_complexity = 3;
  config.units = force_units(ConstantUnits::Dimensionless);
  config.units->target = exps(0, 0, 0);
  config.units->target->at(3) = kOne;  // a base dimension no input has
  const SearchRun run = run_search(d.rows, d.targets, config, silent());
  ASSERT_TRUE(std::holds_alternative<SearchError>(run.results));
  EXPECT_EQ(std::get<SearchError>(run.results).kind, SearchError::Kind::NoFormulaFound);
}

TEST(SearchWithUnits, UnitsForAnotherNumberOfColumnsAreInvalidInput) {
  const SearchData d = force_data();
  SearchConfig config;
  config.units = force_units(ConstantUnits::Dimensionless);
  config.units->inputs.pop_back();
  const SearchRun run = run_search(d.rows, d.targets, config, silent());
  ASSERT_TRUE(std::holds_alternative<SearchError>(run.results));
  EXPECT_EQ(std::get<SearchError>(run.results).text(),
            "Units are given for 1 input columns, but the inputs have 2.");
}

struct PathRun {
  SearchTrace trace;
  std::vector<SearchResult> results;
};

PathRun run_on(const SearchData& d, SearchConfig config, EvalPath path) {
  config.eval_path = path;
  tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 1);
  PathRun r;
  r.trace.keep_expressions = true;
  r.results = results_of(run_search(d.rows, d.targets, config, silent(), &r.trace));
  return r;
}

void expect_same_runs(const PathRun& a, const PathRun& b) {
  ASSERT_EQ(a.trace.retained.size(), b.trace.retained.size());
  for (std::size_t k = 1; k < a.trace.retained.size(); ++k) {
    ASSERT_EQ(a.trace.retained[k].size(), b.trace.retained[k].size()) << "level " << k;
    for (std::size_t i = 0; i < a.trace.retained[k].size(); ++i) {
      ASSERT_TRUE(same_expression(a.trace.retained[k][i], b.trace.retained[k][i]))
          << "level " << k << " #" << i << ": " << a.trace.retained[k][i].formula;
    }
  }
  ASSERT_EQ(a.results.size(), b.results.size());
  for (std::size_t i = 0; i < a.results.size(); ++i) {
    EXPECT_TRUE(same_expression(a.results[i].expression, b.results[i].expression))
        << a.results[i].expression.formula << " vs " << b.results[i].expression.formula;
    EXPECT_TRUE(same_bits(a.results[i].error, b.results[i].error));
  }
}

// Samples of a law over three columns: a length, a time, a length.
SearchData mixed_data() {
  SearchData d;
  for (int i = 0; i < 20; ++i) {
    const double a = 0.4 + 0.09 * i, t = 1.0 + 0.5 * std::sin(1.3 * i), b = 0.7 + 0.2 * std::cos(0.9 * i);
    d.rows.push_back({a, t, b});
    d.targets.push_back(a / t + 0.5 * b / t);
  }
  return d;
}

// With units, the reference path (every child built, the level scored at
// once) and the Fast path (probe values, chunks, the pruned store) keep the
// same levels and find the same equations.
TEST(SearchWithUnits, FastPathEqualsPerSample) {
  const SearchData d = mixed_data();
  for (const ConstantUnits constants : {ConstantUnits::Dimensionless, ConstantUnits::Free}) {
    SCOPED_TRACE(static_cast<int>(constants));
    SearchConfig config;
    config.max_complexity = 5;
    config.beam_width = 40;
    config.exhaustive = true;
    config.ranking = Ranking::Affine;
    config.units = UnitSettings{{exps(1), exps(0, 0, 1), exps(1)}, exps(1, 0, -1), constants};
    const PathRun reference = run_on(d, config, EvalPath::PerSample);
    for (const std::size_t chunk : {std::size_t{16384}, std::size_t{3}}) {
      config.candidate_chunk = chunk;
      expect_same_runs(reference, run_on(d, config, EvalPath::Fast));
    }
  }
}

// Units under which every formula is consistent and of the target's
// dimension (all dimensionless): the search finds exactly what it finds
// without units, level by level.
TEST(SearchWithUnits, AllDimensionlessChangesNothing) {
  const SearchData d = mixed_data();
  for (const EvalPath path : {EvalPath::Fast, EvalPath::PerSample}) {
    SearchConfig config;
    config.max_complexity = 5;
    config.beam_width = 30;
    config.exhaustive = true;
    const PathRun plain = run_on(d, config, path);
    config.units = UnitSettings{{Exponents{}, Exponents{}, Exponents{}}, Exponents{}, ConstantUnits::Dimensionless};
    expect_same_runs(plain, run_on(d, config, path));
  }
}

}  // namespace
}  // namespace vok
