// libFuzzer target: the stack machine on arbitrary token sequences.
// It may only answer "no value" or a value; the three entry points must
// agree bit for bit, and a caller's dirty stack must not change the answer;
// the unbounded machine must give the same bits wherever they have a value.
// The column-wise evaluator must give the very same answer on every lane.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "eval/column_eval.hpp"
#include "eval/eval.hpp"
#include "ops/registry.hpp"
#include "token_source.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vok;
  fuzz::ByteReader in(data, size);
  const std::vector<Complex> inputs = fuzz::read_values(in, 8);
  const std::vector<Complex> params = fuzz::read_values(in, 4);
  const OperatorList ops = fuzz::read_operator_table(in);
  Expression e = fuzz::make_expression(in, {});
  e.tokens = fuzz::read_tokens(in, 256);

  std::vector<Complex> fresh;
  const std::optional<Complex> r = eval_internal(e.tokens, inputs, params, ops, fresh);

  std::vector<Complex> dirty(in.byte() % 7, Complex{1.0, 2.0});
  vok::fuzz::check(fuzz::same_result(r, eval_internal(e.tokens, inputs, params, ops, dirty)));
  vok::fuzz::check(fuzz::same_result(r, eval_with_params(e, inputs, params, ops)));
  vok::fuzz::check(fuzz::same_result(eval(e, inputs, ops), eval_with_params(e, inputs, {}, ops)));

  // The same row on three lanes: every lane must equal the stack machine.
  constexpr std::size_t kLanes = 3;
  std::vector<Complex> rows;
  for (std::size_t lane = 0; lane < kLanes; ++lane) rows.insert(rows.end(), inputs.begin(), inputs.end());
  const InputColumns columns = InputColumns::from_rows(rows, inputs.size());
  const KernelTable kernels(ops);
  ColumnWorkspace ws;
  const ColumnResult c = eval_columns(e.tokens, columns.views(), kLanes, params, kernels, ws);
  vok::fuzz::check(c.ok_count == (r ? kLanes : 0));
  for (std::size_t lane = 0; lane < kLanes; ++lane) {
    const std::optional<Complex> v =
        c.ok[lane] ? std::optional<Complex>(Complex{c.re[lane], c.im[lane]}) : std::nullopt;
    vok::fuzz::check(fuzz::same_result(r, v));
  }

  // Without the bound: the same bits wherever the guarded machine has a
  // value, and only finite operator results.
  const std::optional<Complex> guarded = eval_internal(e.tokens, inputs, {}, ops, fresh);
  const std::optional<Complex> unbounded = eval_unbounded(e.tokens, inputs, ops, dirty);
  if (guarded) vok::fuzz::check(fuzz::same_result(guarded, unbounded));
  if (unbounded && !e.tokens.empty() && e.tokens.back().kind == TokenKind::Apply) {
    vok::fuzz::check(std::isfinite(unbounded->re) && std::isfinite(unbounded->im));
  }

  if (e.tokens.empty()) vok::fuzz::check(!r.has_value());
  // Operator results always pass the guard; only a lone leaf is unchecked.
  if (r && !e.tokens.empty() && e.tokens.back().kind == TokenKind::Apply) {
    vok::fuzz::check(within_guard(*r));
  }
  return 0;
}
