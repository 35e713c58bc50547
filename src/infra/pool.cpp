// The worker pool of the parallel passes, and per-search thread limits.
#include "infra/pool.hpp"

namespace vok {

namespace {
thread_local tbb::task_arena* t_current = nullptr;
thread_local PassClock* t_clock = nullptr;
}  // namespace

tbb::task_arena& worker_arena() {
  // Created on the first search and deliberately never destroyed: tearing an
  // arena down during static destruction (e.g. at interpreter exit) races
  // with the TBB runtime's own shutdown.
  static tbb::task_arena* const arena = new tbb::task_arena(tbb::info::default_concurrency());
  return *arena;
}

std::size_t hardware_threads() { return static_cast<std::size_t>(tbb::info::default_concurrency()); }

tbb::task_arena& current_arena() { return t_current != nullptr ? *t_current : worker_arena(); }

ThreadLimit::ThreadLimit(std::size_t threads) : previous_(t_current) {
  if (threads == 0 || threads >= hardware_threads()) return;
  arena_ = std::make_unique<tbb::task_arena>(static_cast<int>(threads));
  t_current = arena_.get();
}

ThreadLimit::~ThreadLimit() { t_current = previous_; }

PassClock::PassClock() : previous_(t_clock) { t_clock = this; }

PassClock::~PassClock() { t_clock = previous_; }

void PassClock::add(Clock::duration d) {
  if (t_clock != nullptr) t_clock->spent_ += d;
}

std::optional<PassClock::Clock::time_point> PassClock::start() {
  if (t_clock == nullptr) return std::nullopt;
  return Clock::now();
}

}  // namespace vok
