// Scoring a search's levels elsewhere: the opened level the driver hands over, and the merge of what comes back.
#include "engine/search/level_dispatch.hpp"

#include <algorithm>
#include <atomic>
#include <random>
#include <utility>

#include "engine/search/search_state.hpp"
#include "engine/wire/level_codec.hpp"
#include "infra/output.hpp"

namespace vok {

namespace {

// A process-unique, run-unique id, so that summaries of another level,
// search or run of the program are told apart from this level's.
std::uint64_t new_level_id() {
  static std::atomic<std::uint64_t> counter{0};
  static const std::uint64_t seed = std::random_device{}() ^
                                    (static_cast<std::uint64_t>(std::random_device{}()) << 32) ^
                                    static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
  return seed + 0x9e3779b97f4a7c15ULL * ++counter;
}

}  // namespace

DispatchedLevel::DispatchedLevel(Search& search, const OpenLevel& level, LevelProgress& progress)
    : search_(search), level_(level), progress_(progress), id_(new_level_id()) {}

std::size_t DispatchedLevel::level() const { return level_.k; }

std::size_t DispatchedLevel::candidate_count() const { return level_.recipes.size(); }

std::string DispatchedLevel::payload() const {
  return encode_level_payload(id_, level_.k, search_.config, search_.samples, search_.levels, level_.scorer.screen());
}

std::string DispatchedLevel::recipes(std::size_t first, std::size_t count) const {
  return level_.recipes.encode(first, count);
}

std::string DispatchedLevel::score(std::size_t first, std::size_t count) const {
  LevelTally tally(search_.config.beam_width);
  RangeOptions options;
  options.max_chunk = search_.config.candidate_chunk;
  score_range(
      level_.scorer,
      [&](std::size_t from, std::size_t n, std::vector<Recipe>& out) { level_.recipes.decode(from, n, out); }, first,
      count, tally, options);
  return encode_summary(id_, level_.k, first, count, tally);
}

void DispatchedLevel::report(std::size_t done) {
  const std::size_t total = candidate_count();
  done = std::min(done, total);
  if (done <= reported_ || search_.stopped) return;
  progress_.tick(done - reported_);
  reported_ = done;
  search_.progress(level_.k, done, total);
}

bool DispatchedLevel::should_stop(std::optional<std::size_t> done) {
  if (done) report(*done);
  return search_.should_stop();
}

Outcome<LevelTally> DispatchedLevel::merge(std::span<const std::string> summaries) const {
  const std::size_t beam_width = search_.config.beam_width;
  std::vector<LevelSummary> parts;
  parts.reserve(summaries.size());
  for (const std::string& bytes : summaries) {
    auto decoded = decode_summary(bytes, beam_width);
    if (auto* error = std::get_if<SearchError>(&decoded)) return std::move(*error);
    LevelSummary& part = std::get<LevelSummary>(decoded);
    if (part.search_id != id_ || part.k != level_.k) {
      return SearchError::invalid_input("A summary belongs to another search or level.");
    }
    parts.push_back(std::move(part));
  }
  std::sort(parts.begin(), parts.end(), [](const LevelSummary& a, const LevelSummary& b) { return a.first < b.first; });
  std::size_t next = 0;
  for (const LevelSummary& part : parts) {
    if (part.first != next) return SearchError::invalid_input("The summaries do not tile the level's candidates.");
    next += part.count;
  }
  if (next != candidate_count()) {
    return SearchError::invalid_input("The summaries do not tile the level's candidates.");
  }
  // Each part was folded in candidate order; merging them in range order
  // gives the tally of the whole level folded in order (LevelTally::merge).
  LevelTally tally(beam_width);
  for (LevelSummary& part : parts) tally.merge(std::move(part.tally));
  return tally;
}

}  // namespace vok
