// Evaluating a finished result at a point.
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

}  // namespace vok
