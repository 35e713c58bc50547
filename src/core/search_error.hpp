#pragma once

// The engine's error value, returned instead of thrown.

#include <cstddef>
#include <string>
#include <utility>
#include <variant>

namespace vok {

// The engine's error value; the engine returns it instead of throwing.
struct SearchError {
  enum class Kind { InvalidInput, NoFormulaFound };

  Kind kind = Kind::InvalidInput;
  std::string message;             // InvalidInput
  std::size_t max_complexity = 0;  // NoFormulaFound

  [[nodiscard]] static SearchError invalid_input(std::string text) {
    return {Kind::InvalidInput, std::move(text), 0};
  }
  [[nodiscard]] static SearchError no_formula_found(std::size_t max_complexity) {
    return {Kind::NoFormulaFound, {}, max_complexity};
  }

  // "No formula found up to complexity {}" or the carried message.
  std::string text() const {
    if (kind == Kind::NoFormulaFound) {
      return "No formula found up to complexity " + std::to_string(max_complexity);
    }
    return message;
  }
};

// A value or a SearchError.
template <class T>
using Outcome = std::variant<T, SearchError>;

}  // namespace vok
