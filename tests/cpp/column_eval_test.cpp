// Tests of column-wise evaluation against the per-sample stack machine.
#include "eval/column_eval.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "engine_helpers.hpp"
#include "eval/eval.hpp"
#include "ops/registry.hpp"
#include "random_expressions.hpp"

namespace vok {
namespace {

using K = BuiltinKind;
constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");
using testing_support::id_named;
using testing_support::id_of;
constexpr std::uint64_t kPlus = id_of(K::Plus), kTimes = id_of(K::Times), kSubtract = id_of(K::Subtract),
                        kDivide = id_of(K::Divide), kLog = id_of(K::Log), kSqrt = id_of(K::Sqrt);

// Values where the arithmetic has its corner cases: signed zeros, infinities,
// NaN, subnormals, the guard bound 1e15 and its neighbours, poles of Tan and
// ArcTan, exact zeros for the domain failures.
const std::vector<double> kSpecials = {
    0.0, -0.0, kInf, -kInf, kNaN, 4.9e-324, -2.2e-310, 1e15, -1e15,
    std::nextafter(1e15, 0.0), -std::nextafter(1e15, 0.0), 1e300, -1e-300, 1.0, -1.0, 0.5,
    1.5707963267948966, 40.0, -745.5, 710.0,
};

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// Lane `i` of a column result against the per-sample reference.
::testing::AssertionResult lane_matches(const std::optional<Complex>& want, double re, double im,
                                        std::uint8_t ok) {
  if (!want) {
    if (ok == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "column path has a value (" << re << ", " << im
                                         << ") where the reference has none";
  }
  if (ok == 0) {
    return ::testing::AssertionFailure() << "column path has no value, reference (" << want->re << ", "
                                         << want->im << ")";
  }
  if (same_bits(want->re, re) && same_bits(want->im, im)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "bits differ: reference (" << want->re << ", " << want->im
                                       << ") column (" << re << ", " << im << ")";
}

// ------------------------------------------------------------------ kernels

class KernelTest : public testing::TestWithParam<K> {};

// Every pair of special values as (re, im), and as operands of binary kinds.
std::vector<Complex> special_points() {
  std::vector<Complex> pts;
  for (double x : kSpecials) {
    for (double y : kSpecials) pts.push_back({x, y});
  }
  return pts;
}

std::optional<Complex> guarded(std::optional<Complex> r) {
  if (!r || !within_guard(*r)) return std::nullopt;
  return r;
}

TEST_P(KernelTest, LanesEqualScalarArithmeticWithGuard) {
  const K kind = GetParam();
  const std::vector<Complex> pts = special_points();
  const bool unary = kBuiltinFacts[static_cast<std::size_t>(kind)].arity == 1;
  // Binary kinds: every point against every point, as one long column.
  std::vector<double> a_re, a_im, b_re, b_im;
  for (std::size_t i = 0; i < pts.size(); ++i) {
    for (std::size_t j = 0; j < (unary ? 1 : pts.size()); ++j) {
      a_re.push_back(pts[i].re);
      a_im.push_back(pts[i].im);
      b_re.push_back(pts[j].re);
      b_im.push_back(pts[j].im);
    }
  }
  const std::size_t n = a_re.size();
  std::vector<double> out_re(n), out_im(n);
  std::vector<std::uint8_t> ok(n, 1);
  ok[0] = 0;  // a cleared lane stays cleared
  const bool handled = unary ? unary_column(kind, n, a_re.data(), a_im.data(), out_re.data(), out_im.data(), ok.data())
                             : binary_column(kind, n, a_re.data(), a_im.data(), b_re.data(), b_im.data(),
                                             out_re.data(), out_im.data(), ok.data());
  EXPECT_TRUE(handled);
  std::size_t with_value = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Complex a{a_re[i], a_im[i]}, b{b_re[i], b_im[i]};
    const std::optional<Complex> want =
        i == 0 ? std::nullopt : guarded(unary ? math::unary(kind, a) : math::binary(kind, a, b));
    with_value += want.has_value();
    ASSERT_TRUE(lane_matches(want, out_re[i], out_im[i], ok[i]))
        << "lane " << i << " a=(" << a.re << ", " << a.im << ") b=(" << b.re << ", " << b.im << ")";
  }
  // The table must exercise both outcomes for every kind.
  EXPECT_GT(with_value, 0u);
  EXPECT_LT(with_value, n);
}

TEST_P(KernelTest, InPlaceAndWrongArity) {
  const K kind = GetParam();
  const bool unary = kBuiltinFacts[static_cast<std::size_t>(kind)].arity == 1;
  std::vector<double> re = {0.3, -1.25, 2.0, 0.0}, im = {0.0, 0.5, -0.75, 0.0};
  const std::vector<double> re0 = re, im0 = im;
  std::vector<std::uint8_t> ok(4, 1);
  if (unary) {
    ASSERT_TRUE(unary_column(kind, 4, re.data(), im.data(), re.data(), im.data(), ok.data()));
  } else {
    ASSERT_TRUE(binary_column(kind, 4, re.data(), im.data(), re.data(), im.data(), re.data(), im.data(), ok.data()));
  }
  for (std::size_t i = 0; i < 4; ++i) {
    const Complex z{re0[i], im0[i]};
    EXPECT_TRUE(lane_matches(guarded(unary ? math::unary(kind, z) : math::binary(kind, z, z)), re[i], im[i], ok[i]))
        << i;
  }
  // A kind handed to the kernel of the other arity has no value anywhere, as
  // math::unary / math::binary give none.
  std::vector<std::uint8_t> ok2(4, 1);
  std::vector<double> o_re(4), o_im(4);
  const bool handled = unary ? binary_column(kind, 4, re0.data(), im0.data(), re0.data(), im0.data(), o_re.data(),
                                             o_im.data(), ok2.data())
                             : unary_column(kind, 4, re0.data(), im0.data(), o_re.data(), o_im.data(), ok2.data());
  EXPECT_FALSE(handled);
  for (std::uint8_t v : ok2) EXPECT_EQ(v, 0);
}

std::vector<K> all_kinds() {
  std::vector<K> kinds;
  for (std::size_t i = 0; i < kBuiltinCount; ++i) kinds.push_back(static_cast<K>(i));
  return kinds;
}

INSTANTIATE_TEST_SUITE_P(AllBuiltins, KernelTest, testing::ValuesIn(all_kinds()),
                         [](const testing::TestParamInfo<K>& p) {
                           return std::string(kBuiltinFacts[static_cast<std::size_t>(p.param)].type_name);
                         });

// The shared lane arithmetic skips library calls for real operands; the
// skipped calls must give exactly what the shortcut returns, for every
// special value and sign of zero.
TEST(LaneArithmetic, RealOperandShortcutsEqualTheLibraryCalls) {
  // Through a volatile so that the compiler cannot fold or pair the calls.
  const auto launder = [](double v) {
    volatile double x = v;
    return static_cast<double>(x);
  };
  std::vector<double> xs = kSpecials;
  for (int i = -40; i <= 40; ++i) xs.push_back(0.173 * i);
  for (double x : xs) {
    for (double y : {0.0, -0.0}) {
      SCOPED_TRACE(testing::Message() << "x=" << x << " y=" << y);
      const Complex z{x, y};
      EXPECT_TRUE(same_bits(math::modulus(z), std::hypot(launder(x), launder(y))));
      if (!std::isnan(x)) {
        EXPECT_TRUE(same_bits(math::argument(z), std::atan2(launder(y), launder(x))));
      }
      const double sx = std::sin(launder(x)), cx = std::cos(launder(x));
      const double ch = std::cosh(launder(y)), sh = std::sinh(launder(y));
      const Complex s = math::sin(z), c = math::cos(z);
      if (std::isfinite(x)) {
        EXPECT_TRUE(same_bits(s.re, sx * ch) && same_bits(s.im, cx * sh));
        EXPECT_TRUE(same_bits(c.re, cx * ch) && same_bits(c.im, -(sx * sh)));
        const double e = std::exp(launder(x));
        const Complex ez = math::exp(z);
        EXPECT_TRUE(same_bits(ez.re, e * std::cos(launder(y))) && same_bits(ez.im, e * std::sin(launder(y))));
      }
    }
  }
}

// ------------------------------------------------------------- test operators

// A registered operator that is not a built-in: half of z, failing for a
// negative real part; counts its calls so that the tests can see that failed
// lanes are skipped as the per-sample path skips them.
class HalfOp final : public Operator {
 public:
  std::string debug() const override { return "Half"; }
  std::string_view name() const override { return "Half"; }
  std::uint8_t arity() const override { return 1; }
  std::optional<Complex> eval(std::span<const Complex> args) const override {
    calls.fetch_add(1, std::memory_order_relaxed);
    if (args.empty() || args[0].re < 0.0) return std::nullopt;
    return Complex{args[0].re * 0.5, args[0].im * 0.5};
  }
  std::string to_latex(std::span<const std::string>) const override { return "h"; }
  std::string to_python(std::span<const std::string>) const override { return "h"; }
  mutable std::atomic<std::uint64_t> calls{0};
};

// Binary, not a built-in: a*a + b, huge results left to the guard.
class MulAddOp final : public Operator {
 public:
  std::string debug() const override { return "MulAdd"; }
  std::string_view name() const override { return "MulAdd"; }
  std::uint8_t arity() const override { return 2; }
  std::optional<Complex> eval(std::span<const Complex> args) const override {
    if (args.size() != 2) return std::nullopt;
    return Complex{args[0].re * args[0].re + args[1].re, args[1].im};
  }
  std::string to_latex(std::span<const std::string>) const override { return "m"; }
  std::string to_python(std::span<const std::string>) const override { return "m"; }
};

struct Fixture {
  std::shared_ptr<HalfOp> half = std::make_shared<HalfOp>();
  std::uint64_t half_id = 0;    // set at registration below
  std::uint64_t muladd_id = 0;  // set at registration below
  OperatorRegistry reg = [this] {
    OperatorRegistry r = OperatorRegistry::with_builtins();
    half_id = r.size();
    r.register_operator(half);
    muladd_id = r.size();
    r.register_operator(std::make_shared<MulAddOp>());
    return r;
  }();
  KernelTable table{reg.operators()};
};

TEST(KernelTableTest, BuiltinsMapToTheirKindsOthersToNone) {
  Fixture f;
  ASSERT_EQ(f.table.size(), f.reg.size());
  for (std::uint64_t id = 0; id < kFirstBuiltinId; ++id) EXPECT_FALSE(f.table.builtin(id)) << id;
  for (std::size_t k = 0; k < kBuiltinCount; ++k) {
    const auto got = f.table.builtin(id_of(static_cast<K>(k)));
    ASSERT_TRUE(got) << k;
    EXPECT_EQ(static_cast<std::size_t>(*got), k);
  }
  EXPECT_FALSE(f.table.builtin(f.half_id));
  EXPECT_FALSE(f.table.builtin(f.muladd_id));
  EXPECT_FALSE(f.table.builtin(f.reg.size()));
  EXPECT_FALSE(f.table.builtin(~std::uint64_t{0}));
}

// ------------------------------------------------------- random expressions

enum class SampleKind { Real, Complex, Special };

struct RandomCase {
  const char* name;
  std::uint64_t seed;
  SampleKind samples;
  std::size_t lanes;
};

// Trees over the fixture's registry: all 18 built-ins, with Half and MulAdd
// (not built-ins) favoured one time in 16.
class Generator : public testing_support::RandomExpressions {
 public:
  Generator(std::uint64_t seed, const Fixture& f) : RandomExpressions(seed, f.reg) {
    favour(f.half_id, f.muladd_id, 16);
  }

  double special() { return kSpecials[below(kSpecials.size())]; }

  Expression leaf() {
    switch (below(5)) {
      case 0:
      case 1:
        return var_leaf(static_cast<std::uint8_t>(below(kVars)));
      case 2: {
        Expression e = param_leaf();
        e.tokens[0].value = {uniform(-2.0, 2.0), below(4) == 0 ? uniform(-1.0, 1.0) : 0.0};
        return e;
      }
      case 3:
        return literal(below(3) == 0 ? special() : uniform(-3.0, 3.0));
      default:
        return named_constant();
    }
  }

  // A random expression of `size` tokens.
  Expression tree(std::size_t size) {
    return RandomExpressions::tree(size, [this] { return leaf(); });
  }

  Complex sample(SampleKind kind) {
    switch (kind) {
      case SampleKind::Real: return {uniform(-2.0, 2.0), 0.0};
      case SampleKind::Complex: return {uniform(-2.0, 2.0), uniform(-2.0, 2.0)};
      default:
        // Mostly special parts, some ordinary values so deep trees survive.
        return {below(2) ? special() : uniform(-2.0, 2.0), below(2) ? special() : 0.0};
    }
  }

  static constexpr std::size_t kVars = 3;
};

struct Reference {
  std::vector<std::optional<Complex>> lanes;
  std::size_t with_value = 0;
};

Reference per_sample(const Expression& e, std::span<const Complex> rows, std::size_t num_vars,
                     std::span<const Complex> params, OperatorList ops) {
  Reference r;
  std::vector<Complex> stack;
  const std::size_t lanes = num_vars == 0 ? 0 : rows.size() / num_vars;
  for (std::size_t s = 0; s < lanes; ++s) {
    r.lanes.push_back(eval_internal(e.tokens, rows.subspan(s * num_vars, num_vars), params, ops, stack));
    r.with_value += r.lanes.back().has_value();
  }
  return r;
}

::testing::AssertionResult matches(const Reference& want, const ColumnResult& got) {
  if (got.re.size() != want.lanes.size()) return ::testing::AssertionFailure() << "lane count";
  for (std::size_t i = 0; i < want.lanes.size(); ++i) {
    auto r = lane_matches(want.lanes[i], got.re[i], got.im[i], got.ok[i]);
    if (!r) return r << " at lane " << i;
  }
  if (got.ok_count != want.with_value) return ::testing::AssertionFailure() << "ok_count " << got.ok_count;
  return ::testing::AssertionSuccess();
}

class RandomExpressionTest : public testing::TestWithParam<RandomCase> {};

TEST_P(RandomExpressionTest, EveryLaneEqualsPerSampleEvaluation) {
  const RandomCase& c = GetParam();
  Fixture f;
  Generator g(c.seed, f);
  std::vector<Complex> rows;
  for (std::size_t i = 0; i < c.lanes * Generator::kVars; ++i) rows.push_back(g.sample(c.samples));
  const InputColumns cols = InputColumns::from_rows(rows, Generator::kVars);
  ASSERT_EQ(cols.lanes(), c.lanes);
  ColumnWorkspace ws;  // shared by all expressions: stale scratch must not leak
  std::size_t lanes_with_value = 0, lanes_without = 0;
  for (int k = 0; k < 300; ++k) {
    const Expression e = g.tree(1 + g.below(14));
    // Stored values, a full trial vector, and a partial one.
    std::vector<Complex> full, partial;
    for (std::size_t p = 0; p < e.num_params; ++p) full.push_back({g.uniform(-2.0, 2.0), 0.0});
    partial.assign(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(full.size() / 2));
    for (const std::vector<Complex>* params : {&full, &partial}) {
      const Reference want = per_sample(e, rows, Generator::kVars, *params, f.reg.operators());
      const ColumnResult got = eval_columns(e.tokens, cols.views(), c.lanes, *params, f.table, ws);
      ASSERT_TRUE(matches(want, got)) << e.formula;
      lanes_with_value += want.with_value;
      lanes_without += c.lanes - want.with_value;
    }
    const Reference stored = per_sample(e, rows, Generator::kVars, {}, f.reg.operators());
    ASSERT_TRUE(matches(stored, eval_columns(e.tokens, cols.views(), c.lanes, {}, f.table, ws))) << e.formula;
  }
  // Both outcomes must occur, or the comparison proves little.
  EXPECT_GT(lanes_with_value, 0u);
  EXPECT_GT(lanes_without, 0u);
}

// The first token of the subtree that ends at token `last`.
std::size_t subtree_start(std::span<const Token> tokens, std::size_t last) {
  std::size_t need = 1;
  for (std::size_t j = last + 1; j-- > 0;) {
    need = need - 1 + (tokens[j].kind == TokenKind::Apply ? tokens[j].arity() : 0);
    if (need == 0) return j;
  }
  return 0;
}

// Whether some subtree of `e` (a leaf, an inner result or the whole) has a
// value with a non-zero or NaN imaginary part on one row, by the stack machine.
bool some_value_nonreal(const Expression& e, std::span<const Complex> row, OperatorList ops) {
  std::vector<Complex> stack;
  const std::span<const Token> tokens(e.tokens);
  for (std::size_t last = 0; last < tokens.size(); ++last) {
    const std::size_t first = subtree_start(tokens, last);
    const auto v = eval_internal(tokens.subspan(first, last + 1 - first), row, {}, ops, stack);
    if (v && v->im != 0.0) return true;
  }
  return false;
}

TEST_P(RandomExpressionTest, NonrealFlagIsWhetherSomeSubtreeValueIsNotReal) {
  const RandomCase& c = GetParam();
  Fixture f;
  Generator g(c.seed + 100, f);
  std::vector<Complex> rows;
  for (std::size_t i = 0; i < c.lanes * Generator::kVars; ++i) rows.push_back(g.sample(c.samples));
  const InputColumns cols = InputColumns::from_rows(rows, Generator::kVars);
  ColumnWorkspace ws;
  std::vector<double> re(c.lanes), im(c.lanes);
  std::vector<std::uint8_t> ok(c.lanes), nonreal(c.lanes);
  std::size_t flagged = 0, unflagged = 0;
  for (int k = 0; k < 200; ++k) {
    const Expression e = g.tree(1 + g.below(12));
    const std::size_t with_value = eval_columns_tracking_nonreal(e.tokens, cols.views(), c.lanes, {}, f.table, ws,
                                                                 {re.data(), im.data(), ok.data()}, nonreal.data());
    // The values are those of the plain evaluation.
    ASSERT_TRUE(matches(per_sample(e, rows, Generator::kVars, {}, f.reg.operators()),
                        {re, im, ok, with_value}))
        << e.formula;
    for (std::size_t i = 0; i < c.lanes; ++i) {
      if (!ok[i]) continue;
      const auto row = std::span<const Complex>(rows).subspan(i * Generator::kVars, Generator::kVars);
      const bool want = some_value_nonreal(e, row, f.reg.operators());
      ASSERT_EQ(nonreal[i] != 0, want) << e.formula << " lane " << i;
      (want ? flagged : unflagged) += 1;
    }
  }
  EXPECT_GT(flagged, 0u);
  EXPECT_GT(unflagged, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Seeds, RandomExpressionTest,
    testing::Values(RandomCase{"RealBlocks", 1, SampleKind::Real, 1000},
                    RandomCase{"ComplexPartialBlock", 2, SampleKind::Complex, 300},
                    RandomCase{"SpecialValues", 3, SampleKind::Special, 700},
                    RandomCase{"SpecialValuesOneLane", 4, SampleKind::Special, 1},
                    RandomCase{"ProbeWidth", 5, SampleKind::Complex, 5}),
    [](const testing::TestParamInfo<RandomCase>& p) { return std::string(p.param.name); });

TEST(ColumnEval, OperatorsFromElsewhereAreCalledOnlyOnLanesWithAValue) {
  Fixture f;
  // Half(Log(v0)): Log fails on exact zero, so Half must not be called there;
  // Half itself fails where ln|v0| < 0.
  const Expression e = compose_unary(f.half_id, "Half", compose_unary(kLog, "Log", var_leaf(0)));
  const std::vector<Complex> rows = {{0.0, 0.0}, {2.0, 0.0}, {0.5, 0.0}, {0.0, 0.0}, {kNaN, 0.0}, {5.0, 1.0}};
  const InputColumns cols = InputColumns::from_rows(rows, 1);
  ColumnWorkspace ws;
  f.half->calls = 0;
  const Reference want = per_sample(e, rows, 1, {}, f.reg.operators());
  const std::uint64_t reference_calls = f.half->calls.exchange(0);
  const ColumnResult got = eval_columns(e.tokens, cols.views(), cols.lanes(), {}, f.table, ws);
  EXPECT_TRUE(matches(want, got));
  EXPECT_EQ(f.half->calls.load(), reference_calls);
  EXPECT_EQ(reference_calls, 3u);  // not on the exact zeros, nor on NaN (Log's result fails the guard)
  EXPECT_EQ(got.ok_count, 2u);     // 2 and 5+i
}

// ------------------------------------------------------ static failures

struct MalformedCase {
  const char* name;
  std::vector<Token> tokens;
  std::size_t inputs;
};

class MalformedTest : public testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedTest, NoLaneHasAValue) {
  const MalformedCase& c = GetParam();
  Fixture f;
  std::vector<Complex> rows;
  for (std::size_t i = 0; i < 4 * std::max<std::size_t>(c.inputs, 1); ++i) {
    rows.push_back({0.25 * static_cast<double>(i + 1), 0.0});
  }
  const std::size_t lanes = 4;
  const InputColumns cols = InputColumns::from_rows(rows, std::max<std::size_t>(c.inputs, 1));
  const std::span<const ColumnView> inputs = cols.views().first(c.inputs);
  std::vector<Complex> stack;
  for (std::size_t s = 0; s < lanes; ++s) {
    std::vector<Complex> point;
    for (std::size_t j = 0; j < c.inputs; ++j) point.push_back({cols.views()[j].re[s], 0.0});
    ASSERT_FALSE(eval_internal(c.tokens, point, {}, f.reg.operators(), stack)) << "reference has a value";
  }
  ColumnWorkspace ws;
  std::vector<double> re(lanes, 7.0), im(lanes, 7.0);
  std::vector<std::uint8_t> ok(lanes, 1);
  EXPECT_EQ(eval_columns(c.tokens, inputs, lanes, {}, f.table, ws, {re.data(), im.data(), ok.data()}), 0u);
  for (std::uint8_t v : ok) EXPECT_EQ(v, 0);
}

Token bad_kind() {
  Token t = Token::variable(0);
  t.kind = static_cast<TokenKind>(9);
  return t;
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, MalformedTest,
    testing::Values(
        MalformedCase{"Empty", {}, 1},
        MalformedCase{"VariableBeyondInputs", {Token::variable(2)}, 2},
        MalformedCase{"VariableWithNoInputs", {Token::variable(0)}, 0},
        MalformedCase{"VariableBeyondInputsUnderOperator",
                      {Token::variable(0), Token::variable(1), Token::apply(2, kPlus)}, 1},
        MalformedCase{"TwoValuesLeft", {Token::variable(0), Token::literal(1.0)}, 1},
        MalformedCase{"TooFewOperands", {Token::variable(0), Token::apply(2, kTimes)}, 1},
        MalformedCase{"ApplyOnEmptyStack", {Token::apply(1, kSqrt)}, 1},
        MalformedCase{"ApplyIdOutOfRange", {Token::variable(0), Token::apply(1, Fixture().reg.size())}, 1},
        MalformedCase{"ApplyIdHuge", {Token::variable(0), Token::apply(1, ~std::uint64_t{0})}, 1},
        MalformedCase{"ConstantIdOutOfRange", {Token::constant(99, {1.0, 0.0})}, 1},
        MalformedCase{"BuiltinGivenWrongArity", {Token::variable(0), Token::variable(0), Token::apply(1, kPlus)}, 1},
        MalformedCase{"BinaryBuiltinGivenNoOperands", {Token::apply(0, kDivide)}, 1},
        MalformedCase{"UnknownTokenKind", {Token::variable(0), bad_kind()}, 1},
        // Fails structurally after a lane-dependent failure: still every lane.
        MalformedCase{"LogOfZeroThenTooFew", {Token::literal(0.0), Token::apply(1, kLog), Token::apply(2, kPlus)}, 1}),
    [](const testing::TestParamInfo<MalformedCase>& p) { return std::string(p.param.name); });

TEST(ColumnEval, ConstOpAppliedAndLeavesUnguarded) {
  Fixture f;
  const std::vector<Complex> rows = {{1e300, 0.0}, {kNaN, -kInf}, {-0.0, 0.0}};
  const InputColumns cols = InputColumns::from_rows(rows, 1);
  ColumnWorkspace ws;
  const std::vector<std::vector<Token>> programs = {
      {Token::variable(0)},                                  // unguarded input
      {Token::literal(kInf)},                                // unguarded literal
      {Token::apply(0, id_named("Pi"))},                     // ConstOp "Pi" applied to nothing
      {Token::variable(0), Token::apply(1, id_named("I"))},  // ConstOp "I" ignores its operand
      {Token::constant(id_named("E"), {kNaN, 0.0})},         // cached value, not the operator's
      {Token::variable(0), Token::apply(1, id_of(K::Neg))},  // guard on the result
  };
  for (const auto& tokens : programs) {
    Expression e;
    e.tokens = tokens;
    e.complexity = tokens.size();
    const Reference want = per_sample(e, rows, 1, {}, f.reg.operators());
    EXPECT_TRUE(matches(want, eval_columns(tokens, cols.views(), cols.lanes(), {}, f.table, ws)));
  }
}

TEST(ColumnEval, WorkspaceReuseAcrossShapesAndWidths) {
  Fixture f;
  Generator g(11, f);
  const Expression deep = g.tree(14);
  const Expression small = compose_binary(kSubtract, "Subtract", var_leaf(1), param_leaf());
  ColumnWorkspace ws;
  for (std::size_t lanes : {1000u, 5u, 257u, 1u, 1000u}) {
    std::vector<Complex> rows;
    for (std::size_t i = 0; i < lanes * Generator::kVars; ++i) rows.push_back(g.sample(SampleKind::Complex));
    const InputColumns cols = InputColumns::from_rows(rows, Generator::kVars);
    for (const Expression* e : {&deep, &small, &deep}) {
      const Reference want = per_sample(*e, rows, Generator::kVars, {}, f.reg.operators());
      EXPECT_TRUE(matches(want, eval_columns(e->tokens, cols.views(), lanes, {}, f.table, ws))) << lanes;
    }
  }
}

// ------------------------------------------------------------ composition

TEST(ComposeValues, ChildFromOperandColumnsEqualsFullEvaluation) {
  Fixture f;
  Generator g(21, f);
  std::vector<Complex> rows;
  const std::size_t lanes = 400;
  for (std::size_t i = 0; i < lanes * Generator::kVars; ++i) rows.push_back(g.sample(SampleKind::Special));
  const InputColumns cols = InputColumns::from_rows(rows, Generator::kVars);
  ColumnWorkspace ws;
  const std::vector<std::uint64_t> unary_ids = f.reg.ids_by_arity(1);
  const std::vector<std::uint64_t> binary_ids = f.reg.ids_by_arity(2);
  std::vector<double> l_re(lanes), l_im(lanes), r_re(lanes), r_im(lanes), c_re(lanes), c_im(lanes);
  std::vector<std::uint8_t> l_ok(lanes), r_ok(lanes), c_ok(lanes);
  std::size_t with_value = 0;
  for (int k = 0; k < 200; ++k) {
    const Expression left = g.tree(1 + g.below(6));
    const Expression right = g.tree(1 + g.below(6));
    // Trial parameters: the left operand takes the first slots, the right
    // operand the slots the composition moves its parameters to.
    std::vector<Complex> params;
    for (std::size_t p = 0; p < left.num_params + right.num_params; ++p) params.push_back({g.uniform(-2, 2), 0.0});
    const std::span<const Complex> lp(params.data(), left.num_params);
    const std::span<const Complex> rp(params.data() + left.num_params, right.num_params);
    eval_columns(left.tokens, cols.views(), lanes, lp, f.table, ws, {l_re.data(), l_im.data(), l_ok.data()});
    eval_columns(right.tokens, cols.views(), lanes, rp, f.table, ws, {r_re.data(), r_im.data(), r_ok.data()});
    const ColumnValues lv{l_re.data(), l_im.data(), l_ok.data()};
    const ColumnValues rv{r_re.data(), r_im.data(), r_ok.data()};

    const std::uint64_t bid = binary_ids[g.below(binary_ids.size())];
    const Expression child = compose_binary(bid, "b", left, right);
    const std::size_t n = compose_binary_values(bid, f.table, lanes, lv, rv, {c_re.data(), c_im.data(), c_ok.data()});
    const Reference want = per_sample(child, rows, Generator::kVars, params, f.reg.operators());
    EXPECT_EQ(n, want.with_value);
    for (std::size_t i = 0; i < lanes; ++i) {
      ASSERT_TRUE(lane_matches(want.lanes[i], c_re[i], c_im[i], c_ok[i])) << child.formula << " lane " << i;
    }
    with_value += n;

    // Unary, written in place over the left operand's columns.
    const std::uint64_t uid = unary_ids[g.below(unary_ids.size())];
    const Expression uchild = compose_unary(uid, "u", left);
    compose_unary_values(uid, f.table, lanes, lv, {l_re.data(), l_im.data(), l_ok.data()});
    const Reference uwant = per_sample(uchild, rows, Generator::kVars, lp, f.reg.operators());
    for (std::size_t i = 0; i < lanes; ++i) {
      ASSERT_TRUE(lane_matches(uwant.lanes[i], l_re[i], l_im[i], l_ok[i])) << uchild.formula << " lane " << i;
    }
  }
  EXPECT_GT(with_value, 0u);
}

TEST(ComposeValues, InvalidOperatorGivesNoValue) {
  Fixture f;
  const std::vector<double> re = {1.0, 2.0}, im = {0.0, 0.0};
  const std::vector<std::uint8_t> ok = {1, 1};
  const ColumnValues v{re.data(), im.data(), ok.data()};
  std::vector<double> o_re(2), o_im(2);
  std::vector<std::uint8_t> o_ok(2, 1);
  const ColumnOut out{o_re.data(), o_im.data(), o_ok.data()};
  const struct {
    const char* what;
    std::function<std::size_t()> run;
  } rows[] = {
      {"unary id out of range", [&] { return compose_unary_values(25, f.table, 2, v, out); }},
      {"binary id out of range", [&] { return compose_binary_values(99, f.table, 2, v, v, out); }},
      {"binary built-in as unary", [&] { return compose_unary_values(kPlus, f.table, 2, v, out); }},
      {"unary built-in as binary", [&] { return compose_binary_values(kSqrt, f.table, 2, v, v, out); }},
  };
  for (const auto& r : rows) {
    o_ok.assign(2, 1);
    EXPECT_EQ(r.run(), 0u) << r.what;
    EXPECT_EQ(o_ok[0] | o_ok[1], 0) << r.what;
  }
  // And a valid one on the same data does give values (the rows above are
  // not failing for some other reason).
  EXPECT_EQ(compose_binary_values(kPlus, f.table, 2, v, v, out), 2u);
  EXPECT_EQ(o_re[1], 4.0);
}

// ------------------------------------------------------------ fingerprints

TEST(ColumnFingerprint, EqualsFingerprintForRandomExpressions) {
  Fixture f;
  Generator g(31, f);
  ColumnWorkspace ws;
  std::size_t with_fp = 0, without = 0;
  for (int k = 0; k < 500; ++k) {
    const Expression e = g.tree(1 + g.below(12));
    const std::optional<Fingerprint> want = fingerprint(e, f.reg.operators());
    const std::optional<Fingerprint> got = fingerprint_columns(e, f.table, ws);
    ASSERT_EQ(want.has_value(), got.has_value()) << e.formula;
    if (want) {
      EXPECT_EQ(*want, *got) << e.formula;
    }
    (want ? with_fp : without) += 1;
  }
  EXPECT_GT(with_fp, 0u);
  EXPECT_GT(without, 0u);
}

TEST(ColumnFingerprint, ComposedFromOperandProbeValues) {
  Fixture f;
  Generator g(41, f);
  ColumnWorkspace ws;
  const ProbeColumns& probes = probe_columns();
  constexpr std::size_t n = ProbeColumns::kLanes;
  const std::vector<std::uint64_t> binary_ids = f.reg.ids_by_arity(2);
  const std::vector<std::uint64_t> unary_ids = f.reg.ids_by_arity(1);
  std::size_t with_fp = 0;
  for (int k = 0; k < 300; ++k) {
    const Expression left = g.tree(1 + g.below(6));
    const Expression right = g.tree(1 + g.below(6));
    std::array<double, n> l_re, l_im, r_re, r_im, c_re, c_im;
    std::array<std::uint8_t, n> l_ok, r_ok, c_ok;
    eval_columns(left.tokens, probes.views(left.num_vars), n, {}, f.table, ws, {l_re.data(), l_im.data(), l_ok.data()});
    eval_columns(right.tokens, probes.views(right.num_vars), n, {}, f.table, ws, {r_re.data(), r_im.data(), r_ok.data()});
    const ColumnValues lv{l_re.data(), l_im.data(), l_ok.data()};
    const std::uint64_t bid = binary_ids[g.below(binary_ids.size())];
    compose_binary_values(bid, f.table, n, lv, {r_re.data(), r_im.data(), r_ok.data()}, {c_re.data(), c_im.data(), c_ok.data()});
    const Expression child = compose_binary(bid, "b", left, right);
    const auto want = fingerprint(child, f.reg.operators());
    const auto got = fingerprint_from_probe_columns({c_re.data(), c_im.data(), c_ok.data()});
    ASSERT_EQ(want.has_value(), got.has_value()) << child.formula;
    if (want) {
      EXPECT_EQ(*want, *got) << child.formula;
    }
    with_fp += want.has_value();

    const std::uint64_t uid = unary_ids[g.below(unary_ids.size())];
    compose_unary_values(uid, f.table, n, lv, {c_re.data(), c_im.data(), c_ok.data()});
    const auto uwant = fingerprint(compose_unary(uid, "u", left), f.reg.operators());
    const auto ugot = fingerprint_from_probe_columns({c_re.data(), c_im.data(), c_ok.data()});
    ASSERT_EQ(uwant.has_value(), ugot.has_value());
    if (uwant) {
      EXPECT_EQ(*uwant, *ugot);
    }
  }
  EXPECT_GT(with_fp, 0u);
}

TEST(ColumnFingerprint, ProbeColumnsAreTheFingerprintPoints) {
  Fixture f;
  ColumnWorkspace ws;
  // The last variable index too: its imaginary probe part is 255 * 0.1.
  for (std::uint8_t j : {0, 1, 4, 5, 17, 254}) {
    const Expression v = var_leaf(j);
    const auto want = fingerprint(v, f.reg.operators());
    ASSERT_TRUE(want);
    EXPECT_EQ(fingerprint_columns(v, f.table, ws), want) << int{j};
  }
  EXPECT_EQ(probe_columns().num_vars(), kMaxVariables);
  EXPECT_EQ(ProbeColumns(3).num_vars(), 3u);
  EXPECT_EQ(ProbeColumns(3).views(3)[2].im[1], probe_columns().views(3)[2].im[1]);
}

TEST(FingerprintFromProbeValues, GuardAndRounding) {
  const auto at = [](Complex v) {
    const std::array<Complex, kProbeCount> values = {Complex{0.1, 0.0}, v, Complex{0.1, 0.0}, Complex{0.1, 0.0},
                                                     Complex{0.1, 0.0}};
    return fingerprint_from_probe_values(values);
  };
  const struct {
    Complex v;
    bool has;
    std::int64_t re, im;
  } rows[] = {
      {{1e15, 0.0}, false, 0, 0},
      {{0.0, -1e15}, false, 0, 0},
      {{kNaN, 0.0}, false, 0, 0},
      {{0.0, kInf}, false, 0, 0},
      {{std::nextafter(1e15, 0.0), -0.0}, true, std::numeric_limits<std::int64_t>::max(), 0},
      {{-0.25, 0.75}, true, -2500000000, 7500000000},
      {{-1e14, 1e-11}, true, std::numeric_limits<std::int64_t>::min(), 0},
  };
  for (const auto& r : rows) {
    const auto fp = at(r.v);
    ASSERT_EQ(fp.has_value(), r.has) << r.v.re << " " << r.v.im;
    if (!fp) continue;
    EXPECT_EQ(fp->values[0], 1000000000);
    EXPECT_EQ(fp->values[2], r.re);
    EXPECT_EQ(fp->values[3], r.im);
  }
}

}  // namespace
}  // namespace vok
