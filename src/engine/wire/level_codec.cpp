// The bytes in which a level's scoring travels between processes: what a worker needs, and what a range leaves behind.
#include "engine/wire/level_codec.hpp"

#include <cmath>
#include <cstring>
#include <utility>

#include "ops/registry.hpp"

namespace vok {

namespace {

// Tags at the start of each kind of bytes, so that one is never read as the
// other; the version changes with the layout.
constexpr std::uint32_t kPayloadTag = 0x564b5033;  // "VKP3"
// A payload whose samples carry weights: the weights follow the targets.
// Its own tag, so that an unweighted payload is the same bytes as ever.
constexpr std::uint32_t kWeightedPayloadTag = 0x564b5733;  // "VKW3"
constexpr std::uint32_t kSummaryTag = 0x564b5332;  // "VKS2"

class Writer {
 public:
  template <class T>
  void put(T v) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &v, sizeof(T));
    out_.append(bytes, sizeof(T));
  }
  void put_size(std::size_t v) { put<std::uint64_t>(v); }
  void put_text(std::string_view t) {
    put_size(t.size());
    out_.append(t);
  }
  void put_expression(const Expression& e) {
    put_size(e.tokens.size());
    for (const Token& t : e.tokens) {
      put<std::uint8_t>(static_cast<std::uint8_t>(t.kind));
      put<std::uint8_t>(t.index);
      put<std::uint64_t>(t.op);
      put<double>(t.value.re);
      put<double>(t.value.im);
    }
    put_text(e.formula);
    put_size(e.complexity);
    put<std::uint8_t>(e.num_vars);
    put<std::uint8_t>(e.num_params);
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

// Reads what Writer wrote; every read fails (and keeps failing) past the end.
class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}

  template <class T>
  bool get(T& v) {
    if (in_.size() - at_ < sizeof(T)) return fail();
    std::memcpy(&v, in_.data() + at_, sizeof(T));
    at_ += sizeof(T);
    return true;
  }
  bool get_size(std::size_t& v, std::size_t most) {
    std::uint64_t raw = 0;
    if (!get(raw) || raw > most) return fail();
    v = static_cast<std::size_t>(raw);
    return true;
  }
  bool get_text(std::string& t) {
    std::uint64_t n = 0;
    // The length bounded by what follows it: never a read past the end.
    if (!get(n) || n > in_.size() - at_) return fail();
    t.assign(in_.data() + at_, static_cast<std::size_t>(n));
    at_ += n;
    return true;
  }
  // An expression that is a well-formed program of the registry's
  // operators over `num_vars` variables, applying none of `disabled`.
  bool get_expression(Expression& e, const OperatorRegistry& registry, std::size_t num_vars,
                      std::uint64_t disabled = 0) {
    std::size_t n = 0;
    // A token takes 26 bytes: a count beyond the rest is corrupt.
    if (!get_size(n, (in_.size() - at_) / 26)) return false;
    e.tokens.resize(n);
    std::size_t depth = 0;
    std::size_t params = 0;
    for (Token& t : e.tokens) {
      std::uint8_t kind = 0;
      if (!get(kind) || !get(t.index) || !get(t.op) || !get(t.value.re) || !get(t.value.im)) return false;
      if (kind > static_cast<std::uint8_t>(TokenKind::Apply)) return fail();
      t.kind = static_cast<TokenKind>(kind);
      switch (t.kind) {
        case TokenKind::Variable:
          if (t.index >= num_vars) return fail();
          break;
        case TokenKind::Parameter:
          if (t.index != params++) return fail();
          break;
        case TokenKind::Constant:
          if (t.op >= registry.size() || registry.meta()[t.op].arity != 0) return fail();
          break;
        case TokenKind::Apply:
          if (t.op >= registry.size() || registry.meta()[t.op].arity != t.index || t.index == 0 || depth < t.index ||
              operator_disabled(disabled, t.op)) {
            return fail();
          }
          depth -= t.index;
          break;
        case TokenKind::Literal:
          break;
      }
      ++depth;
    }
    if (n == 0 || depth != 1) return fail();
    std::size_t complexity = 0;
    if (!get_text(e.formula) || !get_size(complexity, n) || !get(e.num_vars) || !get(e.num_params)) return false;
    if (complexity != n || e.num_params != params || e.num_vars > num_vars) return fail();
    e.complexity = complexity;
    return true;
  }
  bool done() const { return ok_ && at_ == in_.size(); }
  bool ok() const { return ok_; }
  std::size_t left() const { return in_.size() - at_; }

 private:
  bool fail() {
    ok_ = false;
    at_ = in_.size();
    return false;
  }
  std::string_view in_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

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
  w.put<double>(c.screen_factor);
  w.put<std::uint8_t>(c.refine.coupled ? 1 : 0);
  w.put<std::int32_t>(c.refine.rejections);
  put_units(w, c.units);
}

bool get_config(Reader& r, SearchConfig& c) {
  constexpr std::size_t any = ~std::size_t{0};
  std::uint8_t exhaustive = 0, optimize = 0, path = 0, ranking = 0, leaves = 0, scaling = 0, coupled = 0;
  if (!r.get_size(c.max_complexity, any) || !r.get(c.complexity_penalty) || !r.get_size(c.beam_width, any) ||
      !r.get(c.alpha) || !r.get(c.l1_ratio) || !r.get(c.early_exit_threshold) || !r.get(exhaustive) ||
      !r.get(optimize) || !r.get(path) || !r.get(ranking) || !r.get(leaves) || !r.get(scaling) ||
      !r.get_size(c.candidate_chunk, any) || !r.get_size(c.sample_column_budget, any) || !r.get(c.disabled_operators) ||
      !r.get(c.screen_factor) || !r.get(coupled) || coupled > 1 || !r.get(c.refine.rejections) ||
      !get_units(r, c.units)) {
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

std::size_t count_of(const OperatorRegistry& registry, std::uint8_t arity) { return registry.ids_by_arity(arity).size(); }

SearchError corrupt(const char* what) {
  return SearchError::invalid_input(std::string("Malformed ") + what + " bytes.");
}

}  // namespace

std::string encode_level_payload(std::uint64_t search_id, std::size_t k, const SearchConfig& config,
                                 const SampleSet& samples, const Levels& levels, const LevelScreen& screen) {
  Writer w;
  w.put<std::uint32_t>(samples.weights() != nullptr ? kWeightedPayloadTag : kPayloadTag);
  w.put<std::uint64_t>(search_id);
  w.put_size(k);
  put_config(w, config);
  w.put<double>(screen.rank);
  w.put<double>(screen.error);
  // The dataset as the driver holds it, column after column, then the
  // targets. A set made from complex rows has none and goes without rows,
  // which decode refuses.
  const Dataset* data = samples.dataset();
  const std::size_t rows = data != nullptr ? data->rows() : 0;
  const std::size_t vars = data != nullptr ? data->cols() : 0;
  w.put_size(rows);
  w.put_size(vars);
  for (std::size_t j = 0; j < vars; ++j) {
    for (const double x : data->column(j)) w.put<double>(x);
  }
  if (data != nullptr) {
    for (const double t : data->targets()) w.put<double>(t);
    for (const double x : data->weights()) w.put<double>(x);
  }
  for (std::size_t i = 1; i < k; ++i) {
    w.put_size(levels[i].size());
    for (const Expression& e : levels[i]) w.put_expression(e);
  }
  return w.take();
}

namespace {

// The columns as the driver stores them, level by level within the budget.
std::vector<SampleColumns> stored_columns(const Levels& levels, const SampleSet& samples, const SearchConfig& config,
                                          std::size_t k) {
  std::vector<SampleColumns> columns(k);
  std::size_t budget_left = config.sample_column_budget;
  for (std::size_t i = 1; i < k; ++i) {
    columns[i] = level_columns(levels[i], samples, config, budget_left);
    budget_left -= columns[i].bytes();
  }
  return columns;
}

}  // namespace

LevelWork::LevelWork(std::uint64_t search_id, std::size_t k, SearchConfig config, LevelScreen screen,
                     SampleSet samples, Levels levels)
    : search_id_(search_id), k_(k), config_(config), samples_(std::move(samples)), levels_(std::move(levels)),
      columns_(stored_columns(levels_, samples_, config_, k)),
      numbering_(levels_, k, count_of(samples_.registry(), 1), count_of(samples_.registry(), 2)),
      scorer_(levels_, columns_, samples_, config_, k, screen) {}

Outcome<std::unique_ptr<LevelWork>> LevelWork::decode(std::string_view payload) {
  Reader r(payload);
  std::uint32_t tag = 0;
  std::uint64_t search_id = 0;
  std::size_t k = 0;
  SearchConfig config;
  LevelScreen screen;
  std::size_t rows = 0;
  std::size_t vars = 0;
  if (!r.get(tag) || (tag != kPayloadTag && tag != kWeightedPayloadTag) || !r.get(search_id) ||
      !r.get_size(k, 1u << 16) || k < 2 || !get_config(r, config) || !r.get(screen.rank) || !r.get(screen.error) ||
      !r.get_size(rows, r.left() / 8) || !r.get_size(vars, kMaxVariables) || rows == 0 ||
      r.left() / 8 / rows < vars) {
    return corrupt("level payload");
  }
  std::vector<double> values(rows * vars);
  for (double& x : values) {
    if (!r.get(x)) return corrupt("level payload");
  }
  std::vector<double> targets(rows);
  for (double& t : targets) {
    if (!r.get(t)) return corrupt("level payload");
  }
  std::vector<double> weights(tag == kWeightedPayloadTag ? rows : 0);
  for (double& x : weights) {
    if (!r.get(x) || !std::isfinite(x) || x < 0.0) return corrupt("level payload");
  }
  auto registry = std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins());
  // The retained levels were generated under the payload's operator set:
  // one that applies an operator outside it is corrupt.
  Levels levels(k);
  for (std::size_t i = 1; i < k; ++i) {
    std::size_t n = 0;
    if (!r.get_size(n, r.left() / 26)) return corrupt("level payload");
    levels[i].resize(n);
    for (Expression& e : levels[i]) {
      if (!r.get_expression(e, *registry, vars, config.disabled_operators) || e.complexity != i) {
        return corrupt("level payload");
      }
    }
  }
  if (!r.done() || !recipes_fit(levels, k, *registry)) return corrupt("level payload");
  if (config.units && config.units->inputs.size() != vars) return corrupt("level payload");
  SampleSet samples(Dataset(rows, vars, std::move(values), std::move(targets)).with_weights(std::move(weights)),
                    registry, EvalPath::Fast);
  return std::unique_ptr<LevelWork>(
      new LevelWork(search_id, k, config, screen, std::move(samples), std::move(levels)));
}

Outcome<std::string> LevelWork::score(std::string_view recipes, std::size_t first) const {
  std::optional<std::vector<Recipe>> list = numbering_.decode_encoded(recipes);
  if (!list) return corrupt("recipe");
  // The driver generates no recipe that applies an operator outside the set.
  for (const Recipe& recipe : *list) {
    if (operator_disabled(config_.disabled_operators, scorer_.builder().op_id(recipe))) return corrupt("recipe");
  }
  LevelTally tally(config_.beam_width);
  RangeOptions options;
  options.max_chunk = config_.candidate_chunk;
  const std::vector<Recipe>& all = *list;
  score_range(
      scorer_,
      [&](std::size_t from, std::size_t n, std::vector<Recipe>& out) {
        out.assign(all.begin() + static_cast<std::ptrdiff_t>(from - first),
                   all.begin() + static_cast<std::ptrdiff_t>(from - first + n));
      },
      first, all.size(), tally, options);
  return encode_summary(search_id_, k_, first, all.size(), tally);
}

std::string encode_summary(std::uint64_t search_id, std::size_t k, std::size_t first, std::size_t count,
                           const LevelTally& tally) {
  Writer w;
  w.put<std::uint32_t>(kSummaryTag);
  w.put<std::uint64_t>(search_id);
  w.put_size(k);
  w.put_size(first);
  w.put_size(count);
  w.put_size(tally.scored());
  w.put_size(tally.offered());
  const std::vector<BeamStore::Kept> kept = tally.store().kept_records();
  w.put_size(kept.size());
  for (const BeamStore::Kept& r : kept) {
    w.put_size(r.id);
    w.put<double>(r.score);
    w.put_text(r.signature);
    w.put<std::uint8_t>(r.expression ? 1 : 0);
    if (r.expression) w.put_expression(*r.expression);
  }
  // The bests of the slots in order, each behind a presence byte.
  for (const std::optional<LevelTally::Best>& best : tally.bests()) {
    w.put<std::uint8_t>(best ? 1 : 0);
    if (!best) continue;
    w.put_size(best->id);
    w.put<double>(best->error);
    w.put_expression(best->expression);
  }
  return w.take();
}

Outcome<LevelSummary> decode_summary(std::string_view bytes, std::size_t beam_width) {
  static const OperatorRegistry registry = OperatorRegistry::with_builtins();
  Reader r(bytes);
  std::uint32_t tag = 0;
  LevelSummary s;
  std::size_t scored = 0;
  std::size_t offered = 0;
  std::size_t kept_count = 0;
  constexpr std::size_t any = ~std::size_t{0} >> 1;
  if (!r.get(tag) || tag != kSummaryTag || !r.get(s.search_id) || !r.get_size(s.k, 1u << 16) ||
      !r.get_size(s.first, any) || !r.get_size(s.count, any - s.first) || !r.get_size(scored, s.count) ||
      !r.get_size(offered, scored) || !r.get_size(kept_count, offered)) {
    return corrupt("summary");
  }
  std::vector<BeamStore::Kept> kept(kept_count);
  std::size_t previous_id = 0;
  for (std::size_t i = 0; i < kept_count; ++i) {
    BeamStore::Kept& k = kept[i];
    std::uint8_t has = 0;
    if (!r.get_size(k.id, any) || !r.get(k.score) || !r.get_text(k.signature) || !r.get(has) || has > 1) {
      return corrupt("summary");
    }
    // Ids inside the range, increasing.
    if (k.id < s.first || k.id >= s.first + s.count || (i != 0 && k.id <= previous_id)) return corrupt("summary");
    previous_id = k.id;
    if (has != 0) {
      k.expression.emplace();
      if (!r.get_expression(*k.expression, registry, kMaxVariables) || k.expression->complexity != s.k) {
        return corrupt("summary");
      }
    }
  }
  // Slot j holds a formula of k + 2j tokens (the level's, then its
  // rescalings').
  LevelTally::Bests bests;
  for (std::size_t slot = 0; slot < LevelTally::kSlots; ++slot) {
    std::uint8_t has_best = 0;
    if (!r.get(has_best) || has_best > 1) return corrupt("summary");
    if (has_best == 0) continue;
    std::optional<LevelTally::Best>& best = bests[slot];
    best.emplace();
    if (!r.get_size(best->id, any) || !r.get(best->error) ||
        !r.get_expression(best->expression, registry, kMaxVariables) || best->id < s.first ||
        best->id >= s.first + s.count || best->expression.complexity != s.k + 2 * slot) {
      return corrupt("summary");
    }
  }
  if (!r.done()) return corrupt("summary");
  s.tally = LevelTally::from_parts(beam_width, scored, offered, std::move(kept), std::move(bests));
  return s;
}

}  // namespace vok
