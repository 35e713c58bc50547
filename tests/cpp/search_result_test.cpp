// Tests of evaluating a result at a point.
#include "result/search_result.hpp"

#include <gtest/gtest.h>

#include <cmath>
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

}  // namespace
}  // namespace vok
