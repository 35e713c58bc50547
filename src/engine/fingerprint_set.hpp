#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <span>
#include <unordered_set>
#include <vector>

#include "core/signature.hpp"

namespace vok {

// The fingerprints admitted so far in one search; it only grows. Sharded so
// that concurrent inserts rarely contend. Every member is thread-safe.
class FingerprintSet {
 public:
  // Atomic test-and-insert: true when `fp` was not there before.
  bool insert(const Fingerprint& fp);
  bool contains(const Fingerprint& fp) const;
  std::size_t size() const;

  // Inserts fps[0], fps[1], ... as if one after another in index order and
  // returns, per index, whether it was admitted (new to the set and the first
  // of its value in the batch). The outcome is the same for every number of
  // threads; the shards are filled in parallel.
  std::vector<char> insert_ordered(std::span<const Fingerprint* const> fps);

 private:
  static constexpr std::size_t kShards = 64;
  struct Shard {
    mutable std::mutex mutex;
    std::unordered_set<Fingerprint, FingerprintHash> set;
  };
  static std::size_t shard_of(const Fingerprint& fp);

  std::array<Shard, kShards> shards_;
};

}  // namespace vok
