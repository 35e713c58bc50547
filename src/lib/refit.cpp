// Formulas' constants refitted on a whole dataset by the search's own refinement.
#include "lib/refit.hpp"

#include <functional>
#include <utility>

#include "engine/data/sample_set.hpp"
#include "engine/refine/optimizer.hpp"
#include "infra/pool.hpp"

namespace vok {

std::vector<Refit> refit_constants(std::span<const Expression> expressions, std::shared_ptr<const Dataset> data,
                                   const RegistryPtr& registry, double alpha, double l1_ratio, std::size_t iterations,
                                   std::optional<std::chrono::steady_clock::time_point> deadline, RefinePolicy policy) {
  const SampleSet samples(std::move(data), registry, EvalPath::Fast);
  const std::function<bool()> past_deadline = [&] { return std::chrono::steady_clock::now() >= *deadline; };
  std::vector<Refit> refits = parallel_map<Refit>(expressions.size(), [&](std::size_t i) {
    const Expression& e = expressions[i];
    if (e.num_params == 0) return Refit{e, {}};
    return Refit{refine_constants(e, samples, alpha, l1_ratio, iterations, nullptr,
                                  deadline ? &past_deadline : nullptr, policy)
                     .first,
                 {}};
  });
  std::vector<Expression> refitted;
  refitted.reserve(refits.size());
  for (const Refit& r : refits) refitted.push_back(r.expression);
  const std::vector<RowsSummary> summaries = summarize_rows(refitted, *registry, *samples.dataset());
  for (std::size_t i = 0; i < refits.size(); ++i) refits[i].summary = summaries[i];
  return refits;
}

}  // namespace vok
