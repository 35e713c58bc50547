// The search's de-duplication set: fingerprint digests in sharded tables of sorted runs.
#include "engine/generate/fingerprint_set.hpp"

#include <algorithm>
#include <limits>
#include <new>

// Under AddressSanitizer the slots come from calloc, so that it still checks
// every access against the array's bounds (it does not watch mapped pages).
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOK_SLOTS_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VOK_SLOTS_ASAN 1
#endif

#if (defined(__unix__) || defined(__APPLE__)) && !defined(VOK_SLOTS_ASAN)
#include <sys/mman.h>
#define VOK_SLOTS_MMAP 1
#else
#include <cstdlib>
#endif

#include "infra/pool.hpp"

namespace vok {

namespace {

constexpr std::uint64_t rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

// A shard's table grows by a quarter when an insert would fill more than
// 9/10 of its home slots, so it stays between 72 % and 90 % full: memory
// close to the digests' own 16 bytes, with no step in which the set doubles.
// Searches and inserts in the sorted runs stay short at this load (a miss
// stops at the first larger digest). The first table has this many homes.
constexpr std::size_t kFirstHomes = 16;
constexpr std::size_t kMaxLoadTenths = 9;
// Spare slots past the last occupied one after a rebuild, so that a run at
// the end of the array rarely has to grow it.
constexpr std::size_t kSpareSlots = 32;

bool empty_slot(const FingerprintDigest& d) { return d.lo == 0 && d.hi == 0; }

// The table's order: by lo, then hi. Its homes follow lo, so sorted runs put
// the whole array in this order.
bool digest_less(const FingerprintDigest& a, const FingerprintDigest& b) {
  return a.lo < b.lo || (a.lo == b.lo && a.hi < b.hi);
}

// floor(a * b / 2^64): lo scaled to [0, b) by multiplication, order-preserving.
std::uint64_t mul_high(std::uint64_t a, std::uint64_t b) {
#if defined(__SIZEOF_INT128__)
  __extension__ typedef unsigned __int128 Wide;
  return static_cast<std::uint64_t>((static_cast<Wide>(a) * b) >> 64);
#else
  const std::uint64_t a_lo = a & 0xffffffffU, a_hi = a >> 32;
  const std::uint64_t b_lo = b & 0xffffffffU, b_hi = b >> 32;
  const std::uint64_t low = a_lo * b_lo;
  const std::uint64_t mid1 = a_hi * b_lo + (low >> 32);
  const std::uint64_t mid2 = a_lo * b_hi + (mid1 & 0xffffffffU);
  return a_hi * b_hi + (mid1 >> 32) + (mid2 >> 32);
#endif
}

}  // namespace

FingerprintDigest fingerprint_digest(const Fingerprint& fp) {
  std::uint64_t a = 0x243f6a8885a308d3ULL;
  std::uint64_t b = 0x13198a2e03707344ULL;
  std::uint64_t offset = 0;
  for (const std::int64_t v : fp.values) {
    const auto x = static_cast<std::uint64_t>(v);
    offset += 0x9e3779b97f4a7c15ULL;
    a = mix64_murmur(a ^ x);
    b = mix64(b ^ (x + offset));
  }
  // (a, b) -> (lo, hi) is invertible, so it keeps distinct states distinct.
  const std::uint64_t lo = mix64_murmur(a + rotl(b, 29));
  const std::uint64_t hi = mix64(b ^ lo);
  return {lo, hi};
}

FingerprintSet::SlotArray::SlotArray(std::size_t n) {
  if (n == 0) return;
  if (n > std::numeric_limits<std::size_t>::max() / sizeof(FingerprintDigest)) throw std::bad_alloc();
#if defined(VOK_SLOTS_MMAP)
  // Anonymous pages read as zero: every slot starts empty without a pass.
  void* p = mmap(nullptr, n * sizeof(FingerprintDigest), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
#else
  void* p = std::calloc(n, sizeof(FingerprintDigest));
  if (p == nullptr) throw std::bad_alloc();
#endif
  data_ = static_cast<FingerprintDigest*>(p);
  size_ = n;
}

FingerprintSet::SlotArray::~SlotArray() {
  if (data_ == nullptr) return;
#if defined(VOK_SLOTS_MMAP)
  munmap(data_, size_ * sizeof(FingerprintDigest));
#else
  std::free(data_);
#endif
}

std::size_t FingerprintSet::Table::home(std::uint64_t lo) const {
  return static_cast<std::size_t>(mul_high(lo, homes_));
}

std::size_t FingerprintSet::Table::seek(FingerprintDigest d) const {
  std::size_t i = homes_ == 0 ? 0 : home(d.lo);
  while (i < slots_.size() && !empty_slot(slots_[i]) && digest_less(slots_[i], d)) ++i;
  return i;
}

bool FingerprintSet::Table::insert(FingerprintDigest d) {
  if (empty_slot(d)) {
    const bool fresh = !has_zero_;
    has_zero_ = true;
    return fresh;
  }
  if ((count_ + 1) * 10 > homes_ * kMaxLoadTenths) rebuild(std::max(kFirstHomes, homes_ + homes_ / 4));
  for (;;) {
    const std::size_t at = seek(d);
    if (at < slots_.size() && slots_[at] == d) return false;
    std::size_t gap = at;
    while (gap < slots_.size() && !empty_slot(slots_[gap])) ++gap;
    if (gap == slots_.size()) {
      // The run reaches the end of the array: the same homes with spare
      // slots behind the last digest again.
      rebuild(homes_);
      continue;
    }
    // Shifting the rest of the run up keeps every digest at or after its
    // home and the run sorted.
    std::move_backward(slots_.begin() + at, slots_.begin() + gap, slots_.begin() + gap + 1);
    slots_[at] = d;
    ++count_;
    return true;
  }
}

bool FingerprintSet::Table::contains(FingerprintDigest d) const {
  if (empty_slot(d)) return has_zero_;
  const std::size_t at = seek(d);
  return at < slots_.size() && slots_[at] == d;
}

void FingerprintSet::Table::rebuild(std::size_t homes) {
  // The digests in array order are in digest order, so each goes to its new
  // home or right after the one before, whichever is later; the first pass
  // finds how far the last one lands.
  homes_ = homes;
  std::size_t end = 0;
  for (const FingerprintDigest& d : slots_) {
    if (!empty_slot(d)) end = std::max(home(d.lo), end) + 1;
  }
  SlotArray fresh(std::max(end, homes_) + kSpareSlots);
  std::size_t next = 0;
  for (const FingerprintDigest& d : slots_) {
    if (empty_slot(d)) continue;
    const std::size_t at = std::max(home(d.lo), next);
    fresh[at] = d;
    next = at + 1;
  }
  slots_ = std::move(fresh);
}

bool FingerprintSet::insert(FingerprintDigest d) {
  Shard& shard = shards_[shard_of(d)];
  bool added = false;
  {
    std::lock_guard<std::mutex> lock(shard.mutex);
    added = shard.table.insert(d);
  }
  if (added) journal({&d, 1}, nullptr);
  return added;
}

void FingerprintSet::start_journal() {
  std::lock_guard<std::mutex> lock(journal_mutex_);
  journaling_ = true;
}

std::vector<FingerprintDigest> FingerprintSet::take_journal() {
  std::lock_guard<std::mutex> lock(journal_mutex_);
  journal_hint_ = std::max(journal_hint_, journal_.size());
  return std::exchange(journal_, {});
}

void FingerprintSet::journal(std::span<const FingerprintDigest> digests, const std::vector<char>* admitted) {
  std::lock_guard<std::mutex> lock(journal_mutex_);
  if (!journaling_) return;
  // Growing by doubling would copy a level's list about twice over (tens
  // of millions of digests at level 10); room for twice the longest list
  // taken so far costs only address space until it is written.
  if (journal_.capacity() == 0 && journal_hint_ != 0) journal_.reserve(2 * journal_hint_);
  for (std::size_t i = 0; i < digests.size(); ++i) {
    if (admitted == nullptr || (*admitted)[i] != 0) journal_.push_back(digests[i]);
  }
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

void FingerprintSet::Table::append_to(std::vector<FingerprintDigest>& out) const {
  // The all-zero digest sorts first.
  if (has_zero_) out.push_back({});
  for (const FingerprintDigest& d : slots_) {
    if (!empty_slot(d)) out.push_back(d);
  }
}

FingerprintSet::Table FingerprintSet::Table::copy() const {
  Table t;
  t.slots_ = SlotArray(slots_.size());
  std::copy(slots_.begin(), slots_.end(), t.slots_.begin());
  t.homes_ = homes_;
  t.count_ = count_;
  t.has_zero_ = has_zero_;
  return t;
}

void FingerprintSet::copy_from(const FingerprintSet& other) {
  if (&other == this) return;
  // Shards copy on the pool: a warm start copies a set of hundreds of MB,
  // most of it fresh pages, before its first level can start.
  parallel_each(kShards, [&](std::size_t i) {
    std::scoped_lock lock(shards_[i].mutex, other.shards_[i].mutex);
    shards_[i].table = other.shards_[i].table.copy();
  });
}

void FingerprintSet::swap(FingerprintSet& other) {
  if (&other == this) return;
  for (std::size_t i = 0; i < kShards; ++i) {
    std::scoped_lock lock(shards_[i].mutex, other.shards_[i].mutex);
    std::swap(shards_[i].table, other.shards_[i].table);
  }
}

void FingerprintSet::Table::reserve(std::size_t n) {
  const std::size_t homes = (count_ + n) * 10 / kMaxLoadTenths + kFirstHomes;
  if (homes > homes_) rebuild(homes);
}

void FingerprintSet::restore(std::span<const FingerprintDigest> digests) {
  std::array<std::size_t, kShards> counts{};
  for (const FingerprintDigest& d : digests) ++counts[shard_of(d)];
  for (std::size_t i = 0; i < kShards; ++i) {
    std::lock_guard<std::mutex> lock(shards_[i].mutex);
    shards_[i].table.reserve(counts[i]);
  }
  (void)insert_ordered(digests);
}

std::vector<FingerprintDigest> FingerprintSet::digests() const {
  std::vector<FingerprintDigest> out;
  out.reserve(size());
  for (const Shard& shard : shards_) {
    std::lock_guard<std::mutex> lock(shard.mutex);
    shard.table.append_to(out);
  }
  return out;
}

std::size_t FingerprintSet::slot_bytes() const {
  std::size_t n = 0;
  for (const Shard& shard : shards_) {
    std::lock_guard<std::mutex> lock(shard.mutex);
    n += shard.table.slot_bytes();
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
  journal(digests, &admitted);
  return admitted;
}

}  // namespace vok
