// libFuzzer target: the fingerprint of arbitrary expressions (whatever
// their stored counts claim) and the saturating rounding. A fingerprint
// exists only when all five probes evaluate inside the guard, it is
// deterministic, equal fingerprints hash equally, and the column-wise path
// agrees with the stack machine.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "eval/column_eval.hpp"
#include "eval/eval.hpp"
#include "eval/signature.hpp"
#include "ops/registry.hpp"
#include "token_source.hpp"

namespace {

void check_rounding(double v) {
  if (std::isnan(v)) return;  // never passed: probes are checked first
  const std::int64_t got = vok::round_saturating(v);
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  if (v >= 9223372036854775807.0) return vok::fuzz::check(got == kMax);  // 2^63 and above
  if (v < -9223372036854775808.0) return vok::fuzz::check(got == kMin);
  if (std::fabs(v) < 4e18) return vok::fuzz::check(got == std::llround(v));
  vok::fuzz::check(static_cast<double>(got) == v);  // integral already
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vok;
  fuzz::ByteReader in(data, size);
  check_rounding(in.number());
  check_rounding(in.number() * kFingerprintScale);

  const OperatorList ops = fuzz::read_operator_table(in);
  Expression e = fuzz::make_expression(in, {});
  std::vector<Token> tokens = fuzz::read_tokens(in, 256);
  e.num_params = 0;
  for (const Token& t : tokens) e.num_params += t.kind == TokenKind::Parameter;
  e.tokens = std::move(tokens);

  const std::optional<Fingerprint> f = fingerprint(e, ops);
  const std::optional<Fingerprint> again = fingerprint(e, ops);
  vok::fuzz::check(f.has_value() == again.has_value());
  // The column path computes the same fingerprint, or the same absence.
  const KernelTable kernels(ops);
  ColumnWorkspace ws;
  const std::optional<Fingerprint> by_columns = fingerprint_columns(e, kernels, ws);
  vok::fuzz::check(f.has_value() == by_columns.has_value());
  if (f) vok::fuzz::check(*f == *by_columns);
  if (!f) return 0;
  vok::fuzz::check(*f == *again);
  vok::fuzz::check(FingerprintHash{}(*f) == FingerprintHash{}(*again));
  // A fingerprint implies a value at every probe point.
  for (std::size_t i = 0; i < kProbes.size(); ++i) {
    std::vector<Complex> point(e.num_vars);
    for (std::size_t j = 0; j < point.size(); ++j) {
      point[j] = {kProbes[(i + j) % kProbes.size()], i % 2 ? static_cast<double>(j + 1) * 0.1 : 0.0};
    }
    const std::optional<Complex> v = eval(e, point, ops);
    vok::fuzz::check(v.has_value() && within_guard(*v));
    vok::fuzz::check(f->values[2 * i] == round_saturating(v->re * kFingerprintScale));
  }
  return 0;
}
