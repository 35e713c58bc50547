#pragma once

// The checkpoint file of a search: what an exact resume needs after a completed level, and the checks before one.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "config/search_config.hpp"
#include "core/dataset.hpp"
#include "core/expression.hpp"
#include "core/search_error.hpp"
#include "engine/generate/fingerprint_set.hpp"
#include "engine/generate/recipes.hpp"
#include "engine/select/pareto.hpp"

namespace vok {

// The layout's version: a reader refuses another one. Raised with every
// change of the layout.
inline constexpr std::uint32_t kCheckpointVersion = 2;

// A 128-bit digest of a run of doubles (their bits, with their count):
// equal digests are taken for equal data.
using Digest128 = std::array<std::uint64_t, 2>;
[[nodiscard]] Digest128 digest_values(std::span<const double> values);
// The same kind of digest of raw bytes: a checkpoint's checksum.
[[nodiscard]] Digest128 digest_bytes(std::string_view bytes);

// Where a checkpoint's body starts, after its header (tag, version, body
// length, checksum).
inline constexpr std::size_t kCheckpointHeaderBytes = 8 + 4 + 8 + 16;

// What a search was run on, as a checkpoint records it: the shape, and a
// digest of the inputs (column after column), of the targets and of the
// sample weights (none: unweighted). A plain value.
struct DataDigest {
  std::size_t rows = 0;
  std::size_t cols = 0;
  Digest128 x{};
  Digest128 y{};
  std::optional<Digest128> weights;
  friend bool operator==(const DataDigest&, const DataDigest&) = default;
};
[[nodiscard]] DataDigest digest_data(const Dataset& data, std::optional<std::span<const double>> weights = std::nullopt);

// Where a checkpoint written to a file keeps its fingerprints: in a file
// beside it (seen_file_path), as the digests of each store appended in
// turn, `segments` listing their counts and checksums in file order. A
// store then writes only what was admitted since the last one, and the
// driver writes a level's admissions while that level is scored. Bytes
// past the listed segments were never committed and are ignored. A search
// started afresh over a checkpoint writes the other `generation` (0 or 1),
// so that the old checkpoint stays whole until the new one replaces it.
// A plain value.
struct SeenFile {
  struct Segment {
    std::size_t count = 0;
    Digest128 checksum{};
    friend bool operator==(const Segment&, const Segment&) = default;
  };
  std::uint8_t generation = 0;
  std::vector<Segment> segments;
  std::size_t digest_count() const;
  friend bool operator==(const SeenFile&, const SeenFile&) = default;
};
[[nodiscard]] std::string seen_file_path(const std::string& checkpoint_path, std::uint8_t generation);
// A segment's checksum.
[[nodiscard]] Digest128 digest_segment(std::span<const FingerprintDigest> digests);
// The fingerprints `file` lists, read from beside the checkpoint at
// `checkpoint_path` and checked. InvalidInput saying what is wrong: the
// file is missing, cut short or damaged.
[[nodiscard]] Outcome<std::vector<FingerprintDigest>> read_seen_file(const std::string& checkpoint_path,
                                                                     const SeenFile& file);

// A search after its level `last_level`: the settings and data it ran
// under, the retained levels 1 .. last_level (slot 0 empty), the rank
// threshold of the last level's beam (the next level's screen), the front
// (ascending complexity), the fingerprints admitted so far and the caller's
// own bytes (`note`, kept as they are). A plain value; every expression in
// a decoded state is a well-formed program over the data's columns.
struct CheckpointState {
  SearchConfig config;
  DataDigest data;
  std::size_t last_level = 0;
  Levels levels;
  double beam_threshold = std::numeric_limits<double>::infinity();
  struct FrontEntry {
    double error = 0.0;
    Expression expression;
  };
  std::vector<FrontEntry> front;
  // The fingerprints: stored in the checkpoint itself, or (seen_file set)
  // in a file beside it, which read_seen_file reads into `seen`.
  std::vector<FingerprintDigest> seen;
  std::optional<SeenFile> seen_file;
  std::string note;
};

// A search's state kept in memory after a fit, for the next fit to
// continue (a warm start): what a checkpoint holds (`state`, whose `seen`
// stays empty), with the fingerprint set itself, which a continued search
// copies instead of inserting its digests again. Never changed once made,
// and shared by the fits that continue it. Thread safety: read-only.
struct KeptSearch {
  CheckpointState state;
  FingerprintSet seen;
};

// The fingerprints a checkpoint stores: the set's own, or a reference to
// the file that holds them.
using SeenSection = std::variant<const FingerprintSet*, const SeenFile*>;

// The file's bytes: a header (tag, version, body length, checksum of the
// body), then the body. Precondition: config.eval_path is Fast.
[[nodiscard]] std::string encode_checkpoint(const SearchConfig& config, const DataDigest& data, const Levels& levels,
                                            std::size_t last_level, double beam_threshold, const ParetoFront& front,
                                            SeenSection seen, std::string_view note);

// The state in a checkpoint's bytes. InvalidInput whose text says what is
// wrong: not a checkpoint at all, a version this build does not read, cut
// short, damaged (the checksum), or a field out of range.
[[nodiscard]] Outcome<CheckpointState> decode_checkpoint(std::string_view bytes);

// The names of what differs between a checkpoint and a search about to
// resume it, in a fixed order: the settings as vok_learn names them
// (max_complexity, beam_width, ...; max_complexity left out when
// `any_max_complexity`), then X, y and weights. Empty: it may resume.
[[nodiscard]] std::vector<std::string> checkpoint_mismatches(const CheckpointState& state, const SearchConfig& config,
                                                             const DataDigest& data, bool any_max_complexity);

}  // namespace vok
