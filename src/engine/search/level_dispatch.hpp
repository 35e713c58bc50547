#pragma once

// Scoring a search's levels elsewhere: the opened level the driver hands over, and the dispatcher it hands it to.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/search_error.hpp"
#include "engine/fitness/level_scoring.hpp"

namespace vok {

struct Search;
struct OpenLevel;
class LevelProgress;

// A level the driver has generated and admitted, handed to a
// LevelDispatcher for the length of one score_level call. Its candidates
// are scored in ranges [first, first + count): here (score()), or in
// another process from payload() and recipes() (LevelWork). Every range
// leaves a summary; the summaries of ranges that tile the level make up
// exactly the tally of scoring it here in one pass (merge()). Each level
// has an id of its own, carried by its payload and summaries, so that the
// summaries of another search or level are told apart.
// Thread safety: the driving thread's only, as the search is; score() runs
// its own parallel passes.
class DispatchedLevel {
 public:
  DispatchedLevel(Search& search, const OpenLevel& level, LevelProgress& progress);
  DispatchedLevel(const DispatchedLevel&) = delete;
  DispatchedLevel& operator=(const DispatchedLevel&) = delete;

  std::size_t level() const;
  std::size_t candidate_count() const;

  // What a worker needs to score this level (LevelWork::decode).
  [[nodiscard]] std::string payload() const;
  // The recipes of candidates [first, first + count), for LevelWork::score.
  // Precondition: the range lies within candidate_count().
  [[nodiscard]] std::string recipes(std::size_t first, std::size_t count) const;
  // Scores that range here: the same summary bytes a LevelWork returns.
  // Precondition: the range lies within candidate_count().
  [[nodiscard]] std::string score(std::size_t first, std::size_t count) const;

  // The driver's stop checks (deadline, cancel check), to be asked while
  // the ranges are out; true: the search is stopped and the level is to be
  // given up. `done`, when given, is reported first (report()).
  [[nodiscard]] bool should_stop(std::optional<std::size_t> done = std::nullopt);
  // Reports `done` of the level's candidates scored so far, when that is
  // more than reported before: the progress line and on_progress (which
  // may stop the search).
  void report(std::size_t done);

  // The level's tally from the summaries of ranges that tile its
  // candidates exactly, in any order, merged in range order. InvalidInput
  // for summaries that are malformed, of another search or level, or that
  // do not tile the level.
  [[nodiscard]] Outcome<LevelTally> merge(std::span<const std::string> summaries) const;

 private:
  Search& search_;
  const OpenLevel& level_;
  LevelProgress& progress_;
  std::uint64_t id_;
  std::size_t reported_ = 0;  // candidates reported scored so far
};

// Where a search's levels are scored. The driver (run_search, with the
// dispatcher in its SearchControl) generates each level, hands every level
// of at least min_candidates() candidates to score_level and scores the
// smaller ones itself; it then merges the summaries, closes the level and
// reports it as it does a level scored here, so that the search finds
// exactly what it finds without a dispatcher. Levels the driver cannot cut
// into recipes (never in a real search) are scored here too.
class LevelDispatcher {
 public:
  explicit LevelDispatcher(std::size_t min_candidates) : min_candidates_(min_candidates) {}
  virtual ~LevelDispatcher() = default;

  std::size_t min_candidates() const { return min_candidates_; }

  // Has every candidate of `level` scored and returns the summaries of
  // ranges that tile it, in any order. nullopt gives the level up: when
  // should_stop() said so, or when the dispatcher failed (the search then
  // ends as cancelled, after the levels stored). Called on the driving
  // thread, once per level, with the level valid for this call only.
  [[nodiscard]] virtual std::optional<std::vector<std::string>> score_level(DispatchedLevel& level) = 0;

 protected:
  LevelDispatcher(const LevelDispatcher&) = default;
  LevelDispatcher& operator=(const LevelDispatcher&) = default;

 private:
  std::size_t min_candidates_;
};

}  // namespace vok
