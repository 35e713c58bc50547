#pragma once

// The complex value type that every evaluation computes in.

namespace vok {

// The value type of all evaluation. Real data enter with im = 0; predictions
// and errors read only the real part.
struct Complex {
  double re = 0.0;
  double im = 0.0;
};

}  // namespace vok
