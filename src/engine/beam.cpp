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

}  // namespace vok
