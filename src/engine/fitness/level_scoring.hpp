#pragma once

// Scoring a level's candidates from their recipes, and what a range of them leaves behind.

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config/search_config.hpp"
#include "core/expression.hpp"
#include "engine/data/sample_set.hpp"
#include "engine/fitness/scaling.hpp"
#include "engine/fitness/scoring.hpp"
#include "engine/generate/generation.hpp"
#include "engine/select/beam.hpp"
#include "engine/select/pareto.hpp"
#include "infra/output.hpp"

namespace vok {

// The sample columns of a retained level, when `budget_left` bytes of the
// search's column budget are still free; every driver and worker of a
// search computes them alike.
[[nodiscard]] SampleColumns level_columns(std::span<const Expression> level, const SampleSet& samples,
                                          const SearchConfig& config, std::size_t budget_left);

// The bounds a level's tally sets for the candidates still to come: one
// whose rank is at or behind the beam threshold and whose raw error does
// not beat the best so far changes nothing (see LevelTally::Bounds).
// `abandon` also lets scoring stop a candidate part way (see
// LevelScorer::score); it holds only once more candidates survived than
// the beam keeps, so that the beam's selection never depends on whether an
// abandoned candidate would have survived.
// With output scaling, a candidate's rescalings are checked against the
// best of their complexity offsets (`improves`).
struct ScoreBounds {
  BeamStore::Threshold beam;
  bool has_best = false;
  double best_error = 0.0;
  bool abandon = false;
  // The best errors so far of the rescalings, by LevelTally slot 1, 2.
  std::array<bool, 2> has_scaled{};
  std::array<double, 2> scaled_best{};
  // Whether the candidate would change neither the store nor the best.
  bool drops(double rank, double error) const { return beam.drops(rank) && has_best && !(best_error > error); }
  // Whether a rescaling of this error could replace the best of `slot` (1, 2).
  bool improves(std::size_t slot, double error) const {
    return !has_scaled[slot - 1] || scaled_best[slot - 1] > error;
  }
};

// Scores the candidates of level k from their recipes. When the operands'
// sample values are at hand (`columns`, slot per level), a candidate's own
// come from one operator application over them instead of an evaluation of
// the whole expression, and so do its values with one parameter perturbed,
// for the first Jacobian; scoring is the same double either way.
// Holds views of everything it is given. Thread safety: const members may
// be called concurrently.
class LevelScorer {
 public:
  // `screen`: the level's thresholds for config.screen_factor.
  LevelScorer(const Levels& levels, std::span<const SampleColumns> columns, const SampleSet& samples,
              const SearchConfig& config, std::size_t k, LevelScreen screen = {});

  // A scored candidate: its (refined) expression, the penalised score, the
  // score the beam ranks it by (the same under Ranking::Raw), its raw error
  // for the front, whether the front may take it (with units: it can have
  // the target's dimension) and, with output scaling, its rescalings' fits
  // and raw errors.
  struct Scored {
    Expression expression;
    double score;
    double rank;
    double error;
    bool front = true;
    ScaledScores scaled{};
  };
  // Builds and scores recipe `r`; nullopt when its error is not finite.
  // With `bounds` whose `abandon` holds, a candidate without parameters
  // under Raw ranking is abandoned (nullopt, `*abandoned` set) as soon as
  // its error over the samples so far shows that it can enter neither the
  // beam nor the front: the partial sum of squares only grows. Not with
  // output scaling: a poor candidate may have a good rescaling.
  // A candidate with constants that the level's screen drops (screened_out)
  // is nullopt too, found before any refinement.
  [[nodiscard]] std::optional<Scored> score(const Recipe& r, const ScoreBounds* bounds = nullptr,
                                            bool* abandoned = nullptr) const;
  // The rescaling of a scored candidate as a formula. Precondition:
  // output scaling is on and `fit` is one of its Scored::scaled.
  [[nodiscard]] Expression rescaled(const Expression& f, const ScaledFit& fit) const {
    return scaled_expression(f, fit, *scaling_);
  }
  const CandidateBuilder& builder() const { return build_; }
  const LevelScreen& screen() const { return screen_; }
  std::size_t level() const { return k_; }

 private:
  const Levels& levels_;
  std::span<const SampleColumns> columns_;
  const SampleSet& samples_;
  const SearchConfig& config_;
  std::size_t k_;
  LevelScreen screen_;
  CandidateBuilder build_;
  std::optional<DimensionRules> units_;
  std::optional<ScalingOps> scaling_;  // with output scaling on, when the registry can write a rescaling
};

// A level's best candidate for the front so far at one complexity, with the
// id in the level of the candidate it came from.
struct LevelBest {
  std::size_t id = 0;
  double error = 0.0;
  Expression expression;
};

// What scoring a contiguous range of a level's candidates leaves behind:
// the beam store's records of those that can still be retained, the best
// candidate for the front, and counts. With output scaling the
// candidates' rescalings land 2 and 4 tokens above the level: the tally
// keeps the best for the front per complexity offset, in slots 0 (the
// candidates themselves), 1 (+2 tokens: a*f, f + b) and 2 (+4: a*f + b).
// Candidates are folded in list order, each candidate's rescalings right
// behind it in kind order;
// a tally of a later range merges behind it, giving exactly the tally of the
// two ranges folded one after the other (see merge()).
// Not thread-safe: one thread folds.
class LevelTally {
 public:
  explicit LevelTally(std::size_t beam_width) : store_(beam_width) {}

  // The bounds a scoring worker may check before handing a candidate over:
  // one at or behind them changes nothing here. Both only tighten as
  // candidates are folded, so an older copy is a looser, still exact bound.
  using Bounds = ScoreBounds;
  Bounds bounds() const;

  // Candidate `id` (ids increase) with its rank and raw error; its
  // operator signature computed here unless given.
  void fold(std::size_t id, LevelScorer::Scored scored, std::optional<std::string> signature = std::nullopt);
  // A rescaling of candidate `id` (the last folded) with its raw error, for
  // the best of `slot` (1 or 2).
  void offer_scaled(std::size_t id, std::size_t slot, double error, const Expression& e) {
    offer_best(slot, id, error, e);
  }
  // A survivor that Bounds::drops.
  void fold_dropped() {
    ++scored_;
    store_.note_offered(1);
  }
  // A candidate abandoned part way: it may or may not have survived, and
  // could change nothing either way.
  void fold_abandoned() {
    ++abandoned_;
    store_.note_offered(1);
  }
  std::size_t abandoned() const { return abandoned_; }
  // Folds a later range's tally (every id after this one's).
  void merge(LevelTally&& later);

  // The survivors folded (candidates with a finite error).
  std::size_t scored() const { return scored_; }
  BeamStore& store() { return store_; }
  const BeamStore& store() const { return store_; }
  // The best candidate for the front: the first with the lowest error (a
  // later one replaces it only when strictly better), as the front keeps
  // it; per slot, the best of that complexity offset (see above).
  using Best = LevelBest;
  static constexpr std::size_t kSlots = 3;
  using Bests = std::array<std::optional<Best>, kSlots>;
  const std::optional<Best>& best() const { return bests_[0]; }
  const Bests& bests() const { return bests_; }

  // For moving a tally between processes: rebuilds one from its parts.
  static LevelTally from_parts(std::size_t beam_width, std::size_t scored, std::size_t offered,
                               std::vector<BeamStore::Kept> kept, Bests bests);
  std::size_t offered() const { return store_.offered(); }

 private:
  void offer_best(std::size_t slot, std::size_t id, double error, const Expression& e);

  BeamStore store_;
  std::size_t scored_ = 0;
  std::size_t abandoned_ = 0;
  Bests bests_;
};

// How score_range works through its range.
struct RangeOptions {
  // Candidates per chunk at most (0 counts as 1); with `timed`, chunks are
  // sized to take about 50 ms each, within that bound, so that the stop
  // check runs often whatever a candidate costs. The outcome is the same
  // for any chunk size.
  std::size_t max_chunk = 16384;
  bool timed = false;
  LevelProgress* progress = nullptr;          // ticked by the workers
  std::vector<Expression>* kept = nullptr;   // receives every built candidate, in order
  // Asked on the calling thread before each chunk; true ends the range.
  std::function<bool()> should_stop;
  // Told on the calling thread how many candidates of the range are folded.
  std::function<void(std::size_t)> folded;
};

// `decode(first, n, out)` puts the recipes of candidates [first, first + n)
// into `out`.
using RecipeSource = std::function<void(std::size_t, std::size_t, std::vector<Recipe>&)>;

// Scores candidates [first, first + count) a chunk at a time on the workers
// of the calling thread's arena, while the calling thread folds the chunk
// before into `tally`, in candidate order: the tally is that of folding the
// candidates one by one. False when should_stop ended the range early (the
// tally then holds every chunk scored).
bool score_range(const LevelScorer& scorer, const RecipeSource& decode, std::size_t first, std::size_t count,
                 LevelTally& tally, const RangeOptions& options);

}  // namespace vok
