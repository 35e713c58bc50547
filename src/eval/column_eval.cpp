// Column-wise evaluation of token sequences, and fingerprints from it.
#include "eval/column_eval.hpp"

#include <algorithm>
#include <array>

#include "core/guard.hpp"

namespace vok {

KernelTable::KernelTable(OperatorList ops) : ops_(ops), kinds_(ops.size(), kNotBuiltin) {
  for (std::size_t i = 0; i < ops.size(); ++i) {
    if (!ops[i]) continue;
    if (const std::optional<BuiltinKind> k = builtin_kind_of(*ops[i])) {
      kinds_[i] = static_cast<std::uint8_t>(*k);
    }
  }
}

InputColumns InputColumns::from_rows(std::span<const Complex> rows, std::size_t num_vars) {
  InputColumns c;
  c.lanes_ = num_vars == 0 ? 0 : rows.size() / num_vars;
  c.re_.resize(num_vars * c.lanes_);
  c.im_.resize(num_vars * c.lanes_);
  for (std::size_t s = 0; s < c.lanes_; ++s) {
    for (std::size_t j = 0; j < num_vars; ++j) {
      c.re_[j * c.lanes_ + s] = rows[s * num_vars + j].re;
      c.im_[j * c.lanes_ + s] = rows[s * num_vars + j].im;
    }
  }
  for (std::size_t j = 0; j < num_vars; ++j) {
    c.views_.push_back({c.re_.data() + j * c.lanes_, c.im_.data() + j * c.lanes_});
  }
  return c;
}

InputColumns InputColumns::over(const Dataset& data) {
  InputColumns c;
  c.lanes_ = data.rows();
  c.im_.assign(c.lanes_, 0.0);
  for (std::size_t j = 0; j < data.cols(); ++j) c.views_.push_back({data.column(j).data(), c.im_.data()});
  return c;
}

ProbeColumns::ProbeColumns(std::size_t num_vars)
    : re_(num_vars * kLanes), im_(num_vars * kLanes), views_(num_vars) {
  for (std::size_t j = 0; j < num_vars; ++j) {
    for (std::size_t i = 0; i < kLanes; ++i) {
      const Complex point = probe_point(i, j);
      re_[j * kLanes + i] = point.re;
      im_[j * kLanes + i] = point.im;
    }
    views_[j] = {re_.data() + j * kLanes, im_.data() + j * kLanes};
  }
}

const ProbeColumns& probe_columns() {
  static const ProbeColumns probes;
  return probes;
}

namespace detail {

// The column stack machine. Failures that do not depend on the values are
// found in one pass over the tokens before any arithmetic (they fail every
// lane at the same token, so stopping there is what the per-sample path
// does on every row); the value-dependent failures (domain, guard) clear
// the lane's ok byte. A lane that has failed keeps being computed with
// meaningless values, which is harmless for the built-ins; operators from
// elsewhere are not called on it.
class ColumnEvaluator {
 public:
  // Lanes per block: a block's stack of columns stays in the L1/L2 cache.
  static constexpr std::size_t kBlock = 256;

  struct Shape {
    bool valid = false;
    std::size_t max_depth = 0;
    std::size_t broadcast_leaves = 0;
    std::size_t max_arity = 0;
  };

  static Shape shape(std::span<const Token> tokens, std::size_t num_inputs, const KernelTable& table) {
    Shape s;
    std::size_t depth = 0;
    for (const Token& t : tokens) {
      switch (t.kind) {
        case TokenKind::Constant:
          if (t.op >= table.size()) return s;
          ++s.broadcast_leaves;
          ++depth;
          break;
        case TokenKind::Literal:
        case TokenKind::Parameter:
          ++s.broadcast_leaves;
          ++depth;
          break;
        case TokenKind::Variable:
          if (t.index >= num_inputs) return s;
          ++depth;
          break;
        case TokenKind::Apply: {
          const std::size_t arity = t.arity();
          if (depth < arity || t.op >= table.size()) return s;
          // A built-in given another number of operands fails (its eval
          // refuses them).
          if (const std::optional<BuiltinKind> k = table.builtin(t.op);
              k && kBuiltinFacts[static_cast<std::size_t>(*k)].arity != arity) {
            return s;
          }
          depth = depth - arity + 1;
          s.max_arity = std::max(s.max_arity, arity);
          break;
        }
        default:
          return s;
      }
      s.max_depth = std::max(s.max_depth, depth);
    }
    s.valid = depth == 1;
    return s;
  }

  // With kTrack, nonreal[i] is set to whether lane i met a value with a
  // non-zero (or NaN) imaginary part: a leaf or an operator's result.
  template <bool kTrack = false>
  static std::size_t run(std::span<const Token> tokens, std::span<const ColumnView> inputs,
                         std::size_t lanes, std::span<const Complex> params, const KernelTable& table,
                         ColumnWorkspace& ws, ColumnOut out, std::uint8_t* nonreal = nullptr) {
    if (lanes == 0) return 0;
    const Shape s = shape(tokens, inputs.size(), table);
    if (!s.valid) {
      std::fill(out.ok, out.ok + lanes, std::uint8_t{0});
      return 0;
    }
    const std::size_t block = std::min(lanes, kBlock);
    prepare(ws, s, block);
    fill_broadcast_leaves(tokens, params, ws, block);

    std::size_t ok_count = 0;
    for (std::size_t b0 = 0; b0 < lanes; b0 += block) {
      const std::size_t n = std::min(block, lanes - b0);
      std::uint8_t* ok = out.ok + b0;
      std::fill(ok, ok + n, std::uint8_t{1});
      std::uint8_t* const nr = kTrack ? nonreal + b0 : nullptr;
      if constexpr (kTrack) std::fill(nr, nr + n, std::uint8_t{0});
      const ColumnView top = run_block<kTrack>(tokens, inputs, b0, n, block, table, ws, ok, nr);
      std::copy(top.re, top.re + n, out.re + b0);
      std::copy(top.im, top.im + n, out.im + b0);
      for (std::size_t i = 0; i < n; ++i) ok_count += ok[i];
    }
    return ok_count;
  }

  // op(operands) per lane, with the guard, for a unary or binary `op_id`.
  static std::size_t compose(std::uint64_t op_id, const KernelTable& table, std::size_t lanes,
                             std::span<const ColumnValues> operands, ColumnOut out) {
    const std::size_t arity = operands.size();
    bool valid = op_id < table.size();
    const std::optional<BuiltinKind> kind = table.builtin(op_id);
    if (kind && kBuiltinFacts[static_cast<std::size_t>(*kind)].arity != arity) valid = false;
    if (!valid) {
      std::fill(out.ok, out.ok + lanes, std::uint8_t{0});
      return 0;
    }
    for (std::size_t i = 0; i < lanes; ++i) {
      std::uint8_t ok = operands[0].ok[i];
      if (arity == 2) ok &= operands[1].ok[i];
      out.ok[i] = ok;
    }
    std::array<ColumnView, 2> views{};
    for (std::size_t k = 0; k < arity; ++k) views[k] = {operands[k].re, operands[k].im};
    std::array<Complex, 2> args{};
    apply(op_id, kind, table, std::span(views).first(arity), lanes, out.re, out.im, out.ok, args);
    std::size_t ok_count = 0;
    for (std::size_t i = 0; i < lanes; ++i) ok_count += out.ok[i];
    return ok_count;
  }

  static ColumnResult run_owned(std::span<const Token> tokens, std::span<const ColumnView> inputs,
                                std::size_t lanes, std::span<const Complex> params,
                                const KernelTable& table, ColumnWorkspace& ws) {
    if (ws.result_ok_.size() < lanes) {
      ws.result_re_.resize(lanes);
      ws.result_im_.resize(lanes);
      ws.result_ok_.resize(lanes);
    }
    ColumnResult r;
    r.ok_count = run(tokens, inputs, lanes, params, table, ws,
                     {ws.result_re_.data(), ws.result_im_.data(), ws.result_ok_.data()});
    r.re = std::span<const double>(ws.result_re_.data(), lanes);
    r.im = std::span<const double>(ws.result_im_.data(), lanes);
    r.ok = std::span<const std::uint8_t>(ws.result_ok_.data(), lanes);
    return r;
  }

 private:
  static void prepare(ColumnWorkspace& ws, const Shape& s, std::size_t block) {
    // Only grows: after warm-up no evaluation allocates.
    const auto at_least = [](auto& v, std::size_t n) {
      if (v.size() < n) v.resize(n);
    };
    at_least(ws.stack_columns_, 2 * block * s.max_depth);
    at_least(ws.leaf_columns_, 2 * block * s.broadcast_leaves);
    at_least(ws.stack_, s.max_depth);
    at_least(ws.lane_args_, s.max_arity);
  }

  // Constants, literals and parameters are the same on every lane: their
  // columns are filled once per call, and each block only points at them.
  static void fill_broadcast_leaves(std::span<const Token> tokens, std::span<const Complex> params,
                                    ColumnWorkspace& ws, std::size_t block) {
    double* col = ws.leaf_columns_.data();
    for (const Token& t : tokens) {
      Complex v;
      switch (t.kind) {
        case TokenKind::Constant: v = t.value; break;
        case TokenKind::Literal: v = {t.value.re, 0.0}; break;
        case TokenKind::Parameter: v = t.index < params.size() ? params[t.index] : t.value; break;
        default: continue;
      }
      std::fill(col, col + block, v.re);
      std::fill(col + block, col + 2 * block, v.im);
      col += 2 * block;
    }
  }

  // Marks the lanes whose value in `im` is not a zero (NaN counts as non-zero).
  static void mark_nonreal(const double* im, std::size_t n, std::uint8_t* nonreal) {
    for (std::size_t i = 0; i < n; ++i) nonreal[i] |= static_cast<std::uint8_t>(im[i] != 0.0);
  }

  template <bool kTrack>
  static ColumnView run_block(std::span<const Token> tokens, std::span<const ColumnView> inputs,
                              std::size_t b0, std::size_t n, std::size_t block, const KernelTable& table,
                              ColumnWorkspace& ws, std::uint8_t* ok, std::uint8_t* nonreal) {
    ColumnView* stack = ws.stack_.data();
    const double* leaf = ws.leaf_columns_.data();
    double* owned = ws.stack_columns_.data();
    std::size_t sp = 0;
    for (const Token& t : tokens) {
      switch (t.kind) {
        case TokenKind::Variable:
          stack[sp++] = {inputs[t.index].re + b0, inputs[t.index].im + b0};
          if constexpr (kTrack) mark_nonreal(inputs[t.index].im + b0, n, nonreal);
          break;
        case TokenKind::Apply: {
          const std::size_t arity = t.arity();
          const std::size_t base = sp - arity;
          // The result takes the owned column of its stack depth; an operand
          // there is overwritten lane by lane after it is read.
          double* re = owned + 2 * block * base;
          double* im = re + block;
          apply(t.op, table.builtin(t.op), table, std::span(stack + base, arity), n, re, im, ok,
                ws.lane_args_);
          sp = base;
          stack[sp++] = {re, im};
          if constexpr (kTrack) mark_nonreal(im, n, nonreal);
          break;
        }
        default:  // the broadcast leaves, in token order
          stack[sp++] = {leaf, leaf + block};
          if constexpr (kTrack) mark_nonreal(leaf + block, n, nonreal);
          leaf += 2 * block;
          break;
      }
    }
    return stack[0];
  }

  template <class Args>
  static void apply(std::uint64_t op_id, std::optional<BuiltinKind> kind, const KernelTable& table,
                    std::span<const ColumnView> operands, std::size_t n, double* re, double* im,
                    std::uint8_t* ok, Args& args) {
    if (kind) {
      if (operands.size() == 1) {
        unary_column(*kind, n, operands[0].re, operands[0].im, re, im, ok);
      } else {
        binary_column(*kind, n, operands[0].re, operands[0].im, operands[1].re, operands[1].im, re, im,
                      ok);
      }
      return;
    }
    const Operator& op = *table.ops()[op_id];
    const std::size_t arity = operands.size();
    for (std::size_t i = 0; i < n; ++i) {
      if (!ok[i]) continue;
      for (std::size_t k = 0; k < arity; ++k) args[k] = {operands[k].re[i], operands[k].im[i]};
      const std::optional<Complex> r = op.eval(std::span<const Complex>(args.data(), arity));
      if (!r || !within_guard(*r)) {
        ok[i] = 0;
        continue;
      }
      re[i] = r->re;
      im[i] = r->im;
    }
  }
};

}  // namespace detail

std::size_t eval_columns(std::span<const Token> tokens, std::span<const ColumnView> inputs,
                         std::size_t lanes, std::span<const Complex> params, const KernelTable& table,
                         ColumnWorkspace& ws, ColumnOut out) {
  return detail::ColumnEvaluator::run(tokens, inputs, lanes, params, table, ws, out);
}

std::size_t eval_columns_tracking_nonreal(std::span<const Token> tokens, std::span<const ColumnView> inputs,
                                          std::size_t lanes, std::span<const Complex> params,
                                          const KernelTable& table, ColumnWorkspace& ws, ColumnOut out,
                                          std::uint8_t* nonreal) {
  return detail::ColumnEvaluator::run<true>(tokens, inputs, lanes, params, table, ws, out, nonreal);
}

ColumnResult eval_columns(std::span<const Token> tokens, std::span<const ColumnView> inputs,
                          std::size_t lanes, std::span<const Complex> params, const KernelTable& table,
                          ColumnWorkspace& ws) {
  return detail::ColumnEvaluator::run_owned(tokens, inputs, lanes, params, table, ws);
}

std::size_t compose_unary_values(std::uint64_t op_id, const KernelTable& table, std::size_t lanes,
                                 ColumnValues child, ColumnOut out) {
  const std::array<ColumnValues, 1> operands = {child};
  return detail::ColumnEvaluator::compose(op_id, table, lanes, operands, out);
}

std::size_t compose_binary_values(std::uint64_t op_id, const KernelTable& table, std::size_t lanes,
                                  ColumnValues left, ColumnValues right, ColumnOut out) {
  const std::array<ColumnValues, 2> operands = {left, right};
  return detail::ColumnEvaluator::compose(op_id, table, lanes, operands, out);
}

std::optional<Fingerprint> fingerprint_from_probe_columns(ColumnValues probes) {
  std::array<Complex, kProbeCount> values;
  for (std::size_t i = 0; i < kProbeCount; ++i) {
    if (!probes.ok[i]) return std::nullopt;
    values[i] = {probes.re[i], probes.im[i]};
  }
  return fingerprint_from_probe_values(values);
}

std::optional<Fingerprint> fingerprint_columns(const Expression& e, const KernelTable& table,
                                               ColumnWorkspace& ws) {
  std::array<double, kProbeCount> re{};
  std::array<double, kProbeCount> im{};
  std::array<std::uint8_t, kProbeCount> ok{};
  const ProbeColumns& probes = probe_columns();
  eval_columns(e.tokens, probes.views(std::min<std::size_t>(e.num_vars, probes.num_vars())),
               ProbeColumns::kLanes, {}, table, ws, {re.data(), im.data(), ok.data()});
  return fingerprint_from_probe_columns({re.data(), im.data(), ok.data()});
}

}  // namespace vok
