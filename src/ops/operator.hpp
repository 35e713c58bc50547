#pragma once

// The interface every operator of a registry implements.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/complex.hpp"

namespace vok {

// A shared, immutable operator. Implementations hold no mutable state and
// are called from every worker thread at once without locking.
//
// eval/to_latex/to_python receive exactly arity() operands, left first; the
// evaluator and renderers guarantee this, so implementations do not check.
// eval reports only domain failures as "no value"; the evaluator applies the
// numeric guard (finite, |part| < 1e15) to every result.
class Operator {
 public:
  virtual ~Operator() = default;

  virtual std::string debug() const = 0;
  virtual std::string_view name() const = 0;
  virtual std::uint8_t arity() const = 0;
  virtual bool is_commutative() const { return false; }
  [[nodiscard]] virtual std::optional<Complex> eval(std::span<const Complex> args) const = 0;
  virtual std::string to_latex(std::span<const std::string> args) const = 0;
  virtual std::string to_python(std::span<const std::string> args) const = 0;
  // name alone for constants, otherwise name[a, b].
  virtual std::string to_mathematica(std::span<const std::string> args) const;
};

using OperatorPtr = std::shared_ptr<const Operator>;
using OperatorList = std::span<const OperatorPtr>;

}  // namespace vok
