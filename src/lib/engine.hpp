#pragma once

// The engine's entry for bindings that drive searches themselves: controlled
// searches (deadline, cancel, progress, threads), searches whose levels are
// scored elsewhere and the workers that score them, formulas rebuilt from
// tokens, rendered, evaluated over a dataset and refitted on one. vok_sr's
// Searcher is the other entry (lib/searcher.hpp); nothing else of the
// engine is included by a binding.

#include "config/search_config.hpp"
#include "config/search_control.hpp"
#include "core/dataset.hpp"
#include "core/expression.hpp"
#include "core/search_error.hpp"
#include "engine/search/bfs.hpp"
#include "engine/search/level_dispatch.hpp"
#include "engine/fitness/scaling.hpp"
#include "engine/wire/checkpoint.hpp"
#include "engine/wire/level_codec.hpp"
#include "infra/durable_file.hpp"
#include "eval/batch.hpp"
#include "infra/pool.hpp"
#include "lib/refit.hpp"
#include "ops/parse.hpp"
#include "ops/registry.hpp"
#include "ops/render.hpp"
#include "result/search_result.hpp"
