// Scoring a level's candidates from their recipes, and what a range of them leaves behind.
#include "engine/level_scoring.hpp"

#include <array>
#include <cstdint>
#include <utility>

#include "engine/optimizer.hpp"
#include "engine/scoring.hpp"

namespace vok {

LevelScorer::LevelScorer(const Levels& levels, std::span<const SampleColumns> columns, const SampleSet& samples,
                         const SearchConfig& config, std::size_t k)
    : levels_(levels), columns_(columns), samples_(samples), config_(config), k_(k),
      build_(levels, k, samples.registry()) {}

std::optional<LevelScorer::Scored> LevelScorer::score(const Recipe& r) const {
  Expression e = build_(r);
  const bool unary = r.split == 0;
  const std::size_t k = k_;
  const SampleColumns* left = unary ? &columns_[k - 1] : &columns_[r.split];
  const SampleColumns* right = unary ? nullptr : &columns_[k - 1 - r.split];
  // Affine ranking reads the candidate's real parts on every sample: here
  // when they were composed and scoring kept them as they are (no
  // parameters, every sample usable), else from an evaluation.
  const double* values_re = nullptr;
  std::optional<ScoredCandidate> scored;
  if (left->empty() || (right != nullptr && right->empty())) {
    scored = score_candidate(std::move(e), samples_, config_);
  } else {
    const ColumnValues a = left->at(r.left);
    const ColumnValues b = right != nullptr ? right->at(r.right) : ColumnValues{};
    const std::span<const ColumnValues> a_moved = left->perturbed(r.left);
    const std::span<const ColumnValues> b_moved =
        right != nullptr ? right->perturbed(r.right) : std::span<const ColumnValues>{};
    // Perturbed columns only when every parameter of the child has one (the
    // left operand's parameters come first).
    const std::size_t moved = a_moved.size() + b_moved.size();
    const bool perturb = config_.optimize_constants && moved != 0 && moved == e.num_params;

    SampleScratch& scratch = sample_scratch();
    const std::size_t lanes = samples_.size();
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
    const std::uint64_t op = build_.op_id(r);
    const KernelTable& table = samples_.kernels();
    const auto compose = [&](ColumnValues x, ColumnValues y, ColumnOut out) {
      return unary ? compose_unary_values(op, table, lanes, x, out)
                   : compose_binary_values(op, table, lanes, x, y, out);
    };
    // Refinement starts from the composed values only when every sample has
    // one (a composed value has passed the guard, so it is usable); else the
    // perturbed columns would go unused.
    const bool every_sample = compose(a, b, out_at(0)) == lanes;
    if (every_sample && e.num_params == 0) values_re = out_at(0).re;
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
      const Expression& a_expr = unary ? levels_[k - 1][r.left] : levels_[r.split][r.left];
      const std::size_t a_len = a_expr.tokens.size();
      if (a_expr.num_params == 0 && a_len >= 2) known[known_count++] = {0, a_len - 1, a};
      if (!unary) {
        const Expression& b_expr = levels_[k - 1 - r.split][r.right];
        const std::size_t b_len = b_expr.tokens.size();
        if (b_expr.num_params == 0 && b_len >= 2) known[known_count++] = {a_len, a_len + b_len - 1, b};
      }
    }
    const ColumnOut values = out_at(0);
    scored = score_candidate(std::move(e), samples_, config_, ColumnValues{values.re, values.im, values.ok},
                             scratch.composed_perturbed, std::span<const KnownSubtree>(known.data(), known_count));
  }
  if (!scored) return std::nullopt;
  auto& [expression, score] = *scored;
  double rank = score;
  if (config_.ranking != Ranking::Raw) {
    rank = values_re != nullptr
               ? affine_rank_score(expression, samples_, config_, score, {values_re, samples_.size()})
               : affine_rank_score(expression, samples_, config_, score);
  }
  const double error = unpenalised_error(score, expression.complexity, config_.complexity_penalty);
  return Scored{std::move(expression), score, rank, error};
}

LevelTally::Bounds LevelTally::bounds() const {
  Bounds b;
  b.beam = store_.threshold();
  if (best_) {
    b.has_best = true;
    b.best_error = best_->error;
  }
  return b;
}

void LevelTally::offer_best(std::size_t id, double error, const Expression& e) {
  // The front's rule: the first offer stays unless a later one is strictly
  // better (a NaN on either side keeps it).
  if (best_ && !(best_->error > error)) return;
  best_ = Best{id, error, e};
}

void LevelTally::fold(std::size_t id, LevelScorer::Scored scored, std::optional<std::string> signature) {
  ++scored_;
  offer_best(id, scored.error, scored.expression);
  if (signature) {
    store_.add(id, std::move(*signature), scored.rank, std::move(scored.expression));
  } else {
    store_.add(id, std::move(scored.expression), scored.rank);
  }
}

// Exact: a record that `later` dropped had, within its own range alone, a
// threshold or beam_width better records of its signature ranked before it;
// both only grow with more candidates, so it is never retained from the
// union either, and select() decides from the retainable records alone.
// Re-adding the kept ones in id order applies this store's bounds as well.
// The best: with no NaN errors (survivors have finite ones), folding the
// later range's offers one by one after this one's ends at this best unless
// the later best is strictly better, which is what offer_best decides.
void LevelTally::merge(LevelTally&& later) {
  scored_ += later.scored_;
  std::vector<BeamStore::Kept> kept = later.store_.kept_records();
  store_.note_offered(later.store_.offered() - kept.size());
  for (auto& r : kept) store_.add(r.id, std::move(r.signature), r.score, std::move(r.expression));
  if (later.best_) offer_best(later.best_->id, later.best_->error, later.best_->expression);
}

LevelTally LevelTally::from_parts(std::size_t beam_width, std::size_t scored, std::size_t offered,
                                  std::vector<BeamStore::Kept> kept, std::optional<Best> best) {
  LevelTally t(beam_width);
  t.scored_ = scored;
  t.store_.note_offered(offered - kept.size());
  for (auto& r : kept) t.store_.add(r.id, std::move(r.signature), r.score, std::move(r.expression));
  t.best_ = std::move(best);
  return t;
}

}  // namespace vok
