#pragma once

// The level-wise search: its entry points, results and trace.

#include <cstddef>
#include <span>
#include <vector>

#include "config/search_config.hpp"
#include "config/search_control.hpp"
#include "core/dataset.hpp"
#include "core/expression.hpp"
#include "core/search_error.hpp"
#include "engine/data/sample_set.hpp"
#include "engine/data/samples.hpp"
#include "engine/search/search_run.hpp"
#include "engine/select/pareto.hpp"
#include "ops/registry.hpp"
#include "result/search_result.hpp"

namespace vok {

// Refits every front entry with parameters (30 iterations, taken
// unconditionally, by the set's evaluation path), keeps the entries that
// beat every simpler one and returns them most accurate first.
// NoFormulaFound for an empty front. Takes over both handles and releases
// them.
[[nodiscard]] Outcome<std::vector<SearchResult>> finalize_result(FrontPtr front, RegistryPtr registry,
                                                   const SearchConfig& config, const SampleSet& samples);

// One whole search under `control`: its progress reporting, deadline,
// cancel check, thread count and level dispatcher. A search that is not
// stopped returns exactly what run_bfs returns, under any control. A
// dispatcher's summaries that do not make up their level end the search
// with InvalidInput; one that gives a level up ends it as cancelled (with
// the front so far) unless a stop check had fired. The rows as run_bfs
// takes them, or a dataset, which the search reads in place.
[[nodiscard]] SearchRun run_search(std::span<const std::vector<double>> samples, std::span<const double> targets,
                     const SearchConfig& config, const SearchControl& control, SearchTrace* trace = nullptr);
[[nodiscard]] SearchRun run_search(Dataset data, const SearchConfig& config, const SearchControl& control,
                                   SearchTrace* trace = nullptr);

// One whole search: validation, seeding, levels 2 .. max_complexity with the
// progress and level lines on standard output, early exit, finalization.
// Every row holds the input values of one data point; the number of
// variables is the length of the first row.
[[nodiscard]] Outcome<std::vector<SearchResult>> run_bfs(std::span<const std::vector<double>> samples,
                                           std::span<const double> targets,
                                           const SearchConfig& config, SearchTrace* trace = nullptr);

}  // namespace vok
