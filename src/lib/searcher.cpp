// The Searcher's requests, each one search on a derived configuration.
#include "lib/searcher.hpp"

#include <utility>

#include "engine/search/bfs.hpp"

namespace vok {

Outcome<SearchResult> take_first_result(Outcome<std::vector<SearchResult>> outcome,
                                        std::size_t max_complexity) {
  if (auto* error = std::get_if<SearchError>(&outcome)) return std::move(*error);
  auto& results = std::get<std::vector<SearchResult>>(outcome);
  if (results.empty()) return SearchError::no_formula_found(max_complexity);
  return std::move(results.front());
}

SearchConfig Searcher::derive(std::optional<double> alpha, std::optional<double> l1_ratio) const {
  return derive_search_config(config_, alpha, l1_ratio, false);
}

Outcome<SearchResult> Searcher::find_function(std::span<const double> xs, std::span<const double> ys,
                                              std::optional<double> alpha,
                                              std::optional<double> l1_ratio) const {
  Matrix rows;
  rows.reserve(xs.size());
  for (double x : xs) rows.push_back({x});
  const SearchConfig config = derive(alpha, l1_ratio);
  return take_first_result(run_bfs(rows, ys, config), config.max_complexity);
}

Outcome<SearchResult> Searcher::find_multivariate(const Matrix& inputs, std::span<const double> ys,
                                                  std::optional<double> alpha,
                                                  std::optional<double> l1_ratio) const {
  const SearchConfig config = derive(alpha, l1_ratio);
  return take_first_result(run_bfs(inputs, ys, config), config.max_complexity);
}

Outcome<std::vector<SearchResult>> Searcher::find_candidates(const Matrix& inputs,
                                                             std::span<const double> ys,
                                                             std::optional<double> alpha,
                                                             std::optional<double> l1_ratio) const {
  return run_bfs(inputs, ys, derive_search_config(config_, alpha, l1_ratio, true));
}

Outcome<SearchResult> Searcher::recognize_constant(double value, std::optional<double> alpha,
                                                   std::optional<double> l1_ratio) const {
  const Matrix rows{{0.0}};
  const double target[] = {value};
  const SearchConfig config = derive(alpha, l1_ratio);
  return take_first_result(run_bfs(rows, target, config), config.max_complexity);
}

}  // namespace vok
