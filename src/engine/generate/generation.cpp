// Candidate generation: children, their admission, and recipe lists.
#include "engine/generate/generation.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <string_view>

#include "infra/pool.hpp"

namespace vok {

namespace {

struct OperatorChoice {
  std::uint64_t id;
  std::string_view name;
  bool commutative;
  std::size_t position;  // among all operators of its arity: a recipe's op
};

// The operators of `arity` that a pass applies, ascending by id: all of
// them but those of `disabled`.
std::vector<OperatorChoice> operators_of_arity(const OperatorRegistry& registry, std::uint8_t arity,
                                               std::uint64_t disabled) {
  std::vector<OperatorChoice> out;
  const std::vector<std::uint64_t> ids = registry.ids_by_arity(arity);
  for (std::size_t position = 0; position < ids.size(); ++position) {
    const std::uint64_t id = ids[position];
    if (operator_disabled(disabled, id)) continue;
    const OperatorMeta& meta = registry.meta()[id];
    out.push_back({id, meta.name, meta.is_commutative, position});
  }
  return out;
}

// Keeps `e` in `out` when it has a fingerprint that no earlier pass admitted.
// What a binary pass skips for the pair (left, right), in both ways of
// generating a level: a pair whose parameters would not fit num_params (8
// bits wide: the sum must never wrap), and, under a commutative operator,
// the mirror image of a pair of operands from one level (the pair in
// formula order is kept).
struct PairRule {
  bool skipped;
  bool mirrored;
  bool skips(const OperatorChoice& op) const { return skipped || (mirrored && op.commutative); }
};
PairRule pair_rule(const Expression& left, const Expression& right, bool same_size) {
  return {std::size_t{left.num_params} + right.num_params > kMaxParams, same_size && left.formula > right.formula};
}

void offer_child(Expression e, OperatorList ops, const FingerprintSet& seen, std::vector<Child>& out) {
  auto fp = fingerprint(e, ops);
  if (!fp || seen.contains(*fp)) return;
  out.push_back({std::move(e), *fp});
}

template <class T>
std::vector<T> flatten(std::vector<std::vector<T>> groups) {
  std::size_t total = 0;
  for (const auto& g : groups) total += g.size();
  std::vector<T> out;
  out.reserve(total);
  for (auto& g : groups) {
    for (auto& c : g) out.push_back(std::move(c));
    g = {};
  }
  return out;
}

// A child of the probe-value path that no earlier pass admitted, with the
// digest that admission will test.
struct Pending {
  Recipe recipe;
  FingerprintDigest digest;
};

// Keeps the child whose probe values are `child` when they give a
// fingerprint that no earlier pass admitted.
void offer_probes(const ProbeValues& child, std::size_t ok_lanes, const Recipe& recipe,
                  const FingerprintSet& seen, std::vector<Pending>& out) {
  if (ok_lanes != kProbeCount) return;
  const auto fp = fingerprint_from_probe_columns(child.values());
  if (!fp) return;
  const FingerprintDigest d = fingerprint_digest(*fp);
  if (seen.contains(d)) return;
  out.push_back({recipe, d});
}

std::vector<Recipe> admit_recipes(std::vector<Pending> pending, FingerprintSet& seen) {
  std::vector<FingerprintDigest> digests;
  digests.reserve(pending.size());
  for (const Pending& p : pending) digests.push_back(p.digest);
  const std::vector<char> admitted = seen.insert_ordered(digests);
  std::vector<Recipe> out;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    if (admitted[i]) out.push_back(pending[i].recipe);
  }
  return out;
}

template <class T>
void append(std::vector<T>& out, std::vector<T> more) {
  if (out.empty()) {
    out = std::move(more);
    return;
  }
  // insert grows the capacity geometrically; an exact reserve per chunk
  // would copy the whole list again for every chunk.
  out.insert(out.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
}

}  // namespace

bool admit_candidate(const Expression& candidate, const OperatorRegistry& registry,
                     FingerprintSet& seen) {
  const auto fp = fingerprint(candidate, registry.operators());
  return fp && seen.insert(*fp);
}

std::vector<Child> unary_children(std::span<const Expression> parents,
                                  const OperatorRegistry& registry, const FingerprintSet& seen,
                                  std::uint64_t disabled, const DimensionRules* units) {
  const auto unary = operators_of_arity(registry, 1, disabled);
  const OperatorList ops = registry.operators();
  const std::vector<Dimension> dims = units != nullptr ? units->of_level(parents) : std::vector<Dimension>{};
  return flatten(parallel_map<std::vector<Child>>(parents.size(), [&](std::size_t i) {
    std::vector<Child> out;
    for (const OperatorChoice& u : unary) {
      if (units != nullptr && !units->unary(u.id, dims[i])) continue;
      offer_child(compose_unary(u.id, u.name, parents[i]), ops, seen, out);
    }
    return out;
  }));
}

std::vector<Child> binary_children(std::span<const Expression> lefts,
                                   std::span<const Expression> rights, bool same_size,
                                   const OperatorRegistry& registry, const FingerprintSet& seen,
                                   std::uint64_t disabled, const DimensionRules* units) {
  const auto binary = operators_of_arity(registry, 2, disabled);
  const OperatorList ops = registry.operators();
  const std::vector<Dimension> left_dims = units != nullptr ? units->of_level(lefts) : std::vector<Dimension>{};
  const std::vector<Dimension> right_dims = units != nullptr ? units->of_level(rights) : std::vector<Dimension>{};
  return flatten(parallel_map<std::vector<Child>>(lefts.size(), [&](std::size_t i) {
    std::vector<Child> out;
    const Expression& left = lefts[i];
    for (std::size_t r = 0; r < rights.size(); ++r) {
      const Expression& right = rights[r];
      const PairRule rule = pair_rule(left, right, same_size);
      if (rule.skipped) continue;
      for (const OperatorChoice& b : binary) {
        if (rule.skips(b)) continue;
        if (units != nullptr && !units->binary(b.id, left_dims[i], right_dims[r])) continue;
        offer_child(compose_binary(b.id, b.name, left, right), ops, seen, out);
      }
    }
    return out;
  }));
}

std::vector<Expression> admit_in_order(std::vector<Child> children, FingerprintSet& seen) {
  std::vector<const Fingerprint*> fps;
  fps.reserve(children.size());
  for (const Child& c : children) fps.push_back(&c.fingerprint);
  const std::vector<char> admitted = seen.insert_ordered(fps);
  std::vector<Expression> out;
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (admitted[i]) out.push_back(std::move(children[i].expression));
  }
  return out;
}

std::vector<Expression> generate_level(const Levels& levels, std::size_t k,
                                       const OperatorRegistry& registry, FingerprintSet& seen,
                                       std::uint64_t disabled,
                                       const DimensionRules* units) {
  // Each pass is admitted before the next one is generated, so an earlier
  // pass always wins a fingerprint over a later one.
  std::vector<Expression> out = admit_in_order(unary_children(levels[k - 1], registry, seen, disabled, units), seen);
  for (std::size_t i = 1; i + 2 <= k; ++i) {
    const std::size_t j = k - 1 - i;
    append(out, admit_in_order(binary_children(levels[i], levels[j], i == j, registry, seen, disabled, units), seen));
  }
  return out;
}

std::vector<ProbeValues> level_probe_values(std::span<const Expression> level, const KernelTable& table) {
  const ProbeColumns& points = probe_columns();
  ColumnWorkspace ws;
  std::vector<ProbeValues> out(level.size());
  for (std::size_t i = 0; i < level.size(); ++i) {
    const Expression& e = level[i];
    eval_columns(e.tokens, points.views(std::min<std::size_t>(e.num_vars, points.num_vars())),
                 ProbeColumns::kLanes, {}, table, ws, out[i].out());
  }
  return out;
}

bool recipes_fit(const Levels& levels, std::size_t k, const OperatorRegistry& registry) {
  constexpr std::size_t max_index = std::numeric_limits<std::uint32_t>::max();
  constexpr std::size_t max_small = std::numeric_limits<std::uint16_t>::max();
  if (k < 2 || k - 2 > max_small || levels.size() < k) return false;
  for (std::size_t i = 1; i < k; ++i) {
    if (levels[i].size() > max_index) return false;
  }
  return registry.ids_by_arity(1).size() <= max_small + 1 && registry.ids_by_arity(2).size() <= max_small + 1;
}

RecipeList generate_recipes(const Levels& levels, std::span<const std::vector<ProbeValues>> probes,
                            std::size_t k, const OperatorRegistry& registry, const KernelTable& table,
                            FingerprintSet& seen, std::size_t left_chunk, const StopCheck& stop,
                            std::uint64_t disabled, const DimensionRules* units) {
  // The default, 64 left operands against 1000 right ones and six binary
  // operators, is about 400k children per chunk: work enough for every core.
  left_chunk = std::max<std::size_t>(left_chunk, 1);
  const auto unary = operators_of_arity(registry, 1, disabled);
  const auto binary = operators_of_arity(registry, 2, disabled);
  constexpr std::size_t lanes = kProbeCount;

  // The passes and their order are those of generate_level: each is
  // admitted before the next one is generated.
  // With units, the dimension of every retained operand, slot per level.
  std::vector<std::vector<Dimension>> dims;
  if (units != nullptr) {
    dims.resize(k);
    for (std::size_t i = 1; i < k; ++i) dims[i] = units->of_level(levels[i]);
  }

  const std::vector<ProbeValues>& parent_probes = probes[k - 1];
  auto unary_of = [&](std::size_t p) {
    std::vector<Pending> group;
    ProbeValues child;
    for (const OperatorChoice& u : unary) {
      if (units != nullptr && !units->unary(u.id, dims[k - 1][p])) continue;
      const std::size_t ok = compose_unary_values(u.id, table, lanes, parent_probes[p].values(), child.out());
      offer_probes(child, ok, {static_cast<std::uint32_t>(p), 0, 0, static_cast<std::uint16_t>(u.position)}, seen,
                   group);
    }
    return group;
  };
  RecipeList out(levels, k, registry.ids_by_arity(1).size(), registry.ids_by_arity(2).size());
  const auto append_to_out = [&](const std::vector<Recipe>& admitted) {
    for (const Recipe& r : admitted) out.push_back(r);
  };
  append_to_out(admit_recipes(flatten(parallel_map<std::vector<Pending>>(parent_probes.size(), unary_of)), seen));

  const auto stopped = [&] { return stop && stop(); };
  for (std::size_t i = 1; i + 2 <= k; ++i) {
    if (stopped()) return out;
    const std::size_t j = k - 1 - i;
    const std::vector<Expression>& lefts = levels[i];
    const std::vector<Expression>& rights = levels[j];
    const std::vector<ProbeValues>& left_probes = probes[i];
    const std::vector<ProbeValues>& right_probes = probes[j];
    const bool same_size = i == j;
    const auto split = static_cast<std::uint16_t>(i);
    auto children_of = [&](std::size_t l) {
      std::vector<Pending> group;
      ProbeValues child;
      const Expression& left = lefts[l];
      for (std::size_t r = 0; r < rights.size(); ++r) {
        const PairRule rule = pair_rule(left, rights[r], same_size);
        if (rule.skipped) continue;
        for (const OperatorChoice& b : binary) {
          if (rule.skips(b)) continue;
          if (units != nullptr && !units->binary(b.id, dims[i][l], dims[j][r])) continue;
          const std::size_t ok = compose_binary_values(b.id, table, lanes, left_probes[l].values(),
                                                       right_probes[r].values(), child.out());
          const Recipe recipe{static_cast<std::uint32_t>(l), static_cast<std::uint32_t>(r), split,
                              static_cast<std::uint16_t>(b.position)};
          offer_probes(child, ok, recipe, seen, group);
        }
      }
      return group;
    };
    // A pass is admitted in chunks of left operands, so that its pending
    // children do not grow with the pass. The admissions are those of the
    // whole pass at once: a child that an earlier chunk's admission now
    // filters out would have lost to that earlier child anyway.
    for (std::size_t first = 0; first < lefts.size(); first += left_chunk) {
      if (first != 0 && stopped()) return out;
      const std::size_t n = std::min(left_chunk, lefts.size() - first);
      auto chunk = parallel_map<std::vector<Pending>>(n, [&](std::size_t d) { return children_of(first + d); });
      append_to_out(admit_recipes(flatten(std::move(chunk)), seen));
    }
  }
  return out;
}

CandidateBuilder::CandidateBuilder(const Levels& levels, std::size_t k, const OperatorRegistry& registry)
    : levels_(levels), k_(k) {
  // Every operator: a recipe's op counts them all, whatever the set.
  for (const OperatorChoice& c : operators_of_arity(registry, 1, 0)) unary_.push_back({c.id, c.name});
  for (const OperatorChoice& c : operators_of_arity(registry, 2, 0)) binary_.push_back({c.id, c.name});
}

Expression CandidateBuilder::operator()(const Recipe& r) const {
  if (r.split == 0) {
    const Op& u = unary_[r.op];
    return compose_unary(u.id, u.name, levels_[k_ - 1][r.left]);
  }
  const Op& b = binary_[r.op];
  return compose_binary(b.id, b.name, levels_[r.split][r.left], levels_[k_ - 1 - r.split][r.right]);
}

}  // namespace vok
