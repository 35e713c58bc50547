#pragma once

// The settings of one search, and their per-request derivation.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "config/units.hpp"

namespace vok {

// How candidates are evaluated. Both paths compute the same values bit for
// bit; PerSample is the plain stack machine, one sample at a time, kept as
// the reference that the column-wise Fast path is tested and measured
// against.
enum class EvalPath { Fast, PerSample };

// What ranks a level's candidates for the beam. Raw: the penalised raw
// error. Affine: the penalised error of the candidate's best affine fit
// a * f + b to the targets, so that a sub-formula right up to scale and
// offset survives to build the next levels. Only the beam changes: the
// front, the early exit and every reported error stay raw.
enum class Ranking { Raw, Affine };

// The constant leaves of level 1 besides the variables: the fitted constant
// "C", the registry's named constants (0, 1, I, Pi, E), or both.
enum class LeafConstants { Fitted, Named, Both };

// How refinement steps. The defaults are vok_sr's method: a diagonal
// Levenberg-Marquardt step (each constant moved by its own gradient over
// its own curvature) and at most two rejected steps in a row. `coupled`
// solves the damped normal equations of all constants together (J^T J, by
// Cholesky; the diagonal step where that matrix is not positive definite),
// which converges where constants are correlated, as a scale and a rate
// are in C * exp(C * x); `rejections` is how many rejected steps in a row
// end the fit before the damping ceiling does.
struct RefinePolicy {
  bool coupled = false;
  int rejections = 2;
};
// The coupled method, which gives up only at the damping ceiling.
inline constexpr RefinePolicy kCoupledRefine{true, 6};

// Settings of one search. A plain value: every search works on its own copy,
// so a request never changes the configuration it was derived from. Values
// are stored as given; the search decides what odd ones mean.
struct SearchConfig {
  std::size_t max_complexity = 10;
  double complexity_penalty = 0.1;
  std::size_t beam_width = 1000;
  double alpha = 0.0;
  double l1_ratio = 0.5;
  double early_exit_threshold = 1e-10;  // fixed
  bool exhaustive = false;              // set by the candidate listing request
  bool optimize_constants = true;       // fixed
  EvalPath eval_path = EvalPath::Fast;  // engine-internal: tests and benchmarks
  Ranking ranking = Ranking::Raw;                  // engine-internal: the private entry
  LeafConstants leaf_constants = LeafConstants::Fitted;  // engine-internal: the private entry
  // Engine-internal (the private entry): the operators generation never
  // applies, bit `id` for the registry id `id` (ids from 64 on cannot be
  // left out; bits of named constants mean nothing). 0: every operator.
  std::uint64_t disabled_operators = 0;
  // Engine-internal (the private entry): every scored candidate f also
  // offers the front its least-squares rescalings a*f + b, a*f and f + b
  // (engine/fitness/scaling.hpp), each scored as the formula it is. The
  // beam is unchanged. Not with LeafConstants::Named, whose formulas have
  // nothing fitted. Both evaluation paths do it: the per-sample
  // reference builds and evaluates each rescaling, the column path composes
  // its values from f's, with the same result bit for bit.
  bool output_scaling = false;
  // Engine-internal: on the Fast path a level's candidates are composed,
  // scored and folded into the beam this many at a time, so that a level's
  // memory does not grow with its candidate count (0 counts as 1).
  std::size_t candidate_chunk = 16384;
  // Engine-internal: the memory the retained levels' values on the samples
  // may take together (the Fast path composes candidates' values from them).
  // Levels beyond it have none, and their children are evaluated whole.
  std::size_t sample_column_budget = std::size_t{256} << 20;
  // Engine policy, the private entry only: a candidate with constants whose
  // values at its starting constants (its operands' fitted ones) rank more
  // than this factor behind the previous level's beam threshold, and whose
  // best affine fit is more than this factor behind the best error of the
  // front when its level opened, is dropped without refining its constants
  // (engine/fitness/scoring.hpp, LevelScreen). A heuristic, not a bound:
  // refinement could in principle rescue such a candidate. Both thresholds
  // are fixed when a level opens, so the outcome depends neither on the
  // thread count nor on how the level is split. 0: every candidate is
  // refined, as vok_sr searches.
  double screen_factor = 0.0;
  // Engine policy, the private entry only: how every refinement of the
  // search steps (candidates and the final refit). vok_sr's by default.
  RefinePolicy refine{};
  // Engine policy, the private entry only: the dimensions of the inputs and
  // the target. With them a search builds only dimensionally consistent
  // formulas and offers the front only those of the target's dimension
  // (engine/generate/dimension.hpp). None: no units, as vok_sr searches.
  std::optional<UnitSettings> units = std::nullopt;
  // Engine-internal (the private entry's warm starts): rescalings of up to
  // max_complexity + scaling_headroom tokens are offered to the front too,
  // so that a later search to a larger max_complexity, continued from this
  // one's levels, has every rescaling a single search to its limit offers.
  // The results and the early exit read only the entries up to
  // max_complexity: with any headroom a search finds the same formulas.
  std::size_t scaling_headroom = 0;
};

// The configuration of one request: a copy of `base` in which the given
// alpha / l1_ratio replace the stored ones (absent ones keep the searcher's
// setting), with `exhaustive` set for the candidate listing.
[[nodiscard]] inline SearchConfig derive_search_config(const SearchConfig& base, std::optional<double> alpha,
                                         std::optional<double> l1_ratio, bool exhaustive) {
  SearchConfig c = base;
  if (alpha) c.alpha = *alpha;
  if (l1_ratio) c.l1_ratio = *l1_ratio;
  if (exhaustive) c.exhaustive = true;
  return c;
}

}  // namespace vok
