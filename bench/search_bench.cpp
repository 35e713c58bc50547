// Wall time, candidates per level and peak resident memory of default
// searches. Each problem runs in its own child process so that its peak
// memory is its own. Usage: search_bench [max_complexity [beam_width]]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "engine/bfs.hpp"

namespace {

struct Problem {
  const char* name;
  std::vector<std::vector<double>> rows;
  std::vector<double> targets;
};

// A fixed linear congruential sequence in [-1, 1), so runs are comparable.
double next_uniform(std::uint64_t& state) {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<double>(state >> 11) / 9007199254740992.0 * 2.0 - 1.0;
}

Problem polynomial() {
  Problem p{"y = x^3 + x^2 + x, 100 points on [-1, 1]", {}, {}};
  for (int i = 0; i < 100; ++i) {
    const double x = -1.0 + 2.0 * i / 99.0;
    p.rows.push_back({x});
    p.targets.push_back(x * x * x + x * x + x);
  }
  return p;
}

Problem three_variables() {
  Problem p{"y = x0 * x1 + sin(x2), 100 random points in [-1, 1]^3", {}, {}};
  std::uint64_t state = 12345;
  for (int i = 0; i < 100; ++i) {
    const double a = next_uniform(state), b = next_uniform(state), c = next_uniform(state);
    p.rows.push_back({a, b, c});
    p.targets.push_back(a * b + std::sin(c));
  }
  return p;
}

void run(const Problem& p, const vok::SearchConfig& config) {
  vok::SearchTrace trace;
  const auto start = std::chrono::steady_clock::now();
  const auto outcome = vok::run_bfs(p.rows, p.targets, config, &trace);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);

  std::printf("\n== %s (max_complexity %zu, beam_width %zu)\n", p.name, config.max_complexity,
              config.beam_width);
  std::printf("level  candidates      scored  retained\n");
  std::size_t total = 0;
  for (const auto& l : trace.levels) {
    std::printf("%5zu  %10zu  %10zu  %8zu\n", l.k, l.candidates, l.scored, l.retained);
    total += l.candidates;
  }
  if (const auto* results = std::get_if<std::vector<vok::SearchResult>>(&outcome);
      results != nullptr && !results->empty()) {
    const auto& best = results->front();
    std::printf("best: %s  error %.3g  complexity %zu\n", best.expression.formula.c_str(), best.error,
                best.expression.complexity);
  } else if (const auto* error = std::get_if<vok::SearchError>(&outcome)) {
    std::printf("error: %s\n", error->text().c_str());
  }
  std::printf("wall time %.3f s, %zu candidates in all, peak RSS %.1f MiB\n", wall, total,
              static_cast<double>(usage.ru_maxrss) / 1024.0);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  vok::SearchConfig config;
  if (argc > 1) config.max_complexity = std::strtoull(argv[1], nullptr, 10);
  if (argc > 2) config.beam_width = std::strtoull(argv[2], nullptr, 10);
  int status_all = 0;
  for (auto make : {polynomial, three_variables}) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
      run(make(), config);
      std::_Exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) status_all = 1;
  }
  return status_all;
}
