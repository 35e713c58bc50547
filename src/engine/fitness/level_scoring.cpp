// Scoring a level's candidates from their recipes, and what a range of them leaves behind.
#include "engine/fitness/level_scoring.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include "engine/fitness/scaling.hpp"
#include "engine/fitness/scoring.hpp"
#include "engine/refine/optimizer.hpp"
#include "engine/refine/penalty.hpp"
#include "infra/pool.hpp"

namespace vok {

namespace {

// The tally slot of a rescaling: its complexity offset over the level / 2.
std::size_t slot_of(ScaledKind kind) { return scaled_extra_tokens(kind) / 2; }

// The screen's verdict on a candidate it doubts, with real parts `f` at its
// starting constants: the first step's model on its moved columns, from
// `composed` (the level's, one per parameter, with `im` the imaginary parts
// at the start) where they are at hand, else evaluated. A moved column
// without a value leaves the doubt standing.
bool dropped_by_screen(const Expression& e, std::span<const double> f, const double* im,
                       std::span<const ColumnValues> composed, const SampleSet& samples, const SearchConfig& config,
                       const LevelScreen& screen) {
  thread_local std::vector<std::vector<double>> evaluated;
  thread_local std::vector<std::span<const double>> moved;
  const std::size_t n = samples.size();
  if (evaluated.size() < e.num_params) evaluated.resize(e.num_params);
  moved.clear();
  for (std::size_t j = 0; j < e.num_params; ++j) {
    if (composed.size() == e.num_params) {
      const ColumnValues c = composed[j];
      if (!std::all_of(c.ok, c.ok + n, [](std::uint8_t ok) { return ok != 0; })) return true;
      moved.emplace_back(c.re, n);
    } else {
      if (!moved_real_parts(e, samples, j, evaluated[j])) return true;
      moved.emplace_back(evaluated[j]);
    }
  }
  return screened_out(e, f, moved, samples, config, screen, im);
}

enum class Composed { Complete, Failed, Abandoned };

// Composes a parameter-free candidate's values a block at a time, adding up
// its squared residuals as scoring does (sample order), and stops as soon as
// the error so far rules the candidate out. Exact: the terms are
// non-negative, so the rounded partial sums never decrease, and the raw
// error and the penalised score are non-decreasing functions of the sum
// (a division by the count, a fixed penalty, a factor of at least 1); a
// candidate whose partial score and error already fail the bounds would
// fail them with the full ones. A NaN term makes the sum NaN, which fails
// them too (NaN ranks last and never beats the best), as it would at the
// end. Failed: a sample without a usable value, an error that is not
// finite, as scoring would find; Complete: every value composed into `out`.
template <class Compose>
Composed compose_or_abandon(const Expression& e, const Compose& compose, ColumnValues a, ColumnValues b,
                            ColumnOut out, const SampleSet& samples, const SearchConfig& config,
                            const ScoreBounds& bounds) {
  const std::span<const double> targets = samples.targets();
  const double* const weights = samples.weights();
  const std::size_t count = samples.size();
  const double factor = static_cast<double>(e.complexity) * config.complexity_penalty + 1.0;
  const bool monotone = factor >= 1.0 && std::isfinite(factor);
  const auto shifted = [](ColumnValues v, std::size_t by) {
    return v.re == nullptr ? v : ColumnValues{v.re + by, v.im + by, v.ok + by};
  };
  double sum = 0.0;
  for (std::size_t first = 0; first < count; first += kSampleBlock) {
    const std::size_t lanes = std::min(kSampleBlock, count - first);
    const ColumnOut block{out.re + first, out.im + first, out.ok + first};
    if (compose(shifted(a, first), shifted(b, first), block, lanes) != lanes) return Composed::Failed;
    for (std::size_t i = 0; i < lanes; ++i) {
      const double d = block.re[i] - targets[first + i];
      sum += weighted_square(weights, first + i, d);
    }
    if (!monotone || first + lanes >= count) continue;
    const double error = raw_error_from_sum(e, sum, count, config.alpha, config.l1_ratio);
    if (bounds.drops(penalised_score(error, e.complexity, config.complexity_penalty), error)) {
      return Composed::Abandoned;
    }
  }
  return Composed::Complete;
}

}  // namespace

SampleColumns level_columns(std::span<const Expression> level, const SampleSet& samples, const SearchConfig& config,
                            std::size_t budget_left) {
  return SampleColumns(level, samples, config.optimize_constants ? std::optional<double>(kJacobianStep) : std::nullopt,
                       std::min(SampleColumns::kDefaultBudgetBytes, budget_left));
}

LevelScorer::LevelScorer(const Levels& levels, std::span<const SampleColumns> columns, const SampleSet& samples,
                         const SearchConfig& config, std::size_t k, LevelScreen screen)
    : levels_(levels), columns_(columns), samples_(samples), config_(config), k_(k), screen_(screen),
      build_(levels, k, samples.registry()),
      units_(config.units ? std::optional<DimensionRules>(std::in_place, *config.units, samples.registry())
                          : std::nullopt),
      scaling_(offers_rescalings(config) ? ScalingOps::find(samples.registry()) : std::nullopt) {}

std::optional<LevelScorer::Scored> LevelScorer::score(const Recipe& r, const ScoreBounds* bounds,
                                                      bool* abandoned) const {
  Expression e = build_(r);
  const bool unary = r.split == 0;
  const std::size_t k = k_;
  const SampleColumns* left = unary ? &columns_[k - 1] : &columns_[r.split];
  const SampleColumns* right = unary ? nullptr : &columns_[k - 1 - r.split];
  // Affine ranking reads the candidate's real parts on every sample: here
  // when they were composed and scoring kept them as they are (no
  // parameters, every sample usable), else from an evaluation.
  const double* values_re = nullptr;
  ColumnValues composed{};  // every value when values_re is set
  std::optional<ScoredCandidate> scored;
  if (left->empty() || (right != nullptr && right->empty())) {
    if (config_.screen_factor > 0.0 && e.num_params != 0) {
      thread_local std::vector<double> f;
      thread_local std::vector<double> im;
      if (usable_real_parts(e, samples_, f, {}, &im) && screen_doubts(e, f, samples_, config_, screen_) &&
          dropped_by_screen(e, f, im.data(), {}, samples_, config_, screen_)) {
        return std::nullopt;
      }
    }
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
    bool every_sample = false;
    if (e.num_params == 0 && bounds != nullptr && bounds->abandon && config_.ranking == Ranking::Raw &&
        !scaling_) {
      const auto verdict = compose_or_abandon(
          e, [&](ColumnValues x, ColumnValues y, ColumnOut o, std::size_t n) {
            return unary ? compose_unary_values(op, table, n, x, o) : compose_binary_values(op, table, n, x, y, o);
          },
          a, b, out_at(0), samples_, config_, *bounds);
      if (verdict == Composed::Abandoned) {
        if (abandoned != nullptr) *abandoned = true;
        return std::nullopt;
      }
      if (verdict == Composed::Failed) return std::nullopt;
      every_sample = true;
    } else {
      every_sample = compose(a, b, out_at(0)) == lanes;
    }
    if (every_sample && e.num_params == 0) {
      const ColumnOut out = out_at(0);
      values_re = out.re;
      composed = {out.re, out.im, out.ok};
    }
    // A doubted candidate is judged on the perturbed columns that its
    // refinement would start from anyway.
    const bool doubted = every_sample && e.num_params != 0 &&
                         screen_doubts(e, {out_at(0).re, lanes}, samples_, config_, screen_);
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
    if (doubted &&
        dropped_by_screen(e, {out_at(0).re, lanes}, out_at(0).im, scratch.composed_perturbed, samples_, config_,
                          screen_)) {
      return std::nullopt;
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
  // With output scaling the values of a refined candidate are evaluated
  // once, for its rescalings and its affine rank alike.
  ScaledScores scaled{};
  if (scaling_) {
    if (values_re == nullptr && samples_.column_path()) {
      if (const std::optional<ColumnValues> evaluated = usable_column_values(expression, samples_)) {
        composed = *evaluated;
        values_re = composed.re;
      }
    }
  }
  // The rescalings and the affine rank read the values through one set of
  // sums; the plain ones only where a rescaling can use them.
  const bool rescale = scaling_ && any_rescaling_fits(expression, config_);
  std::optional<LineSums> sums;
  if (values_re != nullptr && (rescale || config_.ranking != Ranking::Raw) && samples_.size() >= 2) {
    sums = line_sums({values_re, samples_.size()}, samples_.targets(), samples_.weights(), rescale);
  }
  if (rescale) {
    // A rescaling that cannot beat its slot's best would be dropped by the
    // fold: its floor spares composing it.
    ScaledCeilings ceilings{};
    if (bounds != nullptr) {
      for (std::size_t kind = 0; kind < kScaledKinds; ++kind) {
        const std::size_t slot = slot_of(static_cast<ScaledKind>(kind));
        ceilings[kind] = bounds->has_scaled[slot - 1] ? bounds->scaled_best[slot - 1]
                                                      : std::numeric_limits<double>::infinity();
      }
    }
    scaled = score_rescalings(expression, samples_, config_, *scaling_, values_re != nullptr ? &composed : nullptr,
                              bounds != nullptr ? &ceilings : nullptr, sums ? &*sums : nullptr);
  }
  double rank = score;
  if (config_.ranking != Ranking::Raw) {
    // Without sums: no values at hand (evaluated there), or fewer than two
    // samples (no ranking information, the raw score stands).
    rank = sums ? affine_rank_score(expression, samples_, config_, score, *sums)
                : affine_rank_score(expression, samples_, config_, score);
  }
  const double error = unpenalised_error(score, expression.complexity, config_.complexity_penalty);
  bool front = true;
  if (units_) {
    const std::optional<Dimension> d = units_->of(expression);
    front = d && units_->fits_target(*d);
  }
  // With units, a rescaling is offered only where f itself has the target's
  // dimension (and scaled_fits_search decides whether a b can be added).
  if (!front) scaled = {};
  return Scored{std::move(expression), score, rank, error, front, scaled};
}

namespace {

// The next chunk size of a watched search: about kWatchedChunk of work per
// chunk, growing at most fourfold at a time, within [fewest, max_chunk],
// where `fewest` keeps every thread busy. A watched search starts at
// kFirstWatched candidates (or one per thread): on a million samples one
// candidate with constants takes a tenth of a second or more, so a chunk of
// hundreds would run tens of seconds past a deadline; on small sets the
// chunks reach their 50 ms within a few growth steps.
constexpr std::chrono::milliseconds kWatchedChunk{50};
constexpr std::size_t kFirstWatched = 16;
std::size_t fewest_watched() {
  return static_cast<std::size_t>(std::max(1, current_arena().max_concurrency()));
}
std::size_t next_watched_chunk(std::size_t chunk, std::size_t scored, std::chrono::steady_clock::duration took, std::size_t max_chunk) {
  const double seconds = std::chrono::duration<double>(took).count();
  const double target = std::chrono::duration<double>(kWatchedChunk).count();
  double next = seconds > 0.0 ? static_cast<double>(scored) * target / seconds : 4.0 * static_cast<double>(chunk);
  next = std::min(next, 4.0 * static_cast<double>(chunk));
  const std::size_t lower = std::min(fewest_watched(), max_chunk);
  return std::clamp(static_cast<std::size_t>(next), lower, max_chunk);
}

// A rescaling a worker found able to replace its slot's best.
struct ScaledOffer {
  std::size_t slot;
  double error;
  Expression expression;
};

// One candidate of a scored chunk, as the workers leave it for the fold.
struct ChunkEntry {
  enum class Kind : std::uint8_t { Failed, Dropped, Abandoned, Scored };
  Kind kind = Kind::Failed;
  std::optional<LevelScorer::Scored> scored;
  std::string signature;
  std::vector<ScaledOffer> offers;  // in kind order
};


// A chunk of recipes and its entries, scored or waiting to be folded.
struct Chunk {
  std::size_t first = 0;
  std::vector<Recipe> recipes;
  std::vector<ChunkEntry> entries;
  std::vector<Expression> copies;  // the built candidates, for a trace that keeps them
};

// Scores a chunk on the pool of the arena the caller runs in. A survivor at
// or behind `bounds` is only counted: folding it would change nothing. The
// operator signature is computed here, off the driving thread.
void score_chunk(const LevelScorer& scorer, const LevelTally::Bounds& bounds, LevelProgress* progress, bool keep,
                 Chunk& c) {
  const std::size_t n = c.recipes.size();
  // Several workers count a task's candidates at once, so that they touch
  // the shared counter once per task; one counts each candidate, which
  // prints every percentage as a sequential run does.
  const bool per_candidate =
      tbb::this_task_arena::max_concurrency() == 1 ||
      tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism) == 1;
  // This loop forks from the task that runs it, not from the driver: its
  // own edges.
  detail::ForkJoinEdges edges;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& r) {
    edges.task_begins();
    if (progress != nullptr && !per_candidate) progress->tick(r.size());
    for (std::size_t i = r.begin(); i != r.end(); ++i) {
      if (progress != nullptr && per_candidate) progress->tick(1);
      if (keep) c.copies[i] = scorer.builder()(c.recipes[i]);
      bool abandoned = false;
      auto scored = scorer.score(c.recipes[i], &bounds, &abandoned);
      ChunkEntry& out = c.entries[i];
      if (abandoned) out.kind = ChunkEntry::Kind::Abandoned;
      if (!scored) continue;
      // Only the rescalings that can still replace their slot's best are
      // written out as formulas.
      for (const auto& scaled : scored->scaled) {
        if (!scaled || !bounds.improves(slot_of(scaled->fit.kind), scaled->error)) continue;
        out.offers.push_back(
            {slot_of(scaled->fit.kind), scaled->error, scorer.rescaled(scored->expression, scaled->fit)});
      }
      if (bounds.drops(scored->rank, scored->error)) {
        out.kind = ChunkEntry::Kind::Dropped;
        continue;
      }
      out.kind = ChunkEntry::Kind::Scored;
      out.signature = operator_signature(scored->expression);
      out.scored = std::move(scored);
    }
    edges.task_ends();
  });
}

void fold_chunk(LevelTally& tally, Chunk& c, std::vector<Expression>* kept) {
  for (std::size_t i = 0; i < c.entries.size(); ++i) {
    ChunkEntry& e = c.entries[i];
    if (e.kind == ChunkEntry::Kind::Dropped) {
      tally.fold_dropped();
    } else if (e.kind == ChunkEntry::Kind::Abandoned) {
      tally.fold_abandoned();
    } else if (e.kind == ChunkEntry::Kind::Scored) {
      tally.fold(c.first + i, std::move(*e.scored), std::move(e.signature));
    }
    for (const ScaledOffer& offer : e.offers) {
      tally.offer_scaled(c.first + i, offer.slot, offer.error, offer.expression);
    }
  }
  if (kept != nullptr) {
    for (auto& e : c.copies) kept->push_back(std::move(e));
  }
  c.entries.clear();
  c.copies.clear();
}

}  // namespace

LevelTally::Bounds LevelTally::bounds() const {
  Bounds b;
  b.beam = store_.threshold();
  if (bests_[0]) {
    b.has_best = true;
    b.best_error = bests_[0]->error;
  }
  for (std::size_t slot = 1; slot < kSlots; ++slot) {
    if (!bests_[slot]) continue;
    b.has_scaled[slot - 1] = true;
    b.scaled_best[slot - 1] = bests_[slot]->error;
  }
  // Only counted survivors: an abandoned candidate is not known to be one.
  b.abandon = b.beam.set && b.has_best && scored_ > store_.beam_width();
  return b;
}

void LevelTally::offer_best(std::size_t slot, std::size_t id, double error, const Expression& e) {
  // The front's rule: the first offer stays unless a later one is strictly
  // better (a NaN on either side keeps it).
  std::optional<Best>& best = bests_[slot];
  if (best && !(best->error > error)) return;
  best = Best{id, error, e};
}

void LevelTally::fold(std::size_t id, LevelScorer::Scored scored, std::optional<std::string> signature) {
  ++scored_;
  if (scored.front) offer_best(0, id, scored.error, scored.expression);
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
// The bests: with no NaN errors (survivors and the rescalings offered have
// finite ones), folding the later range's offers to a slot one by one
// after this one's ends at this best unless the later best is strictly
// better, which is what offer_best decides; the slots are independent.
void LevelTally::merge(LevelTally&& later) {
  scored_ += later.scored_;
  abandoned_ += later.abandoned_;
  std::vector<BeamStore::Kept> kept = later.store_.kept_records();
  store_.note_offered(later.store_.offered() - kept.size());
  for (auto& r : kept) store_.add(r.id, std::move(r.signature), r.score, std::move(r.expression));
  for (std::size_t slot = 0; slot < kSlots; ++slot) {
    const std::optional<Best>& best = later.bests_[slot];
    if (best) offer_best(slot, best->id, best->error, best->expression);
  }
}

LevelTally LevelTally::from_parts(std::size_t beam_width, std::size_t scored, std::size_t offered,
                                  std::vector<BeamStore::Kept> kept, Bests bests) {
  LevelTally t(beam_width);
  t.scored_ = scored;
  t.store_.note_offered(offered - kept.size());
  for (auto& r : kept) t.store_.add(r.id, std::move(r.signature), r.score, std::move(r.expression));
  t.bests_ = std::move(bests);
  return t;
}


bool score_range(const LevelScorer& scorer, const RecipeSource& decode, std::size_t first, std::size_t count,
                 LevelTally& tally, const RangeOptions& options) {
  using Clock = std::chrono::steady_clock;
  const std::size_t max_chunk = std::max<std::size_t>(1, options.max_chunk);
  std::size_t chunk = options.timed ? std::min(max_chunk, std::max(kFirstWatched, fewest_watched())) : max_chunk;
  const bool keep = options.kept != nullptr;
  const std::size_t end = first + count;
  Chunk scoring;
  Chunk folding;
  bool pending = false;  // `folding` holds a scored chunk
  bool stopped = false;
  for (std::size_t next = first;;) {
    stopped = options.should_stop && options.should_stop();
    const bool more = !stopped && next < end;
    const Clock::time_point chunk_clock = Clock::now();
    if (more) {
      // The chunk is made ready here, before the pass forks: its tasks only
      // fill in their own entries.
      scoring.first = next;
      decode(next, std::min(chunk, end - next), scoring.recipes);
      scoring.entries.assign(scoring.recipes.size(), ChunkEntry{});
      if (keep) scoring.copies.assign(scoring.recipes.size(), Expression{});
    }
    if (!more && !pending) break;
    const LevelTally::Bounds bounds = tally.bounds();
    {
      // Parallel time is the scoring's: a fold that outlasts it is the
      // calling thread's alone.
      const Clock::time_point launched = Clock::now();
      Clock::time_point scored = launched;
      {
        // The group's task takes the fork edge; the driver takes the join
        // edge before reading `scored`.
        detail::ForkJoinEdges edges;
        current_arena().execute([&] {
          tbb::task_group group;
          if (more) {
            group.run([&] {
              edges.task_begins();
              score_chunk(scorer, bounds, options.progress, keep, scoring);
              scored = Clock::now();
              edges.task_ends();
            });
          }
          if (pending) fold_chunk(tally, folding, options.kept);
          group.wait();
        });
      }
      PassClock::add(scored - launched);
    }
    if (pending && options.folded) options.folded(folding.first + folding.recipes.size() - first);
    pending = more;
    if (!more) break;
    const std::size_t n = scoring.recipes.size();
    std::swap(scoring, folding);
    next += n;
    if (options.timed) chunk = next_watched_chunk(chunk, n, Clock::now() - chunk_clock, max_chunk);
  }
  return !stopped;
}

}  // namespace vok
