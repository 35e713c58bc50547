#include "engine/generation.hpp"

#include <cstdint>
#include <string_view>

#include "engine/pool.hpp"

namespace vok {

namespace {

struct OperatorChoice {
  std::uint64_t id;
  std::string_view name;
  bool commutative;
};

std::vector<OperatorChoice> operators_of_arity(const OperatorRegistry& registry, std::uint8_t arity) {
  std::vector<OperatorChoice> out;
  for (std::uint64_t id : registry.ids_by_arity(arity)) {
    const OperatorMeta& meta = registry.meta()[id];
    out.push_back({id, meta.name, meta.is_commutative});
  }
  return out;
}

// Keeps `e` in `out` when it has a fingerprint that no earlier pass admitted.
void offer_child(Expression e, OperatorList ops, const FingerprintSet& seen, std::vector<Child>& out) {
  auto fp = fingerprint(e, ops);
  if (!fp || seen.contains(*fp)) return;
  out.push_back({std::move(e), *fp});
}

std::vector<Child> flatten(std::vector<std::vector<Child>> groups) {
  std::size_t total = 0;
  for (const auto& g : groups) total += g.size();
  std::vector<Child> out;
  out.reserve(total);
  for (auto& g : groups) {
    for (auto& c : g) out.push_back(std::move(c));
    g = {};
  }
  return out;
}

}  // namespace

bool admit_candidate(const Expression& candidate, const OperatorRegistry& registry,
                     FingerprintSet& seen) {
  const auto fp = fingerprint(candidate, registry.operators());
  return fp && seen.insert(*fp);
}

std::vector<Child> unary_children(std::span<const Expression> parents,
                                  const OperatorRegistry& registry, const FingerprintSet& seen) {
  const auto unary = operators_of_arity(registry, 1);
  const OperatorList ops = registry.operators();
  return flatten(parallel_map<std::vector<Child>>(parents.size(), [&](std::size_t i) {
    std::vector<Child> out;
    for (const OperatorChoice& u : unary) offer_child(compose_unary(u.id, u.name, parents[i]), ops, seen, out);
    return out;
  }));
}

std::vector<Child> binary_children(std::span<const Expression> lefts,
                                   std::span<const Expression> rights, bool same_size,
                                   const OperatorRegistry& registry, const FingerprintSet& seen) {
  const auto binary = operators_of_arity(registry, 2);
  const OperatorList ops = registry.operators();
  return flatten(parallel_map<std::vector<Child>>(lefts.size(), [&](std::size_t i) {
    std::vector<Child> out;
    const Expression& left = lefts[i];
    for (const Expression& right : rights) {
      // num_params is 8 bits wide: never let the sum wrap.
      if (std::size_t{left.num_params} + right.num_params > kMaxParams) continue;
      const bool mirrored = same_size && left.formula > right.formula;
      for (const OperatorChoice& b : binary) {
        if (b.commutative && mirrored) continue;
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
                                       const OperatorRegistry& registry, FingerprintSet& seen) {
  // Each pass is admitted before the next one is generated, so an earlier
  // pass always wins a fingerprint over a later one.
  std::vector<Expression> out = admit_in_order(unary_children(levels[k - 1], registry, seen), seen);
  for (std::size_t i = 1; i + 2 <= k; ++i) {
    const std::size_t j = k - 1 - i;
    auto split = admit_in_order(binary_children(levels[i], levels[j], i == j, registry, seen), seen);
    out.reserve(out.size() + split.size());
    for (auto& e : split) out.push_back(std::move(e));
  }
  return out;
}

}  // namespace vok
