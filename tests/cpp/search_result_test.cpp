// Tests of evaluating a result at a point.
#include "result/search_result.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "engine_helpers.hpp"

namespace vok {
namespace {

using namespace testing_support;

SearchResult result_of(Expression e) {
  return {std::move(e), 0.0, std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins())};
}

TEST(EvalMulti, RealPartOrNaN) {
  const auto plus = result_of(bin(BuiltinKind::Plus, v(0), v(1)));
  EXPECT_EQ(eval_multi(plus, std::vector<double>{1, 2}), 3.0);
  EXPECT_TRUE(std::isnan(eval_multi(plus, std::vector<double>{1})));
  const auto div = result_of(bin(BuiltinKind::Divide, v(0), v(1)));
  EXPECT_TRUE(std::isnan(eval_multi(div, std::vector<double>{1, 0})));
  EXPECT_EQ(eval_multi(div, std::vector<double>{0, 1}), 0.0);
  const auto root = result_of(un(BuiltinKind::Sqrt, v(0)));
  EXPECT_EQ(eval_multi(root, std::vector<double>{-4}), 0.0);  // 2i: the real part
}

TEST(EvalMulti, ParametersUseStoredValuesAndEmptyPointWorks) {
  Expression e = bin(BuiltinKind::Times, C(), v(0));
  e.tokens[0].value = {2.5, 0.0};
  EXPECT_EQ(eval_multi(result_of(e), std::vector<double>{4}), 10.0);
  EXPECT_EQ(eval_multi(result_of(C()), std::vector<double>{}), 0.1);
}

// Each row as eval_multi sees it alone, whatever the rows before it left on
// the shared stack: short rows, failing rows and special values between.
TEST(EvalBatch, EveryRowIsItsOwnEvalMulti) {
  const auto f = result_of(bin(BuiltinKind::Divide, un(BuiltinKind::Log, v(0)), v(1)));
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::vector<double>> rows = {{2, 3}, {1}, {0, 1}, {-1, 2}, {}, {2, 0}, {inf, 1}, {4, 0.5}};
  const std::vector<double> got = eval_batch(f, rows);
  ASSERT_EQ(got.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_TRUE(same_bits(got[i], eval_multi(f, rows[i]))) << "row " << i;
  }
  EXPECT_TRUE(eval_batch(f, {}).empty());
}

}  // namespace
}  // namespace vok
