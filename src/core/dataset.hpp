#pragma once

// A table of real input values with its targets, stored by columns: the one
// form in which searches, scoring and whole-matrix evaluation read data.

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace vok {

class DatasetBlock;

// `rows` data points of `cols` real inputs each, one target per row or
// none at all (a dataset that is only evaluated), and optionally one weight
// per row for the errors.
// Invariants: values_ holds rows_ * cols_ numbers, column-major: column j is
// values_[j * rows_ .. (j + 1) * rows_); targets_ is empty or holds rows_
// numbers; weights_ is empty (every row counts once) or holds rows_ finite,
// non-negative numbers that add up to rows_ to round-off, so that a
// weighted sum of squares divided by the row count is the weighted mean
// (and weights of one are exactly the unweighted sums). Built once from the caller's data; the views (a column, a block
// of rows, the targets) point into it and stay valid while it lives, across
// moves (the storage moves with it). Copying copies the numbers.
// Thread safety: immutable after construction, read by any number of threads.
class Dataset {
 public:
  Dataset() = default;
  // Adopts column-major `values`, without a copy. Preconditions:
  // values.size() == rows * cols; targets empty or of `rows` numbers.
  Dataset(std::size_t rows, std::size_t cols, std::vector<double> values, std::vector<double> targets = {});

  // One copy of a strided matrix: element (i, j) is the double at byte
  // offset i * row_stride + j * col_stride from `base`; the strides may have
  // either sign and need not be multiples of the element size (NumPy views
  // of any layout). Precondition: targets empty or of `rows` numbers.
  static Dataset from_strided(const void* base, std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
                              std::ptrdiff_t col_stride, std::vector<double> targets = {});
  // One copy of row-major rows, all as long as the first, with one target
  // per row or none (empty `targets`); nullopt otherwise: rows that differ
  // in length, or another number of targets, are no table.
  static std::optional<Dataset> from_rows(std::span<const std::vector<double>> rows, std::span<const double> targets);

  // These inputs with other targets, the values moved over (no copy).
  // Precondition: targets empty or of rows() numbers.
  [[nodiscard]] Dataset with_targets(std::vector<double> targets) && {
    return Dataset(rows_, cols_, std::move(values_), std::move(targets));
  }
  // This dataset with weights. Precondition: `weights` empty or as the
  // invariant says.
  [[nodiscard]] Dataset with_weights(std::vector<double> weights) && {
    Dataset out(rows_, cols_, std::move(values_), std::move(targets_));
    out.weights_ = std::move(weights);
    return out;
  }

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  bool has_targets() const { return !targets_.empty(); }
  // Precondition: j < cols().
  std::span<const double> column(std::size_t j) const { return {values_.data() + j * rows_, rows_}; }
  std::span<const double> targets() const { return targets_; }
  // Empty when every row counts once.
  std::span<const double> weights() const { return weights_; }
  // Precondition: i < rows(), j < cols().
  double at(std::size_t i, std::size_t j) const { return values_[j * rows_ + i]; }
  // Rows [first, first + count). Precondition: first + count <= rows().
  DatasetBlock block(std::size_t first, std::size_t count) const;

 private:
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::vector<double> values_;
  std::vector<double> targets_;
  std::vector<double> weights_;
};

// Consecutive rows of a dataset, as views into its columns; valid while the
// dataset lives.
class DatasetBlock {
 public:
  std::size_t first() const { return first_; }
  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return data_->cols(); }
  // Precondition: j < cols().
  std::span<const double> column(std::size_t j) const { return data_->column(j).subspan(first_, rows_); }
  // Empty when the dataset has no targets.
  std::span<const double> targets() const {
    return data_->has_targets() ? data_->targets().subspan(first_, rows_) : std::span<const double>{};
  }
  // Empty when the dataset has no weights.
  std::span<const double> weights() const {
    return data_->weights().empty() ? std::span<const double>{} : data_->weights().subspan(first_, rows_);
  }

 private:
  friend class Dataset;
  DatasetBlock(const Dataset& data, std::size_t first, std::size_t rows) : data_(&data), first_(first), rows_(rows) {}

  const Dataset* data_;
  std::size_t first_;
  std::size_t rows_;
};

inline DatasetBlock Dataset::block(std::size_t first, std::size_t count) const { return {*this, first, count}; }

}  // namespace vok
