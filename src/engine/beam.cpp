#include "engine/beam.hpp"

#include <algorithm>
#include <cstdint>
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

void BeamStore::add(std::size_t id, Expression e, double score) {
  ++offered_;
  if (beam_width_ == 0) return;  // nothing is ever retained
  const auto worse = [](const auto& a, const auto& b) { return ranks_before(a, b); };

  const auto [it, fresh] =
      signature_ids_.try_emplace(operator_signature(e), static_cast<std::uint32_t>(by_signature_.size()));
  if (fresh) by_signature_.emplace_back();
  std::vector<Record>& records = by_signature_[it->second];
  const Record record{score, id, it->second};
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

  Held held{score, id, std::move(e)};
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
  for (const auto& records : by_signature_) sorted.insert(sorted.end(), records.begin(), records.end());
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
    std::vector<std::int32_t> counts(by_signature_.size(), 0);
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
  by_signature_.clear();
  best_.clear();
  kept_ = 0;
  return beam;
}

}  // namespace vok
