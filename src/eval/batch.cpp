// Formulas evaluated over a whole dataset from its columns, in blocks.
#include "eval/batch.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "eval/column_eval.hpp"
#include "eval/eval.hpp"
#include "infra/pool.hpp"

namespace vok {

namespace {

// Rows per evaluation: enough to amortise a pass's scheduling, few enough
// that a block's value columns stay in cache.
constexpr std::size_t kBlock = 1024;

// One thread's view of a block of rows and the scratch of its evaluation.
struct BlockScratch {
  ColumnWorkspace ws;
  std::vector<ColumnView> views;
  std::vector<double> re;
  std::vector<double> im;
  std::vector<std::uint8_t> ok;
  std::vector<std::uint8_t> nonreal;
  // One row's inputs and the stack machine's stack, for the rows that the
  // unbounded evaluation takes again one by one.
  std::vector<Complex> point;
  std::vector<Complex> stack;

  // The block's columns in place as the evaluator's inputs, one shared
  // zero column as every imaginary part; the outputs sized to the block.
  std::span<const ColumnView> point_at(const DatasetBlock& block) {
    static const std::vector<double> zeros(kBlock, 0.0);
    views.resize(block.cols());
    for (std::size_t j = 0; j < block.cols(); ++j) views[j] = {block.column(j).data(), zeros.data()};
    if (re.size() < block.rows()) {
      re.resize(block.rows());
      im.resize(block.rows());
      ok.resize(block.rows());
      nonreal.resize(block.rows());
    }
    return views;
  }
  ColumnOut out() { return {re.data(), im.data(), ok.data()}; }
};

BlockScratch& block_scratch() {
  thread_local BlockScratch scratch;
  return scratch;
}

// The sum of `a` as NumPy adds a contiguous float64 array (np.add.reduce,
// so np.mean): blocks of up to 128 values summed in eight interleaved
// partial sums, halves of larger runs (cut at a multiple of 8) added
// recursively. The loss users read is the mean of the squared residuals
// that the estimator reports and compares with NumPy's, so it is added in
// exactly that order; pairwise addition also keeps the rounding error low on
// a million rows, where a running sum loses digits.
double pairwise_sum(const double* a, std::size_t n) {
  if (n < 8) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += a[i];
    return sum;
  }
  if (n <= 128) {
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = a[j];
    std::size_t i = 8;
    for (; i < n - n % 8; i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] += a[i + j];
    }
    double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) sum += a[i];
    return sum;
  }
  std::size_t half = n / 2;
  half -= half % 8;
  return pairwise_sum(a, half) + pairwise_sum(a + half, n - half);
}

RowsSummary summarize(const Expression& e, const KernelTable& table, const Dataset& data) {
  BlockScratch& s = block_scratch();
  RowsSummary summary;
  bool every_row = true;
  // One square per row, added once every row is evaluated (pairwise_sum).
  thread_local std::vector<double> squares;
  squares.resize(data.rows());
  for (std::size_t first = 0; first < data.rows(); first += kBlock) {
    const DatasetBlock block = data.block(first, std::min(kBlock, data.rows() - first));
    const std::span<const double> targets = block.targets();
    const std::span<const double> weights = block.weights();
    const std::span<const ColumnView> inputs = s.point_at(block);  // sizes the outputs
    eval_columns_tracking_nonreal(e.tokens, inputs, block.rows(), {}, table, s.ws, s.out(), s.nonreal.data());
    for (std::size_t i = 0; i < block.rows(); ++i) {
      if (!s.ok[i] || !std::isfinite(s.re[i])) {
        // The flag covers only the rows with a value.
        every_row = false;
        continue;
      }
      const double d = s.re[i] - targets[i];
      squares[first + i] = weights.empty() ? d * d : weights[i] * (d * d);
      summary.leaves_reals = summary.leaves_reals || s.nonreal[i] != 0;
    }
  }
  summary.loss = every_row ? pairwise_sum(squares.data(), squares.size()) / static_cast<double>(data.rows())
                           : std::numeric_limits<double>::infinity();
  return summary;
}

}  // namespace

void eval_rows(const Expression& expression, const OperatorRegistry& registry, const Dataset& data,
               std::span<double> out, ResultBound bound) {
  assert(out.size() == data.rows());
  const KernelTable table(registry.operators());
  const std::span<const Token> tokens(expression.tokens);
  const std::size_t blocks = (data.rows() + kBlock - 1) / kBlock;
  parallel_each(blocks, [&](std::size_t b) {
    BlockScratch& s = block_scratch();
    const std::size_t first = b * kBlock;
    const DatasetBlock block = data.block(first, std::min(kBlock, data.rows() - first));
    const std::span<const ColumnView> inputs = s.point_at(block);  // sizes the outputs
    eval_columns(tokens, inputs, block.rows(), {}, table, s.ws, s.out());
    for (std::size_t i = 0; i < block.rows(); ++i) {
      out[first + i] = s.ok[i] != 0 ? s.re[i] : std::numeric_limits<double>::quiet_NaN();
    }
    if (bound == ResultBound::kGuard) return;
    // The guard fails on few rows, if any: only those are taken again, by the
    // stack machine, which gives the column pass's values bit for bit.
    for (std::size_t i = 0; i < block.rows(); ++i) {
      if (s.ok[i] != 0) continue;
      s.point.resize(block.cols());
      for (std::size_t j = 0; j < block.cols(); ++j) s.point[j] = {block.column(j)[i], 0.0};
      const std::optional<Complex> v = eval_unbounded(tokens, s.point, registry.operators(), s.stack);
      if (v) out[first + i] = v->re;
    }
  });
}

std::vector<RowsSummary> summarize_rows(std::span<const Expression> expressions, const OperatorRegistry& registry,
                                        const Dataset& data) {
  assert(data.has_targets() || data.rows() == 0);
  const KernelTable table(registry.operators());
  return parallel_map<RowsSummary>(expressions.size(),
                                   [&](std::size_t i) { return summarize(expressions[i], table, data); });
}

}  // namespace vok
