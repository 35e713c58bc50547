// Beam selection: elite and diversity picks, and the pruned beam store.
#include "engine/select/beam.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <unordered_map>

namespace vok {

BeamQuota beam_quota(std::size_t beam_width) {
  const auto elite = static_cast<std::size_t>(static_cast<double>(beam_width) * 0.8);
  return {elite, beam_width - elite};
}

std::string operator_signature(const Expression& e) {
  std::string out;
  for (const Token& t : e.tokens) {
    if (t.kind != TokenKind::Apply) continue;
    if (!out.empty()) out += '-';
    out += std::to_string(t.op);
  }
  return out;
}

std::vector<Expression> select_beam(std::vector<ScoredCandidate> scored, std::size_t beam_width,
                                    std::size_t elite_count, std::size_t diversity_quota) {
  std::stable_sort(scored.begin(), scored.end(), [](const ScoredCandidate& a, const ScoredCandidate& b) {
    return score_less(a.second, b.second);
  });
  std::vector<Expression> beam;
  if (beam_width >= scored.size()) {
    beam.reserve(scored.size());
    for (auto& entry : scored) beam.push_back(std::move(entry.first));
    return beam;
  }

  const std::size_t elite = std::min(elite_count, scored.size());
  std::unordered_map<std::string, std::int32_t> counts;
  beam.reserve(elite + std::min(diversity_quota, scored.size() - elite));
  for (std::size_t i = 0; i < elite; ++i) {
    ++counts[operator_signature(scored[i].first)];
    beam.push_back(std::move(scored[i].first));
  }

  // Each rest entry's count is fixed for the whole sort: compute it once.
  struct Rest {
    std::int32_t count;
    double score;
    std::size_t index;
  };
  std::vector<Rest> rest;
  rest.reserve(scored.size() - elite);
  for (std::size_t i = elite; i < scored.size(); ++i) {
    const auto it = counts.find(operator_signature(scored[i].first));
    rest.push_back({it == counts.end() ? 0 : it->second, scored[i].second, i});
  }
  std::stable_sort(rest.begin(), rest.end(), [](const Rest& a, const Rest& b) {
    if (a.count != b.count) return a.count < b.count;
    return score_less(a.score, b.score);
  });
  const std::size_t picks = std::min(diversity_quota, rest.size());
  for (std::size_t i = 0; i < picks; ++i) beam.push_back(std::move(scored[rest[i].index].first));
  return beam;
}

namespace {

// (score, generation index) ascending, NaN scores last.
template <class E>
bool ranks_before(const E& a, const E& b) {
  if (score_less(a.score, b.score)) return true;
  if (score_less(b.score, a.score)) return false;
  return a.id < b.id;
}

}  // namespace

bool BeamStore::RanksBefore::operator()(const Record& a, const Record& b) const {
  return ranks_before(a, b);
}

bool BeamStore::behind_threshold(const Record& r) const {
  return top_.size() >= beam_width_ && ranks_before(*top_.rbegin(), r);
}

void BeamStore::forget(std::uint32_t slot) {
  Slot& s = slots_[slot];
  kept_ -= s.records.size();
  signature_ids_.erase(s.signature);
  s = Slot{};
  free_slots_.push_back(slot);
}

void BeamStore::sweep() {
  const auto worse = [](const Record& a, const Record& b) { return ranks_before(a, b); };
  for (const Record& best : top_) {
    std::vector<Record>& records = slots_[best.signature].records;
    while (!records.empty() && behind_threshold(records.front())) {
      std::pop_heap(records.begin(), records.end(), worse);
      records.pop_back();
      --kept_;
    }
  }
  sweep_at_ = 2 * kept_ + beam_width_;
}

void BeamStore::add(std::size_t id, Expression e, double score) {
  if (beam_width_ == 0 || behind_threshold(Record{score, id, 0})) {
    ++offered_;
    return;
  }
  std::string signature = operator_signature(e);
  add(id, std::move(signature), score, std::move(e));
}

bool BeamStore::Threshold::drops(double candidate_score) const {
  // A later candidate has the larger id: it ranks behind the threshold
  // unless its score is strictly less (NaN scores rank last).
  return set && !score_less(candidate_score, score);
}

BeamStore::Threshold BeamStore::threshold() const {
  if (beam_width_ == 0 || top_.size() < beam_width_) return {};
  return {true, top_.rbegin()->score, top_.rbegin()->id};
}

std::vector<BeamStore::Kept> BeamStore::kept_records() const {
  std::vector<Kept> out;
  out.reserve(kept_);
  for (const Record& best : top_) {
    for (const Record& r : slots_[best.signature].records) {
      if (!behind_threshold(r)) out.push_back({r.id, r.score, slots_[best.signature].signature, std::nullopt});
    }
  }
  std::sort(out.begin(), out.end(), [](const Kept& a, const Kept& b) { return a.id < b.id; });
  for (const Held& h : best_) {
    const auto it = std::lower_bound(out.begin(), out.end(), h.id,
                                     [](const Kept& k, std::size_t id) { return k.id < id; });
    if (it != out.end() && it->id == h.id) it->expression = h.expression;
  }
  return out;
}

void BeamStore::add(std::size_t id, std::string signature, double score, std::optional<Expression> e) {
  ++offered_;
  if (beam_width_ == 0) return;  // nothing is ever retained
  const auto worse = [](const auto& a, const auto& b) { return ranks_before(a, b); };
  if (behind_threshold(Record{score, id, 0})) return;

  auto it = signature_ids_.find(signature);
  if (it == signature_ids_.end()) {
    std::uint32_t slot = 0;
    if (free_slots_.empty()) {
      slot = static_cast<std::uint32_t>(slots_.size());
      slots_.emplace_back();
    } else {
      slot = free_slots_.back();
      free_slots_.pop_back();
    }
    slots_[slot].signature = signature;
    slots_[slot].best = Record{score, id, slot};
    it = signature_ids_.emplace(std::move(signature), slot).first;
    top_.insert(slots_[slot].best);
    if (top_.size() > beam_width_) {
      // The worst best drops behind the new threshold, and with it every
      // record of its signature. (Never the new one: it ranks before tau.)
      const std::uint32_t out = top_.rbegin()->signature;
      top_.erase(std::prev(top_.end()));
      forget(out);
    }
  }
  const std::uint32_t slot = it->second;
  Slot& s = slots_[slot];
  const Record record{score, id, slot};
  if (ranks_before(record, s.best)) {
    top_.erase(s.best);
    s.best = record;
    top_.insert(record);
  }
  std::vector<Record>& records = s.records;
  if (records.size() < beam_width_) {
    records.push_back(record);
    std::push_heap(records.begin(), records.end(), worse);
    ++kept_;
  } else if (ranks_before(record, records.front())) {
    std::pop_heap(records.begin(), records.end(), worse);
    records.back() = record;
    std::push_heap(records.begin(), records.end(), worse);
  } else {
    return;  // neither kept nor held: it can never be retained
  }
  if (kept_ > sweep_at_) sweep();
  if (!e) return;

  Held held{score, id, std::move(*e)};
  if (best_.size() < beam_width_) {
    best_.push_back(std::move(held));
    std::push_heap(best_.begin(), best_.end(), worse);
  } else if (ranks_before(held, best_.front())) {
    std::pop_heap(best_.begin(), best_.end(), worse);
    best_.back() = std::move(held);
    std::push_heap(best_.begin(), best_.end(), worse);
  }
}

std::vector<BeamStore::Pick> BeamStore::select(std::size_t elite_count, std::size_t diversity_quota) {
  std::vector<Record> sorted;
  sorted.reserve(kept_);
  for (const Record& best : top_) {
    for (const Record& r : slots_[best.signature].records) {
      if (!behind_threshold(r)) sorted.push_back(r);
    }
  }
  std::sort(sorted.begin(), sorted.end(), [](const Record& a, const Record& b) { return ranks_before(a, b); });
  std::sort(best_.begin(), best_.end(), [](const Held& a, const Held& b) { return a.id < b.id; });

  std::vector<Pick> beam;
  auto pick = [&](const Record& r) {
    const auto held = std::lower_bound(best_.begin(), best_.end(), r.id,
                                       [](const Held& h, std::size_t id) { return h.id < id; });
    if (held != best_.end() && held->id == r.id) {
      beam.push_back({r.id, std::move(held->expression)});
    } else {
      beam.push_back({r.id, std::nullopt});
    }
  };
  // The steps of select_beam, on records; the shortcut looks at the whole
  // level, not at what was kept of it.
  if (beam_width_ >= offered_) {
    for (const Record& r : sorted) pick(r);
  } else {
    const std::size_t elite = std::min(elite_count, sorted.size());
    std::vector<std::int32_t> counts(slots_.size(), 0);
    for (std::size_t i = 0; i < elite; ++i) {
      ++counts[sorted[i].signature];
      pick(sorted[i]);
    }
    std::vector<Record> rest(sorted.begin() + static_cast<std::ptrdiff_t>(elite), sorted.end());
    std::stable_sort(rest.begin(), rest.end(), [&](const Record& a, const Record& b) {
      if (counts[a.signature] != counts[b.signature]) return counts[a.signature] < counts[b.signature];
      return score_less(a.score, b.score);
    });
    const std::size_t picks = std::min(diversity_quota, rest.size());
    for (std::size_t i = 0; i < picks; ++i) pick(rest[i]);
  }
  signature_ids_.clear();
  slots_.clear();
  free_slots_.clear();
  top_.clear();
  best_.clear();
  kept_ = 0;
  sweep_at_ = 0;
  return beam;
}

}  // namespace vok
