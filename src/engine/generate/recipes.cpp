// A level's admitted candidates as recipes: which operator over which retained operands, a byte or two each.
#include "engine/generate/recipes.hpp"

namespace vok {

RecipeList::RecipeList(const Levels& levels, std::size_t k, std::size_t unary_ops, std::size_t binary_ops) {
  std::uint64_t rank = 0;
  passes_.push_back({rank, 1, unary_ops});
  rank += static_cast<std::uint64_t>(levels[k - 1].size()) * unary_ops;
  for (std::size_t i = 1; i + 2 <= k; ++i) {
    const std::uint64_t rights = levels[k - 1 - i].size();
    passes_.push_back({rank, rights, binary_ops});
    rank += static_cast<std::uint64_t>(levels[i].size()) * rights * binary_ops;
  }
  ranks_ = rank;
}

std::uint64_t RecipeList::rank_of(const Recipe& r) const {
  const Pass& p = passes_[r.split];
  return p.first_rank + (static_cast<std::uint64_t>(r.left) * p.rights + r.right) * p.ops + r.op;
}

Recipe RecipeList::recipe_of(std::uint64_t rank) const {
  // The last pass starting at or before the rank; empty passes share their
  // start with the next one and are skipped this way.
  std::size_t split = passes_.size() - 1;
  while (passes_[split].first_rank > rank) --split;
  const Pass& p = passes_[split];
  const std::uint64_t within = rank - p.first_rank;
  const std::uint64_t pair = within / p.ops;
  return {static_cast<std::uint32_t>(pair / p.rights), static_cast<std::uint32_t>(pair % p.rights),
          static_cast<std::uint16_t>(split), static_cast<std::uint16_t>(within % p.ops)};
}

void RecipeList::push_back(const Recipe& r) {
  if (size_ % kCheckpointEvery == 0) checkpoints_.push_back({bytes_.size(), last_});
  const std::uint64_t next = rank_of(r) + 1;
  std::uint64_t gap = next - last_;
  while (gap >= 0x80) {
    bytes_.push_back(static_cast<std::uint8_t>(gap | 0x80));
    gap >>= 7;
  }
  bytes_.push_back(static_cast<std::uint8_t>(gap));
  last_ = next;
  ++size_;
}

void RecipeList::decode(std::size_t first, std::size_t n, std::vector<Recipe>& out) const {
  out.clear();
  if (n == 0) return;
  const Checkpoint& c = checkpoints_[first / kCheckpointEvery];
  std::size_t offset = c.offset;
  std::uint64_t previous = c.previous;
  const std::size_t end = first + n;
  for (std::size_t i = first / kCheckpointEvery * kCheckpointEvery; i < end; ++i) {
    std::uint64_t gap = 0;
    for (unsigned shift = 0;; shift += 7) {
      const std::uint8_t byte = bytes_[offset++];
      gap |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
      if ((byte & 0x80) == 0) break;
    }
    previous += gap;
    if (i >= first) out.push_back(recipe_of(previous - 1));
  }
}

Recipe RecipeList::operator[](std::size_t i) const {
  std::vector<Recipe> one;
  decode(i, 1, one);
  return one.front();
}

namespace {

void put_varint(std::string& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

}  // namespace

std::string RecipeList::encode(std::size_t first, std::size_t n) const {
  std::vector<Recipe> recipes;
  decode(first, n, recipes);
  std::string out;
  out.reserve(2 * n + 8);
  std::uint64_t previous = 0;
  for (const Recipe& r : recipes) {
    const std::uint64_t next = rank_of(r) + 1;
    put_varint(out, next - previous);
    previous = next;
  }
  return out;
}

std::optional<std::vector<Recipe>> RecipeList::decode_encoded(std::string_view bytes) const {
  std::vector<Recipe> out;
  std::uint64_t previous = 0;
  for (std::size_t offset = 0; offset < bytes.size();) {
    std::uint64_t gap = 0;
    for (unsigned shift = 0;; shift += 7) {
      if (offset >= bytes.size() || shift > 63) return std::nullopt;
      const auto byte = static_cast<std::uint8_t>(bytes[offset++]);
      gap |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
      if ((byte & 0x80) == 0) break;
    }
    // Ranks strictly increase and stay below the level's compositions.
    if (gap == 0 || gap > ranks_ - previous) return std::nullopt;
    previous += gap;
    out.push_back(recipe_of(previous - 1));
  }
  return out;
}

std::vector<Recipe> RecipeList::to_vector() const {
  std::vector<Recipe> out;
  decode(0, size_, out);
  return out;
}

}  // namespace vok
