#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/complex.hpp"
#include "ops/operator.hpp"

namespace vok {

// Built-in operators in registry order (their ids are kFirstBuiltinId + kind).
enum class BuiltinKind : std::uint8_t {
  Vok, Neg, Inv, Plus, Times, Subtract, Divide, Exp, Log, Sqrt,
  Sin, Cos, Tan, ArcSin, ArcCos, ArcTan, Square, Cube,
};
inline constexpr std::size_t kBuiltinCount = 18;
// The five named constants occupy ids 0..4, the built-ins 5..22.
inline constexpr std::uint64_t kFirstBuiltinId = 5;

// A text template: unary operators render prefix A suffix, binary ones
// prefix A infix B suffix.
struct RenderTemplate {
  std::string_view prefix;
  std::string_view infix;
  std::string_view suffix;
};

// The one table of operator facts; the operator types, the registry and the
// renderers read it instead of switching on names.
struct OperatorFacts {
  BuiltinKind kind;
  std::string_view type_name;  // debug text
  std::string_view name;       // registry name, used in formula texts
  std::uint8_t arity;
  bool commutative;
  RenderTemplate latex;
  RenderTemplate python;
};

extern const std::array<OperatorFacts, kBuiltinCount> kBuiltinFacts;

// The complex arithmetic of each built-in, callable without a virtual call
// (the operator types forward here). nullopt is a domain failure.
namespace math {
Complex exp(Complex z);
Complex log(Complex z);  // no zero test: callers test |z| = 0 first
Complex sqrt(Complex z);
Complex sin(Complex z);
Complex cos(Complex z);
std::optional<Complex> unary(BuiltinKind kind, Complex z);
std::optional<Complex> binary(BuiltinKind kind, Complex a, Complex b);
}  // namespace math

// Operator yielding a fixed constant (arity 0).
class ConstOp final : public Operator {
 public:
  ConstOp(std::string_view name, std::string_view latex, std::string_view python, Complex value)
      : name_(name), latex_(latex), python_(python), value_(value) {}

  std::string debug() const override;
  std::string_view name() const override { return name_; }
  std::uint8_t arity() const override { return 0; }
  std::optional<Complex> eval(std::span<const Complex>) const override { return value_; }
  std::string to_latex(std::span<const std::string>) const override { return std::string(latex_); }
  std::string to_python(std::span<const std::string>) const override { return std::string(python_); }
  Complex value() const { return value_; }

 private:
  std::string_view name_;
  std::string_view latex_;
  std::string_view python_;
  Complex value_;
};

// "0", "1", "I", "Pi", "E" in registration order.
std::vector<OperatorPtr> named_constants();
// One instance of each built-in operator, in BuiltinKind order.
std::vector<OperatorPtr> all_builtins();

}  // namespace vok
