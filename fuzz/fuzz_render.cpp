// libFuzzer target: the LaTeX and Python renderers on arbitrary token
// sequences, and the number format on arbitrary doubles. Rendering may only
// give a text (empty for a malformed program); the number format must match
// the C library's correctly rounded "%.4f" except where the exact binary
// value lies halfway, where either neighbour is accepted.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "ops/registry.hpp"
#include "ops/render.hpp"
#include "token_source.hpp"

namespace {

// True when the exact decimal expansion of |v| is d.dddd5000... .
bool halfway_at_four_decimals(double v) {
  static char buf[1500];
  const int n = std::snprintf(buf, sizeof buf, "%.1100f", std::fabs(v));
  if (n <= 0 || n >= static_cast<int>(sizeof buf)) return false;
  const char* point = std::strchr(buf, '.');
  if (point == nullptr || point[5] != '5') return false;
  for (const char* p = point + 6; *p != '\0'; ++p) {
    if (*p != '0') return false;
  }
  return true;
}

void check_number(double v) {
  const std::string got = vok::format_number(v);
  if (std::isnan(v)) return vok::fuzz::check(got == "NaN");
  if (std::isinf(v)) return vok::fuzz::check(got == (v > 0 ? "inf" : "-inf"));
  char want[400];
  std::snprintf(want, sizeof want, "%.4f", v);
  vok::fuzz::check(got.find_first_of("eE") == std::string::npos);
  vok::fuzz::check(got.size() > 5 && got[got.size() - 5] == '.');
  vok::fuzz::check((got[0] == '-') == static_cast<bool>(std::signbit(v)) || got == want);
  if (got != want) vok::fuzz::check(halfway_at_four_decimals(v));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vok;
  fuzz::ByteReader in(data, size);
  check_number(in.number());

  const OperatorList ops = fuzz::read_operator_table(in);
  Expression e = fuzz::make_expression(in, {});
  e.tokens = fuzz::read_tokens(in, 256);

  const std::string latex = render_latex(e, ops);
  const std::string python = render_python(e, ops);
  // Pure functions of their arguments.
  vok::fuzz::check(latex == render_latex(e, ops));
  vok::fuzz::check(python == render_python(e, ops));
  if (e.tokens.empty()) vok::fuzz::check(latex.empty() && python.empty());
  for (const Token& t : e.tokens) {
    if (t.kind == TokenKind::Literal || t.kind == TokenKind::Parameter) check_number(t.value.re);
  }
  return 0;
}
