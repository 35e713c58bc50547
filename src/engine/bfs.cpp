// The level-wise search driver: seeding, levels, stop checks, finalization.
#include "engine/bfs.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include "engine/beam.hpp"
#include "engine/fingerprint_set.hpp"
#include "engine/generation.hpp"
#include "engine/level_scoring.hpp"
#include "engine/optimizer.hpp"
#include "engine/output.hpp"
#include "engine/pool.hpp"
#include "engine/scoring.hpp"

namespace vok {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kFinalIterations = 30;

// The state of one search, owned by run_bfs and released when it returns
// (except the registry, which the results share). Only the driver thread
// mutates it between passes; workers read it during a pass.
struct Search {
  Search(const SearchConfig& c, const SearchControl& ctl, RegistryPtr r, SampleSet s)
      : config(c), control(ctl), registry(std::move(r)), samples(std::move(s)) {}

  const SearchConfig& config;
  const SearchControl& control;
  Clock::time_point started = Clock::now();
  StopReason stop = StopReason::Completed;
  bool stopped = false;
  std::size_t last_level = 0;  // the last level stored whole
  RegistryPtr registry;
  SampleSet samples;  // the complex rows and the target copy
  FingerprintSet seen;
  FrontPtr front = std::make_shared<ParetoFront>();
  Levels levels;
  // Fast path: slot k holds the probe values of levels[k], computed once
  // when the level is stored, and their values on every sample (empty
  // where that would take too much memory).
  std::vector<std::vector<ProbeValues>> probes;
  std::vector<SampleColumns> columns;
  // What the sample columns of the levels still to be stored may take.
  std::size_t column_bytes_left = config.sample_column_budget;
  SearchTrace* trace = nullptr;

  bool fast() const { return config.eval_path == EvalPath::Fast; }
  bool prints() const { return control.output == ProgressOutput::Stdout; }
  // Someone waits on this search's chunk boundaries: a deadline, a cancel
  // check or a progress callback.
  bool watched() const {
    return control.deadline.has_value() || static_cast<bool>(control.cancel_requested) ||
           static_cast<bool>(control.on_progress);
  }

  void say(std::string_view text) const {
    if (prints()) print_locked(text);
  }

  void halt(StopReason reason) {
    if (stopped) return;
    stopped = true;
    stop = reason;
  }

  // The deadline and the caller's cancel check; once either has fired the
  // search stays stopped. Called on the driving thread only.
  bool should_stop() {
    if (stopped) return true;
    if (control.deadline && Clock::now() >= *control.deadline) {
      halt(StopReason::TimeLimit);
    } else if (control.cancel_requested && control.cancel_requested()) {
      halt(StopReason::Cancelled);
    }
    return stopped;
  }

  // The score a scored candidate is ranked by for the beam.
  double rank_score(const Expression& e, double score) const {
    if (config.ranking == Ranking::Raw) return score;
    return affine_rank_score(e, samples, config, score);
  }

  // Reports `done` of `total` candidates of level k scored.
  void progress(std::size_t k, std::size_t done, std::size_t total) {
    if (control.on_progress && !control.on_progress({k, done, total})) halt(StopReason::Cancelled);
  }

  // Level k is stored whole: it counts as completed, and the caller hears of it.
  void level_done(std::size_t k, std::size_t candidates) {
    last_level = k;
    if (!control.on_level) return;
    double best = std::numeric_limits<double>::infinity();
    front->for_each([&](std::size_t, double error, const Expression&) {
      if (error < best) best = error;
    });
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    if (!control.on_level({k, candidates, levels[k].size(), elapsed, best})) halt(StopReason::Cancelled);
  }

  // Stores a finished level (and, on the Fast path, its probe values).
  void store_level(std::size_t k, std::vector<Expression> level) {
    levels[k] = std::move(level);
    if (!fast()) return;
    if (probes.size() <= k) probes.resize(k + 1);
    probes[k] = level_probe_values(levels[k], samples.kernels());
    if (columns.size() <= k) columns.resize(k + 1);
    columns[k] = SampleColumns(levels[k], samples,
                               config.optimize_constants ? std::optional<double>(kJacobianStep) : std::nullopt,
                               std::min(SampleColumns::kDefaultBudgetBytes, column_bytes_left));
    column_bytes_left -= columns[k].bytes();
  }

  void record(std::size_t k, std::size_t candidates, std::size_t scored,
              const std::vector<Expression>* candidate_list) {
    if (trace == nullptr) return;
    trace->levels.push_back({k, candidates, scored, levels[k].size()});
    if (!trace->keep_expressions) return;
    if (trace->candidate_lists.size() <= k) trace->candidate_lists.resize(k + 1);
    if (trace->retained.size() <= k) trace->retained.resize(k + 1);
    if (candidate_list != nullptr) trace->candidate_lists[k] = *candidate_list;
    trace->retained[k] = levels[k];
  }
};

void admit_seed(Search& s, Expression leaf, std::vector<Expression>& level) {
  if (!admit_candidate(leaf, *s.registry, s.seen)) return;
  score_and_update(leaf, s.samples, *s.front, s.config.alpha, s.config.l1_ratio);
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
  s.record(1, s.levels[1].size(), s.levels[1].size(), &s.levels[1]);
  s.level_done(1, s.levels[1].size());
}

// The next chunk size of a watched search: about kWatchedChunk of work per
// chunk, growing at most fourfold at a time, within [64, max_chunk].
constexpr std::chrono::milliseconds kWatchedChunk{50};
std::size_t next_watched_chunk(std::size_t chunk, std::size_t scored, Clock::duration took, std::size_t max_chunk) {
  const double seconds = std::chrono::duration<double>(took).count();
  const double target = std::chrono::duration<double>(kWatchedChunk).count();
  double next = seconds > 0.0 ? static_cast<double>(scored) * target / seconds : 4.0 * static_cast<double>(chunk);
  next = std::min(next, 4.0 * static_cast<double>(chunk));
  const std::size_t lower = std::min<std::size_t>(64, max_chunk);
  return std::clamp(static_cast<std::size_t>(next), lower, max_chunk);
}

// The survivors of a scoring pass, in input order.
std::vector<ScoredCandidate> survivors(std::vector<std::optional<ScoredCandidate>> results) {
  std::vector<ScoredCandidate> scored;
  for (auto& r : results) {
    if (r) scored.push_back(std::move(*r));
  }
  return scored;
}

void offer_to_front(Search& s, const std::vector<ScoredCandidate>& scored) {
  for (const auto& [e, score] : scored) {
    update_pareto(*s.front, e, unpenalised_error(score, e.complexity, s.config.complexity_penalty));
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

// The reference level: the whole candidate list is built, fingerprinted by
// evaluation, scored and selected at once. False when the search was
// stopped before the level was stored.
bool run_level_whole(Search& s, std::size_t k, const BeamQuota& quota, Clock::time_point level_clock) {
  std::vector<Expression> candidates = generate_level(s.levels, k, *s.registry, s.seen);
  if (s.should_stop()) return false;
  const std::size_t candidate_count = candidates.size();
  std::optional<std::vector<Expression>> kept;
  if (s.trace != nullptr && s.trace->keep_expressions) kept = candidates;

  std::vector<ScoredCandidate> scored = score_level(s, k, std::move(candidates));
  offer_to_front(s, scored);
  if (s.config.ranking != Ranking::Raw) {
    parallel_each(scored.size(), [&](std::size_t i) { scored[i].second = s.rank_score(scored[i].first, scored[i].second); });
  }
  const std::size_t scored_count = scored.size();
  s.store_level(k, select_beam(std::move(scored), s.config.beam_width, quota.elite_count, quota.diversity_quota));
  s.say(format_level_line(k, Clock::now() - level_clock, s.levels[k].size()));
  s.record(k, candidate_count, scored_count, kept ? &*kept : nullptr);
  s.level_done(k, candidate_count);
  return true;
}

// One candidate of a scored chunk, as the workers leave it for the fold.
struct ChunkEntry {
  enum class Kind : std::uint8_t { Failed, Dropped, Scored };
  Kind kind = Kind::Failed;
  std::optional<LevelScorer::Scored> scored;
  std::string signature;
};

// A chunk of recipes and its entries, scored or waiting to be folded.
struct Chunk {
  std::size_t first = 0;
  std::vector<Recipe> recipes;
  std::vector<ChunkEntry> entries;
  std::vector<Expression> copies;  // the built candidates, for a trace that keeps them
};

// Scores a chunk on the pool of the arena the caller runs in. A survivor at
// or behind `bounds` is only counted: folding it would change nothing. The
// operator signature is computed here, off the driving thread.
void score_chunk(const LevelScorer& scorer, const LevelTally::Bounds& bounds, LevelProgress& progress, bool keep,
                 Chunk& c) {
  const std::size_t n = c.recipes.size();
  c.entries.assign(n, ChunkEntry{});
  if (keep) c.copies.assign(n, Expression{});
  // Several workers count a task's candidates at once, so that they touch
  // the shared counter once per task; one counts each candidate, which
  // prints every percentage as a sequential run does.
  const bool per_candidate =
      tbb::this_task_arena::max_concurrency() == 1 ||
      tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism) == 1;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& r) {
    if (!per_candidate) progress.tick(r.size());
    for (std::size_t i = r.begin(); i != r.end(); ++i) {
      if (per_candidate) progress.tick(1);
      if (keep) c.copies[i] = scorer.builder()(c.recipes[i]);
      auto scored = scorer.score(c.recipes[i]);
      ChunkEntry& out = c.entries[i];
      if (!scored) continue;
      if (bounds.drops(scored->rank, scored->error)) {
        out.kind = ChunkEntry::Kind::Dropped;
        continue;
      }
      out.kind = ChunkEntry::Kind::Scored;
      out.signature = operator_signature(scored->expression);
      out.scored = std::move(scored);
    }
  });
}

void fold_chunk(LevelTally& tally, Chunk& c, std::vector<Expression>* kept) {
  for (std::size_t i = 0; i < c.entries.size(); ++i) {
    ChunkEntry& e = c.entries[i];
    if (e.kind == ChunkEntry::Kind::Dropped) {
      tally.fold_dropped();
    } else if (e.kind == ChunkEntry::Kind::Scored) {
      tally.fold(c.first + i, std::move(*e.scored), std::move(e.signature));
    }
  }
  if (kept != nullptr) {
    for (auto& e : c.copies) kept->push_back(std::move(e));
  }
  c.entries.clear();
  c.copies.clear();
}

// The same level in bounded memory. Phase 1 generates and admits the whole
// candidate list as recipes (the progress line needs its length); phase 2
// builds and scores one chunk at a time on the workers while the driving
// thread folds the chunk before it into the level's tally, in candidate-list
// order, so every outcome equals run_level_whole's. Beyond the recipes (a
// byte or two per candidate) a level holds two chunks, the store's records
// of the candidates that can still be retained, and beam_width expressions.
// The search's stop checks run between generation's chunks and before each
// scoring chunk; a level stopped part way has offered its scored candidates
// to the front but is not stored. False when that happened.
bool run_level_chunked(Search& s, std::size_t k, const BeamQuota& quota, Clock::time_point level_clock) {
  const RecipeList recipes = generate_recipes(s.levels, s.probes, k, *s.registry, s.samples.kernels(), s.seen,
                                              kDefaultLeftChunk, [&s] { return s.should_stop(); });
  if (s.should_stop()) return false;
  const std::size_t total = recipes.size();
  const bool keep = s.trace != nullptr && s.trace->keep_expressions;
  std::vector<Expression> kept;

  const LevelScorer scorer(s.levels, s.columns, s.samples, s.config, k);
  const std::size_t max_chunk = std::max<std::size_t>(1, s.config.candidate_chunk);
  // A watched search sizes its chunks by time, so that a stop is seen within
  // a fraction of a second however much a candidate costs on these rows; the
  // outcome is the same for any chunk size.
  std::size_t chunk = s.watched() ? std::min<std::size_t>(max_chunk, 256) : max_chunk;
  LevelProgress progress(k, total, s.prints());
  LevelTally tally(s.config.beam_width);
  Chunk scoring;
  Chunk folding;
  bool pending = false;  // `folding` holds a scored chunk
  bool stopped = false;
  for (std::size_t first = 0;;) {
    stopped = s.should_stop();
    const bool more = !stopped && first < total;
    const Clock::time_point chunk_clock = Clock::now();
    if (more) {
      scoring.first = first;
      recipes.decode(first, std::min(chunk, total - first), scoring.recipes);
    }
    if (!more && !pending) break;
    const LevelTally::Bounds bounds = tally.bounds();
    {
      // Parallel time is the scoring's: a fold that outlasts it is the
      // driving thread's alone.
      const Clock::time_point launched = Clock::now();
      Clock::time_point scored = launched;
      detail::ForkJoinEdges edges;
      current_arena().execute([&] {
        tbb::task_group group;
        if (more) {
          group.run([&] {
            edges.task_begins();
            score_chunk(scorer, bounds, progress, keep, scoring);
            scored = Clock::now();
            edges.task_ends();
          });
        }
        if (pending) fold_chunk(tally, folding, keep ? &kept : nullptr);
        group.wait();
      });
      PassClock::add(scored - launched);
    }
    if (pending) s.progress(k, folding.first + folding.recipes.size(), total);
    pending = more;
    if (!more) break;
    const std::size_t n = scoring.recipes.size();
    std::swap(scoring, folding);
    first += n;
    if (s.watched()) chunk = next_watched_chunk(chunk, n, Clock::now() - chunk_clock, max_chunk);
  }
  progress.finish();
  if (tally.best()) update_pareto(*s.front, tally.best()->expression, tally.best()->error);
  if (stopped) return false;

  // The few picks whose expressions the store no longer holds are built and
  // scored again; scoring is pure, so they come back exactly as they were.
  std::vector<BeamStore::Pick> picks = tally.store().select(quota.elite_count, quota.diversity_quota);
  std::vector<std::size_t> missing;
  for (std::size_t i = 0; i < picks.size(); ++i) {
    if (!picks[i].expression) missing.push_back(i);
  }
  auto rescored = parallel_map<std::optional<LevelScorer::Scored>>(
      missing.size(), [&](std::size_t m) { return scorer.score(recipes[picks[missing[m]].id]); });
  for (std::size_t m = 0; m < missing.size(); ++m) {
    if (rescored[m]) picks[missing[m]].expression = std::move(rescored[m]->expression);
  }
  std::vector<Expression> level;
  level.reserve(picks.size());
  for (auto& p : picks) {
    if (p.expression) level.push_back(std::move(*p.expression));
  }
  s.store_level(k, std::move(level));
  s.say(format_level_line(k, Clock::now() - level_clock, s.levels[k].size()));
  s.record(k, total, tally.scored(), keep ? &kept : nullptr);
  s.level_done(k, total);
  return true;
}

bool run_level(Search& s, std::size_t k, const BeamQuota& quota) {
  const Clock::time_point level_clock = Clock::now();
  const PassClock passes;
  const bool stored = s.fast() && recipes_fit(s.levels, k, *s.registry) ? run_level_chunked(s, k, quota, level_clock)
                                                                        : run_level_whole(s, k, quota, level_clock);
  if (stored && s.trace != nullptr && !s.trace->levels.empty()) {
    SearchTrace::LevelReport& report = s.trace->levels.back();
    report.seconds = std::chrono::duration<double>(Clock::now() - level_clock).count();
    report.driver_alone_seconds = std::max(0.0, report.seconds - passes.seconds());
  }
  return stored;
}

std::string too_many_variables(std::size_t n) {
  return "Too many input variables: " + std::to_string(n) + " (at most " + std::to_string(kMaxVariables) +
         " are supported).";
}

}  // namespace

bool check_early_exit(const ParetoFront& front, bool exhaustive, double threshold) {
  if (exhaustive) return false;
  bool fires = false;
  front.for_each([&](std::size_t, double error, const Expression&) {
    if (error <= threshold) fires = true;
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
  front->for_each([&](std::size_t, double stored_error, const Expression& stored) {
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

Outcome<std::vector<SearchResult>> finalize_result(FrontPtr front, RegistryPtr registry,
                                                   const SearchConfig& config, ComplexRows samples,
                                                   std::span<const double> targets) {
  const OperatorRegistry& ops = *registry;
  return finalize_with(std::move(front), std::move(registry), config, [&](const Expression& e) {
    return refine_constants(e, samples, targets, config.alpha, config.l1_ratio, ops, kFinalIterations);
  });
}

Outcome<std::vector<SearchResult>> finalize_result(FrontPtr front, RegistryPtr registry,
                                                   const SearchConfig& config, const SampleSet& samples) {
  return finalize_with(std::move(front), std::move(registry), config, [&](const Expression& e) {
    return refine_constants(e, samples, config.alpha, config.l1_ratio, kFinalIterations);
  });
}

SearchRun run_search(std::span<const std::vector<double>> samples, std::span<const double> targets,
                     const SearchConfig& config, const SearchControl& control, SearchTrace* trace) {
  if (samples.size() != targets.size() || samples.empty()) {
    return {SearchError::invalid_input("Inputs and target vector must be non-empty and equal length.")};
  }
  const std::size_t num_vars = samples.front().size();
  // Variable indices are 8 bits wide; wrapping them would alias columns.
  if (num_vars > kMaxVariables) return {SearchError::invalid_input(too_many_variables(num_vars))};

  std::vector<ComplexRow> rows;
  rows.reserve(samples.size());
  for (const auto& row : samples) {
    ComplexRow r;
    r.reserve(row.size());
    for (double x : row) r.push_back({x, 0.0});
    rows.push_back(std::move(r));
  }
  const ThreadLimit thread_limit(control.threads);
  auto registry = std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins());
  Search s(config, control, registry,
           SampleSet(std::move(rows), std::vector<double>(targets.begin(), targets.end()), registry,
                     config.eval_path));
  s.trace = trace;

  auto finish = [&]() -> SearchRun {
    return {finalize_result(std::move(s.front), s.registry, config, s.samples), s.stop, s.last_level};
  };
  // Without a first level there is nothing to search: finalization over the
  // empty front reports NoFormulaFound.
  if (config.max_complexity == 0) return finish();

  // Slots are added level by level, so an absurd max_complexity costs
  // nothing up front.
  s.levels.resize(2);
  seed_level_one(s, num_vars);
  if (check_early_exit(*s.front, config.exhaustive, config.early_exit_threshold)) {
    s.halt(StopReason::EarlyExit);
    return finish();
  }
  s.say(format_start_line(s.levels[1].size()));
  if (config.max_complexity < 2) return finish();

  const BeamQuota quota = beam_quota(config.beam_width);
  for (std::size_t k = 2; k <= config.max_complexity; ++k) {
    if (s.should_stop()) break;
    s.levels.emplace_back();
    if (!run_level(s, k, quota)) break;
    if (check_early_exit(*s.front, config.exhaustive, config.early_exit_threshold)) {
      s.halt(StopReason::EarlyExit);
      break;
    }
    if (k == config.max_complexity) break;  // k + 1 would wrap for SIZE_MAX
  }
  return finish();
}

Outcome<std::vector<SearchResult>> run_bfs(std::span<const std::vector<double>> samples,
                                           std::span<const double> targets,
                                           const SearchConfig& config, SearchTrace* trace) {
  return run_search(samples, targets, config, SearchControl{}, trace).results;
}

}  // namespace vok
