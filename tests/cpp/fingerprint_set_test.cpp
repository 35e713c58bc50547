// Tests of the fingerprint set: ordered inserts, growth, threads, digests.
#include "engine/generate/fingerprint_set.hpp"

#include <gtest/gtest.h>

#include <oneapi/tbb/global_control.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
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

TEST(FingerprintSet, TheJournalListsWhatWasAdmittedSinceItStartedInOrder) {
  const auto fps = colliding_fingerprints(3000, 11);
  FingerprintSet set;
  ASSERT_TRUE(set.insert(fps[0]));
  set.start_journal();
  EXPECT_FALSE(set.insert(fps[0]));
  const auto admitted = set.insert_ordered(pointers(fps));
  std::vector<FingerprintDigest> expected;
  for (std::size_t i = 0; i < fps.size(); ++i) {
    if (admitted[i] != 0) expected.push_back(fingerprint_digest(fps[i]));
  }
  ASSERT_GT(expected.size(), 100u);
  EXPECT_EQ(set.take_journal(), expected);
  // Taken means emptied; a single insert is journaled as well.
  Fingerprint fresh{};
  fresh.values[0] = 1 << 20;
  ASSERT_TRUE(set.insert(fresh));
  EXPECT_EQ(set.take_journal(), std::vector<FingerprintDigest>{fingerprint_digest(fresh)});
  EXPECT_TRUE(set.take_journal().empty());
}

TEST(FingerprintSet, ACopyIsEqualAndIndependentAndASwapExchanges) {
  const auto fps = colliding_fingerprints(3000, 12);
  FingerprintSet source;
  (void)source.insert_ordered(pointers(fps));
  FingerprintSet copy;
  ASSERT_TRUE(copy.insert(Fingerprint{}));
  copy.copy_from(source);
  EXPECT_EQ(copy.digests(), source.digests());
  Fingerprint fresh{};
  fresh.values[1] = 77;
  ASSERT_TRUE(copy.insert(fresh));
  EXPECT_FALSE(source.contains(fresh));
  FingerprintSet other;
  other.swap(copy);
  EXPECT_EQ(copy.size(), 0u);
  EXPECT_EQ(other.size(), source.size() + 1);
  EXPECT_TRUE(other.contains(fresh));
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

TEST(FingerprintSet, DigestsListTheContentsAndRestoreRebuildsThem) {
  std::mt19937_64 rng(5);
  FingerprintSet set;
  std::set<std::pair<std::uint64_t, std::uint64_t>> members;
  set.insert(FingerprintDigest{});  // the all-zero digest travels too
  for (int i = 0; i < 200000; ++i) {
    const FingerprintDigest d{rng(), rng()};
    set.insert(d);
    members.insert({d.lo, d.hi});
  }
  const std::vector<FingerprintDigest> listed = set.digests();
  ASSERT_EQ(listed.size(), members.size() + 1);
  EXPECT_EQ(listed.front(), FingerprintDigest{});
  FingerprintSet restored;
  restored.restore(listed);
  // The same contents, listed the same, whatever the insertion order was.
  EXPECT_EQ(restored.digests(), listed);
  EXPECT_TRUE(restored.contains(FingerprintDigest{}));
  EXPECT_FALSE(restored.insert(listed[12345]));
  EXPECT_TRUE(restored.insert(FingerprintDigest{1, 2}) != members.count({1, 2}));
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

// Digests laid out to stress one shard's table: the shard is hi's top six
// bits, the home slot follows lo, so these pile up on single homes, on the
// last home (the slots past the home range) and on home 0 with lo = 0.
struct DigestLayout {
  std::string name;
  FingerprintDigest (*make)(std::uint64_t i);
};

constexpr std::uint64_t kTopLo = std::numeric_limits<std::uint64_t>::max();

const DigestLayout kLayouts[] = {
    {"OneHomeManyHi", [](std::uint64_t i) { return FingerprintDigest{0x8000000000000000ULL, i + 1}; }},
    {"LastHomes", [](std::uint64_t i) { return FingerprintDigest{kTopLo - i % 7, i / 7 + 1}; }},
    {"LoZero", [](std::uint64_t i) { return FingerprintDigest{0, i}; }},  // i = 0 is the all-zero digest
    {"EightHomes", [](std::uint64_t i) { return FingerprintDigest{(i % 8) << 61, (i / 8) * 3 + 1}; }},
    {"SpreadAndShards", [](std::uint64_t i) { return FingerprintDigest{mix64(i), mix64(i ^ 0x5555) | 1}; }},
};

class FingerprintTableLayout : public ::testing::TestWithParam<DigestLayout> {};

TEST_P(FingerprintTableLayout, AgreesWithAnOrderedSetUnderShuffledInserts) {
  // 3000 distinct digests, each offered twice, in a shuffled order: inserts
  // land before, between and after the stored ones of a run, and the table
  // grows many times on the way.
  constexpr std::uint64_t n = 3000;
  std::vector<std::uint64_t> order;
  for (std::uint64_t i = 0; i < n; ++i) order.insert(order.end(), {i, i});
  std::shuffle(order.begin(), order.end(), std::mt19937_64(99));

  FingerprintSet set;
  std::set<std::pair<std::uint64_t, std::uint64_t>> reference;
  for (std::size_t step = 0; step < order.size(); ++step) {
    const FingerprintDigest d = GetParam().make(order[step]);
    const bool fresh = reference.insert({d.lo, d.hi}).second;
    ASSERT_EQ(set.insert(d), fresh) << "step " << step << " value " << order[step];
    if (step % 500 == 0) {
      for (std::uint64_t i = 0; i < n; ++i) {
        const FingerprintDigest e = GetParam().make(i);
        ASSERT_EQ(set.contains(e), reference.count({e.lo, e.hi}) == 1) << "step " << step << " value " << i;
      }
    }
  }
  EXPECT_EQ(set.size(), n);
  for (std::uint64_t i = 0; i < n; ++i) EXPECT_TRUE(set.contains(GetParam().make(i))) << i;
  // Neighbours of stored digests (same lo, next hi; next lo) are absent.
  for (std::uint64_t i = 0; i < n; ++i) {
    const FingerprintDigest d = GetParam().make(i);
    const FingerprintDigest above{d.lo, d.hi + 1};
    const FingerprintDigest beside{d.lo + 1, d.hi};
    EXPECT_EQ(set.contains(above), reference.count({above.lo, above.hi}) == 1) << i;
    EXPECT_EQ(set.contains(beside), reference.count({beside.lo, beside.hi}) == 1) << i;
  }
}

TEST_P(FingerprintTableLayout, OrderedBatchesAdmitTheFirstOfEachValue) {
  constexpr std::uint64_t n = 4000;
  std::vector<FingerprintDigest> batch;
  std::mt19937_64 rng(5);
  for (std::uint64_t i = 0; i < n; ++i) batch.push_back(GetParam().make(rng() % (n / 2)));
  FingerprintSet set;
  const auto first = set.insert_ordered(std::span(batch).first(n / 2));
  const auto second = set.insert_ordered(std::span(batch).subspan(n / 2));
  std::set<std::pair<std::uint64_t, std::uint64_t>> reference;
  for (std::uint64_t i = 0; i < n; ++i) {
    const bool fresh = reference.insert({batch[i].lo, batch[i].hi}).second;
    const char got = i < n / 2 ? first[i] : second[i - n / 2];
    EXPECT_EQ(got != 0, fresh) << i;
  }
  EXPECT_EQ(set.size(), reference.size());
}

INSTANTIATE_TEST_SUITE_P(Layouts, FingerprintTableLayout, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<DigestLayout>& p) { return p.param.name; });

TEST(FingerprintSet, SlotMemoryStaysWithinTheLoadBounds) {
  // The tables grow by a quarter between 72 % and 90 % load: at every size
  // past the first few growths the slots take between 16 / 0.9 and about
  // 16 / 0.72 bytes an entry, never the doubled table of a power-of-two
  // scheme. Each shard may also hold its spare slots past the last digest.
  FingerprintSet set;
  constexpr std::size_t spare_bytes = 64 * 48 * sizeof(FingerprintDigest);
  for (std::uint64_t i = 1; i <= 400000; ++i) {
    ASSERT_TRUE(set.insert(FingerprintDigest{mix64(i), mix64(~i)}));
    if (i % 20000 != 0) continue;
    const double per_entry = static_cast<double>(set.slot_bytes() - spare_bytes) / static_cast<double>(i);
    EXPECT_GE(static_cast<double>(set.slot_bytes()), 16.0 / 0.9 * static_cast<double>(i)) << i;
    EXPECT_LE(per_entry, 16.0 / 0.70) << i;
  }
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
