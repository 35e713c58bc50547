// The table of built-in operators, their arithmetic and column kernels.
#include "ops/builtin.hpp"

#include <cassert>
#include <charconv>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "core/guard.hpp"

namespace vok {
namespace {

using K = BuiltinKind;

using B = Binding;
// Grouping: Python's templates parenthesise every operand except under Neg,
// Inv and Divide, whose operands are grouped when they are bare infix
// (a sum, difference or product). LaTeX's templates leave sums bare, so a
// sum is grouped under a product, as a subtrahend, under a negation and
// under a power, and a product under a power too.
constexpr std::array<Binding, 2> kNone = {B::Never, B::Never};
constexpr std::array<Binding, 2> kProducts = {B::Product, B::Product};
constexpr std::array<Binding, 2> kSums = {B::Sum, B::Sum};
constexpr std::array<Binding, 2> kSubtrahend = {B::Never, B::Sum};

constexpr std::array<OperatorFacts, kBuiltinCount> kFacts = {{
    {K::Vok, "Vok", "VOK", 2, false, {"e^{", "} - \\ln(", ")", B::Sum, kNone},
     {"(np.exp(", ") - np.log(", "))", B::Closed, kNone}},
    {K::Neg, "Neg", "Neg", 1, false, {"(-", "", ")", B::Closed, kSums}, {"(-", "", ")", B::Closed, kProducts}},
    {K::Inv, "Inv", "Inv", 1, false, {"\\frac{1}{", "", "}", B::Closed, kNone},
     {"(1/", "", ")", B::Closed, kProducts}},
    {K::Plus, "Plus", "Plus", 2, true, {"", " + ", "", B::Sum, kNone}, {"(", ")+(", ")", B::Sum, kNone}},
    {K::Times, "Times", "Times", 2, true, {"", " \\cdot ", "", B::Product, kSums},
     {"(", ")*(", ")", B::Product, kNone}},
    {K::Subtract, "Subtract", "Subtract", 2, false, {"", " - ", "", B::Sum, kSubtrahend},
     {"(", ")-(", ")", B::Sum, kNone}},
    {K::Divide, "Divide", "Divide", 2, false, {"\\frac{", "}{", "}", B::Closed, kNone},
     {"(", "/", ")", B::Closed, kProducts}},
    {K::Exp, "Exp", "Exp", 1, false, {"e^{", "", "}"}, {"np.exp(", "", ")"}},
    {K::Log, "Log", "Log", 1, false, {"\\ln(", "", ")"}, {"np.log(", "", ")"}},
    {K::Sqrt, "Sqrt", "Sqrt", 1, false, {"\\sqrt{", "", "}"}, {"np.sqrt(", "", ")"}},
    {K::Sin, "Sin", "Sin", 1, false, {"\\sin(", "", ")"}, {"np.sin(", "", ")"}},
    {K::Cos, "Cos", "Cos", 1, false, {"\\cos(", "", ")"}, {"np.cos(", "", ")"}},
    {K::Tan, "Tan", "Tan", 1, false, {"\\tan(", "", ")"}, {"np.tan(", "", ")"}},
    {K::ArcSin, "ArcSin", "ArcSin", 1, false, {"\\arcsin(", "", ")"}, {"np.arcsin(", "", ")"}},
    {K::ArcCos, "ArcCos", "ArcCos", 1, false, {"\\arccos(", "", ")"}, {"np.arccos(", "", ")"}},
    {K::ArcTan, "ArcTan", "ArcTan", 1, false, {"\\arctan(", "", ")"}, {"np.arctan(", "", ")"}},
    {K::Square, "Square", "Square", 1, false, {"{", "", "}^2", B::Closed, kProducts},
     {"(", "", ")**2"}},
    {K::Cube, "Cube", "Cube", 1, false, {"{", "", "}^3", B::Closed, kProducts}, {"(", "", ")**3"}},
}};

// Each row sits at the position of its kind, so kind -> facts is an index.
constexpr bool facts_in_kind_order() {
  for (std::size_t i = 0; i < kFacts.size(); ++i) {
    if (static_cast<std::size_t>(kFacts[i].kind) != i) return false;
  }
  return true;
}
static_assert(facts_in_kind_order());

template <BuiltinKind Kind>
class BuiltinOp final : public BuiltinOperator {
 public:
  BuiltinOp() : BuiltinOperator(Kind) {}

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
namespace {
// Runs a lane function that can fail; `ok` is read only after the call
// (argument evaluation order would not guarantee that).
template <class F>
inline std::optional<Complex> checked(F f) {
  bool ok = true;
  const Complex r = f(ok);
  if (!ok) return std::nullopt;
  return r;
}
}  // namespace

std::optional<Complex> unary(BuiltinKind kind, Complex z) {
  switch (kind) {
    case K::Neg: return neg(z);
    case K::Inv: return checked([&](bool& ok) { return inv(z, ok); });
    case K::Exp: return exp(z);
    case K::Log: return checked([&](bool& ok) { return log_checked(z, ok); });
    case K::Sqrt: return sqrt(z);
    case K::Sin: return sin(z);
    case K::Cos: return cos(z);
    case K::Tan: return checked([&](bool& ok) { return tan(z, ok); });
    case K::ArcSin: return checked([&](bool& ok) { return arcsin(z, ok); });
    case K::ArcCos: return checked([&](bool& ok) { return arccos(z, ok); });
    case K::ArcTan: return checked([&](bool& ok) { return arctan(z, ok); });
    case K::Square: return square(z);
    case K::Cube: return cube(z);
    default: return std::nullopt;  // not a unary kind
  }
}

std::optional<Complex> binary(BuiltinKind kind, Complex a, Complex b) {
  switch (kind) {
    case K::Vok: return checked([&](bool& ok) { return vok(a, b, ok); });
    case K::Plus: return plus(a, b);
    case K::Times: return times(a, b);
    case K::Subtract: return subtract(a, b);
    case K::Divide: return checked([&](bool& ok) { return divide(a, b, ok); });
    default: return std::nullopt;  // not a binary kind
  }
}

}  // namespace math

namespace {

// The column kernels' precondition: an output column is the very operand
// column (in place) or shares no element with it. Lane i reads its operands
// before it writes, so only a shifted overlap reads a lane already written.
[[maybe_unused]] bool in_place_or_apart(const double* in, const double* out, std::size_t n) {
  const std::less<const double*> before;
  return in == out || !before(in, out + n) || !before(out, in + n);
}

// One loop per kind: `f` is inlined into it, so the loop body is the lane
// arithmetic itself with no call or switch per lane.
template <class F>
void unary_loop(std::size_t n, const double* re, const double* im, double* out_re, double* out_im,
                std::uint8_t* ok, F f) {
  for (std::size_t i = 0; i < n; ++i) {
    bool defined = true;
    const Complex r = f(Complex{re[i], im[i]}, defined);
    out_re[i] = r.re;
    out_im[i] = r.im;
    ok[i] = static_cast<std::uint8_t>(ok[i] & static_cast<std::uint8_t>(defined && within_guard(r)));
  }
}

template <class F>
void binary_loop(std::size_t n, const double* a_re, const double* a_im, const double* b_re,
                 const double* b_im, double* out_re, double* out_im, std::uint8_t* ok, F f) {
  for (std::size_t i = 0; i < n; ++i) {
    bool defined = true;
    const Complex r = f(Complex{a_re[i], a_im[i]}, Complex{b_re[i], b_im[i]}, defined);
    out_re[i] = r.re;
    out_im[i] = r.im;
    ok[i] = static_cast<std::uint8_t>(ok[i] & static_cast<std::uint8_t>(defined && within_guard(r)));
  }
}

}  // namespace

bool unary_column(BuiltinKind kind, std::size_t n, const double* re, const double* im, double* out_re,
                  double* out_im, std::uint8_t* ok) {
  assert(in_place_or_apart(re, out_re, n) && in_place_or_apart(im, out_im, n));
  assert(in_place_or_apart(re, out_im, n) && in_place_or_apart(im, out_re, n));
  using namespace math;
  const auto run = [&](auto f) { unary_loop(n, re, im, out_re, out_im, ok, f); };
  switch (kind) {
    case K::Neg: run([](Complex z, bool&) { return neg(z); }); return true;
    case K::Inv: run([](Complex z, bool& d) { return inv(z, d); }); return true;
    case K::Exp: run([](Complex z, bool&) { return math::exp(z); }); return true;
    case K::Log: run([](Complex z, bool& d) { return log_checked(z, d); }); return true;
    case K::Sqrt: run([](Complex z, bool&) { return math::sqrt(z); }); return true;
    case K::Sin: run([](Complex z, bool&) { return math::sin(z); }); return true;
    case K::Cos: run([](Complex z, bool&) { return math::cos(z); }); return true;
    case K::Tan: run([](Complex z, bool& d) { return math::tan(z, d); }); return true;
    case K::ArcSin: run([](Complex z, bool& d) { return arcsin(z, d); }); return true;
    case K::ArcCos: run([](Complex z, bool& d) { return arccos(z, d); }); return true;
    case K::ArcTan: run([](Complex z, bool& d) { return arctan(z, d); }); return true;
    case K::Square: run([](Complex z, bool&) { return square(z); }); return true;
    case K::Cube: run([](Complex z, bool&) { return cube(z); }); return true;
    default:
      for (std::size_t i = 0; i < n; ++i) ok[i] = 0;
      return false;
  }
}

bool binary_column(BuiltinKind kind, std::size_t n, const double* a_re, const double* a_im,
                   const double* b_re, const double* b_im, double* out_re, double* out_im,
                   std::uint8_t* ok) {
  for (const double* in : {a_re, a_im, b_re, b_im}) {
    assert(in_place_or_apart(in, out_re, n) && in_place_or_apart(in, out_im, n));
    static_cast<void>(in);
  }
  using namespace math;
  const auto run = [&](auto f) { binary_loop(n, a_re, a_im, b_re, b_im, out_re, out_im, ok, f); };
  switch (kind) {
    case K::Vok: run([](Complex a, Complex b, bool& d) { return vok(a, b, d); }); return true;
    case K::Plus: run([](Complex a, Complex b, bool&) { return plus(a, b); }); return true;
    case K::Times: run([](Complex a, Complex b, bool&) { return times(a, b); }); return true;
    case K::Subtract: run([](Complex a, Complex b, bool&) { return subtract(a, b); }); return true;
    case K::Divide: run([](Complex a, Complex b, bool& d) { return divide(a, b, d); }); return true;
    default:
      for (std::size_t i = 0; i < n; ++i) ok[i] = 0;
      return false;
  }
}

std::optional<BuiltinKind> builtin_kind_of(const Operator& op) {
  if (const auto* b = dynamic_cast<const BuiltinOperator*>(&op)) return b->kind();
  return std::nullopt;
}

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
