#pragma once

// What a search prints while it runs, and the progress counter.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vok {

// Writes `text` to the process's standard output as one locked write and
// flushes it, so lines from concurrent prints never interleave and a Python
// caller sees them in order. Thread-safe.
void print_locked(std::string_view text);

// Duration as the largest unit (s, ms, µs, ns) in which it is at least 1:
// whole units, then the remainder as decimals without trailing zeros.
// 2s, 1.5s, 12.034ms, 250µs, 800ns.
std::string format_duration(std::chrono::nanoseconds d);

std::string format_start_line(std::size_t seeds);
std::string format_level_line(std::size_t k, std::chrono::nanoseconds elapsed, std::size_t retained);
// The self-overwriting progress text for percentage p (>= 1) after n of
// `total` candidates, `seconds` after the progress clock; no line end.
std::string format_progress_line(std::size_t k, std::size_t p, std::size_t n, std::size_t total,
                                 double seconds);

// Progress of one scoring pass: decides which task prints which percentage.
// Thread-safe: every member is an atomic and tick() may run on all workers.
class ProgressMeter {
 public:
  explicit ProgressMeter(std::size_t total) : total_(total) {}

  // Counts `count` more candidates entering scoring. Returns (n, p) when
  // this call claimed a new percentage p and must print it; at most one call
  // per percentage point claims it.
  struct Claim {
    std::size_t n;
    std::size_t p;
  };
  [[nodiscard]] std::optional<Claim> tick(std::size_t count = 1);

  std::size_t total() const { return total_; }

 private:
  std::size_t total_;
  std::atomic<std::size_t> scored_{0};
  std::atomic<std::size_t> last_printed_{0};
};

// The progress line of one level's scoring, over all of its chunks, on
// standard output when `prints`. Thread-safe: tick() runs on the workers,
// once per batch of candidates, so that the shared counter is touched a few
// times per task rather than once per candidate.
class LevelProgress {
 public:
  LevelProgress(std::size_t k, std::size_t total, bool prints);

  // Reports `count` more candidates entering scoring.
  void tick(std::size_t count);
  // Ends the progress line, if there was one.
  void finish() const;

 private:
  std::size_t k_;
  ProgressMeter meter_;
  std::chrono::steady_clock::time_point clock_;
  bool prints_;
  std::mutex shown_mutex_;
  std::size_t shown_ = 0;
};

}  // namespace vok
