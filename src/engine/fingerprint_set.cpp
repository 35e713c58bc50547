#include "engine/fingerprint_set.hpp"

#include <cstdint>

#include "engine/pool.hpp"

namespace vok {

std::size_t FingerprintSet::shard_of(const Fingerprint& fp) {
  // Take the shard from the high bits of a remixed hash so that the shard
  // choice does not correlate with the bucket choice inside a shard.
  const std::uint64_t h = static_cast<std::uint64_t>(FingerprintHash{}(fp)) * 0x9E3779B97F4A7C15ULL;
  return static_cast<std::size_t>(h >> 58) % kShards;
}

bool FingerprintSet::insert(const Fingerprint& fp) {
  Shard& shard = shards_[shard_of(fp)];
  std::lock_guard<std::mutex> lock(shard.mutex);
  return shard.set.insert(fp).second;
}

bool FingerprintSet::contains(const Fingerprint& fp) const {
  const Shard& shard = shards_[shard_of(fp)];
  std::lock_guard<std::mutex> lock(shard.mutex);
  return shard.set.contains(fp);
}

std::size_t FingerprintSet::size() const {
  std::size_t n = 0;
  for (const Shard& shard : shards_) {
    std::lock_guard<std::mutex> lock(shard.mutex);
    n += shard.set.size();
  }
  return n;
}

std::vector<char> FingerprintSet::insert_ordered(std::span<const Fingerprint* const> fps) {
  std::vector<char> admitted(fps.size(), 0);
  // Equal fingerprints always fall into the same shard, so inserting each
  // shard's members in index order decides every duplicate in favour of the
  // earliest index, independently of how the shards are scheduled.
  std::array<std::vector<std::size_t>, kShards> members;
  for (std::size_t i = 0; i < fps.size(); ++i) members[shard_of(*fps[i])].push_back(i);
  parallel_each(kShards, [&](std::size_t s) {
    Shard& shard = shards_[s];
    std::lock_guard<std::mutex> lock(shard.mutex);
    for (std::size_t i : members[s]) admitted[i] = shard.set.insert(*fps[i]).second ? 1 : 0;
  });
  return admitted;
}

}  // namespace vok
