#pragma once

// The state of one search between its levels, and the steps its driver takes.

#include <chrono>
#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "config/search_config.hpp"
#include "config/search_control.hpp"
#include "engine/data/sample_set.hpp"
#include "engine/fitness/level_scoring.hpp"
#include "engine/fitness/scoring.hpp"
#include "engine/generate/fingerprint_set.hpp"
#include "engine/generate/generation.hpp"
#include "engine/refine/optimizer.hpp"
#include "engine/search/search_run.hpp"
#include "engine/select/pareto.hpp"
#include "infra/output.hpp"

namespace vok {

using Clock = std::chrono::steady_clock;

// The state of one search between its levels, owned by its driver
// (run_search) and released with it (except the registry, which the
// results share). Thread safety: only the driving thread mutates it, between
// passes; workers read it during a pass.
struct Search {
  Search(const SearchConfig& c, const SearchControl& ctl, RegistryPtr r, SampleSet s)
      : config(c), control(ctl), registry(std::move(r)), samples(std::move(s)) {}

  const SearchConfig& config;
  const SearchControl& control;
  Clock::time_point started = Clock::now();
  StopReason stop = StopReason::Completed;
  bool stopped = false;
  std::size_t last_level = 0;  // the last level stored whole
  bool seeded = false;         // level 1 exists
  RegistryPtr registry;
  SampleSet samples;  // the data and both evaluation paths over it
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
  // The rank threshold of the last level's beam store when it closed
  // (+inf: it kept every candidate), for the next level's screen.
  double beam_threshold = std::numeric_limits<double>::infinity();
  SearchTrace* trace = nullptr;
  // Called once a level's candidates are admitted, before they are scored.
  std::function<void()> on_admitted;
  // The dimension rules of a search with units (config.units).
  std::optional<DimensionRules> units =
      config.units ? std::optional<DimensionRules>(std::in_place, *config.units, *registry) : std::nullopt;

  const DimensionRules* unit_rules() const { return units ? &*units : nullptr; }
  // Whether `e` may enter the front: with units, only a consistent formula
  // that can have the target's dimension.
  bool front_takes(const Expression& e) const {
    if (!units) return true;
    const std::optional<Dimension> d = units->of(e);
    return d && units->fits_target(*d);
  }

  bool fast() const { return config.eval_path == EvalPath::Fast; }
  bool exits_early() const {
    return check_early_exit(*front, config.exhaustive, config.early_exit_threshold, config.max_complexity);
  }
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
  void level_done(std::size_t k, std::size_t candidates, const LevelTimes& times = {}) {
    last_level = k;
    if (!control.on_level) return;
    double best = std::numeric_limits<double>::infinity();
    std::vector<LevelEvent::FrontItem> items;
    front->for_each([&](std::size_t complexity, double error, const Expression& e) {
      if (complexity > config.max_complexity) return;
      if (error < best) best = error;
      items.push_back({error, e});
    });
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    if (!control.on_level({k, candidates, levels[k].size(), elapsed, best, times, std::move(items)})) {
      halt(StopReason::Cancelled);
    }
  }

  // Stores a finished level (and, on the Fast path, its probe values).
  void store_level(std::size_t k, std::vector<Expression> level) {
    levels[k] = std::move(level);
    if (!fast()) return;
    if (probes.size() <= k) probes.resize(k + 1);
    probes[k] = level_probe_values(levels[k], samples.kernels());
    if (columns.size() <= k) columns.resize(k + 1);
    columns[k] = level_columns(levels[k], samples, config, column_bytes_left);
    column_bytes_left -= columns[k].bytes();
  }

  void record(std::size_t k, std::size_t candidates, std::size_t scored,
              const std::vector<Expression>* candidate_list, std::size_t abandoned = 0) {
    if (trace == nullptr) return;
    SearchTrace::LevelReport report;
    report.k = k;
    report.candidates = candidates;
    report.scored = scored;
    report.abandoned = abandoned;
    report.retained = levels[k].size();
    trace->levels.push_back(report);
    if (!trace->keep_expressions) return;
    if (trace->candidate_lists.size() <= k) trace->candidate_lists.resize(k + 1);
    if (trace->retained.size() <= k) trace->retained.resize(k + 1);
    if (candidate_list != nullptr) trace->candidate_lists[k] = *candidate_list;
    trace->retained[k] = levels[k];
  }
};

// Validates the inputs and seeds level 1 (printing the start line unless the
// seeds already meet the early-exit threshold). InvalidInput for bad inputs.
// The search reads a dataset's columns in place; rows of one length become
// a dataset, rows of differing lengths (vok_sr takes them) complex rows for
// the per-sample path.
[[nodiscard]] Outcome<std::unique_ptr<Search>> start_search(Dataset data, const SearchConfig& config,
                                                          const SearchControl& control, SearchTrace* trace);
[[nodiscard]] Outcome<std::unique_ptr<Search>> start_search(std::span<const std::vector<double>> samples,
                                                          std::span<const double> targets, const SearchConfig& config,
                                                          const SearchControl& control, SearchTrace* trace);

// The number of the level to run next, with its slot added; nullopt when
// the search has ended (its last level stored, an early exit, a stop).
[[nodiscard]] std::optional<std::size_t> next_level(Search& s);

// A level whose candidates have been generated and admitted, to be scored
// (in any ranges, anywhere) into a tally and closed.
struct OpenLevel {
  std::size_t k;
  RecipeList recipes;
  LevelScorer scorer;
  Clock::time_point clock;   // when the level began
  Clock::time_point opened;  // when its candidates were admitted
};
// Generates and admits level k (the slot next_level added); nullopt when the
// search was stopped during generation. Precondition: the Fast path and
// recipes_fit(s.levels, k, *s.registry).
[[nodiscard]] std::optional<OpenLevel> open_level(Search& s, std::size_t k);

// Offers the tally's best candidate to the front: a level stopped part way
// has offered what it scored.
void offer_tally(Search& s, const LevelTally& tally);

// Closes an open level from the tally of all its candidates, whose scoring
// ended at `scored`: selects the beam (rebuilding the picks the tally does
// not hold), stores the level, reports it and checks the early exit.
// `kept`, when given, is the level's whole candidate list for the trace.
void close_level(Search& s, const OpenLevel& level, LevelTally tally, Clock::time_point scored,
                 const std::vector<Expression>* kept = nullptr);

// The search's results: the front finalized, why it ended, its last level.
[[nodiscard]] SearchRun finish_search(Search& s);

}  // namespace vok
