// The sharded open-addressing table behind FingerprintSet.
#include "engine/fingerprint_set.hpp"

#include "engine/pool.hpp"

namespace vok {

namespace {

// Two different bijective 64-bit finalisers (the murmur3 one here, and the
// splitmix64 one, mix64), so that the two chains of the digest are unrelated.
constexpr std::uint64_t mix_a(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

constexpr std::uint64_t rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

// Slots grow when more than 3/4 would be occupied; the first table of a
// shard has this many slots.
constexpr std::size_t kFirstCapacity = 16;

}  // namespace

FingerprintDigest fingerprint_digest(const Fingerprint& fp) {
  std::uint64_t a = 0x243f6a8885a308d3ULL;
  std::uint64_t b = 0x13198a2e03707344ULL;
  std::uint64_t offset = 0;
  for (const std::int64_t v : fp.values) {
    const auto x = static_cast<std::uint64_t>(v);
    offset += 0x9e3779b97f4a7c15ULL;
    a = mix_a(a ^ x);
    b = mix64(b ^ (x + offset));
  }
  // (a, b) -> (lo, hi) is invertible, so it keeps distinct states distinct.
  const std::uint64_t lo = mix_a(a + rotl(b, 29));
  const std::uint64_t hi = mix64(b ^ lo);
  return {lo, hi};
}

bool FingerprintSet::Table::insert(FingerprintDigest d) {
  if (d == FingerprintDigest{}) {
    const bool fresh = !has_zero_;
    has_zero_ = true;
    return fresh;
  }
  if ((count_ + 1) * 4 > slots_.size() * 3) grow();
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(d.lo) & mask;; i = (i + 1) & mask) {
    FingerprintDigest& slot = slots_[i];
    if (slot == d) return false;
    if (slot == FingerprintDigest{}) {
      slot = d;
      ++count_;
      return true;
    }
  }
}

bool FingerprintSet::Table::contains(FingerprintDigest d) const {
  if (d == FingerprintDigest{}) return has_zero_;
  if (slots_.empty()) return false;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(d.lo) & mask;; i = (i + 1) & mask) {
    const FingerprintDigest& slot = slots_[i];
    if (slot == d) return true;
    if (slot == FingerprintDigest{}) return false;
  }
}

void FingerprintSet::Table::grow() {
  std::vector<FingerprintDigest> old = std::move(slots_);
  slots_.assign(old.empty() ? kFirstCapacity : old.size() * 2, FingerprintDigest{});
  const std::size_t mask = slots_.size() - 1;
  for (const FingerprintDigest& d : old) {
    if (d == FingerprintDigest{}) continue;
    std::size_t i = static_cast<std::size_t>(d.lo) & mask;
    while (!(slots_[i] == FingerprintDigest{})) i = (i + 1) & mask;
    slots_[i] = d;
  }
}

bool FingerprintSet::insert(FingerprintDigest d) {
  Shard& shard = shards_[shard_of(d)];
  std::lock_guard<std::mutex> lock(shard.mutex);
  return shard.table.insert(d);
}

bool FingerprintSet::contains(FingerprintDigest d) const {
  const Shard& shard = shards_[shard_of(d)];
  std::lock_guard<std::mutex> lock(shard.mutex);
  return shard.table.contains(d);
}

std::size_t FingerprintSet::size() const {
  std::size_t n = 0;
  for (const Shard& shard : shards_) {
    std::lock_guard<std::mutex> lock(shard.mutex);
    n += shard.table.size();
  }
  return n;
}

std::vector<char> FingerprintSet::insert_ordered(std::span<const Fingerprint* const> fps) {
  std::vector<FingerprintDigest> digests;
  digests.reserve(fps.size());
  for (const Fingerprint* fp : fps) digests.push_back(fingerprint_digest(*fp));
  return insert_ordered(digests);
}

std::vector<char> FingerprintSet::insert_ordered(std::span<const FingerprintDigest> digests) {
  std::vector<char> admitted(digests.size(), 0);
  // Equal digests always fall into the same shard, so inserting each
  // shard's members in index order decides every duplicate in favour of the
  // earliest index, independently of how the shards are scheduled.
  std::array<std::vector<std::size_t>, kShards> members;
  for (std::size_t i = 0; i < digests.size(); ++i) members[shard_of(digests[i])].push_back(i);
  parallel_each(kShards, [&](std::size_t s) {
    Shard& shard = shards_[s];
    std::lock_guard<std::mutex> lock(shard.mutex);
    for (std::size_t i : members[s]) admitted[i] = shard.table.insert(digests[i]) ? 1 : 0;
  });
  return admitted;
}

}  // namespace vok
