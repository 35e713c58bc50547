// The data of one search, by columns and as rows, and its evaluation.
#include "engine/data/sample_set.hpp"

#include <algorithm>
#include <cmath>
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

SampleSet::SampleSet(Dataset data, RegistryPtr registry, EvalPath path)
    : SampleSet(std::make_shared<const Dataset>(std::move(data)), std::move(registry), path) {}

SampleSet::SampleSet(std::shared_ptr<const Dataset> data, RegistryPtr registry, EvalPath path)
    : data_(std::move(data)),
      registry_(std::move(registry)),
      kernels_(std::make_unique<const KernelTable>(OperatorList(registry_->operators()))),
      path_(path) {
  if (data_->rows() != 0 && data_->has_targets()) columns_ = InputColumns::over(*data_);
  if (column_path()) return;
  // The per-sample reference reads complex rows.
  rows_.assign(data_->rows(), ComplexRow(data_->cols()));
  for (std::size_t j = 0; j < data_->cols(); ++j) {
    const std::span<const double> column = data_->column(j);
    for (std::size_t i = 0; i < column.size(); ++i) rows_[i][j] = {column[i], 0.0};
  }
}

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

bool parameters_in_order(const Expression& e) {
  std::size_t j = 0;
  for (const Token& t : e.tokens) {
    if (t.kind != TokenKind::Parameter) continue;
    if (t.index != j || t.value.im != 0.0 || std::signbit(t.value.im)) return false;
    ++j;
  }
  return true;
}

SampleColumns::SampleColumns(std::span<const Expression> list, const SampleSet& samples,
                             std::optional<double> step, std::size_t budget_bytes) {
  const std::size_t lanes = samples.size();
  const std::size_t per_column = lanes * (2 * sizeof(double) + 1);
  if (!samples.column_path() || list.empty() || per_column == 0) return;
  // Which expressions get perturbed columns: those with parameters in order.
  std::vector<std::size_t> first(list.size() + 1, 0);
  for (std::size_t e = 0; e < list.size(); ++e) {
    const bool perturb = step && list[e].num_params != 0 && parameters_in_order(list[e]);
    first[e + 1] = first[e] + (perturb ? list[e].num_params : 0);
  }
  // Over the budget the perturbed columns go first, then everything.
  if (list.size() + first.back() > budget_bytes / per_column) std::fill(first.begin(), first.end(), 0);
  const std::size_t columns = list.size() + first.back();
  if (columns > budget_bytes / per_column) return;

  count_ = list.size();
  lanes_ = lanes;
  re_.resize(columns * lanes);
  im_.resize(columns * lanes);
  ok_.resize(columns * lanes);
  SampleScratch& scratch = sample_scratch();
  std::vector<Complex> params;
  const auto evaluate = [&](const Expression& e, std::size_t c) {
    const std::size_t offset = c * lanes;
    for (std::size_t f = 0; f < lanes; f += kSampleBlock) {
      const std::size_t n = std::min(kSampleBlock, lanes - f);
      samples.eval_block(e.tokens, f, n, params, scratch,
                         {re_.data() + offset + f, im_.data() + offset + f, ok_.data() + offset + f});
    }
  };
  for (std::size_t e = 0; e < count_; ++e) {
    params.clear();
    evaluate(list[e], e);
    if (first[e + 1] == first[e]) continue;
    for (const Token& t : list[e].tokens) {
      if (t.kind == TokenKind::Parameter) params.push_back({t.value.re, 0.0});
    }
    for (std::size_t j = 0; j < params.size(); ++j) {
      // As refinement perturbs: the stored value plus the step, restored after.
      const double stored = params[j].re;
      params[j].re = stored + *step;
      evaluate(list[e], count_ + first[e] + j);
      params[j].re = stored;
    }
  }
  perturbed_first_ = std::move(first);
  perturbed_.reserve(perturbed_first_.back());
  for (std::size_t c = count_; c < columns; ++c) perturbed_.push_back(column(c));
}

SampleScratch& sample_scratch() {
  thread_local SampleScratch scratch;
  return scratch;
}

}  // namespace vok
