// Tests of the Searcher's requests and their per-request overrides.
#include "lib/searcher.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine_helpers.hpp"

namespace vok {
namespace {

using namespace testing_support;

SearchConfig small(std::size_t max_complexity, std::size_t beam = 30) {
  SearchConfig c;
  c.max_complexity = max_complexity;
  c.beam_width = beam;
  return c;
}

template <class T>
const T& value_of(const Outcome<T>& o) {
  if (const auto* e = std::get_if<SearchError>(&o)) ADD_FAILURE() << e->text();
  return std::get<T>(o);
}

TEST(Searcher, FindFunctionUsesOneRowPerX) {
  const Searcher s(small(3));
  const std::vector<double> xs{0.5, 1.5, 2.5}, ys{0.25, 2.25, 6.25};
  ::testing::internal::CaptureStdout();
  const auto out = s.find_function(xs, ys);
  ::testing::internal::GetCapturedStdout();
  const auto& r = value_of(out);
  EXPECT_EQ(r.expression.formula, "Square(v_{0})");
  EXPECT_EQ(r.error, 0.0);
}

TEST(Searcher, FindMultivariateAndInvalidInputPassThrough) {
  const Searcher s(small(3));
  const Matrix rows{{1, 2}, {3, 1}, {0.5, 4}};
  const std::vector<double> ys{2, 3, 2};
  ::testing::internal::CaptureStdout();
  const auto ok = s.find_multivariate(rows, ys);
  const auto bad = s.find_multivariate(rows, std::vector<double>{1, 2});
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(value_of(ok).expression.formula, "Times(v_{0}, v_{1})");
  EXPECT_EQ(std::get<SearchError>(bad).kind, SearchError::Kind::InvalidInput);
}

TEST(Searcher, RecognizeConstantSearchesOneZeroRow) {
  const Searcher s(small(3));
  ::testing::internal::CaptureStdout();
  const auto zero = s.recognize_constant(0.0);
  const auto other = s.recognize_constant(2.5);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(value_of(zero).expression.formula, "v_{0}");  // the single input is 0.0
  EXPECT_LE(value_of(other).error, 1e-10);
  EXPECT_NEAR(eval_multi(value_of(other), std::vector<double>{0.0}), 2.5, 1e-5);
}

TEST(Searcher, FindCandidatesIsExhaustiveAndOrdered) {
  const Searcher s(small(4));
  const Matrix rows{{0.1}, {0.7}, {1.3}, {2.0}};
  std::vector<double> ys;
  for (const auto& r : rows) ys.push_back(std::exp(r[0]) - 0.3 * r[0]);
  ::testing::internal::CaptureStdout();
  const auto out = s.find_candidates(rows, ys);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  const auto& list = value_of(out);
  ASSERT_GE(list.size(), 2u);
  for (std::size_t i = 1; i < list.size(); ++i) {
    EXPECT_GT(list[i - 1].expression.complexity, list[i].expression.complexity);
    EXPECT_LT(list[i - 1].error, list[i].error);
  }
  EXPECT_NE(printed.find("Level 4 processed"), std::string::npos);

  // Even an exact leaf does not stop the listing.
  const std::vector<double> same{0.1, 0.7, 1.3, 2.0};
  ::testing::internal::CaptureStdout();
  const auto exact = s.find_candidates(rows, same);
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("Level 4 processed"), std::string::npos);
  EXPECT_EQ(value_of(exact).back().expression.formula, "v_{0}");
}

TEST(Searcher, OverridesApplyToOneRequestOnly) {
  const Searcher s(small(2));
  const std::vector<double> xs{1, 2, 3}, ys{2, 4, 6};
  ::testing::internal::CaptureStdout();
  const auto plain = s.find_function(xs, ys);
  const auto penalised = s.find_function(xs, ys, 10.0, 0.0);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(s.config().alpha, 0.0);
  EXPECT_EQ(s.config().l1_ratio, 0.5);
  EXPECT_LT(value_of(plain).error, value_of(penalised).error);
}

TEST(TakeFirstResult, EmptyListIsNoFormulaFoundAndErrorsPassThrough) {
  const auto empty = take_first_result(std::vector<SearchResult>{}, 6);
  EXPECT_EQ(std::get<SearchError>(empty).text(), "No formula found up to complexity 6");
  const auto passed = take_first_result(SearchError::invalid_input("bad"), 6);
  EXPECT_EQ(std::get<SearchError>(passed).text(), "bad");
  std::vector<SearchResult> two(2);
  two[0].error = 1.0;
  two[1].error = 2.0;
  EXPECT_EQ(std::get<SearchResult>(take_first_result(std::move(two), 6)).error, 1.0);
}

}  // namespace
}  // namespace vok
