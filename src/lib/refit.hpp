#pragma once

// Formulas' constants refitted on a whole dataset by the search's own refinement.

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "config/search_config.hpp"
#include "core/dataset.hpp"
#include "core/expression.hpp"
#include "eval/batch.hpp"
#include "ops/registry.hpp"

namespace vok {

// A refit's default bound on iterations: ample for the refinement, which
// stops by itself once an accepted step gains less than its tolerance.
inline constexpr std::size_t kRefitIterations = 100;

// A formula with its constants refitted, and its summary on the dataset.
struct Refit {
  Expression expression;
  RowsSummary summary;
};

// Refits the constants of each formula on every row of `data` by the
// search's refinement (refine_constants on the column path: the
// elastic-net penalty alpha, l1_ratio; at most `iterations` iterations),
// in parallel over the formulas, and summarizes each result on the data
// (its loss is the plain mean squared error, without the penalty). A
// formula without constants comes back as it is. `policy`: how it steps. Every refinement stops at
// `deadline` with the values it has reached. The results come in the order
// of `expressions`. Precondition: data has rows and targets.
[[nodiscard]] std::vector<Refit> refit_constants(std::span<const Expression> expressions,
                                                 std::shared_ptr<const Dataset> data, const RegistryPtr& registry,
                                                 double alpha, double l1_ratio, std::size_t iterations,
                                                 std::optional<std::chrono::steady_clock::time_point> deadline,
                                                 RefinePolicy policy = {});

}  // namespace vok
