# The C++ sources of the engine and the test programs, relative to the
# checkout's root; the main build and the fuzz build (fuzz/CMakeLists.txt)
# both read the core's list from here.

# Expressions (core), operators and renderers (ops), and the evaluators
# above them (eval): the stack machine, the column evaluator, fingerprints.
set(VOK_CORE_SOURCES
    src/core/dataset.cpp
    src/core/expression.cpp
    src/ops/builtin.cpp
    src/ops/operator.cpp
    src/ops/registry.cpp
    src/ops/parse.cpp
    src/ops/render.cpp
    src/eval/column_eval.cpp
    src/eval/eval.cpp
    src/eval/signature.cpp)

# The worker pool and the progress lines (infra), whole-matrix evaluation on
# the pool, then configuration, the engine's jobs (fitness, generation,
# refinement, the search drivers, selection, the wire format), results and
# the Searcher.
set(VOK_ENGINE_SOURCES
    src/infra/output.cpp
    src/infra/pool.cpp
    src/eval/batch.cpp
    src/config/search_control.cpp
    src/engine/fitness/level_scoring.cpp
    src/engine/fitness/scaling.cpp
    src/engine/refine/penalty.cpp
    src/engine/data/sample_set.cpp
    src/engine/fitness/scoring.cpp
    src/engine/generate/dimension.cpp
    src/engine/generate/fingerprint_set.cpp
    src/engine/generate/generation.cpp
    src/engine/generate/recipes.cpp
    src/engine/refine/optimizer.cpp
    src/engine/refine/work_program.cpp
    src/engine/search/bfs.cpp
    src/engine/search/level_dispatch.cpp
    src/engine/select/beam.cpp
    src/engine/select/pareto.cpp
    src/engine/wire/level_codec.cpp
    src/engine/wire/checkpoint.cpp
    src/engine/wire/wire_format.cpp
    src/infra/durable_file.cpp
    src/lib/refit.cpp
    src/lib/searcher.cpp
    src/result/search_result.cpp)

# One test program per area, tests/cpp/<area>_test.cpp. The areas of the
# expression core and the operators link vok_core alone.
set(VOK_CORE_TEST_AREAS builtin column_eval dataset eval expression registry render signature)
set(VOK_ENGINE_TEST_AREAS
    beam bfs checkpoint config dimension dispatch fingerprint_set formula generation identity optimizer output pareto
    repr_format sample_set scaling scoring search_control search_options search_result searcher)
