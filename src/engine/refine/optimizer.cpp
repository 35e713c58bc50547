// Levenberg-Marquardt refinement of an expression's fitted constants.
#include "engine/refine/optimizer.hpp"

#include "engine/refine/penalty.hpp"
#include "engine/refine/reference.hpp"
#include "engine/refine/work_program.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

namespace vok {

namespace {

// Stores the fitted values in the Parameter tokens at `positions`.
void write_parameters(Expression& e, std::span<const std::size_t> positions, std::span<const double> p) {
  for (std::size_t j = 0; j < positions.size(); ++j) {
    Token& t = e.tokens[positions[j]];
    if (t.kind == TokenKind::Parameter) t.value = {p[j], 0.0};
  }
}

constexpr double kInitialDamping = 0.01;
constexpr double kDampingCeiling = 10000.0;
constexpr double kDampingFactor = 10.0;
constexpr double kStep = kJacobianStep;
constexpr double kRegularisation = 1e-6;
constexpr double kTolerance = 1e-9;

// Real part of the value, or 0.0 where there is none: a failed evaluation
// inside the Jacobian must not stop the step, which its error then judges.
double prediction(const Expression& e, std::span<const Complex> row, std::span<const Complex> params,
                  OperatorList ops) {
  const auto v = eval_row(e, row, params, ops);
  return v ? v->re : 0.0;
}

// The column refinement's working vectors, one set per thread, so that a
// refinement allocates nothing once they have grown. Not reentrant: a
// refinement never starts another.
struct RefineBuffers {
  WorkProgramBuffers program;
  // refine_constants
  std::vector<std::size_t> positions;
  std::vector<double> p;
  std::vector<Complex> trial;
  std::vector<Complex> step;
  std::vector<double> h;
  std::vector<double> g;
  std::vector<double> next;
  std::vector<double> jac;     // coupled sums: a block's Jacobian, one row per parameter
  std::vector<double> factor;  // coupled step: the Cholesky factor
};

RefineBuffers& refine_buffers() {
  thread_local RefineBuffers buffers;
  return buffers;
}


// Adds `lanes` samples' forward-difference terms to h and g, in sample
// order: `perturbed` holds the values with one parameter moved by kStep
// (0 where there is none), `pred` those at p; each term times the sample's
// weight when `weights` is not null (the weighted least squares).
void add_jacobian_terms(ColumnValues perturbed, const double* pred, const double* targets, const double* weights,
                        std::size_t lanes, double& h, double& g) {
  double hj = h;
  double gj = g;
  for (std::size_t i = 0; i < lanes; ++i) {
    const double moved = perturbed.ok[i] ? perturbed.re[i] : 0.0;
    const double jac = (moved - pred[i]) / kStep;
    if (weights == nullptr) {
      hj += jac * jac;
      gj += jac * (pred[i] - targets[i]);
    } else {
      hj += weights[i] * (jac * jac);
      gj += weights[i] * (jac * (pred[i] - targets[i]));
    }
  }
  h = hj;
  g = gj;
}

// The coupled sums: adds `lanes` samples' terms to every entry of the
// n x n matrix h (row-major, h[j * n + l] = sum J_j J_l) and to g, each
// entry in sample order, each term times the sample's weight when
// `weights` is not null. `jac` holds the block's Jacobian, row j for
// parameter j, `stride` apart.
void add_coupled_terms(const double* jac, std::size_t stride, std::size_t n, const double* pred,
                       const double* targets, const double* weights, std::size_t lanes, double* h, double* g) {
  for (std::size_t j = 0; j < n; ++j) {
    const double* jj = jac + j * stride;
    for (std::size_t l = 0; l < n; ++l) {
      const double* jl = jac + l * stride;
      double s = h[j * n + l];
      if (weights == nullptr) {
        for (std::size_t i = 0; i < lanes; ++i) s += jj[i] * jl[i];
      } else {
        for (std::size_t i = 0; i < lanes; ++i) s += weights[i] * (jj[i] * jl[i]);
      }
      h[j * n + l] = s;
    }
    double s = g[j];
    if (weights == nullptr) {
      for (std::size_t i = 0; i < lanes; ++i) s += jj[i] * (pred[i] - targets[i]);
    } else {
      for (std::size_t i = 0; i < lanes; ++i) s += weights[i] * (jj[i] * (pred[i] - targets[i]));
    }
    g[j] = s;
  }
}

// One coupled damped step: solves (H + (lambda + kRegularisation) on the
// diagonal) d = g by Cholesky into next = p - d. False, with `next`
// unspecified, where that matrix is not positive definite to working
// precision (a zero or NaN pivot): the caller then takes the diagonal step.
bool coupled_step(const std::vector<double>& p, const std::vector<double>& h, const std::vector<double>& g,
                  double lambda, std::vector<double>& factor, std::vector<double>& next) {
  const std::size_t n = p.size();
  factor.assign(h.begin(), h.begin() + static_cast<std::ptrdiff_t>(n * n));
  for (std::size_t j = 0; j < n; ++j) factor[j * n + j] = (h[j * n + j] + lambda) + kRegularisation;
  for (std::size_t j = 0; j < n; ++j) {
    double d = factor[j * n + j];
    for (std::size_t k = 0; k < j; ++k) d -= factor[j * n + k] * factor[j * n + k];
    if (!(d > 0.0) || !std::isfinite(d)) return false;
    const double root = std::sqrt(d);
    factor[j * n + j] = root;
    for (std::size_t i = j + 1; i < n; ++i) {
      double s = factor[i * n + j];
      for (std::size_t k = 0; k < j; ++k) s -= factor[i * n + k] * factor[j * n + k];
      factor[i * n + j] = s / root;
    }
  }
  // L y = g, then L^T d = y, in `next`; then next = p - d.
  for (std::size_t i = 0; i < n; ++i) {
    double s = g[i];
    for (std::size_t k = 0; k < i; ++k) s -= factor[i * n + k] * next[k];
    next[i] = s / factor[i * n + i];
  }
  for (std::size_t i = n; i-- > 0;) {
    double s = next[i];
    for (std::size_t k = i + 1; k < n; ++k) s -= factor[k * n + i] * next[k];
    next[i] = s / factor[i * n + i];
  }
  for (std::size_t j = 0; j < n; ++j) {
    next[j] = p[j] - next[j];
    if (!std::isfinite(next[j])) return false;
  }
  return true;
}

// compute_error_with_params on the column path. `complex_params` is the
// caller's buffer for the parameter vector. When `predictions` is given it
// receives the real part of every sample evaluated; `complete` tells whether
// that is every sample (the error is +inf otherwise, or when abandoned).
//
// With `abandon_at`, the caller only asks whether the error is below it (a
// trial step of refinement, rejected unless its error is strictly below the
// current one): the evaluation stops after the first block whose partial
// error is not below it, and returns that partial error. Exact: every term
// d * d is non-negative (or NaN), so the rounded partial sums never
// decrease, and dividing by the count and adding the fixed penalty keep
// that order; so the full error would be no smaller and the step is
// rejected either way. A NaN anywhere (a term or the penalty) makes the
// partial and the full error NaN, which is never below anything; a failing
// sample gives +inf, also never below. A rejected step's error is not used
// otherwise, and its predictions are marked stale by the caller.
double column_error(const Expression& e, std::span<const double> params,
                    std::vector<Complex>& complex_params, const SampleSet& samples,
                    SampleScratch& scratch, double alpha, double l1_ratio, double* predictions,
                    bool& complete, const WorkProgram* program = nullptr,
                    std::optional<double> abandon_at = std::nullopt) {
  complex_params.resize(params.size());
  for (std::size_t j = 0; j < params.size(); ++j) complex_params[j] = {params[j], 0.0};
  BlockValues& b = scratch.block;
  const std::span<const double> targets = samples.targets();
  const double* const weights = samples.weights();
  const std::size_t count = samples.size();
  const double penalty = penalty_of(e, params, alpha, l1_ratio);
  double sum_sq = 0.0;
  complete = false;
  // Sample order, as the reference adds them; a block with a failing sample
  // ends the work as that sample does there.
  for (std::size_t first = 0; first < count; first += kSampleBlock) {
    const std::size_t lanes = std::min(kSampleBlock, count - first);
    if (program != nullptr) {
      program->eval(first, lanes, complex_params, b.out());
    } else {
      samples.eval_block(e.tokens, first, lanes, complex_params, scratch, b.out());
    }
    for (std::size_t i = 0; i < lanes; ++i) {
      if (!b.ok[i]) return std::numeric_limits<double>::infinity();
      const double d = b.re[i] - targets[first + i];
      sum_sq += weighted_square(weights, first + i, d);
    }
    if (predictions != nullptr) std::copy(b.re.begin(), b.re.begin() + lanes, predictions + first);
    if (abandon_at && first + lanes < count) {
      const double partial = error_with_penalty(sum_sq, count, penalty);
      if (!(partial < *abandon_at)) return partial;
    }
  }
  complete = true;
  return error_with_penalty(sum_sq, count, penalty);
}

}  // namespace

namespace reference {

double compute_error_with_params(const Expression& e, std::span<const double> params,
                                 ComplexRows samples, std::span<const double> targets, double alpha,
                                 double l1_ratio, const OperatorRegistry& registry) {
  std::vector<Complex> complex_params(params.size());
  for (std::size_t j = 0; j < params.size(); ++j) complex_params[j] = {params[j], 0.0};
  const OperatorList ops = registry.operators();
  double sum_sq = 0.0;
  for (std::size_t k = 0; k < samples.size(); ++k) {
    const auto v = eval_row(e, samples[k], complex_params, ops);
    if (!v) return std::numeric_limits<double>::infinity();
    const double d = v->re - targets[k];
    sum_sq += d * d;
  }
  return error_from_sum(e, params, sum_sq, samples.size(), alpha, l1_ratio);
}

}  // namespace reference

double compute_error_with_params(const Expression& e, std::span<const double> params,
                                 const SampleSet& samples, double alpha, double l1_ratio) {
  if (!samples.column_path()) {
    return reference::compute_error_with_params(e, params, samples.rows(), samples.targets(), alpha, l1_ratio,
                                     samples.registry());
  }
  SampleScratch& scratch = sample_scratch();
  bool complete = false;
  return column_error(e, params, scratch.params, samples, scratch, alpha, l1_ratio, nullptr, complete);
}

namespace {

// The Levenberg-Marquardt control loop of refinement, the one both
// evaluation paths run: diagonal damping, at most policy.rejections
// rejections in a row, a stop at the damping ceiling or when an accepted
// step improves the error by less than kTolerance. `path` supplies
//   sums(p, h, g)         the Jacobian's sums at p (h[j] = sum J_j^2,
//                         g[j] = sum J_j * r), each in sample order; with
//                         policy.coupled h is the whole n x n J^T J;
//   error(next, current)  the error at a trial vector, which may stop early
//                         once it is certain not to be below `current`;
//   accepted() / rejected()  what became of that trial;
//   has_sums()            whether the sums at the starting vector are known.
// The sums depend on p alone, so after a rejected step they are reused.
// `should_stop` (when given) may end the loop before any iteration.
// Returns the error at the final p.
template <class Path>
double levenberg_marquardt(std::vector<double>& p, double current, std::size_t max_iterations, Path& path,
                           std::vector<double>& h, std::vector<double>& g, std::vector<double>& next,
                           const std::function<bool()>* should_stop, RefinePolicy policy,
                           std::vector<double>& factor) {
  const std::size_t n = p.size();
  const bool coupled = policy.coupled && n > 1;
  h.resize(coupled ? n * n : n);
  g.resize(n);
  next.resize(n);
  bool sums_at_p = path.has_sums();
  double lambda = kInitialDamping;
  int rejections = 0;
  for (std::size_t iteration = 0; iteration < max_iterations; ++iteration) {
    if (lambda > kDampingCeiling) break;
    if (should_stop != nullptr && (*should_stop)()) break;
    if (!sums_at_p) {
      path.sums(p, h, g);
      sums_at_p = true;
    }
    if (!coupled || !coupled_step(p, h, g, lambda, factor, next)) {
      const std::size_t diagonal = coupled ? n + 1 : 1;
      for (std::size_t j = 0; j < n; ++j) next[j] = p[j] - g[j] / ((h[j * diagonal] + lambda) + kRegularisation);
    }
    const double next_error = path.error(next, current);
    if (next_error < current) {
      path.accepted();
      lambda = lambda / kDampingFactor;
      rejections = 0;
      p = next;
      sums_at_p = false;
      const bool converged = std::fabs(current - next_error) < kTolerance;
      current = next_error;
      if (converged) break;
    } else {
      path.rejected();
      if (rejections >= policy.rejections) break;
      ++rejections;
      lambda = lambda * kDampingFactor;
    }
  }
  return current;
}

// The per-sample reference: every value from the stack machine, one
// sample at a time.
class SamplePath {
 public:
  SamplePath(const Expression& e, ComplexRows samples, std::span<const double> targets, double alpha,
             double l1_ratio, const OperatorRegistry& registry, bool coupled)
      : e_(e), samples_(samples), targets_(targets), alpha_(alpha), l1_ratio_(l1_ratio), registry_(registry),
        ops_(registry.operators()), coupled_(coupled) {}

  bool has_sums() const { return false; }
  void sums(const std::vector<double>& p, std::vector<double>& h, std::vector<double>& g) {
    const std::size_t n = p.size();
    trial_.resize(n);
    std::fill(h.begin(), h.end(), 0.0);
    for (std::size_t j = 0; j < n; ++j) {
      trial_[j] = {p[j], 0.0};
      g[j] = 0.0;
    }
    if (coupled_ && n > 1) {
      jac_.resize(n);
      for (std::size_t k = 0; k < targets_.size(); ++k) {
        const double pred = prediction(e_, samples_[k], trial_, ops_);
        for (std::size_t j = 0; j < n; ++j) {
          trial_[j].re = p[j] + kStep;
          jac_[j] = (prediction(e_, samples_[k], trial_, ops_) - pred) / kStep;
          trial_[j].re = p[j];
        }
        add_coupled_terms(jac_.data(), 1, n, &pred, &targets_[k], nullptr, 1, h.data(), g.data());
      }
      return;
    }
    for (std::size_t k = 0; k < targets_.size(); ++k) {
      const double pred = prediction(e_, samples_[k], trial_, ops_);
      const double r = pred - targets_[k];
      for (std::size_t j = 0; j < n; ++j) {
        // Perturb one entry in place and restore it exactly afterwards.
        trial_[j].re = p[j] + kStep;
        const double perturbed = prediction(e_, samples_[k], trial_, ops_);
        trial_[j].re = p[j];
        const double jac = (perturbed - pred) / kStep;
        h[j] += jac * jac;
        g[j] += jac * r;
      }
    }
  }
  double error(const std::vector<double>& next, double) const {
    return reference::compute_error_with_params(e_, next, samples_, targets_, alpha_, l1_ratio_, registry_);
  }
  void accepted() {}
  void rejected() {}

 private:
  const Expression& e_;
  ComplexRows samples_;
  std::span<const double> targets_;
  double alpha_;
  double l1_ratio_;
  const OperatorRegistry& registry_;
  OperatorList ops_;
  bool coupled_;
  std::vector<Complex> trial_;
  std::vector<double> jac_;
};

// The column path: blocks of samples through the work program, the
// predictions at p kept from the error evaluation that accepted p, and a
// rejected trial abandoned at the first block that proves it.
class ColumnPath {
 public:
  ColumnPath(const Expression& work, const SampleSet& samples, const WorkProgram& program, SampleScratch& scratch,
             RefineBuffers& buffers, double* pred, double alpha, double l1_ratio, bool predictions_at_p,
             bool sums_known)
      : work_(work), samples_(samples), program_(program), scratch_(scratch), buffers_(buffers), pred_(pred),
        alpha_(alpha), l1_ratio_(l1_ratio), predictions_at_p_(predictions_at_p), sums_known_(sums_known) {}

  bool has_sums() const { return sums_known_; }
  void sums(const std::vector<double>& p, std::vector<double>& h, std::vector<double>& g) {
    const std::size_t n = p.size();
    const std::size_t count = samples_.size();
    const std::span<const double> targets = samples_.targets();
    std::vector<Complex>& trial = buffers_.trial;
    BlockValues& b = scratch_.block;
    trial.resize(n);
    std::fill(h.begin(), h.end(), 0.0);
    for (std::size_t j = 0; j < n; ++j) {
      trial[j] = {p[j], 0.0};
      g[j] = 0.0;
    }
    const bool coupled = h.size() != n;
    if (coupled) buffers_.jac.resize(n * kSampleBlock);
    // Block by block in sample order; each entry of h and g still adds its
    // samples in ascending order, as the reference does.
    for (std::size_t first = 0; first < count; first += kSampleBlock) {
      const std::size_t lanes = std::min(kSampleBlock, count - first);
      double* const pr = pred_ + first;
      if (!predictions_at_p_) {
        program_.eval(first, lanes, trial, b.out());
        for (std::size_t i = 0; i < lanes; ++i) pr[i] = b.ok[i] ? b.re[i] : 0.0;
      }
      const double* const t = targets.data() + first;
      const double* const w = samples_.weights() == nullptr ? nullptr : samples_.weights() + first;
      for (std::size_t j = 0; j < n; ++j) {
        trial[j].re = p[j] + kStep;
        program_.eval(first, lanes, trial, b.out());
        trial[j].re = p[j];
        if (!coupled) {
          add_jacobian_terms({b.re.data(), b.im.data(), b.ok.data()}, pr, t, w, lanes, h[j], g[j]);
          continue;
        }
        double* const row = buffers_.jac.data() + j * kSampleBlock;
        for (std::size_t i = 0; i < lanes; ++i) row[i] = ((b.ok[i] ? b.re[i] : 0.0) - pr[i]) / kStep;
      }
      if (coupled) add_coupled_terms(buffers_.jac.data(), kSampleBlock, n, pr, t, w, lanes, h.data(), g.data());
    }
    predictions_at_p_ = true;
  }
  double error(const std::vector<double>& next, double current) {
    return column_error(work_, next, buffers_.step, samples_, scratch_, alpha_, l1_ratio_, pred_, complete_,
                        &program_, current);
  }
  // Accepted: the error was finite, so every prediction at p' is in.
  void accepted() { predictions_at_p_ = complete_; }
  // The trial's evaluation overwrote the predictions; the sums stay valid.
  void rejected() { predictions_at_p_ = false; }

 private:
  const Expression& work_;
  const SampleSet& samples_;
  const WorkProgram& program_;
  SampleScratch& scratch_;
  RefineBuffers& buffers_;
  double* pred_;
  double alpha_;
  double l1_ratio_;
  bool predictions_at_p_;
  bool sums_known_;
  bool complete_ = false;
};

}  // namespace

namespace reference {

std::pair<Expression, double> refine_constants(const Expression& e, ComplexRows samples,
                                               std::span<const double> targets, double alpha,
                                               double l1_ratio, const OperatorRegistry& registry,
                                               std::size_t max_iterations,
                                               const std::function<bool()>* should_stop, RefinePolicy policy) {
  std::vector<std::size_t> positions;
  std::vector<double> p;
  for (std::size_t i = 0; i < e.tokens.size(); ++i) {
    if (e.tokens[i].kind != TokenKind::Parameter) continue;
    positions.push_back(i);
    p.push_back(e.tokens[i].value.re);
  }
  if (p.empty()) {
    // With no parameter vector the stored values are used: the plain error.
    return {e, compute_error_with_params(e, {}, samples, targets, alpha, l1_ratio, registry)};
  }
  Expression work = e;
  SamplePath path(work, samples, targets, alpha, l1_ratio, registry, policy.coupled);
  std::vector<double> h, g, next, factor;
  const double start = compute_error_with_params(work, p, samples, targets, alpha, l1_ratio, registry);
  const double error = levenberg_marquardt(p, start, max_iterations, path, h, g, next, should_stop, policy, factor);
  write_parameters(work, positions, p);
  return {std::move(work), error};
}

}  // namespace reference

std::pair<Expression, double> refine_constants(const Expression& e, const SampleSet& samples,
                                               double alpha, double l1_ratio,
                                               std::size_t max_iterations, const RefineStart* start,
                                               const std::function<bool()>* should_stop, RefinePolicy policy) {
  if (!samples.column_path()) {
    return reference::refine_constants(e, samples.rows(), samples.targets(), alpha, l1_ratio, samples.registry(),
                            max_iterations, should_stop, policy);
  }
  RefineBuffers& buffers = refine_buffers();
  std::vector<std::size_t>& positions = buffers.positions;
  std::vector<double>& p = buffers.p;
  positions.clear();
  p.clear();
  // `start` can stand for the first evaluation only where the stored values
  // are the starting vector.
  const bool start_applies = start != nullptr && start->predictions != nullptr && parameters_in_order(e);
  for (std::size_t i = 0; i < e.tokens.size(); ++i) {
    const Token& t = e.tokens[i];
    if (t.kind != TokenKind::Parameter) continue;
    positions.push_back(i);
    p.push_back(t.value.re);
  }
  if (p.empty()) return {e, compute_error_with_params(e, {}, samples, alpha, l1_ratio)};

  Expression work = e;
  const std::size_t n = p.size();
  const std::size_t count = samples.size();
  const std::span<const double> targets = samples.targets();
  SampleScratch& scratch = sample_scratch();
  if (scratch.predictions.size() < count) scratch.predictions.resize(count);
  double* const pred = scratch.predictions.data();
  const WorkProgram program(work, samples, scratch, buffers.program,
                            start != nullptr ? start->known : std::span<const KnownSubtree>{});
  std::vector<double>& h = buffers.h;
  std::vector<double>& g = buffers.g;
  const bool coupled = policy.coupled && n > 1;
  h.resize(coupled ? n * n : n);
  g.resize(n);

  // The predictions at p are those of the error evaluation that accepted p,
  // when it reached every sample (a finite error always does; only an
  // infinite starting error may not).
  bool predictions_at_p = false;
  double current = 0.0;
  if (start_applies) {
    std::copy(start->predictions, start->predictions + count, pred);
    predictions_at_p = true;
    current = error_from_sum(work, p, start->sum_sq, count, alpha, l1_ratio);
  } else {
    current = column_error(work, p, buffers.step, samples, scratch, alpha, l1_ratio, pred, predictions_at_p,
                           &program);
  }
  bool sums_at_p = false;
  if (start_applies && start->perturbed.size() == n) {
    // The first Jacobian from the given columns. Each sum adds its samples
    // in ascending order, as the block loop does.
    std::fill(h.begin(), h.end(), 0.0);
    std::fill(g.begin(), g.end(), 0.0);
    if (coupled) {
      buffers.jac.resize(n * count);
      for (std::size_t j = 0; j < n; ++j) {
        const ColumnValues moved = start->perturbed[j];
        double* const row = buffers.jac.data() + j * count;
        for (std::size_t i = 0; i < count; ++i) row[i] = ((moved.ok[i] ? moved.re[i] : 0.0) - pred[i]) / kStep;
      }
      add_coupled_terms(buffers.jac.data(), count, n, pred, targets.data(), samples.weights(), count, h.data(),
                        g.data());
    } else {
      for (std::size_t j = 0; j < n; ++j) {
        add_jacobian_terms(start->perturbed[j], pred, targets.data(), samples.weights(), count, h[j], g[j]);
      }
    }
    sums_at_p = true;
  }
  ColumnPath path(work, samples, program, scratch, buffers, pred, alpha, l1_ratio, predictions_at_p, sums_at_p);
  current = levenberg_marquardt(p, current, max_iterations, path, h, g, buffers.next, should_stop, policy,
                                buffers.factor);
  write_parameters(work, positions, p);
  return {std::move(work), current};
}

}  // namespace vok
