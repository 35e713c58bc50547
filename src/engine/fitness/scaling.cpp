// Output scaling: the least-squares rescalings a*f + b, a*f and f + b of a candidate, as formulas of their own.
#include "engine/fitness/scaling.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/guard.hpp"
#include "engine/fitness/scoring.hpp"
#include "engine/refine/penalty.hpp"

namespace vok {

namespace {

bool usable(double re, double im) { return std::isfinite(re) && std::isfinite(im) && within_guard({re, im}); }

// Per-thread columns of one rescaling: f's values when they are evaluated
// here, the broadcast constants, and the two composed steps. They only grow.
struct ScalingScratch {
  std::vector<double> f_re, f_im;
  std::vector<std::uint8_t> f_ok;
  std::vector<double> constant, zeros;
  std::vector<std::uint8_t> ones;
  std::vector<double> step_re[2], step_im[2];
  std::vector<std::uint8_t> step_ok[2];

  void size_for(std::size_t n) {
    if (ones.size() >= n) return;
    for (auto* v : {&f_re, &f_im, &constant, &step_re[0], &step_re[1], &step_im[0], &step_im[1]}) v->resize(n);
    for (auto* v : {&f_ok, &step_ok[0], &step_ok[1]}) v->resize(n);
    zeros.assign(n, 0.0);
    ones.assign(n, 1);
  }
  ColumnOut step(std::size_t i) { return {step_re[i].data(), step_im[i].data(), step_ok[i].data()}; }
};

ScalingScratch& scaling_scratch() {
  thread_local ScalingScratch scratch;
  return scratch;
}

// f's values on every sample by the column path into the scratch; false at
// the first sample without a usable value.
bool evaluate_columns(const Expression& f, const SampleSet& samples, ScalingScratch& s) {
  SampleScratch& scratch = sample_scratch();
  BlockValues& b = scratch.block;
  const std::size_t count = samples.size();
  for (std::size_t first = 0; first < count; first += kSampleBlock) {
    const std::size_t lanes = std::min(kSampleBlock, count - first);
    samples.eval_block(f.tokens, first, lanes, {}, scratch, b.out());
    for (std::size_t i = 0; i < lanes; ++i) {
      if (!b.ok[i] || !usable(b.re[i], b.im[i])) return false;
      s.f_re[first + i] = b.re[i];
      s.f_im[first + i] = b.im[i];
      s.f_ok[first + i] = 1;
    }
  }
  return true;
}

// The raw error of the rescaling from f's values: Times and Plus applied to
// them and to broadcast constant columns (a Parameter leaf is the same value
// on every lane), then the squared residuals summed in sample order and the
// penalty of f's constants followed by a and b, as compute_raw_error does
// for the whole formula on the column path.
double composed_error(const Expression& f, ColumnValues values, const ScaledFit& fit, const SampleSet& samples,
                      const SearchConfig& config, const ScalingOps& ops, ScalingScratch& s) {
  const std::size_t n = samples.size();
  const KernelTable& table = samples.kernels();
  ColumnValues current = values;
  PenaltySums sums = penalty_sums(f);
  // `current` op c, c broadcast, into scratch step `step`; c joins the penalty.
  const auto apply = [&](std::uint64_t op, double c, std::size_t step) {
    std::fill_n(s.constant.begin(), n, c);
    const ColumnOut out = s.step(step);
    compose_binary_values(op, table, n, current, {s.constant.data(), s.zeros.data(), s.ones.data()}, out);
    current = {out.re, out.im, out.ok};
    sums.add(c);
  };
  if (scaled_has_a(fit.kind)) apply(ops.times, fit.a, 0);
  if (scaled_has_b(fit.kind)) apply(ops.plus, fit.b, 1);
  const std::span<const double> targets = samples.targets();
  const double* const weights = samples.weights();
  double sum_sq = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!current.ok[i] || !usable(current.re[i], current.im[i])) return std::numeric_limits<double>::infinity();
    const double d = current.re[i] - targets[i];
    sum_sq += weighted_square(weights, i, d);
  }
  return raw_error_from_sums(sums, sum_sq, n, config.alpha, config.l1_ratio);
}

}  // namespace

std::optional<ColumnValues> usable_column_values(const Expression& f, const SampleSet& samples) {
  ScalingScratch& s = scaling_scratch();
  s.size_for(samples.size());
  if (!evaluate_columns(f, samples, s)) return std::nullopt;
  return ColumnValues{s.f_re.data(), s.f_im.data(), s.f_ok.data()};
}

ScaledFits scaling_fits(std::span<const double> f, std::span<const double> t, const double* w) {
  if (t.size() < 2 || f.size() != t.size()) return {};
  return scaling_fits(line_sums(f, t, w, true));
}

ScaledFits scaling_fits(const LineSums& sums) {
  ScaledFits fits{};
  if (sums.count < 2.0) return fits;
  const auto [count, mf, mt, peak, sff, sft, stt, pff, pft, ptt] = sums;
  for (const double x : {mf, mt, sff, sft, stt, pff, pft, ptt}) {
    if (!std::isfinite(x)) return fits;
  }
  // f constant to round-off: a fit would scale round-off noise, and f + b
  // is a constant, which level 1 has already.
  if (!sums.f_varies()) return fits;
  const double rms_t = std::sqrt(stt / count + mt * mt);
  const auto near_one = [](double a) { return std::fabs(a - 1.0) <= kScalingTolerance; };
  const auto near_zero = [&](double b) { return std::fabs(b) <= kScalingTolerance * rms_t; };

  // The least residual of each kind from the same sums (the residual of
  // a*f + b is stt - sft^2/sff, of a*f ptt - pft^2/pff, of f + b the
  // centred sum of (t - f)^2). Both it and the composed sum round at about
  // 1e-16 of the squares of a*f, b and t per term summed; a margin of 1e-9
  // of those, growing with the count, can only make the floor lower than
  // the truth.
  const double relative_margin = 1e-9 + 1e-15 * count;
  const auto least = [&](double residual, double a, double b) {
    const double margin = relative_margin * (ptt + a * a * pff + count * b * b);
    const double floor = (residual - margin) / count;
    return std::isfinite(floor) && floor > 0.0 ? floor : 0.0;
  };
  const double scale = pft / pff;
  if (std::isfinite(scale) && scale != 0.0 && !near_one(scale)) {
    fits[0] = ScaledFit{ScaledKind::Scale, scale, 0.0, least(ptt - pft * scale, scale, 0.0)};
  }
  const double shift = mt - mf;
  if (std::isfinite(shift) && !near_zero(shift)) {
    fits[1] = ScaledFit{ScaledKind::Shift, 1.0, shift, least(stt + sff - 2.0 * sft, 1.0, shift)};
  }
  const double a = sft / sff;
  const double b = mt - a * mf;
  if (std::isfinite(a) && std::isfinite(b) && a != 0.0 && !near_one(a) && !near_zero(b)) {
    fits[2] = ScaledFit{ScaledKind::Affine, a, b, least(stt - sft * a, a, b)};
  }
  return fits;
}

std::optional<ScalingOps> ScalingOps::find(const OperatorRegistry& registry) {
  std::optional<std::uint64_t> times, plus;
  const auto& meta = registry.meta();
  for (std::uint64_t id = 0; id < meta.size(); ++id) {
    if (meta[id].arity != 2) continue;
    if (meta[id].name == "Times") times = id;
    if (meta[id].name == "Plus") plus = id;
  }
  if (!times || !plus) return std::nullopt;
  return ScalingOps{*times, *plus, meta[*times].name, meta[*plus].name};
}

namespace {

bool constant_can_be_added(const UnitSettings& units) {
  if (units.constants == ConstantUnits::Free) return true;
  return units.target && std::all_of(units.target->begin(), units.target->end(), [](std::int32_t e) { return e == 0; });
}

}  // namespace

bool scaled_fits_search(const Expression& f, ScaledKind kind, const SearchConfig& config) {
  // With units, an added constant b needs f's dimension, which is the
  // target's (rescalings are offered only for such f). A dimensionless
  // constant has it only where the target is dimensionless, a free one
  // always; otherwise only a*f, whose a changes no dimension, is offered.
  if (config.units && scaled_has_b(kind) && !constant_can_be_added(*config.units)) return false;
  const std::size_t params = (scaled_has_a(kind) ? 1 : 0) + (scaled_has_b(kind) ? 1 : 0);
  const std::size_t size = f.complexity + scaled_extra_tokens(kind);
  return size - std::min(size, config.scaling_headroom) <= config.max_complexity &&
         std::size_t{f.num_params} + params <= kMaxParams;
}

Expression scaled_expression(const Expression& f, const ScaledFit& fit, const ScalingOps& ops) {
  const auto constant = [](double value) {
    Expression c = param_leaf();
    c.tokens[0].value = {value, 0.0};
    return c;
  };
  Expression e = f;
  if (scaled_has_a(fit.kind)) e = compose_binary(ops.times, ops.times_name, e, constant(fit.a));
  if (scaled_has_b(fit.kind)) e = compose_binary(ops.plus, ops.plus_name, e, constant(fit.b));
  return e;
}

bool any_rescaling_fits(const Expression& f, const SearchConfig& config) {
  bool any = false;
  for (std::size_t k = 0; k < kScaledKinds; ++k) any = any || scaled_fits_search(f, static_cast<ScaledKind>(k), config);
  return any;
}

ScaledScores score_rescalings(const Expression& f, const SampleSet& samples, const SearchConfig& config,
                              const ScalingOps& ops, const ColumnValues* values,
                              const ScaledCeilings* ceilings, const LineSums* sums) {
  ScaledScores scores{};
  const std::size_t n = samples.size();
  if (!any_rescaling_fits(f, config) || n < 2) return scores;
  ScalingScratch& s = scaling_scratch();
  s.size_for(n);
  const bool columns = samples.column_path();
  ColumnValues f_values{};
  if (values != nullptr) {
    f_values = *values;
  } else if (columns) {
    const std::optional<ColumnValues> evaluated = usable_column_values(f, samples);
    if (!evaluated) return scores;
    f_values = *evaluated;
  } else {
    thread_local std::vector<double> re;
    if (!usable_real_parts(f, samples, re)) return scores;
    f_values.re = re.data();
  }
  const ScaledFits fits =
      sums != nullptr ? scaling_fits(*sums) : scaling_fits({f_values.re, n}, samples.targets(), samples.weights());
  // The floors bound the error only where the penalty cannot be negative.
  const bool floors_hold = config.alpha >= 0.0 && config.l1_ratio >= 0.0 && config.l1_ratio <= 1.0;
  for (std::size_t k = 0; k < kScaledKinds; ++k) {
    if (!fits[k] || !scaled_fits_search(f, fits[k]->kind, config)) continue;
    if (ceilings != nullptr && floors_hold && !(fits[k]->least_error < (*ceilings)[k])) continue;
    const double error = columns ? composed_error(f, f_values, *fits[k], samples, config, ops, s)
                                 : compute_raw_error(scaled_expression(f, *fits[k], ops), samples, config.alpha,
                                                     config.l1_ratio);
    if (std::isfinite(error)) scores[k] = ScaledScore{*fits[k], error};
  }
  return scores;
}

void offer_rescalings(const Expression& f, const SampleSet& samples, const SearchConfig& config, ParetoFront& front) {
  const std::optional<ScalingOps> ops = ScalingOps::find(samples.registry());
  if (!ops) return;
  const ScaledScores scores = score_rescalings(f, samples, config, *ops);
  for (const auto& score : scores) {
    if (score) update_pareto(front, scaled_expression(f, score->fit, *ops), score->error);
  }
}

}  // namespace vok
