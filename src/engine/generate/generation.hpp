#pragma once

// Producing a level's candidates from the retained levels below it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/search_control.hpp"
#include "core/expression.hpp"
#include "engine/generate/dimension.hpp"
#include "engine/generate/fingerprint_set.hpp"
#include "engine/generate/recipes.hpp"
#include "eval/column_eval.hpp"
#include "eval/signature.hpp"
#include "ops/registry.hpp"

namespace vok {

// Whether the operator set `disabled` (SearchConfig::disabled_operators)
// leaves out the operator with registry id `id`. Every pass below skips the
// operators it leaves out, so that no level holds a formula that applies
// one: the seeds apply none, and each child applies its operands'
// operators and its own.
constexpr bool operator_disabled(std::uint64_t disabled, std::uint64_t id) {
  return id < 64 && ((disabled >> id) & 1u) != 0;
}

// Fingerprints `candidate` and test-and-inserts the fingerprint: true when
// it has one and it is new to `seen`. Used for the seeds, one at a time.
bool admit_candidate(const Expression& candidate, const OperatorRegistry& registry,
                     FingerprintSet& seen);

// A composed child with its fingerprint, not yet admitted.
struct Child {
  Expression expression;
  Fingerprint fingerprint;
};

// Units (`units` given below): a child whose operands cannot be made
// dimensionally consistent under its operator (a dimensional argument of
// exp, log, a trigonometric function or Vok, a sum or difference of unlike
// dimensions, with no free constant in reach to absorb the difference) is
// dropped before it is fingerprinted, so it neither takes a slot nor
// shadows a consistent child of the same values. Dropping it is exact: the
// dimensions a formula can take are computed from its operands' alone, and
// an operand that can take none leaves its parent none, so an inconsistent
// candidate can only sit inside inconsistent formulas, none of which the
// front may take. Without units nothing changes.
//
// The stages of one generation pass. Each works on a span of parents, so a
// level can be produced chunk by chunk (parents [a, b) of a pass, then
// admission, then scoring) without changing its outcome, provided the chunks
// are admitted in order.
//
// Children of every parent under every unary operator (parent, then operator
// ascending), computed in parallel. Children without a fingerprint or whose
// fingerprint is already in `seen` are left out; `seen` is only read.
// Every pass leaves out the operators of `disabled` (operator_disabled).
[[nodiscard]] std::vector<Child> unary_children(std::span<const Expression> parents,
                                  const OperatorRegistry& registry, const FingerprintSet& seen,
                                  std::uint64_t disabled = 0,
                                  const DimensionRules* units = nullptr);
// Children L op R for L in `lefts`, R in `rights`, op binary ascending, in
// the order L, R, op, computed in parallel over `lefts`. `same_size` (the two
// operands come from the same level) enables the pruning of mirror images of
// commutative operators by formula text. A composition that would hold more
// than kMaxParams parameters is never built.
[[nodiscard]] std::vector<Child> binary_children(std::span<const Expression> lefts,
                                   std::span<const Expression> rights, bool same_size,
                                   const OperatorRegistry& registry, const FingerprintSet& seen,
                                   std::uint64_t disabled = 0,
                                   const DimensionRules* units = nullptr);
// Admits children in their order: among equal fingerprints the first wins,
// whatever the number of threads. Returns the admitted expressions in order.
[[nodiscard]] std::vector<Expression> admit_in_order(std::vector<Child> children, FingerprintSet& seen);

// The candidate list of level k >= 2: admitted unary children of level k-1,
// then the admitted binary children of the splits i = 1 .. k-2 (left operand
// from level i, right from level k-1-i). Reads levels[1 .. k-1].
[[nodiscard]] std::vector<Expression> generate_level(const Levels& levels, std::size_t k,
                                       const OperatorRegistry& registry, FingerprintSet& seen,
                                       std::uint64_t disabled = 0,
                                   const DimensionRules* units = nullptr);

// --- Generation from probe values -------------------------------------------
//
// The same candidate list as generate_level, but a child's fingerprint comes
// from its operands' values at the five probe points (compose_*_values), so
// no child is built or evaluated to be fingerprinted; an admitted child is
// kept as a Recipe and built only when it is needed.

// An expression's values at the five probe points, with its stored
// parameter values; ok[i] = 0 where evaluation gives no value.
struct ProbeValues {
  std::array<double, kProbeCount> re{};
  std::array<double, kProbeCount> im{};
  std::array<std::uint8_t, kProbeCount> ok{};

  ColumnValues values() const { return {re.data(), im.data(), ok.data()}; }
  ColumnOut out() { return {re.data(), im.data(), ok.data()}; }
};

// The probe values of every expression of a level, in level order; computed
// once when the level is stored, then shared read only by the passes.
std::vector<ProbeValues> level_probe_values(std::span<const Expression> level, const KernelTable& table);

// Whether level k fits recipes: every index, split and operator position
// must fit its field (always so for real searches; otherwise the caller
// uses generate_level).
bool recipes_fit(const Levels& levels, std::size_t k, const OperatorRegistry& registry);

// The candidate list of level k as recipes, in generate_level's order and
// admitted into `seen` exactly as generate_level would admit them.
// `probes[i]` holds the probe values of levels[i] (slots 1 .. k-1).
// A binary pass is admitted `left_chunk` left operands at a time (0 counts
// as 1), which bounds its pending children and changes no admission.
// `stop`, when given, is asked between chunks and passes on the calling
// thread; once it says true the list ends there, incomplete (the caller
// abandons the level). The operators of `disabled` are left out, as in
// generate_level; a recipe's `op` still counts every operator of its arity,
// so the numbering of a level's compositions does not depend on the set.
// Precondition: recipes_fit(levels, k, registry).
inline constexpr std::size_t kDefaultLeftChunk = 64;
[[nodiscard]] RecipeList generate_recipes(const Levels& levels, std::span<const std::vector<ProbeValues>> probes,
                            std::size_t k, const OperatorRegistry& registry, const KernelTable& table,
                            FingerprintSet& seen, std::size_t left_chunk = kDefaultLeftChunk,
                            const StopCheck& stop = {}, std::uint64_t disabled = 0,
                            const DimensionRules* units = nullptr);

// Builds the expression a recipe of level k stands for (compose_unary /
// compose_binary with the operator's name), equal to the one generate_level
// builds. Holds views of `levels` and `registry`. Thread-safe to call.
class CandidateBuilder {
 public:
  CandidateBuilder(const Levels& levels, std::size_t k, const OperatorRegistry& registry);
  [[nodiscard]] Expression operator()(const Recipe& r) const;
  // The id of the operator the recipe applies.
  std::uint64_t op_id(const Recipe& r) const { return r.split == 0 ? unary_[r.op].id : binary_[r.op].id; }

 private:
  struct Op {
    std::uint64_t id;
    std::string_view name;
  };
  const Levels& levels_;
  std::size_t k_;
  std::vector<Op> unary_;
  std::vector<Op> binary_;
};

}  // namespace vok
