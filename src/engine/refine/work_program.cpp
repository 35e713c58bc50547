// The working program of a refinement on the column path: parameter-free subtrees evaluated once.
#include "engine/refine/work_program.hpp"

#include <algorithm>

namespace vok {

WorkProgram::WorkProgram(const Expression& e, const SampleSet& samples, SampleScratch& scratch,
                         WorkProgramBuffers& buffers, std::span<const KnownSubtree> known)
    : e_(e), samples_(samples), scratch_(scratch), buffers_(buffers), reduced_(buffers.reduced),
      extra_(buffers.extra) {
  reduced_.clear();
  extra_.clear();
  std::vector<std::pair<std::size_t, std::size_t>>& subtrees = buffers.subtrees;  // first and last token
  subtrees.clear();
  if (!find_subtrees(subtrees)) return;
  const std::size_t num_vars = samples.columns()->num_vars();
  if (subtrees.empty() || num_vars + subtrees.size() > kMaxVariables) return;
  const std::size_t count = samples.size();
  const std::size_t cached = subtrees.size() * count;
  if (scratch.cached_re.size() < cached) {
    scratch.cached_re.resize(cached);
    scratch.cached_im.resize(cached);
  }
  if (scratch.cached_ok.size() < count) scratch.cached_ok.resize(count);
  std::fill(scratch.cached_ok.begin(), scratch.cached_ok.begin() + count, std::uint8_t{1});
  BlockValues& b = scratch.block;
  std::size_t next = 0;
  for (std::size_t m = 0; m < subtrees.size(); ++m) {
    // Plain locals, not a structured binding: the lambda below captures
    // them, which clang before 16 rejects for bindings.
    const std::size_t first_token = subtrees[m].first;
    const std::size_t last_token = subtrees[m].second;
    const auto given = std::find_if(known.begin(), known.end(), [&](const KnownSubtree& k) {
      return k.first_token == first_token && k.last_token == last_token;
    });
    if (given != known.end()) {
      for (std::size_t i = 0; i < count; ++i) scratch.cached_ok[i] &= given->values.ok[i];
      extra_.push_back({given->values.re, given->values.im});
    } else {
      const std::span<const Token> sub(e.tokens.data() + first_token, last_token + 1 - first_token);
      double* const re = scratch.cached_re.data() + m * count;
      double* const im = scratch.cached_im.data() + m * count;
      for (std::size_t first = 0; first < count; first += kSampleBlock) {
        const std::size_t lanes = std::min(kSampleBlock, count - first);
        samples.eval_block(sub, first, lanes, {}, scratch, b.out());
        std::copy(b.re.begin(), b.re.begin() + lanes, re + first);
        std::copy(b.im.begin(), b.im.begin() + lanes, im + first);
        for (std::size_t i = 0; i < lanes; ++i) scratch.cached_ok[first + i] &= b.ok[i];
      }
      extra_.push_back({re, im});
    }
    // The subtree becomes one Variable leaf behind the sample's own.
    reduced_.insert(reduced_.end(), e.tokens.begin() + static_cast<std::ptrdiff_t>(next),
                    e.tokens.begin() + static_cast<std::ptrdiff_t>(first_token));
    reduced_.push_back(Token::variable(static_cast<std::uint8_t>(num_vars + m)));
    next = last_token + 1;
  }
  reduced_.insert(reduced_.end(), e.tokens.begin() + static_cast<std::ptrdiff_t>(next), e.tokens.end());
}
void WorkProgram::eval(std::size_t first, std::size_t lanes, std::span<const Complex> params, ColumnOut out) const {
  if (extra_.empty()) {
    samples_.eval_block(e_.tokens, first, lanes, params, scratch_, out);
    return;
  }
  samples_.eval_block(reduced_, first, lanes, params, extra_, scratch_, out);
  const std::uint8_t* const cached_ok = scratch_.cached_ok.data() + first;
  for (std::size_t i = 0; i < lanes; ++i) out.ok[i] &= cached_ok[i];
}
bool WorkProgram::find_subtrees(std::vector<std::pair<std::size_t, std::size_t>>& out) const {
  const std::vector<Token>& tokens = e_.tokens;
  const std::size_t n = tokens.size();
  std::vector<std::size_t>& start = buffers_.start;
  std::vector<std::uint8_t>& has_param = buffers_.has_param;
  std::vector<std::uint8_t>& maximal = buffers_.maximal;
  std::vector<std::size_t>& roots = buffers_.roots;
  start.assign(n, 0);
  has_param.assign(n, 0);
  maximal.assign(n, 0);
  roots.clear();
  for (std::size_t i = 0; i < n; ++i) {
    const Token& t = tokens[i];
    start[i] = i;
    switch (t.kind) {
      case TokenKind::Variable:
      case TokenKind::Literal:
      case TokenKind::Constant:
        break;
      case TokenKind::Parameter:
        has_param[i] = 1;
        break;
      case TokenKind::Apply: {
        const std::size_t arity = t.arity();
        if (arity == 0 || roots.size() < arity || !samples_.kernels().builtin(t.op)) return false;
        const std::size_t base = roots.size() - arity;
        for (std::size_t k = base; k < roots.size(); ++k) {
          has_param[i] |= has_param[roots[k]];
          start[i] = std::min(start[i], start[roots[k]]);
        }
        if (has_param[i]) {
          for (std::size_t k = base; k < roots.size(); ++k) {
            const std::size_t c = roots[k];
            if (!has_param[c] && start[c] != c) maximal[c] = 1;
          }
        }
        roots.resize(base);
        break;
      }
      default:
        return false;
    }
    roots.push_back(i);
  }
  if (roots.size() != 1) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (maximal[i]) out.emplace_back(start[i], i);
  }
  // Disjoint, so in the order of their last tokens also in that of their first.
  return true;
}
}  // namespace vok
