#pragma once

// The worker pool and the parallel loops of the search passes.

#include <chrono>
#include <cstddef>
#include <optional>
#include <memory>
#include <utility>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

namespace vok {

namespace detail {

// ThreadSanitizer cannot see the hand-offs inside Debian's uninstrumented
// TBB, so under it each pass states its fork and join edges explicitly: the
// driver's writes before a pass happen before every task, and every task
// happens before the driver's code after it. Tasks get no edge to each other,
// so a race between two tasks of a pass is still reported.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
struct ForkJoinEdges {
  char fork = 0;
  char join = 0;
  ForkJoinEdges() { __tsan_release(&fork); }
  void task_begins() { __tsan_acquire(&fork); }
  void task_ends() { __tsan_release(&join); }
  ~ForkJoinEdges() { __tsan_acquire(&join); }
};
#else
struct ForkJoinEdges {
  void task_begins() {}
  void task_ends() {}
};
#endif

}  // namespace detail

// The process-wide worker pool: one arena sized to the hardware threads,
// created on first use and shared by every search. Thread-safe.
tbb::task_arena& worker_arena();

// The number of hardware threads the shared pool uses.
std::size_t hardware_threads();

// The arena the parallel passes of the calling thread run in: the one a
// live ThreadLimit of this thread set up, else worker_arena().
tbb::task_arena& current_arena();

// Limits the parallel passes started from this thread to `threads` worker
// threads while it lives (0, or the hardware count: the shared pool), so
// that several searches can share a machine without oversubscribing it.
// Scoped to one thread; not copyable.
class ThreadLimit {
 public:
  explicit ThreadLimit(std::size_t threads);
  ~ThreadLimit();
  ThreadLimit(const ThreadLimit&) = delete;
  ThreadLimit& operator=(const ThreadLimit&) = delete;

 private:
  std::unique_ptr<tbb::task_arena> arena_;
  tbb::task_arena* previous_ = nullptr;
};

// Adds up the wall time of the parallel passes started from the thread it
// lives on (nested clocks: the innermost), so that a caller can tell how
// much of its own time ran on that thread alone. Scoped to one thread.
class PassClock {
 public:
  using Clock = std::chrono::steady_clock;
  PassClock();
  ~PassClock();
  PassClock(const PassClock&) = delete;
  PassClock& operator=(const PassClock&) = delete;
  double seconds() const { return std::chrono::duration<double>(spent_).count(); }
  // Counts `d` as parallel time on this thread's clock, if it has one.
  static void add(Clock::duration d);
  // A pass's start, for add(); nullopt when no clock lives on this thread.
  static std::optional<Clock::time_point> start();

 private:
  Clock::duration spent_{};
  PassClock* previous_ = nullptr;
};

namespace detail {
// Times one pass on the calling thread's PassClock, if any.
struct PassTimer {
  std::optional<PassClock::Clock::time_point> started = PassClock::start();
  ~PassTimer() {
    if (started) PassClock::add(PassClock::Clock::now() - *started);
  }
};
}  // namespace detail

// Fork-join map over 0..n-1 on the worker pool; out[i] = f(i), whatever the
// order of execution. The caller blocks until every index is done. R must be
// default-constructible; f must be safe to call concurrently.
template <class R, class F>
std::vector<R> parallel_map(std::size_t n, F&& f) {
  std::vector<R> out(n);
  if (n == 0) return out;
  {
    const detail::PassTimer timer;
    detail::ForkJoinEdges edges;
    current_arena().execute([&] {
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& r) {
        edges.task_begins();
        for (std::size_t i = r.begin(); i != r.end(); ++i) out[i] = f(i);
        edges.task_ends();
      });
    });
  }
  return out;
}

// Fork-join loop over 0..n-1 on the worker pool; f(i) writes its own output.
template <class F>
void parallel_each(std::size_t n, F&& f) {
  if (n == 0) return;
  const detail::PassTimer timer;
  detail::ForkJoinEdges edges;
  current_arena().execute([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& r) {
      edges.task_begins();
      for (std::size_t i = r.begin(); i != r.end(); ++i) f(i);
      edges.task_ends();
    });
  });
}

}  // namespace vok
