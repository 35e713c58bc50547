#pragma once

// How a candidate's error and its penalised score are computed.

#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "config/search_config.hpp"
#include "core/expression.hpp"
#include "engine/data/sample_set.hpp"
#include "engine/data/samples.hpp"
#include "engine/refine/optimizer.hpp"
#include "engine/select/pareto.hpp"
#include "engine/select/scored_candidate.hpp"
#include "ops/registry.hpp"

namespace vok {


// MSE of the real part on the samples (stored parameter values) plus
// alpha * (((1 - l1_ratio) * 0.5) * L2 + L1 * l1_ratio) over the Literal and
// Parameter values; +inf at the first sample without a usable value.
// Column-wise on the column path, else the per-sample reference
// (engine/reference.hpp): the same double bit for bit. Pure; thread-safe.
[[nodiscard]] double compute_raw_error(const Expression& e, const SampleSet& samples, double alpha, double l1_ratio);

// Offers `e` to the front with its raw error when that error is finite.
void score_and_update(const Expression& e, const SampleSet& samples, ParetoFront& front, double alpha,
                      double l1_ratio);

// raw error * (complexity * complexity_penalty + 1.0), in that order.
[[nodiscard]] double penalised_score(double raw_error, std::size_t complexity, double complexity_penalty);
// The inverse the search applies before offering a scored candidate.
[[nodiscard]] double unpenalised_error(double score, std::size_t complexity, double complexity_penalty);

// e's real parts on every sample (stored parameter values, or `params`
// where given) into `f`, by the set's evaluation path; false at the first
// sample without a usable value; `im`, where given, receives the imaginary
// parts. Pure but for `f` and `im`; thread-safe.
[[nodiscard]] bool usable_real_parts(const Expression& e, const SampleSet& samples, std::vector<double>& f,
                                     std::span<const Complex> params = {}, std::vector<double>* im = nullptr);
// The same with parameter j moved by kJacobianStep, the others as stored:
// one column of refinement's first forward-difference Jacobian.
[[nodiscard]] bool moved_real_parts(const Expression& e, const SampleSet& samples, std::size_t j,
                                    std::vector<double>& f);

// The sums a weighted least-squares line through (f_i, t_i) needs, over
// n samples whose weights average 1 (so the means divide by n): f's and t's
// means, f's largest magnitude, the centred sums of squares and products
// (two-pass, for accuracy) and, with `plain`, the uncentred ones a line
// through the origin needs (else zero). The affine rank, the screen and
// the rescalings read one candidate's values through the same sums, so
// they are summed once and every reader sees the same doubles.
struct LineSums {
  double count = 0.0;
  double mf = 0.0, mt = 0.0, peak = 0.0;
  double sff = 0.0, sft = 0.0, stt = 0.0;
  double pff = 0.0, pft = 0.0, ptt = 0.0;
  // Whether f varies beyond round-off: a fit to a constant f would scale
  // round-off noise into a perfect match.
  [[nodiscard]] bool f_varies() const;
};
// Precondition: f.size() == t.size(). Pure.
[[nodiscard]] LineSums line_sums(std::span<const double> f, std::span<const double> t, const double* w,
                                 bool plain);

// The penalised error of e's best affine fit a * f + b to the targets (f the
// real parts on the samples, stored parameter values, plus e's elastic-net
// penalty), for ranking a level under Ranking::Affine; `raw_score` when the
// fit is degenerate. Pure; thread-safe.
[[nodiscard]] double affine_rank_score(const Expression& e, const SampleSet& samples, const SearchConfig& config,
                         double raw_score);
// The same from f, e's real parts on every sample, when they are at hand
// (every sample has a usable value): no evaluation.
[[nodiscard]] double affine_rank_score(const Expression& e, const SampleSet& samples, const SearchConfig& config,
                         double raw_score, std::span<const double> f);
// The same from the sums of f's values against the targets.
[[nodiscard]] double affine_rank_score(const Expression& e, const SampleSet& samples, const SearchConfig& config,
                         double raw_score, const LineSums& sums);

// The thresholds that SearchConfig::screen_factor applies to one level,
// fixed when the level opens: the previous level's beam threshold (the rank
// its beam_width-th signature best had) and the best error on the front.
// +inf where there is none yet: nothing is screened against it.
struct LevelScreen {
  double rank = std::numeric_limits<double>::infinity();
  double error = std::numeric_limits<double>::infinity();
};

// Whether the screen doubts a candidate with constants: `f`, its real
// parts on every sample at its starting constants, rank it more than
// config.screen_factor behind screen.rank, and its best affine fit a*f + b
// (which bounds its own error and every rescaling's from below) is more
// than that factor behind screen.error. Never with screen_factor 0 or for
// a candidate without constants. Pure; thread-safe.
[[nodiscard]] bool screen_doubts(const Expression& e, std::span<const double> f, const SampleSet& samples,
                                 const SearchConfig& config, const LevelScreen& screen);
// Whether a candidate that the screen doubts (screen_doubts) is dropped
// unrefined: the fit that a first step of refinement with a free scale and
// offset could reach, b + a*f + sum_j c_j*(moved[j] - f), is as far behind
// both thresholds (under raw ranking the rank takes the step's fit without
// them), where moved[j] are its real parts with parameter j moved by
// kJacobianStep (refinement's first Jacobian). The starting constants
// come from the operands' own fits and may be far from the candidate's;
// the model is exact where the constants enter linearly, as the c of
// (x + c) * g does, so such a formula is never dropped for its starting
// value. `im`, where given, holds the imaginary parts at the start: where
// some are not 0, the model takes only the samples where they are 0. On
// the others the moved columns of the real parts are flat (a root or
// logarithm past its branch point), so the model cannot see how far
// refinement may move a constant: x * sqrt(x + C) starting at C = 0.48 on [-2, 2], whose model
// on every sample is seven times behind the front, is the law after four
// iterations (C = 2.5). With too few samples for the model, or a moved
// column without a value, the doubt stands. Pure; thread-safe.
[[nodiscard]] bool screened_out(const Expression& e, std::span<const double> f,
                                std::span<const std::span<const double>> moved, const SampleSet& samples,
                                const SearchConfig& config, const LevelScreen& screen, const double* im = nullptr);

// Scores one candidate of a level: raw error, constant refinement (kept only
// when strictly better), and the penalised score; nullopt when the error is
// not finite. Raw error and refinement by the set's evaluation path. Pure;
// thread-safe.
[[nodiscard]] std::optional<ScoredCandidate> score_candidate(Expression e, const SampleSet& samples,
                                               const SearchConfig& config);
// The same from `values`, e's values on every sample with its stored
// parameter values (composed from its operands' values, for instance), so
// that neither the raw error nor the start of refinement evaluates e; and
// from `perturbed`, when it holds e's values with each parameter moved as
// the Jacobian moves it (see RefineStart), for the first Jacobian.
// Precondition: samples.column_path(); every column spans samples.size() lanes.
// `known` gives parameter-free subtrees' values to refinement (see RefineStart).
[[nodiscard]] std::optional<ScoredCandidate> score_candidate(Expression e, const SampleSet& samples,
                                               const SearchConfig& config, ColumnValues values,
                                               std::span<const ColumnValues> perturbed = {},
                                               std::span<const KnownSubtree> known = {});

}  // namespace vok
