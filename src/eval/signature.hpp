#pragma once

// Fingerprints: an expression's rounded values at fixed probe points.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/expression.hpp"
#include "ops/operator.hpp"

namespace vok {

// Five (re, im) pairs of rounded probe values, stored flat: re0, im0, re1, ...
struct Fingerprint {
  std::array<std::int64_t, 10> values{};
  friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
};

inline constexpr std::array<double, 5> kProbes = {
    0.5772156649015329, 1.2824271291006226, 1.618033988749895, 0.6931471805599453,
    1.202056903159594};
inline constexpr std::size_t kProbeCount = kProbes.size();
inline constexpr double kFingerprintScale = 1e10;

// Rounds half away from zero and saturates to the int64 range (NaN is never
// passed: the probe values are checked first).
std::int64_t round_saturating(double v);

// Variable j's value at probe point i: the probe values in turn, real at
// the even points and shifted off the real axis by (j + 1) / 10 at the odd
// ones. fingerprint() and the probe columns both read this one definition,
// so that their bits agree.
inline Complex probe_point(std::size_t i, std::size_t j) {
  const bool complex_probe = (i % 2) == 1;
  return {kProbes[(i + j) % kProbeCount], complex_probe ? static_cast<double>(j + 1) * 0.1 : 0.0};
}

// The expression evaluated (with stored parameter values) at five probe
// points; nullopt when any probe has no value or leaves the guard.
[[nodiscard]] std::optional<Fingerprint> fingerprint(const Expression& e, OperatorList ops);

// The fingerprint of an expression whose values at the five probe points are
// already known (in probe order), e.g. composed from its operands' probe
// values: nullopt when any value leaves the guard, else the rounded pairs.
// fingerprint() ends in this function, so the two agree exactly.
[[nodiscard]] std::optional<Fingerprint> fingerprint_from_probe_values(std::span<const Complex, kProbeCount> values);

// The splitmix64 finaliser, a bijective 64-bit mix; the fingerprint's hash
// and the fingerprint set's digest are built from it.
constexpr std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

// The murmur3 finaliser, another bijective 64-bit mix, unrelated to mix64:
// the two chains of a 128-bit digest run one through each.
constexpr std::uint64_t mix64_murmur(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

struct FingerprintHash {
  std::size_t operator()(const Fingerprint& f) const noexcept;
};

}  // namespace vok
