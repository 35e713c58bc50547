#pragma once

// The set of fingerprints already seen by a search, shared by its workers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "eval/signature.hpp"

namespace vok {

// A 128-bit digest of a fingerprint's ten integers; the set stores these
// instead of the 80-byte fingerprints. `lo` picks the slot inside a shard,
// `hi` picks the shard.
struct FingerprintDigest {
  std::uint64_t lo = 0;
  std::uint64_t hi = 0;
  friend bool operator==(const FingerprintDigest&, const FingerprintDigest&) = default;
};

// Two independent 64-bit chains over the ten values (each step a bijective
// mixer, with different mixers and different per-position offsets for the
// two chains) and a final bijective cross-mix, so every output bit depends
// on every input bit. Two different fingerprints are then taken to collide
// with probability about 2^-128: for n stored fingerprints the birthday
// bound n^2 / 2^129 stays below 1.5e-21 even for n = 1e9 (16 GB of digests,
// far more than any search can hold), so the digest decides equality.
FingerprintDigest fingerprint_digest(const Fingerprint& fp);

// The fingerprints admitted so far in one search; it only grows. Sharded so
// that concurrent inserts rarely contend; each shard is an open-addressing
// table of digests (16 bytes a slot, no node per entry) kept between 72 % and
// 90 % full, so that the set of a long search costs 18 to 23 bytes an entry.
// Every member is thread-safe.
class FingerprintSet {
 public:
  // Atomic test-and-insert: true when the fingerprint was not there before.
  bool insert(const Fingerprint& fp) { return insert(fingerprint_digest(fp)); }
  bool insert(FingerprintDigest d);
  bool contains(const Fingerprint& fp) const { return contains(fingerprint_digest(fp)); }
  bool contains(FingerprintDigest d) const;
  std::size_t size() const;
  // The bytes the shards' slot arrays take (not counting the set itself).
  std::size_t slot_bytes() const;

  // Inserts the entries as if one after another in index order and returns,
  // per index, whether it was admitted (new to the set and the first of its
  // value in the batch). The outcome is the same for every number of
  // threads; the shards are filled in parallel.
  std::vector<char> insert_ordered(std::span<const Fingerprint* const> fps);
  std::vector<char> insert_ordered(std::span<const FingerprintDigest> digests);

  // Every digest in the set, in the tables' order (by shard, then digest):
  // the same list for the same contents, however they were inserted.
  std::vector<FingerprintDigest> digests() const;
  // Inserts the digests of a stored set (digests()). Each shard's table is
  // first sized for its share: the tables expect digests in random order,
  // and sorted ones inserted into a table that grows on the way would pile
  // up in the first homes, at a cost quadratic in their number.
  void restore(std::span<const FingerprintDigest> digests);

  // The contents of `other` in place of this set's (as copies of its
  // tables: no digest is inserted again); and an exchange of contents.
  // Neither touches the journals. Precondition: no insert runs meanwhile.
  void copy_from(const FingerprintSet& other);
  void swap(FingerprintSet& other);

  // From start_journal on, the set also lists every digest it admits, in
  // admission order (insert_ordered's in index order), until the list is
  // taken: what a checkpoint adds to the digests it already stored.
  void start_journal();
  [[nodiscard]] std::vector<FingerprintDigest> take_journal();

 private:
  static constexpr std::size_t kShards = 64;

  // A zero-filled array of digests in memory mapped for it alone (on POSIX
  // systems), returned to the system when it is freed. Through malloc, a
  // freed table of several MiB would raise glibc's dynamic mmap threshold to
  // its size, and from then on the search's other large temporary buffers
  // would come from the heap and stay resident after use.
  class SlotArray {
   public:
    SlotArray() = default;
    explicit SlotArray(std::size_t n);
    SlotArray(const SlotArray&) = delete;
    SlotArray& operator=(const SlotArray&) = delete;
    SlotArray(SlotArray&& other) noexcept { swap(other); }
    SlotArray& operator=(SlotArray&& other) noexcept {
      SlotArray gone(std::move(*this));
      swap(other);
      return *this;
    }
    ~SlotArray();

    std::size_t size() const { return size_; }
    FingerprintDigest* begin() { return data_; }
    const FingerprintDigest* begin() const { return data_; }
    const FingerprintDigest* end() const { return data_ + size_; }
    FingerprintDigest& operator[](std::size_t i) { return data_[i]; }
    const FingerprintDigest& operator[](std::size_t i) const { return data_[i]; }

   private:
    void swap(SlotArray& other) noexcept {
      std::swap(data_, other.data_);
      std::swap(size_, other.size_);
    }
    FingerprintDigest* data_ = nullptr;
    std::size_t size_ = 0;
  };

  // Linear probing in which every run of occupied slots is kept sorted by
  // (lo, hi), and a digest's home slot is lo scaled to the home range, so
  // that the whole array is in digest order with gaps. A search stops at the
  // first empty slot or the first larger digest, which keeps misses as short
  // as hits even at 90 % load; an insert shifts the rest of its run one slot
  // up. No wrap-around: the slots past the home range take the overflow of
  // the last homes. The all-zero digest marks an empty slot, so a real
  // all-zero digest is remembered by a flag instead.
  class Table {
   public:
    bool insert(FingerprintDigest d);
    bool contains(FingerprintDigest d) const;
    std::size_t size() const { return count_ + (has_zero_ ? 1 : 0); }
    std::size_t slot_bytes() const { return slots_.size() * sizeof(FingerprintDigest); }
    void append_to(std::vector<FingerprintDigest>& out) const;
    [[nodiscard]] Table copy() const;
    // Room for `n` more digests without growing.
    void reserve(std::size_t n);

   private:
    std::size_t home(std::uint64_t lo) const;
    // The slot holding d, or the one where d belongs: the first slot from
    // d's home that is empty or holds a larger digest (slots_.size() when
    // the run reaches the end).
    std::size_t seek(FingerprintDigest d) const;
    // Moves every digest into a new array of `homes` home slots (plus the
    // overflow they need and some spare), in one ordered pass.
    void rebuild(std::size_t homes);

    SlotArray slots_;
    std::size_t homes_ = 0;  // home slots: a digest's home lies in [0, homes_)
    std::size_t count_ = 0;  // occupied slots
    bool has_zero_ = false;
  };

  struct alignas(64) Shard {
    mutable std::mutex mutex;
    Table table;
  };
  static std::size_t shard_of(FingerprintDigest d) { return static_cast<std::size_t>(d.hi >> 58); }

  // Adds admitted digests to the journal when one is kept.
  void journal(std::span<const FingerprintDigest> digests, const std::vector<char>* admitted);

  std::array<Shard, kShards> shards_;
  std::mutex journal_mutex_;
  bool journaling_ = false;
  std::vector<FingerprintDigest> journal_;
  std::size_t journal_hint_ = 0;  // the longest list taken so far
};

}  // namespace vok
