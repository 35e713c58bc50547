#include "engine/bfs.hpp"

#include <algorithm>
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
  Search(const SearchConfig& c, RegistryPtr r) : config(c), registry(std::move(r)) {}

  const SearchConfig& config;
  RegistryPtr registry;
  std::vector<ComplexRow> rows;
  std::vector<double> targets;
  FingerprintSet seen;
  FrontPtr front = std::make_shared<ParetoFront>();
  Levels levels;
  SearchTrace* trace = nullptr;

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
  score_and_update(leaf, s.rows, s.targets, *s.front, s.config.alpha, s.config.l1_ratio, *s.registry);
  level.push_back(std::move(leaf));
}

void seed_level_one(Search& s, std::size_t num_vars) {
  std::vector<Expression> level;
  admit_seed(s, param_leaf(), level);
  for (std::size_t i = 0; i < num_vars; ++i) admit_seed(s, var_leaf(static_cast<std::uint8_t>(i)), level);
  s.levels[1] = std::move(level);
  s.record(1, s.levels[1].size(), s.levels[1].size(), &s.levels[1]);
}

// Scores a candidate list in parallel, reporting progress before each
// candidate; the survivors come back in candidate-list order.
std::vector<ScoredCandidate> score_level(Search& s, std::size_t k, std::vector<Expression> candidates) {
  const std::size_t total = candidates.size();
  const Clock::time_point progress_clock = Clock::now();
  ProgressMeter meter(total);
  // A claimed percentage can reach the printer after a higher one; skipping
  // it keeps the overwritten line from moving backwards (and 100% last).
  std::mutex shown_mutex;
  std::size_t shown = 0;
  auto results = parallel_map<std::optional<ScoredCandidate>>(total, [&](std::size_t i) {
    if (const auto claim = meter.tick()) {
      std::lock_guard<std::mutex> lock(shown_mutex);
      if (claim->p > shown) {
        shown = claim->p;
        const double seconds =
            std::max(0.0, std::chrono::duration<double>(Clock::now() - progress_clock).count());
        print_locked(format_progress_line(k, claim->p, claim->n, total, seconds));
      }
    }
    return score_candidate(std::move(candidates[i]), s.rows, s.targets, s.config, *s.registry);
  });
  if (total != 0) print_locked("\n");
  std::vector<ScoredCandidate> scored;
  for (auto& r : results) {
    if (r) scored.push_back(std::move(*r));
  }
  return scored;
}

void run_level(Search& s, std::size_t k, const BeamQuota& quota) {
  const Clock::time_point level_clock = Clock::now();
  std::vector<Expression> candidates = generate_level(s.levels, k, *s.registry, s.seen);
  const std::size_t candidate_count = candidates.size();
  std::optional<std::vector<Expression>> kept;
  if (s.trace != nullptr && s.trace->keep_expressions) kept = candidates;

  std::vector<ScoredCandidate> scored = score_level(s, k, std::move(candidates));
  for (const auto& [e, score] : scored) {
    update_pareto(*s.front, e, unpenalised_error(score, e.complexity, s.config.complexity_penalty));
  }
  const std::size_t scored_count = scored.size();
  s.levels[k] = select_beam(std::move(scored), s.config.beam_width, quota.elite_count, quota.diversity_quota);
  print_locked(format_level_line(k, Clock::now() - level_clock, s.levels[k].size()));
  s.record(k, candidate_count, scored_count, kept ? &*kept : nullptr);
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

Outcome<std::vector<SearchResult>> finalize_result(FrontPtr front, RegistryPtr registry,
                                                   const SearchConfig& config, ComplexRows samples,
                                                   std::span<const double> targets) {
  std::vector<SearchResult> results;
  bool empty = true;
  front->for_each([&](std::size_t, double stored_error, const Expression& stored) {
    empty = false;
    Expression e = stored;
    double error = stored_error;
    if (e.num_params != 0 && config.optimize_constants) {
      auto refined = refine_constants(e, samples, targets, config.alpha, config.l1_ratio, *registry,
                                      kFinalIterations);
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

Outcome<std::vector<SearchResult>> run_bfs(std::span<const std::vector<double>> samples,
                                           std::span<const double> targets,
                                           const SearchConfig& config, SearchTrace* trace) {
  if (samples.size() != targets.size() || samples.empty()) {
    return SearchError::invalid_input("Inputs and target vector must be non-empty and equal length.");
  }
  const std::size_t num_vars = samples.front().size();
  // Variable indices are 8 bits wide; wrapping them would alias columns.
  if (num_vars > kMaxVariables) return SearchError::invalid_input(too_many_variables(num_vars));

  Search s(config, std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins()));
  s.trace = trace;
  s.rows.reserve(samples.size());
  for (const auto& row : samples) {
    ComplexRow r;
    r.reserve(row.size());
    for (double x : row) r.push_back({x, 0.0});
    s.rows.push_back(std::move(r));
  }
  s.targets.assign(targets.begin(), targets.end());

  auto finish = [&] {
    return finalize_result(std::move(s.front), s.registry, config, s.rows, s.targets);
  };
  // Without a first level there is nothing to search: finalization over the
  // empty front reports NoFormulaFound.
  if (config.max_complexity == 0) return finish();

  // Slots are added level by level, so an absurd max_complexity costs
  // nothing up front.
  s.levels.resize(2);
  seed_level_one(s, num_vars);
  if (check_early_exit(*s.front, config.exhaustive, config.early_exit_threshold)) return finish();
  print_locked(format_start_line(s.levels[1].size()));
  if (config.max_complexity < 2) return finish();

  const BeamQuota quota = beam_quota(config.beam_width);
  for (std::size_t k = 2; k <= config.max_complexity; ++k) {
    s.levels.emplace_back();
    run_level(s, k, quota);
    if (check_early_exit(*s.front, config.exhaustive, config.early_exit_threshold)) break;
    if (k == config.max_complexity) break;  // k + 1 would wrap for SIZE_MAX
  }
  return finish();
}

}  // namespace vok
