// Defaults of the operator interface.
#include "ops/operator.hpp"

namespace vok {

std::string Operator::to_mathematica(std::span<const std::string> args) const {
  std::string out(name());
  if (args.empty()) return out;
  out += '[';
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i > 0) out += ", ";
    out += args[i];
  }
  out += ']';
  return out;
}

}  // namespace vok
