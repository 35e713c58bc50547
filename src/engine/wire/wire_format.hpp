#pragma once

// The byte layout shared by everything the engine writes for another process or a later run: plain values, texts, expressions, settings.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "config/search_config.hpp"
#include "core/expression.hpp"
#include "engine/generate/generation.hpp"
#include "ops/registry.hpp"

namespace vok::wire {

// Values are written as their bytes in the machine's order (the writer and
// the reader share it); sizes as 64-bit integers. Thread safety: a Writer
// or Reader is one thread's.
class Writer {
 public:
  template <class T>
  void put(T v) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &v, sizeof(T));
    out_.append(bytes, sizeof(T));
  }
  void put_size(std::size_t v) { put<std::uint64_t>(v); }
  void put_text(std::string_view t) {
    put_size(t.size());
    out_.append(t);
  }
  void put_expression(const Expression& e) {
    put_size(e.tokens.size());
    for (const Token& t : e.tokens) {
      put<std::uint8_t>(static_cast<std::uint8_t>(t.kind));
      put<std::uint8_t>(t.index);
      put<std::uint64_t>(t.op);
      put<double>(t.value.re);
      put<double>(t.value.im);
    }
    put_text(e.formula);
    put_size(e.complexity);
    put<std::uint8_t>(e.num_vars);
    put<std::uint8_t>(e.num_params);
  }
  // `n` bytes as they are in memory (a run of plain values).
  void put_bytes(const void* data, std::size_t n) { out_.append(static_cast<const char*>(data), n); }
  void reserve(std::size_t n) { out_.reserve(n); }
  std::size_t size() const { return out_.size(); }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

// Reads what Writer wrote; every read fails (and keeps failing) past the end.
class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}

  template <class T>
  bool get(T& v) {
    if (in_.size() - at_ < sizeof(T)) return fail();
    std::memcpy(&v, in_.data() + at_, sizeof(T));
    at_ += sizeof(T);
    return true;
  }
  bool get_size(std::size_t& v, std::size_t most) {
    std::uint64_t raw = 0;
    if (!get(raw) || raw > most) return fail();
    v = static_cast<std::size_t>(raw);
    return true;
  }
  bool get_text(std::string& t) {
    std::uint64_t n = 0;
    // The length bounded by what follows it: never a read past the end.
    if (!get(n) || n > in_.size() - at_) return fail();
    t.assign(in_.data() + at_, static_cast<std::size_t>(n));
    at_ += n;
    return true;
  }
  // An expression that is a well-formed program of the registry's
  // operators over `num_vars` variables, applying none of `disabled`.
  bool get_expression(Expression& e, const OperatorRegistry& registry, std::size_t num_vars,
                      std::uint64_t disabled = 0) {
    std::size_t n = 0;
    // A token takes 26 bytes: a count beyond the rest is corrupt.
    if (!get_size(n, (in_.size() - at_) / 26)) return false;
    e.tokens.resize(n);
    std::size_t depth = 0;
    std::size_t params = 0;
    for (Token& t : e.tokens) {
      std::uint8_t kind = 0;
      if (!get(kind) || !get(t.index) || !get(t.op) || !get(t.value.re) || !get(t.value.im)) return false;
      if (kind > static_cast<std::uint8_t>(TokenKind::Apply)) return fail();
      t.kind = static_cast<TokenKind>(kind);
      switch (t.kind) {
        case TokenKind::Variable:
          if (t.index >= num_vars) return fail();
          break;
        case TokenKind::Parameter:
          if (t.index != params++) return fail();
          break;
        case TokenKind::Constant:
          if (t.op >= registry.size() || registry.meta()[t.op].arity != 0) return fail();
          break;
        case TokenKind::Apply:
          if (t.op >= registry.size() || registry.meta()[t.op].arity != t.index || t.index == 0 || depth < t.index ||
              operator_disabled(disabled, t.op)) {
            return fail();
          }
          depth -= t.index;
          break;
        case TokenKind::Literal:
          break;
      }
      ++depth;
    }
    if (n == 0 || depth != 1) return fail();
    std::size_t complexity = 0;
    if (!get_text(e.formula) || !get_size(complexity, n) || !get(e.num_vars) || !get(e.num_params)) return false;
    if (complexity != n || e.num_params != params || e.num_vars > num_vars) return fail();
    e.complexity = complexity;
    return true;
  }
  // `n` bytes into `data` (a run of plain values as put_bytes wrote them).
  bool get_bytes(void* data, std::size_t n) {
    if (in_.size() - at_ < n) return fail();
    std::memcpy(data, in_.data() + at_, n);
    at_ += n;
    return true;
  }
  bool done() const { return ok_ && at_ == in_.size(); }
  bool ok() const { return ok_; }
  std::size_t left() const { return in_.size() - at_; }

 private:
  bool fail() {
    ok_ = false;
    at_ = in_.size();
    return false;
  }
  std::string_view in_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

// The settings as put_config writes them. get_config reads them back (the
// column path only) and fails on any field out of its range.
void put_config(Writer& w, const SearchConfig& c);
[[nodiscard]] bool get_config(Reader& r, SearchConfig& c);

}  // namespace vok::wire
