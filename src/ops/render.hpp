#pragma once

// Rendering expressions as LaTeX and Python text.

#include <string>

#include "core/expression.hpp"
#include "ops/operator.hpp"

namespace vok {

// Fixed-point with exactly four decimals, correctly rounded from the exact
// binary value, never an exponent; "NaN", "inf", "-inf" for non-finite values.
std::string format_number(double v);

// Postfix renderers. A malformed sequence (too few operands for an Apply, or
// an operator id outside `ops`) renders as the empty text.
std::string render_latex(const Expression& e, OperatorList ops);
std::string render_python(const Expression& e, OperatorList ops);

}  // namespace vok
