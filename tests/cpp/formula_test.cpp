// Formulas rebuilt from plain tokens, and whole-matrix evaluation.
#include "eval/batch.hpp"
#include "ops/parse.hpp"
#include "result/search_result.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine_helpers.hpp"

namespace vok {
namespace {

using namespace testing_support;
using K = BuiltinKind;

RegistryPtr registry() {
  static const RegistryPtr r = std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins());
  return r;
}

Expression fitted(Expression e, std::initializer_list<double> values) {
  auto it = values.begin();
  for (Token& t : e.tokens) {
    if (t.kind == TokenKind::Parameter && it != values.end()) t.value = {*it++, 0.0};
  }
  return e;
}

std::vector<Expression> sample_formulas() {
  return {
      fitted(bin(K::Plus, bin(K::Times, C(), v(0)), C()), {0.5, -1.25}),
      bin(K::Vok, v(0), un(K::Sqrt, v(1))),
      fitted(bin(K::Divide, un(K::Log, bin(K::Subtract, v(1), C())), un(K::ArcSin, v(0))), {3.0}),
      un(K::Cube, bin(K::Times, un(K::Tan, v(2)), un(K::Neg, v(0)))),
      v(1),
  };
}

std::string error_of(const Outcome<Expression>& o) {
  const auto* e = std::get_if<SearchError>(&o);
  return e != nullptr ? e->text() : "<no error>";
}

TEST(ExpressionFromTokens, RebuildsWhatTheSearchBuilds) {
  for (const Expression& e : sample_formulas()) {
    std::vector<Token> tokens = e.tokens;
    for (Token& t : tokens) {
      if (t.kind == TokenKind::Parameter) t.index = 77;  // slots are renumbered
    }
    const auto rebuilt = expression_from_tokens(tokens, *registry());
    ASSERT_TRUE(std::holds_alternative<Expression>(rebuilt)) << error_of(rebuilt);
    EXPECT_TRUE(same_expression(std::get<Expression>(rebuilt), e)) << e.formula;
  }
}

TEST(ExpressionFromTokens, NamedConstantsTakeTheRegistrysValue) {
  const std::vector<Token> tokens{Token::constant(id_named("Pi"), {}), Token::variable(0), Token::apply(2, id_of(K::Times))};
  const auto rebuilt = expression_from_tokens(tokens, *registry());
  ASSERT_TRUE(std::holds_alternative<Expression>(rebuilt));
  const Expression& e = std::get<Expression>(rebuilt);
  EXPECT_EQ(e.formula, "Times(Pi, v_{0})");
  EXPECT_EQ(e.tokens[0].value.re, M_PI);
  EXPECT_EQ(e.num_vars, 1);
  EXPECT_EQ(e.num_params, 0);
}

TEST(ExpressionFromTokens, MalformedListsNameTheirFirstFault) {
  const Token x = Token::variable(0);
  const std::uint64_t plus = id_of(K::Plus), sqrt = id_of(K::Sqrt), imag = id_named("I");
  std::vector<Token> many_params;
  for (int i = 0; i < 256; ++i) many_params.push_back(Token::parameter(0, {1.0, 0.0}));
  const struct {
    std::vector<Token> tokens;
    std::string message;
  } rows[] = {
      {{}, "the token list is empty"},
      {std::vector<Token>(kMaxFormulaTokens + 1, x), "the token list has 4097 tokens (at most 4096)"},
      {{Token::variable(255)}, "token 0: variable index 255 is beyond 254"},
      {{x, Token::apply(1, 99)}, "token 1: no operator has id 99"},
      {{x, Token::apply(1, imag)}, "token 1: no operator has id " + std::to_string(imag)},
      {{x, Token::constant(plus, {})}, "token 1: no named constant has id " + std::to_string(plus)},
      {{x, x, Token::apply(1, plus)}, "token 2: operator Plus takes 2 operands, not 1"},
      {{x, Token::apply(2, plus)}, "token 1: operator Plus needs 2 operands but has 1"},
      {{Token::apply(1, sqrt)}, "token 0: operator Sqrt needs 1 operands but has 0"},
      {{x, x}, "the tokens leave 2 values instead of one formula"},
      {many_params, "token 255: more than 255 fitted constants"},
  };
  for (const auto& r : rows) EXPECT_EQ(error_of(expression_from_tokens(r.tokens, *registry())), r.message);
}

TEST(EvalRows, EqualsThePointEvaluatorBitForBit) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-3.0, 3.0);
  const std::size_t num_vars = 3;
  for (const std::size_t rows : {std::size_t{0}, std::size_t{1}, std::size_t{1023}, std::size_t{2500}}) {
    std::vector<double> values(rows * num_vars);
    for (double& x : values) x = u(rng);
    if (rows > 3) {
      values[0] = std::numeric_limits<double>::quiet_NaN();
      values[4] = std::numeric_limits<double>::infinity();
      values[8] = -0.0;
    }
    for (const Expression& e : sample_formulas()) {
      const SearchResult result{e, 0.0, registry()};
      std::vector<double> out(rows, 123.0);
      eval_rows(result.expression, *result.registry,
                Dataset::from_strided(values.data(), rows, num_vars, num_vars * sizeof(double), sizeof(double)), out);
      for (std::size_t i = 0; i < rows; ++i) {
        const double want = eval_multi(result, std::span(values).subspan(i * num_vars, num_vars));
        ASSERT_TRUE(same_bits(out[i], want) || (std::isnan(out[i]) && std::isnan(want)))
            << e.formula << " row " << i << ": " << out[i] << " vs " << want;
      }
    }
  }
}

// The summary of a formula: the mean of the squares of eval_rows'
// residuals (added pairwise, as NumPy adds them: the Python tests compare
// the bits with NumPy; here with a running sum, to rounding), infinite when
// a row has no value; the flag
// set by a non-real value on a row with a value, in a leaf, inside or at
// the end, and ignoring rows without a value.
TEST(SummarizeRows, OneEvaluationGivesTheLossAndTheNonrealFlag) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(0.1, 3.0);
  const std::size_t rows = 2500;
  std::vector<double> values(rows * 3), targets(rows);
  for (double& x : values) x = u(rng);
  for (double& t : targets) t = u(rng);
  values[1234] = 0.0;  // column 0, in the second block: 1 / x0 has no value there
  const Dataset data(rows, 3, values, targets);
  std::vector<Expression> formulas = sample_formulas();
  formulas.push_back(un(K::Inv, v(0)));
  const std::vector<RowsSummary> got = summarize_rows(formulas, *registry(), data);
  ASSERT_EQ(got.size(), formulas.size());
  std::size_t finite = 0;
  for (std::size_t f = 0; f < formulas.size(); ++f) {
    std::vector<double> out(rows);
    eval_rows(formulas[f], *registry(), data, out);
    double sum = 0.0;
    for (std::size_t i = 0; i < rows; ++i) sum += (out[i] - targets[i]) * (out[i] - targets[i]);
    const double want = std::isnan(sum) ? std::numeric_limits<double>::infinity() : sum / rows;
    if (std::isfinite(want)) {
      EXPECT_NEAR(got[f].loss, want, 1e-12 * want) << formulas[f].formula;
    } else {
      EXPECT_TRUE(same_bits(got[f].loss, want)) << formulas[f].formula << ": " << got[f].loss << " vs " << want;
    }
    finite += std::isfinite(want);
  }
  EXPECT_GT(finite, 0u);
  EXPECT_LT(finite, formulas.size());

  // x0 in {-4, 0, 9}: sqrt(x0) is 2i on the first row; 1 / sqrt(x0) has no
  // value on the second.
  const Dataset small(3, 1, {-4.0, 0.0, 9.0}, {0.0, 0.0, 0.0});
  const Dataset positive(1, 1, {9.0}, {3.0});
  const Dataset negative(2, 1, {-4.0, 0.0}, {0.0, 0.0});
  Expression unit_i;
  unit_i.tokens = {Token::constant(2, {0.0, 1.0})};
  unit_i.complexity = 1;
  const Expression root = un(K::Sqrt, v(0));
  const Expression inverse_root = un(K::Inv, root);
  const Expression real_again = un(K::Square, root);
  const auto summary = [](const Expression& e, const Dataset& d) { return summarize_rows({&e, 1}, *registry(), d)[0]; };
  EXPECT_TRUE(summary(root, small).leaves_reals);
  EXPECT_TRUE(std::isfinite(summary(root, small).loss));
  EXPECT_TRUE(summary(real_again, small).leaves_reals);  // (2i)^2 = -4 is real, the way was not
  EXPECT_FALSE(summary(root, positive).leaves_reals);
  EXPECT_EQ(summary(root, positive).loss, 0.0);
  EXPECT_TRUE(summary(unit_i, positive).leaves_reals);  // a leaf
  EXPECT_TRUE(std::isinf(summary(inverse_root, small).loss));
  EXPECT_TRUE(summary(inverse_root, small).leaves_reals);  // row 0 has a value: -i/2
  EXPECT_TRUE(summary(inverse_root, negative).leaves_reals);
  EXPECT_FALSE(summary(inverse_root, Dataset(2, 1, {0.0, 9.0}, {0.0, 0.0})).leaves_reals);
}

TEST(EvalRows, VariableBeyondTheColumnsHasNoValue) {
  const SearchResult result{v(2), 0.0, registry()};
  const std::vector<double> values{1.0, 2.0, 3.0, 4.0};
  std::vector<double> out(2);
  eval_rows(result.expression, *result.registry, Dataset(2, 2, values), out);
  EXPECT_TRUE(std::isnan(out[0]) && std::isnan(out[1]));
}

}  // namespace
}  // namespace vok
