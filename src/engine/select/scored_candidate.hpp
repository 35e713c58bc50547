#pragma once

// A candidate that survived scoring, with its penalised score: what beam selection and scoring exchange.

#include <utility>

#include "core/expression.hpp"

namespace vok {

// A candidate that survived scoring, with its penalised score.
using ScoredCandidate = std::pair<Expression, double>;

}  // namespace vok
