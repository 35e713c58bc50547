// Tests of the per-complexity front: which offers replace an entry.
#include "engine/select/pareto.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "engine_helpers.hpp"

namespace vok {
namespace {

using namespace testing_support;

std::vector<std::tuple<std::size_t, double, std::string>> contents(const ParetoFront& f) {
  std::vector<std::tuple<std::size_t, double, std::string>> out;
  f.for_each([&](std::size_t c, double e, const Expression& x) { out.emplace_back(c, e, x.formula); });
  return out;
}

TEST(ParetoFront, FirstOfferPerComplexityIsStoredAndKeyedByComplexity) {
  ParetoFront f;
  update_pareto(f, un(BuiltinKind::Sin, v(0)), 0.5);
  update_pareto(f, v(0), 0.9);
  const auto c = contents(f);
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0], std::make_tuple(std::size_t{1}, 0.9, std::string("v_{0}")));
  EXPECT_EQ(c[1], std::make_tuple(std::size_t{2}, 0.5, std::string("Sin(v_{0})")));
}

struct OfferCase {
  double stored;
  double offered;
  bool replaced;
};

class SecondOffer : public ::testing::TestWithParam<OfferCase> {};

TEST_P(SecondOffer, ReplacesOnlyWhenStrictlyBetter) {
  ParetoFront f;
  update_pareto(f, un(BuiltinKind::Sin, v(0)), GetParam().stored);
  update_pareto(f, un(BuiltinKind::Cos, v(0)), GetParam().offered);
  const auto c = contents(f);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(std::get<2>(c[0]), GetParam().replaced ? "Cos(v_{0})" : "Sin(v_{0})");
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
INSTANTIATE_TEST_SUITE_P(Cases, SecondOffer,
                         ::testing::Values(OfferCase{0.5, 0.4, true}, OfferCase{0.5, 0.5, false},
                                           OfferCase{0.5, 0.6, false}, OfferCase{0.5, kNaN, false},
                                           OfferCase{kNaN, 0.1, false}));

TEST(ParetoFront, KeepsDominatedEntries) {
  ParetoFront f;
  update_pareto(f, bin(BuiltinKind::Plus, v(0), v(0)), 0.5);
  update_pareto(f, bin(BuiltinKind::Plus, v(0), bin(BuiltinKind::Plus, v(0), v(0))), 0.7);
  EXPECT_EQ(f.size(), 2u);
}

TEST(ParetoFront, StoresACopyIndependentOfTheOffer) {
  ParetoFront f;
  Expression e = C();
  update_pareto(f, e, 1.0);
  e.tokens[0].value = {5.0, 0.0};
  f.for_each([](std::size_t, double, const Expression& x) { EXPECT_EQ(x.tokens[0].value.re, 0.1); });
}

}  // namespace
}  // namespace vok
