#pragma once

// A search driven one level at a time by its caller, who has each level's candidates scored wherever it likes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/search_config.hpp"
#include "config/search_control.hpp"
#include "core/dataset.hpp"
#include "core/search_error.hpp"
#include "engine/fitness/level_scoring.hpp"
#include "engine/search/search_run.hpp"

namespace vok {

struct Search;
struct OpenLevel;

// The level-by-level search of run_search, with the scoring of each level
// handed to the caller: open_next() generates and admits a level's
// candidates here; their ranges are scored anywhere (score(), or a
// LevelWork built from payload() in another process) and the summaries come
// back through absorb(), which merges them into exactly the tally of
// scoring the whole level in order, and closes the level. A loop of
// open_next / score / absorb over any split into ranges finds exactly what
// run_search finds with the same settings. Silent: it prints nothing.
// Thread safety: one thread at a time; a range's score() runs its own
// parallel passes.
class SearchStepper {
 public:
  // Validates the inputs and seeds level 1, as run_search does; parallel
  // work runs on `threads` threads (0: the whole pool). The search reads the
  // dataset's columns in place and ships them to the workers.
  [[nodiscard]] static Outcome<std::unique_ptr<SearchStepper>> start(Dataset data, const SearchConfig& config,
                                                                     std::size_t threads);
  ~SearchStepper();
  SearchStepper(const SearchStepper&) = delete;
  SearchStepper& operator=(const SearchStepper&) = delete;

  // Opens the next level: its number, or nullopt when the search has ended.
  // Precondition: no level is open.
  [[nodiscard]] std::optional<std::size_t> open_next();
  // The open level's number, 0 when none is open.
  std::size_t open_level() const;
  // The open level's admitted candidates (0 when none is open).
  std::size_t candidate_count() const;

  // What a worker needs to score the open level (LevelWork::decode).
  [[nodiscard]] std::string payload() const;
  // The recipes of candidates [first, first + count) of the open level.
  // Precondition: the range lies within candidate_count().
  [[nodiscard]] std::string recipes(std::size_t first, std::size_t count) const;
  // Scores that range here: the same summary bytes a LevelWork returns.
  [[nodiscard]] std::string score(std::size_t first, std::size_t count) const;

  // The summaries of ranges that tile the open level's candidates exactly
  // (in any order) close the level. InvalidInput, the level still open, for
  // summaries that are malformed, of another search or level, or that do
  // not tile it.
  struct LevelInfo {
    std::size_t level = 0;
    std::size_t candidates = 0;
    std::size_t retained = 0;
    double best_error = 0.0;  // the lowest raw error on the front (+inf: none)
  };
  [[nodiscard]] Outcome<LevelInfo> absorb(std::span<const std::string_view> summaries);

  // Ends the search after the levels stored so far (an open level is
  // dropped, as a level stopped part way is); finish() reports `reason`.
  void stop(StopReason reason);
  // The search's results, as run_search returns them. Ends the stepper.
  [[nodiscard]] SearchRun finish();

 private:
  SearchStepper() = default;

  SearchConfig config_;
  SearchControl control_;
  std::size_t threads_ = 0;
  std::uint64_t id_ = 0;
  std::unique_ptr<Search> search_;
  std::unique_ptr<OpenLevel> open_;
};

}  // namespace vok
