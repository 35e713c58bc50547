#pragma once

// Search control: how a search reports its progress and when it stops before
// its last level. Engine-internal, beside SearchConfig: the settings decide
// what a search finds, the control only how it is watched and bounded, so a
// search that is not stopped finds the same formulas under any control.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace vok {

// Whether the start, progress and level lines go to standard output.
enum class ProgressOutput : std::uint8_t { Stdout, Silent };

// Why a search ended: every level up to max_complexity ran, a formula met
// the early-exit threshold, the deadline passed, or the caller cancelled
// (the cancel check, or a callback that asked to stop).
enum class StopReason : std::uint8_t { Completed, EarlyExit, TimeLimit, Cancelled };

// "completed", "early_exit", "time_limit", "cancelled".
std::string_view stop_reason_name(StopReason reason);

// After each level (level 1 included).
struct LevelEvent {
  std::size_t level = 0;
  std::size_t candidates = 0;  // the level's de-duplicated candidate list
  std::size_t retained = 0;    // kept for the next levels
  double elapsed_seconds = 0.0;  // since the search started
  double best_error = 0.0;       // lowest raw error on the front so far (inf when empty)
};

// During a level's scoring: `done` of `total` candidates scored.
struct ProgressTick {
  std::size_t level = 0;
  std::size_t done = 0;
  std::size_t total = 0;
};

// A plain value; the callables are called on the thread that runs the
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
};

// The checks a long pass runs between its chunks, on the driving thread:
// true means stop now.
using StopCheck = std::function<bool()>;

}  // namespace vok
