#pragma once

// Column-wise evaluation: one token sequence over a block of samples at once.
//
// The values are stored as structure of arrays (a real and an imaginary
// column per value), each Apply runs one tight loop over the lanes with the
// built-in arithmetic inlined, and leaves cost a pointer, not a copy. Every
// lane equals the per-sample stack machine (eval_internal) bit for bit:
// the same value where it gives one, "no value" (ok = 0) exactly where it
// gives none. eval_internal stays the reference.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/dataset.hpp"
#include "core/expression.hpp"
#include "eval/signature.hpp"
#include "ops/builtin.hpp"
#include "ops/operator.hpp"

namespace vok {

// One complex column of `lanes` values (the count travels separately).
struct ColumnView {
  const double* re = nullptr;
  const double* im = nullptr;
};

// A column of values with their validity: lane i has a value iff ok[i] != 0;
// re[i] and im[i] are unspecified where it has none.
struct ColumnValues {
  const double* re = nullptr;
  const double* im = nullptr;
  const std::uint8_t* ok = nullptr;
};

// Where an evaluation writes its `lanes` results.
struct ColumnOut {
  double* re = nullptr;
  double* im = nullptr;
  std::uint8_t* ok = nullptr;
};

// Operator id -> built-in kind, built once per operator list with one
// dynamic_cast per operator, so that evaluation runs a column kernel for a
// built-in and calls any other operator per lane. Holds a view of `ops`:
// the list (the registry) must outlive the table. Immutable after
// construction: safe to share across threads.
class KernelTable {
 public:
  explicit KernelTable(OperatorList ops);

  OperatorList ops() const { return ops_; }
  std::size_t size() const { return ops_.size(); }
  // nullopt for an operator that is not a built-in, and for an id out of range.
  [[nodiscard]] std::optional<BuiltinKind> builtin(std::uint64_t id) const {
    if (id >= kinds_.size() || kinds_[id] == kNotBuiltin) return std::nullopt;
    return static_cast<BuiltinKind>(kinds_[id]);
  }

 private:
  static constexpr std::uint8_t kNotBuiltin = 0xff;
  OperatorList ops_;
  std::vector<std::uint8_t> kinds_;
};

// Real-valued or complex sample data as one column per variable.
// Invariant: views_ holds num_vars columns of lanes_ values each, either
// into re_ and im_ (num_vars * lanes values each, variable-major; from_rows)
// or into a dataset's columns with im_ one column of lanes_ zeros, every
// variable's imaginary part (over).
class InputColumns {
 public:
  InputColumns() = default;
  // rows: `lanes` rows of num_vars values each, row-major; copied.
  static InputColumns from_rows(std::span<const Complex> rows, std::size_t num_vars);
  // The dataset's columns in place, real: no copy of its values. The
  // dataset must outlive the columns (a move of either keeps them valid).
  static InputColumns over(const Dataset& data);

  std::size_t lanes() const { return lanes_; }
  std::size_t num_vars() const { return views_.size(); }
  std::span<const ColumnView> views() const { return views_; }

 private:
  std::size_t lanes_ = 0;
  std::vector<double> re_;
  std::vector<double> im_;
  std::vector<ColumnView> views_;
};

// The fingerprint's five probe points as input columns: lane i of variable j
// is (kProbes[(i + j) mod 5], i odd ? (j + 1) * 0.1 : 0), the point that
// fingerprint() builds. A variable's probe values do not depend on how many
// variables there are, so one table serves every expression: views(n) is the
// input of an expression with num_vars n. Immutable after construction.
class ProbeColumns {
 public:
  static constexpr std::size_t kLanes = kProbeCount;

  explicit ProbeColumns(std::size_t num_vars = kMaxVariables);

  std::size_t num_vars() const { return views_.size(); }
  // The first n variables; precondition n <= num_vars().
  std::span<const ColumnView> views(std::size_t n) const { return std::span(views_).first(n); }

 private:
  std::vector<double> re_;
  std::vector<double> im_;
  std::vector<ColumnView> views_;
};

// The process-wide probe columns for all kMaxVariables variables, built on
// first use (thread-safe).
const ProbeColumns& probe_columns();

namespace detail {
class ColumnEvaluator;
}

// Scratch memory of the column evaluator: grows to the deepest program and
// widest block it has seen, then evaluation allocates nothing. Not thread
// safe: one workspace per thread.
class ColumnWorkspace {
 public:
  ColumnWorkspace() = default;

 private:
  friend class detail::ColumnEvaluator;
  std::vector<double> stack_columns_;  // per stack depth: re block, im block
  std::vector<double> leaf_columns_;   // per broadcast leaf: re block, im block
  std::vector<ColumnView> stack_;      // the value stack of one block
  std::vector<Complex> lane_args_;     // operands of one per-lane operator call
  std::vector<double> result_re_;      // results of the workspace-owned overload
  std::vector<double> result_im_;
  std::vector<std::uint8_t> result_ok_;
};

// Workspace-owned results, valid until the workspace is used again.
struct ColumnResult {
  std::span<const double> re;
  std::span<const double> im;
  std::span<const std::uint8_t> ok;
  std::size_t ok_count = 0;  // lanes with a value

  ColumnValues values() const { return {re.data(), im.data(), ok.data()}; }
};

// Evaluates `tokens` on `lanes` samples: inputs[j] holds variable j's values
// (`lanes` each); Parameter k takes params[k] when k < params.size(), else
// its stored value, on every lane (as eval_with_params). Lane i equals
// eval_internal(tokens, row i, params, table.ops()). A program that fails
// for a reason independent of the values (variable index beyond `inputs`,
// too few operands, operator id out of range, arity that differs from a
// built-in's, final stack not exactly one value) has no value on any lane.
// Operators that are not built-ins are called only on lanes that still
// have a value, as the per-sample path would call them.
// Returns the number of lanes with a value.
std::size_t eval_columns(std::span<const Token> tokens, std::span<const ColumnView> inputs,
                         std::size_t lanes, std::span<const Complex> params, const KernelTable& table,
                         ColumnWorkspace& ws, ColumnOut out);
[[nodiscard]] ColumnResult eval_columns(std::span<const Token> tokens, std::span<const ColumnView> inputs,
                          std::size_t lanes, std::span<const Complex> params, const KernelTable& table,
                          ColumnWorkspace& ws);
// eval_columns that also writes nonreal[0 .. lanes): whether the lane met a
// value that is not real on its way, a leaf or an operator's result whose
// imaginary part is not zero (a NaN one counts). Meaningful only on lanes
// with a value; where a lane failed it is unspecified.
std::size_t eval_columns_tracking_nonreal(std::span<const Token> tokens, std::span<const ColumnView> inputs,
                                          std::size_t lanes, std::span<const Complex> params,
                                          const KernelTable& table, ColumnWorkspace& ws, ColumnOut out,
                                          std::uint8_t* nonreal);

// A composed expression's values from its operands' values, without walking
// tokens: lane i of compose_unary(op_id, ..., child) is op(child lane i);
// of compose_binary(op_id, ..., left, right) it is op(left lane i, right
// lane i); no value where an operand has none, the operator fails, or the
// result leaves the guard. (The right operand's values must be those it
// has with its parameters at the slots the composition moves them to; with
// stored parameter values, as for fingerprints, nothing changes.) `out` may
// be the very same arrays as an operand. Returns the lanes with a value.
std::size_t compose_unary_values(std::uint64_t op_id, const KernelTable& table, std::size_t lanes,
                                 ColumnValues child, ColumnOut out);
std::size_t compose_binary_values(std::uint64_t op_id, const KernelTable& table, std::size_t lanes,
                                  ColumnValues left, ColumnValues right, ColumnOut out);

// The fingerprint from the five probe lanes (see ProbeColumns): nullopt when
// a lane has no value, else fingerprint_from_probe_values.
[[nodiscard]] std::optional<Fingerprint> fingerprint_from_probe_columns(ColumnValues probes);
// fingerprint() on the column path: equal to it for every expression.
[[nodiscard]] std::optional<Fingerprint> fingerprint_columns(const Expression& e, const KernelTable& table,
                                               ColumnWorkspace& ws);

}  // namespace vok
