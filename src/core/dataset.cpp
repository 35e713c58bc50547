// The column-major table of inputs and targets, built from the callers' layouts.
#include "core/dataset.hpp"

#include <cassert>
#include <cstring>
#include <utility>

namespace vok {

Dataset::Dataset(std::size_t rows, std::size_t cols, std::vector<double> values, std::vector<double> targets)
    : rows_(rows), cols_(cols), values_(std::move(values)), targets_(std::move(targets)) {
  assert(values_.size() == rows_ * cols_);
  assert(targets_.empty() || targets_.size() == rows_);
}

Dataset Dataset::from_strided(const void* base, std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
                              std::ptrdiff_t col_stride, std::vector<double> targets) {
  std::vector<double> values(rows * cols);
  if (values.empty()) return Dataset(rows, cols, std::move(values), std::move(targets));
  const auto* bytes = static_cast<const unsigned char*>(base);
  for (std::size_t j = 0; j < cols; ++j) {
    double* out = values.data() + j * rows;
    const unsigned char* in = bytes + static_cast<std::ptrdiff_t>(j) * col_stride;
    if (row_stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
      // A column stored contiguously (Fortran order): one block copy.
      std::memcpy(out, in, rows * sizeof(double));
      continue;
    }
    // memcpy per element: a strided view need not be aligned.
    for (std::size_t i = 0; i < rows; ++i) {
      std::memcpy(out + i, in + static_cast<std::ptrdiff_t>(i) * row_stride, sizeof(double));
    }
  }
  return Dataset(rows, cols, std::move(values), std::move(targets));
}

std::optional<Dataset> Dataset::from_rows(std::span<const std::vector<double>> rows, std::span<const double> targets) {
  if (!targets.empty() && targets.size() != rows.size()) return std::nullopt;
  const std::size_t cols = rows.empty() ? 0 : rows.front().size();
  for (const std::vector<double>& r : rows) {
    if (r.size() != cols) return std::nullopt;
  }
  std::vector<double> values(rows.size() * cols);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t j = 0; j < cols; ++j) values[j * rows.size() + i] = rows[i][j];
  }
  return Dataset(rows.size(), cols, std::move(values), std::vector<double>(targets.begin(), targets.end()));
}

}  // namespace vok
