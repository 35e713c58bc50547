#pragma once

// The working program of a refinement on the column path: parameter-free subtrees evaluated once.

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/expression.hpp"
#include "engine/data/sample_set.hpp"

namespace vok {

// Values of a parameter-free subtree (tokens first_token .. last_token of
// an expression) on every sample, when the caller has them already.
struct KnownSubtree {
  std::size_t first_token = 0;
  std::size_t last_token = 0;
  ColumnValues values;
};

// A work program's vectors, kept by the caller (one set per thread) so that
// building one allocates nothing once they have grown.
struct WorkProgramBuffers {
  std::vector<std::pair<std::size_t, std::size_t>> subtrees;
  std::vector<std::size_t> start;
  std::vector<std::uint8_t> has_param;
  std::vector<std::uint8_t> maximal;
  std::vector<std::size_t> roots;
  std::vector<Token> reduced;
  std::vector<ColumnView> extra;
};

// The working expression as refinement evaluates it on the column path.
// Subtrees without a Parameter token keep their values for the whole
// refinement: each maximal one of two tokens or more is evaluated once, and
// the program reads its column as an extra variable. A sample on which such
// a subtree has no value has none in the whole expression either, so the
// subtrees' validity is and-ed in; elsewhere the remaining operations see
// the very same operands, so every value is the full program's bit for bit.
// Only built-in operators are allowed in the remaining program, as it also
// runs on the samples that have already failed.
// Thread safety: one thread's; it uses that thread's scratch and buffers.
class WorkProgram {
 public:
  // `known` may give some subtrees' values already (by token range); those
  // are read in place instead of evaluated.
  WorkProgram(const Expression& e, const SampleSet& samples, SampleScratch& scratch, WorkProgramBuffers& buffers,
              std::span<const KnownSubtree> known = {});

  // The program's values on samples [first, first + lanes), as eval_block.
  void eval(std::size_t first, std::size_t lanes, std::span<const Complex> params, ColumnOut out) const;

 private:
  // The maximal parameter-free subtrees of two tokens or more, in token
  // order; false when the program is not one well-formed tree of built-ins.
  bool find_subtrees(std::vector<std::pair<std::size_t, std::size_t>>& out) const;

  const Expression& e_;
  const SampleSet& samples_;
  SampleScratch& scratch_;
  WorkProgramBuffers& buffers_;
  std::vector<Token>& reduced_;
  std::vector<ColumnView>& extra_;
};

}  // namespace vok
