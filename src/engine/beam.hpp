#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/expression.hpp"
#include "engine/scoring.hpp"

namespace vok {

// The split of the beam: elite = trunc(double(beam_width) * 0.8), the rest
// goes to structurally rare candidates.
struct BeamQuota {
  std::size_t elite_count = 0;
  std::size_t diversity_quota = 0;
};
BeamQuota beam_quota(std::size_t beam_width);

// The operator ids of the Apply tokens in token order, joined by "-";
// empty for a leaf.
std::string operator_signature(const Expression& e);

// Ascending score with NaN last, so that a NaN complexity penalty still gives
// a strict weak order (std::sort and std::stable_sort need one).
inline bool score_less(double a, double b) {
  if (a != a) return false;
  if (b != b) return true;
  return a < b;
}

// Reduces a scored level to its retained expressions: the elite by ascending
// score, then the diversity picks (rarest elite signature first, then score).
// Equal scores keep generation order, so the outcome is deterministic.
std::vector<Expression> select_beam(std::vector<ScoredCandidate> scored, std::size_t beam_width,
                                    std::size_t elite_count, std::size_t diversity_quota);

}  // namespace vok
