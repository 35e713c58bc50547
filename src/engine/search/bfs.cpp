// The level-wise search driver: seeding, levels, stop checks, finalization.
#include "engine/search/bfs.hpp"

#include "engine/search/search_state.hpp"

#include <algorithm>
#include <chrono>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "engine/fitness/level_scoring.hpp"
#include "engine/fitness/scaling.hpp"
#include "engine/fitness/scoring.hpp"
#include "engine/generate/fingerprint_set.hpp"
#include "engine/generate/generation.hpp"
#include "engine/refine/optimizer.hpp"
#include "engine/refine/reference.hpp"
#include "engine/search/level_dispatch.hpp"
#include "engine/select/beam.hpp"
#include "engine/wire/checkpoint.hpp"
#include "infra/durable_file.hpp"
#include "infra/output.hpp"
#include "infra/pool.hpp"

namespace vok {

namespace {

constexpr std::size_t kFinalIterations = 30;

void admit_seed(Search& s, Expression leaf, std::vector<Expression>& level) {
  if (!admit_candidate(leaf, *s.registry, s.seen)) return;
  if (s.front_takes(leaf)) {
    score_and_update(leaf, s.samples, *s.front, s.config.alpha, s.config.l1_ratio);
    if (offers_rescalings(s.config)) offer_rescalings(leaf, s.samples, s.config, *s.front);
  }
  level.push_back(std::move(leaf));
}

// A named constant's leaf: its Constant token, the registry's name as text.
Expression named_leaf(const OperatorRegistry& registry, std::uint64_t id) {
  Expression e;
  e.tokens.push_back(Token::constant(id, *registry.operators()[id]->eval({})));
  e.formula = registry.meta()[id].name;
  e.complexity = 1;
  return e;
}

void seed_level_one(Search& s, std::size_t num_vars) {
  std::vector<Expression> level;
  const LeafConstants leaves = s.config.leaf_constants;
  if (leaves != LeafConstants::Named) admit_seed(s, param_leaf(), level);
  if (leaves != LeafConstants::Fitted) {
    for (const std::uint64_t id : s.registry->ids_by_arity(0)) admit_seed(s, named_leaf(*s.registry, id), level);
  }
  for (std::size_t i = 0; i < num_vars; ++i) admit_seed(s, var_leaf(static_cast<std::uint8_t>(i)), level);
  s.store_level(1, std::move(level));
  s.seeded = true;
  s.record(1, s.levels[1].size(), s.levels[1].size(), &s.levels[1]);
  s.level_done(1, s.levels[1].size());
}

// The survivors of a scoring pass, in input order.
std::vector<ScoredCandidate> survivors(std::vector<std::optional<ScoredCandidate>> results) {
  std::vector<ScoredCandidate> scored;
  for (auto& r : results) {
    if (r) scored.push_back(std::move(*r));
  }
  return scored;
}

// Each candidate, then its rescalings with output scaling, in list order:
// the order in which a level scored in chunks offers them.
void offer_to_front(Search& s, const std::vector<ScoredCandidate>& scored) {
  for (const auto& [e, score] : scored) {
    if (!s.front_takes(e)) continue;
    update_pareto(*s.front, e, unpenalised_error(score, e.complexity, s.config.complexity_penalty));
    if (offers_rescalings(s.config)) offer_rescalings(e, s.samples, s.config, *s.front);
  }
}

// Scores a candidate list in parallel, reporting progress before each
// candidate; the survivors come back in candidate-list order.
std::vector<ScoredCandidate> score_level(Search& s, std::size_t k, std::vector<Expression> candidates) {
  const std::size_t total = candidates.size();
  LevelProgress progress(k, total, s.prints());
  auto results = parallel_map<std::optional<ScoredCandidate>>(total, [&](std::size_t i) {
    progress.tick(1);
    return score_candidate(std::move(candidates[i]), s.samples, s.config);
  });
  progress.finish();
  s.progress(k, total, total);
  return survivors(std::move(results));
}

// How a level ended: stored, or stopped part way (and not stored).
enum class LevelEnd { Stored, Stopped };

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// The reference level: the whole candidate list is built, fingerprinted by
// evaluation, scored and selected at once.
LevelEnd run_level_whole(Search& s, std::size_t k, Clock::time_point level_clock) {
  const BeamQuota quota = beam_quota(s.config.beam_width);
  std::vector<Expression> candidates =
      generate_level(s.levels, k, *s.registry, s.seen, s.config.disabled_operators, s.unit_rules());
  if (s.should_stop()) return LevelEnd::Stopped;
  if (s.on_admitted) s.on_admitted();
  const Clock::time_point generated = Clock::now();
  const std::size_t candidate_count = candidates.size();
  std::optional<std::vector<Expression>> kept;
  if (s.trace != nullptr && s.trace->keep_expressions) kept = candidates;

  std::vector<ScoredCandidate> scored = score_level(s, k, std::move(candidates));
  const Clock::time_point scored_clock = Clock::now();
  offer_to_front(s, scored);
  if (s.config.ranking != Ranking::Raw) {
    parallel_each(scored.size(), [&](std::size_t i) { scored[i].second = s.rank_score(scored[i].first, scored[i].second); });
  }
  const std::size_t scored_count = scored.size();
  s.store_level(k, select_beam(std::move(scored), s.config.beam_width, quota.elite_count, quota.diversity_quota));
  s.say(format_level_line(k, Clock::now() - level_clock, s.levels[k].size()));
  s.record(k, candidate_count, scored_count, kept ? &*kept : nullptr);
  s.level_done(k, candidate_count,
               {seconds_between(level_clock, generated), seconds_between(generated, scored_clock),
                seconds_between(scored_clock, Clock::now())});
  if (s.exits_early()) s.halt(StopReason::EarlyExit);
  return LevelEnd::Stored;
}

// An open level scored here in bounded memory: one chunk at a time is
// built and scored on the workers while the driving thread folds the chunk
// before it into the level's tally, in candidate-list order, so every
// outcome equals run_level_whole's. Beyond the recipes (a byte or two per
// candidate) a level holds two chunks, the store's records of the
// candidates that can still be retained, and beam_width expressions. The
// search's stop checks run before each chunk. False when they ended the
// level part way (the tally then holds every chunk scored).
bool score_here(Search& s, const OpenLevel& open, LevelProgress& progress, LevelTally& tally,
                std::vector<Expression>* kept) {
  const RecipeList& recipes = open.recipes;
  const std::size_t total = recipes.size();
  RangeOptions options;
  options.max_chunk = s.config.candidate_chunk;
  // A watched search sizes its chunks by time, so that a stop is seen within
  // a fraction of a second however much a candidate costs on these rows; the
  // outcome is the same for any chunk size.
  options.timed = s.watched();
  options.progress = &progress;
  options.kept = kept;
  options.should_stop = [&s] { return s.should_stop(); };
  options.folded = [&](std::size_t done) { s.progress(open.k, done, total); };
  return score_range(
      open.scorer, [&](std::size_t first, std::size_t n, std::vector<Recipe>& out) { recipes.decode(first, n, out); },
      0, total, tally, options);
}

// An open level scored wherever `dispatcher` has its ranges scored, then
// closed: the summaries merged in range order give exactly the tally
// score_here gives. A level the dispatcher gave up is dropped, and the
// search stopped (as cancelled unless a stop check had fired). InvalidInput
// for summaries that do not make up the level.
Outcome<LevelEnd> dispatch_level(Search& s, const OpenLevel& open, LevelProgress& progress,
                                 LevelDispatcher& dispatcher) {
  DispatchedLevel level(s, open, progress);
  std::optional<std::vector<std::string>> summaries = dispatcher.score_level(level);
  const Clock::time_point scored = Clock::now();
  if (!summaries) {
    if (!s.should_stop()) s.halt(StopReason::Cancelled);
    return LevelEnd::Stopped;
  }
  Outcome<LevelTally> tally = level.merge(*summaries);
  if (auto* error = std::get_if<SearchError>(&tally)) return std::move(*error);
  level.report(open.recipes.size());
  // The trace keeps no candidate list of a level scored elsewhere.
  close_level(s, open, std::move(std::get<LevelTally>(tally)), scored);
  return LevelEnd::Stored;
}

// A level whose candidates fit recipes. Its candidate list is generated and
// admitted as recipes first (the progress line needs its length; the stop
// checks run between generation's chunks), then scored: by the search's
// dispatcher when it has one and the level is large enough for it, else
// here. A level stopped part way is not stored; one scored here has
// offered what it scored to the front.
Outcome<LevelEnd> run_level_chunked(Search& s, std::size_t k) {
  std::optional<OpenLevel> open = open_level(s, k);
  if (!open) return LevelEnd::Stopped;
  const std::size_t total = open->recipes.size();
  LevelProgress progress(k, total, s.prints());
  LevelDispatcher* dispatcher = s.control.dispatcher;
  if (dispatcher != nullptr && total >= dispatcher->min_candidates()) {
    Outcome<LevelEnd> end = dispatch_level(s, *open, progress, *dispatcher);
    progress.finish();
    return end;
  }
  std::vector<Expression> kept;
  const bool keep = s.trace != nullptr && s.trace->keep_expressions;
  LevelTally tally(s.config.beam_width);
  const bool complete = score_here(s, *open, progress, tally, keep ? &kept : nullptr);
  const Clock::time_point scored = Clock::now();
  progress.finish();
  if (!complete) {
    offer_tally(s, tally);
    return LevelEnd::Stopped;
  }
  close_level(s, *open, std::move(tally), scored, keep ? &kept : nullptr);
  return LevelEnd::Stored;
}

Outcome<LevelEnd> run_level(Search& s, std::size_t k) {
  const Clock::time_point level_clock = Clock::now();
  const PassClock passes;
  Outcome<LevelEnd> end = s.fast() && recipes_fit(s.levels, k, *s.registry) ? run_level_chunked(s, k)
                                                                            : run_level_whole(s, k, level_clock);
  const auto* how = std::get_if<LevelEnd>(&end);
  if (how != nullptr && *how == LevelEnd::Stored && s.trace != nullptr && !s.trace->levels.empty()) {
    SearchTrace::LevelReport& report = s.trace->levels.back();
    report.seconds = seconds_between(level_clock, Clock::now());
    report.driver_alone_seconds = std::max(0.0, report.seconds - passes.seconds());
  }
  return end;
}

std::string too_many_variables(std::size_t n) {
  return "Too many input variables: " + std::to_string(n) + " (at most " + std::to_string(kMaxVariables) +
         " are supported).";
}

}  // namespace

bool check_early_exit(const ParetoFront& front, bool exhaustive, double threshold, std::size_t max_complexity) {
  if (exhaustive) return false;
  bool fires = false;
  front.for_each([&](std::size_t complexity, double error, const Expression&) {
    if (complexity <= max_complexity && error <= threshold) fires = true;
  });
  return fires;
}

namespace {

// Finalization with `refine(e)` giving the refined copy and its error.
template <class Refine>
Outcome<std::vector<SearchResult>> finalize_with(FrontPtr front, RegistryPtr registry,
                                                 const SearchConfig& config, const Refine& refine) {
  std::vector<SearchResult> results;
  bool empty = true;
  front->for_each([&](std::size_t complexity, double stored_error, const Expression& stored) {
    // Rescalings kept beyond the limit for a later, larger search.
    if (complexity > config.max_complexity) return;
    empty = false;
    Expression e = stored;
    double error = stored_error;
    if (e.num_params != 0 && config.optimize_constants) {
      auto refined = refine(e);
      e = std::move(refined.first);
      error = refined.second;
    }
    const double best = results.empty() ? std::numeric_limits<double>::infinity() : results.back().error;
    if (best > error) results.push_back({std::move(e), error, registry});
  });
  front.reset();
  registry.reset();
  if (empty) return SearchError::no_formula_found(config.max_complexity);
  std::reverse(results.begin(), results.end());
  return results;
}

}  // namespace

namespace reference {

Outcome<std::vector<SearchResult>> finalize_result(FrontPtr front, RegistryPtr registry,
                                                   const SearchConfig& config, ComplexRows samples,
                                                   std::span<const double> targets) {
  const OperatorRegistry& ops = *registry;
  return finalize_with(std::move(front), std::move(registry), config, [&](const Expression& e) {
    return refine_constants(e, samples, targets, config.alpha, config.l1_ratio, ops, kFinalIterations, nullptr,
                            config.refine);
  });
}

}  // namespace reference

Outcome<std::vector<SearchResult>> finalize_result(FrontPtr front, RegistryPtr registry,
                                                   const SearchConfig& config, const SampleSet& samples) {
  return finalize_with(std::move(front), std::move(registry), config, [&](const Expression& e) {
    return refine_constants(e, samples, config.alpha, config.l1_ratio, kFinalIterations, nullptr, nullptr,
                            config.refine);
  });
}

namespace {

SearchError unequal_lengths() {
  return SearchError::invalid_input("Inputs and target vector must be non-empty and equal length.");
}

// A search with units needs the unit of every input column.
std::optional<SearchError> units_mismatch(const SearchConfig& config, std::size_t num_vars) {
  if (!config.units || config.units->inputs.size() == num_vars) return std::nullopt;
  return SearchError::invalid_input("Units are given for " + std::to_string(config.units->inputs.size()) +
                                    " input columns, but the inputs have " + std::to_string(num_vars) + ".");
}

// Seeds level 1 of a search on validated samples of `num_vars` variables.
std::unique_ptr<Search> seed_search(SampleSet samples, std::size_t num_vars, const SearchConfig& config,
                                    const SearchControl& control, SearchTrace* trace) {
  RegistryPtr registry = samples.registry_ptr();
  auto s = std::make_unique<Search>(config, control, std::move(registry), std::move(samples));
  s->trace = trace;
  // Without a first level there is nothing to search: finalization over the
  // empty front reports NoFormulaFound.
  if (config.max_complexity == 0) return s;
  // Slots are added level by level, so an absurd max_complexity costs
  // nothing up front.
  s->levels.resize(2);
  seed_level_one(*s, num_vars);
  if (s->exits_early()) {
    s->halt(StopReason::EarlyExit);
    return s;
  }
  s->say(format_start_line(s->levels[1].size()));
  return s;
}

RegistryPtr new_registry() { return std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins()); }

}  // namespace

namespace {

// Why a search cannot run on `data`, if it cannot.
std::optional<SearchError> dataset_error(const Dataset& data, const SearchConfig& config) {
  if (data.rows() == 0 || !data.has_targets()) return unequal_lengths();
  // Variable indices are 8 bits wide; wrapping them would alias columns.
  if (data.cols() > kMaxVariables) return SearchError::invalid_input(too_many_variables(data.cols()));
  return units_mismatch(config, data.cols());
}

}  // namespace

Outcome<std::unique_ptr<Search>> start_search(Dataset data, const SearchConfig& config, const SearchControl& control,
                                              SearchTrace* trace) {
  if (auto error = dataset_error(data, config)) return std::move(*error);
  const std::size_t num_vars = data.cols();
  return seed_search(SampleSet(std::move(data), new_registry(), config.eval_path), num_vars, config, control, trace);
}

Outcome<std::unique_ptr<Search>> start_search(std::span<const std::vector<double>> samples,
                                              std::span<const double> targets, const SearchConfig& config,
                                              const SearchControl& control, SearchTrace* trace) {
  if (samples.size() != targets.size() || samples.empty()) return unequal_lengths();
  const std::size_t num_vars = samples.front().size();
  if (num_vars > kMaxVariables) return SearchError::invalid_input(too_many_variables(num_vars));
  if (auto error = units_mismatch(config, num_vars)) return std::move(*error);
  if (std::optional<Dataset> data = Dataset::from_rows(samples, targets)) {
    return start_search(std::move(*data), config, control, trace);
  }
  // Rows of differing lengths: a variable beyond a row's end has no value
  // there, which only the per-sample path expresses.
  std::vector<ComplexRow> rows;
  rows.reserve(samples.size());
  for (const auto& row : samples) {
    ComplexRow r;
    r.reserve(row.size());
    for (double x : row) r.push_back({x, 0.0});
    rows.push_back(std::move(r));
  }
  SampleSet set(std::move(rows), std::vector<double>(targets.begin(), targets.end()), new_registry(),
                config.eval_path);
  return seed_search(std::move(set), num_vars, config, control, trace);
}

std::optional<std::size_t> next_level(Search& s) {
  if (!s.seeded || s.stopped) return std::nullopt;
  const std::size_t k = s.levels.size();
  // The last level was max_complexity (k - 1 == max also guards k + 1
  // against wrapping for SIZE_MAX).
  if (k - 1 >= s.config.max_complexity) return std::nullopt;
  if (s.should_stop()) return std::nullopt;
  s.levels.emplace_back();
  return k;
}

std::optional<OpenLevel> open_level(Search& s, std::size_t k) {
  const Clock::time_point clock = Clock::now();
  RecipeList recipes = generate_recipes(s.levels, s.probes, k, *s.registry, s.samples.kernels(), s.seen,
                                        kDefaultLeftChunk, [&s] { return s.should_stop(); },
                                        s.config.disabled_operators, s.unit_rules());
  if (s.should_stop()) return std::nullopt;
  if (s.on_admitted) s.on_admitted();
  LevelScreen screen;
  screen.rank = s.beam_threshold;
  s.front->for_each([&](std::size_t, double error, const Expression&) { screen.error = std::min(screen.error, error); });
  return OpenLevel{k, std::move(recipes), LevelScorer(s.levels, s.columns, s.samples, s.config, k, screen), clock,
                   Clock::now()};
}

void offer_tally(Search& s, const LevelTally& tally) {
  // The slots are of distinct complexities: the order between them does
  // not matter to the front.
  for (const std::optional<LevelTally::Best>& best : tally.bests()) {
    if (best) update_pareto(*s.front, best->expression, best->error);
  }
}

void close_level(Search& s, const OpenLevel& level, LevelTally tally, Clock::time_point scored,
                 const std::vector<Expression>* kept) {
  const std::size_t k = level.k;
  offer_tally(s, tally);
  // The picks whose expressions the tally no longer holds are built and
  // scored again; scoring is pure, so they come back exactly as they were.
  const BeamQuota quota = beam_quota(s.config.beam_width);
  const BeamStore::Threshold threshold = tally.store().threshold();
  s.beam_threshold = threshold.set ? threshold.score : std::numeric_limits<double>::infinity();
  std::vector<BeamStore::Pick> picks = tally.store().select(quota.elite_count, quota.diversity_quota);
  std::vector<std::size_t> missing;
  for (std::size_t i = 0; i < picks.size(); ++i) {
    if (!picks[i].expression) missing.push_back(i);
  }
  auto rescored = parallel_map<std::optional<LevelScorer::Scored>>(missing.size(), [&](std::size_t m) {
    return level.scorer.score(level.recipes[picks[missing[m]].id]);
  });
  for (std::size_t m = 0; m < missing.size(); ++m) {
    if (rescored[m]) picks[missing[m]].expression = std::move(rescored[m]->expression);
  }
  std::vector<Expression> retained;
  retained.reserve(picks.size());
  for (auto& p : picks) {
    if (p.expression) retained.push_back(std::move(*p.expression));
  }
  const std::size_t total = level.recipes.size();
  s.store_level(k, std::move(retained));
  s.say(format_level_line(k, Clock::now() - level.clock, s.levels[k].size()));
  s.record(k, total, tally.scored(), kept, tally.abandoned());
  s.level_done(k, total,
               {seconds_between(level.clock, level.opened), seconds_between(level.opened, scored),
                seconds_between(scored, Clock::now())});
  if (s.exits_early()) s.halt(StopReason::EarlyExit);
}

SearchRun finish_search(Search& s) {
  return {finalize_result(std::move(s.front), s.registry, s.config, s.samples), s.stop, s.last_level};
}

namespace {

// Stores a checkpointed search's state after each completed level: in its
// file (a failed write is counted and the search goes on) and, when asked,
// in memory. The file holds the settings, the levels and the front, and
// refers to a second file that takes the fingerprints a level admits as one
// more segment; that segment is written as soon as the level's candidates
// are admitted, while they are scored, so that all the driver waits for
// after a level is a file of the levels' size. Once a segment cannot be
// written, each store writes the whole set into the checkpoint itself.
// Writes run on a thread of their own, one at a time and in order (each
// ends before the next begins, and before the search returns), so the
// files replace each other in level order. Thread safety: the driving
// thread's, as the search is; the writer thread touches only the members
// marked as its own, which the driver reads after joining it.
class Checkpointer {
 public:
  Checkpointer(const CheckpointSettings& settings, DataDigest data) : settings_(settings), data_(std::move(data)) {}
  Checkpointer(const Checkpointer&) = delete;
  Checkpointer& operator=(const Checkpointer&) = delete;
  ~Checkpointer() { join(); }

  // A search continued from a stored state whose fingerprints are in
  // `seen_file` (none: the state held them itself).
  void resumed_at(std::size_t level, std::optional<SeenFile> seen_file) {
    saved_level_ = resumed_level_ = level;
    if (!seen_file) return;
    file_ = std::move(seen_file);
    // Past the segments listed lies nothing committed: it is written over.
    file_offset_ = file_->digest_count() * sizeof(FingerprintDigest);
  }

  // Before the first store: the set's journal starts, and a search whose
  // fingerprints are in no file of this checkpoint yet writes them all as
  // the first segment of a fresh one.
  void begin(Search& s) {
    if (!s.seeded) return;
    if (!settings_.path.empty() && !file_) {
      file_.emplace();
      file_->generation = fresh_generation();
      write_segment(s.seen.digests());
    }
    // The kept state leaves out what a level stopped part way admitted.
    if (!settings_.path.empty() || settings_.keep_state) s.seen.start_journal();
  }

  // A level's candidates are admitted: the fingerprints they added go to
  // the file while the level is scored.
  void admitted(Search& s) {
    join();
    if (in_file()) write_segment(s.seen.take_journal());
  }

  // Stores the state unless the last level stored is already there.
  void save(Search& s) {
    if (!s.seeded || s.last_level <= saved_level_) return;
    saved_level_ = s.last_level;
    double waited = join_segments();
    // What was admitted after the level's segment (nothing, as levels go).
    std::vector<FingerprintDigest> rest = s.seen.take_journal();
    if (in_file() && !rest.empty()) {
      write_segment(std::move(rest));
      waited += join_segments();
    }
    uncommitted_.clear();
    if (settings_.keep_state) {
      stored_.emplace();
      stored_->level = s.last_level;
      stored_->beam_threshold = s.beam_threshold;
      s.front->for_each([&](std::size_t, double error, const Expression& e) { stored_->front.push_back({error, e}); });
    }
    if (settings_.path.empty()) return;
    const Clock::time_point start = Clock::now();
    auto bytes = std::make_shared<std::string>(encode(s, in_file()));
    const double encode_seconds = seconds_between(start, Clock::now());
    writes_.push_back({s.last_level, bytes->size() + segment_bytes_, encode_seconds, segment_seconds_, waited});
    segment_bytes_ = 0;
    segment_seconds_ = 0.0;
    const std::size_t slot = writes_.size() - 1;
    const bool refers = in_file();
    start_writer([this, bytes, slot, refers] { write_state(*bytes, slot, refers); });
  }

  // With keep_state, once the search has ended: its state after the last
  // level this search stored, fingerprint set included, for the next fit.
  // The set is moved out of the search, less what a level stopped part way
  // admitted.
  void keep(Search& s) {
    if (!stored_) return;
    auto kept = std::make_shared<KeptSearch>();
    CheckpointState& state = kept->state;
    state.config = s.config;
    state.data = data_;
    state.last_level = stored_->level;
    state.levels.assign(s.levels.begin(), s.levels.begin() + static_cast<std::ptrdiff_t>(stored_->level) + 1);
    state.beam_threshold = stored_->beam_threshold;
    state.front = std::move(stored_->front);
    state.note = settings_.note;
    std::vector<FingerprintDigest> later = s.seen.take_journal();
    for (const auto& segment : uncommitted_) later.insert(later.end(), segment->begin(), segment->end());
    if (later.empty()) {
      kept->seen.swap(s.seen);
    } else {
      const auto less = [](const FingerprintDigest& a, const FingerprintDigest& b) {
        return a.lo < b.lo || (a.lo == b.lo && a.hi < b.hi);
      };
      std::sort(later.begin(), later.end(), less);
      std::vector<FingerprintDigest> digests = s.seen.digests();
      std::erase_if(digests, [&](const FingerprintDigest& d) {
        return std::binary_search(later.begin(), later.end(), d, less);
      });
      kept->seen.restore(digests);
    }
    stored_.reset();
    state_ = std::move(kept);
  }

  void report(SearchRun& run) {
    join();
    run.resumed_level = resumed_level_;
    run.checkpoint_failures = failures_;
    run.checkpoint_failure = first_failure_;
    run.state = std::move(state_);
    run.checkpoint_writes = std::move(writes_);
  }

 private:
  bool in_file() const { return !settings_.path.empty() && file_.has_value() && !segment_failed_; }

  std::string encode(const Search& s, bool refer) const {
    const SeenSection seen = refer ? SeenSection(&*file_) : SeenSection(&s.seen);
    return encode_checkpoint(s.config, data_, s.levels, s.last_level, s.beam_threshold, *s.front, seen, settings_.note);
  }

  // The generation a fresh fingerprint file takes: not the one the file at
  // the path refers to, which stays whole until a store replaces it.
  std::uint8_t fresh_generation() const {
    const ReadFile file = read_file(settings_.path);
    if (!file.bytes) return 0;
    const Outcome<CheckpointState> old = decode_checkpoint(*file.bytes);
    const auto* state = std::get_if<CheckpointState>(&old);
    return state != nullptr && state->seen_file ? static_cast<std::uint8_t>(1 - state->seen_file->generation) : 0;
  }

  void write_segment(std::vector<FingerprintDigest> digests) {
    join();
    const std::size_t offset = file_offset_;
    file_offset_ += digests.size() * sizeof(FingerprintDigest);
    segment_bytes_ += digests.size() * sizeof(FingerprintDigest);
    auto owned = std::make_shared<std::vector<FingerprintDigest>>(std::move(digests));
    uncommitted_.push_back(owned);
    start_writer([this, owned, offset] {
      const Clock::time_point start = Clock::now();
      const std::span<const FingerprintDigest> d(*owned);
      const std::string_view bytes(reinterpret_cast<const char*>(d.data()), d.size_bytes());
      if (std::optional<FileFailure> failure =
              write_file_at(seen_file_path(settings_.path, file_->generation), offset, bytes)) {
        fail(std::move(*failure));
        segment_failed_ = true;
      } else {
        written_.push_back({d.size(), digest_segment(d)});
      }
      segment_seconds_ += seconds_between(start, Clock::now());
    });
  }

  // Waits for the segments in flight and lists those written; the seconds
  // waited.
  double join_segments() {
    const Clock::time_point start = Clock::now();
    join(false);
    if (file_) {
      for (const SeenFile::Segment& segment : written_) file_->segments.push_back(segment);
    }
    written_.clear();
    return seconds_between(start, Clock::now());
  }

  void write_state(const std::string& bytes, std::size_t slot, bool refers) {
    const Clock::time_point start = Clock::now();
    if (std::optional<FileFailure> failure = replace_file(settings_.path, bytes)) {
      fail(std::move(*failure));
    } else if (refers && !other_removed_) {
      // The old checkpoint's fingerprints, if the file held one, are no
      // longer referred to.
      remove_file(seen_file_path(settings_.path, static_cast<std::uint8_t>(1 - file_->generation)));
      other_removed_ = true;
    }
    writes_[slot].write_seconds += seconds_between(start, Clock::now());
  }

  void fail(FileFailure failure) {
    if (failures_++ == 0) first_failure_ = std::move(failure.message);
  }

  template <class F>
  void start_writer(const F& task) {
    try {
      writer_ = std::thread(task);
    } catch (const std::system_error&) {
      // No thread to be had: the driver writes it.
      task();
    }
  }

  // Waits for the write in flight, if any; the wait counts against the
  // last store when `charge` says so.
  void join(bool charge = true) {
    if (!writer_.joinable()) return;
    const Clock::time_point start = Clock::now();
    writer_.join();
    if (charge && !writes_.empty()) writes_.back().wait_seconds += seconds_between(start, Clock::now());
  }

  const CheckpointSettings& settings_;
  DataDigest data_;
  std::size_t saved_level_ = 0;
  std::size_t resumed_level_ = 0;
  std::optional<SeenFile> file_;   // the segments stored so far
  std::size_t file_offset_ = 0;    // where the next segment goes
  std::size_t segment_bytes_ = 0;  // of the segments since the last store
  // The digests taken from the set since the last store.
  std::vector<std::shared_ptr<const std::vector<FingerprintDigest>>> uncommitted_;
  // With keep_state: what the last store had, beyond the levels.
  struct Stored {
    std::size_t level = 0;
    double beam_threshold = 0.0;
    std::vector<CheckpointState::FrontEntry> front;
  };
  std::optional<Stored> stored_;
  std::shared_ptr<const KeptSearch> state_;
  std::vector<CheckpointWrite> writes_;
  // The writer thread's own while it runs.
  std::size_t failures_ = 0;
  std::string first_failure_;
  bool segment_failed_ = false;
  bool other_removed_ = false;
  double segment_seconds_ = 0.0;
  std::vector<SeenFile::Segment> written_;
  std::thread writer_;
};

// The levels and the finalization of a started search, stored after each
// completed level when there is a checkpointer.
SearchRun run_started(Outcome<std::unique_ptr<Search>> started, Checkpointer* checkpointer = nullptr) {
  if (auto* error = std::get_if<SearchError>(&started)) return {std::move(*error)};
  Search& s = *std::get<std::unique_ptr<Search>>(started);
  const auto save = [&] {
    if (checkpointer != nullptr) checkpointer->save(s);
  };
  if (checkpointer != nullptr) {
    checkpointer->begin(s);
    s.on_admitted = [checkpointer, &s] { checkpointer->admitted(s); };
  }
  const auto ended = [&](SearchRun run) {
    if (checkpointer != nullptr) checkpointer->report(run);
    return run;
  };
  save();
  while (const auto k = next_level(s)) {
    Outcome<LevelEnd> end = run_level(s, *k);
    if (auto* error = std::get_if<SearchError>(&end)) {
      if (checkpointer != nullptr) checkpointer->keep(s);
      return ended({std::move(*error), StopReason::Cancelled, s.last_level});
    }
    if (std::get<LevelEnd>(end) == LevelEnd::Stopped) break;
    save();
  }
  if (checkpointer != nullptr) checkpointer->keep(s);
  return ended(finish_search(s));
}

// A search continued from a stored state: the levels stored again (with
// their probe values and sample columns, as when they were first stored),
// the fingerprint set (the state's digests, or a copy of `kept_seen`) and
// the front as they were after its last level.
// Precondition: the state's settings are the search's (max_complexity
// aside) and its data digest the data's.
Outcome<std::unique_ptr<Search>> resume_search(Dataset data, const SearchConfig& config,
                                               const SearchControl& control, SearchTrace* trace,
                                               CheckpointState state, const FingerprintSet* kept_seen) {
  if (auto error = dataset_error(data, config)) return std::move(*error);
  RegistryPtr registry = new_registry();
  auto s = std::make_unique<Search>(config, control, registry, SampleSet(std::move(data), registry, config.eval_path));
  s->trace = trace;
  s->levels.resize(state.last_level + 1);
  for (std::size_t i = 1; i <= state.last_level; ++i) s->store_level(i, std::move(state.levels[i]));
  if (kept_seen != nullptr) {
    s->seen.copy_from(*kept_seen);
  } else {
    s->seen.restore(state.seen);
  }
  s->beam_threshold = state.beam_threshold;
  for (const CheckpointState::FrontEntry& entry : state.front) update_pareto(*s->front, entry.expression, entry.error);
  s->seeded = true;
  s->last_level = state.last_level;
  // A search that had met the early-exit threshold ends here, as it did.
  if (s->exits_early()) s->halt(StopReason::EarlyExit);
  return s;
}

// What a refusal names: the file, or the state the caller kept in memory.
SearchError checkpoint_error(const CheckpointSettings& settings, const std::string& text) {
  const std::string where = settings.path.empty() || settings.resume_state != nullptr
                                ? "The search kept by the previous fit"
                                : "Checkpoint '" + settings.path + "'";
  return SearchError::invalid_input(where + ": " + text);
}

// A stored state to continue: as read from a file, or a kept search's
// (whose set the resumed search copies).
struct StoredState {
  CheckpointState state;
  const FingerprintSet* kept_seen = nullptr;
};

// The stored state to continue, if any: none, or the state, or why the
// search is refused.
std::variant<std::monostate, StoredState, SearchError> stored_state(const CheckpointSettings& settings,
                                                                    const SearchConfig& config,
                                                                    const DataDigest& data) {
  if (settings.resume == ResumePolicy::Never) return std::monostate{};
  StoredState stored;
  if (settings.resume_state != nullptr) {
    stored.state = settings.resume_state->state;
    stored.kept_seen = &settings.resume_state->seen;
  } else {
    if (settings.path.empty()) {
      if (settings.resume == ResumePolicy::Always) {
        return checkpoint_error(settings, "there is no stored search to resume (resume='always')");
      }
      return std::monostate{};
    }
    ReadFile file = read_file(settings.path);
    if (!file.bytes) {
      if (!file.missing) return checkpoint_error(settings, file.failure);
      if (settings.resume == ResumePolicy::Always) {
        return checkpoint_error(settings, "there is no checkpoint to resume (resume='always')");
      }
      return std::monostate{};
    }
    // Even an empty file is one to check: it is no checkpoint.
    Outcome<CheckpointState> decoded = decode_checkpoint(*file.bytes);
    if (auto* error = std::get_if<SearchError>(&decoded)) return checkpoint_error(settings, error->message);
    stored.state = std::move(std::get<CheckpointState>(decoded));
  }
  CheckpointState& state = stored.state;
  const std::vector<std::string> differ = checkpoint_mismatches(state, config, data, settings.warm_start);
  if (!differ.empty()) {
    std::string names;
    for (std::size_t i = 0; i < differ.size(); ++i) names += (i == 0 ? "" : ", ") + differ[i];
    return checkpoint_error(settings, "it was written by a search with other " + names +
                                          "; refit with the same data and settings to resume it, or with "
                                          "resume='never' to start afresh over it");
  }
  if (state.last_level > config.max_complexity) {
    return checkpoint_error(settings, "its search reached level " + std::to_string(state.last_level) +
                                          ", beyond max_complexity=" + std::to_string(config.max_complexity));
  }
  if (state.seen_file) {
    Outcome<std::vector<FingerprintDigest>> seen = read_seen_file(settings.path, *state.seen_file);
    if (auto* error = std::get_if<SearchError>(&seen)) return checkpoint_error(settings, error->message);
    state.seen = std::move(std::get<std::vector<FingerprintDigest>>(seen));
  }
  return stored;
}

// A search with a checkpoint: the file locked for the whole search, the
// stored state continued or a fresh search started, the state stored after
// each level.
SearchRun run_checkpointed(Dataset data, const SearchConfig& config, const SearchControl& control,
                           SearchTrace* trace) {
  const CheckpointSettings& settings = *control.checkpoint;
  if (config.eval_path != EvalPath::Fast) {
    return {SearchError::invalid_input("Checkpoints are written on the column evaluation path only.")};
  }
  FileLock lock;
  if (!settings.path.empty()) {
    FileLock::Attempt attempt = FileLock::take(settings.path);
    if (!attempt.lock.held()) {
      return {SearchError::invalid_input("Checkpoint '" + settings.path + "': " + attempt.failure)};
    }
    lock = std::move(attempt.lock);
  }
  // Data that no search takes is refused by start_search, before any state.
  if (dataset_error(data, config)) return run_started(start_search(std::move(data), config, control, trace));
  // The weights the data carries are part of it.
  DataDigest digest = digest_data(
      data, data.weights().empty() ? std::nullopt : std::optional<std::span<const double>>(data.weights()));
  auto stored = stored_state(settings, config, digest);
  if (auto* error = std::get_if<SearchError>(&stored)) return {std::move(*error)};
  Checkpointer checkpointer(settings, std::move(digest));
  if (auto* found = std::get_if<StoredState>(&stored)) {
    const std::size_t level = found->state.last_level;
    std::optional<SeenFile> seen_file = found->state.seen_file;
    Outcome<std::unique_ptr<Search>> resumed =
        resume_search(std::move(data), config, control, trace, std::move(found->state), found->kept_seen);
    if (std::holds_alternative<std::unique_ptr<Search>>(resumed)) checkpointer.resumed_at(level, std::move(seen_file));
    return run_started(std::move(resumed), &checkpointer);
  }
  return run_started(start_search(std::move(data), config, control, trace), &checkpointer);
}

}  // namespace

SearchRun run_search(Dataset data, const SearchConfig& config, const SearchControl& control, SearchTrace* trace) {
  const ThreadLimit thread_limit(control.threads);
  if (control.checkpoint) return run_checkpointed(std::move(data), config, control, trace);
  return run_started(start_search(std::move(data), config, control, trace));
}

SearchRun run_search(std::span<const std::vector<double>> samples, std::span<const double> targets,
                     const SearchConfig& config, const SearchControl& control, SearchTrace* trace) {
  const ThreadLimit thread_limit(control.threads);
  if (control.checkpoint) {
    // A checkpoint's digest is of a table.
    std::optional<Dataset> data = samples.size() == targets.size() ? Dataset::from_rows(samples, targets) : std::nullopt;
    if (!data) return {SearchError::invalid_input("A checkpointed search needs rows of one length, one target each.")};
    return run_checkpointed(std::move(*data), config, control, trace);
  }
  return run_started(start_search(samples, targets, config, control, trace));
}

Outcome<std::vector<SearchResult>> run_bfs(std::span<const std::vector<double>> samples,
                                           std::span<const double> targets,
                                           const SearchConfig& config, SearchTrace* trace) {
  return run_search(samples, targets, config, SearchControl{}, trace).results;
}

}  // namespace vok
