#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/expression.hpp"
#include "core/signature.hpp"
#include "engine/fingerprint_set.hpp"
#include "ops/registry.hpp"

namespace vok {

// Slot k holds the retained candidates of complexity k; slot 0 stays empty.
using Levels = std::vector<std::vector<Expression>>;

// Fingerprints `candidate` and test-and-inserts the fingerprint: true when
// it has one and it is new to `seen`. Used for the seeds, one at a time.
bool admit_candidate(const Expression& candidate, const OperatorRegistry& registry,
                     FingerprintSet& seen);

// A composed child with its fingerprint, not yet admitted.
struct Child {
  Expression expression;
  Fingerprint fingerprint;
};

// The stages of one generation pass. Each works on a span of parents, so a
// level can be produced chunk by chunk (parents [a, b) of a pass, then
// admission, then scoring) without changing its outcome, provided the chunks
// are admitted in order.
//
// Children of every parent under every unary operator (parent, then operator
// ascending), computed in parallel. Children without a fingerprint or whose
// fingerprint is already in `seen` are left out; `seen` is only read.
std::vector<Child> unary_children(std::span<const Expression> parents,
                                  const OperatorRegistry& registry, const FingerprintSet& seen);
// Children L op R for L in `lefts`, R in `rights`, op binary ascending, in
// the order L, R, op, computed in parallel over `lefts`. `same_size` (the two
// operands come from the same level) enables the pruning of mirror images of
// commutative operators by formula text. A composition that would hold more
// than kMaxParams parameters is never built.
std::vector<Child> binary_children(std::span<const Expression> lefts,
                                   std::span<const Expression> rights, bool same_size,
                                   const OperatorRegistry& registry, const FingerprintSet& seen);
// Admits children in their order: among equal fingerprints the first wins,
// whatever the number of threads. Returns the admitted expressions in order.
std::vector<Expression> admit_in_order(std::vector<Child> children, FingerprintSet& seen);

// The candidate list of level k >= 2: admitted unary children of level k-1,
// then the admitted binary children of the splits i = 1 .. k-2 (left operand
// from level i, right from level k-1-i). Reads levels[1 .. k-1].
std::vector<Expression> generate_level(const Levels& levels, std::size_t k,
                                       const OperatorRegistry& registry, FingerprintSet& seen);

}  // namespace vok
