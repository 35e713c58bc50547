#pragma once

// The built-in operators and named constants, and their shared facts.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/complex.hpp"
#include "ops/builtin_math.hpp"
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

// How loosely a rendered text binds at its top: Closed for leaves and texts
// that are delimited as a whole (calls, braces, parentheses), Product for a
// bare infix product, Sum for a bare infix sum or difference. Ordered, so
// that "at least as loose as" is a comparison.
enum class Binding : std::uint8_t { Closed, Product, Sum, Never };

// A text template: unary operators render prefix A suffix, binary ones
// prefix A infix B suffix. `binds` is how loosely the filled text binds;
// operand i is grouped before it is filled in when its own text binds at
// least as loosely as `group[i]` (Never: as it stands), so that the text
// computes and shows the formula's grouping.
struct RenderTemplate {
  std::string_view prefix;
  std::string_view infix;
  std::string_view suffix;
  Binding binds = Binding::Closed;
  std::array<Binding, 2> group = {Binding::Never, Binding::Never};
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
// (the operator types forward here). nullopt is a domain failure, and also
// the answer for a kind of the other arity. The per-lane arithmetic lives in
// ops/builtin_math.hpp, shared with the column kernels below.
namespace math {
[[nodiscard]] std::optional<Complex> unary(BuiltinKind kind, Complex z);
[[nodiscard]] std::optional<Complex> binary(BuiltinKind kind, Complex a, Complex b);
}  // namespace math

// Column kernels: the same arithmetic over n lanes in structure-of-arrays
// form, with the dispatch on the kind outside the loop. Lane i computes
// math::unary(kind, {re[i], im[i]}) (or math::binary on lane i of a and b)
// and ANDs ok[i] with "has a value and passes the evaluator's guard"
// (within_guard: finite, both parts below 1e15); out[i] is written on every
// lane but meaningful only where ok[i] stays set. An output column may be the
// very same array as an operand column (in place), never a shifted overlap.
// A kind of the other arity clears every ok[i] and returns false.
bool unary_column(BuiltinKind kind, std::size_t n, const double* re, const double* im, double* out_re,
                  double* out_im, std::uint8_t* ok);
bool binary_column(BuiltinKind kind, std::size_t n, const double* a_re, const double* a_im,
                   const double* b_re, const double* b_im, double* out_re, double* out_im,
                   std::uint8_t* ok);

// Base of the 18 built-in operator types, so that an evaluator can map an
// operator object to its kind once (dynamic_cast) instead of calling it per
// sample. Operators registered from elsewhere are not BuiltinOperators.
class BuiltinOperator : public Operator {
 public:
  BuiltinKind kind() const { return kind_; }

 protected:
  explicit BuiltinOperator(BuiltinKind kind) : kind_(kind) {}

 private:
  BuiltinKind kind_;
};

// The kind of `op` when it is one of the built-in operator objects.
[[nodiscard]] std::optional<BuiltinKind> builtin_kind_of(const Operator& op);

// Operator yielding a fixed constant (arity 0).
class ConstOp final : public Operator {
 public:
  ConstOp(std::string_view name, std::string_view latex, std::string_view python, Complex value)
      : name_(name), latex_(latex), python_(python), value_(value) {}

  std::string debug() const override;
  std::string_view name() const override { return name_; }
  std::uint8_t arity() const override { return 0; }
  [[nodiscard]] std::optional<Complex> eval(std::span<const Complex>) const override { return value_; }
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
