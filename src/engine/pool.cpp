#include "engine/pool.hpp"

namespace vok {

tbb::task_arena& worker_arena() {
  // Created on the first search and deliberately never destroyed: tearing an
  // arena down during static destruction (e.g. at interpreter exit) races
  // with the TBB runtime's own shutdown.
  static tbb::task_arena* const arena = new tbb::task_arena(tbb::info::default_concurrency());
  return *arena;
}

}  // namespace vok
