// Evaluating a finished result at a point or at a batch of rows.
#include "result/search_result.hpp"

#include <limits>
#include <vector>

#include "eval/eval.hpp"

namespace vok {

double eval_multi(const SearchResult& result, std::span<const double> point) {
  std::vector<Complex> inputs;
  inputs.reserve(point.size());
  for (double v : point) inputs.push_back({v, 0.0});
  const auto value = eval(result.expression, inputs, result.registry->operators());
  return value ? value->re : std::numeric_limits<double>::quiet_NaN();
}

std::vector<double> eval_batch(const SearchResult& result, std::span<const std::vector<double>> rows) {
  const std::span<const Token> tokens(result.expression.tokens);
  const OperatorList ops = result.registry->operators();
  std::vector<Complex> stack;
  stack.reserve(tokens.size());
  std::vector<Complex> inputs;
  std::vector<double> values;
  values.reserve(rows.size());
  for (const auto& row : rows) {
    inputs.resize(row.size());
    for (std::size_t i = 0; i < row.size(); ++i) inputs[i] = Complex{row[i], 0.0};
    const auto value = eval_internal(tokens, inputs, {}, ops, stack);
    values.push_back(value ? value->re : std::numeric_limits<double>::quiet_NaN());
  }
  return values;
}

}  // namespace vok
