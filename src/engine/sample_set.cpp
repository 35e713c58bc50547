#include "engine/sample_set.hpp"

#include <algorithm>
#include <utility>

namespace vok {

namespace {

// Column input needs one length for every row (a shorter row would make
// only some lanes fail on a variable, which the column program cannot
// express) and one target per row.
bool columns_apply(const std::vector<ComplexRow>& rows, std::size_t targets) {
  if (rows.empty() || rows.size() != targets) return false;
  for (const ComplexRow& r : rows) {
    if (r.size() != rows.front().size()) return false;
  }
  return true;
}

}  // namespace

SampleSet::SampleSet(std::vector<ComplexRow> rows, std::vector<double> targets, RegistryPtr registry,
                     EvalPath path)
    : rows_(std::move(rows)),
      targets_(std::move(targets)),
      registry_(std::move(registry)),
      kernels_(std::make_unique<const KernelTable>(OperatorList(registry_->operators()))),
      path_(path) {
  if (!columns_apply(rows_, targets_.size())) return;
  const std::size_t num_vars = rows_.front().size();
  std::vector<Complex> flat;
  flat.reserve(rows_.size() * num_vars);
  for (const ComplexRow& r : rows_) flat.insert(flat.end(), r.begin(), r.end());
  columns_ = InputColumns::from_rows(flat, num_vars);
}

std::size_t SampleSet::eval_block(std::span<const Token> tokens, std::size_t first, std::size_t lanes,
                                  std::span<const Complex> params, SampleScratch& scratch,
                                  ColumnOut out) const {
  return eval_block(tokens, first, lanes, params, {}, scratch, out);
}

std::size_t SampleSet::eval_block(std::span<const Token> tokens, std::size_t first, std::size_t lanes,
                                  std::span<const Complex> params, std::span<const ColumnView> extra,
                                  SampleScratch& scratch, ColumnOut out) const {
  const std::span<const ColumnView> own = columns_->views();
  scratch.views.resize(own.size() + extra.size());
  for (std::size_t j = 0; j < own.size(); ++j) scratch.views[j] = {own[j].re + first, own[j].im + first};
  for (std::size_t m = 0; m < extra.size(); ++m) {
    scratch.views[own.size() + m] = {extra[m].re + first, extra[m].im + first};
  }
  return eval_columns(tokens, scratch.views, lanes, params, *kernels_, scratch.ws, out);
}

SampleColumns::SampleColumns(std::span<const Expression> list, const SampleSet& samples,
                             std::size_t budget_bytes) {
  const std::size_t lanes = samples.size();
  const std::size_t per_expression = lanes * (2 * sizeof(double) + 1);
  if (!samples.column_path() || list.empty() || per_expression == 0 ||
      list.size() > budget_bytes / per_expression) {
    return;
  }
  count_ = list.size();
  lanes_ = lanes;
  re_.resize(count_ * lanes);
  im_.resize(count_ * lanes);
  ok_.resize(count_ * lanes);
  SampleScratch& scratch = sample_scratch();
  for (std::size_t e = 0; e < count_; ++e) {
    const std::size_t offset = e * lanes;
    for (std::size_t first = 0; first < lanes; first += kSampleBlock) {
      const std::size_t n = std::min(kSampleBlock, lanes - first);
      samples.eval_block(list[e].tokens, first, n, {}, scratch,
                         {re_.data() + offset + first, im_.data() + offset + first, ok_.data() + offset + first});
    }
  }
}

SampleScratch& sample_scratch() {
  thread_local SampleScratch scratch;
  return scratch;
}

}  // namespace vok
