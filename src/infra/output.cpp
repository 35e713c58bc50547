// Console output of a search: locked printing, line texts, progress.
#include "infra/output.hpp"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace vok {

void print_locked(std::string_view text) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

namespace {

// whole + "." + remainder with `digits` digits and trailing zeros removed.
std::string with_fraction(unsigned long long whole, unsigned long long rem, int digits,
                          std::string_view unit) {
  std::string out = std::to_string(whole);
  if (rem != 0) {
    std::string frac(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i) {
      frac[static_cast<std::size_t>(i)] = static_cast<char>('0' + rem % 10);
      rem /= 10;
    }
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    out += '.';
    out += frac;
  }
  out += unit;
  return out;
}

}  // namespace

std::string format_duration(std::chrono::nanoseconds d) {
  const auto count = d.count();
  const unsigned long long ns = count < 0 ? 0ULL : static_cast<unsigned long long>(count);
  if (ns >= 1'000'000'000ULL) return with_fraction(ns / 1'000'000'000ULL, ns % 1'000'000'000ULL, 9, "s");
  if (ns >= 1'000'000ULL) return with_fraction(ns / 1'000'000ULL, ns % 1'000'000ULL, 6, "ms");
  if (ns >= 1'000ULL) return with_fraction(ns / 1'000ULL, ns % 1'000ULL, 3, "\u00b5s");
  return std::to_string(ns) + "ns";
}

std::string format_start_line(std::size_t seeds) {
  return "[VOK-SR] Started search space exploration. Level 1 seeded with " + std::to_string(seeds) +
         " primary nodes.\n";
}

std::string format_level_line(std::size_t k, std::chrono::nanoseconds elapsed, std::size_t retained) {
  return "[VOK-SR]   -> Level " + std::to_string(k) + " processed in " + format_duration(elapsed) +
         ". Retaining top " + std::to_string(retained) + " candidates.\n";
}

std::string format_progress_line(std::size_t k, std::size_t p, std::size_t n, std::size_t total,
                                 double seconds) {
  std::string bar;
  const std::size_t full = p / 10;
  for (std::size_t i = 0; i < 10; ++i) bar += i < full ? "\u2588" : "\u2591";
  const double estimate = seconds * 100.0 / static_cast<double>(p) - seconds;
  char times[96];
  std::snprintf(times, sizeof times, "%.1fs (Est: %.1fs)   ", seconds, estimate);
  return "\r  [VOK] L" + std::to_string(k) + " Progress: [" + bar + "] " + std::to_string(p) + "% (" +
         std::to_string(n) + "/" + std::to_string(total) + ") | " + times;
}

std::optional<ProgressMeter::Claim> ProgressMeter::tick(std::size_t count) {
  if (total_ == 0) return std::nullopt;
  const std::size_t n = scored_.fetch_add(count, std::memory_order_relaxed) + count;
  const std::size_t p = n * 100 / total_;
  std::size_t q = last_printed_.load(std::memory_order_relaxed);
  while (true) {
    if (q > 99 || p <= q) return std::nullopt;
    if (last_printed_.compare_exchange_weak(q, p, std::memory_order_relaxed)) return Claim{n, p};
  }
}

LevelProgress::LevelProgress(std::size_t k, std::size_t total, bool prints)
    : k_(k), meter_(total), clock_(std::chrono::steady_clock::now()), prints_(prints) {}

void LevelProgress::tick(std::size_t count) {
  if (!prints_ || count == 0) return;
  const auto claim = meter_.tick(count);
  if (!claim) return;
  // A claimed percentage can reach the printer after a higher one; skipping
  // it keeps the overwritten line from moving backwards (and 100% last).
  std::lock_guard<std::mutex> lock(shown_mutex_);
  if (claim->p <= shown_) return;
  shown_ = claim->p;
  const double seconds =
      std::max(0.0, std::chrono::duration<double>(std::chrono::steady_clock::now() - clock_).count());
  print_locked(format_progress_line(k_, claim->p, claim->n, meter_.total(), seconds));
}

void LevelProgress::finish() const {
  if (prints_ && meter_.total() != 0) print_locked("\n");
}

}  // namespace vok
