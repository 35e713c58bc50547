// Tests of the fingerprint set: ordered inserts, growth, threads, digests.
#include "engine/fingerprint_set.hpp"

#include <gtest/gtest.h>

#include <oneapi/tbb/global_control.h>

#include <array>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

namespace vok {
namespace {

// Fingerprints drawn from a tiny value range so that many repeat.
std::vector<Fingerprint> colliding_fingerprints(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Fingerprint> fps(n);
  for (auto& f : fps) {
    // 30 * 2^3 = 240 distinct values, each over the whole int64 range.
    f.values[0] = static_cast<std::int64_t>(rng() % 30) - 15;
    for (std::size_t i = 2; i < 5; ++i) f.values[i] = (rng() % 2) ? INT64_MIN : INT64_MAX;
  }
  return fps;
}

std::vector<const Fingerprint*> pointers(const std::vector<Fingerprint>& fps) {
  std::vector<const Fingerprint*> out;
  for (const auto& f : fps) out.push_back(&f);
  return out;
}

TEST(FingerprintSet, OrderedInsertKeepsFirstOccurrence) {
  // The reference is a plain ordered set of the ten integers, filled one
  // after another: it knows nothing of digests or shards.
  const auto fps = colliding_fingerprints(5000, 7);
  FingerprintSet set;
  ASSERT_TRUE(set.insert(fps[17]));  // already present before the batch
  const auto admitted = set.insert_ordered(pointers(fps));

  std::set<std::array<std::int64_t, 10>> reference{fps[17].values};
  std::size_t fresh_count = 0;
  for (std::size_t i = 0; i < fps.size(); ++i) {
    const bool fresh = reference.insert(fps[i].values).second;
    EXPECT_EQ(admitted[i] != 0, fresh) << i;
    fresh_count += fresh;
  }
  EXPECT_EQ(admitted[17], 0);
  EXPECT_GT(fresh_count, 100u);
  EXPECT_LT(fresh_count, fps.size() / 2);
  EXPECT_EQ(set.size(), reference.size());
  for (const auto& f : fps) EXPECT_TRUE(set.contains(f));
}

TEST(FingerprintSet, DigestBatchAndFingerprintBatchAgree) {
  const auto fps = colliding_fingerprints(3000, 11);
  std::vector<FingerprintDigest> digests;
  for (const auto& f : fps) digests.push_back(fingerprint_digest(f));
  FingerprintSet by_fp;
  FingerprintSet by_digest;
  EXPECT_EQ(by_fp.insert_ordered(pointers(fps)), by_digest.insert_ordered(digests));
  // A second batch of the same values admits nothing.
  const auto again = by_digest.insert_ordered(digests);
  for (char a : again) EXPECT_EQ(a, 0);
}

TEST(FingerprintSet, GrowsWithoutLosingOrInventingEntries) {
  // Enough distinct entries to make every shard's table double many times.
  constexpr std::int64_t n = 200000;
  FingerprintSet set;
  auto make = [](std::int64_t i) {
    Fingerprint f;
    f.values[0] = i;
    f.values[3] = -i;
    return f;
  };
  for (std::int64_t i = 0; i < n; ++i) ASSERT_TRUE(set.insert(make(i))) << i;
  EXPECT_EQ(set.size(), static_cast<std::size_t>(n));
  for (std::int64_t i = 0; i < n; ++i) {
    ASSERT_TRUE(set.contains(make(i))) << i;
    ASSERT_FALSE(set.insert(make(i))) << i;
  }
  for (std::int64_t i = n; i < 2 * n; ++i) ASSERT_FALSE(set.contains(make(i))) << i;
  EXPECT_EQ(set.size(), static_cast<std::size_t>(n));
}

TEST(FingerprintSet, OrderedOutcomeDoesNotDependOnThreadCount) {
  const auto fps = colliding_fingerprints(20000, 3);
  auto run = [&](std::size_t threads) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
    FingerprintSet set;
    const auto ptrs = pointers(fps);
    std::vector<char> out = set.insert_ordered(std::span(ptrs).first(10000));
    const auto second = set.insert_ordered(std::span(ptrs).subspan(10000));
    out.insert(out.end(), second.begin(), second.end());
    return out;
  };
  const auto one = run(1);
  EXPECT_EQ(run(2), one);
  EXPECT_EQ(run(8), one);
}

TEST(FingerprintSet, AllZeroDigestIsAnOrdinaryMember) {
  // The all-zero digest doubles as the empty-slot mark inside a shard.
  FingerprintSet set;
  const FingerprintDigest zero{};
  const FingerprintDigest same_slot{0, 1};  // shard 0, home slot 0
  EXPECT_FALSE(set.contains(zero));
  EXPECT_TRUE(set.insert(zero));
  EXPECT_FALSE(set.insert(zero));
  EXPECT_TRUE(set.contains(zero));
  EXPECT_FALSE(set.contains(same_slot));
  EXPECT_TRUE(set.insert(same_slot));
  EXPECT_EQ(set.size(), 2u);
  const std::vector<FingerprintDigest> batch{same_slot, zero, {5, 0}, {5, 0}};
  EXPECT_EQ(set.insert_ordered(batch), (std::vector<char>{0, 0, 1, 0}));
  EXPECT_EQ(set.size(), 3u);
}

TEST(FingerprintDigest, NearlyEqualFingerprintsGetDistinctWellSpreadDigests) {
  // Fingerprints one unit apart in a single component, as neighbouring
  // formulas give: no two may share a digest, and both halves must spread
  // over the shards (high bits) and over the slots (low bits) evenly.
  constexpr std::size_t n = 64 * 1000;
  std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
  std::array<std::size_t, 64> by_hi{};
  std::array<std::size_t, 64> by_lo{};
  Fingerprint f;
  f.values = {5772156649, 0, 12824271291, 1000000000, 16180339887, 0, 6931471806, 1000000000, 12020569032, 0};
  for (std::size_t i = 0; i < n; ++i) {
    Fingerprint g = f;
    g.values[i % 10] += static_cast<std::int64_t>(i / 10) + 1;
    const FingerprintDigest d = fingerprint_digest(g);
    EXPECT_EQ(d, fingerprint_digest(g));
    seen.insert({d.lo, d.hi});
    ++by_hi[d.hi >> 58];
    ++by_lo[d.lo & 63];
  }
  EXPECT_EQ(seen.size(), n);
  // Expected 1000 per bucket with a standard deviation of about 31.
  for (std::size_t b = 0; b < 64; ++b) {
    EXPECT_GT(by_hi[b], 850u) << b;
    EXPECT_LT(by_hi[b], 1150u) << b;
    EXPECT_GT(by_lo[b], 850u) << b;
    EXPECT_LT(by_lo[b], 1150u) << b;
  }
  EXPECT_NE(fingerprint_digest(f), fingerprint_digest(Fingerprint{}));
}

}  // namespace
}  // namespace vok
