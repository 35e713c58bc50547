#pragma once

// Search control: how a search reports its progress and when it stops before
// its last level. Engine-internal, beside SearchConfig: the settings decide
// what a search finds, the control only how it is watched and bounded, so a
// search that is not stopped finds the same formulas under any control.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/expression.hpp"

namespace vok {

class LevelDispatcher;
struct KeptSearch;

// Whether the start, progress and level lines go to standard output.
enum class ProgressOutput : std::uint8_t { Stdout, Silent };

// Why a search ended: every level up to max_complexity ran, a formula met
// the early-exit threshold, the deadline passed, or the caller cancelled
// (the cancel check, or a callback that asked to stop).
enum class StopReason : std::uint8_t { Completed, EarlyExit, TimeLimit, Cancelled };

// "completed", "early_exit", "time_limit", "cancelled".
std::string_view stop_reason_name(StopReason reason);

// Where a level's wall time went (all 0 for level 1, which is seeded).
struct LevelTimes {
  double generate_seconds = 0.0;  // generating and admitting its candidates
  double score_seconds = 0.0;     // scoring them, here or wherever a dispatcher had them scored
  double close_seconds = 0.0;     // merging the scored ranges, selecting and storing the beam
};

// After each level (level 1 included).
struct LevelEvent {
  std::size_t level = 0;
  std::size_t candidates = 0;  // the level's de-duplicated candidate list
  std::size_t retained = 0;    // kept for the next levels
  double elapsed_seconds = 0.0;  // since the search started
  double best_error = 0.0;       // lowest raw error on the front so far (inf when empty)
  LevelTimes times;
  // The front up to max_complexity after the level, simplest first.
  struct FrontItem {
    double error = 0.0;
    Expression expression;
  };
  std::vector<FrontItem> front;
};

// During a level's scoring: `done` of `total` candidates scored.
struct ProgressTick {
  std::size_t level = 0;
  std::size_t done = 0;
  std::size_t total = 0;
};

// Whether a search given a checkpoint continues the search stored there.
// Auto: when there is one, and only when its data and settings are this
// search's (else the search is refused, saying what differs); none: a
// fresh search. Never: a fresh search, whatever is stored. Always: there
// must be one to continue, with matching data and settings.
enum class ResumePolicy : std::uint8_t { Auto, Never, Always };

// A search that stores its state after every completed level, so that it
// can be continued exactly (engine/wire/checkpoint.hpp): in a file, in the
// caller's memory (SearchRun::state), or both. A plain value; the views
// stay the caller's for the search.
struct CheckpointSettings {
  // The file, replaced atomically after each level and locked against
  // other processes for the whole search; empty: none.
  std::string path;
  ResumePolicy resume = ResumePolicy::Auto;
  // A state kept by an earlier search to continue instead of the file's
  // (null: the file's).
  std::shared_ptr<const KeptSearch> resume_state;
  // A stored search to another max_complexity may be continued: to a
  // larger one its levels go on, as a single search to it would.
  bool warm_start = false;
  // Also return the state after the last completed level in
  // SearchRun::state.
  bool keep_state = false;
  // The caller's own bytes, stored as they are beside the state.
  std::string note;
};

// A plain value (the dispatcher it points to stays the caller's); the
// callables and the dispatcher are called on the thread that runs the
// search, never on a worker, between parallel passes. A callback or check
// that returns false / true respectively stops the search there, which then
// finalizes the front it has. Callables must not throw.
struct SearchControl {
  using Clock = std::chrono::steady_clock;

  ProgressOutput output = ProgressOutput::Stdout;
  std::function<bool(const LevelEvent&)> on_level;      // false: stop (Cancelled)
  std::function<bool(const ProgressTick&)> on_progress;  // false: stop (Cancelled)
  std::optional<Clock::time_point> deadline;              // passed: stop (TimeLimit)
  std::function<bool()> cancel_requested;                 // true: stop (Cancelled)
  // Worker threads of this search; 0 means every hardware thread.
  std::size_t threads = 0;
  // Not owned. When set, each level of at least its min_candidates() is
  // handed to it to be scored elsewhere (engine/search/level_dispatch.hpp);
  // the outcome is the same as scoring here.
  LevelDispatcher* dispatcher = nullptr;
  // When set, the search stores its state after each completed level and
  // may continue a stored one. Only on the column path (EvalPath::Fast).
  std::optional<CheckpointSettings> checkpoint;
};

// The checks a long pass runs between its chunks, on the driving thread:
// true means stop now.
using StopCheck = std::function<bool()>;

}  // namespace vok
