#pragma once

// The engine's public entry point: the Searcher and its requests.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "config/search_config.hpp"
#include "core/search_error.hpp"
#include "result/search_result.hpp"

namespace vok {

using Matrix = std::vector<std::vector<double>>;

// The first (most accurate) result of a finished search; NoFormulaFound with
// `max_complexity` when the list is empty, and an error passed on unchanged.
[[nodiscard]] Outcome<SearchResult> take_first_result(Outcome<std::vector<SearchResult>> outcome,
                                        std::size_t max_complexity);

// The engine searcher: one immutable SearchConfig, nothing kept between
// requests. Each request runs one search on a derived copy of the config in
// which the given alpha/l1_ratio replace the stored ones. Requests are const
// and may run concurrently from several threads.
class Searcher {
 public:
  explicit Searcher(SearchConfig config = {}) : config_(config) {}

  const SearchConfig& config() const { return config_; }

  // One row {x} per value of xs.
  [[nodiscard]] Outcome<SearchResult> find_function(std::span<const double> xs, std::span<const double> ys,
                                      std::optional<double> alpha = std::nullopt,
                                      std::optional<double> l1_ratio = std::nullopt) const;
  [[nodiscard]] Outcome<SearchResult> find_multivariate(const Matrix& inputs, std::span<const double> ys,
                                          std::optional<double> alpha = std::nullopt,
                                          std::optional<double> l1_ratio = std::nullopt) const;
  // Exhaustive: never stops early; the whole result list, most accurate first.
  [[nodiscard]] Outcome<std::vector<SearchResult>> find_candidates(
      const Matrix& inputs, std::span<const double> ys, std::optional<double> alpha = std::nullopt,
      std::optional<double> l1_ratio = std::nullopt) const;
  // One row {0.0} with the single target `value`.
  [[nodiscard]] Outcome<SearchResult> recognize_constant(double value, std::optional<double> alpha = std::nullopt,
                                           std::optional<double> l1_ratio = std::nullopt) const;

 private:
  [[nodiscard]] SearchConfig derive(std::optional<double> alpha, std::optional<double> l1_ratio) const;

  SearchConfig config_;
};

}  // namespace vok
