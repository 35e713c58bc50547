#pragma once

// Per-sample evaluation of postfix token sequences.

#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/expression.hpp"
#include "core/guard.hpp"
#include "ops/operator.hpp"

namespace vok {

// The complex stack machine. No value on: a variable index beyond `inputs`,
// too few stack values for an Apply, an operator's domain failure, an
// operator result outside the guard, an operator id outside `ops`, or a final
// stack that does not hold exactly one value. `stack` is the caller's, cleared
// here; its contents after a failure are unspecified.
[[nodiscard]] std::optional<Complex> eval_internal(std::span<const Token> tokens, std::span<const Complex> inputs,
                                     std::span<const Complex> params, OperatorList ops,
                                     std::vector<Complex>& stack);

// The same machine without the magnitude bound: an operator result is kept
// whenever both its parts are finite, so exp(40) has a value. Only for
// predictions on new data, where a formula the search found may pass
// through a large value on its way to an ordinary one (n0 / exp(40)); the
// search, the fingerprints and the refinement always use the guard.
// Parameters take their stored values.
[[nodiscard]] std::optional<Complex> eval_unbounded(std::span<const Token> tokens, std::span<const Complex> inputs,
                                                    OperatorList ops, std::vector<Complex>& stack);

// Parameters take their stored values.
[[nodiscard]] std::optional<Complex> eval(const Expression& e, std::span<const Complex> inputs, OperatorList ops);
// Parameter k takes params[k] when k < params.size(), else its stored value.
[[nodiscard]] std::optional<Complex> eval_with_params(const Expression& e, std::span<const Complex> inputs,
                                        std::span<const Complex> params, OperatorList ops);

}  // namespace vok
