// Wall time, candidates per level and peak resident memory of default
// searches, on either evaluation path.
//
//   search_bench [max_complexity [beam_width]]
//       Two built-in problems, each in its own child process so that its peak
//       memory is its own; a human-readable report per problem.
//   search_bench --data FILE [--per-sample] [--max-complexity N] [--beam-width N]
//                [--column-budget MIB]
//       One search over the problem in FILE; the search's own progress lines,
//       then one JSON line with the figures (bench/harness.py reads it).
//       --column-budget sets the memory the retained levels' sample columns
//       may take (SearchConfig::sample_column_budget), to measure that trade.
//
// FILE is text: a line "ROWS VARS", then ROWS lines of VARS input values and
// the target, separated by white space, numbers as round-trip decimals. Lines
// starting with '#' are comments. The harness writes it, so a malformed file
// is reported and ends the program with status 2.
//
// --per-sample selects the per-sample reference evaluator instead of the
// column-wise default, which only the C++ configuration exposes.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/search/bfs.hpp"

namespace {

struct Problem {
  std::string name;
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

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB on Linux
}

const char* path_name(vok::EvalPath path) { return path == vok::EvalPath::PerSample ? "per_sample" : "fast"; }

void run_report(const Problem& p, const vok::SearchConfig& config) {
  vok::SearchTrace trace;
  const auto start = std::chrono::steady_clock::now();
  const auto outcome = vok::run_bfs(p.rows, p.targets, config, &trace);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::printf("\n== %s (max_complexity %zu, beam_width %zu, %s path)\n", p.name.c_str(),
              config.max_complexity, config.beam_width, path_name(config.eval_path));
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
  std::printf("wall time %.3f s, %zu candidates in all, peak RSS %.1f MiB\n", wall, total, peak_rss_mib());
  std::fflush(stdout);
}

// --- One problem from a file, one JSON line out ------------------------------

std::optional<Problem> read_problem(const char* path, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = std::string("cannot open ") + path;
    return std::nullopt;
  }
  std::string text;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] == '#') continue;
    text += line;
    text += '\n';
  }
  // strtod reads the harness's round-trip decimals back to the same doubles.
  const char* cur = text.c_str();
  auto number = [&](double& out) {
    char* end = nullptr;
    out = std::strtod(cur, &end);
    if (end == cur) return false;
    cur = end;
    return true;
  };
  double rows_d = 0.0, vars_d = 0.0;
  if (!number(rows_d) || !number(vars_d) || rows_d < 1.0 || vars_d < 1.0 || rows_d > 1e8 || vars_d > 1e4 ||
      rows_d != std::floor(rows_d) || vars_d != std::floor(vars_d)) {
    why = "the first line must be \"ROWS VARS\" with positive whole numbers";
    return std::nullopt;
  }
  const auto rows = static_cast<std::size_t>(rows_d);
  const auto vars = static_cast<std::size_t>(vars_d);
  Problem p{path, {}, {}};
  p.rows.reserve(rows);
  p.targets.reserve(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    std::vector<double> row(vars);
    for (double& v : row) {
      if (!number(v)) {
        why = "row " + std::to_string(r + 1) + ": expected " + std::to_string(vars + 1) + " numbers";
        return std::nullopt;
      }
    }
    double y = 0.0;
    if (!number(y)) {
      why = "row " + std::to_string(r + 1) + ": missing target";
      return std::nullopt;
    }
    p.rows.push_back(std::move(row));
    p.targets.push_back(y);
  }
  while (*cur != '\0' && std::strchr(" \t\r\n", *cur) != nullptr) ++cur;
  if (*cur != '\0') {
    why = "more numbers than ROWS x (VARS + 1)";
    return std::nullopt;
  }
  return p;
}

std::string json_string(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;  // UTF-8 passes through
        }
    }
  }
  return out + "\"";
}

std::string json_number(double v) {
  if (!std::isfinite(v)) return "null";  // strict JSON has no NaN or infinity
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

int run_json(const Problem& p, const vok::SearchConfig& config) {
  const double baseline = peak_rss_mib();
  vok::SearchTrace trace;
  const auto start = std::chrono::steady_clock::now();
  const auto outcome = vok::run_bfs(p.rows, p.targets, config, &trace);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double peak = peak_rss_mib();

  std::size_t candidates = 0;
  std::string levels = "[";
  for (const auto& l : trace.levels) {
    candidates += l.candidates;
    if (levels.size() > 1) levels += ",";
    levels += "{\"k\":" + std::to_string(l.k) + ",\"candidates\":" + std::to_string(l.candidates) +
              ",\"scored\":" + std::to_string(l.scored) + ",\"retained\":" + std::to_string(l.retained) + "}";
  }
  levels += "]";
  // Kept apart from "levels", which runs of different engines compare.
  std::string times = "[";
  for (const auto& l : trace.levels) {
    if (times.size() > 1) times += ",";
    times += "{\"k\":" + std::to_string(l.k) + ",\"seconds\":" + std::to_string(l.seconds) +
             ",\"driver_alone_s\":" + std::to_string(l.driver_alone_seconds) + "}";
  }
  times += "]";

  std::string j = "{\"tool\":\"search_bench\",\"eval_path\":\"";
  j += path_name(config.eval_path);
  j += "\",\"max_complexity\":" + std::to_string(config.max_complexity);
  j += ",\"beam_width\":" + std::to_string(config.beam_width);
  j += ",\"column_budget_mib\":" + std::to_string(config.sample_column_budget >> 20);
  j += ",\"rows\":" + std::to_string(p.rows.size());
  j += ",\"vars\":" + std::to_string(p.rows.front().size());
  j += ",\"wall_s\":" + json_number(wall);
  j += ",\"peak_rss_mib\":" + json_number(peak);
  j += ",\"baseline_rss_mib\":" + json_number(baseline);
  j += ",\"levels_done\":" + (trace.levels.empty() ? std::string("null") : std::to_string(trace.levels.back().k));
  j += ",\"candidates\":" + std::to_string(candidates);
  if (const auto* results = std::get_if<std::vector<vok::SearchResult>>(&outcome);
      results != nullptr && !results->empty()) {
    const auto& best = results->front();
    j += ",\"status\":\"ok\",\"error\":" + json_number(best.error);
    j += ",\"complexity\":" + std::to_string(best.expression.complexity);
    j += ",\"formula\":" + json_string(best.expression.formula);
  } else {
    const auto* error = std::get_if<vok::SearchError>(&outcome);
    const bool none = error == nullptr || error->kind == vok::SearchError::Kind::NoFormulaFound;
    j += none ? ",\"status\":\"no_formula\"" : ",\"status\":\"failed\"";
    j += ",\"error\":null,\"complexity\":null,\"formula\":null,\"message\":" +
         json_string(error != nullptr ? error->text() : std::string("empty result list"));
  }
  j += ",\"levels\":" + levels + ",\"level_times\":" + times + "}";
  // The search's progress lines end with '\r', not a newline: start afresh.
  std::printf("\n%s\n", j.c_str());
  std::fflush(stdout);
  return 0;
}

bool parse_count(const char* text, std::size_t& out) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (*end != '\0') return false;
  out = static_cast<std::size_t>(v);
  return true;
}

int usage() {
  std::fprintf(stderr,
               "usage: search_bench [max_complexity [beam_width]]\n"
               "       search_bench --data FILE [--per-sample] [--max-complexity N] [--beam-width N]\n"
               "                    [--column-budget MIB]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  vok::SearchConfig config;
  const char* data = nullptr;
  std::size_t positional = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--data" && i + 1 < argc) {
      data = argv[++i];
    } else if (a == "--per-sample") {
      config.eval_path = vok::EvalPath::PerSample;
    } else if (a == "--max-complexity" && i + 1 < argc) {
      if (!parse_count(argv[++i], config.max_complexity)) return usage();
    } else if (a == "--beam-width" && i + 1 < argc) {
      if (!parse_count(argv[++i], config.beam_width)) return usage();
    } else if (a == "--column-budget" && i + 1 < argc) {
      std::size_t mib = 0;
      if (!parse_count(argv[++i], mib) || mib > (std::size_t{1} << 30)) return usage();
      config.sample_column_budget = mib << 20;
    } else if (positional < 2 && !a.starts_with("-")) {
      if (!parse_count(argv[i], positional == 0 ? config.max_complexity : config.beam_width)) return usage();
      ++positional;
    } else {
      return usage();
    }
  }

  if (data != nullptr) {
    std::string why;
    const std::optional<Problem> p = read_problem(data, why);
    if (!p) {
      std::fprintf(stderr, "search_bench: %s: %s\n", data, why.c_str());
      return 2;
    }
    return run_json(*p, config);
  }

  int status_all = 0;
  for (auto make : {polynomial, three_variables}) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
      run_report(make(), config);
      std::_Exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) status_all = 1;
  }
  return status_all;
}
