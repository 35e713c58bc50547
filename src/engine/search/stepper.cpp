// A search driven one level at a time by its caller, who has each level's candidates scored wherever it likes.
#include "engine/search/stepper.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <random>
#include <utility>

#include "engine/search/search_state.hpp"
#include "engine/wire/level_codec.hpp"
#include "infra/pool.hpp"

namespace vok {

namespace {

// A process-unique, run-unique id, so that summaries of another search (or
// another run of the program) are told apart from this one's.
std::uint64_t new_search_id() {
  static std::atomic<std::uint64_t> counter{0};
  static const std::uint64_t seed = std::random_device{}() ^
                                    (static_cast<std::uint64_t>(std::random_device{}()) << 32) ^
                                    static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
  return seed + 0x9e3779b97f4a7c15ULL * ++counter;
}

}  // namespace

SearchStepper::~SearchStepper() = default;

Outcome<std::unique_ptr<SearchStepper>> SearchStepper::start(Dataset data, const SearchConfig& config,
                                                             std::size_t threads) {
  std::unique_ptr<SearchStepper> st(new SearchStepper());
  st->config_ = config;
  st->config_.eval_path = EvalPath::Fast;  // workers score on the column path
  st->control_.output = ProgressOutput::Silent;
  st->threads_ = threads;
  st->id_ = new_search_id();
  const ThreadLimit limit(threads);
  auto started = start_search(std::move(data), st->config_, st->control_, nullptr);
  if (auto* error = std::get_if<SearchError>(&started)) return std::move(*error);
  st->search_ = std::move(std::get<std::unique_ptr<Search>>(started));
  return st;
}

std::optional<std::size_t> SearchStepper::open_next() {
  if (open_ || !search_) return std::nullopt;
  const ThreadLimit limit(threads_);
  while (const auto k = next_level(*search_)) {
    // A level of the whole-list kind never occurs in a real search (its
    // indices would not fit a recipe); such a search ends here.
    if (!recipes_fit(search_->levels, *k, *search_->registry)) {
      search_->levels.pop_back();
      return std::nullopt;
    }
    std::optional<OpenLevel> level = vok::open_level(*search_, *k);
    if (!level) return std::nullopt;
    open_ = std::make_unique<OpenLevel>(std::move(*level));
    return *k;
  }
  return std::nullopt;
}

std::size_t SearchStepper::open_level() const { return open_ ? open_->k : 0; }

std::size_t SearchStepper::candidate_count() const { return open_ ? open_->recipes.size() : 0; }

std::string SearchStepper::payload() const {
  if (!open_) return {};
  return encode_level_payload(id_, open_->k, config_, search_->samples, search_->levels);
}

std::string SearchStepper::recipes(std::size_t first, std::size_t count) const {
  if (!open_) return {};
  return open_->recipes.encode(first, count);
}

std::string SearchStepper::score(std::size_t first, std::size_t count) const {
  if (!open_) return {};
  const ThreadLimit limit(threads_);
  LevelTally tally(config_.beam_width);
  RangeOptions options;
  options.max_chunk = config_.candidate_chunk;
  score_range(
      open_->scorer,
      [&](std::size_t from, std::size_t n, std::vector<Recipe>& out) { open_->recipes.decode(from, n, out); }, first,
      count, tally, options);
  return encode_summary(id_, open_->k, first, count, tally);
}

Outcome<SearchStepper::LevelInfo> SearchStepper::absorb(std::span<const std::string_view> summaries) {
  if (!open_) return SearchError::invalid_input("No level is open.");
  std::vector<LevelSummary> parts;
  parts.reserve(summaries.size());
  for (const std::string_view bytes : summaries) {
    auto decoded = decode_summary(bytes, config_.beam_width);
    if (auto* error = std::get_if<SearchError>(&decoded)) return std::move(*error);
    LevelSummary& part = std::get<LevelSummary>(decoded);
    if (part.search_id != id_ || part.k != open_->k) {
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
  if (next != open_->recipes.size()) {
    return SearchError::invalid_input("The summaries do not tile the level's candidates.");
  }
  // Each part was folded in candidate order; merging them in range order
  // gives the tally of the whole level folded in order (LevelTally::merge).
  const ThreadLimit limit(threads_);
  LevelTally tally(config_.beam_width);
  for (LevelSummary& part : parts) tally.merge(std::move(part.tally));
  const std::size_t k = open_->k;
  const std::size_t total = open_->recipes.size();
  close_level(*search_, *open_, std::move(tally));
  open_.reset();
  LevelInfo info{k, total, search_->levels[k].size(), std::numeric_limits<double>::infinity()};
  search_->front->for_each([&](std::size_t, double error, const Expression&) {
    if (error < info.best_error) info.best_error = error;
  });
  return info;
}

void SearchStepper::stop(StopReason reason) {
  if (!search_) return;
  if (open_) {
    open_.reset();
    search_->levels.pop_back();
  }
  search_->halt(reason);
}

SearchRun SearchStepper::finish() {
  if (!search_) return {SearchError::invalid_input("The search has finished already."), StopReason::Completed, 0};
  if (open_) stop(StopReason::Cancelled);
  const ThreadLimit limit(threads_);
  SearchRun run = finish_search(*search_);
  search_.reset();
  return run;
}

}  // namespace vok
