#pragma once

// The complex arithmetic of the built-in operators, one lane at a time.
//
// These inline functions are the only implementation: the scalar operators
// (math::unary / math::binary) and the column kernels both call them, so the
// two paths compute bit-identical results by construction. Each function
// computes the value unconditionally; the operators that can fail also set
// `ok` to their domain test (false = "no value"), and their value is then
// meaningless. A modulus test "= 0" is true only for an exact zero (both
// parts +-0); a NaN modulus counts as non-zero.

#include <cmath>
#include <limits>

#include "core/complex.hpp"

namespace vok::math {

inline bool is_zero(Complex z) { return z.re == 0.0 && z.im == 0.0; }

// Real operands (imaginary part +-0) are the common case on real data. The
// shortcuts below return exactly what the library functions return there
// (hypot(x, +-0) = |x|, atan2(+-0, x) = +-0 or +-pi by the sign bit of x,
// cosh(+-0) = 1, sinh(+-0) = +-0, cos(+-0) = 1, sin(+-0) = +-0), so results
// are unchanged bit for bit while the costly calls are skipped.
inline constexpr double kPi = 3.141592653589793;

inline double modulus(Complex z) {
  if (z.im == 0.0) return std::fabs(z.re);
  return std::hypot(z.re, z.im);
}

inline double argument(Complex z) {
  if (z.im == 0.0 && !std::isnan(z.re)) return std::signbit(z.re) ? std::copysign(kPi, z.im) : z.im;
  return std::atan2(z.im, z.re);
}

inline Complex exp(Complex z) {
  const double x = z.re;
  const double y = z.im;
  if (std::isinf(x)) {
    if (x > 0.0) {
      if (std::isinf(y)) return {x, std::numeric_limits<double>::quiet_NaN()};
      if (y == 0.0 || std::isnan(y)) return {x, y};
    } else if (!std::isfinite(y)) {
      return {0.0, 0.0};
    }
  } else if (std::isnan(x) && y == 0.0) {
    return {x, y};
  }
  const double e = std::exp(x);
  if (y == 0.0) return {e, e * y};
  return {e * std::cos(y), e * std::sin(y)};
}

// log |z|. log(1) is +0 exactly (C99 Annex F), so a unit modulus, which
// arcsin and arccos of real arguments meet almost always, skips the call.
inline double log_modulus(Complex z) {
  const double r = modulus(z);
  return r == 1.0 ? 0.0 : std::log(r);
}

// No zero test: callers test |z| = 0 first.
inline Complex log(Complex z) { return {log_modulus(z), argument(z)}; }

inline Complex sqrt(Complex z) {
  const double x = z.re;
  const double y = z.im;
  if (y == 0.0) {
    if (!std::signbit(x)) return {std::sqrt(x), y};
    return {0.0, std::copysign(std::sqrt(-x), y)};
  }
  if (x == 0.0) {
    const double t = std::sqrt(std::fabs(y) * 0.5);
    return {t, std::copysign(t, y)};
  }
  const double r = std::sqrt(modulus(z));
  const double half = argument(z) / 2.0;
  return {r * std::cos(half), r * std::sin(half)};
}

// sin x, cos x, cosh y, sinh y: the four factors of complex sin and cos.
struct TrigFactors {
  double sin_x, cos_x, cosh_y, sinh_y;
};

inline TrigFactors trig_factors(Complex z) {
  // Both calls before the branch, so that the compiler can pair them into
  // one sincos call (which returns the same values as the two calls).
  const double sin_x = std::sin(z.re);
  const double cos_x = std::cos(z.re);
  if (z.im == 0.0) return {sin_x, cos_x, 1.0, z.im};
  return {sin_x, cos_x, std::cosh(z.im), std::sinh(z.im)};
}

inline Complex sin_from(const TrigFactors& f) { return {f.sin_x * f.cosh_y, f.cos_x * f.sinh_y}; }
inline Complex cos_from(const TrigFactors& f) { return {f.cos_x * f.cosh_y, -(f.sin_x * f.sinh_y)}; }

inline Complex sin(Complex z) { return sin_from(trig_factors(z)); }
inline Complex cos(Complex z) { return cos_from(trig_factors(z)); }

// ------------------------------------------------------------ unary lanes

// Flips the sign bits, so +0 becomes -0.
inline Complex neg(Complex z) { return {-z.re, -z.im}; }

inline Complex inv(Complex z, bool& ok) {
  ok = !is_zero(z);
  const double d = z.re * z.re + z.im * z.im;
  return {z.re / d, -z.im / d};
}

inline Complex log_checked(Complex z, bool& ok) {
  ok = !is_zero(z);
  return log(z);
}

inline Complex tan(Complex z, bool& ok) {
  // One set of factors for both: the library functions are deterministic.
  const TrigFactors f = trig_factors(z);
  const Complex s = sin_from(f);
  const Complex c = cos_from(f);
  ok = !is_zero(c);
  const double d = c.re * c.re + c.im * c.im;
  return {(s.re * c.re + s.im * c.im) / d, (s.im * c.re - s.re * c.im) / d};
}

// w = i*z + sqrt(1 - z^2), shared by ArcSin and ArcCos.
inline Complex asin_w(Complex z) {
  const double x = z.re;
  const double y = z.im;
  const Complex one_minus_sq{y * y - x * x + 1.0, -2.0 * x * y};
  const Complex root = sqrt(one_minus_sq);
  return {-y + root.re, x + root.im};
}

inline Complex arcsin(Complex z, bool& ok) {
  const Complex w = asin_w(z);
  ok = !is_zero(w);
  return {argument(w), -log_modulus(w)};
}

inline Complex arccos(Complex z, bool& ok) {
  const Complex w = asin_w(z);
  ok = !is_zero(w);
  return {1.5707963267948966 - argument(w), log_modulus(w)};
}

inline Complex arctan(Complex z, bool& ok) {
  // A finite real z = x gives 1 - u = (1, -x) and 1 + u = (1, x). atan2 is
  // odd in its first argument and hypot even in its second (glibc's are
  // sign-symmetric bit for bit), so the real part is (a - (-a)) * 0.5 = a
  // with a = atan2(x, 1) (doubling and halving are exact), and the
  // imaginary part is (L - L) * 0.5 = +0; the operands are never zero.
  if (z.im == 0.0 && std::isfinite(z.re)) {
    ok = true;
    return {std::atan2(z.re, 1.0), 0.0};
  }
  // u = i*z. The real 1 changes only the real part, so the imaginary parts
  // keep their signed zeros (-u.im by sign flip): on the branch cut the sign
  // of z's real zero then picks the side, as in C99 catan and NumPy.
  const Complex u{-z.im, z.re};
  const Complex one_minus{1.0 - u.re, -u.im};
  const Complex one_plus{1.0 + u.re, u.im};
  ok = !is_zero(one_minus) && !is_zero(one_plus);
  return {(argument(one_plus) - argument(one_minus)) * 0.5,
          (log_modulus(one_minus) - log_modulus(one_plus)) * 0.5};
}

inline Complex square(Complex z) { return {z.re * z.re - z.im * z.im, 2.0 * z.re * z.im}; }

inline Complex cube(Complex z) {
  const double s = z.re * z.re - z.im * z.im;
  const double t = 2.0 * z.re * z.im;
  return {s * z.re - t * z.im, s * z.im + t * z.re};
}

// ----------------------------------------------------------- binary lanes

inline Complex vok(Complex a, Complex b, bool& ok) {
  ok = !is_zero(b);
  const Complex e = exp(a);
  const Complex l = log(b);
  return {e.re - l.re, e.im - l.im};
}

inline Complex plus(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }

inline Complex times(Complex a, Complex b) {
  return {a.re * b.re - a.im * b.im, a.im * b.re + a.re * b.im};
}

inline Complex subtract(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }

// No scaling against overflow.
inline Complex divide(Complex a, Complex b, bool& ok) {
  ok = !is_zero(b);
  const double d = b.re * b.re + b.im * b.im;
  return {(a.re * b.re + a.im * b.im) / d, (a.im * b.re - a.re * b.im) / d};
}

}  // namespace vok::math
