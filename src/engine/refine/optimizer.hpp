#pragma once

// Fitting an expression's constants to the data, and the error it reaches.

#include <cstddef>
#include <functional>
#include <span>
#include <utility>

#include "core/expression.hpp"
#include "engine/data/sample_set.hpp"
#include "engine/data/samples.hpp"
#include "engine/refine/work_program.hpp"
#include "ops/registry.hpp"

namespace vok {

// Error of `e` with the given parameter values: MSE of the real part plus
// alpha * (l1_ratio * L1 + 0.5 * (1 - l1_ratio) * L2) over the parameters and
// then the Literal tokens; +inf as soon as a sample has no value.
// Column-wise on the column path, else the per-sample reference: the same
// double bit for bit. Pure; safe to call from any number of threads.
[[nodiscard]] double compute_error_with_params(const Expression& e, std::span<const double> params,
                                 const SampleSet& samples, double alpha, double l1_ratio);

// What an evaluation of the expression at its stored parameter values has
// already given on the column path, when every sample had a usable value:
// the real part on every sample and the sum of the squared residuals in
// sample order. Refinement then starts from it instead of evaluating again.
// With `perturbed` (one column per parameter: the values with parameter j
// at its value + kJacobianStep, the others as stored) the first Jacobian is
// taken from them too.
// `known` gives the values of parameter-free subtrees (tokens first_token
// .. last_token of the expression) on every sample; refinement reads them
// instead of evaluating those subtrees. It holds even where `predictions`
// does not apply.
struct RefineStart {
  const double* predictions = nullptr;  // samples.size() values; nullptr: no start
  double sum_sq = 0.0;
  std::span<const ColumnValues> perturbed;  // empty, or one per parameter
  std::span<const KnownSubtree> known;
};

// The forward-difference step of the refinement's Jacobian.
inline constexpr double kJacobianStep = 1e-6;

// Fits the Parameter values of a copy of `e` by a diagonal Levenberg-Marquardt
// method with a forward-difference Jacobian, at most `max_iterations`
// iterations, and returns the copy with its error. An expression without
// parameters comes back unchanged with its error computed directly. On the
// column path every iteration, parameter value and error is the per-sample
// reference's bit for bit. Pure; thread-safe. `start`, when given, must
// describe `e` as above (it is ignored off the column path). `should_stop`,
// when given, is asked before every iteration; once it says true the fit
// ends with the values (and error) reached so far.
[[nodiscard]] std::pair<Expression, double> refine_constants(const Expression& e, const SampleSet& samples,
                                               double alpha, double l1_ratio,
                                               std::size_t max_iterations,
                                               const RefineStart* start = nullptr,
                                               const std::function<bool()>* should_stop = nullptr,
                                               RefinePolicy policy = {});

}  // namespace vok
