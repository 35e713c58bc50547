#pragma once

// Output scaling: the least-squares rescalings a*f + b, a*f and f + b of a candidate, as formulas of their own.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "config/search_config.hpp"
#include "core/expression.hpp"
#include "engine/data/sample_set.hpp"
#include "engine/fitness/scoring.hpp"
#include "engine/select/pareto.hpp"
#include "ops/registry.hpp"

namespace vok {

// Whether a search offers rescalings: with output scaling, unless its
// formulas are built from named constants alone, where nothing is fitted
// and a rescaling's fitted a and b would be the only fitted constants.
constexpr bool offers_rescalings(const SearchConfig& config) {
  return config.output_scaling && config.leaf_constants != LeafConstants::Named;
}

// The rescalings, in the order in which a candidate offers them. Each is an
// ordinary formula: f's tokens, then `C Times` for a, then `C Plus` for b,
// so a*f + b is Plus(Times(f, C), C) with a and b the parameters behind f's.
enum class ScaledKind : std::uint8_t { Scale, Shift, Affine };  // a*f, f + b, a*f + b
inline constexpr std::size_t kScaledKinds = 3;
// The tokens a rescaling adds to f: two per constant.
constexpr std::size_t scaled_extra_tokens(ScaledKind kind) { return kind == ScaledKind::Affine ? 4 : 2; }
constexpr bool scaled_has_a(ScaledKind kind) { return kind != ScaledKind::Shift; }
constexpr bool scaled_has_b(ScaledKind kind) { return kind != ScaledKind::Scale; }

// The least-squares coefficients of one rescaling (a is 1 for f + b, b is 0
// for a*f), and a floor under its raw error: the least mean square residual
// any coefficients of its kind reach on f's values, less a margin far above
// the rounding of that closed form and of the composed evaluation. The
// penalty of the constants only adds to the error, so the error a
// rescaling scores is never below `least_error`.
struct ScaledFit {
  ScaledKind kind = ScaledKind::Scale;
  double a = 1.0;
  double b = 0.0;
  double least_error = 0.0;
};
using ScaledFits = std::array<std::optional<ScaledFit>, kScaledKinds>;  // by kind

// A coefficient within this of 1 (a) or of 0 (b, relative to the RMS of the
// targets) gains at most a relative 1e-12 of the targets' mean square: the
// rescaling is f itself, or the smaller one without that coefficient.
inline constexpr double kScalingTolerance = 1e-6;

// The closed-form least-squares fits to the targets `t` of f's real parts
// `f` on every sample: a*f + b from the centred sums (a = sft / sff,
// b = mean(t) - a * mean(f)), a*f from the plain ones (a = sum(f t) /
// sum(f f)), f + b from the means (b = mean(t) - mean(f)). A rescaling is
// left out when it is degenerate: f constant to round-off on the samples
// (or fewer than two samples), a = 0, a coefficient or a sum that is not
// finite, a within kScalingTolerance of 1 for a*f, b within it of 0 for
// f + b, and either for a*f + b (then a smaller rescaling, or f, is it).
// With weights `w` (one per sample, averaging 1; see Dataset), every sum
// and mean is weighted. Pure.
[[nodiscard]] ScaledFits scaling_fits(std::span<const double> f, std::span<const double> t,
                                      const double* w = nullptr);
// The same from f's sums against the targets, taken with `plain`.
[[nodiscard]] ScaledFits scaling_fits(const LineSums& sums);

// The ids and names of Times and Plus in a registry; nullopt when it lacks
// either (no rescaling can then be written).
struct ScalingOps {
  std::uint64_t times = 0;
  std::uint64_t plus = 0;
  std::string times_name;
  std::string plus_name;
  [[nodiscard]] static std::optional<ScalingOps> find(const OperatorRegistry& registry);
};

// Whether the rescaling of f fits the search: at most max_complexity tokens
// (a rescaling larger than the search's limit is not offered: the front,
// like the levels, stops there), or scaling_headroom more, and kMaxParams
// parameters.
[[nodiscard]] bool scaled_fits_search(const Expression& f, ScaledKind kind, const SearchConfig& config);

// The rescaling as a formula: f's tokens, parameters and values, then a
// and b as parameters num_params and num_params + 1.
[[nodiscard]] Expression scaled_expression(const Expression& f, const ScaledFit& fit, const ScalingOps& ops);

// Per kind, an error at or above which the caller has no use for a
// rescaling: score_rescalings leaves out a kind whose least_error reaches it
// without composing it.
using ScaledCeilings = std::array<double, kScaledKinds>;

// One rescaling with its raw error.
struct ScaledScore {
  ScaledFit fit;
  double error = 0.0;
};
using ScaledScores = std::array<std::optional<ScaledScore>, kScaledKinds>;  // by kind

// The rescalings of f that fit the search, with their raw errors: exactly
// compute_raw_error(scaled_expression(f, fit, ops), samples, alpha,
// l1_ratio), and finite (others are left out). `values`, when given, are
// f's values on every sample (all usable), else f is evaluated. On the
// column path the errors come from f's values composed with Times and Plus
// over broadcast constants, the very lanes an evaluation of the whole
// formula gives; on the per-sample reference path each rescaling is built
// and evaluated. With `ceilings`, a kind whose error cannot come below its
// ceiling is left out too. `sums`, when given, are line_sums of `values`
// with `plain`. Pure; thread-safe.
[[nodiscard]] ScaledScores score_rescalings(const Expression& f, const SampleSet& samples, const SearchConfig& config,
                                            const ScalingOps& ops, const ColumnValues* values = nullptr,
                                            const ScaledCeilings* ceilings = nullptr,
                                            const LineSums* sums = nullptr);
// Whether any rescaling of f fits the search (scaled_fits_search).
[[nodiscard]] bool any_rescaling_fits(const Expression& f, const SearchConfig& config);

// f's values on every sample by the column path, in per-thread columns
// that stay valid until the calling thread's next call here; nullopt at
// the first sample without a usable value. Precondition: column_path().
[[nodiscard]] std::optional<ColumnValues> usable_column_values(const Expression& f, const SampleSet& samples);

// Offers the front each of f's rescalings, in kind order, with its raw
// error (what a level scored whole does after offering f).
void offer_rescalings(const Expression& f, const SampleSet& samples, const SearchConfig& config, ParetoFront& front);

}  // namespace vok
