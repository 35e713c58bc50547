#pragma once

// The numeric guard that every operator result must pass.

#include "core/complex.hpp"

namespace vok {

// Operator results must be finite with both parts below this magnitude.
inline constexpr double kMagnitudeLimit = 1e15;

inline bool within_guard(Complex z) {
  // Written so that NaN fails: a NaN part makes the comparison false.
  return (z.re < kMagnitudeLimit && z.re > -kMagnitudeLimit) &&
         (z.im < kMagnitudeLimit && z.im > -kMagnitudeLimit);
}

}  // namespace vok
