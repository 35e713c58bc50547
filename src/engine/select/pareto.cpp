// The per-complexity best-candidate store.
#include "engine/select/pareto.hpp"

namespace vok {

void ParetoFront::offer(const Expression& e, double error) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(e.complexity);
  if (it == entries_.end()) {
    entries_.emplace(e.complexity, Entry{error, e});
    return;
  }
  // `!(stored > offered)` also keeps the entry when either side is NaN.
  if (!(it->second.error > error)) return;
  it->second = Entry{error, e};
}

std::size_t ParetoFront::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

void update_pareto(ParetoFront& front, const Expression& e, double error) { front.offer(e, error); }

}  // namespace vok
