#pragma once

// The bytes in which a level's scoring travels between processes: what a worker needs, and what a range leaves behind.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/search_config.hpp"
#include "core/search_error.hpp"
#include "engine/data/sample_set.hpp"
#include "engine/fitness/level_scoring.hpp"
#include "engine/generate/generation.hpp"

namespace vok {

// Both ends must share the byte order and the double format (the machines
// of one cluster); doubles travel as their bits, so a worker scores exactly
// the samples and constants the driver has. Every reader checks what it
// reads and reports bytes it cannot use as InvalidInput, never crashes.

// What a worker needs to score level k of a search: the samples, targets
// and settings, and the retained levels 1 .. k-1. Precondition: the set was
// made from a dataset (as every search's is, but for vok_sr's rows of
// differing lengths). `screen`: the level's thresholds (LevelScorer).
[[nodiscard]] std::string encode_level_payload(std::uint64_t search_id, std::size_t k, const SearchConfig& config,
                                               const SampleSet& samples, const Levels& levels,
                                               const LevelScreen& screen = {});

// A level's scoring rebuilt from a payload, with the retained levels' sample
// columns, as the driver has them. Thread safety: immutable after
// construction; score() may run on several threads at once (each call
// scores on the calling thread's arena).
class LevelWork {
 public:
  [[nodiscard]] static Outcome<std::unique_ptr<LevelWork>> decode(std::string_view payload);

  std::uint64_t search_id() const { return search_id_; }
  std::size_t level() const { return k_; }
  const SearchConfig& config() const { return config_; }

  // Scores the candidates whose recipes (RecipeList::encode) start at
  // candidate `first`; the summary bytes of that range (encode_summary).
  [[nodiscard]] Outcome<std::string> score(std::string_view recipes, std::size_t first) const;

  LevelWork(const LevelWork&) = delete;
  LevelWork& operator=(const LevelWork&) = delete;

 private:
  LevelWork(std::uint64_t search_id, std::size_t k, SearchConfig config, LevelScreen screen, SampleSet samples,
            Levels levels);

  std::uint64_t search_id_;
  std::size_t k_;
  SearchConfig config_;
  SampleSet samples_;
  Levels levels_;
  std::vector<SampleColumns> columns_;
  RecipeList numbering_;
  LevelScorer scorer_;
};

// What scoring candidates [first, first + count) of level k left behind.
[[nodiscard]] std::string encode_summary(std::uint64_t search_id, std::size_t k, std::size_t first, std::size_t count,
                                         const LevelTally& tally);
struct LevelSummary {
  std::uint64_t search_id = 0;
  std::size_t k = 0;
  std::size_t first = 0;
  std::size_t count = 0;
  LevelTally tally{0};
};
[[nodiscard]] Outcome<LevelSummary> decode_summary(std::string_view bytes, std::size_t beam_width);

}  // namespace vok
