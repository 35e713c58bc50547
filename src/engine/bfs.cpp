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

#include "engine/beam.hpp"
#include "engine/fingerprint_set.hpp"
#include "engine/generation.hpp"
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
  double rank_score(const Expression& e, double score, const double* values_re = nullptr) const {
    if (config.ranking == Ranking::Raw) return score;
    if (values_re != nullptr) return affine_rank_score(e, samples, config, score, {values_re, samples.size()});
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

  // Scores the candidate a recipe of level k stands for. When its operands'
  // sample values are at hand, its own come from one operator application
  // over them instead of an evaluation of the whole expression, and so do
  // its values with one parameter perturbed, for the first Jacobian.
  // `values_re`, when given, receives the candidate's real parts on every
  // sample where they were composed and scoring kept them as they are (no
  // parameters, every sample usable), else null; valid until the thread's
  // next score_recipe.
  std::optional<ScoredCandidate> score_recipe(std::size_t k, const Recipe& r, const CandidateBuilder& build,
                                              Expression e, const double** values_re = nullptr) const {
    if (values_re != nullptr) *values_re = nullptr;
    const bool unary = r.split == 0;
    const SampleColumns& left = unary ? columns[k - 1] : columns[r.split];
    const SampleColumns* right = unary ? nullptr : &columns[k - 1 - r.split];
    if (left.empty() || (right != nullptr && right->empty())) {
      return score_candidate(std::move(e), samples, config);
    }
    const ColumnValues a = left.at(r.left);
    const ColumnValues b = right != nullptr ? right->at(r.right) : ColumnValues{};
    const std::span<const ColumnValues> a_moved = left.perturbed(r.left);
    const std::span<const ColumnValues> b_moved = right != nullptr ? right->perturbed(r.right)
                                                                   : std::span<const ColumnValues>{};
    // Perturbed columns only when every parameter of the child has one (the
    // left operand's parameters come first).
    const std::size_t moved = a_moved.size() + b_moved.size();
    const bool perturb = config.optimize_constants && moved != 0 && moved == e.num_params;

    SampleScratch& scratch = sample_scratch();
    const std::size_t lanes = samples.size();
    const std::size_t columns_needed = (1 + (perturb ? moved : 0)) * lanes;
    if (scratch.composed_ok.size() < columns_needed) {
      scratch.composed_re.resize(columns_needed);
      scratch.composed_im.resize(columns_needed);
      scratch.composed_ok.resize(columns_needed);
    }
    const auto out_at = [&](std::size_t c) {
      return ColumnOut{scratch.composed_re.data() + c * lanes, scratch.composed_im.data() + c * lanes,
                       scratch.composed_ok.data() + c * lanes};
    };
    const std::uint64_t op = build.op_id(r);
    const KernelTable& table = samples.kernels();
    const auto compose = [&](ColumnValues x, ColumnValues y, ColumnOut out) {
      return unary ? compose_unary_values(op, table, lanes, x, out)
                   : compose_binary_values(op, table, lanes, x, y, out);
    };
    // Refinement starts from the composed values only when every sample has
    // one (a composed value has passed the guard, so it is usable); else the
    // perturbed columns would go unused.
    const bool every_sample = compose(a, b, out_at(0)) == lanes;
    // A composed value has passed the guard, so every sample is usable.
    if (values_re != nullptr && every_sample && e.num_params == 0) *values_re = out_at(0).re;
    scratch.composed_perturbed.clear();
    if (perturb && every_sample) {
      for (std::size_t j = 0; j < moved; ++j) {
        const ColumnOut out = out_at(1 + j);
        if (j < a_moved.size()) {
          compose(a_moved[j], b, out);
        } else {
          compose(a, b_moved[j - a_moved.size()], out);
        }
        scratch.composed_perturbed.push_back({out.re, out.im, out.ok});
      }
    }
    // A parameter-free operand of two tokens or more is a subtree that
    // refinement would evaluate once: its column is here already.
    std::array<KnownSubtree, 2> known{};
    std::size_t known_count = 0;
    if (e.num_params != 0) {
      const Expression& a_expr = unary ? levels[k - 1][r.left] : levels[r.split][r.left];
      const std::size_t a_len = a_expr.tokens.size();
      if (a_expr.num_params == 0 && a_len >= 2) known[known_count++] = {0, a_len - 1, a};
      if (!unary) {
        const Expression& b_expr = levels[k - 1 - r.split][r.right];
        const std::size_t b_len = b_expr.tokens.size();
        if (b_expr.num_params == 0 && b_len >= 2) known[known_count++] = {a_len, a_len + b_len - 1, b};
      }
    }
    const ColumnOut values = out_at(0);
    return score_candidate(std::move(e), samples, config, ColumnValues{values.re, values.im, values.ok},
                           scratch.composed_perturbed, std::span<const KnownSubtree>(known.data(), known_count));
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

// The progress line of one level's scoring, over all of its chunks.
// Thread-safe: tick() runs on the workers.
class LevelProgress {
 public:
  LevelProgress(std::size_t k, std::size_t total, bool prints)
      : k_(k), meter_(total), clock_(Clock::now()), prints_(prints) {}

  // Reports one more candidate entering scoring.
  void tick() {
    if (!prints_) return;
    const auto claim = meter_.tick();
    if (!claim) return;
    // A claimed percentage can reach the printer after a higher one; skipping
    // it keeps the overwritten line from moving backwards (and 100% last).
    std::lock_guard<std::mutex> lock(shown_mutex_);
    if (claim->p <= shown_) return;
    shown_ = claim->p;
    const double seconds = std::max(0.0, std::chrono::duration<double>(Clock::now() - clock_).count());
    print_locked(format_progress_line(k_, claim->p, claim->n, meter_.total(), seconds));
  }
  // Ends the progress line, if there was one.
  void finish() const {
    if (prints_ && meter_.total() != 0) print_locked("\n");
  }

 private:
  std::size_t k_;
  ProgressMeter meter_;
  Clock::time_point clock_;
  bool prints_;
  std::mutex shown_mutex_;
  std::size_t shown_ = 0;
};

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
    progress.tick();
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

// The same level in bounded memory. Phase 1 generates and admits the whole
// candidate list as recipes (the progress line needs its length); phase 2
// builds, scores, offers to the front and folds into the beam store one
// chunk at a time, in candidate-list order, so every outcome equals
// run_level_whole's. Beyond the recipes (a byte or two per candidate) a
// level holds one chunk, the store's records of the candidates that can still be
// retained, and beam_width expressions.
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

  const CandidateBuilder build(s.levels, k, *s.registry);
  const std::size_t max_chunk = std::max<std::size_t>(1, s.config.candidate_chunk);
  // A watched search sizes its chunks by time, so that a stop is seen within
  // a fraction of a second however much a candidate costs on these rows; the
  // outcome is the same for any chunk size.
  std::size_t chunk = s.watched() ? std::min<std::size_t>(max_chunk, 256) : max_chunk;
  LevelProgress progress(k, total, s.prints());
  BeamStore store(s.config.beam_width);
  std::size_t scored_count = 0;
  std::vector<Recipe> chunk_recipes;
  for (std::size_t first = 0, n = 0; first < total; first += n) {
    if (s.should_stop()) {
      progress.finish();
      return false;
    }
    n = std::min(chunk, total - first);
    const Clock::time_point chunk_clock = Clock::now();
    recipes.decode(first, n, chunk_recipes);
    std::vector<Expression> copies(keep ? n : 0);
    // Each result with the score it is ranked by (the same under Raw).
    auto results = parallel_map<std::optional<std::pair<ScoredCandidate, double>>>(n, [&](std::size_t i) {
      progress.tick();
      const Recipe& r = chunk_recipes[i];
      Expression e = build(r);
      if (keep) copies[i] = e;
      const double* values_re = nullptr;
      auto scored = s.score_recipe(k, r, build, std::move(e), &values_re);
      std::optional<std::pair<ScoredCandidate, double>> out;
      if (scored) {
        const double rank = s.rank_score(scored->first, scored->second, values_re);
        out.emplace(std::move(*scored), rank);
      }
      return out;
    });
    for (auto& e : copies) kept.push_back(std::move(e));
    for (std::size_t i = 0; i < n; ++i) {
      if (!results[i]) continue;
      auto& [candidate, rank] = *results[i];
      auto& [e, score] = candidate;
      update_pareto(*s.front, e, unpenalised_error(score, e.complexity, s.config.complexity_penalty));
      ++scored_count;
      store.add(first + i, std::move(e), rank);
    }
    s.progress(k, first + n, total);
    if (s.watched()) chunk = next_watched_chunk(chunk, n, Clock::now() - chunk_clock, max_chunk);
  }
  progress.finish();

  // The few diversity picks that the store no longer holds are built and
  // scored again; scoring is pure, so they come back exactly as they were.
  std::vector<BeamStore::Pick> picks = store.select(quota.elite_count, quota.diversity_quota);
  std::vector<std::size_t> missing;
  for (std::size_t i = 0; i < picks.size(); ++i) {
    if (!picks[i].expression) missing.push_back(i);
  }
  auto rescored = parallel_map<std::optional<ScoredCandidate>>(missing.size(), [&](std::size_t m) {
    const Recipe r = recipes[picks[missing[m]].id];
    return s.score_recipe(k, r, build, build(r));
  });
  for (std::size_t m = 0; m < missing.size(); ++m) {
    if (rescored[m]) picks[missing[m]].expression = std::move(rescored[m]->first);
  }
  std::vector<Expression> level;
  level.reserve(picks.size());
  for (auto& p : picks) {
    if (p.expression) level.push_back(std::move(*p.expression));
  }
  s.store_level(k, std::move(level));
  s.say(format_level_line(k, Clock::now() - level_clock, s.levels[k].size()));
  s.record(k, total, scored_count, keep ? &kept : nullptr);
  s.level_done(k, total);
  return true;
}

bool run_level(Search& s, std::size_t k, const BeamQuota& quota) {
  const Clock::time_point level_clock = Clock::now();
  if (s.fast() && recipes_fit(s.levels, k, *s.registry)) return run_level_chunked(s, k, quota, level_clock);
  return run_level_whole(s, k, quota, level_clock);
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
