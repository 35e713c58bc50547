#pragma once

// The two ways an error is made of residuals and an elastic-net penalty, side by side.

#include <cmath>
#include <cstddef>
#include <span>

#include "core/expression.hpp"

namespace vok {

// The error of a candidate as scoring reports it (the raw error): the MSE
// plus alpha * (((1 - l1_ratio) * 0.5) * L2 + L1 * l1_ratio), the sums over
// the Literal and Parameter tokens' stored values in token order.
double raw_error_from_sum(const Expression& e, double sum_sq, std::size_t count, double alpha, double l1_ratio);

// The elastic-net sums of raw_error_from_sum, taken over constant values in
// token order: an expression's sums continued over constants appended
// behind its tokens are those of the longer expression, bit for bit.
struct PenaltySums {
  double l1 = 0.0;
  double l2 = 0.0;
  void add(double v) {
    l1 += std::fabs(v);
    l2 += v * v;
  }
};
// The sums over e's Literal and Parameter tokens.
PenaltySums penalty_sums(const Expression& e);
// raw_error_from_sum from the sums: raw_error_from_sum(e, ...) is
// raw_error_from_sums(penalty_sums(e), ...).
double raw_error_from_sums(const PenaltySums& sums, double sum_sq, std::size_t count, double alpha, double l1_ratio);

// The error refinement minimises at a trial parameter vector: the MSE plus
// alpha * (l1_ratio * L1 + 0.5 * (1 - l1_ratio) * L2), the sums over the
// vector first and then the Literal tokens.
//
// Why two: they weigh the same quantities but round differently (other
// order of the terms and of the products), and both are fixed by the
// results they produce: scoring's ranks candidates and is what every
// reported error is; refinement's decides which steps are taken. Merging
// them would change formulas that searches find, so they stay apart, here.
double penalty_of(const Expression& e, std::span<const double> params, double alpha, double l1_ratio);
// sum_sq / count + penalty, as refinement adds them.
inline double error_with_penalty(double sum_sq, std::size_t count, double penalty) {
  return sum_sq / static_cast<double>(count) + penalty;
}
inline double error_from_sum(const Expression& e, std::span<const double> params, double sum_sq, std::size_t count,
                             double alpha, double l1_ratio) {
  return error_with_penalty(sum_sq, count, penalty_of(e, params, alpha, l1_ratio));
}

}  // namespace vok
