#pragma once

// The per-sample reference of scoring, refinement and finalization: what a sample set on the PerSample path runs, and what the column path is tested against.

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "config/search_config.hpp"
#include "core/expression.hpp"
#include "core/search_error.hpp"
#include "engine/data/samples.hpp"
#include "engine/select/pareto.hpp"
#include "engine/select/scored_candidate.hpp"
#include "ops/registry.hpp"
#include "result/search_result.hpp"

// Every operation here has one public entry, on a SampleSet, whose
// EvalPath chooses between this code and the column-wise one; these
// overloads are for that entry and for the tests that compare the two.
namespace vok::reference {

// MSE of the real part on the samples (stored parameter values) plus
// alpha * (((1 - l1_ratio) * 0.5) * L2 + L1 * l1_ratio) over the Literal and
// Parameter values; +inf at the first sample without a usable value.
// Precondition: samples.size() == targets.size() >= 1. Pure; thread-safe.
[[nodiscard]] double compute_raw_error(const Expression& e, ComplexRows samples, std::span<const double> targets,
                         const OperatorRegistry& registry, double alpha, double l1_ratio);

// Offers `e` to the front with its raw error when that error is finite.
void score_and_update(const Expression& e, ComplexRows samples, std::span<const double> targets,
                      ParetoFront& front, double alpha, double l1_ratio,
                      const OperatorRegistry& registry);

// Scores one candidate of a level: raw error, constant refinement (kept only
// when strictly better), and the penalised score; nullopt when the error is
// not finite. Pure; thread-safe.
[[nodiscard]] std::optional<ScoredCandidate> score_candidate(Expression e, ComplexRows samples,
                                               std::span<const double> targets,
                                               const SearchConfig& config,
                                               const OperatorRegistry& registry);

// Error of `e` with the given parameter values: MSE of the real part plus
// alpha * (l1_ratio * L1 + 0.5 * (1 - l1_ratio) * L2) over the parameters and
// then the Literal tokens; +inf as soon as a sample has no value.
// Pure; safe to call from any number of threads.
[[nodiscard]] double compute_error_with_params(const Expression& e, std::span<const double> params,
                                 ComplexRows samples, std::span<const double> targets, double alpha,
                                 double l1_ratio, const OperatorRegistry& registry);

// Fits the Parameter values of a copy of `e` by a diagonal Levenberg-Marquardt
// method with a forward-difference Jacobian, at most `max_iterations`
// iterations, and returns the copy with its error. An expression without
// parameters comes back unchanged with its error computed directly.
// `should_stop` as for the SampleSet entry.
// Precondition: samples.size() == targets.size() >= 1. Pure; thread-safe.
[[nodiscard]] std::pair<Expression, double> refine_constants(const Expression& e, ComplexRows samples,
                                               std::span<const double> targets, double alpha,
                                               double l1_ratio, const OperatorRegistry& registry,
                                               std::size_t max_iterations,
                                               const std::function<bool()>* should_stop = nullptr,
                                               RefinePolicy policy = {});

// Refits every front entry with parameters (30 iterations, taken
// unconditionally), keeps the entries that beat every simpler one and
// returns them most accurate first. NoFormulaFound for an empty front.
// Takes over both handles and releases them.
[[nodiscard]] Outcome<std::vector<SearchResult>> finalize_result(FrontPtr front, RegistryPtr registry,
                                                   const SearchConfig& config, ComplexRows samples,
                                                   std::span<const double> targets);

}  // namespace vok::reference
