// Evaluator throughput in node evaluations per second.
//
// The workload is a fixed, seeded mix of random well-formed expressions over
// two variables, evaluated on 1,000 samples. Only expressions that have a
// value on every sample enter the mix, so every token of every expression is
// evaluated on every sample and "nodes" counts real work on every path: an
// evaluator that bails out early on a domain failure would otherwise look
// faster than one that does not.
//
// Every evaluator path gets one benchmark over eval_mix() reporting the
// counter "nodes_per_s"; bench/harness.py reads BM_EvalPerSample (the
// per-sample stack machine) and BM_EvalFast (the column-wise path, when this
// file has a benchmark of that name).

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/expression.hpp"
#include "eval/column_eval.hpp"
#include "eval/eval.hpp"
#include "ops/registry.hpp"
#include "random_expressions.hpp"

namespace {

constexpr std::size_t kSamples = 1000;
constexpr std::size_t kVariables = 2;
constexpr std::size_t kMixSize = 256;
constexpr std::size_t kMinSize = 2;
constexpr std::size_t kMaxSize = 12;  // a little past the default max_complexity of 10
constexpr std::uint64_t kSeed = 20240601;

struct EvalMix {
  vok::OperatorRegistry registry = vok::OperatorRegistry::with_builtins();
  std::vector<vok::Expression> expressions;
  std::vector<std::vector<vok::Complex>> params;  // one value per Parameter slot
  std::vector<vok::Complex> samples;               // kSamples rows of kVariables, row-major
  std::uint64_t nodes_per_pass = 0;                // tokens x samples over the whole mix
};

// The tests' generator (tests/cpp/random_expressions.hpp), whose draws do
// not depend on the standard library, so the mix is the same everywhere.
// Leaves: a variable or the fitted constant C, uniformly.
class MixBuilder : public vok::testing_support::RandomExpressions {
 public:
  explicit MixBuilder(const vok::OperatorRegistry& registry) : RandomExpressions(kSeed, registry) {}

  // A random expression of exactly `size` tokens.
  vok::Expression tree(std::size_t size) {
    return RandomExpressions::tree(size, [this] {
      const std::uint64_t leaf = below(kVariables + 1);
      return leaf == kVariables ? vok::param_leaf() : vok::var_leaf(static_cast<std::uint8_t>(leaf));
    });
  }
};

bool defined_on_all(const EvalMix& mix, const vok::Expression& e, std::span<const vok::Complex> params) {
  std::vector<vok::Complex> stack;
  for (std::size_t s = 0; s < kSamples; ++s) {
    const std::span<const vok::Complex> row(mix.samples.data() + s * kVariables, kVariables);
    if (!vok::eval_internal(e.tokens, row, params, mix.registry.operators(), stack)) return false;
  }
  return true;
}

EvalMix build_mix() {
  EvalMix mix;
  MixBuilder builder(mix.registry);
  mix.samples.reserve(kSamples * kVariables);
  for (std::size_t i = 0; i < kSamples * kVariables; ++i) {
    mix.samples.push_back({builder.uniform(-2.0, 2.0), 0.0});
  }
  // Sizes cycle through kMinSize..kMaxSize so the mix has a fixed size profile.
  for (std::size_t i = 0; mix.expressions.size() < kMixSize; ++i) {
    if (i > 1000 * kMixSize) {
      std::fprintf(stderr, "eval_bench: could not build the expression mix\n");
      std::exit(1);
    }
    const std::size_t size = kMinSize + mix.expressions.size() % (kMaxSize - kMinSize + 1);
    vok::Expression e = builder.tree(size);
    std::vector<vok::Complex> params;
    for (std::size_t p = 0; p < e.num_params; ++p) params.push_back({builder.uniform(-2.0, 2.0), 0.0});
    if (!defined_on_all(mix, e, params)) continue;
    mix.nodes_per_pass += e.tokens.size() * kSamples;
    mix.expressions.push_back(std::move(e));
    mix.params.push_back(std::move(params));
  }
  return mix;
}

const EvalMix& eval_mix() {
  static const EvalMix mix = build_mix();
  return mix;
}

void report(benchmark::State& state, const EvalMix& mix) {
  state.counters["nodes_per_s"] = benchmark::Counter(static_cast<double>(mix.nodes_per_pass),
                                                     benchmark::Counter::kIsIterationInvariantRate);
  state.counters["expressions"] = static_cast<double>(mix.expressions.size());
  state.counters["samples"] = static_cast<double>(kSamples);
}

// The reference path: one stack-machine run per expression per sample with a
// reused stack, as scoring does it.
void BM_EvalPerSample(benchmark::State& state) {
  const EvalMix& mix = eval_mix();
  const vok::OperatorList ops = mix.registry.operators();
  std::vector<vok::Complex> stack;
  stack.reserve(kMaxSize);
  for (auto _ : state) {
    double sum = 0.0;
    for (std::size_t k = 0; k < mix.expressions.size(); ++k) {
      const vok::Expression& e = mix.expressions[k];
      for (std::size_t s = 0; s < kSamples; ++s) {
        const std::span<const vok::Complex> row(mix.samples.data() + s * kVariables, kVariables);
        const std::optional<vok::Complex> v = vok::eval_internal(e.tokens, row, mix.params[k], ops, stack);
        sum += v ? v->re : 0.0;
      }
    }
    benchmark::DoNotOptimize(sum);
  }
  report(state, mix);
}
BENCHMARK(BM_EvalPerSample)->Unit(benchmark::kMillisecond);

// The column path: each expression over all samples at once, inputs as one
// column per variable (built once, as scoring would keep them), one
// workspace reused across expressions.
void BM_EvalFast(benchmark::State& state) {
  const EvalMix& mix = eval_mix();
  const vok::KernelTable table(mix.registry.operators());
  const vok::InputColumns columns = vok::InputColumns::from_rows(mix.samples, kVariables);
  vok::ColumnWorkspace ws;
  for (auto _ : state) {
    double sum = 0.0;
    for (std::size_t k = 0; k < mix.expressions.size(); ++k) {
      const vok::ColumnResult r =
          vok::eval_columns(mix.expressions[k].tokens, columns.views(), kSamples, mix.params[k], table, ws);
      for (std::size_t s = 0; s < kSamples; ++s) sum += r.ok[s] ? r.re[s] : 0.0;
    }
    benchmark::DoNotOptimize(sum);
  }
  report(state, mix);
}
BENCHMARK(BM_EvalFast)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
