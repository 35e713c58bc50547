// The two ways an error is made of residuals and an elastic-net penalty, side by side.
#include "engine/refine/penalty.hpp"

#include <cmath>

namespace vok {

PenaltySums penalty_sums(const Expression& e) {
  PenaltySums sums;
  for (const Token& t : e.tokens) {
    if (t.kind != TokenKind::Literal && t.kind != TokenKind::Parameter) continue;
    sums.add(t.value.re);
  }
  return sums;
}

double raw_error_from_sums(const PenaltySums& sums, double sum_sq, std::size_t count, double alpha, double l1_ratio) {
  const double mse = sum_sq / static_cast<double>(count);
  return mse + alpha * (((1.0 - l1_ratio) * 0.5) * sums.l2 + sums.l1 * l1_ratio);
}

double raw_error_from_sum(const Expression& e, double sum_sq, std::size_t count, double alpha, double l1_ratio) {
  return raw_error_from_sums(penalty_sums(e), sum_sq, count, alpha, l1_ratio);
}

double penalty_of(const Expression& e, std::span<const double> params, double alpha, double l1_ratio) {
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
  return alpha * (l1_ratio * l1 + 0.5 * (1.0 - l1_ratio) * l2);
}

}  // namespace vok
