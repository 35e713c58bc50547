// Checkpoints: exact resumes after a stop at any level, warm starts, the file's checks, the lock and failed writes.
#include "engine/wire/checkpoint.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/search/bfs.hpp"
#include "engine_helpers.hpp"
#include "infra/durable_file.hpp"

namespace vok {
namespace {

namespace fs = std::filesystem;
using testing_support::same_bits;
using testing_support::same_expression;
using Data = testing_support::SearchData;

Data noisy_problem() {
  Data d;
  for (int i = 0; i < 30; ++i) {
    const double a = -1.0 + 0.07 * i, b = std::cos(1.7 * i);
    d.rows.push_back({a, b});
    d.targets.push_back(std::sin(a) * b + 0.3 * std::cos(5.0 * i));
  }
  return d;
}

SearchConfig config_of(std::size_t max_complexity, bool scaling = true) {
  SearchConfig c;
  c.max_complexity = max_complexity;
  c.beam_width = 40;
  c.candidate_chunk = 64;
  c.output_scaling = scaling;
  return c;
}

// A fresh folder per test, removed afterwards.
class CheckpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("vok_ckpt_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
            std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name = "search.ckpt") const { return (dir_ / name).string(); }

  fs::path dir_;
};

SearchControl checkpointed(const std::string& path, ResumePolicy resume = ResumePolicy::Auto) {
  SearchControl control;
  control.output = ProgressOutput::Silent;
  control.checkpoint.emplace();
  control.checkpoint->path = path;
  control.checkpoint->resume = resume;
  return control;
}

const std::vector<SearchResult>& results_of(const SearchRun& run) {
  static const std::vector<SearchResult> none;
  const auto* r = std::get_if<std::vector<SearchResult>>(&run.results);
  EXPECT_NE(r, nullptr) << (r == nullptr ? std::get<SearchError>(run.results).message : "");
  return r != nullptr ? *r : none;
}

std::string error_of(const SearchRun& run) {
  const auto* e = std::get_if<SearchError>(&run.results);
  return e != nullptr ? e->message : "(no error)";
}

void expect_same_results(const SearchRun& a, const SearchRun& b) {
  const auto& x = results_of(a);
  const auto& y = results_of(b);
  ASSERT_EQ(x.size(), y.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    EXPECT_TRUE(same_expression(x[i].expression, y[i].expression)) << x[i].expression.formula;
    EXPECT_TRUE(same_bits(x[i].error, y[i].error)) << x[i].expression.formula;
  }
  EXPECT_EQ(a.stop, b.stop);
  EXPECT_EQ(a.last_level, b.last_level);
}

SearchRun uninterrupted(const Data& d, const SearchConfig& c) {
  SearchControl control;
  control.output = ProgressOutput::Silent;
  return run_search(d.rows, d.targets, c, control);
}

std::string contents(const std::string& path) { return *read_file(path).bytes; }

// Seals an edited body under a fresh checksum, so that only the field
// checks stand between it and the search.
std::string resealed(std::string bytes) {
  const Digest128 sum = digest_bytes(std::string_view(bytes).substr(kCheckpointHeaderBytes));
  std::memcpy(bytes.data() + 20, sum.data(), 16);
  return bytes;
}

TEST_F(CheckpointTest, ResumeAfterAStopAtAnyLevelEndsAsTheUninterruptedSearch) {
  const Data d = noisy_problem();
  for (const bool scaling : {false, true}) {
    const SearchConfig c = config_of(6, scaling);
    const SearchRun reference = uninterrupted(d, c);
    for (std::size_t stop_at = 1; stop_at < 6; ++stop_at) {
      const std::string file = path("stop" + std::to_string(stop_at) + (scaling ? "s" : ""));
      SearchControl first = checkpointed(file);
      first.on_level = [&](const LevelEvent& e) { return e.level < stop_at; };
      const SearchRun stopped = run_search(d.rows, d.targets, c, first);
      ASSERT_EQ(stopped.last_level, stop_at);
      EXPECT_EQ(stopped.stop, StopReason::Cancelled);

      const SearchRun resumed = run_search(d.rows, d.targets, c, checkpointed(file));
      EXPECT_EQ(resumed.resumed_level, stop_at) << error_of(resumed);
      expect_same_results(resumed, reference);
      // The file now holds the whole search, and resuming it finds it done.
      const SearchRun again = run_search(d.rows, d.targets, c, checkpointed(file));
      EXPECT_EQ(again.resumed_level, 6u);
      expect_same_results(again, reference);
    }
  }
}

TEST_F(CheckpointTest, AStopInsideALevelResumesAtThatLevel) {
  const Data d = noisy_problem();
  const SearchConfig c = config_of(6);
  const SearchRun reference = uninterrupted(d, c);
  SearchControl first = checkpointed(path());
  first.on_progress = [](const ProgressTick& t) { return !(t.level == 5 && t.done > 0); };
  const SearchRun stopped = run_search(d.rows, d.targets, c, first);
  ASSERT_EQ(stopped.last_level, 4u);
  const SearchRun resumed = run_search(d.rows, d.targets, c, checkpointed(path()));
  EXPECT_EQ(resumed.resumed_level, 4u);
  expect_same_results(resumed, reference);
}

TEST_F(CheckpointTest, WarmStartToALargerLimitEqualsOneSearchToIt) {
  const Data d = noisy_problem();
  SearchConfig small = config_of(4);
  SearchConfig large = config_of(7);
  small.scaling_headroom = large.scaling_headroom = 4;
  // The headroom changes nothing a search reports.
  expect_same_results(uninterrupted(d, large), uninterrupted(d, config_of(7)));
  expect_same_results(uninterrupted(d, small), uninterrupted(d, config_of(4)));

  SearchControl first = checkpointed(path());
  first.checkpoint->keep_state = true;
  const SearchRun done_small = run_search(d.rows, d.targets, small, first);
  ASSERT_EQ(done_small.last_level, 4u);
  ASSERT_NE(done_small.state, nullptr);

  // From the file, and from the state kept in memory.
  SearchControl warm = checkpointed(path());
  warm.checkpoint->warm_start = true;
  const SearchRun from_file = run_search(d.rows, d.targets, large, warm);
  EXPECT_EQ(from_file.resumed_level, 4u) << error_of(from_file);
  expect_same_results(from_file, uninterrupted(d, large));

  SearchControl in_memory;
  in_memory.output = ProgressOutput::Silent;
  in_memory.checkpoint.emplace();
  in_memory.checkpoint->warm_start = true;
  in_memory.checkpoint->resume_state = done_small.state;
  const SearchRun from_memory = run_search(d.rows, d.targets, large, in_memory);
  EXPECT_EQ(from_memory.resumed_level, 4u);
  expect_same_results(from_memory, uninterrupted(d, large));

  // Without warm_start another max_complexity is a mismatch; with it, a
  // limit below the level reached is refused.
  SearchControl strict = in_memory;
  strict.checkpoint->warm_start = false;
  EXPECT_NE(error_of(run_search(d.rows, d.targets, large, strict)).find("other max_complexity;"), std::string::npos)
      << error_of(run_search(d.rows, d.targets, large, strict));
  SearchConfig smaller = config_of(3);
  smaller.scaling_headroom = 4;
  EXPECT_NE(error_of(run_search(d.rows, d.targets, smaller, in_memory)).find("reached level 4, beyond max_complexity=3"),
            std::string::npos);
  // A state stored without the headroom cannot be continued exactly.
  EXPECT_NE(error_of(run_search(d.rows, d.targets, config_of(7), in_memory)).find("other warm_start;"),
            std::string::npos);
}

TEST_F(CheckpointTest, AKeptStateLeavesOutAStoppedLevelAndServesEveryFitThatContinuesIt) {
  const Data d = noisy_problem();
  SearchConfig c = config_of(6);
  c.scaling_headroom = 4;
  const SearchRun reference = uninterrupted(d, c);
  for (const bool with_file : {false, true}) {
    SearchControl first = checkpointed(with_file ? path() : "");
    first.checkpoint->keep_state = true;
    // Level 5's candidates are admitted, and some scored, when it stops.
    first.on_progress = [](const ProgressTick& t) { return !(t.level == 5 && t.done > 0); };
    const SearchRun stopped = run_search(d.rows, d.targets, c, first);
    ASSERT_EQ(stopped.last_level, 4u);
    ASSERT_NE(stopped.state, nullptr);
    EXPECT_EQ(stopped.state->state.last_level, 4u);
    SearchControl warm;
    warm.output = ProgressOutput::Silent;
    warm.checkpoint.emplace();
    warm.checkpoint->warm_start = true;
    warm.checkpoint->resume_state = stopped.state;
    const std::size_t kept_size = stopped.state->seen.size();
    for (int again = 0; again < 2; ++again) {
      const SearchRun resumed = run_search(d.rows, d.targets, c, warm);
      EXPECT_EQ(resumed.resumed_level, 4u) << error_of(resumed);
      expect_same_results(resumed, reference);
    }
    EXPECT_EQ(stopped.state->seen.size(), kept_size);
  }
}

TEST_F(CheckpointTest, MismatchesAreRefusedNamingWhatDiffers) {
  const Data d = noisy_problem();
  const SearchConfig c = config_of(3);
  ASSERT_EQ(run_search(d.rows, d.targets, c, checkpointed(path())).last_level, 3u);
  struct Case {
    const char* name;
    SearchConfig config;
    Data data;
    std::string expected;
  };
  std::vector<Case> cases;
  SearchConfig wider = c;
  wider.beam_width = 41;
  SearchConfig several = c;
  several.alpha = 0.5;
  several.ranking = Ranking::Affine;
  Data other_y = d;
  other_y.targets[7] = std::nextafter(other_y.targets[7], 10.0);
  Data other_x = d;
  other_x.rows[29][1] = -0.0;
  cases.push_back({"beam", wider, d, "other beam_width;"});
  cases.push_back({"two", several, d, "other alpha, ranking;"});
  cases.push_back({"y", c, other_y, "other y;"});
  cases.push_back({"x", c, other_x, "other X;"});
  cases.push_back({"both", wider, other_y, "other beam_width, y;"});
  for (const Case& k : cases) {
    const std::string error = error_of(run_search(k.data.rows, k.data.targets, k.config, checkpointed(path())));
    EXPECT_NE(error.find(k.expected), std::string::npos) << k.name << ": " << error;
    EXPECT_EQ(error.find("Checkpoint '" + path() + "'"), 0u) << error;
  }
  // Weights are part of the data.
  std::optional<Dataset> weighted = Dataset::from_rows(d.rows, d.targets);
  ASSERT_TRUE(weighted.has_value());
  std::vector<double> weights(d.rows.size(), 1.0);
  weights[3] = 2.0;
  EXPECT_NE(error_of(run_search(std::move(*weighted).with_weights(std::move(weights)), c, checkpointed(path())))
                .find("other sample weights;"),
            std::string::npos);
  // resume=never starts afresh over it, and the file is then the new one's.
  const SearchRun fresh = run_search(d.rows, d.targets, wider, checkpointed(path(), ResumePolicy::Never));
  EXPECT_EQ(fresh.resumed_level, 0u);
  EXPECT_EQ(run_search(d.rows, d.targets, wider, checkpointed(path())).resumed_level, 3u);
}

TEST_F(CheckpointTest, ResumePolicies) {
  const Data d = noisy_problem();
  const SearchConfig c = config_of(3);
  // No file: auto starts afresh and writes one; always refuses.
  EXPECT_NE(error_of(run_search(d.rows, d.targets, c, checkpointed(path(), ResumePolicy::Always)))
                .find("there is no checkpoint to resume"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(path()));
  const SearchRun first = run_search(d.rows, d.targets, c, checkpointed(path()));
  EXPECT_EQ(first.resumed_level, 0u);
  ASSERT_TRUE(fs::exists(path()));
  EXPECT_FALSE(fs::exists(path() + ".tmp"));
  EXPECT_EQ(run_search(d.rows, d.targets, c, checkpointed(path(), ResumePolicy::Always)).resumed_level, 3u);
  // never reads nothing, not even a damaged file.
  std::FILE* f = std::fopen(path().c_str(), "wb");
  std::fputs("garbage", f);
  std::fclose(f);
  const SearchRun over = run_search(d.rows, d.targets, c, checkpointed(path(), ResumePolicy::Never));
  expect_same_results(over, first);
  EXPECT_EQ(run_search(d.rows, d.targets, c, checkpointed(path())).resumed_level, 3u);
}

TEST_F(CheckpointTest, DamagedTruncatedForeignAndFutureFilesAreRefused) {
  const Data d = noisy_problem();
  ASSERT_EQ(run_search(d.rows, d.targets, config_of(3), checkpointed(path())).last_level, 3u);
  const std::string good = contents(path());
  ASSERT_TRUE(std::holds_alternative<CheckpointState>(decode_checkpoint(good)));
  const auto refusal = [](const std::string& bytes) {
    const auto out = decode_checkpoint(bytes);
    return std::holds_alternative<SearchError>(out) ? std::get<SearchError>(out).message : "(accepted)";
  };
  EXPECT_NE(refusal("").find("is not a checkpoint"), std::string::npos);
  EXPECT_NE(refusal("PK\x03\x04 a zip file").find("is not a checkpoint"), std::string::npos);
  // Cut anywhere: never accepted, and from the header on said to be cut.
  for (std::size_t n = 1; n < good.size(); n += 1 + n / 7) {
    const std::string message = refusal(good.substr(0, n));
    EXPECT_NE(message, "(accepted)") << n;
    if (n >= 12) {
      EXPECT_NE(message.find("is truncated"), std::string::npos) << n << ": " << message;
    }
  }
  EXPECT_NE(refusal(good + "x").find("bytes follow its end"), std::string::npos);
  // Every flipped bit of the body is caught by the checksum.
  for (std::size_t at = kCheckpointHeaderBytes; at < good.size(); at += 1 + at / 5) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x10);
    EXPECT_NE(refusal(bad).find("checksum does not match"), std::string::npos) << at;
  }
  std::string future = good;
  future[8] = static_cast<char>(kCheckpointVersion + 1);
  EXPECT_NE(refusal(future).find("written by a newer one"), std::string::npos) << refusal(future);
  // A sealed body with a field out of range: the field checks refuse it.
  const CheckpointState state = std::get<CheckpointState>(decode_checkpoint(good));
  // The first level-1 expression (one token) is followed by its formula's
  // length and text; the token, 26 bytes before them, is a kind byte and
  // then the index, which no variable or parameter leaf may have at 200.
  const std::string text = std::string("\x01\0\0\0\0\0\0\0", 8) + state.levels[1][0].formula;
  ASSERT_EQ(state.levels[1][0].formula.size(), 1u);
  const std::size_t found = good.find(text, kCheckpointHeaderBytes);
  ASSERT_NE(found, std::string::npos);
  std::string wrong_var = good;
  const std::size_t token = found - 26;
  wrong_var[token + 1] = static_cast<char>(200);
  EXPECT_NE(refusal(resealed(wrong_var)).find("its retained levels cannot be read back"), std::string::npos)
      << refusal(resealed(wrong_var));
  // Through the search, the path heads the message.
  std::FILE* f = std::fopen(path().c_str(), "wb");
  std::fwrite(good.data(), 1, good.size() / 2, f);
  std::fclose(f);
  const std::string error = error_of(run_search(d.rows, d.targets, config_of(3), checkpointed(path())));
  EXPECT_EQ(error.rfind("Checkpoint '" + path() + "': the checkpoint is truncated", 0), 0u) << error;
}

TEST_F(CheckpointTest, AFileInUseIsRefused) {
  const Data d = noisy_problem();
  FileLock::Attempt held = FileLock::take(path());
  ASSERT_TRUE(held.lock.held()) << held.failure;
  EXPECT_TRUE(FileLock::take(path()).busy);
  const std::string error = error_of(run_search(d.rows, d.targets, config_of(3), checkpointed(path())));
  EXPECT_NE(error.find("is in use by another running fit"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(path()));
  held.lock = FileLock();
  EXPECT_EQ(run_search(d.rows, d.targets, config_of(3), checkpointed(path())).last_level, 3u);
}

TEST_F(CheckpointTest, FailedWritesAreCountedAndTheSearchGoesOn) {
  const Data d = noisy_problem();
  // A folder where the temporary file should be: every write fails.
  fs::create_directories(path("taken") + ".tmp");
  const SearchRun run = run_search(d.rows, d.targets, config_of(4), checkpointed(path("taken")));
  expect_same_results(run, uninterrupted(d, config_of(4)));
  EXPECT_EQ(run.checkpoint_failures, 4u);
  EXPECT_NE(run.checkpoint_failure.find("cannot create"), std::string::npos) << run.checkpoint_failure;
  EXPECT_FALSE(fs::exists(path("taken")));
}

TEST_F(CheckpointTest, TheFingerprintFileIsCheckedAndItsUncommittedTailWrittenOver) {
  const Data d = noisy_problem();
  const SearchConfig c = config_of(6);
  const SearchRun reference = uninterrupted(d, c);
  SearchControl first = checkpointed(path());
  first.on_level = [](const LevelEvent& e) { return e.level < 4; };
  ASSERT_EQ(run_search(d.rows, d.targets, c, first).last_level, 4u);
  const CheckpointState state = std::get<CheckpointState>(decode_checkpoint(contents(path())));
  ASSERT_TRUE(state.seen_file.has_value());
  // One segment per store: the seeds and levels 2 to 4.
  EXPECT_EQ(state.seen_file->segments.size(), 4u);
  const std::string seen = seen_file_path(path(), state.seen_file->generation);
  const std::string good = contents(seen);
  ASSERT_EQ(good.size(), state.seen_file->digest_count() * sizeof(FingerprintDigest));
  const auto refused_with = [&](const std::string& bytes) {
    EXPECT_TRUE(!replace_file(seen, bytes));
    return error_of(run_search(d.rows, d.targets, c, checkpointed(path())));
  };
  std::string flipped = good;
  flipped[good.size() / 2] = static_cast<char>(flipped[good.size() / 2] ^ 0x01);
  EXPECT_EQ(refused_with(flipped), "Checkpoint '" + path() + "': the checkpoint's fingerprint file '" + seen +
                                       "' is damaged: its checksum does not match its contents.");
  EXPECT_NE(refused_with(good.substr(0, good.size() - 16)).find("' is truncated: "), std::string::npos);
  fs::remove(seen);
  EXPECT_NE(error_of(run_search(d.rows, d.targets, c, checkpointed(path()))).find("fingerprint file '" + seen +
                                                                                   "' is missing"),
            std::string::npos);
  // Bytes past the listed segments are what a killed write left: ignored,
  // and written over by the next store.
  ASSERT_TRUE(!replace_file(seen, good + std::string(40, '\x7f')));
  const SearchRun resumed = run_search(d.rows, d.targets, c, checkpointed(path()));
  EXPECT_EQ(resumed.resumed_level, 4u) << error_of(resumed);
  expect_same_results(resumed, reference);
  const CheckpointState after = std::get<CheckpointState>(decode_checkpoint(contents(path())));
  EXPECT_EQ(contents(seen).size(), after.seen_file->digest_count() * sizeof(FingerprintDigest));
  EXPECT_EQ(contents(seen).substr(0, good.size()), good);
}

TEST_F(CheckpointTest, AFreshSearchOverACheckpointWritesTheOtherFingerprintFile) {
  const Data d = noisy_problem();
  const SearchConfig c = config_of(4);
  ASSERT_EQ(run_search(d.rows, d.targets, config_of(3), checkpointed(path())).last_level, 3u);
  const auto generation = [&] {
    return std::get<CheckpointState>(decode_checkpoint(contents(path()))).seen_file->generation;
  };
  const std::uint8_t old = generation();
  // A leftover of an older search in the file it takes is written over.
  ASSERT_TRUE(!replace_file(seen_file_path(path(), static_cast<std::uint8_t>(1 - old)), std::string(1000, 'x')));
  // Once it stores a level, the checkpoint is its own and the old file goes.
  const SearchRun fresh = run_search(d.rows, d.targets, c, checkpointed(path(), ResumePolicy::Never));
  EXPECT_EQ(fresh.resumed_level, 0u);
  EXPECT_NE(generation(), old);
  EXPECT_FALSE(fs::exists(seen_file_path(path(), old)));
  expect_same_results(run_search(d.rows, d.targets, c, checkpointed(path())), uninterrupted(d, c));
}

TEST_F(CheckpointTest, WithoutAFingerprintFileTheCheckpointHoldsTheSetItself) {
  const Data d = noisy_problem();
  const SearchConfig c = config_of(5);
  // A folder where the fingerprint file should be: no segment is written.
  fs::create_directories(seen_file_path(path(), 0));
  SearchControl first = checkpointed(path());
  first.on_level = [](const LevelEvent& e) { return e.level < 3; };
  const SearchRun stopped = run_search(d.rows, d.targets, c, first);
  EXPECT_EQ(stopped.checkpoint_failures, 1u);
  EXPECT_NE(stopped.checkpoint_failure.find("cannot open '" + seen_file_path(path(), 0) + "'"), std::string::npos)
      << stopped.checkpoint_failure;
  const CheckpointState state = std::get<CheckpointState>(decode_checkpoint(contents(path())));
  EXPECT_FALSE(state.seen_file.has_value());
  EXPECT_FALSE(state.seen.empty());
  // The resumed search writes its set to a fingerprint file again.
  fs::remove_all(seen_file_path(path(), 0));
  const SearchRun resumed = run_search(d.rows, d.targets, c, checkpointed(path()));
  EXPECT_EQ(resumed.resumed_level, 3u) << error_of(resumed);
  expect_same_results(resumed, uninterrupted(d, c));
  EXPECT_TRUE(std::get<CheckpointState>(decode_checkpoint(contents(path()))).seen_file.has_value());
}

TEST(Checkpoint, DataDigestSeesEveryValueAndTheShape) {
  const Dataset a(2, 2, {1.0, 2.0, 3.0, 4.0}, {5.0, 6.0});
  const Dataset transposed(2, 2, {1.0, 3.0, 2.0, 4.0}, {5.0, 6.0});
  const Dataset reshaped(4, 1, {1.0, 2.0, 3.0, 4.0}, {5.0, 6.0, 7.0, 8.0});
  const Dataset signed_zero(2, 2, {1.0, 2.0, 3.0, -0.0}, {5.0, 6.0});
  const Dataset zero(2, 2, {1.0, 2.0, 3.0, 0.0}, {5.0, 6.0});
  EXPECT_EQ(digest_data(a), digest_data(Dataset(2, 2, {1.0, 2.0, 3.0, 4.0}, {5.0, 6.0})));
  EXPECT_NE(digest_data(a).x, digest_data(transposed).x);
  EXPECT_NE(digest_data(a), digest_data(reshaped));
  EXPECT_NE(digest_data(signed_zero).x, digest_data(zero).x);
  const std::vector<double> w = {1.0, 2.0};
  EXPECT_FALSE(digest_data(a).weights.has_value());
  EXPECT_NE(digest_data(a, w), digest_data(a));
  EXPECT_EQ(digest_data(a, w).x, digest_data(a).x);
}

}  // namespace
}  // namespace vok
