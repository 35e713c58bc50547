#pragma once

// A level's admitted candidates as recipes: which operator over which retained operands, a byte or two each.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/expression.hpp"

namespace vok {

// Slot k holds the retained candidates of complexity k; slot 0 stays empty.
using Levels = std::vector<std::vector<Expression>>;

// One admitted candidate of level k, to be composed later. split 0: the
// unary operator op over level k-1's entry `left`; split i >= 1: the binary
// operator op over level i's entry `left` and level k-1-i's entry `right`.
// `op` indexes the ascending ids of its arity.
struct Recipe {
  std::uint32_t left = 0;
  std::uint32_t right = 0;
  std::uint16_t split = 0;
  std::uint16_t op = 0;
};

// A level's recipes in generation order, a byte or two each instead of a
// Recipe's twelve. Level k's compositions are numbered in generation order
// (the unary pass parent-major then operator; each split left-major, then
// right, then operator), so the recipes' ranks strictly increase, and each
// is stored as the LEB128 varint of the gap to the previous rank. A
// checkpoint every kCheckpointEvery recipes gives random access.
// Thread safety: const members may be called concurrently.
class RecipeList {
 public:
  static constexpr std::size_t kCheckpointEvery = 256;

  // The numbering of level k's compositions over `levels` with the given
  // numbers of unary and binary operators.
  RecipeList(const Levels& levels, std::size_t k, std::size_t unary_ops, std::size_t binary_ops);

  // Appends `r`, which must come after the last recipe in generation order.
  void push_back(const Recipe& r);
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t bytes() const { return bytes_.size(); }
  // Recipe i, decoded from the checkpoint before it.
  Recipe operator[](std::size_t i) const;
  // Recipes [first, first + n) in order, into `out` (replacing its contents).
  void decode(std::size_t first, std::size_t n, std::vector<Recipe>& out) const;
  std::vector<Recipe> to_vector() const;

  // Recipes [first, first + n) as bytes for another process: the gaps of
  // their ranks as LEB128 varints, the first counted from rank 0.
  std::string encode(std::size_t first, std::size_t n) const;
  // The recipes such bytes spell under this list's numbering (a list made
  // for the same levels and operators); nullopt when they are malformed,
  // out of order or beyond the level's compositions.
  std::optional<std::vector<Recipe>> decode_encoded(std::string_view bytes) const;

 private:
  struct Pass {
    std::uint64_t first_rank;
    std::uint64_t rights;
    std::uint64_t ops;
  };
  struct Checkpoint {
    std::size_t offset;     // into bytes_
    std::uint64_t previous; // rank + 1 of the recipe before, 0 for none
  };
  std::uint64_t rank_of(const Recipe& r) const;
  Recipe recipe_of(std::uint64_t rank) const;

  std::vector<Pass> passes_;  // indexed by split
  std::vector<std::uint8_t> bytes_;
  std::vector<Checkpoint> checkpoints_;
  std::size_t size_ = 0;
  std::uint64_t last_ = 0;  // rank + 1 of the last recipe, 0 for none
  std::uint64_t ranks_ = 0; // compositions of the level, all passes
};

}  // namespace vok
