// Tests of fingerprints, saturating rounding and the fingerprint hash.
#include "eval/signature.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine_helpers.hpp"
#include "ops/registry.hpp"

namespace vok {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
using testing_support::id_of;
constexpr std::uint64_t kPlus = id_of(BuiltinKind::Plus), kSubtract = id_of(BuiltinKind::Subtract),
                        kExp = id_of(BuiltinKind::Exp), kLog = id_of(BuiltinKind::Log);

class SignatureTest : public testing::Test {
 protected:
  OperatorRegistry reg = OperatorRegistry::with_builtins();
  std::optional<Fingerprint> fp(const Expression& e) const { return fingerprint(e, reg.operators()); }
};

Fingerprint pairs(std::array<std::int64_t, 10> v) { return Fingerprint{v}; }

Expression constant_leaf(Complex value) {
  Expression e = param_leaf();
  e.tokens[0].value = value;
  return e;
}

TEST_F(SignatureTest, ParameterLeaf) {
  const auto f = fp(param_leaf());
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, pairs({1000000000, 0, 1000000000, 0, 1000000000, 0, 1000000000, 0, 1000000000, 0}));
}

TEST_F(SignatureTest, FirstVariable) {
  const auto f = fp(var_leaf(0));
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, pairs({5772156649, 0, 12824271291, 1000000000, 16180339887, 0, 6931471806, 1000000000,
                       12020569032, 0}));
}

TEST_F(SignatureTest, SecondVariableSeesRotatedProbesAndItsOwnImaginaryPart) {
  const auto f = fp(var_leaf(1));
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, pairs({12824271291, 0, 16180339887, 2000000000, 6931471806, 0, 12020569032, 2000000000,
                       5772156649, 0}));
}

TEST_F(SignatureTest, CommutedSumsAgree) {
  const Expression a = compose_binary(kPlus, "Plus", param_leaf(), var_leaf(0));
  const Expression b = compose_binary(kPlus, "Plus", var_leaf(0), param_leaf());
  const auto fa = fp(a), fb = fp(b);
  ASSERT_TRUE(fa);
  ASSERT_TRUE(fb);
  EXPECT_EQ(*fa, *fb);
  EXPECT_EQ(FingerprintHash{}(*fa), FingerprintHash{}(*fb));
  EXPECT_NE(*fa, *fp(var_leaf(0)));
}

TEST_F(SignatureTest, NoFingerprintOnFailureOrOverflow) {
  const Expression v0 = var_leaf(0);
  EXPECT_FALSE(fp(compose_unary(kLog, "Log", compose_binary(kSubtract, "Subtract", v0, v0))));
  EXPECT_FALSE(fp(compose_unary(kExp, "Exp", compose_unary(kExp, "Exp", compose_unary(kExp, "Exp", v0)))));
  // Bare leaves are not guarded by the evaluator; the fingerprint checks them.
  EXPECT_FALSE(fp(constant_leaf({1e15, 0.0})));
  EXPECT_FALSE(fp(constant_leaf({0.0, -1e15})));
  EXPECT_FALSE(fp(constant_leaf({std::nan(""), 0.0})));
  EXPECT_FALSE(fp(constant_leaf({0.0, std::numeric_limits<double>::infinity()})));
  // A variable index the expression's num_vars does not cover.
  Expression short_point = var_leaf(1);
  short_point.num_vars = 1;
  EXPECT_FALSE(fp(short_point));
}

TEST_F(SignatureTest, LargeValuesSaturate) {
  const auto f = fp(constant_leaf({1e14, -1e14}));
  ASSERT_TRUE(f);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(f->values[2 * i], kMax);
    EXPECT_EQ(f->values[2 * i + 1], kMin);
  }
}

TEST(RoundSaturating, HalvesAwayFromZeroAndSaturation) {
  const double two63 = 9223372036854775808.0;
  const struct {
    double in;
    std::int64_t out;
  } rows[] = {
      {0.0, 0},
      {-0.0, 0},
      {0.5, 1},
      {-0.5, -1},
      {1.5, 2},
      {2.5, 3},
      {-2.5, -3},
      {0.49999999999999994, 0},
      {-1.4999999999999998, -1},
      {1e18, 1000000000000000000},
      {9.2233720368547758e18, kMax},
      {two63, kMax},
      {std::nextafter(two63, 0.0), 9223372036854774784},
      {-two63, kMin},
      {std::nextafter(-two63, -1e300), kMin},
      {1e30, kMax},
      {-1e30, kMin},
      {std::numeric_limits<double>::infinity(), kMax},
      {-std::numeric_limits<double>::infinity(), kMin},
  };
  for (const auto& r : rows) EXPECT_EQ(round_saturating(r.in), r.out) << r.in;
}

TEST(FingerprintHashTest, SensitiveToEveryComponentAndPosition) {
  const FingerprintHash h;
  const Fingerprint base = pairs({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  EXPECT_EQ(h(base), h(pairs({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})));
  for (std::size_t i = 0; i < 10; ++i) {
    Fingerprint changed = base;
    changed.values[i] += 1;
    EXPECT_NE(h(changed), h(base)) << i;
  }
  EXPECT_NE(h(pairs({2, 1, 3, 4, 5, 6, 7, 8, 9, 10})), h(base));
  EXPECT_NE(h(pairs({0, 0, 0, 0, 0, 0, 0, 0, 0, 0})), h(pairs({0, 0, 0, 0, 0, 0, 0, 0, 0, 1})));
}

}  // namespace
}  // namespace vok
