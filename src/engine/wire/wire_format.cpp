// The settings in the byte layout of the wire and checkpoint formats.
#include "engine/wire/wire_format.hpp"

#include <optional>
#include <utility>

namespace vok::wire {

namespace {

// A search's units: a flag, then the input columns' exponents, the
// target's (behind a flag) and the constants' rule.
void put_units(Writer& w, const std::optional<UnitSettings>& units) {
  w.put<std::uint8_t>(units ? 1 : 0);
  if (!units) return;
  const auto put_exponents = [&](const Exponents& e) {
    for (const std::int32_t x : e) w.put<std::int32_t>(x);
  };
  w.put_size(units->inputs.size());
  for (const Exponents& e : units->inputs) put_exponents(e);
  w.put<std::uint8_t>(units->target ? 1 : 0);
  if (units->target) put_exponents(*units->target);
  w.put<std::uint8_t>(static_cast<std::uint8_t>(units->constants));
}

bool get_units(Reader& r, std::optional<UnitSettings>& units) {
  const auto get_exponents = [&](Exponents& e) {
    for (std::int32_t& x : e) {
      if (!r.get(x)) return false;
    }
    return true;
  };
  std::uint8_t has = 0;
  if (!r.get(has) || has > 1) return false;
  if (has == 0) return true;
  UnitSettings u;
  std::size_t n = 0;
  if (!r.get_size(n, kMaxVariables)) return false;
  u.inputs.resize(n);
  for (Exponents& e : u.inputs) {
    if (!get_exponents(e)) return false;
  }
  std::uint8_t has_target = 0;
  std::uint8_t constants = 0;
  if (!r.get(has_target) || has_target > 1) return false;
  if (has_target != 0 && !get_exponents(u.target.emplace())) return false;
  if (!r.get(constants) || constants > static_cast<std::uint8_t>(ConstantUnits::Free)) return false;
  u.constants = static_cast<ConstantUnits>(constants);
  units = std::move(u);
  return true;
}

}  // namespace

void put_config(Writer& w, const SearchConfig& c) {
  w.put_size(c.max_complexity);
  w.put<double>(c.complexity_penalty);
  w.put_size(c.beam_width);
  w.put<double>(c.alpha);
  w.put<double>(c.l1_ratio);
  w.put<double>(c.early_exit_threshold);
  w.put<std::uint8_t>(c.exhaustive ? 1 : 0);
  w.put<std::uint8_t>(c.optimize_constants ? 1 : 0);
  w.put<std::uint8_t>(static_cast<std::uint8_t>(c.eval_path));
  w.put<std::uint8_t>(static_cast<std::uint8_t>(c.ranking));
  w.put<std::uint8_t>(static_cast<std::uint8_t>(c.leaf_constants));
  w.put<std::uint8_t>(c.output_scaling ? 1 : 0);
  w.put_size(c.candidate_chunk);
  w.put_size(c.sample_column_budget);
  w.put<std::uint64_t>(c.disabled_operators);
  put_units(w, c.units);
  w.put_size(c.scaling_headroom);
  w.put<double>(c.screen_factor);
  w.put<std::uint8_t>(c.refine.coupled ? 1 : 0);
  w.put<std::int32_t>(c.refine.rejections);
}

bool get_config(Reader& r, SearchConfig& c) {
  constexpr std::size_t any = ~std::size_t{0};
  std::uint8_t exhaustive = 0, optimize = 0, path = 0, ranking = 0, leaves = 0, scaling = 0, coupled = 0;
  if (!r.get_size(c.max_complexity, any) || !r.get(c.complexity_penalty) || !r.get_size(c.beam_width, any) ||
      !r.get(c.alpha) || !r.get(c.l1_ratio) || !r.get(c.early_exit_threshold) || !r.get(exhaustive) ||
      !r.get(optimize) || !r.get(path) || !r.get(ranking) || !r.get(leaves) || !r.get(scaling) ||
      !r.get_size(c.candidate_chunk, any) || !r.get_size(c.sample_column_budget, any) || !r.get(c.disabled_operators) ||
      !get_units(r, c.units) || !r.get_size(c.scaling_headroom, any) || !r.get(c.screen_factor) ||
      !r.get(coupled) || coupled > 1 || !r.get(c.refine.rejections)) {
    return false;
  }
  // Workers score on the column path only.
  if (exhaustive > 1 || optimize > 1 || path != static_cast<std::uint8_t>(EvalPath::Fast) || ranking > 1 ||
      leaves > 2 || scaling > 1) {
    return false;
  }
  c.output_scaling = scaling != 0;
  c.refine.coupled = coupled != 0;
  c.exhaustive = exhaustive != 0;
  c.optimize_constants = optimize != 0;
  c.eval_path = EvalPath::Fast;
  c.ranking = static_cast<Ranking>(ranking);
  c.leaf_constants = static_cast<LeafConstants>(leaves);
  return true;
}

}  // namespace vok::wire
