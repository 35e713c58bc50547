// Tests of number formatting and the LaTeX and Python renderers.
#include "ops/render.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "engine_helpers.hpp"
#include "ops/builtin.hpp"
#include "ops/registry.hpp"

namespace vok {
namespace {

using testing_support::id_named;
using testing_support::id_of;
using K = BuiltinKind;
constexpr std::uint64_t kVok = id_of(K::Vok), kNeg = id_of(K::Neg), kInv = id_of(K::Inv), kPlus = id_of(K::Plus),
                        kTimes = id_of(K::Times), kSubtract = id_of(K::Subtract), kDivide = id_of(K::Divide),
                        kExp = id_of(K::Exp), kSqrt = id_of(K::Sqrt), kSquare = id_of(K::Square),
                        kCube = id_of(K::Cube);

TEST(FormatNumber, FixedFourDecimals) {
  const struct {
    double v;
    const char* text;
  } rows[] = {
      {0.1, "0.1000"},
      {-2.5, "-2.5000"},
      {12345.678, "12345.6780"},
      {0.123456, "0.1235"},
      {0.0, "0.0000"},
      {-0.0, "-0.0000"},
      {-0.00001, "-0.0000"},  // negative values keep their sign even when rounded to zero
      {-0.25, "-0.2500"},
      {1.0, "1.0000"},
      // The binary value, not the decimal literal, decides the rounding:
      // 1.00005 is 1.0000500000000001055..., 2.00005 is 2.0000499999999998834...
      {1.00005, "1.0001"},
      {2.00005, "2.0000"},
      {0.00005, "0.0001"},   // 0.0000500000000000000023...
      {0.00015, "0.0001"},   // 0.0001499999999999999868...
      {1.00015, "1.0002"},   // 1.0001500000000000945...
      {0.000025, "0.0000"},
      // Exact binary ties round to even.
      {0.03125, "0.0312"},
      {0.09375, "0.0938"},
      {1e15, "1000000000000000.0000"},
      {1e300,
       "1000000000000000052504760255204420248704468581108159154915854115511802457988908195786371375080447"
       "864043704443832883878176942523235360430575644792184786706982848387200926575803737830233794788090"
       "059368953234970799945081119038967640880074652742780142494579258788820056842838115669472196386865"
       "459400540160.0000"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const auto& r : rows) EXPECT_EQ(format_number(r.v), r.text);
  // The largest double fits the buffer.
  const std::string big = format_number(std::numeric_limits<double>::max());
  EXPECT_EQ(big.size(), 309u + 5u);
  EXPECT_EQ(big.substr(0, 6), "179769");
  EXPECT_EQ(format_number(-std::numeric_limits<double>::max()).size(), 315u);
}

class RenderTest : public testing::Test {
 protected:
  OperatorRegistry reg = OperatorRegistry::with_builtins();
  OperatorList ops() const { return reg.operators(); }
  std::string latex(const Expression& e) const { return render_latex(e, ops()); }
  std::string python(const Expression& e) const { return render_python(e, ops()); }
  Expression bin(std::uint64_t id, const Expression& a, const Expression& b) const {
    return compose_binary(id, reg.meta()[id].name, a, b);
  }
  Expression un(std::uint64_t id, const Expression& a) const {
    return compose_unary(id, reg.meta()[id].name, a);
  }
  static Expression from_tokens(std::vector<Token> tokens) {
    Expression e;
    e.tokens = std::move(tokens);
    e.complexity = e.tokens.size();
    return e;
  }
};

Expression fitted(double v) {
  Expression c = param_leaf();
  c.tokens[0].value = {v, 0.0};
  return c;
}

TEST_F(RenderTest, AffineExample) {
  Expression e = bin(kPlus, bin(kTimes, param_leaf(), var_leaf(0)), param_leaf());
  e.tokens[0].value = {0.5, 0.0};
  e.tokens[3].value = {1.2, 0.0};  // tokens: C v_{0} Times C Plus
  EXPECT_EQ(e.formula, "Plus(Times(C, v_{0}), C)");
  EXPECT_EQ(latex(e), "0.5000 \\cdot v_{0} + 1.2000");
  EXPECT_EQ(python(e), "((0.5000)*(v_{0}))+(1.2000)");
}

TEST_F(RenderTest, VokExample) {
  const Expression e = bin(kVok, var_leaf(0), un(kSqrt, var_leaf(1)));
  EXPECT_EQ(e.formula, "VOK(v_{0}, Sqrt(v_{1}))");
  EXPECT_EQ(latex(e), "e^{v_{0}} - \\ln(\\sqrt{v_{1}})");
  EXPECT_EQ(python(e), "(np.exp(v_{0}) - np.log(np.sqrt(v_{1})))");
}

TEST_F(RenderTest, Leaves) {
  const Expression c = fitted(-0.25);
  EXPECT_EQ(c.formula, "C");
  EXPECT_EQ(latex(c), "-0.2500");
  EXPECT_EQ(python(c), "-0.2500");
  const Expression v = var_leaf(1);
  EXPECT_EQ(v.formula, "v_{1}");
  EXPECT_EQ(latex(v), "v_{1}");
  EXPECT_EQ(python(v), "v_{1}");
  EXPECT_EQ(latex(var_leaf(254)), "v_{254}");
  EXPECT_EQ(latex(fitted(0.123456)), "0.1235");
}

TEST_F(RenderTest, NegativeConstantKeepsItsSign) {
  const Expression neg_const = bin(kPlus, var_leaf(0), fitted(-3.0));
  EXPECT_EQ(latex(neg_const), "v_{0} + -3.0000");
  EXPECT_EQ(python(neg_const), "(v_{0})+(-3.0000)");
}

// A bare infix operand is grouped exactly where the text would otherwise
// compute or show another formula; every other text is as the templates give.
TEST_F(RenderTest, BareInfixOperandsAreGroupedWhereNeeded) {
  const Expression a = var_leaf(0), b = var_leaf(1), c = var_leaf(2);
  const Expression sum = bin(kPlus, a, b), product = bin(kTimes, a, b), diff = bin(kSubtract, a, b);
  const Expression vok = bin(kVok, a, b);
  const struct {
    Expression e;
    const char* latex;
    const char* python;
  } rows[] = {
      // Python: the operands of Neg, Inv and Divide.
      {bin(kDivide, c, product), "\\frac{v_{2}}{v_{0} \\cdot v_{1}}", "(v_{2}/((v_{0})*(v_{1})))"},
      {bin(kDivide, c, sum), "\\frac{v_{2}}{v_{0} + v_{1}}", "(v_{2}/((v_{0})+(v_{1})))"},
      {bin(kDivide, sum, c), "\\frac{v_{0} + v_{1}}{v_{2}}", "(((v_{0})+(v_{1}))/v_{2})"},
      {bin(kDivide, diff, product), "\\frac{v_{0} - v_{1}}{v_{0} \\cdot v_{1}}",
       "(((v_{0})-(v_{1}))/((v_{0})*(v_{1})))"},
      {un(kInv, product), "\\frac{1}{v_{0} \\cdot v_{1}}", "(1/((v_{0})*(v_{1})))"},
      {un(kNeg, sum), "(-\\left(v_{0} + v_{1}\\right))", "(-((v_{0})+(v_{1})))"},
      {un(kNeg, product), "(-v_{0} \\cdot v_{1})", "(-((v_{0})*(v_{1})))"},
      // LaTeX: sums under a product, a subtraction's right side, a power.
      {bin(kTimes, sum, c), "\\left(v_{0} + v_{1}\\right) \\cdot v_{2}", "((v_{0})+(v_{1}))*(v_{2})"},
      {bin(kTimes, c, vok), "v_{2} \\cdot \\left(e^{v_{0}} - \\ln(v_{1})\\right)",
       "(v_{2})*((np.exp(v_{0}) - np.log(v_{1})))"},
      {bin(kSubtract, c, sum), "v_{2} - \\left(v_{0} + v_{1}\\right)", "(v_{2})-((v_{0})+(v_{1}))"},
      {bin(kSubtract, c, diff), "v_{2} - \\left(v_{0} - v_{1}\\right)", "(v_{2})-((v_{0})-(v_{1}))"},
      {un(kSquare, sum), "{\\left(v_{0} + v_{1}\\right)}^2", "((v_{0})+(v_{1}))**2"},
      {un(kCube, product), "{\\left(v_{0} \\cdot v_{1}\\right)}^3", "((v_{0})*(v_{1}))**3"},
      // Already unambiguous: unchanged.
      {bin(kTimes, product, c), "v_{0} \\cdot v_{1} \\cdot v_{2}", "((v_{0})*(v_{1}))*(v_{2})"},
      {bin(kSubtract, sum, c), "v_{0} + v_{1} - v_{2}", "((v_{0})+(v_{1}))-(v_{2})"},
      {bin(kSubtract, c, product), "v_{2} - v_{0} \\cdot v_{1}", "(v_{2})-((v_{0})*(v_{1}))"},
      {bin(kPlus, c, diff), "v_{2} + v_{0} - v_{1}", "(v_{2})+((v_{0})-(v_{1}))"},
      {bin(kVok, sum, product), "e^{v_{0} + v_{1}} - \\ln(v_{0} \\cdot v_{1})",
       "(np.exp((v_{0})+(v_{1})) - np.log((v_{0})*(v_{1})))"},
      {un(kExp, sum), "e^{v_{0} + v_{1}}", "np.exp((v_{0})+(v_{1}))"},
      {un(kSquare, fitted(-0.25)), "{-0.2500}^2", "(-0.2500)**2"},
      {un(kSquare, un(kNeg, a)), "{(-v_{0})}^2", "((-v_{0}))**2"},
      {bin(kDivide, fitted(-0.5), un(kSquare, a)), "\\frac{-0.5000}{{v_{0}}^2}", "(-0.5000/(v_{0})**2)"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(latex(r.e), r.latex) << r.e.formula;
    EXPECT_EQ(python(r.e), r.python) << r.e.formula;
  }
}

TEST_F(RenderTest, ParameterShowsRealPartOnly) {
  Expression c = param_leaf();
  c.tokens[0].value = {1.5, -7.0};
  EXPECT_EQ(latex(c), "1.5000");
  EXPECT_EQ(python(c), "1.5000");
}

TEST_F(RenderTest, ConstantsAndLiterals) {
  const struct {
    const char* name;
    const char* latex;
    const char* python;
  } constants[] = {{"0", "0", "0"}, {"1", "1", "1"}, {"I", "i", "1j"}, {"Pi", "\\pi", "np.pi"}, {"E", "e", "np.e"}};
  for (const auto& c : constants) {
    const std::uint64_t id = id_named(c.name);
    ASSERT_LT(id, reg.size()) << c.name;
    const Complex v = *ops()[id]->eval({});
    const Expression e = from_tokens({Token::constant(id, v)});
    EXPECT_EQ(latex(e), c.latex) << c.name;
    EXPECT_EQ(python(e), c.python) << c.name;
  }
  const Expression sum = from_tokens({Token::constant(id_named("I"), {0.0, 1.0}), Token::literal(-0.5),
                                      Token::apply(2, kPlus)});
  EXPECT_EQ(latex(sum), "i + -0.5000");
  EXPECT_EQ(python(sum), "(1j)+(-0.5000)");
}

TEST_F(RenderTest, EveryOperatorRendersInBothDialects) {
  for (std::size_t k = 0; k < kBuiltinCount; ++k) {
    const OperatorFacts& f = kBuiltinFacts[k];
    const std::uint64_t id = id_of(f.kind);
    const Expression e =
        f.arity == 1 ? un(id, var_leaf(0)) : bin(id, var_leaf(0), var_leaf(1));
    std::string want_latex = std::string(f.latex.prefix) + "v_{0}";
    std::string want_python = std::string(f.python.prefix) + "v_{0}";
    if (f.arity == 2) {
      want_latex += std::string(f.latex.infix) + "v_{1}";
      want_python += std::string(f.python.infix) + "v_{1}";
    }
    want_latex += f.latex.suffix;
    want_python += f.python.suffix;
    EXPECT_EQ(latex(e), want_latex) << f.name;
    EXPECT_EQ(python(e), want_python) << f.name;
    EXPECT_FALSE(latex(e).empty());
  }
}

TEST_F(RenderTest, MalformedAndEmptySequences) {
  const Token v0 = Token::variable(0);
  EXPECT_EQ(latex(from_tokens({})), "");
  EXPECT_EQ(python(from_tokens({})), "");
  EXPECT_EQ(latex(from_tokens({v0, Token::apply(2, kPlus)})), "");   // too few operands
  EXPECT_EQ(python(from_tokens({Token::apply(1, kSqrt)})), "");      // nothing to pop
  EXPECT_EQ(latex(from_tokens({v0, Token::apply(1, reg.size())})), "");  // id past the table
  EXPECT_EQ(latex(from_tokens({Token::constant(99, {})})), "");          // constant id far past the table
  EXPECT_EQ(latex(from_tokens({v0, v0, Token::apply(1, kPlus)})), "");  // arity disagrees
  // Texts below the top are discarded.
  EXPECT_EQ(latex(from_tokens({v0, Token::variable(1)})), "v_{1}");
  EXPECT_EQ(python(from_tokens({fitted(1.0).tokens[0], v0})), "v_{0}");
}

}  // namespace
}  // namespace vok
