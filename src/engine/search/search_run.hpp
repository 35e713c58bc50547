#pragma once

// What a search gives back: the run's outcome, its trace, and the early-exit test.

#include <cstddef>
#include <string>
#include <vector>

#include "config/search_control.hpp"
#include "core/expression.hpp"
#include "core/search_error.hpp"
#include "engine/select/pareto.hpp"
#include "result/search_result.hpp"

namespace vok {

// What one search did, for benchmarks and tests; filled by run_bfs when a
// trace is passed. Level 1 is reported like the others (candidates = seeds).
struct SearchTrace {
  struct LevelReport {
    std::size_t k = 0;
    std::size_t candidates = 0;  // the level's de-duplicated candidate list
    std::size_t scored = 0;      // survivors of scoring
    // Candidates whose scoring stopped part way, once it was certain that
    // they could change nothing; they may or may not have survived.
    std::size_t abandoned = 0;
    std::size_t retained = 0;    // after beam selection
    // Wall time of the level, and the part of it during which the driving
    // thread worked alone (outside every parallel pass).
    double seconds = 0.0;
    double driver_alone_seconds = 0.0;
  };
  bool keep_expressions = false;              // also copy the lists below
  std::vector<LevelReport> levels;
  std::vector<std::vector<Expression>> candidate_lists;  // slot k, when kept
  std::vector<std::vector<Expression>> retained;         // slot k, when kept
};

// True when some front entry of at most `max_complexity` tokens has a raw
// error at or below `threshold` (never for NaN); always false when
// `exhaustive` is set.
bool check_early_exit(const ParetoFront& front, bool exhaustive, double threshold,
                      std::size_t max_complexity = ~std::size_t{0});

// A search's results with why it ended and the last level it stored whole
// (0 when it ended before level 1 was stored). A stopped search's results
// are those of its front as it stood ("anytime"): finalized like any other.
// One store of a checkpointed search's state: after which level, its size,
// the seconds the driver spent encoding it, the seconds writing it out
// took (on a thread of its own, while the next level ran; 0 when the state
// was only kept in memory) and the seconds the driver waited for that
// write to end (before the next store, or at the search's end).
struct CheckpointWrite {
  std::size_t level = 0;
  std::size_t bytes = 0;
  double encode_seconds = 0.0;
  double write_seconds = 0.0;
  double wait_seconds = 0.0;
};

// With a checkpoint: the level it was continued from (0: a fresh search),
// the writes of the file that failed (the search went on without them,
// keeping the file it had) and what the first failure said, every store,
// and with keep_state the state after its last completed level.
struct SearchRun {
  Outcome<std::vector<SearchResult>> results;
  StopReason stop = StopReason::Completed;
  std::size_t last_level = 0;
  std::size_t resumed_level = 0;
  std::size_t checkpoint_failures = 0;
  std::string checkpoint_failure = {};
  std::shared_ptr<const KeptSearch> state = {};
  std::vector<CheckpointWrite> checkpoint_writes = {};
};

}  // namespace vok
