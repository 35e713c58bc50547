#pragma once

// Turns fuzzer bytes into evaluation inputs and token sequences. The
// encoding favours the values and ids where the numeric core has edges
// (signed zeros, the 1e15 guard, NaN, infinities, subnormals, ids just past
// the registry), but every byte string decodes to something, malformed
// programs included: any kind, any arity 0..255, any 64-bit operator id.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "core/complex.hpp"
#include "core/expression.hpp"
#include "ops/registry.hpp"

namespace vok::fuzz {

// A fuzzer's failed invariant: stop at once, so libFuzzer saves the input.
inline void check(bool ok) {
  if (!ok) __builtin_trap();
}

inline const OperatorRegistry& registry() {
  static const OperatorRegistry r = OperatorRegistry::with_builtins();
  return r;
}

class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }

  // Zero once the input is used up, so decoding always terminates.
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | byte();
    return v;
  }

  double number() {
    static constexpr double kInf = std::numeric_limits<double>::infinity();
    static constexpr std::array<double, 28> kEdges = {
        0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, -2.5,
        std::numeric_limits<double>::quiet_NaN(), kInf, -kInf, 1e308, -1e308,
        std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
        std::numeric_limits<double>::min(), 1e15, -1e15, 999999999999999.9, 40.0, 30.0,
        1.5707963267948966, 3.141592653589793, 1e-300, 1e154, 0.1, 12345.678, 0.00005};
    const std::uint8_t sel = byte();
    if (sel < 224) return kEdges[sel % kEdges.size()];
    const std::uint64_t bits = u64();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }

  Complex complex() {
    const std::uint8_t sel = byte();
    const double re = number();
    return {re, (sel & 1) ? number() : 0.0};
  }

  // Mostly ids near the 23 built-ins (23..31 are out of range), sometimes a
  // raw 64-bit id.
  std::uint64_t op_id() {
    const std::uint8_t b = byte();
    return b < 240 ? b % 32 : u64();
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

inline std::vector<Complex> read_values(ByteReader& in, std::size_t max_count) {
  std::vector<Complex> values(in.byte() % (max_count + 1));
  for (Complex& v : values) v = in.complex();
  return values;
}

// Tokens until the input ends, at most `max_tokens`.
inline std::vector<Token> read_tokens(ByteReader& in, std::size_t max_tokens) {
  std::vector<Token> tokens;
  while (!in.empty() && tokens.size() < max_tokens) {
    switch (in.byte() % 5) {
      case 0: {
        const std::uint64_t op = in.op_id();
        tokens.push_back(Token::constant(op, in.complex()));
        break;
      }
      case 1:
        tokens.push_back(Token::literal(in.number()));
        break;
      case 2:
        tokens.push_back(Token::variable(in.byte()));
        break;
      case 3: {
        const std::uint8_t index = in.byte();
        tokens.push_back(Token::parameter(index, in.complex()));
        break;
      }
      default: {
        const std::uint8_t arity = in.byte();
        tokens.push_back(Token::apply(arity, in.op_id()));
        break;
      }
    }
  }
  return tokens;
}

// An expression around arbitrary tokens. The counts are usually the true
// ones, but sometimes arbitrary, since callers must not trust them for
// memory safety.
inline Expression make_expression(ByteReader& in, std::vector<Token> tokens) {
  Expression e;
  const std::uint8_t mode = in.byte();
  e.complexity = (mode & 1) ? in.byte() : tokens.size();
  e.num_vars = (mode & 2) ? in.byte() : 0;
  if (!(mode & 2)) {
    for (const Token& t : tokens) {
      if (t.kind == TokenKind::Variable && t.index + 1u > e.num_vars) {
        e.num_vars = static_cast<std::uint8_t>(t.index + 1u > 255 ? 255 : t.index + 1u);
      }
    }
  }
  for (const Token& t : tokens) e.num_params += t.kind == TokenKind::Parameter;
  e.tokens = std::move(tokens);
  e.formula = "fuzz";
  return e;
}

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

inline bool same_result(const std::optional<Complex>& a, const std::optional<Complex>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (same_bits(a->re, b->re) && same_bits(a->im, b->im));
}

// The built-in operator list, or half the time a prefix of it, so that
// valid ids also appear out of range.
inline OperatorList read_operator_table(ByteReader& in) {
  const auto& all = registry().operators();
  const std::size_t size = in.byte() % 2 ? all.size() : in.byte() % (all.size() + 1);
  return OperatorList(all.data(), size);
}

}  // namespace vok::fuzz
