// Tests of the column-major dataset: its layouts in, its views out.
#include "core/dataset.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace vok {
namespace {

using Rows = std::vector<std::vector<double>>;

// Three rows of two columns with values whose bits matter.
const Rows kRows = {{1.5, -0.0}, {std::numeric_limits<double>::infinity(), 4.9e-324}, {-2.0, 1e300}};
const std::vector<double> kTargets = {10.0, 20.0, 30.0};

std::vector<std::uint64_t> bits_of(std::span<const double> values) {
  std::vector<std::uint64_t> out;
  for (double v : values) out.push_back(std::bit_cast<std::uint64_t>(v));
  return out;
}

// Every column, every target and every element of two datasets, bit for bit.
void expect_same(const Dataset& want, const Dataset& got) {
  ASSERT_EQ(want.rows(), got.rows());
  ASSERT_EQ(want.cols(), got.cols());
  for (std::size_t j = 0; j < want.cols(); ++j) EXPECT_EQ(bits_of(want.column(j)), bits_of(got.column(j))) << j;
  EXPECT_EQ(bits_of(want.targets()), bits_of(got.targets()));
}

TEST(Dataset, FromRowsStoresColumnAfterColumn) {
  const std::optional<Dataset> d = Dataset::from_rows(kRows, kTargets);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->rows(), 3u);
  EXPECT_EQ(d->cols(), 2u);
  EXPECT_TRUE(d->has_targets());
  EXPECT_EQ(bits_of(d->column(0)), bits_of(std::vector<double>{1.5, kRows[1][0], -2.0}));
  EXPECT_EQ(bits_of(d->column(1)), bits_of(std::vector<double>{-0.0, 4.9e-324, 1e300}));
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 2; ++j) EXPECT_EQ(std::bit_cast<std::uint64_t>(d->at(i, j)), std::bit_cast<std::uint64_t>(kRows[i][j]));
  }
  // The adopting constructor takes the same numbers in that order.
  expect_same(*d, Dataset(3, 2, {1.5, kRows[1][0], -2.0, -0.0, 4.9e-324, 1e300}, kTargets));
}

struct NotATable {
  const char* name;
  Rows rows;
  std::vector<double> targets;
};

class FromRowsRefuses : public testing::TestWithParam<NotATable> {};

TEST_P(FromRowsRefuses, RowsOfDifferingLengthsOrAnotherTargetCount) {
  EXPECT_FALSE(Dataset::from_rows(GetParam().rows, GetParam().targets).has_value());
}

INSTANTIATE_TEST_SUITE_P(Cases, FromRowsRefuses,
                         testing::Values(NotATable{"ShortLastRow", {{1, 2}, {3, 4}, {5}}, {1, 2, 3}},
                                         NotATable{"LongerLaterRow", {{1}, {2, 3}}, {1, 2}},
                                         NotATable{"FewerTargets", {{1}, {2}}, {1}},
                                         NotATable{"MoreTargets", {{1}, {2}}, {1, 2, 3}}),
                         [](const testing::TestParamInfo<NotATable>& p) { return std::string(p.param.name); });

TEST(Dataset, DegenerateShapes) {
  // No targets: a dataset that is only evaluated.
  const std::optional<Dataset> inputs = Dataset::from_rows(kRows, {});
  ASSERT_TRUE(inputs.has_value());
  EXPECT_FALSE(inputs->has_targets());
  EXPECT_TRUE(inputs->targets().empty());
  EXPECT_TRUE(inputs->block(1, 2).targets().empty());
  // Rows without inputs, and no rows at all.
  const std::optional<Dataset> no_columns = Dataset::from_rows(Rows{{}, {}}, std::vector<double>{1.0, 2.0});
  ASSERT_TRUE(no_columns.has_value());
  EXPECT_EQ(no_columns->rows(), 2u);
  EXPECT_EQ(no_columns->cols(), 0u);
  const std::optional<Dataset> empty = Dataset::from_rows(Rows{}, {});
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->rows(), 0u);
  EXPECT_EQ(Dataset::from_strided(nullptr, 0, 4, 32, 8).cols(), 4u);
}

// One matrix stored in the layouts NumPy hands over: C order, Fortran
// order, a transposed view with negative strides, every other row of a
// larger C-order array, and an odd byte offset (an unaligned view).
struct Layout {
  const char* name;
  std::vector<unsigned char> bytes;
  std::ptrdiff_t offset;  // of element (0, 0), in bytes
  std::ptrdiff_t row_stride;
  std::ptrdiff_t col_stride;
};

void put(std::vector<unsigned char>& bytes, std::ptrdiff_t at, double v) {
  std::memcpy(bytes.data() + at, &v, sizeof v);
}

std::vector<Layout> layouts() {
  const std::ptrdiff_t n = 3, m = 2, d = sizeof(double);
  std::vector<Layout> out;
  const auto add = [&](const char* name, std::size_t size, std::ptrdiff_t offset, std::ptrdiff_t rs,
                       std::ptrdiff_t cs) {
    Layout l{name, std::vector<unsigned char>(size, 0xee), offset, rs, cs};
    for (std::ptrdiff_t i = 0; i < n; ++i) {
      for (std::ptrdiff_t j = 0; j < m; ++j) put(l.bytes, offset + i * rs + j * cs, kRows[i][j]);
    }
    out.push_back(std::move(l));
  };
  add("COrder", n * m * d, 0, m * d, d);
  add("FortranOrder", n * m * d, 0, d, n * d);
  add("ReversedRowsAndColumns", n * m * d, (n * m - 1) * d, -m * d, -d);
  add("EveryOtherRow", 2 * n * m * d, 0, 2 * m * d, d);
  add("Unaligned", n * m * d + 1, 1, m * d, d);
  return out;
}

class StridedLayout : public testing::TestWithParam<Layout> {};

TEST_P(StridedLayout, GivesTheDatasetOfTheRows) {
  const Layout& l = GetParam();
  const Dataset got = Dataset::from_strided(l.bytes.data() + l.offset, 3, 2, l.row_stride, l.col_stride, kTargets);
  expect_same(*Dataset::from_rows(kRows, kTargets), got);
}

INSTANTIATE_TEST_SUITE_P(Layouts, StridedLayout, testing::ValuesIn(layouts()),
                         [](const testing::TestParamInfo<Layout>& p) { return std::string(p.param.name); });

TEST(Dataset, BlocksAreViewsOfConsecutiveRows) {
  std::vector<double> values(10 * 3);
  std::vector<double> targets(10);
  for (std::size_t k = 0; k < values.size(); ++k) values[k] = static_cast<double>(k);
  for (std::size_t i = 0; i < targets.size(); ++i) targets[i] = -static_cast<double>(i);
  const Dataset d(10, 3, values, targets);
  for (const auto& [first, count] : {std::pair<std::size_t, std::size_t>{0, 10}, {4, 3}, {9, 1}, {10, 0}}) {
    const DatasetBlock b = d.block(first, count);
    EXPECT_EQ(b.first(), first);
    EXPECT_EQ(b.rows(), count);
    EXPECT_EQ(b.cols(), 3u);
    for (std::size_t j = 0; j < 3; ++j) {
      // In place: the block's column starts inside the dataset's.
      EXPECT_EQ(b.column(j).data(), d.column(j).data() + first);
      ASSERT_EQ(b.column(j).size(), count);
      for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(b.column(j)[i], values[j * 10 + first + i]);
    }
    ASSERT_EQ(b.targets().size(), count);
    for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(b.targets()[i], -static_cast<double>(first + i));
  }
}

TEST(Dataset, ViewsSurviveMovesAndTargetsMoveOver) {
  Dataset d = *Dataset::from_rows(kRows, {});
  const double* column = d.column(1).data();
  Dataset moved = std::move(d);
  EXPECT_EQ(moved.column(1).data(), column);
  const Dataset with = std::move(moved).with_targets(kTargets);
  EXPECT_EQ(with.column(1).data(), column);
  expect_same(*Dataset::from_rows(kRows, kTargets), with);
}


TEST(Dataset, WeightsTravelWithTheTableAndItsBlocks) {
  Dataset plain(3, 1, {1.0, 2.0, 3.0}, {4.0, 5.0, 6.0});
  EXPECT_TRUE(plain.weights().empty());
  EXPECT_TRUE(plain.block(1, 2).weights().empty());
  const Dataset weighted = std::move(plain).with_weights({0.0, 1.0, 2.0});
  EXPECT_EQ(std::vector<double>(weighted.targets().begin(), weighted.targets().end()),
            (std::vector<double>{4.0, 5.0, 6.0}));
  const auto w = weighted.block(1, 2).weights();
  EXPECT_EQ(std::vector<double>(w.begin(), w.end()), (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(weighted.at(2, 0), 3.0);
}

}  // namespace
}  // namespace vok
