# The C++ sources of the engine and the test programs, relative to the
# checkout's root; the main build and the fuzz build (fuzz/CMakeLists.txt)
# both read the core's list from here.

# Expressions (core), operators and renderers (ops), and the evaluators
# above them (eval): the stack machine, the column evaluator, fingerprints.
set(VOK_CORE_SOURCES
    src/core/expression.cpp
    src/ops/builtin.cpp
    src/ops/operator.cpp
    src/ops/registry.cpp
    src/ops/render.cpp
    src/eval/column_eval.cpp
    src/eval/eval.cpp
    src/eval/signature.cpp)

# Configuration, search, refinement, results and the Searcher.
set(VOK_ENGINE_SOURCES
    src/config/search_control.cpp
    src/engine/beam.cpp
    src/engine/bfs.cpp
    src/engine/fingerprint_set.cpp
    src/engine/generation.cpp
    src/engine/level_codec.cpp
    src/engine/level_scoring.cpp
    src/engine/optimizer.cpp
    src/engine/output.cpp
    src/engine/pareto.cpp
    src/engine/penalty.cpp
    src/engine/pool.cpp
    src/engine/recipes.cpp
    src/engine/sample_set.cpp
    src/engine/scoring.cpp
    src/engine/stepper.cpp
    src/engine/work_program.cpp
    src/lib/searcher.cpp
    src/result/formula.cpp
    src/result/search_result.cpp)

# One test program per area, tests/cpp/<area>_test.cpp. The areas of the
# expression core and the operators link vok_core alone.
set(VOK_CORE_TEST_AREAS builtin column_eval eval expression registry render signature)
set(VOK_ENGINE_TEST_AREAS
    beam bfs config fingerprint_set formula generation identity optimizer output pareto
    repr_format sample_set scoring search_control search_options search_result searcher stepper)
