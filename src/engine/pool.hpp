#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

namespace vok {

// The process-wide worker pool: one arena sized to the hardware threads,
// created on first use and shared by every search. Thread-safe.
tbb::task_arena& worker_arena();

// Fork-join map over 0..n-1 on the worker pool; out[i] = f(i), whatever the
// order of execution. The caller blocks until every index is done. R must be
// default-constructible; f must be safe to call concurrently.
template <class R, class F>
std::vector<R> parallel_map(std::size_t n, F&& f) {
  std::vector<R> out(n);
  if (n == 0) return out;
  worker_arena().execute([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& r) {
      for (std::size_t i = r.begin(); i != r.end(); ++i) out[i] = f(i);
    });
  });
  return out;
}

// Fork-join loop over 0..n-1 on the worker pool; f(i) writes its own output.
template <class F>
void parallel_each(std::size_t n, F&& f) {
  if (n == 0) return;
  worker_arena().execute([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& r) {
      for (std::size_t i = r.begin(); i != r.end(); ++i) f(i);
    });
  });
}

}  // namespace vok
