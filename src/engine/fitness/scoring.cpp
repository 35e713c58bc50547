// Errors, scores and the scoring of a level's candidates.
#include "engine/fitness/scoring.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/refine/optimizer.hpp"
#include "engine/refine/penalty.hpp"
#include "engine/refine/reference.hpp"

namespace vok {

namespace {

constexpr std::size_t kScoringIterations = 10;

// A sample's value is usable only if it exists and passes the guard.
bool usable(double re, double im) {
  return std::isfinite(re) && std::isfinite(im) && within_guard({re, im});
}

}  // namespace

namespace reference {

double compute_raw_error(const Expression& e, ComplexRows samples, std::span<const double> targets,
                         const OperatorRegistry& registry, double alpha, double l1_ratio) {
  const OperatorList ops = registry.operators();
  double sum_sq = 0.0;
  for (std::size_t k = 0; k < samples.size(); ++k) {
    const auto v = eval_row(e, samples[k], {}, ops);
    // The guard is repeated here because a bare leaf is returned unchecked.
    if (!v || !usable(v->re, v->im)) return std::numeric_limits<double>::infinity();
    const double d = v->re - targets[k];
    sum_sq += d * d;
  }
  return raw_error_from_sum(e, sum_sq, targets.size(), alpha, l1_ratio);
}

}  // namespace reference

namespace {

// The raw error from e's values on every sample; `sum_sq` receives the sum
// of the squared residuals when every sample has a usable value.
double raw_error_from_values(const Expression& e, const SampleSet& samples, ColumnValues v,
                             double alpha, double l1_ratio, std::optional<double>& sum_sq) {
  const std::span<const double> targets = samples.targets();
  const double* const weights = samples.weights();
  const std::size_t count = samples.size();
  double sum = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    if (!v.ok[i] || !usable(v.re[i], v.im[i])) return std::numeric_limits<double>::infinity();
    const double d = v.re[i] - targets[i];
    sum += weighted_square(weights, i, d);
  }
  sum_sq = sum;
  return raw_error_from_sum(e, sum, count, alpha, l1_ratio);
}

}  // namespace

double compute_raw_error(const Expression& e, const SampleSet& samples, double alpha, double l1_ratio) {
  if (!samples.column_path()) {
    return reference::compute_raw_error(e, samples.rows(), samples.targets(), samples.registry(), alpha, l1_ratio);
  }
  SampleScratch& scratch = sample_scratch();
  BlockValues& b = scratch.block;
  const std::span<const double> targets = samples.targets();
  const double* const weights = samples.weights();
  const std::size_t count = samples.size();
  double sum_sq = 0.0;
  // Blocks and lanes in sample order: the same additions as the reference,
  // and a failing block ends the work as the failing sample does there.
  for (std::size_t first = 0; first < count; first += kSampleBlock) {
    const std::size_t lanes = std::min(kSampleBlock, count - first);
    samples.eval_block(e.tokens, first, lanes, {}, scratch, b.out());
    for (std::size_t i = 0; i < lanes; ++i) {
      if (!b.ok[i] || !usable(b.re[i], b.im[i])) return std::numeric_limits<double>::infinity();
      const double d = b.re[i] - targets[first + i];
      sum_sq += weighted_square(weights, first + i, d);
    }
  }
  return raw_error_from_sum(e, sum_sq, targets.size(), alpha, l1_ratio);
}

namespace reference {

void score_and_update(const Expression& e, ComplexRows samples, std::span<const double> targets,
                      ParetoFront& front, double alpha, double l1_ratio,
                      const OperatorRegistry& registry) {
  const double error = compute_raw_error(e, samples, targets, registry, alpha, l1_ratio);
  if (std::isfinite(error)) update_pareto(front, e, error);
}

}  // namespace reference

void score_and_update(const Expression& e, const SampleSet& samples, ParetoFront& front, double alpha,
                      double l1_ratio) {
  const double error = compute_raw_error(e, samples, alpha, l1_ratio);
  if (std::isfinite(error)) update_pareto(front, e, error);
}

double penalised_score(double raw_error, std::size_t complexity, double complexity_penalty) {
  return raw_error * (static_cast<double>(complexity) * complexity_penalty + 1.0);
}

double unpenalised_error(double score, std::size_t complexity, double complexity_penalty) {
  return score / (static_cast<double>(complexity) * complexity_penalty + 1.0);
}

namespace {

// Sum of squared residuals of the least-squares line the sums describe;
// nullopt when f is constant to round-off or a sum is not finite.
std::optional<double> affine_residual(const LineSums& s) {
  if (!std::isfinite(s.sff) || !std::isfinite(s.sft) || !std::isfinite(s.stt) || !s.f_varies()) {
    return std::nullopt;
  }
  const double residual = std::max(0.0, s.stt - s.sft * (s.sft / s.sff));
  return std::isfinite(residual) ? std::optional<double>(residual) : std::nullopt;
}

template <bool Plain>
LineSums sum_line(std::span<const double> f, std::span<const double> t, const double* w) {
  const std::size_t n = t.size();
  LineSums s;
  s.count = static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = w == nullptr ? 1.0 : w[i];
    s.mf += wi * f[i];
    s.mt += wi * t[i];
    s.peak = std::max(s.peak, std::fabs(f[i]));
  }
  s.mf /= s.count;
  s.mt /= s.count;
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = w == nullptr ? 1.0 : w[i];
    const double df = f[i] - s.mf, dt = t[i] - s.mt;
    s.sff += wi * (df * df);
    s.sft += wi * (df * dt);
    s.stt += wi * (dt * dt);
    if constexpr (Plain) {
      s.pff += wi * (f[i] * f[i]);
      s.pft += wi * (f[i] * t[i]);
      s.ptt += wi * (t[i] * t[i]);
    }
  }
  return s;
}

}  // namespace

bool LineSums::f_varies() const { return std::sqrt(sff / count) > 1e-12 * peak; }

LineSums line_sums(std::span<const double> f, std::span<const double> t, const double* w, bool plain) {
  return plain ? sum_line<true>(f, t, w) : sum_line<false>(f, t, w);
}

bool usable_real_parts(const Expression& e, const SampleSet& samples, std::vector<double>& f,
                       std::span<const Complex> params, std::vector<double>* im) {
  const std::size_t count = samples.size();
  f.resize(count);
  if (im != nullptr) im->resize(count);
  if (samples.column_path()) {
    SampleScratch& scratch = sample_scratch();
    BlockValues& b = scratch.block;
    for (std::size_t first = 0; first < count; first += kSampleBlock) {
      const std::size_t lanes = std::min(kSampleBlock, count - first);
      samples.eval_block(e.tokens, first, lanes, params, scratch, b.out());
      for (std::size_t i = 0; i < lanes; ++i) {
        if (!b.ok[i] || !usable(b.re[i], b.im[i])) return false;
        if (im != nullptr) (*im)[first + i] = b.im[i];
        f[first + i] = b.re[i];
      }
    }
    return true;
  }
  const OperatorList ops = samples.registry().operators();
  for (std::size_t k = 0; k < count; ++k) {
    const auto v = eval_row(e, samples.rows()[k], params, ops);
    if (!v || !usable(v->re, v->im)) return false;
    if (im != nullptr) (*im)[k] = v->im;
    f[k] = v->re;
  }
  return true;
}

double affine_rank_score(const Expression& e, const SampleSet& samples, const SearchConfig& config,
                         double raw_score) {
  const std::size_t count = samples.size();
  // A single sample, or none, admits every line: no ranking information.
  if (count < 2) return raw_score;
  thread_local std::vector<double> f;
  if (!usable_real_parts(e, samples, f)) return raw_score;
  return affine_rank_score(e, samples, config, raw_score, f);
}

double affine_rank_score(const Expression& e, const SampleSet& samples, const SearchConfig& config,
                         double raw_score, std::span<const double> f) {
  if (samples.size() < 2) return raw_score;
  return affine_rank_score(e, samples, config, raw_score, line_sums(f, samples.targets(), samples.weights(), false));
}

double affine_rank_score(const Expression& e, const SampleSet& samples, const SearchConfig& config,
                         double raw_score, const LineSums& sums) {
  const std::size_t count = samples.size();
  if (count < 2) return raw_score;
  const auto residual = affine_residual(sums);
  if (!residual) return raw_score;
  // Only the sum of squares changes: the penalty on e's own constants stays.
  const double error = raw_error_from_sum(e, *residual, count, config.alpha, config.l1_ratio);
  return penalised_score(error, e.complexity, config.complexity_penalty);
}

namespace {

// Both thresholds of the screen against one error: its penalised rank (the
// rank a candidate with this error has) and the error itself.
bool far_behind(const Expression& e, double rank_error, double error, double factor, const SearchConfig& config,
                const LevelScreen& screen) {
  const double rank = penalised_score(rank_error, e.complexity, config.complexity_penalty);
  return rank > factor * screen.rank && error > factor * screen.error;
}

// A column whose part outside the span of the earlier ones is below this
// fraction of its own norm adds nothing the fit can trust: the moved
// columns' differences carry rounding of about 1e-16 / kJacobianStep.
constexpr double kDependent = 1e-8;

// The weighted residual sum of squares of the least-squares fit of t by
// f + sum_j c_j*(moved_j - f), the first step's model, or with `rescaled`
// by b + a*f + sum_j c_j*(moved_j - f), that model under a free scale and
// offset; by modified Gram-Schmidt (the differences are tiny and nearly
// parallel to f, which normal equations would not survive). The caller
// has checked that every moved value is finite.
double linearized_residual(std::span<const double> f, std::span<const std::span<const double>> moved,
                           std::span<const double> t, const double* w, bool rescaled) {
  const std::size_t n = t.size();
  thread_local std::vector<double> basis, r;
  basis.assign((moved.size() + 2) * n, 0.0);
  r.resize(n);
  for (std::size_t i = 0; i < n; ++i) r[i] = rescaled ? t[i] : t[i] - f[i];
  std::size_t kept = 0;
  const auto offer = [&](auto value) {
    double* const q = basis.data() + kept * n;
    double norm0 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      q[i] = value(i);
      norm0 += weighted_square(w, i, q[i]);
    }
    for (std::size_t k = 0; k < kept; ++k) {
      const double* const b = basis.data() + k * n;
      double dot = 0.0;
      for (std::size_t i = 0; i < n; ++i) dot += (w == nullptr ? 1.0 : w[i]) * q[i] * b[i];
      for (std::size_t i = 0; i < n; ++i) q[i] -= dot * b[i];
    }
    double norm = 0.0;
    for (std::size_t i = 0; i < n; ++i) norm += weighted_square(w, i, q[i]);
    if (!(norm > kDependent * kDependent * norm0) || !std::isfinite(norm)) return;
    const double inv = 1.0 / std::sqrt(norm);
    double dot = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      q[i] *= inv;
      dot += (w == nullptr ? 1.0 : w[i]) * r[i] * q[i];
    }
    for (std::size_t i = 0; i < n; ++i) r[i] -= dot * q[i];
    ++kept;
  };
  if (rescaled) {
    offer([](std::size_t) { return 1.0; });
    offer([&](std::size_t i) { return f[i]; });
  }
  for (const std::span<const double> m : moved) offer([&](std::size_t i) { return m[i] - f[i]; });
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += weighted_square(w, i, r[i]);
  return sum;
}

}  // namespace

bool screen_doubts(const Expression& e, std::span<const double> f, const SampleSet& samples,
                   const SearchConfig& config, const LevelScreen& screen) {
  if (!(config.screen_factor > 0.0) || e.num_params == 0 || !config.optimize_constants) return false;
  const std::span<const double> t = samples.targets();
  const double* const w = samples.weights();
  double sum = 0.0;
  for (std::size_t i = 0; i < t.size(); ++i) sum += weighted_square(w, i, f[i] - t[i]);
  const double error = raw_error_from_sum(e, sum, t.size(), config.alpha, config.l1_ratio);
  // One affine fit serves the rank and the bound; a constant f has none of
  // its own, and its error then stands in for both, as affine_rank_score does.
  const std::optional<double> residual = t.size() >= 2 ? affine_residual(line_sums(f, t, w, false)) : std::nullopt;
  const double affine_error =
      residual ? raw_error_from_sum(e, *residual, t.size(), config.alpha, config.l1_ratio) : error;
  return far_behind(e, config.ranking == Ranking::Raw ? error : affine_error, affine_error, config.screen_factor,
                    config, screen);
}

bool screened_out(const Expression& e, std::span<const double> f, std::span<const std::span<const double>> moved,
                  const SampleSet& samples, const SearchConfig& config, const LevelScreen& screen,
                  const double* im) {
  std::span<const double> t = samples.targets();
  const double* w = samples.weights();
  // A complex start: the model on the samples where the start is real.
  thread_local std::vector<double> kept_f, kept_t, kept_w, kept_moved;
  thread_local std::vector<std::span<const double>> kept_columns;
  const bool subset = im != nullptr && std::any_of(im, im + t.size(), [](double v) { return v != 0.0; });
  if (subset) {
    // Appends the real rows of `from` to `to`.
    const auto keep = [&](std::span<const double> from, std::vector<double>& to) {
      for (std::size_t i = 0; i < t.size(); ++i) {
        if (im[i] == 0.0) to.push_back(from[i]);
      }
    };
    kept_f.clear();
    kept_t.clear();
    kept_w.clear();
    kept_moved.clear();
    keep(f, kept_f);
    keep(t, kept_t);
    if (w != nullptr) keep({w, t.size()}, kept_w);
    for (const std::span<const double> m : moved) keep(m, kept_moved);
    const std::size_t rows = kept_f.size();
    kept_columns.clear();
    for (std::size_t j = 0; j < moved.size(); ++j) kept_columns.emplace_back(kept_moved.data() + j * rows, rows);
    f = kept_f;
    t = kept_t;
    moved = kept_columns;
    if (w != nullptr) w = kept_w.data();
  }
  // Too few samples for the model to say more than the affine fit did.
  if (t.size() < moved.size() + 3) return true;
  for (const std::span<const double> m : moved) {
    if (!std::all_of(m.begin(), m.end(), [](double v) { return std::isfinite(v); })) return true;
  }
  const auto error_of = [&](bool rescaled) {
    return raw_error_from_sum(e, linearized_residual(f, moved, t, w, rescaled), t.size(), config.alpha,
                              config.l1_ratio);
  };
  // As at the start: the rescaled fit bounds the front, and under affine
  // ranking the rank too; raw ranking ranks the refined formula itself.
  const double affine_error = error_of(true);
  return far_behind(e, config.ranking == Ranking::Raw ? error_of(false) : affine_error, affine_error,
                    config.screen_factor, config, screen);
}

bool moved_real_parts(const Expression& e, const SampleSet& samples, std::size_t j, std::vector<double>& f) {
  thread_local std::vector<Complex> params;
  params.clear();
  for (const Token& t : e.tokens) {
    if (t.kind == TokenKind::Parameter) params.push_back(t.value);
  }
  if (j >= params.size()) return false;
  params[j].re += kJacobianStep;
  return usable_real_parts(e, samples, f, params);
}

namespace {

// The scoring rule, whichever evaluation path computes the two errors.
template <class RawError, class Refine>
std::optional<ScoredCandidate> score_with(Expression e, const SearchConfig& config, RawError raw_error,
                                          Refine refine) {
  double error = raw_error(e);
  if (config.optimize_constants && e.num_params != 0) {
    auto [refined, refined_error] = refine(e);
    if (error > refined_error) {
      e = std::move(refined);
      error = refined_error;
    }
  }
  if (!std::isfinite(error)) return std::nullopt;
  const double score = penalised_score(error, e.complexity, config.complexity_penalty);
  return ScoredCandidate{std::move(e), score};
}

}  // namespace

namespace reference {

std::optional<ScoredCandidate> score_candidate(Expression e, ComplexRows samples,
                                               std::span<const double> targets,
                                               const SearchConfig& config,
                                               const OperatorRegistry& registry) {
  return score_with(
      std::move(e), config,
      [&](const Expression& x) {
        return compute_raw_error(x, samples, targets, registry, config.alpha, config.l1_ratio);
      },
      [&](const Expression& x) {
        return refine_constants(x, samples, targets, config.alpha, config.l1_ratio, registry,
                                kScoringIterations, nullptr, config.refine);
      });
}

}  // namespace reference

std::optional<ScoredCandidate> score_candidate(Expression e, const SampleSet& samples,
                                               const SearchConfig& config) {
  return score_with(
      std::move(e), config,
      [&](const Expression& x) { return compute_raw_error(x, samples, config.alpha, config.l1_ratio); },
      [&](const Expression& x) {
        return refine_constants(x, samples, config.alpha, config.l1_ratio, kScoringIterations, nullptr, nullptr,
                                config.refine);
      });
}

std::optional<ScoredCandidate> score_candidate(Expression e, const SampleSet& samples,
                                               const SearchConfig& config, ColumnValues values,
                                               std::span<const ColumnValues> perturbed,
                                               std::span<const KnownSubtree> known) {
  // Every sample usable: then the refinement's first evaluation would see
  // the very same predictions and sum.
  RefineStart start;
  start.known = known;
  return score_with(
      std::move(e), config,
      [&](const Expression& x) {
        std::optional<double> sum_sq;
        const double error = raw_error_from_values(x, samples, values, config.alpha, config.l1_ratio, sum_sq);
        if (sum_sq) {
          start.predictions = values.re;
          start.sum_sq = *sum_sq;
          start.perturbed = perturbed;
        }
        return error;
      },
      [&](const Expression& x) {
        return refine_constants(x, samples, config.alpha, config.l1_ratio, kScoringIterations, &start, nullptr,
                                config.refine);
      });
}

}  // namespace vok
