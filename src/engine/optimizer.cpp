#include "engine/optimizer.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace vok {

namespace {

constexpr double kInitialDamping = 0.01;
constexpr double kDampingCeiling = 10000.0;
constexpr double kDampingFactor = 10.0;
constexpr int kRejectionsTolerated = 2;
constexpr double kStep = 1e-6;
constexpr double kRegularisation = 1e-6;
constexpr double kTolerance = 1e-9;

// Real part of the value, or 0.0 where there is none: a failed evaluation
// inside the Jacobian must not stop the step, which its error then judges.
double prediction(const Expression& e, std::span<const Complex> row, std::span<const Complex> params,
                  OperatorList ops) {
  const auto v = eval_row(e, row, params, ops);
  return v ? v->re : 0.0;
}

}  // namespace

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
  double l1 = 0.0;
  double l2 = 0.0;
  for (double p : params) {
    l1 += std::fabs(p);
    l2 += p * p;
  }
  for (const Token& t : e.tokens) {
    if (t.kind != TokenKind::Literal) continue;
    l1 += std::fabs(t.value.re);
    l2 += t.value.re * t.value.re;
  }
  return sum_sq / static_cast<double>(samples.size()) +
         alpha * (l1_ratio * l1 + 0.5 * (1.0 - l1_ratio) * l2);
}

std::pair<Expression, double> refine_constants(const Expression& e, ComplexRows samples,
                                               std::span<const double> targets, double alpha,
                                               double l1_ratio, const OperatorRegistry& registry,
                                               std::size_t max_iterations) {
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
  const OperatorList ops = registry.operators();
  const std::size_t n = p.size();
  double current = compute_error_with_params(work, p, samples, targets, alpha, l1_ratio, registry);
  double lambda = kInitialDamping;
  int rejections = 0;

  // Buffers reused by every iteration and sample.
  std::vector<Complex> trial(n);
  std::vector<double> h(n);
  std::vector<double> g(n);
  std::vector<double> next(n);

  for (std::size_t iteration = 0; iteration < max_iterations; ++iteration) {
    if (lambda > kDampingCeiling) break;
    for (std::size_t j = 0; j < n; ++j) {
      trial[j] = {p[j], 0.0};
      h[j] = 0.0;
      g[j] = 0.0;
    }
    for (std::size_t k = 0; k < targets.size(); ++k) {
      const double pred = prediction(work, samples[k], trial, ops);
      const double r = pred - targets[k];
      for (std::size_t j = 0; j < n; ++j) {
        // Perturb one entry in place and restore it exactly afterwards.
        trial[j].re = p[j] + kStep;
        const double perturbed = prediction(work, samples[k], trial, ops);
        trial[j].re = p[j];
        const double jac = (perturbed - pred) / kStep;
        h[j] += jac * jac;
        g[j] += jac * r;
      }
    }
    for (std::size_t j = 0; j < n; ++j) next[j] = p[j] - g[j] / ((h[j] + lambda) + kRegularisation);
    const double next_error =
        compute_error_with_params(work, next, samples, targets, alpha, l1_ratio, registry);
    if (next_error < current) {
      lambda = lambda / kDampingFactor;
      rejections = 0;
      p = next;
      const bool converged = std::fabs(current - next_error) < kTolerance;
      current = next_error;
      if (converged) break;
    } else {
      if (rejections >= kRejectionsTolerated) break;
      ++rejections;
      lambda = lambda * kDampingFactor;
    }
  }

  for (std::size_t j = 0; j < n; ++j) {
    Token& t = work.tokens[positions[j]];
    if (t.kind == TokenKind::Parameter) t.value = {p[j], 0.0};
  }
  return {std::move(work), current};
}

}  // namespace vok
