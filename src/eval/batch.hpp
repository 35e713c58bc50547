#pragma once

// Formulas evaluated over a whole dataset from its columns, in blocks.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/dataset.hpp"
#include "core/expression.hpp"
#include "ops/registry.hpp"

namespace vok {

// Which operator results an evaluation keeps: those within the guard, as
// the search scores them, or every finite one (eval_unbounded), for
// predictions on new data.
enum class ResultBound : std::uint8_t { kGuard, kFinite };

// Real parts of the formula on every row of `data` into out[0 .. rows): bit
// for bit the stack machine (guarded, or unbounded for kFinite) on each row,
// NaN where it has no value. Runs in parallel blocks on the worker pool.
// Precondition: out.size() == data.rows().
void eval_rows(const Expression& expression, const OperatorRegistry& registry, const Dataset& data,
               std::span<double> out, ResultBound bound = ResultBound::kGuard);

// What a fitted formula does on its data, from one evaluation.
struct RowsSummary {
  // The mean squared error of the real part against the targets, bit for
  // bit NumPy's np.mean(np.square(prediction - y)) (weighted: each square
  // times its row's weight, whose mean is 1); +inf when some row has no
  // value, NaN for a dataset without rows.
  double loss = 0.0;
  // Whether some row with a value passes through a value that is not real:
  // a leaf or an intermediate or final result with a non-zero imaginary part.
  bool leaves_reals = false;
};

// The summary of each formula on `data`, in parallel over the formulas.
// Precondition: data.has_targets().
std::vector<RowsSummary> summarize_rows(std::span<const Expression> expressions, const OperatorRegistry& registry,
                                        const Dataset& data);

}  // namespace vok
