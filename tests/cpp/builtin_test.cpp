// Tests of the built-in operators: their table, arithmetic and kernels.
#include "ops/builtin.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace vok {
namespace {

using K = BuiltinKind;
constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");
constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;

// Exact comparison that also distinguishes +0 from -0 and accepts NaN == NaN.
bool same(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

void expect_exact(std::optional<Complex> got, Complex want) {
  ASSERT_TRUE(got.has_value());
  EXPECT_TRUE(same(got->re, want.re)) << "re " << got->re << " want " << want.re;
  EXPECT_TRUE(same(got->im, want.im)) << "im " << got->im << " want " << want.im;
}

void expect_near(std::optional<Complex> got, Complex want, double tol = 1e-15) {
  ASSERT_TRUE(got.has_value());
  EXPECT_NEAR(got->re, want.re, tol * std::max(1.0, std::fabs(want.re)));
  EXPECT_NEAR(got->im, want.im, tol * std::max(1.0, std::fabs(want.im)));
}

std::optional<Complex> un(K k, double x, double y) { return math::unary(k, {x, y}); }
std::optional<Complex> bin(K k, Complex a, Complex b) { return math::binary(k, a, b); }

// ---------------------------------------------------------------- tables

struct ExpectedRow {
  const char* type_name;
  const char* name;
  int arity;
  bool commutative;
  const char* latex;   // rendered over operands "A" (and "B")
  const char* python;
};

const ExpectedRow kExpected[kBuiltinCount] = {
    {"Vok", "VOK", 2, false, "e^{A} - \\ln(B)", "(np.exp(A) - np.log(B))"},
    {"Neg", "Neg", 1, false, "(-A)", "(-A)"},
    {"Inv", "Inv", 1, false, "\\frac{1}{A}", "(1/A)"},
    {"Plus", "Plus", 2, true, "A + B", "(A)+(B)"},
    {"Times", "Times", 2, true, "A \\cdot B", "(A)*(B)"},
    {"Subtract", "Subtract", 2, false, "A - B", "(A)-(B)"},
    {"Divide", "Divide", 2, false, "\\frac{A}{B}", "(A/B)"},
    {"Exp", "Exp", 1, false, "e^{A}", "np.exp(A)"},
    {"Log", "Log", 1, false, "\\ln(A)", "np.log(A)"},
    {"Sqrt", "Sqrt", 1, false, "\\sqrt{A}", "np.sqrt(A)"},
    {"Sin", "Sin", 1, false, "\\sin(A)", "np.sin(A)"},
    {"Cos", "Cos", 1, false, "\\cos(A)", "np.cos(A)"},
    {"Tan", "Tan", 1, false, "\\tan(A)", "np.tan(A)"},
    {"ArcSin", "ArcSin", 1, false, "\\arcsin(A)", "np.arcsin(A)"},
    {"ArcCos", "ArcCos", 1, false, "\\arccos(A)", "np.arccos(A)"},
    {"ArcTan", "ArcTan", 1, false, "\\arctan(A)", "np.arctan(A)"},
    {"Square", "Square", 1, false, "{A}^2", "(A)**2"},
    {"Cube", "Cube", 1, false, "{A}^3", "(A)**3"},
};

TEST(BuiltinTables, FactsHaveOneRowPerKindInOrder) {
  for (std::size_t i = 0; i < kBuiltinCount; ++i) {
    const OperatorFacts& f = kBuiltinFacts[i];
    SCOPED_TRACE(kExpected[i].name);
    EXPECT_EQ(static_cast<std::size_t>(f.kind), i);
    EXPECT_EQ(f.type_name, kExpected[i].type_name);
    EXPECT_EQ(f.name, kExpected[i].name);
    EXPECT_EQ(f.arity, kExpected[i].arity);
    EXPECT_EQ(f.commutative, kExpected[i].commutative);
  }
}

TEST(BuiltinTables, AllBuiltinsMatchFactsAndRenderBothDialects) {
  const std::vector<OperatorPtr> ops = all_builtins();
  ASSERT_EQ(ops.size(), kBuiltinCount);
  const std::vector<std::string> args = {"A", "B"};
  for (std::size_t i = 0; i < kBuiltinCount; ++i) {
    const Operator& op = *ops[i];
    SCOPED_TRACE(kExpected[i].name);
    EXPECT_EQ(op.debug(), kExpected[i].type_name);
    EXPECT_EQ(op.name(), kExpected[i].name);
    EXPECT_EQ(op.arity(), kExpected[i].arity);
    EXPECT_EQ(op.is_commutative(), kExpected[i].commutative);
    const std::span<const std::string> operands(args.data(), op.arity());
    EXPECT_EQ(op.to_latex(operands), kExpected[i].latex);
    EXPECT_EQ(op.to_python(operands), kExpected[i].python);
  }
}

TEST(BuiltinTables, MathematicaDefaultIsCallNotation) {
  const std::vector<OperatorPtr> ops = all_builtins();
  const std::vector<std::string> args = {"a", "b"};
  EXPECT_EQ(ops[static_cast<std::size_t>(K::Sin)]->to_mathematica(std::span(args.data(), 1)), "Sin[a]");
  EXPECT_EQ(ops[static_cast<std::size_t>(K::Vok)]->to_mathematica(args), "VOK[a, b]");
  EXPECT_EQ(ops[static_cast<std::size_t>(K::Divide)]->to_mathematica(args), "Divide[a, b]");
  EXPECT_EQ(named_constants()[3]->to_mathematica({}), "Pi");
}

TEST(BuiltinTables, NamedConstants) {
  struct Row {
    const char* name;
    const char* latex;
    const char* python;
    Complex value;
  };
  const Row rows[] = {{"0", "0", "0", {0.0, 0.0}},
                      {"1", "1", "1", {1.0, 0.0}},
                      {"I", "i", "1j", {0.0, 1.0}},
                      {"Pi", "\\pi", "np.pi", {kPi, 0.0}},
                      {"E", "e", "np.e", {2.718281828459045, 0.0}}};
  const std::vector<OperatorPtr> consts = named_constants();
  ASSERT_EQ(consts.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    const Operator& op = *consts[i];
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(op.name(), rows[i].name);
    EXPECT_EQ(op.arity(), 0);
    EXPECT_FALSE(op.is_commutative());
    EXPECT_EQ(op.to_latex({}), rows[i].latex);
    EXPECT_EQ(op.to_python({}), rows[i].python);
    expect_exact(op.eval({}), rows[i].value);
  }
  EXPECT_EQ(consts[3]->debug(),
            "ConstOp { name: \"Pi\", latex: \"\\pi\", python: \"np.pi\", "
            "value: Complex { re: 3.141592653589793, im: 0 } }");
}

// Wrong operand counts must be rejected, not read out of bounds.
TEST(BuiltinOperators, EvalRejectsWrongOperandCount) {
  const std::vector<OperatorPtr> ops = all_builtins();
  const Complex two[] = {{1.0, 0.0}, {2.0, 0.0}};
  EXPECT_FALSE(ops[static_cast<std::size_t>(K::Plus)]->eval(std::span(two, 1)));
  EXPECT_FALSE(ops[static_cast<std::size_t>(K::Plus)]->eval({}));
  EXPECT_FALSE(ops[static_cast<std::size_t>(K::Sin)]->eval(two));
  EXPECT_FALSE(ops[static_cast<std::size_t>(K::Sin)]->eval({}));
}

TEST(BuiltinOperators, KernelsRejectKindOfOtherArity) {
  EXPECT_FALSE(math::unary(K::Plus, {1.0, 0.0}));
  EXPECT_FALSE(math::binary(K::Sin, {1.0, 0.0}, {1.0, 0.0}));
}

// An output column shifted against an operand column stops a debug build
// (with NDEBUG the kernel runs; every write stays inside `col`). The very
// same column, in place, is allowed.
TEST(BuiltinKernelsDeathTest, ShiftedOverlapIsCheckedInDebugBuilds) {
  std::vector<double> col(10, 1.0);
  std::vector<std::uint8_t> ok(4, 1);
  double* const re = col.data();
  double* const im = col.data() + 4;
  EXPECT_DEBUG_DEATH(unary_column(K::Neg, 4, re, im, re + 1, im, ok.data()), "in_place_or_apart");
  EXPECT_DEBUG_DEATH(binary_column(K::Plus, 4, re, im, re, im, re, im + 1, ok.data()), "in_place_or_apart");
  col.assign(10, 1.0);
  ok.assign(4, 1);
  ASSERT_TRUE(unary_column(K::Neg, 4, re, im, re, im, ok.data()));
  ASSERT_TRUE(binary_column(K::Plus, 4, re, im, re, im, re, im, ok.data()));
  EXPECT_EQ(re[0], -2.0);
  EXPECT_EQ(im[3], -2.0);
}

// The operator objects and the direct kernels must agree bit for bit, since
// a devirtualised evaluation path calls the kernels directly.
TEST(BuiltinOperators, OperatorsForwardToKernelsBitExactly) {
  const std::vector<OperatorPtr> ops = all_builtins();
  const std::vector<Complex> samples = {{0.0, 0.0}, {-0.0, -0.0}, {1.0, 0.0},  {-4.0, -0.0},
                                        {0.3, -1.7}, {2.5, 3.25}, {-7.0, 0.5}, {kInf, 1.0},
                                        {kNaN, 0.0}, {1e-300, 0.0}, {0.0, 1.0}, {0.0, -1.0}};
  // NaN payloads may differ with operand order chosen by the compiler; every
  // other result must match to the bit.
  auto bits_equal = [](std::optional<Complex> a, std::optional<Complex> b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    auto part = [](double p, double q) {
      if (std::isnan(p) || std::isnan(q)) return std::isnan(p) && std::isnan(q);
      return std::memcmp(&p, &q, sizeof p) == 0;
    };
    return part(a->re, b->re) && part(a->im, b->im);
  };
  for (std::size_t i = 0; i < kBuiltinCount; ++i) {
    const K kind = static_cast<K>(i);
    for (const Complex& a : samples) {
      for (const Complex& b : samples) {
        const Complex args[] = {a, b};
        const auto via_op = ops[i]->eval(std::span(args, ops[i]->arity()));
        const auto direct = ops[i]->arity() == 1 ? math::unary(kind, a) : math::binary(kind, a, b);
        EXPECT_TRUE(bits_equal(via_op, direct)) << kExpected[i].name << " at (" << a.re << "," << a.im
                                                << ") (" << b.re << "," << b.im << ")";
        if (ops[i]->arity() == 1) break;
      }
    }
  }
}

// ---------------------------------------------------------------- arithmetic

TEST(BuiltinArithmetic, NegFlipsSignBits) {
  expect_exact(un(K::Neg, 0.0, 0.0), {-0.0, -0.0});
  expect_exact(un(K::Neg, -0.0, 0.0), {0.0, -0.0});
  expect_exact(un(K::Neg, 1.0, -2.0), {-1.0, 2.0});
  const auto n = un(K::Neg, kNaN, kInf);
  ASSERT_TRUE(n);
  EXPECT_NE(std::signbit(n->re), std::signbit(kNaN));
  EXPECT_EQ(n->im, -kInf);
}

TEST(BuiltinArithmetic, PlusTimesSubtract) {
  expect_exact(bin(K::Plus, {1.0, 2.0}, {3.0, 4.0}), {4.0, 6.0});
  expect_exact(bin(K::Plus, {-0.0, -0.0}, {-0.0, 0.0}), {-0.0, 0.0});
  expect_exact(bin(K::Subtract, {1.0, 2.0}, {3.0, 5.0}), {-2.0, -3.0});
  expect_exact(bin(K::Subtract, {0.0, 0.0}, {0.0, 0.0}), {0.0, 0.0});
  expect_exact(bin(K::Times, {1.0, 2.0}, {3.0, 4.0}), {-5.0, 10.0});
  expect_exact(bin(K::Times, {0.0, 1.0}, {0.0, 1.0}), {-1.0, 0.0});
}

TEST(BuiltinArithmetic, DivideAndInv) {
  expect_exact(bin(K::Divide, {1.0, 2.0}, {3.0, 4.0}), {0.44, 0.08});
  expect_exact(bin(K::Divide, {0.0, 0.0}, {1.0, 0.0}), {0.0, 0.0});
  expect_exact(un(K::Inv, 2.0, 0.0), {0.5, -0.0});
  expect_exact(un(K::Inv, 0.0, 2.0), {0.0, -0.5});
  expect_exact(un(K::Inv, 0.0, -4.0), {0.0, 0.25});
}

TEST(BuiltinArithmetic, ExactZeroFailsButTinyDoesNot) {
  const Complex zeros[] = {{0.0, 0.0}, {-0.0, 0.0}, {0.0, -0.0}, {-0.0, -0.0}};
  for (const Complex& z : zeros) {
    EXPECT_FALSE(math::unary(K::Inv, z));
    EXPECT_FALSE(math::unary(K::Log, z));
    EXPECT_FALSE(math::binary(K::Divide, {1.0, 0.0}, z));
    EXPECT_FALSE(math::binary(K::Divide, {0.0, 0.0}, z));
    EXPECT_FALSE(math::binary(K::Vok, {0.0, 0.0}, z));
  }
  // Underflow of the squared modulus yields inf/NaN parts, not a domain
  // failure; the evaluator's guard rejects those later.
  for (const double tiny : {1e-300, 5e-324}) {
    EXPECT_TRUE(un(K::Inv, tiny, 0.0));
    EXPECT_TRUE(un(K::Log, tiny, 0.0));
    EXPECT_TRUE(un(K::Log, 0.0, -tiny));
    EXPECT_TRUE(bin(K::Divide, {1.0, 0.0}, {0.0, tiny}));
    EXPECT_TRUE(bin(K::Vok, {0.0, 0.0}, {tiny, 0.0}));
  }
  expect_near(un(K::Log, 1e-300, 0.0), {-690.7755278982137, 0.0});
  expect_near(bin(K::Vok, {0.0, 0.0}, {1e-300, 0.0}), {691.7755278982137, 0.0});
  // NaN has a non-zero modulus: it flows through to a NaN value.
  const auto inv_nan = un(K::Inv, kNaN, 0.0);
  ASSERT_TRUE(inv_nan);
  EXPECT_TRUE(std::isnan(inv_nan->re));
  EXPECT_TRUE(un(K::Log, kNaN, 0.0));
  EXPECT_TRUE(bin(K::Divide, {1.0, 0.0}, {kNaN, 0.0}));
}

TEST(BuiltinArithmetic, SquareAndCube) {
  expect_exact(un(K::Square, 0.0, 1.0), {-1.0, 0.0});
  expect_exact(un(K::Cube, 0.0, 1.0), {-0.0, -1.0});
  expect_exact(un(K::Square, 3.0, 4.0), {-7.0, 24.0});
  expect_exact(un(K::Cube, 1.0, 1.0), {-2.0, 2.0});
  expect_exact(un(K::Cube, -2.0, 0.0), {-8.0, 0.0});
  expect_exact(un(K::Cube, -2.0, -0.0), {-8.0, -0.0});
}

TEST(BuiltinArithmetic, Log) {
  expect_exact(un(K::Log, -1.0, 0.0), {0.0, kPi});
  expect_exact(un(K::Log, -1.0, -0.0), {0.0, -kPi});
  expect_exact(un(K::Log, 1.0, 0.0), {0.0, 0.0});
  expect_exact(un(K::Log, 0.0, 1.0), {0.0, kHalfPi});
  expect_near(un(K::Log, 3.0, 4.0), {1.6094379124341003, 0.9272952180016122});
}

TEST(BuiltinArithmetic, ExpGeneralAndSpecialCases) {
  expect_exact(un(K::Exp, 0.0, 0.0), {1.0, 0.0});
  expect_near(un(K::Exp, 1.0, 0.0), {2.718281828459045, 0.0});
  expect_near(un(K::Exp, 0.0, kPi), {-1.0, 1.2246467991473532e-16});

  struct Row {
    double x, y;
    Complex want;
  };
  const Row rows[] = {
      {kInf, 0.0, {kInf, 0.0}},       {kInf, -0.0, {kInf, -0.0}},     {kInf, kNaN, {kInf, kNaN}},
      {kInf, kInf, {kInf, kNaN}},     {kInf, -kInf, {kInf, kNaN}},    {kInf, 1.0, {kInf, kInf}},
      {kInf, 2.0, {-kInf, kInf}},     {kInf, -1.0, {kInf, -kInf}},    {-kInf, 1.0, {0.0, 0.0}},
      {-kInf, 2.0, {-0.0, 0.0}},      {-kInf, -1.0, {0.0, -0.0}},     {-kInf, 0.0, {0.0, 0.0}},
      {-kInf, kInf, {0.0, 0.0}},      {-kInf, -kInf, {0.0, 0.0}},     {-kInf, kNaN, {0.0, 0.0}},
      {kNaN, 0.0, {kNaN, 0.0}},       {kNaN, -0.0, {kNaN, -0.0}},     {kNaN, 1.0, {kNaN, kNaN}},
      {1.0, kInf, {kNaN, kNaN}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "exp(" << r.x << ", " << r.y << ")");
    expect_exact(un(K::Exp, r.x, r.y), r.want);
  }
}

TEST(BuiltinArithmetic, SqrtBranches) {
  expect_exact(un(K::Sqrt, 4.0, 0.0), {2.0, 0.0});
  expect_exact(un(K::Sqrt, 4.0, -0.0), {2.0, -0.0});
  expect_exact(un(K::Sqrt, -4.0, 0.0), {0.0, 2.0});
  expect_exact(un(K::Sqrt, -4.0, -0.0), {0.0, -2.0});
  expect_exact(un(K::Sqrt, -0.0, 0.0), {0.0, 0.0});
  expect_exact(un(K::Sqrt, 0.0, 8.0), {2.0, 2.0});
  expect_exact(un(K::Sqrt, -0.0, -8.0), {2.0, -2.0});
  expect_exact(un(K::Sqrt, kInf, 0.0), {kInf, 0.0});
  expect_near(un(K::Sqrt, 3.0, 4.0), {2.0, 1.0});
  expect_near(un(K::Sqrt, -3.0, 4.0), {1.0, 2.0});
  expect_near(un(K::Sqrt, -3.0, -4.0), {1.0, -2.0});
}

TEST(BuiltinArithmetic, SinCos) {
  expect_exact(un(K::Sin, 0.0, 0.0), {0.0, 0.0});
  expect_exact(un(K::Sin, -0.0, 0.0), {-0.0, 0.0});
  expect_exact(un(K::Cos, 0.0, 0.0), {1.0, -0.0});
  expect_near(un(K::Sin, 0.0, 1.0), {0.0, 1.1752011936438014});
  expect_near(un(K::Cos, 0.0, 1.0), {1.5430806348152437, 0.0});
  expect_near(un(K::Sin, 1.0, 1.0), {1.2984575814159773, 0.6349639147847361});
  expect_near(un(K::Cos, 1.0, 1.0), {0.8337300251311491, -0.9888977057628651});
}

TEST(BuiltinArithmetic, Tan) {
  expect_exact(un(K::Tan, 0.0, 0.0), {0.0, 0.0});
  expect_near(un(K::Tan, 0.7853981633974483, 0.0), {1.0, 0.0});
  expect_near(un(K::Tan, 1.0, 1.0), {0.2717525853195117, 1.0839233273386946}, 1e-14);
  // cos of the double nearest pi/2 is about 6.1e-17, not zero.
  const auto t = un(K::Tan, kHalfPi, 0.0);
  ASSERT_TRUE(t);
  EXPECT_NEAR(t->re, 1.633123935319537e16, 1e4);
  EXPECT_GT(t->re, 1e15);
}

TEST(BuiltinArithmetic, ArcSinArcCos) {
  expect_exact(un(K::ArcSin, 0.0, 0.0), {0.0, -0.0});
  expect_exact(un(K::ArcCos, 0.0, 0.0), {kHalfPi, 0.0});
  expect_exact(un(K::ArcSin, 1.0, 0.0), {kHalfPi, -0.0});
  expect_exact(un(K::ArcCos, 1.0, 0.0), {0.0, 0.0});
  expect_near(un(K::ArcSin, 0.5, 0.0), {0.5235987755982989, 0.0});
  expect_near(un(K::ArcCos, 0.5, 0.0), {1.0471975511965979, 0.0});
  // On the cut, the sign of the zero imaginary part picks the side.
  expect_near(un(K::ArcSin, 2.0, 0.0), {kHalfPi, 1.3169578969248166}, 1e-14);
  expect_near(un(K::ArcSin, 2.0, -0.0), {kHalfPi, -1.3169578969248166}, 1e-14);
  expect_near(un(K::ArcCos, 2.0, 0.0), {0.0, -1.3169578969248166}, 1e-14);
  // Far up the imaginary axis 1 - z^2 rounds to -z^2, so w cancels to 0.
  EXPECT_FALSE(un(K::ArcSin, 0.0, 1e9));
  EXPECT_FALSE(un(K::ArcCos, 0.0, 1e9));
}

TEST(BuiltinArithmetic, ArcTan) {
  expect_exact(un(K::ArcTan, 0.0, 0.0), {0.0, 0.0});
  expect_exact(un(K::ArcTan, -0.0, 0.0), {-0.0, 0.0});
  expect_exact(un(K::ArcTan, 1.0, 0.0), {0.7853981633974483, 0.0});
  EXPECT_FALSE(un(K::ArcTan, 0.0, 1.0));
  EXPECT_FALSE(un(K::ArcTan, 0.0, -1.0));
  EXPECT_FALSE(un(K::ArcTan, -0.0, 1.0));
  expect_near(un(K::ArcTan, 1.0, 1.0), {1.0172219678978514, 0.4023594781085251});
  // Branch cut on the imaginary axis: the sign of the real zero picks the side.
  expect_near(un(K::ArcTan, 0.0, -2.0), {kHalfPi, -0.5493061443340549});
  expect_near(un(K::ArcTan, -0.0, -2.0), {-kHalfPi, -0.5493061443340549});
  expect_near(un(K::ArcTan, 0.0, 2.0), {kHalfPi, 0.5493061443340549});
  expect_near(un(K::ArcTan, -0.0, 2.0), {-kHalfPi, 0.5493061443340549});
}

// The shortcuts for real operands must give exactly what the general
// formulas give: arctan as (atan2(1+u) - atan2(1-u)) / 2 with the log
// moduli, arcsin and arccos with std::log of the modulus even where it is 1.
TEST(BuiltinArithmetic, RealShortcutsEqualTheGeneralFormulas) {
  std::vector<double> xs = {0.0, -0.0, 4.9e-324, -4.9e-324, 2.2e-308, 1e-160, -3e-9, 0.5, -0.5,
                            1.0, -1.0, 1.5, -7.25, 1e15, -1e15, 1e154, 1.7976931348623157e308,
                            -1.7976931348623157e308};
  std::uint64_t state = 12345;
  for (int i = 0; i < 20000; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const double unit = static_cast<double>(state >> 11) * 0x1.0p-53;
    xs.push_back(std::ldexp(unit, static_cast<int>(state % 2090) - 1074) * ((state >> 7) % 2 ? -1.0 : 1.0));
    xs.push_back(2.0 * unit - 1.0);  // arcsin/arccos's real domain
  }
  const auto arg = [](double re, double im) { return std::atan2(im, re); };
  const auto log_mod = [](double re, double im) { return std::log(std::hypot(re, im)); };
  for (double x : xs) {
    for (double y : {0.0, -0.0}) {
      SCOPED_TRACE(testing::Message() << std::hexfloat << x << " " << y);
      // 1 - u and 1 + u for u = i*z = (-y, x).
      const Complex minus{1.0 + y, -x};
      const Complex plus{1.0 - y, x};
      expect_exact(un(K::ArcTan, x, y), {(arg(plus.re, plus.im) - arg(minus.re, minus.im)) * 0.5,
                                         (log_mod(minus.re, minus.im) - log_mod(plus.re, plus.im)) * 0.5});
      if (std::fabs(x) > 1.0) continue;
      // w = i*z + sqrt(1 - z^2) = (sqrt(1 - x^2), x) on the real domain.
      const double root = std::sqrt(y * y - x * x + 1.0);
      const Complex w{-y + root, x + std::copysign(0.0, -2.0 * x * y)};
      expect_exact(un(K::ArcSin, x, y), {arg(w.re, w.im), -log_mod(w.re, w.im)});
      expect_exact(un(K::ArcCos, x, y), {kHalfPi - arg(w.re, w.im), log_mod(w.re, w.im)});
    }
  }
}

TEST(BuiltinArithmetic, Vok) {
  expect_exact(bin(K::Vok, {0.0, 0.0}, {1.0, 0.0}), {1.0, 0.0});
  expect_exact(bin(K::Vok, {0.0, 0.0}, {-1.0, 0.0}), {1.0, -kPi});
  expect_near(bin(K::Vok, {1.0, 0.0}, {2.718281828459045, 0.0}), {1.718281828459045, 0.0});
  expect_exact(bin(K::Vok, {-kInf, kNaN}, {1.0, 0.0}), {0.0, 0.0});
  EXPECT_FALSE(bin(K::Vok, {0.0, 0.0}, {0.0, 0.0}));
}

}  // namespace
}  // namespace vok
