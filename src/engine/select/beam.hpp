#pragma once

// Which of a level's scored candidates the beam keeps.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/expression.hpp"
#include "engine/select/scored_candidate.hpp"

namespace vok {

// The split of the beam: elite = trunc(double(beam_width) * 0.8), the rest
// goes to structurally rare candidates.
struct BeamQuota {
  std::size_t elite_count = 0;
  std::size_t diversity_quota = 0;
};
BeamQuota beam_quota(std::size_t beam_width);

// The operator ids of the Apply tokens in token order, joined by "-";
// empty for a leaf.
std::string operator_signature(const Expression& e);

// Ascending score with NaN last, so that a NaN complexity penalty still gives
// a strict weak order (std::sort and std::stable_sort need one).
inline bool score_less(double a, double b) {
  if (a != a) return false;
  if (b != b) return true;
  return a < b;
}

// Reduces a scored level to its retained expressions: the elite by ascending
// score, then the diversity picks (rarest elite signature first, then score).
// Equal scores keep generation order, so the outcome is deterministic.
[[nodiscard]] std::vector<Expression> select_beam(std::vector<ScoredCandidate> scored, std::size_t beam_width,
                                    std::size_t elite_count, std::size_t diversity_quota);

// Folds a level's scored candidates, offered one by one in generation order
// (a chunk at a time), into what select_beam needs, so that a level never
// holds all of its scored expressions at once.
//
// Rank candidates by (score, generation id), the order of select_beam's
// stable sort. Three bounds keep the store small and the selection exact:
//  - The threshold. Let tau be the beam_width-th best among the best
//    candidates of each operator signature. A candidate ranked after tau is
//    never retained: it has beam_width predecessors, so it is not in the
//    elite; among the bests of the other beam_width - 1 signatures before
//    it, those absent from the elite (key 0 in the diversity order) number
//    at least diversity_quota - 1 + (its own signature's elite count), and
//    when that count is 0 its own signature's best is one more such rival.
//    Either way diversity_quota candidates precede it in the diversity order.
//    So only the signatures of the best beam_width bests are tracked, and a
//    signature that drops out of them is forgotten with all its records.
//  - Records (score, id, signature; no expression) are kept per signature
//    for its best beam_width only. A candidate with beam_width candidates of
//    its own signature ranked before it is never retained: it is not in the
//    elite (it has at least elite_count predecessors), and at least
//    diversity_quota of those predecessors are in the rest, where they share
//    its signature count and precede it in the diversity order.
//  - Expressions are held only for the best beam_width candidates so far.
//    The final elite is among them (a candidate in the final top beam_width
//    was in the running top ever since it arrived), so only diversity picks
//    can lack their expression, at most diversity_quota of them; the caller
//    rebuilds and re-scores those (scoring is pure, so the result is the
//    same expression, refined constants included).
// tau only improves as candidates arrive, so a record behind it stays
// useless; the store sweeps such records out whenever its count doubles.
// Not thread-safe: one driver thread feeds it.
class BeamStore {
 public:
  explicit BeamStore(std::size_t beam_width) : beam_width_(beam_width) {}

  // The next scored candidate; ids must increase (its position in the
  // level's candidate list).
  void add(std::size_t id, Expression e, double score);
  // The same with its operator signature computed by the caller. Without an
  // expression the candidate is recorded but not held (a diversity pick
  // that lacks one is rebuilt by the caller, as after select()).
  void add(std::size_t id, std::string signature, double score, std::optional<Expression> e);
  // Counts `n` candidates offered and dropped elsewhere, ranked behind the
  // threshold there (see below).
  void note_offered(std::size_t n) { offered_ += n; }

  // The rank every later candidate must beat to be recorded at all: ranks
  // at or behind it are dropped on arrival. Only ever moves forward, so a
  // copy taken earlier stays a valid (looser) bound; thread-safe to read
  // once copied.
  struct Threshold {
    bool set = false;  // unset: every candidate is recorded
    double score = 0.0;
    std::size_t id = 0;
    // Whether a candidate with `score` and a larger id than any offered
    // so far is dropped on arrival.
    bool drops(double candidate_score) const;
  };
  Threshold threshold() const;

  // A recorded candidate that can still be retained, with its expression
  // when the store holds it; in id order. For moving a store's content to
  // another process, where adding them in id order (with note_offered for
  // the rest) rebuilds a store that selects the same beam.
  struct Kept {
    std::size_t id;
    double score;
    std::string signature;
    std::optional<Expression> expression;
  };
  std::vector<Kept> kept_records() const;
  std::size_t offered() const { return offered_; }
  std::size_t beam_width() const { return beam_width_; }
  // Records alive (not yet swept out) and expressions held.
  std::size_t kept() const { return kept_; }
  std::size_t held() const { return best_.size(); }
  // Signatures tracked; at most beam_width.
  std::size_t signatures() const { return top_.size(); }

  struct Pick {
    std::size_t id;
    std::optional<Expression> expression;  // empty when no longer held
  };
  // select_beam over every candidate offered so far (the whole-list
  // shortcut decided by their full number), in beam order. Empties the store.
  std::vector<Pick> select(std::size_t elite_count, std::size_t diversity_quota);

 private:
  struct Record {
    double score;
    std::size_t id;
    std::uint32_t signature;
  };
  struct Held {
    double score;
    std::size_t id;
    Expression expression;
  };
  struct Slot {
    std::string signature;
    std::vector<Record> records;  // a heap, worst in front
    Record best{};
  };
  struct RanksBefore {
    bool operator()(const Record& a, const Record& b) const;
  };

  bool behind_threshold(const Record& r) const;
  void forget(std::uint32_t slot);
  void sweep();

  std::size_t beam_width_;
  std::size_t offered_ = 0;
  std::size_t kept_ = 0;
  std::size_t sweep_at_ = 0;
  std::unordered_map<std::string, std::uint32_t> signature_ids_;
  std::vector<Slot> slots_;
  std::vector<std::uint32_t> free_slots_;
  std::set<Record, RanksBefore> top_;  // each tracked signature's best
  std::vector<Held> best_;             // a heap, worst in front
};

}  // namespace vok
