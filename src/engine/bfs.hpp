#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "config/search_config.hpp"
#include "config/search_control.hpp"
#include "core/expression.hpp"
#include "engine/pareto.hpp"
#include "engine/sample_set.hpp"
#include "engine/samples.hpp"
#include "ops/registry.hpp"
#include "result/search_error.hpp"
#include "result/search_result.hpp"

namespace vok {

// What one search did, for benchmarks and tests; filled by run_bfs when a
// trace is passed. Level 1 is reported like the others (candidates = seeds).
struct SearchTrace {
  struct LevelReport {
    std::size_t k = 0;
    std::size_t candidates = 0;  // the level's de-duplicated candidate list
    std::size_t scored = 0;      // survivors of scoring
    std::size_t retained = 0;    // after beam selection
    // Wall time of the level, and the part of it during which the driving
    // thread worked alone (outside every parallel pass).
    double seconds = 0.0;
    double driver_alone_seconds = 0.0;
  };
  bool keep_expressions = false;              // also copy the lists below
  std::vector<LevelReport> levels;
  std::vector<std::vector<Expression>> candidate_lists;  // slot k, when kept
  std::vector<std::vector<Expression>> retained;         // slot k, when kept
};

// True when some front entry's raw error is at or below `threshold` (never
// for NaN); always false when `exhaustive` is set.
bool check_early_exit(const ParetoFront& front, bool exhaustive, double threshold);

// Refits every front entry with parameters (30 iterations, taken
// unconditionally), keeps the entries that beat every simpler one and returns
// them most accurate first. NoFormulaFound for an empty front. Takes over
// both handles and releases them.
Outcome<std::vector<SearchResult>> finalize_result(FrontPtr front, RegistryPtr registry,
                                                   const SearchConfig& config, ComplexRows samples,
                                                   std::span<const double> targets);
// The same on the search's sample set (refinement by its evaluation path).
Outcome<std::vector<SearchResult>> finalize_result(FrontPtr front, RegistryPtr registry,
                                                   const SearchConfig& config, const SampleSet& samples);

// A search's results with why it ended and the last level it stored whole
// (0 when it ended before level 1 was stored). A stopped search's results
// are those of its front as it stood ("anytime"): finalized like any other.
struct SearchRun {
  Outcome<std::vector<SearchResult>> results;
  StopReason stop = StopReason::Completed;
  std::size_t last_level = 0;
};

// One whole search under `control`: its progress reporting, deadline,
// cancel check and thread count. A search that is not stopped returns
// exactly what run_bfs returns, under any control.
SearchRun run_search(std::span<const std::vector<double>> samples, std::span<const double> targets,
                     const SearchConfig& config, const SearchControl& control, SearchTrace* trace = nullptr);

// One whole search: validation, seeding, levels 2 .. max_complexity with the
// progress and level lines on standard output, early exit, finalization.
// Every row holds the input values of one data point; the number of
// variables is the length of the first row.
Outcome<std::vector<SearchResult>> run_bfs(std::span<const std::vector<double>> samples,
                                           std::span<const double> targets,
                                           const SearchConfig& config, SearchTrace* trace = nullptr);

}  // namespace vok
