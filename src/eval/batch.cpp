// A formula evaluated over a whole matrix of points, in parallel blocks.
#include "eval/batch.hpp"

#include <algorithm>
#include <cassert>
#include <limits>
#include <vector>

#include "eval/column_eval.hpp"
#include "infra/pool.hpp"

namespace vok {

void eval_rows(const Expression& expression, const OperatorRegistry& registry, std::span<const double> values, std::size_t rows,
               std::size_t num_vars, std::span<double> out) {
  assert(values.size() == rows * num_vars);
  assert(out.size() == rows);
  // Blocks large enough to amortise a pass's scheduling, small enough that a
  // block's columns stay in cache.
  constexpr std::size_t kBlock = 1024;
  const KernelTable table(registry.operators());
  const std::span<const Token> tokens(expression.tokens);
  const std::size_t blocks = (rows + kBlock - 1) / kBlock;
  parallel_each(blocks, [&](std::size_t b) {
    thread_local ColumnWorkspace ws;
    thread_local std::vector<double> columns;
    thread_local std::vector<ColumnView> views;
    const std::size_t first = b * kBlock;
    const std::size_t lanes = std::min(kBlock, rows - first);
    // Column j of the block holds variable j's real parts; one zero column
    // serves as every imaginary part.
    columns.assign((num_vars + 1) * lanes, 0.0);
    views.resize(num_vars);
    const double* zeros = columns.data() + num_vars * lanes;
    for (std::size_t j = 0; j < num_vars; ++j) {
      double* col = columns.data() + j * lanes;
      for (std::size_t i = 0; i < lanes; ++i) col[i] = values[(first + i) * num_vars + j];
      views[j] = {col, zeros};
    }
    const ColumnResult r = eval_columns(tokens, views, lanes, {}, table, ws);
    for (std::size_t i = 0; i < lanes; ++i) {
      out[first + i] = r.ok[i] != 0 ? r.re[i] : std::numeric_limits<double>::quiet_NaN();
    }
  });
}

}  // namespace vok
