#pragma once

// A search's samples and targets, evaluated per sample or by columns.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "config/search_config.hpp"
#include "core/complex.hpp"
#include "core/dataset.hpp"
#include "core/expression.hpp"
#include "engine/data/samples.hpp"
#include "eval/column_eval.hpp"
#include "ops/registry.hpp"

namespace vok {

// Samples per column evaluation: a block's value columns stay in cache and
// the scratch does not grow with the number of samples.
inline constexpr std::size_t kSampleBlock = 256;

// One block of column results.
struct BlockValues {
  std::array<double, kSampleBlock> re;
  std::array<double, kSampleBlock> im;
  std::array<std::uint8_t, kSampleBlock> ok;

  ColumnOut out() { return {re.data(), im.data(), ok.data()}; }
};

// Per-thread scratch of the column paths; it only grows, so that after
// warm-up scoring and refinement allocate nothing per evaluation. Not
// reentrant: the users (scoring, refinement) never evaluate recursively.
struct SampleScratch {
  ColumnWorkspace ws;
  BlockValues block;
  std::vector<Complex> params;       // the trial parameter vector
  std::vector<double> predictions;   // refinement: one per sample
  std::vector<ColumnView> views;     // the input columns of one block
  // Refinement: values of the parameter-free subtrees, one column of every
  // sample each, and whether all of them have a value on a sample.
  std::vector<double> cached_re;
  std::vector<double> cached_im;
  std::vector<std::uint8_t> cached_ok;
  // Scoring: a candidate's values composed from its operands' columns.
  std::vector<double> composed_re;
  std::vector<double> composed_im;
  std::vector<std::uint8_t> composed_ok;
  std::vector<ColumnValues> composed_perturbed;  // views into the composed_* columns behind the first
};
SampleScratch& sample_scratch();

// The samples of one search, prepared once for both evaluation paths: the
// input columns with the kernel table of the registry's operators (the
// column path), and complex rows (the per-sample reference).
// A set made from a dataset reads its columns in place and keeps complex rows
// only for the per-sample path; a set made from complex rows (complex inputs,
// or vok_sr's rows of differing lengths) keeps them and, when they are
// rectangular with one target each, input columns copied from them.
// Invariants: columns() exists iff the data are rectangular, non-empty and
// one row per target; rows() holds size() rows unless the set came from a
// dataset and takes the column path (then it is empty: nothing reads it).
// Thread safety: immutable after construction, shared read only by any number of threads.
class SampleSet {
 public:
  // Precondition: the dataset has targets. A shared dataset is read in
  // place as well; it must stay unchanged while the set lives.
  SampleSet(Dataset data, RegistryPtr registry, EvalPath path = EvalPath::Fast);
  SampleSet(std::shared_ptr<const Dataset> data, RegistryPtr registry, EvalPath path = EvalPath::Fast);
  SampleSet(std::vector<ComplexRow> rows, std::vector<double> targets, RegistryPtr registry,
            EvalPath path = EvalPath::Fast);
  // The columns and the kernel table point into members: no copies.
  SampleSet(const SampleSet&) = delete;
  SampleSet& operator=(const SampleSet&) = delete;
  SampleSet(SampleSet&&) = default;
  SampleSet& operator=(SampleSet&&) = default;

  // The per-sample path's rows (see the invariants).
  ComplexRows rows() const { return rows_; }
  std::span<const double> targets() const { return data_ ? data_->targets() : std::span<const double>(targets_); }
  std::size_t size() const { return data_ ? data_->rows() : rows_.size(); }
  // The samples' weights (see Dataset), nullptr when every sample counts
  // once: a set made from rows, or from a dataset without weights. The
  // column path reads them; the per-sample reference has none, so a
  // weighted set is scored on the column path (EvalPath::Fast).
  const double* weights() const { return data_ && !data_->weights().empty() ? data_->weights().data() : nullptr; }
  // The dataset the set was made from; nullptr for a set made from rows.
  const Dataset* dataset() const { return data_.get(); }
  const OperatorRegistry& registry() const { return *registry_; }
  const RegistryPtr& registry_ptr() const { return registry_; }
  const KernelTable& kernels() const { return *kernels_; }
  EvalPath path() const { return path_; }
  // nullptr when the rows are ragged (or do not match the targets).
  const InputColumns* columns() const { return columns_ ? &*columns_ : nullptr; }
  // Whether the column path serves this set; otherwise the per-sample code.
  bool column_path() const { return path_ == EvalPath::Fast && columns_.has_value(); }

  // Evaluates `tokens` on samples [first, first + lanes), lanes <= kSampleBlock,
  // into `out`; as eval_columns. Precondition: column_path().
  std::size_t eval_block(std::span<const Token> tokens, std::size_t first, std::size_t lanes,
                         std::span<const Complex> params, SampleScratch& scratch, ColumnOut out) const;
  // The same with `extra` (columns over all samples) as the variables behind
  // the sample's own: Variable num_vars + m reads extra[m].
  std::size_t eval_block(std::span<const Token> tokens, std::size_t first, std::size_t lanes,
                         std::span<const Complex> params, std::span<const ColumnView> extra,
                         SampleScratch& scratch, ColumnOut out) const;

 private:
  std::shared_ptr<const Dataset> data_;
  std::vector<ComplexRow> rows_;
  std::vector<double> targets_;  // a set made from rows only
  RegistryPtr registry_;
  // Held by pointer so that a move keeps its view of the registry valid.
  std::unique_ptr<const KernelTable> kernels_;
  std::optional<InputColumns> columns_;
  EvalPath path_;
};

// Sample i's term of a sum of squared residuals d: d * d, times its weight
// when there are weights. A weight of one multiplies exactly, so weights of
// one add the very bits of no weights.
inline double weighted_square(const double* weights, std::size_t i, double d) {
  return weights == nullptr ? d * d : weights[i] * (d * d);
}

// Whether e's stored parameter values are its parameter vector itself:
// each Parameter token real (+0 imaginary part) and reading its own slot in
// token order. Only then do values at the stored parameters equal those at
// the vector refinement starts from.
bool parameters_in_order(const Expression& e);

// The values of a list of expressions (with their stored parameter values)
// on every sample of a set, one column each: the operands' values from which
// a child's values are composed. With a `step`, also each expression's
// values with one parameter moved by it (parameter j at value + step, the
// others as stored), one column per parameter: the perturbed operands of a
// child's first forward-difference Jacobian. Without the perturbed columns
// when they would pass `budget_bytes`, empty when the set does not take the
// column path or even the plain columns would pass it; an expression whose
// parameters are not real values in token order has no perturbed columns.
// Thread safety: immutable after construction, shared read only.
class SampleColumns {
 public:
  // A level's columns take at most this much memory by default; a larger
  // level (beam times samples) is evaluated candidate by candidate instead.
  static constexpr std::size_t kDefaultBudgetBytes = std::size_t{64} << 20;

  SampleColumns() = default;
  SampleColumns(std::span<const Expression> list, const SampleSet& samples, std::optional<double> step = {},
                std::size_t budget_bytes = kDefaultBudgetBytes);

  bool empty() const { return count_ == 0; }
  std::size_t size() const { return count_; }
  // The memory the columns take.
  std::size_t bytes() const { return re_.size() * (2 * sizeof(double) + 1); }
  ColumnValues at(std::size_t i) const { return column(i); }
  // Expression i's perturbed columns, one per parameter in order; none when
  // it has no parameters or they were not computed.
  std::span<const ColumnValues> perturbed(std::size_t i) const {
    return std::span<const ColumnValues>(perturbed_).subspan(perturbed_first_[i],
                                                             perturbed_first_[i + 1] - perturbed_first_[i]);
  }

 private:
  ColumnValues column(std::size_t c) const {
    const std::size_t offset = c * lanes_;
    return {re_.data() + offset, im_.data() + offset, ok_.data() + offset};
  }

  std::size_t count_ = 0;
  std::size_t lanes_ = 0;
  // Columns 0 .. count_-1 are the expressions', the perturbed ones follow.
  std::vector<double> re_;
  std::vector<double> im_;
  std::vector<std::uint8_t> ok_;
  std::vector<std::size_t> perturbed_first_;  // count_ + 1 offsets into perturbed_
  std::vector<ColumnValues> perturbed_;
};

}  // namespace vok
