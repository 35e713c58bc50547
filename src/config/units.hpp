#pragma once

// The physical dimensions of a search's inputs and target, for searches that
// keep their formulas dimensionally consistent.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vok {

// A dimension's exponents over the base dimensions (length, mass, time, ...;
// which slot stands for which is the caller's choice, the same for every
// column), each the exact rational n / kExponentDenominator. The
// denominator 3072 = 2^10 * 3 holds ten nested square roots and the thirds
// of units such as Hz^(1/3); a dimension beyond it is tracked as unknown.
inline constexpr std::size_t kBaseDimensions = 8;
inline constexpr std::int32_t kExponentDenominator = 3072;
using Exponents = std::array<std::int32_t, kBaseDimensions>;

// The dimension of a fitted constant: none, or whatever dimension makes its
// formula consistent (as physical constants need).
enum class ConstantUnits : std::uint8_t { Dimensionless, Free };

// What a search knows of its units: the dimension of every input column,
// and of the target when it is known (nullopt: any dimension will do).
struct UnitSettings {
  std::vector<Exponents> inputs = {};
  std::optional<Exponents> target = std::nullopt;
  ConstantUnits constants = ConstantUnits::Dimensionless;

  friend bool operator==(const UnitSettings&, const UnitSettings&) = default;
};

}  // namespace vok
