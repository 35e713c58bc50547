// The checkpoint file's layout: writing a search's state, reading it back with every field checked, and comparing it with a search about to resume.
#include "engine/wire/checkpoint.hpp"

#include <cstring>
#include <type_traits>
#include <utility>

#include "engine/wire/wire_format.hpp"
#include "eval/signature.hpp"
#include "infra/durable_file.hpp"

namespace vok {

namespace {

using wire::Reader;
using wire::Writer;

// Eight bytes that no other file of ours starts with.
constexpr char kMagic[8] = {'V', 'O', 'K', 'C', 'K', 'P', 'T', '\n'};

// Two unrelated 64-bit chains (mix64 and mix64_murmur), each step
// bijective in the state, so that a changed word changes both words of the
// result; the length is mixed in last.
class Hasher {
 public:
  void word(std::uint64_t w) {
    a_ = mix64(a_ ^ w) + 0x9e3779b97f4a7c15ULL;
    b_ = mix64_murmur(b_ + w) ^ 0x2545f4914f6cdd1dULL;
    ++words_;
  }
  Digest128 finish() const { return {mix64(a_ ^ words_), mix64_murmur(b_ + words_ * 0x9e3779b97f4a7c15ULL)}; }

 private:
  std::uint64_t a_ = 0x6a09e667f3bcc909ULL;
  std::uint64_t b_ = 0xbb67ae8584caa73bULL;
  std::uint64_t words_ = 0;
};

}  // namespace

Digest128 digest_bytes(std::string_view bytes) {
  Hasher h;
  std::size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) {
    std::uint64_t w = 0;
    std::memcpy(&w, bytes.data() + at, 8);
    h.word(w);
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, bytes.data() + at, bytes.size() - at);
  h.word(tail);
  h.word(bytes.size());
  return h.finish();
}

namespace {

void put_digest(Writer& w, const Digest128& d) {
  w.put<std::uint64_t>(d[0]);
  w.put<std::uint64_t>(d[1]);
}
bool get_digest(Reader& r, Digest128& d) { return r.get(d[0]) && r.get(d[1]); }

SearchError refused(const std::string& why) { return SearchError::invalid_input("the checkpoint " + why + "."); }
SearchError damaged(const char* field) {
  return refused(std::string("is damaged: its ") + field + " cannot be read back");
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

Digest128 digest_values(std::span<const double> values) {
  Hasher h;
  for (const double v : values) {
    std::uint64_t w = 0;
    std::memcpy(&w, &v, 8);
    h.word(w);
  }
  h.word(values.size());
  return h.finish();
}

DataDigest digest_data(const Dataset& data, std::optional<std::span<const double>> weights) {
  DataDigest d;
  d.rows = data.rows();
  d.cols = data.cols();
  Hasher x;
  for (std::size_t j = 0; j < d.cols; ++j) {
    const Digest128 column = digest_values(data.column(j));
    x.word(column[0]);
    x.word(column[1]);
  }
  x.word(d.rows);
  d.x = x.finish();
  d.y = digest_values(data.targets());
  if (weights) d.weights = digest_values(*weights);
  return d;
}

// The digests travel as the set's own array: two 64-bit words each, in the
// machine's order, as put<std::uint64_t> writes them.
static_assert(sizeof(FingerprintDigest) == 16 && std::is_standard_layout_v<FingerprintDigest>);

std::string encode_checkpoint(const SearchConfig& config, const DataDigest& data, const Levels& levels,
                              std::size_t last_level, double beam_threshold, const ParetoFront& front,
                              SeenSection seen, std::string_view note) {
  const auto* const* in_file = std::get_if<const SeenFile*>(&seen);
  const std::vector<FingerprintDigest> digests =
      in_file != nullptr ? std::vector<FingerprintDigest>{} : std::get<const FingerprintSet*>(seen)->digests();
  Writer w;
  // The digests make up nearly all of a large checkpoint: one allocation.
  w.reserve(kCheckpointHeaderBytes + digests.size() * sizeof(FingerprintDigest) + (std::size_t{1} << 20));
  // The header, its length and checksum filled in at the end.
  for (const char c : kMagic) w.put<char>(c);
  w.put<std::uint32_t>(kCheckpointVersion);
  w.put_size(0);
  put_digest(w, {});
  wire::put_config(w, config);
  w.put_size(data.rows);
  w.put_size(data.cols);
  put_digest(w, data.x);
  put_digest(w, data.y);
  w.put<std::uint8_t>(data.weights ? 1 : 0);
  if (data.weights) put_digest(w, *data.weights);
  w.put_size(last_level);
  for (std::size_t i = 1; i <= last_level; ++i) {
    w.put_size(levels[i].size());
    for (const Expression& e : levels[i]) w.put_expression(e);
  }
  w.put<double>(beam_threshold);
  w.put_size(front.size());
  front.for_each([&](std::size_t complexity, double error, const Expression& e) {
    w.put_size(complexity);
    w.put<double>(error);
    w.put_expression(e);
  });
  w.put<std::uint8_t>(in_file != nullptr ? 1 : 0);
  if (in_file != nullptr) {
    const SeenFile& file = **in_file;
    w.put<std::uint8_t>(file.generation);
    w.put_size(file.segments.size());
    for (const SeenFile::Segment& segment : file.segments) {
      w.put_size(segment.count);
      put_digest(w, segment.checksum);
    }
  } else {
    w.put_size(digests.size());
    w.put_bytes(digests.data(), digests.size() * sizeof(FingerprintDigest));
  }
  w.put_text(note);
  std::string out = w.take();

  const std::uint64_t length = out.size() - kCheckpointHeaderBytes;
  const Digest128 checksum = digest_bytes(std::string_view(out).substr(kCheckpointHeaderBytes));
  std::memcpy(out.data() + 12, &length, 8);
  std::memcpy(out.data() + 20, checksum.data(), 16);
  return out;
}

Outcome<CheckpointState> decode_checkpoint(std::string_view bytes) {
  if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    return refused("file is not a checkpoint (it does not start as one does)");
  }
  Reader header(bytes.substr(sizeof kMagic));
  std::uint32_t version = 0;
  std::uint64_t length = 0;
  Digest128 checksum{};
  if (!header.get(version)) return refused("is truncated: its header is cut short");
  if (version != kCheckpointVersion) {
    return refused("has format version " + std::to_string(version) + ", which this version of vok_learn does not read (" +
                   (version > kCheckpointVersion ? "it was written by a newer one" : "it was written by an older one") +
                   "; this one reads version " + std::to_string(kCheckpointVersion) + ")");
  }
  if (!header.get(length) || !get_digest(header, checksum)) return refused("is truncated: its header is cut short");
  const std::string_view body = bytes.substr(kCheckpointHeaderBytes);
  if (body.size() < length) {
    return refused("is truncated: " + std::to_string(body.size()) + " of its " + std::to_string(length) +
                   " bytes are there");
  }
  if (body.size() > length) {
    return refused("is damaged: " + std::to_string(body.size() - length) + " bytes follow its end");
  }
  if (digest_bytes(body) != checksum) return refused("is damaged: its checksum does not match its contents");

  // Past the checksum the bytes are as written, by this layout's writer:
  // the checks below stop a file that was crafted, or written by a build
  // with another operator table, from reaching the search.
  static const OperatorRegistry registry = OperatorRegistry::with_builtins();
  Reader r(body);
  CheckpointState s;
  constexpr std::size_t any = ~std::size_t{0} >> 1;
  if (!wire::get_config(r, s.config)) return damaged("settings");
  std::uint8_t has_weights = 0;
  if (!r.get_size(s.data.rows, any) || !r.get_size(s.data.cols, kMaxVariables) || !get_digest(r, s.data.x) ||
      !get_digest(r, s.data.y) || !r.get(has_weights) || has_weights > 1 ||
      (has_weights != 0 && !get_digest(r, s.data.weights.emplace())) || s.data.rows == 0) {
    return damaged("data digest");
  }
  if (s.config.units && s.config.units->inputs.size() != s.data.cols) return damaged("units");
  // A level holds at least one expression of `level` tokens, 26 bytes each.
  if (!r.get_size(s.last_level, r.left() / 26) || s.last_level == 0) return damaged("level count");
  s.levels.resize(s.last_level + 1);
  for (std::size_t i = 1; i <= s.last_level; ++i) {
    std::size_t n = 0;
    if (!r.get_size(n, r.left() / 26)) return damaged("retained levels");
    s.levels[i].resize(n);
    for (Expression& e : s.levels[i]) {
      if (!r.get_expression(e, registry, s.data.cols, s.config.disabled_operators) || e.complexity != i) {
        return damaged("retained levels");
      }
    }
  }
  if (!r.get(s.beam_threshold)) return damaged("beam threshold");
  std::size_t front_size = 0;
  if (!r.get_size(front_size, r.left() / 26)) return damaged("front");
  s.front.resize(front_size);
  std::size_t previous = 0;
  for (CheckpointState::FrontEntry& entry : s.front) {
    std::size_t complexity = 0;
    // Distinct complexities, ascending, each the expression's own.
    if (!r.get_size(complexity, any) || complexity <= previous || !r.get(entry.error) ||
        !r.get_expression(entry.expression, registry, s.data.cols) || entry.expression.complexity != complexity) {
      return damaged("front");
    }
    previous = complexity;
  }
  std::uint8_t in_file = 0;
  if (!r.get(in_file) || in_file > 1) return damaged("fingerprint set");
  if (in_file != 0) {
    SeenFile& file = s.seen_file.emplace();
    std::size_t segments = 0;
    if (!r.get(file.generation) || file.generation > 1 || !r.get_size(segments, r.left() / 24)) {
      return damaged("fingerprint set");
    }
    file.segments.resize(segments);
    // The digests of all segments must fit in memory: their byte count
    // stays below `any`.
    std::size_t total = 0;
    for (SeenFile::Segment& segment : file.segments) {
      if (!r.get_size(segment.count, any / 16 - total) || !get_digest(r, segment.checksum)) {
        return damaged("fingerprint set");
      }
      total += segment.count;
    }
  } else {
    std::size_t seen_count = 0;
    if (!r.get_size(seen_count, r.left() / 16)) return damaged("fingerprint set");
    s.seen.resize(seen_count);
    if (!r.get_bytes(s.seen.data(), seen_count * sizeof(FingerprintDigest))) return damaged("fingerprint set");
  }
  if (!r.get_text(s.note) || !r.done()) return damaged("trailer");
  return s;
}

std::size_t SeenFile::digest_count() const {
  std::size_t n = 0;
  for (const Segment& segment : segments) n += segment.count;
  return n;
}

std::string seen_file_path(const std::string& checkpoint_path, std::uint8_t generation) {
  return checkpoint_path + ".seen" + std::to_string(generation);
}

Digest128 digest_segment(std::span<const FingerprintDigest> digests) {
  return digest_bytes(std::string_view(reinterpret_cast<const char*>(digests.data()), digests.size_bytes()));
}

Outcome<std::vector<FingerprintDigest>> read_seen_file(const std::string& checkpoint_path, const SeenFile& file) {
  const std::string path = seen_file_path(checkpoint_path, file.generation);
  const auto refused_file = [&](const std::string& why) {
    return SearchError::invalid_input("the checkpoint's fingerprint file '" + path + "' " + why + ".");
  };
  const ReadFile read = read_file(path);
  if (!read.bytes) return refused_file(read.missing ? "is missing" : "cannot be read (" + read.failure + ")");
  const std::string_view bytes = *read.bytes;
  const std::size_t count = file.digest_count();
  // The counts were checked against this bound as they were read.
  const std::size_t needed = count * sizeof(FingerprintDigest);
  if (bytes.size() < needed) {
    return refused_file("is truncated: " + std::to_string(bytes.size()) + " of its " + std::to_string(needed) +
                        " bytes are there");
  }
  std::vector<FingerprintDigest> digests(count);
  std::memcpy(digests.data(), bytes.data(), needed);
  std::size_t at = 0;
  for (const SeenFile::Segment& segment : file.segments) {
    if (digest_segment(std::span(digests).subspan(at, segment.count)) != segment.checksum) {
      return refused_file("is damaged: its checksum does not match its contents");
    }
    at += segment.count;
  }
  return digests;
}

std::vector<std::string> checkpoint_mismatches(const CheckpointState& state, const SearchConfig& config,
                                               const DataDigest& data, bool any_max_complexity) {
  const SearchConfig& a = state.config;
  const SearchConfig& b = config;
  std::vector<std::string> names;
  const auto check = [&](bool same, const char* name) {
    if (!same) names.emplace_back(name);
  };
  if (!any_max_complexity) check(a.max_complexity == b.max_complexity, "max_complexity");
  check(same_bits(a.complexity_penalty, b.complexity_penalty), "complexity_penalty");
  check(a.beam_width == b.beam_width, "beam_width");
  check(same_bits(a.alpha, b.alpha), "alpha");
  check(same_bits(a.l1_ratio, b.l1_ratio), "l1_ratio");
  check(a.exhaustive == b.exhaustive, "exhaustive");
  check(a.ranking == b.ranking, "ranking");
  check(a.leaf_constants == b.leaf_constants, "constants");
  check(a.disabled_operators == b.disabled_operators, "operators");
  check(a.output_scaling == b.output_scaling, "output_scaling");
  check(a.scaling_headroom == b.scaling_headroom, "warm_start");
  check(a.units == b.units, "units");
  check(same_bits(a.early_exit_threshold, b.early_exit_threshold) && a.optimize_constants == b.optimize_constants &&
            a.candidate_chunk == b.candidate_chunk && a.sample_column_budget == b.sample_column_budget,
        "engine settings");
  check(state.data.rows == data.rows && state.data.cols == data.cols && state.data.x == data.x, "X");
  check(state.data.y == data.y, "y");
  check(state.data.weights == data.weights, "sample weights");
  return names;
}

}  // namespace vok
