// Fingerprints of expressions, saturating rounding, and the fingerprint hash.
#include "eval/signature.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "eval/eval.hpp"

namespace vok {

std::int64_t round_saturating(double v) {
  // 2^63 is exactly representable; every double below it and at or above
  // -2^63 converts without overflow, anything else would be undefined.
  constexpr double kTwo63 = 9223372036854775808.0;
  if (std::isnan(v)) return 0;
  const double r = std::round(v);
  if (r >= kTwo63) return std::numeric_limits<std::int64_t>::max();
  if (r < -kTwo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(r);
}

std::optional<Fingerprint> fingerprint_from_probe_values(std::span<const Complex, kProbeCount> values) {
  Fingerprint fp;
  for (std::size_t i = 0; i < kProbeCount; ++i) {
    // A bare variable or parameter is not guarded by the evaluator.
    if (!within_guard(values[i])) return std::nullopt;
    fp.values[2 * i] = round_saturating(values[i].re * kFingerprintScale);
    fp.values[2 * i + 1] = round_saturating(values[i].im * kFingerprintScale);
  }
  return fp;
}

std::optional<Fingerprint> fingerprint(const Expression& e, OperatorList ops) {
  const std::size_t n = e.num_vars;
  std::vector<Complex> point(n);
  std::vector<Complex> stack;
  stack.reserve(e.complexity);
  std::array<Complex, kProbeCount> values;
  for (std::size_t i = 0; i < kProbeCount; ++i) {
    for (std::size_t j = 0; j < n; ++j) point[j] = probe_point(i, j);
    const std::optional<Complex> v = eval_internal(e.tokens, point, {}, ops, stack);
    if (!v) return std::nullopt;
    values[i] = *v;
  }
  return fingerprint_from_probe_values(values);
}

std::size_t FingerprintHash::operator()(const Fingerprint& f) const noexcept {
  std::uint64_t h = 0x9e3779b97f4a7c15ULL;
  for (const std::int64_t v : f.values) h = mix64(h ^ mix64(static_cast<std::uint64_t>(v)));
  return static_cast<std::size_t>(h);
}

}  // namespace vok
