#include "ops/builtin.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <utility>

namespace vok {
namespace {

using K = BuiltinKind;

constexpr std::array<OperatorFacts, kBuiltinCount> kFacts = {{
    {K::Vok, "Vok", "VOK", 2, false, {"e^{", "} - \\ln(", ")"}, {"(np.exp(", ") - np.log(", "))"}},
    {K::Neg, "Neg", "Neg", 1, false, {"(-", "", ")"}, {"(-", "", ")"}},
    {K::Inv, "Inv", "Inv", 1, false, {"\\frac{1}{", "", "}"}, {"(1/", "", ")"}},
    {K::Plus, "Plus", "Plus", 2, true, {"", " + ", ""}, {"(", ")+(", ")"}},
    {K::Times, "Times", "Times", 2, true, {"", " \\cdot ", ""}, {"(", ")*(", ")"}},
    {K::Subtract, "Subtract", "Subtract", 2, false, {"", " - ", ""}, {"(", ")-(", ")"}},
    {K::Divide, "Divide", "Divide", 2, false, {"\\frac{", "}{", "}"}, {"(", "/", ")"}},
    {K::Exp, "Exp", "Exp", 1, false, {"e^{", "", "}"}, {"np.exp(", "", ")"}},
    {K::Log, "Log", "Log", 1, false, {"\\ln(", "", ")"}, {"np.log(", "", ")"}},
    {K::Sqrt, "Sqrt", "Sqrt", 1, false, {"\\sqrt{", "", "}"}, {"np.sqrt(", "", ")"}},
    {K::Sin, "Sin", "Sin", 1, false, {"\\sin(", "", ")"}, {"np.sin(", "", ")"}},
    {K::Cos, "Cos", "Cos", 1, false, {"\\cos(", "", ")"}, {"np.cos(", "", ")"}},
    {K::Tan, "Tan", "Tan", 1, false, {"\\tan(", "", ")"}, {"np.tan(", "", ")"}},
    {K::ArcSin, "ArcSin", "ArcSin", 1, false, {"\\arcsin(", "", ")"}, {"np.arcsin(", "", ")"}},
    {K::ArcCos, "ArcCos", "ArcCos", 1, false, {"\\arccos(", "", ")"}, {"np.arccos(", "", ")"}},
    {K::ArcTan, "ArcTan", "ArcTan", 1, false, {"\\arctan(", "", ")"}, {"np.arctan(", "", ")"}},
    {K::Square, "Square", "Square", 1, false, {"{", "", "}^2"}, {"(", "", ")**2"}},
    {K::Cube, "Cube", "Cube", 1, false, {"{", "", "}^3"}, {"(", "", ")**3"}},
}};

// Each row sits at the position of its kind, so kind -> facts is an index.
constexpr bool facts_in_kind_order() {
  for (std::size_t i = 0; i < kFacts.size(); ++i) {
    if (static_cast<std::size_t>(kFacts[i].kind) != i) return false;
  }
  return true;
}
static_assert(facts_in_kind_order());

// A modulus "= 0" test: only an exact zero (both parts +-0) counts; NaN does not.
inline bool is_zero(Complex z) { return z.re == 0.0 && z.im == 0.0; }

inline double modulus(Complex z) { return std::hypot(z.re, z.im); }
inline double argument(Complex z) { return std::atan2(z.im, z.re); }

Complex tan_unchecked(Complex s, Complex c) {
  const double d = c.re * c.re + c.im * c.im;
  return {(s.re * c.re + s.im * c.im) / d, (s.im * c.re - s.re * c.im) / d};
}

// w = i*z + sqrt(1 - z^2), shared by ArcSin and ArcCos.
Complex asin_w(Complex z) {
  const double x = z.re;
  const double y = z.im;
  const Complex one_minus_sq{y * y - x * x + 1.0, -2.0 * x * y};
  const Complex root = math::sqrt(one_minus_sq);
  return {-y + root.re, x + root.im};
}

std::optional<Complex> arctan(Complex z) {
  // u = i*z. The real 1 changes only the real part, so the imaginary parts
  // keep their signed zeros (-u.im by sign flip): on the branch cut the sign
  // of z's real zero then picks the side, as in C99 catan and NumPy.
  const Complex u{-z.im, z.re};
  const Complex one_minus{1.0 - u.re, -u.im};
  if (is_zero(one_minus)) return std::nullopt;
  const Complex one_plus{1.0 + u.re, u.im};
  if (is_zero(one_plus)) return std::nullopt;
  return Complex{(argument(one_plus) - argument(one_minus)) * 0.5,
                 (std::log(modulus(one_minus)) - std::log(modulus(one_plus))) * 0.5};
}

template <BuiltinKind Kind>
class BuiltinOp final : public Operator {
 public:
  static constexpr const OperatorFacts& facts() { return kFacts[static_cast<std::size_t>(Kind)]; }
  static constexpr std::uint8_t kArity = facts().arity;

  std::string debug() const override { return std::string(facts().type_name); }
  std::string_view name() const override { return facts().name; }
  std::uint8_t arity() const override { return kArity; }
  bool is_commutative() const override { return facts().commutative; }

  std::optional<Complex> eval(std::span<const Complex> args) const override {
    // A token whose arity disagrees with the operator's is rejected rather
    // than read out of bounds.
    if (args.size() != kArity) return std::nullopt;
    if constexpr (kArity == 1) {
      return math::unary(Kind, args[0]);
    } else {
      return math::binary(Kind, args[0], args[1]);
    }
  }

  std::string to_latex(std::span<const std::string> args) const override {
    return fill(facts().latex, args);
  }
  std::string to_python(std::span<const std::string> args) const override {
    return fill(facts().python, args);
  }

 private:
  static std::string fill(const RenderTemplate& t, std::span<const std::string> args) {
    const std::string_view a = !args.empty() ? std::string_view(args[0]) : std::string_view();
    std::string out;
    if constexpr (kArity == 1) {
      out.reserve(t.prefix.size() + a.size() + t.suffix.size());
      out.append(t.prefix).append(a).append(t.suffix);
    } else {
      const std::string_view b = args.size() > 1 ? std::string_view(args[1]) : std::string_view();
      out.reserve(t.prefix.size() + a.size() + t.infix.size() + b.size() + t.suffix.size());
      out.append(t.prefix).append(a).append(t.infix).append(b).append(t.suffix);
    }
    return out;
  }
};

template <std::size_t... I>
std::vector<OperatorPtr> make_builtins(std::index_sequence<I...>) {
  return {std::make_shared<const BuiltinOp<static_cast<BuiltinKind>(I)>>()...};
}

void append_double(std::string& out, double v) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

}  // namespace

const std::array<OperatorFacts, kBuiltinCount> kBuiltinFacts = kFacts;

namespace math {

Complex exp(Complex z) {
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
  return {e * std::cos(y), e * std::sin(y)};
}

Complex log(Complex z) { return {std::log(modulus(z)), argument(z)}; }

Complex sqrt(Complex z) {
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

Complex sin(Complex z) {
  return {std::sin(z.re) * std::cosh(z.im), std::cos(z.re) * std::sinh(z.im)};
}

Complex cos(Complex z) {
  return {std::cos(z.re) * std::cosh(z.im), -(std::sin(z.re) * std::sinh(z.im))};
}

std::optional<Complex> unary(BuiltinKind kind, Complex z) {
  const double x = z.re;
  const double y = z.im;
  switch (kind) {
    case K::Neg:
      return Complex{-x, -y};
    case K::Inv: {
      if (is_zero(z)) return std::nullopt;
      const double d = x * x + y * y;
      return Complex{x / d, -y / d};
    }
    case K::Exp:
      return exp(z);
    case K::Log:
      if (is_zero(z)) return std::nullopt;
      return log(z);
    case K::Sqrt:
      return sqrt(z);
    case K::Sin:
      return sin(z);
    case K::Cos:
      return cos(z);
    case K::Tan: {
      const Complex s = sin(z);
      const Complex c = cos(z);
      if (is_zero(c)) return std::nullopt;
      return tan_unchecked(s, c);
    }
    case K::ArcSin: {
      const Complex w = asin_w(z);
      if (is_zero(w)) return std::nullopt;
      return Complex{argument(w), -std::log(modulus(w))};
    }
    case K::ArcCos: {
      const Complex w = asin_w(z);
      if (is_zero(w)) return std::nullopt;
      return Complex{1.5707963267948966 - argument(w), std::log(modulus(w))};
    }
    case K::ArcTan:
      return arctan(z);
    case K::Square:
      return Complex{x * x - y * y, 2.0 * x * y};
    case K::Cube: {
      const double s = x * x - y * y;
      const double t = 2.0 * x * y;
      return Complex{s * x - t * y, s * y + t * x};
    }
    default:
      return std::nullopt;  // not a unary kind
  }
}

std::optional<Complex> binary(BuiltinKind kind, Complex a, Complex b) {
  switch (kind) {
    case K::Vok: {
      if (is_zero(b)) return std::nullopt;
      const Complex e = exp(a);
      const Complex l = log(b);
      return Complex{e.re - l.re, e.im - l.im};
    }
    case K::Plus:
      return Complex{a.re + b.re, a.im + b.im};
    case K::Times:
      return Complex{a.re * b.re - a.im * b.im, a.im * b.re + a.re * b.im};
    case K::Subtract:
      return Complex{a.re - b.re, a.im - b.im};
    case K::Divide: {
      if (is_zero(b)) return std::nullopt;
      const double d = b.re * b.re + b.im * b.im;
      return Complex{(a.re * b.re + a.im * b.im) / d, (a.im * b.re - a.re * b.im) / d};
    }
    default:
      return std::nullopt;  // not a binary kind
  }
}

}  // namespace math

std::string ConstOp::debug() const {
  std::string out = "ConstOp { name: \"";
  out.append(name_).append("\", latex: \"").append(latex_).append("\", python: \"");
  out.append(python_).append("\", value: Complex { re: ");
  append_double(out, value_.re);
  out.append(", im: ");
  append_double(out, value_.im);
  out.append(" } }");
  return out;
}

std::vector<OperatorPtr> named_constants() {
  return {
      std::make_shared<const ConstOp>("0", "0", "0", Complex{0.0, 0.0}),
      std::make_shared<const ConstOp>("1", "1", "1", Complex{1.0, 0.0}),
      std::make_shared<const ConstOp>("I", "i", "1j", Complex{0.0, 1.0}),
      std::make_shared<const ConstOp>("Pi", "\\pi", "np.pi", Complex{3.141592653589793, 0.0}),
      std::make_shared<const ConstOp>("E", "e", "np.e", Complex{2.718281828459045, 0.0}),
  };
}

std::vector<OperatorPtr> all_builtins() {
  return make_builtins(std::make_index_sequence<kBuiltinCount>{});
}

}  // namespace vok
